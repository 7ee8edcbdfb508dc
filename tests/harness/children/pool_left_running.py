"""A program that ends while its EncoderPool(2), never closed, is encoding
large pictures. It prints its workers' pids once both are encoding; argv[1]
says how it then ends: "exit" (the script's end), "raise" (an uncaught
error), or "wait" for the signal the test sends."""

import os
import sys
import threading
from pathlib import Path

import numpy as np

import tervalo


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


picture = np.random.default_rng(0).integers(0, 256, (1080, 1920, 3), np.uint8)
pool = tervalo.EncoderPool(2)
futures = [pool.submit(picture) for _ in range(6)]
workers = [worker._process.pid for worker in pool._workers]
# Far more than a worker's start-up costs: both are inside an encode.
while min(cpu_seconds(pid) for pid in workers) < 0.3:
    threading.Event().wait(0.01)
print(*workers, flush=True)
if sys.argv[1] == "raise":
    raise ValueError("the program's own error")
if sys.argv[1] == "wait":
    threading.Event().wait()
