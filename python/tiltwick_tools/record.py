"""The tiltwick-record command: the raw bytes of a serial line into a capture file, with the line
set up as the module sets it up (raw 8N1, no flow control, exclusive access, any baud rate).

What it keeps, whatever ends the recording:
- every byte read is handed to the operating system as soon as it is read, and the file is
  synced to the disk (fdatasync) at least once a second, so a power cut loses at most about the
  last second;
- Ctrl-C (SIGINT), SIGTERM and SIGHUP (a closed terminal, a dropped ssh session) end it after
  the bytes already read are written and synced;
- a full disk ends it with a line saying how many bytes are safely in the file;
- the line is opened and set up first, and an existing file of the same name is replaced only
  once the first packet has arrived: a mistyped device, a wrong baud rate or a silent device
  leaves it as it was.
"""

from __future__ import annotations

import errno
import os
import select
import signal
import sys
import time
from collections.abc import Callable
from types import FrameType

from . import mip_wire as mw
from .access import why_not_opened
from .cli import command_parser, line_arguments, output_argument, run, seconds_option
from .files import CommandError, Output, refuse_same_file, shown
from .line import close_line, open_line

__all__ = ["Recorder", "CaptureFile", "CaptureWriteError", "record", "main", "SYNC_INTERVAL_S"]

