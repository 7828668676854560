"""PNG files: written as RGBA pixels or palette indices (every PNG image
the tool writes), and read exactly, every colour type and bit depth.

Writing. Rendered frames are sprites: runs of palette colours in random order beside
transparent gaps. The row filters of PNG predict a byte from its neighbours,
which such pixels defeat, so the rows are stored unfiltered (filter type 0)
and compressed in one call, by libdeflate in the tool's module
(src/image/png_write.cpp): that takes about a third of the time of an
encoder that tries a filter for every row, and the files come out smaller.

Reading. Pillow decodes PNGs of 8 bits a sample exactly, but not the others: it clips
16-bit grey instead of scaling it, drops the low byte of 16-bit colour, and
does not apply the `tRNS` colour key of a grey of 2 or 4 bits (it compares
the stored key with the scaled samples). Those are decoded here with pypng,
which keeps every sample. 16-bit samples are taken only when exact: a 16-bit sample v is an 8-bit
value when it is a multiple of 257 (v = 257 * (v / 257), as an 8-bit value
is widened to 16 bits); any other is refused, or rounded to the nearest 8-bit
value when the caller allows it.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Dict, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from kivtool import _core, files

Pixels = Union[bytes, bytearray, memoryview]


@dataclass
class Palette:
    """What makes a PNG a palette image (colour type 3), whose pixels are one
    byte each, an index into `rgb`: up to 256 entries of R, G, B, and each
    entry's alpha (the tRNS chunk; entries past its end are opaque)."""

    rgb: bytes
    alpha: bytes = b""


SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_bytes(
    pixels: Pixels,
    width: int,
    height: int,
    level: int = 6,
    palette: Optional[Palette] = None,
    text: Optional[Dict[str, str]] = None,
) -> bytes:
    """A PNG file of `width` x `height` RGBA pixels (rows top to bottom, four
    bytes R, G, B, A each), compressed at `level` (0 stores, 9 is the
    smallest; the levels of zlib, from libdeflate); with `palette`,
    of one palette index per pixel. `text` becomes tEXt chunks (keyword and
    text, Latin-1)."""
    channels = 1 if palette is not None else 4
    stride = width * channels
    view = memoryview(pixels).cast("B")
    if width <= 0 or height <= 0 or len(view) != stride * height:
        kind = "palette indices" if palette is not None else "RGBA pixels"
        raise ValueError(f"{len(view)} bytes are not {width} x {height} {kind}")
    if palette is not None and (
        not 3 <= len(palette.rgb) <= 3 * 256 or len(palette.rgb) % 3 or len(palette.alpha) > len(palette.rgb) // 3
    ):
        raise ValueError("a PNG palette holds 1 to 256 R, G, B entries and at most one alpha for each")
    chunks = [(key.encode("latin-1"), value.encode("latin-1")) for key, value in (text or {}).items()]
    return _core.png_file(
        view,
        width,
        height,
        level=level,
        palette_rgb=bytes(palette.rgb) if palette is not None else b"",
        palette_alpha=bytes(palette.alpha) if palette is not None else b"",
        text=chunks,
    )


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


# --------------------------------------------------------------------------
# Reading

# Signature, the IHDR chunk's length and type, then its fields.
HEADER_BYTES = 8 + 8 + 13
GREY, RGB, PALETTE, GREY_ALPHA, RGBA = 0, 2, 3, 4, 6


class RefusedImage(ValueError):
    """An image that cannot be taken exactly: a 16-bit sample that is no
    8-bit value, or a palette index beyond the image's palette."""


@dataclass
class PngHeader:
    width: int
    height: int
    bit_depth: int
    color_type: int


def read_header(file: BinaryIO) -> Optional[PngHeader]:
    """The PNG header of the file open at its start, None when it is not a
    PNG file."""
    data = file.read(HEADER_BYTES)
    if len(data) < HEADER_BYTES or data[:8] != SIGNATURE or data[12:16] != b"IHDR":
        return None
    width, height, bit_depth, color_type = struct.unpack(">IIBB", data[16:26])
    return PngHeader(width, height, bit_depth, color_type)


# How many chunks frame_count walks before it gives up on finding the image
# data: a file of countless empty chunks would otherwise keep it reading.
MAX_CHUNKS_BEFORE_DATA = 4096


def frame_count(file: BinaryIO) -> int:
    """The number of frames the open PNG file declares (an APNG's acTL
    chunk, which comes before the image data; 1 for a still image), from the
    chunks before its image data, each skipped unread. Nothing is checked
    here: the file is checked whole when its pixels are read."""
    file.seek(len(SIGNATURE))
    for _ in range(MAX_CHUNKS_BEFORE_DATA):
        head = file.read(8)
        if len(head) < 8 or head[4:] in (b"IDAT", b"IEND"):
            return 1
        length = struct.unpack(">I", head[:4])[0]
        if head[4:] == b"acTL" and length >= 4:
            return int(struct.unpack(">I", file.read(4))[0])
        file.seek(length + 4, 1)
    return 1


