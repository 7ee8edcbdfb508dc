"""tervalo.terminal: the replies of real terminals parsed, the picture's box
and rows, and the query on a pseudo-terminal: its mode restored after Ctrl-C,
late replies kept from the shell, no controlling terminal, tmux and screen."""

import re
import sys

import pytest
from fake_terminal import (
    DA1,
    FOOT,
    KONSOLE,
    MLTERM,
    TMUX,
    VT340,
    VTE,
    WINDOW,
    XTERM,
    XTERM_WINDOW,
    XTSMGRAPHICS,
    on_pty,
)

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
    (TMUX, False),
    (b"\x1b[?62;14;24;42c", False),             # 4 only inside other numbers
    (b"\x1b[4;300;500t\x1b[?62;4c", True),      # after the window size reply
    (b"\x1b[?2;0;1000;1000S" + VT340, True),    # after the graphics limit
    (b"\x9b?62;4c", True),                      # 8-bit CSI
    (b"\x1b[?62;4", False),                     # cut short
    (b"", False),
])
def test_sixel_support_is_attribute_4(reply, sixels):
    assert terminal.learned(reply, 24, 80, 0, 0, environ={}).sixels is sixels


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
    assert terminal.graphics_limit(reply) == limit


@pytest.mark.parametrize("reply, window", [
    (b"\x1b[4;456;800t", (800, 456)),            # mlterm: height first
    (b"\x1b[4;476;880t" + KONSOLE, (880, 476)),
    (b"\x1b[4;0;0t", None),
    (b"\x1b[6;19;10t", None),                    # the cell size, not the window
])
def test_window_size_reply(reply, window):
    assert terminal.window_pixels(reply) == window


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

LATE = terminal.REPLY_WAIT + 0.4  # after the wait, within the grace


@pytest.mark.parametrize("delay, status", [(0.0, 0), (0.8, 0), (LATE, 2)])
def test_late_replies_never_reach_the_shell(delay, status):
    run = on_pty(VIEWER, answers={DA1: VT340}, delay=delay)
    assert run.status == status, run.errors
    if status == 2:
        assert run.errors == ["tervalo: this terminal reports no sixel support (it did not "
                              "answer a device attributes query); run in one that draws "
                              "sixels, e.g. `xterm -ti vt340`, or pass --force"]
    else:
        assert b"\x1bPq" in run.out and run.errors == []
    # Read and thrown away, not echoed, not left as typed input.
    assert run.leftover == b"" and VT340[1:] not in run.out
    assert run.mode_kept


def test_ctrl_c_during_the_query_restores_the_terminal():
    run = on_pty(VIEWER, answers={}, interrupt_on=DA1)
    assert (run.status, run.errors) == (130, ["tervalo: interrupted"])
    assert run.mode_kept and b"\x1bP" not in run.out


def test_the_queries_end_with_device_attributes():
    # The kernel knows no pixels, so the window size is asked too.
    run = on_pty(VIEWER, answers={DA1: VT340}, window=(24, 80, 0, 0))
    assert run.out.startswith(XTSMGRAPHICS + WINDOW + DA1)
    run = on_pty(VIEWER, answers={DA1: VT340})
    assert run.out.startswith(XTSMGRAPHICS + DA1)


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
    inner = unwrap(run.out).replace(b"\r\n", b"\n")  # the pty's ONLCR
    # What the outer terminal gets: the rows made, the picture, the cursor below.
    stream = inner[inner.index(b"\x1bP"):inner.index(b"\x1b8")]
    assert inner.startswith(b"\n" * 20 + b"\x1b[20A\x1b7") and inner.endswith(b"\x1b8\x1b[20B\r")
    assert magick.size(stream) == (256, 256)
