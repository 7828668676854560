"""Measures sprite sheet packing (kivtool.formats.sheet.pack) as the number of
frames grows: 3,000 frames against 300, and how much of each sheet the
frames fill.

    python bench/bench_sheet.py [--rounds R] [--clock cpu]

(needs the tool's extra: pip install ".[tool]")

The frames are sprite-like rectangles of 16 to 128 pixels a side, drawn at
random (fixed seed). Both counts are packed once per round, in turn, best of
R rounds (default 15), on the wall clock or, with `--clock cpu`, on the
processor time of this process (for a machine whose cores are busy with
other work). Target: 3,000 frames in at most 12 times the time of 300
(linear growth would be 10).
"""

from __future__ import annotations

import argparse
import random
import time

from kivtool.formats.sheet import pack

COUNTS = (300, 3000)


def sizes_of(count: int) -> list[tuple[int, int]]:
    rng = random.Random(count)
    return [(rng.randint(16, 128), rng.randint(16, 128)) for _ in range(count)]


def fill(sizes: list[tuple[int, int]]) -> float:
    (width, height), _ = pack(sizes)
    return sum(w * h for w, h in sizes) / (width * height)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--clock", choices=["wall", "cpu"], default="wall")
    args = parser.parse_args()
    rounds = args.rounds
    clock = time.process_time if args.clock == "cpu" else time.perf_counter
    work = {count: sizes_of(count) for count in COUNTS}
    times: dict[int, list[float]] = {count: [] for count in COUNTS}
    for _ in range(rounds):
        for count in COUNTS:
            start = clock()
            pack(work[count])
            times[count].append(clock() - start)
    best = {count: min(values) for count, values in times.items()}
    small, large = COUNTS
    ratio = best[large] / best[small]
    print(f"frames of 16 to 128 pixels a side; best of {rounds} rounds, {args.clock} clock\n")
    for count in COUNTS:
        print(f"{count:>5} frames: {best[count] * 1e3:8.1f} ms, the frames fill {fill(work[count]):.1%} of the sheet")
    print(f"{large} frames / {small} frames: {ratio:.2f}  target <= 12  {'met' if ratio <= 12 else 'NOT MET'}")


if __name__ == "__main__":
    main()
