"""Stretches of code that a signal must not cut short, such as taking a descriptor and
recording it, or pointing a descriptor elsewhere and noting where it pointed before.

Python runs signal handlers in the main thread, between any two steps of Python code, so even
``fd = os.open(...)`` can lose its descriptor to a Ctrl-C that arrives during the call. Inside
``deferred_signals()`` every Python-level handler is swapped for one that only notes the signal;
once the handlers are back, each signal noted is raised again and handled as usual.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Callable, Iterator
from types import FrameType
from typing import Any

__all__ = ["deferred_signals", "completed", "raise_first"]

# Every signal number there is, as plain ints (signal.valid_signals() makes enum members anew,
# which costs more than the rest of a deferral).
_NUMBERS = tuple(int(number) for number in signal.valid_signals())


@contextlib.contextmanager
def deferred_signals() -> Iterator[None]:
    """No Python signal handler runs inside the block; a signal that arrives meanwhile is
    handled when it ends. Other threads than the main one run no handlers: there it does
    nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    noted: list[int] = []

    def note(number: int, _frame: FrameType | None) -> None:
        noted.append(number)
    replaced: dict[int, Any] = {}
    try:
        for number in _NUMBERS:
            handler = signal.getsignal(number)
            if callable(handler):
                replaced[number] = handler
                signal.signal(number, note)
        yield
    finally:
        _restore(replaced)
        for signalled in dict.fromkeys(noted):
            signal.raise_signal(signalled)


def _restore(replaced: dict[int, Any]) -> None:
    """Puts the handlers back, each however often a pending signal interrupts it; raises the
    first exception that a handler raised meanwhile once all are back."""
    def put_back() -> None:
        for number in list(replaced):
            signal.signal(number, replaced[number])
            del replaced[number]
    completed(put_back, lambda: not replaced)


def completed(step: Callable[[], None], done: Callable[[], bool]) -> None:
    """Runs ``step`` (which must be safe to run again after an interruption) until ``done()``,
    however often a signal handler's exception interrupts it; then raises the first such
    exception."""
    interruptions: list[BaseException] = []
    while not done():
        try:
            step()
        except BaseException as error:  # raised once the step is done
            interruptions.append(error)
    raise_first(interruptions)


def raise_first(interruptions: list[BaseException]) -> None:
    """Raises the first of ``interruptions``, if any, and forgets them all, so that no frame
    on the way out keeps the exception (and its traceback, which holds those frames) alive."""
    if not interruptions:
        return
    first = interruptions[0]
    interruptions.clear()
    try:
        raise first
    finally:
        del first
