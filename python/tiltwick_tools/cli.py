"""What every tiltwick-* command shares: the table of commands, one way to build their parsers
(a one-line description, examples and the exit-status table in the epilog, --version), the
arguments they have in common (DEVICE [BAUD], -s/--seconds, a capture, an output), options checked
as they are parsed, and an ending that is one line on standard error, never a traceback."""

from __future__ import annotations

import argparse
import errno
import math
import os
import sys
import textwrap
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from importlib import metadata

from .files import CommandError, Stopped, UsageError, shown
from .line import MAX_BAUD

__all__ = ["COMMANDS", "Command", "DEFAULT_BAUD", "EXIT_STATUS", "version", "command_parser", "line_arguments",
           "seconds_option", "capture_argument", "output_argument", "finite", "positive", "non_negative",
           "whole", "count", "output_path", "capture_path", "standard_descriptors", "run"]

# The exit status of a command whose standard output was closed under it, as a shell reports a
# process ended by SIGPIPE.
EXIT_BROKEN_PIPE = 128 + 13
EXIT_INTERRUPTED = 128 + 2
EXIT_USAGE = 2

DEFAULT_BAUD = 921600


@dataclass(frozen=True)
class Command:
    module: str     # in this package
    function: str   # called with the arguments after the command's name; returns the exit status
    summary: str    # the one line its --help starts with


# Every command, once: the console scripts, `python -m tiltwick_tools NAME` and the summaries in
# each --help come from here.
COMMANDS: dict[str, Command] = {
    "tiltwick-sim": Command("simulator", "main", "Simulate a device on a pseudo-terminal, or write a capture."),
    "tiltwick-record": Command("record", "main", "Record the raw bytes a device sends into a capture file."),
    "tiltwick-dump": Command("dump", "main", "Print a capture as text, one line per packet."),
    "tiltwick-csv": Command("csv_command", "main", "Write the readings of a capture as CSV, one row per packet."),
    "tiltwick-plot": Command("plot", "main", "Plot a capture's roll, pitch and yaw against time (PNG)."),
    "tiltwick-streams": Command("streams", "main", "Switch the device's sensor and filter streams on or off."),
    "tiltwick-doctor": Command("doctor", "main", "List the serial ports, or examine the line a device is on."),
    "tiltwick-monitor": Command("monitor", "main", "Watch a device live: rates, errors, attitude, filter state."),
}

EXIT_STATUS = """exit status:
  0    done, or a healthy verdict
  1    failed, or a negative verdict
  2    usage error
  130  interrupted (Ctrl-C)
  141  standard output closed (a reader such as `head` stopped reading)"""


def version() -> str:
    """The installed package's version ("unknown" when run from a source tree)."""
    try:
        return metadata.version("tiltwick")
    except (metadata.PackageNotFoundError, OSError):  # OSError: its metadata unreadable to this user
        return "unknown"


class _Version(argparse.Action):
    """--version, with the version looked up only when asked for: a command that dropped its
    rights, or runs where the metadata cannot be read, still parses its arguments."""

    def __init__(self, option_strings: Sequence[str], dest: str, **_: object) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, nargs=0,
                         help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        print(f"{parser.prog} {version()}")
        parser.exit()


