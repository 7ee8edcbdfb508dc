"""Times tervalo_ext against libsixel called directly from C++ (bench/direct.cpp)
and through ctypes, judges the module's budgets and writes a table and a plot;
then the throughput of tervalo.EncoderPool with
one process and with one per core.

Run it as `nox -s bench`, which installs and builds what it needs. What the
figures mean: docs/benchmark-notes.md.
"""

import argparse
import ctypes
import datetime
import gc
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import images
import reference

ROOT = Path(__file__).resolve().parents[1]

SIZES = [(1, 1), (64, 64), (320, 240), (640, 480), (1920, 1080), (3840, 2160)]
QUICK_SIZES = SIZES[:2]
ROUTES = ["module", "direct", "ctypes"]
RATIO_LIMIT, RATIO_FROM_PIXELS = 1.02, 640 * 480  # module / direct, CPU time
OVERHEAD_LIMIT_US = 1.0                           # module - direct at 1x1
PAGE = os.sysconf("SC_PAGE_SIZE")
# Frames for the process pools: photo-like, at least two per core.
POOL_FRAME, QUICK_POOL_FRAME, POOL_FRAMES = (640, 480), (64, 64), 8


class Direct:
    def __init__(self, library):
        self.lib = ctypes.CDLL(str(library))
        self.lib.tervalo_bench_encode.argtypes = [
            ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
            ctypes.POINTER(ctypes.c_longlong), ctypes.POINTER(ctypes.c_void_p),
            ctypes.POINTER(ctypes.c_size_t)]
        self.lib.tervalo_bench_free.argtypes = [ctypes.c_void_p]

    def encode(self, pixels, width, height, repeats=1):
        """(total CPU ns, the last stream's pointer, its size); free the pointer."""
        cpu, stream, size = ctypes.c_longlong(), ctypes.c_void_p(), ctypes.c_size_t()
        if self.lib.tervalo_bench_encode(pixels, width, height, repeats, ctypes.byref(cpu),
                                         ctypes.byref(stream), ctypes.byref(size)):
            raise RuntimeError(f"direct libsixel encode failed for {width}x{height}")
        return cpu.value, stream, size.value

    def run(self, pixels, width, height, repeats=1):
        """(CPU ns per encode, stream of the last)."""
        cpu, stream, size = self.encode(pixels, width, height, repeats)
        try:
            return cpu / repeats, ctypes.string_at(stream, size)
        finally:
            self.lib.tervalo_bench_free(stream)


def in_process(encode):
    """A route timed here: CPU time of this thread, the collector off (the
    calls make no cycles)."""
    def run(pixels, width, height, repeats=1):
        gc.disable()
        start = time.thread_time_ns()
        for _ in range(repeats):
            stream = encode(pixels, width, height)
        cpu = time.thread_time_ns() - start
        gc.enable()
        return cpu / repeats, stream
    return run


def make_routes(direct_library):
    from tervalo_ext import sixel_encode_bytes
    return {"module": in_process(sixel_encode_bytes), "direct": Direct(direct_library).run,
            "ctypes": in_process(lambda *image: reference.libsixel_encode(*image)[0])}


def calibrate(cases, routes, target_s):
    """Checks every route's stream against the module's before anything is
    timed, and sets how many calls make one sample of about target_s."""
    for case in cases:
        streams, case["repeats"] = {}, {}
        for name, run in routes.items():
            run(case["pixels"], case["width"], case["height"])  # warm-up
            cpu, streams[name] = run(case["pixels"], case["width"], case["height"])
            case["repeats"][name] = max(1, min(100_000, round(target_s * 1e9 / max(cpu, 1))))
        for name in ROUTES[1:]:
            if streams[name] != streams["module"]:
                raise SystemExit(f"the {name} route's stream differs from the module's for "
                                 f"{case['label']}: the timings would compare different work")
        case["stream_bytes"] = len(streams["module"])


def measure(cases, routes, rounds, log):
    """Interleaved rounds: each visits every image and runs module and direct
    back to back (their ratio is taken per round), which goes first and where
    ctypes goes alternating, so that drift on a shared machine hits all alike."""
    for case in cases:
        case["times"] = {name: [] for name in routes}
    for r in range(rounds):
        for i, case in enumerate(cases):
            pair = ["module", "direct"][::1 if r % 2 else -1]
            for name in pair + ["ctypes"] if (r + i) % 2 else ["ctypes"] + pair:
                cpu, _ = routes[name](case["pixels"], case["width"], case["height"],
                                      case["repeats"][name])
                case["times"][name].append(cpu)
        log(f"  round {r + 1}/{rounds}")


