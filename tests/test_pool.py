"""tervalo.EncoderPool: the streams its workers write are the ones encode()
writes in this process, in order, through futures asyncio can wait on;
refused images are refused at submit(). Its workers are real processes: a
script needs no guard, a killed worker costs only its picture, leaving the
pool on an exception stops them at once, and they end with the program,
silently."""

import asyncio
import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import Future
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import tervalo
from tervalo import EncoderPool
from tervalo.pool import WorkerDied, WorkerStartError

pytestmark = pytest.mark.tervalo


@pytest.fixture(scope="module")
def pool():
    # One pool for the module: workers start once.
    with EncoderPool(processes=2) as pool:
        yield pool


def frames(count=6):
    """Frames that differ from each other (a band moves), of mixed kinds."""
    out = []
    for k in range(count):
        rgb = np.zeros((14, 20, 3), np.uint8)
        rgb[:, :] = (20 * k, 200, 40)
        rgb[:, 2 * k:2 * k + 3] = (250, 20, 20)
        out.append(rgb if k % 2 else Image.fromarray(rgb))
    return out


@pytest.mark.parametrize("options", [{}, {"background": "#0000ff"}, {"max_size": (9, None)}])
def test_submit_matches_encode_here(pool, options):
    rgba = np.zeros((12, 16, 4), np.uint8)
    rgba[:, :8] = (255, 0, 0, 255)
    rgba[:, 8:] = (0, 255, 0, 100)
    future = pool.submit(rgba, **options)
    assert isinstance(future, Future)
    assert future.result(timeout=60) == tervalo.encode(rgba, **options)


def test_map_keeps_the_order(pool):
    images = frames()
    expected = [tervalo.encode(image) for image in images]
    assert len(set(expected)) == len(expected)  # else order would not show
    assert list(pool.map(iter(images))) == expected


def test_map_takes_from_a_generator_as_it_goes(pool):
    # More frames than the look-ahead, from a generator that counts.
    taken = []

    def generate():
        for k, frame in enumerate(frames(12)):
            taken.append(k)
            yield frame

    streams = pool.map(generate())
    assert taken == []  # nothing before the first next()
    first = next(streams)
    assert first == tervalo.encode(frames(1)[0])
    assert len(taken) < 12
    streams.close()


def test_submit_from_asyncio():
    async def main(pool, images):
        wrapped = asyncio.gather(*(asyncio.wrap_future(pool.submit(i)) for i in images))
        awaited = asyncio.gather(*(pool.encode_async(i, max_size=(9, None)) for i in images))
        with pytest.raises(TypeError, match=r"await pool.encode_async\(picture\)"):
            await asyncio.get_running_loop().run_in_executor(pool, tervalo.encode, images[0])
        return await wrapped, await awaited

    images = frames(3)
    with EncoderPool(processes=1) as pool:
        assert asyncio.run(main(pool, images)) == (
            [tervalo.encode(i) for i in images], [tervalo.encode(i, max_size=(9, None))
                                                  for i in images])


@pytest.mark.parametrize("bad, error, message", [
    (np.zeros((4, 4), np.int64), TypeError, "dtype int64"),
    (b"\x00\x00\x00", TypeError, "sixel_encode_bytes"),
    (np.full((4, 4), 2.0), ValueError, "values from 2.0 to 2.0"),
])
def test_refused_images_raise_at_submit(pool, bad, error, message):
    with pytest.raises(error, match=message):
        pool.submit(bad)


def test_a_refused_image_raises_in_its_place_in_map(pool):
    # Within the look-ahead (4 with 2 processes): it is converted before the
    # streams before it are taken, and still raises only after them.
    images = frames(3)
    images.insert(2, np.zeros((4, 4), np.int64))
    streams = pool.map(images)
    assert [next(streams), next(streams)] == [tervalo.encode(i) for i in images[:2]]
    with pytest.raises(TypeError, match="dtype int64"):
        next(streams)


def test_workers_do_not_copy_the_callers_memory(monkeypatch):
    # Forked from this process, a worker would start with a copy of its
    # memory as it stands, locks other threads hold included. A function
    # patched here shows which: a worker started afresh encodes for real.
    import tervalo._sixel

    monkeypatch.setattr(tervalo._sixel, "encode", lambda *args, **kwargs: b"patched")
    image = frames(1)[0]
    with EncoderPool(processes=1) as pool:
        stream = pool.submit(image).result(timeout=60)
    monkeypatch.undo()
    assert stream == tervalo.encode(image)


