"""AHRSClient replaying a recorded capture file (AHRSClient.open_file)."""

import random

import pytest

import mip_wire as mw
from helpers import as_list, as_map
import tiltwick

EOF_ERROR = 'AHRSError: IOError: Custom { kind: UnexpectedEof, message: "failed to fill whole buffer" }'
EOF_LINE = "IOERR: failed to fill whole buffer\n"
MISSING = 'AHRSError: IOError: Os { code: 2, kind: NotFound, message: "No such file or directory" }'

SENSOR = mw.frame(mw.SENSOR_SET, mw.encode_reading("ScaledAccVector", 0.1, -2.5, 1e-3)
                  + mw.encode_reading("CFEulerAngles", 0.25, -0.5, 3.0)
                  + mw.encode_reading("ScaledAccVector", 7, 8, 9))
FILTER = mw.frame(mw.FILTER_SET, mw.encode_reading("FilterStatus", 2, 1, 65535)
                  + mw.encode_reading("OrientationQuaternion", 0, 0, 0.6, 0.8, "Valid"))
REPLY = mw.ack_reply(0x0C, 0x11)
IDLE = bytes.fromhex("7565010202 02E1C7")  # hand-assembled CommandBase packet
EMPTY = mw.frame(mw.SENSOR_SET, b"")


@pytest.fixture
def capture(tmp_path):
    count = iter(range(1000))

    def write(data):
        path = tmp_path / f"capture{next(count)}.bin"
        path.write_bytes(data)
        return str(path)
    return write


def call(c, method):
    """The result of one call, or the text of the ValueError it raised."""
    try:
        result = getattr(c, method)()
    except ValueError as e:
        return str(e)
    return list(result.items()) if method == "read" else result


def expected(packet, method):
    return list(as_map(packet).items()) if method == "read" else as_list(packet)


@pytest.mark.parametrize("method", ["read", "read_packet"])
def test_replay_to_the_end(capture, capfd, method):
    packets = [SENSOR, IDLE, FILTER, REPLY, EMPTY, SENSOR]
    c = tiltwick.AHRSClient()
    c.open_file(capture(b"".join(packets)))
    for packet in packets:
        assert call(c, method) == expected(packet, method)
        assert capfd.readouterr() == (f"Parsed packet: {mw.DESCRIPTOR_SETS[packet[2]]}\n", "")
    for _ in range(3):
        assert call(c, method) == ([] if method == "read" else EOF_ERROR)
        assert capfd.readouterr() == ("", EOF_LINE)


def test_every_descriptor_set_is_named(capture, capfd):
    c = tiltwick.AHRSClient()
    c.open_file(capture(b"".join(mw.frame(code, b"\x04\x01\x00\x00") for code in mw.DESCRIPTOR_SETS)))
    for code in mw.DESCRIPTOR_SETS:
        assert c.read_packet() == []
    names = capfd.readouterr().out.splitlines()
    assert names == [f"Parsed packet: {name}" for name in mw.DESCRIPTOR_SETS.values()]


def model(data):
    """Per-call outcomes of replaying `data`, by the resynchronisation rules.

    An attempt reads 2 sync bytes, then the descriptor set, the length, the payload and the
    checksum; it stops at the first bad value. A failed attempt keeps what it read and one
    more byte is skipped; a skip beyond the end fails the call. At the end of the data the
    next attempt fails before its sync bytes ("eof").
    """
    out, pos, n = [], 0, len(data)
    while True:
        if n - pos < 2:
            return out + ["eof"]
        if data[pos:pos + 2] != mw.SYNC:
            used = 2
        elif n - pos < 3 or data[pos + 2] not in mw.DESCRIPTOR_SETS:
            used = 3
        else:
            size = 6 + data[pos + 3] if n - pos >= 4 else 4
            packet = data[pos:pos + size]
            if len(packet) == size and packet[-2:] == mw.checksum(packet[:-2]):
                out.append(packet)
                pos += size
                continue
            used = size
        if pos + used >= n:
            return out + ["skip failed", "eof"]
        out.append(b"")
        pos += used + 1


def replay(c, method, calls):
    return [call(c, method) for _ in range(calls)]


def outcome(item, method):
    if isinstance(item, str):  # "eof" or "skip failed": read() swallows the error
        return [] if method == "read" else EOF_ERROR
    return expected(item, method) if item else []


