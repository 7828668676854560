"""Palettes taken from images.

- A palette PNG (colour type 3) gives its own entries, in order, with each
  entry's alpha from tRNS: the palette the art was painted with. Several
  images must carry the same one.
- Any other image gives (0, 0, 0, 0) as entry 0 (what unpainted pixels
  are; left out on request), then its distinct colours in the order they
  first appear (row by row, image after image), when they fit in the
  entries asked for; pixels with alpha 0 are unpainted and give no entry.
- When they do not fit, a quantizer picks the entries.

The quantizer is a k-means over premultiplied colours, in numpy. Pillow's
fast octree also takes RGBA, but it splits colours by their straight R, G,
B, A bits: two nearly transparent pixels of different hues land in
different entries while visible shades merge, and it knows nothing of the
distance the tool measures. k-means over premultiplied colours minimises
exactly that distance (`PaletteIndex.nearest`'s), needs nothing beyond
numpy (MIT-compatible, unlike libimagequant's GPL-3.0) and is deterministic:
its seeds are picked farthest-first, not at random.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from kivtool.formats import ImportRefused, indexed
from kivtool.formats.images import read_decoded
from kivtool.formats.palette import MAX_COLORS, Color, PaletteError
from kivtool.memory import DEFAULT_MAX_PIXELS
from kivtool.palette_index import PaletteIndex, color_text, premultiplied

CLEAR: Color = (0, 0, 0, 0)
# Lloyd steps of the k-means: each moves every entry to the weighted mean of
# the colours nearest it; the result settles well before this many.
KMEANS_STEPS = 24
# The entries are fitted to at most this many distinct colours, a sample
# drawn with a fixed seed when there are more (a photograph holds hundreds
# of thousands); every colour is still mapped, and measured, afterwards.
KMEANS_SAMPLE = 1 << 15
CHUNK = 1 << 14  # rows of the distance table computed at once


@dataclass
class ImagePalette:
    colors: List[Color]
    # When a quantizer chose the entries: how far the farthest pixel moved
    # (premultiplied distance), its colour and the entry it took.
    moved: Optional[Tuple[float, int, int]] = None
    distinct: int = 0  # the distinct colours the images hold

    def report(self) -> Optional[str]:
        if self.moved is None:
            return None
        distance, word, entry = self.moved
        r, g, b, a = self.colors[entry]
        return (
            f"{self.distinct} colours quantized to {len(self.colors)} entries: the farthest pixel moved by "
            f"{distance:.1f}, from {color_text(word)} to entry {entry} ({r}, {g}, {b}, {a})"
        )


def palette_from_images(
    sources: Sequence[Path], count: int = MAX_COLORS, transparent: bool = True, max_pixels: int = DEFAULT_MAX_PIXELS
) -> ImagePalette:
    """The palette of the images `sources`, of at most `count` entries."""
    decoded = []
    for source in sources:
        try:
            decoded.append(read_decoded(source, quantize=True, max_pixels=max_pixels))
        except ImportRefused as error:
            raise PaletteError(str(error)) from None
    palettes = [d for d in decoded if isinstance(d, indexed.IndexedPixels)]
    if palettes:
        if len(palettes) != len(decoded):
            kind = isinstance(decoded[0], indexed.IndexedPixels)
            odd = next(s for s, d in zip(sources, decoded) if isinstance(d, indexed.IndexedPixels) != kind)
            raise PaletteError(
                f"{odd}: is {'not ' if kind else ''}a palette PNG and {sources[0]} is{'' if kind else ' not'}; "
                "a palette comes from palette PNGs alone or from colour images alone"
            )
        return ImagePalette(shared_palette(sources, palettes))
    words = [np.ascontiguousarray(d).view("<u4").reshape(-1) for d in decoded if isinstance(d, np.ndarray)]
    return colour_palette(np.concatenate(words) if words else np.zeros(0, np.uint32), count, transparent)


def shared_palette(sources: Sequence[Path], images: Sequence[indexed.IndexedPixels]) -> List[Color]:
    first = images[0].image.colors
    for source, image in zip(sources[1:], images[1:]):
        other = image.image.colors
        for i in range(max(len(first), len(other))):
            mine = first[i] if i < len(first) else None
            theirs = other[i] if i < len(other) else None
            if mine != theirs:
                raise PaletteError(
                    f"{source}: its palette differs from {sources[0]}'s at entry {i}: {entry_text(theirs)}, "
                    f"not {entry_text(mine)}; images that give one palette share it"
                )
    return [tuple(int(v) for v in color) for color in first]  # type: ignore[misc]


def entry_text(color: Optional[Color]) -> str:
    return "none" if color is None else color_text(int.from_bytes(bytes(color), "little"))


def colour_palette(words: npt.NDArray[np.uint32], count: int, transparent: bool) -> ImagePalette:
    """(0, 0, 0, 0) unless not `transparent`, then the painted colours in
    order of first appearance, or chosen by the quantizer."""
    painted = words[words > 0x00FFFFFF]  # alpha above 0
    unique, first, weights = np.unique(painted, return_index=True, return_counts=True)
    order = np.argsort(first, kind="stable")
    unique, weights = unique[order], weights[order]
    lead = [CLEAR] if transparent else []
    room = count - len(lead)
    if unique.size <= room:
        return ImagePalette(lead + [word_color(w) for w in unique], distinct=int(unique.size))
    if room < 1:
        raise PaletteError(
            f"--colors {count}: no entry is left for the images' {unique.size} colours beside the transparent one"
        )
    colors = lead + kmeans(unique, weights, room, lead)
    index = PaletteIndex(colors)
    nearest = index.nearest(unique)
    distances = index.distances(unique, nearest)
    far = int(np.argmax(distances))
    return ImagePalette(colors, (float(distances[far]), int(unique[far]), int(nearest[far])), int(unique.size))


def word_color(word: int) -> Color:
    r, g, b, a = int(word).to_bytes(4, "little")
    return (r, g, b, a)


def kmeans(
    words: npt.NDArray[np.uint32], weights: npt.NDArray[np.int64], k: int, fixed: Sequence[Color] = ()
) -> List[Color]:
    """`k` entries for the colours `words` (each weighed by its pixels),
    chosen by k-means over premultiplied colours beside the `fixed` entries
    (the transparent entry 0, which takes the nearly transparent pixels and
    does not move), seeded farthest-first from the fixed entries, or from
    the most common colour."""
    if words.size > KMEANS_SAMPLE:
        sample = np.sort(np.random.default_rng(0).choice(words.size, KMEANS_SAMPLE, replace=False))
        words, weights = words[sample], weights[sample]
    points = premultiplied(words.astype("<u4").view(np.uint8).reshape(-1, 4)).astype(np.float64)
    weight = weights.astype(np.float64)
    pinned = premultiplied(np.array(fixed, dtype=np.uint8).reshape(-1, 4)).astype(np.float64)
    chosen = list(pinned)
    if not chosen:
        chosen.append(points[int(np.argmax(weight))])
    nearest = np.min([((points - c) ** 2).sum(axis=1) for c in chosen], axis=0)
    while len(chosen) < k + len(fixed):
        chosen.append(points[int(np.argmax(nearest))])
        nearest = np.minimum(nearest, ((points - chosen[-1]) ** 2).sum(axis=1))
    centres = np.array(chosen)
    for _ in range(KMEANS_STEPS):
        label = nearest_centres(points, centres)
        totals = np.zeros_like(centres)
        np.add.at(totals, label, points * weight[:, None])
        mass = np.bincount(label, weights=weight, minlength=k)
        held = mass > 0
        held[: len(fixed)] = False
        moved = centres.copy()
        moved[held] = totals[held] / mass[held, None]
        if np.allclose(moved, centres):
            break
        centres = moved
    return [straight(centre) for centre in centres[len(fixed) :]]


def nearest_centres(points: npt.NDArray[np.float64], centres: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    """For each point, its nearest centre: |p|² - 2 p·c + |c|², as a
    product of matrices (the fitting only; the palette's final mapping is
    `PaletteIndex.nearest`'s)."""
    label = np.empty(points.shape[0], dtype=np.int64)
    lengths = (centres**2).sum(axis=1)
    for start in range(0, points.shape[0], CHUNK):
        part = points[start : start + CHUNK]
        label[start : start + CHUNK] = (lengths[None, :] - 2 * part @ centres.T).argmin(axis=1)
    return label


def straight(centre: npt.NDArray[np.float64]) -> Color:
    """A premultiplied colour as the straight RGBA entry nearest it."""
    alpha = int(round(float(centre[3])))
    if alpha <= 0:
        return CLEAR
    rgb = [min(255, max(0, int(round(float(c) * 255 / alpha)))) for c in centre[:3]]
    return (rgb[0], rgb[1], rgb[2], min(alpha, 255))
