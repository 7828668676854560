"""The frames form's description: `<stem>_frames.json` beside the frames'
images, written by `kivtool export --as frames` and read back by `kivtool
import`.

It says what the sheet's description says (`kivtool.formats.sheet`), with
each frame naming its image file instead of a rectangle in a sheet: an entry
per frame, named `<stem>_<NNN>`, holding `file` (the image's name, in the
description's folder; null for a frame without pixels, which keeps its
size), `sourceSize`, `duration` in ms, `pivot` and `anchor`, `offset` (the
offsets as stored) and `kind`. `meta` holds the animation's `speed` and
`frameTags`. A description is told from a sheet's by its entries: a frames
list's name their `file`.
"""

from __future__ import annotations

from functools import partial
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from kivtool import __version__, _core
from kivtool.animation import Animation
from kivtool.formats import ImportRefused, indexed
from kivtool.formats.images import Decoded, SourceFrame, check_pixels, identity, image_size, read_decoded
from kivtool.formats.json_values import json_excerpt, member, read_json, whole_number
from kivtool.formats.sheet import (
    described_frames,
    entry_kind,
    frame_name,
    frame_tags,
    meta_speed,
    named_entries,
    placement,
    sheet_offsets,
)
from kivtool.memory import DEFAULT_MAX_PIXELS
from kivtool.text import excerpt

SUFFIX = "_frames.json"


def description_name(stem: str) -> str:
    """The description's file name for the animation file `stem`.ext."""
    return f"{stem}{SUFFIX}"


def description(animation: Animation, duration: int) -> Dict[str, Any]:
    """The frames' description: every frame's image file (as the frames
    form names them), size, placement and kind, each `duration` ms long."""
    stem = animation.stem
    entries = {}
    for frame in animation.frames:
        name = frame_name(stem, frame.index)
        entries[name] = {
            "file": None if frame.is_empty else f"{name}.png",
            "sourceSize": {"w": frame.width, "h": frame.height},
            **placement(frame, duration),
        }
    return {
        "frames": entries,
        "meta": {
            "app": "kivtool",
            "version": __version__,
            "format": "RGBA8888",
            "scale": "1",
            "speed": animation.speed,
            "frameTags": frame_tags(animation),
        },
    }


def is_frames_list(description: Any) -> bool:
    """Whether a description read from JSON is a frames list (its entries
    name files) rather than a sheet's."""
    if not isinstance(description, dict):
        return False
    entries = description.get("frames")
    values = entries.values() if isinstance(entries, dict) else entries if isinstance(entries, list) else []
    return any(isinstance(entry, dict) and "file" in entry for entry in values)


def json_frames(
    path: Path, *, quantize: bool = False, max_pixels: int = DEFAULT_MAX_PIXELS
) -> Tuple[List[SourceFrame], Optional[int]]:
    """The frames a JSON description names, a sheet's or a frames list, in
    its order, and the speed it gives (None when it gives none)."""
    contents = read_json(path, "the description")
    if is_frames_list(contents):
        return listed_frames(path, contents, quantize=quantize, max_pixels=max_pixels)
    return described_frames(path, contents, quantize=quantize, max_pixels=max_pixels)


def listed_frames(
    path: Path, contents: Any, *, quantize: bool = False, max_pixels: int = DEFAULT_MAX_PIXELS
) -> Tuple[List[SourceFrame], Optional[int]]:
    """The frames of a frames list read from `path`: each image read from
    the list's folder when its pixels are needed, its size checked against
    the entry's before."""
    meta = member(contents, "meta", str(path))
    speed = meta_speed(path, meta)
    transparent = None
    if isinstance(meta, dict) and "transparentIndex" in meta:
        transparent = whole_number(
            meta["transparentIndex"], f"{path}: meta.transparentIndex", 0, indexed.PALETTE_SIZE - 1
        )
    frames = []
    for key, entry in named_entries(path, contents):
        where = f"{path}: frame {excerpt(key)}"
        file_name = member(entry, "file", where)
        size = member(entry, "sourceSize", where)
        w, h = (
            whole_number(member(size, k, f"{where}: sourceSize"), f"{where}: sourceSize.{k}", 0, _core.WIDTH_MAX)
            for k in ("w", "h")
        )
        check_pixels(where, w, h, max_pixels)
        kind = entry_kind(entry, where)
        x_offset, y_offset = sheet_offsets(entry, w, h, where)
        if file_name is None:
            read: Any = partial(identity, np.zeros((h, w, 4), dtype=np.uint8))
            name = f"{path}: {excerpt(key)}"
        else:
            if not isinstance(file_name, str) or not file_name or "\0" in file_name:
                # A NUL cannot be in a file name: the system would refuse it as an argument.
                raise ImportRefused(f"{where}: file {json_excerpt(file_name)} is not a file name")
            image = path.parent / file_name
            found_w, found_h = image_size(image, max_pixels)
            if (found_w, found_h) != (w, h):
                raise ImportRefused(f"{image}: is {found_w} x {found_h}, but {path} gives the frame as {w} x {h}")
            read = partial(read_listed, image, transparent, quantize=quantize, max_pixels=max_pixels)
            name = str(image)
        frames.append(SourceFrame(name, read, x_offset, y_offset, kind, width=w, height=h))
    return frames, speed


def read_listed(image: Path, transparent: Optional[int], *, quantize: bool, max_pixels: int) -> Decoded:
    """A listed frame's pixels; a palette image's transparent index is the
    list's meta.transparentIndex, when it gives one, as a sheet's is."""
    decoded = read_decoded(image, quantize=quantize, max_pixels=max_pixels)
    if transparent is not None and isinstance(decoded, indexed.IndexedPixels):
        decoded.image.sheet_transparent = transparent
    return decoded
