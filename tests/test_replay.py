"""AHRSClient replaying a recorded capture file (AHRSClient.open_file)."""

import itertools
import random

import pytest

from tiltwick_tools import mip_wire as mw
from wire_oracle import read_steps
from helpers import IOERR_EOF, NOT_FOUND, as_list, as_map, imu_packets
from tiltwick_tools.capture import capture_bytes
import tiltwick

EOF_ERROR = 'AHRSError: IOError: Custom { kind: UnexpectedEof, message: "failed to fill whole buffer" }'

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
    count = itertools.count()

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
        assert capfd.readouterr() == ("", IOERR_EOF)


def test_every_descriptor_set_is_named(capture, capfd):
    c = tiltwick.AHRSClient()
    c.open_file(capture(b"".join(mw.frame(code, b"\x04\x01\x00\x00") for code in mw.DESCRIPTOR_SETS)))
    for code in mw.DESCRIPTOR_SETS:
        assert c.read_packet() == []
    names = capfd.readouterr().out.splitlines()
    assert names == [f"Parsed packet: {name}" for name in mw.DESCRIPTOR_SETS.values()]


def model(data):
    """Per-call outcomes of replaying `data`: a good packet's bytes, b"" for a failed attempt,
    "skip failed" for an attempt that ran into the end of the data, "eof" at the end."""
    return [data[s.begin:s.end] if s.kind == "packet" else b"" if s.kind == "failed" else s.kind
            for s in read_steps(data)]


def replay(c, method, calls):
    return [call(c, method) for _ in range(calls)]


def outcome(item, method):
    if isinstance(item, str):  # "eof" or "skip failed": read() swallows the error
        return [] if method == "read" else EOF_ERROR
    return expected(item, method) if item else []


