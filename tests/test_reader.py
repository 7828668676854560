import os
import random
import sys
from dataclasses import replace

import pykiv
import pytest
from child_process import no_address_space_limit, run_child
from kivmodel import (
    Block,
    Frame,
    PixelSet,
    animation_file,
    encode_animation,
    field_boundaries,
    frame_record,
    palette_file,
    parse_animation,
    parse_palette,
    random_animation,
    random_palette,
    render,
    snapshot,
    snapshot_rendered,
)

LOCATION = b"pal/p.pal"


def search_palette(animation_path, location: bytes) -> str:
    """Where the upward search should find `location`: under the animation's
    directory, then under each ancestor; '' when nowhere."""
    directory = os.path.dirname(os.fsencode(animation_path))
    while directory:
        candidate = os.path.join(directory, location) if location else directory + b"/"
        if os.path.exists(candidate):
            return os.fsdecode(os.path.realpath(candidate))
        parent = os.path.dirname(directory)
        if parent == directory:
            break
        directory = parent
    return ""


@pytest.fixture
def project(tmp_path):
    """A project folder with a palette at pal/p.pal and an animation folder."""
    (tmp_path / "pal").mkdir()
    (tmp_path / "anims" / "sub").mkdir(parents=True)
    return tmp_path


def simple_frame(width=3, height_word=1, rows=None, shadow=False, **fields):
    rows = rows if rows is not None else [[(0, 2, [1, 2])]]
    values = dict(frame_size=0, y_offset=0, x_offset=0, unk1=7, unk2=9) | fields
    return frame_record(
        values["frame_size"],
        height_word,
        width,
        values["y_offset"],
        values["x_offset"],
        values["unk1"],
        values["unk2"],
        rows,
        shadow,
    )


# -- differential test against the model -----------------------------------


def check_load(path, data, palette_path, palette_colors, stderr_lines):
    """Loads `data` from `path` with a fresh KivF and compares records,
    pixels, error lines and result with the model's prediction."""
    path.write_bytes(data)
    file = pykiv.KivF()
    result = file.load(str(path))
    model = parse_animation(data)
    try:
        model.location.decode("utf-8")
        shown = model
    except UnicodeDecodeError:
        shown = replace(model, location=None)
    assert snapshot(file.data()) == shown

    found = search_palette(path, model.location)
    if found == os.path.realpath(palette_path):
        colors, lines = parse_palette(palette_file(palette_colors), 0)[1], []
    else:
        colors, lines = None, [f"ERROR: Could not open palette file: {found}"]
    rendered, render_lines = render(model.frames, colors)
    assert stderr_lines() == lines + render_lines
    assert snapshot_rendered(file.get_frame_buffer()) == rendered
    assert result is (file.data() if rendered else None)


@pytest.mark.parametrize("seed", range(150))
def test_random_files_and_their_cuts(project, stderr_lines, seed):
    rng = random.Random(seed)
    colors = random_palette(rng)
    (project / "pal" / "p.pal").write_bytes(palette_file(colors))
    data = encode_animation(random_animation(rng, max_frames=5), LOCATION)
    path = project / "anims" / "sub" / "x.kiv"
    palette_path = project / "pal" / "p.pal"
    check_load(path, data, palette_path, colors, stderr_lines)
    boundaries = field_boundaries(data)
    for cut in sorted(rng.sample(boundaries, min(len(boundaries), 10))):
        check_load(path, data[:cut], palette_path, colors, stderr_lines)


# -- header, prefix and the height rule -------------------------------------

HEADER_CASES = {
    "background frame counted": (
        dict(prefix=True, has_background_byte=1, frame_records=[simple_frame()] * 3),
        (3, True),
    ),
    "prefix without background": (
        dict(prefix=True, has_background_byte=0, frame_records=[simple_frame()] * 2),
        (2, False),
    ),
    "any background byte but 0 is true": (
        dict(prefix=True, has_background_byte=0x80, frame_records=[simple_frame()] * 2),
        (2, True),
    ),
    "reserved bytes ignored": (
        dict(prefix=True, has_background_byte=1, reserved=b"\xff\x01KV", frame_records=[simple_frame()] * 2),
        (2, True),
    ),
    "no prefix": (dict(frame_records=[simple_frame()] * 2), (2, False)),
}


