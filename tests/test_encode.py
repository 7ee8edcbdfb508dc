"""tervalo.encode: every kind of picture it takes, checked by what ImageMagick
draws from the stream; everything it refuses, refused with a message; the
sizes max_size fits pictures to."""

import io
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import CHILDREN
from hypothesis import given, settings
from hypothesis import strategies as st
from imagemagick import psnr
from images import photo_like
from PIL import Image
from reference import libsixel_indexed

import tervalo
from tervalo._encode import fit
from tervalo_ext import sixel_encode_bytes

pytestmark = pytest.mark.tervalo

# libsixel's palette keeps channels in multiples of 8 (255 draws as 247 or
# 248): what a flat colour may move by.
PALETTE = 10
# A flat colour a JPEG also shifts a little.
JPEG = 24

# Channel values that are exact in every dtype (0.2 * 255 = 51, 0.2 * 65535 =
# 13107), in flat bands 8 x 12 pixels: libsixel builds its palette from a
# sample of the pixels, which can miss a colour of narrower bands.
COLOURS = [(1.0, 0.0, 0.0), (0.0, 0.6, 0.2), (0.2, 0.2, 1.0), (1.0, 1.0, 1.0), (0.0, 0.0, 0.0)]
BLUE = (0, 0, 255)


def bands(colours, height=12, width=8):
    """height x (width * len(colours)) x channels floats: a band per colour."""
    return np.repeat(np.asarray(colours, np.float64)[np.newaxis], width, axis=1).repeat(
        height, axis=0)


def as_dtype(unit, dtype):
    """Floats in [0, 1] as the integers (or floats) of `dtype` they stand for."""
    if dtype == np.bool_:
        return unit > 0.5
    if np.issubdtype(dtype, np.integer):
        return np.rint(unit * np.iinfo(dtype).max).astype(dtype)
    return unit.astype(dtype)


def over(unit_rgba, background):
    """What an RGBA picture (floats) looks like on `background`, in 8 bits."""
    colour, alpha = unit_rgba[..., :3], unit_rgba[..., 3:]
    return np.rint(255 * colour * alpha + np.asarray(background) * (1 - alpha))


def assert_draws(magick, stream, expected, tolerance=PALETTE):
    width, height, decoded = magick.decode(stream)
    expected = np.asarray(expected, np.float64)
    assert (height, width) == expected.shape[:2]
    error = np.abs(decoded.astype(np.float64) - expected)
    assert error.max() <= tolerance, (error.max(), np.argwhere(error > tolerance)[:3])


def raster_size(stream):
    """The size a stream declares (its raster attributes): ImageMagick draws
    pictures less than six rows tall a band lower."""
    return tuple(map(int, re.match(rb'\x1bPq"1;1;(\d+);(\d+)', stream).groups()))


# --- NumPy --------------------------------------------------------------------------------

# Byte order is the dtype's business too: ">u2" is a big-endian uint16.
DTYPES = [np.uint8, np.uint16, ">u2", np.bool_, np.float16, np.float32, ">f4", np.float64]


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).str)
@pytest.mark.parametrize("layout", ["gray", "gray HxWx1", "rgb", "rgba"])
def test_numpy_arrays_draw_their_colours(magick, dtype, layout):
    colours = COLOURS if dtype != np.bool_ else [c for c in COLOURS if set(c) <= {0.0, 1.0}]
    rgb = bands(colours)
    if layout.startswith("gray"):
        unit = rgb[..., 1] if dtype != np.bool_ else rgb[..., 0]
        expected = np.repeat(np.rint(255 * unit)[..., np.newaxis], 3, axis=2)
        array = as_dtype(unit, dtype)
        if layout == "gray HxWx1":
            array = array[..., np.newaxis]
    elif layout == "rgb":
        array, expected = as_dtype(rgb, dtype), np.rint(255 * rgb)
    else:  # every colour opaque, transparent and (but bool) 60 % opaque
        alphas = (1.0, 0.0) if dtype == np.bool_ else (1.0, 0.0, 0.6)
        rgba = np.concatenate([np.concatenate([rgb, np.full(rgb.shape[:2] + (1,), a)], axis=2)
                               for a in alphas])
        array, expected = as_dtype(rgba, dtype), over(rgba, BLUE)
    assert_draws(magick, tervalo.encode(array, background=BLUE), expected)


