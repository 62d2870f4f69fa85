"""The examples, the README's snippets and the installed commands, run as a user runs them."""

import csv
import importlib.util
import queue
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from tiltwick_tools import mip_wire
from helpers import EOF_LINE, UNDER_SANITIZER, command, dump_model, run, wait_for
from tiltwick_tools import SimulatedDevice
from tiltwick_tools.capture import capture_bytes, make_capture
from tiltwick_tools.motion import sequence_number
from tiltwick_tools.units import label

ROOT = Path(__file__).resolve().parent.parent
COMMAND_TIMEOUT = 120  # a command run to its end, under emulation too


@pytest.mark.needs_termios2  # the live example opens the simulated device's pty
@pytest.mark.parametrize("example, args, expected", [
    ("live_attitude.py", ["--seconds", "1.2", "--interval", "0.3"], r"sensor +\d+ \| filter +\d+ \| roll"),
    ("replay_attitude.py", [], r"^t= +11\.00 s  roll +[-+]\d"),
])
def test_examples_run_as_is(example, args, expected):
    done = run([sys.executable, ROOT / "examples" / example, *args])
    assert done.returncode == 0, done.stderr
    assert re.search(expected, done.stdout, re.M), done.stdout
    if example == "live_attitude.py":
        counts = [int(m) for m in re.findall(r"sensor +(\d+)", done.stdout)]
        assert len(counts) >= 3 and counts == sorted(counts) and counts[-1] > 0
    else:  # one line per second of the 12 s capture, then the count of filter packets
        assert done.stdout.count("roll") == 12 and "1200 filter packets" in done.stdout


def readme_snippets():
    """The Python snippets of the README and of every page in docs/, each once."""
    pages = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
    return list(dict.fromkeys(snippet for page in pages
                              for snippet in re.findall(r"^```python\n(.*?)^```", page.read_text(), re.S | re.M)))


@pytest.mark.needs_termios2
@pytest.mark.needs_native_speed  # a dozen interpreters, and a watchdog that takes a 2 s pause for an unplug
def test_readme_snippets_run_as_shown(tmp_path):
    """Each snippet runs in a fresh interpreter, with a capture.bin beside it and the simulated
    device in place of /dev/ttyACM0; the reconnect watchdog sees its device unplugged and
    plugged in again under the same /dev/serial/by-id/ name."""
    snippets = readme_snippets()
    assert len(snippets) >= 8
    make_capture(tmp_path / "capture.bin", seconds=2.0)
    for snippet in snippets:
        # numpy may be missing, and under a sanitizer its own unfreed blocks fail the leak check
        if "/dev/serial/by-id/" in snippet or ("import numpy" in snippet and (
                UNDER_SANITIZER or importlib.util.find_spec("numpy") is None)):
            continue
        with SimulatedDevice(rate_hz=100) as device:
            done = run([sys.executable, "-c", snippet.replace("/dev/ttyACM0", device.path)], cwd=tmp_path)
        assert done.returncode == 0, f"{snippet}\n{done.stderr}"
        assert "Parsed packet:" not in done.stdout and "IOERR" not in done.stdout, snippet

    (watchdog,) = (s for s in snippets if "/dev/serial/by-id/" in s)
    link = tmp_path / "usb-AHRS-if00"
    watchdog = re.sub(r'"/dev/serial/by-id/[^"]*"', repr(str(link)), watchdog)
    process = subprocess.Popen([sys.executable, "-u", "-c", watchdog], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in process.stdout], daemon=True).start()

    def wait_for_line(pattern):
        deadline = time.monotonic() + 20
        while (left := deadline - time.monotonic()) > 0:
            try:
                if re.search(pattern, lines.get(timeout=left)):
                    return True
            except queue.Empty:
                break
        return False
    try:
        for plugged_in in range(2):  # the second time as another node under the same name
            with SimulatedDevice(rate_hz=100) as device:
                link.symlink_to(device.path)
                assert wait_for_line(r"'roll': "), "no readings from the device"
                if plugged_in == 0:
                    device.hangup()
                    link.unlink()
                    assert wait_for_line("^no readings for .*: reconnecting$")
    finally:
        process.kill()
        process.wait()