def check_chunks(path: Path) -> int:
    """The number of frames of the PNG `path` (an APNG's acTL chunk gives
    it; 1 for a still image); refuses (RefusedImage) one any chunk of which
    fails its CRC, or whose chunks are cut short. For files the core does
    not read whole (kivtool._core.read_png checks every chunk of those it
    does): Pillow decodes the pixel data without checking the CRC of IDAT
    chunks, so a damaged file would import as if whole; pypng checks every
    chunk as it reads it."""
    import png  # type: ignore[import-untyped,import-not-found,unused-ignore]

    frames = 1
    with open(path, "rb") as file:
        try:
            for kind, data in png.Reader(file=file).chunks():
                if kind == b"acTL" and len(data) >= 4:
                    frames = struct.unpack(">I", data[:4])[0]
                if kind == b"IEND":
                    break
        except (png.ChunkError, png.FormatError, EOFError) as error:
            cause = str(error).split(": ", 1)[-1] if str(error).startswith(type(error).__name__) else str(error)
            if "No more chunks" in cause or "End of file" in cause or isinstance(error, EOFError):
                cause = "it is cut short (it ends before its IEND chunk)"
            raise RefusedImage(f"{path}: cannot read the image: a damaged PNG file: {cause}") from None
    return frames


def read_exact(path: Path, name: str, quantize: bool) -> Tuple[npt.NDArray[np.uint8], int]:
    """RGBA, 8 bits a sample, from a PNG of any bit depth, and how many
    pixels were rounded (only with `quantize`; otherwise a 16-bit pixel that
    would need it is refused with RefusedImage). Greys of fewer than 8 bits
    are scaled to 0..255 (v * 255 / (2^depth - 1), a whole number); a `tRNS`
    colour key is compared with the stored samples, before any scaling."""
    import png  # type: ignore[import-untyped,import-not-found,unused-ignore]

    with open(path, "rb") as file:
        width, height, rows, info = png.Reader(file=file).read()
        planes = int(info["planes"])
        depth = int(info["bitdepth"])
        samples = np.empty((height, width * planes), dtype=np.uint16)
        for y, row in enumerate(rows):
            samples[y] = np.asarray(row, dtype=np.uint16)
    pixels = samples.reshape(height, width, planes)
    if "palette" in info:
        table = np.zeros((256, 4), dtype=np.uint8)
        for index, entry in enumerate(info["palette"]):
            table[index] = tuple(entry) + (255,) * (4 - len(entry))
        indices = pixels[..., 0]
        beyond = indices >= len(info["palette"])
        if beyond.any():
            y, x = (int(v) for v in np.unravel_index(int(np.argmax(beyond)), beyond.shape))
            raise RefusedImage(
                f"{name}: pixel x={x}, y={y} has palette index {int(indices[y, x])}, "
                f"beyond the image's {len(info['palette'])} palette colours"
            )
        return table[indices], 0
    color = pixels[..., : planes - 1] if info["alpha"] else pixels
    if info["alpha"]:
        alpha = pixels[..., planes - 1]
    else:
        alpha = np.full((height, width), (1 << depth) - 1, dtype=np.uint16)
        key = info.get("transparent")
        if key is not None:
            alpha[(color == np.array(key, dtype=np.uint16).reshape(-1)).all(axis=2)] = 0
    if info["greyscale"]:
        color = np.repeat(color, 3, axis=2)
    rgba = np.concatenate([color, alpha[..., None]], axis=2)
    if depth < 8:
        return (rgba.astype(np.uint32) * 255 // ((1 << depth) - 1)).astype(np.uint8), 0
    if depth == 8:
        return rgba.astype(np.uint8), 0
    # The colour of a pixel that shows nothing is not checked: it is never
    # painted unless it is exactly a palette colour, and then taken as v / 257
    # rounded down.
    inexact = ((rgba[..., :3] % 257 != 0).any(axis=2) & (alpha != 0)) | (alpha % 257 != 0)
    if not inexact.any():
        return (rgba // 257).astype(np.uint8), 0
    if not quantize:
        y, x = (int(v) for v in np.unravel_index(int(np.argmax(inexact)), inexact.shape))
        values = ", ".join(str(int(v)) for v in rgba[y, x])
        raise RefusedImage(
            f"{name}: pixel x={x}, y={y} has the 16-bit colour ({values}), which is no 8-bit colour "
            "(each sample must be a multiple of 257; --quantize rounds it)"
        )
    rounded = (rgba.astype(np.uint32) * 255 + 32767) // 65535
    return rounded.astype(np.uint8), int(inexact.sum())
