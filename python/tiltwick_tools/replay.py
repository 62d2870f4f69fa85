"""Replaying recorded captures: a quiet packet iterator, and the tiltwick-dump and tiltwick-csv
commands.

Replaying through ``AHRSClient.open_file`` prints a "Parsed packet:" line per packet on file
descriptor 1 and an "IOERR:" line at the end on descriptor 2, written by the module straight to
the descriptors, where ``contextlib.redirect_stdout`` cannot reach them. ``quiet()`` parks the
descriptors themselves, and ``packets()`` reads with them parked.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

import tiltwick

if TYPE_CHECKING:
    from tiltwick import Packet

from .units import label

__all__ = ["END_OF_DATA", "ReplayError", "quiet", "packets", "dump_main", "csv_main"]

# What a read error says when the capture has no more bytes: it ended at a packet boundary, or
# inside a last packet that the recording cut short.
END_OF_DATA = "failed to fill whole buffer"


class ReplayError(Exception):
    """A capture could not be read to its end."""


@contextlib.contextmanager
def _redirected(targets: dict[int, int]) -> Iterator[None]:
    """Points each file descriptor of ``targets`` at the open descriptor it maps to meanwhile, so
    that what the module writes to it directly goes there too; puts them back afterwards."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = {fd: os.dup(fd) for fd in targets}
    try:
        for fd, into in targets.items():
            os.dup2(into, fd)
        yield
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        for fd, copy in saved.items():
            os.dup2(copy, fd)
            os.close(copy)


@contextlib.contextmanager
def quiet(*fds: int) -> Iterator[None]:
    """Sends what is written to the file descriptors ``fds`` (default 1, standard output) to
    /dev/null meanwhile, including what the module writes to them directly."""
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        with _redirected({fd: null for fd in fds or (1,)}):
            yield
    finally:
        os.close(null)


def packets(capture: str | os.PathLike[str]) -> Iterator[Packet]:
    """Every packet of a capture, in order, as ``AHRSClient.read()`` gives it: ``{}`` for a
    packet without readings and for bytes that do not frame as a packet.

    Ends where the data ends; raises ReplayError when the capture cannot be read to its end.
    The module's per-packet lines are parked while each packet is read, so what the loop body
    prints shows as usual.

    ``read()`` names the readings but turns every read error into ``{}``; ``read_packet()``
    raises at the end of the data but does not name its readings. A second client reads the
    same file in step with the first, one ``read_packet()`` per ``read()``, to tell where the
    data ends.
    """
    path = os.fspath(capture)
    named, probe = tiltwick.AHRSClient(), tiltwick.AHRSClient()
    named.open_file(path)
    probe.open_file(path)
    while True:
        with quiet(1, 2):
            packet = named.read()
            try:
                probe.read_packet()
            except ValueError as error:
                failure: ValueError | None = error
            else:
                failure = None
        if failure is not None:
            if END_OF_DATA in str(failure):
                return
            raise ReplayError(f"{path}: {failure}")
        yield packet


def rows(capture: str | os.PathLike[str]) -> Iterator[dict[str, Any]]:
    """One flat row per packet with readings: "index", "type", then one entry per reading
    field, labelled with its unit (see ``units.label``)."""
    index = 0
    for packet in packets(capture):
        if not packet:
            continue
        row: dict[str, Any] = {"index": index, "type": packet.get("type")}
        for name, reading in packet.items():
            if isinstance(reading, dict):
                row.update((label(name, field), value) for field, value in reading.items())
        index += 1
        yield row


def write_csv(capture: str | os.PathLike[str], out_path: str | os.PathLike[str]) -> int:
    """Writes the rows of a capture to a CSV file; returns how many. Two passes: the first
    finds the columns, the second writes."""
    columns: dict[str, None] = {}
    for row in rows(capture):
        columns.update(dict.fromkeys(row))
    count = 0
    with open(out_path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(columns))
        writer.writeheader()
        for row in rows(capture):
            writer.writerow(row)
            count += 1
    return count


def replay_command(argv: list[str] | None, prog: str, description: str, out: str, out_help: str,
                   job: Callable[[str, str], int], summary: str) -> int:
    """A command that replays a capture into an output file: ``job(capture, out)`` returns how
    many things it wrote, which ``summary`` (a format with {count} and {out}) reports."""
    ap = argparse.ArgumentParser(prog=prog, description=description + " No options.")
    ap.add_argument("capture", help="capture file (the raw bytes the device sent)")
    ap.add_argument("out", metavar=out, help=out_help)
    a = ap.parse_args(argv)
    try:
        count = job(a.capture, a.out)
    except (OSError, ValueError, ReplayError) as error:
        print(f"{prog}: {error}", file=sys.stderr)
        return 1
    print(summary.format(count=count, out=a.out), file=sys.stderr)
    return 0 if count else 1


def csv_main(argv: list[str] | None = None) -> int:
    return replay_command(
        argv, "tiltwick-csv",
        "Replay a capture and write one CSV row per packet with readings (command replies and "
        "damaged packets have none): its index, its type (sensor or estimate), then one column per "
        "reading field, named like 'OrientationEuler.roll [rad]' with the unit the device sends it "
        "in. Values are exactly as sent; nothing is converted.",
        "OUT.csv", "CSV file to write (replaced if it exists)", write_csv, "{count} packets written to {out}")


def dump_main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        prog="tiltwick-dump",
        description="Print a capture as text with tiltwick.parse_data_stream_py: one line per packet, "
                    "then its closing line, 'End of file: failed to fill whole buffer' when the whole "
                    "capture was read, or 'Error parsing packet from file: ...' at the first byte that "
                    "is not part of a packet, where the dump stops. Exits 0 only in the first case.")
    ap.add_argument("capture", help="capture file (the raw bytes the device sent)")
    ap.add_argument("--first", type=int, default=None, metavar="N",
                    help="print only the first N packet lines, then how many there were in all "
                         "(default: print them all)")
    a = ap.parse_args(argv)
    with tempfile.TemporaryFile() as lines, tempfile.TemporaryFile() as closing:
        targets = {2: closing.fileno(), **({1: lines.fileno()} if a.first is not None else {})}
        try:
            with _redirected(targets):
                tiltwick.parse_data_stream_py(os.fspath(a.capture))
        except OSError as error:
            failure: OSError | None = error
        else:
            failure = None
        if failure is not None:
            print(f"tiltwick-dump: {failure}", file=sys.stderr)
            return 1
        if a.first is not None:
            lines.seek(0)
            total = 0
            for line in lines:
                if total < a.first:
                    sys.stdout.buffer.write(line)
                total += 1
            if total > a.first:
                sys.stdout.write(f"... {total - a.first} more lines\n")
            sys.stdout.write(f"{total} packet lines\n")
            sys.stdout.flush()
        closing.seek(0)
        text = closing.read().decode(errors="replace")
    sys.stderr.write(text)
    return 0 if text.startswith("End of file: " + END_OF_DATA) else 1
