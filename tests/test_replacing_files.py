"""Replacing a file keeps what the user set on it: the file a symbolic link
names is replaced and the link stays, permission bits stay, a read-only file
is refused; and where no temporary file can be made beside the target, the
target is written in place. Both writers of the module and the tool's
replacement (kivtool._core) replace files the same way, so every case runs
for all three."""

from __future__ import annotations

import dataclasses
import os
import pathlib
import random
import re
import shutil
import stat
import subprocess
import sys
import time

import pykiv
import pytest
from child_process import run_child
from kivmodel import animation_file, frame_record, palette_file, parse_animation

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


# --------------------------------------------------------------------------
# Owner and group
#
# Numeric users and groups that need not exist: A owns the file, B saves it,
# and both are in group G, which may write the directory.
USER_A, USER_B, GROUP_G = 41001, 41002, 41000


def save_as(writer: str, scratch: pathlib.Path, target: pathlib.Path, user: int | None) -> list[str]:
    """Saves in a child process as `user` (of its own group and group G), or
    as root when `user` is None; returns the error lines of the save."""
    become = "" if user is None else f"os.setgroups([{GROUP_G}]); os.setgid({user}); os.setuid({user})"
    result = run_child(f"""
        import pykiv, pathlib
        from test_replacing_files import save
        {become}
        report(lines=error_lines(lambda: save({writer!r}, pathlib.Path({str(scratch)!r}),
                                              pathlib.Path({str(target)!r}))))
    """)
    return result["lines"]


def owned(path: pathlib.Path, user: int, group: int, mode: int) -> None:
    path.write_bytes(OLD)
    os.chown(path, user, group)
    path.chmod(mode)


# Each case makes out/t (and maybe more) and names who saves: B, or root.
def others_file_in_shared_group(out):
    owned(out / "t", USER_A, GROUP_G, 0o660)
    return USER_B


def own_file_in_shared_group(out):
    # B may give its new file the group G, so the file is replaced.
    owned(out / "t", USER_B, GROUP_G, 0o660)
    return USER_B


def others_file_saved_by_root(out):
    owned(out / "t", USER_A, GROUP_G, 0o640)
    return None


def file_with_two_links(out):
    owned(out / "t", USER_A, GROUP_G, 0o664)
    os.link(out / "t", out / "second name")
    return None


OWNERS = {
    "another user's file in a shared group": others_file_in_shared_group,
    "own file in a shared group": own_file_in_shared_group,
    "another user's file saved by root": others_file_saved_by_root,
    "file with two hard links": file_with_two_links,
}


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs root to set owners")
@pytest.mark.parametrize("writer", ["palette", "animation"])
@pytest.mark.parametrize("prepare", OWNERS.values(), ids=OWNERS.keys())
def test_owner_group_and_links_are_kept(scratch, writer, prepare):
    expected = reference(writer, scratch)
    out = scratch / "out"
    os.chown(out, 0, GROUP_G)
    out.chmod(0o770)
    (scratch / "pal").chmod(0o777)
    (scratch / "pal" / "p.pal").write_bytes(OLD)
    (scratch / "pal" / "p.pal").chmod(0o666)
    saver = prepare(out)
    before = {name: os.stat(out / name) for name in os.listdir(out)}

    assert save_as(writer, scratch, out / "t", saver) == []
    after = os.stat(out / "t")
    assert (out / "t").read_bytes() == expected
    old = before["t"]
    assert (after.st_uid, after.st_gid, stat.S_IMODE(after.st_mode)) == (
        old.st_uid,
        old.st_gid,
        stat.S_IMODE(old.st_mode),
    )
    assert sorted(os.listdir(out)) == sorted(before)  # no temporary file left
    for name in before:
        if name != "t" and os.path.samefile(out / name, out / "t"):
            assert (out / name).read_bytes() == expected  # every name of the file sees the save
    if "second name" in before:
        assert after.st_ino == old.st_ino and after.st_nlink == 2


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs root to set owners")
def test_read_only_palette_does_not_stop_the_animation(scratch):
    # A game's shared palette is often read-only; the animation is saved
    # pointing at it, and the palette is left as it is.
    expected = reference("animation", scratch)
    (scratch / "pal" / "p.pal").write_bytes(OLD)
    give_to_nobody(scratch)
    (scratch / "pal" / "p.pal").chmod(0o444)

    lines = save_unprivileged("animation", scratch, scratch / "out" / "t")
    assert lines == [f"ERROR: Could not open palette file for writing: {scratch / 'pal' / 'p.pal'}"]
    assert (scratch / "out" / "t").read_bytes() == expected
    assert (scratch / "pal" / "p.pal").read_bytes() == OLD
    assert os.listdir(scratch / "pal") == ["p.pal"]


