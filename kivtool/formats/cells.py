"""Frames cut from bigger pictures: the cells of a strip or grid, and the
steps of an animated GIF, APNG or WebP.

Every such frame is placed around one anchor point. For a cell the point is
given in cell pixels (the same for every cell), for an animated image on its
canvas; a frame's offsets are the place of its top-left pixel relative to
that point, so a cell's offsets are minus the point, and a frame trimmed to
its painted pixels keeps every pixel where it was by adding the trimmed
margin to its offsets.

A pixel counts as painted when it is visible: alpha above 0 in an RGBA
image; in a palette PNG, any value but the index its text names as
transparent, or else any entry whose tRNS alpha is above 0."""

from __future__ import annotations

from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from kivtool.animation import FRAME
from kivtool.formats import ImportRefused, indexed
from kivtool.formats.images import Decoded, SourceFrame, _with_image, check_pixels, identity, image_facts, read_decoded
from kivtool.memory import DEFAULT_MAX_PIXELS, memory_budget

# Named anchor points: each axis at 0, half the size rounded down, or the size.
NAMED_ANCHORS = {
    "top-left": (0, 0),
    "top": (1, 0),
    "top-right": (2, 0),
    "left": (0, 1),
    "center": (1, 1),
    "right": (2, 1),
    "bottom-left": (0, 2),
    "bottom": (1, 2),
    "bottom-right": (2, 2),
}

ANCHOR_LIMIT = 1 << 20


