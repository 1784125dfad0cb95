"""Photographs analysed one at a time or by the million: the records, and the runs that make them.

A record is what the ``--json`` document holds for one input, with the schema version it follows:
a dict, JSON-ready. A run over many inputs hands them to workers in batches, a bounded number in
flight, and gives the records back in input order as soon as each and those before it are done.
The workers are a local process pool, the calling thread (``jobs=1``), or a Dask cluster.
"""
import ctypes
import itertools
import os
import re
import signal
import sys
import time
from collections import deque
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Deque, Dict, Iterable, Iterator, List, Mapping, Optional, Tuple

from . import __version__

RECORD_SCHEMA_VERSION = 1
DEFAULT_TOP = 10
DEFAULT_MAX_PIXELS = 250_000_000
STDIN = "-"
CLUSTER_EXTRA = "pip install 'tonesift[cluster]'"
# A batch is sized to take about this long on a worker: long enough that the cost of a task
# (Dask's is about a millisecond) is lost in it, short enough that the last batches of a run
# spread over every worker.
BATCH_SECONDS = 0.25
_M_TRIM_THRESHOLD, _M_TOP_PAD, _M_MMAP_THRESHOLD = -1, -2, -3  # glibc's mallopt options
MAX_BATCH = 512
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")


class ClusterError(Exception):
    """A cluster that cannot run this work (unreachable, or workers without the same tonesift)."""


@dataclass(frozen=True)
class Task:
    input: str                       # as given
    mask: Optional[Path] = None
    overlay: Optional[Path] = None
    data: Any = None                 # standard input's bytes for "-", or an array or open file


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


def is_url(name: str) -> bool:
    return bool(_URL.match(name))


def display_name(name: str) -> str:
    from .command import SAMPLE
    if name == str(SAMPLE):
        return f"{SAMPLE.name} (built-in sample)"
    return "standard input" if name == STDIN else name


# --- One input --------------------------------------------------------------------------------

def _open_url(name: str, storage_options: Mapping[str, Any]):
    from ._photos import FILE_ERRORS, InputError, file_error, one_line
    try:
        import fsspec  # type: ignore[import-untyped, import-not-found]
    except ImportError:
        raise InputError(f"{name}: reading URLs needs fsspec: {CLUSTER_EXTRA}") from None
    try:
        return fsspec.open(name, "rb", **storage_options).open()
    except FILE_ERRORS as error:
        raise file_error(name, error) from None
    except Exception as error:  # an unknown protocol, a missing back end, the network
        raise InputError(f"{name}: cannot open: {one_line(error)}") from None


def run_task(task: Task, settings: Settings) -> dict:
    """One input's record (JSON-ready), with the time of each stage under "seconds"; a failure is
    a record with its one-line error."""
    from . import _photos
    name = display_name(task.input)
    record: Dict[str, Any] = {"schema_version": RECORD_SCHEMA_VERSION, "input": task.input}
    opened_url = None
    try:
        source: Any = task.data if task.data is not None else Path(task.input)
        if task.data is None and is_url(task.input):
            source = opened_url = _open_url(task.input, settings.storage_options)
        stages = _terminal_stages(name) if settings.stages else _photos.Stages()
        pictures = task.mask is not None or task.overlay is not None
        result = _photos.analyse(source, task.input, max_pixels=settings.max_pixels,
                                 frame=settings.frame, per_pixel=settings.per_pixel,
                                 keep_pictures=pictures, threads=settings.threads, stages=stages)
        started = time.perf_counter()
        if task.mask is not None:
            _photos.write_mask(result, task.mask)
        if task.overlay is not None:
            _photos.write_overlay(result, task.overlay)
        if task.mask is not None or task.overlay is not None:
            result.analysis.seconds["write"] = time.perf_counter() - started
    except _photos.InputError as error:
        return dict(record, status="failed", error=str(error))
    except MemoryError:
        return dict(record, status="failed", error=f"{task.input}: out of memory")
    finally:
        if opened_url is not None:
            opened_url.close()
    return dict(record, status="ok", **_report(result.analysis, settings),
                mask=None if task.mask is None else str(task.mask),
                overlay=None if task.overlay is None else str(task.overlay),
                seconds=result.analysis.seconds)


