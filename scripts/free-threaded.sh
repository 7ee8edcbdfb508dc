#!/usr/bin/env bash
# Builds a free-threaded CPython MINOR (Debian packages none) into
# $TERVALO_CACHE/cpython unless one is there, from the newest orig tarball the
# apt mirror serves, checked against the archive's Sources index.
set -euo pipefail
cd "$(dirname "$0")/.."
minor=${1:?usage: free-threaded.sh MINOR, for example 3.13}
cache=${TERVALO_CACHE:-/var/cache/tervalo_ext}
prefix=$cache/cpython
[ -x "$prefix/bin/python${minor}t" ] && exit 0
bash scripts/system-packages.sh free-threaded
mirror=$(bash scripts/mirror.sh)
mkdir -p "$cache"

# Of each python$minor orig tarball in unstable's and testing's source indexes,
# newest first, the first that downloads and verifies (not all are served).
tarball=""
while read -r url sum; do
  tarball=$cache/${url##*/}
  { [ -s "$tarball" ] || curl -fsS -m 600 -o "$tarball" "$url" 2>/dev/null; } &&
    echo "$sum  $tarball" | sha256sum -c --status && break
  echo "${url##*/}: not served, or not as the index says" >&2
  rm -f "$tarball" && tarball=""
done < <(for suite in sid testing; do
    curl -fsS -m 120 "$mirror/dists/$suite/main/source/Sources.xz" | xz -dc |
      awk -v mirror="$mirror" -v want="python$minor" '
      /^Package: / { pkg = $2; dir = ""; tar = "" }
      /^Directory: / { dir = $2 }
      /^[A-Z]/ { sums = /^Checksums-Sha256:/; next }
      sums && $3 ~ /\.orig\.tar\.xz$/ { tar = $3; sum = $1 }
      /^$/ && pkg == want && tar != "" { print mirror "/" dir "/" tar, sum; pkg = "" }'
  done | sort -u | sort -t_ -k2,2Vr)
[ -n "$tarball" ] || { echo "no CPython $minor source could be had from $mirror: no free-threaded run" >&2; exit 1; }

start=$SECONDS work=$cache/cpython-build
echo "building ${tarball##*/} with --disable-gil" >&2
rm -rf "$work" "$prefix" && mkdir -p "$work"
tar -xf "$tarball" -C "$work" --strip-components=1
# Fast to build: no test modules, no pip (uv makes venvs), -O1 (the suite's time is elsewhere).
(cd "$work" && ./configure --prefix="$prefix" --disable-gil --disable-test-modules \
    --without-ensurepip OPT="-DNDEBUG -O1" &&
  make -j"$(nproc)" && make install) >"$cache/cpython-build.log" 2>&1 ||
  { tail -40 "$cache/cpython-build.log" >&2; exit 1; }
rm -rf "$work"
echo "built in $((SECONDS - start)) s" >&2
