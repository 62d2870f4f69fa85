"""Values come out bit for bit the same on every platform the module is built for.

The two packets below were encoded once with tiltwick_tools.mip_wire from the inputs noted beside
each reading, and the expected reprs were taken on x86_64. They are written out here rather
than recomputed, so that a run on another machine (ci/matrix runs this file on 32-bit and 64-bit
ARM) compares against x86_64's results and not against its own interpreter's. The inputs
probe where platforms part: subnormal floats (flushed to zero by NEON arithmetic), NaN payloads
and a signalling NaN through the float-to-double widening, values that need all 17 digits,
16-bit words with the top bit set, and the widest finite values.
"""

import os
import platform
import struct
import sysconfig

import pytest

import tiltwick
from helpers import write_file

# Sensor set (0x80):
#   ScaledAccVector          0.1, -9.80665, 1e-45 (smallest subnormal)
#   ScaledGyroVector         -0.0, raw 007fffff (largest subnormal), FLT_MAX
#   CFQuaternion             inf, -inf, raw 7fc12345 (quiet NaN, payload), raw ff800001 (signalling NaN)
#   GPSCorrelationTimestamp  604799.9999999999, 65535, 0x8000
#   ScaledAmbientPressure    1013.25
SENSOR_PACKET = bytes.fromhex(
    "756580420e043dcccccdc11ce80a000000010e0580000000007fffff7f7fffff120a7f800000ff8000007fc12345"
    "ff8000010e12412274ffffffffffffff80000617447d50008cff"
)
# Estimation-filter set (0x82):
#   GPSTimestamp             raw 0000000000000001 (smallest f64 subnormal), 32768, Valid
#   GPSTimestamp             -DBL_MAX, 1, Invalid
#   GPSTimestamp             raw 7ff0000000000001 (signalling NaN), 2, Valid
#   OrientationEuler         pi, -pi/2, 16777217.0 (rounds to 2^24 in f32), Invalid
#   FilterStatus             0, 1, 65535
#   WGS84LocalGravityMagnitude 9.80665, Valid
ESTIMATE_PACKET = bytes.fromhex(
    "7565824a0e110000000000000001800000010e11ffefffffffffffff000100000e117ff000000000000100020001"
    "100540490fdbbfc90fdb4b8000000000081000000001ffff080f411ce80a0001240e"
)

EXPECTED_REPRS = [
    [
        {"x": "0.10000000149011612", "y": "-9.806650161743164", "z": "1.401298464324817e-45"},
        {"x": "-0.0", "y": "1.1754942106924411e-38", "z": "3.4028234663852886e+38"},
        {"x": "inf", "y": "-inf", "z": "nan", "w": "nan"},
        {"gps_time_of_week": "604799.9999999999", "gps_week": "65535", "timestamp_flags": "32768"},
        {"ambient_pressure": "1013.25"},
    ],
    [
        {"time_of_week": "5e-324", "week": "32768", "valid_flags": "'Valid'"},
        {"time_of_week": "-1.7976931348623157e+308", "week": "1", "valid_flags": "'Invalid'"},
        {"time_of_week": "nan", "week": "2", "valid_flags": "'Valid'"},
        {"roll": "3.1415927410125732", "pitch": "-1.5707963705062866", "yaw": "16777216.0", "valid": "'Invalid'"},
        {"filter_state": "0", "dynamics_mode": "1", "status_flags": "65535"},
        {"gravity_magnitude": "9.806650161743164", "valid": "'Valid'"},
    ],
]

# The NaNs' bits as doubles, as x86_64 gives them: the f32 payload moves up into the double,
# the signalling f32 NaN comes out quiet, and the f64 one passes through untouched.
EXPECTED_NAN_BITS = {
    (0, 2, "z"): "7ff82468a0000000",
    (0, 2, "w"): "fff8000020000000",
    (1, 2, "time_of_week"): "7ff0000000000001",
}


@pytest.fixture(scope="module")
def decoded(tmp_path_factory):
    client = tiltwick.AHRSClient()
    client.open_file(write_file(tmp_path_factory.mktemp("platform"), SENSOR_PACKET + ESTIMATE_PACKET))
    return [client.read_packet(), client.read_packet()]


def test_every_value_has_the_reprs_taken_on_x86_64(decoded):
    actual = [[{key: repr(value) for key, value in reading.items()} for reading in packet] for packet in decoded]
    assert actual == EXPECTED_REPRS
    # dict equality ignores order; the field order is part of what must match too
    assert [[list(r) for r in p] for p in actual] == [[list(r) for r in p] for p in EXPECTED_REPRS]


@pytest.mark.parametrize("where", list(EXPECTED_NAN_BITS), ids=lambda w: f"{w[0]}-{w[1]}-{w[2]}")
def test_nan_bits_match_x86_64(decoded, where):
    packet, reading, key = where
    assert struct.pack(">d", decoded[packet][reading][key]).hex() == EXPECTED_NAN_BITS[where]


def test_types_are_exact(decoded):
    # 16-bit words are ints (not bools or floats), however the platform's long is sized
    kinds = {type(v).__name__ for packet in decoded for reading in packet for v in reading.values()}
    assert kinds == {"float", "int", "str"}
    assert type(decoded[0][3]["timestamp_flags"]) is int and decoded[0][3]["timestamp_flags"] > 0


def _elf_class_and_machine(path):
    with open(path, "rb") as f:
        header = f.read(20)
    assert header[:4] == b"\x7fELF", f"{path} is not an ELF file"
    byteorder = "little" if header[5] == 1 else "big"
    return header[4], int.from_bytes(header[18:20], byteorder)


def test_the_loaded_module_is_built_for_this_interpreter():
    assert tiltwick.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
    # /proc/self/exe is the interpreter itself, also under user-mode emulation
    assert _elf_class_and_machine(tiltwick.__file__) == _elf_class_and_machine(os.readlink("/proc/self/exe"))
    elf_class, _ = _elf_class_and_machine(tiltwick.__file__)
    assert elf_class == {4: 1, 8: 2}[struct.calcsize("P")]


@pytest.mark.skipif(not platform.machine().startswith("arm"), reason="32-bit ARM only")
def test_armhf_is_a_32_bit_hard_float_build():
    assert struct.calcsize("P") == 4
    assert sysconfig.get_config_var("MULTIARCH") == "arm-linux-gnueabihf"
    with open(tiltwick.__file__, "rb") as f:
        header = f.read(40)
    assert header[4] == 1 and int.from_bytes(header[18:20], "little") == 40  # ELF32, EM_ARM
    assert int.from_bytes(header[36:40], "little") & 0x400  # EF_ARM_ABI_FLOAT_HARD
