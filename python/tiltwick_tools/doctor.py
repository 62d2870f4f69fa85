"""The tiltwick-doctor command: what stands between this machine and a streaming device.

Without arguments it lists the serial ports a device can be on, with what sysfs and /proc say
about each: the driver, the USB identity, the stable /dev/serial/by-id/ name, who holds the port,
whether this user may open it, and an FTDI adapter's latency timer. With a device it opens the
line as the module does, listens, and gives a verdict with the next step.
"""

from __future__ import annotations

import argparse
import difflib
import errno
import glob
import grp
import os
from collections import Counter
from dataclasses import dataclass, field

from . import mip_wire as mw
from .cli import positive, run, whole
from .files import shown
from .line import MAX_BAUD, arrivals, close_line, open_line

__all__ = ["Port", "ports", "Listening", "listen", "main", "SCAN_RATES"]

PATTERNS = ("/dev/ttyACM*", "/dev/ttyUSB*", "/dev/ttyAMA*", "/dev/serial0", "/dev/serial1", "/dev/ttyS*")
SCAN_RATES = (9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600, 1000000, 1500000, 2000000,
              3000000, 4000000)
DATA_SETS = (mw.SENSOR_SET, mw.FILTER_SET)


def _read(path: str) -> str | None:
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None


@dataclass
class Port:
    """A serial port as sysfs and /proc describe it."""

    path: str                                  # as listed (/dev/serial0 stays an alias)
    node: str                                  # the device node it is
    driver: str | None = None
    usb: dict[str, str] = field(default_factory=dict)   # idVendor, idProduct, manufacturer, product, serial
    by_id: list[str] = field(default_factory=list)
    holders: list[tuple[int, str]] = field(default_factory=list)   # (pid, command), where visible
    group: str | None = None                   # the group that may open it
    accessible: bool = False
    latency_timer: str | None = None           # FTDI adapters: ms

    @classmethod
    def of(cls, path: str) -> Port:
        node = os.path.realpath(path)
        port = cls(path, node)
        sysfs = f"/sys/class/tty/{os.path.basename(node)}/device"
        port.driver = _driver_of(sysfs)
        # the USB device is the nearest ancestor of the port's device that has a vendor id
        here = os.path.realpath(sysfs)
        while here.startswith("/sys/devices/") and not os.path.exists(f"{here}/idVendor"):
            here = os.path.dirname(here)
        if os.path.exists(f"{here}/idVendor"):
            for key in ("idVendor", "idProduct", "manufacturer", "product", "serial"):
                value = _read(f"{here}/{key}")
                if value:
                    port.usb[key] = value
        port.by_id = sorted(link for link in glob.glob("/dev/serial/by-id/*") if os.path.realpath(link) == node)
        port.holders = holders_of(node)
        try:
            port.group = _group_of(node)
        except OSError:
            pass
        port.accessible = os.access(node, os.R_OK | os.W_OK)
        port.latency_timer = _read(f"{sysfs}/latency_timer")
        return port

    def describe(self) -> list[str]:
        alias = f" (= {self.node})" if self.node != self.path else ""
        usb = ""
        if self.usb:
            names = " ".join(f'"{self.usb[k]}"' for k in ("manufacturer", "product") if k in self.usb)
            serial = f' serial "{self.usb["serial"]}"' if "serial" in self.usb else ""
            usb = f", USB {self.usb.get('idVendor', '?')}:{self.usb.get('idProduct', '?')} {names}{serial}".rstrip()
        lines = [f"{self.path}{alias}: driver {self.driver or 'unknown'}{usb}"]
        lines += [f"    stable name: {link}" for link in self.by_id]
        for pid, command in self.holders:
            lines.append(f"    held by: pid {pid} ({command})")
        if self.accessible:
            lines.append("    access: this user may open it")
        else:
            join = (f"join the group {self.group}: `sudo usermod -aG {self.group} $USER`, then log in again"
                    if self.group else "ask for access to it")
            lines.append(f"    access: permission denied for this user; {join}")
        if self.latency_timer is not None:
            hint = "" if self.latency_timer == "1" else (
                f" (1 ms gives the lowest latency: `echo 1 | sudo tee "
                f"/sys/class/tty/{os.path.basename(self.node)}/device/latency_timer`)")
            lines.append(f"    latency timer: {self.latency_timer} ms{hint}")
        return lines


def _driver_of(device: str) -> str | None:
    """The driver of a port's device: the first one above the generic layers that newer kernels
    put between a UART and its tty (the serial-base bus's "port" and "ctrl")."""
    here = os.path.realpath(device)
    while here.startswith("/sys/devices/"):
        driver = os.path.realpath(f"{here}/driver")
        if os.path.isdir(driver) and "/bus/serial-base/" not in driver:
            return os.path.basename(driver)
        here = os.path.dirname(here)
    return None


def _group_of(node: str) -> str:
    """The name of the group that owns ``node``, or its number where it has no name here."""
    gid = os.stat(node).st_gid
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def _has_hardware(path: str) -> bool:
    """A ttyS port is listed only when a UART answers behind it (a PC has four nodes whatever it has)."""
    name = os.path.basename(path)
    if not name.startswith("ttyS"):
        return True
    port_type = _read(f"/sys/class/tty/{name}/type")
    return port_type not in (None, "0")


def ports() -> list[Port]:
    """The serial ports a device can be on, in a stable order."""
    paths = sorted({p for pattern in PATTERNS for p in glob.glob(pattern)})
    return [Port.of(p) for p in paths if os.path.exists(p) and _has_hardware(p)]


def holders_of(node: str) -> list[tuple[int, str]]:
    """(pid, command) of the processes with ``node`` open, as far as this user may look."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            fds = os.listdir(f"/proc/{entry}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink(f"/proc/{entry}/fd/{fd}") == node:
                    found.append((int(entry), _read(f"/proc/{entry}/comm") or "?"))
                    break
            except OSError:
                continue
    return found


def _running(command: str) -> bool:
    return any(_read(f"/proc/{pid}/comm") == command for pid in os.listdir("/proc") if pid.isdigit())


@dataclass
class Listening:
    """What a line carried while the doctor listened."""

    seconds: float
    received: int = 0
    packets: Counter[int] = field(default_factory=Counter)              # descriptor set -> packets
    readings: dict[int, dict[str, None]] = field(default_factory=dict)  # descriptor set -> alternatives seen
    checksum_failures: int = 0
    outside_packets: int = 0

    @property
    def data_packets(self) -> int:
        return sum(self.packets[s] for s in DATA_SETS)


def listen(fd: int, seconds: float) -> Listening:
    """Reads the line for ``seconds`` and frames what it carried."""
    parser = mw.FrameParser()
    heard = Listening(seconds)
    for data in arrivals(fd, seconds):
        heard.received += len(data)
        for frame in parser.feed(data):
            heard.packets[frame.descriptor_set] += 1
            names = heard.readings.setdefault(frame.descriptor_set, {})
            names.update(dict.fromkeys(name for name, _ in mw.decode_payload(frame.descriptor_set, frame.payload)))
    heard.checksum_failures = parser.bad_checksums
    heard.outside_packets = parser.skipped + parser.pending
    return heard


def _report(heard: Listening) -> list[str]:
    lines = [f"  bytes received: {heard.received:,}"]
    for dset, count in sorted(heard.packets.items()):
        name = mw.DESCRIPTOR_SETS.get(dset, "unknown set")
        names = ", ".join(heard.readings.get(dset, {})) or "no readings"
        lines.append(f"  {name} (0x{dset:02X}): {count:,} packets, {count / heard.seconds:,.1f}/s: {names}")
    lines.append(f"  checksum failures: {heard.checksum_failures:,}; bytes outside packets: {heard.outside_packets:,}")
    return lines


def _similar(path: str) -> list[str]:
    known = [p.path for p in ports()] + glob.glob("/dev/serial/by-id/*") + glob.glob("/dev/tty[A-Z]*")
    known = list(dict.fromkeys(known))
    close = difflib.get_close_matches(path, known, n=5, cutoff=0.6)
    return close or [p.path for p in ports()]


def _verdict(line: str, exit_status: int) -> int:
    print(f"verdict: {line}")
    return exit_status


def examine(device: str, baud_rate: int, seconds: float, scan: bool) -> int:
    """The verdict on one device; returns the exit status (0 only for a streaming device)."""
    if not os.path.exists(device):
        others = _similar(device)
        return _verdict(f"missing: {shown(device)} does not exist; "
                        + (f"ports there are: {', '.join(others)}" if others else "no serial port is there at all "
                           "(is the device plugged in and powered? `dmesg` shows what the kernel saw)"), 1)
    if scan:
        return _scan(device, seconds)
    try:
        fd = open_line(device, baud_rate)
    except OSError as error:
        return _refused(device, error)
    try:
        heard = listen(fd, seconds)
    finally:
        close_line(fd)
    print(f"{shown(device)} at {baud_rate} baud, listened {seconds:g} s:")
    print("\n".join(_report(heard)))
    if heard.data_packets:
        return _verdict("streaming", 0)
    if heard.received == 0 or heard.packets:
        return _verdict(f"silent: no data packets; the device's streams may be off: "
                        f"`tiltwick-streams {shown(device)} {baud_rate} on`", 1)
    return _verdict(f"bytes but no packets: a wrong baud rate? `tiltwick-doctor {shown(device)} --scan` tries "
                    "the common rates", 1)


def _refused(device: str, error: OSError) -> int:
    node = os.path.realpath(device)
    if error.errno == errno.EBUSY:
        held = ", ".join(f"pid {pid} ({command})" for pid, command in holders_of(node)) or \
            "a process this user cannot see (another user's, or root's)"
        return _verdict(f"busy: {shown(device)} is held by {held}; stop it, or ask it to let go", 1)
    if error.errno in (errno.EACCES, errno.EPERM):
        try:
            group = _group_of(node)
            step = f"join the group {group}: `sudo usermod -aG {group} $USER`, then log in again"
        except OSError:
            step = "ask for access to it"
        return _verdict(f"permission denied: this user may not open {shown(device)}; {step}", 1)
    if error.errno == errno.ENOTTY:
        return _verdict(f"not a serial line: {shown(device)} is not a terminal device", 1)
    return _verdict(f"cannot open {shown(device)}: {error.strerror or error}", 1)


def _scan(device: str, seconds: float) -> int:
    """Tries the common rates the driver keeps; names the one at which packets frame best."""
    per_rate = min(seconds, 1.0)
    best: tuple[int, int] | None = None
    for rate in SCAN_RATES:
        try:
            fd = open_line(device, rate)
        except OSError as error:
            if error.errno == errno.EINVAL:
                print(f"  {rate:>8}: the driver does not keep this rate")
                continue
            return _refused(device, error)
        try:
            heard = listen(fd, per_rate)
        finally:
            close_line(fd)
        print(f"  {rate:>8}: {heard.received:,} bytes, {heard.data_packets:,} data packets, "
              f"{heard.checksum_failures:,} checksum failures")
        if heard.data_packets and (best is None or heard.data_packets > best[1]):
            best = (rate, heard.data_packets)
    if best is None:
        return _verdict("no rate frames data packets: the device may be silent (`tiltwick-streams DEVICE BAUD on` "
                        "at its rate), or use a rate not tried here", 1)
    return _verdict(f"packets frame at {best[0]} baud: use that rate", 0)


def listing() -> int:
    found = ports()
    for port in found:
        print("\n".join(port.describe()))
    if not found:
        print("no serial ports found (ttyACM*, ttyUSB*, ttyAMA*, serial0/1, ttyS* with a UART): is the device "
              "plugged in and powered? `dmesg` shows what the kernel saw")
    if _running("ModemManager"):
        print("ModemManager: running; it probes every new ttyACM port for a modem, which disturbs a device for "
              "several seconds after it appears: see the udev rule in the README's 'First connection'")
    else:
        print("ModemManager: not running")
    return 0


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        prog="tiltwick-doctor",
        description="Without arguments: list the serial ports a device can be on (ttyACM*, ttyUSB*, ttyAMA*, "
                    "serial0/1, ttyS* with a UART), each with its driver, USB identity, stable "
                    "/dev/serial/by-id/ name, the process holding it, whether this user may open it, and "
                    "an FTDI adapter's latency timer; and whether ModemManager runs. With DEVICE: open it "
                    "as tiltwick does, listen, report bytes, packets per descriptor set with their rates "
                    "and readings, checksum failures and bytes outside packets, and end with a verdict "
                    "and the next step: streaming (exit 0), silent, bytes but no packets, busy, "
                    "permission denied or missing (exit 1).")
    ap.add_argument("device", nargs="?", help="serial device to examine, for example /dev/ttyACM0")
    ap.add_argument("baud_rate", nargs="?", type=whole(1, MAX_BAUD), default=921600,
                    help="the rate to listen at (default: %(default)s)")
    ap.add_argument("--seconds", type=positive, default=2.0, help="how long to listen (default: %(default)s)")
    ap.add_argument("--scan", action="store_true",
                    help="try the common rates (9600 up to 921600, 1000000 and up) that the driver keeps, "
                         "and name the one that frames packets")
    a = ap.parse_args(argv)
    if a.device is None:
        return run("tiltwick-doctor", listing)
    return run("tiltwick-doctor", lambda: examine(a.device, a.baud_rate, a.seconds, a.scan))
