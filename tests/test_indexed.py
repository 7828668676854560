"""Indexed export and import: palette PNGs whose pixels are the palette
indices the runs paint, and the round trips through them.

Animation files are generated here as another writer might make them (runs
split anywhere, blocks that paint nothing, indices past the right edge,
odd frame_size, unk1 and unk2, a prefix without a background), from index
planes; what a round trip keeps is compared index for index.
"""

from __future__ import annotations

import json
import random
import re
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

import kivmodel
import numpy as np
import pytest
from PIL import Image, PngImagePlugin

from kivtool.animation import load_animation
from kivtool.cli import main

LOCATION = b"pal/p.pal"
BLACK = (0, 0, 0, 255)
CLEAR = (0, 0, 0, 0)


@dataclass
class FramePlan:
    values: np.ndarray  # height x width indices
    mask: np.ndarray  # painted pixels
    x: int = 0
    y: int = 0
    shadow: bool = False


def kivtool(capsys, *args):
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out.splitlines(), err.splitlines()


# --------------------------------------------------------------------------
# Files as another writer makes them


def pieces(rng: random.Random, start: int, end: int) -> list[tuple[int, int]]:
    """[start, end) cut into touching runs of at most 255 pixels."""
    out = []
    while start < end:
        length = min(end - start, 255, rng.randint(1, 12))
        out.append((start, start + length))
        start += length
    return out


def rows_of(plan: FramePlan, rng: random.Random) -> list[list[tuple[int, int, list[int]]]]:
    height, width = plan.mask.shape
    rows = []
    for y in range(height):
        line = np.concatenate([[False], plan.mask[y], [False]])
        edges = np.flatnonzero(line[1:] != line[:-1])
        blocks = []
        x = 0
        for start, end in zip(edges[0::2].tolist(), edges[1::2].tolist()):
            skip = start - x
            while skip > 255:
                blocks.append((255, 0, []))
                skip -= 255
            if rng.random() < 0.2:  # a block that paints nothing and only skips
                blocks.append((skip, 0, []))
                skip = 0
            for a, b in pieces(rng, start, end):
                colors = [] if plan.shadow else plan.values[y, a:b].tolist()
                count = b - a
                if b == width and a == start and rng.random() < 0.5 and count < 250:
                    # indices past the right edge, never drawn
                    extra = rng.randint(1, 5)
                    colors += [] if plan.shadow else [rng.randrange(256) for _ in range(extra)]
                    count += extra
                blocks.append((skip, count, colors))
                skip = 0
            x = end
        if x == width and width and rng.random() < 0.3:  # a run after the edge paints nothing
            blocks.append((0, 2, [] if plan.shadow else [1, 2]))
        rows.append(blocks)
    return rows


def write_other_file(path: Path, frames: list[FramePlan], background: bool, speed: int, rng: random.Random) -> None:
    records = []
    for plan in frames:
        height, width = plan.mask.shape
        records.append(
            kivmodel.frame_record(
                rng.getrandbits(32),
                height | (0x8000 if plan.shadow else 0),
                width,
                plan.y,
                plan.x,
                rng.randrange(256),
                rng.randrange(256),
                rows_of(plan, rng),
                plan.shadow,
            )
        )
    prefix = background or rng.random() < 0.5
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(
        kivmodel.animation_file(
            speed,
            LOCATION + b"\0" + (b"junk" if rng.random() < 0.3 else b""),
            records,
            prefix=prefix,
            has_background_byte=1 if background else 0,
            reserved=bytes(rng.randrange(256) for _ in range(4)),
        )
        + (b"trailing" if rng.random() < 0.3 else b"")
    )


def random_palette(rng: random.Random) -> list[tuple[int, int, int, int]]:
    """Repeated colours, (0, 0, 0, 0) entries, opaque black, translucency."""
    colors = [
        (rng.randrange(256), rng.randrange(256), rng.randrange(256), rng.choice([255, 255, 128, 0])) for _ in range(256)
    ]
    for _ in range(rng.randint(1, 10)):
        colors[rng.randrange(256)] = rng.choice(colors)
    colors[rng.randrange(256)] = CLEAR
    colors[rng.randrange(1, 256)] = BLACK  # 0 is the usual transparent index
    return colors


