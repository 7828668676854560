"""The PNG writer kivtool had before its own, kept as a contender for
bench/bench_batch.py: Pillow's PNG encoder (which tries a row filter for
every row) on an image made of the rendered pixels.

`export_file` is a batch worker that exports with it. It lives in a module of
its own so that worker processes can import it by name."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from kivtool import batch
from kivtool.formats import png


def write_png_with_pillow(target: Path, pixels: Any, width: int, height: int, level: int = 6) -> None:
    from PIL import Image

    Image.frombytes("RGBA", (width, height), bytes(pixels)).save(target, format="PNG", compress_level=level)


def export_file(*arguments: Any) -> batch.FileResult:
    png.write_png = write_png_with_pillow
    return batch.export_file(*arguments)
