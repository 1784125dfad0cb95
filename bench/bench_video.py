"""Clips: tonesift-regions on a 1080p H.264 clip against its floor, each run in a fresh process.

    python3.8 bench/bench_video.py [--rounds N] [--quick]

The floor is a process that decodes the same frames with PyAV and converts each to RGB
(`to_ndarray(format="rgb24")`), which any analysis of them must do first. Wall time of both,
taking turns, medians of N rounds; then the command's peak memory (VmHWM) on 4K clips of 6 s, one
minute and ten minutes, which stays flat when frames are analysed one at a time. The clips are
made once, with PyAV's encoder, into build/bench-video/ (the ten minutes are the minute's
packets ten times over, timestamps shifted: no encoding). Last, one long 1080p clip in one
process, on the local pool of 2, and on a cluster of 1 and of 2 one-thread workers (127.0.0.1,
no dashboards), which split it at keyframes. --quick uses shorter clips.
"""
import argparse
import statistics
import subprocess
import sys
import time

import results
from bench_collections import Cluster
from bench_command import CACHE, environment, run

FOLDER = CACHE.parent / "bench-video"
FLOOR = """import sys
import av
with av.open(sys.argv[1]) as container:
    stream = container.streams.video[0]
    stream.thread_type = "AUTO"
    if len(sys.argv) > 2:
        stream.thread_count = int(sys.argv[2])
    for frame in container.decode(stream):
        frame.to_ndarray(format="rgb24")
"""
# A pan over a photo scaled up to a little more than the frame, with moving noise, so that every
# frame differs as a camera's do.
MAKE = """import sys
import av
import numpy as np
from PIL import Image
from bench_image import PHOTOS
path, width, height, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rate, rng = 30, np.random.default_rng(0)
PRESET = sys.argv[5]
photo = np.asarray(Image.open(PHOTOS[0]).convert("RGB").resize((width + 240, height + 135)))
with av.open(path, "w") as container:
    stream = container.add_stream("libx264", rate=rate)
    stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
    stream.options = {"preset": PRESET, "crf": "23"}
    for index in range(seconds * rate):
        x, y = index % 240, index % 135
        frame = photo[y:y + height, x:x + width].astype(np.int16)
        frame += rng.integers(-6, 7, (1, width, 1), dtype=np.int16)
        shown = np.clip(frame, 0, 255).astype(np.uint8)
        for packet in stream.encode(av.VideoFrame.from_ndarray(shown, format="rgb24")):
            container.mux(packet)
    for packet in stream.encode():
        container.mux(packet)
"""


def made(path, code, *args):
    """`path`, written once by `code` (its first argument) under another name, so that an
    interrupted or failed run leaves no file to be taken for made."""
    if not path.exists():
        FOLDER.mkdir(parents=True, exist_ok=True)
        partial = path.with_name(f"partial-{path.name}")
        subprocess.run([sys.executable, "-c", code, str(partial), *map(str, args)], check=True,
                       cwd=str(CACHE.parents[1] / "bench"))
        partial.rename(path)
    return path


def clip(width, height, seconds, preset):
    return made(FOLDER / f"{height}p-{seconds}s-{preset}.mp4", MAKE, width, height, seconds,
                preset)


# Copies a clip's packets `times` over, each copy's timestamps after the one before.
REPEAT = """import sys
import av
path, source, times = sys.argv[1], sys.argv[2], int(sys.argv[3])
with av.open(source) as given, av.open(path, "w") as container:
    video = given.streams.video[0]
    # PyAV before 14 copies a stream's settings through add_stream's template.
    copy = getattr(container, "add_stream_from_template", None)
    stream = copy(video) if copy else container.add_stream(template=video)
    length = None
    for time in range(times):
        given.seek(0)
        for packet in given.demux(video):
            if packet.dts is None:  # the flush packet
                continue
            if length is None:
                length = video.duration
            packet.pts += time * length
            packet.dts += time * length
            packet.stream = stream
            container.mux(packet)
"""


def repeated(path, times):
    return made(path.with_name(f"{path.stem}-x{times}{path.suffix}"), REPEAT, path, times)


# The API with both the decoding and each frame's analysis on one thread.
ONE_THREAD = """import sys
import tonesift_image
for record in tonesift_image.analyse_video(sys.argv[1], threads=1):
    assert record["status"] == "ok", record
"""


def floor(path, *threads):
    return timed(FLOOR, path, *threads)


def timed(code, *args):
    started = time.perf_counter()
    subprocess.run([sys.executable, "-c", code, *map(str, args)], check=True, env=environment())
    return time.perf_counter() - started


