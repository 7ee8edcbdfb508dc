"""tervalo._sixel, the package's own module (native, so not marked tervalo:
it runs on every CPython, free-threaded included, and under ASan): what it refuses, what its
strips and threads give against one encode, its exact nearest-entry
mapping against a brute-force search, libsixel's positional methods
against libsixel called directly, and a Dither kept across frames."""

import re
import threading

import numpy as np
import pytest
from arguments import INT32_MAX
from imagemagick import psnr
from images import few_colour, photo_like
from reference import libsixel_paletted

from tervalo import _sixel
from tervalo_ext import sixel_encode_bytes

RED_2X2 = b"\xff\x00\x00" * 4
PALETTE = bytes([255, 0, 0, 0, 0, 255])
ENTRIES = re.compile(rb"#\d+;2;\d+;\d+;\d+")


def photo(width, height, seed=1):
    return np.frombuffer(photo_like(width, height, seed), np.uint8).reshape(height, width, 3)


REFUSED = [
    (lambda: _sixel.encode(RED_2X2, 0, 2), ValueError, "got width=0, height=2"),
    (lambda: _sixel.encode(RED_2X2, 2, -1), ValueError, "got width=2, height=-1"),
    (lambda: _sixel.encode(RED_2X2[:-1], 2, 2), ValueError, "hold 11 bytes, but .* = 12"),
    (lambda: _sixel.encode(b"", 715827883, 1), ValueError, "exceeds the limit"),
    (lambda: _sixel.encode(b"", INT32_MAX, INT32_MAX), ValueError, "exceeds the limit"),
    (lambda: _sixel.encode(RED_2X2, 2, 2, threads=-1), ValueError, "threads must be 0"),
    (lambda: _sixel.encode(RED_2X2, 2**31, 2), TypeError, "incompatible"),
    (lambda: _sixel.encode(RED_2X2, 2.0, 2), TypeError, "incompatible"),
    (lambda: _sixel.encode(bytearray(RED_2X2), 2, 2), TypeError, "incompatible"),
    (lambda: _sixel.encode(RED_2X2, 2, 2, 1), TypeError, "incompatible"),
    (lambda: _sixel.Dither(b""), ValueError, "1 to 256 RGB entries"),
    (lambda: _sixel.Dither(b"\0" * 4), ValueError, "got 4 bytes"),
    (lambda: _sixel.Dither(b"\0" * 771), ValueError, "got 771 bytes"),
    (lambda: _sixel.Dither(PALETTE, 0), ValueError, "diffusion must be one of"),
    (lambda: _sixel.Dither(PALETTE, 9), ValueError, "got 9"),
    (lambda: _sixel.Dither.from_pixels(RED_2X2, 2, 2, colours=0), ValueError, "colours must"),
    (lambda: _sixel.Dither.from_pixels(RED_2X2, 2, 2, colours=257), ValueError, "got 257"),
    (lambda: _sixel.Dither.from_pixels(RED_2X2, 2, 3), ValueError, "= 18 bytes"),
    (lambda: _sixel.Dither(PALETTE).encode(RED_2X2, 3, 2), ValueError, "= 18 bytes"),
    (lambda: _sixel.Dither(PALETTE).encode(RED_2X2, 2, 2, threads=-2), ValueError, "threads"),
    (lambda: _sixel.Dither(PALETTE).mismatch(RED_2X2, 2, 0), ValueError, "height=0"),
]


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_bad_arguments_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("make", [few_colour, photo_like])
@pytest.mark.parametrize("width, height", [(1, 1), (7, 5), (300, 200), (5, 61)])
def test_longer_buffers_encode_as_exact_ones(make, width, height):
    pixels = make(width, height)
    assert _sixel.encode(pixels + b"\x07" * 5, width, height) == _sixel.encode(
        pixels, width, height)


@pytest.mark.parametrize("make, width, height", [(few_colour, 53, 61), (few_colour, 401, 203),
                                                 (photo_like, 320, 240)])
def test_a_stream_is_the_same_whatever_the_threads(make, width, height):
    """A large picture is cut into strips by its size alone: threads only
    share them out, so every machine writes the same stream."""
    pixels = make(width, height)
    one = _sixel.encode(pixels, width, height, threads=1)
    assert all(_sixel.encode(pixels, width, height, threads=threads) == one
               for threads in (0, 2, 3, 16))


def test_strips_of_own_colours_draw_the_picture(magick):
    """Undiffused, each band depends on its own pixels only: the strips
    joined draw the picture exactly (a strip selects its first colour anew
    where one encode may go on with the band before's)."""
    pixels = few_colour(401, 203)
    stream = _sixel.encode(pixels, 401, 203)
    assert stream.count(b"-") == (203 - 1) // 6
    expected = np.frombuffer(pixels, np.uint8).reshape(203, 401, 3).astype(int)
    assert np.abs(magick.decode(stream)[2].astype(int) - expected).max() <= 1


