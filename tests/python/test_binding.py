"""Binding positional and keyword arguments, in both calling flavours."""
import pytest

from conftest import LINE, entries, fields
from fuzz_shapes import EqualsEverything, RaisingEq
from tonesift import Skin, tonesift

TONESIFT_ENTRY = [("tonesift.tonesift", "tonesift.cpp", LINE["tonesift"])]
CINIT_ENTRY = [("tonesift.Skin.__cinit__", "tonesift.cpp", LINE["cinit_arguments"])]


def arity(name, expected, given):
    plural = "" if expected == 1 else "s"
    return f"{name}() takes exactly {expected} positional argument{plural} ({given} given)"


def fresh(text):
    """An equal str that is not the interned one."""
    return "".join(list(text))


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {}, arity("tonesift", 3, 2)),
    ((1, 2, 3, 4), {}, arity("tonesift", 3, 4)),
    ((), {}, arity("tonesift", 3, 0)),
    ((1,), {"g": 2}, arity("tonesift", 3, 2)),
    ((), {"r": 1, "b": 3}, arity("tonesift", 3, 1)),
    ((), {"g": 2, "b": 3}, arity("tonesift", 3, 0)),
    ((1,), {"r": 2, "g": 3}, arity("tonesift", 3, 2)),  # the missing b comes first
    ((1, 2, 3, 4), {"r": 1}, arity("tonesift", 3, 4)),
    ((1, 2, 3), {"r": 4}, "tonesift() got multiple values for keyword argument 'r'"),
    ((1, 2, 3), {"q": 4}, "tonesift() got an unexpected keyword argument 'q'"),
    ((1, 2), {"b": 3, "q": 4, "r": 5}, "tonesift() got an unexpected keyword argument 'q'"),
    ((), {"r": 1, "g": 2, "b": 3, "zz": 0}, "tonesift() got an unexpected keyword argument 'zz'"),
])
def test_tonesift_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        tonesift(*args, **kwargs)
    assert str(excinfo.value) == message
    assert entries(excinfo) == TONESIFT_ENTRY


@pytest.mark.parametrize("kwargs", [
    {"b": 120, "r": 200, "g": 150},
    {fresh("r"): 200, fresh("g"): 150, fresh("b"): 120},
    {"r": 200, EqualsEverything("zzz"): 150, "b": 120},
])
def test_keywords_bind_by_identity_then_by_equality(kwargs):
    assert tonesift(**kwargs) is True


def test_positional_and_keyword_mix_binds():
    assert tonesift(200, b=120, g=150) is True
    assert tonesift(*(200, 150, 120), **{}) is True


def test_keyword_comparison_error_propagates_with_entry():
    with pytest.raises(LookupError) as excinfo:
        tonesift(1, 2, **{RaisingEq("b"): 3})
    assert entries(excinfo) == TONESIFT_ENTRY


@pytest.mark.parametrize("call", [
    lambda: tonesift(1, 2, 3, **{1: 2}),
    lambda: tonesift(**{"r": 1, "g": 2, "b": 3, None: 4}),
    lambda: Skin._replace(Skin(1, 2, 3, 4, 5, 6), **{(): 0}),
])
def test_generic_call_with_non_str_key(call):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == "keywords must be strings"
    assert entries(excinfo) == []


# --- The dictionary flavour: Skin construction -----------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, arity("__cinit__", 6, 0)),
    ((1, 2, 3, 4, 5), {}, arity("__cinit__", 6, 5)),
    ((1, 2, 3, 4, 5, 6, 7), {}, arity("__cinit__", 6, 7)),
    ((1, 2, 3, 4, 5, 6, 7), {"x": 1}, arity("__cinit__", 6, 7)),
    ((), {"id": 7, "skin": 0, "region": 2, "x": 3, "y": 4, "checked": 1}, arity("__cinit__", 6, 0)),
    ((), {"skin_id": 1, "skin": 2, "region": 3, "x": 4, "y": 5}, arity("__cinit__", 6, 5)),
    ((1,), {"skin": 2, "x": 4, "y": 5, "checked": 6}, arity("__cinit__", 6, 2)),
    ((1, 2, 3, 4, 5), {"colour": 1}, arity("__cinit__", 6, 5)),
    ((1, 2, 3, 4, 5, 6), {"skin": 2}, "__cinit__() got multiple values for keyword argument 'skin'"),
    ((1, 2, 3, 4, 5), {"checked": 0, "colour": 1},
     "__cinit__() got an unexpected keyword argument 'colour'"),
    ((1, 2, 3, 4, 5, 6), {1: 2}, "__cinit__() keywords must be strings"),
])
def test_construction_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        Skin(*args, **kwargs)
    assert str(excinfo.value) == message
    assert entries(excinfo) == CINIT_ENTRY


@pytest.mark.parametrize("args, kwargs", [
    ((), {"skin_id": 7, "skin": 0, "region": 2, "x": 3, "y": 4, "checked": 1}),
    ((7, 0, 2), {"y": 4, "x": 3, "checked": 1}),
    ((7, 0, 2, 3, 4, 1), {}),
    ((7,), {fresh("skin"): 0, fresh("region"): 2, "x": 3, "y": 4, "checked": 1}),
])
def test_construction_binds_by_position_and_keyword(args, kwargs):
    assert fields(Skin(*args, **kwargs)) == (7, 0, 2, 3, 4, 1)


def test_keyword_lookup_error_in_construction():
    class CollidesWithSkinId(str):
        def __hash__(self):
            return hash("skin_id")

        def __eq__(self, other):
            raise LookupError("compared")

    with pytest.raises(LookupError) as excinfo:
        Skin(**{CollidesWithSkinId("other"): 1})
    assert entries(excinfo) == CINIT_ENTRY


class Number:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def test_conversion_that_empties_the_callers_dict():
    # `**values` hands the caller's own dict to the initialiser; the values it held must stay
    # alive once an earlier conversion has emptied it.
    values = {}

    class Clears:
        def __int__(self):
            values.clear()
            return 9

    values.update(skin_id=Clears(), skin=Number(2), region=Number(3), x=Number(4),
                  y=Number(5), checked=Number(6))
    assert fields(Skin.__new__(Skin, **values)) == (9, 2, 3, 4, 5, 6)


# --- _replace: one parameter after the receiver ----------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {}, arity("_replace", 1, 2)),
    ((), {}, arity("_replace", 1, 0)),
    ((), {"skin_id": 1}, arity("_replace", 1, 0)),
    ((), {"region": 1, "x": 2}, "_replace() got an unexpected keyword argument 'x'"),
    ((1,), {"region": 1}, "_replace() got multiple values for keyword argument 'region'"),
    ((1,), {"x": 1}, "_replace() got an unexpected keyword argument 'x'"),
])
def test_replace_argument_errors(record, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        record._replace(*args, **kwargs)
    assert str(excinfo.value) == message
    assert entries(excinfo) == [("tonesift.Skin._replace", "tonesift.cpp", LINE["replace"])]
    assert fields(record) == (1, 2, 3, 4, 5, 6)


@pytest.mark.parametrize("call", [
    lambda: Skin._replace(),
    lambda: Skin._replace(region=3),
    lambda: Skin._replace(self=Skin(1, 2, 3, 4, 5, 6), region=3),
])
def test_replace_without_receiver(call):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == "_replace() needs an argument"
    assert entries(excinfo) == []
