"""Random calls into tonesift's entry points, and the invariants each call must keep.

A call is built from a stream of choices (a Chooser), so the same shapes serve Hypothesis, which
shrinks a failing stream to a minimal one, and atheris, which steers it by coverage. Shapes vary
the positional count, the keyword names (interned, built at run time, str subclasses with odd
__eq__ and __hash__, names that are not str) and the arguments (numbers at every boundary, NaN and
infinities, and hostile objects whose conversions raise, return the wrong type or a subclass,
write into the records, drop the last reference to the record being written, or call back into
tonesift).
"""
import copy
import pickle
import struct
import sys
import warnings

import tonesift
from tonesift import Skin

FIELDS = ("id", "skin", "region", "x", "y", "checked")
CONSTRUCTOR_NAMES = ("skin_id", "skin", "region", "x", "y", "checked")
NAMES = ("r", "g", "b", "skin_id", "region", "state", "self", "id", "checked", "q", "")


class HostileError(Exception):
    """Raised by the hostile objects' own conversions."""


# What a call may raise: the module's own errors, the host's conversion errors, and whatever the
# hostile objects raise themselves (HostileError, and LookupError from keyword comparisons).
ALLOWED = (TypeError, OverflowError, ZeroDivisionError, NotImplementedError, ValueError,
           DeprecationWarning, HostileError, LookupError)


class Chooser:
    """Choices read from a fuzzer's bytes; once they run out, every choice is the lowest.

    Zero bytes mean the simplest choices, so a shrinking fuzzer shrinks towards simple calls.
    """

    def __init__(self, data):
        self.data = memoryview(data)
        self.position = 0

    def take(self, count):
        chunk = self.data[self.position:self.position + count]
        self.position += count
        return bytes(chunk).ljust(count, b"\0")

    def number(self, low, high):
        span = high - low
        if span <= 0:
            return low
        size = (span.bit_length() + 7) // 8
        return low + int.from_bytes(self.take(size), "little") % (span + 1)

    def real(self):
        return struct.unpack("<d", self.take(8))[0]

    def pick(self, options):
        return options[self.number(0, len(options) - 1)]


class World:
    """Three records and the fields they are expected to hold."""

    def __init__(self):
        self.records = [Skin(i, 1, 0, 10 * i, 20 * i, 0) for i in range(3)]
        self.model = [list(fields(record)) for record in self.records]
        self.holders = []
        self.calls = 0

    def write(self, index, field, value):
        setattr(self.records[index], FIELDS[field], value)
        self.model[index][field] = getattr(self.records[index], FIELDS[field])


def fields(record):
    return tuple(getattr(record, name) for name in FIELDS)


class IntSubclass(int):
    pass


class FloatSubclass(float):
    pass


class StrSubclass(str):
    pass


