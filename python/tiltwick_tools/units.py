"""The units in which the device sends each reading field.

``tiltwick`` hands over every value exactly as the device sent it and converts nothing, so
these are the units of the values in its dicts. An empty unit is a pure number (a direction
cosine, a quaternion component); "code" and "bits" are an enumeration and a bit field.
"""

from __future__ import annotations

__all__ = ["UNITS", "unit_of", "label"]

_XYZ = ("x", "y", "z")
_QUATERNION = ("x", "y", "z", "w")
_EULER = ("roll", "pitch", "yaw")
_MATRIX = tuple(f"m{r}{c}" for r in "123" for c in "123")


def _same(unit: str, fields: tuple[str, ...]) -> dict[str, str]:
    return dict.fromkeys(fields, unit)


# alternative -> field -> unit (validity entries have none and are left out)
UNITS: dict[str, dict[str, str]] = {
    # sensor set
    "ScaledAccVector": _same("g", _XYZ),
    "ScaledGyroVector": _same("rad/s", _XYZ),
    "ScaledMageVector": _same("gauss", _XYZ),
    "DeltaThetaVector": _same("rad", _XYZ),
    "DeltaVelocityVector": _same("g*s", _XYZ),
    "ScaledAmbientPressure": {"ambient_pressure": "mbar"},
    "CFOrientationMatrix": _same("", _MATRIX),
    "CFQuaternion": _same("", _QUATERNION),
    "CFEulerAngles": _same("rad", _EULER),
    "CFStabilizedNorthVector": _same("gauss", _XYZ),
    "CFStabilizedUpVector": _same("g", _XYZ),
    "GPSCorrelationTimestamp": {"gps_time_of_week": "s", "gps_week": "weeks", "timestamp_flags": "bits"},
    # estimation-filter set
    "FilterStatus": {"filter_state": "code", "dynamics_mode": "code", "status_flags": "bits"},
    "GPSTimestamp": {"time_of_week": "s", "week": "weeks"},
    "OrientationQuaternion": _same("", _QUATERNION),
    "OrientationEuler": _same("rad", _EULER),
    "AttitudeUncertaintyEuler": _same("rad", _EULER),
    "AttitudeUncertaintyQuaternion": _same("", _QUATERNION),
    "OrientationMatrix": _same("", _MATRIX),
    "CompensatedAngularRate": _same("rad/s", _XYZ),
    "GyroBias": _same("rad/s", _XYZ),
    "GyroBiasUncertainty": _same("rad/s", _XYZ),
    "CompensatedAcceleration": _same("m/s^2", _XYZ),
    "LinearAcceleration": _same("m/s^2", _XYZ),
    "PressureAltitude": {"pressure_altitude": "m"},
    "GravityVector": _same("m/s^2", _XYZ),
    "WGS84LocalGravityMagnitude": {"gravity_magnitude": "m/s^2"},
}


def unit_of(alternative: str, field: str) -> str:
    """The unit of one field; "" for pure numbers and for validity entries."""
    return UNITS.get(alternative, {}).get(field, "")


def label(alternative: str, field: str) -> str:
    """A column label such as "OrientationEuler.roll [rad]" (no brackets without a unit)."""
    unit = unit_of(alternative, field)
    return f"{alternative}.{field} [{unit}]" if unit else f"{alternative}.{field}"
