"""kivtool view: the server's refusals as plain HTTP, and the page as users
see it, in Chromium driven by Selenium.

Each test starts `kivtool view` as its own process on a free port. The
browser tests need Chromium and its driver (Debian's `chromium` and
`chromium-driver`); without them they are skipped on a developer's machine
and fail under CI, which installs them. Screenshots of the gallery and the
player are written to the folder printed at the start of the run
(KIVTOOL_VIEW_SCREENSHOTS, by default kivtool-view-screenshots in the
system's temporary folder).
"""

from __future__ import annotations

import base64
import hashlib
import http.client
import json
import os
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import quote, unquote_to_bytes, urlsplit

import chromium
import numpy as np
import pytest
from PIL import Image

from kivtool import _core
from kivtool.cli import main
from kivtool.sample import Frame, animation_bytes, palette_bytes

LOCATION = "pal/view.pal"
SPEED = 40
CLEAR = 5  # alpha 0
# Opaque colours, a clear one, and a band of half-transparent ones, so that
# frames drawn over each other exercise the compositor's rounding.
PALETTE = [
    (i, 255 - i, (i * 37) % 256, 0 if i == CLEAR else 30 + 3 * (i - 60) if 60 <= i < 120 else 255) for i in range(256)
]


@dataclass
class Served:
    process: subprocess.Popen
    url: str
    port: int
    token: str
    root: Path
    line: str = ""  # the address line as printed

    def request(self, method, path, *, host=None, headers=None, body=None, token=True):
        """One HTTP request; `token` puts the token in the URL."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        if token:
            path += ("&" if "?" in path else "?") + f"token={self.token}"
        all_headers = {"Host": host or f"127.0.0.1:{self.port}"}
        all_headers.update(headers or {})
        connection.request(method, path, body=body, headers=all_headers)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response.status, dict(response.getheaders()), data


def start_view(*arguments) -> Served:
    """`kivtool view ARGUMENTS --no-browser`, once it has printed its address."""
    process = subprocess.Popen(
        [sys.executable, "-m", "kivtool", "view", *map(str, arguments), "--no-browser"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    ready, _, _ = select.select([process.stdout], [], [], 60)
    line = process.stdout.readline() if ready else ""
    if not line.startswith("kivtool view: http://127.0.0.1:"):
        process.kill()
        raise AssertionError(f"no address printed: {line!r} {process.communicate()}")
    url = line.split()[2]
    parts = urlsplit(url)
    served = Served(process, url, parts.port, parts.query.split("token=")[1], Path(arguments[0]))
    served.line = line
    return served


def stop_view(served: Served) -> tuple[int, str, str]:
    """Ctrl-C, as a user stops it; returns the status and the remaining output."""
    served.process.send_signal(signal.SIGINT)
    try:
        out, err = served.process.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        served.process.kill()
        raise AssertionError("kivtool view did not stop within 10 s of Ctrl-C") from None
    return served.process.returncode, out, err


@pytest.fixture
def view():
    """Starts `kivtool view` for the test; stops it with Ctrl-C at the end and
    checks that it exits 0, printed nothing more and no traceback."""
    started = []

    def start(*arguments):
        served = start_view(*arguments)
        started.append(served)
        return served

    yield start
    stopped = [stop_view(served) for served in started]  # every one, before any check
    for status, out, err in stopped:
        assert (status, out) == (0, ""), err
        assert "Traceback" not in err


def write_animation(path: Path, frames, background=None, speed=SPEED, location=LOCATION) -> bytes:
    data = animation_bytes(frames, location, speed, background)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return data


def write_palette(root: Path) -> Path:
    path = root / LOCATION
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(palette_bytes(PALETTE))
    return path


def block(width, height, start, holes=()):
    return [[None if (x, y) in holes else start + (x + 3 * y) % 50 for x in range(width)] for y in range(height)]


def scene_frames():
    """Sprites partly half-transparent over a half-transparent background,
    a shadow, and a 0 x 0 frame."""
    frames = [
        Frame(block(6, 5, 58, holes={(0, 0)}), x_offset=-3, y_offset=-7),
        Frame(block(5, 6, 62), x_offset=-1, y_offset=-8),
        Frame([], x_offset=9, y_offset=9),
        Frame([[0] * 7 for _ in range(2)], x_offset=-3, y_offset=-1, shadow=True),
        Frame(block(4, 4, 100), x_offset=0, y_offset=-5),
    ]
    background = Frame(block(14, 12, 55, holes={(0, 0), (13, 11)}), x_offset=-7, y_offset=-10)
    return frames, background


@pytest.fixture
def game(tmp_path) -> Path:
    """A game folder: pal/view.pal and anim/walk.kiv."""
    write_palette(tmp_path)
    frames, background = scene_frames()
    write_animation(tmp_path / "anim" / "walk.kiv", frames, background)
    return tmp_path


# --------------------------------------------------------------------------
# The server as plain HTTP


def test_prints_one_address_line_and_stops_on_ctrl_c(game):
    served = start_view(game / "anim" / "walk.kiv")
    try:
        assert served.url == f"http://127.0.0.1:{served.port}/?token={served.token}"
        assert served.request("GET", "/")[0] == 200
    except BaseException:
        served.process.kill()
        raise
    status, out, err = stop_view(served)
    assert (status, out) == (0, "")
    assert "Traceback" not in err


@pytest.mark.parametrize(
    "given, root, start, folder",
    [
        pytest.param("anim/walk.kiv", "anim", "walk.kiv", False, id="file"),
        pytest.param("anim", "anim", "", True, id="folder"),
        pytest.param("", "", "", True, id="game-folder"),
    ],
)
def test_root_is_the_folder_given_or_the_files_folder_and_is_shown(game, view, given, root, start, folder):
    # The palette lies above anim/: its search still finds it there, but
    # ROOT does not move up to it (nothing above PATH is listed or served).
    served = view(game / given)
    status, _, body = served.request("GET", "/api/session")
    session = json.loads(body)
    assert status == 200
    expected_root = str((game / root).resolve())
    assert (session["root"], session["start"], session["folder"]) == (expected_root, start, folder)
    assert served.line.rstrip("\n").endswith(f" (root folder: {expected_root})")
    rel = "walk.kiv" if root == "anim" else "anim/walk.kiv"
    status, _, body = served.request("GET", f"/api/animation/{rel}")
    answer = json.loads(body)
    assert (status, answer["ok"]) == (200, True), answer
    assert answer["palette"] == (str((game / LOCATION).resolve()) if root == "anim" else LOCATION)
    assert served.request("GET", "/api/list/..")[0] == 403


@pytest.mark.parametrize(
    "token, host",
    [
        pytest.param("none", None, id="no-token"),
        pytest.param("wrong", None, id="wrong-token"),
        pytest.param("good", "evil.example:{port}", id="foreign-host"),
        pytest.param("good", "127.0.0.1:1", id="other-port"),
        pytest.param("good", "127.0.0.1", id="host-without-port"),
    ],
)
def test_refuses_requests_without_the_token_or_under_another_host(game, view, token, host):
    served = view(game)
    # The wrong token differs from the served one in its first character, whatever that is.
    wrong = ("y" if served.token[0] == "x" else "x") + served.token[1:]
    query = {"none": "", "wrong": f"?token={wrong}", "good": f"?token={served.token}"}[token]
    for path in ["/", "/api/session", "/static/main.js", "/api/animation/anim/walk.kiv"]:
        status, _, body = served.request("GET", path + query, host=host and host.format(port=served.port), token=False)
        assert status == 403, (path, body)


def test_the_token_in_the_address_sets_a_strict_http_only_cookie_that_then_suffices(game, view):
    served = view(game)
    status, headers, _ = served.request("GET", "/")
    assert status == 200
    cookie = headers["set-cookie"]
    name_value = cookie.split(";")[0]
    assert name_value == f"kivtool_view_{served.port}={served.token}"
    assert {"HttpOnly", "SameSite=Strict", "Path=/"} <= {part.strip() for part in cookie.split(";")}
    for host in (f"127.0.0.1:{served.port}", f"localhost:{served.port}"):
        status, _, _ = served.request("GET", "/api/session", host=host, headers={"Cookie": name_value}, token=False)
        assert status == 200
    status, _, _ = served.request(
        "GET", "/api/session", headers={"Cookie": f"kivtool_view_{served.port}=nope"}, token=False
    )
    assert status == 403


@pytest.fixture
def outside(tmp_path_factory) -> Path:
    """A folder beside ROOT with an animation and a secret in it."""
    folder = tmp_path_factory.mktemp("outside")
    write_palette(folder)
    frames, background = scene_frames()
    write_animation(folder / "anim" / "secret.kiv", frames, background)
    (folder / "secret.txt").write_text("secret")
    return folder


@pytest.mark.parametrize(
    "path",
    [
        pytest.param("/api/animation/../outside/anim/secret.kiv", id="dot-dot"),
        pytest.param("/api/animation/anim/%2e%2e/%2e%2e/outside/anim/secret.kiv", id="encoded-dot-dot"),
        pytest.param("/api/animation//etc/passwd", id="absolute"),
        pytest.param("/api/animation/anim%2fwalk.kiv", id="encoded-slash"),
        pytest.param("/api/animation/anim%5Cwalk.kiv", id="encoded-backslash"),
        pytest.param("/api/animation/link-out/anim/secret.kiv", id="link-to-folder-outside"),
        pytest.param("/api/animation/anim/secret-link.kiv", id="link-to-file-outside"),
        pytest.param("/api/animation/pal/view.pal", id="not-an-animation"),
        pytest.param("/api/list/link-out", id="list-outside"),
        pytest.param("/api/list/..", id="list-parent"),
        pytest.param("/api/rgba/anim/secret-link.kiv", id="pixels-through-link"),
    ],
)
def test_refuses_paths_that_leave_root_or_are_not_animations(game, outside, view, path):
    (game / "link-out").symlink_to(outside)
    (game / "anim" / "secret-link.kiv").symlink_to(outside / "anim" / "secret.kiv")
    (game / "outside").symlink_to(outside)  # reached only through "..": refused before
    served = view(game)
    status, _, body = served.request("GET", path)
    assert status in (403, 404), body
    assert b"secret" not in body.replace(b"secret-link", b"").replace(b"secret.kiv", b"")
    assert served.request("GET", "/api/animation/anim/walk.kiv")[0] == 200


def test_frames_too_big_to_show_are_refused_before_they_are_rendered(game, view):
    data = bytearray((game / "anim" / "walk.kiv").read_bytes())
    # The first frame record follows the prefix, the speed, the location and
    # the frame count; its height and width words follow its size.
    first = 9 + 4 + 4 + len(LOCATION) + 1 + 4
    struct.pack_into("<HH", data, first + 4, 0x7FFF, 0xFFFF)
    (game / "anim" / "huge.kiv").write_bytes(bytes(data))
    served = view(game)
    # The reason is given only where the size is read from the frame table,
    # before any rendering (which would need gigabytes for this frame).
    status, _, body = served.request("GET", "/api/animation/anim/huge.kiv")
    answer = json.loads(body)
    assert (status, answer["ok"]) == (200, False)
    assert "MiB of pixels" in answer["reason"]
    assert served.request("GET", f"/api/rgba/anim/huge.kiv?digest={answer['digest']}")[0] in (409, 422)


def test_links_inside_root_are_followed(game, view):
    (game / "anim" / "again.kiv").symlink_to(game / "anim" / "walk.kiv")
    served = view(game)
    status, _, body = served.request("GET", "/api/animation/anim/again.kiv")
    assert status == 200 and json.loads(body)["ok"]


def save_request(served, rel, body, origin="self"):
    headers = {"Content-Type": "application/json", "Cookie": f"kivtool_view_{served.port}={served.token}"}
    if origin == "self":
        headers["Origin"] = f"http://127.0.0.1:{served.port}"
    elif origin is not None:
        headers["Origin"] = origin
    return served.request("POST", f"/api/save/{rel}", headers=headers, body=body, token=False)


def placement(meta, moves=None, speed=None):
    offsets = [[f["x"], f["y"]] for f in meta["frames"]]
    for index, (dx, dy) in (moves or {}).items():
        offsets[index] = [offsets[index][0] + dx, offsets[index][1] + dy]
    return json.dumps(
        {"digest": meta["digest"], "speed": meta["speed"] if speed is None else speed, "offsets": offsets}
    )


@pytest.mark.parametrize(
    "origin, method, status",
    [
        pytest.param(None, "POST", 403, id="post-without-origin"),
        pytest.param("http://evil.example", "POST", 403, id="post-from-other-site"),
        pytest.param("http://127.0.0.1:1", "POST", 403, id="post-from-other-port"),
        pytest.param("self", "GET", 405, id="save-by-get"),
        pytest.param("self", "PUT", 405, id="put"),
    ],
)
def test_changes_only_by_post_from_the_servers_own_page(game, view, origin, method, status):
    served = view(game)
    meta = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
    before = (game / "anim" / "walk.kiv").read_bytes()
    body = placement(meta, {0: (1, 1)})
    if method == "POST":
        got = save_request(served, "anim/walk.kiv", body, origin)[0]
    else:
        headers = {"Origin": f"http://127.0.0.1:{served.port}", "Content-Type": "application/json"}
        got = served.request(method, "/api/save/anim/walk.kiv", headers=headers, body=body)[0]
    assert got == status
    assert (game / "anim" / "walk.kiv").read_bytes() == before


def test_request_bodies_are_bounded(game, view):
    served = view(game)
    status, _, _ = save_request(served, "anim/walk.kiv", b"[" + b" " * (5 << 20) + b"]")
    assert status == 413


@pytest.mark.parametrize(
    "change",
    [
        pytest.param({"speed": -1}, id="negative-speed"),
        pytest.param({"speed": 1 << 32}, id="speed-too-big"),
        pytest.param({"speed": 1.5}, id="fractional-speed"),
        pytest.param({"offset": 40000}, id="offset-too-big"),
        pytest.param({"drop": True}, id="too-few-offsets"),
        pytest.param({"digest": "0" * 64}, id="unknown-load"),
        pytest.param({"target": "../escape.kiv"}, id="save-as-outside"),
        pytest.param({"target": "anim/walk.txt"}, id="save-as-not-animation"),
        pytest.param({"target": "anim/walk.kiv"}, id="save-as-existing"),
    ],
)
def test_bad_saves_are_refused_and_change_nothing(game, view, change):
    served = view(game)
    meta = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
    request = json.loads(placement(meta))
    request["speed"] = change.get("speed", request["speed"])
    request["digest"] = change.get("digest", request["digest"])
    if "offset" in change:
        request["offsets"][0][0] = change["offset"]
    if change.get("drop"):
        request["offsets"].pop()
    if "target" in change:
        request["target"] = change["target"]
    before = sorted((p, p.read_bytes()) for p in game.rglob("*") if p.is_file())
    status, _, body = save_request(served, "anim/walk.kiv", json.dumps(request))
    assert status in (400, 403, 409), body
    assert json.loads(body)["reason"]
    assert sorted((p, p.read_bytes()) for p in game.rglob("*") if p.is_file()) == before


def test_save_changes_only_offsets_and_speed_and_refuses_a_file_changed_on_disk(game, view):
    served = view(game)
    animation = game / "anim" / "walk.kiv"
    palette_before = (game / LOCATION).read_bytes()
    os.chmod(animation, 0o640)
    meta = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
    status, _, body = save_request(served, "anim/walk.kiv", placement(meta, {0: (2, -3), 3: (-1, 0)}, speed=55))
    assert status == 200, body
    answer = json.loads(body)
    assert answer["summary"] == "anim/walk.kiv: frame 0 moved by (+2, -3), frame 3 moved by (-1, +0), speed 40 → 55"
    frames, background = scene_frames()
    frames[0].x_offset += 2
    frames[0].y_offset -= 3
    frames[3].x_offset -= 1
    assert animation.read_bytes() == animation_bytes(frames, LOCATION, 55, background)
    assert (game / LOCATION).read_bytes() == palette_before
    assert animation.stat().st_mode & 0o777 == 0o640

    # The page still holds the load before that save: its digest no longer
    # matches the file, which is left as it is.
    saved = animation.read_bytes()
    status, _, body = save_request(served, "anim/walk.kiv", placement(meta, {1: (5, 5)}))
    assert status == 409 and json.loads(body)["conflict"]
    assert animation.read_bytes() == saved
    # ... and can go under another name, made from the bytes it loaded.
    request = json.loads(placement(meta, {1: (5, 5)}))
    request["target"] = "anim/walk-placed.kiv"
    status, _, body = save_request(served, "anim/walk.kiv", json.dumps(request))
    assert status == 200, body
    frames, background = scene_frames()
    frames[1].x_offset += 5
    frames[1].y_offset += 5
    assert (game / "anim" / "walk-placed.kiv").read_bytes() == animation_bytes(frames, LOCATION, SPEED, background)


def test_a_page_saves_any_number_of_times_in_a_row(game, view):
    served = view(game)
    animation = game / "anim" / "walk.kiv"
    meta = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
    digest = meta["digest"]
    for number in range(3):
        request = json.loads(placement(meta, {0: (number + 1, 0)}))
        request["digest"] = digest  # the page goes on from what its last save wrote
        status, _, body = save_request(served, "anim/walk.kiv", json.dumps(request))
        assert status == 200, (number, body)
        digest = json.loads(body)["digest"]
        assert digest == hashlib.sha256(animation.read_bytes()).hexdigest()
    frames, background = scene_frames()
    frames[0].x_offset += 3
    assert animation.read_bytes() == animation_bytes(frames, LOCATION, SPEED, background)


def test_two_pages_saving_one_load_at_once_never_both_succeed(game, view):
    served = view(game)
    animation = game / "anim" / "walk.kiv"
    for round_number in range(40):
        meta = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
        bodies = [placement(meta, {0: (1, 0)}), placement(meta, {1: (0, 1)})]
        barrier = threading.Barrier(2)
        answers = [None, None]

        def page(number, bodies=bodies, barrier=barrier, answers=answers):
            barrier.wait()
            answers[number] = save_request(served, "anim/walk.kiv", bodies[number])

        pages = [threading.Thread(target=page, args=(number,)) for number in range(2)]
        for thread in pages:
            thread.start()
        for thread in pages:
            thread.join()
        statuses = sorted(answer[0] for answer in answers)
        assert statuses == [200, 409], (round_number, answers)
        winner = [number for number in range(2) if answers[number][0] == 200][0]
        # The file holds the change of the save that was answered 200.
        saved = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
        frame = saved["frames"][winner]
        assert (frame["x"], frame["y"]) == tuple(json.loads(bodies[winner])["offsets"][winner]), round_number
        assert saved["digest"] == json.loads(answers[winner][2])["digest"]
        assert animation.exists()


def test_a_file_rewritten_in_place_within_one_timestamp_is_served_as_it_now_is(game, view):
    served = view(game)
    animation = game / "anim" / "walk.kiv"
    before = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
    stamp = animation.stat()
    frames, background = scene_frames()
    frames[0].x_offset += 7
    changed = animation_bytes(frames, LOCATION, SPEED, background)
    assert len(changed) == stamp.st_size
    with open(animation, "r+b") as stream:  # same inode, same size
        stream.write(changed)
    os.utime(animation, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))  # and the same timestamp
    after = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
    assert after["digest"] == hashlib.sha256(changed).hexdigest() != before["digest"]
    assert after["frames"][0]["x"] == before["frames"][0]["x"] + 7
    # The page that still holds the first load cannot save over the change.
    status, _, body = save_request(served, "anim/walk.kiv", placement(before, {1: (1, 1)}))
    assert status == 409 and json.loads(body)["conflict"]
    assert animation.read_bytes() == changed


def test_a_save_keeps_data_after_the_frames_and_the_digest_covers_it(game, view):
    animation = game / "anim" / "walk.kiv"
    whole = animation.read_bytes() + b"trailing data a tool put there"
    animation.write_bytes(whole)
    served = view(game)
    meta = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
    assert meta["ok"] and meta["digest"] == hashlib.sha256(whole).hexdigest()
    status, _, body = save_request(served, "anim/walk.kiv", placement(meta, {0: (1, 2)}))
    assert status == 200, body
    frames, background = scene_frames()
    frames[0].x_offset += 1
    frames[0].y_offset += 2
    assert animation.read_bytes() == animation_bytes(frames, LOCATION, SPEED, background) + whole[-30:]


def quoted_path(*names: bytes) -> str:
    return "/".join(quote(name, safe="") for name in names)


@pytest.mark.skipif(sys.platform == "win32", reason="names as bytes, with backslashes and newlines: POSIX")
def test_every_listed_name_opens_whatever_bytes_it_holds(game, view):
    names = [b"caf\xe9.kiv", b"back\\slash.kiv", b"new\nline.kiv", b"per%2Fcent.kiv", "żółw.kiv".encode()]
    frames, background = scene_frames()
    data = animation_bytes(frames, LOCATION, SPEED, background)
    folder = os.fsencode(game / "anim")
    for name in names:
        with open(os.path.join(folder, name), "wb") as stream:
            stream.write(data)
    served = view(game)
    status, _, body = served.request("GET", "/api/list/anim")
    assert status == 200, body
    listed = json.loads(body)["files"]  # JSON text: names that are not UTF-8 come as \udcXX escapes
    assert sorted(os.fsencode(entry["path"]) for entry in listed) == sorted(
        [b"anim/" + n for n in names] + [b"anim/walk.kiv"]
    )
    assert not [entry for entry in listed if "reason" in entry]
    for name in names:
        status, _, body = served.request("GET", "/api/animation/" + quoted_path(b"anim", name))
        assert status == 200, (name, body)
        answer = json.loads(body)
        assert answer["ok"], (name, answer)
        assert os.fsencode(answer["path"]) == b"anim/" + name
    meta = json.loads(served.request("GET", "/api/animation/" + quoted_path(b"anim", names[0]))[2])
    status, _, body = save_request(served, quoted_path(b"anim", names[0]), placement(meta, {0: (1, 0)}))
    assert status == 200, body
    with open(os.path.join(folder, names[0]), "rb") as stream:
        assert stream.read() != data


def make_fifo(path: Path) -> None:
    if not hasattr(os, "mkfifo"):
        pytest.skip("named pipes in folders are POSIX")
    os.mkfifo(path)


def make_device(path: Path) -> None:
    if not hasattr(os, "mknod") or os.geteuid() != 0:
        pytest.skip("making a device node needs root (CI runs as root)")
    os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 3))


def make_hard_link(path: Path) -> None:
    os.link(path.parent / "walk.kiv", path)


def make_sparse(path: Path) -> None:
    # A whole animation followed by 1 GiB of nothing: 48 KB on disk.
    shutil.copy(path.parent / "walk.kiv", path)
    os.truncate(path, 1 << 30)


@pytest.mark.parametrize(
    "make, reason",
    [
        pytest.param(make_fifo, "named pipe", id="fifo"),
        pytest.param(make_device, "is a device", id="device"),
        pytest.param(make_hard_link, "hard links", id="hard-link"),
        pytest.param(make_sparse, "MiB on disk", id="sparse-1-gib"),
    ],
)
def test_files_that_are_not_shown_are_listed_with_their_reason_and_never_read(game, view, make, reason):
    odd = game / "anim" / "odd.kiv"
    make(odd)
    before = odd.stat()
    served = view(game)
    listed = {
        entry["path"]: entry.get("reason") for entry in json.loads(served.request("GET", "/api/list/")[2])["files"]
    }
    assert reason in (listed["anim/odd.kiv"] or ""), listed
    status, _, body = served.request("GET", "/api/animation/anim/odd.kiv")
    answer = json.loads(body)
    assert (status, answer["ok"]) == (200, False) and reason in answer["reason"], answer
    status, _, body = served.request("GET", "/api/statuses/anim")
    assert reason in {entry["path"]: entry["reason"] for entry in json.loads(body)["files"]}["anim/odd.kiv"]
    # Not written either, whatever the page asks.
    request = json.dumps({"digest": answer["digest"], "speed": 1, "offsets": []})
    assert save_request(served, "anim/odd.kiv", request)[0] in (400, 409)
    after = odd.stat()
    assert (after.st_ino, after.st_mode, after.st_size, after.st_mtime_ns) == (
        before.st_ino,
        before.st_mode,
        before.st_size,
        before.st_mtime_ns,
    )
    assert served.request("GET", "/api/animation/anim/walk.kiv")[0] == 200


@pytest.mark.parametrize("start", ["folder", "file"])
def test_a_file_in_the_root_folder_itself_saves(game, view, start):
    served = view(game / "anim" if start == "folder" else game / "anim" / "walk.kiv")
    meta = json.loads(served.request("GET", "/api/animation/walk.kiv")[2])
    status, _, body = save_request(served, "walk.kiv", placement(meta, {0: (1, 1)}))
    assert status == 200, body


@pytest.mark.parametrize("swapped", ["link-out", "hard-link-out"])
def test_a_name_swapped_before_the_write_does_not_send_the_save_out_of_root(tmp_path, swapped):
    """What a save does when, after the server checked the file, its name has
    become a link to a file outside ROOT: the link is not followed."""
    from kivtool.view import source

    root = tmp_path / "root"
    root.mkdir()
    victim = tmp_path / "victim.txt"
    victim.write_bytes(b"victim")
    target = root / "walk.kiv"
    if swapped == "link-out":
        target.symlink_to(victim)
    else:
        os.link(victim, target)
    with pytest.raises(OSError):
        source.replace_file(str(root), str(target), b"placed")
    with pytest.raises(source.Unfit):
        source.read(str(root), str(target))
    assert victim.read_bytes() == b"victim"


def test_kept_loads_stay_within_the_memory_budget_oldest_dropped_first(game, monkeypatch):
    from kivtool.view import loads as view_loads
    from kivtool.view.paths import prepare

    frames, background = scene_frames()
    paths = []
    for number in range(3):
        moved = [Frame(f.rows, f.x_offset + number, f.y_offset, f.shadow) for f in frames]
        path = game / "anim" / f"n{number}.kiv"
        write_animation(path, moved, background)
        paths.append(str(path))
    loads = view_loads.Loads(prepare(game, None, None))
    one = loads.load(paths[0])
    assert one.animation is not None and one.cost > one.pixels > 0
    monkeypatch.setattr(view_loads, "MEMORY_BUDGET", 2 * one.cost + one.cost // 2)  # room for two
    outcomes = [loads.load(path) for path in paths]
    assert loads.kept <= view_loads.MEMORY_BUDGET
    assert loads.by_digest(paths[0], outcomes[0].digest) is None  # the oldest went
    assert all(loads.by_digest(path, outcome.digest) is outcome for path, outcome in zip(paths[1:], outcomes[1:]))


# The system calls of one load, counted in a child process under strace.
LOAD_ONCE = """
import os, pathlib, sys
from kivtool.view.loads import Loads
from kivtool.view.paths import prepare
root, path = sys.argv[1], sys.argv[2]
outcome = Loads(prepare(pathlib.Path(root), None, None)).load(path)
assert outcome.animation is not None, outcome.reason
"""


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace shows the system calls")
def test_the_viewer_reads_a_file_once_per_load(game, tmp_path):
    # One open and one read of the whole file: the digest, the frame table,
    # the guard against frames too big to show, the frames and a later save
    # all come from those bytes.
    import re

    path = os.path.realpath(game / "anim" / "walk.kiv")
    log = tmp_path / "strace.log"
    subprocess.run(
        ["strace", "-f", "-y", "-qq", "-o", str(log), "-e", "trace=open,openat,openat2,read,pread64,readv,preadv"]
        + [sys.executable, "-c", LOAD_ONCE, str(game), path],
        check=True,
        timeout=120,
    )
    named = re.escape(f"<{path}>")
    opens = reads = read_bytes = 0
    for line in log.read_text().splitlines():
        if re.search(r"\bopen(at2?)?\(.*= \d+" + named, line):
            opens += 1
        elif (found := re.search(r"\b(p?readv?|pread64)\(\d+" + named + r".*= (\d+)$", line)) and found[2] != "0":
            reads += 1
            read_bytes += int(found[2])
    assert (opens, read_bytes) == (1, os.path.getsize(path))
    assert reads >= 1


def frames_beyond_the_guard() -> bytes:
    """A file of 4 KB whose four empty frames declare 275 MiB of pixels."""
    planes = [
        _core.FramePlanes(np.zeros((1100, 16384), bool), np.zeros((1100, 16384), np.uint8), 0, 0) for _ in range(4)
    ]
    return _core.encode(planes, speed=SPEED, location=LOCATION, has_background=False)


def peak_memory(process) -> int:
    with open(f"/proc/{process.pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmHWM")


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="peak memory is read from /proc")
@pytest.mark.parametrize("start", ["file", "folder"])
def test_no_load_renders_frames_beyond_the_guard_not_even_the_first_at_start(game, view, start):
    huge = game / "anim" / "huge.kiv"
    huge.write_bytes(frames_beyond_the_guard())
    served = view(huge if start == "file" else game)
    status, _, body = served.request(
        "GET", "/api/animation/anim/huge.kiv" if start == "folder" else "/api/animation/huge.kiv"
    )
    answer = json.loads(body)
    assert (status, answer["ok"]) == (200, False) and "MiB of pixels" in answer["reason"]
    if start == "folder":
        assert "MiB of pixels" in json.loads(served.request("GET", "/api/statuses/anim")[2])["files"][0]["reason"]
    # Rendering them would have touched 275 MiB; the server as a whole
    # stays well below that.
    assert peak_memory(served.process) < 200 << 20


def test_a_reason_names_what_is_wrong_never_the_content_of_the_file_the_location_leads_to(tmp_path, view):
    root = tmp_path / "game"
    secret = tmp_path / "secret.txt"
    secret.write_bytes(b"\x2a\x00\x00\x00hunter2-and-more-secret-words")
    frames, background = scene_frames()
    write_animation(root / "anim" / "peek.kiv", frames, background, location="../../secret.txt")
    write_animation(root / "anim" / "lost.kiv", frames, background, location="pal/missing.pal")
    served = view(root)
    peek = json.loads(served.request("GET", "/api/animation/anim/peek.kiv")[2])
    assert not peek["ok"] and "secret.txt" in peek["reason"]
    assert "count" not in peek["reason"] and "hunter2" not in peek["reason"]  # nothing of its content
    for rel in ("anim/peek.kiv", "anim/lost.kiv"):
        reason = json.loads(served.request("GET", f"/api/animation/{rel}")[2])["reason"]
        assert "--" not in reason, reason  # advice in the page's words, not the command line's


def test_a_file_cut_short_is_shown_with_the_warning(game, view):
    whole = (game / "anim" / "walk.kiv").read_bytes()
    (game / "anim" / "cut.kiv").write_bytes(whole[: len(whole) - 20])
    served = view(game)
    answer = json.loads(served.request("GET", "/api/animation/anim/cut.kiv")[2])
    assert answer["ok"]
    assert any("cut short" in warning for warning in answer["warnings"]), answer["warnings"]
    assert json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])["warnings"] == []


def test_a_deeply_nested_body_answers_400(game, view):
    served = view(game)
    status, _, body = save_request(served, "anim/walk.kiv", b"[" * 200_000 + b"]" * 200_000)
    assert status == 400, body
    assert json.loads(body)["reason"]


# --------------------------------------------------------------------------
# Previewing with another palette under the root folder

# A second game palette, every colour unlike the first's, of 16 entries
# (the load pads the rest).
OTHER = [(255 - 15 * i, 10 * i, 200, 255 if i != 3 else 0) for i in range(16)]


def palette_folder(game: Path, outside: Path) -> None:
    """Beside pal/view.pal: another game palette (one in capitals as well),
    and files named .pal that are not game palettes."""
    (game / "pal" / "other.pal").write_bytes(palette_bytes(OTHER))
    (game / "pal" / "Caps.PAL").write_bytes(palette_bytes(OTHER[:4]))
    (game / "pal" / "jasc.pal").write_bytes(b"JASC-PAL\r\n0100\r\n1\r\n1 2 3\r\n")
    (game / "pal" / "vga.pal").write_bytes(bytes(768))
    (game / "pal" / "long.pal").write_bytes(palette_bytes(OTHER) + b"\0")
    (outside / "far.pal").write_bytes(palette_bytes(OTHER))
    (game / "pal" / "link.pal").symlink_to(outside / "far.pal")
    make_fifo(game / "pal" / "pipe.pal")


def core_rgba(path: Path, palette: Path) -> bytes:
    loaded = _core.Animation(str(path), path.read_bytes(), str(palette))
    loaded.render()
    return b"".join(loaded.rgba(i) for i in range(len(loaded.frames)))


def test_the_palettes_under_root_are_listed_by_their_content(game, outside, view):
    palette_folder(game, outside)
    served = view(game)
    status, _, body = served.request("GET", "/api/palettes")
    assert status == 200
    assert json.loads(body) == {"palettes": ["pal/Caps.PAL", "pal/other.pal", "pal/view.pal"]}


def test_an_animation_is_shown_with_a_chosen_palette_and_no_file_changes(game, outside, view):
    palette_folder(game, outside)
    animation = game / "anim" / "walk.kiv"
    before = {path: path.read_bytes() for path in (animation, game / LOCATION, game / "pal" / "other.pal")}
    served = view(game)
    own = json.loads(served.request("GET", "/api/animation/anim/walk.kiv")[2])
    status, _, body = served.request("GET", "/api/animation/anim/walk.kiv?palette=pal/other.pal")
    chosen = json.loads(body)
    assert status == 200 and chosen["ok"]
    assert chosen["digest"] == own["digest"]
    assert (chosen["palette"], chosen["color_count"]) == ("pal/other.pal", 16)
    assert [tuple(color) for color in chosen["colors"][:16]] == OTHER
    digest = own["digest"]
    status, _, rgba = served.request("GET", f"/api/rgba/anim/walk.kiv?digest={digest}&palette=pal/other.pal")
    assert status == 200
    assert rgba == core_rgba(animation, game / "pal" / "other.pal")
    assert rgba != served.request("GET", f"/api/rgba/anim/walk.kiv?digest={digest}")[2]
    assert served.request("GET", f"/api/rgba/anim/walk.kiv?digest={digest}")[2] == core_rgba(animation, game / LOCATION)
    assert {path: path.read_bytes() for path in before} == before


@pytest.mark.parametrize(
    "palette, status, reason",
    [
        pytest.param("pal/vga.pal", 422, "not a game palette", id="raw-rgb-triples"),
        pytest.param("pal/jasc.pal", 422, "not a game palette", id="jasc-text"),
        pytest.param("pal/long.pal", 422, "not a game palette", id="a-byte-too-many"),
        pytest.param("pal/pipe.pal", 422, "FIFO", id="fifo"),
        pytest.param("pal/link.pal", 403, "leads out of the root folder", id="link-out-of-root"),
        pytest.param("..%2Ffar.pal", 403, "not a plain path", id="parent-folder"),
        pytest.param("anim/walk.kiv", 403, "not a palette file", id="an-animation"),
        pytest.param("pal/none.pal", 404, "no such file", id="missing"),
    ],
)
def test_a_chosen_palette_that_is_not_a_game_palette_under_root_is_refused(
    game, outside, view, palette, status, reason
):
    palette_folder(game, outside)
    served = view(game)
    digest = digest_of(served, "anim/walk.kiv")
    for path in ("/api/animation/anim/walk.kiv?", f"/api/rgba/anim/walk.kiv?digest={digest}&"):
        got, _, body = served.request("GET", f"{path}palette={palette}")
        assert got == status, body
        assert reason in json.loads(body)["reason"]


def test_a_save_while_previewing_another_palette_patches_the_file_as_loaded(game, outside, view):
    palette_folder(game, outside)
    served = view(game)
    meta = json.loads(served.request("GET", "/api/animation/anim/walk.kiv?palette=pal/other.pal")[2])
    status, _, body = save_request(served, "anim/walk.kiv", placement(meta, speed=SPEED + 1))
    assert status == 200, body
    loaded = _core.Animation(str(game / "anim" / "walk.kiv"), (game / "anim" / "walk.kiv").read_bytes())
    assert (loaded.speed, loaded.location) == (SPEED + 1, LOCATION)


def digest_of(served, rel):
    return json.loads(served.request("GET", f"/api/animation/{rel}")[2])["digest"]


# Every kind of answer, each as (status, content type) and how to ask for it.
ANSWERS = [
    pytest.param(200, "text/html", lambda s: s.request("GET", "/"), id="page"),
    pytest.param(200, "text/javascript", lambda s: s.request("GET", "/static/main.js"), id="script"),
    pytest.param(200, "text/css", lambda s: s.request("GET", "/static/view.css"), id="style"),
    pytest.param(200, "application/json", lambda s: s.request("GET", "/api/session"), id="json"),
    pytest.param(
        200,
        "application/octet-stream",
        lambda s: s.request("GET", f"/api/rgba/anim/walk.kiv?digest={digest_of(s, 'anim/walk.kiv')}"),
        id="frames",
    ),
    pytest.param(
        200,
        "application/octet-stream",
        lambda s: s.request("GET", f"/api/indices/anim/walk.kiv?digest={digest_of(s, 'anim/walk.kiv')}"),
        id="indices",
    ),
    pytest.param(200, "application/json", lambda s: s.request("HEAD", "/api/session"), id="head"),
    pytest.param(400, "application/json", lambda s: save_request(s, "anim/walk.kiv", b"{}"), id="bad-save"),
    pytest.param(403, "text/plain", lambda s: s.request("GET", "/api/session", token=False), id="no-token"),
    pytest.param(403, "application/json", lambda s: s.request("GET", "/api/list/.."), id="outside-root"),
    pytest.param(404, "application/json", lambda s: s.request("GET", "/static/nothing.js"), id="no-static-file"),
    pytest.param(404, "application/json", lambda s: s.request("GET", "/api/animation/anim/none.kiv"), id="no-file"),
    pytest.param(404, "text/plain", lambda s: s.request("GET", "/nowhere"), id="no-route"),
    pytest.param(405, "text/plain", lambda s: s.request("PUT", "/api/session"), id="method"),
    pytest.param(
        409,
        "application/json",
        lambda s: s.request("GET", f"/api/rgba/anim/walk.kiv?digest={'0' * 64}"),
        id="stale-load",
    ),
    pytest.param(
        413, "text/plain", lambda s: save_request(s, "anim/walk.kiv", b"[" + b" " * (5 << 20) + b"]"), id="too-large"
    ),
]


@pytest.mark.parametrize("status, kind, ask", ANSWERS)
def test_every_answer_carries_the_security_headers(game, view, status, kind, ask):
    served = view(game)
    got, headers, body = ask(served)
    headers = {name.lower(): value for name, value in headers.items()}
    assert (got, headers["content-type"].split(";")[0]) == (status, kind), body[:200]
    assert headers["x-content-type-options"] == "nosniff"
    policy = {
        part.strip().split()[0]: part.strip().split()[1:] for part in headers["content-security-policy"].split(";")
    }
    assert policy["frame-ancestors"] == ["'none'"]
    if kind == "text/html":
        # The page loads its own scripts, styles and API answers only.
        assert policy["default-src"] in (["'none'"], ["'self'"])
        assert all(
            policy.get(name, policy["default-src"]) == ["'self'"] for name in ("script-src", "style-src", "connect-src")
        )
    else:
        assert policy == {"default-src": ["'none'"], "frame-ancestors": ["'none'"]}


def test_connections_of_the_listening_socket_send_without_delay():
    """Keep-alive answers go out at once only with TCP_NODELAY, which the
    event loop sets on connections of a socket made as IPPROTO_TCP."""
    import asyncio

    from kivtool.view.server import listen

    async def accept_one():
        sock = listen(0)
        delays = []

        def connected(reader, writer):
            delays.append(writer.get_extra_info("socket").getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
            writer.close()

        server = await asyncio.start_server(connected, sock=sock)
        _, writer = await asyncio.open_connection(*sock.getsockname())
        for _ in range(200):
            if delays:
                break
            await asyncio.sleep(0.01)
        writer.close()
        server.close()
        await server.wait_closed()
        return delays

    assert asyncio.run(accept_one()) == [1]


# --------------------------------------------------------------------------
# In the browser


def screenshot_folder() -> Path:
    folder = Path(
        os.environ.get("KIVTOOL_VIEW_SCREENSHOTS") or Path(tempfile.gettempdir()) / "kivtool-view-screenshots"
    )
    folder.mkdir(parents=True, exist_ok=True)
    return folder


@pytest.fixture(scope="module")
def browser(request):
    """Headless Chromium under Selenium; skipped when it is missing outside CI."""
    absent = chromium.missing()
    if absent:
        message = f"the browser tests need {', '.join(absent)}"
        if os.environ.get("CI") == "true":
            pytest.fail(message + ", which CI installs")
        pytest.skip(message)
    driver = chromium.start()
    folder = screenshot_folder()
    capture = request.config.pluginmanager.getplugin("capturemanager")
    with capture.global_and_fixture_disabled():
        print(f"\nkivtool view screenshots: {folder}")
    yield driver
    driver.quit()


def wait_for(driver, script, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for: {script}")


def open_page(browser, served, query=""):
    browser.get(served.url + query)
    wait_for(browser, "return window.kivview && window.kivview.ready")


def test_gallery_shows_every_file_and_why_failing_ones_cannot_be_shown(browser, tmp_path, outside, view):
    root = tmp_path / "game"
    write_palette(root)
    frames, background = scene_frames()
    good = ["anim/walk.kiv", "anim/heroes/run.kiv", "anim/heroes/jump.kiv", "props/door.kiv"]
    for number, rel in enumerate(good):
        moved = [Frame(f.rows, f.x_offset + number, f.y_offset, f.shadow) for f in frames]
        write_animation(root / rel, moved, background)
    write_animation(root / "anim" / "lost.kiv", frames, background, location="pal/missing.pal")
    (root / "anim" / "empty.kiv").write_bytes(b"")
    (root / "anim" / "away.kiv").symlink_to(outside / "anim" / "secret.kiv")
    failing = ["anim/away.kiv", "anim/empty.kiv", "anim/lost.kiv"]
    served = view(root)
    open_page(browser, served)
    wait_for(browser, "return kivview.checked && document.querySelectorAll('.card canvas').length === 4")
    cards = browser.execute_script(
        "return [...document.querySelectorAll('.card')].map(c => [c.dataset.path, c.dataset.failed || null])"
    )
    assert sorted(path for path, _ in cards) == sorted(good + failing)
    assert sorted(path for path, reason in cards if reason) == failing
    listed = browser.execute_script(
        "return [...document.querySelectorAll('#failure-list li')].map(li => [li.dataset.path, li.textContent])"
    )
    reasons = dict(listed)
    assert sorted(reasons) == failing
    assert "outside the root folder" in reasons["anim/away.kiv"]
    assert "palette" in reasons["anim/lost.kiv"]
    assert reasons["anim/empty.kiv"] != "anim/empty.kiv: "
    browser.save_screenshot(str(screenshot_folder() / "gallery.png"))

    browser.find_element("id", "filter").send_keys("hero")
    shown = browser.execute_script("return [...document.querySelectorAll('.card')].filter(c => !c.hidden).length")
    assert shown == 2
    counts = "return document.getElementById('counts').textContent"
    assert browser.execute_script(counts) == "7 files, 2 match the filter, 3 cannot be shown"
    browser.find_element("id", "filter").send_keys("es/r")
    assert browser.execute_script(counts) == "7 files, 1 matches the filter, 3 cannot be shown"


def placed_export(animation: Path, out: Path, shadows_under: bool) -> list[np.ndarray]:
    arguments = ["export", str(animation), "-o", str(out), "--as", "placed"]
    arguments.append("--shadows-under" if shadows_under else "--shadows-as-steps")
    assert main(arguments) == 0
    steps = []
    for path in sorted(out.glob(f"{animation.stem}_placed_*.png")):
        with Image.open(path) as image:
            assert image.mode == "RGBA"
            steps.append(np.array(image))
    return steps


def page_steps(browser, count):
    steps = []
    for step in range(count):
        shown = browser.execute_script(f"return kivview.stepData({step})")
        data = np.frombuffer(base64.b64decode(shown["data"]), np.uint8).reshape(shown["height"], shown["width"], 4)
        canvas = np.frombuffer(base64.b64decode(browser.execute_script(f"return kivview.canvasData({step})")), np.uint8)
        steps.append((data, canvas.reshape(data.shape)))
    return steps


@pytest.mark.parametrize("mode", ["under", "steps"])
def test_player_steps_equal_the_placed_export_pixel_for_pixel(browser, game, view, tmp_path, mode):
    animation = game / "anim" / "walk.kiv"
    served = view(animation)
    open_page(browser, served)
    browser.find_element("id", "play").click()  # pause
    if mode == "steps":
        browser.find_element("tag name", "body").send_keys("s")
    assert browser.execute_script("return kivview.player.mode") == mode
    expected = placed_export(animation, tmp_path / "placed", shadows_under=mode == "under")
    shown = page_steps(browser, browser.execute_script("return kivview.player.plan().length"))
    assert len(shown) == len(expected)
    for number, ((data, canvas), exported) in enumerate(zip(shown, expected)):
        assert data.shape == exported.shape, number
        assert data.tobytes() == exported.tobytes(), f"step {number}"
        # The canvas stores premultiplied colour: exact where alpha is 0 or 255.
        whole = (exported[..., 3] == 255) | (exported[..., 3] == 0)
        assert np.array_equal(canvas[whole & (exported[..., 3] == 255)], exported[whole & (exported[..., 3] == 255)])
        assert not canvas[exported[..., 3] == 0][..., 3].any()
    assert ((expected[0][..., 3] > 0) & (expected[0][..., 3] < 255)).any()  # the case that matters is there
    if mode == "under":
        browser.save_screenshot(str(screenshot_folder() / "player.png"))


def test_inspector_names_frame_place_palette_index_and_colour(browser, game, view):
    served = view(game / "anim" / "walk.kiv")
    open_page(browser, served)
    browser.find_element("id", "play").click()
    wait_for(browser, "return kivview.player.anim.frames[0].plane !== null")
    browser.execute_script("kivview.player.goTo(0)")
    # Frame 0's pixel (2, 1) lies at anchor (-1, -6), over the background.
    hover(browser, -1, -6)
    inspector = {
        name: browser.find_element("id", f"i-{name}").text for name in ("frame", "xy", "anchor", "index", "rgba")
    }
    index = 58 + (2 + 3 * 1) % 50
    assert inspector == {
        "frame": "0 (frame)",
        "xy": "2, 1",
        "anchor": "-1, -6",
        "index": str(index),
        "rgba": ", ".join(map(str, PALETTE[index])),
    }
    hot = browser.execute_script(
        "return [...document.querySelectorAll('#palette div')].findIndex(d => d.classList.contains('hot'))"
    )
    assert hot == index


def stage_point(browser, x, y):
    """Where anchor-relative pixel (x, y) lies on the stage, from its centre."""
    return browser.execute_script(
        """const p = kivview.player, r = p.stage.getBoundingClientRect();
        return [(x - p.shown.left + 0.5) * p.zoom - r.width / 2, (y - p.shown.top + 0.5) * p.zoom - r.height / 2];""".replace(
            "x -", f"{x} -"
        ).replace("y -", f"{y} -")
    )


def hover(browser, x, y):
    from selenium.webdriver.common.action_chains import ActionChains

    dx, dy = stage_point(browser, x, y)
    ActionChains(browser).move_to_element_with_offset(browser.find_element("id", "stage"), int(dx), int(dy)).perform()


def offsets(browser):
    return browser.execute_script("return kivview.player.anim.xs.map((x, i) => [x, kivview.player.anim.ys[i]])")


def test_drag_and_arrow_keys_move_frames_undo_redo_and_save(browser, game, view, capsys):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    animation = game / "anim" / "walk.kiv"
    served = view(animation)
    open_page(browser, served)
    browser.find_element("id", "play").click()
    browser.execute_script("kivview.player.goTo(0)")
    start = offsets(browser)
    zoom = browser.execute_script("return kivview.player.zoom")
    stage = browser.find_element("id", "stage")
    dx, dy = stage_point(browser, -1, -6)  # on frame 0
    ActionChains(browser).move_to_element_with_offset(stage, int(dx), int(dy)).click_and_hold().move_by_offset(
        3 * zoom, 2 * zoom
    ).release().perform()
    after_drag = [list(p) for p in start]
    after_drag[0] = [start[0][0] + 3, start[0][1] + 2]
    assert offsets(browser) == after_drag

    body = browser.find_element("tag name", "body")
    body.send_keys(Keys.ARROW_LEFT)
    body.send_keys(Keys.SHIFT + Keys.ARROW_DOWN)
    expected = [list(p) for p in after_drag]
    expected[0] = [after_drag[0][0] - 1, after_drag[0][1] + 10]
    assert offsets(browser) == expected
    assert browser.find_element("id", "summary").text == "unsaved: frame 0 moved by (+2, +12)"

    body.send_keys(Keys.CONTROL + "z")
    body.send_keys(Keys.CONTROL + "z")
    assert offsets(browser) == after_drag
    body.send_keys(Keys.CONTROL + Keys.SHIFT + "z")
    body.send_keys(Keys.CONTROL + Keys.SHIFT + "z")
    assert offsets(browser) == expected

    # All frames at once, and the speed.
    body.send_keys("m")
    body.send_keys(Keys.ARROW_UP)
    expected = [[x, y - 1] for x, y in expected]
    assert offsets(browser) == expected
    speed = browser.find_element("id", "speed")
    speed.send_keys(Keys.CONTROL + "a")  # typed over, as in the Ctrl+S test
    speed.send_keys("75", Keys.ENTER)
    body.click()

    browser.find_element("id", "save").click()
    wait_for(browser, "return kivview.lastSave")
    assert browser.find_element("id", "summary").text.startswith("saved walk.kiv: ")
    assert not browser.execute_script("return kivview.player.dirty")
    capsys.readouterr()
    assert main(["info", str(animation), "--json"]) == 0
    report = json.loads(capsys.readouterr().out)
    assert [[f["x_offset"], f["y_offset"]] for f in report["frames"]] == expected
    assert report["speed"] == 75


def test_a_file_changed_on_disk_is_not_overwritten_and_can_be_saved_under_another_name(browser, game, view):
    from selenium.webdriver.common.keys import Keys

    animation = game / "anim" / "walk.kiv"
    served = view(animation)
    open_page(browser, served)
    browser.find_element("id", "play").click()
    browser.execute_script("kivview.player.goTo(0)")
    browser.find_element("tag name", "body").send_keys(Keys.ARROW_RIGHT)
    frames, background = scene_frames()
    changed = write_animation(animation, frames, background, speed=99)  # someone else saves meanwhile
    browser.find_element("id", "save").click()
    wait_for(browser, "return kivview.conflict")
    assert "changed on disk" in browser.find_element("id", "notice").text
    assert animation.read_bytes() == changed
    browser.find_element("id", "conflict-save-as").click()
    prompt = browser.switch_to.alert
    prompt.send_keys("walk-mine.kiv")  # under the root folder, the file's own
    prompt.accept()
    wait_for(browser, "return kivview.mode === 'player' && kivview.ready && location.search.includes('walk-mine')")
    frames[0].x_offset += 1
    assert (game / "anim" / "walk-mine.kiv").read_bytes() == animation_bytes(frames, LOCATION, SPEED, background)
    assert animation.read_bytes() == changed


def test_demo_plays_with_its_shadow_and_background(browser, tmp_path, view):
    assert main(["demo", str(tmp_path / "demo")]) == 0
    served = view(tmp_path / "demo")
    open_page(browser, served)  # a folder of one animation: the player at once
    player = browser.execute_script(
        "const p = kivview.player; return {mode: p.mode, steps: p.plan().length, layers: p.layers(p.plan()[0]), "
        "kinds: p.anim.frames.map(f => f.kind), playing: p.playing}"
    )
    assert player["mode"] == "under" and player["playing"]
    kinds = player["kinds"]
    assert [kinds[i] for i in player["layers"]] == ["background", "shadow", "frame"]
    # what the demo exported, with the shadow under the ball
    shown = page_steps(browser, player["steps"])
    for number, (data, _) in enumerate(shown):
        with Image.open(tmp_path / "demo" / f"sample_placed_{number:03d}.png") as image:
            assert data.tobytes() == np.array(image.convert("RGBA")).tobytes(), number
    first = browser.execute_script("return kivview.player.step")
    wait_for(browser, f"return kivview.player.step !== {first}")
    hover(browser, 0, -60)  # over the ball or the sky: the inspector fills in
    browser.save_screenshot(str(screenshot_folder() / "demo.png"))


def test_the_page_works_under_its_content_security_policy(browser, game, view):
    """Nothing the page loads or runs is refused by its policy: the console
    stays free of violations in the gallery and in the player (playing,
    inspecting and saving)."""
    served = view(game)
    browser.get_log("browser")  # what earlier tests left
    open_page(browser, served, "&folder=anim")
    wait_for(browser, "return kivview.checked && document.querySelectorAll('.card canvas').length > 0")
    browser.get(served.url + "&file=anim/walk.kiv")
    wait_for(browser, "return window.kivview && kivview.mode === 'player' && kivview.ready")
    wait_for(browser, "return kivview.player.anim.frames.every(f => f.plane)")
    hover(browser, -1, -6)
    browser.execute_script("document.getElementById('speed').value = 41; document.getElementById('speed').onchange()")
    browser.find_element("id", "save").click()
    wait_for(browser, "return kivview.lastSave")
    logged = [entry["message"] for entry in browser.get_log("browser")]
    assert not [line for line in logged if "Content Security Policy" in line or "Refused to" in line], logged


def test_the_page_keeps_edits_within_the_ranges_the_server_sends(browser, game, view):
    served = view(game / "anim" / "walk.kiv")
    limits = json.loads(served.request("GET", "/api/session")[2])["limits"]
    assert limits == {"speed": [0, _core.SPEED_MAX], "offset": [_core.OFFSET_MIN, _core.OFFSET_MAX]}
    open_page(browser, served)
    browser.find_element("id", "play").click()  # paused: nothing redraws the far-moved frames
    speed = "const s = document.getElementById('speed'); s.value = arguments[0]; s.onchange(); return kivview.player.anim.speed"
    assert browser.execute_script(speed, _core.SPEED_MAX + 1) == SPEED  # refused: the field shows the speed again
    assert browser.execute_script("return document.getElementById('speed').value") == str(SPEED)
    assert browser.execute_script(speed, _core.SPEED_MAX) == _core.SPEED_MAX
    assert browser.execute_script("return document.getElementById('speed').max") == str(_core.SPEED_MAX)
    # (moved without redrawing: a canvas that wide is more than the browser makes)
    browser.execute_script("kivview.player.move([0], 1 << 20, -(1 << 20))")
    assert offsets(browser)[0] == [_core.OFFSET_MAX, _core.OFFSET_MIN]
    browser.execute_script("kivview.player.saved = kivview.player.state()")  # let the next test leave the page


def test_the_player_gets_both_plans_of_the_shadows(tmp_path):
    """The page switches between shadows drawn under and shadows as steps of
    their own: the two plans must differ where the file has a shadow."""
    from kivtool.animation import SHADOW, load_animation
    from kivtool.sample import write_sample
    from kivtool.view.loads import step_plans

    animation = load_animation(write_sample(tmp_path)[0])
    shadows = {frame.index for frame in animation.frames if frame.kind == SHADOW}
    assert shadows
    plans = step_plans(animation)
    assert shadows <= {step["index"] for step in plans["steps"]}
    assert not shadows & {step["index"] for step in plans["under"]}
    assert all(shadows & set(step["under"]) for step in plans["under"])


@pytest.mark.skipif(sys.platform == "win32", reason="names as bytes, named pipes: POSIX")
def test_gallery_opens_every_name_shows_warnings_and_the_root(browser, game, view):
    frames, background = scene_frames()
    data = animation_bytes(frames, LOCATION, SPEED, background)
    odd = b"caf\xe9 new\nline back\\slash.kiv"
    with open(os.path.join(os.fsencode(game / "anim"), odd), "wb") as stream:
        stream.write(data)
    (game / "anim" / "cut.kiv").write_bytes(data[:-20])
    os.mkfifo(game / "anim" / "pipe.kiv")
    served = view(game)
    open_page(browser, served)
    wait_for(browser, "return kivview.checked && document.querySelectorAll('.card canvas').length === 3")
    assert browser.find_element("id", "root").text == str(game.resolve())
    listed = dict(
        browser.execute_script(
            "return [...document.querySelectorAll('#failure-list li')].map(li => [li.dataset.path, li.textContent])"
        )
    )
    assert list(listed) == ["anim/pipe.kiv"] and "named pipe" in listed["anim/pipe.kiv"]
    warned = browser.execute_script(
        "return [...document.querySelectorAll('.card.warned')].map(c => [c.dataset.path, c.dataset.warnings])"
    )
    assert len(warned) == 1 and warned[0][0] == "anim/cut.kiv" and "cut short" in warned[0][1]
    # The card of the name that is not UTF-8 opens it in the player.
    link = browser.execute_script(
        "return [...document.querySelectorAll('.card')].find(c => c.dataset.path.includes('line')).href"
    )
    browser.get(link)
    wait_for(browser, "return window.kivview && kivview.mode === 'player' && kivview.ready")
    # (as the page writes it in its requests: WebDriver cannot return a lone surrogate)
    assert unquote_to_bytes(browser.execute_script("return kivview.encodePath(kivview.player.rel)")) == b"anim/" + odd
    assert browser.execute_script("return kivview.player.anim.frames.length") == len(frames) + 1


def test_saving_while_the_server_is_gone_says_so_and_keeps_the_edit(browser, game):
    from selenium.webdriver.common.keys import Keys

    served = start_view(game / "anim" / "walk.kiv")
    try:
        open_page(browser, served)
        browser.find_element("id", "play").click()
        browser.execute_script("kivview.player.goTo(0)")
        browser.find_element("tag name", "body").send_keys(Keys.ARROW_RIGHT)
        edited = offsets(browser)
    finally:
        status, _, _ = stop_view(served)
    assert status == 0
    browser.find_element("id", "save").click()
    wait_for(browser, "return kivview.saveFailed")
    notice = browser.find_element("id", "notice")
    assert notice.is_displayed() and "Not saved" in notice.text and "does not answer" in notice.text
    assert browser.execute_script("return kivview.player.dirty")
    assert offsets(browser) == edited
    assert browser.find_element("id", "save").is_enabled()
    browser.execute_script("kivview.player.saved = kivview.player.state()")  # let the next test leave the page


def test_ctrl_s_saves_the_speed_still_being_typed(browser, game, view, capsys):
    from selenium.webdriver.common.keys import Keys

    animation = game / "anim" / "walk.kiv"
    served = view(animation)
    open_page(browser, served)
    speed = browser.find_element("id", "speed")
    # Selected and typed over, as a user does: clear() would leave the
    # field, and the playing page puts the speed back into a field that is
    # not being edited.
    speed.send_keys(Keys.CONTROL + "a")
    speed.send_keys("77")
    speed.send_keys(Keys.CONTROL + "s")  # no Enter, no leaving the field
    wait_for(browser, "return kivview.lastSave")
    capsys.readouterr()
    assert main(["info", str(animation), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["speed"] == 77


def test_a_click_that_focuses_the_stage_on_the_background_selects_nothing(browser, game, view):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    served = view(game / "anim" / "walk.kiv")
    open_page(browser, served)
    browser.find_element("id", "play").click()  # pause; the focus is on the button
    browser.execute_script("kivview.player.goTo(0)")
    start = offsets(browser)
    stage = browser.find_element("id", "stage")
    dx, dy = stage_point(browser, 5, 0)  # the background alone is painted there
    assert browser.execute_script("const h = kivview.player.hit(5, 0); return h && h.index") == 5
    ActionChains(browser).move_to_element_with_offset(stage, int(dx), int(dy)).click().perform()
    assert browser.execute_script("return document.activeElement.id") == "stage"
    assert browser.execute_script("return kivview.player.selected") == 0
    stage.send_keys(Keys.ARROW_RIGHT)
    moved = [list(p) for p in start]
    moved[0][0] += 1
    assert offsets(browser) == moved  # frame 0 moved, not the background


def test_the_palette_picker_previews_another_palette_keeping_edits_and_files(browser, game, outside, view):
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.select import Select

    palette_folder(game, outside)
    animation = game / "anim" / "walk.kiv"
    before = animation.read_bytes()
    served = view(animation, "--root", game)
    open_page(browser, served)
    browser.find_element("id", "play").click()  # pause
    wait_for(browser, "return document.querySelectorAll('#palette-pick option').length === 4")
    options = browser.execute_script("return [...document.querySelectorAll('#palette-pick option')].map(o => o.value)")
    assert options == ["", "pal/Caps.PAL", "pal/other.pal", "pal/view.pal"]
    # An edit made before the switch stays.
    browser.execute_script("kivview.player.goTo(0)")
    start = offsets(browser)
    browser.find_element("tag name", "body").send_keys(Keys.ARROW_RIGHT)
    moved = offsets(browser)
    assert moved != start
    Select(browser.find_element("id", "palette-pick")).select_by_value("pal/other.pal")
    wait_for(browser, "return document.getElementById('palette-label').textContent.includes('pal/other.pal')")
    assert offsets(browser) == moved
    # The frames as the core renders them with that palette, pixel for pixel.
    rgba = browser.execute_script(
        "const out = []; for (const f of kivview.player.anim.frames) out.push(...f.rgba); return out"
    )
    assert bytes(rgba) == core_rgba(animation, game / "pal" / "other.pal")
    # 16 entries drawn; the padding the load adds is not drawn as colours.
    swatches = browser.execute_script(
        "return [...document.querySelectorAll('#palette div')].map(d => [d.className, getComputedStyle(d).backgroundColor])"
    )
    assert [name for name, _ in swatches[:16]] == [""] * 16
    assert all(name == "none" and colour != "rgb(0, 0, 0)" for name, colour in swatches[16:])
    # fps beside the file's speed, with its note.
    assert browser.execute_script("return document.getElementById('fps').closest('#edit-controls') !== null")
    assert "not interpreted" in browser.find_element("id", "speed-note").text
    assert animation.read_bytes() == before
