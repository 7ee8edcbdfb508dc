"""What the terminal on standard output can draw: whether it draws sixels,
how large its window is, the largest picture it accepts, and how many text
rows a picture takes there.

    import tervalo.terminal
    info = tervalo.terminal.query()      # raises NoControllingTerminal
    if (error := info.refusal()) is not None:
        raise error
    stream = tervalo.encode(image, max_size=info.box)

The queries go to the controlling terminal with echo off; its mode is put
back on every path, Ctrl-C included. Primary Device Attributes is asked last:
every terminal answers it, and in order, so its reply closes the wait for the
others. What does not change while the process runs (sixel support, the
graphics limit, the cell size) is asked once per terminal; the window's size
is read from the kernel on every query.

The errors' texts say what is wrong and name no switch: each caller adds its
own way to draw anyway (the viewer's --force, show()'s force=True).
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import math
import os
import re
import select
import struct
import termios
import time
from collections.abc import Callable, Iterator, Mapping
from typing import NamedTuple

__all__ = [
    "NoControllingTerminal",
    "NoReply",
    "NoSixelSupport",
    "TerminalError",
    "TerminalInfo",
    "over_a_link",
    "picture_box",
    "picture_rows",
    "query",
]

_DEVICE_ATTRIBUTES_QUERY = b"\x1b[c"
_WINDOW_QUERY = b"\x1b[14t"
# XTSMGRAPHICS: read (1) the sixel geometry (2), answered by
# ESC [ ? 2 ; 0 ; width ; height S, or a non-zero status where it is unknown.
_GRAPHICS_QUERY = b"\x1b[?2;1;0S"
# DECRQM for synchronized output (mode 2026): ESC [ ? 2026 ; Ps $ y, where
# Ps 1 or 2 is a mode the terminal knows (set or reset).
_SYNCHRONIZED_QUERY = b"\x1b[?2026$p"
_CSI = rb"(?:\x1b\[|\x9b)"
_DEVICE_ATTRIBUTES = re.compile(_CSI + rb"\?([\d;]*)c")
_WINDOW = re.compile(_CSI + rb"4;(\d+);(\d+)t")
_GRAPHICS = re.compile(_CSI + rb"\?2;(\d+);(\d+);(\d+)S")
_SYNCHRONIZED = re.compile(_CSI + rb"\?2026;([12])\$y")
_SIXEL_ATTRIBUTE = 4

# A terminal answers in milliseconds, but over ssh or a slow link the round
# trip can take seconds; WAIT_VARIABLE (seconds) waits longer.
REPLY_WAIT = 2.0
WAIT_VARIABLE = "TERVALO_WAIT"
# A reply this late after the queries is still read and thrown away, so that
# it never reaches the shell or the program's input as typed text.
LATE_REPLY = 10.0
DEFAULT_CELL = (10, 20)  # pixels per character cell, when the terminal says nothing
SIXEL_BAND = 6  # sixels are drawn in bands of six pixel rows
# tmux cannot tell the outer terminal's graphics limit (it answers the query
# with "unknown"): a size within xterm's default 1000 x 1000, the smallest of
# the common terminals, and which tmux 3.5 hands on (a picture 1000 wide
# never appeared in xterm through it, 990 did). tmux 3.5 drops a sixel
# stream larger than its input limit.
TMUX_PICTURE_LIMIT = (960, 960)
TMUX_STREAM_LIMIT = 1 << 20


class TerminalError(Exception):
    """The terminal cannot be asked or cannot draw; str() is one line."""


class NoControllingTerminal(TerminalError):
    """Standard output is a terminal but the process has no controlling
    terminal (/dev/tty), so the terminal cannot be asked what it draws."""


class NoSixelSupport(TerminalError):
    """The terminal does not report sixel graphics; str() says so and what to do."""


class NoReply(TerminalError):
    """The terminal did not answer within the wait: whether it draws sixels
    is unknown. `waited` is the wait in seconds."""

    waited: float = 0.0


class TerminalInfo(NamedTuple):
    """What the query learned. Sizes are (width, height) in pixels. (A
    named tuple: a dataclass would cost every still picture the import of
    the inspect module.)"""

    attributes: frozenset[int] | None  # Primary Device Attributes; None: no reply
    rows: int
    cols: int
    window: tuple[int, int] | None  # the window's pixels, None if unknown
    cell: tuple[int, int]  # one character cell (DEFAULT_CELL if unknown)
    graphics_limit: tuple[int, int] | None  # the largest sixel picture, if reported
    multiplexer: str | None = None  # "tmux" or "screen" when inside one
    client_sixels: bool | None = None  # inside tmux: its client draws sixels; None: unknown
    waited: float = REPLY_WAIT  # how long the query waited for a reply
    synchronized: bool = False  # shows output between ESC [ ? 2026 h and l at once

    @classmethod
    def from_replies(cls, reply: bytes, rows: int, cols: int, xpixel: int, ypixel: int,
                     environ: Mapping[str, str] | None = None) -> TerminalInfo:
        """What the replies to the queries and the kernel's window size say."""
        window = (xpixel, ypixel) if xpixel and ypixel else _window_pixels(reply)
        limit = _graphics_limit(reply)
        if window is None and limit is not None and rows and cols:
            # Not told the window (xterm.js with its size reports off), but
            # xterm and xterm.js report a sixel geometry no larger than it:
            # it bounds the guess of default cells.
            window = (min(limit[0], cols * DEFAULT_CELL[0]),
                      min(limit[1], rows * DEFAULT_CELL[1]))
        if window is not None and rows and cols:
            cell = window[0] // cols, window[1] // rows
        else:
            cell = DEFAULT_CELL
        return cls(attributes=_device_attributes(reply), rows=rows, cols=cols, window=window,
                   cell=cell, graphics_limit=limit,
                   multiplexer=_multiplexer(environ),
                   synchronized=_SYNCHRONIZED.search(reply) is not None)

    @classmethod
    def from_kernel(cls, out_fd: int = 1) -> TerminalInfo:
        """What the kernel alone says about the terminal on `out_fd`."""
        return cls.from_replies(b"", *_window_cells(out_fd))

    @property
    def sixels(self) -> bool:
        """Whether the terminal reports sixel graphics (inside tmux: and its
        client, the outer terminal, draws them)."""
        return (self.attributes is not None and _SIXEL_ATTRIBUTE in self.attributes
                and self.client_sixels is not False)

    @property
    def through_tmux(self) -> bool:
        """Whether tmux itself draws the pictures (and redraws them)."""
        return self.multiplexer == "tmux" and self.sixels

    @property
    def limit(self) -> tuple[int, int] | None:
        """The largest picture to send: what the terminal reports, inside
        tmux a conservative size when it reports none."""
        if self.graphics_limit is None and self.multiplexer == "tmux":
            return TMUX_PICTURE_LIMIT
        return self.graphics_limit

    @property
    def stream_limit(self) -> int | None:
        """The longest sixel stream the terminal takes, if it has a limit."""
        return TMUX_STREAM_LIMIT if self.multiplexer == "tmux" else None

    @property
    def height_step(self) -> int:
        """Picture heights drawn clean are a multiple of this: whole sixel
        bands, and inside tmux, which rounds a picture up to whole cells and
        fills what it adds with colour 0, whole cells too."""
        if self.through_tmux:
            return math.lcm(SIXEL_BAND, max(1, self.cell[1]))
        return SIXEL_BAND

    @property
    def box(self) -> tuple[int, int] | None:
        """The largest picture drawn whole with one text line left free below
        it, for the prompt; None if nothing is known about the window."""
        return picture_box(self.rows, self.cols, self.window, self.limit, self.height_step)

    def rows_for(self, height: int) -> int:
        """Text rows a picture `height` pixels tall covers."""
        return picture_rows(height, self.cell[1])

    def refusal(self) -> TerminalError | None:
        """The error that says why a picture is not drawn here, or None if
        the terminal draws sixels."""
        if self.sixels:
            return None
        if self.attributes is None:
            error = NoReply(f"the terminal did not answer within {self.waited:g} s, so "
                            "whether it draws sixels is unknown (a slow link can take longer; "
                            f"{WAIT_VARIABLE}=SECONDS waits longer)")
            error.waited = self.waited
            return error
        if self.multiplexer == "tmux" and self.client_sixels is False:
            return NoSixelSupport(
                "tmux draws sixels, but its client, the terminal outside, does not (no "
                "'sixel' in tmux's #{client_termfeatures}); run tmux in a terminal that "
                "draws sixels, e.g. `xterm -ti vt340`")
        why = "its device attributes lack 4, sixel graphics"
        if self.multiplexer == "tmux":
            return NoSixelSupport(
                f"tmux reports no sixel support ({why}); use a tmux built with sixel "
                "support (3.4 or later, configured with --enable-sixel) or run outside tmux")
        if self.multiplexer == "screen":
            return NoSixelSupport(
                f"GNU screen reports no sixel support ({why}): it has none; run outside "
                "screen in a terminal that draws sixels")
        return NoSixelSupport(f"this terminal reports no sixel support ({why}); run in one "
                              "that draws sixels, e.g. `xterm -ti vt340`")


