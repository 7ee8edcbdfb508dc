#!/usr/bin/env bash
# Builds the module and runs the whole test suite inside minimal chroots of
# newer Debian releases, against each release's own libsixel and Python:
#
#   scripts/distros.sh [--wheel FILE] [--rev REV] [trixie|sid ...] [-- PYTEST_ARGS]
#   scripts/distros.sh --ci
#
# Releases default to all of:
#   trixie  Debian 13: python3.13
#   sid     Debian unstable: python3.14 (its python3) and python3.15
#
# --wheel FILE (or TERVALO_WHEEL=FILE) installs that wheel into each venv
# instead of building from the checkout (an abi3 wheel, say). --rev REV (or
# TERVALO_REV) tests that commit instead of the work tree.
#
# --ci runs CI's matrix: from source on trixie/3.13 and sid/3.14, then the
# abi3 wheel in build/abi3-wheel/ (if there is one) on sid/3.14
# and sid/3.15.
#
# Each release's prepared chroot (debootstrap, then apt) is kept as a
# tarball in $TERVALO_CACHE (default /var/cache/tervalo_ext), named after a
# digest of its package list, so reruns skip both; pip's cache and the
# module's build tree live there too. Every run unpacks a fresh copy into
# $TERVALO_SCRATCH (default /var/tmp/tervalo_ext-distros), copies in the
# files git knows (with their uncommitted changes), and creates a venv per
# Python. Logs: build/distros/. One line per run; non-zero exit if any fails.
# Needs root (debootstrap, chroot, mounts).
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd)

wheel=${TERVALO_WHEEL:-}
rev=${TERVALO_REV:-}
releases=()
ci=
pytest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --wheel) wheel=$2; shift 2 ;;
    --wheel=*) wheel=${1#--wheel=}; shift ;;
    --rev) rev=$2; shift 2 ;;
    --rev=*) rev=${1#--rev=}; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    --ci) ci=1; shift ;;
    trixie|sid) releases+=("$1"); shift ;;
    --) shift; pytest_args=("$@"); break ;;
    *) echo "unknown argument: $1 (releases: trixie sid)" >&2; exit 2 ;;
  esac
