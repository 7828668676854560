"""Animations exported as palette images, index for index (`export
--indexed`): the frames and sheet forms written as palette PNGs whose pixel
values are the indices the runs paint (kivtool.formats.indexed describes
the images)."""

from __future__ import annotations

import time
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

from kivtool.animation import SHADOW, Animation
from kivtool.formats import frames_list, png
from kivtool.formats.indexed import (
    PALETTE_SIZE,
    SHADOW_COLOR,
    TRANSPARENT_TEXT,
    Choice,
    Color,
    Mask,
    Values,
    frame_values,
    png_palette,
)
from kivtool.formats.sheet import description, frame_name, pack
from kivtool.output import ExportError, Options, Timings, duration_ms, save_png, write_description

INDEXED_FORMS = ("frames", "sheet")


def painted_frames(animation: Animation) -> List[Optional[Tuple[Values, Mask]]]:
    """Every frame's index plane and painted mask; None for a frame without
    pixels."""
    return [None if frame.is_empty else animation.indices(frame.index) for frame in animation.frames]


def choose(
    animation: Animation,
    planes: Sequence[Optional[Tuple[Values, Mask]]],
    palette: Sequence[Color],
    transparent: Optional[int],
    shadow: Optional[int],
) -> Choice:
    """The transparent and shadow indices for `animation`: the ones given,
    checked, or the lowest that fit. Raises ExportError when none fits."""
    path = animation.path
    used = np.zeros(PALETTE_SIZE, dtype=bool)
    first_user: Dict[int, int] = {}
    shadow_painted = False
    for frame, plane in zip(animation.frames, planes):
        if plane is None:
            continue
        values, mask = plane
        if frame.kind == SHADOW:
            shadow_painted = shadow_painted or bool(mask.any())
            continue
        here = np.bincount(values[mask], minlength=PALETTE_SIZE) > 0
        for index in np.flatnonzero(here & ~used).tolist():
            first_user[index] = frame.index
        used |= here

    if transparent is None:
        free = np.flatnonzero(~used)
        if not free.size:
            raise ExportError(
                f"{path}: cannot be written --indexed: its frames paint every one of the 256 palette "
                "indices, which leaves none for the pixels no run paints"
            )
        transparent = int(free[0])
    elif used[transparent]:
        raise ExportError(
            f"{path}: --transparent-index {transparent}: frame {first_user[transparent]} paints that index, "
            "so it cannot stand for the pixels no run paints"
        )

    if shadow is not None:
        if shadow == transparent:
            raise ExportError(
                f"{path}: --shadow-index {shadow} is the transparent index; shadow pixels need another one"
            )
    elif shadow_painted:
        black = [i for i, color in enumerate(palette) if tuple(color) == SHADOW_COLOR and i != transparent]
        if not black:
            raise ExportError(
                f"{path}: cannot be written --indexed: it has shadow frames and its palette has no entry "
                f"{SHADOW_COLOR} besides the transparent index {transparent} to paint them with "
                "(--shadow-index N names one)"
            )
        shadow = black[0]
    has_shadows = any(frame.kind == SHADOW for frame in animation.frames)
    return Choice(transparent, shadow if has_shadows else None)


def save(
    values: Values, target: Path, image_palette: png.Palette, choice: Choice, options: Options, timings: Timings
) -> Path:
    """Writes one indexed PNG, naming its transparent index in its text."""
    height, width = values.shape
    pixels = np.ascontiguousarray(values).tobytes()
    text = {TRANSPARENT_TEXT: str(choice.transparent)}
    return save_png(target, pixels, (width, height), options, timings, image_palette, text)


def export(animation: Animation, directory: Path, options: Options, timings: Timings) -> List[Path]:
    """Writes the `frames` and `sheet` forms of `options` as palette PNGs."""
    others = [form for form in options.forms if form not in INDEXED_FORMS]
    if others:
        raise ExportError(f"{animation.path}: --indexed writes only frames and sheet, not {', '.join(others)}")
    palette = animation.palette()[:PALETTE_SIZE]
    planes = painted_frames(animation)
    choice = choose(animation, planes, palette, options.transparent_index, options.shadow_index)
    image_palette = png_palette(palette, choice)
    written: List[Path] = []
    if "frames" in options.forms:
        written += write_frames(animation, planes, choice, image_palette, directory, options, timings)
    if "sheet" in options.forms:
        written += write_sheet(animation, planes, choice, image_palette, directory, options, timings)
    return written


def write_frames(
    animation: Animation,
    planes: Sequence[Optional[Tuple[Values, Mask]]],
    choice: Choice,
    image_palette: png.Palette,
    directory: Path,
    options: Options,
    timings: Timings,
) -> List[Path]:
    written = []
    for frame, plane in zip(animation.frames, planes):
        if plane is not None:
            target = directory / f"{frame_name(animation.stem, frame.index)}.png"
            written.append(
                save(frame_values(frame.kind, plane, choice), target, image_palette, choice, options, timings)
            )
    listed = frames_list.description(animation, duration_ms(options))
    index_meta(listed["meta"], choice)
    written.append(write_description(directory / frames_list.description_name(animation.stem), listed))
    return written


def index_meta(meta: Dict[str, object], choice: Choice) -> None:
    """What a description of palette images says of them: the format as
    Aseprite names it, and the indices that stand for unpainted pixels and
    shadow."""
    meta["format"] = "I8"  # as Aseprite names an indexed sheet
    meta["transparentIndex"] = choice.transparent
    if choice.shadow is not None:
        meta["shadowIndex"] = choice.shadow


def write_sheet(
    animation: Animation,
    planes: Sequence[Optional[Tuple[Values, Mask]]],
    choice: Choice,
    image_palette: png.Palette,
    directory: Path,
    options: Options,
    timings: Timings,
) -> List[Path]:
    drawn = [(frame, plane) for frame, plane in zip(animation.frames, planes) if plane is not None]
    if not drawn:
        raise ExportError(f"{animation.path}: nothing to put on a sheet: every frame is 0 × 0")
    start = time.perf_counter()
    size, places = pack([(frame.width, frame.height) for frame, _ in drawn])
    sheet = np.full((size[1], size[0]), choice.transparent, dtype=np.uint8)
    place_of: Dict[int, Tuple[int, int]] = {}
    for (frame, plane), (x, y) in zip(drawn, places):
        sheet[y : y + frame.height, x : x + frame.width] = frame_values(frame.kind, plane, choice)
        place_of[frame.index] = (x, y)
    timings.compose += time.perf_counter() - start

    sheet_json = description(animation, size, place_of, duration_ms(options))
    index_meta(sheet_json["meta"], choice)
    image_path = save(sheet, directory / f"{animation.stem}.png", image_palette, choice, options, timings)
    return [image_path, write_description(directory / f"{animation.stem}.json", sheet_json)]
