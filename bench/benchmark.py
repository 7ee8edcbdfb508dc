"""Times tervalo_ext against libsixel called directly and against what a
Python or shell user would do without it, checks the results against the
module's budgets, and writes a report with a plot.

Run it through scripts/bench.sh, which installs and builds what it needs.
"""

import argparse
import datetime
import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from routes import (KINDS, CtypesRoute, DirectRoute, Img2sixelRoute,  # noqa: E402
                    ModuleRoute)

ROOT = Path(__file__).resolve().parents[1]
ANALYSIS = Path(__file__).resolve().with_name("analysis.md")  # hand-written, copied in
SIZES = [(1, 1), (64, 64), (320, 240), (640, 480), (1920, 1080), (3840, 2160)]
QUICK_SIZES = SIZES[:2]
ROUTES = ["module", "direct", "ctypes", "img2sixel"]

# Budgets.
RATIO_LIMIT = 1.02               # module / direct ...
RATIO_FROM_PIXELS = 640 * 480    # ... for images at least this large
OVERHEAD_LIMIT_US = 1.0          # module - direct at 1x1
EXPONENT_LIMIT = 1.1             # time ~ pixels ** exponent, photo-like series
FIT_FROM_PIXELS = 320 * 240      # below this, fixed per-call costs dominate
PAGE = os.sysconf("SC_PAGE_SIZE")


# --- statistics and budgets (pure; tests/test_bench.py covers them) ---------

def fit_exponent(pixels, seconds):
    """Least-squares slope of log(time) against log(pixel count)."""
    if len(pixels) < 2:
        return None
    xs = [math.log(p) for p in pixels]
    ys = [math.log(s) for s in seconds]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    if sxx == 0:
        return None
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx


def summarise(case):
    """Adds median/best per route and the paired module-vs-direct figures
    (each round's module and direct times were taken back to back)."""
    times = case["times"]
    case["median"] = {r: statistics.median(ts) for r, ts in times.items()}
    case["best"] = {r: min(ts) for r, ts in times.items()}
    case["wall_median"] = {r: statistics.median(ts) for r, ts in case.get("walls", {}).items()}
    pairs = list(zip(times["module"], times["direct"]))
    ratios = [m / d for m, d in pairs]
    case["ratio"] = statistics.median(ratios)
    case["ratio_range"] = (min(ratios), max(ratios))
    case["overhead_us"] = statistics.median(m - d for m, d in pairs) / 1e3
    case["bytes_per_s"] = case["stream_bytes"] / (case["median"]["module"] / 1e9)
    return case


def memory_allowance(case):
    """One copy of the stream (the result bytes), plus one page for what
    does not grow with the image: the result's object header, the
    allocator's rounding, the guarded heap's block table on small images
    (and, for resident memory, counting in whole pages)."""
    return case["stream_bytes"] + PAGE


def judge(case):
    """Pass/fail (True/False) per budget that applies to this case, else None."""
    pixels = case["width"] * case["height"]
    marks = {"ratio": None, "overhead": None, "memory": None}
    if pixels >= RATIO_FROM_PIXELS:
        marks["ratio"] = case["ratio"] <= RATIO_LIMIT
    if pixels == 1:
        marks["overhead"] = case["overhead_us"] <= OVERHEAD_LIMIT_US
    peak = case.get("peak")
    if peak:
        marks["memory"] = peak["module"] - peak["direct"] <= memory_allowance(case)
    return marks


def exponent_verdict(cases, route="module"):
    """Fitted exponent over the photo-like series from FIT_FROM_PIXELS up,
    the same over every size, and the pass mark for the first."""
    series = sorted((c["width"] * c["height"], c["median"][route] / 1e9)
                    for c in cases if c["kind"] == "photo-like")
    large = [(p, s) for p, s in series if p >= FIT_FROM_PIXELS]
    fitted = fit_exponent(*zip(*large)) if len(large) >= 2 else None
    overall = fit_exponent(*zip(*series)) if len(series) >= 2 else None
    passed = None if fitted is None else fitted <= EXPONENT_LIMIT
    return fitted, overall, passed


# --- measuring --------------------------------------------------------------

def make_routes(direct_library):
    return {"module": ModuleRoute(), "direct": DirectRoute(direct_library),
            "ctypes": CtypesRoute(), "img2sixel": Img2sixelRoute()}


