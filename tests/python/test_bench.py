"""The benchmark harness runs every path and refuses to report for a wrong classifier."""
import sys
from pathlib import Path

import pytest

from conftest import run_python

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
bench = pytest.importorskip("bench_tonesift", reason="the floor module is not built")


def test_a_short_run_reports_every_path():
    output = run_python(f"import runpy, sys; sys.argv = ['bench', '--rounds', '2', '--quick'];"
                        f"runpy.run_path({str(BENCH / 'bench_tonesift.py')!r}, run_name='__main__')"
                        ).stdout
    summary = [line.split(":")[0] for line in output.splitlines() if "x its floor" in line]
    assert summary == list(bench.TARGETS)


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
