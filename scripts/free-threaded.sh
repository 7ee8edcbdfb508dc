#!/usr/bin/env bash
# The whole suite on a free-threaded CPython (built with --disable-gil):
# $FT_PYTHON if given, else one built here from the newest CPython 3.14 or
# 3.13 source that the Debian mirror of this machine's apt configuration
# serves (its orig tarball, checked against the archive's Sources index),
# kept under $TERVALO_CACHE/cpython and reused. The module must leave the
# GIL off after its import. With no free-threaded interpreter to be had it
# says so and exits 0. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
use_caches
prefix=$CACHE/cpython

free_threaded() {
  "$1" -c 'import sys, sysconfig; sys.exit(sysconfig.get_config_var("Py_GIL_DISABLED") != 1)' 2>/dev/null
}

# Prints "url sha256" of each python3.14 / python3.13 orig tarball in the
# archive's unstable and testing source indexes, newest first.
sources() {
  local mirror suite
  mirror=$(debian_mirror)
  for suite in sid testing; do
    curl -fsS -m 120 "$mirror/dists/$suite/main/source/Sources.xz" | xz -dc | awk -v mirror="$mirror" '
      /^Package: / { pkg = $2; dir = ""; tar = "" }
      /^Directory: / { dir = $2 }
      /^[A-Z]/ { sums = /^Checksums-Sha256:/; next }
      sums && $3 ~ /\.orig\.tar\.xz$/ { tar = $3; sum = $1 }
      /^$/ && pkg ~ /^python3\.1[34]$/ && tar != "" { print mirror "/" dir "/" tar, sum; pkg = "" }'
  done | sort -u | sort -t_ -k2,2Vr
}

# Builds the newest source that downloads and verifies into $prefix.
build_python() {
  local url sum tarball work=$CACHE/cpython-build start=$SECONDS
  while read -r url sum; do
    tarball=$CACHE/${url##*/}
    [ -s "$tarball" ] || curl -fsS -m 600 -o "$tarball" "$url" || { rm -f "$tarball"; continue; }
    echo "$sum  $tarball" | sha256sum -c --status && break
    echo "  ${url##*/}: checksum differs from the index" >&2
    rm -f "$tarball"
    tarball=""
  done < <(sources)
  [ -n "${tarball:-}" ] || return 1
  echo "== building ${tarball##*/} with --disable-gil (cold: about 10 minutes)"
  rm -rf "$work" "$prefix" && mkdir -p "$work"
  tar -xf "$tarball" -C "$work" --strip-components=1
  (cd "$work" && ./configure --prefix="$prefix" --disable-gil --with-ensurepip=install &&
    make -j"$(nproc)" && make install) >"$CACHE/cpython-build.log" 2>&1 ||
    { tail -40 "$CACHE/cpython-build.log"; return 1; }
  rm -rf "$work"
  echo "built in $((SECONDS - start)) s"
}

python=${FT_PYTHON:-$(find "$prefix/bin" -name "python3.1[0-9]t" 2>/dev/null | head -1 || true)}
if [ -z "$python" ]; then
  apt_install build-essential pkg-config xz-utils curl libssl-dev zlib1g-dev libffi-dev libbz2-dev \
    liblzma-dev libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libgdbm-dev libexpat1-dev
  if ! build_python; then
    echo "skipped: no free-threaded CPython here (no CPython 3.13/3.14 source could be had)"
    exit 0
  fi
  python=$(find "$prefix/bin" -name "python3.1[0-9]t" | head -1)
fi
free_threaded "$python" || { echo "skipped: $python is not free-threaded"; exit 0; }
echo "== free-threaded interpreter: $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))"

apt_install g++ pkg-config libsixel-dev cmake ninja-build imagemagick xvfb xterm x11-apps
tag=$("$python" -c 'import sys; print("cp%d%dt" % sys.version_info[:2])')
venv=build/venv-$tag
"$python" -m venv --clear "$venv"
# Wheels only: the newest release of a test dependency may be a source
# distribution that needs a Rust toolchain; pip then takes an older wheel.
export PIP_ONLY_BINARY=:all:
fill_wheelhouse "$venv/bin/python" test
install_module "$venv/bin/python" test "build/$tag"

# -W error: a module that does not declare free-threading support makes the
# interpreter re-enable the GIL, with a RuntimeWarning.
"$venv/bin/python" -W error -c '
import sys
import tervalo_ext
sys.exit("GIL enabled after importing tervalo_ext" if sys._is_gil_enabled() else 0)'
echo "== the GIL stays off after the import; the suite on $tag"
PATH=$PWD/$venv/bin:$PATH "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
