#!/usr/bin/env bash
# Sets up what the benchmark needs (the module, NumPy and matplotlib in .venv;
# bench/'s libraries built by its own CMake project into build/bench), then
# runs it. Arguments go to bench/benchmark.py: --quick, --sizes 1x1,...,
# --rounds N, --out-dir DIR (see --help). Writes docs/benchmarks.md and .png.
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRAS=bench bash scripts/setup.sh >&2

cmake=$(command -v cmake || true)
if [ -z "$cmake" ]; then
  .venv/bin/python -m pip install -q --disable-pip-version-check cmake >&2
  cmake=.venv/bin/cmake
fi
"$cmake" -S bench -B build/bench >/dev/null
"$cmake" --build build/bench >/dev/null

exec .venv/bin/python bench/benchmark.py "$@"
