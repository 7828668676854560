"""Measures how the tool's load grows with the number of frames: loading an
animation of 16,000 frames against one of 1,000, through the load every
verb and the viewer use (`kivtool.animation.load_animation`, and the
viewer's `kivtool.view.source.decode` of bytes already read).

    python bench/bench_load_many.py [--rounds R]

(needs the tool's extra: pip install ".[tool]")

Both files hold small frames (8 x 8, one run a row) so that the frame count,
not the pixels, is what grows. Each load runs in this process, in interleaved
rounds, best of R (default 7), wall clock.

Target: 16,000 frames cost at most 20 times 1,000 (16 times is linear).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import kivmodel  # noqa: E402

from kivtool.animation import load_animation  # noqa: E402
from kivtool.view import source  # noqa: E402

COUNTS = (1_000, 16_000)
SIZE = 8
TARGET = 20


def write(folder: Path, frames: int) -> Path:
    """An animation of `frames` frames of SIZE x SIZE beside its palette."""
    rows = [[(0, SIZE, bytes(range(1, SIZE + 1)))] for _ in range(SIZE)]
    record = kivmodel.frame_record(0, SIZE, SIZE, 0, 0, 0, 1, rows, shadow=False)
    (folder / "p.pal").write_bytes(kivmodel.palette_file([(i, i, i, 255) for i in range(256)]))
    path = folder / f"many_{frames}.kiv"
    path.write_bytes(kivmodel.animation_file(1, b"p.pal\0", [record] * frames))
    return path


def timed(load: Callable[[], object]) -> float:
    start = time.perf_counter()
    load()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    rounds = parser.parse_args().rounds
    with tempfile.TemporaryDirectory() as tmp:
        paths = {count: write(Path(tmp), count) for count in COUNTS}
        data = {count: path.read_bytes() for count, path in paths.items()}
        loads: dict[str, dict[int, Callable[[], object]]] = {
            "load_animation": {count: (lambda p=paths[count]: load_animation(p)) for count in COUNTS},
            "viewer decode": {
                count: (lambda p=paths[count], d=data[count]: source.decode(str(p), d)) for count in COUNTS
            },
        }
        times: dict[tuple[str, int], list[float]] = {(name, c): [] for name in loads for c in COUNTS}
        for _ in range(rounds):
            for name, by_count in loads.items():
                for count, load in by_count.items():
                    times[(name, count)].append(timed(load))
    print(f"frames of {SIZE}x{SIZE}; best of {rounds} rounds, wall clock\n")
    low, high = COUNTS
    for name in loads:
        best_low, best_high = min(times[(name, low)]), min(times[(name, high)])
        ratio = best_high / best_low
        print(
            f"{name}: {high:,} frames / {low:,} frames: {ratio:.1f}  target <= {TARGET}  "
            f"{'met' if ratio <= TARGET else 'NOT MET'}  ({best_high * 1e3:.1f} ms / {best_low * 1e3:.1f} ms)"
        )


if __name__ == "__main__":
    main()
