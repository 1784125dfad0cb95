"""tonesift() called from several threads at once against the same calls on one thread.

    python bench/bench_threads.py [--quick] [--rounds N] [--threads N]

Every thread makes its own copy of the colour mix and loops over it: on a free-threaded
interpreter an object is cheap to count references to only on the thread that made it, so shared
inputs would measure the interpreter's reference counting rather than the calls. One round runs
each contender on one thread and on N threads (default 2), in a freshly shuffled order; the
threads start together at a barrier. Reported: the median calls per second over the rounds, and
the median over the rounds of the ratio of N threads to one. With the GIL the threads take
turns, so the ratio stays near 1.
"""
import argparse
import platform
import random
import statistics
import sys
import sysconfig
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tonesift  # noqa: E402
import tonesift_floor  # noqa: E402
from colour_mix import colour_mix  # noqa: E402
import pure_python  # noqa: E402

CONTENDERS = {
    "tonesift, int triples": (tonesift.tonesift, lambda colours: colours),
    "tonesift, float triples": (tonesift.tonesift,
                                lambda colours: [tuple(map(float, c)) for c in colours]),
    "floor: converts to double, int triples": (tonesift_floor.to_doubles, lambda colours: colours),
}


def calls_per_second(function, make_inputs, colours, threads, repeat):
    """All threads' calls per second, from the first start after the barrier to the last end."""
    start = threading.Barrier(threads)
    began, finished = [], []

    def work():
        inputs = [(r, g, b) for r, g, b in make_inputs(colours)]  # this thread's own objects
        call = function
        start.wait()
        began.append(time.perf_counter())
        for _ in range(repeat):
            for r, g, b in inputs:
                call(r, g, b)
        finished.append(time.perf_counter())

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return threads * repeat * len(colours) / (max(finished) - min(began))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few rounds, for a quick look")
    parser.add_argument("--rounds", type=int, help="rounds to run (default 15, 3 with --quick)")
    parser.add_argument("--threads", type=int, default=2, help="threads of the parallel runs")
    parser.add_argument("--seed", type=int, default=1, help="seed of the shuffled order")
    arguments = parser.parse_args()
    rounds = arguments.rounds or (3 if arguments.quick else 15)
    repeat = 2 if arguments.quick else 10

    colours = colour_mix(pure_python.is_skin)
    rng = random.Random(arguments.seed)
    runs = [(name, threads) for name in CONTENDERS for threads in (1, arguments.threads)]
    rates = {run: [] for run in runs}
    for _ in range(rounds):
        rng.shuffle(runs)
        for name, threads in runs:
            function, make_inputs = CONTENDERS[name]
            rates[name, threads].append(
                calls_per_second(function, make_inputs, colours, threads, repeat))

    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = "GIL on" if not free or getattr(sys, "_is_gil_enabled", lambda: True)() else "GIL off"
    print(f"tonesift threads benchmark, {time.strftime('%Y-%m-%d')}, CPython "
          f"{platform.python_version()}{'t' if free else ''} ({gil}), {platform.machine()}, "
          f"{rounds} rounds\n")
    n = arguments.threads
    print(f"{'contender':40} {'1 thread Mcalls/s':>18} {f'{n} threads Mcalls/s':>19} {'ratio':>6}")
    for name in CONTENDERS:
        one = statistics.median(rates[name, 1]) / 1e6
        many = statistics.median(rates[name, n]) / 1e6
        # The ratio of the two runs of one round, which ran close together, is steadier than the
        # ratio of the medians on a machine whose speed drifts.
        ratio = statistics.median(m / o for m, o in zip(rates[name, n], rates[name, 1]))
        print(f"{name:40} {one:18.2f} {many:19.2f} {ratio:6.2f}")


if __name__ == "__main__":
    main()
