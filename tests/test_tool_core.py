"""kivtool._core, the tool's private view of the core: the animation object
(a load as a value, the header without rendering, the placement patch), the encoder of frames given as planes, the
placement patch, file replacement, palette files and the memory figure.
What it gives is checked against pykiv itself and the tests' own model of
the format."""

from __future__ import annotations

import os
import pathlib
import random

import kivmodel
import numpy as np
import pykiv
import pytest
from child_process import run_child

from kivtool import _core

SHADOW_PIXEL = bytes((0, 0, 0, 255))


def write_animation(folder, anim: kivmodel.Animation, palette, location: bytes = b"pal/p.pal"):
    """The animation as a.kiv under `folder`, its palette at `location`."""
    if palette is not None:
        (folder / os.fsdecode(location)).parent.mkdir(parents=True, exist_ok=True)
        (folder / os.fsdecode(location)).write_bytes(kivmodel.palette_file(palette))
    path = folder / "a.kiv"
    path.write_bytes(kivmodel.encode_animation(anim, location))
    return path


def load(path, palette: str = "", data=None, render: bool = True) -> _core.Animation:
    """The tool's animation of the file at `path` (or of `data` under that
    name), rendered unless asked not to."""
    loaded = _core.Animation(str(path), pathlib.Path(path).read_bytes() if data is None else data, palette)
    if render:
        loaded.render()
    return loaded


def painted_as(loaded, index: int) -> bytes:
    """Frame `index` drawn from its index planes and the loaded palette."""
    frame = loaded.frames[index]
    indices, painted = loaded.indices(index)
    assert len(indices) == len(painted) == frame.width * frame.height
    assert set(painted) <= {0, 1}
    out = bytearray()
    for index_value, is_painted in zip(indices, painted):
        if not is_painted:
            out += bytes(4)
        elif frame.is_shadow:
            assert index_value == 0
            out += SHADOW_PIXEL
        else:
            out += bytes(loaded.colors[index_value])
    return bytes(out)


# --------------------------------------------------------------------------
# the animation object: a load


@pytest.mark.parametrize("seed", range(25))
def test_load_gives_what_pykiv_gives(seed, tmp_path):
    rng = random.Random(seed)
    anim = kivmodel.random_animation(rng, max_frames=5, max_size=40)
    palette = kivmodel.random_palette(rng)
    path = write_animation(tmp_path, anim, palette)
    kiv = pykiv.KivF()
    data = kiv.load(str(path))
    rendered = kiv.get_frame_buffer()

    loaded = load(path)
    expected_status = "loaded" if anim.frames else "no_frames"
    assert loaded.outcome.name == expected_status
    assert loaded.errors == []
    palette_file = os.path.realpath(tmp_path / "pal" / "p.pal")
    assert (loaded.palette_tried, loaded.palette_used) == (palette_file, palette_file)
    assert (loaded.speed, loaded.frame_count, loaded.has_background, loaded.location) == (
        kiv.data().info.speed,
        kiv.data().info.frame_count,
        kiv.data().has_background,
        "pal/p.pal",
    )
    assert loaded.color_count == len(palette)
    assert loaded.colors == [(c.r, c.g, c.b, c.a) for c in kiv.data().palette.colors()]
    if data is None:
        return
    assert len(loaded.frames) == len(rendered) == len(data.frames)
    for i, (frame, image, record) in enumerate(zip(loaded.frames, rendered, data.frames)):
        assert (frame.width, frame.height, frame.x_offset, frame.y_offset, frame.is_shadow) == (
            image.width,
            image.height,
            image.offset_x,
            image.offset_y,
            bool(record.is_shadow),
        )
        assert frame.runs == sum(len(row.blocks) for row in record.pixel_sets)
        assert loaded.rgba(i) == image.pixels
        assert painted_as(loaded, i) == image.pixels


def good_palette(folder):
    (folder / "pal").mkdir()
    (folder / "pal" / "p.pal").write_bytes(kivmodel.palette_file([(1, 2, 3, 4)]))


def zero_count_palette(folder):
    (folder / "pal").mkdir()
    (folder / "pal" / "p.pal").write_bytes(kivmodel.palette_file([], count=0))


NO_COLOURS = "No palette data available!"
ONE_FRAME = [kivmodel.frame_record(0, 1, 2, 0, 0, 0, 1, [[(0, 2, [1, 2])]], False)]

# Each case: how the folder is set up, the animation's frame records (None:
# no file), the palette argument, then the status, the palette tried (a path
# under the folder, "" for none) and the error lines.
LOAD_CASES = {
    "no frames": (good_palette, [], "", "no_frames", "pal/p.pal", []),
    "no frames, no palette": (lambda folder: None, [], "", "palette_missing", "", ["Could not open palette file: "]),
    "palette not found": (
        lambda folder: None,
        ONE_FRAME,
        "",
        "palette_missing",
        "",
        ["Could not open palette file: ", NO_COLOURS],
    ),
    "named palette missing": (
        lambda folder: None,
        ONE_FRAME,
        "other.pal",
        "palette_missing",
        "other.pal",
        ["Could not open palette file: {folder}/other.pal", NO_COLOURS],
    ),
    "palette of no colours": (
        zero_count_palette,
        ONE_FRAME,
        "",
        "palette_invalid",
        "pal/p.pal",
        ["Invalid color count: 0", NO_COLOURS],
    ),
}


@pytest.mark.parametrize("prepare, records, palette, status, tried, errors", LOAD_CASES.values(), ids=LOAD_CASES.keys())
def test_load_says_how_it_ended(tmp_path, monkeypatch, stderr_lines, prepare, records, palette, status, tried, errors):
    monkeypatch.chdir(tmp_path)
    prepare(tmp_path)
    path = tmp_path / "a.kiv"
    if records is not None:
        path.write_bytes(kivmodel.animation_file(0, b"pal/p.pal\0", records))
    loaded = load(path, palette)
    assert loaded.outcome.name == status
    assert loaded.palette_tried == (str(tmp_path / tried) if tried else "")
    assert loaded.palette_used == (loaded.palette_tried if status == "no_frames" else "")
    assert loaded.errors == [line.format(folder=tmp_path) for line in errors]
    # The lines are handed back, not written; pykiv's still are.
    assert stderr_lines() == []
    if records:
        pykiv.KivF().load(str(path), io_pal=palette)
        assert stderr_lines() == ["ERROR: " + line.format(folder=tmp_path) for line in errors]