BAD_CHECKSUM = SENSOR[:-1] + bytes([SENSOR[-1] ^ 0x01])
CASES = {
    # hand-counted: each garbage run below is consumed exactly, so the packet after it is found
    "bad sync moves 3": (b"\x00\x00\x00" + FILTER, [b"", FILTER, "eof"]),
    "two bad syncs": (b"\x75\x75\x65" * 2 + FILTER, [b"", b"", FILTER, "eof"]),
    "bad descriptor moves 4": (b"\x75\x65\x83\x00" + FILTER, [b"", FILTER, "eof"]),
    "bad checksum moves n+7": (BAD_CHECKSUM + b"\xaa" + FILTER, [b"", FILTER, "eof"]),
    "stray byte loses a packet": (b"\x00" + IDLE + FILTER, [b"", b"", b"", FILTER, "eof"]),
    "truncated payload": (FILTER + SENSOR[:10], [FILTER, "skip failed", "eof"]),
    "truncated checksum": (SENSOR[:-1], ["skip failed", "eof"]),
    "sync only": (b"\x75\x65", ["skip failed", "eof"]),
    "one byte": (b"\x75", ["eof"]),
    "empty file": (b"", ["eof"]),
}


@pytest.mark.parametrize("method", ["read", "read_packet"])
@pytest.mark.parametrize("name", CASES)
def test_resynchronisation(capture, capfd, name, method):
    data, items = CASES[name]
    assert model(data) == items  # the hand count agrees with the rules
    c = tiltwick.AHRSClient()
    c.open_file(capture(data))
    assert replay(c, method, len(items)) == [outcome(i, method) for i in items]
    out, err = capfd.readouterr()
    names = [mw.DESCRIPTOR_SETS[i[2]] for i in items if isinstance(i, bytes) and i]
    assert out.splitlines() == [f"Parsed packet: {n}" for n in names]
    assert err == EOF_LINE  # only the final attempt at the end reports; bad packets are silent


@pytest.mark.parametrize("seed", range(6))
def test_resynchronisation_in_noisy_captures(capture, capfd, seed):
    rng = random.Random(seed)
    pieces = []
    for _ in range(60):
        kind = rng.randrange(6)
        packet = rng.choice([SENSOR, FILTER, REPLY, IDLE, EMPTY])
        if kind == 0:
            pieces.append(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 5))))
        elif kind == 1:
            i = rng.randrange(2, len(packet))
            pieces.append(packet[:i] + bytes([packet[i] ^ (1 << rng.randrange(8))]) + packet[i + 1:])
        elif kind == 2:
            pieces.append(rng.choice([b"\x75", b"\x75\x65", b"\x75\x65\x83"]))
        else:
            pieces.append(packet)
    data = b"".join(pieces)
    items = model(data)
    c = tiltwick.AHRSClient()
    c.open_file(capture(data))
    assert replay(c, "read_packet", len(items)) == [outcome(i, "read_packet") for i in items]
    names = [mw.DESCRIPTOR_SETS[i[2]] for i in items if isinstance(i, bytes) and i]
    assert capfd.readouterr().out.splitlines() == [f"Parsed packet: {n}" for n in names]


@pytest.mark.parametrize("before", ["fresh", "file"])
def test_missing_file_keeps_the_previous_source(capture, capfd, tmp_path, before):
    c = tiltwick.AHRSClient()
    if before == "file":
        c.open_file(capture(SENSOR + FILTER))
        assert c.read_packet() == as_list(SENSOR)
    with pytest.raises(ValueError) as e:
        c.open_file(str(tmp_path / "missing.bin"))
    assert str(e.value) == MISSING
    if before == "file":
        assert c.read() == as_map(FILTER)
    else:
        assert call(c, "read_packet") == ('AHRSError: SerialPortError: Error { kind: InvalidInput, '
                                          'description: "Port not streaming" }')


def test_switching_files(capture, capfd):
    first, second = capture(SENSOR + SENSOR), capture(FILTER + REPLY)
    c = tiltwick.AHRSClient()
    c.open_file(first)
    assert c.read_packet() == as_list(SENSOR)
    c.open_file(second)
    assert c.read_packet() == as_list(FILTER)
    assert c.read_packet() == []
    c.open_file(first)  # a reopened file starts from its beginning
    assert c.read() == as_map(SENSOR)
    assert c.read() == as_map(SENSOR)
    assert c.read() == {}
    assert capfd.readouterr().out.splitlines() == [
        "Parsed packet: DataSensor", "Parsed packet: DataEstimationFilter", "Parsed packet: Command3DM",
        "Parsed packet: DataSensor", "Parsed packet: DataSensor"]
