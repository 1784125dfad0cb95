"""The inputs of a run, by name: paths, folders, glob patterns, URLs, standard input ("-"),
and the built-in sample."""
import glob
import io
import os
import re
from pathlib import Path
from typing import Any, BinaryIO, List, Mapping, Set

from ._errors import FILE_ERRORS, InputError, file_error, one_line
from ._storage import file_system, is_url

DEFAULT_MAX_PIXELS = 250_000_000
STDIN = "-"
SAMPLE = Path(__file__).resolve().parent / "data" / "astronaut.png"


def display_name(name: str) -> str:
    if name == str(SAMPLE):
        return f"{SAMPLE.name} (built-in sample)"
    return "standard input" if name == STDIN else name


def image_suffixes() -> Set[str]:
    """The file name extensions of the formats Pillow reads."""
    from PIL import Image
    Image.init()
    return {suffix for suffix, format in Image.registered_extensions().items()
            if format in Image.OPEN}


def _visible(path: str) -> bool:
    return not any(part.startswith(".") for part in path.replace("\\", "/").split("/")[1:])


def expand(name: str, storage_options: Mapping[str, Any]) -> List[str]:
    """The inputs a name stands for: a folder's image files (by extension, recursively, hidden
    ones left out, sorted), a glob pattern's files (``**`` spans folders; sorted), else the name
    itself. A folder URL ends with "/", so that a list of object URLs costs no extra request
    each. A folder without images, or a pattern without files, is an InputError."""
    if name == STDIN:
        return [name]
    pattern = re.search(r"[*?[]", name) is not None
    if is_url(name):
        if not pattern and not name.endswith("/"):
            return [name]
        fs, path = file_system(name, storage_options, InputError, "reading")
        try:
            if pattern:
                # Hidden names count from the folder where the pattern's wildcards begin.
                folder = re.split(r"[*?[]", path, maxsplit=1)[0].rsplit("/", 1)[0]
                found = [fs.unstrip_protocol(match) for match in fs.glob(path)
                         if _visible(match[len(folder):]) and fs.isfile(match)]
            else:
                suffixes = image_suffixes()
                found = [fs.unstrip_protocol(match) for match in fs.find(path)
                         if os.path.splitext(match)[1].lower() in suffixes
                         and _visible(match[len(path.rstrip("/")):])]
        except FILE_ERRORS as error:
            raise file_error(name, error) from None
        except Exception as error:  # the network, credentials
            raise InputError(f"{name}: cannot list: {one_line(error)}") from None
    elif os.path.isdir(name):
        suffixes = image_suffixes()
        found = []
        for folder, folders, files in os.walk(name):
            folders[:] = [sub for sub in folders if not sub.startswith(".")]
            found += [os.path.join(folder, file) for file in files
                      if not file.startswith(".") and os.path.splitext(file)[1].lower() in suffixes]
    elif pattern and not os.path.exists(name):
        found = [path for path in glob.glob(name, recursive=True) if os.path.isfile(path)]
    else:
        return [name]
    if not found:
        raise InputError(f"{name}: " + ("matches no file" if pattern else
                                         "holds no image files Pillow can read"))
    return sorted(found)


class Stream(io.RawIOBase):
    """A pipe (standard input) read as it comes, that readers can seek in: what has been read is
    kept, so that Pillow can look at a picture's header and a clip's reader start again from the
    first byte, and a container whose index lies at its end (MP4) can be read whole. Past
    `keep` bytes nothing more is kept and the stream no longer seeks back: a stream that never
    ends (a camera's) is read in constant memory once it is known to be a clip."""

    def __init__(self, pipe: BinaryIO, keep: int = 256 << 20):
        self.pipe, self.keep = pipe, keep
        self.kept = bytearray()
        self.position = 0
        self.dropped = 0  # bytes before kept[0], once keeping has stopped
        # Ctrl-C while a reader in native code waits for the pipe: FFmpeg's callers drop the
        # exception, so the stream ends here and says why, for the reader to raise it again.
        self.interrupted = False

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return self.dropped == 0

    def tell(self) -> int:
        return self.position

    def _fill(self, end: int) -> None:
        # read1: what the pipe has, without waiting for a whole block of a slow stream.
        read = getattr(self.pipe, "read1", self.pipe.read)
        while self.dropped + len(self.kept) < end:
            chunk = read(min(max(end - self.dropped - len(self.kept), 1 << 16), 1 << 24))
            if not chunk:
                return
            self.kept += chunk

    def readinto(self, buffer) -> int:
        wanted = len(buffer)
        try:
            self._fill(self.position + wanted)
        except KeyboardInterrupt:
            self.interrupted = True
            return 0
        start = self.position - self.dropped
        chunk = self.kept[start:start + wanted]
        buffer[:len(chunk)] = chunk
        self.position += len(chunk)
        if self.dropped or len(self.kept) > self.keep:
            # Past `keep` (nothing, once read in order): from here on, only what is unread.
            del self.kept[:self.position - self.dropped]
            self.dropped = self.position
        return len(chunk)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_END:
            self._fill(1 << 62)  # to the end of the pipe
            offset += self.dropped + len(self.kept)
        elif whence == io.SEEK_CUR:
            offset += self.position
        if offset < self.dropped:
            raise io.UnsupportedOperation("standard input: cannot seek back that far")
        self.position = offset
        return offset

    def for_video(self) -> Any:
        """The stream from its first byte, for FFmpeg. An MP4 (QuickTime's layout: "ftyp" at
        byte 4) keeps its index anywhere, often at the end, and is read whole, seeking; any
        other container is read in order, as it comes, and nothing read is kept: FFmpeg would
        otherwise ask a seekable input for its size, which a stream that never ends has not."""
        self.seek(0)
        header = self.read(8)
        self.seek(0)
        if header[4:] == b"ftyp":
            return self
        self.keep = 0  # from the next read on, nothing read is kept
        return _InOrder(self)


class _InOrder:
    """A Stream read from its first byte to its end, without seeking."""

    def __init__(self, stream: Stream):
        self.stream = stream

    @property
    def interrupted(self) -> bool:
        return self.stream.interrupted

    def read(self, size: int = -1) -> bytes:
        return self.stream.read(size if size >= 0 else 1 << 20) or b""
