"""Why the module gives libsixel a guarded heap: drives libsixel directly
(its default allocator, the module's configuration) on a 300x200 photo-like
image and refuses its 1st, 2nd, ... allocation in turn, each in a fresh
process, then tallies what libsixel did with each refusal. Not part of the
suite (a few minutes); rerun it when libsixel changes:

    cc -shared -fPIC -O2 -o build/failing_alloc.so tests/reliability/failing_alloc.c
    PYTHONPATH=tests/harness:tests/reliability \
      .venv/bin/python tests/reliability/libsixel_alloc_walk.py build/failing_alloc.so
"""

import collections
import os
import signal
import subprocess
import sys

from alloc_shim import ALL_KINDS, libsixel_file, preloaded_shim
from images import photo_like
from reference import libsixel_steps

WIDTH, HEIGHT = 300, 200


def child(skip):
    shim = preloaded_shim()
    pixels = photo_like(WIDTH, HEIGHT)
    expected = b"".join(libsixel_steps(pixels, WIDTH, HEIGHT)[1])
    libsixel = libsixel_file()  # the file libsixel_steps drives

    def arm():
        if not shim.fail_alloc_arm(libsixel, ALL_KINDS, skip):
            raise RuntimeError(f"{libsixel!r} is not loaded")

    before = shim.fail_alloc_refused()
    statuses, pieces = libsixel_steps(pixels, WIDTH, HEIGHT, unref=False, before=arm)
    shim.fail_alloc_disarm()
    stream = b"".join(pieces)
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
        run = subprocess.run([sys.executable, __file__, "--child", str(skip)], check=False, env=env,
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
