"""Replacing a file keeps what the user set on it: the file a symbolic link
names is replaced and the link stays, permission bits stay, a read-only file
is refused; and where no temporary file can be made beside the target, the
target is written in place. Both writers of the module and the tool's
replacement (kivtool._core) replace files the same way, so every case runs
for all three."""

import os
import pathlib
import stat
import sys

import pykiv
import pytest
from child_process import run_child
from kivmodel import animation_file, frame_record, palette_file

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX permission bits and links")

OLD = b"old contents, which the user keeps unless a save succeeds"
COLORS = [(1, 2, 3, 4), (5, 6, 7, 8)]


@pytest.fixture
def scratch(public_tmp_path):
    """A directory an unprivileged user can reach, with an animation and its
    palette to load under source/."""
    path = public_tmp_path
    (path / "source").mkdir()
    (path / "source" / "p.pal").write_bytes(palette_file(COLORS))
    rows = [[(0, 2, [0, 1])]]
    (path / "source" / "a.kiv").write_bytes(
        animation_file(7, b"p.pal\0", [frame_record(9, 1, 2, 0, 0, 0, 1, rows, False)])
    )
    for directory in ["out", "pal", "ref"]:
        (path / directory).mkdir()
    return path


WRITERS = ["palette", "animation", "tool"]
TOOL_CONTENTS = b"what the tool writes"


def save(writer: str, scratch: pathlib.Path, target: pathlib.Path) -> None:
    """Saves to `target` with the palette writer, or with the animation
    writer, whose palette then goes to pal/p.pal, or replaces it through the
    tool's module, whose refusal (an OSError) becomes a line on the standard
    error stream here."""
    if writer == "tool":
        from kivtool import _core

        try:
            _core.replace_file(str(target), TOOL_CONTENTS)
        except OSError as error:
            sys.stderr.write(f"OSError: {error.filename}: {error.strerror}\n")
            sys.stderr.flush()
    elif writer == "palette":
        palette = pykiv.PalF()
        assert palette.load(str(scratch / "source" / "p.pal")) == 1
        palette.save(str(target))
    else:
        kiv = pykiv.KivF()
        assert kiv.load(str(scratch / "source" / "a.kiv")) is not None
        kiv.save(str(target), str(scratch), str(scratch / "pal" / "p.pal"))


def reference(writer: str, scratch: pathlib.Path) -> bytes:
    """What a save writes to a new file in a plain directory."""
    if writer == "tool":
        return TOOL_CONTENTS
    save(writer, scratch, scratch / "ref" / writer)
    return (scratch / "ref" / writer).read_bytes()


def refused(lines: list[str], writer: str, path) -> bool:
    """Whether `lines` are the one line of a refused save to `path`."""
    if writer == "tool":
        return len(lines) == 1 and lines[0].startswith(f"OSError: {path}: ")
    return lines == [f"ERROR: Could not open {writer} file for writing: {path}"]


def make(path: pathlib.Path, mode: int, data: bytes = OLD) -> None:
    """A file owned by the owner of its directory."""
    path.write_bytes(data)
    path.chmod(mode)
    if os.geteuid() == 0:
        directory = path.parent.stat()
        os.chown(path, directory.st_uid, directory.st_gid)


def give_to_nobody(root: pathlib.Path) -> None:
    """Everything under `root` to the unprivileged user the child becomes."""
    if os.geteuid() != 0:
        return
    import pwd

    nobody = pwd.getpwnam("nobody")
    for directory, names, files in os.walk(root):
        for name in [directory] + [os.path.join(directory, n) for n in names + files]:
            os.chown(name, nobody.pw_uid, nobody.pw_gid, follow_symlinks=False)


def save_unprivileged(writer: str, scratch: pathlib.Path, target: pathlib.Path, umask: int = 0o022) -> list[str]:
    """Saves in a child process running as an unprivileged user; returns the
    error lines of the save."""
    result = run_child(f"""
        import pykiv, pathlib
        from kivtool import _core  # before the user's change: it may not read the interpreter's files
        from test_replacing_files import save
        reason = drop_privileges()
        if reason:
            report(skip=reason)
        else:
            os.umask({umask:#o})
            report(lines=error_lines(lambda: save({writer!r}, pathlib.Path({str(scratch)!r}),
                                                  pathlib.Path({str(target)!r}))))
    """)
    if "skip" in result:
        pytest.skip(result["skip"])
    return result["lines"]


