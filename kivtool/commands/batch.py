"""`kivtool batch`: every animation under a folder exported, several at a
time, each in a worker process of its own."""

from __future__ import annotations

import argparse
import os
import sys

from kivtool import worker_start
from kivtool.commands.base import ToolError, fail, make_output_dir, regenerable_outputs, set_text, warn
from kivtool.commands.options import add_output_option, add_palette_option, path_argument, positive_int, positive_number
from kivtool.files import NotReadable, check_regular
from kivtool.text import printable


def add_command(parser: argparse.ArgumentParser) -> None:
    # The workers' fork server starts first, so that it imports what they
    # export with while this process imports the same (for the options
    # below) and walks the source folder.
    worker_start.start_early()
    from kivtool import batch
    from kivtool.commands.export import add_export_options

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
    parser.set_defaults(run=regenerable_outputs(run))


def default_jobs() -> int:
    from kivtool.memory import usable_cores

    return usable_cores()


def run(args: argparse.Namespace) -> int:
    from kivtool import batch, memory
    from kivtool.commands.export import export_options

    if not os.path.isdir(args.source):
        raise ToolError(f"{args.source}: no such folder")
    found = batch.find_animations(args.source)
    if not found.files and not found.skipped:
        raise ToolError(f"{args.source}: holds no animation files (*{batch.SUFFIX})")
    if args.palette is not None:
        if not os.path.lexists(args.palette):
            raise ToolError(f"{args.palette}: no such palette file")
        try:
            check_regular(args.palette, "a palette file")
        except NotReadable as error:
            raise ToolError(str(error)) from None
    make_output_dir(args.output)
    options = export_options(args)
    memory_limit = args.memory_limit << 20 if args.memory_limit else memory.default_worker_limit(args.jobs)
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
