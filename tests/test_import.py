"""kivtool import: images to an animation file, verified pixel for pixel."""

from __future__ import annotations

import io
import json
import os
import random
import re
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import kivmodel
import numpy as np
import pykiv
import pytest
from PIL import Image

from kivtool import _core, importer
from kivtool.formats import ImportRefused, images, sheet
from kivtool.formats.images import SourceFrame
from kivtool.palette_index import PaletteIndex

# Index 0 is (0, 0, 0, 0), never painted; 1 and 2 hold the same colour;
# 3 is a colour with alpha 0 that is still painted when a pixel is exactly it.
COLORS = [
    (0, 0, 0, 0),
    (10, 20, 30, 255),
    (10, 20, 30, 255),
    (5, 5, 5, 0),
    (200, 0, 0, 128),
    (0, 0, 0, 255),
    (250, 250, 250, 255),
]


@pytest.fixture
def project(tmp_path):
    """A project root with its palette in pal/."""
    root = tmp_path / "game"
    (root / "pal").mkdir(parents=True)
    (root / "pal" / "p.pal").write_bytes(kivmodel.palette_file(COLORS))
    return root


def padded(colors):
    """The palette as loaded: padded to 256 entries with opaque black."""
    return list(colors) + [(0, 0, 0, 255)] * (256 - len(colors))


def source(pixels, kind=importer.FRAME, name="img.png", x=0, y=0):
    rgba = np.array(pixels, dtype=np.uint8).reshape(len(pixels), -1, 4)
    return SourceFrame(name, lambda: rgba, x, y, kind, width=rgba.shape[1], height=rgba.shape[0])


def words(colors):
    return [int.from_bytes(bytes(c), "little") for c in colors]


# --------------------------------------------------------------------------
# Pixels to palette indices


@pytest.mark.parametrize(
    "pixel, index, renders_as",
    [
        pytest.param((10, 20, 30, 255), 1, (10, 20, 30, 255), id="palette-colour-lowest-of-two"),
        pytest.param((200, 0, 0, 128), 4, (200, 0, 0, 128), id="translucent-palette-colour"),
        pytest.param((5, 5, 5, 0), 3, (5, 5, 5, 0), id="alpha-0-palette-colour-is-painted"),
        pytest.param((0, 0, 0, 0), None, (0, 0, 0, 0), id="transparent-black-never-painted"),
        pytest.param((9, 9, 9, 0), None, (0, 0, 0, 0), id="other-alpha-0-not-painted"),
        pytest.param((0, 0, 0, 255), 5, (0, 0, 0, 255), id="opaque-black"),
    ],
)
def test_pixels_map_to_palette_indices(pixel, index, renders_as):
    palette = PaletteIndex(padded(COLORS))
    runs, expected, changed = importer.map_frame(source([[pixel]]), palette, quantize=False)
    assert bool(runs.painted[0, 0]) == (index is not None)
    if index is not None:
        assert runs.indices is not None and runs.indices[0, 0] == index
    assert expected.tolist() == [words([renders_as])]
    assert changed == 0


def test_a_colour_outside_the_palette_is_refused_with_its_place():
    palette = PaletteIndex(padded(COLORS))
    pixels = [[(10, 20, 30, 255)] * 4, [(10, 20, 30, 255)] * 3 + [(1, 2, 3, 4)]]
    with pytest.raises(
        ImportRefused,
        match=r"^img\.png: pixel x=3, y=1 has colour \(1, 2, 3, 4\), "
        r"which is not in the palette \(--quantize",
    ):
        importer.map_frame(source(pixels), palette, quantize=False)


@pytest.mark.parametrize(
    "pixel, index, renders_as",
    [
        pytest.param((11, 21, 29, 255), 1, (10, 20, 30, 255), id="near-a-duplicate-takes-the-lowest"),
        pytest.param((240, 255, 255, 250), 6, (250, 250, 250, 255), id="near-white"),
        pytest.param((1, 0, 1, 1), None, (0, 0, 0, 0), id="nearest-is-transparent-black"),
        # Premultiplied, every transparent entry is the same point: the lowest wins.
        pytest.param((6, 4, 5, 2), None, (0, 0, 0, 0), id="transparent-entries-tie"),
        pytest.param((255, 255, 255, 1), None, (0, 0, 0, 0), id="nearly-transparent-white"),
        pytest.param((190, 0, 0, 120), 4, (200, 0, 0, 128), id="near-half-red"),
    ],
)
def test_quantize_takes_the_nearest_palette_colour(pixel, index, renders_as):
    palette = PaletteIndex(padded(COLORS))
    inside = (200, 0, 0, 128)
    runs, expected, changed = importer.map_frame(source([[inside, pixel, pixel]]), palette, quantize=True)
    assert changed == 2
    assert runs.painted[0].tolist() == [True] + [index is not None] * 2
    if index is not None:
        assert runs.indices is not None and runs.indices[0, 1:].tolist() == [index, index]
    assert expected[0].tolist() == words([inside, renders_as, renders_as])


@pytest.mark.parametrize(
    "colors, pixel, index",
    [
        ([(250, 250, 250, 255), (9, 9, 9, 0)], (255, 255, 255, 1), 1),
        ([(250, 250, 250, 255), (0, 0, 0, 255)], (255, 255, 255, 1), 1),
        ([(0, 0, 0, 255), (250, 250, 250, 255)], (255, 255, 255, 255), 1),
        ([(10, 10, 10, 255), (12, 12, 12, 255)], (11, 11, 11, 255), 0),
    ],
    ids=[
        "to the transparent entry",
        "to opaque black, the nearest premultiplied",
        "opaque: plain RGB",
        "tie: the lowest index",
    ],
)
def test_nearest_is_euclidean_over_premultiplied_rgba(colors, pixel, index):
    """(255, 255, 255, 1) premultiplied is (1, 1, 1, 1): next to any
    transparent entry, far from an opaque near-white."""
    palette = PaletteIndex(colors)
    assert palette.nearest(np.array(words([pixel]), dtype=np.uint32)).tolist() == [index]


def test_shadow_frames_paint_every_visible_pixel_black():
    palette = PaletteIndex(padded(COLORS))
    pixels = [[(1, 2, 3, 4), (0, 0, 0, 0), (9, 9, 9, 0), (10, 20, 30, 255)]]
    runs, expected, changed = importer.map_frame(source(pixels, kind=importer.SHADOW), palette, quantize=False)
    assert runs.shadow and runs.indices is None
    assert runs.painted[0].tolist() == [True, False, False, True]
    assert expected[0].tolist() == words([(0, 0, 0, 255), (0, 0, 0, 0), (0, 0, 0, 0), (0, 0, 0, 255)])
    assert changed == 0