def test_an_explicit_palette_is_used_and_the_stored_location_still_shown(tmp_path, gray_palette):
    palette_path, colors = gray_palette
    path = tmp_path / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"elsewhere/p.pal\0", ONE_FRAME))
    loaded = load(path, str(palette_path))
    assert (loaded.outcome.name, loaded.palette_used, loaded.location) == (
        "loaded",
        str(palette_path),
        "elsewhere/p.pal",
    )
    assert loaded.rgba(0) == bytes(colors[1]) + bytes(colors[2])


# Each case: where the palette is, under the animation's folder (the
# animation is at a/b/a.kiv), the palette argument, then the folder of the
# search that matched ("" for none) and the palette used.
PALETTE_FOLDER_CASES = {
    "beside the animation": ("a/b/pal/p.pal", "", "a/b", "a/b/pal/p.pal"),
    "two folders up": ("pal/p.pal", "", "", "pal/p.pal"),
    "given, not searched": ("pal/p.pal", "pal/p.pal", None, "pal/p.pal"),
    "none found": (None, "", None, None),
}


@pytest.mark.parametrize("where, palette, folder, used", PALETTE_FOLDER_CASES.values(), ids=PALETTE_FOLDER_CASES.keys())
def test_the_folder_the_palette_search_matched_is_told(tmp_path, where, palette, folder, used):
    if where is not None:
        (tmp_path / where).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / where).write_bytes(kivmodel.palette_file([(1, 2, 3, 4)]))
    (tmp_path / "a" / "b").mkdir(parents=True, exist_ok=True)
    path = tmp_path / "a" / "b" / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"pal/p.pal\0", ONE_FRAME))
    loaded = load(path, str(tmp_path / palette) if palette else "", render=False)
    expected_folder = "" if folder is None else str(tmp_path / folder) if folder else str(tmp_path)
    assert loaded.palette_folder == expected_folder
    assert loaded.palette_used == ("" if used is None else os.path.realpath(tmp_path / used))
    if folder is not None:
        # The folder joined with the stored location is the palette found.
        assert os.path.samefile(os.path.join(loaded.palette_folder, loaded.location), loaded.palette_used)


def test_digest_is_the_sha256_of_the_bytes_it_was_made_from(tmp_path):
    import hashlib

    whole = kivmodel.animation_file(7, b"gray.pal\0", ONE_FRAME) + bytes(1000)
    for data in (whole, memoryview(whole)[:-1000], b""):
        assert _core.Animation(str(tmp_path / "a.kiv"), data).digest == hashlib.sha256(data).hexdigest()


def test_the_frame_table_is_one_tuple_made_once(tmp_path, gray_palette):
    path = tmp_path / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"gray.pal\0", ONE_FRAME * 3))
    loaded = load(path)
    assert isinstance(loaded.frames, tuple) and len(loaded.frames) == 3
    assert loaded.frames is loaded.frames
    with pytest.raises(AttributeError):
        loaded.frames[0].width = 9  # type: ignore[misc]


# Each case: the frame records (as the model writes them), whether the file
# has the prefix and a background frame, and how many bytes of the last
# record are cut off.
RECORD_OFFSET_CASES = {
    "plain": ([ONE_FRAME[0], kivmodel.frame_record(0, 2, 3, 0, 0, 0, 1, [[(0, 3, [1, 2, 3])], []], False)], False, 0),
    "with the prefix and a background frame": (ONE_FRAME * 3, True, 0),
    "a shadow frame": ([kivmodel.frame_record(0, 0x8001, 2, 0, 0, 0, 1, [[(0, 2, [])]], True)] + ONE_FRAME, False, 0),
    "the last record cut": (ONE_FRAME * 2, False, 3),
}


@pytest.mark.parametrize("records, background, cut", RECORD_OFFSET_CASES.values(), ids=RECORD_OFFSET_CASES.keys())
def test_each_frame_tells_where_its_record_starts(tmp_path, records, background, cut):
    data = kivmodel.animation_file(0, b"p.pal\0", records, prefix=background, has_background_byte=int(background))
    data = data[: len(data) - cut]
    # The model's own layout: the header, then the records one after another.
    start = (9 if background else 0) + 4 + 4 + len(b"p.pal\0") + 4
    expected = [start + sum(len(r) for r in records[:i]) for i in range(len(records))]
    loaded = _core.Animation(str(tmp_path / "a.kiv"), data)
    assert [frame.record_offset for frame in loaded.frames] == expected


def test_load_outcomes_are_an_enum():
    import enum

    assert issubclass(_core.LoadOutcome, enum.Enum)
    assert [outcome.name for outcome in _core.LoadOutcome] == [
        "loaded",
        "cannot_open",
        "no_frames",
        "palette_missing",
        "palette_invalid",
        "no_colors",
    ]


def test_text_that_is_not_utf8_is_escaped(tmp_path):
    path = tmp_path / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"p\xff.pal\0", ONE_FRAME))
    loaded = load(path)
    assert (loaded.outcome.name, loaded.location) == ("palette_missing", "p\\xff.pal")
    assert load(path, render=False).location == "p\\xff.pal"


def test_frame_index_out_of_range(tmp_path, gray_palette):
    path = tmp_path / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"gray.pal\0", ONE_FRAME))
    loaded = load(path)
    for method in (loaded.rgba, loaded.indices):
        with pytest.raises(IndexError):
            method(1)


