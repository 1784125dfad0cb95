"""Reading inputs: paths, fsspec URLs, standard input's bytes, open files and arrays, opened
with Pillow as a viewer shows them (the chosen frame, its EXIF orientation, its alpha).
"""
import io
import logging
import os
import re
import threading
import warnings
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, BinaryIO, Iterator, Optional, Union, cast

from PIL import Image, ImageFile, UnidentifiedImageError

from . import _native  # type: ignore[attr-defined]  # the stub describes the package only
from ._errors import FILE_ERRORS, InputError, NotAPicture, file_error, one_line

EXIF_ORIENTATION = 0x0112
ALPHA_MODES = {"RGBA", "LA", "PA", "RGBa", "La"}
# Modes whose decoded pixels the kernels read where Pillow keeps them: red, green and blue in
# four bytes (the fourth unused), or one grey byte.
LENDING_MODES = {"RGB", "RGBX", "L"}
# Pillow reads a file and hands it to the decoder 64 KiB at a time, taking the interpreter lock
# back between blocks; in blocks of up to this many bytes another thread runs alongside a decode.
DECODER_BLOCK = 64 << 20

# Pillow logs what it finds odd in a file; the command reports a file in one line or not at all.
logging.getLogger("PIL").addHandler(logging.NullHandler())
logging.getLogger("PIL").propagate = False

if TYPE_CHECKING:
    import numpy as np

# numpy is imported only where arrays are made: a picture is opened and decoded first, while the
# analysis (numpy, the kernels) may still be importing on another thread.

# A file; the whole of standard input; an open binary file; an array of pixels.
Source = Union[Path, bytes, BinaryIO, "np.ndarray"]


def _pixel_count(error: Exception) -> str:
    found = re.search(r"\((\d+) pixels\)", str(error))
    return f"{found.group(1)} pixels" if found else "too many pixels"


class _OneBlock:
    """Pillow lends a picture's memory only when it lies in one block, and by default chains
    blocks of 16 MiB. While any decode of ours runs, Pillow allocates one block per picture; then
    it gets back the program's own choice. (Another thread's picture may land in several blocks
    all the same: it is then converted, as on a Pillow that cannot lend.)"""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._users = 0
        self._before = 0
        core = Image.core
        self._supported = hasattr(core, "set_use_block_allocator")

    @contextmanager
    def __call__(self) -> Iterator[None]:
        if not self._supported:
            yield
            return
        core = Image.core
        with self._lock:
            if self._users == 0:
                self._before = core.get_use_block_allocator()
                core.set_use_block_allocator(1)
            self._users += 1
        try:
            yield
        finally:
            with self._lock:
                self._users -= 1
                if self._users == 0:
                    core.set_use_block_allocator(self._before)


one_block = _OneBlock()