# --------------------------------------------------------------------------
# Targets that are not regular files


def fifo(path: pathlib.Path) -> str:
    os.mkfifo(path)
    return "a FIFO"


def char_device(path: pathlib.Path) -> str:
    # The null device's numbers, made here: the real one is never touched.
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device node needs root")
    return "a device"


def socket_file(path: pathlib.Path) -> str:
    import socket

    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(path))
    return "a socket"


def link_to_fifo(path: pathlib.Path) -> str:
    os.mkfifo(path.parent / "fifo")
    path.symlink_to("fifo")
    return "a FIFO"


SPECIAL_FILES = {"FIFO": fifo, "device": char_device, "socket": socket_file, "link to a FIFO": link_to_fifo}


def save_in_child(writer: str, scratch: pathlib.Path, target: pathlib.Path, unprivileged: bool = False) -> list[str]:
    """The error lines of a save in a child process, so that a save that
    blocks fails the test by its timeout instead of hanging the run."""
    result = run_child(
        f"""
        import pathlib
        from kivtool import _core
        from test_replacing_files import save
        reason = drop_privileges() if {unprivileged!r} else None
        if reason:
            report(skip=reason)
        else:
            report(lines=error_lines(lambda: save({writer!r}, pathlib.Path({str(scratch)!r}),
                                                  pathlib.Path({str(target)!r}))))
        """,
        timeout=60,
    )
    if "skip" in result:
        pytest.skip(result["skip"])
    return result["lines"]


def kinds(directory: pathlib.Path) -> dict[str, int]:
    return {name: stat.S_IFMT(os.lstat(directory / name).st_mode) for name in os.listdir(directory)}


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("make_special", SPECIAL_FILES.values(), ids=SPECIAL_FILES.keys())
@pytest.mark.parametrize("unprivileged", [False, True], ids=["as owner", "in a read-only folder"])
def test_what_is_not_a_regular_file_is_not_replaced(scratch, writer, make_special, unprivileged):
    # Renamed over, a FIFO or device named like an output would become a
    # plain file; opened for writing in place (where the folder cannot take
    # a temporary file), a FIFO would block until a reader came. Neither
    # happens: the target counts as one that cannot be opened for writing.
    target = scratch / "out" / "t"
    kind = make_special(target)
    if unprivileged:
        give_to_nobody(scratch)
        (scratch / "out").chmod(0o555)
    before = kinds(scratch / "out")
    lines = save_in_child(writer, scratch, target, unprivileged)
    assert refused(lines, writer, target), lines
    if writer == "tool":
        assert lines[0].endswith(f"is not a regular file ({kind})")
    assert kinds(scratch / "out") == before


@pytest.mark.parametrize("make_special", SPECIAL_FILES.values(), ids=SPECIAL_FILES.keys())
def test_a_palette_target_that_is_not_a_regular_file_does_not_stop_the_animation(scratch, make_special):
    expected = reference("animation", scratch)
    palette = scratch / "pal" / "p.pal"
    palette.unlink()  # the reference save wrote it
    make_special(palette)
    before = kinds(scratch / "pal")
    lines = save_in_child("animation", scratch, scratch / "out" / "t")
    # The line names the palette as the save made it canonical, links
    # followed, and the animation stores that place.
    canonical = os.path.realpath(palette)
    assert lines == [f"ERROR: Could not open palette file for writing: {canonical}"]
    location = os.path.relpath(canonical, scratch).encode()
    saved = parse_animation((scratch / "out" / "t").read_bytes())
    assert saved == dataclasses.replace(parse_animation(expected), location=location, location_size=len(location) + 1)
    assert kinds(scratch / "pal") == before


