from __future__ import annotations

import os
import random
import re
import subprocess
import sys
import textwrap
from dataclasses import replace

import pykiv
import pytest
from kivmodel import (
    PADDING_COLOR,
    Animation,
    Block,
    Frame,
    PixelSet,
    animation_file,
    as_written,
    encode_animation,
    frame_record,
    palette_file,
    random_animation,
    random_palette,
    snapshot,
    snapshot_colors,
    snapshot_rendered,
    u16,
    u32,
)

SPEED = 0x01020304
MAGIC_SPEED = 0x4649564B  # its little-endian bytes are "KVIF"

# Three frames that exercise every kind of record: a plain frame, a shadow
# frame (2-byte blocks, no colours) and a plain frame after it, which the
# reader limits to 8 bits of height. unk1/unk2 are neither 0 nor 1, so that
# the values the writer puts there are seen.
BASE = Animation(
    speed=SPEED,
    frame_count=3,
    location=b"pal/a.pal",
    location_size=10,
    frames=[
        Frame(
            frame_size=111,
            height=4,
            is_shadow=0,
            width=6,
            y_offset=-2,
            x_offset=3,
            unk1=7,
            unk2=9,
            pixel_sets=[
                PixelSet(1, [Block(0, 2, [1, 2])]),
                PixelSet(0, []),
                PixelSet(1, [Block(1, 1, [3])]),
                PixelSet(2, [Block(0, 2, [4, 5]), Block(1, 4, [6, 7, 8, 9])]),
            ],
        ),
        Frame(
            frame_size=222,
            height=2,
            is_shadow=1,
            width=5,
            y_offset=0,
            x_offset=0,
            unk1=7,
            unk2=9,
            pixel_sets=[PixelSet(1, [Block(0, 3)]), PixelSet(2, [Block(1, 2), Block(0, 1)])],
        ),
        Frame(
            frame_size=333,
            height=2,
            is_shadow=0,
            width=4,
            y_offset=1,
            x_offset=-1,
            unk1=7,
            unk2=9,
            pixel_sets=[PixelSet(1, [Block(0, 1, [7])]), PixelSet(1, [Block(2, 3, [10, 11, 12])])],
        ),
    ],
)
BASE_BG = replace(BASE, has_background=True)

# A frame taller than 8 bits between two short ones, the last a shadow frame:
# valid as it stands, refused once a frame before the tall one turns shadow.
TALL = Animation(
    speed=SPEED,
    frame_count=3,
    location=b"pal/a.pal",
    location_size=10,
    frames=[
        Frame(frame_size=1, height=2, width=3, unk1=7, unk2=9, pixel_sets=[PixelSet(), PixelSet()]),
        Frame(
            frame_size=2,
            height=300,
            width=3,
            unk1=7,
            unk2=9,
            pixel_sets=[PixelSet(1, [Block(0, 1, [5])])] + [PixelSet() for _ in range(299)],
        ),
        Frame(frame_size=3, height=1, is_shadow=1, width=3, unk1=7, unk2=9, pixel_sets=[PixelSet(1, [Block(0, 2)])]),
    ],
)


def raw_file(anim: Animation) -> bytes:
    """The file the records are loaded from. Unlike the writer's output it
    keeps unk1/unk2 as held, and it carries the background frame's header
    when the records have one."""
    records = []
    for frame in anim.frames:
        shadow = frame.is_shadow != 0
        height_word = (frame.height & 0xFF) | 0x8000 if shadow else frame.height
        rows = [[(b.offset, b.color_count, b.colors) for b in p.blocks] for p in frame.pixel_sets]
        records.append(
            frame_record(
                frame.frame_size,
                height_word,
                frame.width,
                frame.y_offset,
                frame.x_offset,
                frame.unk1,
                frame.unk2,
                rows,
                shadow,
            )
        )
    return animation_file(
        anim.speed,
        anim.location + b"\0",
        records,
        prefix=anim.has_background,
        has_background_byte=int(anim.has_background),
    )


