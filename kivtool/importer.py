"""Images to an animation file, checked pixel for pixel before it replaces
anything.

The road of one import:

1. Read the input: a sprite sheet with its description (`kivtool.formats.sheet`), or PNG
   images with offsets from a JSON list. Every frame becomes an RGBA array
   with its offsets and its kind (frame, shadow, background).
2. Map pixels to palette indices. (0, 0, 0, 0) is never painted; a pixel
   that is exactly a palette colour is painted with the lowest index holding
   it; any other pixel with alpha 0 is not painted (image editors keep
   colour in transparent pixels); anything else is refused, or with
   `quantize` takes the nearest palette colour. In a shadow frame every
   pixel with alpha above 0 is painted (shadow frames store no colours).
3. Encode (the core's encoder, through `kivtool._core`), refusing what the
   format cannot hold before a byte is written.
4. Write a temporary file beside OUT, load it with pykiv as the game would
   (the palette found through the stored location), and compare every
   rendered frame, its offsets and kind, the frame count, the background
   flag and the speed with what was meant. Only a file that matches is
   renamed over OUT; otherwise the temporary file is removed and OUT stays
   as it was.
"""

from __future__ import annotations

import os
from collections import deque
from dataclasses import dataclass, field
from functools import partial
from itertools import islice
from pathlib import Path, PurePath
from typing import Deque, Generator, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from kivtool import _core
from kivtool.animation import BACKGROUND, FRAME, SHADOW, planes_of
from kivtool.files import replace_file
from kivtool.formats import ImportRefused, indexed
from kivtool.formats.images import EncodedPng, Source, SourceFrame, check_regular_file, image_size, read_source
from kivtool.formats.json_values import read_json, whole_number
from kivtool.memory import DEFAULT_MAX_PIXELS, memory_budget, usable_cores
from kivtool.palette_index import PaletteIndex, Pixels, color_text
from kivtool.text import printable

# What a shadow frame's runs paint, as a word of the RGBA bytes read little-endian.
SHADOW_PIXEL = int.from_bytes(bytes(indexed.SHADOW_COLOR), "little")


class VerificationFailed(Exception):
    """The written file does not load back as what was meant: a fault of the
    encoder. The text says where the two differ."""


@dataclass
class Plan:
    """What the file will hold."""

    frames: List[_core.FramePlanes]  # emptied once encoded
    names: List[str]
    expected: List[Pixels]  # each frame as it must render
    offsets: List[Tuple[int, int]]
    shadows: List[bool]
    changed: List[int]  # pixels moved to the nearest palette colour, per frame
    speed: int
    has_background: bool
    warnings: List[str] = field(default_factory=list)  # one line each, for the user
    # For each frame read by index (from a palette PNG), its painted mask and
    # indices, which the written file must hold exactly: its colours alone
    # cannot tell two entries of one colour apart.
    by_index: List[Optional[Tuple[npt.NDArray[np.bool_], Optional[npt.NDArray[np.uint8]]]]] = field(
        default_factory=list
    )


def as_words(rgba: npt.NDArray[np.uint8]) -> Pixels:
    height, width = rgba.shape[:2]
    return np.ascontiguousarray(rgba).view("<u4").reshape(height, width).astype(np.uint32, copy=False)


# A frame as read ahead: what its read gave and, for a PNG the core decodes,
# its pixels mapped to the palette (PaletteIndex.lookup_png).
ReadAhead = Tuple[Source, Optional[Tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_], Pixels, int]]]


def read_ahead(frame: SourceFrame, palette: PaletteIndex) -> ReadAhead:
    """Reads `frame` and, when the core decodes it and it has colours,
    maps its pixels as they are decoded: work for a thread of its own."""
    decoded = frame.read()
    if isinstance(decoded, EncodedPng) and frame.kind != SHADOW:
        return decoded, palette.lookup_png(decoded.data, decoded.width, decoded.height)
    return decoded, None


