"""Measures `kivtool import` on the benchmarks' sprite workload
(bench/workload.py: 48 frames of 320 x 240, runs of 4 to 60 random palette
indices covering about 60 % of each row, 256 colours), against decoding the
same frames' PNG files with Pillow.

    python bench/bench_import.py [--repeat R]

(needs the tool's extra: pip install ".[tool]")

The frames are rendered by pykiv and written as one PNG each, twice: as
`kivtool export --as frames` writes them (rows unfiltered, zlib level 6),
and by Pillow (rows filtered, as most image programs write them), which
take longer to decode. For each set, in interleaved rounds, best of R:

  decode   Pillow opens and decodes every frame PNG: the floor of any import
           that starts from these files.
  import   the whole command, `kivtool import FRAMES... -o OUT --palette PAL
           --project-root ROOT`: decode, map pixels to the palette, encode,
           write, load the written file through the core and compare every
           frame.
  encode   the part of import after the decode (the same steps on frames
           already decoded): what the tool adds to reading the images. The
           whole command holds the decode itself, so it takes at least
           1 + this ratio.

Target: the whole import at most 1.0 times decode. Each ratio is given as
the best of each contender's rounds, and, for the spread, per round (low,
median, high), as the two ran side by side.

A breakdown of one import by step follows (the files as export writes
them), each step the best of R alone. The import reads each PNG through the
core, which checks every chunk, inflates with libdeflate and maps the rows
to palette indices as it unfilters them; the breakdown shows that and the
decode to RGBA arrays apart.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import functools
import gc
import io
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

import pykiv  # type: ignore[import-not-found,unused-ignore]
from PIL import Image

from kivtool import _core, cli, importer
from kivtool.formats import images, png

sys.path.insert(0, str(Path(__file__).resolve().parent))
import workload  # noqa: E402


def timed(action: Callable[[], Any]) -> float:
    gc.collect()
    start = time.perf_counter()
    result = action()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def best_of_rounds(repeat: int, actions: Dict[str, Callable[[], Any]]) -> Dict[str, List[float]]:
    """Each action once per round, in turn; the times of each, round by round."""
    times: Dict[str, List[float]] = {name: [] for name in actions}
    for _ in range(repeat):
        for name, action in actions.items():
            times[name].append(timed(action))
    return times


def spread(times: Dict[str, List[float]], name: str) -> str:
    """The ratio of `name` to decode in each round (the two ran side by
    side): its lowest, median and highest, to show how noisy the run was."""
    ratios = sorted(a / b for a, b in zip(times[name], times["decode"]))
    return f"per round {ratios[0]:.2f} / {ratios[len(ratios) // 2]:.2f} / {ratios[-1]:.2f} (low / median / high)"


def decode(paths: List[Path]) -> List[Image.Image]:
    images: List[Image.Image] = []
    for path in paths:
        with Image.open(path) as image:
            image.load()
            images.append(image)
    return images


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=9)
    repeat = parser.parse_args().repeat

    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        sprite = workload.build(root)
        animation, palette = sprite.animation, sprite.palette
        kiv = pykiv.KivF()
        if kiv.load(str(animation), 0, str(palette)) is None:
            raise SystemExit("bench: the generated animation did not load")
        rendered = kiv.get_frame_buffer()
        writers: Dict[str, Callable[[Any, Path], None]] = {
            "as export writes them": lambda frame, path: png.write_png(path, frame.pixels, frame.width, frame.height),
            "as Pillow writes them": lambda frame, path: Image.frombytes(
                "RGBA", (frame.width, frame.height), frame.pixels
            ).save(path),
        }
        out = root / "anim" / "imported.kiv"
        results: Dict[str, Dict[str, List[float]]] = {}
        inputs: Dict[str, Tuple[List[Path], List[images.SourceFrame]]] = {}
        for kind, write in writers.items():
            frames_dir = root / kind.replace(" ", "_")
            frames_dir.mkdir()
            paths = []
            for index, frame in enumerate(rendered):
                path = frames_dir / f"sprite_{index:03d}.png"
                write(frame, path)
                paths.append(path)
            argv = [*map(str, paths), "-o", str(out), "--palette", str(palette), "--project-root", str(root)]

            def run_import(argv: List[str] = argv) -> None:
                with contextlib.redirect_stdout(io.StringIO()):
                    if cli.main(["import", *argv]) != 0:
                        raise SystemExit("bench: import failed")

            run_import()
            check = pykiv.KivF()
            check.load(str(out))
            if [f.pixels for f in check.get_frame_buffer()] != [f.pixels for f in rendered]:
                raise SystemExit("bench: the imported animation renders differently")

            # The frames decoded once, for the steps after the decode.
            sources = [
                dataclasses.replace(s, read=functools.partial(images.identity, images.read_image(path)))
                for s, path in zip(importer.image_frames(paths, None, [], None), paths)
            ]

            def encode_only(sources: List[images.SourceFrame] = sources) -> None:
                importer.import_animation(sources, out, palette, root, speed=0, quantize=False)

            inputs[kind] = (paths, sources)
            results[kind] = best_of_rounds(
                repeat, {"decode": functools.partial(decode, paths), "import": run_import, "encode": encode_only}
            )
        # The step by step breakdown below is of the files as export writes them.
        paths, sources = inputs["as export writes them"]

        # One import step by step.
        palette_index = importer.load_palette(palette)
        plan = importer.plan_import(sources, palette_index, speed=0, quantize=False)
        contents = _core.encode(plan.frames, speed=0, location="sprite.pal", has_background=False, names=plan.names)
        out.write_bytes(contents)
        decoded = [s.read() for s in sources]

        steps: List[Tuple[str, Callable[[], Any]]] = [
            (
                "read and decode PNGs (core), as RGBA arrays",
                lambda: [images.read_image(path) for path in paths],
            ),
            (
                "read, decode and map PNGs as one (core)",
                lambda: [
                    palette_index.lookup_png(e.data, e.width, e.height)
                    for e in (images.read_source(path) for path in paths)
                    if isinstance(e, images.EncodedPng)
                ],
            ),
            (
                "palette file and stored location",
                lambda: (importer.load_palette(palette), importer.location_to_store(out, root, palette)),
            ),
            ("  of mapping: palette lookup of RGBA", lambda: [palette_index.lookup(image) for image in decoded]),
            (
                "map RGBA arrays to indices (all of it)",
                lambda: importer.plan_import(sources, palette_index, speed=0, quantize=False),
            ),
            (
                "encode runs and bytes",
                lambda: _core.encode(
                    plan.frames, speed=0, location="sprite.pal", has_background=False, names=plan.names
                ),
            ),
            ("write the file", lambda: out.write_bytes(contents)),
            ("  of verifying: load and render", lambda: _core.Animation(str(out), out.read_bytes()).render()),
            ("verify (load, compare every frame)", lambda: importer.verify(out, plan)),
        ]
        step_times = [(name, min(timed(action) for _ in range(repeat))) for name, action in steps]

    print(f"{sprite.describe()}; best of {repeat} interleaved rounds")
    for kind, times in results.items():
        best = {name: min(values) for name, values in times.items()}
        print(f"\nframe PNGs {kind}:")
        rows = [
            ("encode (import after the decode) vs decode", best["encode"] / best["decode"], "", "encode"),
            ("import (whole command, decode included) vs decode", best["import"] / best["decode"], "<= 1.0", "import"),
        ]
        for name, ratio, target, key in rows:
            print(f"  {name:<52} {ratio:6.2f}  {target:<7} {spread(times, key)}")
        print(f"  {', '.join(f'{name} {seconds * 1e3:.1f} ms' for name, seconds in best.items())}")
    print("\nwhere an import's time goes (each step alone, the files as export writes them):")
    for name, seconds in step_times:
        print(f"  {name:<42} {seconds * 1e3:7.1f} ms")


if __name__ == "__main__":
    main()
