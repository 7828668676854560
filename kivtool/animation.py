"""One animation loaded through the core, with a plain reason when it cannot be.

The load is the core's own (`kivtool._core.Animation`, made from the file's
bytes read once): the same palette search and rendering as pykiv's, whose
outcome comes back as a value: how the load ended, the palette it tried and
the one it used, and the error lines it produced. Those become one sentence
naming the file and the cause.
"""

from __future__ import annotations

import os

from kivtool import _core
from kivtool.files import NotReadable, check_regular, open_regular
from kivtool.text import excerpt, quoted

# `kivtool info` comes through here: what is imported for typing alone
# (typing, and dataclasses with what it imports) would cost it more than the
# load itself, so the classes below are written out.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path
    from typing import List, Optional, Tuple, Union

    import numpy as np
    import numpy.typing as npt
    from PIL import Image

FRAME = "frame"
SHADOW = "shadow"
BACKGROUND = "background"
# A path made from text stored in a file is cut to this much in messages.
PATH_CHARACTERS = 300


class LoadError(Exception):
    """An animation that cannot be used; the text names the file and the cause."""


class FrameInfo:
    __slots__ = ("index", "width", "height", "x_offset", "y_offset", "kind", "runs")

    def __init__(
        self, index: int, width: int, height: int, x_offset: int, y_offset: int, kind: str, runs: int = 0
    ) -> None:
        self.index = index
        self.width = width
        self.height = height
        self.x_offset = x_offset
        self.y_offset = y_offset
        self.kind = kind
        self.runs = runs  # runs stored for the frame

    @property
    def is_empty(self) -> bool:
        return self.width == 0 or self.height == 0


class Animation:
    def __init__(
        self,
        path: Union[str, Path],
        speed: int,
        frame_count: int,
        has_background: bool,
        location: Optional[str],
        palette_path: Optional[str],
        colors: int,
        frames: List[FrameInfo],
        messages: Optional[List[str]] = None,
        loaded: Optional[_core.Animation] = None,
        cut_short: bool = False,
        max_index: Optional[int] = -1,
    ) -> None:
        self.path = path
        self.speed = speed
        self.frame_count = frame_count
        self.has_background = has_background
        self.location = location  # the palette location stored in the file (bytes that are not text escaped)
        self.palette_path = palette_path  # the palette file that was loaded, None when unknown
        self.colors = colors  # the palette file's own count of colours
        self.frames = frames
        self.messages = messages if messages is not None else []  # the core's complaints, prefix removed
        self.loaded = loaded  # the load itself: records, rendering (when rendered), palette
        self.cut_short = cut_short  # the file ends before its header or its frames
        self.max_index = max_index  # the highest palette index the frames paint, -1 for none; None when not read

    @property
    def warnings(self) -> List[str]:
        """What is wrong with an animation that still loaded, one sentence
        each, without the file name."""
        return load_warnings(self.cut_short, self.max_index, self.colors)

    @property
    def stem(self) -> str:
        return os.path.splitext(os.path.basename(self.path))[0]

    def image(self, index: int) -> Optional[Image.Image]:
        """Frame `index` as rendered, an RGBA image of the frame's own size;
        None for a frame of width or height 0."""
        from PIL import Image

        frame = self.frames[index]
        if frame.is_empty:
            return None
        assert self.loaded is not None
        return Image.frombytes("RGBA", (frame.width, frame.height), self.loaded.rgba(index))

    def runs(self, index: int) -> int:
        """Number of runs stored for frame `index`."""
        return self.frames[index].runs

    def palette(self) -> List[Tuple[int, int, int, int]]:
        """The loaded palette, every entry (R, G, B, A) in index order."""
        assert self.loaded is not None
        return list(self.loaded.colors)

    def indices(self, index: int) -> Tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
        """Frame `index` as palette indices: the index each pixel is painted
        with and whether any run paints it, both height x width. A shadow
        frame's runs carry no indices; its painted pixels hold 0."""
        assert self.loaded is not None
        return planes_of(self.loaded, index)


