"""Measures `kivtool import STRIP --grid WxH` on a strip of 64 cells against
Pillow opening the strip and cropping it into the same 64 cells.

    python bench/bench_grid.py [--repeat R]

(needs the tool's extra: pip install ".[tool]")

The strip is 64 cells of 48 x 64 side by side (3072 x 64), each cell a
sprite: about 60 % of its pixels painted with random colours of a palette of
256 opaque colours. It is written twice, as an RGBA PNG and as a palette PNG
with the animation's palette (read by index). For each, in interleaved
rounds, best of R:

  crop     Pillow opens the strip, decodes it and crops every cell (each
           crop loaded): the floor of any import of the strip.
  import   the whole command, `kivtool import STRIP --grid 48x64 --trim -o
           OUT --palette PAL --project-root ROOT`: decode, cut, trim, map
           pixels to the palette, encode, write, load the written file and
           compare every frame.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import random
import sys
import tempfile
from pathlib import Path
from typing import Dict, List

import numpy as np
from PIL import Image

from kivtool import cli

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import kivmodel  # noqa: E402
from bench_import import best_of_rounds  # noqa: E402

CELLS, CELL_WIDTH, CELL_HEIGHT = 64, 48, 64
SEED = 20261211


def make_strip(rng: random.Random, colors: List[tuple[int, int, int, int]]) -> np.ndarray:
    """Palette indices of the strip; index 0 is the transparent entry."""
    generator = np.random.default_rng(rng.randrange(2**32))
    values = generator.integers(1, len(colors), size=(CELL_HEIGHT, CELLS * CELL_WIDTH), dtype=np.uint8)
    values[generator.random(values.shape) > 0.6] = 0
    return values


def crop(path: Path) -> List[Image.Image]:
    cells = []
    with Image.open(path) as image:
        image.load()
        for i in range(CELLS):
            cell = image.crop((i * CELL_WIDTH, 0, (i + 1) * CELL_WIDTH, CELL_HEIGHT))
            cell.load()
            cells.append(cell)
    return cells


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=9)
    repeat = parser.parse_args().repeat
    rng = random.Random(SEED)
    colors = [(0, 0, 0, 0)] + [(rng.randrange(256), rng.randrange(256), rng.randrange(256), 255) for _ in range(255)]

    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        (root / "pal").mkdir()
        palette = root / "pal" / "strip.pal"
        palette.write_bytes(kivmodel.palette_file(colors))
        values = make_strip(rng, colors)
        rgba_path = root / "strip_rgba.png"
        Image.fromarray(np.array(colors, dtype=np.uint8)[values]).save(rgba_path)
        paletted_path = root / "strip_paletted.png"
        paletted = Image.frombytes("P", (values.shape[1], values.shape[0]), values.astype(np.uint8).tobytes())
        paletted.putpalette([c for color in colors for c in color[:3]])
        paletted.save(paletted_path, transparency=bytes(color[3] for color in colors))
        out = root / "anim" / "strip.kiv"
        results: Dict[str, Dict[str, float]] = {}
        for kind, path, extra in (
            ("RGBA", rgba_path, []),
            ("palette PNG", paletted_path, ["--transparent-index", "0"]),
        ):
            argv = ["import", str(path), "--grid", f"{CELL_WIDTH}x{CELL_HEIGHT}", "--trim", "-o", str(out)]
            argv += ["--palette", str(palette), "--project-root", str(root), *extra]

            def run_import(argv: List[str] = argv) -> None:
                with contextlib.redirect_stdout(io.StringIO()):
                    if cli.main(argv) != 0:
                        raise SystemExit("bench: import failed")

            run_import()
            results[kind] = best_of_rounds(repeat, {"crop": lambda path=path: crop(path), "import": run_import})

    print(f"{CELLS} cells of {CELL_WIDTH} x {CELL_HEIGHT} in one strip, best of {repeat} interleaved rounds:")
    for kind, times in results.items():
        print(
            f"  {kind:12} Pillow open + crop {times['crop'] * 1e3:7.2f} ms   "
            f"kivtool import --grid {times['import'] * 1e3:7.2f} ms   ratio {times['import'] / times['crop']:.2f}×"
        )


if __name__ == "__main__":
    main()
