"""Game palettes to and from the palette formats that pixel editors exchange.

- `gpl`: GIMP palette, text: "GIMP Palette", "Name:", "Columns:", then one
  "R G B<tab>name" line per entry. No alpha.
- `jasc`: JASC-PAL (Paint Shop Pro, also written by many sprite editors),
  text: "JASC-PAL", "0100", the count, then one "R G B" line per entry. No
  alpha. Its extension, .pal, is the game's too; the two are told apart by
  their first bytes.
- `act`: Adobe colour table, 256 R, G, B triples (unused ones zero) and,
  when fewer than 256 are used, a trailer of two big-endian 16-bit numbers:
  the count and the transparent index (0xFFFF for none). Alpha only as that
  one transparent entry.
- `hex`: one colour per line as hex digits, RRGGBB, or RRGGBBAA on every
  line when any entry is not opaque.
- `png`: a swatch of 16 x 16 square cells, one per entry in index order
  (left to right, then down), RGBA, with the palette's own colour count in
  the text chunk "kivtool:colors"; cells past the count are transparent.

Exports take the palette file's own entries, not the 256 that loading pads
to; `png` and `hex` keep every entry exactly, so an export in either form
imported again gives the same palette file. Imports write a game palette
file: the count, colour model 0, R, G, B, A entries.
"""

from __future__ import annotations

import os
import re
import struct
from io import BytesIO
from pathlib import Path
from typing import Callable, List, Optional, Sequence, Tuple

Color = Tuple[int, int, int, int]

FORMATS = ["gpl", "jasc", "act", "hex", "png"]
# What an extension says when no --as is given. A .pal to import may be a
# game palette as well as a JASC one: its first bytes decide.
EXTENSIONS = {".gpl": "gpl", ".pal": "jasc", ".act": "act", ".hex": "hex", ".png": "png"}
GAME = "game"  # a game palette file, as an input
JASC_MAGIC = b"JASC-PAL"
GIMP_MAGIC = "GIMP Palette"
COLORS_TEXT = "kivtool:colors"
MAX_COLORS = 256
SWATCH_SIDE = 16  # cells per row and per column
DEFAULT_CELL = 16
ACT_TABLE = 3 * MAX_COLORS
ACT_TRAILER = struct.Struct(">HH")  # colour count, transparent index
ACT_NO_TRANSPARENT = 0xFFFF
WITHOUT_ALPHA = ("gpl", "jasc", "act")


class PaletteError(Exception):
    """A palette that cannot be read or written; the text names the file
    and the cause (and the line, for text formats)."""


# --------------------------------------------------------------------------
# Game palette files


def read_game_palette(path: Path) -> List[Color]:
    """The entries a palette file holds, its own count of them (loading
    pads to 256)."""
    from kivtool import _core

    if path.is_dir():
        raise PaletteError(f"{path}: is a folder, not a palette file")
    if not path.exists():
        raise PaletteError(f"{path}: no such file")
    try:
        loaded = _core.load_palette(str(path))
    except (TypeError, ValueError, UnicodeError):  # the path has no UTF-8 form
        raise PaletteError(f"{path}: the file name is not valid text") from None
    if loaded.result != 1:
        reason = loaded.errors[0] if loaded.errors else f"status {loaded.result}"
        raise PaletteError(f"{path}: not a usable palette file ({reason})")
    return list(loaded.colors[: loaded.color_count])


def write_game_palette(target: Path, colors: Sequence[Color]) -> None:
    """Writes `colors` as a palette file, replacing `target` only by a file
    that loads back as them."""
    from kivtool import _core

    def check(written: str) -> None:
        loaded = _core.load_palette(written)
        if loaded.result != 1 or list(loaded.colors[: loaded.color_count]) != [tuple(c) for c in colors]:
            raise PaletteError(f"{target}: not written: the palette file made does not load back as its colours")

    write_file(target, _core.palette_bytes(colors), check)


