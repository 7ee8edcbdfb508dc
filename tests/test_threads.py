"""Calls from many threads give what serial calls give: under the GIL, handed
over as often as possible; on a free-threaded interpreter (built with
--disable-gil), where they really run at once and the module's import must
leave the GIL off."""

import os
import subprocess
import sys
import sysconfig
import threading

import pytest
from conftest import CHILDREN
from images import photo_like

from tervalo_ext import sixel_encode_bytes

FREE_THREADED = sysconfig.get_config_var("Py_GIL_DISABLED") == 1


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython")
def test_import_leaves_the_gil_off():
    # PYTHON_GIL=0 would keep the GIL off even for a module that does not
    # declare free-threading support; the interpreter would then only warn.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    result = subprocess.run([sys.executable, str(CHILDREN / "first_import.py")], env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "False"]
    assert "GIL" not in result.stderr, result.stderr


@pytest.mark.slow
def test_threads_get_what_serial_calls_get():
    """8 threads x 200 calls, started together, each on photo-like images of
    its own (median cut and diffusion, whose libsixel state is global) plus
    one image object all share; every tenth call is refused. A build that
    released the interpreter lock, or entered libsixel without the module's
    mutex on a free-threaded interpreter, fails here."""
    shared = (photo_like(52, 36, seed=99), 52, 36)
    jobs = [[(photo_like(60 + t, 44 + k, seed=t * 10 + k), 60 + t, 44 + k) for k in range(4)]
            + [shared] for t in range(8)]
    serial = [[sixel_encode_bytes(*args) for args in job] for job in jobs]
    results = [[] for _ in jobs]
    refusals = [0] * len(jobs)
    start = threading.Barrier(len(jobs))

    def work(t):
        start.wait()
        for i in range(200):
            pixels, width, height = jobs[t][i % 5]
            if i % 10 == 7:
                try:
                    sixel_encode_bytes(pixels[:-1], width, height)
                except ValueError:
                    refusals[t] += 1
            else:
                results[t].append(sixel_encode_bytes(pixels, width, height))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # under a GIL: hand it over as often as possible
    try:
        threads = [threading.Thread(target=work, args=(t,)) for t in range(len(jobs))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert len({s for job in serial for s in job}) == 33
    assert refusals == [20] * len(jobs)
    for t, got in enumerate(results):
        expected = [serial[t][i % 5] for i in range(200) if i % 10 != 7]
        assert got == expected, f"thread {t}"
    if FREE_THREADED:
        assert not sys._is_gil_enabled()
