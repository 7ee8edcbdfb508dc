"""A short workload for valgrind's memcheck (the memcheck nox session runs it):
encodes few-colour, photo-like, 1x1 and long thin images, takes every
refused-argument path, and, when failing_alloc.c is preloaded, refuses
each allocation of one encode in turn (pixel copy, every libsixel
allocation, every growth of the output). Exits non-zero if an outcome is
wrong; memcheck judges the memory."""

import re
import sys

from alloc_shim import SIXEL, module_file, preloaded_shim, refusal_walk
from arguments import REFUSED_TYPES, REFUSED_VALUES
from images import few_colour, noisy_gradient

from tervalo import _sixel
from tervalo_ext import sixel_encode_bytes as encode

# Images are made without NumPy: importing it would bring its own memcheck
# reports into this run.


def check_images():
    images = [(few_colour(64, 48), 64, 48), (noisy_gradient(200, 150), 200, 150),
              (b"\x10\x20\x30", 1, 1), (noisy_gradient(3000, 1), 3000, 1),
              (noisy_gradient(1, 3000), 1, 3000), (few_colour(4000, 2), 4000, 2)]
    for pixels, width, height in images:
        stream = encode(pixels, width, height)
        assert re.fullmatch(rb'\x1bPq"1;1;%d;%d#0;2;[!-~]*\x1b\\' % (width, height), stream)
        assert encode(pixels + b"\x00" * 7, width, height) == stream
    return len(images)


def check_refusals():
    refused = [(args, kwargs, TypeError) for args, kwargs in REFUSED_TYPES]
    refused += [(args, {}, ValueError) for args, _ in REFUSED_VALUES]
    for args, kwargs, error in refused:
        try:
            encode(*args, **kwargs)
        except error:
            continue
        raise AssertionError(f"{args!r} {kwargs!r} was not refused with {error.__name__}")
    return len(refused)


def walk_refused_allocations():
    """Refuses the 1st, 2nd, ... allocation of one encode until none is left."""
    shim = preloaded_shim()
    if shim is None:
        return 0
    args = (noisy_gradient(120, 90), 120, 90)  # two pieces of output
    steps, last = refusal_walk(shim, encode, args, encode(*args))
    assert last == "ok", last
    assert all(recovered for _, recovered in steps)
    assert all(o.startswith("MemoryError: ") for o, _ in steps), {o for o, _ in steps}
    messages = {re.sub(r"\d+x\d+|\d{5,}", "N", o.removeprefix("MemoryError: ")) for o, _ in steps}
    assert messages == {"cannot allocate N bytes for the pixel copy",
                        "libsixel ran out of memory while encoding a N image",
                        "cannot grow the sixel output beyond 0 bytes",
                        "cannot grow the sixel output beyond N bytes"}, messages
    return len(steps)


def check_sixel():
    """tervalo._sixel: each way of encoding, on one thread and on three,
    its refusals, and each allocation of two encodes refused in turn."""
    photo = (noisy_gradient(200, 150), 200, 150)
    kept = _sixel.Dither.from_pixels(*photo, colours=64)
    encoders = [_sixel.encode, lambda *a: _sixel.encode(*a, threads=3), kept.encode,
                _sixel.Dither(kept.palette, _sixel.DIFFUSE_X_DITHER).encode]
    for pixels, width, height in [(few_colour(64, 48), 64, 48), photo, (b"\x10\x20\x30", 1, 1),
                                  (noisy_gradient(3000, 1), 3000, 1),
                                  (noisy_gradient(1, 300), 1, 300)]:
        for encode_with in encoders:
            stream = encode_with(pixels, width, height)
            assert re.fullmatch(rb'\x1bPq"1;1;%d;%d#0;2;[!-~]*\x1b\\' % (width, height), stream)
    for args in [(photo[0], 0, 5), (photo[0][:-1], 200, 150), (b"", 2**20, 2**20)]:
        for encode_with in encoders:
            try:
                encode_with(*args)
            except ValueError:
                continue
            raise AssertionError(f"{args[1:]} was not refused")
    shim = preloaded_shim()
    if shim is None:
        return 0
    walked = 0
    for args in [(noisy_gradient(120, 90), 120, 90), (few_colour(64, 48), 64, 48)]:
        steps, last = refusal_walk(shim, _sixel.encode, args, _sixel.encode(*args),
                                   obj=module_file(SIXEL))
        assert last == "ok" and all(recovered for _, recovered in steps)
        assert all(o.startswith("MemoryError: ") for o, _ in steps), {o for o, _ in steps}
        walked += len(steps)
    return walked


if __name__ == "__main__":
    images, refusals, walked = check_images(), check_refusals(), walk_refused_allocations()
    walked += check_sixel()
    print(f"memcheck workload: {images} images encoded, {refusals} refusals, "
          f"{walked} allocations refused one at a time")
    sys.exit(0)
