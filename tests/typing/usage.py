# Typical use, which the type stub must accept.
from typing import List

import numpy as np

import tonesift
from tonesift import Skin


def label(pixels: List[Skin], region: int) -> List[Skin]:
    return [pixel._replace(region) for pixel in pixels if pixel.skin]


verdict: bool = tonesift.tonesift(200, 150.0, 120)
records = [Skin(i, int(verdict), 0, i % 4, i // 4, 0) for i in range(16)]
records[0].checked = 1
same: Skin = records[1]._replace(region=2)
total: int = sum(record.x + record.y for record in label(records, 3))

# numpy scalars and other numbers convert as the module converts them.
level = np.uint8(200)
pixel_verdict: bool = tonesift.tonesift(level, np.float64(150.5), np.int64(120))
record = Skin(np.int64(1), np.uint8(1), 0, 10.0, np.int32(20), True)
record.x = np.int64(11)
record.y = 3.7
record.region = level
moved: int = record._replace(np.int16(4)).region

# Whole images.
import tonesift_image  # noqa: E402

mask = tonesift_image.skin_mask(np.zeros((4, 4, 3), np.uint8), channels="BGR", threads=None)
regions = tonesift_image.skin_regions(mask, connectivity=4)
count: int = len(regions)
first_box = (int(regions.left[0]), int(regions.top[0]), int(regions.right[0]))
