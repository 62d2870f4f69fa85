"""Independent encoder (and small reference parser) for MIP packets.

Written from the wire format alone; it never imports the extension module,
so tests, the capture generator and the device simulator can use it as an
independent peer.

Wire format of one packet::

    75 65 <descriptor set> <payload length n> <n payload bytes> <A> <B>

A and B are the two 8-bit sums of a Fletcher checksum over every byte from
the first sync byte through the last payload byte (A += b; B += A, both
mod 256), sent A first.

The payload is a run of data fields::

    <field length L> <field descriptor> <L - 2 data bytes>

where L counts the whole field including its own byte and the descriptor.
All multi-byte values are big-endian.
"""

from __future__ import annotations

import enum
import operator
import struct
from dataclasses import dataclass, field as dc_field
from typing import Any, Iterator, NamedTuple

__all__ = [
    "SYNC", "SENSOR_SET", "FILTER_SET", "DESCRIPTOR_SETS",
    "checksum", "frame", "field", "raw_field", "parse_fields",
    "Alternative", "CATALOGUE", "BY_DESCRIPTOR", "SENSOR_ALTERNATIVES", "FILTER_ALTERNATIVES",
    "ValidFlag", "encode_values", "encode_reading", "decode_field", "decode_payload", "f32",
    "Frame", "FrameParser", "FrameError", "iter_frames",
    "SET_IDLE", "SENSOR_STREAM_OFF", "FILTER_STREAM_OFF", "CONFIGURE_SEQUENCE",
    "stream_control", "ack_reply", "ACK_FIELD_DESCRIPTOR", "ACK_OK", "NACK_REFUSED",
    "BASE_COMMAND_SET", "SETTINGS_COMMAND_SET", "PING", "SET_TO_IDLE", "RESUME", "STREAM_CONTROL",
    "FUNCTION_APPLY", "STREAM_SELECTOR_SENSOR", "STREAM_SELECTOR_GNSS", "STREAM_SELECTOR_FILTER",
    "MAX_PAYLOAD", "MAX_PACKET",
]

SYNC = b"\x75\x65"
SENSOR_SET = 0x80
FILTER_SET = 0x82

# The sixteen descriptor set codes a packet may carry, with their names.
DESCRIPTOR_SETS: dict[int, str] = {
    0x01: "CommandBase",
    0x0C: "Command3DM",
    0x0D: "CommandNav",
    0x0E: "CommandGNSS",
    0x0F: "CommandRTK",
    0x7F: "CommandSys",
    0x80: "DataSensor",
    0x81: "DataGNSS",
    0x82: "DataEstimationFilter",
    0x90: "DataDisplacement",
    0x91: "DataGNSS1",
    0x92: "DataGNSS2",
    0x93: "DataGNSS3",
    0x94: "DataGNSS4",
    0x95: "DataGNSS5",
    0xA0: "DataSystem",
}


# --------------------------------------------------------------------------
# Checksum and framing
# --------------------------------------------------------------------------

def checksum(data: bytes | bytearray) -> bytes:
    """Fletcher checksum of ``data`` (sync bytes through last payload byte).

    Returns the two checksum bytes as sent on the wire: A, then B.

    A is the plain byte sum; B is the sum of the running values of A, which
    equals sum(b[i] * (n - i)). Computing it that way keeps this fast enough
    for the simulator at a few thousand packets per second.
    """
    n = len(data)
    a = sum(data) & 0xFF
    b = sum(map(operator.mul, data, range(n, 0, -1))) & 0xFF
    return bytes((a, b))


def frame(descriptor_set: int, payload: bytes) -> bytes:
    """Complete packet: sync, descriptor set, length, payload, checksum."""
    if not 0 <= descriptor_set <= 0xFF:
        raise ValueError(f"descriptor set out of range: {descriptor_set}")
    payload = bytes(payload)
    if len(payload) > MAX_PAYLOAD:
        raise ValueError(f"payload of {len(payload)} bytes does not fit in one packet")
    head = SYNC + bytes((descriptor_set, len(payload))) + payload
    return head + checksum(head)


