"""A simulated AHRS on a pseudo-terminal.

The simulator holds the master side of a pty pair and plays the device:
a background thread streams sensor (0x80) and estimation-filter (0x82)
packets at their rates, answers commands written to the slave side, and can
be told to misbehave. Any program that opens ``slave_path`` as a serial line
talks to it as it would to the device.

    with Simulator(sensor_hz=1000, filter_hz=1000) as sim:
        client_opens(sim.slave_path)
        ...
        sim.send_times[(SENSOR, 42)]   # wall-clock ns when packet 42 went out

Packets
    Contents come from ``motion.Motion(seed)``. Packet ``seq`` of a stream at
    ``rate`` Hz carries seq in its GPS time fields (time of week = seq / rate;
    see ``motion.sequence_number``), so a receiver can spot gaps and look up
    the packet's send time here under (descriptor set, seq).

Timing
    Each stream is scheduled on absolute deadlines (stream start + k / rate on
    time.monotonic()), so rates do not drift; everything due is generated and
    written in one batch, so a late wake-up sends several packets at once
    rather than falling behind. ``send_times`` records time.time_ns() taken just
    before the write call that handed the last byte of a packet to the pty
    (so receive time minus send time is never negative).

Commands
    Set to idle (01/02) stops both streams; data stream control (0C/11,
    function 1) with stream 1 or 3 stops or starts the sensor or filter
    stream. Each command field is answered with an ack field
    04 F1 <command> 00 in a packet of the same descriptor set. Unsupported
    commands get a nack with error code 01 and change nothing.
    ``start_streams()`` resumes streaming; sequence numbers continue where
    they stopped.

Flow control and stalls
    The master is non-blocking. Linux buffers roughly 20 KiB between master
    and slave; when that is full (nobody reading, or a slow reader), packets
    wait in an internal backlog and go out as soon as the pty accepts bytes,
    so by default no packet is lost and a stalled reader later receives every
    packet in order (with correspondingly old send times). The backlog is
    capped at ``max_backlog`` bytes; while it is full, newly generated data
    packets are dropped whole (sequence numbers still advance, so the gap is
    visible) and counted in ``overflow_sensor``/``overflow_filter``. Command
    replies and injected bytes are never dropped by the cap.

    The same applies before anybody opens the slave: a device streams from
    power-up, and a client that opens the slave late first reads the packets
    that queued up meanwhile. Pass ``streaming=False`` and call
    ``start_streams()`` once the client is attached, or call
    ``discard_pending()``, when fresh data matters (latency measurements).

The slave file descriptor
    By default the simulator closes its own slave descriptor right after
    creating the pair, so the slave behaves like a serial device nobody has
    open: exclusive mode set by a client with TIOCEXCL ends when the client
    closes it, as on real hardware. While no process has the slave open the
    master reports hang-up (POLLHUP, reads fail with EIO); the simulator then
    keeps generating (into the kernel buffer, then the backlog) and checks
    every few milliseconds for a client to appear, never spinning on the
    hang-up. ``keep_slave_open=True`` keeps a slave descriptor in the
    simulator instead: no hang-up state ever, but a TIOCEXCL set by a client
    then outlives that client (the tty is never fully closed), so a later
    unprivileged open fails with EBUSY.

Faults
    ``inject(data)`` queues raw bytes between packets. ``set_drop(probability,
    every)`` removes outgoing bytes from packets (random with the given
    probability, or every Nth byte); packets that lost bytes are listed in
    ``damaged``. ``hangup()`` closes the master (and the slave descriptor, if
    held): the client then sees the line go away.

Command line:
    python tools/simulator.py --sensor-hz 100 --filter-hz 100 --seconds 10
prints the slave path on stdout, streams, and reports counters on stderr.
"""

from __future__ import annotations

import argparse
import collections
import errno
import fcntl
import os
import random
import select
import signal
import sys
import termios
import threading
import time
import tty
from typing import Callable

try:
    from . import mip_wire as mw
    from .motion import Motion
