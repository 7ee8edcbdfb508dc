"""Fixtures. What they stand on (images, libsixel called directly,
ImageMagick) is in harness/, which pyproject.toml puts on the path so that
the tests, the benchmark and the fuzzer share one copy; the scripts the
tests run as child interpreters are in harness/children/. The reliability
suite (allocation failures, the heap, the soak, the memcheck workload and
the fuzzer) is in reliability/, with its shim and children beside it."""

import ctypes
import os
from pathlib import Path

import alloc_shim
import imagemagick
import pytest

HARNESS = Path(__file__).resolve().parent / "harness"
RELIABILITY = Path(__file__).resolve().parent / "reliability"
CHILDREN = HARNESS / "children"
# True in the sanitizer run, where Python starts with
# the ASan runtime preloaded.
UNDER_ASAN = hasattr(ctypes.CDLL(None), "__asan_init")


def not_under_asan(why):
    return pytest.mark.skipif(UNDER_ASAN, reason=f"under ASan {why}; runs in the normal build")


@pytest.fixture(scope="session")
def magick():
    """ImageMagick's convert: magick(*args, data=...) -> stdout, with
    .decode(stream) and .size(stream)."""
    if imagemagick.imagemagick() is None:
        pytest.skip("ImageMagick's convert is not installed (apt-get install imagemagick)")

    def run(*args, data=None):
        return imagemagick.magick(*args, data=data)

    run.decode = imagemagick.decode
    run.size = imagemagick.decoded_size
    return run


@pytest.fixture(scope="session")
def failing_alloc(tmp_path_factory):
    """reliability/failing_alloc.c built for LD_PRELOAD."""
    lib = tmp_path_factory.mktemp("shim") / "failing_alloc.so"
    if not alloc_shim.build_failing_alloc(lib):
        pytest.skip("no C compiler to build the allocation-failure shim")
    return lib


@pytest.fixture(scope="session")
def harness_env():
    """The environment for a child interpreter that imports the harness."""
    path = [str(HARNESS), str(RELIABILITY), os.environ.get("PYTHONPATH", "")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
