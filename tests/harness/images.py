"""The test images: flat colours (the palette path) and photo-like gradients
with noise (median cut and diffusion). NumPy is imported only by photo_like,
so the memcheck workload can use the rest without NumPy's own reports."""

_FOUR = (b"\xff\x00\x00", b"\x00\x80\x00", b"\x10\x20\xf0", b"\xfa\xfa\xfa")


def few_colour(width, height):
    """Four flat colours in 5 x 3 blocks: palette path, no diffusion. Plain
    Python: a row repeats every fourth band, so only four rows are built."""
    rows = [b"".join(_FOUR[(x // 5 + k) % 4] for x in range(width)) for k in range(4)]
    return b"".join(rows[(y // 3) % 4] for y in range(height))


def photo_like(width, height, seed=1):
    """Smooth gradients plus noise: well over 256 colours, so diffusion runs."""
    import numpy as np

    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    rng = np.random.default_rng(seed)
    img = np.stack([255 * x / max(width - 1, 1), 255 * y / max(height - 1, 1),
                    127 + 127 * np.sin((x + y) / 7.0)], axis=-1)
    img += rng.normal(0, 12, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8).tobytes()


def noisy_gradient(width, height, seed=1):
    """photo_like's kind of image (not its pixels) without NumPy."""
    import math
    import random

    noise = random.Random(seed)

    def channel(v):
        return min(255, max(0, int(v + noise.gauss(0, 12))))

    return bytes(channel(c) for y in range(height) for x in range(width) for c in (
        255 * x / max(width - 1, 1), 255 * y / max(height - 1, 1),
        127 + 127 * math.sin((x + y) / 7.0)))


FRAME = (255, 0, 0)


def framed(width=1600, height=1200, edge=32):
    """Gradients under squares in a thick red frame, as a height x width x 3
    array: drawn larger than the window, a crop, a stretch or a scrolled-off
    top shows."""
    import numpy as np

    y, x = np.mgrid[0:height, 0:width]
    rgb = np.stack([x * 200 // (width - 1), y * 200 // (height - 1),
                    64 + 128 * ((x // 100 + y // 100) % 2)], axis=-1).astype(np.uint8)
    for side in (np.s_[:edge], np.s_[-edge:], np.s_[:, :edge], np.s_[:, -edge:]):
        rgb[side] = FRAME
    return rgb


def hued_frames(count, width=240, height=160, edge=12):
    """`count` frames in a red frame, each a colour of its own inside (its
    hues evenly round the circle): which frame is on the screen shows."""
    import colorsys

    import numpy as np

    hues = [tuple(round(255 * c) for c in colorsys.hsv_to_rgb(k / count, 0.8, 0.9))
            for k in range(count)]
    frames = [np.full((height, width, 3), FRAME, np.uint8) for _ in hues]
    for frame, hue in zip(frames, hues):
        frame[edge:-edge, edge:-edge] = hue
    return frames, hues


KINDS = {"few-colour": few_colour, "photo-like": photo_like}