@pytest.mark.parametrize("fields, expected", HEADER_CASES.values(), ids=HEADER_CASES.keys())
def test_header(project, gray_palette, fields, expected):
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(1234, LOCATION + b"\0", **fields))
    (project / "pal" / "p.pal").write_bytes(gray_palette[0].read_bytes())
    data = pykiv.KivF().load(str(path))
    assert (data.info.frame_count, data.has_background, len(data.frames), data.info.speed) == expected + (
        expected[0],
        1234,
    )
    assert [f.unk1 for f in data.frames] == [7] * expected[0]


HEIGHT_CASES = {
    "shadow 0x8012": ([0x8012], [(18, 1)]),
    "shadow keeps 8 bits 0x8123": ([0x8123], [(0x23, 1)]),
    "plain 0x0123": ([0x0123], [(0x123, 0)]),
    "plain after shadow keeps 8 bits": ([0x8001, 0x0123], [(1, 1), (0x23, 0)]),
    "plain before shadow is whole": ([0x0123, 0x8001], [(0x123, 0), (1, 1)]),
}


@pytest.mark.parametrize("words, expected", HEIGHT_CASES.values(), ids=HEIGHT_CASES.keys())
def test_height_rule(tmp_path, words, expected):
    records = []
    for word in words:
        shadow = bool(word & 0x8000)
        rows = [[(1, 2, [5, 6])]] * ((word & 0xFF) if shadow or records else word)
        records.append(simple_frame(height_word=word, rows=rows, shadow=shadow))
    path = tmp_path / "x.kiv"
    path.write_bytes(animation_file(1, b"", records))
    file = pykiv.KivF()
    file.load(str(path))
    frames = file.data().frames
    assert [(f.height, f.is_shadow) for f in frames] == expected
    assert all(type(f.is_shadow) is int for f in frames)
    for frame in frames:
        # Shadow blocks are two bytes in the file: the next row starts right
        # after them, and no colours are read.
        assert len(frame.pixel_sets) == frame.height
        block = frame.pixel_sets[-1].blocks[0]
        assert (block.offset, block.color_count, block.colors) == (1, 2, [] if frame.is_shadow else [5, 6])


def test_each_load_starts_afresh(tmp_path, stderr_lines):
    # A file with a background frame and shadow frames, then files without
    # the prefix: the second parse must not depend on the first.
    first = animation_file(
        1,
        b"",
        [simple_frame(height_word=0x8001, shadow=True, rows=[[(0, 1, [])]])] * 2,
        prefix=True,
        has_background_byte=1,
    )
    second = animation_file(2, b"", [simple_frame(height_word=0x0101, rows=[[]] * 0x101)])
    third = animation_file(3, b"", [])
    paths = []
    for i, data in enumerate([first, second, third, b"\x05\x00"]):
        paths.append(tmp_path / f"{i}.kiv")
        paths[-1].write_bytes(data)
    file = pykiv.KivF()
    for path in paths:
        file.load(str(path))
        assert snapshot(file.data()) == parse_animation(path.read_bytes())
    stderr_lines()


def test_random_files_in_sequence_parse_as_alone(tmp_path, stderr_lines):
    rng = random.Random(7)
    file = pykiv.KivF()
    for i in range(40):
        data = encode_animation(random_animation(rng), b"")
        if rng.random() < 0.3:
            data = data[: rng.randrange(len(data) + 1)]
        path = tmp_path / f"{i}.kiv"
        path.write_bytes(data)
        file.load(str(path))
        assert snapshot(file.data()) == parse_animation(data)
    stderr_lines()


# -- the palette location and the upward search ------------------------------


def test_location_text_and_size(project, gray_palette):
    (project / "pal" / "p.pal").write_bytes(gray_palette[0].read_bytes())
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(1, b"pal/p.pal\0", [simple_frame()]))
    palette = pykiv.KivF().load(str(path)).palette
    assert (palette.location(), palette.location_size()) == ("pal/p.pal", 10)
    assert palette.get_color(2).r == 2


def test_search_tries_nearest_directory_first(project, stderr_lines):
    deep = project / "a" / "b"
    (deep / "pal").mkdir(parents=True)
    path = deep / "x.kiv"
    path.write_bytes(animation_file(1, LOCATION + b"\0", [simple_frame()]))
    far, near = [(9, 9, 9, 9)], [(1, 1, 1, 1)]
    (project / "pal" / "p.pal").write_bytes(palette_file(far))
    (project / "a" / "pal").mkdir()
    (project / "a" / "pal" / "p.pal").write_bytes(palette_file(near))
    file = pykiv.KivF()
    assert file.load(str(path)).palette.get_color(0).r == 9 - 8  # a/pal/p.pal, not the project's
    (deep / "pal" / "p.pal").write_bytes(palette_file([(5, 5, 5, 5)]))
    assert file.load(str(path)).palette.get_color(0).r == 5
    assert stderr_lines() == []


