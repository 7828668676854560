"""Output files that are whole or absent, also when the tool is stopped.

A file is written under a temporary name beside its target and renamed over
it only once it is complete, so that an interrupt (Ctrl-C, SIGTERM, a full
disk) leaves the target as it was: the old file, or none. The temporary file
is removed on every failure.
"""

from __future__ import annotations

import os
import secrets
import stat
from pathlib import Path
from typing import BinaryIO, Callable, Optional

# As many links in a row as the systems themselves follow before giving up.
MAX_LINKS_FOLLOWED = 40
TEMPORARY_SUFFIX = ".kivtool-tmp"


def write_target(path: Path) -> Path:
    """The file that writing to `path` replaces: every symbolic link at its
    end followed, so that a link stays a link and its target gets the new
    contents."""
    for _ in range(MAX_LINKS_FOLLOWED):
        if not path.is_symlink():
            return path
        path = path.parent / os.readlink(path)
    raise OSError(f"too many symbolic links in a row at {path}")


def write_bytes(file: BinaryIO, contents: bytes) -> None:
    file.write(contents)


def write_whole(path: Path, write: Callable[[BinaryIO], None], check: Optional[Callable[[Path], None]] = None) -> None:
    """Calls `write` with a file open for writing beside `path` and puts that
    file in place of `path` when `write` returns (and `check`, given the
    written file's path, returns). An existing file keeps its permission
    bits, set before anything is written, so that the contents of a private
    file are never readable by others."""
    target = write_target(path)
    try:
        mode = stat.S_IMODE(target.stat().st_mode)
    except FileNotFoundError:
        mode = None
    for _ in range(8):
        temporary = target.with_name(f".{target.name[:64]}.{secrets.token_hex(4)}{TEMPORARY_SUFFIX}")
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            break
        except FileExistsError:
            continue
    else:
        raise OSError(f"cannot create a temporary file beside {target}")
    try:
        if mode is not None:
            os.chmod(temporary, mode)
        with os.fdopen(descriptor, "wb") as file:
            write(file)
        if check is not None:
            check(temporary)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise
