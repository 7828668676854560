"""Writing a loaded animation in the forms that engines and editors take.

Every frame of an animation file is its own small image with an offset: the
frame's top-left corner sits at anchor + (x_offset, y_offset), where the
anchor is a point the game places (typically the ground under a sprite).
The animated forms and `placed` put every frame on one common canvas around
that anchor; `frames` and `sheet` keep each frame as rendered, with the
offsets written beside it.
"""

from __future__ import annotations

import json
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from PIL import Image

from kivtool import __version__
from kivtool.animation import BACKGROUND, SHADOW, Animation

DEFAULT_FORM = "frames"
FORMS = ["frames", "sheet", "gif", "apng", "webp", "placed"]
ANIMATED_FORMS = ["gif", "apng", "webp"]

FORMS_HELP = """\
Writes each ANIMATION in one or more forms (--as, repeatable) into DIR, named
after the animation's file name without its extension (<stem>):

  frames   <stem>_<NNN>.png, every frame as rendered, NNN its index in the
           file (a 0 x 0 frame has no image and gets no file)
  sheet    <stem>.png with every frame packed into one image, and <stem>.json
           in the JSON-hash layout of Aseprite and TexturePacker (frame
           rectangles, durations, pivot = the anchor as a fraction of the
           frame, plus the raw offsets and each frame's kind)
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
frame is one step, in file order, 1000/fps ms long.

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
    shadows_under: bool = False
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


def export(animation: Animation, directory: Path, options: Options, timings: Optional[Timings] = None) -> List[Path]:
    """Writes `animation` into `directory` in every form of `options`;
    returns the files written, in order."""
    timings = timings if timings is not None else Timings()
    if options.indexed:
        from kivtool import indexed

        return indexed.export(animation, directory, options, timings)
    images = [animation.image(frame.index) for frame in animation.frames]
    written: List[Path] = []
    if "frames" in options.forms:
        written += write_frames(animation, images, directory, options, timings)
    if "sheet" in options.forms:
        written += write_sheet(animation, images, directory, options, timings)
    if any(form in options.forms for form in ANIMATED_FORMS + ["placed"]):
        start = time.perf_counter()
        canvas = canvas_of(animation)
        steps = plan_steps(animation, options.shadows_under)
        if not steps:
            raise ExportError(f"{animation.path}: no frame to play: the file holds only its background frame")
        pictures = [compose(canvas, step, animation, images, options.scale) for step in steps]
        timings.compose += time.perf_counter() - start
        for form in ANIMATED_FORMS:
            if form in options.forms:
                written.append(write_animated(form, animation, pictures, directory, options, timings))
        if "placed" in options.forms:
            written += write_placed(animation, steps, pictures, directory, options, timings)
    return written


def _save_png(image: Image.Image, target: Path, options: Options, timings: Timings, **params: Any) -> Path:
    """Writes `image` as PNG; `params` are Pillow's PNG options (a palette
    image's `transparency`, text chunks in `pnginfo`)."""
    start = time.perf_counter()
    try:
        image.save(target, format="PNG", compress_level=options.png_compression, **params)
    except OSError as error:
        raise ExportError(f"{target}: cannot write: {error.strerror or error}") from None
    timings.encode += time.perf_counter() - start
    return target


def write_frames(
    animation: Animation, images: List[Optional[Image.Image]], directory: Path, options: Options, timings: Timings
) -> List[Path]:
    written = []
    for frame, image in zip(animation.frames, images):
        if image is not None:
            target = directory / f"{animation.stem}_{frame.index:03d}.png"
            written.append(_save_png(image, target, options, timings))
    return written


# --------------------------------------------------------------------------
# Sprite sheet


