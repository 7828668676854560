"""kivtool, the command line: info, export in every form, batch, demo.

Animations are built here from images (rows of palette indices, None where
nothing is drawn) by the sample generator's encoder; what every form should
show is predicted from those images and the palette with numpy, and the
files the tool writes are read back with Pillow and compared pixel for pixel.
"""

from __future__ import annotations

import io
import json
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest
from child_process import no_address_space_limit, run_child
from PIL import Image

from kivtool import batch
from kivtool.cli import main
from kivtool.formats import png
from kivtool.sample import Frame, animation_bytes, palette_bytes

LOCATION = "pal/test.pal"
CLEAR = 5  # a palette colour whose alpha is 0
# Index i is a colour of its own; all opaque except CLEAR.
PALETTE = [(i, 255 - i, (i * 37) % 256, 0 if i == CLEAR else 255) for i in range(256)]
SHADOW_PIXEL = (0, 0, 0, 255)


@dataclass
class Scene:
    """An animation file, its palette, and the frames it was made from
    (file order, background last when there is one)."""

    animation: Path
    palette: Path
    frames: list[Frame]
    has_background: bool

    @property
    def stem(self) -> str:
        return self.animation.stem


def expected_image(frame: Frame) -> np.ndarray:
    image = np.zeros((frame.height, frame.width, 4), dtype=np.uint8)
    for y, row in enumerate(frame.rows):
        for x, index in enumerate(row):
            if index is not None:
                image[y, x] = SHADOW_PIXEL if frame.shadow else PALETTE[index]
    return image


def write_scene(
    root: Path, frames: list[Frame], background: Frame | None = None, name: str = "anim", palette: bool = True
) -> Scene:
    """`root`/pal/test.pal and `root`/anim/<name>.kiv, found from each other."""
    animation = root / "anim" / f"{name}.kiv"
    animation.parent.mkdir(parents=True, exist_ok=True)
    animation.write_bytes(animation_bytes(frames, LOCATION, 77, background))
    palette_path = root / LOCATION
    if palette:
        palette_path.parent.mkdir(parents=True, exist_ok=True)
        palette_path.write_bytes(palette_bytes(PALETTE))
    return Scene(animation, palette_path, frames + ([background] if background else []), background is not None)


def grid(width: int, height: int, start: int, holes: set[tuple[int, int]] = frozenset()) -> list[list[int | None]]:
    """A frame image: indices counting up from `start`, None at `holes` (x, y)."""
    return [[None if (x, y) in holes else start + (y * width + x) % 40 for x in range(width)] for y in range(height)]


def sprite(x: int, y: int, rows: list[list[int | None]]) -> Frame:
    return Frame(rows, x_offset=x, y_offset=y)


def shadow(x: int, y: int, width: int, height: int) -> Frame:
    return Frame([[0] * width for _ in range(height)], x_offset=x, y_offset=y, shadow=True)


EMPTY = Frame([], x_offset=7, y_offset=7)  # 0 x 0: its offsets must not widen the canvas


@pytest.fixture
def scene(tmp_path: Path) -> Scene:
    """Negative and positive offsets, a clear colour, a hole in the
    background, a shadow, a 0 x 0 frame, and frames reaching outside the
    background."""
    frames = [
        sprite(-4, -6, [[1, 2, None], [3, CLEAR, 4]]),
        EMPTY,
        shadow(-2, -1, 4, 1),
        sprite(3, 2, [[6, None], [7, 8], [None, 9]]),
    ]
    background = sprite(-5, -7, grid(10, 8, 100, holes={(0, 0), (9, 7)}))
    return write_scene(tmp_path, frames, background)


