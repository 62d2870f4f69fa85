"""Instructions per packet on every path of tiltwick, each next to a floor program that does the
same required work, counted by valgrind's callgrind (the counts do not move with the load).

    python benchmarks/instructions.py [--seconds 5 15] [--keep DIR] [--verbose]

Run it after `bash scripts/setup-venv.sh test` (it re-runs itself with .venv/bin/python when the
interpreter it was started with has no tiltwick). Paths and what is counted:

  dump         parse_data_stream_py(path), the whole process
  read()       AHRSClient.open_file + read() until the end, the whole process
  read_packet  AHRSClient.open_file + read_packet() until the end, the whole process
  take()       one BufferedAHRSClient.take() of every queued entry: only inside the call
               (callgrind's --toggle-collect on the floor module's counted())
  live         the buffered client's reader thread on a pseudo-terminal fed by a writer in
               this process (outside valgrind): that thread alone (--separate-threads)

Each path runs on two captures of the same stream (tiltwick_tools.capture, 100 sensor + 100
filter packets per second, --seconds long); the figure per packet is the difference of the two
counts over the difference of the packets, so that start-up, imports and the end of the run
cancel. Then again on two captures of short packets, the commonest high-rate configuration:
accelerometer and gyro only, 34 bytes each (--short packets in the longer one, a third of that in
the shorter). Floors (benchmarks/floors/, built here with g++ -O2 into build/instructions/):
dump_floor (C++), dict_floor (an extension module: read(), read_packet(), take()) and
live_floor (C++ reader thread). Each floor's output is checked against tiltwick's on the same
captures: the dump text and closing line byte for byte, the "Parsed packet: " lines, the dicts
(by repr, so key order and float bits count) and the queued entries.
"""

from __future__ import annotations

import argparse
import array
import math
import fcntl
import os
import platform
import re
import selectors
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import termios
import threading
import time
import tty
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FLOORS = os.path.join(HERE, "floors")
sys.path.insert(0, os.path.join(ROOT, "tools"))

from tiltwick_tools import mip_wire as mw  # noqa: E402
from tiltwick_tools.capture import make_capture  # noqa: E402
from process_probe import quiet  # noqa: E402

BAUD = 921600
MARKER = "floor_counted_call"  # the floor module's counted(); see floors/dict_floor.cpp

# The measured Python program, run under callgrind as `python -c CHILD mode build args...`.
CHILD = r'''
import os, struct, sys
mode, build, *rest = sys.argv[1:]
sys.path.insert(0, build)
import dict_floor
import tiltwick


def canonical(value):
    if isinstance(value, dict):
        return "{" + ",".join(f"{k}:{canonical(v)}" for k, v in value.items()) + "}"
    if isinstance(value, float):
        return "f" + struct.pack(">d", value).hex()
    if isinstance(value, int):
        return f"i{value}"
    return f"s{value}"


def write_entries(entries, out, packets):
    with open(out, "w") as f:
        for timestamp, packet in entries:
            assert isinstance(timestamp, int)
            f.write(canonical(packet) + "\n")
    if len(entries) != packets:
        sys.exit(f"took {len(entries)} entries, expected {packets}")


if mode == "dump":
    tiltwick.parse_data_stream_py(rest[0])
elif mode in ("read", "read_packet"):
    which, path, packets = rest
    if which == "tiltwick":
        client = tiltwick.AHRSClient()
        client.open_file(path)
    else:
        client = dict_floor.Replay(path)
    step = getattr(client, mode)
    for _ in range(int(packets)):
        step()
    try:
        step()  # the end of the capture
    except ValueError:
        pass
elif mode == "buffered":
    slave, packets, out = rest
    packets = int(packets)
    # The reader's first time-out line says that it has queued everything the writer sent.
    r, w = os.pipe()
    saved = os.dup(2)
    os.dup2(w, 2)
    client = tiltwick.BufferedAHRSClient(slave, 921600, packets + 16, False)
    seen = b""
    while b"IOERR" not in seen and b"fatal" not in seen:
        seen += os.read(r, 4096)
    os.dup2(saved, 2)
    if b"IOERR" not in seen:
        sys.exit(seen.decode(errors="replace"))
    if out == "-":  # counting the reader thread: stop now, while it waits on the line
        os._exit(0)
    entries = dict_floor.counted(client.take)
    write_entries(entries, out, packets)
    os._exit(0)
elif mode == "queue":
    path, packets, out = rest
    queue = dict_floor.Queue(path)
    entries = dict_floor.counted(queue.take)
    write_entries(entries, out, int(packets))
'''


