"""Show images in a sixel-capable terminal (xterm -ti vt340, mlterm, konsole, foot, ...).

    python -m tervalo [IMAGE ...] [--width PX] [--height PX] [--full-size]
                      [--background COLOUR] [--output FILE] [--wait SECONDS] [--force]
                      [--loop N] [--frame K]

IMAGE "-" is standard input. Without IMAGE, standard input is read when it is
a pipe or a file; otherwise a generated colour wheel is drawn, so the command
needs no data. In a terminal the pictures are made to fit the window and what
the terminal takes, and the terminal is asked first whether it draws sixels
at all; an animated file plays in place (tervalo.motion). Into a pipe or a
file the streams are written as they are, an animation's one after another.
"""

from __future__ import annotations

import argparse
import colorsys
import contextlib
import copy
import functools
import io
import math
import os
import re
import stat
import sys
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any, NamedTuple, NoReturn

from tervalo import terminal
from tervalo._encode import (
    WHITE,
    Colour,
    Size,
    _check_max_size,
    encode_pixels,
    fit,
    parse_background,
    rgb_pixels,
)
from tervalo.terminal import NoControllingTerminal, NoReply, TerminalError, TerminalInfo

if TYPE_CHECKING:
    from PIL import Image as PILImage

    from tervalo._encode import RGB, Picture

__all__ = ["colour_wheel", "main", "show", "show_all"]

# (packed RGB, width, height) of a picture fitted into a box (either side
# None, or no box), scaled up as well with `enlarge`.
Render = Callable[[Size | None, bool], tuple[bytes, int, int]]
Say = Callable[[str], None]
Encode = Callable[[bytes, int, int], bytes]


class _Frame(NamedTuple):
    """A frame of a moving picture: how to render it, and for how long it stays."""

    render: Render
    seconds: float


_EXIF_ORIENTATION = 0x0112
# The formats whose frames are an animation; the frames of others (a camera's
# MPO, a multi-page TIFF) are pictures of their own.
_ANIMATIONS = frozenset({"GIF", "PNG", "WEBP", "FLI"})
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")
STDIN_NAME = "standard input"


def colour_wheel(size: int = 256) -> tuple[bytes, int, int]:
    """Hue around the centre, saturation outwards, on a grey gradient.
    Pure Python, so the default picture needs no imaging library."""
    pixels = bytearray()
    centre = (size - 1) / 2
    reach = max(centre, 0.5)  # a 1-pixel wheel is its white centre
    for y in range(size):
        for x in range(size):
            dx, dy = x - centre, y - centre
            radius = math.hypot(dx, dy) / reach
            if radius <= 1:
                hue = (math.atan2(dy, dx) / (2 * math.pi)) % 1.0
                r, g, b = colorsys.hsv_to_rgb(hue, radius, 1.0)
            else:
                r = g = b = y / max(size - 1, 1)
            pixels += bytes((round(r * 255), round(g * 255), round(b * 255)))
    return bytes(pixels), size, size


def show(image: Picture, file: IO[Any] | None = None, *, fit: bool = True,
         force: bool = False, background: Colour = WHITE,
         max_size: Size | None = None) -> None:
    """Draws `image` (anything tervalo.encode takes) in the terminal that
    `file` (default: standard output) is on, below the cursor: fitted into
    its window if `fit`, within `max_size` (as encode takes it), and never
    larger than the terminal's graphics limit (if it is shrunk for that, one
    line on standard error says so). Transparency is composited on
    `background`. Into a file that is no terminal, writes the sixel stream
    and a newline.

    Raises tervalo.terminal.NoSixelSupport if the terminal does not report
    sixel graphics, NoReply if it did not answer, NoControllingTerminal if
    it cannot be asked, unless `force`."""
    try:
        show_all([image], file, fit=fit, force=force, background=background,
                 max_size=max_size)
    except TerminalError as error:
        raise _hinted(error, "force=True draws anyway") from None


def show_all(images: Iterable[Picture], file: IO[Any] | None = None, *, fit: bool = True,
             force: bool = False, background: Colour = WHITE,
             max_size: Size | None = None) -> None:
    """show() for each image, with the terminal asked once. Its
    TerminalErrors name no switch to draw anyway: the caller adds its own."""
    back = parse_background(background)
    limits = _checked_size(max_size)
    target = _open_target(sys.stdout if file is None else file, force=force)
    box = _box(target.info, fit, limits)
    for image in images:
        def render(size: Size | None, enlarge: bool, image: Picture = image) -> tuple[
                bytes, int, int]:
            return rgb_pixels(image, background=back, max_size=size, enlarge=enlarge)

        _emit(target, render, box, False, back, _say)


