"""Still pictures side by side: the viewer (`python -m tervalo --output`),
img2sixel and chafa (`-f sixels` at the picture's own pixel size), and the
hand path (Pillow and tervalo_ext.sixel_encode_bytes in a `python -c`), each
a program run from outside: CPU time (user + system, the child's own),
wall time, bytes written, and PSNR of ImageMagick's decode against the
picture's pixels.

    python bench/stills.py [--quick] [--repeats N] [--python PATH]

--python measures the viewer and the hand path of another installation.
"""

import argparse
import contextlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import fake_terminal
import imagemagick
import numpy as np

BAND = 6
HAND = ("import sys; from PIL import Image; from tervalo_ext import sixel_encode_bytes; "
        "i = Image.open(sys.argv[1]).convert('RGB'); "
        "sys.stdout.buffer.write(sixel_encode_bytes(i.tobytes(), i.width, i.height))")


def photograph():
    """matplotlib's sample photograph."""
    from matplotlib import cbook
    from PIL import Image

    with Image.open(cbook.get_sample_data("grace_hopper.jpg")) as image:
        return np.asarray(image.convert("RGB"))


def tiled(rgb, width, height):
    """The photograph repeated, not enlarged, to width x height."""
    rows, columns = -(-height // rgb.shape[0]), -(-width // rgb.shape[1])
    return np.ascontiguousarray(np.tile(rgb, (rows, columns, 1))[:height, :width])


def grey_text(width=448, height=168):
    from PIL import Image, ImageDraw, ImageFont

    image = Image.new("RGB", (width, height), (255, 255, 255))
    draw = ImageDraw.Draw(image)
    font = ImageFont.load_default(size=14)
    lines = ["The palette holds each colour of a picture",
             "that has few of them, exactly: grey text on",
             "white keeps its white and its greys.",
             "def encode(image, *, background=WHITE):",
             "    return encode_pixels(*rgb_pixels(image))",
             "0123456789 !\"#$%&'()*+,-./:;<=>?@[]^_{|}~",
             "Sphinx of black quartz, judge my vow.",
             "Pack my box with five dozen liquor jugs.",
             "How vexingly quick daft zebras jump!"]
    for row, line in enumerate(lines):
        draw.text((6, 3 + 18 * row), line, fill=(96, 96, 96), font=font)
    return np.asarray(image)


def bar_chart(width=640, height=480):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(width / 100, height / 100), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    axes.bar(["a", "b", "c", "d"], [3, 5, 2, 4],
             color=["tab:blue", "tab:orange", "tab:green", "tab:red"])
    axes.set_title("Four bars")
    figure.canvas.draw()
    return np.asarray(figure.canvas.buffer_rgba())[..., :3].copy()


def pictures(quick):
    photo = photograph()
    big = tiled(photo, 1920, 1080)
    yield "small photo", photo[:504]
    yield "600 × 384 photo", big[100:484, 300:900]
    if not quick:
        yield "1920 × 1080 photo", big
    yield "grey text on white", grey_text()
    yield "640 × 480 bar chart", bar_chart()


def chafa_command(path):
    return ["chafa", "-f", "sixels", "--scale", "1", path]


def run(argv, tty=False):
    """(stdout, CPU seconds of the child, wall seconds). With `tty`, the
    child's standard input and error are a pseudo-terminal of 1 × 1-pixel
    cells, so chafa draws at the picture's own pixel size."""
    quiet = contextlib.nullcontext((subprocess.DEVNULL, subprocess.DEVNULL))
    with fake_terminal.pixel_cells() if tty else quiet as (stdin, stderr):
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE, stderr=stderr)
        out = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode:
        raise RuntimeError(f"{argv[0]} exited with {child.returncode}")
    return out, usage.ru_utime + usage.ru_stime, wall


def tools(python, path, out):
    yield "tervalo", [python, "-m", "tervalo", "--output", out, path], out, False
    yield "img2sixel", ["img2sixel", path], None, False
    yield "chafa", chafa_command(path), None, True
    yield "hand path", [python, "-c", HAND, path], None, False


def measure(python, rgb, repeats, folder):
    from PIL import Image

    path = str(folder / "picture.png")
    Image.fromarray(rgb).save(path)
    out = str(folder / "out.six")
    results = {}
    for name, argv, output, tty in tools(python, path, out):
        if shutil.which(argv[0]) is None:
            continue
        cpu, wall = [], []
        for _ in range(repeats):
            stream, seconds, elapsed = run(argv, tty)
            cpu.append(seconds)
            wall.append(elapsed)
        if output:
            stream = Path(output).read_bytes()
        width, height, decoded = imagemagick.decode(stream)
        quality = imagemagick.psnr(decoded, rgb) if decoded.shape == rgb.shape else None
        results[name] = (statistics.median(cpu), statistics.median(wall), len(stream), quality)
    return results


def table(rows):
    names = ["tervalo", "img2sixel", "chafa", "hand path"]
    header = ["picture"] + [f"{n} {what}" for n in names[:3]
                            for what in ("CPU ms", "wall ms", "KB", "dB")] + ["hand CPU ms"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for picture, results in rows:
        cells = [picture]
        for name in names[:3]:
            if name not in results:
                cells += ["—"] * 4
                continue
            cpu, wall, size, quality = results[name]
            cells += [f"{cpu * 1000:.0f}", f"{wall * 1000:.0f}", f"{size / 1000:.0f}",
                      "—" if quality is None else f"{quality:.1f}"]
        hand = results.get("hand path")
        cells.append("—" if hand is None else f"{hand[0] * 1000:.0f}")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one run each, no 1920 × 1080")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--python", default=sys.executable)
    args = parser.parse_args(argv)
    repeats = 1 if args.quick else args.repeats
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for name, rgb in pictures(args.quick):
            rows.append((name, measure(args.python, rgb, repeats, Path(folder))))
            print(f"  {name}", file=sys.stderr, flush=True)
    print(f"Stills, median of {repeats}; load average {os.getloadavg()[0]:.2f} "
          f"on {len(os.sched_getaffinity(0))} cores")
    print(table(rows))


if __name__ == "__main__":
    main()
