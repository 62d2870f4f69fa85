"""Companions of the tiltwick module, installed with it: a simulated device to test programs
without hardware, capture files to replay, and the tiltwick-sim, tiltwick-record,
tiltwick-dump, tiltwick-csv and tiltwick-plot commands. Pure Python; the tiltwick module itself
is used only to replay captures.

``tiltwick_tools.mip_wire`` is a model of the wire format written from the format alone. It
never imports the module, and neither does importing this package: the names below are loaded
on first use, so the model stays an independent oracle for the module's tests."""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

__all__ = ["SimulatedDevice", "make_capture", "packets", "quiet", "ReplayError", "UNITS"]

# Where each public name lives.
_HOMES = {"SimulatedDevice": "simulator", "make_capture": "capture", "packets": "replay",
          "quiet": "replay", "ReplayError": "replay", "UNITS": "units"}

if TYPE_CHECKING:
    from .capture import make_capture
    from .replay import ReplayError, packets, quiet
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
