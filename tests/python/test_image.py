"""tonesift_image: whole-image masks equal tonesift() per pixel, regions equal scipy's."""
import hashlib
import math
import threading

import numpy as np
import pytest

from conftest import PHOTOS, reference_mask, run_python
import tonesift
import tonesift_image
from tonesift_image import find_skin_regions, skin_mask, skin_regions

ndimage = pytest.importorskip("scipy.ndimage")
Image = pytest.importorskip("PIL.Image")


def photo(path):
    with Image.open(path) as image:
        return np.asarray(image.convert("RGB"))


# --- Masks ---------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def cube():
    """All 16,777,216 colours in a 4096 x 4096 image, and tonesift()'s verdict on each."""
    levels = np.arange(1 << 24, dtype=np.uint32)
    rgb = np.stack([levels >> 16, (levels >> 8) & 255, levels & 255], axis=-1).astype(np.uint8)
    rgb = rgb.reshape(4096, 4096, 3)
    r, g, b = (rgb[..., i].ravel().tolist() for i in range(3))
    expected = np.fromiter(map(tonesift.tonesift, r, g, b), dtype=bool, count=1 << 24)
    return rgb, expected.reshape(4096, 4096)


def test_the_whole_cube_equals_tonesift_in_every_channel_order(cube):
    rgb, expected = cube
    assert expected.any() and not expected.all()
    assert np.array_equal(skin_mask(rgb), expected)
    assert np.array_equal(skin_mask(rgb[..., ::-1], channels="BGR"), expected)
    alpha = np.full(rgb.shape[:2] + (1,), 7, dtype=np.uint8)
    assert np.array_equal(skin_mask(np.concatenate([rgb, alpha], axis=2), channels="RGBA"),
                          expected)
    bgra = np.concatenate([rgb[..., ::-1], alpha], axis=2)
    assert np.array_equal(skin_mask(bgra, channels="BGRA", threads=2), expected)


CUBE_DIGEST = """
import hashlib, numpy as np, tonesift_image
from tonesift_image import _native
levels = np.arange(1 << 24, dtype=np.uint32)
rgb = np.stack([levels >> 16, (levels >> 8) & 255, levels & 255], axis=-1).astype(np.uint8)
rgb = rgb.reshape(4096, 4096, 3)
bgra = np.dstack([rgb[..., ::-1], np.zeros(rgb.shape[:2], np.uint8)])
digest = hashlib.sha256(tonesift_image.skin_mask(rgb).tobytes())
digest.update(tonesift_image.skin_mask(bgra, channels="BGRA").tobytes())
digest.update(tonesift_image.find_skin_regions(rgb[::3, ::5]).labels.tobytes())
digest.update(tonesift_image.skin_mask(rgb.astype(np.float64)).tobytes())
digest.update(tonesift_image.skin_mask(rgb[::7, ::11] + 0.25).tobytes())
print(_native.simd, digest.hexdigest())
"""


# The kernels have no Python in them, and the native tests prove each on the cube for every
# build: this Python proof, through the binding, runs on the oldest and the newest version.
@pytest.mark.pure_python
@pytest.mark.parametrize("path", ["scalar", "sse2", "avx2"])
def test_every_simd_path_gives_tonesifts_verdicts(cube, path):
    result = run_python(CUBE_DIGEST, env={"TONESIFT_SIMD": path}, check=False)
    if "this CPU cannot run it" in result.stderr:
        pytest.skip(f"no {path} here")
    rgb, expected = cube
    digest = hashlib.sha256(expected.tobytes())
    digest.update(expected.tobytes())
    digest.update(skin_regions(expected[::3, ::5]).labels.tobytes())
    digest.update(expected.tobytes())  # the cube as float64
    quarters = (rgb[::7, ::11] + 0.25).reshape(-1, 3).tolist()
    digest.update(np.array([tonesift.tonesift(*colour) for colour in quarters]).tobytes())
    assert result.stdout.split() == [path, digest.hexdigest()], result.stderr


def test_an_unknown_simd_path_is_refused():
    result = run_python("from tonesift_image import skin_mask", env={"TONESIFT_SIMD": "neon"},
                        check=False)
    assert "TONESIFT_SIMD must be avx2, sse2 or scalar, not neon" in result.stderr


SPECIALS = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-310, 1e308, 255.5, 256.0, -3.25]


