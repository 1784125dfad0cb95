"""Engines: where batches of tasks run. The calling thread, a local process pool, or a Dask
cluster, behind one small interface; each decides how many threads a picture gets and how its
processes keep freed memory, since only it knows how many pictures run at once and in which
processes.
"""
import os
import signal
import sys
import time
from dataclasses import replace
from typing import List, Optional, Tuple, Union

from ._errors import ClusterError, one_line
from ._tasks import Settings, Split, Task, run_task
from ._version import __version__

_M_TRIM_THRESHOLD, _M_TOP_PAD, _M_MMAP_THRESHOLD = -1, -2, -3  # glibc's mallopt options


def reuse_freed_memory() -> None:
    """Asks glibc to keep the memory an image frees for the next image instead of handing it back
    to the system: otherwise every image of a batch pays again for faulting in (and zeroing) tens
    of megabytes of fresh pages, about a sixth of its time, and far more on a Dask worker, whose
    nanny asks glibc to hand back all it can (MALLOC_TRIM_THRESHOLD_). Not glibc: nothing to
    do."""
    import ctypes

    try:
        libc = ctypes.CDLL(None)
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    for option, value in ((_M_MMAP_THRESHOLD, 32 << 20), (_M_TRIM_THRESHOLD, 256 << 20),
                          (_M_TOP_PAD, 64 << 20)):
        mallopt(option, value)


def timed_records(tasks: List[Task], settings: Settings) -> Tuple[List[Union[dict, Split]], float]:
    started = time.perf_counter()
    records = [record for task in tasks for record in run_task(task, settings)]
    return records, time.perf_counter() - started


def run_batch(tasks: List[Task], settings: Settings, version: str) -> Tuple[List[Union[dict, Split]], float]:
    """A worker's share of a run: the records of a batch, in order, and the time they took."""
    if version != __version__:
        raise ClusterError(f"this worker has tonesift {__version__}, the client {version}")
    return timed_records(tasks, settings)


def worker_version() -> str:
    return __version__


class Died(Exception):
    """The worker running a batch died (killed, out of memory, crashed)."""


class Engine:
    """Where batches run: `submit` gives a future, `result` its value or raises Died."""
    count = 1
    # Whether a death takes every batch in flight with it, with no word of which one caused it.
    loses_all = False

    def settings(self, settings: Settings) -> Settings:
        """The settings as this engine runs them: its own thread budget per picture, and how
        many workers a long clip's segments spread over."""
        return settings

    def submit(self, tasks: List[Task], settings: Settings):
        raise NotImplementedError

    def result(self, future) -> Tuple[List[Union[dict, Split]], float]:
        raise NotImplementedError

    def restart(self) -> None:
        """After a death that lost everything: get ready to run again."""

    def cancel(self, futures) -> None:
        pass

    def close(self) -> None:
        pass


class InThread(Engine):
    """Every batch runs on the calling thread, when its record is asked for, with every core for
    each picture. `keep_freed_memory` is for a process of our own that goes through many pictures
    (the command's): a library call leaves its caller's allocator as it found it."""

    def __init__(self, keep_freed_memory: bool = False):
        if keep_freed_memory:
            reuse_freed_memory()

    def submit(self, tasks, settings):
        return tasks, settings

    def result(self, future):
        tasks, settings = future
        return timed_records(tasks, settings)


def _start_worker() -> None:
    # The main process handles Ctrl-C for the whole run; workers finish or are dropped.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # fsspec's event loop runs on a thread of the main process once it has touched a URL (the
    # output), and a forked worker has only its copy of that loop, stopped: fsspec's own reset
    # gives the worker a loop of its own.
    asyn = sys.modules.get("fsspec.asyn")
    if asyn is not None:
        asyn.reset_lock()
    reuse_freed_memory()


