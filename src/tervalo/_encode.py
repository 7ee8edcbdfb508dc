"""Pillow images, NumPy arrays and matplotlib figures as packed 8-bit RGB, and
from there a sixel stream through the package's own module, tervalo._sixel.

Pillow, NumPy and matplotlib are all optional: an object is recognised by the
module that made it (which is then imported already), and each library is
imported only in the code that reads its kind of object."""

from __future__ import annotations

import math
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, NamedTuple, TypeGuard, cast

import tervalo._sixel

if TYPE_CHECKING:
    from typing import TypeAlias

    import numpy as np
    import numpy.typing as npt
    from matplotlib.figure import Figure
    from PIL import Image as PILImage

    Picture: TypeAlias = PILImage.Image | npt.NDArray[Any] | Figure

Colour = tuple[int, int, int] | str
Size = tuple[int | None, int | None]
RGB = tuple[int, int, int]

WHITE: RGB = (255, 255, 255)
PILLOW_EXTRA = "pip install 'tervalo_ext[pillow]'"
ACCEPTED = "a Pillow image, a NumPy array or a matplotlib Figure"
_EXIF_ORIENTATION = 0x0112


def encode(image: Picture, *, background: Colour = WHITE,
           max_size: Size | None = None) -> bytes:
    """The sixel stream of `image`: a Pillow image of any mode, a NumPy array
    (H x W gray, H x W x 3 RGB or H x W x 4 RGBA; uint8, uint16, bool, or
    float in [0, 1], where floats within 1e-6 of [0, 1] are clipped) or a
    matplotlib Figure. Transparency is composited on `background`
    ((r, g, b), "#rrggbb", "#rgb" or, with Pillow, a colour name).
    `max_size` = (max_width, max_height), either None, scales the picture
    down to fit, keeping its aspect ratio; it is never enlarged.

    Pillow's mode "I" is read as 16-bit gray (0..65535), which is how 16-bit
    PNGs and TIFFs open; an "I" image holding 0..255 (what
    image.convert("I") makes of an "L" one) would draw near-black: pass
    image.convert("L") instead.

    A picture of at most 256 colours is drawn in exactly those colours,
    undiffused; any other in 256 colours chosen for it, diffused. libsixel
    writes the pixel data; a large picture is encoded in strips on every
    core. A picture under six rows is drawn in place.

    Raises TypeError for an object or dtype it does not read and ValueError
    for values, shapes or arguments it cannot draw faithfully."""
    return encode_pixels(*rgb_pixels(image, background=background, max_size=max_size))


def encode_pixels(pixels: bytes, width: int, height: int, *, threads: int = 0) -> bytes:
    """encode()'s stream of width x height packed RGB, on `threads` cores
    at most (0: every core, for a picture large enough to pay)."""
    return tervalo._sixel.encode(pixels, width, height, threads=threads)


class FrameEncoder:
    """The frames of one moving picture into streams, in one palette for as
    long as the scene lasts. A palette built anew for every frame makes the
    still parts of a picture crawl, redrawn in other entries frame after
    frame (three pixels in four of a still half, against one in 2,000 with
    the palette kept: bench/crawl.py); and building it is a good part of an
    encode. A frame the kept palette draws clearly worse than the one it was
    built for (a new scene) gets a palette of its own, kept from then on.
    Not for use from two threads at once."""

    # How much worse than its first frame a palette may draw a later one
    # (mean squared error per channel, as a factor and a few levels more)
    # before the scene counts as new. A pan over one photograph stayed
    # within 1.05 times, a new scene came at 1.8 times.
    WORSE = 1.3
    LEVELS = 2.0

    # A palette that fits its frame within this (under a level, as for
    # plots and anti-aliased text) draws undiffused, as encode() draws it.
    UNDIFFUSED = 1.0

    def __init__(self, threads: int = 0) -> None:
        self.threads = threads
        self.palettes = 0  # built so far
        self._dither: tervalo._sixel.Dither | None = None
        self._fit = 0.0  # the kept palette's error on the frame it was built for

    def encode(self, pixels: bytes, width: int, height: int) -> bytes:
        dither = self._dither
        if dither is None or dither.mismatch(pixels, width, height) > (
                self.WORSE * self._fit + self.LEVELS):
            dither = tervalo._sixel.Dither.from_pixels(pixels, width, height)
            self._fit = dither.fit
            if self._fit < self.UNDIFFUSED:
                dither = tervalo._sixel.Dither(dither.palette, tervalo._sixel.DIFFUSE_NONE)
            self._dither = dither
            self.palettes += 1
        return dither.encode(pixels, width, height, threads=self.threads)


