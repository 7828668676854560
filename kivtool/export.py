"""Writing a loaded animation in the forms that engines and editors take.

Every frame of an animation file is its own small image with an offset: the
frame's top-left corner sits at anchor + (x_offset, y_offset), where the
anchor is a point the game places (typically the ground under a sprite).
The animated forms and `placed` put every frame on one common canvas around
that anchor; `frames` and `sheet` keep each frame as rendered, with the
offsets written beside it.
"""

from __future__ import annotations

import math
import struct
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from PIL import Image

from kivtool import indexed_export
from kivtool.animation import BACKGROUND, SHADOW, Animation
from kivtool.files import write_whole
from kivtool.formats import frames_list
from kivtool.formats import sheet as sheet_format

# The options, timings and error of an export live with what every form's
# writer shares; they are named here too, for the callers of `export`.
from kivtool.output import DEFAULT_FORM as DEFAULT_FORM
from kivtool.output import SHADOWS_AS_STEPS as SHADOWS_AS_STEPS
from kivtool.output import SHADOWS_AUTO as SHADOWS_AUTO
from kivtool.output import SHADOWS_UNDER as SHADOWS_UNDER
from kivtool.output import ExportError as ExportError
from kivtool.output import Options as Options
from kivtool.output import Timings as Timings
from kivtool.output import (
    check_memory,
    duration_ms,
    save_image_png,
    save_png,
    write_description,
)

# Players show a GIF step shorter than this many hundredths of a second as
# ten of them; every step is made at least this long.
GIF_MIN_DELAY_CS = 2
# What a form is written from: the frames as rendered, their images, or the
# steps of the animation composed on the common canvas.
FROM_FRAMES = "frames"
FROM_IMAGES = "images"
FROM_STEPS = "steps"


@dataclass(frozen=True)
class Form:
    """One form `export --as` writes: its name, its entry in the help (lines
    after the name), what it is written from, its writer, and for a form
    that times its steps the longest step it can store, in ms."""

    name: str
    help: str
    source: str
    write: Callable[[Job], List[Path]]
    longest_step_ms: Optional[int] = None


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


@dataclass
class Job:
    """What the writers of the forms are given; images, steps and pictures
    only when a chosen form is written from them."""

    animation: Animation
    directory: Path
    options: Options
    timings: Timings
    warnings: List[str]
    images: Optional[List[Optional[Image.Image]]] = None
    steps: List[Step] = field(default_factory=list)
    pictures: Optional[List[Image.Image]] = None


def _animated(form: str) -> Callable[[Job], List[Path]]:
    return lambda job: [
        write_animated(form, job.animation, job.pictures or [], job.directory, job.options, job.timings, job.warnings)
    ]


# The forms, in the order they are listed and written. A new form is one
# entry here.
FORM_TABLE: List[Form] = [
    Form(
        "frames",
        "<stem>_<NNN>.png, every frame as rendered, NNN its index in the\n"
        "file (a 0 x 0 frame has no image and gets no file), and\n"
        "<stem>_frames.json, the sheet's description with each frame's file\n"
        "instead of a rectangle: `kivtool import` reads it back",
        FROM_FRAMES,
        lambda job: write_frames(job.animation, job.directory, job.options, job.timings),
    ),
    Form(
        "sheet",
        "<stem>.png with every frame packed into one image, and <stem>.json\n"
        "in the JSON-hash layout of Aseprite and TexturePacker (frame\n"
        "rectangles, durations, pivot and anchor = the anchor as a\n"
        "fraction of the frame, plus the raw offsets and each frame's\n"
        "kind; meta.frameTags names the runs of frames, shadows and the\n"
        "background)",
        FROM_IMAGES,
        lambda job: write_sheet(job.animation, job.images or [], job.directory, job.options, job.timings),
        # What a signed 32-bit reader of the duration takes.
        longest_step_ms=2**31 - 1,
    ),
    Form(
        "gif",
        "<stem>.gif, the animation on one canvas around the common anchor;\n"
        "GIF keeps up to 255 colours per step exactly and quantizes steps\n"
        "with more, and its transparency is one bit: a pixel less than\n"
        "half opaque becomes transparent, any other opaque",
        FROM_STEPS,
        _animated("gif"),
        # A GIF delay is a 16-bit count of hundredths, less one for the
        # rounding of the delays.
        longest_step_ms=655_340,
    ),
    # Pillow writes an APNG delay as a 16-bit fraction of a second: every
    # whole number of ms up to 65535 is exact.
    Form("apng", "<stem>.apng, the same, lossless (exact pixels)", FROM_STEPS, _animated("apng"), 65_535),
    # A WebP frame duration has 24 bits.
    Form("webp", "<stem>.webp, the same, lossless (exact pixels)", FROM_STEPS, _animated("webp"), 16_777_215),
    Form(
        "placed",
        "<stem>_placed_<NNN>.png, every step of the animation as a still\n"
        "image on the common canvas, exactly as the animated forms show it",
        FROM_STEPS,
        lambda job: write_placed(job.animation, job.steps, job.pictures or [], job.directory, job.options, job.timings),
    ),
]
FORMS = [form.name for form in FORM_TABLE]

