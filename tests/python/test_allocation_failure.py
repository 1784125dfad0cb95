"""Every entry point of both modules, and their imports, when an allocation fails: the k-th and
every later one (the interpreter's test hooks), for each k up to well past the last allocation
the call makes. A call must then succeed or raise MemoryError (or its usual exception), never
crash, never raise SystemError (which is how the interpreter reports a result returned with an
error set, or an error without a result), and never leave a record written in part.

Warm: in this process, after the call has run once (caches made). Cold: a fresh interpreter per
point, so that what start-up and first calls make lazily is made under the failing allocator.
CI runs every warm point and a sample of the cold ones; all of them:

    TONESIFT_ALLOCATION_SWEEP=full ./dev test tests/python/test_allocation_failure.py
"""
import gc
import os
import pickle
import sys
from pathlib import Path

import pytest

import tonesift
from tonesift import Skin

from conftest import MODULE_FILE, run_python

_testcapi = pytest.importorskip("_testcapi")
np = pytest.importorskip("numpy")
import tonesift_image  # noqa: E402

FULL = os.environ.get("TONESIFT_ALLOCATION_SWEEP") == "full"
# Under the sanitizer every fresh interpreter costs several times as much: fewer cold points.
SAMPLE_SHARE = 4 if "ASAN_OPTIONS" in os.environ else 1
PAST_THE_LAST = 20  # points swept after the first that needed no failing allocation


class Floaty:
    def __float__(self):
        return 120.5


RECORD = Skin(1, 2, 3, 4, 5, 6)
PIXELS = np.array([[[200, 150, 120], [0, 0, 0]], [[96, 75, 21], [12, 0, 0]]], np.uint8)
FAILING = PIXELS.astype(np.float64)
FAILING[1, 0] = (2, -1, -1)
MASK = np.array([[1, 0, 1], [1, 0, 0], [0, 1, 1]], np.uint8)
BOOL_VIEW = (MASK != 0)[::-1, ::2]
INT_MASK = MASK.astype(np.int32) * -7

CALLS = {
    "tonesift ints": lambda: tonesift.tonesift(200, 150, 120),
    "tonesift fractions": lambda: tonesift.tonesift(200.5, 150.25, 120.0),
    "tonesift keywords": lambda: tonesift.tonesift(200, b=120, g=Floaty()),
    "tonesift failing": lambda: tonesift.tonesift(2, -1, -1),
    "Skin()": lambda: Skin(1, 2, 3, 4, 5, 6),
    "Skin(**)": lambda: Skin(skin_id=1, skin=2, region=3, x=4, y=5, checked=6),
    "__init__": lambda: RECORD.__init__(9, 9, 9, 9, 9, 9),
    "get": lambda: RECORD.x,
    "set": lambda: setattr(RECORD, "y", 2 ** 20),
    "_replace": lambda: RECORD._replace(region=11),
    "__new__": lambda: Skin.__new__(Skin, 1, 2, 3, 4, 5, 6),
    "delete": lambda: delattr(RECORD, "region"),
    "pickle": lambda: pickle.dumps(RECORD),
    "__reduce__": lambda: RECORD.__reduce__(),
    "__setstate__": lambda: RECORD.__setstate__(None),
    "module hooks": lambda: tonesift._refuse_setstate(RECORD, state=1),
    "skin_mask uint8": lambda: tonesift_image.skin_mask(PIXELS, channels="BGR", threads=1),
    "skin_mask float64": lambda: tonesift_image.skin_mask(FAILING, threads=2),
    "skin_regions": lambda: tonesift_image.skin_regions(MASK, connectivity=4),
    "skin_regions of a bool view": lambda: tonesift_image.skin_regions(BOOL_VIEW),
    "skin_regions of int32": lambda: tonesift_image.skin_regions(INT_MASK, threads=3),
}
USUAL = {"tonesift failing": ZeroDivisionError, "pickle": TypeError, "__setstate__": TypeError,
         "skin_mask float64": ZeroDivisionError, "delete": NotImplementedError,
         "__reduce__": TypeError, "module hooks": TypeError}


def fields(record):
    return (record.id, record.skin, record.region, record.x, record.y, record.checked)


def outcome(call, k):
    """The call with every allocation from the k-th failing: 'ok', or the exception's type."""
    before = fields(RECORD)
    # Nothing of the harness may allocate inside the window, or what earlier tests left behind
    # decides the outcome instead of the call: type(error) builds an argument tuple, which comes
    # from a free list only while a full collection (test_balance's, say) has not emptied it, and
    # a collection inside the window would run the finalisers and the collector callback
    # (Hypothesis keeps one for good) of whatever ran before.
    collecting = gc.isenabled()
    gc.disable()
    _testcapi.set_nomemory(k, 0)
    try:
        call()
        result = "ok"
    except BaseException as error:  # noqa: B902 - every kind is judged below
        result = error.__class__
    finally:
        _testcapi.remove_mem_hooks()
        if collecting:
            gc.enable()
    after = fields(RECORD)
    changed = [a != b for a, b in zip(before, after)]
    assert not any(changed) or result == "ok", (before, after, result)
    return result