def picture_box(rows: int, cols: int, window: tuple[int, int] | None,
                limit: tuple[int, int] | None = None,
                height_step: int = SIXEL_BAND) -> tuple[int, int] | None:
    """The window's whole cells less one text row, within the graphics limit,
    in whole steps of `height_step` pixel rows (sixel bands by default)."""
    if window is None:
        if not (rows and cols):
            return None
        window = cols * DEFAULT_CELL[0], rows * DEFAULT_CELL[1]
    width, height = window
    # Whole cells: the pixels left over are the window's border, where a
    # terminal clips the picture (xterm) or which it scrolls for.
    if cols:
        width -= width % cols
    height = (rows - 1) * (height // rows) if rows else height - DEFAULT_CELL[1]
    if limit is not None:
        width, height = min(width, limit[0]), min(height, limit[1])
    # Whole sixel bands, so that a terminal moving the cursor by bands does
    # not take the text line kept free.
    if height >= height_step:
        height -= height % height_step
    return max(1, width), max(1, height)


def picture_rows(height: int, cell_height: int) -> int:
    """Text rows that a picture `height` pixels tall takes, the cursor moved
    below it whichever convention the terminal follows."""
    # The last band is six rows tall whatever the picture's height, and some
    # terminals move the cursor by it.
    drawn = math.ceil(height / SIXEL_BAND) * SIXEL_BAND
    return max(1, math.ceil(drawn / max(1, cell_height)))


def query(out_fd: int = 1, *, wait: float | None = None,
          give_up: Callable[[TerminalInfo], None] | None = None,
          hold: bool = True) -> TerminalInfo:
    """Asks the terminal on `out_fd`: its device attributes, and where the
    kernel does not know them its window's pixels, and its graphics limit;
    inside tmux, also tmux what its client draws. A terminal already asked
    in this process is not asked again: only the kernel's window size is
    read anew.

    `wait`: seconds to wait for the reply (default: $TERVALO_WAIT, else
    REPLY_WAIT). Without a reply in that time, `give_up` (if given) is
    called with the info, then a reply arriving up to LATE_REPLY seconds
    after the queries is still read and thrown away before query returns,
    so that it never reaches the shell or the program's input as typed
    text: if `hold`, or where the terminal is reached over ssh (see
    over_a_link). A local terminal that has not answered within the wait
    never will, and the program goes on at once.
    Raises NoControllingTerminal when there is no terminal to ask, and
    ValueError for a wait that is no number of seconds above 0."""
    if wait is not None:
        wait = _wait_seconds(wait)
    with _opened(out_fd) as (read_fd, write_fd):
        rows, cols, xpixel, ypixel = _window_cells(write_fd)
        key = os.fstat(write_fd).st_rdev, _multiplexer()
        known = _asked.get(key)
        if known is None:
            seconds = _wait_seconds(wait)
            queries = (_GRAPHICS_QUERY + _SYNCHRONIZED_QUERY
                       + (b"" if xpixel and ypixel else _WINDOW_QUERY))

            def no_reply() -> None:
                unanswered = _learn(key, b"", rows, cols, xpixel, ypixel, seconds)
                if give_up is not None:
                    give_up(_with_window(unanswered, rows, cols, xpixel, ypixel))

            reply = _ask(read_fd, write_fd, queries + _DEVICE_ATTRIBUTES_QUERY, seconds,
                         no_reply, hold)
            known = _learn(key, reply, rows, cols, xpixel, ypixel, seconds)
    return _with_window(known, rows, cols, xpixel, ypixel)


# --- helpers ---------------------------------------------------------------------------

# What each terminal (device number, multiplexer) answered, kept for the process.
_asked: dict[tuple[int, str | None], TerminalInfo] = {}


def _learn(key: tuple[int, str | None], reply: bytes, rows: int, cols: int, xpixel: int,
           ypixel: int, waited: float) -> TerminalInfo:
    info = TerminalInfo.from_replies(reply, rows, cols, xpixel, ypixel)._replace(
        waited=waited)
    if info.multiplexer == "tmux" and info.sixels:
        info = info._replace(client_sixels=_tmux_client_sixels())
    _asked[key] = info
    return info


def _with_window(known: TerminalInfo, rows: int, cols: int, xpixel: int,
                 ypixel: int) -> TerminalInfo:
    """`known` with the window the kernel reports now; where the kernel has
    no pixels, the cell size learned once gives them."""
    if xpixel and ypixel:
        window: tuple[int, int] | None = xpixel, ypixel
    elif known.window is not None and rows and cols:
        window = cols * known.cell[0], rows * known.cell[1]
    else:
        window = None
    cell = (window[0] // cols, window[1] // rows) if window and rows and cols else known.cell
    return known._replace(rows=rows, cols=cols, window=window, cell=cell)


def _wait_seconds(wait: float | None) -> float:
    if wait is not None:
        try:
            seconds = float(wait)
        except (TypeError, ValueError):
            seconds = math.nan
        if not (seconds > 0 and math.isfinite(seconds)):
            raise ValueError(f"wait {wait!r}: takes a number of seconds above 0")
        return seconds
    text = os.environ.get(WAIT_VARIABLE, "")
    if not text:
        return REPLY_WAIT
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (seconds > 0 and math.isfinite(seconds)):
        raise ValueError(f"{WAIT_VARIABLE}={text!r}: takes a number of seconds above 0, e.g. 5")
    return seconds


def _tmux_client_sixels() -> bool | None:
    """Whether the terminal tmux's client runs in draws sixels, as tmux
    itself reports it; None if tmux cannot be asked."""
    import subprocess  # here: only inside tmux, and its import is a still picture's largest

    try:
        run = subprocess.run(["tmux", "display", "-p", "#{client_termfeatures}"],
                             capture_output=True, text=True, timeout=5, check=False,
                             stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if run.returncode != 0:
        return None
    return "sixel" in run.stdout.strip().split(",")


def _device_attributes(reply: bytes) -> frozenset[int] | None:
    match = _DEVICE_ATTRIBUTES.search(reply)
    if match is None:
        return None
    return frozenset(int(field) for field in match.group(1).split(b";") if field)


def _window_pixels(reply: bytes) -> tuple[int, int] | None:
    match = _WINDOW.search(reply)
    if match is None or not int(match.group(1)) or not int(match.group(2)):
        return None
    return int(match.group(2)), int(match.group(1))


def _graphics_limit(reply: bytes) -> tuple[int, int] | None:
    match = _GRAPHICS.search(reply)
    if match is None or int(match.group(1)) != 0:
        return None
    width, height = int(match.group(2)), int(match.group(3))
    return (width, height) if width and height else None


def _multiplexer(environ: Mapping[str, str] | None = None) -> str | None:
    """"tmux" or "screen" when running inside one, which answer the queries
    themselves."""
    environ = os.environ if environ is None else environ
    if environ.get("TMUX"):
        return "tmux"
    if environ.get("STY"):
        return "screen"
    return None


def _window_cells(fd: int) -> tuple[int, int, int, int]:
    """(rows, cols, xpixel, ypixel) from the kernel (TIOCGWINSZ)."""
    rows, cols, xpixel, ypixel = struct.unpack(
        "4H", fcntl.ioctl(fd, termios.TIOCGWINSZ, bytes(8)))
    return rows, cols, xpixel, ypixel


@contextlib.contextmanager
def _opened(out_fd: int) -> Iterator[tuple[int, int]]:
    """(fd to read replies from, fd to write queries to) for the terminal on
    out_fd: standard input if it is that terminal, else /dev/tty."""
    if os.isatty(0) and os.fstat(0).st_rdev == os.fstat(out_fd).st_rdev:
        yield 0, out_fd
        return
    try:
        fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY)
    except OSError as error:
        if error.errno in (errno.ENXIO, errno.ENOENT, errno.EIO):
            raise NoControllingTerminal(
                "no controlling terminal to ask whether it draws sixels (started "
                "detached, e.g. by setsid or a service)") from None
        raise
    try:
        yield fd, fd
    finally:
        os.close(fd)


def _ask(read_fd: int, write_fd: int, queries: bytes, wait: float,
         no_reply: Callable[[], None], hold: bool) -> bytes:
    """Sends `queries` (ending with the device attributes query) and returns
    what the terminal answered up to that reply, or b"" if it did not come
    within `wait` seconds; then, after calling `no_reply`, a late reply is
    read and thrown away if `hold` or over a link. The terminal's mode is
    restored whatever happens."""
    saved = termios.tcgetattr(read_fd)
    try:
        quiet = termios.tcgetattr(read_fd)
        # No echo, so the replies are not drawn; no line editing, so they
        # arrive without a newline. Ctrl-C still interrupts.
        quiet[3] &= ~(termios.ICANON | termios.ECHO)
        quiet[6][termios.VMIN], quiet[6][termios.VTIME] = 1, 0
        termios.tcsetattr(read_fd, termios.TCSANOW, quiet)
        _write_all(write_fd, queries)
        start = time.monotonic()
        reply = _read_until_attributes(read_fd, start + wait)
        if _DEVICE_ATTRIBUTES.search(reply) is not None:
            return reply
        no_reply()
        if hold or over_a_link():
            _read_until_attributes(read_fd, start + max(LATE_REPLY, wait + 1), reply)
        return b""
    finally:
        # TCSAFLUSH also drops reply bytes not read, which the shell would
        # otherwise get as typed input.
        termios.tcsetattr(read_fd, termios.TCSAFLUSH, saved)


def _read_until_attributes(fd: int, deadline: float, reply: bytes = b"") -> bytes:
    while _DEVICE_ATTRIBUTES.search(reply) is None:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 1024)
        if not chunk:
            break
        reply += chunk
    return reply


def over_a_link(environ: Mapping[str, str] | None = None) -> bool:
    """Whether the terminal is reached over ssh, where its reply can come
    seconds late."""
    environ = os.environ if environ is None else environ
    return any(environ.get(name) for name in ("SSH_CONNECTION", "SSH_CLIENT", "SSH_TTY"))


def _write_all(fd: int, data: bytes) -> None:
    while data:
        data = data[os.write(fd, data):]