class Opened:
    """An image file opened on the chosen frame, with Pillow's decompression-bomb guard set to
    the caller's limit for as long as it is open (opening, seeking and decoding all check it)."""

    def __init__(self, source: Source, name: str, max_pixels: int, frame: int):
        self.name, self.max_pixels = name, max_pixels
        self._warnings = warnings.catch_warnings()
        self._warnings.__enter__()
        # Pillow's other complaints (corrupt EXIF, odd tags) would be extra lines on stderr: a
        # file either reads or fails with one line.
        warnings.simplefilter("ignore")
        warnings.simplefilter("error", Image.DecompressionBombWarning)
        self._limit_before, Image.MAX_IMAGE_PIXELS = Image.MAX_IMAGE_PIXELS, max_pixels
        try:
            self.image = self._open(source)
            self.frames = getattr(self.image, "n_frames", 1)
            if frame > self.frames:
                raise InputError(f"{name}: has {self.frames} frame"
                                 f"{'' if self.frames == 1 else 's'}, no frame {frame}")
            self.frame = frame
            if frame > 1:
                self.image.seek(frame - 1)
            self._check_size()
        except BaseException:
            self.close()
            raise

    def _open(self, source: Source) -> "Image.Image":
        name = self.name
        if not isinstance(source, (Path, bytes)) and not hasattr(source, "read"):
            import numpy as np

            try:
                return Image.fromarray(np.asarray(source))
            except Exception as error:  # a shape or type that is no picture
                raise InputError(f"{name}: not an array of pixels: {one_line(error)}") from None
        try:
            return Image.open(io.BytesIO(source) if isinstance(source, bytes)
                              else cast(Union[Path, BinaryIO], source))
        except FILE_ERRORS as error:
            raise file_error(name, error) from None
        except UnidentifiedImageError:
            raise NotAPicture(f"{name}: not an image Pillow can read") from None
        except (Image.DecompressionBombError, Image.DecompressionBombWarning) as error:
            raise self._too_large(_pixel_count(error)) from None
        except Exception as error:  # a header Pillow recognised but could not parse
            raise InputError(f"{name}: cannot read image: {one_line(error)}") from None

    def _too_large(self, size: str) -> InputError:
        return InputError(f"{self.name}: image too large: {size} "
                          f"(at most {self.max_pixels}; --max-pixels raises the limit)")

    def _check_size(self) -> None:
        width, height = self.image.size
        if width * height > self.max_pixels:
            raise self._too_large(f"{width} x {height} pixels")

    def decode(self) -> None:
        self._read_in_one_block()
        try:
            with one_block():
                self.image.load()
        except (Image.DecompressionBombError, Image.DecompressionBombWarning) as error:
            raise self._too_large(_pixel_count(error)) from None
        except Exception as error:
            raise InputError(f"{self.name}: corrupt or truncated image: {one_line(error)}") \
                from None
        self._check_size()  # some formats learn their true size only while decoding

    def _read_in_one_block(self) -> None:
        """For a file of ours on disk, one read and one decoder call (each without the lock)."""
        image = self.image
        if not isinstance(image, ImageFile.ImageFile) or image.fp is None:
            return
        try:
            size = os.fstat(image.fp.fileno()).st_size
        except (AttributeError, OSError, ValueError):  # in memory, a pipe, closed
            return
        if image.decodermaxblock < size:
            image.decodermaxblock = min(size, DECODER_BLOCK)

    @property
    def orientation(self) -> int:
        try:
            value = self.image.getexif().get(EXIF_ORIENTATION, 1)
        except Exception:  # unreadable EXIF: shown as stored, as viewers do
            return 1
        return value if value in range(1, 9) else 1

    @property
    def has_alpha(self) -> bool:
        return self.image.mode in ALPHA_MODES or "transparency" in self.image.info

    def lent_pixels(self) -> Optional["np.ndarray"]:
        """The decoded pixels where Pillow keeps them, read-only, as (height, width, 4) bytes
        with red, green and blue first, or (height, width, 3) for grey (one byte seen three
        times); None where this Pillow, mode or picture cannot lend them."""
        image = self.image
        export = getattr(image, "__arrow_c_array__", None)
        # A read-only picture's memory is not Pillow's own (a file mapped into memory, a
        # caller's buffer), and Pillow's export of such memory crashes the process.
        if export is None or image.readonly or image.mode not in LENDING_MODES or self.has_alpha:
            return None
        try:
            schema, array = export()
        except ValueError:  # in several blocks after all
            return None
        import numpy as np

        width, height = image.size
        return np.asarray(_native.lend_pixels(schema, array, height, width))

    def close(self) -> None:
        image = getattr(self, "image", None)
        if image is not None:
            image.close()
        Image.MAX_IMAGE_PIXELS = self._limit_before
        self._warnings.__exit__(None, None, None)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def levels(part: "Image.Image", alpha: bool, name: str) -> "np.ndarray":
    """A part of the picture as 8-bit (height, width, 3) RGB, or 4 channels with alpha."""
    import numpy as np

    try:
        if part.mode.startswith("I;16"):
            # 16-bit grey: scale to 8 bits rather than clip.
            part = part.convert("I").point(lambda value: value * (1 / 256))
        target = "RGBA" if alpha else "RGB"
        if part.mode != target:
            part = part.convert(target)
        return np.asarray(part)
    except Exception as error:
        raise InputError(f"{name}: cannot convert {part.mode} pixels to RGB: {one_line(error)}") \
            from None


def upright(array: "np.ndarray", orientation: int) -> "np.ndarray":
    """A view of a stored picture's first two axes as a viewer shows it, for an EXIF orientation."""
    if orientation == 2:
        return array[:, ::-1]
    if orientation == 3:
        return array[::-1, ::-1]
    if orientation == 4:
        return array[::-1]
    if orientation == 5:
        return array.swapaxes(0, 1)
    if orientation == 6:
        return array.swapaxes(0, 1)[:, ::-1]  # a quarter turn clockwise
    if orientation == 7:
        return array[::-1, ::-1].swapaxes(0, 1)
    if orientation == 8:
        return array.swapaxes(0, 1)[::-1]  # a quarter turn anticlockwise
    return array
