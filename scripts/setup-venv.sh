#!/usr/bin/env bash
# Creates (or reuses) .venv, builds a wheel of this tree into build/wheel/ and installs it, with
# the given extras. The tests therefore run against the installed wheel, the one ci/matrix tags
# for this machine and leaves in dist/.
# Usage: scripts/setup-venv.sh [extras]   e.g. scripts/setup-venv.sh test
set -euo pipefail
cd "$(dirname "$0")/.."
extras=${1:-}
python3 -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip
rm -rf build/wheel
.venv/bin/python -m pip wheel --quiet --no-deps --wheel-dir build/wheel .
wheel=$(ls build/wheel/tiltwick-*.whl)
.venv/bin/python -m pip install --quiet --force-reinstall --no-deps "$wheel"
if [ -n "$extras" ]; then
    .venv/bin/python -m pip install --quiet "${wheel}[$extras]"
fi