def test_sixteen_bit_arrays_are_scaled_not_clipped(magick):
    # Clipped to 255, every one of these would draw white.
    levels = np.array([[0, 257 * 64, 257 * 128, 257 * 200, 65535]], np.uint16)
    expected = np.array([[0, 64, 128, 200, 255]])
    assert_draws(magick, tervalo.encode(levels.repeat(8, axis=1).repeat(12, axis=0)),
                 np.repeat(expected.repeat(8, axis=1).repeat(12, axis=0)[..., None], 3, axis=2))


@pytest.mark.parametrize("view", [
    lambda a: np.ascontiguousarray(a.transpose(1, 0, 2)).transpose(1, 0, 2),  # Fortran order
    lambda a: np.repeat(np.repeat(a, 2, axis=0), 2, axis=1)[::2, ::2],        # every other pixel
    lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],                # negative strides
    lambda a: np.concatenate([a, a[..., :1]], axis=2)[..., :3],               # RGB out of RGBX
    lambda a: np.asfortranarray(a[..., 0]),                                   # gray, column-major
], ids=["transposed", "strided", "reversed", "channel-slice", "gray-fortran"])
def test_numpy_views_of_any_strides(magick, view):
    rgb = np.rint(255 * bands(COLOURS)).astype(np.uint8)
    array = view(rgb)
    assert not array.flags.c_contiguous
    expected = rgb if array.ndim == 3 else np.repeat(rgb[..., :1], 3, axis=2)
    assert_draws(magick, tervalo.encode(array), expected)


def test_a_transposed_array_is_drawn_transposed(magick):
    rgb = np.rint(255 * bands(COLOURS)).astype(np.uint8)  # 12 x 40
    assert_draws(magick, tervalo.encode(rgb.transpose(1, 0, 2)), rgb.transpose(1, 0, 2))


# --- Pillow --------------------------------------------------------------------------------

def rgb_image(colours=COLOURS):
    return Image.fromarray(np.rint(255 * bands(colours)).astype(np.uint8), "RGB")


def gray_levels(values, scale):
    """A one-band image's data (values 0..scale) and the 8-bit gray it draws."""
    data = np.array([values], np.float64).repeat(8, axis=1).repeat(12, axis=0)
    return data, np.repeat(np.rint(data * 255 / scale)[..., np.newaxis], 3, axis=2)


