"""kivtool import: images to an animation file, verified pixel for pixel."""

from __future__ import annotations

import json
import os
import random
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import kivmodel
import pykiv
from kivtool import importer, kiv_layout
from kivtool.importer import ImportRefused, SourceFrame

# Index 0 is (0, 0, 0, 0), never painted; 1 and 2 hold the same colour;
# 3 is a colour with alpha 0 that is still painted when a pixel is exactly it.
COLORS = [(0, 0, 0, 0), (10, 20, 30, 255), (10, 20, 30, 255), (5, 5, 5, 0), (200, 0, 0, 128),
          (0, 0, 0, 255), (250, 250, 250, 255)]


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
    return SourceFrame(name, lambda: rgba, x, y, kind)


def words(colors):
    return [int.from_bytes(bytes(c), "little") for c in colors]


# --------------------------------------------------------------------------
# Pixels to palette indices


@pytest.mark.parametrize("pixel, index, renders_as", [
    pytest.param((10, 20, 30, 255), 1, (10, 20, 30, 255), id="palette-colour-lowest-of-two"),
    pytest.param((200, 0, 0, 128), 4, (200, 0, 0, 128), id="translucent-palette-colour"),
    pytest.param((5, 5, 5, 0), 3, (5, 5, 5, 0), id="alpha-0-palette-colour-is-painted"),
    pytest.param((0, 0, 0, 0), None, (0, 0, 0, 0), id="transparent-black-never-painted"),
    pytest.param((9, 9, 9, 0), None, (0, 0, 0, 0), id="other-alpha-0-not-painted"),
    pytest.param((0, 0, 0, 255), 5, (0, 0, 0, 255), id="opaque-black"),
])
def test_pixels_map_to_palette_indices(pixel, index, renders_as):
    palette = importer.PaletteIndex(padded(COLORS))
    runs, expected, changed = importer.map_frame(source([[pixel]]), palette, quantize=False)
    assert bool(runs.painted[0, 0]) == (index is not None)
    if index is not None:
        assert runs.indices is not None and runs.indices[0, 0] == index
    assert expected.tolist() == [words([renders_as])]
    assert changed == 0


def test_a_colour_outside_the_palette_is_refused_with_its_place():
    palette = importer.PaletteIndex(padded(COLORS))
    pixels = [[(10, 20, 30, 255)] * 4, [(10, 20, 30, 255)] * 3 + [(1, 2, 3, 4)]]
    with pytest.raises(ImportRefused, match=r"^img\.png: pixel x=3, y=1 has colour \(1, 2, 3, 4\), "
                                            r"which is not in the palette \(--quantize"):
        importer.map_frame(source(pixels), palette, quantize=False)


@pytest.mark.parametrize("pixel, index, renders_as", [
    pytest.param((11, 21, 29, 255), 1, (10, 20, 30, 255), id="near-a-duplicate-takes-the-lowest"),
    pytest.param((240, 255, 255, 250), 6, (250, 250, 250, 255), id="near-white"),
    pytest.param((1, 0, 1, 1), None, (0, 0, 0, 0), id="nearest-is-transparent-black"),
    pytest.param((6, 4, 5, 2), 3, (5, 5, 5, 0), id="nearest-has-alpha-0"),
])
def test_quantize_takes_the_nearest_palette_colour(pixel, index, renders_as):
    palette = importer.PaletteIndex(padded(COLORS))
    inside = (200, 0, 0, 128)
    runs, expected, changed = importer.map_frame(source([[inside, pixel, pixel]]), palette, quantize=True)
    assert changed == 2
    assert runs.painted[0].tolist() == [True] + [index is not None] * 2
    if index is not None:
        assert runs.indices is not None and runs.indices[0, 1:].tolist() == [index, index]
    assert expected[0].tolist() == words([inside, renders_as, renders_as])


