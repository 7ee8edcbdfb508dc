"""What the terminal on standard output can draw: whether it draws sixels,
how large its window is, the largest picture it accepts, and how many text
rows a picture takes there.

    info = tervalo.terminal.query()      # raises NoControllingTerminal
    if not info.sixels:
        raise NoSixelSupport(refusal(info))
    stream = tervalo.encode(image, max_size=info.box)

The queries go to the controlling terminal with echo off; its mode is put
back on every path, Ctrl-C included. Primary Device Attributes is asked last:
every terminal answers it, and in order, so its reply closes the wait for the
others.
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
from collections.abc import Iterator, Mapping
from dataclasses import dataclass

__all__ = [
    "DEFAULT_CELL",
    "GRACE",
    "REPLY_WAIT",
    "NoControllingTerminal",
    "NoSixelSupport",
    "TerminalError",
    "TerminalInfo",
    "ask",
    "device_attributes",
    "forced_note",
    "graphics_limit",
    "learned",
    "multiplexer",
    "passthrough",
    "picture_box",
    "picture_rows",
    "placed",
    "query",
    "refusal",
    "unasked",
    "window_cells",
    "window_pixels",
]

DEVICE_ATTRIBUTES_QUERY = b"\x1b[c"
WINDOW_QUERY = b"\x1b[14t"
# XTSMGRAPHICS: read (1) the sixel geometry (2), answered by
# ESC [ ? 2 ; 0 ; width ; height S, or a non-zero status where it is unknown.
GRAPHICS_QUERY = b"\x1b[?2;1;0S"
_CSI = rb"(?:\x1b\[|\x9b)"
_DEVICE_ATTRIBUTES = re.compile(_CSI + rb"\?([\d;]*)c")
_WINDOW = re.compile(_CSI + rb"4;(\d+);(\d+)t")
_GRAPHICS = re.compile(_CSI + rb"\?2;(\d+);(\d+);(\d+)S")
SIXEL_ATTRIBUTE = 4

# A terminal answers in milliseconds, but over ssh or a slow link the round
# trip can take most of a second; a reply later than this is not waited for.
REPLY_WAIT = 1.5
# After giving up, how long a late reply is still read and thrown away, so
# that it does not reach the shell as typed text.
GRACE = 1.0
DEFAULT_CELL = (10, 20)  # pixels per character cell, when the terminal says nothing
SIXEL_BAND = 6  # sixels are drawn in bands of six pixel rows


class TerminalError(Exception):
    """The terminal cannot be asked or cannot draw; str() is one line."""


class NoControllingTerminal(TerminalError):
    """Standard output is a terminal but the process has no controlling
    terminal (/dev/tty), so the terminal cannot be asked what it draws."""


class NoSixelSupport(TerminalError):
    """The terminal does not report sixel graphics; str() says so and what to do."""


@dataclass(frozen=True)
class TerminalInfo:
    """What the query learned. Sizes are (width, height) in pixels."""

    attributes: frozenset[int] | None  # Primary Device Attributes; None: no reply
    rows: int
    cols: int
    window: tuple[int, int] | None  # the window's pixels, None if unknown
    cell: tuple[int, int]  # one character cell (DEFAULT_CELL if unknown)
    graphics_limit: tuple[int, int] | None  # the largest sixel picture, if reported
    multiplexer: str | None = None  # "tmux" or "screen" when inside one

    @property
    def sixels(self) -> bool:
        return self.attributes is not None and SIXEL_ATTRIBUTE in self.attributes

    @property
    def box(self) -> tuple[int, int] | None:
        """The largest picture drawn whole with one text line left free below
        it, for the prompt; None if nothing is known about the window."""
        return picture_box(self.rows, self.cols, self.window, self.graphics_limit)

    def rows_for(self, height: int) -> int:
        """Text rows a picture `height` pixels tall covers."""
        return picture_rows(height, self.cell[1])


def device_attributes(reply: bytes) -> frozenset[int] | None:
    """The attributes in a Primary Device Attributes reply, or None."""
    match = _DEVICE_ATTRIBUTES.search(reply)
    if match is None:
        return None
    return frozenset(int(field) for field in match.group(1).split(b";") if field)


def window_pixels(reply: bytes) -> tuple[int, int] | None:
    """(width, height) from a reply to ESC [ 14 t, or None."""
    match = _WINDOW.search(reply)
    if match is None or not int(match.group(1)) or not int(match.group(2)):
        return None
    return int(match.group(2)), int(match.group(1))


def graphics_limit(reply: bytes) -> tuple[int, int] | None:
    """(width, height) from a successful XTSMGRAPHICS sixel geometry reply."""
    match = _GRAPHICS.search(reply)
    if match is None or int(match.group(1)) != 0:
        return None
    width, height = int(match.group(2)), int(match.group(3))
    return (width, height) if width and height else None


def picture_box(rows: int, cols: int, window: tuple[int, int] | None,
                limit: tuple[int, int] | None = None) -> tuple[int, int] | None:
    """The window's whole cells less one text row, within the graphics limit,
    in whole bands of six pixel rows."""
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
    if height >= SIXEL_BAND:
        height -= height % SIXEL_BAND
    return max(1, width), max(1, height)


def picture_rows(height: int, cell_height: int) -> int:
    # The last band is six rows tall whatever the picture's height, and some
    # terminals move the cursor by it.
    drawn = math.ceil(height / SIXEL_BAND) * SIXEL_BAND
    return max(1, math.ceil(drawn / max(1, cell_height)))


def placed(stream: bytes, rows: int) -> bytes:
    """`stream` drawn at the cursor with the cursor left at the start of the
    line below it, `rows` text rows down. The rows are made first, so that
    the picture never scrolls whichever row a terminal leaves the cursor on
    (the picture's last one, as xterm does, or the one below it)."""
    return (b"\n" * rows + b"\x1b[%dA" % rows + b"\x1b7" + stream
            + b"\x1b8" + b"\x1b[%dB" % rows + b"\r")


def multiplexer(environ: Mapping[str, str] | None = None) -> str | None:
    """"tmux" or "screen" when running inside one, which answer the queries
    themselves."""
    environ = os.environ if environ is None else environ
    if environ.get("TMUX"):
        return "tmux"
    if environ.get("STY"):
        return "screen"
    return None


def refusal(info: TerminalInfo) -> str:
    """One line: why the picture is not drawn, and what to do."""
    why = ("it did not answer a device attributes query" if info.attributes is None
           else "its device attributes lack 4, sixel graphics")
    if info.multiplexer == "tmux":
        return (f"tmux reports no sixel support ({why}); use a tmux built with sixel "
                "support (3.4 or later, configured with --enable-sixel) or run outside "
                "tmux; --force sends the picture through tmux's passthrough")
    if info.multiplexer == "screen":
        return (f"GNU screen reports no sixel support ({why}): it has none; run outside "
                "screen in a terminal that draws sixels; --force sends the picture "
                "through screen's passthrough")
    return (f"this terminal reports no sixel support ({why}); run in one that draws "
            "sixels, e.g. `xterm -ti vt340`, or pass --force")


def forced_note(info: TerminalInfo) -> str | None:
    """One line for standard error when drawing is forced inside a
    multiplexer that reports no sixels, else None."""
    if info.sixels or info.multiplexer is None:
        return None
    if info.multiplexer == "tmux":
        return ("--force inside tmux: sent the picture through tmux's passthrough, so it "
                "appears only with `set -g allow-passthrough on` and an outer terminal "
                "that draws sixels, and tmux will not keep it on redraw")
    return ("--force inside GNU screen: sent the picture through screen's passthrough, so "
            "it appears only if the outer terminal draws sixels, and screen will not keep "
            "it on redraw")


def passthrough(data: bytes, kind: str | None) -> bytes:
    """`data` wrapped for the multiplexer to hand to the outer terminal."""
    if kind == "tmux":
        return b"\x1bPtmux;" + data.replace(b"\x1b", b"\x1b\x1b") + b"\x1b\\"
    if kind == "screen":
        # screen hands on what is between ESC P and ESC \, in strings of
        # under 768 bytes; an ESC inside passes only as the last byte of one.
        wrapped = []
        for piece in re.split(rb"(?<=\x1b)", data):
            for start in range(0, len(piece), 512):
                wrapped.append(b"\x1bP" + piece[start:start + 512] + b"\x1b\\")
        return b"".join(wrapped)
    return data


def window_cells(fd: int) -> tuple[int, int, int, int]:
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
                "detached, e.g. by setsid or a service); pass --force to draw "
                "anyway") from None
        raise
    try:
        yield fd, fd
    finally:
        os.close(fd)


def ask(read_fd: int, write_fd: int, queries: bytes, *, wait: float = REPLY_WAIT,
        grace: float = GRACE) -> bytes:
    """Sends `queries` (ending with the device attributes query) and returns
    what the terminal answered up to that reply, or b"" if it did not come
    within `wait` seconds. A reply arriving in the `grace` after that is read
    and discarded. The terminal's mode is restored whatever happens."""
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
        if _DEVICE_ATTRIBUTES.search(reply) is None:
            _read_until_attributes(read_fd, start + wait + grace, reply)
            return b""
        return reply
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


def _write_all(fd: int, data: bytes) -> None:
    while data:
        data = data[os.write(fd, data):]


def query(out_fd: int = 1, *, wait: float = REPLY_WAIT, grace: float = GRACE) -> TerminalInfo:
    """Asks the terminal on `out_fd`: its device attributes, and where the
    kernel does not know them its window's pixels, and its graphics limit.
    Raises NoControllingTerminal when there is no terminal to ask."""
    with _opened(out_fd) as (read_fd, write_fd):
        rows, cols, xpixel, ypixel = window_cells(write_fd)
        queries = GRAPHICS_QUERY + (b"" if xpixel and ypixel else WINDOW_QUERY)
        reply = ask(read_fd, write_fd, queries + DEVICE_ATTRIBUTES_QUERY,
                    wait=wait, grace=grace)
    return learned(reply, rows, cols, xpixel, ypixel)


def unasked(out_fd: int = 1) -> TerminalInfo:
    """What the kernel alone says about the terminal on `out_fd`."""
    return learned(b"", *window_cells(out_fd))


def learned(reply: bytes, rows: int, cols: int, xpixel: int, ypixel: int,
            environ: Mapping[str, str] | None = None) -> TerminalInfo:
    """TerminalInfo from the replies and the kernel's window size."""
    window = (xpixel, ypixel) if xpixel and ypixel else window_pixels(reply)
    if window is not None and rows and cols:
        cell = window[0] // cols, window[1] // rows
    else:
        cell = DEFAULT_CELL
    return TerminalInfo(attributes=device_attributes(reply), rows=rows, cols=cols,
                        window=window, cell=cell, graphics_limit=graphics_limit(reply),
                        multiplexer=multiplexer(environ))