SYNC_INTERVAL_S = 1.0
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class CaptureWriteError(Exception):
    """Writing or syncing the capture failed (a full disk, say); holds the OSError."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error.strerror or str(error))
        self.error = error


class CaptureFile:
    """The capture being written (see ``files.Output``): an unnamed file in the target's folder
    until the first bytes arrive, then ``path`` itself (a device, a FIFO or standard output is
    written in place). Writes go straight to the operating system, and onto the disk at least
    every ``sync_interval`` seconds (None: only at the end)."""

    def __init__(self, path: str | bytes, sync_interval: float | None = SYNC_INTERVAL_S) -> None:
        self.path = os.fsencode(path)
        self._output = Output(self.path)
        self._sync_interval = sync_interval
        self._synced_at = time.monotonic()
        self.written = 0           # bytes handed to the operating system
        self.synced = 0            # bytes known to be on the disk
        self.named = False         # whether the recording has begun at ``path``

    def write(self, data: bytes | bytearray) -> None:
        if data and not self.named:  # the recording has begun: it replaces an earlier file now
            self._output.publish()
            self.named = True
        view = memoryview(data)
        try:
            while view:
                done = os.write(self._output.fd, view)
                self.written += done
                view = view[done:]
        except OSError as error:
            raise CaptureWriteError(error) from None
        self.sync_when_due()

    def sync_when_due(self) -> None:
        if self._sync_interval is not None and time.monotonic() - self._synced_at >= self._sync_interval:
            self.sync()

    def sync(self) -> None:
        if self.synced != self.written:
            try:
                self._output.sync(data_only=True)
            except OSError as error:
                raise CaptureWriteError(error) from None
            self.synced = self.written
        self._synced_at = time.monotonic()

    def close(self) -> None:
        """Syncs and closes; a file that never got a byte is gone, leaving an earlier file of
        that name as it was."""
        try:
            if self.named:
                self.sync()
        finally:
            self._output.close()


class Recorder:
    """Writes the bytes it is fed to ``out``, starting at the first whole packet.

    Bytes before the first packet whose sync pair, length and checksum check out (the tail of
    a packet the line was in the middle of, noise) are left out, so that a capture starts on a
    packet boundary; from there on every byte is kept as it came, damaged or not.
    """

    def __init__(self, out: CaptureFile) -> None:
        self._out = out
        self._parser = mw.FrameParser()
        self._head = bytearray()      # bytes before the first packet, from stream offset _head_at
        self._head_at = 0
        self._left_out = 0            # bytes before the first packet, not in the capture
        self.started = False
        self.received = 0             # bytes from the line
        self.packets = 0              # packets framed (sync, length and checksum good)

    @property
    def written(self) -> int:
        return self._out.written

    @property
    def checksum_failures(self) -> int:
        return self._parser.bad_checksums

    @property
    def outside_packets(self) -> int:
        """Bytes in the capture that are not part of a good packet, an unfinished last one
        included: tiltwick-dump stops at the first of them."""
        if not self.started:
            return 0
        return self._parser.skipped - self._left_out + self._parser.pending

    def feed(self, data: bytes) -> None:
        self.received += len(data)
        frames = self._parser.feed(data)
        self.packets += len(frames)
        if self.started:
            self._out.write(data)
            return
        self._head += data
        if frames:
            self.started = True
            self._left_out = frames[0].offset
            head, self._head = self._head[frames[0].offset - self._head_at:], bytearray()
            self._out.write(head)
            return
        # keep no more than the longest packet, which may still turn out to be the first
        keep = mw.MAX_PACKET
        if len(self._head) > keep:
            self._head_at += len(self._head) - keep
            del self._head[:-keep]


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


def _status(recorder: Recorder, elapsed: float, byte_rate: float, packet_rate: float,
            width: int | None = None) -> str:
    """The status fields, most telling first; with a ``width``, those that fit in one row of
    that many columns (the last column left free, so that the row never wraps)."""
    fields = [f"{elapsed:7.1f} s", f"{recorder.written:,} B",
              f"(skipping until the first packet: {recorder.received:,} B)" if not recorder.started else "",
              f"{recorder.packets:,} packets", f"{recorder.checksum_failures:,} checksum failures",
              f"{recorder.outside_packets:,} B outside packets", f"{byte_rate:,.0f} B/s",
              f"{packet_rate:,.0f} packets/s"]
    fields = [field for field in fields if field]
    if width is None:
        return "  ".join(fields)
    line = fields[0][:max(width - 1, 0)]
    for field in fields[1:]:
        if len(line) + 2 + len(field) < width:
            line += "  " + field
    return line


def _terminal_width() -> int:
    """Columns of the terminal on standard error (COLUMNS, when set, wins)."""
    try:
        columns = int(os.environ.get("COLUMNS", ""))
    except ValueError:
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(2).columns
        except OSError:
            columns = 0
    return columns or 80


def _stop_on_signals(stop: list[int]) -> Callable[[], None]:
    """Makes SIGINT, SIGTERM and SIGHUP end the recording loop; returns what undoes that."""
    def handler(number: int, _frame: FrameType | None) -> None:
        stop.append(number)
    previous = {sig: signal.signal(sig, handler) for sig in STOP_SIGNALS}

    def restore() -> None:
        for sig, action in previous.items():
            signal.signal(sig, action)
    return restore


def record(device: str | bytes, baud_rate: int, out_path: str | bytes, seconds: float = 0.0,
           sync_interval: float | None = SYNC_INTERVAL_S) -> int:
    """Records until a stop signal, ``seconds`` (0: no limit), a hang-up or a full disk; returns
    the exit status. Progress goes to standard error."""
    try:
        fd = open_line(device, baud_rate)
    except OSError as error:
        raise CommandError(why_not_opened(device, error)) from None
    try:
        refuse_same_file(os.fsdecode(out_path), os.fsdecode(device))
        out = CaptureFile(out_path, sync_interval)  # a FIFO waits here for its reader; Ctrl-C ends the wait
        try:
            stop: list[int] = []
            restore = _stop_on_signals(stop)
            try:
                return _recording(fd, Recorder(out), out, seconds, stop)
            finally:
                restore()
        finally:
            out.close()
    finally:
        close_line(fd)


def _recording(fd: int, recorder: Recorder, out: CaptureFile, seconds: float, stop: list[int]) -> int:
    live = sys.stderr is not None and sys.stderr.isatty()
    started = time.monotonic()
    end = started + seconds if seconds > 0 else float("inf")
    shown_at, shown_bytes, shown_packets = started, 0, 0
    hung_up = False
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    try:
        while not stop and not hung_up:
            now = time.monotonic()
            if now >= end:
                break
            # Wake at least every 100 ms: the sync and the status do not wait for bytes.
            poller.poll(min(100.0, (end - now) * 1000))
            hung_up = not _read_available(fd, recorder)
            out.sync_when_due()
            now = time.monotonic()
            if live and now - shown_at >= 0.25:
                line = _status(recorder, now - started, (recorder.received - shown_bytes) / (now - shown_at),
                               (recorder.packets - shown_packets) / (now - shown_at), _terminal_width())
                live = _show("\r" + line + "\x1b[K")
                shown_at, shown_bytes, shown_packets = now, recorder.received, recorder.packets
        if not hung_up:
            hung_up = not _read_available(fd, recorder)  # what arrived since the last read
        out.sync()
    except CaptureWriteError as failure:
        if live:
            _show("\r\x1b[K")
        try:
            out.sync()
        except CaptureWriteError:
            pass
        reason = {errno.ENOSPC: "the disk is full", errno.EDQUOT: "the disk quota is used up",
                  errno.EFBIG: "the file reached the size this process may write"}.get(failure.error.errno or 0,
                                                                                        "writing failed")
        raise CommandError(f"{shown(out.path)}: {reason} ({failure}); the recording ends here with "
                           f"{out.synced:,} bytes safely in the file") from None
    elapsed = max(time.monotonic() - started, 1e-9)
    if live:
        _show("\r\x1b[K")
    endings = {int(signal.SIGINT): "; stopped by Ctrl-C", int(signal.SIGTERM): "; stopped by SIGTERM",
               int(signal.SIGHUP): "; stopped by SIGHUP (hang-up)"}
    ending = endings.get(stop[0], "") if stop else ""
    note = ""
    if recorder.outside_packets:
        note = ("; tiltwick-dump stops at the first byte outside a packet, while tiltwick-csv and "
                "packets() read past them")
    if not out.named:
        print(f"tiltwick-record: nothing recorded: no packet arrived in {elapsed:.1f} s "
              f"({recorder.received:,} B read){'; the line hung up' if hung_up else ''}; {shown(out.path)} "
              "was not written (a wrong baud rate, or a device whose streams are off?)", file=sys.stderr)
        return 1
    print(f"{shown(out.path)}: {_status(recorder, elapsed, recorder.received / elapsed, recorder.packets / elapsed)}"
          f"{'; the line hung up' if hung_up else ''}{ending}{note}", file=sys.stderr)
    return 1 if hung_up else 0


def _show(text: str) -> bool:
    """Writes the live status; False once standard error has gone (a closed terminal)."""
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, ValueError):
        return False
    return True


def main(argv: list[str] | None = None) -> int:
    ap = command_parser(
        "tiltwick-record",
        ["tiltwick-record /dev/ttyACM0 run.bin", "tiltwick-record /dev/ahrs 115200 run.bin -s 60",
         "tiltwick-record /dev/ttyACM0 - | tiltwick-dump -"],
        "The line is set up as tiltwick sets it up; nothing is sent to the device. The capture starts at "
        "the first whole packet, so that tiltwick-dump reads it from its start; an existing file is "
        "replaced only once that packet arrives. Bytes reach the disk at least once a second. A one-line "
        "status on standard error shows bytes, packets, checksum failures and rates. Ctrl-C, SIGTERM "
        "and SIGHUP stop the recording with every byte read until then in the file.")
    line_arguments(ap)
    output_argument(ap, "OUT.bin", "capture file to write (replaced once the first packet arrives)")
    seconds_option(ap)
    a = ap.parse_args(argv)
    if a.out.isdigit():  # `tiltwick-record DEVICE 115200` would record into a file named 115200
        ap.error(f"OUT.bin {a.out!r} looks like a baud rate: name the capture file after it "
                 f"(a file named so: ./{a.out})")
    return run("tiltwick-record", lambda: record(os.fsencode(a.device), a.baud_rate, os.fsencode(a.out), a.seconds))


if __name__ == "__main__":
    sys.exit(main())
