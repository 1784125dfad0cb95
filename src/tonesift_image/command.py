"""tonesift-regions: the skin regions of photographs, as a report, a mask and an overlay.

    tonesift-regions [IMAGE ...] [--json] [--min-pixels N] [--top K] [--mask FILE]
                     [--overlay FILE] [--frame N] [--max-pixels N] [--per-pixel] [--jobs N]

With no IMAGE it runs on the built-in sample photograph; ``-`` reads one image from standard
input. ``python -m tonesift_image`` is the same command. Exit status: 0 when every image was
analysed, 1 when some input failed (each failure is one line on stderr, and an entry in the JSON
document), 2 for a usage error (bad arguments, refused output paths, Pillow or tqdm missing), 130
when interrupted, 141 when the output pipe closed early (``| head``).
"""
import argparse
import ctypes
import json
import os
import signal
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Sequence, Union

from . import __version__

PROG = "tonesift-regions"
SCHEMA_VERSION = 1
SAMPLE = Path(__file__).resolve().parent / "data" / "astronaut.png"
STDIN = "-"
DEFAULT_TOP = 10
DEFAULT_MAX_PIXELS = 250_000_000
PROGRESS_DELAY_SECONDS = 1.0
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_PIPE_CLOSED = 0, 1, 2, 130, 141
_M_TRIM_THRESHOLD, _M_TOP_PAD, _M_MMAP_THRESHOLD = -1, -2, -3  # glibc's mallopt options


class UsageError(Exception):
    """A command line that cannot be run as given: one line, exit status 2."""


@dataclass(frozen=True)
class Task:
    input: str                       # as given on the command line
    mask: Optional[Path] = None
    overlay: Optional[Path] = None
    data: Optional[bytes] = None     # standard input's bytes, for "-"


@dataclass(frozen=True)
class Settings:
    max_pixels: int
    frame: int
    per_pixel: bool
    top: int
    min_pixels: int
    threads: Optional[int] = None
    stages: bool = False             # progress per stage, on a terminal


# --- The command line ---------------------------------------------------------------------------

def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Find the skin regions of images with tonesift.",
        epilog="Exit status: 0 all images done, 1 some input failed, 2 usage error. "
               "--json prints a versioned document, described in the project's "
               "docs/tonesift-regions-json.md.")
    parser.add_argument("images", nargs="*", metavar="IMAGE",
                        help="images to analyse; - reads one from standard input "
                             "(default: the built-in sample photograph)")
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    parser.add_argument("--min-pixels", type=_positive, default=1, metavar="N",
                        help="list only regions of at least N pixels")
    parser.add_argument("--top", type=_positive, default=DEFAULT_TOP, metavar="K",
                        help=f"list at most K regions (default {DEFAULT_TOP})")
    parser.add_argument("--mask", metavar="FILE",
                        help="write the skin mask, white on black, as PNG, JPEG, WebP or TIFF "
                             "by the extension ({name}: the image's name without extension)")
    parser.add_argument("--overlay", metavar="FILE",
                        help="write the regions tinted over the photo ({name} as for --mask)")
    parser.add_argument("--frame", type=_positive, default=1, metavar="N",
                        help="analyse frame N of a multi-frame file (default: the first)")
    parser.add_argument("--max-pixels", type=_positive, default=DEFAULT_MAX_PIXELS, metavar="N",
                        help=f"refuse images of more pixels (default {DEFAULT_MAX_PIXELS})")
    parser.add_argument("--per-pixel", action="store_true",
                        help="use the per-pixel reference engine (tonesift() and one Skin "
                             "record per pixel): the same report, far slower")
    parser.add_argument("--jobs", type=_positive, metavar="N",
                        help="analyse up to N images at once (default: one per core)")
    parser.add_argument("--quiet", action="store_true", help="never show a progress bar")
    parser.add_argument("--timings", action="store_true",
                        help="print the time of each stage to stderr")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser.parse_args(argv)


def _stem(name: str) -> str:
    return "stdin" if name == STDIN else Path(name).stem


