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
    """Hue around the centre, saturation outwards, on a grey gradient."""
    pixels = bytearray()
    centre = (size - 1) / 2
    for y in range(size):
        for x in range(size):
            dx, dy = x - centre, y - centre
            radius = math.hypot(dx, dy) / centre
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
    from PIL import Image, ImageColor

    with Image.open(path) as image:
        image.load()
        if image.width < 1 or image.height < 1:
            raise ValueError("the image has no pixels")
        rgba = image.convert("RGBA")
    flat = Image.new("RGB", rgba.size, ImageColor.getrgb(background))
    flat.paste(rgba, mask=rgba.getchannel("A"))
    if width or height:
        scale = min((width or flat.width) / flat.width, (height or flat.height) / flat.height)
        size = (max(1, round(flat.width * scale)), max(1, round(flat.height * scale)))
        flat = flat.resize(size, Image.Resampling.LANCZOS)
    return flat.tobytes(), flat.width, flat.height


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image", nargs="?", help="image file (default: a generated colour wheel)")
    parser.add_argument("--width", type=positive, help="fit into this many pixels across")
    parser.add_argument("--height", type=positive, help="fit into this many pixels down")
    parser.add_argument("--background", default="white",
                        help="colour behind transparent pixels (default: white)")
    parser.add_argument("--output", help="write the sixel stream to this file instead of stdout")
    args = parser.parse_args(argv)

    try:
        if args.image is None:
            pixels, width, height = colour_wheel()
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
