"""Analysing one picture: its skin regions and their figures, by either of two engines that give
the same answer: the whole-image one (``find_skin_regions``, one pass from pixels to regions, the
default) and the per-pixel reference (``tonesift.tonesift`` and one ``tonesift.Skin`` record per
pixel, grouped by a flood fill). Both see the picture as a viewer shows it: the chosen frame,
turned upright by its EXIF orientation, with fully transparent pixels never counted as skin.

numpy and the kernels are imported while the first picture decodes (see `_kernels_meanwhile`).
"""
from __future__ import annotations

import importlib
import sys
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Callable, Dict, Iterator, List, Optional

import tonesift

from ._errors import InputError, one_line
from ._progress import Stages
from ._reading import Opened, Source, levels, upright

if TYPE_CHECKING:
    import numpy as np

KERNELS = f"{__package__}._arrays"

# Rows are converted and classified (and tinted) a strip at a time, so that no second full-size
# copy of a large photo is ever made: about this many pixels per strip.
STRIP_PIXELS = 1 << 21
NEVER_SKIN = (0, 0, 0)  # black, which no rule takes for skin
NEIGHBOURS = [(dx, dy) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dx or dy]


@dataclass
class Analysis:
    """What the report needs: the upright picture's size and its regions, numbered from 1 by their
    first pixel in reading order (index k - 1 describes region k; boxes are inclusive)."""
    width: int
    height: int
    frame: int
    frames: Optional[int]  # None: a clip whose container does not say
    orientation: int
    skin_pixels: int
    pixels: np.ndarray
    left: np.ndarray
    top: np.ndarray
    right: np.ndarray
    bottom: np.ndarray
    time: Optional[float] = None  # a clip's frame: seconds from the stream's start
    seconds: Dict[str, float] = field(default_factory=dict)


