"""Replay throughput of tiltwick against a pure-Python reader of the same capture.

    PYTHONPATH=build/dev python3 benchmarks/bench_replay.py [--seconds 20] [--rate 500] [--repeat 3]

Generates a capture (sensor and estimation-filter packets at --rate Hz each), then times:
  a) AHRSClient.open_file + read() until the end of the file
  b) AHRSClient.open_file + read_packet() until the end of the file
  c) tiltwick.parse_data_stream_py(path)
  d) a pure-Python reader doing the work of (a): framing, checksum, field decoding into the
     same dict shapes, one "Parsed packet: " line per packet
Descriptors 1 and 2 go to /dev/null while a variant runs, since all of them print per packet.
The best of --repeat runs is reported.
"""

import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))

from tiltwick_tools import mip_wire as mw  # noqa: E402
import tiltwick  # noqa: E402
from process_probe import quiet  # noqa: E402
from tiltwick_tools.capture import make_capture  # noqa: E402

# ---------------------------------------------------------------------------------------------
# Pure-Python reader
# ---------------------------------------------------------------------------------------------

# (descriptor set, field descriptor) -> (reading name, data size, unpacker, keys, validity keys),
# from the catalogue; a validity word becomes "Valid"/"Invalid" (any other value drops the field).
FIELDS = {(a.descriptor_set, a.field_descriptor): (a.name, a.data_size, a.unpack_data, a.field_names,
                                                   tuple(n for n, t in a.fields if t == "vf"))
          for a in mw.CATALOGUE.values()}
VALIDITY = ("Invalid", "Valid")


def decode_field(descriptor_set, body):
    entry = FIELDS.get((descriptor_set, body[0])) if body else None
    if entry is None:
        return None
    name, size, unpack, keys, validity_keys = entry
    if len(body) - 1 < size:
        return None
    values = dict(zip(keys, unpack(body[1:1 + size])))
    for key in validity_keys:
        if values[key] > 1:
            return None
        values[key] = VALIDITY[values[key]]
    return name, values


def fletcher(data, a=0, b=0):
    for byte in data:
        a = (a + byte) & 0xFF
        b = (b + a) & 0xFF
    return a, b


def packet_map(descriptor_set, payload):
    result = {}
    if descriptor_set not in (0x80, 0x82):
        return result
    kind = "sensor" if descriptor_set == 0x80 else "estimate"
    offset = 0
    while offset < len(payload):
        end = offset + (payload[offset] or 1)
        body = payload[offset + 1:min(end, len(payload))]
        reading = decode_field(descriptor_set, body)
        if reading is not None:
            result["type"] = kind
            result[reading[0]] = reading[1]
        offset = end
    return result


def python_read(f):
    """One read() step on an open binary file: the packet map, {} after a bad packet, None at the end."""
    sync = f.read(2)
    if len(sync) < 2:
        return None
    if sync != b"\x75\x65":
        f.read(1)
        return {}
    descriptor = f.read(1)
    if not descriptor or descriptor[0] not in mw.DESCRIPTOR_SETS:
        f.read(1)
        return {}
    length = f.read(1)
    payload = f.read(length[0]) if length else b""
    checksum = f.read(2)
    if (not length or len(payload) < length[0] or len(checksum) < 2
            or tuple(checksum) != fletcher(sync + descriptor + length + payload)):
        f.read(1)
        return {}
    print("Parsed packet:", mw.DESCRIPTOR_SETS[descriptor[0]], flush=True)
    return packet_map(descriptor[0], payload)


def python_replay(path, sink=None):
    count = 0
    with open(path, "rb") as f:
        while (result := python_read(f)) is not None:
            count += 1
            if sink is not None:
                sink.append(result)
    return count


# ---------------------------------------------------------------------------------------------
# tiltwick variants
# ---------------------------------------------------------------------------------------------

def tiltwick_read(path, packets, sink=None):
    c = tiltwick.AHRSClient()
    c.open_file(path)
    for _ in range(packets):
        result = c.read()
        if sink is not None:
            sink.append(result)
    assert c.read() == {}  # the end of the file
    return packets


def tiltwick_read_packet(path, packets):
    c = tiltwick.AHRSClient()
    c.open_file(path)
    count = 0
    try:
        while True:
            c.read_packet()
            count += 1
    except ValueError:
        pass
    assert count == packets, (count, packets)
    return count


def tiltwick_parse(path, packets):
    tiltwick.parse_data_stream_py(path)
    return packets


def best_time(run, repeat):
    best = float("inf")
    for _ in range(repeat):
        with quiet():
            start = time.perf_counter()
            count = run()
            elapsed = time.perf_counter() - start
        best = min(best, elapsed)
    return count, best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=20.0)
    ap.add_argument("--rate", type=float, default=500.0, help="packets per second of each stream")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "capture.bin")
        info = make_capture(path, seconds=args.seconds, sensor_hz=args.rate, filter_hz=args.rate)
        n = info.packets
        print(f"module: {tiltwick.__file__}")
        print(f"capture: {info.size} bytes, {info.sensor_packets} sensor + {info.filter_packets} filter"
              f" + {info.reply_packets} reply packets")

        # The baseline must produce what read() produces, packet for packet.
        native, python = [], []
        with quiet():
            tiltwick_read(path, n, native)
            assert python_replay(path, python) == n
        if native != python:
            sys.exit("the pure-Python reader disagrees with AHRSClient.read()")

        variants = [
            ("(a) AHRSClient.read()", lambda: tiltwick_read(path, n)),
            ("(b) AHRSClient.read_packet()", lambda: tiltwick_read_packet(path, n)),
            ("(c) parse_data_stream_py", lambda: tiltwick_parse(path, n)),
            ("(d) pure Python, as (a)", lambda: python_replay(path)),
        ]
        rows = [(label, *best_time(run, args.repeat)) for label, run in variants]

    baseline = rows[-1][1] / rows[-1][2]
    print(f"{'variant':32} {'packets':>8} {'seconds':>9} {'packets/s':>12} {'vs (d)':>8}")
    for label, count, seconds in rows:
        rate = count / seconds
        print(f"{label:32} {count:8d} {seconds:9.3f} {rate:12.0f} {rate / baseline:7.1f}x")


if __name__ == "__main__":
    main()
