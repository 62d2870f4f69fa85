"""The tiltwick-record command: the raw bytes of a serial line into a capture file, with the line
set up as the module sets it up (raw 8N1, no flow control, exclusive access, any baud rate)."""

from __future__ import annotations

import argparse
import errno
import fcntl
import os
import select
import signal
import struct
import sys
import termios
import time
from typing import BinaryIO

from . import mip_wire as mw

__all__ = ["open_line", "close_line", "Recorder", "main"]

# struct termios2 and its ioctls in the layout shared by x86, ARM, RISC-V and most other Linux
# architectures: c_iflag, c_oflag, c_cflag, c_lflag, c_line, c_cc[19], c_ispeed, c_ospeed.
_TERMIOS2 = struct.Struct("@4IB19s2I")
_IOC_WRITE, _IOC_READ = 1, 2


def _ioc(direction: int, number: int) -> int:
    return (direction << 30) | (_TERMIOS2.size << 16) | (ord("T") << 8) | number


TCGETS2 = _ioc(_IOC_READ, 0x2A)
TCSETS2 = _ioc(_IOC_WRITE, 0x2B)
BOTHER = 0o010000
# Architectures whose terminal ioctls are laid out otherwise, or that have no termios2.
_OTHER_LAYOUT = ("alpha", "mips", "parisc", "ppc", "powerpc", "sparc")


def open_line(path: str, baud_rate: int) -> int:
    """Opens a serial line for reading raw bytes and returns its descriptor (non-blocking).

    Claims exclusive access (TIOCEXCL), sets raw mode with 8 data bits, no parity, 1 stop bit
    and no flow control, and sets ``baud_rate`` through termios2 with BOTHER, so that any
    rate the driver accepts works. Raises OSError; nothing stays open then.
    """
    if os.uname().machine.startswith(_OTHER_LAYOUT):
        raise OSError(errno.ENOTSUP, f"arbitrary baud rates are not set up for {os.uname().machine}")
    if not 0 < baud_rate <= 0xFFFFFFFF:
        raise OSError(errno.EINVAL, f"baud rate out of range: {baud_rate}")
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        fcntl.ioctl(fd, termios.TIOCEXCL)
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


def close_line(fd: int) -> None:
    """Gives up the exclusive claim and closes the line."""
    try:
        fcntl.ioctl(fd, termios.TIOCNXCL)
    except OSError:
        pass
    os.close(fd)


class Recorder:
    """Writes the bytes it is fed to ``out``, starting at the first whole packet.

    Bytes before the first packet whose sync pair, length and checksum check out (the tail of
    a packet the line was in the middle of, noise) are left out, so that a capture starts on a
    packet boundary; from there on every byte is kept as it came, damaged or not.
    """

    def __init__(self, out: BinaryIO) -> None:
        self._out = out
        self._parser = mw.FrameParser()
        self._head = bytearray()      # bytes before the first packet, from stream offset _head_at
        self._head_at = 0
        self.started = False
        self.received = 0             # bytes from the line
        self.written = 0              # bytes in the capture
        self.packets = 0              # packets framed (sync, length and checksum good)

    @property
    def checksum_failures(self) -> int:
        return self._parser.bad_checksums

    def feed(self, data: bytes) -> None:
        self.received += len(data)
        frames = self._parser.feed(data)
        self.packets += len(frames)
        if self.started:
            self._write(data)
            return
        self._head += data
        if frames:
            self.started = True
            self._write(self._head[frames[0].offset - self._head_at:])
            self._head = bytearray()
            return
        # keep no more than the longest packet, which may still turn out to be the first
        keep = 6 + 255
        if len(self._head) > keep:
            self._head_at += len(self._head) - keep
            del self._head[:-keep]

    def _write(self, data: bytes | bytearray) -> None:
        self._out.write(data)
        self.written += len(data)


