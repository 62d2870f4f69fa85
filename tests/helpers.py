"""What the tests share. Oracles independent of the module, built on tiltwick_tools' wire model
and float text alone: the float text rule, the text form of a packet's readings, a model of what
parse_data_stream_py prints for any byte string, and an exact comparison of decoded values.
Then the helpers of the tests that play a device on a line."""

import contextlib
import importlib
import os
import pathlib
import select
import struct
import subprocess
import sys
import termios
import threading
import time
import types

import pytest

from tiltwick_tools import mip_wire as mw
import tiltwick
from child import TIMEOUT, Child, hear_from_parent, tell_parent
from process_probe import with_new_thread
from tiltwick_tools import SimulatedDevice
from float_text import float_text as package_float_text
from tiltwick_tools.motion import filter_packet, imu_packet, sensor_packet, sequence_number

# A preloaded sanitizer runtime owns the allocator: resident size, heap figures and failed
# allocations then describe the sanitizer, not the module.
UNDER_SANITIZER = any(runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("libasan", "libtsan"))
# ci/matrix's emulated runs: qemu-user (no termios2 there), or a booted kernel under qemu-system.
# Either way an instruction costs many times its native time, and under qemu-user the resident
# size is the emulator's.
QEMU_USER = os.environ.get("TILTWICK_EMULATION") == "user"
EMULATED = os.environ.get("TILTWICK_EMULATION") in ("user", "system")

EOF_LINE = "End of file: failed to fill whole buffer"  # the dump's closing line at the end of the data
IOERR_EOF = "IOERR: failed to fill whole buffer\n"  # a replay's line where the data ends
NO_SUCH_DEVICE = "/nonexistent/tiltwick-test-device"
NOT_FOUND = 'AHRSError: IOError: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
NOT_STREAMING = 'AHRSError: SerialPortError: Error { kind: InvalidInput, description: "Port not streaming" }'
ERR = "Error parsing packet from file: "
EOF_IO = 'I/O error: Custom { kind: UnexpectedEof, message: "failed to fill whole buffer" }'
SHORT = 'short payload: Custom { kind: UnexpectedEof, message: "not enough bytes in reader" }'


def context(field):
    return f" (While parsing field '{field}' in MipPacket)"


def write_file(tmp_path, data, name="capture.bin"):
    path = tmp_path / name
    path.write_bytes(bytes(data))
    return str(path)


def f32_bits(x):
    return struct.unpack(">I", struct.pack(">f", x))[0]


def f32_of_bits(bits):
    return struct.unpack(">f", bits.to_bytes(4, "big"))[0]


def f64_of_bits(bits):
    return struct.unpack(">d", bits.to_bytes(8, "big"))[0]


def float_text(x, width):
    """The text form of an F32 (width 32) or F64 (width 64) value."""
    return package_float_text(x, single=width == 32)


def value_text(value, wire_type):
    if wire_type == "f32":
        return float_text(value, 32)
    if wire_type == "f64":
        return float_text(value, 64)
    return str(value)  # U16 in decimal; validity already "Valid"/"Invalid"


def readings_text(descriptor_set, payload):
    """The line parse_data_stream_py prints for one packet, from mip_wire's decoder."""
    parts = []
    for name, values in mw.decode_payload(descriptor_set, payload):
        alt = mw.CATALOGUE[name]
        inner = ", ".join(f"{f}: {value_text(values[f], t)}" for f, t in alt.fields)
        parts.append(f"{alt.kind}({name} {{ {inner} }})")
    return "[" + ", ".join(parts) + "]"


def dump_model(data):
    """(stdout lines, closing stderr line) that parse_data_stream_py gives for a file of `data`."""
    data = bytes(data)
    lines, i, n = [], 0, len(data)
    while True:
        if n - i < 2:
            return lines, EOF_LINE
        if data[i:i + 2] != mw.SYNC:
            return lines, ERR + f"bad sync: expected 0x75 0x65, found 0x{data[i]:02x} 0x{data[i + 1]:02x}"
        if n - i < 3:
            return lines, ERR + EOF_IO + context("descriptor")
        dset = data[i + 2]
        if dset not in mw.DESCRIPTOR_SETS:
            return lines, ERR + f"bad descriptor set: Unexpected value for enum: {dset}" + context("descriptor")
        if n - i < 4:
            return lines, ERR + EOF_IO + context("payload_length")
        length = data[i + 3]
        if n - i - 4 < length:
            return lines, ERR + SHORT + context("bytes")
        end = i + 4 + length
        if n - end < 2:
            return lines, ERR + EOF_IO + context("checksum")
        received, computed = data[end:end + 2], mw.checksum(data[i:end])
        if received != computed:
            return lines, ERR + f"bad checksum: {received.hex().lstrip('0') or '0'} != {computed.hex().lstrip('0') or '0'}"
        lines.append(readings_text(dset, data[i + 4:end]))
        i = end + 2


def exact(obj):
    """A comparable form in which floats compare by their bits (NaN payloads, -0.0) and
    dicts by their items in order."""
    if isinstance(obj, float):
        return ("float", struct.pack(">d", obj))
    if isinstance(obj, dict):
        return ("dict", [(k, exact(v)) for k, v in obj.items()])
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [exact(v) for v in obj])
    return (type(obj).__name__, obj)


