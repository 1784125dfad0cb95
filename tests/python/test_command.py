"""tonesift-regions: reading images as a viewer shows them, both engines, outputs, scripting."""
import json
import os
import re
import struct
import subprocess
import sys
import threading
import warnings
import zlib
from pathlib import Path

import numpy as np
import pytest

import tonesift

from conftest import PHOTOS, ROOT, reference_mask

Image = pytest.importorskip("PIL.Image")
ImageOps = pytest.importorskip("PIL.ImageOps")
jsonschema = pytest.importorskip("jsonschema")

from tonesift_image import _analysis, _errors, _progress, _reading, command  # noqa: E402

# The Python code alone, the same on every version: CI runs it on the oldest and the newest.
pytestmark = pytest.mark.pure_python

SCHEMA = json.loads((ROOT / "docs" / "tonesift-regions.schema.json").read_text())
PALETTE = [(200, 150, 120), (0, 0, 0), (255, 255, 255), (96, 75, 21), (35, 140, 220), (12, 0, 0)]
SKIN = (200, 150, 120)


def run(*args, stdin=None, env=None):
    """The command in a fresh interpreter, as `python -m tonesift_image` runs it."""
    environment = dict(os.environ, PYTHONPATH=str(Path(command.__file__).parents[1]), **(env or {}))
    return subprocess.run([sys.executable, "-m", "tonesift_image", *map(str, args)],
                          input=stdin, capture_output=True, env=environment, timeout=300)


def document(result):
    assert result.returncode in (0, 1), result.stderr
    parsed = json.loads(result.stdout)
    jsonschema.validate(parsed, SCHEMA)
    return parsed


def verdicts(levels):
    """tonesift() on every pixel of an (h, w, 3|4) array of levels; alpha 0 is never skin."""
    if levels.shape[2] == 3:
        return reference_mask(levels)
    return reference_mask(levels, "RGBA") & (levels[..., 3] != 0)


def analyse(path, per_pixel, **options):
    options.setdefault("max_pixels", 10**6)
    return _analysis.analyse(path, str(path), per_pixel=per_pixel, keep_pictures=True, **options)


def random_picture(width, height, seed, skin_share=0.5):
    rng = np.random.default_rng(seed)
    levels = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    levels[rng.random((height, width)) < skin_share] = SKIN
    return levels


ENGINES = pytest.mark.parametrize("per_pixel", [False, True], ids=["whole-image", "per-pixel"])
# Pillow 10's WebP reader and animation writer never free their native objects, which the leak
# checker of the sanitizer run reports at exit; there, WebP is exercised in child processes only.
IN_PROCESS_WEBP = pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                                     reason="Pillow's WebP objects leak")


# --- Reading images as a viewer shows them ------------------------------------------------------

def palette_strip(mode):
    source = Image.new("RGB", (3, 2))
    source.putdata(PALETTE)
    if mode == "P":
        return source.convert("P", palette=Image.ADAPTIVE, colors=len(PALETTE))
    return source if mode == "RGB" else source.convert(mode)


@ENGINES
@pytest.mark.parametrize("mode, suffix", [
    ("RGB", ".png"), ("RGB", ".ppm"), ("P", ".png"), ("L", ".png"), ("LA", ".png"),
    ("1", ".png"), ("L", ".pgm"), ("CMYK", ".tif"),
    pytest.param("RGB", ".webp", marks=IN_PROCESS_WEBP),
])
def test_every_colour_type_reaches_the_classifier_as_rgb(tmp_path, per_pixel, mode, suffix):
    path = tmp_path / f"image{suffix}"
    palette_strip(mode).save(path, **({"lossless": True} if suffix == ".webp" else {}))
    with Image.open(path) as image:
        expected = verdicts(np.asarray(image.convert("RGBA" if mode == "LA" else "RGB")))
    assert np.array_equal(analyse(path, per_pixel).mask, expected)


