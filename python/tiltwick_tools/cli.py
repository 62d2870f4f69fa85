"""What every tiltwick-* command shares: options checked as they are parsed, and an ending that
is one line on standard error, never a traceback."""

from __future__ import annotations

import argparse
import errno
import math
import os
import sys
from collections.abc import Callable

from .files import CommandError, Stopped, UsageError, shown

__all__ = ["finite", "positive", "non_negative", "whole", "count", "output_path", "standard_descriptors", "run"]

# The exit status of a command whose standard output was closed under it, as a shell reports a
# process ended by SIGPIPE.
EXIT_BROKEN_PIPE = 128 + 13
EXIT_INTERRUPTED = 128 + 2
EXIT_USAGE = 2


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
