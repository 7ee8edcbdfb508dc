"""Sixel encoding in worker processes, so that a program's own threads (an
event loop, a GUI, a heartbeat) keep running while frames are encoded: one
call of the extension holds the interpreter lock for its whole encode."""

from __future__ import annotations

import os
import pickle
import signal
import socket
import subprocess
import sys
import threading
from collections import deque
from collections.abc import Iterable, Iterator
from concurrent.futures import CancelledError, Future
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING

from tervalo import _worker
from tervalo._encode import WHITE, Colour, Size, rgb_pixels

if TYPE_CHECKING:
    from typing_extensions import Never, Self

    from tervalo._encode import Picture

__all__ = ["EncoderPool", "WorkerDied", "WorkerStartError"]

# A worker is a fresh interpreter running the module tervalo._worker, with
# this process's module path: it finds the same extension, and it never
# imports the caller's main module (so scripts need no `__main__` guard, and
# a script read from standard input works) nor more of tervalo than encoding
# needs (so it starts in a few tens of milliseconds). Nothing is forked from
# the caller, whose other threads may hold locks a forked copy would never
# see released.
_BOOT = ("import sys, runpy; sys.path[:0] = sys.argv[3:]; "
         "runpy.run_module('tervalo._worker', run_name='__main__', alter_sys=True)")
_NOT_AN_EXECUTOR = ("EncoderPool.submit takes a picture, not a function and its arguments: "
                    "with asyncio, `await pool.encode_async(picture)` instead of "
                    "loop.run_in_executor(pool, ...)")


class WorkerDied(RuntimeError):
    """The worker process encoding this picture ended before it was done
    (killed, e.g. by the kernel's out-of-memory killer, or stopped with the
    pool); the pool goes on with a new worker."""


class WorkerStartError(RuntimeError):
    """A worker process could not start; str() says why."""


@dataclass
class _Job:
    future: Future[bytes]
    pixels: bytes
    width: int
    height: int
    # Set, under the pool's lock, when its worker is killed to stop it.
    abandoned: bool = False


