"""The module's function objects look and bind like Python functions."""
import inspect
import pickle
import sys
import types

import pytest

import tonesift
from tonesift import Skin

# From 3.13 the interpreter raises the stack size a code object is made with from 0 to 1.
CODE_STACK_SIZE = 1 if sys.version_info >= (3, 13) else 0

FUNCTIONS = [
    # (object, __name__, __qualname__, parameters, file, first line)
    (tonesift.tonesift, "tonesift", "tonesift", ("r", "g", "b"), "tonesift.cpp", 34),
    (vars(Skin)["_replace"], "_replace", "Skin._replace", ("self", "region"), "tonesift.cpp", 30),
    (tonesift._refuse_reduce, "_refuse_reduce", "Skin._refuse_reduce", ("self",),
     "<stringsource>", 1),
    (tonesift._refuse_setstate, "_refuse_setstate", "Skin._refuse_setstate", ("self", "state"),
     "<stringsource>", 3),
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
    assert (code.co_varnames, code.co_argcount, code.co_nlocals) == (
        parameters, len(parameters), len(parameters))
    assert (code.co_posonlyargcount, code.co_kwonlyargcount, code.co_stacksize) == (
        0, 0, CODE_STACK_SIZE)
    # The host adds CO_NOFREE to the flags it is given.
    assert code.co_flags & ~inspect.CO_NOFREE == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert (code.co_filename, code.co_firstlineno, code.co_name) == (file, line, name)
    assert (code.co_code, code.co_lnotab, code.co_consts, code.co_names) == (b"", b"", (), ())
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
