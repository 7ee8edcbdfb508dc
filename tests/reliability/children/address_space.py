"""One encode under an address-space limit (RLIMIT_AS): WIDTH HEIGHT HEADROOM.
Prints the outcome, then whether a small call works afterwards."""

import random
import resource
import sys

from tervalo_ext import sixel_encode_bytes

width, height, headroom = map(int, sys.argv[1:4])
pixels = random.Random(5).randbytes(width * height * 3)
small = bytes(range(243))
expected = sixel_encode_bytes(small, 9, 9)
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))
try:
    result = sixel_encode_bytes(pixels, width, height)
    print("no error:", len(result))
except MemoryError as error:
    print("MemoryError:", error)
print("small call afterwards:", sixel_encode_bytes(small, 9, 9) == expected)