def command_parser(prog: str, examples: Sequence[str], details: str = "") -> argparse.ArgumentParser:
    """The parser of command ``prog``: its summary from COMMANDS, then in the epilog the details
    (paragraphs separated by blank lines), the example command lines and the exit statuses."""
    paragraphs = [textwrap.fill(p, 79) for p in details.split("\n\n") if p]
    epilog = "\n\n".join([*paragraphs, "examples:\n" + "\n".join(f"  {e}" for e in examples), EXIT_STATUS])
    ap = argparse.ArgumentParser(prog=prog, description=COMMANDS[prog].summary, epilog=epilog,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-V", "--version", action=_Version)
    return ap


def line_arguments(ap: argparse.ArgumentParser, required: bool = True) -> None:
    """DEVICE [BAUD]: the serial line a command opens, and its rate (default: DEFAULT_BAUD)."""
    ap.add_argument("device", metavar="DEVICE", nargs=None if required else "?",
                    help="serial device, for example /dev/ttyACM0 or /dev/ahrs")
    ap.add_argument("baud_rate", metavar="BAUD", nargs="?", type=whole(1, MAX_BAUD), default=DEFAULT_BAUD,
                    help="the rate the device is set to (default: %(default)s)")


def seconds_option(ap: argparse.ArgumentParser, help: str = "stop after S seconds (default: 0, until stopped)",
                   check: Callable[[str], float] | None = None, default: float | None = 0.0) -> None:
    """-s/--seconds: how long to run, 0 meaning until stopped."""
    ap.add_argument("-s", "--seconds", metavar="S", type=check or non_negative, default=default, help=help)


def capture_argument(ap: argparse.ArgumentParser) -> None:
    ap.add_argument("capture", metavar="CAPTURE", type=capture_path,
                    help="capture file (the raw bytes a device sent), or - for standard input (read whole first)")


def output_argument(ap: argparse.ArgumentParser, metavar: str, help: str) -> None:
    ap.add_argument("out", metavar=metavar, type=output_path, help=f"{help}, or - for standard output")


def finite(text: str) -> float:
    """A finite number (argparse type)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text!r}")
    return value


def positive(text: str) -> float:
    """A finite number above 0 (argparse type)."""
    value = finite(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be above 0, not {text!r}")
    return value


def non_negative(text: str) -> float:
    """A finite number, 0 or above (argparse type)."""
    value = finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or above, not {text!r}")
    return value


def whole(low: int, high: int | None = None) -> Callable[[str], int]:
    """An argparse type: a whole number from ``low`` up to ``high`` (no limit: None)."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < low or (high is not None and value > high):
            bounds = f"{low} or above" if high is None else f"from {low} to {high}"
            raise argparse.ArgumentTypeError(f"must be {bounds}, not {text!r}")
        return value
    return parse


count = whole(0)  # a whole number, 0 or above


def output_path(text: str) -> str:
    """A path to write to, or - for standard output (argparse type)."""
    if not text:
        raise argparse.ArgumentTypeError("is empty: name a file, or - for standard output")
    return text


def capture_path(text: str) -> str:
    """A capture to read, - meaning standard input (argparse type)."""
    if not text:
        raise argparse.ArgumentTypeError("is empty: name a capture file, or - for standard input")
    return "/dev/stdin" if text == "-" else text


def run(prog: str, body: Callable[[], int]) -> int:
    """Runs a command's body and turns the ways it can fail into one line and an exit status:
    a CommandError or an OSError is reported with its path, Ctrl-C ends it with status 130, and
    a reader that closed standard output (``| head``) ends it quietly. A command started with
    descriptor 0, 1 or 2 closed finds /dev/null there."""
    standard_descriptors()
    try:
        return body()
    except UsageError as error:
        _say(f"{prog}: error: {error}")
        return EXIT_USAGE
    except CommandError as error:
        _say(f"{prog}: {error}")
    except BrokenPipeError:
        _park_stdout()
        return EXIT_BROKEN_PIPE
    except Stopped as stop:  # what it wrote is removed: end as the signal would have
        stop.end_by()
    except KeyboardInterrupt:
        _say(f"{prog}: interrupted")
        return EXIT_INTERRUPTED
    except OSError as error:
        where = f"{shown(error.filename)}: " if error.filename is not None else ""
        hint = _NEXT_STEP.get(error.errno or 0, "")
        _say(f"{prog}: {where}{error.strerror or error}{hint}")
    return 1


_NEXT_STEP = {
    errno.ENOSPC: "; free some space on that disk and run it again (nothing was replaced)",
    errno.EDQUOT: "; free some space within your quota and run it again (nothing was replaced)",
    errno.EFBIG: "; the file would exceed the size this process may write (ulimit -f)",
    errno.EACCES: "; check the permissions of the file and its folder",
    errno.EROFS: "; the file system is read-only: write somewhere else",
    errno.ENOENT: "; check the path (does the folder exist?)",
    errno.EISDIR: "; that is a folder: give a file name",
}


def standard_descriptors() -> None:
    """Puts /dev/null on each of descriptors 0, 1 and 2 that is closed, before anything else is
    opened: otherwise the next file opened (an output, say) would take that number, and what
    is printed or parked there would land in it. Python has no sys.stdout (or stdin, stderr)
    for a descriptor closed at start-up: one is made for it."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)  # the lowest free number: fd itself
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    if sys.stdin is None:
        sys.stdin = open(0, closefd=False)
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False, errors="backslashreplace")


def _say(line: str) -> None:
    try:
        sys.stdout.flush()
    except (BrokenPipeError, ValueError):
        _park_stdout()
    try:
        os.write(2, (line + "\n").encode(errors="backslashreplace"))
    except OSError:
        pass


def _park_stdout() -> None:
    """Standard output is gone: point it at /dev/null, so that the interpreter's final flush at
    exit does not fail over the same closed pipe."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass
