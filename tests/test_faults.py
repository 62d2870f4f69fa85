"""Faults on the serial line, played on the master side of a pty: the device unplugged, a storm
of signals, bytes trickling in one at a time, and wrong-baud garbage followed by a clean stream.
Every wait is bounded, and the suite's watchdog ends a run that hangs inside the module."""

import os
import random
import signal
import threading
import time

import pytest

from tiltwick_tools import mip_wire as mw
from wire_oracle import read_steps
import tiltwick
from child import Child, hear_from_parent, tell_parent
from helpers import (ACC, BROKEN_PIPE, EMULATED, GYRO, RATE, TIMED_OUT, TIMEOUT, as_list, as_map, bytes_read, device_in_child,
                     drain_until, hang_up, holders_of, imu_packets, key_of, key_or_none, new_client,
                     read_packet_outcome, released, seq_of, stream_of, streaming, wait_for)
from process_probe import quiet, thread_cpu_ns, threads
from tiltwick_tools import SimulatedDevice

pytestmark = pytest.mark.needs_termios2
BAUD = 921600


def by_stream(entries, rate):
    """The sequence numbers received, per stream."""
    seqs = {"sensor": [], "estimate": []}
    for _, packet in entries:
        kind, seq = seq_of(packet, rate)
        seqs[kind].append(seq)
    return seqs


# --- the device unplugged ----------------------------------------------------------------------

def unplugged_device(master, data, pid):
    """In a child process: the device sends `data`, waits until the test's thread has read every
    byte, then goes away (the test holds no master: closing this one hangs the line up)."""
    data = bytes.fromhex(data)
    os.write(master, data)
    tell_parent("sent")
    start = hear_from_parent()
    wait_for(lambda: bytes_read(pid, pid) - start == len(data), TIMEOUT)
    os.close(master)


@pytest.mark.parametrize("cut", ["mid-packet", "between packets"])
def test_unplugged_while_the_synchronous_client_waits(pty, capfd, cut):
    c = streaming(pty)
    data = ACC + GYRO + (GYRO[:9] if cut == "mid-packet" else b"")
    device = Child(unplugged_device, pty.master, data.hex(), os.getpid(), fds=[pty.master])
    hang_up(pty)  # the child holds the only master now
    try:
        assert device.receive() == "sent"
        # The count the child waits on starts after this thread's last read of its own (that line).
        device.send(bytes_read(threading.get_native_id()))
        assert [c.read_packet(), c.read()] == [as_list(ACC), as_map(GYRO)]
        # The next call waits for the rest (or the next packet) when the line goes. A child
        # that is descheduled for over 100 ms lets the wait time out first; that is allowed.
        first = next((o for o in (read_packet_outcome(c) for _ in range(50)) if o != TIMED_OUT), None)
    finally:
        device.result()
    assert [first, c.read(), read_packet_outcome(c), c.read(), read_packet_outcome(c)] == \
        [BROKEN_PIPE, {}, BROKEN_PIPE, {}, BROKEN_PIPE]
    err = capfd.readouterr().err
    assert err.endswith("IOERR: Broken pipe (os error 32)\n" * 4)
    if cut == "mid-packet":
        assert "kind: BrokenPipe" in err and "(While parsing field 'bytes' in MipPacket)" in err


def after_unplug(clients, entries, until, reader, path, capfd):
    """Checks shared by the unplug tests of the buffered client: the client keeps answering; its
    reader, which retries once per read time-out, writes at most ten lines a second and uses
    next to no CPU (measured over a second: under 2 %, 20 % under emulation, where a loop that
    never waited would still take all of it); deleting the client ends the thread and releases
    the line. The client comes in a list that holds the only reference to it: an argument of
    its own would stay referenced by the caller's frame until this returns (CPython 3.10)."""
    client = clients.pop()
    entries += drain_until(client, until[0], timeout=until[1])
    capfd.readouterr()
    cpu, began = thread_cpu_ns(reader), time.monotonic()
    time.sleep(1.0)
    lines, cpu, window = capfd.readouterr().err.count("\n"), thread_cpu_ns(reader) - cpu, time.monotonic() - began
    share = 0.2 if EMULATED else 0.02
    assert lines <= 10 * window + 2 and cpu < share * 1e9 * window, (lines, cpu, window)
    later = [client.take() for _ in range(3)]
    running = reader in threads()
    del client
    ended = wait_for(lambda: reader not in threads() and released(path))
    return entries, later, running, ended


