"""The fastest decoder of the animation format we could write with numpy.

Python walks the headers, since where a run starts in the file depends on
the length of every run before it, and keeps only the place of each run's
header. numpy does the rest at once for all runs: it reads skips and lengths
at those places, adds them up row by row into pixel positions, cuts runs at
the right edge, marks painted pixels and painted indices, and gathers the
colours through the palette packed as 32-bit words.

decode(animation, palette) returns the frames' RGBA pixels one frame after
another, as the module renders them, in one uint8 array.
"""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np

MAGIC = b"KVIF"
SHADOW_BIT = 0x8000
BLACK = 0xFF000000  # 0, 0, 0, 255 as a little-endian word


def color_table(palette: Path) -> np.ndarray:
    data = palette.read_bytes()
    count = int.from_bytes(data[:2], "little")
    if not 1 <= count <= 256 or len(data) < 4 + 4 * count:
        raise ValueError(f"{palette}: not a palette this decoder reads")
    table = np.full(256, BLACK, dtype="<u4")
    table[:count] = np.frombuffer(data, dtype="<u4", count=count, offset=4)
    return table


def marked(size: int, starts: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """A mask of `size` that is True inside the ranges, which are in order
    and do not overlap: gaps and ranges in turn, each repeated its length."""
    gaps = np.diff(starts, prepend=0) - np.concatenate(([0], lengths[:-1]))
    counts = np.empty(2 * starts.size + 1, dtype=np.intp)
    counts[0:-1:2], counts[1::2] = gaps, lengths
    counts[-1] = size - starts[-1] - lengths[-1]
    inside = np.zeros(counts.size, dtype=bool)
    inside[1::2] = True
    return np.repeat(inside, counts)


def decode(animation: Path, palette: Path) -> np.ndarray:
    table = color_table(palette)
    data = animation.read_bytes()
    at, has_background = 0, 0
    if data[:4] == MAGIC and len(data) > 8:
        at, has_background = 9, int(data[8] != 0)
    _speed, location_size = struct.unpack_from("<II", data, at)
    at += 8 + location_size
    (frames,) = struct.unpack_from("<I", data, at)
    at += 4

    heads = ([], [])  # per run: where its header is, for colour runs and shadow runs
    row_runs = ([], [])  # per row: how many runs, start and width in the output
    row_start, row_width = ([], []), ([], [])
    base, shadow_mode = 0, False
    unpack_header = struct.Struct("<IHH").unpack_from
    for _ in range(frames + has_background):
        _size, height_word, width = unpack_header(data, at)
        at += 14
        shadow = bool(height_word & SHADOW_BIT)
        shadow_mode = shadow_mode or shadow
        height = height_word & 0xFF if shadow_mode else height_word
        head, runs = heads[shadow].append, row_runs[shadow].append
        row_start[shadow].extend(range(base, base + height * width, width))
        row_width[shadow].extend([width] * height)
        for _ in range(height):
            blocks = data[at]
            runs(blocks)
            at += 1
            if shadow:
                for _ in range(blocks):
                    head(at)
                    at += 2
            else:
                for _ in range(blocks):
                    head(at)
                    at += 2 + data[at + 1]
        base += height * width

    source = np.frombuffer(data, dtype=np.uint8)
    out = np.zeros(base, dtype="<u4")
    for shadow in (False, True):
        if not heads[shadow]:
            continue
        head = np.array(heads[shadow], dtype=np.int64)
        skip, length = source[head].astype(np.int64), source[head + 1].astype(np.int64)
        runs = np.array(row_runs[shadow], dtype=np.int64)
        # Each run starts after the skips and lengths of the row's runs
        # before it and its own skip: a running sum restarted at every row.
        step = np.cumsum(skip + length)
        before_row = np.repeat(np.concatenate(([0], step))[np.cumsum(runs) - runs], runs)
        x = step - before_row - length
        width = np.repeat(np.array(row_width[shadow], dtype=np.int64), runs)
        # A run reaching the right edge is cut there; later runs of the row
        # then start beyond it and paint nothing.
        length = np.clip(np.minimum(length, width - x), 0, None)
        first = np.repeat(np.array(row_start[shadow], dtype=np.int64), runs) + np.minimum(x, width)
        painted = marked(base, first, length)
        if shadow:
            out[painted] = BLACK
        else:
            out[painted] = table[source[marked(source.size, head + 2, length)]]
    return out.view(np.uint8)
