"""Drawing pictures in the terminal: the layer that the viewer, the moving
pictures and the matplotlib backend all stand on.

    tervalo.show(image)                  # below the cursor, fitted to the window

A target is where pictures go: a terminal (asked once what it draws) or a
file or pipe, which gets the sixel streams as they are. On a terminal a
picture is fitted to the window and to what the terminal takes, placed below
the cursor in rows made for it, and, inside tmux or screen with --force,
sent through the multiplexer's passthrough. A moving picture's frames are
drawn over one another at the same rows (Screen keeps track of them), each
written in one piece, wrapped in synchronized output where the terminal
reports it, and started afresh below the cursor once the program has
written text since the last frame.
"""

from __future__ import annotations

import contextlib
import copy
import fcntl
import io
import math
import os
import re
import sys
import termios
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import IO, TYPE_CHECKING, Any, NamedTuple, cast

from tervalo import terminal
from tervalo._encode import (
    WHITE,
    Colour,
    Size,
    check_max_size,
    encode_pixels,
    fit,
    is_figure,
    is_numpy,
    is_pillow,
    parse_background,
    rgb_pixels,
)
from tervalo.terminal import NoControllingTerminal, TerminalError, TerminalInfo

if TYPE_CHECKING:
    from tervalo._encode import RGB, Picture

__all__ = ["FORCE", "Placed", "Prepared", "Screen", "Target", "box_for", "draw", "fitted",
           "forced", "hinted", "open_target", "prepare", "renderer", "say", "show", "show_all"]

# (packed RGB, width, height) of a picture fitted into a box (either side
# None, or no box), scaled up as well with `enlarge`.
Render = Callable[[Size | None, bool], tuple[bytes, int, int]]
Say = Callable[[str], None]
Encode = Callable[[bytes, int, int], bytes]

FORCE_HINT = "force=True draws anyway"
# In the environment, draws where the terminal reports no sixels: for the
# places a program cannot pass force=True to (the backend, IPython's display).
FORCE = "TERVALO_FORCE"
# A window this many text rows tall or less leaves no room for a picture
# above the line kept for the prompt.
TOO_FEW_ROWS = 1
# Synchronized output (mode 2026): the terminal shows the frame once it is
# all there, never half of it.
_BEGIN_FRAME = b"\x1b[?2026h"
_END_FRAME = b"\x1b[?2026l"


def show(image: Picture, file: IO[Any] | None = None, *, fit: bool = True,
         force: bool = False, background: Colour = WHITE,
         max_size: Size | None = None) -> None:
    """Draws `image` (anything tervalo.encode takes) in the terminal that
    `file` (default: standard output) is on, below the cursor: fitted into
    its window if `fit`, within `max_size` (as encode takes it), and never
    larger than the terminal's graphics limit (if it is shrunk for that, one
    line on standard error says so). Transparency is composited on
    `background`. Into a file or pipe that is no terminal (text files
    included), writes the sixel stream and a newline.

    Raises tervalo.terminal.NoSixelSupport if the terminal does not report
    sixel graphics, NoReply if it did not answer, NoControllingTerminal if
    it cannot be asked, unless `force`; ValueError if the window is too
    small to draw in."""
    show_all([image], file, fit=fit, force=force, background=background, max_size=max_size,
             hint=FORCE_HINT)


def show_all(images: Iterable[Picture], file: IO[Any] | None = None, *, fit: bool = True,
             force: bool = False, background: Colour = WHITE,
             max_size: Size | None = None, hint: str | None = None) -> None:
    """show() for each image, with the terminal asked once; a TerminalError
    names `hint`, the caller's way to draw anyway."""
    ready = prepare(file, fit=fit, force=force, background=background, max_size=max_size,
                    hint=hint)
    for image in images:
        draw(ready.target, renderer(image, ready.background), ready.box, False,
             ready.background, say)


# --- rendering ---------------------------------------------------------------------------


def renderer(picture: Picture, background: RGB,
             prepare: Callable[[Size, bool], None] | None = None) -> Render:
    """How `picture` is rendered into a box, read when it is rendered;
    `prepare` is told the box first (a file's JPEG decodes at a reduced
    size). Raises the TypeError that says what is taken, at once, for what
    is no picture at all."""
    check_picture(picture)

    def render(box: Size | None, enlarge: bool) -> tuple[bytes, int, int]:
        if prepare is not None and box is not None:
            prepare(box, enlarge)
        return rgb_pixels(picture, background=background, max_size=box, enlarge=enlarge)

    return render


