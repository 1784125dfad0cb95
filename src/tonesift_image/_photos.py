"""Reading photographs and finding their skin regions, for the tonesift-regions command.

Two engines give the same answer: the whole-image one (``find_skin_regions``, one pass from
pixels to regions, the default) and the per-pixel reference (``tonesift.tonesift`` and one
``tonesift.Skin`` record per pixel, grouped by a flood fill). Both see the picture as a viewer
shows it: the chosen frame, turned upright by its EXIF orientation, with fully transparent pixels
never counted as skin.
"""
import io
import logging
import re
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import BinaryIO, Callable, Dict, List, Optional, Union, cast

import numpy as np
from PIL import Image, ImageOps, UnidentifiedImageError

import tonesift

from . import find_skin_regions

DEFAULT_MAX_PIXELS = 250_000_000
# Rows are converted and classified (and tinted) a strip at a time, so that no second full-size
# copy of a large photo is ever made: about this many pixels per strip.
STRIP_PIXELS = 1 << 21
EXIF_ORIENTATION = 0x0112
ALPHA_MODES = {"RGBA", "LA", "PA", "RGBa", "La"}
# Output formats by file extension.
FORMATS = {".png": "PNG", ".jpg": "JPEG", ".jpeg": "JPEG", ".webp": "WEBP", ".tif": "TIFF",
           ".tiff": "TIFF"}
# Distinct tints for the largest regions; the rest share the last one.
REGION_COLOURS = [
    (230, 25, 75), (60, 180, 75), (0, 130, 200), (245, 130, 48), (145, 30, 180),
    (70, 240, 240), (240, 50, 230), (210, 245, 60), (255, 225, 25),
]
OTHER_REGIONS_COLOUR = (128, 128, 128)
TINT_OPACITY = 141  # of 256: a 55% tint
NEVER_SKIN = (0, 0, 0)  # black, which no rule takes for skin
NEIGHBOURS = [(dx, dy) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dx or dy]

# Pillow logs what it finds odd in a file; the command reports a file in one line or not at all.
logging.getLogger("PIL").addHandler(logging.NullHandler())
logging.getLogger("PIL").propagate = False

# A file; the whole of standard input; an open binary file; an array of pixels.
Source = Union[Path, bytes, BinaryIO, np.ndarray]


class InputError(Exception):
    """A problem with one input or output file, reported as one line."""


class Stages:
    """Where an analysis tells its progress: one stage at a time, each with its own amount of work
    (None: unknown), so that no estimate mixes stages that run at different speeds."""

    def start(self, name: str, total: Optional[int] = None) -> Callable[[int], None]:
        return lambda done: None

    def finish(self) -> None:
        pass


@dataclass
class Analysis:
    """What the report needs: the upright picture's size and its regions, numbered from 1 by their
    first pixel in reading order (index k - 1 describes region k; boxes are inclusive)."""
    width: int
    height: int
    frame: int
    frames: int
    orientation: int
    skin_pixels: int
    pixels: np.ndarray
    left: np.ndarray
    top: np.ndarray
    right: np.ndarray
    bottom: np.ndarray
    seconds: Dict[str, float] = field(default_factory=dict)


# --- Reading ------------------------------------------------------------------------------------

# What a file that cannot be opened is, in the words of its one-line report.
_FILE_ERROR_WORDS = {FileNotFoundError: "no such file", IsADirectoryError: "is a directory",
                     PermissionError: "permission denied"}
FILE_ERRORS = tuple(_FILE_ERROR_WORDS)


def file_error(name: str, error: OSError) -> "InputError":
    words = next((words for kind, words in _FILE_ERROR_WORDS.items() if isinstance(error, kind)),
                 None)
    return InputError(f"{name}: {words or one_line(error)}")


def _pixel_count(error: Exception) -> str:
    found = re.search(r"\((\d+) pixels\)", str(error))
    return f"{found.group(1)} pixels" if found else "too many pixels"


