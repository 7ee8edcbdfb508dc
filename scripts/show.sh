#!/usr/bin/env bash
# Sets everything up, then draws IMAGE... (or a generated colour wheel) as
# sixels: python -m tervalo with the arguments given (see --help). Set-up is
# silent unless it fails, and builds nothing when nothing changed.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
log=build/show-setup.log
if ! bash scripts/nox.sh -s show --install-only >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
exec .nox/show/bin/python -m tervalo "$@"