def check_picture(picture: object) -> None:
    if not (is_pillow(picture) or is_numpy(picture) or is_figure(picture)):
        rgb_pixels(picture)  # type: ignore[arg-type]  # raises what says what is taken


# --- targets -----------------------------------------------------------------------------


class Target:
    """Where the pictures go: a terminal (`info`, asked once) or, with info
    None, a file or pipe that gets the streams as they are, each followed
    by `ending` (into a pipe: the next output starts on a line of its own).
    `forced`: drawn although the terminal reports no sixels. (Plain classes
    here, no dataclasses: their import would cost every still picture the
    inspect module's.)"""

    def __init__(self, out: IO[bytes], info: TerminalInfo | None, forced: bool = False,
                 ending: bytes = b"\n") -> None:
        self.out, self.info, self.forced, self.ending = out, info, forced, ending

    def write(self, stream: bytes, height: int) -> None:
        """A picture below the cursor."""
        if self.info is None:
            write_whole(self.out, stream + self.ending)
            return
        rows = self.info.rows_for(height)
        with SCREEN.lock:
            SCREEN.add(rows, moving=False)
            write_whole(self.out, placed(stream, rows, self.through))

    def frame(self, stream: bytes, height: int, place: Placed | None) -> Placed | None:
        """A frame of a moving picture: the first (`place` None), or one
        after the program wrote text below the last, below the cursor in
        rows made for it; each later one over the last. The cursor is left
        below it every time. Returns where it went (None into a file).
        Written whole even if Ctrl-C comes midway (raised after), so that
        the terminal is never left inside a sixel stream."""
        if self.info is None:
            write_whole(self.out, stream + self.ending)
            return None
        with SCREEN.lock:
            if place is not None and SCREEN.holds(place):
                data = placed(stream, SCREEN.above(place), self.through, room=False)
            else:
                SCREEN.stop(place)
                rows = self.info.rows_for(height)
                place = SCREEN.add(rows, moving=True)
                data = placed(stream, rows, self.through)
            if self.info.synchronized:
                data = _BEGIN_FRAME + data + _END_FRAME
            write_whole(self.out, data)
            return place

    @property
    def through(self) -> str | None:
        """The multiplexer whose passthrough the pictures take, if any."""
        return self.info.multiplexer if self.info is not None and self.forced else None


class Prepared(NamedTuple):
    """A target with what every picture drawn on it shares: the background
    and the box pictures are fitted into."""

    target: Target
    background: RGB
    box: Size | None


def prepare(file: IO[Any] | None, *, fit: bool, force: bool, background: Colour,
            max_size: Size | None, hint: str | None = FORCE_HINT,
            wait: float | None = None) -> Prepared:
    """The target for `file` (default: standard output), the terminal asked
    (its refusal naming `hint`), with the background and box checked before
    anything is drawn."""
    back = parse_background(background)
    limits = None if max_size is None else check_max_size(max_size)
    try:
        target = open_target(sys.stdout if file is None else file, force=force, wait=wait)
    except TerminalError as error:
        if hint is None:
            raise
        raise hinted(error, hint) from None
    return Prepared(target, back, box_for(target.info, fit, limits))


def open_target(file: IO[Any], *, force: bool, wait: float | None = None,
                give_up: Callable[[TerminalInfo], None] | None = None,
                hold: bool = False) -> Target:
    """The target for `file`; on a terminal, asks it (raising its refusal
    unless `force`). A late reply is awaited in the background unless
    `hold` (a program that ends at once keeps it from its shell)."""
    out = binary(file)
    if not is_terminal(file):
        return Target(out, None)
    try:
        info = terminal.query(file.fileno(), wait=wait, give_up=give_up, hold=hold)
    except NoControllingTerminal:
        if not force:
            raise
        info = TerminalInfo.from_kernel(file.fileno())
    error = info.refusal()
    if error is not None and not force:
        raise error
    return Target(out, info, forced=error is not None)