class _Worker:
    """One worker process and the thread that feeds it, one picture at a
    time: a worker that dies takes only the picture it held with it.

    That thread starts every process of its worker: the kernel kills a
    worker when the thread that started it ends, so a worker started by a
    caller's short-lived thread would die with that thread."""

    def __init__(self, pool: EncoderPool, number: int) -> None:
        self._pool = pool
        self._process: subprocess.Popen[bytes] | None = None
        self._socket: socket.socket | None = None
        self._ready = False
        self.job: _Job | None = None  # the picture being encoded, under the pool's lock
        self.launched = threading.Event()
        self.launch_error: Exception | None = None
        self.thread = threading.Thread(target=self._serve, daemon=True,
                                       name=f"tervalo-encoder-{number}")

    def launch(self) -> None:
        ours, theirs = socket.socketpair()
        path = [str(entry) or os.getcwd() for entry in sys.path]
        try:
            # A session of its own: Ctrl-C in the terminal reaches the
            # caller alone, which stops the workers itself.
            self._process = subprocess.Popen(
                [sys.executable, "-c", _BOOT, str(theirs.fileno()), str(os.getpid()), *path],
                pass_fds=(theirs.fileno(),), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, start_new_session=True)
        except BaseException:
            ours.close()
            raise
        finally:
            theirs.close()
        self._socket, self._ready = ours, False

    def kill(self) -> None:
        process = self._process
        if process is not None and process.poll() is None:
            process.kill()

    def _serve(self) -> None:
        try:
            self.launch()
        except Exception as error:  # noqa: BLE001  (raised by the pool's constructor)
            self.launch_error = error
            return
        finally:
            self.launched.set()
        try:
            while (job := self._pool._take(self)) is not None:
                if not job.future.set_running_or_notify_cancel():
                    healthy = True
                else:
                    try:
                        healthy = self._encode(job)
                    except Exception as error:  # noqa: BLE001  (the caller waits on the future)
                        if not job.future.done():
                            job.future.set_exception(error)
                        healthy = False
                with self._pool._changed:
                    self.job = None
                    # Killed to stop its picture, perhaps once the picture
                    # was done: either way that process is gone.
                    healthy = healthy and not job.abandoned
                if not healthy:
                    self._replace()
        finally:
            self.retire()

    def _encode(self, job: _Job) -> bool:
        """Sends the job's picture and settles its future; False if this
        worker's process must be replaced."""
        failure: Exception
        try:
            reply = self._exchange(job)
        except WorkerStartError as error:
            failure = error
        except (OSError, EOFError):
            how = self._death()
            failure = WorkerDied(
                "the pool was stopped while this picture was encoded" if self._pool._stopped
                else f"the worker process encoding this picture {how}; the pool started another")
        else:
            if reply[:1] == b"o":
                job.future.set_result(reply[1:])
            else:
                job.future.set_exception(pickle.loads(reply[1:]))
            return True
        job.future.set_exception(CancelledError() if job.abandoned else failure)
        return False

    def _exchange(self, job: _Job) -> bytes:
        if self._socket is None or self._process is None or self._process.poll() is not None:
            # Killed while it had nothing to do, or not restarted: no
            # picture of anyone's was lost, and this one goes to a new one.
            self.retire()
            if self._pool._stopped:
                raise EOFError("the pool was stopped")
            try:
                self.launch()
            except OSError as error:
                raise WorkerStartError(f"could not start a worker process: {error}") from None
        assert self._socket is not None
        sock = self._socket.fileno()
        if not self._ready:
            self._handshake(sock)
        _worker.send(sock, _worker.SIZE.pack(job.width, job.height))
        _worker.send(sock, job.pixels)
        status = _worker.receive(sock)
        return status + _worker.receive(sock) if status == b"o" else status

    def _handshake(self, sock: int) -> None:
        try:
            hello = _worker.receive(sock)
        except (OSError, EOFError):
            if self._pool._stopped:
                raise
            raise WorkerStartError(f"a worker process {self._death()} before it was ready "
                                   "(its error, if any, is on standard error)") from None
        if hello != _worker.READY:
            raise WorkerStartError("a worker process could not start: "
                                   f"{hello[1:].decode(errors='replace')}")
        self._ready = True

    def _death(self) -> str:
        """How the process ended ("was killed by SIGKILL ..."), once it has."""
        process = self._process
        assert process is not None
        self._close_socket()  # a worker still alive then ends too
        try:
            # It closed its end of the socket: it is all but gone.
            status = process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            return "stopped answering and was killed"
        if status < 0:
            try:
                name = signal.Signals(-status).name
            except ValueError:
                name = f"signal {-status}"
            how = f"was killed by {name}"
            if -status == signal.SIGKILL:
                how += " (as the kernel's out-of-memory killer does)"
        else:
            how = f"exited with status {status}"
        return how

    def _replace(self) -> None:
        self.retire()
        if not self._pool._stopped:
            try:
                self.launch()
            except OSError:
                pass  # tried again, and the error reported, with the next picture

    def retire(self) -> None:
        """Closes the socket, which ends an idle worker, and waits for it; one
        never used is killed rather than waited for while it starts."""
        self._close_socket()
        if self._process is not None:
            if self._pool._stopped or not self._ready:
                self.kill()
            self._process.wait()

    def _close_socket(self) -> None:
        if self._socket is not None:
            self._socket.close()
            self._socket = None


