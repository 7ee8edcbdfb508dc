"""The two corrections tervalo.encode makes to libsixel's stream, knowing the
pixels it was encoded from. The pixel data (which palette entry each pixel
is drawn in, diffusion included) stays libsixel's; only these change:

- the palette: libsixel keeps its entries on a 5-bit grid (white is written
  as 97 %, drawn 247), so each entry becomes the mean of the original pixels
  drawn in it, read back from the pixel data, in the nearest whole percent.
  For a fixed assignment of pixels to entries that mean is the colour with
  the least squared error, so no picture can come out further from its own
  pixels than libsixel's palette draws it. NumPy reads any picture back;
  without it (Pillow images) plain Python reads back the flat pictures,
  those libsixel does not diffuse, and a photo keeps libsixel's palette.
- pictures under six rows: libsixel starts their pixel data with a graphics
  newline, which draws them one band (six rows) low. It is dropped."""

from __future__ import annotations

import functools
import re
from typing import TYPE_CHECKING, Any, cast

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    from PIL import Image as PILImage

# The stream as libsixel writes it: introducer and raster attributes, then
# one colour definition per palette entry; the pixel data follows.
_HEADER = re.compile(rb'(\x1bPq"1;1;\d+;\d+)((?:#\d+;2;\d+;\d+;\d+)*)')
_ENTRY = re.compile(rb"#(\d+);2;(\d+);(\d+);(\d+)")
_TERMINATOR = b"\x1b\\"
_BAND = 6
# Read back about this many pixels: every band of smaller pictures, evenly
# spaced bands of larger ones. Measured on plots, charts, text and photos up
# to 1920 x 1080, means of that many pixels draw within 0.15 dB of means of
# all of them, and the read-back stays within a few per cent of libsixel's
# time. Diffused pictures (a full palette) are read back in at least one
# band in eight: a 1920 x 1080 photo-like one drew worse than libsixel's
# palette from one band in 32, and its encode is ten times as slow.
SAMPLE_PIXELS = 1 << 16
DIFFUSED_SHARE = 8
# Without NumPy, about this much pixel data at most (a few milliseconds).
PLAIN_BYTES = 1 << 13

# Byte classes of the pixel data.
_DIGIT, _SELECT, _REPEAT, _RETURN, _NEWLINE, _SIXEL, _OTHER = range(7)


def corrected(stream: bytes, pixels: bytes, width: int, height: int) -> bytes:
    """libsixel's `stream` of the width x height packed RGB `pixels`, with
    the palette in the picture's own colours and drawn in place. A stream of
    any other shape is returned as it is."""
    header = _HEADER.match(stream)
    if header is None or not stream.endswith(_TERMINATOR):
        return stream
    body = stream[header.end():-len(_TERMINATOR)]
    if height < _BAND and body.startswith(b"-"):
        body = body[1:]
    palette = _own_palette(header.group(2), body, pixels, width, height)
    return b"".join((header.group(1), palette, body, _TERMINATOR))


def _own_palette(definitions: bytes, body: bytes, pixels: bytes, width: int,
                 height: int) -> bytes:
    entries = [tuple(map(int, e)) for e in _ENTRY.findall(definitions)]
    if [e[0] for e in entries] != list(range(len(entries))):
        return definitions
    means = _read_back_means(body, pixels, width, height, len(entries))
    if means is None:
        return definitions
    return b"".join(b"#%d;2;%d;%d;%d" % (k, *(e[1:] if mean is None else map(_percent, mean)))
                    for k, (e, mean) in enumerate(zip(entries, means)))


Means = list[tuple[float, float, float] | None]