def pillow_cases():
    """(id, image, expected 8-bit RGB on BLUE, tolerance)."""
    rgb = bands(COLOURS)
    rgba = np.concatenate([np.concatenate([rgb, np.full(rgb.shape[:2] + (1,), a)], axis=2)
                           for a in (1.0, 0.0, 0.6)])
    rgba8 = np.rint(255 * rgba).astype(np.uint8)
    yield "RGB", rgb_image(), 255 * rgb, PALETTE
    yield "RGBA", Image.fromarray(rgba8, "RGBA"), over(rgba8 / 255, BLUE), PALETTE
    # Premultiplied: Pillow's unpremultiplying costs a step at 60 % alpha.
    yield "RGBa", Image.fromarray(rgba8, "RGBA").convert("RGBa"), over(rgba8 / 255, BLUE), \
        PALETTE + 2
    la = np.stack([rgba8[..., 1], rgba8[..., 3]], axis=2)
    gray_over = over(np.stack([la[..., 0]] * 3 + [la[..., 1]], axis=2) / 255, BLUE)
    yield "LA", Image.fromarray(la, "LA"), gray_over, PALETTE
    yield "La", Image.fromarray(la, "LA").convert("La"), gray_over, PALETTE + 2
    yield "P", rgb_image().quantize(8), 255 * rgb, PALETTE
    # Palette transparency: the index of the third colour is transparent.
    palette = rgb_image().quantize(8)
    palette.info["transparency"] = palette.getpixel((16, 0))
    see_through = 255 * rgb
    see_through[:, 16:24] = BLUE
    yield "P transparency", palette, see_through, PALETTE
    # A palette with an alpha of its own: the third colour is transparent.
    rgba_palette = rgb_image().quantize(8)
    entries = rgba_palette.getpalette()
    seen = rgba_palette.getpixel((16, 0))
    rgba_palette.putpalette([c for k in range(len(entries) // 3)
                             for c in (*entries[3 * k:3 * k + 3], 0 if k == seen else 255)],
                            "RGBA")
    yield "P RGBA palette", rgba_palette, see_through, PALETTE
    yield "PA", Image.fromarray(rgba8, "RGBA").convert("PA"), over(rgba8 / 255, BLUE), PALETTE
    # A gray image with a transparent level (a PNG tRNS chunk).
    data, gray = gray_levels([0, 51, 153, 255], 255)
    gray_t = Image.fromarray(data.astype(np.uint8), "L")
    gray_t.info["transparency"] = 153
    yield "L transparency", gray_t, np.where(data[..., np.newaxis] == 153, BLUE, gray), PALETTE
    yield "L", Image.fromarray(data.astype(np.uint8), "L"), gray, PALETTE
    yield "1", Image.fromarray(data > 100).convert("1"), np.where(gray > 100, 255, 0), PALETTE
    data, gray = gray_levels([0, 13107, 32896, 51400, 65535], 65535)
    yield "I;16", Image.frombytes("I;16", data.shape[::-1], data.astype("<u2").tobytes()), \
        gray, PALETTE
    yield "I;16B", Image.frombytes("I;16B", data.shape[::-1], data.astype(">u2").tobytes()), \
        gray, PALETTE
    yield "I", Image.fromarray(data.astype(np.int32), "I"), gray, PALETTE
    data, gray = gray_levels([0.0, 0.2, 0.5, 0.8, 1.0], 1.0)
    yield "F", Image.fromarray(data.astype(np.float32), "F"), gray, PALETTE
    # CMYK of pure inks: red, green, blue, black, white paper.
    cmyk = bands([(0, 1, 1, 0), (1, 0, 1, 0), (1, 1, 0, 0), (0, 0, 0, 1), (0, 0, 0, 0)])
    yield "CMYK", Image.fromarray(np.rint(255 * cmyk).astype(np.uint8), "CMYK"), \
        255 * bands([(1, 0, 0), (0, 1, 0), (0, 0, 1), (0, 0, 0), (1, 1, 1)]), PALETTE
    for mode in ["YCbCr", "HSV", "RGBX"]:
        yield mode, rgb_image().convert(mode), 255 * rgb, PALETTE + 4
    # Pillow's LAB round trip is a few steps off on saturated colours (22
    # for 0): what it converts to is what is drawn.
    lab = rgb_image().convert("LAB")
    yield "LAB", lab, np.asarray(lab.convert("RGB")), PALETTE


PILLOW_CASES = list(pillow_cases())


@pytest.mark.parametrize("image, expected, tolerance", [c[1:] for c in PILLOW_CASES],
                         ids=[c[0] for c in PILLOW_CASES])
def test_pillow_modes_draw_their_colours(magick, image, expected, tolerance):
    assert_draws(magick, tervalo.encode(image, background=BLUE), expected, tolerance)


@pytest.mark.parametrize("fmt", ["PNG", "TIFF"])
def test_sixteen_bit_files_do_not_come_out_white(magick, fmt):
    data, gray = gray_levels([0, 8224, 32896, 51400], 65535)
    buffer = io.BytesIO()
    Image.fromarray(data.astype(np.uint16)).save(buffer, fmt)
    with Image.open(io.BytesIO(buffer.getvalue())) as image:
        assert_draws(magick, tervalo.encode(image), gray)


@pytest.mark.parametrize("orientation, top_left, size", [
    (1, (220, 30, 30), (40, 20)),
    (3, (30, 30, 220), (40, 20)),   # turned half round: the blue right half comes first
    (6, (220, 30, 30), (20, 40)),   # turned a quarter: red on top, blue below
    (8, (30, 30, 220), (20, 40)),
])
def test_exif_orientation_is_applied(magick, orientation, top_left, size):
    stored = Image.new("RGB", (40, 20), (220, 30, 30))
    stored.paste((30, 30, 220), (20, 0, 40, 20))
    exif = Image.Exif()
    exif[0x0112] = orientation
    buffer = io.BytesIO()
    stored.save(buffer, "JPEG", exif=exif, quality=95)
    with Image.open(io.BytesIO(buffer.getvalue())) as image:
        width, height, decoded = magick.decode(tervalo.encode(image))
    assert (width, height) == size
    # Well inside the first half, away from the JPEG's blur at the seam.
    assert np.abs(decoded[3, 3].astype(int) - top_left).max() <= JPEG


# --- matplotlib ----------------------------------------------------------------------------

def test_a_figure_draws_its_face_and_keeps_its_canvas(magick):
    from matplotlib.figure import Figure

    figure = Figure(figsize=(2, 1), dpi=30, facecolor=(0.0, 0.6, 0.2))
    canvas = figure.canvas
    assert_draws(magick, tervalo.encode(figure), np.full((30, 60, 3), (0, 153, 51)))
    assert figure.canvas is canvas and figure.dpi == 30


def test_a_transparent_figure_is_composited_on_the_background(magick):
    from matplotlib.figure import Figure

    figure = Figure(figsize=(1, 1), dpi=20, facecolor="none")
    assert_draws(magick, tervalo.encode(figure, background="#00f"), np.full((20, 20, 3), BLUE))


@pytest.mark.parametrize("max_size, size", [((100, None), (100, 50)), ((None, 30), (60, 30)),
                                            ((1000, 1000), (400, 200)), ((7, 7), (7, 4))])
def test_figures_are_drawn_at_the_size_that_fits(max_size, size):
    import matplotlib.pyplot as plt

    figure = plt.figure(figsize=(4, 2), dpi=100, facecolor=(1.0, 0.0, 0.0))
    try:
        figure.add_subplot().plot([0, 1], [1, 0])
        canvas = figure.canvas
        assert raster_size(tervalo.encode(figure, max_size=max_size)) == size
        assert figure.canvas is canvas and figure.dpi == 100
        assert tuple(figure.get_size_inches()) == (4, 2)
    finally:
        plt.close(figure)


def test_a_figure_that_fails_to_draw_keeps_its_canvas_and_dpi():
    from matplotlib.artist import Artist
    from matplotlib.figure import Figure

    class Broken(Artist):
        def draw(self, renderer):
            raise RuntimeError("broken artist")

    figure = Figure(figsize=(4, 2), dpi=100)
    figure.add_artist(Broken())
    canvas = figure.canvas
    with pytest.raises(RuntimeError, match="broken artist"):
        tervalo.encode(figure, max_size=(100, None))
    assert figure.canvas is canvas and figure.dpi == 100


def test_a_pyplot_figure_draws_what_savefig_draws(magick):
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(3, 2), dpi=40)
    try:
        axes.imshow(np.arange(12).reshape(3, 4), cmap="viridis")
        png = io.BytesIO()
        figure.savefig(png, format="png")
        saved = np.asarray(Image.open(png).convert("RGB"), np.float64)
        width, height, decoded = magick.decode(tervalo.encode(figure))
    finally:
        plt.close(figure)
    assert (width, height) == (120, 80)
    # Many colours, so the palette dithers: compare the pictures as a whole.
    assert np.abs(decoded - saved).mean() < 6


