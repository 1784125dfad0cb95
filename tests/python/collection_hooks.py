"""Faults on demand, for the collection tests: imported by a Dask worker (--preload) or a client
before it runs, it makes the analysis of an input named *crash* kill its process and of one
named *slow* take a while, so that a run can be interrupted or lose a worker in the middle."""
import os
import time

from tonesift_image import _analysis

SLOW_SECONDS = 0.3

if not hasattr(_analysis, "unhooked_analyse"):  # a preload may run twice in one process
    _analysis.unhooked_analyse = _analysis.analyse

    def analyse(source, name, **options):
        if "crash" in name:
            os._exit(70)
        if "slow" in name:
            time.sleep(SLOW_SECONDS)
        return _analysis.unhooked_analyse(source, name, **options)

    _analysis.analyse = analyse