class _Opened:
    """An image file opened on the chosen frame, with Pillow's decompression-bomb guard set to
    the caller's limit for as long as it is open (opening, seeking and decoding all check it)."""

    def __init__(self, source: Source, name: str, max_pixels: int, frame: int):
        self.name, self.max_pixels = name, max_pixels
        self._warnings = warnings.catch_warnings()
        self._warnings.__enter__()
        # Pillow's other complaints (corrupt EXIF, odd tags) would be extra lines on stderr: a
        # file either reads or fails with one line.
        warnings.simplefilter("ignore")
        warnings.simplefilter("error", Image.DecompressionBombWarning)
        self._limit_before, Image.MAX_IMAGE_PIXELS = Image.MAX_IMAGE_PIXELS, max_pixels
        try:
            self.image = self._open(source)
            self.frames = getattr(self.image, "n_frames", 1)
            if frame > self.frames:
                raise InputError(f"{name}: has {self.frames} frame"
                                 f"{'' if self.frames == 1 else 's'}, no frame {frame}")
            self.frame = frame
            if frame > 1:
                self.image.seek(frame - 1)
            self._check_size()
        except BaseException:
            self.close()
            raise

    def _open(self, source: Source) -> "Image.Image":
        name = self.name
        if not isinstance(source, (Path, bytes)) and not hasattr(source, "read"):
            try:
                return Image.fromarray(np.asarray(source))
            except Exception as error:  # a shape or type that is no picture
                raise InputError(f"{name}: not an array of pixels: {one_line(error)}") from None
        try:
            return Image.open(io.BytesIO(source) if isinstance(source, bytes)
                              else cast(Union[Path, BinaryIO], source))
        except FILE_ERRORS as error:
            raise file_error(name, error) from None
        except UnidentifiedImageError:
            raise InputError(f"{name}: not an image Pillow can read") from None
        except (Image.DecompressionBombError, Image.DecompressionBombWarning) as error:
            raise self._too_large(_pixel_count(error)) from None
        except Exception as error:  # a header Pillow recognised but could not parse
            raise InputError(f"{name}: cannot read image: {one_line(error)}") from None

    def _too_large(self, size: str) -> InputError:
        return InputError(f"{self.name}: image too large: {size} "
                          f"(at most {self.max_pixels}; --max-pixels raises the limit)")

    def _check_size(self) -> None:
        width, height = self.image.size
        if width * height > self.max_pixels:
            raise self._too_large(f"{width} x {height} pixels")

    def decode(self) -> None:
        try:
            self.image.load()
        except (Image.DecompressionBombError, Image.DecompressionBombWarning) as error:
            raise self._too_large(_pixel_count(error)) from None
        except Exception as error:
            raise InputError(f"{self.name}: corrupt or truncated image: {one_line(error)}") \
                from None
        self._check_size()  # some formats learn their true size only while decoding

    @property
    def orientation(self) -> int:
        try:
            value = self.image.getexif().get(EXIF_ORIENTATION, 1)
        except Exception:  # unreadable EXIF: shown as stored, as viewers do
            return 1
        return value if value in range(1, 9) else 1

    @property
    def has_alpha(self) -> bool:
        return self.image.mode in ALPHA_MODES or "transparency" in self.image.info

    def close(self) -> None:
        image = getattr(self, "image", None)
        if image is not None:
            image.close()
        Image.MAX_IMAGE_PIXELS = self._limit_before
        self._warnings.__exit__(None, None, None)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def one_line(error: Exception) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def _levels(part: "Image.Image", alpha: bool, name: str) -> np.ndarray:
    """A part of the picture as 8-bit (height, width, 3) RGB, or 4 channels with alpha."""
    try:
        if part.mode.startswith("I;16"):
            # 16-bit grey: scale to 8 bits rather than clip.
            part = part.convert("I").point(lambda value: value * (1 / 256))
        target = "RGBA" if alpha else "RGB"
        if part.mode != target:
            part = part.convert(target)
        return np.asarray(part)
    except Exception as error:
        raise InputError(f"{name}: cannot convert {part.mode} pixels to RGB: {one_line(error)}") \
            from None


