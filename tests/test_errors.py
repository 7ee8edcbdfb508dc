"""Refused inputs and resource failures: each raises the documented
exception before any harm, and the module keeps working afterwards."""

import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest
import support
from conftest import not_under_asan
from support import (
    REFUSED_VALUES,
    SIXEL_BAD_ALLOCATION,
    SIXEL_BAD_INPUT,
    few_colour,
    libsixel_steps,
)

from tervalo_ext import sixel_encode_bytes

SMALL = few_colour(9, 7)
SMALL_STREAM = sixel_encode_bytes(SMALL, 9, 7)


@pytest.mark.parametrize("args, message", REFUSED_VALUES)
def test_refused_with_value_error(args, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        sixel_encode_bytes(*args)
    assert sixel_encode_bytes(SMALL, 9, 7) == SMALL_STREAM


def test_longer_buffer_uses_its_prefix():
    assert sixel_encode_bytes(SMALL + b"\x01" * 100, 9, 7) == SMALL_STREAM


@pytest.mark.slow
def test_huge_row_fails_as_libsixel_fails():
    # Over 5.3 million colourful pixels in one row. libsixel 1.10 refuses its
    # colours-by-width table (over its 1.34 GB allocation cap): MemoryError.
    # 1.8 has no such cap but rejects the row in sixel_encode as bad input:
    # ValueError. Either way the module reports what libsixel reports.
    width = 5_400_000
    pixels = np.random.default_rng(3).integers(0, 256, width * 3, dtype=np.uint8).tobytes()
    statuses, _ = libsixel_steps(pixels, width, 1)
    assert statuses[:3] == [0, 0, 0] and len(statuses) == 4, [hex(s) for s in statuses]
    expected = {SIXEL_BAD_ALLOCATION: (MemoryError, r"sixel_encode failed: .*bad allocation"),
                SIXEL_BAD_INPUT: (ValueError, r"sixel_encode failed: .*bad input detected")}
    assert statuses[3] in expected, f"libsixel's sixel_encode returned {statuses[3]:#x}"
    error, message = expected[statuses[3]]
    with pytest.raises(error, match=message + rf".* \(status {statuses[3]:#x}\)"):
        sixel_encode_bytes(pixels, width, 1)
    assert sixel_encode_bytes(SMALL, 9, 7) == SMALL_STREAM


def run_preloaded(script, shim, env, *args, cwd=None):
    run = subprocess.run([sys.executable, "-c", script, *map(str, args)], check=False, cwd=cwd,
                         env=dict(env, LD_PRELOAD=str(shim)), capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


WALK = r"""
import json
from support import (ALL_KINDS, few_colour, libsixel_file, module_file, photo_like,
                     preloaded_shim, refusal_walk)
from tervalo_ext import sixel_encode_bytes as encode
shim = preloaded_shim()
objects = (module_file(), libsixel_file())
report = {"refused_inputs": [], "steps": [], "last": []}
for make in (few_colour, photo_like):
    args = (make(300, 200), 300, 200)
    expected = encode(*args)
    for bad in [(args[0], 0, 5), (b"", 2**20, 2**20), (args[0][:-1], 300, 200)]:
        for obj in objects:
            assert shim.fail_alloc_arm(obj, ALL_KINDS, 0), obj
            before = shim.fail_alloc_refused()
            try:
                encode(*bad)
            except ValueError:
                pass
            shim.fail_alloc_disarm()
            report["refused_inputs"].append(shim.fail_alloc_refused() - before)
    steps, last = refusal_walk(shim, encode, args, expected)
    report["steps"] += steps
    report["last"].append(last)
print(json.dumps(report))
"""


@pytest.mark.slow
@not_under_asan("the shim's malloc cannot take over from ASan's")
def test_every_refused_allocation_raises_memory_error(failing_alloc, harness_env):
    """Refuses, one at a time, every allocation an encode makes (pixel copy,
    each of libsixel's, each growth of the output) in a preloaded process."""
    report = run_preloaded(WALK, failing_alloc, harness_env)
    # Refused inputs are refused before a single allocation is attempted.
    assert set(report["refused_inputs"]) == {0}
    assert report["last"] == ["ok", "ok"]
    steps = report["steps"]
    assert all(recovered for _, recovered in steps)
    outcomes = [o for o, _ in steps]
    assert all(o.startswith("MemoryError: ") for o in outcomes), set(outcomes)
    assert len(steps) > 100
    for expected in ["for the pixel copy", "libsixel ran out of memory",
                     "sixel output beyond 0 bytes", "sixel output beyond 16384 bytes",
                     "sixel output beyond 32768 bytes"]:
        assert any(expected in o for o in outcomes), expected


COUNT = r"""
import json
from support import KINDS, libsixel_encode, libsixel_file, preloaded_shim
from tervalo_ext import sixel_encode_bytes
shim = preloaded_shim()
CALLS = {"malloc": 1, "calloc": 2, "realloc": 4, "free": 8}
LIBSIXEL = libsixel_file()  # loaded before counting: the module's own copy

def heap_calls_from_libsixel(encode, args):
    assert shim.fail_alloc_count(LIBSIXEL, 15)
    stream = encode(*args)
    shim.fail_alloc_count(None, 0)
    return {name: shim.fail_alloc_calls(kind) for name, kind in CALLS.items()}, stream

report = {}
for kind, make in KINDS.items():
    for width, height in [(300, 200), (640, 480)]:
        args = (make(width, height), width, height)
        module, stream = heap_calls_from_libsixel(sixel_encode_bytes, args)
        direct, (reference, _) = heap_calls_from_libsixel(libsixel_encode, args)
        report[f"{kind} {width}x{height}"] = [module, direct, stream == reference]
print(json.dumps(report))
"""


@not_under_asan("the shim's malloc cannot take over from ASan's")
def test_libsixel_allocates_only_from_the_module_heap(failing_alloc, harness_env):
    """The module gives libsixel an allocator built on its own heap, so a
    good encode makes libsixel call malloc, calloc and realloc not once
    itself. Driven directly with its default allocator, libsixel does call
    them: that shows the shim sees libsixel's calls at all."""
    report = run_preloaded(COUNT, failing_alloc, harness_env)
    assert len(report) == 4
    for image, (module, direct, same_stream) in report.items():
        assert same_stream, image
        assert direct["malloc"] + direct["calloc"] > 0 and direct["free"] > 0, (image, direct)
        # A constructor handed a null allocator makes libsixel build its
        # default one, on malloc, and allocate from it.
        allocations = {name: module[name] for name in ("malloc", "calloc", "realloc")}
        assert allocations == {"malloc": 0, "calloc": 0, "realloc": 0}, (
            f"{image}: libsixel allocated outside the module's heap {allocations}: "
            "is an allocator missing from sixel_dither_new or sixel_output_new?")
        # Frees are not compared: the heap's release ends in a tail call to
        # free, whose return address is then libsixel's.


TRACK = r"""
import json
from support import few_colour, module_file, noisy_gradient, preloaded_shim, refusal_walk
from tervalo_ext import sixel_encode_bytes as encode
shim = preloaded_shim()
report = []
for make in (few_colour, noisy_gradient):
    args = (make(40, 30), 40, 30)
    expected = encode(*args)
    assert shim.fail_alloc_track(module_file())
    steps, last = refusal_walk(shim, encode, args, expected)
    report.append({"steps": steps, "last": last, "live": shim.fail_alloc_live()})
    shim.fail_alloc_track(None)
print(json.dumps(report))
"""


@not_under_asan("the shim's malloc cannot take over from ASan's")
def test_refused_allocations_leave_no_block_behind(failing_alloc, harness_env):
    """Every block the module's code is handed during a walk of refusals
    (pixel copy, libsixel's blocks, the heap's slot table, the output) is
    freed by the end of it. Catches a heap that keeps libsixel's blocks after
    a refusal, drops the block whose recording failed because growing the
    slot table was refused, or keeps the old table when it grows."""
    for walk in run_preloaded(TRACK, failing_alloc, harness_env):
        assert walk["last"] == "ok"
        assert len(walk["steps"]) > 20
        assert all(o.startswith("MemoryError: ") and ok for o, ok in walk["steps"]), walk["steps"]
        assert walk["live"] == 0, f"blocks from the module never freed: {walk['live']}"


DECOY = r"""
import ctypes, json, sys
ctypes.CDLL(sys.argv[1])  # loaded first, at a path that holds the module's whole path
from support import ALL_KINDS, few_colour, module_file, preloaded_shim
from tervalo_ext import sixel_encode_bytes as encode
shim = preloaded_shim()
args = (few_colour(9, 7), 9, 7)
expected = encode(*args)
report = {}
for name, path in [("module", module_file()), ("link to it", sys.argv[2].encode()),
                   ("decoy", sys.argv[1].encode()), ("its name", b"tervalo_ext")]:
    armed = shim.fail_alloc_arm(path, ALL_KINDS, 0)
    try:
        outcome = "ok" if encode(*args) == expected else "wrong stream"
    except MemoryError as error:
        outcome = f"MemoryError: {error}"
    shim.fail_alloc_disarm()
    report[name] = [armed, outcome]
print(json.dumps(report))
"""


@not_under_asan("the shim's malloc cannot take over from ASan's")
def test_shim_watches_exactly_the_named_file(failing_alloc, harness_env, tmp_path):
    """The shim watches the loaded file at the path it is given, not the
    first object whose path contains it: a checkout or venv under a
    directory holding the module's name would otherwise have the refusal
    tests refuse nothing in the module."""
    module = os.fsdecode(support.module_file())
    decoy = tmp_path / "decoy" / module.lstrip("/")
    decoy.parent.mkdir(parents=True)
    subprocess.run([support.c_compiler(), "-shared", "-fPIC", "-o", str(decoy),
                    "-x", "c", "-"], input=b"int decoy(void) { return 1; }\n", check=True)
    (tmp_path / "link.so").symlink_to(module)
    report = run_preloaded(DECOY, failing_alloc, harness_env, decoy, tmp_path / "link.so",
                           cwd=tmp_path)
    pixel_copy = [1, "MemoryError: cannot allocate 189 bytes for the pixel copy"]
    assert report == {"module": pixel_copy, "link to it": pixel_copy,
                      "decoy": [1, "ok"], "its name": [0, "ok"]}
