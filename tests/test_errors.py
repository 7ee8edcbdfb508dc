"""Refused inputs and resource failures: each raises the documented
exception before any harm, and the module keeps working afterwards."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import few_colour, not_under_asan

from tervalo_ext import sixel_encode_bytes

HERE = Path(__file__).parent
SMALL = few_colour(9, 7)
SMALL_STREAM = sixel_encode_bytes(SMALL, 9, 7)
LIMIT = 2**31 - 1


@pytest.mark.parametrize("pixels, width, height, message", [
    (SMALL, 0, 7, "width and height must be positive, got width=0, height=7"),
    (SMALL, 9, 0, "got width=9, height=0"),
    (SMALL, -3, -5, "got width=-3, height=-5"),
    (SMALL, -(2**31), 2**31 - 1, r"got width=-2147483648, height=2147483647"),
    (b"", 715827883, 1, rf"= 2147483649 bytes exceeds the limit of {LIMIT} bytes"),
    (b"", LIMIT, LIMIT, f"= 13835058042397261827 bytes exceeds the limit of {LIMIT} bytes"),
    # Exactly at the limit the size passes and the buffer length decides.
    (b"", 715827882, 1, r"pixel_data holds 0 bytes, but width \* height \* 3 = 2147483646"),
    (SMALL[:-1], 9, 7, r"pixel_data holds 188 bytes, but width \* height \* 3 = 189 bytes"),
])
def test_refused_with_value_error(pixels, width, height, message):
    with pytest.raises(ValueError, match=message):
        sixel_encode_bytes(pixels, width, height)
    assert sixel_encode_bytes(SMALL, 9, 7) == SMALL_STREAM


def test_longer_buffer_uses_its_prefix():
    assert sixel_encode_bytes(SMALL + b"\x01" * 100, 9, 7) == SMALL_STREAM


def test_libsixel_allocation_cap_raises_memory_error():
    # Over 5.3 million colourful pixels in one row: libsixel refuses its
    # colours-by-width table (over its 1.34 GB allocation cap).
    width = 5_400_000
    pixels = np.random.default_rng(3).integers(0, 256, width * 3, dtype=np.uint8).tobytes()
    with pytest.raises(MemoryError, match=r"sixel_encode failed: .*bad allocation"):
        sixel_encode_bytes(pixels, width, 1)
    assert sixel_encode_bytes(SMALL, 9, 7) == SMALL_STREAM


@pytest.fixture(scope="module")
def failing_alloc(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the allocation-failure shim")
    lib = tmp_path_factory.mktemp("shim") / "failing_alloc.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(lib),
                    str(HERE / "failing_alloc.c")], check=True)
    return lib


WALK = r"""
import ctypes, json, sys
from conftest import few_colour, photo_like
from tervalo_ext import sixel_encode_bytes as encode
shim = ctypes.CDLL(None)
ALL = 7  # malloc, calloc and realloc

def attempt(args, skip, obj=b"tervalo_ext"):
    assert shim.fail_alloc_arm(obj, ALL, skip)
    before = shim.fail_alloc_refused()
    try:
        outcome = "ok" if encode(*args) == expected else "wrong stream"
    except Exception as e:
        outcome = f"{type(e).__name__}: {e}"
    shim.fail_alloc_disarm()
    recovered = encode(*args) == expected
    return outcome, shim.fail_alloc_refused() - before, recovered

report = {"refused_inputs": [], "walk": []}
for make in (few_colour, photo_like):
    args = (make(300, 200), 300, 200)
    expected = encode(*args)
    for bad in [(args[0], 0, 5), (b"", 2**20, 2**20), (args[0][:-1], 300, 200)]:
        for obj in (b"tervalo_ext", b"libsixel"):
            shim.fail_alloc_arm(obj, ALL, 0)
            before = shim.fail_alloc_refused()
            try:
                encode(*bad)
            except ValueError:
                pass
            shim.fail_alloc_disarm()
            report["refused_inputs"].append(shim.fail_alloc_refused() - before)
    skip = 0
    while True:
        outcome, refused, recovered = attempt(args, skip)
        if not refused:
            report["walk"].append(["end", outcome, recovered])
            break
        report["walk"].append([skip, outcome, recovered])
        skip += 1
print(json.dumps(report))
"""


@not_under_asan("the shim's malloc cannot take over from ASan's")
def test_every_refused_allocation_raises_memory_error(failing_alloc):
    """Refuses, one at a time, every allocation an encode makes (pixel copy,
    each of libsixel's, each growth of the output) in a preloaded process."""
    env = dict(os.environ, LD_PRELOAD=str(failing_alloc),
               PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run([sys.executable, "-c", WALK], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    # Refused inputs are refused before a single allocation is attempted.
    assert set(report["refused_inputs"]) == {0}
    steps = [s for s in report["walk"] if s[0] != "end"]
    assert [s[1:] for s in report["walk"] if s[0] == "end"] == [["ok", True]] * 2
    assert all(recovered for _, _, recovered in steps)
    outcomes = [o for _, o, _ in steps]
    assert all(o.startswith("MemoryError: ") for o in outcomes), set(outcomes)
    assert len(steps) > 100
    for expected in ["for the pixel copy", "libsixel ran out of memory",
                     "sixel output beyond 0 bytes", "sixel output beyond 16384 bytes",
                     "sixel output beyond 32768 bytes"]:
        assert any(expected in o for o in outcomes), expected
