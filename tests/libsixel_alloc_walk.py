"""Why the module gives libsixel a guarded heap: drives libsixel directly
(its default allocator, the module's configuration) on a 300x200 photo-like
image and refuses its 1st, 2nd, ... allocation in turn, each in a fresh
process, then tallies what libsixel did with each refusal. Not part of the
suite (a few minutes); rerun it when libsixel changes:

    cc -shared -fPIC -O2 -o build/failing_alloc.so tests/failing_alloc.c
    .venv/bin/python tests/libsixel_alloc_walk.py build/failing_alloc.so
"""

import collections
import ctypes
import ctypes.util
import os
import signal
import subprocess
import sys

from conftest import photo_like

WIDTH, HEIGHT = 300, 200


def encode(lib, pixels, arm=lambda: None):
    """libsixel's calls as the module makes them; the statuses and stream."""
    buf = ctypes.create_string_buffer(pixels)
    pieces = []
    write_fn = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p)
    callback = write_fn(lambda data, size, _: pieces.append(ctypes.string_at(data, size)) or size)
    dither, output = ctypes.c_void_p(), ctypes.c_void_p()
    arm()
    calls = [lambda: lib.sixel_dither_new(ctypes.byref(dither), -1, None),
             lambda: lib.sixel_dither_initialize(dither, buf, WIDTH, HEIGHT, 3, 1, 1, 1),
             lambda: lib.sixel_output_new(ctypes.byref(output), callback, None, None),
             lambda: lib.sixel_encode(buf, WIDTH, HEIGHT, 3, dither, output)]
    statuses = []
    for call in calls:
        statuses.append(call() & 0xFFFFFFFF)
        if statuses[-1] & 0x1000:  # SIXEL_FAILED
            break
    return statuses, b"".join(pieces)


def child(skip):
    lib = ctypes.CDLL(ctypes.util.find_library("sixel"))
    shim = ctypes.CDLL(None)
    pixels = photo_like(WIDTH, HEIGHT)
    _, expected = encode(lib, pixels)
    before = shim.fail_alloc_refused()
    statuses, stream = encode(lib, pixels, lambda: shim.fail_alloc_arm(b"libsixel", 7, skip))
    shim.fail_alloc_disarm()
    if shim.fail_alloc_refused() == before:
        print("none refused")
    elif all(s == 0 for s in statuses):
        print("status OK, " + ("same stream" if stream == expected else "wrong stream"))
    else:
        print(f"status 0x{statuses[-1]:04x}, {len(stream)} bytes written")


def main(shim):
    env = dict(os.environ, LD_PRELOAD=os.path.abspath(shim))
    tally = collections.Counter()
    for skip in range(100_000):
        run = subprocess.run([sys.executable, __file__, "--child", str(skip)], env=env,
                             capture_output=True, text=True)
        if run.returncode < 0:
            outcome = f"killed by {signal.Signals(-run.returncode).name}"
            detail = run.stderr.strip().splitlines()[-1:] if run.stderr.strip() else []
            outcome += f" ({detail[0]})" if detail else ""
        else:
            outcome = run.stdout.strip()
        if outcome == "none refused":
            break
        tally[outcome] += 1
        print(f"allocation {skip + 1}: {outcome}", flush=True)
    print(f"\n{skip} allocations refused one at a time:")
    for outcome, count in tally.most_common():
        print(f"{count:6}  {outcome}")


if __name__ == "__main__":
    if sys.argv[1] == "--child":
        child(int(sys.argv[2]))
    else:
        main(sys.argv[1])
