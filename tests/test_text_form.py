"""The text form of readings, above all the float rule: shortest digits that read
back at the value's own width, plain decimal for decimal exponents in [-4, 16), scientific
otherwise; checked through parse_data_stream_py and tiltwick-csv against the oracle in
helpers.py."""

import csv
import importlib.util
import random
import re
import struct
import sys

import pytest

from tiltwick_tools import mip_wire as mw
import tiltwick
from helpers import EOF_LINE, command, f32_bits, f32_of_bits, f64_of_bits, float_text, run, value_text, write_file
from tiltwick_tools.units import label

PRESSURE = mw.CATALOGUE["ScaledAmbientPressure"]  # one F32
MATRIX = mw.CATALOGUE["CFOrientationMatrix"]      # nine F32
TIME = mw.CATALOGUE["GPSCorrelationTimestamp"]    # F64, U16, U16


def dump_lines(tmp_path, capfd, packets):
    path = write_file(tmp_path, b"".join(packets))
    capfd.readouterr()
    assert tiltwick.parse_data_stream_py(path) is None
    out, err = capfd.readouterr()
    assert err == EOF_LINE + "\n"
    return out.splitlines()


def printed_values(line):
    return re.findall(r"(?:m\d\d|gps_time_of_week|ambient_pressure): ([^,}]+?)(?:,| })", line)


def near(value, width):
    """Bit patterns of `value` at the given width and of its neighbours on either side."""
    if width == 32:
        bits = f32_bits(value)
    else:
        bits = struct.unpack(">Q", struct.pack(">d", value))[0]
    return [bits + d for d in (-2, -1, 0, 1, 2)]


BOUNDS = [1e-4, 1e-5, 1e16, 1e15, 1e-3, 0.1, 1.0, 10.0, 9.5e15, 3.4e38, 1.1754943508222875e-38]


def random_bits(rng, width):
    """Uniform bit patterns, values of every decimal magnitude, and the neighbours of the
    bounds of the plain range."""
    pick = rng.random()
    if pick < 0.5:
        return rng.getrandbits(width)
    if pick < 0.8:
        value = rng.choice([-1, 1]) * 10 ** rng.uniform(-8, 20) * (rng.randint(1, 99) if rng.random() < 0.3 else 1)
        value = round(value, rng.randint(0, 6)) or value
        return near(value, width)[2] if width == 64 else f32_bits(min(value, 3e38))
    return rng.choice(near(rng.choice(BOUNDS), width)) | (rng.getrandbits(1) << (width - 1))


@pytest.mark.parametrize("seed", [11, 12])
def test_f32_values_match_the_oracle(tmp_path, capfd, seed):
    rng = random.Random(seed)
    packets, expected = [], []
    for _ in range(50):  # 50 packets x 6 matrices x 9 values
        bits = [random_bits(rng, 32) for _ in range(54)]
        packets.append(mw.frame(0x80, b"".join(mw.field(MATRIX.field_descriptor, b"".join(
            b.to_bytes(4, "big") for b in bits[i:i + 9])) for i in range(0, 54, 9))))
        expected.append([(f"{b:08x}", float_text(f32_of_bits(b), 32)) for b in bits])
    for line, want in zip(dump_lines(tmp_path, capfd, packets), expected, strict=True):
        got = printed_values(line)
        assert [(bits, g) for (bits, w), g in zip(want, got) if g != w] == []
        assert len(got) == len(want)


@pytest.mark.parametrize("seed", [21, 22])
def test_f64_values_match_the_oracle(tmp_path, capfd, seed):
    rng = random.Random(seed)
    packets, expected = [], []
    for _ in range(100):  # 100 packets x 18 timestamps
        bits = [random_bits(rng, 64) for _ in range(18)]
        packets.append(mw.frame(0x80, b"".join(mw.field(TIME.field_descriptor, b.to_bytes(8, "big") + b"\xff\xff\x00\x00")
                                               for b in bits)))
        expected.append([(f"{b:016x}", float_text(f64_of_bits(b), 64)) for b in bits])
    for line, want in zip(dump_lines(tmp_path, capfd, packets), expected, strict=True):
        assert line.count("gps_week: 65535, timestamp_flags: 0 }") == 18
        got = printed_values(line)
        assert [(bits, g) for (bits, w), g in zip(want, got) if g != w] == []
        assert len(got) == len(want)


F32_CASES = [
    (f32_bits(1e-4), "0.0001"),           # nearest f32 lies below 1e-4, its shortest digits do not
    (f32_bits(1e-5), "1e-5"),
    (f32_bits(0.1), "0.1"),
    (f32_bits(1.0), "1.0"),
    (f32_bits(0.25), "0.25"),
    (f32_bits(-2.5e-7), "-2.5e-7"),
    (f32_bits(123456.7), "123456.7"),
    (f32_bits(16777216.0), "16777216.0"),
    (f32_bits(16777218.0), "16777218.0"),
    (f32_bits(1e16), "1e16"),
    (f32_bits(1e15), "1000000000000000.0"),
    (f32_bits(9.999999e15), "9999999000000000.0"),
    (f32_bits(1.5e16), "1.5e16"),
    (0x7F7FFFFF, "3.4028235e38"),         # f32 max
    (0xFF7FFFFF, "-3.4028235e38"),
    (0x007FFFFF, "1.1754942e-38"),        # largest subnormal
    (0x00000001, "1e-45"),                # smallest subnormal
    (0x80000001, "-1e-45"),
    (0x00800000, "1.1754944e-38"),
    (0x00000000, "0.0"),
    (0x80000000, "-0.0"),
    (0x7FC00000, "NaN"),
    (0xFFC00000, "NaN"),
    (0x7F800001, "NaN"),
    (0x7F800000, "inf"),
    (0xFF800000, "-inf"),
]
F64_CASES = [
    (1e16, "1e16"),
    (9999999999999998.0, "9999999999999998.0"),
    (1.5e16, "1.5e16"),
    (1e-4, "0.0001"),
    (0.00009999999999999999, "9.999999999999999e-5"),
    (1e-5, "1e-5"),
    (0.1, "0.1"),
    (123456789012345680.0, "1.2345678901234568e17"),
    (f64_of_bits(0x000FFFFFFFFFFFFF), "2.225073858507201e-308"),   # largest subnormal
    (5e-324, "5e-324"),
    (-5e-324, "-5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e308"),
    (-0.0, "-0.0"),
    (f64_of_bits(0xFFF8000000000001), "NaN"),
    (float("-inf"), "-inf"),
]