@ENGINES
def test_sixteen_bit_grey_is_scaled_not_clipped(tmp_path, per_pixel):
    grey = Image.new("I;16", (3, 1))
    for x, value in enumerate((65535, 32768, 200)):
        grey.putpixel((x, 0), value)
    grey.save(tmp_path / "grey16.png")
    result = analyse(tmp_path / "grey16.png", per_pixel)
    assert result.rgb[0, :, 0].tolist() == [255, 128, 0]


def transparent_pictures(tmp_path):
    """Skin-coloured pictures whose alpha (or colour key) hides some pixels."""
    rgba = Image.new("RGBA", (4, 1), SKIN + (255,))
    rgba.putpixel((1, 0), SKIN + (0,))
    rgba.putpixel((2, 0), SKIN + (1,))
    rgba.save(tmp_path / "rgba.png")
    palette = Image.new("P", (4, 1), 0)
    palette.putpalette(list(SKIN) * 2)
    palette.putpixel((3, 0), 1)
    palette.save(tmp_path / "palette.png", transparency=1)
    Image.new("RGB", (4, 1), SKIN).save(tmp_path / "keyed.png", transparency=SKIN)
    return {"rgba.png": [1, 0, 1, 1], "palette.png": [1, 1, 1, 0], "keyed.png": [0, 0, 0, 0]}


@ENGINES
def test_a_fully_transparent_pixel_is_never_skin(tmp_path, per_pixel):
    assert not tonesift.tonesift(*_analysis.NEVER_SKIN)  # what hides them when no picture is drawn
    for name, expected in transparent_pictures(tmp_path).items():
        assert analyse(tmp_path / name, per_pixel).mask[0].tolist() == expected, name
        bare = _analysis.analyse(tmp_path / name, name, max_pixels=100, per_pixel=per_pixel)
        assert bare.analysis.skin_pixels == sum(expected), name


@pytest.mark.parametrize("orientation", range(1, 9))
def test_exif_orientation_is_applied_before_anything_else(tmp_path, orientation):
    stored = random_picture(7, 4, seed=orientation)
    exif = Image.Exif()
    exif[_reading.EXIF_ORIENTATION] = orientation
    path = tmp_path / "turned.png"
    Image.fromarray(stored).save(path, exif=exif)
    with Image.open(path) as image:
        upright = np.asarray(ImageOps.exif_transpose(image))
    assert np.array_equal(_reading.upright(stored, orientation), upright)
    for per_pixel in (False, True):
        result = analyse(path, per_pixel)
        assert result.analysis.orientation == orientation
        assert np.array_equal(result.mask, verdicts(upright))
        assert np.array_equal(result.rgb, upright)


LENDS = pytest.mark.skipif(not hasattr(Image.Image, "__arrow_c_array__"),
                           reason="this Pillow cannot lend its pixels")


@LENDS
@pytest.mark.parametrize("mode, suffix, orientation, lends", [
    ("RGB", ".jpg", 6, True), ("RGB", ".png", 1, True), ("L", ".png", 3, True),
    ("L", ".pgm", 1, False),  # mapped from the file: not Pillow's own memory
    ("RGBA", ".png", 1, False), ("P", ".png", 8, False),
])
def test_lent_and_converted_pixels_give_the_same_analysis(tmp_path, monkeypatch, mode, suffix,
                                                          orientation, lends):
    """Pillow's memory read in place, where it can be, is the picture that converting it gives,
    turned upright, and it outlives the closed picture."""
    path = tmp_path / f"picture{suffix}"
    exif = Image.Exif()
    exif[_reading.EXIF_ORIENTATION] = orientation
    Image.fromarray(random_picture(61, 37, seed=5)).convert(mode).save(path, exif=exif)
    with _reading.Opened(path, path.name, 10**6, 1) as opened:
        opened.decode()
        lent = opened.lent_pixels()
        converted = np.asarray(opened.image.convert("RGB"))
    assert (lent is not None) == lends
    if lent is not None:
        assert not lent.flags.writeable and np.array_equal(lent[..., :3], converted)
    results = [analyse(path, False)]
    monkeypatch.setattr(_reading.Opened, "lent_pixels", lambda self: None)
    results.append(analyse(path, False))
    for name in ("skin_pixels", "pixels", "left", "top", "right", "bottom"):
        assert np.array_equal(*(getattr(result.analysis, name) for result in results)), name
    assert np.array_equal(results[0].rgb, results[1].rgb) and results[0].rgb.flags.writeable


