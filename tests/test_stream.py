"""The stream itself: framing, palette, completeness, and agreement with
libsixel called directly and with an independent decoder."""

import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from imagemagick import psnr
from images import few_colour, photo_like
from reference import libsixel_encode

from tervalo_ext import sixel_encode_bytes

PIECE = 16384


@pytest.mark.parametrize("width, height, make", [
    (1, 1, few_colour), (7, 13, photo_like), (64, 64, few_colour), (200, 3, photo_like),
])
def test_framing(width, height, make):
    stream = sixel_encode_bytes(make(width, height), width, height)
    assert stream.startswith(b'\x1bPq"1;1;%d;%d#' % (width, height))
    assert stream.endswith(b"\x1b\\")
    # One palette definition per entry, numbered 0..n-1 with RGB percentages.
    entries = re.findall(rb"#(\d+);2;(\d+);(\d+);(\d+)", stream)
    assert [int(e[0]) for e in entries] == list(range(len(entries)))
    assert 1 <= len(entries) <= 256
    assert all(0 <= int(c) <= 100 for e in entries for c in e[1:])


def test_single_colour_gets_one_entry_palette():
    stream = sixel_encode_bytes(b"\xff\x00\x00" * 12 * 12, 12, 12)
    assert stream.startswith(b'\x1bPq"1;1;12;12#0;2;97;0;0')
    assert b"#1;" not in stream


@pytest.mark.parametrize("width, height, make", [
    (12, 12, lambda w, h: b"\xff\x00\x00" * w * h),
    (64, 48, few_colour),
    (64, 5, photo_like),
    (97, 61, photo_like),
    (240, 180, photo_like),  # four 16384-byte pieces and a remainder
])
def test_equals_libsixel_called_directly(width, height, make):
    pixels = make(width, height)
    expected, pieces = libsixel_encode(pixels, width, height)
    assert sixel_encode_bytes(pixels, width, height) == expected
    if width == 240:
        assert len(pieces) > 2 and set(pieces[:-1]) == {PIECE}
        assert len(np.unique(np.frombuffer(pixels, np.uint8).reshape(-1, 3), axis=0)) > 256


def test_repeatable_and_leaves_caller_pixels_alone():
    pixels = photo_like(160, 120, seed=7)
    before = bytes(pixels)
    first = sixel_encode_bytes(pixels, 160, 120)
    assert pixels == before
    assert sixel_encode_bytes(pixels, 160, 120) == first


# At least six rows: for shorter images libsixel starts the pixel data with a
# graphics newline, which decoders draw as an extra blank band. That is
# libsixel's own output, kept byte for byte (see the (64, 5) case above).
@pytest.mark.parametrize("width, height", [(1, 6), (3, 7), (33, 20), (64, 13)])
def test_imagemagick_decodes_to_the_right_size(magick, width, height):
    assert magick.decode(sixel_encode_bytes(photo_like(width, height), width, height))[:2] == (
        width, height)


def test_natural_image_decodes_close_to_input(magick):
    rgb = magick("rose:", "-depth", "8", "rgb:-")
    stream = sixel_encode_bytes(rgb, 70, 46)
    width, height, decoded = magick.decode(stream)
    assert (width, height) == (70, 46)
    assert psnr(decoded, np.frombuffer(rgb, np.uint8).reshape(46, 70, 3)) >= 30


@pytest.mark.slow
@settings(max_examples=150, deadline=None)
@given(width=st.integers(1, 64), height=st.integers(1, 64), colours=st.integers(1, 600),
       seed=st.integers(0, 2**32 - 1))
def test_every_image_decodes_to_its_size(magick, width, height, colours, seed):
    """Random sizes up to 64 x 64, from one colour to more than libsixel's
    palette holds (so diffusion runs too)."""
    rng = np.random.default_rng(seed)
    palette = rng.integers(0, 256, (colours, 3), dtype=np.uint8)
    pixels = palette[rng.integers(0, colours, (height, width))].tobytes()
    stream = sixel_encode_bytes(pixels, width, height)
    assert stream.startswith(b'\x1bPq"1;1;%d;%d#0;2;' % (width, height))
    assert stream.endswith(b"\x1b\\")
    # Below six rows libsixel's leading graphics newline adds a blank band.
    # ImageMagick 6 counts it, except for some images that are one long run
    # of one colour (depending on colour and length), which it sizes by the
    # raster attributes.
    decoded_width, decoded_height = magick.size(stream)
    assert decoded_width == width
    if height >= 6:
        assert decoded_height == height
    elif re.fullmatch(rb'[^#]*#0;2;[\d;]+-#0!\d+[?-~]\x1b\\', stream):
        assert decoded_height in (height, height + 6)
    else:
        assert decoded_height == height + 6
