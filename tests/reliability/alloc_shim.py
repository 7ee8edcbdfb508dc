"""failing_alloc.c, the LD_PRELOAD shim that refuses chosen allocations of
one loaded file, and the walk that refuses each allocation of an encode in
turn."""

import ctypes
import os
import shutil
import subprocess

from reference import libsixel

HERE = os.path.dirname(os.path.abspath(__file__))
FAILING_ALLOC_C = os.path.join(HERE, "failing_alloc.c")
ALL_KINDS = 7  # malloc, calloc and realloc


def c_compiler():
    """The C compiler's path, or None."""
    return shutil.which("cc") or shutil.which("gcc")


def build_failing_alloc(path):
    """Compiles failing_alloc.c into `path`; returns False without a compiler."""
    cc = c_compiler()
    if cc is None:
        return False
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(path), FAILING_ALLOC_C], check=True)
    return True


def preloaded_shim():
    """The preloaded failing_alloc.c, or None if it is not preloaded."""
    shim = ctypes.CDLL(None)
    return shim if hasattr(shim, "fail_alloc_arm") else None


# The shim watches one loaded file, named by its real path.

def module_file(name="tervalo_ext"):
    """The real path of an imported module's file (tervalo_ext's, or the
    module named), as the shim takes it."""
    import importlib

    return os.fsencode(os.path.realpath(importlib.import_module(name).__file__))


SIXEL = "tervalo._sixel"


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def libsixel_file(path=None):
    """The real path of the file libsixel(path) loaded, as the shim takes it."""
    dladdr = ctypes.CDLL(None).dladdr
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    info = _DlInfo()
    if not dladdr(ctypes.cast(libsixel(path).sixel_encode, ctypes.c_void_p), ctypes.byref(info)):
        raise OSError("dladdr cannot place libsixel's sixel_encode")
    return os.fsencode(os.path.realpath(os.fsdecode(info.dli_fname)))


def refusal_walk(shim, encode, args, expected, obj=None, kinds=ALL_KINDS):
    """Refuses the 1st, 2nd, ... allocation made from the file `obj` (the
    module's by default) during encode(*args), one per call, until a call
    has none left to refuse.
    Returns ([(outcome, recovered) per refusal], the last call's outcome):
    an outcome is "ok", "wrong stream" or "ExceptionName: message", and
    recovered says whether the next, unrefused call gave `expected`."""
    obj = module_file() if obj is None else obj
    steps = []
    skip = 0
    while True:
        if not shim.fail_alloc_arm(obj, kinds, skip):
            raise RuntimeError(f"no loaded object matches {obj!r}")
        before = shim.fail_alloc_refused()
        try:
            outcome = "ok" if encode(*args) == expected else "wrong stream"
        except Exception as error:  # noqa: BLE001 - every outcome is reported
            outcome = f"{type(error).__name__}: {error}"
        shim.fail_alloc_disarm()
        refused = shim.fail_alloc_refused() - before
        if not refused:
            return steps, outcome
        steps.append((outcome, encode(*args) == expected))
        skip += 1
