"""The sprite sheet format: every frame packed into one image, described by
a JSON file in the JSON-hash layout of Aseprite and TexturePacker.

`kivtool export --as sheet` packs and describes (`pack`, `description`);
`kivtool import` reads a sheet back (`sheet_frames`), from this layout, the
JSON-array one, and trimmed frames.

An entry per frame, named `<stem>_<NNN>`: `frame` (its rectangle in the
image), `rotated` and `trimmed` (always false when written), `spriteSourceSize`
and `sourceSize`, `duration` in ms, `pivot` and `anchor` (the game's point
of placement as a fraction of the frame), and of this tool's own `offset`
(the offsets as stored) and `kind` (frame, shadow, background). `meta`
holds the image's name and size, the animation's `speed` and `frameTags`,
one per run of frames of the same kind.
"""

from __future__ import annotations

import bisect
import heapq
import math
from functools import partial
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from kivtool import __version__, _core
from kivtool.animation import BACKGROUND, FRAME, SHADOW, Animation, FrameInfo
from kivtool.formats import ImportRefused, indexed
from kivtool.formats.images import KINDS, Decoded, SourceFrame, check_pixels, identity, read_decoded
from kivtool.formats.json_values import json_excerpt, json_key, member, read_json, whole_number
from kivtool.memory import DEFAULT_MAX_PIXELS
from kivtool.text import excerpt, number, quoted


def frame_name(stem: str, index: int) -> str:
    """The name of frame `index` of the animation file `stem`.ext: its
    entry in a sheet description and, with .png, its file in the frames
    form, the same so that a sheet's entries name the frames' files."""
    return f"{stem}_{index:03d}"


# --------------------------------------------------------------------------
# Packing


def pack(sizes: List[Tuple[int, int]]) -> Tuple[Tuple[int, int], List[Tuple[int, int]]]:
    """Places rectangles of `sizes` (all non-empty) without overlap in as
    small a sheet as the packer finds; returns the sheet size and each
    rectangle's top-left corner, in the order given."""
    area = sum(w * h for w, h in sizes)
    widest = max(w for w, _ in sizes)
    # Sheets of a few widths around the square root of the area are filled;
    # the smallest is kept, of equal areas the squarer one.
    side = area**0.5
    best: Optional[Tuple[Tuple[int, int], Tuple[int, int], List[Tuple[int, int]]]] = None
    for width in sorted({max(widest, round(side * factor)) for factor in (1.0, 1.1, 1.25, 1.5, 2.0)}):
        size, places = fill_width(sizes, width)
        score = (size[0] * size[1], abs(size[0] - size[1]))
        if best is None or score < best[0]:
            best = (score, size, places)
    assert best is not None
    return best[1], best[2]


