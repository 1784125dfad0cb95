"""Every entry point, on its success path and each failure path, many times over: no reference
is gained or lost and no memory is kept.

The interpreter's own caches (of looked-up names, among others) can move a reference count or
keep a block now and then, whatever the module does, so one measurement proves nothing. A leak
grows with the number of calls and a cache does not: as CPython's reference-leak hunter does, the
calls run in several rounds and only a change seen in every round counts."""
import array
import copy
import gc
import pickle
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

import tonesift
import tonesift_image
from tonesift import Skin

ROUNDS = 4
CALLS_PER_ROUND = 2_500
SLACK_BYTES = 4096


class Floaty:
    def __float__(self):
        return 100.0


class Inty:
    def __int__(self):
        return 7


class IntSubclass(int):
    pass


class ReturnsSubclass:
    def __int__(self):
        return IntSubclass(3)


class Raises:
    def __int__(self):
        raise ArithmeticError("no")

    __float__ = __int__


RECORD = Skin(1, 2, 3, 4, 5, 6)
PIXELS = np.arange(8 * 8 * 3, dtype=np.uint8).reshape(8, 8, 3)
FAILING_PIXELS = PIXELS.astype(np.float64)
FAILING_PIXELS[3, 4] = (2, -1, -1)
WRONG_PIXELS = PIXELS.astype(np.int16)
MASK = PIXELS[..., 0] % 3 == 0
INT_MASK = PIXELS[..., 1].astype(np.int32)
# Made at run time: a free-threaded interpreter makes the constants of compiled code immortal,
# and an immortal object's count never moves.
BIG = int("1" + "0" * 12)
HUGE = int("1" + "0" * 21)
TEXT = "text"
FLOATY, INTY, SUBCLASS, RAISES = Floaty(), Inty(), ReturnsSubclass(), Raises()
KWARGS = {"skin_id": 1, "skin": 2, "region": 3, "x": 4, "y": 5, "checked": 6}
NON_STR_KEY = {1: 2}
FIELDS = ("id", "skin", "region", "x", "y", "checked")


def set_field(name, value):
    def call():
        setattr(RECORD, name, value)
    return call


def delete_field(name):
    def call():
        delattr(RECORD, name)
    return call


CASES = [
    # tonesift
    ("tonesift ints", lambda: tonesift.tonesift(200, 150, 120), None),
    ("tonesift floats", lambda: tonesift.tonesift(20.5, 15.0, 12.0), None),
    ("tonesift objects", lambda: tonesift.tonesift(FLOATY, True, BIG), None),
    ("tonesift keywords", lambda: tonesift.tonesift(200, b=120, g=150), None),
    ("tonesift generic call", lambda: tonesift.tonesift(*(200, 150), **{"b": 120}), None),
    ("tonesift arity", lambda: tonesift.tonesift(1, 2), TypeError),
    ("tonesift missing", lambda: tonesift.tonesift(1, g=2), TypeError),
    ("tonesift duplicate", lambda: tonesift.tonesift(1, 2, 3, r=4), TypeError),
    ("tonesift unexpected", lambda: tonesift.tonesift(1, 2, 3, q=4), TypeError),
    ("tonesift non-str key", lambda: tonesift.tonesift(1, 2, 3, **NON_STR_KEY), TypeError),
    ("tonesift str", lambda: tonesift.tonesift(TEXT, 1, 2), TypeError),
    ("tonesift overflow", lambda: tonesift.tonesift(1, 2 ** 1100, 3), OverflowError),
    ("tonesift raising", lambda: tonesift.tonesift(1, 2, RAISES), ArithmeticError),
    ("tonesift line 57", lambda: tonesift.tonesift(2, -1, -1), ZeroDivisionError),
    ("tonesift line 58", lambda: tonesift.tonesift(1e305, 1e-20, 1), ZeroDivisionError),
    # construction and __init__
    ("Skin positional", lambda: Skin(1, 2, 3, 4, 5, 6), None),
    ("Skin keywords", lambda: Skin(**KWARGS), None),
    ("Skin objects", lambda: Skin(INTY, True, 3.5, BIG - BIG, 5, -6), None),
    ("Skin arity", lambda: Skin(1, 2), TypeError),
    ("Skin missing keyword", lambda: Skin(1, skin=2), TypeError),
    ("Skin duplicate", lambda: Skin(1, 2, 3, 4, 5, 6, skin=2), TypeError),
    ("Skin unexpected", lambda: Skin(1, 2, 3, 4, 5, checked=6, colour=7), TypeError),
    ("Skin non-str key", lambda: Skin(1, 2, 3, 4, 5, 6, **NON_STR_KEY), TypeError),
    ("Skin line 11", lambda: Skin(BIG, 2, 3, 4, 5, 6), OverflowError),
    ("Skin line 12", lambda: Skin(1, 2, 3, 4, 5, TEXT), TypeError),
    ("Skin host overflow", lambda: Skin(HUGE, 2, 3, 4, 5, 6), OverflowError),
    ("__init__", lambda: RECORD.__init__(1, 2, 3, 4, 5, 6), None),
    ("__init__ failure", lambda: RECORD.__init__(1, 2, 3, 4, 5, RAISES), ArithmeticError),
    ("__new__ only", lambda: Skin.__new__(Skin, 1, 2, 3, 4, 5, 6), None),
    # fields
    *[(f"get {name}", (lambda name=name: getattr(RECORD, name)), None) for name in FIELDS],
    *[(f"set {name}", set_field(name, 9), None) for name in FIELDS],
    *[(f"set {name} str", set_field(name, TEXT), TypeError) for name in FIELDS],
    ("set overflow", set_field("x", BIG), OverflowError),
    ("set host overflow", set_field("x", HUGE), OverflowError),
    ("set __int__", set_field("y", INTY), None),
    ("set __int__ raising", set_field("y", RAISES), ArithmeticError),
    ("set subclass warning as error", set_field("y", SUBCLASS), DeprecationWarning),
    ("delete", delete_field("region"), NotImplementedError),
    # _replace
    ("_replace", lambda: RECORD._replace(7), None),
    ("_replace keyword", lambda: RECORD._replace(region=7), None),
    ("_replace through the class", lambda: Skin._replace(RECORD, 7), None),
    ("_replace arity", lambda: RECORD._replace(1, 2), TypeError),
    ("_replace unexpected", lambda: RECORD._replace(region=1, x=2), TypeError),
    ("_replace overflow", lambda: RECORD._replace(BIG), OverflowError),
    ("_replace no receiver", lambda: Skin._replace(), TypeError),
    ("_replace other receiver", lambda: Skin._replace(TEXT, 7), TypeError),
    ("_replace non-str key", lambda: Skin._replace(RECORD, **NON_STR_KEY), TypeError),
    # pickling hooks
    ("pickle", lambda: pickle.dumps(RECORD), TypeError),
    ("copy", lambda: copy.copy(RECORD), TypeError),
    ("__reduce__", lambda: RECORD.__reduce__(), TypeError),
    ("__reduce__ arity", lambda: RECORD.__reduce__(1), TypeError),
    ("__reduce__ keyword", lambda: RECORD.__reduce__(key=1), TypeError),
    ("__reduce__ non-str key", lambda: RECORD.__reduce__(**NON_STR_KEY), TypeError),
    ("__setstate__", lambda: RECORD.__setstate__(TEXT), TypeError),
    ("__setstate__ arity", lambda: RECORD.__setstate__(), TypeError),
    ("module reduce hook", lambda: tonesift._refuse_reduce(TEXT), TypeError),
    ("module set-state hook", lambda: tonesift._refuse_setstate(TEXT, state=1), TypeError),
    # whole images: the inputs' buffers are given back, results and errors leave nothing behind
    ("skin_mask", lambda: tonesift_image.skin_mask(PIXELS[::-1], channels="BGR"), None),
    ("skin_mask failing", lambda: tonesift_image.skin_mask(FAILING_PIXELS), ZeroDivisionError),
    ("skin_mask wrong dtype", lambda: tonesift_image.skin_mask(WRONG_PIXELS), TypeError),
    ("skin_regions", lambda: tonesift_image.skin_regions(MASK, connectivity=4), None),
    ("skin_regions int", lambda: tonesift_image.skin_regions(INT_MASK, threads=2), None),
]