FORMS_HELP = (
    """\
Writes each ANIMATION in one or more forms (--as, repeatable) into DIR, named
after the animation's file name without its extension (<stem>):

"""
    + "\n".join(f"  {form.name:<8} " + form.help.replace("\n", "\n" + " " * 11) for form in FORM_TABLE)
    + """

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
)


# The longest step each timed form can store, in ms.
LONGEST_STEP_MS = {form.name: form.longest_step_ms for form in FORM_TABLE if form.longest_step_ms is not None}
FPS_MAX = 1000.0


def slowest_fps(form: str) -> float:
    """The least --fps whose steps `form` can store, rounded up to 2 digits."""
    lowest = 1000 / LONGEST_STEP_MS[form]
    digits = 10.0 ** (math.floor(math.log10(lowest)) - 1)
    return float(math.ceil(lowest / digits) * digits)


def fps_refusal(forms: Sequence[str], fps: float) -> Optional[str]:
    """Why steps of 1000/fps ms cannot be written in one of `forms`, or None."""
    for form in forms:
        if form in LONGEST_STEP_MS and 1000 / fps > LONGEST_STEP_MS[form]:
            return (
                f"--fps {fps:g} makes steps of {1000 / fps:,.0f} ms; {form} stores at most "
                f"{LONGEST_STEP_MS[form]:,} ms a step (--fps {slowest_fps(form):g} or more)"
            )
    return None


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
        return indexed_export.export(animation, directory, options, timings)
    chosen = [form for form in FORM_TABLE if form.name in options.forms]
    job = Job(animation, directory, options, timings, warnings)
    written: List[Path] = []
    for form in chosen:
        # The frames are written from the rendered pixels as they are;
        # images and steps are made once, for the first form that needs them.
        if form.source != FROM_FRAMES and job.images is None:
            job.images = [animation.image(frame.index) for frame in animation.frames]
        if form.source == FROM_STEPS and job.pictures is None:
            _compose_steps(job)
        written += form.write(job)
    return written


def _compose_steps(job: Job) -> None:
    animation, options = job.animation, job.options
    assert job.images is not None
    start = time.perf_counter()
    canvas = canvas_of(animation)
    job.steps = plan_steps(animation, options.shadows)
    if not job.steps:
        raise ExportError(f"{animation.path}: no frame to play: the file holds only its background frame")
    # Every step is held as a picture until the files are written, and
    # composing one takes up to two more of its size.
    check_memory(
        animation,
        f"{len(job.steps)} steps on a canvas of {canvas.width * options.scale} × "
        f"{canvas.height * options.scale} pixels" + (f" (--scale {options.scale})" if options.scale != 1 else ""),
        (len(job.steps) + 2) * canvas.width * canvas.height * options.scale**2 * 4,
    )
    job.pictures = [compose(canvas, step, animation, job.images, options.scale) for step in job.steps]
    job.timings.compose += time.perf_counter() - start


def write_frames(animation: Animation, directory: Path, options: Options, timings: Timings) -> List[Path]:
    assert animation.loaded is not None
    written = []
    for frame in animation.frames:
        if not frame.is_empty:
            pixels = animation.loaded.rgba(frame.index)
            target = directory / f"{sheet_format.frame_name(animation.stem, frame.index)}.png"
            written.append(save_png(target, pixels, (frame.width, frame.height), options, timings))
    # Beside the images, what they do not hold (offsets, kinds, speed), so
    # that `kivtool import` makes the animation again from them alone.
    try:
        # A frame's time as a signed 32-bit reader takes it: an fps near 0
        # is no refusal for the frames, whose images carry no time.
        duration = min(duration_ms(options), 2**31 - 1)
    except OverflowError:
        duration = 2**31 - 1
    listed = frames_list.description(animation, duration)
    written.append(write_description(directory / frames_list.description_name(animation.stem), listed))
    return written


def write_sheet(
    animation: Animation, images: List[Optional[Image.Image]], directory: Path, options: Options, timings: Timings
) -> List[Path]:
    drawn = [(frame, image) for frame, image in zip(animation.frames, images) if image is not None]
    if not drawn:
        raise ExportError(f"{animation.path}: nothing to put on a sheet: every frame is 0 × 0")
    start = time.perf_counter()
    size, places = sheet_format.pack([image.size for _, image in drawn])
    check_memory(animation, f"a sheet of {size[0]} × {size[1]} pixels", 2 * size[0] * size[1] * 4)
    sheet = Image.new("RGBA", size, (0, 0, 0, 0))
    place_of: Dict[int, Tuple[int, int]] = {}
    for (frame, image), place in zip(drawn, places):
        sheet.paste(image, place)
        place_of[frame.index] = place
    timings.compose += time.perf_counter() - start
    description = sheet_format.description(animation, size, place_of, duration_ms(options))
    image_path = save_image_png(sheet, directory / f"{animation.stem}.png", options, timings)
    return [image_path, write_description(directory / f"{animation.stem}.json", description)]


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
    except (ValueError, OverflowError, struct.error) as error:  # a timing the form cannot store
        raise ExportError(f"{target}: cannot write: {error}") from None
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
        save_image_png(picture, directory / f"{animation.stem}_placed_{step.index:03d}.png", options, timings)
        for step, picture in zip(steps, pictures)
    ]
