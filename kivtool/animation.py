"""One animation loaded through pykiv, with a plain reason when it cannot be.

pykiv reports trouble inside a file as "ERROR: " lines on `sys.stderr` and
answers `None` from `load` for several different causes. The loader here
catches those lines by standing in for `sys.stderr` and turns them, and the
records that were read, into one sentence naming the file and the cause.
"""

from __future__ import annotations

import io
import os
import stat
from contextlib import contextmanager, redirect_stderr
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterator, List, Optional, Tuple

import pykiv  # type: ignore[import-not-found,unused-ignore]

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    from PIL import Image

FRAME = "frame"
SHADOW = "shadow"
BACKGROUND = "background"

# The module's messages are short; a damaged file can still produce one per
# row. What is kept of them is bounded so that such a file costs no memory.
MESSAGE_BYTES_KEPT = 1 << 16
ERROR_PREFIX = "ERROR: "
PALETTE_OPEN_FAILED = "Could not open palette file: "
PALETTE_INVALID = "Invalid color count: "


class LoadError(Exception):
    """An animation that cannot be used; the text names the file and the cause."""


@dataclass
class FrameInfo:
    index: int
    width: int
    height: int
    x_offset: int
    y_offset: int
    kind: str

    @property
    def is_empty(self) -> bool:
        return self.width == 0 or self.height == 0


@dataclass
class Animation:
    path: Path
    speed: int
    frame_count: int
    has_background: bool
    location: Optional[str]  # the palette location stored in the file, None when unknown
    palette_path: Optional[str]  # the palette file that was loaded, None when unknown
    colors: int
    frames: List[FrameInfo]
    messages: List[str] = field(default_factory=list)  # the module's complaints, prefix removed
    # The file object owns the records: a KivF that is dropped empties them.
    kiv: Any = None
    rendered: List[Any] = field(default_factory=list)

    @property
    def stem(self) -> str:
        return self.path.stem

    def image(self, index: int) -> Optional[Image.Image]:
        """Frame `index` as rendered, an RGBA image of the frame's own size;
        None for a frame of width or height 0."""
        from PIL import Image

        frame = self.rendered[index]
        if frame.width == 0 or frame.height == 0:
            return None
        return Image.frombytes("RGBA", (frame.width, frame.height), frame.pixels)

    def runs(self, index: int) -> int:
        """Number of runs stored for frame `index`."""
        record = self.kiv.data().frames[index]
        return sum(len(row.blocks) for row in record.pixel_sets)

    def palette(self) -> List[Tuple[int, int, int, int]]:
        """The loaded palette, every entry (R, G, B, A) in index order."""
        return [(c.r, c.g, c.b, c.a) for c in self.kiv.data().palette.colors()]

    def indices(self, index: int) -> Tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
        """Frame `index` as palette indices: the index each pixel is painted
        with and whether any run paints it, both height x width. A shadow
        frame's runs carry no indices; its painted pixels hold 0."""
        return frame_indices(self.kiv, index)


def frame_indices(kiv: Any, index: int) -> Tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
    """Frame `index` of a loaded pykiv.KivF as (index plane, painted mask)."""
    # TEMPORARY, until the native core hands these planes over: the runs
    # are walked here the way the renderer walks them.
    import numpy as np

    data = kiv.data()
    record = data.frames[index]
    width, height = record.width, record.height
    values = np.zeros((height, width), dtype=np.uint8)
    painted = np.zeros((height, width), dtype=bool)
    shadow = bool(record.is_shadow)
    colors = len(data.palette.colors())
    for y, row in enumerate(record.pixel_sets[:height]):
        x = 0
        for block in row.blocks:
            x += block.offset
            if block.color_count == 0:
                continue
            run = [0] * block.color_count if shadow else block.colors
            for c in run:
                if x >= width or c >= colors:
                    break
                values[y, x] = c
                painted[y, x] = True
                x += 1
    return values, painted


class _FirstCharacters(io.TextIOBase):
    """A text stream that keeps the first `limit` characters written to it."""

    def __init__(self, limit: int) -> None:
        super().__init__()
        self.limit = limit
        self.parts: List[str] = []
        self.kept = 0

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        if self.kept < self.limit:
            part = text[: self.limit - self.kept]
            self.parts.append(part)
            self.kept += len(part)
        return len(text)

    def getvalue(self) -> str:
        return "".join(self.parts)


@contextmanager
def module_messages() -> Iterator[List[str]]:
    """Collects the module's "ERROR: " lines written while the block runs.
    The list is filled when the block ends."""
    lines: List[str] = []
    sink = _FirstCharacters(MESSAGE_BYTES_KEPT)
    try:
        with redirect_stderr(sink):
            yield lines
    finally:
        lines.extend(
            line[len(ERROR_PREFIX) :] for line in sink.getvalue().splitlines() if line.startswith(ERROR_PREFIX)
        )


