"""An animation written again with another palette, checked as an import is.

- by index (a palette swap: team colours, seasons): every pixel keeps its
  index, and the file stores the new palette's location;
- by colour: each index the frames use takes the entry of the new palette
  nearest its colour in the old one (`PaletteIndex.nearest`), and the
  largest colour error is reported.

Offsets, frame kinds, the background flag and the speed stay as they were.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional, Tuple

import numpy as np
import numpy.typing as npt

from kivtool import _core
from kivtool.animation import SHADOW, LoadError, describe_animation, frame_kind, planes_of
from kivtool.formats import ImportRefused
from kivtool.importer import SHADOW_PIXEL, Plan, load_palette, location_to_store, write_verified
from kivtool.palette_index import PaletteIndex, Pixels, color_text

BY_INDEX = "index"
BY_COLOUR = "colour"


@dataclass
class Recoloured:
    frames: int
    # By colour: the largest colour error, the old index and colour and the
    # new index it took; None when nothing is painted with a colour.
    largest: Optional[Tuple[float, int, int]] = None
    old_colors: Optional[npt.NDArray[np.uint32]] = None
    new_colors: Optional[npt.NDArray[np.uint32]] = None

    def report(self) -> Optional[str]:
        if self.largest is None or self.old_colors is None or self.new_colors is None:
            return None
        distance, old, new = self.largest
        if distance == 0:
            return "every colour kept exactly"
        return (
            f"largest colour error {distance:.1f}: index {old} {color_text(self.old_colors[old])} "
            f"became {new} {color_text(self.new_colors[new])}"
        )


def recolour(source: Path, out: Path, palette_path: Path, root: Path, by: str = BY_INDEX) -> Recoloured:
    """Writes `source` with the palette `palette_path` as `out`, verified.
    Raises ImportRefused (nothing written) or VerificationFailed."""
    try:
        animation = describe_animation(source)
    except LoadError as error:
        raise ImportRefused(str(error)) from None
    if animation.cut_short:
        raise ImportRefused(
            f"{source}: is cut short (it ends before its header or its frames); "
            "recolouring it would write what is missing as empty frames"
        )
    loaded = animation.loaded
    assert loaded is not None
    palette = load_palette(palette_path)
    if out.is_dir():
        raise ImportRefused(f"{out}: is a folder; name the animation file to write")
    location = location_to_store(out, root, palette_path)
    count = loaded.frame_count
    planes = [planes_of(loaded, i) for i in range(count)]
    shadows = [frame_kind(i, f.is_shadow, loaded.has_background, count) == SHADOW for i, f in enumerate(loaded.frames)]
    used = np.zeros(256, dtype=bool)
    for (values, painted), shadow in zip(planes, shadows):
        if not shadow:
            used[np.unique(values[painted])] = True
    result = Recoloured(count)
    mapping = np.arange(256, dtype=np.uint8)
    if by == BY_INDEX:
        beyond = np.flatnonzero(used[palette.count :])
        if beyond.size:
            raise ImportRefused(
                f"{source}: its frames use index {palette.count + int(beyond[-1])}, beyond the "
                f"{palette.count} colours of {palette_path}; --by colour maps colours instead"
            )
    else:
        old_words = np.array(loaded.colors, dtype=np.uint8).reshape(-1, 4).view("<u4").reshape(-1).astype(np.uint32)
        own = PaletteIndex([tuple(int(v) for v in c) for c in palette.colors[: palette.count]])  # type: ignore[misc]
        indices = np.flatnonzero(used)
        if indices.size:
            nearest = own.nearest(old_words[indices])
            mapping[indices] = nearest
            errors = own.distances(old_words[indices], nearest)
            worst = int(np.argmax(errors))
            result.largest = (float(errors[worst]), int(indices[worst]), int(nearest[worst]))
        result.old_colors, result.new_colors = old_words, palette.words
    frames: List[_core.FramePlanes] = []
    expected: List[Pixels] = []
    by_index: List[Optional[Tuple[npt.NDArray[np.bool_], Optional[npt.NDArray[np.uint8]]]]] = []
    for frame, (values, painted), shadow in zip(loaded.frames, planes, shadows):
        if shadow:
            frames.append(_core.FramePlanes(painted, None, frame.x_offset, frame.y_offset, shadow=True))
            expected.append(np.where(painted, np.uint32(SHADOW_PIXEL), np.uint32(0)))
            by_index.append((painted, None))
            continue
        new_values = np.ascontiguousarray(mapping[values])
        frames.append(_core.FramePlanes(painted, new_values, frame.x_offset, frame.y_offset, shadow=False))
        expected.append(np.where(painted, palette.words[new_values], np.uint32(0)))
        by_index.append((painted, new_values))
    names = [f"frame {i}" for i in range(count)]
    plan = Plan(
        frames,
        names,
        expected,
        [(f.x_offset, f.y_offset) for f in loaded.frames],
        shadows,
        [0] * count,
        loaded.speed,
        loaded.has_background,
        by_index=by_index,
    )
    try:
        contents = _core.encode(
            frames, speed=loaded.speed, location=location, has_background=loaded.has_background, names=names
        )
    except ValueError as error:
        raise ImportRefused(f"{out}: cannot store {error}") from None
    write_verified(out, contents, plan, palette_path)
    return result