def test_a_fifo_swapped_in_after_prepare_is_not_renamed_over(scratch):
    from kivtool import _core

    target = scratch / "out" / "t"
    target.write_bytes(OLD)
    replacement = _core.FileReplacement(str(target))
    replacement.write(b"new")
    target.unlink()
    os.mkfifo(target)
    with pytest.raises(OSError, match=r"is not a regular file \(a FIFO\)"):
        replacement.commit()
    replacement.discard()
    assert stat.S_ISFIFO(os.lstat(target).st_mode)
    assert stray_files(target.parent) == []


# --------------------------------------------------------------------------
# Durability and killed saves


def save_code(scratch: pathlib.Path, target: pathlib.Path) -> str:
    """Python code that saves the animation of `scratch` to `target` and its
    palette to pal/p.pal, as save() does."""
    return (
        f"import sys, pathlib; sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "from test_replacing_files import save\n"
        f"save('animation', pathlib.Path({str(scratch)!r}), pathlib.Path({str(target)!r}))\n"
    )


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace shows the order of the system calls")
def test_contents_reach_the_disk_before_they_replace_a_file(scratch, tmp_path):
    # Power loss cannot be tested; the order of the calls can: each
    # temporary file is synced before it is renamed over its target, and
    # the target's directory after, the palette before the animation.
    target, palette = scratch / "out" / "t", scratch / "pal" / "p.pal"
    target.write_bytes(OLD)
    palette.write_bytes(OLD)
    log = tmp_path / "strace.log"
    subprocess.run(
        ["strace", "-f", "-y", "-qq", "-o", str(log), "-e", "trace=fsync,fdatasync,rename,renameat,renameat2"]
        + [sys.executable, "-c", save_code(scratch, target)],
        check=True,
        timeout=120,
    )
    calls = []  # ("sync", path) or ("rename", source, target)
    # A sync made on a thread of its own while another call runs shows as
    # "<unfinished ...>", and ends on a later "resumed" line of its thread:
    # it counts from there, once it is done.
    pending = {}
    for line in log.read_text().splitlines():
        thread = line.split(None, 1)[0]
        if re.search(r"\b(fsync|fdatasync)\(\d+<", line):
            path = re.search(r"\(\d+<(.*?)>", line).group(1)
            if line.endswith("<unfinished ...>"):
                pending[thread] = path
            else:
                calls.append(("sync", path))
        elif re.search(r"<\.\.\. (fsync|fdatasync) resumed>", line):
            calls.append(("sync", pending.pop(thread)))
        elif re.search(r"\brename(at2?)?\(", line):
            source, destination = re.findall(r'"((?:[^"\\]|\\.)*)"', line)[:2]
            calls.append(("rename", source, destination))
    renames = [i for i, call in enumerate(calls) if call[0] == "rename"]
    assert [calls[i][2] for i in renames] == [str(palette), str(target)]
    for i in renames:
        _, source, destination = calls[i]
        assert os.path.basename(source).startswith(".pykiv-")
        assert ("sync", source) in calls[:i]
        assert ("sync", os.path.dirname(destination)) in calls[i + 1 :]
    assert target.read_bytes() == reference("animation", scratch)


