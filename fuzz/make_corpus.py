#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets.

Usage: fuzz/make_corpus.py OUT_DIR   (writes OUT_DIR/<target>/seed-*)

Seeds come from the independent encoder in tiltwick_tools.mip_wire: a valid packet of every one of
the 27 reading alternatives, command packets and replies, an empty packet of each of the
sixteen descriptor sets, and malformed input (bad sync bytes, a descriptor set byte outside the
sixteen, bad checksums, cut-off packets, fields whose length byte lies, validity words other
than 0 and 1). The float-text seeds are the bit patterns at the edges of the layout rule.
"""

from __future__ import annotations

import math
import os
import struct
import sys

# The wire model from the source tree: it needs neither the module nor an installed package.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))

from tiltwick_tools import mip_wire as mw  # noqa: E402


def sample_values(alt: mw.Alternative, salt: int = 0) -> list:
    """Wire-order values of one reading: varied floats, small integers, validity Valid."""
    values = []
    for i, (_, ftype) in enumerate(alt.fields):
        k = i + 1 + salt
        if ftype == "f32":
            values.append((-1) ** k * 0.125 * k)
        elif ftype == "f64":
            values.append(345600.25 + k)
        elif ftype == "u16":
            values.append(k)
        else:
            values.append("Valid")
    return values


def reading_field(alt: mw.Alternative, **options) -> bytes:
    return mw.encode_reading(alt.name, *sample_values(alt), **options)


def read_step_seeds() -> dict[str, bytes]:
    seeds: dict[str, bytes] = {}
    packets = []
    for alt in mw.CATALOGUE.values():
        packet = mw.frame(alt.descriptor_set, reading_field(alt))
        seeds[f"reading-{alt.name}"] = packet
        packets.append(packet)
    seeds["all-readings"] = b"".join(packets)
    sensor = mw.frame(mw.SENSOR_SET, b"".join(reading_field(a) for a in mw.SENSOR_ALTERNATIVES))
    estimate = mw.frame(mw.FILTER_SET, b"".join(reading_field(a) for a in mw.FILTER_ALTERNATIVES))
    seeds["sensor-all-fields"] = sensor
    seeds["estimate-all-fields"] = estimate

    for code, name in mw.DESCRIPTOR_SETS.items():
        seeds[f"empty-{name}"] = mw.frame(code, b"")
    seeds["command-set-idle"] = mw.SET_IDLE
    seeds["command-configure-sequence"] = mw.CONFIGURE_SEQUENCE
    seeds["command-stream-on"] = mw.stream_control(mw.STREAM_SELECTOR_SENSOR, True)
    seeds["reply-ack"] = mw.ack_reply(0x01, 0x02)
    seeds["reply-nack"] = mw.ack_reply(0x0C, 0x11, 3)
    seeds["reply-several"] = mw.ack_reply(0x0C, [(0x11, 0), (0x11, 3)])
    seeds["largest-payload"] = mw.frame(0x90, bytes(range(255)))

    acc = seeds["reading-ScaledAccVector"]
    seeds["bad-checksum"] = acc[:-1] + bytes([acc[-1] ^ 0xFF]) + acc
    seeds["stray-byte-before-packet"] = b"\x00" + acc + acc
    seeds["bad-sync"] = b"\x75\x75\x65" + acc
    seeds["bad-descriptor-set"] = b"\x75\x65\x83\x00\x00\x00" + acc
    seeds["cut-in-payload"] = acc[:9]
    seeds["cut-in-checksum"] = acc[:-1]
    seeds["only-sync"] = mw.SYNC
    seeds["one-byte"] = b"\x75"
    seeds["garbage-then-packets"] = bytes(range(0, 256, 7)) + sensor + estimate
    matrix = mw.CATALOGUE["OrientationMatrix"]
    seeds["lying-lengths"] = mw.frame(mw.FILTER_SET, b"".join([
        reading_field(matrix, length=0x0D),
        reading_field(mw.CATALOGUE["GyroBias"], trailing=b"\x01\x02"),
        b"\x00\x01",
        reading_field(mw.CATALOGUE["PressureAltitude"], length=0x40),
    ]))
    seeds["invalid-validity-word"] = mw.frame(mw.FILTER_SET, mw.encode_reading(
        "OrientationQuaternion", 1.0, 0.0, 0.0, 0.0, 2))
    return seeds


def decode_seeds() -> dict[str, bytes]:
    seeds: dict[str, bytes] = {}
    for alt in mw.CATALOGUE.values():
        seeds[f"field-{alt.name}"] = bytes([alt.descriptor_set]) + reading_field(alt)
        short = reading_field(alt)[:-1]
        seeds[f"short-{alt.name}"] = bytes([alt.descriptor_set]) + bytes([len(short)]) + short[1:]
    sensor = b"".join(reading_field(a) for a in mw.SENSOR_ALTERNATIVES)
    estimate = b"".join(reading_field(a) for a in mw.FILTER_ALTERNATIVES)
    seeds["sensor-all-fields"] = bytes([mw.SENSOR_SET]) + sensor
    seeds["estimate-all-fields"] = bytes([mw.FILTER_SET]) + estimate
    seeds["sensor-fields-in-estimate-set"] = bytes([mw.FILTER_SET]) + sensor
    seeds["estimate-fields-in-sensor-set"] = bytes([mw.SENSOR_SET]) + estimate
    for selector in (0x00, 0x06, 0x08, 0x0F, 0x16, 0x3F):  # below 0x40: one of the sixteen sets
        seeds[f"selector-{selector:02x}"] = bytes([selector]) + sensor[:40] + estimate[:40]
    seeds["other-set"] = bytes([0x81]) + sensor
    seeds["zero-and-one-lengths"] = bytes([mw.SENSOR_SET, 0x00, 0x01, 0x00, 0x01])
    seeds["length-past-end"] = bytes([mw.SENSOR_SET]) + mw.raw_field(0x17, struct.pack(">f", 1013.25), 0x20)
    seeds["validity-word-2"] = bytes([mw.FILTER_SET]) + mw.encode_reading("GPSTimestamp", 1.5, 2, 2)
    seeds["flags-word-3"] = bytes([mw.SENSOR_SET]) + mw.encode_reading("GPSCorrelationTimestamp", 1.5, 2, 3)
    nan = struct.pack(">I", 0x7FA00001)
    seeds["nan-payloads"] = bytes([mw.SENSOR_SET]) + mw.encode_reading("ScaledAccVector", nan, b"\xff\xc0\x00\x01", -0.0)
    return seeds


def float_text_seeds() -> dict[str, bytes]:
    def f32_bits(x: float) -> bytes:
        return struct.pack("=f", x)

    def f64_bits(x: float) -> bytes:
        return struct.pack("=d", x)

    doubles = {
        "zero": 0.0, "negative-zero": -0.0, "one": 1.0, "minus-one": -1.0, "tenth": 0.1, "third": 1 / 3,
        "1e-4": 1e-4, "below-1e-4": math.nextafter(1e-4, 0), "above-1e-4": math.nextafter(1e-4, 1),
        "1e16": 1e16, "below-1e16": math.nextafter(1e16, 0), "1e15": 1e15, "2^53": 2.0 ** 53,
        "max": sys.float_info.max, "min-normal": sys.float_info.min, "min-subnormal": 5e-324,
        "inf": math.inf, "minus-inf": -math.inf, "nan": math.nan, "2.5e-7": -2.5e-7, "1.5e16": 1.5e16,
    }
    floats = {
        "zero": 0.0, "one": 1.0, "tenth": 0.1, "1e-4": 1e-4, "9.999e-5": 9.999e-5, "1e16": 1e16,
        "9.999999e15": 9.999999e15, "max": 3.4028234663852886e38, "min-normal": 1.1754943508222875e-38,
        "min-subnormal": 1.401298464324817e-45, "2^24": 2.0 ** 24, "16777217": 16777217.0, "inf": math.inf,
    }
    seeds: dict[str, bytes] = {}
    for name, value in doubles.items():
        seeds[f"double-{name}"] = f64_bits(value)
    for name, value in floats.items():
        seeds[f"float-{name}"] = f32_bits(value)
    seeds["float-nan-payload"] = struct.pack("=I", 0xFFA00001)
    seeds["double-nan-payload"] = struct.pack("=Q", 0x7FF0000000000001)
    return seeds


TARGETS = {
    "fuzz_read_step": read_step_seeds,
    "fuzz_decode": decode_seeds,
    "fuzz_float_text": float_text_seeds,
}


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    for target, make in TARGETS.items():
        directory = os.path.join(argv[1], target)
        os.makedirs(directory, exist_ok=True)
        seeds = make()
        for name, data in seeds.items():
            with open(os.path.join(directory, f"seed-{name}"), "wb") as f:
                f.write(data)
        print(f"{target}: {len(seeds)} seeds in {directory}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
