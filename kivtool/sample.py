"""The bundled sample: a small animation and its palette, a shaded ball
bouncing over a landscape, with a shadow frame and a background frame.

`write_sample(DIR)` (what `kivtool demo` starts with) creates
DIR/pal/sample.pal and DIR/anim/sample.kiv. The animation stores the
palette location "pal/sample.pal", so a reader that searches upwards from the
animation's directory finds the palette one level up.

The animation's frames are drawn here as rows of palette indices; the
animation file and the palette file are written by the core's writers
(through `kivtool._core`).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional, Tuple

import numpy as np

from kivtool import _core

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


def frame_planes(frame: Frame) -> _core.FramePlanes:
    if any(len(row) != frame.width for row in frame.rows):
        raise ValueError("all rows of a frame must have the frame's width")
    shape = (frame.height, frame.width)
    painted = np.array([[index is not None for index in row] for row in frame.rows], dtype=bool).reshape(shape)
    indices = np.array([[index or 0 for index in row] for row in frame.rows], dtype=np.uint8).reshape(shape)
    return _core.FramePlanes(painted, None if frame.shadow else indices, frame.x_offset, frame.y_offset, frame.shadow)


def animation_bytes(frames: list[Frame], location: str, speed: int, background: Frame | None) -> bytes:
    """The animation file; raises ValueError for frames it cannot hold."""
    stored = frames + ([background] if background is not None else [])
    return _core.encode(
        [frame_planes(frame) for frame in stored],
        speed=speed,
        location=location,
        has_background=background is not None,
    )


def palette_bytes(colors: list[Color]) -> bytes:
    """The palette file; raises ValueError for other than 1 to 256 colours."""
    return _core.palette_bytes(colors)


# --------------------------------------------------------------------------
# The picture


def ramp(a: tuple[int, int, int], b: tuple[int, int, int], n: int) -> list[Color]:
    """n colours from a to b, both included."""

    def mix(k: int, i: int) -> int:
        return round(a[k] + (b[k] - a[k]) * i / (n - 1))

    return [(mix(0, i), mix(1, i), mix(2, i), 255) for i in range(n)]


BALL = 1  # 32 shades, dark to highlight
SKY = 33  # 32 shades, zenith to horizon
GRASS = 65  # 8 greens
CLOUD = 73  # 4 whites
SUN = 77  # 2 yellows


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
            shade = min(1.0, 0.12 + 0.75 * lit + 0.6 * lit**12)
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
