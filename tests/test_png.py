"""PNG files read by the tool's core (`kivtool._core.read_png`, and
`PaletteLookup.map_png`, which maps the pixels as it decodes them): every
mode it decodes against Pillow's decoding of the same file, each row filter,
and damaged files, which are refused with their cause before anything is
decoded wrongly. Every file is made here, with zlib."""

from __future__ import annotations

import io
import re
import struct
import zlib
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import numpy as np
import pytest
from child_process import no_address_space_limit, run_child
from PIL import Image

from kivtool import _core
from kivtool.formats import ImportRefused, images
from kivtool.palette_index import PaletteIndex

SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}
MODES = {0: "L", 2: "RGB", 4: "LA", 6: "RGBA"}


def chunk(kind: bytes, data: bytes, crc: Optional[int] = None) -> bytes:
    if crc is None:
        crc = zlib.crc32(kind + data)
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)


def ihdr(width: int, height: int, color_type: int = 6, depth: int = 8, interlace: int = 0) -> bytes:
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, color_type, 0, 0, interlace))


def paeth(a: int, b: int, c: int) -> int:
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def filter_rows(samples: np.ndarray, bpp: int, filters: Sequence[int]) -> bytes:
    height, stride = samples.shape
    out = bytearray()
    previous = [0] * stride
    for y in range(height):
        row = [int(v) for v in samples[y]]
        kind = filters[y % len(filters)]
        out.append(kind)
        for i, value in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = previous[i]
            c = previous[i - bpp] if i >= bpp else 0
            predictor = [0, a, b, (a + b) // 2, paeth(a, b, c)][kind]
            out.append((value - predictor) & 0xFF)
        previous = row
    return bytes(out)


def png_file(
    samples: np.ndarray,
    color_type: int,
    filters: Sequence[int] = (0,),
    before: Sequence[bytes] = (),
    idat_pieces: int = 1,
) -> bytes:
    """A PNG of 8-bit `samples` (height x width x channels), rows filtered
    as `filters` says, `before` the chunks between IHDR and the image data,
    which is split into `idat_pieces` IDAT chunks."""
    height, width, channels = samples.shape
    stream = zlib.compress(filter_rows(samples.reshape(height, -1), channels, filters), 6)
    cut = [len(stream) * i // idat_pieces for i in range(idat_pieces + 1)]
    idats = [chunk(b"IDAT", stream[cut[i] : cut[i + 1]]) for i in range(idat_pieces)]
    return SIGNATURE + ihdr(width, height, color_type) + b"".join(before) + b"".join(idats) + chunk(b"IEND", b"")


def pillow_rgba(data: bytes) -> np.ndarray:
    with Image.open(io.BytesIO(data)) as image:
        return np.asarray(image.convert("RGBA"))


def core_rgba(data: bytes) -> np.ndarray:
    read = _core.read_png(data, 1 << 40)
    assert read.pixels is not None
    return np.frombuffer(read.pixels, dtype=np.uint8).reshape(read.height, read.width, 4)


def sample_image(channels: int, width: int = 13, height: int = 7, seed: int = 5) -> np.ndarray:
    rng = np.random.default_rng(seed)
    # A few values, so that the colour keys below match some pixels.
    return rng.choice(np.array([0, 1, 17, 128, 254, 255], dtype=np.uint8), size=(height, width, channels))


@pytest.mark.parametrize("color_type", [0, 2, 4, 6], ids=["grey", "rgb", "grey-alpha", "rgba"])
@pytest.mark.parametrize(
    "filters",
    [(0,), (1,), (2,), (3,), (4,), (0, 1, 2, 3, 4)],
    ids=["none", "sub", "up", "average", "paeth", "mixed"],
)
def test_every_mode_and_filter_decodes_as_pillow_decodes_it(color_type, filters):
    data = png_file(sample_image(CHANNELS[color_type]), color_type, filters)
    assert np.array_equal(core_rgba(data), pillow_rgba(data))


@pytest.mark.parametrize(
    "color_type, key",
    [
        (0, struct.pack(">H", 17)),
        (0, struct.pack(">H", 300)),  # no 8-bit grey equals it
        (2, struct.pack(">HHH", 17, 128, 255)),
        (2, struct.pack(">HHH", 0, 0, 0)),
    ],
    ids=["grey-key", "grey-key-beyond-8-bits", "rgb-key", "rgb-key-black"],
)
def test_a_colour_key_makes_its_pixels_transparent_as_pillow_does(color_type, key):
    samples = sample_image(CHANNELS[color_type], seed=9)
    samples[0, 0] = [17, 128, 255][: CHANNELS[color_type]]
    samples[0, 1] = 0
    data = png_file(samples, color_type, (4, 1), before=[chunk(b"tRNS", key)])
    got = core_rgba(data)
    assert np.array_equal(got, pillow_rgba(data))
    if color_type == 2 and key == struct.pack(">HHH", 17, 128, 255):
        assert got[0, 0, 3] == 0


@pytest.mark.parametrize(
    "write",
    [
        lambda image, out: image.save(out, "PNG"),
        lambda image, out: image.save(out, "PNG", optimize=True),
        lambda image, out: image.save(out, "PNG", compress_level=0),
    ],
    ids=["pillow-default", "pillow-optimize", "pillow-stored"],
)
@pytest.mark.parametrize("mode", ["RGBA", "RGB", "L", "LA"])
def test_files_pillow_writes_come_back_exactly(mode, write):
    pixels = np.random.default_rng(3).integers(0, 256, size=(70, 300, 4), dtype=np.uint8)
    pixels[:, :150] = pixels[0, 0]  # a run that filters and compresses well
    buffer = io.BytesIO()
    write(Image.fromarray(pixels).convert(mode), buffer)
    data = buffer.getvalue()
    assert np.array_equal(core_rgba(data), pillow_rgba(data))


def test_image_data_split_among_many_idat_chunks_is_gathered():
    samples = sample_image(4, 40, 30)
    data = png_file(samples, 6, (4,), idat_pieces=7)
    assert data.count(b"IDAT") == 7
    assert np.array_equal(core_rgba(data), samples)


@pytest.mark.parametrize(
    "data, decodable",
    [
        (png_file(sample_image(4), 6), True),
        (
            SIGNATURE
            + ihdr(2, 2, 3)
            + chunk(b"PLTE", bytes(6))
            + chunk(b"IDAT", zlib.compress(bytes(6)))
            + chunk(b"IEND", b""),
            False,
        ),
        (SIGNATURE + ihdr(2, 2, 6, depth=16) + chunk(b"IDAT", zlib.compress(bytes(34))) + chunk(b"IEND", b""), False),
        (
            SIGNATURE + ihdr(2, 2, 6, interlace=1) + chunk(b"IDAT", zlib.compress(bytes(30))) + chunk(b"IEND", b""),
            False,
        ),
        (png_file(sample_image(1), 0, before=[chunk(b"tRNS", b"\0")]), False),
    ],
    ids=["rgba-8", "palette", "16-bit", "interlaced", "odd-key-length"],
)
def test_kinds_the_core_does_not_decode_are_checked_and_left_to_the_other_route(data, decodable):
    read = _core.read_png(data, 1 << 40)
    assert read.decodable is decodable
    assert (read.pixels is not None) is decodable


def test_an_apng_reports_its_frames_and_is_not_decoded():
    actl = chunk(b"acTL", struct.pack(">II", 3, 0))
    data = png_file(sample_image(4), 6, before=[actl])
    read = _core.read_png(data, 1 << 40)
    assert (read.frames, read.pixels) == (3, None)


def test_an_image_over_the_pixel_limit_is_not_decoded():
    read = _core.read_png(png_file(sample_image(4, 10, 10), 6), 99)
    assert (read.width, read.height, read.pixels) == (10, 10, None)


# --------------------------------------------------------------------------
# Damaged files


def with_chunk(data: bytes, kind: bytes, change) -> bytes:
    """`data` with the first chunk of `kind` replaced by change(length,
    type, body, crc) -> bytes."""
    at = data.index(kind) - 4
    length = struct.unpack(">I", data[at : at + 4])[0]
    body = data[at + 8 : at + 8 + length]
    crc = data[at + 8 + length : at + 12 + length]
    return data[:at] + change(length, kind, body, crc) + data[at + 12 + length :]


def idat_of(raw: bytes) -> bytes:
    return chunk(b"IDAT", zlib.compress(raw))


GOOD = png_file(sample_image(4, 6, 4), 6, (0, 4), before=[chunk(b"tEXt", b"Comment\0hello")])
ROW = 1 + 6 * 4  # a row of GOOD: its filter byte and 6 RGBA pixels


def damaged_cases() -> List[Tuple[str, bytes, str]]:
    def flip_crc(length, kind, body, crc):
        return struct.pack(">I", length) + kind + body + bytes([crc[0] ^ 1]) + crc[1:]

    def flip_body(length, kind, body, crc):
        return struct.pack(">I", length) + kind + bytes([body[0] ^ 1]) + body[1:] + crc

    head = SIGNATURE + ihdr(6, 4)
    end = chunk(b"IEND", b"")
    rows = bytes(ROW * 4)
    return [
        ("crc-of-idat", with_chunk(GOOD, b"IDAT", flip_crc), r"Checksum error in IDAT chunk"),
        ("data-of-idat", with_chunk(GOOD, b"IDAT", flip_body), r"Checksum error in IDAT chunk"),
        ("crc-of-ancillary-text", with_chunk(GOOD, b"tEXt", flip_crc), r"Checksum error in tEXt chunk"),
        ("crc-of-iend", GOOD[:-1] + bytes([GOOD[-1] ^ 1]), r"Checksum error in IEND chunk"),
        ("cut-in-idat", GOOD[: GOOD.index(b"IDAT") + 10], r"it is cut short \(it ends before its IEND chunk\)"),
        ("no-iend", GOOD[: -len(end)], r"it is cut short"),
        ("cut-in-signature", GOOD[:5], r"does not start with the PNG signature"),
        ("length-beyond-2-31", head + b"\xff\xff\xff\xfftEXt", r"tEXt chunk's length is above 2\^31 - 1"),
        ("type-not-letters", head + chunk(b"tE1t", b"") + idat_of(rows) + end, r"type is not four letters"),
        (
            "bad-filter-type",
            head + idat_of(rows[:ROW] + b"\x05" + rows[ROW + 1 :]) + end,
            r"a row has filter type 5, which is none of 0 to 4",
        ),
        ("inflates-short", head + idat_of(rows[:-1]) + end, r"inflates to fewer bytes than its 4 rows need"),
        ("inflates-long", head + idat_of(rows + b"\0") + end, r"inflates to more bytes than its 4 rows hold"),
        ("not-a-zlib-stream", head + chunk(b"IDAT", b"\x78\x9c" + bytes(20)) + end, r"damaged \(it does not inflate\)"),
        (
            "adler-32-wrong",
            head + chunk(b"IDAT", zlib.compress(rows)[:-1] + b"\0") + end,
            r"damaged \(it does not inflate\)",
        ),
        ("ihdr-not-first", SIGNATURE + chunk(b"tEXt", b"a\0b") + GOOD[8:], r"the first chunk is tEXt, not IHDR"),
        ("second-ihdr", head + ihdr(6, 4) + idat_of(rows) + end, r"a second IHDR chunk"),
        ("ihdr-short", SIGNATURE + chunk(b"IHDR", bytes(12)) + idat_of(rows) + end, r"IHDR chunk holds 12 bytes"),
        ("zero-width", SIGNATURE + ihdr(0, 4) + idat_of(rows) + end, r"size of 0 x 4"),
        ("bad-depth", SIGNATURE + ihdr(6, 4, 2, depth=4) + idat_of(rows) + end, r"bit depth 4, which colour type 2"),
        ("bad-colour-type", SIGNATURE + ihdr(6, 4, 5) + idat_of(rows) + end, r"colour type 5, which is none"),
        (
            "idat-interrupted",
            head
            + chunk(b"IDAT", zlib.compress(rows)[:5])
            + chunk(b"tEXt", b"a\0b")
            + chunk(b"IDAT", zlib.compress(rows)[5:])
            + end,
            r"its IDAT chunks are not one after another",
        ),
        (
            "plte-after-idat",
            SIGNATURE + ihdr(6, 4, 3) + chunk(b"PLTE", bytes(3)) + idat_of(bytes(28)) + chunk(b"PLTE", bytes(3)) + end,
            r"a second PLTE chunk",
        ),
        (
            "plte-only-after-idat",
            head + idat_of(rows) + chunk(b"PLTE", bytes(3)) + end,
            r"its PLTE chunk comes after the image data",
        ),
        (
            "palette-without-plte",
            SIGNATURE + ihdr(6, 4, 3) + idat_of(bytes(28)) + end,
            r"a palette image without a PLTE",
        ),
        ("no-idat", head + end, r"it holds no image data"),
    ]


@pytest.mark.parametrize("data, cause", [case[1:] for case in damaged_cases()], ids=[c[0] for c in damaged_cases()])
def test_a_damaged_png_is_refused_with_its_cause(tmp_path, data, cause):
    with pytest.raises(ValueError, match=cause):
        _core.read_png(data, 1 << 40)
    lookup = PaletteIndex([(0, 0, 0, 255)])
    with pytest.raises(ValueError, match=cause):
        lookup.lookup_png(data, 6, 4)
    # As the import names it.
    path = tmp_path / "d.png"
    path.write_bytes(data)
    if data.startswith(SIGNATURE + b"\0\0\0\x0dIHDR"):
        with pytest.raises(ImportRefused, match=r"d\.png: cannot read the image: a damaged PNG file: .*" + cause):
            images.read_decoded(path)


def test_the_good_file_of_the_damaged_cases_reads():
    assert core_rgba(GOOD).shape == (4, 6, 4)


# --------------------------------------------------------------------------
# Mapped as decoded


@pytest.mark.parametrize("color_type", [0, 2, 4, 6], ids=["grey", "rgb", "grey-alpha", "rgba"])
def test_mapping_while_decoding_gives_what_mapping_the_decoded_image_gives(color_type):
    samples = sample_image(CHANNELS[color_type], 31, 9, seed=11)
    data = png_file(samples, color_type, (4, 0, 1))
    rgba = core_rgba(data)
    words = np.unique(rgba.reshape(-1, 4), axis=0)
    palette = PaletteIndex([tuple(int(v) for v in w) for w in words[::2]] or [(1, 2, 3, 4)])
    expected = palette.lookup(rgba)
    got = palette.lookup_png(data, 31, 9)
    for want, have in zip(expected[:3], got[:3]):
        assert np.array_equal(want, have)
    assert expected[3] == got[3] and got[3] > 0


def test_import_reads_a_frame_mapped_as_decoded_and_one_with_missing_colours(tmp_path):
    """A frame whose colours are all in the palette is mapped as it is
    decoded; one with a colour the palette lacks is decoded whole to name
    the pixel."""
    pixels = np.zeros((3, 4, 4), dtype=np.uint8)
    pixels[1, 2] = (10, 20, 30, 255)
    path = tmp_path / "f.png"
    path.write_bytes(png_file(pixels, 6))
    decoded = images.read_source(path)
    assert isinstance(decoded, images.EncodedPng)
    assert np.array_equal(decoded.rgba(), pixels)
    assert np.array_equal(images.read_image(path), pixels)


# --------------------------------------------------------------------------
# The pixel limit comes before any memory for the pixels


@no_address_space_limit
def test_a_header_far_over_the_pixel_limit_is_refused_before_any_allocation(tmp_path):
    """A file of a few bytes declares 60000 x 60000 pixels (14 GB as RGBA):
    refused by the pixel limit under an address-space limit of 1 GiB, the
    core allocating nothing for its pixels; allowed, it is a MemoryError."""
    path = tmp_path / "huge.png"
    path.write_bytes(SIGNATURE + ihdr(60000, 60000) + idat_of(b"\0" * 100) + chunk(b"IEND", b""))
    result = run_child(
        f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        from pathlib import Path
        from kivtool import _core
        from kivtool.formats import images, ImportRefused
        data = Path({str(path)!r}).read_bytes()
        try:
            images.read_decoded(Path({str(path)!r}))
            refused = None
        except ImportRefused as error:
            refused = str(error)
        read = _core.read_png(data, 64_000_000)
        try:  # allowed, it asks for more memory than there is: refused, not a crash
            _core.read_png(data, 1 << 40)
            unlimited = "decoded"
        except MemoryError:
            unlimited = "MemoryError"
        report(refused=refused, pixels=read.pixels, size=[read.width, read.height], unlimited=unlimited)
        """,
        timeout=120,
    )
    assert result["pixels"] is None and result["size"] == [60000, 60000]
    assert result["unlimited"] == "MemoryError"
    assert re.search(r"huge\.png: 60000 × 60000 is 3,600,000,000 pixels, more than the", result["refused"])


def test_an_image_within_the_limit_whose_data_is_short_is_refused_not_padded(tmp_path):
    path = tmp_path / "short.png"
    path.write_bytes(SIGNATURE + ihdr(100, 100) + idat_of(b"\0" * 100) + chunk(b"IEND", b""))
    with pytest.raises(ImportRefused, match=r"inflates to fewer bytes than its 100 rows need"):
        images.read_decoded(Path(path))
