"""How the commands read captures and write their results without ever losing a user's data.

Outputs are written as ``cp`` writes them, and whole or not at all. A regular file (or a new
one) is written into an unnamed temporary file in the target's folder and given the target's
name only once complete, so that a failure (a full disk, Ctrl-C, a bad capture, SIGKILL) leaves
any earlier file as it was and nothing behind. A symbolic link is followed to the file it names,
which is replaced (the link stays); a replaced file keeps its mode (and, for root, its owner). A
character device or a FIFO is written in place; ``-`` is standard output. Anything else is
refused. An output that is the same file as an input (same device and inode: a hard link or a
symbolic link counts) is refused before anything is written.

Inputs are read whole or refused: a capture is replayed from a regular file; a pipe or a FIFO
is first copied to a temporary file, so that every reader sees the whole stream; a terminal, a
directory or another device is refused at once.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import secrets
import signal
import stat
import sys
import tempfile
import threading
from collections.abc import Iterator
from types import FrameType
from typing import IO, Any

from .signals import deferred_signals

__all__ = ["above_standard", "scratch_file", "CommandError", "UsageError", "Stopped", "shown", "refuse_same_file", "Output", "atomic_output", "capture_source",
           "spooled_prefix", "STANDARD_OUTPUT"]

_COPY_CHUNK = 1 << 16
STANDARD_OUTPUT = "-"
# The signals that stop a command from outside; a named temporary file is removed on each.
_STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# errno values by which a file system says it has no unnamed temporary files
_NO_TMPFILE = (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL)


class CommandError(Exception):
    """A failure a command reports as one line: what went wrong, with which path, and what to do."""


class UsageError(CommandError):
    """A command line that cannot work as given (exit status 2)."""


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived while a named temporary file existed: once it is removed, the
    process ends as the signal would have ended it (``end_by``)."""

    def end_by(self) -> None:
        signal.signal(self.args[0], signal.SIG_DFL)
        signal.raise_signal(self.args[0])


