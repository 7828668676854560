"""One animation loaded through the core, with a plain reason when it cannot be.

The load is the core's own (`kivtool._core.load`): the same palette search
and rendering as pykiv's, whose outcome comes back as a value: how the load
ended, the palette it tried and the one it used, and the error lines it
produced. Those become one sentence naming the file and the cause.
"""

from __future__ import annotations

import os
import stat

from kivtool import _core
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
        loaded: Optional[_core.Loaded] = None,
    ) -> None:
        self.path = path
        self.speed = speed
        self.frame_count = frame_count
        self.has_background = has_background
        self.location = location  # the palette location stored in the file (bytes that are not text escaped)
        self.palette_path = palette_path  # the palette file that was loaded, None when unknown
        self.colors = colors
        self.frames = frames
        self.messages = messages if messages is not None else []  # the core's complaints, prefix removed
        self.loaded = loaded  # the load itself: records, rendering, palette

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


def planes_of(loaded: _core.Loaded, index: int) -> Tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
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


def frame_kind(index: int, is_shadow: int, has_background: bool, count: int) -> str:
    # The background frame is stored after the counted frames.
    if has_background and index == count - 1:
        return BACKGROUND
    return SHADOW if is_shadow else FRAME


def _failure(path: Union[str, Path], loaded: _core.Loaded, explicit: Union[str, Path, None]) -> str:
    """Why a load that ended other than "loaded" gives no frames."""
    status = loaded.status
    if status == "cannot_open":
        return f"{path}: cannot open"
    if status == "no_frames":
        return f"{path}: holds no frames"
    if status == "palette_missing":
        if explicit is not None:
            return f"{path}: cannot open palette file {explicit}"
        if loaded.location == "":
            return f"{path}: names no palette (its palette location is empty; use --palette)"
        if not loaded.palette_tried:
            return (
                f"{path}: no palette found: {quoted(loaded.location)} is not under the animation's folder "
                "or any folder above it (use --palette)"
            )
        return f"{path}: cannot open palette file {excerpt(loaded.palette_tried, PATH_CHARACTERS)} (use --palette)"
    if status == "palette_invalid":
        return (
            f"{path}: palette file {excerpt(loaded.palette_tried, PATH_CHARACTERS)} is not usable "
            f"(colour count {loaded.color_count}, must be 1 to 256)"
        )
    return f"{path}: no frame could be rendered"


def load_animation(path: Union[str, Path], palette: Union[str, Path, None] = None) -> Animation:
    """Loads and renders `path` (with `palette` instead of the one the file
    names, when given). Raises LoadError for a file that gives no frames.
    The paths may be text: `kivtool info` keeps them so, to start without
    importing pathlib."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        raise LoadError(f"{path}: no such file") from None
    except OSError as error:
        raise LoadError(f"{path}: cannot open: {error.strerror or error}") from None
    if stat.S_ISDIR(status.st_mode):
        raise LoadError(f"{path}: is a folder, not an animation file")
    if stat.S_ISREG(status.st_mode):
        if status.st_size == 0:
            raise LoadError(f"{path}: is empty")
        # Pipes and devices are left to the module: opening one here as
        # a test could wait for a writer or take data the module needs.
        try:
            with open(path, "rb"):
                pass
        except OSError as error:
            raise LoadError(f"{path}: cannot open: {error.strerror or error}") from None
    if palette is not None and not os.path.isfile(palette):
        raise LoadError(f"{palette}: no such palette file")

    try:
        loaded = _core.load(absolute(path), str(palette) if palette is not None else "")
    except MemoryError as error:
        # The core explains its own refusals; a bare allocation failure
        # comes from a memory limit set on this process.
        reason = str(error)
        if not reason or reason == "std::bad_alloc":
            reason = "the frames it declares need more memory than this process may use"
        raise LoadError(f"{path}: refused: {reason}") from None
    except RuntimeError as error:  # the palette search hit a filesystem error
        raise LoadError(f"{path}: {error}") from None
    except (TypeError, ValueError, UnicodeError):  # the path has no UTF-8 form, or a NUL
        raise LoadError(f"{path}: the file name is not valid text") from None
    if loaded.status != "loaded":
        raise LoadError(_failure(path, loaded, palette))

    frames = [
        FrameInfo(
            index,
            frame.width,
            frame.height,
            frame.x_offset,
            frame.y_offset,
            frame_kind(index, frame.is_shadow, loaded.has_background, len(loaded.frames)),
            frame.runs,
        )
        for index, frame in enumerate(loaded.frames)
    ]
    return Animation(
        path=path,
        speed=loaded.speed,
        frame_count=loaded.frame_count,
        has_background=loaded.has_background,
        location=loaded.location,
        palette_path=loaded.palette_used or None,
        colors=len(loaded.colors),
        frames=frames,
        messages=loaded.errors,
        loaded=loaded,
    )