class EncoderPool:
    """A pool of processes that encode pictures into sixel streams.

    Images are converted to packed RGB in the calling process (cheap next to
    the encode), so whatever encode() takes is accepted, nothing of the
    caller's needs to be picklable, and a bad image is refused at submit().

    The workers are fresh interpreters that import only the extension: no
    `if __name__ == "__main__":` guard is needed. On Linux they are killed
    when the program ends, however it ends (a signal, SIGKILL included, an
    exception, its normal end with the pool still open), and they never
    write to its terminal. A worker that dies fails only the picture it was
    encoding and is replaced. Leaving a `with` block on an exception (Ctrl-C
    included) cancels what is queued and kills the workers at once; leaving
    it normally waits for what was submitted."""

    def __init__(self, processes: int | None = None) -> None:
        if processes is not None and (isinstance(processes, bool) or not isinstance(processes, int)
                                      or processes < 1):
            raise ValueError(f"processes must be an int of at least 1 or None, got {processes!r}")
        if not sys.executable:
            raise WorkerStartError("EncoderPool starts workers with this Python, but "
                                   "sys.executable is empty (an embedded interpreter); "
                                   "encode with tervalo.encode instead")
        self.processes = processes or os.cpu_count() or 1
        self._jobs: deque[_Job] = deque()
        self._changed = threading.Condition()
        self._closed = False
        self._stopped = False
        self._workers = [_Worker(self, number) for number in range(self.processes)]
        try:
            # All started before any is waited for: they boot side by side.
            for worker in self._workers:
                worker.thread.start()
            for worker in self._workers:
                worker.launched.wait()
        except BaseException:
            self.stop()
            raise
        for worker in self._workers:
            if worker.launch_error is not None:
                self.stop()
                raise worker.launch_error

    def submit(self, image: Picture, *unexpected: Never, background: Colour = WHITE,
               max_size: Size | None = None) -> Future[bytes]:
        """A future of encode(image, ...)'s stream. TypeError and ValueError
        for an image encode() refuses are raised here, at once; what the
        encode itself raises (MemoryError) comes through the future, and
        WorkerDied if its worker process was killed.

        As with any concurrent.futures future, cancel() drops a picture still
        queued, but returns False once its encode is under way, and the
        stream still comes; encode_async's task stops a running encode when
        cancelled, and stop() stops them all."""
        if unexpected or callable(image):
            raise TypeError(_NOT_AN_EXECUTOR)
        return self.submit_pixels(
            *rgb_pixels(image, background=background, max_size=max_size))

    def submit_pixels(self, pixels: bytes, width: int, height: int) -> Future[bytes]:
        """A future of the stream of width x height packed RGB, as encode_pixels
        writes it: for pictures already rendered to a size (moving pictures)."""
        future: Future[bytes] = Future()
        with self._changed:
            if self._closed:
                raise RuntimeError("cannot submit to an EncoderPool that was shut down")
            self._jobs.append(_Job(future, pixels, width, height))
            self._changed.notify()
        return future

    async def encode_async(self, image: Picture, *, background: Colour = WHITE,
                           max_size: Size | None = None) -> bytes:
        """await-able encode(image, ...) for asyncio: the event loop runs on
        while a worker encodes. Cancelling the task drops the picture if it
        is still queued, and stops its encode if it is under way: that
        worker is killed and another started in its place."""
        import asyncio  # here: its import would be a good part of tervalo's

        future = self.submit(image, background=background, max_size=max_size)
        try:
            return await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            if not future.cancel():
                self._abandon(future)
            raise

    def map(self, images: Iterable[Picture], *, background: Colour = WHITE,
            max_size: Size | None = None) -> Iterator[bytes]:
        """The streams of `images`, in their order. Images are taken from the
        iterable as workers free up, a few per process ahead, so a long
        generator of frames is not all held in memory at once; the
        iteration starts with the first next(). An image encode() refuses
        raises in its place, after the streams of the images before it."""
        ahead = 2 * self.processes
        pending: deque[Future[bytes]] = deque()
        try:
            for image in images:
                try:
                    future = self.submit(image, background=background, max_size=max_size)
                except (TypeError, ValueError):
                    while pending:
                        yield pending.popleft().result()
                    raise
                pending.append(future)
                if len(pending) >= ahead:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        finally:
            # A caller that stops early: what was queued behind is not wanted.
            for future in pending:
                future.cancel()

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Takes no more pictures; the workers end once the queued ones are
        encoded (or cancelled, with `cancel_futures`). `wait`: return only
        then."""
        with self._changed:
            self._closed = True
            if cancel_futures:
                self._cancel_queued()
            self._changed.notify_all()
        if wait:
            self._join()

    def stop(self) -> None:
        """Cancels what is queued and kills the workers at once; pictures
        being encoded fail with WorkerDied."""
        with self._changed:
            self._closed = self._stopped = True
            self._cancel_queued()
            self._changed.notify_all()
        for worker in self._workers:
            worker.kill()
        self._join()

    def close(self) -> None:
        self.shutdown()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is None:
            self.shutdown()
        else:
            # Whatever went wrong (Ctrl-C, an exception), the program wants
            # out now, not after the pictures still in the workers.
            self.stop()

    def __repr__(self) -> str:
        return f"EncoderPool(processes={self.processes})"

    def _take(self, worker: _Worker) -> _Job | None:
        """The next queued picture for `worker`, which holds it until it
        is done; None once the pool is shut down and nothing is left."""
        with self._changed:
            while not self._jobs and not self._closed:
                self._changed.wait()
            worker.job = self._jobs.popleft() if self._jobs and not self._stopped else None
            return worker.job

    def _abandon(self, future: Future[bytes]) -> None:
        """Stops the encode of the running `future` by killing its worker,
        which is then replaced; its future fails with CancelledError."""
        with self._changed:
            for worker in self._workers:
                job = worker.job
                if job is not None and job.future is future and not future.done():
                    job.abandoned = True
                    worker.kill()

    def _cancel_queued(self) -> None:
        while self._jobs:
            self._jobs.popleft().future.cancel()

    def _join(self) -> None:
        for worker in self._workers:
            if worker.thread.is_alive() and worker.thread is not threading.current_thread():
                worker.thread.join()
