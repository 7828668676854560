"""The palette formats that pixel editors exchange, one table (`FORMATS`)
from each name to its parser and writer:

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

Two more are read, never written:

- `vga6`: the old games' VGA palette, 768 bytes of R, G, B triples with
  6-bit values (0 to 63, the DAC's range), scaled to 0 to 255. It has the
  size of an `act` file without trailer: only --as tells the two apart.
- `riff`: Microsoft's RIFF palette (also .pal): "RIFF", a size, "PAL ",
  then a "data" chunk holding a version, the count and R, G, B, flags per
  entry. The flags byte (PC_RESERVED and the like) is not alpha: every
  entry is opaque.

Exports take the palette file's own entries, not the 256 that loading pads
to; `png` and `hex` keep every entry exactly, so an export in either form
imported again gives the same palette file. Imports write a game palette
file: the count, colour model 0, R, G, B, A entries.
"""

from __future__ import annotations

import re
import struct
from dataclasses import dataclass
from io import BytesIO
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from kivtool.formats import png
from kivtool.memory import DEFAULT_MAX_PIXELS
from kivtool.text import quoted

Color = Tuple[int, int, int, int]
Parse = Callable[[Path, bytes, int], Tuple[List[Color], List[str]]]
Write = Callable[[Sequence[Color], str, int], bytes]

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
VGA6_MAX = 63
RIFF_HEADER = struct.Struct("<4sI4s")  # "RIFF", the size of what follows, "PAL "
RIFF_CHUNK = struct.Struct("<4sI")  # chunk name, its size
RIFF_DATA = struct.Struct("<HH")  # version (0x300), colour count
GAME_HEADER = struct.Struct("<HH")  # a game palette file: colour count, colour model


class PaletteError(Exception):
    """A palette that cannot be read or written; the text names the file
    and the cause (and the line, for text formats)."""


# --------------------------------------------------------------------------
# Export


def export_format(out: Path, chosen: Optional[str]) -> str:
    if chosen is not None:
        return chosen
    found = EXTENSIONS.get(out.suffix.lower())
    if found is None:
        raise PaletteError(f"{out}: cannot tell the format from the name; give --as {'|'.join(WRITTEN)}")
    return found


def alpha_lost(colors: Sequence[Color], form: str) -> List[int]:
    """The entries whose alpha `form` cannot keep."""
    return FORMATS[form].lost(colors)


def all_kept(colors: Sequence[Color]) -> List[int]:
    return []


def not_opaque(colors: Sequence[Color]) -> List[int]:
    return [i for i, color in enumerate(colors) if color[3] != 255]


def act_lost(colors: Sequence[Color]) -> List[int]:
    """All but the transparent entry the trailer names (written only when
    fewer than 256 are used) lose their alpha."""
    kept = act_transparent(colors) if len(colors) < MAX_COLORS else None
    return [i for i in not_opaque(colors) if not (i == kept and colors[i][3] == 0)]


def act_transparent(colors: Sequence[Color]) -> int:
    return next((i for i, color in enumerate(colors) if color[3] == 0), ACT_NO_TRANSPARENT)


def write_gpl(colors: Sequence[Color], name: str, cell: int) -> bytes:
    title = re.sub(r"[\x00-\x1f\x7f]", " ", name)
    lines = [GIMP_MAGIC, f"Name: {title}", f"Columns: {SWATCH_SIDE}", "#"]
    lines += [f"{r:3d} {g:3d} {b:3d}\tindex {i}" for i, (r, g, b, _) in enumerate(colors)]
    return ("\n".join(lines) + "\n").encode("utf-8", "replace")


def write_jasc(colors: Sequence[Color], name: str, cell: int) -> bytes:
    lines = [JASC_MAGIC.decode(), "0100", str(len(colors))] + [f"{r} {g} {b}" for r, g, b, _ in colors]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def write_act(colors: Sequence[Color], name: str, cell: int) -> bytes:
    table = bytearray(ACT_TABLE)
    for i, (r, g, b, _) in enumerate(colors):
        table[3 * i : 3 * i + 3] = bytes((r, g, b))
    if len(colors) < MAX_COLORS:
        table += ACT_TRAILER.pack(len(colors), act_transparent(colors))
    return bytes(table)


def write_hex(colors: Sequence[Color], name: str, cell: int) -> bytes:
    with_alpha = any(color[3] != 255 for color in colors)
    width = 4 if with_alpha else 3
    return "".join(bytes(color[:width]).hex() + "\n" for color in colors).encode("ascii")


