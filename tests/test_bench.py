"""The benchmark's own logic: that its baselines do the module's work, that its
peak probe sees an encode, and that its figures and budget marks follow from
the samples. No time is asserted."""

import shutil
import subprocess
import sys
from pathlib import Path

import images
import pytest
import reference
from conftest import not_under_asan

from tervalo_ext import sixel_encode_bytes

BENCH = Path(__file__).resolve().parents[1] / "bench"
sys.path.insert(0, str(BENCH))
import benchmark  # noqa: E402

pytestmark = pytest.mark.tooling

# bench/ links the system's libsixel; a module from a wheel carries its own,
# which may be another version (Debian unstable's 1.8.7 against the wheel's
# 1.10.3), so the direct baseline's bytes need not match it there.
BUNDLED = "tervalo_ext.libs" in (reference.module_libsixel_path() or "")


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    """bench/'s own CMake project, built as the bench session builds it."""
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not on PATH")
    build = tmp_path_factory.mktemp("bench-build")
    subprocess.run([cmake, "-S", str(BENCH), "-B", str(build)], check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build)], check=True, capture_output=True)
    return build


@pytest.fixture(scope="module")
def routes(build):
    return benchmark.make_routes(build / "libtervalo_bench_direct.so")


@pytest.mark.parametrize("width, height", [(1, 1), (9, 7), (400, 90)])
@pytest.mark.parametrize("kind", images.KINDS)
def test_baselines_write_the_modules_stream(routes, kind, width, height):
    pixels = images.KINDS[kind](width, height)
    expected = sixel_encode_bytes(pixels, width, height)
    for name in ("ctypes",) if BUNDLED else ("direct", "ctypes"):
        cpu, stream = routes[name](pixels, width, height, repeats=3)
        assert cpu > 0 and stream == expected, name
    with pytest.raises(RuntimeError):
        routes["direct"](b"", 0, 1)


def test_calibration_stops_when_a_baseline_disagrees(routes):
    pixels = images.few_colour(8, 8)
    right = sixel_encode_bytes(pixels, 8, 8)
    case = {"label": "8x8", "pixels": pixels, "width": 8, "height": 8}
    fake = dict(routes, ctypes=lambda *image: (1000.0, right[:-2]))
    with pytest.raises(SystemExit, match="ctypes route's stream differs"):
        benchmark.calibrate([case], fake, 0.001)
    fake["ctypes"] = lambda *image: (1000.0, right)
    benchmark.calibrate([case], fake, 0.001)
    assert case["stream_bytes"] == len(right)
    assert case["repeats"]["ctypes"] == 1000  # 1 ms samples of 1 µs calls


@not_under_asan("the probe's heap counter cannot take over from ASan's allocator")
@pytest.mark.parametrize("route", ["module", "direct"])
def test_peak_probe_sees_the_encode(build, route, harness_env):
    if route == "direct" and BUNDLED:
        pytest.skip("the module carries its own libsixel; the direct baseline links the system's")
    width, height = 640, 480
    pixels = images.photo_like(width, height)
    env = dict(harness_env, LD_PRELOAD=str(build / "libtervalo_bench_heap.so"))
    out = subprocess.run([sys.executable, str(BENCH / "benchmark.py"), "--build-dir", str(build),
                          "--probe", route, "photo-like", str(width), str(height)],
                         env=env, capture_output=True, text=True, check=True).stdout
    peak, stream = map(int, out.split())
    assert stream == len(sixel_encode_bytes(pixels, width, height))
    # Late in an encode both hold the pixel copy and the stream; the module
    # also the copy it returns.
    copies = 2 if route == "module" else 1
    assert len(pixels) + copies * stream <= peak < 10 * len(pixels)


def _case(width, height, module, direct, peak=None, stream_bytes=1000):
    case = {"pixels_n": width * height, "stream_bytes": stream_bytes,
            "times": {"module": module, "direct": direct, "ctypes": direct}}
    if peak:
        case["peak"] = dict(zip(("module", "direct"), peak))
    return benchmark.summarise(case)


def test_figures_are_paired_per_round():
    # Drift between rounds: each round's module time is set against its own
    # direct time, not against the median of all.
    case = _case(640, 480, [101, 204, 303], [100, 200, 300])
    assert case["ratio"] == pytest.approx(1.01)
    assert case["ratio_range"] == pytest.approx((1.01, 1.02))
    assert case["overhead_us"] == pytest.approx(0.003)
    assert case["median"]["module"] == 204


@pytest.mark.parametrize("width, height, module, direct, peak, expected", [
    (1, 1, [1900], [1000], None, {"ratio": None, "overhead": True, "heap": None}),
    (1, 1, [2100], [1000], (0, 0), {"ratio": None, "overhead": False, "heap": True}),
    (320, 240, [2e6], [1e6], (0, 0), {"ratio": None, "overhead": None, "heap": True}),
    (640, 480, [1.02e6], [1e6], (5096, 0), {"ratio": True, "overhead": None, "heap": True}),
    (640, 480, [1.03e6], [1e6], (5097, 0), {"ratio": False, "overhead": None, "heap": False}),
])
def test_budgets_apply_where_they_should(width, height, module, direct, peak, expected,
                                         monkeypatch):
    monkeypatch.setattr(benchmark, "PAGE", 4096)
    assert benchmark.judge(_case(width, height, module, direct, peak)) == expected


@pytest.mark.parametrize("script, rows", [("stills.py", 4), ("strips.py", 3), ("crawl.py", 8)])
def test_side_by_side_scripts_print_their_tables(harness_env, script, rows):
    """Their --quick runs (what the bench session's CI run does): a table
    with a row a case and no cell left unmeasured where its tool exists."""
    run = subprocess.run([sys.executable, str(BENCH / script), "--quick"], env=harness_env,
                         capture_output=True, text=True, timeout=300, check=False)
    assert run.returncode == 0, run.stderr
    body = [line for line in run.stdout.splitlines() if line.startswith("| ")][1:]
    assert len(body) == rows, run.stdout
    if script == "stills.py" and shutil.which("chafa") and shutil.which("img2sixel"):
        assert all("—" not in line for line in body), run.stdout