def decoded_equal(a, b):
    """Whether two sixel streams decode to the same pixels (ImageMagick), or
    None where ImageMagick is missing or refuses."""
    convert = "/usr/bin/convert" if os.access("/usr/bin/convert", os.X_OK) else None
    if convert is None:
        return None

    def decode(stream):
        # ImageMagick 6 yields black going straight from sixel to raw pixels.
        png = subprocess.run([convert, "sixel:-", "png:-"], input=stream,
                             capture_output=True, check=True).stdout
        return subprocess.run([convert, "png:-", "-depth", "8", "rgb:-"], input=png,
                              capture_output=True, check=True).stdout

    try:
        return decode(a) == decode(b)
    except subprocess.CalledProcessError:  # e.g. over the local policy's limits
        return None


def palette(stream):
    return sorted(re.findall(rb"#\d+;2;(\d+;\d+;\d+)", stream))


def calibrate(cases, routes, target_s, log):
    """Calls every route on every image once or twice (kept out of the
    figures): checks each stream against the module's and sets how many calls
    make up one timed sample of about target_s."""
    for case in cases:
        args = (case["pixels"], case["width"], case["height"])
        streams = {}
        case["repeats"] = {}
        for name, route in routes.items():
            _, wall, streams[name] = route.run(*args)
            if name != "img2sixel":  # the first call also warms up
                wall = min(wall, route.run(*args)[1])
            case["repeats"][name] = max(1, min(100_000, round(target_s * 1e9 / wall)))
        expected = streams["module"]
        for name in ("direct", "ctypes"):
            if streams[name] != expected:
                raise SystemExit(f"{name} route's stream differs from the module's for "
                                 f"{case['label']}: the comparison would be meaningless")
        other = streams["img2sixel"]
        case["stream_bytes"] = len(expected)
        case["img2sixel"] = {
            "bytes": len(other), "identical": other == expected,
            "same_palette": palette(other) == palette(expected),
            "same_pixels": True if other == expected else decoded_equal(other, expected)}
        log(f"  calibrated {case['label']}: {len(expected)} bytes, repeats "
            + ", ".join(f"{n} {r}" for n, r in case["repeats"].items()))


def round_order(r, i):
    """Route order for round r of case i: module and direct always next to
    each other (their ratio is taken per round), which goes first
    alternating, and the three blocks rotating, so that drift on the
    (shared) machine hits every route alike."""
    pair = ["module", "direct"] if r % 2 == 0 else ["direct", "module"]
    blocks = [pair, ["ctypes"], ["img2sixel"]]
    shift = (r + i) % len(blocks)
    return [name for block in blocks[shift:] + blocks[:shift] for name in block]


def measure(cases, routes, rounds, log):
    """Interleaved: every round visits every case and runs all routes on it
    back to back, in the order round_order gives."""
    names = list(routes)
    for case in cases:
        case["times"] = {n: [] for n in names}
        case["walls"] = {n: [] for n in names}
    for r in range(rounds):
        for i, case in enumerate(cases):
            for name in round_order(r, i):
                cpu, wall, _ = routes[name].run(case["pixels"], case["width"],
                                                case["height"], case["repeats"][name])
                case["times"][name].append(cpu)
                case["walls"][name].append(wall)
        log(f"  round {r + 1}/{rounds} done")


def measure_peaks(cases, direct_library, heap_library, log):
    """Peak memory of one encode per route, each in a fresh process, with
    the heap counter preloaded when it is built (bench/peak_memory.py)."""
    probe = Path(__file__).resolve().with_name("peak_memory.py")
    env = dict(os.environ)
    if heap_library.exists():
        env["LD_PRELOAD"] = " ".join(filter(None, [str(heap_library),
                                                   env.get("LD_PRELOAD")]))
    with tempfile.TemporaryDirectory() as tmp:
        for case in cases:
            raw = Path(tmp) / "pixels.rgb"
            raw.write_bytes(case["pixels"])
            case["peak"], case["rss"] = {}, {}
            for route in ("module", "direct"):
                out = subprocess.run(
                    [sys.executable, str(probe), route, str(raw), str(case["width"]),
                     str(case["height"]), str(direct_library)],
                    env=env, capture_output=True, text=True, check=True).stdout
                result = json.loads(out)
                if result["stream_bytes"] != case["stream_bytes"]:
                    raise SystemExit(f"peak probe of {route} produced a different stream "
                                     f"for {case['label']}")
                case["rss"][route] = result["rss_bytes"]
                case["rss_method"] = result["rss_method"]
                # The budget is judged on the exact heap figure when there is one.
                case["peak"][route] = result["heap_bytes"]
                case["peak_method"] = "heap"
                if result["heap_bytes"] is None:
                    case["peak"][route] = result["rss_bytes"]
                    case["peak_method"] = "resident"
            log(f"  peak memory {case['label']} ({case['peak_method']}): module "
                f"{case['peak']['module']} B, direct {case['peak']['direct']} B; resident: "
                f"module {case['rss']['module']} B, direct {case['rss']['direct']} B")


