#!/usr/bin/env bash
# The reliability runs CI makes after the test suite (see RELIABILITY.md):
#   1. the whole suite again, against an AddressSanitizer + UBSan build
#      (.venv-asan, build/asan) with Python started on the ASan runtime;
#   2. the fuzzer for FUZZ_SECONDS (default 60) against the normal build, then
#      every input it kept replayed against the sanitizer build;
#   3. valgrind's memcheck over a short workload (scripts/memcheck.sh).
# The soak, thread and address-space tests are part of the suite itself.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
PYTHON=${PYTHON:-python3}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

EXTRAS=test,fuzz bash scripts/setup.sh

[ -x .venv-asan/bin/python ] || "$PYTHON" -m venv .venv-asan
install_module .venv-asan/bin/python test,fuzz build/asan \
  --config-settings=cmake.define.TERVALO_SANITIZE=ON --config-settings=cmake.build-type=RelWithDebInfo
# libstdc++ is preloaded too: ASan's exception interceptor must find it at start-up.
asan=(env "LD_PRELOAD=$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libstdc++.so)"
      ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1)

echo "== test suite under ASan + UBSan"
# Not the packaging tests: they build fresh, uninstrumented wheels and venvs.
"${asan[@]}" .venv-asan/bin/python -m pytest -p no:cacheprovider -m "not packaging" "$@"

echo "== fuzzing for ${FUZZ_SECONDS} s"
corpus=build/fuzz/corpus findings=build/fuzz/findings
mkdir -p "$corpus" "$findings"
if ! .venv/bin/python fuzz/fuzz_encode.py -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" >build/fuzz/log 2>&1; then
  tail -n 40 build/fuzz/log
  echo "fuzzing found a problem; the input is in $findings"
  exit 1
fi
grep -E "^#[0-9]+ +DONE|^Done|number_of_executed_units" build/fuzz/log
echo "== replaying the $(find "$corpus" -type f | wc -l) inputs the fuzzer kept, under ASan + UBSan"
if ! "${asan[@]}" .venv-asan/bin/python fuzz/fuzz_encode.py -runs=0 "$corpus" >build/fuzz/replay.log 2>&1; then
  tail -n 40 build/fuzz/replay.log
  exit 1
fi
tail -n 1 build/fuzz/replay.log

echo "== valgrind memcheck"
bash scripts/memcheck.sh -q
echo "== reliability runs took ${SECONDS} s"