@pytest.mark.parametrize("seed", range(10))
def test_lookup_agrees_with_a_plain_search(seed):
    """Random palettes with repeated colours, images of palette colours and
    others: the index is the lowest holding the colour, and only palette
    colours other than (0, 0, 0, 0) are found."""
    rng = random.Random(seed)
    colors = [tuple(rng.randrange(256) for _ in range(4)) for _ in range(rng.randint(1, 256))]
    colors += [rng.choice(colors) for _ in range(rng.randint(0, 20))]
    if rng.random() < 0.5:
        colors.insert(rng.randrange(len(colors)), (0, 0, 0, 0))
    colors = colors[:256]
    palette = PaletteIndex(colors)
    lowest = {}
    for i, c in enumerate(colors):
        lowest.setdefault(c, i)
    pool = colors + [tuple(rng.randrange(256) for _ in range(4)) for _ in range(50)]
    pixels = [[rng.choice(pool) for _ in range(30)] for _ in range(20)]
    indices, found, kept, missing = palette.lookup(np.array(pixels, dtype=np.uint8))
    unknown_visible = 0
    for y, row in enumerate(pixels):
        for x, c in enumerate(row):
            known = c in lowest and c != (0, 0, 0, 0)
            assert found[y, x] == known
            assert kept[y, x] == (int.from_bytes(bytes(c), "little") if known else 0)
            if known:
                assert indices[y, x] == lowest[c]
            unknown_visible += not known and c[3] != 0
    assert missing == unknown_visible


# --------------------------------------------------------------------------
# Where the palette is stored


def test_location_is_the_palette_relative_to_the_root(project):
    assert importer.location_to_store(project / "anim" / "a.kiv", project, project / "pal" / "p.pal") == "pal/p.pal"
    assert importer.location_to_store(project / "a.kiv", project, project / "pal" / "p.pal") == "pal/p.pal"


def test_location_above_the_root(tmp_path):
    root = tmp_path / "game" / "data"
    root.mkdir(parents=True)
    (tmp_path / "game" / "pal").mkdir()
    palette = tmp_path / "game" / "pal" / "p.pal"
    palette.write_bytes(kivmodel.palette_file(COLORS))
    assert importer.location_to_store(root / "anim" / "a.kiv", root, palette) == "../pal/p.pal"


def test_links_are_resolved_like_the_writer_does(project, tmp_path):
    link = tmp_path / "link"
    link.symlink_to(project, target_is_directory=True)
    assert importer.location_to_store(link / "anim" / "a.kiv", link, project / "pal" / "p.pal") == "pal/p.pal"


@pytest.mark.parametrize(
    "out, extra_palette, refusal",
    [
        pytest.param("../elsewhere/a.kiv", None, "lies outside the project root", id="out-outside-root"),
        pytest.param(
            "anim/a.kiv",
            "anim/pal/p.pal",
            "the stored palette location 'pal/p.pal' would find .*anim/pal/p.pal",
            id="another-palette-found-first",
        ),
    ],
)
def test_locations_that_would_not_find_the_palette_are_refused(project, out, extra_palette, refusal):
    if extra_palette:
        (project / extra_palette).parent.mkdir(parents=True)
        (project / extra_palette).write_bytes(kivmodel.palette_file(COLORS))
    with pytest.raises(ImportRefused, match=refusal):
        importer.location_to_store(project / out, project, project / "pal" / "p.pal")


# --------------------------------------------------------------------------
# Writing, verifying, replacing


def import_sources(project, sources, out="anim/a.kiv", speed=3, quantize=False):
    return importer.import_animation(
        sources, project / out, project / "pal" / "p.pal", project, speed=speed, quantize=quantize
    )


def test_imported_file_loads_back_as_the_images(project):
    red, blue = (200, 0, 0, 128), (10, 20, 30, 255)
    sources = [
        source([[red, blue], [(0, 0, 0, 0), red]], x=-3, y=4),
        source([[(7, 7, 7, 90)] * 3], kind=importer.SHADOW, x=1, y=-1),
        source([[blue] * 5] * 2, kind=importer.BACKGROUND, x=-100, y=-50),
    ]
    import_sources(project, sources)
    kiv = pykiv.KivF()
    data = kiv.load(str(project / "anim" / "a.kiv"))
    assert data is not None
    assert (data.info.speed, data.info.frame_count, data.has_background) == (3, 3, True)
    assert data.palette.location() == "pal/p.pal"
    images = kiv.get_frame_buffer()
    assert [(i.width, i.height, i.offset_x, i.offset_y) for i in images] == [
        (2, 2, -3, 4),
        (3, 1, 1, -1),
        (5, 2, -100, -50),
    ]
    assert [f.is_shadow for f in data.frames] == [0, 1, 0]
    assert images[0].pixels == bytes(red + blue + (0, 0, 0, 0) + red)
    assert images[1].pixels == bytes((0, 0, 0, 255)) * 3


def test_failed_verification_leaves_the_previous_file(project, monkeypatch):
    out = project / "anim" / "a.kiv"
    out.parent.mkdir()
    out.write_bytes(b"previous")
    original = _core.encode

    def wrong_colour(*args, **kwargs):
        data = bytearray(original(*args, **kwargs))
        data[-1] ^= 1  # the last colour index of the last row of the last frame
        return bytes(data)

    monkeypatch.setattr(_core, "encode", wrong_colour)
    with pytest.raises(importer.VerificationFailed, match=r"frame 0 \(img.png\) renders pixel x=1, y=0 as"):
        import_sources(project, [source([[(10, 20, 30, 255), (200, 0, 0, 128)]])])
    assert out.read_bytes() == b"previous"
    assert sorted(p.name for p in out.parent.iterdir()) == ["a.kiv"]


def test_failed_verification_leaves_no_file_where_there_was_none(project, monkeypatch):
    monkeypatch.setattr(
        importer, "verify", lambda *args: (_ for _ in ()).throw(importer.VerificationFailed("simulated"))
    )
    with pytest.raises(importer.VerificationFailed):
        import_sources(project, [source([[(10, 20, 30, 255)]])])
    assert list((project / "anim").iterdir()) == []


def test_a_link_stays_a_link_and_its_file_gets_the_animation(project, tmp_path):
    elsewhere = tmp_path / "store"
    elsewhere.mkdir()
    (elsewhere / "a.kiv").write_bytes(b"previous")
    (project / "anim").mkdir()
    link = project / "anim" / "a.kiv"
    link.symlink_to(elsewhere / "a.kiv")
    import_sources(project, [source([[(10, 20, 30, 255)]])])
    assert link.is_symlink()
    assert sorted(p.name for p in elsewhere.iterdir()) == ["a.kiv"]
    assert loaded(link)[1][0][5] == bytes((10, 20, 30, 255))  # its palette found from the link's folder


@pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0, reason="root may write any file")
def test_a_read_only_file_is_not_replaced(project):
    out = project / "a.kiv"
    out.write_bytes(b"previous")
    out.chmod(0o444)
    with pytest.raises(ImportRefused, match="a.kiv: is read-only"):
        import_sources(project, [source([[(10, 20, 30, 255)]])], out="a.kiv")
    assert out.read_bytes() == b"previous"


# --------------------------------------------------------------------------
# Sprite sheets


def sheet_entry(x, y, w, h, **extra):
    entry = {
        "frame": {"x": x, "y": y, "w": w, "h": h},
        "rotated": False,
        "trimmed": False,
        "spriteSourceSize": {"x": 0, "y": 0, "w": w, "h": h},
        "sourceSize": {"w": w, "h": h},
    }
    entry.update(extra)
    return entry