def field(field_descriptor: int, data: bytes = b"") -> bytes:
    """One data field with a correct length byte (len(data) + 2)."""
    data = bytes(data)
    if len(data) + 2 > 255:
        raise ValueError(f"field data of {len(data)} bytes is too long")
    return bytes((len(data) + 2, field_descriptor)) + data


def raw_field(field_descriptor: int, data: bytes = b"", length: int | None = None) -> bytes:
    """A field whose length byte may lie about its size.

    ``length=None`` writes the honest length; any other value 0..255 is
    written verbatim, so tests can build short, long, zero-length or
    overrunning fields.
    """
    data = bytes(data)
    if length is None:
        length = len(data) + 2
    if not 0 <= length <= 255:
        raise ValueError(f"length byte out of range: {length}")
    return bytes((length, field_descriptor)) + data


def parse_fields(payload: bytes) -> list[tuple[int | None, bytes]]:
    """Split a payload into (field descriptor, data) pairs.

    Walks by length bytes the same lenient way a receiver does: a length
    byte of 0 advances by one byte, and a field running past the end of the
    payload is cut there. A field with no descriptor byte gives
    (None, b"").
    """
    out: list[tuple[int | None, bytes]] = []
    n = len(payload)
    o = 0
    while o < n:
        length = payload[o] or 1
        end = o + length
        body = payload[o + 1:min(end, n)]
        if body:
            out.append((body[0], bytes(body[1:])))
        else:
            out.append((None, b""))
        o = end
    return out


# --------------------------------------------------------------------------
# Reading catalogue
# --------------------------------------------------------------------------

class ValidFlag(enum.IntEnum):
    Invalid = 0
    Valid = 1


_TYPE_CODES = {"f32": "f", "f64": "d", "u16": "H", "vf": "H"}
_TYPE_SIZES = {"f32": 4, "f64": 8, "u16": 2, "vf": 2}


@dataclass(frozen=True)
class Alternative:
    """One reading alternative: where it lives and how its data is laid out."""

    name: str
    descriptor_set: int
    field_descriptor: int
    fields: tuple[tuple[str, str], ...]
    _struct: struct.Struct = dc_field(init=False, repr=False, compare=False)
    _header: bytes = dc_field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        for fname, ftype in self.fields:
            if ftype not in _TYPE_CODES:
                raise ValueError(f"{self.name}.{fname}: unknown type {ftype!r}")
        fmt = ">" + "".join(_TYPE_CODES[t] for _, t in self.fields)
        object.__setattr__(self, "_struct", struct.Struct(fmt))
        object.__setattr__(self, "_header", bytes((self._struct.size + 2, self.field_descriptor)))

    @property
    def kind(self) -> str:
        """'Sensor' for the sensor set, 'Estimate' for the estimation-filter set."""
        return "Sensor" if self.descriptor_set == SENSOR_SET else "Estimate"

    @property
    def field_names(self) -> tuple[str, ...]:
        return tuple(n for n, _ in self.fields)

    @property
    def data_size(self) -> int:
        """Number of data bytes after the field descriptor."""
        return self._struct.size

    @property
    def field_length(self) -> int:
        """Length byte of a field carrying exactly the data bytes."""
        return self._struct.size + 2

    def pack_field(self, *numbers: float) -> bytes:
        """Fast path: complete field from plain numbers in wire order.

        Validity words must already be ints (True/False work too). No
        checking beyond what struct does; used by the simulator.
        """
        return self._header + self._struct.pack(*numbers)

    def unpack_data(self, data: bytes) -> tuple[Any, ...]:
        """Raw numbers from exactly ``data_size`` bytes (no validity check)."""
        return self._struct.unpack(data)


