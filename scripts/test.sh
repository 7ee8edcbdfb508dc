#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite (extra arguments go to
# pytest). The test extra brings the system packages the suite needs (cmake,
# make, ImageMagick, Xvfb and xterm), so only the free-threaded tests skip on
# an ordinary interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRAS="test" bash scripts/setup.sh
exec .venv/bin/python -m pytest "$@"
