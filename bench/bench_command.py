"""The tonesift-regions command end to end, decoding included, each run in a fresh process.

    python3.8 bench/bench_command.py [--quick]

1. A ~40 Mpixel JPEG made from the real sample photographs: wall time and peak memory (RSS) of
   the default engine against its floor, a process that only decodes the file with Pillow (and,
   on a second row, one that decodes it and converts it to a numpy array, as a user's own script
   would); fresh processes taking turns, medians. The per-pixel reference engine runs on a
   ~2 Mpixel one (its time per pixel is what it would take on the large one).
2. One 512 x 512 PNG: the command against a process that imports numpy and Pillow and decodes
   it, which is what any script that analyses it must do first.
3. A folder of ordinary ~12 Mpixel JPEGs: one process against a pool of 2 (`--jobs`).
4. Crafted and broken files: each must fail with one line, quickly and in little memory.

The package runs from its compiled bytecode, as an installed one does (pip compiles it): the
first run writes it. The pictures are made once, into build/bench-command/. --quick uses
smaller ones and fewer rounds.
"""
import argparse
import os
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np
from PIL import Image

import results
from bench_image import PHOTOS, ROOT

CACHE = ROOT / "build" / "bench-command"


def photo_like(width, height, seed):
    """A JPEG-worthy picture of the given size: real photographs scaled up, with sensor-like
    noise so that it holds as much detail per pixel as an ordinary photo."""
    rng = np.random.default_rng(seed)
    sources = [path for path in PHOTOS if path.exists()]
    with Image.open(sources[seed % len(sources)]) as source:
        picture = source.convert("RGB").resize((width, height), Image.BICUBIC)
    levels = np.asarray(picture)
    out = np.empty_like(levels)
    rows = max(1, (1 << 22) // width)
    for top in range(0, height, rows):
        part = levels[top:top + rows].astype(np.int16)
        part += rng.integers(-8, 9, part.shape, dtype=np.int16)
        out[top:top + rows] = np.clip(part, 0, 255)
    return Image.fromarray(out)


def picture(name, width, height, seed=0):
    """A photo-like JPEG, made once; in a process of its own, so that this one stays small."""
    path = CACHE / name
    if not path.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, "-c", "import sys\nfrom bench_command import photo_like\n"
                        "photo_like(*map(int, sys.argv[2:5])).save(sys.argv[1], quality=90)",
                        str(path), str(width), str(height), str(seed)],
                       check=True, cwd=Path(__file__).parent)
    return path


def environment():
    """This process's environment, with bytecode written and read as an installed package's."""
    return {name: value for name, value in os.environ.items()
            if name != "PYTHONDONTWRITEBYTECODE"}


# The command as its console script runs it, then its peak RSS in kB on stderr's last line.
COMMAND = ("import atexit, sys\nfrom tonesift_image.command import console_main\n"
           f"atexit.register(lambda: print({results.PEAK_KB}, file=sys.stderr))\n"
           "console_main()")


