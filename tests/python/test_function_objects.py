"""The module's function objects look and bind like Python functions."""
import inspect
import pickle
import sys
import types
import warnings

import pytest

from conftest import LINE
import tonesift
from tonesift import Skin

# From 3.13 the interpreter raises the stack size a code object is made with from 0 to 1.
CODE_STACK_SIZE = 1 if sys.version_info >= (3, 13) else 0
# What code objects gained and lost, by version.
CODE_ATTRIBUTES_NEW = {name for version, name in [
    ((3, 10), "co_linetable"), ((3, 10), "co_lines"), ((3, 11), "co_qualname"),
    ((3, 11), "co_exceptiontable"), ((3, 11), "co_positions"), ((3, 14), "co_branches")]
    if sys.version_info >= version}
CODE_ATTRIBUTES_GONE = {"co_lnotab"} if sys.version_info >= (3, 15) else set()

FUNCTIONS = [
    # (object, __name__, __qualname__, parameters, file, first line)
    (tonesift.tonesift, "tonesift", "tonesift", ("r", "g", "b"), "tonesift.cpp",
     LINE["tonesift"]),
    (vars(Skin)["_replace"], "_replace", "Skin._replace", ("self", "region"), "tonesift.cpp",
     LINE["replace"]),
    (tonesift._refuse_reduce, "_refuse_reduce", "Skin._refuse_reduce", ("self",),
     "<stringsource>", LINE["bind_refuse_reduce"]),
    (tonesift._refuse_setstate, "_refuse_setstate", "Skin._refuse_setstate", ("self", "state"),
     "<stringsource>", LINE["refuse_setstate"]),
]


@pytest.mark.parametrize("function, name, qualname, parameters, file, line", FUNCTIONS)
def test_introspection(function, name, qualname, parameters, file, line):
    assert (function.__name__, function.__qualname__, function.__module__) == (
        name, qualname, "tonesift")
    assert function.__globals__ is vars(tonesift)
    assert function.__doc__ is None
    assert function.__defaults__ is None and function.__kwdefaults__ is None
    code = function.__code__
    assert isinstance(code, types.CodeType)
    # Every co_* attribute the host gives, each with what it must hold (the methods: what they
    # yield): one that a new version adds fails here until it is looked at.
    expected = {
        "co_argcount": len(parameters), "co_posonlyargcount": 0, "co_kwonlyargcount": 0,
        "co_nlocals": len(parameters), "co_stacksize": CODE_STACK_SIZE,
        "co_varnames": parameters, "co_freevars": (), "co_cellvars": (),
        "co_filename": file, "co_firstlineno": line, "co_name": name, "co_qualname": name,
        "co_code": b"", "co_consts": (), "co_names": (), "co_lnotab": b"", "co_linetable": b"",
        "co_exceptiontable": b"", "co_lines": [], "co_positions": [], "co_branches": [],
        # The host adds CO_NOFREE to the flags it is given.
        "co_flags": inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS,
    }
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # co_lnotab, from 3.12
        found = {attribute: getattr(code, attribute) for attribute in dir(code)
                 if attribute.startswith("co_")}
    found = {attribute: list(value()) if callable(value) else value
             for attribute, value in found.items()}
    found["co_flags"] &= ~inspect.CO_NOFREE
    assert found == {attribute: expected[attribute] for attribute in found}
    assert CODE_ATTRIBUTES_GONE.isdisjoint(found) and CODE_ATTRIBUTES_NEW <= set(found)
    assert str(inspect.signature(function)) == f"({', '.join(parameters)})"
    assert repr(function) == f"<function {qualname} at {hex(id(function))}>"


def test_methods_bind_to_instances():
    record = Skin(1, 2, 3, 4, 5, 6)
    bound = record._replace
    assert isinstance(bound, types.MethodType) and bound.__self__ is record
    assert str(inspect.signature(bound)) == "(region)"
    assert Skin._replace is vars(Skin)["_replace"]


def test_stored_in_a_python_class_it_binds_like_a_function():
    class Holder:
        classify = tonesift.tonesift

    with pytest.raises(TypeError, match="must be real number, not Holder"):
        Holder().classify(1, 2)


def test_pickled_by_reference():
    assert pickle.loads(pickle.dumps(tonesift.tonesift)) is tonesift.tonesift
    assert pickle.loads(pickle.dumps(Skin._replace)) is Skin._replace


def test_not_constructible_or_mutable():
    function_type = type(tonesift.tonesift)
    with pytest.raises(TypeError):
        function_type()
    with pytest.raises(AttributeError):
        tonesift.tonesift.__name__ = "other"
