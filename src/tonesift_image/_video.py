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
from typing import TYPE_CHECKING, Any, Iterator, List, NamedTuple, Optional, Tuple

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


class Segment(NamedTuple):
    """A part of a clip that a worker decodes on its own: the frames whose times lie in [begin,
    end), `begin` a keyframe's and `end` the next part's (None: to the clip's end), numbered from
    `number`, `frames` of them by the container's index; with the state in which a read from the
    clip's start leaves the sampling there (the first analysed frame's time, the frames taken,
    the last one's 1/fps slot)."""
    begin: float
    end: Optional[float]
    number: int
    frames: int
    first_time: Optional[float]
    taken: int
    last_slot: int


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

    def __init__(self, source: Any, name: str, max_pixels: int, threads: Optional[int] = None):
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
        # Frames are decoded on FFmpeg's threads too, without the interpreter lock: as many as
        # the picture's analysis may have (an engine running several at once sets it), else
        # FFmpeg's choice.
        self.stream.thread_type = "AUTO"
        if threads is not None:
            self.stream.thread_count = max(1, threads)
        self.frames = self.stream.frames or None
        self.time_base = self.stream.time_base
        self.origin = float(self.stream.start_time * self.time_base) \
            if self.stream.start_time is not None else 0.0

    def _seek(self, start: float) -> bool:
        """To the keyframe at or before `start`; False where the input cannot seek (a pipe)."""
        try:
            self.container.seek(round((start + self.origin) / self.time_base), stream=self.stream,
                                backward=True, any_frame=False)
        except Exception:  # not seekable: decode from the start and skip
            return False
        return True

    def segments(self, sampling: Sampling, resume: Optional[Resume], workers: int,
                 least: int) -> List[Segment]:
        """Parts of the frames that `read` would decode, each from a keyframe, for `workers` to
        decode side by side: about four a worker, of at least `least` frames each. They come from
        the container's index of packets, demuxed, not decoded. None ([]) where there would be
        fewer than two, or where that index cannot be trusted to number the frames as decoding
        does (packets without a time, or marked corrupt or to drop, or not as many as the
        container declares)."""
        stamps, keys = [], set()
        try:
            for packet in self.container.demux(self.stream):
                if packet.pts is None and packet.size == 0:  # the end of the stream
                    continue
                if packet.pts is None or packet.is_corrupt or packet.is_discard:
                    return []
                stamps.append(packet.pts)
                if packet.is_keyframe:
                    keys.add(packet.pts)
        except Exception:  # damaged: read whole, where the damage is reported where it lies
            return []
        stamps.sort()
        if len(set(stamps)) != len(stamps) or (self.frames and len(stamps) != self.frames):
            return []
        times = [float(stamp * self.time_base) - self.origin for stamp in stamps]
        # The sampling as `read` applies it from the clip's start: its state at every frame.
        start, end = sampling.start or 0.0, sampling.end
        after = resume.last_time if resume is not None else -math.inf
        sampler = _Sampler(sampling)
        states: List[Tuple[Optional[float], int, int]] = []
        last, analysed = len(times) - 1, 0
        for index, time in enumerate(times):
            states.append(sampler.state())
            if end is not None and time >= end:
                last = index - 1
                break
            if time >= start:
                analysed += sampler.takes(time) and time > after
        if analysed == 0:  # nothing to spread: `read` says why, or the records are all there
            return []
        # Decoding starts at the keyframe before the first frame it needs.
        needed = next(index for index, time in enumerate(times)
                      if time >= start and time > after)
        starts = [index for index in range(last + 1) if stamps[index] in keys]
        first = max([index for index in starts if index <= needed], default=0)
        # Even parts, each cut at the keyframe nearest its place.
        length = last + 1 - first
        count = -(-length // max(least, -(-length // (4 * workers))))
        bounds = [first]
        for part in range(1, count):
            place = first + part * length / count
            nearest = min(starts, key=lambda index: abs(index - place))
            if nearest > bounds[-1]:
                bounds.append(nearest)
        if len(bounds) < 2:
            return []
        return [Segment(times[begin], times[stop] if stop is not None else None, begin + 1,
                        (stop if stop is not None else len(times)) - begin, *states[begin])
                for begin, stop in zip(bounds, [*bounds[1:], None])]

    def read(self, sampling: Sampling = Sampling(), resume: Optional[Resume] = None,
             segment: Optional[Segment] = None) -> Iterator[Frame]:
        """The sampled frames, in order; with `resume`, those after the frame it names, sampled
        as though the clip had been read from its start; with `segment`, those of that part of
        the clip. A decoding error after some frames raises InputError then, so that the frames
        before it count."""
        start, end = sampling.start or 0.0, sampling.end
        if segment is not None:
            begin = segment.begin
        else:
            begin = resume.last_time if resume is not None else start
        seeked = begin > 0 and self._seek(begin)
        rate = self.stream.average_rate
        number = decoded_count = 0
        last_time = -math.inf
        if segment is not None:  # the state a read from the start has there
            number = segment.number - 1
            sampler = _Sampler(sampling, segment.first_time, segment.taken, segment.last_slot)
        elif resume is not None:
            sampler = _Sampler(sampling, resume.first_time, resume.taken,
                               -1 if sampling.fps is None else
                               _slot(resume.last_time, resume.first_time, sampling.fps))
        else:
            sampler = _Sampler(sampling)
        # Frames up to this time were analysed by an earlier run.
        done = resume.last_time if resume is not None else -math.inf
        decoded = self.container.decode(self.stream)
        while True:
            try:
                frame = next(decoded, None)
                if getattr(self.source, "interrupted", False):  # a pipe, by Ctrl-C
                    raise KeyboardInterrupt
            except Exception as error:  # FFmpeg's: damaged or cut off
                if decoded_count == 0 and segment is None:
                    # FFmpeg guessed a format it then could not read.
                    raise _not_a_clip(self.name, _reason(error)) from None
                raise InputError(f"{self.name}: corrupt or truncated video after frame "
                                 f"{number}: {_reason(error)}") from None
            if frame is None:
                if segment is not None and segment.end is not None:
                    self._check_segment(segment, number)
                self._check_whole(number if segment is not None or not seeked else None,
                                  last_time)
                return
            time = float(frame.pts * self.time_base) - self.origin \
                if frame.pts is not None else (number / float(rate) if rate else 0.0)
            if segment is not None:
                if time < segment.begin:  # before its keyframe (an open GOP's leading frames)
                    continue
                if decoded_count == 0 and time > segment.begin and seeked:
                    # The seek went past the keyframe (a demuxer that seeks by decoding time):
                    # decode from the clip's start instead, the one place sure to be before it.
                    self.container.seek(0)
                    decoded, seeked = self.container.decode(self.stream), False
                    continue
                if segment.end is not None and time >= segment.end:
                    self._check_segment(segment, number)
                    return
            elif seeked and number == 0 and rate:
                # After a seek the count starts from the keyframe's place in the stream.
                number = round(time * float(rate))
            number += 1
            decoded_count += 1
            last_time = time
            if time < start or (segment is None and time <= done):
                continue
            if end is not None and time >= end:
                return
            if not sampler.takes(time) or time <= done:
                continue
            if frame.width * frame.height > self.max_pixels:
                raise InputError(f"{self.name}: frame {number} too large: {frame.width} x "
                                 f"{frame.height} pixels (at most {self.max_pixels}; "
                                 "--max-pixels raises the limit)")
            yield Frame(number, time, self.frames, _rgb(frame))

    def _check_segment(self, segment: Segment, number: int) -> None:
        """A part of a clip must decode to the frames the index promised, or frames would be
        lost or numbered twice where it meets the next part."""
        decoded = number - segment.number + 1
        if decoded != segment.frames:
            raise InputError(f"{self.name}: frames {segment.number} to "
                             f"{segment.number + segment.frames - 1} decode to {decoded} frames, "
                             f"not the {segment.frames} that the container's index holds")

    def _check_whole(self, decoded: Optional[int], last_time: float) -> None:
        """At the end of the data: FFmpeg ends a file cut short as quietly as a whole one, so
        the frames decoded (where they were counted from the start) are held against what the
        container declares."""
        if self.frames is not None and decoded is not None and decoded < self.frames:
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


class _Sampler:
    """A sampling's choice of frames in its range, one at a time, from the state it has reached:
    the first analysed frame's time, the frames `fps` has taken, the last one's slot."""

    def __init__(self, sampling: Sampling, first_time: Optional[float] = None, taken: int = 0,
                 last_slot: int = -1):
        self.sampling, self.first_time = sampling, first_time
        self.taken, self.last_slot = taken, last_slot

    def state(self) -> Tuple[Optional[float], int, int]:
        return self.first_time, self.taken, self.last_slot

    def takes(self, time: float) -> bool:
        """Whether the next frame in the range, at `time`, is analysed."""
        if self.first_time is None:
            self.first_time = time
        if self.sampling.fps is not None:
            slot = _slot(time, self.first_time, self.sampling.fps)
            if slot <= self.last_slot:
                return False
            self.last_slot = slot
        self.taken += 1
        return not (self.taken - 1) % self.sampling.every


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