def _read_available(fd: int, recorder: Recorder) -> bool:
    """Feeds what the line holds now; False once the line has hung up."""
    while True:
        try:
            data = os.read(fd, 65536)
        except BlockingIOError:
            return True
        except InterruptedError:
            continue
        except OSError as error:
            if error.errno == errno.EIO:
                return False
            raise
        if not data:
            return False
        recorder.feed(data)


def _status(recorder: Recorder, elapsed: float, byte_rate: float, packet_rate: float) -> str:
    skipped = f" (skipping until the first packet: {recorder.received} B)" if not recorder.started else ""
    return (f"{elapsed:7.1f} s  {recorder.written:,} B{skipped}  {recorder.packets:,} packets  "
            f"{recorder.checksum_failures:,} checksum failures  {byte_rate:,.0f} B/s  {packet_rate:,.0f} packets/s")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        prog="tiltwick-record",
        description="Record the raw bytes a device sends on a serial line into a capture file that "
                    "AHRSClient.open_file, parse_data_stream_py and the other tiltwick-* commands "
                    "replay. The line is set up as tiltwick sets it up: raw, 8 data bits, no parity, "
                    "1 stop bit, no flow control, exclusive access, any baud rate the driver accepts. "
                    "Nothing is sent to the device. The capture starts at the first whole packet "
                    "(sync pair, length and checksum good): bytes before it are left out, so that "
                    "tiltwick-dump, which stops at the first byte that is not part of a packet, reads "
                    "it from its start. A one-line status shows bytes recorded, packets framed, "
                    "checksum failures and rates. Ctrl-C stops the recording; every byte read until "
                    "then is in the file.")
    ap.add_argument("device", help="serial device, for example /dev/ttyACM0 or a /dev/serial/by-id/ path")
    ap.add_argument("baud_rate", type=int, help="the rate the device is set to, for example 921600")
    ap.add_argument("out", metavar="OUT.bin", help="capture file to write (replaced if it exists)")
    ap.add_argument("--seconds", type=float, default=0.0, help="stop after this long (default: 0, at Ctrl-C)")
    a = ap.parse_args(argv)

    stop = []
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.append(True))
    try:
        out = open(a.out, "wb")
    except OSError as error:
        print(f"tiltwick-record: cannot write {a.out}: {error}", file=sys.stderr)
        return 1
    with out:
        try:
            fd = open_line(a.device, a.baud_rate)
        except OSError as error:
            print(f"tiltwick-record: cannot open {a.device}: {error}", file=sys.stderr)
            return 1
        recorder = Recorder(out)
        live = sys.stderr.isatty()
        started = time.monotonic()
        end = started + a.seconds if a.seconds > 0 else float("inf")
        shown_at, shown_bytes, shown_packets = started, 0, 0
        hung_up = False
        try:
            poller = select.poll()
            poller.register(fd, select.POLLIN)
            while not stop and not hung_up:
                now = time.monotonic()
                if now >= end:
                    break
                poller.poll(min(100.0, (end - now) * 1000))
                hung_up = not _read_available(fd, recorder)
                now = time.monotonic()
                if live and now - shown_at >= 0.25:
                    line = _status(recorder, now - started, (recorder.received - shown_bytes) / (now - shown_at),
                                   (recorder.packets - shown_packets) / (now - shown_at))
                    sys.stderr.write("\r" + line + "\x1b[K")
                    sys.stderr.flush()
                    shown_at, shown_bytes, shown_packets = now, recorder.received, recorder.packets
            if not hung_up:
                hung_up = not _read_available(fd, recorder)  # what arrived since the last read
        finally:
            close_line(fd)
    elapsed = time.monotonic() - started
    if live:
        sys.stderr.write("\r\x1b[K")
    print(f"{a.out}: {_status(recorder, elapsed, recorder.received / elapsed, recorder.packets / elapsed)}"
          f"{'; the line hung up' if hung_up else ''}", file=sys.stderr)
    return 1 if hung_up else 0