@pytest.mark.skipif(sys.platform == "win32", reason="symbolic links need privileges on Windows")
def test_search_through_symlinked_directory_gives_canonical_path(project, stderr_lines):
    (project / "real").mkdir()
    (project / "real" / "p.pal").write_bytes(b"\0\0\0\0")  # count 0: the line shows the path tried
    (project / "anims" / "pal").symlink_to(project / "real")
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(1, b"pal/./p.pal\0", [simple_frame()]))
    pykiv.KivF().load(str(path))
    assert stderr_lines() == ["ERROR: Invalid color count: 0", "ERROR: No palette data available!"]
    path.write_bytes(animation_file(1, b"pal/../pal/missing\0", [simple_frame()]))
    pykiv.KivF().load(str(path))
    assert stderr_lines() == ["ERROR: Could not open palette file: ", "ERROR: No palette data available!"]


def test_empty_location_names_the_animation_directory(project, stderr_lines):
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(1, b"", [simple_frame()], location_size=0))
    assert pykiv.KivF().load(str(path)) is None
    assert stderr_lines() == [
        f"ERROR: Could not open palette file: {os.path.realpath(path.parent)}",
        "ERROR: No palette data available!",
    ]


@pytest.fixture
def in_project(project, gray_palette, monkeypatch):
    """The project with a palette at pal/p.pal and also at ./p.pal, as the
    current directory."""
    (project / "pal" / "p.pal").write_bytes(gray_palette[0].read_bytes())
    (project / "p.pal").write_bytes(palette_file([(3, 3, 3, 3)]))
    monkeypatch.chdir(project)
    return project


def test_bare_file_name_has_no_candidate(in_project, stderr_lines):
    (in_project / "x.kiv").write_bytes(animation_file(1, b"p.pal\0", [simple_frame()]))
    file = pykiv.KivF()
    assert file.load("x.kiv") is None
    assert stderr_lines() == ["ERROR: Could not open palette file: ", "ERROR: No palette data available!"]
    assert file.data().palette.location() == "p.pal"


def test_relative_path_search_stops_at_first_component(in_project, stderr_lines):
    (in_project / "anims" / "sub" / "x.kiv").write_bytes(animation_file(1, b"p.pal\0", [simple_frame()]))
    assert pykiv.KivF().load("anims/sub/x.kiv") is None  # ./p.pal is never a candidate
    assert stderr_lines()[0] == "ERROR: Could not open palette file: "
    (in_project / "anims" / "sub" / "x.kiv").write_bytes(animation_file(1, LOCATION + b"\0", [simple_frame()]))
    assert pykiv.KivF().load("anims/sub/x.kiv") is None  # pal/p.pal is under the current directory only
    (in_project / "anims" / "pal").mkdir()
    (in_project / "anims" / "pal" / "p.pal").write_bytes(palette_file([(4, 4, 4, 4)]))
    stderr_lines()
    assert pykiv.KivF().load("anims/sub/x.kiv").palette.get_color(0).r == 4


@pytest.mark.parametrize("io_pal, red", [("p.pal", 3), ("pal/p.pal", 0), (b"p.pal", 3)])
def test_explicit_palette_relative_to_current_directory(in_project, io_pal, red):
    (in_project / "anims" / "x.kiv").write_bytes(animation_file(1, LOCATION + b"\0", [simple_frame()]))
    data = pykiv.KivF().load("anims/x.kiv", io_pal=io_pal)
    assert data.palette.get_color(0).r == red
    assert data.palette.location() == os.fsdecode(io_pal)
    assert data.palette.location_size() == len(LOCATION) + 1


def test_absolute_explicit_palette_is_used_unchanged(in_project, stderr_lines):
    (in_project / "anims" / "x.kiv").write_bytes(animation_file(1, LOCATION + b"\0", [simple_frame()]))
    file = pykiv.KivF()
    assert file.load("anims/x.kiv", 5, str(in_project / "p.pal")).palette.get_color(0).r == 3
    missing = str(in_project / "anims" / ".." / "nope.pal")
    assert file.load("anims/x.kiv", io_pal=missing) is file.data()  # colours kept from the last load
    assert stderr_lines() == [f"ERROR: Could not open palette file: {missing}"]
    with pytest.raises(TypeError):
        file.load("anims/x.kiv", io_pal=None)


