"""Replaying recorded captures: a quiet packet iterator, and what the commands that convert a
capture into a file share.

Replaying through ``AHRSClient.open_file`` prints a "Parsed packet:" line per packet on file
descriptor 1 and an "IOERR:" line at the end on descriptor 2, written by the module straight to
the descriptors; ``packets()`` reads with them parked (see ``redirect``).
"""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

import tiltwick

if TYPE_CHECKING:
    from tiltwick import Packet

from .cli import capture_argument, command_parser, output_argument, run
from .files import CommandError, capture_source, shown
from .redirect import quiet

__all__ = ["END_OF_DATA", "ReplayError", "quiet", "packets", "packets_at", "replayable", "replay_command"]

# What a read error says when the capture has no more bytes: it ended at a packet boundary, or
# inside a last packet that the recording cut short.
END_OF_DATA = "failed to fill whole buffer"
# Packets that packets() reads ahead at a time.
_BATCH = 256


class ReplayError(Exception):
    """A capture could not be read to its end."""


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
        yield from packets_at(path, name)


@contextlib.contextmanager
def replayable(capture: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Iterator[tuple[str, str]]:
    """(a path the module can open, the capture's printable name) while the block runs; a
    capture that cannot be replayed raises ReplayError (see ``files.capture_source``)."""
    try:
        with capture_source(capture) as path:
            yield path, shown(capture)
    except CommandError as error:
        raise ReplayError(str(error)) from None


def packets_at(path: str, name: str) -> Iterator[Packet]:
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