def random_plan(rng: random.Random, shadow: bool, pool: list[int], max_height: int = 12) -> FramePlan:
    width, height = rng.randint(1, 30), rng.randint(1, max_height)
    mask = np.array([[rng.random() < 0.6 for _ in range(width)] for _ in range(height)])
    values = np.array([[rng.choice(pool) for _ in range(width)] for _ in range(height)], dtype=np.uint8)
    values[~mask] = 0
    if shadow:
        values[:] = 0
    return FramePlan(values, mask, rng.randint(-300, 300), rng.randint(-300, 300), shadow)


def every_index_but(missing: int, rng: random.Random) -> FramePlan:
    """A 16 x 17 frame painting every index except `missing` once, with
    unpainted pixels around."""
    indices = [i for i in range(256) if i != missing]
    rng.shuffle(indices)
    values = np.zeros((17, 16), dtype=np.uint8)
    mask = np.zeros((17, 16), dtype=bool)
    values.reshape(-1)[: len(indices)] = indices
    mask.reshape(-1)[: len(indices)] = True
    return FramePlan(values, mask, -8, -17)


def scenario(name: str, rng: random.Random):
    """(palette, frames, background?) for one named case."""
    palette = random_palette(rng)
    pool = list(range(1, 256))
    shadows = False
    if name == "duplicate-colours":
        palette[40] = palette[200] = palette[5] = (10, 20, 30, 255)
        pool = [5, 40, 200, 201]
    elif name == "transparent-black-painted":
        palette[0] = palette[7] = palette[99] = CLEAR
        pool = [7, 99, 100]
    elif name == "all-but-one-painted":
        pool = [i for i in range(256) if i != 137]
        return palette, [every_index_but(137, rng), random_plan(rng, False, pool)], False
    elif name == "shadows":
        shadows = True
    elif name == "empty-frames":  # no pixels, but a width or a height all the same
        empty = [np.zeros(shape, dtype=np.uint8) for shape in [(5, 0), (0, 7), (0, 0)]]
        frames = [FramePlan(values, values.astype(bool), 3, -4) for values in empty]
        return palette, [random_plan(rng, False, pool)] + frames, False
    frames = []
    count = rng.randint(1, 4)
    for i in range(count):
        shadow = shadows and (i % 2 == 1 or rng.random() < 0.3)
        frames.append(random_plan(rng, shadow, pool))
    background = name in ("background", "random") and rng.random() < (1 if name == "background" else 0.5)
    if background:
        frames.append(random_plan(rng, False, pool))
    if name == "random" and rng.random() < 0.5:
        frames.insert(rng.randrange(len(frames)), random_plan(rng, True, pool))
    # every painted index from pool; pool never holds 0 unless stated, so
    # index 0 (or the missing one) stays free for unpainted pixels
    return palette, frames, background


CASES = ["duplicate-colours", "transparent-black-painted", "all-but-one-painted", "shadows", "background"]
CASES += [f"random-{seed}" for seed in range(8)]


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "game"
    (root / "pal").mkdir(parents=True)
    return root


def make_source(project: Path, case: str) -> tuple[Path, list[FramePlan], list[tuple[int, int, int, int]]]:
    rng = random.Random(case)
    palette, frames, background = scenario(case.split("-")[0] if case.startswith("random") else case, rng)
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(palette))
    source = project / "anim" / "src.kiv"
    write_other_file(source, frames, background, rng.getrandbits(31), rng)
    return source, frames, palette


def kept(path: Path, palette: Path | None = None):
    """What a round trip keeps: the header (speed, frame count, background),
    the stored palette location, and each frame's size, offsets, kind,
    painted pixels and the indices there."""
    animation = load_animation(path, palette)
    frames = []
    for frame in animation.frames:
        values, mask = animation.indices(frame.index)
        frames.append(
            (
                frame.width,
                frame.height,
                frame.x_offset,
                frame.y_offset,
                frame.kind,
                np.where(mask, values, 0).tolist(),
                mask.tolist(),
            )
        )
    return animation.speed, animation.frame_count, animation.has_background, animation.location, frames


