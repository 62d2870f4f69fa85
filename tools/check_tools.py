"""Self-check of the pure-Python tooling (encoder, motion model, capture
generator, simulator). Run it directly:

    python tools/check_tools.py            # everything, about 10 s
    python tools/check_tools.py --quick    # skip the 3 s throughput run

Exits non-zero on the first failed group and prints what failed.
"""

from __future__ import annotations

import argparse
import errno
import math
import os
import random
import select
import statistics
import struct
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import mip_wire as mw          # noqa: E402
import motion                  # noqa: E402
from make_capture import ACK_AFTER_PACKETS, capture_bytes, make_capture   # noqa: E402
from simulator import Simulator  # noqa: E402


class CheckFailed(AssertionError):
    pass


def check(cond, what):
    if not cond:
        raise CheckFailed(what)


def eq(got, want, what):
    if got != want:
        raise CheckFailed(f"{what}: got {got!r}, want {want!r}")


def hx(s: str) -> bytes:
    return bytes.fromhex(s)


# ---------------------------------------------------------------------------

def check_framing():
    eq(mw.frame(0x01, hx("0202")), hx("75 65 01 02 02 02 E1 C7"), "idle command packet")
    eq(mw.frame(0x80, b""), hx("75 65 80 00 5A 03"), "empty sensor packet")
    eq(mw.checksum(hx("75 65 80 00")), hx("5A 03"), "checksum of empty sensor packet")
    eq(mw.SET_IDLE, hx("75 65 01 02 02 02 E1 C7"), "SET_IDLE")
    eq(mw.SENSOR_STREAM_OFF, hx("75 65 0C 05 05 11 01 01 00 03 19"), "sensor stream off")
    eq(mw.FILTER_STREAM_OFF, hx("75 65 0C 05 05 11 01 03 00 05 1D"), "filter stream off")
    eq(len(mw.CONFIGURE_SEQUENCE), 30, "configure sequence length")
    eq(mw.field(0x02, b""), hx("02 02"), "field with no data")
    eq(mw.raw_field(0x04, b"\x00" * 3, length=0x20), hx("20 04 000000"), "raw field length override")
    eq(mw.ack_reply(0x0C, 0x11), mw.frame(0x0C, hx("04 F1 11 00")), "ack reply")

    # sums after the sync bytes are A=0xDA, B=0x4F
    eq(mw.checksum(mw.SYNC), hx("DA 4F"), "checksum state after sync")

    # the closed form must agree with the byte-by-byte definition
    def slow(data):
        a = b = 0
        for x in data:
            a = (a + x) & 0xFF
            b = (b + a) & 0xFF
        return bytes((a, b))
    rng = random.Random(7)
    for n in list(range(0, 12)) + [255, 261, 1000]:
        for _ in range(20):
            d = bytes(rng.getrandbits(8) for _ in range(n))
            eq(mw.checksum(d), slow(d), f"checksum of {n} random bytes")

    try:
        mw.frame(0x80, bytes(256))
    except ValueError:
        pass
    else:
        raise CheckFailed("a 256-byte payload was framed")


# The data-model table, transcribed independently of the catalogue's type
# lists: name -> (descriptor set, field descriptor, data bytes).
TABLE = {
    "ScaledAccVector": (0x80, 0x04, 12), "ScaledGyroVector": (0x80, 0x05, 12),
    "ScaledMageVector": (0x80, 0x06, 12), "DeltaThetaVector": (0x80, 0x07, 12),
    "DeltaVelocityVector": (0x80, 0x08, 12), "ScaledAmbientPressure": (0x80, 0x17, 4),
    "CFOrientationMatrix": (0x80, 0x09, 36), "CFQuaternion": (0x80, 0x0A, 16),
    "CFEulerAngles": (0x80, 0x0C, 12), "CFStabilizedNorthVector": (0x80, 0x10, 12),
    "CFStabilizedUpVector": (0x80, 0x11, 12), "GPSCorrelationTimestamp": (0x80, 0x12, 12),
    "FilterStatus": (0x82, 0x10, 6), "GPSTimestamp": (0x82, 0x11, 12),
    "OrientationQuaternion": (0x82, 0x03, 18), "OrientationEuler": (0x82, 0x05, 14),
    "AttitudeUncertaintyEuler": (0x82, 0x0A, 14), "AttitudeUncertaintyQuaternion": (0x82, 0x12, 18),
    "OrientationMatrix": (0x82, 0x04, 38), "CompensatedAngularRate": (0x82, 0x0E, 14),
    "GyroBias": (0x82, 0x06, 14), "GyroBiasUncertainty": (0x82, 0x0B, 14),
    "CompensatedAcceleration": (0x82, 0x1C, 14), "LinearAcceleration": (0x82, 0x0D, 14),
    "PressureAltitude": (0x82, 0x21, 6), "GravityVector": (0x82, 0x13, 14),
    "WGS84LocalGravityMagnitude": (0x82, 0x0F, 6),
}


