"""The tiltwick-doctor command: what stands between this machine and a streaming device.

Without arguments it lists the serial ports a device can be on (see ports.py): the driver, the
USB identity, every /dev name that leads to the port, who holds it, whether this user may open
it, whether the system uses it as a console or for logins, and an FTDI adapter's latency timer.
With a device it opens the line as the module does, listens, and gives a verdict with the next
step; it leaves the line as it found it, and does not touch one that a session, the console or
another process uses.

With --json, standard output carries one JSON document and nothing else (notes go to standard
error); the exit status is the same as without it. The fields stay as they are:

- the listing: an array of ports, each {device, name, description, hwid, vid, pid (integers),
  serial_number, manufacturer, product, interface, location, driver, links [paths],
  holders [{pid, command}], access {allowed, advice}, console (bool), latency_timer (ms)};
  what sysfs does not give is null.
- a device: {verdict, device, baud, seconds (listened), rates {set: packets/s},
  readings {set: [names]}, counts {bytes, packets {set: n}, checksum_failures,
  outside_packets}, advice}; sets are written "0x80". Where nothing was listened to, seconds
  and counts are null and rates and readings empty. With --scan, baud is the rate found (or
  null) and scan lists each rate tried: {baud, kept, bytes, data_packets, checksum_failures}.
- verdict is one of: streaming, silent, bytes but no packets, hung up, missing, left alone,
  busy, permission denied, not a serial port, cannot open; with --scan also any rate,
  rate found, no rate. Exit status 0 for streaming, any rate and rate found; 1 otherwise.
"""

from __future__ import annotations

import argparse
import difflib
import errno
import fcntl
import glob
import json
import os
import select
import signal
import termios
import threading
import time
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from types import FrameType
from typing import Any

from . import mip_wire as mw
from .access import not_a_terminal, refusal
from .cli import _say, command_parser, line_arguments, positive, run, seconds_option
from .files import above_standard, shown
from .line import _TERMIOS2, TCGETS2, TCSETS2, arrivals, close_line, discard_input, open_line
from .ports import Port, in_use, ports, read_text
from .signals import deferred_signals

__all__ = ["Port", "ports", "Verdict", "Listening", "listen", "examine", "listing", "main", "SCAN_RATES"]

SCAN_RATES = (9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600, 1000000, 1500000, 2000000,
              3000000, 4000000)
DATA_SETS = (mw.SENSOR_SET, mw.FILTER_SET)
MAX_SECONDS = 24 * 3600.0  # a day: longer listens say no more, and the line's poll counts in int milliseconds
STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)  # SIGINT ends it as KeyboardInterrupt
Show = Callable[[str], None]  # where what the doctor hears is shown as it listens


def _running(command: str) -> bool:
    return any(read_text(f"/proc/{pid}/comm") == command for pid in os.listdir("/proc") if pid.isdigit())


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

    def rate(self, dset: int) -> float:
        """Packets per second of one descriptor set."""
        return self.packets[dset] / max(self.seconds, 1e-6)


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
        lines.append(f"  {name} (0x{dset:02X}): {count:,} packets, {heard.rate(dset):,.1f}/s: {names}")
    lines.append(f"  checksum failures: {heard.checksum_failures:,}; bytes outside packets: {heard.outside_packets:,}")
    return lines


def _similar(path: str) -> list[str]:
    listed = [p.path for p in ports()]
    known = list(dict.fromkeys(listed + glob.glob("/dev/serial/by-id/*") + glob.glob("/dev/tty[A-Z]*")))
    close = difflib.get_close_matches(path, known, n=5, cutoff=0.6)
    return close or listed


@dataclass
class Verdict:
    """The doctor's word on a device, the next step, and the exit status (0 only when healthy)."""

    word: str          # streaming, silent, bytes but no packets, hung up, missing, left alone, and the
                       # refusals (busy, permission denied, not a serial port, cannot open); with --scan:
                       # any rate, rate found, no rate
    advice: str
    status: int
    said: str | None = None            # the verdict's line, where it is not "word: advice"
    baud: int | None = None            # the rate listened at, or found
    heard: Listening | None = None
    tried: list[dict[str, Any]] | None = None   # --scan: what each rate framed

    def line(self) -> str:
        return self.said or f"{self.word}: {self.advice}"

    def as_json(self, device: str) -> dict[str, Any]:
        heard = self.heard
        found: dict[str, Any] = {
            "verdict": self.word, "device": device, "baud": self.baud,
            "seconds": round(heard.seconds, 3) if heard else None,
            "rates": {_set_key(s): round(heard.rate(s), 3) for s in sorted(heard.packets)} if heard else {},
            "readings": {_set_key(s): list(names) for s, names in sorted(heard.readings.items())} if heard else {},
            "counts": {"bytes": heard.received, "packets": {_set_key(s): n for s, n in sorted(heard.packets.items())},
                       "checksum_failures": heard.checksum_failures, "outside_packets": heard.outside_packets}
            if heard else None,
            "advice": self.advice,
        }
        if self.tried is not None:
            found["scan"] = self.tried
        return found