def run(*args):
    """Runs the command in a fresh process: (exit status, seconds, peak RSS in MB, stderr)."""
    started = time.perf_counter()
    process = subprocess.run([sys.executable, "-c", COMMAND, "--quiet", *map(str, args)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=environment())
    seconds = time.perf_counter() - started
    *stderr, peak = process.stderr.decode().splitlines(keepends=True)
    return process.returncode, seconds, int(peak) / 1024, "".join(stderr)


# Floors: what a process that only decodes takes, and what a script must do before it analyses.
DECODE_ALONE = """import sys
from PIL import Image
Image.open(sys.argv[1]).load()
"""
DECODE_AND_CONVERT = """import sys
import numpy as np
from PIL import Image
with Image.open(sys.argv[1]) as image:
    np.asarray(image.convert("RGB"))
"""
IMPORT_AND_DECODE = """import sys
import numpy as np
from PIL import Image
Image.open(sys.argv[1]).load()
"""


def script(code, path):
    """Seconds that a fresh process takes to run `code` on `path`."""
    started = time.perf_counter()
    subprocess.run([sys.executable, "-c", code, str(path)], check=True, env=environment())
    return time.perf_counter() - started


def taking_turns(path, floors, rounds):
    """Medians over `rounds` of the command and of each floor script, run in turn, so that the
    machine's moods fall on all alike; and the command's peak RSS (the least over the rounds:
    the memory the run needs, not what the machine's moods added)."""
    times = {name: [] for name in ["command", *floors]}
    peak = float("inf")
    for _ in range(rounds):
        status, seconds, rss, stderr = run(path)
        assert status == 0, stderr
        times["command"].append(seconds)
        peak = min(peak, rss)
        for name, code in floors.items():
            times[name].append(script(code, path))
    return {name: statistics.median(values) for name, values in times.items()}, peak


def median_run(args, rounds):
    """The command's median seconds over `rounds` runs, and its highest peak RSS."""
    runs = [run(*args) for _ in range(rounds)]
    assert all(result[0] == 0 for result in runs), runs[0][3]
    return statistics.median(r[1] for r in runs), max(r[2] for r in runs)


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def crafted_files(large):
    """Files that lie: each claims far more than it holds, or is cut short."""
    folder = CACHE / "crafted"
    folder.mkdir(parents=True, exist_ok=True)
    files = {}

    def png(name, width, height):
        header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
        files[name] = folder / name
        files[name].write_bytes(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
                                + png_chunk(b"IDAT", zlib.compress(b"\0" * 64))
                                + png_chunk(b"IEND", b""))

    png("bomb.png", 100_000, 100_000)          # past the pixel limit: refused unread
    png("lying.png", 15_000, 15_000)           # 225 Mpixel within the limit, no data
    gif = folder / "bomb.gif"                  # a logical screen of 65535 x 65535
    gif.write_bytes(b"GIF89a" + struct.pack("<HH", 65535, 65535) + b"\0\0\0" + b";")
    files["bomb.gif"] = gif
    data = large.read_bytes()
    files["cut.jpg"] = folder / "cut.jpg"      # the large JPEG, cut after its first tenth
    files["cut.jpg"].write_bytes(data[:len(data) // 10])
    pillow_tests = CACHE / "pillow-tests"     # Pillow's own crafted files, when its sdist is here
    for path in sorted(pillow_tests.glob("*")):
        files[path.name] = path
    return files


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller pictures, one round")
    options = parser.parse_args()
    rounds = 1 if options.quick else 5
    size, per_pixel_size, photo_size, count = (
        ((2400, 1800), (600, 450), (1200, 900), 12) if options.quick else
        ((7300, 5480), (1600, 1200), (4000, 3000), 100))
    print(f"tonesift-regions end to end, {sys.executable}, {os.cpu_count()} cores")

    large = picture(f"large-{size[0]}x{size[1]}.jpg", *size)
    run(large)  # writes the package's bytecode
    megapixels = size[0] * size[1] / 1e6
    times, peak = taking_turns(large, {"decode alone": DECODE_ALONE,
                                       "decode and convert": DECODE_AND_CONVERT}, rounds)
    floor = times["decode alone"]
    png = CACHE / "one-512x512.png"
    if not png.exists():
        photo_like(512, 512, 1).save(png)
    png_times, png_peak = taking_turns(png, {"import and decode": IMPORT_AND_DECODE},
                                       rounds * 3)
    print(f"\n{megapixels:.1f} Mpixel JPEG, fresh processes taking turns, medians of {rounds}:")
    command = times["command"]
    print(f"  the command (default engine)      {command:.3f} s  {command / floor:.2f}x  "
          f"peak RSS {peak:.0f} MB (target <= 1.2x, 300 MB)")
    print(f"  Pillow decoding it alone (floor)  {floor:.3f} s  1.00x")
    print(f"  decoding and converting to numpy  {times['decode and convert']:.3f} s  "
          f"{times['decode and convert'] / floor:.2f}x")
    png_floor = png_times["import and decode"]
    print(f"One 512 x 512 PNG, medians of {rounds * 3}: the command {png_times['command']:.3f} s,"
          f" importing numpy and Pillow and decoding it {png_floor:.3f} s: "
          f"{png_times['command'] / png_floor:.2f}x (target <= 1.3)")
    per_megapixel = (peak - png_peak) / (megapixels - 0.262144)
    print(f"Peak memory beyond a small picture's ({png_peak:.0f} MB): {per_megapixel:.1f} MB per "
          f"Mpixel (the decoded picture takes 4.0)")
    small = picture(f"small-{per_pixel_size[0]}x{per_pixel_size[1]}.jpg", *per_pixel_size)
    small_mp = per_pixel_size[0] * per_pixel_size[1] / 1e6
    base, _ = median_run([small], rounds)
    slow, slow_peak = median_run([small, "--per-pixel"], 1)
    print(f"{small_mp:.1f} Mpixel JPEG: default {base:.2f} s, per-pixel {slow:.2f} s "
          f"(peak RSS {slow_peak:.0f} MB): {slow / base:.0f}x; per-pixel at "
          f"{megapixels:.1f} Mpixel would take about {slow / small_mp * megapixels:.0f} s")

    folder = CACHE / f"photos-{count}-{photo_size[0]}x{photo_size[1]}"
    if not folder.exists():
        made = [picture(f"photo-{photo_size[0]}x{photo_size[1]}-{seed}.jpg", *photo_size, seed)
                for seed in range(4)]
        partial = folder.with_suffix(".partial")
        shutil.rmtree(partial, ignore_errors=True)
        partial.mkdir()
        for i in range(count):
            shutil.copyfile(made[i % len(made)], partial / f"{i:03}.jpg")
        partial.rename(folder)
    photos = sorted(folder.glob("*.jpg"))
    one, _ = median_run([*photos, "--jobs", "1"], rounds)
    two, _ = median_run([*photos, "--jobs", "2"], rounds)
    print(f"\n{count} photos of {photo_size[0] * photo_size[1] / 1e6:.0f} Mpixel: one process "
          f"{one:.2f} s ({count / one:.1f} photos/s), 2 processes {two:.2f} s "
          f"({count / two:.1f} photos/s): {one / two:.2f}x")
    results.record("command", {
        "megapixels": megapixels, "command": command, "decode_alone": floor,
        "decode_and_convert": times["decode and convert"], "peak_mb": peak,
        "png_command": png_times["command"], "png_import_and_decode": png_floor,
        "photos": count, "photo_megapixels": photo_size[0] * photo_size[1] / 1e6,
        "one_process": one, "two_processes": two}, options.quick)

    print("\ncrafted or broken input      exit   seconds   peak RSS   message")
    worst_seconds = worst_peak = 0.0
    for name, path in crafted_files(large).items():
        status, seconds, peak, stderr = run(path)
        assert status != 0 and stderr.count("\n") == 1 and "Traceback" not in stderr, stderr
        worst_seconds, worst_peak = max(worst_seconds, seconds), max(worst_peak, peak)
        message = stderr.strip().split(": ", 2)[-1]
        print(f"  {name[:26]:<26} {status:>5} {seconds:>9.2f} {peak:>7.0f} MB   {message[:60]}")
    print(f"  worst: {worst_seconds:.2f} s, {worst_peak:.0f} MB")
    print(f"\n(this process: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MB)")


if __name__ == "__main__":
    main()