@LENDS
def test_a_picture_larger_than_a_block_is_lent_and_the_allocator_restored(tmp_path):
    core = Image.core
    path = tmp_path / "large.png"
    Image.new("RGB", (2100, 2100), SKIN).save(path)  # 17.6 MB decoded: past one 16 MiB block
    before = core.get_use_block_allocator()
    with _reading.Opened(path, path.name, 10**8, 1) as opened:
        opened.decode()
        assert core.get_use_block_allocator() == before
        assert opened.lent_pixels() is not None


@pytest.mark.parametrize("arguments, error", [
    (lambda s, a: (a, s, 2, 3), "incorrect name"),
    (lambda s, a: (s, a, 3, 3), "cannot lend pixels exported as"),
    (lambda s, a: (s, a, -1, 3), "negative"),
], ids=["swapped", "wrong size", "negative"])
@LENDS
def test_lending_refuses_what_it_cannot_read(arguments, error):
    schema, array = Image.new("RGB", (3, 2)).__arrow_c_array__()
    with pytest.raises(ValueError, match=error):
        _reading._native.lend_pixels(*arguments(schema, array))


def frames_file(path, colours):
    frames = [Image.new("RGB", (5, 3), colour) for colour in colours]
    frames[0].save(path, save_all=True, append_images=frames[1:])


@ENGINES
@pytest.mark.parametrize("suffix", [".gif", ".tif", pytest.param(".webp", marks=IN_PROCESS_WEBP),
                                    ".png"])
def test_the_frame_chosen_is_the_frame_judged(tmp_path, per_pixel, suffix):
    path = tmp_path / f"frames{suffix}"
    frames_file(path, [(0, 0, 255), SKIN, (0, 255, 0)])
    for frame, skin in ((1, 0), (2, 15), (3, 0)):
        analysis = analyse(path, per_pixel, frame=frame).analysis
        assert (analysis.frame, analysis.frames, analysis.skin_pixels) == (frame, 3, skin)
    with pytest.raises(_errors.InputError, match="has 3 frames, no frame 4"):
        analyse(path, per_pixel, frame=4)


def test_the_shipped_schema_is_made_from_the_record_fields():
    from tonesift_image import _records
    assert (ROOT / "docs" / "tonesift-regions.schema.json").read_text() == \
        _records.json_schema_text()


def test_the_report_names_the_frame_and_the_orientation(tmp_path):
    frames_file(tmp_path / "frames.gif", [(0, 0, 255), SKIN])
    assert ", frame 2 of 2\n" in run(tmp_path / "frames.gif", "--frame", "2").stdout.decode()
    exif = Image.Exif()
    exif[_reading.EXIF_ORIENTATION] = 6
    Image.new("RGB", (4, 2), SKIN).save(tmp_path / "turned.jpg", exif=exif)
    lines = run(tmp_path / "turned.jpg").stdout.decode().splitlines()
    assert lines[1] == "  image        2 x 4 (8 pixels), turned upright by EXIF orientation 6"


# --- The two engines give one report ---------------------------------------------------------

@pytest.mark.parametrize("photo", PHOTOS + [None],
                         ids=lambda path: path.name if path else "no skin")
