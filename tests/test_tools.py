"""The companion commands and helpers off the happy path: they never destroy a user's data, never
end in a traceback, read a capture whole or refuse it, and put the descriptors back."""

import math
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from helpers import command, run, stream_of, wait_for
from tiltwick_tools.capture import capture_bytes
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
    (["tiltwick-sim", "--to-file", "keep.bin", "--seconds", "5"], True, "keep.bin: File too large"),
    (["tiltwick-sim", "--to-file", "nowhere/x.bin"], False, "nowhere/x.bin: No such file or directory"),
    # the recorder sets the line up before it touches its output
    (["tiltwick-record", "/dev/ttyACM9", "921600", "keep.bin"], False, "cannot open /dev/ttyACM9: no such device"),
    (["tiltwick-record", "cap.bin", "921600", "keep.bin"], False, "cannot open cap.bin: not a serial line"),
    (["tiltwick-record", "dir", "921600", "keep.bin"], False, "cannot open dir: a directory"),
    # options checked as they are parsed
    (["tiltwick-dump", "--first", "-1", "cap.bin"], False, "argument --first: must be 0 or above"),
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
        piped = subprocess.run([command("tiltwick-csv"), "/dev/stdin", "piped.csv"], stdin=capture, cwd=folder,
                               capture_output=True, text=True, timeout=120)
    assert (piped.returncode, (folder / "piped.csv").read_text()) == (0, (folder / "out.csv").read_text())
    first = (folder / "out.csv").read_text().splitlines()[1]
    dumped = run([command("tiltwick-dump"), "--first", "1", os.fsencode(folder) + b"/caf\xe9.bin"])
    assert dumped.returncode == 0, dumped.stderr
    assert "x: -0.16985948," in dumped.stdout and ",sensor,-0.16985948," in first

    dump = subprocess.Popen([command("tiltwick-dump"), "--first", "300", "cap.bin"], cwd=folder,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = dump.stdout.readline()
    dump.stdout.close()  # as `| head -1` does
    assert (first[:8], dump.stderr.read(), dump.wait(timeout=120)) == (b"[Sensor(", b"", 141)


@pytest.mark.parametrize("stop, noise", [(signal.SIGHUP, 0), (signal.SIGTERM, 0), (signal.SIGINT, 7),
                                         ("disk full", 0)])
def test_the_recorder_keeps_what_it_read(pty, tmp_path, stop, noise):
    """Every byte the recorder has read is in the file as soon as it is read, whatever ends the
    recording: each stop signal, or a disk that fills up (the file then holds exactly what the
    closing line says is safe). Bytes between packets are kept and counted."""
    out = tmp_path / "rec.bin"
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


def test_the_plot_breaks_an_angle_where_it_wraps():
    times, degrees = broken_at_wraps([0.0, 1.0, 2.0, 3.0], [170.0, 179.0, -179.0, -170.0])
    assert times == [0.0, 1.0, 1.5, 2.0, 3.0]
    assert degrees[:2] + degrees[3:] == [170.0, 179.0, -179.0, -170.0] and math.isnan(degrees[2])


SCRIPT = textwrap.dedent("""
    import os, random, signal, sys, threading
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
    several threads, in a program started with one of them closed too."""
    capture, info = capture_bytes(1.0, 100, 100)
    (tmp_path / "cap.bin").write_bytes(capture)
    closing = [] if closed is None else ["sh", "-c", f'exec "$0" "$@" {closed}>&-']
    loops = 40 if closed is None else 0  # Ctrl-C in packets() loops, which open the capture
    done = run([*closing, sys.executable, "-c", SCRIPT, tmp_path / "cap.bin", tmp_path / "result", loops])
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "result").read_text().split() == [str(info.packets)] * 2 + [str(loops + 1), "True"]
