"""Power cuts in the middle of a recording, for ci/serial-drivers.

guest FOLDER   (in the booted guest, FOLDER on the ext4 disk) streams the simulated device at
               RATE_HZ packets/s per set on a pty, records it with tiltwick-record into
               FOLDER/capture.bin, and prints the last sequence number of each set that went out
               on the line and that the device had made, with the guest's clock and the file's
               size, every 50 ms until it is killed.
host ...       (on the host) boots the guest with a fresh ext4 image as its second disk once per
               cut, kills QEMU with SIGKILL a random 3 to 8 s after the recording began, then
               checks the image with e2fsck -fy, reads the capture out with debugfs and checks
               that it decodes cleanly to its end and lost at most MAX_LOSS_S. One line per cut.

What a cut keeps: QEMU hands each write the guest's disk completes to the image file at once,
so the kill loses everything the guest held in its own memory (its page cache, the file system's
uncommitted journal) and nothing its disk had taken. A card's own volatile write cache, which
loses what was not flushed, is not modelled: the file system's flushes are the kernel's part.
The loss is counted from the last report that reached the console before the kill, so it can
be up to one report interval (and the console's own delay) less than the true loss. It is
counted against what the device had sent: under emulation on a busy host the device makes its
packets on time but may get them onto the line late, and what never reached the line is no
recorder's loss; that lag is shown beside it, with the rate the line carried.
"""

from __future__ import annotations

import argparse
import os
import queue
import random
import re
import signal
import subprocess
import sys
import threading
import time
from typing import IO, NamedTuple

RATE_HZ = 500.0
MAX_LOSS_S = 1.2
CAPTURE = "capture.bin"
TICK_S = 0.05
LINE = re.compile(rb"^power-cut: (?P<clock>[0-9.]+) s sent sensor=(?P<sensor>-?[0-9]+) filter=(?P<filter>-?[0-9]+), "
                  rb"made sensor=(?P<made_sensor>-?[0-9]+) filter=(?P<made_filter>-?[0-9]+), file (?P<size>[0-9]+) B$")
RECORDING = b"power-cut: recording"


# ----------------------------------------------------------------------------------------------
# guest

def guest(folder: str) -> int:
    from tiltwick_tools.simulator import FILTER, SENSOR, SimulatedDevice

    capture = os.path.join(folder, CAPTURE)
    with SimulatedDevice(rate_hz=RATE_HZ, record_times=False) as device:
        # its status goes to a file: no live status line on the console between the reports
        with open("/tmp/record.log", "wb") as status:
            recorder = subprocess.Popen([sys.executable, "-c", "import sys; from tiltwick_tools.record import main; "
                                         "sys.exit(main())", device.path, "921600", capture], stderr=status)
        recording = False
        tick = time.monotonic()
        while recorder.poll() is None:
            tick += TICK_S
            time.sleep(max(0.0, tick - time.monotonic()))
            if not recording and os.path.exists(capture):
                recording = True
                print(RECORDING.decode(), flush=True)
            # packets leave in order, each whole, lost while the line was closed, or dropped
            # whole on overflow, so this is the number of the last one handed to the line
            sensor = device.sent_sensor + device.lost_sensor + device.overflow_sensor - 1
            filter_ = device.sent_filter + device.lost_filter + device.overflow_filter - 1
            made = device.next_seq
            try:
                size = os.stat(capture).st_size
            except OSError:
                size = 0
            print(f"power-cut: {time.monotonic():.3f} s sent sensor={sensor} filter={filter_}, made sensor="
                  f"{made[SENSOR] - 1} filter={made[FILTER] - 1}, file {size} B", flush=True)
        with open("/tmp/record.log", "rb") as status:
            print(f"power-cut: the recorder ended by itself (exit {recorder.returncode}): "
                  f"{status.read().decode(errors='replace').strip()}", flush=True)
    return 1


# ----------------------------------------------------------------------------------------------
# host

class Capture(NamedTuple):
    packets: int
    last: dict[int, int]    # descriptor set -> last sequence number
    fault: str              # why it does not decode to its end cleanly, or ""
    tail: str               # what follows the last whole packet


