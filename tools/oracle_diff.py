"""Compares tonesift() with the rules written in plain Python floats, which round every operation
on its own, over many colours of doubles: a grid of whole colours and random colours in and
around the levels' range, with zeros, infinities and NaN among them. Prints the counts and
exits 1 on any mismatch, listing the first few.

    python tools/oracle_diff.py [--step N] [--random N] [--seed N]

It proves an interpreter's or a machine's build (an aarch64 wheel under qemu, for one) exact
where the test suite's sample is too small to.
"""
import argparse
import math
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import pure_python  # noqa: E402

from tonesift import tonesift  # noqa: E402

SPECIALS = (0.0, -0.0, 1e-300, 1e300, math.inf, -math.inf, math.nan, 95.0, 96.0, 255.0)


def outcome(rule, colour):
    try:
        return bool(rule(*colour))
    except ZeroDivisionError:
        return ZeroDivisionError


def colours(step, count, seed):
    levels = [float(level) for level in range(0, 256, step)]
    yield from ((r, g, b) for r in levels for g in levels for b in levels)
    rng = random.Random(seed)
    for _ in range(count):
        yield tuple(rng.uniform(-20, 280) for _ in range(3))
    for _ in range(count // 10):
        yield tuple(rng.choice(SPECIALS) for _ in range(3))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--step", type=int, default=4, help="the grid's step in levels")
    parser.add_argument("--random", type=int, default=200_000, help="random colours")
    parser.add_argument("--seed", type=int, default=1)
    arguments = parser.parse_args()
    compared, mismatches = 0, []
    for colour in colours(arguments.step, arguments.random, arguments.seed):
        compared += 1
        if outcome(tonesift, colour) != outcome(pure_python.is_skin, colour):
            mismatches.append(colour)
    print(f"oracle diff: {compared:,} colours of doubles, {len(mismatches):,} mismatches")
    for colour in mismatches[:10]:
        print(f"  {colour}: tonesift {outcome(tonesift, colour)}, "
              f"plain floats {outcome(pure_python.is_skin, colour)}")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
