"""Every run the project makes, one nox session each: `nox -l` lists them.
The module is built without build isolation (docs/developing.md says why)."""

from __future__ import annotations

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
# What outlives a clone: the free-threaded CPython, chroot tarballs, ccache.
CACHE = Path(os.environ.get("TERVALO_CACHE", "/var/cache/tervalo_ext"))
# The free-threaded session builds it there; nox finds it ("3.13t") on PATH.
os.environ["PATH"] = f"{CACHE / 'cpython' / 'bin'}{os.pathsep}{os.environ['PATH']}"
os.environ.setdefault("UV_PYTHON_DOWNLOADS", "never")  # this machine's interpreters only
os.environ.setdefault("UV_SYSTEM_CERTS", "1")  # the system's certificates, as pip uses them
TARGET = "3.11"
FREE_THREADED = "3.13"  # no release packages one: the free-threaded session builds it
SOURCE = ["3.10", TARGET, f"{FREE_THREADED}t"]  # the module built from source
ABI3 = ["3.12", "3.13"]  # the one abi3 wheel, built by the first
# pyenv keeps the CPythons it is not set to out of PATH: the newest of each.
PYENV = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
for minor in SOURCE + ABI3:
    found = [p for p in PYENV.glob(f"{minor}.*") if p.name.split(".")[2].isdigit()]
    for newest in sorted(found, key=lambda p: int(p.name.split(".")[2]))[-1:]:
        os.environ["PATH"] = f"{newest / 'bin'}{os.pathsep}{os.environ['PATH']}"
WHEELS = BUILD / "wheels"  # the wheel sessions' output, a folder per architecture
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
# The edit loop's tests (the quick session): seconds, no terminals, no builds.
QUICK = "not slow and not x11 and not packaging"
SOURCES = [ROOT / "CMakeLists.txt", ROOT / "pyproject.toml", *sorted((ROOT / "src").rglob("*"))]
RELIABILITY = ROOT / "tests" / "reliability"
# The tests' shared helpers, for the scripts that run outside pytest.
HARNESS_PATH = os.pathsep.join(str(ROOT / "tests" / d) for d in ("harness", "reliability"))


def group(*names: str) -> tuple[str, ...]:  # the dependency groups in pyproject.toml
    return nox.project.dependency_groups(PYPROJECT, *names)


def system(session: nox.Session, *runs: str) -> None:
    session.run_install("bash", str(ROOT / "scripts/system-packages.sh"), *runs, external=True)


def compile_through_ccache(session: nox.Session) -> None:
    # Paths made relative to the build, so a fresh clone hits the last one's objects.
    if shutil.which("ccache"):
        session.env.update(CMAKE_CXX_COMPILER_LAUNCHER="ccache", CCACHE_BASEDIR=str(ROOT),
                           CCACHE_NOHASHDIR="1")
        if os.access(CACHE, os.W_OK) or os.access(CACHE.parent, os.W_OK):
            session.env["CCACHE_DIR"] = str(CACHE / "ccache")


def install_module(session: nox.Session, *settings: str) -> None:
    """The module and tervalo into the session's environment, from a build tree
    of the session's own; nothing is built while no source is newer than the
    last install there."""
    session.install(*group("build"))
    stamp = Path(session.virtualenv.location) / ".tervalo-installed"
    if stamp.exists() and all(p.stat().st_mtime < stamp.stat().st_mtime for p in SOURCES):
        return
    compile_through_ccache(session)
    tree = BUILD / "sessions" / re.sub(r"[^\w.-]+", "_", session.name)
    session.install("--reinstall-package", "tervalo_ext", "--no-build-isolation", "--no-deps",
                    f"--config-settings=build-dir={tree}", *settings, str(ROOT))
    stamp.touch()


# pytest in parallel: most tests wait on child interpreters, terminals and
# timeouts, so two workers a core keep the cores busy.
PARALLEL = ("-n", str(min(8, 2 * len(os.sched_getaffinity(0)))), "--dist", "loadgroup")


def suite(session: nox.Session, *skip: str, **kwargs: object) -> None:
    """pytest in parallel, the tests of the markers in `skip` left out."""
    marks = ["-m", " and ".join(f"not {mark}" for mark in skip)] if skip else []
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *PARALLEL, *marks,
                *session.posargs, **kwargs)


