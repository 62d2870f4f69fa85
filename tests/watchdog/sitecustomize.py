"""Loaded by every Python process the test suite starts (conftest.py puts this folder first on
PYTHONPATH): a process still running after TILTWICK_TEST_WATCHDOG seconds prints every thread's
stack on its standard error, and ends there when TILTWICK_TEST_WATCHDOG_EXIT is 1. A hang then
explains itself before the test's own time-out kills the process without a word. The stacks go
to a copy of descriptor 2 made at start-up, far above the standard ones so that a closed
descriptor 0 or 1 stays closed: a hang inside quiet() or packets(), which park descriptor 2 on
/dev/null, would otherwise print them there."""

import faulthandler
import fcntl
import os
import sys

_SECONDS = os.environ.get("TILTWICK_TEST_WATCHDOG")
if _SECONDS and sys.stderr is not None:  # with descriptor 2 closed there is nowhere to print
    faulthandler.dump_traceback_later(float(_SECONDS), exit=os.environ.get("TILTWICK_TEST_WATCHDOG_EXIT") == "1",
                                      file=fcntl.fcntl(sys.stderr.fileno(), fcntl.F_DUPFD_CLOEXEC, 200))