def run(capsys: pytest.CaptureFixture[str], *argv: str | Path) -> tuple[int, str, str]:
    status = main([str(arg) for arg in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def read_png(path: Path) -> np.ndarray:
    with Image.open(path) as image:
        assert image.mode == "RGBA"
        return np.array(image)


def read_animation(path: Path, step_ms: int) -> list[np.ndarray]:
    """Every step of an animated image, as shown: an encoder may merge equal
    steps into one longer frame, which is split again here by its duration."""
    steps = []
    with Image.open(path) as image:
        for number in range(getattr(image, "n_frames", 1)):
            image.seek(number)
            image.load()  # some readers give a frame's duration only once it is decoded
            duration = image.info["duration"]
            pixels = np.array(image.convert("RGBA"))
            steps += [pixels] * max(1, round(duration / step_ms))
    return steps


def no_color_in_clear(pixels: np.ndarray) -> np.ndarray:
    """Fully transparent pixels are equal whatever colour they carry."""
    pixels = pixels.copy()
    pixels[pixels[..., 3] == 0] = 0
    return pixels


# --------------------------------------------------------------------------
# The predicted common canvas


def canvas_box(frames: list[Frame]) -> tuple[int, int, int, int]:
    drawn = [f for f in frames if f.width and f.height]
    left = min(f.x_offset for f in drawn)
    top = min(f.y_offset for f in drawn)
    right = max(f.x_offset + f.width for f in drawn)
    bottom = max(f.y_offset + f.height for f in drawn)
    return left, top, right - left, bottom - top


def draw(canvas: np.ndarray, frame: Frame, left: int, top: int) -> None:
    """Paints the opaque pixels of `frame` (alpha is 0 or 255 in these tests)."""
    if not (frame.width and frame.height):
        return
    image = expected_image(frame)
    x, y = frame.x_offset - left, frame.y_offset - top
    region = canvas[y : y + frame.height, x : x + frame.width]
    opaque = image[..., 3] == 255
    region[opaque] = image[opaque]


def expected_steps(scene: Scene, layers: list[list[int]]) -> list[np.ndarray]:
    """One canvas per step; each step lists frame indices, bottom first."""
    left, top, width, height = canvas_box(scene.frames)
    steps = []
    for indices in layers:
        canvas = np.zeros((height, width, 4), dtype=np.uint8)
        for index in indices:
            draw(canvas, scene.frames[index], left, top)
        steps.append(canvas)
    return steps


# Steps of the `scene` fixture: frame indices drawn, bottom first. The
# background is frame 4, the shadow frame 2, the 0 x 0 frame 1.
PLAYED_ALONE = {0: [4, 0], 1: [4, 1], 2: [4, 2], 3: [4, 3]}
SHADOW_UNDER = {0: [4, 2, 0], 1: [4, 2, 1], 3: [4, 2, 3]}


# --------------------------------------------------------------------------
# info


def test_info_json_describes_header_palette_and_every_frame(scene, capsys):
    status, out, err = run(capsys, "info", scene.animation, "--json")
    assert (status, err) == (0, "")
    report = json.loads(out)
    assert report["file"] == str(scene.animation)
    assert (report["speed"], report["frame_count"], report["has_background"]) == (77, 5, True)
    assert report["palette"] == {"location": LOCATION, "path": str(scene.palette.resolve()), "colors": 256}
    assert [
        (f["index"], f["width"], f["height"], f["x_offset"], f["y_offset"], f["kind"], f["runs"])
        for f in report["frames"]
    ] == [
        (0, 3, 2, -4, -6, "frame", 2),
        (1, 0, 0, 7, 7, "frame", 0),
        (2, 4, 1, -2, -1, "shadow", 1),
        (3, 2, 3, 3, 2, "frame", 3),
        (4, 10, 8, -5, -7, "background", 8),
    ]


def test_info_text_has_one_line_per_frame(scene, capsys):
    status, out, _ = run(capsys, "info", scene.animation)
    assert status == 0
    assert f"pal/test.pal -> {scene.palette.resolve()}, 256 colours" in out
    frame_lines = [line.split() for line in out.splitlines()[-5:]]
    assert frame_lines == [
        ["0", "3", "×", "2", "-4,", "-6", "frame", "2"],
        ["1", "0", "×", "0", "+7,", "+7", "frame", "0"],
        ["2", "4", "×", "1", "-2,", "-1", "shadow", "1"],
        ["3", "2", "×", "3", "+3,", "+2", "frame", "3"],
        ["4", "10", "×", "8", "-5,", "-7", "background", "8"],
    ]


# Building the parser must not import what other verbs work with: each verb
# would then start as slowly as the heaviest.
@pytest.mark.parametrize(
    "argv, not_imported",
    [
        (["info", "{animation}"], ["PIL", "numpy", "multiprocessing", "kivtool.export", "kivtool.batch"]),
        (["info", "--help"], ["PIL", "numpy", "kivtool.export", "kivtool.batch"]),
        (["--help"], ["PIL", "numpy", "kivtool.animation", "kivtool.export", "kivtool.batch"]),
    ],
    ids=["info", "info --help", "--help"],
)
def test_a_verb_imports_only_what_it_uses(scene, argv, not_imported):
    argv = [arg.format(animation=scene.animation) for arg in argv]
    code = (
        "import sys\n"
        "from kivtool.cli import main\n"
        f"status = main({argv!r})\n"
        f"print(sorted(name for name in {not_imported!r} if name in sys.modules))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "[]"


def test_info_with_palette_keeps_the_stored_location(scene, tmp_path, capsys):
    other = tmp_path / "elsewhere.pal"
    other.write_bytes(palette_bytes(PALETTE[:16]))
    status, out, _ = run(capsys, "info", scene.animation, "--palette", other, "--json")
    report = json.loads(out)
    assert status == 0
    assert report["palette"] == {"location": LOCATION, "path": str(other.resolve()), "colors": 16}


def empty_file(scene: Scene) -> None:
    scene.animation.write_bytes(b"")


def huge_count(scene: Scene) -> None:
    # 2^31 frames declared in a file that holds a few bytes
    text = LOCATION.encode() + b"\0"
    scene.animation.write_bytes(struct.pack("<II", 1, len(text)) + text + struct.pack("<I", 1 << 31))


def no_frames(scene: Scene) -> None:
    scene.animation.write_bytes(animation_bytes([], LOCATION, 1, None))


def bad_palette(scene: Scene) -> None:
    scene.palette.write_bytes(struct.pack("<HH", 0, 0))


@pytest.mark.parametrize(
    "spoil, cause",
    [
        (lambda scene: scene.animation.unlink(), "no such file"),
        (lambda scene: scene.palette.unlink(), "no palette found: 'pal/test.pal'"),
        (bad_palette, "colour count 0"),
        (no_frames, "holds no frames"),
        (huge_count, "refused: animation file declares 2147483648 frames"),
        (empty_file, "is empty"),
    ],
    ids=["missing file", "no palette", "invalid palette", "no frames", "huge frame count", "empty file"],
)
@pytest.mark.parametrize("verb", ["info", "export"])
def test_a_file_that_cannot_be_loaded_is_one_line_and_status_1(scene, tmp_path, capsys, spoil, cause, verb):
    spoil(scene)
    argv = [verb, scene.animation] + (["-o", tmp_path / "out"] if verb == "export" else [])
    status, out, err = run(capsys, *argv)
    assert status == 1
    assert err.count("\n") == 1 and str(scene.animation) in err and cause in err
    assert "Traceback" not in err and "ERROR" not in err


def test_an_explicit_palette_that_is_missing_is_named(scene, tmp_path, capsys):
    status, _, err = run(capsys, "info", scene.animation, "--palette", tmp_path / "nope.pal")
    assert status == 1 and err.strip() == f"kivtool: {tmp_path / 'nope.pal'}: no such palette file"


# --------------------------------------------------------------------------
# export: frames and sheet


def test_frames_are_written_as_rendered_and_empty_frames_get_no_file(scene, tmp_path, capsys):
    out = tmp_path / "new" / "dir"
    status, _, err = run(capsys, "export", scene.animation, "-o", out)
    assert (status, err) == (0, "")
    assert sorted(p.name for p in out.iterdir()) == [
        "anim_000.png",
        "anim_002.png",
        "anim_003.png",
        "anim_004.png",
        "anim_frames.json",
    ]
    for index in (0, 2, 3, 4):
        assert np.array_equal(read_png(out / f"anim_{index:03d}.png"), expected_image(scene.frames[index])), index


@pytest.mark.parametrize(
    "width, height, level",
    [(1, 1, 6), (3, 5, 0), (257, 2, 9), (64, 48, 1), (1, 300, 6)],
    ids=["one pixel", "stored, odd sizes", "wide, level 9", "sprite, level 1", "one column"],
)
def test_png_files_decode_to_the_pixels_they_were_made_of(width, height, level):
    rng = np.random.default_rng(width * 1000 + height)
    pixels = rng.integers(0, 256, (height, width, 4), dtype=np.uint8)
    pixels[rng.random((height, width)) < 0.4] = 0  # transparent gaps, as in sprites
    with Image.open(io.BytesIO(png.png_bytes(pixels.tobytes(), width, height, level))) as image:
        assert (image.mode, image.size) == ("RGBA", (width, height))
        assert np.array_equal(np.array(image), pixels)


@pytest.mark.parametrize(
    "width, height, size", [(2, 2, 15), (0, 4, 0), (4, 0, 0)], ids=["short", "no width", "no rows"]
)
def test_png_pixels_that_do_not_fill_the_size_are_refused(width, height, size):
    with pytest.raises(ValueError):
        png.png_bytes(bytes(size), width, height)


def test_png_compression_level_reaches_the_frames(scene, tmp_path, capsys):
    sizes = {}
    for level in ("0", "9"):
        out = tmp_path / level
        assert run(capsys, "export", scene.animation, "-o", out, "--png-compression", level)[0] == 0
        sizes[level] = sum(path.stat().st_size for path in out.iterdir())
        for index in (0, 2, 3, 4):
            assert np.array_equal(read_png(out / f"anim_{index:03d}.png"), expected_image(scene.frames[index]))
    assert sizes["9"] < sizes["0"]


def test_frame_numbers_grow_past_three_digits(tmp_path, capsys):
    frames = [EMPTY] * 1000 + [sprite(0, 0, [[1]])]
    scene = write_scene(tmp_path, frames)
    status, _, _ = run(capsys, "export", scene.animation, "-o", tmp_path / "out")
    assert status == 0 and [p.name for p in (tmp_path / "out").glob("*.png")] == ["anim_1000.png"]


def sheet_of(scene: Scene, out: Path) -> tuple[np.ndarray, dict]:
    sheet = read_png(out / f"{scene.stem}.png")
    description = json.loads((out / f"{scene.stem}.json").read_text())
    return sheet, description


def test_sheet_holds_every_frame_exactly_at_its_rectangle(scene, tmp_path, capsys):
    out = tmp_path / "out"
    status, _, _ = run(capsys, "export", scene.animation, "-o", out, "--as", "sheet", "--fps", "8")
    assert status == 0
    sheet, description = sheet_of(scene, out)
    assert list(description["frames"]) == [f"anim_{i:03d}" for i in range(5)]
    for index, frame in enumerate(scene.frames):
        entry = description["frames"][f"anim_{index:03d}"]
        r = entry["frame"]
        assert sheet[r["y"] : r["y"] + r["h"], r["x"] : r["x"] + r["w"]].shape[:2] == (r["h"], r["w"])
        assert np.array_equal(sheet[r["y"] : r["y"] + r["h"], r["x"] : r["x"] + r["w"]], expected_image(frame)), index
        assert (r["w"], r["h"]) == (frame.width, frame.height)
        assert entry["sourceSize"] == {"w": frame.width, "h": frame.height}
        assert entry["spriteSourceSize"] == {"x": 0, "y": 0, "w": frame.width, "h": frame.height}
        assert (entry["rotated"], entry["trimmed"], entry["duration"]) == (False, False, 125)
        assert entry["offset"] == {"x": frame.x_offset, "y": frame.y_offset}
        pivot = (
            {"x": -frame.x_offset / frame.width, "y": -frame.y_offset / frame.height}
            if frame.width
            else {"x": 0, "y": 0}
        )
        assert entry["pivot"] == pivot and entry["anchor"] == pivot
    assert [e["kind"] for e in description["frames"].values()] == ["frame", "frame", "shadow", "frame", "background"]
    assert description["meta"] == {
        "app": "kivtool",
        "version": description["meta"]["version"],
        "image": "anim.png",
        "format": "RGBA8888",
        "size": {"w": sheet.shape[1], "h": sheet.shape[0]},
        "scale": "1",
        "speed": 77,
        "frameTags": [
            {"name": "frames", "from": 0, "to": 1, "direction": "forward"},
            {"name": "shadows", "from": 2, "to": 2, "direction": "forward"},
            {"name": "frames", "from": 3, "to": 3, "direction": "forward"},
            {"name": "background", "from": 4, "to": 4, "direction": "forward"},
        ],
    }


def overlaps(a: dict, b: dict) -> bool:
    return (
        a["x"] < b["x"] + b["w"] and b["x"] < a["x"] + a["w"] and a["y"] < b["y"] + b["h"] and b["y"] < a["y"] + a["h"]
    )


@pytest.mark.parametrize(
    "sizes",
    [
        [(16, 16)] * 24,
        [(40, 8), (8, 40)] * 6 + [(64, 64)],
        [(3 + (i * 7) % 29, 2 + (i * 11) % 23) for i in range(60)],
    ],
    ids=["equal squares", "bars and a block", "mixed"],
)
def test_sheet_packs_tightly_without_overlap(tmp_path, capsys, sizes):
    frames = [sprite(0, 0, grid(w, h, 1)) for w, h in sizes]
    scene = write_scene(tmp_path, frames)
    assert run(capsys, "export", scene.animation, "-o", tmp_path, "--as", "sheet")[0] == 0
    sheet, description = sheet_of(scene, tmp_path)
    rects = [entry["frame"] for entry in description["frames"].values()]
    for i, a in enumerate(rects):
        assert a["x"] + a["w"] <= sheet.shape[1] and a["y"] + a["h"] <= sheet.shape[0]
        assert not any(overlaps(a, b) for b in rects[i + 1 :])
    area = sum(w * h for w, h in sizes)
    # Tight: little unused space, and a sheet, not a strip.
    assert sheet.shape[0] * sheet.shape[1] <= 1.3 * area
    assert max(sheet.shape[:2]) <= 3 * min(sheet.shape[:2])


def random_sizes(count: int, largest: int, seed: int) -> list[tuple[int, int]]:
    rng = np.random.default_rng(seed)
    return [(int(w), int(h)) for w, h in rng.integers(1, largest + 1, (count, 2))]


@pytest.mark.parametrize(
    "sizes",
    [
        random_sizes(500, 128, 1),
        random_sizes(200, 8, 2) + [(60, 5)],
        [(1, 1)] * 50 + [(90, 90)],
        [(5, 200)] * 30 + [(200, 5)] * 30,
    ],
    ids=["many sprites", "small ones and one wide", "dots and a block", "tall and flat bars"],
)
def test_packing_many_rectangles_leaves_no_overlap_and_little_room(sizes):
    from kivtool.formats.sheet import pack

    (width, height), places = pack(sizes)
    cover = np.zeros((height, width), dtype=np.int32)
    for (x, y), (w, h) in zip(places, sizes):
        assert x >= 0 and y >= 0 and x + w <= width and y + h <= height
        cover[y : y + h, x : x + w] += 1
    assert cover.max() == 1
    assert width * height <= 1.3 * sum(w * h for w, h in sizes)
    assert max(width, height) <= 3 * min(width, height)


# --------------------------------------------------------------------------
# export: one canvas around the anchor


@pytest.mark.parametrize(
    "shadows, steps",
    [
        (["--shadows-as-steps"], PLAYED_ALONE),
        (["--shadows-under"], SHADOW_UNDER),
        ([], SHADOW_UNDER),
    ],
    ids=["shadows played", "shadows under", "default: under, since they pair"],
)
def test_placed_apng_and_webp_show_each_step_exactly(scene, tmp_path, capsys, shadows, steps):
    out = tmp_path / "out"
    argv = ["export", scene.animation, "-o", out, "--as", "placed", "--as", "apng", "--as", "webp"]
    status, _, err = run(capsys, *argv, *shadows)
    assert (status, err) == (0, "")
    expected = expected_steps(scene, list(steps.values()))
    assert expected[0].shape[:2] == (12, 10)  # the canvas covers frames outside the background
    assert sorted(p.name for p in out.glob("*_placed_*")) == [f"anim_placed_{index:03d}.png" for index in steps]
    for index, picture in zip(steps, expected):
        assert np.array_equal(no_color_in_clear(read_png(out / f"anim_placed_{index:03d}.png")), picture), index
    for form in ("apng", "webp"):
        shown = read_animation(out / f"anim.{form}", 100)
        assert len(shown) == len(expected), form
        for number, (got, want) in enumerate(zip(shown, expected)):
            assert np.array_equal(no_color_in_clear(got), want), (form, number)


def test_gif_plays_the_same_steps_with_one_bit_transparency(scene, tmp_path, capsys):
    argv = ["export", scene.animation, "-o", tmp_path, "--as", "gif", "--fps", "5", "--shadows-as-steps"]
    assert run(capsys, *argv)[0] == 0
    expected = expected_steps(scene, list(PLAYED_ALONE.values()))
    with Image.open(tmp_path / "anim.gif") as gif:
        assert gif.info["duration"] == 200 and gif.info.get("loop") == 0
    shown = read_animation(tmp_path / "anim.gif", 200)
    assert len(shown) == len(expected)
    for got, want in zip(shown, expected):
        assert np.array_equal(got[..., 3] == 0, want[..., 3] == 0)
        opaque = want[..., 3] == 255
        # Each step has fewer than 256 colours: they are kept exactly.
        assert np.array_equal(got[opaque], want[opaque])


@pytest.mark.parametrize("form", ["gif", "apng", "webp"])
def test_a_step_does_not_show_the_step_before(tmp_path, capsys, form):
    # Without a background the canvas is transparent where a step draws
    # nothing, also where the step before drew.
    scene = write_scene(tmp_path, [sprite(0, 0, [[1, 2]]), sprite(1, 1, [[3, 4]]), sprite(0, 0, [[6]])])
    assert run(capsys, "export", scene.animation, "-o", tmp_path, "--as", form)[0] == 0
    expected = expected_steps(scene, [[0], [1], [2]])
    shown = read_animation(tmp_path / f"anim.{form}", 100)
    assert [no_color_in_clear(step).tolist() for step in shown] == [e.tolist() for e in expected]


def test_gif_quantizes_a_step_of_more_than_255_colours(tmp_path, capsys):
    opaque_palette = [(i, (i * 3) % 256, 255 - i, 255) for i in range(256)]
    palette = tmp_path / "opaque.pal"
    palette.write_bytes(palette_bytes(opaque_palette))
    rows = [[y * 16 + x for x in range(16)] for y in range(16)]
    rows[0][0] = None  # where the shadow shows: black is colour 257
    scene = write_scene(tmp_path, [sprite(0, 0, rows), shadow(0, 0, 2, 2)])
    status, _, _ = run(
        capsys, "export", scene.animation, "-o", tmp_path, "--as", "gif", "--palette", palette, "--shadows-under"
    )
    assert status == 0
    want = np.array([[(0, 0, 0, 0) if i is None else opaque_palette[i] for i in row] for row in rows], dtype=np.uint8)
    want[0, 0] = SHADOW_PIXEL
    got = read_animation(tmp_path / "anim.gif", 100)[0]
    assert np.array_equal(got[..., 3] == 0, want[..., 3] == 0)
    opaque = want[..., 3] == 255
    error = np.abs(got[opaque].astype(int) - want[opaque])
    assert 0 < error.max() and error.mean() < 4  # 256 colours: quantized, closely


@pytest.mark.parametrize("flag", [["--shadows-under"], []], ids=["--shadows-under", "by default"])
@pytest.mark.parametrize(
    "shadows, sprites, layers",
    [
        (2, 2, [[0, 2], [1, 3]]),
        (1, 3, [[0, 1], [0, 2], [0, 3]]),
        (0, 2, [[0], [1]]),
    ],
    ids=["one shadow each", "one shadow for all", "no shadows"],
)
def test_shadows_under_pair_shadows_with_frames(tmp_path, capsys, shadows, sprites, layers, flag):
    # Shadows first in the file, then the sprites, which cover their
    # shadows in part; `layers` are the frame indices of each step.
    frames = [shadow(-3 + i, 0, 5, 2) for i in range(shadows)]
    frames += [sprite(-1, -2 + i, grid(2, 3, 10 * (i + 1))) for i in range(sprites)]
    scene = write_scene(tmp_path, frames)
    status, _, err = run(capsys, "export", scene.animation, "-o", tmp_path / "out", "--as", "placed", *flag)
    assert (status, err) == (0, "")
    assert len(list((tmp_path / "out").iterdir())) == len(layers)
    for layer, picture in zip(layers, expected_steps(scene, layers)):
        got = read_png(tmp_path / "out" / f"anim_placed_{layer[-1]:03d}.png")
        assert np.array_equal(no_color_in_clear(got), picture), layer


def test_shadows_that_do_not_pair_are_refused_under_and_played_by_default(tmp_path, capsys):
    frames = [shadow(0, 0, 2, 1), shadow(0, 1, 2, 1)] + [sprite(0, 0, [[1]])] * 3
    scene = write_scene(tmp_path, frames)
    status, _, err = run(capsys, "export", scene.animation, "-o", tmp_path, "--as", "placed", "--shadows-under")
    assert status == 1 and err.count("\n") == 1
    assert str(scene.animation) in err and "the file has 2" in err
    assert not list(tmp_path.glob("anim_placed_*"))
    status, _, err = run(capsys, "export", scene.animation, "-o", tmp_path, "--as", "placed")
    assert (status, err) == (0, "") and len(list(tmp_path.glob("anim_placed_*"))) == 5


@pytest.mark.parametrize(
    "fps, delays, raised",
    [
        (10, [10, 10, 10, 10], False),
        (7, [14, 15, 14, 14], False),
        (30, [3, 4, 3, 3], False),
        (60, [2, 2, 2, 2], True),
        (1000, [2, 2, 2, 2], True),
    ],
    ids=["10 fps", "7 fps: the total stays right", "30 fps", "60 fps: one step raised", "1000 fps"],
)
def test_gif_delays_are_whole_hundredths_adding_up_and_at_least_two(tmp_path, capsys, fps, delays, raised):
    scene = write_scene(tmp_path, [sprite(0, 0, [[i + 1]]) for i in range(4)])
    status, _, err = run(capsys, "export", scene.animation, "-o", tmp_path, "--as", "gif", "--fps", fps)
    assert status == 0
    shown = []
    with Image.open(tmp_path / "anim.gif") as gif:
        for number in range(gif.n_frames):
            gif.seek(number)
            shown.append(gif.info["duration"] // 10)
    assert shown == delays
    if raised:
        assert err.count("\n") == 1 and "warning" in err and str(tmp_path / "anim.gif") in err
        assert f"slower than {fps} steps per second" in err
    else:
        assert err == ""


def test_scale_enlarges_animated_and_placed_forms_only(scene, tmp_path, capsys):
    status, _, _ = run(
        capsys,
        "export",
        scene.animation,
        "-o",
        tmp_path,
        "--as",
        "placed",
        "--as",
        "webp",
        "--as",
        "frames",
        "--scale",
        "3",
        "--shadows-as-steps",
    )
    assert status == 0
    one_to_one = expected_steps(scene, [PLAYED_ALONE[3]])[0]
    enlarged = one_to_one.repeat(3, axis=0).repeat(3, axis=1)
    assert np.array_equal(no_color_in_clear(read_png(tmp_path / "anim_placed_003.png")), enlarged)
    assert np.array_equal(no_color_in_clear(read_animation(tmp_path / "anim.webp", 100)[3]), enlarged)
    assert np.array_equal(read_png(tmp_path / "anim_003.png"), expected_image(scene.frames[3]))


def test_animated_forms_follow_fps(scene, tmp_path, capsys):
    assert run(capsys, "export", scene.animation, "-o", tmp_path, "--as", "apng", "--as", "webp", "--fps", "25")[0] == 0
    for form in ("apng", "webp"):
        with Image.open(tmp_path / f"anim.{form}") as image:
            image.seek(1)
            image.load()
            assert image.info["duration"] == 40, form


@pytest.mark.parametrize(
    "form, fps, refusal",
    [
        ("gif", "5e-324", "gif stores at most 655,340 ms a step (--fps 0.0016 or more)"),
        ("gif", "0.001", "--fps 0.001 makes steps of 1,000,000 ms; gif stores at most 655,340 ms"),
        ("gif", "0.0016", None),
        ("apng", "0.01", "apng stores at most 65,535 ms a step (--fps 0.016 or more)"),
        ("apng", "0.016", None),
        ("webp", "1e-6", "webp stores at most 16,777,215 ms a step (--fps 6e-05 or more)"),
        ("webp", "6e-05", None),
        ("sheet", "1e-6", None),
        ("sheet", "1e-9", "sheet stores at most 2,147,483,647 ms a step"),
        ("frames", "5e-324", None),
    ],
    ids=lambda value: str(value)[:40],
)
def test_fps_is_what_each_form_can_time(tmp_path, capsys, form, fps, refusal):
    """1000/fps ms a step: tiny positive values overflowed the forms' delay
    fields (a traceback); each form takes what it can store, and the rest is
    refused in one line before anything is written."""
    scene = write_scene(tmp_path, [sprite(0, 0, [[1]]), sprite(0, 0, [[2]])])
    status, _, err = run(capsys, "export", scene.animation, "-o", tmp_path / "out", "--as", form, "--fps", fps)
    if refusal is None:
        assert status == 0 and "Traceback" not in err
    else:
        assert status == 1 and err.count("\n") == 1 and refusal in err, err
        assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("fps", ["0", "-1", "nan", "inf", "1001"])
def test_fps_outside_the_accepted_range_is_a_usage_error(scene, tmp_path, capsys, fps):
    status, _, err = run(capsys, "export", scene.animation, "-o", tmp_path, "--fps", fps)
    assert status == 2 and err.count("\n") == 1 and "must be above 0 and at most 1000" in err


@pytest.mark.parametrize(
    "frames, background, form, cause",
    [
        ([EMPTY, EMPTY], None, "sheet", "every frame is 0 × 0"),
        ([EMPTY], None, "placed", "every frame is 0 × 0"),
        ([], sprite(0, 0, [[1]]), "placed", "holds only its background frame"),
        ([], sprite(0, 0, [[1]]), "sheet", None),
        ([shadow(0, 0, 2, 2)], None, "gif", None),  # a shadow alone is a step of its own
    ],
    ids=["empty sheet", "empty canvas", "only a background", "sheet of a background", "only a shadow"],
)
def test_forms_with_nothing_to_show(tmp_path, capsys, frames, background, form, cause):
    scene = write_scene(tmp_path, frames, background)
    status, _, err = run(capsys, "export", scene.animation, "-o", tmp_path / "out", "--as", form)
    if cause is None:
        assert status == 0 and err == ""
    else:
        assert status == 1 and cause in err and err.count("\n") == 1


def test_every_cut_of_a_file_exports_or_fails_in_one_line(scene, tmp_path, capsys):
    whole = scene.animation.read_bytes()
    forms = [arg for form in ("frames", "sheet", "gif", "apng", "webp", "placed") for arg in ("--as", form)]
    outcomes = set()
    for length in range(len(whole)):
        scene.animation.write_bytes(whole[:length])
        status, _, err = run(capsys, "export", scene.animation, "-o", tmp_path / "out", *forms)
        assert err.count("\n") == 1 and "Traceback" not in err, (length, err)
        if status == 0:  # exported, and said to be cut short
            assert err == f"kivtool: warning: {scene.animation}: {CUT_SHORT}\n", (length, err)
        outcomes.add(status)
    assert outcomes == {0, 1}


# --------------------------------------------------------------------------
# export: usage errors


def test_user_errors_are_one_line(scene, tmp_path, capsys):
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    cases = [
        (["export", scene.animation, "-o", tmp_path, "--as", "png"], 2, "invalid choice: 'png'"),
        (["export", scene.animation, "-o", blocker / "sub"], 1, "cannot create the output folder"),
        (
            ["export", scene.animation, scene.animation.parent / ".." / "anim" / "anim.kiv", "-o", tmp_path],
            1,
            "same name",
        ),
        (["export", scene.animation, scene.animation.with_name("ANIM.kiv"), "-o", tmp_path], 1, "same name"),
        (["export", scene.animation, "-o", tmp_path, "--scale", "0"], 2, "must be 1 or more"),
        (["export", scene.animation, "-o", tmp_path, "--fps", "x"], 2, "not a number"),
        (["batch", tmp_path / "nowhere", "-o", tmp_path], 1, "no such folder"),
        (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    ]
    for argv, code, cause in cases:
        status, _, err = run(capsys, *argv)
        assert status == code and err.count("\n") == 1 and cause in err, argv


def test_missing_dependencies_name_the_install_command(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "pebble", None)  # import fails
    status, _, err = run(capsys, "info", "x.kiv")
    assert status == 1 and err.count("\n") == 1 and "pebble" in err
    assert 'python -m pip install ".[tool]" in the pykiv checkout' in err


# --------------------------------------------------------------------------
# batch


def game_folder(root: Path) -> dict[str, str | None]:
    """A folder of animations in subfolders, and what should become of each:
    None for exported, else a part of the failure's reason."""
    source = root / "game"
    write_scene(source, [sprite(-1, -1, [[1, 2]])], name="top")
    (source / "units" / "deep").mkdir(parents=True)
    for name in ("a", "b"):
        write_scene(source, [sprite(0, 0, [[3]]), shadow(0, 0, 1, 1)], name=name)
        os.replace(source / "anim" / f"{name}.kiv", source / "units" / "deep" / f"{name}.kiv")
    (source / "units" / "broken.kiv").write_bytes(b"\x01")
    text = b"elsewhere/none.pal\0"
    (source / "units" / "lost.kiv").write_bytes(struct.pack("<II", 1, len(text)) + text + struct.pack("<I", 0))
    (source / "notes.txt").write_text("not an animation")
    (source / "folder.kiv").mkdir()
    outcome: dict[str, str | None] = {
        "anim/top.kiv": None,
        "units/deep/a.kiv": None,
        "units/deep/b.kiv": None,
        "units/broken.kiv": "names no palette",
        "units/lost.kiv": "no palette found",
        "folder.kiv": "is a folder",
    }
    if hasattr(os, "mkfifo"):
        os.mkfifo(source / "units" / "pipe.kiv")  # no writer: opening it would wait
        outcome["units/pipe.kiv"] = "is not a regular file"
    return outcome


def test_batch_mirrors_folders_and_lists_failures(tmp_path, capsys):
    outcome = game_folder(tmp_path)
    status, out, err = run(
        capsys, "batch", tmp_path / "game", "-o", tmp_path / "out", "--as", "frames", "--as", "sheet", "--jobs", "2"
    )
    assert status == 1
    assert sorted(
        str(p.relative_to(tmp_path / "out"))
        for p in (tmp_path / "out").rglob("*.json")
        if not p.name.endswith("_frames.json")
    ) == [
        "anim/top.json",
        "units/deep/a.json",
        "units/deep/b.json",
    ]
    assert (tmp_path / "out" / "units" / "deep" / "a_001.png").is_file()
    # Plain lines when the output is not a terminal, one per file.
    assert sorted(line.split("] ")[1].split(":")[0] for line in out.splitlines() if line.startswith("[")) == sorted(
        outcome
    )
    assert f"exported 3 of {len(outcome)} files" in out
    failures = [line.strip() for line in err.splitlines()[1:]]
    assert err.splitlines()[0] == f"{len(outcome) - 3} failed:"
    for name, cause in outcome.items():
        if cause is not None:
            assert any(str(tmp_path / "game" / name) in line and cause in line for line in failures)


@no_address_space_limit
def test_batch_refuses_a_file_over_the_memory_limit(tmp_path, capsys):
    write_scene(tmp_path / "game", [sprite(0, 0, [[1]])], name="fine")
    # One frame of 20000 x 20000 with empty rows: a 20 kB file asking for
    # 1.6 GB of pixels.
    text = LOCATION.encode() + b"\0"
    header = struct.pack("<IHHhhBB", 0, 20000, 20000, 0, 0, 0, 1)
    (tmp_path / "game" / "anim" / "bomb.kiv").write_bytes(
        struct.pack("<II", 1, len(text)) + text + struct.pack("<I", 1) + header + bytes(20000)
    )
    status, out, err = run(
        capsys, "batch", tmp_path / "game", "-o", tmp_path / "out", "--memory-limit", "600", "--jobs", "1"
    )
    assert status == 1 and "exported 1 of 2" in out
    assert "bomb.kiv: refused" in err and (tmp_path / "out" / "anim" / "fine_000.png").is_file()


def dying_worker(source: str, root: str, destination: str, options, palette) -> batch.FileResult:
    """Kills its own process on files named die*, sleeps on files named hang*."""
    name = Path(source).name
    if name.startswith("die"):
        os.kill(os.getpid(), signal.SIGKILL)
    if name.startswith("hang"):
        time.sleep(60)
    return batch.export_file(source, root, destination, options, palette)


@pytest.mark.skipif(sys.platform == "win32", reason="kills a process by a POSIX signal")
@pytest.mark.parametrize("chunk", [1, 3], ids=["one file a hand-out", "three files a hand-out"])
def test_a_worker_that_dies_or_hangs_costs_only_its_file(tmp_path, chunk):
    for name in ("die1", "ok1", "hang1", "ok2", "ok3"):
        write_scene(tmp_path, [sprite(0, 0, [[1]])], name=name)
    results = {}

    def on_result(result, done, total):
        results[result.source] = result.error

    summary = batch.run(
        tmp_path / "anim",
        tmp_path / "out",
        batch.Options(),
        jobs=2,
        timeout=2.0,
        on_result=on_result,
        palette=tmp_path / LOCATION,
        worker=dying_worker,
        chunk=chunk,
    )
    assert len(summary.results) == 5
    assert [name for name, error in sorted(results.items()) if error is None] == ["ok1.kiv", "ok2.kiv", "ok3.kiv"]
    assert "died while exporting it (killed by signal 9)" in results["die1.kiv"]
    assert "time limit" in results["hang1.kiv"]
    assert summary.seconds < 30


# --------------------------------------------------------------------------
# demo and the installed command


def test_demo_writes_every_form(tmp_path, capsys):
    status, out, err = run(capsys, "demo", tmp_path / "demo")
    assert (status, err) == (0, "")
    names = {p.name for p in (tmp_path / "demo").iterdir()}
    assert {
        "anim",
        "pal",
        "sample.png",
        "sample.json",
        "sample.gif",
        "sample.apng",
        "sample.webp",
        "sample_000.png",
        "sample_placed_000.png",
    } <= names
    with Image.open(tmp_path / "demo" / "sample.apng") as apng:
        assert apng.n_frames == 4  # the bounce; the shadow is drawn under it


def test_module_entry_runs_as_a_program(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "kivtool", "info", tmp_path / "missing.kiv"], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 1
    assert done.stderr == f"kivtool: {tmp_path / 'missing.kiv'}: no such file\n"


# --------------------------------------------------------------------------
# Relative paths: the palette is found from every folder above the file


@pytest.mark.parametrize(
    "cwd, argv, written",
    [
        ("game", ["info", "anim/anim.kiv"], None),
        ("game", ["info", "./anim/../anim/anim.kiv", "--json"], None),
        ("game/anim", ["info", "anim.kiv"], None),
        ("game", ["export", "anim/anim.kiv", "-o", "../x"], "x/anim_000.png"),
        ("game", ["batch", "anim", "-o", "../x", "--jobs", "1"], "x/anim_000.png"),
        ("game", ["batch", ".", "-o", "../x", "--jobs", "1"], "x/anim/anim_000.png"),
    ],
    ids=["info", "info through dot-dot", "info of a bare name", "export", "batch", "batch of the current folder"],
)
def test_relative_paths_find_the_palette_from_the_game_folder(tmp_path, capsys, monkeypatch, cwd, argv, written):
    write_scene(tmp_path / "game", [sprite(0, 0, [[1, 2]])])
    monkeypatch.chdir(tmp_path / cwd)
    status, _, err = run(capsys, *argv)
    assert (status, err) == (0, "")
    if written:
        assert (tmp_path / written).is_file()


# --------------------------------------------------------------------------
# Messages: short, one line, control characters escaped


def text_as_animation(path: Path) -> str:
    """A text file read as an animation: its second word is taken as the
    length of a palette location that is the rest of the file."""
    path.write_bytes(b"# title\n\n" + b"Some prose, " * 2500)


@pytest.mark.parametrize(
    "make, name, cause",
    [
        (text_as_animation, "README.md", "no palette found: '"),
        (lambda path: None, "new\nline\x1b[2J.kiv", "new\\x0aline\\x1b[2J.kiv: no such file"),
    ],
    ids=["text file quoted in part", "control characters in a name"],
)
def test_messages_are_one_short_line(tmp_path, capsys, make, name, cause):
    make(tmp_path / name)
    status, out, err = run(capsys, "info", tmp_path / name)
    assert status == 1 and out == "" and err.count("\n") == 1 and len(err) < 400, err
    assert cause in err and "\x1b" not in err


# --------------------------------------------------------------------------
# batch: everything left out is a failure


def dangling_link(source: Path) -> None:
    (source / "gone.kiv").symlink_to(source / "nowhere.kiv")


def pipe(source: Path) -> None:
    if not hasattr(os, "mkfifo"):
        pytest.skip("no named pipes")
    os.mkfifo(source / "pipe.kiv")


def same_name_in_other_case(source: Path) -> None:
    write_scene(source, [sprite(0, 0, [[1]])], name="same")
    write_scene(source, [sprite(0, 0, [[2]])], name="other")
    os.replace(source / "anim" / "other.kiv", source / "anim" / "same.KIV")


def same_folder_in_other_case(source: Path) -> None:
    write_scene(source, [sprite(0, 0, [[1]])], name="twin")
    (source / "Anim").mkdir()
    (source / "Anim" / "twin.kiv").write_bytes((source / "anim" / "twin.kiv").read_bytes())


@pytest.mark.parametrize(
    "make, failed",
    [
        (dangling_link, {"gone.kiv": "is a symbolic link to nothing"}),
        (lambda source: (source / "dir.kiv").mkdir(), {"dir.kiv": "is a folder"}),
        (pipe, {"pipe.kiv": "is not a regular file"}),
        (
            same_name_in_other_case,
            {"anim/same.kiv": "same names as those of", "anim/same.KIV": "same names as those of"},
        ),
        (
            same_folder_in_other_case,
            {"anim/twin.kiv": "same names as those of", "Anim/twin.kiv": "same names as those of"},
        ),
    ],
    ids=["dangling link", "folder named .kiv", "pipe", "names differing in case", "folders differing in case"],
)
def test_batch_reports_what_it_leaves_out_and_goes_on(tmp_path, capsys, make, failed):
    source = tmp_path / "game"
    write_scene(source, [sprite(0, 0, [[1]])], name="good")
    make(source)
    status, out, err = run(capsys, "batch", source, "-o", tmp_path / "out", "--jobs", "1")
    assert status == 1 and f"{len(failed)} failed:" in err
    for name, cause in failed.items():
        assert any(f"{source / name}: " in line and cause in line for line in err.splitlines()), (name, err)
    assert (tmp_path / "out" / "anim" / "good_000.png").is_file()
    assert sorted(p.name for p in (tmp_path / "out").rglob("*.png")) == ["good_000.png"]


@pytest.mark.skipif(not hasattr(os, "geteuid"), reason="permission bits")
def test_batch_reports_an_unreadable_folder(public_tmp_path):
    # The walk, as a user whom the folder's bits lock out (the workers are
    # not started: their interpreter may not be readable by that user).
    source = public_tmp_path / "game"
    write_scene(source, [sprite(0, 0, [[1]])], name="good")
    (source / "locked").mkdir()
    (source / "locked" / "hidden.kiv").write_bytes(b"")
    (source / "locked").chmod(0)
    result = run_child(
        f"""
        from pathlib import Path
        from kivtool import batch
        why = drop_privileges()
        found = batch.find_animations(Path({str(source)!r}))
        report(why=why, files=[str(p) for p in found.files], skipped=[[str(p), r] for p, r in found.skipped])
        """
    )
    if result["why"]:
        pytest.skip(result["why"])
    assert result["files"] == [str(source / "anim" / "good.kiv")]
    assert result["skipped"] == [[str(source / "locked"), "cannot read the folder: Permission denied"]]


# --------------------------------------------------------------------------
# Stopping: Ctrl-C and SIGTERM


STOPS = [
    pytest.param(signal.SIGINT, 130, "kivtool: interrupted", id="SIGINT"),
    pytest.param(getattr(signal, "SIGTERM", None), 143, "kivtool: stopped by SIGTERM", id="SIGTERM"),
]
posix_only = pytest.mark.skipif(sys.platform == "win32", reason="sends POSIX signals")


def files_left(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@posix_only
@pytest.mark.parametrize("stop, status, line", STOPS)
@pytest.mark.parametrize(
    "verb, hook",
    [
        # The signal comes once an image is encoded, before it is in place.
        ("export", "from kivtool.formats import png as owner"),
        # It comes once the file is written, before it is in place.
        ("import", "from kivtool import importer as owner"),
    ],
)
def test_export_and_import_stop_leaving_old_files(tmp_path, stop, status, line, verb, hook):
    scene = write_scene(tmp_path, [sprite(0, 0, [[1, 2]]), sprite(1, 1, [[3]])])
    out = tmp_path / "out"
    out.mkdir()
    (out / "anim_000.png").write_bytes(b"old")
    (tmp_path / "anim" / "new.kiv").write_bytes(b"old")
    png = tmp_path / "in.png"
    Image.fromarray(expected_image(scene.frames[0])).save(png)
    argv = {
        "export": ["export", scene.animation, "-o", out, "--as", "frames", "--as", "sheet"],
        "import": [
            "import",
            png,
            "-o",
            tmp_path / "anim" / "new.kiv",
            "--palette",
            scene.palette,
            "--project-root",
            tmp_path,
        ],
    }[verb]
    name = {"export": "png_bytes", "import": "verify"}[verb]
    result = run_child(
        f"""
        from kivtool.cli import main
        {hook}
        original = getattr(owner, {name!r})

        def then_stop(*args, **kwargs):
            original(*args, **kwargs)
            os.kill(os.getpid(), {int(stop)})

        setattr(owner, {name!r}, then_stop)
        status = main({[str(arg) for arg in argv]!r})
        report(status=status)
        """
    )
    assert result["status"] == status
    assert (out / "anim_000.png").read_bytes() == b"old"
    assert (tmp_path / "anim" / "new.kiv").read_bytes() == b"old"
    assert not [p for p in tmp_path.rglob("*") if "tmp" in p.name]


def sleepy_worker(source: str, root: str, destination: str, options, palette) -> batch.FileResult:
    """Exports files named fast*. On the others it prepares new contents for
    the first frame's output, and while they wait beside it to be put in
    place, says so in a file named after its process in the folder
    $SLEEPY_MARKERS, and waits."""
    if Path(source).name.startswith("fast"):
        return batch.export_file(source, root, destination, options, palette)
    from kivtool.files import replace_file

    target = Path(destination) / Path(source).parent / f"{Path(source).stem}_000.png"

    def wait(prepared: str) -> None:
        (Path(os.environ["SLEEPY_MARKERS"]) / str(os.getpid())).write_text(str(prepared))
        time.sleep(600)

    replace_file(target, b"new", wait)
    raise AssertionError("not stopped")


def process_ended(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/status") as status:
            return any(line.split()[:2] == ["State:", "Z"] for line in status)
    except FileNotFoundError:
        return True


@posix_only
@pytest.mark.parametrize("stop, status, line", STOPS)
def test_batch_stops_at_once_leaving_whole_files_and_a_summary(tmp_path, stop, status, line):
    source = tmp_path / "game"
    names = ["fast0", "fast1"] + [f"slow{i}" for i in range(10)]
    for name in names:
        write_scene(source, [sprite(0, 0, [[1, 2]])], name=name)
    out = tmp_path / "out"
    (out / "anim").mkdir(parents=True)
    for name in names[2:]:
        (out / "anim" / f"{name}_000.png").write_bytes(b"old")
    markers = tmp_path / "markers"
    markers.mkdir()
    script = textwrap.dedent(
        f"""
        import functools, sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        from kivtool import batch, cli
        from test_kivtool import sleepy_worker
        batch.run = functools.partial(batch.run, worker=sleepy_worker)
        sys.exit(cli.main(["batch", {str(source)!r}, "-o", {str(out)!r}, "--jobs", "2", "--as", "frames"]))
        """
    )
    child = subprocess.Popen(
        [sys.executable, "-c", script],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "SLEEPY_MARKERS": str(markers)},
        start_new_session=True,  # a process group of its own, as a terminal gives a command
    )
    try:
        progress = [child.stdout.readline() for _ in range(2)]
        assert all(": ok" in line for line in progress), progress
        deadline = time.monotonic() + 120  # a guard against a hang, not a measurement
        while len(list(markers.iterdir())) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        workers = [int(p.name) for p in markers.iterdir()]
        prepared = [Path(p.read_text()) for p in markers.iterdir()]
        assert len(workers) == 2 and all(path.read_bytes() == b"new" for path in prepared)
        if stop == signal.SIGINT:
            os.killpg(child.pid, stop)  # Ctrl-C reaches every process of the group
        else:
            os.kill(child.pid, stop)
        rest, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
    assert child.returncode == status, err
    assert "exported 2 of 12 files" in rest
    lines = err.splitlines()
    assert "stopped before its end: 10 files not exported" in lines and lines[-1] == line
    # Workers report a hand-out's files together, so files counted as not
    # exported may have been written: the summary says so.
    assert (
        "of those, files being exported at the stop may have some or all of their outputs written, each whole" in lines
    )
    assert "Traceback" not in err
    left = files_left(out)
    assert {name: left[f"anim/{name}_000.png"] for name in names[2:]} == {name: b"old" for name in names[2:]}
    # Beside each frame, the frames list of the animations whose export got that far.
    assert sorted(name for name in left if name.endswith(".png")) == sorted(f"anim/{name}_000.png" for name in names)
    for listed in (name for name in left if not name.endswith(".png")):
        assert listed.endswith("_frames.json") and json.loads(left[listed])["frames"]
    for name in names[:2]:
        assert np.array_equal(read_png(out / "anim" / f"{name}_000.png"), expected_image(sprite(0, 0, [[1, 2]])))
    assert all(process_ended(pid) for pid in workers)
    assert not any(path.exists() for path in prepared)


def session_processes(session: int) -> list[int]:
    """The processes left in the session `session` (zombies aside)."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat_file:
                    fields = stat_file.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[3]) == session and fields[0] != "Z":
                found.append(int(entry))
    return found


@posix_only
@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc")
@pytest.mark.parametrize(
    "argv, status",
    [
        (["{game}", "-o", "{out}", "--jobs", "1"], 0),
        (["{game}", "-o", "{out}", "--jobs", "2"], 0),
        (["{tmp}/nothing", "-o", "{out}"], 1),
        (["--help"], 0),
    ],
    ids=["one job", "two jobs", "no such folder", "help"],
)
def test_batch_leaves_no_process_behind(tmp_path, argv, status):
    # The workers' fork server starts as the command's options are declared,
    # before it is known whether any worker will be made: it must end with
    # the command however that ends.
    write_scene(tmp_path / "game", [sprite(0, 0, [[1, 2]])])
    values = {"game": tmp_path / "game", "out": tmp_path / "out", "tmp": tmp_path}
    command = [sys.executable, "-m", "kivtool", "batch"] + [arg.format(**values) for arg in argv]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        _, err = child.communicate(timeout=120)
        assert child.returncode == status, err
        deadline = time.monotonic() + 60  # a guard against a hang, not a measurement
        while session_processes(child.pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert session_processes(child.pid) == []
    finally:
        for pid in session_processes(child.pid):
            os.kill(pid, signal.SIGKILL)


# --------------------------------------------------------------------------
# What is not a regular file is not read


def make_special(path: Path, kind: str) -> None:
    """A FIFO with no writer (opening it to read would wait for ever) or a
    character device like /dev/zero (endless), made in a test folder."""
    if kind == "fifo":
        if not hasattr(os, "mkfifo"):
            pytest.skip("no named pipes on this system")
        os.mkfifo(path)
        return
    try:
        import stat

        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 5))
    except (AttributeError, PermissionError) as error:
        pytest.skip(f"cannot make a device node here: {error}")


@pytest.mark.parametrize("kind", ["fifo", "zero device"])
@pytest.mark.parametrize(
    "name, argv",
    [
        ("x.kiv", ["info", "{path}"]),
        ("x.kiv", ["info", "{path}", "--json"]),
        ("x.kiv", ["export", "{path}", "-o", "{out}"]),
        ("x.kiv", ["info", "{animation}", "--palette", "{path}"]),
        ("x.gpl", ["palette", "import", "{path}", "-o", "{out}/p.pal"]),
        ("x.pal", ["palette", "import", "{path}", "-o", "{out}/p.pal"]),
        ("x.png", ["palette", "import", "{path}", "-o", "{out}/p.pal"]),
        ("x.pal", ["palette", "export", "{path}", "-o", "{out}/p.gpl"]),
        ("x.pal", ["batch", "{game}", "-o", "{out}", "--palette", "{path}"]),
        ("x.pal", ["import", "{image}", "-o", "{game}/anim/new.kiv", "--palette", "{path}", "--project-root", "{tmp}"]),
    ],
    ids=[
        "info",
        "info --json",
        "export",
        "info --palette",
        "palette import gpl",
        "palette import pal",
        "palette import png",
        "palette export",
        "batch --palette",
        "import --palette",
    ],
)
def test_pipes_and_devices_are_refused_without_reading_them(tmp_path, kind, name, argv):
    """Each in its own process with a timeout: reading a FIFO without a
    writer blocks, reading a zero device never ends."""
    scene = write_scene(tmp_path / "game", [sprite(0, 0, [[1, 2]])])
    special = tmp_path / name
    make_special(special, kind)
    Image.new("RGBA", (1, 1), PALETTE[1]).save(tmp_path / "a.png")
    values = {
        "path": special,
        "out": tmp_path / "out",
        "animation": scene.animation,
        "game": tmp_path / "game",
        "image": tmp_path / "a.png",
        "tmp": tmp_path,
    }
    command = [sys.executable, "-m", "kivtool"] + [arg.format(**values) for arg in argv]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert done.returncode == 1, done.stderr
    assert (
        done.stderr
        == f"kivtool: {special}: is not a regular file (a pipe or a device); " + done.stderr.split("; ", 1)[1]
    )
    assert done.stderr.count("\n") == 1 and "read from files only" in done.stderr
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


@no_address_space_limit
def test_a_file_far_larger_than_its_records_is_read_up_to_them(tmp_path):
    """A tail of 4 GiB after the records (a sparse file, a few kB on disk)
    is never read: info and export work under an address-space limit of
    1 GiB."""
    scene = write_scene(tmp_path, [sprite(0, 0, [[1, 2], [3, 4]])])
    with open(scene.animation, "r+b") as file:
        file.truncate(4 << 30)
    result = run_child(
        f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        from kivtool.cli import main
        report(info=main(["info", {str(scene.animation)!r}]),
               export=main(["export", {str(scene.animation)!r}, "-o", {str(tmp_path / "out")!r}, "--as", "sheet"]))
        """,
        timeout=120,
    )
    assert result == {"info": 0, "export": 0}
    assert (tmp_path / "out" / "anim.png").exists()


@no_address_space_limit
def test_info_of_a_tiny_file_declaring_a_huge_frame_reads_its_header_only(tmp_path):
    """41 bytes declare one 65535 x 32767 frame (8 GiB rendered): info shows
    it at once, under an address-space limit far below that."""
    location = LOCATION.encode() + b"\0"
    header = struct.pack("<II", 1, len(location)) + location + struct.pack("<I", 1)
    frame = struct.pack("<IHHhhBB", 0, 32767, 65535, 0, 0, 0, 1)
    scene = write_scene(tmp_path, [sprite(0, 0, [[1]])])
    scene.animation.write_bytes(header + frame)
    result = run_child(
        f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        from kivtool.cli import main
        import contextlib, io
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = main(["info", {str(scene.animation)!r}, "--json"])
        report(status=status, info=json.loads(out.getvalue()))
        """,
        timeout=120,
    )
    assert result["status"] == 0
    assert [(f["width"], f["height"]) for f in result["info"]["frames"]] == [(65535, 32767)]


# --------------------------------------------------------------------------
# Warnings about an animation that still loads


def cut_after_frames(scene: Scene) -> None:
    data = scene.animation.read_bytes()
    scene.animation.write_bytes(data[:-3])  # the last frame's last row is cut


def small_palette(scene: Scene) -> None:
    scene.palette.write_bytes(palette_bytes(PALETTE[:4]))  # frames paint indices up to 8


def trailing_bytes(scene: Scene) -> None:
    with scene.animation.open("ab") as file:
        file.write(b"\0" * 100)


CUT_SHORT = "cut short: the file ends before its header or its frames are complete"
BEYOND = "frames use palette indices up to 8, beyond the palette's 4 colours (0 to 3)"


@pytest.mark.parametrize(
    "spoil, verb, warnings",
    [
        (cut_after_frames, "info", [CUT_SHORT]),
        (cut_after_frames, "export", [CUT_SHORT]),
        (small_palette, "export", [BEYOND]),
        (small_palette, "info", [BEYOND]),
        (trailing_bytes, "info", []),
        (trailing_bytes, "export", []),
    ],
    ids=[
        "cut short, info",
        "cut short, export",
        "indices beyond the palette, export",
        "indices beyond the palette, info",
        "trailing bytes, info",
        "trailing bytes, export",
    ],
)
def test_an_animation_that_loads_with_faults_is_warned_of_in_one_line_each(tmp_path, capsys, spoil, verb, warnings):
    scene = write_scene(tmp_path, [sprite(0, 0, [[1, 2, 3], [4, 5, 6]]), sprite(1, 1, [[7, 8], [None, 1]])])
    spoil(scene)
    argv = [verb, scene.animation] + (["-o", tmp_path / "out"] if verb == "export" else [])
    status, _, err = run(capsys, *argv)
    assert status == 0
    assert err.splitlines() == [f"kivtool: warning: {scene.animation}: {warning}" for warning in warnings]
    if verb == "info":
        status, out, _ = run(capsys, "info", scene.animation, "--json")
        assert json.loads(out)["warnings"] == warnings


def test_info_shows_the_palette_files_own_colour_count(tmp_path, capsys):
    scene = write_scene(tmp_path, [sprite(0, 0, [[1, 2]])])
    scene.palette.write_bytes(palette_bytes(PALETTE[:4]))
    status, out, err = run(capsys, "info", scene.animation)
    assert status == 0 and err == ""
    assert f"  palette     {LOCATION} -> {scene.palette}, 4 colours" in out.splitlines()
    status, out, _ = run(capsys, "info", scene.animation, "--json")
    assert json.loads(out)["palette"]["colors"] == 4


class NoProcesses:
    """A start-up context whose processes cannot be made, as fork fails
    when the system's limit on processes is reached."""

    class Process(__import__("multiprocessing").get_context("spawn").Process):  # type: ignore[misc]
        def start(self) -> None:
            raise BlockingIOError(11, "Resource temporarily unavailable")

    def __getattr__(self, name: str):
        import multiprocessing

        return getattr(multiprocessing.get_context("spawn"), name)


def test_batch_without_worker_processes_says_so_in_one_line(tmp_path, capsys, monkeypatch):
    write_scene(tmp_path / "game", [sprite(0, 0, [[1]])], name="a")
    write_scene(tmp_path / "game", [sprite(0, 0, [[2]])], name="b")
    monkeypatch.setattr(batch, "worker_context", NoProcesses)
    status, out, err = run(capsys, "batch", tmp_path / "game", "-o", tmp_path / "out", "--jobs", "2")
    assert status == 1 and "Traceback" not in err
    assert out.startswith("exported 0 of 2 files")
    assert err.splitlines()[-1] == (
        f"kivtool: {tmp_path / 'game'}: cannot start worker processes: Resource temporarily unavailable "
        "(files not exported: 2)"
    )


@pytest.mark.parametrize(
    "argv",
    [
        ["export", "{animation}", "-o", "{tmp}", "--as", "frames"],
        ["export", "{animation}", "-o", "{tmp}", "--as", "placed"],
        ["palette", "export", "{palette}", "-o", "{tmp}/{long}.gpl"],
        ["palette", "import", "{tmp}/p.hex", "-o", "{tmp}/{long}.pal"],
    ],
    ids=["export frames", "export placed", "palette export", "palette import"],
)
def test_a_name_too_long_is_called_so(tmp_path, capsys, argv):
    """The core sees a name the system refuses as a file that cannot be
    created; the message says what is wrong with it."""
    # The animation's name fits (251 + 4 bytes); its frames' (name_000.png) do not.
    scene = write_scene(tmp_path, [sprite(0, 0, [[1]]), sprite(0, 0, [[2]])], name="n" * 251)
    (tmp_path / "p.hex").write_text("ffffff\n")
    values = {"animation": scene.animation, "palette": scene.palette, "tmp": tmp_path, "long": "p" * 256}
    status, _, err = run(capsys, *[arg.format(**values) for arg in argv])
    assert status == 1 and err.count("\n") == 1, err
    assert err.endswith(": cannot write: has a name too long\n"), err


@pytest.mark.parametrize("kind", ["fifo", "zero device"])
@pytest.mark.parametrize(
    "target, argv",
    [
        ("out/anim_000.png", ["export", "{animation}", "-o", "{tmp}/out"]),
        ("out/anim.gif", ["export", "{animation}", "-o", "{tmp}/out", "--as", "gif"]),
        ("out/anim.json", ["export", "{animation}", "-o", "{tmp}/out", "--as", "sheet"]),
        ("out/anim/anim_000.png", ["batch", "{tmp}/game", "-o", "{tmp}/out", "--jobs", "1"]),
        ("out/p.gpl", ["palette", "export", "{palette}", "-o", "{target}"]),
        ("out/p.pal", ["palette", "import", "{tmp}/p.hex", "-o", "{target}"]),
        (
            "game/anim/new.kiv",
            ["import", "{tmp}/a.png", "-o", "{target}", "--palette", "{palette}", "--project-root", "{tmp}/game"],
        ),
    ],
    ids=["export frames", "export gif", "export sheet", "batch", "palette export", "palette import", "import"],
)
def test_an_output_that_is_not_a_regular_file_is_refused_and_kept(tmp_path, kind, target, argv):
    """Renaming over a FIFO or a device would make it a plain file, and
    opening one to write in place could block: it is refused in one line
    naming it, and stays what it was. In a child process, with a timeout."""
    scene = write_scene(tmp_path / "game", [sprite(0, 0, [[1]])])
    (tmp_path / "p.hex").write_text("ffffff\n")
    Image.new("RGBA", (1, 1), PALETTE[1]).save(tmp_path / "a.png")
    special = tmp_path / target
    special.parent.mkdir(parents=True, exist_ok=True)
    make_special(special, kind)
    values = {"animation": scene.animation, "palette": scene.palette, "tmp": tmp_path, "target": special}
    command = [sys.executable, "-m", "kivtool"] + [arg.format(**values) for arg in argv]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert done.returncode == 1, done.stderr
    assert "Traceback" not in done.stderr
    lines = [line for line in done.stderr.splitlines() if str(special) in line]
    assert len(lines) == 1 and "is not a regular file" in lines[0], done.stderr
    is_kind = __import__("stat").S_ISFIFO if kind == "fifo" else __import__("stat").S_ISCHR
    assert is_kind(os.lstat(special).st_mode)
