"""tonesift against the interpreter's floor and the pure-Python peers, in one process.

    python3.8 bench/bench_tonesift.py [--quick] [--rounds N] [--path PATH ...] [--instructions]

Every contender runs once per round, in a freshly shuffled order, over the same inputs; a path's
empty loop runs in the same rounds and is subtracted. Reported: the median ns per operation over
the rounds, its spread (the interquartile range), and the ratio to the path's floor.

--instructions counts instead of timing, which the machine's noise cannot move: each path's
tonesift, floor and empty loop run under valgrind's callgrind in processes of their own, once
with one pass over the inputs and once with three, and the difference over 2 x 10,000
operations is the instructions one operation takes (start-up and the first pass cancel out).
"""
import argparse
import itertools
import os
import platform
import random
import re
import subprocess
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tonesift  # noqa: E402
import tonesift_floor  # noqa: E402
from colour_mix import colour_mix, fractional_mix  # noqa: E402
import pure_python  # noqa: E402
import results  # noqa: E402

OPERATIONS = 10_000


class Contender:
    def __init__(self, path, name, statement, role="", namespace=None):
        self.path, self.name, self.role = path, name, role
        loop = "for r, g, b in inputs:" if path.startswith("classify") else "for _ in inputs:"
        source = f"def run(inputs):\n    {loop}\n        {statement}\n"
        scope = dict(namespace or {})
        exec(source, scope)
        self.run = scope["run"]
        self.repeat = 1
        self.samples = []

    def calibrate(self, inputs, seconds):
        """Repeats the loop often enough for one sample to last about `seconds`."""
        started = time.perf_counter()
        self.run(inputs)
        once = time.perf_counter() - started
        self.repeat = max(1, round(seconds / max(once, 1e-9)))

    def sample(self, inputs):
        """ns per operation of one sample."""
        run, repeat = self.run, self.repeat
        started = time.perf_counter_ns()
        for _ in itertools.repeat(None, repeat):
            run(inputs)
        self.samples.append((time.perf_counter_ns() - started) / (repeat * len(inputs)))


def contenders(colours):
    floats = [tuple(float(c) for c in colour) for colour in colours]
    fractions = fractional_mix(colours)
    classify = {"tonesift": tonesift.tonesift, "always_true": tonesift_floor.always_true,
                "to_doubles": tonesift_floor.to_doubles, "python": pure_python.is_skin}
    records = {"Skin": tonesift.Skin, "AllocatingRecord": tonesift_floor.AllocatingRecord,
               "ParsingRecord": tonesift_floor.ParsingRecord, "SkinTuple": pure_python.SkinTuple,
               "SkinSlots": pure_python.SkinSlots, "SkinData": pure_python.SkinData}
    instances = {
        "skin": tonesift.Skin(1, 1, 0, 10, 20, 0),
        "floor": tonesift_floor.AllocatingRecord(),
        "tuple": pure_python.SkinTuple(1, 1, 0, 10, 20, 0),
        "slots": pure_python.SkinSlots(1, 1, 0, 10, 20, 0),
        "data": pure_python.SkinData(1, 1, 0, 10, 20, 0),
    }
    six = "(1, 1, 0, 10, 20, 0)"
    table = []
    for path, inputs in (("classify int", colours), ("classify float", floats),
                         ("classify fraction", fractions)):
        table += [
            (Contender(path, "empty loop", "pass", "empty"), inputs),
            (Contender(path, "tonesift", "tonesift(r, g, b)", "subject", classify), inputs),
            (Contender(path, "floor: returns True", "always_true(r, g, b)", "", classify), inputs),
            (Contender(path, "floor: converts to double", "to_doubles(r, g, b)", "floor", classify),
             inputs),
            (Contender(path, "plain Python rules", "python(r, g, b)", "peer", classify), inputs),
        ]
    steps = range(OPERATIONS)
    table += [
        (Contender("construct", "empty loop", "pass", "empty"), steps),
        (Contender("construct", "Skin(...)", f"Skin{six}", "subject", records), steps),
        (Contender("construct", "floor: allocates only", f"AllocatingRecord{six}", "", records),
         steps),
        (Contender("construct", "floor: parses six ints", f"ParsingRecord{six}", "floor", records),
         steps),
        (Contender("construct", "namedtuple", f"SkinTuple{six}", "peer", records), steps),
        (Contender("construct", "__slots__ class", f"SkinSlots{six}", "", records), steps),
        (Contender("construct", "@dataclass", f"SkinData{six}", "", records), steps),
    ]
    for path, statement in (("get", "{}.x"), ("set", "{}.x = 5")):
        table += [
            (Contender(path, "empty loop", "pass", "empty"), steps),
            (Contender(path, "Skin", statement.format("skin"), "subject", instances), steps),
            (Contender(path, "floor type", statement.format("floor"), "floor", instances), steps),
            (Contender(path, "__slots__ class", statement.format("slots"), "peer", instances), steps),
            (Contender(path, "@dataclass", statement.format("data"), "", instances), steps),
        ]
        if path == "get":
            table.append((Contender(path, "namedtuple", "tuple.x", "", instances), steps))
    table += [
        (Contender("_replace", "empty loop", "pass", "empty"), steps),
        (Contender("_replace", "Skin._replace(7)", "skin._replace(7)", "subject", instances), steps),
        (Contender("_replace", "floor: method sets a field", "floor.set_region(7)", "floor",
                   instances), steps),
        (Contender("_replace", "namedtuple._replace", "tuple._replace(region=7)", "peer",
                   instances), steps),
    ]
    return table