@dataclass(frozen=True)
class Anchor:
    """Where the animation's anchor sits in a cell or on a canvas: a named
    point that scales with the size, or fixed pixel coordinates."""

    name: Optional[str] = "bottom"
    x: int = 0
    y: int = 0

    def point(self, width: int, height: int) -> Tuple[int, int]:
        if self.name is None:
            return self.x, self.y
        fx, fy = NAMED_ANCHORS[self.name]
        return (0, width // 2, width)[fx], (0, height // 2, height)[fy]


def parse_anchor(text: str) -> Anchor:
    """`X,Y` in pixels, or one of the named points; ValueError otherwise."""
    name = text.strip().lower()
    if name in NAMED_ANCHORS:
        return Anchor(name)
    parts = name.split(",")
    if len(parts) == 2:
        try:
            x, y = int(parts[0]), int(parts[1])
        except ValueError:
            pass
        else:
            # Far enough for any offset a file can store, however a frame is trimmed.
            if max(abs(x), abs(y)) > ANCHOR_LIMIT:
                raise ValueError(f"has a coordinate beyond ±{ANCHOR_LIMIT}")
            return Anchor(None, x, y)
    raise ValueError(f"is neither X,Y nor one of {', '.join(NAMED_ANCHORS)}")


def parse_grid(text: str) -> Tuple[int, int]:
    """`WxH`, each a whole number above 0; ValueError otherwise."""
    parts = text.strip().lower().split("x")
    try:
        width, height = (int(part) for part in parts)
    except ValueError:
        width = height = 0
    if width <= 0 or height <= 0:
        raise ValueError("is not WxH with a width and height above 0, such as 32x48")
    return width, height


# --------------------------------------------------------------------------
# Painted pixels and trimming


def painted_mask(pixels: Decoded) -> npt.NDArray[np.bool_]:
    if isinstance(pixels, indexed.IndexedPixels):
        named = pixels.image.text_transparent
        if named is not None:
            return np.asarray(pixels.values != named)
        visible = np.array([color[3] > 0 for color in pixels.image.colors] + [False] * 256, dtype=bool)
        return np.asarray(visible[pixels.values])
    return np.asarray(pixels[..., 3] > 0)


def painted_box(pixels: Decoded) -> Optional[Tuple[int, int, int, int]]:
    """(left, top, right, bottom) around the painted pixels, exclusive at the
    right and bottom; None when nothing is painted."""
    mask = painted_mask(pixels)
    rows = np.flatnonzero(mask.any(axis=1))
    if rows.size == 0:
        return None
    columns = np.flatnonzero(mask.any(axis=0))
    return int(columns[0]), int(rows[0]), int(columns[-1]) + 1, int(rows[-1]) + 1


def placed_frame(name: str, pixels: Decoded, anchor: Tuple[int, int], trim: bool) -> SourceFrame:
    """`pixels` as a frame whose top-left pixel lies at (0, 0) of its cell or
    canvas; with `trim` cut to its painted pixels (a frame with none keeps no
    pixels at all), each pixel staying where it was."""
    left = top = 0
    if trim:
        box = painted_box(pixels)
        left, top, right, bottom = box if box is not None else (0, 0, 0, 0)
        pixels = pixels[top:bottom, left:right]
    height, width = pixels.shape[:2]
    return SourceFrame(name, partial(identity, pixels), left - anchor[0], top - anchor[1], FRAME, width, height)


# --------------------------------------------------------------------------
# Strips and grids


def grid_frames(
    images: Sequence[Path],
    cell: Tuple[int, int],
    *,
    anchor: Anchor = Anchor(),
    first: int = 0,
    count: Optional[int] = None,
    trim: bool = False,
    quantize: bool = False,
    max_pixels: int = DEFAULT_MAX_PIXELS,
) -> List[SourceFrame]:
    """The cells of `images`, left to right and top to bottom, image after
    image: `first` cells skipped over all images together, then `count`
    cells, or without `count` every cell up to the last one that paints a
    pixel."""
    cell_width, cell_height = cell
    point = anchor.point(cell_width, cell_height)
    cells: List[Tuple[str, Decoded]] = []
    for path in images:
        pixels = read_decoded(path, quantize=quantize, max_pixels=max_pixels)
        height, width = pixels.shape[:2]
        if width % cell_width or height % cell_height:
            raise ImportRefused(
                f"{path}: the image is {width} × {height} pixels, which cells of "
                f"{cell_width} × {cell_height} (--grid) do not divide"
            )
        columns = width // cell_width
        for row in range(height // cell_height):
            for column in range(columns):
                x, y = column * cell_width, row * cell_height
                cells.append(
                    (
                        f"{path}: cell {row * columns + column} (x={x}, y={y})",
                        pixels[y : y + cell_height, x : x + cell_width],
                    )
                )
    if count is not None:
        if first + count > len(cells):
            where = str(images[0]) if len(images) == 1 else f"{images[0]} and the other images"
            raise ImportRefused(
                f"{where}: --first {first} --count {count} asks for cells up to {first + count - 1}, but cells of "
                f"{cell_width} × {cell_height} (--grid) give {len(cells)} cells, counted from 0"
            )
        chosen = cells[first : first + count]
    else:
        chosen = cells[first:]
        while chosen and painted_box(chosen[-1][1]) is None:
            chosen.pop()
        if not chosen:
            raise ImportRefused(f"{images[0]}: no cell from --first {first} on paints a pixel")
    return [placed_frame(name, pixels, point, trim) for name, pixels in chosen]


# --------------------------------------------------------------------------
# Animated images


def step_count(path: Path) -> int:
    """How many steps the image holds (1 for a still image)."""
    return image_facts(path)[2]


def animated_frames(
    path: Path,
    *,
    anchor: Anchor = Anchor(),
    max_pixels: int = DEFAULT_MAX_PIXELS,
) -> List[SourceFrame]:
    """One frame per step of an animated GIF, APNG or WebP, as shown (each
    step drawn over what the steps before it left, as the format says),
    trimmed to its painted pixels and placed where it stood on the canvas
    relative to `anchor`."""
    return _with_image(path, partial(_steps, path=path, anchor=anchor, max_pixels=max_pixels))


def _steps(image: Any, path: Path, anchor: Anchor, max_pixels: int) -> List[SourceFrame]:
    width, height = (int(v) for v in image.size)
    check_pixels(str(path), width, height, max_pixels)
    point = anchor.point(width, height)
    budget = memory_budget()
    held = 0
    frames = []
    for number in range(getattr(image, "n_frames", 1)):
        image.seek(number)
        step = np.asarray(image.convert("RGBA"))
        if step.shape != (height, width, 4):
            raise ImportRefused(f"{path}: step {number} decodes to {step.shape[1]} × {step.shape[0]}, not the canvas")
        frame = placed_frame(f"{path}: step {number}", step, point, trim=True)
        # Messages name pixels of the painted part, so its place is named too.
        left, top = frame.x_offset + point[0], frame.y_offset + point[1]
        frame.name = f"{path}: step {number} (painted from x={left}, y={top})"
        # Only the painted part of each step is kept.
        pixels = np.array(frame.read())
        frame.read = partial(identity, pixels)
        held += pixels.nbytes
        if budget is not None and held > budget // 2:
            raise ImportRefused(
                f"{path}: its steps hold more pixels than this process may keep in memory "
                f"({budget / 2**20:,.0f} MiB), reached at step {number}"
            )
        frames.append(frame)
    return frames
