"""Plot roll, pitch and yaw against time from a recorded capture into a PNG file.

    pip install matplotlib        # or: pip install '.[plot]'
    python examples/plot_attitude.py capture.bin attitude.png

Uses the estimation filter's OrientationEuler readings, timed by the GPS time of week of the
same packet (GPSTimestamp), and falls back to the sensor set's complementary-filter
CFEulerAngles with GPSCorrelationTimestamp when a capture has no filter packets.
"""

from __future__ import annotations

import argparse
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from replay_to_csv import packet_rows, quiet_stdout  # noqa: E402

SOURCES = (
    ("OrientationEuler", "GPSTimestamp.time_of_week"),
    ("CFEulerAngles", "GPSCorrelationTimestamp.gps_time_of_week"),
)


def attitude_series(capture: str) -> tuple[str, list[float], dict[str, list[float]]]:
    """(source name, seconds from the first sample, degrees per angle)."""
    with quiet_stdout():
        rows = list(packet_rows(capture))
    for source, clock in SOURCES:
        times: list[float] = []
        angles: dict[str, list[float]] = {"roll": [], "pitch": [], "yaw": []}
        for row in rows:
            if f"{source}.roll" in row and clock in row:
                times.append(float(str(row[clock])))
                for angle, values in angles.items():
                    values.append(math.degrees(float(str(row[f"{source}.{angle}"]))))
        if times:
            start = times[0]
            return source, [t - start for t in times], angles
    raise SystemExit(f"{capture}: no attitude readings found")


def plot(capture: str, out_path: str) -> int:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    source, times, angles = attitude_series(capture)
    figure, axes = plt.subplots(figsize=(10, 5))
    for angle, values in angles.items():
        axes.plot(times, values, label=angle, linewidth=1)
    axes.set_xlabel("time since first sample [s]")
    axes.set_ylabel("angle [deg]")
    axes.set_title(f"{os.path.basename(capture)}: {source}")
    axes.grid(True, alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(out_path, dpi=100)
    plt.close(figure)
    return len(times)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("capture")
    parser.add_argument("png")
    args = parser.parse_args(argv)
    count = plot(args.capture, args.png)
    print(f"{count} samples plotted to {args.png}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