def write_sheet(folder, image, frames, **meta):
    Image.fromarray(np.array(image, dtype=np.uint8)).save(folder / "s.png")
    path = folder / "s.json"
    path.write_text(json.dumps({"frames": frames, "meta": {"image": "s.png", **meta}}))
    return path


A, B, C = (10, 20, 30, 255), (200, 0, 0, 128), (250, 250, 250, 255)
SHEET = [[A, B, C, C], [B, A, C, C], [A, A, A, B]]


def read_sheet(path):
    frames, speed = sheet.sheet_frames(path)
    return [(f.name.split(": ")[-1], f.read().tolist(), f.x_offset, f.y_offset, f.kind) for f in frames], speed


def test_sheet_frames_come_in_the_description_order(tmp_path):
    path = write_sheet(
        tmp_path,
        SHEET,
        {
            "b": sheet_entry(2, 0, 2, 2, offset={"x": -1, "y": 5}, kind="shadow"),
            "a": sheet_entry(0, 0, 2, 2, offset={"x": 3, "y": -4}, kind="frame"),
            "empty": sheet_entry(0, 0, 0, 0, offset={"x": 7, "y": 8}, kind="frame"),
            "bg": sheet_entry(0, 2, 4, 1, offset={"x": 0, "y": 0}, kind="background"),
        },
        speed=42,
    )
    assert read_sheet(path) == (
        [
            ("b", [[list(C), list(C)], [list(C), list(C)]], -1, 5, "shadow"),
            ("a", [[list(A), list(B)], [list(B), list(A)]], 3, -4, "frame"),
            ("empty", [], 7, 8, "frame"),
            ("bg", [[list(A), list(A), list(A), list(B)]], 0, 0, "background"),
        ],
        42,
    )


def test_sheet_from_other_tools(tmp_path):
    """The array layout, trimmed frames put back on their source size,
    offsets from the pivot, and no kind or speed."""
    trimmed = sheet_entry(1, 1, 2, 1, pivot={"x": 0.5, "y": 1.0})
    trimmed.update(trimmed=True, spriteSourceSize={"x": 1, "y": 0, "w": 2, "h": 1}, sourceSize={"w": 4, "h": 2})
    path = write_sheet(
        tmp_path, SHEET, [dict(filename="t.png", **trimmed), dict(filename="plain.png", **sheet_entry(0, 0, 1, 1))]
    )
    zero = [0, 0, 0, 0]
    assert read_sheet(path) == (
        [
            ("t.png", [[zero, list(A), list(C), zero], [zero] * 4], -2, -2, "frame"),
            ("plain.png", [[list(A)]], 0, 0, "frame"),
        ],
        None,
    )


# --------------------------------------------------------------------------
# The command


from kivtool import cli  # noqa: E402


def kivtool(capsys, *args):
    """Runs kivtool; returns (exit status, stdout lines, stderr lines)."""
    status = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out.splitlines(), err.splitlines()


def save_png(path, pixels):
    Image.fromarray(np.array(pixels, dtype=np.uint8).reshape(len(pixels), -1, 4)).save(path)
    return path


def import_args(project, *inputs, out="anim/a.kiv"):
    return ["import", *inputs, "-o", project / out, "--palette", project / "pal" / "p.pal", "--project-root", project]


def loaded(path):
    """(header, frames) of a file as pykiv reads it: frames as (width,
    height, x, y, is_shadow, pixels)."""
    kiv = pykiv.KivF()
    data = kiv.load(str(path))
    assert data is not None, path
    header = (data.info.speed, data.info.frame_count, data.has_background)
    frames = [
        (i.width, i.height, i.offset_x, i.offset_y, f.is_shadow, i.pixels)
        for f, i in zip(data.frames, kiv.get_frame_buffer())
    ]
    return header, frames


def test_images_with_offsets_shadow_and_background(project, capsys):
    images = project / "img"
    images.mkdir()
    a = save_png(images / "a.png", [[A, B], [(0, 0, 0, 0), C]])
    shadow = save_png(images / "s.png", [[(3, 3, 3, 200), (0, 0, 0, 0), (9, 9, 9, 9)]])
    background = save_png(images / "bg.png", [[C] * 4] * 3)
    (images / "offsets.json").write_text("[[-1, -2], [3, 4], [-50, -60]]")
    status, out, err = kivtool(
        capsys,
        *import_args(project, a, shadow),
        "--shadow",
        1,
        "--background",
        background,
        "--offsets",
        images / "offsets.json",
        "--speed",
        77,
    )
    assert (status, err) == (0, [])
    assert out == [f"wrote {project / 'anim' / 'a.kiv'}: 3 frames, the last one the background, speed 77, verified"]
    black, none = (0, 0, 0, 255), (0, 0, 0, 0)
    assert loaded(project / "anim" / "a.kiv") == (
        (77, 3, True),
        [
            (2, 2, -1, -2, 0, bytes(A + B + none + C)),
            (3, 1, 3, 4, 1, bytes(black + none + black)),
            (4, 3, -50, -60, 0, bytes(C) * 12),
        ],
    )


def test_quantize_reports_the_changed_pixels_per_frame(project, capsys):
    first = save_png(project / "one.png", [[A, (12, 20, 30, 255), (249, 250, 250, 255)]])
    second = save_png(project / "two.png", [[A]])
    status, out, err = kivtool(capsys, *import_args(project, first, second), "--quantize")
    assert (status, err) == (0, [])
    assert out[0] == f"frame 0 ({first}): 2 pixels changed to the nearest palette colour"
    assert len(out) == 2 and out[1].startswith("wrote ")
    assert loaded(project / "anim" / "a.kiv")[1][0][5] == bytes(A + A + C)


def damaged_png(cut):
    """An RGBA PNG of 8 bits a sample cut in the middle of its image data,
    or with one byte of the image data changed (its checksum no longer
    matches)."""
    buffer = io.BytesIO()
    Image.fromarray(np.arange(16 * 16 * 4, dtype=np.uint32).astype(np.uint8).reshape(16, 16, 4)).save(buffer, "PNG")
    data = bytearray(buffer.getvalue())
    start = data.index(b"IDAT") + 4
    if cut:
        return bytes(data[: start + 8])
    data[start + 4] ^= 0xFF
    return bytes(data)


