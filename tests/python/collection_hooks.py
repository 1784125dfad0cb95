"""Faults on demand, for the collection tests: imported by a Dask worker (--preload) or a client
before it runs, it makes the analysis of an input named *crash* kill its process and of one
named *slow* take a while (a clip's, each frame's), so that a run can be interrupted or lose a
worker in the middle; a clip named *breaks* kills its process once it is decoded. Where
$TONESIFT_READS names a file, each read of a clip appends its process and first frame there."""
import os
import time

from tonesift_image import _analysis, _video

SLOW_SECONDS = 0.3
SLOW_FRAME_SECONDS = 0.005

if not hasattr(_analysis, "unhooked_analyse"):  # a preload may run twice in one process
    _analysis.unhooked_analyse = _analysis.analyse

    def analyse(source, name, **options):
        if "crash" in name:
            os._exit(70)
        if "slow" in name:
            time.sleep(SLOW_SECONDS)
        return _analysis.unhooked_analyse(source, name, **options)

    _analysis.analyse = analyse

    def read(self, *args, **options):
        for index, frame in enumerate(_video.Clip.unhooked_read(self, *args, **options)):
            if index == 0 and os.environ.get("TONESIFT_READS"):
                with open(os.environ["TONESIFT_READS"], "a") as reads:
                    reads.write(f"{os.getpid()} {frame.number}\n")
            if "breaks" in self.name:  # as a decoder that crashes would
                os._exit(70)
            if "slow" in self.name:
                time.sleep(SLOW_FRAME_SECONDS)
            yield frame

    _video.Clip.unhooked_read = _video.Clip.read
    _video.Clip.read = read
