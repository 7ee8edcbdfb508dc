#!/usr/bin/env bash
# Installs everything tervalo_ext needs on Debian or Ubuntu: the system
# packages (only those missing), a virtual environment in .venv, and the
# module itself with the extras named in $EXTRAS (default: test; a comma-
# separated list). Callers may name further system packages in $EXTRA_PACKAGES.
# Run again with nothing changed it builds nothing and prints nothing; after a
# change to src/, CMakeLists.txt or pyproject.toml it recompiles only what
# changed. Without root or sudo it prints the apt-get command to run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

PYTHON=${PYTHON:-python3}
EXTRAS=${EXTRAS:-test}
# cmake and ninja: the module is built in place, without pip's isolated build
# environment (below), so the build tools come from the system.
# shellcheck disable=SC2206  # EXTRA_PACKAGES is a list of words
packages=(g++ pkg-config libsixel-dev cmake ninja-build ${EXTRA_PACKAGES:-})
# The tests decode with ImageMagick, draw in a real xterm on a virtual X
# screen and screenshot it, configure CMake trees with its default generator
# (make) and check the scripts with shellcheck; nothing else needs these.
if [[ ,$EXTRAS, == *,test,* ]]; then packages+=(imagemagick xvfb xterm x11-apps make shellcheck); fi
# A distribution Python needs its venv module and headers packaged separately.
if ! "$PYTHON" -c 'import ensurepip, os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
  packages+=(python3 python3-venv python3-dev)
fi
apt_install "${packages[@]}"

# Fast rebuilds: pip builds the module without build isolation into a build
# tree of its own that persists, with scikit-build-core and nanobind installed
# into .venv. Nanobind's sources then keep one path, so CMake recompiles only
# what changed. Not an editable install with rebuild on import: that would run
# CMake whenever Python imports the module (under valgrind, ASan, in the
# tests' subprocesses) and hide the stub package from the type checkers.
# A stamp in .venv, as old as the last install, holding the installed
# module's RECORD date and the extras: while no build input is newer, the
# module is the one installed here, and the extras asked for are among those,
# nothing is built. A plain `pip install .` is untouched by all this.
[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
stamp=.venv/.tervalo_ext-setup
wanted=$(tr ',' '\n' <<<"$EXTRAS" | sed '/^$/d' | sort -u)
record() {  # the date of the installed module's RECORD, or nothing
  local records=(.venv/lib/python*/site-packages/tervalo_ext-*.dist-info/RECORD)
  [ ! -f "${records[0]}" ] || stat -c %y "${records[0]}"
}
had=""
if [ -f "$stamp" ] && [ -z "$(find src CMakeLists.txt pyproject.toml -newer "$stamp" | head -n 1)" ]; then
  had=$(tail -n +2 "$stamp")
  # Up to date unless pip installed the module since (an editable install, say).
  if [ "$(head -n 1 "$stamp")" = "$(record)" ] &&
     [ -z "$(comm -23 <(echo "$wanted") <(echo "$had"))" ]; then
    exit 0
  fi
fi

echo "Building tervalo_ext into .venv (extras: $EXTRAS)"
# Dated before the build: an edit made while it runs is seen next time.
: >"$stamp.new"
install_module .venv/bin/python "$EXTRAS" "build/venv-{wheel_tag}"
# Extras installed before from the same inputs are still there.
{ record; sort -u <<<"$had"$'\n'"$wanted" | sed '/^$/d'; } >>"$stamp.new"
mv "$stamp.new" "$stamp"
