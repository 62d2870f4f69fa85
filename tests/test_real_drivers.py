"""The clients over real serial drivers: 16550 UARTs (the 8250 driver) wired as a null-modem
pair, an FTDI USB-serial adapter (ftdi_sio) wired to a UART, and a CDC-ACM port (cdc_acm, the
device's own kind of USB port) whose other end is a USB serial gadget on the dummy host
controller, in the guest that ci/serial-drivers boots under qemu-system. That guest names each
driver's line and device end in TILTWICK_REAL_DRIVERS ("8250=/dev/ttyS1,/dev/ttyS2 ..."), the
port on which the host unplugs and replugs the FTDI adapter in TILTWICK_CONTROL, and the gadget's
controller, whose soft_connect unplugs and replugs the CDC-ACM port, in TILTWICK_GADGET;
everywhere else these tests are skipped.

What the drivers accept and what the clients see is also written as rows of the results table
that the check prints (TILTWICK_REAL_DRIVERS_RESULTS, JSON lines); rates and CPU times there
are reported, never asserted."""

import contextlib
import fcntl
import functools
import glob
import json
import os
import re
import select
import signal
import struct
import termios
import threading
import time
import tty
import types

import pytest

import tiltwick
from tiltwick_tools import doctor
from helpers import (ACC, BROKEN_PIPE, BUSY, COMMANDS, TCGETS2, as_list, drain, drain_until, holders_of,
                     key_of, key_or_none, new_client, open_line, read_packet_outcome, released, stream_of,
                     unprivileged, wait_for)
from process_probe import thread_cpu_ns, threads

pytestmark = pytest.mark.real_drivers

DRIVERS = ("8250", "ftdi_sio", "cdc_acm")
USB_DRIVERS = ("ftdi_sio", "cdc_acm")
LINES = dict(entry.split("=", 1) for entry in os.environ.get("TILTWICK_REAL_DRIVERS", "").split())
RATES = [9600, 115200, 921600, 1000000, 1234567, 4000000]
SETTINGS = 'AHRSError: SerialPortError: Error { kind: Unknown, description: "Settings did not apply correctly" }'
# A rate each line takes (the 16550's 1.8432 MHz clock allows at most 115200).
STREAM_BAUD = {"8250": 115200, "ftdi_sio": 921600, "cdc_acm": 921600, "pty": 921600}
# Packets per stream: 2 sensor (94 bytes) + 1 filter (200 bytes), again and again; 388 KB, less
# than the 640 KiB a tty holds for a reader that falls behind, so none can overflow.
COUNT = 3000
TIMEOUT = 60.0
IOERR_BROKEN_PIPE = "IOERR: Broken pipe (os error 32)"


def record(**row):
    """One row of the results table."""
    path = os.environ.get("TILTWICK_REAL_DRIVERS_RESULTS")
    if path:
        with open(path, "a") as out:
            out.write(json.dumps(row) + "\n")


@functools.cache
def packets():
    return stream_of(COUNT)