done
[ ${#releases[@]} -gt 0 ] || releases=(trixie sid)
if [ -n "$ci" ] && [ -z "$wheel" ]; then
  wheel=$(ls build/abi3-wheel/*-abi3-manylinux*.whl 2>/dev/null | head -1 || true)
  [ -n "$wheel" ] || echo "no wheel in build/abi3-wheel/: source runs only"
fi
if [ -n "$wheel" ]; then
  [ -f "$wheel" ] || { echo "no such wheel: $wheel" >&2; exit 2; }
  wheel=$(cd "$(dirname "$wheel")" && pwd)/$(basename "$wheel")
fi
[ "$(id -u)" -eq 0 ] || { echo "scripts/distros.sh needs root (debootstrap, chroot, mount)" >&2; exit 1; }

cache=${TERVALO_CACHE:-/var/cache/tervalo_ext}
scratch=${TERVALO_SCRATCH:-/var/tmp/tervalo_ext-distros}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
logs=$checkout/build/distros
mkdir -p "$cache/pip" "$scratch" "$logs"
# One run at a time: runs share the cache and the scratch folder.
exec 9>"$scratch/lock"
if ! flock -n 9; then
  echo "another scripts/distros.sh is running; waiting for it"
  flock 9
fi

# What the suite needs: compiler and libsixel for the build, the release's
# Python with headers and venv, ImageMagick to decode, a virtual X screen
# with xterm and xwd for the drawing tests, cmake and make for the tests that
# configure and build trees themselves.
common=(g++ make pkg-config libsixel-dev python3 python3-dev python3-venv imagemagick
        xvfb xterm x11-apps cmake ninja-build ca-certificates)
# Unstable's ImageMagick (7.1.2-34) refuses many valid streams, even ones
# trixie's decodes ("insufficient image data"), so the decoder comes from
# trixie there: the tests use it as an independent reference.
trixie_magick=(imagemagick/trixie imagemagick-7-common/trixie imagemagick-7.q16/trixie
               libmagickcore-7.q16-10/trixie libmagickwand-7.q16-10/trixie)
packages() {
  case $1 in
    trixie) echo "${common[*]}" ;;
    sid) echo "${common[*]/imagemagick/} ${trixie_magick[*]} python3.15 python3.15-dev python3.15-venv" ;;
  esac
}
pythons() {
  case $1 in
    trixie) echo python3.13 ;;
    sid) echo python3.14 python3.15 ;;
  esac
}
# The runs for a release, PYTHON:FROM with FROM "source" or "wheel".
runs() {
  local python
  for python in $(pythons "$1"); do
    if [ -n "$ci" ]; then
      # Unstable's 3.15 gets the wheel only: its libsixel 1.8.7 is proven
      # from source on 3.14 already, and CI's time is short.
      [ "$python" = python3.15 ] || echo "$python:source"
    elif [ -n "$wheel" ]; then
      echo "$python:wheel"
    else
      echo "$python:source"
    fi
  done
  if [ -n "$ci" ] && [ -n "$wheel" ] && [ "$1" = sid ]; then
    for python in $(pythons "$1"); do echo "$python:wheel"; done
  fi
}

if ! command -v debootstrap >/dev/null; then
  echo "Installing debootstrap"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi
command -v zstd >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq zstd >/dev/null

# Mount points of this run, unmounted in reverse order on any exit.
mounts=()
unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null || true
  done
  mounts=()
}
bind() {  # bind SOURCE TARGET
  mkdir -p "$2"
  mount --bind "$1" "$2"
  mounts+=("$2")
}
mount_system() {  # the kernel file systems the tools inside expect
  local root=$1
  mount -t proc proc "$root/proc"; mounts+=("$root/proc")
  mount -t sysfs sysfs "$root/sys"; mounts+=("$root/sys")
  bind /dev "$root/dev"
  bind /dev/pts "$root/dev/pts"
  mkdir -p "$root/dev/shm"
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"; mounts+=("$root/dev/shm")
}
# Removes a scratch tree only when nothing is mounted inside it any more.
remove_tree() {
  if findmnt -rn -o TARGET | grep -q "^$1/"; then
    echo "still mounted under $1; left in place" >&2
    return 0
  fi
  rm -rf --one-file-system "$1"
}
current=""
cleanup() {
  unmount_all
  if [ -n "$current" ]; then remove_tree "$current"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_chroot() {  # in_chroot ROOT COMMAND...: a clean environment inside
  local root=$1; shift
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# Debootstraps RELEASE and installs its packages, then stores the result.
prepare() {
  local release=$1 tarball=$2 log=$3 root
  root=$scratch/prepare-$release
  current=$root
  remove_tree "$root"
  : >"$log"
  echo "$release: no cached chroot, debootstrapping (log: $log)"
  debootstrap --variant=minbase "$release" "$root" "$mirror" >>"$log" 2>&1
  # Unstable's Release file can outlive its Valid-Until on a lagging mirror.
  if [ "$release" = sid ]; then
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99no-valid-until"
    # Trixie too, at a low priority: only what is asked for by name comes from it.
    echo "deb $mirror trixie main" >"$root/etc/apt/sources.list.d/trixie.list"
    printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' >"$root/etc/apt/preferences.d/trixie"
  fi
  # No services start inside the chroot.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod +x "$root/usr/sbin/policy-rc.d"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mount_system "$root"
  in_chroot "$root" apt-get update >>"$log" 2>&1
  # shellcheck disable=SC2046
  in_chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y \
    --no-install-recommends $(packages "$release") >>"$log" 2>&1
  in_chroot "$root" apt-get clean >>"$log" 2>&1
  unmount_all
  rm -rf "$root"/var/lib/apt/lists/* "$root"/tmp/* "$root"/root/.cache
  tar -C "$root" --numeric-owner -cf - . | zstd -q -T0 -3 -o "$tarball.part"
  mv "$tarball.part" "$tarball"
  remove_tree "$root"
  current=""
}

# The commands run inside the chroot for one Python: fresh venv, install,
# whole suite. Results go to /out (bound to the host's log folder).
read -r -d '' inner <<'EOF' || true
set -euo pipefail
python=$1 wheel=$2 tag=$3
shift 3
cd /src
venv=/opt/venv-$python
start=$SECONDS
"$python" -m venv --clear "$venv"
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
if [ -n "$wheel" ]; then
  "${pip[@]}" "$wheel[test]"
else
  "${pip[@]}" '.[test]'
fi
echo "venv and install: $((SECONDS - start)) s"
# As in an activated venv: the tests find pip's console scripts on PATH.
export PATH=$venv/bin:$PATH
python -m pytest -p no:cacheprovider --junitxml="/out/$tag.xml" -v "$@"
EOF

# Pass/fail/skip counts from a JUnit file, by the host's Python.
counts() {
  python3 - "$1" <<'EOF'
import sys, xml.etree.ElementTree as ET
try:
    suite = ET.parse(sys.argv[1]).getroot()
except (OSError, ET.ParseError):
    print("no results"); sys.exit()
suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
tests, failures, errors, skipped = (int(suite.get(k, 0)) for k in
                                    ("tests", "failures", "errors", "skipped"))
print(f"{tests - failures - errors - skipped} passed, {failures + errors} failed, "
      f"{skipped} skipped")
EOF
}

status=0
summary=()
for release in "${releases[@]}"; do
  key=$( { echo "$release $mirror"; packages "$release"; } | sha256sum | cut -c1-12)
  tarball=$cache/chroot-$release-$key.tar.zst
  if [ ! -f "$tarball" ]; then
    start=$SECONDS
    rm -rf "$cache"/chroot-"$release"-*.tar.zst "$cache"/build-"$release"-*
    # Not under "if": set -e must stop the preparation at its first failure
    # (the trap then unmounts and removes the half-made tree).
    prepare "$release" "$tarball" "$logs/$release-prepare.log"
    echo "$release: chroot prepared and cached in $((SECONDS - start)) s: $tarball"
  fi

  start=$SECONDS
  root=$scratch/$release-$$
  current=$root
  mkdir -p "$root"
  zstd -q -dc -T0 "$tarball" | tar -C "$root" -xf -
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mkdir -p "$root/src"
  if [ -n "$rev" ]; then
    git archive "$rev" | tar -C "$root/src" -xf -
  else
    # Every file git tracks or would track, as it is in the work tree now.
    git ls-files -z -co --exclude-standard |
      while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
      tar --null -T - -cf - | tar -C "$root/src" -xf -
  fi
  mount_system "$root"
  bind "$cache/pip" "$root/root/.cache/pip"
  # The module's build tree survives between runs: rebuilds are incremental.
  mkdir -p "$cache/build-$release-$key"
  bind "$cache/build-$release-$key" "$root/src/build"
  bind "$logs" "$root/out"
  inside_wheel=""
  if [ -n "$wheel" ]; then
    mkdir -p "$root/wheels"
    cp "$wheel" "$root/wheels/"
    inside_wheel=/wheels/$(basename "$wheel")
  fi
  libsixel=$(in_chroot "$root" dpkg-query -W -f='${Version}' libsixel1 2>/dev/null || echo unknown)
  echo "$release: chroot ready in $((SECONDS - start)) s (libsixel $libsixel)"

  for run in $(runs "$release"); do
    python=${run%%:*}
    run_wheel=""
    [ "${run#*:}" = source ] || run_wheel=$inside_wheel
    tag=$release-$python${run_wheel:+-wheel}
    log=$logs/$tag.log
    rm -f "$logs/$tag.xml"
    start=$SECONDS
    version=$(in_chroot "$root" "$python" -c 'import platform; print(platform.python_version())' 2>/dev/null || echo "$python missing")
    if in_chroot "$root" bash -c "$inner" inner "$python" "$run_wheel" "$tag" "${pytest_args[@]}" >"$log" 2>&1; then
      result=ok
    else
      result=FAILED; status=1
    fi
    from="libsixel $libsixel"
    [ -z "$run_wheel" ] || from="wheel $(basename "$wheel") (its own libsixel)"
    line="$release Python $version $from: $result, $(counts "$logs/$tag.xml") in $((SECONDS - start)) s (log: ${log#"$checkout"/})"
    echo "$line"
    summary+=("$line")
    [ "$result" = ok ] || tail -30 "$log"
  done
  unmount_all
  remove_tree "$root"
  current=""
done

echo
printf '%s\n' "${summary[@]}"
exit $status
