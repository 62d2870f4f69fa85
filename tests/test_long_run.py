"""Long runs: a million packets through each way of reading, and thousands of clients made and
dropped, with a device and without one, must leave memory, descriptors and threads where they
were. TILTWICK_LONG_PACKETS sets the packets per way of reading (default 1000000)."""

import os
import threading
import time
import tracemalloc

import pytest

import tiltwick
from tiltwick_tools.capture import make_capture
from test_buffered import wait_for
from test_faults import device_in_child, threads
from process_probe import quiet
from test_leaks import usage

pytestmark = pytest.mark.long
PACKETS = int(os.environ.get("TILTWICK_LONG_PACKETS", "1000000"))
WINDOWS = 4  # compared with each other, after a warm-up window
BAUD = 921600


def open_fds():
    return len(os.listdir("/proc/self/fd"))


MIB = 1024 * 1024


def assert_flat(step, per_window, traced, rss_slack=2 * MIB):
    """Runs step(n) (n units of work: packets, captures or clients) for a warm-up window and
    WINDOWS more, and compares, window by window: native heap in use (after giving free pages
    back), resident size, descriptors and threads. Tracing Python allocations slows this
    work several times, so only the last `traced` units of each window run traced: what they
    leave allocated must stay small. One leaked object per packet would leave megabytes."""
    marks, residues = [], []
    with quiet():  # a replay prints a line per packet; failed opens print fatal reports
        for _ in range(WINDOWS + 1):
            step(per_window - traced)
            tracemalloc.start()
            try:
                step(traced)
                residues.append(usage()[0])
            finally:
                tracemalloc.stop()
            marks.append(usage()[1:] + (open_fds(), len(threads())))
    assert max(residues[1:]) < 64 * 1024, residues
    for before, after in zip(marks, marks[1:]):
        heap, _, fds, tasks = (b - a for a, b in zip(before, after))
        assert heap < 256 * 1024 and (fds, tasks) == (0, 0), marks
    # The resident size moves by whole allocator arenas, up and down with the size of the last
    # bursts taken; a leak lifts the later windows above everything the earlier ones reached.
    rss = [mark[1] for mark in marks[1:]]
    assert min(rss[len(rss) // 2:]) - max(rss[:len(rss) // 2]) < rss_slack, marks


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    return make_capture(tmp_path_factory.mktemp("long") / "capture.bin", seconds=10, sensor_hz=1000, filter_hz=1000)


@pytest.mark.parametrize("method", ["read", "read_packet"])
def test_a_million_packets_replayed(capture, method):
    left, empty = 0, 0
    c = tiltwick.AHRSClient()
    read = getattr(c, method)

    def step(count):
        nonlocal left, empty
        for _ in range(count):
            if left == 0:  # used up: start the capture again
                c.open_file(capture.path)
                left = capture.packets
            empty += not read()
            left -= 1

    per_window = PACKETS // WINDOWS
    assert_flat(step, per_window, min(20000, per_window // 2))
    passes = -(-per_window * (WINDOWS + 1) // capture.packets)
    assert empty <= passes * capture.reply_packets  # only the command replies decode to nothing


def test_a_million_packets_taken(capture):
    """A writer thread feeds copies of the capture through a pty as fast as the reader keeps up;
    take() drains continuously. At the end of each step the writer pauses after a whole copy,
    and every packet written so far must have been taken."""
    blob = open(capture.path, "rb").read()
    per_window = max(2, PACKETS // WINDOWS // capture.packets)  # copies of the capture
    base_fds, before = open_fds(), threads()
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    # a large queue, yet one that the warm-up window goes round (its slots are touched in turn)
    client = tiltwick.BufferedAHRSClient(path, BAUD, min(100000, per_window * capture.packets // 2), False)
    go, stop, lock, written, taken, empty = threading.Event(), threading.Event(), threading.Lock(), [0], [0], [0]

    def feed():
        while go.wait() and not stop.is_set():
            with lock:
                if not go.is_set():
                    continue
                view = memoryview(blob)
                while view:
                    view = view[os.write(master, view):]
                written[0] += 1

    def take():
        entries = client.take()
        taken[0] += len(entries)
        empty[0] += sum(not packet for _, packet in entries)

    def step(count):
        target = written[0] + count
        go.set()
        while written[0] < target:
            take()
            time.sleep(0.001)
        go.clear()
        while not lock.acquire(timeout=0.001):  # the copy being written is complete ...
            take()
        expected = written[0] * capture.packets
        lock.release()  # ... and no other starts
        deadline = time.monotonic() + 60
        while taken[0] < expected and time.monotonic() < deadline:
            take()
            time.sleep(0.001)
        # every packet, and nothing else decoded to nothing but the command replies
        assert (taken[0], empty[0]) == (expected, written[0] * capture.reply_packets)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        # A burst of thousands of dicts can leave Python's allocator arenas partly used: after
        # other tests the floor has stepped up by 10 MiB once (alone, 3.4 million packets stay
        # within 1.5 MiB); the traced and native heap checks are the fine ones here.
        assert_flat(step, per_window, 1, rss_slack=16 * MIB)
    finally:
        stop.set()
        go.set()
        writer.join(60)
        del client
        os.close(master)
    assert taken[0] >= (WINDOWS + 1) * per_window * capture.packets
    assert wait_for(lambda: open_fds() <= base_fds and not threads() - before)


@pytest.mark.needs_termios2
@pytest.mark.parametrize("device", ["running", "missing"])
@pytest.mark.parametrize("kind", ["AHRSClient", "BufferedAHRSClient"])
def test_clients_made_and_dropped(tmp_path, kind, device):
    # The device holds the slave open, so bytes are waiting whenever a client opens the line.
    with device_in_child(1000, keep_slave_open=True, record_times=False) as sim:
        sim.call("start_streams")
        path = sim.path if device == "running" else str(tmp_path / "missing")
        before = threads()

        def step(count):
            for _ in range(count):
                if kind == "BufferedAHRSClient":
                    tiltwick.BufferedAHRSClient(path, BAUD, 16, False).take()
                    continue
                client = tiltwick.AHRSClient()
                try:
                    client.open(path, BAUD)
                except ValueError:
                    assert device == "missing"
                client.start_stream()
                client.read()
            assert wait_for(lambda: not threads() - before, 30)  # every reader thread has ended

        assert_flat(step, 400, 100)
