"""Skin masks and skin regions of whole images, on tonesift's own colour rules.

``skin_mask`` gives exactly ``tonesift.tonesift(r, g, b)``'s verdict for every pixel of an image;
``skin_regions`` groups the skin pixels of a mask into connected regions; ``find_skin_regions``
does both in one pass, with no mask in between. They work in native code with the interpreter
lock released, on several threads for large images, and can write into arrays of the caller's
(``out=``), so that a loop over video frames allocates no image-sized result.

``analyse_image`` and ``analyse_images`` read photographs (paths, URLs, open files, arrays) and
give one record each, as the ``tonesift-regions`` command does, and ``analyse_video`` one per
frame of a clip; ``read_records`` reads back the records that ``tonesift-regions --output``
wrote. They need Pillow (the ``cli`` extra); clips need PyAV (the ``video`` extra); URLs, a
Dask cluster and Parquet need the ``cluster`` extra.
"""
from ._version import __version__  # noqa: F401  (the package's own, as usual)

__all__ = ["Region", "Regions", "analyse_image", "analyse_images", "analyse_video",
           "find_skin_regions", "read_records", "skin_mask", "skin_regions"]

# Every public name is imported when first used: reading photographs needs Pillow, which the masks
# and regions of arrays do not, and the command decodes its first photo while numpy and the
# kernels are imported (Pillow decodes without the interpreter lock).
_LAZY = {"analyse_image": "_api", "analyse_images": "_api", "analyse_video": "_api",
         "read_records": "_api",
         "Region": "_arrays", "Regions": "_arrays", "find_skin_regions": "_arrays",
         "skin_mask": "_arrays", "skin_regions": "_arrays"}


def __getattr__(name):
    if name in _LAZY:
        import importlib
        value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
