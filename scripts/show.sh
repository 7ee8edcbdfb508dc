#!/usr/bin/env bash
# Sets everything up, then draws IMAGE (or a generated colour wheel) as sixels.
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRAS=examples bash scripts/setup.sh >&2
exec .venv/bin/python examples/show.py "$@"
