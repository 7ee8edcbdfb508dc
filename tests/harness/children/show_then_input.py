"""tervalo.show of a small picture argv[1] times on the terminal it runs
in, then the longest a show took (whole seconds) and what input() reads
from the terminal, all on standard error."""

import sys
import time

import numpy as np

import tervalo
from tervalo.terminal import TerminalError

longest = 0.0
for _ in range(int(sys.argv[1])):
    start = time.monotonic()
    try:
        tervalo.show(np.zeros((12, 12, 3), np.uint8))
    except TerminalError as error:
        print("refused:", error, file=sys.stderr)
    longest = max(longest, time.monotonic() - start)
print("longest:", int(longest), file=sys.stderr)
print("typed:", repr(input()), file=sys.stderr)
