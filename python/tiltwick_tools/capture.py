"""Write a recorded capture: the raw bytes a device sent, packets back to back.

The capture holds sensor (0x80) and estimation-filter (0x82) packets at
their rates, merged in time order (sensor first when both fall due at the
same instant), plus the device's three acknowledgements of the configure
command sequence (idle in set 0x01, two stream-control acks in set 0x0C)
after the first few data packets. Packet contents and sequence numbering
are those of ``motion.Motion`` (see that module for how a packet's sequence
number is carried and recovered). Same arguments, same bytes.

From the command line: ``tiltwick-sim --to-file out.bin --seconds 12``.
"""

from __future__ import annotations

import heapq
import os
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO

from . import mip_wire as mw
from .files import atomic_output
from .motion import Motion
from .rates import check_rates, checked_rate, checked_seconds

__all__ = ["CaptureInfo", "capture_bytes", "make_capture", "ACK_AFTER_PACKETS", "REPLIES"]

# The acknowledgements follow this many data packets.
ACK_AFTER_PACKETS = 3
REPLIES = (
    mw.ack_reply(mw.BASE_COMMAND_SET, mw.SET_TO_IDLE),
    mw.ack_reply(mw.SETTINGS_COMMAND_SET, mw.STREAM_CONTROL),   # sensor stream off
    mw.ack_reply(mw.SETTINGS_COMMAND_SET, mw.STREAM_CONTROL),   # filter stream off
)
_PACKETS_PER_WRITE = 1024


@dataclass(frozen=True)
class CaptureInfo:
    path: str | None
    size: int
    sensor_packets: int
    filter_packets: int
    reply_packets: int

    @property
    def packets(self) -> int:
        return self.sensor_packets + self.filter_packets + self.reply_packets


def _count(seconds: float, hz: float) -> int:
    # packets at t = k / hz for 0 <= t < seconds
    if hz <= 0:
        return 0
    n = int(seconds * hz)
    while n / hz < seconds:
        n += 1
    while n > 0 and (n - 1) / hz >= seconds:
        n -= 1
    return n


def _packets(seconds: float, sensor_hz: float, filter_hz: float, seed: int, deltas: bool,
             replies: bool) -> Iterator[bytes]:
    """The capture's packets in order, made one at a time."""
    motion = Motion(seed)
    ns, nf = _count(seconds, sensor_hz), _count(seconds, filter_hz)
    # (time, stream order, seq): sensor sorts before filter at equal times
    events = heapq.merge(((k / sensor_hz, 0, k) for k in range(ns)),
                         ((k / filter_hz, 1, k) for k in range(nf)))
    sent = 0
    for _, which, k in events:
        if which == 0:
            yield motion.sensor_packet(k, sensor_hz, deltas=deltas)
        else:
            yield motion.filter_packet(k, filter_hz)
        sent += 1
        if replies and sent == ACK_AFTER_PACKETS:
            yield from REPLIES
    if replies and sent < ACK_AFTER_PACKETS:
        yield from REPLIES


def _checked(seconds: float, sensor_hz: float, filter_hz: float) -> tuple[float, float, float]:
    seconds = checked_seconds("seconds", seconds)
    sensor_hz = checked_rate("sensor_hz", sensor_hz)
    filter_hz = checked_rate("filter_hz", filter_hz)
    check_rates(sensor_hz, filter_hz)
    return seconds, sensor_hz, filter_hz


def _write(out: IO[bytes], block: list[bytes]) -> int:
    data = b"".join(block)
    out.write(data)
    block.clear()
    return len(data)


def capture_bytes(seconds: float = 12.0, sensor_hz: float = 100, filter_hz: float = 100,
                  seed: int = 1, *, deltas: bool = False, replies: bool = True) -> tuple[bytes, CaptureInfo]:
    """Build a capture in memory; returns (bytes, info with path None). ``replies=False``
    leaves the acknowledgements out."""
    seconds, sensor_hz, filter_hz = _checked(seconds, sensor_hz, filter_hz)
    data = b"".join(_packets(seconds, sensor_hz, filter_hz, seed, deltas, replies))
    return data, CaptureInfo(None, len(data), _count(seconds, sensor_hz), _count(seconds, filter_hz),
                             len(REPLIES) if replies else 0)


def make_capture(path: str | os.PathLike[str], seconds: float = 12.0, sensor_hz: float = 100, filter_hz: float = 100,
                 seed: int = 1, *, deltas: bool = False) -> CaptureInfo:
    """Write a capture file at ``path`` and describe what it holds. The file appears only once
    it is complete; a failure leaves an earlier file of that name as it was. It is written as
    it is made, a block at a time, so a capture of any length takes little memory."""
    seconds, sensor_hz, filter_hz = _checked(seconds, sensor_hz, filter_hz)
    size = 0
    block: list[bytes] = []
    with atomic_output(path, "wb") as f:
        for packet in _packets(seconds, sensor_hz, filter_hz, seed, deltas, True):
            block.append(packet)
            if len(block) == _PACKETS_PER_WRITE:
                size += _write(f, block)
        size += _write(f, block)
    return CaptureInfo(str(path), size, _count(seconds, sensor_hz), _count(seconds, filter_hz), len(REPLIES))
