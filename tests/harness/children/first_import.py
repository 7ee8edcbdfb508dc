"""Eight threads import the module at the same moment, then encode; prints
whether the GIL was on before and after."""

import sys
import threading

before = sys._is_gil_enabled()
start = threading.Barrier(8)
out = []

def work():
    start.wait()
    import tervalo_ext
    out.append(tervalo_ext.sixel_encode_bytes(bytes(range(12)), 2, 2))

threads = [threading.Thread(target=work) for _ in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert len(out) == 8 and len(set(out)) == 1, out
print(before, sys._is_gil_enabled())
