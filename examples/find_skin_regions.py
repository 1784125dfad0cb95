"""Find the skin regions of photographs with tonesift.

Every pixel is classified with tonesift.tonesift and gets a tonesift.Skin record; skin pixels are
then grouped into 8-connected regions by an iterative flood fill that marks visited records
through `checked` and labels them with `_replace(region)`. Regions are numbered 1..N by their
first pixel in reading order.

    python3.8 examples/find_skin_regions.py [IMAGE ...] [--json] [--min-pixels N]
                                            [--mask FILE.png] [--overlay FILE.png]

With no IMAGE it runs on the built-in sample photograph. Needs Pillow and tqdm
(`pip install 'tonesift[examples]'`).
"""
import argparse
import json
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

try:
    from PIL import Image, UnidentifiedImageError
    from tqdm import tqdm
except ImportError as missing:
    sys.exit(f"find_skin_regions: {missing.name} is needed: pip install 'tonesift[examples]'")

import tonesift
from tonesift import Skin

SAMPLE = Path(__file__).resolve().parent / "data" / "astronaut.png"
DEFAULT_MAX_PIXELS = 40_000_000
DEFAULT_TOP = 10
# Distinct tints for the largest regions; the rest share the last one.
REGION_COLOURS = [
    (230, 25, 75), (60, 180, 75), (0, 130, 200), (245, 130, 48), (145, 30, 180),
    (70, 240, 240), (240, 50, 230), (210, 245, 60), (255, 225, 25),
]
OTHER_REGIONS_COLOUR = (128, 128, 128)
TINT_OPACITY = 0.55
PROGRESS_DELAY_SECONDS = 1.0

# The --max-pixels check below replaces Pillow's own guard: it runs once the header is read,
# before any pixel is decoded, and can name the dimensions it refuses.
Image.MAX_IMAGE_PIXELS = None

NEIGHBOURS = [(dx, dy) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dx or dy]


class InputError(Exception):
    """A problem with one input or output file, reported as one line."""


@dataclass
class Region:
    number: int
    pixels: int = 0
    left: int = 0
    top: int = 0
    right: int = 0
    bottom: int = 0

    def include(self, x: int, y: int) -> None:
        if self.pixels == 0:
            self.left, self.top, self.right, self.bottom = x, y, x, y
        else:
            self.left, self.right = min(self.left, x), max(self.right, x)
            self.top, self.bottom = min(self.top, y), max(self.bottom, y)
        self.pixels += 1


@dataclass
class Analysis:
    path: Path
    image: "Image.Image"
    records: List[Skin]
    regions: List[Region]
    seconds: Dict[str, float] = field(default_factory=dict)

    @property
    def width(self) -> int:
        return self.image.width

    @property
    def height(self) -> int:
        return self.image.height

    @property
    def skin_pixels(self) -> int:
        return sum(region.pixels for region in self.regions)


# --- Reading ------------------------------------------------------------------------------------

def open_rgb(path: Path, max_pixels: int) -> "Image.Image":
    """Decodes any image Pillow reads into 8-bit RGB, refusing huge ones before decoding."""
    try:
        image = Image.open(path)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a directory") from None
    except PermissionError:
        raise InputError(f"{path}: permission denied") from None
    except UnidentifiedImageError:
        raise InputError(f"{path}: not an image Pillow can read") from None
    except Exception as error:  # a header Pillow recognised but could not parse
        raise InputError(f"{path}: cannot read image: {error}") from None
    with image:
        width, height = image.size
        if width * height > max_pixels:
            raise InputError(
                f"{path}: image too large: {width} x {height} pixels (at most {max_pixels})")
        try:
            image.load()
            if image.mode.startswith("I;16"):
                # 16-bit grey: scale to 8 bits rather than clip.
                image = image.convert("I").point(lambda value: value * (1 / 256))
            return image.convert("RGB")
        except Exception as error:
            raise InputError(f"{path}: corrupt or truncated image: {error}") from None


# --- Classification and grouping ----------------------------------------------------------------

