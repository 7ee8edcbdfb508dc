"""Every code example of the site (docs/) and the README runs, so that none
can go stale. A page's ```python blocks run in order in one child
interpreter (a later block may use what an earlier one made), its ```ipython
blocks as cells of an IPython shell there, and its ```sh blocks line by line
with the viewer on PATH, all in a folder holding the sample files the
examples name; standard output is a pipe, so pictures come out as the sixel
streams themselves. A ```python block whose first line is `# NAME.py` is
that file, run by a command of the page. ```console blocks set machines up:
they are not run here, but each command is one that CI runs itself
(CI_RUNS). ```text blocks are what a program prints.

The API reference's examples are in docstrings: those of every object a page
renders (`::: name`) run as IPython cells on a terminal that draws sixels,
with the names they take as given (GIVEN)."""

import ast
import importlib
import inspect
import json
import os
import re
import shlex
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from conftest import CHILDREN
from fake_terminal import DA1, VT340, on_pty
from images import photo_like

pytestmark = pytest.mark.tervalo

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
FENCE = re.compile(r"^( *)```(\S*)\n(.*?)^\1```$", re.M | re.S)
KINDS = {"python", "ipython", "sh", "console", "text"}
FILE = re.compile(r"# (\w+\.py)\n")

# The commands a console block may show, and where CI runs each.
CI_RUNS = {
    "./scripts/show.sh": "scripts/chroot.sh, KIND readme",
    "./scripts/test.sh": ".ci/run; scripts/chroot.sh, KIND readme",
    "./scripts/nox.sh": ".ci/run runs the sessions (each checked to exist)",
    "./scripts/chroot.sh": "the distros and arm64 sessions",
    "apt-get": "scripts/system-packages.sh (each package checked in its table)",
    # A fresh venv the project installs into: tests/test_wheel.py, scripts/chroot.sh.
    "python3 -m venv .venv": "",
    ". .venv/bin/activate": "",
    "pip install": "(each extra checked to exist)",
}
# What the docstrings' examples take as given.
GIVEN = """\
import matplotlib.figure, numpy, tervalo
from PIL import Image
image = picture = Image.open("photo.jpg")
figure = matplotlib.figure.Figure(figsize=(2, 1))
frames = [numpy.full((24, 32, 3), level, numpy.uint8) for level in (0, 128, 255)]
training = range(3)
"""


def blocks(page):
    """(kind, line, code) of each fenced block of `page`."""
    text = page.read_text()
    for match in FENCE.finditer(text):
        code = textwrap.dedent(match[3]) if match[1] else match[3]
        yield match[2], text.count("\n", 0, match.start()) + 1, code


def make_samples(folder):
    from PIL import Image

    photo = Image.frombytes("RGB", (120, 80), photo_like(120, 80))
    for name in ("photo.jpg", "photo.png", "a.png", "b.jpg"):
        photo.save(folder / name)
    steps = [photo.rotate(angle) for angle in (0, 90, 180)]
    steps[0].save(folder / "anim.gif", save_all=True, append_images=steps[1:], duration=40,
                  loop=0)
    logo = photo.convert("RGBA")
    logo.putalpha(128)
    logo.save(folder / "logo.png")


def child_env():
    # The viewer and this interpreter first on PATH, as after activating the
    # venv. Run detached (a session of their own), the examples ask no terminal
    # the tests may have been started from.
    path = f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"
    return {**os.environ, "PATH": path, "MPLBACKEND": "agg"}


@pytest.mark.slow  # dozens of interpreters
@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_the_examples_of_each_page_run(page, tmp_path):
    found = list(blocks(page))
    assert {kind for kind, _, _ in found} <= KINDS, "a fence of a kind nobody runs"
    make_samples(tmp_path)
    where = page.relative_to(ROOT)
    code = []
    for kind, line, text in found:
        if kind == "python" and (name := FILE.match(text)):
            (tmp_path / name[1]).write_text(text)
            assert any(name[1] in t for k, _, t in found if k == "sh"), f"{name[1]} runs nowhere"
        elif kind in ("python", "ipython"):
            code.append((kind, f"{where}:{line}", text))
    if code:
        run = subprocess.run([sys.executable, str(CHILDREN / "doc_examples.py"), str(tmp_path),
                              json.dumps(code)], env=child_env(), stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=300, start_new_session=True)
        assert run.returncode == 0, run.stderr
    for kind, line, text in found:
        for command in shell_lines(text) if kind == "sh" else ():
            run = subprocess.run(["bash", "-c", command], cwd=tmp_path, env=child_env(),
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                                 start_new_session=True)
            context = f"{where}:{line}: {command}\n{run.stderr.decode(errors='replace')}"
            assert run.returncode == 0 and b"Traceback" not in run.stderr, context
        for command in shell_lines(text) if kind == "console" else ():
            check_ci_runs(command)


