"""Arms the shim with the module's path, a link to it, a decoy file whose
path holds the module's whole path, and a bare name; prints what each
arming refused. Arguments: the decoy's path, the link's path."""

import ctypes
import json
import sys

ctypes.CDLL(sys.argv[1])  # loaded first, at a path that holds the module's whole path
from alloc_shim import ALL_KINDS, module_file, preloaded_shim  # noqa: E402
from images import few_colour  # noqa: E402

from tervalo_ext import sixel_encode_bytes as encode  # noqa: E402

shim = preloaded_shim()
args = (few_colour(9, 7), 9, 7)
expected = encode(*args)
report = {}
for name, path in [("module", module_file()), ("link to it", sys.argv[2].encode()),
                   ("decoy", sys.argv[1].encode()), ("its name", b"tervalo_ext")]:
    armed = shim.fail_alloc_arm(path, ALL_KINDS, 0)
    try:
        outcome = "ok" if encode(*args) == expected else "wrong stream"
    except MemoryError as error:
        outcome = f"MemoryError: {error}"
    shim.fail_alloc_disarm()
    report[name] = [armed, outcome]
print(json.dumps(report))
