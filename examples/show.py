#!/usr/bin/env python3
"""Show an image in a sixel-capable terminal (xterm -ti vt340, mlterm, ...).

    python examples/show.py [IMAGE] [--width PX] [--height PX] [--full-size]
                            [--background COLOUR] [--output FILE] [--force]

Without IMAGE a generated colour wheel is drawn, so the command needs no data.
In a terminal the picture is made to fit the window, and the terminal is
asked first whether it draws sixels at all; into a pipe or a file the stream
is written as it is.
"""

import argparse
import colorsys
import contextlib
import fcntl
import math
import os
import re
import select
import struct
import sys
import termios
import time

from tervalo_ext import sixel_encode_bytes

# Primary Device Attributes: ESC [ c, answered by ESC [ ? a;b;...c. Every
# terminal answers it, and in order, so its reply also closes the wait for
# the window size asked just before it.
DEVICE_ATTRIBUTES_QUERY = b"\x1b[c"
DEVICE_ATTRIBUTES = re.compile(rb"(?:\x1b\[|\x9b)\?([\d;]*)c")
SIXEL_ATTRIBUTE = 4
WINDOW_SIZE_QUERY = b"\x1b[14t"  # answered by ESC [ 4 ; height ; width t
WINDOW_SIZE = re.compile(rb"(?:\x1b\[|\x9b)4;(\d+);(\d+)t")
REPLY_TIMEOUT = 0.5  # seconds; a terminal answers in milliseconds, or never
CELL = (10, 20)  # pixels per character cell, when the terminal says nothing


def colour_wheel(size=256):
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
                r = g = b = y / (size - 1)
            pixels += bytes((round(r * 255), round(g * 255), round(b * 255)))
    return bytes(pixels), size, size


def positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def fit(width, height, box_width, box_height, enlarge=True):
    """width x height scaled into box_width x box_height (either may be
    None, which does not limit the scale), keeping the aspect ratio."""
    scale = min(box_width / width if box_width else math.inf,
                box_height / height if box_height else math.inf)
    if not enlarge:
        scale = min(scale, 1.0)
    return max(1, round(width * scale)), max(1, round(height * scale))


def load_image(path, background, width, height, enlarge=True):
    """Any file Pillow reads, flattened onto `background` and fitted into
    width x height (either may be None)."""
    from PIL import Image, ImageColor, ImageOps

    with Image.open(path) as image:
        image.load()
        if image.width < 1 or image.height < 1:
            raise ValueError(f"{path}: the image has no pixels")
        # Camera photos are often stored sideways with an EXIF orientation.
        rgba = ImageOps.exif_transpose(image).convert("RGBA")
    flat = Image.new("RGB", rgba.size, ImageColor.getrgb(background))
    flat.paste(rgba, mask=rgba.getchannel("A"))
    if width or height:
        size = fit(flat.width, flat.height, width, height, enlarge)
        if size != flat.size:
            flat = flat.resize(size, Image.Resampling.LANCZOS)
    return flat.tobytes(), flat.width, flat.height


# --- the terminal -------------------------------------------------------------


def device_attributes(reply):
    """The attributes in a Primary Device Attributes reply, or None if
    `reply` holds none."""
    match = DEVICE_ATTRIBUTES.search(reply)
    if match is None:
        return None
    return {int(field) for field in match.group(1).split(b";") if field}


def reported_window(reply):
    """(width, height) in pixels from a reply to ESC [ 14 t, or None."""
    match = WINDOW_SIZE.search(reply)
    if match is None or not int(match.group(1)) or not int(match.group(2)):
        return None
    return int(match.group(2)), int(match.group(1))


def picture_box(rows, cols, xpixel, ypixel, reported=None):
    """The largest picture the window shows whole with one text line left
    free below it, for the prompt: from the window's pixel size (TIOCGWINSZ,
    else the reply to ESC [ 14 t), else from its cells at CELL pixels each.
    None if nothing is known."""
    if xpixel and ypixel:
        width, height = xpixel, ypixel
    elif reported:
        width, height = reported
    elif rows and cols:
        width, height = cols * CELL[0], rows * CELL[1]
    else:
        return None
    # Whole cells: the pixels left over are the window's border, where a
    # terminal clips the picture (xterm) or which it scrolls for.
    if cols:
        width -= width % cols
    height = (rows - 1) * (height // rows) if rows else height - CELL[1]
    return max(1, width), max(1, height)


def window_cells(fd):
    """(rows, cols, xpixel, ypixel) of the terminal on fd."""
    return struct.unpack("4H", fcntl.ioctl(fd, termios.TIOCGWINSZ, bytes(8)))


@contextlib.contextmanager
def open_terminal():
    """(fd to read replies from, fd to write queries to) of the terminal
    standard output is on: standard input if it is that terminal, else
    /dev/tty."""
    if os.isatty(0) and os.fstat(0).st_rdev == os.fstat(1).st_rdev:
        yield 0, 1
        return
    fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY)
    try:
        yield fd, fd
    finally:
        os.close(fd)


