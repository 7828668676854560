"""kivtool palette: game palette files to and from GIMP, JASC-PAL, Adobe
colour tables, hex lists and PNG swatches, checked with readers written
elsewhere (Pillow's GIMP palette reader, ImageMagick) as well as pykiv."""

from __future__ import annotations

import random
import re
import shutil
import subprocess
from pathlib import Path

import kivmodel
import numpy as np
import pykiv
import pytest
from child_process import no_address_space_limit
from PIL import GimpPaletteFile, Image, PngImagePlugin

from kivtool.cli import main
from kivtool.formats import palette

FORMS = ["gpl", "jasc", "act", "hex", "png"]
SMALL = [(255, 0, 0, 255), (0, 128, 255, 0), (1, 2, 3, 4), (0, 0, 0, 0), (16, 32, 48, 255)]


def kivtool(capsys, *args):
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out.splitlines(), err.splitlines()


def palette_colors(rng: random.Random, count: int, alpha: bool) -> list[tuple[int, int, int, int]]:
    return [
        (rng.randrange(256), rng.randrange(256), rng.randrange(256), rng.choice([255, 0, 77]) if alpha else 255)
        for _ in range(count)
    ]


def loaded_colors(path: Path) -> list[tuple[int, int, int, int]]:
    palette = pykiv.PalF()
    assert palette.load(str(path)) == 1
    return [(c.r, c.g, c.b, c.a) for c in palette.colors()]


# --------------------------------------------------------------------------
# Round trips


@pytest.mark.parametrize("count", [1, 2, 16, 200, 255, 256])
@pytest.mark.parametrize("form", ["png", "hex"])
def test_png_and_hex_give_back_the_same_palette_file(tmp_path, capsys, form, count):
    rng = random.Random(count)
    original = kivmodel.palette_file(palette_colors(rng, count, alpha=count % 2 == 0))
    source = tmp_path / "game.pal"
    source.write_bytes(original)
    status, out, err = kivtool(capsys, "palette", "export", source, "-o", tmp_path / f"p.{form}")
    assert (status, err, out) == (0, [], [str(tmp_path / f"p.{form}")])
    status, out, err = kivtool(capsys, "palette", "import", tmp_path / f"p.{form}", "-o", tmp_path / "back.pal")
    assert (status, err) == (0, [])
    assert out == [f"wrote {tmp_path / 'back.pal'}: {count} colours"]
    assert (tmp_path / "back.pal").read_bytes() == original


@pytest.mark.parametrize("form", FORMS)
def test_every_format_keeps_the_colours_and_the_count(tmp_path, capsys, form):
    """Alpha aside, every format gives back the palette's own entries, and
    what import writes loads with pykiv."""
    colors = palette_colors(random.Random(form), 16, alpha=False)
    source = tmp_path / "game.pal"
    source.write_bytes(kivmodel.palette_file(colors, model_field=1))
    exported = tmp_path / f"p.{form}"
    assert kivtool(capsys, "palette", "export", source, "-o", exported, "--as", form)[0] == 0
    status, _, err = kivtool(capsys, "palette", "import", exported, "--as", form, "-o", tmp_path / "back.pal")
    assert (status, err) == (0, [])
    assert (tmp_path / "back.pal").read_bytes() == kivmodel.palette_file(colors)  # model field written as 0
    assert loaded_colors(tmp_path / "back.pal") == colors + [(0, 0, 0, 255)] * 240


def test_the_tests_cover_every_palette_format_and_each_extension_names_one():
    """A format added to the table is one these tests take through the
    command line; two formats of one extension would leave one unreachable
    without --as."""
    assert FORMS == palette.WRITTEN
    extensions = [palette.FORMATS[form].extension for form in palette.WRITTEN]
    assert len(set(extensions)) == len(extensions)


def test_a_game_palette_is_told_from_a_jasc_one_by_its_first_bytes(tmp_path, capsys):
    colors = palette_colors(random.Random(3), 5, alpha=True)
    game = tmp_path / "game.pal"
    game.write_bytes(kivmodel.palette_file(colors, model_field=7))
    assert kivtool(capsys, "palette", "export", game, "-o", tmp_path / "jasc.pal")[0] == 0
    assert (tmp_path / "jasc.pal").read_bytes().startswith(b"JASC-PAL\r\n")
    for source in (game, tmp_path / "jasc.pal"):
        status, _, _ = kivtool(capsys, "palette", "import", source, "-o", tmp_path / "out.pal")
        assert status == 0
        alphas = [c[3] for c in colors] if source == game else [255] * 5
        assert loaded_colors(tmp_path / "out.pal")[:5] == [c[:3] + (a,) for c, a in zip(colors, alphas)]


