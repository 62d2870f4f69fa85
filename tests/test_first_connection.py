"""The first hour with a device: the doctor's verdicts, root meeting a line another process holds,
switching the streams back on after configure(), a simulated device that loses what it sends while
nobody listens, and the example service unit."""

import contextlib
import fcntl
import grp
import io
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import struct
import termios
import threading
import time
from pathlib import Path

import pytest

import tiltwick
from child import Child, hear_from_parent, tell_parent
from helpers import (ACC, BUSY, COMMANDS, TCGETS2, command, drain, drain_until, hang_up, new_client, open_line, run,
                     seq_of, unprivileged, wait_for, without_root)
from tiltwick_tools import SimulatedDevice, doctor, ports
from tiltwick_tools import mip_wire as mw

ROOT = Path(__file__).resolve().parent.parent
# Both streams on, then resume, assembled by hand from the framing (checksums included).
STREAMS_ON = bytes.fromhex("75650C0505 11010101 041A" "75650C0505 11010301 061E" "7565010202 06 E5CB")


def doctor_says(*args):
    """(exit status, what it printed) of tiltwick-doctor ARGS, run in this process."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
        status = doctor.main(list(args))
    return status, out.getvalue()


def hold(path):
    """In a child process: holds the line, claimed, until the test says so."""
    client = tiltwick.AHRSClient()
    client.open(path, 921600)
    tell_parent("held")
    hear_from_parent()
    return "released"


def settings(pty):
    """The line's termios2 settings, speeds included."""
    return fcntl.ioctl(pty.slave, TCGETS2, bytes(44))


def once_listening(pty, action):
    """Runs action() in a thread as soon as the doctor has set the line to 921600 baud."""
    def wait_then_act():
        while struct.unpack("@4IB19s2I", settings(pty))[-1] != 921600:
            time.sleep(0.005)
        action()
    thread = threading.Thread(target=wait_then_act, daemon=True)
    thread.start()
    return thread


def noise(pty):
    for _ in range(20):  # while the doctor listens, past its flush of what waited before
        os.write(pty.master, bytes(random.Random(3).choice(range(0x76, 256)) for _ in range(300)))
        time.sleep(0.03)


@contextlib.contextmanager
def group_with_member(user):
    """A throwaway group that lists `user` as a member."""
    name = f"tw{os.getpid()}"
    if shutil.which("groupadd") is None or run(["groupadd", "-U", user, name]).returncode != 0:
        pytest.skip("cannot add a group here")
    try:
        yield grp.getgrnam(name).gr_gid
    finally:
        run(["groupdel", name])