def test_non_utf8_location(project, stderr_lines):
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(1, b"\xffpal\0", [simple_frame()]))
    file = pykiv.KivF()
    assert file.load(str(path)) is None
    with pytest.raises(UnicodeDecodeError):
        file.data().palette.location()
    stderr_lines()


# -- hostile locations ------------------------------------------------------
# The location comes from the file, so any file can name what load opens.


def hostile_location(project, kind):
    """A special file and the location, relative to anims/x.kiv's ancestors
    or absolute, that names it."""
    if kind == "named pipe":
        os.mkfifo(project / "pal" / "fifo")
        return str(project / "pal" / "fifo"), b"pal/fifo"
    return kind, kind.encode()


SPECIAL_FILES = {
    "named pipe, found by the search": ("named pipe", "search"),
    "named pipe, given as io_pal": ("named pipe", "io_pal"),
    "named pipe, loaded by PalF": ("named pipe", "palette"),
    "endless device": ("/dev/zero", "search"),
    "empty device": ("/dev/null", "search"),
    "terminal": ("/dev/tty", "search"),
}


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX special files")
@pytest.mark.parametrize("kind, how", SPECIAL_FILES.values(), ids=SPECIAL_FILES.keys())
def test_palette_is_read_from_a_regular_file_only(project, gray_palette, kind, how):
    # A pipe or a terminal would block load in open() itself, with no way to
    # interrupt it: the child process and its timeout keep a fault from
    # hanging the test run.
    if kind.startswith("/dev/") and not os.path.exists(kind):
        pytest.skip(f"no {kind} here")
    path, location = hostile_location(project, kind)
    animation = project / "anims" / "x.kiv"
    animation.write_bytes(animation_file(1, location + b"\0", [simple_frame()]))
    calls = {
        "search": f"pykiv.KivF().load({str(animation)!r})",
        "io_pal": f"pykiv.KivF().load({str(animation)!r}, io_pal={path!r})",
        "palette": f"pykiv.PalF().load({path!r})",
    }
    result = run_child(
        f"""
        import pykiv
        report(lines=error_lines(lambda: {calls[how]}))
    """,
        timeout=60,
    )
    line = f"ERROR: Could not open palette file: {path}"
    assert result["lines"] == ([line] if how == "palette" else [line, "ERROR: No palette data available!"])


def loop_on_the_way(near):
    near.symlink_to(near.name)


def unsearchable_on_the_way(near):
    near.mkdir()
    near.chmod(0o600)  # readable, but nothing in it can be reached


BLOCKED_CANDIDATES = {
    "loop of links": loop_on_the_way,
    "directory without search permission": unsearchable_on_the_way,
}


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX links and permission bits")
@pytest.mark.parametrize("block", BLOCKED_CANDIDATES.values(), ids=BLOCKED_CANDIDATES.keys())
def test_candidate_that_cannot_be_examined_is_passed_over(public_tmp_path, gray_palette, block):
    # anims/sub/pal cannot be looked into; the search goes on upwards and
    # finds pal/p.pal. Run by an unprivileged user, to whom permission bits
    # apply.
    project = public_tmp_path
    (project / "pal").mkdir()
    (project / "pal" / "p.pal").write_bytes(gray_palette[0].read_bytes())
    (project / "anims" / "sub").mkdir(parents=True)
    block(project / "anims" / "sub" / "pal")
    animation = project / "anims" / "sub" / "x.kiv"
    animation.write_bytes(animation_file(5, LOCATION + b"\0", [simple_frame(width=2, rows=[[(0, 2, [7, 8])]])]))

    result = run_child(f"""
        import pykiv
        file = pykiv.KivF()
        file.load({str(animation)!r}, 0, {str(gray_palette[0])!r})  # a first file, fully loaded
        reason = drop_privileges()
        if reason:
            report(skip=reason)
        else:
            loaded = []
            lines = error_lines(lambda: loaded.append(file.load({str(animation)!r})))
            data = file.data()
            report(lines=lines, loaded=loaded[0] is data, speed=data.info.speed,
                   pixels=list(file.get_frame_buffer()[0].pixels))
    """)
    if "skip" in result:
        pytest.skip(result["skip"])
    assert result["lines"] == []
    assert result["loaded"] and result["speed"] == 5
    assert result["pixels"] == [7, 248, 3, 255, 8, 247, 4, 255]  # gray palette colours 7 and 8


