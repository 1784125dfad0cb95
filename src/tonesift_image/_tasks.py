"""One input's work: read it, analyse it, write its pictures, and give its record, or a record
per analysed frame of a clip. Tasks and their settings are small and picklable, so that any
engine can run them anywhere."""
import os
import time
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Generator, Iterator, List, Mapping, NamedTuple, Optional, Union

from . import _records
from ._errors import InputError, NotAPicture
from ._inputs import DEFAULT_MAX_PIXELS, display_name, expand
from ._progress import Stages, TerminalStages
from ._storage import is_url, open_url
from ._video import Resume, Sampling, Segment

DEFAULT_TOP = 10
# A part of a clip decoded on a worker of its own holds at least so many frames: seeking to it
# and starting a decoder cost about a frame's decoding, a worker's task a few milliseconds.
# Smaller parts share the last seconds of a clip better between the workers.
SEGMENT_FRAMES = 120


@dataclass(frozen=True)
class Task:
    input: str                       # as given
    mask: Optional[Path] = None
    overlay: Optional[Path] = None
    data: Any = None                 # standard input's bytes for "-", or an array or open file
    error: Optional[str] = None      # why it cannot even be read (a folder without images)
    resume: Optional[Resume] = None  # a clip an earlier run recorded part of
    segment: Optional[Segment] = None  # the part of a clip to read, on a worker of its own


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
    sampling: Sampling = Sampling()  # a clip's frames to analyse
    split: int = 1                   # workers to spread a long clip over in segments


class Split(NamedTuple):
    """What a long clip gives in place of its records where several workers can share it: the
    tasks of its segments, in order, for the runner to spread and gather."""
    tasks: List[Task]


def run_task(task: Task, settings: Settings) -> List[Union[dict, Split]]:
    """The records of one input: its own, or one per analysed frame of a clip (or its Split)."""
    return list(task_records(task, settings))


def task_records(task: Task, settings: Settings) -> Generator[Any, None, None]:
    """One input's records (JSON-ready), lazily, with the time of each stage under "seconds": a
    picture's one, or a clip's one per analysed frame. A failure is a record with its one-line
    error; a clip that fails part way keeps the records of the frames before. With
    `settings.split` workers, a long clip gives a Split instead."""
    if task.error is not None:
        yield _records.failed(task.input, task.error)
        return
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
        try:
            if task.segment is not None:  # a part of a clip, known to be one
                yield from _clip_records(task, settings, source, None)
                return
            # Looked up on the module at each call, where a test can hook it.
            result = _analysis.analyse(source, task.input, max_pixels=settings.max_pixels,
                                       frame=settings.frame, per_pixel=settings.per_pixel,
                                       keep_pictures=pictures, threads=settings.threads,
                                       stages=stages)
        except NotAPicture as not_a_picture:
            yield from _clip_records(task, settings, source, not_a_picture)
            return
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
        yield _records.failed(task.input, str(error))
        return
    except MemoryError:
        yield _records.failed(task.input, f"{task.input}: out of memory")
        return
    finally:
        if opened_url is not None:
            opened_url.close()
    record = _records.done(task.input, result.analysis, top=settings.top,
                           min_pixels=settings.min_pixels,
                           mask=None if task.mask is None else str(task.mask),
                           overlay=None if task.overlay is None else str(task.overlay))
    record["seconds"] = result.analysis.seconds
    yield record


