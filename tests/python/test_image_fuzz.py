"""Fuzzing tonesift_image over the arrays users hand it: shapes (empty included), dtypes, strides
(negative, non-contiguous, read-only), channel orders, float specials and failing divisions, and
masks of odd values and dtypes. Every call must give the per-pixel reference answer or the error
the docs name, and never anything else. CI runs a fixed budget; for a long run:

    TONESIFT_FUZZ_RANDOM=1 TONESIFT_FUZZ_EXAMPLES=100000 ./dev test tests/python/test_image_fuzz.py
"""
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import CHANNEL_ORDERS, reference_mask
from tonesift_image import skin_mask, skin_regions

ndimage = pytest.importorskip("scipy.ndimage")

EXAMPLES = int(os.environ.get("TONESIFT_FUZZ_EXAMPLES", "300"))
SETTINGS = settings(max_examples=EXAMPLES, derandomize=os.environ.get("TONESIFT_FUZZ_RANDOM") != "1",
                    deadline=None, database=None, suppress_health_check=list(HealthCheck))
SPECIALS = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-310, -1e-310, 1e308, -1.0, 255.0,
            255.5, 2.0, 1e-200, 1e-201, 1e305, 1e-20]


@st.composite
def views(draw, dtypes, ndim_extra):
    """An array of a drawn dtype, seen through a drawn window: steps of either sign, a
    transposition of the two image axes, read-only or not."""
    height, width = draw(st.integers(0, 9)), draw(st.integers(0, 9))
    extra = ndim_extra(draw)
    step_y, step_x = draw(st.sampled_from([1, 2, -1, -2])), draw(st.sampled_from([1, 3, -1]))
    transposed = draw(st.booleans())
    base_shape = (height * abs(step_y), width * abs(step_x)) + extra
    if transposed:
        base_shape = (base_shape[1], base_shape[0]) + extra
    dtype = draw(st.sampled_from(dtypes))
    size = int(np.prod(base_shape))
    if np.dtype(dtype).kind == "f":
        values = draw(st.lists(st.one_of(st.sampled_from(SPECIALS),
                                         st.floats(-10, 270, allow_nan=False)),
                               min_size=size, max_size=size))
    else:
        values = draw(st.lists(st.integers(0, 255), min_size=size, max_size=size))
    with np.errstate(over="ignore", invalid="ignore"):  # float32 and int16 wrap on purpose
        base = np.array(values, dtype=np.float64).reshape(base_shape).astype(dtype)
    if transposed:
        base = np.swapaxes(base, 0, 1)
    view = base[::step_y, ::step_x]
    if draw(st.booleans()):
        view.flags.writeable = False
    return view


@SETTINGS
@given(st.data())
def test_masks_of_any_view(data):
    channels = data.draw(st.sampled_from(list(CHANNEL_ORDERS)))
    count = CHANNEL_ORDERS[channels][3]
    wrong_channels = data.draw(st.integers(0, 10)) == 0
    pixels = data.draw(views([np.uint8, np.float64, np.float32, np.int16, ">f8"],
                             lambda draw: (count + (1 if wrong_channels else 0),)))
    threads = data.draw(st.sampled_from([1, 2, 3, None]))
    if wrong_channels:
        with pytest.raises(ValueError, match="channels per pixel"):
            skin_mask(pixels, channels=channels, threads=threads)
        return
    if pixels.dtype not in (np.uint8, np.float32, np.float64):
        with pytest.raises(TypeError, match="uint8 levels or float32 or float64 components"):
            skin_mask(pixels, channels=channels, threads=threads)
        return
    expected = reference_mask(pixels, channels)
    if isinstance(expected, tuple):
        with pytest.raises(ZeroDivisionError, match="^float division at row") as excinfo:
            skin_mask(pixels, channels=channels, threads=threads)
        assert (excinfo.value.row, excinfo.value.column) == expected
        return
    mask = skin_mask(pixels, channels=channels, threads=threads)
    assert mask.dtype == bool and mask.flags.c_contiguous
    assert np.array_equal(mask, expected)


MASK_VALUES = [0, 1, 255, -1, 0.5, -0.0, math.nan, math.inf]


@st.composite
def masks(draw):
    dtype = draw(st.sampled_from([bool, np.uint8, np.int8, np.int32, np.float64, np.complex64]))
    height, width = draw(st.integers(0, 12)), draw(st.integers(0, 12))
    values = draw(st.lists(st.sampled_from(MASK_VALUES), min_size=height * width * 2,
                           max_size=height * width * 2))
    with np.errstate(invalid="ignore"):
        base = np.array(values, dtype=np.float64).reshape(height, width * 2)
        base = base.astype(dtype) if dtype is not bool else base != 0
    step = draw(st.sampled_from([1, 2, -1, -2]))
    return base[::draw(st.sampled_from([1, -1])), ::step]


@SETTINGS
@given(masks(), st.sampled_from([4, 8]), st.sampled_from([1, 2, 5, None]))
def test_regions_of_any_mask(mask, connectivity, threads):
    skin = mask != 0
    structure = np.ones((3, 3), bool) if connectivity == 8 else None
    labels, count = ndimage.label(skin, structure=structure)
    regions = skin_regions(mask, connectivity=connectivity, threads=threads)
    assert np.array_equal(regions.labels, labels) and len(regions) == count
    assert np.array_equal(regions.pixels, np.bincount(labels.ravel(), minlength=count + 1)[1:])
    for k, box in enumerate(ndimage.find_objects(labels) if labels.size else []):
        assert (regions.left[k], regions.top[k], regions.right[k], regions.bottom[k]) == (
            box[1].start, box[0].start, box[1].stop - 1, box[0].stop - 1)
