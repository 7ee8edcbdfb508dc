"""How the build fails without libsixel."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.packaging


def test_configure_without_libsixel_names_the_package(tmp_path):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not on PATH")
    # An empty pkg-config search path hides the installed libsixel.
    env = dict(os.environ, PKG_CONFIG_LIBDIR=str(tmp_path), PKG_CONFIG_PATH="")
    run = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path / "build"),
                          f"-DPython_EXECUTABLE={sys.executable}"],
                         env=env, capture_output=True, text=True)
    assert run.returncode != 0
    assert "libsixel-dev" in run.stderr
