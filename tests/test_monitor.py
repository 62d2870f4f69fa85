"""tiltwick-monitor watching the simulated device: through a pipe, and on a real terminal."""

import json
import re
import shutil
import statistics
import subprocess
import time

import pytest

from helpers import command, run
from tiltwick_tools import SimulatedDevice

RATE = 100  # packets per second of each set


@pytest.mark.parametrize("form", ["plain", "json"])
def test_through_a_pipe(serial_line, form):
    """One line per interval, no control codes, rates near the device's."""
    with SimulatedDevice(rate_hz=RATE) as device:
        done = run([command("tiltwick-monitor"), device.path, "-s", "3", "-i", "0.5"]
                   + (["--json"] if form == "json" else []), timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert "\x1b" not in done.stdout and "\r" not in done.stdout
    lines = done.stdout.splitlines()
    assert 5 <= len(lines) <= 7
    if form == "json":
        figures = [json.loads(line) for line in lines]
        rates = [(f["rates_per_s"]["sensor"], f["rates_per_s"]["estimate"]) for f in figures[1:]]
        assert set(figures[-1]["attitude_deg"]) == {"roll", "pitch", "yaw"}
    else:
        found = [re.search(r" sensor ([\d,]+)/s  estimate ([\d,]+)/s .* roll \S+ pitch \S+ yaw \S+ deg", line)
                 for line in lines]
        assert all(found), lines
        rates = [(float(m[1].replace(",", "")), float(m[2].replace(",", ""))) for m in found[1:]]
    for kind in zip(*rates):
        assert 0.8 * RATE <= statistics.median(kind) <= 1.2 * RATE, rates


def tmux(*args):
    return subprocess.run(["tmux", "-L", "tiltwick-test", *args], capture_output=True, text=True, timeout=30).stdout


def wait_for_screen(predicate, seconds=15.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        screen = tmux("capture-pane", "-p", "-t", "monitor")
        if predicate(screen):
            return screen
        time.sleep(0.2)
    pytest.fail(f"the screen never showed what was awaited:\n{screen}")


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux (apt-get install tmux)")
@pytest.mark.parametrize("key, status", [("q", 0), ("C-c", 130)])
def test_on_a_terminal(serial_line, key, status):
    """At 80x24 the rates and the attitude show; after q or Ctrl-C the terminal is as it was:
    the normal screen, the cursor on, the keys echoed and read by line, nothing written over it."""
    with SimulatedDevice(rate_hz=RATE) as device:
        try:
            tmux("new-session", "-d", "-s", "monitor", "-x", "80", "-y", "24",
                 f"{command('tiltwick-monitor')} {device.path}; echo EXIT=$?; stty -a; sleep 60")
            screen = wait_for_screen(lambda s: re.search(r"sensor \d+/s", s) and "deg" in s)
            assert tmux("display-message", "-p", "-t", "monitor", "#{alternate_on} #{cursor_flag}").split() == ["1", "0"]
            for name in ("roll", "pitch", "yaw", "estimate", "filter state", "|acceleration|", "|angular rate|"):
                assert name in screen
            tmux("send-keys", "-t", "monitor", key)
            screen = wait_for_screen(lambda s: "EXIT=" in s)
            assert f"EXIT={status}" in screen and "fatal error" not in screen  # the reader's last words caught
            assert tmux("display-message", "-p", "-t", "monitor", "#{alternate_on} #{cursor_flag}").split() == ["0", "1"]
            assert re.search(r"(?<!-)icanon", screen) and re.search(r"(?<!-)echo ", screen)
        finally:
            tmux("kill-server")
