#!/usr/bin/env bash
# Runs every test: the C++ tests of internals Python cannot reach, then the pytest suite
# against the installed module. Installs what it needs first (venv, build back-end, pytest).
# Compiler warnings are errors here (they are not in a user's pip install).
set -euo pipefail
cd "$(dirname "$0")/.."
SKBUILD_CMAKE_DEFINE="TILTWICK_WERROR=ON" bash scripts/setup-venv.sh test
.venv/bin/python -m pip install --quiet cmake ninja
"$PWD/.venv/bin/cmake" -S . -B build/native-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DTILTWICK_BUILD_MODULE=OFF -DTILTWICK_BUILD_NATIVE_TESTS=ON -DTILTWICK_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
"$PWD/.venv/bin/cmake" --build build/native-tests
build/native-tests/native_tests
# The examples type-check against the installed stubs.
.venv/bin/python -m mypy --strict examples
# The stubs describe exactly what the module has at run time.
.venv/bin/python -m mypy.stubtest tiltwick
# The installed companion package type-checks too.
.venv/bin/python -m mypy --strict -p tiltwick_tools
.venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
