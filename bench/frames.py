#!/usr/bin/env python3
"""Moving pictures: how many frames a second the player draws, and how long
a live view's show() takes.

    python bench/frames.py [--quick]

Sustained frame rate: the player (tervalo.motion) encodes frames and writes
them to a pseudo-terminal whose other end is read at once, durations
ignored, in this process and through pools of 1 and 2 workers (started
before the clock), for photo-like frames of three sizes and for 640 x 480
matplotlib plots (rendered here, frame by frame). Beside it, in the same
run, libsixel's own img2sixel plays an animated GIF of the same frames into
a pipe (-g: delays ignored, -l disable: one pass), and the player plays that
GIF too. Then a 640 x 480 animation at 25 fps, timed, through the default
pool: the share of frames skipped. Then show() of a live view while 1920 x
1080 frames are encoded: its median and longest time.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import images
import numpy as np
from PIL import Image

from tervalo import EncoderPool, motion, viewer
from tervalo.drawing import Target, box_for, renderer
from tervalo.motion import Again, Frame
from tervalo.terminal import TerminalInfo

SIZES = [(320, 240), (640, 480), (1920, 1080)]
COUNTS = {(320, 240): 60, (640, 480): 40, (1920, 1080): 12}
PLOTS = 40
QUICK_SIZES, QUICK_COUNT = [(64, 48)], 10
VT340 = b"\x1b[?63;1;2;4;6;9;15;16;22;28c"
WORKERS = [0, 1, 2]


class Pty:
    """A terminal of 200 x 56 cells of 10 x 20 pixels (1920 x 1080 fits
    whole) whose other end is read, and thrown away, as fast as it comes, by
    another process, as a terminal's would be."""

    def __init__(self):
        master, slave = os.openpty()
        self._reader = subprocess.Popen(["cat"], stdin=master, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(master)
        self.out = os.fdopen(slave, "wb")
        info = TerminalInfo.from_replies(VT340, 56, 200, 2000, 1120)
        self.target = Stamped(self.out, info)
        self.box = box_for(info, True, None)

    def close(self):
        self.out.close()  # the reader then reads an error, and ends
        self._reader.wait()


class Stamped(Target):
    """A target that notes when each frame was out."""

    def __init__(self, out, info):
        super().__init__(out, info)
        self.times = []

    def frame(self, stream, height, place):
        place = super().frame(stream, height, place)
        self.times.append(time.perf_counter())
        return place


def photo_frames(size, count, distinct=4):
    width, height = size
    pictures = [np.frombuffer(images.photo_like(width, height, seed=k), np.uint8)
                .reshape(height, width, 3) for k in range(min(distinct, count))]
    return [pictures[k % len(pictures)] for k in range(count)]


def as_frames(pictures):
    return [Frame(renderer(p, (255, 255, 255)), 0.04) for p in pictures]


def plot_frames(size, count):
    """A line plot and its title changing each frame, rendered when played."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(size[0] / 100, size[1] / 100), dpi=100)
    x = np.linspace(0, 10, 500)
    line, = axes.plot(x, np.sin(x))
    axes.set_ylim(-1.5, 1.5)
    render = renderer(figure, (255, 255, 255))
    for k in range(count):
        line.set_ydata(np.sin(x + k / 5) + 0.2 * np.sin(7 * x - k))
        axes.set_title(f"step {k}")
        yield Frame(render, 0.04)


def rate(frames, workers, pools, timed=False, count=None):
    """(frames drawn per second from the first frame out to the last,
    Playback)."""
    pty = Pty()
    try:
        played = motion.play_frames(pty.target, frames, count=count, plays=1, box=pty.box,
                                    enlarge=False, background=(255, 255, 255),
                                    say=lambda text: None, pool=pools.get(workers),
                                    workers=workers, timed=timed)
        times = pty.target.times
        return (len(times) - 1) / (times[-1] - times[0]), played
    finally:
        pty.close()


def img2sixel_rate(gif, count):
    """img2sixel's frames per second over the GIF into a pipe (wall clock,
    including its start), or None if it is not installed."""
    program = shutil.which("img2sixel")
    if program is None:
        return None
    start = time.perf_counter()
    run = subprocess.run([program, "-g", "-l", "disable", str(gif)], capture_output=True,
                         check=True)
    seconds = time.perf_counter() - start
    assert run.stdout.count(b"\x1bP") == count, "img2sixel drew another number of frames"
    return count / seconds


def save_gif(pictures, path):
    frames = [Image.fromarray(p) for p in pictures]
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=40)


def show_times(size, count):
    """Seconds of each live view show() while frames of `size` are encoded."""
    pty = Pty()
    pictures = photo_frames(size, count)
    times = []
    try:
        with motion.LiveView(pty.target, pty.box, (255, 255, 255),
                             EncoderPool(motion.LIVE_WORKERS), True) as view:
            for picture in pictures:
                start = time.perf_counter()
                view.show(picture)
                times.append(time.perf_counter() - start)
                time.sleep(0.02)
    finally:
        pty.close()
    return times


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"{QUICK_SIZES[0][0]}x{QUICK_SIZES[0][1]} frames, a few of each")
    args = parser.parse_args(argv)
    sizes = QUICK_SIZES if args.quick else SIZES
    plot_size = (160, 120) if args.quick else (640, 480)
    print(f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.2f} at the start")
    print("one encode here, libsixel alone (tervalo_ext), median of 3: " + ", ".join(
        f"{w}×{h} {encode_seconds((w, h)) * 1000:.0f} ms" for w, h in sizes))
    pools = {n: EncoderPool(n) for n in WORKERS if n}
    tiny = np.zeros((6, 6, 3), np.uint8)
    for pool in pools.values():  # started, and each worker has encoded once
        for future in [pool.submit(tiny) for _ in range(2 * pool.processes)]:
            future.result()
    rows = [["frames", "in process", "1 worker", "2 workers", "img2sixel -g (GIF)",
             "player on that GIF, 2 workers"]]
    try:
        with tempfile.TemporaryDirectory() as folder:
            for size, plots in [*((size, False) for size in sizes), (plot_size, True)]:
                count = QUICK_COUNT if args.quick else PLOTS if plots else COUNTS[size]
                label = f"{size[0]}×{size[1]} {'plots' if plots else 'photo-like'}, {count}"
                pictures = None if plots else photo_frames(size, count)
                rates = []
                for workers in WORKERS:
                    frames = plot_frames(size, count) if plots else as_frames(pictures)
                    rates.append(f"{rate(frames, workers, pools)[0]:.1f}")
                gif_cells = ["—", "—"]
                if pictures is not None:
                    gif = Path(folder) / "anim.gif"
                    save_gif(pictures, gif)
                    theirs = img2sixel_rate(gif, count)
                    with viewer.opened_source(str(gif), (255, 255, 255), print) as animation:
                        assert isinstance(animation, viewer.Animation)
                        ours = rate(Again(animation.frames), 2, pools)[0]
                    gif_cells = ["not installed" if theirs is None else f"{theirs:.1f}",
                                 f"{ours:.1f}"]
                rows.append([label, *rates, *gif_cells])
                print(f"  {label}: done", file=sys.stderr, flush=True)
    finally:
        for pool in pools.values():
            pool.shutdown()
    print("Sustained frames per second, frames written to a pty read at once, "
          "durations ignored:")
    print(markdown(rows))

    size = QUICK_SIZES[0] if args.quick else (640, 480)
    count = 20 if args.quick else 100
    _, played = rate(as_frames(photo_frames(size, count)), motion.PLAY_WORKERS, {},
                     timed=True, count=count)
    print(f"{size[0]}×{size[1]} photo-like at 25 fps, {count} frames through the default "
          f"pool: {played.skipped} skipped ({100 * played.skipped / count:.1f} %)")
    size = QUICK_SIZES[0] if args.quick else (1920, 1080)
    times = show_times(size, 10 if args.quick else 40)
    print(f"live view show() while {size[0]}×{size[1]} frames are encoded: median "
          f"{statistics.median(times) * 1e6:.0f} µs, longest {max(times) * 1e6:.0f} µs")
    print(f"load {os.getloadavg()[0]:.2f} at the end")


def encode_seconds(size):
    from tervalo_ext import sixel_encode_bytes

    pixels = images.photo_like(*size)
    times = []
    for _ in range(3):
        start = time.perf_counter()
        sixel_encode_bytes(pixels, *size)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def markdown(rows):
    lines = ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join([lines[0], "|" + "---|" * len(rows[0]), *lines[1:]])


if __name__ == "__main__":
    main()
