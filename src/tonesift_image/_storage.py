"""Where inputs and outputs live: local paths, or fsspec URLs (s3://, gs://, memory://, ...),
whose file systems are imported only when a URL is met."""
import re
from typing import Any, Mapping

from ._errors import FILE_ERRORS, InputError, OutputError, file_error, install, one_line

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")


def is_url(name: str) -> bool:
    return bool(_URL.match(name))


def open_url(name: str, storage_options: Mapping[str, Any]):
    """An open binary file of an fsspec URL."""
    try:
        import fsspec  # type: ignore[import-untyped, import-not-found]
    except ImportError:
        raise InputError(f"{name}: reading URLs needs fsspec: {install('fsspec', 'cluster')}") \
            from None
    try:
        return fsspec.open(name, "rb", **storage_options).open()
    except FILE_ERRORS as error:
        raise file_error(name, error) from None
    except Exception as error:  # an unknown protocol, a missing back end, the network
        raise InputError(f"{name}: cannot open: {one_line(error)}") from None


def file_system(target: str, storage_options: Mapping[str, Any], error=OutputError,
                doing: str = "writing to"):
    """(fsspec file system, path) for a URL; (None, target) for a local path. Problems are
    raised as `error` (OutputError or InputError), saying what was being done."""
    if not is_url(target):
        return None, target
    try:
        from fsspec.core import url_to_fs  # type: ignore[import-untyped, import-not-found]
    except ImportError:
        raise error(f"{target}: {doing} URLs needs fsspec: "
                    f"{install('fsspec', 'cluster')}") from None
    try:
        return url_to_fs(target, **storage_options)
    except Exception as problem:
        raise error(f"{target}: {one_line(problem)}") from None