def _same_file(a: Path, b: Path) -> bool:
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _output(template: Optional[str], name: str, several: bool) -> Optional[Path]:
    if template is None:
        return None
    if several and "{name}" not in template:
        raise UsageError(f"{template}: with several images, put {{name}} in the output name")
    from ._photos import FORMATS  # imported already: the run checked for Pillow first
    path = Path(template.replace("{name}", _stem(name)))
    if path.suffix.lower() not in FORMATS:
        raise UsageError(f"{path}: the extension names no picture format "
                         f"(use one of {', '.join(FORMATS)})")
    folder = path.parent
    if not folder.is_dir():
        raise UsageError(f"{path}: no such folder: {folder}")
    if path.is_dir():
        raise UsageError(f"{path}: is a directory")
    return path


def plan(arguments: argparse.Namespace) -> List[Task]:
    """Every task of the run, with every output path checked before any work starts."""
    inputs = arguments.images or [str(SAMPLE)]
    if inputs.count(STDIN) > 1:
        raise UsageError("standard input (-) can be read only once")
    several = len(inputs) > 1
    tasks = [Task(name, _output(arguments.mask, name, several),
                  _output(arguments.overlay, name, several)) for name in inputs]
    written: Dict[str, str] = {}
    for task in tasks:
        for output in (task.mask, task.overlay):
            if output is None:
                continue
            for source in inputs:
                if source != STDIN and _same_file(output, Path(source)):
                    raise UsageError(f"{output}: output would overwrite the input image {source}")
            key = os.path.realpath(output)
            for other, owner in written.items():
                if key == other or _same_file(Path(other), output):
                    raise UsageError(f"{output}: written twice (for {owner} and {task.input})"
                                     if owner != task.input else
                                     f"{output}: the mask and the overlay would be one file")
            written[key] = task.input
    return tasks


# --- Running --------------------------------------------------------------------------------------

def _bar(**options):
    """A tqdm bar on stderr that starts no thread.

    tqdm's monitor thread, started with the first bar (even a disabled one) and never stopped,
    only wakes bars whose adaptive update interval outgrew a slowing loop; these bars redraw on
    every update instead. A thread left running would be killed mid-call at exit, and a pool
    forked later would copy its locks in whatever state they were.
    """
    from tqdm import tqdm  # type: ignore[import-untyped]

    class Bar(tqdm):  # type: ignore[misc]
        monitor_interval = 0

    return Bar(file=sys.stderr, delay=PROGRESS_DELAY_SECONDS, leave=False, miniters=1,
               **options)


def _terminal_stages(name: str):
    from ._photos import Stages

    class TerminalStages(Stages):
        """A bar per stage, shown once a stage takes more than a moment. A stage of unknown length
        (decoding, native grouping) shows only its elapsed time, never a guessed estimate."""

        def __init__(self):
            self.bar = None

        def start(self, stage, total=None):
            self.finish()
            self.bar = _bar(total=total, desc=f"{name}: {stage}", unit="row",
                            bar_format=None if total else "{desc} {elapsed}")
            return self.bar.update

        def finish(self):
            if self.bar is not None:
                self.bar.close()
                self.bar = None

    return TerminalStages()


def display_name(name: str) -> str:
    if name == str(SAMPLE):
        return f"{SAMPLE.name} (built-in sample)"
    return "standard input" if name == STDIN else name


