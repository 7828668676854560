"""The kivtool command line: one verb per job.

Each verb is one `add_<verb>_command(parser)` that declares its options
(shared options come from the `add_*_option` helpers so that they are named
and explained the same way everywhere) and one `run_<verb>(args)` that does
the work and returns the exit status. A new verb adds both and one line to
`COMMANDS`. Only the verb being run declares its options, so a verb imports
only the modules it needs.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from importlib.util import find_spec

from kivtool.limits import DEFAULT_MAX_PIXELS
from kivtool.text import printable, quoted

# Every start of the tool imports this module: what is imported for typing
# alone would cost `kivtool info` a tenth of its time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path
    from typing import Any, Callable, List, NoReturn, Optional, Sequence, Tuple, Type

PROG = "kivtool"
# No package index serves pykiv yet: the tool is installed from a checkout.
INSTALL_HINT = 'python -m pip install ".[tool]" in the pykiv checkout (inside a virtual environment)'
# Modules the tool needs beyond the standard library, with the package that brings each.
REQUIRED_MODULES = [
    ("pykiv", "pykiv"),
    ("PIL", "Pillow"),
    ("png", "pypng"),
    ("pyspng", "pyspng"),
    ("numpy", "numpy"),
    ("tqdm", "tqdm"),
    ("pebble", "pebble"),
]


DESCRIPTION = (
    "Look at Harbek animation files (.kiv), export them as PNG frames, sprite "
    "sheets or animated images, and convert whole game folders."
)


class ToolError(Exception):
    """A failure the user can act on: printed as one line, exit status 1."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised wherever the tool is, so that it stops the way it
    stops on Ctrl-C: output files whole or absent, workers ended."""


# Exit statuses of a program stopped by SIGINT and SIGTERM, as shells report them.
INTERRUPTED_STATUS = 128 + signal.SIGINT
TERMINATED_STATUS = 128 + signal.SIGTERM


def raise_terminated(signum: int, frame: object) -> None:
    raise Terminated()


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


def fail(message: str) -> None:
    print(printable(f"{PROG}: {message}"), file=sys.stderr)


def warn(message: str) -> None:
    print(printable(f"{PROG}: warning: {message}"), file=sys.stderr)


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


# --------------------------------------------------------------------------
# Options shared by several verbs


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


def add_output_option(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument(
        "-o",
        "--output",
        metavar="DIR",
        type=path_argument,
        required=True,
        help=f"folder for {what}; created when missing",
    )


def add_export_options(parser: argparse.ArgumentParser) -> None:
    """The options that choose what `export` and `batch` write."""
    from kivtool import export

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
        help="zlib level 0-9 for every PNG written (default 6); 1 is much "
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


def export_options(args: argparse.Namespace) -> Any:
    from kivtool import export

    forms = list(dict.fromkeys(args.forms or [export.DEFAULT_FORM]))
    refusal = export.fps_refusal(forms, args.fps)
    if refusal is not None:
        raise ToolError(refusal)
    if args.indexed:
        others = [form for form in forms if form not in ("frames", "sheet")]
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


# --------------------------------------------------------------------------
# info


def add_info_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description="Shows the header, the palette and one line per frame of an animation.",
        epilog="example: kivtool info game/anim/ball.kiv --json",
    )
    parser.add_argument("animation", metavar="ANIMATION")
    add_palette_option(parser, str)
    parser.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    parser.set_defaults(run=run_info)


def run_info(args: argparse.Namespace) -> int:
    from kivtool.animation import LoadError, describe_animation

    try:
        animation = describe_animation(args.animation, args.palette)
    except LoadError as error:
        raise ToolError(str(error)) from None
    location = animation.location
    frames = [
        {
            "index": f.index,
            "width": f.width,
            "height": f.height,
            "x_offset": f.x_offset,
            "y_offset": f.y_offset,
            "kind": f.kind,
            "runs": animation.runs(f.index),
        }
        for f in animation.frames
    ]
    report = {
        "file": str(args.animation),
        "speed": animation.speed,
        "frame_count": animation.frame_count,
        "has_background": animation.has_background,
        "palette": {"location": location, "path": animation.palette_path, "colors": animation.colors},
        "frames": frames,
        "warnings": animation.warnings,
    }
    if args.json:
        import json

        print(json.dumps(report, indent=2))
    else:
        print(printable(str(report["file"])))
        background = "yes (the last frame)" if animation.has_background else "no"
        print(f"  speed       {animation.speed}")
        print(f"  frames      {animation.frame_count} (background counted)")
        print(f"  background  {background}")
        print(
            printable(
                f"  palette     {location if location is not None else '(unknown)'}"
                f" -> {animation.palette_path or '(unknown)'}, {animation.colors} colours"
            )
        )
        print(f"  {'index':>5}  {'size':>11}  {'offset':>13}  {'kind':<10}  {'runs':>6}")
        for f in frames:
            size = f"{f['width']} × {f['height']}"
            offset = f"{f['x_offset']:+d}, {f['y_offset']:+d}"
            print(f"  {f['index']:>5}  {size:>11}  {offset:>13}  {f['kind']:<10}  {f['runs']:>6}")
    report_messages(animation)
    return 0


# --------------------------------------------------------------------------
# export


def add_export_command(parser: argparse.ArgumentParser) -> None:
    from kivtool import export

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
    parser.set_defaults(run=run_export)


def run_export(args: argparse.Namespace) -> int:
    from kivtool import export
    from kivtool.animation import LoadError, load_animation

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


# --------------------------------------------------------------------------
# batch


def add_batch_command(parser: argparse.ArgumentParser) -> None:
    from kivtool import batch

    set_text(
        parser,
        description="Exports every *.kiv file under SRC, in all its subfolders, into the same "
        "relative folders under DST, several files at a time. A file that fails "
        "costs only that file; the failures are listed at the end and make the "
        "exit status 1.",
        epilog="example: kivtool batch game/ -o out/game --as sheet --jobs 2",
    )
    parser.add_argument("source", metavar="SRC", type=path_argument, help="folder to search for animations")
    add_output_option(parser, "the exported files (DST)")
    add_palette_option(parser)
    add_export_options(parser)
    parser.add_argument(
        "--jobs",
        type=positive_int,
        default=default_jobs(),
        help="files exported at the same time, each in its own process "
        f"(default: the machine's cores, {default_jobs()})",
    )
    parser.add_argument(
        "--memory-limit",
        type=positive_int,
        metavar="MB",
        help="address space one worker may use, in MiB; a file that needs "
        "more fails with a clear message (default: three quarters of the memory "
        "available, the control group's limit or else the machine's memory, divided "
        "by --jobs); a lower limit set on the tool (ulimit -v) is kept",
    )
    parser.add_argument(
        "--timeout",
        type=positive_number,
        default=batch.DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help=f"time one file may take (default {batch.DEFAULT_TIMEOUT:g})",
    )
    parser.set_defaults(run=run_batch)


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))  # type: ignore[attr-defined,unused-ignore]
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def run_batch(args: argparse.Namespace) -> int:
    from kivtool import batch, limits

    if not os.path.isdir(args.source):
        raise ToolError(f"{args.source}: no such folder")
    found = batch.find_animations(args.source)
    if not found.files and not found.skipped:
        raise ToolError(f"{args.source}: holds no animation files (*{batch.SUFFIX})")
    if args.palette is not None:
        from kivtool.files import NotReadable, check_regular

        if not os.path.lexists(args.palette):
            raise ToolError(f"{args.palette}: no such palette file")
        try:
            check_regular(args.palette, "a palette file")
        except NotReadable as error:
            raise ToolError(str(error)) from None
    make_output_dir(args.output)
    options = export_options(args)
    memory_limit = args.memory_limit << 20 if args.memory_limit else limits.default_worker_limit(args.jobs)
    # What cannot be exported, and files whose outputs would overwrite each
    # other's, are failures known before anything is written.
    collisions = batch.output_collisions(args.source, found.files)
    colliding = {path for path, _ in collisions}
    files = [path for path in found.files if path not in colliding]
    refused = [
        batch.FileResult(str(path.relative_to(args.source)), error=f"{path}: {reason}")
        for path, reason in sorted(found.skipped + collisions)
    ]
    reporter = batch.Progress(len(files) + len(refused), sys.stderr.isatty())
    for number, result in enumerate(refused, 1):
        reporter(result, number, len(files) + len(refused))
    try:
        summary = batch.run(
            args.source,
            args.output,
            options,
            args.jobs,
            memory_limit,
            args.timeout,
            lambda result, done, total: reporter(result, done + len(refused), total + len(refused)),
            files,
            args.palette,
        )
    finally:
        reporter.close()
    summary.results[:0] = refused
    failures = summary.failures
    done = len(summary.results) - len(failures)
    rate = len(summary.results) / summary.seconds if summary.seconds > 0 else 0.0
    print(
        printable(
            f"exported {done} of {len(summary.results) + summary.not_done} files into {args.output} "
            f"in {summary.seconds:.1f} s ({rate:.1f} files/s)"
        )
    )
    warned = [result for result in summary.results if result.warnings and result.error is None]
    for result in warned:
        for line in result.warnings:
            warn(line)
    if summary.stopped is not None:
        print(f"stopped before its end: {summary.not_done} files not exported", file=sys.stderr)
        if summary.not_done:
            # A worker reports the few files of a hand-out together, and the
            # report of a stopped worker is lost: files it had finished are
            # counted here although their outputs are written.
            print(
                "of those, files being exported at the stop may have some or all of their outputs written, each whole",
                file=sys.stderr,
            )
    if failures:
        print(f"{len(failures)} failed:", file=sys.stderr)
        for result in sorted(failures, key=lambda result: result.source):
            print(printable(f"  {result.error}"), file=sys.stderr)
    if summary.stopped is not None:
        raise summary.stopped
    if summary.broken is not None:
        fail(f"{args.source}: cannot start worker processes: {summary.broken} (files not exported: {summary.not_done})")
        return 1
    return 1 if failures else 0


# --------------------------------------------------------------------------
# demo


def add_demo_command(parser: argparse.ArgumentParser) -> None:
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
    parser.set_defaults(run=run_demo)


def run_demo(args: argparse.Namespace) -> int:
    from kivtool import export
    from kivtool.animation import LoadError, load_animation
    from kivtool.sample import write_sample

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


# --------------------------------------------------------------------------
# import


IMPORT_DESCRIPTION = """\
Makes an animation file from images: one sheet description (the JSON that
`kivtool export --as sheet` writes, or Aseprite or TexturePacker in the
JSON-hash or JSON-array layout), or PNG images, one per frame, in order.

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