# --- reporting --------------------------------------------------------------

def fmt_time(ns):
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.1f} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e9:.2f} s"


def fmt_bytes(n):
    sign = "-" if n < 0 else ""
    n = abs(n)
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale:
            return f"{sign}{n / scale:.1f} {unit}"
    return f"{sign}{n} B"


def mark(ok):
    return "—" if ok is None else ("pass" if ok else "FAIL")


def time_rows(cases):
    header = ["image", "stream", "module", "direct", "ctypes", "img2sixel process",
              "img2sixel wall", "module wall"]
    rows = [[c["label"], fmt_bytes(c["stream_bytes"]),
             *(f"{fmt_time(c['median'][r])} ({fmt_time(c['best'][r])})" for r in ROUTES),
             fmt_time(c["wall_median"]["img2sixel"]), fmt_time(c["wall_median"]["module"])]
            for c in cases]
    return header, rows


def figure_rows(cases):
    header = ["image", "module ÷ direct", "per round", "overhead µs", "output rate",
              "peak heap module",
              "peak heap direct", "extra (allowed)", "resident module / direct",
              "ratio ≤ 1.02", "overhead ≤ 1 µs", "memory"]
    rows = []
    for c in cases:
        marks = judge(c)
        peak, rss = c.get("peak"), c.get("rss")
        rows.append([
            c["label"], f"{c['ratio']:.3f}",
            "{:.3f}–{:.3f}".format(*c["ratio_range"]), f"{c['overhead_us']:+.2f}",
            f"{c['bytes_per_s'] / 1e6:.1f} MB/s",
            fmt_bytes(peak["module"]) if peak else "—",
            fmt_bytes(peak["direct"]) if peak else "—",
            (f"{fmt_bytes(peak['module'] - peak['direct'])} "
             f"({fmt_bytes(memory_allowance(c))})" if peak else "—"),
            f"{fmt_bytes(rss['module'])} / {fmt_bytes(rss['direct'])}" if rss else "—",
            mark(marks["ratio"]), mark(marks["overhead"]), mark(marks["memory"])])
    return header, rows


def text_table(header, rows):
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]
    line = lambda cells: "  ".join(c.ljust(w) for c, w in zip(cells, widths))  # noqa: E731
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def markdown_table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


