"""Coverage-guided fuzzing of every entry point with atheris, over the shapes that
tests/python/test_fuzz.py drives with Hypothesis.

    ./dev atheris [-runs=N] [-max_total_time=SECONDS] [-seed=S] [CORPUS_DIR]

A broken invariant raises out of test_one_input, which atheris reports with the input that
caused it.
"""
import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

with atheris.instrument_imports():
    import fuzz_shapes

REPORT_EVERY = 10_000
calls = 0


def test_one_input(data):
    global calls
    chooser = fuzz_shapes.Chooser(data)
    world = fuzz_shapes.World()
    for _ in range(chooser.number(1, 12)):
        fuzz_shapes.run_call(chooser, world)
    # atheris ends the process without running exit handlers, so the count is told as it goes.
    if (calls + world.calls) // REPORT_EVERY > calls // REPORT_EVERY:
        print(f"fuzzed calls: {calls + world.calls}", file=sys.stderr, flush=True)
    calls += world.calls


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
