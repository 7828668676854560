"""Exporting every animation under a folder, spread over worker processes.

The module holds the interpreter lock while it loads and renders, so files
are spread over processes, not threads. Files from anywhere can be damaged
or hostile: each worker runs under an address-space limit (where the system
has one; a limit the user set is never raised), so that a file declaring
huge frames is refused with a MemoryError instead of driving the machine out
of memory, and each file has a time limit. A worker that dies or runs out of time costs only the file it
was working on: the pool starts a new worker, the other files handed out
with that one are tried again one by one, and the rest go on.
"""

from __future__ import annotations

import os
import stat
import sys
import time
from concurrent.futures import FIRST_COMPLETED, Future, wait
from concurrent.futures import TimeoutError as FutureTimeout
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from kivtool.animation import LoadError, load_animation
from kivtool.export import export
from kivtool.files import regenerable
from kivtool.memory import limit_address_space
from kivtool.output import ExportError, Options, Timings
from kivtool.text import printable
from kivtool.worker_start import worker_context

SUFFIX = ".kiv"
DEFAULT_TIMEOUT = 300.0  # seconds for one file


@dataclass
class FileResult:
    source: str  # relative to the source folder
    error: Optional[str] = None  # why the file failed, None when it was exported
    written: int = 0
    warnings: List[str] = field(default_factory=list)  # whole lines, each naming its file
    load: float = 0.0  # seconds reading and rendering
    compose: float = 0.0  # seconds placing frames on canvases and sheets
    encode: float = 0.0  # seconds encoding and writing image files
    total: float = 0.0  # seconds in the worker for this file, all included
    outputs: List[Union[str, bytes]] = field(default_factory=list)  # written without a sync, for run() to sync


@dataclass
class Summary:
    results: List[FileResult]
    seconds: float
    stopped: Optional[KeyboardInterrupt] = None  # what stopped the batch before its end
    not_done: int = 0  # files not exported when it was stopped or its workers could not be made
    broken: Optional[str] = None  # why worker processes could not be made, when they could not

    @property
    def failures(self) -> List[FileResult]:
        return [result for result in self.results if result.error is not None]


@dataclass
class Found:
    """What a walk of the source folder found: the animation files, and
    what it had to leave out, each with the reason (paths under the source
    folder)."""

    files: List[Path]
    skipped: List[Tuple[Path, str]]


def find_animations(source: Path) -> Found:
    """Every animation file under `source`, in a stable order, and every
    entry left out that may have been meant as one. Links to folders are not
    followed, so a link loop cannot make the walk endless; only regular
    files are taken, so a pipe named like an animation cannot make a worker
    wait for a writer."""
    files: List[Path] = []
    skipped: List[Tuple[Path, str]] = []

    def unreadable(error: OSError) -> None:
        path = Path(error.filename) if error.filename else source
        skipped.append((path, f"cannot read the folder: {error.strerror or error}"))

    for folder, subfolders, names in os.walk(source, onerror=unreadable):
        subfolders.sort()
        for name in subfolders:
            if name.lower().endswith(SUFFIX):
                skipped.append((Path(folder) / name, "is a folder, not an animation file"))
        for name in sorted(names):
            if not name.lower().endswith(SUFFIX):
                continue
            path = Path(folder) / name
            try:
                status = path.stat()
            except FileNotFoundError:
                skipped.append((path, "is a symbolic link to nothing"))
                continue
            except OSError as error:
                skipped.append((path, f"cannot be examined: {error.strerror or error}"))
                continue
            if stat.S_ISREG(status.st_mode):
                files.append(path)
            elif stat.S_ISDIR(status.st_mode):
                skipped.append((path, "is a link to a folder, not an animation file"))
            else:
                skipped.append((path, "is not a regular file (a pipe or a device)"))
    return Found(files, skipped)


def output_key(source: Path, path: Path) -> Tuple[str, str]:
    """What names the outputs of `path`: its folder under the source and its
    stem, compared without case as Windows compares names."""
    relative = path.relative_to(source)
    return (relative.parent.as_posix().casefold(), relative.stem.casefold())


