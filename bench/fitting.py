"""What fitting a large picture costs: a 4000 x 3000 photo-like picture
fitted to 800 x 600 and encoded, through tervalo (tervalo.encode for a
loaded PNG, the viewer's own path for a JPEG opened from a file) against a
hand-written Pillow thumbnail() path to the same size. Prints the median of
several runs in milliseconds, for the fitting alone and with the encode.

    python bench/fitting.py [--runs N]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
from PIL import Image

from tervalo import viewer
from tervalo._encode import WHITE, rgb_pixels
from tervalo_ext import sixel_encode_bytes

SIZE = (4000, 3000)
BOX = (800, 600)


def photo_like() -> Image.Image:
    """Smooth gradients with fine noise: resampling has real work to do,
    and JPEG compresses it as it does a photo."""
    y, x = np.mgrid[0:SIZE[1], 0:SIZE[0]].astype(np.float32)
    noise = np.random.default_rng(7).normal(0, 12, (SIZE[1], SIZE[0], 3))
    rgb = np.stack([x / SIZE[0] * 255, y / SIZE[1] * 255,
                    128 + 100 * np.sin(x / 90) * np.cos(y / 70)], axis=-1) + noise
    return Image.fromarray(np.clip(rgb, 0, 255).astype(np.uint8))


def median_ms(run: Callable[[], object], runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        run()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def thumbnail(image: Image.Image, copy: bool = True) -> Image.Image:
    """The hand path: what a user writes with Pillow alone (on a copy of a
    loaded picture, which thumbnail() would shrink in place)."""
    small = image.copy() if copy else image
    small.thumbnail(BOX, Image.Resampling.LANCZOS)
    return small


def tervalo_file(path: Path, encode: bool) -> object:
    """The viewer's path for a file: opened lazily, drafted, fitted."""
    with viewer.opened_source(str(path), WHITE, lambda _: None) as render:
        pixels, width, height = render(BOX, False)
    return sixel_encode_bytes(pixels, width, height) if encode else pixels


def hand_file(path: Path, encode: bool) -> object:
    with Image.open(path) as image:
        small = thumbnail(image, copy=False).convert("RGB")
    return sixel_encode_bytes(small.tobytes(), *small.size) if encode else small.tobytes()


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="one run (CI's check that it runs)")
    args = parser.parse_args()
    runs = 1 if args.quick else args.runs
    picture = photo_like()
    picture.load()
    with tempfile.TemporaryDirectory() as work:
        jpeg = Path(work) / "photo.jpg"
        picture.save(jpeg, quality=90)
        hand_png = thumbnail(picture)
        print(f"fitting {SIZE[0]}x{SIZE[1]} to {hand_png.width}x{hand_png.height}, median of "
              f"{runs} runs (ms)")
        print(f"{'':28}{'tervalo':>10}{'by hand':>10}{'ratio':>8}")
        rows = [
            ("PNG loaded, fit", lambda: rgb_pixels(picture, max_size=BOX),
             lambda: thumbnail(picture).tobytes()),
            ("PNG loaded, fit + encode", lambda: sixel_encode_bytes(
                *rgb_pixels(picture, max_size=BOX)),
             lambda: sixel_encode_bytes(thumbnail(picture).tobytes(), *hand_png.size)),
            ("JPEG file, fit", lambda: tervalo_file(jpeg, False), lambda: hand_file(jpeg, False)),
            ("JPEG file, fit + encode", lambda: tervalo_file(jpeg, True),
             lambda: hand_file(jpeg, True)),
        ]
        for name, ours, theirs in rows:
            mine, hand = median_ms(ours, runs), median_ms(theirs, runs)
            print(f"{name:28}{mine:10.1f}{hand:10.1f}{mine / hand:8.2f}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
