"""The companion commands and helpers off the happy path: they never destroy a user's data, never
end in a traceback, read a capture whole or refuse it, and put the descriptors back."""

import contextlib
import fcntl
import math
import os
import signal
import stat
import struct
import subprocess
import sys
import termios
import textwrap
import threading

import pytest

from helpers import command, run, stream_of, wait_for
from tiltwick_tools.capture import REPLIES, capture_bytes
from tiltwick_tools.plot import broken_at_wraps

# Runs a command with the size of the files it may write limited to LIMIT bytes: a full disk, as
# far as the command can tell (a write fails with EFBIG where a full disk gives ENOSPC).
LIMIT = 20000
LIMITED = ("import os, resource, sys; resource.setrlimit(resource.RLIMIT_FSIZE, ({0}, {0})); "
           "os.execv(sys.argv[1], sys.argv[1:])").format(LIMIT)
EARLIER = b"an earlier result\n"


@pytest.fixture
def folder(tmp_path):
    """A capture, an earlier result beside it, a hard link and a symbolic link to the capture, a
    directory, and a name that is not valid UTF-8."""
    capture, _ = capture_bytes(2.0, 100, 100)
    (tmp_path / "cap.bin").write_bytes(capture)
    os.link(tmp_path / "cap.bin", tmp_path / "hard.bin")
    os.symlink("cap.bin", tmp_path / "soft.bin")
    (tmp_path / "replies.bin").write_bytes(b"".join(REPLIES))  # packets, but none with readings
    (tmp_path / "dir").mkdir()
    for name in ("out.csv", "out.png", "keep.bin"):
        (tmp_path / name).write_bytes(EARLIER)
    with open(os.path.join(os.fsencode(tmp_path), b"caf\xe9.bin"), "wb") as f:
        f.write(capture)
    return tmp_path


def listing(path):
    return {name: (path / name).read_bytes() if (path / name).is_file() else None for name in os.listdir(path)}


@pytest.mark.parametrize("args, limited, message", [
    # the output is the input itself, by name, hard link or symbolic link
    (["tiltwick-csv", "cap.bin", "cap.bin"], False, "cap.bin is the input cap.bin itself"),
    (["tiltwick-csv", "cap.bin", "hard.bin"], False, "hard.bin is the input cap.bin itself"),
    (["tiltwick-plot", "soft.bin", "cap.bin"], False, "cap.bin is the input soft.bin itself"),
    # a capture that cannot be replayed, or an output that cannot be written whole
    (["tiltwick-csv", "dir", "out.csv"], False, "dir is a directory"),
    (["tiltwick-csv", "/dev/null", "out.csv"], False, "/dev/null is a terminal or other character device"),
    (["tiltwick-csv", "cap.bin", "out.csv"], True, "out.csv: File too large"),
    (["tiltwick-csv", "replies.bin", "out.csv"], False, "replies.bin: no packet with readings"),
    (["tiltwick-sim", "--to-file", "keep.bin", "--seconds", "5"], True, "keep.bin: File too large"),
    (["tiltwick-sim", "--to-file", "nowhere/x.bin"], False, "nowhere/x.bin: No such file or directory"),
    (["tiltwick-csv", "cap.bin", "dir"], False, "tiltwick-csv: dir: Is a directory"),
    # an empty output path is a usage error, wherever it is given
    (["tiltwick-csv", "cap.bin", ""], False, "argument OUT.csv: is empty: name a file, or - for standard output"),
    (["tiltwick-record", "/dev/ttyACM9", "921600", ""], False, "argument OUT.bin: is empty"),
    (["tiltwick-sim", "--to-file", ""], False, "tiltwick-sim: error: the output path is empty"),
    # the recorder sets the line up before it touches its output
    (["tiltwick-record", "/dev/ttyACM9", "921600", "keep.bin"], False, "cannot open /dev/ttyACM9: no such device"),
    (["tiltwick-record", "cap.bin", "921600", "keep.bin"], False, "cannot open cap.bin: not a serial line"),
    (["tiltwick-record", "dir", "921600", "keep.bin"], False, "cannot open dir: a directory"),
    # options checked as they are parsed
    (["tiltwick-dump", "--first", "-1", "cap.bin"], False, "argument -n/--first: must be 0 or above"),
    (["tiltwick-sim", "--to-file", "keep.bin", "--rate-hz", "nan"], False, "must be a finite number, not 'nan'"),
    (["tiltwick-sim", "--to-file", "keep.bin", "--seconds", "-3"], False, "must be 0 or above, not '-3'"),
    (["tiltwick-record", "/dev/ttyACM9", "0", "keep.bin"], False, "must be from 1 to 4294967295"),
])
def test_a_failing_command_leaves_every_file_as_it_was(folder, args, limited, message):
    before = listing(folder)
    line = [command(args[0]), *args[1:]]
    done = run([sys.executable, "-c", LIMITED, *line] if limited else line, cwd=folder)
    assert done.returncode != 0 and done.stdout == ""
    assert message in done.stderr and "Traceback" not in done.stderr, done.stderr
    assert done.stderr.count("\n") <= 1 or done.stderr.startswith("usage:"), done.stderr
    assert listing(folder) == before  # nothing replaced, nothing half-written left behind


