"""Where encoding in strips on several threads starts to pay: wall time of
tervalo._sixel.encode on one thread and on every core, by picture size,
for a photograph and a flat picture (best of several runs; the machine may
be shared). The module's cut-over, parallel_pixels in
src/tervalo_sixel.cpp, was set from this.

    python bench/strips.py [--quick]
"""

import argparse
import os
import time

import images
import numpy as np
from stills import photograph, tiled

from tervalo import _sixel

SIDES = [(48, 36), (96, 72), (160, 120), (256, 192), (320, 240), (512, 384), (1024, 768),
         (1920, 1080)]


def best_wall(call, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one round")
    args = parser.parse_args(argv)
    cores = len(os.sched_getaffinity(0))
    sides = SIDES[:3] if args.quick else SIDES
    photo = tiled(photograph(), *SIDES[-1])
    print(f"Strips: wall ms, one thread against {cores}; load average "
          f"{os.getloadavg()[0]:.2f}")
    print("| size | photo, 1 | photo, all | flat, 1 | flat, all |")
    print("|---|---|---|---|---|")
    for width, height in sides:
        pictures = [np.ascontiguousarray(photo[:height, :width]).tobytes(),
                    images.few_colour(width, height)]
        rounds = 1 if args.quick else max(3, 2_000_000 // (width * height))
        cells = []
        for pixels in pictures:
            for threads in (1, cores):
                seconds = best_wall(lambda p=pixels, w=width, h=height, t=threads:
                                    _sixel.encode(p, w, h, threads=t), rounds)
                cells.append(f"{seconds * 1000:.2f}")
        print(f"| {width} × {height} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
