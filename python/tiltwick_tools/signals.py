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


# How often one step is tried again when signal handlers keep interrupting it: far more than a
# person pressing Ctrl-C can reach, and still an end when a flood of signals never stops.
ATTEMPTS = 100


@contextlib.contextmanager
def deferred_signals() -> Iterator[None]:
    """No Python signal handler runs inside the block; a signal that arrives meanwhile, or while
    the deferral is being set up, is handled when it ends. Other threads than the main one run
    no handlers: there it does nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    noted: list[int] = []

    def note(number: int, _frame: FrameType | None) -> None:
        noted.append(number)
    replaced: dict[int, Any] = {}
    interruptions: list[BaseException] = []
    try:
        for number in _NUMBERS:
            handler = signal.getsignal(number)
            if callable(handler):
                replaced[number] = handler
                completed(lambda: signal.signal(number, note), lambda: signal.getsignal(number) is note,
                          interruptions)
        yield
    finally:
        _restore(replaced, interruptions)
        for signalled in dict.fromkeys(noted):
            try:
                signal.raise_signal(signalled)
            except BaseException as error:  # the handler's: the number is valid
                interruptions.append(error)
        raise_first(interruptions)


def _restore(replaced: dict[int, Any], interruptions: list[BaseException]) -> None:
    """Puts the handlers back, each however often a pending signal interrupts it; what their
    handlers raised meanwhile goes to ``interruptions``."""
    def put_back() -> None:
        for number in list(replaced):
            signal.signal(number, replaced[number])
            del replaced[number]
    completed(put_back, lambda: not replaced, interruptions)


def completed(step: Callable[[], object], done: Callable[[], bool],
              interruptions: list[BaseException] | None = None) -> None:
    """Runs ``step`` until ``done()``, as often as a signal handler's exception interrupts it
    (up to ATTEMPTS times), then raises the first such exception, or leaves them all in
    ``interruptions`` for the caller to raise. ``step`` must be safe to run again and raise
    nothing of its own: it only calls ``signal.signal`` with valid arguments, so whatever it
    raises comes from a handler of a pending signal, which that call runs first."""
    kept: list[BaseException] = [] if interruptions is None else interruptions
    for _ in range(ATTEMPTS):
        if done():
            break
        try:
            step()
        except BaseException as error:  # raised once the step is done
            kept.append(error)
    if interruptions is None:
        raise_first(kept)


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
