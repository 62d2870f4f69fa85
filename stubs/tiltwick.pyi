"""Type information for the tiltwick extension module.

The reading and packet types below exist for type checkers only; the module has no such
attributes at run time. Import them under ``typing.TYPE_CHECKING``::

    from typing import TYPE_CHECKING
    if TYPE_CHECKING:
        from tiltwick import Packet, Vector
"""

from typing import Literal, TypedDict, Union, final, type_check_only

__all__ = ["parse_data_stream_py", "AHRSClient", "BufferedAHRSClient"]

_Validity = Literal["Valid", "Invalid"]

# Reading dicts, by field shape. Every float is the value exactly as the device sent it
# (single-precision values widened exactly); validity entries are "Valid" or "Invalid". Each
# dict type is final, so that a type checker tells the shapes of a read_packet() result apart
# by their keys ("x" in reading, "valid" in reading).

@type_check_only
class _XyzKeys(TypedDict):
    x: float
    y: float
    z: float

@type_check_only
class _QuaternionKeys(TypedDict):
    x: float
    y: float
    z: float
    w: float

@type_check_only
class _EulerKeys(TypedDict):
    roll: float
    pitch: float
    yaw: float

@type_check_only
class _MatrixKeys(TypedDict):
    m11: float
    m12: float
    m13: float
    m21: float
    m22: float
    m23: float
    m31: float
    m32: float
    m33: float

@final
@type_check_only
class Vector(_XyzKeys): ...

@final
@type_check_only
class VectorValid(_XyzKeys):
    valid: _Validity

@final
@type_check_only
class Quaternion(_QuaternionKeys): ...

@final
@type_check_only
class QuaternionValid(_QuaternionKeys):
    valid: _Validity

@final
@type_check_only
class Euler(_EulerKeys): ...

@final
@type_check_only
class EulerValid(_EulerKeys):
    valid: _Validity

@final
@type_check_only
class Matrix(_MatrixKeys): ...

@final
@type_check_only
class MatrixValid(_MatrixKeys):
    valid: _Validity

@final
@type_check_only
class AmbientPressure(TypedDict):
    ambient_pressure: float

@final
@type_check_only
class CorrelationTimestamp(TypedDict):
    gps_time_of_week: float
    gps_week: int
    timestamp_flags: int

@final
@type_check_only
class FilterStatus(TypedDict):
    filter_state: int
    dynamics_mode: int
    status_flags: int

@final
@type_check_only
class WeekTime(TypedDict):
    time_of_week: float
    week: int
    valid_flags: _Validity

@final
@type_check_only
class PressureAltitude(TypedDict):
    pressure_altitude: float
    valid: _Validity

@final
@type_check_only
class GravityMagnitude(TypedDict):
    gravity_magnitude: float
    valid: _Validity

_Reading = Union[
    Vector, VectorValid, Quaternion, QuaternionValid, Euler, EulerValid, Matrix, MatrixValid,
    AmbientPressure, CorrelationTimestamp, FilterStatus, WeekTime, PressureAltitude, GravityMagnitude,
]

@final
@type_check_only
class Packet(TypedDict, total=False):
    """The readings of one packet: "type" plus one entry per alternative present. An empty
    dict means a packet without readings (or, from AHRSClient.read, nothing read)."""

    type: Literal["sensor", "estimate"]
    # sensor set
    ScaledAccVector: Vector
    ScaledGyroVector: Vector
    ScaledMageVector: Vector
    DeltaThetaVector: Vector
    DeltaVelocityVector: Vector
    ScaledAmbientPressure: AmbientPressure
    CFOrientationMatrix: Matrix
    CFQuaternion: Quaternion
    CFEulerAngles: Euler
    CFStabilizedNorthVector: Vector
    CFStabilizedUpVector: Vector
    GPSCorrelationTimestamp: CorrelationTimestamp
    # estimation-filter set
    FilterStatus: FilterStatus
    GPSTimestamp: WeekTime
    OrientationQuaternion: QuaternionValid
    OrientationEuler: EulerValid
    AttitudeUncertaintyEuler: EulerValid
    AttitudeUncertaintyQuaternion: QuaternionValid
    OrientationMatrix: MatrixValid
    CompensatedAngularRate: VectorValid
    GyroBias: VectorValid
    GyroBiasUncertainty: VectorValid
    CompensatedAcceleration: VectorValid
    LinearAcceleration: VectorValid
    PressureAltitude: PressureAltitude
    GravityVector: VectorValid
    WGS84LocalGravityMagnitude: GravityMagnitude

def parse_data_stream_py(filename: str) -> None:
    """Prints the readings of every packet of a recorded capture, one line per packet, on
    standard output; the closing line goes to standard error. Raises OSError when the file
    cannot be opened."""

@final
class AHRSClient:
    """Synchronous client: every call does its work on the calling thread."""

    def __new__(cls) -> "AHRSClient": ...
    def open(self, serial_device: str, baud_rate: int) -> None:
        """Opens the serial line (raw 8N1, exclusive, any rate the driver accepts).
        Raises ValueError("AHRSError: SerialPortError: ...")."""
    def open_file(self, filename: str) -> None:
        """Replays a recorded capture. Raises ValueError("AHRSError: IOError: ...")."""
    def configure(self) -> None:
        """Sets the device to idle and switches both data streams off."""
    def start_stream(self) -> None: ...
    def read(self) -> Packet:
        """The readings of one packet as a dict; {} when nothing could be read."""
    def read_packet(self) -> list[_Reading]:
        """The readings of one packet in payload order. Raises ValueError on read errors."""

@final
class BufferedAHRSClient:
    """A background thread reads the device into a bounded queue; take() never waits."""

    def __new__(cls, serial_device: str, baud_rate: int, buffer_size: int, verbose: bool) -> "BufferedAHRSClient": ...
    def take(self) -> list[tuple[int, Packet]]:
        """Everything queued since the last call, oldest first: (wall-clock ms, packet)."""