def _alt(name: str, dset: int, fd: int, layout: str) -> Alternative:
    pairs = (p.split(":") for p in layout.split())
    return Alternative(name, dset, fd, tuple((n, t) for n, t in pairs))


_XYZ = "x:f32 y:f32 z:f32"
_XYZV = _XYZ + " valid:vf"
_MATRIX = " ".join(f"m{r}{c}:f32" for r in (1, 2, 3) for c in (1, 2, 3))

# Declaration order matters to receivers only for ties, which cannot happen
# since a descriptor byte is unique within its set; it is kept as listed in
# the data model anyway so that iteration order is meaningful.
SENSOR_ALTERNATIVES: tuple[Alternative, ...] = (
    _alt("ScaledAccVector", SENSOR_SET, 0x04, _XYZ),
    _alt("ScaledGyroVector", SENSOR_SET, 0x05, _XYZ),
    _alt("ScaledMageVector", SENSOR_SET, 0x06, _XYZ),
    _alt("DeltaThetaVector", SENSOR_SET, 0x07, _XYZ),
    _alt("DeltaVelocityVector", SENSOR_SET, 0x08, _XYZ),
    _alt("ScaledAmbientPressure", SENSOR_SET, 0x17, "ambient_pressure:f32"),
    _alt("CFOrientationMatrix", SENSOR_SET, 0x09, _MATRIX),
    _alt("CFQuaternion", SENSOR_SET, 0x0A, "x:f32 y:f32 z:f32 w:f32"),
    _alt("CFEulerAngles", SENSOR_SET, 0x0C, "roll:f32 pitch:f32 yaw:f32"),
    _alt("CFStabilizedNorthVector", SENSOR_SET, 0x10, _XYZ),
    _alt("CFStabilizedUpVector", SENSOR_SET, 0x11, _XYZ),
    _alt("GPSCorrelationTimestamp", SENSOR_SET, 0x12,
         "gps_time_of_week:f64 gps_week:u16 timestamp_flags:u16"),
)

FILTER_ALTERNATIVES: tuple[Alternative, ...] = (
    _alt("FilterStatus", FILTER_SET, 0x10, "filter_state:u16 dynamics_mode:u16 status_flags:u16"),
    _alt("GPSTimestamp", FILTER_SET, 0x11, "time_of_week:f64 week:u16 valid_flags:vf"),
    _alt("OrientationQuaternion", FILTER_SET, 0x03, "x:f32 y:f32 z:f32 w:f32 valid:vf"),
    _alt("OrientationEuler", FILTER_SET, 0x05, "roll:f32 pitch:f32 yaw:f32 valid:vf"),
    _alt("AttitudeUncertaintyEuler", FILTER_SET, 0x0A, "roll:f32 pitch:f32 yaw:f32 valid:vf"),
    _alt("AttitudeUncertaintyQuaternion", FILTER_SET, 0x12, "x:f32 y:f32 z:f32 w:f32 valid:vf"),
    _alt("OrientationMatrix", FILTER_SET, 0x04, _MATRIX + " valid:vf"),
    _alt("CompensatedAngularRate", FILTER_SET, 0x0E, _XYZV),
    _alt("GyroBias", FILTER_SET, 0x06, _XYZV),
    _alt("GyroBiasUncertainty", FILTER_SET, 0x0B, _XYZV),
    _alt("CompensatedAcceleration", FILTER_SET, 0x1C, _XYZV),
    _alt("LinearAcceleration", FILTER_SET, 0x0D, _XYZV),
    _alt("PressureAltitude", FILTER_SET, 0x21, "pressure_altitude:f32 valid:vf"),
    _alt("GravityVector", FILTER_SET, 0x13, _XYZV),
    _alt("WGS84LocalGravityMagnitude", FILTER_SET, 0x0F, "gravity_magnitude:f32 valid:vf"),
)