@nox.session(python=SOURCE)
def tests(session: nox.Session) -> None:
    """The whole suite, the module built from source for this CPython."""
    system(session, "build", "test")
    # Free-threaded: the newest release of a tool may only be a source
    # distribution that needs a Rust toolchain; take an older wheel.
    wheels_only = ["--only-binary", ":all:"] if str(session.python).endswith("t") else []
    session.install(*wheels_only, *group("test"))
    install_module(session)
    # On CI's other CPythons the module's own tests: tervalo is pure Python,
    # and the packaging tests build wheels that the target and the wheel
    # sessions test. The README's test command (--force-python with the
    # machine's python3, whatever it is) runs everything.
    others = session.python in SOURCE and session.python != TARGET
    suite(session, *(("tervalo", "packaging") if others else ()))


@nox.session(python=TARGET)
def quick(session: nox.Session) -> None:
    """The tests that take seconds, for the edit loop (no terminals, no builds)."""
    system(session, "build", "test")
    session.install(*group("test"))
    install_module(session)
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", "-q", "-m", QUICK,
                *session.posargs)


@nox.session(python=TARGET)
def reliability(session: nox.Session) -> None:
    """The reliability suite alone (tests/reliability/; every tests run has it too)."""
    system(session, "build", "test")
    session.install(*group("test"))
    install_module(session)
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", str(RELIABILITY),
                *session.posargs)


@nox.session(venv_backend="none", name="free-threaded")
def free_threaded(session: nox.Session) -> None:
    """Builds the free-threaded CPython (FREE_THREADED) once, then runs the suite on it."""
    session.run("bash", str(ROOT / "scripts" / "free-threaded.sh"), FREE_THREADED,
                external=True)
    session.notify(f"tests-{FREE_THREADED}t", session.posargs)  # so no caller names it again


@nox.session(python=ABI3, requires=["wheel(x86_64)"])
def abi3(session: nox.Session) -> None:
    """The whole suite on the one abi3 wheel of the wheel session."""
    system(session, "build", "test")
    session.install(*group("test"))
    [wheel] = (WHEELS / "x86_64").glob("*-abi3-manylinux*.whl")
    session.install("--reinstall-package", "tervalo_ext", "--no-deps", str(wheel))
    # The wheel tests check this very wheel and its sdist; tervalo's tests run
    # on the target and in the README's Debian 13 run (distros).
    suite(session, "tervalo", env={"TERVALO_WHEELHOUSE": str(WHEELS / "x86_64")})


@nox.session(python=ABI3[0])
@nox.parametrize("arch", ["x86_64", "aarch64"], ids=["x86_64", "aarch64"])
def wheel(session: nox.Session, arch: str) -> None:
    """The abi3 wheel carrying libsixel, into build/wheels/ARCH (aarch64: in a chroot)."""
    out = WHEELS / arch
    shutil.rmtree(out, ignore_errors=True)
    if arch == "aarch64":
        chroot(session, "arm64", f"trixie:arm64 python3.13 make-wheel={out.relative_to(ROOT)}")
        return
    system(session, "build")
    session.install(*group("wheel"))
    work = Path(session.create_tmp()) / "dist"
    shutil.rmtree(work, ignore_errors=True)
    # The wheel is built from the sdist, so the sdist is known to build.
    compile_through_ccache(session)
    session.run("python", "-m", "build", "--installer", "uv", "--outdir", str(work), str(ROOT))
    # auditwheel copies libsixel in and sets the tag its symbols allow.
    session.run("auditwheel", "repair", "-w", str(out), *map(str, work.glob("*.whl")))
    shutil.copy(next(work.glob("*.tar.gz")), out)


def chroot(session: nox.Session, arch: str, *runs: str, pytest: tuple[str, ...] = ()) -> None:
    system(session, "chroots", *(["arm64"] if arch == "arm64" else []))
    session.run("bash", str(ROOT / "scripts" / "chroot.sh"), *runs, "--", *pytest,
                *session.posargs, external=True)


