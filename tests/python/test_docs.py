"""The README and the documentation cannot drift: each example runs and prints what it shows, the
API reference has an entry for every public name, and the command's page every option.

In a page, ```pycon blocks are Python sessions (doctest, one namespace per page) and ```console
blocks shell sessions (`$ command`, then its output, stdout and stderr together; `...` stands
for any text). Each page runs in a folder of its own holding the sample photograph as
`photo.png` and `second.png`, its console blocks first, then its Python in a fresh interpreter.
```sh blocks are commands to type (installs, ./dev), shown but not run.
"""
import doctest
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tonesift
import tonesift_image
from tonesift_image.command import SAMPLE, build_parser

# The Python code alone, the same on every version: CI runs it on the oldest and the newest.
pytestmark = pytest.mark.pure_python

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
FENCE = re.compile(r"^```(pycon|console)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
CHECKER = doctest.OutputChecker()
# The pages' Python sessions, run by a fresh interpreter from a JSON list of (line, text).
SESSION = """
import doctest, json, sys

name = sys.argv[1]
parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
globs = {}
for line, text in json.load(sys.stdin):
    test = parser.get_doctest(text, globs, name, name, line - 1)
    runner.run(test, clear_globs=False)
    globs = test.globs
sys.exit(1 if runner.summarize(verbose=False).failed else 0)
"""


def blocks(page):
    text = page.read_text(encoding="utf-8")
    return [(kind, text.count("\n", 0, match.start()) + 2, body)
            for match in FENCE.finditer(text) for kind, body in [match.groups()]]


def commands(body):
    """(command, expected output) pairs of a console block."""
    pairs = []
    for line in body.splitlines(keepends=True):
        if line.startswith("$ "):
            pairs.append([line[2:].strip(), ""])
        else:
            pairs[-1][1] += line
    return pairs


@pytest.fixture
def folder(tmp_path):
    for name in ("photo.png", "second.png"):
        shutil.copy(SAMPLE, tmp_path / name)
    # The command as installed, from the build that this suite tests.
    (tmp_path / "bin").mkdir()
    launcher = tmp_path / "bin" / "tonesift-regions"
    launcher.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m tonesift_image "$@"\n')
    launcher.chmod(0o755)
    return tmp_path


@pytest.mark.parametrize("page", [page for page in PAGES if blocks(page)],
                         ids=lambda page: str(page.relative_to(ROOT)))
def test_examples_print_what_they_show(page, folder):
    found = blocks(page)
    python = [(line, body) for kind, line, body in found if kind == "pycon"]
    if any("distributed" in body for _, body in python) and \
            (importlib.util.find_spec("distributed") is None or
             "libasan" in os.environ.get("LD_PRELOAD", "")):
        pytest.skip("its examples need Dask, which is not installed or not under the sanitizer")
    # The modules this suite tests, whatever the folder the examples run in.
    modules = str(Path(tonesift_image.__file__).resolve().parents[1])
    environment = dict(os.environ, PATH=f"{folder / 'bin'}{os.pathsep}{os.environ['PATH']}",
                       PYTHONPATH=os.pathsep.join(filter(None, [modules,
                                                               os.environ.get("PYTHONPATH")])),
                       COLUMNS="80")
    for kind, line, body in found:
        if kind != "console":
            continue
        status = 0
        for command, expected in commands(body):
            if command == "echo $?":
                output = f"{status}\n"
            else:
                run = subprocess.run(["bash", "-c", command], cwd=folder, env=environment,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, timeout=120)
                status, output = run.returncode, run.stdout
            assert CHECKER.check_output(expected, output, doctest.ELLIPSIS), \
                f"{page.name}:{line}: $ {command}\nexpected:\n{expected}\ngot:\n{output}"
    if python:
        run = subprocess.run([sys.executable, "-c", SESSION, page.name], cwd=folder,
                             input=json.dumps(python), env=environment, capture_output=True,
                             text=True, timeout=300)
        assert run.returncode == 0, run.stdout + run.stderr


def test_after_the_demo_the_command_is_there_to_type(tmp_path):
    demo = subprocess.run([str(ROOT / "dev"), "demo", "--quiet", "--top", "1"], cwd=ROOT,
                          capture_output=True, text=True, timeout=900)
    assert demo.returncode == 0 and "skin pixels" in demo.stdout, demo.stderr
    said = re.search(r"^dev: on your own photos: (.+?) PHOTO\.\.\.", demo.stderr, re.M)
    assert said, demo.stderr
    if "TONESIFT_IN_CHROOT" not in os.environ:  # there, ./dev demo is the way in
        shutil.copy(SAMPLE, tmp_path / "photo.png")
        environment = {name: value for name, value in os.environ.items()
                       if name != "PYTHONPATH"}
        run = subprocess.run([str(ROOT / said.group(1)), "photo.png", "--top", "1"],
                             cwd=tmp_path, env=environment, capture_output=True, text=True,
                             timeout=120)
        assert run.returncode == 0 and run.stdout.startswith("photo.png\n"), run.stderr


def test_the_api_reference_has_every_public_name():
    text = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    entries = set(re.findall(r"(?:\{py:\w+\}|\.\. (?:auto|py:)\w+::) ([\w.]+)", text))
    # A directive's further signatures, one a line under the first, share its text.
    entries |= set(re.findall(r"^ {18}(tonesift[\w.]+)$", text, re.M))
    public = {f"tonesift.{name}" for name in dir(tonesift) if not name.startswith("_")}
    public |= {f"tonesift.Skin.{name}" for name in dir(tonesift.Skin)
               if not name.startswith("__")}
    public |= {f"tonesift_image.{name}" for name in tonesift_image.__all__}
    public |= {f"tonesift_image.Regions.{name}" for name in dir(tonesift_image.Regions)
               if not name.startswith("_")}
    # Entries of the first module's page section name their objects without the module.
    named = {entry if entry.startswith(("tonesift.", "tonesift_image.")) else f"tonesift.{entry}"
             for entry in entries}
    assert public - named == set()


def test_the_command_page_has_every_option():
    text = (ROOT / "docs" / "guide" / "command.md").read_text(encoding="utf-8")
    section = text[text.index("## Options"):text.index("\n## ", text.index("## Options") + 1)]
    # A definition's term is a line of its own, starting with the option in backticks.
    documented = {option for line in section.splitlines() if line.startswith("`")
                  for option in re.findall(r"`(-[-\w]*)", line)}
    options = {option for action in build_parser()._actions for option in action.option_strings}
    assert documented == options