def _set_key(dset: int) -> str:
    return f"0x{dset:02X}"


class _Stopped(BaseException):
    """SIGTERM or SIGHUP came: the doctor ends, once the line is as it was."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


def _stop(number: int, _frame: FrameType | None) -> None:
    raise _Stopped(number)


def examine(device: str, baud_rate: int, seconds: float, scan: bool, as_json: bool = False) -> int:
    """The verdict on one device, printed as a line (after what was heard) or as one JSON object;
    returns the exit status (0 only for a streaming device, or a rate found).

    The line is left as it was found: its settings are saved before anything changes them and
    put back on every way out, a stop signal included. A line that is not a terminal, that a
    session or the kernel's console uses, or that another process has claimed, is not touched."""
    show = _quiet if as_json else print
    main_thread = threading.current_thread() is threading.main_thread()  # where handlers may be set
    previous = {number: signal.signal(number, _stop) for number in STOP_SIGNALS} if main_thread else {}
    try:
        verdict = _examined(device, baud_rate, seconds, scan, show)
        if not scan:
            verdict.baud = baud_rate
    except _Stopped as stop:
        _say(f"tiltwick-doctor: stopped by {signal.Signals(stop.number).name}; {shown(device)} has its settings "
             "back")
        return 128 + stop.number
    finally:
        for number, action in previous.items():
            signal.signal(number, signal.SIG_DFL if action is None else action)
    print(json.dumps(verdict.as_json(device), indent=2) if as_json else f"verdict: {verdict.line()}")
    return verdict.status


def _quiet(_line: str) -> None:
    """What is shown as the doctor listens, where only its JSON goes to standard output."""


def _examined(device: str, baud_rate: int, seconds: float, scan: bool, show: Show) -> Verdict:
    if not os.path.exists(device):
        others = _similar(device)
        return Verdict("missing", f"{shown(device)} does not exist; "
                       + (f"ports there are: {', '.join(others)}" if others else "no serial port is there at all "
                          "(is the device plugged in and powered? `dmesg` shows what the kernel saw)"), 1)
    node = os.path.realpath(device)
    if not_a_terminal(node):
        return _refused(device, OSError(errno.ENOTTY, os.strerror(errno.ENOTTY)))
    used = in_use(node)
    if used:
        return Verdict("left alone", f"{shown(device)} is {used}; the doctor changes a line's settings, which "
                       "would take it from under its user: give the device's own port", 1)
    try:
        guard, saved = _settings_of(device)
    except OSError as error:
        return _refused(device, error)
    try:
        return _scan(device, seconds, show) if scan else _listen_at(device, baud_rate, seconds, show)
    finally:
        _put_back(device, guard, saved)


def _settings_of(device: str) -> tuple[int, bytes]:
    """A descriptor on the line, held while the doctor works (so that no close of its own is
    the line's last), and the line's settings as found."""
    fd = above_standard(os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC))
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


def _listen_at(device: str, baud_rate: int, seconds: float, show: Show) -> Verdict:
    heard = _listened(device, baud_rate, seconds)
    if isinstance(heard, OSError):
        return _refused(device, heard)
    show(f"{shown(device)} at {baud_rate} baud, listened {heard.seconds:.1f} s:")
    show("\n".join(_report(heard)))
    if heard.hung_up:
        verdict = _hung_up_verdict(device, heard)
    elif heard.data_packets:
        verdict = Verdict("streaming", f"the device streams: `tiltwick-monitor {shown(device)} {baud_rate}` shows "
                          "it live", 0, said="streaming")
    elif heard.received == 0 or heard.packets:
        verdict = Verdict("silent", f"no data packets; the device's streams may be off: "
                          f"`tiltwick-streams {shown(device)} {baud_rate} on`", 1)
    else:
        verdict = Verdict("bytes but no packets", f"a wrong baud rate? `tiltwick-doctor {shown(device)} --scan` "
                          "tries the common rates", 1)
    verdict.baud, verdict.heard = baud_rate, heard
    return verdict


def _hung_up_verdict(device: str, heard: Listening) -> Verdict:
    return Verdict("hung up", f"{shown(device)} went away after {heard.seconds:.1f} s (cable, power or a device "
                   "reset); check them, and listen again once the device is back", 1)


def _refused(device: str, error: OSError) -> Verdict:
    why = refusal(device, error)
    return Verdict(why.verdict, f"{shown(device)}: {why.reason}", 1)