def _read_back_means(body: bytes, pixels: bytes, width: int, height: int,
                     count: int) -> Means | None:
    """Per entry, the mean RGB of the sampled pixels drawn in it, or None
    for an entry none is drawn in; None if the pixel data does not read
    back, or cannot be read back here."""
    try:
        wanted = max(SAMPLE_PIXELS, width * height // DIFFUSED_SHARE) if count >= 256 \
            else SAMPLE_PIXELS
        return _means_by_numpy(*_sample_bands(body, width, height, wanted), pixels, width,
                               height, count)
    except ImportError:
        pass
    # In plain Python only the pictures libsixel gives fewer than 256
    # entries (no diffusion: flat colours), from fewer bands. A photo's
    # tokens would cost a good part of its encode, for a dB or so.
    if count >= 256:
        return None
    try:
        return _means_by_pillow(*_sample_bands(body, width, height, SAMPLE_PIXELS,
                                               PLAIN_BYTES), pixels,
                                width, count)
    except ImportError:
        return None


def _percent(mean: float) -> int:
    """The whole percent a decoder draws closest to an 8-bit mean: decoders
    turn p into (255 p + 50) // 100."""
    guess = round(mean * 100 / 255)
    return min((p for p in (guess - 1, guess, guess + 1) if 0 <= p <= 100),
               key=lambda p: abs((255 * p + 50) // 100 - mean))


def _means_by_numpy(bands: list[bytes], rows: list[int], pixels: bytes, width: int,
                    height: int, count: int) -> Means | None:
    import numpy as np

    indices = _indices(b"-".join(bands), width, len(bands), count)
    if indices is None:
        return None
    drawn = indices[:len(rows)].ravel()
    if (drawn >= count).any():  # a sampled pixel left undrawn
        return None
    picture = np.frombuffer(pixels, np.uint8, count=width * height * 3).reshape(height, width, 3)
    rgb = picture[rows].reshape(-1, 3)
    # Flat pictures come in long runs of one entry: summing each run first
    # is several times faster there. Photos have few runs to speak of.
    starts = np.flatnonzero(np.concatenate(([True], drawn[1:] != drawn[:-1])))
    weights = None
    if 4 * len(starts) < len(drawn):
        weights = np.diff(starts, append=len(drawn))
        rgb = np.add.reduceat(rgb, starts, axis=0, dtype=np.int64)
        drawn = drawn[starts]
    pixels_in = np.bincount(drawn, weights=weights, minlength=count)
    sums = np.stack([np.bincount(drawn, weights=rgb[:, c], minlength=count)
                     for c in range(3)], axis=1)
    return [(float(r / n), float(g / n), float(b / n)) if n else None
            for (r, g, b), n in zip(sums, pixels_in)]


def _means_by_pillow(bands: list[bytes], rows: list[int], pixels: bytes, width: int,
                     count: int) -> Means | None:
    """_means_by_numpy's means with Pillow's colour counts, the bands read
    token by token."""
    from PIL import Image

    indices = []
    for band in bands:
        band_rows = _band_indices(band, width, count)
        if band_rows is None:
            return None
        indices.append(band_rows)
    size = (width, len(rows))
    index = Image.frombytes("L", size, b"".join(indices)[:width * len(rows)])
    line = 3 * width
    red, green, blue = Image.frombytes("RGB", size, b"".join(
        pixels[line * y:line * (y + 1)] for y in rows)).split()
    # The sums of each entry's pixels from the counts of (entry, value)
    # pairs: for flat pictures, few. 255 is a pixel left undrawn.
    drawn = [0] * 256
    sums = [[0, 0, 0] for _ in range(256)]
    for number, (entry, r, g) in _colour_counts(Image.merge("RGB", (index, red, green))):
        drawn[entry] += number
        sums[entry][0] += number * r
        sums[entry][1] += number * g
    for number, (entry, b) in _colour_counts(Image.merge("LA", (index, blue))):
        sums[entry][2] += number * b
    if drawn[255]:  # a sampled pixel left undrawn
        return None
    return [(r / n, g / n, b / n) if n else None for (r, g, b), n in zip(sums[:count], drawn)]


def _colour_counts(image: PILImage.Image) -> list[tuple[int, tuple[int, ...]]]:
    """(count, colour) of every colour of a multi-band image."""
    colours = image.getcolors(image.width * image.height)  # never None: as many as pixels
    return cast("list[tuple[int, tuple[int, ...]]]", colours or [])


_SIXELS = bytes(range(ord("?"), ord("~") + 1))
_REPEAT_RUN = re.compile(rb"!(\d+)([?-~])")
_SELECTION = re.compile(rb"(\d+)(.*)", re.DOTALL)
# Per band row, each sixel as 1 where it draws that row and 0 elsewhere.
_ROW_MASKS = [bytes(int(byte in _SIXELS and (byte - ord("?")) >> row & 1) for byte in range(256))
              for row in range(_BAND)]
# Drawn bytes hold entry + 1, so that 0 is a pixel nothing draws.
_UNSHIFT = bytes([255, *range(255)])


def _band_indices(band: bytes, width: int, count: int) -> bytes | None:
    """The palette index of each pixel of one band, its six rows one after
    the other; 255 where no sixel draws. Plain Python at the speed of its
    bytes and integers: a row is one integer, a byte a pixel, and each run
    of one colour's sixels draws into it its 0/1 mask of that row times
    entry + 1 (a pixel is drawn once, so no byte carries)."""
    rows, drawn, x = [0] * _BAND, 0, 0
    before, *selections = band.split(b"#")
    if before:
        return None
    for selection in selections:
        parsed = _SELECTION.fullmatch(selection)
        if parsed is None or int(parsed[1]) >= count:
            return None
        colour = int(parsed[1]) + 1
        for part, run in enumerate(_REPEAT_RUN.sub(lambda m: m[2] * int(m[1]),
                                                   parsed[2]).split(b"$")):
            x = 0 if part else x
            if run.translate(None, _SIXELS) or x + len(run) > width:
                return None
            for row, mask in enumerate(_ROW_MASKS):
                bits = run.translate(mask)
                drawn += bits.count(1)
                rows[row] |= int.from_bytes(bits, "little") * colour << 8 * x
            x += len(run)
    pixels = b"".join(row.to_bytes(width, "little") for row in rows)
    if len(pixels) - pixels.count(0) != drawn:  # a pixel drawn twice
        return None
    return pixels.translate(_UNSHIFT)


def _sample_bands(body: bytes, width: int, height: int, wanted: int,
                  most_bytes: int | None = None) -> tuple[list[bytes], list[int]]:
    """The bands of pixel data to read back (about `wanted` pixels, or about
    `most_bytes` of data if that is fewer), each starting with the colour
    selected where it starts (a selection holds across bands), and the
    picture rows they cover, in order."""
    bands = body.split(b"-")
    step = max(1, -(-width * height // wanted), -(-len(body) // (most_bytes or 1 << 62)))
    chosen = range(min(step // 2, len(bands) - 1), len(bands), step)
    sample, selected = [], b"#0"
    for number, band in enumerate(bands):
        if number in chosen:
            sample.append(selected + band)
        last = band.rfind(b"#")
        if last >= 0:
            selected = re.match(rb"#\d*", band[last:]).group()  # type: ignore[union-attr]
    rows = [y for b in chosen for y in range(_BAND * b, min(_BAND * b + _BAND, height))]
    return sample, rows


@functools.cache
def _byte_classes() -> npt.NDArray[np.uint8]:
    import numpy as np

    table: npt.NDArray[np.uint8] = np.full(256, _OTHER, np.uint8)
    table[ord("0"):ord("9") + 1] = _DIGIT
    table[ord("#")], table[ord("!")] = _SELECT, _REPEAT
    table[ord("$")], table[ord("-")] = _RETURN, _NEWLINE
    table[ord("?"):ord("~") + 1] = _SIXEL
    return table


def _indices(data: bytes, width: int, bands: int, count: int) -> npt.NDArray[np.uint16] | None:
    """The palette index of every pixel of `bands` bands of sixel pixel data
    (colour selections, repeats, carriage returns, newlines, sixels), one
    row per pixel row; `count` where no sixel draws. Vectorised over the
    data's tokens: a token is a byte that is no digit, with the number that
    follows it. None for data that is not such pixel data."""
    import numpy as np

    raw = np.frombuffer(data, np.uint8)
    classes = _byte_classes()[raw]
    heads = np.flatnonzero(classes != _DIGIT)
    kind = classes[heads]
    # The digits of a token run to the next token (the data ends in one).
    digits = np.diff(heads, append=len(raw)) - 1
    numbered = (kind == _SELECT) | (kind == _REPEAT)
    if (kind == _OTHER).any() or (numbered != (digits > 0)).any() or (
            digits > 9).any() or len(heads) == 0 or kind[0] != _SELECT:
        return None
    tokens = np.flatnonzero(numbered)
    value = np.zeros(len(tokens), np.int64)
    for place in range(int(digits.max(initial=0))):
        has = digits[tokens] > place
        value = np.where(has, value * 10 + raw[np.minimum(heads[tokens] + 1 + place,
                                                          len(raw) - 1)] - ord("0"), value)
    number = np.zeros(len(heads), np.int64)
    number[tokens] = value
    repeats = np.flatnonzero(kind == _REPEAT)
    if len(repeats) and (repeats[-1] + 1 >= len(heads) or (kind[repeats + 1] != _SIXEL).any()):
        return None
    # Columns each token advances: 1 for a sixel, the repeat count for the
    # sixel after a repeat.
    advance = (kind == _SIXEL).astype(np.int64)
    advance[repeats + 1] = number[repeats]
    colour = number[np.flatnonzero(kind == _SELECT)][np.cumsum(kind == _SELECT) - 1]
    band = np.cumsum(kind == _NEWLINE)
    end = np.cumsum(advance)
    start = end - advance - np.maximum.accumulate(
        np.where((kind == _RETURN) | (kind == _NEWLINE), end, 0))
    bits = raw[heads] - np.uint8(ord("?"))
    drawing = np.flatnonzero((kind == _SIXEL) & (bits > 0))
    if band[-1] != bands - 1 or (end - np.maximum.accumulate(np.where(
            (kind == _RETURN) | (kind == _NEWLINE), end, 0)) > width).any() or (
            colour[drawing] >= count).any():
        return None
    return _paint(width, bands, count, start[drawing], advance[drawing],
                  colour[drawing], band[drawing], bits[drawing])


def _paint(width: int, bands: int, count: int, *runs: npt.NDArray[Any]
           ) -> npt.NDArray[np.uint16]:
    """Index rows of runs (first column, columns, colour, band, sixel bits)."""
    import numpy as np

    start, columns, colour, band, bits = runs
    total = int(columns.sum())
    # One element per column a run draws: its offset in the band's top row.
    first = band * (_BAND * width) + start - (np.cumsum(columns) - columns)
    where = np.repeat(first, columns) + np.arange(total)
    colours = np.repeat(colour.astype(np.uint16), columns)
    sixels = np.repeat(bits, columns)
    out = np.full(bands * _BAND * width, count, np.uint16)
    for row in range(_BAND):
        drawn = np.flatnonzero(sixels & np.uint8(1 << row))
        out[where[drawn] + row * width] = colours[drawn]
    result: npt.NDArray[np.uint16] = out.reshape(bands * _BAND, width)
    return result
