# What the scripts share: sourced, not run.
# shellcheck shell=bash

# Where the runs that CI makes keep what outlives them: chroot tarballs, the
# free-threaded CPython, ccache's store, pip's cache and the wheelhouse, each
# shared by every venv, interpreter and chroot.
CACHE=${TERVALO_CACHE:-/var/cache/tervalo_ext}
WHEELHOUSE=$CACHE/wheelhouse
use_caches() {
  mkdir -p "$CACHE" "$WHEELHOUSE"
  export PIP_CACHE_DIR=${PIP_CACHE_DIR:-$CACHE/pip}
  # pip's HTTP cache keeps nothing here: the registry answers without caching
  # headers. So what pip downloads is kept in a wheelhouse that every pip
  # call (build environments included) looks in first: pip prefers a
  # find-links file to the same release on the index.
  [[ " ${PIP_FIND_LINKS:-} " == *" $WHEELHOUSE "* ]] ||
    export PIP_FIND_LINKS="$WHEELHOUSE${PIP_FIND_LINKS:+ $PIP_FIND_LINKS}"
  # Compiles through ccache, with paths under the checkout made relative, so
  # a fresh clone elsewhere hits the objects of the last one.
  if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=$CACHE/ccache CCACHE_BASEDIR=$PWD \
      CCACHE_NOHASHDIR=1
  fi
}

# Installs the named Debian packages that are missing, as root or through
# sudo; with neither, prints in one line the command to run as root, and
# fails.
apt_install() {
  local installed missing=() package
  # One dpkg-query for all: a package it does not know prints no line.
  installed=$(dpkg-query -W -f='${Package} ${Status}\n' "$@" 2>/dev/null |
              awk '/ install ok installed$/ { print $1 }' || true)
  for package in "$@"; do
    grep -qxF -- "$package" <<<"$installed" || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local sudo=() command="apt-get update && apt-get install -y ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "${0##*/}: system packages are missing; as root, run: $command" >&2; return 1; }
    sudo=(sudo)
  fi
  echo "Installing system packages: ${missing[*]}" >&2
  # apt's output only when it fails.
  local log
  log=$(mktemp)
  { "${sudo[@]}" apt-get update -qq &&
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"; } >"$log" 2>&1 ||
    { cat "$log" >&2; rm -f "$log"; echo "${0##*/}: as root, run: $command" >&2; return 1; }
  rm -f "$log"
}

# The Debian mirror this machine's own apt configuration uses for its
# release (one-line sources.list or deb822 .sources), unless TERVALO_MIRROR
# names one. Nothing else knows a mirror: without one, say so and stop.
debian_mirror() {
  if [ -n "${TERVALO_MIRROR:-}" ]; then echo "$TERVALO_MIRROR"; return; fi
  local codename mirror
  # shellcheck disable=SC1091
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk -v c="$codename" '$1 == "deb" { sub(/ \[[^]]*\]/, ""); if ($3 == c) { print $2; exit } }')
  [ -n "$mirror" ] || mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v c="$codename" '
    BEGIN { RS = ""; FS = "\n" }
    { types = suites = uris = ""
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^Types:/) types = " " substr($i, 7) " "
        if ($i ~ /^Suites:/) suites = " " substr($i, 8) " "
        if ($i ~ /^URIs:/) { uris = substr($i, 6); sub(/^ +/, "", uris); sub(/ .*/, "", uris) }
      }
      if (types ~ / deb / && suites ~ (" " c " ") && uris != "") { print uris; exit } }')
  if [ -z "$mirror" ]; then
    echo "no Debian mirror for '$codename' in /etc/apt/sources.list{,.d}: set TERVALO_MIRROR" >&2
    return 1
  fi
  echo "${mirror%/}"
}

# The requirements of the build and of the given extras (comma list), one a
# line, read from pyproject.toml by PYTHON (default python3).
requirements() {
  "${2:-python3}" - "$1" <<'PY'
import sys

try:
    import tomllib
except ImportError:  # Python 3.10: pip carries tomli
    from pip._vendor import tomli as tomllib

with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)
extras = project["project"]["optional-dependencies"]


def expand(names):  # an extra may name others: tervalo_ext[...]
    for name in names.split(","):
        if name not in extras:
            sys.exit(f"no extra {name!r} in pyproject.toml (there are: {', '.join(extras)})")
        for req in extras[name]:
            yield from expand(req[12:-1]) if req.startswith("tervalo_ext[") else [req]


# pip 23.1 or later: older ones (Debian 12's venvs) build less well without
# isolation.
needed = ["pip>=23.1", *project["build-system"]["requires"], *expand(sys.argv[1])]
print("\n".join(dict.fromkeys(needed)))
PY
}

# fill_wheelhouse PYTHON EXTRAS [PIP_ARGS]: downloads what that interpreter
# needs for the build and the extras and the wheelhouse does not hold yet.
fill_wheelhouse() {
  local list needed
  list=$(requirements "$2")
  mapfile -t needed <<<"$list"
  # Quiet unless it fails: pip warns about every index location it skips.
  "$1" -m pip download -q --disable-pip-version-check -d "$WHEELHOUSE" "${@:3}" "${needed[@]}" \
    >"$WHEELHOUSE.log" 2>&1 || { tail -20 "$WHEELHOUSE.log" >&2; return 1; }
}

# install_module PYTHON EXTRAS BUILD_DIR [CONFIG_SETTINGS...]: the build's and
# the extras' requirements, then the module, built without isolation into
# BUILD_DIR. nanobind's sources then keep one path, so a rebuild in
# BUILD_DIR is incremental and ccache finds the objects of an earlier one.
install_module() {
  local python=$1 list needed pip=(-m pip install -q --disable-pip-version-check)
  list=$(requirements "$2" "$python")
  mapfile -t needed <<<"$list"
  "$python" "${pip[@]}" "${needed[@]}"
  "$python" "${pip[@]}" --no-build-isolation --no-deps --config-settings=build-dir="$3" "${@:4}" .
}