def peak_probe(route, kind, width, height, direct_library):
    """In a fresh process with bench/heap_peak.cpp preloaded: the highest sum
    of live C-heap blocks during one encode, above the sum just before it."""
    heap = ctypes.CDLL(None)
    if not hasattr(heap, "tervalo_heap_peak"):
        raise SystemExit("the heap counter is not preloaded")
    heap.tervalo_heap_live.restype = heap.tervalo_heap_peak.restype = ctypes.c_longlong
    from tervalo_ext import sixel_encode_bytes
    direct = Direct(direct_library)

    def encode(pixels, width, height):  # the stream's size, read after the peak
        if route == "module":
            return len(sixel_encode_bytes(pixels, width, height))
        _, stream, size = direct.encode(pixels, width, height)
        direct.lib.tervalo_bench_free(stream)
        return size

    for make in images.KINDS.values():  # code pages and the allocator's arenas
        encode(make(16, 16), 16, 16)
    pixels = images.KINDS[kind](width, height)
    heap.tervalo_heap_reset()
    before = heap.tervalo_heap_live()
    size = encode(pixels, width, height)
    print(heap.tervalo_heap_peak() - before, size)


def measure_peaks(cases, build_dir, log):
    heap = str(build_dir / "libtervalo_bench_heap.so")
    env = dict(os.environ, LD_PRELOAD=" ".join(filter(None, [heap, os.environ.get("LD_PRELOAD")])))
    for case in cases:
        case["peak"] = {}
        for route in ("module", "direct"):
            out = subprocess.run(
                [sys.executable, __file__, "--probe", route, case["kind"], str(case["width"]),
                 str(case["height"]), "--build-dir", str(build_dir)],
                env=env, capture_output=True, text=True, check=True).stdout
            peak, stream_bytes = map(int, out.split())
            if stream_bytes != case["stream_bytes"]:
                raise SystemExit(f"the peak probe's {route} stream differs for {case['label']}")
            case["peak"][route] = peak
        log(f"  peak heap {case['label']}: module {case['peak']['module']} B, "
            f"direct {case['peak']['direct']} B")


def summarise(case):
    """Medians per route, and module against direct paired per round."""
    times = case["times"]
    case["median"] = {name: statistics.median(ts) for name, ts in times.items()}
    ratios = [m / d for m, d in zip(times["module"], times["direct"])]
    case["ratio"], case["ratio_range"] = statistics.median(ratios), (min(ratios), max(ratios))
    case["overhead_us"] = statistics.median(
        m - d for m, d in zip(times["module"], times["direct"])) / 1e3
    return case


def judge(case):
    """True/False per budget that applies to the case, None where none does.
    The module's heap may exceed direct's by its result (a copy of the stream)
    and a page for what does not grow with the image."""
    peak = case.get("peak")
    return {"ratio": case["ratio"] <= RATIO_LIMIT if case["pixels_n"] >= RATIO_FROM_PIXELS
            else None,
            "overhead": case["overhead_us"] <= OVERHEAD_LIMIT_US if case["pixels_n"] == 1
            else None,
            "heap": peak["module"] - peak["direct"] <= case["stream_bytes"] + PAGE if peak
            else None}


def fmt_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.{2 if unit == 's' else 1}f} {unit}"
    return f"{ns:.0f} ns"


def table(cases):
    mark = {None: "—", True: "pass", False: "FAIL"}
    rows = [["image", "stream bytes", *ROUTES, "module ÷ direct (rounds)", "overhead µs",
             "extra heap B (allowed)", f"ratio ≤ {RATIO_LIMIT}",
             f"overhead ≤ {OVERHEAD_LIMIT_US:g} µs", "heap"]]
    for c in cases:
        peak = c.get("peak")
        rows.append([c["label"], str(c["stream_bytes"]),
                     *(fmt_time(c["median"][name]) for name in ROUTES),
                     "{:.3f} ({:.3f}–{:.3f})".format(c["ratio"], *c["ratio_range"]),
                     f"{c['overhead_us']:+.2f}",
                     f"{peak['module'] - peak['direct']} ({c['stream_bytes'] + PAGE})"
                     if peak else "—",
                     *(mark[v] for v in judge(c).values())])
    lines = ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join([lines[0], "|" + "---|" * len(rows[0])] + lines[1:])


def measure_pools(width, height, rounds, log):
    """Wall-clock throughput of the same frames through an EncoderPool of one
    process and of one per core: both pools started and warmed up first,
    rounds alternating between them. Wall clock, as the work is spread over
    cores. Also how long each pool took from its creation to its first
    stream (of a tiny picture): what a program waits for a pool."""
    import numpy as np

    from tervalo import EncoderPool
    from tervalo._encode import encode_pixels

    cores = os.cpu_count() or 1
    count = max(POOL_FRAMES, 2 * cores)
    pixels = [images.photo_like(width, height, seed=k) for k in range(count)]
    frames = [np.frombuffer(p, np.uint8).reshape(height, width, 3) for p in pixels]
    # encode on the raw pixels: the pool's conversion is checked too.
    expected = [encode_pixels(p, width, height) for p in pixels]
    sizes = sorted({1, cores})
    pools, started = {}, {}
    for n in sizes:
        start = time.perf_counter()
        pools[n] = EncoderPool(processes=n)
        pools[n].submit(frames[0][:6, :6]).result()
        started[n] = time.perf_counter() - start
    try:
        seconds = {n: [] for n in sizes}
        for r in range(rounds + 1):  # the first round only warms up
            for n in sizes[::1 if r % 2 else -1]:
                start = time.perf_counter()
                streams = list(pools[n].map(frames))
                if r:
                    seconds[n].append(time.perf_counter() - start)
                elif streams != expected:
                    raise SystemExit(f"a pool of {n} returned other streams than encode "
                                     "called here")
            log(f"  pools round {r}/{rounds}" if r else "  pools warmed up")
    finally:
        for pool in pools.values():
            pool.shutdown()
    rate = {n: count / statistics.median(ts) for n, ts in seconds.items()}
    return {"label": f"{count} × {width}×{height} photo-like", "rate": rate,
            "ratio": rate[cores] / rate[1], "cores": cores, "started": started}


