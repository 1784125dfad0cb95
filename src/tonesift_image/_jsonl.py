"""JSON Lines output: one file, a record a line, flushed line by line, so that an interrupted run
leaves every whole record it made and a later run can resume after the last one."""
import json
import os
from typing import Any, Iterator, Mapping

from ._errors import OutputError
from ._storage import file_system


class JsonLines:
    def __init__(self, target: str, storage_options: Mapping[str, Any]):
        self.target = target
        self.fs, self.path = file_system(target, storage_options)
        self.file: Any = None
        self.whole = 0  # bytes of whole records found by recorded()

    def exists(self) -> bool:
        return self.fs.exists(self.path) if self.fs else os.path.exists(self.path)

    def has_records(self) -> bool:
        """Whether it holds anything: an earlier run's records, whole or not."""
        if not self.exists():
            return False
        return (self.fs.size(self.path) if self.fs else os.path.getsize(self.path)) > 0

    def records(self) -> Iterator[dict]:
        if not self.exists():
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
        if resume and self.exists():
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
