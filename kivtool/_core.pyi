"""Types of kivtool's private native module (src/module/tool_module.cpp):
the tool's view of the same C++ core as pykiv. Not for users.

Animation(path, data, palette="") is one animation file: data, its bytes as
the caller read them (bytes or any contiguous bytes-like object, copied
once), decoded once; path only starts the palette search, palette (when not
"") is loaded instead of the one the search finds. Nothing is rendered until
render(). outcome is how the load ended (LoadOutcome): before render(),
loaded unless the palette or the frames already failed (palette_missing,
palette_invalid, no_frames); after it, no_colors when nothing rendered.
palette_tried is the palette path the load tried ("" when the search found
none), palette_used the one loaded ("" when none), palette_folder the folder
of the search the stored location was found under ("" for a palette given,
or none found); errors are the error messages of the load and the render, in order. frames
is the frame table as one tuple, made once; each frame's record_offset is
where its record starts in data (the end of data for a frame past it).
render_bytes is the bytes of RGBA render() makes, from the frame table;
render() refuses more than this process may use (MemoryError) before
anything is allocated. rgba(i) is frame i as pykiv renders it (after
render()); first_difference(i, pixels) is the first pixel, row by row, at
which it renders otherwise than `pixels` (contiguous four-byte words), -1
where they are the same; indices(i) is (index plane, painted mask), width x height bytes
each, painted exactly where rgba(i) is painted (indices 0 in a shadow frame).
digest is the SHA-256 of data, in hex. patched(speed, offsets) is a copy of
data with only the speed and each frame's (x_offset, y_offset), background
frame last, changed; ValueError for bytes that are not a whole animation
file, a count of offsets other than the frames', or values that do not fit.

Facts for warnings: cut_short is True when the file ends before its header
or its frames do (the reader then reads what is missing as zeros: frames and
rows past the end come out empty); trailing_bytes counts the bytes after the
last frame record (0 when cut short), which the format ignores. max_index is
the highest palette index a run of a non-shadow frame paints within its
frame's width, as a 256-colour palette would paint it (-1 when none); a
palette of color_count colours leaves pixels unpainted when max_index >=
color_count. color_count is the palette file's own colour count field: the
count loaded (1 to 256) when palette_used is set, the count refused when
outcome is palette_invalid, 0 when no palette file was read. colors is every
entry the renderer looks up: after a palette was loaded, the file's
color_count colours followed by (0, 0, 0, 255) up to 256 entries (so
colors[:color_count] are the file's); empty when none was loaded.

find_palette(animation_path, location) is the palette the search finds for
an animation at animation_path storing location ("" for none).

encode(frames, speed=, location=, has_background=, names=) writes frames given
as FramePlanes (painted: height x width array, non-zero = painted; indices:
same shape, uint8, None for a shadow frame; offsets; shadow flag); with
has_background the last frame is the background frame. The format's limits
are refused with ValueError naming the frame (names[i], else "frame i").
check_frames(frames, names) refuses the same limits from sizes alone (objects
with width, height, x_offset, y_offset, shadow).

FileReplacement(path, root="") and replace_file(path, data, root="") replace
a file safely (a temporary file beside it, synced, renamed over it; written in
place only where that is impossible). A target that is not a regular file
once links are followed (FIFO, device, socket, folder) is refused. With root,
path is relative to the root folder and resolved beneath it without
following links that leave it; the temporary file and the rename are made
relative to the folder's handle, a target with other hard links is refused,
and nothing is written in place. read_file(path, root="", limit=...) reads a
regular file whole (opened without blocking, checked by what was opened,
refused above limit bytes without being read), beneath root as above when
given. FileReplacement(..., synced=False) syncs nothing (the rename still
makes the file whole or absent after a kill); sync_written(paths) then brings
such files to the disk together (one syncfs per file system on Linux; each
file and folder elsewhere). All raise OSError naming the cause ("is not a regular file (a FIFO)",
"has other hard links", "leads outside the root folder", ...) with the path
as given; a missing file raises FileNotFoundError.
"""

import enum
from typing import Any, Callable, Protocol, Sequence

SPEED_MAX: int
OFFSET_MIN: int
OFFSET_MAX: int
WIDTH_MAX: int
PLAIN_HEIGHT_MAX: int
HEIGHT_FROM_SHADOW_MAX: int
FRAMES_MAX: int

Color = tuple[int, int, int, int]

SHADOW_COLOR: Color  # what a shadow frame's runs paint

class Frame:
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def x_offset(self) -> int: ...
    @property
    def y_offset(self) -> int: ...
    @property
    def is_shadow(self) -> bool: ...
    @property
    def runs(self) -> int: ...
    @property
    def record_offset(self) -> int: ...

class LoadOutcome(enum.Enum):
    loaded = 0
    cannot_open = 1
    no_frames = 2
    palette_missing = 3
    palette_invalid = 4
    no_colors = 5

