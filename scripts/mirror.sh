#!/usr/bin/env bash
# Prints the Debian mirror of this machine's apt configuration for its release
# (as apt itself reads its sources) unless TERVALO_MIRROR names one; else fails.
set -euo pipefail
if [ -n "${TERVALO_MIRROR:-}" ]; then echo "$TERVALO_MIRROR"; exit 0; fi
# shellcheck disable=SC1091
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
# shellcheck disable=SC2016  # $(SITE) is apt's
mirror=$(apt-get indextargets --no-release-info --format '$(SITE)' "Release: $codename" \
  "Target-Of: deb" | awk 'NR == 1')
[ -n "$mirror" ] || { echo "no Debian mirror for '$codename' in apt's sources: set TERVALO_MIRROR" >&2; exit 1; }
echo "${mirror%/}"
