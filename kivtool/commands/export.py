"""`kivtool export`: animations as PNG frames, sprite sheets or animated
images; and the options that choose what is written, which `batch` takes
too."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any, List

from kivtool import export
from kivtool.animation import LoadError, load_animation
from kivtool.commands.base import ToolError, fail, make_output_dir, regenerable_outputs, report_messages, set_text, warn
from kivtool.commands.options import (
    add_output_option,
    add_palette_option,
    compression_level,
    palette_index,
    path_argument,
    positive_int,
    positive_number,
)
from kivtool.indexed_export import INDEXED_FORMS
from kivtool.text import printable


def add_export_options(parser: argparse.ArgumentParser) -> None:
    """The options that choose what `export` and `batch` write."""
    forms = ", ".join(export.FORMS)
    parser.add_argument(
        "--as",
        dest="forms",
        metavar="FORM",
        action="append",
        choices=export.FORMS,
        help=f"what to write, one of {forms}; repeat for several (default: {export.DEFAULT_FORM})",
    )
    slowest = ", ".join(f"{form} {export.slowest_fps(form):g}" for form in export.LONGEST_STEP_MS)
    parser.add_argument(
        "--fps",
        type=positive_number,
        default=10.0,
        help="animation steps per second for gif, apng, webp and the sheet's durations (default 10): "
        f"above 0 and at most {export.FPS_MAX:g}; the slowest each form can time: {slowest}",
    )
    shadows = parser.add_mutually_exclusive_group()
    shadows.add_argument(
        "--shadows-under",
        dest="shadows",
        action="store_const",
        const=export.SHADOWS_UNDER,
        default=export.SHADOWS_AUTO,
        help="draw shadow frames under the sprite frames: the i-th shadow under the i-th "
        "other frame, or a single shadow under every frame; refused when the counts do not "
        "pair (the default draws them under when they pair, else plays them as steps)",
    )
    shadows.add_argument(
        "--shadows-as-steps",
        dest="shadows",
        action="store_const",
        const=export.SHADOWS_AS_STEPS,
        help="play shadow frames as steps of their own",
    )
    parser.add_argument(
        "--scale",
        type=positive_int,
        default=1,
        help="enlarge gif, apng, webp and placed by this whole factor "
        "(nearest neighbour), for previews; frames and sheet stay 1:1",
    )
    parser.add_argument(
        "--png-compression",
        type=compression_level,
        default=6,
        metavar="LEVEL",
        help="compression level 0-9 for every PNG written: 0 stores the pixels "
        "uncompressed, 9 makes the smallest files, slowly (default 6); 1 is "
        "faster for big folders, at somewhat larger files",
    )
    parser.add_argument(
        "--indexed",
        action="store_true",
        help="write frames and sheet as palette PNGs whose pixels are the "
        "palette indices the runs paint, for editors in indexed mode",
    )
    parser.add_argument(
        "--transparent-index",
        type=palette_index,
        metavar="N",
        help="with --indexed: the index pixels no run paints take (default: the lowest index no frame paints)",
    )
    parser.add_argument(
        "--shadow-index",
        type=palette_index,
        metavar="N",
        help="with --indexed: the index shadow frames' pixels take (default: "
        "the lowest other entry that is opaque black)",
    )


def export_options(args: argparse.Namespace) -> Any:
    forms = list(dict.fromkeys(args.forms or [export.DEFAULT_FORM]))
    refusal = export.fps_refusal(forms, args.fps)
    if refusal is not None:
        raise ToolError(refusal)
    if args.indexed:
        others = [form for form in forms if form not in INDEXED_FORMS]
        if others:
            raise ToolError(f"--indexed writes only the frames and sheet forms, not {', '.join(others)}")
    else:
        for option, value in (("--transparent-index", args.transparent_index), ("--shadow-index", args.shadow_index)):
            if value is not None:
                raise ToolError(f"{option} is for --indexed exports")
    return export.Options(
        forms=forms,
        fps=args.fps,
        shadows=args.shadows,
        scale=args.scale,
        png_compression=args.png_compression,
        indexed=args.indexed,
        transparent_index=args.transparent_index,
        shadow_index=args.shadow_index,
    )


def add_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description=export.FORMS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example: kivtool export game/anim/ball.kiv -o out/ball --as sheet --as apng --scale 2",
    )
    parser.add_argument("animations", metavar="ANIMATION", type=path_argument, nargs="+")
    add_output_option(parser, "the exported files")
    add_palette_option(parser)
    add_export_options(parser)
    parser.set_defaults(run=regenerable_outputs(run))


def run(args: argparse.Namespace) -> int:
    options = export_options(args)
    stems: dict[str, Path] = {}
    for path in args.animations:
        # Compared without case, as Windows compares names.
        stem = path.stem.casefold()
        if stem in stems:
            raise ToolError(
                f"{path}: has the same name as {stems[stem]}; "
                "their files would overwrite each other in one output folder"
            )
        stems[stem] = path
    make_output_dir(args.output)
    status = 0
    for path in args.animations:
        try:
            animation = load_animation(path, args.palette)
            warnings: List[str] = []
            written = export.export(animation, args.output, options, warnings=warnings)
            # Warnings come with a file that was exported; a failure is its one line.
            report_messages(animation)
            for output in written:
                print(printable(str(output)))
            for line in warnings:
                warn(line)
        except (LoadError, export.ExportError) as error:
            fail(str(error))
            status = 1
        except MemoryError:
            fail(f"{path}: not exported: not enough memory (a limit set on this process, or the machine's)")
            status = 1
    return status
