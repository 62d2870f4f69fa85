"""Live-stream benchmark: the simulated device streams sensor and filter packets through a
pseudo-terminal into BufferedAHRSClient, drained every 10 ms.

    python benchmarks/bench_live.py [--rate 1000] [--seconds 10]

Reports packets sent, received and lost, the reader thread's CPU time per packet, the delay
from the simulator's write to the entry's timestamp (p50/p99), and how fast a pure-Python
busy loop runs while the reader streams compared with the same loop with no client at all.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

import tiltwick  # noqa: E402
from process_probe import thread_cpu_ns, with_new_thread  # noqa: E402
from tiltwick_tools.motion import sequence_number  # noqa: E402
from tiltwick_tools.simulator import FILTER, SENSOR, SimulatedDevice  # noqa: E402


def device_process(rate: float, seconds: float, conn) -> None:
    """Runs the simulated device in its own process and reports what it sent."""
    with SimulatedDevice(rate, streaming=False, record_times=True) as sim:  # every packet's delay
        conn.send(sim.path)
        conn.recv()  # the client has the line open
        sim.start_streams()
        time.sleep(seconds)
        sim.stop_streams()
        time.sleep(0.3)  # let the last packets out
        conn.send((sim.sent_sensor, sim.sent_filter, sim.overflow_sensor + sim.overflow_filter, sim.send_times))
        conn.recv()


def spin_rate(seconds: float) -> float:
    """Iterations per second of a pure-Python loop on another thread."""
    done = threading.Event()
    count = [0]

    def spin():
        n = 0
        while not done.is_set():
            n += 1
        count[0] = n

    worker = threading.Thread(target=spin)
    worker.start()
    time.sleep(seconds)
    done.set()
    worker.join()
    return count[0] / seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rate", type=float, default=1000.0, help="packets per second of each stream")
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()

    idle_spin = spin_rate(1.0)

    parent, child = multiprocessing.Pipe()
    device = multiprocessing.get_context("fork").Process(target=device_process, args=(args.rate, args.seconds, child))
    device.start()
    path = parent.recv()

    client, reader_tid = with_new_thread(lambda: tiltwick.BufferedAHRSClient(path, 921600, 100000, False))
    cpu_start = thread_cpu_ns(reader_tid)
    parent.send("go")

    received = []
    streaming_spin = [0.0]
    spinner = threading.Thread(target=lambda: streaming_spin.__setitem__(0, spin_rate(min(2.0, args.seconds / 2))))
    spinner.start()
    end = time.monotonic() + args.seconds + 0.6
    while time.monotonic() < end:
        time.sleep(0.01)
        received.extend(client.take())
    spinner.join()
    cpu_ns = thread_cpu_ns(reader_tid) - cpu_start
    del client  # while the device is still there: the reader ends at its next read
    sent_sensor, sent_filter, overflow, send_times = parent.recv()
    time.sleep(0.2)
    parent.send("done")
    device.join(10)

    seen = {SENSOR: set(), FILTER: set()}
    delays_ms = []
    empty = 0
    for stamp_ms, packet in received:
        if packet.get("type") == "sensor":
            t = packet["GPSCorrelationTimestamp"]
            key = (SENSOR, sequence_number(t["gps_time_of_week"], t["gps_week"], args.rate))
        elif packet.get("type") == "estimate":
            t = packet["GPSTimestamp"]
            key = (FILTER, sequence_number(t["time_of_week"], t["week"], args.rate))
        else:
            empty += 1
            continue
        seen[key[0]].add(key[1])
        if key in send_times:
            delays_ms.append(stamp_ms - send_times[key] / 1e6)

    sent = sent_sensor + sent_filter
    got = len(seen[SENSOR]) + len(seen[FILTER])
    lost = sent - got
    delays_ms.sort()

    def pct(p):
        return delays_ms[min(len(delays_ms) - 1, int(p / 100 * len(delays_ms)))] if delays_ms else float("nan")

    print(f"rate per stream       {args.rate:.0f} Hz for {args.seconds:.0f} s")
    print(f"sent                  {sent} (sensor {sent_sensor}, filter {sent_filter}, simulator overflow {overflow})")
    print(f"received              {got} decoded packets, {empty} empty entries")
    print(f"lost                  {lost}")
    print(f"reader CPU per packet {cpu_ns / 1000 / max(got, 1):.2f} us")
    print(f"delay send->stamp     p50 {pct(50):.3f} ms, p99 {pct(99):.3f} ms, max {delays_ms[-1] if delays_ms else float('nan'):.3f} ms"
          " (stamps have 1 ms resolution)")
    print(f"python loop speed     {streaming_spin[0] / idle_spin:.2f} x of idle while streaming and draining")
    return 0 if lost == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