def rgb_pixels(image: Picture, *, background: Colour = WHITE, max_size: Size | None = None,
               enlarge: bool = False) -> tuple[bytes, int, int]:
    """(packed RGB, width, height) of `image` as encode() draws it; with
    `enlarge`, max_size scales up as well as down."""
    back = parse_background(background)
    box = check_max_size(max_size)
    if is_pillow(image):
        return _from_pillow(image, back, box, enlarge)
    if is_numpy(image):
        return _from_numpy(image, back, box, enlarge)
    if is_figure(image):
        return _from_figure(image, back, box, enlarge)
    if isinstance(image, memoryview) or hasattr(image, "__array__"):
        raise TypeError(f"got {_describe(image)}: encode takes {ACCEPTED}; "
                        "numpy.asarray(obj) makes an array of it")
    if isinstance(image, (bytes, bytearray)):
        raw = "pixels" if isinstance(image, bytes) else "bytes(pixels)"
        raise TypeError(f"got {type(image).__name__}: encode takes {ACCEPTED}; use "
                        f"tervalo_ext.sixel_encode_bytes({raw}, width, height) for raw RGB bytes")
    if isinstance(image, (list, tuple)):
        raise TypeError(f"got a {type(image).__name__}: encode takes {ACCEPTED} (numpy.asarray() "
                        "makes an array of nested lists); use tervalo_ext.sixel_encode_bytes "
                        "for raw RGB bytes")
    raise TypeError(f"got {_describe(image)}: encode takes {ACCEPTED}")


def fit(width: int, height: int, box_width: int | None, box_height: int | None,
        enlarge: bool = False) -> tuple[int, int]:
    """The size of a width x height picture scaled, aspect ratio kept, to
    fit a box (a side of None is unlimited); never enlarged unless `enlarge`.
    Sides are at least 1 pixel: a thin picture may be too thin to shrink
    across."""
    for name, side in [("width", width), ("height", height), ("box width", box_width),
                       ("box height", box_height)]:
        if side is not None and side < 1:
            raise ValueError(f"{name} must be at least 1, got {side}")
    # Integers throughout: comparing width / box_width with height /
    # box_height by cross-multiplying leaves no float to round the wrong way.
    if box_width is None and box_height is None:
        return width, height
    if box_height is None or (box_width is not None and width * box_height >= height * box_width):
        assert box_width is not None
        if box_width >= width and not enlarge:
            return width, height
        return box_width, max(1, _divide_rounded(height * box_width, width))
    if box_height >= height and not enlarge:
        return width, height
    return max(1, _divide_rounded(width * box_height, height)), box_height


def parse_background(background: Colour) -> RGB:
    """(r, g, b) of a background: a tuple of three ints 0-255, "#rgb",
    "#rrggbb", or a colour name when Pillow is installed."""
    if isinstance(background, str):
        return _parse_colour_string(background)
    if (isinstance(background, (tuple, list)) and len(background) == 3
            and all(isinstance(c, int) and not isinstance(c, bool) and 0 <= c <= 255
                    for c in background)):
        return (int(background[0]), int(background[1]), int(background[2]))
    raise ValueError(f"background {background!r}: takes an (r, g, b) tuple of ints 0-255, "
                     "'#rrggbb', '#rgb' or a colour name")


# --- helpers ---------------------------------------------------------------------------


