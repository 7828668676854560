"""Writes seed inputs for fuzz_png_read into a directory.

    python3 fuzz/make_png_corpus.py OUT_DIR

Small PNG files made here with zlib: each colour type the reader decodes
and the ones it only checks (palette, 16-bit, interlaced), rows of every
filter type, image data in one IDAT chunk or several, ancillary chunks
(tEXt, a tRNS colour key, acTL), and a few damaged ones. The same run gives
the same files.
"""

from __future__ import annotations

import hashlib
import random
import struct
import sys
import zlib
from pathlib import Path

SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(rng: random.Random, color_type: int, depth: int = 8, interlace: int = 0, pieces: int = 1) -> bytes:
    width, height = rng.randint(1, 12), rng.randint(1, 12)
    row_bytes = (width * CHANNELS[color_type] * depth + 7) // 8
    # Filter bytes of every type (0-4); the samples after them are random, so
    # the filtered values are whatever they are: a decoder must take any.
    raw = b"".join(bytes([y % 5]) + bytes(rng.randrange(256) for _ in range(row_bytes)) for y in range(height))
    stream = zlib.compress(raw, rng.randint(0, 9))
    cut = [len(stream) * i // pieces for i in range(pieces + 1)]
    extra = [chunk(b"tEXt", b"Comment\0seed")]
    if color_type == 3:
        extra.append(chunk(b"PLTE", bytes(rng.randrange(256) for _ in range(3 * 4))))
    if color_type in (0, 2) and depth == 8:
        extra.append(chunk(b"tRNS", bytes(2 * CHANNELS[color_type])))
    if rng.random() < 0.2:
        extra.append(chunk(b"acTL", struct.pack(">II", 2, 0)))
    header = struct.pack(">IIBBBBB", width, height, depth, color_type, 0, 0, interlace)
    return (
        SIGNATURE
        + chunk(b"IHDR", header)
        + b"".join(extra)
        + b"".join(chunk(b"IDAT", stream[cut[i] : cut[i + 1]]) for i in range(pieces))
        + chunk(b"IEND", b"")
    )


def seeds():
    rng = random.Random(20261211)
    for color_type in (0, 2, 4, 6):
        for pieces in (1, 3):
            yield png(rng, color_type, pieces=pieces)
    yield png(rng, 3)
    yield png(rng, 6, depth=16)
    yield png(rng, 6, interlace=1)
    whole = png(rng, 6)
    yield whole[: len(whole) // 2]  # cut short
    damaged = bytearray(whole)
    damaged[whole.index(b"IDAT") + 6] ^= 0x10  # fails its CRC
    yield bytes(damaged)


def main() -> None:
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    written = 0
    for data in seeds():
        (out / hashlib.sha1(data).hexdigest()).write_bytes(data)
        written += 1
    print(f"{written} seeds in {out}")


if __name__ == "__main__":
    main()
