# Types of the tonesift_image package.
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

__all__ = ["Regions", "skin_mask", "skin_regions"]
__version__: str

def skin_mask(
    pixels: Any, *, channels: str = ..., threads: Optional[int] = ...
) -> npt.NDArray[np.bool_]: ...

class Regions:
    labels: npt.NDArray[np.int32]
    pixels: npt.NDArray[np.int64]
    left: npt.NDArray[np.int32]
    top: npt.NDArray[np.int32]
    right: npt.NDArray[np.int32]
    bottom: npt.NDArray[np.int32]
    def __init__(
        self,
        labels: npt.NDArray[np.int32],
        pixels: npt.NDArray[np.int64],
        left: npt.NDArray[np.int32],
        top: npt.NDArray[np.int32],
        right: npt.NDArray[np.int32],
        bottom: npt.NDArray[np.int32],
    ) -> None: ...
    def __len__(self) -> int: ...

def skin_regions(
    mask: npt.ArrayLike, *, connectivity: int = ..., threads: Optional[int] = ...
) -> Regions: ...
