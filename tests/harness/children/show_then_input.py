"""tervalo.show of a small picture argv[1] times on the terminal it runs
in, then the longest a show took (seconds) and what input() reads
from the terminal, all on standard error."""

import sys
import time

import numpy as np

import tervalo
from tervalo.terminal import TerminalError

picture = np.zeros((12, 12, 3), np.uint8)
tervalo.encode(picture)   # imports out of the timing: only the waiting is measured
longest = 0.0
for _ in range(int(sys.argv[1])):
    start = time.monotonic()
    try:
        tervalo.show(picture)
    except TerminalError as error:
        print("refused:", error, file=sys.stderr)
    longest = max(longest, time.monotonic() - start)
print(f"longest: {longest:.1f}", file=sys.stderr)
print("typed:", repr(input()), file=sys.stderr)
