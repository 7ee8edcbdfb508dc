"""Tracks every block the module's code is handed during walks of refusals
and prints how many are still held at the end. Run with failing_alloc.c
preloaded."""

import json

from alloc_shim import module_file, preloaded_shim, refusal_walk
from images import few_colour, noisy_gradient

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

# tervalo._sixel's own blocks (indices, samples, strips, output) too.
from alloc_shim import SIXEL  # noqa: E402

from tervalo import _sixel  # noqa: E402

for make in (few_colour, noisy_gradient):
    args = (make(40, 30), 40, 30)
    expected = _sixel.encode(*args, threads=1)
    assert shim.fail_alloc_track(module_file(SIXEL))
    steps, last = refusal_walk(shim, lambda *a: _sixel.encode(*a, threads=1), args, expected,
                               obj=module_file(SIXEL))
    report.append({"steps": steps, "last": last, "live": shim.fail_alloc_live()})
    shim.fail_alloc_track(None)
print(json.dumps(report))
