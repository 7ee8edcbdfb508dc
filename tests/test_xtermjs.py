"""xterm.js with its image add-on, VS Code's terminal engine, in headless
Chromium: what it answers to the viewer's queries, and the viewer's picture,
an animation and a matplotlib figure drawn there, found on the browser's own
screenshots and compared with ImageMagick's decode of the very stream."""

import re
import sys
import time

import images
import numpy as np
import pytest
from conftest import CHILDREN
from imagemagick import psnr
from PIL import Image
from xtermjs import Chromium, drawn, missing

from tervalo.terminal import TerminalInfo

pytestmark = [pytest.mark.x11, pytest.mark.tervalo, pytest.mark.xdist_group("xtermjs"),
              pytest.mark.skipif(bool(missing()), reason=str(missing()))]

VIEWER = [sys.executable, "-m", "tervalo"]
# The add-on's defaults turn xterm.js's size reports on; without them the
# window options are xterm.js's own defaults, every report off.
NO_REPORTS = {"enableSizeReports": False}


@pytest.fixture(scope="module")
def browser():
    with Chromium() as browser:
        yield browser


@pytest.mark.parametrize("addon, reports", [(None, True), (NO_REPORTS, False)])
def test_its_answers_identify_a_sixel_terminal_of_its_size(browser, addon, reports):
    # The viewer's queries: the graphics geometry, the window in pixels (a
    # web terminal's pty has none), the device attributes.
    answers, (screen, cell) = browser.answers(["\x1b[?2;1;0S", "\x1b[14t", "\x1b[c"], addon)
    height, width = screen.shape[:2]
    assert answers[:2] == [f"\x1b[?2;0;{width};{height}S",
                           f"\x1b[4;{height};{width}t" if reports else ""]
    info = TerminalInfo.from_replies("".join(answers).encode(), 24, 80, 0, 0, environ={})
    assert info.sixels and info.window == (width, height)
    assert info.box is not None and info.box[0] <= width and info.box[1] <= 23 * cell[1]


@pytest.fixture(scope="module")
def framed(tmp_path_factory):
    path = tmp_path_factory.mktemp("framed") / "framed.png"
    Image.fromarray(images.framed()).save(path)
    return path


def check_fitted(shown, magick, aspect, fills=True):
    """The one picture whole and in proportion, above the cursor's line, as
    large as the rows above it allow if `fills`, drawn as ImageMagick decodes it."""
    assert shown.status == 0 and shown.stderr == ""
    assert shown.picture is not None, "nothing was drawn"
    top, left, height, width = shown.picture
    assert abs(width / height - aspect) < 0.01
    assert width <= shown.screen.shape[1] and top + height <= shown.row * shown.cell[1]
    assert shown.row < 24
    if fills:
        assert height > 22 * shown.cell[1] or width > shown.screen.shape[1] - shown.cell[0]
    [stream] = shown.streams
    _, _, decoded = magick.decode(stream)
    assert psnr(shown.screen[top:top + height, left:left + width], decoded) >= 40


# Told the window (the add-on's defaults) or not (size reports off); with
# larger cells than the viewer's default guess and no size reports, the
# picture is smaller than the room, but still fits.
@pytest.mark.parametrize("addon, options", [(None, {}), (NO_REPORTS, {}),
                                            (NO_REPORTS, {"fontSize": 24})])
def test_the_viewer_fits_the_picture_above_the_prompt(browser, framed, magick, addon, options):
    shown = browser.run([*VIEWER, str(framed)], addon, **options)
    check_fitted(shown, magick, 4 / 3, fills=not options)
    top, left, height, width = shown.picture
    for edge in (shown.screen[top, left + 2:left + width - 2],
                 shown.screen[top + height - 1, left + 2:left + width - 2]):
        assert np.abs(edge.astype(int) - images.FRAME).max() <= 40


def test_matplotlib_draws_at_plt_show(browser, magick):
    # A magenta 800 x 600 figure with a green square in the middle.
    shown = browser.run([sys.executable, str(CHILDREN / "framed_figure.py")],
                        env={"MPLBACKEND": "tervalo"})
    check_fitted(shown, magick, 4 / 3)
    top, left, height, width = shown.picture
    middle = shown.screen[top + height // 2, left + width // 2]
    assert tuple(shown.screen[top + 5, left + 5]) == (255, 0, 255) and tuple(middle) == (0, 255, 0)


# What VS Code's image setting switches: without the add-on the viewer
# refuses, and a picture forced on xterm.js is dropped.
@pytest.mark.parametrize("force", [False, True])
def test_without_the_add_on_nothing_is_drawn(browser, framed, force):
    shown = browser.run([*VIEWER, str(framed), *["--force"][:force]], addon=False)
    assert shown.picture is None and len(shown.streams) == force
    if not force:
        assert shown.status == 2 and len(shown.stderr.splitlines()) == 1
        assert "no sixel support" in shown.stderr


def test_an_animation_plays_in_place(browser, tmp_path):
    # 10 frames, 0.4 s apiece: two caught whole during the playback, at one place.
    frames, hues = images.hued_frames(10)
    path = tmp_path / "anim.gif"
    Image.fromarray(frames[0]).save(path, save_all=True, duration=400,
                                    append_images=[Image.fromarray(f) for f in frames[1:]])
    seen = {}

    def watch(bridge):
        deadline = time.monotonic() + 8
        while len(seen) < 2 and time.monotonic() < deadline and not bridge.done.is_set():
            screen, _ = browser.screen()
            if (where := drawn(screen)) is not None and where[2:] == (160, 240):
                inside = screen[where[0] + 14:where[0] + 146, where[1] + 14:where[1] + 226]
                if (inside == inside[0, 0]).all():
                    seen[tuple(int(c) for c in inside[0, 0])] = where

    shown = browser.run([*VIEWER, str(path)], watch=watch)
    assert len(seen) == 2 and len(set(seen.values())) == 1, seen
    assert all(min(np.abs(np.subtract(hue, colour)).max() for colour in hues) <= 16
               for hue in seen)
    # A loaded machine may skip frames, and says so; nothing else is said.
    assert shown.status == 0 and re.fullmatch(
        r"(tervalo: .*: \d+ of 10 frames skipped: [^\n]*\n)?", shown.stderr), shown.stderr
    # Afterwards the last frame there, and the cursor on the line below it.
    top, _, height, _ = shown.picture
    assert shown.picture == next(iter(seen.values()))
    assert top + height <= shown.row * shown.cell[1] < top + height + shown.cell[1]
