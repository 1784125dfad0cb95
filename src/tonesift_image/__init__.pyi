# Types of the tonesift_image package.
from typing import (Any, Dict, Iterable, Iterator, Mapping, NamedTuple, Optional, SupportsIndex,
                    Tuple)

import numpy as np
import numpy.typing as npt

__all__ = ["Region", "Regions", "analyse_image", "analyse_images", "analyse_video",
           "find_skin_regions", "read_records", "skin_mask", "skin_regions"]
__version__: str

def analyse_image(
    source: Any,
    *,
    min_pixels: int = ...,
    top: int = ...,
    max_pixels: int = ...,
    frame: int = ...,
    per_pixel: bool = ...,
    threads: Optional[int] = ...,
    storage_options: Optional[Mapping[str, Any]] = ...,
) -> Dict[str, Any]: ...
def analyse_images(
    inputs: Iterable[Any],
    *,
    client: Any = ...,
    jobs: Optional[int] = ...,
    min_pixels: int = ...,
    top: int = ...,
    max_pixels: int = ...,
    frame: int = ...,
    per_pixel: bool = ...,
    storage_options: Optional[Mapping[str, Any]] = ...,
) -> Iterator[Dict[str, Any]]: ...
def analyse_video(
    source: Any,
    *,
    every: int = ...,
    fps: Optional[float] = ...,
    start: Optional[float] = ...,
    end: Optional[float] = ...,
    min_pixels: int = ...,
    top: int = ...,
    max_pixels: int = ...,
    per_pixel: bool = ...,
    threads: Optional[int] = ...,
    storage_options: Optional[Mapping[str, Any]] = ...,
    client: Any = ...,
    jobs: Optional[int] = ...,
) -> Iterator[Dict[str, Any]]: ...
def read_records(
    output: Any, *, storage_options: Optional[Mapping[str, Any]] = ...
) -> Iterator[Dict[str, Any]]: ...

def skin_mask(
    pixels: Any,
    *,
    channels: str = ...,
    threads: Optional[int] = ...,
    out: Optional[npt.NDArray[np.bool_]] = ...,
) -> npt.NDArray[np.bool_]: ...

class Region(NamedTuple):
    region: int
    pixels: int
    left: int
    top: int
    right: int
    bottom: int
    centroid_x: float
    centroid_y: float

class Regions:
    labels: Optional[npt.NDArray[np.int32]]
    pixels: npt.NDArray[np.int64]
    left: npt.NDArray[np.int32]
    top: npt.NDArray[np.int32]
    right: npt.NDArray[np.int32]
    bottom: npt.NDArray[np.int32]
    centroid_x: npt.NDArray[np.float64]
    centroid_y: npt.NDArray[np.float64]
    shape: Tuple[int, int]
    def __init__(
        self,
        labels: Optional[npt.NDArray[np.int32]],
        pixels: npt.NDArray[np.int64],
        left: npt.NDArray[np.int32],
        top: npt.NDArray[np.int32],
        right: npt.NDArray[np.int32],
        bottom: npt.NDArray[np.int32],
        centroid_x: npt.NDArray[np.float64],
        centroid_y: npt.NDArray[np.float64],
        shape: Optional[Tuple[int, int]] = ...,
    ) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex) -> Region: ...
    def __iter__(self) -> Iterator[Region]: ...

def skin_regions(
    mask: npt.ArrayLike,
    *,
    connectivity: int = ...,
    threads: Optional[int] = ...,
    out: Optional[npt.NDArray[np.int32]] = ...,
) -> Regions: ...
def find_skin_regions(
    pixels: Any,
    *,
    channels: str = ...,
    connectivity: int = ...,
    labels: bool = ...,
    threads: Optional[int] = ...,
    out: Optional[npt.NDArray[np.int32]] = ...,
) -> Regions: ...