def test_a_frame_cut_at_the_right_edge_is_painted_as_rendered(tmp_path, gray_palette):
    # Runs reach past the width; the second row's second run starts past it.
    rows = [[(1, 4, [5, 6, 7, 8])], [(0, 1, [9]), (5, 2, [1, 2])]]
    records = [
        kivmodel.frame_record(0, 2, 3, 0, 0, 0, 1, rows, False),
        kivmodel.frame_record(0, 0x8002, 3, 0, 0, 0, 1, [[(2, 4, [])], [(0, 1, [])]], True),
    ]
    path = tmp_path / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"gray.pal\0", records))
    loaded = load(path)
    assert loaded.indices(0) == (bytes((0, 5, 6, 9, 0, 0)), bytes((0, 1, 1, 1, 0, 0)))
    assert loaded.indices(1) == (bytes(6), bytes((0, 0, 1, 1, 0, 0)))
    for i in range(2):
        assert painted_as(loaded, i) == loaded.rgba(i)


def test_first_difference_finds_the_first_pixel_that_differs(tmp_path, gray_palette):
    rows = [[(0, 3, [1, 2, 3])], [(1, 2, [4, 5])]]
    path = tmp_path / "a.kiv"
    path.write_bytes(
        kivmodel.animation_file(0, b"gray.pal\0", [kivmodel.frame_record(0, 3, 2, 0, 0, 0, 0, rows, False)])
    )
    loaded = load(path)
    rendered = np.frombuffer(loaded.rgba(0), dtype="<u4").reshape(2, 3)
    assert loaded.first_difference(0, rendered) == -1
    for at in (0, 4, 5):  # the first pixel, one inside, the last
        changed = rendered.copy()
        changed.reshape(-1)[at:] ^= 0x01000000
        assert loaded.first_difference(0, changed) == at
    for wrong in (rendered[:1], rendered.T, rendered.astype(np.uint16), rendered.tobytes()):
        with pytest.raises(ValueError, match="four-byte words"):
            loaded.first_difference(0, wrong)
    with pytest.raises(IndexError):
        loaded.first_difference(1, rendered)


def test_bytes_given_are_decoded_instead_of_the_file(tmp_path, gray_palette):
    # The file changes between the caller's read and the load: the load
    # shows the bytes the caller read (and digested), not the file's new ones.
    path = tmp_path / "a.kiv"
    read_by_caller = kivmodel.animation_file(7, b"gray.pal\0", ONE_FRAME)
    path.write_bytes(kivmodel.animation_file(9, b"gray.pal\0", ONE_FRAME * 3))
    loaded = load(path, data=read_by_caller)
    assert (loaded.outcome.name, loaded.speed, len(loaded.frames)) == ("loaded", 7, 1)
    # The palette search still starts from the path's folder.
    assert loaded.palette_used == str(gray_palette[0])
    assert loaded.rgba(0) == bytes(gray_palette[1][1]) + bytes(gray_palette[1][2])
    header = load(path, data=read_by_caller, render=False)
    assert (header.speed, len(header.frames)) == (7, 1)


def test_bytes_given_may_be_a_slice_without_the_tail(tmp_path, gray_palette):
    whole = kivmodel.animation_file(7, b"gray.pal\0", ONE_FRAME) + bytes(1000)
    path = tmp_path / "a.kiv"
    trailing = load(path, data=whole, render=False).trailing_bytes
    assert trailing == 1000
    loaded = load(path, data=memoryview(whole)[: len(whole) - trailing])
    assert (loaded.outcome.name, loaded.trailing_bytes, loaded.cut_short) == ("loaded", 0, False)
    assert loaded.rgba(0) == load(path, data=whole).rgba(0)
    with pytest.raises(ValueError, match="contiguous"):
        load(path, data=memoryview(whole)[::2])


def test_bytes_given_need_no_file_at_the_path(tmp_path, gray_palette):
    data = kivmodel.animation_file(3, b"gray.pal\0", ONE_FRAME)
    loaded = load(tmp_path / "gone.kiv", data=data)
    assert (loaded.outcome.name, loaded.speed) == ("loaded", 3)
    assert load(tmp_path / "gone.kiv", data=data, render=False).speed == 3
    # Empty bytes are an empty file that was read, not one that could not be.
    empty = load(tmp_path / "gone.kiv", data=b"")
    assert (empty.outcome.name != "cannot_open", empty.frames, empty.cut_short) == (True, (), True)


WHOLE = kivmodel.animation_file(0, b"gray.pal\0", ONE_FRAME)
WITH_BACKGROUND = kivmodel.animation_file(0, b"gray.pal\0", ONE_FRAME * 2, prefix=True, has_background_byte=1)

# Each case: the file's bytes, then cut_short and trailing_bytes.
FILE_END_CASES = {
    "whole": (WHOLE, False, 0),
    "whole, with a background frame": (WITH_BACKGROUND, False, 0),
    "followed by bytes": (WHOLE + b"trailing", False, 8),
    "cut inside the last frame": (WHOLE[:-1], True, 0),
    "cut inside the background frame": (WITH_BACKGROUND[:-3], True, 0),
    "cut before its frames": (WHOLE[: len(WHOLE) - len(ONE_FRAME[0])], True, 0),
    "cut inside the location": (WHOLE[:11], True, 0),
    "cut inside the speed": (WHOLE[:2], True, 0),
    "the prefix alone": (b"KVIF", True, 0),
    "the prefix without its flag": (b"KVIF\0\0\0\0", True, 0),
    "empty": (b"", True, 0),
    "no frames, nothing more": (kivmodel.animation_file(0, b"gray.pal\0", []), False, 0),
    "a frame count beyond the bytes": (kivmodel.animation_file(0, b"gray.pal\0", ONE_FRAME, count=2), True, 0),
}


@pytest.mark.parametrize("data, cut_short, trailing", FILE_END_CASES.values(), ids=FILE_END_CASES.keys())
def test_where_the_file_ends_is_told(tmp_path, gray_palette, data, cut_short, trailing):
    path = tmp_path / "a.kiv"
    path.write_bytes(data)
    for got in (load(path), load(path, render=False), load(path, data=data)):
        assert (got.cut_short, got.trailing_bytes) == (cut_short, trailing)
    # What follows the records is what a reader that keeps the records
    # alone leaves out.
    assert _core.Animation.records_end(data) == len(data) - trailing


