"""Outputs of records, chosen by their extension: JSON Lines or a Parquet data set. Either is
written as the records come, in input order, in a bounded amount of memory, so that an
interrupted run leaves a valid output up to its last whole record and a later run can resume it.
"""
import os
from typing import Any, Mapping, Optional

from ._errors import OutputError
from ._jsonl import JsonLines
from ._parquet import ParquetParts

SUFFIXES = (".jsonl", ".parquet")


def open_output(target: str, storage_options: Optional[Mapping[str, Any]] = None):
    """The writer for an output path or URL, chosen by its extension."""
    options = dict(storage_options or {})
    suffix = os.path.splitext(target.rstrip("/"))[1].lower()
    if suffix == ".jsonl":
        return JsonLines(target, options)
    if suffix == ".parquet":
        return ParquetParts(target, options)
    raise OutputError(f"{target}: the extension names no output format "
                      f"(use {' or '.join(SUFFIXES)})")
