"""The bundled sample: a small animation and its palette, a shaded ball
bouncing over a landscape, with a shadow frame and a background frame.

`write_sample(DIR)` (what `kivtool demo` starts with) creates
DIR/pal/sample.pal and DIR/anim/sample.kiv. The animation stores the
palette location "pal/sample.pal", so a reader that searches upwards from the
animation's directory finds the palette one level up.

The files are built here byte by byte, so this is also a compact description
of both formats (all integers little-endian):

Palette file
    u16 colour count (1..256), u16 colour model (0 here: entries are R,G,B,A),
    then count entries of 4 bytes R, G, B, A.

Animation file
    optional prefix  "KVIF", 4 reserved zero bytes, u8 has_background
    u32 speed        kept as stored; nothing here interprets it
    u32 L, L bytes   palette location relative to the project root, with a
                     closing zero byte that L counts
    u32 N            frame count, NOT counting the background frame
    N frame records, plus one (the background) when has_background is set

Frame record
    u32 frame_size, u16 height word (bit 15 = shadow frame), u16 width,
    i16 y_offset, i16 x_offset, u8 unk1, u8 unk2, then one row per line:
    u8 block_count, then per block u8 offset (pixels skipped since the end of
    the previous run), u8 color_count, and color_count palette indices, which
    shadow frames leave out (their runs are drawn opaque black).
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional, Tuple

MAGIC = b"KVIF"
SHADOW_BIT = 0x8000
MAX_RUN = 0xFF  # offset and color_count are single bytes
FRAME_HEADER = struct.Struct("<IHHhhBB")

LOCATION = "pal/sample.pal"
SPEED = 100

# An image row is a list of palette indices, None where nothing is drawn.
# Shadow frames only use the difference between None and not None.
Row = List[Optional[int]]
Color = Tuple[int, int, int, int]


@dataclass
class Frame:
    rows: list[Row]
    x_offset: int
    y_offset: int
    shadow: bool = False

    @property
    def width(self) -> int:
        return len(self.rows[0]) if self.rows else 0

    @property
    def height(self) -> int:
        return len(self.rows)


# --------------------------------------------------------------------------
# Encoding


def encode_row(row: Row, shadow: bool) -> bytes:
    """One row as runs of drawn pixels. A skip longer than a byte allows is
    carried by empty runs (color_count 0, which only moves the position), and
    a run longer than a byte allows is split into runs with offset 0."""
    blocks: list[tuple[int, list[int]]] = []
    end = 0  # where the previous run ended
    x = 0
    while x < len(row):
        if row[x] is None:
            x += 1
            continue
        start = x
        while x < len(row) and row[x] is not None:
            x += 1
        skip = start - end
        while skip > MAX_RUN:
            blocks.append((MAX_RUN, []))
            skip -= MAX_RUN
        for pos in range(start, x, MAX_RUN):
            blocks.append((skip, [index for index in row[pos:min(pos + MAX_RUN, x)] if index is not None]))
            skip = 0
        end = x
    if len(blocks) > 0xFF:
        raise ValueError(f"row needs {len(blocks)} runs; a row holds at most 255")

    out = bytearray([len(blocks)])
    for offset, colors in blocks:
        out += bytes((offset, len(colors)))
        if not shadow:
            out += bytes(colors)
    return bytes(out)


def encode_frame(frame: Frame, after_shadow: bool) -> bytes:
    # A reader keeps only the low 8 bits of the height word of a shadow frame
    # and of every frame that follows one in the file; bit 15 of any other
    # height word would mark it as a shadow frame.
    limit = 0xFF if frame.shadow or after_shadow else 0x7FFF
    if frame.height > limit:
        raise ValueError(f"frame height {frame.height} does not fit here (at most {limit})")
    if any(len(row) != frame.width for row in frame.rows):
        raise ValueError("all rows of a frame must have the frame's width")
    body = b"".join(encode_row(row, frame.shadow) for row in frame.rows)
    height_word = frame.height | (SHADOW_BIT if frame.shadow else 0)
    # frame_size is not used when reading; the whole record's length is
    # stored, header included. unk1 = 0, unk2 = 1, as the module writes them.
    header = FRAME_HEADER.pack(FRAME_HEADER.size + len(body), height_word, frame.width,
                               frame.y_offset, frame.x_offset, 0, 1)
    return header + body


def animation_bytes(frames: list[Frame], location: str, speed: int, background: Frame | None) -> bytes:
    out = bytearray()
    if background is not None:
        out += MAGIC + bytes(4) + b"\x01"
    text = location.encode("utf-8") + b"\0"
    out += struct.pack("<II", speed, len(text)) + text
    out += struct.pack("<I", len(frames))  # the background frame is not counted
    after_shadow = False
    for frame in frames + ([background] if background is not None else []):
        out += encode_frame(frame, after_shadow)
        after_shadow = after_shadow or frame.shadow
    return bytes(out)


def palette_bytes(colors: list[Color]) -> bytes:
    if not 1 <= len(colors) <= 256:
        raise ValueError("a palette holds 1 to 256 colours")
    return struct.pack("<HH", len(colors), 0) + b"".join(bytes(c) for c in colors)


# --------------------------------------------------------------------------
# The picture


def ramp(a: tuple[int, int, int], b: tuple[int, int, int], n: int) -> list[Color]:
    """n colours from a to b, both included."""
    def mix(k: int, i: int) -> int:
        return round(a[k] + (b[k] - a[k]) * i / (n - 1))
    return [(mix(0, i), mix(1, i), mix(2, i), 255) for i in range(n)]


BALL = 1     # 32 shades, dark to highlight
SKY = 33     # 32 shades, zenith to horizon
GRASS = 65   # 8 greens
CLOUD = 73   # 4 whites
SUN = 77     # 2 yellows


def sample_palette() -> list[Color]:
    colors: list[Color] = [(0, 0, 0, 255)]
    colors += ramp((60, 0, 10), (230, 40, 30), 24) + ramp((240, 60, 40), (255, 230, 210), 8)
    colors += ramp((40, 90, 190), (170, 215, 250), 32)
    colors += ramp((30, 90, 30), (110, 180, 60), 8)
    colors += ramp((200, 210, 225), (255, 255, 255), 4)
    colors += [(255, 200, 40, 255), (255, 240, 150, 255)]
    colors += ramp((0, 0, 0), (255, 255, 255), 256 - len(colors))  # a grey ramp fills the rest
    return colors


def inside(x: float, y: float, w: int, h: int) -> tuple[bool, float, float]:
    """Whether the centre of pixel (x, y) lies in the ellipse filling w x h."""
    u = (x + 0.5) / w * 2 - 1
    v = (y + 0.5) / h * 2 - 1
    return u * u + v * v <= 1, u, v


def ball(w: int, h: int) -> list[Row]:
    light = (-0.5, -0.6, 0.62)  # from the upper left, towards the viewer
    rows: list[Row] = []
    for y in range(h):
        row: Row = []
        for x in range(w):
            hit, u, v = inside(x, y, w, h)
            if not hit:
                row.append(None)
                continue
            z = math.sqrt(max(0.0, 1 - u * u - v * v))
            lit = max(0.0, u * light[0] + v * light[1] + z * light[2])
            shade = min(1.0, 0.12 + 0.75 * lit + 0.6 * lit ** 12)
            row.append(BALL + round(shade * 31))
        rows.append(row)
    return rows


def ellipse_mask(w: int, h: int) -> list[Row]:
    return [[0 if inside(x, y, w, h)[0] else None for x in range(w)] for y in range(h)]


def landscape(w: int, h: int, horizon: int) -> list[Row]:
    clouds = [(40, 18, 46, 14), (70, 12, 30, 12), (200, 30, 60, 16), (235, 24, 34, 12)]
    sun_x, sun_y, sun_r = 275, 28, 14
    rows: list[Row] = []
    for y in range(h):
        row: Row = []
        for x in range(w):
            if y >= horizon:
                # Grass, darker towards the viewer, with faint diagonal stripes.
                depth = (y - horizon) / max(1, h - horizon - 1)
                stripe = ((x + 2 * y) // 6) % 2
                row.append(GRASS + min(7, round((1 - depth) * 6) + stripe))
                continue
            color = SKY + round(y / max(1, horizon - 1) * 31)
            d = math.hypot(x + 0.5 - sun_x, y + 0.5 - sun_y)
            if d <= sun_r:
                color = SUN + int(d < sun_r * 0.6)
            for cx, cy, cw, ch in clouds:
                hit, _, v = inside(x - (cx - cw // 2), y - (cy - ch // 2), cw, ch)
                if hit:  # lighter at the top of the cloud
                    color = CLOUD + min(3, round((1 - v) * 1.6))
            row.append(color)
        rows.append(row)
    return rows


def sample_frames() -> tuple[list[Frame], Frame]:
    """The bounce, a shadow and the background. Offsets place each frame
    relative to the point on the ground below the ball's centre, so they are
    negative: frames sit above and to the left of that point."""
    frames: list[Frame] = []
    # (width, height, height of the ball's bottom above the ground)
    for w, h, lift in [(28, 28, 60), (24, 32, 24), (36, 20, 0), (26, 30, 36)]:
        frames.append(Frame(ball(w, h), x_offset=-(w // 2), y_offset=-(lift + h)))
    frames.append(Frame(ellipse_mask(32, 8), x_offset=-16, y_offset=-4, shadow=True))
    background = Frame(landscape(320, 140, 110), x_offset=-160, y_offset=-110)
    return frames, background


def write_sample(directory: Path) -> tuple[Path, Path]:
    """Writes the sample palette and animation under `directory`; returns
    (animation path, palette path)."""
    palette_path = directory / LOCATION
    animation_path = directory / "anim" / "sample.kiv"
    palette_path.parent.mkdir(parents=True, exist_ok=True)
    animation_path.parent.mkdir(parents=True, exist_ok=True)
    frames, background = sample_frames()
    palette_path.write_bytes(palette_bytes(sample_palette()))
    animation_path.write_bytes(animation_bytes(frames, LOCATION, SPEED, background))
    return animation_path, palette_path

