"""The commands share one vocabulary: --version, --help with the exit statuses, usage errors
exiting 2, and each runs as `python -m tiltwick_tools NAME` and as its own module."""

import sys
from importlib import metadata

import pytest

import tiltwick_tools
from helpers import command, run
from tiltwick_tools.cli import COMMANDS

# A usage error for each command: a missing argument, or an option it does not have.
MISUSE = {"tiltwick-sim": ["--to-file", "x.bin", "-s", "0"], "tiltwick-record": ["/dev/null", "115200"],
          "tiltwick-dump": ["-n", "-1", "x.bin"], "tiltwick-csv": ["x.bin"], "tiltwick-plot": [],
          "tiltwick-streams": ["/dev/null", "115200"], "tiltwick-doctor": ["/dev/null", "fast"],
          "tiltwick-monitor": ["/dev/null", "-i", "0"]}


@pytest.fixture
def installed():
    """The installed distribution; the suite may run against a build tree without it."""
    try:
        return metadata.distribution("tiltwick")
    except metadata.PackageNotFoundError:
        pytest.skip(f"tiltwick is not installed for {sys.executable}")


@pytest.mark.parametrize("name", sorted(COMMANDS))
def test_every_command_answers_version_help_and_misuse_alike(name, tmp_path, installed):
    version = installed.version
    entry = COMMANDS[name]
    ways = [[command(name)], [sys.executable, "-m", "tiltwick_tools", name.removeprefix("tiltwick-")]]
    if entry.function == "main":  # a module of its own
        ways.append([sys.executable, "-m", f"tiltwick_tools.{entry.module}"])
    for way in ways:
        done = run([*way, "--version"], cwd=tmp_path)
        assert (done.returncode, done.stdout) == (0, f"{name} {version}\n"), (way, done.stderr)
    shown = run([command(name), "--help"])
    assert shown.returncode == 0 and "No options" not in shown.stdout
    assert shown.stdout.split("\n\n")[1] == entry.summary
    assert "exit status:\n  0 " in shown.stdout and "\n  130 " in shown.stdout and "\n  141 " in shown.stdout
    misused = run([command(name), *MISUSE[name]], cwd=tmp_path)
    assert misused.returncode == 2 and misused.stderr.startswith("usage: ") and not misused.stdout
    assert list(tmp_path.iterdir()) == []


def test_the_console_scripts_and_the_package_name_every_command(installed):
    scripts = {e.name: e.value for e in installed.entry_points
               if e.group == "console_scripts"}
    assert scripts == {name: f"tiltwick_tools.{c.module}:{c.function}" for name, c in COMMANDS.items()}
    listed = run([sys.executable, "-m", "tiltwick_tools"])
    assert listed.returncode == 0
    for name, entry in COMMANDS.items():
        assert f"  {name}  " in listed.stdout and entry.summary in listed.stdout
        assert f"``{name}``" in tiltwick_tools.__doc__
    unknown = run([sys.executable, "-m", "tiltwick_tools", "nonesuch"])
    assert unknown.returncode == 2 and "no command 'nonesuch'" in unknown.stderr
