"""The project's build backend: scikit-build-core's, except that an sdist made in a git checkout
holds only what git tracks, plus the PKG-INFO the backend writes, and never a stray file lying in
the clone (a mask a user wrote, an editor's backup). Elsewhere, say in an unpacked sdist, the
backend's own choice stands."""
import gzip
import io
import os
import shutil
import subprocess
import tarfile
import tempfile
from pathlib import Path

from scikit_build_core import build as _backend
from scikit_build_core.build import *  # noqa: F401,F403  every other hook as it is

GENERATED = {"PKG-INFO"}


def _git(*arguments):
    return subprocess.run(["git", *arguments], capture_output=True, check=True,
                          text=True).stdout


def _tracked_files():
    """The tracked paths when the current folder is the top of a git checkout, else None."""
    try:
        top = _git("rev-parse", "--show-toplevel").strip()
        if Path(top).resolve() != Path.cwd().resolve():
            return None  # a tree inside someone else's checkout: git does not describe it
        return set(_git("ls-files", "-z").split("\0")) - {""}
    except (OSError, subprocess.CalledProcessError):
        return None


def _keep_only(sdist, keep):
    """Rewrites the sdist without the members outside `keep`, byte for byte otherwise."""
    data = sdist.read_bytes()
    mtime = int.from_bytes(data[4:8], "little")  # the gzip header's, so builds stay reproducible
    output = io.BytesIO()
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as source, \
            gzip.GzipFile(fileobj=output, mode="wb", mtime=mtime) as compressed, \
            tarfile.open(fileobj=compressed, mode="w", format=source.format) as target:
        for member in source.getmembers():
            path = member.name.split("/", 1)[1] if "/" in member.name else ""
            if member.isdir() or path in keep:
                target.addfile(member, source.extractfile(member) if member.isfile() else None)
    sdist.write_bytes(output.getvalue())


def build_sdist(sdist_directory, config_settings=None):
    tracked = _tracked_files()
    if tracked is None:
        return _backend.build_sdist(sdist_directory, config_settings)
    # The backend walks every file below the folder before it filters them, build folders and
    # virtual environments included (hundreds of thousands in a working clone): it is given a
    # copy of the tracked files alone.
    sdist_directory = os.path.abspath(sdist_directory)
    with tempfile.TemporaryDirectory(prefix="tonesift-sdist-") as scratch:
        for path in tracked:
            if os.path.lexists(path):
                target = Path(scratch, path)
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(path, target, follow_symlinks=False)
        here = os.getcwd()
        os.chdir(scratch)
        try:
            name = _backend.build_sdist(sdist_directory, config_settings)
        finally:
            os.chdir(here)
    _keep_only(Path(sdist_directory) / name, tracked | GENERATED)
    return name
