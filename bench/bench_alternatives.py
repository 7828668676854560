"""Measures pykiv against the alternatives a user has, on a generated
sprite-like animation: 48 frames of 320 x 240, every row runs of 4 to 60
random palette indices separated by skips, the runs covering about 60 % of
the row, with a palette of 256 colours.

    python bench/bench_alternatives.py [--repeat R]

(numpy is needed: pip install ".[bench]")

Every figure is a ratio of two measurements taken in the same run on the
same machine; the absolute numbers are printed only to show what the ratio
was made of. Times are the best of R repetitions of the two sides taken in
turn (the pure-Python model, which takes seconds, is timed at most twice).
A timed operation's results are kept until the clock has stopped, so
freeing them is not part of any time.

  a. model      KivF().load(file, 0, palette): read, parse, palette, render,
                against the tests' pure-Python model doing the same work
                (read the file, kivmodel.parse_animation, parse_palette,
                render). Target: pykiv at least 300 times faster.
  b. floor      the same load against the memory-bound floor of rendering:
                numpy's fastest palette lookup, `lut32[indices]`, the palette
                packed as 256 uint32 words and gathered by a uint8 index
                array with as many pixels as all frames together, giving
                the same number of RGBA bytes. Target: pykiv no slower,
                parsing included (ratio pykiv / numpy at most 1.0). The
                uint32 table is checked against a 256 x 4 uint8 table
                (`lut8[indices]`) first and the faster one is the floor.
  c. pixels     reading `pixels` of every frame, from a list taken once
                from get_frame_buffer(), against a bytes copy of a bytearray
                of the same size per frame (one bytearray for each frame, so
                both sides read as much memory). Target: at most 1.2 times.
  d. memory     peak resident memory of one load over the interpreter's
                baseline (a child process that imports only pykiv), against
                the RGBA bytes plus the records. The records are taken two
                ways: as held in memory (the resident memory a load that
                renders nothing, its palette missing, leaves behind; needs
                /proc) and, stricter, as the size of the animation file (the
                bytes of record data it encodes). Target: at most 1.2 times.
                Needs the `resource` module (not on Windows).
"""

from __future__ import annotations

import argparse
import gc
import random
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np

import pykiv

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import kivmodel  # noqa: E402

FRAMES, WIDTH, HEIGHT = 48, 320, 240
RUN_MIN, RUN_MAX = 4, 60
# Skips of 0..40 pixels (mean 20) between runs of mean 32 cover about 60 %
# of a row once the runs cut at the right edge are counted.
SKIP_MAX = 40
SEED = 20240611


def generate_rows(rng: random.Random) -> list[list[tuple[int, int, bytes]]]:
    """One frame's rows as (offset, color_count, colours) runs."""
    rows = []
    for _ in range(HEIGHT):
        row, x = [], 0
        while True:
            skip = rng.randint(0, SKIP_MAX)
            if x + skip >= WIDTH:
                break
            n = min(rng.randint(RUN_MIN, RUN_MAX), WIDTH - x - skip)
            row.append((skip, n, rng.randbytes(n)))
            x += skip + n
        rows.append(row)
    return rows


