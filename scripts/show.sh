#!/usr/bin/env bash
# Sets everything up, then draws IMAGE... (or a colour wheel) as sixels:
# python -m tervalo with the arguments given (see --help), on this machine's
# python3. Set-up is silent unless it fails; nothing is rebuilt unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
log=build/show-setup.log
# The compiler, libsixel and python3 itself first: a new machine may lack them.
{ bash scripts/system-packages.sh build &&
  version=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])') &&
  bash scripts/nox.sh -s show --force-python "$version" --error-on-missing-interpreters \
    --install-only; } >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
python=.nox/show-${version//./-}/bin/python  # nox names the environment after the session
[ -x "$python" ] || { cat "$log" >&2; echo "${0##*/}: set-up made no $python" >&2; exit 1; }
exec "$python" -m tervalo "$@"