def test_shadow_frames_paint_every_visible_pixel_black():
    palette = importer.PaletteIndex(padded(COLORS))
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
    palette = importer.PaletteIndex(colors)
    lowest = {}
    for i, c in enumerate(colors):
        lowest.setdefault(c, i)
    pool = colors + [tuple(rng.randrange(256) for _ in range(4)) for _ in range(50)]
    pixels = [[rng.choice(pool) for _ in range(30)] for _ in range(20)]
    indices, found = palette.lookup(importer.as_words(np.array(pixels, dtype=np.uint8)))
    for y, row in enumerate(pixels):
        for x, c in enumerate(row):
            known = c in lowest and c != (0, 0, 0, 0)
            assert found[y, x] == known
            if known:
                assert indices[y, x] == lowest[c]


# --------------------------------------------------------------------------
# Where the palette is stored


def test_location_is_the_palette_relative_to_the_root(project):
    assert importer.stored_location(project / "anim" / "a.kiv", project, project / "pal" / "p.pal") == "pal/p.pal"
    assert importer.stored_location(project / "a.kiv", project, project / "pal" / "p.pal") == "pal/p.pal"


def test_location_above_the_root(tmp_path):
    root = tmp_path / "game" / "data"
    root.mkdir(parents=True)
    (tmp_path / "game" / "pal").mkdir()
    palette = tmp_path / "game" / "pal" / "p.pal"
    palette.write_bytes(kivmodel.palette_file(COLORS))
    assert importer.stored_location(root / "anim" / "a.kiv", root, palette) == "../pal/p.pal"


def test_links_are_resolved_like_the_writer_does(project, tmp_path):
    link = tmp_path / "link"
    link.symlink_to(project, target_is_directory=True)
    assert importer.stored_location(link / "anim" / "a.kiv", link, project / "pal" / "p.pal") == "pal/p.pal"


@pytest.mark.parametrize("out, extra_palette, refusal", [
    pytest.param("../elsewhere/a.kiv", None, "lies outside the project root", id="out-outside-root"),
    pytest.param("anim/a.kiv", "anim/pal/p.pal", "the stored palette location 'pal/p.pal' would find .*anim/pal/p.pal",
                 id="another-palette-found-first"),
])
def test_locations_that_would_not_find_the_palette_are_refused(project, out, extra_palette, refusal):
    if extra_palette:
        (project / extra_palette).parent.mkdir(parents=True)
        (project / extra_palette).write_bytes(kivmodel.palette_file(COLORS))
    with pytest.raises(ImportRefused, match=refusal):
        importer.stored_location(project / out, project, project / "pal" / "p.pal")


# --------------------------------------------------------------------------
# Writing, verifying, replacing


def import_sources(project, sources, out="anim/a.kiv", speed=3, quantize=False):
    return importer.import_animation(sources, project / out, project / "pal" / "p.pal", project,
                                     speed=speed, quantize=quantize)


def test_imported_file_loads_back_as_the_images(project):
    red, blue = (200, 0, 0, 128), (10, 20, 30, 255)
    sources = [source([[red, blue], [(0, 0, 0, 0), red]], x=-3, y=4),
               source([[(7, 7, 7, 90)] * 3], kind=importer.SHADOW, x=1, y=-1),
               source([[blue] * 5] * 2, kind=importer.BACKGROUND, x=-100, y=-50)]
    import_sources(project, sources)
    kiv = pykiv.KivF()
    data = kiv.load(str(project / "anim" / "a.kiv"))
    assert data is not None
    assert (data.info.speed, data.info.frame_count, data.has_background) == (3, 3, True)
    assert data.palette.location() == "pal/p.pal"
    images = kiv.get_frame_buffer()
    assert [(i.width, i.height, i.offset_x, i.offset_y) for i in images] == [(2, 2, -3, 4), (3, 1, 1, -1),
                                                                             (5, 2, -100, -50)]
    assert [f.is_shadow for f in data.frames] == [0, 1, 0]
    assert images[0].pixels == bytes(red + blue + (0, 0, 0, 0) + red)
    assert images[1].pixels == bytes((0, 0, 0, 255)) * 3


def test_failed_verification_leaves_the_previous_file(project, monkeypatch):
    out = project / "anim" / "a.kiv"
    out.parent.mkdir()
    out.write_bytes(b"previous")
    original = kiv_layout.encode_frame

    def wrong_colour(frame, name):
        record = bytearray(original(frame, name))
        record[-1] ^= 1  # the last colour index of the last row
        return bytes(record)

    monkeypatch.setattr(kiv_layout, "encode_frame", wrong_colour)
    with pytest.raises(importer.VerificationFailed, match=r"frame 0 \(img.png\) renders pixel x=1, y=0 as"):
        import_sources(project, [source([[(10, 20, 30, 255), (200, 0, 0, 128)]])])
    assert out.read_bytes() == b"previous"
    assert sorted(p.name for p in out.parent.iterdir()) == ["a.kiv"]