def indexed_frame(rows, width=4, height_word=None, shadow=False):
    height_word = len(rows) | (0x8000 if shadow else 0) if height_word is None else height_word
    return kivmodel.frame_record(0, height_word, width, 0, 0, 0, 1, rows, shadow)


# Each case: frame records, then the highest index painted.
MAX_INDEX_CASES = {
    "one run": ([indexed_frame([[(0, 3, [4, 9, 2])]])], 9),
    "over frames and rows": ([indexed_frame([[(0, 1, [3])]]), indexed_frame([[(1, 1, [5])], [(0, 2, [7, 1])]])], 7),
    "index 0 only": ([indexed_frame([[(0, 2, [0, 0])]])], 0),
    "nothing painted": ([indexed_frame([[]])], -1),
    "no frames": ([], -1),
    "a shadow frame paints no index": ([indexed_frame([[(0, 2, [])]], shadow=True)], -1),
    "past the right edge is not painted": ([indexed_frame([[(2, 4, [1, 2, 200, 201])]])], 2),
    "a run of color_count 0 is not painted": ([indexed_frame([[(0, 0, [250])]])], -1),
    "rows past the height are not painted": ([indexed_frame([[(0, 1, [1])], [(0, 1, [99])]], height_word=1)], 1),
}


@pytest.mark.parametrize("records, max_index", MAX_INDEX_CASES.values(), ids=MAX_INDEX_CASES.keys())
def test_max_index_is_the_highest_index_a_run_paints(tmp_path, gray_palette, records, max_index):
    path = tmp_path / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"gray.pal\0", records))
    assert load(path).max_index == max_index


def test_max_index_ignores_the_palette_size(tmp_path):
    # A palette of 4 colours stops the run at index 9 in the rendering, but
    # the index is still the one the file paints: the reason for a warning.
    (tmp_path / "p.pal").write_bytes(kivmodel.palette_file([(1, 2, 3, 255)] * 4))
    path = tmp_path / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"p.pal\0", [indexed_frame([[(0, 3, [1, 9, 2])]])]))
    loaded = load(path)
    assert (loaded.outcome.name, loaded.max_index, loaded.color_count) == ("loaded", 9, 4)


# Each case: the palette file's bytes (None: no file), then status,
# color_count and the number of entries in colors.
COLOR_COUNT_CASES = {
    "4 colours": (kivmodel.palette_file([(i, i, i, 255) for i in range(4)]), "loaded", 4, 256),
    "256 colours": (kivmodel.palette_file([(i, i, i, 255) for i in range(256)]), "loaded", 256, 256),
    "count refused": (kivmodel.palette_file([], count=18770), "palette_invalid", 18770, 0),
    "no palette file": (None, "palette_missing", 0, 0),
}


@pytest.mark.parametrize(
    "palette, status, color_count, entries", COLOR_COUNT_CASES.values(), ids=COLOR_COUNT_CASES.keys()
)
def test_color_count_is_the_palette_file_s_own(tmp_path, palette, status, color_count, entries):
    if palette is not None:
        (tmp_path / "p.pal").write_bytes(palette)
    path = tmp_path / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"p.pal\0", ONE_FRAME))
    loaded = load(path)
    assert (loaded.outcome.name, loaded.color_count, len(loaded.colors)) == (status, color_count, entries)
    if status == "loaded":
        # The file's colours first, then the padding the load adds.
        assert loaded.colors[:color_count] == kivmodel.parse_palette(palette, 0)[1][:color_count]
        assert loaded.colors[color_count:] == [(0, 0, 0, 255)] * (256 - color_count)


# --------------------------------------------------------------------------
# the animation object: the header without rendering


@pytest.mark.parametrize("seed", range(10))
def test_header_without_rendering_is_the_loads(seed, tmp_path):
    rng = random.Random(seed)
    anim = kivmodel.random_animation(rng, max_frames=5, max_size=40)
    path = write_animation(tmp_path, anim, None)  # no palette: nothing would render
    header = load(path, render=False)
    loaded = load(path, str(path))  # the animation as its own (unusable) palette
    for got, want in ((header, loaded),):
        assert (got.speed, got.frame_count, got.has_background, got.location) == (
            want.speed,
            want.frame_count,
            want.has_background,
            "pal/p.pal",
        )
    fields = [(f.width, f.height, f.x_offset, f.y_offset, f.is_shadow, f.runs) for f in header.frames]
    assert fields == [(f.width, f.height, f.x_offset, f.y_offset, f.is_shadow, f.runs) for f in loaded.frames]
    assert len(header.frames) == len(anim.frames)


def test_the_header_is_read_without_rendering(tmp_path, gray_palette):
    # Frames declaring 340 GB of pixels: the frame table is read and the
    # memory the render would take reported, nothing rendered.
    record = kivmodel.frame_record(0, 0x7FFF, 0xFFFF, 0, 0, 0, 1, [[]] * 0x7FFF, False)
    path = tmp_path / "a.kiv"
    path.write_bytes(kivmodel.animation_file(0, b"gray.pal\0", [record] * 40))
    header = load(path, render=False)
    assert (header.outcome, header.rendered, len(header.frames)) == (_core.LoadOutcome.loaded, False, 40)
    assert header.render_bytes == 40 * 4 * 0xFFFF * 0x7FFF
    with pytest.raises(ValueError, match="not rendered"):
        header.rgba(0)
    with pytest.raises(MemoryError):
        header.render()
    assert not header.rendered


# --------------------------------------------------------------------------
# palette_bytes and available_memory


