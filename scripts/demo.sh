#!/usr/bin/env bash
# The main job on a built-in default: builds and installs the module, streams live from a
# simulated device on a pseudo-terminal through BufferedAHRSClient for a few seconds, then
# writes a sample capture of a device session and dumps it with parse_data_stream_py, showing
# the first lines, the number of lines and the closing line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-venv.sh
echo "== live stream from the simulated device (BufferedAHRSClient)" >&2
.venv/bin/python examples/live_attitude.py --seconds 4
mkdir -p build
capture=build/sample-capture.bin
.venv/bin/tiltwick-sim --to-file "$capture" --seconds 12 2>/dev/null
echo "== parse_data_stream_py('$capture'), through tiltwick-dump --first 5" >&2
.venv/bin/tiltwick-dump --first 5 "$capture"