def frames_read_ahead(
    sources: Sequence[SourceFrame], palette: PaletteIndex, threads: int
) -> Generator[ReadAhead, None, None]:
    """Each frame as read_ahead gives it, in order, read on `threads`
    threads at most `threads` frames ahead of the one taken: the core
    decodes and maps PNG files without the interpreter's lock, so frames
    are decoded on as many cores as are free, and no more than `threads`
    decoded frames wait at once. A frame whose read fails raises when it is
    taken, as if read then."""
    if threads <= 1:
        for source in sources:
            yield read_ahead(source, palette)
        return
    from concurrent.futures import Future, ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=threads) as pool:
        pending: Deque[Future[ReadAhead]] = deque()
        following = iter(sources)
        try:
            for source in islice(following, threads):
                pending.append(pool.submit(read_ahead, source, palette))
            while pending:
                taken = pending.popleft().result()
                for source in islice(following, 1):
                    pending.append(pool.submit(read_ahead, source, palette))
                yield taken
        finally:
            # Stopped early (a refused frame, Ctrl-C): frames not started are
            # dropped, and those being read finish before the threads go.
            for future in pending:
                future.cancel()


def mapping_threads(sources: Sequence[SourceFrame]) -> int:
    """How many frames are read at once: one per core, up to four."""
    return max(1, min(4, usable_cores(), len(sources)))


def map_frame(
    frame: SourceFrame,
    palette: PaletteIndex,
    quantize: bool,
    reader: Optional[indexed.IndexReader] = None,
    ahead: Optional[ReadAhead] = None,
) -> Tuple[_core.FramePlanes, Pixels, int]:
    """The frame's runs, the pixels it must render as, and how many pixels
    were moved to the nearest palette colour. A palette PNG with the
    animation's palette is read by index through `reader`. `ahead` is the
    frame as frames_read_ahead gave it; without it, the frame is read here."""
    decoded, mapped_ahead = ahead if ahead is not None else read_ahead(frame, palette)
    if isinstance(decoded, indexed.IndexedPixels):
        by_index = reader.read(decoded, frame.kind == SHADOW) if reader is not None else None
        if by_index is not None:
            painted, values = by_index
            if frame.kind == SHADOW:
                runs = _core.FramePlanes(painted, None, frame.x_offset, frame.y_offset, shadow=True)
                return runs, np.where(painted, np.uint32(SHADOW_PIXEL), np.uint32(0)), 0
            runs = _core.FramePlanes(painted, values, frame.x_offset, frame.y_offset, shadow=False)
            return runs, np.where(painted, palette.words[values], np.uint32(0)), 0
        decoded = decoded.rgba()
    if isinstance(decoded, EncodedPng):
        if mapped_ahead is not None:
            # Mapped as it is decoded; only a frame with colours the
            # palette lacks needs its RGBA, to name or replace them.
            mapped = mapped_ahead
            if mapped[3] == 0:
                indices, painted, expected, _ = mapped
                runs = _core.FramePlanes(painted, indices, frame.x_offset, frame.y_offset, shadow=False)
                return runs, expected, 0
        decoded = decoded.rgba()
    rgba = decoded
    if frame.kind == SHADOW:
        visible = as_words(rgba) > 0x00FFFFFF  # alpha above 0
        runs = _core.FramePlanes(visible, None, frame.x_offset, frame.y_offset, shadow=True)
        return runs, np.where(visible, np.uint32(SHADOW_PIXEL), np.uint32(0)), 0

    indices, painted, expected, missing = palette.lookup(rgba)
    changed = 0
    if missing:
        pixels = as_words(rgba)
        stray = np.less(painted, pixels > 0x00FFFFFF)  # visible, and not a palette colour
        if not quantize:
            y, x = (int(v) for v in np.unravel_index(int(np.argmax(stray)), stray.shape))
            raise ImportRefused(
                f"{frame.name}: pixel x={x}, y={y} has colour {color_text(pixels[y, x])}, "
                "which is not in the palette (--quantize takes the nearest palette colour)"
            )
        nearest = palette.nearest(pixels[stray])
        words = palette.words[nearest]
        indices[stray] = nearest
        # A nearest colour of (0, 0, 0, 0) renders the same unpainted.
        painted[stray] = words != 0
        expected[stray] = words
        changed = int(nearest.size)
    runs = _core.FramePlanes(painted, indices, frame.x_offset, frame.y_offset, shadow=False)
    return runs, expected, changed


# Bytes held per pixel of every frame until the file is verified: the pixels
# as they must render (4), its painted mask and indices (2), and while one
# frame is mapped, its decoded image and working copies.
BYTES_HELD_PER_PIXEL = 8