def add_import_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description=IMPORT_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="examples:\n"
        "  kivtool import out/ball/ball.json -o game/anim/ball.kiv "
        "--palette game/pal/ball.pal --project-root game\n"
        "  kivtool import walk_0.png walk_1.png shadow.png --shadow 2 --offsets offsets.json "
        "-o game/anim/walk.kiv --palette game/pal/ball.pal --project-root game",
    )
    parser.add_argument(
        "inputs",
        metavar="INPUT",
        type=path_argument,
        nargs="+",
        help="a sheet description (.json), or PNG images, one per frame",
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
    parser.add_argument(
        "--project-root",
        metavar="ROOT",
        type=path_argument,
        required=True,
        help="the game's folder that the palette's stored place is relative to",
    )
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
    parser.set_defaults(run=run_import)


def speed_value(text: str) -> int:
    from kivtool import _core

    low, high = 0, _core.SPEED_MAX
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"must be a whole number from {low} to {high}: {quoted(text)}")
    return value


def run_import(args: argparse.Namespace) -> int:
    from kivtool import importer, sheet

    sheets = [path for path in args.inputs if path.suffix.lower() == ".json"]
    try:
        if sheets:
            if len(args.inputs) > 1:
                raise ToolError(f"{sheets[0]}: a sheet description is imported alone, not together with other inputs")
            for option, value in (
                ("--offsets", args.offsets),
                ("--shadow", args.shadow),
                ("--background", args.background),
            ):
                if value:
                    raise ToolError(
                        f"{sheets[0]}: {option} is for images; a sheet description gives offsets and kinds itself"
                    )
            sources, sheet_speed = sheet.sheet_frames(sheets[0], quantize=args.quantize, max_pixels=args.max_pixels)
        else:
            sources = importer.image_frames(
                args.inputs,
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
            args.output,
            args.palette,
            args.project_root,
            speed=speed,
            quantize=args.quantize,
            transparent_index=args.transparent_index,
        )
    except importer.ImportRefused as error:
        raise ToolError(str(error)) from None
    except MemoryError:
        raise ToolError(f"{args.output}: not written: not enough memory for these images") from None
    except importer.VerificationFailed as error:
        raise ToolError(
            f"{args.output}: not written: the file made from the images does not read "
            f"back as them ({error}); this is a fault in kivtool, please report it"
        ) from None
    for warning in plan.warnings:
        warn(warning)
    for name, changed in zip(plan.names, plan.changed):
        if changed:
            print(printable(f"{name}: {changed} pixels changed to the nearest palette colour"))
    background = ", the last one the background" if plan.has_background else ""
    print(printable(f"wrote {args.output}: {len(plan.names)} frames{background}, speed {speed}, verified"))
    return 0


