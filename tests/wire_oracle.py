"""A receiver that reads one attempt at a time and never looks back: the oracle the tests
(and the resync benchmark) check the module's reader against."""

from __future__ import annotations

from typing import NamedTuple

from tiltwick_tools.mip_wire import DESCRIPTOR_SETS, SYNC, checksum


class Step(NamedTuple):
    """The outcome of one call of a receiver that makes one packet attempt per call.

    ``kind`` is "packet" (a good packet at ``data[begin:end]``), "failed" (a
    failed attempt that began at ``begin``; everything before ``end`` is gone,
    the skipped byte included), "skip failed" (an attempt that ran into the
    end of the data, after which no byte was left to skip) or "eof" (the data
    ended before the sync bytes of the next attempt).
    """
    kind: str
    begin: int
    end: int


def read_steps(data: bytes, *, keep_sync: bool = True, start: int = 0) -> list[Step]:
    """Every call of such a receiver replaying ``data`` from ``start``, up to the first "eof".

    An attempt reads the two sync bytes, the descriptor set (one of the
    sixteen), the length n, n payload bytes and the checksum, and stops at the
    first bad value or at the end of the data. Whatever it read is consumed;
    after a failed attempt one more byte is skipped. With ``keep_sync`` the
    receiver remembers whether the discarded bytes end with 0x75 or 0x75 0x65
    and starts the next attempt from those sync bytes; without it, every
    attempt reads its two sync bytes afresh and a misaligned receiver moves
    on 3 bytes at a time.
    """
    data = bytes(data)
    n = len(data)
    out: list[Step] = []
    pos, kept = start, 0
    while True:
        begin = pos - kept  # the kept sync bytes are the last bytes discarded
        if n - begin < 2:
            out.append(Step("eof", begin, n))
            return out
        if data[begin:begin + 2] != SYNC:
            used = begin + 2
        elif n - begin < 3 or data[begin + 2] not in DESCRIPTOR_SETS:
            used = min(begin + 3, n)
        else:
            end = begin + 6 + data[begin + 3] if n - begin >= 4 else n + 1
            if end <= n and data[end - 2:end] == checksum(data[begin:end - 2]):
                out.append(Step("packet", begin, end))
                pos, kept = end, 0
                continue
            used = min(end, n)
        if used >= n:
            out.append(Step("skip failed", begin, n))
            pos, kept = n, 0
            continue
        pos = used + 1
        out.append(Step("failed", begin, pos))
        kept = 0
        if keep_sync:
            kept = 2 if data[pos - 2:pos] == SYNC else 1 if data[pos - 1] == SYNC[0] else 0
    return out