def held(tmp_path, anim: Animation, palette_path) -> pykiv.KivF:
    """A KivF holding `anim`, loaded from a file, with the palette at `palette_path`."""
    source = tmp_path / "source"
    source.mkdir(exist_ok=True)
    (source / "anim.kiv").write_bytes(raw_file(anim))
    file = pykiv.KivF()
    file.load(str(source / "anim.kiv"), 0, str(palette_path))
    assert snapshot(file.data()).frames == anim.frames  # the records are the ones built
    return file


def edit(data, changes: dict) -> None:
    """Sets record fields named like 'frames[0].pixel_sets[3].block_count'."""
    for target, value in changes.items():
        *path, name = re.findall(r"\w+|\[\d+\]", target)
        obj = data
        for step in path:
            obj = obj[int(step[1:-1])] if step.startswith("[") else getattr(obj, step)
        setattr(obj, name, value)


def save_in_game(tmp_path, file: pykiv.KivF):
    """Saves into a small project: <game>/anim/out.kiv with its palette at
    <game>/pal/a.pal, so that the stored location is pal/a.pal and a load of
    the saved file finds the palette by searching upwards."""
    game = tmp_path / "game"
    (game / "anim").mkdir(parents=True, exist_ok=True)
    (game / "pal").mkdir(exist_ok=True)
    target, palette = game / "anim" / "out.kiv", game / "pal" / "a.pal"
    assert file.save(str(target), str(game), str(palette)) is None
    return target, palette


def reloaded(target) -> pykiv.KivF:
    file = pykiv.KivF()
    file.load(str(target))
    return file


def with_trimmed_colors(anim: Animation) -> Animation:
    """The records as a reader sees them after writing: a plain block keeps
    only its first color_count colours."""
    frames = [
        replace(
            f,
            pixel_sets=[
                replace(p, blocks=[replace(b, colors=b.colors[: b.color_count]) for b in p.blocks])
                for p in f.pixel_sets
            ],
        )
        if not f.is_shadow
        else f
        for f in anim.frames
    ]
    return replace(anim, frames=frames)


def marked_written(anim: Animation) -> list[Frame]:
    """The frames after a save: unk1 0 and unk2 1 in the written ones only."""
    n = anim.frame_count
    return [replace(f, unk1=0, unk2=1) for f in anim.frames[:n]] + anim.frames[n:]


def stray_files(directory) -> list[str]:
    return sorted(name for name in os.listdir(directory) if name.startswith(".pykiv-"))


# --------------------------------------------------------------------------
# What is written


def head(count: int, *, background: bool = False, speed: int = SPEED, prefix: bool | None = None) -> bytes:
    if prefix is None:
        prefix = background
    prefix = b"KVIF" + b"\0\0\0\0" + bytes([background]) if prefix else b""
    return prefix + u32(speed) + u32(10) + b"pal/a.pal\0" + u32(count)


HEADERS = {
    "no background": (BASE, {}, head(3)),
    "background": (BASE_BG, {}, head(2, background=True)),
    "background, one frame": (BASE_BG, {"info.frame_count": 1}, head(0, background=True)),
    "background set on records without one": (BASE, {"has_background": True}, head(2, background=True)),
    "background cleared": (BASE_BG, {"has_background": False}, head(3)),
    "background, speed spelling the magic": (
        BASE_BG,
        {"info.speed": MAGIC_SPEED},
        head(2, background=True, speed=MAGIC_SPEED),
    ),
    # Without the prefix the speed would read back as the prefix: the file
    # gets one, with the background flag 0.
    "no background, speed spelling the magic": (
        BASE,
        {"info.speed": MAGIC_SPEED},
        head(3, speed=MAGIC_SPEED, prefix=True),
    ),
}