def import_args(project: Path, *inputs, out: str):
    return [
        "import",
        *inputs,
        "-o",
        project / "anim" / out,
        "--palette",
        project / "pal" / "p.pal",
        "--project-root",
        project,
    ]


@pytest.mark.parametrize("case", CASES)
def test_the_generated_files_paint_what_they_were_made_from(project, case):
    """The index planes the tool reads are the ones the files were made of."""
    source, frames, _ = make_source(project, case)
    _, _, _, _, got = kept(source)
    assert len(got) == len(frames)
    for plan, (width, height, x, y, kind, values, mask) in zip(frames, got):
        assert (width, height, x, y) == (plan.mask.shape[1], plan.mask.shape[0], plan.x, plan.y)
        assert (kind == "shadow") == plan.shadow
        assert mask == plan.mask.tolist()
        assert values == np.where(plan.mask, plan.values, 0).tolist()


@pytest.mark.parametrize("case", CASES + ["empty-frames"])
def test_sheet_round_trip_keeps_every_index(project, capsys, case):
    source, _, _ = make_source(project, case)
    out = project / "sheets"
    status, _, err = kivtool(capsys, "export", source, "-o", out, "--as", "sheet", "--indexed")
    assert (status, err) == (0, [])
    with Image.open(out / "src.png") as sheet:
        assert sheet.mode == "P"
    status, _, err = kivtool(capsys, *import_args(project, out / "src.json", out="first.kiv"))
    assert (status, err) == (0, [])
    first = project / "anim" / "first.kiv"
    assert kept(first) == kept(source)

    # A file as import writes it comes back byte for byte.
    status, _, err = kivtool(capsys, "export", first, "-o", out, "--as", "sheet", "--indexed")
    assert (status, err) == (0, [])
    status, _, err = kivtool(capsys, *import_args(project, out / "first.json", out="second.kiv"))
    assert (status, err) == (0, [])
    assert (project / "anim" / "second.kiv").read_bytes() == first.read_bytes()


def frames_import_args(project: Path, source: Path, folder: Path, out: str) -> list:
    animation = load_animation(source)
    images, offsets, shadows, background = [], [], [], None
    for frame in animation.frames:
        offsets.append([frame.x_offset, frame.y_offset])
        path = folder / f"{source.stem}_{frame.index:03d}.png"
        if frame.kind == "background":
            background = path
            continue
        if frame.kind == "shadow":
            shadows += ["--shadow", len(images)]
        images.append(path)
    (folder / "offsets.json").write_text(json.dumps(offsets))
    args = import_args(project, *images, out=out) + ["--offsets", folder / "offsets.json", "--speed", animation.speed]
    return args + shadows + (["--background", background] if background else [])


@pytest.mark.parametrize("case", CASES)
def test_frames_round_trip_keeps_every_index(project, capsys, case):
    source, _, _ = make_source(project, case)
    out = project / "frames"
    status, _, err = kivtool(capsys, "export", source, "-o", out, "--indexed")
    assert (status, err) == (0, [])
    status, _, err = kivtool(capsys, *frames_import_args(project, source, out, "first.kiv"))
    assert (status, err) == (0, [])
    first = project / "anim" / "first.kiv"
    assert kept(first) == kept(source)

    again = project / "again"
    status, _, err = kivtool(capsys, "export", first, "-o", again, "--indexed")
    assert (status, err) == (0, [])
    status, _, err = kivtool(capsys, *frames_import_args(project, first, again, "second.kiv"))
    assert (status, err) == (0, [])
    assert (project / "anim" / "second.kiv").read_bytes() == first.read_bytes()


# --------------------------------------------------------------------------
# What the images hold, read by others


