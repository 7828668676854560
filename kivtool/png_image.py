"""PNG images read exactly, every colour type and bit depth.

Pillow decodes PNGs of 8 bits a sample and fewer exactly (greys of 1, 2 and
4 bits scaled to 0..255, palettes with their `tRNS` alpha, colour keys), but
not 16-bit ones: it clips 16-bit grey instead of scaling it and drops the
low byte of 16-bit colour. Those are decoded here with pypng, which keeps
every sample, and are taken only when exact: a 16-bit sample v is an 8-bit
value when it is a multiple of 257 (v = 257 * (v / 257), as an 8-bit value
is widened to 16 bits); any other is refused, or rounded to the nearest 8-bit
value when the caller allows it.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Tuple

import numpy as np
import numpy.typing as npt

SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Signature, the IHDR chunk's length and type, then its fields.
HEADER_BYTES = 8 + 8 + 13
GREY, RGB, PALETTE, GREY_ALPHA, RGBA = 0, 2, 3, 4, 6


class InexactImage(ValueError):
    """A 16-bit image with a sample that is no 8-bit value."""


@dataclass
class PngHeader:
    width: int
    height: int
    bit_depth: int
    color_type: int


def read_header(path: Path) -> Optional[PngHeader]:
    """The PNG header of `path`, None when it is not a PNG file."""
    with open(path, "rb") as file:
        data = file.read(HEADER_BYTES)
    if len(data) < HEADER_BYTES or data[:8] != SIGNATURE or data[12:16] != b"IHDR":
        return None
    width, height, bit_depth, color_type = struct.unpack(">IIBB", data[16:26])
    return PngHeader(width, height, bit_depth, color_type)


def read_16_bit(path: Path, name: str, quantize: bool) -> Tuple[npt.NDArray[np.uint8], int]:
    """RGBA, 8 bits a sample, from a 16-bit PNG, and how many pixels were
    rounded (only with `quantize`; otherwise a pixel that would need it is
    refused with InexactImage). The colour of a fully transparent pixel is
    not kept: it shows nothing."""
    import png  # type: ignore[import-untyped,unused-ignore]

    width, height, rows, info = png.Reader(filename=str(path)).read()
    planes = int(info["planes"])
    samples = np.empty((height, width * planes), dtype=np.uint16)
    for y, row in enumerate(rows):
        samples[y] = np.frombuffer(row, dtype=np.uint16)
    pixels = samples.reshape(height, width, planes)
    color = pixels[..., : planes - 1] if info["alpha"] else pixels
    if info["alpha"]:
        alpha = pixels[..., planes - 1]
    else:
        alpha = np.full((height, width), 0xFFFF, dtype=np.uint16)
        key = info.get("transparent")
        if key is not None:
            alpha[(color == np.array(key, dtype=np.uint16)).all(axis=2)] = 0
    if info["greyscale"]:
        color = np.repeat(color, 3, axis=2)
    rgba = np.concatenate([color, alpha[..., None]], axis=2)
    rgba[alpha == 0] = 0
    inexact = (rgba % 257 != 0).any(axis=2)
    changed = 0
    if inexact.any():
        if not quantize:
            y, x = (int(v) for v in np.unravel_index(int(np.argmax(inexact)), inexact.shape))
            values = ", ".join(str(int(v)) for v in rgba[y, x])
            raise InexactImage(
                f"{name}: pixel x={x}, y={y} has the 16-bit colour ({values}), which is no 8-bit colour "
                "(each sample must be a multiple of 257; --quantize rounds it)"
            )
        changed = int(inexact.sum())
        return ((rgba.astype(np.uint32) * 255 + 32767) // 65535).astype(np.uint8), changed
    return (rgba // 257).astype(np.uint8), changed