class EqualsEverything(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class RaisingEq(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("keyword comparison")


class OddHash(str):
    """Equal text, another hash: a dict keeps it beside the plain name."""

    def __hash__(self):
        return 12345

    __eq__ = str.__eq__


class Hostile:
    """A conversion that misbehaves in the way `behaviour` names."""

    def __init__(self, world, behaviour, payload):
        self.world, self.behaviour, self.payload = world, behaviour, payload

    def convert(self, kind):
        behaviour, payload, world = self.behaviour, self.payload, self.world
        if behaviour == "raise":
            raise HostileError(kind)
        if behaviour == "mutate":
            world.write(payload % 3, payload % 6, payload)
            return payload
        if behaviour == "drop":
            for holder in world.holders:
                holder.clear()
            return payload
        if behaviour == "reenter":
            assert tonesift.tonesift(200, 150, 120) is True
            Skin(1, 2, 3, 4, 5, 6)._replace(payload % 100)
            return payload
        return {
            "int": payload, "bool": bool(payload % 2), "int subclass": IntSubclass(payload),
            "float": float(payload), "float subclass": FloatSubclass(payload), "str": str(payload),
            "huge": payload * 2 ** 80, "nan": float("nan"), "none": None,
        }[behaviour]


class HostileInt(Hostile):
    def __int__(self):
        return self.convert("int")


class HostileFloat(Hostile):
    def __float__(self):
        return self.convert("float")


class HostileIndex(Hostile):
    def __index__(self):
        return self.convert("index")


class HostileAll(HostileInt, HostileFloat, HostileIndex):
    pass


BEHAVIOURS = ("int", "bool", "int subclass", "float", "float subclass", "str", "huge", "nan",
              "none", "raise", "mutate", "drop", "reenter")
HOSTILE_TYPES = (HostileInt, HostileFloat, HostileIndex, HostileAll)
BOUNDARIES = (2 ** 31 - 1, 2 ** 31, -2 ** 31, -2 ** 31 - 1, 2 ** 60 - 1, 2 ** 60, 2 ** 63 - 1,
              2 ** 63, -2 ** 63, -2 ** 63 - 1, 2 ** 64, 2 ** 1024, -1, 0)
SPECIAL_FLOATS = (float("nan"), float("inf"), -float("inf"), -0.0, 0.0, 1e-300, 1e308, 95.0,
                  96.5, 2147483648.0, -1.0)


def make_value(chooser, world):
    kind = chooser.number(0, 11)
    if kind == 0:
        return chooser.number(-300, 300)
    if kind == 1:
        return chooser.pick(BOUNDARIES)
    if kind == 2:
        return chooser.pick((1, -1)) * 2 ** chooser.number(31, 1100)
    if kind == 3:
        return chooser.real()
    if kind == 4:
        return chooser.pick(SPECIAL_FLOATS)
    if kind == 5:
        return chooser.pick((True, False, None, "3", "", b"1", (), 1j))
    if kind == 6:
        return IntSubclass(chooser.number(-2 ** 40, 2 ** 40))
    if kind == 7:
        return FloatSubclass(chooser.real())
    if kind == 8:
        return chooser.pick(world.records)
    return chooser.pick(HOSTILE_TYPES)(world, chooser.pick(BEHAVIOURS), chooser.number(-50, 300))


def make_keyword(chooser):
    name = chooser.pick(NAMES)
    form = chooser.number(0, 7)
    if form == 0:
        return name
    if form == 1:
        return "".join(list(name))  # equal to the interned name, but another object
    if form == 2:
        return StrSubclass(name)
    if form == 3:
        return EqualsEverything(name)
    if form == 4:
        return RaisingEq(name)
    if form == 5:
        return OddHash(name)
    if form == 6:
        return sys.intern(name)
    return chooser.pick((1, None, (), b"r", 2.5))


def make_arguments(chooser, world, most):
    args = [make_value(chooser, world) for _ in range(chooser.number(0, most))]
    kwargs = {}
    try:
        for _ in range(chooser.number(0, 4)):
            kwargs[make_keyword(chooser)] = make_value(chooser, world)
    except LookupError:  # a RaisingEq key met its twin while the dict was built
        pass
    return args, kwargs


def make_call(chooser, world):
    """Returns (description, function, args, kwargs, check) for one call."""
    target = chooser.number(0, 12)
    index = chooser.number(0, 2)
    record = world.records[index]
    args, kwargs = make_arguments(chooser, world, 8 if target != 3 else 0)
    if target == 0:
        return "tonesift", tonesift.tonesift, args, kwargs, ("boolean", None, ())
    if target == 1:
        return "Skin", Skin, args, kwargs, ("record", None, ())
    if target == 2:
        return "__init__", record.__init__, args, kwargs, ("none", index, range(6))
    if target == 3:
        field = chooser.number(0, 5)
        value = make_value(chooser, world)
        if chooser.number(0, 9) == 0:
            return "delattr", delattr, [record, FIELDS[field]], {}, ("fails", index, ())
        return "setattr", setattr, [record, FIELDS[field], value], {}, ("none", index, (field,))
    if target == 4:
        return "_replace", record._replace, args, kwargs, ("receiver", index, (2,))
    if target == 5:
        if chooser.number(0, 3):
            args.insert(0, record)
        # Whatever comes first is the receiver; only a world record may change.
        first = next((j for j, r in enumerate(world.records) if args and args[0] is r), None)
        return "Skin._replace", Skin._replace, args, kwargs, (
            "any" if first is None else "receiver", first, (2,))
    if target == 6:
        holder = [Skin(7, 7, 7, 7, 7, 7)]
        world.holders.append(holder)
        value = HostileInt(world, "drop", chooser.number(0, 100))
        how = chooser.pick(("_replace", "setattr", "__init__"))
        return f"drop during {how}", drop_during, [holder, how, value], {}, ("any", None, ())
    hooks = {
        7: ("__reduce__", record.__reduce__), 8: ("__setstate__", record.__setstate__),
        9: ("_refuse_reduce", tonesift._refuse_reduce),
        10: ("_refuse_setstate", tonesift._refuse_setstate),
    }
    if target in hooks:
        name, function = hooks[target]
        return name, function, args, kwargs, ("fails", None, ())
    if target == 11:
        return "pickle", pickle.dumps, [record, chooser.number(0, 5)], {}, ("fails", None, ())
    return "copy", chooser.pick((copy.copy, copy.deepcopy)), [record], {}, ("fails", None, ())


def reference_counts(world):
    return [sys.getrefcount(record) for record in world.records]


def drop_during(holder, how, value):
    # The call holds the record itself while the conversion drops the holder's reference.
    if how == "_replace":
        holder[0]._replace(value)
    elif how == "setattr":
        holder[0].x = value
    else:
        holder[0].__init__(value, 1, 2, 3, 4, 5)


def run_call(chooser, world):
    description, function, args, kwargs, (expect, index, may_change) = make_call(chooser, world)
    world.calls += 1
    counts = reference_counts(world)
    with warnings.catch_warnings():
        warnings.simplefilter(chooser.pick(("error", "ignore")))
        try:
            result = function(*args, **kwargs)
            failed = None
        except BaseException as error:  # anything outside ALLOWED is a finding
            failed = type(error)
            result = None
    if failed is not None:
        assert issubclass(failed, ALLOWED), f"{description} raised {failed.__name__}"
    elif expect == "fails":
        raise AssertionError(f"{description} succeeded")
    elif expect == "boolean":
        assert result is True or result is False, f"{description} returned {result!r}"
    elif expect == "receiver":
        assert result is world.records[index], f"{description} did not return its receiver"
    elif expect == "record":
        assert type(result) is Skin
    elif expect == "none":
        assert result is None, f"{description} returned {result!r}"
    del result
    for j, record in enumerate(world.records):
        actual = list(fields(record))
        changeable = may_change if (j == index and failed is None) else ()
        for field in range(6):
            if field not in changeable:
                assert actual[field] == world.model[j][field], (
                    f"{description} {'failed but ' if failed else ''}changed "
                    f"record {j}.{FIELDS[field]}: {world.model[j][field]} -> {actual[field]}")
        world.model[j] = actual
    del record
    assert reference_counts(world) == counts, (
        f"{description} changed a record's reference count")
