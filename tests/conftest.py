"""Shared images and independent references: libsixel called directly
through ctypes, and ImageMagick as a decoder nobody here wrote."""

import ctypes
import ctypes.util
import os
import shutil
import subprocess

import numpy as np
import pytest

# True in the sanitizer run (scripts/reliability.sh), where Python starts with
# the ASan runtime preloaded.
UNDER_ASAN = hasattr(ctypes.CDLL(None), "__asan_init")


def not_under_asan(why):
    return pytest.mark.skipif(UNDER_ASAN, reason=f"under ASan {why}; runs in the normal build")

# Same configuration the module uses: automatic palette, RGB888, largest
# dimension by norm, centre-of-box representative, high quality.
PIXELFORMAT_RGB888, LARGE_NORM, REP_CENTER_BOX, QUALITY_HIGH = 3, 1, 1, 1


def few_colour(width, height):
    """Four flat colours in blocks: palette path, no diffusion."""
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


def libsixel_encode(pixels, width, height):
    """libsixel driven directly, returning the stream and its piece sizes."""
    lib = ctypes.CDLL(ctypes.util.find_library("sixel"))
    buf = ctypes.create_string_buffer(bytes(pixels[: width * height * 3]))
    pieces = []
    write_fn = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p)

    def write(data, size, _priv):
        pieces.append(ctypes.string_at(data, size))
        return size

    callback = write_fn(write)
    dither, output = ctypes.c_void_p(), ctypes.c_void_p()
    assert lib.sixel_dither_new(ctypes.byref(dither), -1, None) == 0
    assert lib.sixel_dither_initialize(dither, buf, width, height, PIXELFORMAT_RGB888,
                                       LARGE_NORM, REP_CENTER_BOX, QUALITY_HIGH) == 0
    assert lib.sixel_output_new(ctypes.byref(output), callback, None, None) == 0
    assert lib.sixel_encode(buf, width, height, 3, dither, output) == 0
    lib.sixel_output_unref(output)
    lib.sixel_dither_unref(dither)
    return b"".join(pieces), [len(p) for p in pieces]


def _imagemagick():
    # Prefer the distribution's binary over any wrapper earlier on PATH.
    for path in ("/usr/bin/convert", shutil.which("convert")):
        if path and os.access(path, os.X_OK):
            return path
    return None


@pytest.fixture(scope="session")
def magick():
    convert = _imagemagick()
    if convert is None:
        pytest.skip("ImageMagick's convert is not installed (apt-get install imagemagick)")

    def run(*args, data=None):
        return subprocess.run([convert, *args], input=data, capture_output=True,
                              check=True).stdout

    def decode(stream):
        # ImageMagick 6 yields black when a decoded sixel goes straight to raw
        # RGB, so go through PNG first.
        png = run("sixel:-", "png:-", data=stream)
        size = run("png:-", "-format", "%w %h", "info:-", data=png).split()
        width, height = int(size[0]), int(size[1])
        rgb = run("png:-", "-depth", "8", "rgb:-", data=png)
        return width, height, np.frombuffer(rgb, np.uint8).reshape(height, width, 3)

    def size(stream):
        """Width and height of a decoded stream, without its pixels."""
        width, height = run("sixel:-", "-format", "%w %h", "info:-", data=stream).split()
        return int(width), int(height)

    run.decode = decode
    run.size = size
    return run


def psnr(a, b):
    mse = np.mean((np.asarray(a, np.float64) - np.asarray(b, np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0**2 / mse)
