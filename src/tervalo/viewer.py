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
import contextlib
import functools
import io
import math
import os
import re
import signal
import stat
import sys
import warnings
from collections.abc import Iterator, Sequence
from types import FrameType
from typing import IO, TYPE_CHECKING, NamedTuple, NoReturn

from tervalo import terminal
from tervalo._encode import PILLOW_EXTRA, WHITE, Size, fit, parse_background
from tervalo.drawing import (
    Render,
    Say,
    Target,
    box_for,
    draw,
    forced_note,
    open_target,
    renderer,
    say,
)
from tervalo.terminal import NoReply, TerminalError, TerminalInfo

if TYPE_CHECKING:
    from PIL import Image as PILImage

    from tervalo._encode import RGB
    from tervalo.motion import Frame

__all__ = ["colour_wheel", "main"]

_EXIF_ORIENTATION = 0x0112
# The formats whose frames are an animation; the frames of others (a camera's
# MPO, a multi-page TIFF) are pictures of their own.
_ANIMATIONS = frozenset({"GIF", "PNG", "WEBP", "FLI"})
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")
STDIN_NAME = "standard input"
# The status of a program that wrote into a pipe its reader closed, as a
# shell reports one killed by SIGPIPE.
BROKEN_PIPE = 128 + signal.SIGPIPE


def colour_wheel(size: int = 256) -> tuple[bytes, int, int]:
    """Hue around the centre, saturation outwards, on a grey gradient.
    Pure Python, so the default picture needs no imaging library."""
    import colorsys

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


# --- the command ------------------------------------------------------------------------


def _whole(text: str, least: int, what: str) -> int:
    """`text` as a whole number of at least `least`, or argparse's error
    saying what is taken."""
    try:
        value = int(text)
    except ValueError:
        value = None
    if value is None or value < least:
        raise argparse.ArgumentTypeError(f"takes a whole number {what}, got {text!r}")
    return value


def positive(text: str) -> int:
    return _whole(text, 1, "of at least 1")


def count(text: str) -> int:
    return _whole(text, 0, "of 0 or more")


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"takes a number of seconds above 0, got {text!r}")
    return value


