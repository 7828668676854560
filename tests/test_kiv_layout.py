"""The tool's animation encoder: frames of painted pixels to file bytes that
the reader and the renderer give back exactly, within the format's limits."""

from __future__ import annotations

import random

import kivmodel
import numpy as np
import pykiv
import pytest

from kivtool import kiv_layout
from kivtool.kiv_layout import FrameRuns, LayoutError

PALETTE = [(i, (i * 7) & 255, 255 - i, 255 - (i % 3)) for i in range(256)]


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


def random_frame(rng: random.Random, shadow: bool, max_height: int) -> FrameRuns:
    width = rng.choice([0, 1, rng.randint(2, 40), rng.randint(250, 1300)])
    height = rng.choice([0, 1, rng.randint(2, min(6, max_height))])
    painted = np.array([random_row(rng, width) for _ in range(height)], dtype=bool).reshape(height, width)
    indices = (
        None
        if shadow
        else np.array([[rng.randrange(256) for _ in range(width)] for _ in range(height)], dtype=np.uint8).reshape(
            height, width
        )
    )
    return FrameRuns(painted, indices, rng.randint(-32768, 32767), rng.randint(-300, 300), shadow)


def expected_pixels(frame: FrameRuns) -> bytes:
    colors = np.array(PALETTE, dtype=np.uint8)
    out = np.zeros((frame.height, frame.width, 4), dtype=np.uint8)
    if frame.shadow:
        out[frame.painted] = (0, 0, 0, 255)
    else:
        assert frame.indices is not None
        out[frame.painted] = colors[frame.indices[frame.painted]]
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


@pytest.mark.parametrize("seed", range(40))
def test_random_frames_read_back_and_render_exactly(seed, tmp_path):
    rng = random.Random(seed)
    frames, after_shadow = [], False
    for _ in range(rng.randint(1, 5)):
        shadow = rng.random() < 0.3
        frames.append(random_frame(rng, shadow, kiv_layout.height_limit(shadow, after_shadow)))
        after_shadow = after_shadow or shadow
    background = rng.random() < 0.4
    speed = rng.getrandbits(32)
    names = [f"frame {i}" for i in range(len(frames))]
    data = kiv_layout.encode_animation(frames, names, speed=speed, location="pal/p.pal", has_background=background)

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


def one_row(width: int, *spans: tuple[int, int]) -> FrameRuns:
    painted = np.zeros((1, width), dtype=bool)
    for start, length in spans:
        painted[0, start : start + length] = True
    return FrameRuns(painted, np.full((1, width), 7, dtype=np.uint8), 0, 0, shadow=False)


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
    data = kiv_layout.encode_frame(one_row(width, *spans), "frame 0")
    record = kivmodel.parse_animation(kivmodel.animation_file(0, b"\0", [data]))
    assert [(b.offset, b.color_count) for b in record.frames[0].pixel_sets[0].blocks] == blocks


def frames_of(*specs: tuple[int, int, bool]) -> list[FrameRuns]:
    return [
        FrameRuns(np.zeros((h, w), dtype=bool), None if shadow else np.zeros((h, w), dtype=np.uint8), 0, 0, shadow)
        for w, h, shadow in specs
    ]


def spaced_runs(count: int, gap: int = 1) -> FrameRuns:
    """One row of `count` one-pixel runs, `gap` pixels apart."""
    width = count * (gap + 1)
    painted = np.zeros((1, width), dtype=bool)
    painted[0, gap :: gap + 1] = True
    return FrameRuns(painted, np.zeros((1, width), dtype=np.uint8), 0, 0, shadow=False)


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
        data = kiv_layout.encode_animation(frames, names, speed=0, location="p.pal", has_background=False)
        assert kivmodel.parse_animation(data).frame_count == len(frames)
    else:
        with pytest.raises(LayoutError, match=refusal):
            kiv_layout.encode_animation(frames, names, speed=0, location="p.pal", has_background=False)


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
    frame = frames_of((2, 2, False))[0]
    speed = value if field == "speed" else 0
    if field != "speed":
        setattr(frame, field, value)
    with pytest.raises(LayoutError, match=refusal):
        kiv_layout.encode_animation([frame], ["frame 0"], speed=speed, location="p.pal", has_background=False)


def test_frame_count_beyond_what_readers_count_is_refused():
    kiv_layout.check_frame_count(kiv_layout.MAX_FRAMES)
    with pytest.raises(LayoutError, match="2147483648 frames; a file holds at most 2147483647"):
        kiv_layout.check_frame_count(kiv_layout.MAX_FRAMES + 1)


@pytest.mark.parametrize("background", [False, True], ids=["no-background", "background"])
def test_speed_that_spells_the_magic_reads_back(background, tmp_path):
    """Without a background the speed comes first, where these bytes would
    read as the prefix; the file then carries the prefix with the flag
    clear."""
    frames = frames_of((1, 1, False), (1, 1, False))
    data = kiv_layout.encode_animation(
        frames, ["a", "b"], speed=kiv_layout.MAGIC_AS_SPEED, location="p.pal", has_background=background
    )
    (tmp_path / "p.pal").write_bytes(kivmodel.palette_file(PALETTE))
    (tmp_path / "a.kiv").write_bytes(data)
    data_read = pykiv.KivF().load(str(tmp_path / "a.kiv"))
    assert data_read is not None
    assert (data_read.info.speed, data_read.has_background, data_read.info.frame_count) == (
        kiv_layout.MAGIC_AS_SPEED,
        background,
        2,
    )
