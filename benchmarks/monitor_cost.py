"""CPU cost of tiltwick-monitor against tiltwick-record, both at 1000 sensor + 1000 filter packets
per second, in one run.

    .venv/bin/python benchmarks/monitor_cost.py [--seconds 20] [--rate 1000]

Two simulated devices (tiltwick-sim, a process each) stream at --rate Hz per set; the monitor
(--plain, its lines into a file) watches one while the recorder records the other, over the
same wall time, so that the load of the machine weighs on both alike. Each one's CPU time
(user + system, from /proc/PID/stat, its threads included) is read after a second of start-up
and again --seconds later; the report gives both as a share of one core and their ratio.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import subprocess
import sys
import tempfile
import time

BIN = os.path.dirname(sys.executable)
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    """utime + stime of a process so far (the fields after the command's closing parenthesis)."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def simulator(rate: float) -> tuple[subprocess.Popen[str], str]:
    sim = subprocess.Popen([os.path.join(BIN, "tiltwick-sim"), "--rate-hz", str(rate)],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert sim.stdout is not None
    return sim, sim.stdout.readline().strip()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=20.0)
    ap.add_argument("--rate", type=float, default=1000.0, help="packets per second of each set")
    a = ap.parse_args()
    processes: list[subprocess.Popen[str]] = []
    try:
        with contextlib.ExitStack() as stack:
            folder = stack.enter_context(tempfile.TemporaryDirectory())
            sims = [simulator(a.rate) for _ in range(2)]
            processes += [sim for sim, _ in sims]
            time.sleep(0.5)
            watched = {
                "tiltwick-monitor": [os.path.join(BIN, "tiltwick-monitor"), sims[0][1], "--plain"],
                "tiltwick-record": [os.path.join(BIN, "tiltwick-record"), sims[1][1], "921600",
                                    os.path.join(folder, "rec.bin")],
            }
            lines = stack.enter_context(open(os.path.join(folder, "monitor.txt"), "w+"))
            running = {name: subprocess.Popen(args, stdout=lines if "monitor" in name else subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL, text=True)
                       for name, args in watched.items()}
            processes += running.values()
            time.sleep(1.0)  # the interpreters' start-up is not what is measured
            before = {name: cpu_seconds(p.pid) for name, p in running.items()}
            start = time.monotonic()
            time.sleep(a.seconds)
            after = {name: cpu_seconds(p.pid) for name, p in running.items()}
            wall = time.monotonic() - start
            for p in running.values():
                p.send_signal(signal.SIGTERM)
                p.wait(timeout=30)
            lines.seek(0)
            print("the monitor's last line:", lines.read().splitlines()[-1].strip())
    finally:
        for p in processes:
            if p.poll() is None:
                p.terminate()
                p.wait()
    share = {name: (after[name] - before[name]) / wall for name in running}
    for name, used in share.items():
        print(f"{name:18} {used * wall:6.2f} s CPU in {wall:.1f} s = {used * 100:5.1f} % of a core "
              f"at {2 * a.rate:,.0f} packets/s")
    print(f"monitor / recorder: {share['tiltwick-monitor'] / share['tiltwick-record']:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