def ask_terminal(read_fd, write_fd, ask_size, timeout=REPLY_TIMEOUT):
    """Sends the queries and returns what the terminal answered, up to its
    device attributes reply or for `timeout` seconds at most. The terminal's
    mode is restored whatever happens, Ctrl-C included."""
    saved = termios.tcgetattr(read_fd)
    try:
        quiet = termios.tcgetattr(read_fd)
        # No echo, so the replies are not drawn; no line editing, so they
        # arrive without a newline. Ctrl-C still interrupts.
        quiet[3] &= ~(termios.ICANON | termios.ECHO)
        quiet[6][termios.VMIN], quiet[6][termios.VTIME] = 1, 0
        termios.tcsetattr(read_fd, termios.TCSANOW, quiet)
        query = (WINDOW_SIZE_QUERY if ask_size else b"") + DEVICE_ATTRIBUTES_QUERY
        while query:
            query = query[os.write(write_fd, query):]
        reply = b""
        deadline = time.monotonic() + timeout
        while DEVICE_ATTRIBUTES.search(reply) is None:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_fd], [], [], left)[0]:
                break
            chunk = os.read(read_fd, 1024)
            if not chunk:
                break
            reply += chunk
        return reply
    finally:
        # TCSAFLUSH also drops reply bytes not read, which the shell would
        # otherwise get as typed input.
        termios.tcsetattr(read_fd, termios.TCSAFLUSH, saved)


def ask_window(fitting):
    """What the terminal on standard output says: (its device attributes,
    None if it did not answer; the box to fit the picture in if `fitting`,
    else None)."""
    with open_terminal() as (read_fd, write_fd):
        rows, cols, xpixel, ypixel = window_cells(write_fd)
        # The window's pixel size is asked for only when the kernel lacks it.
        reply = ask_terminal(read_fd, write_fd, fitting and not (xpixel and ypixel))
    box = picture_box(rows, cols, xpixel, ypixel, reported_window(reply)) if fitting else None
    return device_attributes(reply), box


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other failure, instead of usage plus message.
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def main(argv=None):
    parser = OneLineParser(prog="show.py", description=__doc__.splitlines()[0])
    parser.add_argument("image", nargs="?", help="image file (default: a generated colour wheel)")
    parser.add_argument("--width", type=positive,
                        help="fit into this many pixels across, scaling up or down")
    parser.add_argument("--height", type=positive,
                        help="fit into this many pixels down, scaling up or down")
    parser.add_argument("--full-size", action="store_true",
                        help="in a terminal, do not shrink the picture to fit the window")
    parser.add_argument("--background", default="white",
                        help="colour behind transparent pixels (default: white)")
    parser.add_argument("--output", help="write the sixel stream to this file instead of stdout")
    parser.add_argument("--force", action="store_true",
                        help="draw even if the terminal does not report sixel support")
    args = parser.parse_args(argv)

    try:
        width, height, enlarge = args.width, args.height, True
        if args.output is None and sys.stdout.isatty():
            attributes, box = ask_window(not (width or height or args.full_size))
            if not args.force and SIXEL_ATTRIBUTE not in (attributes or ()):
                why = ("it did not answer a device attributes query" if attributes is None
                       else "its device attributes lack 4, sixel graphics")
                print(f"show.py: this terminal reports no sixel support ({why}); run it in "
                      "one that draws sixels, e.g. `xterm -ti vt340`, or pass --force",
                      file=sys.stderr)
                return 2
            if box:
                (width, height), enlarge = box, False
        if args.image is None:
            side = min(width or 256, height or 256)
            pixels, width, height = colour_wheel(side if enlarge else min(side, 256))
        else:
            pixels, width, height = load_image(args.image, args.background,
                                               width, height, enlarge)
        stream = sixel_encode_bytes(pixels, width, height)
        if args.output:
            with open(args.output, "wb") as out:
                out.write(stream)
        else:
            sys.stdout.buffer.write(stream + b"\n")
            sys.stdout.flush()
    except KeyboardInterrupt:
        print("show.py: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # noqa: BLE001  (one line for the user, not a traceback)
        print(f"show.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
