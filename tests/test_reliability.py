"""Long runs, threads and exhausted memory: the module neither leaks nor
mixes up calls, and a call that runs out of memory leaves it usable."""

import json
import subprocess
import sys
import threading

import pytest
from conftest import not_under_asan
from support import photo_like

from tervalo_ext import sixel_encode_bytes

SOAK = r"""
import gc, json, os, sys
from support import few_colour, photo_like
from tervalo_ext import sixel_encode_bytes


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class AsInt:
    def __init__(self, text):
        self.value = int(text)  # beyond the small-int cache, a fresh object

    def __int__(self):
        return self.value


def private_objects(args):
    # Arguments, and the ints an AsInt hands over, whose reference counts
    # only this run touches: not cached small ints, None or 1-char strings.
    for arg in args:
        for obj in (arg, arg.value) if isinstance(arg, AsInt) else (arg,):
            if isinstance(obj, (bytes, bytearray, float, AsInt)) or (
                    type(obj) is int and not -5 <= obj <= 256) or (
                    type(obj) is str and len(obj) > 1):
                yield obj


images = [(make(w, h), w, h) for make, w, h in [
    (few_colour, 1, 1), (photo_like, 8, 8), (few_colour, 31, 17), (photo_like, 32, 24),
    (photo_like, 48, 32), (few_colour, 64, 64), (photo_like, 23, 5)]]
big = (photo_like(160, 120), 160, 120)  # a stream of several 16384-byte pieces
small = few_colour(9, 9)
refused = [
    ((bytearray(small), 9, 9), TypeError), ((small, 9.0, 9), TypeError),
    ((small, 9, 2**31), TypeError), ((small, AsInt("9"), None), TypeError),
    ((small, 0, 9), ValueError), ((small[:-1], 9, 9), ValueError),
    ((small, 2**30, 2**30), ValueError), ((small, " 9", -1), ValueError),
    ((small, AsInt("1000"), 9), ValueError), ((small, 9, " 1000 "), ValueError)]
calls = [(args, sixel_encode_bytes(*args)) for args in images + [big]]
watched = [obj for args, _ in calls + refused for obj in private_objects(args)]
refcounts = [sys.getrefcount(obj) for obj in watched]


def run(first, count):
    wrong = 0
    for i in range(first, first + count):
        if i % 10 == 9:
            args, error = refused[i // 10 % len(refused)]
            try:
                sixel_encode_bytes(*args)
                wrong += 1
            except error:
                pass
        else:
            args, expected = calls[-1] if i % 500 == 0 else calls[i % len(images)]
            wrong += sixel_encode_bytes(*args) != expected
    return wrong


wrong = [run(0, 5_000)]  # warm-up: allocator pools and caches settle
gc.collect()
warm = resident_bytes()
wrong.append(run(5_000, 45_000))
gc.collect()
growth = resident_bytes() - warm
after = [sys.getrefcount(obj) for obj in watched]
print(json.dumps({"wrong": wrong, "warm": warm, "growth": growth,
                  "refcounts": [a - b for a, b in zip(after, refcounts)]}))
"""


@pytest.mark.slow
@not_under_asan("the quarantine keeps freed memory resident")
def test_soak_keeps_memory_and_reference_counts_flat(harness_env):
    """50,000 calls of mixed sizes, every tenth refused, each result checked.
    In an interpreter of its own: memory freed by earlier tests (a huge row)
    would otherwise absorb a leak's growth, such as a heap table never freed."""
    run = subprocess.run([sys.executable, "-c", SOAK], check=False, env=harness_env,
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    soak = json.loads(run.stdout)
    print(f"\nsoak: 50000 calls, resident {soak['warm'] / 2**20:.1f} MiB after warm-up, "
          f"growth {soak['growth'] / 2**10:+.0f} KiB")
    assert soak["wrong"] == [0, 0]
    assert soak["growth"] <= 2 * 2**20
    assert set(soak["refcounts"]) == {0}, soak["refcounts"]


@pytest.mark.slow
def test_threads_get_what_serial_calls_get():
    """8 threads, 100 calls each, on images of their own (median cut and
    diffusion, whose libsixel state is global), started together. A build
    that released the interpreter lock around libsixel fails here."""
    jobs = [[(photo_like(60 + t, 44 + k, seed=t * 10 + k), 60 + t, 44 + k) for k in range(5)]
            for t in range(8)]
    serial = [[sixel_encode_bytes(*args) for args in job] for job in jobs]
    results = [[] for _ in jobs]
    start = threading.Barrier(len(jobs))

    def work(t):
        start.wait()
        for i in range(100):
            results[t].append(sixel_encode_bytes(*jobs[t][i % 5]))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the interpreter lock over as often as possible
    try:
        threads = [threading.Thread(target=work, args=(t,)) for t in range(len(jobs))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert len({s for job in serial for s in job}) == 40
    for t, got in enumerate(results):
        assert got == serial[t] * 20, f"thread {t}"


LIMITED = r"""
import os, random, resource, sys
from tervalo_ext import sixel_encode_bytes
width, height, headroom = map(int, sys.argv[1:4])
pixels = random.Random(5).randbytes(width * height * 3)
small = bytes(range(243))
expected = sixel_encode_bytes(small, 9, 9)
with open("/proc/self/status") as status:
    size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))
try:
    result = sixel_encode_bytes(pixels, width, height)
    print("no error:", len(result))
except MemoryError as error:
    print("MemoryError:", error)
print("small call afterwards:", sixel_encode_bytes(small, 9, 9) == expected)
"""


@pytest.mark.slow
@not_under_asan("shadow memory needs far more address space than any limit allows")
@pytest.mark.parametrize("width, height, headroom, message", [
    # 24 MB of pixels with 16 MiB to spare: the pixel copy is refused.
    (2000, 4000, 16 * 2**20, "for the pixel copy"),
    # 3 MB of pixels, a million colours wide: libsixel's tables are refused.
    (1_000_000, 1, 64 * 2**20, "libsixel ran out of memory"),
])
def test_address_space_limit_raises_memory_error(width, height, headroom, message):
    run = subprocess.run([sys.executable, "-c", LIMITED, str(width), str(height), str(headroom)],
                         check=False, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    outcome, after = run.stdout.splitlines()
    assert outcome.startswith("MemoryError:") and message in outcome, outcome
    assert after == "small call afterwards: True"