@pytest.mark.parametrize("argument", ["file_name", "io_pal"])
def test_path_with_nul_is_refused(project, gray_palette, stderr_lines, argument):
    # The system would read the path only up to the NUL: "a.kiv\0junk"
    # would load a.kiv.
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(5, LOCATION + b"\0", [simple_frame()]))
    file = pykiv.KivF()
    data = file.load(str(path), 3, str(gray_palette[0]))
    before = snapshot(data), snapshot_rendered(file.get_frame_buffer())
    args = {"file_name": str(path), "color_profile": 4, "io_pal": str(gray_palette[0])}
    args[argument] += "\0junk"
    with pytest.raises(ValueError, match="embedded null character"):
        file.load(**args)
    assert (snapshot(data), snapshot_rendered(file.get_frame_buffer())) == before
    assert stderr_lines() == []


# -- results, reuse and failures ---------------------------------------------


def test_file_without_frames(project, stderr_lines):
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(77, LOCATION + b"\0", []))
    (project / "pal" / "p.pal").write_bytes(palette_file([(1, 2, 3, 4)]))
    file = pykiv.KivF()
    assert file.load(str(path)) is None
    assert (file.data().info.speed, file.data().palette.location(), file.data().frames) == (77, "pal/p.pal", [])
    assert stderr_lines() == []


def test_missing_file_changes_nothing(project, gray_palette, stderr_lines):
    (project / "pal" / "p.pal").write_bytes(gray_palette[0].read_bytes())
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(5, LOCATION + b"\0", [simple_frame()]))
    file = pykiv.KivF()
    data = file.load(str(path))
    before = snapshot(data), snapshot_rendered(file.get_frame_buffer())
    for missing in [str(project / "nope.kiv"), str(project), ""]:
        assert file.load(missing) is None
        assert (snapshot(data), snapshot_rendered(file.get_frame_buffer())) == before
    assert stderr_lines() == []


def test_reload_refills_the_same_objects(project, gray_palette):
    (project / "pal" / "p.pal").write_bytes(gray_palette[0].read_bytes())
    one, two = project / "anims" / "1.kiv", project / "anims" / "2.kiv"
    one.write_bytes(animation_file(1, LOCATION + b"\0", [simple_frame()] * 3))
    two.write_bytes(animation_file(2, LOCATION + b"\0", [simple_frame(width=9)]))
    file = pykiv.KivF()
    first, palette = file.load(str(one)), file.data().palette
    second = file.load(str(two))
    assert first is second is file.data()
    assert palette is second.palette
    assert (second.info.speed, [f.width for f in second.frames]) == (2, [9])
    assert len(file.get_frame_buffer()) == 1


def test_cut_inside_a_frame(project, gray_palette):
    (project / "pal" / "p.pal").write_bytes(gray_palette[0].read_bytes())
    rows = [[(0, 2, [1, 2])], [(1, 1, [3])], [(0, 1, [4])]]
    data = animation_file(1, LOCATION + b"\0", [simple_frame(height_word=3, rows=rows), simple_frame()])
    cut = len(data) - len(simple_frame()) - 5  # before the colour index of the first frame's second row
    path = project / "anims" / "x.kiv"
    path.write_bytes(data[:cut])
    file = pykiv.KivF()
    data = file.load(str(path))
    first, second = snapshot(data).frames
    assert first.pixel_sets == [PixelSet(1, [Block(0, 2, [1, 2])]), PixelSet(1, [Block(1, 1, [0])]), PixelSet(0, [])]
    assert second == Frame()
    assert [(f.width, f.height) for f in file.get_frame_buffer()] == [(3, 3), (0, 0)]


@pytest.mark.parametrize(
    "count, background", [(0xFFFFFFFF, False), (0xFFFFFFFF, True), (0x7FFFFFFF, False), (3_000_000, False)]
)
def test_frame_count_beyond_the_file_is_refused_before_allocating(tmp_path, count, background):
    path = tmp_path / "x.kiv"
    path.write_bytes(animation_file(1, b"", [], prefix=background, has_background_byte=int(background), count=count))
    file = pykiv.KivF()
    with pytest.raises(
        MemoryError, match=r"^animation file declares \d+ frames but its remaining 0 bytes cannot hold them$"
    ):
        file.load(str(path))


def test_cut_file_may_declare_more_frames_than_it_holds(tmp_path, stderr_lines):
    path = tmp_path / "x.kiv"
    path.write_bytes(animation_file(1, b"", [], count=1000))
    file = pykiv.KivF()
    file.load(str(path))
    assert len(file.data().frames) == 1000 and snapshot(file.data()).frames == [Frame()] * 1000
    assert stderr_lines() == [f"ERROR: Could not open palette file: {tmp_path}", "ERROR: No palette data available!"]


