#!/usr/bin/env bash
# Builds and installs the module for every pyenv CPython 3.10 to 3.13 on this
# machine besides the one in .venv (which runs the full suite), and checks that
# each imports it and encodes a test picture to the very stream .venv's Python
# gives. A version pyenv does not have is reported and skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh

# A picture with gradients and a pattern, well over 256 colours, so palette
# building and error diffusion both run. Prints version, size and digest.
check='
import hashlib, platform
from tervalo_ext import sixel_encode_bytes
w, h = 160, 90
pixels = bytes(v for y in range(h) for x in range(w)
               for v in (x * 255 // (w - 1), y * 255 // (h - 1), (x * y * 7 + x * 13) % 256))
stream = sixel_encode_bytes(pixels, w, h)
print(platform.python_version(), len(stream), hashlib.sha256(stream).hexdigest())'

read -r ref_version ref_size ref_digest < <(.venv/bin/python -I -c "$check")
echo "reference: Python $ref_version in .venv, $ref_size bytes, sha256 $ref_digest"
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
failed=0
for minor in 3.10 3.11 3.12 3.13; do
  [[ $ref_version == "$minor".* ]] && continue
  # The newest plain release of that minor version (not a free-threaded "t" build).
  python=$(ls -d "$pyenv_root"/versions/* 2>/dev/null | grep -E "/$minor\.[0-9]+$" | sort -V | tail -1 || true)
  if [ -z "$python" ]; then
    echo "Python $minor: not installed by pyenv here, skipped"
    continue
  fi
  start=$SECONDS
  venv=build/other-pythons/$minor
  "$python/bin/python3" -m venv --clear "$venv"
  if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps . >"$venv.log" 2>&1; then
    echo "Python $minor: build or install failed (log: $venv.log)"; tail -20 "$venv.log"; failed=1; continue
  fi
  if ! read -r version size digest < <(cd "$venv" && bin/python -I -c "$check"); then
    echo "Python $minor: import or encode failed"; failed=1; continue
  fi
  if [ "$size $digest" = "$ref_size $ref_digest" ]; then
    echo "Python $version: same stream ($size bytes) in $((SECONDS - start)) s"
  else
    echo "Python $version: DIFFERENT stream, $size bytes, sha256 $digest"; failed=1
  fi
done
exit $failed
