"""The animation the benchmarks measure: sprite-like frames whose rows are
runs of 4 to 60 random palette indices separated by skips of 0 to 40 pixels
(the runs cover about 60 % of a row once those cut at the right edge are
counted), with a palette of 256 opaque colours. The file and the palette are
written by the tests' model of the format."""

from __future__ import annotations

import random
import sys
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import kivmodel  # noqa: E402

FRAMES, WIDTH, HEIGHT = 48, 320, 240
RUN_MIN, RUN_MAX = 4, 60
SKIP_MAX = 40
SEED = 20240611


@dataclass
class Workload:
    animation: Path
    palette: Path
    colors: list[tuple[int, int, int, int]]
    frames: int
    width: int
    height: int
    coverage: float  # share of all pixels that runs paint
    file_size: int

    @property
    def rgba_bytes(self) -> int:
        return self.frames * self.width * self.height * 4

    def describe(self) -> str:
        return (
            f"{self.frames} frames of {self.width}x{self.height}, runs of {RUN_MIN}-{RUN_MAX} pixels "
            f"covering {self.coverage:.0%} of each row; file {self.file_size / 1e6:.2f} MB, "
            f"RGBA {self.rgba_bytes / 1e6:.1f} MB"
        )


def generate_rows(rng: random.Random, width: int, height: int) -> list[list[tuple[int, int, bytes]]]:
    """One frame's rows as (offset, color_count, colours) runs."""
    rows = []
    for _ in range(height):
        row, x = [], 0
        while True:
            skip = rng.randint(0, SKIP_MAX)
            if x + skip >= width:
                break
            n = min(rng.randint(RUN_MIN, RUN_MAX), width - x - skip)
            row.append((skip, n, rng.randbytes(n)))
            x += skip + n
        rows.append(row)
    return rows


def build(folder: Path, frames: int = FRAMES, width: int = WIDTH, height: int = HEIGHT) -> Workload:
    """Writes sprite.kiv and sprite.pal into `folder`."""
    rng = random.Random(SEED)
    colors = [(rng.randrange(256), rng.randrange(256), rng.randrange(256), 255) for _ in range(256)]
    records, painted = [], 0
    for _ in range(frames):
        rows = generate_rows(rng, width, height)
        painted += sum(n for row in rows for _, n, _ in row)
        body = kivmodel.frame_record(0, height, width, -height // 2, -width // 2, 0, 1, rows, shadow=False)
        # frame_size is not interpreted; it holds the record's length here.
        records.append(kivmodel.u32(len(body)) + body[4:])
    folder.mkdir(parents=True, exist_ok=True)
    animation, palette = folder / "sprite.kiv", folder / "sprite.pal"
    file = kivmodel.animation_file(1, b"sprite.pal\0", records)
    animation.write_bytes(file)
    palette.write_bytes(kivmodel.palette_file(colors))
    return Workload(animation, palette, colors, frames, width, height, painted / (frames * width * height), len(file))
