#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite on this machine's
# python3, the module built from source (extra arguments go to pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/system-packages.sh build  # python3 itself, on a machine without it
version=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
exec bash scripts/nox.sh -s tests --force-python "$version" --error-on-missing-interpreters \
  -- "$@"
