"""The inputs of a run, by name: paths, folders, glob patterns, URLs, standard input ("-"),
and the built-in sample."""
import glob
import os
import re
from pathlib import Path
from typing import Any, List, Mapping, Set

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
