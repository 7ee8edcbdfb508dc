#!/usr/bin/env python3
"""Moving pictures: how many frames a second the player draws, beside chafa
and img2sixel on the same frames, where an encode's time goes, and how long
a live view's show() takes.

    python bench/frames.py [--quick]

Sustained frame rate, frames drawn as fast as they come (durations
ignored) into a pseudo-terminal whose other end is read at once, from the
first frame out to the last: a slow pan across a photograph (matplotlib's
sample portrait tiled, not enlarged, to the size) at three sizes,
photo-like synthetic frames (gradients and noise, which libsixel and every
encoder find far harder than photographs) and 640 x 480 matplotlib plots
rendered frame by frame. The player encodes in its own thread with a
palette kept while the scene lasts (the default), or through an
EncoderPool of 2 workers, each frame in a palette of its own. Beside it, in
the same run, chafa (-f sixels at the frames' pixel size, --speed 1000)
and img2sixel (-g -l disable) play an animated GIF of the same frames, and
so does the player. Then a 640 x 480 pan at 25 fps, timed: the share of
frames skipped; and show() of a live view while 1920 x 1080 frames are
encoded.
"""

import argparse
import contextlib
import os
import select
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import fake_terminal
import images
import numpy as np
from PIL import Image

import tervalo._sixel
from tervalo import EncoderPool, motion, viewer
from tervalo._encode import FrameEncoder
from tervalo.drawing import Target, box_for, renderer
from tervalo.motion import Again, Frame
from tervalo.terminal import TerminalInfo

PANS = {(640, 480): 60, (1280, 720): 40, (1920, 1080): 24}
QUICK = (64, 48)
STEP = 2  # pixels the pan moves a frame
VT340 = b"\x1b[?63;1;2;4;6;9;15;16;22;28c"
WHITE = (255, 255, 255)


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


def photograph():
    from matplotlib import cbook

    with Image.open(cbook.get_sample_data("grace_hopper.jpg")) as image:
        return np.asarray(image.convert("RGB"))


def pan(size, count):
    """A window of `size` moving STEP pixels a frame across the photograph,
    tiled to hold its whole way."""
    width, height = size
    photo = photograph()
    wide = width + STEP * count
    rows, columns = -(-height // photo.shape[0]), -(-wide // photo.shape[1])
    canvas = np.tile(photo, (rows, columns, 1))[:height, :wide]
    return [np.ascontiguousarray(canvas[:, k * STEP:k * STEP + width]) for k in range(count)]


def photo_like(size, count, distinct=4):
    width, height = size
    pictures = [np.frombuffer(images.photo_like(width, height, seed=k), np.uint8)
                .reshape(height, width, 3) for k in range(min(distinct, count))]
    return [pictures[k % len(pictures)] for k in range(count)]


def as_frames(pictures):
    return [Frame(renderer(p, WHITE), 0.04) for p in pictures]


def plot_frames(size, count):
    """A line plot and its title changing each frame, rendered when played."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(size[0] / 100, size[1] / 100), dpi=100)
    x = np.linspace(0, 10, 500)
    line, = axes.plot(x, np.sin(x))
    axes.set_ylim(-1.5, 1.5)
    render = renderer(figure, WHITE)
    for k in range(count):
        line.set_ydata(np.sin(x + k / 5) + 0.2 * np.sin(7 * x - k))
        axes.set_title(f"step {k}")
        yield Frame(render, 0.04)


def rate(frames, pool=None, timed=False, count=None):
    """(frames drawn per second from the first frame out to the last,
    Playback)."""
    pty = Pty()
    try:
        played = motion.play_frames(pty.target, frames, count=count, plays=1, box=pty.box,
                                    enlarge=False, background=WHITE, say=lambda text: None,
                                    pool=pool, timed=timed)
        times = pty.target.times
        return (len(times) - 1) / (times[-1] - times[0]), played
    finally:
        pty.close()


def program_rate(argv, count, tty=False):
    """A program's frames a second into a pipe, from its first frame out to
    its last (None if it is not installed). With `tty` its standard input
    and error are a pseudo-terminal of 1 x 1-pixel cells, so that chafa
    draws at the frames' own pixel size."""
    if shutil.which(argv[0]) is None:
        return None
    quiet = contextlib.nullcontext((subprocess.DEVNULL, subprocess.DEVNULL))
    with fake_terminal.pixel_cells() if tty else quiet as (stdin, stderr):
        child = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE, stderr=stderr)
        fd, times, tail = child.stdout.fileno(), [], b""
        while True:
            select.select([fd], [], [])
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            # A frame starts with DCS (ESC P), perhaps cut between two reads.
            times += [time.perf_counter()] * (tail + chunk).count(b"\x1bP")
            tail = chunk[-1:]
        child.wait()
    if child.returncode or len(times) != count:
        raise RuntimeError(f"{argv[0]}: {len(times)} frames of {count}, "
                           f"status {child.returncode}")
    # Small frames can all arrive in one read: too fast to time here.
    return (count - 1) / (times[-1] - times[0]) if times[-1] > times[0] else float("inf")


def save_gif(pictures, path):
    frames = [Image.fromarray(p) for p in pictures]
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=40)