def planes_of(loaded: _core.Animation, index: int) -> Tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
    """Frame `index` of a load as (index plane, painted mask), as the core
    reads them from the frame's runs."""
    import numpy as np

    frame = loaded.frames[index]
    values, painted = loaded.indices(index)
    shape = (frame.height, frame.width)
    return (
        np.frombuffer(values, dtype=np.uint8).reshape(shape),
        np.frombuffer(painted, dtype=np.uint8).reshape(shape).astype(bool),
    )


def absolute(path: Union[str, Path]) -> str:
    """`path` as the tool hands it to the core: absolute. The palette search
    from a relative path stops at the path's first component and never
    tries the current folder, so `anim/a.kiv` run from the game's folder
    would not find its `pal/a.pal`; from the absolute path every folder
    above counts."""
    return os.path.abspath(path)


def load_warnings(cut_short: bool, max_index: Optional[int], color_count: int) -> List[str]:
    """The warnings about a loaded animation, one sentence each, without the
    file name: a file cut short (what the missing bytes held is shown as if
    empty) and frames painting indices the palette does not hold (the load
    pads the palette, so those pixels show a colour the file never chose).
    Bytes after the last frame are not a fault of the animation and are
    left out."""
    warnings = []
    if cut_short:
        warnings.append("cut short: the file ends before its header or its frames are complete")
    if max_index is not None and 0 < color_count <= max_index:
        warnings.append(
            f"frames use palette indices up to {max_index}, beyond the palette's {color_count} "
            f"{'colour' if color_count == 1 else 'colours'} (0 to {color_count - 1})"
        )
    return warnings


def frame_kind(index: int, is_shadow: int, has_background: bool, count: int) -> str:
    # The background frame is stored after the counted frames.
    if has_background and index == count - 1:
        return BACKGROUND
    return SHADOW if is_shadow else FRAME


def _failure(
    path: Union[str, Path],
    status: _core.LoadOutcome,
    location: str,
    palette_tried: str,
    color_count: int,
    explicit: Union[str, Path, None],
) -> str:
    """Why a load that ended other than loaded gives no frames."""
    if status is _core.LoadOutcome.cannot_open:
        return f"{path}: cannot open"
    if status is _core.LoadOutcome.no_frames:
        return f"{path}: holds no frames"
    if status is _core.LoadOutcome.palette_missing:
        if explicit is not None:
            return f"{path}: cannot open palette file {explicit}"
        if location == "":
            return f"{path}: names no palette (its palette location is empty; use --palette)"
        if not palette_tried:
            return (
                f"{path}: no palette found: {quoted(location)} is not under the animation's folder "
                "or any folder above it (use --palette)"
            )
        return f"{path}: cannot open palette file {excerpt(palette_tried, PATH_CHARACTERS)} (use --palette)"
    if status is _core.LoadOutcome.palette_invalid:
        return (
            f"{path}: palette file {excerpt(palette_tried, PATH_CHARACTERS)} is not usable "
            f"(colour count {color_count}, must be 1 to 256)"
        )
    return f"{path}: no frame could be rendered"


def frames_of(loaded: _core.Animation) -> List[FrameInfo]:
    frames = loaded.frames  # one tuple, made once by the load
    count = len(frames)
    has_background = loaded.has_background
    return [
        FrameInfo(
            index,
            frame.width,
            frame.height,
            frame.x_offset,
            frame.y_offset,
            frame_kind(index, frame.is_shadow, has_background, count),
            frame.runs,
        )
        for index, frame in enumerate(frames)
    ]


def open_animation(
    path: Union[str, Path], palette: Union[str, Path, None] = None, data: Optional[bytes] = None
) -> _core.Animation:
    """The records and the palette of `path` (with `palette` instead of the
    one the file names, when given), from `data` when given (the file's
    bytes, already read), else from the file read once here; nothing
    rendered. Raises LoadError for a file that gives no frames."""
    # Bytes after the records matter to a caller that rewrites the file it
    # read; the tool's own reads keep the records alone.
    keep_trailing = data is not None
    contents = data if data is not None else read_animation_file(path)
    _check_palette(palette)
    try:
        loaded = _core.Animation(
            absolute(path), contents, str(palette) if palette is not None else "", keep_trailing=keep_trailing
        )
    except MemoryError as error:
        raise _refused(path, error) from None
    except RuntimeError as error:  # the palette search hit a filesystem error
        raise LoadError(f"{path}: {error}") from None
    except (TypeError, ValueError, UnicodeError):  # the path has no UTF-8 form, or a NUL
        raise LoadError(f"{path}: the file name is not valid text") from None
    _check_outcome(path, loaded, palette)
    return loaded


