"""tervalo.EncoderPool: the streams its workers write are the ones encode()
writes in this process, in order, through futures asyncio can wait on;
refused images are refused at submit()."""

import asyncio
from concurrent.futures import Future

import numpy as np
import pytest
from PIL import Image

import tervalo
from tervalo import EncoderPool

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
        return await asyncio.gather(*(asyncio.wrap_future(pool.submit(i)) for i in images))

    images = frames(3)
    with EncoderPool(processes=1) as pool:
        assert asyncio.run(main(pool, images)) == [tervalo.encode(i) for i in images]


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
    import tervalo.pool

    monkeypatch.setattr(tervalo.pool, "sixel_encode_bytes", lambda *args: b"patched")
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