@pytest.mark.parametrize("processes", [0, -1, 1.5, True, "2"])
def test_bad_process_counts_are_refused(processes):
    with pytest.raises(ValueError, match="processes must be an int of at least 1"):
        EncoderPool(processes)


def test_a_closed_pool_takes_no_more_work():
    pool = EncoderPool(processes=1)
    pool.close()
    with pytest.raises(RuntimeError):
        pool.submit(frames(1)[0])


@pytest.mark.parametrize("how", ["file", "stdin"])
def test_a_script_needs_no_main_guard(tmp_path, how):
    script = ("import numpy as np, tervalo\n"
              "picture = np.full((8, 8, 3), 90, np.uint8)\n"
              "with tervalo.EncoderPool(2) as pool:\n"
              "    print(list(pool.map([picture] * 3)) == [tervalo.encode(picture)] * 3)\n")
    (tmp_path / "plot.py").write_text(script)
    argv, given = ([sys.executable, "plot.py"], None) if how == "file" else (
        [sys.executable, "-"], script)
    run = subprocess.run(argv, input=given, cwd=tmp_path, capture_output=True, text=True,
                         timeout=120, check=False)
    assert (run.returncode, run.stdout, run.stderr) == (0, "True\n", "")


def test_a_worker_that_cannot_start_says_why(tmp_path, monkeypatch):
    # The installed package, but for a native module that fails to load.
    real = os.path.dirname(tervalo.__file__)
    (tmp_path / "tervalo").mkdir()
    (tmp_path / "tervalo" / "__init__.py").write_text(
        f"__path__.append({real!r})\n"
        f"exec(compile(open({real!r} + '/__init__.py').read(), 'tervalo', 'exec'))\n")
    (tmp_path / "tervalo" / "_sixel.py").write_text(
        "raise ImportError('built for another Python')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with EncoderPool(processes=1) as pool:
        with pytest.raises(WorkerStartError, match="could not start: ImportError: built for "
                                                   "another Python"):
            pool.submit(frames(1)[0]).result(timeout=60)


def test_a_killed_worker_fails_only_its_picture():
    # Noise: diffused over a full palette, a good fraction of a second each.
    pictures = list(np.random.default_rng(0).integers(0, 256, (4, 240, 320, 3), np.uint8))
    expected = [tervalo.encode(p) for p in pictures]
    with EncoderPool(processes=2) as pool:
        streams = pool.map(pictures)
        got = [next(streams)]
        behind = pool.submit(pictures[1])  # queued behind the map's pictures
        victim = pool._workers[0]._process.pid
        os.kill(victim, signal.SIGKILL)
        with pytest.raises(WorkerDied, match="killed by SIGKILL .*the pool started another"):
            got.extend(streams)
        assert got == expected[:len(got)] and len(got) < len(pictures)
        # The other worker's picture, and every later one, come through,
        # even with the other worker killed while it had nothing to do.
        assert behind.result(timeout=60) == expected[1]
        pool._workers[1]._process.kill()
        pool._workers[1]._process.wait()
        assert list(pool.map(pictures)) == expected
        assert victim not in [worker._process.pid for worker in pool._workers]


STOPPED = """
import sys, numpy as np, tervalo
picture = np.random.default_rng(0).integers(0, 256, (960, 1280, 3), np.uint8)
futures = []
try:
    with tervalo.EncoderPool(1) as pool:
        futures = [pool.submit(picture) for _ in range(3)]
        while not futures[0].running():
            pass
        print(pool._workers[0]._process.pid, flush=True)
        if sys.argv[1] == "raise":
            raise ValueError("the program's own error")
        futures[-1].result()
except (KeyboardInterrupt, ValueError) as error:
    print(type(error).__name__, *("cancelled" if f.cancelled() else type(f.exception()).__name__
                                  for f in futures))
"""


@pytest.mark.parametrize("how", ["interrupt", "raise"])
def test_leaving_on_an_exception_stops_the_workers_at_once(how):
    # The first picture's encode takes seconds: the pool does not wait for it.
    child = subprocess.Popen([sys.executable, "-c", STOPPED, how], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    worker = int(child.stdout.readline())
    if how == "interrupt":  # inside the block, printing or waiting
        child.send_signal(signal.SIGINT)
    # Through the same buffered files as the first line: communicate() reads
    # the pipes themselves, and would miss what readline() read ahead.
    out, errors = child.stdout.read(), child.stderr.read()
    child.wait(timeout=120)
    error = "KeyboardInterrupt" if how == "interrupt" else "ValueError"
    assert (out, errors) == (f"{error} WorkerDied cancelled cancelled\n", "")
    with pytest.raises(ProcessLookupError):  # killed, and waited for
        os.kill(worker, 0)


def cpu_seconds(pid):
    """None once it ended, a zombie too (whoever inherits a worker may be slow to reap it)."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    except FileNotFoundError:
        return None
    return None if fields[0] in "ZX" else (int(fields[11]) + int(fields[12])) / os.sysconf(
        "SC_CLK_TCK")


def within(seconds, condition):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


LEFT_RUNNING = """
import sys, numpy as np, tervalo
picture = np.random.default_rng(0).integers(0, 256, (1080, 1920, 3), np.uint8)
pool = tervalo.EncoderPool(2)  # never closed
futures = [pool.submit(picture) for _ in range(6)]
print(*(worker._process.pid for worker in pool._workers), flush=True)
sys.stdin.read()
if sys.argv[1] == "raise":
    raise ValueError("the program's own error")
"""


@pytest.mark.parametrize("how", ["SIGTERM", "SIGKILL", "raise", "exit"])
def test_workers_end_with_their_program_and_say_nothing(how):
    with subprocess.Popen([sys.executable, "-c", LEFT_RUNNING, how], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as child:
        workers = [int(pid) for pid in child.stdout.readline().split()]
        # Far more CPU than a worker's start-up: both are inside an encode.
        assert within(120, lambda: min(cpu_seconds(w) or 0 for w in workers) > 0.3)
        if how.startswith("SIG"):
            child.send_signal(getattr(signal, how))
        child.stdin.close()
        child.wait(timeout=60)
        assert within(1, lambda: all(cpu_seconds(w) is None for w in workers))
        errors = child.stderr.read()  # its end comes once the workers, which share it, are gone
    assert errors.count("Traceback") == (how == "raise")
    assert errors == "" or errors.endswith("ValueError: the program's own error\n")


@pytest.mark.parametrize("code", ["EncoderPool(1).shutdown()", "with EncoderPool(1): pass",
                                  "with EncoderPool() as pool: list(pool.map([]))"])
def test_a_pool_that_did_nothing_closes_silently(code):
    run = subprocess.run([sys.executable, "-c", f"from tervalo import EncoderPool\n{code}"],
                         capture_output=True, text=True, timeout=60, check=False)
    assert (run.returncode, run.stdout, run.stderr) == (0, "", "")


def test_cancelling_a_running_encode_async_stops_its_encode():
    large = np.random.default_rng(0).integers(0, 256, (2160, 3840, 3), np.uint8)
    small = frames(1)[0]

    async def cancel_while_encoding(pool, worker):
        assert await pool.encode_async(small) == tervalo.encode(small)
        assert pool._workers[0]._process.pid == worker  # never replaced
        idle = cpu_seconds(worker)
        task = asyncio.ensure_future(pool.encode_async(large))  # seconds of encoding
        while cpu_seconds(worker) < idle + 0.3:
            await asyncio.sleep(0.005)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        return task.cancelled()

    made = []

    def make():  # a pool made by a thread that ends: the kernel kills a worker with its
        made.append(EncoderPool(1))  # parent thread, once it asked (here, it is ready)
        made[0].submit(small).result(timeout=60)

    maker = threading.Thread(target=make)
    maker.start()
    maker.join()
    with made[0] as pool:
        worker = pool._workers[0]._process.pid
        assert asyncio.run(cancel_while_encoding(pool, worker))
        assert within(5, lambda: cpu_seconds(worker) is None)
        assert pool.submit(small).result(timeout=60) == tervalo.encode(small)
