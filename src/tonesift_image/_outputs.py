"""Records streamed to a file as a run goes: JSON Lines, or a Parquet data set.

An output is written as the records come, in input order, in a bounded amount of memory, so that
an interrupted run leaves a valid output up to its last whole record and a later run can resume
it. JSON Lines is one file, a record a line, flushed line by line. Parquet is a folder of part
files (as Dask and Spark write them, and as pyarrow, pandas and Dask read them), each written
whole under a hidden name and then renamed, so that a reader never sees half a part.
"""
import json
import os
import re
import time
from typing import Any, Dict, Iterator, List, Mapping, Optional

from ._collection import CLUSTER_EXTRA, is_url

SUFFIXES = (".jsonl", ".parquet")
# A part is written once it holds this many records or is this old, whichever comes first: that
# bounds both the memory a run holds and the work an interrupted run loses.
PART_RECORDS = 4096
PART_SECONDS = 30.0
_PART = re.compile(r"^part-(\d{6,})\.parquet$")
_FAILED_FIELDS = ("schema_version", "input", "status", "error")


class OutputError(Exception):
    """An output that cannot be written or resumed, as one line."""


def _file_system(target: str, storage_options: Mapping[str, Any]):
    """(fsspec file system, path) for a URL; (None, target) for a local path."""
    if not is_url(target):
        return None, target
    try:
        from fsspec.core import url_to_fs  # type: ignore[import-untyped, import-not-found]
    except ImportError:
        raise OutputError(f"{target}: writing to URLs needs fsspec: {CLUSTER_EXTRA}") from None
    try:
        return url_to_fs(target, **storage_options)
    except Exception as error:
        raise OutputError(f"{target}: {' '.join(str(error).split())}") from None


class _JsonLines:
    def __init__(self, target: str, storage_options: Mapping[str, Any]):
        self.target = target
        self.fs, self.path = _file_system(target, storage_options)
        self.file: Any = None
        self.whole = 0  # bytes of whole records found by recorded()

    def _exists(self) -> bool:
        return self.fs.exists(self.path) if self.fs else os.path.exists(self.path)

    def records(self) -> Iterator[dict]:
        if not self._exists():
            return
        opened = self.fs.open(self.path, "rb") if self.fs else open(self.path, "rb")
        with opened as file:
            offset = 0
            for number, line in enumerate(file, 1):
                if not line.endswith(b"\n"):
                    break  # cut off by an interrupted run: not a record
                try:
                    record = json.loads(line)
                except ValueError:
                    raise OutputError(f"{self.target}: line {number} is not a record") from None
                if not isinstance(record, dict) or "input" not in record:
                    raise OutputError(f"{self.target}: line {number} is not a record")
                offset += len(line)
                self.whole = offset
                yield record

    def start(self, resume: bool) -> None:
        if self.fs is None:
            if resume and os.path.exists(self.path):
                with open(self.path, "rb+") as file:
                    file.truncate(self.whole)
            self.file = open(self.path, "a" if resume else "w", encoding="utf-8")
            return
        if resume and self._exists():
            if self.fs.size(self.path) != self.whole:
                raise OutputError(f"{self.target}: its last line is cut off, and an object "
                                  "cannot be cut short: resume into a local file")
            try:
                self.file = self.fs.open(self.path, "ab")
            except (NotImplementedError, ValueError):
                raise OutputError(f"{self.target}: this storage cannot append to a file: "
                                  "write .parquet to resume there") from None
        else:
            self.file = self.fs.open(self.path, "wb")

    def write(self, record: dict) -> None:
        line = json.dumps(record) + "\n"
        if self.fs is None:
            self.file.write(line)
            self.file.flush()
        else:
            self.file.write(line.encode())

    def close(self) -> None:
        if self.file is not None:
            self.file.close()
            self.file = None


def _arrow():
    try:
        import pyarrow  # type: ignore[import-untyped, import-not-found]
        import pyarrow.parquet  # type: ignore[import-untyped, import-not-found]  # noqa: F401
    except ImportError:
        raise OutputError(f"writing .parquet needs pyarrow: {CLUSTER_EXTRA}") from None
    return pyarrow


def record_schema():
    """The records' Arrow schema: the JSON record's fields as columns, null where a record has
    none (a failed input has only its error)."""
    pa = _arrow()
    count, coordinate = pa.int64(), pa.int32()
    box = pa.struct([(name, coordinate) for name in ("x_min", "y_min", "x_max", "y_max")])
    region = pa.struct([("region", count), ("pixels", count), ("share", pa.float64()),
                        ("box", box)])
    return pa.schema([
        ("schema_version", pa.int32()), ("input", pa.string()), ("status", pa.string()),
        ("error", pa.string()), ("width", count), ("height", count), ("pixels", count),
        ("frame", pa.int32()), ("frames", pa.int32()), ("orientation", pa.int32()),
        ("skin_pixels", count), ("skin_share", pa.float64()), ("regions", count),
        ("regions_at_least_min_pixels", count), ("largest_regions", pa.list_(region)),
        ("mask", pa.string()), ("overlay", pa.string()),
    ])