def _report(analysis, settings: Settings) -> dict:
    from ._photos import largest_first
    total = analysis.width * analysis.height
    kept = analysis.pixels >= settings.min_pixels
    ranked = largest_first(analysis.pixels)
    listed = ranked[kept[ranked]][:settings.top]
    return {
        "width": analysis.width,
        "height": analysis.height,
        "pixels": total,
        "frame": analysis.frame,
        "frames": analysis.frames,
        "orientation": analysis.orientation,
        "skin_pixels": analysis.skin_pixels,
        "skin_share": analysis.skin_pixels / total if total else 0.0,
        "regions": len(analysis.pixels),
        "regions_at_least_min_pixels": int(kept.sum()),
        "largest_regions": [
            {
                "region": int(i) + 1,
                "pixels": int(analysis.pixels[i]),
                "share": int(analysis.pixels[i]) / total,
                "box": {"x_min": int(analysis.left[i]), "y_min": int(analysis.top[i]),
                        "x_max": int(analysis.right[i]), "y_max": int(analysis.bottom[i])},
            }
            for i in listed
        ],
    }


def public(record: dict) -> dict:
    """A record as callers and outputs see it: without the run's own timings."""
    return {key: value for key, value in record.items() if key != "seconds"}


def _terminal_stages(name: str):
    from ._photos import Stages
    from .command import progress_bar

    class TerminalStages(Stages):
        """A bar per stage, shown once a stage takes more than a moment. A stage of unknown length
        (decoding, native grouping) shows only its elapsed time, never a guessed estimate."""

        def __init__(self):
            self.bar = None

        def start(self, stage, total=None):
            self.finish()
            self.bar = progress_bar(total=total, desc=f"{name}: {stage}", unit="row",
                                    bar_format=None if total else "{desc} {elapsed}")
            return self.bar.update

        def finish(self):
            if self.bar is not None:
                self.bar.close()
                self.bar = None

    return TerminalStages()


def _source_task(source: Any) -> Task:
    """A Task for what the API takes: a path, a URL, an open binary file or an array."""
    if isinstance(source, (str, os.PathLike)):
        return Task(os.fspath(source))
    if hasattr(source, "read"):
        return Task(str(getattr(source, "name", "<file>")), data=source)
    if hasattr(source, "__array_interface__") or hasattr(source, "__array__"):
        return Task("<array>", data=source)
    raise TypeError(f"an image is a path, a URL, an open binary file or an array, "
                    f"not {type(source).__name__}")


