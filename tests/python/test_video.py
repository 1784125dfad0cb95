"""Clips as inputs: every frame's record is tonesift_image's on PyAV's own RGB of that frame; the
sampling gives the frames it promises; damage keeps the frames before it."""
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import PHOTOS

Image = pytest.importorskip("PIL.Image")
jsonschema = pytest.importorskip("jsonschema")

import tonesift_image  # noqa: E402
from tonesift_image import _video, command  # noqa: E402

pytestmark = pytest.mark.pure_python

RATE = 10  # frames a second of the clips made here
SCHEMA = json.loads((Path(__file__).resolve().parents[2] / "docs" /
                     "tonesift-regions.schema.json").read_text())
RECORD = {"$defs": SCHEMA["$defs"], "$ref": "#/$defs/record"}


def make_clip(path, codec, width, height, frames, keyframe_every=5):
    """A clip of a photo panning by a pixel a frame, so that each frame differs; yuv444p takes
    odd sizes, which 4:2:0 cannot."""
    av = pytest.importorskip("av")
    size = (width + frames, height + frames)
    photo = np.asarray(Image.open(PHOTOS[0]).convert("RGB").resize(size))
    with av.open(str(path), "w") as container:
        stream = container.add_stream(codec, rate=RATE)
        stream.width, stream.height, stream.pix_fmt = width, height, "yuv444p"
        # Keyframes exactly every `keyframe_every` frames: x264 adds its own at scene cuts.
        stream.options = {"g": str(keyframe_every),
                          **({"sc_threshold": "0"} if codec == "libx264" else {})}
        for index in range(frames):
            shown = np.ascontiguousarray(photo[index:index + height, index:index + width])
            for packet in stream.encode(av.VideoFrame.from_ndarray(shown, format="rgb24")):
                container.mux(packet)
        for packet in stream.encode():
            container.mux(packet)
    return path


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips")
    return {"mp4": make_clip(folder / "pan.mp4", "libx264", 321, 241, 12),
            "webm": make_clip(folder / "pan.webm", "libvpx-vp9", 96, 64, 12),
            "far": make_clip(folder / "far.mkv", "libx264", 64, 48, 40, keyframe_every=25)}


def pyav_frames(path):
    """(time, rgb) of every frame, as PyAV alone gives them."""
    import av

    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        origin = stream.start_time or 0
        return [(float((frame.pts - origin) * stream.time_base), frame.to_ndarray(format="rgb24"))
                for frame in container.decode(stream)]


def run(*args, stdin=None):
    environment = dict(os.environ, PYTHONPATH=str(Path(command.__file__).parents[1]))
    return subprocess.run([sys.executable, "-m", "tonesift_image", *map(str, args)],
                          input=stdin, capture_output=True, env=environment, timeout=300)


@pytest.mark.parametrize("kind", ["mp4", "webm"])
def test_every_frame_is_analysed_as_pyav_decodes_it(clips, kind):
    records = list(tonesift_image.analyse_video(clips[kind], top=3))
    decoded = pyav_frames(clips[kind])
    assert [record["frame"] for record in records] == list(range(1, len(decoded) + 1))
    for record, (time, rgb) in zip(records, decoded):
        jsonschema.validate(record, RECORD)
        regions = tonesift_image.find_skin_regions(rgb)
        largest = [regions[index] for index in np.argsort(-regions.pixels, kind="stable")[:3]]
        assert record["time"] == pytest.approx(time)
        assert (record["width"], record["height"]) == (rgb.shape[1], rgb.shape[0])
        assert (record["skin_pixels"], record["regions"]) == (regions.pixels.sum(), len(regions))
        assert [(entry["pixels"], tuple(entry["box"].values())) for entry in
                record["largest_regions"]] == [(region.pixels, (region.left, region.top,
                                                                region.right, region.bottom))
                                               for region in largest]


@pytest.mark.parametrize("sampling, frames", [
    ({"every": 4}, [1, 5, 9]),
    ({"fps": 2.5}, [1, 5, 9]),                         # one in each 0.4 s
    ({"fps": 3}, [1, 5, 8, 11]),                       # the first at or after 0, 1/3, 2/3, 1 s
    ({"start": 0.55, "end": 0.95}, [7, 8, 9, 10]),     # times 0.6 to 0.9
    ({"start": 0.3, "every": 3}, [4, 7, 10]),
    ({"end": 0.25}, [1, 2, 3]),
])
def test_sampling_gives_the_frames_it_promises(clips, sampling, frames):
    records = list(tonesift_image.analyse_video(clips["mp4"], **sampling))
    assert [record["frame"] for record in records] == frames
    assert [record["time"] for record in records] == pytest.approx([(n - 1) / RATE
                                                                    for n in frames])


def test_a_start_far_from_a_keyframe_is_sought_and_numbered_from_the_clip_start(clips):
    # Keyframes at 0 and 2.5 s: frames 31 on come from seeking to the second one.
    records = list(tonesift_image.analyse_video(clips["far"], start=3.0, every=2))
    assert [record["frame"] for record in records] == [31, 33, 35, 37, 39]
    full = {record["frame"]: record for record in tonesift_image.analyse_video(clips["far"])}
    assert records == [full[record["frame"]] for record in records]


@pytest.mark.parametrize("arguments, message", [
    ({"every": 0}, "every must be at least 1"),
    ({"fps": 0}, "fps must be a finite number above 0"),
    ({"start": -1}, "start must be a finite number of seconds"),
    ({"start": 2, "end": 1}, "must come after start"),
    ({"end": float("nan")}, "end must be a finite number"),
])
def test_bad_sampling_is_refused_before_any_decoding(arguments, message):
    with pytest.raises(ValueError, match=message):
        tonesift_image.analyse_video("no such clip", **arguments)


