"""Every run of the project, a nox session each (docs/developing.md: why without isolation)."""

from __future__ import annotations

import functools
import os
import re
import shutil
import subprocess
from pathlib import Path

import nox

nox.needs_version = ">=2025.2.9"
nox.options.default_venv_backend = "uv"
nox.options.reuse_venv = "yes"
nox.options.sessions = ["tests", "lint"]

ROOT = Path(__file__).resolve().parent
BUILD = ROOT / "build"
# What outlives a clone: the free-threaded CPython (found on PATH), chroots, ccache.
CACHE = Path(os.environ.get("TERVALO_CACHE", "/var/cache/tervalo_ext"))
os.environ["PATH"] = f"{CACHE / 'cpython' / 'bin'}{os.pathsep}{os.environ['PATH']}"
os.environ.setdefault("UV_PYTHON_DOWNLOADS", "never")
os.environ.setdefault("UV_SYSTEM_CERTS", "1")  # as pip does
TARGET = "3.11"
FREE_THREADED = "3.13"  # no release packages one: the free-threaded session builds it
SOURCE = ["3.10", TARGET, f"{FREE_THREADED}t"]  # the module built from source
ABI3 = "3.12"  # the one abi3 wheel's (tested whole there, loaded by 3.13 to 3.15 in chroots)
# pyenv keeps the CPythons it is not set to out of PATH: the newest of each.
PYENV = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
for minor in [*SOURCE, ABI3]:
    found = [p for p in PYENV.glob(f"{minor}.*") if p.name.split(".")[2].isdigit()]
    for newest in sorted(found, key=lambda p: int(p.name.split(".")[2]))[-1:]:
        os.environ["PATH"] = f"{newest / 'bin'}{os.pathsep}{os.environ['PATH']}"
WHEELS = BUILD / "wheels"  # the wheel sessions' output, a folder per architecture
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
group = functools.partial(nox.project.dependency_groups, PYPROJECT)  # pyproject's groups
# The tests that take seconds: no terminals, no builds.
QUICK = "not slow and not x11 and not packaging"
SOURCES = [ROOT / "CMakeLists.txt", ROOT / "pyproject.toml", *sorted((ROOT / "src").rglob("*"))]
RELIABILITY = ROOT / "tests" / "reliability"
HARNESS_PATH = os.pathsep.join(str(ROOT / "tests" / d) for d in ("harness", "reliability"))
# Two workers a core: most tests wait on child interpreters and terminals.
PARALLEL = ("-n", str(min(8, 2 * len(os.sched_getaffinity(0)))), "--dist", "loadgroup")


def system(session: nox.Session, *runs: str) -> None:
    session.run_install("bash", str(ROOT / "scripts/system-packages.sh"), *runs, external=True)


def compile_through_ccache(session: nox.Session) -> None:
    # Paths relative to the build: a fresh clone hits the last one's objects.
    if shutil.which("ccache"):
        session.env.update(CMAKE_CXX_COMPILER_LAUNCHER="ccache", CCACHE_BASEDIR=str(ROOT),
                           CCACHE_NOHASHDIR="1")
        if os.access(CACHE, os.W_OK) or os.access(CACHE.parent, os.W_OK):
            session.env["CCACHE_DIR"] = str(CACHE / "ccache")


def ready(session: nox.Session, runs: tuple[str, ...] = (), needs: tuple[str, ...] = (),
          *settings: str) -> None:
    """System packages for `runs`, the dependency groups `needs`, then the module and
    tervalo, built in a tree of the session's own unless nothing changed."""
    system(session, "build", *runs)
    # Free-threaded: a tool's newest release may be only an sdist needing Rust.
    wheels_only = ["--only-binary", ":all:"] if str(session.python).endswith("t") else []
    session.install(*wheels_only, *group("build", *needs))
    stamp = Path(session.virtualenv.location) / ".tervalo-installed"
    if stamp.exists() and all(p.stat().st_mtime < stamp.stat().st_mtime for p in SOURCES):
        return
    compile_through_ccache(session)
    tree = BUILD / "sessions" / re.sub(r"[^\w.-]+", "_", session.name)
    session.install("--reinstall-package", "tervalo_ext", "--no-build-isolation", "--no-deps",
                    f"--config-settings=build-dir={tree}", *settings, str(ROOT))
    stamp.touch()


def suite(session: nox.Session, *skip: str, **kwargs: object) -> None:
    """pytest in parallel, the tests of the markers in `skip` left out."""
    marks = ["-m", " and ".join(f"not {mark}" for mark in skip)] if skip else []
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *PARALLEL, *marks,
                *session.posargs, **kwargs)


