"""tonesift(r, g, b): verdicts, failed divisions and their traceback entries."""
import math
import random
import sys
from pathlib import Path

import pytest

from conftest import LINE, entries
from tonesift import tonesift

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import pure_python  # noqa: E402  (what a user would write instead, used as the oracle)

INF = math.inf
NAN = math.nan


def reference(r, g, b):
    """The rules in plain Python floats, which round every operation on their own."""
    try:
        return bool(pure_python.is_skin(r, g, b))
    except ZeroDivisionError:
        return "float division"


def outcome(r, g, b):
    try:
        return tonesift(r, g, b)
    except ZeroDivisionError as error:
        return str(error)


@pytest.mark.parametrize("colour, expected", [
    ((200, 150, 120), True),       # normalised RGB, after plain RGB rejects green >= 100
    ((100, 45, 25), True),         # plain RGB
    ((95, 41, 21), True),          # HSV, hue 16.2
    ((150, 140, 110), True),       # YCbCr alone
    ((0, 0, 0), False),
    ((255, 255, 255), False),
    ((255, 0, 0), False),
    ((22, 17, 10), False),         # hue exactly 35, an open bound
    ((92, 80, 80), False),         # a fused multiply-add would accept it
    ((-0.0, 0.0, 0.0), False),
    ((INF, 50, 30), True),         # accepted before the normalised rule could fail on it
    ((INF, INF, INF), False),
    ((NAN, 100, 50), False),
    ((150, NAN, 60), False),
    ((150, 90, NAN), False),
])
def test_verdicts_are_the_interpreter_booleans(colour, expected):
    assert tonesift(*colour) is expected


def test_reds_accepted_exactly_on_the_cr_window():
    accepted = [r for r in range(256) if tonesift(r, 0, 0)]
    assert accepted == list(range(12, 97))
    assert tonesift(11.5, 0, 0) is False and tonesift(96.5, 0, 0) is False


@pytest.mark.parametrize("colour, rule_line", [
    ((2, -1, -1), LINE["normalising"]),               # the sum cancels
    ((1e-200, 1e-201, 1e-201), LINE["ratio_test"]),   # the squared sum underflows
    ((1e305, 1e-20, 1), LINE["ratio_test"]),          # green over the sum underflows
    ((1e308, 1e308, 1e308), LINE["ratio_test"]),      # the sum overflows
])
def test_failed_division_entries(colour, rule_line):
    with pytest.raises(ZeroDivisionError, match=r"^float division$") as excinfo:
        tonesift(*colour)
    assert entries(excinfo) == [
        ("tonesift.tonesift", "tonesift.cpp", LINE["rule_call"]),
        ("tonesift._norm_rgb_classifier", "tonesift.cpp", rule_line),
    ]


def test_a_failure_leaves_nothing_to_reset():
    with pytest.raises(ZeroDivisionError):
        tonesift(2, -1, -1)
    assert tonesift(200, 150, 120) is True


def test_agrees_with_unfused_reference_arithmetic():
    rng = random.Random(20261208)
    colours = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(20000)]
    colours += [tuple(rng.uniform(-20, 280) for _ in range(3)) for _ in range(20000)]
    colours += [tuple(rng.choice([0.0, -0.0, 1e-300, 1e300, INF, -INF, NAN, 96, 255])
                      for _ in range(3)) for _ in range(3000)]
    mismatches = [c for c in colours if outcome(*c) != reference(*c)]
    assert mismatches == []


class FloatRule:
    """Forces the float rule and the arithmetic: not an int or a float, only convertible."""

    def __init__(self, value, log=None):
        self.value, self.log = value, log

    def __float__(self):
        if self.log is not None:
            self.log.append(self.value)
        return float(self.value)


class FloatWithOwnConversion(float):
    def __float__(self):  # the float rule reads a float's value and never calls this
        raise AssertionError("called")


def test_whole_levels_agree_with_the_float_rule():
    rng = random.Random(8)
    colours = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(5000)]
    colours += [(r, g, b) for r in (0, 1, 95, 96, 254, 255) for g in (0, 40, 41, 99, 100, 255)
                for b in (0, 20, 21, 255)]
    for colour in colours:
        expected = tonesift(*map(FloatRule, colour))
        assert tonesift(*colour) is expected, colour
        assert tonesift(*map(float, colour)) is expected, colour
        assert tonesift(*map(FloatWithOwnConversion, colour)) is expected, colour
        assert tonesift(*(-0.0 if c == 0 else c for c in colour)) is expected, colour


@pytest.mark.parametrize("position", [0, 1, 2])
def test_components_are_converted_once_and_in_order(position):
    log = []
    colour = [FloatRule(200, log), FloatRule(150, log), FloatRule(120, log)]
    colour[position] = (200, 150, 120)[position]  # one whole level among them
    assert tonesift(*colour) is True
    assert log == [c for i, c in enumerate((200, 150, 120)) if i != position]


@pytest.mark.parametrize("colour", [
    (200, 150, FloatRule("not a number")),
    (200.0, 150, FloatRule("not a number")),
])
def test_a_failing_conversion_after_whole_levels_keeps_its_entry(colour):
    with pytest.raises(ValueError) as excinfo:
        tonesift(*colour)
    assert entries(excinfo) == [("tonesift.tonesift", "tonesift.cpp", LINE["tonesift"])]


@pytest.mark.parametrize("colour", [
    (True, 150, 120), (200, 150, 120.5), (256, 150, 120), (-1, 150, 120), (255.00001, 150, 120),
    (2 ** 40, 150, 120), (200, NAN, 120), (200, INF, 120), (FloatWithOwnConversion(200.5), 150, 120),
])
def test_values_outside_the_table_take_the_arithmetic(colour):
    values = (float.__float__(c) if isinstance(c, float) else float(c) for c in colour)
    assert outcome(*colour) == reference(*values)
