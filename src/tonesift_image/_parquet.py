"""Parquet output: a folder of part files (as Dask and Spark write them, and as pyarrow, pandas
and Dask read them), each written whole under a hidden name and then renamed, so that a reader
never sees half a part."""
import os
import re
import time
from typing import Any, Iterator, List, Mapping

from . import _records
from ._errors import OutputError, install
from ._storage import file_system

# A part is written once it holds this many records or is this old, whichever comes first: that
# bounds both the memory a run holds and the work an interrupted run loses.
PART_RECORDS = 4096
PART_SECONDS = 30.0
_PART = re.compile(r"^part-(\d{6,})\.parquet$")


def _arrow():
    try:
        import pyarrow  # type: ignore[import-untyped, import-not-found]
        import pyarrow.parquet  # type: ignore[import-untyped, import-not-found]  # noqa: F401
    except ImportError:
        raise OutputError(f"writing .parquet needs pyarrow: {install('pyarrow', 'cluster')}") \
            from None
    return pyarrow


class ParquetParts:
    def __init__(self, target: str, storage_options: Mapping[str, Any]):
        self.pa = _arrow()
        self.schema = _records.arrow_schema(self.pa)
        self.target = target
        self.fs, self.path = file_system(target, storage_options)
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

    def exists(self) -> bool:
        return self.fs.exists(self.path) if self.fs else os.path.exists(self.path)

    def has_records(self) -> bool:
        return bool(self._parts())

    def records(self) -> Iterator[dict]:
        for name in self._parts():
            for row in self._read(name).to_pylist():
                yield _records.from_row(row)
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
