"""Where the viewer gets animations from, and how it writes them back.

Everything the server needs of the native side goes through here: the read
of a file's bytes (once: what is digested is what is decoded, and what a
save compares against), the load of those bytes
(`kivtool.animation`'s over the core's animation object, made once from
those bytes, whose outcome, error lines included, comes back as a value: a server answering many
requests cannot catch messages on a shared `sys.stderr`), each frame's RGBA
and index plane from that load, the placement patch (the same file bytes
with only the speed and the frame offsets changed) and the core's safe
replacement of a file.
"""

from __future__ import annotations

import hashlib
import os
import stat
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, List, Optional, Tuple, Union

from kivtool import _core, files
from kivtool.animation import Animation, LoadError, as_animation, open_animation, render

# RGBA of all frames of one animation: what the page is sent and the server
# keeps for it. A file larger than this on disk is not read at all: its
# bytes alone would cost as much.
MAX_PIXEL_BYTES = 256 << 20


class Unfit(Exception):
    """A file the viewer does not read; the text says why, as one sentence
    without the file's name."""


@dataclass
class Outcome:
    """One load: the animation when it can be shown, else the reason it
    cannot, as one sentence without the file name."""

    animation: Optional[Animation]
    reason: Optional[str]
    digest: str  # sha256 of the whole file as read
    size: int  # bytes of the file the load holds (its object patches them for a save); 0 when none
    pixels: int = 0  # bytes of RGBA the load holds

    @property
    def cost(self) -> int:
        """What keeping this load costs in memory, roughly: its bytes and
        its rendered frames."""
        return self.size + self.pixels


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def kind_reason(mode: int) -> Optional[str]:
    """Why a file of this kind is not read, None for a regular file."""
    if stat.S_ISREG(mode):
        return None
    if stat.S_ISDIR(mode):
        return "is a folder, not an animation file"
    if stat.S_ISFIFO(mode):
        return "is a named pipe (FIFO), not an animation file"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "is a device, not an animation file"
    if stat.S_ISSOCK(mode):
        return "is a socket, not an animation file"
    return "is not a regular file"


def unfit_reason(info: os.stat_result) -> Optional[str]:
    """Why the file described by `info` is not read, None when it can be."""
    reason = kind_reason(info.st_mode)
    if reason is not None:
        return reason
    if info.st_nlink > 1:
        # A save writes in place of the name it was asked for; the file's
        # other names would keep the old contents or, where the save writes
        # in place, a file elsewhere would change with it.
        return (
            f"has {info.st_nlink} names on disk (hard links); the viewer opens only files with one name, "
            "so that a save changes no other file"
        )
    if info.st_size > MAX_PIXEL_BYTES:
        return f"is {info.st_size >> 20} MiB on disk, more than the viewer loads ({MAX_PIXEL_BYTES >> 20} MiB)"
    if info.st_size == 0:
        return "is empty"
    return None


def beneath(root: str, path: str) -> str:
    """`path` (canonical, under `root`) relative to `root`, as the core's
    reader and replacement take it with a root."""
    return os.path.relpath(path, root)


def read(root: str, path: str) -> bytes:
    """The whole file at `path` (canonical, under `root`), read once, by the
    core's reader beneath `root`: a link swapped in that leads out of it is
    not followed, and what the file is (a regular file, not larger than the
    guard) is learnt from the opened file. Unfit for a file the viewer does
    not read or cannot read."""
    try:
        # The reason in the listing's words, when the file shows it.
        reason = unfit_reason(os.stat(path))
    except OSError:
        reason = None
    if reason is not None:
        raise Unfit(reason)
    try:
        return _core.read_file(core_path(beneath(root, path)), core_path(root), MAX_PIXEL_BYTES)  # type: ignore[arg-type]
    except (OSError, UnicodeError) as error:
        cause = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        raise Unfit(f"cannot be read: {cause}") from None


# The largest game palette file: 256 entries.
PALETTE_MAX_BYTES = len(_core.palette_bytes([(0, 0, 0, 0)] * 256))


def palette_reason(root: str, path: str) -> Optional[str]:
    """Why the file at `path` (canonical, under `root`) is not a game
    palette the viewer renders with, None when it is one: read beneath
    `root` as an animation file is (never a pipe or a device), it must hold
    a colour count the game loads (1 to 256) and exactly that many entries,
    as the game's palette writer makes it (any other file named .pal, an
    editor's palette, would load as a few colours of garbage)."""
    try:
        data = _core.read_file(core_path(beneath(root, path)), core_path(root), PALETTE_MAX_BYTES)  # type: ignore[arg-type]
    except (OSError, UnicodeError) as error:
        cause = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        return f"cannot be read: {cause}"
    count = (len(data) - 4) // 4
    made = _core.palette_bytes([(0, 0, 0, 0)] * count) if 1 <= count <= 256 else b""
    if len(made) != len(data) or made[:2] != data[:2]:
        return "is not a game palette file (its size does not match its colour count)"
    return None


def without_name(path: str, reason: str) -> str:
    prefix = f"{path}: "
    return reason[len(prefix) :] if reason.startswith(prefix) else reason