def test_doubles_equal_tonesift_including_specials():
    rng = np.random.default_rng(12)
    pixels = rng.uniform(-2, 258, (120, 90, 3))
    pixels[rng.random(pixels.shape) < 0.05] = 0
    specials = rng.choice(SPECIALS, pixels.shape)
    chosen = rng.random(pixels.shape) < 0.08
    pixels[chosen] = specials[chosen]
    # Keep only pixels on which tonesift() does not fail, so that every verdict is compared.
    for y, x in np.ndindex(pixels.shape[:2]):
        try:
            tonesift.tonesift(*pixels[y, x].tolist())
        except ZeroDivisionError:
            pixels[y, x] = (1.0, 2.0, 3.0)
    expected = reference_mask(pixels)
    assert isinstance(expected, np.ndarray)
    for threads in (1, 3):
        assert np.array_equal(skin_mask(pixels, threads=threads), expected)
    whole = rng.integers(0, 256, (50, 40, 3)).astype(np.float64)
    assert np.array_equal(skin_mask(whole), skin_mask(whole.astype(np.uint8)))
    assert np.array_equal(skin_mask(whole), reference_mask(whole))


@pytest.mark.parametrize("failing", [
    [((2, -1, -1), (17, 3))],                                   # the sum cancels
    [((1e305, 1e-20, 1), (40, 0)), ((2, -1, -1), (41, 7))],     # green over the sum underflows
    [((1e-200, 1e-201, 1e-201), (5, 88)), ((math.inf, 0, 0), (2, 9))],
])
def test_a_failing_division_names_the_first_failing_pixel(failing):
    pixels = np.full((60, 100, 3), 120.5)
    for colour, where in failing:
        pixels[where] = colour
    expected = reference_mask(pixels)
    assert isinstance(expected, tuple)
    for threads, call in [(1, skin_mask), (4, skin_mask), (1, find_skin_regions),
                          (4, find_skin_regions), (4, lambda p, threads: find_skin_regions(
                              p, threads=threads, labels=False))]:
        with pytest.raises(ZeroDivisionError, match=r"^float division at row \d+, column \d+$") \
                as excinfo:
            call(pixels, threads=threads)
        assert (excinfo.value.row, excinfo.value.column) == expected


@pytest.fixture(scope="module")
def sample():
    return photo(PHOTOS[0])


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("view, on_mask", [
    (lambda a: a[::-1], lambda m: m[::-1]),                 # negative row stride
    (lambda a: a[:, ::-3], lambda m: m[:, ::-3]),           # negative column stride, every third
    (lambda a: a[100:180, 7:300:2], lambda m: m[100:180, 7:300:2]),
    (np.asfortranarray, lambda m: m),
    (lambda a: a.transpose(1, 0, 2).copy().transpose(1, 0, 2), lambda m: m),
    (read_only, lambda m: m),
    (lambda a: memoryview(np.ascontiguousarray(a)), lambda m: m),
    (lambda a: Image.fromarray(np.ascontiguousarray(a)), lambda m: m),
], ids=["flipped", "reversed columns", "window", "fortran", "transposed storage", "read-only",
        "memoryview", "PIL image"])
def test_any_view_of_the_pixels_gives_the_same_mask(sample, view, on_mask):
    assert np.array_equal(skin_mask(view(sample)), on_mask(skin_mask(sample)))


def test_the_sample_mask_equals_tonesift(sample):
    assert np.array_equal(skin_mask(sample), reference_mask(sample))


def test_empty_images_give_empty_masks():
    for shape in [(0, 0, 3), (0, 7, 3), (7, 0, 4)]:
        channels = "RGB" if shape[2] == 3 else "RGBA"
        for dtype in (np.uint8, np.float64):
            mask = skin_mask(np.zeros(shape, dtype), channels=channels)
            assert mask.shape == shape[:2] and mask.dtype == bool


def test_float32_is_judged_as_the_doubles_it_holds_and_0_to_1_is_warned_of(recwarn):
    # float32 is what OpenCV and PyTorch hand out; scikit-image's floats lie in 0..1.
    pixels = (np.random.default_rng(5).random((30, 40, 3)) * 280 - 10).astype(np.float32)
    expected = reference_mask(pixels)
    assert np.array_equal(skin_mask(pixels), expected)
    assert np.array_equal(find_skin_regions(pixels).labels != 0, expected)
    assert not recwarn
    for call in (skin_mask, find_skin_regions):
        with pytest.warns(UserWarning, match="lies in 0..1, but the colour rules are on the "
                                             "0..255 scale: multiply them by 255 first"):
            call(pixels.clip(0, 255) / np.float32(255))