@pytest.mark.parametrize("anim, changes, expected_head", HEADERS.values(), ids=HEADERS.keys())
def test_header(tmp_path, gray_palette, stderr_lines, anim, changes, expected_head):
    file = held(tmp_path, anim, gray_palette[0])
    edit(file.data(), changes)
    records = snapshot(file.data())
    target, _ = save_in_game(tmp_path, file)
    data = target.read_bytes()
    assert data.startswith(expected_head)
    assert data == encode_animation(records, b"pal/a.pal")
    back = snapshot(reloaded(target).data())
    assert (back.has_background, back.frame_count, back.speed) == (
        records.has_background,
        records.frame_count,
        records.speed,
    )
    assert stderr_lines() == []


def test_height_words(tmp_path, gray_palette):
    # A shadow frame stores 8 bits of height under the shadow bit; a plain
    # frame before any shadow frame stores its height whole.
    plain_rows = [[(0, 2, [1, 2])]] + [[] for _ in range(0x122)]
    shadow_rows = [[(1, 5, [])] for _ in range(0x23)]
    anim = Animation(
        speed=SPEED,
        frame_count=2,
        location=b"pal/a.pal",
        location_size=10,
        frames=[
            Frame(
                frame_size=10,
                height=0x123,
                width=4,
                unk1=7,
                unk2=9,
                pixel_sets=[PixelSet(len(r), [Block(*b) for b in r]) for r in plain_rows],
            ),
            Frame(
                frame_size=20,
                height=0x23,
                is_shadow=1,
                width=4,
                unk1=7,
                unk2=9,
                pixel_sets=[PixelSet(len(r), [Block(*b) for b in r]) for r in shadow_rows],
            ),
        ],
    )
    file = held(tmp_path, anim, gray_palette[0])
    file.data().frames[1].height = 0x0123  # the same low byte as the rows
    target, _ = save_in_game(tmp_path, file)
    assert target.read_bytes() == (
        head(2)
        + frame_record(10, 0x0123, 4, 0, 0, 0, 1, plain_rows, shadow=False)
        + frame_record(20, 0x8023, 4, 0, 0, 0, 1, shadow_rows, shadow=True)
    )
    back = reloaded(target).data().frames
    assert [(f.height, f.is_shadow) for f in back] == [(0x123, 0), (0x23, 1)]


ACCEPTED = {
    "edited geometry and speed": (
        BASE,
        {
            "info.speed": 0xFFFFFFFF,
            "frames[0].width": 65535,
            "frames[0].x_offset": -32768,
            "frames[2].y_offset": 32767,
            "frames[1].width": 0,
        },
    ),
    "edited rows keep the frame size as held": (
        BASE,
        {
            "frames[0].pixel_sets[3].blocks[0].offset": 255,
            "frames[1].pixel_sets[0].blocks[0].color_count": 200,
            "frames[2].frame_size": 0xFFFFFFFF,
        },
    ),
    "frame_count below the frames": (BASE, {"info.frame_count": 1}),
    "broken frame beyond frame_count": (
        BASE,
        {"info.frame_count": 2, "frames[2].height": 9, "frames[2].pixel_sets[0].block_count": 4},
    ),
    "no frame written": (BASE, {"info.frame_count": 0}),
    "color_count below the colours": (
        BASE,
        {"frames[0].pixel_sets[3].blocks[1].color_count": 2, "frames[2].pixel_sets[1].blocks[0].color_count": 0},
    ),
    "shadow height above 8 bits": (BASE, {"frames[1].height": 0xFF02}),
    "tall frame before a shadow frame": (TALL, {}),
}


