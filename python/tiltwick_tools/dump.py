"""The tiltwick-dump command: prints a capture as text, one line per packet, as the module's
``parse_data_stream_py`` writes it."""

from __future__ import annotations

import sys

import tiltwick

from .cli import capture_argument, command_parser, count, run
from .files import CommandError, capture_source, scratch_file, shown
from .redirect import Moves, redirected
from .replay import END_OF_DATA

__all__ = ["main"]


def main(argv: list[str] | None = None) -> int:
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
            with redirected(moves):
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


if __name__ == "__main__":
    raise SystemExit(main())