def strip_rows(width: int) -> int:
    return max(1, STRIP_PIXELS // max(width, 1))


def largest_first(pixels: np.ndarray) -> np.ndarray:
    """Region indices (k - 1 for region k) by size, largest first; ties by region number."""
    return np.lexsort((np.arange(len(pixels)), -pixels))


def upright(array: np.ndarray, orientation: int) -> np.ndarray:
    """A view of a stored picture's first two axes as a viewer shows it, for an EXIF orientation."""
    if orientation == 2:
        return array[:, ::-1]
    if orientation == 3:
        return array[::-1, ::-1]
    if orientation == 4:
        return array[::-1]
    if orientation == 5:
        return array.swapaxes(0, 1)
    if orientation == 6:
        return np.rot90(array, -1)
    if orientation == 7:
        return array[::-1, ::-1].swapaxes(0, 1)
    if orientation == 8:
        return np.rot90(array, 1)
    return array


# --- The two engines ----------------------------------------------------------------------------

@dataclass
class Result:
    analysis: Analysis
    mask: Optional[np.ndarray]    # bool, upright; kept only when a picture needs it
    labels: Optional[np.ndarray]  # int32, upright; the same
    rgb: Optional[np.ndarray]     # uint8 (height, width, 3), upright; only for the overlay


def analyse(source: Source, name: str, *, max_pixels: int, frame: int = 1,
            per_pixel: bool = False, keep_pictures: bool = False, threads: Optional[int] = None,
            stages: Stages = Stages()) -> Result:
    seconds: Dict[str, float] = {}
    started = time.perf_counter()
    try:
        with _Opened(source, name, max_pixels, frame) as opened:
            stages.start("decoding")
            opened.decode()
            seconds["decode"] = time.perf_counter() - started
            engine = _per_pixel if per_pixel else _whole_image
            result = engine(opened, keep_pictures, threads, stages, seconds)
    finally:
        stages.finish()
    result.analysis.seconds = seconds
    return result


def _whole_image(opened: _Opened, keep_pictures: bool, threads: Optional[int],
                 stages: Stages, seconds: Dict[str, float]) -> Result:
    started = time.perf_counter()
    image, alpha = opened.image, opened.has_alpha
    width, height = image.size
    rgb = np.empty((height, width, 3), dtype=np.uint8)
    # Transparent pixels are never skin. They are given a colour that is not, unless the overlay
    # must show them as they are: then they are kept aside until the pixels are judged.
    transparent = np.empty((height, width), bool) if alpha and keep_pictures else None
    rows = strip_rows(width)
    advance = stages.start("converting", height)
    for top in range(0, height, rows):
        bottom = min(height, top + rows)
        levels = _levels(image.crop((0, top, width, bottom)), alpha, opened.name)
        strip = rgb[top:bottom]
        strip[...] = levels[..., :3]
        if alpha:
            clear = levels[..., 3] == 0
            if transparent is None:
                strip[clear] = NEVER_SKIN
            else:
                transparent[top:bottom] = clear
        advance(bottom - top)
    seconds["convert"] = time.perf_counter() - started
    orientation = opened.orientation
    opened.image.close()  # the decoded pixels are no longer needed: free them before labelling

    started = time.perf_counter()
    stages.start("grouping")
    pixels = judged = upright(rgb, orientation)
    if transparent is not None:
        judged = pixels.copy()
        judged[upright(transparent, orientation)] = NEVER_SKIN
    # One pass from pixels to regions, with a label image only where a picture is drawn from it.
    regions = find_skin_regions(judged, labels=keep_pictures, threads=threads)
    seconds["group"] = time.perf_counter() - started
    analysis = Analysis(pixels.shape[1], pixels.shape[0], opened.frame, opened.frames,
                        orientation, int(regions.pixels.sum()), regions.pixels, regions.left,
                        regions.top, regions.right, regions.bottom)
    if regions.labels is None:
        return Result(analysis, None, None, None)
    return Result(analysis, regions.labels != 0, regions.labels, pixels)


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


def classify_pixels(levels: np.ndarray, advance: Callable[[int], None]) -> List[tonesift.Skin]:
    """One record per pixel, in reading order: Skin(index, is_skin, 0, x, y, 0). With a fourth
    (alpha) channel, a fully transparent pixel is not skin."""
    height, width, channels = levels.shape
    classify, Skin = tonesift.tonesift, tonesift.Skin
    records: List[tonesift.Skin] = []
    append = records.append
    index = 0
    for y, row in enumerate(levels.tolist()):
        for x, pixel in enumerate(row):
            seen = channels == 3 or pixel[3] != 0
            append(Skin(index, 1 if seen and classify(pixel[0], pixel[1], pixel[2]) else 0,
                        0, x, y, 0))
            index += 1
        advance(1)
    return records


def group_regions(records: List[tonesift.Skin], width: int, height: int,
                  advance: Callable[[int], None] = lambda rows: None) -> List[Region]:
    """Labels the 8-connected skin regions by an iterative flood fill that marks visited records
    through `checked` and labels them with `_replace`; returns them numbered by first pixel."""
    regions: List[Region] = []
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


def _per_pixel(opened: _Opened, keep_pictures: bool, threads: Optional[int],
               stages: Stages, seconds: Dict[str, float]) -> Result:
    started = time.perf_counter()
    orientation = opened.orientation
    try:
        image = ImageOps.exif_transpose(opened.image)
        assert image is not None  # not in place: always a new image
    except Exception as error:
        raise InputError(f"{opened.name}: cannot turn the image upright: {one_line(error)}") \
            from None
    levels = _levels(image, opened.has_alpha, opened.name)
    height, width = levels.shape[:2]
    records = classify_pixels(levels, stages.start("classifying", height))
    seconds["classify"] = time.perf_counter() - started

    started = time.perf_counter()
    found = group_regions(records, width, height, stages.start("grouping", height))
    seconds["group"] = time.perf_counter() - started
    columns = [np.array([getattr(region, name) for region in found], dtype=dtype)
               for name, dtype in (("pixels", np.int64), ("left", np.int32), ("top", np.int32),
                                   ("right", np.int32), ("bottom", np.int32))]
    mask = np.array([record.skin for record in records], dtype=bool).reshape(height, width)
    labels = np.array([record.region for record in records], dtype=np.int32).reshape(
        height, width) if keep_pictures else None
    pixels, left, top, right, bottom = columns
    analysis = Analysis(width, height, opened.frame, opened.frames, orientation,
                        int(pixels.sum()), pixels, left, top, right, bottom)
    return Result(analysis, mask, labels, levels[..., :3].copy() if keep_pictures else None)


# --- Pictures ------------------------------------------------------------------------------------

def output_format(path: Path) -> Optional[str]:
    return FORMATS.get(path.suffix.lower())


def _save(array: np.ndarray, path: Path) -> None:
    try:
        Image.fromarray(np.ascontiguousarray(array)).save(path, output_format(path))
    except (OSError, ValueError) as error:
        raise InputError(f"{path}: cannot write picture: {one_line(error)}") from None


def write_mask(result: Result, path: Path) -> None:
    """The skin mask, white on black."""
    assert result.mask is not None, "analysed without pictures"
    _save(result.mask.view(np.uint8) * np.uint8(255), path)


def write_overlay(result: Result, path: Path) -> None:
    """The regions tinted over the photo: the largest in distinct colours, the rest in grey.
    Tints `result.rgb` in place, which saves a copy of a large photo."""
    analysis = result.analysis
    assert result.labels is not None and result.rgb is not None, "analysed without pictures"
    order = largest_first(analysis.pixels)
    tints = np.empty((len(order) + 1, 3), dtype=np.uint16)
    tints[0] = 0
    tints[order + 1] = OTHER_REGIONS_COLOUR
    distinct = order[:len(REGION_COLOURS)]
    tints[distinct + 1] = REGION_COLOURS[:len(distinct)]
    overlay = result.rgb
    rows = strip_rows(analysis.width)
    for top in range(0, analysis.height, rows):
        labels = result.labels[top:top + rows]
        photo = overlay[top:top + rows]
        tinted = (photo * np.uint16(256 - TINT_OPACITY) + tints[labels] * np.uint16(TINT_OPACITY)
                  + np.uint16(128)) >> 8
        np.copyto(photo, tinted.astype(np.uint8), where=(labels != 0)[..., None])
    _save(overlay, path)
