"""How the commands read captures and write their results without ever losing a user's data.

Outputs are written whole or not at all: into a temporary file beside the target, renamed over
it only once complete, so that a failure (a full disk, Ctrl-C, a bad capture) leaves any earlier
file as it was and no partial file behind. An output that is the same file as an input (same
device and inode: a hard link or a symbolic link counts) is refused before anything is written.

Inputs are read whole or refused: a capture is replayed from a regular file; a pipe or a FIFO
is first copied to a temporary file, so that every reader sees the whole stream; a terminal, a
directory or another device is refused at once.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import tempfile
from collections.abc import Iterator
from typing import IO

from .signals import deferred_signals

__all__ = ["CommandError", "shown", "refuse_same_file", "atomic_output", "capture_source"]

_COPY_CHUNK = 1 << 16


class CommandError(Exception):
    """A failure a command reports as one line: what went wrong, with which path, and what to do."""


def shown(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str:
    """A path as it can be printed whatever its bytes: a name that is not valid UTF-8 keeps its
    other characters and shows each undecodable byte as an escape."""
    raw = os.fsencode(path)
    return raw.decode("utf-8", "backslashreplace")


def _identity(path: str | os.PathLike[str]) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def refuse_same_file(output: str | os.PathLike[str], *inputs: str | os.PathLike[str]) -> None:
    """Raises CommandError when ``output`` names the same file as one of ``inputs``."""
    target = _identity(output)
    if target is None:
        return
    for source in inputs:
        if _identity(source) == target:
            raise CommandError(f"{shown(output)} is the input {shown(source)} itself (the same file): "
                               "writing it would destroy what is read; choose another output name")


@contextlib.contextmanager
def atomic_output(path: str | os.PathLike[str], mode: str = "wb", **open_options: object) -> Iterator[IO]:  # type: ignore[type-arg]
    """A file object for writing ``path``: a temporary file in the same directory, synced and
    renamed over ``path`` when the block ends normally, removed when it does not. An OSError
    (a full disk, a folder that does not exist) names ``path``."""
    target = os.fspath(path)
    folder = os.path.dirname(target) or "."
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(target)}.", suffix=".part")
    except OSError as error:
        error.filename = target
        raise
    try:
        # mkstemp makes the file private; give it what a plainly created file would get.
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        with os.fdopen(fd, mode, **open_options) as out:  # type: ignore[call-overload]
            yield out
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, target)
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(error, OSError) and error.filename is None:
            error.filename = target  # a failed write names no file of its own
        raise
    _sync_folder(folder)


def _sync_folder(folder: str) -> None:
    """Makes a rename or a new name in ``folder`` survive a power cut (best effort)."""
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def _not_a_capture(name: str, mode: int) -> str:
    if stat.S_ISDIR(mode):
        return f"{name} is a directory, not a capture file; name a capture file in it"
    what = "a terminal or other character device" if stat.S_ISCHR(mode) else "not a regular file"
    return (f"{name} is {what}, not a capture file; record the device into a file first "
            "(tiltwick-record DEVICE BAUD OUT.bin)")


@contextlib.contextmanager
def capture_source(capture: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Iterator[str]:
    """A path through which the module can open the capture, for as long as the block runs.

    A regular file is opened once here and reached through its descriptor, so the name may be
    any bytes and the file cannot be swapped underneath. A pipe or FIFO (a capture on standard
    input, say) is read to its end into an anonymous temporary file first. Anything else is
    refused with a CommandError.
    """
    opened: list[int] = []
    try:
        try:
            with deferred_signals():  # no Ctrl-C between taking the descriptor and noting it
                opened.append(os.open(capture, os.O_RDONLY | os.O_CLOEXEC))
        except OSError as error:
            hint = "; check the path" if error.errno == errno.ENOENT else ""
            raise CommandError(f"cannot read {shown(capture)}: {error.strerror}{hint}") from None
        fd = opened[0]
        mode = os.fstat(fd).st_mode
        if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
            spool = tempfile.TemporaryFile()
            with contextlib.closing(spool):
                _copy(fd, spool.fileno(), capture)
                yield f"/proc/self/fd/{spool.fileno()}"
            return
        if not stat.S_ISREG(mode):
            raise CommandError(_not_a_capture(shown(capture), mode))
        yield f"/proc/self/fd/{fd}"
    finally:
        for fd in opened:
            os.close(fd)


def _copy(source: int, into: int, name: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None:
    while True:
        try:
            data = os.read(source, _COPY_CHUNK)
        except OSError as error:
            raise CommandError(f"cannot read {shown(name)}: {error.strerror}") from None
        if not data:
            return
        view = memoryview(data)
        while view:
            try:
                view = view[os.write(into, view):]
            except OSError as error:
                raise CommandError(f"cannot keep a copy of {shown(name)} in the temporary folder "
                                   f"({tempfile.gettempdir()}): {error.strerror}; free some space there "
                                   "or save the capture to a file first") from None