@pytest.mark.parametrize("cut", ["mid-packet", "between packets"])
def test_unplugged_buffered_client_delivers_what_it_had(pty, capfd, cut):
    packets = stream_of(30)
    data = b"".join(packets) + (GYRO[:9] if cut == "mid-packet" else b"")
    os.close(pty.slave)
    pty.slave = None
    client, reader = new_client(pty.path, 100)
    clients = [client]  # after_unplug drops it
    del client
    os.write(pty.master, data)
    assert wait_for(lambda: bytes_read(reader) == len(data))  # the reader is waiting for more ...
    hang_up(pty)  # ... every complete packet is decoded and queued, nothing is taken yet
    entries, later, running, ended = after_unplug(clients, [], (lambda e: len(e) >= len(packets), TIMEOUT),
                                                  reader, pty.path, capfd)
    assert [seq_of(p, RATE) for _, p in entries] == [key_of(p) for p in packets]
    assert (later, running, ended) == ([[], [], []], True, True)


@pytest.mark.needs_native_speed  # streams from the simulator at 500-1000 Hz
def test_unplugged_while_streaming(capfd):
    with SimulatedDevice(1000, streaming=False) as sim:
        client, reader = new_client(sim.path, 10000)
        clients = [client]
        del client
        assert wait_for(lambda: holders_of(sim.path) == 1)
        sim.start_streams()
        entries = drain_until(clients[0], lambda e: len(e) >= 400)
        sim.hangup()  # the device thread ends with it
        entries, later, running, ended = after_unplug(clients, entries, (lambda e: False, 0.5), reader,
                                                       sim.path, capfd)
    # What was still in the line is gone with it; what came before arrives whole and in order.
    assert len(entries) >= 400
    assert all(got == list(range(len(got))) for got in by_stream(entries, 1000).values())
    assert (later, running, ended) == ([[], [], []], True, True)


# --- signals -------------------------------------------------------------------------------------


@pytest.mark.needs_native_speed
def test_signal_storm_on_the_reader_thread_loses_nothing(capfd):
    calls = []
    old = signal.signal(signal.SIGALRM, lambda *a: calls.append(1))
    try:
        with device_in_child(500) as device:
            client = tiltwick.BufferedAHRSClient(device.path, BAUD, 100000, False)
            assert wait_for(lambda: holders_of(device.path) == 1)
            # A process-directed signal goes to a thread that does not block it. With the main
            # thread blocking SIGALRM the reader thread takes them all, inside its waits and reads.
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
            try:
                device.call("start_streams")
                signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
                entries = drain_until(client, lambda e: False, timeout=2.0)
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})
            err = capfd.readouterr().err  # while the device was still streaming
            device.call("stop_streams")
            assert wait_for(lambda: device.call("backlog_bytes") == 0)  # the last packets have left it
            sent = device.call("sent_sensor") + device.call("sent_filter")
            times = sorted(device.call("send_times"))
            entries += drain_until(client, lambda e: len(entries) + len(e) >= sent)
            del client
    finally:
        signal.signal(signal.SIGALRM, old)
    assert len(calls) > 100, "the signals did not arrive"
    assert len(entries) == sent >= 1000
    assert all(got == list(range(len(got))) for got in by_stream(entries, 500).values())
    # A time-out is a failure here unless the device really went quiet for about 100 ms.
    longest_silence = max(b - a for a, b in zip(times, times[1:])) / 1e9
    assert "Operation timed out" not in err or longest_silence > 0.08, err[:2000]


# --- bytes trickling in ----------------------------------------------------------------------------

TRICKLE = [mw.frame(mw.SENSOR_SET, mw.encode_reading("ScaledAccVector", 1.5, -2.0, 0.25)),
           mw.frame(mw.FILTER_SET, mw.encode_reading("FilterStatus", 2, 1, 0)),
           mw.frame(mw.FILTER_SET, mw.encode_reading("GPSTimestamp", 5.25, 2300, "Valid"))]


def trickle(fd, data, seed):
    """In a child process: writes the bytes of `data` (hex) one at a time, 10 to 50 ms apart;
    returns the longest gap there really was."""
    tell_parent("ready")
    rng, longest, last = random.Random(seed), 0.0, time.monotonic()
    for byte in bytes.fromhex(data):
        time.sleep(rng.uniform(0.010, 0.050))
        now = time.monotonic()
        os.write(fd, bytes([byte]))
        longest, last = max(longest, now - last), now
    return longest


