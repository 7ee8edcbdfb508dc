"""Exhausted memory: every allocation of an encode refused in turn, libsixel
kept to the module's heap, no block left behind, an address-space limit and
rows beyond libsixel's own limits. Each failure raises the documented
exception and the module keeps working afterwards."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from alloc_shim import c_compiler, module_file
from conftest import not_under_asan
from images import few_colour
from reference import SIXEL_BAD_ALLOCATION, SIXEL_BAD_INPUT, libsixel_steps

from tervalo_ext import sixel_encode_bytes

CHILDREN = Path(__file__).resolve().parent / "children"

SMALL = few_colour(9, 7)
SMALL_STREAM = sixel_encode_bytes(SMALL, 9, 7)
UNDER_SHIM = "the shim's malloc cannot take over from ASan's"


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


def run_child(script, env, *args, shim=None, cwd=None, timeout=None):
    """A child script's JSON report; `shim` is preloaded."""
    if shim is not None:
        env = dict(env, LD_PRELOAD=str(shim))
    run = subprocess.run([sys.executable, str(CHILDREN / script), *map(str, args)], check=False,
                         cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


@pytest.mark.slow
@not_under_asan(UNDER_SHIM)
def test_every_refused_allocation_raises_memory_error(failing_alloc, harness_env):
    """Refuses, one at a time, every allocation an encode makes (pixel copy,
    each of libsixel's, each growth of the output) in a preloaded process."""
    report = run_child("refusal_walks.py", harness_env, shim=failing_alloc)
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
    # tervalo._sixel: refusals in its own code and, through its heap, in libsixel's.
    assert set(report["sixel_refused_inputs"]) == {0}
    assert report["sixel_last"] == ["ok"] * 8
    steps = report["sixel_steps"]
    assert len(steps) > 100 and all(recovered for _, recovered in steps)
    outcomes = [o for o, _ in steps]
    assert all(o.startswith("MemoryError: ") for o in outcomes), set(outcomes)
    for expected in ["cannot allocate", "libsixel ran out of memory while encoding a 160x120",
                     "sixel output beyond 0 bytes", "sixel output beyond 16384 bytes"]:
        assert any(expected in o for o in outcomes), expected


@not_under_asan(UNDER_SHIM)
def test_libsixel_allocates_only_from_the_module_heap(failing_alloc, harness_env):
    """The module gives libsixel an allocator built on its own heap, so a
    good encode makes libsixel call malloc, calloc and realloc not once
    itself. Driven directly with its default allocator, libsixel does call
    them: that shows the shim sees libsixel's calls at all."""
    report = run_child("heap_calls.py", harness_env, shim=failing_alloc)
    sixel = report.pop("sixel")
    assert len(report) == 4 and len(sixel) == 4
    for image, calls in sixel.items():  # tervalo._sixel's encodes
        assert calls["malloc"] + calls["calloc"] + calls["realloc"] == 0, (image, calls)
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


@not_under_asan(UNDER_SHIM)
def test_refused_allocations_leave_no_block_behind(failing_alloc, harness_env):
    """Every block the module's code is handed during a walk of refusals
    (pixel copy, libsixel's blocks, the heap's slot table, the output) is
    freed by the end of it. Catches a heap that keeps libsixel's blocks after
    a refusal, drops the block whose recording failed because growing the
    slot table was refused, or keeps the old table when it grows."""
    for walk in run_child("leftover_blocks.py", harness_env, shim=failing_alloc):
        assert walk["last"] == "ok"
        assert len(walk["steps"]) > 10
        assert all(o.startswith("MemoryError: ") and ok for o, ok in walk["steps"]), walk["steps"]
        assert walk["live"] == 0, f"blocks from the module never freed: {walk['live']}"


@not_under_asan(UNDER_SHIM)
def test_shim_watches_exactly_the_named_file(failing_alloc, harness_env, tmp_path):
    """The shim watches the loaded file at the path it is given, not the
    first object whose path contains it: a checkout or venv under a
    directory holding the module's name would otherwise have the refusal
    tests refuse nothing in the module."""
    module = os.fsdecode(module_file())
    decoy = tmp_path / "decoy" / module.lstrip("/")
    decoy.parent.mkdir(parents=True)
    subprocess.run([c_compiler(), "-shared", "-fPIC", "-o", str(decoy),
                    "-x", "c", "-"], input=b"int decoy(void) { return 1; }\n", check=True)
    (tmp_path / "link.so").symlink_to(module)
    report = run_child("shim_decoy.py", harness_env, decoy, tmp_path / "link.so",
                       shim=failing_alloc, cwd=tmp_path)
    pixel_copy = [1, "MemoryError: cannot allocate 189 bytes for the pixel copy"]
    assert report == {"module": pixel_copy, "link to it": pixel_copy,
                      "decoy": [1, "ok"], "its name": [0, "ok"]}


@pytest.mark.slow
@not_under_asan("shadow memory needs far more address space than any limit allows")
@pytest.mark.parametrize("width, height, headroom, message", [
    # 24 MB of pixels with 16 MiB to spare: the pixel copy is refused.
    (2000, 4000, 16 * 2**20, "for the pixel copy"),
    # 3 MB of pixels, a million colours wide: libsixel's tables are refused.
    (1_000_000, 1, 64 * 2**20, "libsixel ran out of memory"),
])
def test_address_space_limit_raises_memory_error(width, height, headroom, message):
    run = subprocess.run([sys.executable, str(CHILDREN / "address_space.py"), str(width),
                          str(height), str(headroom)],
                         check=False, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    outcome, after = run.stdout.splitlines()
    assert outcome.startswith("MemoryError:") and message in outcome, outcome
    assert after == "small call afterwards: True"
