"""The heap libsixel allocates from (src/sixel_heap.h), driven directly by
the C++ program in heap/ beside this file: reallocation (which no encode reaches),
release, and each allocation of a script refused in turn, with every block
accounted for."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

HEAP = Path(__file__).resolve().parent / "heap"
# Built and run without the interpreter's preloads (the sanitizer run's
# runtime): the program accounts for its heap itself.
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def cxx_compiler():
    return next((c for c in (os.environ.get("CXX"), "c++", "g++", "clang++")
                 if c and shutil.which(c)), None)


@pytest.fixture(scope="module")
def heap_test(tmp_path_factory):
    """heap/ built with CMake: the path of its program."""
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not on PATH")
    if cxx_compiler() is None:
        pytest.skip("no C++ compiler (c++, g++ or clang++) on PATH")
    build = tmp_path_factory.mktemp("heap-build")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    for step in ([cmake, "-S", str(HEAP), "-B", str(build), *generator],
                 [cmake, "--build", str(build)]):
        run = subprocess.run(step, env=ENV, capture_output=True, text=True, check=False)
        assert run.returncode == 0, run.stdout + run.stderr
    return build / "test_sixel_heap"


def test_heap_frees_every_block_once(heap_test):
    """Catches a reallocation that loses its block (a refused one not put
    back in the table, a moved one not recorded), a deletion that breaks
    the table's probe chains (then a block is freed twice or never), and a
    refusal after which a block stays unreleased."""
    run = subprocess.run([str(heap_test)], env=ENV, capture_output=True, text=True,
                         check=False, timeout=120)
    print(run.stdout)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "FAILED" not in run.stdout
    walk = next(line for line in run.stdout.splitlines() if line.startswith("walk: "))
    assert int(walk.split()[1]) > 400  # the script's allocations, slot-table growths among them
