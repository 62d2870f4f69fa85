"""Data-field decoding of all 27 alternatives, observed exactly through
AHRSClient.open_file + read_packet() / read() in their Python shapes."""

import random
import struct

import pytest

from tiltwick_tools import mip_wire as mw
import tiltwick
from helpers import exact, random_raw, write_file

ALTERNATIVES = list(mw.CATALOGUE.values())
OTHER_SET = {0x80: 0x82, 0x82: 0x80}
END_OF_FILE = 'AHRSError: IOError: Custom { kind: UnexpectedEof, message: "failed to fill whole buffer" }'
by_name = pytest.mark.parametrize("alt", ALTERNATIVES, ids=lambda a: a.name)


def python_value(raw, wire_type):
    """The Python value a field must arrive as, computed from the wire bytes alone."""
    if wire_type == "f32":
        # the interpreter's own exact widening, but for a signalling NaN: the module gives it
        # quiet, sign and payload kept, as the processor widens it and as CPython did before
        # 3.14, whose struct keeps it signalling
        value = struct.unpack(">f", raw)[0]
        quiet = struct.unpack(">Q", struct.pack(">d", value))[0] | 1 << 51
        return value if value == value else struct.unpack(">d", quiet.to_bytes(8, "big"))[0]
    if wire_type == "f64":
        return struct.unpack(">d", raw)[0]
    word = int.from_bytes(raw, "big")
    return word if wire_type == "u16" else ["Invalid", "Valid"][word]


def sample(alt, rng, k=0):
    """(field data bytes, expected dict) of one reading with random bit patterns."""
    raws = [random_raw(rng, t, k) for _, t in alt.fields]
    return b"".join(raws), {name: python_value(raw, t) for (name, t), raw in zip(alt.fields, raws)}


def replay(tmp_path, packets, method="read_packet"):
    """Calls `method` once per packet of a capture, then checks that the file is exhausted."""
    client = tiltwick.AHRSClient()
    client.open_file(write_file(tmp_path, b"".join(packets)))
    results = [getattr(client, method)() for _ in packets]
    if method == "read":
        assert client.read() == {}
    else:
        with pytest.raises(ValueError) as raised:
            client.read_packet()
        assert raised.value.args == (END_OF_FILE,)
    return results


def assert_exact(actual, expected):
    assert exact(actual) == exact(expected)


@by_name
def test_values_arrive_exactly_with_keys_in_field_order(tmp_path, alt):
    rng = random.Random(alt.name)
    packets, expected = [], []
    for k in range(40):  # every special pattern in every float slot, then random bits
        payload, dicts = b"", []
        while len(payload) + alt.field_length <= 255 and len(dicts) < 7:
            data, values = sample(alt, rng, k + 20 * len(dicts))
            payload += mw.raw_field(alt.field_descriptor, data)
            dicts.append(values)
        packets.append(mw.frame(alt.descriptor_set, payload))
        expected.append(dicts)
    actual = replay(tmp_path, packets)
    assert_exact(actual, expected)
    assert all(list(d) == list(alt.field_names) for packet in actual for d in packet)


@by_name
def test_short_fields_yield_nothing_and_never_borrow_the_next_field(tmp_path, alt):
    data, values = sample(alt, random.Random(1))
    whole = mw.raw_field(alt.field_descriptor, data)
    packets = [mw.frame(alt.descriptor_set, mw.raw_field(alt.field_descriptor, data[:m]) + whole)
               for m in range(alt.data_size)]
    # the length byte alone cuts the field, even though the payload holds enough bytes after it
    packets += [mw.frame(alt.descriptor_set, mw.raw_field(alt.field_descriptor, data, length=m + 2) + data[m:])
                for m in range(alt.data_size)]
    packets += [mw.frame(alt.descriptor_set, mw.raw_field(alt.field_descriptor, data[:m]))
                for m in range(alt.data_size)]
    actual = replay(tmp_path, packets)
    assert_exact(actual[:alt.data_size], [[values]] * alt.data_size)
    assert actual[alt.data_size:2 * alt.data_size] == [[]] * alt.data_size
    assert actual[2 * alt.data_size:] == [[]] * alt.data_size


@by_name
def test_surplus_zero_and_one_lengths_and_overrunning_fields(tmp_path, alt):
    data, values = sample(alt, random.Random(2))
    whole = mw.raw_field(alt.field_descriptor, data)
    cases = [
        (mw.raw_field(alt.field_descriptor, data + b"\xaa"), 1),    # surplus bytes are ignored
        (mw.raw_field(alt.field_descriptor, data + bytes(range(40))), 1),
        (b"\x00" + whole, 1),                     # a zero length byte advances by one
        (b"\x01" + whole, 1),
        (b"\x01\x01\x00" + whole + b"\x00", 1),
        (whole + whole, 2),
        (mw.raw_field(alt.field_descriptor, data, length=255), 1),   # cut at the payload end
        (whole + mw.raw_field(alt.field_descriptor, data[:-1], length=alt.field_length + 9), 1),
        (b"\x00", 0),
        (b"\x01\x01\x01", 0),
    ]
    packets = [mw.frame(alt.descriptor_set, payload) for payload, _ in cases]
    assert_exact(replay(tmp_path, packets), [[values] * count for _, count in cases])


