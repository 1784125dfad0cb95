"""Property-based fuzzing of every entry point (shapes and invariants in fuzz_shapes.py).

Hypothesis draws the bytes that the shapes are built from and shrinks a failure to a minimal
call sequence. CI runs a fixed, derandomised budget; for a long run with fresh inputs:

    TONESIFT_FUZZ_RANDOM=1 TONESIFT_FUZZ_EXAMPLES=200000 ./dev test tests/python/test_fuzz.py
"""
import os

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import fuzz_shapes

EXAMPLES = int(os.environ.get("TONESIFT_FUZZ_EXAMPLES", "3000"))
FRESH_INPUTS = os.environ.get("TONESIFT_FUZZ_RANDOM") == "1"
@pytest.fixture(scope="module")
def calls(pytestconfig):
    """The count of fuzzed calls, reported and checked once the fuzzing test has run, whatever
    ran before or after it."""
    counted = {"total": 0}
    yield counted
    capture = pytestconfig.pluginmanager.getplugin("capturemanager")
    with capture.global_and_fixture_disabled():
        print(f"\nfuzzed calls: {counted['total']}")
    assert counted["total"] >= EXAMPLES


@settings(max_examples=EXAMPLES, derandomize=not FRESH_INPUTS, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.binary(max_size=4096))
def test_random_calls_keep_every_invariant(calls, data):
    chooser = fuzz_shapes.Chooser(data)
    world = fuzz_shapes.World()
    for _ in range(chooser.number(1, 12)):
        fuzz_shapes.run_call(chooser, world)
    calls["total"] += world.calls
