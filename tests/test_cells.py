"""kivtool import of strips, grids and animated images: every cell or step a
frame, each pixel where it stood around the anchor."""

from __future__ import annotations

import re

import kivmodel
import numpy as np
import pykiv
import pytest
from PIL import Image

from kivtool import cli

CLEAR = (0, 0, 0, 0)
INK = (10, 20, 30, 255)
GLASS = (200, 0, 0, 128)  # partial alpha, in the palette
WHITE = (250, 250, 250, 255)
BLACK = (0, 0, 0, 255)
COLORS = [CLEAR, INK, GLASS, WHITE, BLACK]


@pytest.fixture
def project(tmp_path):
    """A project root with its palette in pal/."""
    root = tmp_path / "game"
    (root / "pal").mkdir(parents=True)
    (root / "pal" / "p.pal").write_bytes(kivmodel.palette_file(COLORS))
    return root


def kivtool(capsys, *args):
    status = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out.splitlines(), err.splitlines()


def import_args(project, *inputs):
    out = project / "anim" / "a.kiv"
    return ["import", *inputs, "-o", out, "--palette", project / "pal" / "p.pal", "--project-root", project]


def frames_of(project):
    """Each frame of the imported file as (x offset, y offset, kind, RGBA pixels)."""
    kiv = pykiv.KivF()
    data = kiv.load(str(project / "anim" / "a.kiv"))
    assert data is not None
    result = []
    for frame, image in zip(data.frames, kiv.get_frame_buffer()):
        pixels = np.frombuffer(bytes(image.pixels), dtype=np.uint8).reshape(image.height, image.width, 4)
        result.append((image.offset_x, image.offset_y, frame.is_shadow, pixels))
    return result


def placed(frame, point, size):
    """The frame drawn on a clear area of `size` (width, height) whose anchor
    lies at `point`."""
    x_offset, y_offset, _, pixels = frame
    area = np.zeros((size[1], size[0], 4), dtype=np.uint8)
    x, y = point[0] + x_offset, point[1] + y_offset
    height, width = pixels.shape[:2]
    area[y : y + height, x : x + width] = pixels
    return area


def strip(cells, width=6, height=5):
    """An RGBA strip of cells side by side; cell i paints the pixels listed
    in cells[i] as (x, y, colour)."""
    pixels = np.zeros((height, width * len(cells), 4), dtype=np.uint8)
    for i, painted in enumerate(cells):
        for x, y, color in painted:
            pixels[y, i * width + x] = color
    return pixels


# Four cells of 6 x 5; the last two paint nothing.
CELLS = [[(1, 1, INK), (2, 4, GLASS)], [(5, 0, WHITE)], [], []]


def save_strip(path, pixels, paletted):
    """As RGBA, or as a palette PNG whose palette (with tRNS) is the animation's."""
    if not paletted:
        Image.fromarray(pixels).save(path)
        return path
    index = {color: i for i, color in reversed(list(enumerate(COLORS)))}
    values = np.array([[index[tuple(int(c) for c in p)] for p in row] for row in pixels], dtype=np.uint8)
    image = Image.frombytes("P", (values.shape[1], values.shape[0]), values.tobytes())
    image.putpalette([c for color in COLORS for c in color[:3]])
    image.save(path, transparency=bytes(color[3] for color in COLORS))
    return path