def test_killed_saves_leave_whole_files_and_their_temporary_files_go(scratch):
    # A save killed at any moment leaves each file old or new, never cut;
    # the temporary files it leaves are removed by the next save of the
    # same target.
    row = [(0, 255, list(range(255)))]
    big = frame_record(0, 255, 255, 0, 0, 0, 0, [row] * 255, False)
    (scratch / "source" / "a.kiv").write_bytes(animation_file(7, b"p.pal\0", [big] * 40))
    expected_animation = reference("animation", scratch)
    expected_palette = (scratch / "pal" / "p.pal").read_bytes()
    target, palette = scratch / "out" / "t", scratch / "pal" / "p.pal"
    target.write_bytes(OLD)
    palette.write_bytes(OLD)
    loop = save_code(scratch, target).replace("\nsave(", "\nprint('ready', flush=True)\nwhile True: save(")

    rng = random.Random(3)
    left = 0
    for kill in range(60):
        child = subprocess.Popen([sys.executable, "-c", loop], stdout=subprocess.PIPE)
        assert child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0, 0.08))
        child.kill()
        child.wait()
        child.stdout.close()
        assert target.read_bytes() in (OLD, expected_animation)
        assert palette.read_bytes() in (OLD, expected_palette)
        left = len(stray_files(target.parent)) + len(stray_files(palette.parent))
        if left and kill >= 10:
            break
    assert left, "no kill left a temporary file behind"

    save("animation", scratch, target)
    assert stray_files(target.parent) == stray_files(palette.parent) == []
    assert target.read_bytes() == expected_animation


def stray_files(directory: pathlib.Path) -> list[str]:
    return sorted(name for name in os.listdir(directory) if name.startswith(".pykiv-"))


# --------------------------------------------------------------------------
# A full disk


@pytest.fixture
def small_disk():
    """A file system of 512 KiB of its own (a tmpfs), unmounted at the end."""
    if not sys.platform.startswith("linux") or os.geteuid() != 0:
        pytest.skip("needs root on Linux to mount a file system")
    import tempfile

    path = pathlib.Path(tempfile.mkdtemp(prefix="pykiv-disk-"))
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", str(path)], capture_output=True)
    if mounted.returncode != 0:
        path.rmdir()
        pytest.skip(f"cannot mount a tmpfs: {mounted.stderr.decode().strip()}")
    yield path
    subprocess.run(["umount", str(path)], check=True)
    path.rmdir()


def deep_directory(root: pathlib.Path) -> pathlib.Path:
    """A directory under `root` whose path is so long that no temporary file
    name fits beside a short one (see the dir_near_path_limit fixture)."""
    path = str(root)
    while len(path) < 4080:
        path += "/" + "d" * min(200, 4080 - len(path) - 1)
    os.makedirs(path)
    return pathlib.Path(path)


@pytest.mark.parametrize("place", ["beside", "in place"])
def test_full_disk_cuts_no_file(scratch, small_disk, stderr_lines, place):
    # Beside the target the temporary file runs out of room; in place, the
    # room is asked for before the old file is touched. Either way both old
    # files stay whole.
    row = [(0, 255, list(range(255)))]
    big = frame_record(0, 255, 255, 0, 0, 0, 0, [row] * 255, False)
    (scratch / "source" / "a.kiv").write_bytes(animation_file(7, b"p.pal\0", [big] * 2))
    out = small_disk if place == "beside" else deep_directory(small_disk)
    target = out / "t"
    old = OLD * 500  # 29 KB
    target.write_bytes(old)
    (scratch / "pal" / "p.pal").write_bytes(OLD)
    free = os.statvfs(small_disk).f_bavail * os.statvfs(small_disk).f_frsize
    (small_disk / "filler").write_bytes(bytes(free - 64 * 1024))  # 64 KB left, for 130 KB
    stderr_lines()

    save("animation", scratch, target)
    assert stderr_lines() == [f"ERROR: Could not write animation file: {target}"]
    assert target.read_bytes() == old
    assert (scratch / "pal" / "p.pal").read_bytes() == OLD
    assert sorted(os.listdir(out)) == (["filler", "t"] if place == "beside" else ["t"])


# --------------------------------------------------------------------------
# Writing and reading beneath a root folder (the viewer's policy)


