"""What every writer of an export form shares: the options that choose what
is written, the time spent, the error that stops one animation's export,
the memory check made before a large image is composed, and the writing of
a PNG or JSON file whole."""

from __future__ import annotations

import json
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from PIL import Image

from kivtool.animation import Animation
from kivtool.files import replace_file
from kivtool.formats import png
from kivtool.memory import memory_budget

DEFAULT_FORM = "frames"


SHADOWS_AUTO = "auto"


SHADOWS_UNDER = "under"


SHADOWS_AS_STEPS = "steps"


class ExportError(Exception):
    """An animation that cannot be written in a requested form."""


@dataclass
class Options:
    forms: List[str] = field(default_factory=lambda: [DEFAULT_FORM])
    fps: float = 10.0
    shadows: str = "auto"  # SHADOWS_UNDER, SHADOWS_AS_STEPS, or SHADOWS_AUTO: under when they pair
    scale: int = 1
    png_compression: int = 6
    # Palette PNGs instead of RGBA (frames and sheet only), and the indices
    # that unpainted and shadow pixels take there (None: chosen from the file).
    indexed: bool = False
    transparent_index: Optional[int] = None
    shadow_index: Optional[int] = None


@dataclass
class Timings:
    """Seconds spent, added up over calls: placing frames on canvases, and
    encoding and writing image files."""

    compose: float = 0.0
    encode: float = 0.0


def duration_ms(options: Options) -> int:
    return max(1, round(1000 / options.fps))


def check_memory(animation: Animation, what: str, needed: int) -> None:
    """Refuses, before anything is allocated, work that needs more memory
    than this process may use (`memory.memory_budget`)."""
    budget = memory_budget()
    if budget is not None and needed > budget:
        raise ExportError(
            f"{animation.path}: refused: {what} would take {needed / 2**20:,.0f} MiB of memory, more than "
            f"the {budget / 2**20:,.0f} MiB this process may use"
        )


def save_png(
    target: Path,
    pixels: Any,
    size: Tuple[int, int],
    options: Options,
    timings: Timings,
    palette: Optional[png.Palette] = None,
    text: Optional[Dict[str, str]] = None,
) -> Path:
    """Writes RGBA `pixels` as PNG, or with `palette` one palette index per
    pixel as a palette PNG; `text` goes into text chunks."""
    start = time.perf_counter()
    try:
        png.write_png(target, pixels, size[0], size[1], options.png_compression, palette, text)
    except OSError as error:
        raise ExportError(f"{target}: cannot write: {error.strerror or error}") from None
    timings.encode += time.perf_counter() - start
    return target


def save_image_png(image: Image.Image, target: Path, options: Options, timings: Timings) -> Path:
    return save_png(target, image.tobytes(), image.size, options, timings)


def write_description(json_path: Path, description: Dict[str, Any]) -> Path:
    try:
        contents = (json.dumps(description, indent=1) + "\n").encode("utf-8")
        replace_file(json_path, contents)
    except OSError as error:
        raise ExportError(f"{json_path}: cannot write: {error.strerror or error}") from None
    return json_path