def open_raw(path):
    """A descriptor on the line, raw, ignoring modem control lines; reads and writes block. The
    open itself does not (without CLOCAL it would wait for carrier), and raw mode applies at once:
    a replugged adapter starts with echo on, and waiting for output to drain (TCSAFLUSH) while
    echo turns a stream that keeps arriving into output would never end."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        tty.setraw(fd, termios.TCSANOW)
        attributes = termios.tcgetattr(fd)
        attributes[2] |= termios.CLOCAL | termios.CREAD
        termios.tcsetattr(fd, termios.TCSANOW, attributes)
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)  # left open in cooked mode, it would echo the whole stream back
        raise
    return fd


def settle(path, end):
    """Drops what an earlier test left in flight, both ways: a line keeps the bytes its peer sent
    while nobody had it open, and the next client would read them."""
    termios.tcflush(end, termios.TCIOFLUSH)
    with contextlib.suppress(OSError):  # an unplugged adapter has nothing in flight
        fd = open_raw(path)
        try:
            drain(fd, quiet=0.2)
        finally:
            os.close(fd)
    drain(end, quiet=0.2)


def line_speed(path):
    """(input, output) speed in force on the line, read through a descriptor of our own (root
    is not kept out by the client's exclusive claim)."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return struct.unpack_from("II", fcntl.ioctl(fd, TCGETS2, bytes(44)), 36)
    finally:
        os.close(fd)


@pytest.fixture
def line(request):
    """The line under test of one driver and its device end (open raw), or a pty pair."""
    if request.param == "pty":
        master, slave = os.openpty()
        tty.setraw(master)
        path = os.ttyname(slave)
        os.close(slave)
        yield types.SimpleNamespace(driver="pty", path=path, end=master)
        os.close(master)
        return
    path, end_path = LINES[request.param].split(",")
    os.chmod(path, 0o666)
    end = open_raw(end_path)
    settle(path, end)
    yield types.SimpleNamespace(driver=request.param, path=path, end=end)
    settle(path, end)
    os.close(end)


@contextlib.contextmanager
def device_playing(fd, data, chunk=65536, pause=0.0):
    """The device end writes `data` from a forked child, `chunk` bytes at a time with `pause`
    seconds after each, out of reach of this process's interpreter lock (which the synchronous
    client holds while it waits). Ends the child on leaving."""
    pid = os.fork()
    if pid == 0:
        try:
            view = memoryview(data)
            for start in range(0, len(view), chunk):
                part = view[start:start + chunk]
                while part:
                    part = part[os.write(fd, part):]
                time.sleep(pause)
        finally:
            os._exit(0)
    try:
        yield
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


# The USB device behind the CDC-ACM port, found while it is plugged in.
ACM_DEVICE = []


def plug(driver, request):
    """Unplugs ("unplug") or plugs in again ("replug") the USB port of a driver: the host takes the
    FTDI adapter off its bus; the CDC-ACM device is deauthorized and authorized again, which
    disconnects cdc_acm from it and probes it anew as an unplug and a replug do."""
    if driver == "ftdi_sio":
        return host(request)
    if not ACM_DEVICE:
        interface = os.path.realpath("/sys/class/tty/" + os.path.basename(LINES[driver].split(",")[0]) + "/device")
        ACM_DEVICE.append(os.path.dirname(interface))
    with open(os.path.join(ACM_DEVICE[0], "authorized"), "w") as control:
        control.write("0" if request == "unplug" else "1")


def host(request):
    """Asks the host to act on the emulated hardware ("unplug" or "replug" the adapter)."""
    fd = os.open(os.environ["TILTWICK_CONTROL"], os.O_RDWR)
    try:
        os.write(fd, request.encode() + b"\n")
        reply, deadline = b"", time.monotonic() + TIMEOUT
        while not reply.endswith(b"\n"):
            if not select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0]:
                raise AssertionError(f"the host did not answer {request!r}")
            reply += os.read(fd, 256)
    finally:
        os.close(fd)
    assert reply == b"ok\n", reply


def consecutive(keys):
    """The decoded packets from the first one on are the stream's packets from there on, in
    order, without a gap; gives the index of the first one in the stream (packets lost by
    joining), or None if nothing decoded."""
    decoded = [k for k in keys if k is not None]
    if not decoded:
        return None
    expected = [key_of(p) for p in packets()]
    start = expected.index(decoded[0])
    assert decoded == expected[start:start + len(decoded)]
    return start


# --- opening the line -----------------------------------------------------------------------

@pytest.mark.parametrize("baud", RATES)
@pytest.mark.parametrize("line", DRIVERS, indirect=True)
def test_open_at_rate(line, baud):
    """A rate is either refused, or in force once open returns: a driver that keeps another rate
    without failing the call must not pass for one that took it. Rates up to 115200 work on
    every driver here, so the settings read-back must not refuse them."""
    c = tiltwick.AHRSClient()
    try:
        c.open(line.path, baud)
        outcome, speed = "accepted", line_speed(line.path)
        c.start_stream()
        os.write(line.end, ACC)
        read = c.read_packet()
    except ValueError as e:
        outcome, speed, read = str(e), None, None
    finally:
        del c
    record(driver=line.driver, baud=baud, check="open",
           outcome=f"accepted, reads back {speed[0]}" if outcome == "accepted" else outcome)
    if outcome == "accepted":
        assert (speed, read) == ((baud, baud), as_list(ACC))
    else:
        assert baud > 115200 and outcome == SETTINGS
        assert unprivileged(open_line, line.path) == "opened"  # the failed open released the line


