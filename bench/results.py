"""The figures of a benchmark run, kept as JSON beside the build for bench/charts.py, which draws
the documentation's charts from them."""
import json
import os
from pathlib import Path

FOLDER = Path(os.environ.get("TONESIFT_BUILD_DIR") or
              Path(__file__).resolve().parents[1] / "build") / "bench-results"


def folder(quick):
    """Where a run's figures go: a quick run's apart, so that they never reach the charts."""
    return FOLDER / "quick" if quick else FOLDER


def record(name, figures, quick):
    folder(quick).mkdir(parents=True, exist_ok=True)
    (folder(quick) / f"{name}.json").write_text(json.dumps(figures, indent=1) + "\n")


def load(name, quick):
    path = folder(quick) / f"{name}.json"
    return json.loads(path.read_text()) if path.exists() else None
