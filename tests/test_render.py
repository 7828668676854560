import random

import pykiv
import pytest
from kivmodel import (
    animation_file,
    encode_animation,
    frame_record,
    palette_file,
    random_animation,
    render,
    snapshot,
    snapshot_colors,
    snapshot_rendered,
)

BLACK = bytes((0, 0, 0, 255))
CLEAR = bytes(4)


def palette_colors(n):
    """n distinct colours, none of them all zero."""
    return [((i + 1) % 256, 2 * i % 256, 255 - i, 128 + i % 128) for i in range(n)]


def px(i):
    return bytes(palette_colors(256)[i])


@pytest.fixture
def load(tmp_path):
    """Loads frame records with a palette of `colors` colours (the loader
    pads a palette file to 256, so shorter palettes are set afterwards)."""

    def load(records, colors=256):
        (tmp_path / "p.pal").write_bytes(palette_file(palette_colors(256)))
        (tmp_path / "x.kiv").write_bytes(animation_file(1, b"p.pal\0", records))
        file = pykiv.KivF()
        file.load(str(tmp_path / "x.kiv"))
        data = file.data()
        if colors != 256:
            data.palette.colors(data.palette.colors()[:colors])
        return file, data

    return load


def frame(width, rows, shadow=False, x_offset=0, y_offset=0, height=None):
    height = len(rows) if height is None else height
    return frame_record(0, height | (0x8000 if shadow else 0), width, y_offset, x_offset, 0, 0, rows, shadow)


def render_one(data):
    (image,) = pykiv.KivFrameBuffer(data).get_buffer()
    return image


def test_nothing_to_render_writes_nothing(stderr_lines):
    data = pykiv.KivF().data()
    assert pykiv.KivFrameBuffer(data).get_buffer() == []
    assert stderr_lines() == []


def test_frames_without_palette_colours(load, stderr_lines):
    # Shadow frames paint no palette colour, but need a palette all the same.
    file, data = load([frame(2, [[(0, 1, [0])]], shadow=True)], colors=0)
    assert pykiv.KivFrameBuffer(data).get_buffer() == []
    assert stderr_lines() == ["ERROR: No palette data available!"]


RUN_CASES = {
    # width, rows, shadow, palette size, edits -> first row's pixels, lines
    "shadow run at offset 2": (10, [[(2, 3, [])]], True, 256, None, CLEAR * 2 + BLACK * 3 + CLEAR * 5, []),
    "run of length 0 paints nothing but moves": (
        8,
        [[(5, 2, [1, 2]), (0, 1, [3])]],
        False,
        256,
        lambda b: setattr(b[0], "color_count", 0),
        CLEAR * 5 + px(3) + CLEAR * 2,
        [],
    ),
    "colour list sets the run length": (
        6,
        [[(0, 4, [1, 2, 3, 4])]],
        False,
        256,
        lambda b: setattr(b[0], "color_count", 2),
        px(1) + px(2) + px(3) + px(4) + CLEAR * 2,
        [],
    ),
    "run cut at the right edge, later runs paint nothing": (
        4,
        [[(2, 6, [1, 2, 3, 4, 5, 6]), (0, 1, [7])]],
        False,
        256,
        None,
        CLEAR * 2 + px(1) + px(2),
        [],
    ),
    "shadow run cut at the edge": (3, [[(1, 5, []), (0, 1, [])]], True, 256, None, CLEAR + BLACK * 2, []),
    "index out of range stops the run where it is": (
        8,
        [[(0, 4, [1, 2, 7, 3]), (1, 1, [0])]],
        False,
        4,
        None,
        px(1) + px(2) + CLEAR + px(0) + CLEAR * 4,
        ["ERROR: Out-of-bounds color index! (7)"],
    ),
    "index 0 is a colour like any other": (2, [[(0, 2, [0, 0])]], False, 256, None, px(0) * 2, []),
    "offsets beyond the width": (3, [[(255, 1, [1]), (255, 1, [2])]], False, 256, None, CLEAR * 3, []),
}


@pytest.mark.parametrize("width, rows, shadow, colors, edit, expected, lines", RUN_CASES.values(), ids=RUN_CASES.keys())
def test_runs(load, stderr_lines, width, rows, shadow, colors, edit, expected, lines):
    _, data = load([frame(width, rows, shadow)], colors)
    if edit:
        edit(data.frames[0].pixel_sets[0].blocks)
    stderr_lines()
    image = render_one(data)
    assert image.pixels == expected
    assert stderr_lines() == lines