def decode(data: bytes) -> Capture:
    """Whole packets from the first byte, each set numbered on without a gap, then at most the
    start of one more packet and zeros."""
    from tiltwick_tools import mip_wire as mw
    from tiltwick_tools.motion import sequence_number

    frames: list[mw.Frame] = []
    try:
        frames.extend(mw.iter_frames(data, strict=True))
    except mw.FrameError:
        pass
    end = frames[-1].offset + frames[-1].size if frames else 0
    rest = data[end:]
    unfinished = rest.rstrip(b"\0")
    tail = "clean end"
    if rest:
        tail = f"{len(unfinished)} B of an unfinished packet" if unfinished else ""
        if len(rest) > len(unfinished):
            tail += f"{', then ' if unfinished else ''}{len(rest) - len(unfinished)} B of zeros"
    fault = ""
    if unfinished and (not mw.SYNC.startswith(unfinished[:2])
                       or len(unfinished) >= 4 and len(unfinished) >= 6 + unfinished[3]):
        fault = f"{len(rest)} B at offset {end} that are not the start of one packet"
        tail = f"{len(rest)} B that are not packets"
    last: dict[int, int] = {}
    for frame in frames:
        readings = dict(mw.decode_payload(frame.descriptor_set, frame.payload))
        clock = readings.get("GPSCorrelationTimestamp") or readings.get("GPSTimestamp")
        if clock is None:
            continue  # an acknowledgement
        time_of_week, week = list(clock.values())[:2]
        seq = sequence_number(time_of_week, week, RATE_HZ)
        before = last.get(frame.descriptor_set)
        if before is not None and seq != before + 1 and not fault:
            fault = f"set 0x{frame.descriptor_set:02x} jumps from {before} to {seq} at offset {frame.offset}"
        last[frame.descriptor_set] = seq
    if not frames:
        fault = fault or "no whole packet"
    return Capture(len(frames), last, fault, tail)


def _lines(stream: IO[bytes], into: queue.Queue[bytes | None]) -> None:
    for line in stream:
        into.put(line.rstrip(b"\r\n"))
    into.put(None)


def _tool(*command: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)


