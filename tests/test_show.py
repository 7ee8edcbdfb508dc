"""The examples run as a user runs them, each a subprocess of this interpreter:
examples/show.py, into a pipe or a file and on a pseudo-terminal, and
examples/encode_many.py."""

import fcntl
import importlib
import os
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image, ImageSequence

from tervalo_ext import sixel_encode_bytes

# The examples around the module, run as a user runs them.
pytestmark = pytest.mark.tooling

SHOW = Path(__file__).resolve().parents[1] / "examples" / "show.py"


def show(*args):
    return subprocess.run([sys.executable, str(SHOW), *map(str, args)],
                          capture_output=True, timeout=60, check=False)


def raster_size(stream):
    return tuple(map(int, re.match(rb'\x1bPq"1;1;(\d+);(\d+)', stream).groups()))


@pytest.fixture
def photo(tmp_path):
    path = tmp_path / "wide.png"
    Image.new("RGB", (300, 100), (200, 40, 40)).save(path)
    return path


@pytest.mark.parametrize("args, message", [
    (["{tmp}/missing.png"], "No such file or directory"),
    (["{tmp}/notes.png"], "cannot identify image file"),    # text, not an image
    (["{tmp}/empty.png"], "cannot identify image file"),    # zero bytes
    (["{photo}", "--width", "0"], "--width: must be at least 1, got 0"),
    (["--height", "-4"], "--height: must be at least 1, got -4"),
    (["{photo}", "--width", "wide"], "--width: invalid positive value"),
    (["{photo}", "--background", "nocolour"], "unknown color specifier"),
    (["{photo}", "--output", "{tmp}/no/such/dir/out.six"], "No such file or directory"),
])
def test_failures_give_one_line_and_nonzero_status(tmp_path, photo, args, message):
    (tmp_path / "notes.png").write_text("not an image\n")
    (tmp_path / "empty.png").write_bytes(b"")
    run = show(*(a.format(tmp=tmp_path, photo=photo) for a in args))
    assert run.returncode != 0
    assert run.stdout == b""
    lines = run.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("show.py: ") and message in lines[0], lines


def test_transparency_is_composited_on_the_background(tmp_path, magick):
    # Columns: opaque red, fully transparent (green underneath), half-transparent white.
    rgba = np.zeros((12, 30, 4), np.uint8)
    rgba[:, :10] = (255, 0, 0, 255)
    rgba[:, 10:20] = (0, 255, 0, 0)
    rgba[:, 20:] = (255, 255, 255, 128)
    Image.fromarray(rgba, "RGBA").save(tmp_path / "alpha.png")
    run = show(tmp_path / "alpha.png", "--background", "#0000ff", "--output", tmp_path / "out")
    assert run.returncode == 0 and run.stdout == b"", run.stderr
    width, height, decoded = magick.decode((tmp_path / "out").read_bytes())
    assert (width, height) == (30, 12)
    # Palette entries keep 5 bits per channel, so allow a step of 8.
    for columns, colour in [(slice(0, 10), (255, 0, 0)), (slice(10, 20), (0, 0, 255)),
                            (slice(20, 30), (128, 128, 255))]:
        assert np.abs(decoded[:, columns].astype(int) - colour).max() <= 8, colour


@pytest.mark.parametrize("size, args, expected", [
    ((300, 100), ["--width", 90], (90, 30)),
    ((300, 100), ["--height", 20], (60, 20)),
    ((300, 100), ["--width", 90, "--height", 10], (30, 10)),
    ((300, 100), ["--width", 600, "--height", 600], (600, 200)),  # scales up too
    ((300, 100), [], (300, 100)),
    ((1, 1), ["--width", 7], (7, 7)),
    ((40, 20, 6), ["--height", 60], (30, 60)),  # EXIF: stored rotated by 90 degrees
    (None, ["--width", 100, "--height", 300], (100, 100)),  # the default picture
])
def test_fitting_keeps_the_aspect_ratio(tmp_path, size, args, expected):
    if size is not None:
        image = Image.new("RGB", size[:2], (10, 120, 200))
        exif = Image.Exif()
        if len(size) == 3:
            exif[0x0112] = size[2]  # Orientation
        image.save(tmp_path / "in.jpg", exif=exif)
        args = [tmp_path / "in.jpg", *args]
    run = show(*args)
    assert run.returncode == 0, run.stderr
    assert raster_size(run.stdout) == expected


def test_default_picture_draws_with_no_arguments(tmp_path, magick):
    run = show()
    assert run.returncode == 0 and run.stderr == b""
    # The stream, then a newline so the prompt starts below the picture.
    assert run.stdout.startswith(b'\x1bPq"1;1;256;256#') and run.stdout.endswith(b"\x1b\\\n")
    assert show("--output", tmp_path / "wheel.six").stdout == b""
    assert (tmp_path / "wheel.six").read_bytes() == run.stdout[:-1]
    width, height, decoded = magick.decode(run.stdout[:-1])
    # Many colours: more than a handful of palette entries were used.
    assert (width, height) == (256, 256)
    assert len(np.unique(decoded.reshape(-1, 3), axis=0)) > 100


# --- in a terminal ----------------------------------------------------------------

sys.path.insert(0, str(SHOW.parent))
viewer = importlib.import_module("show")
VT340 = b"\x1b[?63;1;2;4;6;9;15;16;22;28c"   # xterm -ti vt340
XTERM = b"\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c"  # xterm as it starts by default


