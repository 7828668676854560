"""`kivtool palette`: game palette files to and from the palette formats of
pixel editors."""

from __future__ import annotations

import argparse

from kivtool import palettes
from kivtool.commands.base import Parser, ToolError, set_text, warn
from kivtool.commands.options import path_argument, positive_int, whole_number_from
from kivtool.memory import DEFAULT_MAX_PIXELS
from kivtool.text import printable

PALETTE_DESCRIPTION = """\
Converts between the game's palette files and the palette formats of pixel
editors:

  gpl    GIMP palette (also read by Aseprite, Krita, Inkscape); no alpha
  jasc   JASC-PAL, Paint Shop Pro's .pal (also Aseprite, Pro Motion); no alpha
  act    Adobe colour table (Photoshop); alpha only as its transparent index
  hex    one RRGGBB line per colour, RRGGBBAA when any is not opaque
  png    a swatch of 16 x 16 cells in index order, RGBA, that any image
         program opens; its colour count is kept in the image

The format comes from the file name's extension unless --as names it; a .pal
to import is read as JASC when it starts with JASC-PAL and as a game palette
otherwise. export writes the palette file's own colours (its count, not the
256 that loading pads to); formats without alpha name the entries that lose
it. png and hex keep everything: exported in either and imported again, a
palette file comes back byte for byte (its colour-model field written as 0).
import writes a game palette file: the count, colour model 0, R, G, B, A."""


def add_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description=PALETTE_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="examples:\n"
        "  kivtool palette export game/pal/ball.pal -o ball.gpl\n"
        "  kivtool palette import ball.hex -o game/pal/ball.pal",
    )
    actions = parser.add_subparsers(dest="action", metavar="ACTION", parser_class=Parser)
    actions.required = True
    formats = "|".join(["gpl", "jasc", "act", "hex", "png"])

    exporting = actions.add_parser(
        "export",
        help="write a game palette file in an editor's format",
        description="Writes the game palette file PAL to OUT in FORMAT.",
    )
    exporting.add_argument("palette", metavar="PAL", type=path_argument, help="the game's palette file")
    exporting.add_argument("-o", "--output", metavar="OUT", type=path_argument, required=True, help="the file to write")
    exporting.add_argument(
        "--as",
        dest="form",
        metavar="FORMAT",
        choices=formats.split("|"),
        help=f"{formats} (default: from OUT's extension; .pal is jasc)",
    )
    exporting.add_argument(
        "--cell",
        type=whole_number_from(1, 256),
        default=16,
        metavar="N",
        help="png: pixels per side of each cell, 1 to 256 (default 16)",
    )
    exporting.set_defaults(run=run_palette_export)

    importing = actions.add_parser(
        "import",
        help="make a game palette file from an editor's palette",
        description="Writes the palette in IN as the game palette file OUT.",
    )
    importing.add_argument("source", metavar="IN", type=path_argument, help="the palette to read")
    importing.add_argument(
        "-o", "--output", metavar="OUT", type=path_argument, required=True, help="the game palette file to write"
    )
    importing.add_argument(
        "--as",
        dest="form",
        metavar="FORMAT",
        choices=formats.split("|"),
        help=f"{formats} (default: from IN's extension)",
    )
    importing.add_argument(
        "--max-pixels",
        metavar="N",
        type=positive_int,
        default=DEFAULT_MAX_PIXELS,
        help=f"png: refuse a swatch of more than N pixels, before it is decoded (default {DEFAULT_MAX_PIXELS})",
    )
    importing.set_defaults(run=run_palette_import)


def run_palette_export(args: argparse.Namespace) -> int:
    try:
        form, lost = palettes.export_palette(args.palette, args.output, args.form, args.cell)
    except palettes.PaletteError as error:
        raise ToolError(str(error)) from None
    if lost:
        warn(f"{args.output}: {form} has no alpha: entries {palettes.ranges(lost)} lose theirs and are opaque there")
    print(printable(str(args.output)))
    return 0


def run_palette_import(args: argparse.Namespace) -> int:
    try:
        _, count, warned = palettes.import_palette(args.source, args.output, args.form, args.max_pixels)
    except palettes.PaletteError as error:
        raise ToolError(str(error)) from None
    for line in warned:
        warn(line)
    print(printable(f"wrote {args.output}: {count} colours"))
    return 0