def check_catalogue():
    eq(len(mw.SENSOR_ALTERNATIVES), 12, "sensor alternatives")
    eq(len(mw.FILTER_ALTERNATIVES), 15, "filter alternatives")
    eq(sorted(mw.CATALOGUE), sorted(TABLE), "catalogue names")
    for name, (dset, fd, size) in TABLE.items():
        a = mw.CATALOGUE[name]
        eq((a.descriptor_set, a.field_descriptor, a.data_size, a.field_length),
           (dset, fd, size, size + 2), f"layout of {name}")
        if dset == 0x82 and name != "FilterStatus":
            eq(a.fields[-1][1], "vf", f"{name}: validity is last")
    eq(mw.CATALOGUE["OrientationQuaternion"].field_names, ("x", "y", "z", "w", "valid"), "quaternion order")
    eq(mw.CATALOGUE["GPSTimestamp"].fields, (("time_of_week", "f64"), ("week", "u16"), ("valid_flags", "vf")),
       "GPSTimestamp layout")
    eq(mw.CATALOGUE["GPSCorrelationTimestamp"].fields[-1], ("timestamp_flags", "u16"), "correlation flags are u16")
    eq(mw.CATALOGUE["CFOrientationMatrix"].field_names,
       ("m11", "m12", "m13", "m21", "m22", "m23", "m31", "m32", "m33"), "matrix order")


def check_encoding():
    words = struct.pack(">fff", 1.0, 2.0, -1.0)
    eq(mw.encode_reading("ScaledAccVector", 1.0, 2.0, -1.0), hx("0E 04") + words, "ScaledAccVector field")
    eq(mw.encode_reading("ScaledAccVector", z=-1, x=1, y=2), hx("0E 04") + words, "keywords, ints")
    eq(mw.encode_reading("ScaledAccVector", 1.0, 2.0, -1.0, trailing=b"\xAA\xBB"),
       hx("10 04") + words + hx("AA BB"), "trailing bytes are counted")
    eq(mw.encode_reading("ScaledAccVector", 1.0, 2.0, -1.0, length=0x06)[:2], hx("06 04"), "lying length")
    q = mw.encode_reading("OrientationQuaternion", 0, 0, 0, 1, valid=True)
    eq(q[:2], hx("14 03"), "quaternion header")
    eq(q[-2:], hx("00 01"), "valid=True")
    for v, w in ((False, "0000"), ("Invalid", "0000"), ("Valid", "0001"), (mw.ValidFlag.Valid, "0001"),
                 (2, "0002"), (65535, "FFFF"), (hx("0003"), "0003")):
        eq(mw.encode_reading("PressureAltitude", 1.0, v)[-2:], hx(w), f"validity {v!r}")
    eq(mw.encode_values("ScaledAmbientPressure", hx("7FC00001")), hx("7FC00001"), "raw NaN bits")
    eq(mw.encode_values("ScaledAmbientPressure", -0.0), hx("80000000"), "negative zero")
    eq(mw.encode_values("FilterStatus", 65535, 0, 1), hx("FFFF 0000 0001"), "u16 values")
    for bad in (lambda: mw.encode_values("ScaledAccVector", 1, 2),
                lambda: mw.encode_values("ScaledAccVector", 1, 2, 3, x=1),
                lambda: mw.encode_values("ScaledAccVector", 1, 2, 3, q=1),
                lambda: mw.encode_values("FilterStatus", 1.5, 0, 0),
                lambda: mw.encode_values("FilterStatus", 65536, 0, 0),
                lambda: mw.encode_values("PressureAltitude", 1.0, "valid"),
                lambda: mw.encode_values("NoSuchThing")):
        try:
            bad()
        except (TypeError, ValueError, KeyError):
            pass
        else:
            raise CheckFailed("bad encode arguments were accepted")


def check_reference_decoder():
    acc = mw.encode_reading("ScaledAccVector", 1.0, 2.0, -1.0)
    gyro = mw.encode_reading("ScaledGyroVector", 0.5, 0.25, 0.125)
    dp = mw.decode_payload
    eq(dp(0x80, acc + gyro), [("ScaledAccVector", {"x": 1.0, "y": 2.0, "z": -1.0}),
                              ("ScaledGyroVector", {"x": 0.5, "y": 0.25, "z": 0.125})], "two sensor fields")
    eq(dp(0x82, acc + gyro), [], "sensor descriptors under the filter set")
    eq(dp(0x80, mw.encode_reading("ScaledAccVector", 1, 2, -1, trailing=b"\0\0")),
       [("ScaledAccVector", {"x": 1.0, "y": 2.0, "z": -1.0})], "surplus bytes ignored")
    eq(dp(0x80, hx("0D 04") + words_f(1, 2, -1)[:11]), [], "eleven data bytes")
    eq(dp(0x80, hx("06 04") + words_f(1) + gyro),
       [("ScaledGyroVector", {"x": 0.5, "y": 0.25, "z": 0.125})], "short field does not borrow bytes")
    eq(dp(0x80, hx("00")), [], "single zero byte")
    eq(dp(0x80, hx("01 01 01")), [], "length bytes only")
    qv = mw.encode_reading("OrientationQuaternion", 0.0, 0.0, 0.0, 1.0, 1)
    eq(dp(0x82, qv), [("OrientationQuaternion", {"x": 0.0, "y": 0.0, "z": 0.0, "w": 1.0, "valid": "Valid"})],
       "valid quaternion")
    eq(dp(0x82, qv[:-2] + hx("0002")), [], "validity word 2")
    eq(dp(0x82, mw.encode_reading("GPSTimestamp", 1.0, 5, 3)), [], "GPSTimestamp validity 3")
    eq(dp(0x80, mw.encode_reading("GPSCorrelationTimestamp", 1.0, 5, 3))[0][1]["timestamp_flags"], 3,
       "correlation flags 3")
    eq(dp(0x80, mw.encode_reading("PressureAltitude", 1.0, 1)), [], "filter descriptor in sensor set")
    eq(dp(0x01, acc), [], "command set")
    eq(dp(0x80, hx("20 17") + struct.pack(">f", 3.5)), [("ScaledAmbientPressure", {"ambient_pressure": 3.5})],
       "overrunning last field")
    eq([n for n, _ in dp(0x80, acc + acc)], ["ScaledAccVector"] * 2, "repeated descriptor")


def words_f(*xs):
    return struct.pack(">%df" % len(xs), *xs)


def check_frame_splitting():
    pk = [mw.SET_IDLE, mw.frame(0x80, b""), mw.ack_reply(0x0C, 0x11), motion.sensor_packet(3)]
    data = b"".join(pk)
    frames = list(mw.iter_frames(data, strict=True))
    eq([f.offset for f in frames], [0, 8, 14, 24], "offsets")
    eq([f.descriptor_set for f in frames], [0x01, 0x80, 0x0C, 0x80], "descriptor sets")
    # garbage, a stray sync byte pair, a damaged packet, then good packets
    bad = bytearray(motion.filter_packet(2))
    bad[10] ^= 0xFF
    noisy = b"\x00\x75\x65\x33" + bytes(bad) + data + b"\x75\x65\x80"
    p = mw.FrameParser()
    got = []
    rng = random.Random(3)
    i = 0
    while i < len(noisy):
        k = rng.randint(1, 9)
        got += p.feed(noisy[i:i + k])
        i += k
    eq([(f.descriptor_set, f.payload) for f in got], [(f.descriptor_set, f.payload) for f in frames],
       "resynchronised frames")
    eq([f.offset for f in got], [f.offset + 4 + len(bad) for f in frames], "stream offsets")
    eq(p.pending, 3, "unfinished tail kept")
    check(p.bad_checksums >= 1, "damaged packet counted")
    for broken in (b"\x00" + data, data + b"\x75", data[:-1]):
        try:
            list(mw.iter_frames(broken, strict=True))
        except mw.FrameError:
            pass
        else:
            raise CheckFailed("strict splitter accepted stray bytes")


def check_motion():
    m = motion.Motion(1)
    for t in (0.0, 0.37, 5.0, 17.25, 59.99, 123.4):
        s = m.state(t)
        x, y, z, w = s.quaternion
        check(abs(x * x + y * y + z * z + w * w - 1) < 1e-12, f"unit quaternion at {t}")
        R = ((1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)),
             (2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)),
             (2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)))
        M = s.matrix
        for i in range(3):
            for j in range(3):
                check(abs(R[i][j] - M[3 * j + i]) < 1e-12, f"R(q) is the transpose of M at {t}")
        check(abs(math.atan2(M[5], M[8]) - s.roll) < 1e-12, "roll from matrix")
        check(abs(-math.asin(M[2]) - s.pitch) < 1e-12, "pitch from matrix")
        check(abs(math.atan2(M[1], M[0]) - s.yaw) < 1e-12, "yaw from matrix")
        check(-math.pi <= s.yaw <= math.pi, "yaw wrapped")
        g = s.gravity
        check(abs(math.sqrt(sum(v * v for v in g)) - motion.LOCAL_GRAVITY) < 1e-9, "gravity magnitude")
        check(s.specific_force[2] < -0.8, "accelerometer reads about -1 g on z")
        # body rates against the finite difference of the attitude:
        # M(t+h) M(t)^T ~ I - h [w x]
        h = 1e-6
        s2 = m.state(t + h)
        N = s2.matrix

        def prod(i, j):
            return sum(N[3 * i + k] * M[3 * j + k] for k in range(3))
        wx, wy, wz = (prod(1, 2) - prod(2, 1)) / (2 * h), (prod(2, 0) - prod(0, 2)) / (2 * h), \
                     (prod(0, 1) - prod(1, 0)) / (2 * h)
        for got, want, axis in zip(s.rates, (wx, wy, wz), "xyz"):
            check(abs(got - want) < 1e-5, f"rate {axis} at {t}: {got} vs finite difference {want}")
    # sequence numbers survive the time fields, across week boundaries too
    for rate in (1, 50, 100, 333.0, 1000, 1000.0):
        for seq in (0, 1, 2, 99, 12345, 10 ** 9 + 7, int(motion.WEEK_SECONDS * rate) - 1,
                    int(motion.WEEK_SECONDS * rate), int(3 * motion.WEEK_SECONDS * rate) + 5):
            tow, week = motion.time_fields(seq, rate)
            check(0 <= tow < motion.WEEK_SECONDS, "time of week in range")
            eq(motion.sequence_number(tow, week, rate), seq, f"sequence {seq} at {rate} Hz")
    # noise is fixed by its key, differs between seeds and stays small
    eq(m.noise(0x80, 5, 1), motion.Motion(1).noise(0x80, 5, 1), "noise is reproducible")
    check(m.noise(0x80, 5, 1) != motion.Motion(2).noise(0x80, 5, 1), "noise depends on the seed")
    vals = [m.noise(0x80, k, 0) for k in range(2000)]
    check(all(-1 <= v < 1 for v in vals) and abs(statistics.mean(vals)) < 0.1, "noise range and mean")


