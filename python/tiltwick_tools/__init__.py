"""Companions of the tiltwick module, installed with it: a simulated device to test programs
without hardware, capture files to replay, and the commands

- ``tiltwick-sim``: a simulated device on a pseudo-terminal, or a capture file of what it sends;
- ``tiltwick-record``: records what a device sends into a capture file;
- ``tiltwick-dump``: prints a capture as text, one line per packet;
- ``tiltwick-csv``: writes the readings of a capture as CSV;
- ``tiltwick-plot``: plots the attitude in a capture into a PNG file;
- ``tiltwick-streams``: switches the device's data streams on or off;
- ``tiltwick-doctor``: lists the serial ports, or examines the line a device is on;
- ``tiltwick-monitor``: shows a device live.

Each also runs as ``python -m tiltwick_tools NAME`` (``python -m tiltwick_tools`` lists them).
Pure Python; the commands that read the line or replay captures use the tiltwick module.

``tiltwick_tools.mip_wire`` is a model of the wire format written from the format alone. It
never imports the module, and neither does importing this package: the names below are loaded
on first use, so the model stays an independent oracle for the module's tests."""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

__all__ = ["SimulatedDevice", "make_capture", "packets", "quiet", "ReplayError", "UNITS"]

# Where each public name lives.
_HOMES = {"SimulatedDevice": "simulator", "make_capture": "capture", "packets": "replay",
          "quiet": "redirect", "ReplayError": "replay", "UNITS": "units"}

if TYPE_CHECKING:
    from .capture import make_capture
    from .redirect import quiet
    from .replay import ReplayError, packets
    from .simulator import SimulatedDevice
    from .units import UNITS


def __getattr__(name: str) -> Any:
    if name not in _HOMES:
        raise AttributeError(f"module 'tiltwick_tools' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