class LocalPool(Engine):
    """A pool of worker processes on this machine, which share its cores between them."""
    loses_all = True

    def __init__(self, jobs: int):
        self.count = jobs
        self.pool = self._start()

    def settings(self, settings):
        return replace(settings, threads=max(1, (os.cpu_count() or 1) // self.count),
                       split=self.count)

    def _start(self):
        # Imported here: multiprocessing costs a one-picture run a tenth of its start-up.
        from concurrent.futures import ProcessPoolExecutor

        # A process that has decoded video has FFmpeg's threads, whose locks a forked worker
        # would inherit held (seen: a pool that never answers): workers then start from a fresh
        # server process instead.
        context = None
        if "av" in sys.modules:
            import multiprocessing

            context = multiprocessing.get_context("forkserver")
        return ProcessPoolExecutor(self.count, mp_context=context, initializer=_start_worker)

    def submit(self, tasks, settings):
        return self.pool.submit(run_batch, tasks, settings, __version__)

    def result(self, future):
        from concurrent.futures.process import BrokenProcessPool

        try:
            return future.result()
        except BrokenProcessPool:  # a worker was killed, say by the kernel
            raise Died("the worker process analysing it died (out of memory?)") from None

    def restart(self):
        self.pool.shutdown(wait=True)
        self.pool = self._start()

    def cancel(self, futures):
        for future in futures:
            future.cancel()

    def close(self):
        self.pool.shutdown(wait=True)


def check_cluster(client) -> None:
    """Refuses a cluster whose workers do not all have this tonesift (or have none)."""
    try:
        versions = client.run(worker_version)
    except Exception as error:  # a worker without tonesift cannot even unpickle the call
        raise ClusterError(f"the workers cannot run tonesift {__version__} ({one_line(error)}): "
                           "install the same tonesift on every worker") from None
    if not versions:
        raise ClusterError("the cluster has no workers")
    others = {worker: version for worker, version in versions.items() if version != __version__}
    if others:
        worker, version = sorted(others.items())[0]
        raise ClusterError(f"worker {worker} has tonesift {version}, this client {__version__}: "
                           "install the same tonesift on every worker")


def _keep_freed_memory_on_workers(client) -> None:
    """A worker plugin that tunes each worker's allocator as it starts, the ones to come too."""
    from distributed.diagnostics.plugin import WorkerPlugin  # type: ignore[import-untyped]

    # Defined here, and so sent to the workers by value: a worker needs only tonesift's
    # reuse_freed_memory, which it has (check_cluster made sure).
    class KeepFreedMemory(WorkerPlugin):  # type: ignore[misc]
        name = "tonesift-keep-freed-memory"
        idempotent = True

        def setup(self, worker):
            reuse_freed_memory()

    plugin = KeepFreedMemory()
    register = getattr(client, "register_plugin", None) or client.register_worker_plugin
    register(plugin, name=plugin.name)


class Cluster(Engine):
    """The workers of a Dask cluster: each runs one picture per thread, on that thread alone."""

    def __init__(self, client):
        check_cluster(client)
        _keep_freed_memory_on_workers(client)
        self.client = client
        self.count = max(1, sum(client.nthreads().values()))

    def settings(self, settings):
        return replace(settings, threads=1, split=self.count)

    def submit(self, tasks, settings):
        # Not pure: batches of the same inputs are separate work, never one shared result.
        return self.client.submit(run_batch, tasks, settings, __version__, pure=False)

    def result(self, future):
        from distributed import KilledWorker  # type: ignore[import-untyped, import-not-found]
        try:
            return future.result()
        except KilledWorker:
            # The scheduler has run it again elsewhere already, and every worker died with it.
            raise Died("the workers analysing it died again and again "
                       "(out of memory, or a crash?)") from None

    def cancel(self, futures):
        if futures:
            self.client.cancel(list(futures))


def make_engine(client=None, jobs: Optional[int] = None, total: Optional[int] = None,
                keep_freed_memory: bool = False) -> Engine:
    """The engine for a run: the cluster of `client`, else `jobs` local processes (default: one a
    core, never more than the inputs), where one means the calling thread. Jobs asked for are
    started however few the inputs: a long clip's segments share them."""
    if client is not None:
        return Cluster(client)
    if jobs is None:
        jobs = os.cpu_count() or 1
        if total is not None:
            jobs = max(1, min(jobs, total))
    return InThread(keep_freed_memory) if jobs == 1 else LocalPool(jobs)
