# Typical use, which the type stub must accept.
from typing import List

import tonesift
from tonesift import Skin


def label(pixels: List[Skin], region: int) -> List[Skin]:
    return [pixel._replace(region) for pixel in pixels if pixel.skin]


verdict: bool = tonesift.tonesift(200, 150.0, 120)
records = [Skin(i, int(verdict), 0, i % 4, i // 4, 0) for i in range(16)]
records[0].checked = 1
same: Skin = records[1]._replace(region=2)
total: int = sum(record.x + record.y for record in label(records, 3))
