"""Replaying recorded captures: a quiet packet iterator, and the tiltwick-dump and tiltwick-csv
commands.

Replaying through ``AHRSClient.open_file`` prints a "Parsed packet:" line per packet on file
descriptor 1 and an "IOERR:" line at the end on descriptor 2, written by the module straight to
the descriptors, where ``contextlib.redirect_stdout`` cannot reach them. ``quiet()`` parks the
descriptors themselves, and ``packets()`` reads with them parked.
"""

from __future__ import annotations

import contextlib
import csv
import fcntl
import itertools
import os
import sys
import threading
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

import tiltwick

if TYPE_CHECKING:
    from tiltwick import Packet

from . import csv_rows
from .cli import capture_argument, command_parser, count, output_argument, run
from .files import (CommandError, above_standard, atomic_output, capture_source, refuse_same_file, scratch_file, shown,
                    spooled_prefix)
from .signals import ATTEMPTS, deferred_signals, raise_first

__all__ = ["END_OF_DATA", "ReplayError", "quiet", "packets", "dump_main", "csv_main"]

# What a read error says when the capture has no more bytes: it ended at a packet boundary, or
# inside a last packet that the recording cut short.
END_OF_DATA = "failed to fill whole buffer"
# Packets that packets() reads ahead at a time.
_BATCH = 256


class ReplayError(Exception):
    """A capture could not be read to its end."""


# Descriptors pointed elsewhere, shared by every redirect in the process: fd -> [users, where it
# points meanwhile (None: /dev/null), a copy of what it pointed at before (None: it was
# closed)]. Changed only under _PARKING.
_PARKING = threading.Lock()
_parked: dict[int, list[Any]] = {}
_null: list[int] = []

Moves = tuple[tuple[int, "int | None"], ...]  # (descriptor, where it goes: an open descriptor, or None for /dev/null)


def _park(moves: Moves) -> None:
    """All of ``moves`` or none: a descriptor that cannot be moved puts back those before it."""
    for done, (fd, into) in enumerate(moves):
        try:
            _park_one(fd, into)
        except BaseException:
            _unpark(moves[:done])
            raise


def _park_one(fd: int, into: int | None) -> None:
    if fd in _parked:
        if _parked[fd][1] != into:
            raise RuntimeError(f"file descriptor {fd} is already redirected elsewhere")
        _parked[fd][0] += 1
        return
    if into is None and not _null:
        _null.append(above_standard(os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)))
    try:
        copy: int | None = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3)
    except OSError:  # closed: it is closed again afterwards
        copy = None
    try:
        os.dup2(_null[0] if into is None else into, fd)
    except OSError:
        if copy is not None:
            os.close(copy)
        _close_unused_null()
        raise
    _parked[fd] = [1, into, copy]


def _unpark(moves: Moves) -> None:
    """Ends one use of each of ``moves``, all of them even when one cannot be put back (that
    error is raised at the end): the use counts never lag behind the uses."""
    failures: list[OSError] = []
    for fd, _ in moves:
        entry = _parked[fd]
        entry[0] -= 1
        if entry[0]:
            continue
        del _parked[fd]
        try:
            if not _still_parked(fd, entry[1]):
                pass  # closed or pointed elsewhere meanwhile: it is its new owner's now
            elif entry[2] is None:
                os.close(fd)
            else:
                os.dup2(entry[2], fd)
        except OSError as error:
            failures.append(error)
        finally:
            if entry[2] is not None:
                os.close(entry[2])
    _close_unused_null()
    if failures:
        raise failures[0]


def _still_parked(fd: int, into: int | None) -> bool:
    """Whether ``fd`` still points where parking it pointed it."""
    try:
        now, parked = os.fstat(fd), os.fstat(_null[0] if into is None else into)
    except OSError:
        return False
    return (now.st_dev, now.st_ino) == (parked.st_dev, parked.st_ino)


def _close_unused_null() -> None:
    if _null and not any(into is None for _, into, _ in _parked.values()):
        os.close(_null.pop())