def write_file(target: Path, contents: bytes, check: Optional[Callable[[str], None]] = None) -> None:
    """Replaces `target` with `contents` as a whole or not at all (after
    `check` has passed on the new file)."""
    from kivtool import _core

    if target.is_dir():
        raise PaletteError(f"{target}: is a folder; name the file to write")
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        with _core.FileReplacement(str(target)) as replacement:
            replacement.write(contents)
            if check is not None:
                replacement.verify(check)
            replacement.commit()
    except (TypeError, ValueError, UnicodeError):  # the path has no UTF-8 form
        raise PaletteError(f"{target}: the file name is not valid text") from None
    except OSError as error:
        raise PaletteError(f"{target}: cannot write: {error.strerror or error}") from None


# --------------------------------------------------------------------------
# Export


def export_format(out: Path, chosen: Optional[str]) -> str:
    if chosen is not None:
        return chosen
    found = EXTENSIONS.get(out.suffix.lower())
    if found is None:
        raise PaletteError(f"{out}: cannot tell the format from the name; give --as {'|'.join(FORMATS)}")
    return found


def alpha_lost(colors: Sequence[Color], form: str) -> List[int]:
    """The entries whose alpha `form` cannot keep."""
    if form not in WITHOUT_ALPHA:
        return []
    kept = act_transparent(colors) if form == "act" and len(colors) < MAX_COLORS else None
    return [i for i, color in enumerate(colors) if color[3] != 255 and not (i == kept and color[3] == 0)]


def act_transparent(colors: Sequence[Color]) -> int:
    return next((i for i, color in enumerate(colors) if color[3] == 0), ACT_NO_TRANSPARENT)


def ranges(indices: Sequence[int]) -> str:
    """1, 2, 3, 7 as "1-3, 7"."""
    runs: List[List[int]] = []
    for index in indices:
        if runs and index == runs[-1][1] + 1:
            runs[-1][1] = index
        else:
            runs.append([index, index])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def encode(colors: Sequence[Color], form: str, name: str, cell: int = DEFAULT_CELL) -> bytes:
    """`colors` in the exchange format `form`; `name` names a GIMP palette."""
    if form == "gpl":
        title = re.sub(r"[\x00-\x1f\x7f]", " ", name)
        lines = [GIMP_MAGIC, f"Name: {title}", f"Columns: {SWATCH_SIDE}", "#"]
        lines += [f"{r:3d} {g:3d} {b:3d}\tindex {i}" for i, (r, g, b, _) in enumerate(colors)]
        return ("\n".join(lines) + "\n").encode("utf-8", "replace")
    if form == "jasc":
        lines = [JASC_MAGIC.decode(), "0100", str(len(colors))] + [f"{r} {g} {b}" for r, g, b, _ in colors]
        return ("\r\n".join(lines) + "\r\n").encode("ascii")
    if form == "act":
        table = bytearray(ACT_TABLE)
        for i, (r, g, b, _) in enumerate(colors):
            table[3 * i : 3 * i + 3] = bytes((r, g, b))
        if len(colors) < MAX_COLORS:
            table += ACT_TRAILER.pack(len(colors), act_transparent(colors))
        return bytes(table)
    if form == "hex":
        with_alpha = any(color[3] != 255 for color in colors)
        width = 4 if with_alpha else 3
        return "".join(bytes(color[:width]).hex() + "\n" for color in colors).encode("ascii")
    if form == "png":
        return swatch(colors, cell)
    raise ValueError(form)


def swatch(colors: Sequence[Color], cell: int) -> bytes:
    import numpy as np

    from kivtool import png

    cells = np.zeros((SWATCH_SIDE * SWATCH_SIDE, 4), dtype=np.uint8)
    cells[: len(colors)] = np.array(colors, dtype=np.uint8).reshape(-1, 4)
    grid = cells.reshape(SWATCH_SIDE, SWATCH_SIDE, 4)
    pixels = np.ascontiguousarray(np.repeat(np.repeat(grid, cell, axis=0), cell, axis=1))
    side = SWATCH_SIDE * cell
    return png.png_bytes(pixels.tobytes(), side, side, text={COLORS_TEXT: str(len(colors))})


def export_palette(source: Path, out: Path, form: Optional[str], cell: int = DEFAULT_CELL) -> Tuple[str, List[int]]:
    """Writes the palette file `source` to `out`; returns the format written
    and the entries whose alpha it could not keep."""
    form = export_format(out, form)
    same_file(source, out)
    colors = read_game_palette(source)
    write_file(out, encode(colors, form, source.stem, cell))
    return form, alpha_lost(colors, form)