def output_collisions(source: Path, files: List[Path]) -> List[Tuple[Path, str]]:
    """The files whose outputs would have the same names as another's (names
    compared without case), each with the one it collides with. All of them
    are left out: which of the two was meant is not known."""
    by_key: Dict[Tuple[str, str], List[Path]] = {}
    for path in files:
        by_key.setdefault(output_key(source, path), []).append(path)
    collisions = []
    for paths in by_key.values():
        if len(paths) > 1:
            for path in paths:
                others = ", ".join(str(other) for other in paths if other != path)
                collisions.append(
                    (
                        path,
                        f"its output files would have the same names as those of {others} "
                        "(names compared without case, as Windows does); neither is written",
                    )
                )
    return collisions


class WorkerStopped(SystemExit):
    """SIGTERM in a worker: the pool is ending it."""


def stop_worker(signum: int, frame: object) -> None:
    # Raised where the worker is, so that the new contents it has prepared
    # beside a target are removed on the way out (an idle worker just exits).
    raise WorkerStopped(128 + signum)


def start_worker(memory_limit: Optional[int]) -> None:
    """Runs in each worker as it starts."""
    import signal

    signal.signal(signal.SIGTERM, stop_worker)
    limit_address_space(memory_limit)


def export_file(
    source: str, root: str, destination: str, options: Options, palette: Optional[str] = None
) -> FileResult:
    """Exports one animation; runs in a worker. `source` is relative to
    `root`; the files go to the same relative folder under `destination`."""
    result = FileResult(source)
    path = Path(root) / source
    target = Path(destination) / Path(source).parent
    start = time.perf_counter()
    try:
        animation = load_animation(path, Path(palette) if palette is not None else None)
        result.load = time.perf_counter() - start
        result.warnings = [f"{path}: {message}" for message in animation.messages[:3]]
        result.warnings += [f"{path}: {warning}" for warning in animation.warnings]
        try:
            target.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise ExportError(f"{target}: cannot create the output folder: {error.strerror or error}") from None
        timings = Timings()
        result.written = len(export(animation, target, options, timings, result.warnings))
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
    try:
        # Outputs are not synced here: run() syncs all of the batch's at its end.
        results = []
        with regenerable(sync=False) as written:
            for name in names:
                start = len(written)
                result = worker(name, root, destination, options, palette)
                result.outputs = written[start:]
                results.append(result)
        return results
    except WorkerStopped as stop:
        # Ended by the pool, which waits for no answer: out at once.
        os._exit(stop.code if isinstance(stop.code, int) else 1)


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
    start = time.perf_counter()
    if files is None:
        files = find_animations(source).files
    sources = [str(path.relative_to(source)) for path in files]
    chunk = chunk or chunk_size(len(sources), jobs)
    # Absolute, since a worker's current folder is not this process's: a
    # fork server keeps the folder it was started in.
    arguments = (
        os.path.abspath(source),
        os.path.abspath(destination),
        options,
        os.path.abspath(palette) if palette is not None else None,
    )
    results: List[FileResult] = []
    if not sources:
        return Summary(results, time.perf_counter() - start)
    # What the workers wrote is synced once, at the end (also when stopped):
    # by the enclosing scope of the command, or by this one.
    with regenerable() as written:
        return run_pool(
            sources, source, arguments, jobs, memory_limit, timeout, on_result, chunk, worker, written, start
        )


