"""MkDocs hook: the reference tables are made from the code as the pages are built, so that
they cannot drift from it. A page asks for one with a marker on a line of its own:

    <!-- generated: readings -->          the reading alternatives, their fields, types and units
    <!-- generated: usage tiltwick-csv --> a command's --help, from its own parser
    <!-- generated: monitor-screen -->    docs/monitor-screen.txt, made by docs/monitor_screenshot.py

The package must be importable by the interpreter that runs MkDocs (scripts/docs.sh installs it).
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

from tiltwick_tools import mip_wire
from tiltwick_tools.cli import COMMANDS
from tiltwick_tools.units import unit_of

_MARKER = re.compile(r"^<!-- generated: ([\w-]+)(?: (\S+))? -->$", re.M)
_TYPES = {"f32": "float (single)", "f64": "float (double)", "u16": "int, 0 to 65535", "vf": '"Valid" or "Invalid"'}
_SETS = {mip_wire.SENSOR_SET: "sensor", mip_wire.FILTER_SET: "filter"}
_HERE = Path(__file__).resolve().parent


def readings_table() -> str:
    rows = ["| Alternative | Set, field | Key: type, unit |", "|---|---|---|"]
    for alternative in mip_wire.CATALOGUE.values():
        keys = "; ".join(f"`{name}`: {_TYPES[kind]}" + (f", {unit}" if (unit := unit_of(alternative.name, name)) else "")
                         for name, kind in alternative.fields)
        rows.append(f"| `{alternative.name}` | {_SETS[alternative.descriptor_set]} "
                    f"0x{alternative.descriptor_set:02X}, 0x{alternative.field_descriptor:02X} | {keys} |")
    return "\n".join(rows)


def usage(command: str) -> str:
    if command not in COMMANDS:
        raise ValueError(f"no command {command!r} (commands: {', '.join(COMMANDS)})")
    done = subprocess.run([sys.executable, "-m", "tiltwick_tools", command, "--help"], capture_output=True,
                          text=True, env=dict(os.environ, COLUMNS="100"), check=True)
    return "```text\n" + done.stdout.rstrip() + "\n```"


def monitor_screen() -> str:
    return "```text\n" + (_HERE / "monitor-screen.txt").read_text().rstrip() + "\n```"


def generated(kind: str, argument: str | None) -> str:
    if kind == "readings":
        return readings_table()
    if kind == "usage" and argument:
        return usage(argument)
    if kind == "monitor-screen":
        return monitor_screen()
    raise ValueError(f"unknown generated block {kind!r}")


def on_page_markdown(markdown: str, **_: Any) -> str:
    return _MARKER.sub(lambda m: generated(m.group(1), m.group(2)), markdown)