def fill_width(sizes: List[Tuple[int, int]], width: int) -> Tuple[Tuple[int, int], List[Tuple[int, int]]]:
    """Places every rectangle in a sheet `width` wide (at least the widest
    rectangle) and as tall as it takes; returns the size used and the
    corners.

    The packer is best fit on a skyline: the top edge of what has been
    placed is a row of level segments, and the lowest segment (the leftmost
    of equal ones) gets the widest rectangle left that fits in it, the
    tallest of equal widths, at its left end. A segment that no rectangle
    fits is raised to the lower of its neighbours and joins it. Each step
    takes time that grows with the logarithm of the number of rectangles, so
    the whole grows little faster than their number."""
    # The rectangles left, by width: the widths in order, and for each the
    # rectangles of that width, the tallest last.
    by_width: Dict[int, List[Tuple[int, int]]] = {}
    for rectangle, (w, h) in enumerate(sizes):
        by_width.setdefault(w, []).append((h, rectangle))
    for group in by_width.values():
        group.sort()
    widths = sorted(by_width)
    # The skyline: segment starts left to right, each one's level and width;
    # and a heap of (level, start) that holds every segment, among entries
    # of segments since changed, which are passed over.
    starts = [0]
    level = {0: 0}
    span = {0: width}
    lowest = [(0, 0)]
    places = [(0, 0)] * len(sizes)
    left = len(sizes)
    while left:
        y, x = heapq.heappop(lowest)
        if level.get(x) != y:
            continue
        gap = span[x]
        i = bisect.bisect_left(starts, x)
        k = bisect.bisect_right(widths, gap) - 1
        if k < 0:
            before = starts[i - 1] if i > 0 else None
            after = starts[i + 1] if i + 1 < len(starts) else None
            if after is None or (before is not None and level[before] <= level[after]):
                assert before is not None  # one segment spans the width, which fits every rectangle
                span[before] += gap
                del starts[i], level[x], span[x]
            else:
                level[x] = level[after]
                span[x] += span[after]
                del starts[i + 1], level[after], span[after]
                heapq.heappush(lowest, (level[x], x))
            continue
        w = widths[k]
        group = by_width[w]
        h, rectangle = group.pop()
        if not group:
            del widths[k]
        left -= 1
        places[rectangle] = (x, y)
        top = y + h
        if w < gap:
            rest = x + w
            starts.insert(i + 1, rest)
            level[rest], span[rest] = y, gap - w
            heapq.heappush(lowest, (y, rest))
        level[x], span[x] = top, w
        if i + 1 < len(starts) and level[starts[i + 1]] == top:
            after = starts[i + 1]
            span[x] += span[after]
            del starts[i + 1], level[after], span[after]
        if i > 0 and level[starts[i - 1]] == top:
            span[starts[i - 1]] += span[x]
            del starts[i], level[x], span[x]
        else:
            heapq.heappush(lowest, (top, x))
    used_width = max(x + w for (x, _), (w, _) in zip(places, sizes))
    used_height = max(y + h for (_, y), (_, h) in zip(places, sizes))
    return (used_width, used_height), places


# --------------------------------------------------------------------------
# Writing


def description(
    animation: Animation, size: Tuple[int, int], place_of: Dict[int, Tuple[int, int]], duration: int
) -> Dict[str, Any]:
    """The sheet's description: every frame's rectangle in a sheet image of
    `size` (its top-left corner in `place_of`, by frame index; a 0 x 0
    frame has none), each `duration` ms long."""
    stem = animation.stem
    entries = {}
    for frame in animation.frames:
        x, y = place_of.get(frame.index, (0, 0))
        # A frame with no pixels keeps its width or height all the same:
        # it is part of the file and comes back on import.
        w, h = frame.width, frame.height
        entries[frame_name(stem, frame.index)] = {
            "frame": {"x": x, "y": y, "w": w, "h": h},
            "rotated": False,
            "trimmed": False,
            "spriteSourceSize": {"x": 0, "y": 0, "w": w, "h": h},
            "sourceSize": {"w": w, "h": h},
            **placement(frame, duration),
        }
    description = {
        "frames": entries,
        "meta": {
            "app": "kivtool",
            "version": __version__,
            "image": f"{stem}.png",
            "format": "RGBA8888",
            "size": {"w": size[0], "h": size[1]},
            "scale": "1",
            "speed": animation.speed,
            "frameTags": frame_tags(animation),
        },
    }
    return description


def placement(frame: FrameInfo, duration: int) -> Dict[str, Any]:
    """What an entry says of a frame besides where its pixels are: its
    duration, the anchor as pivot and anchor, its offsets and its kind."""
    w, h = frame.width, frame.height
    anchor = {"x": -frame.x_offset / w if w else 0, "y": -frame.y_offset / h if h else 0}
    return {
        "duration": duration,
        # The anchor as a fraction of the frame: where the game's point
        # of placement falls inside the frame's rectangle.
        "pivot": dict(anchor),
        # The name another common engine reads the same point by.
        "anchor": dict(anchor),
        "offset": {"x": frame.x_offset, "y": frame.y_offset},
        "kind": frame.kind,
    }


TAG_NAMES = {FRAME: "frames", SHADOW: "shadows", BACKGROUND: "background"}