BAD_CHECKSUM = SENSOR[:-1] + bytes([SENSOR[-1] ^ 0x01])
CASES = {
    # hand-counted: the model must agree, and so must the module
    "bad sync moves 3": (b"\x00\x00\x00" + FILTER, [b"", FILTER, "eof"]),
    "bad descriptor moves 4": (b"\x75\x65\x83\x00" + FILTER, [b"", FILTER, "eof"]),
    "bad checksum moves n+7": (BAD_CHECKSUM + b"\xaa" + FILTER, [b"", FILTER, "eof"]),
    # 00 75 fails, the skipped 65 completes a kept sync pair: the packet after a stray byte is found
    "stray byte": (b"\x00" + IDLE + FILTER, [b"", IDLE, FILTER, "eof"]),
    "two stray bytes": (b"\x01\x02" + IDLE + FILTER, [b"", IDLE, FILTER, "eof"]),
    # the skip after the bad checksum takes the next packet's 75, which is kept
    "bad checksum, then packets": (BAD_CHECKSUM + IDLE + FILTER + IDLE, [b"", IDLE, FILTER, IDLE, "eof"]),
    # 75 75 | 65 kept: 75 65 75 | 75 kept: 75 65 75 | 65 kept: the filter packet
    "sync pairs across attempts": (b"\x75\x75\x65" * 2 + FILTER, [b"", b"", b"", FILTER, "eof"]),
    "truncated payload": (FILTER + SENSOR[:10], [FILTER, "skip failed", "eof"]),
    "truncated checksum": (SENSOR[:-1], ["skip failed", "eof"]),
    "sync only": (b"\x75\x65", ["skip failed", "eof"]),
    "packet, then a sync pair": (IDLE + b"\x75\x65", [IDLE, "skip failed", "eof"]),
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
    assert err == IOERR_EOF  # only the final attempt at the end reports; bad packets are silent


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
    assert str(e.value) == NOT_FOUND
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


# --- real streams, joined at any byte and damaged anywhere ---------------------------------------

def session_packets(count):
    """The sample session's cycle: a 94-byte sensor and a 200-byte filter packet."""
    data, _ = capture_bytes(seconds=count / 200, replies=False)
    return [data[f.offset:f.offset + f.size] for f in mw.iter_frames(data, strict=True)]


def sized_packets(size, count, seed):
    """Packets of `size` bytes with seeded random payloads, in sets that yield no readings."""
    rng = random.Random(seed)
    sets = [s for s in mw.DESCRIPTOR_SETS if s not in (mw.SENSOR_SET, mw.FILTER_SET)]
    return [mw.frame(sets[k % len(sets)], rng.randbytes(size - 6)) for k in range(count)]


def replay_calls(capture, capfd, data, calls):
    """(result or error text, what was printed) of each of `calls` read_packet() calls."""
    c = tiltwick.AHRSClient()
    c.open_file(capture(data))
    return [(call(c, "read_packet"), capfd.readouterr().out) for _ in range(calls)]


def expected_calls(data, steps):
    def one(s):
        if s.kind == "packet":
            packet = data[s.begin:s.end]
            return as_list(packet), f"Parsed packet: {mw.DESCRIPTOR_SETS[packet[2]]}\n"
        return ([], "") if s.kind == "failed" else (EOF_ERROR, "")
    return [one(s) for s in steps]


def check_replay(capture, capfd, data):
    """Replays `data`, checks every call against the model and returns the model's steps."""
    steps = read_steps(data)
    assert replay_calls(capture, capfd, data, len(steps)) == expected_calls(data, steps)
    return steps


def false_sync_spans(data, steps, starts):
    """The bytes consumed by failed attempts that began on a 75 65 inside payload data."""
    return [(s.begin, s.end) for s in steps
            if s.kind != "packet" and data[s.begin:s.begin + 2] == mw.SYNC and s.begin not in starts]


def lost(packets, data, steps):
    """The packets of `packets` (all different) that no call returned."""
    found = {data[s.begin:s.end] for s in steps if s.kind == "packet"}
    return [i for i, p in enumerate(packets) if p not in found]


def starts_of(packets):
    return [sum(map(len, packets[:i])) for i in range(len(packets))]


STREAMS = {  # streams of packets, each with the length of its cycle
    "accel+gyro+mag, 48 bytes": lambda: [(imu_packets(40), 48)],
    "sample session, 94 + 200 bytes": lambda: [(session_packets(8), 294)],
    "every length from 6 to 60": lambda: [(sized_packets(size, 6, size), size) for size in range(6, 61)],
}


@pytest.mark.parametrize("name", STREAMS)
def test_joining_a_stream_at_any_byte(capture, capfd, name):
    """A reader that joins a stream at any byte finds every complete packet after the first sync
    pair, except packets that a false sync pair in payload data runs into."""
    for packets, cycle in STREAMS[name]():
        data = b"".join(packets)
        for offset in range(cycle):
            joined = data[offset:]
            steps = check_replay(capture, capfd, joined)
            starts = {q - offset for q in starts_of(packets) if q >= offset}
            spans = false_sync_spans(joined, steps, starts)
            found = {s.begin for s in steps if s.kind == "packet"}
            missed = [q for q in starts if q >= joined.find(mw.SYNC) and q not in found]
            assert [q for q in missed if not any(b < q < e for b, e in spans)] == [], (offset, spans)


def damage(data, offset, fault):
    if fault == "drop":
        return data[:offset] + data[offset + 1:]
    if fault == "duplicate":
        return data[:offset + 1] + data[offset:]
    return data[:offset] + bytes([data[offset] ^ 1 << offset % 8]) + data[offset + 1:]


@pytest.mark.parametrize("fault", ["drop", "duplicate", "flip"])
def test_one_damaged_byte(capture, capfd, fault):
    """One byte dropped, repeated or flipped anywhere in a cycle of the sample session: a drop or
    a repeat costs at most the two packets around it, a flip only the packets inside the bytes
    that the damaged attempt consumed (up to 261 when it hits a length byte)."""
    packets = session_packets(10)
    data = b"".join(packets)
    starts = starts_of(packets)
    for offset in range(starts[4], starts[6]):
        damaged = damage(data, offset, fault)
        steps = check_replay(capture, capfd, damaged)
        missing = lost(packets, damaged, steps)
        if fault == "flip":
            [hit] = [s for s in steps if s.begin <= offset < s.end]
            assert hit.kind == "failed" and hit.end - hit.begin <= 262
            inside = [i for i, q in enumerate(starts) if q < hit.end and q + len(packets[i]) > hit.begin]
            assert set(missing) <= set(inside), (offset, missing, inside)
        else:
            k = max(i for i, q in enumerate(starts) if q <= offset)  # the packet hit
            assert set(missing) <= {k, k + 1}, (offset, missing)
