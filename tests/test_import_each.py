"""import --each: one animation of each input, named after it; a failing
input costs only itself, and the failures are listed with a summary."""

from __future__ import annotations

import random

from test_import import A, import_args, kivtool, loaded, project, random_animation_file, save_png  # noqa: F401


def test_each_input_makes_its_own_animation_and_failures_cost_only_themselves(project, capsys):  # noqa: F811
    source = random_animation_file(random.Random(4), project)
    for form in ("frames", "sheet"):
        status, _, err = kivtool(capsys, "export", source, "-o", project / "out", "--as", form)
        assert (status, err) == (0, [])
    image = save_png(project / "out" / "single.png", [[A, A]])
    broken = project / "out" / "broken.json"
    broken.write_text("{")
    inputs = [project / "out" / "src_frames.json", project / "out" / "src.json", image, broken]
    args = import_args(project, *inputs, out="anim/each")
    # The sheet and the frames list both name the animation src: neither is written.
    status, out, err = kivtool(capsys, *args, "--each", "--quantize")
    assert status == 1
    assert out[-1].startswith(f"imported 1 of 4 inputs into {project / 'anim' / 'each'}")
    assert err[0] == "3 failed:"
    assert any("src.json" in line and "same name" in line for line in err)
    assert any(f"{broken}: not valid JSON" in line for line in err)
    assert sorted(p.name for p in (project / "anim" / "each").iterdir()) == ["single.kiv"]

    inputs = [project / "out" / "src_frames.json", image]
    status, out, err = kivtool(capsys, *import_args(project, *inputs, out="anim/each"), "--each", "--quantize")
    assert (status, err) == (0, [])
    assert loaded(project / "anim" / "each" / "src.kiv") == loaded(source)


def test_options_for_one_animation_are_refused_with_each(project, capsys):  # noqa: F811
    image = save_png(project / "a.png", [[A]])
    status, out, err = kivtool(capsys, *import_args(project, image, out="anim"), "--each", "--background", image)
    assert status == 1 and out == [] and len(err) == 1 and "--background" in err[0]
