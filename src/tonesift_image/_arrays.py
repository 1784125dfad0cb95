"""Skin masks and skin regions of arrays of pixels: the native kernels, with their arguments
checked."""
import operator
import os
import warnings
from typing import NamedTuple

import numpy as np

from . import _native  # type: ignore[attr-defined]  # the stub describes the package only

# channels -> (red, green, blue) indices and the number of channels per pixel
_CHANNELS = {"RGB": (0, 1, 2, 3), "BGR": (2, 1, 0, 3), "RGBA": (0, 1, 2, 4), "BGRA": (2, 1, 0, 4)}
_MASK_KINDS = "biufc"  # bool, integers, floats, complex: anything that compares with zero


def _thread_count(threads):
    if threads is None:
        return os.cpu_count() or 1
    if isinstance(threads, bool):
        raise TypeError("threads must be an int or None, not bool")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}") from None
    if count < 1:
        raise ValueError(f"threads must be at least 1, not {count}")
    return count


def _pixels(pixels, channels):
    """The pixels as an array with the indices of red, green and blue, checked."""
    if not isinstance(channels, str) or channels not in _CHANNELS:
        raise ValueError(f"channels must be one of {', '.join(map(repr, _CHANNELS))}, "
                         f"not {channels!r}")
    red, green, blue, count = _CHANNELS[channels]
    array = np.asarray(pixels)
    if array.ndim != 3:
        raise ValueError(f"pixels must be a (height, width, channels) array, not one of "
                         f"{array.ndim} dimension{'' if array.ndim == 1 else 's'}")
    if array.shape[2] != count:
        raise ValueError(f"channels={channels!r} needs {count} channels per pixel, "
                         f"and these pixels have {array.shape[2]}")
    if array.dtype not in (np.uint8, np.float32, np.float64):
        raise TypeError(f"pixels must hold uint8 levels or float32 or float64 components, not "
                        f"{array.dtype}")
    return array, red, green, blue


def _components(array, red, green, blue):
    """The pixels as the kernels take them. float32 components become the doubles they are, so
    that each verdict is tonesift()'s on those values. Floats that all lie in 0..1 are almost
    surely scaled so (scikit-image's and torchvision's floats are), while the rules are on the
    0..255 scale: the answer would be another one, so say it."""
    if array.dtype == np.uint8:
        return array
    array = array.astype(np.float64, copy=False)
    if _native.unit_range(array, red, green, blue):
        warnings.warn("every component of these float pixels lies in 0..1, but the colour rules "
                      "are on the 0..255 scale: multiply them by 255 first", UserWarning,
                      stacklevel=3)
    return array


def _out(out, dtype, shape, source):
    """`out` if it can take a result of `dtype` and `shape` in place; None stays None."""
    if out is None:
        return None
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy array, not {type(out).__name__}")
    if out.dtype != dtype or out.shape != shape:
        raise ValueError(f"out must be a {shape} array of {np.dtype(dtype)}, not a "
                         f"{out.shape} array of {out.dtype}")
    if not out.flags.c_contiguous:
        raise ValueError("out must be C-contiguous")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    if np.may_share_memory(out, source):
        raise ValueError("out must not share memory with the input")
    return out


def skin_mask(pixels, *, channels="RGB", threads=None, out=None):
    """The skin mask of an image: a ``bool`` array of shape (height, width).

    ``pixels`` is an (height, width, channels) array, or anything numpy can view as one (the
    buffer protocol, ``__array__``: ``numpy.asarray(pil_image)``), of ``uint8`` levels or
    ``float32`` or ``float64`` components on the 0..255 scale, in any strides (``float32``
    components are taken as the doubles they are; floats that all lie in 0..1 give a
    ``UserWarning``, since they are surely on another scale). ``channels`` names their order:
    "RGB", "BGR", "RGBA" or "BGRA"; alpha is carried, not judged. Every verdict is exactly
    ``tonesift.tonesift(r, g, b)``'s. For float input, a pixel on which tonesift() would
    fail raises the same ``ZeroDivisionError`` ("float division at row R, column C", with
    ``row`` and ``column`` attributes) for the first such pixel in reading order, and no mask
    is returned (what ``out`` then holds is unspecified). ``threads``: None uses the machine's
    cores where the image is large enough to gain from them, 1 works on the calling thread
    only. ``out``: a C-contiguous ``bool`` array of shape (height, width) to write the mask
    into and return, instead of a new one. If another thread writes into ``pixels`` meanwhile,
    the result is unspecified (but nothing breaks).
    """
    array, red, green, blue = _pixels(pixels, channels)
    threads = _thread_count(threads)
    out = _out(out, np.bool_, array.shape[:2], array)
    array = _components(array, red, green, blue)
    return np.asarray(_native.skin_mask(array, red, green, blue, threads, out))


class Region(NamedTuple):
    """One region of a ``Regions``: its number, pixel count, inclusive bounding box and centroid,
    as Python numbers."""
    region: int
    pixels: int
    left: int
    top: int
    right: int
    bottom: int
    centroid_x: float
    centroid_y: float


