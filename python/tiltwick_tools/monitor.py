"""The tiltwick-monitor command: a live view of a device through tiltwick.BufferedAHRSClient.

Each interval it shows the packets per second of each descriptor set, the empty entries (bad
packets, other sets) and the reader's diagnostics since the start, the latest attitude, the
filter state, the magnitudes of acceleration and angular rate, and the time since the last
packet. On a terminal it redraws one screen in place; through a pipe, or with --plain, it
prints one line per interval; with --json one JSON object per interval.

The reader thread writes its diagnostics to descriptor 2 itself. While the monitor runs,
descriptor 2 points at a pipe that the monitor reads, so that they are counted instead of
written over the screen; it is back where it was on every way out.
"""

from __future__ import annotations

import contextlib
import json
import math
import os
import select
import signal
import sys
import termios
import time
import tty
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from types import FrameType
from typing import Any

import tiltwick

from .access import why_not_opened
from .cli import command_parser, line_arguments, positive, run, seconds_option
from .files import CommandError, shown
from .line import close_line, open_line
from .redirect import redirected
from .units import unit_of

__all__ = ["Tally", "main"]

# Packets the reader thread may queue between two takes.
_QUEUE = 1 << 16
# How often the queue is drained, whatever the interval: a long interval must not fill it.
_TAKE_EVERY = 0.1
# What the reader thread writes when it cannot open the line, after which it ends.
_OPEN_FAILED = "Failed to open port"
# What it writes when its client is gone, after which it ends.
_GONE = "Failed to send reading"
_STANDARD_GRAVITY = 9.80665  # m/s^2 in one g
KINDS = ("sensor", "estimate")  # the "type" of a packet with readings
# Where each quantity comes from, in order of preference: the estimation filter's, else the
# sensor set's.
ATTITUDE = ("OrientationEuler", "CFEulerAngles")
ACCELERATION = ("ScaledAccVector", "CompensatedAcceleration")
ANGULAR_RATE = ("CompensatedAngularRate", "ScaledGyroVector")
ANGLES = ("roll", "pitch", "yaw")
_IN_G = {"g": 1.0, "m/s^2": 1 / _STANDARD_GRAVITY}
_IN_DEGREES = {"rad": math.degrees(1.0), "rad/s": math.degrees(1.0)}


class _Stop(Exception):
    """SIGTERM or SIGHUP: the monitor ends as if asked to."""


@dataclass
class Tally:
    """What the monitor has seen since its start, and in the interval under way."""

    started: float = field(default_factory=time.monotonic)
    totals: dict[str, int] = field(default_factory=lambda: dict.fromkeys(KINDS + ("empty",), 0))
    interval: dict[str, int] = field(default_factory=lambda: dict.fromkeys(KINDS + ("empty",), 0))
    interval_started: float = field(default_factory=time.monotonic)
    diagnostics: int = 0
    last_diagnostic: str = ""
    last_packet_ms: int | None = None
    latest: dict[str, Any] = field(default_factory=dict)  # alternative -> its latest reading

    def add(self, entries: Sequence[tuple[int, Mapping[str, Any]]]) -> None:
        """Counts what take() returned; keeps the readings of the latest packet of each kind."""
        seen: set[str] = set()
        for timestamp, packet in reversed(entries):
            kind = packet.get("type", "empty")
            self.interval[kind] = self.interval.get(kind, 0) + 1
            if kind != "empty" and kind not in seen:
                seen.add(kind)
                self.latest.update(packet)
                if self.last_packet_ms is None or timestamp > self.last_packet_ms:
                    self.last_packet_ms = timestamp

    def heard(self, text: str) -> None:
        """Counts the diagnostic lines in ``text``, what the reader wrote to descriptor 2."""
        lines = text.splitlines()
        self.diagnostics += text.count("\n")
        if lines and lines[-1].strip():
            self.last_diagnostic = lines[-1].strip()

    def summary(self, now: float) -> dict[str, Any]:
        """The figures of the interval that ends now, as the JSON object; starts the next."""
        seconds = max(now - self.interval_started, 1e-9)
        for kind, number in self.interval.items():
            self.totals[kind] = self.totals.get(kind, 0) + number
        rates = {kind: round(number / seconds, 1) for kind, number in self.interval.items() if kind != "empty"}
        empty_rate = round(self.interval.get("empty", 0) / seconds, 1)
        self.interval = dict.fromkeys(self.interval, 0)
        self.interval_started = now
        attitude = _first(self.latest, ATTITUDE)
        status = self.latest.get("FilterStatus")
        return {
            "elapsed_s": round(now - self.started, 3),
            "rates_per_s": rates,
            "empty_per_s": empty_rate,
            "packets": {kind: number for kind, number in self.totals.items() if kind != "empty"},
            "empty": self.totals.get("empty", 0),
            "diagnostics": self.diagnostics,
            "last_diagnostic": self.last_diagnostic or None,
            "attitude_source": attitude[0] if attitude else None,
            "attitude_deg": {angle: _in(attitude[0], angle, attitude[1][angle], _IN_DEGREES)
                             for angle in ANGLES} if attitude else None,
            "filter_state": status["filter_state"] if status else None,
            "acceleration_g": _magnitude(self.latest, ACCELERATION, _IN_G),
            "angular_rate_deg_s": _magnitude(self.latest, ANGULAR_RATE, _IN_DEGREES),
            "since_last_packet_s": None if self.last_packet_ms is None
            else round(max(time.time() * 1000 - self.last_packet_ms, 0) / 1000, 3),
        }


