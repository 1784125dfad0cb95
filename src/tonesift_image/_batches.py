"""The batch runner: many tasks through an engine, a bounded number of batches in flight, and
their records back in input order as soon as each and those before it are done."""
import itertools
from collections import deque
from dataclasses import dataclass
from typing import Any, Deque, Iterable, Iterator, List, Optional

from . import _records
from ._engines import Died, Engine, make_engine
from ._tasks import Settings, Split, Task

# A batch is sized to take about this long on a worker: long enough that the cost of a task
# (Dask's is about a millisecond) is lost in it, short enough that the last batches of a run
# spread over every worker.
BATCH_SECONDS = 0.25
MAX_BATCH = 512


class _Clip:
    """The segments of one clip: once one of them fails, the later ones' records are dropped,
    as a clip read whole stops at its damage."""
    failed = False


@dataclass
class _Batch:
    tasks: List[Task]
    future: Any = None
    last_try: bool = False  # a single input run again after its worker died: a death is final
    records: Optional[List[Any]] = None  # known already: what follows a split clip in its batch
    clip: Optional[_Clip] = None  # the clip whose segment this is


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
    flight, so that it names its cause); one that dies again is recorded as failed. A long clip
    comes back split: its segments run as batches of their own, and their records take its
    place, in frame order."""
    source = iter(tasks)
    pending: Deque[_Batch] = deque()
    suspects: Deque[_Batch] = deque()  # to run again alone, not yet submitted
    sizer = Sizer(workers.count, total)
    in_flight = 2 * workers.count
    exhausted = False

    def submit(batch: _Batch) -> _Batch:
        batch.future = workers.submit(batch.tasks, settings)
        return batch
    try:
        while True:
            if suspects and not pending:
                suspect = suspects.popleft()
                if suspect.clip is not None and suspect.clip.failed:
                    continue
                if suspect.records is None:
                    suspect.last_try = True
                    submit(suspect)
                pending.append(suspect)
            while not suspects and not exhausted and len(pending) < in_flight:
                batch = list(itertools.islice(source, sizer.next()))
                if not batch:
                    exhausted = True
                    break
                sizer.taken(len(batch))
                pending.append(submit(_Batch(batch)))
            if not pending:
                return
            head = pending.popleft()
            if head.clip is not None and head.clip.failed:
                workers.cancel([head.future])
                continue
            if head.records is not None:
                records = head.records
            else:
                try:
                    records, seconds = workers.result(head.future)
                except Died as died:
                    if workers.loses_all:
                        workers.restart()
                        lost = [head, *pending] if not head.last_try else [*pending]
                        pending.clear()
                        suspects.extendleft(reversed([
                            one for batch in lost for one in
                            ([batch] if batch.records is not None else
                             [_Batch([task], clip=batch.clip) for task in batch.tasks])]))
                    elif not head.last_try:
                        for task in reversed(head.tasks):
                            pending.appendleft(submit(_Batch([task], last_try=True,
                                                             clip=head.clip)))
                    if head.last_try:
                        task = head.tasks[0]
                        if head.clip is not None:
                            head.clip.failed = True
                        yield _records.failed(task.input, f"{task.input}: {died}")
                    continue
                if not head.last_try and head.clip is None:
                    sizer.measured(len(head.tasks), seconds)
            for index, record in enumerate(records):
                if isinstance(record, Split):
                    # The segments run before the rest of this batch's records are given.
                    clip = _Clip()
                    parts = [submit(_Batch([task], clip=clip)) for task in record.tasks]
                    rest = records[index + 1:]
                    pending.extendleft(reversed([*parts, *([_Batch([], records=rest)]
                                                           if rest else [])]))
                    break
                if head.clip is not None and record["status"] != "ok":
                    head.clip.failed = True
                yield record
    finally:
        workers.cancel([batch.future for batch in pending if batch.future is not None])
        workers.close()


def run_tasks(tasks: Iterable[Task], settings: Settings, *, client=None,
              jobs: Optional[int] = None, total: Optional[int] = None,
              keep_freed_memory: bool = False) -> Iterator[dict]:
    """Records (with their timings) in input order, on the engine these arguments choose."""
    engine = make_engine(client, jobs, total, keep_freed_memory)
    yield from run(tasks, engine.settings(settings), engine, total)