@pytest.fixture
def rooted(tmp_path):
    """A root folder with a subfolder and a file in each, and beside the root
    an outside folder with a file no write under the root may change."""
    root, outside = tmp_path / "root", tmp_path / "outside"
    (root / "sub").mkdir(parents=True)
    outside.mkdir()
    (root / "a.kiv").write_bytes(OLD)
    (root / "sub" / "b.kiv").write_bytes(OLD)
    (outside / "victim.txt").write_bytes(OLD)
    return root, outside


def outside_untouched(outside: pathlib.Path) -> bool:
    return os.listdir(outside) == ["victim.txt"] and (outside / "victim.txt").read_bytes() == OLD


@pytest.mark.parametrize("relative", ["a.kiv", "sub/b.kiv", "sub/new.kiv", "./sub/../a.kiv"])
def test_a_save_beneath_the_root_replaces_the_file_and_keeps_its_mode(rooted, relative):
    from kivtool import _core

    root, outside = rooted
    target = root / relative
    existed = target.exists()
    if existed:
        target.chmod(0o640)
    _core.replace_file(relative, b"new", root=str(root))
    assert target.read_bytes() == b"new"
    if existed:
        assert mode_of(target) == 0o640
    assert stray_files(target.parent) == []
    assert outside_untouched(outside)


def link_file_outside(root, outside):
    (root / "a.kiv").unlink()
    (root / "a.kiv").symlink_to(outside / "victim.txt")
    return "a.kiv", "may lead outside the root folder"


def link_file_outside_relatively(root, outside):
    (root / "a.kiv").unlink()
    (root / "a.kiv").symlink_to("../outside/victim.txt")
    return "a.kiv", "may lead outside the root folder"


def link_folder_outside(root, outside):
    (root / "out").symlink_to(outside)
    return "out/victim.txt", "outside the root folder"


def hard_link_outside(root, outside):
    os.link(outside / "victim.txt", root / "linked.kiv")
    return "linked.kiv", "has other hard links"


def climb_out(root, outside):
    return "../outside/victim.txt", "outside the root folder"


def absolute_path(root, outside):
    return str(outside / "victim.txt"), "outside the root folder"


ESCAPES = {
    "file linked outside": link_file_outside,
    "file linked outside by ..": link_file_outside_relatively,
    "folder linked outside": link_folder_outside,
    "hard link to an outside file": hard_link_outside,
    "path climbing out": climb_out,
    "absolute path": absolute_path,
}


@pytest.mark.parametrize("escape", ESCAPES.values(), ids=ESCAPES.keys())
def test_nothing_is_written_outside_the_root(rooted, escape):
    from kivtool import _core

    root, outside = rooted
    relative, reason = escape(root, outside)
    for replace in (
        lambda: _core.replace_file(relative, b"new", root=str(root)),
        lambda: _core.FileReplacement(relative, root=str(root)).write(b"new"),
    ):
        with pytest.raises(OSError, match=reason):
            replace()
    assert outside_untouched(outside)
    assert stray_files(root) == stray_files(root / "sub") == []


def test_a_folder_swapped_for_a_link_after_prepare_gets_no_write_outside(rooted):
    # The save holds its folder's handle: the rename happens in the folder
    # that was resolved, whatever its name leads to by then.
    from kivtool import _core

    root, outside = rooted
    replacement = _core.FileReplacement("sub/b.kiv", root=str(root))
    replacement.write(b"new")
    (root / "sub").rename(root / "moved")
    (root / "sub").symlink_to(outside)
    replacement.commit()
    assert (root / "moved" / "b.kiv").read_bytes() == b"new"
    assert outside_untouched(outside)
    # The next save through the swapped name is refused.
    with pytest.raises(OSError, match="outside the root folder"):
        _core.replace_file("sub/b.kiv", b"newer", root=str(root))
    assert outside_untouched(outside)


