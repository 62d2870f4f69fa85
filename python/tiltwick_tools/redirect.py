"""Pointing file descriptors elsewhere for a while, process-wide: ``quiet()`` and the redirects
the dump and the monitor make.

The module writes its per-packet lines and reports to descriptors 1 and 2 directly, where
``contextlib.redirect_stdout`` cannot reach them; these redirects move the descriptors themselves
and put them back after every way out of the block, Ctrl-C included.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import sys
import threading
from collections.abc import Callable
from typing import Any

from .files import above_standard
from .signals import ATTEMPTS, deferred_signals, raise_first

__all__ = ["Moves", "redirected", "quiet"]

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


# The moves of redirects dropped without ending (see redirected.__del__), ended under the lock.
_dropped: list[Moves] = []


def _end_dropped() -> None:
    while _dropped:
        _unpark(_dropped.pop())


class redirected:
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
            _held(self._move_out, self._moves, self._parked)
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
                _held(self._move_back, self._moves, self._unparked)
            except BaseException as error:
                interruptions.append(error)
        raise_first(interruptions)

    # Both run where no signal handler runs (_held).
    def _move_out(self, moves: Moves) -> None:
        _park(moves)
        self.__class__ = _parked_redirect

    def _move_back(self, moves: Moves) -> None:
        self.__class__ = redirected  # the use counts are ended even when a move back fails
        _unpark(moves)


class _parked_redirect(redirected):
    """A redirect while its descriptors are parked: the only kind with a finalizer. A signal
    handler can run as any finalizer begins, and what it raises there (Ctrl-C's
    KeyboardInterrupt) is reported as unraisable and lost, so a redirect that ended as usual
    must not have one."""

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
    return redirected(tuple((fd, None) for fd in dict.fromkeys(fds or (1,))))
