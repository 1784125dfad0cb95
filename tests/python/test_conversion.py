"""The float rule (colours) and the integer rule (record fields)."""
import sys
import warnings

import pytest

from conftest import LINE, entries, fields
from tonesift import Skin, tonesift

TONESIFT_ENTRY = [("tonesift.tonesift", "tonesift.cpp", LINE["tonesift"])]
X_ENTRY = [("tonesift.Skin.x.__set__", "tonesift.cpp", LINE["first_field"] + 3)]


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatSubclass(float):
    pass


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Inty:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntSubclass(int):
    pass


class OwnInt(int):
    """An int subclass whose stored value wins over its __int__."""

    def __int__(self):
        return 99


class Raises:
    def __float__(self):
        raise ArithmeticError("float")

    def __int__(self):
        raise ArithmeticError("int")


# --- Float rule --------------------------------------------------------------------------------

@pytest.mark.parametrize("r, g, b", [
    (200.0, 150.0, 120.0),
    (200, 150, 120),
    (Floaty(200.0), Floaty(150.0), Floaty(120.0)),
    (FloatSubclass(200), 150, 120),
    (IndexOnly(200), IndexOnly(150), IndexOnly(120)),  # 3.8's float() falls back to __index__
])
def test_float_rule_accepts_numbers(r, g, b):
    assert tonesift(r, g, b) is True


def test_minus_one_is_an_ordinary_value():
    assert tonesift(-1.0, 0, 0) is False
    assert tonesift(Floaty(-1.0), -1, -1.0) is False


@pytest.mark.parametrize("value, error, message", [
    ("200", TypeError, "must be real number, not str"),
    (None, TypeError, "must be real number, not NoneType"),
    (2 ** 1024, OverflowError, "int too large to convert to float"),
    (Raises(), ArithmeticError, "float"),
    # The interpreter's own words, which 3.15 changed.
    (Floaty(3), TypeError, r"Floaty.__float__\(\) must return a float, not int"
     if sys.version_info >= (3, 15) else r"Floaty.__float__ returned non-float \(type int\)"),
])
def test_float_rule_failures(value, error, message):
    with pytest.raises(error, match=message) as excinfo:
        tonesift(value, 150, 120)
    assert entries(excinfo) == TONESIFT_ENTRY


def test_float_rule_stops_at_the_first_failure():
    converted = []

    class Records:
        def __float__(self):
            converted.append(self)
            return 1.0

    with pytest.raises(TypeError, match="not str"):
        tonesift("r", Records(), Records())
    with pytest.raises(TypeError, match="not str"):
        tonesift(Records(), "g", Records())
    assert len(converted) == 1


def test_float_subclass_from_dunder_float_warns():
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as excinfo:
            tonesift(Floaty(FloatSubclass(200)), 150, 120)
    assert entries(excinfo) == TONESIFT_ENTRY


# --- Integer rule, through an attribute setter -------------------------------------------------

@pytest.mark.parametrize("value, stored", [
    (2147483647, 2147483647),
    (-2147483648, -2147483648),
    (-1, -1),
    (0, 0),
    (2 ** 30, 2 ** 30),              # two digits
    (-(2 ** 30) - 5, -(2 ** 30) - 5),
    (True, 1),
    (IntSubclass(12), 12),
    (OwnInt(12), 12),
    (3.9, 3),
    (-3.9, -3),
    (Inty(41), 41),
    (Inty(-1), -1),
])
def test_integer_rule_stores(record, value, stored):
    record.x = value
    assert record.x == stored


LIMIT = "value too large to convert to int"


@pytest.mark.parametrize("value, error, message", [
    (2147483648, OverflowError, LIMIT),
    (-2147483649, OverflowError, LIMIT),
    (2 ** 59, OverflowError, LIMIT),                 # two digits, beyond 32 bits
    (2 ** 62, OverflowError, LIMIT),                 # three digits, inside 64 bits
    (-(2 ** 63), OverflowError, LIMIT),
    (2 ** 63, OverflowError, "Python int too large to convert to C long"),
    (2 ** 64, OverflowError, "Python int too large to convert to C long"),
    ("3", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IndexOnly(3), TypeError, "an integer is required"),
    (Inty("3"), TypeError, r"__int__ returned non-int \(type str\)"),
    (Inty(3.0), TypeError, r"__int__ returned non-int \(type float\)"),
    (Inty(2 ** 40), OverflowError, LIMIT),
    (Inty(2 ** 70), OverflowError, "Python int too large to convert to C long"),
    (Raises(), ArithmeticError, "int"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
])
def test_integer_rule_failures_leave_every_field(record, value, error, message):
    with pytest.raises(error, match=message) as excinfo:
        record.x = value
    assert entries(excinfo) == X_ENTRY
    assert fields(record) == (1, 2, 3, 4, 5, 6)


def test_int_subclass_from_dunder_int_warns_and_converts(record):
    with pytest.warns(DeprecationWarning) as caught:
        record.x = Inty(True)
    assert record.x == 1
    assert str(caught[0].message) == (
        "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python.")


def test_int_subclass_warning_as_error_fails_and_changes_nothing(record):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as excinfo:
            record.x = Inty(IntSubclass(8))
    assert entries(excinfo) == X_ENTRY
    assert fields(record) == (1, 2, 3, 4, 5, 6)


def test_every_integer_entry_point_converts_the_same_way(record):
    for value, stored in [(3.7, 3), (Inty(-7), -7), (True, 1)]:
        assert record._replace(value).region == stored
        assert Skin(value, value, value, value, value, value).checked == stored
        record.__init__(value, 0, 0, 0, 0, 0)
        assert record.id == stored