def check_memory(sources: Sequence[SourceFrame], threads: int = 1) -> None:
    """Refuses frames that together need more memory than this process may
    use, before any of them is decoded; `threads` frames are decoded at once."""
    pixels = sum(source.width * source.height for source in sources)
    needed = pixels * BYTES_HELD_PER_PIXEL + max(source.width * source.height for source in sources) * 16 * threads
    budget = memory_budget()
    if budget is not None and needed > budget:
        raise ImportRefused(
            f"{sources[0].name}: the {len(sources)} frames hold {pixels:,} pixels together; importing them "
            f"needs about {needed / 2**20:,.0f} MiB, more than the {budget / 2**20:,.0f} MiB this process may use"
        )


def plan_import(
    sources: Sequence[SourceFrame],
    palette: PaletteIndex,
    *,
    speed: int,
    quantize: bool,
    transparent_index: Optional[int] = None,
) -> Plan:
    """Maps every frame, after checking the format's limits on the sizes
    (ValueError for frames a file cannot hold). `transparent_index` is the
    unpainted index of palette PNGs read by index, when the user names it."""
    if not sources:
        raise ImportRefused("no frames to import")
    # Names go to the core as text, and into messages: a name that is not
    # UTF-8 is shown with its bytes escaped.
    names = [f"frame {i} ({printable(source.name)})" for i, source in enumerate(sources)]
    backgrounds = [i for i, source in enumerate(sources) if source.kind == BACKGROUND]
    if len(backgrounds) > 1 or (backgrounds and backgrounds[0] != len(sources) - 1):
        raise ImportRefused(
            f"{names[backgrounds[0]]}: the background frame must be the last frame, and there can be only one"
        )
    # The format's limits on the sizes, before any image is decoded; a
    # refusal is a ValueError, as the encoder's are.
    _core.check_frames(sources, names)
    threads = mapping_threads(sources)
    check_memory(sources, threads)
    reader = indexed.IndexReader(palette.colors, transparent_index)
    frames, expected, changed, by_index = [], [], [], []
    ahead = frames_read_ahead(sources, palette, threads)
    try:
        for source in sources:
            before = reader.frames_read
            runs, pixels, moved = map_frame(source, palette, quantize, reader, next(ahead))
            frames.append(runs)
            expected.append(pixels)
            changed.append(moved)
            by_index.append((runs.painted, runs.indices) if reader.frames_read > before else None)
    finally:
        ahead.close()
    return Plan(
        frames,
        names,
        expected,
        [(f.x_offset, f.y_offset) for f in frames],
        [f.shadow for f in frames],
        changed,
        speed,
        has_background=bool(backgrounds),
        warnings=reader.warnings,
        by_index=by_index,
    )


# --------------------------------------------------------------------------
# Input


def image_frames(
    images: Sequence[Path],
    offsets_path: Optional[Path],
    shadows: Sequence[int],
    background: Optional[Path],
    *,
    quantize: bool = False,
    max_pixels: int = DEFAULT_MAX_PIXELS,
) -> List[SourceFrame]:
    paths = list(images) + ([background] if background is not None else [])
    offsets = [(0, 0)] * len(paths)
    if offsets_path is not None:
        offsets = read_offsets(offsets_path, len(images), background is not None)
    for index in shadows:
        if not 0 <= index < len(images):
            raise ImportRefused(f"--shadow {index}: there are {len(images)} images, counted from 0")
    kinds = [SHADOW if i in shadows else FRAME for i in range(len(images))]
    if background is not None:
        kinds.append(BACKGROUND)
    return [
        SourceFrame(
            str(path),
            partial(read_source, path, quantize=quantize, max_pixels=max_pixels),
            x,
            y,
            kind,
            *image_size(path, max_pixels),
        )
        for path, (x, y), kind in zip(paths, offsets, kinds)
    ]


def read_offsets(path: Path, images: int, background: bool) -> List[Tuple[int, int]]:
    values = read_json(path, "the offsets")
    wanted = images + (1 if background else 0)
    if not isinstance(values, list) or len(values) != wanted:
        got = f"{len(values)} entries" if isinstance(values, list) else "not a list"
        extra = " and one for the background, last" if background else ""
        raise ImportRefused(f"{path}: needs a JSON list of {wanted} [x, y] pairs, one per image{extra}; it holds {got}")
    low, high = _core.OFFSET_MIN, _core.OFFSET_MAX
    offsets = []
    for i, pair in enumerate(values):
        if not isinstance(pair, list) or len(pair) != 2:
            raise ImportRefused(f"{path}: entry {i} is not an [x, y] pair")
        offsets.append(
            (
                whole_number(pair[0], f"{path}: entry {i}, x", low, high),
                whole_number(pair[1], f"{path}: entry {i}, y", low, high),
            )
        )
    return offsets