# --------------------------------------------------------------------------
# palette


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


def add_palette_command(parser: argparse.ArgumentParser) -> None:
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
    from kivtool import palettes

    try:
        form, lost = palettes.export_palette(args.palette, args.output, args.form, args.cell)
    except palettes.PaletteError as error:
        raise ToolError(str(error)) from None
    if lost:
        warn(f"{args.output}: {form} has no alpha: entries {palettes.ranges(lost)} lose theirs and are opaque there")
    print(printable(str(args.output)))
    return 0


def run_palette_import(args: argparse.Namespace) -> int:
    from kivtool import palettes

    try:
        _, count, warned = palettes.import_palette(args.source, args.output, args.form, args.max_pixels)
    except palettes.PaletteError as error:
        raise ToolError(str(error)) from None
    for line in warned:
        warn(line)
    print(printable(f"wrote {args.output}: {count} colours"))
    return 0


# --------------------------------------------------------------------------
# view


def add_view_command(parser: argparse.ArgumentParser) -> None:
    set_text(
        parser,
        description="Starts a local web server for PATH (an animation, or a folder shown as a gallery) "
        "and opens it in a browser: the animation plays with its background and shadows, the pixel "
        "under the pointer is described, and frames can be moved and the speed changed, then saved "
        "(only the offsets and the speed of the file change). Prints the address to open, with its "
        "secret token, and serves until Ctrl-C.",
        epilog="example: kivtool view out/demo",
    )
    parser.add_argument("path", metavar="PATH", type=path_argument, help="an animation file or a folder of them")
    parser.add_argument(
        "--root",
        metavar="ROOT",
        type=path_argument,
        help="the folder whose animation files the viewer may list, read and write (default: PATH itself "
        "for a folder, else PATH's folder); palettes above it are read, never listed or served",
    )
    add_palette_option(parser)
    parser.add_argument(
        "--port", type=port_number, default=0, help="port on 127.0.0.1 to listen on (default 0: a free one)"
    )
    parser.add_argument("--no-browser", action="store_true", help="only print the address; open no browser")
    parser.set_defaults(run=run_view)


