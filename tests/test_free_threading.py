"""On a free-threaded interpreter (built with --disable-gil): importing the
module leaves the GIL off, and calls from many threads, which then really
run at once, give what serial calls give. scripts/free-threaded.sh builds
such an interpreter and runs the whole suite on it."""

import os
import subprocess
import sys
import sysconfig
import threading

import pytest
from support import photo_like

from tervalo_ext import sixel_encode_bytes

pytestmark = pytest.mark.skipif(
    sysconfig.get_config_var("Py_GIL_DISABLED") != 1,
    reason="needs a free-threaded CPython (scripts/free-threaded.sh); under a GIL the threads "
           "case is test_reliability.py::test_threads_get_what_serial_calls_get")

# Eight threads import the module at the same moment, then encode.
FIRST_IMPORT = """
import sys, threading
before = sys._is_gil_enabled()
start = threading.Barrier(8)
out = []

def work():
    start.wait()
    import tervalo_ext
    out.append(tervalo_ext.sixel_encode_bytes(bytes(range(12)), 2, 2))

threads = [threading.Thread(target=work) for _ in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert len(out) == 8 and len(set(out)) == 1, out
print(before, sys._is_gil_enabled())
"""


def test_import_leaves_the_gil_off():
    # PYTHON_GIL=0 would keep the GIL off even for a module that does not
    # declare free-threading support; the interpreter would then only warn.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    result = subprocess.run([sys.executable, "-c", FIRST_IMPORT], env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "False"]
    assert "GIL" not in result.stderr, result.stderr


def test_threads_get_what_serial_calls_get():
    """8 threads x 200 calls, started together, each on photo-like images of
    its own (median cut and diffusion, whose libsixel state is global) plus
    one image object all share; every tenth call is refused."""
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

    threads = [threading.Thread(target=work, args=(t,)) for t in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len({s for job in serial for s in job}) == 33
    assert refusals == [20] * len(jobs)
    for t, got in enumerate(results):
        expected = [serial[t][i % 5] for i in range(200) if i % 10 != 7]
        assert got == expected, f"thread {t}"
    assert not sys._is_gil_enabled()