def background(text: str) -> RGB:
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
    parser.add_argument("--width", type=positive, metavar="PX",
                        help="fit into this many pixels across, scaling up or down")
    parser.add_argument("--height", type=positive, metavar="PX",
                        help="fit into this many pixels down, scaling up or down")
    parser.add_argument("--full-size", action="store_true",
                        help="in a terminal, do not shrink the pictures to fit the window "
                             "(never beyond the terminal's largest picture)")
    parser.add_argument("--background", default=WHITE, type=background, metavar="COLOUR",
                        help="colour behind transparent pixels (default: white)")
    parser.add_argument("--output", metavar="FILE",
                        help="write the sixel streams to this file instead of the terminal, "
                             "one after another (-: to standard output, each followed by a "
                             "newline, as when it is redirected)")
    parser.add_argument("--wait", type=seconds, metavar="SECONDS",
                        help=f"wait this long for the terminal's reply (default: "
                             f"${terminal.WAIT_VARIABLE}, else {terminal.REPLY_WAIT:g})")
    parser.add_argument("--force", action="store_true",
                        help="draw even if the terminal does not report sixel support")
    parser.add_argument("--loop", type=count, metavar="N",
                        help="play animations N times; 0 until Ctrl-C, for one IMAGE only "
                             "(default: as the file says; once if other images follow)")
    parser.add_argument("--frame", type=count, metavar="K",
                        help="draw frame K of an animation (0 is the first), still")
    parser.add_argument("--version", action="version", version=f"tervalo {__version__}")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """The viewer: 0 all drawn, 1 an error (one line each; the other images
    are still drawn), 2 no sixel support, no reply or a bad argument, 130
    Ctrl-C, 143 SIGTERM, 141 a reader that went away (quietly, as cat)."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.loop == 0 and len(args.images) > 1:
        parser.error("--loop 0 plays until Ctrl-C and would never reach the images after "
                     "the first animation: give one IMAGE, or --loop N")
    try:
        with _terminated_cleanly(), contextlib.ExitStack() as stack:
            return _view(args, stack)
    except KeyboardInterrupt:
        print("tervalo: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Nothing more can reach the reader; nor must Python's own flush at exit.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return BROKEN_PIPE


class _Terminated(SystemExit):
    pass


@contextlib.contextmanager
def _terminated_cleanly() -> Iterator[None]:
    """SIGTERM ends the viewer as Ctrl-C does, through every cleanup (the
    terminal's echo back on, the cursor below the picture, the workers
    stopped), with its conventional status."""
    def terminate(number: int, _: FrameType | None) -> None:
        raise _Terminated(128 + number)

    try:
        previous = signal.signal(signal.SIGTERM, terminate)
    except ValueError:  # not the main thread: nothing to take over
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _view(args: argparse.Namespace, stack: contextlib.ExitStack) -> int:
    announced: list[TerminalError] = []

    def announce(info: TerminalInfo) -> None:
        # At once, while a late reply is still awaited and thrown away.
        error = info.refusal()
        if error is not None and not args.force:
            say(_cli_hint(error))
            announced.append(error)

    enlarge = bool(args.width or args.height)
    max_size: Size | None = (args.width, args.height) if enlarge else None
    if args.output == "-":
        target = Target(sys.stdout.buffer, None)
    elif args.output is not None:
        try:
            out = stack.enter_context(open(args.output, "wb"))  # noqa: SIM115
        except OSError as error:
            say(f"{_printable(args.output)}: {_printable(_describe(error))}")
            return 1
        target = Target(out, None, ending=b"")
    else:
        try:
            # The viewer ends soon: a late reply is awaited here, so that it
            # never reaches the shell.
            target = open_target(sys.stdout, force=args.force, wait=args.wait,
                                 give_up=announce, hold=True)
        except TerminalError as error:
            if not announced:
                say(_cli_hint(error))
            return 2
        except ValueError as error:  # $TERVALO_WAIT unreadable
            say(_printable(str(error)))
            return 1
        if target.info is not None and args.force and (note := forced_note(target.info)):
            say(f"--force {note}")
    try:
        box = box_for(target.info, not (enlarge or args.full_size), max_size)
    except ValueError as error:
        say(f"{error} (--height PX, or --full-size)")
        return 1
    status = 0
    sources = args.images or [_default_source()]
    read: set[str] = set()
    for number, source in enumerate(sources, 1):
        name = "colour wheel" if source is None else STDIN_NAME if source == "-" else source
        say_here = functools.partial(_say_about, _printable(name))
        try:
            if source == "-" and source in read:
                raise ValueError("read already: give - once")
            read.add(source or "")
            with opened_source(source, args.background, say_here, args.frame) as picture:
                if isinstance(picture, Animation):
                    _play(target, picture, box, enlarge, args, say_here,
                          last=number == len(sources))
                else:
                    draw(target, picture, box, enlarge, args.background, say_here)
        except (BrokenPipeError, KeyboardInterrupt, SystemExit):
            raise
        except Exception as error:  # noqa: BLE001  (one line for the user, not a traceback)
            say_here(_printable(_describe(error)))
            status = 1
    return status


def _play(target: Target, animation: Animation, box: Size | None, enlarge: bool,
          args: argparse.Namespace, say: Say, last: bool) -> None:
    """Plays an animated file in place, as many times as --loop or the file
    says; one that would play without end plays once when other images
    follow, so that they are drawn too."""
    from tervalo.motion import Again, play_frames

    plays = args.loop if args.loop is not None else animation.plays if last else max(
        1, animation.plays)
    play_frames(target, Again(animation.frames), count=animation.length, plays=plays, box=box,
                enlarge=enlarge, background=args.background, say=say, report=True)


def _cli_hint(error: TerminalError) -> str:
    if isinstance(error, NoReply):
        return f"{error}; --wait SECONDS waits longer, --force draws anyway"
    return f"{error}; --force draws anyway"


def _say_about(name: str, text: str) -> None:
    say(f"{name}: {text}")


def _default_source() -> str | None:
    """"-" when standard input is a pipe or a file, else None (the wheel): a
    terminal or /dev/null, as scripts and CI give, holds no picture."""
    try:
        mode = os.fstat(0).st_mode
    except OSError:
        return None
    return "-" if stat.S_ISFIFO(mode) or stat.S_ISREG(mode) else None


class Animation(NamedTuple):
    """The frames of an animated file (taken anew for each pass), how many,
    and how many times the file asks to be played (0: without end)."""

    image: PILImage.Image
    background: RGB
    first: int  # the index of its first frame: 1 where an APNG's default image comes first
    length: int  # frames
    plays: int

    def frames(self) -> Iterator[Frame]:
        """The frames, as Pillow composes them; each is rendered while it is
        the image's current one (the player renders a frame before it takes
        the next)."""
        from tervalo.motion import Frame

        render = renderer(self.image, self.background)
        for index in range(self.first, self.first + self.length):
            self.image.seek(index)
            self.image.load()  # WebP knows a frame's duration once it is decoded
            yield Frame(render, _frame_seconds(self.image.info.get("duration")))


@contextlib.contextmanager
def opened_source(source: str | None, background: RGB, say: Say,
            frame: int | None = None) -> Iterator[Render | Animation]:
    """How to render the picture `source` names (None the colour wheel, "-"
    standard input, else a file), or its frames if it is animated and no
    one `frame` is asked for."""
    if source is None:
        yield _render_wheel
        return
    with _opened_image(source, say) as image:
        # An APNG's default image is what a viewer without animation shows;
        # it is not one of the animation's frames.
        first = 1 if image.format == "PNG" and image.info.get("default_image") else 0
        count = getattr(image, "n_frames", 1) - first
        animated = count > 1 and image.format in _ANIMATIONS
        if frame is not None:
            if frame >= count:
                raise ValueError(f"has {count} frame{'s' * (count > 1)}: --frame takes 0 to "
                                 f"{count - 1}")
            image.seek(first + frame)
        elif animated:
            yield Animation(image, background, first, count, _plays(image))
            return
        elif count > 1:
            say(f"{count} frames: the first is drawn (--frame K draws another)")
        elif first:
            image.seek(first)

        def prepare(box: Size, enlarge: bool) -> None:
            _draft(image, box, enlarge)

        yield renderer(image, background, prepare)


def _render_wheel(box: Size | None, enlarge: bool) -> tuple[bytes, int, int]:
    # Square: the smaller side given, never more than 256 unless asked.
    side = min([side for side in box or () if side] or [256])
    return colour_wheel(side if enlarge else min(side, 256))


@contextlib.contextmanager
def _opened_image(source: str, say: Say) -> Iterator[PILImage.Image]:
    """The image in `source` ("-": standard input), opened but not decoded,
    so that a JPEG can still be decoded at a reduced size."""
    try:
        from PIL import Image
    except ImportError:
        raise ValueError(f"reading image files needs Pillow: {PILLOW_EXTRA}") from None

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
    if type(error).__name__ == "UnidentifiedImageError":  # Pillow's, not imported for it
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
