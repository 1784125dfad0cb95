"""Skin masks and skin regions of whole images, on tonesift's own colour rules.

``skin_mask`` gives exactly ``tonesift.tonesift(r, g, b)``'s verdict for every pixel of an image;
``skin_regions`` groups the skin pixels of a mask into connected regions. Both work in native
code with the interpreter lock released, on several threads for large images.

``analyse_image`` and ``analyse_images`` read photographs (paths, URLs, open files, arrays) and
give one record each, as the ``tonesift-regions`` command does; ``read_records`` reads back the
records that ``tonesift-regions --output`` wrote. They need Pillow (the ``cli`` extra); URLs, a
Dask cluster and Parquet need the ``cluster`` extra.
"""
import operator
import os

import numpy as np

from . import _native

__all__ = ["Regions", "analyse_image", "analyse_images", "read_records", "skin_mask",
           "skin_regions"]
__version__ = "0.1.0"

# channels -> (red, green, blue) indices and the number of channels per pixel
_CHANNELS = {"RGB": (0, 1, 2, 3), "BGR": (2, 1, 0, 3), "RGBA": (0, 1, 2, 4), "BGRA": (2, 1, 0, 4)}
_MASK_KINDS = "biufc"  # bool, integers, floats, complex: anything that compares with zero


# Reading photographs needs Pillow, which the masks and regions of arrays do not: those names are
# imported when first used.
_LAZY = {"analyse_image": "_collection", "analyse_images": "_collection",
         "read_records": "_outputs"}


def __getattr__(name):
    if name in _LAZY:
        import importlib
        value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


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


def skin_mask(pixels, *, channels="RGB", threads=None):
    """The skin mask of an image: a ``bool`` array of shape (height, width).

    ``pixels`` is an (height, width, channels) array, or anything numpy can view as one (the
    buffer protocol, ``__array__``: ``numpy.asarray(pil_image)``), of ``uint8`` levels or
    ``float64`` components on the 0..255 scale, in any strides. ``channels`` names their order:
    "RGB", "BGR", "RGBA" or "BGRA"; alpha is carried, not judged. Every verdict is exactly
    ``tonesift.tonesift(r, g, b)``'s. For ``float64`` input, a pixel on which tonesift() would
    fail raises the same ``ZeroDivisionError`` ("float division at row R, column C", with
    ``row`` and ``column`` attributes) for the first such pixel in reading order, and no mask
    is returned. ``threads``: None uses the machine's cores where the image is large enough to
    gain from them, 1 works on the calling thread only. If another thread writes into
    ``pixels`` meanwhile, the result is unspecified (but nothing breaks).
    """
    if not isinstance(channels, str) or channels not in _CHANNELS:
        raise ValueError(f"channels must be one of {', '.join(map(repr, _CHANNELS))}, "
                         f"not {channels!r}")
    red, green, blue, count = _CHANNELS[channels]
    threads = _thread_count(threads)
    array = np.asarray(pixels)
    if array.ndim != 3:
        raise ValueError(f"pixels must be a (height, width, channels) array, not one of "
                         f"{array.ndim} dimension{'' if array.ndim == 1 else 's'}")
    if array.shape[2] != count:
        raise ValueError(f"channels={channels!r} needs {count} channels per pixel, "
                         f"and these pixels have {array.shape[2]}")
    if array.dtype != np.uint8 and array.dtype != np.float64:
        raise TypeError(f"pixels must hold uint8 levels or float64 components, not {array.dtype}")
    return np.asarray(_native.skin_mask(array, red, green, blue, threads))


class Regions:
    """The connected skin regions of a mask, numbered 1..N by their first pixel in reading order
    (as ``scipy.ndimage.label`` numbers them).

    ``labels``: an ``int32`` array of the mask's shape, 0 outside every region. ``len()``: N.
    Per region, index k - 1 describing region k: ``pixels`` (``int64``, its pixel count) and its
    bounding box ``left``, ``top``, ``right``, ``bottom`` (``int32``, inclusive: the box's
    columns are left..right and its rows top..bottom).
    """

    __slots__ = ("labels", "pixels", "left", "top", "right", "bottom")

    def __init__(self, labels, pixels, left, top, right, bottom):
        self.labels, self.pixels = labels, pixels
        self.left, self.top, self.right, self.bottom = left, top, right, bottom

    def __len__(self):
        return len(self.pixels)

    def __repr__(self):
        height, width = self.labels.shape
        return f"<Regions: {len(self)} in a {height} x {width} mask>"


def skin_regions(mask, *, connectivity=8, threads=None):
    """The connected regions of a mask (any non-zero value counts as skin), as ``Regions``.

    ``connectivity`` is 8 (diagonal neighbours touch) or 4. ``threads`` as for ``skin_mask``.
    """
    if isinstance(connectivity, bool) or connectivity not in (4, 8):
        raise ValueError(f"connectivity must be 4 or 8, not {connectivity!r}")
    threads = _thread_count(threads)
    array = np.asarray(mask)
    if array.ndim != 2:
        raise ValueError(f"mask must be a (height, width) array, not one of {array.ndim} "
                         f"dimension{'' if array.ndim == 1 else 's'}")
    if array.dtype.kind not in _MASK_KINDS:
        raise TypeError(f"mask must hold numbers or booleans, not {array.dtype}")
    if array.dtype.itemsize != 1:
        array = array != 0
    # A list, not `*map(...)`: the interpreter leaks the items made so far when unpacking an
    # iterator into a call runs out of memory.
    columns = [np.asarray(part) for part in _native.skin_regions(array, int(connectivity), threads)]
    return Regions(*columns)
