"""Installing tonesift like any package: wheel, sdist, type stub."""
import hashlib
import importlib.metadata
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

import behaviour_suite
from conftest import BUILD_DIR, MODULE_FILE

ROOT = Path(__file__).resolve().parents[2]
STUB_DIR = ROOT / "src"
TYPING = ROOT / "tests" / "typing"
EXTENSION = sysconfig.get_config_var("EXT_SUFFIX")  # ".cpython-38-x86_64-linux-gnu.so"
WHEEL_FILES = {f"tonesift{EXTENSION}", "tonesift.pyi",
               "tonesift-stubs/__init__.pyi", "tonesift_image/__init__.py",
               "tonesift_image/__init__.pyi", "tonesift_image/py.typed",
               f"tonesift_image/_native{EXTENSION}",
               "tonesift_image/__main__.py", "tonesift_image/command.py",
               "tonesift_image/data/astronaut.png", "tonesift_image/data/README.md",
               *(f"tonesift_image/{path.name}"
                 for path in (STUB_DIR / "tonesift_image").glob("_[a-z]*.py"))}
INSTALLED_FILES = WHEEL_FILES


SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                       "PYTHONMALLOC")


def run(*command, cwd=None, env=None, sanitized=False):
    """Runs a tool. Compilers and pip run without a sanitizer run's preloaded runtime; a tool
    that imports the (possibly sanitized) module keeps it, minus leak checks of the tool itself."""
    environment = dict(os.environ)
    if sanitized:
        if "ASAN_OPTIONS" in environment:
            environment["ASAN_OPTIONS"] += ":detect_leaks=0"
    else:
        for name in SANITIZER_VARIABLES:
            environment.pop(name, None)
    environment.update(env or {})
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          cwd=cwd, env=environment, timeout=600)


def check(*command, **options):
    result = run(*command, **options)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result


def mypy(*arguments, **options):
    return run(sys.executable, "-m", "mypy", "--no-incremental", *arguments, **options)


@pytest.mark.parametrize("module", ["tonesift", pytest.param("tonesift_image",
                                                              marks=pytest.mark.pure_python)])