@pytest.mark.parametrize("paletted", [False, True], ids=["rgba-partial-alpha", "paletted-trns"])
@pytest.mark.parametrize(
    "options, cells, point",
    [
        pytest.param([], [0, 1], (3, 5), id="default-bottom-drops-empty-trailing-cells"),
        pytest.param(["--count", "3"], [0, 1, 2], (3, 5), id="count-keeps-empty-cells"),
        pytest.param(["--first", "1", "--count", "2"], [1, 2], (3, 5), id="first-and-count"),
        pytest.param(["--first", "1"], [1], (3, 5), id="first-alone"),
        pytest.param(["--anchor", "top-left"], [0, 1], (0, 0), id="top-left"),
        pytest.param(["--anchor", "center"], [0, 1], (3, 2), id="center-rounds-down"),
        pytest.param(["--anchor", "bottom-right"], [0, 1], (6, 5), id="bottom-right"),
        pytest.param(["--anchor", "2,-3"], [0, 1], (2, -3), id="pixels"),
        pytest.param(["--trim"], [0, 1], (3, 5), id="trim"),
        pytest.param(["--trim", "--count", "4", "--anchor", "right"], [0, 1, 2, 3], (6, 2), id="trim-empty-cells"),
    ],
)
def test_grid_cells_become_frames_around_the_anchor(project, capsys, paletted, options, cells, point):
    path = save_strip(project / "strip.png", strip(CELLS), paletted)
    if paletted:  # read by index: entry 0 paints nothing
        options = [*options, "--transparent-index", "0"]
    status, out, err = kivtool(capsys, *import_args(project, path), "--grid", "6x5", *options)
    assert status == 0, err
    assert out[-1].endswith(f"{len(cells)} frames, speed 0, verified")
    frames = frames_of(project)
    assert len(frames) == len(cells)
    for frame, cell in zip(frames, cells):
        x_offset, y_offset, shadow, pixels = frame
        assert not shadow
        height, width = pixels.shape[:2]
        if "--trim" not in options:
            assert (width, height, x_offset, y_offset) == (6, 5, -point[0], -point[1])
        elif not CELLS[cell]:
            assert (width, height, x_offset, y_offset) == (0, 0, -point[0], -point[1])
        # Offsets and pixels together put every pixel back where it was in its cell.
        expected = strip([CELLS[cell]])
        back = np.zeros((5, 6, 4), dtype=np.uint8)
        left, top = x_offset + point[0], y_offset + point[1]
        back[top : top + height, left : left + width] = pixels
        assert np.array_equal(back, expected), cell


def test_trim_cuts_to_the_painted_pixels(project, capsys):
    path = save_strip(project / "strip.png", strip(CELLS), False)
    assert kivtool(capsys, *import_args(project, path), "--grid", "6x5", "--trim")[0] == 0
    sizes = [(x, y, p.shape[1], p.shape[0]) for x, y, _, p in frames_of(project)]
    # cell 0 paints (1, 1) to (2, 4); cell 1 paints (5, 0) alone; anchor (3, 5).
    assert sizes == [(1 - 3, 1 - 5, 2, 4), (5 - 3, 0 - 5, 1, 1)]


def test_several_images_give_their_cells_in_turn(project, capsys):
    """--first and --count count over all images together; the cells of a
    grid run left to right, then top to bottom."""
    walk = np.concatenate([strip([[(0, 0, INK)], [(1, 0, INK)]]), strip([[(2, 0, INK)], [(3, 0, INK)]])])
    run = strip([[(4, 0, WHITE)], [(5, 0, WHITE)]])
    save_strip(project / "walk.png", walk, False)
    save_strip(project / "run.png", run, False)
    args = import_args(project, project / "walk.png", project / "run.png")
    assert kivtool(capsys, *args, "--grid", "6x5", "--first", "1", "--count", "4", "--trim")[0] == 0
    got = [(x + 3, y + 5, tuple(int(c) for c in p[0, 0])) for x, y, _, p in frames_of(project)]
    assert got == [(1, 0, INK), (2, 0, INK), (3, 0, INK), (4, 0, WHITE)]


def test_shadow_and_background_count_frames_after_cutting(project, capsys):
    save_strip(project / "strip.png", strip([[(0, 0, INK)], [(1, 1, GLASS)], [(2, 2, WHITE)]]), False)
    Image.fromarray(np.full((2, 2, 4), WHITE, dtype=np.uint8)).save(project / "bg.png")
    args = import_args(project, project / "strip.png")
    status, out, err = kivtool(capsys, *args, "--grid", "6x5", "--shadow", "1", "--background", project / "bg.png")
    assert status == 0, err
    frames = frames_of(project)
    assert [f[2] for f in frames] == [False, True, False, False]
    assert frames[3][:2] == (0, 0) and frames[3][3].shape == (2, 2, 4)
    assert "the last one the background" in out[-1]


