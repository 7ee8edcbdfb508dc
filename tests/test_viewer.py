"""The viewer as a user runs it (python -m tervalo, a subprocess of this
interpreter) into a pipe or a file and on a pseudo-terminal that plays a
terminal; tervalo.show and the matplotlib backend on both."""

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import CHILDREN
from fake_terminal import DA1, VT340, WINDOW, XTERM, XTERM_WINDOW, XTSMGRAPHICS, on_pty
from PIL import Image

from tervalo.viewer import main as viewer_main

pytestmark = pytest.mark.tervalo

VIEWER = [sys.executable, "-m", "tervalo"]


def viewer(*args, stdin=None):
    # Standard input holds a picture only when a test gives one.
    return subprocess.run([*VIEWER, *map(str, args)], capture_output=True, timeout=60,
                          check=False, input=stdin,
                          stdin=None if stdin is not None else subprocess.DEVNULL)


def raster_sizes(out):
    return [tuple(map(int, m)) for m in re.findall(rb'\x1bPq"1;1;(\d+);(\d+)', out)]


@pytest.fixture
def photo(tmp_path):
    path = tmp_path / "wide.png"
    Image.new("RGB", (300, 100), (200, 40, 40)).save(path)
    return path


@pytest.mark.parametrize("args, message", [
    (["{tmp}/missing.png"], "No such file or directory"),
    (["{tmp}/notes.png"], "cannot identify image file"),    # text, not an image
    (["{tmp}/empty.png"], "cannot identify image file"),    # zero bytes
    (["{photo}", "{tmp}/missing.png"], "No such file or directory"),  # the second fails
    (["{photo}", "--width", "0"], "--width: takes a whole number of at least 1, got '0'"),
    (["--height", "-4"], "--height: takes a whole number of at least 1, got '-4'"),
    (["{photo}", "--width", "1.5"], "--width: takes a whole number of at least 1, got '1.5'"),
    (["--loop", "1.5"], "--loop: takes a whole number of 0 or more, got '1.5'"),
    (["--loop", "0", "{photo}", "{photo}"], "--loop 0 plays until Ctrl-C and would never reach"),
    (["--background", "nocolour"], "unknown color specifier"),
    (["--background", "#ff000080"], "has an alpha"),
    (["{photo}", "--output", "{tmp}/no/such/dir/out.six"], "No such file or directory"),
])
def test_failures_give_one_line_and_nonzero_status(tmp_path, photo, args, message):
    (tmp_path / "notes.png").write_text("not an image\n")
    (tmp_path / "empty.png").write_bytes(b"")
    args = [a.format(tmp=tmp_path, photo=photo) for a in args]
    # Into a file, so that a picture drawn before the failure is not on stdout.
    run = viewer(*args, *([] if "--output" in args else ["--output", tmp_path / "out.six"]))
    assert run.returncode != 0 and run.stdout == b""
    lines = run.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("tervalo: ") and message in lines[0], lines


def test_transparency_is_composited_on_the_background(tmp_path, magick):
    # Columns: opaque red, fully transparent (green underneath), half-transparent white.
    rgba = np.zeros((12, 30, 4), np.uint8)
    rgba[:, :10] = (255, 0, 0, 255)
    rgba[:, 10:20] = (0, 255, 0, 0)
    rgba[:, 20:] = (255, 255, 255, 128)
    Image.fromarray(rgba, "RGBA").save(tmp_path / "alpha.png")
    run = viewer(tmp_path / "alpha.png", "--background", "#0000ff", "--output", tmp_path / "out")
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
    run = viewer(*args)
    assert run.returncode == 0, run.stderr
    assert raster_sizes(run.stdout) == [expected]


def test_default_picture_draws_with_no_arguments(tmp_path, magick):
    run = viewer()
    assert run.returncode == 0 and run.stderr == b""
    # The stream, then a newline so a prompt starts below it.
    assert run.stdout.startswith(b'\x1bPq"1;1;256;256#') and run.stdout.endswith(b"\x1b\\\n")
    assert viewer("--output", tmp_path / "wheel.six").stdout == b""
    assert (tmp_path / "wheel.six").read_bytes() == run.stdout[:-1]
    width, height, decoded = magick.decode(run.stdout[:-1])
    # Many colours: more than a handful of palette entries were used.
    assert (width, height) == (256, 256)
    assert len(np.unique(decoded.reshape(-1, 3), axis=0)) > 100


