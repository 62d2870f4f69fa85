"""The serial ports a device can be on, as sysfs, /proc and /dev describe them: each port's
driver, USB identity, every /dev name that leads to it, who holds it, whether this user may open
it, and whether the system uses it as a console or for logins."""

from __future__ import annotations

import glob
import os
import re
from dataclasses import dataclass, field
from typing import Any

from .access import access_step, holders_of

__all__ = ["Port", "ports", "in_use", "serial_prefixes", "port_nodes", "links_by_node", "natural_key", "consoles",
           "read_text"]

# The serial drivers' node prefixes, where /proc/tty/drivers cannot be read.
FALLBACK_PREFIXES = ("/dev/ttyACM", "/dev/ttyUSB", "/dev/ttyAMA", "/dev/ttyS", "/dev/ttyTHS", "/dev/ttymxc",
                     "/dev/ttyGS", "/dev/ttyXRUSB", "/dev/rfcomm")
# Where a program that names a port stably puts its symbolic link: /dev itself (the project's udev
# rule's /dev/ahrs, a board's /dev/serial0) and udev's persistent names.
LINK_FOLDERS = ("", "serial/by-id", "serial/by-path")
GETTY_UNITS = "/etc/systemd/system/*.wants/*getty@{}.service"


def read_text(path: str) -> str | None:
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None


def natural_key(text: str) -> tuple[tuple[int, int | str], ...]:
    """Sorts ttyUSB2 before ttyUSB10: runs of digits compare as numbers."""
    return tuple((0, int(part)) if part.isdigit() else (1, part) for part in re.split(r"(\d+)", text) if part)


def serial_prefixes(drivers: str | None) -> list[str]:
    """The node prefixes of the serial drivers that /proc/tty/drivers lists (its text, or None
    where it could not be read: then the common ones)."""
    found = []
    for line in (drivers or "").splitlines():
        fields = line.split()  # name, node prefix, major, minors, type; a name may hold spaces
        if len(fields) >= 5 and fields[-1] == "serial":
            found.append(fields[-4])
    return list(dict.fromkeys(found)) or list(FALLBACK_PREFIXES)


def port_nodes(prefixes: list[str]) -> list[str]:
    """The device nodes named a prefix and a number, in natural order."""
    nodes = {path for prefix in prefixes for path in glob.glob(glob.escape(prefix) + "[0-9]*")
             if path[len(prefix):].isdigit()}
    return sorted(nodes, key=natural_key)


def links_by_node(dev: str = "/dev") -> dict[str, list[str]]:
    """Every symbolic link in ``dev``, dev/serial/by-id and dev/serial/by-path, by the node it
    leads to. Links through /proc (/dev/stdin, /dev/fd) name this process's descriptors, not a port."""
    found: dict[str, list[str]] = {}
    for folder in LINK_FOLDERS:
        where = os.path.join(dev, folder) if folder else dev
        try:
            entries = sorted(os.scandir(where), key=lambda entry: natural_key(entry.name))
        except OSError:
            continue
        for entry in entries:
            try:
                if not entry.is_symlink() or os.readlink(entry.path).startswith("/proc/"):
                    continue
            except OSError:
                continue
            found.setdefault(os.path.realpath(entry.path), []).append(entry.path)
    return found


def consoles() -> list[int]:
    """The devices that /proc/consoles lists (each line ends with major:minor)."""
    found = []
    for line in (read_text("/proc/consoles") or "").splitlines():
        major, _, minor = line.rpartition(" ")[2].partition(":")
        if major.isdigit() and minor.isdigit():
            found.append(os.makedev(int(major), int(minor)))
    return found


def in_use(node: str) -> str | None:
    """Why the doctor must leave ``node`` alone: a session's terminal or a console; None otherwise."""
    try:
        device = os.stat(node).st_rdev
    except OSError:
        return None
    if device == os.makedev(5, 0):
        return "this process's controlling terminal"
    if device == os.makedev(5, 1) or device in consoles():
        return "a serial console (the kernel writes its messages there, and a login may wait on it)"
    for fd in (0, 1, 2):
        try:
            if os.isatty(fd) and os.fstat(fd).st_rdev == device:
                return "this process's own terminal"
        except OSError:
            continue
    for pid in (entry for entry in os.listdir("/proc") if entry.isdigit()):
        stat = read_text(f"/proc/{pid}/stat")
        fields = stat.rpartition(")")[2].split() if stat else []
        if len(fields) > 4 and int(fields[4]) != 0 and _same_device(int(fields[4]), device):
            return f"the terminal of a session (pid {pid}, {read_text(f'/proc/{pid}/comm') or '?'})"
    return None


def _same_device(a: int, b: int) -> bool:
    return (os.major(a), os.minor(a)) == (os.major(b), os.minor(b))


