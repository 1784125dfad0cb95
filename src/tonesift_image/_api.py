"""The Python API of photographs: one record per image, as the command gives them, and the
records of an output read back."""
import errno
import os
from typing import Iterable, Iterator, Optional

from ._batches import run_tasks
from ._outputs import open_output
from ._records import current, public
from ._inputs import DEFAULT_MAX_PIXELS
from ._tasks import (DEFAULT_TOP, Task, checked_sampling, checked_settings, source_task,
                     source_tasks, task_records)


def analyse_image(source, *, min_pixels=1, top=DEFAULT_TOP, max_pixels=DEFAULT_MAX_PIXELS,
                  frame=1, per_pixel=False, threads=None, storage_options=None) -> dict:
    """The record of one image: what ``tonesift-regions --json`` reports for it, as a dict.

    ``source`` is a path, an fsspec URL (``s3://bucket/key``; ``storage_options`` go to its file
    system), an open binary file, or an array that ``PIL.Image.fromarray`` takes (the pixels as
    stored: no EXIF orientation). A file that cannot be analysed gives a record with
    ``"status": "failed"`` and its one-line ``"error"`` rather than an exception. A clip gives
    the record of its first frame (``analyse_video`` gives them all).
    """
    settings = checked_settings(min_pixels, top, max_pixels, frame, per_pixel, threads,
                                storage_options)
    records = task_records(source_task(source), settings)
    try:
        return public(next(records))
    finally:
        records.close()


def analyse_video(source, *, every=1, fps=None, start=None, end=None, min_pixels=1,
                  top=DEFAULT_TOP, max_pixels=DEFAULT_MAX_PIXELS, per_pixel=False, threads=None,
                  storage_options=None, client=None, jobs=None) -> Iterator[dict]:
    """The records of a clip's frames, lazily, in order: each a picture's record with the
    frame's ``frame`` number (from 1), its ``time`` in seconds from the stream's start, and
    ``frames``, the clip's frame count where the container says (else None).

    ``source``: what ``analyse_image`` takes (a path, an fsspec URL, an open binary file, or
    bytes), holding any video FFmpeg decodes (PyAV, the ``video`` extra). The frames analysed
    are those at ``start`` seconds or later (the clip is sought to the keyframe before, not
    decoded from its beginning) and before ``end``, at most ``fps`` of them a second of stream
    time, and of those every ``every``th from the first. A frame's pixels are PyAV's
    ``frame.to_ndarray(format="rgb24")``. A clip damaged part way gives the records of the
    frames before the damage, then a failed record with the error. ``threads`` bounds both a
    frame's analysis and FFmpeg's decoding (default: each's own choice).

    By default the clip is decoded on the calling thread (FFmpeg's own threads helping) as the
    records are asked for. With ``client`` (a ``distributed.Client``) or ``jobs`` > 1, a long
    clip given by path or URL is split at keyframes into segments that the cluster's workers or
    ``jobs`` local processes decode side by side; the records still come in frame order, each
    segment's once it is done.
    """
    settings = checked_settings(min_pixels, top, max_pixels, 1, per_pixel, threads,
                                storage_options, checked_sampling(every, fps, start, end))
    _check_jobs(jobs)
    task = source_task(source) if not isinstance(source, bytes) else Task("<bytes>", data=source)
    if client is None and (jobs or 1) == 1:
        return map(public, task_records(task, settings))  # checked now, decoded as asked for
    return map(public, run_tasks([task], settings, client=client, jobs=jobs, total=1))


def _check_jobs(jobs) -> None:
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be an int of at least 1 or None, not {jobs!r}")


def analyse_images(inputs, *, client=None, jobs=None, min_pixels=1, top=DEFAULT_TOP,
                   max_pixels=DEFAULT_MAX_PIXELS, frame=1, per_pixel=False,
                   storage_options=None) -> Iterator[dict]:
    """The records of many images, lazily, in input order: one per input, duplicates included.

    ``inputs``: an iterable of paths, URLs or arrays (what ``analyse_image`` takes, except open
    files), read as the run goes, so it may be a generator over millions. A folder stands for
    the image files under it, a glob pattern (``"shots/**/*.jpg"``) for its files, each sorted;
    a folder URL ends with "/". The work runs on a
    local pool of ``jobs`` processes (default: one per core; 1 runs each image on the calling
    thread as its record is asked for), or on the Dask cluster of ``client`` (a
    ``distributed.Client``), in batches. A worker that dies takes no input with it: what it held
    runs again, and an input that kills its worker every time gets a failed record.
    """
    settings = checked_settings(min_pixels, top, max_pixels, frame, per_pixel, None,
                                storage_options)
    _check_jobs(jobs)
    options = settings.storage_options
    if hasattr(inputs, "__len__"):  # in memory already: its folders are listed at once
        tasks: Iterable[Task] = [task for source in inputs
                                 for task in source_tasks(source, options)]
        total: Optional[int] = len(tasks)  # type: ignore[arg-type]
    else:
        tasks, total = (task for source in inputs for task in source_tasks(source, options)), None
    for record in run_tasks(tasks, settings, client=client, jobs=jobs, total=total):
        yield public(record)


def read_records(output, *, storage_options=None) -> Iterator[dict]:
    """The records of a ``.jsonl`` or ``.parquet`` output, in order, as ``analyse_image`` gives
    them, in this version's layout whichever version wrote them. A JSON Lines file cut off by an
    interrupted run gives its whole records. An output that
    does not exist raises ``FileNotFoundError``: a mistyped name is no empty data set."""
    target = os.fspath(output)
    writer = open_output(target, storage_options)
    if not writer.exists():
        raise FileNotFoundError(errno.ENOENT, "no such output", target)
    return map(current, writer.records())
