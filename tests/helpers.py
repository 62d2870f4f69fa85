"""Independent oracles for the tests, written from the wire format and tools/mip_wire.py alone:
the float text rule, the text form of a packet's readings, a model of what
parse_data_stream_py prints for any byte string, and an exact comparison of decoded values."""

import math
import struct
from decimal import Decimal
from fractions import Fraction

import mip_wire as mw
from tiltwick_tools.motion import imu_packet

EOF_LINE = "End of file: failed to fill whole buffer"
ERR = "Error parsing packet from file: "
EOF_IO = 'I/O error: Custom { kind: UnexpectedEof, message: "failed to fill whole buffer" }'
SHORT = 'short payload: Custom { kind: UnexpectedEof, message: "not enough bytes in reader" }'


def context(field):
    return f" (While parsing field '{field}' in MipPacket)"


def write_file(tmp_path, data, name="capture.bin"):
    path = tmp_path / name
    path.write_bytes(bytes(data))
    return str(path)


def f32_bits(x):
    return struct.unpack(">I", struct.pack(">f", x))[0]


def f32_of_bits(bits):
    return struct.unpack(">f", bits.to_bytes(4, "big"))[0]


def f64_of_bits(bits):
    return struct.unpack(">d", bits.to_bytes(8, "big"))[0]


def _f32_shortest(x):
    """Shortest decimal that reads back (round to nearest even) as the positive f32 `x`."""
    bits = f32_bits(x)
    value = Fraction(x)
    upper = Fraction(2**128) if bits == 0x7F7FFFFF else Fraction(f32_of_bits(bits + 1))
    low, high = (Fraction(f32_of_bits(bits - 1)) + value) / 2, (value + upper) / 2

    def reads_back(d):
        f = Fraction(d)
        return low < f < high or (bits % 2 == 0 and f in (low, high))

    for p in range(1, 10):
        nearest = Decimal("%.*e" % (p - 1, x))
        if reads_back(nearest):
            return nearest
        # At a power of two the interval is lopsided: the p-digit neighbour on x's other side may fit.
        step = Decimal(1).scaleb(nearest.adjusted() - p + 1)
        other = nearest + step if nearest < Decimal(x) else nearest - step
        if reads_back(other):
            return other
    raise AssertionError(f"no shortest form for {x!r}")


def float_text(x, width):
    """The text form of an F32 (width 32) or F64 (width 64) value."""
    if math.isnan(x):
        return "NaN"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if math.isinf(x):
        return sign + "inf"
    if x == 0:
        return sign + "0.0"
    d = (_f32_shortest(abs(x)) if width == 32 else Decimal(repr(abs(x)))).normalize()
    exponent = d.adjusted()
    if -4 <= exponent < 16:
        plain = format(d, "f")
        return sign + (plain if "." in plain else plain + ".0")
    digits = "".join(map(str, d.as_tuple().digits))
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{exponent}"


def value_text(value, wire_type):
    if wire_type == "f32":
        return float_text(value, 32)
    if wire_type == "f64":
        return float_text(value, 64)
    return str(value)  # U16 in decimal; validity already "Valid"/"Invalid"


def readings_text(descriptor_set, payload):
    """The line parse_data_stream_py prints for one packet, from mip_wire's decoder."""
    parts = []
    for name, values in mw.decode_payload(descriptor_set, payload):
        alt = mw.CATALOGUE[name]
        inner = ", ".join(f"{f}: {value_text(values[f], t)}" for f, t in alt.fields)
        parts.append(f"{alt.kind}({name} {{ {inner} }})")
    return "[" + ", ".join(parts) + "]"


def dump_model(data):
    """(stdout lines, closing stderr line) that parse_data_stream_py gives for a file of `data`."""
    data = bytes(data)
    lines, i, n = [], 0, len(data)
    while True:
        if n - i < 2:
            return lines, EOF_LINE
        if data[i:i + 2] != mw.SYNC:
            return lines, ERR + f"bad sync: expected 0x75 0x65, found 0x{data[i]:02x} 0x{data[i + 1]:02x}"
        if n - i < 3:
            return lines, ERR + EOF_IO + context("descriptor")
        dset = data[i + 2]
        if dset not in mw.DESCRIPTOR_SETS:
            return lines, ERR + f"bad descriptor set: Unexpected value for enum: {dset}" + context("descriptor")
        if n - i < 4:
            return lines, ERR + EOF_IO + context("payload_length")
        length = data[i + 3]
        if n - i - 4 < length:
            return lines, ERR + SHORT + context("bytes")
        end = i + 4 + length
        if n - end < 2:
            return lines, ERR + EOF_IO + context("checksum")
        received, computed = data[end:end + 2], mw.checksum(data[i:end])
        if received != computed:
            return lines, ERR + f"bad checksum: {received.hex().lstrip('0') or '0'} != {computed.hex().lstrip('0') or '0'}"
        lines.append(readings_text(dset, data[i + 4:end]))
        i = end + 2


def exact(obj):
    """A comparable form in which floats compare by their bits (NaN payloads, -0.0) and
    dicts by their items in order."""
    if isinstance(obj, float):
        return ("float", struct.pack(">d", obj))
    if isinstance(obj, dict):
        return ("dict", [(k, exact(v)) for k, v in obj.items()])
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [exact(v) for v in obj])
    return (type(obj).__name__, obj)


# Bit patterns that every float slot meets: NaNs with payloads and either sign (quiet and
# signalling), infinities, zeros, subnormals, the largest finite values.
SPECIAL_F32 = [0x7FC00000, 0xFFC00001, 0x7FA12345, 0xFF800001, 0x7F800000, 0xFF800000, 0x00000000,
               0x80000000, 0x00000001, 0x807FFFFF, 0x00800000, 0x7F7FFFFF, 0xFF7FFFFF, 0x3DCCCCCD]
SPECIAL_F64 = [0x7FF8000000000000, 0xFFF8000000000001, 0x7FF4000000000123, 0x7FF0000000000000,
               0xFFF0000000000000, 0x0000000000000000, 0x8000000000000000, 0x0000000000000001,
               0x800FFFFFFFFFFFFF, 0x7FEFFFFFFFFFFFFF, 0x4341C37937E08000]


def random_raw(rng, wire_type, k=0):
    """Wire bytes of one value: the k-th special pattern first, then random bits; validity
    words are 0 or 1."""
    if wire_type == "f32":
        bits = SPECIAL_F32[k] if k < len(SPECIAL_F32) else rng.getrandbits(32)
        return bits.to_bytes(4, "big")
    if wire_type == "f64":
        bits = SPECIAL_F64[k] if k < len(SPECIAL_F64) else rng.getrandbits(64)
        return bits.to_bytes(8, "big")
    if wire_type == "u16":
        return (0xFFFF if k == 0 else rng.getrandbits(16)).to_bytes(2, "big")
    return rng.choice([0, 1]).to_bytes(2, "big")


def as_list(packet):
    """What read_packet() gives for a framed packet: its readings' dicts in payload order."""
    return [values for _, values in mw.decode_payload(packet[2], packet[4:-2])]


def as_map(packet):
    """What read() gives: "type", then each alternative once, where first seen, with its last value."""
    out = {}
    for name, values in mw.decode_payload(packet[2], packet[4:-2]):
        out.setdefault("type", "sensor" if packet[2] == mw.SENSOR_SET else "estimate")
        out[name] = values
    return out



def imu_packets(count):
    """`count` packets of the usual configuration: accelerometer, gyro and magnetometer, 48 bytes."""
    return [imu_packet(k) for k in range(count)]
