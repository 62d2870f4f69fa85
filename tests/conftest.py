import os
import sys

# The tests' own helpers (an independent encoder of the wire format, the /proc probes) live in
# tools/; they never share code with the module under test. The simulated device and the capture
# generator come from the installed tiltwick_tools package.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))


# --- Tests that need a real kernel's serial line ------------------------------------------------
# Under user-mode qemu (ci/matrix's emulated runs set TILTWICK_EMULATION=user) the termios2
# ioctls that set up a serial line fail with ENOSYS, so a client cannot open a pseudo-terminal
# there. Such tests are skipped in those runs only; ci/matrix runs them again on booted ARM
# kernels. A test counts as needing the serial line when
#   - it is marked @pytest.mark.needs_termios2, or
#   - its own body, or the body of any fixture it uses, opens a pseudo-terminal (openpty) or
#     starts a SimulatedDevice.
# Tests that reach a pty some other way (e.g. through a helper function) take the marker. Every
# test that counts gets the marker, so that `-m needs_termios2` selects the serial-line tests
# (ci/matrix runs only those on the booted kernels: the rest ran in user mode already).
#
# Emulation is also slow and uneven: under either qemu run (TILTWICK_EMULATION=user, or
# TILTWICK_EMULATION=system on a booted kernel) the simulator, written in Python, can stall for
# hundreds of milliseconds at a time. Tests whose pass depends on a stream at hundreds of packets
# a second never pausing for the line's 100 ms time-out take @pytest.mark.needs_native_speed and
# are skipped there; everything else runs.
import faulthandler  # noqa: E402
import inspect  # noqa: E402
import tempfile  # noqa: E402
import re  # noqa: E402
import time  # noqa: E402

import pytest  # noqa: E402

from process_probe import threads  # noqa: E402

QEMU_USER = os.environ.get("TILTWICK_EMULATION") == "user"
EMULATED = os.environ.get("TILTWICK_EMULATION") in ("user", "system")
# The guest of ci/serial-drivers describes its serial hardware here (tests/test_real_drivers.py).
REAL_DRIVERS = bool(os.environ.get("TILTWICK_REAL_DRIVERS"))
_OPENS_A_LINE = re.compile(r"\bopenpty\s*\(|\bSimulatedDevice\s*\(")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "needs_termios2: opens a serial line (pseudo-terminal) through the module; skipped under "
        "user-mode emulation, which lacks the termios2 ioctls",
    )
    config.addinivalue_line(
        "markers",
        "needs_native_speed: assumes a fast simulated stream never pauses for 100 ms; skipped "
        "under emulation",
    )
    # tests/test_long_run.py sends a million packets through each way of reading
    # (TILTWICK_LONG_PACKETS sets the count); -m "not long" leaves those tests out.
    config.addinivalue_line("markers", "long: a long leak-check run (a million packets per way of reading)")
    config.addinivalue_line("markers", "real_drivers: needs the emulated serial hardware of ci/serial-drivers' guest")


def _opens_a_line(function) -> bool:
    try:
        return bool(_OPENS_A_LINE.search(inspect.getsource(function)))
    except (OSError, TypeError):
        return False


def _needs_termios2(item) -> bool:
    if item.get_closest_marker("needs_termios2") is not None:
        return True
    if _opens_a_line(getattr(item, "obj", None)):
        return True
    fixture_info = getattr(item, "_fixtureinfo", None)
    for definitions in getattr(fixture_info, "name2fixturedefs", {}).values():
        if any(_opens_a_line(definition.func) for definition in definitions):
            return True
    return False


@pytest.hookimpl(tryfirst=True)  # before -m selects: `-m needs_termios2` picks every serial-line test
def pytest_collection_modifyitems(config, items):
    no_termios2 = pytest.mark.skip(reason="needs termios2 on a serial line: user-mode qemu lacks it "
                                          "(runs on the booted kernels of ci/matrix)")
    too_slow = pytest.mark.skip(reason="needs native speed: the simulated stream stalls under emulation")
    no_hardware = pytest.mark.skip(reason="needs real serial drivers (runs in ci/serial-drivers' guest)")
    for item in items:
        serial_line = _needs_termios2(item)
        if serial_line and item.get_closest_marker("needs_termios2") is None:
            item.add_marker(pytest.mark.needs_termios2)
        if not REAL_DRIVERS and item.get_closest_marker("real_drivers") is not None:
            item.add_marker(no_hardware)
        elif QEMU_USER and serial_line:
            item.add_marker(no_termios2)
        elif EMULATED and item.get_closest_marker("needs_native_speed") is not None:
            item.add_marker(too_slow)


@pytest.fixture(autouse=True)
def watchdog():
    """A module call that hangs holds the interpreter lock, so only a native watchdog can end
    the run: it dumps every thread's traceback to a log file and exits."""
    with open(os.path.join(tempfile.gettempdir(), "tiltwick-test-timeout.log"), "w") as log:
        faulthandler.dump_traceback_later(300, exit=True, file=log)
        yield
        faulthandler.cancel_dump_traceback_later()


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