def _divide_rounded(numerator: int, denominator: int) -> int:
    return (2 * numerator + denominator) // (2 * denominator)


def _is_instance(value: object, module: str, name: str) -> bool:
    """isinstance(value, module.name), importing nothing: if the module was
    never imported, nothing can be an instance of its class."""
    loaded = sys.modules.get(module)
    cls = getattr(loaded, name, None) if loaded is not None else None
    return isinstance(cls, type) and isinstance(value, cls)


def is_pillow(value: object) -> TypeGuard[PILImage.Image]:
    return _is_instance(value, "PIL.Image", "Image")


def is_numpy(value: object) -> TypeGuard[npt.NDArray[Any]]:
    return _is_instance(value, "numpy", "ndarray")


def is_figure(value: object) -> TypeGuard[Figure]:
    return _is_instance(value, "matplotlib.figure", "Figure")


def _describe(value: object) -> str:
    cls = type(value)
    return f"{cls.__module__}.{cls.__qualname__}" if cls.__module__ != "builtins" \
        else cls.__qualname__


def check_max_size(max_size: Size | None) -> Size:
    if max_size is None:
        return (None, None)
    if isinstance(max_size, (tuple, list)) and len(max_size) == 2 and all(
            side is None or (isinstance(side, int) and not isinstance(side, bool) and side >= 1)
            for side in max_size):
        return (max_size[0], max_size[1])
    raise ValueError(f"max_size {max_size!r}: takes (max_width, max_height), each an int of at "
                     "least 1 or None")


def _parse_colour_string(text: str) -> RGB:
    digits = text[1:]
    if text.startswith("#") and len(digits) in (3, 6) and all(
            c in "0123456789abcdefABCDEF" for c in digits):
        if len(digits) == 3:
            digits = "".join(c * 2 for c in digits)
        return (int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16))
    try:
        from PIL import ImageColor
    except ImportError:
        raise ValueError(f"background {text!r}: colour names need Pillow ({PILLOW_EXTRA}); "
                         "give '#rrggbb', '#rgb' or an (r, g, b) tuple") from None
    try:
        colour = ImageColor.getrgb(text)
    except ValueError as error:
        raise ValueError(f"background {text!r}: {error}") from None
    if len(colour) != 3:
        raise ValueError(f"background {text!r}: has an alpha; a background is opaque, "
                         "give '#rrggbb', '#rgb' or an (r, g, b) tuple")
    return (colour[0], colour[1], colour[2])


# --- Pillow ------------------------------------------------------------------------------

_SIXTEEN_BIT = {"I;16", "I;16L", "I;16B", "I;16N"}


def _from_pillow(image: PILImage.Image, background: RGB, box: Size,
                 enlarge: bool) -> tuple[bytes, int, int]:
    if image.width < 1 or image.height < 1:
        raise ValueError(f"a Pillow image of size {image.width}x{image.height}: has no pixels")
    flat = _pillow_rgb(_upright(image), background)
    size = fit(flat.width, flat.height, *box, enlarge=enlarge)
    if size != flat.size:
        flat = _resize(flat, size)
    return flat.tobytes(), flat.width, flat.height


def _upright(image: PILImage.Image) -> PILImage.Image:
    """The image turned as its EXIF orientation says (a camera's portrait
    JPEG is stored on its side); untouched, not copied, if there is none."""
    if image.getexif().get(_EXIF_ORIENTATION, 1) in (0, 1):
        return image
    from PIL import ImageOps

    return ImageOps.exif_transpose(image)


def _pillow_rgb(image: PILImage.Image, background: RGB) -> PILImage.Image:
    from PIL import Image

    mode = image.mode
    if mode in _SIXTEEN_BIT or mode == "I":
        image = _pillow_sixteen_bit(image)
    elif mode == "F":
        image = _pillow_unit_float(image)
    elif mode == "La":  # Pillow converts premultiplied gray to RGBA only through LA
        image = image.convert("LA")
    # An alpha band, a palette with alpha, or a transparent colour.
    if not image.has_transparency_data:
        return image if image.mode == "RGB" else _convert(image, "RGB")
    # Palette transparency and premultiplied alpha both come out of
    # convert() as a plain alpha band; compositing on the background is the
    # paste through that band.
    rgba = _convert(image, "RGBA")
    flat = Image.new("RGB", rgba.size, background)
    flat.paste(rgba, mask=rgba.getchannel("A"))
    return flat