# --- what it refuses -----------------------------------------------------------------------

def ramp(dtype, shape=(4, 5, 3)):
    return np.zeros(shape, dtype)


REFUSED = [
    (lambda: ramp(np.float32) - 0.5, ValueError, r"values from -0\.5 to -0\.5: takes floats"),
    (lambda: np.linspace(0, 2, 60).reshape(4, 5, 3), ValueError, r"values from 0\.0 to 2\.0"),
    (lambda: np.full((4, 5), np.nan), ValueError, "NaN"),
    (lambda: np.where(np.eye(4, 5, dtype=bool)[..., None], np.nan, 0.5).repeat(3, axis=2),
     ValueError, "NaN"),
    (lambda: ramp(np.int64), TypeError, "dtype int64: takes uint8, uint16, bool"),
    (lambda: ramp(np.int32), TypeError, "dtype int32"),
    (lambda: ramp(np.uint32), TypeError, "dtype uint32"),
    (lambda: ramp(np.int8), TypeError, "dtype int8"),
    (lambda: ramp(np.complex128), TypeError, "dtype complex128"),
    (lambda: ramp(object), TypeError, "dtype object"),
    (lambda: ramp(np.uint8, (4, 5, 2)), ValueError, r"shape \(4, 5, 2\): takes H x W"),
    (lambda: ramp(np.uint8, (4, 5, 5)), ValueError, r"shape \(4, 5, 5\)"),
    (lambda: ramp(np.uint8, (12,)), ValueError, r"shape \(12,\)"),
    (lambda: ramp(np.uint8, (2, 4, 5, 3)), ValueError, r"shape \(2, 4, 5, 3\)"),
    (lambda: ramp(np.uint8, (0, 5, 3)), ValueError, "has no pixels"),
    (lambda: ramp(np.uint8, (4, 0)), ValueError, "has no pixels"),
    (lambda: np.ma.masked_array(ramp(np.uint8)), TypeError, "masked array"),
    (lambda: b"\xff\x00\x00", TypeError, r"got bytes: .*tervalo_ext\.sixel_encode_bytes"),
    (lambda: bytearray(3), TypeError, r"got bytearray: .*tervalo_ext\.sixel_encode_bytes"),
    (lambda: memoryview(b"abc"), TypeError, r"got memoryview: .*; numpy\.asarray\(obj\) makes"),
    (lambda: type("Tensor", (), {"__array__": lambda self: None})(), TypeError,
     r"got .*Tensor: .*numpy\.asarray\(obj\)"),
    (lambda: np.full((4, 5), 1.000002), ValueError,
     r"values from 1\.000002 to 1\.000002: .*within 1e-06.*; numpy\.clip\(array, 0, 1\)"),
    (lambda: np.full((4, 5), -1e-5, np.float32), ValueError, r"values from -1e-05 to -1e-05"),
    (lambda: [[[255, 0, 0]]], TypeError, r"got a list: .*tervalo_ext\.sixel_encode_bytes"),
    (lambda: Image.new("RGB", (0, 3)), ValueError, "Pillow image of size 0x3: has no pixels"),
    (lambda: "picture.png", TypeError, "got str: encode takes a Pillow image, a NumPy array"),
    (lambda: None, TypeError, "got NoneType"),
    (lambda: Image.fromarray(np.array([[-1, 5]], np.int32), "I"), ValueError,
     "mode 'I' with values from -1 to 5: takes 16-bit"),
    (lambda: Image.fromarray(np.array([[0, 70000]], np.int32), "I"), ValueError,
     "values from 0 to 70000"),
    (lambda: Image.fromarray(np.array([[0.5, 1.5]], np.float32), "F"), ValueError,
     r"mode 'F' with values from 0\.5 to 1\.5"),
    (lambda: Image.fromarray(np.array([[0.5, np.nan, 0.2]], np.float32), "F"), ValueError,
     "mode 'F' containing NaN"),
]