# Bit patterns that every float slot meets: NaNs with payloads and either sign (quiet and
# signalling), infinities, zeros, subnormals, the largest finite values.
SPECIAL_F32 = [0x7FC00000, 0xFFC00001, 0x7FA12345, 0xFF800001, 0x7F800000, 0xFF800000, 0x00000000,
               0x80000000, 0x00000001, 0x807FFFFF, 0x00800000, 0x7F7FFFFF, 0xFF7FFFFF, 0x3DCCCCCD]
SPECIAL_F64 = [0x7FF8000000000000, 0xFFF8000000000001, 0x7FF4000000000123, 0x7FF0000000000000,
               0xFFF0000000000000, 0x0000000000000000, 0x8000000000000000, 0x0000000000000001,
               0x800FFFFFFFFFFFFF, 0x7FEFFFFFFFFFFFFF, 0x4341C37937E08000]


def random_raw(rng, wire_type, k=0):
    """Wire bytes of one value: the k-th special pattern first, then random bits; validity
    words are 0 or 1."""
    if wire_type == "f32":
        bits = SPECIAL_F32[k] if k < len(SPECIAL_F32) else rng.getrandbits(32)
        return bits.to_bytes(4, "big")
    if wire_type == "f64":
        bits = SPECIAL_F64[k] if k < len(SPECIAL_F64) else rng.getrandbits(64)
        return bits.to_bytes(8, "big")
    if wire_type == "u16":
        return (0xFFFF if k == 0 else rng.getrandbits(16)).to_bytes(2, "big")
    return rng.choice([0, 1]).to_bytes(2, "big")


def as_list(packet):
    """What read_packet() gives for a framed packet: its readings' dicts in payload order."""
    return [values for _, values in mw.decode_payload(packet[2], packet[4:-2])]


def as_map(packet):
    """What read() gives: "type", then each alternative once, where first seen, with its last value."""
    out = {}
    for name, values in mw.decode_payload(packet[2], packet[4:-2]):
        out.setdefault("type", "sensor" if packet[2] == mw.SENSOR_SET else "estimate")
        out[name] = values
    return out



def imu_packets(count):
    """`count` packets of the usual configuration: accelerometer, gyro and magnetometer, 48 bytes."""
    return [imu_packet(k) for k in range(count)]


# --- lines, clients and devices ------------------------------------------------------------------
# What several test modules share when a test plays the device on a pseudo-terminal or runs the
# simulated device: canned packets and error texts, waits with a bound, and the child processes
# that play a device or open a line out of reach of this process's interpreter lock.

RATE = 100  # nominal rate of the hand-made streams below; it only sets their sequence numbering
LINE_BAUD = 115200
TCGETS2 = getattr(termios, "TCGETS2", 0x802C542A)  # _IOR('T', 0x2A, struct termios2)
BOTHER = getattr(termios, "BOTHER", 0o010000)

TIMED_OUT = 'AHRSError: IOError: Custom { kind: TimedOut, message: "Operation timed out" }'

BROKEN_PIPE = 'AHRSError: IOError: Os { code: 32, kind: BrokenPipe, message: "Broken pipe" }'

BUSY = 'AHRSError: SerialPortError: Error { kind: Unknown, description: "Device or resource busy" }'

# The three commands as hand-assembled from the MIP framing (idle, sensor stream off, filter stream off).
COMMANDS = bytes.fromhex("7565010202 02E1C7" "75650C0505 11010100 0319" "75650C0505 11010300 051D")

ACC = mw.frame(mw.SENSOR_SET, mw.encode_reading("ScaledAccVector", 1.0, 2.0, 3.0))

GYRO = mw.frame(mw.SENSOR_SET, mw.encode_reading("ScaledGyroVector", 0.5, -0.25, 0.1))


def run(args, timeout=120, **options):
    """A command run to its end, its output captured as text. A Python command still running at
    nine tenths of the time-out prints every thread's stack on its standard error and ends
    (tests/watchdog), so that the test fails with the stacks, not with a silent kill."""
    args = [a if isinstance(a, bytes) else str(a) for a in args]
    env = {**options.pop("env", os.environ), "TILTWICK_TEST_WATCHDOG": str(timeout * 0.9),
           "TILTWICK_TEST_WATCHDOG_EXIT": "1"}
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, env=env, **options)


def command(name):
    """The installed console script; the suite may run against a build tree without them."""
    path = pathlib.Path(sys.executable).parent / name
    if not path.exists():
        pytest.skip(f"{name} is not installed next to {sys.executable}")
    return str(path)


def hang_up(p):
    """The device end of pty `p` goes away: the line hangs up. Marked gone before it is closed,
    so that a teardown racing with a thread that calls this never closes it twice."""
    master, p.master = p.master, None
    os.close(master)


def streaming(p, baud=LINE_BAUD):
    """A client streaming from the line of pty `p`."""
    c = tiltwick.AHRSClient()
    c.open(p.path, baud)
    c.start_stream()
    return c