def run_task(task: Task, settings: Settings) -> dict:
    """One image's report (JSON-ready); a failure is a report with its one-line error."""
    from . import _photos
    name = display_name(task.input)
    entry = {"input": task.input}
    try:
        source: Union[Path, bytes] = Path(task.input)
        if task.input == STDIN:
            assert task.data is not None, "standard input is read before the work starts"
            source = task.data
        stages = _terminal_stages(name) if settings.stages else _photos.Stages()
        pictures = task.overlay is not None
        result = _photos.analyse(source, task.input, max_pixels=settings.max_pixels,
                                 frame=settings.frame, per_pixel=settings.per_pixel,
                                 keep_pictures=pictures, threads=settings.threads, stages=stages)
        started = time.perf_counter()
        if task.mask is not None:
            _photos.write_mask(result, task.mask)
        if task.overlay is not None:
            _photos.write_overlay(result, task.overlay)
        if task.mask is not None or task.overlay is not None:
            result.analysis.seconds["write"] = time.perf_counter() - started
    except _photos.InputError as error:
        return dict(entry, status="failed", error=str(error))
    except MemoryError:
        return dict(entry, status="failed", error=f"{task.input}: out of memory")
    return dict(entry, status="ok", **_report(result.analysis, settings),
                mask=None if task.mask is None else str(task.mask),
                overlay=None if task.overlay is None else str(task.overlay),
                seconds=result.analysis.seconds)


def _report(analysis, settings: Settings) -> dict:
    from ._photos import largest_first
    total = analysis.width * analysis.height
    kept = analysis.pixels >= settings.min_pixels
    ranked = largest_first(analysis.pixels)
    listed = ranked[kept[ranked]][:settings.top]
    return {
        "width": analysis.width,
        "height": analysis.height,
        "pixels": total,
        "frame": analysis.frame,
        "frames": analysis.frames,
        "orientation": analysis.orientation,
        "skin_pixels": analysis.skin_pixels,
        "skin_share": analysis.skin_pixels / total if total else 0.0,
        "regions": len(analysis.pixels),
        "regions_at_least_min_pixels": int(kept.sum()),
        "largest_regions": [
            {
                "region": int(i) + 1,
                "pixels": int(analysis.pixels[i]),
                "share": int(analysis.pixels[i]) / total,
                "box": {"x_min": int(analysis.left[i]), "y_min": int(analysis.top[i]),
                        "x_max": int(analysis.right[i]), "y_max": int(analysis.bottom[i])},
            }
            for i in listed
        ],
    }


def _reuse_freed_memory() -> None:
    """Asks glibc to keep the memory an image frees for the next image instead of handing it back
    to the system: otherwise every image of a batch pays again for faulting in (and zeroing) tens
    of megabytes of fresh pages, about a sixth of its time. Not glibc: nothing to do."""
    try:
        libc = ctypes.CDLL(None)
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    for option, value in ((_M_MMAP_THRESHOLD, 32 << 20), (_M_TRIM_THRESHOLD, 256 << 20),
                          (_M_TOP_PAD, 64 << 20)):
        mallopt(option, value)


