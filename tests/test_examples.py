"""The examples run end to end on generated data."""

import csv
import math
import subprocess
import sys
from pathlib import Path

import pytest

import make_capture
import mip_wire

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run_example(name, *args, timeout=120):
    return subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    path = tmp_path_factory.mktemp("capture") / "session.bin"
    make_capture.make_capture(path, seconds=2.0, sensor_hz=50, filter_hz=25)
    return path


def test_replay_to_csv_writes_one_row_per_packet_with_readings(capture, tmp_path):
    out = tmp_path / "packets.csv"
    done = run_example("replay_to_csv.py", capture, out)
    assert done.returncode == 0, done.stderr
    expected = [decoded for frame in mip_wire.iter_frames(capture.read_bytes(), strict=True)
                if (decoded := mip_wire.decode_payload(frame.descriptor_set, frame.payload))]
    with open(out, newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == len(expected) == 100 + 50
    for row, readings in zip(rows, expected):
        for name, values in readings:
            for field, value in values.items():
                cell = row[f"{name}.{field}"]
                if isinstance(value, float):
                    assert float(cell) == value or (math.isnan(value) and cell == "nan")
                else:
                    assert cell == str(value)


def test_plot_attitude_writes_a_png(capture, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "attitude.png"
    done = run_example("plot_attitude.py", capture, out)
    assert done.returncode == 0, done.stderr
    assert "50 samples plotted" in done.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.needs_termios2  # the example opens the simulator's pty in a child process
def test_live_attitude_streams_from_the_simulated_device():
    done = run_example("live_attitude.py", "--seconds", "1.2", "--interval", "0.3")
    assert done.returncode == 0, done.stderr
    lines = [line for line in done.stdout.splitlines() if "roll" in line]
    assert len(lines) >= 3
    sensor_counts = [int(line.split("sensor")[1].split("|")[0]) for line in lines]
    assert sensor_counts == sorted(sensor_counts) and sensor_counts[-1] > 0