def test_a_hard_link_made_after_prepare_is_not_split(rooted):
    from kivtool import _core

    root, outside = rooted
    replacement = _core.FileReplacement("a.kiv", root=str(root))
    replacement.write(b"new")
    os.link(root / "a.kiv", outside / "second-name")
    with pytest.raises(OSError, match="has other hard links"):
        replacement.commit()
    replacement.discard()
    assert (root / "a.kiv").read_bytes() == (outside / "second-name").read_bytes() == OLD
    assert stray_files(root) == []


def test_a_link_within_the_root_is_saved_where_it_leads(rooted):
    from kivtool import _core

    root, outside = rooted
    (root / "alias.kiv").symlink_to("sub/b.kiv")
    _core.replace_file("alias.kiv", b"new", root=str(root))
    assert (root / "sub" / "b.kiv").read_bytes() == b"new"
    assert os.path.islink(root / "alias.kiv")


@pytest.mark.parametrize("make_special", [fifo, char_device], ids=["FIFO", "device"])
def test_what_is_not_a_regular_file_beneath_the_root_is_refused_without_blocking(rooted, make_special):
    root, outside = rooted
    kind = make_special(root / "special.kiv")
    result = run_child(
        f"""
        from kivtool import _core
        outcome = {{}}
        for name, call in (("replace", lambda: _core.replace_file("special.kiv", b"new", root={str(root)!r})),
                           ("read", lambda: _core.read_file("special.kiv", root={str(root)!r})),
                           ("read by path", lambda: _core.read_file({str(root / "special.kiv")!r}))):
            try:
                call()
                outcome[name] = "done"
            except OSError as error:
                outcome[name] = error.strerror
        report(**outcome)
        """,
        timeout=60,
    )
    assert set(result.values()) == {f"is not a regular file ({kind})"}
    assert not stat.S_ISREG(os.lstat(root / "special.kiv").st_mode)


def test_read_file_reads_a_regular_file_whole(rooted):
    from kivtool import _core

    root, outside = rooted
    assert _core.read_file("sub/b.kiv", root=str(root)) == OLD
    assert _core.read_file(str(root / "a.kiv")) == OLD
    assert _core.read_file("a.kiv", root=str(root), limit=len(OLD)) == OLD


READ_REFUSALS = {
    "missing": (lambda root, outside: "gone.kiv", FileNotFoundError, "does not exist"),
    "folder": (lambda root, outside: "sub", IsADirectoryError, "is a folder"),
    "larger than the limit": (lambda root, outside: "a.kiv", OSError, f"is larger than {len(OLD) - 1} bytes"),
    "folder linked outside": (lambda root, outside: link_folder_outside(root, outside)[0], OSError, "outside"),
    "file linked outside": (lambda root, outside: link_file_outside(root, outside)[0], OSError, "outside"),
    "path climbing out": (lambda root, outside: climb_out(root, outside)[0], OSError, "outside the root folder"),
}


@pytest.mark.parametrize("make, error, reason", READ_REFUSALS.values(), ids=READ_REFUSALS.keys())
def test_read_file_refusals_name_the_cause(rooted, make, error, reason):
    from kivtool import _core

    root, outside = rooted
    relative = make(root, outside)
    with pytest.raises(error, match=re.escape(reason)) as raised:
        _core.read_file(relative, root=str(root), limit=len(OLD) - 1)
    assert raised.value.filename == relative
    assert OLD not in str(raised.value).encode()


# --------------------------------------------------------------------------
# The cost of a save does not grow with the folder


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace shows the system calls")
@pytest.mark.parametrize("writer", WRITERS)
def test_a_save_does_not_list_its_folder(scratch, tmp_path, writer):
    # Its own stale temporary files are found by their names.
    for i in range(500):
        (scratch / "out" / f"unrelated-{i}.kiv").write_bytes(b"")
    target = scratch / "out" / "t"
    target.write_bytes(OLD)
    log = tmp_path / "strace.log"
    code = (
        f"import sys, pathlib; sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "from test_replacing_files import save\n"
        f"save({writer!r}, pathlib.Path({str(scratch)!r}), pathlib.Path({str(target)!r}))\n"
    )
    subprocess.run(
        ["strace", "-f", "-y", "-qq", "-o", str(log), "-e", "trace=getdents,getdents64", sys.executable, "-c", code],
        check=True,
        timeout=120,
    )
    listed = [line for line in log.read_text().splitlines() if "getdents" in line and str(scratch) in line]
    assert listed == []
    assert target.read_bytes() != OLD
    assert stray_files(target.parent) == []


