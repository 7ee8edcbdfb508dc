"""libsixel called directly through ctypes, with the module's configuration
and libsixel's default allocator: the reference every stream is compared with."""

import ctypes
import ctypes.util
import functools
import os
import re

# The module's configuration: automatic palette, RGB888, largest dimension by
# norm, centre-of-box representative colour, high-quality histogram.
PIXELFORMAT_RGB888, LARGE_NORM, REP_CENTER_BOX, QUALITY_HIGH = 3, 1, 1, 1
PIXELFORMAT_PAL8 = 0x43  # palette indices, a byte each
SIXEL_FAILED = 0x1000
SIXEL_BAD_ALLOCATION, SIXEL_BAD_INPUT = 0x1101, 0x1103


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


def libsixel_indexed(indices, width, height, palette, path=None):
    """libsixel's stream of palette indices (PAL8) in a given palette,
    undiffused, with its default allocator."""
    lib = libsixel(path)
    buf = ctypes.create_string_buffer(bytes(indices[: width * height]))
    colours = ctypes.create_string_buffer(bytes(palette))
    pieces = []

    def write(data, size, _priv):
        pieces.append(ctypes.string_at(data, size))
        return size

    callback = _WRITE(write)
    dither, output = ctypes.c_void_p(), ctypes.c_void_p()
    try:
        statuses = [lib.sixel_dither_new(ctypes.byref(dither), len(palette) // 3, None)]
        lib.sixel_dither_set_palette(dither, colours)
        lib.sixel_dither_set_pixelformat(dither, PIXELFORMAT_PAL8)
        statuses.append(lib.sixel_output_new(ctypes.byref(output), callback, None, None))
        statuses.append(lib.sixel_encode(buf, width, height, 1, dither, output))
    finally:
        if output:
            lib.sixel_output_unref(output)
        if dither:
            lib.sixel_dither_unref(dither)
    if any(s & 0xFFFFFFFF for s in statuses):
        raise RuntimeError(f"libsixel failed: statuses {[hex(s) for s in statuses]}")
    return b"".join(pieces)


def libsixel_paletted(pixels, width, height, palette, diffusion, path=None):
    """libsixel's stream of packed RGB mapped by libsixel to a given palette
    and dithered by its method `diffusion`, with its default allocator."""
    lib = libsixel(path)
    buf = ctypes.create_string_buffer(bytes(pixels[: width * height * 3]))
    colours = ctypes.create_string_buffer(bytes(palette))
    pieces = []

    def write(data, size, _priv):
        pieces.append(ctypes.string_at(data, size))
        return size

    callback = _WRITE(write)
    dither, output = ctypes.c_void_p(), ctypes.c_void_p()
    try:
        statuses = [lib.sixel_dither_new(ctypes.byref(dither), len(palette) // 3, None)]
        lib.sixel_dither_set_palette(dither, colours)
        lib.sixel_dither_set_diffusion_type(dither, diffusion)
        statuses.append(lib.sixel_output_new(ctypes.byref(output), callback, None, None))
        statuses.append(lib.sixel_encode(buf, width, height, 3, dither, output))
    finally:
        if output:
            lib.sixel_output_unref(output)
        if dither:
            lib.sixel_dither_unref(dither)
    if any(s & 0xFFFFFFFF for s in statuses):
        raise RuntimeError(f"libsixel failed: statuses {[hex(s) for s in statuses]}")
    return b"".join(pieces)
