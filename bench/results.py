"""The figures of a benchmark run, kept as JSON beside the build for bench/charts.py, which draws
the documentation's charts from them."""
import datetime
import json
import os
import platform
from pathlib import Path

FOLDER = Path(os.environ.get("TONESIFT_BUILD_DIR") or
              Path(__file__).resolve().parents[1] / "build") / "bench-results"


# An expression for the peak resident memory, in kB, of the process that evaluates it: Linux's
# VmHWM, which starts afresh with the program. ru_maxrss would not: a child forked from a large
# benchmark process keeps the parent's size as its own peak.
PEAK_KB = ("int(next(line for line in open('/proc/self/status') "
           "if line.startswith('VmHWM:')).split()[1])")


def folder(quick):
    """Where a run's figures go: a quick run's apart, so that they never reach the charts."""
    return FOLDER / "quick" if quick else FOLDER


def machine():
    """The processor's name, as the kernel gives it."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return " ".join(line.split(":", 1)[1].split())
    except OSError:
        pass
    return platform.processor() or platform.machine()


def record(name, figures, quick):
    """Keeps a run's figures, with when and where they were measured, which the charts show."""
    figures = dict(figures, measured={"date": datetime.date.today().isoformat(),
                                      "machine": machine(), "cores": os.cpu_count(),
                                      "python": platform.python_version()})
    folder(quick).mkdir(parents=True, exist_ok=True)
    (folder(quick) / f"{name}.json").write_text(json.dumps(figures, indent=1) + "\n")


def load(name, quick):
    path = folder(quick) / f"{name}.json"
    return json.loads(path.read_text()) if path.exists() else None