@pytest.mark.parametrize("make, error, message", REFUSED)
def test_what_it_cannot_read_is_refused(make, error, message):
    with pytest.raises(error, match=message):
        tervalo.encode(make())


@pytest.mark.parametrize("background, message", [
    ((1, 2), r"background \(1, 2\): takes an \(r, g, b\) tuple"),
    ((256, 0, 0), "background"),
    ((-1, 0, 0), "background"),
    ((1.0, 2, 3), "background"),
    ((True, 0, 0), "background"),
    ("#12", "background '#12': unknown color specifier"),
    ("nocolour", "unknown color specifier"),
    ("#ff000080", "has an alpha"),
    (None, "background None"),
])
def test_bad_backgrounds_are_refused(background, message):
    with pytest.raises(ValueError, match=message):
        tervalo.encode(np.zeros((2, 2, 3), np.uint8), background=background)


@pytest.mark.parametrize("max_size", [(0, None), (None, -3), (10,), (1.5, 2), 10, (True, 5)])
def test_bad_max_sizes_are_refused(max_size):
    with pytest.raises(ValueError, match=r"max_size .*: takes \(max_width, max_height\)"):
        tervalo.encode(np.zeros((2, 2, 3), np.uint8), max_size=max_size)


@pytest.mark.parametrize("background", [(0, 0, 255), "#00f", "#0000FF", "blue", [0, 0, 255]])
def test_backgrounds_by_tuple_hex_and_name(magick, background):
    rgba = np.zeros((12, 8, 4), np.uint8)
    assert_draws(magick, tervalo.encode(rgba, background=background), np.full((12, 8, 3), BLUE))


