"""Real terminals on a virtual X screen: the module's streams drawn by xterm
as a VT340, compared pixel for pixel with ImageMagick's decode; the viewer
in xterm, mlterm and konsole drawing the whole picture with the cursor
below it; the matplotlib backend drawing inline. Everything is found on
screenshots."""

import colorsys
import json
import os
import re
import subprocess
import sys
import time
import uuid

import numpy as np
import pytest
from conftest import CHILDREN
from imagemagick import psnr
from PIL import Image
from terminal_session import Display, Terminal, installed, missing_tools, not_installed

from tervalo._encode import fit
from tervalo.viewer import colour_wheel
from tervalo_ext import sixel_encode_bytes

# Garish, so that no edge pixel of either picture passes for background.
BACKGROUND = (255, 0, 255)
GARISH = "#{:02x}{:02x}{:02x}".format(*BACKGROUND)
VIEWER = [sys.executable, "-m", "tervalo"]
# xterm's largest sixel picture as a VT340 (its maxGraphicSize default).
XTERM_LIMIT = (1000, 1000)

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
    # What `python -m tervalo` writes into a pipe with no image.
    rgb, width, height = colour_wheel()
    stream = subprocess.run(VIEWER, capture_output=True, check=True,
                            stdin=subprocess.DEVNULL).stdout
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
    with Terminal(display, stream, background=GARISH) as term:
        drawn, _ = drawn_picture(term.screenshot())
    assert drawn.shape == (height, width, 3)
    assert psnr(drawn, np.frombuffer(rgb, np.uint8).reshape(height, width, 3)) >= floor
    # Pixel for pixel what an independent decoder reads from the stream; the
    # only difference is rounding the palette's percentages (measured: 1).
    # This also catches a shift of one pixel, which PSNR alone would not.
    _, _, decoded = magick.decode(stream)
    assert np.abs(drawn.astype(int) - decoded).max() <= 2


def test_viewer_in_an_xterm_without_sixels_draws_nothing(display):
    with Terminal(display, command=VIEWER, vt340=False, background=GARISH) as term:
        time.sleep(0.3)  # time to paint, had anything been written
        width, height, pixels = term.capture()
    errors = term.report["stderr"].splitlines()
    assert term.report["status"] == 2 and len(errors) == 1, errors
    assert errors[0].startswith("tervalo: ") and "no sixel support" in errors[0]
    assert "xterm -ti vt340" in errors[0]
    # Not a byte written: the cursor is where it started, the window blank.
    assert term.report["answer"] == "\x1b[1;1R"
    assert pixels == bytes(BACKGROUND) * (width * height)


FRAME = (255, 0, 0)


