"""The example program: reading images, grouping skin regions, and its command line."""
import importlib.util
import json
import struct
import sys
import zlib
from pathlib import Path

import pytest

from conftest import run_python

PIL = pytest.importorskip("PIL.Image")
Image = PIL

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "find_skin_regions.py"
spec = importlib.util.spec_from_file_location("find_skin_regions", EXAMPLE)
regions = importlib.util.module_from_spec(spec)
spec.loader.exec_module(regions)

import tonesift  # noqa: E402  (after the example, which imports it the same way)

PALETTE = [(200, 150, 120), (0, 0, 0), (255, 255, 255), (96, 75, 21), (35, 140, 220), (12, 0, 0)]


def strip(colours, width=3):
    image = Image.new("RGB", (width, (len(colours) + width - 1) // width))
    image.putdata(colours)
    return image


def run(*args):
    return run_python(f"import sys, runpy; sys.argv = ['find_skin_regions', *{list(map(str, args))!r}];"
                      f"runpy.run_path({str(EXAMPLE)!r}, run_name='__main__')", check=False)


# --- Reading -------------------------------------------------------------------------------------

def grey(image):
    return [(v, v, v) for v in image.getdata()]


@pytest.mark.parametrize("mode, suffix", [
    ("RGB", ".png"), ("RGB", ".ppm"), ("RGBA", ".png"), ("P", ".png"), ("L", ".png"),
    ("LA", ".png"), ("1", ".png"), ("L", ".pgm"),
])
def test_every_colour_type_reaches_the_classifier_as_rgb(tmp_path, mode, suffix):
    source = strip(PALETTE)
    expected = PALETTE
    if mode == "RGBA":
        source = source.convert("RGBA")
        source.putalpha(Image.linear_gradient("L").resize(source.size))  # alpha is dropped
    elif mode == "P":
        source = source.convert("P", palette=Image.ADAPTIVE, colors=len(PALETTE))
    elif mode in ("L", "LA", "1"):
        source = source.convert(mode)
        expected = grey(source.getchannel(0))
    path = tmp_path / f"image{suffix}"
    source.save(path)
    image = regions.open_rgb(path, 1000)
    assert image.mode == "RGB" and list(image.getdata()) == expected
    records = regions.classify_pixels(image, lambda rows: None)
    assert [record.skin for record in records] == [int(tonesift.tonesift(*c)) for c in expected]
    assert [(record.id, record.x, record.y) for record in records] == [
        (i, i % 3, i // 3) for i in range(len(expected))]


def test_sixteen_bit_grey_is_scaled_not_clipped(tmp_path):
    grey = Image.new("I;16", (3, 1))
    for x, value in enumerate((65535, 32768, 200)):
        grey.putpixel((x, 0), value)
    grey.save(tmp_path / "grey16.png")
    image = regions.open_rgb(tmp_path / "grey16.png", 10)
    assert [pixel[0] for pixel in image.getdata()] == [255, 128, 0]


def test_jpeg_of_a_flat_colour(tmp_path):
    Image.new("RGB", (16, 16), (200, 150, 120)).save(tmp_path / "flat.jpg", quality=95)
    pixels = set(regions.open_rgb(tmp_path / "flat.jpg", 1000).getdata())
    assert all(max(abs(a - b) for a, b in zip(p, (200, 150, 120))) <= 3 for p in pixels)


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def huge_png(path):
    header = struct.pack(">IIBBBBB", 100000, 100000, 8, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
                     + png_chunk(b"IDAT", zlib.compress(b"\0" * 64)) + png_chunk(b"IEND", b""))


def bad_inputs(tmp_path):
    good = tmp_path / "good.png"
    strip(PALETTE * 50, width=30).save(good)
    data = good.read_bytes()
    (tmp_path / "truncated.png").write_bytes(data[: len(data) // 2])
    corrupt = bytearray(data)
    corrupt[len(data) // 2: len(data) // 2 + 16] = b"\xff" * 16
    (tmp_path / "corrupt.png").write_bytes(bytes(corrupt))
    (tmp_path / "text.png").write_text("not a picture at all")
    huge_png(tmp_path / "huge.png")
    return good


@pytest.mark.parametrize("name, message", [
    ("missing.png", "no such file"),
    ("truncated.png", "corrupt or truncated image"),
    ("corrupt.png", "corrupt or truncated image"),
    ("text.png", "not an image Pillow can read"),
    ("huge.png", "image too large: 100000 x 100000 pixels"),
    (".", "is a directory"),
])
def test_bad_input_is_one_line_and_exit_1(tmp_path, name, message):
    bad_inputs(tmp_path)
    result = run(tmp_path / name)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert "Traceback" not in result.stderr


def test_one_bad_image_among_good_ones(tmp_path):
    good = bad_inputs(tmp_path)
    result = run(good, tmp_path / "text.png", good, "--json")
    assert result.returncode == 1
    assert [report["path"] for report in json.loads(result.stdout)["images"]] == [str(good)] * 2


@pytest.mark.parametrize("args, message", [
    (["--mask", "{input}"], "output would overwrite the input image"),
    (["--overlay", "{input}"], "output would overwrite the input image"),
    (["{input}", "--mask", "mask.png"], "put {name} in the output name"),
    (["--mask", "{tmp}/no/such/folder/mask.png"], "cannot write picture"),
])
def test_refused_outputs(tmp_path, args, message):
    good = bad_inputs(tmp_path)
    args = [a.format(input=good, tmp=tmp_path, name="{name}") for a in args]
    result = run(good, *args)
    assert result.returncode == 1 and message in result.stderr and "Traceback" not in result.stderr
    assert good.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("args", [["--min-pixels", "0"], ["--top", "x"], ["--unknown"]])
def test_usage_errors_exit_2(args):
    assert run(*args).returncode == 2


# --- Grouping -----------------------------------------------------------------------------------

def records_from(mask):
    rows = mask.split()
    width = len(rows[0])
    return [tonesift.Skin(y * width + x, int(ch != "."), 0, x, y, 0)
            for y, row in enumerate(rows) for x, ch in enumerate(row)], width, len(rows)


@pytest.mark.parametrize("mask, labels", [
    # Diagonal neighbours join.
    ("#.. .#. ..#", "1.. .1. ..1"),
    # Separate blobs stay apart; numbers follow the first pixel in reading order.
    ("..## #... #.##", "..11 2... 2.33"),
    # A ring is one region, the hole is not skin.
    ("### #.# ###", "111 1.1 111"),
    # A U shape whose arms meet only at the bottom is found from its first pixel.
    ("#.# #.# ###", "1.1 1.1 111"),
    ("... ...", "... ..."),
])
def test_grouping_on_synthetic_masks(mask, labels):
    records, width, height = records_from(mask)
    found = regions.group_regions(records, width, height)
    expected = "".join(labels.split())
    assert "".join(str(r.region) if r.skin else "." for r in records) == expected
    assert all(r.checked == r.skin for r in records)
    assert [region.number for region in found] == list(range(1, len(found) + 1))
    assert [region.pixels for region in found] == [expected.count(str(n)) for n in
                                                   range(1, len(found) + 1)]


def test_grouping_a_large_region_needs_no_recursion():
    records, width, height = records_from(" ".join(["#" * 400] * 400))
    (region,) = regions.group_regions(records, width, height)
    assert (region.pixels, region.left, region.top, region.right, region.bottom) == (
        160000, 0, 0, 399, 399)


# --- End to end on the sample ----------------------------------------------------------------

def independent_regions(skin, width, height):
    """Region sizes by union-find over the skin mask."""
    parent = list(range(len(skin)))

    def root(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for i, is_skin in enumerate(skin):
        if not is_skin:
            continue
        x, y = i % width, i // width
        for dx, dy in ((1, 0), (-1, 1), (0, 1), (1, 1)):
            nx, ny = x + dx, y + dy
            if 0 <= nx < width and ny < height and skin[ny * width + nx]:
                parent[root(i)] = root(ny * width + nx)
    sizes = {}
    for i, is_skin in enumerate(skin):
        if is_skin:
            sizes[root(i)] = sizes.get(root(i), 0) + 1
    return sorted(sizes.values(), reverse=True)


def test_sample_end_to_end(tmp_path):
    result = run("--json", "--top", "5", "--mask", tmp_path / "mask.png",
                 "--overlay", tmp_path / "overlay.png")
    assert result.returncode == 0, result.stderr
    (report,) = json.loads(result.stdout)["images"]
    photo = Image.open(regions.SAMPLE).convert("RGB")
    skin = [tonesift.tonesift(*pixel) for pixel in photo.getdata()]
    sizes = independent_regions(skin, photo.width, photo.height)
    assert (report["width"], report["height"]) == photo.size
    assert report["skin_pixels"] == sum(skin)
    assert report["regions"] == len(sizes)
    assert [entry["pixels"] for entry in report["largest_regions"]] == sizes[:5]

    mask = Image.open(tmp_path / "mask.png")
    assert list(mask.getdata()) == [255 if s else 0 for s in skin]
    overlay = Image.open(tmp_path / "overlay.png").convert("RGB")
    changed = [a != b for a, b in zip(overlay.getdata(), photo.getdata())]
    assert not any(c and not s for c, s in zip(changed, skin))


def test_text_report_and_min_pixels():
    result = run("--min-pixels", "1000", "--quiet")
    assert result.returncode == 0 and result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0] == "examples/data/astronaut.png (built-in sample)" and "largest regions (at least 1000 pixels):" in lines[5]
    listed = [int(line.split()[1]) for line in lines[7:]]
    assert listed == sorted(listed, reverse=True) and min(listed) >= 1000


def test_several_images_each_get_a_report(tmp_path):
    strip(PALETTE).save(tmp_path / "a.png")
    strip(PALETTE[::-1]).save(tmp_path / "b.png")
    result = run(tmp_path / "a.png", tmp_path / "b.png", "--mask", tmp_path / "{name}-mask.png")
    assert result.returncode == 0
    assert result.stdout.count("skin pixels") == 2
    assert (tmp_path / "a-mask.png").exists() and (tmp_path / "b-mask.png").exists()


def test_no_progress_bar_without_a_terminal():
    assert run("--timings").stderr.startswith(str(regions.SAMPLE) + ": decode ")


class Terminal:
    """A stderr that claims to be a terminal and keeps what is written."""

    def __init__(self):
        self.text = ""

    def isatty(self):
        return True

    def write(self, text):
        self.text += text

    def flush(self):
        pass


@pytest.mark.parametrize("quiet, shown", [(False, True), (True, False)])
def test_progress_bar_on_a_terminal_unless_quiet(monkeypatch, capsys, quiet, shown):
    terminal = Terminal()
    monkeypatch.setattr(regions, "PROGRESS_DELAY_SECONDS", 0)
    monkeypatch.setattr(sys, "stderr", terminal)
    assert regions.main(["--quiet"] if quiet else []) == 0
    assert ("astronaut.png:   0%|" in terminal.text) is shown
    assert "skin pixels" in capsys.readouterr().out