CATALOGUE: dict[str, Alternative] = {a.name: a for a in SENSOR_ALTERNATIVES + FILTER_ALTERNATIVES}
BY_DESCRIPTOR: dict[tuple[int, int], Alternative] = {
    (a.descriptor_set, a.field_descriptor): a for a in CATALOGUE.values()
}
assert len(CATALOGUE) == 27 and len(BY_DESCRIPTOR) == 27

# Keyword-only options of encode_reading; no field may share these names.
_ENCODE_OPTIONS = ("length", "trailing")
assert not {n for a in CATALOGUE.values() for n in a.field_names} & set(_ENCODE_OPTIONS)


def f32(x: float) -> float:
    """``x`` rounded to the nearest single-precision value (as a Python float)."""
    value: float = struct.unpack(">f", struct.pack(">f", x))[0]
    return value


def _encode_value(alt: Alternative, fname: str, ftype: str, value: Any) -> bytes:
    size = _TYPE_SIZES[ftype]
    where = f"{alt.name}.{fname}"
    if isinstance(value, (bytes, bytearray, memoryview)):
        # Raw wire bytes, e.g. a NaN with a particular payload.
        raw = bytes(value)
        if len(raw) != size:
            raise ValueError(f"{where}: raw value must be {size} bytes, got {len(raw)}")
        return raw
    if ftype == "f32":
        return struct.pack(">f", float(value))
    if ftype == "f64":
        return struct.pack(">d", float(value))
    if ftype == "vf":
        if isinstance(value, str):
            try:
                value = ValidFlag[value]
            except KeyError:
                raise ValueError(f"{where}: validity must be 'Valid' or 'Invalid', got {value!r}") from None
        # bool, ValidFlag or a raw word (2..65535 are deliberately allowed)
        value = int(value)
    if isinstance(value, float) or not isinstance(value, int):
        raise TypeError(f"{where}: expected an int, got {value!r}")
    if not 0 <= value <= 0xFFFF:
        raise ValueError(f"{where}: {value} does not fit in 16 bits")
    return struct.pack(">H", value)


def encode_values(name: str, *args: Any, **values: Any) -> bytes:
    """Data bytes (after the field descriptor) of one reading.

    Values may be given in wire order by position, by field name, or mixed;
    every field must be given exactly once. Accepted values:

    * f32/f64: any real number, or raw big-endian bytes of the right width;
    * u16: int 0..65535, or 2 raw bytes;
    * vf: True/False, "Valid"/"Invalid", ValidFlag, or any int 0..65535 (so
      invalid validity words such as 2 can be written), or 2 raw bytes.
    """
    try:
        alt = CATALOGUE[name]
    except KeyError:
        raise KeyError(f"unknown reading alternative {name!r}") from None
    names = alt.field_names
    if len(args) > len(names):
        raise TypeError(f"{name} takes {len(names)} values, got {len(args)}")
    given = dict(zip(names, args))
    for k, v in values.items():
        if k not in names:
            raise TypeError(f"{name} has no field {k!r} (fields: {', '.join(names)})")
        if k in given:
            raise TypeError(f"{name}: value for {k!r} given twice")
        given[k] = v
    missing = [n for n in names if n not in given]
    if missing:
        raise TypeError(f"{name}: missing value(s) for {', '.join(missing)}")
    return b"".join(_encode_value(alt, n, t, given[n]) for n, t in alt.fields)


def encode_reading(name: str, *args: Any, length: int | None = None, trailing: bytes = b"", **values: Any) -> bytes:
    """Complete field bytes (length byte, descriptor, data) of one reading.

    ``trailing`` bytes are appended after the data and counted in the honest
    length byte (a longer-than-needed field); ``length`` overrides the
    length byte with any value 0..255 (a lying field).
    """
    data = encode_values(name, *args, **values) + bytes(trailing)
    return raw_field(CATALOGUE[name].field_descriptor, data, length)


# --------------------------------------------------------------------------
# Reference decoder (same lenient rules a receiver applies)
# --------------------------------------------------------------------------

