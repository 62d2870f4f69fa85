"""Packets lost to a reader that joins a stream at an arbitrary byte, or meets one damaged byte.

    python benchmarks/resync.py [--seconds 10]

Replays captures through AHRSClient.open_file + read_packet() and counts the packets it returns
(one "Parsed packet: " line each), against the packets in the capture:

  join    a 100 Hz stream of 48-byte accelerometer + gyro + magnetometer packets, from each of
          its 48 start offsets;
  drop / duplicate / flip
          the sample session of tiltwick_tools.capture (94-byte sensor and 200-byte filter
          packets, 100 Hz each), with one byte dropped, repeated or flipped at each offset of a
          294-byte cycle a third of the way into the file.

Next to each figure stands the same count for a reader that keeps nothing between attempts
(each attempt reads its two sync bytes afresh, so a misaligned reader moves on 3 bytes at a
time), computed in the same run by the model in tiltwick_tools.mip_wire. The module's count must equal
the model's count for the rule it implements (it is checked); the fixed-skip column is the
baseline it is measured against.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(_ROOT, "tools"), os.path.join(_ROOT, "tests")]

from tiltwick_tools import mip_wire as mw  # noqa: E402
import tiltwick  # noqa: E402
from tiltwick_tools.capture import capture_bytes  # noqa: E402
from tiltwick_tools.motion import imu_packet  # noqa: E402
from wire_oracle import read_steps  # noqa: E402


def module_found(data: bytes, scratch: str) -> int:
    """Packets AHRSClient.open_file + read_packet() returns from `data` (to the end of the data)."""
    with open(scratch, "wb") as f:
        f.write(data)
    out = tempfile.TemporaryFile()
    saved = os.dup(1), os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(out.fileno(), 1)
    os.dup2(null, 2)
    try:
        client = tiltwick.AHRSClient()
        client.open_file(scratch)
        errors = 0
        while errors < 2:  # a failed skip at the end, then the end itself
            try:
                client.read_packet()
            except ValueError:
                errors += 1
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, null):
            os.close(fd)
    out.seek(0)
    return out.read().count(b"Parsed packet: ")


def model_found(data: bytes, keep_sync: bool) -> int:
    return sum(s.kind == "packet" for s in read_steps(data, keep_sync=keep_sync))


def damage(data: bytes, offset: int, fault: str) -> bytes:
    if fault == "drop":
        return data[:offset] + data[offset + 1:]
    if fault == "duplicate":
        return data[:offset + 1] + data[offset:]
    return data[:offset] + bytes([data[offset] ^ 1 << offset % 8]) + data[offset + 1:]


def row(name: str, cases: list[tuple[bytes, int]], scratch: str) -> None:
    """cases: (capture, packets it would hold undamaged and from its first byte)."""
    lost_module, lost_fixed, worst_module, worst_fixed, none_fixed = 0, 0, 0, 0, 0
    for data, total in cases:
        found = module_found(data, scratch)
        assert found == model_found(data, keep_sync=True), name
        fixed = model_found(data, keep_sync=False)
        lost_module += total - found
        lost_fixed += total - fixed
        worst_module = max(worst_module, total - found)
        worst_fixed = max(worst_fixed, total - fixed)
        none_fixed += fixed == 0
    print(f"{name:<10} {len(cases):>4} cases   lost: tiltwick {lost_module:>7} (worst {worst_module:>5})"
          f"   fixed skip {lost_fixed:>7} (worst {worst_fixed:>5}, {none_fixed} cases with nothing found)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="length of the 48-byte stream")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        scratch = os.path.join(tmp, "capture.bin")
        count = int(args.seconds * 100)
        imu = b"".join(imu_packet(k) for k in range(count))
        # joining at byte k > 0 cuts the first packet: count - 1 complete packets are left
        row("join", [(imu[k:], count - (k > 0)) for k in range(48)], scratch)

        session, info = capture_bytes()
        starts = [f.offset for f in mw.iter_frames(session, strict=True)]
        first = next(i for i, q in enumerate(starts) if q >= len(session) // 3 and session[q + 2] == mw.SENSOR_SET)
        cycle = range(starts[first], starts[first] + 294)
        for fault in ("drop", "duplicate", "flip"):
            row(fault, [(damage(session, k, fault), info.packets) for k in cycle], scratch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