@pytest.mark.needs_termios2
def test_sim_record_dump_end_to_end(tmp_path):
    """tiltwick-sim plays the device, tiltwick-record records it until Ctrl-C, tiltwick-dump
    prints the capture: every byte the device sent from the first whole packet the recorder saw
    is in the file, none missing. (What the device sent before the line was opened is gone but
    for the line's buffer, as on a real line: an emulated system can take seconds to start the
    recorder.)"""
    out = tmp_path / "session.bin"
    device = subprocess.Popen([command("tiltwick-sim"), "--rate-hz", "200"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        path = device.stdout.readline().strip()
        recorder = subprocess.Popen([command("tiltwick-record"), path, "921600", out], stderr=subprocess.PIPE,
                                    text=True)
        # Ctrl-C once 64 KiB are on disk: at least 300 packets.
        assert wait_for(lambda: out.exists() and out.stat().st_size >= 64 * 1024), "nothing recorded"
        recorder.send_signal(signal.SIGINT)
        _, status = recorder.communicate(timeout=COMMAND_TIMEOUT)
        assert recorder.returncode == 0, status
    finally:
        device.send_signal(signal.SIGINT)
        device.communicate(timeout=COMMAND_TIMEOUT)
    data = out.read_bytes()
    assert re.search(rf"\b{len(data):,} B .* packets  0 checksum failures", status), status

    # packets back to back from the first byte, each set numbered on without a gap
    frames = list(mip_wire.iter_frames(data))
    assert len(frames) >= 300 and frames[0].offset == 0
    assert [f.offset for f in frames[1:]] == [f.offset + f.size for f in frames[:-1]]
    seqs = {0x80: [], 0x82: []}
    for frame in frames:
        readings = dict(mip_wire.decode_payload(frame.descriptor_set, frame.payload))
        clock = readings.get("GPSCorrelationTimestamp") or readings["GPSTimestamp"]
        seqs[frame.descriptor_set].append(sequence_number(*list(clock.values())[:2], 200))
    assert all(got == list(range(got[0], got[0] + len(got))) for got in seqs.values())

    done = run([command("tiltwick-dump"), "--first", "5", out])
    lines, closing = dump_model(data)
    assert done.stdout.splitlines() == lines[:5]
    assert done.stderr.splitlines() == [f"... {len(lines) - 5} more lines", f"{len(lines)} packet lines", closing]
    assert done.returncode == (0 if closing == EOF_LINE else 1)


def test_csv_and_plot_read_a_capture_to_its_end(tmp_path):
    """A stretch of 1023 zero bytes inside a capture is skipped, not taken for its end, and
    replaying prints nothing of the module's own lines. Each cell reads back to the device's
    value at the field's own precision."""
    first, _ = capture_bytes(2.0, 50, 25)
    second, _ = capture_bytes(2.0, 50, 25, seed=2)
    data = first + bytes(1023) + second
    capture = tmp_path / "gap.bin"
    capture.write_bytes(data)
    expected = [decoded for frame in mip_wire.iter_frames(data)
                if (decoded := mip_wire.decode_payload(frame.descriptor_set, frame.payload))]
    assert len(expected) == 2 * (100 + 50)

    out = tmp_path / "packets.csv"
    done = run([command("tiltwick-csv"), capture, out])
    assert (done.returncode, done.stdout, done.stderr) == (0, "", f"{len(expected)} packets written to {out}\n")
    with open(out, newline="") as f:
        rows = list(csv.DictReader(f))
    assert {"OrientationEuler.roll [rad]", "ScaledAccVector.x [g]", "GravityVector.z [m/s^2]"} <= set(rows[0])
    assert len(rows) == len(expected)
    for row, readings in zip(rows, expected):
        for name, values in readings:
            wire_types = dict(mip_wire.CATALOGUE[name].fields)
            for field, value in values.items():
                cell = row[label(name, field)]
                if wire_types[field] == "f32":  # the shortest text of the single-precision value
                    assert mip_wire.f32(float(cell)) == value and len(cell) <= len(repr(value))
                else:
                    assert cell == (repr(value) if isinstance(value, float) else str(value))

    if importlib.util.find_spec("matplotlib") is None:  # not imported here: numpy would start threads
        pytest.skip("tiltwick-plot needs matplotlib")
    png = tmp_path / "attitude.png"
    done = run([command("tiltwick-plot"), capture, png])
    assert (done.returncode, done.stdout, done.stderr) == (0, "", f"100 samples plotted to {png}\n")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