def _first(latest: Mapping[str, Any], sources: tuple[str, ...]) -> tuple[str, Mapping[str, Any]] | None:
    return next(((source, latest[source]) for source in sources if source in latest), None)


def _in(alternative: str, name: str, value: float, factors: Mapping[str, float]) -> float | None:
    """A value in the display unit, from the unit the device sends it in (None: not known)."""
    factor = factors.get(unit_of(alternative, name))
    return None if factor is None or not math.isfinite(value) else round(value * factor, 4)


def _magnitude(latest: Mapping[str, Any], sources: tuple[str, ...], factors: Mapping[str, float]) -> float | None:
    found = _first(latest, sources)
    if found is None:
        return None
    source, reading = found
    return _in(source, "x", math.sqrt(sum(reading[axis] ** 2 for axis in "xyz")), factors)


# --- what is shown -------------------------------------------------------------------------

def _number(value: float | None, form: str, missing: str = "-") -> str:
    return missing if value is None else format(value, form)


def plain_line(figures: Mapping[str, Any]) -> str:
    """One line per interval, for a pipe or a log."""
    rates = "  ".join(f"{kind} {rate:,.0f}/s" for kind, rate in figures["rates_per_s"].items())
    parts = [f"{figures['elapsed_s']:7.1f} s", rates, f"empty {figures['empty_per_s']:,.0f}/s",
             f"diagnostics {figures['diagnostics']:,}"]
    angles = figures["attitude_deg"]
    if angles:
        parts.append(" ".join(f"{angle} {_number(angles[angle], '+.1f')}" for angle in ANGLES) + " deg")
    parts.append(f"filter state {_number(figures['filter_state'], 'd')}")
    parts.append(f"|acc| {_number(figures['acceleration_g'], '.3f')} g")
    parts.append(f"|rate| {_number(figures['angular_rate_deg_s'], '.1f')} deg/s")
    parts.append(f"last packet {_number(figures['since_last_packet_s'], '.3f', 'never')}"
                 f"{' s ago' if figures['since_last_packet_s'] is not None else ''}")
    return "  ".join(parts)