@pytest.mark.parametrize("reply, sixels", [
    (VT340, True),
    (XTERM, False),
    (b"\x1b[?63;1;2;3;4;7;29c", True),    # mlterm
    (b"\x1b[?62;4;22c", True),            # foot
    (b"\x1b[?65;1;9c", False),            # VTE (GNOME Terminal)
    (b"\x1b[?62;14;24;42c", False),       # 4 only inside other numbers
    (b"\x1b[4;300;500t\x1b[?62;4c", True),  # after the window size reply
])
def test_sixel_support_is_attribute_4(reply, sixels):
    assert (viewer.SIXEL_ATTRIBUTE in viewer.device_attributes(reply)) is sixels


# Windows of 80 x 24 cells of 6 x 13 pixels and a 2-pixel border (xterm's),
# and of one line, which leaves no room above the prompt.
@pytest.mark.parametrize("window, size, fitted", [
    ((24, 80, 484, 316), (1600, 1200), (399, 299)),
    ((24, 80, 484, 316), (1, 1000), (1, 299)),      # too thin to shrink across
    ((24, 80, 484, 316), (1000, 1), (480, 1)),      # the border is no room
    ((24, 80, 484, 316), (100, 50), (100, 50)),     # never enlarged
    ((1, 80, 484, 17), (300, 100), (3, 1)),
])
def test_pictures_are_fitted_above_the_prompt_line(window, size, fitted):
    assert viewer.fit(*size, *viewer.picture_box(*window), enlarge=False) == fitted


def test_terminal_mode_survives_a_query_with_no_reply_and_ctrl_c():
    master, slave = os.openpty()
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    ctrl_c = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    try:
        before = termios.tcgetattr(slave)
        assert viewer.ask_terminal(slave, slave, True, timeout=0.2) == b""
        assert termios.tcgetattr(slave) == before
        ctrl_c.start()
        with pytest.raises(KeyboardInterrupt):
            viewer.ask_terminal(slave, slave, True, timeout=10)
        assert termios.tcgetattr(slave) == before
        assert os.read(master, 100) == b"\x1b[14t\x1b[c" * 2
    finally:
        ctrl_c.cancel()
        signal.signal(signal.SIGINT, previous)
        os.close(master)
        os.close(slave)


def in_terminal(*args, answers, window):
    """show.py on a pseudo-terminal (stdin and stdout) whose other end sends
    answers[query] once `query` arrived: (status, all it wrote there, stderr
    lines)."""
    master, slave = os.openpty()
    try:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("4H", *window))
        child = subprocess.Popen([sys.executable, str(SHOW), *map(str, args)],
                                 stdin=slave, stdout=slave, stderr=subprocess.PIPE)
        out, deadline = b"", time.monotonic() + 60
        while time.monotonic() < deadline:
            if select.select([master], [], [], 0.1)[0]:
                out += os.read(master, 1 << 16)
                for query in [q for q in answers if q in out]:
                    os.write(master, answers.pop(query))
            elif child.poll() is not None:
                break
        child.kill()
        return child.wait(), out, child.stderr.read().decode().splitlines()
    finally:
        os.close(master)
        os.close(slave)


@pytest.mark.parametrize("window, answers, args, side", [
    ((24, 80, 484, 316), {b"\x1b[c": XTERM}, [], None),  # no sixels: a message, nothing drawn
    ((24, 80, 484, 316), {}, [], None),                   # no reply at all
    ((8, 40, 0, 0), {}, ["--force"], 140),                # drawn anyway: 7 lines of 20 pixels
    ((10, 40, 400, 200), {b"\x1b[c": VT340}, [], 180),    # the kernel's pixels less a line
    ((10, 40, 0, 0), {b"\x1b[14t": b"\x1b[4;150;500t", b"\x1b[c": VT340}, [], 135),
    ((10, 40, 400, 200), {b"\x1b[c": VT340}, ["--full-size"], 256),
])
def test_viewer_on_a_terminal(window, answers, args, side):
    status, out, errors = in_terminal(*args, answers=dict(answers), window=window)
    assert VT340[1:] not in out and XTERM[1:] not in out  # no reply echoed
    if side is None:
        assert (status, out) == (2, b"\x1b[c") and len(errors) == 1, (out, errors)
        assert "no sixel support" in errors[0] and "xterm -ti vt340" in errors[0]
    else:
        assert status == 0 and errors == []
        assert raster_size(out[out.index(b"\x1bP"):]) == (side, side)


# --- examples/encode_many.py ----------------------------------------------------------


@pytest.mark.parametrize("source", ["wheel", "gif"])
def test_encode_many_writes_each_frame_its_own_stream(tmp_path, source):
    many = SHOW.parent / "encode_many.py"
    if source == "wheel":  # the default: generated frames
        frames, args = dict(importlib.import_module("encode_many").wheel_frames()), []
    else:  # not square, so swapped sides would show
        images = [Image.new("RGB", (24, 12), colour) for colour in
                  [(255, 0, 0), (0, 160, 0), (20, 40, 240), (250, 250, 250), (0, 0, 0)]]
        for k, image in enumerate(images):
            image.paste((255, 255, 0), (k * 4, 0, k * 4 + 4, 12))
        images[0].save(tmp_path / "anim.gif", save_all=True, append_images=images[1:])
        with Image.open(tmp_path / "anim.gif") as gif:
            frames = {f"anim-{k:04d}": (frame.convert("RGB").tobytes(), 24, 12)
                      for k, frame in enumerate(ImageSequence.Iterator(gif))}
        args = [tmp_path / "anim.gif"]
    run = subprocess.run([sys.executable, str(many), *args, "--processes", "3",
                          "--out-dir", tmp_path / "out"], capture_output=True, check=False)
    assert run.returncode == 0 and run.stdout.startswith(f"{len(frames)} frames, ".encode())
    written = {path.stem: path.read_bytes() for path in (tmp_path / "out").iterdir()}
    assert written == {name: sixel_encode_bytes(*frame) for name, frame in frames.items()}