def test_failed_verification_leaves_no_file_where_there_was_none(project, monkeypatch):
    monkeypatch.setattr(importer, "verify", lambda path, plan: (_ for _ in ()).throw(
        importer.VerificationFailed("simulated")))
    with pytest.raises(importer.VerificationFailed):
        import_sources(project, [source([[(10, 20, 30, 255)]])])
    assert list((project / "anim").iterdir()) == []


def test_replacing_keeps_no_temporary_file(project):
    out = project / "a.kiv"
    out.write_bytes(b"previous")
    import_sources(project, [source([[(10, 20, 30, 255)]])], out="a.kiv")
    assert sorted(p.name for p in project.iterdir()) == ["a.kiv", "pal"]
    assert out.read_bytes() != b"previous"


# --------------------------------------------------------------------------
# Sprite sheets


def sheet_entry(x, y, w, h, **extra):
    entry = {"frame": {"x": x, "y": y, "w": w, "h": h}, "rotated": False, "trimmed": False,
             "spriteSourceSize": {"x": 0, "y": 0, "w": w, "h": h}, "sourceSize": {"w": w, "h": h}}
    entry.update(extra)
    return entry


def write_sheet(folder, image, frames, **meta):
    Image.fromarray(np.array(image, dtype=np.uint8)).save(folder / "s.png")
    path = folder / "s.json"
    path.write_text(json.dumps({"frames": frames, "meta": {"image": "s.png", **meta}}))
    return path


A, B, C = (10, 20, 30, 255), (200, 0, 0, 128), (250, 250, 250, 255)
SHEET = [[A, B, C, C],
         [B, A, C, C],
         [A, A, A, B]]


def read_sheet(path):
    frames, speed = importer.sheet_frames(path)
    return [(f.name.split(": ")[-1], f.read().tolist(), f.x_offset, f.y_offset, f.kind) for f in frames], speed


def test_sheet_frames_come_in_the_description_order(tmp_path):
    path = write_sheet(tmp_path, SHEET, {
        "b": sheet_entry(2, 0, 2, 2, offset={"x": -1, "y": 5}, kind="shadow"),
        "a": sheet_entry(0, 0, 2, 2, offset={"x": 3, "y": -4}, kind="frame"),
        "empty": sheet_entry(0, 0, 0, 0, offset={"x": 7, "y": 8}, kind="frame"),
        "bg": sheet_entry(0, 2, 4, 1, offset={"x": 0, "y": 0}, kind="background"),
    }, speed=42)
    assert read_sheet(path) == ([
        ("b", [[list(C), list(C)], [list(C), list(C)]], -1, 5, "shadow"),
        ("a", [[list(A), list(B)], [list(B), list(A)]], 3, -4, "frame"),
        ("empty", [], 7, 8, "frame"),
        ("bg", [[list(A), list(A), list(A), list(B)]], 0, 0, "background"),
    ], 42)


def test_sheet_from_other_tools(tmp_path):
    """The array layout, trimmed frames put back on their source size,
    offsets from the pivot, and no kind or speed."""
    trimmed = sheet_entry(1, 1, 2, 1, pivot={"x": 0.5, "y": 1.0})
    trimmed.update(trimmed=True, spriteSourceSize={"x": 1, "y": 0, "w": 2, "h": 1}, sourceSize={"w": 4, "h": 2})
    path = write_sheet(tmp_path, SHEET, [dict(filename="t.png", **trimmed),
                                         dict(filename="plain.png", **sheet_entry(0, 0, 1, 1))])
    zero = [0, 0, 0, 0]
    assert read_sheet(path) == ([
        ("t.png", [[zero, list(A), list(C), zero], [zero] * 4], -2, -2, "frame"),
        ("plain.png", [[list(A)]], 0, 0, "frame"),
    ], None)
