"""parse_data_stream_py end to end: one line per packet on standard output, one
closing line on standard error, the first failure ends the run."""

import os
import random

import pytest

from tiltwick_tools import mip_wire as mw
import tiltwick
from helpers import EOF_IO, EOF_LINE, ERR, SHORT, context, dump_model, random_raw, readings_text, write_file
from tiltwick_tools.capture import capture_bytes

ACC = mw.frame(0x80, mw.encode_reading("ScaledAccVector", 0.01, -0.02, -1.0))
ACC_LINE = "[Sensor(ScaledAccVector { x: 0.01, y: -0.02, z: -1.0 })]"
STATUS = mw.frame(0x82, mw.encode_reading("FilterStatus", 2, 1, 65535))
STATUS_LINE = "[Estimate(FilterStatus { filter_state: 2, dynamics_mode: 1, status_flags: 65535 })]"
COMMAND = bytes.fromhex("75 65 01 02 02 02 E1 C7")
BAD_CHECKSUM = COMMAND[:-1] + b"\xc8"


def dump(tmp_path, capfd, data, by_keyword=False):
    """Runs the function on a file of `data`; returns (stdout lines, stderr lines)."""
    path = write_file(tmp_path, data)
    capfd.readouterr()
    result = tiltwick.parse_data_stream_py(filename=path) if by_keyword else tiltwick.parse_data_stream_py(path)
    assert result is None
    out, err = capfd.readouterr()
    assert out.endswith("\n") or not out
    return out.splitlines(), err.splitlines()


@pytest.mark.parametrize("data, lines, closing", [
    pytest.param(b"", [], EOF_LINE, id="empty file"),
    pytest.param(COMMAND, ["[]"], EOF_LINE, id="worked CommandBase packet"),
    pytest.param(bytes.fromhex("756580005A03"), ["[]"], EOF_LINE, id="empty DataSensor packet"),
    pytest.param(ACC, [ACC_LINE], EOF_LINE, id="one data packet"),
    pytest.param(ACC + STATUS, [ACC_LINE, STATUS_LINE], EOF_LINE, id="two packets"),
    pytest.param(ACC + b"\x75", [ACC_LINE], EOF_LINE, id="stray trailing sync byte"),
    pytest.param(ACC + b"\x00", [ACC_LINE], EOF_LINE, id="stray trailing zero byte"),
    pytest.param(b"\x00" + ACC, [], ERR + "bad sync: expected 0x75 0x65, found 0x00 0x75", id="stray leading byte"),
    pytest.param(b"\x65\x75" + ACC, [], ERR + "bad sync: expected 0x75 0x65, found 0x65 0x75", id="swapped sync"),
    pytest.param(ACC + b"\x00" + STATUS, [ACC_LINE], ERR + "bad sync: expected 0x75 0x65, found 0x00 0x75",
                 id="stray byte between packets"),
    pytest.param(COMMAND + ACC, ["[]", ACC_LINE], EOF_LINE, id="command packet then data"),
    pytest.param(BAD_CHECKSUM, [], ERR + "bad checksum: e1c8 != e1c7", id="bad checksum"),
    pytest.param(ACC + BAD_CHECKSUM + STATUS, [ACC_LINE], ERR + "bad checksum: e1c8 != e1c7",
                 id="bad checksum stops the run"),
    pytest.param(COMMAND[:-2] + b"\x00\xab", [], ERR + "bad checksum: ab != e1c7", id="checksum without leading zeros"),
    pytest.param(STATUS + bytes.fromhex("7565830000"), [STATUS_LINE],
                 ERR + "bad descriptor set: Unexpected value for enum: 131" + context("descriptor"), id="bad set 0x83"),
    pytest.param(bytes.fromhex("756580055A03"), [], ERR + SHORT + context("bytes"), id="length beyond end"),
])
def test_worked_cases(tmp_path, capfd, data, lines, closing):
    assert dump(tmp_path, capfd, data) == (lines, [closing])


def test_every_descriptor_set_is_accepted_and_only_data_sets_print_readings(tmp_path, capfd):
    payload = mw.encode_reading("ScaledAccVector", 1, 2, 3) + mw.encode_reading("OrientationEuler", 1, 2, 3, 1)
    data = b"".join(mw.frame(d, payload) for d in mw.DESCRIPTOR_SETS)
    expected = [readings_text(d, payload) for d in mw.DESCRIPTOR_SETS]
    assert expected.count("[]") == 14
    assert dump(tmp_path, capfd, data) == (expected, [EOF_LINE])


def truncation_closing(k, n):
    """The closing line for a packet with an n-byte payload cut after k bytes."""
    if k < 2:
        return EOF_LINE
    field = {2: "descriptor", 3: "payload_length"}.get(k, "bytes" if k < n + 4 else "checksum")
    return ERR + (SHORT if field == "bytes" else EOF_IO) + context(field)


MULTI = mw.frame(0x80, mw.encode_reading("ScaledAccVector", 1.5, -2, 0.25)
                 + mw.encode_reading("GPSCorrelationTimestamp", 123456.5, 2300, 3)
                 + mw.encode_reading("ScaledAmbientPressure", 101325))


