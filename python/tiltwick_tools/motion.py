"""Deterministic motion of a slowly rotating body, and the data packets a
device strapped to it would send.

Frames and conventions
----------------------
* Navigation frame: north-east-down (NED). Gravity points along +z (down).
* Attitude: yaw-pitch-roll Euler angles (rotate by yaw about z, then pitch
  about the new y, then roll about the new x), in radians.
* ``matrix`` (m11..m33, row-major) is the direction-cosine matrix taking NED
  vectors into the body frame: v_body = M * v_ned.
* ``quaternion`` (x, y, z, w) is the usual yaw-pitch-roll quaternion; it
  rotates body vectors into NED, so its rotation matrix is the transpose of M.
* Angular rates are body-frame rates in rad/s; the accelerometer reads
  specific force in g (about (0, 0, -1) when level and still); the
  magnetometer reads gauss; gravity and linear acceleration are m/s^2.

Sequence numbers
----------------
Each stream numbers its packets 0, 1, 2, ... and packet ``seq`` of a stream
at ``rate`` Hz describes the body at time t = seq / rate. The number is
carried in the GPS time fields:

* sensor packets: GPSCorrelationTimestamp.gps_time_of_week / gps_week,
* filter packets: GPSTimestamp.time_of_week / week,

with week = BASE_WEEK + floor(t / 604800) and time_of_week = the remainder,
so ``sequence_number(time_of_week, week, rate)`` gives seq back exactly
(round(((week - BASE_WEEK) * 604800 + time_of_week) * rate)). The time of week
is an f64 on the wire, so nothing is lost in transit. Gaps in the recovered
numbers are lost packets; seq / rate is the packet's nominal send time
relative to the start of its stream.

Noise is a pure function of (seed, stream, seq, channel), not of call order,
so the expected content of any packet can be recomputed from its sequence
number alone (see ``expected_readings``).
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass

from . import mip_wire as mw

__all__ = [
    "BASE_WEEK", "WEEK_SECONDS", "G0", "Motion", "BodyState",
    "time_fields", "sequence_number", "sensor_packet", "filter_packet", "imu_packet",
]

BASE_WEEK = 2300
WEEK_SECONDS = 604800
G0 = 9.80665                       # one g, m/s^2
LOCAL_GRAVITY = 9.803110           # magnitude reported by the filter, m/s^2
MAG_NED = (0.212, -0.018, 0.431)   # earth field, gauss
GYRO_BIAS = (0.0012, -0.0008, 0.0005)   # rad/s

Vector = tuple[float, float, float]
_TWO_PI = 2.0 * math.pi
_MASK64 = (1 << 64) - 1


def time_fields(seq: int, rate: float) -> tuple[float, int]:
    """(time_of_week, week) carrying sequence number ``seq`` at ``rate`` Hz."""
    t = seq / rate
    weeks = int(t // WEEK_SECONDS)
    return t - weeks * WEEK_SECONDS, BASE_WEEK + weeks


def sequence_number(time_of_week: float, week: int, rate: float) -> int:
    """Inverse of ``time_fields``."""
    return round(((week - BASE_WEEK) * WEEK_SECONDS + time_of_week) * rate)


def _mix(x: int) -> int:
    # splitmix64 finaliser
    x = (x + 0x9E3779B97F4A7C15) & _MASK64
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & _MASK64
    return x ^ (x >> 31)


@dataclass(frozen=True)
class BodyState:
    t: float
    roll: float
    pitch: float
    yaw: float
    quaternion: tuple[float, float, float, float]   # x, y, z, w
    matrix: tuple[float, ...]                       # m11..m33, NED -> body
    rates: tuple[float, float, float]               # body rates, rad/s
    gravity: tuple[float, float, float]             # gravity in body frame, m/s^2
    linear_accel: tuple[float, float, float]        # body frame, m/s^2
    specific_force: tuple[float, float, float]      # accelerometer truth, g
    mag: tuple[float, float, float]                 # magnetometer truth, gauss
    pressure_altitude: float                        # m


class Motion:
    """The body's motion plus the sensor noise of one simulated device.

    ``seed`` selects the noise (and a small per-device offset of the motion
    phases); the same seed always gives the same packets.
    """

    def __init__(self, seed: int = 1) -> None:
        self.seed = seed
        rng = random.Random(seed)
        self._phase = tuple(rng.uniform(0.0, _TWO_PI) for _ in range(4))
        self._yaw0 = rng.uniform(-math.pi, math.pi)
        self._noise_key = _mix(seed & _MASK64)

    # -- the body -------------------------------------------------------

    def state(self, t: float) -> BodyState:
        p0, p1, p2, p3 = self._phase
        # roll and pitch sway slowly; yaw turns once a minute
        wr, wp, wy = _TWO_PI / 20.0, _TWO_PI / 27.0, _TWO_PI / 60.0
        roll = 0.35 * math.sin(wr * t + p0)
        droll = 0.35 * wr * math.cos(wr * t + p0)
        pitch = 0.20 * math.sin(wp * t + p1)
        dpitch = 0.20 * wp * math.cos(wp * t + p1)
        yaw_u = self._yaw0 + wy * t
        yaw = math.remainder(yaw_u, _TWO_PI)
        dyaw = wy

        cr, sr = math.cos(roll), math.sin(roll)
        cp, sp = math.cos(pitch), math.sin(pitch)
        cy, sy = math.cos(yaw), math.sin(yaw)
        m = (cp * cy, cp * sy, -sp,
             sr * sp * cy - cr * sy, sr * sp * sy + cr * cy, sr * cp,
             cr * sp * cy + sr * sy, cr * sp * sy - sr * cy, cr * cp)

        hr, hp, hy = roll / 2, pitch / 2, yaw / 2
        chr_, shr = math.cos(hr), math.sin(hr)
        chp, shp = math.cos(hp), math.sin(hp)
        chy, shy = math.cos(hy), math.sin(hy)
        q = (shr * chp * chy - chr_ * shp * shy,
             chr_ * shp * chy + shr * chp * shy,
             chr_ * chp * shy - shr * shp * chy,
             chr_ * chp * chy + shr * shp * shy)

        rates = (droll - dyaw * sp,
                 dpitch * cr + dyaw * sr * cp,
                 -dpitch * sr + dyaw * cr * cp)
        g = (LOCAL_GRAVITY * m[2], LOCAL_GRAVITY * m[5], LOCAL_GRAVITY * m[8])
        lin = (0.05 * math.sin(_TWO_PI * t / 3.0 + p2),
               0.03 * math.cos(_TWO_PI * t / 4.0 + p3),
               0.01 * math.sin(_TWO_PI * t / 5.0))
        sf = ((lin[0] - g[0]) / G0, (lin[1] - g[1]) / G0, (lin[2] - g[2]) / G0)
        mag0, mag1, mag2 = (m[3 * i] * MAG_NED[0] + m[3 * i + 1] * MAG_NED[1] + m[3 * i + 2] * MAG_NED[2]
                            for i in range(3))
        mag = (mag0, mag1, mag2)
        alt = 112.0 + 0.5 * math.sin(_TWO_PI * t / 45.0 + p2)
        return BodyState(t, roll, pitch, yaw, q, m, rates, g, lin, sf, mag, alt)

    # -- noise ------------------------------------------------------------

    def noise(self, stream: int, seq: int, channel: int) -> float:
        """Uniform value in [-1, 1) fixed by (seed, stream, seq, channel)."""
        h = _mix(self._noise_key ^ _mix((stream << 56) ^ (channel << 48) ^ (seq & 0xFFFFFFFFFFFF)))
        return (h >> 11) * (2.0 / (1 << 53)) - 1.0

    def _noisy3(self, v: tuple[float, ...], scale: float, stream: int, seq: int, ch: int) -> Vector:
        return (v[0] + scale * self.noise(stream, seq, ch), v[1] + scale * self.noise(stream, seq, ch + 1),
                v[2] + scale * self.noise(stream, seq, ch + 2))

    # -- reading values ---------------------------------------------------

    def sensor_values(self, seq: int, rate: float = 100.0, *, deltas: bool = False) -> dict[str, tuple[float, ...]]:
        """Values (wire order, validity as ints) of sensor packet ``seq``."""
        s = self.state(seq / rate)
        S = mw.SENSOR_SET
        acc = self._noisy3(s.specific_force, 0.002, S, seq, 0)
        gyro = self._noisy3(tuple(r + b for r, b in zip(s.rates, GYRO_BIAS)), 0.0005, S, seq, 3)
        mag = self._noisy3(s.mag, 0.002, S, seq, 6)
        tow, week = time_fields(seq, rate)
        v: dict[str, tuple[float, ...]] = {
            "ScaledAccVector": acc,
            "ScaledGyroVector": gyro,
            "ScaledMageVector": mag,
        }
        if deltas:
            dt = 1.0 / rate
            v["DeltaThetaVector"] = tuple(x * dt for x in gyro)
            v["DeltaVelocityVector"] = tuple(x * dt for x in acc)
        v["CFQuaternion"] = s.quaternion
        v["CFEulerAngles"] = (s.roll, s.pitch, s.yaw)
        v["GPSCorrelationTimestamp"] = (tow, week, 0x0007)
        return v

    def filter_state(self, t: float) -> tuple[int, int, int]:
        # initialising for the first second, then running
        return (0x0001, 0x0001, 0x0000) if t < 1.0 else (0x0002, 0x0001, 0x0000)

    def filter_values(self, seq: int, rate: float = 100.0) -> dict[str, tuple[float, ...]]:
        """Values (wire order, validity as ints) of filter packet ``seq``."""
        t = seq / rate
        s = self.state(t)
        F = mw.FILTER_SET
        tow, week = time_fields(seq, rate)
        unc = 0.002 + 0.02 * math.exp(-t / 10.0)
        V = 1
        return {
            "FilterStatus": self.filter_state(t),
            "GPSTimestamp": (tow, week, V),
            "OrientationQuaternion": s.quaternion + (V,),
            "OrientationEuler": (s.roll, s.pitch, s.yaw, V),
            "OrientationMatrix": s.matrix + (V,),
            "AttitudeUncertaintyEuler": (unc, unc, 2.5 * unc, V),
            "CompensatedAngularRate": self._noisy3(s.rates, 0.0001, F, seq, 0) + (V,),
            "GyroBias": GYRO_BIAS + (V,),
            "GravityVector": s.gravity + (V,),
            "LinearAcceleration": s.linear_accel + (V,),
            "PressureAltitude": (s.pressure_altitude, V),
            "WGS84LocalGravityMagnitude": (LOCAL_GRAVITY, V),
        }

    # -- packets ----------------------------------------------------------

    def sensor_payload(self, seq: int, rate: float = 100.0, *, deltas: bool = False) -> bytes:
        cat = mw.CATALOGUE
        return b"".join(cat[k].pack_field(*v) for k, v in self.sensor_values(seq, rate, deltas=deltas).items())

    def filter_payload(self, seq: int, rate: float = 100.0) -> bytes:
        cat = mw.CATALOGUE
        return b"".join(cat[k].pack_field(*v) for k, v in self.filter_values(seq, rate).items())

    def sensor_packet(self, seq: int, rate: float = 100.0, *, deltas: bool = False) -> bytes:
        """Complete 0x80 packet number ``seq`` of a stream at ``rate`` Hz."""
        return mw.frame(mw.SENSOR_SET, self.sensor_payload(seq, rate, deltas=deltas))

    def filter_packet(self, seq: int, rate: float = 100.0) -> bytes:
        """Complete 0x82 packet number ``seq`` of a stream at ``rate`` Hz."""
        return mw.frame(mw.FILTER_SET, self.filter_payload(seq, rate))

    def imu_packet(self, seq: int, rate: float = 100.0) -> bytes:
        """The usual minimal configuration: a 48-byte 0x80 packet of accelerometer, gyro and
        magnetometer only (no time fields, so no sequence number is carried)."""
        values = self.sensor_values(seq, rate)
        names = ("ScaledAccVector", "ScaledGyroVector", "ScaledMageVector")
        return mw.frame(mw.SENSOR_SET, b"".join(mw.CATALOGUE[n].pack_field(*values[n]) for n in names))


_default = Motion(1)


def sensor_packet(seq: int, rate: float = 100.0, *, deltas: bool = False, motion: Motion | None = None) -> bytes:
    """Sensor packet ``seq`` from ``motion`` (default: seed 1)."""
    return (motion or _default).sensor_packet(seq, rate, deltas=deltas)


def filter_packet(seq: int, rate: float = 100.0, *, motion: Motion | None = None) -> bytes:
    """Filter packet ``seq`` from ``motion`` (default: seed 1)."""
    return (motion or _default).filter_packet(seq, rate)


def imu_packet(seq: int, rate: float = 100.0, *, motion: Motion | None = None) -> bytes:
    """48-byte accelerometer + gyro + magnetometer packet ``seq`` from ``motion`` (default: seed 1)."""
    return (motion or _default).imu_packet(seq, rate)
