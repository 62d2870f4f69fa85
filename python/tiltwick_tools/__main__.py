"""``python -m tiltwick_tools COMMAND [ARGUMENTS]`` runs any tiltwick-* command (named with or
without its ``tiltwick-`` prefix), where the console scripts are not on the PATH; alone, it lists
the commands."""

from __future__ import annotations

import importlib
import sys

from .cli import COMMANDS, EXIT_USAGE, version

_PROG = "python -m tiltwick_tools"


def _listing() -> str:
    width = max(map(len, COMMANDS))
    lines = [f"usage: {_PROG} COMMAND [ARGUMENTS]   (COMMAND --help for its own)", "", "commands:"]
    lines += [f"  {name:<{width}}  {command.summary}" for name, command in COMMANDS.items()]
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if not args or args[0] in ("-h", "--help"):
        print(_listing())
        return 0
    if args[0] in ("-V", "--version"):
        print(f"tiltwick_tools {version()}")
        return 0
    name = args[0] if args[0].startswith("tiltwick-") else f"tiltwick-{args[0]}"
    if name not in COMMANDS:
        print(f"{_listing()}\n{_PROG}: error: no command {args[0]!r}", file=sys.stderr)
        return EXIT_USAGE
    command = COMMANDS[name]
    function = getattr(importlib.import_module(f"{__package__}.{command.module}"), command.function)
    status: int = function(args[1:])
    return status


if __name__ == "__main__":
    sys.exit(main())