def refusal_cases():
    """(id, files to make, extra arguments, message). Files: name -> pixels,
    or text for .json files. Inputs are named first in the arguments."""
    wide = {"w.png": [[A] * 65536]}
    return [
        (
            "colour-not-in-palette",
            {"a.png": [[A, A], [A, (1, 2, 3, 255)]]},
            ["a.png"],
            r"a\.png: pixel x=1, y=1 has colour \(1, 2, 3, 255\), which is not in the palette",
        ),
        ("too-wide", wide, ["w.png"], r"frame 0 \(.*w\.png\): width 65536 is above 65535"),
        (
            "too-tall",
            {"t.png": [[A]] * 32768},
            ["t.png"],
            r"frame 0 \(.*t\.png\): height 32768 does not fit: a frame has at most 32767 rows",
        ),
        (
            "shadow-too-tall",
            {"t.png": [[A]] * 256},
            ["t.png", "--shadow", "0"],
            r"height 256 does not fit: a shadow frame has at most 255 rows",
        ),
        (
            "too-tall-after-shadow",
            {"s.png": [[A]], "t.png": [[A]] * 256},
            ["s.png", "t.png", "--shadow", "0"],
            r"frame 1 \(.*t\.png\): height 256 does not fit: a frame after a shadow frame has at most 255 rows",
        ),
        (
            "background-too-tall-after-shadow",
            {"s.png": [[A]], "bg.png": [[A]] * 300},
            ["s.png", "--shadow", "0", "--background", "bg.png"],
            r"frame 1 \(.*bg\.png\): height 300 does not fit: a frame after a shadow frame",
        ),
        (
            "too-many-runs",
            {"r.png": [[A, (0, 0, 0, 0)] * 256]},
            ["r.png"],
            r"frame 0 \(.*r\.png\): row 0 needs 256 runs; a row holds at most 255",
        ),
        ("missing-image", {}, ["nothing.png"], r"nothing\.png: no such file"),
        ("not-an-image", {"n.png": "not a picture"}, ["n.png"], r"n\.png: not an image file"),
        ("png-cut-short", {"c.png": damaged_png(cut=True)}, ["c.png"], r"c\.png: cannot read the image: .+"),
        ("png-bad-checksum", {"c.png": damaged_png(cut=False)}, ["c.png"], r"c\.png: cannot read the image: .+"),
        (
            "offsets-count",
            {"a.png": [[A]], "o.json": "[[1, 2], [3, 4]]"},
            ["a.png", "--offsets", "o.json"],
            r"o\.json: needs a JSON list of 1 \[x, y\] pairs, one per image; it holds 2 entries",
        ),
        (
            "offset-range",
            {"a.png": [[A]], "o.json": "[[1, 40000]]"},
            ["a.png", "--offsets", "o.json"],
            r"o\.json: entry 0, y: 40000 is outside -32768\.\.32767",
        ),
        (
            "shadow-index",
            {"a.png": [[A]]},
            ["a.png", "--shadow", "1"],
            r"--shadow 1: there are 1 images, counted from 0",
        ),
        (
            "sheet-with-offsets",
            {"s.json": "{}", "o.json": "[]"},
            ["s.json", "--offsets", "o.json"],
            r"s\.json: --offsets is for images; a sheet description gives offsets and kinds itself",
        ),
        ("sheet-not-json", {"s.json": "{"}, ["s.json"], r"s\.json: not valid JSON"),
    ]


@pytest.mark.parametrize("files, args, message", [pytest.param(*case[1:], id=case[0]) for case in refusal_cases()])
def test_refusals_name_the_file_and_cause_and_write_nothing(project, capsys, monkeypatch, files, args, message):
    monkeypatch.chdir(project)
    for name, content in files.items():
        if isinstance(content, str):
            (project / name).write_text(content)
        elif isinstance(content, bytes):
            (project / name).write_bytes(content)
        else:
            save_png(project / name, content)
    out = project / "anim" / "a.kiv"
    out.parent.mkdir()
    out.write_bytes(b"previous")
    status, _, err = kivtool(capsys, *import_args(project, *args))
    assert status == 1
    assert len(err) == 1 and err[0].startswith("kivtool: ")
    assert re.search(message, err[0]), err[0]
    assert out.read_bytes() == b"previous"
    assert sorted(p.name for p in out.parent.iterdir()) == ["a.kiv"]


SHEET_FRAME = sheet_entry(0, 0, 1, 1, offset={"x": 0, "y": 0}, kind="frame")


@pytest.mark.parametrize(
    "frames, message",
    [
        pytest.param({"a": dict(SHEET_FRAME, rotated=True)}, "frame 'a': is rotated in the sheet", id="rotated"),
        pytest.param(
            {"a": sheet_entry(3, 2, 2, 2)},
            r"frame 'a': its rectangle 2 x 2 at \(3, 2\) reaches outside "
            r"the 4 x 3 sheet image",
            id="outside-the-sheet",
        ),
        pytest.param({"a": dict(SHEET_FRAME, kind="ghost")}, "frame 'a': kind \"ghost\" is not one of", id="kind"),
        pytest.param(
            {"a": dict(SHEET_FRAME, offset={"x": 0.5, "y": 0})},
            r"frame 'a': offset\.x: 0\.5 is not a whole",
            id="offset-not-whole",
        ),
        pytest.param(
            {"bg": dict(SHEET_FRAME, kind="background"), "a": SHEET_FRAME},
            r"frame 0 \(.*bg\): the background frame must be the last frame",
            id="background-not-last",
        ),
        pytest.param({"a": {"rotated": False}}, "frame 'a': has no 'frame'", id="no-rectangle"),
        pytest.param({}, r"s\.json: holds no frames", id="no-frames"),
        pytest.param(
            {"a": dict(SHEET_FRAME, rotated="no")}, "frame 'a': rotated is \"no\", not true or false", id="rotated-no"
        ),
        pytest.param(
            {"a": dict(SHEET_FRAME, trimmed="no")}, "frame 'a': trimmed is \"no\", not true or false", id="trimmed-no"
        ),
        pytest.param({"a": dict(SHEET_FRAME, trimmed=1)}, "frame 'a': trimmed is 1, not true or false", id="trimmed-1"),
    ],
)
def test_sheet_refusals(project, capsys, frames, message):
    path = write_sheet(project, SHEET, frames)
    status, _, err = kivtool(capsys, *import_args(project, path))
    assert status == 1 and len(err) == 1
    assert re.search(message, err[0]), err[0]
    assert not (project / "anim").exists()


@pytest.mark.parametrize(
    "image, message",
    [
        ("s.png\0x", r's\.json: meta\.image "s\.png\\u0000x" is not a file name'),
        (7, r"s\.json: meta\.image 7 is not a file name"),
        ("", r's\.json: meta\.image "" is not a file name'),
    ],
    ids=["with a NUL", "a number", "empty"],
)
def test_a_sheet_image_that_is_no_file_name_is_refused(project, capsys, image, message):
    path = write_sheet(project, SHEET, {"a": SHEET_FRAME})
    path.write_text(json.dumps({"frames": {"a": SHEET_FRAME}, "meta": {"image": image}}))
    status, _, err = kivtool(capsys, *import_args(project, path))
    assert status == 1 and len(err) == 1
    assert re.search(message, err[0]), err[0]


@pytest.mark.parametrize(
    "args, message",
    [
        pytest.param(["--palette", "missing.pal"], "missing.pal: no such palette file", id="palette-missing"),
        pytest.param(
            ["--palette", "bad.pal"],
            r"bad\.pal: not a usable palette file \(Invalid color count: 0\)",
            id="palette-invalid",
        ),
        pytest.param(["--project-root", "nowhere"], "nowhere: the project root is not a folder", id="root-missing"),
        pytest.param(["-o", "../a.kiv"], r"a\.kiv: lies outside the project root", id="out-outside-root"),
        pytest.param(["-o", "pal"], "pal: is a folder; name the animation file to write", id="out-is-a-folder"),
        pytest.param(["-o", "pal/p.pal"], r"pal/p\.pal: is the palette file", id="out-is-the-palette"),
        pytest.param(
            ["-o", "a" * 256 + ".kiv"],
            r"a{256}\.kiv: has a name too long$",
            id="out-name-too-long",
        ),
    ],
)
def test_refusals_of_palette_root_and_output(project, capsys, monkeypatch, args, message):
    monkeypatch.chdir(project)
    (project / "bad.pal").write_bytes(b"\0\0\0\0")
    image = save_png(project / "a.png", [[A]])
    defaults = {"-o": "anim/a.kiv", "--palette": "pal/p.pal", "--project-root": "."}
    defaults.update(zip(args[::2], args[1::2]))
    status, _, err = kivtool(capsys, "import", image, *[x for pair in defaults.items() for x in pair])
    assert status == 1 and len(err) == 1
    assert re.search(message, err[0]), err[0]
    assert not (project / "anim").exists() and not (project.parent / "a.kiv").exists()


