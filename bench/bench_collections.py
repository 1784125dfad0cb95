"""Collections: tonesift-regions over many photos, on the local pool and on a Dask cluster.

    python3.8 bench/bench_collections.py [--quick] [--rounds N]

Every run is the command in a fresh process, with --output, against a scheduler and workers
started here on 127.0.0.1 (one thread each, dashboards and the workers' profiler off):
1. 100 photos of 12 Mpixel: 1 worker, 2 workers, and the local pool of 2 processes; each also
   on one photo, whose time is the fixed cost of a run (start-up, connecting, the version check),
   so that the rate beyond it shows; and the CPU that the cluster's own processes (scheduler,
   nannies, workers) take while idle, which the analysis shares the cores with.
2. 100,000 photos of 64 x 64 from a --from-list file: the local pool of 2 processes against 2
   workers, writing JSONL and Parquet, with the client's own peak memory (its workers' is theirs).
Medians of --rounds runs (default 3). The photos are made once, into build/bench-command/
(the small ones are hard links to 500 distinct files). --quick: 12 and 5,000 smaller photos.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import psutil
from PIL import Image

import results
from bench_command import CACHE, photo_like, picture

# The command, then the client's own peak RSS in kB on stderr's last line.
CLIENT = ("import sys\nfrom tonesift_image.command import main\n"
          "status = main(sys.argv[1:])\n"
          f"print({results.PEAK_KB}, file=sys.stderr)\n"
          "sys.exit(status)")
DISTINCT_SMALL = 500
# A worker's statistical profiler walks the stacks of its task threads every 10 ms, which costs
# about a sixth of the time of small photos: the benchmark's workers run without it, as a
# throughput cluster would.
WORKER_ENVIRONMENT = {"DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED": "False"}


def big_photos(count, size):
    folder = CACHE / f"photos-{count}-{size[0]}x{size[1]}"
    if not folder.exists():
        made = [picture(f"photo-{size[0]}x{size[1]}-{seed}.jpg", *size, seed) for seed in range(4)]
        partial = folder.with_suffix(".partial")
        partial.mkdir(parents=True, exist_ok=True)
        for i in range(count):
            target = partial / f"{i:03}.jpg"
            if not target.exists():
                os.link(made[i % len(made)], target)
        partial.rename(folder)
    return sorted(str(path) for path in folder.glob("*.jpg"))


def small_photos(count):
    """A list file of `count` 64 x 64 PNGs: crops of a real-looking photo, hard-linked."""
    folder = CACHE / f"small-{count}"
    listing = folder / "list.txt"
    if not listing.exists():
        folder.mkdir(parents=True, exist_ok=True)
        levels = np.asarray(photo_like(64 * 25, 64 * 20, 0))
        distinct = []
        for i in range(DISTINCT_SMALL):
            y, x = divmod(i, 25)
            path = folder / f"distinct-{i:03}.png"
            Image.fromarray(levels[64 * y:64 * y + 64, 64 * x:64 * x + 64]).save(path)
            distinct.append(path)
        names = []
        for i in range(count):
            target = folder / f"{i:06}.png"
            if not target.exists():
                os.link(distinct[i % DISTINCT_SMALL], target)
            names.append(str(target))
        listing.write_text("".join(f"{name}\n" for name in names))
    return listing


class Cluster:
    """A scheduler and workers, each a process of its own, on 127.0.0.1."""

    def __init__(self, folder):
        self.file = Path(folder) / "scheduler.json"
        self.processes = [subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
             "--port", "0", "--no-dashboard", "--scheduler-file", str(self.file)],
            stderr=subprocess.DEVNULL)]
        self.workers = 0
        deadline = time.monotonic() + 60
        while not (self.file.exists() and json.loads(self.file.read_text() or "{}")):
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.1)
        self.address = json.loads(self.file.read_text())["address"]

    def add_worker(self, core=None):
        """A one-thread worker; with `core`, it and its nanny run on that core alone."""
        pinned = [] if core is None else ["taskset", "--cpu-list", str(core)]
        self.processes.append(subprocess.Popen(
            [*pinned, sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
             str(self.file), "--nthreads", "1", "--host", "127.0.0.1", "--no-dashboard"],
            stderr=subprocess.DEVNULL, env=dict(os.environ, **WORKER_ENVIRONMENT)))
        self.workers += 1
        subprocess.run([sys.executable, "-c", "import sys\nfrom distributed import Client\n"
                        "Client(sys.argv[1], timeout=60).wait_for_workers(int(sys.argv[2]), 60)",
                        self.address, str(self.workers)], check=True, timeout=120)

    def idle_cpu(self, seconds=5.0):
        """The CPU that the scheduler, nannies and workers take while idle, in cores."""
        processes = [psutil.Process(p.pid) for p in self.processes]
        processes += [child for p in processes for child in p.children(recursive=True)]
        time.sleep(1)
        used = lambda: sum(sum(p.cpu_times()[:2]) for p in processes)  # noqa: E731
        before = used()
        time.sleep(seconds)
        return (used() - before) / seconds

    def close(self):
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            process.wait(timeout=60)


def run(arguments, output):
    """(seconds, client peak RSS in MB) of one run of the command."""
    if os.path.isdir(output):
        for part in Path(output).iterdir():
            part.unlink()
    elif os.path.exists(output):
        os.unlink(output)
    started = time.perf_counter()
    result = subprocess.run([sys.executable, "-c", CLIENT, "--quiet", "--output", output,
                             *arguments], capture_output=True, text=True, timeout=3600)
    seconds = time.perf_counter() - started
    assert result.returncode == 0, result.stderr
    return seconds, int(result.stderr.strip().splitlines()[-1]) / 1024


def median_run(arguments, output, rounds):
    runs = [run(arguments, output) for _ in range(rounds)]
    return statistics.median(r[0] for r in runs), max(r[1] for r in runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, smaller photos, one round")
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    rounds = 1 if options.quick else options.rounds
    count, size, small_count = (12, (1200, 900), 5_000) if options.quick else \
        (100, (4000, 3000), 100_000)
    print(f"tonesift-regions over collections, {sys.executable}, {os.cpu_count()} cores, "
          f"medians of {rounds}")
    photos = big_photos(count, size)
    listing = small_photos(small_count)
    with tempfile.TemporaryDirectory() as scratch:
        cluster = Cluster(scratch)
        try:
            jsonl, parquet = f"{scratch}/records.jsonl", f"{scratch}/records.parquet"
            on_cluster = ["--scheduler", cluster.address]
            times = {}
            for name, where in (("1 worker", on_cluster), ("2 workers", on_cluster),
                                ("local pool of 2", ["--jobs", "2"])):
                if name != "local pool of 2":
                    cluster.add_worker()
                times[name] = [median_run([*chosen, *where], jsonl, rounds)[0]
                               for chosen in (photos, photos[:1])]
            idle = cluster.idle_cpu()
            print(f"\n{count} photos of {size[0] * size[1] / 1e6:.0f} Mpixel (and one photo: the "
                  "fixed cost of a run):")
            for name, (whole, fixed) in times.items():
                print(f"  {name:<16} {whole:6.2f} s (one photo {fixed:.2f} s; beyond that "
                      f"{(count - 1) / (whole - fixed):.1f} photos/s)")
            one, two, pool = (times[name][0] for name in times)
            print(f"  2 workers: {one / two:.2f}x 1 worker, {two / pool:.2f}x the pool's time; "
                  f"the idle cluster's own processes take {idle * 100:.0f}% of a core")
            print(f"\n{small_count} photos of 64 x 64 from a list:"
                  "\n  where          output     photos/s   client peak RSS")
            for name, where in (("local pool, 2", ["--jobs", "2"]), ("2 workers", on_cluster)):
                for output in (jsonl, parquet):
                    seconds, peak = median_run(["--from-list", str(listing), *where], output,
                                               rounds)
                    print(f"  {name:<14} {Path(output).suffix:<10} {small_count / seconds:>8.0f}"
                          f"   {peak:>6.0f} MB")
        finally:
            cluster.close()


if __name__ == "__main__":
    main()