def run_pool(
    sources: List[str],
    source: Path,
    arguments: Tuple[str, str, Options, Optional[str]],
    jobs: int,
    memory_limit: Optional[int],
    timeout: Optional[float],
    on_result: Callable[[FileResult, int, int], None],
    chunk: int,
    worker: Callable[..., FileResult],
    written: List[Union[str, bytes]],
    start: float,
) -> Summary:
    """run()'s work once there are files: hands them out to a pool of
    workers and gathers their results, and the outputs they wrote into
    `written`."""
    results: List[FileResult] = []
    import pebble

    # The pool's manager looks at its workers every `sleep_unit` seconds
    # (0.1 by default), and closing the pool waits for its next look: a
    # twentieth of a second on average at the end of every batch, a few
    # percent of a batch of small files. A look costs microseconds.
    consts = getattr(pebble, "CONSTS", None)
    if consts is not None:
        consts.sleep_unit = min(consts.sleep_unit, 0.01)
    context = worker_context()
    pool = pebble.ProcessPool(max_workers=jobs, initializer=start_worker, initargs=(memory_limit,), context=context)
    pending: Dict[Future[List[FileResult]], List[str]] = {}

    def hand_out(names: List[str]) -> None:
        limit = timeout * len(names) if timeout is not None else None
        pending[pool.schedule(export_files, args=(worker, names, *arguments), timeout=limit)] = names

    try:
        for first in range(0, len(sources), chunk):
            hand_out(sources[first : first + chunk])
        while pending:
            finished, _ = wait(list(pending), return_when=FIRST_COMPLETED)
            for future in finished:
                names = pending.pop(future)
                try:
                    done = future.result()
                except BrokenProcessPool:
                    raise
                except Exception as error:  # the worker died, ran out of time or broke
                    if len(names) > 1:
                        # Which of the files was the cause is not known: each
                        # is tried again on its own.
                        for name in names:
                            hand_out([name])
                        continue
                    done = [FileResult(names[0], error=died(error, source / names[0]))]
                for result in done:
                    written.extend(result.outputs)
                    as_given(result, arguments[0], str(source))
                    results.append(result)
                    on_result(result, len(results), len(sources))
    except BrokenProcessPool as error:
        # No worker process can be made (the system's limit on processes,
        # or on memory): the files not done are reported, not a traceback.
        stop_pool(pool)
        return Summary(
            results,
            time.perf_counter() - start,
            not_done=len(sources) - len(results),
            broken=cannot_start(error),
        )
    except KeyboardInterrupt as stop:  # Ctrl-C, or SIGTERM as the command line raises it
        # The files not handed out are dropped and the workers ended at once
        # (each removes the file it was writing); what was done is kept.
        pool.stop()  # type: ignore[no-untyped-call,unused-ignore]
        pool.join()
        return Summary(results, time.perf_counter() - start, stopped=stop, not_done=len(sources) - len(results))
    except BaseException:
        pool.stop()  # type: ignore[no-untyped-call,unused-ignore]
        pool.join()
        raise
    pool.close()  # type: ignore[no-untyped-call,unused-ignore]
    pool.join()
    return Summary(results, time.perf_counter() - start)


def stop_pool(pool: Any) -> None:
    try:
        pool.stop()
        pool.join()
    except Exception:  # a pool that broke may fail to stop too; its workers are gone
        pass


def cannot_start(error: BaseException) -> str:
    """Why the pool could not make its workers, from the error under
    BrokenProcessPool (an OSError from fork, as a rule)."""
    cause = error.__cause__ or error.__context__ or error
    if isinstance(cause, OSError) and cause.strerror:
        return cause.strerror
    return str(cause) or type(cause).__name__


def as_given(result: FileResult, absolute: str, given: str) -> None:
    """Names the files of `result`'s messages as the user gave the source
    folder, not by the absolute path the worker was handed."""

    def shown(text: str) -> str:
        return given + text[len(absolute) :] if text.startswith(absolute + os.sep) else text

    if result.error is not None:
        result.error = shown(result.error)
    result.warnings = [shown(line) for line in result.warnings]


class Progress:
    """A progress bar (count, rate, time left) on a terminal, one plain line
    per file otherwise; called with each file's result as it is done."""

    def __init__(self, total: int, stream_is_terminal: bool) -> None:
        self.bar: Any = None
        if stream_is_terminal:
            from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

            self.bar = tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True)

    def __call__(self, result: FileResult, done: int, total: int) -> None:
        if self.bar is None:
            status = "ok" if result.error is None else f"failed: {result.error}"
            print(printable(f"[{done}/{total}] {result.source}: {status}"), flush=True)
            return
        if result.error is not None:
            self.bar.write(printable(f"failed: {result.error}"), file=sys.stderr)
        self.bar.update(1)

    def close(self) -> None:
        """Ends the bar, also when the batch stopped before its end, so that
        the summary starts on a line of its own."""
        if self.bar is not None:
            self.bar.close()