@pytest.mark.needs_native_speed
@pytest.mark.parametrize("method", ["read", "read_packet", "take"])
def test_bytes_trickling_in_make_whole_packets(pty, method):
    expected = [as_map(p) if method != "read_packet" else as_list(p) for p in TRICKLE]
    if method == "take":
        client = tiltwick.BufferedAHRSClient(pty.path, BAUD, 100, False)
        assert wait_for(lambda: holders_of(pty.path) == 2)
    else:
        client = streaming(pty)
    device = Child(trickle, pty.master, b"".join(TRICKLE).hex(), len(method), fds=[pty.master])
    assert device.receive() == "ready"
    got, deadline = [], time.monotonic() + TIMEOUT
    while len(got) < len(expected) and time.monotonic() < deadline:
        if method == "take":
            got += [p for _, p in client.take()]  # a failed attempt would show as an empty dict
            time.sleep(0.01)
        else:  # time-outs while waiting for the first byte are fine; a lost packet is not
            outcome = getattr(client, method)()
            got += [outcome] if outcome not in ({}, TIMED_OUT) else []
    longest_gap = device.result()
    if got != expected and longest_gap is not None and longest_gap > 0.09:
        pytest.skip(f"the writer stalled for {longest_gap * 1000:.0f} ms, close to the read time-out")
    assert got == expected


# --- joining a device that already streams ------------------------------------------------------

@pytest.mark.parametrize("phase", [1, 2, 3, 25, 47])
def test_joining_a_stream_mid_packet(pty, phase):
    """The line delivers a stream of 48-byte packets from `phase` bytes into the first: the
    reader finds every packet the model finds, which is every complete one."""
    data = b"".join(imu_packets(100))[phase:]
    found = [as_map(data[s.begin:s.end]) for s in read_steps(data) if s.kind == "packet"]
    assert len(found) == 99
    client, _ = new_client(pty.path, 1000)
    assert wait_for(lambda: holders_of(pty.path) == 2)
    os.write(pty.master, data)
    entries = drain_until(client, lambda e: sum(bool(p) for _, p in e) >= len(found))
    assert [p for _, p in entries if p] == found


# --- wrong-baud garbage, then a clean stream -----------------------------------------------------

GARBAGE_SECONDS = float(os.environ.get("TILTWICK_GARBAGE_SECONDS", "5"))
# Longer than anything a bogus header can still claim: length byte, 255 payload bytes, two
# checksum bytes and the skip after them.
PADDING = b"\x00" * 300


def garbage_source(kind, rng):
    """Chunks of about n bytes: seeded random bytes, or packets of a far-off sequence range with
    one bit flipped in each (a single flipped bit always fails the checksum; two in one packet
    can cancel out, so there is never more than one)."""
    if kind == "random":
        return rng.randbytes

    def flipped(n):
        out = []
        for packet in stream_of(n // 129 + 1, first=rng.randrange(10**6, 10**7)):
            bits = int.from_bytes(packet, "big") ^ (1 << rng.randrange(8 * len(packet)))
            out.append(bits.to_bytes(len(packet), "big"))
        return b"".join(out)
    return flipped


@pytest.mark.parametrize("kind", ["random", "bit flips"])
def test_garbage_then_clean_stream(pty, kind):
    """After the garbage, a run of zero bytes that no bogus packet header can reach past leaves
    the reader searching through zeros, whatever the byte it had reached. Every byte after a
    failed attempt is a candidate packet start, so it finds the first packet after the zeros and
    from then on stays on packet boundaries: the model delivers every clean packet, from any
    phase, and so must the reader."""
    rng = random.Random(f"garbage {kind}")
    clean = stream_of(200)
    tail = PADDING + b"".join(clean)
    predictions = [[key_of(tail[s.begin:s.end]) for s in read_steps(tail, start=phase) if s.kind == "packet"]
                   for phase in range(3)]
    assert predictions == [[key_of(p) for p in clean]] * 3  # the model itself: nothing is lost
    client, reader = new_client(pty.path, 100000)
    assert wait_for(lambda: holders_of(pty.path) == 2)
    source = garbage_source(kind, rng)

    def device():  # about what a line at the wrong speed delivers: 920 bytes every 10 ms
        end = time.monotonic() + GARBAGE_SECONDS
        while time.monotonic() < end:
            os.write(pty.master, source(920))
            time.sleep(0.01)
        os.write(pty.master, tail)

    writer = threading.Thread(target=device)
    entries = []
    with quiet():  # one diagnostic line per failed attempt: tens of thousands a second
        writer.start()
        while writer.is_alive():
            entries += client.take()
            time.sleep(0.01)
        writer.join()
        # Every prediction ends with the last packet, which nothing follows.
        entries += drain_until(client, lambda e: bool(e) and key_or_none(e[-1][1]) == key_of(clean[-1]))
        running = reader in threads()
        del client
    keys = {key_of(p) for p in clean}  # a garbled length byte could yet pass the checksum: ignored
    got = [k for k in (key_or_none(p) for _, p in entries) if k in keys]
    assert running
    assert sum(not p for _, p in entries) > 100 * GARBAGE_SECONDS  # failed attempts: the garbage got through
    assert got == predictions[0], (got[:5], predictions[0][:5])
