"""A simulated device on a pseudo-terminal.

``SimulatedDevice`` holds the master side of a pty pair and plays the device: a background
thread streams sensor (0x80) and estimation-filter (0x82) packets at their rates, answers the
commands written to the other side, and can be told to misbehave. A program that opens
``path`` as a serial line talks to it as it would to the device::

    with SimulatedDevice(rate_hz=100) as dev:
        client = tiltwick.BufferedAHRSClient(dev.path, 921600, 1000, False)
        ...

Packets
    Contents come from ``motion.Motion(seed)``. Packet ``seq`` of a stream at ``rate`` Hz
    carries seq in its GPS time fields (time of week = seq / rate; see
    ``motion.sequence_number``), so a receiver can spot gaps, and ``send_times`` holds the
    wall-clock time (ns) at which each packet went out, under (descriptor set, seq): for the
    last ``record_times`` packets (default 20000, about 3 MB), for every packet with True,
    for none with False.

Rates
    Each stream runs at 0 (off) up to ``rates.MAX_PACKETS_PER_S`` packets per second, both
    together within that ceiling too: the rate up to which the device thread, making every
    packet in Python, keeps what it promises. Other rates are refused with a ValueError.

Timing
    Each stream runs on absolute deadlines (stream start + k / rate on the monotonic clock), so
    rates do not drift; a late wake-up sends every packet due at once rather than falling
    behind. A send time is taken just before the write that hands the packet's last byte to
    the pty, so a receive time minus a send time is never negative.

Commands
    Idle is a mode, as on a device: set to idle (01/02) stops all output, whatever the streams
    are set to, and resume (01/06) returns to streaming with whichever streams are enabled.
    Data stream control (0C/11, function 1) with stream 1 or 3 enables or disables the sensor
    or filter stream; in idle that takes effect at the next resume. With ``replies="ack"``
    each command field is obeyed and answered with an ack field 04 F1 <command> 00 in a
    packet of the same descriptor set (more than 63 fields: as many packets as their acks
    fill); unsupported commands get a nack (error code 01) and
    change nothing. ``replies="nack"`` refuses every command with a nack; ``replies="silent"``
    obeys without answering. Commands that a client writes and then closes the line on are
    still received and obeyed. ``start_streams()`` enables streams and resumes, sequence
    numbers continuing; ``stop_streams()`` disables them.

Back-pressure
    Linux buffers about 20 KiB between the two sides of a pty. When that is full (nobody
    reading, or a slow reader) packets wait in a backlog and go out in order once the reader
    catches up, so a stalled reader loses nothing. The backlog holds at most ``max_backlog``
    bytes; while it is full, new data packets are dropped whole (sequence numbers still
    advance, so the gap shows) and counted in ``overflow_sensor`` and ``overflow_filter``.

While nobody has the line open
    What a device sends into a closed port is gone, but for what the port's buffers hold. The
    simulator keeps only the last ``line_buffer`` bytes (default 4096) of what it sent while
    no client had the line open, usually ending in the middle of a packet, so a client that
    opens the line late reads at most that much stale data before the packets sent since it
    opened, and joins the stream mid-packet as it would on hardware. Packets lost this way
    are counted in ``lost_sensor`` and ``lost_filter``. A device streams from power-up unless
    it was made with ``streaming=False`` (idle until resumed).

What it does not model
    Baud rates (any rate works and bytes move at the pty's speed), line noise other than the
    faults below, the device's other commands and settings (it answers ping, idle, resume and
    data stream control only), message-format settings (its packets carry fixed fields), and
    USB or UART behaviour such as a driver's latency or an unplug's timing.

The other side
    By default the device keeps no descriptor of the pty's other side open, so that side
    behaves like a serial device nobody has open: exclusive access that a client claims ends
    when the client closes it, and while no client has it open the device keeps generating
    (into the backlog) and looks for a client every few milliseconds. ``keep_slave_open=True``
    keeps one open: no hang-up state ever, but a client's exclusive claim then outlives the
    client. A pty's claim outlives its holder too (the slave side stays while the device
    holds the master), so when the last client goes, even killed, the device opens the line
    itself and clears the claim, as a real port's ends with its last close. That reopening
    takes root's right to open a claimed line: run unprivileged, the device cannot clear a
    dead client's claim.

When it fails
    Should the device thread end on an error, ``error`` holds it, and ``close()`` and the
    control methods raise RuntimeError naming it.

Faults
    ``inject(data)`` sends raw bytes between packets; ``drop_every=N`` removes one byte from
    the middle of every N-th data packet; ``hangup()`` closes the line, as an unplugged device
    does.

Command line: ``tiltwick-sim --help``.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import errno
import fcntl
import math
import os
import random
import select
import signal
import sys
import termios
import threading
import time
import tty
from collections.abc import Callable
from types import TracebackType
from typing import Literal, TypeVar

from . import mip_wire as mw
from .capture import make_capture
from .cli import command_parser, non_negative, run, seconds_option, whole
from .files import CommandError, shown
from .motion import Motion
from .rates import MAX_PACKETS_PER_S, check_rates, checked_rate, checked_seconds

__all__ = ["SimulatedDevice", "SENSOR", "FILTER", "main"]

SENSOR = mw.SENSOR_SET
FILTER = mw.FILTER_SET

Replies = Literal["ack", "nack", "silent"]
REPLIES: tuple[Replies, ...] = ("ack", "nack", "silent")
T = TypeVar("T")
Key = tuple[int, int]  # (descriptor set, sequence number) of a data packet

_WRITE_CHUNK = 64 * 1024
# packets made per turn of the device loop: a late or overloaded loop still writes, reads
# commands and hears close() between turns
_BATCH = 64
_SEND_TIMES_KEPT = 20000
_ACKS_PER_PACKET = mw.MAX_PAYLOAD // 4
_MAX_GARBAGE = 1 << 20
_MAX_LINE_BUFFER = 16 * 1024 * 1024
_WATCH_S = 0.25
_TIOCNXCL = getattr(termios, "TIOCNXCL", 0x540D)
_HUP_RECHECK_S = 0.005
_REQUEST_TIMEOUT_S = 5.0


def _close(*fds: int | None) -> None:
    for fd in fds:
        if fd is not None:
            try:
                os.close(fd)
            except OSError:
                pass


class _Stream:
    __slots__ = ("dset", "rate", "enabled", "active", "seq", "seq0", "t0", "next_time")

    def __init__(self, dset: int, rate: float) -> None:
        self.dset = dset
        self.rate = float(rate)
        self.enabled = True    # the stream's own setting (data stream control)
        self.active = False    # generating: enabled, and the device not idle
        self.seq = 0
        self.seq0 = 0
        self.t0 = 0.0
        self.next_time = float("inf")

    def start(self, now: float) -> None:
        if self.active or self.rate <= 0:
            return
        self.active = True
        self.seq0 = self.seq
        self.t0 = now
        self.next_time = now

    def stop(self) -> None:
        self.active = False
        self.next_time = float("inf")

    def advance(self) -> int:
        seq = self.seq
        self.seq += 1
        self.next_time = self.t0 + (self.seq - self.seq0) / self.rate
        return seq


class SimulatedDevice:
    """The device on a pty; see the module documentation.

    ``rate_hz`` sets both streams; ``sensor_hz`` and ``filter_hz`` set one each (0 leaves a
    stream off). Use it as a context manager or call ``close()``: its thread holds a
    reference to it, so dropping your own does not stop it.
    """

    def __init__(self, rate_hz: float = 100.0, *, sensor_hz: float | None = None,
                 filter_hz: float | None = None, seed: int = 1, deltas: bool = False,
                 streaming: bool = True, replies: Replies = "ack", drop_every: int = 0,
                 keep_slave_open: bool = False, max_backlog: int = 16 * 1024 * 1024,
                 record_times: bool | int = _SEND_TIMES_KEPT, line_buffer: int = 4096) -> None:
        sensor_hz = checked_rate("rate_hz" if sensor_hz is None else "sensor_hz",
                                 rate_hz if sensor_hz is None else sensor_hz)
        filter_hz = checked_rate("rate_hz" if filter_hz is None else "filter_hz",
                                 rate_hz if filter_hz is None else filter_hz)
        check_rates(sensor_hz, filter_hz)
        if record_times is not True and record_times < 0:
            raise ValueError("record_times must be True (all), False (none) or how many to keep")
        if replies not in REPLIES:
            raise ValueError(f"replies must be one of {', '.join(REPLIES)}, not {replies!r}")
        if drop_every < 0:
            raise ValueError("drop_every must be 0 (never) or positive")
        if line_buffer < 0:
            raise ValueError("line_buffer must be 0 or more bytes")
        self._motion = Motion(seed)
        self._deltas = deltas
        self._streams = {SENSOR: _Stream(SENSOR, sensor_hz), FILTER: _Stream(FILTER, filter_hz)}
        self._idle = not streaming
        self.line_buffer = line_buffer
        self._replies = replies
        self._drop_every = drop_every
        self._data_packets = 0
        self.max_backlog = max_backlog
        self.record_times = record_times
        self._times_kept = None if record_times is True else int(record_times)

        master, slave = os.openpty()
        try:
            # Raw mode for the pair (attributes set through the master apply to the other
            # side): bytes pass unchanged, nothing is echoed back.
            tty.setraw(master)
            fcntl.fcntl(master, fcntl.F_SETFL, fcntl.fcntl(master, fcntl.F_GETFL) | os.O_NONBLOCK)
            self.path: str = os.ttyname(slave)
        except BaseException:
            os.close(master)
            os.close(slave)
            raise
        self._master: int | None = master
        self._slave: int | None = slave
        if not keep_slave_open:
            os.close(slave)
            self._slave = None
        self._wake_r: int | None
        self._wake_w: int | None
        self._wake_r, self._wake_w = os.pipe()
        for fd in (self._wake_r, self._wake_w):
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)

        self._lock = threading.Lock()
        self._requests: collections.deque[Callable[[], None]] = collections.deque()
        self._thread: threading.Thread | None = None
        self._exit = False

        # outgoing queue of [bytes, key or None]; _head is how much of the first item is written
        self._backlog: collections.deque[tuple[bytes, Key | None]] = collections.deque()
        self._head = 0
        self._backlog_bytes = 0
        self._parser = mw.FrameParser()

        # counters and records
        self.sent_sensor = 0
        self.sent_filter = 0
        self.overflow_sensor = 0
        self.overflow_filter = 0
        self.lost_sensor = 0          # data packets lost, whole or in part, while no client had the line open
        self.lost_filter = 0
        self.dropped_bytes = 0
        self.commands_received = 0
        self.send_times: collections.OrderedDict[Key, int] = collections.OrderedDict()
        self.hung_up = False
        self.error: BaseException | None = None
        self._error_told = False

    # ------------------------------------------------------------------
    # lifecycle

    def start(self) -> SimulatedDevice:
        """Start the device thread (idempotent)."""
        if self._thread is None:
            if self._master is None:
                raise RuntimeError("the device is closed")
            self._apply_mode(time.monotonic())
            self._thread = threading.Thread(target=self._run, name="simulated-device", daemon=True)
            self._thread.start()
        return self

    def close(self) -> None:
        """Stop the thread and release the pty (idempotent). Raises RuntimeError, once, if
        the device thread had ended on an error."""
        t = self._thread
        if t is not None and t.is_alive():
            self._exit = True
            self._wake()
            t.join(_REQUEST_TIMEOUT_S)
        self._close_fds()
        _close(self._wake_r, self._wake_w)
        self._wake_r = self._wake_w = None
        if self.error is not None and not self._error_told:
            self._error_told = True
            self._raise_failure()

    @property
    def failure(self) -> str | None:
        """Why the device thread ended, as one line; None while it runs or after a normal end."""
        e = self.error
        return None if e is None else f"{type(e).__name__}: {e}"

    def _raise_failure(self) -> None:
        raise RuntimeError(f"the simulated device stopped: {self.failure}") from self.error

    def __enter__(self) -> SimulatedDevice:
        return self.start()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    # ------------------------------------------------------------------
    # control (any thread)

    def start_streams(self, sensor: bool = True, filter: bool = True) -> None:
        """Enable the chosen streams and resume from idle; sequence numbers continue."""
        def op() -> None:
            self._streams[SENSOR].enabled |= sensor
            self._streams[FILTER].enabled |= filter
            self._idle = False
            self._apply_mode(time.monotonic())
        self._call(op)

    def stop_streams(self, sensor: bool = True, filter: bool = True) -> None:
        """Disable the chosen streams (packets already queued still go out)."""
        def op() -> None:
            self._streams[SENSOR].enabled &= not sensor
            self._streams[FILTER].enabled &= not filter
            self._apply_mode(time.monotonic())
        self._call(op)

    @property
    def idle(self) -> bool:
        """Whether the device is in idle (sends nothing until resumed)."""
        return self._idle

    def inject(self, data: bytes) -> None:
        """Send raw bytes between packets, unaltered."""
        data = bytes(data)

        def op() -> None:
            if data:
                self._append(data, None)
        self._call(op)

    def hangup(self) -> None:
        """Close the line: the client sees the device go away."""
        t = self._thread
        if t is not None and t.is_alive() and threading.current_thread() is not t:
            self._call(self._hangup_in_thread)
            t.join(_REQUEST_TIMEOUT_S)
        else:
            self._hangup_in_thread()

    def wait_until(self, predicate: Callable[[SimulatedDevice], bool], timeout: float = 5.0,
                   interval: float = 0.002) -> bool:
        """Poll ``predicate(self)`` until true or ``timeout`` seconds pass."""
        deadline = time.monotonic() + timeout
        while True:
            if predicate(self):
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(interval)

    # ------------------------------------------------------------------
    # inspection

    @property
    def next_seq(self) -> dict[int, int]:
        """Sequence number each stream will use next."""
        return {k: s.seq for k, s in self._streams.items()}

    @property
    def backlog_bytes(self) -> int:
        return self._backlog_bytes

    # ------------------------------------------------------------------
    # internals

    def _wake(self) -> None:
        try:
            if self._wake_w is not None:
                os.write(self._wake_w, b"!")
        except OSError:
            pass

    def _call(self, op: Callable[[], T]) -> T:
        """Run ``op`` on the device thread (synchronously), or right here if that thread is
        not running."""
        t = self._thread
        if self.error is not None:
            self._raise_failure()
        if t is None or not t.is_alive() or threading.current_thread() is t:
            with self._lock:
                return op()
        done = threading.Event()
        result: list[T] = []
        failure: list[BaseException] = []

        def wrapped() -> None:
            try:
                result.append(op())
            except BaseException as e:   # handed back to the caller
                failure.append(e)
            finally:
                done.set()
        with self._lock:
            self._requests.append(wrapped)
        self._wake()
        while not done.wait(0.05):
            if not t.is_alive():
                # the thread ended before taking the request
                with self._lock:
                    if wrapped in self._requests:
                        self._requests.remove(wrapped)
                        return op()
                done.wait(_REQUEST_TIMEOUT_S)
                break
        if failure:
            raise failure[0]
        return result[0]

    def _append(self, data: bytes, key: Key | None) -> None:
        self._backlog.append((data, key))
        self._backlog_bytes += len(data)

    def _damage(self, pkt: bytes) -> bytes:
        if not self._drop_every:
            return pkt
        self._data_packets += 1
        if self._data_packets % self._drop_every:
            return pkt
        middle = len(pkt) // 2
        self.dropped_bytes += 1
        return pkt[:middle] + pkt[middle + 1:]

    def _enqueue_packet(self, pkt: bytes, key: Key | None) -> None:
        if key is not None:
            if self._backlog_bytes + len(pkt) > self.max_backlog:
                if key[0] == SENSOR:
                    self.overflow_sensor += 1
                else:
                    self.overflow_filter += 1
                return
            pkt = self._damage(pkt)
        self._append(pkt, key)

    def _completed(self, key: Key, now_ns: int) -> None:
        if key[0] == SENSOR:
            self.sent_sensor += 1
        else:
            self.sent_filter += 1
        kept = self._times_kept
        if kept != 0:
            self.send_times[key] = now_ns
            if kept is not None and len(self.send_times) > kept:
                self.send_times.popitem(last=False)

    def _generate(self, now: float) -> None:
        s, f = self._streams[SENSOR], self._streams[FILTER]
        m = self._motion
        for _ in range(_BATCH):
            # the stream whose next packet is due first; sensor wins ties
            st = s if s.next_time <= f.next_time else f
            if st.next_time > now:
                return
            seq = st.advance()
            if st is s:
                pkt = m.sensor_packet(seq, st.rate, deltas=self._deltas)
            else:
                pkt = m.filter_packet(seq, st.rate)
            self._enqueue_packet(pkt, (st.dset, seq))

    def _flush(self) -> None:
        bl = self._backlog
        assert self._master is not None
        while bl:
            parts = [bl[0][0][self._head:] if self._head else bl[0][0]]
            size = len(parts[0])
            i = 1
            while i < len(bl) and size < _WRITE_CHUNK:
                parts.append(bl[i][0])
                size += len(bl[i][0])
                i += 1
            data = parts[0] if len(parts) == 1 else b"".join(parts)
            # taken before the write, so a reader can never see a packet "before" it was sent
            now_ns = time.time_ns()
            try:
                n = os.write(self._master, data)
            except BlockingIOError:
                return
            except OSError as e:
                if e.errno == errno.EIO:
                    return
                raise
            self._backlog_bytes -= n
            left = n
            while left and bl:
                item, key = bl[0]
                rest = len(item) - self._head
                if left >= rest:
                    left -= rest
                    self._head = 0
                    bl.popleft()
                    if key is not None:
                        self._completed(key, now_ns)
                else:
                    self._head += left
                    left = 0
            if n < len(data):
                return

    def _read_commands(self) -> None:
        assert self._master is not None
        while True:
            try:
                data = os.read(self._master, 4096)
            except BlockingIOError:
                return
            except OSError as e:
                if e.errno == errno.EIO:     # nobody has the line open
                    return
                raise
            if not data:
                return
            for fr in self._parser.feed(data):
                self._handle_command(fr)

    def _obey(self, descriptor_set: int, fd: int, data: bytes) -> bool:
        """Carries out one command field; False if it is not one the device knows."""
        if descriptor_set == mw.BASE_COMMAND_SET and fd in (mw.SET_TO_IDLE, mw.RESUME):
            self._idle = fd == mw.SET_TO_IDLE
            self._apply_mode(time.monotonic())
            return True
        if descriptor_set == mw.BASE_COMMAND_SET and fd == mw.PING:
            return True
        if (descriptor_set == mw.SETTINGS_COMMAND_SET and fd == mw.STREAM_CONTROL and len(data) >= 3
                and data[0] == mw.FUNCTION_APPLY):
            targets = {mw.STREAM_SELECTOR_SENSOR: (SENSOR,),
                       mw.STREAM_SELECTOR_FILTER: (FILTER,),
                       mw.STREAM_SELECTOR_GNSS: ()}.get(data[1])
            if targets is None:
                return False
            for k in targets:
                self._streams[k].enabled = bool(data[2])
            self._apply_mode(time.monotonic())
            return True
        return False

    def _apply_mode(self, now: float) -> None:
        """Streams generate while they are enabled and the device is not idle."""
        for stream in self._streams.values():
            if stream.enabled and not self._idle:
                stream.start(now)
            else:
                stream.stop()

    def _lose_while_closed(self) -> None:
        """Nobody has the line open: of what waits to go out, keep the last ``line_buffer``
        bytes, as a port's buffers would; a packet cut at the front is no longer whole."""
        excess = self._backlog_bytes - self.line_buffer
        while excess > 0 and self._backlog:
            data, key = self._backlog[0]
            rest = len(data) - self._head
            if key is not None:
                if key[0] == SENSOR:
                    self.lost_sensor += 1
                else:
                    self.lost_filter += 1
            if rest <= excess:
                self._backlog.popleft()
                self._head = 0
                self._backlog_bytes -= rest
                excess -= rest
            else:
                self._backlog[0] = (data, None)  # what is left of it goes out, but not as a packet
                self._head += excess
                self._backlog_bytes -= excess
                excess = 0

    def _handle_command(self, fr: mw.Frame) -> None:
        self.commands_received += 1
        results = []
        for fd, data in mw.parse_fields(fr.payload):
            if fd is None:
                continue
            obeyed = self._replies != "nack" and self._obey(fr.descriptor_set, fd, data)
            results.append((fd, mw.ACK_OK if obeyed else mw.NACK_REFUSED))
        if self._replies != "silent":
            # a packet holds 63 acks at most; a longer command is answered in several
            for i in range(0, len(results), _ACKS_PER_PACKET):
                self._enqueue_packet(mw.ack_reply(fr.descriptor_set, results[i:i + _ACKS_PER_PACKET]), None)

    def _hangup_in_thread(self) -> None:
        self._exit = True
        self.hung_up = True
        self._close_fds()

    def _release_claim(self) -> None:
        """The last client has gone: end its exclusive claim, which a pty keeps for as long as
        the device holds the master. Opening a claimed line takes root's right; without it the
        claim stays."""
        if self._slave is not None:
            return
        try:
            fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            return
        try:
            fcntl.ioctl(fd, _TIOCNXCL)
        except OSError:
            pass
        finally:
            os.close(fd)

    def _close_fds(self) -> None:
        _close(self._master, self._slave)
        self._master = self._slave = None

    def _apply_requests(self) -> None:
        while True:
            with self._lock:
                if not self._requests:
                    return
                op = self._requests.popleft()
                op()

    def _run(self) -> None:
        try:
            self._loop()
        except BaseException as e:   # kept for close() and the control methods to report
            self.error = e

    def _loop(self) -> None:
        assert self._master is not None and self._wake_r is not None
        poller = select.poll()
        poller.register(self._wake_r, select.POLLIN)
        hup_probe = select.poll()
        hup_probe.register(self._master, select.POLLIN)
        registered_mask = None
        closed = False
        while True:
            self._apply_requests()
            if self._exit or self._master is None:
                return
            # Whether a client has the line is asked before the packets due are made: those made
            # while it was closed are kept only within the line buffer, even if a client opens
            # the line meanwhile.
            hup = any(ev & select.POLLHUP for _, ev in hup_probe.poll(0))
            now = time.monotonic()
            with self._lock:
                self._generate(now)
            with self._lock:
                # After a hang-up too: a client may have written commands and closed the line.
                self._read_commands()
                if hup:
                    if not closed:
                        # What the last client left unread goes with it, as on a port that closes.
                        with contextlib.suppress(OSError):
                            termios.tcflush(self._master, termios.TCOFLUSH)
                        self._release_claim()
                    self._lose_while_closed()
                else:
                    self._flush()
            closed = hup

            nxt = min(s.next_time for s in self._streams.values())
            timeout = None if nxt == float("inf") else max(0.0, nxt - time.monotonic())
            if hup:
                # POLLHUP would wake poll at once: leave the master out and look again shortly
                # (for a client, or room in the pty)
                if registered_mask is not None:
                    poller.unregister(self._master)
                    registered_mask = None
                timeout = _HUP_RECHECK_S if timeout is None else min(timeout, _HUP_RECHECK_S)
            else:
                mask = select.POLLIN | (select.POLLOUT if self._backlog else 0)
                if registered_mask is None:
                    poller.register(self._master, mask)
                elif mask != registered_mask:
                    poller.modify(self._master, mask)
                registered_mask = mask
            poller.poll(None if timeout is None else timeout * 1000.0)
            try:
                while os.read(self._wake_r, 512):
                    pass
            except BlockingIOError:
                pass