def same_file(source: Path, out: Path) -> None:
    try:
        same = out.exists() and os.path.samefile(source, out)
    except OSError:
        same = False
    if same:
        raise PaletteError(f"{out}: is the file being read; name another file to write")


# --------------------------------------------------------------------------
# Import


def import_format(source: Path, data: bytes, chosen: Optional[str]) -> str:
    if chosen is not None:
        return chosen
    suffix = source.suffix.lower()
    if suffix == ".pal":
        return "jasc" if data.startswith(JASC_MAGIC) else GAME
    found = EXTENSIONS.get(suffix)
    if found is None:
        raise PaletteError(f"{source}: cannot tell the format from the name; give --as {'|'.join(FORMATS)}")
    return found


def text_lines(data: bytes) -> List[str]:
    return data.decode("utf-8", "replace").splitlines()


def channel_values(fields: Sequence[str], count: int) -> Optional[List[int]]:
    """`count` whole numbers 0 to 255, or None."""
    if len(fields) < count:
        return None
    values = []
    for text in fields[:count]:
        if not text.isdigit() or int(text) > 255:
            return None
        values.append(int(text))
    return values


class Collector:
    """Colours as a file's lines give them, refusing the 257th."""

    def __init__(self, source: Path) -> None:
        self.source = source
        self.colors: List[Color] = []

    def add(self, color: Color, line: int) -> None:
        if len(self.colors) == MAX_COLORS:
            raise PaletteError(f"{self.source}: line {line}: a 257th colour; a palette holds at most {MAX_COLORS}")
        self.colors.append(color)

    def bad(self, line: int, text: str, wanted: str) -> PaletteError:
        shown = text.strip()
        shown = shown if len(shown) <= 40 else shown[:40] + "..."
        return PaletteError(f"{self.source}: line {line}: {shown!r} is not {wanted}")


def parse_gpl(source: Path, data: bytes) -> List[Color]:
    lines = text_lines(data)
    found = Collector(source)
    if not lines or not lines[0].startswith(GIMP_MAGIC):
        raise found.bad(1, lines[0] if lines else "", f"{GIMP_MAGIC!r}: not a GIMP palette")
    for number, line in enumerate(lines[1:], start=2):
        text = line.strip()
        if not text or text.startswith("#") or re.match(r"[A-Za-z][\w ]*:", text):
            continue  # comments and the Name: and Columns: fields
        values = channel_values(text.split(maxsplit=3), 3)
        if values is None:
            raise found.bad(number, line, "a colour: R G B, 0 to 255 each, and a name")
        found.add((values[0], values[1], values[2], 255), number)
    return found.colors


def parse_jasc(source: Path, data: bytes) -> List[Color]:
    lines = text_lines(data)
    found = Collector(source)
    expected = [JASC_MAGIC.decode(), "0100"]
    for number, wanted in enumerate(expected, start=1):
        if len(lines) < number or lines[number - 1].strip() != wanted:
            raise found.bad(number, lines[number - 1] if len(lines) >= number else "", f"{wanted!r}")
    count_text = lines[2].strip() if len(lines) > 2 else ""
    if not count_text.isdigit():
        raise found.bad(3, count_text, "the number of colours")
    count = int(count_text)
    if count > MAX_COLORS:
        raise PaletteError(f"{source}: line 3: {count} colours; a palette holds at most {MAX_COLORS}")
    for number, line in enumerate(lines[3:], start=4):
        if not line.strip():
            continue
        if len(found.colors) == count:
            raise PaletteError(f"{source}: line {number}: a colour beyond the {count} that line 3 announces")
        fields = line.split()
        values = channel_values(fields, 4 if len(fields) == 4 else 3)
        if values is None or len(fields) > 4:
            raise found.bad(number, line, "a colour: R G B, 0 to 255 each")
        found.add((values[0], values[1], values[2], values[3] if len(values) == 4 else 255), number)
    if len(found.colors) < count:
        raise PaletteError(
            f"{source}: line {len(lines) + 1}: the file ends after {len(found.colors)} of the {count} colours "
            "that line 3 announces"
        )
    return found.colors


