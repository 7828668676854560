"""`kivtool recolour`: an animation written again with another palette."""

from __future__ import annotations

import argparse

from kivtool.commands.base import ToolError, set_text
from kivtool.commands.options import add_project_root_option, path_argument
from kivtool.text import printable


def add_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description="Writes ANIMATION again as OUT with the palette PAL. --by index keeps every pixel's "
        "index and stores PAL's location (a palette swap); --by colour gives each index the entry of PAL "
        "nearest its colour and reports the largest colour error. OUT is replaced only by a file that "
        "loads back as meant.",
        epilog="example: kivtool recolour game/anim/knight.kiv -o game/anim/knight_red.kiv "
        "--palette game/pal/red.pal --project-root game",
    )
    parser.add_argument("animation", metavar="ANIMATION", type=path_argument, help="the animation to recolour")
    parser.add_argument("-o", "--output", metavar="OUT", type=path_argument, required=True, help="the file to write")
    parser.add_argument("--palette", metavar="PAL", type=path_argument, required=True, help="the new palette file")
    add_project_root_option(parser)
    parser.add_argument(
        "--by",
        choices=["index", "colour"],
        default="index",
        help="index: keep the indices (default); colour: the nearest colour of the new palette",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from kivtool import importer, recolour
    from kivtool.formats import ImportRefused

    try:
        done = recolour.recolour(args.animation, args.output, args.palette, args.project_root, args.by)
    except ImportRefused as error:
        raise ToolError(str(error)) from None
    except MemoryError:
        raise ToolError(f"{args.output}: not written: not enough memory for this animation") from None
    except importer.VerificationFailed as error:
        raise ToolError(
            f"{args.output}: not written: the recoloured file does not read back as meant ({error}); "
            "this is a fault in kivtool, please report it"
        ) from None
    report = done.report()
    if report is not None:
        print(printable(f"{args.output}: {report}"))
    print(printable(f"wrote {args.output}: {done.frames} frames, palette {args.palette}, verified"))
    return 0
