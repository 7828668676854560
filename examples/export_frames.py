"""Exports every frame of an animation as a PNG.

    python examples/export_frames.py [ANIMATION] [--palette PAL] [--out DIR]

ANIMATION is loaded with pykiv; its palette is the one it names (searched
upwards from the animation's directory) unless --palette gives one. Each
rendered frame is written as DIR/<stem>_<index>.png (DIR defaults to
out/<animation stem>) and described in one line: index, size, offsets and
whether it is a shadow frame or the background frame. Frames of width or
height 0 get their line but no PNG, since there is no image to write.

Without ANIMATION the bundled sample (see make_sample.py) is written to
out/sample/ first and exported.

Each PNG is the frame alone, on a canvas of its own size; the offsets are
where the game places it and are not applied here.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import NoReturn

from PIL import Image

import pykiv

import make_sample  # this script's own directory is on sys.path


def fail(message: str) -> NoReturn:
    print(f"export_frames: {message}", file=sys.stderr)
    sys.exit(1)


def describe_failure(kiv: pykiv.KivF, animation: Path) -> str:
    # load() gives None both when nothing could be read and when nothing was
    # rendered; the records it did read tell the cases apart.
    if not animation.is_file():
        return f"cannot open {animation}"
    data = kiv.data()
    if not data.frames:
        return f"{animation} holds no frames"
    if not data.palette.colors():
        return (f"no usable palette for {animation} (it names {data.palette.location()!r}); "
                "see the ERROR lines above, or pass --palette")
    return f"nothing could be rendered from {animation}; see the ERROR lines above"


def export(animation: Path, palette: Path | None, out_dir: Path) -> None:
    kiv = pykiv.KivF()
    try:
        data = kiv.load(str(animation), io_pal=str(palette) if palette else "")
    except (RuntimeError, MemoryError) as error:  # filesystem errors, absurd sizes
        fail(f"cannot load {animation}: {error}")
    if data is None:
        fail(describe_failure(kiv, animation))

    # `kiv` stays alive while its records are used: they belong to it.
    frames = data.frames
    images = kiv.get_frame_buffer()
    out_dir.mkdir(parents=True, exist_ok=True)
    print(f"{animation}: {len(images)} frames, speed {data.info.speed}, "
          f"palette {data.palette.location()}")

    for index, (record, image) in enumerate(zip(frames, images)):
        if record.is_shadow:
            kind = "shadow"
        elif data.has_background and index == len(frames) - 1:
            kind = "background"  # stored after the counted frames
        else:
            kind = "normal"
        offsets = f"({image.offset_x:+d}, {image.offset_y:+d})"
        line = f"{index:3d}  {image.width:5d}x{image.height:<5d}  offset {offsets:<16}  {kind:<10}"
        if image.width == 0 or image.height == 0:
            print(f"{line}  (empty, no PNG)")
            continue
        target = out_dir / f"{animation.stem}_{index:03d}.png"
        Image.frombytes("RGBA", (image.width, image.height), image.pixels).save(target)
        print(f"{line}  {target}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("animation", nargs="?", type=Path,
                        help="animation file (default: write and export the bundled sample)")
    parser.add_argument("--palette", type=Path, help="palette file to use instead of the one the animation names")
    parser.add_argument("--out", type=Path, help="output folder (default: out/<animation stem>)")
    args = parser.parse_args(argv)

    animation = args.animation
    if animation is None:
        animation, palette_path = make_sample.write_sample(Path("out") / "sample")
        print(f"wrote sample {animation} and {palette_path}")
    export(animation, args.palette, args.out or Path("out") / animation.stem)


if __name__ == "__main__":
    main()