def test_dropping_the_file_object_keeps_the_frames(project, gray_palette):
    (project / "pal" / "p.pal").write_bytes(gray_palette[0].read_bytes())
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(1, LOCATION + b"\0", [simple_frame()] * 2))
    data = pykiv.KivF().load(str(path))
    assert len(data.frames) == 2 and data.frames[0].pixel_sets[0].blocks[0].colors == [1, 2]
    assert len(pykiv.KivFrameBuffer(data).get_buffer()) == 2


def test_load_arguments(project, gray_palette):
    (project / "pal" / "p.pal").write_bytes(gray_palette[0].read_bytes())
    path = project / "anims" / "x.kiv"
    path.write_bytes(animation_file(1, LOCATION + b"\0", [simple_frame()]))
    file = pykiv.KivF()
    for call in [
        lambda: file.load(str(path)),
        lambda: file.load(file_name=str(path), color_profile=-(2**31)),
        lambda: file.load(os.fsencode(path), 2**31 - 1, ""),
        lambda: file.load(bytearray(os.fsencode(path))),
    ]:
        assert call() is file.data()
    for bad in [
        lambda: file.load(None),
        lambda: file.load(str(path), 2**31),
        lambda: file.load(str(path), 1.0),
        lambda: file.load(),
    ]:
        with pytest.raises(TypeError):
            bad()


@pytest.mark.parametrize("seed", range(40))
def test_mutated_files_parse_like_the_model(project, stderr_lines, seed):
    # Well-formed files with a few bytes changed: any field may now disagree
    # with the rest. Run under the sanitizers in CI, this is also the test
    # that no byte pattern makes the reader touch memory it should not.
    rng = random.Random(seed)
    colors = random_palette(rng)
    palette_path = project / "pal" / "p.pal"
    palette_path.write_bytes(palette_file(colors))
    path = project / "anims" / "x.kiv"
    original = encode_animation(random_animation(rng, max_frames=5), LOCATION)
    for _ in range(15):
        data = bytearray(original)
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] = rng.choice([0, 0xFF, 0x80, rng.randrange(256)])
        data = bytes(data)
        try:
            model = parse_animation(data)
        except ValueError:  # a frame count too large to model
            model = None
        # Frames are checked against what the file can hold, not images:
        # keep the rendered sizes (and the row error lines) modest.
        if model and sum(f.width * f.height for f in model.frames) + sum(f.height for f in model.frames) > 1 << 20:
            continue
        if model is None:  # more frames than the file holds, and over the limit for cut files
            path.write_bytes(data)
            with pytest.raises(MemoryError):
                pykiv.KivF().load(str(path))
            continue
        if model.frame_count > 4096:  # accepted, but too many records to compare here
            continue
        check_load(path, data, palette_path, colors, stderr_lines)


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
def test_endless_device_reads_as_empty_animation(stderr_lines):
    # A device has no size; the reader takes a bounded part of it.
    file = pykiv.KivF()
    assert file.load("/dev/zero") is None
    assert (file.data().info.speed, file.data().frames, file.data().palette.location_size()) == (0, [], 0)
    assert stderr_lines() == ["ERROR: Could not open palette file: /dev"]


# -- files that ask for more memory than they can back ---------------------
# Each runs in a child process that measures its own peak memory: on a
# system that overcommits memory, a reader that trusted these counts would
# not fail at once but be killed later, taking the test run with it.

MiB = 1 << 20


def test_location_longer_than_the_file_allocates_only_what_the_file_holds():
    result = run_child("""
        import pykiv
        from kivmodel import u32
        path = os.path.abspath("bomb.kiv")
        with open(path, "wb") as f:
            f.write(u32(7) + u32(0xFFFFFFFF) + b"ab\\0c")  # 12 bytes
        baseline = peak_rss()
        file = pykiv.KivF()
        result = file.load(path)
        os.remove(path)
        data = file.data()
        report(result=result is None, speed=data.info.speed, frame_count=data.info.frame_count,
               location_size=data.palette.location_size(), location=data.palette.location(),
               growth=None if baseline is None else peak_rss() - baseline)
    """)
    assert result | {"growth": None} == {
        "result": True,
        "speed": 7,
        "frame_count": 0,
        "location_size": 0xFFFFFFFF,
        "location": "ab",
        "growth": None,
    }
    assert result["growth"] is None or result["growth"] < 64 * MiB