def test_a_failed_verification_is_reported_and_leaves_no_file(project, capsys, monkeypatch):
    original = _core.encode
    monkeypatch.setattr(_core, "encode", lambda *args, **kwargs: original(*args, **kwargs)[:-1] + b"\x05")
    image = save_png(project / "a.png", [[A, B]])
    status, out, err = kivtool(capsys, *import_args(project, image))
    assert status == 1 and out == [] and len(err) == 1
    assert "not written: the file made from the images does not read back as them" in err[0]
    assert "fault in kivtool" in err[0]
    assert not (project / "anim" / "a.kiv").exists()


# --------------------------------------------------------------------------
# Round trips through export, on random files


def random_colors(rng):
    """256 colours with repeats, transparent black and other alpha-0
    colours among them, as palettes drawn by hand have."""
    colors = [tuple(rng.randrange(256) for _ in range(3)) + (rng.choice([255, 255, 128, 0]),) for _ in range(256)]
    for _ in range(rng.randint(0, 10)):
        colors[rng.randrange(256)] = rng.choice(colors)
    colors[rng.randrange(256)] = (0, 0, 0, 0)
    return colors


def height_limit(after_shadow: bool) -> int:
    """The most rows a frame can have: 255 from the first shadow frame on."""
    return _core.HEIGHT_FROM_SHADOW_MAX if after_shadow else _core.PLAIN_HEIGHT_MAX


def random_records(rng, shadow, max_height, empty=False):
    """One frame written by something other than this encoder: rows of runs
    that may touch (no skip between them), paint nothing, or run past the
    right edge, and indices that may name the later of two equal colours."""
    width = rng.randint(1, 40) if rng.random() < 0.9 else rng.randint(250, 700)
    height = rng.randint(1, min(max_height, 12)) if rng.random() < 0.95 else rng.randint(256, 300)
    height = min(height, max_height)
    if empty:
        width = height = 0
    pixel_sets = []
    for _ in range(height):
        blocks = []
        for _ in range(rng.randint(0, 4)):
            count = rng.randint(0, 12) if rng.random() < 0.9 else rng.randint(200, 255)
            colors = [] if shadow else [rng.randrange(256) for _ in range(count)]
            blocks.append(kivmodel.Block(rng.choice([0, 0, 1, 3, 200, 255]), count, colors))
        pixel_sets.append(kivmodel.PixelSet(len(blocks), blocks))
    return kivmodel.Frame(
        frame_size=rng.getrandbits(32),
        height=height,
        is_shadow=int(shadow),
        width=width,
        y_offset=rng.randint(-32768, 32767),
        x_offset=rng.randint(-300, 300),
        pixel_sets=pixel_sets,
    )


def random_animation_file(rng, project):
    """An animation and its palette under `project`, as another tool might
    have written them; returns the animation's path."""
    frames, after_shadow = [], False
    for i in range(rng.randint(1, 5)):
        shadow = rng.random() < 0.3
        # 0 x 0 frames too; one frame with pixels gives the sheet an image.
        empty = i > 0 and rng.random() < 0.15
        frames.append(random_records(rng, shadow, height_limit(shadow or after_shadow), empty))
        after_shadow = after_shadow or shadow
    background = rng.random() < 0.4
    if background:  # the background frame is never a shadow frame
        frames.append(random_records(rng, False, height_limit(after_shadow)))
    animation = kivmodel.Animation(
        speed=rng.getrandbits(31), frame_count=len(frames), has_background=background, frames=frames
    )
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(random_colors(rng)))
    path = project / "anim" / "src.kiv"
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(kivmodel.encode_animation(animation, b"pal/p.pal"))
    return path


@pytest.mark.parametrize("seed", range(25))
def test_sheet_round_trip(project, capsys, seed):
    """export --as sheet, then import: the same frames, pixel for pixel, the
    same offsets, kinds, frame count, background and speed. A file this
    encoder wrote comes back byte for byte the second time round."""
    rng = random.Random(seed)
    source = random_animation_file(rng, project)
    sheets = project / "sheets"
    status, _, err = kivtool(capsys, "export", source, "-o", sheets, "--as", "sheet")
    assert (status, err) == (0, [])
    first = project / "anim" / "first.kiv"
    status, _, err = kivtool(capsys, *import_args(project, sheets / "src.json", out="anim/first.kiv"))
    assert (status, err) == (0, [])
    assert loaded(first) == loaded(source)

    status, _, err = kivtool(capsys, "export", first, "-o", sheets, "--as", "sheet")
    assert (status, err) == (0, [])
    status, _, err = kivtool(capsys, *import_args(project, sheets / "first.json", out="anim/second.kiv"))
    assert (status, err) == (0, [])
    assert (project / "anim" / "second.kiv").read_bytes() == first.read_bytes()


def random_image(rng, colors, shadow):
    width, height = rng.randint(1, 30), rng.randint(1, 20)
    pool = [(0, 0, 0, 255)] if shadow else [c for c in colors if c[3] or c == (0, 0, 0, 0)]
    pixels = [[(0, 0, 0, 0) if rng.random() < 0.4 else rng.choice(pool) for _ in range(width)] for _ in range(height)]
    return np.array(pixels, dtype=np.uint8).reshape(height, width, 4)


@pytest.mark.parametrize("seed", range(25))
def test_png_frames_round_trip(project, capsys, seed):
    """PNG frames with offsets, shadows and a background -> import ->
    export --as frames gives the same pixels, and info the same offsets."""
    rng = random.Random(seed)
    colors = random_colors(rng)
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(colors))
    count = rng.randint(1, 6)
    shadows = sorted(rng.sample(range(count), rng.randint(0, count)))
    background = rng.random() < 0.5
    images = project / "in"
    images.mkdir()
    arrays = [random_image(rng, colors, i in shadows) for i in range(count + background)]
    paths = []
    for i, array in enumerate(arrays):
        paths.append(images / f"f{i}.png")
        Image.fromarray(array).save(paths[-1])
    offsets = [[rng.randint(-32768, 32767), rng.randint(-32768, 32767)] for _ in arrays]
    (images / "offsets.json").write_text(json.dumps(offsets))
    args = [*import_args(project, *paths[:count], out="anim/walk.kiv"), "--offsets", images / "offsets.json"]
    args += [x for i in shadows for x in ("--shadow", i)]
    if background:
        args += ["--background", paths[-1]]
    status, _, err = kivtool(capsys, *args)
    assert (status, err) == (0, [])

    status, _, err = kivtool(capsys, "export", project / "anim" / "walk.kiv", "-o", project / "out")
    assert (status, err) == (0, [])
    for i, array in enumerate(arrays):
        exported = np.asarray(Image.open(project / "out" / f"walk_{i:03d}.png").convert("RGBA"))
        assert exported.tolist() == array.tolist()
    status, out, _ = kivtool(capsys, "info", project / "anim" / "walk.kiv", "--json")
    info = json.loads("\n".join(out))
    assert [[f["x_offset"], f["y_offset"]] for f in info["frames"]] == offsets
    kinds = ["shadow" if i in shadows else "frame" for i in range(count)] + ["background"] * background
    assert [f["kind"] for f in info["frames"]] == kinds


