"""50,000 calls of mixed sizes, every tenth refused; prints the wrong
results, resident memory growth after warm-up and reference-count changes."""

import gc
import json
import os
import sys

from images import few_colour, photo_like

from tervalo import _sixel
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
# Half the calls go to tervalo._sixel: its per-picture choice (one strip and
# several), and a kept Dither.
kept = _sixel.Dither.from_pixels(*images[3])
encoders = [sixel_encode_bytes, _sixel.encode, lambda *a: _sixel.encode(*a, threads=2),
            kept.encode]
calls = [(encode, args, encode(*args)) for args in images + [big] for encode in encoders]
watched = [obj for _, args, _ in calls for obj in private_objects(args)]
watched += [obj for args, _ in refused for obj in private_objects(args)]
refcounts = [sys.getrefcount(obj) for obj in watched]


def run(first, count):
    wrong = 0
    for i in range(first, first + count):
        encode = encoders[i % len(encoders)]
        if i % 10 == 9:
            args, error = refused[i // 10 % len(refused)]
            # tervalo._sixel converts only ints (TypeError where the
            # extension's int() semantics lead on to a ValueError).
            allowed = error if encode is sixel_encode_bytes else (TypeError, ValueError)
            try:
                encode(*args)
                wrong += 1
            except allowed:
                pass
        else:
            k = i % (len(images) * len(encoders))
            if i % 500 == 0:
                k = len(images) * len(encoders) + i // 500 % len(encoders)
            encode, args, expected = calls[k]
            wrong += encode(*args) != expected
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