def check_verdicts(colours):
    floats = [tuple(float(c) for c in colour) for colour in colours]
    for colour in colours + floats + fractional_mix(colours):
        if tonesift.tonesift(*colour) is not bool(pure_python.is_skin(*colour)):
            sys.exit(f"bench: tonesift and the plain Python rules disagree on {colour}; "
                     "refusing to report")


def measure(table, rounds, seed):
    rng = random.Random(seed)
    order = list(table)
    for _ in range(rounds):
        rng.shuffle(order)
        for contender, inputs in order:
            contender.sample(inputs)


def summarise(table):
    by_path = {}
    for contender, _ in table:
        by_path.setdefault(contender.path, []).append(contender)
    results = {}
    for path, members in by_path.items():
        empty = next(c for c in members if c.role == "empty")
        rows = []
        for contender in members:
            if contender is empty:
                continue
            per_round = sorted(t - e for t, e in zip(contender.samples, empty.samples))
            quartiles = statistics.quantiles(per_round, n=4) if len(per_round) > 1 else per_round * 3
            rows.append((contender, statistics.median(per_round), quartiles[2] - quartiles[0]))
        results[path] = rows
    return results


TARGETS = {
    # path: (most times the floor, least times faster than the peer)
    "classify int": (1.0, 40.0),
    "classify float": (1.2, 40.0),
    "classify fraction": (2.0, None),
    "construct": (1.5, 2.0),
    "get": (1.1, None),
    "set": (1.1, None),
    "_replace": (1.2, None),
}


def report(results):
    """Prints the table and the targets; returns each path's tonesift, floor and peer figures."""
    figures = {}
    print(f"{'path':17} {'contender':28} {'ns/op':>8} {'spread':>7} {'x floor':>8}")
    summary = []
    for path, rows in results.items():
        floor = next(median for c, median, _ in rows if c.role == "floor")
        for contender, median, spread in rows:
            print(f"{path:17} {contender.name:28} {median:8.1f} {spread:7.1f} {median / floor:8.2f}")
        subject = next(median for c, median, _ in rows if c.role == "subject")
        peer = next(((c, m) for c, m, _ in rows if c.role == "peer"), None)
        figures[path] = {"tonesift": subject, "floor": floor,
                         "floor name": next(c.name for c, _, _ in rows if c.role == "floor"),
                         **({"peer": peer[1], "peer name": peer[0].name} if peer else {})}
        most_floor, least_peer = TARGETS[path]
        line = f"{path}: tonesift {subject / floor:.2f}x its floor (target <= {most_floor})"
        met = subject / floor <= most_floor
        if peer:
            speedup = peer[1] / subject
            line += f", {speedup:.1f}x faster than {peer[0].name}"
            if least_peer:
                line += f" (target >= {least_peer})"
                met = met and speedup >= least_peer
        summary.append(f"{line}: {'met' if met else 'NOT MET'}")
        print()
    print("\n".join(summary))
    return figures