def test_both_engines_give_identical_reports_and_pictures(tmp_path, photo):
    if photo is None:  # no region to tint: the overlay is the photo as it is
        photo = tmp_path / "sky.png"
        Image.new("RGB", (40, 30), (35, 140, 220)).save(photo)
    results = {}
    for engine in ("whole", "pixel"):
        result = run(photo, "--json", "--top", "20", "--min-pixels", "3",
                     "--mask", tmp_path / f"{engine}-mask.png",
                     "--overlay", tmp_path / f"{engine}-overlay.png",
                     *(["--per-pixel"] if engine == "pixel" else []))
        results[engine] = document(result)
        del results[engine]["engine"]
        for image in results[engine]["images"]:
            del image["mask"], image["overlay"]
    assert results["whole"] == results["pixel"]
    (report,) = results["whole"]["images"]
    with Image.open(photo) as image:
        levels = np.asarray(image.convert("RGB"))
    assert report["skin_pixels"] == verdicts(levels).sum()
    for picture in ("mask", "overlay"):
        with Image.open(tmp_path / f"whole-{picture}.png") as whole, \
                Image.open(tmp_path / f"pixel-{picture}.png") as pixel:
            assert np.array_equal(np.asarray(whole), np.asarray(pixel)), picture
    with Image.open(tmp_path / "whole-mask.png") as mask:
        assert np.array_equal(np.asarray(mask) == 255, verdicts(levels))
    with Image.open(tmp_path / "whole-overlay.png") as overlay:
        tinted = (np.asarray(overlay) != levels).any(axis=2)
    assert not (tinted & ~verdicts(levels)).any()


# --- Bad input ------------------------------------------------------------------------------------

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_claiming(path, width, height):
    """A PNG whose header claims a size its few bytes of data do not hold."""
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
                     + png_chunk(b"IDAT", zlib.compress(b"\0" * 64)) + png_chunk(b"IEND", b""))