@pytest.mark.parametrize("count", [0xFFFFFFF0, 50_000_000, (1 << 20) + 1])
def test_frame_count_bomb_is_refused_at_once(tmp_path, gray_palette, count):
    small = tmp_path / "small.kiv"
    small.write_bytes(animation_file(1, b"", [simple_frame()]))
    bomb = tmp_path / "bomb.kiv"
    bomb.write_bytes(animation_file(5, b"pal\0", [simple_frame()], count=count))
    result = run_child(f"""
        import pykiv
        file = pykiv.KivF()
        file.load({str(small)!r}, 0, {str(gray_palette[0])!r})
        baseline = peak_rss()
        try:
            file.load({str(bomb)!r}, 0, {str(gray_palette[0])!r})
            error = None
        except MemoryError as e:
            error = str(e)
        data = file.data()
        report(error=error, speed=data.info.speed, frame_count=data.info.frame_count,
               location=data.palette.location_size(), frames=len(data.frames),
               rendered=[(f.width, f.height) for f in file.get_frame_buffer()],
               growth=None if baseline is None else peak_rss() - baseline)
    """)
    assert (
        result["error"]
        == f"animation file declares {count} frames but its remaining {len(simple_frame())} bytes cannot hold them"
    )
    # Header and location are read, the frame list and rendering are untouched.
    assert (result["speed"], result["frame_count"], result["location"]) == (5, count, 4)
    assert (result["frames"], result["rendered"]) == (1, [[3, 1]])
    assert result["growth"] is None or result["growth"] < 16 * MiB


def test_frame_count_up_to_the_limit_reads_as_empty_frames(tmp_path):
    path = tmp_path / "x.kiv"
    path.write_bytes(animation_file(1, b"", [], count=1 << 20))
    result = run_child(f"""
        import pykiv
        file = pykiv.KivF()
        file.load({str(path)!r})
        report(frame_count=file.data().info.frame_count)
    """)
    assert result == {"frame_count": 1 << 20}


@no_address_space_limit
def test_running_out_of_memory_while_filling_the_frame_list_leaves_only_frames(tmp_path, gray_palette):
    # A cut file declaring many frames: the list gets that many default
    # frames before any is read. Under a range of address-space limits the
    # load runs out of memory at different points, some of them while that
    # list is being filled; whatever the point, every slot holds a frame,
    # and saving and rendering work on what is there.
    count = 1 << 19
    small = tmp_path / "small.kiv"
    small.write_bytes(animation_file(1, b"", [simple_frame(width=5)]))
    big = tmp_path / "big.kiv"
    big.write_bytes(animation_file(2, b"", [simple_frame(width=3)], count=count))
    result = run_child(f"""
        import resource
        import pykiv
        from kivtool.memory import address_space_in_use

        outcomes = []
        for extra in range(2, 66, 4):
            file = pykiv.KivF()
            file.load({str(small)!r}, 0, {str(gray_palette[0])!r})
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (address_space_in_use() + (extra << 20), hard))
            try:
                file.load({str(big)!r}, 0, {str(gray_palette[0])!r})
                error = None
            except MemoryError:
                error = "MemoryError"
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            data = file.data()
            frames = data.frames
            try:
                file.save({str(tmp_path / "out.kiv")!r}, {str(tmp_path)!r}, {str(tmp_path / "out.pal")!r})
                saved = "saved"
            except ValueError as e:
                saved = str(e)
            rendered = len(pykiv.KivFrameBuffer(data).get_buffer())
            outcomes.append(dict(error=error, frames=len(frames), none=frames.count(None),
                                 first=frames[0].width, saved=saved, rendered=rendered))
            del frames, data, file
        report(outcomes=outcomes)
    """)
    outcomes = result["outcomes"]
    assert {o["error"] for o in outcomes} == {None, "MemoryError"}  # the limits reach both
    for o in outcomes:
        assert o["none"] == 0 and o["rendered"] == o["frames"]
        if o["frames"] == 1:  # stopped before the new list replaced the old one
            assert o["error"] == "MemoryError" and o["first"] == 5
            assert o["saved"] == f"cannot save: info.frame_count: {count} frames declared but 1 frames held"
        else:
            assert (o["frames"], o["first"], o["saved"]) == (count, 3, "saved")


