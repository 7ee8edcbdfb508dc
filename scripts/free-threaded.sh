#!/usr/bin/env bash
# The module on a free-threaded CPython (built with --disable-gil):
#   1. the interpreter: $FT_PYTHON if given, else one built here from the
#      newest CPython 3.14 or 3.13 source that Debian's archive serves (the
#      orig tarball, checked against the archive's Sources index), installed
#      under $FT_CACHE (default /var/cache/tervalo-ft) and reused from there;
#   2. a venv of it with the module and its test extra, the GIL still off
#      after the import, and the whole suite;
#   3. unless FT_TSAN=0 (or with FT_PYTHON given and no FT_TSAN_PYTHON), the
#      same CPython built again with ThreadSanitizer, the module built with
#      TERVALO_TSAN=ON into a venv of it, and tests/test_free_threading.py
#      under it: any report fails the run.
# With no free-threaded interpreter to be had it says so and exits 0.
# Extra arguments go to the suite's pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
CACHE=${FT_CACHE:-/var/cache/tervalo-ft}
# tests/harness/failing_alloc.c finds the module by a substring of the
# loaded object's path: an interpreter or venv on a path holding the module's
# name would have it watch the wrong object.
case $CACHE in *tervalo_ext*)
  echo "FT_CACHE=$CACHE: choose a path without 'tervalo_ext' in it" >&2; exit 1 ;;
