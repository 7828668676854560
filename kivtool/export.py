"""Writing a loaded animation in the forms that engines and editors take.

Every frame of an animation file is its own small image with an offset: the
frame's top-left corner sits at anchor + (x_offset, y_offset), where the
anchor is a point the game places (typically the ground under a sprite).
The animated forms and `placed` put every frame on one common canvas around
that anchor; `frames` and `sheet` keep each frame as rendered, with the
offsets written beside it.
"""

from __future__ import annotations

import bisect
import heapq
import json
import math
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from PIL import Image

from kivtool import __version__, png
from kivtool.animation import BACKGROUND, FRAME, SHADOW, Animation
from kivtool.files import replace_with, write_whole
from kivtool.limits import memory_budget

DEFAULT_FORM = "frames"
SHADOWS_AUTO = "auto"
SHADOWS_UNDER = "under"
SHADOWS_AS_STEPS = "steps"
# Players show a GIF step shorter than this many hundredths of a second as
# ten of them; every step is made at least this long.
GIF_MIN_DELAY_CS = 2
FORMS = ["frames", "sheet", "gif", "apng", "webp", "placed"]
ANIMATED_FORMS = ["gif", "apng", "webp"]

FORMS_HELP = """\
Writes each ANIMATION in one or more forms (--as, repeatable) into DIR, named
after the animation's file name without its extension (<stem>):

  frames   <stem>_<NNN>.png, every frame as rendered, NNN its index in the
           file (a 0 x 0 frame has no image and gets no file)
  sheet    <stem>.png with every frame packed into one image, and <stem>.json
           in the JSON-hash layout of Aseprite and TexturePacker (frame
           rectangles, durations, pivot and anchor = the anchor as a
           fraction of the frame, plus the raw offsets and each frame's
           kind; meta.frameTags names the runs of frames, shadows and the
           background)
  gif      <stem>.gif, the animation on one canvas around the common anchor;
           GIF keeps up to 255 colours per step exactly and quantizes steps
           with more, and its transparency is one bit: a pixel less than
           half opaque becomes transparent, any other opaque
  apng     <stem>.apng, the same, lossless (exact pixels)
  webp     <stem>.webp, the same, lossless (exact pixels)
  placed   <stem>_placed_<NNN>.png, every step of the animation as a still
           image on the common canvas, exactly as the animated forms show it

In the animated forms and placed, the background frame (when the file has
one) is drawn under every step and is not a step of its own; every other
frame is one step, in file order, 1000/fps ms long. Shadow frames are drawn
under the other frames when they pair with them (one shadow for each other
frame, the i-th under the i-th, or a single shadow under every frame);
otherwise, or with --shadows-as-steps, each is a step of its own. GIF stores
whole hundredths of a second and players slow steps shorter than 2 of them,
so its steps are at least 2/100 s (a warning says when --fps asked for less).

With --indexed, frames and sheet are palette PNGs (colour type 3) for
editors working in indexed mode: the animation's 256 palette entries, each
painted pixel the index its run paints, pixels no run paints the transparent
index (the lowest index no frame paints, or --transparent-index), shadow
pixels the shadow index (the lowest other entry that is opaque black, or
--shadow-index). The transparent index is written into every image as the
text "kivtool:transparent-index" and into the sheet's meta as
transparentIndex (and shadowIndex); `kivtool import` reads such images back
by index."""


class ExportError(Exception):
    """An animation that cannot be written in a requested form."""


@dataclass
class Options:
    forms: List[str] = field(default_factory=lambda: [DEFAULT_FORM])
    fps: float = 10.0
    shadows: str = "auto"  # SHADOWS_UNDER, SHADOWS_AS_STEPS, or SHADOWS_AUTO: under when they pair
    scale: int = 1
    png_compression: int = 6
    # Palette PNGs instead of RGBA (frames and sheet only), and the indices
    # that unpainted and shadow pixels take there (None: chosen from the file).
    indexed: bool = False
    transparent_index: Optional[int] = None
    shadow_index: Optional[int] = None


@dataclass
class Timings:
    """Seconds spent, added up over calls: placing frames on canvases, and
    encoding and writing image files."""

    compose: float = 0.0
    encode: float = 0.0


@dataclass
class Step:
    """One step of the animation: the frame shown (its index in the file)
    and what is drawn under it."""

    index: int
    under: List[int]


@dataclass
class Canvas:
    left: int  # anchor-relative position of the canvas's top-left corner
    top: int
    width: int
    height: int


def duration_ms(options: Options) -> int:
    return max(1, round(1000 / options.fps))


def _half_up(value: float) -> int:
    return math.floor(value + 0.5)


