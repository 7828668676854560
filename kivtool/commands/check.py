"""`kivtool check`: what is wrong with animation files, one line per problem,
for files and every animation under folders."""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import Dict, List, Optional, Union

from kivtool import _core
from kivtool.animation import LoadError, as_animation, open_animation, read_animation_file
from kivtool.commands.base import ToolError, set_text
from kivtool.commands.options import add_palette_option, path_argument
from kivtool.text import printable

CHECK_DESCRIPTION = """\
Reads each animation file named, and every *.kiv file under each folder
named, as the game would, and prints one line per problem: a file cut short
(the game shows what is missing as empty frames), a frame table that cannot
be read, frames painting indices beyond the palette's colours, a palette that
cannot be found or read, a file that cannot be read at all. Bytes after the
last frame are shown as a note: the game does not read them. The exit status
is 1 when any problem was found, else 0."""


def add_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description=CHECK_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example: kivtool check game/anim",
    )
    parser.add_argument("paths", metavar="PATH", type=path_argument, nargs="+", help="animation files or folders")
    add_palette_option(parser)
    parser.add_argument("--json", action="store_true", help="print one JSON list, an object per file")
    parser.set_defaults(run=run)


class Checked:
    __slots__ = ("path", "problems", "notes")

    def __init__(self, path: Path, problems: List[str], notes: Optional[List[str]] = None) -> None:
        self.path = path
        self.problems = problems  # sentences without the file name
        self.notes = notes if notes is not None else []

    def as_json(self) -> Dict[str, Union[str, List[str]]]:
        return {"file": str(self.path), "problems": self.problems, "notes": self.notes}


def without_name(path: Path, message: str) -> str:
    prefix = f"{path}: "
    return message[len(prefix) :] if message.startswith(prefix) else message


def check_file(path: Path, palette: Optional[Path] = None) -> Checked:
    """The problems of one animation file, and the notes about it."""
    try:
        data = read_animation_file(path)
        loaded = open_animation(path, palette, bytes(data))
    except LoadError as error:
        return Checked(path, [without_name(path, str(error))])
    animation = as_animation(path, loaded)
    problems = list(animation.messages) + animation.warnings
    notes = []
    end = _core.Animation.records_end(data)
    try:
        size = os.stat(path).st_size
    except OSError:
        size = len(data)
    if not animation.cut_short and size > end:
        notes.append(f"{size - end} bytes after the last frame, which the game does not read")
    return Checked(path, problems, notes)


def files_of(path: Path) -> List[Union[Path, Checked]]:
    """The animation files `path` names: itself, or every one under it,
    with what the walk had to leave out as problems."""
    if not os.path.isdir(path):
        return [path]
    from kivtool import batch

    found = batch.find_animations(path)
    items: List[Union[Path, Checked]] = list(found.files)
    items += [Checked(skipped, [reason]) for skipped, reason in found.skipped]
    return sorted(items, key=lambda item: str(item.path if isinstance(item, Checked) else item))


def run(args: argparse.Namespace) -> int:
    results: List[Checked] = []
    for path in args.paths:
        if not os.path.lexists(path):
            raise ToolError(f"{path}: no such file or folder")
        for item in files_of(path):
            results.append(item if isinstance(item, Checked) else check_file(item, args.palette))
    if args.json:
        import json

        print(json.dumps([result.as_json() for result in results], indent=2))
    else:
        for result in results:
            for problem in result.problems:
                print(printable(f"{result.path}: {problem}"))
            for note in result.notes:
                print(printable(f"{result.path}: note: {note}"))
    return 1 if any(result.problems for result in results) else 0