@nox.session(python=SOURCE)
def tests(session: nox.Session) -> None:
    """The whole suite, the module built from source for this CPython."""
    ready(session, ("test",), ("test",))
    # Other CPythons: the module's own tests (tervalo is pure Python; packaging's
    # wheels are tested elsewhere), 3.10 without the slow ones (free-threaded keeps
    # them: its heap locks differ). The README's test command runs everything.
    skip = {"3.10": ("tervalo", "packaging", "slow"), f"{FREE_THREADED}t": ("tervalo", "packaging")}
    suite(session, *skip.get(str(session.python), ()))


@nox.session(venv_backend="none", name="free-threaded")
def free_threaded(session: nox.Session) -> None:
    """Builds the free-threaded CPython (FREE_THREADED) once, then runs the suite on it."""
    session.run("bash", str(ROOT / "scripts/free-threaded.sh"), FREE_THREADED, external=True)
    session.notify(f"tests-{FREE_THREADED}t", session.posargs)


@nox.session(python=ABI3, requires=["wheel"])
def abi3(session: nox.Session) -> None:
    """The suite on the abi3 wheel and its sdist, less tervalo's tests and the slow ones."""
    system(session, "build", "test")
    session.install(*group("test"))
    [wheel] = (WHEELS / "x86_64").glob("*-abi3-manylinux*.whl")
    session.install("--reinstall-package", "tervalo_ext", "--no-deps", str(wheel))
    suite(session, "tervalo", "slow", env={"TERVALO_WHEELHOUSE": str(WHEELS / "x86_64")})


@nox.session(python=ABI3)
def wheel(session: nox.Session) -> None:
    """The abi3 wheel (auditwheel copies libsixel in) and its sdist, into build/wheels/x86_64."""
    out = WHEELS / "x86_64"
    shutil.rmtree(out, ignore_errors=True)
    system(session, "build")
    session.install(*group("wheel"))
    work = Path(session.create_tmp()) / "dist"
    shutil.rmtree(work, ignore_errors=True)
    compile_through_ccache(session)  # from the sdist, so that the sdist is known to build
    session.run("python", "-m", "build", "--installer", "uv", "--outdir", str(work), str(ROOT))
    session.run("auditwheel", "repair", "-w", str(out), *map(str, work.glob("*.whl")))
    shutil.copy(next(work.glob("*.tar.gz")), out)


def chroot(session: nox.Session, arch: str, *runs: str, pytest: tuple[str, ...] = ()) -> None:
    system(session, "chroots", *(["arm64"] if arch == "arm64" else []))
    session.run("bash", str(ROOT / "scripts" / "chroot.sh"), *runs, "--", *pytest,
                *session.posargs, external=True)


@nox.session(venv_backend="none", requires=["wheel"])
def distros(session: nox.Session) -> None:
    """The README's two commands on a Debian 13 of git alone; unstable from source and wheel."""
    wheels = (WHEELS / "x86_64").relative_to(ROOT)
    # Unstable: the module's tests on its libsixel, the wheel on the newest CPythons.
    runs = [(["trixie python3 readme"], ()),
            ([f"trixie python3 wheel={wheels} tests/test_xtermjs.py"], ()),  # in Chromium
            (["sid python3.14 source"], (*PARALLEL, "-m", "not tervalo and not packaging")),
            ([f"sid python3.14 wheel={wheels}", f"sid python3.15 wheel={wheels}"],
             (*PARALLEL, "-m", f"{QUICK} and not tervalo"))]
    for names, pytest in runs:
        chroot(session, "amd64", *names, pytest=pytest)


@nox.session(venv_backend="none")
def arm64(session: nox.Session) -> None:
    """The abi3 wheel built under qemu into build/wheels/aarch64; the quick tests on it."""
    # By file: tervalo's tests import Pillow, not installed (each package costs minutes).
    files = "tests/test_stream.py tests/test_arguments.py tests/test_threads.py tests/reliability"
    out = (WHEELS / "aarch64").relative_to(ROOT)
    chroot(session, "arm64", f"trixie:arm64 python3.13 make-wheel={out}",
           f"trixie:arm64 python3.13 wheel={out} {files}",
           pytest=("-m", f"{QUICK} and not tooling and not tervalo"))


def asan_env() -> dict[str, str]:
    # libstdc++ too: ASan's exception interceptor must find it at start-up.
    preload = [subprocess.check_output(["gcc", f"-print-file-name={name}"], text=True).strip()
               for name in ("libasan.so", "libstdc++.so")]
    return {"LD_PRELOAD": ":".join(preload), "ASAN_OPTIONS": "detect_leaks=0",
            "UBSAN_OPTIONS": "print_stacktrace=1"}


