"""A minimal stand-in for tervalo._encode, enough for the terminal and viewer
tests; the real module replaces it."""

from __future__ import annotations

import math
from typing import Any

from tervalo_ext import sixel_encode_bytes

Colour = tuple[int, int, int]
Size = tuple[int | None, int | None]


def fit(width: int, height: int, box_width: int | None, box_height: int | None,
        enlarge: bool = False) -> tuple[int, int]:
    scale = min(box_width / width if box_width else math.inf,
                box_height / height if box_height else math.inf)
    if not enlarge:
        scale = min(scale, 1.0)
    if scale == math.inf:
        return width, height
    return max(1, round(width * scale)), max(1, round(height * scale))


def _figure_image(figure: Any, max_size: Size | None) -> Any:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from PIL import Image

    dpi = figure.dpi
    if max_size is not None:
        width, height = figure.get_size_inches() * dpi
        fitted = fit(round(width), round(height), *max_size)
        figure.set_dpi(dpi * min(fitted[0] / width, fitted[1] / height))
    try:
        canvas = FigureCanvasAgg(figure) if figure.canvas is None else figure.canvas
        if not isinstance(canvas, FigureCanvasAgg):
            canvas = FigureCanvasAgg(figure)
        canvas.draw()
        return Image.frombuffer("RGBA", canvas.get_width_height(), canvas.buffer_rgba())
    finally:
        figure.set_dpi(dpi)


def rgb_pixels(image: Any, *, background: Colour = (255, 255, 255),
               max_size: Size | None = None, enlarge: bool = False) -> tuple[bytes, int, int]:
    from PIL import Image, ImageOps

    if type(image).__name__ == "Figure":
        image = _figure_image(image, max_size)
    elif not isinstance(image, Image.Image):
        import numpy as np

        image = Image.fromarray(np.asarray(image))
    if image.width < 1 or image.height < 1:
        raise ValueError("the image has no pixels")
    rgba = ImageOps.exif_transpose(image).convert("RGBA")
    flat = Image.new("RGB", rgba.size, background)
    flat.paste(rgba, mask=rgba.getchannel("A"))
    if max_size is not None:
        size = fit(flat.width, flat.height, *max_size, enlarge=enlarge)
        if size != flat.size:
            flat = flat.resize(size, Image.Resampling.LANCZOS)
    return flat.tobytes(), flat.width, flat.height


def encode(image: Any, *, background: Colour = (255, 255, 255),
           max_size: Size | None = None) -> bytes:
    return sixel_encode_bytes(*rgb_pixels(image, background=background, max_size=max_size))
