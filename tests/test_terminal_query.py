"""tervalo.terminal: the replies of real terminals parsed, the picture's box
and rows, and the query on a pseudo-terminal: its mode restored after Ctrl-C,
late replies kept from the shell, no controlling terminal, tmux and screen."""

import os
import re
import sys

import numpy as np
import pytest
from conftest import CHILDREN
from fake_terminal import (
    DA1,
    FOOT,
    KONSOLE,
    MLTERM,
    SYNCHRONIZED,
    TMUX,
    VT340,
    VTE,
    WINDOW,
    XTERM,
    XTERM_WINDOW,
    XTERMJS,
    XTSMGRAPHICS,
    on_pty,
)
from PIL import Image

from tervalo import terminal
from tervalo._encode import fit

pytestmark = pytest.mark.tervalo

VIEWER = [sys.executable, "-m", "tervalo"]


@pytest.mark.parametrize("reply, sixels", [
    (VT340, True),
    (XTERM, False),
    (MLTERM, True),
    (KONSOLE, True),
    (FOOT, True),
    (VTE, False),
    (XTERMJS, True),
    (TMUX, False),
    (b"\x1b[?62;14;24;42c", False),             # 4 only inside other numbers
    (b"\x1b[4;300;500t\x1b[?62;4c", True),      # after the window size reply
    (b"\x1b[?2;0;1000;1000S" + VT340, True),    # after the graphics limit
    (b"\x9b?62;4c", True),                      # 8-bit CSI
    (b"\x1b[?62;4", False),                     # cut short
    (b"", False),
])
def test_sixel_support_is_attribute_4(reply, sixels):
    assert terminal.TerminalInfo.from_replies(reply, 24, 80, 0, 0, environ={}).sixels is sixels


@pytest.mark.parametrize("reply, limit", [
    (b"\x1b[?2;0;1000;1000S", (1000, 1000)),    # xterm -ti vt340 in a big window
    (b"\x1b[?2;0;480;312S\x1b[?63;4c", (480, 312)),  # xterm at 80 x 24
    (b"\x1b[?2;0;16384;16384S", (16384, 16384)),    # konsole
    (b"\x1b[?1;3;0S", None),                     # mlterm: not supported
    (b"\x1b[?2;3;0;0S", None),                   # a failure status
    (b"\x1b[?2;0;0;0S", None),
    (VT340, None),
])
def test_graphics_limit_reply(reply, limit):
    assert terminal.TerminalInfo.from_replies(reply, 24, 80, 0, 0).graphics_limit == limit


@pytest.mark.parametrize("reply, window", [
    (b"\x1b[4;456;800t", (800, 456)),            # mlterm: height first
    (b"\x1b[4;476;880t" + KONSOLE, (880, 476)),
    (b"\x1b[4;0;0t", None),
    (b"\x1b[6;19;10t", None),                    # the cell size, not the window
])
def test_window_size_reply(reply, window):
    assert terminal.TerminalInfo.from_replies(reply, 24, 80, 0, 0).window == window


# Without the window's pixels (xterm.js with its size reports off: 80 x 24
# cells of 9.04 x 18, or 14.4 x 28 at 24 px), the graphics geometry bounds
# the guess of default cells; the kernel's pixels or a window reply come first.
@pytest.mark.parametrize("reply, kernel, window, box", [
    (b"\x1b[?2;0;723;432S" + XTERMJS, (0, 0), (723, 432), (720, 414)),
    (b"\x1b[?2;0;1155;672S" + XTERMJS, (0, 0), (800, 480), (800, 456)),
    (b"\x1b[?2;0;16384;16384S" + KONSOLE, (0, 0), (800, 480), (800, 456)),
    (b"\x1b[?2;0;1000;1000S" + VT340, (484, 316), (484, 316), (480, 294)),
    (b"\x1b[?2;0;723;432S\x1b[4;500;900t" + XTERMJS, (0, 0), (900, 500), (723, 432)),
    (XTERMJS, (0, 0), None, (800, 456)),
])
def test_the_graphics_geometry_bounds_an_unknown_window(reply, kernel, window, box):
    info = terminal.TerminalInfo.from_replies(reply, 24, 80, *kernel, environ={})
    assert (info.window, info.box) == (window, box)


