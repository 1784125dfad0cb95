"""Shared helpers: the module under test, its traceback entries, and fresh interpreters."""
import os
import re
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path

import numpy as np
import pytest

import tonesift

BUILD_DIR = os.environ.get("TONESIFT_BUILD_DIR")
MODULE_FILE = Path(tonesift.__file__).resolve()
ROOT = Path(__file__).resolve().parents[2]
# The built-in sample, then the photographs beside the project where they are.
PHOTOS = [ROOT / "src" / "tonesift_image" / "data" / "astronaut.png"] + sorted(
    (ROOT.parent / "shared" / "data").glob("*.png"))
PHOTOS = [path for path in PHOTOS if path.exists()]
# Under ThreadSanitizer (./dev tsan) the threads that write into an input while the library reads
# it stand still: that race is the caller's, documented as giving an unspecified result, and the
# sanitizer would report it every time. The calls on several threads at once still run.
INPUT_WRITERS = not os.environ.get("TONESIFT_TSAN")
# Channel orders of whole images: indices of red, green and blue, and channels per pixel.
CHANNEL_ORDERS = {"RGB": (0, 1, 2, 3), "BGR": (2, 1, 0, 3), "RGBA": (0, 1, 2, 4),
                  "BGRA": (2, 1, 0, 4)}


def reference_mask(pixels, channels="RGB"):
    """tonesift() on every pixel in reading order, each component passed as a float: the
    verdicts as a bool (height, width) array, or the (row, column) of the first pixel on which
    it fails."""
    red, green, blue, _ = CHANNEL_ORDERS[channels]
    height, width = pixels.shape[:2]
    flat = np.asarray(pixels).reshape(height * width, pixels.shape[2])
    verdicts = []
    for index, (r, g, b) in enumerate(zip(flat[:, red].tolist(), flat[:, green].tolist(),
                                          flat[:, blue].tolist())):
        try:
            verdicts.append(tonesift.tonesift(float(r), float(g), float(b)))
        except ZeroDivisionError:
            return divmod(index, width)
    return np.array(verdicts, dtype=bool).reshape(height, width)


def pytest_report_header(config):
    return f"tonesift: {MODULE_FILE}"


def pytest_collection_modifyitems(config, items):
    """TONESIFT_SUITE=c-api keeps what depends on the interpreter's C API: CI's runs on the
    versions between the oldest and the newest."""
    if os.environ.get("TONESIFT_SUITE") != "c-api":
        return
    left_out = [item for item in items if item.get_closest_marker("pure_python")]
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        items[:] = [item for item in items if not item.get_closest_marker("pure_python")]


def pytest_configure(config):
    if BUILD_DIR and Path(BUILD_DIR).resolve() not in MODULE_FILE.parents:
        raise pytest.UsageError(f"tonesift imported from {MODULE_FILE}, not from {BUILD_DIR}")


NATIVE_FILES = ("tonesift.cpp", "<stringsource>")

# From 3.9 on the interpreter refuses the non-str keyword names of `f(**{1: 2})` itself, before
# the module's own check can run.
INTERPRETER_CHECKS_KEYWORD_NAMES = sys.version_info >= (3, 9)
OUR_KEYWORD_CHECK = pytest.mark.skipif(INTERPRETER_CHECKS_KEYWORD_NAMES,
                                       reason="the interpreter checks keyword names from 3.9 on")


# The lines of the module's traceback entries and code records, by name: the code's own table.
LINE = {name: int(line) for name, line in re.findall(
    r"inline constexpr int (\w+) = (\d+);",
    (ROOT / "src" / "module" / "source_lines.h").read_text(encoding="utf-8"))}


def entries(excinfo):
    """The module's (function, file, line) entries, outermost first.

    They must sit together below the calling Python frames (a frame of Python code that raised
    inside the module may follow them).
    """
    tb = excinfo.value.__traceback__ if hasattr(excinfo, "value") else excinfo.__traceback__
    frames = [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(tb)]
    native = [i for i, frame in enumerate(frames) if frame[1] in NATIVE_FILES]
    assert native == list(range(native[0], native[0] + len(native))) if native else True, frames
    assert not native or native[0] > 0, frames
    return [frames[i] for i in native]


def run_python(source, *, python=sys.executable, path=(), env=None, check=True):
    """Runs `source` in a fresh interpreter that imports tonesift from `path` (default: ours)."""
    search = [str(p) for p in path] or [str(MODULE_FILE.parent)]
    environment = dict(os.environ, **(env or {}))
    environment["PYTHONPATH"] = os.pathsep.join(search)
    result = subprocess.run(
        [python, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        env=environment,
        timeout=120,
    )
    if check and result.returncode != 0:
        raise AssertionError(f"exit {result.returncode}\n{result.stdout}\n{result.stderr}")
    return result


@pytest.fixture
def record():
    return tonesift.Skin(1, 2, 3, 4, 5, 6)


FIELDS = ("id", "skin", "region", "x", "y", "checked")


def fields(rec):
    return tuple(getattr(rec, name) for name in FIELDS)
