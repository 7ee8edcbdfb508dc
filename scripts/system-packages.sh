#!/usr/bin/env bash
# Installs the Debian packages the named runs need and this machine lacks, as
# root or through sudo; without either, prints the apt-get command for root and
# fails. A package marked ? is left out, with a note, where the release has none
# (Debian 13 has no mlterm): the tests that need it skip and name it.
#
#   scripts/system-packages.sh RUN...      (RUN: a name in the table's last column)
set -euo pipefail

# Each package and the run that needs it: every script and session asks by run.
# cmake and ninja for build: the module is built without isolation, with the
# system's tools; make for test: the tests' CMake trees use its default generator.
table='
g++ pkg-config libsixel-dev cmake ninja-build   build
imagemagick xvfb xterm x11-apps make           test
mlterm? konsole dbus tmux screen                 test
shellcheck                                       lint
imagemagick chafa                                fidelity
libsixel-bin                                     frames
valgrind                                         memcheck
ccache                                           build-cache
mmdebstrap zstd                                  chroots
qemu-user-static binfmt-support arch-test        arm64
build-essential curl xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev   free-threaded
libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libgdbm-dev libexpat1-dev          free-threaded
'
wanted=()
for run in "$@"; do
  hits=$(awk -v run="$run" 'NF > 1 && $NF == run { NF--; print }' <<<"$table")
  [ -n "$hits" ] || { echo "${0##*/}: no run named '$run'" >&2; exit 2; }
  read -ra words <<<"${hits//$'\n'/ }"
  wanted+=("${words[@]}")
done
# A distribution's Python keeps its venv module and headers apart.
if [[ " $* " == *" build "* ]] && ! python3 -c 'import ensurepip, os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
  wanted+=(python3 python3-venv python3-dev)
fi

# One dpkg-query for all: a package it does not know prints no line.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${wanted[@]%\?}" 2>/dev/null |
            awk '/ install ok installed$/ { print $1 }' || true)
# Whether the release has PACKAGE, by apt's lists (not piped into grep -q:
# under pipefail its SIGPIPE says no), trusted to say "absent" only when they
# hold the release's own main list (an image may ship none, or only updates').
packaged() { [[ $(apt-cache policy "$1" 2>/dev/null) == *"Candidate: "[!\(]* ]]; }
# shellcheck disable=SC1091
. /etc/os-release
listed=$(compgen -G "/var/lib/apt/lists/*_dists_${VERSION_CODENAME:-none}_main_binary-*_Packages*" || true)
missing=() optional=() absent=()
for package in "${wanted[@]}"; do
  name=${package%\?}
  grep -qxF -- "$name" <<<"$installed" && continue
  if [ "$name" = "$package" ]; then missing+=("$name")
  elif [ -n "$listed" ] && ! packaged "$name"; then absent+=("$name")
  else optional+=("$name"); fi
done
leave_out() { [ ${#absent[@]} -eq 0 ] || echo "not packaged for $PRETTY_NAME, left out: ${absent[*]}" >&2; }
[ ${#missing[@]} -gt 0 ] || [ ${#optional[@]} -gt 0 ] || { leave_out; exit 0; }
command="apt-get update && apt-get install -y ${missing[*]} ${optional[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || { command -v sudo >/dev/null && sudo=(sudo); } ||
  { echo "system packages are missing; as root, run: $command" >&2; exit 1; }
log=$(mktemp) && trap 'rm -f "$log"' EXIT
fail() { cat "$log" >&2; echo "as root, run: $command" >&2; exit 1; }  # apt's output only then
"${sudo[@]}" apt-get update -qq >"$log" 2>&1 || fail
for package in "${optional[@]}"; do
  if packaged "$package"; then missing+=("$package"); else absent+=("$package"); fi
done
leave_out
[ ${#missing[@]} -gt 0 ] || exit 0
command="apt-get update && apt-get install -y ${missing[*]}"
echo "Installing system packages: ${missing[*]}" >&2
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >"$log" 2>&1 || fail
