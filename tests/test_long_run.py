"""Memory, descriptors and threads stay where they were: replays and failing calls by the
thousand, and, marked long, a million packets through each way of reading and thousands of
clients made and dropped, with a device and without one. TILTWICK_LONG_PACKETS sets the packets
per way of reading of the long runs (default 1000000); -m "not long" leaves those out."""

import contextlib
import ctypes
import gc
import os
import signal
import time
import tracemalloc

import pytest

from tiltwick_tools import mip_wire as mw
import tiltwick
from child import Child, hear_from_parent, tell_parent
from helpers import QEMU_USER, UNDER_SANITIZER, bytes_read, device_in_child, new_client, seq_of, wait_for
from process_probe import quiet, rss, threads
from tiltwick_tools.capture import make_capture

PACKETS = int(os.environ.get("TILTWICK_LONG_PACKETS", "1000000"))
WINDOWS = 4  # compared with each other, after a warm-up window
BAUD = 921600
MIB = 1024 * 1024


def open_fds():
    return len(os.listdir("/proc/self/fd"))


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


LIBC = ctypes.CDLL(None)
HAS_MALLINFO = hasattr(LIBC, "mallinfo2") and hasattr(LIBC, "malloc_trim")
if HAS_MALLINFO:
    LIBC.mallinfo2.restype = MallInfo2


def usage():
    """(Python bytes traced, native heap bytes in use, resident set size)."""
    gc.collect()
    heap = 0
    if HAS_MALLINFO:
        LIBC.malloc_trim(0)  # give back free pages, so that the resident size follows real use
        info = LIBC.mallinfo2()
        heap = info.uordblks + info.hblkhd
    return tracemalloc.get_traced_memory()[0], heap, rss()


WARM_UP = 1500
WINDOW = 3000


@pytest.fixture(scope="module")
def long_capture(tmp_path_factory):
    path = tmp_path_factory.mktemp("leaks") / "long.bin"
    info = make_capture(path, seconds=40, sensor_hz=100, filter_hz=100, deltas=True)
    assert info.packets >= WARM_UP + 2 * WINDOW
    return str(path)


@pytest.fixture(scope="module")
def garbage_capture(tmp_path_factory):
    # bad-checksum packets: every call takes the failure path with its one-byte skip
    packet = mw.frame(mw.FILTER_SET, mw.encode_reading("OrientationMatrix", *range(9), "Valid"))
    bad = packet[:-1] + bytes([packet[-1] ^ 0xFF]) + b"\x00"
    path = tmp_path_factory.mktemp("leaks") / "garbage.bin"
    path.write_bytes(bad * (WARM_UP + 2 * WINDOW + 10))
    return str(path)


def step(c, method):
    try:
        getattr(c, method)()
    except ValueError:
        pass


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator, not the module, sets these figures")
# "end": every call fails at the end of a file; "none": never opened, "Port not streaming"
@pytest.mark.parametrize("source, method", [("long", "read"), ("long", "read_packet"), ("garbage", "read_packet"),
                                            ("end", "read"), ("end", "read_packet"), ("none", "read_packet")])
def test_memory_stays_flat(long_capture, garbage_capture, tmp_path, source, method):
    c = tiltwick.AHRSClient()
    if source in ("long", "garbage"):
        c.open_file(long_capture if source == "long" else garbage_capture)
    elif source == "end":
        (tmp_path / "one.bin").write_bytes(mw.frame(mw.SENSOR_SET, b""))
        c.open_file(str(tmp_path / "one.bin"))
    tracemalloc.start()
    try:
        with quiet():
            for _ in range(WARM_UP):
                step(c, method)
            marks = [usage()]
            for _ in range(2):
                for _ in range(WINDOW):
                    step(c, method)
                marks.append(usage())
    finally:
        tracemalloc.stop()
    # Growth per window, not absolute use: 16 bytes kept per call would add 48 kB to a window.
    for (py0, heap0, rss0), (py1, heap1, rss1) in zip(marks, marks[1:]):
        assert py1 - py0 < 8 * 1024, marks
        assert heap1 - heap0 < 16 * 1024, marks
        assert QEMU_USER or rss1 - rss0 < 64 * 1024, marks  # there it grows as qemu translates more code


def test_no_descriptor_leaks(long_capture, tmp_path, serial_line):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    try:
        before = open_fds()
        with quiet():
            for i in range(150):
                c = tiltwick.AHRSClient()
                c.open_file(long_capture)
                c.read()
                c.open_file(long_capture)  # replaces the file just opened
                with pytest.raises(ValueError):
                    c.open_file(str(tmp_path / "missing.bin"))
                with pytest.raises(ValueError):
                    c.open("/dev/tiltwick-no-such-device", 115200)
                if i % 10 == 0:  # the serial line too: replaced by a file, then dropped with the client
                    c.open(path, 115200)
                    c.open_file(long_capture)
                    c.open(path, 115200)
                del c
        gc.collect()
        assert open_fds() == before
    finally:
        os.close(master)


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
    # The resident size moves by whole allocator arenas, up or down once in a while with the
    # size of the last bursts taken; a leak raises it from every window to the next.
    resident = [mark[1] for mark in marks[1:]]
    growth = sorted(b - a for a, b in zip(resident, resident[1:]))
    assert growth[len(growth) // 2] < rss_slack, marks


CAPTURE_HZ = 1000


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    return make_capture(tmp_path_factory.mktemp("long") / "capture.bin", seconds=10, sensor_hz=CAPTURE_HZ,
                        filter_hz=CAPTURE_HZ)


@pytest.mark.long
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


IN_FLIGHT = 16 * 1024  # bytes written and not yet read: far less than a pty holds
TIME_OUT_MS = 99  # the reader's read time-out (100 ms), less a millisecond of rounding
# the reader's lines for a line that was merely quiet for a while, between packets
QUIET_LINE = ("IOERR: Operation timed out", 'Error parsing packet: AHRSError { error: "IOError: Custom { kind: TimedOut')


class Continuity:
    """Follows the sequence numbers of the packets taken, copy after copy of the capture. A
    gap is excused only where the reader went 100 ms without a packet just before it: a time-out
    that cut a packet (the kernel passes a pty's bytes on in a worker of its own, which a loaded
    machine can hold up mid-packet). Any other gap is a packet lost by the reader."""

    def __init__(self, per_stream):
        self.per_stream, self.next = per_stream, {"sensor": 0, "estimate": 0}
        self.data = self.excused = 0
        self.last_stamp, self.after_silence, self.unexcused = None, set(), []

    def add(self, stamp, packet):
        if self.last_stamp is not None and stamp - self.last_stamp >= TIME_OUT_MS:
            self.after_silence = set(self.next)  # each stream's next packet may follow a cut
        self.last_stamp = stamp
        if not packet:
            return
        stream, seq = seq_of(packet, CAPTURE_HZ)
        missed = (seq - self.next[stream]) % self.per_stream
        if missed and stream not in self.after_silence:
            self.unexcused.append((stream, self.next[stream], seq))
        self.after_silence.discard(stream)
        self.excused += missed
        self.next[stream] = (seq + 1) % self.per_stream
        self.data += 1


def feed_copies(master, capture_path, reader):
    """In a child process: writes copies of the capture to the pty as the parent asks, each
    write whole packets and never more than the pty takes at once, so that no packet is ever
    left half-written while this process waits or is held up: a slow feeder only delays the
    next whole packet, as a device does. `reader` is the (pid, tid) of the thread reading the
    line: what it has read says how much room is left."""
    with open(capture_path, "rb") as f:
        data = f.read()
    blocks, block, i = [], b"", 0
    while i < len(data):
        packet = data[i:i + 6 + data[i + 3]]
        if len(block) + len(packet) > 4096:
            blocks.append(block)
            block = b""
        block += packet
        i += len(packet)
    blocks.append(block)
    pid, tid = reader
    written, start = 0, bytes_read(tid, pid)
    while (copies := hear_from_parent()) is not None:
        for _ in range(copies):
            for block in blocks:
                while written + len(block) - (bytes_read(tid, pid) - start) > IN_FLIGHT:
                    time.sleep(0.0002)
                sent = os.write(master, block)
                assert sent == len(block), "the pty took part of a block"
                written += sent
        tell_parent(copies)


@contextlib.contextmanager
def descriptor_2_into(path):
    """What is written to descriptor 2 meanwhile goes to the file `path` (appended)."""
    log = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
    saved = os.dup(2)
    os.dup2(log, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(log)


@pytest.mark.long
def test_a_million_packets_taken(capture, serial_line, tmp_path):
    """A feeder process writes copies of the capture through a pty as fast as the reader keeps
    up, whole packets at a time; take() drains continuously. At the end of each step the feeder
    pauses after a whole copy, and every packet written so far must have been taken."""
    per_window = max(2, PACKETS // WINDOWS // capture.packets)  # copies of the capture
    base_fds, before = open_fds(), threads()
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    # a large queue, yet one that the warm-up window goes round (its slots are touched in turn)
    # verbose: the reader's diagnostic lines explain a failure
    client, reader = new_client(path, min(100000, per_window * capture.packets // 2), verbose=True, baud=BAUD)
    feeder = Child(feed_copies, master, capture.path, (os.getpid(), reader), fds=(master,))
    diagnostics = tmp_path / "reader.log"
    written, taken, empty = [0], [0], [0]
    continuity = Continuity(capture.sensor_packets)

    def take():
        entries = client.take()
        taken[0] += len(entries)
        empty[0] += sum(not packet for _, packet in entries)
        for stamp, packet in entries:
            continuity.add(stamp, packet)

    def step(count):
        with descriptor_2_into(diagnostics):
            feeder.send(count)
            while feeder.receive(0) is None:
                assert feeder.process.poll() is None, "the feeder ended"
                take()
                time.sleep(0.001)
            written[0] += count
            data = written[0] * (capture.sensor_packets + capture.filter_packets)
            deadline = time.monotonic() + 60
            while continuity.data + continuity.excused < data and time.monotonic() < deadline:
                take()
                time.sleep(0.001)
        said = "\n".join(line for line in diagnostics.read_text().splitlines() if not line.startswith(QUIET_LINE))
        # every packet, and nothing else decoded to nothing but the command replies; but for
        # packets cut by a reader's time-out, which it reports
        assert not continuity.unexcused, (continuity.unexcused[:10], said[:3000])
        assert continuity.data + continuity.excused == data, said[:3000]
        if continuity.excused == 0:
            assert (taken[0], empty[0]) == (data + written[0] * capture.reply_packets,
                                            written[0] * capture.reply_packets), said[:3000]
        else:
            assert "TimedOut" in said, said[:3000]

    try:
        # A burst of thousands of dicts can leave Python's allocator arenas partly used: after
        # other tests the floor has stepped up by 10 MiB once (alone, 3.4 million packets stay
        # within 1.5 MiB); the traced and native heap checks are the fine ones here.
        assert_flat(step, per_window, 1, rss_slack=16 * MIB)
    finally:
        with contextlib.suppress(OSError):
            feeder.send(None)
        feeder.result(60)
        del client
        os.close(master)
    assert taken[0] >= (WINDOWS + 1) * per_window * capture.packets
    assert wait_for(lambda: open_fds() <= base_fds and not threads() - before)


@pytest.mark.long
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


# Ctrl-C at random moments of packets() loops, while two threads use quiet() too: after each
# interrupted loop, with the threads paused, the descriptors, the redirect's use counts and the
# SIGINT handler are as they were. The program starts with SIGINT ignored, as one started in the
# background of a script does, and asks for Ctrl-C's usual handler as an interactive program would.
STRESS = """
import os, random, signal, sys, threading
from tiltwick_tools import packets, quiet, redirect

signal.signal(signal.SIGINT, signal.default_int_handler)
capture, loops, rng = sys.argv[1], int(sys.argv[2]), random.Random(int(sys.argv[3]))

def state():
    return ([os.fstat(fd)[1:3] for fd in (0, 1, 2)], sorted(os.listdir("/proc/self/fd")), dict(redirect._parked),
            list(redirect._null), redirect._PARKING.locked(), signal.getsignal(signal.SIGINT))

resume, done = threading.Event(), threading.Event()
class Worker(threading.Thread):
    busy = None
    def run(self):
        self.busy = threading.Lock()
        while not done.is_set():
            with self.busy:
                with quiet(1, 2):
                    pass
            resume.wait()
before, interrupted, wrong = state(), 0, None
resume.set()
workers = [Worker(daemon=True) for _ in range(2)]  # a failure of the loops ends the program
[w.start() for w in workers]
while any(w.busy is None for w in workers):
    pass
for loop in range(loops):
    timer = threading.Timer(rng.uniform(0, 0.01), os.kill, (os.getpid(), signal.SIGINT))
    try:
        timer.start()
        for _ in range(1000):
            for _ in packets(capture):
                with quiet(1, 2):
                    pass
        wrong = f"loop {loop}: no KeyboardInterrupt"
    except KeyboardInterrupt:
        interrupted += 1
    timer.join()
    resume.clear()
    [w.busy.acquire() for w in workers]
    if wrong is None and state() != before:
        wrong = f"loop {loop}: {state()} instead of {before}"
    [w.busy.release() for w in workers]
    resume.set()
    if wrong:
        break
done.set()
[w.join() for w in workers]
print(interrupted, wrong)
"""


@pytest.mark.long
def test_quiet_and_packets_under_ctrl_c(tmp_path):
    import sys
    from helpers import run
    make_capture(tmp_path / "cap.bin", seconds=0.2, sensor_hz=100, filter_hz=100)
    loops = 1000
    done = run([sys.executable, "-c", STRESS, tmp_path / "cap.bin", str(loops), "1"], timeout=600,
               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))  # as a background job starts
    assert (done.returncode, done.stdout) == (0, f"{loops} None\n"), done.stderr
