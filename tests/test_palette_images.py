"""kivtool palette import: palettes of old games and other programs (VGA
6-bit triples, RIFF palettes, .pal files told apart by their content) and
palettes taken from images (--from-image)."""

from __future__ import annotations

import re
import struct
from pathlib import Path

import kivmodel
import numpy as np
import pytest
from PIL import Image

from kivtool.cli import main
from kivtool.formats import palette


def kivtool(capsys, *args):
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out.splitlines(), err.splitlines()


def riff(entries: list[tuple[int, int, int, int]], before: bytes = b"", count: int | None = None) -> bytes:
    """A RIFF palette: entries are R, G, B, flags; `before` is chunks ahead
    of the data chunk."""
    body = struct.pack("<HH", 0x300, len(entries) if count is None else count) + bytes(
        v for entry in entries for v in entry
    )
    data = before + b"data" + struct.pack("<I", len(body)) + body
    return b"RIFF" + struct.pack("<I", 4 + len(data)) + b"PAL " + data


def chunk(name: bytes, body: bytes) -> bytes:
    return name + struct.pack("<I", len(body)) + body + b"\0" * (len(body) & 1)


VGA = bytes([0, 63, 32, 1, 2, 3]) + bytes(762)
FLAGGED = [(10, 20, 30, 0), (40, 50, 60, 1), (70, 80, 90, 4)]  # flags are PC_RESERVED, PC_NOCOLLAPSE: not alpha
OPAQUE = [(10, 20, 30, 255), (40, 50, 60, 255), (70, 80, 90, 255)]


@pytest.mark.parametrize(
    "name, content, args, colors",
    [
        pytest.param(
            "x.vga",
            VGA,
            ["--as", "vga6"],
            [(0, 255, 130, 255), (4, 8, 12, 255)] + [(0, 0, 0, 255)] * 254,
            id="vga6-scaled",
        ),
        pytest.param("x.pal", riff(FLAGGED), [], OPAQUE, id="riff-told-by-content"),
        pytest.param("x.bin", riff(FLAGGED), ["--as", "riff"], OPAQUE, id="riff-as"),
        pytest.param(
            "x.pal", riff(FLAGGED, before=chunk(b"LIST", b"odd")), [], OPAQUE, id="riff-chunk-before-data-padded"
        ),
        pytest.param("x.pal", kivmodel.palette_file(FLAGGED), [], FLAGGED, id="game-told-by-size"),
    ],
)
def test_palette_files_of_old_games_and_other_programs(tmp_path, capsys, name, content, args, colors):
    source = tmp_path / name
    source.write_bytes(content)
    status, _, err = kivtool(capsys, "palette", "import", source, "-o", tmp_path / "out.pal", *args)
    assert (status, err) == (0, [])
    assert (tmp_path / "out.pal").read_bytes() == kivmodel.palette_file(colors)


@pytest.mark.parametrize(
    "name, content, args, message",
    [
        pytest.param(
            "x.pal",
            VGA,
            [],
            r"x\.pal: 768 bytes, neither a JASC, a RIFF nor a game palette; .*--as act .*--as vga6",
            id="raw-pal-names-act-and-vga6",
        ),
        pytest.param(
            "x.pal",
            kivmodel.palette_file(OPAQUE) + b"\0",
            [],
            r"x\.pal: neither a JASC, a RIFF nor a game palette; .*--as act .*--as vga6",
            id="game-size-wrong",
        ),
        pytest.param(
            "x.vga", bytes([64]) + bytes(767), ["--as", "vga6"], r"x\.vga: entry 0 has 64, more than", id="vga6-over-63"
        ),
        pytest.param("x.vga", bytes(772), ["--as", "vga6"], r"x\.vga: not a VGA palette: one has 768", id="vga6-size"),
        pytest.param(
            "x.pal", riff(FLAGGED, count=9), [], r"x\.pal: its RIFF data chunk of 16 bytes cannot hold", id="riff-count"
        ),
        pytest.param("x.pal", riff(FLAGGED)[:16], [], r"x\.pal: a RIFF palette without a data chunk", id="riff-cut"),
        pytest.param(
            "x.pal", riff(FLAGGED)[:30], [], r"x\.pal: its RIFF data chunk of 16 bytes is cut short", id="riff-cut-data"
        ),
    ],
)
def test_palette_file_refusals_are_one_line(tmp_path, capsys, name, content, args, message):
    source = tmp_path / name
    source.write_bytes(content)
    status, lines, err = kivtool(capsys, "palette", "import", source, "-o", tmp_path / "out.pal", *args)
    assert (status, lines) == (1, []) and len(err) == 1
    assert re.search(message, err[0]), err[0]
    assert not (tmp_path / "out.pal").exists()


