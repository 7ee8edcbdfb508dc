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
print(json.dumps(report))
