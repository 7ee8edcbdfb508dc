"""The benchmark's images and the four ways of encoding them that it times.

Every route's run() returns (CPU ns per encode, wall-clock ns per encode,
stream of the last encode). CPU time is that of the thread that encodes (of
the whole process for img2sixel): on a machine shared with other work it
counts what the encode costs, not how long the scheduler kept it waiting.
"""

import ctypes
import ctypes.util
import gc
import resource
import shutil
import subprocess
import time

import numpy as np

# The module's configuration: automatic palette, RGB888, largest dimension by
# norm, centre-of-box representative colour, high-quality histogram.
PIXELFORMAT_RGB888, LARGE_NORM, REP_CENTER_BOX, QUALITY_HIGH = 3, 1, 1, 1


def few_colour(width, height):
    """Four flat colours in blocks: palette path, no diffusion. (Same images
    as the test suite's.)"""
    colours = np.array([[255, 0, 0], [0, 128, 0], [16, 32, 240], [250, 250, 250]], np.uint8)
    y, x = np.mgrid[0:height, 0:width]
    return colours[((x // 5) + (y // 3)) % 4].tobytes()


def photo_like(width, height, seed=1):
    """Smooth gradients plus noise: well over 256 colours, so diffusion runs."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    rng = np.random.default_rng(seed)
    img = np.stack([255 * x / max(width - 1, 1), 255 * y / max(height - 1, 1),
                    127 + 127 * np.sin((x + y) / 7.0)], axis=-1)
    img += rng.normal(0, 12, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8).tobytes()


KINDS = {"few-colour": few_colour, "photo-like": photo_like}


def ppm(pixels, width, height):
    return b"P6\n%d %d\n255\n" % (width, height) + pixels


class _Stopwatch:
    """Times `repeats` calls with the collector off, as the calls make no
    cycles: CPU time of this thread (or of waited-for children) and wall time."""

    def __init__(self, repeats, children=False):
        self.repeats = repeats
        self.children = children

    def _cpu_ns(self):
        if self.children:
            usage = resource.getrusage(resource.RUSAGE_CHILDREN)
            return (usage.ru_utime + usage.ru_stime) * 1e9
        return time.thread_time_ns()

    def __enter__(self):
        self.enabled = gc.isenabled()
        gc.disable()
        self.cpu_start = self._cpu_ns()
        self.wall_start = time.perf_counter_ns()
        return self

    def __exit__(self, *exc):
        self.wall = (time.perf_counter_ns() - self.wall_start) / self.repeats
        self.cpu = (self._cpu_ns() - self.cpu_start) / self.repeats
        if self.enabled:
            gc.enable()


class _InProcessRoute:
    """Timed in this process, around the route's own `encode`."""

    def run(self, pixels, width, height, repeats=1):
        encode = self.encode
        with _Stopwatch(repeats) as watch:
            for _ in range(repeats):
                stream = encode(pixels, width, height)
        return watch.cpu, watch.wall, stream


class ModuleRoute(_InProcessRoute):
    name = "module"

    def __init__(self):
        from tervalo_ext import sixel_encode_bytes
        self.encode = sixel_encode_bytes


class DirectRoute:
    """bench/direct.cpp, which times itself: no interpreter cost is counted."""

    name = "direct"

    def __init__(self, library):
        lib = ctypes.CDLL(str(library))
        lib.tervalo_bench_encode.restype = ctypes.c_int
        lib.tervalo_bench_encode.argtypes = [
            ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
            ctypes.POINTER(ctypes.c_longlong), ctypes.POINTER(ctypes.c_longlong),
            ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_ulonglong)]
        lib.tervalo_bench_free.argtypes = [ctypes.c_void_p]
        self.lib = lib

    def encode_raw(self, pixels, width, height, repeats=1):
        """(total CPU ns, total wall ns, pointer, size); the caller frees the
        pointer."""
        cpu, wall = ctypes.c_longlong(), ctypes.c_longlong()
        stream, size = ctypes.c_void_p(), ctypes.c_ulonglong()
        if self.lib.tervalo_bench_encode(pixels, width, height, repeats, ctypes.byref(cpu),
                                         ctypes.byref(wall), ctypes.byref(stream),
                                         ctypes.byref(size)):
            raise RuntimeError(f"direct libsixel encode failed for {width}x{height}")
        return cpu.value, wall.value, stream, size.value

    def run(self, pixels, width, height, repeats=1):
        cpu, wall, stream, size = self.encode_raw(pixels, width, height, repeats)
        try:
            return cpu / repeats, wall / repeats, ctypes.string_at(stream, size)
        finally:
            self.lib.tervalo_bench_free(stream)


class CtypesRoute(_InProcessRoute):
    """What a Python user writes without the module: libsixel through ctypes,
    the stream collected by a Python write callback."""

    name = "ctypes"
    WRITE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p)

    def __init__(self):
        lib = ctypes.CDLL(ctypes.util.find_library("sixel") or "libsixel.so.1")
        for name in ("sixel_dither_unref", "sixel_output_unref"):
            getattr(lib, name).argtypes = [ctypes.c_void_p]
        self.lib = lib

    def encode(self, pixels, width, height):
        lib = self.lib
        buf = ctypes.create_string_buffer(pixels, len(pixels))  # diffusion writes into it
        pieces = []

        def write(data, size, _priv):
            pieces.append(ctypes.string_at(data, size))
            return size

        callback = self.WRITE(write)
        dither, output = ctypes.c_void_p(), ctypes.c_void_p()
        try:
            if (lib.sixel_dither_new(ctypes.byref(dither), -1, None)
                    or lib.sixel_dither_initialize(dither, buf, width, height,
                                                   PIXELFORMAT_RGB888, LARGE_NORM,
                                                   REP_CENTER_BOX, QUALITY_HIGH)
                    or lib.sixel_output_new(ctypes.byref(output), callback, None, None)
                    or lib.sixel_encode(buf, width, height, 3, dither, output)):
                raise RuntimeError("libsixel failed")
        finally:
            if output:
                lib.sixel_output_unref(output)
            if dither:
                lib.sixel_dither_unref(dither)
        return b"".join(pieces)


class Img2sixelRoute:
    """Debian's img2sixel with its default options, fed a PPM on stdin:
    whole-process time (the child's CPU time, and the wall time a shell user
    waits), start-up and PPM decoding included."""

    name = "img2sixel"
    ARGS = ["img2sixel"]

    def __init__(self):
        if shutil.which("img2sixel") is None:
            raise RuntimeError("img2sixel is not installed (apt-get install libsixel-bin)")
        self._ppm = {}

    def run(self, pixels, width, height, repeats=1):
        key = (id(pixels), width, height)
        if key not in self._ppm:  # a user would already have the file
            self._ppm = {key: ppm(pixels, width, height)}
        data = self._ppm[key]
        with _Stopwatch(repeats, children=True) as watch:
            for _ in range(repeats):
                stream = subprocess.run(self.ARGS, input=data, stdout=subprocess.PIPE,
                                        check=True).stdout
        return watch.cpu, watch.wall, stream