def _from_row(row: Dict[str, Any]) -> dict:
    if row["status"] == "failed":
        return {name: row[name] for name in _FAILED_FIELDS}
    return {name: value for name, value in row.items() if name != "error"}


class _ParquetParts:
    def __init__(self, target: str, storage_options: Mapping[str, Any]):
        self.pa = _arrow()
        self.schema = record_schema()
        self.target = target
        self.fs, self.path = _file_system(target, storage_options)
        self.buffer: List[dict] = []
        self.started = time.monotonic()
        self.next_part = 0

    def _join(self, name: str) -> str:
        return f"{self.path.rstrip('/')}/{name}"

    def _parts(self) -> List[str]:
        """The part files, in order."""
        if self.fs is None:
            if not os.path.isdir(self.path):
                if os.path.exists(self.path):
                    raise OutputError(f"{self.target}: is a file; a .parquet output is a folder "
                                      "of parts")
                return []
            names = os.listdir(self.path)
        else:
            if not self.fs.exists(self.path):
                return []
            names = [name.rstrip("/").rsplit("/", 1)[-1]
                     for name in self.fs.ls(self.path, detail=False)]
        return sorted((name for name in names if _PART.match(name)),
                      key=lambda name: int(_PART.match(name).group(1)))  # type: ignore[union-attr]

    def _read(self, name: str):
        import pyarrow.parquet as pq  # type: ignore[import-untyped, import-not-found]
        # Read on this thread alone, and a remote part whole: pyarrow's reader threads can
        # outlive the interpreter and abort the process as it exits.
        if self.fs is None:
            source = self._join(name)
        else:
            with self.fs.open(self._join(name), "rb") as file:
                source = self.pa.BufferReader(file.read())
        return pq.ParquetFile(source, pre_buffer=False).read(use_threads=False)

    def records(self) -> Iterator[dict]:
        for name in self._parts():
            for row in self._read(name).to_pylist():
                yield _from_row(row)
            self.next_part = int(_PART.match(name).group(1)) + 1  # type: ignore[union-attr]

    def start(self, resume: bool) -> None:
        stale = [] if resume else self._parts()
        if self.fs is None:
            os.makedirs(self.path, exist_ok=True)
            stale += [name for name in os.listdir(self.path) if name.endswith(".partial")]
            for name in stale:
                os.remove(self._join(name))
        else:
            self.fs.makedirs(self.path, exist_ok=True)
            for name in stale:
                self.fs.rm(self._join(name))
        if not resume:
            self.next_part = 0
        self.started = time.monotonic()

    def write(self, record: dict) -> None:
        self.buffer.append(record)
        if (len(self.buffer) >= PART_RECORDS
                or time.monotonic() - self.started >= PART_SECONDS):
            self._flush()

    def _flush(self) -> None:
        if not self.buffer:
            return
        import pyarrow.parquet as pq  # type: ignore[import-untyped, import-not-found]
        table = self.pa.Table.from_pylist(self.buffer, schema=self.schema)
        name = f"part-{self.next_part:06d}.parquet"
        if self.fs is None:
            partial = self._join(f".{name}.partial")
            pq.write_table(table, partial)
            os.replace(partial, self._join(name))
        else:  # an object appears whole when its upload ends
            with self.fs.open(self._join(name), "wb") as file:
                pq.write_table(table, file)
        self.next_part += 1
        self.buffer = []
        self.started = time.monotonic()

    def close(self) -> None:
        self._flush()


def open_output(target: str, storage_options: Optional[Mapping[str, Any]] = None):
    """The writer for an output path or URL, chosen by its extension."""
    options = dict(storage_options or {})
    suffix = os.path.splitext(target.rstrip("/"))[1].lower()
    if suffix == ".jsonl":
        return _JsonLines(target, options)
    if suffix == ".parquet":
        return _ParquetParts(target, options)
    raise OutputError(f"{target}: the extension names no output format "
                      f"(use {' or '.join(SUFFIXES)})")


def read_records(output, *, storage_options=None) -> Iterator[dict]:
    """The records of a ``.jsonl`` or ``.parquet`` output, in order, as ``analyse_image`` gives
    them. A JSON Lines file cut off by an interrupted run gives its whole records."""
    return open_output(os.fspath(output), storage_options).records()
