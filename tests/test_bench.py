"""The benchmark's own logic: that its routes do the module's work, that its
images are the test suite's, that its memory probe sees an encode, and that
its figures and budget marks follow from the samples. No time is asserted."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import conftest
from tervalo_ext import sixel_encode_bytes

ROOT = Path(__file__).resolve().parents[1]
BENCH = ROOT / "bench"
sys.path.insert(0, str(BENCH))
import benchmark  # noqa: E402
import routes  # noqa: E402


@pytest.mark.parametrize("width, height", [(1, 1), (7, 5), (130, 70)])
@pytest.mark.parametrize("kind", ["few_colour", "photo_like"])
def test_images_and_ctypes_route_match_the_test_suite(kind, width, height):
    pixels = getattr(routes, kind)(width, height)
    assert pixels == getattr(conftest, kind)(width, height)
    cpu, wall, stream = routes.CtypesRoute().run(pixels, width, height, repeats=2)
    assert 0 < cpu and 0 < wall
    assert stream == sixel_encode_bytes(pixels, width, height)


@pytest.fixture(scope="module")
def bench_build(tmp_path_factory):
    """bench/'s libraries built the way scripts/bench.sh builds them."""
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not on PATH")
    build = tmp_path_factory.mktemp("bench-build")
    subprocess.run([cmake, "-S", str(ROOT), "-B", str(build), "-DTERVALO_BUILD_BENCH=ON",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build), "--target", "tervalo_bench_direct",
                    "tervalo_bench_heap"], check=True, capture_output=True)
    return build


@pytest.mark.parametrize("width, height", [(1, 1), (9, 7), (400, 90)])
def test_direct_baseline_writes_the_modules_stream(bench_build, width, height):
    route = routes.DirectRoute(bench_build / "libtervalo_bench_direct.so")
    for make in (routes.few_colour, routes.photo_like):
        pixels = make(width, height)
        cpu, wall, stream = route.run(pixels, width, height, repeats=3)
        assert 0 < cpu and 0 < wall
        assert stream == sixel_encode_bytes(pixels, width, height)
    with pytest.raises(RuntimeError):
        route.run(b"", 0, 1)


class _FixedRoute:
    def __init__(self, stream):
        self.stream = stream

    def run(self, pixels, width, height, repeats=1):
        return 1000.0, 1000.0, self.stream


def test_calibration_stops_when_a_baseline_disagrees():
    pixels = routes.few_colour(8, 8)
    right = sixel_encode_bytes(pixels, 8, 8)
    fake = {"module": routes.ModuleRoute(), "direct": _FixedRoute(right),
            "ctypes": _FixedRoute(right[:-2]), "img2sixel": _FixedRoute(right)}
    case = {"label": "8x8", "pixels": pixels, "width": 8, "height": 8}
    with pytest.raises(SystemExit, match="ctypes route's stream differs"):
        benchmark.calibrate([case], fake, 0.001, log=lambda _: None)
    fake["ctypes"] = _FixedRoute(right)
    benchmark.calibrate([case], fake, 0.001, log=lambda _: None)
    assert case["img2sixel"]["identical"] and case["stream_bytes"] == len(right)
    assert case["repeats"]["direct"] == 1000  # 1 ms samples of 1 µs calls


@conftest.not_under_asan("the probe's heap counter cannot take over from ASan's allocator")
@pytest.mark.parametrize("route", ["module", "direct"])
def test_peak_memory_probe_sees_the_encode(bench_build, tmp_path, route):
    width, height = 640, 480
    pixels = routes.photo_like(width, height)
    raw = tmp_path / "pixels.rgb"
    raw.write_bytes(pixels)
    env = dict(os.environ, LD_PRELOAD=str(bench_build / "libtervalo_bench_heap.so"))
    run = subprocess.run([sys.executable, str(BENCH / "peak_memory.py"), route, str(raw),
                          str(width), str(height), str(bench_build / "libtervalo_bench_direct.so")],
                         env=env, capture_output=True, text=True, check=True)
    result = json.loads(run.stdout)
    stream = result["stream_bytes"]
    assert stream == len(sixel_encode_bytes(pixels, width, height))
    # At its end an encode holds the pixel copy and the stream; the module
    # also holds the copy of the stream it returns.
    copies = 2 if route == "module" else 1
    assert len(pixels) + copies * stream <= result["heap_bytes"] < 10 * len(pixels)
    assert 0 < result["rss_bytes"] < 10 * len(pixels)


