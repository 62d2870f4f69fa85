"""The tiltwick-doctor command: what stands between this machine and a streaming device.

Without arguments it lists the serial ports a device can be on, with what sysfs and /proc say
about each: the driver, the USB identity, the stable /dev/serial/by-id/ name, who holds the port,
whether this user may open it, and an FTDI adapter's latency timer. With a device it opens the
line as the module does, listens, and gives a verdict with the next step; it leaves the line as
it found it, and does not touch one that a session, the console or another process uses.
"""

from __future__ import annotations

import argparse
import difflib
import errno
import fcntl
import glob
import os
import select
import signal
import termios
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from types import FrameType

from . import mip_wire as mw
from .access import access_step, holders_of, not_a_terminal, refusal
from .cli import _say, command_parser, line_arguments, positive, run, seconds_option
from .files import shown
from .line import _TERMIOS2, TCGETS2, TCSETS2, _above_standard, arrivals, close_line, discard_input, open_line
from .signals import deferred_signals

__all__ = ["Port", "ports", "Listening", "listen", "main", "SCAN_RATES"]

PATTERNS = ("/dev/ttyACM*", "/dev/ttyUSB*", "/dev/ttyAMA*", "/dev/serial0", "/dev/serial1", "/dev/ttyS*")
SCAN_RATES = (9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600, 1000000, 1500000, 2000000,
              3000000, 4000000)
DATA_SETS = (mw.SENSOR_SET, mw.FILTER_SET)
MAX_SECONDS = 24 * 3600.0  # a day: longer listens say no more, and the line's poll counts in int milliseconds
STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)  # SIGINT ends it as KeyboardInterrupt


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
    accessible: bool = False
    access_step: str = ""                      # what would let this user open it, where it may not
    in_use: str | None = None                  # a session's terminal or a console: not a device's line
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
        port.in_use = _in_use(node)
        port.accessible = os.access(node, os.R_OK | os.W_OK)
        if not port.accessible:
            port.access_step = access_step(node)
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
        if self.in_use:
            lines.append(f"    in use: {self.in_use}; the doctor leaves it alone")
        if self.accessible:
            lines.append("    access: this user may open it")
        else:
            lines.append(f"    access: permission denied for this user; {self.access_step}")
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


def _running(command: str) -> bool:
    return any(_read(f"/proc/{pid}/comm") == command for pid in os.listdir("/proc") if pid.isdigit())


@dataclass
class Listening:
    """What a line carried while the doctor listened."""

    seconds: float                                                      # listened, not asked for
    received: int = 0
    packets: Counter[int] = field(default_factory=Counter)              # descriptor set -> packets
    readings: dict[int, dict[str, None]] = field(default_factory=dict)  # descriptor set -> alternatives seen
    checksum_failures: int = 0
    outside_packets: int = 0
    hung_up: bool = False

    @property
    def data_packets(self) -> int:
        return sum(self.packets[s] for s in DATA_SETS)


def listen(fd: int, seconds: float) -> Listening:
    """Reads the line for ``seconds``, or until it hangs up, and frames what it carried. What
    waited on the line before is discarded first: it would count towards the rates."""
    parser = mw.FrameParser()
    discard_input(fd)
    started = time.monotonic()
    heard = Listening(seconds)
    for data in arrivals(fd, seconds):
        heard.received += len(data)
        for frame in parser.feed(data):
            heard.packets[frame.descriptor_set] += 1
            names = heard.readings.setdefault(frame.descriptor_set, {})
            names.update(dict.fromkeys(name for name, _ in mw.decode_payload(frame.descriptor_set, frame.payload)))
    heard.seconds = time.monotonic() - started
    heard.checksum_failures = parser.bad_checksums
    heard.outside_packets = parser.skipped + parser.pending
    heard.hung_up = _hung_up(fd)
    return heard


def _hung_up(fd: int) -> bool:
    poller = select.poll()
    poller.register(fd, 0)  # hang-ups and errors are reported whatever is asked for
    return any(events & (select.POLLHUP | select.POLLERR) for _, events in poller.poll(0))


def _report(heard: Listening) -> list[str]:
    lines = [f"  bytes received: {heard.received:,}"]
    for dset, count in sorted(heard.packets.items()):
        name = mw.DESCRIPTOR_SETS.get(dset, "unknown set")
        names = ", ".join(heard.readings.get(dset, {})) or "no readings"
        rate = count / max(heard.seconds, 1e-6)
        lines.append(f"  {name} (0x{dset:02X}): {count:,} packets, {rate:,.1f}/s: {names}")
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