def core_path(path: str) -> Union[str, bytes]:
    """`path` as the core takes it: text, or, for a name that is not valid
    UTF-8 (held in a str as lone surrogates), the bytes the system names
    the file with (the core takes a path as bytes as well)."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(path)
    return path


# Advice in the command line's words, as the page says it.
_PAGE_WORDS = (
    (" (use --palette)", " (put the palette file where its palette location leads)"),
    ("; use --palette)", ": the viewer has no palette to show it with)"),
)


def page_words(reason: str) -> str:
    for command_line, page in _PAGE_WORDS:
        reason = reason.replace(command_line, page)
    return reason


@dataclass
class Started:
    """A load decoded and not yet rendered: the animation object, or the
    outcome already decided (a file the viewer does not show)."""

    path: str
    digest: str  # of the bytes the load was started from
    size: int  # their length
    loaded: Optional[_core.Animation]
    palette: str = ""
    outcome: Optional[Outcome] = None

    @property
    def pixels(self) -> int:
        """The bytes of RGBA rendering it takes, from its frame table."""
        return self.loaded.render_bytes if self.loaded is not None else 0


def start(path: str, data: bytes, palette: str = "", sha256: str = "") -> Started:
    """The first half of a load of `data`, the bytes of the file at `path`
    (its folder is where the palette search starts): decoded once, into the
    object that renders and patches those same bytes. `sha256` is their
    digest when the caller has made it already."""
    named = core_path(path)
    file_digest = sha256 or digest(data)
    try:
        loaded = open_animation(named, Path(palette) if palette else None, data=data)  # type: ignore[arg-type]
    except UnicodeError:
        return Started(path, file_digest, len(data), None, palette, _unnamed(file_digest))
    except LoadError as error:
        return Started(path, file_digest, len(data), None, palette, _refusal(named, error, file_digest))
    return Started(path, file_digest, len(data), loaded, palette)


def finish(started: Started) -> Outcome:
    """The second half: frames too big to show are refused from the frame
    table, else every frame is rendered."""
    if started.outcome is not None:
        return started.outcome
    loaded, file_digest, named = started.loaded, started.digest, core_path(started.path)
    assert loaded is not None
    size = loaded.render_bytes
    if size > MAX_PIXEL_BYTES:
        reason = f"its frames hold {size >> 20} MiB of pixels, more than the viewer shows ({MAX_PIXEL_BYTES >> 20} MiB)"
        return Outcome(None, reason, file_digest, 0)
    try:
        render(named, loaded, started.palette or None)  # type: ignore[arg-type]
    except UnicodeError:
        return _unnamed(file_digest)
    except LoadError as error:
        return _refusal(named, error, file_digest)
    return Outcome(as_animation(named, loaded), None, file_digest, started.size, size)  # type: ignore[arg-type]


def decode(path: str, data: bytes, palette: str = "") -> Outcome:
    """The whole load of `data`, the bytes of the file at `path`."""
    return finish(start(path, data, palette))


def _unnamed(file_digest: str) -> Outcome:
    # A palette found under a folder whose name is not UTF-8 cannot be
    # named back as text.
    return Outcome(None, "the name of its folder or of its palette is not valid UTF-8 text", file_digest, 0)


def _refusal(named: Union[str, bytes], error: LoadError, file_digest: str) -> Outcome:
    reason = without_name(str(named), str(error))
    if "palette file" in reason and "is not usable" in reason:
        # The count quoted is the first bytes of whatever file the stored
        # location led to: not shown.
        reason = reason.split(" (colour count", 1)[0] + " (not a palette the game can use)"
    return Outcome(None, page_words(reason), file_digest, 0)


def rgba(animation: Animation, index: int) -> bytes:
    """Frame `index` as the module renders it: width x height x R, G, B, A."""
    assert animation.loaded is not None
    return animation.loaded.rgba(index)


def all_rgba(animation: Animation) -> Iterator[bytes]:
    """Every frame's RGBA, one frame at a time (only one frame's copy is
    held at once)."""
    for index in range(len(animation.frames)):
        yield rgba(animation, index)


def all_indices(animation: Animation) -> Iterator[bytes]:
    """Every frame's palette indices, then its painted mask (0 or 1), each
    width x height bytes, one frame at a time."""
    assert animation.loaded is not None
    for index in range(len(animation.frames)):
        plane, mask = animation.loaded.indices(index)
        yield plane
        yield mask


def colors(animation: Animation) -> List[Tuple[int, int, int, int]]:
    assert animation.loaded is not None
    return list(animation.loaded.colors)


def patch_placement(animation: Animation, speed: int, offsets: List[Tuple[int, int]]) -> bytes:
    """The bytes `animation` was loaded from with only their speed and their
    frames' offsets changed, every other byte (data after the frames
    included) as it was; ValueError when they are not a whole animation file
    or a value does not fit."""
    assert animation.loaded is not None
    return animation.loaded.patched(speed, offsets)


def replace_file(root: str, path: str, data: bytes) -> None:
    """Replaces the file at `path` (canonical, under `root`) by `data`
    safely (mode and owner kept, never a cut file), resolved beneath `root`
    (a link swapped in that leads out of it is not followed; a file with
    other hard links is refused); OSError naming the cause."""
    try:
        files.replace_file(core_path(beneath(root, path)), data, root=core_path(root))
    except UnicodeError as error:
        raise OSError(str(error)) from None
