"""The tiltwick-streams command: switches the device's sensor and filter streams on or off.

``off`` sends exactly what ``AHRSClient.configure()`` sends: set to idle, sensor stream off,
filter stream off. ``on`` switches both streams on and resumes the device from idle, which is
the way back from ``configure()``. The line is set up as the module sets it up; nothing else is
written to it. The device's acknowledgements are then awaited for up to a second; what the line
held before the commands went out is discarded first, so that an earlier answer is not taken for
one of these.
"""

from __future__ import annotations

import json
import os
import select
import sys
import time
from dataclasses import dataclass

from . import mip_wire as mw
from .cli import command_parser, line_arguments, run
from .files import CommandError, shown
from .access import why_not_opened
from .line import arrivals, close_line, discard_input, open_line

__all__ = ["Command", "SEQUENCES", "switch", "main"]

ANSWER_WAIT_S = 1.0


@dataclass(frozen=True)
class Command:
    name: str
    descriptor_set: int
    field_descriptor: int
    packet: bytes


SEQUENCES: dict[str, tuple[Command, ...]] = {
    "on": (
        Command("sensor stream on", mw.SETTINGS_COMMAND_SET, mw.STREAM_CONTROL,
                mw.stream_control(mw.STREAM_SELECTOR_SENSOR, True)),
        Command("filter stream on", mw.SETTINGS_COMMAND_SET, mw.STREAM_CONTROL,
                mw.stream_control(mw.STREAM_SELECTOR_FILTER, True)),
        Command("resume", mw.BASE_COMMAND_SET, mw.RESUME, mw.frame(mw.BASE_COMMAND_SET, mw.field(mw.RESUME))),
    ),
    "off": (
        Command("set to idle", mw.BASE_COMMAND_SET, mw.SET_TO_IDLE, mw.SET_IDLE),
        Command("sensor stream off", mw.SETTINGS_COMMAND_SET, mw.STREAM_CONTROL, mw.SENSOR_STREAM_OFF),
        Command("filter stream off", mw.SETTINGS_COMMAND_SET, mw.STREAM_CONTROL, mw.FILTER_STREAM_OFF),
    ),
}
assert b"".join(c.packet for c in SEQUENCES["off"]) == mw.CONFIGURE_SEQUENCE


def _write_all(fd: int, data: bytes, deadline: float) -> None:
    view = memoryview(data)
    poller = select.poll()
    poller.register(fd, select.POLLOUT)
    while view:
        left = deadline - time.monotonic()
        if left <= 0 or not poller.poll(left * 1000):
            raise OSError("the line does not take the commands (is the device there?)")
        try:
            view = view[os.write(fd, view):]
        except BlockingIOError:
            continue


def _answers(fd: int, commands: tuple[Command, ...], wait: float) -> list[int | None]:
    """The error code each command was answered with (0: acknowledged), None where no answer
    came within ``wait`` seconds. Replies are matched to commands in order."""
    codes: list[int | None] = [None] * len(commands)
    parser = mw.FrameParser()
    for data in arrivals(fd, wait):
        for frame in parser.feed(data):
            for field, body in mw.parse_fields(frame.payload):
                if field != mw.ACK_FIELD_DESCRIPTOR or len(body) < 2:
                    continue
                for i, command in enumerate(commands):
                    if (codes[i] is None and command.descriptor_set == frame.descriptor_set
                            and command.field_descriptor == body[0]):
                        codes[i] = body[1]
                        break
        if None not in codes:
            break
    return codes


def switch(device: str | bytes, baud_rate: int, state: str, wait: float = ANSWER_WAIT_S,
           as_json: bool = False) -> int:
    """Sends the ``state`` ("on" or "off") sequence and reports each command's answer on
    standard output, as lines or as one JSON object; returns the exit status."""
    commands = SEQUENCES[state]
    try:
        fd = open_line(device, baud_rate)
    except OSError as error:
        raise CommandError(why_not_opened(device, error)) from None
    try:
        try:
            discard_input(fd)
            _write_all(fd, b"".join(c.packet for c in commands), time.monotonic() + wait)
        except OSError as error:
            raise CommandError(f"{shown(device)}: {error}") from None
        codes = _answers(fd, commands, wait)
    finally:
        close_line(fd)
    answers = [("no answer" if code is None else "acknowledged" if code == 0 else "refused") for code in codes]
    if as_json:
        print(json.dumps({
            "device": os.fsdecode(device), "baud_rate": baud_rate, "state": state,
            "acknowledged": all(code == 0 for code in codes),
            "commands": [{"name": command.name, "descriptor_set": command.descriptor_set,
                          "field_descriptor": command.field_descriptor, "answer": answer, "error_code": code}
                         for command, answer, code in zip(commands, answers, codes)]}))
    else:
        for command, answer, code in zip(commands, answers, codes):
            detail = f" (error code 0x{code:02x})" if answer == "refused" else ""
            print(f"{command.name} ({command.descriptor_set:02X} {command.field_descriptor:02X}): {answer}{detail}")
    if all(code == 0 for code in codes):
        return 0
    if all(code is None for code in codes):
        print(f"tiltwick-streams: nothing answered within {wait:g} s: a wrong baud rate, or a device that does "
              f"not answer commands? `tiltwick-doctor {shown(device)} {baud_rate}` shows what the line carries",
              file=sys.stderr)
    else:
        print("tiltwick-streams: the device did not take every command; it may not support them in its "
              "present state", file=sys.stderr)
    return 1


def main(argv: list[str] | None = None) -> int:
    ap = command_parser(
        "tiltwick-streams",
        ["tiltwick-streams /dev/ttyACM0 on", "tiltwick-streams /dev/ahrs 115200 off",
         "tiltwick-streams /dev/ttyACM0 on --json | jq .acknowledged"],
        "'off' sends exactly the three commands of AHRSClient.configure() (set to idle, sensor stream "
        "off, filter stream off); 'on' switches both streams on and resumes the device from idle, which "
        "brings back a device that configure() stopped. Nothing else is written to the line. It then "
        "waits up to a second for each command's answer; exit 0 only when all three were acknowledged.")
    line_arguments(ap)
    ap.add_argument("state", metavar="STATE", choices=sorted(SEQUENCES), help="on or off")
    ap.add_argument("--json", action="store_true", help="the answers as one JSON object")
    a = ap.parse_args(argv)
    return run("tiltwick-streams", lambda: switch(os.fsencode(a.device), a.baud_rate, a.state, as_json=a.json))


if __name__ == "__main__":
    sys.exit(main())
