"""Companions of the tiltwick module, installed with it: a simulated device to test programs
without hardware, capture files to replay, and the tiltwick-sim, tiltwick-record,
tiltwick-dump, tiltwick-csv and tiltwick-plot commands. Pure Python; the tiltwick module itself
is used only to replay captures."""

from .capture import make_capture
from .replay import ReplayError, packets, quiet
from .simulator import SimulatedDevice
from .units import UNITS

__all__ = ["SimulatedDevice", "make_capture", "packets", "quiet", "ReplayError", "UNITS"]
