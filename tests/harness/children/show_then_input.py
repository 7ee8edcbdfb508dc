"""tervalo.show of a small picture argv[1] times on the terminal it runs
in, then what input() reads from it, both on standard error."""

import sys

import numpy as np

import tervalo
from tervalo.terminal import TerminalError

for _ in range(int(sys.argv[1])):
    try:
        tervalo.show(np.zeros((12, 12, 3), np.uint8))
    except TerminalError as error:
        print("refused:", error, file=sys.stderr)
print("typed:", repr(input()), file=sys.stderr)