def pools_table(pools):
    cores = pools["cores"]
    rows = [["frames", "1 process, frames/s", f"{cores} processes, frames/s",
             f"{cores} ÷ 1", f"start to first stream, ms (1 / {cores} processes)"],
            [pools["label"], f"{pools['rate'][1]:.1f}", f"{pools['rate'][cores]:.1f}",
             f"{pools['ratio']:.2f}", " / ".join(f"{pools['started'][n] * 1000:.0f}"
                                                 for n in (1, cores))]]
    lines = ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join([lines[0], "|" + "---|" * len(rows[0])] + lines[1:])


def plot(cases, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(10, 4.4), sharey=True)
    for ax, kind in zip(axes, images.KINDS):
        series = [c for c in cases if c["kind"] == kind]
        # The module last and hollow: it lies on direct almost everywhere.
        for name, marker in zip(ROUTES[::-1], "Dso"):
            ax.plot([c["pixels_n"] for c in series], [c["median"][name] / 1e9 for c in series],
                    marker=marker, label=name, **({"fillstyle": "none", "markersize": 9}
                                                 if name == "module" else {}))
        ax.set(xscale="log", yscale="log", title=f"{kind} images", xlabel="pixels per image")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("CPU time per encode, s (median)")
    axes[1].legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="1x1 and 64x64, one round")
    parser.add_argument("--sizes", help="only these, e.g. 1x1,640x480")
    parser.add_argument("--rounds", type=int, help="default 9, quick 1")
    parser.add_argument("--target-seconds", type=float, help="one sample (default 0.1)")
    parser.add_argument("--out-dir", type=Path, default=ROOT / "build" / "bench-report",
                        help="where the report goes (default: build/bench-report)")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench",
                        help="where bench/CMakeLists.txt was built")
    parser.add_argument("--probe", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    direct = args.build_dir / "libtervalo_bench_direct.so"
    if args.probe:
        route, kind, width, height = args.probe
        return peak_probe(route, kind, int(width), int(height), direct)
    rounds = args.rounds or (1 if args.quick else 9)
    target_s = args.target_seconds or (0.01 if args.quick else 0.1)
    sizes = ([tuple(map(int, s.split("x"))) for s in args.sizes.split(",")] if args.sizes
             else QUICK_SIZES if args.quick else SIZES)

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    import tervalo_ext
    # Names, not paths: a report may be kept, and must not carry this machine's.
    context = (f"{Path(tervalo_ext.__file__).name}, Python {platform.python_version()}, "
               f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}")
    print(context)
    routes = make_routes(direct)
    cases = [{"label": f"{w}×{h} {kind}", "kind": kind, "width": w, "height": h,
              "pixels_n": w * h, "pixels": make(w, h)}
             for w, h in sizes for kind, make in images.KINDS.items()]
    calibrate(cases, routes, target_s)
    measure(cases, routes, rounds, log)
    measure_peaks(cases, args.build_dir, log)
    report = table([summarise(c) for c in cases])
    print(report)
    failed = [c["label"] + " " + k for c in cases for k, v in judge(c).items() if v is False]
    print("budgets: " + ("FAIL " + ", ".join(failed) if failed else "all pass"))
    pools = pools_table(measure_pools(*(QUICK_POOL_FRAME if args.quick else POOL_FRAME),
                                      rounds, log))
    print(pools)

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    args.out_dir.mkdir(parents=True, exist_ok=True)
    try:
        plot(cases, args.out_dir / "benchmarks.png")
        log(f"wrote {args.out_dir / 'benchmarks.png'}")
    except ImportError:  # another environment's interpreter, measuring only
        log("matplotlib is not installed: no plot")
    (args.out_dir / "benchmarks.md").write_text(
        f"# Benchmarks\n\n{now}, {rounds} round(s){' (quick)' if args.quick else ''}: {context}. "
        "CPU time per encode, median over rounds; what the columns and budgets mean: "
        "docs/benchmark-notes.md in the repository.\n\n"
        f"![CPU time against pixel count, log-log](benchmarks.png)\n\n{report}\n\n"
        "## Using every core\n\nFrames per second of wall-clock time through a process pool "
        "(tervalo.EncoderPool), median over rounds: one process against one "
        f"per core.\n\n{pools}\n")
    log(f"wrote {args.out_dir / 'benchmarks.md'}")


if __name__ == "__main__":
    main()
