"""PNG files as the tool writes them (kivtool.formats.png.png_bytes, made in
the tool's module): every one decodes, in Pillow and in pypng (which checks
each chunk's CRC), to the pixels it was made of; its chunks are in order and
well-formed; the compression levels keep their meaning."""

from __future__ import annotations

import io
import struct
import threading
import zlib

import numpy as np
import png as pypng
import pytest
from PIL import Image

from kivtool import _core
from kivtool.formats import png

SIZES = [(1, 1), (3, 5), (7, 2), (61, 43), (1, 300)]
LEVELS = [0, 1, 6, 9]


def sprite(width: int, height: int, channels: int, seed: int) -> np.ndarray:
    """Rows of runs of random colours beside transparent gaps, as rendered
    frames are."""
    rng = np.random.default_rng(seed)
    pixels = rng.integers(0, 256, (height, width, channels), dtype=np.uint8)
    pixels[rng.random((height, width)) < 0.4] = 0
    return pixels


def chunks(data: bytes) -> list[tuple[bytes, bytes]]:
    """The chunks of a PNG file, each checked for its CRC, up to IEND and
    nothing after it."""
    assert data[:8] == png.SIGNATURE
    found = []
    at = 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at : at + 4])
        kind, body = data[at + 4 : at + 8], data[at + 8 : at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length : at + 12 + length])
        assert crc == zlib.crc32(kind + body), kind
        found.append((kind, body))
        at += 12 + length
    assert at == len(data)
    return found


def pypng_rows(data: bytes) -> tuple[int, int, bytes, dict]:
    width, height, rows, info = pypng.Reader(bytes=data).read()
    return width, height, b"".join(bytes(row) for row in rows), info


@pytest.mark.parametrize("level", LEVELS, ids=[f"level {level}" for level in LEVELS])
@pytest.mark.parametrize("width, height", SIZES, ids=[f"{w}x{h}" for w, h in SIZES])
@pytest.mark.parametrize("text", [None, {"Software": "kivtool", "Comment": "caf\xe9"}], ids=["no text", "text"])
def test_rgba_files_decode_to_their_pixels(width, height, level, text):
    pixels = sprite(width, height, 4, width * 7 + height)
    data = png.png_bytes(pixels.tobytes(), width, height, level, text=text)
    kinds = [kind for kind, _ in chunks(data)]
    assert kinds == [b"IHDR"] + [b"tEXt"] * len(text or {}) + [b"IDAT", b"IEND"]
    assert chunks(data)[0][1] == struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    with Image.open(io.BytesIO(data)) as image:
        assert (image.mode, image.size) == ("RGBA", (width, height))
        assert np.array_equal(np.array(image), pixels)
        assert {key: image.info[key] for key in text or {}} == (text or {})
    assert pypng_rows(data)[:3] == (width, height, pixels.tobytes())


PALETTES = {
    "palette": png.Palette(bytes(n % 256 for n in range(3 * 200))),
    "palette and tRNS": png.Palette(bytes(range(255, -1, -1)) * 3, bytes([0, 128])),
    "full tRNS": png.Palette(bytes(3 * 256), bytes(range(256))),
}


@pytest.mark.parametrize("level", LEVELS, ids=[f"level {level}" for level in LEVELS])
@pytest.mark.parametrize("width, height", SIZES, ids=[f"{w}x{h}" for w, h in SIZES])
@pytest.mark.parametrize("palette", PALETTES.values(), ids=PALETTES.keys())
def test_palette_files_decode_to_their_indices_and_colours(width, height, level, palette):
    entries = len(palette.rgb) // 3
    indices = (sprite(width, height, 1, width + height)[..., 0].astype(np.int64) % entries).astype(np.uint8)
    data = png.png_bytes(indices.tobytes(), width, height, level, palette=palette, text={"k": "v"})
    found = chunks(data)
    assert [kind for kind, _ in found] == [b"IHDR", b"tEXt", b"PLTE"] + [b"tRNS"] * bool(palette.alpha) + [
        b"IDAT",
        b"IEND",
    ]
    assert found[0][1] == struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0)
    table = np.full((entries, 4), 255, dtype=np.uint8)
    table[:, :3] = np.frombuffer(palette.rgb, dtype=np.uint8).reshape(-1, 3)
    table[: len(palette.alpha), 3] = np.frombuffer(palette.alpha, dtype=np.uint8)
    with Image.open(io.BytesIO(data)) as image:
        assert (image.mode, image.size) == ("P", (width, height))
        assert np.array_equal(np.array(image), indices)
        assert np.array_equal(np.array(image.convert("RGBA")), table[indices])
    _, _, rows, info = pypng_rows(data)
    assert rows == indices.tobytes()
    assert [tuple(entry) for entry in info["palette"]] == [
        tuple(entry) for entry in table[:, : 4 if palette.alpha else 3]
    ]


def test_level_0_stores_the_rows_and_9_is_no_larger_than_1():
    width, height = 96, 80
    pixels = sprite(width, height, 4, 29).tobytes()
    sizes = {level: len(png.png_bytes(pixels, width, height, level)) for level in range(10)}
    raw = (width * 4 + 1) * height
    # Stored blocks add 5 bytes per 64 KiB, the zlib stream 6, the chunks 57.
    assert raw < sizes[0] < raw + 100
    assert sizes[9] <= sizes[6] <= sizes[1] < raw * 0.9


@pytest.mark.parametrize(
    "arguments, cause",
    [
        ({"level": -1}, "level"),
        ({"level": 10}, "level"),
        ({"palette_rgb": bytes(3 * 257)}, "palette"),
        ({"palette_rgb": bytes(4)}, "palette"),
        ({"palette_rgb": bytes(6), "palette_alpha": bytes(3)}, "alpha"),
        ({"width": 0}, "side"),
        ({"height": -3}, "side"),
        ({"width": 2**40}, "side"),
        ({"width": 3}, "pixels"),
    ],
    ids=[
        "level below 0",
        "level above 9",
        "257 colours",
        "part of a colour",
        "alpha beyond",
        "no width",
        "negative height",
        "huge width",
        "pixels short",
    ],
)
def test_the_module_refuses_what_no_png_can_hold(arguments, cause):
    given = {"width": 2, "height": 2, **arguments}
    channels = 1 if given.get("palette_rgb") else 4
    with pytest.raises(ValueError, match=cause):
        _core.png_file(bytes(channels * 4), **given)


def test_a_buffer_that_is_not_contiguous_bytes_is_refused():
    strided = memoryview(bytes(32))[::2]
    with pytest.raises(ValueError, match="contiguous"):
        _core.png_file(strided, 2, 2)


def test_threads_writing_at_once_each_get_their_own_file():
    # Compression runs without the interpreter lock: threads writing at
    # different levels at the same time must not share a compressor's state.
    images = [(sprite(40 + n, 30, 4, n).tobytes(), 40 + n, 30, n % 10) for n in range(16)]
    expected = [png.png_bytes(*image) for image in images]
    results: list[list[bytes]] = [[] for _ in range(4)]

    def write(slot: int) -> None:
        for _ in range(5):
            results[slot].append(b"".join(png.png_bytes(*image) for image in images))

    threads = [threading.Thread(target=write, args=(slot,)) for slot in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(result == [b"".join(expected)] * 5 for result in results)