def ensure_module_interpreter() -> None:
    """Re-runs this script with the project's .venv interpreter when this one lacks tiltwick."""
    try:
        import tiltwick  # noqa: F401
    except ImportError:
        venv_python = os.path.join(ROOT, ".venv", "bin", "python")
        if os.path.exists(venv_python) and os.path.realpath(sys.prefix) != os.path.realpath(os.path.join(ROOT, ".venv")):
            os.execv(venv_python, [venv_python, os.path.abspath(__file__), *sys.argv[1:]])
        sys.exit("tiltwick is not installed; run `bash scripts/setup-venv.sh test` first")


# ---------------------------------------------------------------------------------------------
# Building the floors
# ---------------------------------------------------------------------------------------------

def build_floors(build: str) -> dict[str, str]:
    os.makedirs(build, exist_ok=True)
    cxx = os.environ.get("CXX", "g++")
    common = [cxx, "-O2", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-pthread", "-I", FLOORS]
    header = os.path.join(FLOORS, "mip.hpp")
    targets = {
        "dump_floor": (os.path.join(build, "dump_floor"), []),
        "live_floor": (os.path.join(build, "live_floor"), []),
        "dict_floor": (os.path.join(build, "dict_floor" + sysconfig.get_config_var("EXT_SUFFIX")),
                       ["-shared", "-fPIC", "-fvisibility=hidden", "-I", sysconfig.get_paths()["include"]]),
    }
    for name, (output, flags) in targets.items():
        source = os.path.join(FLOORS, name + ".cpp")
        if os.path.exists(output) and os.path.getmtime(output) > max(os.path.getmtime(source), os.path.getmtime(header)):
            continue
        subprocess.run([*common, *flags, "-o", output, source], check=True)
    return {name: output for name, (output, _) in targets.items()}


# ---------------------------------------------------------------------------------------------
# Running under callgrind
# ---------------------------------------------------------------------------------------------

@dataclass
class Run:
    instructions: int
    stdout: bytes
    stderr: bytes


def callgrind(command: list[str], base: str, *, options: tuple[str, ...] = (), thread: int | None = None,
              verbose: bool = False) -> Run:
    """Runs `command` under callgrind (following no child process) and returns the instructions
    counted: of the whole process, or of one thread (1 is the main thread) when given.

    The environment is fixed and every path given to the program has the same length from run
    to run: the sizes of the arguments and environment move the stack and early heap, and with
    them the alignment of buffers, which changes the instructions that memcpy and the like take
    per packet (by about 0.3 %)."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8",
           "PYTHONHASHSEED": "0", "PYTHONDONTWRITEBYTECODE": "1"}
    out_file = base + ".callgrind"
    args = ["valgrind", "--tool=callgrind", "--trace-children=no", f"--log-file={base}.valgrind",
            f"--callgrind-out-file={out_file}", "--dump-line=no", *options]
    if thread is not None:
        args.append("--separate-threads=yes")
    started = time.monotonic()
    with open(base + ".out", "wb+") as out, open(base + ".err", "wb+") as err:
        done = subprocess.run([*args, *command], stdout=out, stderr=err, env=env, timeout=900)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    if done.returncode != 0:
        sys.exit(f"{' '.join(command[:3])} ... failed ({done.returncode}):\n{stderr.decode(errors='replace')[-2000:]}"
                 f"\nsee {base}.valgrind")
    path = out_file if thread is None else f"{out_file}-{thread:02d}"
    with open(path) as f:
        text = f.read()
    found = re.search(r"^summary:\s*(\d+)", text, re.M) or re.search(r"^totals:\s*(\d+)", text, re.M)
    if found is None:
        sys.exit(f"no instruction count in {path}")
    if verbose:
        print(f"  {os.path.basename(base)}: {int(found.group(1)):,} instructions,"
              f" {time.monotonic() - started:.1f} s", file=sys.stderr)
    return Run(int(found.group(1)), stdout, stderr)


class PtyWriter:
    """A pseudo-terminal whose master end a thread of this process feeds with `data` (blocking
    while the line's buffers are full); the measured process opens the slave path."""

    def __init__(self, data: bytes, link: str):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        # The measured process gets the line by a name of fixed length, whatever the pty number.
        self.path = link
        os.symlink(os.ttyname(self.slave), link)
        self.data = data
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._feed, daemon=True)

    def _feed(self) -> None:
        os.set_blocking(self.master, False)
        selector = selectors.DefaultSelector()
        selector.register(self.master, selectors.EVENT_WRITE)
        view = memoryview(self.data)
        while view and not self.stop.is_set():
            if selector.select(0.1):
                try:
                    view = view[os.write(self.master, view[:4096]):]
                except BlockingIOError:
                    pass
        selector.close()

    def __enter__(self) -> PtyWriter:
        self.thread.start()
        return self

    def check(self) -> None:
        """Fails unless everything was written and read: a reader that found the line silent
        for 100 ms before the end (a stalled writer) would leave bytes behind."""
        self.thread.join(5.0)
        waiting = array.array("i", [0])
        fcntl.ioctl(self.slave, termios.FIONREAD, waiting)
        if self.thread.is_alive() or waiting[0] != 0:
            sys.exit("the pseudo-terminal was not drained: the writer stalled; run again on a quieter machine")

    def __exit__(self, *exc) -> None:
        self.stop.set()
        self.thread.join()
        os.close(self.master)
        os.close(self.slave)
        os.unlink(self.path)


# ---------------------------------------------------------------------------------------------
# The paths
# ---------------------------------------------------------------------------------------------

@dataclass
class Capture:
    path: str
    packets: int
    data: bytes


def python_child(build: str, *args: str) -> list[str]:
    return [sys.executable, "-c", CHILD, *args[:1], build, *args[1:]]


def same(what: str, a: bytes, b: bytes) -> None:
    if a != b:
        sys.exit(f"{what}: the floor's output differs from tiltwick's")


def measure_paths(captures: list[Capture], floors: dict[str, str], work: str, verbose: bool):
    build = os.path.dirname(floors["dict_floor"])
    counts: dict[str, list[tuple[int, int]]] = {}  # path -> per capture (tiltwick, floor)

    def add(path: str, tiltwick_run: Run, floor_run: Run) -> None:
        counts.setdefault(path, []).append((tiltwick_run.instructions, floor_run.instructions))

    for i, capture in enumerate(captures):
        n = str(capture.packets)
        base = os.path.join(work, f"c{i}")

        t = callgrind(python_child(build, "dump", capture.path), base + "-dump-tiltwick", verbose=verbose)
        f = callgrind([floors["dump_floor"], capture.path], base + "-dump-floor", verbose=verbose)
        same("dump, standard output", t.stdout, f.stdout)
        same("dump, standard error", t.stderr, f.stderr)
        add("dump", t, f)

        for mode in ("read", "read_packet"):
            t = callgrind(python_child(build, mode, "tiltwick", capture.path, n), f"{base}-{mode}-tiltwick",
                          verbose=verbose)
            f = callgrind(python_child(build, mode, "floor", capture.path, n), f"{base}-{mode}-floor",
                          verbose=verbose)
            same(f"{mode}(), standard output", t.stdout, f.stdout)
            same(f"{mode}(), standard error", t.stderr, f.stderr)
            add(mode, t, f)

        toggle = ("--collect-atstart=no", f"--toggle-collect={MARKER}")
        taken = base + "-take-tiltwick.entries"
        with PtyWriter(capture.data, os.path.join(work, "line")) as line:
            t = callgrind(python_child(build, "buffered", line.path, n, taken), base + "-take-tiltwick",
                          options=toggle, verbose=verbose)
            line.check()
        queued = base + "-take-floor.entries"
        f = callgrind(python_child(build, "queue", capture.path, n, queued), base + "-take-floor",
                      options=toggle, verbose=verbose)
        same("take(), entries", read_bytes(taken), read_bytes(queued))
        add("take", t, f)

        with PtyWriter(capture.data, os.path.join(work, "line")) as line:
            t = callgrind(python_child(build, "buffered", line.path, n, "-"), base + "-live-tiltwick", thread=2,
                          verbose=verbose)
            line.check()
        received = base + "-live-floor.entries"
        with PtyWriter(capture.data, os.path.join(work, "line")) as line:
            f = callgrind([floors["live_floor"], line.path, n, received], base + "-live-floor", thread=2,
                          verbose=verbose)
            line.check()
        same("live, entries", read_bytes(taken), read_bytes(received))
        add("live", t, f)
    return counts


def short_capture(path: str, packets: int) -> Capture:
    """Accelerometer + gyro packets of 34 bytes, their values following a slow motion."""
    data = b"".join(
        mw.frame(mw.SENSOR_SET, mw.encode_reading("ScaledAccVector", math.sin(k / 97), math.cos(k / 89), -1 + k / 1e6)
                 + mw.encode_reading("ScaledGyroVector", math.sin(k / 13) / 10, math.cos(k / 17) / 10, k / 1e7))
        for k in range(packets))
    with open(path, "wb") as f:
        f.write(data)
    return Capture(path, packets, data)


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def check_dicts(capture: Capture, floors: dict[str, str]) -> None:
    """read() and read_packet() of the floor give the same objects as tiltwick's."""
    sys.path.insert(0, os.path.dirname(floors["dict_floor"]))
    import dict_floor
    import tiltwick

    for mode in ("read", "read_packet"):
        results = []
        for make in (lambda: open_client(tiltwick, capture.path), lambda: dict_floor.Replay(capture.path)):
            step = getattr(make(), mode)
            with quiet():
                results.append(repr([step() for _ in range(capture.packets)]))
        if results[0] != results[1]:
            sys.exit(f"{mode}(): the floor's dicts differ from tiltwick's")


def open_client(tiltwick, path):
    client = tiltwick.AHRSClient()
    client.open_file(path)
    return client


def tool_version(command: list[str]) -> str:
    try:
        return subprocess.run(command, capture_output=True, text=True).stdout.splitlines()[0].strip()
    except (OSError, IndexError):
        return "?"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, nargs=2, default=(5.0, 15.0), metavar=("SHORT", "LONG"),
                    help="lengths of the two captures (100 + 100 packets per second)")
    ap.add_argument("--short", type=int, default=6000, metavar="PACKETS",
                    help="packets in the longer capture of short packets (default: %(default)s)")
    ap.add_argument("--keep", metavar="DIR", help="keep the captures, outputs and callgrind files in DIR")
    ap.add_argument("--verbose", action="store_true", help="print every run's count and time")
    args = ap.parse_args()

    ensure_module_interpreter()
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed (apt-get install valgrind)")
    started = time.monotonic()
    floors = build_floors(os.path.join(ROOT, "build", "instructions"))

    work = tempfile.mkdtemp(prefix="tiltwick-instructions-")  # a name of one length every time
    streams: dict[str, tuple[list[Capture], dict[str, list[tuple[int, int]]]]] = {}
    try:
        rich = []
        for i, seconds in enumerate(args.seconds):
            path = os.path.join(work, f"capture{i}.bin")  # names of one length: the same start-up
            info = make_capture(path, seconds=seconds)
            rich.append(Capture(path, info.packets, read_bytes(path)))
        short = [short_capture(os.path.join(work, f"capture{i + 2}.bin"), n)
                 for i, n in enumerate((args.short // 3, args.short))]
        for name, captures in (("rich", rich), ("short", short)):
            check_dicts(captures[-1], floors)
            os.makedirs(os.path.join(work, name))
            streams[name] = (captures, measure_paths(captures, floors, os.path.join(work, name), args.verbose))
    finally:
        if args.keep is not None:
            shutil.copytree(work, args.keep, dirs_exist_ok=True)
        shutil.rmtree(work, ignore_errors=True)

    print(f"{platform.machine()}, Python {platform.python_version()}, {tool_version(['valgrind', '--version'])},"
          f" floors by {tool_version([os.environ.get('CXX', 'g++'), '--version'])}")
    labels = {"dump": "dump", "read": "read()", "read_packet": "read_packet()", "take": "take()", "live": "live"}
    for name, (captures, counts) in streams.items():
        packets = captures[1].packets - captures[0].packets
        what = ("half sensor, half filter" if name == "rich" else "accelerometer + gyro, 34 bytes each")
        print(f"captures of {captures[0].packets} and {captures[1].packets} packets ({what});"
              f" per packet = difference / {packets}")
        for path, label in labels.items():
            (t0, f0), (t1, f1) = counts[path]
            mine, floor = (t1 - t0) / packets, (f1 - f0) / packets
            print(f"  {label:<14} {mine:>8,.0f} instr/packet  floor {floor:>7,.0f}  ratio {mine / floor:.2f}")
    print(f"({time.monotonic() - started:.0f} s)", file=sys.stderr)


if __name__ == "__main__":
    main()