def _scan(device: str, seconds: float, show: Show) -> Verdict:
    """Tries the common rates the driver keeps; names the one at which packets frame best."""
    per_rate = min(seconds, 1.0)
    framed: dict[int, Listening] = {}  # rate kept -> what it carried
    tried: list[dict[str, Any]] = []
    for rate in SCAN_RATES:
        heard = _listened(device, rate, per_rate)
        if isinstance(heard, OSError):
            if heard.errno == errno.EINVAL:
                show(f"  {rate:>8}: the driver does not keep this rate")
                tried.append({"baud": rate, "kept": False})
                continue
            return _refused(device, heard)
        show(f"  {rate:>8}: {heard.received:,} bytes, {heard.data_packets:,} data packets, "
             f"{heard.checksum_failures:,} checksum failures")
        tried.append({"baud": rate, "kept": True, "bytes": heard.received, "data_packets": heard.data_packets,
                      "checksum_failures": heard.checksum_failures})
        if heard.hung_up:
            verdict = _hung_up_verdict(device, heard)
            verdict.tried = tried
            return verdict
        framed[rate] = heard
    best = max(framed, key=lambda rate: framed[rate].data_packets, default=None)
    if len(framed) == len(SCAN_RATES) and all(heard.data_packets for heard in framed.values()):
        verdict = Verdict("any rate", "packets frame at every rate tried (its driver ignores the rate, as a "
                          "pseudo-terminal's or a USB CDC-ACM port's does); use any", 0,
                          said="the rate does not matter on this port: packets frame at every rate tried (its "
                          "driver ignores the rate, as a pseudo-terminal's or a USB CDC-ACM port's does); use any")
    elif best is None or not framed[best].data_packets:
        verdict = Verdict("no rate", "the device may be silent (`tiltwick-streams DEVICE BAUD on` at its rate), or "
                          "use a rate not tried here", 1, said="no rate frames data packets: the device may be "
                          "silent (`tiltwick-streams DEVICE BAUD on` at its rate), or use a rate not tried here")
    else:
        verdict = Verdict("rate found", f"packets frame at {best} baud: use that rate", 0,
                          said=f"packets frame at {best} baud: use that rate", baud=best, heard=framed[best])
    verdict.tried = tried
    return verdict


def listing(as_json: bool = False) -> int:
    """The serial ports, as lines or as one JSON array; notes for a person go to standard error
    where standard output carries JSON."""
    found = ports()
    note = _say if as_json else print
    if as_json:
        print(json.dumps([port.as_json() for port in found], indent=2))
    for port in found if not as_json else []:
        print("\n".join(port.describe()))
    if not found:
        note("no serial ports found (none of the serial drivers' nodes in /proc/tty/drivers, nor a ttyS* with a "
             "UART): is the device plugged in and powered? `dmesg` shows what the kernel saw")
    if _running("ModemManager"):
        note("ModemManager: running; it probes every new ttyACM port for a modem, which disturbs a device for "
             "several seconds after it appears: see the udev rule in the README's 'First connection'")
    elif not as_json:
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
        "Without DEVICE: the serial ports the kernel's serial drivers list, each with its driver, USB "
        "identity, every /dev name for it, the process holding it, whether this user may open it, "
        "whether it is a console or has a login on it, and an FTDI adapter's latency timer; and "
        "whether ModemManager runs. --json prints them as one JSON array.\n\n"
        "With DEVICE: opens it as tiltwick does, listens, reports bytes, packets per descriptor set with "
        "their rates and readings, checksum failures and bytes outside packets, and ends with a verdict "
        "and the next step: streaming (exit 0), silent, bytes but no packets, hung up, busy, permission "
        "denied, not a serial port, left alone (a session's terminal or a console) or missing (exit 1). "
        "The line's settings are put back as they were on every way out. --json prints one JSON object.")
    line_arguments(ap, required=False)
    seconds_option(ap, f"how long to listen, above 0 and up to {MAX_SECONDS:g} (default: %(default)s)",
                   _listening_time, 2.0)
    ap.add_argument("--scan", action="store_true",
                    help="try the common rates (9600 up to 921600, 1000000 and up) that the driver keeps, "
                         "and name the one that frames packets (or say that the rate does not matter on the port)")
    ap.add_argument("--json", action="store_true", help="print one JSON document, as the module docstring describes")
    a = ap.parse_args(argv)
    if a.device is None:
        return run("tiltwick-doctor", lambda: listing(a.json))
    return run("tiltwick-doctor", lambda: examine(a.device, a.baud_rate, a.seconds, a.scan, a.json))


if __name__ == "__main__":
    raise SystemExit(main())