@pytest.mark.parametrize("overshoot", [
    np.sin(np.linspace(0, 9, 60)) ** 2 + np.cos(np.linspace(0, 9, 60)) ** 2,
    np.full(60, 1.0000000002), np.full(60, -1e-12), np.full(60, 1.0000001, np.float32),
], ids=["sin2+cos2", "1.0000000002", "-1e-12", "float32"])
def test_floats_a_rounding_outside_unit_are_clipped(overshoot):
    gray = overshoot.reshape(6, 10)
    rgba = np.stack([gray] * 4, axis=2)
    assert tervalo.encode(gray) == tervalo.encode(np.clip(gray, 0, 1))
    assert tervalo.encode(rgba) == tervalo.encode(np.clip(rgba, 0, 1))
    if overshoot.dtype == np.float32:
        pillow = Image.fromarray(gray.astype(np.float32), "F")
        assert tervalo.encode(pillow) == tervalo.encode(np.clip(gray, 0, 1))


# --- the stream: the picture's own colours, or a palette built for it -------------------

# Off the 5-bit grid libsixel's own palette holds (white would draw 247).
OWN = [(255, 255, 255), (250, 128, 3), (13, 77, 201), (0, 0, 0), (100, 203, 150)]


def test_flat_pictures_draw_their_own_colours(magick):
    stripes = np.repeat(np.asarray(OWN, np.uint8)[np.newaxis], 80, axis=1).repeat(200, axis=0)
    stream = tervalo.encode(stripes)
    width, height, decoded = magick.decode(stream)
    assert np.abs(decoded.astype(int) - stripes).max() <= 1
    assert (decoded[:, :80] == 255).all()


# Below the size a picture is cut into strips at (where a strip selects its
# first colour anew: tests/test_sixel.py).
@pytest.mark.parametrize("width, height, colours", [(300, 200, 5), (97, 61, 256), (64, 5, 40),
                                                    (1, 1, 1)])