# --------------------------------------------------------------------------
# Where the palette is stored, and where OUT goes


def location_to_store(out: Path, root: Path, palette: Path) -> str:
    """The palette's location as the file stores it: relative to the project
    root, both with links resolved, in forward slashes. Refuses an OUT from
    which a reader would not find that palette."""
    if not os.path.isdir(root):
        raise ImportRefused(f"{root}: the project root is not a folder")
    real_root = Path(os.path.realpath(root))
    real_palette = Path(os.path.realpath(palette))
    real_folder = Path(os.path.realpath(out.absolute().parent))
    if real_folder != real_root and real_root not in real_folder.parents:
        raise ImportRefused(
            f"{out}: lies outside the project root {root}; the palette is found from an "
            "animation's folder upwards, so animations belong under the root"
        )
    try:
        relative = os.path.relpath(real_palette, real_root)
    except ValueError:  # another drive
        raise ImportRefused(f"{palette}: cannot be reached from the project root {root}") from None
    location = PurePath(relative).as_posix()
    check_text(out)
    check_text(Path(location))
    found = _core.find_palette(str(out.absolute()), location)
    if not found or not os.path.samefile(found, real_palette):
        raise ImportRefused(
            f"{out}: the stored palette location {location!r} would find {found or 'no file'} from there, not {palette}"
        )
    return location


def check_text(path: Path) -> None:
    """The module takes paths as UTF-8 text; a name that has none (bytes
    that are not UTF-8, kept by the system as they are) cannot be handed
    over."""
    try:
        str(path.absolute()).encode("utf-8")
    except UnicodeEncodeError:
        raise ImportRefused(f"{path}: the file name is not valid text") from None


def load_palette(path: Path) -> PaletteIndex:
    if not os.path.lexists(path):
        raise ImportRefused(f"{path}: no such palette file")
    check_regular_file(path, "a palette file")
    check_text(path)
    palette = _core.load_palette(str(path))
    if palette.result != 1:
        reason = palette.errors[0] if palette.errors else f"status {palette.result}"
        raise ImportRefused(f"{path}: not a usable palette file ({reason})")
    return PaletteIndex(palette.colors, palette.color_count)


# --------------------------------------------------------------------------
# Writing and verifying


def verify(path: Path, plan: Plan, palette: Optional[Path] = None) -> None:
    """Loads `path` as the game would (or with `palette` instead of the one
    its stored location finds) and compares it with the plan."""
    try:
        data = _core.read_file(str(path))
    except OSError as error:
        raise VerificationFailed(f"the written file cannot be read: {error.strerror or error}") from None
    loaded = _core.Animation(str(path.absolute()), data, str(palette.absolute()) if palette is not None else "")
    if loaded.outcome is _core.LoadOutcome.loaded:
        loaded.render()
    messages = loaded.errors
    if loaded.outcome is not _core.LoadOutcome.loaded:
        raise VerificationFailed("the written file does not load" + (f": {messages[0]}" if messages else ""))
    expected_count = len(plan.expected)
    header = [
        ("frame count", loaded.frame_count, expected_count),
        ("background flag", loaded.has_background, plan.has_background),
        ("speed", loaded.speed, plan.speed),
    ]
    for what, got, wanted in header:
        if got != wanted:
            raise VerificationFailed(f"the file reads back with {what} {got}, not {wanted}")
    frames = loaded.frames
    if len(frames) != expected_count:
        raise VerificationFailed(f"{len(frames)} frames render, not {expected_count}")
    for i, (frame, pixels) in enumerate(zip(frames, plan.expected)):
        name = plan.names[i]
        height, width = pixels.shape
        x_offset, y_offset = plan.offsets[i]
        fields = [
            ("width", frame.width, width),
            ("height", frame.height, height),
            ("x offset", frame.x_offset, x_offset),
            ("y offset", frame.y_offset, y_offset),
            ("shadow flag", frame.is_shadow, plan.shadows[i]),
        ]
        for what, got, wanted in fields:
            if got != wanted:
                raise VerificationFailed(f"{name} reads back with {what} {got}, not {wanted}")
        # Compared where both lie; a copy of each frame would cost more than
        # the comparison.
        at = loaded.first_difference(i, np.ascontiguousarray(pixels, dtype="<u4"))
        if at >= 0:
            y, x = divmod(at, width)
            got = int.from_bytes(loaded.rgba(i)[4 * at : 4 * at + 4], "little")
            raise VerificationFailed(
                f"{name} renders pixel x={x}, y={y} as {color_text(got)}, not {color_text(pixels[y, x])}"
            )
    for i, planes in enumerate(plan.by_index):
        if planes is not None:
            verify_indices(plan.names[i], planes_of(loaded, i), planes)
    if messages:
        raise VerificationFailed(f"loading the written file reports: {messages[0]}")


