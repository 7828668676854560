"""`kivtool import`: an animation file made from PNG frames or a sprite
sheet, verified before it replaces the output."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import List, Optional, Tuple

from kivtool import _core, importer
from kivtool.animation import SHADOW
from kivtool.commands.base import ToolError, set_text, warn
from kivtool.commands.options import (
    add_project_root_option,
    non_negative_int,
    palette_index,
    path_argument,
    positive_int,
)
from kivtool.formats import ImportRefused, cells, frames_list
from kivtool.formats.images import SourceFrame
from kivtool.memory import DEFAULT_MAX_PIXELS
from kivtool.text import printable, quoted

IMPORT_DESCRIPTION = """\
Makes an animation file from images: one sheet description (the JSON that
`kivtool export --as sheet` writes, or Aseprite or TexturePacker in the
JSON-hash or JSON-array layout), one frames list (the STEM_frames.json that
`kivtool export --as frames` writes beside the frames), or PNG images, one
per frame, in order, or strips and grids cut into cells of one frame each
(--grid), or animated GIF, APNG or WebP images, one frame per step.

A pixel that is exactly a palette colour is painted with it (the lowest
index when the palette holds it twice); (0, 0, 0, 0) and any other pixel with
alpha 0 are left unpainted; any other colour stops the import, unless
--quantize takes the nearest palette colour. In a shadow frame every pixel
with alpha above 0 is painted (the game draws it black).

A palette PNG (as `kivtool export --indexed` writes) whose palette is the
animation's is read by index instead: every pixel's value is its index, and
the transparent index is unpainted (from --transparent-index, else the
sheet's meta.transparentIndex, else the image's kivtool:transparent-index
text, else the one entry the image makes transparent). In a shadow frame
every other index is painted. A palette PNG with another palette is matched
by colour, with a warning naming the first entry that differs.