def write_png(colors: Sequence[Color], name: str, cell: int) -> bytes:
    """A swatch: one square cell of `cell` pixels per entry."""
    cells = np.zeros((SWATCH_SIDE * SWATCH_SIDE, 4), dtype=np.uint8)
    cells[: len(colors)] = np.array(colors, dtype=np.uint8).reshape(-1, 4)
    grid = cells.reshape(SWATCH_SIDE, SWATCH_SIDE, 4)
    pixels = np.ascontiguousarray(np.repeat(np.repeat(grid, cell, axis=0), cell, axis=1))
    side = SWATCH_SIDE * cell
    return png.png_bytes(pixels.tobytes(), side, side, text={COLORS_TEXT: str(len(colors))})


# --------------------------------------------------------------------------
# Import


def is_riff(data: bytes) -> bool:
    return data[:4] == b"RIFF" and data[8:12] == b"PAL "


def import_format(source: Path, data: bytes, chosen: Optional[str]) -> str:
    if chosen is not None:
        return chosen
    suffix = source.suffix.lower()
    if suffix == ".pal":
        return pal_format(source, data)
    found = EXTENSIONS.get(suffix)
    if found is None:
        raise PaletteError(f"{source}: cannot tell the format from the name; give --as {'|'.join(FORMATS)}")
    return found


def pal_format(source: Path, data: bytes) -> str:
    """What a .pal file is, by its content: JASC and RIFF palettes by their
    headers, a game palette by its size (4 + 4 bytes per colour it counts).
    The raw triples of `act` and `vga6` have no header: they are refused
    rather than guessed, since the same 768 bytes read as either."""
    if data.startswith(JASC_MAGIC):
        return "jasc"
    if is_riff(data):
        return "riff"
    if len(data) >= GAME_HEADER.size and len(data) == GAME_HEADER.size + 4 * GAME_HEADER.unpack_from(data)[0]:
        return GAME
    raw = f"{len(data)} bytes, " if len(data) == ACT_TABLE else ""
    raise PaletteError(
        f"{source}: {raw}neither a JASC, a RIFF nor a game palette; raw R, G, B triples are read with "
        "--as act (8-bit values) or --as vga6 (6-bit values, 0 to 63)"
    )


def text_lines(data: bytes) -> List[str]:
    return data.decode("utf-8", "replace").splitlines()


# A whole number as these files write it: ASCII digits only. str.isdigit
# and int() take other digits too ("²", Arabic-Indic digits), and int()
# refuses texts of thousands of digits with an error of its own.
DIGITS = re.compile(r"[0-9]+")
# More digits than any count or channel needs, however many leading zeros.
MAX_DIGITS = 12


def whole_number(text: str) -> Optional[int]:
    """The value of `text` written in ASCII digits (at most MAX_DIGITS of
    them, leading zeros included), or None."""
    text = text.strip()
    if len(text) > MAX_DIGITS or DIGITS.fullmatch(text) is None:
        return None
    return int(text)


def channel_values(fields: Sequence[str], count: int) -> Optional[List[int]]:
    """`count` whole numbers 0 to 255, or None."""
    if len(fields) < count:
        return None
    values = []
    for text in fields[:count]:
        value = whole_number(text)
        if value is None or value > 255:
            return None
        values.append(value)
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


GPL_FIELD = re.compile(r"([A-Za-z][\w ]*):(.*)")


def parse_gpl(source: Path, data: bytes) -> List[Color]:
    """A GIMP palette. GIMP 2.10 and later may write "Channels: RGBA" in
    the header, and then an alpha value after R G B on every colour line:
    the game palette keeps it."""
    lines = text_lines(data)
    found = Collector(source)
    if not lines or not lines[0].startswith(GIMP_MAGIC):
        raise found.bad(1, lines[0] if lines else "", f"{GIMP_MAGIC!r}: not a GIMP palette")
    channels = 3
    for number, line in enumerate(lines[1:], start=2):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        field = GPL_FIELD.match(text)
        if field is not None:  # the Name:, Columns: and Channels: fields
            if field.group(1).strip().lower() == "channels" and not found.colors:
                kind = field.group(2).strip().upper()
                if kind not in ("RGB", "RGBA"):
                    raise found.bad(number, line, "'Channels: RGB' or 'Channels: RGBA'")
                channels = len(kind)
            continue
        values = channel_values(text.split(maxsplit=channels), channels)
        if values is None:
            wanted = "R G B A" if channels == 4 else "R G B"
            raise found.bad(number, line, f"a colour: {wanted}, 0 to 255 each, and a name")
        found.add((values[0], values[1], values[2], values[3] if channels == 4 else 255), number)
    return found.colors