def gif_delays_cs(steps: int, fps: float) -> Tuple[List[int], bool]:
    """The delay of each GIF step in hundredths of a second, and whether any
    had to be raised to the least that players honour. Step i ends where
    the clock says step i + 1 begins, so that the delays add up to the
    animation's length instead of each one's rounding error."""
    delays = []
    raised = False
    for i in range(steps):
        delay = _half_up(100 * (i + 1) / fps) - _half_up(100 * i / fps)
        if delay < GIF_MIN_DELAY_CS:
            delay, raised = GIF_MIN_DELAY_CS, True
        delays.append(delay)
    return delays, raised


def export(
    animation: Animation,
    directory: Path,
    options: Options,
    timings: Optional[Timings] = None,
    warnings: Optional[List[str]] = None,
) -> List[Path]:
    """Writes `animation` into `directory` in every form of `options`;
    returns the files written, in order. What the user should know about a
    file that was still written is added to `warnings`, one line each."""
    timings = timings if timings is not None else Timings()
    warnings = warnings if warnings is not None else []
    if options.indexed:
        from kivtool import indexed

        return indexed.export(animation, directory, options, timings)
    written: List[Path] = []
    if "frames" in options.forms:
        written += write_frames(animation, directory, options, timings)
    if options.forms == ["frames"]:
        return written  # the frames are written from the rendered pixels as they are
    images = [animation.image(frame.index) for frame in animation.frames]
    if "sheet" in options.forms:
        written += write_sheet(animation, images, directory, options, timings)
    if any(form in options.forms for form in ANIMATED_FORMS + ["placed"]):
        start = time.perf_counter()
        canvas = canvas_of(animation)
        steps = plan_steps(animation, options.shadows)
        if not steps:
            raise ExportError(f"{animation.path}: no frame to play: the file holds only its background frame")
        # Every step is held as a picture until the files are written, and
        # composing one takes up to two more of its size.
        check_memory(
            animation,
            f"{len(steps)} steps on a canvas of {canvas.width * options.scale} × {canvas.height * options.scale} pixels"
            + (f" (--scale {options.scale})" if options.scale != 1 else ""),
            (len(steps) + 2) * canvas.width * canvas.height * options.scale**2 * 4,
        )
        pictures = [compose(canvas, step, animation, images, options.scale) for step in steps]
        timings.compose += time.perf_counter() - start
        for form in ANIMATED_FORMS:
            if form in options.forms:
                written.append(write_animated(form, animation, pictures, directory, options, timings, warnings))
        if "placed" in options.forms:
            written += write_placed(animation, steps, pictures, directory, options, timings)
    return written


def check_memory(animation: Animation, what: str, needed: int) -> None:
    """Refuses, before anything is allocated, work that needs more memory
    than this process may use (`limits.memory_budget`)."""
    budget = memory_budget()
    if budget is not None and needed > budget:
        raise ExportError(
            f"{animation.path}: refused: {what} would take {needed / 2**20:,.0f} MiB of memory, more than "
            f"the {budget / 2**20:,.0f} MiB this process may use"
        )


def _save_png(
    target: Path,
    pixels: Any,
    size: Tuple[int, int],
    options: Options,
    timings: Timings,
    palette: Optional[png.Palette] = None,
    text: Optional[Dict[str, str]] = None,
) -> Path:
    """Writes RGBA `pixels` as PNG, or with `palette` one palette index per
    pixel as a palette PNG; `text` goes into text chunks."""
    start = time.perf_counter()
    try:
        png.write_png(target, pixels, size[0], size[1], options.png_compression, palette, text)
    except OSError as error:
        raise ExportError(f"{target}: cannot write: {error.strerror or error}") from None
    timings.encode += time.perf_counter() - start
    return target


def _save_image_png(image: Image.Image, target: Path, options: Options, timings: Timings) -> Path:
    return _save_png(target, image.tobytes(), image.size, options, timings)


def write_frames(animation: Animation, directory: Path, options: Options, timings: Timings) -> List[Path]:
    assert animation.loaded is not None
    written = []
    for frame in animation.frames:
        if not frame.is_empty:
            pixels = animation.loaded.rgba(frame.index)
            target = directory / f"{animation.stem}_{frame.index:03d}.png"
            written.append(_save_png(target, pixels, (frame.width, frame.height), options, timings))
    return written


# --------------------------------------------------------------------------
# Sprite sheet


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
    for number, (w, h) in enumerate(sizes):
        by_width.setdefault(w, []).append((h, number))
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
        h, number = group.pop()
        if not group:
            del widths[k]
        left -= 1
        places[number] = (x, y)
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