def _clip_records(task: Task, settings: Settings, source: Any,
                  not_a_picture: Optional[NotAPicture]) -> Iterator[Any]:
    """The records of an input that Pillow does not read, read as a clip where it is one."""
    from . import _analysis, _video

    why = _video.missing()
    if why is not None:
        raise InputError(f"{not_a_picture or task.input}; to read it as a video: {why}")
    if task.mask is not None or task.overlay is not None:
        raise InputError(f"{task.input}: a video: --mask and --overlay draw pictures only")
    if hasattr(source, "for_video"):  # standard input, as it comes
        source = source.for_video()
    elif hasattr(source, "seek"):
        source.seek(0)  # Pillow has read its header
    if settings.split > 1 and task.segment is None and task.data is None:
        # Its packets are read (not decoded) to split it at keyframes; a clip not worth
        # splitting is then read as a whole.
        with _video.Clip(source, task.input, settings.max_pixels) as clip:
            segments = clip.segments(settings.sampling, task.resume, settings.split,
                                     SEGMENT_FRAMES)
        if segments:
            yield Split([replace(task, segment=segment) for segment in segments])
            return
        if hasattr(source, "seek"):
            source.seek(0)
    def record_of(frame: "_video.Frame", decoding: float) -> dict:
        analysis = _analysis.analyse_frame(frame.rgb, number=frame.number, frames=frame.frames,
                                           at=frame.time, per_pixel=settings.per_pixel,
                                           threads=settings.threads)
        analysis.seconds = {"decode": decoding, **analysis.seconds}
        record = _records.done(task.input, analysis, top=settings.top,
                               min_pixels=settings.min_pixels)
        record["seconds"] = analysis.seconds
        return record

    from concurrent.futures import Future, ThreadPoolExecutor

    analysed = 0
    # A frame is analysed on a thread of its own while FFmpeg decodes the next one: both run
    # without the interpreter lock, so that they overlap rather than take turns.
    with _video.Clip(source, task.input, settings.max_pixels, settings.threads) as clip, \
            ThreadPoolExecutor(1, thread_name_prefix="tonesift frame") as analyser:
        pending: "Optional[Future[dict]]" = None
        started = time.perf_counter()
        try:
            for frame in clip.read(settings.sampling, task.resume, task.segment):
                analysed += 1
                future = analyser.submit(record_of, frame, time.perf_counter() - started)
                if pending is not None:
                    yield pending.result()
                pending = future
                started = time.perf_counter()
        except InputError:  # the frames before the damage keep their records
            if pending is not None:
                yield pending.result()
            raise
        if pending is not None:
            yield pending.result()
    # Every input has a record; a clip resumed after its last frame has had its own.
    if analysed == 0 and task.resume is None and task.segment is None:
        raise InputError(f"{task.input}: no frame of the video lies in the range asked for")


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


def _check_count(name: str, value: Any) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")


def checked_settings(min_pixels: int, top: int, max_pixels: int, frame: int, per_pixel: bool,
                     threads: Optional[int], storage_options: Optional[Mapping[str, Any]],
                     sampling: Sampling = Sampling()) -> Settings:
    """Settings from the API's arguments, each checked as the command's parser checks it."""
    for name, value in (("min_pixels", min_pixels), ("top", top), ("max_pixels", max_pixels),
                        ("frame", frame)):
        _check_count(name, value)
    return Settings(max_pixels, frame, bool(per_pixel), top, min_pixels, threads,
                    dict(storage_options or {}), sampling=sampling)


def checked_sampling(every: int, fps: Optional[float], start: Optional[float],
                     end: Optional[float]) -> Sampling:
    """A clip's sampling from the API's or the command's arguments: a count, a positive rate,
    and a range of seconds that is not empty."""
    _check_count("every", every)
    seconds = {}
    for name, value in (("fps", fps), ("start", start), ("end", end)):
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{name} must be a number or None, "
                            f"not {type(value).__name__}")
        if not value >= 0 or value == float("inf") or (name == "fps" and value == 0):
            raise ValueError(f"{name} must be a finite number above 0, not {value}"
                             if name == "fps" else
                             f"{name} must be a finite number of seconds, at least 0, "
                             f"not {value}")
        seconds[name] = float(value)
    if end is not None and end <= (start or 0):
        raise ValueError(f"end ({end}) must come after start ({start or 0})")
    return Sampling(every, seconds.get("fps"), seconds.get("start"), seconds.get("end"))