@pytest.mark.parametrize("case, status, verdict", [
    ("streaming", 0, r"verdict: streaming$"),
    ("streaming --json", 0, r"verdict: streaming: .*`tiltwick-monitor \S+ 921600`"),
    ("any rate", 0, r"verdict: the rate does not matter on this port"),  # --scan on a pseudo-terminal
    ("silent", 1, r"verdict: silent: .*`tiltwick-streams \S+ 921600 on`"),
    ("silent --json", 1, r"verdict: silent: .*`tiltwick-streams \S+ 921600 on`"),
    ("stale", 1, r"verdict: silent: "),  # packets that waited on the line before the doctor came
    ("noise", 1, r"verdict: bytes but no packets: a wrong baud rate\? .*--scan"),
    ("hang-up", 1, r"verdict: hung up: .*cable, power or a device reset"),
    ("missing", 1, r"verdict: missing: /dev/ttyACM97 does not exist"),
    ("missing --json", 1, r"verdict: missing: /dev/ttyACM97 does not exist"),
    ("not a terminal", 1, r"\Averdict: not a serial port: /dev/random: "),
    ("busy", 1, r"verdict: busy: \S+: held by "),
    ("busy as root", 1, r"verdict: busy: \S+: held by pid \d+ \("),
    ("no permission", 1, r"verdict: permission denied: .*join the group \w+: `sudo usermod"),
    ("root only", 1, r"verdict: permission denied: .*only root may .*examples/99-tiltwick.rules"),
    ("not logged in again", 1, r"verdict: permission denied: .*in the group tw\d+ .*log in again"),
])
def test_the_doctor_tells_the_first_problems_apart(pty, case, status, verdict):
    as_json = case.endswith(" --json")
    case = case.removesuffix(" --json")
    args = [pty.path, "921600", "--seconds", "0.5"] + ["--json"] * as_json
    with contextlib.ExitStack() as stack:
        if case in ("streaming", "any rate"):
            device = stack.enter_context(SimulatedDevice(200))
            args[0] = device.path
            if case == "any rate":
                args[3:] = ["0.1", "--scan"]
        elif case == "stale":
            os.write(pty.master, ACC * 40)
        elif case == "noise":
            stack.callback(once_listening(pty, lambda: noise(pty)).join, 5)
        elif case == "hang-up":
            args[3] = "20"
            stack.callback(once_listening(pty, lambda: hang_up(pty)).join, 5)
        elif case == "missing":
            args[0] = "/dev/ttyACM97"
        elif case == "not a terminal":
            args[0] = "/dev/random"
            args.append("--scan")  # said once, not for each rate
        if case == "busy as root":
            if os.geteuid() != 0:
                pytest.skip("the doctor runs as root here")
            holder = Child(without_root, __name__, "hold", pty.path)
            stack.callback(holder.result)
            stack.callback(holder.send, None)
            os.chmod(pty.path, 0o666)
            assert holder.receive() == "held"
            got = doctor_says(*args)
            assert unprivileged(open_line, pty.path) == f"ValueError: {BUSY}"  # the claim stands
            assert f"pid {holder.process.pid} (" in got[1], got[1]
        elif case in ("busy", "no permission", "root only", "not logged in again"):
            os.chmod(pty.path, 0o600 if case == "root only" else 0o666 if case == "busy" else 0o660)
            if case == "root only":
                os.chown(pty.path, 0, 0)
            elif case == "no permission":
                os.chown(pty.path, 0, port_group())
            elif case == "not logged in again":
                os.chown(pty.path, 0, stack.enter_context(group_with_member("nobody")))
            client = tiltwick.AHRSClient()
            if case == "busy":
                client.open(pty.path, 921600)
            got = unprivileged(doctor_says, *args)
            del client
        else:
            got = doctor_says(*args)
    if as_json:
        found = json.loads(got[1])  # the one document, and nothing else on either stream
        got = (got[0], f"verdict: {found['verdict']}: {found['advice']}")
        heard = {"streaming": {"0x80", "0x82"}, "silent": set(), "missing": None}[case]
        assert (set(found["rates"]) if found["counts"] else None) == heard, found
        assert heard is None or set(found["counts"]["packets"]) == set(found["readings"]) == heard, found
        assert all(found["rates"].values()) and "ScaledAccVector" in found["readings"].get("0x80", ["ScaledAccVector"])
    assert got[0] == status and re.search(verdict, got[1], re.M) and got[1].count("verdict:") == 1, got[1]
    if case == "streaming" and not as_json:
        assert re.search(r"DataSensor \(0x80\): \d+ packets, [\d.]+/s: ScaledAccVector, ", got[1])
    if case == "busy as root":
        assert drain(pty.master) == b""  # nothing written to the holder's device


def test_the_listing_finds_the_serial_nodes_in_natural_order_with_every_link(tmp_path):
    dev = Path(os.path.realpath(tmp_path))
    for name in ("ttyUSB10", "ttyUSB2", "ttyUSB1a", "ttyS1", "ttyTHS0"):
        (dev / name).touch()
    names = [dev / "ahrs", dev / "serial" / "by-id" / "usb-Maker_Unit-if00-port0", dev / "serial" / "by-path" / "p-0:1"]
    for link in names:
        link.parent.mkdir(parents=True, exist_ok=True)
        link.symlink_to(os.path.relpath(dev / "ttyUSB2", link.parent))
    (dev / "stdin").symlink_to("/proc/self/fd/0")  # this process's descriptor, not a port's name
    drivers = (f"serial  {dev}/ttyS  4 64-111 serial\nusbserial {dev}/ttyUSB 188 0-511 serial\n"
               "pty_slave            /dev/pts      136 0-1048575 pty:slave\n")
    nodes = ports.port_nodes(ports.serial_prefixes(drivers))
    assert nodes == [str(dev / name) for name in ("ttyS1", "ttyUSB2", "ttyUSB10")]
    assert ports.links_by_node(str(dev)) == {str(dev / "ttyUSB2"): [str(link) for link in names]}


