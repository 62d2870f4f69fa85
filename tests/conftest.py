"""Fixtures and the emulation rules of the suite.

The tests' own helpers (tests/helpers.py, tests/child.py, and in tools/ the independent encoder of
the wire format and the /proc probes) are on the path through pyproject.toml; they never share
code with the module under test. The simulated device and the capture generator come from the
installed tiltwick_tools package.

Under user-mode qemu (ci/matrix's emulated runs set TILTWICK_EMULATION=user) the termios2 ioctls
that set up a serial line fail with ENOSYS, so a client cannot open a pseudo-terminal there. A
test that opens a serial line through the module says so: it uses the `pty` or `serial_line`
fixture, or carries the needs_termios2 marker. Such tests are skipped in those runs; ci/matrix
runs them again on booted ARM kernels, where `-m needs_termios2` selects them (the fixture users
get the marker at collection).

Emulation is also slow and uneven: under either qemu run (TILTWICK_EMULATION=user, or =system on
a booted kernel) the simulator, written in Python, can stall for hundreds of milliseconds at a
time. Tests whose pass depends on a stream at hundreds of packets a second never pausing for the
line's 100 ms time-out take @pytest.mark.needs_native_speed and are skipped there."""

import faulthandler
import os
import signal
import subprocess
import tempfile
import time
import tty
import types

import pytest

from helpers import EMULATED, QEMU_USER
from process_probe import threads

# Every Python process the tests start prints its threads' stacks on a crash (PYTHONFAULTHANDLER)
# and once it has run CHILD_WATCHDOG seconds (tests/watchdog/sitecustomize.py), before the 30 s and
# longer time-outs the tests put on a child kill it silently; helpers.run() and child.Child fit
# theirs to their own time-outs.
CHILD_WATCHDOG = 25
os.environ["PYTHONPATH"] = os.pathsep.join(
    [os.path.join(os.path.dirname(__file__), "watchdog")] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
os.environ["PYTHONFAULTHANDLER"] = "1"
os.environ.setdefault("TILTWICK_TEST_WATCHDOG", str(CHILD_WATCHDOG))

# The commands' tests stop them with these signals, and a child inherits a signal ignored: under
# nohup, or started in the background by a shell without job control, they would be lost.
for stop in (signal.SIGHUP, signal.SIGTERM):
    if signal.getsignal(stop) == signal.SIG_IGN:
        signal.signal(stop, signal.SIG_DFL)
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# The guest of ci/serial-drivers describes its serial hardware here (tests/test_real_drivers.py).
REAL_DRIVERS = bool(os.environ.get("TILTWICK_REAL_DRIVERS"))


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "needs_termios2: opens a serial line (pseudo-terminal) through the module, or sets one up "
        "with a C library that uses termios2 (glibc 2.42 and later); skipped under user-mode "
        "emulation, which lacks the termios2 ioctls",
    )
    config.addinivalue_line(
        "markers",
        "needs_native_speed: assumes a fast simulated stream never pauses for 100 ms; skipped "
        "under emulation",
    )
    config.addinivalue_line("markers", "long: a long leak-check run (a million packets per way of reading)")
    config.addinivalue_line("markers", "real_drivers: needs the emulated serial hardware of ci/serial-drivers' guest")


@pytest.hookimpl(tryfirst=True)  # before -m selects: `-m needs_termios2` picks every serial-line test
def pytest_collection_modifyitems(config, items):
    no_termios2 = pytest.mark.skip(reason="needs termios2 on a serial line: user-mode qemu lacks it "
                                          "(runs on the booted kernels of ci/matrix)")
    too_slow = pytest.mark.skip(reason="needs native speed: the simulated stream stalls under emulation")
    no_hardware = pytest.mark.skip(reason="needs real serial drivers (runs in ci/serial-drivers' guest)")
    for item in items:
        if "serial_line" in getattr(item, "fixturenames", ()) and item.get_closest_marker("needs_termios2") is None:
            item.add_marker(pytest.mark.needs_termios2)
        if not REAL_DRIVERS and item.get_closest_marker("real_drivers") is not None:
            item.add_marker(no_hardware)
        elif QEMU_USER and item.get_closest_marker("needs_termios2") is not None:
            item.add_marker(no_termios2)
        elif EMULATED and item.get_closest_marker("needs_native_speed") is not None:
            item.add_marker(too_slow)


@pytest.fixture
def serial_line():
    """Asked for by a test that opens a serial line through the module (directly, or through the
    simulated device): it is marked needs_termios2 and skipped where termios2 is missing."""


@pytest.fixture
def pty(serial_line):
    """A pseudo-terminal in raw mode: the test plays the device on `master`, the client opens
    `path`. Either end may be closed (set to None) by the test."""
    master, slave = os.openpty()
    tty.setraw(master)
    p = types.SimpleNamespace(master=master, slave=slave, path=os.ttyname(slave))
    yield p
    for fd in (p.master, p.slave):
        if fd is not None:
            os.close(fd)


# A test that runs this long is hung: every child's time-out is shorter.
TEST_WATCHDOG = 300
WATCHDOG_LOG = os.path.join(tempfile.gettempdir(), "tiltwick-test-timeout.log")


def pytest_report_header(config):
    return f"watchdog: a test still running after {TEST_WATCHDOG} s writes every thread's stack to {WATCHDOG_LOG}, then ends the run"


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A child killed at its time-out: the report shows what it printed, its watchdog's stacks
    included (TimeoutExpired keeps them, but does not show them)."""
    outcome = yield
    error = call.excinfo.value if call.excinfo else None
    if isinstance(error, subprocess.TimeoutExpired) and error.stderr:
        text = error.stderr if isinstance(error.stderr, str) else error.stderr.decode(errors="replace")
        outcome.get_result().sections.append(("standard error of the child at its time-out", text))


@pytest.fixture(autouse=True)
def watchdog(request):
    """A module call that hangs holds the interpreter lock, so only a native watchdog can end
    the run: it dumps every thread's traceback to a log file, under the test's name, and exits
    (the terminal's output is captured by then, and would be lost)."""
    with open(WATCHDOG_LOG, "w") as log:
        log.write(f"{request.node.nodeid} ran {TEST_WATCHDOG} s:\n")
        log.flush()
        faulthandler.dump_traceback_later(TEST_WATCHDOG, exit=True, file=log)
        yield
        faulthandler.cancel_dump_traceback_later()
        log.truncate(0)  # the log holds something only after a hang: the runs print it if so


@pytest.fixture(autouse=True)
def settled_threads():
    """A reader thread whose client a test dropped ends within one read time-out, and may print
    a last line as it goes. Let it go before the next test starts capturing output, so that the
    line lands in the test that caused it."""
    before = threads()
    yield
    deadline = time.monotonic() + 2.0
    while threads() - before and time.monotonic() < deadline:
        time.sleep(0.01)