def test_limits_are_checked_before_any_image_is_decoded(project, capsys, monkeypatch):
    fine = save_png(project / "fine.png", [[A]])
    tall = save_png(project / "tall.png", [[A]] * 256)
    # Every image of the import is decoded through the reader image_frames binds.
    monkeypatch.setattr(importer, "read_source", lambda path, **_: pytest.fail(f"{path} was decoded"))
    status, _, err = kivtool(capsys, *import_args(project, fine, fine, tall), "--shadow", 0)
    assert status == 1
    assert re.search(r"frame 2 \(.*tall\.png\): height 256 does not fit: a frame after a shadow frame", err[0])


def leaves(value, path=()):
    if isinstance(value, dict):
        for key, item in value.items():
            yield from leaves(item, path + (key,))
    elif isinstance(value, list) and value:
        for i, item in enumerate(value):
            yield from leaves(item, path + (i,))
    yield path


@pytest.mark.parametrize("replacement", [None, "x", -1, 1.5, 10**12, [], {}, True], ids=lambda v: json.dumps(v))
def test_any_field_of_a_sheet_spoiled_gives_one_line_or_a_file(project, capsys, replacement):
    """Every field of a sheet description, and every object holding them,
    replaced in turn: the import either succeeds or says why in one line."""
    good = {
        "frames": {
            "a": sheet_entry(0, 0, 2, 2, offset={"x": 1, "y": 2}, kind="frame"),
            "t": dict(sheet_entry(2, 0, 1, 1, pivot={"x": 0.5, "y": 0.5}), trimmed=True),
        },
        "meta": {"image": "s.png", "speed": 5, "size": {"w": 4, "h": 3}},
    }
    write_sheet(project, SHEET, {})
    for path in leaves(good):
        spoiled = json.loads(json.dumps(good))
        if not path:
            spoiled = replacement
        else:
            holder = spoiled
            for key in path[:-1]:
                holder = holder[key]
            holder[path[-1]] = replacement
        (project / "s.json").write_text(json.dumps(spoiled))
        status, _, err = kivtool(capsys, *import_args(project, project / "s.json"))
        assert status == 0 or (status == 1 and len(err) == 1 and err[0].startswith("kivtool: ")), (path, err)


def test_an_image_whose_name_is_not_text_is_imported_and_named_escaped(project):
    # Only the output and the palette go to the core by name; an image is
    # read by the tool, and named in messages with its odd bytes escaped.
    try:
        image = save_png(Path(os.fsdecode(bytes(project) + b"/a\xff.png")), [[A], [B]])
    except (OSError, UnicodeError):
        pytest.skip("this system keeps only names that are text")
    out = project / "anim" / "a.kiv"
    run = subprocess.run(
        [sys.executable, "-m", "kivtool", "import", image, "-o", out, "--palette", project / "pal" / "p.pal"]
        + ["--project-root", project],
        capture_output=True,
    )
    assert run.returncode == 0, run.stderr
    sources = importer.image_frames([Path(image)], None, [], None)
    plan = importer.plan_import(sources, importer.load_palette(project / "pal" / "p.pal"), speed=0, quantize=False)
    assert plan.names == ["frame 0 (" + str(project) + "/a\\xff.png)"]


@pytest.mark.parametrize("which", ["output", "palette"])
def test_names_that_are_not_text_are_refused(project, which):
    odd = Path(os.fsdecode(bytes(project) + b"/p\xff"))
    try:
        odd.mkdir()
    except (OSError, UnicodeError):
        pytest.skip("this system keeps only names that are text")
    palette = project / "pal" / "p.pal"
    if which == "palette":
        palette = odd / "p.pal"
        palette.write_bytes((project / "pal" / "p.pal").read_bytes())
    out = odd / "a.kiv" if which == "output" else project / "a.kiv"
    image = save_png(project / "a.png", [[A]])
    # In a process of its own, whose error stream writes such names escaped
    # as a terminal's does.
    run = subprocess.run(
        [sys.executable, "-m", "kivtool", "import", image, "-o", out, "--palette", palette, "--project-root", project],
        capture_output=True,
    )
    err = run.stderr.decode("utf-8", "replace").splitlines()
    assert run.returncode == 1 and len(err) == 1 and err[0].endswith(": the file name is not valid text")
    assert not out.exists()


# --------------------------------------------------------------------------
# Hostile input: one short line, never a traceback, a hang or a wrong answer

HUGE = "1" + "0" * 5000
DEEP = "[" * 100_000 + "]" * 100_000


def sheet_text(entry_text='{"frame": {"x": 0, "y": 0, "w": 1, "h": 1}}', image="s.png"):
    return f'{{"frames": {{"a": {entry_text}}}, "meta": {{"image": {json.dumps(image)}}}}}'


def pivot_entry(value):
    return f'{{"frame": {{"x": 0, "y": 0, "w": 2, "h": 2}}, "pivot": {{"x": {value}, "y": 0}}}}'


def hostile_cases():
    """(id, sheet or None for images, extra arguments, message)."""
    fifo = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no named pipes")
    return [
        pytest.param(
            sheet_text(f'{{"frame": {{"x": {HUGE}, "y": 0, "w": 1, "h": 1}}}}'), [], "s.json: ", id="huge-int"
        ),
        pytest.param(sheet_text(DEEP), [], "s.json: ", id="deep-nesting"),
        pytest.param(sheet_text(pivot_entry("NaN")), [], r"pivot\.x NaN gives no offset", id="pivot-nan"),
        pytest.param(sheet_text(pivot_entry("Infinity")), [], r"pivot\.x Infinity gives no offset", id="pivot-inf"),
        pytest.param(sheet_text(pivot_entry("-Infinity")), [], r"pivot\.x -Infinity", id="pivot-minus-inf"),
        pytest.param(sheet_text(pivot_entry("1e308")), [], r"pivot\.x 1e\+308 gives no offset", id="pivot-1e308"),
        pytest.param(sheet_text(pivot_entry("1e10")), [], r"pivot\.x x size: .* is outside", id="pivot-1e10"),
        pytest.param(sheet_text(pivot_entry(HUGE)), [], "s.json: ", id="pivot-huge-int"),
        pytest.param(None, ["--offsets", "o.json"], "o.json: ", id="offsets-huge-int"),
        pytest.param(None, ["--offsets", "deep.json"], "deep.json: ", id="offsets-deep-nesting"),
        pytest.param(sheet_text(image="pipe"), [], "pipe: is not a regular file", id="fifo-sheet-image", marks=fifo),
        pytest.param(None, ["--background", "pipe"], "pipe: is not a regular file", id="fifo-background", marks=fifo),
        pytest.param(None, ["--offsets", "pipe"], "pipe: is not a regular file", id="fifo-offsets", marks=fifo),
        pytest.param(
            sheet_text('{"frame": {"x": 0, "y": 0, "w": 1, "h": 1}, "kind": "' + "k" * 5000 + '"}'),
            [],
            r"kind \"kkk.*\(5002 characters\) is not one of",
            id="long-kind",
        ),
    ]