def _convert(image: PILImage.Image, mode: str) -> PILImage.Image:
    try:
        return image.convert(mode)
    except ValueError as error:
        raise TypeError(f"a Pillow image of mode {image.mode!r}: Pillow cannot convert it to "
                        f"{mode} ({error})") from None


def _pillow_sixteen_bit(image: PILImage.Image) -> PILImage.Image:
    """16-bit gray ("I;16*", or "I" as 16-bit PNGs and TIFFs open) scaled to
    8 bits. Pillow's own conversion clips at 255, which draws nearly all of
    a 16-bit picture white; 32-bit content has no scale to read it by."""
    if image.mode != "I":
        image = image.convert("I")
    low, high = _extrema(image)
    if not (0 <= float(low) and float(high) <= 65535):
        raise ValueError(f"a Pillow image of mode 'I' with values from {low:g} to {high:g}: takes "
                         "16-bit values 0..65535 (scale it to that range or to 8 bits first)")
    # v * 255 / 65535 never falls on a half, so truncating v' + 0.5 rounds.
    scaled = image.point(lambda v: v * (255 / 65535) + 0.5).convert("L")
    # A transparent 16-bit value has no 8-bit one of its own.
    scaled.info.pop("transparency", None)
    return scaled


def _pillow_unit_float(image: PILImage.Image) -> PILImage.Image:
    low, high = _extrema(image)
    # getextrema passes over NaN unless it comes first; a sum does not.
    if math.isnan(low) or math.isnan(high) or math.isnan(sum(memoryview(image.tobytes()).cast(
            "f"))):
        raise ValueError("a Pillow image of mode 'F' containing NaN: takes floats in [0, 1]")
    if not (-FLOAT_TOLERANCE <= low and high <= 1 + FLOAT_TOLERANCE):
        raise ValueError(f"a Pillow image of mode 'F' with values from {low!r} to {high!r}: "
                         f"takes floats in [0, 1] (within {FLOAT_TOLERANCE:g} of it they are "
                         "clipped); numpy.clip(numpy.asarray(image), 0, 1) clips the rest "
                         "into an array encode takes")
    # Pillow truncates F to L, hence the half; its conversion clips to 0..255.
    return image.point(lambda v: v * 255 + 0.5).convert("L")


def _extrema(image: PILImage.Image) -> tuple[float, float]:
    """Lowest and highest value of a one-band image."""
    low, high = cast("tuple[float, float]", image.getextrema())
    return float(low), float(high)


def _resize(image: PILImage.Image, size: tuple[int, int]) -> PILImage.Image:
    from PIL import Image

    # Pillow first reduces by whole factors with a box filter, down to twice
    # the size, then resamples: the same filter over far fewer pixels.
    return image.resize(size, Image.Resampling.LANCZOS, reducing_gap=2.0)


def _resize_rgb(pixels: bytes, width: int, height: int,
                size: tuple[int, int]) -> tuple[bytes, int, int]:
    try:
        from PIL import Image
    except ImportError:
        raise ImportError(f"scaling a picture to max_size needs Pillow: {PILLOW_EXTRA}") from None
    scaled = _resize(Image.frombytes("RGB", (width, height), pixels), size)
    return scaled.tobytes(), scaled.width, scaled.height


# --- NumPy -------------------------------------------------------------------------------

_DTYPES = "uint8, uint16, bool, or float in [0, 1]"
_SHAPES = "H x W (gray), H x W x 3 (RGB) or H x W x 4 (RGBA)"
# Floats this far outside [0, 1] are taken for rounding (sin² + cos², a
# float32 1.0000001) and clipped; further out they are refused.
FLOAT_TOLERANCE = 1e-6


