"""Refuses each allocation of an encode in turn, for a few-colour and a
photo-like image, and counts what refused arguments try to allocate;
prints a JSON report. Run with failing_alloc.c preloaded."""

import json

from alloc_shim import ALL_KINDS, libsixel_file, module_file, preloaded_shim, refusal_walk
from images import few_colour, photo_like

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

# tervalo._sixel: its own allocations (indices, samples, strips, output)
# and libsixel's through its heap, for each way a picture is encoded. One
# thread: the shim counts allocations unsynchronised.
from alloc_shim import SIXEL  # noqa: E402

from tervalo import _sixel  # noqa: E402

sixel_objects = (module_file(SIXEL), libsixel_file())
kept = _sixel.Dither.from_pixels(photo_like(64, 48), 64, 48, colours=64)
positional = _sixel.Dither(kept.palette, _sixel.DIFFUSE_X_DITHER)
walks = [(lambda *a: _sixel.encode(*a, threads=1), few_colour),
         (lambda *a: _sixel.encode(*a, threads=1), photo_like),
         (lambda *a: positional.encode(*a, threads=1), photo_like),
         (lambda *a: _sixel.Dither.from_pixels(*a).palette, photo_like)]
report.update(sixel_refused_inputs=[], sixel_steps=[], sixel_last=[])
for call, make in walks:
    args = (make(160, 120), 160, 120)  # a stream of two pieces
    for bad in [(args[0], 0, 5), (b"", 2**20, 2**20), (args[0][:-1], 160, 120)]:
        for obj in sixel_objects:
            assert shim.fail_alloc_arm(obj, ALL_KINDS, 0), obj
            before = shim.fail_alloc_refused()
            try:
                call(*bad)
            except ValueError:
                pass
            shim.fail_alloc_disarm()
            report["sixel_refused_inputs"].append(shim.fail_alloc_refused() - before)
    for obj in sixel_objects:
        steps, last = refusal_walk(shim, call, args, call(*args), obj=obj)
        report["sixel_steps"] += steps
        report["sixel_last"].append(last)
print(json.dumps(report))