def cut(number: int, after: float, qemu: list[str], image: str, log: str, boot_timeout: float) -> str:
    """One boot and one cut; returns the fault, or "" when the capture passes."""
    with open(image, "wb") as disk:
        disk.truncate(1 << 30)
    # initialised in full, as on a card formatted long ago: no inode tables left for the guest
    # to zero in the background
    made = _tool("mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", image)
    if made.returncode:
        return f"mkfs.ext4 failed: {made.stdout.strip()}"
    console: queue.Queue[bytes | None] = queue.Queue()
    began = time.monotonic()
    # cache=unsafe: the guest's flushes do not wait for the host's disk, and lose nothing here,
    # where only QEMU dies
    vm = subprocess.Popen(qemu + ["-drive", f"file={image},format=raw,if=virtio,cache=unsafe"],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert vm.stdout is not None
    threading.Thread(target=_lines, args=(vm.stdout, console), daemon=True).start()
    seen: list[bytes] = []
    deadline = began + boot_timeout
    recording_at = None
    while True:
        try:
            line = console.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            break
        if line is None:
            break
        seen.append(line)
        if line == RECORDING and recording_at is None:
            recording_at = time.monotonic()
            deadline = recording_at + after
    if vm.poll() is None:
        vm.send_signal(signal.SIGKILL)
    vm.wait()
    cut_at = time.monotonic()
    while (line := console.get()) is not None:  # what the guest had written before the cut
        seen.append(line)
    with open(log, "wb") as kept:
        kept.write(b"\n".join(seen) + b"\n")
    if recording_at is None:
        return f"the recording did not begin within {boot_timeout:.0f} s of the boot (console: {log})"
    if vm.returncode != -signal.SIGKILL:
        return f"QEMU ended before the cut, exit {vm.returncode} (console: {log})"
    reported = [m for m in map(LINE.match, seen) if m]
    if not reported:
        return f"the guest reported no sequence numbers (console: {log})"

    checked = _tool("e2fsck", "-fy", image)
    # with -y every repair is a problem line followed by its question, answered "yes"
    said = [ln.strip() for ln in checked.stdout.splitlines() if ln.strip()]
    repairs = []
    for i, text in enumerate(said):
        if (asked := re.fullmatch(r"(.*?)\s*[^.?]*\? yes", text)) and i:
            repairs.append(re.sub(r"\s*\(.*?\)\.?$", "", asked[1] or said[i - 1]))
    journal = "journal replayed" if "recovering journal" in checked.stdout else "no journal to replay"
    fsck = f"e2fsck exit {checked.returncode}, {journal}, " + \
        (f"repaired {len(repairs)}: {'; '.join(repairs)[:200]}" if repairs else "nothing to repair")
    if checked.returncode & ~1:
        return f"e2fsck could not repair the file system: {fsck}\n{checked.stdout}"
    listing = _tool("debugfs", "-R", "ls /", image).stdout.split()
    leftovers = [name for name in listing if name.endswith(".part")]
    out = image + ".capture"
    dumped = _tool("debugfs", "-R", f"dump /{CAPTURE} {out}", image)
    if not os.path.exists(out):
        return f"no {CAPTURE} on the disk after the cut ({dumped.stdout.strip()}); {fsck}"
    with open(out, "rb") as f:
        data = f.read()
    os.unlink(out)
    capture = decode(data)
    last_reported = reported[-1]
    lost = {dset: int(last_reported[name]) - capture.last.get(dset, -1)
            for dset, name in ((0x80, "sensor"), (0x82, "filter"))}
    lost_s = max(lost.values()) / RATE_HZ
    # Under emulation the device may make packets faster than it gets them onto the line: what
    # it had not sent is not the recorder's loss, but it is shown, with the rate the line carried.
    backlog = max(int(last_reported["made_" + name]) - int(last_reported[name]) for name in ("sensor", "filter"))
    carried = capture.packets / max(cut_at - recording_at, 1e-9)
    print(f"[power-cut] cut {number}: {cut_at - recording_at:.2f} s into the recording (guest clock "
          f"{float(last_reported['clock']):.2f} s at the last report); capture {len(data):,} B, "
          f"{capture.packets:,} packets ({carried:.0f}/s), {capture.tail}; lost {sum(lost.values())} packets "
          f"(sensor {lost[0x80]}, filter {lost[0x82]}), {lost_s:.2f} s, of what the device had sent; "
          f"{backlog / RATE_HZ:.2f} s not yet sent; {fsck}"
          f"{'; temporary files left: ' + ' '.join(leftovers) if leftovers else ''}", flush=True)
    faults = [f"the capture does not decode to its end: {capture.fault}"] if capture.fault else []
    if lost_s > MAX_LOSS_S:
        faults.append(f"lost {lost_s:.2f} s, more than {MAX_LOSS_S} s")
    return f"cut {number}: {'; '.join(faults)}" if faults else ""


def host(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(prog="power_cut.py host")
    ap.add_argument("--cuts", type=int, default=5)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--work", required=True, help="folder for the disk image")
    ap.add_argument("--logs", required=True, help="folder for the console logs")
    ap.add_argument("--boot-timeout", type=float, default=60.0)
    ap.add_argument("qemu", nargs=argparse.REMAINDER, help="-- and the QEMU command, less its second disk")
    a = ap.parse_args(argv)
    qemu = a.qemu[1:] if a.qemu[:1] == ["--"] else a.qemu
    seed = a.seed if a.seed is not None else random.randrange(1 << 31)
    rng = random.Random(seed)
    # one time from each of --cuts equal parts of 3..8 s, in random order: all different
    width = 5.0 / a.cuts
    times = [3.0 + (part + rng.random()) * width for part in rng.sample(range(a.cuts), a.cuts)]
    print(f"[power-cut] {a.cuts} cuts, seed {seed}, {RATE_HZ:.0f} packets/s per set; cut times "
          + ", ".join(f"{t:.2f}" for t in times) + " s", flush=True)
    faults = []
    for number, after in enumerate(times, 1):
        fault = cut(number, after, qemu, os.path.join(a.work, "disk.img"),
                    os.path.join(a.logs, f"power-cut-{number}.log"), a.boot_timeout)
        if fault:
            print(f"[power-cut] FAILED: {fault}", flush=True)
            faults.append(fault)
    os.unlink(os.path.join(a.work, "disk.img"))
    return 1 if faults else 0


if __name__ == "__main__":
    role, *rest = sys.argv[1:] or [""]
    if role == "guest" and len(rest) == 1:
        sys.exit(guest(rest[0]))
    if role == "host":
        sys.exit(host(rest))
    sys.exit(__doc__)