def box_for(info: TerminalInfo | None, fit: bool, max_size: Size | None) -> Size | None:
    """`max_size`, within the window's box if `fit` and on a terminal.
    ValueError if the window has no row to spare for a picture."""
    window = info.box if info is not None and fit else None
    if window is None:
        return max_size
    assert info is not None
    if info.rows and info.rows <= TOO_FEW_ROWS:
        raise ValueError(f"the window is {info.rows} text row tall, leaving no room for a "
                         "picture above the prompt: make it taller, or give a size")
    if max_size is None:
        return window
    return (min(max_size[0] or window[0], window[0]), min(max_size[1] or window[1], window[1]))


def hinted(error: TerminalError, hint: str) -> TerminalError:
    """`error`, of the same type, with the caller's way to draw anyway."""
    hinted = copy.copy(error)
    hinted.args = (f"{error}; {hint}",)
    return hinted


def forced() -> bool:
    """Whether TERVALO_FORCE asks to draw where the terminal reports no sixels."""
    return os.environ.get(FORCE, "") not in ("", "0")


def say(text: str) -> None:
    """One line on standard error."""
    print(f"tervalo: {text}", file=sys.stderr, flush=True)


def binary(file: IO[Any]) -> IO[bytes]:
    """Where bytes for `file` go: its buffer, itself if it takes bytes, or
    for a text file (io.StringIO, a replaced sys.stdout) one that writes
    them as text (the streams are ASCII)."""
    with contextlib.suppress(AttributeError, ValueError, OSError):
        file.flush()  # text written before must come first
    buffer = getattr(file, "buffer", None)
    if buffer is not None:
        return buffer  # type: ignore[no-any-return]
    if isinstance(file, io.TextIOBase) or (
            not isinstance(file, (io.RawIOBase, io.BufferedIOBase))
            and isinstance(getattr(file, "encoding", None), str)):
        return cast("IO[bytes]", _TextSink(file))
    return file


class _TextSink(io.RawIOBase):
    """Bytes into a text file, each byte the character of its code."""

    def __init__(self, text: IO[str]) -> None:
        super().__init__()
        self._text = text

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        data = bytes(data)
        self._text.write(data.decode("latin-1"))
        return len(data)

    def flush(self) -> None:
        self._text.flush()


def is_terminal(file: IO[Any]) -> bool:
    try:
        return file.isatty()
    except (AttributeError, ValueError):
        return False


# --- fitting -----------------------------------------------------------------------------


def draw(target: Target, render: Render, box: Size | None, enlarge: bool,
         background: RGB, say: Say) -> None:
    """Renders a picture into `box`, keeps it within what the terminal takes
    (saying so when it shrinks it), encodes it and draws it."""
    _, height, stream = fitted(target, render, box, enlarge, background, say)
    target.write(stream, height)


def fitted(target: Target, render: Render, box: Size | None, enlarge: bool,
           background: RGB, say: Say, encode: Encode = encode_pixels) -> tuple[int, int, bytes]:
    """(width, height, stream) of a picture rendered into `box` and kept
    within what the terminal takes, saying so when it shrinks it."""
    info = target.info
    pixels, width, height = render(box, enlarge)
    if info is None:
        return width, height, encode(pixels, width, height)
    pixels, width, height = _within(info, render, (pixels, width, height), background, say)
    stream = encode(pixels, width, height)
    longest, first = info.stream_limit, (width, height, len(stream))
    while longest is not None and len(stream) > longest and width * height > 1:
        # The stream's length goes with the area: shrink both sides by its root.
        scale = math.sqrt(longest / len(stream)) * 0.95
        smaller = max(1, int(width * scale)), max(1, int(height * scale))
        pixels, width, height = _within(info, render, render(smaller, True), background, say)
        stream = encode(pixels, width, height)
    if (width, height) != first[:2]:
        say(f"the sixel stream of {first[0]}x{first[1]} is {first[2]:,} bytes, more than "
            f"tmux takes ({longest:,}): drawn at {width}x{height}")
    return width, height, stream