def parse_jasc(source: Path, data: bytes) -> List[Color]:
    lines = text_lines(data)
    found = Collector(source)
    expected = [JASC_MAGIC.decode(), "0100"]
    for number, wanted in enumerate(expected, start=1):
        if len(lines) < number or lines[number - 1].strip() != wanted:
            raise found.bad(number, lines[number - 1] if len(lines) >= number else "", f"{wanted!r}")
    count_text = lines[2].strip() if len(lines) > 2 else ""
    count = whole_number(count_text)
    if count is None:
        raise found.bad(3, count_text, "the number of colours")
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


def parse_vga6(source: Path, data: bytes) -> List[Color]:
    if len(data) != ACT_TABLE:
        raise PaletteError(f"{source}: not a VGA palette: one has {ACT_TABLE} bytes, this file {len(data)}")
    values = np.frombuffer(data, dtype=np.uint8)
    over = np.flatnonzero(values > VGA6_MAX)
    if over.size:
        at = int(over[0])
        raise PaletteError(
            f"{source}: entry {at // 3} has {int(values[at])}, more than a 6-bit value ({VGA6_MAX}); "
            "8-bit triples are read with --as act"
        )
    # Rounded to the nearest 8-bit value: 0 stays 0 and 63 becomes 255.
    scaled = (values.astype(np.int32) * 255 + VGA6_MAX // 2) // VGA6_MAX
    return [(int(r), int(g), int(b), 255) for r, g, b in scaled.reshape(-1, 3)]


def parse_riff(source: Path, data: bytes) -> List[Color]:
    if len(data) < RIFF_HEADER.size or not is_riff(data):
        raise PaletteError(f"{source}: not a RIFF palette: it does not start with RIFF, a size and PAL")
    at = RIFF_HEADER.size
    end = min(len(data), RIFF_CHUNK.size + RIFF_HEADER.unpack_from(data)[1])
    while at + RIFF_CHUNK.size <= end:
        name, size = RIFF_CHUNK.unpack_from(data, at)
        at += RIFF_CHUNK.size
        if name == b"data":
            if size < RIFF_DATA.size or at + size > len(data):
                raise PaletteError(f"{source}: its RIFF data chunk of {size} bytes is cut short")
            _, count = RIFF_DATA.unpack_from(data, at)
            if not 1 <= count <= MAX_COLORS or RIFF_DATA.size + 4 * count > size:
                raise PaletteError(
                    f"{source}: its RIFF data chunk of {size} bytes cannot hold the {count} colours it counts "
                    f"(a palette holds 1 to {MAX_COLORS})"
                )
            entries = data[at + RIFF_DATA.size : at + RIFF_DATA.size + 4 * count]
            return [(entries[i], entries[i + 1], entries[i + 2], 255) for i in range(0, len(entries), 4)]
        at += size + (size & 1)  # chunks are padded to an even size
    raise PaletteError(f"{source}: a RIFF palette without a data chunk")


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


def parse_png(source: Path, data: bytes, max_pixels: int = DEFAULT_MAX_PIXELS) -> Tuple[List[Color], List[str]]:
    """A swatch: the colours of its cells and the warnings about it. Its
    size is checked from the header against `max_pixels` before a pixel is
    decoded. An editor that saves it again may drop the colour-count text:
    the count is then the last cell that is not transparent black."""
    import warnings

    from PIL import Image, UnidentifiedImageError

    try:
        with warnings.catch_warnings():
            # The size is checked here, against --max-pixels; Pillow's own
            # fixed check would only warn, or refuse in words of its own.
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            Image.MAX_IMAGE_PIXELS = None
            with Image.open(BytesIO(data)) as image:
                width, height = image.size
                if width * height > max_pixels:
                    raise PaletteError(
                        f"{source}: {width} × {height} is {width * height:,} pixels, more than the "
                        f"{max_pixels:,} allowed for one image (--max-pixels)"
                    )
                frames = int(getattr(image, "n_frames", 1))
                if frames > 1:
                    raise PaletteError(f"{source}: holds {frames} images; a palette swatch is one image")
                text = getattr(image, "text", {}).get(COLORS_TEXT)
                rgba = np.asarray(image.convert("RGBA"))
    except UnidentifiedImageError:
        raise PaletteError(f"{source}: not an image file Pillow can read") from None
    except (OSError, ValueError, SyntaxError, Image.DecompressionBombError) as error:
        raise PaletteError(f"{source}: cannot read the image: {error}") from None
    except MemoryError:
        raise PaletteError(f"{source}: not enough memory to decode the image") from None
    height, width = rgba.shape[:2]
    if width != height or width % SWATCH_SIDE or not width:
        raise PaletteError(
            f"{source}: is {width} x {height}; a palette swatch is square, {SWATCH_SIDE} x {SWATCH_SIDE} cells"
        )
    cell = width // SWATCH_SIDE
    # Each cell's middle pixel: a grid drawn over the cell's edges changes nothing.
    middles = rgba[cell // 2 :: cell, cell // 2 :: cell].reshape(-1, 4)
    warned = []
    if text is not None:
        count = whole_number(text)
        if count is None or not 1 <= count <= MAX_COLORS:
            raise PaletteError(
                f"{source}: its {COLORS_TEXT} text {quoted(text)} is not a colour count from 1 to {MAX_COLORS}"
            )
    else:
        painted = np.flatnonzero(middles.any(axis=1))
        count = int(painted[-1]) + 1 if painted.size else 0
        if count:
            warned.append(
                f"{source}: has no {COLORS_TEXT} text (an editor saving it again drops it): took {count} "
                f"colours, up to the last cell that is not transparent black"
            )
    return [tuple(int(v) for v in color) for color in middles[:count]], warned  # type: ignore[misc]


def colors_alone(parse: Callable[[Path, bytes], List[Color]]) -> Parse:
    """A parser of a format that has nothing to warn about."""
    return lambda source, data, max_pixels: (parse(source, data), [])


# A palette in a text format is a few kilobytes; more is not one.
MAX_TEXT_BYTES = 1 << 20


@dataclass(frozen=True)
class PaletteFormat:
    """One editor's palette format: the file name extension that says it,
    its line in --help, its parser (source, data, max_pixels) -> (colours,
    warnings), its writer (colours, name, cell) -> bytes (None: only read),
    the entries whose alpha it loses, and the most bytes a file of it is
    read of (None: the parser checks the size itself)."""

    extension: str
    summary: str
    parse: Parse
    write: Optional[Write]
    lost: Callable[[Sequence[Color]], List[int]]
    read_limit: Optional[int] = MAX_TEXT_BYTES


# Every palette format: a new one is an entry here with its parser and writer.
FORMATS: Dict[str, PaletteFormat] = {
    "gpl": PaletteFormat(
        ".gpl",
        "GIMP palette (also read by Aseprite, Krita, Inkscape); no alpha",
        colors_alone(parse_gpl),
        write_gpl,
        not_opaque,
    ),
    "jasc": PaletteFormat(
        ".pal",
        "JASC-PAL, Paint Shop Pro's .pal (also Aseprite, Pro Motion); no alpha",
        colors_alone(parse_jasc),
        write_jasc,
        not_opaque,
    ),
    "act": PaletteFormat(
        ".act",
        "Adobe colour table (Photoshop); alpha only as its transparent index",
        colors_alone(parse_act),
        write_act,
        act_lost,
    ),
    "hex": PaletteFormat(
        ".hex",
        "one RRGGBB line per colour, RRGGBBAA when any is not opaque",
        colors_alone(parse_hex),
        write_hex,
        all_kept,
    ),
    "png": PaletteFormat(
        ".png",
        "a swatch of 16 x 16 cells in index order, RGBA, that any image\n"
        "program opens; its colour count is kept in the image",
        parse_png,
        write_png,
        all_kept,
        read_limit=None,
    ),
    "vga6": PaletteFormat(
        "", "read only: 768 bytes of R, G, B with 6-bit values (old games)", colors_alone(parse_vga6), None, all_kept
    ),
    "riff": PaletteFormat(
        ".pal", "read only: Microsoft RIFF palette; its entries are opaque", colors_alone(parse_riff), None, all_kept
    ),
}
# The formats export writes.
WRITTEN = [name for name, form in FORMATS.items() if form.write is not None]
# What an extension says when no --as is given. A .pal to import may be a
# game, JASC or RIFF palette: its content decides.
EXTENSIONS = {form.extension: name for name, form in FORMATS.items() if form.write is not None and form.extension}


def read_limit(form: Optional[str]) -> Optional[int]:
    """The most bytes read of a palette file thought to be in `form`."""
    return FORMATS[form].read_limit if form in FORMATS else MAX_TEXT_BYTES


def parse(source: Path, data: bytes, form: str, max_pixels: int = DEFAULT_MAX_PIXELS) -> Tuple[List[Color], List[str]]:
    """The colours in `data` (the file `source`) in the palette format
    `form`, and the warnings about them."""
    return FORMATS[form].parse(source, data, max_pixels)


def encode(colors: Sequence[Color], form: str, name: str, cell: int = DEFAULT_CELL) -> bytes:
    """`colors` in the palette format `form`; `name` names a GIMP palette,
    `cell` is the side of a swatch's cells."""
    write = FORMATS[form].write
    if write is None:
        raise PaletteError(f"{form} palettes are only read")
    return write(colors, name, cell)