esac
MIRROR=${FT_MIRROR:-http://deb.debian.org/debian}
FT_TSAN=${FT_TSAN:-1}
JOBS=${FT_JOBS:-2}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
say() { echo "== $*"; }

apt_install() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "Installing system packages: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

free_threaded() {
  "$1" -c 'import sys, sysconfig; sys.exit(sysconfig.get_config_var("Py_GIL_DISABLED") != 1)' 2>/dev/null
}

# Prints "version url sha256" for each python3.14 / python3.13 source in the
# archive's sid and testing indexes, best first.
source_candidates() {
  local suite index
  for suite in sid testing; do
    index=$CACHE/src/Sources-$suite
    if [ ! -s "$index" ] || [ -n "$(find "$index" -mmin +1440 2>/dev/null)" ]; then
      curl -fsS -m 120 "$MIRROR/dists/$suite/main/source/Sources.xz" 2>/dev/null | xz -dc >"$index.new" 2>/dev/null &&
        mv "$index.new" "$index" || rm -f "$index.new"
    fi
    [ -s "$index" ] || continue
    awk -v mirror="$MIRROR" '
      /^Package: / { pkg = $2; dir = ""; tar = ""; sum = ""; sums = 0 }
      /^Directory: / { dir = $2 }
      /^[A-Z]/ && !/^Checksums-Sha256:/ { sums = 0 }
      /^Checksums-Sha256:/ { sums = 1; next }
      sums && $3 ~ /\.orig\.tar\.(xz|gz)$/ { tar = $3; sum = $1 }
      /^$/ && (pkg == "python3.14" || pkg == "python3.13") && tar != "" && dir != "" {
        v = tar; sub(/^python3\.1[34]_/, "", v); sub(/\.orig\.tar\..*$/, "", v)
        print v, mirror "/" dir "/" tar, sum
        pkg = ""
      }' "$index"
  done | sort -u | sort -k1,1Vr
}

# Finds a cached or downloadable source tarball; prints "version path".
fetch_source() {
  local version url sum file
  while read -r version url sum; do
    file=$CACHE/src/${url##*/}
    if [ ! -s "$file" ]; then
      local status
      status=$(curl -sS -m 600 -o "$file.part" -w '%{http_code}' "$url" 2>/dev/null) || status=000
      if [ "$status" != 200 ]; then
        echo "  $url: HTTP $status" >&2
        rm -f "$file.part"
        continue
      fi
      mv "$file.part" "$file"
    fi
    if ! echo "$sum  $file" | sha256sum -c --status; then
      echo "  $file: checksum differs from the archive's index" >&2
      rm -f "$file"
      continue
    fi
    echo "$version $file"
    return 0
  done < <(source_candidates)
  # Offline: a tarball checked on an earlier run.
  file=$(ls -1 "$CACHE"/src/python3.1[34]_*.orig.tar.* 2>/dev/null | sort -V | tail -n 1 || true)
  [ -n "$file" ] || return 1
  version=${file##*/python3.1?_}
  echo "${version%.orig.tar.*} $file"
}

# build_python VERSION TARBALL PREFIX [configure flags...]: configure, make, install.
build_python() {
  local version=$1 tarball=$2 prefix=$3
  shift 3
  local work=$CACHE/build/${prefix##*/}
  rm -rf "$work" && mkdir -p "$work"
  tar -xf "$tarball" -C "$work" --strip-components=1
  local start=$SECONDS
  (
    cd "$work"
    ./configure --prefix="$prefix" --disable-gil --with-ensurepip=install "$@" >configure.log 2>&1 ||
      { tail -n 30 configure.log; exit 1; }
    make -j"$JOBS" >make.log 2>&1 || { tail -n 40 make.log; exit 1; }
    make install >install.log 2>&1 || { tail -n 40 install.log; exit 1; }
  )
  echo "built CPython $version ($*) in $((SECONDS - start)) s into $prefix"
  echo "$version" >"$prefix/.tervalo-source"
}

interpreter() { # PREFIX: its python3.Xt, if there
  ls -1 "$1"/bin/python3.1[0-9]t 2>/dev/null | head -n 1 || true
}

build_deps=(build-essential pkg-config xz-utils curl libssl-dev zlib1g-dev libffi-dev libbz2-dev
            liblzma-dev libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libgdbm-dev libexpat1-dev)
mkdir -p "$CACHE/src" "$CACHE/build"

tsan_python=${FT_TSAN_PYTHON:-}
if [ -n "${FT_PYTHON:-}" ]; then
  python=$FT_PYTHON
  [ -n "$tsan_python" ] || FT_TSAN=0
else
  python=""
  for prefix in "$CACHE"/python3.14t "$CACHE"/python3.13t; do
    candidate=$(interpreter "$prefix")
    if [ -n "$candidate" ] && free_threaded "$candidate"; then python=$candidate; break; fi
  done
  if [ -z "$python" ]; then
    apt_install "${build_deps[@]}"
    say "looking for a CPython source"
    if ! found=$(fetch_source); then
      echo "skipped: no free-threaded CPython here (no CPython 3.13/3.14 source could be fetched)"
      exit 0
    fi
    read -r version tarball <<<"$found"
    minor=$(echo "$version" | cut -d. -f1,2)
    say "building CPython $version with --disable-gil (cold)"
    build_python "$version" "$tarball" "$CACHE/python${minor}t"
    python=$(interpreter "$CACHE/python${minor}t")
  fi
fi
if ! [ -x "$python" ] || ! free_threaded "$python"; then
  echo "skipped: no free-threaded CPython here (${python:-none} is not one)"
  exit 0
fi
say "free-threaded interpreter: $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))"

apt_install g++ pkg-config libsixel-dev imagemagick xvfb xterm x11-apps
tag=$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}t")')
venv=$CACHE/venv-$tag
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
# Wheels only: for this interpreter the newest release of a test dependency
# may be a source distribution that needs a Rust toolchain; pip then takes
# the newest release that has a wheel.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: ".[test]" \
  -C build-dir="build/cp$tag"

say "the GIL after importing tervalo_ext"
# -W error: a module that does not declare free-threading support makes the
# interpreter re-enable the GIL with a RuntimeWarning.
"$venv/bin/python" -W error -c '
import sys
import tervalo_ext
sys.exit(f"GIL enabled after import: {sys._is_gil_enabled()}" if sys._is_gil_enabled() else 0)'
echo "off"

say "test suite on $tag"
(cd "$root" && "$venv/bin/python" -m pytest -p no:cacheprovider "$@")

[ "$FT_TSAN" = 1 ] || { say "ThreadSanitizer run not asked for"; exit 0; }

if [ -z "$tsan_python" ]; then
  version=$(cat "$(dirname "$(dirname "$python")")/.tervalo-source" 2>/dev/null || true)
  minor=$(echo "$version" | cut -d. -f1,2)
  tsan_prefix=$CACHE/python${minor}t-tsan
  tsan_python=$(interpreter "$tsan_prefix")
  if [ -z "$tsan_python" ]; then
    tarball=$(ls -1 "$CACHE"/src/python"$minor"_"$version".orig.tar.* 2>/dev/null | head -n 1 || true)
    if [ -z "$version" ] || [ -z "$tarball" ]; then
      echo "no source for a ThreadSanitizer build of $python: give FT_TSAN_PYTHON"
      exit 1
    fi
    apt_install "${build_deps[@]}"
    say "building CPython $version with --disable-gil --with-thread-sanitizer (cold)"
    # The build runs the new interpreter (ensurepip among others): what it
    # reports about itself there is not this project's to fail on.
    TSAN_OPTIONS="report_bugs=0 exitcode=0" \
      build_python "$version" "$tarball" "$tsan_prefix" --with-thread-sanitizer
    cp "$CACHE/build/${tsan_prefix##*/}/Tools/tsan/suppressions_free_threading.txt" "$tsan_prefix/"
    tsan_python=$(interpreter "$tsan_prefix")
  fi
fi
# CPython's own list of its known races; none is in the module or nanobind.
suppressions=$(dirname "$(dirname "$tsan_python")")/suppressions_free_threading.txt
tsan_base="suppressions=$suppressions"
[ -f "$suppressions" ] || tsan_base=""

tsan_venv=$CACHE/venv-$tag-tsan
export TSAN_OPTIONS="report_bugs=0 exitcode=0"
[ -x "$tsan_venv/bin/python" ] || "$tsan_python" -m venv "$tsan_venv"
"$tsan_venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: "pytest>=8.0" "numpy>=1.26"
"$tsan_venv/bin/python" -m pip install -q --disable-pip-version-check . \
  -C cmake.define.TERVALO_TSAN=ON -C cmake.build-type=RelWithDebInfo -C build-dir="build/cp$tag-tsan"

say "tests/test_free_threading.py under ThreadSanitizer"
# Any report stops the run with exit code 66.
export TSAN_OPTIONS="$tsan_base halt_on_error=1 exitcode=66 second_deadlock_stack=1"
(cd "$root" && "$tsan_venv/bin/python" -m pytest -p no:cacheprovider -v tests/test_free_threading.py)