def bad_inputs(tmp_path):
    good = tmp_path / "good.png"
    Image.fromarray(random_picture(30, 10, seed=1)).save(good)
    data = good.read_bytes()
    (tmp_path / "truncated.png").write_bytes(data[: len(data) // 2])
    corrupt = bytearray(data)
    corrupt[len(data) // 2: len(data) // 2 + 16] = b"\xff" * 16
    (tmp_path / "corrupt.png").write_bytes(bytes(corrupt))
    (tmp_path / "text.png").write_text("not a picture at all")
    png_claiming(tmp_path / "bomb.png", 100000, 100000)
    png_claiming(tmp_path / "lying.png", 14000, 14000)
    (tmp_path / "empty").mkdir()
    return good


@pytest.mark.parametrize("name, message", [
    ("missing.png", "no such file"),
    ("truncated.png", "corrupt or truncated image"),
    ("corrupt.png", "corrupt or truncated image"),
    ("text.png", "not an image Pillow can read"),
    ("bomb.png", "image too large: 10000000000 pixels (at most 250000000; "),
    ("lying.png", "corrupt or truncated image"),
    ("empty", "empty: holds no image files Pillow can read"),
])
def test_bad_input_is_one_line_and_exit_1(tmp_path, name, message):
    bad_inputs(tmp_path)
    result = run(tmp_path / name)
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr.decode().count("\n") == 1 and message in result.stderr.decode()


@pytest.mark.parametrize("pixels, refused", [(299, True), (300, False)])
def test_max_pixels_sets_pillows_own_guard(tmp_path, pixels, refused):
    Image.new("RGB", (20, 15), SKIN).save(tmp_path / "300.png")
    result = run(tmp_path / "300.png", "--max-pixels", pixels)
    assert result.returncode == refused
    assert (b"image too large" in result.stderr) is refused


def test_analysing_leaves_pillows_limit_and_warnings_as_they_were(tmp_path):
    bad_inputs(tmp_path)
    limit, filters = Image.MAX_IMAGE_PIXELS, list(warnings.filters)
    for name in ("good.png", "bomb.png", "truncated.png"):
        try:
            analyse(tmp_path / name, per_pixel=False)
        except _errors.InputError:
            pass
        assert (Image.MAX_IMAGE_PIXELS, warnings.filters) == (limit, filters)


def test_every_input_appears_in_the_json_failed_ones_with_their_error(tmp_path):
    good = bad_inputs(tmp_path)
    result = run(good, tmp_path / "text.png", good, "--json", "--jobs", "2")
    assert result.returncode == 1
    images = document(result)["images"]
    assert [(image["input"], image["status"]) for image in images] == [
        (str(good), "ok"), (str(tmp_path / "text.png"), "failed"), (str(good), "ok")]
    # With PyAV, FFmpeg's reason for not reading it as video follows.
    assert images[1]["error"].startswith(f"{tmp_path / 'text.png'}: not an image Pillow can read")
    assert result.stderr.decode() == f"tonesift-regions: {images[1]['error']}\n"


# --- Outputs ------------------------------------------------------------------------------------

@pytest.mark.parametrize("args, message", [
    (["{good}", "--mask", "{good}"], "output would overwrite the input image"),
    (["{good}", "--overlay", "{link}"], "output would overwrite the input image"),
    (["{good}", "{good}", "--mask", "mask.png"], "put {name} in the output name"),
    (["{good}", "--mask", "{tmp}/m.png", "--overlay", "{tmp}/./m.png"],
     "the mask and the overlay would be one file"),
    (["{good}", "{tmp}/sub/good.png", "--mask", "{tmp}/{name}-mask.png"], "written twice"),
    (["{good}", "--mask", "{tmp}/mask.bmp"], "the extension names no picture format"),
    (["{good}", "--mask", "{good}/masks/mask.png"], "not a folder"),
    (["-", "-"], "standard input (-) can be read only once"),
])
def test_refused_outputs_exit_2_before_any_work(tmp_path, args, message):
    good = bad_inputs(tmp_path)
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "good.png").write_bytes(good.read_bytes())
    os.symlink(good, tmp_path / "link.png")
    args = [a.format(good=good, tmp=tmp_path, link=tmp_path / "link.png", name="{name}")
            for a in args]
    before = sorted(tmp_path.rglob("*"))
    result = run(*args)
    assert result.returncode == 2 and result.stdout == b""
    assert result.stderr.decode().count("\n") == 1 and message in result.stderr.decode()
    assert sorted(tmp_path.rglob("*")) == before and good.read_bytes()[:4] == b"\x89PNG"


MAGIC = {"PNG": rb"\x89PNG\r\n\x1a\n", "JPEG": rb"\xff\xd8\xff", "WEBP": rb"RIFF....WEBP",
         "TIFF": rb"(II\*\0|MM\0\*)"}


@pytest.mark.parametrize("suffix, format", [
    (".png", "PNG"), (".JPG", "JPEG"), (".jpeg", "JPEG"), (".webp", "WEBP"), (".tiff", "TIFF")])
def test_the_picture_format_follows_the_extension(tmp_path, suffix, format):
    good = bad_inputs(tmp_path)
    result = run(good, "--mask", tmp_path / f"mask{suffix}", "--overlay", tmp_path / f"o{suffix}")
    assert result.returncode == 0, result.stderr
    for name in ("mask", "o"):
        # By signature: opening a WebP file here would leak Pillow's decoder (see above).
        assert re.match(MAGIC[format], (tmp_path / f"{name}{suffix}").read_bytes(), re.S)


def test_several_images_each_get_a_report_and_their_pictures(tmp_path):
    for name, seed in (("a", 1), ("b", 2)):
        Image.fromarray(random_picture(9, 5, seed)).save(tmp_path / f"{name}.png")
    # Into a folder that does not exist yet, as the guide's own example does.
    result = run(tmp_path / "a.png", tmp_path / "b.png", "--mask", tmp_path / "masks/{name}.png")
    assert result.returncode == 0 and result.stdout.count(b"skin pixels") == 2
    assert sorted(path.name for path in (tmp_path / "masks").iterdir()) == ["a.png", "b.png"]


# --- Scripting ----------------------------------------------------------------------------------

def test_the_sample_report():
    result = run("--min-pixels", "1000", "--quiet")
    assert result.returncode == 0 and result.stderr == b""
    lines = result.stdout.decode().splitlines()
    assert lines[0] == "astronaut.png (built-in sample)"
    assert lines[3].startswith("  regions      ") and lines[3].endswith(" of at least 1000 pixels)")
    assert lines[5] == "  largest regions (at least 1000 pixels):"
    listed = [int(line.split()[1]) for line in lines[7:]]
    assert listed == sorted(listed, reverse=True) and min(listed) >= 1000
    assert len(listed) == int(lines[3].split("(")[1].split()[0])


def test_min_pixels_and_top_in_the_json():
    (report,) = document(run("--json", "--min-pixels", "200", "--top", "3"))["images"]
    sizes = [entry["pixels"] for entry in report["largest_regions"]]
    assert len(sizes) == 3 and min(sizes) >= 200 and sizes == sorted(sizes, reverse=True)
    all_regions = document(run("--json", "--top", "100000"))["images"][0]["largest_regions"]
    assert report["regions"] == len(all_regions)
    assert report["regions_at_least_min_pixels"] == sum(e["pixels"] >= 200 for e in all_regions)
    assert report["skin_pixels"] == sum(e["pixels"] for e in all_regions)


def test_standard_input_is_read_as_one_image():
    piped = document(run("-", "--json", stdin=command.SAMPLE.read_bytes()))
    named = document(run("--json"))
    assert piped["images"][0]["input"] == "-"
    for report in (piped["images"][0], named["images"][0]):
        del report["input"]
    assert piped == named


def test_a_closed_pipe_ends_the_run_quietly():
    inputs = [command.SAMPLE] * 40
    environment = dict(os.environ, PYTHONPATH=str(Path(command.__file__).parents[1]))
    process = subprocess.Popen([sys.executable, "-m", "tonesift_image", "--jobs", "1", *inputs],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
    process.stdout.readline()
    process.stdout.close()
    assert process.wait(timeout=120) == 141
    assert process.stderr.read() == b""


def test_version():
    result = run("--version")
    assert result.returncode == 0 and result.stdout.decode() == "tonesift-regions 0.1.0\n"


@pytest.mark.parametrize("args", [["--min-pixels", "0"], ["--top", "x"], ["--unknown"],
                                  ["--frame", "0"]])
def test_usage_errors_exit_2(args):
    assert run(*args).returncode == 2


def test_missing_pillow_is_a_clear_message():
    result = subprocess.run(
        [sys.executable, "-c", "import sys; sys.modules['PIL'] = None; "
         "from tonesift_image.command import main; sys.exit(main([]))"],
        capture_output=True, text=True, env=dict(
            os.environ, PYTHONPATH=str(Path(command.__file__).parents[1])))
    assert result.returncode == 2
    assert result.stderr == ("tonesift-regions: Pillow is needed: pip install Pillow "
                             "(or pip install 'tonesift[cli]')\n")


def test_a_process_pool_gives_the_reports_of_one_process_in_input_order(tmp_path):
    paths = []
    for seed in range(5):
        paths.append(tmp_path / f"{seed}.png")
        Image.fromarray(random_picture(40 + seed, 30, seed, skin_share=0.6)).save(paths[-1])
    one, pool = (document(run(*paths, "--json", "--jobs", jobs)) for jobs in (1, 3))
    assert one == pool and [image["input"] for image in pool["images"]] == list(map(str, paths))


# --- Progress -----------------------------------------------------------------------------------

def test_no_progress_bar_without_a_terminal():
    result = run("--timings")
    assert result.stderr.decode().startswith(f"{command.SAMPLE}: decode ")


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


@pytest.mark.parametrize("args, shown", [
    ([], ["astronaut.png (built-in sample): decoding", "grouping"]),
    (["--per-pixel"], ["classifying:", "grouping:"]),
    (["--quiet"], []),
])
def test_progress_per_stage_on_a_terminal_unless_quiet(monkeypatch, capsys, args, shown):
    terminal = Terminal()
    monkeypatch.setattr(_progress, "PROGRESS_DELAY_SECONDS", 0)
    monkeypatch.setattr(sys, "stderr", terminal)
    assert command.main(args) == 0
    assert all(stage in terminal.text for stage in shown) and bool(terminal.text) == bool(shown)
    assert "skin pixels" in capsys.readouterr().out
    assert threading.enumerate() == [threading.main_thread()]


def test_a_run_on_one_photo_imports_only_what_it_uses():
    """numpy comes while the photo decodes; the pool and the progress bars never."""
    code = ("import sys\nimport tonesift_image.command as command\n"
            "print('numpy' in sys.modules)\ncommand.main(['--quiet', str(command.SAMPLE)])\n"
            "print(sorted(set(sys.argv[1:]) & set(sys.modules)))")
    unused = ["multiprocessing", "concurrent.futures.process", "tqdm"]
    result = subprocess.run([sys.executable, "-c", code, *unused], capture_output=True,
                            text=True, timeout=60, check=True)
    lines = result.stdout.splitlines()
    assert (lines[0], lines[-1]) == ("False", "[]")


def test_one_progress_bar_over_files(monkeypatch, capsys):
    terminal = Terminal()
    monkeypatch.setattr(_progress, "PROGRESS_DELAY_SECONDS", 0)
    monkeypatch.setattr(sys, "stderr", terminal)
    assert command.main([str(command.SAMPLE)] * 2 + ["--jobs", "1"]) == 0
    assert "tonesift-regions:   0%|" in terminal.text and "| 0/2 [" in terminal.text
    assert "converting" not in terminal.text
    assert threading.enumerate() == [threading.main_thread()]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_batch_without_a_terminal_leaves_no_thread_behind(capsys, jobs):
    # A thread left running is killed mid-call when the interpreter exits, and whatever it
    # held leaks; and a pool forked later would copy its locks in whatever state they were.
    assert command.main([str(command.SAMPLE)] * 2 + ["--jobs", jobs]) == 0
    assert threading.enumerate() == [threading.main_thread()]
    assert capsys.readouterr().out.count("skin pixels") == 2


# The pool starts workers again after a death, by forking the command while its threads run:
# GCC's AddressSanitizer runtime can then hang the child on a lock of its allocator that a
# thread of the parent held (seen in its quarantine).
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="forks under the sanitizer can hang")
def test_a_worker_that_dies_fails_its_images_not_the_run(tmp_path):
    paths = []
    for seed, name in enumerate(["0.png", "crash.png", "2.png"]):
        paths.append(tmp_path / name)
        Image.fromarray(random_picture(8, 8, seed)).save(paths[-1])
    # The hooks kill the process that analyses *crash*; workers that start from a fork server
    # (the pool's default from 3.14) load them there.
    script = ("import multiprocessing, sys, collection_hooks; from tonesift_image import command\n"
              "multiprocessing.set_forkserver_preload(['collection_hooks'])\n"
              f"sys.exit(command.main({list(map(str, paths)) + ['--json', '--jobs', '2']!r}))\n")
    path = os.pathsep.join([str(Path(command.__file__).parents[1]), str(Path(__file__).parent)])
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=path), timeout=120)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    images = json.loads(result.stdout)["images"]
    assert [image["input"] for image in images] == list(map(str, paths))
    assert images[1]["status"] == "failed" and "worker process" in images[1]["error"]
