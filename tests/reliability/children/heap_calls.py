"""Counts the heap calls libsixel's own code makes during module encodes and
during direct ones; prints a JSON report. Run with failing_alloc.c preloaded."""

import json

from alloc_shim import libsixel_file, preloaded_shim
from images import KINDS
from reference import libsixel_encode

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
# tervalo._sixel: libsixel's calls on strips, given indices and given RGB.
from tervalo import _sixel  # noqa: E402

positional = _sixel.Dither(b"\x00\x00\x00\xff\xff\xff", _sixel.DIFFUSE_A_DITHER)
report["sixel"] = {}
for kind, make in KINDS.items():
    args = (make(640, 480), 640, 480)
    for name, call in [("encode", lambda a: _sixel.encode(*a, threads=1)),
                       ("positional", lambda a: positional.encode(*a, threads=1))]:
        report["sixel"][f"{name} {kind}"] = heap_calls_from_libsixel(call, (args,))[0]
print(json.dumps(report))
