"""Where the viewer gets animations from, and how it writes them back.

Everything the server needs of the native side goes through here: the load
(`kivtool.animation.load_animation` over the core's load, whose outcome,
error lines included, comes back as a value: a server answering many
requests cannot catch messages on a shared `sys.stderr`), each frame's RGBA
and index plane from that load, the placement patch (the same file bytes
with only the speed and the frame offsets changed) and the core's safe
replacement of a file.
"""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional, Tuple

from kivtool import _core
from kivtool.animation import Animation, LoadError, load_animation

# A file that keeps changing while it is loaded is shown as it was at the
# last of these tries.
LOAD_TRIES = 3


@dataclass
class Outcome:
    """One load: the animation when it can be shown, else the reason it
    cannot, as one sentence without the file name."""

    animation: Optional[Animation]
    reason: Optional[str]
    digest: str  # sha256 of the file's bytes as loaded
    data: bytes  # those bytes, for a later save under another name


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def _identity(path: str) -> Tuple[int, int, int]:
    info = os.stat(path)
    return info.st_mtime_ns, info.st_size, info.st_ino


def pixel_bytes(path: str) -> int:
    """The bytes of RGBA the frames of `path` render to, from its header and
    frame table alone (nothing is rendered); 0 when they cannot be read."""
    try:
        header = _core.read_header(path)
    except (MemoryError, OSError, RuntimeError, ValueError):
        return 0
    return sum(frame.width * frame.height * 4 for frame in header.frames)


def load(path: str, palette: str = "") -> Outcome:
    """Loads `path`; the digest is of the bytes the load read (the file is
    read again when it changed while it was loaded). OSError when it cannot
    be read."""
    for _ in range(LOAD_TRIES):
        before = _identity(path)
        with open(path, "rb") as stream:
            data = stream.read()
        animation: Optional[Animation] = None
        reason: Optional[str] = None
        try:
            animation = load_animation(Path(path), Path(palette) if palette else None)
        except LoadError as error:
            reason = str(error)
            prefix = f"{path}: "
            if reason.startswith(prefix):
                reason = reason[len(prefix) :]
        if _identity(path) == before:
            break
    return Outcome(animation, reason, digest(data), data)


def rgba(animation: Animation, index: int) -> bytes:
    """Frame `index` as the module renders it: width x height x R, G, B, A."""
    assert animation.loaded is not None
    return animation.loaded.rgba(index)


def indices(animation: Animation, index: int) -> bytes:
    """Frame `index`'s palette indices, then its painted mask (0 or 1), each
    width x height bytes."""
    assert animation.loaded is not None
    plane, mask = animation.loaded.indices(index)
    return plane + mask


def colors(animation: Animation) -> List[Tuple[int, int, int, int]]:
    assert animation.loaded is not None
    return list(animation.loaded.colors)


def patch_placement(data: bytes, speed: int, offsets: List[Tuple[int, int]]) -> bytes:
    """`data` with only its speed and its frames' offsets changed; ValueError
    when `data` is not a whole animation file or a value does not fit."""
    return _core.patch_placement(data, speed, offsets)


def replace_file(path: str, data: bytes) -> None:
    """Replaces the file at `path` by `data` safely (links followed, mode and
    owner kept, never a cut file); OSError naming the cause."""
    _core.replace_file(path, data)