class Regions:
    """The connected skin regions of a mask, numbered 1..N by their first pixel in reading order
    (as ``scipy.ndimage.label`` numbers them).

    ``labels``: an ``int32`` array of the mask's shape, 0 outside every region, or None when
    ``find_skin_regions`` was asked for no labels. ``shape``: the mask's (height, width).
    ``len()``: N. Per region, index k - 1 describing region k: ``pixels`` (``int64``, its pixel
    count), its bounding box ``left``, ``top``, ``right``, ``bottom`` (``int32``, inclusive:
    the box's columns are left..right and its rows top..bottom), and its centroid
    ``centroid_x``, ``centroid_y`` (``float64``, the mean column and the mean row of its
    pixels, from exact sums). ``regions[k - 1]`` is region k as a ``Region``, and iterating
    gives them all in order: the way for a few regions; the arrays are the way for many.
    """

    __slots__ = ("labels", "pixels", "left", "top", "right", "bottom", "centroid_x",
                 "centroid_y", "shape")

    def __init__(self, labels, pixels, left, top, right, bottom, centroid_x, centroid_y,
                 shape=None):
        self.labels, self.pixels = labels, pixels
        self.left, self.top, self.right, self.bottom = left, top, right, bottom
        self.centroid_x, self.centroid_y = centroid_x, centroid_y
        self.shape = tuple(labels.shape) if shape is None else tuple(shape)

    def __len__(self):
        return len(self.pixels)

    def __getitem__(self, index):
        count = len(self)
        position = operator.index(index)
        if position < 0:
            position += count
        if not 0 <= position < count:
            raise IndexError(f"region index {index} out of range for {count} regions")
        return Region(position + 1, int(self.pixels[position]), int(self.left[position]),
                      int(self.top[position]), int(self.right[position]),
                      int(self.bottom[position]), float(self.centroid_x[position]),
                      float(self.centroid_y[position]))

    def __iter__(self):
        return (self[position] for position in range(len(self)))

    def __repr__(self):
        height, width = self.shape
        return f"<Regions: {len(self)} in a {height} x {width} mask>"


def largest_first(pixels: np.ndarray) -> np.ndarray:
    """Region indices (k - 1 for region k) by size, largest first; ties by region number."""
    return np.lexsort((np.arange(len(pixels)), -pixels))


def _connectivity(connectivity):
    if isinstance(connectivity, bool) or connectivity not in (4, 8):
        raise ValueError(f"connectivity must be 4 or 8, not {connectivity!r}")
    return int(connectivity)


def _regions(columns, shape):
    # A list, not `*map(...)`: the interpreter leaks the items made so far when unpacking an
    # iterator into a call runs out of memory.
    arrays = [None if part is None else np.asarray(part) for part in columns]
    return Regions(*arrays, shape=shape)


def skin_regions(mask, *, connectivity=8, threads=None, out=None):
    """The connected regions of a mask (any non-zero value counts as skin), as ``Regions``.

    ``connectivity`` is 8 (diagonal neighbours touch) or 4. ``threads`` as for ``skin_mask``.
    ``out``: a C-contiguous ``int32`` array of the mask's shape to write the labels into (it
    becomes ``labels``), instead of a new one.
    """
    connectivity = _connectivity(connectivity)
    threads = _thread_count(threads)
    array = np.asarray(mask)
    if array.ndim != 2:
        raise ValueError(f"mask must be a (height, width) array, not one of {array.ndim} "
                         f"dimension{'' if array.ndim == 1 else 's'}")
    if array.dtype.kind not in _MASK_KINDS:
        raise TypeError(f"mask must hold numbers or booleans, not {array.dtype}")
    out = _out(out, np.int32, array.shape, array)
    if array.dtype.itemsize != 1:
        array = array != 0
    return _regions(_native.skin_regions(array, connectivity, threads, out), array.shape)


def find_skin_regions(pixels, *, channels="RGB", connectivity=8, labels=True, threads=None,
                      out=None):
    """The connected skin regions of an image, as ``Regions``: what
    ``skin_regions(skin_mask(pixels))`` gives, in one pass, with no mask in between.

    ``pixels``, ``channels`` and ``threads`` as for ``skin_mask`` (float input raises the
    same ``ZeroDivisionError`` for its first failing pixel), ``connectivity`` as for
    ``skin_regions``. With ``labels=False`` no label image is made (``labels`` is None) and the
    pixels are read once: the way for very large images when only the regions' figures count.
    ``out``: a C-contiguous ``int32`` array of shape (height, width) to write the labels into.
    """
    array, red, green, blue = _pixels(pixels, channels)
    connectivity = _connectivity(connectivity)
    threads = _thread_count(threads)
    if not isinstance(labels, bool):
        raise TypeError(f"labels must be True or False, not {type(labels).__name__}")
    if out is not None and not labels:
        raise ValueError("out needs labels=True")
    out = _out(out, np.int32, array.shape[:2], array)
    array = _components(array, red, green, blue)
    columns = _native.find_skin_regions(array, red, green, blue, connectivity, threads, labels,
                                        out)
    return _regions(columns, array.shape[:2])


# Shown, documented and pickled under the package's name, where users find them.
for _public in (Region, Regions, find_skin_regions, skin_mask, skin_regions):
    _public.__module__ = __name__.rpartition(".")[0]
del _public
