"""The kivtool command line: parses the words it is given and runs the verb
they name.

Each verb lives in its own module under `kivtool.commands` (the table
`commands_dict` names them); this module builds the parser, hands the chosen
verb's module its part of it, and turns what a verb raises into one line
and an exit status.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from importlib import import_module
from importlib.util import find_spec

from kivtool import __version__
from kivtool.commands import commands_dict
from kivtool.commands.base import INSTALL_HINT, PROG, Parser, ToolError, fail

# Every start of the tool imports this module: what is imported for typing
# alone would cost `kivtool info` a tenth of its time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import List, Optional, Sequence

# Modules the tool needs beyond the standard library, with the package that brings each.
REQUIRED_MODULES = [
    ("pykiv", "pykiv"),
    ("PIL", "Pillow"),
    ("png", "pypng"),
    ("numpy", "numpy"),
    ("tqdm", "tqdm"),
    ("pebble", "pebble"),
]


DESCRIPTION = (
    "Look at Harbek animation files (.kiv), export them as PNG frames, sprite "
    "sheets or animated images, and convert whole game folders."
)


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised wherever the tool is, so that it stops the way it
    stops on Ctrl-C: output files whole or absent, workers ended."""


# Exit statuses of a program stopped by SIGINT and SIGTERM, as shells report them.
INTERRUPTED_STATUS = 128 + signal.SIGINT


TERMINATED_STATUS = 128 + signal.SIGTERM


def raise_terminated(signum: int, frame: object) -> None:
    raise Terminated()


def missing_modules() -> List[str]:
    """The packages of REQUIRED_MODULES that cannot be imported; found
    without importing them, which would slow every start."""
    missing = []
    for module, package in REQUIRED_MODULES:
        try:
            found = sys.modules.get(module, True) is not None and find_spec(module) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            missing.append(package)
    return missing


def build_parser(argv: Optional[Sequence[str]] = None) -> argparse.ArgumentParser:
    """The parser for `argv`. Only the verb that `argv` names gets its
    options: declaring a verb's options imports the modules it works with,
    which would slow every other verb's start. Every verb is listed."""
    parser = Parser(prog=PROG, description=DESCRIPTION)

    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    # Naming the program spares argparse working it out with a help
    # formatter, which would import shutil to measure the terminal.
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser, prog=PROG)
    commands.required = True
    words = list(sys.argv[1:] if argv is None else argv)
    # Before the verb come only the options that take no value.
    chosen = next((word for word in words if not word.startswith("-")), None)
    for name, command in commands_dict.items():
        verb = commands.add_parser(name, help=command.summary)
        if name == chosen:
            import_module(command.module_path).add_command(verb)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one kivtool command; returns the exit status."""
    missing = missing_modules()
    if missing:
        fail(f"needs {', '.join(missing)}, which are not installed; install them with: {INSTALL_HINT}")
        return 1
    parser = build_parser(argv)
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # --help, --version and usage errors
        return stop.code if isinstance(stop.code, int) else 1
    previous = None
    if hasattr(signal, "SIGTERM"):
        try:
            previous = signal.signal(signal.SIGTERM, raise_terminated)
        except ValueError:  # not the main thread: SIGTERM keeps its meaning
            pass
    try:
        status: int = args.run(args)
        return status
    except ToolError as error:
        fail(str(error))
        return 1
    except MemoryError:
        fail("stopped: not enough memory (a limit set on this process, or the machine's)")
        return 1
    except Terminated:
        fail("stopped by SIGTERM")
        return TERMINATED_STATUS
    except KeyboardInterrupt:
        fail("interrupted")
        return INTERRUPTED_STATUS
    except BrokenPipeError:  # the reader of our output went away (`kivtool info x | head`)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