@pytest.mark.parametrize("count", [1, 2, 256])
def test_palette_bytes_load_as_the_colours(count, tmp_path):
    colors = kivmodel.random_palette(random.Random(count), count)
    data = _core.palette_bytes(colors)
    assert data == kivmodel.palette_file(colors)
    (tmp_path / "p.pal").write_bytes(data)
    palette = pykiv.PalF()
    assert palette.load(str(tmp_path / "p.pal")) == 1
    assert [(c.r, c.g, c.b, c.a) for c in palette.colors()][:count] == colors


@pytest.mark.parametrize(
    "contents, result, color_count, errors",
    [
        pytest.param(kivmodel.palette_file([(1, 2, 3, 4)]), 1, 1, [], id="one-colour"),
        pytest.param(kivmodel.palette_file([], count=257), -2, 257, ["Invalid color count: 257"], id="257"),
        pytest.param(b"", -2, 0, ["Invalid color count: 0"], id="empty"),
        pytest.param(None, -1, 0, ["Could not open palette file: {path}"], id="missing"),
    ],
)
def test_load_palette_says_how_it_ended(tmp_path, stderr_lines, contents, result, color_count, errors):
    path = tmp_path / "p.pal"
    if contents is not None:
        path.write_bytes(contents)
    palette = _core.load_palette(str(path))
    assert (palette.result, palette.color_count) == (result, color_count)
    assert palette.errors == [line.format(path=path) for line in errors]
    assert stderr_lines() == []
    if result == 1:
        assert palette.colors == [(1, 2, 3, 4)] + [(0, 0, 0, 255)] * 255


@pytest.mark.parametrize("count", [0, 257])
def test_palette_bytes_refuse_what_a_file_cannot_hold(count):
    with pytest.raises(ValueError, match="256"):
        _core.palette_bytes([(1, 2, 3, 4)] * count)


def test_available_memory_is_at_most_the_machine_s():
    physical = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    assert 0 < _core.available_memory() <= physical


# --------------------------------------------------------------------------
# encode: frames given as planes

PALETTE = [(i, (i * 7) & 255, 255 - i, 255 - (i % 3)) for i in range(256)]


def planes(painted, indices=None, x_offset=0, y_offset=0, shadow=False) -> _core.FramePlanes:
    painted = np.asarray(painted, dtype=bool)
    if indices is None and not shadow:
        indices = np.zeros(painted.shape, dtype=np.uint8)
    return _core.FramePlanes(painted, indices, x_offset, y_offset, shadow)


def random_row(rng: random.Random, width: int) -> list[bool]:
    """Gaps and runs of mixed lengths: short ones, and ones longer than a
    byte can count, so that splitting is reached often."""
    row: list[bool] = []
    painted = rng.random() < 0.5
    while len(row) < width:
        length = rng.randint(1, 6) if rng.random() < 0.7 else rng.randint(200, 800)
        row += [painted] * length
        painted = not painted
    return row[:width]


def random_planes(rng: random.Random, shadow: bool, max_height: int) -> _core.FramePlanes:
    width = rng.choice([0, 1, rng.randint(2, 40), rng.randint(250, 1300)])
    height = rng.choice([0, 1, rng.randint(2, min(6, max_height))])
    painted = np.array([random_row(rng, width) for _ in range(height)], dtype=bool).reshape(height, width)
    indices = None if shadow else np.array(rng.choices(range(256), k=width * height), dtype=np.uint8)
    if indices is not None:
        indices = indices.reshape(height, width)
    return _core.FramePlanes(painted, indices, rng.randint(-32768, 32767), rng.randint(-300, 300), shadow)


def expected_pixels(frame: _core.FramePlanes) -> bytes:
    colors = np.array(PALETTE, dtype=np.uint8)
    painted = np.asarray(frame.painted)
    out = np.zeros(painted.shape + (4,), dtype=np.uint8)
    if frame.shadow:
        out[painted] = (0, 0, 0, 255)
    else:
        out[painted] = colors[np.asarray(frame.indices)[painted]]
    return out.tobytes()


def check_shortest(parsed: kivmodel.Animation) -> None:
    """Runs are as long as a byte allows: a run that paints nothing only
    carries a full skip of 255, and a run without a skip only continues one
    that was cut at 255 pixels."""
    for frame in parsed.frames:
        for pixel_set in frame.pixel_sets:
            blocks = pixel_set.blocks
            for k, block in enumerate(blocks):
                if block.color_count == 0:
                    assert block.offset == 255 and k + 1 < len(blocks)
                if block.offset == 0 and k > 0:
                    assert blocks[k - 1].color_count == 255


def random_animation_planes(seed: int) -> tuple[list[_core.FramePlanes], bool, int]:
    rng = random.Random(seed)
    frames, after_shadow = [], False
    for _ in range(rng.randint(1, 5)):
        shadow = rng.random() < 0.3
        frames.append(random_planes(rng, shadow, 255 if shadow or after_shadow else 32767))
        after_shadow = after_shadow or shadow
    return frames, rng.random() < 0.4, rng.getrandbits(32)


@pytest.mark.parametrize("seed", range(40))
def test_random_frames_read_back_and_render_exactly(seed, tmp_path):
    frames, background, speed = random_animation_planes(seed)
    data = _core.encode(frames, speed=speed, location="pal/p.pal", has_background=background)

    parsed = kivmodel.parse_animation(data)
    assert (parsed.speed, parsed.has_background, parsed.location) == (speed, background, b"pal/p.pal")
    assert parsed.frame_count == len(frames)
    for frame, record in zip(frames, parsed.frames):
        assert (record.width, record.height, record.x_offset, record.y_offset, record.is_shadow) == (
            frame.width,
            frame.height,
            frame.x_offset,
            frame.y_offset,
            int(frame.shadow),
        )
        assert (record.unk1, record.unk2) == (0, 1)
        rows = [[(b.offset, b.color_count, b.colors) for b in p.blocks] for p in record.pixel_sets]
        # frame_size holds the length of the whole record.
        height_word = record.height | (0x8000 if record.is_shadow else 0)
        assert record.frame_size == len(
            kivmodel.frame_record(0, height_word, record.width, 0, 0, 0, 0, rows, shadow=frame.shadow)
        )
    check_shortest(parsed)
    rendered, errors = kivmodel.render(parsed.frames, PALETTE)
    assert errors == []
    assert [r.pixels for r in rendered] == [expected_pixels(f) for f in frames]

    # The module reads the same.
    (tmp_path / "pal").mkdir()
    (tmp_path / "pal" / "p.pal").write_bytes(kivmodel.palette_file(PALETTE))
    (tmp_path / "a.kiv").write_bytes(data)
    kiv = pykiv.KivF()
    assert kiv.load(str(tmp_path / "a.kiv")) is not None
    assert [o.pixels for o in kiv.get_frame_buffer()] == [r.pixels for r in rendered]


