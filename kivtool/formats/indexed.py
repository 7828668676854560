"""Animations as palette images, index for index.

Every pixel of an animation frame is a palette index, and pixel editors can
keep an image in exactly that form: a PNG of colour type 3, whose palette is
the animation's and whose pixel values are indices. Export writes such
images; import reads them back by index, so that nothing is matched by
colour and a palette holding one colour twice, or an entry (0, 0, 0, 0) that
runs paint, comes back as it was.

Two kinds of pixel have no index of their own:

- pixels no run paints take the transparent index: by default the lowest
  index no frame of the file paints; its alpha in the image is 0. Every
  image names it in the text chunk "kivtool:transparent-index", the sheet's
  JSON in `meta.transparentIndex`;
- shadow frames store no indices (their runs are drawn opaque black); their
  painted pixels take the shadow index, by default the lowest entry other
  than the transparent one that is opaque black (`meta.shadowIndex`).

On import a palette PNG is read by index when its palette's colours are the
animation palette's (the transparent entry aside). The transparent index is
taken from, in this order: the user, the sheet's meta, the image's text
chunk, the one entry made transparent in the image while the animation
palette's is not, the one entry transparent in both. A palette PNG whose palette differs is read by colour,
like any other image, with a warning naming the first entry that differs.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from kivtool import _core
from kivtool.animation import SHADOW
from kivtool.formats import ImportRefused, png

TRANSPARENT_TEXT = "kivtool:transparent-index"
SHADOW_COLOR = _core.SHADOW_COLOR  # what a shadow frame's runs paint
PALETTE_SIZE = 256

Color = Tuple[int, int, int, int]
Values = npt.NDArray[np.uint8]
Mask = npt.NDArray[np.bool_]


# --------------------------------------------------------------------------
# Export


@dataclass
class Choice:
    """The indices that pixels without an index of their own take."""

    transparent: int
    shadow: Optional[int]  # None when the file has no shadow frame, or none that paints


def frame_values(frame_kind: str, plane: Tuple[Values, Mask], choice: Choice) -> Values:
    """The frame's pixel values in the image."""
    values, mask = plane
    if frame_kind == SHADOW:
        return np.where(mask, np.uint8(choice.shadow or 0), np.uint8(choice.transparent))
    return np.where(mask, values, np.uint8(choice.transparent))


def png_palette(palette: Sequence[Color], choice: Choice) -> png.Palette:
    """The palette every indexed PNG carries: the animation's, with each
    entry's alpha in tRNS, 0 for the transparent index."""
    alphas = bytearray(color[3] for color in palette)
    alphas[choice.transparent] = 0
    return png.Palette(rgb=bytes(channel for color in palette for channel in color[:3]), alpha=bytes(alphas))


# --------------------------------------------------------------------------
# Import


@dataclass
class Decision:
    transparent: Optional[int]  # None: read by colour


@dataclass
class PaletteImage:
    """What a palette PNG says about its pixels: its palette, each entry's
    alpha from tRNS (255 where tRNS has none), and the transparent index its
    text names, or its sheet's meta."""

    name: str
    colors: List[Color]
    text_transparent: Optional[int]
    sheet_transparent: Optional[int] = None
    decision: Optional[Decision] = None  # made once, for every frame cut from the image


@dataclass
class IndexedPixels:
    """Part of a palette PNG, as its pixel values. `covered` is False where
    a frame reaches beyond the image (a trimmed sheet frame put back on its
    source size): nothing is painted there."""

    values: Values
    image: PaletteImage
    covered: Optional[Mask] = None

    @property
    def shape(self) -> Tuple[int, int]:
        return (int(self.values.shape[0]), int(self.values.shape[1]))

    def __getitem__(self, area: Any) -> IndexedPixels:
        covered = None if self.covered is None else self.covered[area]
        return IndexedPixels(self.values[area], self.image, covered)

    def placed(self, height: int, width: int, y: int, x: int) -> IndexedPixels:
        """These pixels at (x, y) on an uncovered area of `width` x `height`."""
        values = np.zeros((height, width), dtype=np.uint8)
        covered = np.zeros((height, width), dtype=bool)
        h, w = self.shape
        values[y : y + h, x : x + w] = self.values
        covered[y : y + h, x : x + w] = True if self.covered is None else self.covered
        return IndexedPixels(values, self.image, covered)

    def rgba(self) -> npt.NDArray[np.uint8]:
        """The pixels as colours, as any image viewer shows them."""
        colors = np.array(self.image.colors, dtype=np.uint8).reshape(-1, 4)
        colors = np.concatenate([colors, np.zeros((PALETTE_SIZE - len(colors), 4), dtype=np.uint8)])
        rgba = colors[self.values]
        if self.covered is not None:
            rgba[~self.covered] = 0
        return rgba