@pytest.mark.parametrize("sheet, args, message", hostile_cases())
def test_hostile_input_is_one_short_line(project, capsys, monkeypatch, sheet, args, message):
    monkeypatch.chdir(project)
    save_png(project / "s.png", [[A, A], [A, A]])
    (project / "o.json").write_text(f"[[{HUGE}, 0]]")
    (project / "deep.json").write_text(DEEP)
    if hasattr(os, "mkfifo"):
        os.mkfifo(project / "pipe")  # no writer: opening it would wait for ever
    if sheet is not None:
        (project / "s.json").write_text(sheet)
        inputs = ["s.json"]
    else:
        inputs = ["s.png"]
    status, out, err = kivtool(capsys, *import_args(project, *inputs), *args)
    assert status == 1 and len(err) == 1 and len(err[0]) < 300, err
    assert re.search(message, err[0]), err[0]
    assert not (project / "anim").exists()


def test_control_characters_in_names_are_escaped(project, capsys):
    entry = dict(sheet_entry(0, 0, 1, 1), kind="frame")
    path = write_sheet(project, [[(1, 2, 3, 255)]], {"a\nb\x1b[31mred\x9b": entry})
    status, _, err = kivtool(capsys, *import_args(project, path))
    assert status == 1 and len(err) == 1
    assert "a\\x0ab\\x1b[31mred\\x9b" in err[0] and "\x1b" not in err[0]


# --------------------------------------------------------------------------
# Every PNG colour type and bit depth: imported exactly, or refused


def png_case(depth, planes, greyscale=True, alpha=False, palette=None, key=None):
    """Writer settings and samples of a 5 x 3 image using many values of
    the depth (16-bit samples are multiples of 257: 8-bit values)."""
    top = len(palette) - 1 if palette else (1 << depth) - 1
    step = 257 if depth == 16 else 1
    limit = top // step
    rows = [[(x * 7 + y * 11 + p * 5) % (limit + 1) * step for x in range(5) for p in range(planes)] for y in range(3)]
    if key is not None:
        rows[1][:planes] = list(key)  # the first pixel of row 1 is the colour key
    settings = {"greyscale": greyscale, "alpha": alpha, "bitdepth": depth}
    if palette:
        settings = {"palette": palette, "bitdepth": depth}
    if key is not None:
        settings["transparent"] = key if len(key) > 1 else key[0]
    return settings, rows


def expected_rgba(settings, rows, planes):
    depth = settings["bitdepth"]
    out = []
    for row in rows:
        pixels = [row[i : i + planes] for i in range(0, len(row), planes)]
        line = []
        for sample in pixels:
            if "palette" in settings:
                entry = tuple(settings["palette"][sample[0]])
                line.append(entry + (255,) * (4 - len(entry)))
                continue
            colour = sample[:-1] if settings.get("alpha") else sample
            alpha = sample[-1] if settings.get("alpha") else (1 << depth) - 1
            key = settings.get("transparent")
            if key is not None and list(colour) == ([key] if isinstance(key, int) else list(key)):
                alpha = 0
            if settings.get("greyscale"):
                colour = colour * 3
            scale = (lambda v: v // 257) if depth == 16 else (lambda v: v * 255 // ((1 << depth) - 1))
            line.append(tuple(scale(v) for v in list(colour) + [alpha]))
        out.append(line)
    return np.array(out, dtype=np.uint8)


def interlaced(case):
    settings, rows = case
    return {**settings, "interlace": True}, rows


GREY4 = [(0, 0, 0), (90, 80, 70), (255, 255, 255), (1, 2, 3)]
PALETTE16 = [(i * 16, 255 - i * 16, i, 255 if i % 3 else i * 10) for i in range(16)]
PNG_MODES = [
    pytest.param(png_case(1, 1), 1, id="grey-1"),
    pytest.param(png_case(2, 1), 1, id="grey-2"),
    pytest.param(png_case(4, 1), 1, id="grey-4"),
    pytest.param(png_case(8, 1), 1, id="grey-8"),
    pytest.param(png_case(16, 1), 1, id="grey-16"),
    pytest.param(png_case(8, 2, alpha=True), 2, id="grey-alpha-8"),
    pytest.param(png_case(16, 2, alpha=True), 2, id="grey-alpha-16"),
    pytest.param(png_case(8, 3, greyscale=False), 3, id="rgb-8"),
    pytest.param(png_case(16, 3, greyscale=False), 3, id="rgb-16"),
    pytest.param(png_case(8, 4, greyscale=False, alpha=True), 4, id="rgba-8"),
    pytest.param(interlaced(png_case(8, 4, greyscale=False, alpha=True)), 4, id="rgba-8-interlaced"),
    pytest.param(png_case(16, 4, greyscale=False, alpha=True), 4, id="rgba-16"),
    pytest.param(png_case(1, 1, palette=GREY4[:2]), 1, id="palette-1"),
    pytest.param(png_case(2, 1, palette=GREY4), 1, id="palette-2"),
    pytest.param(png_case(4, 1, palette=PALETTE16), 1, id="palette-4-with-alpha"),
    pytest.param(png_case(8, 1, palette=PALETTE16 * 16), 1, id="palette-8-with-alpha"),
    pytest.param(png_case(1, 1, key=(1,)), 1, id="grey-1-key"),
    pytest.param(png_case(2, 1, key=(1,)), 1, id="grey-2-key"),
    pytest.param(png_case(4, 1, key=(9,)), 1, id="grey-4-key"),
    pytest.param(png_case(8, 1, key=(200,)), 1, id="grey-8-key"),
    pytest.param(png_case(16, 1, key=(257 * 40,)), 1, id="grey-16-key"),
    pytest.param(png_case(8, 3, greyscale=False, key=(1, 2, 3)), 3, id="rgb-8-key"),
    pytest.param(png_case(16, 3, greyscale=False, key=(257, 514, 771)), 3, id="rgb-16-key"),
]


def write_png(path, settings, rows):
    import png

    with open(path, "wb") as file:
        png.Writer(5, len(rows), **settings).write(file, rows)
    return path


@pytest.mark.parametrize("case, planes", PNG_MODES)
def test_every_png_mode_is_read_exactly(tmp_path, case, planes):
    settings, rows = case
    path = write_png(tmp_path / "m.png", settings, rows)
    expected = expected_rgba(settings, rows, planes)
    assert images.read_image(path).tolist() == expected.tolist()


def test_an_rgba_png_mostly_of_other_chunks_reads_the_same(tmp_path):
    # RGBA PNGs are read whole into memory unless the file is much larger
    # than its pixels; then they are read as a stream. Both give the pixels.
    settings, rows = png_case(8, 4, greyscale=False, alpha=True)
    small = write_png(tmp_path / "small.png", settings, rows).read_bytes()
    end = small.index(b"IEND") - 4
    padding = bytes(3 << 20)
    extra = len(padding).to_bytes(4, "big") + b"prIv" + padding + zlib.crc32(b"prIv" + padding).to_bytes(4, "big")
    big = tmp_path / "big.png"
    big.write_bytes(small[:end] + extra + small[end:])
    expected = expected_rgba(settings, rows, 4).tolist()
    assert images.read_image(tmp_path / "small.png").tolist() == expected
    assert images.read_image(big).tolist() == expected


@pytest.mark.parametrize(
    "planes, channel",
    [(1, "colour"), (2, "colour"), (2, "alpha"), (3, "colour"), (4, "colour"), (4, "alpha")],
    ids=["grey-16", "grey-alpha-16", "grey-alpha-16-alpha", "rgb-16", "rgba-16", "rgba-16-alpha"],
)
def test_a_16_bit_sample_that_is_no_8_bit_value_is_refused_or_rounded(tmp_path, planes, channel):
    alpha = planes in (2, 4)
    settings, rows = png_case(16, planes, greyscale=planes < 3, alpha=alpha)
    first = 2 * planes  # the first sample of pixel x=2, y=1
    if alpha:
        rows[1][first + planes - 1] = 65535
    rows[1][first + (planes - 1 if channel == "alpha" else 0)] = 1000  # 1000 / 257 = 3.89, nearest 4
    path = write_png(tmp_path / "deep.png", settings, rows)
    with pytest.raises(ImportRefused, match=r"^.*deep\.png: pixel x=2, y=1 has the 16-bit colour \(.*1000.*\)"):
        images.read_image(path)
    got = images.read_image(path, quantize=True)
    expected = expected_rgba(settings, [[v - v % 257 for v in row] for row in rows], planes)
    expected[1, 2, 3 if channel == "alpha" else 0] = 4
    if channel == "colour" and planes < 3:
        expected[1, 2, :3] = 4
    assert got.tolist() == expected.tolist()


def test_a_16_bit_grey_image_imports_as_it_shows(project, capsys):
    # Pillow alone reads every pixel of this as white.
    settings, rows = png_case(16, 1)
    path = write_png(project / "grey.png", settings, [[10 * 257] * 5] * 3)
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file([(0, 0, 0, 0), (10, 10, 10, 255)]))
    status, out, err = kivtool(capsys, *import_args(project, path))
    assert (status, err) == (0, [])
    assert loaded(project / "anim" / "a.kiv")[1][0][5] == bytes((10, 10, 10, 255)) * 15