def _ignore_interrupts() -> None:
    # The main process handles Ctrl-C for the whole run; workers finish or are dropped.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def run_all(tasks: List[Task], settings: Settings, jobs: int, progress: bool) -> Iterator[dict]:
    """The reports in input order, each as soon as it and those before it are done."""
    if len(tasks) == 1:
        yield run_task(tasks[0], replace(settings, stages=progress))
        return

    def files_bar():
        return _bar(total=len(tasks), desc=PROG, unit="image", disable=not progress)

    if jobs == 1:
        with files_bar() as bar:
            for task in tasks:
                report = run_task(task, settings)
                bar.update()
                yield report
        return
    cores = os.cpu_count() or 1
    threads = max(1, cores // jobs)
    with ProcessPoolExecutor(jobs, initializer=_ignore_interrupts) as pool:
        futures = [pool.submit(run_task, task, replace(settings, threads=threads))
                   for task in tasks]
        try:
            with files_bar() as bar:
                for future in futures:
                    future.add_done_callback(lambda done: bar.update())
                for task, future in zip(tasks, futures):
                    try:
                        yield future.result()
                    except BrokenProcessPool:  # a worker was killed, say by the kernel
                        yield {"input": task.input, "status": "failed",
                               "error": f"{task.input}: the worker process analysing it died "
                                        "(out of memory?)"}
        finally:
            for future in futures:
                future.cancel()


# --- Reports --------------------------------------------------------------------------------------

def report_text(report: dict, min_pixels: int) -> str:
    lines = [display_name(report["input"])]
    notes = []
    if report["frames"] > 1:
        notes.append(f"frame {report['frame']} of {report['frames']}")
    if report["orientation"] != 1:
        notes.append(f"turned upright by EXIF orientation {report['orientation']}")
    regions = f"{report['regions']}"
    if min_pixels > 1:
        regions += f" ({report['regions_at_least_min_pixels']} of at least {min_pixels} pixels)"
    lines += [
        f"  image        {report['width']} x {report['height']} ({report['pixels']} pixels)"
        + "".join(f", {note}" for note in notes),
        f"  skin pixels  {report['skin_pixels']} ({report['skin_share']:.1%})",
        f"  regions      {regions}",
    ]
    listed = report["largest_regions"]
    if listed:
        heading = f"largest regions (at least {min_pixels} pixels)" if min_pixels > 1 \
            else "largest regions"
        lines += ["", f"  {heading}:",
                  f"  {'region':>7} {'pixels':>8} {'share':>7}  "
                  "bounding box (left, top)-(right, bottom), inclusive"]
        for entry in listed:
            box = entry["box"]
            lines.append(f"  {entry['region']:>7} {entry['pixels']:>8} {entry['share']:>7.2%}  "
                         f"({box['x_min']}, {box['y_min']})-({box['x_max']}, {box['y_max']})")
    return "\n".join(lines)


def _document(arguments: argparse.Namespace, reports: List[dict]) -> dict:
    return {
        "schema": "tonesift-regions",
        "schema_version": SCHEMA_VERSION,
        "tool_version": __version__,
        "engine": "per-pixel" if arguments.per_pixel else "whole-image",
        "min_pixels": arguments.min_pixels,
        "top": arguments.top,
        "images": [{key: value for key, value in report.items() if key != "seconds"}
                   for report in reports],
    }


# --- Main -----------------------------------------------------------------------------------------

def _fail_usage(message: str) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return EXIT_USAGE


def _run(arguments: argparse.Namespace) -> int:
    try:
        # Imported here, before any worker process starts, so that workers inherit them.
        from . import _photos  # noqa: F401
        import tqdm  # noqa: F401
    except ImportError as missing:
        name = missing.name or "a dependency"
        package = {"PIL": "Pillow"}.get(name, name)
        return _fail_usage(f"{package} is needed: pip install 'tonesift[cli]'")
    try:
        tasks = plan(arguments)
    except UsageError as error:
        return _fail_usage(str(error))
    tasks = [replace(task, data=sys.stdin.buffer.read()) if task.input == STDIN else task
             for task in tasks]
    settings = Settings(arguments.max_pixels, arguments.frame, arguments.per_pixel,
                        arguments.top, arguments.min_pixels)
    jobs = min(len(tasks), arguments.jobs or os.cpu_count() or 1)
    if len(tasks) > 1:
        # Only a batch gains; one image would just hold more memory at its peak. Before any
        # worker starts: they inherit it.
        _reuse_freed_memory()
    progress = not arguments.quiet and sys.stderr.isatty()
    reports, failed = [], False
    for report in run_all(tasks, settings, jobs, progress):
        if report["status"] != "ok":
            failed = True
            print(f"{PROG}: {report['error']}", file=sys.stderr)
        elif arguments.timings:
            stages = ", ".join(f"{stage} {value:.3f} s" for stage, value in
                               report["seconds"].items())
            print(f"{report['input']}: {stages}", file=sys.stderr)
        if arguments.json:
            reports.append(report)
        elif report["status"] == "ok":
            print(("\n" if reports else "") + report_text(report, arguments.min_pixels),
                  flush=True)
            reports.append(report)
    if arguments.json:
        json.dump(_document(arguments, reports), sys.stdout, indent=2)
        print(flush=True)
    return EXIT_FAILED if failed else EXIT_OK


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    try:
        return _run(arguments)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the interpreter's own flush at
        # exit from failing on the closed pipe again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_PIPE_CLOSED
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


def console_main() -> None:
    sys.exit(main())


if __name__ == "__main__":
    console_main()