@nox.session(python=TARGET)
def asan(session: nox.Session) -> None:
    """The suite against an AddressSanitizer + UBSan build."""
    # Not the packaging tests (fresh, uninstrumented wheels), nor pure-Python tervalo's.
    ready(session, ("test",), ("test", "fuzz"),
          "--config-settings=cmake.define.TERVALO_SANITIZE=ON")
    suite(session, "packaging", "tervalo", env=asan_env())


@nox.session(python=TARGET, requires=["asan"])
def fuzz(session: nox.Session) -> None:
    """Fuzzing for FUZZ_SECONDS (60), its inputs then replayed under ASan."""
    ready(session, (), ("fuzz",))
    corpus, findings = BUILD / "fuzz" / "corpus", BUILD / "fuzz" / "findings"
    findings.mkdir(parents=True, exist_ok=True)
    corpus.mkdir(exist_ok=True)
    harness = str(RELIABILITY / "fuzz_encode.py")
    session.env["PYTHONPATH"] = HARNESS_PATH
    session.run("python", harness, f"-max_total_time={os.environ.get('FUZZ_SECONDS', '60')}",
                "-print_final_stats=1", f"-artifact_prefix={findings}/", str(corpus))
    # The asan session's environment, beside this one wherever nox keeps them.
    asan = Path(session.virtualenv.location).parent / "asan" / "bin" / "python"
    session.run(str(asan), harness, "-runs=0", str(corpus), env=asan_env(), external=True)


@nox.session(python=TARGET)
def memcheck(session: nox.Session) -> None:
    """valgrind's memcheck over a workload that refuses each allocation in turn."""
    ready(session, ("memcheck",))
    # A soname of its own: memcheck replaces glibc's malloc behind the shim, not the shim's.
    shim = Path(session.create_tmp()) / "libfailing_alloc.so"
    session.run("cc", "-shared", "-fPIC", "-O2", "-Wl,-soname,libfailing_alloc.so", "-o",
                str(shim), str(RELIABILITY / "failing_alloc.c"), external=True)
    # PYTHONMALLOC=malloc: every Python object comes from malloc, where memcheck sees it.
    session.run("valgrind", "--tool=memcheck", "--soname-synonyms=somalloc=nouserintercepts",
                "--leak-check=full", "--show-leak-kinds=definite", "--num-callers=30",
                "--errors-for-leak-kinds=definite", "--error-exitcode=99", "-q",
                f"--suppressions={RELIABILITY / 'valgrind-python.supp'}",
                "python", str(RELIABILITY / "memcheck.py"), external=True,
                env={"PYTHONMALLOC": "malloc", "LD_PRELOAD": str(shim),
                     "PYTHONPATH": HARNESS_PATH})


@nox.session(python=TARGET)
def bench(session: nox.Session) -> None:
    """The benchmarks (bench/; benchmark.py's arguments: see its --help)."""
    ready(session, ("fidelity", "frames"), ("bench",))
    for step in (["-S", str(ROOT / "bench"), "-B", str(BUILD / "bench")],
                 ["--build", str(BUILD / "bench")]):
        session.run("cmake", *step, silent=True, external=True)
    session.env["PYTHONPATH"] = HARNESS_PATH
    session.run("python", str(ROOT / "bench" / "benchmark.py"), *session.posargs)
    # Stills and frames beside img2sixel and chafa, each run from outside.
    for name in ("heartbeat", "fidelity", "stills", "strips", "crawl", "fitting", "frames"):
        session.run("python", str(ROOT / "bench" / f"{name}.py"),
                    *["--quick"] * ("--quick" in session.posargs))


@nox.session(python=TARGET)
def lint(session: nox.Session) -> None:
    """ruff over the Python, shellcheck over the scripts, mypy over tervalo."""
    ready(session, ("lint",), ("lint",))  # mypy reads the module's stub package
    session.run("ruff", "check", str(ROOT))
    session.run("shellcheck", "-x", *map(str, sorted((ROOT / "scripts").glob("*.sh"))),
                str(ROOT / ".ci" / "run"), external=True)
    session.run("mypy", "--strict", str(ROOT / "src" / "tervalo"))


@nox.session(python=TARGET)
def docs(session: nox.Session) -> None:
    """The site (mkdocs.yml) into build/site, every warning an error."""
    ready(session, (), ("docs",))  # the API reference reads the module's stub package
    session.run("mkdocs", "build", "--strict", "--config-file", str(ROOT / "mkdocs.yml"))


@nox.session(python=TARGET)
def show(session: nox.Session) -> None:
    """The viewer: python -m tervalo with the arguments given."""
    session.install(*PYPROJECT["project"]["optional-dependencies"]["pillow"])
    ready(session)
    session.run("python", "-m", "tervalo", *session.posargs)