def fixed_scene(project: Path, palette_changes: dict[int, tuple[int, int, int, int]] | None = None) -> Path:
    """Index 0 painted; 1 free (the transparent index); a shadow; a background."""
    palette = [(i, 255 - i, (7 * i) % 256, 255 if i % 3 else 128) for i in range(256)]
    palette[9] = BLACK
    palette[3] = BLACK
    for index, color in (palette_changes or {}).items():
        palette[index] = color
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(palette))
    frames = [
        FramePlan(
            np.array([[0, 2, 5], [4, 0, 0]], dtype=np.uint8), np.array([[1, 1, 1], [1, 0, 1]], dtype=bool), -2, -3
        ),
        FramePlan(np.zeros((1, 4), dtype=np.uint8), np.array([[0, 1, 1, 0]], dtype=bool), 1, 1, shadow=True),
        FramePlan(np.full((2, 2), 200, dtype=np.uint8), np.ones((2, 2), dtype=bool), -5, -5),
    ]
    source = project / "anim" / "s.kiv"
    write_other_file(source, frames, True, 42, random.Random(1))
    return source


def test_indexed_images_as_other_readers_see_them(project, capsys):
    source = fixed_scene(project)
    out = project / "out"
    status, _, err = kivtool(capsys, "export", source, "-o", out, "--as", "frames", "--as", "sheet", "--indexed")
    assert (status, err) == (0, [])
    palette = load_animation(source).palette()
    meta = json.loads((out / "s.json").read_text())["meta"]
    assert (meta["transparentIndex"], meta["shadowIndex"], meta["format"]) == (1, 3, "I8")
    expected = {
        "s_000.png": [[0, 2, 5], [4, 1, 0]],
        "s_001.png": [[1, 3, 3, 1]],
        "s_002.png": [[200, 200], [200, 200]],
    }
    for name, values in expected.items():
        with Image.open(out / name) as image:
            assert image.mode == "P"
            assert np.asarray(image).tolist() == values
            assert image.getpalette() == [c for color in palette for c in color[:3]]
            alphas = image.info["transparency"]
            assert list(alphas) == [0 if i == 1 else color[3] for i, color in enumerate(palette)]
            assert image.text["kivtool:transparent-index"] == "1"

    if shutil.which("identify") is None or shutil.which("convert") is None:
        pytest.skip("ImageMagick is not installed")
    for name, values in expected.items():
        path = out / name
        kind = subprocess.run(
            [
                "identify",
                "-format",
                "%[png:IHDR.color-type-orig] %[png:IHDR.bit-depth-orig] %[kivtool:transparent-index]",
                path,
            ],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        assert kind == "3 8 1"
        rgba = subprocess.run(["convert", path, "rgba:-"], capture_output=True, check=True).stdout
        wanted = bytes(
            c for row in values for v in row for c in (palette[v][:3] + ((0,) if v == 1 else (palette[v][3],)))
        )
        assert rgba == wanted, name


@pytest.mark.parametrize(
    "args, changes, message",
    [
        pytest.param(["--as", "gif"], None, r"--indexed writes only the frames and sheet forms, not gif", id="gif"),
        pytest.param(["--as", "frames", "--as", "placed"], None, r"not placed", id="placed"),
        pytest.param(
            ["--transparent-index", "2"],
            None,
            r"--transparent-index 2: frame 0 paints that index",
            id="painted-transparent",
        ),
        pytest.param(
            ["--shadow-index", "1"], None, r"--shadow-index 1 is the transparent index", id="shadow-is-transparent"
        ),
        pytest.param(
            [],
            {3: (1, 1, 1, 255), 9: (1, 1, 1, 255)},
            r"has shadow frames and its palette has no entry \(0, 0, 0, 255\)",
            id="no-black",
        ),
    ],
)
def test_indexed_refusals_are_one_line(project, capsys, args, changes, message):
    source = fixed_scene(project, changes)
    status, out, err = kivtool(capsys, "export", source, "-o", project / "out", "--indexed", *args)
    assert status == 1 and len(err) == 1, err
    assert re.search(message, err[0]), err[0]
    assert not list(project.glob("out/*.png"))


def test_a_file_painting_every_index_is_refused(project, capsys):
    palette = [(i, i, i, 255) for i in range(256)]
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(palette))
    values = np.arange(256, dtype=np.uint8).reshape(16, 16)
    source = project / "anim" / "all.kiv"
    write_other_file(source, [FramePlan(values, np.ones((16, 16), dtype=bool))], False, 1, random.Random(2))
    status, _, err = kivtool(capsys, "export", source, "-o", project / "out", "--indexed")
    assert status == 1 and len(err) == 1
    assert "its frames paint every one of the 256 palette indices" in err[0]


