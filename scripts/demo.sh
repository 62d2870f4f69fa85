#!/usr/bin/env bash
# The main job on a built-in default: builds and installs the module, streams live from a
# simulated device on a pseudo-terminal through BufferedAHRSClient for a few seconds, then
# generates a sample capture of a device session and dumps it with parse_data_stream_py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-venv.sh
echo "== live stream from the simulated device (BufferedAHRSClient)" >&2
.venv/bin/python examples/live_attitude.py --seconds 4
mkdir -p build
capture=build/sample-capture.bin
.venv/bin/python tools/make_capture.py "$capture" >/dev/null
echo "== parse_data_stream_py('$capture')" >&2
.venv/bin/python -c 'import sys, tiltwick; tiltwick.parse_data_stream_py(sys.argv[1])' "$capture"
