"""tervalo.show into a BytesIO (not a terminal): the stream as it is, then
written to standard output."""

import io
import sys

import numpy as np

import tervalo

buffer = io.BytesIO()
tervalo.show(np.full((30, 40, 3), 255, np.uint8), buffer)
sys.stdout.buffer.write(buffer.getvalue())