@pytest.mark.parametrize("option", ["--transparent-index", "--shadow-index"])
def test_index_options_need_indexed(project, capsys, option):
    source = fixed_scene(project)
    status, _, err = kivtool(capsys, "export", source, "-o", project / "out", option, "4")
    assert status == 1 and err == [f"kivtool: {option} is for --indexed exports"]


# --------------------------------------------------------------------------
# Palette PNGs on import: which index is transparent, and which are read by colour


def palette_png(path: Path, values, colors, text: str | None = None) -> Path:
    image = Image.frombytes("P", (len(values[0]), len(values)), bytes(v for row in values for v in row))
    image.putpalette(bytes(c for color in colors for c in color[:3]))
    params = {"transparency": bytes(color[3] for color in colors)}
    if text is not None:
        info = PngImagePlugin.PngInfo()
        info.add_text("kivtool:transparent-index", text)
        params["pnginfo"] = info
    image.save(path, **params)
    return path


# 0 and 3 the same colour; 6 is (0, 0, 0, 0); 7 and 8 are free for being
# the transparent index.
DECISION_PALETTE = [
    (10, 20, 30, 255),
    (1, 1, 1, 255),
    (2, 2, 2, 128),
    (10, 20, 30, 255),
    (4, 4, 4, 255),
    (5, 5, 5, 255),
    CLEAR,
]
DECISION_PALETTE += [(i, 0, 0, 255) for i in range(7, 256)]
PIXELS = [[3, 7, 6, 8], [0, 8, 7, 2]]


def cleared(index: int):
    return [(*color[:3], 0) if i == index else color for i, color in enumerate(DECISION_PALETTE)]


@pytest.mark.parametrize(
    "colors, text, args, meta, painted",
    [
        pytest.param(
            DECISION_PALETTE,
            "7",
            [],
            None,
            {(0, 0): 3, (2, 0): 6, (3, 0): 8, (0, 1): 0, (1, 1): 8, (3, 1): 2},
            id="text-chunk",
        ),
        pytest.param(
            DECISION_PALETTE,
            "7",
            ["--transparent-index", "8"],
            None,
            {(0, 0): 3, (1, 0): 7, (2, 0): 6, (0, 1): 0, (2, 1): 7, (3, 1): 2},
            id="option-over-text",
        ),
        pytest.param(
            cleared(8),
            None,
            [],
            None,
            {(0, 0): 3, (1, 0): 7, (2, 0): 6, (0, 1): 0, (2, 1): 7, (3, 1): 2},
            id="the-one-cleared-entry",
        ),
        pytest.param(
            DECISION_PALETTE,
            "8",
            [],
            7,
            {(0, 0): 3, (2, 0): 6, (3, 0): 8, (0, 1): 0, (1, 1): 8, (3, 1): 2},
            id="sheet-meta-over-text",
        ),
    ],
)
def test_palette_pngs_are_read_by_index(project, capsys, colors, text, args, meta, painted):
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(DECISION_PALETTE))
    image = palette_png(project / "f.png", PIXELS, colors, text)
    if meta is None:
        inputs = [image]
    else:
        entry = {"frame": {"x": 0, "y": 0, "w": 4, "h": 2}, "offset": {"x": 0, "y": 0}, "kind": "frame"}
        (project / "s.json").write_text(
            json.dumps({"frames": {"a": entry}, "meta": {"image": "f.png", "transparentIndex": meta}})
        )
        inputs = [project / "s.json"]
    status, _, err = kivtool(capsys, *import_args(project, *inputs, out="a.kiv"), *args)
    assert (status, err) == (0, [])
    animation = load_animation(project / "anim" / "a.kiv")
    values, mask = animation.indices(0)
    assert {(x, y): int(values[y, x]) for y, x in zip(*np.nonzero(mask))} == painted


