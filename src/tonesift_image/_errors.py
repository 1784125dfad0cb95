"""The problems a run reports in one line each, and how they are worded."""


def install(package: str, extra: str) -> str:
    """How to get a missing dependency: the package itself, and the extra of ours that has it."""
    return f"pip install {package} (or pip install 'tonesift[{extra}]')"


class InputError(Exception):
    """A problem with one input or output file, reported as one line."""


class NotAPicture(InputError):
    """An input that Pillow does not read as a picture: it may be a clip."""


class OutputError(Exception):
    """An output that cannot be written or resumed, as one line."""


class ClusterError(Exception):
    """A cluster that cannot run this work (unreachable, or workers without the same tonesift)."""


# What a file that cannot be opened is, in the words of its one-line report.
_FILE_ERROR_WORDS = {FileNotFoundError: "no such file", IsADirectoryError: "is a directory",
                     PermissionError: "permission denied"}
FILE_ERRORS = tuple(_FILE_ERROR_WORDS)


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def file_error(name: str, error: OSError) -> InputError:
    words = next((words for kind, words in _FILE_ERROR_WORDS.items() if isinstance(error, kind)),
                 None)
    return InputError(f"{name}: {words or one_line(error)}")