def one_row(width: int, *spans: tuple[int, int]) -> _core.FramePlanes:
    painted = np.zeros((1, width), dtype=bool)
    for start, length in spans:
        painted[0, start : start + length] = True
    return planes(painted, np.full((1, width), 7, dtype=np.uint8))


@pytest.mark.parametrize(
    "width, spans, blocks",
    [
        pytest.param(10, [], [], id="empty-row"),
        pytest.param(10, [(0, 10)], [(0, 10)], id="whole-row"),
        pytest.param(300, [(255, 3)], [(255, 3)], id="skip-255-fits"),
        pytest.param(300, [(256, 3)], [(255, 0), (1, 3)], id="skip-256-carried"),
        pytest.param(600, [(510, 3)], [(255, 0), (255, 3)], id="skip-510"),
        pytest.param(600, [(511, 3)], [(255, 0), (255, 0), (1, 3)], id="skip-511"),
        pytest.param(300, [(0, 255)], [(0, 255)], id="run-255-fits"),
        pytest.param(300, [(0, 256)], [(0, 255), (0, 1)], id="run-256-split"),
        pytest.param(800, [(2, 600)], [(2, 255), (0, 255), (0, 90)], id="run-600"),
        pytest.param(900, [(1, 2), (300, 260)], [(1, 2), (255, 0), (42, 255), (0, 5)], id="gap-then-long-run"),
        pytest.param(20, [(0, 1), (2, 1), (19, 1)], [(0, 1), (1, 1), (16, 1)], id="skips-count-from-run-end"),
    ],
)
def test_long_gaps_and_runs_are_split(width, spans, blocks):
    data = _core.encode([one_row(width, *spans)], speed=0, location="", has_background=False)
    record = kivmodel.parse_animation(data)
    assert [(b.offset, b.color_count) for b in record.frames[0].pixel_sets[0].blocks] == blocks


def frames_of(*specs: tuple[int, int, bool]) -> list[_core.FramePlanes]:
    return [planes(np.zeros((h, w), dtype=bool), shadow=shadow) for w, h, shadow in specs]


def spaced_runs(count: int, gap: int = 1) -> _core.FramePlanes:
    """One row of `count` one-pixel runs, `gap` pixels apart."""
    width = count * (gap + 1)
    painted = np.zeros((1, width), dtype=bool)
    painted[0, gap :: gap + 1] = True
    return planes(painted)


@pytest.mark.parametrize(
    "frames, refusal",
    [
        pytest.param(frames_of((65535, 1, False)), None, id="width-65535"),
        pytest.param(frames_of((65536, 1, False)), "frame 0: width 65536 is above 65535", id="width-65536"),
        pytest.param(frames_of((1, 32767, False)), None, id="plain-32767"),
        pytest.param(
            frames_of((1, 32768, False)),
            "frame 0: height 32768 does not fit: a frame has at most 32767",
            id="plain-32768",
        ),
        pytest.param(frames_of((1, 255, True)), None, id="shadow-255"),
        pytest.param(frames_of((1, 256, True)), "frame 0: height 256 does not fit: a shadow frame", id="shadow-256"),
        pytest.param(frames_of((1, 300, False), (1, 1, True), (1, 255, False)), None, id="tall-before-shadow"),
        pytest.param(
            frames_of((1, 1, True), (1, 256, False)),
            "frame 1: height 256 does not fit: a frame after a shadow frame",
            id="tall-after-shadow",
        ),
        pytest.param([spaced_runs(255)], None, id="255-runs"),
        pytest.param([spaced_runs(256)], "frame 0: row 0 needs 256 runs", id="256-runs"),
        # A gap of 256 pixels before each run takes a second run to carry it.
        pytest.param([spaced_runs(127, gap=256)], None, id="254-runs-with-long-gaps"),
        pytest.param([spaced_runs(128, gap=256)], "frame 0: row 0 needs 256 runs", id="256-runs-with-long-gaps"),
        pytest.param([], None, id="no-frames"),
    ],
)
def test_limits_of_the_format(frames, refusal):
    names = [f"frame {i}" for i in range(len(frames))]
    if refusal is None:
        data = _core.encode(frames, speed=0, location="p.pal", has_background=False, names=names)
        assert kivmodel.parse_animation(data).frame_count == len(frames)
    else:
        with pytest.raises(ValueError, match=refusal):
            _core.encode(frames, speed=0, location="p.pal", has_background=False, names=names)
        # The same refusal from the sizes alone, before any pixel exists;
        # runs are counted only while encoding.
        if "runs" in refusal:
            _core.check_frames(frames, names)
        else:
            with pytest.raises(ValueError, match=refusal):
                _core.check_frames(frames, names)


@pytest.mark.parametrize(
    "field, value, refusal",
    [
        ("x_offset", -32769, "x offset -32769 is outside -32768..32767"),
        ("y_offset", 32768, "y offset 32768 is outside -32768..32767"),
        ("speed", -1, "speed -1 is outside 0..4294967295"),
        ("speed", 1 << 32, "speed 4294967296 is outside"),
    ],
)
def test_fields_out_of_range_are_refused(field, value, refusal):
    offsets = {"x_offset": 0, "y_offset": 0}
    if field in offsets:
        offsets[field] = value
    frame = planes(np.zeros((2, 2), dtype=bool), **offsets)
    speed = value if field == "speed" else 0
    with pytest.raises(ValueError, match=refusal):
        _core.encode([frame], speed=speed, location="p.pal", has_background=False, names=["frame 0"])


