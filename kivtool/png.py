"""PNG files of RGBA pixels or palette indices, as the tool writes every PNG
image.

Rendered frames are sprites: runs of palette colours in random order beside
transparent gaps. The row filters of PNG predict a byte from its neighbours,
which such pixels defeat, so the rows are stored unfiltered (filter type 0)
and compressed by zlib in one call: that takes about half the time of an
encoder that tries a filter for every row, and the files come out smaller.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Optional, Union

import numpy as np

from kivtool import files

Pixels = Union[bytes, bytearray, memoryview]


@dataclass
class Palette:
    """What makes a PNG a palette image (colour type 3), whose pixels are one
    byte each, an index into `rgb`: up to 256 entries of R, G, B, and each
    entry's alpha (the tRNS chunk; entries past its end are opaque)."""

    rgb: bytes
    alpha: bytes = b""


SIGNATURE = b"\x89PNG\r\n\x1a\n"
# 8 bits per channel, colour type 6 (RGBA) or 3 (palette), deflate, no filter
# choice beyond the per-row byte, no interlacing.
RGBA_HEADER = struct.Struct(">IIBBBBB")


def chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(data, zlib.crc32(kind)))


def png_bytes(
    pixels: Pixels,
    width: int,
    height: int,
    level: int = 6,
    palette: Optional[Palette] = None,
    text: Optional[Dict[str, str]] = None,
) -> bytes:
    """A PNG file of `width` x `height` RGBA pixels (rows top to bottom, four
    bytes R, G, B, A each), compressed at zlib `level` (0-9); with `palette`,
    of one palette index per pixel. `text` becomes tEXt chunks (keyword and
    text, Latin-1)."""
    channels = 1 if palette is not None else 4
    stride = width * channels
    view = memoryview(pixels).cast("B")
    if width <= 0 or height <= 0 or len(view) != stride * height:
        kind = "palette indices" if palette is not None else "RGBA pixels"
        raise ValueError(f"{len(view)} bytes are not {width} x {height} {kind}")
    # Each row is its filter type byte, 0, and its pixels as they are.
    rows = np.zeros((height, stride + 1), dtype=np.uint8)
    rows[:, 1:] = np.frombuffer(view, dtype=np.uint8).reshape(height, stride)
    colour_type = 3 if palette is not None else 6
    chunks = [SIGNATURE, chunk(b"IHDR", RGBA_HEADER.pack(width, height, 8, colour_type, 0, 0, 0))]
    chunks += [
        chunk(b"tEXt", key.encode("latin-1") + b"\0" + value.encode("latin-1")) for key, value in (text or {}).items()
    ]
    if palette is not None:
        if not 3 <= len(palette.rgb) <= 3 * 256 or len(palette.rgb) % 3 or len(palette.alpha) > len(palette.rgb) // 3:
            raise ValueError("a PNG palette holds 1 to 256 R, G, B entries and at most one alpha for each")
        chunks.append(chunk(b"PLTE", palette.rgb))
        if palette.alpha:
            chunks.append(chunk(b"tRNS", palette.alpha))
    chunks += [chunk(b"IDAT", zlib.compress(rows.data, level)), chunk(b"IEND", b"")]
    return b"".join(chunks)


def write_png(
    target: Path,
    pixels: Pixels,
    width: int,
    height: int,
    level: int = 6,
    palette: Optional[Palette] = None,
    text: Optional[Dict[str, str]] = None,
) -> None:
    """Writes `target` as png_bytes makes it, whole or not at all (an
    interrupt leaves the old file or none); OSError when it cannot be."""
    files.replace_file(target, png_bytes(pixels, width, height, level, palette, text))
