"""Show images in a sixel-capable terminal (xterm -ti vt340, mlterm, konsole, foot, ...).

    python -m tervalo [IMAGE ...] [--width PX] [--height PX] [--full-size]
                      [--background COLOUR] [--output FILE] [--force]

Without IMAGE a generated colour wheel is drawn, so the command needs no data.
In a terminal the pictures are made to fit the window, and the terminal is
asked first whether it draws sixels at all; into a pipe or a file the streams
are written as they are.
"""

from __future__ import annotations

import argparse
import colorsys
import math
import re
import sys
from collections.abc import Iterable, Sequence
from typing import IO, Any, NoReturn

from tervalo import terminal
from tervalo.terminal import NoSixelSupport, TerminalError, TerminalInfo
from tervalo_ext import sixel_encode_bytes

__all__ = ["colour_wheel", "main", "show", "show_all"]

_RASTER = re.compile(rb'\x1bPq"\d+;\d+;(\d+);(\d+)')


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


def _binary(file: IO[Any]) -> IO[bytes]:
    file.flush()  # text written before must come first
    buffer = getattr(file, "buffer", None)
    return buffer if buffer is not None else file


def _is_terminal(file: IO[Any]) -> bool:
    try:
        return file.isatty()
    except (AttributeError, ValueError):
        return False


def _stream_height(stream: bytes, fallback: int) -> int:
    match = _RASTER.match(stream)
    return int(match.group(2)) if match else fallback


def _draw(out: IO[bytes], stream: bytes, height: int, info: TerminalInfo | None,
          forced: bool) -> None:
    if info is None:
        data = stream + b"\n"
    else:
        data = terminal.placed(stream, info.rows_for(height))
        if forced and not info.sixels:
            data = terminal.passthrough(data, info.multiplexer)
    out.write(data)
    out.flush()


def _ask(out: IO[Any], force: bool) -> TerminalInfo:
    try:
        info = terminal.query(out.fileno())
    except terminal.NoControllingTerminal:
        if not force:
            raise
        return terminal.unasked(out.fileno())
    if not info.sixels and not force:
        raise NoSixelSupport(terminal.refusal(info))
    return info


def show(image: Any, file: IO[Any] | None = None, *, fit: bool = True,
         force: bool = False) -> None:
    """Draws `image` (anything tervalo.encode takes) in the terminal that
    `file` (default: standard output) is on, fitted into its window below the
    cursor if `fit`; into a file that is no terminal, writes the sixel stream.

    Raises tervalo.terminal.NoSixelSupport if the terminal does not report
    sixel graphics and not `force`, and NoControllingTerminal if it cannot be
    asked."""
    show_all([image], file, fit=fit, force=force)


def show_all(images: Iterable[Any], file: IO[Any] | None = None, *, fit: bool = True,
             force: bool = False) -> None:
    """show() for each image, with the terminal asked once."""
    from tervalo._encode import encode

    out = sys.stdout if file is None else file
    if not _is_terminal(out):
        for image in images:
            _binary(out).write(encode(image))
        return
    info = _ask(out, force)
    for image in images:
        stream = encode(image, max_size=info.box if fit else None)
        height = _stream_height(stream, info.box[1] if info.box else 1)
        _draw(_binary(out), stream, height, info, force)


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


class _OneLineParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other failure, instead of usage plus message.
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _OneLineParser(prog="tervalo", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("images", nargs="*", metavar="IMAGE",
                        help="image files, drawn one after another (default: a colour wheel)")
    parser.add_argument("--width", type=positive,
                        help="fit into this many pixels across, scaling up or down")
    parser.add_argument("--height", type=positive,
                        help="fit into this many pixels down, scaling up or down")
    parser.add_argument("--full-size", action="store_true",
                        help="in a terminal, do not shrink the pictures to fit the window")
    parser.add_argument("--background", default="white",
                        help="colour behind transparent pixels (default: white)")
    parser.add_argument("--output", help="write the sixel streams to this file instead of stdout")
    parser.add_argument("--force", action="store_true",
                        help="draw even if the terminal does not report sixel support")
    return parser


def _picture(path: str | None, background: str, box: tuple[int | None, int | None] | None,
             enlarge: bool) -> tuple[bytes, int, int]:
    """Packed RGB of the file at `path` (None: the colour wheel), fitted into box."""
    if path is None:
        # Square: the smaller side given, never more than 256 unless asked.
        side = min([side for side in box or () if side] or [256])
        return colour_wheel(side if enlarge else min(side, 256))
    from PIL import Image, ImageColor

    from tervalo._encode import rgb_pixels

    colour = ImageColor.getrgb(background)
    with Image.open(path) as image:
        image.load()
        return rgb_pixels(image, background=colour[:3], max_size=box, enlarge=enlarge)


def main(argv: Sequence[str] | None = None) -> int:
    """The viewer: 0 drawn, 1 an error (one line), 2 no sixel support, 130 Ctrl-C."""
    args = _parser().parse_args(argv)
    try:
        box: tuple[int | None, int | None] | None = None
        enlarge = bool(args.width or args.height)
        if enlarge:
            box = args.width, args.height
        info = None
        if args.output is None and _is_terminal(sys.stdout):
            info = _ask(sys.stdout, args.force)
            if args.force and (note := terminal.forced_note(info)):
                print(f"tervalo: {note}", file=sys.stderr)
            if not (enlarge or args.full_size):
                box = info.box
        streams = []
        for path in args.images or [None]:
            pixels, width, height = _picture(path, args.background, box, enlarge)
            streams.append((sixel_encode_bytes(pixels, width, height), height))
            if args.output is None:  # drawn as soon as it is ready
                _draw(_binary(sys.stdout), *streams.pop(), info, args.force)
        if args.output is not None:
            with open(args.output, "wb") as out:
                out.write(b"".join(stream for stream, _ in streams))
    except KeyboardInterrupt:
        print("tervalo: interrupted", file=sys.stderr)
        return 130
    except TerminalError as error:  # no sixel support, or no terminal to ask
        print(f"tervalo: {error}", file=sys.stderr)
        return 2
    except Exception as error:  # noqa: BLE001  (one line for the user, not a traceback)
        print(f"tervalo: {error}", file=sys.stderr)
        return 1
    return 0