@pytest.mark.parametrize("line", DRIVERS, indirect=True)
def test_commands_and_exclusive_access(line):
    """configure() puts the three commands on the wire, byte for byte; a second open from an
    unprivileged process is refused while the client holds the line, which stays usable."""
    c = tiltwick.AHRSClient()
    try:
        c.open(line.path, 115200)
        second = unprivileged(open_line, line.path)
        c.configure()
        wire = drain(line.end)
        c.start_stream()
        os.write(line.end, ACC)
        after = c.read_packet()
    finally:
        del c
    record(driver=line.driver, baud=115200, check="configure()", outcome=f"{len(wire)} bytes on the wire")
    record(driver=line.driver, baud=115200, check="second open (unprivileged)", outcome=second)
    assert (wire, second, after) == (COMMANDS, "ValueError: " + BUSY, as_list(ACC))


# --- streaming --------------------------------------------------------------------------------

def buffered_entries(path, baud, until, started=None):
    """Entries that a buffered client on `path` takes until until(entries) holds; `started` runs
    once its reader has the line open. Gives the entries and the reader's CPU time in ns. The
    client is gone when this returns, whatever happens: a reader left behind by a failed test
    would take bytes from the next test on the same line."""
    held = holders_of(path)
    client, reader = new_client(path, COUNT + 100000, baud=baud)
    try:
        assert wait_for(lambda: holders_of(path) == held + 1)
        cpu = thread_cpu_ns(reader)
        with started() if started else contextlib.nullcontext():
            entries = drain_until(client, until, timeout=TIMEOUT)
        return entries, thread_cpu_ns(reader) - cpu
    finally:
        del client


@pytest.mark.parametrize("line", DRIVERS + ("pty",), indirect=True)
def test_stream_without_loss(line):
    """The device end writes a stream as fast as the line takes it: every packet arrives,
    decoded, in order, and no attempt fails. Reports the packets per second the line carried
    and the reader thread's CPU time per packet."""
    baud = STREAM_BAUD[line.driver]
    entries, cpu = buffered_entries(line.path, baud, lambda e: len(e) >= COUNT,
                                    started=lambda: device_playing(line.end, b"".join(packets())))
    keys = [key_or_none(p) for _, p in entries]
    decoded = sum(k is not None for k in keys)
    seconds = (entries[-1][0] - entries[0][0]) / 1000 if len(entries) > 1 else 0
    record(driver=line.driver, baud=baud, check=f"stream of {COUNT} packets, flat out",
           outcome="in order" if keys == [key_of(p) for p in packets()] else "damaged",
           packets_per_s=round(decoded / seconds) if seconds else None, lost=COUNT - decoded,
           cpu_us=round(cpu / 1000 / max(decoded, 1), 1))
    assert keys == [key_of(p) for p in packets()]


@pytest.mark.parametrize("line", DRIVERS, indirect=True)
def test_joining_a_stream(line):
    """The device streams before the client opens the line, so the client starts wherever the
    driver hands it the first byte, usually inside a packet: a few attempts fail, then every
    packet from the first decoded one on arrives, in order."""
    last = key_of(packets()[-1])
    with device_playing(line.end, b"".join(packets()), chunk=997, pause=0.001):
        time.sleep(0.2)  # the device has been streaming for a while
        entries, _ = buffered_entries(line.path, STREAM_BAUD[line.driver],
                                      lambda e: bool(e) and key_or_none(e[-1][1]) == last)
    keys = [key_or_none(p) for _, p in entries]
    failed = next((i for i, k in enumerate(keys) if k is not None), len(keys))
    start = consecutive(keys)
    record(driver=line.driver, baud=STREAM_BAUD[line.driver], check="joining a stream",
           outcome=f"{failed} failed attempts, then in order from packet {start}", lost=start)
    assert start is not None and keys[-1] == last


