#!/usr/bin/env bash
# Prints the Debian mirror of this machine's apt configuration for its release
# (sources.list or deb822 .sources) unless TERVALO_MIRROR names one; else fails.
set -euo pipefail
if [ -n "${TERVALO_MIRROR:-}" ]; then echo "$TERVALO_MIRROR"; exit 0; fi
# shellcheck disable=SC1091
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirror=$({ cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
  awk -v c="$codename" '$1 == "deb" { sub(/ \[[^]]*\]/, ""); if ($3 == c) { print $2; exit } }')
[ -n "$mirror" ] || mirror=$({ cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } | awk -v c="$codename" '
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
  exit 1
fi
echo "${mirror%/}"
