#!/usr/bin/env bash
# Creates (or reuses) .venv and installs the module into it with the given extras.
# Usage: scripts/setup-venv.sh [extras]   e.g. scripts/setup-venv.sh test
set -euo pipefail
cd "$(dirname "$0")/.."
extras=${1:-}
python3 -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip
if [ -n "$extras" ]; then
    .venv/bin/python -m pip install --quiet ".[$extras]"
else
    .venv/bin/python -m pip install --quiet .
fi
