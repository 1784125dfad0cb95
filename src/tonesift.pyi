# Types of the tonesift extension module.
from typing import (Any, Dict, SupportsFloat, SupportsIndex, SupportsInt, TypeVar, Union,
                    overload)

_Record = TypeVar("_Record", bound="Skin")
# What the conversions take: a colour component is anything with __float__ or __index__ (numpy
# scalars included), a record field anything with __int__ or __index__.
_Colour = Union[SupportsFloat, SupportsIndex]
_FieldValue = Union[SupportsInt, SupportsIndex]

__test__: Dict[str, Any]

def tonesift(r: _Colour, g: _Colour, b: _Colour) -> bool: ...

# A field reads as int and takes any _FieldValue; a property cannot say so to every mypy that
# still runs on 3.8, a descriptor can.
class _Field:
    @overload
    def __get__(self, instance: None, owner: Any) -> _Field: ...
    @overload
    def __get__(self, instance: Skin, owner: Any) -> int: ...
    def __set__(self, instance: Skin, value: _FieldValue) -> None: ...

class Skin:
    id: _Field
    skin: _Field
    region: _Field
    x: _Field
    y: _Field
    checked: _Field
    def __init__(
        self,
        skin_id: _FieldValue,
        skin: _FieldValue,
        region: _FieldValue,
        x: _FieldValue,
        y: _FieldValue,
        checked: _FieldValue,
    ) -> None: ...
    def _replace(self: _Record, region: _FieldValue) -> _Record: ...