def _settings(min_pixels: int, top: int, max_pixels: int, frame: int, per_pixel: bool,
              threads: Optional[int], storage_options: Optional[Mapping[str, Any]]) -> Settings:
    for name, value in (("min_pixels", min_pixels), ("top", top), ("max_pixels", max_pixels),
                        ("frame", frame)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if value < 1:
            raise ValueError(f"{name} must be at least 1, not {value}")
    return Settings(max_pixels, frame, bool(per_pixel), top, min_pixels, threads,
                    dict(storage_options or {}))


def analyse_image(source, *, min_pixels=1, top=DEFAULT_TOP, max_pixels=DEFAULT_MAX_PIXELS,
                  frame=1, per_pixel=False, threads=None, storage_options=None) -> dict:
    """The record of one image: what ``tonesift-regions --json`` reports for it, as a dict.

    ``source`` is a path, an fsspec URL (``s3://bucket/key``; ``storage_options`` go to its file
    system), an open binary file, or an array that ``PIL.Image.fromarray`` takes (the pixels as
    stored: no EXIF orientation). A file that cannot be analysed gives a record with
    ``"status": "failed"`` and its one-line ``"error"`` rather than an exception.
    """
    settings = _settings(min_pixels, top, max_pixels, frame, per_pixel, threads, storage_options)
    return public(run_task(_source_task(source), settings))


# --- Many inputs --------------------------------------------------------------------------------

def reuse_freed_memory() -> None:
    """Asks glibc to keep the memory an image frees for the next image instead of handing it back
    to the system: otherwise every image of a batch pays again for faulting in (and zeroing) tens
    of megabytes of fresh pages, about a sixth of its time, and far more on a Dask worker, whose
    nanny asks glibc to hand back all it can (MALLOC_TRIM_THRESHOLD_). Not glibc: nothing to
    do."""
    try:
        libc = ctypes.CDLL(None)
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    for option, value in ((_M_MMAP_THRESHOLD, 32 << 20), (_M_TRIM_THRESHOLD, 256 << 20),
                          (_M_TOP_PAD, 64 << 20)):
        mallopt(option, value)


_prepared = False


def _start_worker() -> None:
    # The main process handles Ctrl-C for the whole run; workers finish or are dropped.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # fsspec's event loop runs on a thread of the main process once it has touched a URL (the
    # output), and a forked worker has only its copy of that loop, stopped: fsspec's own reset
    # gives the worker a loop of its own.
    asyn = sys.modules.get("fsspec.asyn")
    if asyn is not None:
        asyn.reset_lock()


def run_batch(tasks: List[Task], settings: Settings, version: str) -> Tuple[List[dict], float]:
    """A worker's share of a run: the records of a batch, in order, and the time they took."""
    global _prepared
    if version != __version__:
        raise ClusterError(f"this worker has tonesift {__version__}, the client {version}")
    if not _prepared:
        reuse_freed_memory()
        _prepared = True
    return _timed_records(tasks, settings)


def _timed_records(tasks: List[Task], settings: Settings) -> Tuple[List[dict], float]:
    started = time.perf_counter()
    records = [run_task(task, settings) for task in tasks]
    return records, time.perf_counter() - started


def worker_version() -> str:
    return __version__


class _Died(Exception):
    """The worker running a batch died (killed, out of memory, crashed)."""


class _Workers:
    """Where batches run: `submit` gives a future, `result` its value or raises _Died."""
    count = 1
    # Whether a death takes every batch in flight with it, with no word of which one caused it.
    loses_all = False

    def submit(self, tasks: List[Task], settings: Settings):
        raise NotImplementedError

    def result(self, future) -> Tuple[List[dict], float]:
        raise NotImplementedError

    def restart(self) -> None:
        """After a death that lost everything: get ready to run again."""

    def cancel(self, futures) -> None:
        pass

    def close(self) -> None:
        pass


class _InThread(_Workers):
    """jobs=1: every batch runs on the calling thread, when its record is asked for."""

    def submit(self, tasks, settings):
        return tasks, settings

    def result(self, future):
        tasks, settings = future
        return _timed_records(tasks, settings)


class _LocalPool(_Workers):
    loses_all = True

    def __init__(self, jobs: int):
        self.count = jobs
        self.pool = self._start()

    def _start(self) -> ProcessPoolExecutor:
        return ProcessPoolExecutor(self.count, initializer=_start_worker)

    def submit(self, tasks, settings):
        return self.pool.submit(run_batch, tasks, settings, __version__)

    def result(self, future):
        try:
            return future.result()
        except BrokenProcessPool:  # a worker was killed, say by the kernel
            raise _Died("the worker process analysing it died (out of memory?)") from None

    def restart(self):
        self.pool.shutdown(wait=True)
        self.pool = self._start()

    def cancel(self, futures):
        for future in futures:
            future.cancel()

    def close(self):
        self.pool.shutdown(wait=True)


class _Cluster(_Workers):
    def __init__(self, client):
        self.client = client
        self.count = max(1, sum(client.nthreads().values()))

    def submit(self, tasks, settings):
        # Not pure: batches of the same inputs are separate work, never one shared result.
        return self.client.submit(run_batch, tasks, settings, __version__, pure=False)

    def result(self, future):
        from distributed import KilledWorker  # type: ignore[import-untyped, import-not-found]
        try:
            return future.result()
        except KilledWorker:
            # The scheduler has run it again elsewhere already, and every worker died with it.
            raise _Died("the workers analysing it died again and again "
                        "(out of memory, or a crash?)") from None

    def cancel(self, futures):
        if futures:
            self.client.cancel(list(futures))


def check_cluster(client) -> None:
    """Refuses a cluster whose workers do not all have this tonesift (or have none)."""
    try:
        versions = client.run(worker_version)
    except Exception as error:  # a worker without tonesift cannot even unpickle the call
        from ._photos import one_line
        raise ClusterError(f"the workers cannot run tonesift {__version__} ({one_line(error)}): "
                           "install the same tonesift on every worker") from None
    if not versions:
        raise ClusterError("the cluster has no workers")
    others = {worker: version for worker, version in versions.items() if version != __version__}
    if others:
        worker, version = sorted(others.items())[0]
        raise ClusterError(f"worker {worker} has tonesift {version}, this client {__version__}: "
                           "install the same tonesift on every worker")


@dataclass
class _Batch:
    tasks: List[Task]
    future: Any
    last_try: bool = False  # a single input run again after its worker died: a death is final


class _Sizer:
    """Batch sizes that follow the measured time per input, so that a batch takes about
    BATCH_SECONDS, and shrink as the end nears so that the last batches spread over every worker."""

    def __init__(self, workers: int, total: Optional[int]):
        self.workers, self.remaining = workers, total
        self.size = 1

    def measured(self, count: int, seconds: float) -> None:
        per_input = seconds / max(count, 1)
        self.size = MAX_BATCH if per_input <= 0 else \
            max(1, min(MAX_BATCH, int(BATCH_SECONDS / per_input)))

    def next(self) -> int:
        if self.remaining is None:
            return self.size
        return max(1, min(self.size, -(-self.remaining // (2 * self.workers))))

    def taken(self, count: int) -> None:
        if self.remaining is not None:
            self.remaining -= count


def _failed(task: Task, error: str) -> dict:
    return {"schema_version": RECORD_SCHEMA_VERSION, "input": task.input, "status": "failed",
            "error": f"{task.input}: {error}"}


def _run(tasks: Iterable[Task], settings: Settings, workers: _Workers,
         total: Optional[int]) -> Iterator[dict]:
    """The records in input order, with a bounded number of batches in flight. The inputs of a
    batch whose worker died run again one by one (alone, where a death takes everything in
    flight, so that it names its cause); one that dies again is recorded as failed."""
    source = iter(tasks)
    pending: Deque[_Batch] = deque()
    suspects: Deque[Task] = deque()
    sizer = _Sizer(workers.count, total)
    in_flight = 2 * workers.count
    exhausted = False
    try:
        while True:
            if suspects and not pending:
                task = suspects.popleft()
                pending.append(_Batch([task], workers.submit([task], settings), last_try=True))
            while not suspects and not exhausted and len(pending) < in_flight:
                batch = list(itertools.islice(source, sizer.next()))
                if not batch:
                    exhausted = True
                    break
                sizer.taken(len(batch))
                pending.append(_Batch(batch, workers.submit(batch, settings)))
            if not pending:
                return
            head = pending.popleft()
            try:
                records, seconds = workers.result(head.future)
            except _Died as died:
                if workers.loses_all:
                    workers.restart()
                    lost = [head, *pending] if not head.last_try else [*pending]
                    pending.clear()
                    suspects.extendleft(reversed([task for batch in lost
                                                  for task in batch.tasks]))
                elif not head.last_try:
                    for task in reversed(head.tasks):
                        pending.appendleft(_Batch([task], workers.submit([task], settings),
                                                  last_try=True))
                if head.last_try:
                    yield _failed(head.tasks[0], str(died))
                continue
            if not head.last_try:
                sizer.measured(len(records), seconds)
            yield from records
    finally:
        workers.cancel([batch.future for batch in pending])
        workers.close()


def _workers(client, jobs: Optional[int], total: Optional[int]) -> _Workers:
    if client is not None:
        return _Cluster(client)
    jobs = jobs or os.cpu_count() or 1
    if total is not None:
        jobs = max(1, min(jobs, total))
    return _InThread() if jobs == 1 else _LocalPool(jobs)


def run_tasks(tasks: Iterable[Task], settings: Settings, *, client=None,
              jobs: Optional[int] = None, total: Optional[int] = None) -> Iterator[dict]:
    """The command's runs: records (with their timings) in input order."""
    if client is not None:
        check_cluster(client)
        settings = replace(settings, threads=1)
    workers = _workers(client, jobs, total)
    if isinstance(workers, _LocalPool):
        settings = replace(settings, threads=max(1, (os.cpu_count() or 1) // workers.count))
    yield from _run(tasks, settings, workers, total)


def analyse_images(inputs, *, client=None, jobs=None, min_pixels=1, top=DEFAULT_TOP,
                   max_pixels=DEFAULT_MAX_PIXELS, frame=1, per_pixel=False,
                   storage_options=None) -> Iterator[dict]:
    """The records of many images, lazily, in input order: one per input, duplicates included.

    ``inputs``: an iterable of paths, URLs or arrays (what ``analyse_image`` takes, except open
    files), read as the run goes, so it may be a generator over millions. The work runs on a
    local pool of ``jobs`` processes (default: one per core; 1 runs each image on the calling
    thread as its record is asked for), or on the Dask cluster of ``client`` (a
    ``distributed.Client``), in batches. A worker that dies takes no input with it: what it held
    runs again, and an input that kills its worker every time gets a failed record.
    """
    settings = _settings(min_pixels, top, max_pixels, frame, per_pixel, None, storage_options)
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be an int of at least 1 or None, not {jobs!r}")
    total = len(inputs) if hasattr(inputs, "__len__") else None
    tasks = (_source_task(source) for source in inputs)
    for record in run_tasks(tasks, settings, client=client, jobs=jobs, total=total):
        yield public(record)
