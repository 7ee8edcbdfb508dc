"""What the build and scripts/system-packages.sh say when something is missing."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.packaging


@pytest.mark.parametrize("hide, package", [
    # An empty pkg-config search path hides the installed libsixel.
    ({"PKG_CONFIG_LIBDIR": "{tmp}", "PKG_CONFIG_PATH": ""}, "libsixel-dev"),
    # A header folder without Python.h, as when python3-dev is not installed.
    ({"-DPython_INCLUDE_DIR": "{tmp}"}, "python3-dev"),
])
def test_configure_names_the_missing_package(tmp_path, hide, package):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not on PATH")
    hide = {k: v.format(tmp=tmp_path) for k, v in hide.items()}
    defines = [f"{k}={v}" for k, v in hide.items() if k.startswith("-D")]
    env = dict(os.environ, **{k: v for k, v in hide.items() if not k.startswith("-D")})
    run = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path / "build"),
                          f"-DPython_EXECUTABLE={sys.executable}", *defines],
                         env=env, capture_output=True, text=True, check=False)
    assert run.returncode != 0
    assert package in run.stderr


@pytest.mark.parametrize("runs, headers, needed", [
    (["build"], True, {"g++", "pkg-config", "libsixel-dev", "cmake", "ninja-build"}),
    (["build", "test"], False, {"libsixel-dev", "make", "imagemagick", "xvfb", "xterm",
                                "python3-venv", "python3-dev"}),
])
def test_packages_without_root_or_sudo_prints_the_command(tmp_path, runs, headers, needed):
    # A user who is not root, on a machine without sudo where dpkg knows none
    # of the packages: every program on PATH but sudo, behind stubs.
    stubs, programs = tmp_path / "stubs", tmp_path / "programs"
    stubs.mkdir()
    programs.mkdir()
    # A python3 without its venv module or headers, as a distribution ships it.
    python = f'exec {sys.executable} "$@"' if headers else "exit 1"
    for name, body in [("id", "echo 1000"), ("dpkg-query", "exit 1"),
                       ("apt-get", "echo apt-get ran >&2; exit 1"), ("python3", python)]:
        (stubs / name).write_text(f"#!/bin/sh\n{body}\n")
        (stubs / name).chmod(0o755)
    for folder in filter(os.path.isdir, os.environ["PATH"].split(os.pathsep)):
        for program in Path(folder).iterdir():
            link = programs / program.name
            if program.name != "sudo" and not os.path.lexists(link):
                link.symlink_to(program)
    env = dict(os.environ, PATH=f"{stubs}:{programs}")
    run = subprocess.run(["bash", str(ROOT / "scripts" / "system-packages.sh"), *runs], env=env,
                         capture_output=True, text=True, timeout=60, check=False)
    assert run.returncode != 0
    [line] = (run.stdout + run.stderr).splitlines()
    update, install = line.partition("as root, run: ")[2].split(" && ")
    assert update == "apt-get update" and install.startswith("apt-get install -y ")
    assert needed <= set(install.split()[3:])
