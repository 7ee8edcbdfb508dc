#!/usr/bin/env bash
# Sets everything up (img2sixel from libsixel-bin, matplotlib, the direct
# libsixel baseline built from bench/ by CMake), then runs the benchmark.
# Arguments go to bench/benchmark.py: --quick, --rounds N, --out-dir DIR,
# --note TEXT (see --help). Writes docs/benchmarks.md and docs/benchmarks.png.
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRAS=bench EXTRA_PACKAGES=libsixel-bin bash scripts/setup.sh >&2

cmake=$(command -v cmake || true)
if [ -z "$cmake" ]; then
  .venv/bin/python -m pip install -q --disable-pip-version-check cmake >&2
  cmake=.venv/bin/cmake
fi
"$cmake" -S . -B build/bench -DTERVALO_BUILD_BENCH=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
"$cmake" --build build/bench --target tervalo_bench_direct tervalo_bench_heap >/dev/null

exec .venv/bin/python bench/benchmark.py "$@"
