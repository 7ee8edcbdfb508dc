"""Fuzzes sixel_encode_bytes with arbitrary bytes, dimensions anywhere in the
32-bit signed range and beyond it, and odd argument types; and the same for
tervalo._sixel's encode and Dither (palettes, diffusion methods, threads).

The only acceptable outcomes are a well-framed stream for an input the
module must accept, TypeError, ValueError and MemoryError; anything else
(another exception, a stream for an input that must be refused, a damaged
stream, a touched caller buffer, or a crash) is a finding.

    PYTHONPATH=tests/harness python tests/reliability/fuzz_encode.py -max_total_time=60 [CORPUS_DIR]

The fuzz nox session runs it against the normal build, where atheris's
coverage feedback works, then replays the inputs it kept against the
sanitizer build, where an out-of-bounds access is a crash rather than
silence (docs/reliability.md says why it is split so).
"""

import operator
import re
import sys
import warnings

import atheris
from arguments import INT32_MAX, INT32_MIN

from tervalo import _sixel
from tervalo_ext import sixel_encode_bytes

MAX_PIXEL_BYTES = 1 << 16  # keeps encodes short: a 21845-pixel row takes about a second
FRAME = re.compile(rb'\x1bPq"1;1;(\d+);(\d+)#0;2;[!-~]*\x1b\\\Z', re.DOTALL)


class Refused(Exception):
    """Raised from an argument's own conversion hook."""


class IntLike:
    """Converts through __int__ only, possibly to something unusable."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyInt(int):
    pass


class MyBytes(bytes):
    def __len__(self):  # must not be what the module trusts
        return 1 << 40


@atheris.instrument_func
def as_dimension(arg):
    """The int that a width or height argument must convert to, or None if
    it must be refused: int() semantics, floats refused, 32-bit range."""
    if isinstance(arg, float):
        return None
    try:
        value = int(arg)
    except Exception:
        return None
    return value if INT32_MIN <= value <= INT32_MAX else None


@atheris.instrument_func
def dimension(fdp):
    kind = fdp.ConsumeIntInRange(0, 16)
    if kind <= 5:
        return fdp.ConsumeIntInRange(1, 64)
    if kind == 16:
        return fdp.ConsumeIntInRange(1, 8000)  # long and thin, with a small other side
    if kind == 6:
        return fdp.ConsumeIntInRange(INT32_MIN, INT32_MAX)
    if kind == 7:
        return fdp.ConsumeInt(9)  # often outside the 32-bit range
    if kind == 8:
        return fdp.ConsumeIntInRange(-2, 2)
    if kind == 9:
        return str(fdp.ConsumeIntInRange(1, 64))
    if kind == 10:
        return fdp.ConsumeBool()
    if kind == 11:
        return MyInt(fdp.ConsumeIntInRange(INT32_MIN, INT32_MAX))
    if kind == 12:
        return IntLike(fdp.PickValueInList(
            [7, 2**40, "seven", None, Refused("no"), MemoryError(), 1.0, True]))
    if kind == 13:
        return IndexOnly(fdp.PickValueInList([5, 2**31, -1]))
    if kind == 14:
        return fdp.PickValueInList([1.0, 2.5, float("nan"), None, b"3", [3], "1.5", "",
                                    "0x10", " 4 ", complex(1, 0), "\u0663"])
    return fdp.ConsumeUnicodeNoSurrogates(12)


@atheris.instrument_func
def pixels(fdp, needed):
    """Returns (argument, bytes the module may read or None if refused)."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if needed is not None and 0 < needed <= MAX_PIXEL_BYTES and kind <= 5:
        # Enough bytes (give or take a few): the accepting path. The fuzzer's
        # bytes are tiled to the length; one kind spreads them over many colours.
        n = max(0, needed + fdp.ConsumeIntInRange(-3, 8) * (kind == 5))
        seed = fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 4096)) or b"\x00"
        if kind == 4:
            seed = bytes(b * i % 256 for i, b in enumerate(seed * 8, 1))  # many colours
        data = (seed * (n // len(seed) + 1))[:n]
        return data, data
    if kind <= 6:
        data = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300))
        return data, data
    if kind == 7:
        data = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300))
        return MyBytes(data), data
    return fdp.PickValueInList([bytearray(b"\x00" * 12), memoryview(b"\x00" * 12), "abc",
                                None, 12, [0, 0, 0], IntLike(3)]), None


@atheris.instrument_func
def expected_outcome(data, width, height):
    """What the module must do when every argument converted."""
    if width < 1 or height < 1:
        return ValueError
    needed = width * height * 3
    if needed > INT32_MAX or len(data) < needed:
        return ValueError
    return bytes


@atheris.instrument_func
def sixel_call(fdp, data_arg, width_arg, height_arg):
    """One call of tervalo._sixel on the arguments: encode, or a Dither made
    from a fuzzed palette or from the pixels, then encode or mismatch."""
    kind = fdp.ConsumeIntInRange(0, 3)
    threads = fdp.PickValueInList([0, 1, 2, 3, 64, -1])
    if kind == 0:
        return _sixel.encode(data_arg, width_arg, height_arg, threads=threads)
    diffusion = fdp.ConsumeIntInRange(-1, 10)
    if kind == 1:
        dither = _sixel.Dither(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 800)), diffusion)
    else:
        dither = _sixel.Dither.from_pixels(data_arg, width_arg, height_arg,
                                           colours=fdp.ConsumeIntInRange(-1, 300),
                                           diffusion=diffusion)
    if kind == 3:
        dither.mismatch(data_arg, width_arg, height_arg)
        return None
    return dither.encode(data_arg, width_arg, height_arg, threads=threads)