def test_several_images_one_after_another(tmp_path, magick):
    colours = [(250, 0, 0), (0, 0, 250), (0, 160, 0)]
    paths = []
    for k, colour in enumerate(colours):
        paths.append(tmp_path / f"{k}.png")
        Image.new("RGB", (20 + 10 * k, 12), colour).save(paths[-1])
    run = viewer(*paths)
    assert run.returncode == 0, run.stderr
    streams = run.stdout.split(b"\x1b\\\n")
    assert streams[-1] == b"" and len(streams) == 4
    for stream, colour, k in zip(streams, colours, range(3), strict=False):
        width, height, decoded = magick.decode(stream + b"\x1b\\")
        assert (width, height) == (20 + 10 * k, 12)
        assert np.abs(decoded.astype(int) - colour).max() <= 8
    # Into a file: the streams as they are, one after another.
    assert viewer(*paths, "--output", tmp_path / "all.six").returncode == 0
    assert (tmp_path / "all.six").read_bytes() == run.stdout.replace(b"\x1b\\\n", b"\x1b\\")


# Standard input: "-", or a pipe or a file when no IMAGE is given; the
# wheel only from a terminal or /dev/null (stdin=None below).
@pytest.mark.parametrize("args, stdin, status, sizes, errors", [
    (["-"], "photo", 0, [(300, 100)], []),
    (["-", "-"], "photo", 1, [(300, 100)], ["tervalo: standard input: read already: give - once"]),
    ([], "photo", 0, [(300, 100)], []),
    ([], None, 0, [(256, 256)], []),
    ([], b"", 1, [], ["tervalo: standard input: empty; pipe an image into it, e.g. "
                      "`python -m tervalo < photo.png`"]),
    (["--output", "-", "{photo}"], None, 0, [(300, 100)], []),
    # One failing file is named and the others still drawn (an animation's
    # frames one after another); the status says so.
    (["{photo}", "{tmp}/x\x1b[2J.png", "https://example.org/a.png", "{tmp}/anim.gif"], None, 1,
     [(300, 100), (40, 30), (40, 30)], [
         "tervalo: {tmp}/x\\x1b[2J.png: No such file or directory",
         "tervalo: https://example.org/a.png: a URL, not a file; download it first "
         "(e.g. curl -O URL)"]),
    # Pages, not an animation.
    (["{tmp}/pages.tif"], None, 0, [(40, 30)],
     ["tervalo: {tmp}/pages.tif: 2 frames: the first is drawn (--frame K draws another)"]),
    (["--version"], None, 0, [], []),
])
def test_where_the_pictures_come_from(tmp_path, photo, args, stdin, status, sizes, errors):
    for name in ("anim.gif", "pages.tif"):
        Image.new("RGB", (40, 30)).save(tmp_path / name, save_all=True,
                                        append_images=[Image.new("RGB", (40, 30), (0, 0, 255))])
    data = photo.read_bytes() if stdin == "photo" else stdin
    if data is None:
        run = viewer(*(a.format(tmp=tmp_path, photo=photo) for a in args))
    else:  # a pipe
        run = viewer(*args, stdin=data)
    assert run.returncode == status and raster_sizes(run.stdout) == sizes
    assert run.stderr.decode().splitlines() == [e.format(tmp=tmp_path) for e in errors]
    if "--output" in args:  # as when standard output is redirected
        assert run.stdout.endswith(b"\x1b\\\n")
    if "--version" in args:
        assert run.stdout == b"tervalo 0.1.0\n"


