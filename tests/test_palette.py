import os
import subprocess
import sys
import textwrap

import pykiv
import pytest
from kivmodel import PADDING_COLOR, palette_file, parse_palette, snapshot_colors, u16

RGBA = [(10, 20, 30, 40), (50, 60, 70, 80), (90, 100, 110, 120)]


def loaded(tmp_path, data, color_model=0):
    path = tmp_path / "p.pal"
    path.write_bytes(data)
    palette = pykiv.PalF()
    palette.color_model(color_model)
    return palette, palette.load(str(path))


LOAD_CASES = {
    "one colour is padded": (palette_file(RGBA[:1]), 0, 1, [RGBA[0]] + [PADDING_COLOR] * 255, []),
    "256 colours, no padding": (
        palette_file([(i, i, i, i) for i in range(256)]),
        0,
        1,
        [(i, i, i, i) for i in range(256)],
        [],
    ),
    "model word ignored": (palette_file(RGBA, model_field=1), 0, 1, RGBA + [PADDING_COLOR] * 253, []),
    "bgra model swaps red and blue": (
        palette_file([(0x10, 0x20, 0x30, 0x40)]),
        1,
        1,
        [(0x30, 0x20, 0x10, 0x40)] + [PADDING_COLOR] * 255,
        [],
    ),
    "count 257": (palette_file(RGBA, count=257), 0, -2, [], ["ERROR: Invalid color count: 257"]),
    "count 0": (palette_file([]), 0, -2, [], ["ERROR: Invalid color count: 0"]),
    "empty file": (b"", 0, -2, [], ["ERROR: Invalid color count: 0"]),
    "one byte": (b"\x05", 0, -2, [], ["ERROR: Invalid color count: 0"]),
    "count 65535": (u16(65535) + u16(0), 0, -2, [], ["ERROR: Invalid color count: 65535"]),
}


@pytest.mark.parametrize("data, model, code, colors, lines", LOAD_CASES.values(), ids=LOAD_CASES.keys())
def test_load(tmp_path, stderr_lines, data, model, code, colors, lines):
    palette, result = loaded(tmp_path, data, model)
    assert result == code
    assert snapshot_colors(palette) == colors
    assert stderr_lines() == lines


@pytest.mark.parametrize("cut", range(4, 4 + 4 * 3))
@pytest.mark.parametrize("model", [0, 1])
def test_cut_entries_load_deterministically(tmp_path, stderr_lines, cut, model):
    # A file that ends inside its entries still loads; the missing bytes come
    # from a read buffer that starts zeroed, so the result is always the same.
    data = palette_file(RGBA)[:cut]
    first, code = loaded(tmp_path, data, model)
    second, _ = loaded(tmp_path, data, model)
    assert code == 1 and stderr_lines() == []
    assert snapshot_colors(first) == snapshot_colors(second) == parse_palette(data, model)[1]


def test_cut_first_entry_reads_zeros(tmp_path):
    palette, code = loaded(tmp_path, u16(2) + u16(0) + bytes([7, 8]))
    assert code == 1
    assert snapshot_colors(palette)[:3] == [(7, 8, 0, 0), (7, 8, 0, 0), PADDING_COLOR]


def test_missing_file_and_directory(tmp_path, stderr_lines):
    palette, _ = loaded(tmp_path, palette_file(RGBA))
    for path in [tmp_path / "missing.pal", tmp_path]:
        assert palette.load(str(path)) == -1
        assert stderr_lines() == [f"ERROR: Could not open palette file: {path}"]
    # Failed loads keep the colours of the last good one.
    assert palette.get_color(2).b == 110
    assert palette.load(str(tmp_path / "p.pal")) == 1


def test_failed_count_keeps_colours(tmp_path):
    palette, _ = loaded(tmp_path, palette_file(RGBA))
    (tmp_path / "bad.pal").write_bytes(palette_file([], count=300))
    assert palette.load(str(tmp_path / "bad.pal")) == -2
    assert snapshot_colors(palette)[:3] == RGBA


def test_save_writes_count_model_and_rgba(tmp_path):
    palette, _ = loaded(tmp_path, palette_file(RGBA), color_model=1)
    palette.color_model(0x12345)
    out = tmp_path / "out.pal"
    palette.save(str(out))
    data = out.read_bytes()
    assert len(data) == 1028
    assert data[:4] == u16(256) + u16(0x2345)
    assert data[4:8] == bytes([30, 20, 10, 40])  # loaded as B,G,R,A, always written as R,G,B,A


