"""The animation file layout as the tool writes it: header, palette location,
frame records of run-length rows, and the limits those fields impose.

All integers are little-endian:

    optional prefix  "KVIF", 4 reserved zero bytes, u8 has_background
    u32 speed
    u32 L, L bytes   palette location relative to the project root, forward
                     slashes, with a closing zero byte that L counts
    u32 N            frame count, not counting the background frame
    N frame records, and one more (the background frame) when the prefix
                     says so

    frame record     u32 frame_size (the record's length, header included;
                     readers do not interpret it), u16 height word (bit 15:
                     shadow frame), u16 width, i16 y_offset, i16 x_offset,
                     u8 unk1 = 0, u8 unk2 = 1, then one row per line
    row              u8 block_count, then block_count runs
    run              u8 offset (pixels skipped since the end of the previous
                     run of the row), u8 color_count, then color_count
                     palette indices, left out in shadow frames (their runs
                     are drawn opaque black)

A reader keeps only the low 8 bits of the height word from the first shadow
frame of a file on, so every frame from there (the background frame too)
can have at most 255 rows; before it, bit 15 would mark a shadow frame, so a
plain frame has at most 32767.

Runs are found with array operations over a whole frame at once: the painted
mask's edges give every run of every row, and the bytes of the frame record
are placed by computed positions, so no Python code runs per pixel or per
run.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Optional, Protocol, Sequence

import numpy as np
import numpy.typing as npt

MAGIC = b"KVIF"
SHADOW_FLAG = 0x8000
FRAME_HEADER = struct.Struct("<IHHhhBB")  # frame_size, height word, width, y_offset, x_offset, unk1, unk2
UNK1, UNK2 = 0, 1  # what every writer of the format puts there

MAX_SKIP = 0xFF  # a run's offset is one byte
MAX_PAINT = 0xFF  # and so is its colour count
MAX_RUNS_PER_ROW = 0xFF  # block_count is one byte
MAX_WIDTH = 0xFFFF
MAX_PLAIN_HEIGHT = SHADOW_FLAG - 1  # before the first shadow frame
MAX_HEIGHT_FROM_SHADOW = 0xFF  # the first shadow frame and every frame after it
OFFSET_RANGE = (-0x8000, 0x7FFF)
SPEED_RANGE = (0, 0xFFFFFFFF)
# Readers loop over the frame count, background frame included, as a signed
# 32-bit number.
MAX_FRAMES = 0x7FFFFFFF
# The magic read as the u32 that starts a file without the prefix: a speed
# with this value would read back as the prefix.
MAGIC_AS_SPEED = int.from_bytes(MAGIC, "little")

Mask = npt.NDArray[np.bool_]
Indices = npt.NDArray[np.uint8]


class LayoutError(ValueError):
    """Input that the file format cannot hold; the message says which frame
    and why."""


@dataclass
class FrameRuns:
    """One frame ready to be stored: which pixels are painted and with which
    palette index (ignored in shadow frames)."""

    painted: Mask  # height x width
    indices: Optional[Indices]  # height x width; None for shadow frames
    x_offset: int
    y_offset: int
    shadow: bool

    @property
    def height(self) -> int:
        return int(self.painted.shape[0])

    @property
    def width(self) -> int:
        return int(self.painted.shape[1])


def height_limit(shadow: bool, after_shadow: bool) -> int:
    """The most rows a frame can have at its place in the file."""
    return MAX_HEIGHT_FROM_SHADOW if shadow or after_shadow else MAX_PLAIN_HEIGHT


def check_frame_count(count: int) -> None:
    """`count` includes the background frame."""
    if count > MAX_FRAMES:
        raise LayoutError(f"{count} frames; a file holds at most {MAX_FRAMES}")


class FrameShape(Protocol):
    """What the limits of the format look at before the pixels do."""

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


def check_frames(frames: Sequence[FrameShape], names: Sequence[str]) -> None:
    """Refuses frames the file cannot hold, before anything is encoded (or
    decoded): sizes, heights at their place in the file, offsets. Runs per
    row are checked while encoding."""
    check_frame_count(len(frames))
    after_shadow = False
    low, high = OFFSET_RANGE
    for frame, name in zip(frames, names):
        if frame.width > MAX_WIDTH:
            raise LayoutError(f"{name}: width {frame.width} is above {MAX_WIDTH}, the widest a frame can be")
        limit = height_limit(frame.shadow, after_shadow)
        if frame.height > limit:
            if frame.shadow:
                why = "a shadow frame has at most 255 rows"
            elif after_shadow:
                why = "a frame after a shadow frame has at most 255 rows"
            else:
                why = f"a frame has at most {MAX_PLAIN_HEIGHT} rows"
            raise LayoutError(f"{name}: height {frame.height} does not fit: {why}")
        for axis, value in (("x", frame.x_offset), ("y", frame.y_offset)):
            if not low <= value <= high:
                raise LayoutError(f"{name}: {axis} offset {value} is outside {low}..{high}")
        after_shadow = after_shadow or frame.shadow


def encode_frame(frame: FrameRuns, name: str) -> bytes:
    """The frame record: header and rows of runs."""
    body = _encode_rows(frame, name)
    height_word = frame.height | (SHADOW_FLAG if frame.shadow else 0)
    header = FRAME_HEADER.pack(
        FRAME_HEADER.size + len(body), height_word, frame.width, frame.y_offset, frame.x_offset, UNK1, UNK2
    )
    return header + body


def encode_animation(
    frames: Sequence[FrameRuns], names: Sequence[str], *, speed: int, location: str, has_background: bool
) -> bytes:
    """The whole file. With `has_background` the last frame is the
    background frame. `names` name the frames in refusals."""
    check_frames(frames, names)
    low, high = SPEED_RANGE
    if not low <= speed <= high:
        raise LayoutError(f"speed {speed} is outside {low}..{high}")
    text = location.encode("utf-8") + b"\0"
    out = [b""]
    # The prefix carries the background flag; a file without a background
    # gets it too when its speed would spell the magic, since the speed then
    # comes first and would read as the prefix.
    if has_background or speed == MAGIC_AS_SPEED:
        out.append(MAGIC + bytes(4) + bytes((1 if has_background else 0,)))
    out.append(struct.pack("<II", speed, len(text)))
    out.append(text)
    out.append(struct.pack("<I", len(frames) - (1 if has_background else 0)))
    out.extend(encode_frame(frame, name) for frame, name in zip(frames, names))
    return b"".join(out)


def _encode_rows(frame: FrameRuns, name: str) -> bytes:
    height, width = frame.height, frame.width
    if height == 0:
        return b""
    if width == 0:
        return bytes(height)  # every row: no runs

    # Every run of every row, from the edges of the painted mask laid out
    # flat with a clear pixel before the first row and after every row, so
    # that no run reaches from one row into the next: edges alternate
    # between a run's first pixel and the pixel after its last.
    stride = width + 1
    flat = np.zeros(height * stride + 1, dtype=bool)
    flat[1:].reshape(height, stride)[:, :width] = frame.painted
    edges = np.flatnonzero(flat[1:] != flat[:-1])
    run_rows = edges[0::2] // stride
    row_starts = run_rows * stride
    run_starts = edges[0::2] - row_starts
    run_ends = edges[1::2] - row_starts
    run_lengths = run_ends - run_starts

    # Pixels skipped before each run: from the previous run's end in the
    # same row, from the row's start for its first run.
    previous_end = np.empty_like(run_ends)
    previous_end[:1] = 0
    previous_end[1:] = run_ends[:-1]
    first_in_row = np.ones(run_rows.size, dtype=bool)
    first_in_row[1:] = run_rows[1:] != run_rows[:-1]
    previous_end[first_in_row] = 0
    skips = run_starts - previous_end

    # A skip beyond one byte goes first into runs that paint nothing and
    # skip 255 each; a run beyond one byte is split into runs of 255 with
    # no skip between them.
    skip_blocks = np.maximum(skips - 1, 0) // MAX_SKIP
    paint_blocks = (run_lengths + MAX_PAINT - 1) // MAX_PAINT
    blocks_per_run = skip_blocks + paint_blocks
    block_count = int(blocks_per_run.sum())

    runs_per_row = np.bincount(run_rows, weights=blocks_per_run, minlength=height).astype(np.int64)
    crowded = np.flatnonzero(runs_per_row > MAX_RUNS_PER_ROW)
    if crowded.size:
        row = int(crowded[0])
        raise LayoutError(
            f"{name}: row {row} needs {int(runs_per_row[row])} runs; a row holds at most "
            f"{MAX_RUNS_PER_ROW} (runs and gaps longer than 255 pixels count once per 255)"
        )

    # Blocks in file order: run k becomes skip_blocks[k] empty blocks, then
    # paint_blocks[k] painting ones. j is a block's place within its run.
    block_run = np.repeat(np.arange(run_rows.size), blocks_per_run)
    first_block_of_run = np.cumsum(blocks_per_run) - blocks_per_run
    j = np.arange(block_count) - first_block_of_run[block_run]
    block_skip_blocks = skip_blocks[block_run]
    painting = j >= block_skip_blocks
    piece = j - block_skip_blocks  # which 255-pixel piece of the run
    offsets = np.where(painting, 0, MAX_SKIP)
    first_piece = painting & (piece == 0)
    offsets[first_piece] = (skips - MAX_SKIP * skip_blocks)[block_run[first_piece]]
    counts = np.where(painting, np.minimum(run_lengths[block_run] - MAX_PAINT * piece, MAX_PAINT), 0)

    # Byte positions: each row is its block_count byte, then 2 bytes per
    # block and, outside shadow frames, one byte per painted pixel.
    per_block = np.full(block_count, 2, dtype=np.int64) if frame.shadow else counts + 2
    block_end = np.cumsum(per_block)
    block_rows = run_rows[block_run]
    block_pos = block_end - per_block + block_rows + 1  # each row so far added one count byte
    row_bytes = 1 + np.bincount(block_rows, weights=per_block, minlength=height).astype(np.int64)
    row_pos = np.cumsum(row_bytes) - row_bytes
    size = int(row_bytes.sum())

    out = np.empty(size, dtype=np.uint8)
    out[row_pos] = runs_per_row
    out[block_pos] = offsets
    out[block_pos + 1] = counts
    if not frame.shadow:
        assert frame.indices is not None
        # The colour bytes fill every place not taken by a count or a run
        # header, in the order of the painted pixels, row by row.
        is_colour = np.ones(size, dtype=bool)
        is_colour[row_pos] = False
        is_colour[block_pos] = False
        is_colour[block_pos + 1] = False
        out[is_colour] = frame.indices[frame.painted]
    return out.tobytes()