def test_captures_from_pipes_and_odd_names_read_whole(folder):
    """A capture on a pipe is read to its end, as from its file; a name that is not valid UTF-8
    works; the CSV cells are the dump's text, which reads back to the device's single-precision
    values exactly; a reader that closes the dump's output ends it quietly."""
    done = run([command("tiltwick-csv"), "cap.bin", "out.csv"], cwd=folder)
    assert (done.returncode, done.stderr) == (0, "400 packets written to out.csv\n")
    with open(folder / "cap.bin", "rb") as capture:
        piped = subprocess.run([command("tiltwick-csv"), "-", "piped.csv"], stdin=capture, cwd=folder,
                               capture_output=True, text=True, timeout=120)
    assert (piped.returncode, (folder / "piped.csv").read_text()) == (0, (folder / "out.csv").read_text())
    first = (folder / "out.csv").read_text().splitlines()[1]
    dumped = run([command("tiltwick-dump"), "--first", "1", os.fsencode(folder) + b"/caf\xe9.bin"])
    assert dumped.returncode == 0, dumped.stderr
    assert dumped.stdout.count("\n") == 1  # the packet line; how many there were in all is not data
    assert dumped.stderr == "... 402 more lines\n403 packet lines\nEnd of file: failed to fill whole buffer\n"
    assert "x: -0.16985948," in dumped.stdout and ",sensor,-0.16985948," in first

    dump = subprocess.Popen([command("tiltwick-dump"), "--first", "300", "cap.bin"], cwd=folder,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = dump.stdout.readline()
    dump.stdout.close()  # as `| head -1` does
    assert (first[:8], dump.stderr.read(), dump.wait(timeout=120)) == (b"[Sensor(", b"", 141)


@pytest.mark.parametrize("stop, noise, linked", [(signal.SIGHUP, 0, False), (signal.SIGTERM, 0, True),
                                                 (signal.SIGINT, 7, False), ("disk full", 0, False)])
def test_the_recorder_keeps_what_it_read(pty, tmp_path, stop, noise, linked):
    """Every byte the recorder has read is in the file as soon as it is read, whatever ends the
    recording: each stop signal, or a disk that fills up (the file then holds exactly what the
    closing line says is safe). Bytes between packets are kept and counted. Through a symbolic
    link, the file it names is replaced, with its mode."""
    out = tmp_path / "rec.bin"
    (tmp_path / "real.bin").write_bytes(EARLIER)
    os.chmod(tmp_path / "real.bin", 0o600)
    if linked:
        os.symlink("real.bin", out)
    else:
        out.write_bytes(EARLIER)
    packets = stream_of(99)  # 12,804 bytes: not a whole number of Python's 8 KiB buffers
    data = b"".join(packets[:50]) + bytes(noise) + b"".join(packets[50:])
    line = [command("tiltwick-record"), pty.path, "921600", out]
    if stop == "disk full":
        line = [sys.executable, "-c", LIMITED.replace(str(LIMIT), "5000"), *line]
    recorder = subprocess.Popen(line, stderr=subprocess.PIPE, text=True)
    try:
        os.write(pty.master, data)  # queued on the line until the recorder reads it
        if stop != "disk full":
            assert wait_for(lambda: out.stat().st_size == len(data)), "the bytes read are not in the file"
            recorder.send_signal(stop)
        _, closing = recorder.communicate(timeout=60)
    finally:
        recorder.kill()
    if stop == "disk full":
        assert recorder.returncode == 1 and "5,000 bytes safely in the file" in closing, closing
        assert out.read_bytes() == data[:5000]
    else:
        assert recorder.returncode == 0 and f"{len(data):,} B  99 packets" in closing, closing
        assert f"  {noise} B outside packets" in closing and ("tiltwick-dump stops" in closing) == bool(noise)
        assert out.read_bytes() == data
    assert out.is_symlink() == linked and stat.S_IMODE(out.stat().st_mode) == (0o600 if linked else 0o644)


def test_the_recorders_status_fits_its_terminal(pty, tmp_path):
    """The live status is redrawn in place: on a terminal 50 columns wide, each redraw is one
    row that does not wrap."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 50, 0, 0))
    environment = {name: value for name, value in os.environ.items() if name != "COLUMNS"}
    recorder = subprocess.Popen([command("tiltwick-record"), pty.path, "921600", tmp_path / "rec.bin"],
                                stderr=slave, env=environment)
    os.close(slave)
    shown = b""
    try:
        os.write(pty.master, b"".join(stream_of(30)))
        while shown.count(b"\r") < 3:
            shown += os.read(master, 4096)
        recorder.send_signal(signal.SIGTERM)
        recorder.wait(timeout=60)
    finally:
        recorder.kill()
        os.close(master)
    redraws = shown.split(b"\r")[1:-1]
    assert redraws and all(b"packets" in row and len(row.replace(b"\x1b[K", b"")) < 50 for row in redraws), shown


def prepared(folder, kind):
    """An output of the kind named, where an earlier out.csv (mode 0600) may be replaced."""
    os.chmod(folder / "out.csv", 0o600)
    if kind == "link":
        os.symlink("out.csv", folder / "link.csv")
        return "link.csv"
    if kind == "device":
        os.mknod(folder / "null", 0o666 | stat.S_IFCHR, os.stat("/dev/null").st_rdev)
        return "null"
    if kind == "fifo":
        os.mkfifo(folder / "fifo")
        return "fifo"
    return {"file": "out.csv", "standard output": "-"}[kind]


@pytest.mark.parametrize("kind", ["link", "device", "fifo", "standard output", "file"])
def test_outputs_are_written_as_cp_writes_them(folder, kind):
    """A symbolic link's target is replaced and the link stays; a device or a FIFO is written in
    place and stays what it was; - is standard output; a replaced file keeps its mode."""
    out = prepared(folder, kind)
    expected = run([command("tiltwick-csv"), "cap.bin", "expected.csv"], cwd=folder)
    assert expected.returncode == 0, expected.stderr
    expected = (folder / "expected.csv").read_text()
    read = []
    reader = threading.Thread(target=lambda: read.append((folder / out).read_text()))
    if kind == "fifo":
        reader.start()
    done = run([command("tiltwick-csv"), "cap.bin", out], cwd=folder)
    assert done.returncode == 0, done.stderr
    if kind == "fifo":
        reader.join(timeout=60)
    written = {"fifo": "".join(read), "standard output": done.stdout}.get(kind, (folder / "out.csv").read_text())
    assert written == (EARLIER.decode() if kind == "device" else expected)
    if kind in ("link", "device"):
        assert os.path.islink(folder / "link.csv") if kind == "link" else stat.S_ISCHR(os.stat(folder / "null").st_mode)
    assert stat.S_IMODE(os.stat(folder / "out.csv").st_mode) == 0o600
    assert not [name for name in os.listdir(folder) if name.endswith(".part")]


def opened_in(pid, folder, besides):
    """Whether process ``pid`` has a file in ``folder`` open, other than those named ``besides``
    (an unnamed file counts: it shows as "#inode (deleted)")."""
    with contextlib.suppress(OSError):
        targets = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
        return any(os.path.dirname(t) == str(folder) and os.path.basename(t) not in besides for t in targets)
    return False


# tiltwick-csv with the named temporary file that file systems without unnamed ones get
NAMED = "import sys; from tiltwick_tools import files, csv_command; files.unnamed_files = False; sys.exit(csv_command.main())"


@pytest.mark.parametrize("stop, named", [(signal.SIGTERM, False), (signal.SIGHUP, False), (signal.SIGTERM, True),
                                         (signal.SIGHUP, True), (signal.SIGINT, True), (signal.SIGKILL, False)])
def test_a_stopped_command_leaves_no_temporary_file(pty, folder, stop, named):
    """A conversion stopped while it writes, or a recorder killed before its first packet,
    leaves the earlier file as it was and no temporary file, with or without unnamed files."""
    capture, _ = capture_bytes(10.0, 100, 100)
    (folder / "long.bin").write_bytes(capture)
    before = listing(folder)
    if stop == signal.SIGKILL:
        line = [command("tiltwick-record"), pty.path, "921600", "keep.bin"]
    else:
        line = [command("tiltwick-csv"), "long.bin", "out.csv"]
    if named:
        line = [sys.executable, "-c", NAMED, *line[1:]]
    busy = subprocess.Popen(line, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert wait_for(lambda: opened_in(busy.pid, folder, {"long.bin"}), timeout=60), "the output was never opened"
        busy.send_signal(stop)
        busy.communicate(timeout=60)
    finally:
        busy.kill()
    assert listing(folder) == before and busy.returncode == (130 if stop == signal.SIGINT else -stop)


@pytest.mark.parametrize("closed", [0, 1, 2])
@pytest.mark.parametrize("args, out", [(["tiltwick-csv", "cap.bin", "new.csv"], "new.csv"),
                                       (["tiltwick-dump", "--first", "3", "cap.bin"], None),
                                       (["tiltwick-sim", "--to-file", "new.bin", "--seconds", "1"], "new.bin")])
def test_commands_work_with_a_standard_descriptor_closed(folder, args, out, closed):
    """A command started with descriptor 0, 1 or 2 closed does what it does with all three
    open: the same file, the same text on the descriptors that are open, the same status."""
    line = [command(args[0]), *args[1:]]
    reference = run(line, cwd=folder)
    written = out and (folder / out).read_bytes()
    if out:
        (folder / out).unlink()
    done = subprocess.run(line, cwd=folder, capture_output=True, text=True, timeout=120,
                          preexec_fn=lambda: os.close(closed))
    assert done.returncode == reference.returncode == 0, done.stderr
    assert (written and (folder / out).read_bytes()) == written
    for still_open in {1: ["stderr"], 2: ["stdout"]}.get(closed, ["stdout", "stderr"]):
        assert getattr(done, still_open) == getattr(reference, still_open)


@pytest.mark.parametrize("grows_in", [1, 2])
def test_csv_converts_a_growing_capture_as_it_was_when_it_began(folder, monkeypatch, capfd, grows_in):
    """A capture appended to while it is converted (a recording in progress, here with fields
    the first packets lack) is converted as it was, whichever pass sees it grow."""
    from tiltwick_tools import csv_command

    assert run([command("tiltwick-csv"), "cap.bin", "expected.csv"], cwd=folder).returncode == 0
    more, _ = capture_bytes(1.0, 100, 100, seed=2, deltas=True)
    passes, reading = [], csv_command.packets_at

    def growing(path, name):
        passes.append(path)
        for packet in reading(path, name):
            if len(passes) == grows_in and (folder / "cap.bin").stat().st_size < 2 * len(more):
                with open(folder / "cap.bin", "ab") as capture:
                    capture.write(more)
            yield packet
    monkeypatch.setattr(csv_command, "packets_at", growing)
    assert csv_command.main([str(folder / "cap.bin"), str(folder / "out.csv")]) == 0
    assert (folder / "out.csv").read_text() == (folder / "expected.csv").read_text()
    assert "cap.bin grew while it was converted (a recording in progress?): converted its first 58,830 bytes" \
        in capfd.readouterr().err


def test_the_plot_breaks_an_angle_where_it_wraps():
    times, degrees = broken_at_wraps([0.0, 1.0, 2.0, 3.0], [170.0, 179.0, -179.0, -170.0])
    assert times == [0.0, 1.0, 1.5, 2.0, 3.0]
    assert degrees[:2] + degrees[3:] == [170.0, 179.0, -179.0, -170.0] and math.isnan(degrees[2])


SCRIPT = textwrap.dedent("""
    import ctypes, functools, operator, os, random, signal, sys, threading  # ctypes, with libffi's descriptor
    from tiltwick_tools import packets, quiet

    # Started in the background of a script, a program inherits SIGINT ignored, and each loop
    # below would wait for ever for its KeyboardInterrupt: ask for Ctrl-C's usual handler.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    def points(fd):  # what a descriptor points at (None: closed)
        try:
            return os.fstat(fd)[1:3]
        except OSError:
            return None

    def where():  # what descriptors 0 to 2 point at, and how many descriptors are open
        return [points(fd) for fd in (0, 1, 2)], len(os.listdir("/proc/self/fd"))

    capture = sys.argv[1]
    before = where()
    count = sum(1 for _ in packets(capture))
    read, write = os.pipe()
    threading.Thread(target=lambda: [os.write(write, open(capture, "rb").read()), os.close(write)]).start()
    piped = sum(1 for _ in packets(f"/proc/self/fd/{read}"))
    os.close(read)
    for _ in range(3):  # broken off, and closed before its end
        loop = packets(capture)
        next(loop)
        del loop
    for _ in range(20):
        for _ in packets(capture):
            break
    # Ctrl-C at random moments of a packets() loop
    rng, interrupted = random.Random(1), 0
    for _ in range(int(sys.argv[3])):
        timer = threading.Timer(rng.uniform(0, 0.02), os.kill, (os.getpid(), signal.SIGINT))
        try:
            timer.start()  # a slow start may see the signal already
            for _ in range(2000):  # a lost signal fails the count, not the time-out
                for _ in packets(capture):
                    pass
        except KeyboardInterrupt:
            interrupted += 1
        timer.join()
    # Ctrl-C just as a redirect ends, while Python's buffers are flushed before the move back
    class Interrupting:
        def __init__(self, out):
            self.out, self.sent = out, False
        def write(self, text):
            return self.out.write(text)
        def flush(self):
            if points(1) != before[0][1] and not self.sent:
                self.sent = True
                os.kill(os.getpid(), signal.SIGINT)
            self.out.flush()
    sys.stdout = Interrupting(sys.stdout)
    try:
        with quiet(1, 2):
            pass
    except KeyboardInterrupt:
        interrupted += 1
    sys.stdout = sys.stdout.out
    # Ctrl-C as a redirect that ended is dropped: the signal arrives in the same call that drops
    # the last reference, so no handler runs before the object goes; nothing may swallow it then
    kill = functools.partial(ctypes.CDLL(None).kill, os.getpid(), signal.SIGINT)
    ended = [quiet(1, 2)]
    with ended[0]:
        pass
    try:
        list(map(operator.methodcaller("__call__"), [kill, ended.clear]))
    except KeyboardInterrupt:
        interrupted += 1
    # quiet() from several threads at once
    def quietly():
        for _ in range(300):
            with quiet(1, 2):
                pass
    workers = [threading.Thread(target=quietly) for _ in range(4)]
    [t.start() for t in workers]
    [t.join() for t in workers]
    same = where() == before
    with open(sys.argv[2], "w") as result:
        print(count, piped, interrupted, same, file=result)
""")


@pytest.mark.parametrize("closed", [None, 0, 1, 2])
def test_replay_helpers_hand_back_the_process_as_they_found_it(tmp_path, closed):
    """packets() reads a pipe whole and closes what it opened however its loop ends; quiet() and
    packets() leave descriptors 0 to 2 where they were (closed ones closed) after Ctrl-C and from
    several threads, in a program started with one of them closed too; no Ctrl-C is lost."""
    capture, info = capture_bytes(1.0, 100, 100)
    (tmp_path / "cap.bin").write_bytes(capture)
    loops = 40 if closed is None else 0  # Ctrl-C in packets() loops, which open the capture
    done = run([sys.executable, "-c", SCRIPT, tmp_path / "cap.bin", tmp_path / "result", loops],
               preexec_fn=None if closed is None else lambda: os.close(closed))
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "result").read_text().split() == [str(info.packets)] * 2 + [str(loops + 2), "True"]
