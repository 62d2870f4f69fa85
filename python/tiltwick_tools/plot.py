"""The tiltwick-plot command: roll, pitch and yaw of a capture against time, into a PNG file."""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Mapping
from typing import Any, cast

from .files import atomic_output, refuse_same_file, shown
from .replay import ReplayError, packets_at, replay_command, replayable
from .units import unit_of

__all__ = ["SOURCES", "attitude_series", "broken_at_wraps", "main"]

# Where the attitude comes from, in order of preference: the estimation filter's angles timed
# by its GPS timestamp, else the sensor set's complementary-filter angles timed by theirs.
SOURCES = (
    ("OrientationEuler", "GPSTimestamp", "time_of_week"),
    ("CFEulerAngles", "GPSCorrelationTimestamp", "gps_time_of_week"),
)
ANGLES = ("roll", "pitch", "yaw")


def attitude_series(capture: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> tuple[str, list[float], dict[str, list[float]]]:
    """(source alternative, seconds since its first sample, angles in degrees) of the first
    source in SOURCES that the capture holds. The device sends the angles in radians and the
    time of week in seconds."""
    with replayable(capture) as (path, name):
        return _attitude_series(path, name)


def _attitude_series(path: str, name: str) -> tuple[str, list[float], dict[str, list[float]]]:
    series: dict[str, tuple[list[float], dict[str, list[float]]]] = {
        source: ([], {angle: [] for angle in ANGLES}) for source, _, _ in SOURCES}
    for packet in packets_at(path, name):
        readings = cast(Mapping[str, Any], packet)
        for source, clock, tick in SOURCES:
            if source in readings and clock in readings:
                times, angles = series[source]
                times.append(readings[clock][tick])
                for angle, values in angles.items():
                    values.append(math.degrees(readings[source][angle]))
    for source, _, _ in SOURCES:
        times, angles = series[source]
        if times:
            return source, [t - times[0] for t in times], angles
    raise ReplayError(f"{name}: no attitude readings ({' or '.join(s for s, _, _ in SOURCES)})")


def broken_at_wraps(times: list[float], degrees: list[float]) -> tuple[list[float], list[float]]:
    """The series with a gap (a NaN, where a plotted line breaks) between two samples that lie
    more than half a turn apart: an angle wrapping from +180 to -180 degrees, not a swing
    across the plot."""
    if not times:
        return [], []
    xs, ys = [times[0]], [degrees[0]]
    for (t0, a0), (t1, a1) in zip(zip(times, degrees), zip(times[1:], degrees[1:])):
        if abs(a1 - a0) > 180.0:
            xs.append((t0 + t1) / 2)
            ys.append(math.nan)
        xs.append(t1)
        ys.append(a1)
    return xs, ys


def plot(capture: str | os.PathLike[str], out_path: str | os.PathLike[str]) -> int:
    """Writes the plot; returns the number of samples. The PNG file appears only once it is
    complete, and never over the capture itself."""
    refuse_same_file(out_path, capture)
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ReplayError(f"matplotlib is needed to plot (pip install matplotlib): {error}") from None

    source, times, angles = attitude_series(capture)
    _, clock, tick = next(s for s in SOURCES if s[0] == source)
    figure, axes = plt.subplots(figsize=(10, 5))
    for angle, values in angles.items():
        axes.plot(*broken_at_wraps(times, values), label=angle, linewidth=1)
    axes.set_xlabel(f"{clock}.{tick} since the first sample [{unit_of(clock, tick)}]")
    axes.set_ylabel(f"angle [deg] (sent in {unit_of(source, 'roll')})")
    axes.set_title(f"{shown(os.path.basename(os.fspath(capture)))}: {source}")
    axes.grid(True, alpha=0.3)
    axes.legend()
    figure.tight_layout()
    try:
        with atomic_output(out_path) as out:
            figure.savefig(out, format="png", dpi=100)
    finally:
        plt.close(figure)
    return len(times)


def main(argv: list[str] | None = None) -> int:
    return replay_command(
        argv, "tiltwick-plot", ["tiltwick-plot run.bin run.png", "tiltwick-plot - run.png < run.bin"],
        "The angles are the filter's OrientationEuler timed by GPSTimestamp, or, in a capture without "
        "filter packets, the sensor set's CFEulerAngles timed by GPSCorrelationTimestamp. Needs "
        "matplotlib (pip install 'tiltwick[plot]').",
        "OUT.png", "PNG file to write (replaced once complete; never the capture itself)", plot,
        "{count} samples plotted to {out}")


if __name__ == "__main__":
    sys.exit(main())
