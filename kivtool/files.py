"""Output files that are whole or absent, also when the tool is stopped.

The core's file replacement does the writing (`kivtool._core.FileReplacement`,
the same as `KivF.save`): the new contents go to a file beside the target
and are renamed over it only once complete, a link stays a link and the file
it names gets the contents, the permission bits stay. An interrupt (Ctrl-C,
SIGTERM, a full disk) before the rename leaves the target as it was, the old
file or none, and the prepared file is removed.

How long a write waits for the disk depends on what is written. A file the
user made (an imported animation, a palette) is synced before and after its
rename, so that a power cut leaves the old file or the new one. Outputs that
can be made again from their sources (what export, batch, demo and palette
export write) are written inside `regenerable()`: each is still renamed into
place whole, but none is synced on its own; the scope syncs them all once,
when it ends. A power cut during such a command can leave some of its
outputs empty or missing; running it again makes them.
"""

from __future__ import annotations

import os
import stat
from contextlib import contextmanager

from kivtool import _core

# `kivtool info` reads through here: what is imported for typing alone
# (pathlib, typing) would cost it more than its own work.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path
    from typing import BinaryIO, Callable, Iterator, List, Optional, Union

# Opened without waiting: a pipe opened for reading would wait for a writer
# before fstat could tell what it is.
_READ_FLAGS = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)


# The outputs written inside the current `regenerable()` scope, or None
# outside any: then every replacement is synced on its own.
_unsynced: Optional[List[Union[str, bytes]]] = None


@contextmanager
def regenerable(sync: bool = True) -> Iterator[List[Union[str, bytes]]]:
    """A scope whose replacements are not synced one by one: the list it
    yields gathers the paths written (more may be added, such as those a
    worker process wrote), and all are synced together when the scope ends
    (`sync_written`), unless `sync` is false (a worker hands them to the
    process that syncs). Inside an enclosing scope, that one gathers and
    syncs. A failed sync at the end raises NotSynced, unless the scope is
    left by an exception already."""
    global _unsynced
    if _unsynced is not None:
        yield _unsynced
        return
    written: List[Union[str, bytes]] = []
    _unsynced = written
    try:
        yield written
    except BaseException:
        _unsynced = None
        if sync:
            try:
                sync_written(written)
            except NotSynced:
                pass  # what ended the scope is the error to report
        raise
    _unsynced = None
    if sync:
        sync_written(written)


def sync_written(paths: List[Union[str, bytes]]) -> None:
    """Brings the files at `paths`, written without a sync, to the disk:
    one sync of each file system they are on (Linux), or of each file and
    folder. Raises NotSynced naming the file that could not be synced."""
    if not paths:
        return
    try:
        _core.sync_written(paths)
    except OSError as error:
        name = os.fsdecode(error.filename) if error.filename is not None else "the outputs"
        raise NotSynced(f"{name}: written, but {error.strerror or error}") from None


class NotSynced(Exception):
    """Outputs written in place but not brought to the disk; the text names
    the file and the cause."""


class NotReadable(Exception):
    """A path that names no regular file that can be read; the text names
    the file and the cause."""


def open_regular(path: Union[str, Path], what: str, limit: Optional[int] = None) -> int:
    """A descriptor open for reading on `path`, refused unless the file it
    opened is a regular file (of at most `limit` bytes, when given): what it
    is is learnt from the opened file, so a name swapped between a check and
    the open cannot make the tool read a pipe (which waits for a writer) or
    a device (which can be endless). `what` names what the file should be
    ("an image"). Raises NotReadable."""
    try:
        descriptor = os.open(path, _READ_FLAGS)
    except FileNotFoundError:
        raise NotReadable(f"{path}: no such file") from None
    except OSError as error:
        if os.path.isdir(path):  # Windows refuses to open a folder at all
            raise NotReadable(f"{path}: is a folder, not {what}") from None
        raise NotReadable(f"{path}: cannot open: {error.strerror or error}") from None
    except (TypeError, ValueError):  # a NUL in the name
        raise NotReadable(f"{path}: the file name is not valid text") from None
    try:
        status = os.fstat(descriptor)
        if stat.S_ISDIR(status.st_mode):
            raise NotReadable(f"{path}: is a folder, not {what}")
        if not stat.S_ISREG(status.st_mode):
            raise NotReadable(f"{path}: is not a regular file (a pipe or a device); {what} is read from files only")
        if limit is not None and status.st_size > limit:
            raise NotReadable(f"{path}: is {status.st_size:,} bytes, more than the {limit:,} that {what} may have")
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor


def check_regular(path: Union[str, Path], what: str) -> None:
    """Refuses `path` (NotReadable) unless it names a regular file that can
    be opened, before a library that takes a path opens it."""
    os.close(open_regular(path, what))


def read_regular(path: Union[str, Path], what: str, limit: Optional[int] = None) -> bytes:
    """The contents of the regular file `path` (see open_regular). A file
    that grows past `limit` while it is read is refused too."""
    descriptor = open_regular(path, what, limit)
    try:
        with os.fdopen(descriptor, "rb", closefd=False) as file:
            data = file.read() if limit is None else file.read(limit + 1)
    except OSError as error:
        raise NotReadable(f"{path}: cannot read: {error.strerror or error}") from None
    finally:
        os.close(descriptor)
    if limit is not None and len(data) > limit:
        raise NotReadable(f"{path}: is more than the {limit:,} bytes that {what} may have")
    return data


def replace_file(
    path: Union[str, bytes, Path],
    contents: bytes,
    check: Optional[Callable[[str], object]] = None,
    root: Union[str, bytes, Path] = "",
) -> None:
    """Puts `contents` in place of `path` as a whole or not at all: they are
    written beside it, handed to `check` (as the name of a file holding
    them) when one is given, and renamed over `path` only once `check` has
    returned. With a `root` (the viewer's folder), `path` is taken relative
    to it and resolved beneath it: a link that leads out of it is not
    followed and a file with other hard links is refused. Raises OSError
    naming the cause, or what `check` raises; `path` is then as it was.
    Inside `regenerable()` nothing is synced until the scope ends."""
    unsynced = _unsynced
    with _core.FileReplacement(os.fspath(path), os.fspath(root), synced=unsynced is None) as replacement:
        replacement.write(contents)
        if check is not None:
            replacement.verify(check)
        replacement.commit()
    if unsynced is not None:
        # Absolute: the scope may end in another current folder.
        target = os.path.join(os.fsencode(root), os.fsencode(path)) if root else os.fspath(path)
        unsynced.append(os.path.abspath(target))


def write_whole(path: Path, write: Callable[[BinaryIO], None], check: Optional[Callable[[str], object]] = None) -> None:
    """Puts what `write` writes to the file object it is given in place of
    `path`, once `write` (and `check`, given a file holding the new
    contents) has returned. Raises OSError naming the cause."""
    import io

    buffer = io.BytesIO()
    write(buffer)
    contents = buffer.getvalue()
    buffer.close()
    replace_file(path, contents, check)
