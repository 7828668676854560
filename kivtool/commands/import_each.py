"""`kivtool import --each`: one animation made of each input, as `batch` does
for export: a progress bar on a terminal, a failure costs only its input,
the failures listed at the end with a summary.

The inputs are imported one after another in this process: an import is
verified and renamed into place whole, so Ctrl-C between or during two
leaves every output either written and verified or as it was."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Dict, List

from kivtool.batch import SUFFIX, FileResult, Progress
from kivtool.commands.base import ToolError, make_output_dir, warn
from kivtool.formats import frames_list
from kivtool.text import printable


def output_stem(path: Path) -> str:
    """The animation's name for an input: a frames list's animation (the
    STEM of STEM_frames.json), else the input's own stem."""
    name = path.name
    if name.lower().endswith(frames_list.SUFFIX) and len(name) > len(frames_list.SUFFIX):
        return name[: -len(frames_list.SUFFIX)]
    return path.stem


def planned_outputs(inputs: List[Path], folder: Path) -> Dict[Path, object]:
    """Each input's output file, or the reason it has none: inputs whose
    outputs would have the same name (compared without case, as Windows
    does) are all refused, since which was meant is not known."""
    by_name: Dict[str, List[Path]] = {}
    for path in inputs:
        by_name.setdefault(output_stem(path).casefold(), []).append(path)
    planned: Dict[Path, object] = {}
    for path in inputs:
        same = by_name[output_stem(path).casefold()]
        if len(same) > 1:
            others = ", ".join(str(other) for other in same if other != path)
            planned[path] = f"{path}: its output would have the same name as that of {others}; neither is written"
        else:
            planned[path] = folder / f"{output_stem(path)}{SUFFIX}"
    return planned


def run_each(args: argparse.Namespace) -> int:
    from kivtool.commands.import_ import import_one

    for option, value in (("--offsets", args.offsets), ("--background", args.background)):
        if value:
            raise ToolError(f"{args.inputs[0]}: {option} names files for one animation; --each makes one of each input")
    if len(set(args.inputs)) != len(args.inputs):
        raise ToolError(f"{args.inputs[0]}: an input is named twice")
    make_output_dir(args.output)
    planned = planned_outputs(args.inputs, args.output)
    results: List[FileResult] = []
    reporter = Progress(len(args.inputs), sys.stderr.isatty())
    start = time.perf_counter()
    stopped = None
    try:
        for path in args.inputs:
            result = FileResult(str(path))
            target = planned[path]
            if isinstance(target, Path):
                try:
                    plan, _ = import_one(args, [path], target)
                    result.written = 1
                    result.warnings = [f"{path}: {warning}" for warning in plan.warnings]
                except ToolError as error:
                    result.error = str(error)
            else:
                result.error = str(target)
            results.append(result)
            reporter(result, len(results), len(args.inputs))
    except KeyboardInterrupt as stop:
        stopped = stop
    finally:
        reporter.close()
    seconds = time.perf_counter() - start
    failures = [result for result in results if result.error is not None]
    done = len(results) - len(failures)
    print(
        printable(f"imported {done} of {len(args.inputs)} inputs into {args.output} in {seconds:.1f} s"),
    )
    for result in results:
        if result.error is None:
            for line in result.warnings:
                warn(line)
    if stopped is not None:
        print(f"stopped before its end: {len(args.inputs) - len(results)} inputs not imported", file=sys.stderr)
    if failures:
        print(f"{len(failures)} failed:", file=sys.stderr)
        for result in failures:
            print(printable(f"  {result.error}"), file=sys.stderr)
    if stopped is not None:
        raise stopped
    return 1 if failures else 0