def decode_field(descriptor_set: int, body: bytes) -> tuple[str, dict[str, Any]] | None:
    """Decode one field's bytes (descriptor byte + data, already cut).

    Returns (alternative name, {field: value}) with floats as Python floats,
    u16 as int and validity as "Valid"/"Invalid"; None when the field does
    not decode (unknown descriptor, too short, bad validity word).
    Surplus bytes are ignored.
    """
    if not body:
        return None
    alt = BY_DESCRIPTOR.get((descriptor_set, body[0]))
    if alt is None or len(body) - 1 < alt.data_size:
        return None
    nums = alt.unpack_data(bytes(body[1:1 + alt.data_size]))
    out: dict[str, Any] = {}
    for (fname, ftype), v in zip(alt.fields, nums):
        if ftype == "vf":
            if v > 1:
                return None
            v = ValidFlag(v).name
        elif ftype == "f32" and v != v:
            v = _quiet(v)
        out[fname] = v
    return alt.name, out


_DOUBLE = struct.Struct(">d")
_DOUBLE_BITS = struct.Struct(">Q")


def _quiet(nan: float) -> float:
    """A single-precision NaN widened as the processor widens it, and so as the module gives
    it: quiet, with its sign and payload. CPython 3.14 and later keep a signalling NaN
    signalling when struct widens it; older versions quieten it."""
    bits = _DOUBLE_BITS.unpack(_DOUBLE.pack(nan))[0] | 1 << 51
    value: float = _DOUBLE.unpack(_DOUBLE_BITS.pack(bits))[0]
    return value


def decode_payload(descriptor_set: int, payload: bytes) -> list[tuple[str, dict[str, Any]]]:
    """All readings of one packet payload, in payload order."""
    if descriptor_set not in (SENSOR_SET, FILTER_SET):
        return []
    out: list[tuple[str, dict[str, Any]]] = []
    n = len(payload)
    o = 0
    while o < n:
        end = o + (payload[o] or 1)
        r = decode_field(descriptor_set, payload[o + 1:min(end, n)])
        if r is not None:
            out.append(r)
        o = end
    return out


# --------------------------------------------------------------------------
# Frame splitting
# --------------------------------------------------------------------------

class Frame(NamedTuple):
    offset: int          # position of the first sync byte in the stream
    descriptor_set: int
    payload: bytes

    @property
    def size(self) -> int:
        return len(self.payload) + 6


class FrameError(ValueError):
    pass


class FrameParser:
    """Incremental frame splitter for a byte stream arriving in pieces.

    ``feed`` returns the frames completed by the new bytes. Bytes that do not
    start a well-formed frame are skipped one at a time (searching for the
    next sync pair), counted in ``skipped``. A candidate frame whose checksum
    does not match is skipped the same way (one byte, then search again), so
    a real frame hidden behind damaged bytes is still found. The descriptor
    set byte is not checked against the known sets.
    """

    def __init__(self) -> None:
        self._buf = bytearray()
        self._base = 0            # stream offset of _buf[0]
        self.skipped = 0          # bytes that were not part of any good frame
        self.bad_checksums = 0

    def feed(self, data: bytes) -> list[Frame]:
        buf = self._buf
        buf += data
        out: list[Frame] = []
        i = 0
        n = len(buf)
        while True:
            j = buf.find(SYNC, i)
            if j < 0:
                # keep a trailing 0x75 that may be the start of the next sync
                keep = n - 1 if n > i and buf[n - 1] == 0x75 else n
                self.skipped += keep - i
                i = keep
                break
            if j > i:
                self.skipped += j - i
                i = j
            if n - i < 4:
                break
            end = i + 6 + buf[i + 3]
            if end > n:
                break
            if bytes(buf[end - 2:end]) == checksum(buf[i:end - 2]):
                out.append(Frame(self._base + i, buf[i + 2], bytes(buf[i + 4:end - 2])))
                i = end
            else:
                self.bad_checksums += 1
                self.skipped += 1
                i += 1
        del buf[:i]
        self._base += i
        return out

    @property
    def pending(self) -> int:
        """Bytes held back because they may begin an unfinished frame."""
        return len(self._buf)


