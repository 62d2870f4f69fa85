"""A serial line set up as the tiltwick module sets it up: exclusive access, raw mode with 8 data
bits, no parity, 1 stop bit and no flow control, and any baud rate through termios2, read back
after it is set. The recorder, the stream switch and the doctor open their lines here, so that
they and a client agree about the same port."""

from __future__ import annotations

import errno
import fcntl
import os
import select
import stat
import struct
import termios
import time
from collections.abc import Iterator

from .files import above_standard


__all__ = ["open_line", "close_line", "discard_input", "arrivals", "MAX_BAUD"]

MAX_BAUD = 0xFFFFFFFF

# struct termios2 and its ioctls in the layout shared by x86, ARM, RISC-V and most other Linux
# architectures: c_iflag, c_oflag, c_cflag, c_lflag, c_line, c_cc[19], c_ispeed, c_ospeed.
_TERMIOS2 = struct.Struct("@4IB19s2I")
_IOC_WRITE, _IOC_READ = 1, 2


def _ioc(direction: int, number: int, size: int = _TERMIOS2.size) -> int:
    return (direction << 30) | (size << 16) | (ord("T") << 8) | number


TCGETS2 = _ioc(_IOC_READ, 0x2A)
TCSETS2 = _ioc(_IOC_WRITE, 0x2B)
TIOCGEXCL = _ioc(_IOC_READ, 0x40, struct.calcsize("i"))
BOTHER = 0o010000
# Architectures whose terminal ioctls are laid out otherwise, or that have no termios2.
_OTHER_LAYOUT = ("alpha", "mips", "parisc", "ppc", "powerpc", "sparc")


def open_line(path: str | bytes, baud_rate: int) -> int:
    """Opens a serial line for reading raw bytes and returns its descriptor (non-blocking).

    Refuses a line that another process has claimed (EBUSY), as root too, and leaves that claim
    alone. Otherwise claims exclusive access (TIOCEXCL), sets raw mode with 8 data bits, no
    parity, 1 stop bit and no flow control, and sets ``baud_rate`` through termios2 with BOTHER,
    so that any rate the driver accepts works. Raises OSError; nothing stays open then.
    """
    if os.uname().machine.startswith(_OTHER_LAYOUT):
        raise OSError(errno.ENOTSUP, f"arbitrary baud rates are not set up for {os.uname().machine}")
    if not 0 < baud_rate <= MAX_BAUD:
        raise OSError(errno.EINVAL, f"baud rate out of range: {baud_rate}")
    fd = above_standard(os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC))
    try:
        # A file or a pipe is no terminal: said before any terminal request is put to it
        if not stat.S_ISCHR(os.fstat(fd).st_mode):
            raise OSError(errno.ENOTTY, os.strerror(errno.ENOTTY), path)
        # Until this process has made its own claim, a failure only closes: a claim there is
        # belongs to another process.
        if _claimed(fd):
            raise OSError(errno.EBUSY, os.strerror(errno.EBUSY), path)
        fcntl.ioctl(fd, termios.TIOCEXCL)
    except BaseException:
        os.close(fd)
        raise
    try:
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
        iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
                   | termios.IGNCR | termios.ICRNL | termios.IXON)
        oflag &= ~termios.OPOST
        lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
        cflag = (cflag & ~(termios.CSIZE | termios.PARENB)) | termios.CS8 | termios.CREAD | termios.CLOCAL
        cc[termios.VMIN], cc[termios.VTIME] = 1, 0
        termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, ispeed, ospeed, cc])

        settings = bytearray(_TERMIOS2.size)
        fcntl.ioctl(fd, TCGETS2, settings, True)
        iflag, oflag, cflag, lflag, line, chars, _, _ = _TERMIOS2.unpack(settings)
        iflag = (iflag | termios.IGNPAR) & ~(termios.INPCK | termios.IXON | termios.IXOFF)
        cflag &= ~(termios.PARENB | termios.PARODD | termios.CSTOPB | termios.CRTSCTS | termios.CSIZE
                   | termios.CBAUD | termios.CIBAUD)
        cflag |= termios.CS8 | BOTHER
        fcntl.ioctl(fd, TCSETS2, _TERMIOS2.pack(iflag, oflag, cflag, lflag, line, chars, baud_rate, baud_rate))
        # A driver answers a rate it cannot make without failing: it keeps another one. Within
        # 2 % (what a UART tolerates) the rate is the one asked for, as the module checks too.
        fcntl.ioctl(fd, TCGETS2, settings, True)
        kept = _TERMIOS2.unpack(settings)[-2:]
        if any(abs(speed - baud_rate) * 50 > baud_rate for speed in kept):
            raise OSError(errno.EINVAL, f"the driver keeps {kept[0]} baud, not {baud_rate}")
    except BaseException:
        close_line(fd)
        raise
    return fd


def _claimed(fd: int) -> bool:
    """Whether the line is claimed exclusively already. The kernel lets root open a claimed
    line all the same, and root's release would then clear the holder's claim. A kernel without
    TIOCGEXCL (before 3.8) cannot tell: the line counts as free, as it did before the check."""
    answer = bytearray(struct.calcsize("i"))
    try:
        fcntl.ioctl(fd, TIOCGEXCL, answer, True)
    except OSError as error:
        if error.errno in (errno.ENOTTY, errno.EINVAL):
            return False
        raise
    claimed: int = struct.unpack("i", answer)[0]
    return claimed != 0


def close_line(fd: int) -> None:
    """Gives up the exclusive claim and closes the line."""
    try:
        fcntl.ioctl(fd, termios.TIOCNXCL)
    except OSError:
        pass
    os.close(fd)


def discard_input(fd: int) -> None:
    """Drops what the line (opened by open_line) received before now: the driver's input
    buffers, then what is readable already. Stops at a read that is not full, so that a device
    streaming meanwhile does not keep it going."""
    try:
        termios.tcflush(fd, termios.TCIFLUSH)
    except termios.error:
        return  # a line that hung up already: the next read finds it so
    while select.select([fd], [], [], 0)[0]:
        try:
            if len(os.read(fd, 65536)) < 65536:
                return
        except OSError:  # nothing after all, or hung up: the next read tells
            return


def arrivals(fd: int, seconds: float) -> Iterator[bytes]:
    """What the line (opened by open_line) delivers for ``seconds``, as it arrives; ends early
    when the line hangs up."""
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        if not poller.poll(left * 1000):
            return
        try:
            data = os.read(fd, 65536)
        except BlockingIOError:
            continue
        except OSError:  # hung up
            return
        if not data:
            return
        yield data