def parse_act(source: Path, data: bytes) -> List[Color]:
    if len(data) not in (ACT_TABLE, ACT_TABLE + ACT_TRAILER.size):
        raise PaletteError(
            f"{source}: not an Adobe colour table: one has {ACT_TABLE} or {ACT_TABLE + ACT_TRAILER.size} bytes, "
            f"this file {len(data)}"
        )
    count, transparent = MAX_COLORS, ACT_NO_TRANSPARENT
    if len(data) > ACT_TABLE:
        count, transparent = ACT_TRAILER.unpack_from(data, ACT_TABLE)
        if not 1 <= count <= MAX_COLORS:
            raise PaletteError(f"{source}: its trailer gives {count} colours; a palette holds 1 to {MAX_COLORS}")
    return [(data[3 * i], data[3 * i + 1], data[3 * i + 2], 0 if i == transparent else 255) for i in range(count)]


HEX_COLOR = re.compile(r"#?([0-9A-Fa-f]{6}|[0-9A-Fa-f]{8})")


def parse_hex(source: Path, data: bytes) -> List[Color]:
    found = Collector(source)
    for number, line in enumerate(text_lines(data), start=1):
        text = line.strip()
        if not text:
            continue
        match = HEX_COLOR.fullmatch(text)
        if match is None:
            raise found.bad(number, line, "a colour: RRGGBB or RRGGBBAA in hex digits")
        value = bytes.fromhex(match.group(1))
        found.add((value[0], value[1], value[2], value[3] if len(value) == 4 else 255), number)
    return found.colors


def parse_png(source: Path, data: bytes) -> List[Color]:
    import numpy as np
    from PIL import Image, UnidentifiedImageError

    try:
        with Image.open(BytesIO(data)) as image:
            text = getattr(image, "text", {}).get(COLORS_TEXT)
            rgba = np.asarray(image.convert("RGBA"))
    except UnidentifiedImageError:
        raise PaletteError(f"{source}: not an image file Pillow can read") from None
    except (OSError, ValueError, Image.DecompressionBombError) as error:
        raise PaletteError(f"{source}: cannot read the image: {error}") from None
    height, width = rgba.shape[:2]
    if width != height or width % SWATCH_SIDE or not width:
        raise PaletteError(
            f"{source}: is {width} x {height}; a palette swatch is square, {SWATCH_SIDE} x {SWATCH_SIDE} cells"
        )
    count = MAX_COLORS
    if text is not None:
        if not text.strip().isdigit() or not 1 <= int(text) <= MAX_COLORS:
            raise PaletteError(f"{source}: its {COLORS_TEXT} text {text!r} is not a colour count from 1 to 256")
        count = int(text)
    cell = width // SWATCH_SIDE
    # Each cell's middle pixel: a grid drawn over the cell's edges changes nothing.
    middles = rgba[cell // 2 :: cell, cell // 2 :: cell].reshape(-1, 4)[:count]
    return [tuple(int(v) for v in color) for color in middles]  # type: ignore[misc]


PARSERS = {"gpl": parse_gpl, "jasc": parse_jasc, "act": parse_act, "hex": parse_hex, "png": parse_png}


def import_palette(source: Path, out: Path, form: Optional[str]) -> Tuple[str, int]:
    """Writes the palette in `source` as the game palette file `out`; returns
    the format read and the number of colours."""
    same_file(source, out)
    try:
        data = source.read_bytes()
    except FileNotFoundError:
        raise PaletteError(f"{source}: no such file") from None
    except IsADirectoryError:
        raise PaletteError(f"{source}: is a folder, not a palette") from None
    except OSError as error:
        raise PaletteError(f"{source}: cannot read: {error.strerror or error}") from None
    form = import_format(source, data, form)
    colors = read_game_palette(source) if form == GAME else PARSERS[form](source, data)
    if not colors:
        raise PaletteError(f"{source}: holds no colours; a palette needs 1 to {MAX_COLORS}")
    write_game_palette(out, colors)
    return form, len(colors)