def _within(info: TerminalInfo, render: Render, picture: tuple[bytes, int, int],
            background: RGB, say: Say) -> tuple[bytes, int, int]:
    """`picture` within the terminal's graphics limit and, inside tmux, of a
    height that tmux draws without a bar of colour 0 under it."""
    pixels, width, height = picture
    limit, wanted = info.limit, (width, height)
    if limit is not None and (width > limit[0] or height > limit[1]):
        pixels, width, height = render(fit(width, height, *limit), True)
    step = info.height_step
    if info.through_tmux and height % step:
        padded = height + step - height % step
        room = info.box[1] if info.box else padded
        if height < step or (padded <= room and padded - height <= height % step):
            # Rows of the background below, up to a whole step, where that
            # adds fewer rows than shrinking takes: the picture stays as it
            # is, and tmux has nothing to fill with colour 0.
            pixels += bytes(background) * (width * (padded - height))
            height = padded
        else:
            pixels, width, height = render((None, height - height % step), True)
    if limit is not None and (wanted[0] > limit[0] or wanted[1] > limit[1]):
        whose = "the terminal's" if info.graphics_limit else "tmux's assumed"
        say(f"{wanted[0]}x{wanted[1]} is larger than {whose} largest picture, "
            f"{limit[0]}x{limit[1]}: drawn at {width}x{height}")
    return pixels, width, height


# --- placing -----------------------------------------------------------------------------


def placed(stream: bytes, rows: int, multiplexer: str | None = None, *,
           room: bool = True) -> bytes:
    """`stream` drawn at the cursor with the cursor left at the start of the
    line below it, `rows` text rows down. The rows are made first, so that
    the picture never scrolls whichever row a terminal leaves the cursor on
    (the picture's last one, as xterm does, or the one below it); without
    `room`, they are there already and the picture goes over what they
    hold. With a multiplexer, only the picture goes through its passthrough:
    the moves are the multiplexer's own, so that its cursor makes the room
    too; the outer terminal puts its cursor back after the picture, where
    the multiplexer believes it is. A picture drawn over one already there
    goes through whole, moves included: tmux does not move the outer cursor
    before passing data through, and it is where the multiplexer left it,
    below the last picture."""
    if multiplexer is not None and not room:
        return _passthrough(b"\x1b[%dA\x1b7" % rows + stream + b"\x1b8\x1b[%dB" % rows,
                            multiplexer)
    if multiplexer is not None:
        stream = _passthrough(b"\x1b7" + stream + b"\x1b8", multiplexer)
    return (b"\n" * rows * room + b"\x1b[%dA" % rows + b"\x1b7" + stream + b"\x1b8"
            + b"\x1b[%dB" % rows + b"\r")


def forced_note(info: TerminalInfo) -> str | None:
    """One line for standard error when drawing is forced inside a
    multiplexer that reports no sixels, else None."""
    if info.sixels or info.multiplexer is None:
        return None
    if info.multiplexer == "tmux":
        return ("inside tmux: sent the picture through tmux's passthrough, so it "
                "appears only with `set -g allow-passthrough on` and an outer terminal "
                "that draws sixels, and tmux will not keep it on redraw")
    return ("inside GNU screen: sent the picture through screen's passthrough, so "
            "it appears only if the outer terminal draws sixels, and screen will not keep "
            "it on redraw")


def _passthrough(data: bytes, kind: str | None) -> bytes:
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



# --- the screen --------------------------------------------------------------------------


class Placed:
    """The text rows a picture took below the cursor; `moving` while its
    frames are still drawn."""

    def __init__(self, rows: int, moving: bool) -> None:
        self.rows, self.moving = rows, moving


class Screen:
    """The pictures placed on the terminal since a moving picture began: each
    frame goes as many rows above the cursor as it and everything placed
    after it take, so that several views (threads, figures) can move at
    once. One lock for every write of a picture, so that those of different
    threads do not interleave. Text the program writes through sys.stdout or
    sys.stderr meanwhile is watched: it moves the cursor, so every moving
    picture starts afresh below it at its next frame, and the text stays."""

    def __init__(self) -> None:
        self.lock = threading.RLock()
        self.placed: list[Placed] = []
        self.watch: _Watch | None = None

    def add(self, rows: int, *, moving: bool) -> Placed:
        place = Placed(rows, moving)
        if moving or any(p.moving for p in self.placed):
            self.placed.append(place)
        if moving and self.watch is None:
            self.watch = _Watch(self.moved)
        return place

    def holds(self, place: Placed) -> bool:
        """Whether `place` is still where its next frame goes."""
        return any(p is place for p in self.placed)

    def above(self, place: Placed) -> int:
        index = next(k for k, p in enumerate(self.placed) if p is place)
        return sum(p.rows for p in self.placed[index:])

    def moved(self) -> None:
        """The cursor moved since the last picture: every moving picture
        starts afresh below it."""
        with self.lock:
            self.placed.clear()

    def stop(self, place: Placed | None) -> None:
        """`place` moves no more; once none does, nothing needs remembering."""
        with self.lock:
            if place is not None:
                place.moving = False
            if not any(p.moving for p in self.placed):
                self.placed.clear()
                if self.watch is not None:
                    self.watch.close()
                    self.watch = None


