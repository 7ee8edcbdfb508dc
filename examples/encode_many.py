#!/usr/bin/env python3
"""Encode many pictures into sixel streams with every core.

    python examples/encode_many.py [ANIMATION | FOLDER] [--processes N]
                                   [--out-dir DIR]

ANIMATION is an animated GIF (or any file Pillow reads frame by frame), FOLDER
a folder whose images are encoded one by one. Without either, frames of a
rotating colour wheel are generated with NumPy, so the command needs no data
and no imaging library. Prints how many frames, bytes, seconds and processes it
took; --out-dir writes each stream to a file of its own.
"""

import argparse
import os
import sys
import time
from pathlib import Path

from tervalo import EncoderPool


def wheel_frames(count=36, size=200):
    """(name, H x W x 3 uint8 array) of a colour wheel turned by 360 / count
    degrees a frame, on a grey gradient."""
    import numpy as np

    centre = (size - 1) / 2
    y, x = np.mgrid[0:size, 0:size].astype(np.float64)
    radius = np.hypot(x - centre, y - centre) / centre
    hue = np.arctan2(y - centre, x - centre) / (2 * np.pi)
    inside = (radius <= 1)[..., np.newaxis]
    grey = np.repeat((y / (size - 1))[..., np.newaxis], 3, axis=2)
    frames = []
    for k in range(count):
        wheel = hsv_to_rgb((hue + k / count) % 1.0, np.minimum(radius, 1.0))
        rgb = np.where(inside, wheel, grey)
        frames.append((f"wheel-{k:04d}", np.rint(rgb * 255).astype(np.uint8)))
    return frames


def hsv_to_rgb(hue, saturation):
    """colorsys.hsv_to_rgb(hue, saturation, 1.0) over arrays."""
    import numpy as np

    sector = np.floor(hue * 6.0)
    f = hue * 6.0 - sector
    p, q, t = 1 - saturation, 1 - saturation * f, 1 - saturation * (1 - f)
    one = np.ones_like(hue)
    sector = sector.astype(int) % 6
    channels = [np.choose(sector, options) for options in
                ([one, q, p, p, t, one], [t, one, one, q, p, p], [p, p, t, one, one, q])]
    return np.stack(channels, axis=-1)


def file_frames(path):
    """(name, Pillow image) for each frame of an animation, or for each image
    of a folder in name order (files Pillow cannot read are passed over)."""
    from PIL import Image, ImageSequence, UnidentifiedImageError

    path = Path(path)
    if path.is_dir():
        frames = []
        for entry in sorted(p for p in path.iterdir() if p.is_file()):
            try:
                with Image.open(entry) as image:
                    frames.append((entry.name, image.copy()))
            except UnidentifiedImageError:
                continue
        return frames
    with Image.open(path) as image:
        # The iterator seeks one image object from frame to frame: each is
        # copied before the next seek.
        return [(f"{path.stem}-{k:04d}", frame.copy())
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
        # The pool converts each frame to RGB here and encodes it in a
        # worker; map returns the streams in the frames' order.
        with EncoderPool(args.processes) as pool:
            streams = list(pool.map(frames))
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
