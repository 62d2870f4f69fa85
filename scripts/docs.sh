#!/usr/bin/env bash
# Builds the documentation with MkDocs in strict mode (a broken link, a missing page or a
# reference table that no longer matches the code fails it) into build/site, and checks that
# the package index will take the sdist and the wheel (twine check, which renders the README as
# the long description). Needs the wheel in build/wheel and .venv from scripts/setup-venv.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(ls build/wheel/tiltwick-*.whl)
.venv/bin/python -m pip install --quiet "${wheel}[docs]" "twine>=5" "build>=1.2"
.venv/bin/python -m mkdocs build --strict --site-dir build/site
rm -rf build/sdist
.venv/bin/python -m build --sdist --outdir build/sdist . >/dev/null
.venv/bin/python -m twine check --strict build/sdist/*.tar.gz "$wheel"
