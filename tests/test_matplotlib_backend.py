"""The matplotlib backend and the other places Python users look at
pictures, as applications meet them: found by its short name through
matplotlib's entry points; in a real IPython on a terminal, drawing each
cell's figures when the cell ends, and the pictures a cell shows; Pillow's
Image.show()."""

import re
import subprocess
import sys

import pytest
from conftest import CHILDREN
from fake_terminal import DA1, VT340, XTERM, on_pty

pytestmark = pytest.mark.tervalo

RASTER = re.compile(rb'\x1bPq"1;1;(\d+);(\d+)')


def rasters(out):
    return [(int(w), int(h)) for w, h in RASTER.findall(out)]


@pytest.mark.parametrize("name", ["tervalo", "module://tervalo.matplotlib"])
def test_the_backend_is_found_by_name(name):
    pytest.importorskip("matplotlib", minversion="3.9" if "://" not in name else None)
    code = ("import matplotlib, sys; matplotlib.use(sys.argv[1]); import matplotlib.pyplot as plt;"
            "print(type(plt.figure(figsize=(1, 1)).canvas).__module__, file=sys.stderr);"
            "plt.show()")
    run = subprocess.run([sys.executable, "-c", code, name], capture_output=True, check=True,
                         timeout=120)
    assert run.stderr == b"tervalo.matplotlib\n"
    assert rasters(run.stdout) == [(100, 100)]  # into a pipe: drawn at its own size


CELLS = [
    "%matplotlib tervalo",
    "import matplotlib.pyplot as plt; figure = plt.figure(figsize=(2, 1))",  # drawn at the end
    "plt.plot([1, 2]); plt.show()",                                 # drawn by show, once
    "small = plt.figure(figsize=(1, 1)); small.show()",              # by Figure.show, once
    "print('open:', plt.get_fignums())",
    "exit",
]


@pytest.mark.parametrize("reply, force", [(VT340, None), (XTERM, None), (XTERM, "1")])
def test_ipython_draws_each_cells_figures_when_it_ends(tmp_path, reply, force):
    pytest.importorskip("IPython")
    # The answers play the user too: each cell is typed when its prompt
    # appears. input() writes the prompt to standard error, so that goes to
    # the terminal as well.
    answers = {DA1: reply, **{b"In [%d]: " % n: cell.encode() + b"\n"
                              for n, cell in enumerate(CELLS, 1)}}
    env = {"IPYTHONDIR": str(tmp_path), **({"TERVALO_FORCE": force} if force else {})}
    run = on_pty(["sh", "-c", 'exec "$@" 2>&1', "sh", sys.executable, "-m", "IPython",
                  "--simple-prompt", "--no-banner", "--colors=NoColor",
                  "--HistoryManager.enabled=False"], answers=answers, env=env, timeout=120)
    assert run.status == 0
    cells = re.split(rb"In \[\d+\]: ", run.out)[2:len(CELLS)]
    assert [c.split(b"\r\n", 1)[0].decode() for c in cells] == CELLS[1:-1]
    drawn = [rasters(cell) for cell in cells]
    warned = [cell.count(b"no sixel support") for cell in cells]
    if reply == XTERM and not force:
        assert drawn == [[]] * 4 and warned == [1, 1, 1, 0]
        assert all(b"set TERVALO_FORCE=1" in cell for cell in cells[:3])
    else:
        assert drawn == [[(200, 100)], [(392, 294)], [(100, 100)], []] and warned == [0] * 4
    # Drawn or not, what the user can no longer see is not kept.
    assert b"open: []" in cells[3]


def test_pause_without_sixels_warns_at_the_programs_line_naming_what_it_takes():
    code = "import matplotlib.pyplot as plt\nplt.plot([1, 2])\nplt.pause(0.01)\n"
    run = on_pty([sys.executable, "-c", code], answers={DA1: XTERM},
                 env={"MPLBACKEND": "module://tervalo.matplotlib"})
    assert run.status == 0 and b"\x1bP" not in run.out
    assert run.errors[0].startswith("<string>:3: UserWarning: tervalo: this terminal reports "
                                    "no sixel support")
    assert run.errors[0].endswith("; set TERVALO_FORCE=1 in the environment to draw anyway")


def ipython(cells, reply, tmp_path):
    """The output of each cell typed into IPython on a terminal answering `reply`."""
    pytest.importorskip("IPython")
    # The answers play the user too: each cell is typed when its prompt
    # appears. input() writes the prompt to standard error, so that goes to
    # the terminal as well.
    answers = {DA1: reply, **{b"In [%d]: " % n: cell.encode() + b"\n"
                              for n, cell in enumerate(cells, 1)}}
    run = on_pty(["sh", "-c", 'exec "$@" 2>&1', "sh", sys.executable, "-m", "IPython",
                  "--simple-prompt", "--no-banner", "--colors=NoColor",
                  "--HistoryManager.enabled=False"], answers=answers,
                 env={"IPYTHONDIR": str(tmp_path)}, timeout=120)
    assert run.status == 0
    return re.split(rb"In \[\d+\]: ", run.out)[2:len(cells)]


PICTURES = [
    "%load_ext tervalo",
    "from PIL import Image; Image.new('RGB', (60, 40), 'red')",
    "import io; png = io.BytesIO(); Image.new('RGB', (30, 20)).save(png, 'PNG'); "
    "display(type('Png', (), {'_repr_png_': lambda self: png.getvalue()})())",
    "from matplotlib.figure import Figure; Figure(figsize=(1, 1))",
    "exit",
]


@pytest.mark.parametrize("reply", [VT340, XTERM])
def test_ipython_draws_the_pictures_a_cell_shows(tmp_path, reply):
    cells = ipython(PICTURES, reply, tmp_path)
    drawn = [rasters(cell) for cell in cells]
    if reply == VT340:
        assert drawn == [[(60, 40)], [(30, 20)], [(100, 100)]]
        return
    # The text stays; why, once.
    assert drawn == [[], [], []] and b"<PIL.Image.Image image mode=RGB size=60x40" in cells[0]
    assert b"<__main__.Png at 0x" in cells[1]
    assert b"<Figure size 100x100 with 0 Axes>" in cells[2]
    assert [cell.count(b"pictures stay text in this IPython session")
            for cell in cells] == [1, 0, 0]


@pytest.mark.parametrize("reply, drawn, errors", [
    (VT340, [(60, 40)], []),
    (XTERM, [], ["fallback (60, 40)"]),   # declined: Pillow's next viewer
])
def test_image_show_draws_inline_where_the_terminal_can(reply, drawn, errors):
    run = on_pty([sys.executable, str(CHILDREN / "image_show.py")], answers={DA1: reply})
    assert run.status == 0 and run.errors == errors and rasters(run.out) == drawn
