"""CPU cost of tiltwick-record at 1000 sensor + 1000 filter packets per second, with the once-a-
second fdatasync that bounds what a power cut loses, against the same recorder syncing only at
its end (the floor, measured in the same run).

    .venv/bin/python benchmarks/record_cost.py [--seconds 20] [--repeat 3] [--folder DIR]

The simulated device runs as tiltwick-sim in a process of its own; each recording runs in a
fresh interpreter, and its CPU time (user + system, from wait4) is divided by the packets it
recorded. The sync's own disk work is done by the kernel's threads and is not in these
figures; what the recorder pays is the system call and the wait.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

RECORD = """
import sys
from tiltwick_tools.record import record
interval = None if sys.argv[4] == "none" else float(sys.argv[4])
sys.exit(record(sys.argv[1], 921600, sys.argv[2], float(sys.argv[3]), sync_interval=interval))
"""


def recording(device: str, out: str, seconds: float, interval: str) -> tuple[float, int, str]:
    """(CPU seconds, packets, closing line) of one recording."""
    process = subprocess.Popen([sys.executable, "-c", RECORD, device, out, str(seconds), interval],
                               stderr=subprocess.PIPE, text=True)
    assert process.stderr is not None
    closing = process.stderr.read()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    packets = int(closing.split(" packets")[0].split()[-1].replace(",", ""))
    return usage.ru_utime + usage.ru_stime, packets, closing.strip()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=20.0)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--folder", default=None, help="where the captures go (default: the temporary folder)")
    a = ap.parse_args()
    sim = subprocess.Popen([os.path.join(os.path.dirname(sys.executable), "tiltwick-sim"), "--rate-hz", "1000"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        assert sim.stdout is not None
        device = sim.stdout.readline().strip()
        time.sleep(0.5)
        results: dict[str, list[float]] = {"none": [], "1.0": []}
        with tempfile.TemporaryDirectory(dir=a.folder) as folder:
            for _ in range(a.repeat):
                for interval in results:  # interleaved, so that load changes hit both alike
                    cpu, packets, closing = recording(device, os.path.join(folder, "rec.bin"), a.seconds, interval)
                    results[interval].append(cpu / packets * 1e6)
                    print(f"sync every {interval:>4} s: {cpu:6.2f} s CPU for {packets:,} packets = "
                          f"{cpu / packets * 1e6:5.1f} us/packet   ({closing.split(': ', 1)[1][:60]}...)")
    finally:
        sim.terminate()
        sim.wait()
    floor, synced = min(results["none"]), min(results["1.0"])
    print(f"best of {a.repeat}: {synced:.1f} us/packet with the once-a-second sync, {floor:.1f} without: "
          f"ratio {synced / floor:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