def test_read_only_formats_are_not_offered_for_export(tmp_path, capsys):
    assert set(palette.FORMATS) - set(palette.WRITTEN) == {"vga6", "riff"}
    source = tmp_path / "game.pal"
    source.write_bytes(kivmodel.palette_file(OPAQUE))
    status, _, err = kivtool(capsys, "palette", "export", source, "-o", tmp_path / "x.vga", "--as", "vga6")
    assert status == 2 and "invalid choice: 'vga6'" in err[0]


# --------------------------------------------------------------------------
# Palettes from images


def palette_png(path: Path, values, colors) -> Path:
    image = Image.frombytes("P", (len(values[0]), len(values)), bytes(v for row in values for v in row))
    image.putpalette(bytes(c for color in colors for c in color[:3]))
    image.save(path, transparency=bytes(color[3] for color in colors))
    return path


def rgba_png(path: Path, pixels) -> Path:
    Image.fromarray(np.array(pixels, dtype=np.uint8)).save(path)
    return path


STRIP = [(0, 0, 0, 0), (200, 10, 10, 255), (10, 200, 10, 128), (200, 10, 10, 255)]  # 1 and 3 one colour


def from_image(capsys, tmp_path, *args):
    return kivtool(capsys, "palette", "import", *args, "--from-image", "-o", tmp_path / "out.pal")


def written(tmp_path) -> bytes:
    return (tmp_path / "out.pal").read_bytes()


def test_palette_pngs_give_their_own_entries_in_order(tmp_path, capsys):
    walk = palette_png(tmp_path / "walk.png", [[0, 1, 2]], STRIP)
    run = palette_png(tmp_path / "run.png", [[3, 3]], STRIP)
    status, out, err = from_image(capsys, tmp_path, walk, run)
    assert (status, err) == (0, [])
    assert out == [f"wrote {tmp_path / 'out.pal'}: 4 colours"]
    assert written(tmp_path) == kivmodel.palette_file(STRIP)  # both reds kept, tRNS alpha kept


@pytest.mark.parametrize(
    "second, message",
    [
        pytest.param(
            STRIP[:3] + [(200, 10, 11, 255)],
            r"run\.png: its palette differs from .*walk\.png's at entry 3: \(200, 10, 11, 255\), not \(200, 10, 10",
            id="entry-differs",
        ),
        pytest.param(STRIP[:3], r"run\.png: its palette differs .* at entry 3: none, not", id="shorter"),
        pytest.param(None, r"run\.png: is not a palette PNG and .*walk\.png is;", id="mixed-kinds"),
    ],
)
def test_images_that_give_one_palette_must_share_it(tmp_path, capsys, second, message):
    walk = palette_png(tmp_path / "walk.png", [[0, 1, 2]], STRIP)
    if second is None:
        run = rgba_png(tmp_path / "run.png", [[(1, 2, 3, 255)]])
    else:
        run = palette_png(tmp_path / "run.png", [[0, 1, 2]], second)
    status, lines, err = from_image(capsys, tmp_path, walk, run)
    assert (status, lines) == (1, []) and len(err) == 1 and re.search(message, err[0]), err
    assert not (tmp_path / "out.pal").exists()


RED, GREEN, HALF = (200, 10, 10, 255), (10, 200, 10, 255), (1, 2, 3, 128)


@pytest.mark.parametrize(
    "args, colors",
    [
        pytest.param([], [(0, 0, 0, 0), GREEN, RED, HALF], id="clear-then-first-appearance"),
        pytest.param(["--no-transparent"], [GREEN, RED, HALF], id="no-transparent"),
        pytest.param(["--colors", "4"], [(0, 0, 0, 0), GREEN, RED, HALF], id="exactly-fits"),
    ],
)
def test_colour_images_give_their_colours_in_order_of_first_appearance(tmp_path, capsys, args, colors):
    # Transparent pixels of any colour are unpainted: they give no entry.
    first = rgba_png(tmp_path / "a.png", [[(9, 9, 9, 0), GREEN, RED], [RED, GREEN, (0, 0, 0, 0)]])
    second = rgba_png(tmp_path / "b.png", [[HALF, RED]])
    status, out, err = from_image(capsys, tmp_path, first, second, *args)
    assert (status, err) == (0, [])
    assert out == [f"wrote {tmp_path / 'out.pal'}: {len(colors)} colours"]
    assert written(tmp_path) == kivmodel.palette_file(colors)


