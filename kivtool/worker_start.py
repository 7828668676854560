"""How `kivtool batch` starts its worker processes, apart from the rest of
the batch so that the command can start them before it imports what it
exports with."""

from __future__ import annotations

import multiprocessing

# What a worker imports to export a file: loaded once into the fork server,
# so that each worker starts as a fork of a process that has them already.
# The pool's own side of a worker (pebble.pool.process, which brings
# asyncio and ssl) is among them: 70 ms that each worker paid at its start.
WORKER_MODULES = [
    "kivtool.animation",
    "kivtool.export",
    "kivtool.batch",
    "pykiv",
    "numpy",
    "PIL.Image",
    "PIL.PngImagePlugin",
    "pebble.pool.process",
]


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


def start_early() -> None:
    """Starts the fork server now rather than at the first worker: it
    imports the workers' modules (about a tenth of a second) on another core
    while this process imports the same for its options and walks the
    source folder. The server ends when this process does, also when the
    command ends before any worker is made."""
    if "forkserver" in multiprocessing.get_all_start_methods():
        from multiprocessing import forkserver

        worker_context()
        forkserver.ensure_running()
