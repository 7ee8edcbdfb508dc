"""Run in a fresh venv: where tervalo_ext was imported from, the streams of
the images named in argv[1] (JSON: path, width, height), and every libsixel
the process mapped."""

import json
import sys

import tervalo_ext

out = {"module": tervalo_ext.__file__, "streams": []}
for path, width, height in json.loads(sys.argv[1]):
    with open(path, "rb") as f:
        out["streams"].append(tervalo_ext.sixel_encode_bytes(f.read(), width, height).hex())
# Every libsixel this process has mapped, wherever it came from.
with open("/proc/self/maps") as maps:
    out["libsixel"] = sorted({line.split(None, 5)[5].strip() for line in maps
                              if "libsixel" in line})
print(json.dumps(out))