def build_files(folder: Path) -> tuple[Path, Path, list[tuple[int, int, int, int]], float]:
    """Writes the animation and its palette; returns their paths, the
    colours and the share of pixels the runs cover."""
    rng = random.Random(SEED)
    colors = [(rng.randrange(256), rng.randrange(256), rng.randrange(256), 255) for _ in range(256)]
    records, painted = [], 0
    for _ in range(FRAMES):
        rows = generate_rows(rng)
        painted += sum(n for row in rows for _, n, _ in row)
        body = kivmodel.frame_record(0, HEIGHT, WIDTH, -HEIGHT // 2, -WIDTH // 2, 0, 1, rows, shadow=False)
        # frame_size is not interpreted; it holds the record's length here.
        records.append(kivmodel.u32(len(body)) + body[4:])
    animation, palette = folder / "sprite.kiv", folder / "sprite.pal"
    animation.write_bytes(kivmodel.animation_file(1, b"sprite.pal\0", records))
    palette.write_bytes(kivmodel.palette_file(colors))
    return animation, palette, colors, painted / (FRAMES * WIDTH * HEIGHT)


def timed(action) -> tuple[float, object]:
    """The time `action` takes, and its result, freed only after the clock."""
    gc.collect()
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def best_pair(repeat: int, action, baseline) -> tuple[float, float]:
    """Best times of `action` and `baseline`, run in turn `repeat` times."""
    times: tuple[list[float], list[float]] = ([], [])
    for _ in range(repeat):
        for f, out in ((action, times[0]), (baseline, times[1])):
            out.append(timed(f)[0])
    return min(times[0]), min(times[1])


def model_load(animation: Path, palette: Path):
    anim = kivmodel.parse_animation(animation.read_bytes())
    _, colors, _ = kivmodel.parse_palette(palette.read_bytes(), 0)
    return kivmodel.render(anim.frames, colors)


def load(animation: Path, palette: Path):
    # The KivF is returned with the data so that it is freed after the clock.
    kiv = pykiv.KivF()
    return kiv, kiv.load(str(animation), 0, str(palette))


MEMORY_CHILD = textwrap.dedent("""
    import os, resource, sys
    import pykiv

    def peak():
        maxrss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return maxrss if sys.platform == "darwin" else maxrss * 1024   # KiB but on macOS

    def resident():
        try:
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except OSError:
            return -1

    baseline, held_before = peak(), resident()
    kiv = pykiv.KivF()
    kiv.load(sys.argv[1], 0, sys.argv[2])
    print(baseline, peak(), held_before, resident())
""")

# Linux carries a process's peak over exec, so a process started by this
# large one would start with this one's peak and hide the load. A process
# forked from a small launcher starts its own count from the launcher's few
# megabytes, below what the interpreter with pykiv holds.
LAUNCHER = textwrap.dedent("""
    import os, sys
    pid = os.fork()
    if pid == 0:
        os.execv(sys.argv[1], sys.argv[1:])
    sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
""")


def load_memory(animation: Path, palette: Path) -> tuple[int, int | None] | None:
    """Peak resident memory growth of one load, and the resident memory a
    load without rendering (its palette missing) leaves behind, in bytes;
    None where not measurable."""
    try:
        import resource  # noqa: F401
    except ImportError:
        return None

    def child(palette_path: Path) -> list[int]:
        command = [sys.executable, "-c", LAUNCHER, sys.executable, "-c", MEMORY_CHILD, str(animation),
                   str(palette_path)]
        return list(map(int, subprocess.run(command, check=True, capture_output=True, text=True).stdout.split()))

    baseline, peak, _, _ = child(palette)
    _, _, held_before, held_after = child(palette.with_name("missing.pal"))
    return peak - baseline, (held_after - held_before if held_before >= 0 else None)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    repeat = parser.parse_args().repeat
    rows = []  # (measure, ratio, target text, met, made of)

    with tempfile.TemporaryDirectory() as tmp:
        animation, palette, colors, coverage = build_files(Path(tmp))
        file_size = animation.stat().st_size
        frame_bytes = WIDTH * HEIGHT * 4
        rgba_bytes = FRAMES * frame_bytes

        kiv, data = load(animation, palette)
        if data is None:
            raise SystemExit("bench: the generated animation did not load")
        images = kiv.get_frame_buffer()

        # b. against numpy's palette lookup over as many pixels; both tables
        # are timed and the faster one is the floor.
        entries = b"".join(bytes(c) for c in colors)
        lut32 = np.frombuffer(entries, dtype="<u4").copy()
        lut8 = np.frombuffer(entries, dtype=np.uint8).reshape(256, 4).copy()
        indices = np.frombuffer(random.Random(SEED + 1).randbytes(FRAMES * WIDTH * HEIGHT), dtype=np.uint8)
        assert lut32[indices].tobytes() == lut8[indices].tobytes()
        assert lut32[indices].nbytes == rgba_bytes
        t_lut32, t_lut8 = best_pair(repeat, lambda: lut32[indices], lambda: lut8[indices])
        floor_name, lut = ("lut32[indices]", lut32) if t_lut32 <= t_lut8 else ("lut8[indices]", lut8)
        t_load, t_floor = best_pair(repeat, lambda: load(animation, palette), lambda: lut[indices])
        # The floor varies with what the heap went through before it; its
        # best is taken over every time of that table in this run.
        t_floor = min(t_floor, t_lut32 if lut is lut32 else t_lut8)

        # a. against the pure-Python model, which is checked to agree.
        t_model = float("inf")
        for _ in range(min(repeat, 2)):
            t, (rendered, errors) = timed(lambda: model_load(animation, palette))
            t_model = min(t_model, t)
        if errors or [r.pixels for r in rendered] != [image.pixels for image in images]:
            raise SystemExit("bench: the model disagrees with the module")
        del rendered
        ratio = t_model / t_load
        rows.append(("a. load+render vs pure-Python model (speed-up)", ratio, ">= 300", ratio >= 300,
                     f"{t_model * 1e3:.0f} ms / {t_load * 1e3:.2f} ms"))
        ratio = t_load / t_floor
        rows.append((f"b. load+render vs numpy {floor_name}", ratio, "<= 1.0", ratio <= 1.0,
                     f"{t_load * 1e3:.2f} ms / {t_floor * 1e3:.2f} ms"))

        # c. pixels of every frame against plain bytes copies.
        # One source per frame, so that both sides read as much memory.
        sources = [bytearray(frame_bytes) for _ in range(FRAMES)]
        t_pixels, t_copy = best_pair(repeat, lambda: [image.pixels for image in images],
                                     lambda: [bytes(source) for source in sources])
        ratio = t_pixels / t_copy
        rows.append(("c. .pixels of all frames vs bytes copies", ratio, "<= 1.2", ratio <= 1.2,
                     f"{t_pixels * 1e3:.2f} ms / {t_copy * 1e3:.2f} ms"))

        # d. peak memory of one load against what it must hold.
        memory = load_memory(animation, palette)
        if memory is not None:
            growth, records = memory
            if records is not None:
                ratio = growth / (rgba_bytes + records)
                rows.append(("d. load peak RSS vs RGBA + records as held", ratio, "<= 1.2", ratio <= 1.2,
                             f"{growth / 1e6:.1f} MB / ({rgba_bytes / 1e6:.1f} + {records / 1e6:.1f}) MB"))
            ratio = growth / (rgba_bytes + file_size)
            rows.append(("d'. load peak RSS vs RGBA + file size", ratio, "<= 1.2", ratio <= 1.2,
                         f"{growth / 1e6:.1f} MB / ({rgba_bytes / 1e6:.1f} + {file_size / 1e6:.1f}) MB"))

    print(f"{FRAMES} frames of {WIDTH}x{HEIGHT}, runs of {RUN_MIN}-{RUN_MAX} pixels covering "
          f"{coverage:.0%} of each row; file {file_size / 1e6:.2f} MB, RGBA {rgba_bytes / 1e6:.1f} MB; "
          f"best of {repeat} (the model: of {min(repeat, 2)})")
    print(f"numpy lookup over {indices.size} pixels: lut32[indices] {t_lut32 * 1e3:.2f} ms, "
          f"lut8[indices] {t_lut8 * 1e3:.2f} ms ({t_lut8 / t_lut32:.2f}x the uint32 table)\n")
    header = ("measure", "ratio", "target", "met", "made of")
    widths = (max(len(r[0]) for r in rows), 8, 6, 3, max(len(r[4]) for r in rows))
    print("  ".join(h.rjust(w) if h == "ratio" else h.ljust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for name, ratio, target, met, made_of in rows:
        print(f"{name:<{widths[0]}}  {ratio:>8.2f}  {target:<6}  {'yes' if met else 'NO':<3}  {made_of}")
    if memory is None:
        print("d. memory: skipped, no `resource` module on this platform")
    else:
        print("\nd. records as held: what a load that renders nothing leaves resident; "
              "d'. records as the size of the animation file")


if __name__ == "__main__":
    main()
