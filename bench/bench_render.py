"""Measures loading, rendering and saving against plain byte operations of
the same size, on the generated sprite-like animation of bench/workload.py
(default here: 50 frames of 512 x 512).

    python bench/bench_render.py [--frames N] [--size S] [--repeat R]

Every figure is a ratio of two times taken in the same run on the same
machine, so the table can be compared across machines; the absolute times
are printed only to show what the ratio was made of. Each time is the best of
R repetitions.
"""

from __future__ import annotations

import argparse
import gc
import sys
import tempfile
import time
from pathlib import Path

import pykiv

sys.path.insert(0, str(Path(__file__).resolve().parent))
import workload  # noqa: E402
from workload import kivmodel  # noqa: E402


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
        work = workload.build(folder, frames, size, size)
        animation, file_size = work.animation, work.file_size
        frame_bytes = size * size * 4
        megapixels = frames * size * size / 1e6

        kiv = pykiv.KivF()
        data = kiv.load(str(animation))
        if data is None:
            raise SystemExit("bench: the generated animation did not load")
        assert len(kiv.get_frame_buffer()) == frames

        source = bytearray(frame_bytes)
        images = kiv.get_frame_buffer()

        rows = []

        def measure(name, action, baseline_name, baseline):
            t = best(repeat, action)
            b = best(repeat, baseline)
            rows.append((name, baseline_name, t / b, t, b))

        measure(
            "KivF.load (read, parse, palette, render)",
            lambda: pykiv.KivF().load(str(animation)),
            "Path.read_bytes of the file",
            animation.read_bytes,
        )
        measure(
            "KivFrameBuffer(data), all frames",
            lambda: pykiv.KivFrameBuffer(data),
            "bytes copy of all pixel bytes",
            lambda: [bytes(source) for _ in range(frames)],
        )
        measure(
            "KivF.get_frame_buffer()",
            kiv.get_frame_buffer,
            "bytes copy of all pixel bytes",
            lambda: [bytes(source) for _ in range(frames)],
        )
        measure(
            "KivFrameBufferObject.pixels, all frames",
            lambda: [image.pixels for image in images],
            "bytes copy of all pixel bytes",
            lambda: [bytes(source) for _ in range(frames)],
        )
        saved = folder / "saved.kiv"
        raw = animation.read_bytes()
        measure(
            "KivF.save (with the palette)",
            lambda: kiv.save(str(saved), str(folder), str(work.palette)),
            "Path.write_bytes of the same size",
            lambda: (folder / "raw.kiv").write_bytes(raw),
        )
        if saved.read_bytes() != raw:
            raise SystemExit("bench: the saved animation differs from the generated one")

        # Plain Python is slow; one frame is enough for its ratio. The module
        # renders all frames at once, so its time is divided among them.
        first = kivmodel.parse_animation(raw).frames[:1]
        t_python = best(min(repeat, 2), lambda: kivmodel.render(first, work.colors))
        t_native = best(repeat, lambda: pykiv.KivFrameBuffer(data)) / frames
        if kivmodel.render(first, work.colors)[0][0].pixels != images[0].pixels:
            raise SystemExit("bench: the Python decoder disagrees with the module")
        rows.append(
            ("plain Python decode of one frame", "KivFrameBuffer, per frame", t_python / t_native, t_python, t_native)
        )

    print(
        f"{frames} frames of {size}x{size} ({megapixels:.1f} megapixels), "
        f"file {file_size / 1e6:.1f} MB, best of {repeat}\n"
    )
    header = ("operation", "baseline", "ratio", "op ms", "base ms")
    widths = (max(len(r[0]) for r in rows), max(len(r[1]) for r in rows), 7, 9, 9)
    print("  ".join(h.ljust(w) if i < 2 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths))))
    print("  ".join("-" * w for w in widths))
    for name, base, ratio, t, b in rows:
        print(f"{name:<{widths[0]}}  {base:<{widths[1]}}  {ratio:>7.2f}  {t * 1e3:>9.1f}  {b * 1e3:>9.1f}")
    render = next(r for r in rows if r[0].startswith("KivFrameBuffer("))
    print(
        f"\nrender: {render[3] / megapixels * 1e3:.1f} ms per megapixel, "
        f"{render[2]:.1f} times a plain copy of the same bytes"
    )


if __name__ == "__main__":
    main()