class ManyFrames:
    """A sequence that says it holds more frames than a file can count."""

    def __len__(self) -> int:
        return _core.FRAMES_MAX + 1

    def __getitem__(self, index: int):
        raise AssertionError("no frame is looked at")


def test_frame_count_beyond_what_readers_count_is_refused():
    with pytest.raises(ValueError, match="2147483648 frames; a file holds at most 2147483647"):
        _core.check_frames(ManyFrames())


# Sequences that hand out items they do not keep: each item lives only as
# long as the caller holds it. Every frame is 1 x 1 except the one named
# tall, 32768 rows, which no file can hold.
ITEMS_THAT_ARE_NOT_KEPT = """
    import collections.abc, gc, types
    from kivtool import _core

    def frame(height=1):
        return types.SimpleNamespace(width=1, height=height, x_offset=0, y_offset=0, shadow=False)

    class MadeOnDemand(collections.abc.Sequence):
        # A new item on every request, with a large payload so that freed
        # memory is reused at once.
        def __init__(self, heights):
            self.heights = heights
        def __len__(self):
            return len(self.heights)
        def __getitem__(self, index):
            item = frame(self.heights[index])
            item.payload = [object() for _ in range(64)]
            return item

    class Dropping(collections.abc.Sequence):
        # Reading an item's width replaces every item the sequence holds,
        # so the item being read is held by nobody else.
        def __init__(self, count):
            outer = self
            class Item:
                height, x_offset, y_offset, shadow = 1, 0, 0, False
                @property
                def width(self):
                    outer.items = [frame() for _ in outer.items]
                    gc.collect()
                    return 1
            self.items = [Item() for _ in range(count)]
        def __len__(self):
            return len(self.items)
        def __getitem__(self, index):
            return self.items[index]

    class Shrinking(MadeOnDemand):
        # Claims more items than it hands out.
        def __getitem__(self, index):
            if index >= 1:
                raise IndexError(index)
            return super().__getitem__(index)

    sequence = {sequence}
    try:
        _core.check_frames(sequence)
        outcome = "accepted"
    except (ValueError, IndexError) as e:
        outcome = f"{{type(e).__name__}}: {{e}}"
    report(outcome=outcome)
"""


@pytest.mark.parametrize(
    "sequence, outcome",
    [
        pytest.param("MadeOnDemand([1] * 200)", "accepted", id="made-on-demand"),
        pytest.param(
            "MadeOnDemand([1, 1, 32768])",
            "ValueError: frame 2: height 32768 does not fit: a frame has at most 32767",
            id="made-on-demand-refused",
        ),
        pytest.param("Dropping(50)", "accepted", id="dropped-while-read"),
        pytest.param("Shrinking([1] * 3)", "IndexError: 1", id="fewer-than-its-length"),
    ],
)
def test_frames_are_held_while_their_sizes_are_read(sequence, outcome):
    # In a child process: reading a freed item crashes the interpreter.
    result = run_child(ITEMS_THAT_ARE_NOT_KEPT.format(sequence=sequence), timeout=120)
    assert result["outcome"].startswith(outcome)


@pytest.mark.parametrize("background", [False, True], ids=["no-background", "background"])
def test_speed_that_spells_the_magic_reads_back(background, tmp_path):
    """Without a background the speed comes first, where these bytes would
    read as the prefix; the file then carries the prefix with the flag
    clear."""
    magic = int.from_bytes(b"KVIF", "little")
    frames = frames_of((1, 1, False), (1, 1, False))
    data = _core.encode(frames, speed=magic, location="p.pal", has_background=background)
    (tmp_path / "p.pal").write_bytes(kivmodel.palette_file(PALETTE))
    (tmp_path / "a.kiv").write_bytes(data)
    data_read = pykiv.KivF().load(str(tmp_path / "a.kiv"))
    assert data_read is not None
    assert (data_read.info.speed, data_read.has_background, data_read.info.frame_count) == (magic, background, 2)


@pytest.mark.parametrize(
    "painted, indices, message",
    [
        pytest.param(np.zeros(4, dtype=bool), None, "height x width", id="one-dimension"),
        pytest.param(np.zeros((2, 4), dtype=np.uint16), None, "one byte a pixel", id="two-bytes-a-pixel"),
        pytest.param(np.zeros((4, 4), dtype=bool)[:, ::2], None, "rows without gaps", id="strided"),
        pytest.param(np.zeros((2, 2), dtype=bool), np.zeros((2, 3), dtype=np.uint8), "differ", id="sizes-differ"),
    ],
)
def test_planes_must_be_whole_byte_arrays(painted, indices, message):
    with pytest.raises(ValueError, match=message):
        frame = _core.FramePlanes(painted, indices if indices is not None else np.zeros((2, 2), np.uint8))
        _core.encode([frame], speed=0, location="", has_background=False)


# --------------------------------------------------------------------------
# the animation object: a copy with new placement


def placement_file(speed: int, offsets, *, background: bool = False, shadow_first: bool = False) -> bytes:
    """Three frames (the last the background frame when `background`), with
    runs and colour bytes between the fields patched. With `shadow_first`
    the first frame is a shadow frame, after which the second frame's
    height word 0x0301 means one row."""
    rows = [[(1, 2, [3, 4]), (0, 1, [5])]]
    records = [
        kivmodel.frame_record(40, 0x8001 if shadow_first else 1, 4, y, x, 0, 1, rows, shadow_first)
        if i == 0
        else kivmodel.frame_record(40, 0x0301 if shadow_first and i == 1 else 1, 4, y, x, 0, 1, rows, False)
        for i, (x, y) in enumerate(offsets)
    ]
    return kivmodel.animation_file(speed, b"p.pal\0", records, prefix=background, has_background_byte=int(background))