def shown(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str:
    """A path as it can be printed whatever its bytes: a name that is not valid UTF-8 keeps its
    other characters and shows each undecodable byte as an escape."""
    raw = os.fsencode(path)
    return raw.decode("utf-8", "backslashreplace")


def _identity(path: str | os.PathLike[str]) -> tuple[int, int] | None:
    try:
        st = os.fstat(1) if os.fspath(path) == STANDARD_OUTPUT else os.stat(path)
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
            named = "standard output" if os.fspath(output) == STANDARD_OUTPUT else shown(output)
            raise CommandError(f"{named} is the input {shown(source)} itself (the same file): "
                               "writing it would destroy what is read; choose another output name")


class Output:
    """Where a result goes, opened for writing as ``fd``. For a regular file, the bytes written
    reach ``path`` only at ``publish()``; an Output closed before that leaves no trace. Writes
    to a device, a FIFO or standard output go straight there (``in_place``). Every OSError
    names ``path``, never a temporary file."""

    def __init__(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None:
        self.path = os.fsencode(path)
        if not self.path:
            raise UsageError("the output path is empty: name a file, or - for standard output")
        self._temporary: bytes | None = None       # the named temporary file, where there is one
        self._previous: dict[int, Any] = {}         # handlers replaced while it exists
        self.folder = self.fd = -1
        try:
            with self._naming():
                if self.path == os.fsencode(STANDARD_OUTPUT):
                    self.fd = fcntl.fcntl(1, fcntl.F_DUPFD_CLOEXEC, 3)
                    self.in_place = True
                else:
                    self._open()
                self.regular = stat.S_ISREG(os.fstat(self.fd).st_mode)
        except BaseException:
            self.close()
            raise
        self.published = self.in_place

    def _open(self) -> None:
        # A symbolic link is followed to the file it names: that file is replaced, the link stays.
        self._target = os.path.realpath(self.path)
        try:
            st: os.stat_result | None = os.stat(self._target)
        except FileNotFoundError:
            st = None
        if st is not None and (stat.S_ISCHR(st.st_mode) or stat.S_ISFIFO(st.st_mode)):
            self.fd = os.open(self._target, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)  # a FIFO waits for its reader
            self.in_place = True
            return
        if st is not None and stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        if st is not None and not stat.S_ISREG(st.st_mode):
            raise CommandError(f"{shown(self.path)} is {_kind(st.st_mode)}: only a regular file, a character "
                               "device or a FIFO is written; name a file")
        self.in_place = False
        self.folder = os.open(os.path.dirname(self._target), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        self.fd = self._unnamed() if unnamed_files else -1
        if self.fd < 0:
            self.fd = self._named()
        if st is not None:  # keeps what the replaced file had
            if os.geteuid() == 0:
                os.fchown(self.fd, st.st_uid, st.st_gid)
            os.fchmod(self.fd, stat.S_IMODE(st.st_mode) if os.geteuid() == 0 else st.st_mode & 0o777)

    def _unnamed(self) -> int:
        try:
            return os.open(".", os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666, dir_fd=self.folder)
        except OSError as error:
            if error.errno in _NO_TMPFILE:
                return -1
            raise

    def _named(self) -> int:
        """Where the file system has no unnamed files: a named one, removed on the stop signals
        (SIGKILL excepted) as well as on every other way out."""
        if threading.current_thread() is threading.main_thread():
            for number in (signal.SIGTERM, signal.SIGHUP):
                if signal.getsignal(number) == signal.SIG_DFL:
                    self._previous[number] = signal.signal(number, _stopped)
        name = self._fresh_name()
        with deferred_signals():  # no stop between making the file and noting its name
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666, dir_fd=self.folder)
            self._temporary = name
        return fd

    def _fresh_name(self) -> bytes:
        return b"." + os.path.basename(self._target) + b"." + secrets.token_hex(4).encode() + b".part"

    def publish(self) -> None:
        """Gives what was written the target's name (nothing to do in place), and makes the name
        survive a power cut."""
        if self.published:
            return
        with self._naming(), _signals_held():
            name = os.path.basename(self._target)
            if self._temporary is not None:
                os.rename(self._temporary, name, src_dir_fd=self.folder, dst_dir_fd=self.folder)
                self._temporary = None
            else:
                self._link(name)
            self.published = True
        with contextlib.suppress(OSError):
            os.fsync(self.folder)

    def _link(self, name: bytes) -> None:
        source = f"/proc/self/fd/{self.fd}"
        with contextlib.suppress(FileExistsError):
            os.link(source, name, dst_dir_fd=self.folder, follow_symlinks=True)
            return
        # A name cannot be linked over an existing file: link under a fresh name, rename at once.
        fresh = self._fresh_name()
        os.link(source, fresh, dst_dir_fd=self.folder, follow_symlinks=True)
        try:
            os.rename(fresh, name, src_dir_fd=self.folder, dst_dir_fd=self.folder)
        except OSError:
            os.unlink(fresh, dir_fd=self.folder)
            raise

    def sync(self, data_only: bool = False) -> None:
        """Puts what was written onto the disk (a device, a FIFO or a terminal has no disk)."""
        if self.regular:
            with self._naming():
                (os.fdatasync if data_only else os.fsync)(self.fd)

    def close(self) -> None:
        """Closes; what was never published is gone."""
        try:
            if self.fd >= 0:
                os.close(self.fd)
            if self.folder >= 0:
                if self._temporary is not None:
                    with contextlib.suppress(OSError):
                        os.unlink(self._temporary, dir_fd=self.folder)
                    self._temporary = None
                os.close(self.folder)
        finally:
            self.folder = self.fd = -1
            for number, handler in self._previous.items():
                if signal.getsignal(number) is _stopped:
                    signal.signal(number, handler)
            self._previous.clear()

    @contextlib.contextmanager
    def _naming(self) -> Iterator[None]:
        try:
            yield
        except OSError as error:
            error.filename, error.filename2 = self.path, None
            raise


# Whether to try unnamed temporary files at all (off: the named fallback, as on a file system
# without them).
unnamed_files = True


def _stopped(number: int, _frame: FrameType | None) -> None:
    raise Stopped(number)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """No stop signal lands between naming the file and renaming it."""
    held = set(_STOPS) | {signal.SIGQUIT}
    before = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


def _kind(mode: int) -> str:
    return {stat.S_IFBLK: "a block device", stat.S_IFSOCK: "a socket"}.get(stat.S_IFMT(mode), "not a regular file")


@contextlib.contextmanager
def atomic_output(path: str | bytes | os.PathLike[str] | os.PathLike[bytes], mode: str = "wb",
                  **open_options: object) -> Iterator[IO]:  # type: ignore[type-arg]
    """A file object for writing ``path`` (``-``: standard output), see ``Output``: a regular
    file gets what was written only when the block ends normally, synced first. An OSError (a
    full disk, a folder that does not exist) names ``path``."""
    if os.fsencode(path) == os.fsencode(STANDARD_OUTPUT) and sys.stdout is not None:
        sys.stdout.flush()  # what was printed before comes first
    output = Output(path)
    try:
        with open(output.fd, mode, closefd=False, **open_options) as out:  # type: ignore[call-overload]
            yield out
            out.flush()
        output.sync()
        output.publish()
    except BaseException as error:
        output.close()
        if isinstance(error, OSError) and error.filename is None:
            error.filename = os.fsencode(path)  # a failed write names no file of its own
        if isinstance(error, Stopped):
            error.end_by()
        raise
    output.close()


def _not_a_capture(name: str, mode: int) -> str:
    if stat.S_ISDIR(mode):
        return f"{name} is a directory, not a capture file; name a capture file in it"
    what = "a terminal or other character device" if stat.S_ISCHR(mode) else "not a regular file"
    return (f"{name} is {what}, not a capture file; record the device into a file first "
            "(tiltwick-record DEVICE BAUD OUT.bin)")



def above_standard(fd: int) -> int:
    """The descriptor moved to 3 or above. In a process started with descriptor 0, 1 or 2 closed,
    a new descriptor takes that number, and what is printed to it, or what a redirect puts
    there, would mix with the file."""
    if fd > 2:
        return fd
    try:
        return fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3)
    finally:
        os.close(fd)


def scratch_file() -> IO[bytes]:
    """An anonymous temporary file, on a descriptor above 2 (see above_standard)."""
    spool = tempfile.TemporaryFile()
    if spool.fileno() > 2:
        return spool
    with spool:
        return os.fdopen(fcntl.fcntl(spool.fileno(), fcntl.F_DUPFD_CLOEXEC, 3), "w+b")


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
                opened.append(above_standard(os.open(capture, os.O_RDONLY | os.O_CLOEXEC)))
        except OSError as error:
            hint = "; check the path" if error.errno == errno.ENOENT else ""
            raise CommandError(f"cannot read {shown(capture)}: {error.strerror}{hint}") from None
        fd = opened[0]
        mode = os.fstat(fd).st_mode
        if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
            spool = scratch_file()
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


@contextlib.contextmanager
def spooled_prefix(source: str, size: int, name: str) -> Iterator[str]:
    """A path to a copy of the first ``size`` bytes of the file at ``source`` (a capture that
    grows as it is read, say), for as long as the block runs."""
    with open(source, "rb") as original, scratch_file() as spool:
        _copy(original.fileno(), spool.fileno(), name, size)
        yield f"/proc/self/fd/{spool.fileno()}"


def _copy(source: int, into: int, name: str | bytes | os.PathLike[str] | os.PathLike[bytes],
          size: float = float("inf")) -> None:
    """Copies ``size`` bytes (default: to the end)."""
    while size > 0:
        try:
            data = os.read(source, int(min(_COPY_CHUNK, size)))
        except OSError as error:
            raise CommandError(f"cannot read {shown(name)}: {error.strerror}") from None
        if not data:
            return
        size -= len(data)
        view = memoryview(data)
        while view:
            try:
                view = view[os.write(into, view):]
            except OSError as error:
                raise CommandError(f"cannot keep a copy of {shown(name)} in the temporary folder "
                                   f"({tempfile.gettempdir()}): {error.strerror}; free some space there "
                                   "or save the capture to a file first") from None