def check_capture():
    data, info = capture_bytes(12.0, 100, 100, seed=1)
    eq((info.sensor_packets, info.filter_packets, info.reply_packets), (1200, 1200, 3), "capture counts")
    frames = list(mw.iter_frames(data, strict=True))
    eq(sum(f.size for f in frames), len(data), "capture is packets back to back")
    eq(len(frames), info.packets, "frame count")
    replies = [f for f in frames if f.descriptor_set < 0x80]
    eq([(f.descriptor_set, f.payload) for f in replies],
       [(0x01, hx("04F10200")), (0x0C, hx("04F11100")), (0x0C, hx("04F11100"))], "acknowledgements")
    eq(frames.index(replies[0]), ACK_AFTER_PACKETS, "acknowledgements follow the first data packets")
    m = motion.Motion(1)
    seqs = {0x80: [], 0x82: []}
    last_t = -1.0
    for f in frames:
        if f.descriptor_set < 0x80:
            continue
        got = mw.decode_payload(f.descriptor_set, f.payload)
        tname = "GPSCorrelationTimestamp" if f.descriptor_set == 0x80 else "GPSTimestamp"
        tv = dict(got)[tname]
        tow, week = (tv["gps_time_of_week"], tv["gps_week"]) if f.descriptor_set == 0x80 else \
                    (tv["time_of_week"], tv["week"])
        seq = motion.sequence_number(tow, week, 100)
        check(seq / 100 >= last_t, "packets in time order")
        last_t = seq / 100
        seqs[f.descriptor_set].append(seq)
        eq(got, m.expected_readings(f.descriptor_set, seq, 100), f"content of packet {f.descriptor_set:#x}/{seq}")
    eq(seqs[0x80], list(range(1200)), "sensor sequence")
    eq(seqs[0x82], list(range(1200)), "filter sequence")
    eq([n for n, _ in mw.decode_payload(0x80, frames[0].payload)], list(motion.SENSOR_FIELDS), "sensor fields")
    eq([n for n, _ in mw.decode_payload(0x82, frames[1].payload)], list(motion.FILTER_FIELDS), "filter fields")

    # file output, determinism, seeds, other rates and deltas
    with tempfile.TemporaryDirectory() as d:
        p = os.path.join(d, "c.bin")
        t0 = time.perf_counter()
        info2 = make_capture(p, seed=1)
        dt = time.perf_counter() - t0
        with open(p, "rb") as fh:
            eq(fh.read(), data, "file equals in-memory capture")
        eq(info2.size, len(data), "reported size")
    check(dt < 2.0, f"12 s capture took {dt:.2f} s")
    d2 = capture_bytes(2.0, 100, 100, seed=2)[0]
    eq(capture_bytes(2.0, 100, 100, seed=1)[0], data[:len(d2)], "a shorter capture is a prefix")
    check(d2 != data[:len(d2)], "seed changes the data")
    d3, i3 = capture_bytes(1.0, 250, 50, seed=1, deltas=True)
    fr3 = [f for f in mw.iter_frames(d3, strict=True) if f.descriptor_set >= 0x80]
    eq((i3.sensor_packets, i3.filter_packets), (250, 50), "uneven rates")
    eq(sum(1 for f in fr3 if f.descriptor_set == 0x80), 250, "sensor packets at 250 Hz")
    eq([n for n, _ in mw.decode_payload(0x80, fr3[0].payload)], list(motion.SENSOR_FIELDS_WITH_DELTAS),
       "sensor fields with deltas")
    return len(data)


# ---------------------------------------------------------------------------
# simulator