def test_the_one_entry_transparent_in_both_palettes_is_the_transparent_index(project, capsys):
    # As a strip painted with the game's palette arrives: entry 6 is (0, 0, 0,
    # 0) in the animation's palette and in the image's tRNS, nothing names it.
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(DECISION_PALETTE))
    image = palette_png(project / "f.png", PIXELS, DECISION_PALETTE)
    status, _, err = kivtool(capsys, *import_args(project, image, out="a.kiv"))
    assert (status, err) == (0, [])
    values, mask = load_animation(project / "anim" / "a.kiv").indices(0)
    assert {(x, y): int(values[y, x]) for y, x in zip(*np.nonzero(mask))} == {
        (0, 0): 3,
        (1, 0): 7,
        (3, 0): 8,
        (0, 1): 0,
        (1, 1): 8,
        (2, 1): 7,
        (3, 1): 2,
    }


def opaque_at(index: int):
    return [(9, 9, 9, 255) if i == index else color for i, color in enumerate(DECISION_PALETTE)]


def clear_at(index: int):
    return [CLEAR if i == index else color for i, color in enumerate(DECISION_PALETTE)]


@pytest.mark.parametrize(
    "colors, found",
    [
        pytest.param(opaque_at(6), "no entry is transparent in both", id="none-transparent"),
        pytest.param(clear_at(9), "entries 6, 9 are transparent in both", id="two-transparent-in-both"),
    ],
)
def test_a_palette_png_naming_no_transparent_index_is_refused(project, capsys, colors, found):
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(colors))
    image = palette_png(project / "f.png", PIXELS, colors)
    status, _, err = kivtool(capsys, *import_args(project, image, out="a.kiv"))
    assert status == 1 and len(err) == 1
    assert re.search(
        r"f\.png: has the animation's palette but names no transparent index.*" + found + r".*--transparent-index N",
        err[0],
    )
    assert not (project / "anim" / "a.kiv").exists()


def test_a_palette_png_with_another_palette_is_read_by_colour_with_a_warning(project, capsys):
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(DECISION_PALETTE))
    colors = list(DECISION_PALETTE)
    colors[5] = (9, 9, 9, 255)  # an entry no pixel uses
    image = palette_png(project / "f.png", [[3, 0, 1]], colors, "7")
    status, _, err = kivtool(capsys, *import_args(project, image, out="a.kiv"))
    assert status == 0
    assert err == [
        f"kivtool: warning: {image}: its palette is not the animation's (entry 5 is (9, 9, 9, 255), "
        "the animation's (5, 5, 5, 255)); its pixels are matched by colour"
    ]
    values, mask = load_animation(project / "anim" / "a.kiv").indices(0)
    assert values.tolist() == [[0, 0, 1]] and mask.all()  # the colour of 3 is first held by 0


def test_shadow_frames_paint_every_index_but_the_transparent_one(project, capsys):
    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(DECISION_PALETTE))
    image = palette_png(project / "f.png", PIXELS, DECISION_PALETTE, "8")
    status, _, err = kivtool(capsys, *import_args(project, image, out="a.kiv"), "--shadow", "0")
    assert (status, err) == (0, [])
    _, mask = load_animation(project / "anim" / "a.kiv").indices(0)
    assert mask.tolist() == [[True, True, True, False], [True, False, True, True]]


def test_an_index_written_wrong_is_caught_though_its_colour_is_right(project, capsys, monkeypatch):
    """0 and 3 hold one colour: only the indices tell a file painting 0
    from one painting 3."""
    from kivtool import _core

    (project / "pal" / "p.pal").write_bytes(kivmodel.palette_file(DECISION_PALETTE))
    image = palette_png(project / "f.png", [[7, 3]], DECISION_PALETTE, "7")
    original = _core.encode
    # the last byte of the file: the last index of the last row
    monkeypatch.setattr(_core, "encode", lambda *args, **kwargs: original(*args, **kwargs)[:-1] + b"\x00")
    status, _, err = kivtool(capsys, *import_args(project, image, out="a.kiv"))
    assert status == 1 and len(err) == 1
    assert "paints pixel x=1, y=0 with index 0, not index 3" in err[0]
    assert not (project / "anim" / "a.kiv").exists()
