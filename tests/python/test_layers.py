"""The package's modules import one way: each only from those below it, and nothing from the
command. Read from the sources with ast, so it needs nothing built."""
import ast
from pathlib import Path

import pytest

pytestmark = pytest.mark.pure_python

PACKAGE = Path(__file__).resolve().parents[2] / "src" / "tonesift_image"
# Lowest first. The package's __init__ is its front: it may import any layer but the command,
# and no layer imports it.
LAYERS = ["_version", "_native", "_arrays", "_errors", "_storage", "_inputs", "_progress",
          "_reading", "_video", "_analysis", "_pictures", "_records", "_tasks", "_engines", "_batches",
          "_jsonl", "_parquet", "_outputs", "_api", "command", "__main__"]


def imported(path):
    """(line, module of the package) for every import in a file, those inside functions too."""
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom) and node.level == 0:
            if (node.module or "").split(".")[0] == PACKAGE.name:
                yield node.lineno, (node.module.split(".") + ["__init__"])[1]
        elif isinstance(node, ast.ImportFrom):
            if node.module:
                yield node.lineno, node.module.split(".")[0]
            else:
                for alias in node.names:
                    yield node.lineno, alias.name if alias.name in LAYERS else "__init__"
        elif isinstance(node, ast.Import):
            for alias in node.names:
                parts = alias.name.split(".")
                if parts[0] == PACKAGE.name:
                    yield node.lineno, (parts + ["__init__"])[1]


def wrong_imports(folder):
    wrong = []
    for path in sorted(folder.glob("*.py")):
        name = path.stem
        for line, target in imported(path):
            allowed = (target != "command" and target != "__main__" if name == "__init__"
                       else target in LAYERS[:LAYERS.index(name)])
            if not allowed:
                wrong.append(f"{path.name}:{line} imports {target}")
    return wrong


def test_every_module_is_a_layer():
    modules = {path.stem for path in PACKAGE.glob("*.py")} - {"__init__"}
    assert modules == set(LAYERS) - {"_native"}


def test_imports_go_one_way(tmp_path):
    assert wrong_imports(PACKAGE) == []
    # The check itself catches an import upwards, one of the front, and one inside a function.
    for name, source in (("_arrays", "from ._api import read_records\n"),
                         ("_reading", "from . import find_skin_regions\n"),
                         ("_records", "def f():\n    import tonesift_image.command\n")):
        (tmp_path / f"{name}.py").write_text(source)
    assert len(wrong_imports(tmp_path)) == 3