def row(label, pictures, pool, folder):
    """The cells of one row: the player's rates, then on a GIF of the frames
    chafa's, img2sixel's and the player's."""
    count = len(pictures)
    cells = [label, f"{rate(as_frames(pictures))[0]:.1f}",
             f"{rate(as_frames(pictures), pool)[0]:.1f}"]
    gif = Path(folder) / "anim.gif"
    save_gif(pictures, gif)
    for argv, tty in [(["chafa", "-f", "sixels", "--scale", "1", "--speed", "1000", str(gif)],
                       True), (["img2sixel", "-g", "-l", "disable", str(gif)], False)]:
        theirs = program_rate(argv, count, tty)
        cells.append("not installed" if theirs is None else f"{theirs:.1f}")
    with viewer.opened_source(str(gif), WHITE, print) as animation:
        cells.append(f"{rate(Again(animation.frames))[0]:.1f}")
    return cells


def phases(picture):
    """Milliseconds of an encode's parts for one frame (median of 5): the
    palette built from it, the whole encode in a kept palette on one core
    and on every core, and the same frame drawn in that palette's colours
    (no mapping left to do: libsixel writing the bands, nearly all of it)."""
    height, width, _ = picture.shape
    pixels = picture.tobytes()
    dither = tervalo._sixel.Dither.from_pixels(pixels, width, height)
    palette = np.frombuffer(dither.palette, np.uint8).reshape(-1, 3).astype(int)
    nearest = ((picture[:, :, None, :].astype(int) - palette) ** 2).sum(axis=3).argmin(axis=2)
    flat = palette[nearest].astype(np.uint8).tobytes()

    def ms(call):
        times = []
        for _ in range(5):
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)
        return f"{statistics.median(times) * 1000:.1f}"

    return [ms(lambda: tervalo._sixel.Dither.from_pixels(pixels, width, height)),
            ms(lambda: dither.encode(pixels, width, height, threads=1)),
            ms(lambda: dither.encode(pixels, width, height)),
            ms(lambda: tervalo._sixel.encode(flat, width, height, threads=1))]


def show_times(size, count):
    """Seconds of each live view show() while frames of `size` are encoded."""
    pty = Pty()
    times = []
    try:
        with motion.LiveView(pty.target, pty.box, WHITE, None) as view:
            for picture in pan(size, count):
                start = time.perf_counter()
                view.show(picture)
                times.append(time.perf_counter() - start)
                time.sleep(0.02)
    finally:
        pty.close()
    return times


def markdown(rows):
    lines = ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join([lines[0], "|" + "---|" * len(rows[0]), *lines[1:]])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"{QUICK[0]}x{QUICK[1]} frames, a few of each")
    args = parser.parse_args(argv)
    pans = {QUICK: 6} if args.quick else PANS
    print(f"{len(os.sched_getaffinity(0))} cores, load {os.getloadavg()[0]:.2f} at the start")
    pool = EncoderPool(2)
    for future in [pool.submit(np.zeros((6, 6, 3), np.uint8)) for _ in range(4)]:
        future.result()  # started, each worker has encoded once
    rows = [["frames", "player (default)", "player, EncoderPool(2)", "chafa on a GIF of them",
             "img2sixel -g on that GIF", "player on that GIF"]]
    try:
        with tempfile.TemporaryDirectory() as folder:
            for size, count in pans.items():
                rows.append(row(f"{size[0]}×{size[1]} pan over a photograph, {count}",
                                pan(size, count), pool, folder))
            size = QUICK if args.quick else (640, 480)
            count = 6 if args.quick else 40
            rows.append(row(f"{size[0]}×{size[1]} photo-like, {count}",
                            photo_like(size, count), pool, folder))
            plots = [f"{size[0]}×{size[1]} plots, {count}",
                     f"{rate(plot_frames(size, count))[0]:.1f}",
                     f"{rate(plot_frames(size, count), pool)[0]:.1f}", "—", "—", "—"]
            rows.append(plots)
    finally:
        pool.shutdown()
    print("Sustained frames per second, drawn into a pty read at once, durations ignored:")
    print(markdown(rows))

    size = QUICK if args.quick else (1920, 1080)
    frame = pan(size, 1)[0]
    print(markdown([["one frame", "palette", "encode, 1 core", "encode, every core",
                     "in its palette's colours, 1 core"],
                    [f"{size[0]}×{size[1]} pan, ms", *phases(frame)]]))
    encoder = FrameEncoder()
    for picture in pan(size, 6):
        encoder.encode(picture.tobytes(), *size)
    print(f"palettes built for 6 frames of the pan: {encoder.palettes}")

    size = QUICK if args.quick else (640, 480)
    count = 20 if args.quick else 100
    _, played = rate(as_frames(pan(size, count)), timed=True, count=count)
    print(f"{size[0]}×{size[1]} pan at 25 fps, {count} frames: {played.skipped} skipped "
          f"({100 * played.skipped / count:.1f} %)")
    size = QUICK if args.quick else (1920, 1080)
    times = show_times(size, 10 if args.quick else 40)
    print(f"live view show() while {size[0]}×{size[1]} frames are encoded: median "
          f"{statistics.median(times) * 1e6:.0f} µs, longest {max(times) * 1e6:.0f} µs")
    print(f"load {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
