"""Live attitude printout from a device, or from the built-in simulated device.

    python examples/live_attitude.py                      # simulated device, 5 seconds
    python examples/live_attitude.py /dev/ttyACM0 921600  # a real device
    python examples/live_attitude.py --seconds 0          # run until Ctrl-C

Reads through BufferedAHRSClient, so the loop below never waits on the serial line: it takes
whatever has arrived a few times per second and prints the latest attitude and rates.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import Any

import tiltwick
from tiltwick_tools import SimulatedDevice


def attitude_line(elapsed: float, counts: dict[str, int], latest: dict[str, Any]) -> str:
    """One compact line: attitude in degrees, angular rates in degrees per second (the device
    sends radians and radians per second)."""
    parts = [f"{elapsed:6.2f}s", f"sensor {counts['sensor']:5d}", f"filter {counts['estimate']:5d}"]
    euler = latest.get("OrientationEuler")
    if euler is not None:
        roll, pitch, yaw = (math.degrees(euler[k]) for k in ("roll", "pitch", "yaw"))
        parts.append(f"roll {roll:+7.2f} pitch {pitch:+7.2f} yaw {yaw:+7.2f} ({euler['valid']})")
    rate = latest.get("CompensatedAngularRate") or latest.get("ScaledGyroVector")
    if rate is not None:
        x, y, z = (math.degrees(rate[k]) for k in ("x", "y", "z"))
        parts.append(f"rate {x:+6.2f} {y:+6.2f} {z:+6.2f} deg/s")
    return " | ".join(parts)


def run(device: str, baud_rate: int, seconds: float, interval: float) -> int:
    client = tiltwick.BufferedAHRSClient(device, baud_rate, 4096, False)
    counts = {"sensor": 0, "estimate": 0}
    latest: dict[str, Any] = {}
    start = time.monotonic()
    try:
        while seconds <= 0 or time.monotonic() - start < seconds:
            time.sleep(interval)
            for _timestamp_ms, packet in client.take():
                kind = packet.get("type")
                if kind in counts:
                    counts[kind] += 1
                latest.update((k, v) for k, v in packet.items() if k != "type")
            print(attitude_line(time.monotonic() - start, counts, latest), flush=True)
    except KeyboardInterrupt:
        pass
    return 0 if counts["sensor"] + counts["estimate"] > 0 else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("device", nargs="?", help="serial device; the simulated device when omitted")
    parser.add_argument("baud_rate", nargs="?", type=int, default=921600)
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to run (0: until Ctrl-C)")
    parser.add_argument("--interval", type=float, default=0.25, help="seconds between printed lines")
    args = parser.parse_args(argv)
    if args.device:
        return run(args.device, args.baud_rate, args.seconds, args.interval)

    with SimulatedDevice(rate_hz=100) as device:
        print(f"simulated device on {device.path}", flush=True)
        code = run(device.path, args.baud_rate, args.seconds, args.interval)
        # The reader thread ends at its next packet once its client is gone; let it see one
        # from the still-running device rather than a hang-up.
        time.sleep(0.2)
        return code


if __name__ == "__main__":
    sys.exit(main())