# --------------------------------------------------------------------------
# What each format holds


def exported(tmp_path, capsys, form, colors=SMALL, *extra):
    source = tmp_path / "small.pal"
    source.write_bytes(kivmodel.palette_file(colors))
    out = tmp_path / f"small.{form}"
    status, _, err = kivtool(capsys, "palette", "export", source, "-o", out, "--as", form, *extra)
    assert status == 0
    return out.read_bytes(), err


@pytest.mark.parametrize(
    "form, content, warning",
    [
        pytest.param(
            "gpl",
            b"GIMP Palette\nName: small\nColumns: 16\n#\n255   0   0\tindex 0\n  0 128 255\tindex 1\n"
            b"  1   2   3\tindex 2\n  0   0   0\tindex 3\n 16  32  48\tindex 4\n",
            "gpl has no alpha: entries 1-3 lose theirs",
            id="gpl",
        ),
        pytest.param(
            "jasc",
            b"JASC-PAL\r\n0100\r\n5\r\n255 0 0\r\n0 128 255\r\n1 2 3\r\n0 0 0\r\n16 32 48\r\n",
            "jasc has no alpha: entries 1-3 lose theirs",
            id="jasc",
        ),
        pytest.param(
            "act",
            bytes([255, 0, 0, 0, 128, 255, 1, 2, 3, 0, 0, 0, 16, 32, 48]) + bytes(768 - 15) + b"\x00\x05\x00\x01",
            "act has no alpha: entries 2-3 lose theirs",
            id="act-lowest-clear-entry-is-its-transparent-index",
        ),
        pytest.param("hex", b"ff0000ff\n0080ff00\n01020304\n00000000\n102030ff\n", None, id="hex-with-alpha"),
    ],
)
def test_export_layouts(tmp_path, capsys, form, content, warning):
    data, err = exported(tmp_path, capsys, form)
    assert data == content
    if warning is None:
        assert err == []
    else:
        assert err == [f"kivtool: warning: {tmp_path / f'small.{form}'}: {warning} and are opaque there"]


@pytest.mark.parametrize(
    "form, colors, content",
    [
        pytest.param("hex", [(1, 2, 3, 255), (250, 251, 252, 255)], b"010203\nfafbfc\n", id="hex-opaque"),
        pytest.param("act", [(9, 9, 9, 255)] * 256, bytes([9]) * 768, id="act-of-256-colours-has-no-trailer"),
        pytest.param(
            "act", [(9, 9, 9, 255)] * 3, bytes([9]) * 9 + bytes(759) + b"\x00\x03\xff\xff", id="act-no-clear-entry"
        ),
    ],
)
def test_export_layouts_by_palette(tmp_path, capsys, form, colors, content):
    assert exported(tmp_path, capsys, form, colors)[0] == content


