"""examples/show.py run as a user runs it: a subprocess of this interpreter."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

SHOW = Path(__file__).resolve().parents[1] / "examples" / "show.py"


def show(*args):
    return subprocess.run([sys.executable, str(SHOW), *map(str, args)],
                          capture_output=True, timeout=60)


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