# Makes openat2 unknown to this process, as on Linux before 5.6, so that the
# root policy walks paths one component at a time.
WITHOUT_OPENAT2 = """
import ctypes, errno
libc = ctypes.CDLL(None, use_errno=True)
class Instruction(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8), ("k", ctypes.c_uint32)]
class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(Instruction))]
OPENAT2 = 437
program = (Instruction * 4)(
    Instruction(0x20, 0, 0, 0),                    # the system call's number
    Instruction(0x15, 0, 1, OPENAT2),              # openat2?
    Instruction(0x06, 0, 0, 0x00050000 | errno.ENOSYS),
    Instruction(0x06, 0, 0, 0x7FFF0000),           # anything else goes
)
assert libc.prctl(38, 1, 0, 0, 0) == 0             # PR_SET_NO_NEW_PRIVS
assert libc.prctl(22, 2, ctypes.byref(Program(4, program))) == 0, ctypes.get_errno()  # seccomp filter
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a Linux system-call filter")
def test_without_openat2_the_root_is_kept_by_walking_the_path(rooted):
    root, outside = rooted
    (root / "out").symlink_to(outside)
    (root / "inner").symlink_to("sub")
    (root / "alias.kiv").symlink_to("sub/b.kiv")
    (root / "escape.kiv").symlink_to(outside / "victim.txt")
    os.link(outside / "victim.txt", root / "linked.kiv")
    result = run_child(
        WITHOUT_OPENAT2
        + f"""
from kivtool import _core
root = {str(root)!r}
outcome = {{}}
for name in ["a.kiv", "sub/b.kiv", "alias.kiv", "escape.kiv", "linked.kiv", "out/victim.txt",
             "inner/b.kiv", "../outside/victim.txt"]:
    try:
        _core.replace_file(name, b"new", root=root)
        written = "written"
    except OSError as error:
        written = error.strerror
    try:
        _core.read_file(name, root=root)
        read = "read"
    except OSError as error:
        read = error.strerror
    outcome[name] = [written, read]