def classify_pixels(image: "Image.Image", advance: Callable[[int], None]) -> List[Skin]:
    """One record per pixel, in reading order: Skin(index, is_skin, 0, x, y, 0)."""
    width = image.width
    classify = tonesift.tonesift
    records = []
    append = records.append
    for index, (r, g, b) in enumerate(image.getdata()):
        y, x = divmod(index, width)
        append(Skin(index, 1 if classify(r, g, b) else 0, 0, x, y, 0))
        if x == width - 1:
            advance(1)
    return records


def group_regions(records: Sequence[Skin], width: int, height: int,
                  advance: Callable[[int], None] = lambda rows: None) -> List[Region]:
    """Labels the 8-connected skin regions; returns them numbered by first pixel."""
    regions = []
    for start in records:
        if start.x == width - 1:
            advance(1)
        if not start.skin or start.checked:
            continue
        region = Region(len(regions) + 1)
        regions.append(region)
        start.checked = 1
        pending = [start]
        while pending:
            record = pending.pop()
            record._replace(region.number)
            x, y = record.x, record.y
            region.include(x, y)
            for dx, dy in NEIGHBOURS:
                nx, ny = x + dx, y + dy
                if 0 <= nx < width and 0 <= ny < height:
                    neighbour = records[ny * width + nx]
                    if neighbour.skin and not neighbour.checked:
                        neighbour.checked = 1
                        pending.append(neighbour)
    return regions


def analyse(path: Path, max_pixels: int, show_progress: bool) -> Analysis:
    seconds = {}
    started = time.perf_counter()
    image = open_rgb(path, max_pixels)
    seconds["decode"] = time.perf_counter() - started
    width, height = image.size
    with tqdm(total=2 * height, desc=path.name, unit="row", file=sys.stderr,
              delay=PROGRESS_DELAY_SECONDS, disable=not show_progress, leave=False) as bar:
        started = time.perf_counter()
        records = classify_pixels(image, bar.update)
        seconds["classify"] = time.perf_counter() - started
        started = time.perf_counter()
        regions = group_regions(records, width, height, bar.update)
        seconds["group"] = time.perf_counter() - started
    return Analysis(path, image, records, regions, seconds)


# --- Reports -------------------------------------------------------------------------------------

def listed_regions(analysis: Analysis, top: int, min_pixels: int) -> List[Region]:
    kept = [region for region in analysis.regions if region.pixels >= min_pixels]
    return sorted(kept, key=lambda region: (-region.pixels, region.number))[:top]


def report_dict(analysis: Analysis, top: int, min_pixels: int) -> dict:
    total = analysis.width * analysis.height
    return {
        "path": str(analysis.path),
        "width": analysis.width,
        "height": analysis.height,
        "pixels": total,
        "skin_pixels": analysis.skin_pixels,
        "skin_share": analysis.skin_pixels / total if total else 0.0,
        "regions": len(analysis.regions),
        "largest_regions": [
            {
                "region": region.number,
                "pixels": region.pixels,
                "share": region.pixels / total,
                "bounding_box": {"left": region.left, "top": region.top,
                                 "right": region.right, "bottom": region.bottom},
            }
            for region in listed_regions(analysis, top, min_pixels)
        ],
    }


def report_text(analysis: Analysis, top: int, min_pixels: int) -> str:
    report = report_dict(analysis, top, min_pixels)
    name = report["path"]
    if analysis.path == SAMPLE:
        name = f"{SAMPLE.relative_to(SAMPLE.parents[2])} (built-in sample)"
    lines = [
        name,
        f"  image        {report['width']} x {report['height']} ({report['pixels']} pixels)",
        f"  skin pixels  {report['skin_pixels']} ({report['skin_share']:.1%})",
        f"  regions      {report['regions']}",
    ]
    listed = report["largest_regions"]
    if listed:
        heading = f"largest regions (at least {min_pixels} pixels)" if min_pixels > 1 \
            else "largest regions"
        lines += ["", f"  {heading}:",
                  f"  {'region':>7} {'pixels':>8} {'share':>7}  bounding box (left, top)-(right, bottom)"]
        for entry in listed:
            box = entry["bounding_box"]
            lines.append(f"  {entry['region']:>7} {entry['pixels']:>8} {entry['share']:>7.2%}  "
                         f"({box['left']}, {box['top']})-({box['right']}, {box['bottom']})")
    return "\n".join(lines)


# --- Pictures ------------------------------------------------------------------------------------