def premultiplied(colors: np.ndarray) -> np.ndarray:
    wide = colors.astype(np.int64)
    out = wide.copy()
    out[:, :3] = (wide[:, :3] * wide[:, 3:4] + 127) // 255
    return out


def test_the_quantizer_weighs_alpha_and_reports_the_farthest_pixel(tmp_path, capsys):
    """Three opaque colours and sixty faint ones of every hue, in four
    entries: the faint ones belong to the transparent entry (they are
    nearly invisible whatever their hue), the opaque ones keep an entry
    each. The line names the farthest move, measured premultiplied."""
    rng = np.random.default_rng(7)
    opaque = np.array([RED, GREEN, (20, 20, 240, 255)], dtype=np.uint8)
    faint = np.concatenate([rng.integers(0, 256, (60, 3)), rng.integers(1, 3, (60, 1))], axis=1).astype(np.uint8)
    pixels = np.concatenate([np.repeat(opaque, 20, axis=0), faint]).reshape(10, 12, 4)
    status, out, err = from_image(capsys, tmp_path, rgba_png(tmp_path / "row.png", pixels), "--colors", "4")
    assert (status, err) == (0, [])
    colors = [tuple(c) for c in np.frombuffer(written(tmp_path)[4:], dtype=np.uint8).reshape(-1, 4).tolist()]
    assert colors[0] == (0, 0, 0, 0) and sorted(colors[1:]) == sorted(tuple(c) for c in opaque.tolist())
    # The farthest pixel, found here by brute force over every pixel and entry.
    flat = premultiplied(pixels.reshape(-1, 4))
    table = premultiplied(np.array(colors, dtype=np.uint8))
    farthest = np.sqrt(((flat[:, None, :] - table[None, :, :]) ** 2).sum(axis=2).min(axis=1)).max()
    assert re.fullmatch(
        rf"63 colours quantized to 4 entries: the farthest pixel moved by {farthest:.1f}, from \(\d+, \d+, \d+, [12]\) "
        r"to entry 0 \(0, 0, 0, 0\)",
        out[0],
    ), out
    assert out[1] == f"wrote {tmp_path / 'out.pal'}: 4 colours"


def test_quantizing_many_colours_keeps_the_entry_count_and_every_pixel_near(tmp_path, capsys):
    rng = np.random.default_rng(1)
    pixels = rng.integers(0, 256, (40, 40, 4), dtype=np.uint8)
    status, out, err = from_image(capsys, tmp_path, rgba_png(tmp_path / "noise.png", pixels), "--colors", "32")
    assert (status, err) == (0, [])
    data = written(tmp_path)
    assert struct.unpack_from("<H", data)[0] == 32 and data[4:8] == bytes(4)
    assert re.match(r"\d+ colours quantized to 32 entries: the farthest pixel moved by [\d.]+", out[0])


@pytest.mark.parametrize(
    "args, message",
    [
        pytest.param(["--from-image", "--as", "act"], r"a\.png: --from-image reads images", id="as-with-images"),
        pytest.param(["--colors", "4"], r"a\.png: --colors is for --from-image", id="colors-alone"),
        pytest.param(["--from-image", "--colors", "1"], r"--colors 1: no entry is left", id="one-entry"),
    ],
)
def test_from_image_refusals(tmp_path, capsys, args, message):
    image = rgba_png(tmp_path / "a.png", [[RED, GREEN]])
    status, lines, err = kivtool(capsys, "palette", "import", image, *args, "-o", tmp_path / "out.pal")
    assert (status, lines) == (1, []) and len(err) == 1 and re.search(message, err[0]), err
    assert not (tmp_path / "out.pal").exists()


def test_several_palette_files_are_refused_without_from_image(tmp_path, capsys):
    a, b = tmp_path / "a.pal", tmp_path / "b.pal"
    a.write_bytes(kivmodel.palette_file(OPAQUE))
    b.write_bytes(kivmodel.palette_file(OPAQUE))
    status, _, err = kivtool(capsys, "palette", "import", a, b, "-o", tmp_path / "out.pal")
    assert status == 1 and len(err) == 1 and "b.pal: one palette file is read at a time" in err[0]
