"""BufferedAHRSClient against the simulated device: delivery, back-pressure, rendezvous,
failures and teardown."""

import time

import pytest

import tiltwick
from helpers import UNDER_SANITIZER, bytes_read, drain_until, holders_of, new_client, seq_of, wait_for
from process_probe import threads
from tiltwick_tools import SimulatedDevice


def test_entries_arrive_complete_in_order_and_stamped(serial_line):
    with SimulatedDevice(200, streaming=False) as sim:
        client = tiltwick.BufferedAHRSClient(sim.path, 921600, 1000, False)
        assert wait_for(lambda: holders_of(sim.path) == 1)
        before_ms = time.time_ns() // 1_000_000
        sim.start_streams()
        entries = drain_until(client, lambda e: len(e) >= 200)
        after_ms = time.time_ns() // 1_000_000
        del client
    assert len(entries) >= 200
    stamps = [stamp for stamp, _ in entries]
    assert all(isinstance(s, int) for s in stamps)
    assert before_ms <= stamps[0] and stamps[-1] <= after_ms
    assert stamps == sorted(stamps)
    seqs = {"sensor": [], "estimate": []}
    for _, packet in entries:
        kind, seq = seq_of(packet, 200)
        assert packet["type"] == kind
        seqs[kind].append(seq)
    for kind, got in seqs.items():
        assert got == list(range(got[0], got[0] + len(got))), kind
    first = entries[0][1]
    assert list(first)[0] == "type"
    assert set(first["ScaledAccVector"]) == {"x", "y", "z"}


@pytest.mark.parametrize("capacity", [1, 5, 64])
def test_full_queue_loses_nothing(capacity, serial_line):
    with SimulatedDevice(sensor_hz=500, filter_hz=0, streaming=False) as sim:
        client, reader = new_client(sim.path, capacity)
        assert wait_for(lambda: holders_of(sim.path) == 1)
        sim.start_streams(filter=False)
        # Nothing is taken: the reader fills the queue, then holds one more packet (94 bytes each).
        assert wait_for(lambda: bytes_read(reader) >= (capacity + 1) * 94)
        first = client.take()
        assert len(first) == capacity
        rest = drain_until(client, lambda e: len(e) >= 60)
        del client
    seqs = [seq_of(p, 500)[1] for _, p in first + rest]
    assert seqs == list(range(seqs[0], seqs[0] + len(seqs)))


def test_rendezvous_hands_over_one_entry_at_a_time(serial_line):
    """With capacity 0 the reader holds one decoded entry and waits for a taker; a take
    hands over that entry only (a buffered queue would give about a dozen at these rates)."""
    with SimulatedDevice(300) as sim:
        client = tiltwick.BufferedAHRSClient(sim.path, 921600, 0, False)
        assert wait_for(lambda: holders_of(sim.path) == 1)
        time.sleep(0.05)
        sizes = []
        for _ in range(30):
            sizes.append(len(client.take()))
            time.sleep(0.02)
        del client
    assert sorted(sizes)[len(sizes) // 2] == 1
    assert max(sizes) == 1


def test_unopenable_device_report_text(tmp_path):
    import subprocess
    import sys
    path = tmp_path / "missing"
    code = (
        "import time, tiltwick\n"
        f"c = tiltwick.BufferedAHRSClient({str(path)!r}, 115200, 10, False)\n"
        "time.sleep(0.3)\n"
        "print(c.take(), c.take())\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0
    assert done.stdout.strip() == "[] []"
    expected = (
        'Failed to open port: AHRSError { error: "SerialPortError: Error { kind: Io(NotFound), '
        'description: \\"No such file or directory\\" }" }'
    )
    assert expected in done.stderr


@pytest.mark.parametrize("verbose", [False, True])
def test_garbage_gives_empty_entries_and_verbose_adds_lines(capfd, verbose, serial_line):
    with SimulatedDevice(0, streaming=False) as sim:
        client, reader = new_client(sim.path, 100, verbose)
        err = []
        # at least one read time-out while silent
        assert wait_for(lambda: err.append(capfd.readouterr().err) or "IOERR: Operation timed out" in "".join(err))
        sim.inject(b"\x00" * 30)  # ten failed sync attempts of 3 bytes each
        entries = drain_until(client, lambda e: len(e) >= 10)
        del client
        # The reader thread writes its last lines as it ends; read the capture after that.
        assert wait_for(lambda: reader not in threads())
    assert [p for _, p in entries] == [{}] * 10
    err = "".join(err) + capfd.readouterr().err
    assert err.count("Error parsing packet: bad sync: expected 0x75 0x65, found 0x00 0x00") == 10
    assert "IOERR: Operation timed out" in err
    timeout_debug = ('Error parsing packet: AHRSError { error: "IOError: Custom { kind: TimedOut, '
                     'message: \\"Operation timed out\\" }" }')
    assert (timeout_debug in err) == verbose


def test_deleting_client_with_full_queue_ends_thread_and_frees_device(capfd, serial_line):
    with SimulatedDevice(sensor_hz=500, filter_hz=0, streaming=False) as sim:
        client = tiltwick.BufferedAHRSClient(sim.path, 921600, 3, False)
        assert wait_for(lambda: holders_of(sim.path) == 1)
        sim.start_streams(filter=False)
        assert sim.wait_until(lambda s: s.next_seq[0x80] >= 20)
        del client
        assert wait_for(lambda: holders_of(sim.path) == 0)
        assert 'Failed to send reading: "SendError(..)"' in capfd.readouterr().err
        again = tiltwick.AHRSClient()
        again.open(sim.path, 921600)  # the line can be opened again
        sim.stop_streams()


@pytest.mark.skipif(UNDER_SANITIZER, reason="a sanitizer's allocator aborts instead of failing the request")
def test_queue_storage_that_cannot_be_reserved_raises_memory_error(capfd, tmp_path):
    before = threads()
    with pytest.raises(MemoryError):
        tiltwick.BufferedAHRSClient(str(tmp_path / "missing"), 115200, 2**32 - 1, False)
    assert not threads() - before  # a thread it started would show: it exists once it is created
    assert "Failed to open port" not in capfd.readouterr().err
