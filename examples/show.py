#!/usr/bin/env python3
"""Show an image in a sixel-capable terminal (xterm -ti vt340, mlterm, ...).

    python examples/show.py [IMAGE] [--width PX] [--height PX]
                            [--background COLOUR] [--output FILE]

Without IMAGE a generated colour wheel is drawn, so the command needs no data.
"""

import argparse
import colorsys
import math
import sys

from tervalo_ext import sixel_encode_bytes


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


def load_image(path, background, width, height):
    """Any file Pillow reads, flattened onto `background` and fitted into
    width x height (either may be None) keeping its aspect ratio."""
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
        # A missing side does not limit the scale, either way.
        scale = min(width / flat.width if width else math.inf,
                    height / flat.height if height else math.inf)
        size = (max(1, round(flat.width * scale)), max(1, round(flat.height * scale)))
        flat = flat.resize(size, Image.Resampling.LANCZOS)
    return flat.tobytes(), flat.width, flat.height


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
    parser.add_argument("--background", default="white",
                        help="colour behind transparent pixels (default: white)")
    parser.add_argument("--output", help="write the sixel stream to this file instead of stdout")
    args = parser.parse_args(argv)

    try:
        if args.image is None:
            pixels, width, height = colour_wheel(min(args.width or 256, args.height or 256))
        else:
            pixels, width, height = load_image(args.image, args.background,
                                               args.width, args.height)
        stream = sixel_encode_bytes(pixels, width, height)
        if args.output:
            with open(args.output, "wb") as out:
                out.write(stream)
        else:
            sys.stdout.buffer.write(stream + b"\n")
            sys.stdout.flush()
    except Exception as error:  # one line for the user, not a traceback
        print(f"show.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