def test_bgra_round_trip_swaps_again(tmp_path):
    palette, _ = loaded(tmp_path, palette_file(RGBA), color_model=1)
    out = tmp_path / "out.pal"
    palette.save(str(out))
    assert out.read_bytes()[2:4] == u16(1)
    again = pykiv.PalF()
    again.color_model(1)
    assert again.load(str(out)) == 1
    assert snapshot_colors(again)[:3] == RGBA


def test_save_empty(tmp_path, stderr_lines):
    palette = pykiv.PalF()
    palette.color_model(7)
    empty = tmp_path / "empty.pal"
    palette.save(str(empty))
    assert empty.read_bytes() == u16(0) + u16(7)
    assert pykiv.PalF().load(str(empty)) == -2
    assert stderr_lines() == ["ERROR: Invalid color count: 0"]


@pytest.mark.parametrize("count", [257, 65536, 65537])
def test_save_refuses_more_colours_than_a_file_holds(tmp_path, stderr_lines, count):
    # Above 256 the file would not load again; from 65536 on its count
    # would wrap and colours would be lost without a word.
    source, _ = loaded(tmp_path, palette_file(RGBA))
    palette = pykiv.PalF()
    palette.colors((source.colors() * (count // 256 + 1))[:count])
    target = tmp_path / "target.pal"
    target.write_bytes(b"precious")
    with pytest.raises(ValueError, match=f"{count} colors"):
        palette.save(str(target))
    assert target.read_bytes() == b"precious"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["p.pal", "target.pal"]
    assert stderr_lines() == []


def test_save_and_load_non_ascii_path(tmp_path, stderr_lines):
    folder = tmp_path / "paletté"
    folder.mkdir()
    target = folder / "ä.pal"
    palette, _ = loaded(tmp_path, palette_file(RGBA))
    palette.save(str(target))
    assert target.read_bytes() == palette_file(snapshot_colors(palette))
    again = pykiv.PalF()
    assert again.load(str(target)) == 1
    assert again.load(os.fsencode(target)) == 1  # bytes are taken unchanged
    assert again.load(str(folder / "ö.pal")) == -1
    assert stderr_lines() == [f"ERROR: Could not open palette file: {folder / 'ö.pal'}"]


def test_save_into_missing_directory(tmp_path, stderr_lines):
    target = tmp_path / "nowhere" / "p.pal"
    pykiv.PalF().save(str(target))
    assert stderr_lines() == [f"ERROR: Could not open palette file for writing: {target}"]
    assert not target.parent.exists()


@pytest.mark.parametrize("target", ["", "{tmp}", "{tmp}/sub/"], ids=["empty", "directory", "trailing-slash"])
def test_save_to_a_path_that_names_no_file(tmp_path, stderr_lines, target):
    (tmp_path / "sub").mkdir()
    target = target.format(tmp=tmp_path)
    pykiv.PalF().save(target)
    assert stderr_lines() == [f"ERROR: Could not open palette file for writing: {target}"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["sub"]


# A write failure is provoked in a child process whose file size limit makes
# the temporary file impossible to fill.
FILE_SIZE_LIMITED_SAVE = textwrap.dedent("""
    import resource, signal, sys
    import pykiv
    source = pykiv.PalF()
    source.load(sys.argv[1])
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))
    source.save(sys.argv[2])
""")


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX resource limits")
def test_failed_write_keeps_existing_file(tmp_path):
    source = tmp_path / "source.pal"
    source.write_bytes(palette_file(RGBA))
    target = tmp_path / "target.pal"
    target.write_bytes(b"precious")
    child = subprocess.run(
        [sys.executable, "-c", FILE_SIZE_LIMITED_SAVE, str(source), str(target)],
        capture_output=True,
        text=True,
        check=True,
    )
    assert child.stderr.splitlines() == [f"ERROR: Could not write palette file: {target}"]
    assert target.read_bytes() == b"precious"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["source.pal", "target.pal"]


def test_no_room_for_a_temporary_file_writes_in_place(tmp_path, dir_near_path_limit, stderr_lines):
    # Beside a target whose path is just short enough, a temporary file's
    # name is too long: the target is then written itself.
    palette, _ = loaded(tmp_path, palette_file(RGBA))
    for name in ["existing", "new"]:
        target = dir_near_path_limit / name[0]
        if name == "existing":
            target.write_bytes(b"precious")
        palette.save(str(target))
        assert target.read_bytes() == palette_file(snapshot_colors(palette))
    assert stderr_lines() == []
    assert sorted(p.name for p in dir_near_path_limit.iterdir()) == ["e", "n"]


NUL_PATHS = {
    "load": lambda palette, path: palette.load(path),
    "save": lambda palette, path: palette.save(path),
}


@pytest.mark.parametrize("call", NUL_PATHS.values(), ids=NUL_PATHS.keys())
def test_path_with_nul_is_refused(tmp_path, stderr_lines, call):
    # The system would read the path up to the NUL, and open p.pal.
    palette, _ = loaded(tmp_path, palette_file(RGBA))
    before = (tmp_path / "p.pal").read_bytes()
    palette.colors(palette.colors()[:1])
    with pytest.raises(ValueError, match="embedded null character"):
        call(palette, str(tmp_path / "p.pal") + "\0.kiv")
    assert (tmp_path / "p.pal").read_bytes() == before
    assert len(palette.colors()) == 1
    assert [p.name for p in tmp_path.iterdir()] == ["p.pal"]
    assert stderr_lines() == []


def test_save_replaces_existing_file(tmp_path):
    target = tmp_path / "target.pal"
    target.write_bytes(b"old contents that are longer than the new ones" * 100)
    palette = pykiv.PalF()
    palette.save(str(target))
    assert target.read_bytes() == u16(0) + u16(0)
    assert [p.name for p in tmp_path.iterdir()] == ["target.pal"]


def test_get_color_bounds(tmp_path, stderr_lines):
    palette, _ = loaded(tmp_path, palette_file(RGBA))
    assert (palette.get_color(255).a, palette.get_color(0).r) == (255, 10)
    for index in [-1, 256, 2**31 - 1]:
        with pytest.raises(IndexError, match="^Color index out of bounds$"):
            palette.get_color(index)
        assert stderr_lines() == [f"ERROR: Color index out of bounds: {index}"]
    with pytest.raises(TypeError):
        palette.get_color(2**31)
    palette.colors([])
    with pytest.raises(IndexError):
        palette.get_color(0)


def test_colors_setter_takes_copies_and_checks_elements(tmp_path):
    palette, _ = loaded(tmp_path, palette_file(RGBA))
    first, third = palette.get_color(0), palette.get_color(2)
    other = pykiv.PalF()
    other.colors([third, first])
    assert snapshot_colors(other) == [RGBA[2], RGBA[0]]
    other.colors((c for c in [first]))  # any iterable the list conversion accepts
    assert snapshot_colors(other) == [RGBA[0]]
    for bad in [[1, 2], [first, None], first, "ab"]:
        with pytest.raises(TypeError):
            other.colors(bad)
        assert snapshot_colors(other) == [RGBA[0]]
    # Colours handed out are copies, and read-only.
    assert palette.colors()[0] is not palette.colors()[0]
    with pytest.raises(AttributeError):
        first.r = 1


def test_overloaded_accessors():
    palette = pykiv.PalF()
    assert (palette.location(), palette.location_size(), palette.color_model(), palette.colors()) == ("", 0, 0, [])
    palette.location("pal/a.pal")
    palette.location_size(2**32 - 1)
    palette.color_model(-(2**31))
    assert (palette.location(), palette.location_size(), palette.color_model()) == ("pal/a.pal", 2**32 - 1, -(2**31))
    palette.location(b"bytes/\xc3\xa4")
    assert palette.location() == "bytes/ä"

    for call in [
        lambda: palette.location_size(-1),
        lambda: palette.location_size(2**32),
        lambda: palette.color_model(2**31),
        lambda: palette.color_model(1.0),
        lambda: palette.location("a", "b"),
        lambda: palette.location(None),
    ]:
        with pytest.raises(TypeError):
            call()
    assert (palette.location_size(), palette.color_model()) == (2**32 - 1, -(2**31))


def test_location_that_is_not_utf8():
    palette = pykiv.PalF()
    palette.location(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        palette.location()


def test_keyword_arguments_are_refused(tmp_path):
    with pytest.raises(TypeError):
        pykiv.PalF().load(arg0=str(tmp_path / "x"))
