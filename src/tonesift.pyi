# Types of the tonesift extension module.
from typing import Any, Dict, TypeVar

_Record = TypeVar("_Record", bound="Skin")

__test__: Dict[str, Any]

def tonesift(r: float, g: float, b: float) -> bool: ...

class Skin:
    id: int
    skin: int
    region: int
    x: int
    y: int
    checked: int
    def __init__(
        self, skin_id: int, skin: int, region: int, x: int, y: int, checked: int
    ) -> None: ...
    def _replace(self: _Record, region: int) -> _Record: ...
