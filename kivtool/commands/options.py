"""Options and argument types that several verbs take, declared here so
that they are named and explained the same way everywhere."""

from __future__ import annotations

import argparse

from kivtool.text import quoted

# Every start of the tool imports this module: what is imported for typing
# alone would cost `kivtool info` a tenth of its time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path
    from typing import Any, Callable, Optional


def path_argument(text: str) -> Path:
    """An argparse type: a path. pathlib is imported by the verbs that take
    one; `info` keeps its paths as text and starts without it."""
    from pathlib import Path

    return Path(text)


def add_palette_option(parser: argparse.ArgumentParser, convert: Callable[[str], Any] = path_argument) -> None:
    parser.add_argument(
        "--palette",
        metavar="PAL",
        type=convert,
        help="palette file to use instead of the one the animation names "
        "(by default it is searched for under the animation's folder "
        "and each folder above it)",
    )


def add_project_root_option(parser: argparse.ArgumentParser) -> None:
    """--project-root, for the verbs that write an animation file: the
    palette's location is stored relative to it."""
    parser.add_argument(
        "--project-root",
        metavar="ROOT",
        type=path_argument,
        required=True,
        help="the game's folder that the palette's stored place is relative to",
    )


def add_output_option(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument(
        "-o",
        "--output",
        metavar="DIR",
        type=path_argument,
        required=True,
        help=f"folder for {what}; created when missing",
    )


def whole_number_from(minimum: int, maximum: Optional[int] = None) -> Callable[[str], int]:
    """An argparse type: a whole number of at least `minimum` (and at most
    `maximum`, when given)."""

    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {quoted(text)}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be {minimum} or more: {quoted(text)}")
        if maximum is not None and value > maximum:
            raise argparse.ArgumentTypeError(f"must be {maximum} or less: {quoted(text)}")
        return value

    return convert


positive_int = whole_number_from(1)


non_negative_int = whole_number_from(0)


palette_index = whole_number_from(0, 255)


def positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {quoted(text)}") from None
    if not 0 < value <= 1000:
        raise argparse.ArgumentTypeError(f"must be above 0 and at most 1000: {quoted(text)}")
    return value


def compression_level(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 9:
        raise argparse.ArgumentTypeError(f"must be a whole number from 0 to 9: {quoted(text)}")
    return value
