"""Draws the performance page's charts from the figures of the last benchmark run.

    python3.8 bench/charts.py [--quick]

Reads what bench_tonesift.py and bench_image.py recorded beside the build
(build/bench-results/) and writes SVG charts into docs/_static/charts/, which the documentation
shows; ./dev bench runs it last. --quick (a run of few rounds, whose figures are not worth
showing) draws the quick run's figures into build/bench-results/quick/charts/ instead.
"""
import argparse
import sys
from pathlib import Path

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402

import results  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
# Files that only change when the figures do: no date, no random ids.
plt.rcParams.update({"svg.hashsalt": "tonesift", "svg.fonttype": "none", "font.size": 9})
COLOURS = {"tonesift": "#c0504d", "floor": "#7f7f7f", "peer": "#4f81bd"}


def measured(figures):
    """When and where a run measured its figures, for a chart's subtitle."""
    where = figures.get("measured")
    if where is None:
        return "date and machine not recorded"
    return (f"{where['date']}, {where['machine']} ({where['cores']} cores), "
            f"CPython {where['python']}")


def label_bars(axes, bars, decimals):
    """Each bar's value at its end, so that a reader can take the figures off the chart."""
    axes.bar_label(bars, labels=[f"{bar.get_width():.{decimals}f}" for bar in bars], padding=2,
                   fontsize=7)


def save(figure, folder, name):
    figure.tight_layout()
    figure.savefig(folder / f"{name}.svg", metadata={"Date": None})
    plt.close(figure)
    print(f"wrote {folder / name}.svg")


def calls_chart(calls, folder):
    """ns per call of each path: tonesift, the floor and the pure-Python peer, on a log scale."""
    paths = list(calls["paths"])
    figure, axes = plt.subplots(figsize=(7, 0.55 * len(paths) + 1.2))
    height = 0.27
    for offset, (key, label) in enumerate((("tonesift", "tonesift"), ("floor", "floor"),
                                           ("peer", "pure Python"))):
        values = [calls["paths"][path].get(key) for path in paths]
        rows = [i + (offset - 1) * height for i, value in enumerate(values) if value]
        bars = axes.barh(rows, [value for value in values if value], height, label=label,
                         color=COLOURS[key])
        label_bars(axes, bars, 1)
    axes.set_yticks(range(len(paths)), paths)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.set_xlabel("ns per call (log scale; less is better)")
    axes.set_title(f"Calls, one thread\n{measured(calls)}")
    axes.legend(loc="center left", bbox_to_anchor=(1, 0.5))
    save(figure, folder, "calls")


def images_chart(images, folder):
    """ns per pixel of the mask and of the regions, each way, on the 24 Mpixel mosaic."""
    ways = images["ways"]["composite"]
    names = list(ways)
    figure, axes = plt.subplots(figsize=(7, 0.45 * len(names) + 1.2))
    masks = [ways[name]["mask"] for name in names]
    regions = [ways[name]["regions"] for name in names]
    axes.barh(names, masks, 0.6, label="mask", color=COLOURS["tonesift"])
    axes.barh(names, regions, 0.6, left=masks, label="regions of the mask",
              color=COLOURS["peer"])
    for row, name in enumerate(names):
        axes.text(ways[name]["job"], row, f" {ways[name]['job']:.2f}", va="center")
    axes.invert_yaxis()
    axes.set_xlabel("ns per pixel, the whole job (less is better)")
    axes.set_title(f"Whole images: a 24 Mpixel mosaic of photos, one thread\n{measured(images)}")
    axes.set_xlim(0, max(ways[name]["job"] for name in names) * 1.15)
    axes.legend(loc="lower right")
    save(figure, folder, "images")


def threads_chart(images, folder):
    """ns per pixel of each stage of tonesift_image on one thread and on two."""
    stages = list(images["threads"])
    figure, axes = plt.subplots(figsize=(7, 2.7))
    height = 0.38
    for offset, (threads, colour) in enumerate((("1", COLOURS["floor"]),
                                                ("2", COLOURS["tonesift"]))):
        values = [images["threads"][stage][threads] for stage in stages]
        bars = axes.barh([i + (offset - 0.5) * height for i in range(len(stages))], values,
                         height, label=f"{threads} thread{'s' if threads != '1' else ''}",
                         color=colour)
        label_bars(axes, bars, 2)
    axes.set_yticks(range(len(stages)), stages)
    axes.invert_yaxis()
    axes.set_xlabel("ns per pixel (less is better)")
    axes.set_title(f"tonesift_image on threads: the 24 Mpixel mosaic\n{measured(images)}")
    axes.legend(loc="lower right")
    save(figure, folder, "threads")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="the figures of a quick run, into the build folder, not into docs/")
    arguments = parser.parse_args()
    quick = arguments.quick
    folder = results.folder(quick) / "charts" if quick else ROOT / "docs" / "_static" / "charts"
    folder.mkdir(parents=True, exist_ok=True)
    calls, images = results.load("calls", quick), results.load("images", quick)
    if calls is None or images is None:
        sys.exit("charts: run bench_tonesift.py and bench_image.py first")
    calls_chart(calls, folder)
    images_chart(images, folder)
    threads_chart(images, folder)


if __name__ == "__main__":
    main()
