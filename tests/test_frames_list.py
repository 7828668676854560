"""The frames form's description (STEM_frames.json): written beside the
frames, read back by import into the same animation."""

from __future__ import annotations

import json
import random
import re

import pytest
from PIL import Image
from test_import import import_args, kivtool, loaded, project, random_animation_file  # noqa: F401


@pytest.mark.parametrize(
    "export_flags",
    [pytest.param([], id="rgba"), pytest.param(["--indexed"], id="indexed")],
)
@pytest.mark.parametrize("seed", range(12))
def test_frames_round_trip(project, capsys, seed, export_flags):  # noqa: F811
    """export --as frames, then import of STEM_frames.json alone: the same
    frames, offsets, kinds, frame count, background and speed; a file this
    encoder wrote comes back byte for byte."""
    rng = random.Random(seed)
    source = random_animation_file(rng, project)
    out = project / "frames"
    status, _, err = kivtool(capsys, "export", source, "-o", out, "--as", "frames", *export_flags)
    if status and "--indexed" in export_flags:
        pytest.skip(err[0])  # a palette that leaves no index free for unpainted pixels
    assert (status, err) == (0, [])
    first = project / "anim" / "first.kiv"
    status, _, err = kivtool(capsys, *import_args(project, out / "src_frames.json", out="anim/first.kiv"))
    assert (status, err) == (0, [])
    assert loaded(first) == loaded(source)

    status, _, err = kivtool(capsys, "export", first, "-o", out, "--as", "frames", *export_flags)
    assert (status, err) == (0, [])
    status, _, err = kivtool(capsys, *import_args(project, out / "first_frames.json", out="anim/second.kiv"))
    assert (status, err) == (0, [])
    assert (project / "anim" / "second.kiv").read_bytes() == first.read_bytes()


def test_a_frame_without_pixels_is_listed_with_its_size(project, capsys):  # noqa: F811
    rng = random.Random(3)
    source = random_animation_file(rng, project)
    status, _, err = kivtool(capsys, "export", source, "-o", project / "out", "--as", "frames")
    assert (status, err) == (0, [])
    listed = json.loads((project / "out" / "src_frames.json").read_text())
    status, out, _ = kivtool(capsys, "info", source, "--json")
    frames = json.loads("\n".join(out))["frames"]
    assert len(listed["frames"]) == len(frames)
    for (name, entry), frame in zip(listed["frames"].items(), frames):
        empty = frame["width"] == 0 or frame["height"] == 0
        assert entry["file"] == (None if empty else f"{name}.png")
        assert entry["sourceSize"] == {"w": frame["width"], "h": frame["height"]}
        assert entry["offset"] == {"x": frame["x_offset"], "y": frame["y_offset"]}
        assert entry["kind"] == frame["kind"]
    assert listed["meta"]["speed"] == json.loads("\n".join(out))["speed"]


@pytest.mark.parametrize(
    "change, message",
    [
        pytest.param({"file": 7}, r"frame a: file 7 is not a file name", id="file-not-text"),
        pytest.param({"file": ""}, r"frame a: file \"\" is not a file name", id="file-empty"),
        pytest.param({"file": "missing.png"}, r"missing\.png", id="file-missing"),
        pytest.param({"sourceSize": {"w": 2, "h": 1}}, r"is 1 x 1, but .* gives the frame as 2 x 1", id="wrong-size"),
        pytest.param({"kind": "hat"}, r"kind \"hat\" is not one of", id="bad-kind"),
        pytest.param({"sourceSize": {"w": 1}}, r"has no 'h'", id="no-height"),
    ],
)
def test_frames_list_refusals(project, capsys, change, message):  # noqa: F811
    folder = project / "in"
    folder.mkdir()
    Image.new("RGBA", (1, 1), (0, 0, 0, 0)).save(folder / "a.png")
    entry = {"file": "a.png", "sourceSize": {"w": 1, "h": 1}, "offset": {"x": 0, "y": 0}, "kind": "frame"}
    entry.update(change)
    path = folder / "a_frames.json"
    path.write_text(json.dumps({"frames": {"a": entry}, "meta": {"speed": 1}}))
    status, out, err = kivtool(capsys, *import_args(project, path))
    assert status == 1 and len(err) == 1, err
    assert re.search(message, err[0]), err[0]
    assert not (project / "anim" / "a.kiv").exists()
