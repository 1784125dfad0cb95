"""Progress: where an analysis tells it, and the bars that show it on a terminal (a bar for a
run's inputs, one per stage of a single picture). tqdm is imported only when a bar is made."""
import sys
from typing import Callable, Optional

PROGRESS_DELAY_SECONDS = 1.0


class Stages:
    """Where an analysis tells its progress: one stage at a time, each with its own amount of work
    (None: unknown), so that no estimate mixes stages that run at different speeds."""

    def start(self, name: str, total: Optional[int] = None) -> Callable[[int], None]:
        return lambda done: None

    def finish(self) -> None:
        pass


class NoBar:
    """What a disabled bar does (nothing), without importing tqdm for it."""

    def update(self, count: int = 1) -> None:
        pass

    def set_postfix(self, **values) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(**options):
    """A tqdm bar on stderr that starts no thread (a NoBar when `disable` is true).

    tqdm's monitor thread, started with the first bar (even a disabled one) and never stopped,
    only wakes bars whose adaptive update interval outgrew a slowing loop; these bars redraw on
    every update instead. A thread left running would be killed mid-call at exit, and a pool
    forked later would copy its locks in whatever state they were.
    """
    if options.get("disable"):
        return NoBar()
    from tqdm import tqdm  # type: ignore[import-untyped]

    class Bar(tqdm):  # type: ignore[misc]
        monitor_interval = 0

    return Bar(file=sys.stderr, delay=PROGRESS_DELAY_SECONDS, leave=False, miniters=1,
               **options)


class TerminalStages(Stages):
    """A bar per stage, shown once a stage takes more than a moment. A stage of unknown length
    (decoding, native grouping) shows only its elapsed time, never a guessed estimate."""

    def __init__(self, name: str):
        self.name = name
        self.bar = None

    def start(self, stage, total=None):
        self.finish()
        self.bar = progress_bar(total=total, desc=f"{self.name}: {stage}", unit="row",
                                bar_format=None if total else "{desc} {elapsed}")
        return self.bar.update

    def finish(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None
