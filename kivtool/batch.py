"""Exporting every animation under a folder, spread over worker processes.

The module holds the interpreter lock while it loads and renders, so files
are spread over processes, not threads. Files from anywhere can be damaged
or hostile: each worker runs under an address-space limit (where the system
has one), so that a file declaring huge frames is refused with a
MemoryError instead of driving the machine out of memory, and each file has
a time limit. A worker that dies or runs out of time costs only the file it
was working on: the pool starts a new worker, the other files handed out
with that one are tried again one by one, and the rest go on.
"""

from __future__ import annotations

import multiprocessing
import os
import sys
import time
from concurrent.futures import FIRST_COMPLETED, Future, wait
from concurrent.futures import TimeoutError as FutureTimeout
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional

from kivtool.export import ExportError, Options, Timings

SUFFIX = ".kiv"
DEFAULT_TIMEOUT = 300.0  # seconds for one file


@dataclass
class FileResult:
    source: str  # relative to the source folder
    error: Optional[str] = None  # why the file failed, None when it was exported
    written: int = 0
    warnings: List[str] = field(default_factory=list)
    load: float = 0.0  # seconds reading and rendering
    compose: float = 0.0  # seconds placing frames on canvases and sheets
    encode: float = 0.0  # seconds encoding and writing image files
    total: float = 0.0  # seconds in the worker for this file, all included


@dataclass
class Summary:
    results: List[FileResult]
    seconds: float

    @property
    def failures(self) -> List[FileResult]:
        return [result for result in self.results if result.error is not None]


def find_animations(source: Path) -> List[Path]:
    """Every animation file under `source`, in a stable order. Links to
    folders are not followed, so a link loop cannot make the walk endless;
    only regular files are taken, so a pipe named like an animation cannot
    make a worker wait for a writer."""
    found = []
    for folder, subfolders, names in os.walk(source):
        subfolders.sort()
        for name in sorted(names):
            path = Path(folder) / name
            if name.lower().endswith(SUFFIX) and path.is_file():
                found.append(path)
    return found


def default_memory_limit(jobs: int) -> Optional[int]:
    """Bytes of address space for each worker: the memory this process may
    use (the machine's, or its control group's limit) shared out among them,
    so that all of them together cannot exhaust it."""
    from kivtool import _core

    return max(1 << 30, _core.available_memory() // max(1, jobs))


def address_space_in_use() -> Optional[int]:
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError):
        pass
    return None


def limit_worker(memory_limit: Optional[int]) -> None:
    """Runs in each worker as it starts."""
    if memory_limit is None:
        return
    try:
        import resource
    except ImportError:  # not on this system; the module's own limits still hold
        return
    in_use = address_space_in_use()
    if in_use is not None and in_use >= memory_limit:
        # Already past it (a sanitizer's shadow memory is reserved address
        # space): the limit would refuse every allocation, so none is set.
        return
    resource.setrlimit(resource.RLIMIT_AS, (memory_limit, memory_limit))


def export_file(
    source: str, root: str, destination: str, options: Options, palette: Optional[str] = None
) -> FileResult:
    """Exports one animation; runs in a worker. `source` is relative to
    `root`; the files go to the same relative folder under `destination`."""
    from kivtool.animation import LoadError, load_animation
    from kivtool.export import export

    result = FileResult(source)
    path = Path(root) / source
    target = Path(destination) / Path(source).parent
    start = time.perf_counter()
    try:
        animation = load_animation(path, Path(palette) if palette is not None else None)
        result.load = time.perf_counter() - start
        result.warnings = animation.messages[:3]
        try:
            target.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise ExportError(f"{target}: cannot create the output folder: {error.strerror or error}") from None
        timings = Timings()
        result.written = len(export(animation, target, options, timings))
        result.compose, result.encode = timings.compose, timings.encode
    except (LoadError, ExportError) as error:
        result.error = str(error)
    except MemoryError:  # refused by the worker's memory limit while exporting
        result.error = f"{path}: refused: exporting it needs more memory than a worker may use"
    result.total = time.perf_counter() - start
    return result


def died(error: BaseException, path: Path) -> str:
    import pebble

    if isinstance(error, FutureTimeout):
        return f"{path}: stopped after the time limit for one file"
    if isinstance(error, pebble.ProcessExpired):
        code = error.exitcode
        how = f"killed by signal {-code}" if code is not None and code < 0 else f"exit status {code}"
        return f"{path}: the worker process died while exporting it ({how})"
    return f"{path}: the worker failed: {type(error).__name__}: {error}"


