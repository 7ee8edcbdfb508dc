"""tervalo.show of a flat 900x300 picture on the terminal it runs in;
argv[1]: fit (True or False), argv[2] if given: max_size as "width,height".
Exits 3 when the terminal is refused."""

import sys

import numpy as np

import tervalo
from tervalo.terminal import NoSixelSupport

try:
    tervalo.show(np.full((300, 900, 3), (200, 30, 30), np.uint8), fit=sys.argv[1] == "True",
                 max_size=tuple(map(int, sys.argv[2].split(","))) if sys.argv[2:] else None)
except NoSixelSupport as error:
    print("refused:", error, file=sys.stderr)
    sys.exit(3)