def frame_tags(animation: Animation) -> List[Dict[str, object]]:
    """One tag per run of frames of the same kind, in the form sheet tools
    write, so that a generic player can play the frames alone."""
    tags: List[Dict[str, object]] = []
    for frame in animation.frames:
        name = TAG_NAMES[frame.kind]
        if tags and tags[-1]["name"] == name:
            tags[-1]["to"] = frame.index
        else:
            tags.append({"name": name, "from": frame.index, "to": frame.index, "direction": "forward"})
    return tags


# --------------------------------------------------------------------------
# Reading


def sheet_frames(
    path: Path, *, quantize: bool = False, max_pixels: int = DEFAULT_MAX_PIXELS
) -> Tuple[List[SourceFrame], Optional[int]]:
    """The frames of a sheet in its description's order, and its speed
    (None when it has none). Accepts the JSON-hash layout (`frames` maps
    names to entries) and the JSON-array layout (entries with `filename`);
    trimmed frames are put back on their source size. Every size, the
    image's and each frame's, is checked against `max_pixels` before
    anything of that size is allocated."""
    return described_frames(path, read_json(path, "the sheet description"), quantize=quantize, max_pixels=max_pixels)


def described_frames(
    path: Path, description: Any, *, quantize: bool = False, max_pixels: int = DEFAULT_MAX_PIXELS
) -> Tuple[List[SourceFrame], Optional[int]]:
    """`sheet_frames` of a description already read from `path`."""
    meta = member(description, "meta", str(path))
    image_name = member(meta, "image", f"{path}: meta")
    if not isinstance(image_name, str) or "\0" in image_name or not image_name:
        # A NUL cannot be in a file name: the system would refuse it as an argument.
        raise ImportRefused(f"{path}: meta.image {json_excerpt(image_name)} is not a file name")
    speed = meta_speed(path, meta)
    named = named_entries(path, description)

    sheet = read_decoded(path.parent / image_name, quantize=quantize, max_pixels=max_pixels)
    if isinstance(sheet, indexed.IndexedPixels) and isinstance(meta, dict) and "transparentIndex" in meta:
        sheet.image.sheet_transparent = whole_number(
            meta["transparentIndex"], f"{path}: meta.transparentIndex", 0, indexed.PALETTE_SIZE - 1
        )
    sheet_height, sheet_width = sheet.shape[:2]
    frames = []
    for key, entry in named:
        where = f"{path}: frame {quoted(key)}"
        rect = member(entry, "frame", where)
        x, y, w, h = (
            whole_number(member(rect, k, f"{where}: frame"), f"{where}: frame.{k}", 0, 1 << 31)
            for k in ("x", "y", "w", "h")
        )
        check_pixels(where, w, h, max_pixels)
        if flag(entry, "rotated", where):
            raise ImportRefused(f"{where}: is rotated in the sheet; export the sheet without rotation")
        if (w and h) and (x + w > sheet_width or y + h > sheet_height):
            raise ImportRefused(
                f"{where}: its rectangle {w} x {h} at ({x}, {y}) reaches outside "
                f"the {sheet_width} x {sheet_height} sheet image"
            )
        pixels = sheet[y : y + h, x : x + w] if w and h else np.zeros((h, w, 4), dtype=np.uint8)
        read: Callable[[], Decoded] = partial(identity, pixels)
        width, height = pixels.shape[1], pixels.shape[0]
        if flag(entry, "trimmed", where):
            read, width, height = untrimmed(entry, pixels, where, max_pixels)
        kind = entry_kind(entry, where)
        x_offset, y_offset = sheet_offsets(entry, width, height, where)
        frames.append(
            SourceFrame(f"{path}: {excerpt(key)}", read, x_offset, y_offset, kind, width=width, height=height)
        )
    return frames, speed


def meta_speed(path: Path, meta: Any) -> Optional[int]:
    """The description's meta.speed, None when it has none."""
    if isinstance(meta, dict) and "speed" in meta:
        return whole_number(meta["speed"], f"{path}: meta.speed", 0, _core.SPEED_MAX)
    return None


