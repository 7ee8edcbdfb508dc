#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite (extra arguments go to pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRAS=test bash scripts/setup.sh
exec .venv/bin/python -m pytest "$@"