def plot(cases, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.6), sharey=True)
    styles = {"module": ("C0", "o"), "direct": ("C2", "s"), "ctypes": ("C1", "^"),
              "img2sixel": ("C3", "D")}
    labels = {"module": "tervalo_ext", "direct": "libsixel from C++ (direct)",
              "ctypes": "libsixel through ctypes", "img2sixel": "img2sixel process"}
    for ax, kind in zip(axes, KINDS):
        series = sorted((c for c in cases if c["kind"] == kind),
                        key=lambda c: c["width"] * c["height"])
        pixels = [c["width"] * c["height"] for c in series]
        # The module last and hollow: it lies on top of direct almost everywhere.
        for route in ["direct", "ctypes", "img2sixel", "module"]:
            colour, marker = styles[route]
            look = ({"markerfacecolor": "none", "markersize": 9} if route == "module"
                    else {"markersize": 5})
            ax.plot(pixels, [c["median"][route] / 1e9 for c in series], marker=marker,
                    color=colour, label=labels[route], linewidth=1.4, **look)
        large = [c for c in series if c["width"] * c["height"] >= FIT_FROM_PIXELS]
        if len(large) >= 2:  # slope 1 from direct's first point in the fitted range
            first = large[0]
            xs = [c["width"] * c["height"] for c in large]
            ys = [first["median"]["direct"] / 1e9 * x / xs[0] for x in xs]
            ax.plot(xs, ys, color="grey", linestyle=":", linewidth=1.2,
                    label="∝ pixel count (slope 1)")
        ax.plot(pixels, [c["wall_median"]["img2sixel"] / 1e9 for c in series], marker="D",
                color=styles["img2sixel"][0], linestyle="--", linewidth=1, markersize=3,
                label="img2sixel process, wall clock")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(f"{kind} images")
        ax.set_xlabel("pixels per image")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("time per encode, s (median; CPU unless marked)")
    axes[1].legend(loc="upper left", fontsize=8)
    fig.suptitle("Sixel encode time against image size (log-log)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def machine_description(load_before, load_after):
    cpu = "unknown CPU"
    try:
        found = re.search(r"^model name\s*:\s*(.+)$", Path("/proc/cpuinfo").read_text(), re.M)
        cpu = found.group(1) if found else cpu
    except OSError:
        pass
    version = subprocess.run(["pkg-config", "--modversion", "libsixel"], capture_output=True,
                             text=True).stdout.strip() or "unknown"
    return (f"{cpu}, {os.cpu_count()} logical cores, Linux {platform.release()}, "
            f"Python {platform.python_version()}, libsixel {version}; load average "
            f"{load_before[0]:.2f} before the run, {load_after[0]:.2f} after")


def write_report(cases, args, machine, out_dir, log):
    tables = [time_rows(cases), figure_rows(cases)]
    fitted, overall, passed = exponent_verdict(cases)
    direct_fit = exponent_verdict(cases, "direct")
    print("\nCPU time per encode, median (best); wall-clock medians for img2sixel and the module:")
    print(text_table(*tables[0]))
    print("\nModule against direct, and budgets:")
    print(text_table(*tables[1]))
    print()
    if fitted is not None:
        print(f"photo-like series, fitted exponent of time against pixel count from "
              f"{FIT_FROM_PIXELS} pixels up: module {fitted:.3f} ({mark(passed)}, limit "
              f"{EXPONENT_LIMIT}), direct {direct_fit[0]:.3f}; over every size: module "
              f"{overall:.3f}")
    else:
        print(f"photo-like series: too few sizes from {FIT_FROM_PIXELS} pixels up to fit "
              f"an exponent" + (f" (over every size: {overall:.3f})" if overall else ""))
    print(f"img2sixel: {', '.join(img2sixel_summary(c) for c in cases)}")

    out_dir.mkdir(parents=True, exist_ok=True)
    plot(cases, out_dir / "benchmarks.png")
    (out_dir / "benchmarks.md").write_text(markdown_report(
        cases, args, machine, tables, fitted, overall, passed, direct_fit))
    log(f"wrote {out_dir / 'benchmarks.md'} and {out_dir / 'benchmarks.png'}")


def img2sixel_summary(case):
    info = case["img2sixel"]
    if info["identical"]:
        return f"{case['label']} identical"
    pixels = {True: "same pixels", False: "different pixels", None: "pixels not compared"}
    return (f"{case['label']} differs ({info['bytes']} vs {case['stream_bytes']} bytes; "
            f"{'same' if info['same_palette'] else 'different'} palette colours, "
            f"{pixels[info['same_pixels']]})")


def img2sixel_rows(cases):
    answer = {True: "yes", False: "no", None: "not compared"}
    header = ["image", "module bytes", "img2sixel bytes", "identical", "same palette colours",
              "same pixels (ImageMagick)"]
    rows = [[c["label"], str(c["stream_bytes"]), str(c["img2sixel"]["bytes"]),
             answer[c["img2sixel"]["identical"]], answer[c["img2sixel"]["same_palette"]],
             answer[c["img2sixel"]["same_pixels"]]] for c in cases]
    return header, rows


def markdown_report(cases, args, machine, tables, fitted, overall, passed, direct_fit):
    rounds = len(cases[0]["times"]["module"])
    method = cases[0].get("peak_method", "not measured")
    rss_method = cases[0].get("rss_method", "not measured")
    fit_line = (f"**{fitted:.3f}** ({mark(passed)}; limit {EXPONENT_LIMIT}); libsixel "
                f"direct: {direct_fit[0]:.3f}; the module over every size, 1×1 included: "
                f"{overall:.3f}" if fitted is not None else "not enough sizes in this run")
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return f"""# Benchmarks

What `sixel_encode_bytes` costs next to libsixel alone, and next to what a Python or shell
user would do without it. Produced by `./scripts/bench.sh` (see the README); this file and
`benchmarks.png` are the output of one full run and are overwritten by the next.

Run: {now}, {rounds} round(s){" (quick mode)" if args.quick else ""}. Machine: {machine}.
{args.note + " " if args.note else ""}Absolute times move with whatever else the machine runs;
the routes are interleaved (below) so that such load hits them alike, and the ratio and
overhead figures are paired per round.

![Encode time against pixel count, log-log, per route](benchmarks.png)

## Routes

- **module**: `tervalo_ext.sixel_encode_bytes(pixels, width, height)` called in a Python loop;
  time per call, including the loop, argument conversion, the pixel copy and the copy of the
  stream into the result `bytes`.
- **direct**: `bench/direct.cpp`, built by the project's CMake (`-DTERVALO_BUILD_BENCH=ON`):
  libsixel called from C++ with the same configuration (automatic palette, RGB888,
  `LARGE_NORM`, `REP_CENTER_BOX`, `QUALITY_HIGH`) and libsixel's default allocator, doing the
  per-encode work the module cannot avoid: pixel copy, dither and palette, output into a heap
  buffer grown by exact `realloc` per 16384-byte piece, release. It times its own loop, so
  no interpreter or ctypes cost is counted.
- **ctypes**: libsixel through `ctypes` with a Python write callback collecting the pieces and
  joining them, which is what a Python user writes without the module.
- **img2sixel**: Debian's `img2sixel` (libsixel-bin) with no options, fed a binary PPM on stdin,
  its stream read from a pipe: whole-process time (start-up, PPM decoding, encoding). Its
  defaults do the same work as the module (256 colours, median cut, centre-of-box colours,
  Floyd–Steinberg diffusion on the photo-like images; setting `-q high -d fs -f norm -s center`
  explicitly gives the same bytes as no options). Where it orders the palette differently,
  its stream is not byte-identical to the module's; the table says whether it still holds the
  same palette colours and, where ImageMagick decoded both streams, the same pixels:

{markdown_table(*img2sixel_rows(cases))}

The direct and ctypes streams are checked byte for byte against the module's for every image
before timing; the run stops if they differ.

## Method

- Images: {", ".join(f"{w}×{h}" for w, h in sorted({(c["width"], c["height"]) for c in cases},
                    key=lambda s: s[0] * s[1]))}, each **few-colour** (four flat colours: the
  palette path, no diffusion) and **photo-like** (gradients plus noise, far more than 256
  colours: median cut and error diffusion), generated deterministically (`bench/routes.py`,
  the same generators as the test suite's).
- **Time** is CPU time: of the thread that encodes for the module, direct and ctypes routes
  (`CLOCK_THREAD_CPUTIME_ID`; the encode is single-threaded and does no I/O, so on an idle
  machine it equals wall-clock time), and of the whole `img2sixel` process (user + system).
  On a shared machine, wall-clock time also counts the time the scheduler gives to others:
  in trials here the module ÷ direct ratio at 640×480 scattered ±10 % in wall-clock time and
  ±2 % in CPU time. Wall-clock medians are shown for the module and for `img2sixel` (what a
  shell user waits, process start included).
- One sample is a batch of calls lasting about {args.target_seconds * 1e3:.0f} ms (at least one
  call), reported per call. Each round visits every image and runs the four routes back to back
  in an order that changes from round to round (module and direct always adjacent, which of
  them goes first alternating, the blocks rotating), so that drift hits every route alike.
  Times are the median (and best) of {rounds} round(s).
- **module ÷ direct** and **overhead** are the medians over rounds of that round's module time
  divided by (minus) its direct time; **per round** gives the lowest and highest of those
  ratios, the scatter the median has to see through.
- **Output rate**: stream bytes per second of the module's median time.
- **Peak memory**: one encode per route in a fresh Python process (`bench/peak_memory.py`),
  after the input is read and the route warmed up on small images. **Peak heap** (the
  budget's figure{"" if method == "heap" else "; not measured in this run, resident memory stands in"}):
  `bench/heap_peak.cpp`, preloaded, counts the bytes of live C-heap blocks
  (`malloc_usable_size`); the figure is the highest count during the encode above the count
  just before it. It is exact and repeatable. **Resident** memory: the kernel's high-water
  mark, reset to the current resident size just before the encode, minus that size ({rss_method}).
  It is what the system sees, but it moves by hundreds of KiB from run to run with where
  `malloc` places blocks (heap top or separate mappings), so it is reported, not judged.
  Budget: the module's peak may exceed direct's by one copy of the stream (its result `bytes`)
  plus one page ({PAGE} bytes) for what does not grow with the image: the result's object
  header, the allocator's rounding and, on small images, the table in which the module's
  guarded heap records libsixel's blocks (512 bytes at 1×1, so there the extra exceeds the
  28-byte stream itself).
- Fitted exponent: least-squares slope of log(time) against log(pixel count) over the
  photo-like series from {FIT_FROM_PIXELS} pixels (320×240) up, where per-call fixed costs no
  longer flatten the curve.

## Results

CPU time per encode, median (best) of {rounds} round(s); the last two columns are wall-clock
medians:

{markdown_table(*tables[0])}

The module against direct, and the budgets:

{markdown_table(*tables[1])}

Fitted exponent of the module's time against pixel count (photo-like, from 320×240 up):
{fit_line}.

Budgets: module ÷ direct ≤ {RATIO_LIMIT} from 640×480 up; overhead ≤ {OVERHEAD_LIMIT_US:g} µs at
1×1; peak memory above direct by no more than one copy of the output (plus one page, above);
fitted exponent ≤ {EXPONENT_LIMIT}. "—" means the budget does not apply to that row.

{ANALYSIS.read_text() if ANALYSIS.exists() else ""}"""


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="smallest sizes, one round: only checks that the benchmark works")
    parser.add_argument("--rounds", type=int, help="rounds (default 9, quick 1)")
    parser.add_argument("--target-seconds", type=float,
                        help="length of one timed sample (default 0.1, quick 0.01)")
    parser.add_argument("--out-dir", type=Path, default=ROOT / "docs",
                        help="where benchmarks.md and benchmarks.png go (default docs/)")
    parser.add_argument("--direct-library", type=Path,
                        default=ROOT / "build" / "bench" / "libtervalo_bench_direct.so",
                        help="the library built from bench/direct.cpp")
    parser.add_argument("--heap-library", type=Path,
                        default=ROOT / "build" / "bench" / "libtervalo_bench_heap.so",
                        help="the heap counter built from bench/heap_peak.cpp (without it the "
                             "memory budget is judged on resident memory)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory probes")
    parser.add_argument("--note", default="",
                        help="a sentence for the report about the conditions of this run")
    args = parser.parse_args(argv)
    args.rounds = args.rounds or (1 if args.quick else 9)
    args.target_seconds = args.target_seconds or (0.01 if args.quick else 0.1)
    if not args.direct_library.exists():
        raise SystemExit(f"{args.direct_library} is missing: build it with scripts/bench.sh")
    log = lambda msg: print(msg, file=sys.stderr, flush=True)  # noqa: E731

    load_before = os.getloadavg()
    routes = make_routes(args.direct_library)
    cases = []
    for width, height in (QUICK_SIZES if args.quick else SIZES):
        for kind, make in KINDS.items():
            cases.append({"label": f"{width}×{height} {kind}", "kind": kind, "width": width,
                          "height": height, "pixels": make(width, height)})
    log(f"{len(cases)} images, {args.rounds} round(s), samples of ~{args.target_seconds}s")
    calibrate(cases, routes, args.target_seconds, log)
    measure(cases, routes, args.rounds, log)
    if not args.no_memory:
        measure_peaks(cases, args.direct_library, args.heap_library, log)
    for case in cases:
        summarise(case)
    machine = machine_description(load_before, os.getloadavg())
    write_report(cases, args, machine, args.out_dir, log)
    raw = args.direct_library.parent / "benchmarks-raw.json"  # beside the build, untracked
    raw.write_text(json.dumps([{k: v for k, v in c.items() if k != "pixels"} for c in cases],
                              indent=1))
    log(f"raw samples in {raw}")


if __name__ == "__main__":
    main()