@pytest.mark.parametrize("anim, changes", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_saved_edits_read_back(tmp_path, gray_palette, stderr_lines, anim, changes):
    file = held(tmp_path, anim, gray_palette[0])
    edit(file.data(), changes)
    records = snapshot(file.data())
    target, _ = save_in_game(tmp_path, file)

    assert target.read_bytes() == encode_animation(records, b"pal/a.pal")
    # unk1/unk2 change in the written frames only; nothing else changes,
    # the palette's location included.
    assert snapshot(file.data()) == replace(records, frames=marked_written(records))

    back = snapshot(reloaded(target).data())
    expected = as_written(with_trimmed_colors(records), b"pal/a.pal")
    # A shadow frame stores only the low 8 bits of its height.
    for frame, written in zip(expected.frames, records.frames):
        frame.height = written.height & 0xFF if written.is_shadow else written.height
    assert back == expected
    assert stderr_lines() == []


def test_never_loaded(tmp_path, stderr_lines):
    (tmp_path / "pal").mkdir()
    file = pykiv.KivF()
    file.save(str(tmp_path / "a.kiv"), str(tmp_path), str(tmp_path / "pal" / "a.pal"))
    assert (tmp_path / "a.kiv").read_bytes() == u32(0) + u32(10) + b"pal/a.pal\0" + u32(0)
    assert (tmp_path / "pal" / "a.pal").read_bytes() == u16(0) + u16(0)
    assert snapshot(file.data()) == Animation()
    assert stderr_lines() == []


# Paths are given relative to a scratch directory holding X/data, X/pal and
# a symbolic link "link" to X; the expected palette file is where the
# palette lands, or the error line when it cannot be opened for writing. The
# animation is written either way, pointing at the palette: a game's shared
# palette is often read-only.
LOCATIONS = {
    "sibling directory": ("{t}/X/data", "{t}/X/pal/a.pal", b"../pal/a.pal", "{t}/X/pal/a.pal"),
    "below the root": ("{t}/X", "{t}/X/pal/a.pal", b"pal/a.pal", "{t}/X/pal/a.pal"),
    "root with a trailing separator": ("{t}/X/", "{t}/X/pal/a.pal", b"pal/a.pal", "{t}/X/pal/a.pal"),
    "relative root": ("X/data", "{t}/X/pal/a.pal", b"../pal/a.pal", "{t}/X/pal/a.pal"),
    "dot-dot through a missing directory": ("{t}/X", "{t}/X/missing/../pal/./a.pal", b"pal/a.pal", "{t}/X/pal/a.pal"),
    "palette through a symbolic link": ("{t}/X", "{t}/link/pal/a.pal", b"pal/a.pal", "{t}/X/pal/a.pal"),
    "root through a symbolic link": ("{t}/link/data", "{t}/X/pal/a.pal", b"../pal/a.pal", "{t}/X/pal/a.pal"),
    "non-ASCII names": ("{t}/X", "{t}/X/palé/ä.pal", "palé/ä.pal".encode(), "{t}/X/palé/ä.pal"),
    "palette is the root": ("{t}/X", "{t}/X", b".", "ERROR: Could not open palette file for writing: {t}/X"),
    "empty root": ("", "{t}/X/pal/a.pal", b"", "{t}/X/pal/a.pal"),
    "relative palette under a missing directory": (
        "{t}/X",
        "nowhere/a.pal",
        b"",
        "ERROR: Could not open palette file for writing: nowhere/a.pal",
    ),
    "empty palette path": ("{t}/X", "", b"", "ERROR: Could not open palette file for writing: "),
}


@pytest.mark.parametrize("root, palette, text, outcome", LOCATIONS.values(), ids=LOCATIONS.keys())
def test_location(tmp_path, gray_palette, stderr_lines, monkeypatch, root, palette, text, outcome):
    t = tmp_path.resolve()
    for directory in ["X/data", "X/pal", "X/palé", "out"]:
        (t / directory).mkdir(parents=True)
    (t / "link").symlink_to(t / "X")
    (t / "X" / "pal" / "a.pal").write_bytes(b"old palette")
    monkeypatch.chdir(t)
    file = held(t, BASE, gray_palette[0])

    file.save(str(t / "out" / "a.kiv"), root.format(t=t), palette.format(t=t))
    outcome = outcome.format(t=t)
    assert (t / "out" / "a.kiv").read_bytes().startswith(u32(SPEED) + u32(len(text) + 1) + text + b"\0" + u32(3))
    if outcome.startswith("ERROR: "):
        assert stderr_lines() == [outcome]
        assert (t / "X" / "pal" / "a.pal").read_bytes() == b"old palette"
        assert sorted(os.listdir(t / "out")) == ["a.kiv"]
    else:
        assert stderr_lines() == []
        assert os.path.getsize(outcome) == 1028
        with open(outcome, "rb") as saved:
            assert saved.read() == palette_file(gray_palette[1])
        assert sorted(os.listdir(t / "out")) == ["a.kiv"]


# --------------------------------------------------------------------------
# Round trip


KINDS = {
    "plain": dict(background=False, shadow=False),
    "background": dict(background=True, shadow=False),
    "shadow": dict(background=False, shadow=True),
    "mixed": dict(),
}


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("kind", KINDS.values(), ids=KINDS.keys())
def test_round_trip(tmp_path, stderr_lines, kind, seed):
    rng = random.Random(seed)
    anim = random_animation(rng, **kind)
    colors = random_palette(rng)
    (tmp_path / "p.pal").write_bytes(palette_file(colors))
    file = held(tmp_path, anim, tmp_path / "p.pal")
    before = snapshot(file.data())
    (tmp_path / "game" / "anim").mkdir(parents=True)
    (tmp_path / "game" / "anim" / "out.kiv").write_bytes(b"longer old contents" * 1000)

    target, palette = save_in_game(tmp_path, file)
    assert target.read_bytes() == encode_animation(before, b"pal/a.pal")
    assert palette.read_bytes() == palette_file(colors + [PADDING_COLOR] * (256 - len(colors)))
    assert os.listdir(target.parent) == ["out.kiv"]
    assert snapshot(file.data()) == replace(before, frames=marked_written(before))

    # The saved file finds its palette through the stored location, and
    # reads back as the same records and the same pixels.
    again = reloaded(target)
    assert snapshot(again.data()) == as_written(before, b"pal/a.pal")
    assert snapshot_colors(again.data().palette) == snapshot_colors(file.data().palette)
    assert snapshot_rendered(again.get_frame_buffer()) == snapshot_rendered(file.get_frame_buffer())
    assert stderr_lines() == []


def test_positional_and_keyword_calls(tmp_path, gray_palette):
    file = held(tmp_path, BASE, gray_palette[0])
    (tmp_path / "pal").mkdir()
    root, palette = str(tmp_path), str(tmp_path / "pal" / "a.pal")
    file.save(str(tmp_path / "1.kiv"), root, palette)
    file.save(file_name=str(tmp_path / "2.kiv"), palette_path=palette, project_root=root)
    assert (tmp_path / "1.kiv").read_bytes() == (tmp_path / "2.kiv").read_bytes()
    assert (tmp_path / "1.kiv").read_bytes().startswith(head(3))
    with pytest.raises(TypeError):
        file.save(str(tmp_path / "3.kiv"), root)
    assert not (tmp_path / "3.kiv").exists()


# --------------------------------------------------------------------------
# Records that would not read back as the same records


REFUSED = {
    "frame_count above the frames": (BASE, {"info.frame_count": 7}, [r"\b7\b", r"\b3\b"]),
    "background without a frame": (BASE, {"info.frame_count": 0, "has_background": True}, [r"background"]),
    "height above the rows": (BASE, {"frames[0].height": 5}, [r"frame 0\b", r"\b5\b", r"\b4\b"]),
    "height below the rows": (BASE, {"frames[0].height": 1}, [r"frame 0\b", r"\b1\b", r"\b4\b"]),
    "shadow height whose low byte is not the rows": (
        BASE,
        {"frames[1].height": 0x0205},
        [r"frame 1\b", r"\b(5|517)\b", r"\b2\b"],
    ),
    "plain height with the shadow bit": (BASE, {"frames[0].height": 0x8004}, [r"frame 0\b", r"\b32772\b"]),
    "tall frame after a shadow frame": (TALL, {"frames[0].is_shadow": 1}, [r"frame 1\b", r"\b300\b", r"\b255\b"]),
    "block_count above the blocks": (
        BASE,
        {"frames[0].pixel_sets[3].block_count": 5},
        [r"frame 0\b", r"row 3\b", r"\b5\b", r"\b2\b"],
    ),
    "block_count below the blocks": (
        BASE,
        {"frames[0].pixel_sets[3].block_count": 1},
        [r"frame 0\b", r"row 3\b", r"\b1\b", r"\b2\b"],
    ),
    "block_count in a shadow frame": (
        BASE,
        {"frames[1].pixel_sets[1].block_count": 4},
        [r"frame 1\b", r"row 1\b", r"\b4\b", r"\b2\b"],
    ),
    "color_count above the colours": (
        BASE,
        {"frames[0].pixel_sets[3].blocks[1].color_count": 9},
        [r"frame 0\b", r"row 3\b", r"block 1\b", r"\b9\b", r"\b4\b"],
    ),
}


@pytest.mark.parametrize("anim, changes, patterns", REFUSED.values(), ids=REFUSED.keys())
def test_refused_records_touch_no_file(tmp_path, gray_palette, stderr_lines, anim, changes, patterns):
    file = held(tmp_path, anim, gray_palette[0])
    edit(file.data(), changes)
    records = snapshot(file.data())
    out = tmp_path / "out"
    out.mkdir()
    (out / "a.kiv").write_bytes(b"precious")

    with pytest.raises(ValueError) as refused:
        file.save(str(out / "a.kiv"), str(tmp_path), str(out / "a.pal"))
    for pattern in patterns:
        assert re.search(pattern, str(refused.value)), (pattern, str(refused.value))
    assert (out / "a.kiv").read_bytes() == b"precious"
    assert os.listdir(out) == ["a.kiv"]  # no palette, no temporary file
    assert snapshot(file.data()) == records  # unk1/unk2 untouched too
    assert stderr_lines() == []


# --------------------------------------------------------------------------
# Failures


@pytest.mark.parametrize("where", ["root", "palette"])
def test_path_that_cannot_be_made_canonical(tmp_path, gray_palette, stderr_lines, where):
    # A component longer than a file name may be makes the existence query
    # fail with something other than "not found".
    long_name = "x" * 300
    file = held(tmp_path, BASE, gray_palette[0])
    out = tmp_path / "out"
    out.mkdir()
    (out / "a.kiv").write_bytes(b"precious")
    root = tmp_path / long_name if where == "root" else tmp_path
    palette = out / long_name / "a.pal" if where == "palette" else out / "a.pal"

    with pytest.raises(RuntimeError, match=long_name):
        file.save(str(out / "a.kiv"), str(root), str(palette))
    assert (out / "a.kiv").read_bytes() == b"precious"
    assert os.listdir(out) == ["a.kiv"]
    assert stderr_lines() == []


@pytest.mark.parametrize(
    "target",
    ["{t}/nowhere/a.kiv", "{t}/out", "", "{t}/out/" + "n" * 300],
    ids=["missing directory", "existing directory", "empty name", "name too long"],
)
def test_unwritable_target(tmp_path, gray_palette, stderr_lines, monkeypatch, target):
    file = held(tmp_path, BASE, gray_palette[0])
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "kept").write_bytes(b"kept")
    monkeypatch.chdir(tmp_path)
    listing = sorted(os.listdir(tmp_path))
    target = target.format(t=tmp_path)

    assert file.save(target, str(tmp_path), str(tmp_path / "a.pal")) is None
    assert stderr_lines() == [f"ERROR: Could not open animation file for writing: {target}"]
    assert sorted(os.listdir(tmp_path)) == listing  # no palette, no temporary file
    assert os.listdir(tmp_path / "out") == ["kept"]