class _Stopped(BaseException):
    """SIGTERM or SIGHUP came: the doctor ends, once the line is as it was."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


def _stop(number: int, _frame: FrameType | None) -> None:
    raise _Stopped(number)


def examine(device: str, baud_rate: int, seconds: float, scan: bool) -> int:
    """The verdict on one device; returns the exit status (0 only for a streaming device).

    The line is left as it was found: its settings are saved before anything changes them and
    put back on every way out, a stop signal included. A line that is not a terminal, that a
    session or the kernel's console uses, or that another process has claimed, is not touched."""
    if not os.path.exists(device):
        others = _similar(device)
        return _verdict(f"missing: {shown(device)} does not exist; "
                        + (f"ports there are: {', '.join(others)}" if others else "no serial port is there at all "
                           "(is the device plugged in and powered? `dmesg` shows what the kernel saw)"), 1)
    node = os.path.realpath(device)
    if not_a_terminal(node):
        return _refused(device, OSError(errno.ENOTTY, os.strerror(errno.ENOTTY)))
    in_use = _in_use(node)
    if in_use:
        return _verdict(f"left alone: {shown(device)} is {in_use}; the doctor changes a line's settings, "
                        "which would take it from under its user: give the device's own port", 1)
    main_thread = threading.current_thread() is threading.main_thread()  # where handlers may be set
    previous = {number: signal.signal(number, _stop) for number in STOP_SIGNALS} if main_thread else {}
    try:
        try:
            guard, saved = _settings_of(device)
        except OSError as error:
            return _refused(device, error)
        try:
            return _scan(device, seconds) if scan else _listen_at(device, baud_rate, seconds)
        finally:
            _put_back(device, guard, saved)
    except _Stopped as stop:
        _say(f"tiltwick-doctor: stopped by {signal.Signals(stop.number).name}; {shown(device)} has its settings "
             "back")
        return 128 + stop.number
    finally:
        for number, action in previous.items():
            signal.signal(number, signal.SIG_DFL if action is None else action)


def _settings_of(device: str) -> tuple[int, bytes]:
    """A descriptor on the line, held while the doctor works (so that no close of its own is
    the line's last), and the line's settings as found."""
    fd = _above_standard(os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC))
    try:
        if not os.isatty(fd):
            raise OSError(errno.ENOTTY, os.strerror(errno.ENOTTY))
        saved = bytearray(_TERMIOS2.size)
        fcntl.ioctl(fd, TCGETS2, saved, True)
    except BaseException:
        os.close(fd)
        raise
    return fd, bytes(saved)


def _put_back(device: str, guard: int, saved: bytes) -> None:
    with deferred_signals():
        try:
            fcntl.ioctl(guard, TCSETS2, saved)
        except OSError as error:
            if error.errno != errno.EIO:  # a line that hung up has no settings to put back
                _say(f"tiltwick-doctor: {shown(device)}: its settings could not be put back: {error.strerror}")
        os.close(guard)


def _in_use(node: str) -> str | None:
    """Why the doctor must leave ``node`` alone: a session's terminal or a console; None otherwise."""
    try:
        device = os.stat(node).st_rdev
    except OSError:
        return None
    if device == os.makedev(5, 0):
        return "this process's controlling terminal"
    if device == os.makedev(5, 1) or device in _consoles():
        return "a serial console (the kernel writes its messages there, and a login may wait on it)"
    for fd in (0, 1, 2):
        try:
            if os.isatty(fd) and os.fstat(fd).st_rdev == device:
                return "this process's own terminal"
        except OSError:
            continue
    for pid in (entry for entry in os.listdir("/proc") if entry.isdigit()):
        stat = _read(f"/proc/{pid}/stat")
        fields = stat.rpartition(")")[2].split() if stat else []
        if len(fields) > 4 and int(fields[4]) != 0 and _same_device(int(fields[4]), device):
            return f"the terminal of a session (pid {pid}, {_read(f'/proc/{pid}/comm') or '?'})"
    return None


def _same_device(a: int, b: int) -> bool:
    return (os.major(a), os.minor(a)) == (os.major(b), os.minor(b))


def _consoles() -> list[int]:
    """The devices that /proc/consoles lists (each line ends with major:minor)."""
    found = []
    for line in (_read("/proc/consoles") or "").splitlines():
        major, _, minor = line.rpartition(" ")[2].partition(":")
        if major.isdigit() and minor.isdigit():
            found.append(os.makedev(int(major), int(minor)))
    return found


def _listened(device: str, baud_rate: int, seconds: float) -> Listening | OSError:
    """The line opened at ``baud_rate``, listened to and closed again; or the error that kept it
    from opening. A stop signal is held off until the descriptor is in hand, so that it is closed."""
    opened: list[int] = []
    try:
        try:
            with deferred_signals():
                opened.append(open_line(device, baud_rate))
        except OSError as error:
            return error
        return listen(opened[0], seconds)
    finally:
        for fd in opened:
            close_line(fd)