@pytest.mark.parametrize("alt", [a for a in ALTERNATIVES if "vf" in dict(a.fields).values()], ids=lambda a: a.name)
def test_validity_words_other_than_0_and_1_drop_the_field(tmp_path, alt):
    rng = random.Random(3)
    packets, expected = [], []
    for word in (0, 1, 2, 3, 256, 65535):
        raws = [random_raw(rng, t) if t != "vf" else word.to_bytes(2, "big") for _, t in alt.fields]
        packets.append(mw.frame(alt.descriptor_set, mw.raw_field(alt.field_descriptor, b"".join(raws))))
        keep = word < 2
        expected.append([{n: python_value(r, t) for (n, t), r in zip(alt.fields, raws)}] if keep else [])
    assert_exact(replay(tmp_path, packets), expected)


def test_plain_u16_words_are_taken_as_they_come(tmp_path):
    packets = [mw.frame(0x80, mw.encode_reading("GPSCorrelationTimestamp", 0.5, 0, 3)),
               mw.frame(0x82, mw.encode_reading("FilterStatus", 65535, 2, 3)),
               mw.frame(0x82, mw.encode_reading("GPSTimestamp", 0.5, 1, 3))]
    assert replay(tmp_path, packets) == [
        [{"gps_time_of_week": 0.5, "gps_week": 0, "timestamp_flags": 3}],
        [{"filter_state": 65535, "dynamics_mode": 2, "status_flags": 3}],
        []]


@by_name
def test_the_descriptor_set_decides_the_table(tmp_path, alt):
    rng = random.Random(4)
    payload = b"".join(mw.raw_field(alt.field_descriptor, sample(alt, rng)[0] + bytes(40)) for _ in range(2))
    other = OTHER_SET[alt.descriptor_set]
    expected = [[values for _, values in mw.decode_payload(other, payload)]]
    expected += [[] for d in mw.DESCRIPTOR_SETS if d not in OTHER_SET]
    packets = [mw.frame(other, payload)] + [mw.frame(d, payload) for d in mw.DESCRIPTOR_SETS if d not in OTHER_SET]
    assert_exact(replay(tmp_path, packets), expected)
    assert replay(tmp_path, packets[1:], "read") == [{}] * 14


def test_worked_example_under_both_sets(tmp_path):
    payload = mw.encode_reading("ScaledAccVector", 1, 2, -1) + mw.encode_reading("ScaledGyroVector", 3, 4, 5)
    assert replay(tmp_path, [mw.frame(0x80, payload), mw.frame(0x82, payload)]) == [
        [{"x": 1.0, "y": 2.0, "z": -1.0}, {"x": 3.0, "y": 4.0, "z": 5.0}], []]


@by_name
def test_repeated_alternative_gives_every_reading_and_read_keeps_the_last(tmp_path, alt):
    rng = random.Random(5)
    (first, v1), (second, v2) = sample(alt, rng, 30), sample(alt, rng, 31)
    packet = mw.frame(alt.descriptor_set, mw.raw_field(alt.field_descriptor, first)
                      + mw.raw_field(alt.field_descriptor, second))
    assert_exact(replay(tmp_path, [packet]), [[v1, v2]])
    kind = "sensor" if alt.descriptor_set == 0x80 else "estimate"
    assert_exact(replay(tmp_path, [packet], "read"), [{"type": kind, alt.name: v2}])


@pytest.mark.parametrize("dset", [0x80, 0x82])
def test_read_dict_has_type_first_then_alternatives_in_first_seen_order(tmp_path, dset):
    alts = [a for a in ALTERNATIVES if a.descriptor_set == dset]
    rng = random.Random(dset)
    order = rng.sample(alts, 4)
    fields = [(a, sample(a, rng, 30)) for a in order + [order[0], order[2]]]
    packet = mw.frame(dset, b"".join(mw.raw_field(a.field_descriptor, data) for a, (data, _) in fields))
    expected = {"type": "sensor" if dset == 0x80 else "estimate"}
    for a, (_, values) in fields:
        expected[a.name] = values  # a repeated key keeps its first position, takes the last value
    [got] = replay(tmp_path, [packet], "read")
    assert list(got) == ["type"] + [a.name for a in order]
    assert_exact(got, expected)
