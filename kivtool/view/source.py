"""Where the viewer gets animations from, and how it writes them back.

Everything the server needs of the native side goes through this module:
`load` (the whole load as a value: status, error lines, the frame table, the
palette, each frame's RGBA and index plane), `patch_placement` (the same
file bytes with only the speed and the frame offsets changed) and
`replace_file` (the safe replacement of a file). A server answers many
requests; a load outcome handed back as a value is what keeps it from
having to catch the module's messages on a shared `sys.stderr`.
"""

from __future__ import annotations

import hashlib
from dataclasses import dataclass
from typing import Any, List, Optional, Tuple

try:
    from kivtool import _core  # type: ignore[attr-defined,unused-ignore]
except ImportError:  # TEMPORARY: until the tool's native module is built
    _core = None

# What a load's status means, as the page shows it.
STATUS_REASONS = {
    "cannot_open": "cannot be opened",
    "no_frames": "holds no frames",
    "palette_missing": "its palette cannot be found or opened",
    "palette_invalid": "its palette file is not usable",
    "no_colors": "its palette holds no colours",
}


@dataclass
class Outcome:
    """One load: the native outcome when the file can be shown, else the
    reason it cannot, as one sentence without the file name."""

    loaded: Any
    reason: Optional[str]
    digest: str  # sha256 of the bytes that were loaded
    data: bytes  # those bytes, for a later save under another name


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def load(path: str, palette: str = "") -> Outcome:
    """Loads `path` once from its bytes on disk; the digest is of those bytes.
    OSError when the file cannot be read."""
    with open(path, "rb") as stream:
        data = stream.read()
    if _core is None:
        return _fallback_load(path, palette, data)
    try:
        loaded = _core.load(path, palette)
    except MemoryError:
        return Outcome(None, "its frames need more memory than the viewer may use", digest(data), data)
    reason = None
    if loaded.status != "loaded":
        reason = STATUS_REASONS.get(loaded.status, loaded.status)
        if loaded.errors:
            reason += f" ({loaded.errors[0]})"
        elif loaded.status.startswith("palette") and loaded.palette_tried:
            reason += f" ({loaded.palette_tried})"
    return Outcome(loaded, reason, digest(data), data)


def patch_placement(data: bytes, speed: int, offsets: List[Tuple[int, int]]) -> bytes:
    """`data` with only its speed and its frames' offsets changed; ValueError
    when `data` is not a whole animation file or a value does not fit."""
    if _core is None:
        return _fallback_patch(data, speed, offsets)
    result: bytes = _core.patch_placement(data, speed, offsets)
    return result


def replace_file(path: str, data: bytes) -> None:
    """Replaces the file at `path` by `data` safely (links followed, mode and
    owner kept, never a cut file); OSError naming the cause."""
    if _core is None:
        _fallback_replace(path, data)
        return
    _core.replace_file(path, data)


# --------------------------------------------------------------------------
# TEMPORARY: until the tool's native module is built, the same through
# pykiv and Python. Remove with the first build that has kivtool._core.

import os  # noqa: E402
import struct  # noqa: E402
import threading  # noqa: E402

_module_lock = threading.Lock()


class _FallbackFrame:
    def __init__(self, info: Any) -> None:
        self.width = info.width
        self.height = info.height
        self.x_offset = info.x_offset
        self.y_offset = info.y_offset
        self.is_shadow = info.kind == "shadow"
        self.runs = 0


class _FallbackLoaded:
    def __init__(self, animation: Any) -> None:
        self.status = "loaded"
        self.errors = list(animation.messages)
        self.speed = animation.speed
        self.frame_count = animation.frame_count
        self.has_background = animation.has_background
        self.location = animation.location or ""
        self.palette_used = animation.palette_path or ""
        data = animation.kiv.data()
        self.colors = [(c.r, c.g, c.b, c.a) for c in data.palette.colors()]
        self.frames = [_FallbackFrame(f) for f in animation.frames]
        self._pixels = [bytes(f.pixels) for f in animation.rendered]

    def rgba(self, index: int) -> bytes:
        return self._pixels[index]

    def indices(self, index: int) -> Tuple[bytes, bytes]:
        import numpy as np

        frame = self.frames[index]
        rgba = np.frombuffer(self._pixels[index], np.uint8).reshape(-1, 4)
        painted = np.zeros(len(rgba), np.uint8)
        plane = np.zeros(len(rgba), np.uint8)
        if frame.is_shadow:
            painted[(rgba == (0, 0, 0, 255)).all(1)] = 1
            return plane.tobytes(), painted.tobytes()
        for number, color in reversed(list(enumerate(self.colors))):
            hit = (rgba == color).all(1) & (rgba[:, 3] > 0)
            plane[hit] = number
            painted[hit] = 1
        return plane.tobytes(), painted.tobytes()


def _fallback_load(path: str, palette: str, data: bytes) -> Outcome:
    from pathlib import Path

    from kivtool.animation import LoadError, load_animation

    with _module_lock:
        try:
            animation = load_animation(Path(path), Path(palette) if palette else None)
        except LoadError as error:
            reason = str(error)
            if reason.startswith(f"{path}: "):
                reason = reason[len(path) + 2 :]
            return Outcome(None, reason, digest(data), data)
        return Outcome(_FallbackLoaded(animation), None, digest(data), data)


def _fallback_patch(data: bytes, speed: int, offsets: List[Tuple[int, int]]) -> bytes:
    out = bytearray(data)
    at = 0
    if data[:4] == b"KVIF":
        at = 9
    struct.pack_into("<I", out, at, speed)
    (length,) = struct.unpack_from("<I", data, at + 4)
    at += 8 + length
    (count,) = struct.unpack_from("<I", data, at)
    at += 4
    shadow_seen = False
    for x, y in offsets:
        _, word, _ = struct.unpack_from("<IHH", data, at)
        shadow = (word & 0x8000) != 0 if not shadow_seen else False
        shadow_seen = shadow_seen or shadow
        height = word & 0xFF if shadow_seen else word
        struct.pack_into("<hh", out, at + 8, y, x)
        at += 14
        for _ in range(height):
            blocks = data[at]
            at += 1
            for _ in range(blocks):
                paint = data[at + 1]
                at += 2 + (0 if shadow else paint)
    if at > len(data):
        raise ValueError("not a whole animation file")
    return bytes(out)


def _fallback_replace(path: str, data: bytes) -> None:
    target = os.path.realpath(path)
    temporary = f"{target}.kivtool-view.tmp"
    with open(temporary, "wb") as stream:
        stream.write(data)
        stream.flush()
        os.fsync(stream.fileno())
    if os.path.exists(target):
        os.chmod(temporary, os.stat(target).st_mode & 0o7777)
    os.replace(temporary, target)