def _listen_at(device: str, baud_rate: int, seconds: float) -> int:
    heard = _listened(device, baud_rate, seconds)
    if isinstance(heard, OSError):
        return _refused(device, heard)
    print(f"{shown(device)} at {baud_rate} baud, listened {heard.seconds:.1f} s:")
    print("\n".join(_report(heard)))
    if heard.hung_up:
        return _hung_up_verdict(device, heard)
    if heard.data_packets:
        return _verdict("streaming", 0)
    if heard.received == 0 or heard.packets:
        return _verdict(f"silent: no data packets; the device's streams may be off: "
                        f"`tiltwick-streams {shown(device)} {baud_rate} on`", 1)
    return _verdict(f"bytes but no packets: a wrong baud rate? `tiltwick-doctor {shown(device)} --scan` tries "
                    "the common rates", 1)


def _hung_up_verdict(device: str, heard: Listening) -> int:
    return _verdict(f"hung up: {shown(device)} went away after {heard.seconds:.1f} s (cable, power or a device "
                    "reset); check them, and listen again once the device is back", 1)


def _refused(device: str, error: OSError) -> int:
    why = refusal(device, error)
    return _verdict(f"{why.verdict}: {shown(device)}: {why.reason}", 1)


def _scan(device: str, seconds: float) -> int:
    """Tries the common rates the driver keeps; names the one at which packets frame best."""
    per_rate = min(seconds, 1.0)
    framed: dict[int, int] = {}  # rate kept -> data packets
    for rate in SCAN_RATES:
        heard = _listened(device, rate, per_rate)
        if isinstance(heard, OSError):
            if heard.errno == errno.EINVAL:
                print(f"  {rate:>8}: the driver does not keep this rate")
                continue
            return _refused(device, heard)
        print(f"  {rate:>8}: {heard.received:,} bytes, {heard.data_packets:,} data packets, "
              f"{heard.checksum_failures:,} checksum failures")
        if heard.hung_up:
            return _hung_up_verdict(device, heard)
        framed[rate] = heard.data_packets
    if len(framed) == len(SCAN_RATES) and all(framed.values()):
        return _verdict("the rate does not matter on this port: packets frame at every rate tried (its driver "
                        "ignores the rate, as a pseudo-terminal's or a USB CDC-ACM port's does); use any", 0)
    best = max(framed, key=lambda rate: framed[rate], default=None)
    if best is None or not framed[best]:
        return _verdict("no rate frames data packets: the device may be silent (`tiltwick-streams DEVICE BAUD on` "
                        "at its rate), or use a rate not tried here", 1)
    return _verdict(f"packets frame at {best} baud: use that rate", 0)


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


def _listening_time(text: str) -> float:
    """--seconds: above 0, up to MAX_SECONDS (argparse type)."""
    value = positive(text)
    if value > MAX_SECONDS:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_SECONDS:g}, not {text!r}")
    return value


def main(argv: list[str] | None = None) -> int:
    ap = command_parser(
        "tiltwick-doctor",
        ["tiltwick-doctor", "tiltwick-doctor /dev/ttyACM0", "tiltwick-doctor /dev/ahrs 115200 -s 5",
         "tiltwick-doctor /dev/ttyUSB0 --scan"],
        "Without DEVICE: each serial port a device can be on, with its driver, USB identity, stable "
        "names, the process holding it, whether this user may open it and an FTDI adapter's latency "
        "timer; and whether ModemManager runs.\n\n"
        "With DEVICE: opens it as tiltwick does, listens, reports bytes, packets per descriptor set with "
        "their rates and readings, checksum failures and bytes outside packets, and ends with a verdict "
        "and the next step: streaming (exit 0), silent, bytes but no packets, hung up, busy, permission "
        "denied, not a serial port, left alone (a session's terminal or a console) or missing (exit 1). "
        "The line's settings are put back as they were on every way out.")
    line_arguments(ap, required=False)
    seconds_option(ap, f"how long to listen, above 0 and up to {MAX_SECONDS:g} (default: %(default)s)",
                   _listening_time, 2.0)
    ap.add_argument("--scan", action="store_true",
                    help="try the common rates (9600 up to 921600, 1000000 and up) that the driver keeps, "
                         "and name the one that frames packets (or say that the rate does not matter on the port)")
    a = ap.parse_args(argv)
    if a.device is None:
        return run("tiltwick-doctor", listing)
    return run("tiltwick-doctor", lambda: examine(a.device, a.baud_rate, a.seconds, a.scan))


if __name__ == "__main__":
    raise SystemExit(main())
