"""Writes docs/monitor-screen.txt: tiltwick-monitor on an 80x24 terminal (tmux), watching the
simulated device for a few seconds. Run it with the package installed, and tmux:

    .venv/bin/python docs/monitor_screenshot.py
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import time
from pathlib import Path

from tiltwick_tools import SimulatedDevice

OUT = Path(__file__).resolve().parent / "monitor-screen.txt"
SERVER = "tiltwick-docs"


def tmux(*args: str) -> str:
    return subprocess.run(["tmux", "-L", SERVER, *args], capture_output=True, text=True, check=True,
                          timeout=30).stdout


def main() -> int:
    monitor = shutil.which("tiltwick-monitor", path=str(Path(sys.executable).parent))
    if shutil.which("tmux") is None or monitor is None:
        print("needs tmux and tiltwick-monitor beside this interpreter", file=sys.stderr)
        return 1
    with SimulatedDevice(100) as device:
        tmux("new-session", "-d", "-s", "monitor", "-x", "80", "-y", "24", f"{monitor} {device.path} 921600")
        try:
            time.sleep(4.5)
            screen = tmux("capture-pane", "-p", "-t", "monitor")
        finally:
            tmux("kill-server")
    OUT.write_text("\n".join(line.rstrip() for line in screen.rstrip().splitlines()) + "\n")
    print(f"wrote {OUT}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