@pytest.mark.parametrize(
    "options, message",
    [
        pytest.param(
            ["--grid", "7x5"], r"strip\.png: the image is 24 × 5 pixels, which cells of 7 × 5", id="not-dividing"
        ),
        pytest.param(
            ["--grid", "6x4"], r"strip\.png: the image is 24 × 5 pixels, which cells of 6 × 4", id="rows-not-dividing"
        ),
        pytest.param(
            ["--grid", "6x5", "--first", "3", "--count", "2"],
            r"strip\.png: --first 3 --count 2 asks for cells up to 4, but cells of 6 × 5 \(--grid\) give 4 cells",
            id="cell-outside",
        ),
        pytest.param(
            ["--grid", "6x5", "--first", "2"], r"strip\.png: no cell from --first 2 on paints a pixel", id="all-empty"
        ),
        pytest.param(["--trim"], r"strip\.png: --trim is for images cut by --grid", id="trim-without-grid"),
        pytest.param(["--count", "2"], r"strip\.png: --count is for images cut by --grid", id="count-without-grid"),
        pytest.param(
            ["--anchor", "top"], r"strip\.png: --anchor is for images cut by --grid and for animated", id="anchor-still"
        ),
        pytest.param(
            ["--grid", "6x5", "--shadow", "2"],
            r"--shadow 2: the images give 2 frames, counted from 0",
            id="shadow-beyond",
        ),
        pytest.param(
            ["--grid", "6x5", "--offsets", "o.json"], r"strip\.png: --offsets is for whole images", id="offsets"
        ),
        pytest.param(["--grid", "6"], r"--grid: is not WxH .*: '6'", id="grid-value"),
        pytest.param(["--grid", "0x5"], r"--grid: is not WxH .*: '0x5'", id="grid-zero"),
        pytest.param(
            ["--grid", "6x5", "--anchor", "99999999999999999999,0"],
            r"--anchor: has a coordinate beyond ±1048576: '99999999999999999999,0'",
            id="anchor-far",
        ),
        pytest.param(
            ["--grid", "6x5", "--anchor", "40000,0"],
            r"a\.kiv: cannot store frame 0 \(strip\.png: cell 0 \(x=0, y=0\)\): x offset -40000 is outside -32768\.\.32767",
            id="offset-out-of-range",
        ),
        pytest.param(
            ["--grid", "6x5", "--anchor", "feet"], r"--anchor: is neither X,Y nor one of .*: 'feet'", id="anchor-value"
        ),
    ],
)
def test_grid_refusals_are_one_line_and_write_nothing(project, capsys, monkeypatch, options, message):
    monkeypatch.chdir(project)
    (project / "o.json").write_text("[]")
    save_strip(project / "strip.png", strip(CELLS), False)
    status, _, err = kivtool(capsys, *import_args(project, "strip.png"), *options)
    assert status != 0 and len(err) == 1, err
    assert re.search(message, err[0]), err[0]
    assert not (project / "anim").exists()


# --------------------------------------------------------------------------
# Animated images


def steps_of(count=3, size=(9, 7), color=WHITE):
    """Steps of a figure that grows and moves down, the canvas clear around it."""
    steps = []
    for i in range(count):
        pixels = np.zeros((size[1], size[0], 4), dtype=np.uint8)
        pixels[1 + i : 3 + i, 2 : 4 + i] = color
        pixels[0, 8 - i] = INK
        steps.append(pixels)
    return steps


def save_animated(path, steps, form):
    images = [Image.fromarray(step) for step in steps]
    extra = {"lossless": True} if form == "WEBP" else {}
    if form == "GIF":
        extra = {"disposal": 2}
    images[0].save(path, format=form, save_all=True, append_images=images[1:], duration=100, loop=0, **extra)


