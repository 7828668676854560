"""kivtool check: one line per problem of each animation, exit status 1 when
any was found; bytes after the last frame are a note."""

from __future__ import annotations

import json

import kivmodel
import pytest
from test_import import kivtool

COLORS = [(0, 0, 0, 0), (1, 2, 3, 255), (4, 5, 6, 255)]


def animation_bytes(indices=(1, 2), location=b"pal/p.pal"):
    row = kivmodel.PixelSet(1, [kivmodel.Block(0, len(indices), list(indices))])
    frame = kivmodel.Frame(
        frame_size=0, height=1, is_shadow=0, width=len(indices), y_offset=0, x_offset=0, pixel_sets=[row]
    )
    animation = kivmodel.Animation(speed=1, frame_count=1, has_background=False, frames=[frame])
    return kivmodel.encode_animation(animation, location)


@pytest.fixture
def game(tmp_path):
    (tmp_path / "pal").mkdir()
    (tmp_path / "pal" / "p.pal").write_bytes(kivmodel.palette_file(COLORS))
    (tmp_path / "anim").mkdir()
    return tmp_path


@pytest.mark.parametrize(
    "contents, problem, note",
    [
        pytest.param(animation_bytes(), None, None, id="sound"),
        pytest.param(animation_bytes()[:-2], "cut short: the file ends before", None, id="cut-short"),
        pytest.param(animation_bytes((1, 9)), "palette indices up to 9, beyond the palette's 3", None, id="index"),
        pytest.param(animation_bytes(location=b"pal/none.pal"), "no palette found: 'pal/none.pal'", None, id="no-pal"),
        pytest.param(b"", "is empty", None, id="empty"),
        pytest.param(animation_bytes() + b"tail", None, "note: 4 bytes after the last frame", id="trailing"),
    ],
)
def test_each_problem_is_one_line_naming_the_file(game, capsys, contents, problem, note):
    path = game / "anim" / "a.kiv"
    path.write_bytes(contents)
    status, out, err = kivtool(capsys, "check", path)
    assert err == []
    assert status == (1 if problem else 0)
    expected = [line for line in (problem, note) if line]
    assert len(out) == len(expected)
    for line, text in zip(out, expected):
        assert line.startswith(f"{path}: ") and text in line, line


def test_a_folder_is_checked_whole_and_json_lists_every_file(game, capsys):
    (game / "anim" / "good.kiv").write_bytes(animation_bytes())
    (game / "anim" / "deep").mkdir()
    (game / "anim" / "deep" / "bad.kiv").write_bytes(animation_bytes((1, 200)))
    status, out, err = kivtool(capsys, "check", game, "--json")
    assert (status, err) == (1, [])
    report = {entry["file"]: entry for entry in json.loads("\n".join(out))}
    assert report[str(game / "anim" / "good.kiv")]["problems"] == []
    assert "up to 200" in report[str(game / "anim" / "deep" / "bad.kiv")]["problems"][0]


def test_a_path_that_is_not_there_is_refused(game, capsys):
    status, out, err = kivtool(capsys, "check", game / "nothing")
    assert status == 1 and out == [] and len(err) == 1 and "nothing: no such file or folder" in err[0]
