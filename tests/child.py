"""Another process for the device's side of a test: a fresh interpreter started with subprocess
that runs a module-level function of the tests, out of reach of this process's interpreter lock
and signals. Not a fork: the tests' process has threads (the watchdog, buffered clients'
readers), and forking it is unsafe (CPython 3.12 and later warn about it).

The function gets JSON arguments and its return value comes back as JSON; the descriptors it is
given keep their numbers. While it runs, it and the test talk in JSON lines over its standard
input and output (tell_parent and hear_from_parent on its side, receive and send on the test's)."""

import json
import os
import select
import signal
import subprocess
import sys

TIMEOUT = 20.0  # the bound of every wait of the tests on another process or thread

_RUNNER = """import json, sys
sys.path[:0] = json.loads(sys.argv[1])
function = getattr(__import__(sys.argv[2]), sys.argv[3])
print(json.dumps(function(*json.loads(sys.argv[4]))), flush=True)
"""


class Child:
    def __init__(self, function, *args, fds=()):
        """Starts function(*args) in the new process."""
        # No watchdog on its lifetime (a device may serve a long test): one that does not end
        # in time is told to print its stacks instead (see result()).
        self.process = subprocess.Popen(
            [sys.executable, "-c", _RUNNER, json.dumps(sys.path), function.__module__, function.__name__,
             json.dumps(args)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0, pass_fds=fds,
            env={**os.environ, "TILTWICK_TEST_WATCHDOG": ""})

    def receive(self, timeout=TIMEOUT):
        """The child's next line, or its result once it has ended; None when neither comes in time."""
        if not select.select([self.process.stdout], [], [], timeout)[0]:
            return None
        line = self.process.stdout.readline()
        return json.loads(line) if line else None

    def send(self, value):
        self.process.stdin.write(json.dumps(value).encode() + b"\n")

    def result(self, timeout=TIMEOUT):
        """Waits (bounded) for the child to end; returns the function's value, None if it failed
        or had to be killed."""
        try:
            value = self.receive(timeout)
            self.process.wait(timeout)
            return value if self.process.returncode == 0 else None
        except subprocess.TimeoutExpired:
            # SIGABRT first: its faulthandler (PYTHONFAULTHANDLER, set by conftest.py) prints every
            # thread's stack on the standard error it shares with the test
            self.process.send_signal(signal.SIGABRT)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.send_signal(signal.SIGKILL)
                self.process.wait()
            return None
        finally:
            self.process.stdin.close()
            self.process.stdout.close()


def tell_parent(value):
    """In the child: one line to the test."""
    os.write(1, json.dumps(value).encode() + b"\n")


def hear_from_parent():
    """In the child: the test's next line."""
    return json.loads(sys.stdin.readline())