except ImportError:  # run as a script or with tools/ on sys.path
    import mip_wire as mw
    from motion import Motion

__all__ = ["Simulator", "SENSOR", "FILTER"]

SENSOR = mw.SENSOR_SET
FILTER = mw.FILTER_SET

_WRITE_CHUNK = 64 * 1024
_HUP_RECHECK_S = 0.005
_REQUEST_TIMEOUT_S = 5.0
_TIOCGPTPEER = getattr(termios, "TIOCGPTPEER", 0x5441)   # Linux: open the slave from the master

# ack/nack error codes
_ACK_OK = 0x00
_NACK_UNKNOWN = 0x01


class _Stream:
    __slots__ = ("dset", "rate", "active", "seq", "seq0", "t0", "next_time")

    def __init__(self, dset: int, rate: float) -> None:
        self.dset = dset
        self.rate = float(rate)
        self.active = False
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


class Simulator:
    """Device simulator on a pty; see the module documentation.

    Use it as a context manager or call ``close()``: the device thread holds
    a reference to the simulator, so dropping the last reference of your own
    does not stop it.
    """

    def __init__(self, sensor_hz: float = 100.0, filter_hz: float = 100.0, *, seed: int = 1,
                 deltas: bool = False, streaming: bool = True, keep_slave_open: bool = False,
                 max_backlog: int = 16 * 1024 * 1024, drop_probability: float = 0.0,
                 drop_every: int = 0, record_times: bool = True) -> None:
        self._motion = Motion(seed)
        self._deltas = deltas
        self._streams = {SENSOR: _Stream(SENSOR, sensor_hz), FILTER: _Stream(FILTER, filter_hz)}
        self._streaming_at_start = streaming
        self.max_backlog = max_backlog
        self.record_times = record_times

        master, slave = os.openpty()
        try:
            # Raw mode for the pair (attributes set through the master apply
            # to the slave side): bytes pass unchanged, nothing is echoed back.
            tty.setraw(master)
            fl = fcntl.fcntl(master, fcntl.F_GETFL)
            fcntl.fcntl(master, fcntl.F_SETFL, fl | os.O_NONBLOCK)
            self.slave_path: str = os.ttyname(slave)
        except BaseException:
            os.close(master)
            os.close(slave)
            raise
        self._master: int | None = master
        self._slave: int | None = slave
        if not keep_slave_open:
            os.close(slave)
            self._slave = None
        self._wake_r, self._wake_w = os.pipe()
        for fd in (self._wake_r, self._wake_w):
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)

        self._lock = threading.Lock()
        self._requests: collections.deque = collections.deque()
        self._thread: threading.Thread | None = None
        self._exit = False

        # outgoing queue: [bytes, key or None]; _head is the offset already
        # written of the first item
        self._backlog: collections.deque = collections.deque()
        self._head = 0
        self._backlog_bytes = 0

        self._drop_probability = 0.0
        self._drop_every = 0
        self._drop_rng = random.Random(seed ^ 0x5EED)
        self._bytes_out = 0
        self.set_drop(drop_probability, drop_every)

        self._parser = mw.FrameParser()

        # public counters and records
        self.sent_sensor = 0
        self.sent_filter = 0
        self.overflow_sensor = 0
        self.overflow_filter = 0
        self.discarded_packets = 0
        self.dropped_bytes = 0
        self.injected_bytes = 0
        self.send_times: dict[tuple[int, int], int] = {}
        self.damaged: set[tuple[int, int]] = set()
        self.commands_received: list[tuple[int, int, bytes]] = []   # (time_ns, set, payload)
        self.hung_up = False
        self.client_attached = keep_slave_open
        self.error: BaseException | None = None

    # ------------------------------------------------------------------
    # lifecycle

    def start(self) -> "Simulator":
        """Start the device thread (idempotent)."""
        if self._thread is None:
            if self._master is None:
                raise RuntimeError("simulator is closed")
            if self._streaming_at_start:
                now = time.monotonic()
                for st in self._streams.values():
                    st.start(now)
            self._thread = threading.Thread(target=self._run, name="mip-device-simulator", daemon=True)
            self._thread.start()
        return self

    def close(self) -> None:
        """Stop the thread and release the pty (idempotent)."""
        t = self._thread
        if t is not None and t.is_alive():
            self._exit = True
            self._wake()
            t.join(_REQUEST_TIMEOUT_S)
        self._close_fds()
        for fd in (self._wake_r, self._wake_w):
            if fd is not None:
                try:
                    os.close(fd)
                except OSError:
                    pass
        self._wake_r = self._wake_w = None

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()

    # ------------------------------------------------------------------
    # control (any thread)

    def start_streams(self, sensor: bool = True, filter: bool = True) -> None:
        """(Re)start the chosen streams; sequence numbers continue."""
        def op():
            now = time.monotonic()
            if sensor:
                self._streams[SENSOR].start(now)
            if filter:
                self._streams[FILTER].start(now)
        self._call(op)

    def stop_streams(self, sensor: bool = True, filter: bool = True) -> None:
        """Stop generating the chosen streams (packets already queued still go out)."""
        def op():
            if sensor:
                self._streams[SENSOR].stop()
            if filter:
                self._streams[FILTER].stop()
        self._call(op)

    def inject(self, data: bytes) -> None:
        """Queue raw bytes to go out between packets, unaltered."""
        data = bytes(data)

        def op():
            if data:
                self.injected_bytes += len(data)
                self._append(data, None)
        self._call(op)

    def set_drop(self, probability: float = 0.0, every: int = 0) -> None:
        """Remove outgoing packet bytes: each with ``probability``, and/or every ``every``-th."""
        if not 0.0 <= probability <= 1.0:
            raise ValueError("probability must be within 0..1")
        if every < 0:
            raise ValueError("every must be 0 (off) or positive")

        def op():
            self._drop_probability = float(probability)
            self._drop_every = int(every)
        self._call(op)

    def discard_pending(self) -> int:
        """Throw away everything the client has not read yet: the internal
        backlog and the bytes waiting in the pty. Returns the number of data
        packets dropped from the backlog (those already in the pty are not
        counted). A client in the middle of reading a packet at that moment
        sees that one packet cut short.
        """
        def op():
            n = sum(1 for _, key in self._backlog if key is not None)
            self._backlog.clear()
            self._backlog_bytes = 0
            self._head = 0
            self._flush_pty()
            self.discarded_packets += n
            return n
        return self._call(op)

    def _flush_pty(self) -> None:
        # Bytes written to the master wait in two places: the pty's transfer
        # buffer (flushed from the master side) and, once the slave is open,
        # the slave's line discipline, which only a slave descriptor can
        # flush. Without one of our own, borrow one through the master
        # (TIOCGPTPEER); that can fail with EBUSY when a client holds the
        # line in exclusive mode and we are not privileged, in which case
        # up to a few KiB of old bytes stay readable.
        if self._master is None:
            return
        termios.tcflush(self._master, termios.TCOFLUSH)
        if self._slave is not None:
            termios.tcflush(self._slave, termios.TCIFLUSH)
            return
        try:
            peer = fcntl.ioctl(self._master, _TIOCGPTPEER, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError:
            return
        try:
            termios.tcflush(peer, termios.TCIFLUSH)
        finally:
            os.close(peer)

    def hangup(self) -> None:
        """Close the master side: the line goes away for the client."""
        t = self._thread
        if t is not None and t.is_alive() and threading.current_thread() is not t:
            self._call(self._hangup_in_thread)
            t.join(_REQUEST_TIMEOUT_S)
        else:
            self._hangup_in_thread()

    def wait_until(self, predicate: Callable[["Simulator"], bool], timeout: float = 5.0,
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
    def streaming_sensor(self) -> bool:
        return self._streams[SENSOR].active

    @property
    def streaming_filter(self) -> bool:
        return self._streams[FILTER].active

    @property
    def next_seq(self) -> dict[int, int]:
        """Sequence number each stream will use next."""
        return {k: s.seq for k, s in self._streams.items()}

    @property
    def backlog_bytes(self) -> int:
        return self._backlog_bytes

    @property
    def rates(self) -> dict[int, float]:
        return {k: s.rate for k, s in self._streams.items()}

    # ------------------------------------------------------------------
    # internals

    def _wake(self) -> None:
        try:
            os.write(self._wake_w, b"!")
        except (BlockingIOError, OSError, TypeError):
            pass

    def _call(self, op):
        """Run ``op`` on the device thread (synchronously), or right here if
        that thread is not running."""
        t = self._thread
        if t is None or not t.is_alive() or threading.current_thread() is t:
            with self._lock:
                return op()
        done = threading.Event()
        box: list = [None, None]

        def wrapped():
            try:
                box[0] = op()
            except BaseException as e:   # handed back to the caller
                box[1] = e
            finally:
                done.set()
        with self._lock:
            self._requests.append(wrapped)
        self._wake()
        while not done.wait(0.05):
            if not t.is_alive():
                # thread ended before taking the request
                with self._lock:
                    if wrapped in self._requests:
                        self._requests.remove(wrapped)
                        return op()
                done.wait(_REQUEST_TIMEOUT_S)
                break
        if box[1] is not None:
            raise box[1]
        return box[0]

    def _append(self, data: bytes, key) -> None:
        self._backlog.append([data, key])
        self._backlog_bytes += len(data)

    def _damage(self, pkt: bytes) -> bytes:
        every, prob = self._drop_every, self._drop_probability
        n = len(pkt)
        if not every and not prob:
            self._bytes_out += n
            return pkt
        b = bytearray(pkt)
        if every:
            first = every - 1 - (self._bytes_out % every)
            if first < n:
                del b[first::every]
        if prob:
            rnd = self._drop_rng.random
            b = bytearray(x for x in b if rnd() >= prob)
        self._bytes_out += n
        self.dropped_bytes += n - len(b)
        return bytes(b)

    def _enqueue_packet(self, pkt: bytes, key) -> None:
        if key is not None and self._backlog_bytes + len(pkt) > self.max_backlog:
            if key[0] == SENSOR:
                self.overflow_sensor += 1
            else:
                self.overflow_filter += 1
            return
        out = self._damage(pkt)
        if len(out) != len(pkt) and key is not None:
            self.damaged.add(key)
        if out:
            self._append(out, key)
        elif key is not None:
            self._completed(key, time.time_ns())

    def _completed(self, key, now_ns: int) -> None:
        if key[0] == SENSOR:
            self.sent_sensor += 1
        else:
            self.sent_filter += 1
        if self.record_times:
            self.send_times[key] = now_ns

    def _generate(self, now: float) -> None:
        s, f = self._streams[SENSOR], self._streams[FILTER]
        m = self._motion
        while True:
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
        while bl:
            parts = [bl[0][0][self._head:] if self._head else bl[0][0]]
            size = len(parts[0])
            i = 1
            while i < len(bl) and size < _WRITE_CHUNK:
                parts.append(bl[i][0])
                size += len(bl[i][0])
                i += 1
            data = parts[0] if len(parts) == 1 else b"".join(parts)
            # taken before the write, so a reader can never see a packet
            # "before" it was sent
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
                item = bl[0]
                rest = len(item[0]) - self._head
                if left >= rest:
                    left -= rest
                    self._head = 0
                    bl.popleft()
                    if item[1] is not None:
                        self._completed(item[1], now_ns)
                else:
                    self._head += left
                    left = 0
            if n < len(data):
                return

    def _read_commands(self) -> None:
        while True:
            try:
                data = os.read(self._master, 4096)
            except BlockingIOError:
                return
            except OSError as e:
                if e.errno == errno.EIO:     # nobody has the slave open
                    return
                raise
            if not data:
                return
            for fr in self._parser.feed(data):
                self._handle_command(fr)

    def _handle_command(self, fr: mw.Frame) -> None:
        self.commands_received.append((time.time_ns(), fr.descriptor_set, fr.payload))
        results = []
        for fd, data in mw.parse_fields(fr.payload):
            if fd is None:
                continue
            code = _NACK_UNKNOWN
            if fr.descriptor_set == 0x01 and fd == 0x02:          # set to idle
                self._streams[SENSOR].stop()
                self._streams[FILTER].stop()
                code = _ACK_OK
            elif fr.descriptor_set == 0x01 and fd == 0x01:        # ping
                code = _ACK_OK
            elif fr.descriptor_set == 0x0C and fd == 0x11 and len(data) >= 3 and data[0] == 0x01:
                selector, enable = data[1], data[2]
                targets = {mw.STREAM_SELECTOR_SENSOR: (SENSOR,),
                           mw.STREAM_SELECTOR_FILTER: (FILTER,),
                           mw.STREAM_SELECTOR_GNSS: ()}.get(selector)
                if targets is not None:
                    now = time.monotonic()
                    for k in targets:
                        if enable:
                            self._streams[k].start(now)
                        else:
                            self._streams[k].stop()
                    code = _ACK_OK
            results.append((fd, code))
        if results:
            self._enqueue_packet(mw.ack_reply(fr.descriptor_set, results), None)

    def _hangup_in_thread(self) -> None:
        self._exit = True
        self.hung_up = True
        self._close_fds()

    def _close_fds(self) -> None:
        for name in ("_master", "_slave"):
            fd = getattr(self, name, None)
            if fd is not None:
                setattr(self, name, None)
                try:
                    os.close(fd)
                except OSError:
                    pass

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
        except BaseException as e:   # keep the reason; the thread must not vanish silently
            self.error = e
            import traceback
            traceback.print_exc()

    def _loop(self) -> None:
        poller = select.poll()
        poller.register(self._wake_r, select.POLLIN)
        hup_probe = select.poll()
        hup_probe.register(self._master, select.POLLIN)
        registered_mask = None
        while True:
            self._apply_requests()
            if self._exit or self._master is None:
                return
            now = time.monotonic()
            with self._lock:
                self._generate(now)
            hup = any(ev & select.POLLHUP for _, ev in hup_probe.poll(0))
            self.client_attached = not hup
            with self._lock:
                if not hup:
                    self._read_commands()
                self._flush()

            nxt = min(s.next_time for s in self._streams.values())
            timeout = None if nxt == float("inf") else max(0.0, nxt - time.monotonic())
            if hup:
                # POLLHUP would wake poll at once: leave the master out and
                # look again shortly (for a client, or room in the pty)
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


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description="Simulated AHRS on a pseudo-terminal.")
    ap.add_argument("--sensor-hz", type=float, default=100.0)
    ap.add_argument("--filter-hz", type=float, default=100.0)
    ap.add_argument("--seconds", type=float, default=10.0, help="run time; 0 runs until interrupted")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--deltas", action="store_true", help="add delta-theta and delta-velocity fields")
    ap.add_argument("--idle", action="store_true", help="do not stream until told to")
    ap.add_argument("--keep-slave-open", action="store_true")
    ap.add_argument("--drop-probability", type=float, default=0.0)
    ap.add_argument("--drop-every", type=int, default=0)
    a = ap.parse_args(argv)

    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    with Simulator(a.sensor_hz, a.filter_hz, seed=a.seed, deltas=a.deltas, streaming=not a.idle,
                   keep_slave_open=a.keep_slave_open, drop_probability=a.drop_probability,
                   drop_every=a.drop_every, record_times=False) as sim:
        print(sim.slave_path, flush=True)
        stop.wait(a.seconds if a.seconds > 0 else None)
        print(f"sent sensor={sim.sent_sensor} filter={sim.sent_filter} "
              f"overflow sensor={sim.overflow_sensor} filter={sim.overflow_filter} "
              f"backlog={sim.backlog_bytes}B dropped_bytes={sim.dropped_bytes} "
              f"commands={len(sim.commands_received)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