# --- the one drawing path --------------------------------------------------------------


@dataclass
class _Target:
    """Where the pictures go: a terminal (`info`, asked once) or, with info
    None, a file or pipe that gets the streams as they are, each followed
    by `ending`."""

    out: IO[bytes]
    info: TerminalInfo | None
    forced: bool = False  # drawn although the terminal reports no sixels
    ending: bytes = b"\n"  # into a pipe: the next output starts on a line of its own

    def write(self, stream: bytes, height: int) -> None:
        """A picture below the cursor."""
        if self.info is None:
            self.out.write(stream + self.ending)
            self.out.flush()
            return
        rows = self.info.rows_for(height)
        with _SCREEN.lock:
            _SCREEN.add(rows, moving=False)
            self.out.write(_placed(stream, rows, self._through))
            self.out.flush()

    def frame(self, stream: bytes, height: int, place: _Placed | None) -> _Placed | None:
        """A frame of a moving picture: the first (`place` None) below the
        cursor, in rows made for it, each later one over the last; the
        cursor is left below it every time. Returns where it went (None into
        a file). Written whole even if Ctrl-C comes midway (raised after),
        so that the terminal is never left inside a sixel stream."""
        if self.info is None:
            _write_whole(self.out, stream + self.ending)
            return None
        with _SCREEN.lock:
            if place is not None:
                _write_whole(self.out, _placed(stream, _SCREEN.above(place), self._through,
                                               room=False))
                return place
            rows = self.info.rows_for(height)
            _write_whole(self.out, _placed(stream, rows, self._through))
            return _SCREEN.add(rows, moving=True)

    @property
    def _through(self) -> str | None:
        return self.info.multiplexer if self.info is not None and self.forced else None


@dataclass(eq=False)
class _Placed:
    """The text rows a picture took below the cursor; `moving` while its
    frames are still drawn."""

    rows: int
    moving: bool


class _Screen:
    """The pictures placed on the terminal since a moving picture began: each
    frame goes as many rows above the cursor as it and everything placed
    after it take, so that several views (threads, figures) can move at
    once. One lock for every write of a picture, so that those of different
    threads do not interleave. (Text printed meanwhile moves them all.)"""

    def __init__(self) -> None:
        self.lock = threading.RLock()
        self._placed: list[_Placed] = []

    def add(self, rows: int, *, moving: bool) -> _Placed:
        place = _Placed(rows, moving)
        if moving or any(p.moving for p in self._placed):
            self._placed.append(place)
        return place

    def above(self, place: _Placed) -> int:
        index = next(k for k, p in enumerate(self._placed) if p is place)
        return sum(p.rows for p in self._placed[index:])

    def stop(self, place: _Placed | None) -> None:
        """`place` moves no more; once none does, nothing needs remembering."""
        with self.lock:
            if place is not None:
                place.moving = False
            if not any(p.moving for p in self._placed):
                self._placed.clear()


_SCREEN = _Screen()


def _write_whole(out: IO[bytes], data: bytes) -> None:
    """Writes all of `data`; Ctrl-C midway is raised once it is out (a
    second one gives up at once, closing the sixel stream)."""
    try:
        fd = out.fileno()
    except (AttributeError, OSError, ValueError):  # a file object without one
        out.write(data)
        out.flush()
        return
    out.flush()
    view, interrupted = memoryview(data), None
    while view:
        try:
            view = view[os.write(fd, view):]
        except KeyboardInterrupt as error:
            if interrupted is not None:
                os.write(fd, b"\x1b\\")
                raise
            interrupted = error
    if interrupted is not None:
        raise interrupted


def _open_target(file: IO[Any], *, force: bool, wait: float | None = None,
                 give_up: Callable[[TerminalInfo], None] | None = None) -> _Target:
    """The target for `file`; on a terminal, asks it (raising its refusal
    unless `force`)."""
    out = _binary(file)
    if not _is_terminal(file):
        return _Target(out, None)
    try:
        info = terminal.query(file.fileno(), wait=wait, give_up=give_up)
    except NoControllingTerminal:
        if not force:
            raise
        info = TerminalInfo.from_kernel(file.fileno())
    error = info.refusal()
    if error is not None and not force:
        raise error
    return _Target(out, info, forced=error is not None)


