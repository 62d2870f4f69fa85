"""What tiltwick-csv and tiltwick-plot cost against iterating packets() over the same capture.

    .venv/bin/python benchmarks/csv_cost.py [--seconds 120] [--repeat 3]

Writes a capture of --seconds of the simulated device's sensor and estimation-filter packets
at 100 Hz each (120 s make 24,000 packets and 70 CSV columns), then times, interleaved so that a change of load hits all
alike, in this one process:
  a) for packet in packets(capture): pass
  b) write_csv(capture, out.csv), what tiltwick-csv runs (two passes over the packets)
  b') the same without numpy, as on a board where it is not installed
  c) plot(capture, out.png), what tiltwick-plot runs (needs matplotlib)
and reports the best of --repeat runs of each, as CPU seconds of this process (less swayed by
other processes than wall time on a busy machine) and as a multiple of (a).
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from collections.abc import Callable

from unittest import mock

from tiltwick_tools import csv_rows
from tiltwick_tools.capture import make_capture
from tiltwick_tools.csv_command import write_csv
from tiltwick_tools.replay import packets


def iterate(path: str) -> None:
    for _ in packets(path):
        pass


def without_numpy(job: Callable[[], object]) -> object:
    with mock.patch.object(csv_rows, "_numpy", lambda: None):
        return job()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=120.0, help="length of the capture")
    ap.add_argument("--repeat", type=int, default=3, help="runs of each, the best counts")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        capture = os.path.join(folder, "capture.bin")
        info = make_capture(capture, seconds=a.seconds)
        print(f"capture: {info.packets:,} packets, {info.size:,} bytes")
        variants: dict[str, Callable[[], object]] = {
            "(a) iterate packets()": lambda: iterate(capture),
            "(b) tiltwick-csv": lambda: write_csv(capture, os.path.join(folder, "out.csv")),
            "(b') without numpy": lambda: without_numpy(lambda: write_csv(capture, os.path.join(folder, "out.csv"))),
        }
        try:
            import matplotlib  # noqa: F401

            from tiltwick_tools.plot import plot
            variants["(c) tiltwick-plot"] = lambda: plot(capture, os.path.join(folder, "out.png"))
        except ImportError:
            print("(c) tiltwick-plot: left out, matplotlib is missing")
        best = dict.fromkeys(variants, float("inf"))
        for _ in range(a.repeat):
            for name, job in variants.items():
                start = time.process_time()
                job()
                best[name] = min(best[name], time.process_time() - start)
    floor = best["(a) iterate packets()"]
    for name, seconds in best.items():
        print(f"{name:24} {seconds:8.3f} s CPU  {seconds / floor:6.1f}x (a)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