def shell_lines(text):
    """The commands of a shell block: its lines, continuations joined,
    comments and blanks left out."""
    joined = text.replace("\\\n", " ")
    return [line for line in joined.splitlines() if line.strip() and not line.startswith("#")]


def check_ci_runs(command):
    words = shlex.split(command, comments=True)
    while words and re.fullmatch(r"[A-Z_]+=\S*", words[0]):  # VARIABLE=value first
        words.pop(0)
    known = [c for c in CI_RUNS if words[:len(c.split())] == c.split()]
    assert known, f"{command!r} is none of the commands CI runs"
    if words[0] == "./scripts/nox.sh" and "-l" not in words:
        sessions = words[words.index("-s") + 1:]
        sessions = sessions[:sessions.index("--")] if "--" in sessions else sessions
        assert sessions and all(nox_session(s) for s in sessions), command
    elif words[0] == "apt-get" and words[1] == "install":
        table = (ROOT / "scripts" / "system-packages.sh").read_text()
        packages = [w for w in words[2:] if not w.startswith("-")]
        assert all(re.search(rf"(^|\s){re.escape(p)}\??(\s|$)", table, re.M) or
                   p.startswith("python3") for p in packages), command
    elif words[:2] == ["pip", "install"]:
        import tomllib  # 3.11: these tests run on the target CPython

        extras = re.findall(r"\.\[(\w+)\]", command)
        optional = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"][
            "optional-dependencies"]
        assert all(extra in optional for extra in extras), command


def nox_session(name):
    """Whether noxfile.py has a session `name`: its function's name (or
    name=) alone, with a Python version (tests-3.11) or a parameter
    (wheel(x86_64))."""
    tree = ast.parse((ROOT / "noxfile.py").read_text())
    for function in tree.body:
        for decorator in getattr(function, "decorator_list", []):
            if isinstance(decorator, ast.Call) and ast.unparse(decorator.func) == "nox.session":
                named = {k.arg: ast.literal_eval(k.value) for k in decorator.keywords
                         if k.arg == "name"}
                base = re.escape(named.get("name", function.name))
                if re.fullmatch(rf"{base}(-[\d.]+t?|\(\w+\))?", name):
                    return True
    return False


def rendered():
    """The objects that the API reference renders (`::: name`)."""
    for page in sorted((ROOT / "docs").rglob("*.md")):
        yield from re.findall(r"^::: ([\w.]+)", page.read_text(), re.M)


def docstring_examples(name):
    """The examples (blocks indented by four) in the docstrings of `name`
    and of the public objects in it, as mkdocs.yml renders them."""
    try:
        target = importlib.import_module(name)
    except ModuleNotFoundError:
        module, _, attribute = name.rpartition(".")
        target = getattr(importlib.import_module(module), attribute)
    found, seen = [target], set()
    while found:
        item = found.pop(0)
        if id(item) in seen:
            continue
        seen.add(id(item))
        doc = inspect.cleandoc(item.__doc__ or "")
        for block in re.findall(r"(?:^|\n)\n((?:    .*(?:\n|$))+)", doc):
            yield textwrap.dedent(block)
        if inspect.ismodule(item) or inspect.isclass(item):
            home = item.__name__ if inspect.ismodule(item) else item.__module__
            found += [member for key, member in vars(item).items() if not key.startswith("_")
                      and getattr(member, "__module__", home) == home
                      and (inspect.isclass(member) or inspect.isroutine(member))]


@pytest.mark.parametrize("name", sorted(set(rendered())))
def test_the_examples_of_each_rendered_docstring_run(name, tmp_path):
    examples = list(docstring_examples(name))
    if not examples:
        return
    make_samples(tmp_path)
    code = [("ipython", f"{name}:0", GIVEN), *(("ipython", f"{name}:0", e) for e in examples)]
    run = on_pty([sys.executable, str(CHILDREN / "doc_examples.py"), str(tmp_path),
                  json.dumps(code)],
                 answers={DA1: VT340}, env={"MPLBACKEND": "agg"}, timeout=120)
    assert run.status == 0, "\n".join(run.errors)