def strip_rows(width: int) -> int:
    return max(1, STRIP_PIXELS // max(width, 1))


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
        with Opened(source, name, max_pixels, frame) as opened:
            stages.start("decoding")
            with _kernels_meanwhile():
                opened.decode()
            seconds["decode"] = time.perf_counter() - started
            engine = _per_pixel if per_pixel else _whole_image
            result = engine(opened, keep_pictures, threads, stages, seconds)
    finally:
        stages.finish()
    result.analysis.seconds = seconds
    return result


def analyse_frame(rgb: np.ndarray, *, number: int, frames: Optional[int], at: float,
                  per_pixel: bool = False, threads: Optional[int] = None) -> Analysis:
    """A clip's frame `number`, shown `at` seconds into the clip, as (height, width, 3) RGB that
    the clip's reader decoded: no orientation and no alpha to apply, and no picture kept."""
    started = time.perf_counter()
    height, width = rgb.shape[:2]
    if per_pixel:
        found = group_regions(classify_pixels(rgb, lambda rows: None), width, height)
        pixels, left, top, right, bottom = _columns(found)
    else:
        from ._arrays import find_skin_regions

        regions = find_skin_regions(rgb, labels=False, threads=threads)
        pixels, left, top, right, bottom = (regions.pixels, regions.left, regions.top,
                                            regions.right, regions.bottom)
    analysis = Analysis(width, height, number, frames, 1, int(pixels.sum()), pixels, left, top,
                        right, bottom, time=at)
    analysis.seconds["group"] = time.perf_counter() - started
    return analysis


def _import_quietly(name: str) -> None:
    try:
        importlib.import_module(name)
    except BaseException:  # raised again where the analysis imports it
        pass


@contextmanager
def _kernels_meanwhile() -> Iterator[None]:
    """Imports numpy and the kernels on another thread, the first time, while this one decodes:
    Pillow decodes without the interpreter lock, so a run on one photo takes the longer of the
    two instead of both."""
    if KERNELS in sys.modules:
        yield
        return
    importing = threading.Thread(target=_import_quietly, args=(KERNELS,), daemon=True,
                                 name="tonesift kernels import")
    importing.start()
    try:
        yield
    finally:
        importing.join()


def _whole_image(opened: Opened, keep_pictures: bool, threads: Optional[int],
                 stages: Stages, seconds: Dict[str, float]) -> Result:
    import numpy as np

    from ._arrays import find_skin_regions

    started = time.perf_counter()
    lent = opened.lent_pixels()
    if lent is None:
        rgb, transparent = _converted(opened, keep_pictures, stages)
    else:
        rgb, transparent = lent, None
    seconds["convert"] = time.perf_counter() - started
    orientation = opened.orientation
    if lent is None:
        opened.image.close()  # the decoded pixels are no longer needed: free them before labelling

    started = time.perf_counter()
    stages.start("grouping")
    pixels = judged = upright(rgb, orientation)
    if transparent is not None:
        judged = pixels.copy()
        judged[upright(transparent, orientation)] = NEVER_SKIN
    # One pass from pixels to regions, with a label image only where a picture is drawn from it.
    regions = find_skin_regions(judged, channels="RGB" if judged.shape[2] == 3 else "RGBA",
                                labels=keep_pictures, threads=threads)
    seconds["group"] = time.perf_counter() - started
    analysis = Analysis(pixels.shape[1], pixels.shape[0], opened.frame, opened.frames,
                        orientation, int(regions.pixels.sum()), regions.pixels, regions.left,
                        regions.top, regions.right, regions.bottom)
    if regions.labels is None:
        return Result(analysis, None, None, None)
    # The overlay is tinted in place: Pillow's lent pixels are read-only, and in four bytes.
    photo = pixels if lent is None else np.array(pixels[..., :3])
    return Result(analysis, regions.labels != 0, regions.labels, photo)


def _converted(opened: Opened, keep_pictures: bool, stages: Stages):
    """The picture as (height, width, 3) RGB of our own, converted a strip at a time, and,
    where the overlay must show transparent pixels as they are, a mask of them."""
    import numpy as np

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
        part = levels(image.crop((0, top, width, bottom)), alpha, opened.name)
        strip = rgb[top:bottom]
        strip[...] = part[..., :3]
        if alpha:
            clear = part[..., 3] == 0
            if transparent is None:
                strip[clear] = NEVER_SKIN
            else:
                transparent[top:bottom] = clear
        advance(bottom - top)
    return rgb, transparent


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


def classify_pixels(picture: np.ndarray, advance: Callable[[int], None]) -> List[tonesift.Skin]:
    """One record per pixel, in reading order: Skin(index, is_skin, 0, x, y, 0). With a fourth
    (alpha) channel, a fully transparent pixel is not skin."""
    height, width, channels = picture.shape
    classify, Skin = tonesift.tonesift, tonesift.Skin
    records: List[tonesift.Skin] = []
    append = records.append
    index = 0
    for y, row in enumerate(picture.tolist()):
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


def _per_pixel(opened: Opened, keep_pictures: bool, threads: Optional[int],
               stages: Stages, seconds: Dict[str, float]) -> Result:
    import numpy as np
    from PIL import ImageOps  # only this engine turns a picture upright by copying it

    started = time.perf_counter()
    orientation = opened.orientation
    try:
        image = ImageOps.exif_transpose(opened.image)
        assert image is not None  # not in place: always a new image
    except Exception as error:
        raise InputError(f"{opened.name}: cannot turn the image upright: {one_line(error)}") \
            from None
    picture = levels(image, opened.has_alpha, opened.name)
    height, width = picture.shape[:2]
    records = classify_pixels(picture, stages.start("classifying", height))
    seconds["classify"] = time.perf_counter() - started

    started = time.perf_counter()
    found = group_regions(records, width, height, stages.start("grouping", height))
    seconds["group"] = time.perf_counter() - started
    columns = _columns(found)
    mask = np.array([record.skin for record in records], dtype=bool).reshape(height, width)
    labels = np.array([record.region for record in records], dtype=np.int32).reshape(
        height, width) if keep_pictures else None
    pixels, left, top, right, bottom = columns
    analysis = Analysis(width, height, opened.frame, opened.frames, orientation,
                        int(pixels.sum()), pixels, left, top, right, bottom)
    return Result(analysis, mask, labels, picture[..., :3].copy() if keep_pictures else None)


def _columns(found: List[Region]) -> List[np.ndarray]:
    import numpy as np

    return [np.array([getattr(region, name) for region in found], dtype=dtype)
            for name, dtype in (("pixels", np.int64), ("left", np.int32), ("top", np.int32),
                                ("right", np.int32), ("bottom", np.int32))]