def write_mask(analysis: Analysis, path: Path) -> None:
    mask = Image.new("L", analysis.image.size)
    mask.putdata([255 if record.skin else 0 for record in analysis.records])
    mask.save(path, "PNG")


def write_overlay(analysis: Analysis, path: Path) -> None:
    ranked = sorted(analysis.regions, key=lambda region: (-region.pixels, region.number))
    colour_of = {region.number: REGION_COLOURS[i] if i < len(REGION_COLOURS)
                 else OTHER_REGIONS_COLOUR for i, region in enumerate(ranked)}
    black = (0, 0, 0)
    tint = Image.new("RGB", analysis.image.size)
    tint.putdata([colour_of.get(record.region, black) for record in analysis.records])
    where = Image.new("L", analysis.image.size)
    where.putdata([255 if record.region else 0 for record in analysis.records])
    tinted = Image.blend(analysis.image, tint, TINT_OPACITY)
    Image.composite(tinted, analysis.image, where).save(path, "PNG")


def output_path(template: Optional[str], image: Path, several: bool) -> Optional[Path]:
    if template is None:
        return None
    if several and "{name}" not in template:
        raise InputError(f"{template}: with several images, put {{name}} in the output name")
    return Path(template.replace("{name}", image.stem))


def check_not_an_input(output: Optional[Path], inputs: Sequence[Path]) -> None:
    if output is None:
        return
    for source in inputs:
        if os.path.abspath(output) == os.path.abspath(source) or (
                output.exists() and source.exists() and os.path.samefile(output, source)):
            raise InputError(f"{output}: output would overwrite the input image")


def save_picture(writer, analysis: Analysis, path: Optional[Path]) -> None:
    if path is None:
        return
    try:
        writer(analysis, path)
    except (OSError, ValueError) as error:
        raise InputError(f"{path}: cannot write picture: {error}") from None


# --- Command line --------------------------------------------------------------------------------

def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="find_skin_regions",
        description="Find the skin regions of images with tonesift.")
    parser.add_argument("images", nargs="*", type=Path,
                        help="images to analyse (default: the built-in sample photograph)")
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    parser.add_argument("--min-pixels", type=positive, default=1, metavar="N",
                        help="leave regions smaller than N pixels out of the report")
    parser.add_argument("--top", type=positive, default=DEFAULT_TOP, metavar="K",
                        help=f"list at most K regions (default {DEFAULT_TOP})")
    parser.add_argument("--mask", metavar="FILE.png",
                        help="write the skin mask, white on black ({name}: the image's name)")
    parser.add_argument("--overlay", metavar="FILE.png",
                        help="write the regions tinted over the photo ({name} as for --mask)")
    parser.add_argument("--max-pixels", type=positive, default=DEFAULT_MAX_PIXELS, metavar="N",
                        help=f"refuse images of more pixels (default {DEFAULT_MAX_PIXELS})")
    parser.add_argument("--quiet", action="store_true", help="never show a progress bar")
    parser.add_argument("--timings", action="store_true",
                        help="print the time of each stage to stderr")
    return parser.parse_args(argv)


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    images = arguments.images or [SAMPLE]
    several = len(images) > 1
    show_progress = not arguments.quiet and sys.stderr.isatty()
    reports, printed, failed = [], False, False
    for path in images:
        try:
            mask = output_path(arguments.mask, path, several)
            overlay = output_path(arguments.overlay, path, several)
            for output in (mask, overlay):
                check_not_an_input(output, images)
            analysis = analyse(path, arguments.max_pixels, show_progress)
            save_picture(write_mask, analysis, mask)
            save_picture(write_overlay, analysis, overlay)
        except InputError as error:
            print(f"find_skin_regions: {error}", file=sys.stderr)
            failed = True
            continue
        if arguments.timings:
            stages = ", ".join(f"{name} {value:.3f} s" for name, value in analysis.seconds.items())
            print(f"{path}: {stages}", file=sys.stderr)
        if arguments.json:
            reports.append(report_dict(analysis, arguments.top, arguments.min_pixels))
        else:
            print(("\n" if printed else "") + report_text(analysis, arguments.top,
                                                         arguments.min_pixels))
            printed = True
    if arguments.json:
        json.dump({"images": reports}, sys.stdout, indent=2)
        print()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
