"""One input's work: read it, analyse it, write its pictures, and give its record. Tasks and their
settings are small and picklable, so that any engine can run them anywhere."""
import os
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, List, Mapping, Optional

from . import _records
from ._errors import InputError
from ._inputs import DEFAULT_MAX_PIXELS, display_name, expand
from ._progress import Stages, TerminalStages
from ._storage import is_url, open_url

DEFAULT_TOP = 10


@dataclass(frozen=True)
class Task:
    input: str                       # as given
    mask: Optional[Path] = None
    overlay: Optional[Path] = None
    data: Any = None                 # standard input's bytes for "-", or an array or open file
    error: Optional[str] = None      # why it cannot even be read (a folder without images)


@dataclass(frozen=True)
class Settings:
    max_pixels: int = DEFAULT_MAX_PIXELS
    frame: int = 1
    per_pixel: bool = False
    top: int = DEFAULT_TOP
    min_pixels: int = 1
    threads: Optional[int] = None
    storage_options: Mapping[str, Any] = field(default_factory=dict)
    stages: bool = False             # progress per stage, on a terminal


def run_task(task: Task, settings: Settings) -> dict:
    """One input's record (JSON-ready), with the time of each stage under "seconds"; a failure is
    a record with its one-line error."""
    if task.error is not None:
        return _records.failed(task.input, task.error)
    # Pillow is imported with the first input, so that the command can report it missing; the
    # pictures' writer (numpy) only for a run that writes pictures.
    from . import _analysis
    opened_url = None
    try:
        source: Any = task.data if task.data is not None else Path(task.input)
        if task.data is None and is_url(task.input):
            source = opened_url = open_url(task.input, settings.storage_options)
        stages = TerminalStages(display_name(task.input)) if settings.stages else Stages()
        pictures = task.mask is not None or task.overlay is not None
        # Looked up on the module at each call, where a test can hook it.
        result = _analysis.analyse(source, task.input, max_pixels=settings.max_pixels,
                                   frame=settings.frame, per_pixel=settings.per_pixel,
                                   keep_pictures=pictures, threads=settings.threads,
                                   stages=stages)
        started = time.perf_counter()
        if pictures:
            from . import _pictures
        if task.mask is not None:
            _pictures.write_mask(result, task.mask)
        if task.overlay is not None:
            _pictures.write_overlay(result, task.overlay)
        if pictures:
            result.analysis.seconds["write"] = time.perf_counter() - started
    except InputError as error:
        return _records.failed(task.input, str(error))
    except MemoryError:
        return _records.failed(task.input, f"{task.input}: out of memory")
    finally:
        if opened_url is not None:
            opened_url.close()
    record = _records.done(task.input, result.analysis, top=settings.top,
                           min_pixels=settings.min_pixels,
                           mask=None if task.mask is None else str(task.mask),
                           overlay=None if task.overlay is None else str(task.overlay))
    record["seconds"] = result.analysis.seconds
    return record


def name_tasks(name: str, storage_options: Mapping[str, Any]) -> List[Task]:
    """The tasks of a name: one per file of a folder or a glob pattern, else one."""
    try:
        return [Task(path) for path in expand(name, storage_options)]
    except InputError as error:
        return [Task(name, error=str(error))]


def source_tasks(source: Any, storage_options: Mapping[str, Any]) -> List[Task]:
    """The tasks of what the API takes: a path (a folder and a glob pattern stand for their
    files), a URL, an open binary file or an array."""
    if isinstance(source, (str, os.PathLike)):
        return name_tasks(os.fspath(source), storage_options)
    return [source_task(source)]


def source_task(source: Any) -> Task:
    """A Task for what the API takes: a path, a URL, an open binary file or an array."""
    if isinstance(source, (str, os.PathLike)):
        return Task(os.fspath(source))
    if hasattr(source, "read"):
        return Task(str(getattr(source, "name", "<file>")), data=source)
    if hasattr(source, "__array_interface__") or hasattr(source, "__array__"):
        return Task("<array>", data=source)
    raise TypeError(f"an image is a path, a URL, an open binary file or an array, "
                    f"not {type(source).__name__}")


def checked_settings(min_pixels: int, top: int, max_pixels: int, frame: int, per_pixel: bool,
                     threads: Optional[int],
                     storage_options: Optional[Mapping[str, Any]]) -> Settings:
    """Settings from the API's arguments, each checked as the command's parser checks it."""
    for name, value in (("min_pixels", min_pixels), ("top", top), ("max_pixels", max_pixels),
                        ("frame", frame)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if value < 1:
            raise ValueError(f"{name} must be at least 1, not {value}")
    return Settings(max_pixels, frame, bool(per_pixel), top, min_pixels, threads,
                    dict(storage_options or {}))
