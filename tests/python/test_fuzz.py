"""Property-based fuzzing of every entry point (shapes and invariants in fuzz_shapes.py).

Hypothesis draws the bytes that the shapes are built from and shrinks a failure to a minimal
call sequence. CI runs a fixed, derandomised budget; for a long run with fresh inputs:

    TONESIFT_FUZZ_RANDOM=1 TONESIFT_FUZZ_EXAMPLES=200000 ./dev test tests/python/test_fuzz.py
"""
import os

from hypothesis import HealthCheck, given, settings, strategies as st

import fuzz_shapes

EXAMPLES = int(os.environ.get("TONESIFT_FUZZ_EXAMPLES", "3000"))
FRESH_INPUTS = os.environ.get("TONESIFT_FUZZ_RANDOM") == "1"
CALLS = {"total": 0}


@settings(max_examples=EXAMPLES, derandomize=not FRESH_INPUTS, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.binary(max_size=4096))
def test_random_calls_keep_every_invariant(data):
    chooser = fuzz_shapes.Chooser(data)
    world = fuzz_shapes.World()
    for _ in range(chooser.number(1, 12)):
        fuzz_shapes.run_call(chooser, world)
    CALLS["total"] += world.calls


def test_report_the_number_of_fuzzed_calls(capsys):
    with capsys.disabled():
        print(f"\nfuzzed calls: {CALLS['total']}")
    assert CALLS["total"] >= EXAMPLES