report(**outcome)
""",
        timeout=60,
    )
    link_on_the_way = "has a symbolic link on its way that cannot be followed safely"
    assert result == {
        "a.kiv": ["written", "read"],
        "sub/b.kiv": ["written", "read"],
        # The file itself a link within its folder: followed by the writer;
        # the reader's last component is opened without following.
        "alias.kiv": ["written", "is a symbolic link that cannot be followed safely"],
        "escape.kiv": [
            "is a symbolic link that may lead outside the root folder",
            "is a symbolic link that cannot be followed safely",
        ],
        "linked.kiv": ["has other hard links", "read"],
        "out/victim.txt": [link_on_the_way, link_on_the_way],
        # Without the kernel's help a linked folder is refused, even inside.
        "inner/b.kiv": [link_on_the_way, link_on_the_way],
        "../outside/victim.txt": ["leads outside the root folder"] * 2,
    }
    assert outside_untouched(outside)
    assert (root / "sub" / "b.kiv").read_bytes() == b"new"


# --------------------------------------------------------------------------
# Outputs that can be made again: renamed whole, synced once at the end


def traced_tool(tmp_path: pathlib.Path, argv: list[str]) -> list[tuple]:
    """Runs kivtool with `argv` under strace; returns its syncs, renames and
    folder listings in order: ("sync", path), ("syncfs", path), ("rename",
    source, target) and ("list", path)."""
    log = tmp_path / "strace.log"
    subprocess.run(
        ["strace", "-f", "-y", "-qq", "-o", str(log)]
        + ["-e", "trace=fsync,fdatasync,sync,syncfs,rename,renameat,renameat2,getdents64"]
        + [sys.executable, "-m", "kivtool", *argv],
        check=True,
        timeout=300,
        stdout=subprocess.DEVNULL,
    )
    calls: list[tuple] = []
    for line in log.read_text().splitlines():
        named = re.search(r"\b(fsync|fdatasync|syncfs|getdents64)\(\d+<(.*?)>", line)
        if named:
            kind = {"syncfs": "syncfs", "getdents64": "list"}.get(named.group(1), "sync")
            calls.append((kind, named.group(2)))
        elif re.search(r"\bsync\(\)", line):
            calls.append(("syncfs", "/"))
        elif re.search(r"\brename(at2?)?\(", line):
            source, destination = re.findall(r'"((?:[^"\\]|\\.)*)"', line)[:2]
            calls.append(("rename", source, destination))
    return calls


def many_frames(scratch: pathlib.Path) -> pathlib.Path:
    """An animation of 30 small frames, each exported to a file of its own."""
    rows = [[(0, 2, [0, 1])]]
    frames = [frame_record(9, 1, 2, i, 0, 0, 1, rows, False) for i in range(30)]
    path = scratch / "source" / "many.kiv"
    path.write_bytes(animation_file(7, b"p.pal\0", frames))
    return path


def export_frames(scratch: pathlib.Path) -> list[str]:
    return ["export", str(many_frames(scratch)), "-o", str(scratch / "out"), "--as", "frames"]


def batch_frames(scratch: pathlib.Path) -> list[str]:
    many_frames(scratch)
    return ["batch", str(scratch / "source"), "-o", str(scratch / "out"), "--as", "frames", "--jobs", "1"]


def palette_export(scratch: pathlib.Path) -> list[str]:
    return ["palette", "export", str(scratch / "source" / "p.pal"), "-o", str(scratch / "out" / "p.gpl")]


def palette_import(scratch: pathlib.Path) -> list[str]:
    from kivtool.formats import palette as palette_formats

    source = scratch / "pal" / "p.gpl"
    source.write_bytes(palette_formats.encode(COLORS, "gpl", "p", 8))
    return ["palette", "import", str(source), "-o", str(scratch / "out" / "p.pal")]


REGENERABLE = {"export of many frames": export_frames, "batch": batch_frames, "palette export": palette_export}


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace shows the order of the system calls")
@pytest.mark.parametrize("argv", REGENERABLE.values(), ids=REGENERABLE.keys())
def test_regenerable_outputs_are_renamed_whole_and_synced_once_at_the_end(scratch, tmp_path, argv):
    # No output is synced on its own (that cost more than encoding a small
    # frame); each still arrives by a rename, and one sync of the file
    # system after the last rename brings them all to the disk. The output
    # folder is never listed: temporary files have fixed names.
    out = str(scratch / "out")
    calls = traced_tool(tmp_path, argv(scratch))
    renames = [i for i, call in enumerate(calls) if call[0] == "rename" and call[2].startswith(out)]
    assert renames
    for i in renames:
        assert os.path.basename(calls[i][1]).startswith(".pykiv-")
    assert [call for call in calls if call[0] == "sync" and call[1].startswith(out)] == []
    ends = [i for i, call in enumerate(calls) if call[0] == "syncfs"]
    assert len(ends) == 1 and ends[0] > renames[-1]
    assert not [call for call in calls if call[0] == "list" and call[1].startswith(out)]


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace shows the order of the system calls")
def test_an_imported_palette_is_synced_before_and_after_its_rename(scratch, tmp_path):
    calls = traced_tool(tmp_path, palette_import(scratch))
    target = str(scratch / "out" / "p.pal")
    (i,) = [i for i, call in enumerate(calls) if call[0] == "rename" and call[2] == target]
    assert ("sync", calls[i][1]) in calls[:i]
    assert ("sync", str(scratch / "out")) in calls[i + 1 :]
    assert not [call for call in calls if call[0] == "syncfs"]
