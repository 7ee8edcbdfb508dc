"""The module's streams drawn by a real sixel terminal: xterm as a VT340 on a
virtual X screen, a screenshot, and the drawn picture compared with the input."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from support import psnr
from xterm_session import Display, Xterm, missing_tools

from tervalo_ext import sixel_encode_bytes

ROOT = Path(__file__).resolve().parents[1]
# Garish, so that no edge pixel of either picture passes for background.
BACKGROUND = (255, 0, 255)

pytestmark = [pytest.mark.x11, pytest.mark.skipif(
    bool(missing_tools()),
    reason=f"needs {', '.join(missing_tools())} (apt-get install xvfb xterm x11-apps imagemagick)")]


@pytest.fixture(scope="module")
def display():
    with Display() as display:
        yield display


def rose(magick):
    # A natural photo, scaled up so that it is well over six rows tall and
    # has more than 256 colours (median-cut palette plus diffusion).
    rgb = magick("rose:", "-resize", "300%", "-depth", "8", "rgb:-")
    return rgb, 210, 138, sixel_encode_bytes(rgb, 210, 138)


def viewer_default(magick):
    # What `scripts/show.sh` draws with no image: the example end to end.
    spec = importlib.util.spec_from_file_location("show", ROOT / "examples" / "show.py")
    show = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(show)
    rgb, width, height = show.colour_wheel()
    stream = subprocess.run([sys.executable, str(ROOT / "examples" / "show.py")],
                            capture_output=True, check=True).stdout
    return rgb, width, height, stream


def drawn_picture(screen):
    """The bounding box of everything that is not background."""
    width, height, pixels = screen
    image = np.frombuffer(pixels, np.uint8).reshape(height, width, 3)
    rows, cols = np.nonzero(np.any(image != BACKGROUND, axis=2))
    assert rows.size, "xterm drew nothing"
    return image[rows.min():rows.max() + 1, cols.min():cols.max() + 1]


# PSNR floors: measured 31.7 dB (rose) and 28.6 dB (wheel), and ImageMagick's
# decode of the same streams scores the same, so that is the loss of a
# 256-colour palette with diffusion, not of the drawing. The floors leave
# about 2.5 dB for other libsixel builds; a 16-colour palette (25 dB on the
# rose), a six-row offset (18 dB) or swapped channels (10 dB) fall below.
@pytest.mark.parametrize("make, floor", [(rose, 29.0), (viewer_default, 26.0)])
def test_xterm_draws_the_picture(display, magick, make, floor):
    rgb, width, height, stream = make(magick)
    with Xterm(display, stream, background="#%02x%02x%02x" % BACKGROUND) as term:
        drawn = drawn_picture(term.screenshot())
    assert drawn.shape == (height, width, 3)
    assert psnr(drawn, np.frombuffer(rgb, np.uint8).reshape(height, width, 3)) >= floor
    # Pixel for pixel what an independent decoder reads from the stream; the
    # only difference is rounding the palette's percentages (measured: 1).
    # This also catches a shift of one pixel, which PSNR alone would not.
    _, _, decoded = magick.decode(stream)
    assert np.abs(drawn.astype(int) - decoded).max() <= 2