# --- hot-unplug of the USB adapter ----------------------------------------------------------------

def raw_outcomes(fd):
    """What a plain descriptor on the line meets: poll events, read and write results."""
    events = select.poll()
    events.register(fd, select.POLLIN)
    ready = dict(events.poll(0)).get(fd, 0)
    out = ["poll " + "|".join(n for n in ("POLLIN", "POLLERR", "POLLHUP", "POLLNVAL") if ready & getattr(select, n))]
    for what, call in (("read", lambda: os.read(fd, 64)), ("write", lambda: os.write(fd, b"\0"))):
        try:
            out.append(f"{what} {call()!r}")
        except OSError as e:
            out.append(f"{what} {os.strerror(e.errno)}")
    return ", ".join(out)


def opens(path):
    try:
        os.close(open_raw(path))
        return True
    except OSError:  # the node can appear a moment before the driver takes opens
        return False


def decoded_count(entries):
    return sum(key_or_none(p) is not None for _, p in entries)


@pytest.mark.parametrize("kind", ["sync", "buffered"])
@pytest.mark.parametrize("driver", USB_DRIVERS)
def test_hot_unplug(capfd, driver, kind):
    """The USB port is removed from the running guest while a client streams from it. The
    synchronous client's read() then gives {} with its diagnostic line and read_packet() raises;
    the buffered reader keeps running without flooding standard error, and deleting its client
    ends the thread and closes the dead descriptor. Plugged in again, the port comes back under
    its old name and streams to a new client."""
    path, end_path = LINES[driver].split(",")
    end = open_raw(end_path)
    settle(path, end)
    try:
        # at most about 100 packets a second: the stream lasts well past the replug
        with device_playing(end, b"".join(packets()), chunk=137, pause=0.01):
            seen, checks, expected = (unplugged_sync if kind == "sync" else unplugged_buffered)(path, driver, capfd)
            record(driver=driver, baud=921600, check=f"unplug, {kind} client", outcome=seen)
            plug(driver, "replug")
            came_back = wait_for(lambda: opens(path), TIMEOUT)
            nodes = sorted(glob.glob(re.sub(r"\d+$", "*", path)))
            assert came_back, f"{path} did not come back; there are {nodes}"
            restarted = hung_up(end)
            if not restarted:  # the UART behind the FTDI adapter streams on
                after = new_client_streams(path, kind)
        if restarted:  # the gadget's end hung up with its port: the device starts afresh
            os.close(end)
            end = open_raw(end_path)
            with device_playing(end, b"".join(packets()), chunk=137, pause=0.01):
                after = new_client_streams(path, kind)
    finally:
        if not os.path.exists(path):
            plug(driver, "replug")  # the next test needs the port
        termios.tcflush(end, termios.TCIOFLUSH)
        os.close(end)
    record(driver=driver, baud=921600, check=f"replug, new {kind} client",
           outcome=f"comes back as {', '.join(nodes)}; {after} packets in order")
    assert checks == expected, seen
    assert after >= 50


def hung_up(fd):
    events = select.poll()
    events.register(fd, select.POLLIN)
    return any(ready & select.POLLHUP for _, ready in events.poll(0))


