"""The simulated device that tiltwick_tools ships for testing programs without hardware: its
readings describe one consistent motion, and it answers the three commands as it is told to."""

import contextlib
import fcntl
import math
import os
import select
import subprocess
import termios
import time

import pytest

from tiltwick_tools import mip_wire as mw
from tiltwick_tools import SimulatedDevice
from tiltwick_tools.motion import G0, LOCAL_GRAVITY, Motion
from child import TIMEOUT, Child, tell_parent
from helpers import BUSY, command, open_line, run, unprivileged, wait_for, without_root


@pytest.mark.parametrize("t", [0.0, 0.37, 17.25, 59.99, 123.4])
def test_the_motion_is_one_consistent_body(t):
    """Quaternion, matrix, Euler angles, rates, gravity and accelerometer agree with each other
    (a program under test that converts between them would otherwise be judged wrongly)."""
    motion = Motion(1)
    s = motion.state(t)
    x, y, z, w = s.quaternion
    assert math.isclose(x * x + y * y + z * z + w * w, 1.0, abs_tol=1e-12)
    # the quaternion turns body vectors into NED; the matrix takes NED vectors into the body
    rotation = ((1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)),
                (2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)),
                (2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)))
    m = s.matrix
    assert all(math.isclose(rotation[i][j], m[3 * j + i], abs_tol=1e-12) for i in range(3) for j in range(3))
    assert math.isclose(math.atan2(m[5], m[8]), s.roll, abs_tol=1e-12)
    assert math.isclose(-math.asin(m[2]), s.pitch, abs_tol=1e-12)
    assert math.isclose(math.atan2(m[1], m[0]), s.yaw, abs_tol=1e-12)
    # gravity points down in NED; the accelerometer reads specific force in g
    assert all(math.isclose(s.gravity[i], LOCAL_GRAVITY * m[3 * i + 2], abs_tol=1e-12) for i in range(3))
    assert all(math.isclose(s.specific_force[i], (s.linear_accel[i] - s.gravity[i]) / G0, abs_tol=1e-12)
               for i in range(3))
    # body rates from the attitude's change: M(t + h) M(t)^T ~ I - h [w x]
    h = 1e-6
    n = motion.state(t + h).matrix

    def product(i, j):
        return sum(n[3 * i + k] * m[3 * j + k] for k in range(3))
    rates = ((product(1, 2) - product(2, 1)) / (2 * h), (product(2, 0) - product(0, 2)) / (2 * h),
             (product(0, 1) - product(1, 0)) / (2 * h))
    assert all(math.isclose(got, want, abs_tol=1e-5) for got, want in zip(s.rates, rates))


def frames_for(fd, seconds):
    parser, frames = mw.FrameParser(), []
    end = time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0:
        if select.select([fd], [], [], left)[0]:
            frames += parser.feed(os.read(fd, 65536))
    return frames


def frames_until(fd, enough, timeout=TIMEOUT):
    parser, frames = mw.FrameParser(), []
    end = time.monotonic() + timeout
    while not enough(frames) and (left := end - time.monotonic()) > 0:
        if select.select([fd], [], [], left)[0]:
            frames += parser.feed(os.read(fd, 65536))
    return frames


@pytest.mark.needs_native_speed  # reads the simulated device's packets within fixed windows
@pytest.mark.parametrize("replies, answers, streams_after", [
    ("ack", [(0x01, "04f10200"), (0x0c, "04f11100"), (0x0c, "04f11100")], False),
    ("nack", [(0x01, "04f10201"), (0x0c, "04f11101"), (0x0c, "04f11101")], True),
    ("silent", [], False),
])
def test_the_device_answers_the_commands_as_told(replies, answers, streams_after):
    with SimulatedDevice(200, replies=replies) as device:
        fd = os.open(device.path, os.O_RDWR | os.O_NOCTTY)
        try:
            assert any(f.descriptor_set == mw.SENSOR_SET for f in frames_for(fd, 0.2))
            os.write(fd, mw.CONFIGURE_SEQUENCE)
            got = [(f.descriptor_set, f.payload.hex()) for f in frames_for(fd, 0.3) if f.descriptor_set < 0x80]
            data_after = [f for f in frames_for(fd, 0.3) if f.descriptor_set >= 0x80]
        finally:
            os.close(fd)
    assert got == answers
    assert bool(data_after) == streams_after


