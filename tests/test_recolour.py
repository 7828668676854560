"""kivtool recolour: an animation written again with another palette, by
index (a palette swap) or by nearest colour, verified as an import is."""

from __future__ import annotations

import re
from pathlib import Path

import kivmodel
import numpy as np
import pytest
from PIL import Image

from kivtool.animation import load_animation
from kivtool.cli import main

CLEAR, RED, GREEN, HALF = (0, 0, 0, 0), (200, 0, 0, 255), (0, 200, 0, 255), (0, 0, 200, 128)
OLD = [CLEAR, RED, GREEN, HALF, (9, 9, 9, 255)]  # entry 4 used by no frame
FRAME = [[RED, GREEN, CLEAR], [HALF, RED, RED]]


def kivtool(capsys, *args):
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out.splitlines(), err.splitlines()


@pytest.fixture
def project(tmp_path, capsys):
    """A game folder with the palette old.pal and the animation a.kiv made
    from it: a frame, a shadow frame and a background, speed 7."""
    root = tmp_path / "game"
    (root / "pal").mkdir(parents=True)
    (root / "anim").mkdir()
    (root / "pal" / "old.pal").write_bytes(kivmodel.palette_file(OLD))
    images = []
    for name, pixels in (("f.png", FRAME), ("s.png", [[(0, 0, 0, 90), CLEAR]]), ("b.png", [[GREEN, GREEN]])):
        Image.fromarray(np.array(pixels, dtype=np.uint8)).save(tmp_path / name)
        images.append(tmp_path / name)
    (tmp_path / "offsets.json").write_text("[[-1, -2], [3, 4], [0, 0]]")
    status, _, err = kivtool(
        capsys,
        "import",
        images[0],
        images[1],
        "--background",
        images[2],
        "--shadow",
        "1",
        "--offsets",
        tmp_path / "offsets.json",
        "--speed",
        "7",
        "-o",
        root / "anim" / "a.kiv",
        "--palette",
        root / "pal" / "old.pal",
        "--project-root",
        root,
    )
    assert (status, err) == (0, [])
    return root


def recolour(capsys, project: Path, colors, *args, out="b.kiv"):
    (project / "pal" / "new.pal").write_bytes(kivmodel.palette_file(colors))
    return kivtool(
        capsys,
        "recolour",
        project / "anim" / "a.kiv",
        "-o",
        project / "anim" / out,
        "--palette",
        project / "pal" / "new.pal",
        "--project-root",
        project,
        *args,
    )


def frames_of(path: Path):
    animation = load_animation(path)
    header = (animation.speed, animation.has_background, animation.location)
    frames = [(f.kind, f.x_offset, f.y_offset, f.width, f.height) for f in animation.frames]
    planes = [tuple(plane.tolist() for plane in animation.indices(i)) for i in range(len(animation.frames))]
    return header, frames, planes, animation


SWAPPED = [CLEAR, (0, 0, 255, 255), (255, 255, 0, 255), (10, 10, 10, 10)]  # the used entries 0 to 3, recoloured


def test_by_index_keeps_every_index_and_stores_the_new_palette(project, capsys):
    status, out, err = recolour(capsys, project, SWAPPED)
    assert (status, err) == (0, [])
    assert out == [f"wrote {project / 'anim' / 'b.kiv'}: 3 frames, palette {project / 'pal' / 'new.pal'}, verified"]
    old_header, old_frames, old_planes, _ = frames_of(project / "anim" / "a.kiv")
    header, frames, planes, animation = frames_of(project / "anim" / "b.kiv")
    assert header == (7, True, "pal/new.pal") and old_header[2] == "pal/old.pal"
    assert (frames, planes) == (old_frames, old_planes)
    rendered = [[tuple(c) for c in row] for row in np.array(animation.image(0)).tolist()]
    assert rendered == [[SWAPPED[1], SWAPPED[2], CLEAR], [SWAPPED[3], SWAPPED[1], SWAPPED[1]]]


@pytest.mark.parametrize(
    "new, mapping, report",
    [
        pytest.param(
            [GREEN, (0, 0, 200, 128), CLEAR, RED],
            {1: 3, 2: 0, 3: 1},
            "every colour kept exactly",
            id="reordered",
        ),
        pytest.param(
            # (0, 0, 200, 128) premultiplied is (0, 0, 100, 128): nearer (0, 0, 0, 140)
            # than the opaque blue; red goes to the darker red.
            [(150, 0, 0, 255), (0, 200, 0, 255), (0, 0, 255, 255), (0, 0, 0, 140)],
            {1: 0, 2: 1, 3: 3},
            r"largest colour error 100\.7: index 3 \(0, 0, 200, 128\) became 3 \(0, 0, 0, 140\)",
            id="nearest-weighs-alpha",
        ),
    ],
)
def test_by_colour_maps_each_used_index_to_the_nearest_entry(project, capsys, new, mapping, report):
    status, out, err = recolour(capsys, project, new, "--by", "colour")
    assert (status, err) == (0, [])
    assert re.fullmatch(rf"{re.escape(str(project / 'anim' / 'b.kiv'))}: {report}", out[0]), out
    _, old_frames, old_planes, _ = frames_of(project / "anim" / "a.kiv")
    header, frames, planes, animation = frames_of(project / "anim" / "b.kiv")
    assert header == (7, True, "pal/new.pal") and frames == old_frames
    values, painted = planes[0]
    old_values, old_painted = old_planes[0]
    assert painted == old_painted
    spots = [(y, x) for y, row in enumerate(painted) for x, p in enumerate(row) if p]
    assert [values[y][x] for y, x in spots] == [mapping[old_values[y][x]] for y, x in spots]
    assert planes[1][1] == old_planes[1][1]  # the shadow paints the same pixels
    assert animation.image(2) is not None


@pytest.mark.parametrize(
    "colors, args, out, message",
    [
        pytest.param(
            [CLEAR, RED, GREEN],
            [],
            "b.kiv",
            r"a\.kiv: its frames use index 3, beyond the 3 colours of .*new\.pal",
            id="index-beyond",
        ),
        pytest.param(
            SWAPPED, [], "../../outside.kiv", r"outside\.kiv: lies outside the project root", id="outside-root"
        ),
    ],
)
def test_recolour_refusals_write_nothing(project, capsys, colors, args, out, message):
    status, lines, err = recolour(capsys, project, colors, *args, out=out)
    assert (status, lines) == (1, []) and len(err) == 1 and re.search(message, err[0]), err
    assert sorted(p.name for p in (project / "anim").iterdir()) == ["a.kiv"]


def test_a_file_cut_short_is_refused(project, capsys):
    source = project / "anim" / "a.kiv"
    source.write_bytes(source.read_bytes()[:-3])
    status, _, err = recolour(capsys, project, SWAPPED)
    assert status == 1 and len(err) == 1 and re.search(r"a\.kiv: is cut short", err[0]), err
    assert not (project / "anim" / "b.kiv").exists()


def test_recolouring_in_place_replaces_the_file_whole(project, capsys):
    before = frames_of(project / "anim" / "a.kiv")
    status, _, err = recolour(capsys, project, SWAPPED, out="a.kiv")
    assert (status, err) == (0, [])
    after = frames_of(project / "anim" / "a.kiv")
    assert after[0][2] == "pal/new.pal" and after[1:3] == before[1:3]
