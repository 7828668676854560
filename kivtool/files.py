"""Output files that are whole or absent, also when the tool is stopped.

The core's file replacement does the writing (`kivtool._core.FileReplacement`,
the same as `KivF.save`): the new contents go to a file beside the target
and are renamed over it only once complete, a link stays a link and the file
it names gets the contents, the permission bits stay. An interrupt (Ctrl-C,
SIGTERM, a full disk) before the rename leaves the target as it was, the old
file or none, and the prepared file is removed.
"""

from __future__ import annotations

import io
from pathlib import Path
from typing import BinaryIO, Callable, Optional

from kivtool import _core


def replace_with(path: Path, contents: bytes, check: Optional[Callable[[Path], None]] = None) -> None:
    """Puts `contents` in place of `path` once `check` (given a file holding
    them) has returned. Raises OSError naming the cause."""
    with _core.FileReplacement(str(path)) as replacement:
        replacement.write(contents)
        if check is not None:
            replacement.verify(lambda written: check(Path(written)))
        replacement.commit()


def write_whole(path: Path, write: Callable[[BinaryIO], None], check: Optional[Callable[[Path], None]] = None) -> None:
    """Puts what `write` writes to the file object it is given in place of
    `path`, once `write` (and `check`, given a file holding the new
    contents) has returned. Raises OSError naming the cause."""
    buffer = io.BytesIO()
    write(buffer)
    contents = buffer.getvalue()
    buffer.close()
    replace_with(path, contents, check)