def _from_numpy(array: npt.NDArray[Any], background: RGB, box: Size,
                enlarge: bool) -> tuple[bytes, int, int]:
    import numpy as np

    if isinstance(array, np.ma.MaskedArray):
        raise TypeError("got a masked array: its mask has no colour; fill it "
                        "(array.filled(...)) or give the mask as an alpha channel")
    array = np.asarray(array)
    height, width, channels = _numpy_shape(array)
    reading = _numpy_reading(array.dtype)
    array = reading.checked(array)
    if channels in (1, 3):
        rgb = reading.to_uint8(array)
        if channels == 1:
            rgb = np.repeat(rgb.reshape(height, width, 1), 3, axis=2)
    else:
        rgb = _numpy_composite(array, reading.unit, background)
    pixels = rgb.tobytes()  # in C order whatever the strides: one copy
    size = fit(width, height, *box, enlarge=enlarge)
    if size != (width, height):
        return _resize_rgb(pixels, width, height, size)
    return pixels, width, height


def _numpy_shape(array: npt.NDArray[Any]) -> tuple[int, int, int]:
    """(height, width, channels): 1 for gray, 3 for RGB, 4 for RGBA."""
    shape = array.shape
    if array.ndim == 2:
        shape = (*shape, 1)
    if len(shape) != 3 or shape[2] not in (1, 3, 4):
        raise ValueError(f"a NumPy array of shape {array.shape}: takes {_SHAPES}")
    if array.size == 0:
        raise ValueError(f"a NumPy array of shape {array.shape}: has no pixels")
    return shape[0], shape[1], shape[2]


class _Reading(NamedTuple):
    """How the values of a dtype are read: the value that stands for full
    intensity, the check of an array's values, and their 8-bit conversion."""

    unit: float
    checked: Callable[[npt.NDArray[Any]], npt.NDArray[Any]]
    to_uint8: Callable[[npt.NDArray[Any]], npt.NDArray[np.uint8]]


def _numpy_reading(dtype: np.dtype[Any]) -> _Reading:
    """The reading of a dtype, whatever its byte order; TypeError for a
    dtype with none."""
    reading = _READINGS.get((dtype.kind, dtype.itemsize))
    if reading is None:
        raise TypeError(f"a NumPy array of dtype {dtype}: takes {_DTYPES} (an integer array "
                        "holding 0..255 converts with .astype(numpy.uint8))")
    return reading


def _as_is(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    return array


def _unit_floats(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Floats in [0, 1], those within FLOAT_TOLERANCE of it clipped."""
    import numpy as np

    low, high = array.min(), array.max()
    if np.isnan(low) or np.isnan(high):
        raise ValueError(f"a NumPy {array.dtype} array containing NaN: takes floats in [0, 1]")
    if low >= 0 and high <= 1:
        return array
    if low >= -FLOAT_TOLERANCE and high <= 1 + FLOAT_TOLERANCE:
        clipped: npt.NDArray[Any] = np.clip(array, 0, 1)
        return clipped
    raise ValueError(f"a NumPy {array.dtype} array with values from {low!s} to {high!s}: takes "
                     f"floats in [0, 1] (within {FLOAT_TOLERANCE:g} of it they are clipped); "
                     "numpy.clip(array, 0, 1) clips the rest, or divide 0..255 values by 255, "
                     "or give uint8")


def _bool_to_uint8(array: npt.NDArray[Any]) -> npt.NDArray[np.uint8]:
    import numpy as np

    out: npt.NDArray[np.uint8] = array.view(np.uint8) * np.uint8(255)
    return out


def _uint16_to_uint8(array: npt.NDArray[Any]) -> npt.NDArray[np.uint8]:
    import numpy as np

    # round(v * 255 / 65535) = round(v / 257), in integers; never a half.
    out: npt.NDArray[np.uint8] = ((array.astype(np.uint32) * 2 + 257) // 514).astype(np.uint8)
    return out


def _float_to_uint8(array: npt.NDArray[Any]) -> npt.NDArray[np.uint8]:
    import numpy as np

    # float16 holds 255 * v too coarsely to round it.
    work = np.float32 if array.dtype.itemsize <= 4 else array.dtype
    out: npt.NDArray[np.uint8] = np.rint(array.astype(work) * 255).astype(np.uint8)
    return out


_FLOAT = _Reading(1.0, _unit_floats, _float_to_uint8)
# (dtype.kind, dtype.itemsize): float any width, long double's 10, 12 or 16
# bytes included.
_READINGS: dict[tuple[str, int], _Reading] = {
    ("u", 1): _Reading(255.0, _as_is, _as_is),
    ("u", 2): _Reading(65535.0, _as_is, _uint16_to_uint8),
    ("b", 1): _Reading(1.0, _as_is, _bool_to_uint8),
    **{("f", size): _FLOAT for size in (2, 4, 8, 10, 12, 16)},
}


def _numpy_composite(array: npt.NDArray[Any], unit: float,
                     background: RGB) -> npt.NDArray[np.uint8]:
    """c * a + background * (1 - a), with c and a in [0, 1], rounded to 8
    bits once at the end."""
    import numpy as np

    # float32 is exact enough for 8-bit inputs: their results are at least
    # 1/510 from a rounding half.
    work: type[np.floating[Any]] = (
        np.float64 if array.dtype.itemsize > 1 and array.dtype.char != "f" else np.float32)
    colour = array[..., :3].astype(work) * (1 / unit)
    alpha = array[..., 3:4].astype(work) * (1 / unit)
    back = np.asarray(background, work)
    out: npt.NDArray[np.uint8] = np.rint(colour * alpha * 255 + back * (1 - alpha)).astype(
        np.uint8)
    return out


# --- matplotlib --------------------------------------------------------------------------


_LOWEST_DPI = 20.0


def _from_figure(figure: Figure, background: RGB, box: Size,
                 enlarge: bool) -> tuple[bytes, int, int]:
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    width, height = (max(1, round(side)) for side in figure.bbox.size)
    target = fit(width, height, *box, enlarge=enlarge)
    # A smaller picture is drawn at a lower dpi rather than resampled: lines
    # and text stay sharp. FreeType refuses text below a pixel or so, so
    # tiny pictures are drawn at a floor and resampled the rest of the way.
    dpi = max(figure.dpi * min(target[0] / width, target[1] / height),
              min(figure.dpi, _LOWEST_DPI))
    canvas = figure.canvas
    if isinstance(canvas, FigureCanvasAgg) and target == (width, height):
        rgba, size = _draw(canvas)
    else:
        # A canvas of its own, which has no window manager: setting the dpi
        # cannot resize a GUI window, and the figure's own canvas is back
        # afterwards whatever happens.
        original_dpi = figure.dpi
        try:
            own = FigureCanvasAgg(figure)
            figure.dpi = dpi
            rgba, size = _draw(own)
        finally:
            figure.dpi = original_dpi  # while the figure is still on its own canvas
            figure.set_canvas(canvas)
    pixels = _composite_rgba_bytes(rgba, size, background)
    # The dpi lands on whole pixels only roughly; resample the last pixel.
    final = fit(*size, *target)
    if final != size:
        return _resize_rgb(pixels, *size, final)
    return (pixels, *size)


def _draw(canvas: Any) -> tuple[bytes, tuple[int, int]]:
    canvas.draw()
    buffer = memoryview(canvas.buffer_rgba())
    height, width, _ = buffer.shape or (0, 0, 0)
    return buffer.tobytes(), (width, height)


def _composite_rgba_bytes(rgba: bytes, size: tuple[int, int], background: RGB) -> bytes:
    # matplotlib depends on Pillow, so a figure can use it.
    from PIL import Image

    image = Image.frombytes("RGBA", size, rgba)
    flat = Image.new("RGB", size, background)
    flat.paste(image, mask=image.getchannel("A"))
    return flat.tobytes()
