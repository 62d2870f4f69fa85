"""Replay a recorded capture and print the attitude once a second of the recording.

    python examples/replay_attitude.py                # a generated 12 s capture
    python examples/replay_attitude.py capture.bin    # a capture of your own (tiltwick-record)

Uses the estimation filter's OrientationEuler readings timed by the GPSTimestamp of the same
packet. The device sends angles in radians and time in seconds; they are printed in degrees.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile

from tiltwick_tools import ReplayError, make_capture, packets


def summary(capture: str) -> int:
    """Prints one line per second of GPS time; returns the number of filter packets."""
    count = 0
    next_second = -math.inf
    try:
        for packet in packets(capture):  # ends where the data ends
            if packet.get("type") != "estimate":
                continue
            count += 1
            euler, clock = packet.get("OrientationEuler"), packet.get("GPSTimestamp")
            if euler is None or clock is None or clock["time_of_week"] < next_second:
                continue
            next_second = math.floor(clock["time_of_week"]) + 1
            roll, pitch, yaw = (math.degrees(euler[k]) for k in ("roll", "pitch", "yaw"))
            print(f"t={clock['time_of_week']:8.2f} s  roll {roll:+7.2f}  pitch {pitch:+7.2f}  yaw {yaw:+7.2f} deg"
                  f"  ({euler['valid']})")
    except ReplayError as error:  # the capture could not be read to its end
        print(error, file=sys.stderr)
        return 0
    return count


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("capture", nargs="?", help="capture file; a generated one when omitted")
    args = parser.parse_args(argv)
    if args.capture:
        count = summary(args.capture)
    else:
        with tempfile.TemporaryDirectory() as folder:
            capture = make_capture(os.path.join(folder, "capture.bin"), seconds=12.0)
            print(f"generated capture: {capture.size} bytes, {capture.packets} packets")
            count = summary(os.path.join(folder, "capture.bin"))
    print(f"{count} filter packets")
    return 0 if count else 1


if __name__ == "__main__":
    sys.exit(main())
