"""Reading clips: the frames of a video file or stream that FFmpeg decodes (through PyAV), each
as (height, width, 3) RGB with its place in the clip, chosen by a sampling: a range of stream
time, at most so many frames a second, every Nth.

A frame's RGB is FFmpeg's default conversion (PyAV's ``frame.to_ndarray(format="rgb24")``), so
that a caller can reproduce any record from PyAV alone.
"""
import io
import math
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterator, NamedTuple, Optional

from ._errors import FILE_ERRORS, InputError, file_error, install, one_line

if TYPE_CHECKING:
    import numpy as np


@dataclass(frozen=True)
class Sampling:
    """Which frames of a clip are analysed: those whose time lies in [start, end) seconds, at
    most `fps` of them a second of stream time (the first of each 1/fps), and of those every
    `every`th, from the first."""
    every: int = 1
    fps: Optional[float] = None
    start: Optional[float] = None
    end: Optional[float] = None


class Resume(NamedTuple):
    """Where an earlier run's records of a clip end, to go on from the frame after: the time of
    the first frame it analysed and of the last, and how many frames its sampling had taken
    before `every` thinned them (the last one's count)."""
    first_time: float
    last_time: float
    taken: int


class Frame(NamedTuple):
    number: int            # from 1, in presentation order
    time: float            # seconds from the stream's start
    frames: Optional[int]  # the clip's frame count, where the container says
    rgb: "np.ndarray"      # (height, width, 3) uint8; valid until the next frame is read


def missing() -> Optional[str]:
    """Why clips cannot be read here (PyAV missing or not loading), or None."""
    try:
        import av  # noqa: F401
    except ImportError:
        if not getattr(sys, "_is_gil_enabled", lambda: True)():
            return ("PyAV has no build that loads on free-threaded CPython "
                    f"{sys.version_info[0]}.{sys.version_info[1]}")
        return install("av", "video")
    return None


