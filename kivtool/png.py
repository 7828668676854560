"""PNG files of RGBA pixels, as the tool writes every PNG image.

Rendered frames are sprites: runs of palette colours in random order beside
transparent gaps. The row filters of PNG predict a byte from its neighbours,
which such pixels defeat, so the rows are stored unfiltered (filter type 0)
and compressed by zlib in one call: that takes about half the time of an
encoder that tries a filter for every row, and the files come out smaller.
"""

from __future__ import annotations

import struct
import zlib
from pathlib import Path
from typing import Union

import numpy as np

from kivtool import files

Pixels = Union[bytes, bytearray, memoryview]

SIGNATURE = b"\x89PNG\r\n\x1a\n"
# 8 bits per channel, colour type 6 (RGBA), deflate, no filter choice beyond
# the per-row byte, no interlacing.
RGBA_HEADER = struct.Struct(">IIBBBBB")


def chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(data, zlib.crc32(kind)))


def png_bytes(pixels: Pixels, width: int, height: int, level: int = 6) -> bytes:
    """A PNG file of `width` x `height` RGBA pixels (rows top to bottom, four
    bytes R, G, B, A each), compressed at zlib `level` (0-9)."""
    stride = width * 4
    view = memoryview(pixels).cast("B")
    if width <= 0 or height <= 0 or len(view) != stride * height:
        raise ValueError(f"{len(view)} bytes are not {width} x {height} RGBA pixels")
    # Each row is its filter type byte, 0, and its pixels as they are.
    rows = np.zeros((height, stride + 1), dtype=np.uint8)
    rows[:, 1:] = np.frombuffer(view, dtype=np.uint8).reshape(height, stride)
    return b"".join(
        (
            SIGNATURE,
            chunk(b"IHDR", RGBA_HEADER.pack(width, height, 8, 6, 0, 0, 0)),
            chunk(b"IDAT", zlib.compress(rows.data, level)),
            chunk(b"IEND", b""),
        )
    )


def write_png(target: Path, pixels: Pixels, width: int, height: int, level: int = 6) -> None:
    """Writes `target` as png_bytes makes it, whole or not at all (an
    interrupt leaves the old file or none); OSError when it cannot be."""
    files.replace_with(target, png_bytes(pixels, width, height, level))
