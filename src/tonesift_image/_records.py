"""Records: what a run tells of each input, described once.

``RECORD`` lists a record's fields, in order, with their types. The records themselves, the
``--json`` document around them, the Arrow schema of a Parquet output and the JSON Schema shipped
in the docs are all made from it, so that a field added or changed here changes all four.
"""
import json
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

from ._version import __version__

if TYPE_CHECKING:
    from ._analysis import Analysis

# The version of the records' and the document's layout; it rises with any change a reader of
# the earlier layout would trip over. 2: boxes name their sides left, top, right and bottom, as
# the Python API and the report do (1 said x_min, y_min, x_max, y_max). 3: the frames of clips,
# with their "time" (null for pictures) and "frames" null where a clip's container does not say.
SCHEMA_VERSION = 3
_BOX_SIDES_1 = {"x_min": "left", "y_min": "top", "x_max": "right", "y_max": "bottom"}
SCHEMA_NAME = "tonesift-regions"
ENGINES = ("whole-image", "per-pixel")


class Integer(NamedTuple):
    arrow: str                     # "int32" or "int64"
    minimum: Optional[int] = 0
    maximum: Optional[int] = None
    nullable: bool = False


class Number(NamedTuple):
    minimum: float = 0
    maximum: Optional[float] = 1
    nullable: bool = False


class Text(NamedTuple):
    nullable: bool = False
    one_line: bool = False
    choices: Tuple[str, ...] = ()


class Struct(NamedTuple):
    fields: Tuple["Field", ...]


class ListOf(NamedTuple):
    item: Any


class Field(NamedTuple):
    name: str
    type: Any
    # In the record of an input that was analysed, of one that failed, or both.
    done: bool = True
    failed: bool = False


COUNT = Integer("int64")
COORDINATE = Integer("int32")
SHARE = Number()
BOX = Struct(tuple(Field(name, COORDINATE) for name in ("left", "top", "right", "bottom")))
REGION = Struct((Field("region", Integer("int64", 1)), Field("pixels", Integer("int64", 1)),
                 Field("share", SHARE), Field("box", BOX)))

RECORD: Tuple[Field, ...] = (
    Field("schema_version", Integer("int32", SCHEMA_VERSION, SCHEMA_VERSION), failed=True),
    Field("input", Text(), failed=True),
    Field("status", Text(choices=("ok", "failed")), failed=True),
    Field("error", Text(one_line=True), done=False, failed=True),
    Field("width", COUNT),
    Field("height", COUNT),
    Field("pixels", COUNT),
    Field("frame", Integer("int32", 1)),
    Field("frames", Integer("int32", 1, nullable=True)),
    Field("time", Number(maximum=None, nullable=True)),
    Field("orientation", Integer("int32", 1, 8)),
    Field("skin_pixels", COUNT),
    Field("skin_share", SHARE),
    Field("regions", COUNT),
    Field("regions_at_least_min_pixels", COUNT),
    Field("largest_regions", ListOf(REGION)),
    Field("mask", Text(nullable=True)),
    Field("overlay", Text(nullable=True)),
)
DONE = tuple(field.name for field in RECORD if field.done)
FAILED = tuple(field.name for field in RECORD if field.failed)


# --- Records --------------------------------------------------------------------------------------

def _ordered(values: Dict[str, Any], names: Sequence[str]) -> dict:
    return {name: values[name] for name in names}


def done(input: str, analysis: "Analysis", *, top: int, min_pixels: int,
         mask: Optional[str] = None, overlay: Optional[str] = None) -> dict:
    """The record of an analysed input, without timings."""
    from ._arrays import largest_first  # numpy: imported with the first analysis

    total = analysis.width * analysis.height
    kept = analysis.pixels >= min_pixels
    ranked = largest_first(analysis.pixels)
    listed = ranked[kept[ranked]][:top]
    largest = [
        {"region": int(i) + 1, "pixels": int(analysis.pixels[i]),
         "share": int(analysis.pixels[i]) / total,
         "box": {"left": int(analysis.left[i]), "top": int(analysis.top[i]),
                 "right": int(analysis.right[i]), "bottom": int(analysis.bottom[i])}}
        for i in listed
    ]
    values = {
        "schema_version": SCHEMA_VERSION, "input": input, "status": "ok",
        "width": analysis.width, "height": analysis.height, "pixels": total,
        "frame": analysis.frame, "frames": analysis.frames, "time": analysis.time,
        "orientation": analysis.orientation,
        "skin_pixels": analysis.skin_pixels,
        "skin_share": analysis.skin_pixels / total if total else 0.0,
        "regions": len(analysis.pixels), "regions_at_least_min_pixels": int(kept.sum()),
        "largest_regions": largest, "mask": mask, "overlay": overlay,
    }
    return _ordered(values, DONE)


def failed(input: str, error: str) -> dict:
    """The record of an input that could not be analysed: its one-line error."""
    return _ordered({"schema_version": SCHEMA_VERSION, "input": input, "status": "failed",
                     "error": error}, FAILED)


def from_row(row: Dict[str, Any]) -> dict:
    """A record from a table's row, where every field has a column (null where it has none)."""
    return _ordered(row, FAILED if row["status"] == "failed" else DONE)