@pytest.fixture(scope="module")
def framed(tmp_path_factory):
    """Gradients under squares in a thick red frame, 4:3 and many times the
    window: a crop, a stretch or a scrolled-off top would not pass."""
    width, height = 1600, 1200
    y, x = np.mgrid[0:height, 0:width]
    rgb = np.stack([x * 200 // (width - 1), y * 200 // (height - 1),
                    64 + 128 * ((x // 100 + y // 100) % 2)], axis=-1).astype(np.uint8)
    edge = 32
    for side in (np.s_[:edge], np.s_[-edge:], np.s_[:, :edge], np.s_[:, -edge:]):
        rgb[side] = FRAME
    path = tmp_path_factory.mktemp("framed") / "framed.png"
    Image.fromarray(rgb).save(path)
    return path, rgb


def _box(winsize, limit):
    """The window's whole cells less one line, in whole sixel bands."""
    rows, cols = winsize["rows"], winsize["cols"]
    cell = winsize["xpixel"] // cols, winsize["ypixel"] // rows
    width, height = cols * cell[0], (rows - 1) * cell[1] // 6 * 6
    if limit:
        width, height = min(width, limit[0]), min(height, limit[1])
    return (width, height), cell


@pytest.mark.tervalo
@pytest.mark.parametrize("program, geometry, limit, args", [
    ("xterm", "80x24", None, []),
    ("xterm", "210x76", XTERM_LIMIT, []),   # the window is larger than what xterm draws
    ("xterm", "210x76", XTERM_LIMIT, ["--full-size"]),  # shrunk to the limit all the same
    ("mlterm", "80x24", None, []),
    ("konsole", None, None, []),
])
def test_viewer_draws_the_whole_picture_with_the_cursor_below(display, framed, program,
                                                              geometry, limit, args):
    if not installed(program):
        pytest.skip(not_installed(program))
    path, rgb = framed
    with Terminal(display, program=program, geometry=geometry, before=True,
                  command=[*VIEWER, str(path), *args]) as term:
        screen = term.screenshot()
        changed = term.changed(screen)
    # xterm reports its limit as what is left of 1000 x 1000 in the window.
    note = (rf"tervalo: {re.escape(str(path))}: 1600x1200 is larger than the terminal's "
            r"largest picture, 1000x\d+: drawn at 1000x750\n") if args else ""
    assert term.report["status"] == 0 and re.fullmatch(note, term.report["stderr"])
    (room_width, room_height), cell = _box(term.report["winsize"], limit)
    fitted = fit(1600, 1200, room_width, room_height)
    assert changed is not None, f"{program} drew nothing"
    top, left, height, width = changed
    assert (width, height) == fitted
    width_px, _, pixels = screen
    image = np.frombuffer(pixels, np.uint8).reshape(-1, width_px, 3)
    drawn = image[top:top + height, left:left + width].astype(int)
    # The frame's first and last rows are there: nothing scrolled away or cut.
    for row in (drawn[0], drawn[-1]):
        assert np.abs(row[2:-2] - FRAME).max() <= 40
    expected = np.asarray(Image.fromarray(rgb).resize(fitted, Image.Resampling.BOX))
    assert psnr(drawn, expected) >= 24
    # The cursor on the first line below the picture, and still on the screen.
    row = int(term.report["answer"][2:].split(";")[0])
    assert (row - 1) * cell[1] >= height and row <= term.report["winsize"]["rows"]
    assert (row - 2) * cell[1] < -(-height // 6) * 6


@pytest.mark.tervalo
def test_matplotlib_backend_draws_inline_in_xterm(display, tmp_path):
    script = CHILDREN / "framed_figure.py"
    with Terminal(display, before=True, command=[sys.executable, str(script)],
                  env={"MPLBACKEND": "module://tervalo.matplotlib"}) as term:
        screen = term.screenshot()
        changed = term.changed(screen)
    assert term.report["status"] == 0 and term.report["stderr"] == ""
    assert changed is not None, "xterm drew nothing"
    top, left, height, width = changed
    # 800 x 600 rendered at the dpi that fits 80 x 24 cells of 6 x 13 less a line.
    assert (width, height) == (392, 294)
    image = np.frombuffer(screen[2], np.uint8).reshape(screen[1], screen[0], 3)
    drawn = image[top:top + height, left:left + width].astype(int)
    # Flat areas where the figure has them: magenta around, green in the middle.
    assert np.abs(drawn[5:height // 4 - 5, 5:-5] - (255, 0, 255)).max() <= 8
    inner = drawn[height // 4 + 5:3 * height // 4 - 5, width // 4 + 5:3 * width // 4 - 5]
    assert np.abs(inner - (0, 255, 0)).max() <= 8


# Inside a multiplexer that answers for the terminal without sixels: --force
# hands the picture through to xterm. Each gets a config of its own: no
# status line or start-up message to find on the screenshot, passthrough on.
MULTIPLEXERS = {
    "tmux": (["tmux", "-L", "{name}", "-f", "{config}", "new-session", "-x", "80", "-y", "24"],
             "set -g status off\nset -g allow-passthrough on\n",
             ["tmux", "-L", "{name}", "kill-server"]),
    "screen": (["screen", "-c", "{config}", "-S", "{name}", "sh", "-c"],
               "startup_message off\n",
               ["screen", "-S", "{name}", "-X", "quit"]),
}


@pytest.mark.tervalo
@pytest.mark.parametrize("multiplexer", sorted(MULTIPLEXERS))
def test_force_inside_a_multiplexer_draws_through_it(display, magick, tmp_path, multiplexer):
    if not installed(multiplexer):
        pytest.skip(not_installed(multiplexer))
    start, config, stop = MULTIPLEXERS[multiplexer]
    # A name no other run shares: pytest's tmp_path names repeat across runs,
    # and two servers of one name are one server.
    fields = {"name": f"tervalo-{os.getpid()}-{uuid.uuid4().hex[:8]}",
              "config": tmp_path / "config"}
    (tmp_path / "config").write_text(config)
    # A line of output after it, then the cursor hidden, so that only the
    # picture and that line change.
    inner = (f"{sys.executable} -m tervalo --force 2>{tmp_path / 'stderr'}; echo below; "
             f"printf '\\033[?25l'; touch {tmp_path / 'drawn'}; sleep 60")
    command = [part.format(**fields) for part in start] + [inner]
    try:
        with Terminal(display, before=True, command=command, until=tmp_path / "drawn",
                      env={"TERM": "xterm"}) as term:
            errors = (tmp_path / "stderr").read_text().splitlines()
            if not errors and multiplexer == "tmux":
                pytest.skip("the tmux on PATH draws sixels itself: nothing to force")
            screen = term.screenshot()
            changed = term.changed(screen)
    finally:
        subprocess.run([part.format(**fields) for part in stop], capture_output=True,
                       check=False)
    named = {"tmux": "tmux", "screen": "GNU screen"}[multiplexer]
    assert len(errors) == 1 and errors[0].startswith(f"tervalo: --force inside {named}:"), errors
    assert changed is not None, f"nothing came through {multiplexer}"
    top, left, height, width = changed
    # The line below the picture, not written over it: the multiplexer's
    # cursor moved past the picture too.
    assert width == 256 and 256 < height <= 256 + 2 * 13
    image = np.frombuffer(screen[2], np.uint8).reshape(screen[1], screen[0], 3)
    stream = subprocess.run(VIEWER, capture_output=True, check=True,
                            stdin=subprocess.DEVNULL).stdout
    _, _, decoded = magick.decode(stream)
    drawn = image[top:top + 256, left:left + 256].astype(int)
    assert np.abs(drawn - decoded).max() <= 2


@pytest.mark.tervalo
def test_inside_a_tmux_that_draws_sixels(display, magick, tmp_path):
    # The rose at 300 x 197 in 6 x 13 cells: drawn by tmux itself, padded to
    # 234 rows (whole cells in whole bands) of the background, so that tmux
    # leaves no bar of colour 0 under it.
    if not installed("tmux"):
        pytest.skip(not_installed("tmux"))
    (tmp_path / "rose.png").write_bytes(magick("rose:", "-resize", "300x200", "png:-"))
    (tmp_path / "config").write_text("set -g status off\n")
    inner = (f"{sys.executable} -m tervalo --background '{GARISH}' {tmp_path / 'rose.png'} "
             f"2>{tmp_path / 'stderr'}; printf '\\033[?25l'; touch {tmp_path / 'drawn'}; sleep 60")
    server = ["tmux", "-L", f"tervalo-{os.getpid()}-{uuid.uuid4().hex[:8]}"]
    try:
        with Terminal(display, before=True, until=tmp_path / "drawn", env={"TERM": "xterm"},
                      command=[*server, "-f", str(tmp_path / "config"), "new-session", "-x",
                               "80", "-y", "24", inner]) as term:
            errors = (tmp_path / "stderr").read_text().splitlines()
            if errors and "tmux reports no sixel support" in errors[0]:
                pytest.skip("the tmux on PATH draws no sixels (Debian 13's tmux 3.5a does)")
            screen = term.screenshot()
            changed = term.changed(screen)
    finally:
        subprocess.run([*server, "kill-server"], capture_output=True, check=False)
    assert errors == [] and changed is not None
    top, left, height, width = changed
    assert (height, width) == (234, 300)
    image = np.frombuffer(screen[2], np.uint8).reshape(screen[1], screen[0], 3).astype(int)
    drawn = image[top:top + height, left:left + width]
    assert np.abs(drawn[197:] - BACKGROUND).max() <= 10  # the background, not colour 0
    assert np.abs(drawn[190:197] - BACKGROUND).max() > 100  # the rose down to its last row


def _hues(count):
    return [tuple(round(255 * c) for c in colorsys.hsv_to_rgb(k / count, 0.8, 0.9))
            for k in range(count)]


@pytest.mark.tervalo
@pytest.mark.parametrize("program", ["xterm", "mlterm", "konsole", "tmux", "screen"])
def test_an_animation_plays_in_place(display, tmp_path, program):
    # 20 frames in a red frame, each its own colour inside, 0.4 s apiece:
    # caught twice during the playback, two frames are whole at one place.
    # Inside a multiplexer without sixels (in xterm), through its passthrough.
    if not installed(program):
        pytest.skip(not_installed(program))
    hues = _hues(20)
    frames = []
    for hue in hues:
        rgb = np.full((160, 240, 3), FRAME, np.uint8)
        rgb[12:-12, 12:-12] = hue
        frames.append(Image.fromarray(rgb))
    path = tmp_path / "anim.gif"
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=400)
    command, stop, fields = [*VIEWER, str(path)], None, {}
    if program in MULTIPLEXERS:
        start, config, stop = MULTIPLEXERS[program]
        fields = {"name": f"tervalo-{os.getpid()}-{uuid.uuid4().hex[:8]}",
                  "config": tmp_path / "config"}
        (tmp_path / "config").write_text(config)
        # The cursor hidden throughout, so that only the picture changes.
        command = [part.format(**fields) for part in start] + [
            f"printf '\\033[?25l'; {' '.join(command)} --force 2>{tmp_path / 'stderr'}; "
            f"echo below; touch {tmp_path / 'drawn'}; sleep 60"]
    try:
        with Terminal(display, program="xterm" if stop else program, before=True, until=path,
                      command=command, timeout=30, env={"TERM": "xterm"} if stop else None) as term:
            seen = _frames_seen(term)
            term._await(tmp_path / "drawn" if stop else "done.json", 30)
            final = term.changed(term.screenshot())
            report = {} if stop else json.loads((term.workdir / "done.json").read_text())
    finally:
        if stop:
            subprocess.run([part.format(**fields) for part in stop], capture_output=True,
                           check=False)
    assert len(seen) == 2 and len(set(seen.values())) == 1, seen
    assert all(min(np.abs(np.subtract(hue, colour)).max() for colour in hues) <= 16
               for hue in seen)
    top, left, height, width = next(iter(seen.values()))
    if stop:
        errors = (tmp_path / "stderr").read_text().splitlines()
        if not errors and program == "tmux":
            pytest.skip("the tmux on PATH draws sixels itself: nothing to force")
        # Afterwards the last frame there, and the line after it below it.
        assert final[:2] == (top, left) and height < final[2] <= height + 2 * 13
        return
    # A loaded machine may skip a frame or two; that is said, and nothing else.
    assert report["status"] == 0 and re.fullmatch(
        r"(tervalo: .*: \d+ of 20 frames skipped: encoding did not keep up with their "
        r"durations\n)?", report["stderr"]), report["stderr"]
    # Afterwards the last frame there, and the cursor on the line below it.
    assert final == (top, left, height, width)
    cell = report["winsize"]["ypixel"] // report["winsize"]["rows"]
    row = int(report["answer"][2:].split(";")[0])
    assert (row - 1) * cell >= 160 and (row - 2) * cell < 162


def _frames_seen(term):
    """{colour inside: where} of the first two frames caught whole (red
    edges, one colour inside) in screenshots taken for up to 8 s."""
    seen = {}
    deadline = time.monotonic() + 8
    while len(seen) < 2 and time.monotonic() < deadline:
        screen = term.capture()
        if (changed := term.changed(screen)) is not None:
            top, left, height, width = changed
            image = np.frombuffer(screen[2], np.uint8).reshape(screen[1], screen[0], 3)
            inside = image[top + 14:top + height - 14, left + 14:left + width - 14]
            edges = image[[top, top + height - 1], left + 2:left + width - 2].astype(int)
            if np.abs(edges - FRAME).max() <= 40 and (inside == inside[0, 0]).all():
                seen[tuple(int(c) for c in inside[0, 0])] = changed
    return seen


@pytest.mark.tervalo
@pytest.mark.parametrize("program", ["xterm", "konsole"])
def test_the_first_frame_stays_up_for_its_own_time(display, tmp_path, program):
    # 3 s of the first frame, then two of half a second: seen twice a second
    # apart once it is whole, it is still the first.
    if not installed(program):
        pytest.skip(not_installed(program))
    hues = _hues(3)
    frames = [Image.fromarray(np.full((120, 160, 3), hue, np.uint8)) for hue in hues]
    path = tmp_path / "slow-start.gif"
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=[3000, 500, 500])
    with Terminal(display, program=program, before=True, until=path,
                  command=[*VIEWER, str(path)], timeout=30) as term:
        colours = []
        for wait in (0.0, 1.0):
            time.sleep(wait)
            deadline = time.monotonic() + 10
            while (changed := term.changed(screen := term.capture())) is None:
                assert time.monotonic() < deadline, "nothing was drawn"
            top, left, height, width = changed
            image = np.frombuffer(screen[2], np.uint8).reshape(screen[1], screen[0], 3)
            colours.append(tuple(int(c) for c in image[top + height // 2, left + width // 2]))
        term._await("done.json", 30)
    assert all(np.abs(np.subtract(colour, hues[0])).max() <= 16 for colour in colours), colours
