"""The package's layers: each a module that imports only those below it (no
circle, not even through an import inside a function), no module taking
another's underscore names, and a still picture that starts nothing it does
not need."""

import ast
import subprocess
import sys
from pathlib import Path

import pytest
from PIL import Image

pytestmark = pytest.mark.tervalo

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "tervalo"


def imports(path):
    """(module, name) of every `from tervalo... import name` in the file,
    wherever it stands; module None for `from tervalo import name`."""
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and (node.module or "").split(".")[0] == "tervalo":
            module = node.module.partition(".")[2] or None
            yield from ((module, alias.name) for alias in node.names)


def test_no_import_circle_and_no_underscore_name_across_modules():
    modules = {path.stem for path in PACKAGE.glob("*.py")} - {"__init__", "__main__"}
    below = {}
    taken = []
    for path in [*PACKAGE.glob("*.py"), *(ROOT / "bench").glob("*.py")]:
        here = path.stem if path.parent == PACKAGE else None
        for module, name in imports(path):
            used = module or (name if name in modules else None)
            if here in modules and used in modules and used != here:
                below.setdefault(here, set()).add(used)
            if module and module != here and name.startswith("_") and not name.startswith("__"):
                taken.append(f"{path.name}: {module}.{name}")
    assert taken == []

    def reaches(start, goal, seen=()):
        return any(step == goal or (step not in seen and reaches(step, goal, (*seen, step)))
                   for step in below.get(start, ()))

    assert [module for module in modules if reaches(module, module)] == []


def test_a_still_picture_imports_neither_numpy_nor_the_pool_nor_the_moving_pictures(tmp_path):
    path = tmp_path / "still.png"
    Image.new("RGB", (40, 30), (200, 30, 30)).save(path)
    probe = ("import sys, runpy; sys.argv = ['tervalo', sys.argv[1], '--output', sys.argv[2]];"
             "status = 0\ntry: runpy.run_module('tervalo', run_name='__main__')\n"
             "except SystemExit as end: status = end.code\n"
             "print(status, *sorted(m for m in sys.modules if m.split('.')[0] in "
             "('numpy', 'tervalo') and m.count('.') < 2))")
    run = subprocess.run([sys.executable, "-c", probe, str(path), str(tmp_path / "out")],
                         capture_output=True, text=True, check=True)
    status, *loaded = run.stdout.split()
    assert status == "0" and (tmp_path / "out").read_bytes().startswith(b"\x1bPq")
    assert not {"numpy", "tervalo.pool", "tervalo.motion", "tervalo._worker"} & set(loaded)