def on_cluster(path, rounds):
    """Medians of the command on one long clip: in one process, on the local pool of 2, and on
    a cluster of 1 and of 2 one-thread workers, which decode its segments side by side; then
    with each worker on a core of its own, as a cluster's machines give them."""
    import tempfile

    def median(*options):
        runs = []
        for _ in range(rounds):
            status, taken, _, stderr = run(path, "--output", FOLDER / "records.jsonl",
                                           "--overwrite", *options)
            assert status == 0, stderr
            runs.append(taken)
        return statistics.median(runs)

    times = {"one process": median(), "local pool of 2": median("--jobs", "2")}
    for pinned in (False, True):
        with tempfile.TemporaryDirectory() as scratch:
            cluster = Cluster(scratch)
            try:
                for workers in (1, 2):
                    cluster.add_worker(workers - 1 if pinned else None)
                    name = f"{workers} worker{'s' * (workers > 1)}{', 1 core each' * pinned}"
                    times[name] = median("--scheduler", cluster.address)
            finally:
                cluster.close()
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--preset", default="medium",
                        help="x264's preset for the 1080p clip (default medium, as uploads and "
                             "cameras' encoders give; ultrafast decodes far faster)")
    arguments = parser.parse_args()
    seconds = 2 if arguments.quick else 10
    hd = clip(1920, 1080, seconds, arguments.preset)
    command, decoding, one_thread, decoding_one_thread = [], [], [], []
    for _ in range(arguments.rounds):
        status, taken, _, stderr = run(hd, "--output", FOLDER / "records.jsonl", "--overwrite")
        assert status == 0, stderr
        command.append(taken)
        decoding.append(floor(hd))
        one_thread.append(timed(ONE_THREAD, hd))
        decoding_one_thread.append(floor(hd, 1))
    figures = {"command_seconds": statistics.median(command),
               "decode_seconds": statistics.median(decoding),
               "one_thread_seconds": statistics.median(one_thread),
               "decode_one_thread_seconds": statistics.median(decoding_one_thread)}
    figures["ratio"] = figures["command_seconds"] / figures["decode_seconds"]
    figures["one_thread_ratio"] = \
        figures["one_thread_seconds"] / figures["decode_one_thread_seconds"]
    print(f"1080p H.264 (x264 {arguments.preset}), {seconds * 30} frames, medians of "
          f"{arguments.rounds} rounds taking turns:")
    print(f"  tonesift-regions         {figures['command_seconds']:7.2f} s")
    print(f"  PyAV decode to RGB alone {figures['decode_seconds']:7.2f} s   "
          f"(the command takes {figures['ratio']:.2f}x the floor)")
    print(f"  decoding on one thread: analyse_video(threads=1) "
          f"{figures['one_thread_seconds']:.2f} s, PyAV alone "
          f"{figures['decode_one_thread_seconds']:.2f} s ({figures['one_thread_ratio']:.2f}x)")
    lengths = ((1, 1), (1, 10)) if arguments.quick else ((6, 1), (60, 1), (60, 10))
    for length, times in lengths:
        # Memory does not depend on the encoder's effort: the quick one makes them.
        path = clip(3840, 2160, length, "ultrafast")
        if times > 1:
            path, length = repeated(path, times), length * times
        status, taken, peak, stderr = run(path, "--output", FOLDER / "records.jsonl",
                                          "--overwrite", "--fps", "5")
        assert status == 0, stderr
        figures[f"peak_mb_4k_{length}s"] = peak
        print(f"  4K clip of {length:3d} s (--fps 5): peak {peak:6.0f} MB, {taken:6.1f} s")
    copies = 2 if arguments.quick else 6
    long = repeated(hd, copies)
    times = on_cluster(long, 1 if arguments.quick else 3)
    print(f"One clip of {seconds * copies} s (the 1080p one {copies} times over), "
          f"split at keyframes where several workers share it:")
    for name, taken in times.items():
        print(f"  {name:<16} {taken:6.2f} s")
    figures["two_workers_speedup"] = times["1 worker"] / times["2 workers"]
    figures["two_cores_speedup"] = \
        times["1 worker, 1 core each"] / times["2 workers, 1 core each"]
    print(f"  2 workers: {figures['two_workers_speedup']:.2f}x 1 worker; on a core each: "
          f"{figures['two_cores_speedup']:.2f}x")
    results.record("video", figures, arguments.quick)


if __name__ == "__main__":
    main()
