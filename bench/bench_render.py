"""Measures loading, rendering and saving against plain byte operations of
the same size, on a generated animation (default: 50 frames of 512 x 512,
rows of many short runs).

    python bench/bench_render.py [--frames N] [--size S] [--repeat R]

Every figure is a ratio of two times taken in the same run on the same
machine, so the table can be compared across machines; the absolute times
are printed only to show what the ratio was made of. Each time is the best of
R repetitions.
"""

from __future__ import annotations

import argparse
import gc
import struct
import tempfile
import time
from pathlib import Path

import pykiv

RUN = 13   # drawn pixels per run
SKIP = 3   # pixels skipped before each run


def palette_bytes() -> bytes:
    # 256 entries R, G, B, A after a u16 count and a u16 colour model.
    entries = b"".join(bytes(((i * 7) & 255, (i * 13) & 255, (i * 29) & 255, 255)) for i in range(256))
    return struct.pack("<HH", 256, 0) + entries


def row_bytes(width: int, seed: int) -> bytes:
    """One row: runs of RUN indices after SKIP skipped pixels, shifted by the
    row so that frames are not one repeated row."""
    shift = seed % (SKIP + RUN)
    blocks = []
    x = 0
    while True:
        skip = SKIP + (shift if not blocks else 0)
        if x + skip >= width:
            break
        n = min(RUN, width - x - skip)
        blocks.append(bytes((skip, n)) + bytes((seed + x + k) & 255 for k in range(n)))
        x += skip + n
    return bytes((len(blocks),)) + b"".join(blocks)


def animation_bytes(frames: int, size: int) -> bytes:
    rows = [row_bytes(size, y) for y in range(size)]
    body = b"".join(rows)
    # frame_size u32, height word u16, width u16, y_offset i16, x_offset i16, unk1, unk2
    record = struct.pack("<IHHhhBB", 14 + len(body), size, size, -size // 2, -size // 2, 0, 1) + body
    location = b"bench.pal\0"
    header = struct.pack("<II", 1, len(location)) + location + struct.pack("<I", frames)
    return header + record * frames


def python_render(size: int, colors: list[bytes]) -> bytes:
    """The same frame decoded in plain Python, for comparison."""
    out = bytearray(size * size * 4)
    for y in range(size):
        row = row_bytes(size, y)
        pos, x = 1, 0
        for _ in range(row[0]):
            x += row[pos]
            n = row[pos + 1]
            start = (y * size + x) * 4
            out[start:start + 4 * n] = b"".join(colors[i] for i in row[pos + 2:pos + 2 + n])
            x += n
            pos += 2 + n
    return bytes(out)


def best(repeat: int, action) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=50)
    parser.add_argument("--size", type=int, default=512, help="frame width and height")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    frames, size, repeat = args.frames, args.size, args.repeat

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        animation = folder / "bench.kiv"
        (folder / "bench.pal").write_bytes(palette_bytes())
        animation.write_bytes(animation_bytes(frames, size))
        file_size = animation.stat().st_size
        frame_bytes = size * size * 4
        megapixels = frames * size * size / 1e6

        kiv = pykiv.KivF()
        data = kiv.load(str(animation))
        if data is None:
            raise SystemExit("bench: the generated animation did not load")
        assert len(kiv.get_frame_buffer()) == frames

        source = bytearray(frame_bytes)
        palette = data.palette
        colors = [bytes((c.r, c.g, c.b, c.a)) for c in palette.colors()]
        images = kiv.get_frame_buffer()

        rows = []

        def measure(name, action, baseline_name, baseline):
            t = best(repeat, action)
            b = best(repeat, baseline)
            rows.append((name, baseline_name, t / b, t, b))

        measure("KivF.load (read, parse, palette, render)", lambda: pykiv.KivF().load(str(animation)),
                "Path.read_bytes of the file", animation.read_bytes)
        measure("KivFrameBuffer(data), all frames", lambda: pykiv.KivFrameBuffer(data),
                "bytes copy of all pixel bytes", lambda: [bytes(source) for _ in range(frames)])
        measure("KivF.get_frame_buffer()", kiv.get_frame_buffer,
                "bytes copy of all pixel bytes", lambda: [bytes(source) for _ in range(frames)])
        measure("KivFrameBufferObject.pixels, all frames", lambda: [image.pixels for image in images],
                "bytes copy of all pixel bytes", lambda: [bytes(source) for _ in range(frames)])
        saved = folder / "saved.kiv"
        raw = animation.read_bytes()
        measure("KivF.save (with the palette)",
                lambda: kiv.save(str(saved), str(folder), str(folder / "bench.pal")),
                "Path.write_bytes of the same size", lambda: (folder / "raw.kiv").write_bytes(raw))
        if saved.read_bytes() != raw:
            raise SystemExit("bench: the saved animation differs from the generated one")

        # Plain Python is slow; one frame is enough for its ratio. The module
        # renders all frames at once, so its time is divided among them.
        t_python = best(min(repeat, 2), lambda: python_render(size, colors))
        t_native = best(repeat, lambda: pykiv.KivFrameBuffer(data)) / frames
        if python_render(size, colors) != images[0].pixels:
            raise SystemExit("bench: the Python decoder disagrees with the module")
        rows.append(("plain Python decode of one frame", "KivFrameBuffer, per frame",
                     t_python / t_native, t_python, t_native))

    print(f"{frames} frames of {size}x{size} ({megapixels:.1f} megapixels), "
          f"file {file_size / 1e6:.1f} MB, best of {repeat}\n")
    header = ("operation", "baseline", "ratio", "op ms", "base ms")
    widths = (max(len(r[0]) for r in rows), max(len(r[1]) for r in rows), 7, 9, 9)
    print("  ".join(h.ljust(w) if i < 2 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths))))
    print("  ".join("-" * w for w in widths))
    for name, base, ratio, t, b in rows:
        print(f"{name:<{widths[0]}}  {base:<{widths[1]}}  {ratio:>7.2f}  {t * 1e3:>9.1f}  {b * 1e3:>9.1f}")
    render = next(r for r in rows if r[0].startswith("KivFrameBuffer("))
    print(f"\nrender: {render[3] / megapixels * 1e3:.1f} ms per megapixel, "
          f"{render[2]:.1f} times a plain copy of the same bytes")


if __name__ == "__main__":
    main()
