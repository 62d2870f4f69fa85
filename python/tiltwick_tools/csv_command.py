"""The tiltwick-csv command: writes the readings of a capture as CSV, one row per packet with
readings."""

from __future__ import annotations

import contextlib
import csv
import itertools
import os
import sys
from collections.abc import Iterator
from typing import Any

from . import csv_rows
from .files import atomic_output, capture_source, refuse_same_file, shown, spooled_prefix
from .replay import ReplayError, packets_at, replay_command, replayable

__all__ = ["rows", "write_csv", "main"]


def rows(capture: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Iterator[dict[str, Any]]:
    """One flat row per packet with readings: "index", "type", then one entry per reading
    field, labelled with its unit (see ``units.label``), as the shortest text that reads back
    to the device's value at the field's own precision (see ``csv_rows``)."""
    with replayable(capture) as (path, name):
        yield from _rows(path, name)


def _rows(path: str, name: str) -> Iterator[dict[str, Any]]:
    return csv_rows.rows(packets_at(path, name))


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
    return csv_rows.columns(packets_at(source, name))


def main(argv: list[str] | None = None) -> int:
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


if __name__ == "__main__":
    raise SystemExit(main())
