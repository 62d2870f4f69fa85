"""Replay a recorded capture and write one CSV row per packet.

    python examples/replay_to_csv.py capture.bin packets.csv

Columns: the packet's index in the replay, its type ("sensor" or "estimate"), then one column
per reading field, named Alternative.field (for example OrientationEuler.roll). Packets
without readings (command replies, damaged packets) are skipped.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import os
import sys
from collections.abc import Iterator

import tiltwick

# A replay returns empty results after the end of the capture; this many in a row mean the
# capture is done (a damaged stretch inside a capture costs one empty result per 3 bytes).
END_OF_CAPTURE_EMPTY_READS = 256


@contextlib.contextmanager
def quiet_stdout() -> Iterator[None]:
    """Replaying prints a "Parsed packet:" line per packet straight to fd 1; park it."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def packet_rows(capture: str) -> Iterator[dict[str, object]]:
    """One flat row per packet with readings, in capture order."""
    client = tiltwick.AHRSClient()
    client.open_file(capture)
    index = 0
    empty_in_a_row = 0
    while empty_in_a_row < END_OF_CAPTURE_EMPTY_READS:
        packet = client.read()
        if not packet:
            empty_in_a_row += 1
            continue
        empty_in_a_row = 0
        row: dict[str, object] = {"index": index, "type": packet.get("type", "")}
        for name, reading in packet.items():
            if isinstance(reading, dict):
                for field, value in reading.items():
                    row[f"{name}.{field}"] = value
        index += 1
        yield row


def write_csv(capture: str, out_path: str) -> int:
    with quiet_stdout():
        rows = list(packet_rows(capture))
    columns: dict[str, None] = {}
    for row in rows:
        columns.update(dict.fromkeys(row))
    with open(out_path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(columns))
        writer.writeheader()
        writer.writerows(rows)
    return len(rows)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("capture")
    parser.add_argument("csv")
    args = parser.parse_args(argv)
    count = write_csv(args.capture, args.csv)
    print(f"{count} packets written to {args.csv}", file=sys.stderr)
    return 0 if count else 1


if __name__ == "__main__":
    sys.exit(main())