@pytest.mark.parametrize("call, error, message", [
    (lambda: skin_mask(np.zeros((4, 4), np.uint8)), ValueError, "not one of 2 dimensions"),
    (lambda: skin_mask(np.zeros((2, 2, 2, 3), np.uint8)), ValueError, "not one of 4 dimensions"),
    (lambda: skin_mask(np.zeros((4, 4, 4), np.uint8)), ValueError, "needs 3 channels"),
    (lambda: skin_mask(np.zeros((4, 4, 3), np.uint8), channels="RGBA"), ValueError,
     "needs 4 channels per pixel, and these pixels have 3"),
    (lambda: skin_mask(np.zeros((4, 4, 3), np.uint8), channels="HSV"), ValueError,
     "channels must be one of 'RGB', 'BGR', 'RGBA', 'BGRA', not 'HSV'"),
    (lambda: skin_mask(np.zeros((4, 4, 3), np.uint8), channels=None), ValueError, "not None"),
    (lambda: skin_mask(np.zeros((4, 4, 3), np.int32)), TypeError,
     "uint8 levels or float32 or float64 components, not int32"),
    (lambda: skin_mask(np.zeros((4, 4, 3), ">f8")), TypeError, "not >f8"),
    (lambda: skin_mask(np.zeros((4, 4, 3), np.uint8), threads=0), ValueError, "at least 1"),
    (lambda: skin_mask(np.zeros((4, 4, 3), np.uint8), threads=1.5), TypeError, "not float"),
    (lambda: skin_mask(np.zeros((4, 4, 3), np.uint8), threads=True), TypeError, "not bool"),
    (lambda: skin_regions(np.zeros((4, 4), bool), connectivity=6), ValueError, "4 or 8, not 6"),
    (lambda: skin_regions(np.zeros((4, 4), bool), connectivity=True), ValueError, "not True"),
    (lambda: skin_regions(np.zeros((4, 4, 1), bool)), ValueError, "not one of 3 dimensions"),
    (lambda: skin_regions(np.array([["a"]])), TypeError, "numbers or booleans, not <U1"),
    (lambda: skin_regions(np.zeros((2, 2), object)), TypeError, "not object"),
    (lambda: skin_mask(np.zeros((2, 3, 3), np.uint8), out=np.zeros((2, 3), np.uint8)),
     ValueError, "out must be a (2, 3) array of bool, not a (2, 3) array of uint8"),
    (lambda: skin_regions(np.zeros((2, 3), bool), out=np.zeros((3, 2), np.int32)),
     ValueError, "of int32, not a (3, 2) array of int32"),
    (lambda: find_skin_regions(np.zeros((2, 3, 3), np.uint8), out=np.zeros((3, 2), np.int32).T),
     ValueError, "out must be C-contiguous"),
    (lambda: skin_mask(np.zeros((2, 3, 3), np.uint8), out=read_only(np.zeros((2, 3), bool))),
     ValueError, "out is read-only"),
    (lambda: skin_mask(np.zeros((2, 3, 3), np.uint8), out=[[0] * 3] * 2), TypeError,
     "out must be a numpy array, not list"),
    (lambda: find_skin_regions(np.zeros((2, 3, 3), np.uint8), labels=False,
                               out=np.zeros((2, 3), np.int32)),
     ValueError, "out needs labels=True"),
    (lambda: (lambda s: skin_mask(s[..., :3], out=s.reshape(-1)[:6].view(bool).reshape(2, 3)))(
        np.zeros((2, 3, 4), np.uint8)), ValueError, "out must not share memory with the input"),
    (lambda: find_skin_regions(np.zeros((2, 3, 3), np.uint8), labels=1), TypeError,
     "labels must be True or False, not int"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_bad_arguments_are_named(call, error, message):
    with pytest.raises(error, match=None) as excinfo:
        call()
    assert message in str(excinfo.value)


def test_a_mask_too_large_for_memory_is_a_memory_error():
    pixels = np.broadcast_to(np.zeros(3, np.uint8), (1 << 30, 1 << 31, 3))
    with pytest.raises(MemoryError):
        skin_mask(pixels, threads=1)


def test_sizes_that_overflow_are_refused():
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, bool), shape=(1 << 16, 1 << 16),
                                           strides=(0, 0))
    with pytest.raises(ValueError, match="more pixels than int32 labels can number"):
        skin_regions(huge)


# --- Regions -------------------------------------------------------------------------------------

def scipy_regions(mask, connectivity):
    structure = np.ones((3, 3), bool) if connectivity == 8 else None
    labels, count = ndimage.label(mask, structure=structure)
    boxes = ndimage.find_objects(labels)
    pixels = np.bincount(labels.ravel(), minlength=count + 1)[1:]
    return labels, count, pixels, [(b[1].start, b[0].start, b[1].stop - 1, b[0].stop - 1)
                                   for b in boxes]


@pytest.mark.parametrize("connectivity", [8, 4])
@pytest.mark.parametrize("path", PHOTOS, ids=lambda path: path.name)
def test_regions_of_photos_equal_scipy(path, connectivity):
    mask = skin_mask(photo(path))
    labels, count, pixels, boxes = scipy_regions(mask, connectivity)
    regions = skin_regions(mask, connectivity=connectivity)
    assert regions.labels.dtype == np.int32 and regions.labels.shape == mask.shape
    assert np.array_equal(regions.labels, labels)
    assert len(regions) == count
    assert np.array_equal(regions.pixels, pixels)
    assert list(zip(regions.left.tolist(), regions.top.tolist(), regions.right.tolist(),
                    regions.bottom.tolist())) == boxes
    centres = np.array(ndimage.center_of_mass(mask, labels, range(1, count + 1))).reshape(-1, 2)
    assert np.allclose(regions.centroid_y, centres[:, 0], rtol=0, atol=1e-9)
    assert np.allclose(regions.centroid_x, centres[:, 1], rtol=0, atol=1e-9)


@pytest.mark.parametrize("values", [
    lambda m: m.astype(np.uint8) * 255,
    lambda m: m.astype(np.int16) * -3,
    lambda m: np.where(m, np.nan, 0.0),
    lambda m: np.where(m, 1 + 1j, 0),
    lambda m: m.view(np.uint8) * 2,          # a bool array holds 0/1, this holds 0/2
    lambda m: np.asfortranarray(m)[::-1][::-1],
], ids=["uint8 255", "int16 negative", "float NaN", "complex", "even bytes", "fortran"])
def test_any_non_zero_value_counts_as_skin(sample, values):
    mask = skin_mask(sample)
    expected = skin_regions(mask)
    regions = skin_regions(values(mask))
    assert np.array_equal(regions.labels, expected.labels) and len(regions) == len(expected)


def test_regions_equal_the_per_pixel_flood_fill(sample):
    from tonesift_image import _analysis
    records = _analysis.classify_pixels(sample, lambda rows: None)
    reference = _analysis.group_regions(records, sample.shape[1], sample.shape[0])
    regions = skin_regions(skin_mask(sample))
    assert [(r.pixels, r.left, r.top, r.right, r.bottom) for r in reference] == list(zip(
        regions.pixels.tolist(), regions.left.tolist(), regions.top.tolist(),
        regions.right.tolist(), regions.bottom.tolist()))
    assert [record.region for record in records] == regions.labels.ravel().tolist()


def same_regions(found, expected):
    assert found.shape == expected.shape and len(found) == len(expected)
    for column in ("pixels", "left", "top", "right", "bottom", "centroid_x", "centroid_y"):
        assert np.array_equal(getattr(found, column), getattr(expected, column)), column


@pytest.mark.parametrize("view, channels", [
    (lambda a: a, "RGB"),
    (lambda a: np.ascontiguousarray(a[..., ::-1]), "BGR"),
    (lambda a: np.dstack([a, np.full(a.shape[:2], 9, np.uint8)]), "RGBA"),
    (lambda a: np.dstack([a[..., ::-1], np.zeros(a.shape[:2], np.uint8)])[::-1], "BGRA"),
    (lambda a: a.transpose(1, 0, 2), "RGB"),
    (lambda a: a[:, 3:301:2].astype(np.float64), "RGB"),
], ids=["RGB", "BGR", "RGBA", "BGRA flipped", "transposed", "float64 window"])
@pytest.mark.parametrize("connectivity, threads", [(8, 1), (4, 1), (8, 3)])
def test_one_pass_equals_mask_then_regions(sample, view, channels, connectivity, threads):
    pixels = view(sample)
    expected = skin_regions(skin_mask(pixels, channels=channels), connectivity=connectivity)
    found = find_skin_regions(pixels, channels=channels, connectivity=connectivity,
                              threads=threads)
    assert np.array_equal(found.labels, expected.labels)
    same_regions(found, expected)
    bare = find_skin_regions(pixels, channels=channels, connectivity=connectivity,
                             threads=threads, labels=False)
    assert bare.labels is None
    same_regions(bare, expected)


def test_out_is_written_in_place_and_returned(sample):
    mask_out = np.ones(sample.shape[:2], bool)
    labels_out = np.full(sample.shape[:2], -5, np.int32)
    expected_mask = skin_mask(sample)
    expected = skin_regions(expected_mask)
    for _ in range(2):  # the second time over the first call's result
        assert skin_mask(sample, out=mask_out) is mask_out
        assert np.array_equal(mask_out, expected_mask)
        for regions in (skin_regions(expected_mask, out=labels_out),
                        find_skin_regions(sample, out=labels_out, threads=2)):
            assert regions.labels is labels_out
            assert np.array_equal(labels_out, expected.labels)
            same_regions(regions, expected)


def test_empty_masks_have_no_regions():
    for shape in [(0, 0), (0, 9), (9, 0), (3, 3)]:
        regions = skin_regions(np.zeros(shape, bool))
        assert len(regions) == 0 and regions.labels.shape == shape
        found = find_skin_regions(np.zeros(shape + (3,), np.uint8), labels=False)
        assert len(found) == 0 and found.shape == shape and found.centroid_x.dtype == np.float64
        assert regions.pixels.dtype == np.int64 and regions.left.dtype == np.int32


# --- Threads -------------------------------------------------------------------------------------

def test_threads_change_nothing_but_speed():
    rng = np.random.default_rng(3)
    pixels = rng.integers(0, 256, (1500, 700, 3), dtype=np.uint8)
    reference = skin_mask(pixels, threads=1)
    regions = skin_regions(reference, threads=1)
    for threads in (2, 3, 16, None):
        assert np.array_equal(skin_mask(pixels, threads=threads), reference)
        for connectivity in (4, 8):
            banded = skin_regions(reference, connectivity=connectivity, threads=threads)
            single = regions if connectivity == 8 else skin_regions(reference, connectivity=4,
                                                                    threads=1)
            assert np.array_equal(banded.labels, single.labels)
            for column in ("pixels", "left", "top", "right", "bottom"):
                assert np.array_equal(getattr(banded, column), getattr(single, column))
    assert np.array_equal(skin_mask(pixels.astype(np.float64), threads=3), reference)


def test_calls_from_several_threads_at_once(sample):
    big = np.tile(sample, (4, 4, 1))
    expected = skin_mask(big, threads=1)
    expected_regions = skin_regions(expected)
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                mask = skin_mask(big)
                results.append(np.array_equal(mask, expected) and np.array_equal(
                    skin_regions(mask).labels, expected_regions.labels))
        except BaseException as error:  # noqa: B902 - reported below
            errors.append(error)

    workers = [threading.Thread(target=work) for _ in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert errors == [] and results == [True] * 12


def test_regions_index_and_iterate_as_region_records():
    regions = skin_regions([[1, 0, 1], [0, 0, 1]], connectivity=4)
    assert regions[1] == regions[-1] == tonesift_image.Region(2, 2, 2, 0, 2, 1, 2.0, 0.5)
    assert list(regions) == [regions[0], regions[1]] and type(regions[0].pixels) is int
    for index in (2, -3):
        with pytest.raises(IndexError, match="out of range for 2 regions"):
            regions[index]


def test_the_package_says_what_it_offers():
    assert set(tonesift_image.__all__) == {"Region", "Regions", "skin_mask", "skin_regions",
                                           "find_skin_regions",
                                           "analyse_image", "analyse_images", "analyse_video",
                                           "read_records"}
    assert "0 outside every region" in tonesift_image.Regions.__doc__
