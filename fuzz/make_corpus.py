"""Writes seed inputs for fuzz_load_save into a directory.

    python3 fuzz/make_corpus.py OUT_DIR [COUNT]

The seeds are animation files made from random well-formed records with the
tests' model of the format (tests/kivmodel.py): with and without the prefix
and its background frame, shadow frames and frames after them, tall frames,
files cut at field boundaries, a prefix whose has_background byte is 0, and
a few hand-made edge cases. The same seed numbers give the same files.
"""

from __future__ import annotations

import hashlib
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import kivmodel as km  # noqa: E402


def seeds(count: int):
    rng = random.Random(20240917)
    for n in range(count):
        kind = n % 6
        if kind == 0:
            anim = km.random_animation(rng)
        elif kind == 1:
            anim = km.random_animation(rng, background=True)
        elif kind == 2:
            anim = km.random_animation(rng, shadow=True, max_frames=3)
        elif kind == 3:
            anim = km.random_animation(rng, shadow=None, max_frames=6, max_size=6)
        else:
            anim = km.random_animation(rng, background=rng.random() < 0.5)
        data = km.encode_animation(anim, anim.location)
        if kind == 4:
            # Cut at a field boundary, or anywhere.
            if rng.random() < 0.7:
                data = data[: rng.choice(km.field_boundaries(data))]
            else:
                data = data[: rng.randint(0, len(data))]
        elif kind == 5 and not anim.has_background:
            # The prefix without a background frame: it reads as no
            # background, and the writer leaves the prefix out.
            reserved = bytes(rng.randint(0, 255) for _ in range(4))
            data = km.MAGIC + reserved + km.u8(0) + data
        yield data

    # Edge cases in the header: an empty file, the magic alone, a location
    # longer than the file, a count beyond the frames present, a frame of the
    # largest size with no rows, and a background with a wrapped count.
    yield b""
    yield km.MAGIC
    yield km.MAGIC + bytes(4) + km.u8(1)
    yield km.u32(100) + km.u32(0xFFFFFFFF) + b"pal/x.pal"
    yield km.animation_file(7, b"pal/a.pal\0", [], count=1000)
    yield km.animation_file(7, b"\0", [km.frame_record(0, 0x7FFF, 0xFFFF, 0, 0, 0, 0, [], False)])
    yield km.animation_file(7, b"\0", [km.frame_record(0, 0x80FF, 0xFFFF, -1, -1, 0, 0, [], True)])
    yield km.animation_file(7, b"\0", [], prefix=True, has_background_byte=1, count=0xFFFFFFFF)


def main() -> None:
    if len(sys.argv) not in (2, 3):
        raise SystemExit(__doc__)
    out = Path(sys.argv[1])
    count = int(sys.argv[2]) if len(sys.argv) == 3 else 300
    out.mkdir(parents=True, exist_ok=True)
    written = set()
    for data in seeds(count):
        name = hashlib.sha1(data).hexdigest()
        if name not in written:
            (out / name).write_bytes(data)
            written.add(name)
    print(f"{len(written)} seeds in {out}")


if __name__ == "__main__":
    main()
