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
from dataclasses import dataclass

from . import mip_wire as mw
from .files import atomic_output
from .motion import Motion

__all__ = ["CaptureInfo", "capture_bytes", "make_capture", "ACK_AFTER_PACKETS", "REPLIES"]

# The acknowledgements follow this many data packets.
ACK_AFTER_PACKETS = 3
REPLIES = (
    mw.ack_reply(0x01, 0x02),   # set to idle
    mw.ack_reply(0x0C, 0x11),   # sensor stream off
    mw.ack_reply(0x0C, 0x11),   # filter stream off
)


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


def capture_bytes(seconds: float = 12.0, sensor_hz: float = 100, filter_hz: float = 100,
                  seed: int = 1, *, deltas: bool = False, replies: bool = True) -> tuple[bytes, CaptureInfo]:
    """Build a capture in memory; returns (bytes, info with path None). ``replies=False``
    leaves the acknowledgements out."""
    motion = Motion(seed)
    ns, nf = _count(seconds, sensor_hz), _count(seconds, filter_hz)
    # (time, stream order, seq): sensor sorts before filter at equal times
    events = heapq.merge(((k / sensor_hz, 0, k) for k in range(ns)),
                         ((k / filter_hz, 1, k) for k in range(nf)))
    parts: list[bytes] = []
    sent = 0
    for _, which, k in events:
        if which == 0:
            parts.append(motion.sensor_packet(k, sensor_hz, deltas=deltas))
        else:
            parts.append(motion.filter_packet(k, filter_hz))
        sent += 1
        if replies and sent == ACK_AFTER_PACKETS:
            parts.extend(REPLIES)
    if replies and sent < ACK_AFTER_PACKETS:
        parts.extend(REPLIES)
    data = b"".join(parts)
    return data, CaptureInfo(None, len(data), ns, nf, len(REPLIES) if replies else 0)


def make_capture(path: str | os.PathLike[str], seconds: float = 12.0, sensor_hz: float = 100, filter_hz: float = 100,
                 seed: int = 1, *, deltas: bool = False) -> CaptureInfo:
    """Write a capture file at ``path`` and describe what it holds. The file appears only once
    it is complete; a failure leaves an earlier file of that name as it was."""
    data, info = capture_bytes(seconds, sensor_hz, filter_hz, seed, deltas=deltas)
    with atomic_output(path) as f:
        f.write(data)
    return CaptureInfo(str(path), info.size, info.sensor_packets, info.filter_packets, info.reply_packets)
