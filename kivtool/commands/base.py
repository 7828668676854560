"""What every verb shares: the error a user can act on, the one-line
messages, the argument parser that reports a usage error in one line, and
the folder outputs go to."""

from __future__ import annotations

import argparse
import os
import sys

from kivtool.text import printable

# Every start of the tool imports this module: what is imported for typing
# alone would cost `kivtool info` a tenth of its time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path
    from typing import Any, Callable, NoReturn, Optional, Type

PROG = "kivtool"
# No package index serves pykiv yet: the tool is installed from a checkout.
INSTALL_HINT = 'python -m pip install ".[tool]" in the pykiv checkout (inside a virtual environment)'


class ToolError(Exception):
    """A failure the user can act on: printed as one line, exit status 1."""


def terminal_width() -> int:
    """The terminal's width as shutil.get_terminal_size gives it (COLUMNS,
    else the terminal of standard output, else 80), without importing
    shutil and the compression modules it brings."""
    try:
        columns = int(os.environ.get("COLUMNS", "0"))
    except ValueError:
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns if columns > 0 else 80


class HelpFormatter(argparse.HelpFormatter):
    """argparse's formatter, measuring the terminal without shutil: argparse
    makes one for every option it declares, and shutil's imports would cost
    `kivtool info` a tenth of its time."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        if len(args) < 4 and kwargs.get("width") is None:
            kwargs["width"] = terminal_width() - 2
        super().__init__(*args, **kwargs)


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line and the way to get help."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", HelpFormatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        self.exit(2, printable(f"{self.prog}: error: {message} (see {self.prog} --help)") + "\n")


def regenerable_outputs(run: Callable[[argparse.Namespace], int]) -> Callable[[argparse.Namespace], int]:
    """`run` for a verb whose outputs can be made again from their sources:
    each is written whole or not at all, without a sync of its own, and all
    are synced once at the end (see kivtool.files.regenerable)."""

    def run_regenerable(args: argparse.Namespace) -> int:
        from kivtool import files

        try:
            with files.regenerable():
                return run(args)
        except files.NotSynced as error:
            raise ToolError(str(error)) from None

    return run_regenerable


def fail(message: str) -> None:
    print(printable(f"{PROG}: {message}"), file=sys.stderr)


def warn(message: str) -> None:
    print(printable(f"{PROG}: warning: {message}"), file=sys.stderr)


def set_text(
    parser: argparse.ArgumentParser,
    description: str,
    epilog: str,
    formatter_class: Optional[Type[argparse.HelpFormatter]] = None,
) -> None:
    """The texts of a verb's --help, set on the parser made for the verb."""
    parser.description = description
    parser.epilog = epilog
    if formatter_class is not None:
        parser.formatter_class = formatter_class


def make_output_dir(directory: Path) -> None:
    try:
        directory.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise ToolError(f"{directory}: cannot create the output folder: {error.strerror or error}") from None


def report_messages(animation: Any) -> None:
    """The module's complaints about a file that still loaded, then what
    is wrong with the animation itself (cut short, indices beyond the
    palette), one warning line each."""
    shown = animation.messages[:3]
    for message in shown:
        warn(f"{animation.path}: {message}")
    if len(animation.messages) > len(shown):
        warn(f"{animation.path}: {len(animation.messages) - len(shown)} more problems in the data")
    for warning in animation.warnings:
        warn(f"{animation.path}: {warning}")