# (rows, cols, xpixel, ypixel), then the graphics limit.
@pytest.mark.parametrize("window, limit, size, fitted", [
    (XTERM_WINDOW, None, (1600, 1200), (392, 294)),
    (XTERM_WINDOW, None, (1, 1000), (1, 294)),        # too thin to shrink across
    (XTERM_WINDOW, None, (1000, 1), (480, 1)),        # the border is no room
    (XTERM_WINDOW, None, (1001, 7), (480, 3)),
    (XTERM_WINDOW, None, (100, 50), (100, 50)),       # never enlarged
    ((1, 80, 484, 17), None, (300, 100), (3, 1)),     # one line: no room above the prompt
    ((10, 40, 0, 0), None, (1000, 1000), (180, 180)),  # cells of the default size
    ((76, 210, 1264, 992), None, (1600, 1200), (1260, 945)),
    ((76, 210, 1264, 992), (1000, 1000), (1600, 1200), (1000, 750)),  # xterm's limit
    ((76, 210, 1264, 992), (1000, 1000), (1200, 1600), (729, 972)),
    ((29, 110, 882, 498), (16384, 16384), (1600, 1200), (632, 474)),  # konsole
])
def test_pictures_fit_above_the_prompt_line_and_within_the_limit(window, limit, size, fitted):
    rows, cols, xpixel, ypixel = window
    pixels = (xpixel, ypixel) if xpixel else None
    box = terminal.picture_box(rows, cols, pixels, limit)
    assert fit(*size, *box) == fitted
    cell_height = ypixel // rows if ypixel else terminal.DEFAULT_CELL[1]
    # The rows the picture is given leave the last line for the prompt.
    assert terminal.picture_rows(fitted[1], cell_height) <= max(1, rows - 1)