def _box(info: TerminalInfo | None, fit: bool, max_size: Size | None) -> Size | None:
    """`max_size`, within the window's box if `fit` and on a terminal."""
    window = info.box if info is not None and fit else None
    if window is None:
        return max_size
    if max_size is None:
        return window
    return (min(max_size[0] or window[0], window[0]), min(max_size[1] or window[1], window[1]))


def _emit(target: _Target, render: Render, box: Size | None, enlarge: bool,
          background: RGB, say: Say) -> None:
    """Renders a picture into `box`, keeps it within what the terminal takes
    (saying so when it shrinks it), encodes it and draws it."""
    _, height, stream = _fitted(target, render, box, enlarge, background, say)
    target.write(stream, height)


def _fitted(target: _Target, render: Render, box: Size | None, enlarge: bool,
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


def _placed(stream: bytes, rows: int, multiplexer: str | None = None, *,
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


def _forced_note(info: TerminalInfo) -> str | None:
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


def _checked_size(max_size: Size | None) -> Size | None:
    """max_size as encode takes it, refused here before the terminal is asked."""
    return None if max_size is None else _check_max_size(max_size)


def _hinted(error: TerminalError, hint: str) -> TerminalError:
    """`error`, of the same type, with the caller's way to draw anyway."""
    hinted = copy.copy(error)
    hinted.args = (f"{error}; {hint}",)
    return hinted


def _say(text: str) -> None:
    print(f"tervalo: {text}", file=sys.stderr, flush=True)


def _say_about(name: str, text: str) -> None:
    _say(f"{name}: {text}")


def _binary(file: IO[Any]) -> IO[bytes]:
    file.flush()  # text written before must come first
    buffer = getattr(file, "buffer", None)
    return buffer if buffer is not None else file


def _is_terminal(file: IO[Any]) -> bool:
    try:
        return file.isatty()
    except (AttributeError, ValueError):
        return False


# --- the command ------------------------------------------------------------------------


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"takes a number of seconds above 0, got {text!r}")
    return value


def _background(text: str) -> RGB:
    try:
        return parse_background(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


class _OneLineParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other failure, instead of usage plus message.
        self.exit(2, f"{self.prog}: {_printable(message)} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    from tervalo import __version__

    parser = _OneLineParser(prog="tervalo", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("images", nargs="*", metavar="IMAGE",
                        help="image files, drawn one after another; - is standard input "
                             "(default: standard input if it is a pipe or a file, else a "
                             "colour wheel)")
    parser.add_argument("--width", type=positive,
                        help="fit into this many pixels across, scaling up or down")
    parser.add_argument("--height", type=positive,
                        help="fit into this many pixels down, scaling up or down")
    parser.add_argument("--full-size", action="store_true",
                        help="in a terminal, do not shrink the pictures to fit the window "
                             "(never beyond the terminal's largest picture)")
    parser.add_argument("--background", default=WHITE, type=_background,
                        help="colour behind transparent pixels (default: white)")
    parser.add_argument("--output", help="write the sixel streams to this file instead of "
                                         "the terminal (- for standard output)")
    parser.add_argument("--wait", type=_seconds, metavar="SECONDS",
                        help=f"wait this long for the terminal's reply (default: "
                             f"${terminal.WAIT_VARIABLE}, else {terminal.REPLY_WAIT:g})")
    parser.add_argument("--force", action="store_true",
                        help="draw even if the terminal does not report sixel support")
    parser.add_argument("--loop", type=_count, metavar="N",
                        help="play animations N times, 0 until Ctrl-C (default: as the file "
                             "says; once if other images follow)")
    parser.add_argument("--frame", type=_count, metavar="K",
                        help="draw frame K of an animation (0 is the first), still")
    parser.add_argument("--version", action="version", version=f"tervalo {__version__}")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """The viewer: 0 all drawn, 1 an error (one line each; the other images
    are still drawn), 2 no sixel support, no reply or a bad argument, 130
    Ctrl-C."""
    args = _parser().parse_args(argv)
    try:
        with contextlib.ExitStack() as stack:
            return _view(args, stack)
    except KeyboardInterrupt:
        print("tervalo: interrupted", file=sys.stderr)
        return 130


def _view(args: argparse.Namespace, stack: contextlib.ExitStack) -> int:
    announced: list[TerminalError] = []

    def announce(info: TerminalInfo) -> None:
        # At once, while a late reply is still awaited and thrown away.
        error = info.refusal()
        if error is not None and not args.force:
            _say(_cli_hint(error))
            announced.append(error)

    enlarge = bool(args.width or args.height)
    max_size = (args.width, args.height) if enlarge else None
    if args.output is not None:
        try:
            out = sys.stdout.buffer if args.output == "-" else stack.enter_context(
                open(args.output, "wb"))  # noqa: SIM115  (closed by the stack)
        except OSError as error:
            _say(f"{_printable(args.output)}: {_printable(_describe(error))}")
            return 1
        target = _Target(out, None, ending=b"")
    else:
        try:
            target = _open_target(sys.stdout, force=args.force, wait=args.wait,
                                  give_up=announce)
        except TerminalError as error:
            if not announced:
                _say(_cli_hint(error))
            return 2
        except ValueError as error:  # $TERVALO_WAIT unreadable
            _say(_printable(str(error)))
            return 1
        if target.info is not None and args.force and (
                note := _forced_note(target.info)):
            _say(f"--force {note}")
    box = _box(target.info, not (enlarge or args.full_size), max_size)
    status = 0
    sources = args.images or [_default_source()]
    for number, source in enumerate(sources, 1):
        name = "colour wheel" if source is None else STDIN_NAME if source == "-" else source
        say = functools.partial(_say_about, _printable(name))
        try:
            with _source(source, args.background, say, args.frame) as picture:
                if isinstance(picture, _Animation):
                    _play(target, picture, box, enlarge, args, say, last=number == len(sources))
                else:
                    _emit(target, picture, box, enlarge, args.background, say)
        except Exception as error:  # noqa: BLE001  (one line for the user, not a traceback)
            say(_printable(_describe(error)))
            status = 1
    return status


def _play(target: _Target, animation: _Animation, box: Size | None, enlarge: bool,
          args: argparse.Namespace, say: Say, last: bool) -> None:
    """Plays an animated file in place, as many times as --loop or the file
    says; one that would play without end plays once when other images
    follow, so that they are drawn too."""
    from tervalo.motion import _play_frames

    plays = args.loop if args.loop is not None else animation.plays if last else max(
        1, animation.plays)
    _play_frames(target, animation.frames, count=animation.count, plays=plays, box=box,
                 enlarge=enlarge, background=args.background, say=say, report=True)


def _cli_hint(error: TerminalError) -> str:
    if isinstance(error, NoReply):
        return f"{error}; --wait SECONDS waits longer, --force draws anyway"
    return f"{error}; --force draws anyway"


def _default_source() -> str | None:
    """"-" when standard input is a pipe or a file, else None (the wheel): a
    terminal or /dev/null, as scripts and CI give, holds no picture."""
    try:
        mode = os.fstat(0).st_mode
    except OSError:
        return None
    return "-" if stat.S_ISFIFO(mode) or stat.S_ISREG(mode) else None


@dataclass
class _Animation:
    """The frames of an animated file, how many, and how many times the file
    asks to be played (0: without end)."""

    frames: Iterable[_Frame]
    count: int
    plays: int


@contextlib.contextmanager
def _source(source: str | None, background: RGB, say: Say,
            frame: int | None = None) -> Iterator[Render | _Animation]:
    """How to render the picture `source` names (None the colour wheel, "-"
    standard input, else a file), or its frames if it is animated and no
    one `frame` is asked for."""
    if source is None:
        yield _render_wheel
        return
    with _opened_image(source, say) as image:
        count = getattr(image, "n_frames", 1)
        if frame is not None:
            if frame >= count:
                raise ValueError(f"has {count} frame{'s' * (count > 1)}: --frame takes 0 to "
                                 f"{count - 1}")
            image.seek(frame)
        elif count > 1 and image.format in _ANIMATIONS:
            yield _Animation(_Again(functools.partial(_file_frames, image, background)), count,
                             _plays(image))
            return
        elif count > 1:
            say(f"{count} frames: the first is drawn (--frame K draws another)")

        def render(box: Size | None, enlarge: bool) -> tuple[bytes, int, int]:
            if box is not None:
                _draft(image, box, enlarge)
            return rgb_pixels(image, background=background, max_size=box, enlarge=enlarge)

        yield render


def _render_wheel(box: Size | None, enlarge: bool) -> tuple[bytes, int, int]:
    # Square: the smaller side given, never more than 256 unless asked.
    side = min([side for side in box or () if side] or [256])
    return colour_wheel(side if enlarge else min(side, 256))


@contextlib.contextmanager
def _opened_image(source: str, say: Say) -> Iterator[PILImage.Image]:
    """The image in `source` ("-": standard input), opened but not decoded,
    so that a JPEG can still be decoded at a reduced size."""
    from PIL import Image

    if source == "-":
        data = sys.stdin.buffer.read()
        if not data:
            raise ValueError("empty; pipe an image into it, e.g. "
                             "`python -m tervalo < photo.png`")
        file: str | IO[bytes] = io.BytesIO(data)
    elif _URL.match(source) and not os.path.exists(source):
        raise ValueError("a URL, not a file; download it first (e.g. curl -O URL)")
    else:
        file = source
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", Image.DecompressionBombWarning)
        image = Image.open(file)
    for warning in caught:
        if issubclass(warning.category, Image.DecompressionBombWarning):
            say(f"{image.width}x{image.height}, {image.width * image.height:,} pixels, above "
                f"Pillow's decompression-bomb threshold of {Image.MAX_IMAGE_PIXELS:,}: "
                "decoding it takes much memory and time")
        else:
            warnings.warn_explicit(warning.message, warning.category, warning.filename,
                                   warning.lineno)
    with image:
        yield image


class _Again:
    """Frames that can be taken again from the start (a file's), for the
    player's later passes."""

    def __init__(self, frames: Callable[[], Iterator[_Frame]]) -> None:
        self._frames = frames

    def __iter__(self) -> Iterator[_Frame]:
        return self._frames()


def _file_frames(image: PILImage.Image, background: RGB) -> Iterator[_Frame]:
    """The frames of an animated file, as Pillow composes them; each is
    rendered while it is the image's current one (the player renders a
    frame before it takes the next)."""
    def render(box: Size | None, enlarge: bool) -> tuple[bytes, int, int]:
        return rgb_pixels(image, background=background, max_size=box, enlarge=enlarge)

    for index in range(getattr(image, "n_frames", 1)):
        image.seek(index)
        image.load()  # WebP knows a frame's duration once it is decoded
        yield _Frame(render, _frame_seconds(image.info.get("duration")))


def _frame_seconds(milliseconds: float | None) -> float:
    # 10 ms or less (often 0, "as fast as you can") is shown for 100 ms, as
    # web browsers show it: files made for them look as they do there.
    return milliseconds / 1000 if milliseconds and milliseconds > 10 else 0.1


def _plays(image: PILImage.Image) -> int:
    """How many times a file asks to be played, 0 for without end: a GIF's
    loop count is the repeats after the first play, APNG's and WebP's the
    plays; a file without one plays once."""
    loop = image.info.get("loop")
    if not isinstance(loop, int) or loop < 0:
        return 1
    return loop + 1 if loop and image.format == "GIF" else loop


def _draft(image: PILImage.Image, box: Size, enlarge: bool) -> None:
    """Lets a JPEG decode at the smallest reduced size that still covers
    what the picture is fitted to (a no-op for other formats, or once
    decoded)."""
    width, height = image.size
    turned = image.getexif().get(_EXIF_ORIENTATION, 1) in (5, 6, 7, 8)
    if turned:
        width, height = height, width
    target = fit(width, height, *box, enlarge=enlarge)
    wide, high = target[::-1] if turned else target
    # Twice the target, as thumbnail() does, so that the resampling after it
    # still has pixels to work with; and only by a factor that divides both
    # sides, so that the reduced picture has the aspect ratio to the pixel.
    for factor in (8, 4, 2):
        if (image.width % factor == 0 and image.height % factor == 0
                and image.width // factor >= 2 * wide and image.height // factor >= 2 * high):
            image.draft(None, (image.width // factor, image.height // factor))
            return


def _describe(error: BaseException) -> str:
    """The error's text without the file name, which the line starts with."""
    from PIL import UnidentifiedImageError

    if isinstance(error, UnidentifiedImageError):
        return "cannot identify image file (not a picture Pillow reads)"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _printable(text: str) -> str:
    """`text` with control characters (and undecodable bytes of a file
    name) escaped, so that nothing in it reaches the terminal as a control
    sequence."""
    return "".join(
        f"\\x{ord(c) & 0xff:02x}" if ord(c) < 32 or 127 <= ord(c) < 160
        or 0xDC80 <= ord(c) <= 0xDCFF else c for c in text)
