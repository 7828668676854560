import contextlib
import io
import os
import random
import re
import textwrap

import pykiv
import pytest
from child_process import run_child
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


# Pixel memory is reused from render to render and never cleared as a whole:
# a short row is cleared in one go before it is painted, a long one only in
# the gaps its runs leave. Renders of rows painted edge to edge come first,
# so that a pixel a row fails to clear shows a stale colour. The frames are
# 64 rows of 256 or 1024 pixels, memory of their own that is kept when freed.
GAP_ROWS = 64
GAP_WIDTHS = {"short rows": 256, "long rows": 1024}


def runs_at(x, count, colors):
    """One run starting at pixel `x` of a row: runs of length 0 move there."""
    return [(255, 0, [])] * (x // 255) + [(x % 255, count, colors)]


def full_row(width):
    return [(0, 255, [9] * 255)] * (width // 255) + [(0, width % 255, [9] * (width % 255))]


GAP_CASES = {
    # a row for a width (repeated), shadow, palette size, rows loaded (then GAP_ROWS high)
    "gap before the first run": (lambda w: [(5, 3, [1, 2, 3])], False, 256, GAP_ROWS),
    "gaps between runs and after the last": (
        lambda w: [(2, 2, [1, 2]), (7, 1, [3]), (1, 2, [4, 5])],
        False,
        256,
        GAP_ROWS,
    ),
    "row without runs": (lambda w: [], False, 256, GAP_ROWS),
    "run cut at the right edge": (lambda w: runs_at(w - 6, 10, list(range(10))), False, 256, GAP_ROWS),
    "run stopped at an index not held": (lambda w: [(1, 4, [1, 2, 7, 3]), (3, 1, [0])], False, 4, GAP_ROWS),
    "rows without a pixel set": (lambda w: [(3, 2, [1, 2])], False, 256, GAP_ROWS // 2),
    "shadow runs with gaps": (lambda w: [(4, 3, []), (6, 2, [])], True, 256, GAP_ROWS),
}


@pytest.mark.parametrize("width", GAP_WIDTHS.values(), ids=GAP_WIDTHS.keys())
@pytest.mark.parametrize("row, shadow, colors, kept", GAP_CASES.values(), ids=GAP_CASES.keys())
def test_gaps_are_cleared_in_reused_memory(load, stderr_lines, row, shadow, colors, kept, width):
    full_file, full = load([frame(width, [full_row(width)] * GAP_ROWS)])
    for _ in range(2):
        render_one(full)
    file, data = load([frame(width, [row(width)] * kept, shadow)], colors)
    # The load rendered the records as read, with the palette file's colours.
    loaded, _ = render(snapshot(data).frames, palette_colors(256))
    assert snapshot_rendered(file.get_frame_buffer()) == loaded
    data.frames[0].height = GAP_ROWS
    del full_file, full
    stderr_lines()
    expected, lines = render(snapshot(data).frames, snapshot_colors(data.palette))
    for _ in range(2):
        assert snapshot_rendered(pykiv.KivFrameBuffer(data).get_buffer()) == expected
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


# --------------------------------------------------------------------------
# Python code that runs while error lines are written
#
# Writing an error line runs Python code: a stream written in Python, or any
# other thread, since writing to a file lets go of the interpreter lock. That
# code may change or free the records being rendered. Each case runs in a
# child process, where a crash fails the case alone; under the sanitizer build
# an access out of bounds aborts the child.

# A file with one frame of width 4 and one row; `height` set to 4 afterwards
# leaves rows 1 to 3 without a pixel set, so that rendering writes lines.
MEDDLING_SETUP = """
    import pykiv, kivmodel, threading
    directory = tempfile.mkdtemp()
    def write(name, frames):
        path = os.path.join(directory, name)
        with open(path, "wb") as f:
            f.write(kivmodel.animation_file(1, b"p.pal\\0", frames))
        return path
    with open(os.path.join(directory, "p.pal"), "wb") as f:
        f.write(kivmodel.palette_file([(1, 2, 3, 4)] * 256))
    row = [(0, 2, [1, 1])]
    short = write("short.kiv", [kivmodel.frame_record(0, 1, 4, 0, 0, 0, 0, [row], False)])
    other = write("other.kiv", [kivmodel.frame_record(0, 2, 300, 0, 0, 0, 0, [row, row], False)] * 5)
    kiv = pykiv.KivF()
    data = kiv.load(short)
    frame = data.frames[0]
    frame.height = 4

    class Stream:
        def __init__(self, meddle):
            self.lines = []
            self.meddle = meddle
        def write(self, text):
            self.lines.append(text)
            self.meddle()
        def flush(self):
            pass

    def rendered(images):
        return [(i.width, i.height, len(i.pixels)) for i in images]
"""

MEDDLERS = {
    "the stream makes the frame taller": """
        def meddle():
            frame.height = 32767
            frame.width = 65535
    """,
    "the stream loads another file into the records": """
        def meddle():
            if not stream.lines[1:]:
                kiv.load(other)
    """,
}


def child(*parts: str) -> dict:
    """Runs the parts of a child's code, each indented its own way."""
    return run_child("".join(textwrap.dedent(part) for part in parts))


@pytest.mark.parametrize("meddle", MEDDLERS.values(), ids=MEDDLERS.keys())
def test_stream_that_changes_the_records_being_rendered(meddle):
    result = child(
        MEDDLING_SETUP,
        meddle,
        """
    stream = Stream(meddle)
    sys.stderr = stream
    images = rendered(pykiv.KivFrameBuffer(data).get_buffer())
    sys.stderr = sys.__stderr__
    report(lines=stream.lines, images=images)
    """,
    )
    # The frame as it was when the render began, with every line.
    assert result["images"] == [[4, 4, 64]]
    assert result["lines"] == [f"ERROR: Row {y} exceeds KivPixelSet count!\n" for y in (1, 2, 3)]


def test_stream_that_loads_again_during_a_load():
    result = child(
        MEDDLING_SETUP,
        """
    def meddle():
        if not stream.lines[1:]:
            kiv.load(other)
    stream = Stream(meddle)
    sys.stderr = stream
    loaded = kiv.load(write("missing palette.kiv", [kivmodel.frame_record(0, 1, 4, 0, 0, 0, 0, [row], False)]),
                      0, os.path.join(directory, "missing.pal"))
    sys.stderr = sys.__stderr__
    report(lines=stream.lines, same=loaded is data, images=rendered(kiv.get_frame_buffer()))
    """,
    )
    # The load that ran inside the line's write replaced what the outer one
    # loaded, and wrote no line of its own.
    assert len(result["lines"]) == 1
    assert result["lines"][0].startswith("ERROR: Could not open palette file: ")
    assert result["lines"][0].endswith("missing.pal\n")
    assert result["same"] is True
    assert result["images"] == [[300, 2, 2400]] * 5


STREAMS = {
    "default sys.stderr": "stream = sys.stderr",
    "sys.stderr written in Python": "stream = Stream(lambda: None)",
}


@pytest.mark.parametrize("stream", STREAMS.values(), ids=STREAMS.keys())
def test_other_thread_changes_the_records_being_rendered(stream):
    # Writing to a file lets go of the interpreter lock, and Python's own
    # stream lets other threads run every few milliseconds anyway.
    result = child(
        MEDDLING_SETUP,
        stream + "\n",
        """
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    sys.stderr = stream
    done = threading.Event()
    def change_heights():
        while not done.is_set():
            for height in (2, 200, 3, 1000):
                frame.height = height
    thread = threading.Thread(target=change_heights)
    thread.start()
    renders, consistent = 0, True
    import time
    end = time.monotonic() + 1
    while time.monotonic() < end:
        for width, height, size in rendered(pykiv.KivFrameBuffer(data).get_buffer()):
            consistent &= width * height * 4 == size
        renders += 1
    done.set()
    thread.join()
    sys.stderr = sys.__stderr__
    report(renders=renders, consistent=consistent)
    """,
    )
    assert result["renders"] > 0 and result["consistent"]


@pytest.mark.skipif(not hasattr(os, "sysconf"), reason="physical memory size from sysconf")
def test_lines_held_back_are_written_before_an_exception(tmp_path):
    # The palette line of a load comes before the load fails for want of
    # pixel memory; get_color writes its line, then raises.
    (tmp_path / "p.pal").write_bytes(palette_file(palette_colors(256)))
    (tmp_path / "ok.kiv").write_bytes(animation_file(1, b"p.pal\0", [frame(2, [[(0, 2, [1, 2])]])]))
    # Frames of 65535 x 32767 pixels, a byte per row in the file, more of
    # them together than the machine has memory.
    huge = frame_record(0, 32767, 65535, 0, 0, 0, 0, [[]] * 32767, False)
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    (tmp_path / "huge.kiv").write_bytes(animation_file(1, b"", [huge] * (physical // (65535 * 32767 * 4) + 1)))
    file = pykiv.KivF()
    assert file.load(str(tmp_path / "ok.kiv")) is not None  # a palette with colours
    missing = tmp_path / "missing.pal"

    buffer = io.StringIO()
    with contextlib.redirect_stderr(buffer):
        with pytest.raises(MemoryError):
            file.load(str(tmp_path / "huge.kiv"), 0, str(missing))
        assert buffer.getvalue() == f"ERROR: Could not open palette file: {missing}\n"
        with pytest.raises(IndexError):
            pykiv.PalF().get_color(-1)
    assert buffer.getvalue().splitlines()[1:] == ["ERROR: Color index out of bounds: -1"]


def test_lines_held_back_are_bounded(load):
    # Edited heights can make a render report every row of every frame; past
    # a bound the lines are counted, not kept.
    _, data = load([frame(1, [[(0, 1, [1])]])] * 40)
    for f in data.frames:
        f.height = 32767
    buffer = io.StringIO()
    with contextlib.redirect_stderr(buffer):
        images = pykiv.KivFrameBuffer(data).get_buffer()
    assert [(i.width, i.height) for i in images] == [(1, 32767)] * 40
    lines = buffer.getvalue().splitlines()
    assert lines[:2] == [f"ERROR: Row {y} exceeds KivPixelSet count!" for y in (1, 2)]
    left_out = int(re.fullmatch(r"ERROR: (\d+) more error lines left out", lines[-1]).group(1))
    assert len(lines) - 1 + left_out == 40 * 32766
    assert 100_000 < len(lines) < 40 * 32766