# What _held notes in its ``progress`` list.
_BEGUN, _DONE = "begun", "done"


def _held(change: Callable[[Moves], None], moves: Moves, progress: list[str]) -> None:
    """Runs change(moves) under the parking lock where no signal handler can stop it half-way
    (in the main thread; other threads run none). ``progress`` says how far it got, whatever
    this raises: nothing in it means a signal handler raised before the change began, and only
    then may the caller try again; "begun" without "done" means the change itself failed."""
    with deferred_signals(), _PARKING:
        progress.append(_BEGUN)
        change(moves)
        progress.append(_DONE)
        _end_dropped()


# The moves of redirects dropped without ending (see _redirected.__del__), ended under the lock.
_dropped: list[Moves] = []


def _end_dropped() -> None:
    while _dropped:
        _unpark(_dropped.pop())


class _redirected:
    """Points each descriptor where ``moves`` says meanwhile, so that what the module writes to
    it directly goes there too; puts them back after every way out of the block.

    A class rather than a generator: a Ctrl-C raised after the move but before the block began
    would leave a generator's redirect in place until the exception is collected, and whatever
    the caller closes meanwhile (a descriptor that was parked) would come back then."""

    def __init__(self, moves: Moves) -> None:
        self._moves = moves
        self._parked: list[str] = []
        self._unparked: list[str] = []

    def __enter__(self) -> None:
        _flush_standard_streams()
        try:
            _held(_park, self._moves, self._parked)
        except BaseException:  # a signal's exception after the move: the block never begins
            self.__exit__()
            raise

    def __exit__(self, *_: object) -> None:
        # A Ctrl-C that arrives now is raised once the descriptors are back. Handlers run only
        # at calls and loops, so every call is inside the try. Only an exception raised before
        # the move back began (a signal handler's) is tried again, a bounded number of times; an
        # error of the move itself is raised as it is.
        interruptions: list[BaseException] = []
        while _DONE in self._parked and not self._unparked:
            try:
                if len(interruptions) >= ATTEMPTS:
                    break
                _flush_standard_streams()
                _held(_unpark, self._moves, self._unparked)
            except BaseException as error:
                interruptions.append(error)
        raise_first(interruptions)

    def __del__(self) -> None:
        # A signal's exception raised as __exit__ is called, before its first step, skips it:
        # the descriptors are put back once the redirect is dropped (with that exception). This
        # may run in any thread, even one holding the lock: it never waits for it.
        if _DONE in getattr(self, "_parked", ()) and not self._unparked:
            self._unparked.append(_BEGUN)
            _dropped.append(self._moves)
            if _PARKING.acquire(blocking=False):
                try:
                    with deferred_signals():
                        _end_dropped()
                finally:
                    _PARKING.release()


def _flush_standard_streams() -> None:
    """What Python buffered for descriptors 1 and 2 goes out before they move (an error in
    doing so is not the redirect's to report; either stream may be None, where its descriptor
    was closed at start-up)."""
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            if stream is not None:
                stream.flush()


def quiet(*fds: int) -> contextlib.AbstractContextManager[None]:
    """Sends what is written to the file descriptors ``fds`` (default 1, standard output) to
    /dev/null meanwhile, including what the module writes to them directly.

    The redirect is process-wide: while it lasts, every thread's output to those descriptors
    goes to /dev/null, not only this one's. Uses from several threads, and nested ones, share
    one redirect, which ends when the last of them ends. The descriptors are back where they
    were after every way out of the block, Ctrl-C included.
    """
    return _redirected(tuple((fd, None) for fd in dict.fromkeys(fds or (1,))))


