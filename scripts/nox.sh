#!/usr/bin/env bash
# Runs nox (arguments as for nox) from a venv of its own in build/nox, made
# with the machine's python3 on the first call: it only brings nox and uv.
set -euo pipefail
cd "$(dirname "$0")/.."
tools=build/nox
if [ ! -x "$tools/bin/nox" ]; then
  bash scripts/system-packages.sh build
  echo "Setting up nox and uv in $tools (once)" >&2
  rm -rf "$tools" && python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check "nox[uv]>=2025.2.9" \
    >"$tools.log" 2>&1 || { cat "$tools.log" >&2; rm -rf "$tools"; exit 1; }
fi
exec "$tools/bin/nox" "$@"
