"""A short workload for valgrind's memcheck (scripts/memcheck.sh runs it):
encodes few-colour, photo-like, 1x1 and long thin images, takes every
refused-input path, and, when tests/failing_alloc.c is preloaded, refuses
each allocation of one encode in turn (pixel copy, every libsixel
allocation, every growth of the output). Exits non-zero if an outcome is
wrong; memcheck judges the memory."""

import ctypes
import math
import random
import re
import sys

from tervalo_ext import sixel_encode_bytes as encode

# Images are made in plain Python: importing NumPy (as the test suite's
# helpers do) would bring its own memcheck reports into this run.


def few_colour(width, height):
    colours = [b"\xff\x00\x00", b"\x00\x80\x00", b"\x10\x20\xf0", b"\xfa\xfa\xfa"]
    return b"".join(colours[(x // 5 + y // 3) % 4] for y in range(height) for x in range(width))


def photo_like(width, height, seed=1):
    """Gradients plus noise: far more than 256 colours, so diffusion runs."""
    noise = random.Random(seed)

    def channel(v):
        return min(255, max(0, int(v + noise.gauss(0, 12))))

    return bytes(channel(c) for y in range(height) for x in range(width) for c in (
        255 * x / max(width - 1, 1), 255 * y / max(height - 1, 1),
        127 + 127 * math.sin((x + y) / 7.0)))


class IntRaises:
    def __int__(self):
        raise RuntimeError("no int here")


class FloatSub(float):
    pass


def check_images():
    images = [(few_colour(64, 48), 64, 48), (photo_like(200, 150), 200, 150),
              (b"\x10\x20\x30", 1, 1), (photo_like(3000, 1), 3000, 1),
              (photo_like(1, 3000), 1, 3000), (few_colour(4000, 2), 4000, 2)]
    for pixels, width, height in images:
        stream = encode(pixels, width, height)
        assert re.fullmatch(rb'\x1bPq"1;1;%d;%d#0;2;[!-~]*\x1b\\' % (width, height), stream)
        assert encode(pixels + b"\x00" * 7, width, height) == stream
    return len(images)


def check_refusals():
    red = b"\xff\x00\x00" * 4
    refused = [
        ((bytearray(red), 2, 2), {}, TypeError), ((memoryview(red), 2, 2), {}, TypeError),
        (("abc", 1, 1), {}, TypeError), ((None, 2, 2), {}, TypeError),
        ((red, 1.5, 2), {}, TypeError), ((red, FloatSub(2), 2), {}, TypeError),
        ((red, 2, None), {}, TypeError), ((red, "2.5", 2), {}, TypeError),
        ((red, 2**31, 2), {}, TypeError), ((red, 2, -(2**31) - 1), {}, TypeError),
        ((red, IntRaises(), 2), {}, TypeError), ((red, 2), {}, TypeError),
        ((red, 2, 2), {"depth": 3}, TypeError),
        ((red, 0, 2), {}, ValueError), ((red, -(2**31), 2**31 - 1), {}, ValueError),
        ((b"", 715827883, 1), {}, ValueError), ((b"", 2**31 - 1, 2**31 - 1), {}, ValueError),
        ((red[:-1], 2, 2), {}, ValueError), ((red, 3, 2), {}, ValueError),
    ]
    for args, kwargs, error in refused:
        try:
            encode(*args, **kwargs)
        except error:
            continue
        raise AssertionError(f"{args!r} {kwargs!r} was not refused with {error.__name__}")
    return len(refused)


def walk_refused_allocations():
    """Refuses the 1st, 2nd, ... allocation of one encode until none is left."""
    shim = ctypes.CDLL(None)
    if not hasattr(shim, "fail_alloc_arm"):
        return 0
    args = (photo_like(120, 90), 120, 90)  # two pieces of output
    expected = encode(*args)
    messages = set()
    for skip in range(10_000):
        assert shim.fail_alloc_arm(b"tervalo_ext", 7, skip)  # malloc, calloc, realloc
        before = shim.fail_alloc_refused()
        try:
            result, error = encode(*args), None
        except MemoryError as refused:
            result, error = None, refused
        shim.fail_alloc_disarm()
        if shim.fail_alloc_refused() == before:  # every allocation has had its turn
            assert result == expected
            break
        assert error is not None, f"allocation {skip} refused, yet the call returned"
        messages.add(re.sub(r"\d+x\d+|\d{5,}", "N", str(error)))
        assert encode(*args) == expected
    assert messages == {"cannot allocate N bytes for the pixel copy",
                        "libsixel ran out of memory while encoding a N image",
                        "cannot grow the sixel output beyond 0 bytes",
                        "cannot grow the sixel output beyond N bytes"}, messages
    return skip


if __name__ == "__main__":
    images, refusals, walked = check_images(), check_refusals(), walk_refused_allocations()
    print(f"memcheck workload: {images} images encoded, {refusals} refusals, "
          f"{walked} allocations refused one at a time")
    sys.exit(0)