# Measured: how many rows down each terminal leaves the cursor after a
# picture of this height drawn at the top (mlterm, konsole: the row below
# the last band; xterm: the picture's last row).
@pytest.mark.parametrize("height, cell_height, moved", [
    (50, 17, 4), (52, 17, 4), (39, 17, 3),        # konsole 22.12, 8 x 17 cells
    (50, 19, 3), (39, 19, 3),                     # mlterm 3.9, 10 x 19 cells
    (50, 13, 3), (39, 13, 2),                     # xterm -ti vt340, 6 x 13 cells
    (1, 13, 0),
])
def test_rows_made_for_a_picture_take_the_cursor_after_it(height, cell_height, moved):
    rows = terminal.picture_rows(height, cell_height)
    # Enough rows that neither convention scrolls, and for the picture.
    assert rows >= max(moved, 1) and rows * cell_height >= height
    assert (rows - 1) * cell_height < -(-height // 6) * 6


# --- on a pseudo-terminal --------------------------------------------------------------

NO_REPLY = ("the terminal did not answer within 2 s, so whether it draws sixels is unknown "
            "(a slow link can take longer; TERVALO_WAIT=SECONDS waits longer)")


# A slow link: a reply within the wait (lengthened by --wait or
# TERVALO_WAIT) is drawn in; a later one is refused as no reply, never as no
# sixels, and read and thrown away up to 10 s after the queries.
@pytest.mark.parametrize("delay, args, env, status", [
    (0.8, [], {}, 0),
    (3, [], {}, 2),
    (3, ["--wait", "4"], {}, 0),
    (8, [], {}, 2),
    (8, [], {"TERVALO_WAIT": "9"}, 0),
])
def test_late_replies_never_reach_the_shell(delay, args, env, status):
    run = on_pty([*VIEWER, *args], answers={DA1: VT340}, delay=delay, env=env)
    assert run.status == status, run.errors
    if status == 2:
        assert run.errors == [f"tervalo: {NO_REPLY}; --wait SECONDS waits longer, "
                              "--force draws anyway"]
    else:
        assert b"\x1bPq" in run.out and run.errors == []
    assert run.leftover == b"" and VT340[1:] not in run.out
    assert run.mode_kept


# In a program: what input() reads is what was typed, never a reply. A
# terminal that never answers is asked once: its wait is spent once, and a
# late reply is awaited only over ssh (a local terminal answers at once or
# never), so that a program is not held for nothing.
LINK = {"SSH_CONNECTION": "10.0.0.2 50000 10.0.0.1 22"}


@pytest.mark.parametrize("delay, answers, env, shows, refused, longest", [
    (0.8, {DA1: VT340}, {}, 1, False, 0),
    (3, {DA1: VT340}, LINK, 1, True, 3),       # read when it comes, after the refusal
    (8, {DA1: VT340}, {"TERVALO_WAIT": "9"}, 1, False, 8),
    (0, {}, {}, 3, True, 2),
    (0, {}, LINK, 1, True, 10),
])
def test_late_replies_never_reach_the_programs_input(delay, answers, env, shows, refused,
                                                     longest):
    run = on_pty([sys.executable, str(CHILDREN / "show_then_input.py"), str(shows)],
                 answers=answers, delay=delay, env=env, typed=b"bob\n",
                 typed_after=longest + 1)
    errors = [f"refused: {NO_REPLY}; force=True draws anyway"] * shows * refused
    *said, took, typed = run.errors
    assert said == errors and typed == "typed: 'bob'"
    # A loaded machine adds its own slowness, never a whole wait.
    assert longest <= float(took.removeprefix("longest: ")) < longest + 1.5, took
    assert run.out.count(DA1) == 1 and run.out.count(b"\x1bPq") == (not refused)
    assert VT340[1:] not in run.out and run.mode_kept


@pytest.mark.parametrize("wait", ["abc", 0, float("nan")])
def test_a_wait_that_is_no_time_is_refused_before_the_terminal_is_asked(wait):
    with pytest.raises(ValueError, match="takes a number of seconds above 0"):
        terminal.query(wait=wait)


def test_ctrl_c_during_the_query_restores_the_terminal():
    run = on_pty(VIEWER, answers={}, interrupt_on=DA1)
    assert (run.status, run.errors) == (130, ["tervalo: interrupted"])
    assert run.mode_kept and b"\x1bP" not in run.out


def test_the_queries_end_with_device_attributes():
    # The kernel knows no pixels, so the window size is asked too.
    run = on_pty(VIEWER, answers={DA1: VT340}, window=(24, 80, 0, 0))
    assert run.out.startswith(XTSMGRAPHICS + SYNCHRONIZED + WINDOW + DA1)
    run = on_pty(VIEWER, answers={DA1: VT340})
    assert run.out.startswith(XTSMGRAPHICS + SYNCHRONIZED + DA1)


@pytest.mark.parametrize("args, status", [([], 2), (["--force"], 0)])
def test_without_a_controlling_terminal(args, status):
    run = on_pty([*VIEWER, *args], detached=True)
    assert run.status == status
    if status:
        assert len(run.errors) == 1 and run.errors[0].startswith(
            "tervalo: no controlling terminal to ask whether it draws sixels"), run.errors
        assert run.out == b""
    else:  # fitted to what the kernel says: 480 x 294, so the 256 wheel is whole
        assert run.errors == [] and b'\x1bPq"1;1;256;256' in run.out


@pytest.mark.parametrize("variable, name, advice", [
    ("TMUX", "tmux", "use a tmux built with sixel support"),
    ("STY", "GNU screen", "run outside screen"),
])
def test_multiplexers_are_named_in_the_refusal(variable, name, advice):
    run = on_pty(VIEWER, answers={DA1: TMUX}, env={variable: "/tmp/x,1,0"})
    assert run.status == 2 and len(run.errors) == 1, run.errors
    assert run.errors[0].startswith(f"tervalo: {name} reports no sixel support")
    assert advice in run.errors[0] and "--force" in run.errors[0]


def _unwrap_tmux(out):
    body = out[out.index(b"\x1bPtmux;") + 7:out.rindex(b"\x1b\\")]
    assert b"\x1b" not in body.replace(b"\x1b\x1b", b"")  # every ESC doubled
    return body.replace(b"\x1b\x1b", b"\x1b")


def _unwrap_screen(out):
    strings = re.findall(rb"\x1bP(.*?\x1b?)\x1b\\", out[out.index(b"\x1bP"):], re.S)
    # Each string short enough for screen, with an ESC only at its end.
    assert all(len(s) < 768 and b"\x1b" not in s[:-1] for s in strings)
    return b"".join(strings)


@pytest.mark.parametrize("variable, unwrap", [("TMUX", _unwrap_tmux), ("STY", _unwrap_screen)])
def test_force_in_a_multiplexer_passes_the_picture_through(magick, variable, unwrap):
    run = on_pty([*VIEWER, "--force"], answers={DA1: TMUX}, env={variable: "x"})
    assert run.status == 0 and len(run.errors) == 1, run.errors
    assert run.errors[0].startswith("tervalo: --force inside ") and "passthrough" in run.errors[0]
    # Only the picture goes through; the multiplexer makes the rows itself,
    # so that its cursor ends below the picture.
    out = run.out.replace(b"\r\n", b"\n")  # the pty's ONLCR
    through = out[out.index(b"\x1bP"):out.rindex(b"\x1b\\") + 2]
    assert out.replace(through, b"") == (XTSMGRAPHICS + SYNCHRONIZED + DA1 + b"\n" * 20
                                         + b"\x1b[20A\x1b7\x1b8\x1b[20B\r")
    inner = unwrap(through)  # the outer terminal's cursor put back after the picture
    assert inner.startswith(b"\x1b7\x1bP") and inner.endswith(b"\x1b\\\x1b8")
    assert magick.size(inner[2:-2]) == (256, 256)


TMUX_35 = b"\x1b[?1;2;4c"  # tmux 3.5a, which draws sixels itself


@pytest.fixture
def tmux_features(tmp_path):
    """env for a fake tmux on PATH whose client has the features given."""
    def env(features):
        (tmp_path / "tmux").write_text(f"#!/bin/sh\necho '{features}'\n")
        (tmp_path / "tmux").chmod(0o755)
        return {"TMUX": "/tmp/fake,1,0", "PATH": f"{tmp_path}:{os.environ['PATH']}"}
    return env


# Inside a tmux that draws sixels: refused when its client cannot; else
# heights in whole cells and bands (cells of 13 rows: multiples of 78), at
# most tmux's assumed 960 x 960 and its 1 MiB stream, said on stderr.
@pytest.mark.parametrize("features, window, picture, drawn, notes", [
    ("256,RGB,title", XTERM_WINDOW, None, None, ["tmux draws sixels, but its client"]),
    ("256,RGB,sixel,title", XTERM_WINDOW, None, (234, 234), []),
    ("sixel", (76, 210, 1260, 988), "flat", (936, 702), ["1600x1200 is larger than tmux's "
     "assumed largest picture, 960x960: drawn at 936x702"]),
    ("sixel", XTERM_WINDOW, "noise", None, ["largest picture", "more than tmux takes"]),
])
def test_inside_a_tmux_that_draws_sixels(tmp_path, tmux_features, features, window, picture,
                                         drawn, notes):
    args = []
    if picture:
        rng = np.random.default_rng(1)
        pixels = (rng.integers(0, 256, (1200, 1600, 3), np.uint8) if picture == "noise"
                  else np.full((1200, 1600, 3), 90, np.uint8))
        Image.fromarray(pixels).save(tmp_path / "in.png")
        args = [tmp_path / "in.png", "--full-size"]
    run = on_pty([*VIEWER, *map(str, args)], answers={DA1: TMUX_35}, window=window,
                 env=tmux_features(features))
    assert len(run.errors) == len(notes), run.errors
    assert all(note in error for note, error in zip(notes, run.errors, strict=True))
    streams = re.findall(rb'\x1bPq"1;1;(\d+);(\d+).*?\x1b\\', run.out, re.S)
    if drawn is None and picture is None:
        assert run.status == 2 and streams == []
        return
    assert run.status == 0 and len(streams) == 1
    size = tuple(map(int, streams[0]))
    assert size == drawn or drawn is None and size[1] % 78 == 0
    stream = run.out[run.out.index(b"\x1bPq"):run.out.rindex(b"\x1b\\") + 2]
    assert len(stream) <= 1 << 20