@pytest.mark.parametrize("name", CALLS)
def test_warm_sweep(name):
    call, usual = CALLS[name], USUAL.get(name)
    try:
        call()
    except BaseException as error:  # noqa: B902
        assert type(error) is usual
    clean, k = 0, 0
    while clean < PAST_THE_LAST:
        result = outcome(call, k)
        assert result in {"ok", MemoryError, usual}, (k, result)
        clean = clean + 1 if result != MemoryError else 0
        k += 1


COLD = """
import _testcapi, sys
k = int(sys.argv[1]) if len(sys.argv) > 1 else {k}
try:
    {statement}
    result = "ok"
except MemoryError:
    result = "MemoryError"
except BaseException as error:
    result = type(error).__name__
finally:
    _testcapi.remove_mem_hooks()
print(result)
"""

# name: (statement, what it gives when nothing fails, how many points CI samples of the sweep).
# Imports run the extension's own create and exec steps by the interpreter's C entries, so that
# the failing allocations fall in the module's start-up and not in importlib's Python code: the
# interpreter itself can die there ("Cannot recover from stack overflow") importing any module,
# pure-Python ones included, when allocations fail.
LOAD = ("import _imp, importlib.util, numpy, os; "
        "spec = importlib.util.spec_from_file_location({name!r}, {path!r}); "
        "_testcapi.set_nomemory(k, 0); _imp.exec_dynamic(_imp.create_dynamic(spec))")
COLD_STATEMENTS = {
    "start-up of tonesift": (LOAD.format(name="tonesift", path=str(MODULE_FILE)), "ok", 40),
    "first tonesift call": ("import tonesift; _testcapi.set_nomemory(k, 0); "
                            "tonesift.tonesift(2, -1, -1)",
                            "ZeroDivisionError", 40),
    "start-up of tonesift_image": (LOAD.format(
        name="tonesift_image._native",
        path=str(next(Path(tonesift_image.__file__).parent.glob("_native*.so")))), "ok", 40),
    "first skin_mask": ("import numpy; from tonesift_image import skin_mask, skin_regions; "
                        "p = numpy.zeros((3, 3, 3), numpy.uint8); _testcapi.set_nomemory(k, 0); "
                        "skin_regions(skin_mask(p))", "ok", 40),
}
ALLOWED_COLD = {"ok", "MemoryError", "ImportError", "ZeroDivisionError"}


def last_point(statement):
    """How many allocations the statement makes, cold: a sweep past it changes nothing."""
    low, high = 0, 1
    while run_point(statement, high) != "done":
        low, high = high, high * 2
        # Far past any allocation count: the statement fails for another reason.
        assert high < 1 << 24, run_python(COLD.format(k=high, statement=statement),
                                          path=[MODULE_FILE.parent], check=False).stderr[-2000:]
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if run_point(statement, middle) != "done" else (low, middle)
    return high


def run_point(statement, k):
    output = run_python(COLD.format(k=k, statement=statement), path=[MODULE_FILE.parent],
                        check=False)
    return "done" if output.returncode == 0 and output.stdout.strip().endswith(
        ("ok", "ZeroDivisionError")) else "failed"


# From 3.11 on, an allocation failing inside the interpreter's import machinery (start-up
# imports gc) can leave its eval loop raising MemoryError forever: a hang of the host, not ours.
HOST_HANGS_IN_IMPORT = sys.version_info >= (3, 11)


@pytest.mark.parametrize("name", COLD_STATEMENTS)
def test_cold_sweep(name):
    if HOST_HANGS_IN_IMPORT and name.startswith("start-up"):
        pytest.skip("the 3.11+ interpreter can hang importing under failing allocations")
    statement, expected, sampled = COLD_STATEMENTS[name]
    end = last_point(statement)
    step = 1 if FULL else max(1, end * SAMPLE_SHARE // sampled)
    points = list(range(0, end + PAST_THE_LAST, step)) + [end - 1, end]
    results = {}
    for k in points:
        output = run_python(COLD.format(k=k, statement=statement),
                            path=[MODULE_FILE.parent], check=False)
        assert "SystemError" not in output.stderr and "Fatal" not in output.stderr, k
        if output.returncode == 1:
            # The harness's own exception handling can run out of memory too; a MemoryError
            # that reaches the top is still an orderly failure.
            assert output.stderr.rstrip().endswith("MemoryError"), (k, output.stderr[-2000:])
            result = "MemoryError"
        else:
            assert output.returncode == 0, (k, output.returncode, output.stderr[-2000:])
            result = output.stdout.strip().splitlines()[-1]
        assert result in ALLOWED_COLD, (k, result, output.stderr[-2000:])
        results[result] = results.get(result, 0) + 1
    assert results.get(expected) and results.get("MemoryError")
    print(f"\n{name}: {len(points)} points, last failing allocation {end - 1}: {results}")