def test_pixel_memory_beyond_the_machine_is_refused_before_rendering(tmp_path, gray_palette):
    # Shadow frames of 65535 x 255 with empty rows: 269 bytes of file each,
    # 67 MB of pixels each; enough of them to need twice the machine's
    # physical memory.
    shadow_frame = simple_frame(width=65535, height_word=0x8000 | 255, rows=[[]] * 255, shadow=True)
    assert len(shadow_frame) == 269
    small = tmp_path / "small.kiv"
    small.write_bytes(animation_file(1, b"", [simple_frame()]))
    bomb = tmp_path / "bomb.kiv"
    result = run_child(f"""
        import pykiv
        from kivmodel import animation_file
        frame_pixels = 65535 * 255 * 4
        count = 2 * physical_memory() // frame_pixels + 1
        with open({str(bomb)!r}, "wb") as f:
            f.write(animation_file(1, b"", [{shadow_frame!r}] * count))
        file = pykiv.KivF()
        file.load({str(small)!r}, 0, {str(gray_palette[0])!r})
        baseline = peak_rss()
        errors = []
        try:
            file.load({str(bomb)!r}, 0, {str(gray_palette[0])!r})
        except MemoryError as e:
            errors.append(str(e))
        data = file.data()
        try:
            pykiv.KivFrameBuffer(data)
        except MemoryError as e:
            errors.append(str(e))
        frames = data.frames
        report(errors=errors, count=count, frame_count=data.info.frame_count, frames=len(frames),
               last=[frames[-1].width, frames[-1].height, frames[-1].is_shadow, len(frames[-1].pixel_sets)],
               rendered=[(f.width, f.height) for f in file.get_frame_buffer()],
               growth=None if baseline is None else peak_rss() - baseline)
    """)
    assert len(result["errors"]) == 2
    assert all(
        e.startswith("rendering needs at least ") and e.endswith(" bytes of physical memory") for e in result["errors"]
    )
    # The records are read; the previous rendering is kept.
    assert result["frame_count"] == result["frames"] == result["count"]
    assert result["last"] == [65535, 255, 1, 255]
    assert result["rendered"] == [[3, 1]]
    assert result["growth"] is None or result["growth"] < 256 * MiB


def test_mutated_and_cut_files_load_and_walk_without_crashing(tmp_path, gray_palette):
    # Bytes changed, inserted, removed or cut off anywhere; every file is
    # loaded, every record and every rendered pixel is read. In a child
    # process, so that a crash fails this test and names the seed.
    path = tmp_path / "x.kiv"
    result = run_child(f"""
        import random
        import pykiv
        from kivmodel import encode_animation, parse_animation, random_animation

        def mutate(rng, data):
            for _ in range(rng.randint(1, 6)):
                kind = rng.random()
                at = rng.randrange(len(data) + 1)
                if kind < 0.5 and data:
                    data[min(at, len(data) - 1)] = rng.choice([0, 0xFF, 0x80, 0x7F, rng.randrange(256)])
                elif kind < 0.7:
                    data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
                elif kind < 0.9:
                    del data[at:at + rng.randint(1, 8)]
                else:
                    del data[at:]
            return bytes(data)

        def walk(data, rendered):
            seen = [data.info.speed, data.info.frame_count, data.has_background, data.palette.location_size()]
            for frame in data.frames:
                seen += [frame.frame_size, frame.height, frame.is_shadow, frame.width, frame.x_offset,
                         frame.y_offset, frame.unk1, frame.unk2]
                for pixel_set in frame.pixel_sets:
                    seen.append(pixel_set.block_count)
                    for block in pixel_set.blocks:
                        seen += [block.offset, block.color_count, sum(block.colors)]
            for image in rendered:
                assert len(image.pixels) == image.width * image.height * image.channels
            return len(seen)

        loaded = refused = 0
        for seed in range(300):
            rng = random.Random(seed)
            data = mutate(rng, bytearray(encode_animation(random_animation(rng, max_frames=6), b"pal/p.pal")))
            try:
                model = parse_animation(data)
            except ValueError:
                model = None  # a frame count beyond what cut files may declare
            # Sizes are checked against what the file holds, not images:
            # keep what a surviving file may describe quick to render.
            if model and (model.frame_count > 4096 or sum(f.width * f.height for f in model.frames) > 1 << 22):
                continue
            with open({str(path)!r}, "wb") as f:
                f.write(data)
            print("seed", seed, file=sys.stderr, flush=True)
            file = pykiv.KivF()
            try:
                file.load({str(path)!r}, 0, {str(gray_palette[0])!r})
            except MemoryError:
                refused += 1
                continue
            walk(file.data(), file.get_frame_buffer())
            walk(file.data(), pykiv.KivFrameBuffer(file.data()).get_buffer())
            loaded += 1
        report(loaded=loaded, refused=refused)
    """)
    assert result["loaded"] >= 200  # most files survive the filters above