def pack(sizes: List[Tuple[int, int]]) -> Tuple[Tuple[int, int], List[Tuple[int, int]]]:
    """Places rectangles of `sizes` (all non-empty) without overlap in as
    small a sheet as the packer finds; returns the sheet size and each
    rectangle's top-left corner, in the order given."""
    import rectpack  # type: ignore[import-untyped,unused-ignore]

    area = sum(w * h for w, h in sizes)
    widest = max(w for w, _ in sizes)
    total_height = sum(h for _, h in sizes)
    # The packer fills a bin of fixed size. Bins of a few widths around the
    # square root of the area, each tall enough for every rectangle, are
    # tried; the used part of each is measured and the smallest is kept.
    # Which of the packer's algorithms packs tightest depends on the sizes;
    # the slower maximal-rectangles one is only tried on small sets.
    side = area**0.5
    widths = sorted({max(widest, round(side * factor)) for factor in (1.0, 1.1, 1.25, 1.5, 2.0)})
    algorithms = [rectpack.SkylineBlWm, rectpack.GuillotineBssfSas]
    if len(sizes) <= 100:
        algorithms.append(rectpack.MaxRectsBl)
    best: Optional[Tuple[Tuple[int, int], Tuple[int, int], List[Tuple[int, int]]]] = None
    for width in widths:
        for algorithm in algorithms:
            packer = rectpack.newPacker(rotation=False, pack_algo=algorithm, sort_algo=rectpack.SORT_AREA)
            for number, (w, h) in enumerate(sizes):
                packer.add_rect(w, h, rid=number)
            packer.add_bin(width, total_height)
            packer.pack()
            places: Dict[int, Tuple[int, int]] = {}
            for _, x, y, _, _, number in packer.rect_list():
                places[number] = (x, y)
            if len(places) != len(sizes):
                continue
            used_w = max(places[n][0] + w for n, (w, _) in enumerate(sizes))
            used_h = max(places[n][1] + h for n, (_, h) in enumerate(sizes))
            # Smallest area first; of equal areas, the squarer sheet.
            score = (used_w * used_h, abs(used_w - used_h))
            if best is None or score < best[0]:
                best = (score, (used_w, used_h), [places[n] for n in range(len(sizes))])
    if best is None:  # one column always fits
        tops = [sum(h for _, h in sizes[:n]) for n in range(len(sizes))]
        return (widest, total_height), [(0, top) for top in tops]
    return best[1], best[2]


def write_sheet(
    animation: Animation, images: List[Optional[Image.Image]], directory: Path, options: Options, timings: Timings
) -> List[Path]:
    drawn = [(frame, image) for frame, image in zip(animation.frames, images) if image is not None]
    if not drawn:
        raise ExportError(f"{animation.path}: nothing to put on a sheet: every frame is 0 × 0")
    start = time.perf_counter()
    size, places = pack([image.size for _, image in drawn])
    sheet = Image.new("RGBA", size, (0, 0, 0, 0))
    place_of: Dict[int, Tuple[int, int]] = {}
    for (frame, image), place in zip(drawn, places):
        sheet.paste(image, place)
        place_of[frame.index] = place
    timings.compose += time.perf_counter() - start
    description = sheet_description(animation, place_of, size, options)
    image_path = _save_png(sheet, directory / f"{animation.stem}.png", options, timings)
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
        entries[f"{stem}_{frame.index:03d}"] = {
            "frame": {"x": x, "y": y, "w": w, "h": h},
            "rotated": False,
            "trimmed": False,
            "spriteSourceSize": {"x": 0, "y": 0, "w": w, "h": h},
            "sourceSize": {"w": w, "h": h},
            "duration": duration_ms(options),
            # The anchor as a fraction of the frame: where the game's point
            # of placement falls inside the frame's rectangle.
            "pivot": {"x": -frame.x_offset / w if w else 0, "y": -frame.y_offset / h if h else 0},
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
        },
    }
    return description


def write_description(json_path: Path, description: Dict[str, Any]) -> Path:
    try:
        json_path.write_text(json.dumps(description, indent=1) + "\n", encoding="utf-8")
    except OSError as error:
        raise ExportError(f"{json_path}: cannot write: {error.strerror or error}") from None
    return json_path


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


def plan_steps(animation: Animation, shadows_under: bool) -> List[Step]:
    """The steps of the animation in file order and what each draws under
    its frame: the background, and with `shadows_under` the shadow that goes
    with it."""
    background = [frame.index for frame in animation.frames if frame.kind == BACKGROUND]
    shadows = [frame.index for frame in animation.frames if frame.kind == SHADOW]
    if not shadows_under:
        return [Step(frame.index, list(background)) for frame in animation.frames if frame.kind != BACKGROUND]
    sprites = [frame.index for frame in animation.frames if frame.kind not in (BACKGROUND, SHADOW)]
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
    form: str, animation: Animation, pictures: List[Image.Image], directory: Path, options: Options, timings: Timings
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
            steps[0].save(target, format="GIF", disposal=2, optimize=False, **common)
        elif form == "apng":
            first.save(target, format="PNG", compress_level=options.png_compression, **common)
        else:
            first.save(target, format="WEBP", lossless=True, exact=True, quality=100, method=4, **common)
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
        _save_png(picture, directory / f"{animation.stem}_placed_{step.index:03d}.png", options, timings)
        for step, picture in zip(steps, pictures)
    ]