def test_strips_of_a_photo_draw_it_as_one_encode(magick):
    """Diffused strips restart their error at each strip's first row: a
    picture just large enough to be cut draws as close to its pixels as one
    just too small to be."""
    rgb = photo(256, 256)
    cut = magick.decode(_sixel.encode(rgb.tobytes(), 256, 256))[2][:, :255]
    narrower = np.ascontiguousarray(rgb[:, :255])
    whole = magick.decode(_sixel.encode(narrower.tobytes(), 255, 256))[2]
    assert abs(psnr(cut, narrower) - psnr(whole, narrower)) < 0.3


def test_undiffused_pixels_draw_their_nearest_entry(magick):
    rng = np.random.default_rng(8)
    palette = rng.integers(0, 256, (256, 3), dtype=np.uint8)
    rgb = photo(97, 43, seed=4)
    distances = ((rgb[:, :, None, :].astype(int) - palette.astype(int)) ** 2).sum(axis=3)
    best = distances.min(axis=2, keepdims=True)
    stream = _sixel.Dither(palette.tobytes(), _sixel.DIFFUSE_NONE).encode(rgb.tobytes(), 97, 43)
    decoded = magick.decode(stream)[2].astype(int)
    # Each pixel is drawn (within a percent's rounding) in an entry at the
    # least distance from it: ties may go either way.
    drawn = np.abs(decoded[:, :, None, :] - palette.astype(int)).max(axis=3) <= 1
    assert (drawn & (distances == best)).any(axis=2).all()


@pytest.mark.parametrize("diffusion", ["A_DITHER", "X_DITHER"])
def test_positional_methods_are_libsixels_own(diffusion):
    method = getattr(_sixel, f"DIFFUSE_{diffusion}")
    palette = _sixel.Dither.from_pixels(photo_like(64, 48), 64, 48, colours=32).palette
    pixels = photo_like(64, 48, seed=2)
    ours = _sixel.Dither(palette, method).encode(pixels, 64, 48, threads=1)
    direct = libsixel_paletted(pixels, 64, 48, palette, method)
    assert ENTRIES.sub(b"", ours) == ENTRIES.sub(b"", direct)


@pytest.mark.parametrize("colours", [1, 2, 17, 256])
def test_a_dither_of_few_colours_keeps_them_exactly(colours):
    pixels = bytes(b for k in range(colours) for b in (k, 255 - k, k // 2))
    dither = _sixel.Dither.from_pixels(pixels * 4, colours, 4, colours=colours)
    assert dither.palette == pixels and dither.fit == 0
    assert dither.mismatch(pixels * 4, colours, 4) == 0


def pan(shift, width=160, height=120):
    """A frame of a slow pan across a photo-like picture."""
    return np.ascontiguousarray(photo(width + 16, height)[:, shift:shift + width])


def test_mismatch_tells_a_new_scene_from_the_same_one():
    dither = _sixel.Dither.from_pixels(pan(0).tobytes(), 160, 120)
    same = dither.mismatch(pan(6).tobytes(), 160, 120)
    new = dither.mismatch(np.ascontiguousarray(pan(0)[::-1, :, ::-1]).tobytes(), 160, 120)
    assert 0 < dither.fit and same < 1.1 * dither.fit and new > 1.5 * dither.fit
    assert np.isnan(_sixel.Dither(PALETTE).fit)


def test_a_kept_palette_draws_later_frames_as_a_new_one_would(magick):
    kept = _sixel.Dither.from_pixels(pan(0).tobytes(), 160, 120)
    later = pan(8)
    again = magick.decode(kept.encode(later.tobytes(), 160, 120))[2]
    fresh = magick.decode(_sixel.encode(later.tobytes(), 160, 120))[2]
    assert psnr(again, later) > psnr(fresh, later) - 0.3


@pytest.mark.slow
def test_threads_get_what_serial_calls_get():
    """Encodes from 8 threads at once, with the interpreter lock released
    around them, beside tervalo_ext's median cut under its own lock:
    every stream is the serial one."""
    jobs = [(photo_like(90 + t, 61, seed=t), 90 + t, 61) for t in range(4)]
    jobs += [(few_colour(200, 37), 200, 37)]
    dithers = [_sixel.Dither.from_pixels(jobs[0][0], 90, 61, diffusion=d)
               for d in (_sixel.DIFFUSE_FS, _sixel.DIFFUSE_X_DITHER)]
    calls = [lambda a=a: _sixel.encode(*a) for a in jobs]
    calls += [lambda a=a: _sixel.encode(*a, threads=3) for a in jobs]
    calls += [lambda a=a, d=d: d.encode(*a) for a in jobs for d in dithers]
    calls += [lambda a=a: sixel_encode_bytes(*a) for a in jobs]
    serial = [call() for call in calls]
    results = [[] for _ in range(8)]
    start = threading.Barrier(8)

    def work(t):
        start.wait()
        for i in range(60):
            k = (i * 7 + t) % len(calls)
            results[t].append((k, calls[k]()))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(len(r) == 60 for r in results)
    for got in results:
        for k, stream in got:
            assert stream == serial[k], k