def _bounded(check: Callable[[str, object], float], what: str) -> Callable[[str], float]:
    """An argparse type from one of the simulator's own checks."""
    def parse(text: str) -> float:
        try:
            non_negative(text)
            return check(what, text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
    return parse


_rate = _bounded(checked_rate, "the rate")
_seconds = _bounded(checked_seconds, "the time")


_FILE_SECONDS = 12.0  # what --to-file writes unless -s says otherwise


def _arguments() -> argparse.ArgumentParser:
    ap = command_parser(
        "tiltwick-sim",
        ["tiltwick-sim                       # prints the path, e.g. /dev/pts/5",
         "tiltwick-sim --rate-hz 1000 -s 60",
         "tiltwick-sim --to-file run.bin -s 30",
         "tiltwick-sim --to-file - | tiltwick-dump -n 3 -"],
        "It prints the path to open as its serial line (any baud rate works) and streams sensor and "
        "filter packets of a slowly rotating body until stopped. It models idle as a mode, stream "
        "control, acknowledgements, commands written by a client that closes the line at once, and a "
        "port that keeps only its last --line-buffer bytes while nobody has it open; not baud rates, "
        "the device's other commands, or a driver's timing.\n\n"
        "With --to-file it writes what it would send in -s seconds (12 unless given) to a capture "
        "file instead, at once.")
    ap.add_argument("--rate-hz", metavar="HZ", type=_rate, default=100.0,
                    help="packets per second of each stream; both streams together at most "
                         f"{MAX_PACKETS_PER_S:g} (default: %(default)s)")
    ap.add_argument("--sensor-hz", metavar="HZ", type=_rate, default=None,
                    help="sensor packets per second, 0 for none (default: --rate-hz)")
    ap.add_argument("--filter-hz", metavar="HZ", type=_rate, default=None,
                    help="filter packets per second, 0 for none (default: --rate-hz)")
    ap.add_argument("--seed", type=whole(-(1 << 63), (1 << 64) - 1), default=1, help="selects the sensor noise and the motion's phases (default: %(default)s)")
    ap.add_argument("--deltas", action="store_true",
                    help="add delta-theta and delta-velocity fields to the sensor packets (default: off)")
    ap.add_argument("--idle", action="store_true",
                    help="start in idle, as after set to idle: nothing streams until resumed (tiltwick-streams "
                         "DEVICE BAUD on) (default: streaming from the start)")
    ap.add_argument("--line-buffer", type=whole(0, _MAX_LINE_BUFFER), default=4096, metavar="BYTES",
                    help="of what the device sends while no client has the line open, keep this many last "
                         "bytes, as a port's buffers would (default: %(default)s)")
    ap.add_argument("--replies", choices=REPLIES, default="ack",
                    help="answer commands: ack (obey and acknowledge), nack (refuse them all), "
                         "silent (obey without answering) (default: %(default)s)")
    ap.add_argument("--garbage", type=whole(0, _MAX_GARBAGE), default=0, metavar="BYTES",
                    help="send this many random bytes between packets once a second (default: 0, never)")
    ap.add_argument("--drop-every", type=whole(0, 1 << 31), default=0, metavar="N",
                    help="drop one byte from the middle of every N-th data packet (default: 0, never)")
    ap.add_argument("--hangup-after", type=_seconds, default=0.0, metavar="SECONDS",
                    help="close the line after this long, as an unplugged device does (default: 0, never)")
    seconds_option(ap, "stop after S seconds (default: 0, until stopped; 12 with --to-file)", _seconds, None)
    ap.add_argument("--to-file", metavar="OUT.bin", default=None,
                    help="write a capture of S seconds of streaming to this file (- for standard output), "
                         "with the acknowledgements of the three commands after the first packets, and exit "
                         "(default: serve the pseudo-terminal)")
    return ap


def main(argv: list[str] | None = None) -> int:
    ap = _arguments()
    a = ap.parse_args(argv)
    sensor_hz = a.rate_hz if a.sensor_hz is None else a.sensor_hz
    filter_hz = a.rate_hz if a.filter_hz is None else a.filter_hz
    try:
        check_rates(sensor_hz, filter_hz)
    except ValueError as e:
        ap.error(str(e))
    if a.to_file is not None:
        if a.seconds == 0:
            ap.error("--to-file needs -s/--seconds above 0: a capture cannot run until stopped")

        def write() -> int:
            info = make_capture(a.to_file, a.seconds or _FILE_SECONDS, sensor_hz, filter_hz, a.seed, deltas=a.deltas)
            print(f"{shown(a.to_file)}: {info.size} bytes, {info.sensor_packets} sensor + {info.filter_packets}"
                  f" filter + {info.reply_packets} reply packets", file=sys.stderr)
            return 0
        return run("tiltwick-sim", write)
    a.seconds = a.seconds or 0.0
    return run("tiltwick-sim", lambda: _serve(a, sensor_hz, filter_hz))


def _serve(a: argparse.Namespace, sensor_hz: float, filter_hz: float) -> int:
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    rng = random.Random(a.seed)
    dev = SimulatedDevice(sensor_hz=sensor_hz, filter_hz=filter_hz, seed=a.seed, deltas=a.deltas,
                          streaming=not a.idle, replies=a.replies, drop_every=a.drop_every,
                          line_buffer=a.line_buffer, record_times=False)
    try:
        dev.start()
        print(dev.path, flush=True)
        started = time.monotonic()
        ends = [t for t in (a.seconds, a.hangup_after) if t > 0]
        end = started + min(ends) if ends else math.inf
        next_garbage = started + 1.0 if a.garbage > 0 else math.inf
        with contextlib.suppress(RuntimeError):  # the device thread stopped: reported below
            while not stop.is_set() and dev.error is None:
                now = time.monotonic()
                if now >= end:
                    break
                if now >= next_garbage:
                    dev.inject(rng.randbytes(a.garbage))
                    next_garbage += 1.0
                # a short wait, so that a device thread that stops is noticed at once
                stop.wait(min(end, next_garbage, now + _WATCH_S) - now)
            if a.hangup_after > 0 and time.monotonic() >= started + a.hangup_after:
                dev.hangup()
    finally:
        with contextlib.suppress(RuntimeError):  # reported below, as one line
            dev.close()
    if dev.failure is not None:
        raise CommandError(f"the simulated device stopped: {dev.failure}")
    print(f"sent sensor={dev.sent_sensor} filter={dev.sent_filter} "
          f"overflow sensor={dev.overflow_sensor} filter={dev.overflow_filter} "
          f"dropped_bytes={dev.dropped_bytes} commands={dev.commands_received}"
          f"{' hung up' if dev.hung_up else ''}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
