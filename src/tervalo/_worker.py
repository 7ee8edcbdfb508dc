"""The program an EncoderPool's worker process runs, and the framing of what
goes between it and the pool.

A worker is a fresh interpreter that runs this module (never the caller's
main module, nor more of tervalo than encoding needs, so it starts in tens
of milliseconds): it imports the encoder, says it is ready, then encodes one
picture at a time. Each message on the socket is its length (8 bytes,
little-endian) and its bytes:

    pool -> worker:  width and height (two int32), then the packed RGB pixels
    worker -> pool:  b"ready" once, or b"!" and why it cannot start;
                     then per picture b"o" and the stream, or b"e" and the
                     pickled exception the encode raised
"""

from __future__ import annotations

import os
import struct
import sys

_LENGTH = struct.Struct("<Q")
SIZE = struct.Struct("<ii")
READY = b"ready"
_CHUNK = 1 << 20


def send(fd: int, data: bytes) -> None:
    _write_all(fd, _LENGTH.pack(len(data)))
    _write_all(fd, data)


def receive(fd: int) -> bytes:
    """The next message; EOFError if the other end is gone."""
    (length,) = _LENGTH.unpack(_exactly(fd, _LENGTH.size))
    return _exactly(fd, length)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _exactly(fd: int, length: int) -> bytes:
    chunks = []
    while length:
        chunk = os.read(fd, min(length, _CHUNK))
        if not chunk:
            raise EOFError("the other end of the pool's socket closed")
        chunks.append(chunk)
        length -= len(chunk)
    # bytes, not bytearray: the extension takes bytes only.
    return chunks[0] if len(chunks) == 1 else b"".join(chunks)


def main(fd: int) -> None:
    try:
        from tervalo._encode import encode_pixels
    except Exception as error:  # noqa: BLE001  (sent to the pool, which raises it)
        send(fd, b"!" + f"{type(error).__name__}: {error}".encode())
        return
    send(fd, READY)
    while True:
        try:
            width, height = SIZE.unpack(receive(fd))
            pixels = receive(fd)
        except (EOFError, OSError):
            return  # the pool closed or went away: nothing more to do
        try:
            stream = encode_pixels(pixels, width, height)
        except Exception as error:  # noqa: BLE001  (MemoryError, raised by the future)
            import pickle

            send(fd, b"e" + pickle.dumps(error))
        else:
            send(fd, b"o")
            send(fd, stream)


if __name__ == "__main__":
    main(int(sys.argv[1]))
