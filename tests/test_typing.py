"""Type checkers see the installed package's signature: a caller's mistakes
are reported, a right call passes. Both run against this interpreter's
site-packages, from a directory outside the source tree."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.packaging

RIGHT = """\
from tervalo_ext import sixel_encode_bytes

stream: bytes = sixel_encode_bytes(b"\\xff\\x00\\x00", 1, 1)
stream = sixel_encode_bytes(pixel_data=b"", width=640, height=480)
"""

# Each line is wrong in one argument or in the result; the checkers must name
# the line, so one report cannot hide another.
WRONG = """\
from tervalo_ext import sixel_encode_bytes

a = sixel_encode_bytes("rgb", 1, 1)
b = sixel_encode_bytes(b"", 1.5, 1)
c = sixel_encode_bytes(b"", 1, None)
d: str = sixel_encode_bytes(b"", 1, 1)
e = sixel_encode_bytes(b"", 1, 1, 3)
f = sixel_encode_bytes(b"", 1, depth=1)
"""
WRONG_LINES = {3, 4, 5, 6, 7, 8}


PACKAGE_RIGHT = """\
import asyncio
from concurrent.futures import Future

import numpy as np
from matplotlib.figure import Figure
from PIL import Image

import tervalo
from tervalo import EncoderPool
from tervalo.motion import Playback

stream: bytes = tervalo.encode(Image.new("RGB", (4, 4)))
stream = tervalo.encode(np.zeros((4, 4, 3), np.uint8), background="#fff", max_size=(100, None))
stream = tervalo.encode(Figure(), background=(0, 0, 0), max_size=None)
with EncoderPool(2) as pool:
    future: Future[bytes] = pool.submit(Image.new("L", (2, 2)), max_size=(None, 10))
    streams: list[bytes] = list(pool.map([np.zeros((2, 2), bool)], background="white"))
    pool.shutdown(wait=False, cancel_futures=True)
played: Playback = tervalo.play(iter([Figure()]), durations=[0.5], loop=0, fit=False)
with tervalo.live(max_size=(100, None), pool=EncoderPool(1)) as view:
    view.show(np.zeros((2, 2), bool))


async def later(pool: EncoderPool) -> bytes:
    return await asyncio.wrap_future(pool.submit(np.zeros((2, 2), np.uint8)))
"""

PACKAGE_WRONG = """\
import numpy as np

import tervalo
from tervalo import EncoderPool

a = tervalo.encode(b"\\x00\\x00\\x00")
b = tervalo.encode(np.zeros((2, 2)), background=(1, 2))
c = tervalo.encode(np.zeros((2, 2)), max_size=100)
d: str = tervalo.encode(np.zeros((2, 2)))
e = tervalo.encode(np.zeros((2, 2)), (255, 255, 255))
f = EncoderPool(processes="2")
g: list[str] = list(EncoderPool().map([np.zeros((2, 2))]))
h: int = EncoderPool().submit(np.zeros((2, 2))).result()
i = EncoderPool().submit(np.zeros((2, 2)), quality=3)
j = tervalo.play([np.zeros((2, 2))], fps="25")
k: int = tervalo.play([np.zeros((2, 2))])
m = tervalo.live().show(b"")
"""
PACKAGE_WRONG_LINES = set(range(6, 18))

NATIVE_RIGHT = """\
from tervalo._sixel import DIFFUSE_NONE, Dither, encode

stream: bytes = encode(b"\\xff\\x00\\x00", 1, 1, threads=2)
kept = Dither.from_pixels(b"\\xff\\x00\\x00", 1, 1, colours=16, diffusion=DIFFUSE_NONE)
stream = kept.encode(b"\\xff\\x00\\x00", 1, 1)
scene_changed: bool = kept.mismatch(b"\\x00" * 3, 1, 1) > 2 * kept.fit
palette: bytes = Dither(kept.palette).palette
"""

NATIVE_WRONG = """\
from tervalo._sixel import Dither, encode

a = encode(b"", 1, 1, 2)
b = encode(b"", 1.5, 1)
c: str = Dither(b"\\x00" * 3).encode(b"", 1, 1)
d = Dither.from_pixels(b"", 1, 1, 16)
e: int = Dither(b"\\x00" * 3).fit
f = Dither(b"\\x00" * 3, diffusion="fs")
"""
NATIVE_WRONG_LINES = set(range(3, 9))

CALLERS = {"module": (RIGHT, WRONG, WRONG_LINES),
           "native": (NATIVE_RIGHT, NATIVE_WRONG, NATIVE_WRONG_LINES),
           "package": (PACKAGE_RIGHT, PACKAGE_WRONG, PACKAGE_WRONG_LINES)}


def _checker(name):
    path = Path(sys.executable).with_name(name)
    if not path.exists():
        pytest.skip(f"{name} is not installed beside this interpreter (the test extra has it)")
    return str(path)


def run_mypy(script):
    return subprocess.run([_checker("mypy"), "--strict", "--no-incremental", "--python-executable",
                           sys.executable, script.name], cwd=script.parent,
                          capture_output=True, text=True)


def run_pyright(script):
    return subprocess.run([_checker("pyright"), "--pythonpath", sys.executable, script.name],
                          cwd=script.parent, capture_output=True, text=True)


def lines_reported(output, script):
    """Line numbers of the errors the checker printed for `script`."""
    # mypy: "caller.py:4: error: ..."; pyright: "  /x/caller.py:4:25 - error: ..."
    pattern = re.escape(script.name) + r":(\d+)(?::\d+)?(?::| -) error"
    return {int(n) for n in re.findall(pattern, output)}


@pytest.mark.parametrize("callers", [
    pytest.param(callers, id=name, marks=[pytest.mark.tervalo] if name != "module" else [])
    for name, callers in CALLERS.items()])
@pytest.mark.parametrize("run", [run_mypy, run_pyright], ids=["mypy", "pyright"])
def test_type_checkers_check_callers(run, callers, tmp_path):
    right_text, wrong_text, wrong_lines = callers
    right = tmp_path / "right_caller.py"
    right.write_text(right_text)
    result = run(right)
    assert result.returncode == 0, result.stdout + result.stderr

    wrong = tmp_path / "wrong_caller.py"
    wrong.write_text(wrong_text)
    result = run(wrong)
    assert result.returncode != 0
    assert lines_reported(result.stdout, wrong) == wrong_lines, result.stdout


def test_stub_package_is_installed_and_matches_the_module():
    import tervalo_ext

    stubs = Path(tervalo_ext.__file__).with_name("tervalo_ext-stubs") / "__init__.pyi"
    text = stubs.read_text()
    assert "def sixel_encode_bytes(pixel_data: bytes, width: int, height: int) -> bytes:" in text
    assert tervalo_ext.sixel_encode_bytes.__doc__.splitlines()[-1].strip() in text
