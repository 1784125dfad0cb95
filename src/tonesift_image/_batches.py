"""The batch runner: many tasks through an engine, a bounded number of batches in flight, and
their records back in input order as soon as each and those before it are done."""
import itertools
from collections import deque
from dataclasses import dataclass
from typing import Any, Deque, Iterable, Iterator, List, Optional

from . import _records
from ._engines import Died, Engine, make_engine
from ._tasks import Settings, Task

# A batch is sized to take about this long on a worker: long enough that the cost of a task
# (Dask's is about a millisecond) is lost in it, short enough that the last batches of a run
# spread over every worker.
BATCH_SECONDS = 0.25
MAX_BATCH = 512


@dataclass
class _Batch:
    tasks: List[Task]
    future: Any
    last_try: bool = False  # a single input run again after its worker died: a death is final


class Sizer:
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


def run(tasks: Iterable[Task], settings: Settings, workers: Engine,
         total: Optional[int]) -> Iterator[dict]:
    """The records in input order, with a bounded number of batches in flight. The inputs of a
    batch whose worker died run again one by one (alone, where a death takes everything in
    flight, so that it names its cause); one that dies again is recorded as failed."""
    source = iter(tasks)
    pending: Deque[_Batch] = deque()
    suspects: Deque[Task] = deque()
    sizer = Sizer(workers.count, total)
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
            except Died as died:
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
                    task = head.tasks[0]
                    yield _records.failed(task.input, f"{task.input}: {died}")
                continue
            if not head.last_try:
                sizer.measured(len(head.tasks), seconds)
            yield from records
    finally:
        workers.cancel([batch.future for batch in pending])
        workers.close()


def run_tasks(tasks: Iterable[Task], settings: Settings, *, client=None,
              jobs: Optional[int] = None, total: Optional[int] = None,
              keep_freed_memory: bool = False) -> Iterator[dict]:
    """Records (with their timings) in input order, on the engine these arguments choose."""
    engine = make_engine(client, jobs, total, keep_freed_memory)
    yield from run(tasks, engine.settings(settings), engine, total)
