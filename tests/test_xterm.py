"""The module's streams drawn by a real sixel terminal: xterm as a VT340 on a
virtual X screen, a screenshot, and the drawn picture compared with the input."""

import importlib.util
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from imagemagick import psnr
from PIL import Image
from xterm_session import Display, Xterm, missing_tools

from tervalo_ext import sixel_encode_bytes

ROOT = Path(__file__).resolve().parents[1]
# Garish, so that no edge pixel of either picture passes for background.
BACKGROUND = (255, 0, 255)
GARISH = "#{:02x}{:02x}{:02x}".format(*BACKGROUND)
SHOW = ROOT / "examples" / "show.py"

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
    """The bounding box of everything that is not background, and where its
    top left corner is."""
    width, height, pixels = screen
    image = np.frombuffer(pixels, np.uint8).reshape(height, width, 3)
    rows, cols = np.nonzero(np.any(image != BACKGROUND, axis=2))
    assert rows.size, "xterm drew nothing"
    return image[rows.min():rows.max() + 1, cols.min():cols.max() + 1], (rows.min(), cols.min())


# PSNR floors: measured 31.7 dB (rose) and 28.6 dB (wheel), and ImageMagick's
# decode of the same streams scores the same, so that is the loss of a
# 256-colour palette with diffusion, not of the drawing. The floors leave
# about 2.5 dB for other libsixel builds; a 16-colour palette (25 dB on the
# rose), a six-row offset (18 dB) or swapped channels (10 dB) fall below.
@pytest.mark.parametrize("make, floor", [(rose, 29.0), (viewer_default, 26.0)])
def test_xterm_draws_the_picture(display, magick, make, floor):
    rgb, width, height, stream = make(magick)
    with Xterm(display, stream, background=GARISH) as term:
        drawn, _ = drawn_picture(term.screenshot())
    assert drawn.shape == (height, width, 3)
    assert psnr(drawn, np.frombuffer(rgb, np.uint8).reshape(height, width, 3)) >= floor
    # Pixel for pixel what an independent decoder reads from the stream; the
    # only difference is rounding the palette's percentages (measured: 1).
    # This also catches a shift of one pixel, which PSNR alone would not.
    _, _, decoded = magick.decode(stream)
    assert np.abs(drawn.astype(int) - decoded).max() <= 2


def test_viewer_in_an_xterm_without_sixels_draws_nothing(display):
    with Xterm(display, command=[sys.executable, str(SHOW)], vt340=False,
               background=GARISH) as term:
        time.sleep(0.3)  # time to paint, had anything been written
        width, height, pixels = term.capture()
    errors = term.report["stderr"].splitlines()
    assert term.report["status"] == 2 and len(errors) == 1, errors
    assert "no sixel support" in errors[0] and "xterm -ti vt340" in errors[0]
    # Not a byte written: the cursor is where it started, the window blank.
    assert term.report["answer"] == "\x1b[1;1R"
    assert pixels == bytes(BACKGROUND) * (width * height)


# A picture several times the size of the 80 x 24 window (6 x 13 pixel
# cells): 4:3, so the height limits it, and 6:1, so the width does.
@pytest.mark.parametrize("width, height", [(1600, 1200), (2400, 400)])
def test_viewer_fits_a_big_picture_in_the_window(display, tmp_path, width, height):
    y, x = np.mgrid[0:height, 0:width]
    # Gradients under squares: a crop or a stretch would not pass for the whole.
    rgb = np.stack([x * 255 // (width - 1), y * 255 // (height - 1),
                    64 + 128 * ((x // 100 + y // 100) % 2)], axis=-1).astype(np.uint8)
    Image.fromarray(rgb).save(tmp_path / "big.png")
    with Xterm(display, command=[sys.executable, str(SHOW), str(tmp_path / "big.png")],
               background=GARISH) as term:
        screen = term.screenshot()
    assert term.report["status"] == 0 and term.report["stderr"] == ""
    size = term.report["winsize"]
    cell = size["xpixel"] // size["cols"], size["ypixel"] // size["rows"]
    # The text area less the line kept for the prompt; the rest is border.
    room = size["cols"] * cell[0], (size["rows"] - 1) * cell[1]
    border = (screen[0] - size["cols"] * cell[0]) // 2
    scale = min(room[0] / width, room[1] / height)
    fitted = round(width * scale), round(height * scale)
    drawn, corner = drawn_picture(screen)
    # From the window's top left corner (nothing scrolled away), no larger
    # than the room and the largest that fits it.
    assert corner == (border, border) and drawn.shape[1::-1] == fitted
    expected = np.asarray(Image.fromarray(rgb).resize(fitted, Image.Resampling.BOX))
    assert psnr(drawn, expected) >= 25  # measured 27.0 and 28.3 dB