def port_number(text: str) -> int:
    value = non_negative_int(text)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"must be 65535 or less: {text!r}")
    return value


VIEW_MODULES = [("starlette", "starlette"), ("uvicorn", "uvicorn")]


def run_view(args: argparse.Namespace) -> int:
    missing = [package for module, package in VIEW_MODULES if find_spec(module) is None]
    if missing:
        raise ToolError(
            f"view needs {', '.join(missing)}, which are not installed; install them with:\n    {INSTALL_HINT}"
        )
    from kivtool.view import server

    try:
        settings = server.prepare(args.path, args.root, args.palette)
        return server.serve(settings, args.port, not args.no_browser)
    except server.ViewError as error:
        raise ToolError(str(error)) from None


# --------------------------------------------------------------------------


# Each verb: its name, its line in the list of verbs, and what declares its options.
COMMANDS: List[Tuple[str, str, Callable[[argparse.ArgumentParser], None]]] = [
    ("info", "show what an animation file holds", add_info_command),
    ("export", "write animations as PNG frames, a sprite sheet or animated images", add_export_command),
    ("batch", "export every animation under a folder", add_batch_command),
    ("demo", "write the bundled sample animation and export it in every form", add_demo_command),
    ("import", "make an animation file from PNG frames or a sprite sheet", add_import_command),
    ("palette", "convert palette files to and from editors' palette formats", add_palette_command),
    ("view", "play animations in the browser and fix their placement", add_view_command),
]


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


def build_parser(argv: Optional[Sequence[str]] = None) -> argparse.ArgumentParser:
    """The parser for `argv`. Only the verb that `argv` names gets its
    options: declaring a verb's options imports the modules it works with,
    which would slow every other verb's start. Every verb is listed."""
    from kivtool import __version__

    parser = Parser(prog=PROG, description=DESCRIPTION)

    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    # Naming the program spares argparse working it out with a help
    # formatter, which would import shutil to measure the terminal.
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser, prog=PROG)
    commands.required = True
    words = list(sys.argv[1:] if argv is None else argv)
    # Before the verb come only the options that take no value.
    chosen = next((word for word in words if not word.startswith("-")), None)
    for name, summary, add_command in COMMANDS:
        verb = commands.add_parser(name, help=summary)
        if name == chosen:
            add_command(verb)
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
