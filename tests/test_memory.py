"""kivtool's memory bounds: what the process may use, the limits it sets on
its workers, and the refusals before big allocations. Limits are set in
child processes, so that they bound only the code under test."""

from __future__ import annotations

import json
import struct
import zlib

import pytest
from child_process import no_address_space_limit, run_child
from test_import import import_args, kivtool, save_png
from test_kivtool import run, sprite, write_scene

from kivtool import memory

# --------------------------------------------------------------------------
# What the process may use


def test_defaults_leave_a_quarter_of_the_available_memory(monkeypatch):
    monkeypatch.setattr(memory, "available_memory", lambda: 8 << 30)
    monkeypatch.setattr(memory, "address_space_limit", lambda: None)
    assert memory.default_worker_limit(3) == (6 << 30) // 3  # three quarters, shared out
    assert memory.memory_budget() == 6 << 30
    monkeypatch.setattr(memory, "address_space_limit", lambda: 6 << 30)
    monkeypatch.setattr(memory, "address_space_in_use", lambda: 5 << 30)
    assert memory.memory_budget() == 1 << 30  # what is left under the process's own limit


def test_available_memory_is_the_core_s(monkeypatch):
    from kivtool import _core

    assert memory.available_memory() == _core.available_memory()
    monkeypatch.setattr(_core, "available_memory", lambda: (1 << 64) - 1)  # not known
    assert memory.available_memory() is None


# --------------------------------------------------------------------------
# Limits on the process


@no_address_space_limit
@pytest.mark.parametrize(
    "asked, kept",
    [(0.5, (0.5, 1)), (2, (1, 1)), (None, (1, 1))],
    ids=["lowered", "never raised above the user's", "none asked"],
)
def test_a_limit_set_by_the_user_is_never_raised(asked, kept):
    result = run_child(
        f"""
        import resource
        from kivtool.memory import address_space_in_use, limit_address_space
        user = address_space_in_use() + (2 << 30)
        resource.setrlimit(resource.RLIMIT_AS, (user, user))
        asked = {asked!r}
        limit_address_space(None if asked is None else int(user * asked))
        report(user=user, now=resource.getrlimit(resource.RLIMIT_AS))
        """
    )
    user = result["user"]
    assert result["now"] == [int(user * kept[0]), int(user * kept[1])]


@no_address_space_limit
def test_batch_works_under_a_hard_address_space_limit(tmp_path):
    # The workers' default limit is above the user's hard one: it must be
    # lowered to it, not refused.
    write_scene(tmp_path / "game", [sprite(0, 0, [[1, 2]])], name="one")
    write_scene(tmp_path / "game", [sprite(0, 0, [[3]])], name="two")
    result = run_child(
        f"""
        import contextlib, io, resource
        from kivtool import memory
        from kivtool.cli import main
        memory.available_memory = lambda: 1 << 50  # as on a big machine
        hard = memory.address_space_in_use() + (3 << 30)
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        err = io.StringIO()
        with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
            status = main(["batch", {str(tmp_path / "game")!r}, "-o", {str(tmp_path / "out")!r}, "--jobs", "2"])
        report(status=status, err=err.getvalue())
        """
    )
    assert result == {"status": 0, "err": ""}
    assert sorted(p.name for p in (tmp_path / "out" / "anim").iterdir()) == [
        "one_000.png",
        "one_frames.json",
        "two_000.png",
        "two_frames.json",
    ]


# --------------------------------------------------------------------------
# Canvases and images are refused before they are allocated


@pytest.fixture
def small_scene(tmp_path):
    return write_scene(tmp_path, [sprite(0, 0, [[1, 2], [3, 4]]), sprite(-8, -9, [[5]])])


@pytest.mark.parametrize(
    "args, what",
    [
        (["--as", "gif", "--scale", "10000"], "2 steps on a canvas of 100000 × 110000 pixels (--scale 10000)"),
        (["--as", "placed", "--scale", "100000"], "2 steps on a canvas of 1000000 × 1100000 pixels (--scale 100000)"),
    ],
    ids=["gif", "placed"],
)
def test_export_refuses_a_canvas_beyond_memory_in_one_line(small_scene, tmp_path, capsys, args, what):
    status, out, err = run(capsys, "export", small_scene.animation, "-o", tmp_path / "out", *args)
    assert status == 1 and out == "" and err.count("\n") == 1
    assert f"{small_scene.animation}: refused: {what} would take" in err and "this process may use" in err
    assert not (tmp_path / "out").exists() or not list((tmp_path / "out").iterdir())


