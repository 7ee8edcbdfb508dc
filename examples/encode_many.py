#!/usr/bin/env python3
"""Encode many pictures into sixel streams with every core.

    python examples/encode_many.py [ANIMATION | FOLDER] [--processes N]
                                   [--out-dir DIR]

ANIMATION is an animated GIF (or any file Pillow reads frame by frame), FOLDER
a folder whose images are encoded one by one. Without either, frames of a
rotating colour wheel are generated, so the command needs no data and no
imaging library. Prints how many frames, bytes, seconds and processes it took;
--out-dir writes each stream to a file of its own.
"""

import argparse
import colorsys
import math
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from tervalo_ext import sixel_encode_bytes


def encode(frame):
    """sixel_encode_bytes on a (pixels, width, height) tuple. A function of
    this module: a pool pickles it by name, which the extension's own
    function does not allow."""
    pixels, width, height = frame
    return sixel_encode_bytes(pixels, width, height)


def wheel_frames(count=36, size=200):
    """A colour wheel turned by 360 / count degrees a frame, on a grey
    gradient. The hue and saturation of each pixel are worked out once."""
    centre = (size - 1) / 2
    polar = []
    for y in range(size):
        for x in range(size):
            radius = math.hypot(x - centre, y - centre) / centre
            hue = math.atan2(y - centre, x - centre) / (2 * math.pi)
            polar.append((hue, radius) if radius <= 1 else (None, y / (size - 1)))
    frames = []
    for k in range(count):
        pixels = bytearray()
        for hue, value in polar:
            if hue is None:
                r = g = b = value
            else:
                r, g, b = colorsys.hsv_to_rgb((hue + k / count) % 1.0, value, 1.0)
            pixels += bytes((round(r * 255), round(g * 255), round(b * 255)))
        frames.append((f"wheel-{k:04d}", (bytes(pixels), size, size)))
    return frames


def rgb(image):
    """The image's pixels on white where it is transparent."""
    from PIL import Image

    rgba = image.convert("RGBA")
    flat = Image.new("RGB", rgba.size, "white")
    flat.paste(rgba, mask=rgba.getchannel("A"))
    return flat.tobytes(), flat.width, flat.height


def file_frames(path):
    """(name, frame) for each frame of an animation, or for each image of a
    folder in name order (files Pillow cannot read are passed over)."""
    from PIL import Image, ImageSequence, UnidentifiedImageError

    path = Path(path)
    if path.is_dir():
        frames = []
        for entry in sorted(p for p in path.iterdir() if p.is_file()):
            try:
                with Image.open(entry) as image:
                    frames.append((entry.name, rgb(image)))
            except UnidentifiedImageError:
                continue
        return frames
    with Image.open(path) as image:
        return [(f"{path.stem}-{k:04d}", rgb(frame))
                for k, frame in enumerate(ImageSequence.Iterator(image))]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source", nargs="?",
                        help="an animated image or a folder of images "
                             "(default: generated frames of a colour wheel)")
    parser.add_argument("--processes", type=int, default=os.cpu_count(),
                        help="worker processes (default: one per core, here %(default)s)")
    parser.add_argument("--out-dir", type=Path,
                        help="write each stream to DIR/NAME.six")
    args = parser.parse_args(argv)
    if args.processes < 1:
        parser.error(f"--processes must be at least 1, got {args.processes}")

    try:
        named = file_frames(args.source) if args.source else wheel_frames()
        if not named:
            raise ValueError(f"{args.source}: no images in it")
        names, frames = zip(*named)
        start = time.perf_counter()
        with ProcessPoolExecutor(max_workers=args.processes) as pool:
            # Frames go out in chunks, so pickling costs little against
            # encoding; map returns the streams in the frames' order.
            chunk = max(1, len(frames) // (4 * args.processes))
            streams = list(pool.map(encode, frames, chunksize=chunk))
        seconds = time.perf_counter() - start
        if args.out_dir:
            args.out_dir.mkdir(parents=True, exist_ok=True)
            for name, stream in zip(names, streams):
                (args.out_dir / f"{name}.six").write_bytes(stream)
    except Exception as error:  # noqa: BLE001  (one line for the user, not a traceback)
        print(f"encode_many.py: {error}", file=sys.stderr)
        return 1
    print(f"{len(frames)} frames, {sum(map(len, streams))} bytes of sixels in {seconds:.2f} s "
          f"with {args.processes} process{'es' if args.processes > 1 else ''} "
          f"({len(frames) / seconds:.1f} frames/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