@pytest.mark.parametrize(
    "height, sets, lines",
    [
        (5, 3, ["ERROR: Row 3 exceeds KivPixelSet count!", "ERROR: Row 4 exceeds KivPixelSet count!"]),
        (5, 7, []),
    ],
)
def test_rows_and_pixel_sets_disagree(load, stderr_lines, height, sets, lines):
    _, data = load([frame(2, [[(0, 1, [1])]] * sets)])
    data.frames[0].height = height
    stderr_lines()
    image = render_one(data)
    painted = min(height, sets)
    assert image.pixels == (px(1) + CLEAR) * painted + CLEAR * 2 * (height - painted)
    assert stderr_lines() == lines


@pytest.mark.parametrize("width, height", [(0, 0), (0, 3), (4, 0)])
def test_empty_images_keep_size_and_offsets(load, stderr_lines, width, height):
    _, data = load([frame(width, [[(0, 1, [1])]] * height, x_offset=-5, y_offset=300)])
    image = render_one(data)
    assert (image.pixels, image.width, image.height, image.offset_x, image.offset_y, image.channels) == (
        b"",
        width,
        height,
        -5,
        300,
        4,
    )
    assert stderr_lines() == []


def test_frames_rendered_separately_with_offsets_passed_on(load):
    file, _ = load(
        [
            frame(2, [[(0, 2, [1, 2])]], x_offset=-32768, y_offset=32767),
            frame(1, [[(0, 1, [3])], [(0, 1, [4])]], shadow=True),
        ]
    )
    images = file.get_frame_buffer()
    assert [(i.width, i.height, i.offset_x, i.offset_y) for i in images] == [(2, 1, -32768, 32767), (1, 2, 0, 0)]
    assert [i.pixels for i in images] == [px(1) + px(2), BLACK * 2]


def test_results_are_copies(load):
    file, data = load([frame(2, [[(0, 2, [1, 2])]])])
    buffer = pykiv.KivFrameBuffer(data)
    first, second = buffer.get_buffer(), buffer.get_buffer()
    assert first is not second and first[0] is not second[0]
    assert first[0].pixels == second[0].pixels and first[0].pixels is not first[0].pixels
    assert file.get_frame_buffer()[0] is not file.get_frame_buffer()[0]
    with pytest.raises(AttributeError):
        first[0].width = 1


def test_edits_show_in_new_renders_only(load):
    file, data = load([frame(2, [[(0, 2, [1, 2])]])])
    data.frames[0].width = 3
    data.frames[0].pixel_sets[0].blocks[0].offset = 1
    assert file.get_frame_buffer()[0].pixels == px(1) + px(2)
    assert render_one(data).pixels == CLEAR + px(1) + px(2)


def test_frame_buffer_outlives_its_data(load):
    file, data = load([frame(1, [[(0, 1, [5])]])])
    buffer = pykiv.KivFrameBuffer(data)
    del file, data
    assert buffer.get_buffer()[0].pixels == px(5)


@pytest.mark.parametrize("seed", range(60))
def test_random_renders_match_model(tmp_path, stderr_lines, seed):
    rng = random.Random(seed)
    (tmp_path / "x.kiv").write_bytes(encode_animation(random_animation(rng, max_size=20), b""))
    file = pykiv.KivF()
    file.load(str(tmp_path / "x.kiv"))
    data = file.data()
    # A short palette so that some indices are out of range.
    (tmp_path / "p.pal").write_bytes(palette_file(palette_colors(256)))
    data.palette.load(str(tmp_path / "p.pal"))
    data.palette.colors(data.palette.colors()[: rng.randint(1, 256)])
    # Edits that break the loaded invariants: heights, run lengths, widths.
    for f in data.frames:
        if rng.random() < 0.3:
            f.height = rng.randint(0, 20)
        if rng.random() < 0.3:
            f.width = rng.randint(0, 20)
        for row in f.pixel_sets:
            for block in row.blocks:
                if rng.random() < 0.2:
                    block.color_count = rng.randint(0, 3)
    stderr_lines()
    expected, lines = render(snapshot(data).frames, snapshot_colors(data.palette))
    assert snapshot_rendered(pykiv.KivFrameBuffer(data).get_buffer()) == expected
    assert stderr_lines() == lines