def verify_indices(
    name: str,
    got: Tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]],
    wanted: Tuple[npt.NDArray[np.bool_], Optional[npt.NDArray[np.uint8]]],
) -> None:
    """The frame paints exactly the planned pixels, each with its planned
    index (shadow frames have none)."""
    got_values, got_painted = got
    painted, values = wanted
    wrong = got_painted != painted
    if values is not None:
        wrong |= painted & (got_values != values)
    if wrong.any():
        y, x = (int(v) for v in np.argwhere(wrong)[0])

        def what(is_painted: bool, index: int) -> str:
            return ("a shadow" if values is None else f"index {index}") if is_painted else "nothing"

        shown = what(bool(got_painted[y, x]), int(got_values[y, x]))
        meant = what(bool(painted[y, x]), int(values[y, x]) if values is not None else 0)
        raise VerificationFailed(f"{name} paints pixel x={x}, y={y} with {shown}, not {meant}")


def import_animation(
    sources: Sequence[SourceFrame],
    out: Path,
    palette_path: Path,
    root: Path,
    *,
    speed: int,
    quantize: bool,
    transparent_index: Optional[int] = None,
) -> Plan:
    """Writes `sources` as the animation `out`, verified. Raises
    ImportRefused for input that cannot be stored (nothing is written) and
    VerificationFailed when the written file does not read back as meant
    (`out` is left as it was)."""
    palette = load_palette(palette_path)
    if os.path.isdir(out):
        raise ImportRefused(f"{out}: is a folder; name the animation file to write")
    if os.path.exists(out) and os.path.samefile(out, palette_path):
        raise ImportRefused(f"{out}: is the palette file; the animation needs a file of its own")
    location = location_to_store(out, root, palette_path)
    try:
        plan = plan_import(sources, palette, speed=speed, quantize=quantize, transparent_index=transparent_index)
        contents = _core.encode(
            plan.frames, speed=speed, location=location, has_background=plan.has_background, names=plan.names
        )
    except ValueError as error:
        raise ImportRefused(f"{out}: cannot store {error}") from None
    write_verified(out, contents, plan, palette_path)
    return plan


def write_verified(out: Path, contents: bytes, plan: Plan, palette_path: Path) -> None:
    """Replaces `out` with `contents`, the encoded `plan`, once the file
    written beside it loads back as the plan (VerificationFailed if not,
    `out` left as it was; ImportRefused when it cannot be written)."""
    # Only the pixels as they must render are needed from here on; the
    # masks and indices go before the file is loaded back.
    plan.frames = []
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise ImportRefused(f"{out}: cannot create its folder: {error.strerror or error}") from None
    # The file is loaded back from where it is written. When OUT links to a
    # file in another folder, or no temporary file can be made beside it,
    # the palette search from there is not the game's (which starts from
    # OUT's folder and was checked above), so the palette is then named.
    folder = os.path.realpath(out.absolute().parent)

    def check(written: str) -> None:
        same_folder = os.path.realpath(os.path.dirname(os.path.abspath(written))) == folder
        verify(Path(written), plan, None if same_folder else palette_path)

    # The new file is written beside OUT (beside the file it links to), checked,
    # and only then put in place: OUT is either what it was or the whole new
    # file, with its permission bits, and a read-only OUT is not replaced.
    try:
        replace_file(out, contents, check)
    except OSError as error:
        raise ImportRefused(f"{out}: {error.strerror or error}") from None
