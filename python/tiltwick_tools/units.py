"""The units in which the device sends each reading field.

``tiltwick`` hands over every value exactly as the device sent it and converts nothing, so
these are the units of the values in its dicts. An empty unit is a pure number (a direction
cosine, a quaternion component); "code" and "bits" are an enumeration and a bit field.
"""

from __future__ import annotations

from .mip_wire import CATALOGUE

__all__ = ["UNITS", "unit_of", "label"]

# alternative -> the unit of each of its reading fields, or one unit for all of them; the field
# names themselves come from the catalogue
_UNIT: dict[str, str | dict[str, str]] = {
    # sensor set
    "ScaledAccVector": "g",
    "ScaledGyroVector": "rad/s",
    "ScaledMageVector": "gauss",
    "DeltaThetaVector": "rad",
    "DeltaVelocityVector": "g*s",
    "ScaledAmbientPressure": "mbar",
    "CFOrientationMatrix": "",
    "CFQuaternion": "",
    "CFEulerAngles": "rad",
    "CFStabilizedNorthVector": "gauss",
    "CFStabilizedUpVector": "g",
    "GPSCorrelationTimestamp": {"gps_time_of_week": "s", "gps_week": "weeks", "timestamp_flags": "bits"},
    # estimation-filter set
    "FilterStatus": {"filter_state": "code", "dynamics_mode": "code", "status_flags": "bits"},
    "GPSTimestamp": {"time_of_week": "s", "week": "weeks"},
    "OrientationQuaternion": "",
    "OrientationEuler": "rad",
    "AttitudeUncertaintyEuler": "rad",
    "AttitudeUncertaintyQuaternion": "",
    "OrientationMatrix": "",
    "CompensatedAngularRate": "rad/s",
    "GyroBias": "rad/s",
    "GyroBiasUncertainty": "rad/s",
    "CompensatedAcceleration": "m/s^2",
    "LinearAcceleration": "m/s^2",
    "PressureAltitude": "m",
    "GravityVector": "m/s^2",
    "WGS84LocalGravityMagnitude": "m/s^2",
}


def _units_of(alternative: str) -> dict[str, str]:
    """Field -> unit of one alternative, validity entries left out (they have none). A field
    without a unit, or a unit for a field the catalogue lacks, fails at import."""
    fields = [name for name, kind in CATALOGUE[alternative].fields if kind != "vf"]
    unit = _UNIT[alternative]
    if isinstance(unit, str):
        return dict.fromkeys(fields, unit)
    if list(unit) != fields:
        raise AssertionError(f"units of {alternative} name {list(unit)}, its fields are {fields}")
    return unit


# alternative -> field -> unit, for every alternative of the catalogue
UNITS: dict[str, dict[str, str]] = {alternative: _units_of(alternative) for alternative in CATALOGUE}
if set(_UNIT) != set(CATALOGUE):
    raise AssertionError(f"units for alternatives not in the catalogue: {sorted(set(_UNIT) - set(CATALOGUE))}")


def unit_of(alternative: str, field: str) -> str:
    """The unit of one field; "" for pure numbers and for validity entries."""
    return UNITS.get(alternative, {}).get(field, "")


def label(alternative: str, field: str) -> str:
    """A column label such as "OrientationEuler.roll [rad]" (no brackets without a unit)."""
    unit = unit_of(alternative, field)
    return f"{alternative}.{field} [{unit}]" if unit else f"{alternative}.{field}"