def write_sheet(
    animation: Animation, images: List[Optional[Image.Image]], directory: Path, options: Options, timings: Timings
) -> List[Path]:
    drawn = [(frame, image) for frame, image in zip(animation.frames, images) if image is not None]
    if not drawn:
        raise ExportError(f"{animation.path}: nothing to put on a sheet: every frame is 0 × 0")
    start = time.perf_counter()
    size, places = pack([image.size for _, image in drawn])
    check_memory(animation, f"a sheet of {size[0]} × {size[1]} pixels", 2 * size[0] * size[1] * 4)
    sheet = Image.new("RGBA", size, (0, 0, 0, 0))
    place_of: Dict[int, Tuple[int, int]] = {}
    for (frame, image), place in zip(drawn, places):
        sheet.paste(image, place)
        place_of[frame.index] = place
    timings.compose += time.perf_counter() - start
    description = sheet_description(animation, place_of, size, options)
    image_path = _save_image_png(sheet, directory / f"{animation.stem}.png", options, timings)
    return [image_path, write_description(directory / f"{animation.stem}.json", description)]


def sheet_description(
    animation: Animation, place_of: Dict[int, Tuple[int, int]], size: Tuple[int, int], options: Options
) -> Dict[str, Any]:
    """The sheet's JSON: every frame's rectangle (`place_of` holds the
    top-left corners of the frames drawn on it) and what the file says of
    it, and the file's speed."""
    stem = animation.stem
    entries = {}
    for frame in animation.frames:
        x, y = place_of.get(frame.index, (0, 0))
        # A frame with no pixels keeps its width or height all the same:
        # it is part of the file and comes back on import.
        w, h = frame.width, frame.height
        anchor = {"x": -frame.x_offset / w if w else 0, "y": -frame.y_offset / h if h else 0}
        entries[f"{stem}_{frame.index:03d}"] = {
            "frame": {"x": x, "y": y, "w": w, "h": h},
            "rotated": False,
            "trimmed": False,
            "spriteSourceSize": {"x": 0, "y": 0, "w": w, "h": h},
            "sourceSize": {"w": w, "h": h},
            "duration": duration_ms(options),
            # The anchor as a fraction of the frame: where the game's point
            # of placement falls inside the frame's rectangle.
            "pivot": dict(anchor),
            # The name another common engine reads the same point by.
            "anchor": dict(anchor),
            "offset": {"x": frame.x_offset, "y": frame.y_offset},
            "kind": frame.kind,
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


def write_description(json_path: Path, description: Dict[str, Any]) -> Path:
    try:
        contents = (json.dumps(description, indent=1) + "\n").encode("utf-8")
        replace_with(json_path, contents)
    except OSError as error:
        raise ExportError(f"{json_path}: cannot write: {error.strerror or error}") from None
    return json_path


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
# One canvas around the anchor


def canvas_of(animation: Animation) -> Canvas:
    """The smallest rectangle that covers every frame of non-zero size at its
    offset around the common anchor."""
    drawn = [frame for frame in animation.frames if not frame.is_empty]
    if not drawn:
        raise ExportError(f"{animation.path}: nothing to show: every frame is 0 × 0")
    left = min(frame.x_offset for frame in drawn)
    top = min(frame.y_offset for frame in drawn)
    right = max(frame.x_offset + frame.width for frame in drawn)
    bottom = max(frame.y_offset + frame.height for frame in drawn)
    return Canvas(left, top, right - left, bottom - top)


def plan_steps(animation: Animation, shadows_mode: str) -> List[Step]:
    """The steps of the animation in file order and what each draws under
    its frame: the background, and the shadow that goes with it when shadows
    are drawn under (SHADOWS_UNDER, or SHADOWS_AUTO when they pair)."""
    background = [frame.index for frame in animation.frames if frame.kind == BACKGROUND]
    shadows = [frame.index for frame in animation.frames if frame.kind == SHADOW]
    sprites = [frame.index for frame in animation.frames if frame.kind not in (BACKGROUND, SHADOW)]
    if shadows_mode == SHADOWS_AUTO:
        pair = bool(shadows) and bool(sprites) and len(shadows) in (1, len(sprites))
        shadows_mode = SHADOWS_UNDER if pair else SHADOWS_AS_STEPS
    if shadows_mode == SHADOWS_AS_STEPS:
        return [Step(frame.index, list(background)) for frame in animation.frames if frame.kind != BACKGROUND]
    if not sprites:
        raise ExportError(
            f"{animation.path}: --shadows-under leaves nothing to play: every frame is a shadow or the background"
        )
    if len(shadows) == len(sprites):
        pairs = list(zip(sprites, shadows))
    elif len(shadows) == 1:
        pairs = [(sprite, shadows[0]) for sprite in sprites]
    elif not shadows:  # nothing to draw under
        return [Step(sprite, list(background)) for sprite in sprites]
    else:
        raise ExportError(
            f"{animation.path}: --shadows-under needs one shadow frame, or one for each of "
            f"the {len(sprites)} other frames; the file has {len(shadows)}"
        )
    return [Step(sprite, background + [shadow]) for sprite, shadow in pairs]


def compose(
    canvas: Canvas, step: Step, animation: Animation, images: List[Optional[Image.Image]], scale: int
) -> Image.Image:
    picture = Image.new("RGBA", (canvas.width, canvas.height), (0, 0, 0, 0))
    for index in step.under + [step.index]:
        image = images[index]
        if image is None:
            continue  # a 0 x 0 frame is an empty step
        frame = animation.frames[index]
        picture.alpha_composite(image, (frame.x_offset - canvas.left, frame.y_offset - canvas.top))
    if scale != 1:
        picture = picture.resize((canvas.width * scale, canvas.height * scale), Image.Resampling.NEAREST)
    return picture


def write_animated(
    form: str,
    animation: Animation,
    pictures: List[Image.Image],
    directory: Path,
    options: Options,
    timings: Timings,
    warnings: List[str],
) -> Path:
    target = directory / f"{animation.stem}.{form}"
    first, rest = pictures[0], pictures[1:]
    common = {"save_all": True, "append_images": rest, "duration": duration_ms(options), "loop": 0}
    start = time.perf_counter()
    try:
        if form == "gif":
            # Each step replaces the last: clearing to the background colour
            # keeps pixels of the step before from showing through.
            steps = [gif_step(picture) for picture in pictures]
            common["append_images"] = steps[1:]
            delays, raised = gif_delays_cs(len(steps), options.fps)
            common["duration"] = [10 * delay for delay in delays]
            if raised:
                warnings.append(
                    f"{target}: steps shorter than {GIF_MIN_DELAY_CS}/100 s were made "
                    f"{GIF_MIN_DELAY_CS}/100 s long (GIF players slow shorter ones down), "
                    f"so it plays slower than {options.fps:g} steps per second"
                )
            write_whole(target, lambda file: steps[0].save(file, format="GIF", disposal=2, optimize=False, **common))
        elif form == "apng":
            write_whole(
                target,
                lambda file: first.save(file, format="PNG", compress_level=options.png_compression, **common),
            )
        else:
            write_whole(
                target,
                lambda file: first.save(
                    file, format="WEBP", lossless=True, exact=True, quality=100, method=4, **common
                ),
            )
    except OSError as error:
        raise ExportError(f"{target}: cannot write: {error.strerror or error}") from None
    timings.encode += time.perf_counter() - start
    return target


def gif_step(picture: Image.Image) -> Image.Image:
    """One step as a GIF frame: up to 255 colours and one transparent index.
    A step with at most 255 colours keeps them exactly; one with more is
    quantized. Pixels less than half opaque become transparent."""
    import numpy as np

    rgba = np.asarray(picture)
    clear = rgba[..., 3] < 128
    keys = (rgba[..., 0].astype(np.uint32) << 16) | (rgba[..., 1].astype(np.uint32) << 8) | rgba[..., 2]
    colors, inverse = np.unique(keys[~clear], return_inverse=True)
    if len(colors) <= 255:
        indices = np.full(clear.shape, len(colors), dtype=np.uint8)
        indices[~clear] = inverse.reshape(-1)
        palette = np.stack([(colors >> 16) & 255, (colors >> 8) & 255, colors & 255], axis=1)
        step = Image.frombytes("P", picture.size, indices.tobytes())
        step.putpalette(palette.astype(np.uint8).tobytes() + bytes(3))
        transparent = len(colors)
    else:
        step = picture.convert("RGB").quantize(255, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
        indices = np.array(step)
        indices[clear] = 255
        palette_bytes = step.getpalette() or []
        step = Image.frombytes("P", picture.size, indices.tobytes())
        step.putpalette(bytes(palette_bytes[: 255 * 3]).ljust(255 * 3, b"\0") + bytes(3))
        transparent = 255
    step.info["transparency"] = transparent
    return step


def write_placed(
    animation: Animation,
    steps: List[Step],
    pictures: List[Image.Image],
    directory: Path,
    options: Options,
    timings: Timings,
) -> List[Path]:
    return [
        _save_image_png(picture, directory / f"{animation.stem}_placed_{step.index:03d}.png", options, timings)
        for step, picture in zip(steps, pictures)
    ]