def _check_outcome(path: Union[str, Path], loaded: _core.Animation, palette: Union[str, Path, None]) -> None:
    if loaded.outcome is not _core.LoadOutcome.loaded:
        raise LoadError(
            _failure(path, loaded.outcome, loaded.location, loaded.palette_tried, loaded.color_count, palette)
        )


def as_animation(path: Union[str, Path], loaded: _core.Animation) -> Animation:
    return Animation(
        path=path,
        speed=loaded.speed,
        frame_count=loaded.frame_count,
        has_background=loaded.has_background,
        location=loaded.location,
        palette_path=loaded.palette_used or None,
        colors=loaded.color_count,
        frames=frames_of(loaded),
        messages=loaded.errors,
        loaded=loaded,
        cut_short=loaded.cut_short,
        max_index=loaded.max_index,
    )


def describe_animation(path: Union[str, Path], palette: Union[str, Path, None] = None) -> Animation:
    """The header, the frame table and the palette of `path`, as
    load_animation gives them, without rendering a frame: a few bytes can
    declare frames of gigabytes, and their sizes and offsets are all that
    is shown. Raises LoadError for what load_animation refuses before it
    renders."""
    return as_animation(path, open_animation(path, palette))


# The first read of an animation file; each further one reads four times
# as much, until what is read holds every record the header declares.
FIRST_READ = 1 << 20


def read_animation_file(path: Union[str, Path]) -> bytearray:
    """The bytes of the animation file `path` up to its last record (and
    at most a little beyond), read once: only a regular file is read (a
    pipe would wait for a writer, a device can be endless), and a tail of
    gigabytes after the records is never read. Raises LoadError."""
    try:
        descriptor = open_regular(path, "an animation file")
    except NotReadable as error:
        raise LoadError(str(error)) from None
    data = bytearray()
    wanted = FIRST_READ
    try:
        with os.fdopen(descriptor, "rb") as file:
            while True:
                chunk = file.read(wanted - len(data))
                data += chunk
                if len(data) < wanted or _core.Animation.records_end(data) < len(data):
                    break  # the end of the file, or of its records
                wanted *= 4
    except OSError as error:
        raise LoadError(f"{path}: cannot read: {error.strerror or error}") from None
    if not data:
        raise LoadError(f"{path}: is empty")
    return data


def _check_palette(palette: Union[str, Path, None]) -> None:
    if palette is None:
        return
    try:
        check_regular(palette, "a palette file")
    except NotReadable as error:
        if not os.path.exists(palette):
            raise LoadError(f"{palette}: no such palette file") from None
        raise LoadError(str(error)) from None


def _refused(path: Union[str, Path], error: MemoryError) -> LoadError:
    # The core explains its own refusals; a bare allocation failure
    # comes from a memory limit set on this process.
    reason = str(error)
    if not reason or reason == "std::bad_alloc":
        reason = "the frames it declares need more memory than this process may use"
    return LoadError(f"{path}: refused: {reason}")


def load_animation(
    path: Union[str, Path], palette: Union[str, Path, None] = None, data: Optional[bytes] = None
) -> Animation:
    """Loads and renders `path` (with `palette` instead of the one the file
    names, when given), from `data` when given (the file's bytes, already
    read), else from the file read once here. Raises LoadError for a file
    that gives no frames. The paths may be text: `kivtool info` keeps them
    so, to start without importing pathlib."""
    loaded = open_animation(path, palette, data)
    render(path, loaded, palette)
    return as_animation(path, loaded)


def render(path: Union[str, Path], loaded: _core.Animation, palette: Union[str, Path, None] = None) -> None:
    """Renders every frame of `loaded`, the animation of `path`; the memory
    it takes is checked against what this process may use first. Raises
    LoadError."""
    try:
        loaded.render()
    except MemoryError as error:
        raise _refused(path, error) from None
    _check_outcome(path, loaded, palette)