# A write failure is provoked in a child process whose file size limit lets
# one of the two files be written and not the other: the animation is large
# and the palette cut to two colours, or the animation small and the palette
# the loaded 256 colours (1028 bytes). Either way neither old file changes.
CHILD = textwrap.dedent("""
    import resource, signal, sys
    import pykiv
    source, source_palette, target, root, palette, colors, limit = sys.argv[1:]
    file = pykiv.KivF()
    file.load(source, 0, source_palette)
    file.data().palette.colors(file.data().palette.colors()[:int(colors)])
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), int(limit)))
    unks = lambda: [(f.unk1, f.unk2) for f in file.data().frames]
    before = unks()
    file.save(target, root, palette)
    print("records unchanged" if unks() == before else "records changed")
""")

SMALL = Animation(
    speed=SPEED,
    frame_count=1,
    location=b"pal/a.pal",
    location_size=10,
    frames=[Frame(frame_size=1, height=1, width=2, unk1=7, unk2=9, pixel_sets=[PixelSet(1, [Block(0, 2, [1, 2])])])],
)
LARGE = random_animation(random.Random(5), background=False, max_frames=6, max_size=40)

FAILED_WRITES = {
    "animation fails": (LARGE, 2, 100, "animation", "a.kiv"),
    "palette fails": (SMALL, 256, 500, "palette", "a.pal"),
}


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX resource limits")
@pytest.mark.parametrize("anim, colors, limit, kind, failing", FAILED_WRITES.values(), ids=FAILED_WRITES.keys())
@pytest.mark.parametrize("place", ["beside", "in place"])
def test_failed_write_keeps_both_old_files(request, tmp_path, gray_palette, anim, colors, limit, kind, failing, place):
    # Beside the targets, or in place where no temporary file can be made
    # (a directory path at the length limit): an existing file is never cut
    # before the new contents have room.
    source = tmp_path / "source.kiv"
    source.write_bytes(raw_file(anim))
    if place == "beside":
        out = tmp_path / "out"
        out.mkdir()
    else:
        out = request.getfixturevalue("dir_near_path_limit")
    target, palette = out / "a.kiv", out / "a.pal"
    target.write_bytes(b"precious animation")
    palette.write_bytes(b"precious palette")
    sizes = {
        "a.kiv": len(encode_animation(snapshot_of_file(source, gray_palette[0]), b"a.pal")),
        "a.pal": 4 + 4 * colors,
    }
    assert (sizes[failing] > limit) and (sum(sizes.values()) - sizes[failing] < limit)

    child = subprocess.run(
        [
            sys.executable,
            "-c",
            CHILD,
            str(source),
            str(gray_palette[0]),
            str(target),
            str(out),
            str(palette),
            str(colors),
            str(limit),
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    assert child.stderr.splitlines() == [f"ERROR: Could not write {kind} file: {out / failing}"]
    assert target.read_bytes() == b"precious animation"
    assert palette.read_bytes() == b"precious palette"
    assert stray_files(out) == []
    assert child.stdout.splitlines() == ["records unchanged"]  # unk1 and unk2 as they were


def snapshot_of_file(path, palette):
    file = pykiv.KivF()
    file.load(str(path), 0, str(palette))
    return snapshot(file.data())


def test_no_room_for_a_temporary_file_writes_in_place(tmp_path, gray_palette, dir_near_path_limit, stderr_lines):
    # Beside a target whose path is just short enough, a temporary file's
    # name is too long: the files are then written themselves.
    file = held(tmp_path, BASE, gray_palette[0])
    target, palette = dir_near_path_limit / "t", dir_near_path_limit / "p"
    target.write_bytes(b"precious")
    file.save(str(target), str(tmp_path), str(palette))
    assert stderr_lines() == []
    location = os.path.relpath(os.path.realpath(palette), os.path.realpath(tmp_path))
    assert target.read_bytes() == encode_animation(snapshot(file.data()), os.fsencode(location))
    assert palette.read_bytes() == palette_file(gray_palette[1])
    assert sorted(os.listdir(dir_near_path_limit)) == ["p", "t"]


# --------------------------------------------------------------------------
# Paths refused before any file is touched


SAME_FILE = {
    "same path": ("{t}/out/a.kiv", "{t}/out/a.kiv"),
    "relative and absolute": ("out/a.kiv", "{t}/out/a.kiv"),
    "dot and dot-dot": ("{t}/out/./a.kiv", "{t}/pal/../out/a.kiv"),
    "through a linked directory": ("{t}/out/a.kiv", "{t}/link/a.kiv"),
    "link to the animation": ("{t}/out/a.kiv", "{t}/out/alias.kiv"),
    "hard link": ("{t}/out/a.kiv", "{t}/out/hard.kiv"),
    "neither exists yet": ("{t}/out/new.kiv", "{t}/out/./new.kiv"),
    "bare name, neither exists yet": ("{t}/new.kiv", "new.kiv"),
    "link to a file not there yet": ("{t}/out/dangling.kiv", "{t}/out/new.kiv"),
}


@pytest.mark.skipif(sys.platform == "win32", reason="symbolic links need privileges on Windows")
@pytest.mark.parametrize("file_name, palette_path", SAME_FILE.values(), ids=SAME_FILE.keys())
def test_animation_and_palette_in_one_file_are_refused(
    tmp_path, gray_palette, stderr_lines, monkeypatch, file_name, palette_path
):
    t = tmp_path
    file = held(t, BASE, gray_palette[0])
    (t / "out").mkdir()
    (t / "pal").mkdir()
    (t / "out" / "a.kiv").write_bytes(b"precious")
    (t / "link").symlink_to(t / "out")
    (t / "out" / "alias.kiv").symlink_to("a.kiv")
    (t / "out" / "dangling.kiv").symlink_to("new.kiv")
    os.link(t / "out" / "a.kiv", t / "out" / "hard.kiv")
    monkeypatch.chdir(t)
    listings = sorted(os.listdir(t)), sorted(os.listdir(t / "out"))
    file_name, palette_path = file_name.format(t=t), palette_path.format(t=t)

    with pytest.raises(ValueError) as refused:
        file.save(file_name, str(t), palette_path)
    assert file_name in str(refused.value) and palette_path in str(refused.value)
    assert (t / "out" / "a.kiv").read_bytes() == b"precious"
    assert (sorted(os.listdir(t)), sorted(os.listdir(t / "out"))) == listings
    assert stderr_lines() == []


@pytest.mark.parametrize("argument", ["file_name", "project_root", "palette_path"])
def test_path_with_nul_is_refused(tmp_path, gray_palette, stderr_lines, argument):
    # "victim.pal\0.kiv" must not replace victim.pal.
    file = held(tmp_path, BASE, gray_palette[0])
    (tmp_path / "victim.pal").write_bytes(b"precious")
    paths = {
        "file_name": str(tmp_path / "a.kiv"),
        "project_root": str(tmp_path),
        "palette_path": str(tmp_path / "a.pal"),
    }
    paths[argument] = str(tmp_path / "victim.pal") + "\0.kiv"
    listing = sorted(os.listdir(tmp_path))

    with pytest.raises(ValueError, match="embedded null character"):
        file.save(**paths)
    assert (tmp_path / "victim.pal").read_bytes() == b"precious"
    assert sorted(os.listdir(tmp_path)) == listing
    assert stderr_lines() == []


@pytest.mark.parametrize("count", [257, 65537])
def test_palette_a_file_cannot_hold_is_refused(tmp_path, gray_palette, stderr_lines, count):
    # Above 256 colours the file would not load; above 65535 its count
    # would wrap and lose colours.
    file = held(tmp_path, BASE, gray_palette[0])
    colors = file.data().palette.colors()
    file.data().palette.colors((colors * (count // len(colors) + 1))[:count])
    out = tmp_path / "out"
    out.mkdir()
    (out / "a.kiv").write_bytes(b"precious")

    with pytest.raises(ValueError, match=str(count)):
        file.save(str(out / "a.kiv"), str(tmp_path), str(out / "a.pal"))
    assert os.listdir(out) == ["a.kiv"]
    assert (out / "a.kiv").read_bytes() == b"precious"
    assert stderr_lines() == []