def _case(kind, width, height, module, direct, stream_bytes=1000, peak=None):
    case = {"label": f"{width}x{height} {kind}", "kind": kind, "width": width,
            "height": height, "stream_bytes": stream_bytes,
            "times": {"module": module, "direct": direct, "ctypes": direct,
                      "img2sixel": direct}}
    if peak:
        case["peak"] = dict(zip(("module", "direct"), peak))
    return benchmark.summarise(case)


def test_figures_are_paired_per_round():
    # Drift between rounds: each round's module/direct pair is compared.
    case = _case("photo-like", 640, 480, [101, 204, 303], [100, 200, 300])
    assert case["ratio"] == pytest.approx(1.01)
    assert case["ratio_range"] == pytest.approx((1.01, 1.02))
    assert case["overhead_us"] == pytest.approx(0.003)
    assert case["median"]["module"] == 204 and case["best"]["module"] == 101
    assert case["bytes_per_s"] == pytest.approx(1000 / 204e-9)


@pytest.mark.parametrize("width, height, module, direct, peak, expected", [
    (1, 1, [1900], [1000], None, {"ratio": None, "overhead": True, "memory": None}),
    (1, 1, [2100], [1000], (0, 0), {"ratio": None, "overhead": False, "memory": True}),
    (320, 240, [2e6], [1e6], (0, 0), {"ratio": None, "overhead": None, "memory": True}),
    (640, 480, [1.02e6], [1e6], (5096, 0), {"ratio": True, "overhead": None, "memory": True}),
    (640, 480, [1.03e6], [1e6], (5097, 0), {"ratio": False, "overhead": None,
                                             "memory": False}),
])
def test_budgets_apply_where_they_should(width, height, module, direct, peak, expected,
                                         monkeypatch):
    monkeypatch.setattr(benchmark, "PAGE", 4096)
    assert benchmark.judge(_case("photo-like", width, height, module, direct,
                                 peak=peak)) == expected


def test_exponent_is_fitted_where_pixels_dominate():
    sizes = [(1, 1), (64, 64), (320, 240), (640, 480), (1920, 1080)]
    # A fixed 1 ms per call plus time growing as pixels ** 1.3.
    cases = [_case("photo-like", w, h, [1e6 + 50 * (w * h) ** 1.3], [1.0]) for w, h in sizes]
    cases.append(_case("few-colour", 1920, 1080, [1.0], [1.0]))  # not in the series
    fitted, overall, passed = benchmark.exponent_verdict(cases)
    assert 1.2 < fitted < 1.3 and passed is False
    assert overall < fitted
    exact = [(p, 3 * p ** 1.05) for p in (10, 100, 1000)]
    assert benchmark.fit_exponent(*zip(*exact)) == pytest.approx(1.05)
    assert benchmark.fit_exponent([5], [1.0]) is None
    assert benchmark.exponent_verdict(cases[3:4]) == (None, None, None)


def test_round_order_interleaves_and_keeps_the_pair_adjacent():
    orders = [benchmark.round_order(r, i) for r in range(6) for i in range(2)]
    for order in orders:
        assert sorted(order) == sorted(benchmark.ROUTES)
        assert abs(order.index("module") - order.index("direct")) == 1
    assert {order[0] for order in orders} == {"module", "direct", "ctypes", "img2sixel"}
    assert {order[-1] for order in orders} == {"module", "direct", "ctypes", "img2sixel"}