@no_address_space_limit
def test_export_under_a_memory_limit_refuses_in_one_line(small_scene, tmp_path):
    result = run_child(
        f"""
        import contextlib, io, resource
        from kivtool import memory
        from kivtool.cli import main
        import kivtool.export, PIL.GifImagePlugin  # loaded before the limit
        soft = memory.address_space_in_use() + (200 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (soft, resource.RLIM_INFINITY))
        err = io.StringIO()
        with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
            status = main(["export", {str(small_scene.animation)!r}, "-o", {str(tmp_path / "out")!r},
                           "--as", "gif", "--scale", "500"])
        report(status=status, err=err.getvalue())
        """
    )
    assert result["status"] == 1 and result["err"].count("\n") == 1
    assert "refused: 2 steps on a canvas of 5000 × 5500 pixels (--scale 500) would take" in result["err"]


def png_header_only(width: int, height: int) -> bytes:
    """A PNG file that declares its size and holds no pixels."""

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
        + chunk(b"IEND", b"")
    )


A = (10, 20, 30, 255)


def trimmed_entry(w, h):
    return {
        "frame": {"x": 0, "y": 0, "w": 1, "h": 1},
        "trimmed": True,
        "spriteSourceSize": {"x": 0, "y": 0, "w": 1, "h": 1},
        "sourceSize": {"w": w, "h": h},
    }


@pytest.mark.parametrize(
    "make, args, message",
    [
        (
            lambda p: (p / "big.png").write_bytes(png_header_only(12000, 12000)),
            ["big.png"],
            r"big\.png: 12000 × 12000 is 144,000,000 pixels, more than the 64,000,000 allowed",
        ),
        (
            lambda p: (p / "big.png").write_bytes(png_header_only(300, 200)),
            ["big.png", "--max-pixels", "50000"],
            r"big\.png: 300 × 200 is 60,000 pixels, more than the 50,000 allowed for one image \(--max-pixels\)",
        ),
        (
            lambda p: (p / "bg.png").write_bytes(png_header_only(9000, 9000)),
            ["a.png", "--background", "bg.png"],
            r"bg\.png: 9000 × 9000",
        ),
        (
            lambda p: (p / "s.png").write_bytes(png_header_only(9000, 9000)),
            ["s.json"],
            r"s\.png: 9000 × 9000",
        ),
        (
            lambda p: (p / "s.json").write_text(
                json.dumps({"frames": {"t": trimmed_entry(9000, 8000)}, "meta": {"image": "a.png"}})
            ),
            ["s.json"],
            r"frame 't': sourceSize: 9000 × 8000 is 72,000,000 pixels",
        ),
    ],
    ids=["png header", "--max-pixels", "background", "sheet image", "sheet sourceSize"],
)
def test_import_checks_sizes_before_decoding(project, capsys, monkeypatch, make, args, message):
    import re

    monkeypatch.chdir(project)
    save_png(project / "a.png", [[A]])
    (project / "s.json").write_text(json.dumps({"frames": {"a": trimmed_entry(1, 1)}, "meta": {"image": "s.png"}}))
    make(project)
    status, _, err = kivtool(capsys, *import_args(project, *args))
    assert status == 1 and len(err) == 1, err
    assert re.search(message, err[0]), err[0]


@no_address_space_limit
def test_import_refuses_frames_that_together_exceed_memory(project, tmp_path):
    # Each trimmed frame is within --max-pixels, all of them together are
    # more than the process may use: refused before any is placed.
    save_png(project / "a.png", [[A]])
    frames = {f"f{i}": trimmed_entry(8000, 8000) for i in range(20)}
    (project / "s.json").write_text(json.dumps({"frames": frames, "meta": {"image": "a.png"}}))
    argv = [str(a) for a in import_args(project, project / "s.json")]
    result = run_child(
        f"""
        import contextlib, io
        from kivtool import memory
        from kivtool.cli import main
        memory.available_memory = lambda: 4 << 30
        err = io.StringIO()
        with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
            status = main({argv!r})
        report(status=status, err=err.getvalue(), peak=peak_rss())
        """
    )
    assert result["status"] == 1 and result["err"].count("\n") == 1
    assert "the 20 frames hold 1,280,000,000 pixels together" in result["err"]
    assert result["peak"] < 1 << 30
    assert not (project / "anim").exists()


@pytest.fixture
def project(tmp_path):
    import kivmodel
    from test_import import COLORS

    root = tmp_path / "game"
    (root / "pal").mkdir(parents=True)
    (root / "pal" / "p.pal").write_bytes(kivmodel.palette_file(COLORS))
    return root
