"""What the simulated device can keep: the packet rates and durations it accepts.

The ceiling is measured, not chosen: the device thread makes every packet in Python (45 to
55 us each), and a client reading the pty got what it asked for up to 6000 packets a second
with delta fields and 8000 without, then fell behind (6400 of 10000, 8500 of 10000), on a
busy two-core machine. Two thirds of the lower figure leaves room for a slower board.
A capture written to a file obeys the same bounds, so that every rate the simulator accepts
is one it can also serve live.
"""

from __future__ import annotations

import math

__all__ = ["MAX_PACKETS_PER_S", "MAX_SECONDS", "checked_rate", "check_rates", "checked_seconds"]

# sensor and filter packets together, per second
MAX_PACKETS_PER_S = 4000.0
# a year: any longer run is a mistake, and every wait stays far below what a timer takes
MAX_SECONDS = 365 * 24 * 3600.0


def _number(name: str, value: object) -> float:
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{name} must be a number, not {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    return number


def checked_rate(name: str, value: object) -> float:
    """A stream's rate in packets per second: 0 (the stream is off) up to the ceiling."""
    rate = _number(name, value)
    if not 0 <= rate <= MAX_PACKETS_PER_S:
        raise ValueError(f"{name} must be from 0 (off) to {MAX_PACKETS_PER_S:g} packets per second, "
                         f"not {value!r}")
    return rate


def check_rates(sensor_hz: float, filter_hz: float) -> None:
    """Both streams together stay within the rate the simulator keeps."""
    if sensor_hz + filter_hz > MAX_PACKETS_PER_S:
        raise ValueError(f"sensor and filter rates together must be at most {MAX_PACKETS_PER_S:g} packets "
                         f"per second, the most the simulator keeps up with (asked {sensor_hz:g} + "
                         f"{filter_hz:g})")


def checked_seconds(name: str, value: object) -> float:
    """A duration: 0 up to a year."""
    seconds = _number(name, value)
    if not 0 <= seconds <= MAX_SECONDS:
        raise ValueError(f"{name} must be from 0 to {MAX_SECONDS:.0f} seconds (a year), not {value!r}")
    return seconds