def _bar(degrees: float | None, half_range: float, width: int = 25) -> str:
    """[----+--|------]: the centre mark, and the value's place between -half_range and +half_range."""
    cells = ["-"] * width
    cells[width // 2] = "+"
    if degrees is not None:
        place = round((max(-half_range, min(half_range, degrees)) + half_range) / (2 * half_range) * (width - 1))
        cells[place] = "#"
    return "[" + "".join(cells) + "]"


def _horizon(roll: float | None, pitch: float | None, width: int = 23, height: int = 7) -> list[str]:
    """The horizon as seen from the device: tilted by the roll, moved by the pitch (the sky
    above, '=' the ground below)."""
    rows = [[" "] * width for _ in range(height)]
    if roll is not None and pitch is not None:
        slope = math.tan(math.radians(max(-80.0, min(80.0, roll))))
        middle = (height - 1) / 2 + pitch / 90 * (height - 1) / 2
        for x in range(width):
            # banked right, the horizon's right end rises; a cell is about twice as tall as wide
            level = middle - slope * (x - (width - 1) / 2) * 0.5
            for y in range(height):
                if y > level + 0.5:
                    rows[y][x] = "="
                elif abs(y - level) <= 0.5:
                    rows[y][x] = "-"
    rows[height // 2][width // 2] = "+"
    return ["|" + "".join(row) + "|" for row in rows]


def screen_lines(figures: Mapping[str, Any], device: str, baud_rate: int) -> list[str]:
    """The full view, within 80 columns and 24 lines."""
    angles = figures["attitude_deg"] or dict.fromkeys(ANGLES)
    source = figures["attitude_source"] or "no attitude reading yet"
    since = figures["since_last_packet_s"]
    lines = [
        f"tiltwick-monitor  {device} at {baud_rate} baud   {figures['elapsed_s']:.0f} s   q quits",
        "",
        "packets  " + "   ".join(f"{kind} {rate:,.0f}/s" for kind, rate in figures["rates_per_s"].items())
        + f"   empty {figures['empty_per_s']:,.0f}/s",
        "total    " + "   ".join(f"{kind} {number:,}" for kind, number in figures["packets"].items())
        + f"   empty {figures['empty']:,}   diagnostics {figures['diagnostics']:,}",
        f"last packet  {'never' if since is None else f'{since:.3f} s ago'}",
        "",
        f"attitude ({source})",
    ]
    horizon = _horizon(angles["roll"], angles["pitch"])
    bars = [f"{angle:>5} {_number(angles[angle], '+8.2f', '       -')} deg "
            f"{_bar(angles[angle], 180.0 if angle != 'pitch' else 90.0)}" for angle in ANGLES]
    for i, picture in enumerate(horizon):
        lines.append(f"{bars[i - 2] if 2 <= i < 5 else '':48}  {picture}")
    lines += [
        "",
        f"filter state  {_number(figures['filter_state'], 'd')}",
        f"|acceleration|  {_number(figures['acceleration_g'], '.3f')} g     "
        f"|angular rate|  {_number(figures['angular_rate_deg_s'], '.2f')} deg/s",
        "",
        f"last diagnostic: {figures['last_diagnostic'] or '-'}",
    ]
    return lines


class _Terminal:
    """The screen drawn in place: the alternate screen, no cursor, keys read one by one
    without echo. ``restore()`` undoes all of it and may run more than once."""

    def __init__(self) -> None:
        self._saved: list[Any] | None = None
        self._entered = False

    def __enter__(self) -> _Terminal:
        if sys.stdin.isatty():
            self._saved = termios.tcgetattr(sys.stdin.fileno())
            tty.setcbreak(sys.stdin.fileno(), termios.TCSANOW)  # Ctrl-C still interrupts
        self._entered = True
        self._write("\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J")
        return self

    def __exit__(self, *_: object) -> None:
        self.restore()

    def restore(self) -> None:
        if self._entered:
            self._entered = False
            with contextlib.suppress(OSError, ValueError):
                self._write("\x1b[?25h\x1b[?1049l")
        if self._saved is not None:
            with contextlib.suppress(OSError, termios.error):
                termios.tcsetattr(sys.stdin.fileno(), termios.TCSADRAIN, self._saved)
            self._saved = None

    def keys(self) -> int | None:
        """The descriptor keys come from (None: not a terminal)."""
        return sys.stdin.fileno() if self._saved is not None else None

    def draw(self, lines: list[str]) -> None:
        width, height = os.get_terminal_size(sys.stdout.fileno())
        shown_lines = [line[:width] for line in lines[:height]]
        self._write("\x1b[H" + "\x1b[K\r\n".join(shown_lines) + "\x1b[K\x1b[J")

    @staticmethod
    def _write(text: str) -> None:
        sys.stdout.write(text)
        sys.stdout.flush()


@contextlib.contextmanager
def _stopping_signals() -> Iterator[None]:
    """SIGTERM and SIGHUP end the monitor through the same ways out as a 'q'."""
    def stop(_number: int, _frame: FrameType | None) -> None:
        raise _Stop()
    previous = {number: signal.signal(number, stop) for number in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


@contextlib.contextmanager
def _diagnostics_caught() -> Iterator[int]:
    """Descriptor 2 points at a pipe meanwhile; yields the pipe's reading end (non-blocking)."""
    reading, writing = os.pipe2(os.O_CLOEXEC)
    try:
        os.set_blocking(reading, False)
        with redirected(((2, writing),)):
            yield reading
    finally:
        os.close(reading)
        os.close(writing)


def _reader_ended(caught: int, seconds: float = 0.25) -> None:
    """Waits a moment for the reader thread to see its client gone, which it does at its next
    packet and reports on descriptor 2, so that the report goes into the pipe, not onto the
    terminal after it; a silent line never gets there, and is not waited for longer."""
    deadline = time.monotonic() + seconds
    heard = ""
    while _GONE not in heard and (left := deadline - time.monotonic()) > 0:
        select.select([caught], [], [], left)
        heard = (heard + _drain(caught))[-200:]


def _drain(fd: int) -> str:
    chunks = []
    with contextlib.suppress(BlockingIOError):
        while chunk := os.read(fd, 65536):
            chunks.append(chunk)
    return b"".join(chunks).decode(errors="replace")


def monitor(device: str, baud_rate: int, seconds: float, interval: float, form: str) -> int:
    """Watches the device until ``seconds`` have passed (0: until stopped); ``form`` is
    "screen", "plain" or "json"."""
    try:
        fd = open_line(device, baud_rate)  # a line that is missing, held or refused: one line now
    except OSError as error:
        raise CommandError(why_not_opened(device, error)) from None
    close_line(fd)
    tally = Tally()
    end = tally.started + seconds if seconds > 0 else math.inf
    try:
        with _stopping_signals(), contextlib.ExitStack() as stack:
            caught = stack.enter_context(_diagnostics_caught())
            keys: int | None = None
            if form == "screen":
                terminal = stack.enter_context(_Terminal())
                keys = terminal.keys()

                def show(figures: Mapping[str, Any]) -> None:
                    terminal.draw(screen_lines(figures, shown(device), baud_rate))
            else:
                def show(figures: Mapping[str, Any]) -> None:
                    print(json.dumps(figures) if form == "json" else plain_line(figures), flush=True)
            # The loop reaches the client through this list only: emptied, it lets the client go
            # on every way out, although an exception's traceback keeps the loop's frame.
            client = [tiltwick.BufferedAHRSClient(device, baud_rate, _QUEUE, False)]
            try:
                _watch(client, tally, caught, keys, end, interval, show)
            finally:
                client.clear()  # its reader thread ends at its next packet
                _reader_ended(caught)
    except _Stop:
        pass
    except _OpenFailed as failure:
        raise CommandError(f"cannot open {shown(device)}: {failure}") from None
    return 0


class _OpenFailed(Exception):
    """The reader thread could not open the line (what it wrote)."""


def _watch(client: list[tiltwick.BufferedAHRSClient], tally: Tally, caught: int, keys: int | None,
           end: float, interval: float, show: Callable[[Mapping[str, Any]], None]) -> None:
    """The monitor's loop: drains the queue and the diagnostics (from ``caught``), shows the
    figures each interval, and returns at the end, or at a 'q' from ``keys``."""
    due = tally.started + interval
    waits = [caught] if keys is None else [caught, keys]
    while True:
        now = time.monotonic()
        ready, _, _ = select.select(waits, [], [], max(0.0, min(due, end, now + _TAKE_EVERY) - now))
        text = _drain(caught)
        if text:
            tally.heard(text)
            if _OPEN_FAILED in text:
                raise _OpenFailed(text.strip().splitlines()[-1])
        if keys in ready and b"q" in os.read(keys, 64).lower():
            return
        tally.add(client[0].take())
        now = time.monotonic()
        if now >= due or now >= end:
            show(tally.summary(now))
            due = max(due + interval, now + interval / 2)
        if now >= end:
            return


def main(argv: list[str] | None = None) -> int:
    ap = command_parser(
        "tiltwick-monitor",
        ["tiltwick-monitor /dev/ttyACM0", "tiltwick-monitor /dev/ahrs 115200 --plain -s 10",
         "tiltwick-monitor /dev/ttyACM0 --json | jq .rates_per_s"],
        "On a terminal the view is redrawn in place (q or Ctrl-C quits); through a pipe, or with "
        "--plain, one line per interval; with --json one JSON object per interval.")
    line_arguments(ap)
    ap.add_argument("-i", "--interval", metavar="S", type=positive, default=1.0,
                    help="seconds between updates (default: 1)")
    seconds_option(ap)
    forms = ap.add_mutually_exclusive_group()
    forms.add_argument("--plain", action="store_true", help="one plain line per interval, even on a terminal")
    forms.add_argument("--json", action="store_true", help="one JSON object per interval (JSON Lines)")
    a = ap.parse_args(argv)
    form = "json" if a.json else "plain" if a.plain or not sys.stdout.isatty() else "screen"
    return run("tiltwick-monitor", lambda: monitor(a.device, a.baud_rate, a.seconds, a.interval, form))


if __name__ == "__main__":
    sys.exit(main())