def test_few_colours_are_each_their_own_entry_as_libsixel_writes_them(width, height, colours):
    """Up to 256 colours: the palette is the picture's colours in order of
    first appearance, and the pixel data is what libsixel writes of those
    indices undiffused."""
    rng = np.random.default_rng(colours)
    palette = rng.integers(0, 256, (colours, 3), dtype=np.uint8)
    indices = np.concatenate([np.arange(colours), rng.integers(0, colours, width * height)])
    indices = indices[:width * height].astype(np.uint8)
    rgb = palette[indices].reshape(height, width, 3)
    ours = tervalo.encode(rgb)
    reference = libsixel_indexed(indices.tobytes(), width, height, palette.tobytes())
    entries = re.compile(rb"#\d+;2;\d+;\d+;\d+")
    assert len(entries.findall(ours)) == colours
    # Short pictures lose libsixel's leading graphics newline, nothing else.
    head = b'q"1;1;%d;%d' % (width, height)
    assert entries.sub(b"", ours) == entries.sub(b"", reference).replace(head + b"-", head)


@pytest.mark.parametrize("picture", ["photo-like", "rose", "many colours"])
def test_photos_draw_closer_to_their_pixels_than_the_modules_stream(magick, picture):
    if picture == "rose":
        rgb = np.frombuffer(magick("rose:", "-depth", "8", "rgb:-"), np.uint8).reshape(46, 70, 3)
    elif picture == "many colours":  # 600 flat colours: a palette of 256 must be chosen
        rng = np.random.default_rng(5)
        rgb = rng.integers(0, 256, (600, 3), dtype=np.uint8)[rng.integers(0, 600, (50, 70))]
    else:
        rgb = np.frombuffer(photo_like(160, 120, seed=3), np.uint8).reshape(120, 160, 3)
    module = magick.decode(sixel_encode_bytes(rgb.tobytes(), rgb.shape[1], rgb.shape[0]))[2]
    ours = magick.decode(tervalo.encode(rgb))[2]
    assert psnr(ours, rgb) >= psnr(module, rgb) + 1


@pytest.mark.slow
@settings(max_examples=60, deadline=None)
@given(width=st.integers(1, 70), height=st.integers(6, 70), colours=st.integers(1, 600),
       seed=st.integers(0, 2**32 - 1))
def test_every_picture_draws_in_place_and_no_further_off(magick, width, height, colours, seed):
    """Random pictures: drawn at their size, exactly (within a percent's
    rounding) when they have at most 256 colours, else no further from
    their pixels than libsixel's own palette draws them. At least six rows:
    ImageMagick resamples a shorter band (the test below draws those)."""
    rng = np.random.default_rng(seed)
    rgb = rng.integers(0, 256, (colours, 3), dtype=np.uint8)[rng.integers(0, colours,
                                                                          (height, width))]
    ours = magick.decode(tervalo.encode(rgb))
    assert ours[:2] == (width, height)
    if len(np.unique(rgb.reshape(-1, 3), axis=0)) <= 256:
        assert np.abs(ours[2].astype(int) - rgb).max() <= 1
    else:
        module = magick.decode(sixel_encode_bytes(rgb.tobytes(), width, height))[2][-height:]
        assert psnr(ours[2], rgb) >= psnr(module, rgb)


@pytest.mark.parametrize("height", [1, 4, 5])
def test_pictures_under_six_rows_draw_in_place(magick, height):
    rgb = np.zeros((height, 40, 3), np.uint8)
    rgb[:, :20] = (255, 0, 0)
    rgb[:, 20:] = (0, 0, 255)
    stream = tervalo.encode(rgb)
    assert re.match(rb'\x1bPq"1;1;40;%d(#[\d;]+)+#' % height, stream)  # no "-" first
    width, decoded_height, decoded = magick.decode(stream)
    assert (width, decoded_height) == (40, height)
    assert np.abs(decoded.astype(int) - rgb).max() <= 2


# --- sizes ----------------------------------------------------------------------------------

