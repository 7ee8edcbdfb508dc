"""Peak memory of one encode, measured in a fresh process.

Usage: peak_memory.py ROUTE RAW_RGB_FILE WIDTH HEIGHT [DIRECT_LIBRARY]
Prints a JSON object with "heap_bytes", "rss_bytes", "rss_method" and
"stream_bytes".

The input is read and the route loaded and warmed up (code pages, the
allocator's arenas) first. Then two peaks are restarted from the current
state and read back after one encode:
- heap: when bench/heap_peak.cpp is preloaded (LD_PRELOAD), the highest sum
  of live C-heap blocks above the sum just before the encode. Exact and
  repeatable; null without the preload.
- resident memory: the kernel's high-water mark, reset to the current
  resident size through /proc/self/clear_refs ("5"), minus that size. What
  the system sees, in whole pages, and it moves with where the allocator
  places blocks. Where the reset is refused, ru_maxrss before and after
  stands in, which under-reports when an earlier peak was higher.
"""

import ctypes
import json
import re
import resource
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from routes import DirectRoute, ModuleRoute, few_colour, photo_like  # noqa: E402


def _status_kib(field):
    text = Path("/proc/self/status").read_text()
    return int(re.search(rf"^{field}:\s+(\d+) kB", text, re.M).group(1))


class _Resident:
    def start(self):
        try:
            Path("/proc/self/clear_refs").write_text("5")
            self.method = "VmHWM after reset minus VmRSS"
            self.before = _status_kib("VmRSS")
        except OSError:
            self.method = "ru_maxrss difference"
            self.before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    def peak_bytes(self):
        after = (_status_kib("VmHWM") if self.method.startswith("VmHWM")
                 else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
        return (after - self.before) * 1024


class _Heap:
    def __init__(self):
        process = ctypes.CDLL(None)
        self.counter = getattr(process, "tervalo_heap_reset", None) and process
        if self.counter:
            for name in ("tervalo_heap_live", "tervalo_heap_peak"):
                getattr(process, name).restype = ctypes.c_longlong

    def start(self):
        if self.counter:
            self.counter.tervalo_heap_reset()
            self.before = self.counter.tervalo_heap_live()

    def peak_bytes(self):
        return self.counter.tervalo_heap_peak() - self.before if self.counter else None


def main():
    route_name, raw, width, height = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    pixels = Path(raw).read_bytes()
    route = DirectRoute(sys.argv[5]) if route_name == "direct" else ModuleRoute()
    for make in (few_colour, photo_like):  # touch both paths' code once
        route.run(make(16, 16), 16, 16)

    resident, heap = _Resident(), _Heap()
    resident.start()
    heap.start()
    if route_name == "direct":
        _, _, stream, size = route.encode_raw(pixels, width, height)
        heap_bytes, rss_bytes = heap.peak_bytes(), resident.peak_bytes()
        route.lib.tervalo_bench_free(stream)
    else:
        result = route.encode(pixels, width, height)
        heap_bytes, rss_bytes = heap.peak_bytes(), resident.peak_bytes()
        size = len(result)
        del result
    print(json.dumps({"heap_bytes": heap_bytes, "rss_bytes": rss_bytes,
                      "rss_method": resident.method, "stream_bytes": size}))


if __name__ == "__main__":
    main()