@atheris.instrument_func
def test_sixel(fdp):
    """tervalo._sixel takes plain ints only (nanobind's caster): the outcome
    is predicted for those; other arguments may only be refused."""
    width_arg, height_arg = dimension(fdp), dimension(fdp)
    width, height = as_index(width_arg), as_index(height_arg)
    # ints and their subclasses convert; other objects with __index__ may.
    plain = all(isinstance(a, int) for a in (width_arg, height_arg))
    needed = width * height * 3 if width and height and width > 0 and height > 0 else None
    data_arg, data = pixels(fdp, needed)
    before = bytes(data_arg) if isinstance(data_arg, bytes) else None
    try:
        stream = sixel_call(fdp, data_arg, width_arg, height_arg)
        outcome = bytes
    except (TypeError, ValueError, MemoryError) as error:
        stream, outcome = None, type(error)
    if before is not None and bytes(data_arg) != before:
        raise AssertionError("the caller's pixels changed")
    if None in (width, height, data):
        if outcome is bytes:
            raise AssertionError(f"accepted {width_arg!r} x {height_arg!r}")
        return
    if outcome is TypeError and not plain:
        return
    if outcome is bytes and expected_outcome(data, width, height) is not bytes:
        raise AssertionError(f"a stream for width={width} height={height} len={len(data)}")
    if stream is not None:
        frame = FRAME.match(stream)
        if not frame or (int(frame[1]), int(frame[2])) != (width, height):
            raise AssertionError(f"damaged stream for {width}x{height}: "
                                 f"{stream[:40]!r}...{stream[-8:]!r}")
        steer(stream, height)


@atheris.instrument_func
def as_index(arg):
    """The int an argument converts to under __index__ (nanobind's integer
    caster), or None if it must be refused."""
    try:
        value = operator.index(arg)
    except Exception:
        return None
    return value if INT32_MIN <= value <= INT32_MAX else None


@atheris.instrument_func
def test_one_input(raw):
    fdp = atheris.FuzzedDataProvider(raw)
    if fdp.ConsumeBool():
        test_sixel(fdp)
        return
    width_arg, height_arg = dimension(fdp), dimension(fdp)
    width, height = as_dimension(width_arg), as_dimension(height_arg)
    needed = width * height * 3 if width and height and width > 0 and height > 0 else None
    data_arg, data = pixels(fdp, needed)
    style = fdp.ConsumeIntInRange(0, 7)
    if style == 0:
        args, kwargs = (), dict(pixel_data=data_arg, width=width_arg, height=height_arg)
    elif style == 1:
        args, kwargs = (data_arg, width_arg), {}  # missing height
    elif style == 2:
        args, kwargs = (data_arg, width_arg, height_arg), {"depth": 3}
    else:
        args, kwargs = (data_arg, width_arg, height_arg), {}
    converts = style not in (1, 2) and None not in (data, width, height)
    before = bytes(data_arg) if isinstance(data_arg, bytes) else None

    try:
        stream = sixel_encode_bytes(*args, **kwargs)
        outcome = bytes
    except (TypeError, ValueError, MemoryError) as error:
        stream, outcome = None, type(error)

    if before is not None and bytes(data_arg) != before:
        raise AssertionError("the caller's pixel_data changed")
    if not converts:
        if outcome is not TypeError:
            raise AssertionError(f"{outcome.__name__} for arguments that must not convert: "
                                 f"{args!r} {kwargs!r}")
        return
    if outcome is MemoryError:
        return  # legitimate for any accepted size; the runs here stay small
    expected = expected_outcome(data, width, height)
    if outcome is not expected:
        raise AssertionError(f"{outcome.__name__} where {expected.__name__} was due for "
                             f"width={width} height={height} len={len(data)}")
    if stream is not None:
        frame = FRAME.match(stream)
        if not frame or (int(frame[1]), int(frame[2])) != (width, height):
            raise AssertionError(f"damaged stream for {width}x{height}: {stream[:40]!r}"
                                 f"...{stream[-8:]!r}")
        steer(stream, height)


@atheris.instrument_func
def steer(stream, height):
    """Branches on the kind of stream made, so that the fuzzer keeps inputs
    that reach new kinds: the module's own code is not coverage-instrumented."""
    colours = stream.count(b";2;")
    if colours == 1:
        pass
    elif colours <= 16:
        pass
    elif colours < 256:
        pass
    else:
        pass  # median cut and diffusion
    if len(stream) > 16384:
        pass  # more than one piece of output
    if height < 6:
        pass
    if b"!" in stream:
        pass  # run-length repeats


def main():
    # An __int__ returning True is deprecated, and one of the odd arguments.
    warnings.simplefilter("ignore", DeprecationWarning)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