class Animation:
    def __init__(
        self, path: str | bytes, data: bytes | bytearray | memoryview, palette: str = "", *, keep_trailing: bool = True
    ) -> None: ...
    @staticmethod
    def records_end(data: bytes | bytearray | memoryview) -> int: ...
    @property
    def outcome(self) -> LoadOutcome: ...
    @property
    def errors(self) -> list[str]: ...
    @property
    def palette_tried(self) -> str: ...
    @property
    def palette_used(self) -> str: ...
    @property
    def palette_folder(self) -> str: ...
    @property
    def speed(self) -> int: ...
    @property
    def frame_count(self) -> int: ...
    @property
    def has_background(self) -> bool: ...
    @property
    def location(self) -> str: ...
    @property
    def frames(self) -> tuple[Frame, ...]: ...
    @property
    def cut_short(self) -> bool: ...
    @property
    def trailing_bytes(self) -> int: ...
    @property
    def max_index(self) -> int: ...
    @property
    def color_count(self) -> int: ...
    @property
    def colors(self) -> list[Color]: ...
    @property
    def digest(self) -> str: ...
    @property
    def render_bytes(self) -> int: ...
    @property
    def rendered(self) -> bool: ...
    def render(self) -> None: ...
    def rgba(self, index: int) -> bytes: ...
    def first_difference(self, index: int, pixels: Any) -> int: ...
    def indices(self, index: int) -> tuple[bytes, bytes]: ...
    def patched(self, speed: int, offsets: Sequence[tuple[int, int]]) -> bytes: ...

def find_palette(animation_path: str, location: str) -> str: ...

class FramePlanes:
    def __init__(
        self, painted: Any, indices: Any = None, x_offset: int = 0, y_offset: int = 0, shadow: bool = False
    ) -> None: ...
    @property
    def painted(self) -> Any: ...
    @property
    def indices(self) -> Any: ...
    @property
    def x_offset(self) -> int: ...
    @property
    def y_offset(self) -> int: ...
    @property
    def shadow(self) -> bool: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...

class FrameShape(Protocol):
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def x_offset(self) -> int: ...
    @property
    def y_offset(self) -> int: ...
    @property
    def shadow(self) -> bool: ...

def encode(
    frames: Sequence[FramePlanes], *, speed: int, location: str, has_background: bool, names: Sequence[str] = ...
) -> bytes: ...
def check_frames(frames: Sequence[FrameShape], names: Sequence[str] = ...) -> None: ...

class FileReplacement:
    def __init__(self, path: str | bytes, root: str | bytes = "", *, synced: bool = True) -> None: ...
    def write(self, data: bytes) -> None: ...
    def verify(self, check: Callable[[str], object]) -> None: ...
    def commit(self) -> None: ...
    def discard(self) -> None: ...
    def __enter__(self) -> FileReplacement: ...
    def __exit__(self, *args: object) -> None: ...

def replace_file(path: str, data: bytes, root: str = "") -> None: ...
def sync_written(paths: Sequence[str | bytes]) -> None: ...
def read_file(path: str, root: str = "", limit: int = ...) -> bytes: ...

class PaletteLoad:
    @property
    def result(self) -> int: ...
    @property
    def colors(self) -> list[Color]: ...
    @property
    def color_count(self) -> int: ...
    @property
    def errors(self) -> list[str]: ...

def load_palette(path: str) -> PaletteLoad: ...
def palette_bytes(colors: Sequence[Color]) -> bytes: ...
def available_memory() -> int: ...

# A PNG file of width x height pixels, each four bytes R, G, B, A, or with
# palette_rgb one palette index (PLTE; palette_alpha is tRNS), rows
# unfiltered, compressed at level 0 (stored) to 9 (smallest); text pairs
# are tEXt chunks (keyword, text, Latin-1 bytes). ValueError for sizes,
# level or palette out of range.
def png_file(
    pixels: bytes | bytearray | memoryview,
    width: int,
    height: int,
    *,
    level: int = 6,
    palette_rgb: bytes = b"",
    palette_alpha: bytes = b"",
    text: Sequence[tuple[bytes, bytes]] = (),
) -> bytes: ...

class PaletteLookup:
    def __init__(self, colors: Sequence[Color]) -> None: ...
    def map(self, rgba: Any, indices: Any, painted: Any, kept: Any) -> int: ...
    def map_png(self, data: bytes | bytearray | memoryview) -> tuple[Any, Any, Any, int]:
        """As map, for the pixels of a still PNG file that read_png decodes,
        mapped row by row as they are decoded, without the interpreter's
        lock: (indices, painted, kept, missing), height x width numpy arrays
        of uint8, bool and uint32 and the count; ValueError for a damaged
        file or one read_png does not decode."""

class PngRead:
    """A PNG file walked and checked by the core (every chunk's CRC, their
    order, the header), with its pixels as RGBA (height x width x 4 bytes)
    when the core decodes its kind (`decodable`: 8 bits a sample, no
    palette, not interlaced), it has one frame of at most `max_pixels` and
    `decode` was asked for; else None."""

    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def bit_depth(self) -> int: ...
    @property
    def color_type(self) -> int: ...
    @property
    def interlace(self) -> int: ...
    @property
    def frames(self) -> int: ...
    @property
    def decodable(self) -> bool: ...
    @property
    def pixels(self) -> bytearray | None: ...

def read_png(data: bytes | bytearray | memoryview, max_pixels: int, decode: bool = True) -> PngRead:
    """ValueError naming the cause for a damaged PNG file."""
