"""Palette indices for whole images: what turns an image back into the
indices a frame stores.

Exact colours are found by the core (`kivtool._core.PaletteLookup`, the
lowest index holding each); the nearest colour, for `kivtool import
--quantize`, here with numpy: the one place the tool picks a nearest colour.
"""

from __future__ import annotations

from typing import Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from kivtool import _core

Pixels = npt.NDArray[np.uint32]  # height x width, one little-endian R, G, B, A word per pixel


class PaletteIndex:
    """Finds palette indices for whole images at once: the exact colours
    natively (the lowest index holding each), the nearest colour here."""

    def __init__(self, colors: Sequence[Tuple[int, int, int, int]], count: Optional[int] = None) -> None:
        if not colors:
            raise ValueError("a palette without colours")
        # The palette file's own entries; loading pads it to 256 with entries
        # no one chose.
        self.count = len(colors) if count is None else count
        self.colors = np.array(colors, dtype=np.uint8).reshape(-1, 4)
        self.words = self.colors.view("<u4").reshape(-1).astype(np.uint32)
        self.exact = _core.PaletteLookup(colors)

    def lookup(self, rgba: npt.NDArray[np.uint8]) -> Tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_], Pixels, int]:
        """For a height x width x 4 image: the lowest palette index of each
        pixel's colour, whether the palette holds the colour at all ((0, 0,
        0, 0) it never does), the pixels it holds (0 elsewhere), and how
        many pixels with alpha above 0 it does not hold."""
        rgba = np.ascontiguousarray(rgba, dtype=np.uint8)
        shape = rgba.shape[:2]
        indices = np.empty(shape, dtype=np.uint8)
        painted = np.empty(shape, dtype=bool)
        kept = np.empty(shape, dtype=np.uint32)
        missing = self.exact.map(rgba, indices, painted, kept)
        return indices, painted, kept, missing

    def lookup_png(
        self, data: bytes, width: int, height: int
    ) -> Tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_], Pixels, int]:
        """As `lookup`, for the pixels of a PNG file the core decodes
        (`kivtool._core.read_png`), mapped as its rows are decoded. The core
        does it without the interpreter's lock: frames can be mapped on
        several threads at once."""
        indices, painted, kept, missing = self.exact.map_png(data)
        if indices.shape != (height, width):
            raise ValueError(f"a PNG of {indices.shape[1]} x {indices.shape[0]} pixels, not {width} x {height}")
        return indices, painted, kept, missing

    def nearest(self, words: npt.NDArray[np.uint32]) -> npt.NDArray[np.uint8]:
        """The index of the nearest palette colour for each colour: the
        least Euclidean distance between the colours premultiplied by their
        alpha, 8 bits a channel (R·A/255, G·A/255, B·A/255, A), the lowest
        index on a tie. Premultiplied, a colour that is nearly transparent
        is near every transparent entry whatever its R, G, B: (255, 255,
        255, 1) goes to a transparent entry, not to an opaque near-white."""
        unique, inverse = np.unique(words, return_inverse=True)
        channels = premultiplied(unique.astype("<u4").view(np.uint8).reshape(-1, 4))
        palette = premultiplied(self.colors)
        best = np.empty(unique.size, dtype=np.uint8)
        chunk = 4096  # bounds the distance table at chunk x palette size
        for start in range(0, unique.size, chunk):
            part = channels[start : start + chunk]
            distance = ((part[:, None, :] - palette[None, :, :]) ** 2).sum(axis=2)
            best[start : start + chunk] = distance.argmin(axis=1)
        return best[inverse.reshape(-1)]

    def distances(self, words: npt.NDArray[np.uint32], indices: npt.NDArray[np.uint8]) -> npt.NDArray[np.float64]:
        """How far each colour is from the palette entry it was given, in
        the distance `nearest` minimises."""
        channels = premultiplied(np.ascontiguousarray(words, dtype="<u4").view(np.uint8).reshape(-1, 4))
        palette = premultiplied(self.colors)
        squares: npt.NDArray[np.float64] = (
            ((channels - palette[indices.reshape(-1)]) ** 2).sum(axis=1).astype(np.float64)
        )
        return np.sqrt(squares)


def premultiplied(colors: npt.NDArray[np.uint8]) -> npt.NDArray[np.int32]:
    """N x 4 RGBA colours with R, G and B multiplied by A/255, rounded to
    8-bit values; as int32, for distances."""
    wide = colors.astype(np.int32)
    alpha = wide[:, 3:4]
    out = wide.copy()
    out[:, :3] = (wide[:, :3] * alpha + 127) // 255
    return out


def color_text(word: int) -> str:
    r, g, b, a = int(word).to_bytes(4, "little")
    return f"({r}, {g}, {b}, {a})"