The file stores the palette's place relative to ROOT, as the game finds it
from the animation's folder upwards, so OUT must lie under ROOT. It is
written beside OUT, loaded back and compared frame by frame with the images
before it replaces OUT; on any difference OUT is left as it was."""


def add_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description=IMPORT_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="examples:\n"
        "  kivtool import out/ball/ball.json -o game/anim/ball.kiv "
        "--palette game/pal/ball.pal --project-root game\n"
        "  kivtool import walk_0.png walk_1.png shadow.png --shadow 2 --offsets offsets.json "
        "-o game/anim/walk.kiv --palette game/pal/ball.pal --project-root game\n"
        "  kivtool import walk.png --grid 32x48 --trim "
        "-o game/anim/walk.kiv --palette game/pal/ball.pal --project-root game",
    )
    parser.add_argument(
        "inputs",
        metavar="INPUT",
        type=path_argument,
        nargs="+",
        help="a sheet description or frames list (.json), or PNG images, one per frame",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        type=path_argument,
        required=True,
        help="animation file to write (replaced only by a verified file)",
    )
    parser.add_argument(
        "--palette",
        metavar="PAL",
        type=path_argument,
        required=True,
        help="palette file the animation uses; read, not rewritten",
    )
    add_project_root_option(parser)
    parser.add_argument(
        "--offsets",
        metavar="OFFSETS",
        type=path_argument,
        help="for images: a JSON list of [x, y], one per image and, with "
        "--background, one more for it, last (default: 0, 0 each)",
    )
    parser.add_argument(
        "--shadow",
        metavar="INDEX",
        type=non_negative_int,
        action="append",
        default=[],
        help="for images: the image at this place among the INPUTs (from 0) is a shadow frame; repeat for several",
    )
    parser.add_argument(
        "--background", metavar="IMAGE", type=path_argument, help="for images: the background frame, stored last"
    )
    parser.add_argument(
        "--speed",
        metavar="N",
        type=speed_value,
        help="the animation's speed value (default: the sheet's meta.speed, or 0)",
    )
    parser.add_argument(
        "--quantize",
        action="store_true",
        help="give colours that are not in the palette the nearest palette "
        "colour (by distance over R, G, B premultiplied by alpha, and alpha; the "
        "lowest index on a tie) instead of stopping, and round 16-bit samples that are no "
        "8-bit value; the pixels changed to palette colours are counted per frame",
    )
    parser.add_argument(
        "--max-pixels",
        metavar="N",
        type=positive_int,
        default=DEFAULT_MAX_PIXELS,
        help="refuse an image, or a frame a sheet declares, of more than N pixels, "
        f"before it is decoded (default {DEFAULT_MAX_PIXELS})",
    )
    parser.add_argument(
        "--transparent-index",
        type=palette_index,
        metavar="N",
        help="for palette PNGs read by index: the index that stands for "
        "unpainted pixels (default: the sheet's meta.transparentIndex, else "
        "the image's kivtool:transparent-index text, else the one entry the "
        "image makes transparent)",
    )
    parser.add_argument(
        "--each",
        action="store_true",
        help="make one animation of each INPUT (a sheet description, a frames list, an image), "
        "named after it, in the folder OUT, as batch does for export: a failure costs only its input",
    )
    add_cutting_options(parser)
    parser.set_defaults(run=run)


# --------------------------------------------------------------------------
# Strips, grids and animated images


def add_cutting_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "strips, grids and animated images",
        "With --grid every image is cut into cells, left to right and top to bottom, image "
        "after image; each cell is a frame. An animated GIF, APNG or WebP gives a frame per "
        "step, trimmed to its painted pixels and placed where it stood on the canvas. "
        "--shadow counts the frames so made; --background stays one whole image.",
    )
    group.add_argument("--grid", metavar="WxH", type=grid_value, help="cut the images into cells of W x H pixels")
    group.add_argument(
        "--first", metavar="K", type=non_negative_int, default=0, help="skip the first K cells (of all images together)"
    )
    group.add_argument(
        "--count",
        metavar="N",
        type=positive_int,
        help="take N cells (default: every cell up to the last one that paints a pixel)",
    )
    group.add_argument(
        "--anchor",
        metavar="POINT",
        type=anchor_value,
        help="where the animation's anchor sits in every cell (or on an animated image's canvas): "
        "X,Y in pixels, or top-left, top, top-right, left, center, right, bottom-left, bottom, "
        "bottom-right (x at 0, W/2 or W, y at 0, H/2 or H; default bottom, under the bottom row)",
    )
    group.add_argument(
        "--trim",
        action="store_true",
        help="cut each cell to its painted pixels, its offsets changed so that every pixel stays where it was",
    )


def grid_value(text: str) -> Tuple[int, int]:
    try:
        return cells.parse_grid(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{error}: {quoted(text)}") from None


def anchor_value(text: str) -> cells.Anchor:
    try:
        return cells.parse_anchor(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{error}: {quoted(text)}") from None


def cut_frames(args: argparse.Namespace, inputs: List[Path]) -> Optional[List[SourceFrame]]:
    """The frames of a grid or of animated images, with their kinds; None
    when the inputs are one frame each."""
    first = inputs[0]
    grid_only = [("--first", args.first), ("--count", args.count), ("--trim", args.trim)]
    if args.grid is None:
        for option, value in grid_only:
            if value:
                raise ToolError(f"{first}: {option} is for images cut by --grid")
        animated = [path for path in inputs if cells.step_count(path) > 1]
        if not animated:
            if args.anchor is not None:
                raise ToolError(f"{first}: --anchor is for images cut by --grid and for animated images")
            return None
        if args.offsets:
            raise ToolError(
                f"{animated[0]}: --offsets is for still images; an animated image's steps are placed by --anchor"
            )
        anchor = args.anchor or cells.Anchor()
        frames = [
            frame for path in inputs for frame in cells.animated_frames(path, anchor=anchor, max_pixels=args.max_pixels)
        ]
    else:
        if args.offsets:
            raise ToolError(f"{first}: --offsets is for whole images; the cells of --grid are placed by --anchor")
        frames = cells.grid_frames(
            inputs,
            args.grid,
            anchor=args.anchor or cells.Anchor(),
            first=args.first,
            count=args.count,
            trim=args.trim,
            quantize=args.quantize,
            max_pixels=args.max_pixels,
        )
    for index in args.shadow:
        if not 0 <= index < len(frames):
            raise ToolError(f"--shadow {index}: the images give {len(frames)} frames, counted from 0")
        frames[index].kind = SHADOW
    if args.background is not None:
        frames += importer.image_frames(
            [], None, [], args.background, quantize=args.quantize, max_pixels=args.max_pixels
        )
    return frames


def speed_value(text: str) -> int:
    low, high = 0, _core.SPEED_MAX
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"must be a whole number from {low} to {high}: {quoted(text)}")
    return value


def run(args: argparse.Namespace) -> int:
    if args.each:
        from kivtool.commands import import_each

        return import_each.run_each(args)
    plan, speed = import_one(args, args.inputs, args.output)
    for warning in plan.warnings:
        warn(warning)
    for name, changed in zip(plan.names, plan.changed):
        if changed:
            print(printable(f"{name}: {changed} pixels changed to the nearest palette colour"))
    background = ", the last one the background" if plan.has_background else ""
    print(printable(f"wrote {args.output}: {len(plan.names)} frames{background}, speed {speed}, verified"))
    return 0


def import_one(args: argparse.Namespace, inputs: List[Path], output: Path) -> Tuple[importer.Plan, int]:
    """One animation made from `inputs` with the options of `args`, written
    to `output` once verified; returns what it holds and its speed. Raises
    ToolError naming the input or the output and the cause."""
    sheets = [path for path in inputs if path.suffix.lower() == ".json"]
    try:
        if sheets:
            if len(inputs) > 1:
                raise ToolError(f"{sheets[0]}: a sheet description is imported alone, not together with other inputs")
            for option, value in (
                ("--offsets", args.offsets),
                ("--shadow", args.shadow),
                ("--background", args.background),
                ("--grid", args.grid),
                ("--anchor", args.anchor),
                ("--first", args.first),
                ("--count", args.count),
                ("--trim", args.trim),
            ):
                if value:
                    raise ToolError(
                        f"{sheets[0]}: {option} is for images; a sheet description gives offsets and kinds itself"
                    )
            sources, sheet_speed = frames_list.json_frames(
                sheets[0], quantize=args.quantize, max_pixels=args.max_pixels
            )
        elif (cut := cut_frames(args, inputs)) is not None:
            sources, sheet_speed = cut, None
        else:
            sources = importer.image_frames(
                inputs,
                args.offsets,
                args.shadow,
                args.background,
                quantize=args.quantize,
                max_pixels=args.max_pixels,
            )
            sheet_speed = None
        speed = args.speed if args.speed is not None else (sheet_speed or 0)
        plan = importer.import_animation(
            sources,
            output,
            args.palette,
            args.project_root,
            speed=speed,
            quantize=args.quantize,
            transparent_index=args.transparent_index,
        )
    except ImportRefused as error:
        raise ToolError(str(error)) from None
    except MemoryError:
        raise ToolError(f"{output}: not written: not enough memory for these images") from None
    except importer.VerificationFailed as error:
        raise ToolError(
            f"{output}: not written: the file made from the images does not read "
            f"back as them ({error}); this is a fault in kivtool, please report it"
        ) from None
    return plan, speed