def packets(capture: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Iterator[Packet]:
    """Every packet of a capture, in order, as ``AHRSClient.read()`` gives it: ``{}`` for a
    packet without readings and for bytes that do not frame as a packet.

    Ends where the data ends; raises ReplayError when the capture cannot be read to its end.
    A pipe or FIFO (a capture on standard input) is read whole into a temporary file first; a
    terminal, a directory or another device is refused with ReplayError. The module's
    per-packet lines are parked while each packet is read, so what the loop body prints shows
    as usual. Everything the iterator opened is closed when the loop ends, is broken off, or
    the iterator is closed.

    ``read()`` names the readings but turns every read error into ``{}``; ``read_packet()``
    raises at the end of the data but does not name its readings. A second client reads the
    same file in step with the first, one ``read_packet()`` per ``read()``, to tell where the
    data ends.
    """
    with replayable(capture) as (path, name):
        yield from _packets(path, name)


@contextlib.contextmanager
def replayable(capture: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Iterator[tuple[str, str]]:
    """(a path the module can open, the capture's printable name) while the block runs; a
    capture that cannot be replayed raises ReplayError (see ``files.capture_source``)."""
    try:
        with capture_source(capture) as path:
            yield path, shown(capture)
    except CommandError as error:
        raise ReplayError(str(error)) from None


def _packets(path: str, name: str) -> Iterator[Packet]:
    """packets() of a path the module can open; ``name`` is the capture's name in errors."""
    named: tiltwick.AHRSClient | None = None
    probe: tiltwick.AHRSClient | None = None
    try:
        named, probe = tiltwick.AHRSClient(), tiltwick.AHRSClient()
        named.open_file(path)
        probe.open_file(path)
        failure: ValueError | None = None
        while failure is None:
            # Read ahead a batch with the descriptors parked once, not once per packet.
            batch = []
            with quiet(1, 2):
                for _ in range(_BATCH):
                    packet = named.read()
                    try:
                        probe.read_packet()
                    except ValueError as error:
                        failure = error
                        break
                    batch.append(packet)
            yield from batch
        if END_OF_DATA not in str(failure):
            raise ReplayError(f"{name}: {failure}")
    finally:
        named = probe = None  # closes their files now, not when the collector runs


def rows(capture: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Iterator[dict[str, Any]]:
    """One flat row per packet with readings: "index", "type", then one entry per reading
    field, labelled with its unit (see ``units.label``), as the shortest text that reads back
    to the device's value at the field's own precision (see ``csv_rows``)."""
    with replayable(capture) as (path, name):
        yield from _rows(path, name)


def _rows(path: str, name: str) -> Iterator[dict[str, Any]]:
    return csv_rows.rows(_packets(path, name))


def write_csv(capture: str | bytes | os.PathLike[str] | os.PathLike[bytes],
              out_path: str | os.PathLike[str]) -> int:
    """Writes the rows of a capture to a CSV file (``-``: standard output); returns how many.
    Two passes: the first finds the columns, the second writes. The file appears only once it
    is complete. A capture that grows meanwhile (a recording in progress) is converted as it
    was when the conversion began, which a line on standard error says."""
    refuse_same_file(out_path, os.fsdecode(capture))
    name = shown(capture)
    with contextlib.ExitStack() as held:
        source = held.enter_context(capture_source(capture))
        size = os.stat(source).st_size
        columns, rows_in_all = _columns(source, name)
        grew = os.stat(source).st_size != size
        if grew:  # the first pass may have read past that size
            source = held.enter_context(spooled_prefix(source, size, name))
            columns, rows_in_all = _columns(source, name)
        if not rows_in_all:  # a header alone would pass for a result: write nothing, as plot does
            raise ReplayError(f"{name}: no packet with readings (only command replies or damaged packets?); "
                              f"{shown(out_path)} was not written")
        written = 0
        with atomic_output(out_path, "w", newline="") as out:
            writer = csv.DictWriter(out, fieldnames=list(columns))
            writer.writeheader()
            # The rows of the first pass, however much has been appended since.
            for row in itertools.islice(_rows(source, name), rows_in_all):
                writer.writerow(row)
                written += 1
        if grew or os.stat(source).st_size != size:
            print(f"{name} grew while it was converted (a recording in progress?): converted its first "
                  f"{size:,} bytes", file=sys.stderr)
    return written


def _columns(source: str, name: str) -> tuple[dict[str, None], int]:
    """(the columns of the capture's rows, in order of first appearance; how many rows)."""
    columns: dict[str, None] = {}
    rows_in_all = 0
    for row in _rows(source, name):
        columns.update(dict.fromkeys(row))
        rows_in_all += 1
    return columns, rows_in_all


def replay_command(argv: list[str] | None, prog: str, examples: list[str], details: str, out: str,
                   out_help: str, job: Callable[[str, str], int], summary: str) -> int:
    """A command that replays a capture into an output file: ``job(capture, out)`` returns how
    many things it wrote, which ``summary`` (a format with {count} and {out}) reports. The
    output is replaced only by a complete result, and never when it is the capture itself."""
    ap = command_parser(prog, examples, details)
    capture_argument(ap)
    output_argument(ap, out, out_help)
    a = ap.parse_args(argv)

    def body() -> int:
        try:
            count = job(a.capture, a.out)
        except (ValueError, ReplayError) as error:
            raise CommandError(str(error)) from None
        print(summary.format(count=count, out=shown(a.out)), file=sys.stderr)
        return 0
    return run(prog, body)


def csv_main(argv: list[str] | None = None) -> int:
    return replay_command(
        argv, "tiltwick-csv",
        ["tiltwick-csv run.bin run.csv", "tiltwick-record /dev/ttyACM0 - -s 10 | tiltwick-csv - - | head"],
        "One row per packet with readings (command replies and damaged packets have none): its index, "
        "its type (sensor or estimate), then one column per reading field, named like "
        "'OrientationEuler.roll [rad]' with the unit the device sends it in. Values are exactly as sent, "
        "as the shortest text that reads back to the same value at the field's own precision. The file "
        "appears only once it is complete; a capture without readings fails and writes none.",
        "OUT.csv", "CSV file to write (replaced once complete; never the capture itself)", write_csv,
        "{count} packets written to {out}")


def dump_main(argv: list[str] | None = None) -> int:
    ap = command_parser(
        "tiltwick-dump",
        ["tiltwick-dump run.bin", "tiltwick-dump -n 5 run.bin", "tiltwick-record /dev/ttyACM0 - -s 5 | tiltwick-dump -"],
        "The lines are those of tiltwick.parse_data_stream_py, on standard output. Its closing line goes "
        "to standard error: 'End of file: failed to fill whole buffer' when the whole capture was read "
        "(exit 0), or 'Error parsing packet from file: ...' at the first byte that is not part of a "
        "packet, where the dump stops (exit 1).")
    capture_argument(ap)
    ap.add_argument("-n", "--first", type=count, default=None, metavar="N",
                    help="print only the first N packet lines, then (on standard error) how many there "
                         "were in all")
    a = ap.parse_args(argv)
    return run("tiltwick-dump", lambda: _dump(a.capture, a.first))


def _dump(capture: str, first: int | None) -> int:
    with capture_source(capture) as source, scratch_file() as lines, scratch_file() as closing:
        moves: Moves = ((2, closing.fileno()),) + (((1, lines.fileno()),) if first is not None else ())
        try:
            with _redirected(moves):
                tiltwick.parse_data_stream_py(source)
        except OSError as error:
            raise CommandError(f"cannot read {shown(capture)}: {error}") from None
        total = 0
        if first is not None:
            lines.seek(0)
            for line in lines:
                if total < first:
                    sys.stdout.buffer.write(line)
                total += 1
            sys.stdout.flush()
        closing.seek(0)
        text = closing.read().decode(errors="replace")
    summary = ""
    if first is not None:  # not data: beside the closing line
        summary = f"... {total - first} more lines\n" if total > first else ""
        summary += f"{total} packet lines\n"
    sys.stderr.write(summary + text)
    return 0 if text.startswith("End of file: " + END_OF_DATA) else 1


if __name__ == "__main__":  # two commands live here: say which way to run them, do not guess
    print("tiltwick_tools.replay holds two commands: python -m tiltwick_tools dump ... or "
          "python -m tiltwick_tools csv ...", file=sys.stderr)
    sys.exit(2)