@pytest.mark.parametrize("background", [False, True], ids=["plain", "background"])
@pytest.mark.parametrize("shadow_first", [False, True], ids=["no-shadow", "shadow-first"])
def test_placement_is_patched_and_nothing_else(background, shadow_first):
    before = placement_file(7, [(1, 2), (3, 4), (5, 6)], background=background, shadow_first=shadow_first)
    wanted = [(-32768, 32767), (0, -1), (-5, 9)]
    after = _core.Animation("a.kiv", before).patched(4294967295, wanted)
    assert after == placement_file(4294967295, wanted, background=background, shadow_first=shadow_first)


@pytest.mark.parametrize(
    "data, speed, offsets, refusal",
    [
        pytest.param(placement_file(7, [(0, 0)] * 3)[:-1], 7, [(0, 0)] * 3, "ends inside frame 2", id="cut-frame"),
        pytest.param(placement_file(7, [(0, 0)] * 3)[:10], 7, [], "ends inside its header", id="cut-header"),
        pytest.param(b"KVIF\0\0\0\0", 7, [], "ends inside its header", id="cut-prefix"),
        pytest.param(placement_file(7, [(0, 0)] * 3), 7, [(0, 0)] * 2, "2 offsets given for 3 frames", id="too-few"),
        pytest.param(placement_file(7, [(0, 0)] * 3), -1, [(0, 0)] * 3, "speed -1 is outside", id="speed-negative"),
        pytest.param(placement_file(7, [(0, 0)] * 3), 1 << 32, [(0, 0)] * 3, "is outside 0..4294967295", id="speed"),
        pytest.param(
            placement_file(7, [(0, 0)] * 3),
            7,
            [(0, 0), (0, 32768), (0, 0)],
            "frame 1: y offset 32768 is outside",
            id="offset",
        ),
        pytest.param(
            placement_file(7, [(0, 0)] * 3),
            int.from_bytes(b"KVIF", "little"),
            [(0, 0)] * 3,
            'would be stored as "KVIF"',
            id="speed-spells-the-prefix",
        ),
    ],
)
def test_placement_refusals(data, speed, offsets, refusal):
    with pytest.raises(ValueError, match=refusal):
        _core.Animation("a.kiv", data).patched(speed, offsets)


# --------------------------------------------------------------------------
# FileReplacement and replace_file (the rules of replacing are tested for
# every writer in test_replacing_files.py)


def test_replace_file_writes_the_whole_file(tmp_path):
    target = tmp_path / "a.kiv"
    target.write_bytes(b"old")
    _core.replace_file(str(target), b"new contents")
    assert target.read_bytes() == b"new contents"
    assert os.listdir(tmp_path) == ["a.kiv"]


def test_verify_sees_the_new_file_before_it_is_in_place(tmp_path):
    target = tmp_path / "a.kiv"
    target.write_bytes(b"old")
    seen = []

    def check(path: str) -> None:
        seen.append((pathlib.Path(path).read_bytes(), target.read_bytes(), os.path.dirname(path)))

    with _core.FileReplacement(str(target)) as replacement:
        replacement.write(b"new")
        replacement.verify(check)
        replacement.commit()
    assert seen == [(b"new", b"old", str(tmp_path))]
    assert target.read_bytes() == b"new"
    assert os.listdir(tmp_path) == ["a.kiv"]


@pytest.mark.parametrize("existed", [True, False], ids=["old-file", "new-file"])
def test_a_failed_verification_leaves_the_target_as_it_was(tmp_path, existed):
    target = tmp_path / "a.kiv"
    if existed:
        target.write_bytes(b"old")

    def check(path: str) -> None:
        raise RuntimeError("does not read back")

    with pytest.raises(RuntimeError, match="does not read back"):
        with _core.FileReplacement(str(target)) as replacement:
            replacement.write(b"new")
            replacement.verify(check)
            replacement.commit()
    assert os.listdir(tmp_path) == (["a.kiv"] if existed else [])
    if existed:
        assert target.read_bytes() == b"old"


def test_a_target_written_in_place_is_verified_from_a_copy(dir_near_path_limit):
    # No temporary file fits beside the target: it is rewritten at commit,
    # and what verify sees is a copy elsewhere.
    target = dir_near_path_limit / "a.kiv"
    target.write_bytes(b"old")
    seen = []
    with _core.FileReplacement(str(target)) as replacement:
        replacement.write(b"new")
        replacement.verify(lambda path: seen.append((pathlib.Path(path).read_bytes(), target.read_bytes())))
        replacement.commit()
    assert seen == [(b"new", b"old")]
    assert target.read_bytes() == b"new"


def test_steps_out_of_order_are_refused(tmp_path):
    replacement = _core.FileReplacement(str(tmp_path / "a.kiv"))
    with pytest.raises(RuntimeError):
        replacement.commit()
    replacement.write(b"new")
    with pytest.raises(RuntimeError):
        replacement.verify(lambda path: replacement.commit())
    replacement.commit()
    assert (tmp_path / "a.kiv").read_bytes() == b"new"


@pytest.mark.parametrize(
    "make, error, reason",
    [
        pytest.param(lambda path: path.mkdir(), IsADirectoryError, "is a folder", id="folder"),
        pytest.param(lambda path: None, FileNotFoundError, "its folder does not exist", id="no-folder"),
        pytest.param(lambda path: None, OSError, "has a name too long", id="name-too-long"),
        pytest.param(lambda path: os.mkfifo(path), OSError, "is not a regular file (a FIFO)", id="fifo"),
    ],
)
def test_a_target_that_cannot_be_written_names_the_cause(tmp_path, make, error, reason):
    target = tmp_path / "a.kiv"
    make(target)
    if reason == "its folder does not exist":
        target = tmp_path / "missing" / "a.kiv"
    if reason == "has a name too long":
        target = tmp_path / ("n" * 256)
    with pytest.raises(error) as raised:
        _core.replace_file(str(target), b"new")
    assert (raised.value.strerror, raised.value.filename) == (reason, str(target))