def mode_of(path) -> int:
    return stat.S_IMODE(os.stat(path).st_mode)


# Each case prepares out/ (the target is out/t) and gives the permission bits
# the target has after a save that succeeds, or None when the save is
# refused and everything stays as it was. The saves run as an unprivileged
# user, to whom permission bits apply.
def private_file(out):
    make(out / "t", 0o600)


def shared_file(out):
    make(out / "t", 0o775)


def read_only_file(out):
    make(out / "t", 0o444)


def file_in_read_only_directory(out):
    make(out / "t", 0o644)
    out.chmod(0o555)


def new_file_in_read_only_directory(out):
    out.chmod(0o555)


def another_users_file_in_sticky_directory(out):
    # Anyone may write the file; only its owner, or the directory's, may
    # rename over it.
    if os.geteuid() != 0:
        pytest.skip("needs root to give the file and directory to another user")
    make(out / "t", 0o666)
    os.chown(out / "t", 0, 0)
    os.chown(out, 0, 0)
    out.chmod(0o1777)


PERMISSIONS = {
    "private file keeps 0600": (private_file, 0o022, 0o600),
    "shared file keeps 0775": (shared_file, 0o022, 0o775),
    "new file gets the umask's default": (lambda out: None, 0o027, 0o640),
    "read-only file is refused": (read_only_file, 0o022, None),
    "read-only directory: file written in place": (file_in_read_only_directory, 0o022, 0o644),
    "read-only directory: no file to write in place": (new_file_in_read_only_directory, 0o022, None),
    "another user's file in a sticky directory: written in place": (
        another_users_file_in_sticky_directory,
        0o022,
        0o666,
    ),
}


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("prepare, umask, mode", PERMISSIONS.values(), ids=PERMISSIONS.keys())
def test_permissions(scratch, writer, prepare, umask, mode):
    expected = reference(writer, scratch)
    (scratch / "pal" / "p.pal").write_bytes(OLD)
    give_to_nobody(scratch)
    out = scratch / "out"
    prepare(out)
    before = sorted(os.listdir(out))
    target = out / "t"

    lines = save_unprivileged(writer, scratch, target, umask)
    if mode is None:
        assert refused(lines, writer, target)
        assert not target.exists() or target.read_bytes() == OLD
        # Neither file of a pair is written when one cannot be.
        assert (scratch / "pal" / "p.pal").read_bytes() == OLD
    else:
        assert lines == []
        assert target.read_bytes() == expected
        assert mode_of(target) == mode
    assert sorted(os.listdir(out)) == (before if mode is None else ["t"])


# Links are set up under out/; the save goes to out/link. Each case gives
# the file that receives the new contents and the permission bits it keeps,
# or None when the save is refused.
def link_to_file(out):
    (out / "real").mkdir()
    make(out / "real" / "t", 0o600)
    (out / "link").symlink_to(out / "real" / "t")
    return out / "real" / "t", 0o600


def chain_of_relative_links(out):
    (out / "real").mkdir()
    make(out / "real" / "t", 0o640)
    (out / "middle").symlink_to("real/t")
    (out / "link").symlink_to("middle")
    return out / "real" / "t", 0o640


def dangling_link(out):
    # As open(path, "wb") does, the file the link names is created.
    (out / "real").mkdir()
    (out / "link").symlink_to("real/new")
    return out / "real" / "new", None


def link_loop(out):
    (out / "link").symlink_to("other")
    (out / "other").symlink_to("link")
    return None, None


LINKS = {
    "link to a file": link_to_file,
    "chain of relative links": chain_of_relative_links,
    "dangling link": dangling_link,
    "loop of links": link_loop,
}


def links_in(directory):
    return {name: os.readlink(directory / name) for name in os.listdir(directory) if (directory / name).is_symlink()}


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("prepare", LINKS.values(), ids=LINKS.keys())
def test_links(scratch, stderr_lines, writer, prepare):
    expected = reference(writer, scratch)
    out = scratch / "out"
    written, mode = prepare(out)
    links = links_in(out)
    stderr_lines()

    save(writer, scratch, out / "link")
    if written is None:
        assert refused(stderr_lines(), writer, out / "link")
    else:
        assert stderr_lines() == []
        assert written.read_bytes() == expected
        if mode is not None:
            assert mode_of(written) == mode
        assert os.listdir(written.parent) == [written.name]  # no temporary file left
    assert links_in(out) == links
