#!/usr/bin/env python3
"""How long a program's other threads stall while it encodes.

    python bench/heartbeat.py [--frames N] [--processes N]

A heartbeat thread sleeps 10 ms in a loop and records the longest gap
beyond those 10 ms, while the main thread encodes N photo-like 1920 x 1080
frames (a) in this process with tervalo.encode and (b) through an
EncoderPool, waiting on the futures. Then the time of one encode of 1920 x 1080
and of 3840 x 2160 in this process: how long one call holds the interpreter
lock, which is what the heartbeat sees in (a).
"""

import argparse
import statistics
import threading
import time

import images

import tervalo

BEAT = 0.010
HD, UHD = (1920, 1080), (3840, 2160)


class Heartbeat:
    """A thread that sleeps BEAT at a time; .longest is the largest gap
    beyond BEAT between two of its wake-ups."""

    def __init__(self):
        self.longest = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        last = time.perf_counter()
        while not self._stop.is_set():
            time.sleep(BEAT)
            now = time.perf_counter()
            self.longest = max(self.longest, now - last - BEAT)
            last = now

    def __enter__(self):
        self._thread.start()
        time.sleep(5 * BEAT)  # beating before the work starts
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def photo(size, seed=0):
    import numpy as np

    width, height = size
    return np.frombuffer(images.photo_like(width, height, seed=seed), np.uint8).reshape(
        height, width, 3)


def stall_in_process(frames):
    with Heartbeat() as beat:
        for frame in frames:
            tervalo.encode(frame)
    return beat.longest


def stall_through_pool(frames, processes):
    with tervalo.EncoderPool(processes) as pool:
        pool.submit(frames[0]).result()  # workers started before the heartbeat
        with Heartbeat() as beat:
            for future in [pool.submit(frame) for frame in frames]:
                future.result()
    return beat.longest


def seconds_per_encode(frame, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        tervalo.encode(frame)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=4, help="1080p frames (default 4)")
    parser.add_argument("--processes", type=int, default=None,
                        help="pool processes (default: one per core)")
    parser.add_argument("--quick", action="store_true", help="one frame (CI's check that it runs)")
    args = parser.parse_args(argv)
    args.frames = 1 if args.quick else args.frames
    frames = [photo(HD, seed=k) for k in range(args.frames)]
    in_process = stall_in_process(frames)
    pooled = stall_through_pool(frames, args.processes)
    hd = seconds_per_encode(frames[0], 3)
    uhd = seconds_per_encode(photo(UHD), 1)
    print(f"longest heartbeat stall beyond {BEAT * 1000:.0f} ms, {args.frames} photo-like "
          f"{HD[0]}x{HD[1]} frames:")
    print(f"  encoded in this process:  {in_process * 1000:8.1f} ms")
    print(f"  encoded by EncoderPool:   {pooled * 1000:8.1f} ms")
    print("one encode in this process (the interpreter lock held throughout):")
    print(f"  {HD[0]}x{HD[1]}:  {hd * 1000:8.0f} ms")
    print(f"  {UHD[0]}x{UHD[1]}:  {uhd * 1000:8.0f} ms")


if __name__ == "__main__":
    main()