def test_stub_matches_the_module(module):
    result = run(sys.executable, "-m", "mypy.stubtest", module,
                 "--allowlist", TYPING / "stubtest-allowlist.txt", "--ignore-unused-allowlist",
                 env={"MYPYPATH": str(STUB_DIR), "PYTHONPATH": str(MODULE_FILE.parent)},
                 sanitized=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.pure_python
def test_stub_accepts_typical_use():
    result = mypy("--strict", TYPING / "usage.py", env={"MYPYPATH": str(STUB_DIR)})
    assert result.returncode == 0, result.stdout


@pytest.mark.pure_python
def test_stub_rejects_each_misuse():
    result = mypy(TYPING / "misuse.py", env={"MYPYPATH": str(STUB_DIR)})
    marked = [n for n, line in enumerate((TYPING / "misuse.py").read_text().splitlines(), 1)
              if "# error:" in line]
    found = sorted({int(m) for m in re.findall(r"misuse\.py:(\d+): error", result.stdout)})
    assert found == marked


def wheel_members(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return {name: hashlib.sha256(archive.read(name)).hexdigest()
                for name in archive.namelist()}


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """A wheel built from the clone, an sdist, and a wheel built from that sdist."""
    out = tmp_path_factory.mktemp("packages")
    offline = ("--no-build-isolation", "--no-deps", "--no-index")
    check(sys.executable, "-m", "pip", "wheel", "-q", *offline, ROOT, "-w", out / "clone")
    check(sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", out, ROOT)
    (sdist,) = out.glob("tonesift-*.tar.gz")
    check(sys.executable, "-m", "pip", "wheel", "-q", *offline, sdist, "-w", out / "sdist")
    (clone_wheel,) = (out / "clone").glob("*.whl")
    (sdist_wheel,) = (out / "sdist").glob("*.whl")
    return clone_wheel, sdist, sdist_wheel


@pytest.mark.pure_python
def test_sdist_holds_the_sources_and_no_build_output(packages):
    _, sdist, _ = packages
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert {"CMakeLists.txt", "pyproject.toml", "LICENSE", "README.md", "src/tonesift.pyi",
            "src/module/call_conventions.h", "src/classifier/colour_rules.cpp",
            "src/record/skin_type.cpp"} <= names
    assert not [n for n in names if n.startswith(("build", ".venv", ".git/", "dist"))
                or n.endswith((".so", ".o"))]


@pytest.mark.pure_python
def test_sdist_holds_only_what_git_tracks(tmp_path):
    if not (ROOT / ".git").exists():
        pytest.skip("not a git checkout")
    # A checkout of what is tracked now, committed or not.
    clone = tmp_path / "clone"
    for name in check("git", "ls-files", "-z", cwd=ROOT).stdout.split("\0")[:-1]:
        (clone / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, clone / name)
    check("git", "init", "-q", cwd=clone)
    check("git", "add", ".", cwd=clone)
    (clone / "mask.png").write_bytes(b"not ours")
    (clone / "src" / "record" / "scratch.cpp").write_text("// not ours\n")
    check(sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", tmp_path, clone)
    (sdist,) = tmp_path.glob("tonesift-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    tracked = set(check("git", "ls-files", cwd=clone).stdout.split())
    assert "mask.png" not in names and "src/record/scratch.cpp" not in names
    assert names - tracked == {"PKG-INFO"}
    assert {"CMakeLists.txt", "tools/tracked_sdist.py", "src/tonesift.pyi"} <= names


def install_tree(build_dir, *prefix, destdir=None):
    """The files `cmake --install` writes, relative to where they land."""
    check("cmake", "--install", build_dir, *prefix, env={"DESTDIR": str(destdir or "")})
    root = destdir or Path(prefix[-1])
    return {str(path.relative_to(root)) for path in root.rglob("*") if path.is_file()}


def python_layout(build_dir):
    cache = (Path(build_dir) / "CMakeCache.txt").read_text()
    python = re.search(r"^Python3_EXECUTABLE:\w+=(.*)$", cache, re.M).group(1)
    return check(python, "-c", "import sysconfig; print(sysconfig.get_config_var('platbase')); "
                 "print(sysconfig.get_paths()['platlib'])").stdout.split()


@pytest.mark.skipif(not BUILD_DIR, reason="needs the CMake build folder")
def test_cmake_install_puts_everything_under_the_prefix_given(tmp_path):
    platbase, platlib = python_layout(BUILD_DIR)
    relative = os.path.relpath(platlib, platbase)
    files = install_tree(BUILD_DIR, "--prefix", tmp_path / "opt")
    assert files == {f"{relative}/{name}" for name in INSTALLED_FILES}
    # The default prefix is the interpreter's own: its site-packages (under DESTDIR here).
    files = install_tree(BUILD_DIR, destdir=tmp_path / "stage")
    assert files == {f"{platlib.lstrip('/')}/{name}" for name in INSTALLED_FILES}


@pytest.mark.pure_python
def test_wheel_from_sdist_equals_wheel_from_clone(packages):
    clone_wheel, _, sdist_wheel = packages
    members = wheel_members(clone_wheel)
    assert {name for name in members if ".dist-info/" not in name} == WHEEL_FILES
    assert members == wheel_members(sdist_wheel)


@pytest.mark.pure_python
def test_metadata(packages):
    clone_wheel, _, _ = packages
    with zipfile.ZipFile(clone_wheel) as archive:
        metadata = archive.read("tonesift-0.1.0.dist-info/METADATA").decode()
    # No upper bound: pip on a newer interpreter would refuse us, or fall back to an old release.
    assert re.search(r"^Requires-Python: >=3\.8$", metadata, re.M)
    assert all(f"Programming Language :: Python :: 3.{minor}\n" in metadata
               for minor in range(8, 16))
    assert re.search(r"^License: MIT$", metadata, re.M)
    assert "Version: 0.1.0" in metadata
    assert re.search(r"^Provides-Extra: cli$", metadata, re.M)
    assert re.search(r"^Requires-Dist: pillow>=9\.1; extra == [\"']cli[\"']$", metadata,
                     re.M | re.I)
    with zipfile.ZipFile(clone_wheel) as archive:
        scripts = archive.read("tonesift-0.1.0.dist-info/entry_points.txt").decode()
    assert "tonesift-regions = tonesift_image.command:console_main" in scripts


@pytest.fixture(scope="module")
def portable_wheel(tmp_path_factory):
    """The sdist's wheel as it is published: compiled for old glibc, checked and tagged by
    auditwheel. The sdist is made here, so that a run of the C API's tests alone, on every
    version, builds no other wheel."""
    out = tmp_path_factory.mktemp("portable")
    check(sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", out / "sdist", ROOT)
    (sdist,) = (out / "sdist").glob("tonesift-*.tar.gz")
    check(sys.executable, ROOT / "tools" / "portable_wheel.py", sdist, "--no-isolation",
          "--out", out)
    (wheel,) = out.glob("*.whl")
    return wheel


@pytest.fixture(scope="module")
def installed(portable_wheel, tmp_path_factory):
    """A fresh virtual environment of this version with the portable wheel installed."""
    environment = tmp_path_factory.mktemp("installed") / "venv"
    check(sys.executable, "-m", "venv", environment)
    python = environment / "bin" / "python"
    # numpy, the one dependency, comes from the test environment's own download cache or index.
    check(python, "-m", "pip", "install", "-q", portable_wheel)
    return python


def test_portable_wheel_is_manylinux_2_28_or_older(portable_wheel):
    tags = portable_wheel.name[:-len(".whl")].split("-")[-1].split(".")
    assert tags and all(re.fullmatch(r"manylinux(_2_\d+|2014)_x86_64", tag) for tag in tags)
    shown = check(sys.executable, "-m", "auditwheel", "show", portable_wheel).stdout
    glibc = re.search(r'consistent with the following platform tag:\s*"manylinux_2_(\d+)_x86_64"',
                      shown)
    assert glibc and int(glibc.group(1)) <= 28, shown
    # Nothing was grafted in: the wheel needs no library beyond the system's own.
    members = {name for name in wheel_members(portable_wheel)
               if ".dist-info/" not in name and not name.endswith("/")}
    assert members == WHEEL_FILES


def test_wheel_installs_and_works_in_a_fresh_virtual_environment(installed, portable_wheel,
                                                                  tmp_path):
    python = installed
    environment = python.parents[1]
    away = tmp_path / "elsewhere"
    away.mkdir()
    output = check(python, "-c", "import tonesift, tonesift_image, os; "
                   "print(os.path.dirname(tonesift.__file__)); "
                   "print(tonesift.tonesift(200, 150, 120), tonesift.Skin(1, 1, 0, 10, 20, 0)"
                   "._replace(7).region, "
                   "len(tonesift_image.skin_regions([[1, 0, 1], [0, 0, 1]], connectivity=4)))",
                   cwd=away, env={"PYTHONPATH": ""}).stdout.split()
    assert str(Path(output[0]).resolve()).startswith(str(environment.resolve()) + os.sep)
    assert output[1:] == ["True", "7", "2"]
    # The command is installed; without its extra it says what to install.
    command = environment / "bin" / "tonesift-regions"
    result = run(command, cwd=away, env={"PYTHONPATH": ""})
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr == ("tonesift-regions: Pillow is needed: pip install Pillow "
                             "(or pip install 'tonesift[cli]')\n")
    # The extra's packages at the versions the test environment has, which pip has at hand:
    # the newest Pillow has no wheel for every version we test (3.13t), and would be compiled.
    pinned = (f"{name}=={importlib.metadata.version(name)}" for name in ("Pillow", "tqdm"))
    check(python, "-m", "pip", "install", "-q", f"{portable_wheel}[cli]", *pinned)
    for program in ([command], [python, "-m", "tonesift_image"]):
        report = check(*program, "--json", "--top", "1", cwd=away, env={"PYTHONPATH": ""}).stdout
        (image,) = json.loads(report)["images"]
        assert image["status"] == "ok" and image["width"] == 512 and image["skin_pixels"] > 0
    # The installed stub package is what mypy finds for the installed module.
    result = mypy("--python-executable", python, TYPING / "misuse.py", cwd=away)
    assert "Cannot find implementation" not in result.stdout and result.returncode == 1




def test_the_behaviour_suite_passes_against_the_installed_wheel(installed, tmp_path):
    import hypothesis
    import PIL
    import scipy

    # The whole-image tests compare with scipy's labelling and read photos with Pillow.
    check(installed, "-m", "pip", "install", "-q", f"pytest=={pytest.__version__}",
          f"hypothesis=={hypothesis.__version__}", f"scipy=={scipy.__version__}",
          f"Pillow=={PIL.__version__}")
    result = run(installed, "-m", "pytest", "-p", "no:cacheprovider", "--rootdir", ROOT,
                 *(ROOT / "tests" / "python" / name for name in behaviour_suite.FILES),
                 cwd=tmp_path,
                 env={"PYTHONPATH": "", "TONESIFT_BUILD_DIR": "", "TONESIFT_FUZZ_EXAMPLES": "300"})
    assert result.returncode == 0, result.stdout[-5000:] + result.stderr[-2000:]
    # The module under test was the installed one (the suite's header names it).
    header = re.search(r"^tonesift: (.*)$", result.stdout, re.M)
    assert header and header.group(1).startswith(str(installed.parents[1].resolve()) + os.sep)
    # ... and no part of the suite was skipped for want of what it imports.
    assert "could not import" not in result.stdout