def unplugged_sync(path, driver, capfd):
    """A synchronous client streaming when the adapter goes: (what it saw, checks, expected)."""
    c = tiltwick.AHRSClient()
    probe = None
    try:
        c.open(path, 921600)
        c.start_stream()
        deadline = time.monotonic() + TIMEOUT
        while c.read() == {} and time.monotonic() < deadline:
            pass  # until the stream is there
        probe = open_raw(path)
        unplug = threading.Thread(target=plug, args=(driver, "unplug"))
        unplug.start()
        reads, deadline = [], time.monotonic() + TIMEOUT
        while time.monotonic() < deadline and (unplug.is_alive() or not reads or reads[-1] != BROKEN_PIPE):
            reads.append(read_packet_outcome(c))  # packets, until the line hangs up
        unplug.join()
        capfd.readouterr()
        after = [c.read(), read_packet_outcome(c)]
        err = capfd.readouterr().err
        raw = raw_outcomes(probe)
    finally:
        del c
        if probe is not None:
            os.close(probe)
    failures = [r for r in reads if isinstance(r, str)]
    seen = (f"reads as the line went: {sorted(set(failures))}; then read() {after[0]} and read_packet() "
            f"raises, printing {err.splitlines()}; a plain descriptor: {raw}")
    return (seen, [reads[-1], after, err, wait_for(lambda: released(path))],
            [BROKEN_PIPE, [{}, BROKEN_PIPE], (IOERR_BROKEN_PIPE + "\n") * 2, True])


def unplugged_buffered(path, driver, capfd):
    """A buffered client streaming when the adapter goes: (what it saw, checks, expected)."""
    client, reader = new_client(path, 100000)
    try:
        entries = drain_until(client, lambda e: decoded_count(e) >= 20, TIMEOUT)
        plug(driver, "unplug")
        assert wait_for(lambda: not os.path.exists(path), TIMEOUT)
        entries += drain_until(client, lambda e: False, timeout=0.5)
        capfd.readouterr()
        window = time.monotonic()
        time.sleep(2.0)
        later = client.take()
        lines = capfd.readouterr().err.splitlines()
        window = time.monotonic() - window
        running = reader in threads()
    finally:
        del client
    ended = wait_for(lambda: reader not in threads() and released(path))
    seen = (f"take() {later}; standard error: {len(lines)} lines in {window:.1f} s, {sorted(set(lines))}; "
            f"reader running: {running}; ended, line released after deleting the client: {ended}")
    start = consecutive([key_or_none(p) for _, p in entries])
    # One line per attempt, and an attempt at most every 100 ms or so (20 lines in 2 s): a
    # reader that retries at once prints tens of thousands.
    return (seen, [later, sorted(set(lines)), len(lines) <= 50, running, ended, start is not None],
            [[], [IOERR_BROKEN_PIPE], True, True, True, True])


def new_client_streams(path, kind):
    """How many packets, in order, a new client of this kind decodes from the replugged adapter."""
    if kind == "buffered":
        entries, _ = buffered_entries(path, 921600, lambda e: decoded_count(e) >= 50)
        keys = [key_or_none(p) for _, p in entries]
    else:
        c = tiltwick.AHRSClient()
        try:
            c.open(path, 921600)
            c.start_stream()
            keys, deadline = [], time.monotonic() + TIMEOUT
            while sum(k is not None for k in keys) < 50 and time.monotonic() < deadline:
                packet = c.read()
                keys.append(key_or_none(packet) if packet else None)
        finally:
            del c
    consecutive(keys)
    return sum(k is not None for k in keys)


# --- what tiltwick-doctor lists --------------------------------------------------------------

# The driver sysfs names for each line, and the USB ids of the emulated devices: QEMU's FTDI
# adapter, and the serial gadget's defaults.
LISTED = {"8250": ("serial", None), "ftdi_sio": ("ftdi_sio", ("0403", "6001")), "cdc_acm": ("cdc_acm", ("0525", "a4a7"))}


@pytest.mark.parametrize("driver", DRIVERS)
def test_the_doctor_lists_each_port(driver):
    path = LINES[driver].split(",")[0]
    listed = {port.path: port for port in doctor.ports()}
    port = listed.get(path)
    record(driver=driver, check="tiltwick-doctor lists it",
           outcome="; ".join(port.describe()) if port else f"not listed (listed: {sorted(listed)})")
    assert port is not None
    name, ids = LISTED[driver]
    assert port.driver == name and (port.usb.get("idVendor"), port.usb.get("idProduct")) == (ids or (None, None))