def named_entries(path: Path, description: Any) -> List[Tuple[str, Any]]:
    """The frame entries of a description, each with its name, in order:
    from the JSON-hash layout (`frames` maps names to entries) or the
    JSON-array one (entries with `filename`)."""
    entries = member(description, "frames", str(path))
    if isinstance(entries, dict):
        named = list(entries.items())
    elif isinstance(entries, list):
        named = [
            (json_key(member(entry, "filename", f"{path}: frames[{i}]")), entry) for i, entry in enumerate(entries)
        ]
    else:
        raise ImportRefused(f"{path}: frames is neither an object nor a list")
    if not named:
        raise ImportRefused(f"{path}: holds no frames")
    return named


def entry_kind(entry: Any, where: str) -> str:
    kind = entry.get("kind", FRAME)
    if kind not in KINDS:
        raise ImportRefused(f"{where}: kind {json_excerpt(kind)} is not one of {', '.join(KINDS)}")
    return str(kind)


def flag(entry: Any, key: str, where: str) -> bool:
    """A true-or-false member of a frame entry (false when absent). Only
    JSON's true and false count: "no" is a string, and a string is true
    to Python."""
    value = entry.get(key, False)
    if not isinstance(value, bool):
        raise ImportRefused(f"{where}: {key} is {json_excerpt(value)}, not true or false")
    return value


def untrimmed(entry: Any, pixels: Decoded, where: str, max_pixels: int) -> Tuple[Callable[[], Decoded], int, int]:
    """A trimmed frame put back on its source size: the pixels (made when
    the frame is mapped, one frame at a time) and the size."""
    source = member(entry, "sourceSize", where)
    placed = member(entry, "spriteSourceSize", where)
    w, h = (whole_number(member(source, k, where), f"{where}: sourceSize.{k}", 0, _core.WIDTH_MAX) for k in ("w", "h"))
    x, y = (whole_number(member(placed, k, where), f"{where}: spriteSourceSize.{k}", 0, 1 << 31) for k in ("x", "y"))
    if x + pixels.shape[1] > w or y + pixels.shape[0] > h:
        raise ImportRefused(f"{where}: the trimmed rectangle does not fit its source size {w} x {h}")
    check_pixels(f"{where}: sourceSize", w, h, max_pixels)
    return partial(placed_on_canvas, pixels, x, y, w, h), w, h


def placed_on_canvas(pixels: Decoded, x: int, y: int, w: int, h: int) -> Decoded:
    if isinstance(pixels, indexed.IndexedPixels):
        return pixels.placed(h, w, y, x)
    canvas = np.zeros((h, w, 4), dtype=np.uint8)
    canvas[y : y + pixels.shape[0], x : x + pixels.shape[1]] = pixels
    return canvas


def sheet_offsets(entry: Any, width: int, height: int, where: str) -> Tuple[int, int]:
    """The frame's offsets: `offset` as written by export, else from the
    pivot (the anchor as a fraction of the frame), else 0, 0."""
    low, high = _core.OFFSET_MIN, _core.OFFSET_MAX
    if "offset" in entry:
        offset = entry["offset"]
        return (
            whole_number(member(offset, "x", where), f"{where}: offset.x", low, high),
            whole_number(member(offset, "y", where), f"{where}: offset.y", low, high),
        )
    if "pivot" in entry:
        pivot = entry["pivot"]
        result = []
        for axis, size in (("x", width), ("y", height)):
            value = member(pivot, axis, where)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ImportRefused(f"{where}: pivot.{axis} is not a number")
            # NaN, the infinities and numbers whose product with the size
            # is no finite offset are refused before they are rounded.
            try:
                offset = -float(value) * size
            except OverflowError:  # an integer beyond every float
                offset = math.inf
            if not math.isfinite(offset):
                raise ImportRefused(f"{where}: pivot.{axis} {json_excerpt(value)} gives no offset")
            if not low - 1 <= offset <= high + 1:
                raise ImportRefused(f"{where}: pivot.{axis} x size: {number(offset)} is outside {low}..{high}")
            result.append(whole_number(float(round(offset)), f"{where}: pivot.{axis} x size", low, high))
        return result[0], result[1]
    return 0, 0