@nox.session(venv_backend="none", requires=["wheel(x86_64)"])
def distros(session: nox.Session) -> None:
    """The README's two commands on a Debian 13 of git alone; unstable from source and wheel."""
    wheels = (WHEELS / "x86_64").relative_to(ROOT)
    # Unstable: the module's tests against its libsixel (the packaging tests
    # run on the target and on the wheel's sessions); the abi3 wheel, which
    # the abi3 sessions test whole, that it loads and encodes on the newest
    # CPythons. Every run goes, whichever fails.
    runs = [(["trixie python3 readme"], ()),  # its test command runs in parallel itself
            # xterm.js with its image add-on in headless Chromium (Debian 13's).
            ([f"trixie python3 wheel={wheels} tests/test_xtermjs.py"], ()),
            (["sid python3.14 source"], (*PARALLEL, "-m", "not tervalo and not packaging")),
            ([f"sid python3.14 wheel={wheels}", f"sid python3.15 wheel={wheels}"],
             (*PARALLEL, "-m", f"{QUICK} and not tervalo"))]
    failed = []
    for names, pytest in runs:
        try:
            chroot(session, "amd64", *names, pytest=pytest)
        except nox.command.CommandFailed:
            failed += names
    if failed:
        session.error(f"failed: {', '.join(failed)}")


@nox.session(venv_backend="none", requires=["wheel(aarch64)"])
def arm64(session: nox.Session) -> None:
    """The module's quick tests on arm64 under qemu, from source and the wheel."""
    # Under emulation pip, the examples and the wheel builds take minutes and
    # test nothing arm64-specific; the wheel's build was just tested from
    # source, so on the wheel: that it loads and writes what its libsixel writes.
    # From source is the wheel session's build before auditwheel copied
    # libsixel in: compiling it twice under emulation would test nothing more.
    quick = ("-m", f"{QUICK} and not tooling and not tervalo")
    wheels = (WHEELS / "aarch64").relative_to(ROOT)
    # By file: collecting tervalo's tests would import Pillow, which is not there.
    files = "tests/test_stream.py tests/test_arguments.py"
    chroot(session, "arm64", f"trixie:arm64 python3.13 built={wheels / 'linked'} {files} "
           "tests/test_threads.py tests/reliability",
           f"trixie:arm64 python3.13 wheel={wheels} {files}",
           f"sid:arm64 python3.14 wheel={wheels} {files}", pytest=quick)


def asan_env() -> dict[str, str]:
    # libstdc++ too: ASan's exception interceptor must find it at start-up.
    def runtime(name: str) -> str:
        return subprocess.check_output(["gcc", f"-print-file-name={name}"], text=True).strip()
    return {"LD_PRELOAD": f"{runtime('libasan.so')}:{runtime('libstdc++.so')}",
            "ASAN_OPTIONS": "detect_leaks=0", "UBSAN_OPTIONS": "print_stacktrace=1"}


@nox.session(python=TARGET)
def asan(session: nox.Session) -> None:
    """The suite against an AddressSanitizer + UBSan build."""
    # Not the packaging tests (they build fresh, uninstrumented wheels), nor
    # tervalo's, which are pure Python.
    system(session, "build", "test")
    session.install(*group("test", "fuzz"))
    install_module(session, "--config-settings=cmake.define.TERVALO_SANITIZE=ON")
    suite(session, "packaging", "tervalo", env=asan_env())


