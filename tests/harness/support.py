"""What the tests, the benchmark, the fuzzer and the memcheck workload share:
the test images, libsixel called directly with the module's configuration,
ImageMagick as a decoder nobody here wrote, the arguments the module must
refuse, and the walk that refuses each allocation of an encode in turn.

Importable without pytest; NumPy is imported only by what needs it, so the
memcheck workload can use the rest without NumPy's own reports."""

import ctypes
import ctypes.util
import functools
import os
import re
import shutil
import subprocess

# The module's configuration: automatic palette, RGB888, largest dimension by
# norm, centre-of-box representative colour, high-quality histogram.
PIXELFORMAT_RGB888, LARGE_NORM, REP_CENTER_BOX, QUALITY_HIGH = 3, 1, 1, 1
SIXEL_FAILED = 0x1000
SIXEL_BAD_ALLOCATION, SIXEL_BAD_INPUT = 0x1101, 0x1103

# --- images -----------------------------------------------------------------

_FOUR = (b"\xff\x00\x00", b"\x00\x80\x00", b"\x10\x20\xf0", b"\xfa\xfa\xfa")


def few_colour(width, height):
    """Four flat colours in 5 x 3 blocks: palette path, no diffusion. Plain
    Python: a row repeats every fourth band, so only four rows are built."""
    rows = [b"".join(_FOUR[(x // 5 + k) % 4] for x in range(width)) for k in range(4)]
    return b"".join(rows[(y // 3) % 4] for y in range(height))


def photo_like(width, height, seed=1):
    """Smooth gradients plus noise: well over 256 colours, so diffusion runs."""
    import numpy as np

    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    rng = np.random.default_rng(seed)
    img = np.stack([255 * x / max(width - 1, 1), 255 * y / max(height - 1, 1),
                    127 + 127 * np.sin((x + y) / 7.0)], axis=-1)
    img += rng.normal(0, 12, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8).tobytes()


def noisy_gradient(width, height, seed=1):
    """photo_like's kind of image (not its pixels) without NumPy."""
    import math
    import random

    noise = random.Random(seed)

    def channel(v):
        return min(255, max(0, int(v + noise.gauss(0, 12))))

    return bytes(channel(c) for y in range(height) for x in range(width) for c in (
        255 * x / max(width - 1, 1), 255 * y / max(height - 1, 1),
        127 + 127 * math.sin((x + y) / 7.0)))


KINDS = {"few-colour": few_colour, "photo-like": photo_like}

# --- libsixel called directly -----------------------------------------------


def module_libsixel_path():
    """The libsixel file the imported module has mapped (a wheel bundles its
    own copy), or None if none is mapped. A copy beside the module comes
    first: the benchmark's baseline maps the system's libsixel too."""
    import tervalo_ext  # maps its libsixel

    mapped = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and re.search(r"/libsixel[^/]*\.so", fields[5]):
                mapped.append(fields[5].strip())
    beside = os.path.dirname(os.path.realpath(tervalo_ext.__file__)) + os.sep
    return next((p for p in mapped if os.path.realpath(p).startswith(beside)),
                mapped[0] if mapped else None)


@functools.cache
def libsixel(path=None):
    """libsixel through ctypes: the file at `path`, else the module's copy,
    else the system's."""
    path = path or module_libsixel_path() or ctypes.util.find_library("sixel")
    if path is None:
        raise OSError("libsixel is not installed (apt-get install libsixel-dev)")
    lib = ctypes.CDLL(path)
    for name in ("sixel_dither_unref", "sixel_output_unref"):
        getattr(lib, name).argtypes = [ctypes.c_void_p]
        getattr(lib, name).restype = None
    return lib


_WRITE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p)


def libsixel_steps(pixels, width, height, before=lambda: None, unref=True, path=None):
    """libsixel's calls as the module makes them, with libsixel's default
    allocator; `before` runs just ahead of the first. Stops at the first that
    fails; returns (status of each call made, pieces written). unref=False
    leaves the objects alone, for when a refused allocation may have left
    them half-updated."""
    lib = libsixel(path)
    buf = ctypes.create_string_buffer(bytes(pixels[: width * height * 3]))  # diffusion writes
    pieces = []

    def write(data, size, _priv):
        pieces.append(ctypes.string_at(data, size))
        return size

    callback = _WRITE(write)
    dither, output = ctypes.c_void_p(), ctypes.c_void_p()
    calls = [lambda: lib.sixel_dither_new(ctypes.byref(dither), -1, None),
             lambda: lib.sixel_dither_initialize(dither, buf, width, height, PIXELFORMAT_RGB888,
                                                 LARGE_NORM, REP_CENTER_BOX, QUALITY_HIGH),
             lambda: lib.sixel_output_new(ctypes.byref(output), callback, None, None),
             lambda: lib.sixel_encode(buf, width, height, 3, dither, output)]
    statuses = []
    before()
    try:
        for call in calls:
            statuses.append(call() & 0xFFFFFFFF)
            if statuses[-1] & SIXEL_FAILED:
                break
    finally:
        if unref and output:
            lib.sixel_output_unref(output)
        if unref and dither:
            lib.sixel_dither_unref(dither)
    return statuses, pieces


def libsixel_encode(pixels, width, height, path=None):
    """The reference stream and the sizes of the pieces libsixel wrote it in."""
    statuses, pieces = libsixel_steps(pixels, width, height, path=path)
    if len(statuses) < 4 or any(statuses):
        raise RuntimeError(f"libsixel failed: statuses {[hex(s) for s in statuses]}")
    return b"".join(pieces), [len(p) for p in pieces]


# --- ImageMagick --------------------------------------------------------------


def imagemagick():
    """ImageMagick's convert, or None. The distribution's binary comes before
    any wrapper earlier on PATH; ImageMagick 7 without its compatibility
    links has only magick, which takes the same arguments."""
    for path in ("/usr/bin/convert", shutil.which("convert"), shutil.which("magick")):
        if path and os.access(path, os.X_OK):
            return path
    return None


def magick(*args, data=None, timeout=None):
    """convert's standard output for `args`, `data` on its standard input."""
    convert = imagemagick()
    if convert is None:
        raise OSError("ImageMagick's convert is not installed (apt-get install imagemagick)")
    return subprocess.run([convert, *args], input=data, capture_output=True, check=True,
                          timeout=timeout).stdout


def decode(stream):
    """(width, height, height x width x 3 uint8 array) of a sixel stream."""
    import numpy as np

    # ImageMagick 6 yields black when a decoded sixel goes straight to raw
    # RGB, so go through PNG first.
    png = magick("sixel:-", "png:-", data=stream)
    width, height = map(int, magick("png:-", "-format", "%w %h", "info:-", data=png).split())
    rgb = magick("png:-", "-depth", "8", "rgb:-", data=png)
    return width, height, np.frombuffer(rgb, np.uint8).reshape(height, width, 3)


def decoded_size(stream):
    """Width and height of a decoded stream, without its pixels."""
    width, height = magick("sixel:-", "-format", "%w %h", "info:-", data=stream).split()
    return int(width), int(height)


def psnr(a, b):
    import numpy as np

    mse = np.mean((np.asarray(a, np.float64) - np.asarray(b, np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0**2 / mse)


# --- arguments the module must refuse ------------------------------------------

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
LIMIT = INT32_MAX  # most bytes of pixel data one call takes
RED_2X2 = b"\xff\x00\x00" * 4


class OnlyInt:
    """Converts through __int__ alone."""

    def __init__(self, value=2):
        self.value = value

    def __int__(self):
        return self.value


class IntRaises:
    def __int__(self):
        raise RuntimeError("no int here")


class FloatSub(float):
    pass


# Arguments that must not convert: TypeError, "incompatible function arguments".
REFUSED_TYPES = [
    ((bytearray(RED_2X2), 2, 2), {}),
    ((memoryview(RED_2X2), 2, 2), {}),
    (("abc", 1, 1), {}),
    ((None, 2, 2), {}),
    ((RED_2X2, 1.5, 2), {}),
    ((RED_2X2, 2.0, 2), {}),
    ((RED_2X2, FloatSub(2), 2), {}),
    ((RED_2X2, 2, None), {}),
    ((RED_2X2, "2.5", 2), {}),
    ((RED_2X2, 2**31, 2), {}),
    ((RED_2X2, 2, INT32_MIN - 1), {}),
    ((RED_2X2, str(2**31), 2), {}),
    # Beyond 64 bits: read without its overflow flag, such an int is -1.
    ((RED_2X2, 2**64, 2), {}),
    ((RED_2X2, 2, 2**64), {}),
    ((RED_2X2, -(2**70), 2), {}),
    ((RED_2X2, 2, -(2**70)), {}),
    ((RED_2X2, 2, str(2**64)), {}),
    ((RED_2X2, IntRaises(), 2), {}),
    ((RED_2X2, 2), {}),
    ((RED_2X2, 2, 2), {"depth": 3}),
]

# Arguments that convert but describe no image the module encodes:
# ValueError with this text.
REFUSED_VALUES = [
    ((RED_2X2, 0, 2), "width and height must be positive, got width=0, height=2"),
    ((RED_2X2, 2, 0), "got width=2, height=0"),
    ((RED_2X2, -3, -5), "got width=-3, height=-5"),
    ((RED_2X2, INT32_MIN, INT32_MAX), "got width=-2147483648, height=2147483647"),
    ((b"", 715827883, 1), f"= 2147483649 bytes exceeds the limit of {LIMIT} bytes"),
    ((b"", LIMIT, LIMIT), f"= 13835058042397261827 bytes exceeds the limit of {LIMIT} bytes"),
    # Exactly at the limit the size passes and the buffer length decides.
    ((b"", 715827882, 1), "pixel_data holds 0 bytes, but width * height * 3 = 2147483646"),
    ((RED_2X2[:-1], 2, 2), "pixel_data holds 11 bytes, but width * height * 3 = 12 bytes"),
    ((RED_2X2, 3, 2), "pixel_data holds 12 bytes, but width * height * 3 = 18 bytes"),
]

# --- refusing allocations (failing_alloc.c preloaded) ---------------------------

HERE = os.path.dirname(os.path.abspath(__file__))
FAILING_ALLOC_C = os.path.join(HERE, "failing_alloc.c")
ALL_KINDS = 7  # malloc, calloc and realloc


def c_compiler():
    """The C compiler's path, or None."""
    return shutil.which("cc") or shutil.which("gcc")


def build_failing_alloc(path):
    """Compiles failing_alloc.c into `path`; returns False without a compiler."""
    cc = c_compiler()
    if cc is None:
        return False
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(path), FAILING_ALLOC_C], check=True)
    return True


def preloaded_shim():
    """The preloaded failing_alloc.c, or None if it is not preloaded."""
    shim = ctypes.CDLL(None)
    return shim if hasattr(shim, "fail_alloc_arm") else None


# The shim watches one loaded file, named by its real path.

def module_file():
    """The real path of the imported module's file, as the shim takes it."""
    import tervalo_ext

    return os.fsencode(os.path.realpath(tervalo_ext.__file__))


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def libsixel_file(path=None):
    """The real path of the file libsixel(path) loaded, as the shim takes it."""
    dladdr = ctypes.CDLL(None).dladdr
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    info = _DlInfo()
    if not dladdr(ctypes.cast(libsixel(path).sixel_encode, ctypes.c_void_p), ctypes.byref(info)):
        raise OSError("dladdr cannot place libsixel's sixel_encode")
    return os.fsencode(os.path.realpath(os.fsdecode(info.dli_fname)))


def refusal_walk(shim, encode, args, expected, obj=None, kinds=ALL_KINDS):
    """Refuses the 1st, 2nd, ... allocation made from the file `obj` (the
    module's by default) during encode(*args), one per call, until a call
    has none left to refuse.
    Returns ([(outcome, recovered) per refusal], the last call's outcome):
    an outcome is "ok", "wrong stream" or "ExceptionName: message", and
    recovered says whether the next, unrefused call gave `expected`."""
    obj = module_file() if obj is None else obj
    steps = []
    skip = 0
    while True:
        if not shim.fail_alloc_arm(obj, kinds, skip):
            raise RuntimeError(f"no loaded object matches {obj!r}")
        before = shim.fail_alloc_refused()
        try:
            outcome = "ok" if encode(*args) == expected else "wrong stream"
        except Exception as error:  # noqa: BLE001 - every outcome is reported
            outcome = f"{type(error).__name__}: {error}"
        shim.fail_alloc_disarm()
        refused = shim.fail_alloc_refused() - before
        if not refused:
            return steps, outcome
        steps.append((outcome, encode(*args) == expected))
        skip += 1