def export_files(
    worker: Callable[..., FileResult],
    names: List[str],
    root: str,
    destination: str,
    options: Options,
    palette: Optional[str],
) -> List[FileResult]:
    """Exports a few files in one hand-out to a worker."""
    return [worker(name, root, destination, options, palette) for name in names]


# What a worker imports to export a file: loaded once into the fork server,
# so that each worker starts as a fork of a process that has them already.
WORKER_MODULES = ["kivtool.animation", "kivtool.export", "pykiv", "numpy", "PIL.Image", "PIL.PngImagePlugin"]


def worker_context() -> multiprocessing.context.BaseContext:
    """How workers start. Never as a plain fork of this process: the tool's
    own threads (the pool's, the progress bar's) must not be copied into
    them. Where there is a fork server, workers are forked from it: it is a
    fresh interpreter that has imported the workers' modules once, so a
    worker starts in a millisecond instead of importing them again, which
    took about a fifth of a second per worker. Elsewhere (Windows) each
    worker is a fresh interpreter."""
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(WORKER_MODULES)
        return context
    return multiprocessing.get_context("spawn")


def chunk_size(files: int, jobs: int) -> int:
    """Files per hand-out. Handing a worker one file costs about a
    millisecond in each process, as much as exporting a small file takes a
    few times over; a few files at a time spare that, while enough hand-outs
    remain to keep every worker busy to the end."""
    return max(1, min(8, files // (jobs * 16)))


def run(
    source: Path,
    destination: Path,
    options: Options,
    jobs: int,
    memory_limit: Optional[int] = None,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    on_result: Callable[[FileResult, int, int], None] = lambda result, done, total: None,
    files: Optional[List[Path]] = None,
    palette: Optional[Path] = None,
    worker: Callable[..., FileResult] = export_file,
    chunk: Optional[int] = None,
) -> Summary:
    """Exports every animation under `source` (or `files` found there) into
    `destination`, `jobs` files at a time, each with `worker`, `chunk` files
    to a hand-out; `on_result` hears of each file as it is done."""
    import pebble

    start = time.perf_counter()
    sources = [str(path.relative_to(source)) for path in (files or find_animations(source))]
    chunk = chunk or chunk_size(len(sources), jobs)
    arguments = (str(source), str(destination), options, str(palette) if palette is not None else None)
    results: List[FileResult] = []
    context = worker_context()
    with pebble.ProcessPool(
        max_workers=jobs, initializer=limit_worker, initargs=(memory_limit,), context=context
    ) as pool:
        pending: Dict[Future[List[FileResult]], List[str]] = {}

        def hand_out(names: List[str]) -> None:
            limit = timeout * len(names) if timeout is not None else None
            pending[pool.schedule(export_files, args=(worker, names, *arguments), timeout=limit)] = names

        for first in range(0, len(sources), chunk):
            hand_out(sources[first : first + chunk])
        while pending:
            finished, _ = wait(list(pending), return_when=FIRST_COMPLETED)
            for future in finished:
                names = pending.pop(future)
                try:
                    done = future.result()
                except Exception as error:  # the worker died, ran out of time or broke
                    if len(names) > 1:
                        # Which of the files was the cause is not known: each
                        # is tried again on its own.
                        for name in names:
                            hand_out([name])
                        continue
                    done = [FileResult(names[0], error=died(error, source / names[0]))]
                for result in done:
                    results.append(result)
                    on_result(result, len(results), len(sources))
    return Summary(results, time.perf_counter() - start)


def progress_reporter(total: int, stream_is_terminal: bool) -> Callable[[FileResult, int, int], None]:
    """A progress bar (count, rate, time left) on a terminal, one plain line
    per file otherwise."""
    if stream_is_terminal:
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

        bar = tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True)

        def on_bar(result: FileResult, done: int, total: int) -> None:
            if result.error is not None:
                bar.write(f"failed: {result.error}", file=sys.stderr)
            bar.update(1)
            if done == total:
                bar.close()

        return on_bar

    def on_line(result: FileResult, done: int, total: int) -> None:
        status = "ok" if result.error is None else f"failed: {result.error}"
        print(f"[{done}/{total}] {result.source}: {status}", flush=True)

    return on_line