def test_the_command_reports_a_clip_and_reads_it_from_standard_input(clips):
    from_file = run(clips["webm"], "--json")
    from_stdin = run("-", "--json", stdin=clips["webm"].read_bytes())
    entries = json.loads(from_file.stdout)["images"]
    assert len(entries) == 12 and from_file.returncode == 0, from_file.stderr
    assert [dict(entry, input="-") for entry in entries] == json.loads(from_stdin.stdout)["images"]
    report = run(clips["webm"], PHOTOS[0], "--fps", "5")
    text = report.stdout.decode()
    assert "96 x 64, 6 frames analysed, 0.000 s to 1.000 s" in text, text
    assert "skin share   min" in text and PHOTOS[0].name in text


def test_a_cut_clip_keeps_its_frames_before_the_cut_then_fails(clips, tmp_path):
    data = clips["far"].read_bytes()
    cut = tmp_path / "cut.mkv"
    cut.write_bytes(data[:len(data) * 6 // 10])
    junk = tmp_path / "junk.mp4"
    junk.write_bytes(b"not a clip " * 100)
    result = run(cut, junk, "--json")
    entries = json.loads(result.stdout)["images"]
    frames = [entry["frame"] for entry in entries if entry["status"] == "ok"]
    assert 0 < len(frames) < 40 and frames == list(range(1, len(frames) + 1))
    assert [entry["input"] for entry in entries[len(frames):]] == [str(cut), str(junk)]
    assert "truncated video" in entries[len(frames)]["error"]
    assert "not an image Pillow can read, nor a video FFmpeg" in entries[-1]["error"]
    assert result.returncode == 1


def test_without_pyav_a_clip_says_to_install_it(clips, monkeypatch):
    monkeypatch.setitem(sys.modules, "av", None)
    (record,) = tonesift_image.analyse_video(clips["mp4"])
    assert record["status"] == "failed" and "pip install av" in record["error"]
    assert _video.missing() is not None


def test_clips_among_photos_on_a_pool_after_decoding_in_the_parent(clips):
    # The parent's FFmpeg threads must not reach the workers (a forked pool once hung here).
    script = ("import json, sys, tonesift_image as t\n"
              "list(t.analyse_video(sys.argv[1]))\n"
              "print(json.dumps(list(t.analyse_images(sys.argv[1:], jobs=2))))")
    inputs = [str(clips["webm"]), str(PHOTOS[0]), str(clips["mp4"])]
    environment = dict(os.environ, PYTHONPATH=str(Path(command.__file__).parents[1]))
    result = subprocess.run([sys.executable, "-c", script, *inputs], capture_output=True,
                            text=True, env=environment, timeout=120)
    assert result.returncode == 0, result.stderr
    expected = [*tonesift_image.analyse_video(inputs[0]), tonesift_image.analyse_image(inputs[1]),
                *tonesift_image.analyse_video(inputs[2])]
    assert json.loads(result.stdout) == json.loads(json.dumps(expected))


@pytest.mark.parametrize("kept", [0, 2, 6, 7])
def test_resuming_goes_on_from_the_frame_after_the_last_one_recorded(clips, tmp_path, kept):
    # 7 records of the clip in all (--fps 5 takes 20 frames, --every 3 seven of them); from 6
    # on, it is sought to its second keyframe (2.5 s); with all 7, nothing is left to do.
    inputs, options = [PHOTOS[0], clips["far"]], ["--fps", "5", "--every", "3"]
    output = tmp_path / "records.jsonl"
    first = run(*inputs, "--output", output, *options)
    assert first.returncode == 0, first.stderr
    whole = list(tonesift_image.read_records(output))
    assert len(whole) == 8
    lines = output.read_text().splitlines(keepends=True)
    output.write_text("".join(lines[:1 + kept]))  # as if stopped after `kept` of its frames
    again = run(*inputs, "--output", output, *options, "--resume")
    assert again.returncode == 0, again.stderr
    assert list(tonesift_image.read_records(output)) == whole


def test_a_clip_with_no_frame_in_range_has_a_failed_record(clips):
    (record,) = tonesift_image.analyse_video(clips["mp4"], start=50)
    assert record["status"] == "failed" and "no frame of the video" in record["error"]


@pytest.mark.parametrize("kind, sampling, resume", [
    ("mp4", {}, None),
    ("mp4", {"every": 2, "fps": 5}, None),
    ("mp4", {"start": 0.35, "end": 1.05}, None),
    ("far", {"fps": 5, "every": 3}, None),
    ("far", {"fps": 5, "every": 3}, (0.0, 0.6, 4)),    # resumed after its second record
    ("far", {}, (0.0, 1.0, 11)),
])
def test_segments_read_from_their_keyframes_give_the_whole_clip(clips, kind, sampling, resume):
    # Each segment is read by a clip of its own, as a worker would; the seams lose no frame and
    # record none twice.
    sampling, resume = _video.Sampling(**sampling), resume and _video.Resume(*resume)

    def frames(segment=None):
        with _video.Clip(clips[kind], "clip", 10**9) as clip:
            return [(frame.number, frame.time)
                    for frame in clip.read(sampling, resume, segment)]
    with _video.Clip(clips[kind], "clip", 10**9) as clip:
        segments = clip.segments(sampling, resume, workers=2, least=1)
    assert len(segments) >= 2 and all(segment.begin < (segment.end or 99) for segment in segments)
    assert [frame for segment in segments for frame in frames(segment)] == frames()