@nox.session(python=TARGET, requires=["asan"])
def fuzz(session: nox.Session) -> None:
    """Fuzzing for FUZZ_SECONDS (60) on the normal build, its inputs replayed under ASan."""
    session.install(*group("fuzz"))
    install_module(session)
    corpus, findings = BUILD / "fuzz" / "corpus", BUILD / "fuzz" / "findings"
    for folder in (corpus, findings):
        folder.mkdir(parents=True, exist_ok=True)
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
    system(session, "build", "memcheck")
    install_module(session)
    # A soname of its own, with somalloc=nouserintercepts: memcheck replaces
    # glibc's malloc behind the shim, not the shim's.
    shim = Path(session.create_tmp()) / "libfailing_alloc.so"
    session.run("cc", "-shared", "-fPIC", "-O2", "-Wl,-soname,libfailing_alloc.so", "-o",
                str(shim), str(RELIABILITY / "failing_alloc.c"), external=True)
    # PYTHONMALLOC=malloc: every Python object comes from malloc, where memcheck sees it.
    session.run("valgrind", "--tool=memcheck", "--soname-synonyms=somalloc=nouserintercepts",
                "--leak-check=full", "--show-leak-kinds=definite",
                "--errors-for-leak-kinds=definite", "--num-callers=30", "--error-exitcode=99",
                f"--suppressions={RELIABILITY / 'valgrind-python.supp'}", "-q",
                "python", str(RELIABILITY / "memcheck.py"), external=True,
                env={"PYTHONMALLOC": "malloc", "LD_PRELOAD": str(shim),
                     "PYTHONPATH": HARNESS_PATH})


@nox.session(python=TARGET)
def bench(session: nox.Session) -> None:
    """The benchmark against libsixel called directly (arguments: see its --help), then
    what the streams draw against the pictures' pixels, and moving pictures' frame rates."""
    system(session, "build", "fidelity", "frames")
    session.install(*group("bench"))
    install_module(session)
    session.run("cmake", "-S", str(ROOT / "bench"), "-B", str(BUILD / "bench"), silent=True,
                external=True)
    session.run("cmake", "--build", str(BUILD / "bench"), silent=True, external=True)
    session.env["PYTHONPATH"] = HARNESS_PATH
    session.run("python", str(ROOT / "bench" / "benchmark.py"), *session.posargs)
    # How long other threads wait on an encode, in process and through the pool.
    frames = ["--frames", "1"] if "--quick" in session.posargs else []
    session.run("python", str(ROOT / "bench" / "heartbeat.py"), *frames)
    session.run("python", str(ROOT / "bench" / "fidelity.py"), *frames and ["--quick"])
    # Stills side by side with img2sixel and chafa, each run from outside.
    session.run("python", str(ROOT / "bench" / "stills.py"), *frames and ["--quick"])
    session.run("python", str(ROOT / "bench" / "strips.py"), *frames and ["--quick"])
    session.run("python", str(ROOT / "bench" / "crawl.py"), *frames and ["--quick"])
    session.run("python", str(ROOT / "bench" / "fitting.py"))
    # Beside libsixel's own player, img2sixel (the frames run's package).
    session.run("python", str(ROOT / "bench" / "frames.py"), *frames and ["--quick"])


@nox.session(python=TARGET)
def lint(session: nox.Session) -> None:
    """ruff over the Python, shellcheck over the scripts, mypy over tervalo."""
    system(session, "build", "lint")
    session.install(*group("lint"))
    install_module(session)  # mypy reads the module's stub package
    session.run("ruff", "check", str(ROOT))
    session.run("shellcheck", "-x", *map(str, sorted((ROOT / "scripts").glob("*.sh"))),
                str(ROOT / ".ci" / "run"), external=True)
    session.run("mypy", "--strict", str(ROOT / "src" / "tervalo"))


@nox.session(python=TARGET)
def docs(session: nox.Session) -> None:
    """The site (mkdocs.yml) into build/site, every warning an error."""
    system(session, "build")
    session.install(*group("docs"))
    install_module(session)  # the API reference reads the module's stub package
    session.run("mkdocs", "build", "--strict", "--config-file", str(ROOT / "mkdocs.yml"))


@nox.session(python=TARGET)
def show(session: nox.Session) -> None:
    """The viewer: python -m tervalo with the arguments given."""
    system(session, "build")
    session.install(*PYPROJECT["project"]["optional-dependencies"]["pillow"])
    install_module(session)
    session.run("python", "-m", "tervalo", *session.posargs)


@nox.session(python=TARGET)
def dev(session: nox.Session) -> None:
    """.venv with the module and every tool, for plain pytest; rerun after an edit."""
    system(session, "build", "test")
    session.install(*group("test", "lint", "bench", "fuzz"))
    install_module(session)
    venv = ROOT / ".venv"
    if not venv.exists():
        venv.symlink_to(Path(session.virtualenv.location).relative_to(ROOT))