def index_text(value: Any, where: str) -> int:
    text = str(value).strip()
    if not text.isdigit() or not 0 <= int(text) < PALETTE_SIZE:
        raise ImportRefused(f"{where}: {text!r} is not a palette index (0 to 255)")
    return int(text)


def palette_pixels(image: Any, name: str) -> Optional[IndexedPixels]:
    """A PNG of colour type 3 as its pixel values and palette; None for any
    other image."""
    if image.format != "PNG" or image.mode != "P":
        return None
    rgb = image.getpalette("RGB") or []
    count = len(rgb) // 3
    alphas = [255] * count
    transparency = image.info.get("transparency")
    if isinstance(transparency, int):
        if transparency < count:
            alphas[transparency] = 0
    elif isinstance(transparency, bytes):
        for i, alpha in enumerate(transparency[:count]):
            alphas[i] = alpha
    colors = [(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], alphas[i]) for i in range(count)]
    text = getattr(image, "text", {}).get(TRANSPARENT_TEXT)
    named = None if text is None else index_text(text, f"{name}: its text {TRANSPARENT_TEXT}")
    values = np.asarray(image, dtype=np.uint8)
    beyond = values >= count
    if beyond.any():
        y, x = (int(v) for v in np.argwhere(beyond)[0])
        raise ImportRefused(
            f"{name}: pixel x={x}, y={y} has palette index {int(values[y, x])}, "
            f"beyond the image's {count} palette colours"
        )
    return IndexedPixels(values, PaletteImage(name, colors, named))


def color_text(color: Sequence[int]) -> str:
    return "(" + ", ".join(str(int(c)) for c in color) + ")"


def transparent_entry(colors: npt.NDArray[np.uint8], own: npt.NDArray[np.uint8]) -> Tuple[Optional[int], List[int]]:
    """The transparent index a palette image implies by its tRNS alone, and
    the entries transparent in both palettes. The one entry the image makes
    transparent while the animation's is not is it; else the one entry
    transparent in both (a strip painted with the game's own palette, whose
    entry 0 is (0, 0, 0, 0) and is what every unpainted pixel holds)."""
    cleared = np.flatnonzero((colors[:, 3] == 0) & (own[:, 3] != 0))
    if cleared.size == 1:
        return int(cleared[0]), []
    shared = [int(i) for i in np.flatnonzero((colors[:, 3] == 0) & (own[:, 3] == 0))]
    if cleared.size == 0 and len(shared) == 1:
        return shared[0], shared
    return None, shared


@dataclass
class IndexReader:
    """Decides once per palette image whether its pixels are read by index,
    and reads the frames cut from it."""

    palette: npt.NDArray[np.uint8]  # the animation's palette, 256 x 4
    transparent: Optional[int]  # the user's, overriding every other source
    warnings: List[str] = field(default_factory=list)
    frames_read: int = 0  # frames read by index so far

    def decide(self, image: PaletteImage) -> Decision:
        if image.decision is not None:
            return image.decision
        colors = np.array(image.colors, dtype=np.uint8).reshape(-1, 4)[:PALETTE_SIZE]
        own = self.palette[: len(colors)]
        differs = np.any(colors != own, axis=1)
        transparent = self.transparent
        if transparent is None:
            transparent = image.sheet_transparent
        if transparent is None:
            transparent = image.text_transparent
        shared: List[int] = []
        if transparent is None:
            transparent, shared = transparent_entry(colors, own)
        if transparent is not None and transparent < len(differs):
            differs[transparent] = False
        if differs.any():
            first = int(np.flatnonzero(differs)[0])
            self.warnings.append(
                f"{image.name}: its palette is not the animation's (entry {first} is "
                f"{color_text(colors[first])}, the animation's {color_text(own[first])}); "
                "its pixels are matched by colour"
            )
            decision = Decision(None)
        elif transparent is None:
            found = (
                f"entries {', '.join(map(str, shared))} are transparent in both"
                if shared
                else "no entry is transparent in both"
            )
            raise ImportRefused(
                f"{image.name}: has the animation's palette but names no transparent index "
                f"(no {TRANSPARENT_TEXT} text, no sheet meta.transparentIndex, no entry made "
                f"transparent in the image alone, and {found}); give it with --transparent-index N"
            )
        else:
            decision = Decision(transparent)
        image.decision = decision
        return decision

    def read(self, pixels: IndexedPixels, shadow: bool) -> Optional[Tuple[Mask, Values]]:
        """(painted, indices) of a frame read by index; None when its image
        is to be read by colour."""
        transparent = self.decide(pixels.image).transparent
        if transparent is None:
            return None
        painted = pixels.values != transparent
        if pixels.covered is not None:
            painted &= pixels.covered
        self.frames_read += 1
        # A frame cut from a sheet is a view into it; the encoder takes
        # planes of their own.
        return painted, np.ascontiguousarray(pixels.values)