class _Watch:
    """sys.stdout and sys.stderr replaced by streams that tell `moved` when
    the program writes to them, while moving pictures are on screen; put
    back afterwards where nobody replaced them since."""

    def __init__(self, moved: Callable[[], None]) -> None:
        self._kept: list[tuple[str, _Watched]] = []
        for name in ("stdout", "stderr"):
            stream = getattr(sys, name)
            if stream is not None and not isinstance(stream, _Watched) and is_terminal(stream):
                watched = _Watched(stream, moved)
                setattr(sys, name, watched)
                self._kept.append((name, watched))

    def close(self) -> None:
        for name, watched in self._kept:
            if getattr(sys, name) is watched:
                setattr(sys, name, watched.inner)
        self._kept.clear()


class _Watched:
    """A stream (text, or its bytes buffer) that tells `moved` of every
    write, then passes it on."""

    def __init__(self, inner: Any, moved: Callable[[], None]) -> None:
        self.inner, self._moved = inner, moved

    def write(self, data: Any) -> int:
        if data:
            self._moved()
        return int(self.inner.write(data))

    def writelines(self, lines: Iterable[Any]) -> None:
        for line in lines:
            self.write(line)

    @property
    def buffer(self) -> _Watched:
        return _Watched(self.inner.buffer, self._moved)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)


SCREEN = Screen()


def write_whole(out: IO[bytes], data: bytes) -> None:
    """Writes all of `data` in one piece; Ctrl-C (or the viewer's SIGTERM)
    midway is raised once it is out (a second one gives up at once, closing
    the sixel stream)."""
    try:
        fd = out.fileno()
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        out.write(data)
        out.flush()
        return
    out.flush()
    view: memoryview = memoryview(data)
    interrupted: BaseException | None = None
    while view:
        try:
            view = view[os.write(fd, view):]
        except (KeyboardInterrupt, SystemExit) as error:
            if interrupted is not None:
                os.write(fd, b"\x1b\\")
                raise
            interrupted = error
    if interrupted is not None:
        raise interrupted


# --- the terminal's echo -----------------------------------------------------------------


class Echo:
    """The terminal's echo, turned off while pictures move: a key echoed
    below the picture would move the cursor, and every frame after it.
    Ctrl-C still interrupts, and what was typed reaches the program or the
    shell afterwards. Keys typed while echo is back on are echoed: when
    they were, the next frame starts afresh below them."""

    def __init__(self, target: Target) -> None:
        self._fd = -1
        self._saved: list[Any] | None = None
        self._typed = 0
        self._lock = threading.Lock()
        if target.info is None:
            return
        with contextlib.suppress(AttributeError, OSError, ValueError, termios.error):
            fd = target.out.fileno()
            self._saved = termios.tcgetattr(fd)
            self._fd = fd

    def off(self) -> None:
        with self._lock:
            if self._saved is None:
                return
            if _unread(self._fd) > self._typed:
                SCREEN.moved()
            quiet = termios.tcgetattr(self._fd)
            quiet[3] &= ~termios.ECHO
            termios.tcsetattr(self._fd, termios.TCSANOW, quiet)

    def on(self) -> None:
        with self._lock:
            if self._saved is None:
                return
            termios.tcsetattr(self._fd, termios.TCSANOW, self._saved)
            self._typed = _unread(self._fd)

    @contextlib.contextmanager
    def quiet(self) -> Iterator[None]:
        self.off()
        try:
            yield
        finally:
            self.on()


def _unread(fd: int) -> int:
    """Bytes typed on the terminal and not read yet."""
    try:
        return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, bytes(4)), sys.byteorder)
    except OSError:
        return 0