WATCHED = [
    True, False, None, RECORD, BIG, HUGE, TEXT, FLOATY, INTY, SUBCLASS, RAISES, KWARGS,
    NON_STR_KEY, TypeError, OverflowError, ZeroDivisionError, NotImplementedError,
    ArithmeticError, DeprecationWarning, tonesift.tonesift, Skin, vars(Skin)["_replace"],
    PIXELS, FAILING_PIXELS, WRONG_PIXELS, MASK, INT_MASK, ZeroDivisionError, MemoryError,
    *[sys.intern(name) for name in ("r", "g", "b", "self", "skin_id", "skin", "region", "x", "y",
                                    "checked", "state")],
    *range(-5, 257),  # the cached small ints, which most calls pass
]


def reference_counts():
    # Kept as machine integers: a list of ints would itself hold references to small ints.
    return array.array("q", (sys.getrefcount(item) for item in WATCHED))


def drive(call, expected, times):
    for _ in range(times):
        if expected is None:
            call()
            continue
        try:
            call()
        except expected:
            pass
        else:
            raise AssertionError(f"{call} did not raise {expected}")


def balance(call, expected):
    """The watched objects whose counts changed in every round, and the traced bytes kept in
    every round (None where some round kept none worth counting)."""
    rounds = []
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        drive(call, expected, 200)  # fills caches and free lists
        gc.collect()
        gc.disable()
        tracemalloc.start()
        try:
            for _ in range(ROUNDS):
                counts = reference_counts()
                baseline = tracemalloc.get_traced_memory()[0]
                drive(call, expected, CALLS_PER_ROUND)
                traced = tracemalloc.get_traced_memory()[0]  # large, so not a cached small int
                rounds.append((counts, reference_counts(), traced - baseline))
        finally:
            tracemalloc.stop()
            gc.enable()
    changed = {}
    for index, item in enumerate(WATCHED):
        deltas = [after[index] - before[index] for before, after, _ in rounds]
        if all(deltas):
            changed[repr(item)] = deltas
    kept = [grown for _, _, grown in rounds]
    return changed, (kept if min(kept) >= SLACK_BYTES else None)


@pytest.mark.parametrize("call, expected", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_references_and_memory_balance(call, expected):
    assert balance(call, expected) == ({}, None)


LEAKED = []


def test_the_check_sees_a_leak():
    # BIG, not a literal string or constant: those can be immortal, and their counts never move.
    changed, _ = balance(lambda: LEAKED.append(BIG), None)
    LEAKED.clear()
    assert changed == {repr(BIG): [CALLS_PER_ROUND] * ROUNDS}
    changed, kept = balance(lambda: LEAKED.append(bytearray(8)), None)
    LEAKED.clear()
    assert changed == {} and kept is not None and min(kept) > CALLS_PER_ROUND * 8