class Clip:
    """A clip opened on its first video stream. `source` is a path, bytes (standard input) or an
    open binary file. Raises InputError for anything FFmpeg does not read as video."""

    def __init__(self, source: Any, name: str, max_pixels: int):
        import av

        self.name, self.max_pixels = name, max_pixels
        self.source = source
        if isinstance(source, bytes):
            source = io.BytesIO(source)
        elif isinstance(source, Path):
            source = str(source)
        try:
            self.container = av.open(source, mode="r")
        except FILE_ERRORS as error:
            raise file_error(name, error) from None
        except Exception as error:  # FFmpeg's own errors: no container it knows
            raise _not_a_clip(name, _reason(error)) from None
        streams = self.container.streams.video
        if not streams:
            self.container.close()
            raise _not_a_clip(name, "no video stream")
        self.stream = streams[0]
        # Frames are decoded on FFmpeg's threads too, without the interpreter lock.
        self.stream.thread_type = "AUTO"
        self.frames = self.stream.frames or None
        self.time_base = self.stream.time_base
        self.origin = float(self.stream.start_time * self.time_base) \
            if self.stream.start_time is not None else 0.0

    def _seek(self, start: float) -> bool:
        """To the keyframe at or before `start`; False where the input cannot seek (a pipe)."""
        try:
            self.container.seek(int((start + self.origin) / self.time_base), stream=self.stream,
                                backward=True, any_frame=False)
        except Exception:  # not seekable: decode from the start and skip
            return False
        return True

    def read(self, sampling: Sampling = Sampling(),
             resume: Optional[Resume] = None) -> Iterator[Frame]:
        """The sampled frames, in order; with `resume`, those after the frame it names, sampled
        as though the clip had been read from its start. A decoding error after some frames
        raises InputError then, so that the frames before it count."""
        start, end = sampling.start or 0.0, sampling.end
        begin = resume.last_time if resume is not None else start
        seeked = begin > 0 and self._seek(begin)
        rate = self.stream.average_rate
        number = decoded_count = 0
        first_time: Optional[float] = None if resume is None else resume.first_time
        last_time = -math.inf
        last_slot = -1
        kept = 0
        if resume is not None:
            kept = resume.taken
            if sampling.fps is not None:
                last_slot = _slot(resume.last_time, resume.first_time, sampling.fps)
        decoded = self.container.decode(self.stream)
        while True:
            try:
                frame = next(decoded, None)
                if getattr(self.source, "interrupted", False):  # a pipe, by Ctrl-C
                    raise KeyboardInterrupt
            except Exception as error:  # FFmpeg's: damaged or cut off
                if decoded_count == 0:  # FFmpeg guessed a format it then could not read
                    raise _not_a_clip(self.name, _reason(error)) from None
                raise InputError(f"{self.name}: corrupt or truncated video after frame "
                                 f"{number}: {_reason(error)}") from None
            if frame is None:
                self._check_whole(decoded_count, last_time, seeked)
                return
            time = float(frame.pts * self.time_base) - self.origin \
                if frame.pts is not None else (number / float(rate) if rate else 0.0)
            if seeked and number == 0 and rate:
                # After a seek the count starts from the keyframe's place in the stream.
                number = round(time * float(rate))
            number += 1
            decoded_count += 1
            last_time = time
            if time < start or (resume is not None and time <= resume.last_time):
                continue
            if end is not None and time >= end:
                return
            if first_time is None:
                first_time = time
            if sampling.fps is not None:
                slot = _slot(time, first_time, sampling.fps)
                if slot <= last_slot:
                    continue
                last_slot = slot
            kept += 1
            if (kept - 1) % sampling.every:
                continue
            if frame.width * frame.height > self.max_pixels:
                raise InputError(f"{self.name}: frame {number} too large: {frame.width} x "
                                 f"{frame.height} pixels (at most {self.max_pixels}; "
                                 "--max-pixels raises the limit)")
            yield Frame(number, time, self.frames, _rgb(frame))

    def _check_whole(self, decoded: int, last_time: float, seeked: bool) -> None:
        """At the end of the data: FFmpeg ends a file cut short as quietly as a whole one, so
        the frames decoded are held against what the container declares."""
        if self.frames is not None and not seeked and decoded < self.frames:
            raise InputError(f"{self.name}: truncated video: {decoded} of the {self.frames} "
                             "frames its container declares")
        stream, rate = self.stream, self.stream.average_rate
        interval = 1 / float(rate) if rate else 0.0
        if stream.duration is not None:
            declared, slack = float(stream.duration * self.time_base), 2 * interval
        elif self.container.duration is not None:
            # The whole container's, which its other streams (sound) may outlast the video by.
            declared, slack = self.container.duration / 1_000_000, max(2 * interval, 1.0)
        else:
            return
        if last_time + interval < declared - slack:
            shown = max(last_time + interval, 0.0)
            raise InputError(f"{self.name}: truncated video: its frames end at {shown:.3f} s "
                             f"of the {declared:.3f} s its container declares")

    def close(self) -> None:
        self.container.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def _slot(time: float, first_time: float, fps: float) -> int:
    """Which 1/fps of a second from the first analysed frame a frame falls in."""
    return math.floor((time - first_time) * fps + 1e-9)


def _not_a_clip(name: str, reason: str) -> InputError:
    return InputError(f"{name}: not an image Pillow can read, nor a video FFmpeg can read "
                      f"({reason})")


def _reason(error: Exception) -> str:
    """FFmpeg's words for an error, without the file name that PyAV adds."""
    return one_line(getattr(error, "strerror", None) or error)


def _rgb(frame) -> "np.ndarray":
    """The frame in FFmpeg's default conversion to RGB, viewed where FFmpeg put it (rows may be
    padded: the view steps over the padding rather than copy)."""
    import numpy as np

    converted = frame.reformat(format="rgb24")
    plane = converted.planes[0]
    rows = np.frombuffer(plane, np.uint8).reshape(converted.height, plane.line_size)
    return rows[:, :converted.width * 3].reshape(converted.height, converted.width, 3)
