"""Soak run: the simulated device streams sensor and filter packets through a pseudo-terminal into
BufferedAHRSClient for a long time, drained every 10 ms; optionally wrong-baud garbage comes first.

    python benchmarks/soak.py [--seconds 600] [--rate 1000] [--garbage-seconds 0]

Reports packets sent, received and lost, the resident size at the start and at the end, the
reader thread's CPU time per packet and how many diagnostic lines the module wrote. Exits 1 when
a packet is lost.

The device runs in a forked process, so that its Python work does not compete for this process's
interpreter lock. With --garbage-seconds, the device first sends seeded random bytes at about the
rate of a line at the wrong speed, then a run of zero bytes, then starts its streams. A packet whose
sync bytes arrive in the middle of a garbage byte's bogus header can be missed; from the first
packet received on, none may be lost.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import random
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

import tiltwick  # noqa: E402
from process_probe import rss, thread_cpu_ns, threads, with_new_thread  # noqa: E402
from tiltwick_tools import SimulatedDevice  # noqa: E402
from tiltwick_tools.motion import sequence_number  # noqa: E402



def device_process(rate: float, garbage_seconds: float, conn) -> None:
    """The simulated device: garbage (if asked), then the clean streams until told to stop."""
    with SimulatedDevice(rate, streaming=False, record_times=False) as sim:
        conn.send(sim.path)
        conn.recv()  # the client has the line open
        rng, end = random.Random(2024), time.monotonic() + garbage_seconds
        while time.monotonic() < end:
            sim.inject(rng.randbytes(920))  # about 92 kB/s, what a fast line delivers
            time.sleep(0.01)
        if garbage_seconds > 0:
            sim.inject(bytes(300))  # longer than any packet a bogus header can announce
            sim.wait_until(lambda s: s.backlog_bytes == 0, timeout=600)
        sim.start_streams()
        conn.send("streaming")
        conn.recv()  # stop
        sim.stop_streams()
        time.sleep(0.3)  # let the last packets out
        conn.send((sim.sent_sensor, sim.sent_filter, sim.overflow_sensor + sim.overflow_filter))
        conn.recv()


class LineCounter:
    """Counts the lines written to fd 2 (by the module's reader thread too), keeping a few."""

    def __init__(self) -> None:
        self.lines, self.samples = 0, []
        read, write = os.pipe()
        self.saved = os.dup(2)
        os.dup2(write, 2)
        os.close(write)
        self.thread = threading.Thread(target=self._count, args=(read,), daemon=True)
        self.thread.start()

    def _count(self, fd: int) -> None:
        tail = b""
        while chunk := os.read(fd, 65536):
            self.lines += chunk.count(b"\n")
            if len(self.samples) < 5:
                tail += chunk
                *done, tail = tail.split(b"\n")
                self.samples += [line.decode(errors="replace") for line in done][:5 - len(self.samples)]
                tail = tail[-4096:]
        os.close(fd)

    def close(self) -> None:
        os.dup2(self.saved, 2)  # the pipe's last write end goes: the counting thread ends
        os.close(self.saved)
        self.thread.join(5)


class Tally:
    """Received packets per stream, checked for gaps from the first one received."""

    def __init__(self, rate: float) -> None:
        self.rate, self.first, self.count, self.gaps, self.empty = rate, {}, {}, 0, 0

    def add(self, packet: dict) -> None:
        if packet.get("type") == "sensor":
            t = packet["GPSCorrelationTimestamp"]
            kind, seq = "sensor", sequence_number(t["gps_time_of_week"], t["gps_week"], self.rate)
        elif packet.get("type") == "estimate":
            t = packet["GPSTimestamp"]
            kind, seq = "estimate", sequence_number(t["time_of_week"], t["week"], self.rate)
        else:
            self.empty += 1
            return
        first = self.first.setdefault(kind, seq)
        self.gaps += seq != first + self.count.get(kind, 0)
        self.count[kind] = self.count.get(kind, 0) + 1

    def received(self) -> int:
        return sum(self.count.values())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=600.0, help="length of the clean phase")
    parser.add_argument("--rate", type=float, default=1000.0, help="packets per second of each stream")
    parser.add_argument("--garbage-seconds", type=float, default=0.0, help="wrong-baud garbage before the clean phase")
    args = parser.parse_args()

    parent, child = multiprocessing.Pipe()
    device = multiprocessing.get_context("fork").Process(
        target=device_process, args=(args.rate, args.garbage_seconds, child), daemon=True)
    device.start()
    path = parent.recv()

    client, reader_tid = with_new_thread(lambda: tiltwick.BufferedAHRSClient(path, 921600, 100000, False))
    rss_start = rss()
    counter = LineCounter()
    garbage_lines = garbage_entries = 0
    try:
        parent.send("go")
        while not parent.poll(0.01):  # the garbage phase
            garbage_entries += len(client.take())
        parent.recv()
        garbage_lines, counter.samples = counter.lines, []
        tally = Tally(args.rate)
        cpu_start = thread_cpu_ns(reader_tid)
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            time.sleep(0.01)
            for _, packet in client.take():
                tally.add(packet)
        clean_lines = counter.lines - garbage_lines  # before the silence after the stop brings time-outs
        parent.send("stop")
        sent_sensor, sent_filter, overflow = parent.recv()
        skipped = sum(tally.first.values())  # missed before the reader found its way back
        deadline = time.monotonic() + 5
        while tally.received() < sent_sensor + sent_filter - skipped and time.monotonic() < deadline:
            time.sleep(0.01)
            for _, packet in client.take():
                tally.add(packet)
        cpu_ns = thread_cpu_ns(reader_tid) - cpu_start
        rss_end = rss()
    finally:
        counter.close()
        del client  # the reader thread ends at its next read time-out, before the device goes
        deadline = time.monotonic() + 2
        while reader_tid in threads() and time.monotonic() < deadline:
            time.sleep(0.01)
        parent.send("done")
        device.join(10)

    sent, got = sent_sensor + sent_filter, tally.received()
    lost = sent - skipped - got
    mib = 1024 * 1024
    print(f"rate per stream        {args.rate:.0f} Hz, clean phase {args.seconds:.0f} s, "
          f"garbage before it {args.garbage_seconds:.0f} s")
    if args.garbage_seconds:
        print(f"garbage phase          {garbage_entries} entries (failed attempts), {garbage_lines} diagnostic lines")
    print(f"sent                   {sent} (sensor {sent_sensor}, filter {sent_filter}, simulator overflow {overflow})")
    print(f"received               {got} packets, {tally.empty} empty entries, {tally.gaps} out of sequence")
    print(f"missed while resyncing {skipped}")
    print(f"lost                   {lost}")
    print(f"RSS                    {rss_start / mib:.1f} MiB at start, {rss_end / mib:.1f} MiB at end")
    print(f"reader CPU per packet  {cpu_ns / 1000 / max(got, 1):.2f} us")
    print(f"diagnostic lines       {clean_lines} in the clean phase"
          + "".join(f"\n    {line}" for line in counter.samples if clean_lines))
    return 0 if lost == 0 and tally.gaps == 0 and overflow == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
