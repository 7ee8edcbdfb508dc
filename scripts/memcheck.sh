#!/usr/bin/env bash
# Runs tests/harness/memcheck.py under valgrind's memcheck against the module
# in .venv, with tests/harness/failing_alloc.c preloaded so that refused
# allocations are walked too. Fails on any memcheck error (invalid read or
# write, use of undefined values) and on any block definitely lost. Takes
# about two minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v valgrind >/dev/null || [ ! -x .venv/bin/python ]; then
  EXTRAS=test EXTRA_PACKAGES=valgrind bash scripts/setup.sh
fi

# With a soname of its own, and somalloc=nouserintercepts, the shim's malloc
# is not replaced by memcheck's; the shim hands through to glibc's, which is.
mkdir -p build
cc -shared -fPIC -O2 -Wl,-soname,libfailing_alloc.so -o build/libfailing_alloc.so tests/harness/failing_alloc.c

# PYTHONMALLOC=malloc: every Python object comes from malloc, where memcheck sees it.
PYTHONMALLOC=malloc LD_PRELOAD="$PWD/build/libfailing_alloc.so" \
  valgrind --tool=memcheck --soname-synonyms=somalloc=nouserintercepts \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --suppressions=tests/harness/valgrind-python.supp --num-callers=30 --error-exitcode=99 \
    "$@" .venv/bin/python tests/harness/memcheck.py
