"""Pictures written from an analysis: the skin mask, and the regions tinted over the photo."""
from pathlib import Path
from typing import Optional

import numpy as np
from PIL import Image

from ._analysis import Result, strip_rows
from ._arrays import largest_first
from ._errors import InputError, one_line

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


def output_format(path: Path) -> Optional[str]:
    return FORMATS.get(path.suffix.lower())


def _save(array: np.ndarray, path: Path) -> None:
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
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
    if len(distinct):  # numpy cannot broadcast an empty list of colours onto (0, 3)
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