@pytest.mark.parametrize("form", ["GIF", "PNG", "WEBP"])
@pytest.mark.parametrize("anchor, point", [(None, (4, 7)), ("top-left", (0, 0)), ("3,2", (3, 2))])
def test_animated_steps_become_trimmed_frames_placed_on_the_canvas(project, capsys, form, anchor, point):
    steps = steps_of()
    name = f"a.{form.lower()}"
    save_animated(project / name, steps, form)
    options = ["--anchor", anchor] if anchor else []
    status, out, err = kivtool(capsys, *import_args(project, project / name), "--speed", "4", *options)
    assert status == 0, err
    assert out[-1].endswith("3 frames, speed 4, verified")
    frames = frames_of(project)
    for i, (frame, step) in enumerate(zip(frames, steps)):
        painted = frame[3][..., 3] > 0
        assert painted.any(axis=0)[[0, -1]].all() and painted.any(axis=1)[[0, -1]].all(), f"step {i} not trimmed"
        assert np.array_equal(placed(frame, point, (9, 7)), step), i


def test_partial_alpha_steps_follow_the_rules_of_single_images(project, capsys):
    steps = steps_of(color=(201, 1, 0, 130))  # near GLASS, not in the palette
    save_animated(project / "a.png", steps, "PNG")
    status, _, err = kivtool(capsys, *import_args(project, project / "a.png"))
    assert status == 1 and len(err) == 1
    assert re.search(
        r"a\.png: step 0 \(painted from x=2, y=0\): pixel x=0, y=1 has colour \(201, 1, 0, 130\)", err[0]
    ), err[0]
    status, out, err = kivtool(capsys, *import_args(project, project / "a.png"), "--quantize")
    assert status == 0, err
    assert out[0].startswith("frame 0 (") and out[0].endswith(": 4 pixels changed to the nearest palette colour")
    for frame in frames_of(project):
        colors = {tuple(int(c) for c in pixel) for pixel in frame[3].reshape(-1, 4)}
        assert GLASS in colors and colors <= {CLEAR, INK, GLASS}


@pytest.mark.parametrize("form", ["gif", "apng", "webp"])
def test_the_tools_own_animated_exports_come_back(project, capsys, tmp_path, form):
    """Same painted pixels and the same placement, step for step; a step
    equal to the one before is merged into it by the writer, and comes
    back as one frame."""
    steps = steps_of(4)
    steps.insert(2, steps[1])  # merged on export
    save_strip(project / "strip.png", np.concatenate(steps, axis=1), False)
    assert kivtool(capsys, *import_args(project, project / "strip.png"), "--grid", "9x7", "--trim")[0] == 0
    first = frames_of(project)
    assert len(first) == 5
    out = tmp_path / "out"
    assert kivtool(capsys, "export", project / "anim" / "a.kiv", "-o", out, "--as", form)[0] == 0
    exported = next(out.glob(f"*.{form}"))
    assert kivtool(capsys, *import_args(project, exported))[0] == 0
    again = frames_of(project)
    kept = [first[i] for i in (0, 1, 3, 4)]
    assert len(again) == len(kept)
    shift = np.subtract(again[0][:2], kept[0][:2])
    for before, after in zip(kept, again):
        assert np.array_equal(after[3], before[3])
        assert tuple(np.subtract(after[:2], before[:2])) == tuple(shift)


@pytest.mark.parametrize("form", ["GIF", "PNG", "WEBP"])
def test_an_animated_image_cut_by_grid_is_refused(project, capsys, form):
    name = f"a.{form.lower()}"
    save_animated(project / name, steps_of(), form)
    status, _, err = kivtool(capsys, *import_args(project, project / name), "--grid", "3x7")
    assert status == 1 and len(err) == 1, err
    assert re.search(
        rf"{name}: is an animated image of 3 frames; a sheet's image or an image cut by --grid is one picture", err[0]
    )


def test_offsets_are_refused_for_animated_images(project, capsys):
    save_animated(project / "a.gif", steps_of(), "GIF")
    (project / "o.json").write_text("[[0, 0]]")
    status, _, err = kivtool(capsys, *import_args(project, project / "a.gif"), "--offsets", project / "o.json")
    assert status == 1 and len(err) == 1 and "a.gif: --offsets is for still images" in err[0], err
