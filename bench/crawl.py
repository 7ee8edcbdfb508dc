"""Moving pictures: how much still areas crawl against how truly frames are
drawn, by diffusion method and palette (a new one per frame, or one kept
from the first frame in a tervalo._sixel.Dither).

The frames: a photograph whose left half stands still while its right half
pans slowly (a pixel a frame): error diffused from the moving half reaches
the still one, row after row. Crawl is the share of the still half's pixels
whose drawn colour changes from one frame to the next; PSNR is of
ImageMagick's decode against the frame. Also each method's encode time.

    python bench/crawl.py [--quick]
"""

import argparse
import os
import statistics
import time

import imagemagick
import numpy as np
from stills import photograph, tiled

from tervalo import _sixel

METHODS = ["NONE", "ATKINSON", "FS", "A_DITHER", "X_DITHER"]


def frames(width, height, count):
    source = tiled(photograph(), width + count, height)
    half = width // 2
    for shift in range(count):
        frame = source[:, :width].copy()
        frame[:, half:] = source[:, half + shift:width + shift]
        yield frame


def measure(encoders, pictures, width, height):
    drawn, psnrs, seconds = [], [], []
    for encode, rgb in zip(encoders, pictures):
        start = time.process_time()
        stream = encode(rgb.tobytes(), width, height)
        seconds.append(time.process_time() - start)
        decoded = imagemagick.decode(stream)[2]
        drawn.append(decoded[:, : width // 2])
        psnrs.append(imagemagick.psnr(decoded, rgb))
    crawl = [np.any(a != b, axis=2).mean() for a, b in zip(drawn, drawn[1:])]
    return statistics.mean(crawl), statistics.mean(psnrs), statistics.median(seconds)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small frames, few of them")
    args = parser.parse_args(argv)
    width, height, count = (160, 120, 3) if args.quick else (640, 480, 8)
    pictures = list(frames(width, height, count))
    first = pictures[0].tobytes()
    rows = []
    for method in METHODS:
        diffusion = getattr(_sixel, f"DIFFUSE_{method}")
        kept = _sixel.Dither.from_pixels(first, width, height, diffusion=diffusion)
        rows.append((method, "kept", measure([kept.encode] * count, pictures, width, height)))
        if method in ("NONE", "ATKINSON", "FS"):
            fresh = [lambda p, w, h, d=diffusion: _sixel.Dither.from_pixels(
                p, w, h, diffusion=d).encode(p, w, h) for _ in pictures]
            rows.append((method, "new each frame", measure(fresh, pictures, width, height)))
    print(f"Crawl of still areas, {count} frames of {width} × {height}; load average "
          f"{os.getloadavg()[0]:.2f}")
    print("| diffusion | palette | still pixels redrawn | PSNR dB | CPU ms a frame |")
    print("|---|---|---|---|---|")
    for method, palette, (crawl, quality, cpu) in rows:
        print(f"| {method} | {palette} | {100 * crawl:.2f} % | {quality:.1f} | "
              f"{1000 * cpu:.1f} |")


if __name__ == "__main__":
    main()
