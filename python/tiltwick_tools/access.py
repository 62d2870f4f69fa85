"""Why a serial line could not be opened, and what to do about it: one answer that every command
gives, built from what the system says about the node (its owner, group and mode, this user's
groups, the processes that have it open)."""

from __future__ import annotations

import errno
import grp
import os
import pwd
import stat
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

from .files import shown

__all__ = ["Refusal", "refusal", "why_not_opened", "holders_of", "held_by", "access_step", "not_a_terminal"]

# Where the udev rule that gives a port a group ships: the project's examples folder.
UDEV_RULE = "examples/99-tiltwick.rules"


@dataclass(frozen=True)
class Refusal:
    """Why a line was not opened: the doctor's verdict word, and the reason with the next step."""

    verdict: str   # busy, permission denied, not a serial port, hung up, missing, cannot open
    reason: str


def refusal(device: str | bytes, error: OSError) -> Refusal:
    """The reason ``device`` could not be opened with ``error``, and the next step."""
    node = os.fsdecode(os.path.realpath(device))
    code = error.errno or 0
    if code == errno.EBUSY:
        return Refusal("busy", f"held by {held_by(node)}; stop it, or ask it to let go")
    if code in (errno.EACCES, errno.EPERM):
        return Refusal("permission denied", access_step(node))
    if code == errno.EISDIR:
        return Refusal("not a serial port", "a directory, not a serial line; `tiltwick-doctor` lists the serial "
                                            "ports there are")
    if code == errno.ENOTTY or (code == errno.EINVAL and not_a_terminal(node)):
        return Refusal("not a serial port", "not a serial line (not a terminal device, as a serial port is); "
                                            "`tiltwick-doctor` lists the serial ports there are")
    if code == errno.EIO:
        return Refusal("hung up", "the line hung up as it was opened (cable, power or a device reset); check "
                                  "them, and try again once the device is back")
    if code == errno.ENOENT:
        return Refusal("missing", "no such device; `tiltwick-doctor` lists the serial ports there are")
    if code == errno.ENXIO:
        return Refusal("missing", "no device answers at that node (unplugged?); `tiltwick-doctor` lists "
                                  "the serial ports")
    return Refusal("cannot open", error.strerror or str(error))


def why_not_opened(device: str | bytes, error: OSError) -> str:
    """One line: why ``device`` could not be opened as a serial line, and what to do next."""
    return f"cannot open {shown(device)}: {refusal(device, error).reason}"


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
                    found.append((int(entry), _command_of(entry)))
                    break
            except OSError:
                continue
    return found


def _command_of(pid: str) -> str:
    try:
        return Path(f"/proc/{pid}/comm").read_text().strip()
    except OSError:
        return "?"


def held_by(node: str) -> str:
    """The processes that have ``node`` open, for a sentence."""
    return ", ".join(f"pid {pid} ({command})" for pid, command in holders_of(node)) or \
        "a process this user cannot see (another user's, or root's)"


def access_step(node: str) -> str:
    """Why this user may not read and write ``node``, from its owner, group and mode, and what
    would let it."""
    try:
        status = os.stat(node)
    except OSError:
        return "ask for access to it"
    mode = stat.S_IMODE(status.st_mode)
    owner, group = _name(pwd.getpwuid, status.st_uid), _name(grp.getgrgid, status.st_gid)
    modes = f"mode {mode:04o}, {owner}:{group}"
    rule = f"a udev rule gives it a group that may: {UDEV_RULE}, in the project's examples folder"
    # Joining root's group would be no advice; nor is a group whose bits do not give read and write.
    if mode & 0o060 == 0o060 and status.st_gid != 0:
        if status.st_gid in os.getgroups() or status.st_gid == os.getegid():
            return f"its group {group} may, and this user is in it ({modes}): something beyond the mode refuses"
        if _member_of(status.st_gid):
            return (f"this user is in the group {group} ({modes}), but this login is not yet: "
                    f"log in again (or run `newgrp {group}`)")
        return (f"this user is not in its group {group} ({modes}); join the group {group}: "
                f"`sudo usermod -aG {group} $USER`, then log in again")
    if status.st_uid == 0:
        return f"only root may read and write it ({modes}); {rule}"
    return f"only its owner {owner} may read and write it ({modes}); {rule}"


def _name(lookup: Callable[[int], Sequence[object]], number: int) -> str:
    """A user's or group's name (``lookup`` is pwd.getpwuid or grp.getgrgid), or its number."""
    try:
        return str(lookup(number)[0])
    except KeyError:
        return str(number)


def _member_of(gid: int) -> bool:
    """Whether the system's user and group lists put this user in the group ``gid``."""
    try:
        user = pwd.getpwuid(os.getuid())
        return user.pw_gid == gid or user.pw_name in grp.getgrgid(gid).gr_mem
    except KeyError:
        return False


def not_a_terminal(node: str) -> bool:
    """Whether ``node`` is surely no terminal, without opening it: not a character device, or
    one that sysfs files under another class (pseudo-terminals have no entry there)."""
    try:
        status = os.stat(node)
    except OSError:
        return False
    if not stat.S_ISCHR(status.st_mode):
        return True
    subsystem = f"/sys/dev/char/{os.major(status.st_rdev)}:{os.minor(status.st_rdev)}/subsystem"
    return os.path.exists(subsystem) and os.path.basename(os.path.realpath(subsystem)) != "tty"
