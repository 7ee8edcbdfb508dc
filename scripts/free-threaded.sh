#!/usr/bin/env bash
# Builds a free-threaded CPython (--disable-gil) into $TERVALO_CACHE/cpython
# unless one is there: from the newest CPython 3.14 or 3.13 source that the
# Debian mirror of this machine's apt configuration serves (its orig tarball,
# checked against the archive's Sources index). No such interpreter is
# packaged for Debian. The nox session tests-3.13t runs the suite on it.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${TERVALO_CACHE:-/var/cache/tervalo_ext}
prefix=$cache/cpython
if find "$prefix/bin" -name "python3.1[0-9]t" 2>/dev/null | grep -q .; then exit 0; fi
bash scripts/system-packages.sh free-threaded
mirror=$(bash scripts/mirror.sh)

# "url sha256" of each python3.14 / python3.13 orig tarball in the archive's
# unstable and testing source indexes, newest first.
sources() {
  local suite
  for suite in sid testing; do
    curl -fsS -m 120 "$mirror/dists/$suite/main/source/Sources.xz" | xz -dc | awk -v mirror="$mirror" '
      /^Package: / { pkg = $2; dir = ""; tar = "" }
      /^Directory: / { dir = $2 }
      /^[A-Z]/ { sums = /^Checksums-Sha256:/; next }
      sums && $3 ~ /\.orig\.tar\.xz$/ { tar = $3; sum = $1 }
      /^$/ && pkg ~ /^python3\.1[34]$/ && tar != "" { print mirror "/" dir "/" tar, sum; pkg = "" }'
  done | sort -u | sort -t_ -k2,2Vr
}

# The first that downloads and verifies (the newest are listed but not
# always served).
tarball=""
while read -r url sum; do
  tarball=$cache/${url##*/}
  [ -s "$tarball" ] || curl -fsS -m 600 -o "$tarball" "$url" 2>/dev/null || { rm -f "$tarball"; tarball=""; continue; }
  echo "$sum  $tarball" | sha256sum -c --status && break
  echo "${url##*/}: checksum differs from the index" >&2
  rm -f "$tarball"
  tarball=""
done < <(sources)
[ -n "$tarball" ] || { echo "no CPython 3.13/3.14 source could be had: no free-threaded run" >&2; exit 1; }

start=$SECONDS work=$cache/cpython-build
echo "building ${tarball##*/} with --disable-gil (about 10 minutes)" >&2
rm -rf "$work" "$prefix" && mkdir -p "$work"
tar -xf "$tarball" -C "$work" --strip-components=1
(cd "$work" && ./configure --prefix="$prefix" --disable-gil --with-ensurepip=install &&
  make -j"$(nproc)" && make install) >"$cache/cpython-build.log" 2>&1 ||
  { tail -40 "$cache/cpython-build.log" >&2; exit 1; }
rm -rf "$work"
echo "built in $((SECONDS - start)) s" >&2
