"""How close what a stream draws comes to the picture's own pixels: PSNR of
tervalo_ext.sixel_encode_bytes's stream (libsixel's palette), of
tervalo.encode's (tervalo._sixel: the picture's own colours up to 256, else
a palette built for it) and of chafa.py's where it is installed, each
decoded by ImageMagick; and tervalo's encode time over the module's.

Run it as `nox -s bench` (after the timing benchmark) or with the dev
environment's python.
"""

import argparse
import statistics
import sys
import time

import imagemagick
import images
import numpy as np

FIGURE = (640, 480)        # matplotlib's default figure, in pixels
BUDGET_SIZE = (1920, 1080)  # where the cost is judged
COST_LIMIT = 1.10


def figure_pixels(draw, size):
    """The pixels tervalo.encode draws of a matplotlib figure of `size`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from tervalo._encode import rgb_pixels

    figure, axes = plt.subplots(figsize=(size[0] / 100, size[1] / 100), dpi=100)
    try:
        draw(axes)
        return rgb_pixels(figure)
    finally:
        plt.close(figure)


def line_plot(axes):
    x = np.linspace(0, 10, 500)
    for k in range(3):
        axes.plot(x, np.sin(x + k) * (1 + k / 3), label=f"sin(t + {k})")
    axes.grid(True)
    axes.legend()
    axes.set(title="Three waves", xlabel="t", ylabel="v")


def bar_chart(axes):
    axes.bar(["a", "b", "c", "d"], [3, 5, 2, 4],
             color=["tab:blue", "tab:orange", "tab:green", "tab:red"])
    axes.set_title("Four bars")


def text_picture(width=640, height=400):
    """A screenshot of coloured code on a dark background."""
    from PIL import Image, ImageDraw, ImageFont

    image = Image.new("RGB", (width, height), (30, 30, 30))
    draw = ImageDraw.Draw(image)
    font = ImageFont.load_default(size=14)
    words = "def encode(image, *, background=WHITE): return corrected(stream)".split()
    colours = [(220, 220, 220), (106, 153, 85), (86, 156, 214), (206, 145, 120), (197, 134, 192)]
    for row in range(height // 18):
        x = 4
        for k, word in enumerate(words[row % 3:]):
            draw.text((x, 2 + row * 18), word, fill=colours[(row + k) % 5], font=font)
            x += int(draw.textlength(word + " ", font=font))
    return image.tobytes(), width, height


def photo():
    """Grace Hopper's portrait, as matplotlib ships it."""
    from matplotlib import cbook
    from PIL import Image

    with Image.open(cbook.get_sample_data("grace_hopper.jpg")) as image:
        rgb = image.convert("RGB")
    return rgb.tobytes(), rgb.width, rgb.height


def pictures():
    from tervalo.viewer import colour_wheel

    yield "line plot", figure_pixels(line_plot, FIGURE)
    yield "bar chart", figure_pixels(bar_chart, FIGURE)
    yield "text", text_picture()
    yield "colour wheel", colour_wheel(256)
    yield "photo-like", (images.photo_like(640, 480), 640, 480)
    yield "photo", photo()


def budget_pictures():
    yield "photo-like", (images.photo_like(*BUDGET_SIZE), *BUDGET_SIZE)
    yield "line plot", figure_pixels(line_plot, BUDGET_SIZE)
    yield "bar chart", figure_pixels(bar_chart, BUDGET_SIZE)


def chafa_stream(pixels, width, height):
    """chafa.py's sixel stream of the picture at its own size, or None when
    chafa.py is not installed."""
    try:
        from chafa import Canvas, CanvasConfig, PixelMode, PixelType
    except ImportError:
        return None
    config = CanvasConfig()
    config.pixel_mode = PixelMode.CHAFA_PIXEL_MODE_SIXELS
    config.cell_width, config.cell_height = 1, 1
    config.width, config.height = width, height
    canvas = Canvas(config)
    canvas.draw_all_pixels(PixelType.CHAFA_PIXEL_RGB8, pixels, width, height, width * 3)
    return bytes(canvas.print())


def fidelity(stream, original):
    """PSNR of what ImageMagick draws of `stream` against the pixels; None
    if it draws another size."""
    width, height, decoded = imagemagick.decode(stream)
    if decoded.shape != original.shape:
        return None
    return imagemagick.psnr(decoded, original)


def cost(pixels, width, height, repeats):
    """Median over rounds of tervalo's encode time over the module's, the two
    run back to back in each round (CPU time of this thread: the machine
    may be shared)."""
    from tervalo._encode import encode_pixels
    from tervalo_ext import sixel_encode_bytes

    encode_pixels(pixels, width, height)  # warm-up
    ratios = []
    for _ in range(repeats):
        start = time.thread_time_ns()
        sixel_encode_bytes(pixels, width, height)
        middle = time.thread_time_ns()
        encode_pixels(pixels, width, height)
        ratios.append((time.thread_time_ns() - middle) / (middle - start))
    return statistics.median(ratios)


def fmt(value):
    return "—" if value is None else f"{value:.1f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="one timing round, no 1920x1080 pictures")
    args = parser.parse_args(argv)
    from tervalo._encode import encode_pixels
    from tervalo_ext import sixel_encode_bytes

    repeats = 1 if args.quick else 5
    with_chafa = chafa_stream(b"\0\0\0", 1, 1) is not None
    header = ["picture", "size", "module dB", "tervalo dB", *(["chafa.py dB"] if with_chafa
                                                              else []), "time ÷ module"]
    rows = []
    for name, (pixels, width, height) in pictures():
        original = np.frombuffer(pixels, np.uint8).reshape(height, width, 3)
        psnrs = [fidelity(sixel_encode_bytes(pixels, width, height), original),
                 fidelity(encode_pixels(pixels, width, height), original)]
        if with_chafa:
            psnrs.append(fidelity(chafa_stream(pixels, width, height), original))
        rows.append([name, f"{width}×{height}", *map(fmt, psnrs),
                     f"{cost(pixels, width, height, repeats):.3f}"])
        print(f"  {name}", file=sys.stderr, flush=True)
    print("\n".join("| " + " | ".join(row) + " |"
                    for row in [header, ["---"] * len(header), *rows]))
    if not with_chafa:
        print("(chafa.py is not installed: no column of its own)")
    if args.quick:
        return
    print(f"\nEncode time at {BUDGET_SIZE[0]}×{BUDGET_SIZE[1]}, tervalo over the module "
          f"(at most {COST_LIMIT}):")
    for name, (pixels, width, height) in budget_pictures():
        ratio = cost(pixels, width, height, repeats)
        print(f"  {name}: {ratio:.3f} {'pass' if ratio <= COST_LIMIT else 'FAIL'}")


if __name__ == "__main__":
    main()