def port_group():
    """A group that may own a port: dialout where the system has it (a minimal one may not),
    else any group other than root's and the unprivileged user's."""
    groups = {g.gr_name: g.gr_gid for g in grp.getgrall()}
    gid = groups.get("dialout") or next((gid for gid in groups.values() if gid not in (0, 65534)), None)
    if gid is None:
        pytest.skip("this system has no group but root's and nogroup")
    return gid


@pytest.mark.parametrize("ending", ["--scan", signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_the_doctor_leaves_the_line_as_it_found_it(pty, ending):
    """Its settings, speeds included, are back when the doctor ends: by itself after trying
    every rate, or stopped by a signal while it listens."""
    before = settings(pty)
    scan = ending == "--scan"
    args = [command("tiltwick-doctor"), pty.path, "921600", "--seconds", "0.05" if scan else "30"]
    doctor = subprocess.Popen(args + ["--scan"] * scan, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if not scan:
        once_listening(pty, lambda: doctor.send_signal(ending))
    out, err = doctor.communicate(timeout=60)
    assert (doctor.returncode, settings(pty)) == (1 if scan else 128 + ending, before), out + err
    assert "Traceback" not in err


def hold_line(path):
    """In a child process: claims the line as a program of its own would, then, when told, reads
    what the line holds."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    fcntl.ioctl(fd, termios.TIOCEXCL)
    tell_parent("holding")
    hear_from_parent()
    return drain(fd).hex()


def root_opens(way, path, out, capfd):
    """What a root process is told when it opens the line one way or another."""
    if way == "client":
        return open_line(path)
    if way == "buffered":  # its reader opens the line and reports on standard error
        client, err = tiltwick.BufferedAHRSClient(path, 115200, 10, False), []
        wait_for(lambda: err.append(capfd.readouterr().err) or "Failed to open port" in "".join(err))
        del client
        return "".join(err)
    args = [out, "--seconds", "1"] if way == "record" else ["off"]
    done = run([command(f"tiltwick-{way}"), path, "115200", *args])
    return f"{done.returncode} {done.stdout!r} {done.stderr}"


# What a root process is told, as an unprivileged one is: the module's busy error, or the
# commands' one line naming the path.
ROOT_REFUSALS = {
    "client": re.escape("ValueError: " + BUSY),
    "buffered": r"[^\n]*" + re.escape('Failed to open port: AHRSError { error: "SerialPortError: Error { kind: Unknown, '
                          'description: \\"Device or resource busy\\" }" }') + "\n",
    "record": r"1 '' tiltwick-record: cannot open <path>: [^\n]*\n",
    "streams": r"1 '' tiltwick-streams: cannot open <path>: [^\n]*\n",
}


@pytest.mark.skipif(os.geteuid() != 0, reason="the kernel lets only root open a claimed line")
@pytest.mark.parametrize("way", ROOT_REFUSALS)
def test_root_leaves_a_held_line_to_its_holder(pty, tmp_path, capfd, way):
    """The kernel's exclusive claim does not stop root: every way in checks for a claim itself,
    refuses as a user is refused, neither reads nor writes, and leaves the claim to its holder."""
    os.chmod(pty.path, 0o666)
    holder = Child(without_root, __name__, "hold_line", pty.path)
    try:
        assert holder.receive() == "holding"
        os.write(pty.master, ACC)
        got = root_opens(way, pty.path, str(tmp_path / "out.bin"), capfd)
        assert re.fullmatch(ROOT_REFUSALS[way].replace("<path>", re.escape(pty.path)), got), got
        assert unprivileged(open_line, pty.path) == "ValueError: " + BUSY  # the claim stands
        holder.send(None)
    finally:
        unread = holder.result()
    assert (unread, drain(pty.master), os.listdir(tmp_path)) == (ACC.hex(), b"", [])


@pytest.mark.needs_termios2  # the script and both commands open the line through termios2
def test_streams_come_back_after_configure(tmp_path):
    """A script that calls configure() and exits leaves the device quiet; tiltwick-streams on,
    each command acknowledged, brings the streams back; off sends configure()'s own bytes."""
    with SimulatedDevice(200) as device:
        script = f"import tiltwick\nc = tiltwick.AHRSClient()\nc.open({device.path!r}, 921600)\nc.configure()\n"
        assert run([sys.executable, "-c", script]).returncode == 0
        assert device.wait_until(lambda d: d.idle and d.commands_received == 3)
        doctor_says(device.path, "921600", "--seconds", "0.3")  # what the port held from before
        assert doctor_says(device.path, "921600", "--seconds", "0.3")[0] == 1  # silent
        on = run([command("tiltwick-streams"), device.path, "921600", "on"])
        assert (on.returncode, on.stderr) == (0, ""), on.stderr
        assert on.stdout.splitlines() == ["sensor stream on (0C 11): acknowledged",
                                          "filter stream on (0C 11): acknowledged", "resume (01 06): acknowledged"]
        assert doctor_says(device.path, "921600", "--seconds", "0.3")[0] == 0  # streaming
        off = run([command("tiltwick-streams"), device.path, "off", "--json"])  # at the default rate
        assert off.returncode == 0 and device.wait_until(lambda d: d.idle)
        answer = json.loads(off.stdout)
        assert (answer["baud_rate"], answer["state"], answer["acknowledged"]) == (921600, "off", True)
        assert [(c["name"], c["answer"], c["error_code"]) for c in answer["commands"]] == [
            ("set to idle", "acknowledged", 0), ("sensor stream off", "acknowledged", 0),
            ("filter stream off", "acknowledged", 0)]


@pytest.mark.parametrize("state, wire, stale", [
    ("on", STREAMS_ON, b""),
    ("off", COMMANDS, b""),
    # acks of an earlier run, waiting on the line: a silent device has still answered nothing
    ("off", COMMANDS, mw.ack_reply(0x01, 0x02) + mw.ack_reply(0x0C, 0x11) * 2),
])
def test_streams_writes_its_commands_and_nothing_else(pty, state, wire, stale):
    os.write(pty.master, stale)
    done = run([command("tiltwick-streams"), pty.path, "921600", state])
    assert drain(pty.master) == wire
    assert done.returncode == 1 and "nothing answered within 1 s: a wrong baud rate" in done.stderr
    assert done.stdout.count(": no answer\n") == 3


@pytest.mark.needs_native_speed
def test_a_late_client_gets_no_more_than_the_line_buffer(serial_line):
    """Opened 3 s after the device started streaming, a client reads at most the last 4 KiB the
    device sent meanwhile, then the packets sent since it opened."""
    with SimulatedDevice(100) as device:
        time.sleep(3.0)  # nobody has the line open: what the device sends is lost, but for the buffer
        opened_at = dict(device.next_seq)
        client, _ = new_client(device.path, 1000)
        entries = drain_until(client, lambda e: len(e) >= 150)
        del client
    keys = [seq_of(p, 100) for _, p in entries if p]
    stale = [(kind, seq) for kind, seq in keys if seq < opened_at[mw.SENSOR_SET if kind == "sensor" else mw.FILTER_SET]]
    assert 0 < sum(94 if kind == "sensor" else 200 for kind, _ in stale) <= 4096
    assert device.lost_sensor + device.lost_filter > 500


def test_the_example_service_unit_verifies(tmp_path):
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        pytest.skip("systemd-analyze is not installed here")
    unit = (ROOT / "examples" / "tiltwick-record.service").read_text()
    # the unit names where the README installs the command; here it is beside this interpreter
    unit = unit.replace("/opt/tiltwick/bin/tiltwick-record", command("tiltwick-record"))
    (tmp_path / "tiltwick-record.service").write_text(unit)
    done = subprocess.run([analyze, "verify", "--man=no", str(tmp_path / "tiltwick-record.service")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "tiltwick-record.service" not in done.stderr, done.stderr