def run_contender(path, name, passes, colours_file):
    """Runs one contender's loop over its inputs `passes` times, after one pass to warm up, with
    the cycle collector off: a collection's instructions would land in one count only."""
    import gc
    import json
    with open(colours_file) as file:
        colours = [tuple(colour) for colour in json.load(file)]
    gc.disable()
    for contender, inputs in contenders(colours):
        if (contender.path, contender.name) == (path, name):
            for _ in range(passes + 1):
                contender.run(inputs)
            return
    sys.exit(f"bench: no contender {name!r} on path {path!r}")


def instructions(path, name, passes, colours_file):
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
               __file__, "--run", path, name, str(passes), colours_file]
    # A fixed hash seed: the same dictionaries, so the same instructions, in every run.
    result = subprocess.run(command, capture_output=True, text=True, check=True,
                            env=dict(os.environ, PYTHONHASHSEED="0"))
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def count_instructions(paths):
    """Instructions per operation of each path's tonesift and floor, the empty loop's taken off."""
    import json
    import tempfile
    colours = colour_mix(pure_python.is_skin)
    table = [(contender.path, contender.name, contender.role)
             for contender, _ in contenders(colours)
             if contender.role in ("empty", "subject", "floor") and contender.path in paths]
    counts = {}
    with tempfile.NamedTemporaryFile("w", suffix=".json") as colours_file:
        json.dump(colours, colours_file)
        colours_file.flush()
        for path, name, role in table:
            counts[path, role] = (instructions(path, name, 3, colours_file.name) -
                                  instructions(path, name, 1, colours_file.name)) / (2 * OPERATIONS)
    print(f"tonesift benchmark, {time.strftime('%Y-%m-%d')}, CPython {platform.python_version()}, "
          f"instructions per operation under callgrind (empty loop taken off)\n")
    print(f"{'path':17} {'tonesift':>9} {'floor':>9} {'x floor':>8}")
    figures = {}
    for path in paths:
        subject = counts[path, "subject"] - counts[path, "empty"]
        floor = counts[path, "floor"] - counts[path, "empty"]
        figures[path] = {"tonesift": subject, "floor": floor}
        print(f"{path:17} {subject:9.1f} {floor:9.1f} {subject / floor:8.3f}")
    return figures


def main():
    if sys.argv[1:2] == ["--run"]:
        run_contender(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few rounds, for a quick look")
    parser.add_argument("--rounds", type=int, help="rounds to run (default 30, 7 with --quick)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the shuffled order")
    parser.add_argument("--path", action="append", choices=list(TARGETS),
                        help="measure only this path (repeatable; default: all)")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions under callgrind instead of timing")
    arguments = parser.parse_args()
    if arguments.instructions:
        count_instructions(arguments.path or list(TARGETS))
        return
    rounds = arguments.rounds or (7 if arguments.quick else 30)

    colours = colour_mix(pure_python.is_skin)
    check_verdicts(colours)
    table = [(contender, inputs) for contender, inputs in contenders(colours)
             if not arguments.path or contender.path in arguments.path]
    for contender, inputs in table:  # also warms up every path
        contender.calibrate(inputs, 0.001 if arguments.quick else 0.003)
    measure(table, rounds, arguments.seed)
    print(f"tonesift benchmark, {time.strftime('%Y-%m-%d')}, CPython {platform.python_version()}, "
          f"{platform.machine()}, {rounds} rounds of {OPERATIONS} operations\n")
    figures = report(summarise(table))
    if not arguments.path:
        results.record("calls", {"python": platform.python_version(), "paths": figures},
                       arguments.quick)


if __name__ == "__main__":
    main()