def test_an_animation_cut_short_draws_its_good_frames_then_says_why(tmp_path):
    noise = np.random.default_rng(1).integers(0, 256, (6, 64, 64, 3), np.uint8)
    frames = [Image.fromarray(frame).convert("P") for frame in noise]
    whole = tmp_path / "whole.gif"
    frames[0].save(whole, save_all=True, append_images=frames[1:], duration=100)
    data = whole.read_bytes()
    (tmp_path / "cut.gif").write_bytes(data[:len(data) * 9 // 10])  # inside the last frame
    run = viewer(tmp_path / "cut.gif", "--output", "-")
    [line] = run.stderr.decode().splitlines()
    assert run.returncode == 1 and line.startswith(f"tervalo: {tmp_path}/cut.gif: image file "
                                                   "is truncated")
    assert raster_sizes(run.stdout) == [(64, 64)] * 5


@pytest.mark.parametrize("args, status, pictures, errors", [
    (["{photo}"], 1, [], ["tervalo: {photo}: reading image files needs Pillow: pip install "
                          "'tervalo_ext[pillow]'"]),
    ([], 0, [(256, 256)], []),
])
def test_without_pillow_a_file_gets_one_line_and_the_wheel_still_draws(photo, args, status,
                                                                       pictures, errors):
    hidden = ("import runpy, sys; sys.modules['PIL'] = None; "
              "runpy.run_module('tervalo', run_name='__main__')")
    run = subprocess.run([sys.executable, "-c", hidden, *(a.format(photo=photo) for a in args)],
                         capture_output=True, timeout=60, stdin=subprocess.DEVNULL, check=False)
    assert run.returncode == status and raster_sizes(run.stdout) == pictures
    assert run.stderr.decode().splitlines() == [e.format(photo=photo) for e in errors]


def test_a_reader_that_goes_away_ends_the_viewer_quietly(tmp_path):
    path = tmp_path / "noise.png"
    Image.fromarray(np.random.default_rng(2).integers(0, 256, (300, 400, 3), np.uint8)).save(path)
    process = subprocess.Popen([*VIEWER, *[str(path)] * 4], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.read(1000)  # as `| head -c 1000` does
    process.stdout.close()
    assert process.wait(timeout=60) == 141 and process.stderr.read() == b""


# --- on a terminal ---------------------------------------------------------------------


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "big.png"
    Image.new("RGB", (1600, 1200), (30, 90, 200)).save(path)
    return path


@pytest.mark.parametrize("window, answers, args, drawn", [
    (XTERM_WINDOW, {DA1: XTERM}, [], None),                  # no sixels: a message only
    (XTERM_WINDOW, {}, [], None),                            # no reply at all
    ((8, 40, 0, 0), {}, ["--force"], (138, 138)),            # 7 lines of 20 pixels, in bands
    ((10, 40, 400, 200), {DA1: VT340}, [], (180, 180)),      # the kernel's pixels less a line
    ((10, 40, 0, 0), {WINDOW: b"\x1b[4;150;500t", DA1: VT340}, [], (132, 132)),
    ((10, 40, 400, 200), {DA1: VT340}, ["--full-size"], (256, 256)),
    ((10, 40, 400, 200), {DA1: VT340}, ["--width", 300], (300, 300)),
    # xterm -ti vt340 -geometry 210x76: the window less a line, or its limit.
    ((76, 210, 1264, 992), {DA1: VT340}, ["{big}"], (1260, 945)),
    ((76, 210, 1264, 992), {XTSMGRAPHICS: b"\x1b[?2;0;1000;1000S", DA1: VT340}, ["{big}"],
     (1000, 750)),
    ((76, 210, 1264, 992), {XTSMGRAPHICS: b"\x1b[?2;0;1000;1000S", DA1: VT340},
     ["{big}", "{big}"], (1000, 750)),
])
def test_viewer_on_a_terminal(big, window, answers, args, drawn):
    run = on_pty([*VIEWER, *(str(a).format(big=big) for a in args)], answers=answers,
                 window=window)
    assert VT340[1:] not in run.out and XTERM[1:] not in run.out  # no reply echoed
    assert run.mode_kept and run.leftover == b""
    if drawn is None:
        assert run.status == 2 and b"\x1bP" not in run.out and len(run.errors) == 1, run
        assert ("no sixel support" in run.errors[0] and "xterm -ti vt340" in run.errors[0]
                if answers else "did not answer within 2 s" in run.errors[0])
        return
    assert run.status == 0 and run.errors == []
    pictures = raster_sizes(run.out)
    assert pictures == [drawn] * max(1, args.count("{big}"))
    # Each picture in rows made for it, the cursor put below it.
    pixels = window[3] or (150 if WINDOW in answers else 20 * window[0])
    rows = -(-(-(-drawn[1] // 6) * 6) // (pixels // window[0]))
    fitted = not {"--full-size", "--width"} & set(args)
    assert rows < window[0] or not fitted  # a line left for the prompt
    placed = re.findall(rb"(\n*)\x1b\[(\d+)A\x1b7\x1bP.*?\x1b\\\x1b8\x1b\[(\d+)B\r",
                        run.out.replace(b"\r\n", b"\n"), re.S)
    assert placed == [(b"\n" * rows, b"%d" % rows, b"%d" % rows)] * len(pictures)




def test_a_window_of_one_row_has_no_room_for_a_picture(photo):
    run = on_pty([*VIEWER, str(photo)], answers={DA1: VT340}, window=(1, 80, 480, 13))
    assert run.status == 1 and b"\x1bP" not in run.out and run.errors == [
        "tervalo: the window is 1 text row tall, leaving no room for a picture above the "
        "prompt: make it taller, or give a size (--height PX, or --full-size)"]


LIMIT_480 = {XTSMGRAPHICS: b"\x1b[?2;0;480;312S"}


@pytest.mark.parametrize("answers, fit, status, drawn, errors", [
    ({DA1: VT340}, True, 0, (480, 160), []),
    ({DA1: VT340}, False, 0, (900, 300), []),
    ({DA1: VT340}, "True 300,200", 0, (300, 100), []),  # max_size within the window
    ({**LIMIT_480, DA1: VT340}, False, 0, (480, 160), [
        "tervalo: 900x300 is larger than the terminal's largest picture, 480x312: drawn at "
        "480x160"]),
    ({DA1: XTERM}, True, 3, None, [
        "refused: this terminal reports no sixel support (its device attributes lack 4, sixel "
        "graphics); run in one that draws sixels, e.g. `xterm -ti vt340`; force=True draws "
        "anyway"]),
])
def test_show_on_a_terminal(answers, fit, status, drawn, errors):
    run = on_pty([sys.executable, str(CHILDREN / "show_on_terminal.py"), *str(fit).split()],
                 answers=answers)
    assert run.status == status and run.errors == errors
    assert raster_sizes(run.out) == ([drawn] if drawn else [])


def test_a_picture_on_standard_input_drawn_on_the_terminal(photo):
    # The picture on standard input, the replies through /dev/tty.
    run = on_pty(["sh", "-c", 'exec "$0" -m tervalo < "$1"', sys.executable, str(photo)],
                 answers={DA1: VT340})
    assert run.status == 0 and run.errors == [] and raster_sizes(run.out) == [(300, 100)]
    assert run.leftover == b"" and run.mode_kept


def test_a_decompression_bomb_warning_is_one_line(photo, tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 20000)  # 300 x 100 is above, not twice
    assert viewer_main([str(photo), "--output", str(tmp_path / "out")]) == 0
    assert capsys.readouterr().err == (
        f"tervalo: {photo}: 300x100, 30,000 pixels, above Pillow's decompression-bomb "
        "threshold of 20,000: decoding it takes much memory and time\n")


# --full-size and --width never beyond what the terminal reports it draws.
@pytest.mark.parametrize("args, wanted", [(["--full-size"], "1600x1200"),
                                          (["--width", 1200], "1200x900")])
def test_never_larger_than_the_terminal_draws(big, args, wanted):
    run = on_pty([*VIEWER, str(big), *map(str, args)], window=(76, 210, 1264, 992),
                 answers={XTSMGRAPHICS: b"\x1b[?2;0;1000;1000S", DA1: VT340})
    assert run.status == 0 and raster_sizes(run.out) == [(1000, 750)]
    assert run.errors == [f"tervalo: {big}: {wanted} is larger than the terminal's largest "
                          "picture, 1000x1000: drawn at 1000x750"]


def test_show_into_a_file_writes_the_stream(tmp_path, magick):
    run = subprocess.run([sys.executable, str(CHILDREN / "show_into_buffer.py")],
                         capture_output=True, check=True)
    assert run.stdout.startswith(b"\x1bP") and magick.size(run.stdout) == (40, 30)




@pytest.mark.parametrize("reply, drawn, left_open", [
    (VT340, [(392, 294)] * 2, 0),
    (XTERM, [], 0),      # not drawn: a warning naming the switch; not kept either
])
def test_matplotlib_backend_on_a_terminal(magick, reply, drawn, left_open):
    env = {"MPLBACKEND": "module://tervalo.matplotlib"}
    run = on_pty([sys.executable, str(CHILDREN / "two_figures.py")], answers={DA1: reply},
                 env=env)
    assert run.status == 0
    assert f"open after show: {left_open}" in run.errors
    # Rendered at the dpi that fits: no resampling blur at the edges.
    assert raster_sizes(run.out) == drawn
    if not drawn:
        assert any("no sixel support" in line and "set TERVALO_FORCE=1" in line
                   for line in run.errors)
        return
    stream = run.out[run.out.index(b"\x1bP"):]
    stream = stream[:stream.index(b"\x1b\\") + 2]
    _, _, decoded = magick.decode(stream)
    assert np.abs(decoded.astype(int) - (255, 0, 255)).max() <= 8


def test_matplotlib_backend_into_a_pipe(magick):
    env_run = subprocess.run(
        [sys.executable, str(CHILDREN / "two_figures.py")], capture_output=True, check=True,
        env={**os.environ, "MPLBACKEND": "module://tervalo.matplotlib"})
    # Into a pipe nothing is fitted: each figure at its own size.
    assert raster_sizes(env_run.stdout) == [(800, 600)] * 2
    assert b"open after show: 0" in env_run.stderr


@pytest.mark.tooling
def test_example_draws_a_figure(magick):
    example = Path(__file__).resolve().parents[1] / "examples" / "show.py"
    run = subprocess.run([sys.executable, str(example)], capture_output=True, check=True)
    # Into a pipe: matplotlib's default figure, 6.4 x 4.8 inches at 100 dpi.
    assert magick.size(run.stdout) == (640, 480)
