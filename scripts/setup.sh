#!/usr/bin/env bash
# Installs everything tervalo_ext needs on Debian or Ubuntu: the system
# packages (only those missing), a virtual environment in .venv, and the
# module itself with the extras named in $EXTRAS (default: test; a comma-
# separated list). Callers may name further system packages in $EXTRA_PACKAGES.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

PYTHON=${PYTHON:-python3}
EXTRAS=${EXTRAS:-test}
packages=(g++ pkg-config libsixel-dev ${EXTRA_PACKAGES:-})
# The tests decode with ImageMagick, and draw in a real xterm on a virtual X
# screen and screenshot it; nothing else needs either.
if [[ ,$EXTRAS, == *,test,* ]]; then packages+=(imagemagick xvfb xterm x11-apps); fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
# A distribution Python needs its venv module and headers packaged separately.
if ! command -v "$PYTHON" >/dev/null ||
   ! "$PYTHON" -c 'import ensurepip, os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
  missing+=(python3 python3-venv python3-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing system packages: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
.venv/bin/python -m pip install -q --disable-pip-version-check ".[$EXTRAS]"