class SlaveReader:
    """Reads the slave side the plain way (os.read) and splits frames."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.parser = mw.FrameParser()
        self.raw = bytearray()

    def read_for(self, seconds, on_frame=None, keep_raw=False):
        frames = []
        end = time.monotonic() + seconds
        p = select.poll()
        p.register(self.fd, select.POLLIN)
        while True:
            left = end - time.monotonic()
            if left <= 0:
                break
            if not p.poll(left * 1000):
                continue
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            now = time.time_ns()
            if keep_raw:
                self.raw += chunk
            for f in self.parser.feed(chunk):
                if on_frame:
                    on_frame(f, now)
                frames.append(f)
        return frames

    def close(self):
        os.close(self.fd)


def seq_of(f):
    r = dict(mw.decode_payload(f.descriptor_set, f.payload))
    if f.descriptor_set == 0x80:
        v = r["GPSCorrelationTimestamp"]
        return v["gps_time_of_week"], v["gps_week"]
    v = r["GPSTimestamp"]
    return v["time_of_week"], v["week"]


def check_simulator_commands():
    with Simulator(200, 200, keep_slave_open=False) as sim:
        rd = SlaveReader(sim.slave_path)
        try:
            rd.read_for(0.2)
            check(sim.streaming_sensor and sim.streaming_filter, "streams on at start")
            os.write(rd.fd, mw.SENSOR_STREAM_OFF)
            check(sim.wait_until(lambda s: not s.streaming_sensor, 2.0), "sensor stream stopped")
            check(sim.streaming_filter, "filter stream still on")
            frames = rd.read_for(0.15)
            acks = [f for f in frames if f.descriptor_set == 0x0C]
            eq([f.payload for f in acks], [hx("04F11100")], "stream-off ack")
            # nothing from the stopped stream after its ack
            after = frames[frames.index(acks[0]) + 1:]
            check(after and all(f.descriptor_set == 0x82 for f in after), "only filter packets after sensor off")
            # idle on its own stops both streams
            sim.start_streams()
            check(sim.streaming_sensor, "sensor stream restarted")
            os.write(rd.fd, mw.SET_IDLE)
            check(sim.wait_until(lambda s: not s.streaming_sensor and not s.streaming_filter, 2.0),
                  "idle stopped both streams")
            frames = rd.read_for(0.15)
            eq([(f.descriptor_set, f.payload) for f in frames if f.descriptor_set < 0x80],
               [(0x01, hx("04F10200"))], "idle ack")
            # the configure sequence in one write
            sim.start_streams()
            os.write(rd.fd, mw.CONFIGURE_SEQUENCE)
            check(sim.wait_until(lambda s: not s.streaming_filter, 2.0), "idle stopped the filter stream")
            frames = rd.read_for(0.15)
            eq([(f.descriptor_set, f.payload) for f in frames if f.descriptor_set < 0x80],
               [(0x01, hx("04F10200")), (0x0C, hx("04F11100")), (0x0C, hx("04F11100"))], "three acks")
            check(not rd.read_for(0.1), "silent after idle")
            # unsupported command: nack, nothing changes
            os.write(rd.fd, mw.frame(0x0C, mw.field(0x42, b"\x01")))
            frames = rd.read_for(0.1)
            eq([f.payload for f in frames], [hx("04F14201")], "nack")
            # restart: sequence numbers continue
            before = dict(sim.next_seq)
            sim.start_streams()
            frames = rd.read_for(0.2)
            firsts = {}
            for f in frames:
                firsts.setdefault(f.descriptor_set, motion.sequence_number(*seq_of(f), 200))
            eq(firsts, {0x80: before[0x80], 0x82: before[0x82]}, "sequence continues after restart")
            eq(len(sim.commands_received), 6, "commands recorded")
            # injected garbage arrives between packets, untouched
            sim.inject(b"\x00GARBAGE\x75")
            rd.raw.clear()
            rd.read_for(0.1, keep_raw=True)
            check(b"\x00GARBAGE\x75" in rd.raw, "injected bytes arrive")
            check(rd.parser.skipped >= 9, "injected bytes are not frames")
            # every 50th byte dropped: packets damaged, recorded as such
            sim.set_drop(every=50)
            n_dmg = len(sim.damaged)
            rd.parser.bad_checksums = 0
            frames = rd.read_for(0.2)
            sim.set_drop()
            check(len(sim.damaged) > n_dmg and sim.dropped_bytes > 0, "damaged packets recorded")
            check(rd.parser.bad_checksums > 0 or rd.parser.skipped > 0, "receiver saw damage")
            # hang-up: the client sees the line go away
            sim.hangup()
            check(sim.hung_up, "hung up")
            time.sleep(0.05)
            try:
                while os.read(rd.fd, 65536):
                    pass
                gone = True          # end of file
            except OSError as e:
                gone = e.errno == errno.EIO
            check(gone, "slave read fails after hang-up")
        finally:
            rd.close()


def check_simulator_stall():
    """A reader that stalls loses nothing; the cap drops whole packets."""
    with Simulator(1000, 1000, streaming=False) as sim:
        rd = SlaveReader(sim.slave_path)
        try:
            sim.start_streams()
            time.sleep(0.6)                 # nobody reads: pty fills, backlog grows
            stalled = sim.backlog_bytes
            check(stalled > 50_000, f"backlog grew while stalled ({stalled} B)")
            sim.stop_streams()
            frames = rd.read_for(0.8)
            n = sim.next_seq
            per = {0x80: [], 0x82: []}
            for f in frames:
                per[f.descriptor_set].append(motion.sequence_number(*seq_of(f), 1000))
            eq(per[0x80], list(range(n[0x80])), "every sensor packet after the stall")
            eq(per[0x82], list(range(n[0x82])), "every filter packet after the stall")
            eq(sim.backlog_bytes, 0, "backlog drained")
        finally:
            rd.close()
    with Simulator(1000, 1000, max_backlog=20_000) as sim:
        time.sleep(0.5)                     # nobody has the slave open at all
        check(sim.overflow_sensor > 0 and sim.overflow_filter > 0, "cap drops packets")
        check(sim.backlog_bytes <= 20_000, "backlog within cap")
        check(not sim.client_attached, "hang-up state seen without a client")
        rd = SlaveReader(sim.slave_path)
        try:
            sim.discard_pending()
            frames = rd.read_for(0.2)
            check(frames, "packets after discard")
            first = motion.sequence_number(*seq_of(frames[0]), 1000)
            check(first > 300, f"stale packets were discarded (first seq {first})")
        finally:
            rd.close()


def measure_throughput(seconds=3.0, rate=1000):
    with Simulator(rate, rate, streaming=False) as sim:
        rd = SlaveReader(sim.slave_path)
        arrivals = []
        seqs = {0x80: [], 0x82: []}

        def on_frame(f, now):
            s = motion.sequence_number(*seq_of(f), rate)
            seqs[f.descriptor_set].append(s)
            # the send time may be recorded a moment after the bytes arrive
            # (the writer thread records after its write returns): look it
            # up afterwards
            arrivals.append(((f.descriptor_set, s), now))
        try:
            sim.start_streams()
            t0 = time.monotonic()
            rd.read_for(seconds, on_frame)
            elapsed = time.monotonic() - t0
            sim.stop_streams()
            rd.read_for(0.3, on_frame)      # what was still in flight
        finally:
            rd.close()
        res = {
            "elapsed": elapsed,
            "sent": (sim.sent_sensor, sim.sent_filter),
            "received": (len(seqs[0x80]), len(seqs[0x82])),
            "contiguous": all(v == list(range(len(v))) for v in seqs.values()),
            "skipped": rd.parser.skipped,
            "overflow": (sim.overflow_sensor, sim.overflow_filter),
        }
        lat = sorted(now - sim.send_times[key] for key, now in arrivals)
        check(lat[0] >= 0, "a packet arrived before it was sent")
        if lat:
            res["latency_ms"] = (lat[len(lat) // 2] / 1e6, lat[int(len(lat) * 0.99)] / 1e6, lat[-1] / 1e6)
        return res


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="skip the throughput measurement")
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--rate", type=int, default=1000)
    a = ap.parse_args(argv)
    groups = [check_framing, check_catalogue, check_encoding, check_reference_decoder,
              check_frame_splitting, check_motion, check_capture, check_simulator_commands,
              check_simulator_stall]
    for g in groups:
        t0 = time.perf_counter()
        try:
            g()
        except Exception:
            print(f"FAIL {g.__name__}")
            traceback.print_exc()
            return 1
        print(f"ok   {g.__name__} ({time.perf_counter() - t0:.2f} s)")
    if not a.quick:
        r = measure_throughput(a.seconds, a.rate)
        exp = a.seconds * a.rate
        print(f"throughput: {a.rate}+{a.rate} Hz for {r['elapsed']:.2f} s: sent {r['sent']}, "
              f"received {r['received']}, contiguous={r['contiguous']}, skipped bytes={r['skipped']}, "
              f"overflow={r['overflow']}")
        if "latency_ms" in r:
            print("latency send->os.read (ms): median %.3f, p99 %.3f, max %.3f" % r["latency_ms"])
        ok = (r["contiguous"] and r["skipped"] == 0 and r["sent"] == r["received"]
              and all(n >= 0.98 * exp for n in r["received"]))
        if not ok:
            print("FAIL throughput")
            return 1
        print("ok   throughput")
    return 0


if __name__ == "__main__":
    sys.exit(main())