def iter_frames(data: bytes, *, strict: bool = False) -> Iterator[Frame]:
    """Frames found in ``data``.

    Non-strict: resynchronising scan as in FrameParser; an unfinished frame
    at the end is ignored. Strict: ``data`` must be packets back to back and
    nothing else; the first byte that is not the start of a well-formed frame
    (or an unfinished last frame) raises FrameError.
    """
    if not strict:
        p = FrameParser()
        yield from p.feed(data)
        return
    data = bytes(data)
    n = len(data)
    i = 0
    while i < n:
        if data[i:i + 2] != SYNC:
            raise FrameError(f"no sync bytes at offset {i}: {data[i:i + 2].hex(' ')}")
        if n - i < 6 or n - i < 6 + data[i + 3]:
            raise FrameError(f"unfinished frame at offset {i} ({n - i} bytes left)")
        end = i + 6 + data[i + 3]
        want = checksum(data[i:end - 2])
        if data[end - 2:end] != want:
            raise FrameError(f"bad checksum at offset {i}: {data[end - 2:end].hex()} != {want.hex()}")
        yield Frame(i, data[i + 2], data[i + 4:end - 2])
        i = end


# --------------------------------------------------------------------------
# Commands and replies
# --------------------------------------------------------------------------

# command sets, and the commands the tools and the simulator know in each
BASE_COMMAND_SET = 0x01
SETTINGS_COMMAND_SET = 0x0C
PING = 0x01             # base set
SET_TO_IDLE = 0x02      # base set
RESUME = 0x06           # base set
STREAM_CONTROL = 0x11   # settings set

# a reply carries one ack field per command: <command descriptor> <error code>
ACK_FIELD_DESCRIPTOR = 0xF1
ACK_OK = 0x00
NACK_REFUSED = 0x01

# the longest packet: sync, set, length, a full payload and the checksum
MAX_PAYLOAD = 255
MAX_PACKET = 4 + MAX_PAYLOAD + 2

# function and stream selectors of the data stream control command
FUNCTION_APPLY = 0x01
STREAM_SELECTOR_SENSOR = 0x01
STREAM_SELECTOR_GNSS = 0x02
STREAM_SELECTOR_FILTER = 0x03


def stream_control(stream_selector: int, enable: bool, function: int = FUNCTION_APPLY) -> bytes:
    """Data stream control command packet (function 0x01 = apply)."""
    return frame(SETTINGS_COMMAND_SET,
                 field(STREAM_CONTROL, bytes((function, stream_selector, 1 if enable else 0))))


SET_IDLE = frame(BASE_COMMAND_SET, field(SET_TO_IDLE))
SENSOR_STREAM_OFF = stream_control(STREAM_SELECTOR_SENSOR, False)
FILTER_STREAM_OFF = stream_control(STREAM_SELECTOR_FILTER, False)
CONFIGURE_SEQUENCE = SET_IDLE + SENSOR_STREAM_OFF + FILTER_STREAM_OFF


def ack_reply(descriptor_set: int, command_descriptor: int | list[tuple[int, int]], error_code: int = ACK_OK) -> bytes:
    """Reply packet with ack/nack field(s) ``04 F1 <command> <error code>``.

    ``command_descriptor`` may also be a list of (command descriptor, error
    code) pairs for a reply to a packet holding several commands.
    """
    if isinstance(command_descriptor, int):
        pairs = [(command_descriptor, error_code)]
    else:
        pairs = command_descriptor
    return frame(descriptor_set, b"".join(field(ACK_FIELD_DESCRIPTOR, bytes(p)) for p in pairs))