@pytest.mark.parametrize("size, box, enlarge, fitted", [
    ((300, 100), (90, None), False, (90, 30)),
    ((300, 100), (None, 20), False, (60, 20)),
    ((300, 100), (90, 10), False, (30, 10)),
    ((300, 100), (600, 600), False, (300, 100)),   # never enlarged
    ((300, 100), (600, 600), True, (600, 200)),
    ((300, 100), (None, None), True, (300, 100)),
    ((7, 3), (5, None), False, (5, 2)),             # 2.14 rounds down
    ((7, 5), (5, None), False, (5, 4)),             # 3.57 rounds up
    ((1, 1000), (10, 10), False, (1, 10)),          # too thin to shrink across
    ((1000, 1), (10, 10), False, (10, 1)),
    ((1, 1), (7, None), True, (7, 7)),
    ((2, 1), (1, 1), False, (1, 1)),
])
def test_fit(size, box, enlarge, fitted):
    assert fit(*size, *box, enlarge=enlarge) == fitted


@given(st.integers(1, 5000), st.integers(1, 5000), st.none() | st.integers(1, 3000),
       st.none() | st.integers(1, 3000), st.booleans())
def test_fit_stays_in_the_box_and_keeps_the_aspect_ratio(width, height, box_w, box_h, enlarge):
    w, h = fit(width, height, box_w, box_h, enlarge=enlarge)
    assert w >= 1 and h >= 1
    assert box_w is None or w <= box_w
    assert box_h is None or h <= box_h
    if not enlarge:
        assert w <= width and h <= height
    # Both sides scaled alike, but for the rounding of one of them (unless
    # it was held at 1 pixel).
    if min(w, h) > 1:
        assert abs(w * height - h * width) <= max(width, height) / 2
    # One side touches the box, unless the picture fitted already.
    if (box_w, box_h) != (None, None) and (w, h) != (width, height):
        assert w == box_w or h == box_h


@pytest.mark.parametrize("max_size, size", [
    ((20, None), (20, 8)), ((None, 12), (30, 12)), ((100, 100), (60, 24)), ((1, 1), (1, 1)),
    ((59, 2), (5, 2)),
])
@pytest.mark.parametrize("kind", ["numpy", "pillow"])
def test_max_size_scales_down_only(magick, kind, max_size, size):
    rgb = np.zeros((24, 60, 3), np.uint8)
    rgb[:, :30] = (255, 0, 0)
    picture = rgb if kind == "numpy" else Image.fromarray(rgb)
    stream = tervalo.encode(picture, max_size=max_size)
    assert raster_size(stream) == size
    if min(size) >= 6:  # still red on the left, black on the right
        width, height, decoded = magick.decode(stream)
        assert decoded[0, 0, 0] > 200 and decoded[-1, -1].max() < 20


def test_rgb_pixels_enlarges_on_request():
    from tervalo._encode import rgb_pixels

    pixels, width, height = rgb_pixels(np.full((2, 3, 3), 7, np.uint8), max_size=(9, None),
                                       enlarge=True)
    assert (width, height) == (9, 6) and pixels == bytes([7]) * (9 * 6 * 3)


# --- optional libraries ----------------------------------------------------------------------



def test_numpy_arrays_need_no_pillow_until_they_are_scaled():
    run = subprocess.run([sys.executable, str(CHILDREN / "encode_without_pillow.py")],
                         capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stderr
    same, scaled, named = run.stdout.splitlines()
    assert same == "True"
    assert scaled.startswith("ImportError") and "pip install 'tervalo_ext[pillow]'" in scaled
    assert named.startswith("ValueError") and "colour names need Pillow" in named


def test_pillow_images_need_no_numpy():
    # Flat, so libsixel does not diffuse: read back in plain Python as well.
    flat = 'Image.new("RGB", (90, 40), (250, 128, 3)).crop((0, 0, 99, 4))'
    run = subprocess.run([sys.executable, str(CHILDREN / "encode_without_numpy.py"), flat],
                         capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stderr
    *modes, stream = run.stdout.splitlines()
    assert modes == [f'{mode} \x1bPq"1;1;15;10' for mode in "RGBA F I P".split()]
    assert bytes.fromhex(stream) == tervalo.encode(eval(flat))
    assert b"#0;2;98;50;1#1;2;0;0;0#" in bytes.fromhex(stream)  # not 97;50;0
