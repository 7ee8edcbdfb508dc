"""Refused inputs and resource failures: each raises the documented
exception before any harm, and the module keeps working afterwards."""

import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import not_under_asan
from support import (REFUSED_VALUES, SIXEL_BAD_ALLOCATION, SIXEL_BAD_INPUT, few_colour,
                     libsixel_steps)

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


def run_preloaded(script, shim, env):
    run = subprocess.run([sys.executable, "-c", script], env=dict(env, LD_PRELOAD=str(shim)),
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


WALK = r"""
import json
from support import ALL_KINDS, few_colour, photo_like, preloaded_shim, refusal_walk
from tervalo_ext import sixel_encode_bytes as encode
shim = preloaded_shim()
report = {"refused_inputs": [], "steps": [], "last": []}
for make in (few_colour, photo_like):
    args = (make(300, 200), 300, 200)
    expected = encode(*args)
    for bad in [(args[0], 0, 5), (b"", 2**20, 2**20), (args[0][:-1], 300, 200)]:
        for obj in (b"tervalo_ext", b"libsixel"):
            shim.fail_alloc_arm(obj, ALL_KINDS, 0)
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
from support import KINDS, libsixel, libsixel_encode, preloaded_shim
from tervalo_ext import sixel_encode_bytes
shim = preloaded_shim()
CALLS = {"malloc": 1, "calloc": 2, "realloc": 4, "free": 8}

def heap_calls_from_libsixel(encode, args):
    assert shim.fail_alloc_count(b"libsixel", 15)
    stream = encode(*args)
    shim.fail_alloc_count(b"", 0)
    return {name: shim.fail_alloc_calls(kind) for name, kind in CALLS.items()}, stream

libsixel()  # loaded before counting: the module's own copy
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
