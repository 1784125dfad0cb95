"""The benchmark harness runs every path and refuses to report for a wrong classifier."""
import json
import os
import shutil
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import run_python

# The Python code alone, the same on every version: CI runs it on the oldest and the newest.
pytestmark = pytest.mark.pure_python

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
bench = pytest.importorskip("bench_tonesift", reason="the floor module is not built")


def run_bench(script, *arguments):
    return run_python(f"import runpy, sys; sys.argv = ['bench', *{list(arguments)!r}];"
                      f"runpy.run_path({str(BENCH / script)!r}, run_name='__main__')").stdout


def test_a_short_run_reports_every_path():
    output = run_bench("bench_tonesift.py", "--rounds", "2", "--quick")
    summary = [line.split(":")[0] for line in output.splitlines() if "x its floor" in line]
    assert summary == list(bench.TARGETS)


def test_the_threads_benchmark_reports_a_positive_rate_for_every_contender():
    import bench_threads

    output = run_bench("bench_threads.py", "--rounds", "1", "--quick", "--threads", "3")
    rows = {line[:40].strip(): line[40:].split() for line in output.splitlines()
            if line[:40].strip() in bench_threads.CONTENDERS}
    assert list(rows) == list(bench_threads.CONTENDERS)
    assert all(len(values) == 3 and min(map(float, values)) > 0 for values in rows.values())


@pytest.mark.skipif(shutil.which("valgrind") is None or "asan" in os.environ.get("LD_PRELOAD", "")
                    or sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="needs valgrind and an interpreter with the GIL and no sanitizer")
def test_instruction_counts_repeat_exactly(tmp_path):
    colours = tmp_path / "colours.json"
    colours.write_text(json.dumps([[200, 150, 120], [0, 0, 0]] * 5000))
    counts = [bench.instructions("get", "Skin", 1, str(colours)) for _ in range(2)]
    assert counts[0] == counts[1] > 0


def test_refuses_when_verdicts_disagree(monkeypatch):
    colours = [(200, 150, 120), (0, 0, 0)]
    bench.check_verdicts(colours)
    monkeypatch.setattr(bench.tonesift, "tonesift", lambda r, g, b: False, raising=False)
    with pytest.raises(SystemExit, match="disagree on \\(200, 150, 120\\)"):
        bench.check_verdicts(colours)


def test_colour_mix_is_half_skin_and_seeded():
    import colour_mix
    import pure_python

    colours = colour_mix.colour_mix(pure_python.is_skin)
    assert len(colours) == 10_000 and colour_mix.colour_mix(pure_python.is_skin) == colours
    assert sum(bool(pure_python.is_skin(*c)) for c in colours) == 5_000
