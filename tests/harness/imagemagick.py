"""ImageMagick, a sixel decoder nobody here wrote: the independent check of
what a stream draws."""

import os
import shutil
import subprocess


def imagemagick():
    """ImageMagick's convert, or None. The distribution's binary comes before
    any wrapper earlier on PATH; ImageMagick 7 without its compatibility
    links has only magick, which takes the same arguments."""
    for path in ("/usr/bin/convert", shutil.which("convert"), shutil.which("magick")):
        if path and os.access(path, os.X_OK):
            return path
    return None


def magick(*args, data=None, timeout=None):
    """convert's standard output for `args`, `data` on its standard input."""
    convert = imagemagick()
    if convert is None:
        raise OSError("ImageMagick's convert is not installed (apt-get install imagemagick)")
    return subprocess.run([convert, *args], input=data, capture_output=True, check=True,
                          timeout=timeout).stdout


def decode(stream):
    """(width, height, height x width x 3 uint8 array) of a sixel stream."""
    import numpy as np

    # ImageMagick 6 yields black when a decoded sixel goes straight to raw
    # RGB, so go through PNG first.
    png = magick("sixel:-", "png:-", data=stream)
    width, height = map(int, magick("png:-", "-format", "%w %h", "info:-", data=png).split())
    rgb = magick("png:-", "-depth", "8", "rgb:-", data=png)
    return width, height, np.frombuffer(rgb, np.uint8).reshape(height, width, 3)


def decoded_size(stream):
    """Width and height of a decoded stream, without its pixels."""
    width, height = magick("sixel:-", "-format", "%w %h", "info:-", data=stream).split()
    return int(width), int(height)


def psnr(a, b):
    import numpy as np

    mse = np.mean((np.asarray(a, np.float64) - np.asarray(b, np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0**2 / mse)