def resolve_palette_path(animation: str, location: str) -> Optional[str]:
    """The palette file the module picks for an animation: `location` under
    the animation's own folder, then under each folder above it; the first
    that exists, made canonical. None when there is none."""
    directory = os.path.dirname(animation)
    while directory:
        candidate = os.path.join(directory, location)
        if os.path.exists(candidate):
            return os.path.realpath(candidate)
        parent = os.path.dirname(directory)
        if parent == directory:
            break
        directory = parent
    return None


def frame_kind(index: int, is_shadow: int, has_background: bool, count: int) -> str:
    # The background frame is stored after the counted frames.
    if has_background and index == count - 1:
        return BACKGROUND
    return SHADOW if is_shadow else FRAME


def _palette_failure(
    path: Path, messages: List[str], location: Optional[str], explicit: Optional[Path]
) -> Optional[str]:
    for message in messages:
        if message.startswith(PALETTE_OPEN_FAILED):
            tried = message[len(PALETTE_OPEN_FAILED) :]
            if explicit is not None:
                return f"{path}: cannot open palette file {explicit}"
            if location == "":
                return f"{path}: names no palette (its palette location is empty; use --palette)"
            if not tried:
                where = f"{location!r}" if location is not None else "the palette it names"
                return (
                    f"{path}: no palette found: {where} is not under the animation's folder "
                    "or any folder above it (use --palette)"
                )
            return f"{path}: cannot open palette file {tried} (use --palette)"
        if message.startswith(PALETTE_INVALID):
            count = message[len(PALETTE_INVALID) :]
            used = explicit if explicit is not None else resolve_palette_path(str(path), location or "")
            return f"{path}: palette file {used} is not usable (colour count {count}, must be 1 to 256)"
    return None


def load_animation(path: Path, palette: Optional[Path] = None) -> Animation:
    """Loads and renders `path` (with `palette` instead of the one the file
    names, when given). Raises LoadError for a file that gives no frames."""
    try:
        status = path.stat()
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
    if palette is not None and not palette.is_file():
        raise LoadError(f"{palette}: no such palette file")

    kiv = pykiv.KivF()
    with module_messages() as messages:
        try:
            result = kiv.load(str(path), io_pal=str(palette) if palette is not None else "")
        except MemoryError as error:
            # The module explains its own refusals; a bare allocation failure
            # comes from a memory limit set on this process.
            reason = str(error)
            if not reason or reason == "std::bad_alloc":
                reason = "the frames it declares need more memory than this process may use"
            raise LoadError(f"{path}: refused: {reason}") from None
        except RuntimeError as error:  # the palette search hit a filesystem error
            raise LoadError(f"{path}: {error}") from None
        except (TypeError, ValueError, UnicodeError):  # the path has no UTF-8 form, or a NUL
            raise LoadError(f"{path}: the file name is not valid text") from None

    data = kiv.data()
    location: Optional[str] = None
    if palette is None:
        try:
            location = data.palette.location()
        except UnicodeDecodeError:
            location = None  # the stored bytes are not text; the module still used them
    if result is None:
        cause = _palette_failure(path, messages, location, palette)
        if cause is not None:
            raise LoadError(cause)
        raise LoadError(f"{path}: holds no frames" if not data.frames else f"{path}: no frame could be rendered")

    if palette is not None:
        palette_path: Optional[str] = os.path.abspath(palette)
    elif location is not None:
        palette_path = resolve_palette_path(str(path), location)
    else:
        palette_path = None

    records = data.frames
    rendered = kiv.get_frame_buffer()
    frames = [
        FrameInfo(
            index,
            image.width,
            image.height,
            image.offset_x,
            image.offset_y,
            frame_kind(index, record.is_shadow, data.has_background, len(records)),
        )
        for index, (record, image) in enumerate(zip(records, rendered))
    ]
    return Animation(
        path=path,
        speed=data.info.speed,
        frame_count=data.info.frame_count,
        has_background=data.has_background,
        location=location,
        palette_path=palette_path,
        colors=len(data.palette.colors()),
        frames=frames,
        messages=messages,
        kiv=kiv,
        rendered=rendered,
    )


def stored_location(path: Path) -> Optional[str]:
    """The palette location stored in `path` (loading it once more, without
    an explicit palette); None when it cannot be read or is not text."""
    kiv = pykiv.KivF()
    with module_messages():
        try:
            kiv.load(str(path))
            return str(kiv.data().palette.location())
        except (MemoryError, RuntimeError, TypeError, UnicodeError):
            return None