@dataclass
class Port:
    """A serial port as sysfs and /proc describe it."""

    path: str                                  # the device node
    node: str                                  # the same, resolved
    driver: str | None = None
    usb: dict[str, str] = field(default_factory=dict)   # idVendor, idProduct, manufacturer, product, serial
    interface: str | None = None               # the USB interface's own name, where it has one
    location: str | None = None                # the USB interface in sysfs: bus-ports:config.interface
    links: list[str] = field(default_factory=list)   # every /dev symbolic link to it
    holders: list[tuple[int, str]] = field(default_factory=list)   # (pid, command), where visible
    accessible: bool = False
    access_step: str = ""                      # what would let this user open it, where it may not
    console: str | None = None                 # why the system uses it as a console or for logins
    in_use: str | None = None                  # a session's terminal or a console: not a device's line
    latency_timer: str | None = None           # FTDI adapters: ms

    @classmethod
    def of(cls, path: str, links: list[str] | None = None) -> Port:
        node = os.path.realpath(path)
        port = cls(path, node, links=list(links or []))
        sysfs = f"/sys/class/tty/{os.path.basename(node)}/device"
        port.driver = _driver_of(sysfs)
        # the USB device is the nearest ancestor of the port's device that has a vendor id; the
        # interface the port belongs to is the one below it
        here = os.path.realpath(sysfs)
        while here.startswith("/sys/devices/") and not os.path.exists(f"{here}/idVendor"):
            if os.path.exists(f"{here}/bInterfaceNumber"):
                port.location = os.path.basename(here)
                port.interface = read_text(f"{here}/interface")
            here = os.path.dirname(here)
        if os.path.exists(f"{here}/idVendor"):
            for key in ("idVendor", "idProduct", "manufacturer", "product", "serial"):
                value = read_text(f"{here}/{key}")
                if value:
                    port.usb[key] = value
        port.holders = holders_of(node)
        port.console = _console_of(node, port.holders, port.links)
        port.in_use = in_use(node)
        port.accessible = os.access(node, os.R_OK | os.W_OK)
        if not port.accessible:
            port.access_step = access_step(node)
        port.latency_timer = read_text(f"{sysfs}/latency_timer")
        return port

    def describe(self) -> list[str]:
        usb = ""
        if self.usb:
            names = " ".join(f'"{self.usb[k]}"' for k in ("manufacturer", "product") if k in self.usb)
            serial = f' serial "{self.usb["serial"]}"' if "serial" in self.usb else ""
            usb = f", USB {self.usb.get('idVendor', '?')}:{self.usb.get('idProduct', '?')} {names}{serial}".rstrip()
        lines = [f"{self.path}: driver {self.driver or 'unknown'}{usb}"]
        lines += [f"    also named: {link}" for link in self.links]
        for pid, command in self.holders:
            lines.append(f"    held by: pid {pid} ({command})")
        if self.console:
            lines.append(f"    console: {self.console}")
        if self.in_use and not self.console:
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

    def as_json(self) -> dict[str, Any]:
        """The port for scripts, under the field names serial-port listings commonly use."""
        usb = self.usb
        vid, pid = (_hex(usb.get(key)) for key in ("idVendor", "idProduct"))
        hwid = None
        if vid is not None and pid is not None:
            hwid = " ".join([f"USB VID:PID={vid:04X}:{pid:04X}"]
                            + [f"{label}={value}" for label, value in (("SER", usb.get("serial")),
                                                                      ("LOCATION", self.location)) if value])
        return {
            "device": self.path, "name": os.path.basename(self.node),
            "description": usb.get("product") or self.interface or os.path.basename(self.node), "hwid": hwid,
            "vid": vid, "pid": pid, "serial_number": usb.get("serial"), "manufacturer": usb.get("manufacturer"),
            "product": usb.get("product"), "interface": self.interface, "location": self.location,
            "driver": self.driver, "links": self.links,
            "holders": [{"pid": holder, "command": command} for holder, command in self.holders],
            "access": {"allowed": self.accessible, "advice": None if self.accessible else self.access_step},
            "console": self.console is not None,
            "latency_timer": int(self.latency_timer) if self.latency_timer and self.latency_timer.isdigit() else None,
        }


def _hex(text: str | None) -> int | None:
    try:
        return int(text, 16) if text else None
    except ValueError:
        return None


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


def _console_of(node: str, holders: list[tuple[int, str]], links: list[str]) -> str | None:
    """Why ``node`` is the system's: its serial console, a login prompt waiting on it, or a login
    service enabled for it (which starts one at the next boot); None otherwise."""
    try:
        device = os.stat(node).st_rdev
    except OSError:
        return None
    if device in consoles():
        return "the system's serial console (/proc/consoles)"
    for pid, command in holders:
        if "getty" in command:
            return f"a login prompt waits on it (pid {pid}, {command})"
    for name in dict.fromkeys([os.path.basename(node)] + [os.path.basename(link) for link in links]):
        units = glob.glob(GETTY_UNITS.format(glob.escape(name)))
        if units:
            return f"a login service is enabled for it ({os.path.basename(units[0])})"
    return None


def _has_hardware(path: str) -> bool:
    """A ttyS port is listed only when a UART answers behind it (a PC has four nodes whatever it has)."""
    name = os.path.basename(path)
    if not name.startswith("ttyS"):
        return True
    port_type = read_text(f"/sys/class/tty/{name}/type")
    return port_type not in (None, "0")


def ports() -> list[Port]:
    """The serial ports a device can be on, in natural order, each with its /dev names."""
    links = links_by_node()
    nodes = port_nodes(serial_prefixes(read_text("/proc/tty/drivers")))
    return [Port.of(node, links.get(os.path.realpath(node))) for node in nodes if _has_hardware(node)]