def test_boundary_cases(tmp_path, capfd):
    packets, expected = [], []
    for bits, text in F32_CASES:
        assert float_text(f32_of_bits(bits), 32) == text  # the oracle agrees with the hand-written texts
        packets.append(mw.frame(0x80, mw.field(PRESSURE.field_descriptor, bits.to_bytes(4, "big"))))
        expected.append(f"[Sensor(ScaledAmbientPressure {{ ambient_pressure: {text} }})]")
    for value, text in F64_CASES:
        assert float_text(value, 64) == text
        packets.append(mw.frame(0x80, mw.field(TIME.field_descriptor, struct.pack(">dHH", value, 0, 65535))))
        expected.append(f"[Sensor(GPSCorrelationTimestamp {{ gps_time_of_week: {text}, gps_week: 0, "
                        "timestamp_flags: 65535 })]")
    assert dump_lines(tmp_path, capfd, packets) == expected


def test_integers_validity_and_field_order(tmp_path, capfd):
    packets = [
        mw.frame(0x82, mw.encode_reading("FilterStatus", 65535, 0, 256)
                 + mw.encode_reading("OrientationQuaternion", 0.5, -0.5, 1, -1, 1)
                 + mw.encode_reading("GPSTimestamp", 604799.999, 2300, 0)
                 + mw.encode_reading("PressureAltitude", -12.5, 0)),
        mw.frame(0x80, mw.encode_reading("CFQuaternion", 0.5, -0.5, 1, -1)
                 + mw.encode_reading("CFEulerAngles", b"\x80\x00\x00\x00", 0.01, 3.1415927)),
    ]
    assert dump_lines(tmp_path, capfd, packets) == [
        "[Estimate(FilterStatus { filter_state: 65535, dynamics_mode: 0, status_flags: 256 }), "
        "Estimate(OrientationQuaternion { x: 0.5, y: -0.5, z: 1.0, w: -1.0, valid: Valid }), "
        "Estimate(GPSTimestamp { time_of_week: 604799.999, week: 2300, valid_flags: Invalid }), "
        "Estimate(PressureAltitude { pressure_altitude: -12.5, valid: Invalid })]",
        "[Sensor(CFQuaternion { x: 0.5, y: -0.5, z: 1.0, w: -1.0 }), "
        "Sensor(CFEulerAngles { roll: -0.0, pitch: 0.01, yaw: 3.1415927 })]",
    ]


@pytest.mark.parametrize("seed, numpy", [(31, True), (32, False)], ids=["numpy", "without-numpy"])
def test_csv_cells_match_the_oracle(tmp_path, seed, numpy):
    """tiltwick-csv writes every field of the sensor set as the oracle does, with numpy and
    without: each value of random bits, and the boundary cases in the first packets."""
    if numpy and importlib.util.find_spec("numpy") is None:
        pytest.skip("needs numpy")
    rng = random.Random(seed)
    wire_formats = {"f32": ">f", "f64": ">d", "u16": ">H"}
    packets, expected = [], []
    for k in range(150):
        payload, row = b"", {"index": str(k), "type": "sensor"}
        for alternative in mw.SENSOR_ALTERNATIVES:
            raw = [random_bits(rng, 32).to_bytes(4, "big") if wire == "f32" else
                   random_bits(rng, 64).to_bytes(8, "big") if wire == "f64" else rng.randbytes(2)
                   for _, wire in alternative.fields]
            if alternative is PRESSURE and k < len(F32_CASES):
                raw = [F32_CASES[k][0].to_bytes(4, "big")]
            if alternative is TIME and k < len(F64_CASES):
                raw[0] = struct.pack(">d", F64_CASES[k][0])
            payload += mw.field(alternative.field_descriptor, b"".join(raw))
            row.update((label(alternative.name, name), value_text(struct.unpack(wire_formats[wire], data)[0], wire))
                       for (name, wire), data in zip(alternative.fields, raw))
        packets.append(mw.frame(mw.SENSOR_SET, payload))
        expected.append(row)
    out = tmp_path / "cells.csv"
    tool = [command("tiltwick-csv")] if numpy else [
        sys.executable, "-c", "import sys; sys.modules['numpy'] = None; from tiltwick_tools.csv_command import main; "
        "sys.exit(main())"]
    done = run([*tool, write_file(tmp_path, b"".join(packets)), out])
    assert (done.returncode, done.stderr) == (0, f"150 packets written to {out}\n")
    with open(out, newline="") as f:
        rows = csv.DictReader(f)
        assert rows.fieldnames == list(expected[0])
        assert list(rows) == expected