def current(record: dict) -> dict:
    """A record read back, in this version's layout whichever version wrote it."""
    version = record.get("schema_version")
    if version not in (1, 2):
        return record
    upgraded = dict(record, schema_version=SCHEMA_VERSION)
    if upgraded.get("status") == "ok":  # a picture's: it has no time
        upgraded = _ordered(dict(upgraded, time=None), DONE)
    if version == 1 and upgraded.get("largest_regions"):
        upgraded["largest_regions"] = [
            dict(entry, box={_BOX_SIDES_1.get(side, side): value
                             for side, value in entry["box"].items()})
            for entry in upgraded["largest_regions"]]
    return upgraded


def public(record: dict) -> dict:
    """A record as callers and outputs see it: without the run's own timings."""
    return {key: value for key, value in record.items() if key != "seconds"}


def document(records: List[dict], *, per_pixel: bool, min_pixels: int, top: int) -> dict:
    """The ``--json`` document of a run: its settings once, then each record without the schema
    version, which the document carries for all of them."""
    return {
        "schema": SCHEMA_NAME,
        "schema_version": SCHEMA_VERSION,
        "tool_version": __version__,
        "engine": ENGINES[1] if per_pixel else ENGINES[0],
        "min_pixels": min_pixels,
        "top": top,
        "images": [{key: value for key, value in public(record).items()
                    if key != "schema_version"} for record in records],
    }


# --- Schemas --------------------------------------------------------------------------------------

def arrow_schema(pa):
    """The records' Arrow schema (``pa`` is pyarrow): every field a column, null where a record
    has none (a failed input has only its error)."""
    def arrow(kind):
        if isinstance(kind, Integer):
            return getattr(pa, kind.arrow)()
        if isinstance(kind, Number):
            return pa.float64()
        if isinstance(kind, Text):
            return pa.string()
        if isinstance(kind, Struct):
            return pa.struct([(field.name, arrow(field.type)) for field in kind.fields])
        return pa.list_(arrow(kind.item))
    return pa.schema([(field.name, arrow(field.type)) for field in RECORD])


def _json_type(kind) -> dict:
    if isinstance(kind, Integer):
        if kind.minimum is not None and kind.minimum == kind.maximum:
            return {"const": kind.minimum}
        bounds = {"minimum": kind.minimum, "maximum": kind.maximum}
        return {"type": ["integer", "null"] if kind.nullable else "integer",
                **{key: value for key, value in bounds.items() if value is not None}}
    if isinstance(kind, Number):
        limits = {"minimum": kind.minimum, "maximum": kind.maximum}
        return {"type": ["number", "null"] if kind.nullable else "number",
                **{key: value for key, value in limits.items() if value is not None}}
    if isinstance(kind, Text):
        if kind.choices:
            return {"enum": list(kind.choices)}
        text: Dict[str, Any] = {"type": ["string", "null"] if kind.nullable else "string"}
        if kind.one_line:
            text["pattern"] = "^[^\\n]+$"
        return text
    if isinstance(kind, Struct):
        return _object(kind.fields, closed=True)
    return {"type": "array", "items": _json_type(kind.item)}


def _object(fields: Sequence[Field], closed: bool = False, **fixed) -> dict:
    properties = {field.name: fixed.get(field.name) or _json_type(field.type) for field in fields}
    described: Dict[str, Any] = {"type": "object", "required": list(properties)}
    if closed:
        described["additionalProperties"] = False
    described["properties"] = properties
    return described


def json_schema() -> dict:
    """The JSON Schema of the ``--json`` document, whose ``$defs/record`` is one record of an
    output (a line of .jsonl, a row of .parquet read back)."""
    entry_fields = [field for field in RECORD if field.name != "schema_version"]
    version = Field("schema_version", Integer("int32", SCHEMA_VERSION, SCHEMA_VERSION))
    document_fields = (
        Field("schema", Text()), version, Field("tool_version", Text()),
        Field("engine", Text(choices=ENGINES)), Field("min_pixels", Integer("int64", 1)),
        Field("top", Integer("int64", 1)), Field("images", ListOf(None)))
    schema = _object(document_fields, closed=True, schema={"const": SCHEMA_NAME}, images={
        "type": "array", "items": {"$ref": "#/$defs/entry", "unevaluatedProperties": False}})
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "$id": f"{SCHEMA_NAME}/{SCHEMA_VERSION}",
        "title": f"{SCHEMA_NAME} --json, schema version {SCHEMA_VERSION}; its records "
                 "(--output): #/$defs/record",
        **schema,
        "$defs": {
            "entry": {"oneOf": [{"$ref": "#/$defs/done"}, {"$ref": "#/$defs/failed"}]},
            "record": {
                "description": "one line of a .jsonl output, or one row of a .parquet output "
                               "read back",
                "$ref": "#/$defs/entry",
                "required": ["schema_version"],
                "properties": {"schema_version": _json_type(version.type)},
                "unevaluatedProperties": False,
            },
            "failed": _object([field for field in entry_fields if field.failed],
                              status={"const": "failed"}),
            "done": _object([field for field in entry_fields if field.done],
                            status={"const": "ok"}),
        },
    }


def json_schema_text() -> str:
    """The shipped schema file's text."""
    return json.dumps(json_schema(), indent=2) + "\n"
