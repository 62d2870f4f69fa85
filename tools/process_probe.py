"""This process as /proc shows it, for the tests and benchmarks: its threads, a thread's CPU
time and the resident set size; and a way to silence descriptors 1 and 2, where the module
writes its diagnostic lines, around calls that print many of them."""

from __future__ import annotations

import contextlib
import os
import time
from collections.abc import Callable
from typing import TypeVar

import tiltwick_tools

T = TypeVar("T")
PAGE = os.sysconf("SC_PAGE_SIZE")


def threads() -> set[str]:
    """The ids of this process's threads."""
    return set(os.listdir("/proc/self/task"))


def with_new_thread(make: Callable[[], T], timeout: float = 10.0) -> tuple[T, str]:
    """Calls make() and returns its result with the id of the one thread that appeared with it,
    such as a buffered client's reader. (Thread counts would not do: an earlier reader may still
    be winding down.)"""
    before = threads()
    result = make()
    deadline = time.monotonic() + timeout
    while len(threads() - before) != 1:
        if time.monotonic() > deadline:
            raise RuntimeError(f"expected one new thread, found {sorted(threads() - before)}")
        time.sleep(0.01)
    return result, (threads() - before).pop()


def thread_cpu_ns(tid: str) -> int:
    """CPU time the thread has run so far, in nanoseconds."""
    with open(f"/proc/self/task/{tid}/schedstat") as f:
        return int(f.read().split()[0])


def rss() -> int:
    """Resident set size in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def quiet() -> contextlib.AbstractContextManager[None]:
    """Sends whatever is written to descriptors 1 and 2 meanwhile to /dev/null."""
    return tiltwick_tools.quiet(1, 2)
