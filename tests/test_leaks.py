"""Long replays must not grow Python memory, native memory or the descriptor table."""

import ctypes
import gc
import os
import tracemalloc

import pytest

import mip_wire as mw
import tiltwick
from tiltwick_tools.capture import make_capture
from process_probe import quiet, rss

WARM_UP = 1500
WINDOW = 3000


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


LIBC = ctypes.CDLL(None)
HAS_MALLINFO = hasattr(LIBC, "mallinfo2") and hasattr(LIBC, "malloc_trim")
if HAS_MALLINFO:
    LIBC.mallinfo2.restype = MallInfo2


def usage():
    """(Python bytes traced, native heap bytes in use, resident set size)."""
    gc.collect()
    heap = 0
    if HAS_MALLINFO:
        LIBC.malloc_trim(0)  # give back free pages, so that the resident size follows real use
        info = LIBC.mallinfo2()
        heap = info.uordblks + info.hblkhd
    return tracemalloc.get_traced_memory()[0], heap, rss()


@pytest.fixture(scope="module")
def long_capture(tmp_path_factory):
    path = tmp_path_factory.mktemp("leaks") / "long.bin"
    info = make_capture(path, seconds=40, sensor_hz=100, filter_hz=100, deltas=True)
    assert info.packets >= WARM_UP + 2 * WINDOW
    return str(path)


@pytest.fixture(scope="module")
def garbage_capture(tmp_path_factory):
    # bad-checksum packets: every call takes the failure path with its one-byte skip
    packet = mw.frame(mw.FILTER_SET, mw.encode_reading("OrientationMatrix", *range(9), "Valid"))
    bad = packet[:-1] + bytes([packet[-1] ^ 0xFF]) + b"\x00"
    path = tmp_path_factory.mktemp("leaks") / "garbage.bin"
    path.write_bytes(bad * (WARM_UP + 2 * WINDOW + 10))
    return str(path)


def step(c, method):
    try:
        getattr(c, method)()
    except ValueError:
        pass


# "end": every call fails at the end of a file; "none": never opened, "Port not streaming"
@pytest.mark.parametrize("source, method", [("long", "read"), ("long", "read_packet"), ("garbage", "read_packet"),
                                            ("end", "read"), ("end", "read_packet"), ("none", "read_packet")])
def test_memory_stays_flat(long_capture, garbage_capture, tmp_path, source, method):
    c = tiltwick.AHRSClient()
    if source in ("long", "garbage"):
        c.open_file(long_capture if source == "long" else garbage_capture)
    elif source == "end":
        (tmp_path / "one.bin").write_bytes(mw.frame(mw.SENSOR_SET, b""))
        c.open_file(str(tmp_path / "one.bin"))
    tracemalloc.start()
    try:
        with quiet():
            for _ in range(WARM_UP):
                step(c, method)
            marks = [usage()]
            for _ in range(2):
                for _ in range(WINDOW):
                    step(c, method)
                marks.append(usage())
    finally:
        tracemalloc.stop()
    # Growth per window, not absolute use: 16 bytes kept per call would add 48 kB to a window.
    for (py0, heap0, rss0), (py1, heap1, rss1) in zip(marks, marks[1:]):
        assert py1 - py0 < 8 * 1024, marks
        assert heap1 - heap0 < 16 * 1024, marks
        assert rss1 - rss0 < 64 * 1024, marks


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def test_no_descriptor_leaks(long_capture, tmp_path):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    try:
        before = open_fds()
        with quiet():
            for i in range(150):
                c = tiltwick.AHRSClient()
                c.open_file(long_capture)
                c.read()
                c.open_file(long_capture)  # replaces the file just opened
                with pytest.raises(ValueError):
                    c.open_file(str(tmp_path / "missing.bin"))
                with pytest.raises(ValueError):
                    c.open("/dev/tiltwick-no-such-device", 115200)
                if i % 10 == 0:  # the serial line too: replaced by a file, then dropped with the client
                    c.open(path, 115200)
                    c.open_file(long_capture)
                    c.open(path, 115200)
                del c
        gc.collect()
        assert open_fds() == before
    finally:
        os.close(master)