@pytest.mark.parametrize("options, args", [
    ({"rate_hz": float("nan")}, ["--rate-hz", "nan"]),
    ({"rate_hz": 1e9}, ["--rate-hz", "1e9"]),
    ({"sensor_hz": -1.0}, ["--sensor-hz", "-1"]),
    ({"sensor_hz": 3000, "filter_hz": 3000}, ["--sensor-hz", "3000", "--filter-hz", "3000"]),
    ({"rate_hz": 30000}, ["--to-file", "x.bin", "--rate-hz", "1e300"]),
    (None, ["--seconds", "1e10"]),
    (None, ["--hangup-after", "1e10"]),
    (None, ["--garbage", "1000000000000"]),
])
def test_rates_and_durations_it_cannot_keep_are_refused(tmp_path, options, args):
    """Refused before anything starts: a ValueError from the constructor, a usage error from
    the command (not a thread that dies, a hang or a traceback)."""
    if options is not None:
        with pytest.raises(ValueError, match="must be"):
            SimulatedDevice(**options).close()
    done = run([command("tiltwick-sim"), *args], timeout=30, cwd=tmp_path)
    assert done.returncode == 2 and "Traceback" not in done.stderr, done.stderr
    assert done.stderr.splitlines()[-1].startswith("tiltwick-sim: error: argument") or "at most" in done.stderr
    assert (done.stdout, os.listdir(tmp_path)) == ("", [])


@pytest.mark.needs_termios2  # the device's raw mode: glibc 2.42 and later set it with termios2 calls
def test_a_command_too_long_for_one_ack_packet_is_answered_in_several():
    """64 pings take 256 bytes of acks, more than a packet holds; the device answers them all
    and goes on answering."""
    with SimulatedDevice(100, streaming=False) as device:
        fd = os.open(device.path, os.O_RDWR | os.O_NOCTTY)
        try:
            os.write(fd, mw.frame(0x01, mw.field(0x01) * 64))
            acks = frames_until(fd, lambda frames: sum(len(f.payload) for f in frames) >= 256)
            os.write(fd, mw.frame(0x01, mw.field(0x01)))
            later = frames_until(fd, lambda frames: frames)
        finally:
            os.close(fd)
    assert b"".join(f.payload for f in acks) == bytes.fromhex("04f10100") * 64
    assert [f.payload.hex() for f in later] == ["04f10100"]


def hold_claimed(path):
    """In a child process: claims the line and keeps it until killed."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    fcntl.ioctl(fd, termios.TIOCEXCL)
    tell_parent("held")
    time.sleep(TIMEOUT)


@pytest.mark.needs_termios2
@pytest.mark.skipif(os.geteuid() != 0, reason="clearing a dead client's claim takes root's right to reopen the line")
def test_a_killed_clients_claim_ends_with_it():
    with SimulatedDevice(100) as device:
        os.chmod(device.path, 0o666)
        holder = Child(without_root, __name__, "hold_claimed", device.path)
        try:
            if holder.receive() != "held":
                pytest.skip("cannot drop privileges")
            assert unprivileged(open_line, device.path) == f"ValueError: {BUSY}"
        finally:
            holder.process.kill()
            holder.result()
        assert wait_for(lambda: unprivileged(open_line, device.path) == "opened", 5)


def test_a_capture_is_written_as_it_is_made(tmp_path):
    """An hour of capture is on its way to the disk at once, not built in memory first."""
    maker = subprocess.Popen([command("tiltwick-sim"), "--to-file", "hour.bin", "--seconds", "3600"], cwd=tmp_path,
                             stderr=subprocess.DEVNULL)

    def written():
        fds = f"/proc/{maker.pid}/fd"
        with contextlib.suppress(OSError):
            return max((os.stat(f"{fds}/{fd}").st_size for fd in os.listdir(fds)
                        if os.readlink(f"{fds}/{fd}").startswith(str(tmp_path))), default=0)
        return 0
    try:
        assert wait_for(lambda: written() > 1 << 20, 20)
    finally:
        maker.kill()
        maker.wait()
