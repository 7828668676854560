"""`kivtool demo`: the bundled sample animation written and exported in
every form."""

from __future__ import annotations

import argparse
import os

from kivtool import export
from kivtool.animation import LoadError, load_animation
from kivtool.commands.base import PROG, ToolError, make_output_dir, regenerable_outputs, set_text
from kivtool.commands.options import path_argument
from kivtool.sample import write_sample
from kivtool.text import printable


def add_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description="Writes the bundled sample animation (a ball bouncing over a landscape, "
        "with a shadow frame and a background frame) and its palette under DIR, "
        "then exports it into DIR in every form, shadows drawn under the ball.",
        epilog="example: kivtool demo out/demo",
    )
    parser.add_argument(
        "directory",
        metavar="DIR",
        type=path_argument,
        nargs="?",
        default=os.path.join("out", "demo"),
        help="where to write (default: out/demo)",
    )
    parser.set_defaults(run=regenerable_outputs(run))


def run(args: argparse.Namespace) -> int:
    make_output_dir(args.directory)
    try:
        animation_path, palette_path = write_sample(args.directory)
    except OSError as error:
        raise ToolError(f"{args.directory}: cannot write the sample: {error.strerror or error}") from None
    print(f"wrote {animation_path} and {palette_path}")
    options = export.Options(forms=list(export.FORMS), shadows=export.SHADOWS_UNDER)
    try:
        animation = load_animation(animation_path)
        written = export.export(animation, args.directory, options)
    except (LoadError, export.ExportError) as error:
        raise ToolError(str(error)) from None
    for path in written:
        print(printable(str(path)))
    print(
        f"(the same as: {PROG} export {animation_path} -o {args.directory} "
        f"{' '.join('--as ' + form for form in export.FORMS)} --shadows-under)"
    )
    return 0