def test_swatch_cells_are_the_colours_in_index_order(tmp_path, capsys):
    data, err = exported(tmp_path, capsys, "png", SMALL, "--cell", "3")
    assert err == []
    with Image.open(tmp_path / "small.png") as image:
        assert (image.mode, image.size, image.text["kivtool:colors"]) == ("RGBA", (48, 48), "5")
        pixels = np.asarray(image)
    cells = [tuple(int(v) for v in pixels[3 * (i // 16), 3 * (i % 16)]) for i in range(256)]
    assert cells == SMALL + [(0, 0, 0, 0)] * 251
    assert (pixels[:3, :3] == SMALL[0]).all()

    if shutil.which("convert") is None or shutil.which("identify") is None:
        pytest.skip("ImageMagick is not installed")
    path = tmp_path / "small.png"
    text = subprocess.run(["identify", "-format", "%w %h %[kivtool:colors]", path], capture_output=True, text=True)
    assert text.stdout == "48 48 5"
    rgba = subprocess.run(["convert", path, "rgba:-"], capture_output=True, check=True).stdout
    assert rgba == pixels.tobytes()


@pytest.mark.parametrize("count", [5, 256])
def test_pillow_reads_the_gimp_palette(tmp_path, capsys, count):
    colors = palette_colors(random.Random(count), count, alpha=False)
    data, _ = exported(tmp_path, capsys, "gpl", colors)
    with open(tmp_path / "small.gpl", "rb") as file:
        palette, mode = GimpPaletteFile.GimpPaletteFile(file).getpalette()
    assert mode == "RGB"
    assert palette == bytes(c for color in colors for c in color[:3])


# --------------------------------------------------------------------------
# Files from other programs


@pytest.mark.parametrize(
    "name, content, colors",
    [
        pytest.param(
            "x.gpl",
            b"GIMP Palette\r\nName: Some palette\r\nColumns: 8\r\n# a comment\r\n\r\n"
            b" 12  34  56\tdeep sea\r\n255 255 255 White\r\n7 8 9\r\n",
            [(12, 34, 56, 255), (255, 255, 255, 255), (7, 8, 9, 255)],
            id="gpl-crlf-comments-names",
        ),
        pytest.param("x.pal", b"JASC-PAL\n0100\n2\n1 2 3\n4 5 6\n\n", [(1, 2, 3, 255), (4, 5, 6, 255)], id="jasc-lf"),
        pytest.param("x.hex", b"#A0B0C0\n\n0a0b0c80\n", [(160, 176, 192, 255), (10, 11, 12, 128)], id="hex-mixed"),
        pytest.param(
            "x.act",
            bytes([1, 2, 3, 4, 5, 6]) + bytes(762) + b"\x00\x02\x00\x01",
            [(1, 2, 3, 255), (4, 5, 6, 0)],
            id="act-trailer",
        ),
        pytest.param("x.act", bytes(range(256)) * 3, None, id="act-256"),
        pytest.param(
            "x.gpl",
            b"GIMP Palette\nName: p\nChannels: RGBA\n#\n1 2 3 0\tclear\n4 5 6 128 half\n7 8 9 255\n",
            [(1, 2, 3, 0), (4, 5, 6, 128), (7, 8, 9, 255)],
            id="gpl-rgba-keeps-alpha",
        ),
    ],
)
def test_import_reads_other_programs_files(tmp_path, capsys, name, content, colors):
    source = tmp_path / name
    source.write_bytes(content)
    status, _, err = kivtool(capsys, "palette", "import", source, "-o", tmp_path / "out.pal")
    assert (status, err) == (0, [])
    if colors is None:  # a table without trailer: 256 opaque colours
        table = bytes(range(256)) * 3
        colors = [(table[3 * i], table[3 * i + 1], table[3 * i + 2], 255) for i in range(256)]
    assert (tmp_path / "out.pal").read_bytes() == kivmodel.palette_file(colors)


@pytest.mark.parametrize(
    "count, last_clear",
    [(256, False), (16, False), (16, True)],
    ids=["every cell", "re-saved 16 colours", "16 colours, the last transparent black"],
)
def test_import_reads_a_swatch_without_its_count_and_with_a_grid(tmp_path, capsys, count, last_clear):
    """An editor that saves the swatch again drops its count text: the
    count is then the last cell that is not transparent black, with a
    warning, not 256 with the empty cells as entries."""
    colors = palette_colors(random.Random(9), count, alpha=True)
    if last_clear:
        colors[-1] = (0, 0, 0, 0)
    cells = np.zeros((256, 4), dtype=np.uint8)
    cells[:count] = colors
    pixels = np.repeat(np.repeat(cells.reshape(16, 16, 4), 5, axis=0), 5, axis=1)
    pixels[::5, :] = (40, 40, 40, 255)  # grid lines over the cells' edges
    pixels[:, ::5] = (40, 40, 40, 255)
    Image.fromarray(pixels).save(tmp_path / "swatch.png")
    status, out, err = kivtool(capsys, "palette", "import", tmp_path / "swatch.png", "-o", tmp_path / "out.pal")
    taken = count - 1 if last_clear else count
    assert status == 0 and out == [f"wrote {tmp_path / 'out.pal'}: {taken} colours"]
    assert len(err) == 1 and "has no kivtool:colors text" in err[0] and f"took {taken} colours" in err[0]
    assert (tmp_path / "out.pal").read_bytes() == kivmodel.palette_file(colors[:taken])


def counted_swatch(path: Path, text: str) -> None:
    info = PngImagePlugin.PngInfo()
    info.add_text("kivtool:colors", text)
    Image.new("RGBA", (32, 32)).save(path, pnginfo=info)


@pytest.mark.parametrize(
    "name, content, args, message",
    [
        pytest.param(
            "x.gpl",
            b"GIMP Palette\n" + b"1 2 3\n" * 257,
            [],
            r"x\.gpl: line 258: a 257th colour; a palette holds at most 256",
            id="gpl-257",
        ),
        pytest.param("x.hex", b"ffffff\n" * 257, [], r"x\.hex: line 257: a 257th colour", id="hex-257"),
        pytest.param(
            "x.gpl",
            b"GIMP Palette\n1 2 3\n1 2 300 big\n",
            [],
            r"x\.gpl: line 3: '1 2 300 big' is not a colour",
            id="gpl-300",
        ),
        pytest.param(
            "x.gpl", b"Not a palette\n", [], r"x\.gpl: line 1: 'Not a palette' is not 'GIMP Palette'", id="gpl-head"
        ),
        pytest.param("x.hex", b"ffffff\nfffff\n", [], r"x\.hex: line 2: 'fffff' is not a colour", id="hex-short"),
        pytest.param(
            "x.pal",
            b"JASC-PAL\n0100\n300\n",
            [],
            r"x\.pal: line 3: 300 colours; a palette holds at most 256",
            id="jasc-300",
        ),
        pytest.param(
            "x.pal",
            b"JASC-PAL\n0100\n3\n1 2 3\n4 5 6\n",
            [],
            r"x\.pal: line 6: the file ends after 2 of the 3 colours",
            id="jasc-short",
        ),
        pytest.param(
            "x.pal", b"JASC-PAL\n0100\n1\n1 2 3\n4 5 6\n", [], r"x\.pal: line 5: a colour beyond the 1", id="jasc-long"
        ),
        pytest.param("x.pal", b"JASC-PAL\n0100\n1\n1 2\n", [], r"x\.pal: line 4: '1 2' is not a colour", id="jasc-bad"),
        pytest.param(
            "x.act", bytes(700), [], r"x\.act: not an Adobe colour table: one has 768 or 772 bytes", id="act-size"
        ),
        pytest.param(
            "x.act", bytes(768) + b"\x01\x01\x00\x00", [], r"x\.act: its trailer gives 257 colours", id="act-count"
        ),
        pytest.param("x.hex", b"\n\n", [], r"x\.hex: holds no colours", id="empty"),
        pytest.param(
            "x.txt", b"ffffff\n", [], r"x\.txt: cannot tell the format from the name; give --as", id="no-format"
        ),
        pytest.param(
            "x.pal",
            b"\x00\x00\x00\x00",
            [],
            r"x\.pal: not a usable palette file \(Invalid color count: 0\)",
            id="game-0",
        ),
        pytest.param("x.png", None, [], r"x\.png: its kivtool:colors text '0' is not a colour count", id="png-count"),
        pytest.param("x.png", "²", [], r"x\.png: its kivtool:colors text '²' is not a colour count", id="png-count-²"),
        pytest.param(
            "x.png",
            "9" * 5000,
            [],
            r"x\.png: its kivtool:colors text '9{60}'\.\.\. \(5000 characters\) is not",
            id="png-count-long",
        ),
        pytest.param(
            "x.gpl", b"GIMP Palette\n1 \xc2\xb2 3\n", [], r"x\.gpl: line 2: '1 ² 3' is not a colour", id="gpl-²"
        ),
        pytest.param(
            "x.gpl",
            b"GIMP Palette\n1 2 " + b"9" * 5000 + b"\n",
            [],
            r"x\.gpl: line 2: '1 2 9{36}\.\.\.' is not",
            id="gpl-long",
        ),
        pytest.param(
            "x.gpl",
            b"GIMP Palette\nChannels: CMYK\n",
            [],
            r"x\.gpl: line 2: 'Channels: CMYK' is not 'Channels: RGB' or 'Channels: RGBA'",
            id="gpl-channels",
        ),
        pytest.param(
            "x.pal", b"JASC-PAL\n0100\n\xc2\xb2\n", [], r"x\.pal: line 3: '²' is not the number of colours", id="jasc-²"
        ),
        pytest.param(
            "x.pal",
            b"JASC-PAL\n0100\n" + b"9" * 5000 + b"\n",
            [],
            r"x\.pal: line 3: '9{40}\.\.\.' is not the number",
            id="jasc-long",
        ),
        pytest.param(
            "x.pal",
            bytes([2, 0, 0, 0]) + bytes(764),
            [],
            r"x\.pal: 768 bytes, neither a JASC, a RIFF nor a game palette; raw R, G, B triples are read with "
            r"--as act \(8-bit values\) or --as vga6",
            id="game-raw-768",
        ),
        pytest.param(
            "x.pal",
            b"RIFF" + (24 + 4 * 3).to_bytes(4, "little") + b"PAL data" + bytes(28),
            ["--as", "act"],
            r"x\.pal: not an Adobe colour table",
            id="riff-as-act",
        ),
        pytest.param(
            "x.pal",
            kivmodel.palette_file(SMALL) + b"\0",
            [],
            r"x\.pal: neither a JASC, a RIFF nor a game palette",
            id="game-trailing",
        ),
        pytest.param(
            "x.hex",
            b"ffffff\n" * (1 << 18),
            [],
            r"x\.hex: is 1,835,008 bytes, more than the 1,048,576",
            id="hex-over-1-mib",
        ),
        pytest.param("missing.hex", "missing", [], r"missing\.hex: no such file", id="missing"),
    ],
)
def test_import_refusals_name_the_file_and_the_line(tmp_path, capsys, name, content, args, message):
    source = tmp_path / name
    if content is None:
        counted_swatch(source, "0")
    elif isinstance(content, str) and content != "missing":
        counted_swatch(source, content)
    elif isinstance(content, bytes):
        source.write_bytes(content)
    out = tmp_path / "out.pal"
    status, lines, err = kivtool(capsys, "palette", "import", source, "-o", out, *args)
    assert (status, lines) == (1, []) and len(err) == 1
    assert err[0].startswith("kivtool: ") and re.search(message, err[0]), err[0]
    assert not out.exists()


@pytest.mark.parametrize(
    "out, args, message",
    [
        pytest.param("p.txt", [], r"p\.txt: cannot tell the format from the name; give --as gpl\|jasc", id="no-format"),
        pytest.param("game.pal", ["--as", "gpl"], r"game\.pal: is the file being read", id="over-the-input"),
        pytest.param(".", ["--as", "gpl"], r": is a folder; name the file to write", id="folder"),
    ],
)
def test_export_refusals(tmp_path, capsys, out, args, message):
    source = tmp_path / "game.pal"
    original = kivmodel.palette_file(SMALL)
    source.write_bytes(original)
    status, _, err = kivtool(capsys, "palette", "export", source, "-o", tmp_path / out, *args)
    assert status == 1 and len(err) == 1 and re.search(message, err[0]), err
    assert source.read_bytes() == original
    assert sorted(p.name for p in tmp_path.iterdir()) == ["game.pal"]


@no_address_space_limit
def test_a_huge_swatch_is_refused_by_its_header_before_decoding(tmp_path):
    """13008 x 13008 declared in a few bytes: refused against --max-pixels
    from the header, without Pillow's decompression bomb warning and without
    the 2.6 GB of pixels (a child process under an address-space limit)."""
    import struct
    import subprocess
    import sys
    import zlib

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", 13008, 13008, 8, 6, 0, 0, 0)
    source = tmp_path / "huge.png"
    source.write_bytes(
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(b"\0" * 1000))
        + chunk(b"IEND", b"")
    )
    code = (
        "import resource, sys; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY)); "
        "from kivtool.cli import main; sys.exit(main(sys.argv[1:]))"
    )
    done = subprocess.run(
        [sys.executable, "-c", code, "palette", "import", str(source), "-o", str(tmp_path / "p.pal")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 1
    assert done.stderr == (
        f"kivtool: {source}: 13008 × 13008 is 169,208,064 pixels, more than the 64,000,000 allowed "
        "for one image (--max-pixels)\n"
    )
    assert not (tmp_path / "p.pal").exists()
