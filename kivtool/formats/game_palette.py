"""The game's palette files: a count, a colour-model field, then R, G, B, A
per entry, read as the core loads them and written only as a file that
loads back as its colours."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Callable, List, Optional, Sequence

from kivtool import _core
from kivtool.files import NotReadable, read_regular, replace_file
from kivtool.formats.palette import (
    ACT_TABLE,
    ACT_TRAILER,
    GIMP_MAGIC,
    JASC_MAGIC,
    MAX_TEXT_BYTES,
    Color,
    PaletteError,
    is_riff,
)


def read_game_palette(path: Path) -> List[Color]:
    """The entries a palette file holds, its own count of them (loading
    pads to 256)."""
    try:
        data = read_regular(path, "a palette file", MAX_TEXT_BYTES)
    except NotReadable as error:
        raise PaletteError(str(error)) from None
    return game_palette_colors(path, data)


def game_palette_colors(path: Path, data: bytes) -> List[Color]:
    """The colours of the game palette file `path`, whose bytes are `data`,
    as the core loads them. The core reads a count and that many entries
    and ignores what follows; a palette file the game's tools write has
    exactly that size, so a file of another size is some other palette
    (the old games' raw 768 bytes of RGB triples reads as a game palette
    of a few colours of garbage) and is refused, naming what it may be."""

    try:
        loaded = _core.load_palette(str(path))
    except (TypeError, ValueError, UnicodeError):  # the path has no UTF-8 form
        raise PaletteError(f"{path}: the file name is not valid text") from None
    guess = other_palette(data)
    advice = f"; {guess}" if guess else ""
    if loaded.result != 1:
        reason = loaded.errors[0] if loaded.errors else f"status {loaded.result}"
        if guess:
            raise PaletteError(f"{path}: not a game palette file ({reason}){advice}")
        raise PaletteError(f"{path}: not a usable palette file ({reason})")
    colors = list(loaded.colors[: loaded.color_count])
    expected = len(_core.palette_bytes(colors))
    if expected != len(data):
        raise PaletteError(
            f"{path}: not a game palette file: its first bytes give {len(colors)} colours, which take "
            f"{expected} bytes, and it has {len(data)}{advice}"
        )
    return colors


def other_palette(data: bytes) -> str:
    """What a file that is not a game palette may be, as advice."""
    if is_riff(data):
        return "it is a RIFF palette (Microsoft .pal): try --as riff"
    if data.startswith(JASC_MAGIC):
        return "it is a JASC palette: try --as jasc"
    if len(data) in (ACT_TABLE, ACT_TABLE + ACT_TRAILER.size):
        return f"{len(data)} bytes: raw RGB triples? try --as act, or --as vga6 for 6-bit values"
    if data.startswith(GIMP_MAGIC.encode()):
        return "it is a GIMP palette: try --as gpl"
    return ""


def write_game_palette(target: Path, colors: Sequence[Color]) -> None:
    """Writes `colors` as a palette file, replacing `target` only by a file
    that loads back as them."""

    def check(written: str) -> None:
        loaded = _core.load_palette(written)
        if loaded.result != 1 or list(loaded.colors[: loaded.color_count]) != [tuple(c) for c in colors]:
            raise PaletteError(f"{target}: not written: the palette file made does not load back as its colours")

    write_file(target, _core.palette_bytes(colors), check)


def write_file(target: Path, contents: bytes, check: Optional[Callable[[str], None]] = None) -> None:
    """Replaces `target` with `contents` as a whole or not at all (after
    `check` has passed on the new file)."""
    if os.path.isdir(target):
        raise PaletteError(f"{target}: is a folder; name the file to write")
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        replace_file(target, contents, check)
    except (TypeError, ValueError, UnicodeError):  # the path has no UTF-8 form
        raise PaletteError(f"{target}: the file name is not valid text") from None
    except OSError as error:
        raise PaletteError(f"{target}: cannot write: {error.strerror or error}") from None