def test_a_palette_index_beyond_the_palette_is_refused(tmp_path):
    import png

    path = write_png(tmp_path / "p.png", {"palette": GREY4[:3], "bitdepth": 2}, [[0, 1, 2, 1, 0]] * 3)
    with open(path, "rb") as file:
        chunks = list(png.Reader(file=file).chunks())
    with open(path, "wb") as file:  # the palette cut to 2 colours, where index 2 is used
        png.write_chunks(file, [(kind, data[:6] if kind == b"PLTE" else data) for kind, data in chunks])
    with pytest.raises(ImportRefused, match=r"p\.png: pixel x=2, y=0 has palette index 2, beyond the image's 2"):
        images.read_image(path)


# --------------------------------------------------------------------------
# Images that are not one whole picture


def spoiled_png(path: Path, kind: str, damage: str) -> None:
    """A PNG of colours of the palette, through each decoder the import
    uses (RGBA and RGB 8-bit: the core; 16-bit: pypng), then damaged."""
    pixels = np.array([[A, A], [A, A]], dtype=np.uint8)
    if kind == "rgba":
        Image.fromarray(pixels).save(path)
    elif kind == "rgb":
        Image.fromarray(pixels[:, :, :3]).save(path)
    else:
        import png as pypng

        rows = (pixels.astype(np.uint16) * 257).reshape(2, -1)
        with path.open("wb") as file:
            pypng.Writer(2, 2, greyscale=False, alpha=True, bitdepth=16).write(file, rows.tolist())
    data = bytearray(path.read_bytes())
    start = data.index(b"IDAT")
    length = struct.unpack(">I", data[start - 4 : start])[0]
    if damage == "crc":
        data[start + 4 + length] ^= 0xFF  # the checksum, not the data: decoders that skip it see a whole image
    else:
        del data[start + 4 + length + 4 :]  # cut after the pixel data: no IEND
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("kind", ["rgba", "rgb", "rgba16"])
@pytest.mark.parametrize("damage", ["crc", "no-end"])
def test_a_png_that_fails_its_checksums_is_refused(project, capsys, kind, damage):
    """Pillow decodes IDAT without checking its CRC; the import checks every chunk."""
    spoiled_png(project / "a.png", kind, damage)
    status, _, err = kivtool(capsys, *import_args(project, project / "a.png"))
    assert status == 1 and len(err) == 1, err
    assert re.search(
        r"a\.png: cannot read the image: a damaged PNG file: (Checksum error in IDAT|it is cut short \(it ends before its IEND chunk\))",
        err[0],
    ), err[0]
    assert not (project / "anim").exists()


@pytest.mark.parametrize("form", ["GIF", "PNG", "WEBP"])
def test_an_animated_sheet_image_is_refused(project, capsys, form):
    """A sheet cuts frames from one picture: taking an animated image's
    first would lose every step after it without a word."""
    frames = [Image.new("RGBA", (2, 2), color) for color in (A, C, A)]
    name = f"a.{form.lower()}"
    frames[0].save(project / name, format=form, save_all=True, append_images=frames[1:], duration=100, loop=0)
    (project / "s.json").write_text(json.dumps({"frames": {"a": sheet_entry(0, 0, 2, 2)}, "meta": {"image": name}}))
    status, _, err = kivtool(capsys, *import_args(project, project / "s.json"))
    assert status == 1 and len(err) == 1, err
    assert re.search(rf"{name}: is an animated image of 3 frames; a sheet's image or an image cut by --grid", err[0]), (
        err[0]
    )


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_frames_read_ahead_come_in_order_and_a_failed_read_raises_when_taken(threads):
    # Frames are read on threads a few ahead of the one taken; they come in
    # order, a read that failed raises when its frame is taken, and no frame
    # is read more than `threads` ahead.
    reads = []

    def source(i):
        def read():
            reads.append(i)
            if i == 3:
                raise ImportRefused(f"frame {i} cannot be read")
            return np.full((1, 1, 4), i, dtype=np.uint8)

        return SourceFrame(f"f{i}.png", read, 0, 0, importer.FRAME, 1, 1)

    ahead = importer.frames_read_ahead([source(i) for i in range(8)], PaletteIndex([(1, 2, 3, 255)]), threads)
    try:
        for i in range(3):
            decoded, mapped = next(ahead)
            assert decoded[0, 0, 0] == i and mapped is None
        with pytest.raises(ImportRefused, match="frame 3 cannot be read"):
            next(ahead)
    finally:
        ahead.close()
    assert sorted(reads) == list(range(len(reads))) and max(reads) <= 2 + threads
