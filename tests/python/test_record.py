"""The Skin record: its fields, construction, _replace, and the refusal to pickle or copy."""
import abc
import copy
import gc
import pickle
import re
import sys

import pytest

from conftest import (FIELDS, LINE, INTERPRETER_CHECKS_KEYWORD_NAMES, OUR_KEYWORD_CHECK, entries,
                      fields, run_python)
import tonesift
from tonesift import Skin


class Counting:
    """Converts to `value` and counts how often it was asked."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __int__(self):
        self.calls += 1
        return self.value + self.calls


class TestType:
    def test_identity_and_layout(self):
        assert (Skin.__name__, Skin.__qualname__, Skin.__module__) == ("Skin", "Skin", "tonesift")
        assert Skin.__doc__ is None
        # The object header, then six 32-bit fields (the header is larger without the GIL).
        assert Skin.__basicsize__ == object.__basicsize__ + 24 and Skin.__itemsize__ == 0
        assert Skin.__mro__ == (Skin, object)
        assert not hasattr(Skin(1, 2, 3, 4, 5, 6), "__dict__")
        assert not gc.is_tracked(Skin(1, 2, 3, 4, 5, 6))

    def test_namespace(self):
        names = set(vars(Skin))
        assert set(FIELDS) | {"_replace", "__reduce__", "__setstate__"} <= names
        assert not {"_refuse_reduce", "_refuse_setstate"} & names
        assert [vars(Skin)[name].__name__ for name in FIELDS] == list(FIELDS)

    def test_static_namespace_refuses_changes(self):
        # From 3.10 on the interpreter words the refusal for every immutable type its own way.
        message = ("cannot set 'colour' attribute of immutable type 'tonesift.Skin'"
                   if sys.version_info >= (3, 10) else
                   "can't set attributes of built-in/extension type 'tonesift.Skin'")
        with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
            Skin.colour = 1
        with pytest.raises(TypeError):
            del Skin._replace

    def test_compares_and_hashes_by_identity(self):
        a, b = Skin(1, 2, 3, 4, 5, 6), Skin(1, 2, 3, 4, 5, 6)
        assert a != b and a == a
        assert hash(a) != hash(b) and {a: 1}[a] == 1


class TestFields:
    @pytest.mark.parametrize("name", FIELDS)
    def test_each_field_is_its_own(self, record, name):
        before = dict(zip(FIELDS, fields(record)))
        setattr(record, name, -7)
        assert dict(zip(FIELDS, fields(record))) == {**before, name: -7}

    @pytest.mark.parametrize("line, name", enumerate(FIELDS, start=LINE["first_field"]))
    def test_setter_entry_names_its_field(self, record, line, name):
        with pytest.raises(TypeError, match="an integer is required") as excinfo:
            setattr(record, name, "1")
        assert entries(excinfo) == [(f"tonesift.Skin.{name}.__set__", "tonesift.cpp", line)]
        assert fields(record) == (1, 2, 3, 4, 5, 6)

    @pytest.mark.parametrize("name", FIELDS)
    def test_deletion_refused(self, record, name):
        with pytest.raises(NotImplementedError, match="^__del__$") as excinfo:
            delattr(record, name)
        assert entries(excinfo) == []
        assert fields(record) == (1, 2, 3, 4, 5, 6)

    def test_unknown_attribute(self, record):
        with pytest.raises(AttributeError):
            record.colour = 1
        with pytest.raises(AttributeError):
            record.colour

    def test_setter_whose_conversion_writes_the_same_field(self, record):
        class Meddles:
            def __int__(self):
                record.x = 100
                return 5

        record.x = Meddles()
        assert record.x == 5


class TestConstruction:
    def test_positional(self):
        assert fields(Skin(1, 1, 0, 10, 20, 0)) == (1, 1, 0, 10, 20, 0)

    def test_extremes(self):
        assert fields(Skin(-1, -1, -1, -1, -1, -1)) == (-1,) * 6
        low, high = -2 ** 31, 2 ** 31 - 1
        assert fields(Skin(low, high, low, high, low, high)) == (low, high) * 3

    @pytest.mark.parametrize("position, line", [(0, LINE["cinit_arguments"]),
                                                (4, LINE["cinit_arguments"]),
                                                (5, LINE["cinit_checked"])])
    @pytest.mark.parametrize("bad, error", [(2 ** 31, OverflowError), ("a", TypeError)])
    def test_cinit_conversion_lines(self, position, line, bad, error):
        args = [1, 2, 3, 4, 5, 6]
        args[position] = bad
        with pytest.raises(error) as excinfo:
            Skin(*args)
        assert entries(excinfo) == [("tonesift.Skin.__cinit__", "tonesift.cpp", line)]

    def test_first_bad_argument_is_reported(self):
        with pytest.raises(TypeError) as excinfo:
            Skin("a", 2, 3, 4, 5, None)
        assert entries(excinfo)[-1][2] == LINE["cinit_arguments"]

    def test_reinit_overwrites_or_changes_nothing(self, record):
        assert record.__init__(9, 8, 7, 6, 5, 4) is None
        assert fields(record) == (9, 8, 7, 6, 5, 4)
        for args, line in [((9, 8, 7, 6, 5, "a"), LINE["init_checked"]),
                           ((1, 2), LINE["init_arguments"]),
                           (("a", 0, 0, 0, 0, 0), LINE["init_arguments"])]:
            with pytest.raises(TypeError) as excinfo:
                record.__init__(*args)
            assert entries(excinfo) == [("tonesift.Skin.__init__", "tonesift.cpp", line)]
            assert fields(record) == (9, 8, 7, 6, 5, 4)

    def test_each_argument_converted_twice(self):
        value = Counting(10)
        assert Skin(value, 0, 0, 0, 0, 0).id == 12
        assert value.calls == 2
        value = Counting(10)
        assert Skin.__new__(Skin, value, 0, 0, 0, 0, 0).id == 11

    def test_records_are_freed(self):
        before = sys.getallocatedblocks()
        for i in range(20000):
            Skin(i, 0, 0, i, i, 0)._replace(i)
        assert sys.getallocatedblocks() - before < 100


class TestSubclasses:
    def test_inherits_fields_replace_and_refusal(self):
        class Pixel(Skin):
            def total(self):
                return self.x + self.y

        pixel = Pixel(1, 2, 3, 4, 5, 6)
        assert pixel.total() == 9 and fields(pixel._replace(8)) == (1, 2, 8, 4, 5, 6)
        with pytest.raises(TypeError, match="non-trivial __cinit__"):
            pickle.dumps(pixel)

    def test_six_arguments_whatever_the_subclass_init_takes(self):
        class Short(Skin):
            def __init__(self, skin_id):
                super().__init__(skin_id, 0, 0, 0, 0, 0)

        with pytest.raises(TypeError, match=r"__cinit__\(\) takes exactly 6 .* \(1 given\)"):
            Short(1)

    def test_finaliser_runs_once(self):
        finalised = []

        class Finalised(Skin):
            def __del__(self):
                finalised.append(self.id)

        Finalised(5, 0, 0, 0, 0, 0)
        gc.collect()
        assert finalised == [5]

    def test_abstract_subclass_is_refused(self):
        class Abstract(Skin, metaclass=abc.ABCMeta):
            @abc.abstractmethod
            def method(self):
                pass

        with pytest.raises(TypeError, match="Can't instantiate abstract class"):
            Abstract(1, 2, 3, 4, 5, 6)

    def test_own_reduce_pickles(self):
        global Portable

        class Portable(Skin):
            def __reduce__(self):
                return (Portable, fields(self))

        copied = pickle.loads(pickle.dumps(Portable(1, 2, 3, 4, 5, 6)))
        assert type(copied) is Portable and fields(copied) == (1, 2, 3, 4, 5, 6)


class TestReplace:
    def test_returns_the_receiver_with_region_changed(self, record):
        assert record._replace(7) is record
        assert fields(record) == (1, 2, 7, 4, 5, 6)

    @pytest.mark.parametrize("call", [
        lambda rec: rec._replace(-1),
        lambda rec: rec._replace(region=-1),
        lambda rec: Skin._replace(rec, -1),
        lambda rec: Skin._replace(rec, region=-1),
        lambda rec: rec._replace(-1.5),
    ])
    def test_ways_to_call(self, record, call):
        assert call(record) is record and record.region == -1

    def test_overflow_changes_nothing(self, record):
        with pytest.raises(OverflowError, match="value too large to convert to int") as excinfo:
            record._replace(2147483648)
        assert entries(excinfo) == [("tonesift.Skin._replace", "tonesift.cpp", LINE["replace"])]
        assert fields(record) == (1, 2, 3, 4, 5, 6)

    def test_receiver_of_another_type_is_refused_in_a_fresh_process(self):
        result = run_python("""
            import tonesift
            victim = bytearray(64)
            try:
                tonesift.Skin._replace(victim, 7)
            except TypeError as error:
                print(error)
            assert victim == bytearray(64)
        """)
        assert result.stdout == (
            "descriptor '_replace' for 'tonesift.Skin' objects doesn't apply to a 'bytearray' object\n")


REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


class TestPicklingRefusal:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickle_every_protocol(self, record, protocol):
        with pytest.raises(TypeError, match=f"^{REFUSAL}$"):
            pickle.dumps(record, protocol)
        with pytest.raises(TypeError, match=f"^{REFUSAL}$"):
            record.__reduce_ex__(protocol)

    @pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, lambda rec: rec.__reduce__()])
    def test_copying(self, record, copier):
        with pytest.raises(TypeError, match=f"^{REFUSAL}$") as excinfo:
            copier(record)
        assert entries(excinfo) == [("tonesift.Skin._refuse_reduce", "<stringsource>",
                                     LINE["refuse_reduce"])]

    @pytest.mark.parametrize("call, message", [
        (lambda rec: rec.__reduce__(1), "_refuse_reduce() takes exactly 0 positional arguments (1 given)"),
        (lambda rec: rec.__reduce__(key=1), "_refuse_reduce() got an unexpected keyword argument 'key'"),
        pytest.param(lambda rec: rec.__reduce__(**{1: 2}),
                     "_refuse_reduce() keywords must be strings", marks=OUR_KEYWORD_CHECK),
    ])
    def test_reduce_argument_errors_have_no_entry(self, record, call, message):
        with pytest.raises(TypeError) as excinfo:
            call(record)
        assert str(excinfo.value) == message
        assert entries(excinfo) == []

    @pytest.mark.skipif(not INTERPRETER_CHECKS_KEYWORD_NAMES, reason="3.8 leaves it to us")
    @pytest.mark.parametrize("call", [lambda rec: rec.__reduce__(**{1: 2}),
                                      lambda rec: rec.__setstate__(1, **{3: 2})])
    def test_the_interpreter_refuses_non_str_keywords_first(self, record, call):
        with pytest.raises(TypeError, match="^keywords must be strings$") as excinfo:
            call(record)
        assert entries(excinfo) == []

    @pytest.mark.parametrize("state", [(), {}, None, (1, 2)])
    def test_setstate_refuses_and_changes_nothing(self, record, state):
        with pytest.raises(TypeError, match=f"^{REFUSAL}$") as excinfo:
            record.__setstate__(state)
        assert entries(excinfo) == [("tonesift.Skin._refuse_setstate", "<stringsource>",
                                     LINE["refuse_setstate_raise"])]
        assert fields(record) == (1, 2, 3, 4, 5, 6)

    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "_refuse_setstate() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "_refuse_setstate() takes exactly 1 positional argument (2 given)"),
        ((1,), {"state": 2}, "_refuse_setstate() got multiple values for keyword argument 'state'"),
        pytest.param((1,), {3: 2}, "_refuse_setstate() keywords must be strings",
                     marks=OUR_KEYWORD_CHECK),
    ])
    def test_setstate_argument_errors_have_an_entry(self, record, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            record.__setstate__(*args, **kwargs)
        assert str(excinfo.value) == message
        assert entries(excinfo) == [("tonesift.Skin._refuse_setstate", "<stringsource>",
                                     LINE["refuse_setstate"])]

    def test_setstate_by_keyword(self, record):
        with pytest.raises(TypeError, match=f"^{REFUSAL}$"):
            record.__setstate__(state=1)

    def test_hooks_report_their_declared_names(self):
        assert Skin.__reduce__.__name__ == "_refuse_reduce"
        assert Skin.__setstate__.__name__ == "_refuse_setstate"

    def test_descriptor_checks_the_receiver(self):
        with pytest.raises(TypeError, match="for 'tonesift.Skin' objects doesn't apply to a 'int'"):
            Skin.__reduce__(5)

    @pytest.mark.parametrize("name, args, line", [
        ("_refuse_reduce", (), LINE["refuse_reduce"]),
        ("_refuse_setstate", (None,), LINE["refuse_setstate_raise"]),
    ])
    def test_module_level_hook_functions_refuse_any_receiver(self, name, args, line):
        with pytest.raises(TypeError, match=f"^{REFUSAL}$") as excinfo:
            getattr(tonesift, name)(object(), *args)
        assert entries(excinfo) == [(f"tonesift.Skin.{name}", "<stringsource>", line)]
