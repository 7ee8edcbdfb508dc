"""The program an EncoderPool's worker process runs, and the framing of what
goes between it and the pool.

A worker is a fresh interpreter that runs this module (never the caller's
main module, nor more of tervalo than encoding needs, so it starts in tens
of milliseconds), given its end of the socket and the pool's process id: it
arranges to die with the pool's program, imports the encoder, says it is
ready, then encodes one picture at a time until the socket closes. Each
message on the socket is its length (8 bytes, little-endian) and its bytes:

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
_PR_SET_PDEATHSIG = 1  # <linux/prctl.h>


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


def _die_with(parent: int) -> bool:
    """Has the kernel kill this process when the thread that started it ends,
    as it does when the pool's program ends however it ends (a signal, an
    exception, its normal end): an encode holds the interpreter lock for
    seconds, so no thread of this process could notice in time, and a
    worker left behind would draw into the terminal after the prompt came
    back. False if the parent is already gone, before it could be asked."""
    if sys.platform.startswith("linux"):
        try:
            import ctypes
            import signal

            prctl = ctypes.CDLL(None).prctl
        except (ImportError, OSError, AttributeError):
            pass  # a Python without ctypes: the worker still ends when the pool closes
        else:
            # Variadic: each argument sized as the kernel reads it.
            prctl(ctypes.c_int(_PR_SET_PDEATHSIG), ctypes.c_ulong(signal.SIGKILL),
                  ctypes.c_ulong(0), ctypes.c_ulong(0), ctypes.c_ulong(0))
    return os.getppid() == parent


def main(fd: int, parent: int) -> None:
    if not _die_with(parent):
        return
    try:
        try:
            from tervalo._encode import encode_pixels
        except Exception as error:  # noqa: BLE001  (sent to the pool, which raises it)
            send(fd, b"!" + f"{type(error).__name__}: {error}".encode())
            return
        send(fd, READY)
        while True:
            width, height = SIZE.unpack(receive(fd))
            pixels = receive(fd)
            try:
                # One core each: the pool's other workers have the others.
                stream = encode_pixels(pixels, width, height, threads=1)
            except Exception as error:  # noqa: BLE001  (MemoryError, raised by the future)
                import pickle

                send(fd, b"e" + pickle.dumps(error))
            else:
                send(fd, b"o")
                send(fd, stream)
    except (EOFError, OSError):
        # The pool closed (before it needed this worker, perhaps) or its
        # program is gone: nobody is left to tell.
        return


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