def drain(fd, quiet=0.3, limit=5.0):
    """Everything the client wrote, until the line stays quiet for `quiet` seconds."""
    out, end = b"", time.monotonic() + limit
    while time.monotonic() < end and select.select([fd], [], [], quiet)[0]:
        out += os.read(fd, 4096)
    return out


def read_packet_outcome(c):
    """read_packet()'s readings, or the text of the ValueError it raised."""
    try:
        return c.read_packet()
    except ValueError as e:
        return str(e)


def without_root(module, name, *args):
    """In a child process: drops root rights (which would bypass exclusive access), then runs the
    named function of the named test module."""
    function = getattr(importlib.import_module(module), name)  # while the interpreter's files are readable
    try:
        if os.geteuid() == 0:
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
        return function(*args)
    except PermissionError:
        return "SKIP"


def unprivileged(function, *args, fds=()):
    """function(*args) run in a child process without root rights."""
    value = Child(without_root, function.__module__, function.__name__, *args, fds=fds).result(30)
    if value == "SKIP":
        pytest.skip("cannot drop privileges")
    return value


def open_line(path):
    """In a child process: what opening the line as a new client gives."""
    try:
        tiltwick.AHRSClient().open(path, LINE_BAUD)
    except ValueError as e:
        return f"ValueError: {e}"
    return "opened"


def seq_of(packet, rate):
    """The simulated device's sequence number carried in the packet's GPS time fields."""
    if packet.get("type") == "sensor":
        t = packet["GPSCorrelationTimestamp"]
        return "sensor", sequence_number(t["gps_time_of_week"], t["gps_week"], rate)
    t = packet["GPSTimestamp"]
    return "estimate", sequence_number(t["time_of_week"], t["week"], rate)


def drain_until(client, predicate, timeout=TIMEOUT):
    """Takes entries until predicate(all_entries) holds or the timeout passes."""
    entries = []
    deadline = time.monotonic() + timeout
    while not predicate(entries) and time.monotonic() < deadline:
        entries.extend(client.take())
        time.sleep(0.005)
    return entries


def holders_of(path):
    """How many descriptors of this process are open on `path`."""
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == path:
                count += 1
        except OSError:
            pass
    return count


def released(path):
    """No descriptor of this process is open on the line (a hung-up pty shows as deleted)."""
    return holders_of(path) + holders_of(path + " (deleted)") == 0


def new_client(path, capacity, verbose=False, baud=921600):
    """A buffered client and the id of its reader thread."""
    return with_new_thread(lambda: tiltwick.BufferedAHRSClient(path, baud, capacity, verbose))


def wait_for(predicate, timeout=TIMEOUT):
    """Whether predicate() came true within the timeout."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def bytes_read(tid, pid="self"):
    """Bytes a thread has taken with read(2) so far, this very read included when it is the
    caller's own count. (FIONREAD on the slave would not do: bytes written to the master pass
    through a transfer buffer that it does not see.)"""
    fd = os.open(f"/proc/{pid}/task/{tid}/io", os.O_RDONLY)
    try:
        text = os.read(fd, 4096)
    finally:
        os.close(fd)
    return int(text.split()[1]) + (len(text) if (pid, tid) == ("self", threading.get_native_id()) else 0)


def stream_of(count, first=0):
    """`count` packets: two sensor packets (94 bytes) and a filter packet (200 bytes), again and
    again. Their starts fall on each position modulo 3 in turn (0, 1, 2, 1, 2, 0, ...)."""
    out, seq = [], [first, first]
    for i in range(count):
        is_filter = i % 3 == 2
        out.append((filter_packet if is_filter else sensor_packet)(seq[is_filter], RATE))
        seq[is_filter] += 1
    return out


def key_of(packet):
    """(type, sequence number) of an encoded packet from stream_of, as seq_of gives it for the entry."""
    return seq_of(as_map(packet), RATE)


def key_or_none(entry):
    """key_of for an entry that may not be one of stream_of's packets (None then)."""
    with contextlib.suppress(KeyError):
        return seq_of(entry, RATE)


def serve_device(rate, options):
    """In a child process: the simulated device, out of reach of the test process's signals and
    interpreter lock; runs the simulator's methods (or gives its attributes; a dict as the list
    of its values) as the test asks."""
    with SimulatedDevice(rate, **options) as sim:
        tell_parent(sim.path)
        while (request := hear_from_parent()) is not None:
            value = getattr(sim, request[0])
            value = value(*request[1:]) if callable(value) else value
            tell_parent([list(value.values()) if isinstance(value, dict) else value])


@contextlib.contextmanager
def device_in_child(rate, **options):
    """The simulated device in a process of its own; yields its path and call(method, *args)."""
    options.setdefault("streaming", False)
    device = Child(serve_device, rate, options)

    def call(*request):
        device.send(list(request))
        answer = device.receive()
        assert answer is not None, f"the device does not answer {request}"
        return answer[0]
    try:
        path = device.receive()
        assert path, "the device did not start"
        yield types.SimpleNamespace(path=path, call=call)
    finally:
        with contextlib.suppress(OSError):
            device.send(None)
        device.result()