@pytest.mark.parametrize("k", range(len(MULTI)))
def test_truncation_at_every_byte_boundary(tmp_path, capfd, k):
    expected = ([ACC_LINE], [truncation_closing(k, len(MULTI) - 6)])
    assert dump(tmp_path, capfd, ACC + MULTI[:k]) == expected
    assert dump_model(ACC + MULTI[:k]) == (expected[0], expected[1][0])


def test_whole_multi_field_packet_and_keyword_argument(tmp_path, capfd):
    line = ("[Sensor(ScaledAccVector { x: 1.5, y: -2.0, z: 0.25 }), Sensor(GPSCorrelationTimestamp "
            "{ gps_time_of_week: 123456.5, gps_week: 2300, timestamp_flags: 3 }), "
            "Sensor(ScaledAmbientPressure { ambient_pressure: 101325.0 })]")
    assert dump(tmp_path, capfd, MULTI) == ([line], [EOF_LINE])
    assert dump(tmp_path, capfd, MULTI, by_keyword=True) == ([line], [EOF_LINE])


def test_missing_path_raises_oserror_and_prints_nothing(tmp_path, capfd):
    with pytest.raises(OSError) as raised:
        tiltwick.parse_data_stream_py(str(tmp_path / "absent.bin"))
    assert type(raised.value) is OSError
    assert raised.value.args == (
        'AHRSError: IOError: Os { code: 2, kind: NotFound, message: "No such file or directory" }',)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("kind, closing", [("directory", "Is a directory (os error 21)"),
                                           ("fifo", "Illegal seek (os error 29)")])
def test_a_path_that_opens_but_is_no_file(tmp_path, capfd, kind, closing):
    """A directory fails at the first read; a FIFO (a packet waiting in it) at the position
    query before the first packet."""
    path = str(tmp_path)
    if kind == "fifo":
        path = str(tmp_path / "fifo")
        os.mkfifo(path)
        writer = os.open(path, os.O_RDWR | os.O_NONBLOCK)  # a writer, so that the read-only open does not wait
        os.write(writer, ACC)
    capfd.readouterr()
    try:
        assert tiltwick.parse_data_stream_py(path) is None
    finally:
        if kind == "fifo":
            os.close(writer)
    assert capfd.readouterr() == ("", f"End of file: {closing}\n")


def test_realistic_capture_across_buffer_boundaries(tmp_path, capfd):
    data, info = capture_bytes(seconds=2, sensor_hz=100, filter_hz=50, seed=3)
    assert len(data) > 3 * 8192
    lines, closing = dump_model(data)
    assert len(lines) == info.sensor_packets + info.filter_packets + info.reply_packets
    assert dump(tmp_path, capfd, data) == (lines, [closing])


# ---------------------------------------------------------------------------------------
# Fuzz: random bytes and mutated valid captures, compared with the model in helpers.py.

def random_capture(rng):
    """Packets back to back: data fields of every alternative with random bits, now and then
    an unknown or lying field, a command packet, or an empty payload."""
    packets = []
    for _ in range(rng.randint(1, 12)):
        dset = rng.choice([0x80, 0x82, 0x80, 0x82, rng.choice(list(mw.DESCRIPTOR_SETS))])
        payload = b""
        for _ in range(rng.randint(0, 6)):
            alts = [a for a in mw.CATALOGUE.values() if a.descriptor_set == dset] or list(mw.CATALOGUE.values())
            alt = rng.choice(alts)
            data = b"".join(random_raw(rng, t, rng.randrange(20)) for _, t in alt.fields)
            data = data[:rng.choice([alt.data_size] * 4 + [rng.randrange(alt.data_size)])] + b"\xee" * rng.choice([0, 0, 3])
            length = rng.choice([None] * 6 + [0, 1, rng.randint(2, 60)])
            candidate = mw.raw_field(alt.field_descriptor, data, length)
            if len(payload) + len(candidate) <= 255:
                payload += candidate
        packets.append(mw.frame(dset, payload))
    return b"".join(packets)


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        kind = rng.choice(["flip", "truncate", "insert", "duplicate", "delete"])
        i = rng.randrange(len(data) + 1)
        if kind == "flip" and i < len(data):
            data[i] ^= 1 << rng.randrange(8)
        elif kind == "truncate":
            del data[i:]
        elif kind == "insert":
            data[i:i] = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 4)))
        elif kind == "duplicate":
            data[i:i] = data[i:i + rng.randint(1, 40)]
        elif kind == "delete":
            del data[i:i + rng.randint(1, 3)]
    return bytes(data)


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_fuzz_against_the_model(tmp_path, capfd, seed):
    rng = random.Random(seed)
    cases = []
    for _ in range(40):
        cases.append(bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 40))))
        cases.append(b"\x75\x65" + bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 300))))
    for _ in range(40):
        valid = random_capture(rng)
        cases += [valid, mutate(rng, valid)]
    for data in cases:
        out, err = dump(tmp_path, capfd, data)
        assert len(err) == 1 and err[0].startswith(("End of file: ", ERR)), (data.hex(), err)
        assert (out, err[0]) == dump_model(data), data.hex()
