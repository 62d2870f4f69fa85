"""The tiltwick-plot command: roll, pitch and yaw of a capture against time, into a PNG file."""

from __future__ import annotations

import math
import os
from collections.abc import Mapping
from typing import Any, cast

from .replay import ReplayError, packets, replay_command
from .units import unit_of

__all__ = ["SOURCES", "attitude_series", "main"]

# Where the attitude comes from, in order of preference: the estimation filter's angles timed
# by its GPS timestamp, else the sensor set's complementary-filter angles timed by theirs.
SOURCES = (
    ("OrientationEuler", "GPSTimestamp", "time_of_week"),
    ("CFEulerAngles", "GPSCorrelationTimestamp", "gps_time_of_week"),
)
ANGLES = ("roll", "pitch", "yaw")


def attitude_series(capture: str | os.PathLike[str]) -> tuple[str, list[float], dict[str, list[float]]]:
    """(source alternative, seconds since its first sample, angles in degrees) of the first
    source in SOURCES that the capture holds. The device sends the angles in radians and the
    time of week in seconds."""
    series: dict[str, tuple[list[float], dict[str, list[float]]]] = {
        source: ([], {angle: [] for angle in ANGLES}) for source, _, _ in SOURCES}
    for packet in packets(capture):
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
    raise ReplayError(f"{os.fspath(capture)}: no attitude readings ({' or '.join(s for s, _, _ in SOURCES)})")


def plot(capture: str | os.PathLike[str], out_path: str | os.PathLike[str]) -> int:
    """Writes the plot; returns the number of samples."""
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
        axes.plot(times, values, label=angle, linewidth=1)
    axes.set_xlabel(f"{clock}.{tick} since the first sample [{unit_of(clock, tick)}]")
    axes.set_ylabel(f"angle [deg] (sent in {unit_of(source, 'roll')})")
    axes.set_title(f"{os.path.basename(os.fspath(capture))}: {source}")
    axes.grid(True, alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(out_path, dpi=100)
    plt.close(figure)
    return len(times)


def main(argv: list[str] | None = None) -> int:
    return replay_command(
        argv, "tiltwick-plot",
        "Replay a capture and plot roll, pitch and yaw in degrees against time into a PNG file: the "
        "filter's OrientationEuler timed by GPSTimestamp, or, in a capture without filter packets, the "
        "sensor set's CFEulerAngles timed by GPSCorrelationTimestamp. Needs matplotlib (pip install "
        "'tiltwick[plot]').",
        "OUT.png", "PNG file to write (replaced if it exists)", plot, "{count} samples plotted to {out}")
