"""`kivtool palette`: game palette files to and from the palette formats of
pixel editors."""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

from kivtool.commands.base import Parser, ToolError, regenerable_outputs, set_text, warn
from kivtool.commands.options import path_argument, positive_int, whole_number_from
from kivtool.files import NotReadable, read_regular
from kivtool.formats import game_palette, palette
from kivtool.formats.palette import PaletteError
from kivtool.memory import DEFAULT_MAX_PIXELS
from kivtool.text import printable

PALETTE_DESCRIPTION = """\
Converts between the game's palette files and the palette formats of pixel
editors:

{formats}

The format comes from the file name's extension unless --as names it; a .pal
to import is told by its content: JASC-PAL or RIFF by their headers, a game
palette by its size (4 + 4 bytes per colour); raw R, G, B triples need --as
act or --as vga6. --from-image takes the palette from images instead: a
palette PNG's own entries, or an image's colours (quantized when there are
more than --colors). export writes the palette file's own colours (its count, not the
256 that loading pads to); formats without alpha name the entries that lose
it. png and hex keep everything: exported in either and imported again, a
palette file comes back byte for byte (its colour-model field written as 0).
import writes a game palette file: the count, colour model 0, R, G, B, A.""".format(
    formats="\n".join(
        f"  {name:<6} " + form.summary.replace("\n", "\n" + " " * 9) for name, form in palette.FORMATS.items()
    )
)


def add_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description=PALETTE_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="examples:\n"
        "  kivtool palette export game/pal/ball.pal -o ball.gpl\n"
        "  kivtool palette import ball.hex -o game/pal/ball.pal\n"
        "  kivtool palette import walk.png run.png --from-image --colors 64 -o game/pal/hero.pal",
    )
    actions = parser.add_subparsers(dest="action", metavar="ACTION", parser_class=Parser)
    actions.required = True
    formats = "|".join(palette.WRITTEN)
    read_formats = "|".join(palette.FORMATS)

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
    exporting.set_defaults(run=regenerable_outputs(run_palette_export))

    importing = actions.add_parser(
        "import",
        help="make a game palette file from an editor's palette",
        description="Writes the palette in IN as the game palette file OUT.",
    )
    importing.add_argument(
        "sources", metavar="IN", nargs="+", type=path_argument, help="the palette to read (images with --from-image)"
    )
    importing.add_argument(
        "-o", "--output", metavar="OUT", type=path_argument, required=True, help="the game palette file to write"
    )
    importing.add_argument(
        "--as",
        dest="form",
        metavar="FORMAT",
        choices=read_formats.split("|"),
        help=f"{read_formats} (default: from IN's extension; a .pal by its content)",
    )
    importing.add_argument(
        "--from-image",
        action="store_true",
        help="take the palette from images: a palette PNG's own entries (several must share them), or the "
        "colours of RGB/RGBA images after a transparent entry 0",
    )
    importing.add_argument(
        "--colors",
        metavar="N",
        type=whole_number_from(1, palette.MAX_COLORS),
        default=palette.MAX_COLORS,
        help="--from-image: at most N entries; more colours are quantized (default 256)",
    )
    importing.add_argument(
        "--no-transparent",
        action="store_true",
        help="--from-image: no (0, 0, 0, 0) entry 0 before an image's colours",
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
        form, lost = export_palette(args.palette, args.output, args.form, args.cell)
    except PaletteError as error:
        raise ToolError(str(error)) from None
    if lost:
        warn(f"{args.output}: {form} has no alpha: entries {ranges(lost)} lose theirs and are opaque there")
    print(printable(str(args.output)))
    return 0


def run_palette_import(args: argparse.Namespace) -> int:
    if args.from_image:
        if args.form is not None:
            raise ToolError(f"{args.sources[0]}: --from-image reads images; --as names a palette file's format")
    elif len(args.sources) > 1:
        raise ToolError(f"{args.sources[1]}: one palette file is read at a time; images with --from-image")
    elif args.no_transparent or args.colors != palette.MAX_COLORS:
        option = "--no-transparent" if args.no_transparent else "--colors"
        raise ToolError(f"{args.sources[0]}: {option} is for --from-image")
    moved = None
    try:
        if args.from_image:
            count, moved = import_image_palette(
                args.sources, args.output, args.colors, not args.no_transparent, args.max_pixels
            )
            warned: List[str] = []
        else:
            _, count, warned = import_palette(args.sources[0], args.output, args.form, args.max_pixels)
    except PaletteError as error:
        raise ToolError(str(error)) from None
    for line in warned:
        warn(line)
    if moved is not None:
        print(printable(moved))
    print(printable(f"wrote {args.output}: {count} colours"))
    return 0


# --------------------------------------------------------------------------
# The work


def ranges(indices: Sequence[int]) -> str:
    """1, 2, 3, 7 as "1-3, 7"."""
    runs: List[List[int]] = []
    for index in indices:
        if runs and index == runs[-1][1] + 1:
            runs[-1][1] = index
        else:
            runs.append([index, index])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def export_palette(
    source: Path, out: Path, form: Optional[str], cell: int = palette.DEFAULT_CELL
) -> Tuple[str, List[int]]:
    """Writes the palette file `source` to `out`; returns the format written
    and the entries whose alpha it could not keep."""
    form = palette.export_format(out, form)
    same_file(source, out)
    colors = game_palette.read_game_palette(source)
    game_palette.write_file(out, palette.encode(colors, form, source.stem, cell))
    return form, palette.alpha_lost(colors, form)


def same_file(source: Path, out: Path) -> None:
    try:
        same = os.path.exists(out) and os.path.samefile(source, out)
    except OSError:
        same = False
    if same:
        raise PaletteError(f"{out}: is the file being read; name another file to write")


def import_palette(
    source: Path, out: Path, form: Optional[str], max_pixels: int = DEFAULT_MAX_PIXELS
) -> Tuple[str, int, List[str]]:
    """Writes the palette in `source` as the game palette file `out`; returns
    the format read, the number of colours and warnings about the palette
    read."""
    same_file(source, out)
    guessed = form or palette.EXTENSIONS.get(source.suffix.lower())
    # Only a regular file is read: a pipe would wait, a device can be
    # endless. Every form but the swatch is small.
    try:
        data = read_regular(source, "a palette", palette.read_limit(guessed))
    except NotReadable as error:
        raise PaletteError(str(error)) from None
    form = palette.import_format(source, data, form)
    warned: List[str] = []
    if form == palette.GAME:
        colors = game_palette.game_palette_colors(source, data)
    else:
        colors, warned = palette.parse(source, data, form, max_pixels)
    if not colors:
        raise PaletteError(f"{source}: holds no colours; a palette needs 1 to {palette.MAX_COLORS}")
    game_palette.write_game_palette(out, colors)
    return form, len(colors), warned


def import_image_palette(
    sources: Sequence[Path], out: Path, count: int, transparent: bool, max_pixels: int = DEFAULT_MAX_PIXELS
) -> Tuple[int, Optional[str]]:
    """Writes the palette of the images `sources` as the game palette file
    `out`; returns its number of colours and, when a quantizer chose them,
    the line saying how far the farthest pixel moved."""
    from kivtool.formats.image_palette import palette_from_images

    for source in sources:
        same_file(source, out)
    found = palette_from_images(sources, count, transparent, max_pixels)
    if not found.colors:
        raise PaletteError(f"{sources[0]}: has no painted pixel; a palette needs 1 to {palette.MAX_COLORS} colours")
    game_palette.write_game_palette(out, found.colors)
    return len(found.colors), found.report()
