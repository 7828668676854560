"""The viewer's web server: a Starlette application served by uvicorn on
127.0.0.1, and the rules of what a request may reach.

Any web page the user opens can make their browser send requests to
127.0.0.1, so every request is checked before it reaches a handler:

- the `Host` header must name this server (127.0.0.1:PORT or localhost:PORT),
  so that a page of another site cannot reach it under a name of its own
  that resolves to 127.0.0.1;
- the request carries the secret token printed at start, in the URL the
  first time, then in an HttpOnly, SameSite=Strict cookie set by that
  answer (named after the port: cookies are shared by every port of a host);
- changes go by POST only, and a POST must come from this server's own page
  (its `Origin` header); request bodies are bounded;
- a file is named by its path relative to ROOT, in the URL's path, each
  part percent-encoded bytes of its name; `..`, `.`, empty parts, absolute
  paths and encoded separators are refused (and backslashes on Windows,
  where they separate), and so is a path that leads out of ROOT through a
  link.

ROOT is the folder given (or the folder of the file given) unless --root
names another. Only animation files under it are listed, read and written,
and only their placement (frame offsets and speed) changes; the palette
search of a load may read a palette above ROOT, which is never listed nor
served as a file.
"""

from __future__ import annotations

import hmac
import json
import logging
import os
import secrets
import socket
import stat
import subprocess
import sys
import threading
from collections import OrderedDict
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Awaitable, Callable, Dict, List, Mapping, Optional, Tuple
from urllib.parse import unquote_to_bytes

from kivtool import _core
from kivtool.animation import Animation
from kivtool.text import printable
from kivtool.view import source

SUFFIX = ".kiv"
STATIC = Path(__file__).parent / "static"
# The page's files, each served with its type: the entry module (main.js)
# imports the others.
SCRIPTS = ("main.js", "api.js", "animation.js", "gallery.js", "player.js", "editing.js", "page.js")
STATIC_FILES = {"view.css": "text/css", **{name: "text/javascript" for name in SCRIPTS}}
MAX_BODY = 4 << 20  # a save names two numbers per frame; this holds hundreds of thousands
REASONS_KEPT = 100_000  # remembered reasons for the gallery, a few hundred bytes each
STATUS_BATCH = 200


# Held while a save checks the file and writes it (so that two saves of one
# load cannot both pass the check), and so that stopping the server waits
# for a save.
SAVING = threading.Lock()


class ViewError(Exception):
    """A reason the viewer cannot start, for the user."""


class Refused(Exception):
    """A request that is not answered; the text says why."""

    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status = status
        self.reason = reason


@dataclass
class Settings:
    root: str  # canonical
    start: str  # what PATH names, relative to root ("" for root itself)
    start_is_folder: bool
    palette: str = ""  # the palette given on the command line, canonical; "" for none
    token: str = field(default_factory=lambda: secrets.token_urlsafe(24))
    port: int = 0
    extra_files: Tuple[str, ...] = ()  # files named on the command line whatever their suffix

    @property
    def cookie(self) -> str:
        return f"kivtool_view_{self.port}"

    @property
    def origins(self) -> Tuple[str, str]:
        return (f"http://127.0.0.1:{self.port}", f"http://localhost:{self.port}")

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/?token={self.token}"


# --------------------------------------------------------------------------
# ROOT and paths under it

WINDOWS = sys.platform == "win32"


def is_inside(root: str, path: str) -> bool:
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def relative(root: str, path: str) -> str:
    rel = os.path.relpath(path, root)
    return "" if rel == "." else rel.replace(os.sep, "/")


def shown(path: str) -> str:
    """A path as a line of text shows it: bytes that are not UTF-8 as the
    replacement character, control characters escaped."""
    return printable(os.fsencode(path).decode("utf-8", "replace"))


def prepare(path: Path, root: Optional[Path], palette: Optional[Path]) -> Settings:
    """What the server may reach for `kivtool view PATH --root ROOT --palette PAL`.
    ROOT is PATH itself for a folder, else PATH's folder, unless --root
    names another; nothing is loaded to decide it."""
    if not path.exists():
        raise ViewError(f"{path}: no such file or folder")
    is_folder = path.is_dir()
    if not is_folder and not path.is_file():
        raise ViewError(f"{path}: is not an animation file or a folder")
    explicit = ""
    if palette is not None:
        if not palette.is_file():
            raise ViewError(f"{palette}: no such palette file")
        explicit = os.path.realpath(palette)
    real = os.path.realpath(path)
    if root is not None:
        if not root.is_dir():
            raise ViewError(f"{root}: no such folder (--root)")
        top = os.path.realpath(root)
        if not is_inside(top, real):
            raise ViewError(f"{path}: is not under the folder {root} (--root)")
    else:
        top = real if is_folder else os.path.dirname(real)
    return Settings(
        root=top,
        start=relative(top, real),
        start_is_folder=is_folder,
        palette=explicit,
        extra_files=() if is_folder else (real,),
    )


def request_rel(scope: Mapping[str, Any], prefix: str) -> str:
    """The path relative to ROOT that a request names after `prefix`, taken
    from the raw request path: each part is percent-decoded to bytes and
    made a name the way the system makes names (so a name that is not
    UTF-8 comes back whole). Refused for parts that are not plain names."""
    raw = scope.get("raw_path") or scope["path"].encode("utf-8")
    head = prefix.encode("ascii")
    if not raw.startswith(head):
        raise Refused(404, "no such file")
    rest = raw[len(head) :]
    if not rest:
        return ""
    parts = [unquote_to_bytes(part) for part in rest.split(b"/")]
    for part in parts:
        if part in (b"", b".", b"..") or b"\0" in part or b"/" in part:
            raise Refused(403, "not a plain path under the root folder")
        if WINDOWS and (b"\\" in part or b":" in part):
            raise Refused(403, "not a plain path under the root folder")
    try:
        return os.fsdecode(b"/".join(parts))
    except UnicodeError:
        raise Refused(404, "no such file") from None


def resolve(settings: Settings, rel: str, *, folder: bool = False, existing: bool = True) -> str:
    """The canonical path of `rel` (relative to ROOT, forward slashes);
    Refused when it names anything outside ROOT or not of the right kind."""
    if "\0" in rel or rel.startswith("/") or (WINDOWS and ("\\" in rel or ":" in rel)):
        raise Refused(403, f"{rel!r}: not a path relative to the root folder")
    parts = rel.split("/") if rel else []
    if any(part in ("", ".", "..") for part in parts):
        raise Refused(403, f"{rel!r}: not a plain path under the root folder")
    real = os.path.realpath(os.path.join(settings.root, *parts))
    if not is_inside(settings.root, real):
        raise Refused(403, f"{rel}: leads out of the root folder")
    if not existing:
        return real
    try:
        mode = os.stat(real).st_mode
    except OSError:
        raise Refused(404, f"{rel}: no such file") from None
    if folder:
        if not stat.S_ISDIR(mode):
            raise Refused(404, f"{rel}: not a folder")
    else:
        if not real.lower().endswith(SUFFIX) and real not in settings.extra_files:
            raise Refused(403, f"{rel}: not an animation file")
    return real


def list_animations(settings: Settings, folder: str) -> List[Dict[str, Any]]:
    """Every animation file under `folder` (canonical), in a stable order,
    each with the reason it is not shown when that shows from the folder
    alone (a link out of ROOT, a pipe or a device, a file with more than one
    name, a file too large). Links to folders are not followed (no loops,
    and every folder walked is under ROOT)."""
    found: List[Dict[str, Any]] = []
    pending = [folder]
    while pending:
        directory = pending.pop()
        try:
            with os.scandir(directory) as listing:
                items = sorted(listing, key=lambda item: os.fsencode(item.name))
        except OSError:
            continue
        subfolders = []
        for item in items:
            try:
                if item.is_dir(follow_symlinks=False):
                    subfolders.append(item.path)
                    continue
            except OSError:
                pass
            if not item.name.lower().endswith(SUFFIX):
                continue
            entry: Dict[str, Any] = {"path": relative(settings.root, item.path)}
            try:
                if item.is_symlink() and not is_inside(settings.root, os.path.realpath(item.path)):
                    entry["reason"] = "a link to a file outside the root folder"
                else:
                    reason = source.unfit_reason(os.stat(item.path))
                    if reason is not None:
                        entry["reason"] = reason
            except OSError as error:
                entry["reason"] = f"cannot read: {error.strerror or error}"
            found.append(entry)
        pending.extend(reversed(subfolders))
    return found


# --------------------------------------------------------------------------
# Loaded animations


# Kept loads, their file bytes and rendered frames, and the loads under way
# together stay under this.
MEMORY_BUDGET = 1 << 30


class Loads:
    """Recent loads, keyed by the file's path and the digest of its whole
    bytes (so pixels and a save refer to exactly the load the page shows).
    What they hold in memory, with the loads under way, stays under
    MEMORY_BUDGET: the oldest are dropped first, and a load waits while
    others under way would take it over."""

    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.lock = threading.Condition()
        self.recent: OrderedDict[Tuple[str, str], source.Outcome] = OrderedDict()
        self.kept = 0  # cost of the loads in `recent`
        self.under_way = 0  # cost reserved by loads being made
        # Reasons by the file's identity on disk, for the gallery's statuses.
        self.reasons: OrderedDict[Tuple[str, int, int, int, int], Optional[str]] = OrderedDict()

    def load(self, path: str) -> source.Outcome:
        """The load of the file at `path` as it is now: its bytes are read
        once, and the digest, the frames and a later save all come from
        those bytes."""
        try:
            data = source.read(self.settings.root, path)
        except source.Unfit as unfit:
            return source.Outcome(None, str(unfit), "", b"")
        except OSError as error:
            raise Refused(404, f"cannot read: {error.strerror or error}") from None
        file_digest = source.digest(data)
        with self.lock:
            kept = self.recent.get((path, file_digest))
            if kept is not None:
                self.recent.move_to_end((path, file_digest))
                return kept
        # Reserved before the frames are rendered: the bytes read and, at
        # most, the pixels the guard lets through.
        started = source.start(path, data, self.settings.palette)
        reserved = len(data) + min(started.pixels, source.MAX_PIXEL_BYTES)
        self.reserve(reserved)
        try:
            outcome = source.finish(started)
            if outcome.animation is not None:
                outcome.reason = self.unusable(outcome.animation)
                if outcome.reason is not None:
                    outcome.animation = None
        finally:
            with self.lock:
                self.under_way -= reserved
                self.lock.notify_all()
        return self.keep(path, outcome)

    def keep(self, path: str, outcome: source.Outcome) -> source.Outcome:
        if outcome.animation is None:
            outcome.data = b""  # nothing to show, nothing to save: only the reason is kept
            outcome.pixels = 0
        with self.lock:
            key = (path, outcome.digest)
            previous = self.recent.pop(key, None)
            if previous is not None:
                self.kept -= previous.cost
            self.recent[key] = outcome
            self.kept += outcome.cost
            self.trim()
        return outcome

    def reserve(self, cost: int) -> None:
        with self.lock:
            # One load always goes ahead, whatever it costs (the guard
            # bounds it); others wait for room.
            while self.under_way and self.under_way + cost > MEMORY_BUDGET:
                self.lock.wait()
            self.under_way += cost
            self.trim()

    def trim(self) -> None:
        """Drops the oldest loads until all fits (the lock is held)."""
        while self.recent and self.kept + self.under_way > MEMORY_BUDGET:
            _, dropped = self.recent.popitem(last=False)
            self.kept -= dropped.cost

    def loaded_as_saved(self, path: str, data: bytes) -> None:
        """Keeps the load of `data`, just written to `path`, as the page's
        current load of it, so that the page can save again."""
        self.keep(path, source.decode(path, data, self.settings.palette))

    def reason(self, path: str) -> Optional[str]:
        """Why `path` cannot be shown, None when it can; remembered."""
        try:
            info = os.stat(path)
        except OSError as error:
            return f"cannot read: {error.strerror or error}"
        key = (path, info.st_dev, info.st_ino, info.st_mtime_ns, info.st_size)
        with self.lock:
            if key in self.reasons:
                return self.reasons[key]
        try:
            reason = self.load(path).reason
        except Refused as refusal:
            reason = refusal.reason
        with self.lock:
            self.reasons[key] = reason
            while len(self.reasons) > REASONS_KEPT:
                self.reasons.popitem(last=False)
        return reason

    def unusable(self, animation: Animation) -> Optional[str]:
        """A load the page does not show although the module read it: a
        palette outside ROOT that is not a game palette (its colours would
        be the bytes of whatever file the stored location leads to)."""
        if self.settings.palette or not animation.palette_path:
            return None
        used = os.path.realpath(animation.palette_path)
        if is_inside(self.settings.root, used):
            return None
        try:
            size = os.stat(used).st_size
        except OSError as error:
            return f"its palette {used} cannot be read: {error.strerror or error}"
        if size != 4 + 4 * animation.colors:
            return (
                f"its palette location leads to {used}, outside the root folder, "
                "which is not a game palette (its size does not match a palette's)"
            )
        return None

    def by_digest(self, path: str, digest: str) -> Optional[source.Outcome]:
        with self.lock:
            outcome = self.recent.get((path, digest))
            if outcome is not None:
                self.recent.move_to_end((path, digest))
            return outcome


def step_plans(animation: Animation) -> Dict[str, Any]:
    """The steps the page plays, as the animated exports make them: with the
    shadows as steps of their own, and with the shadows drawn under."""
    from kivtool.export import SHADOWS_AS_STEPS, SHADOWS_UNDER, ExportError, plan_steps

    plans: Dict[str, Any] = {}
    for mode, shadows in (("steps", SHADOWS_AS_STEPS), ("under", SHADOWS_UNDER)):
        try:
            plans[mode] = [{"index": step.index, "under": step.under} for step in plan_steps(animation, shadows)]
        except ExportError as error:
            plans[mode] = None
            plans[f"{mode}_reason"] = str(error).split(": ", 1)[-1]
    return plans


def describe(settings: Settings, rel: str, outcome: source.Outcome) -> Dict[str, Any]:
    animation = outcome.animation
    if outcome.reason is not None or animation is None:
        return {"path": rel, "ok": False, "reason": outcome.reason, "digest": outcome.digest}
    palette_used = os.path.realpath(animation.palette_path) if animation.palette_path else ""
    return {
        "path": rel,
        "ok": True,
        "digest": outcome.digest,
        "speed": animation.speed,
        "frame_count": animation.frame_count,
        "has_background": animation.has_background,
        "location": animation.location,
        "palette": relative(settings.root, palette_used) if is_inside(settings.root, palette_used) else palette_used,
        "colors": [list(color) for color in source.colors(animation)],
        "color_count": animation.colors,  # the palette's own count; the load pads the rest
        "warnings": animation.warnings,
        "messages": animation.messages[:20],
        "frames": [
            {
                "index": frame.index,
                "width": frame.width,
                "height": frame.height,
                "x": frame.x_offset,
                "y": frame.y_offset,
                "kind": frame.kind,
            }
            for frame in animation.frames
        ],
        "plans": step_plans(animation),
    }


def change_summary(rel: str, animation: Animation, speed: int, offsets: List[Tuple[int, int]]) -> str:
    moved = [
        (index, x - frame.x_offset, y - frame.y_offset)
        for index, (frame, (x, y)) in enumerate(zip(animation.frames, offsets))
        if (x, y) != (frame.x_offset, frame.y_offset)
    ]
    parts = []
    if moved:
        shifts = {(dx, dy) for _, dx, dy in moved}
        if len(moved) == len(offsets) and len(shifts) == 1:
            dx, dy = shifts.pop()
            parts.append(f"all {len(moved)} frames moved by ({dx:+d}, {dy:+d})")
        elif len(moved) <= 4:
            parts += [f"frame {index} moved by ({dx:+d}, {dy:+d})" for index, dx, dy in moved]
        else:
            parts.append(f"{len(moved)} frames moved")
    if speed != animation.speed:
        parts.append(f"speed {animation.speed} → {speed}")
    return f"{rel}: " + (", ".join(parts) if parts else "nothing changed")


def limits() -> Dict[str, List[int]]:
    """The ranges of the values an edit changes, as the format holds them:
    the page keeps its edits within these."""
    return {"speed": [0, _core.SPEED_MAX], "offset": [_core.OFFSET_MIN, _core.OFFSET_MAX]}


def parse_placement(body: bytes) -> Tuple[str, int, List[Tuple[int, int]], Optional[str]]:
    try:
        request = json.loads(body)
        digest = request["digest"]
        speed = request["speed"]
        offsets = [(pair[0], pair[1]) for pair in request["offsets"]]
        target = request.get("target")
    # RecursionError: arrays nested deeper than the parser goes.
    except (ValueError, KeyError, TypeError, IndexError, RecursionError):
        raise Refused(400, "not a placement: digest, speed and offsets expected") from None
    numbers = [speed] + [value for pair in offsets for value in pair]
    if not isinstance(digest, str) or any(type(value) is not int for value in numbers):
        raise Refused(400, "speed and offsets must be whole numbers")
    if not 0 <= speed <= _core.SPEED_MAX:
        raise Refused(400, f"speed {speed} does not fit (0 to {_core.SPEED_MAX})")
    low, high = _core.OFFSET_MIN, _core.OFFSET_MAX
    if any(not low <= value <= high for value in numbers[1:]):
        raise Refused(400, f"an offset does not fit ({low} to {high})")
    if target is not None and not isinstance(target, str):
        raise Refused(400, "target must be a path")
    return digest, speed, offsets, target


# --------------------------------------------------------------------------
# The application


Scope = Dict[str, Any]
Receive = Callable[[], Awaitable[Dict[str, Any]]]
Send = Callable[[Dict[str, Any]], Awaitable[None]]


class Guard:
    """Checks every request (host, token, method and origin, path encoding,
    body size) before the application sees it."""

    def __init__(self, app: Any, settings: Settings) -> None:
        self.app = app
        self.settings = settings

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            if scope["type"] == "websocket":
                await send({"type": "websocket.close", "code": 1008})
                return
            await self.app(scope, receive, send)
            return
        headers = {name.decode("latin-1").lower(): value.decode("latin-1") for name, value in scope["headers"]}
        refusal = self.check(scope, headers)
        if refusal is not None:
            await plain(secured(send, []), refusal.status, refusal.reason)
            return
        extra: List[Tuple[bytes, bytes]] = []
        if query_token(scope) is not None:
            cookie = f"{self.settings.cookie}={self.settings.token}; HttpOnly; SameSite=Strict; Path=/"
            extra.append((b"set-cookie", cookie.encode("latin-1")))
        await self.app(scope, receive, secured(send, extra))

    def check(self, scope: Scope, headers: Dict[str, str]) -> Optional[Refused]:
        settings = self.settings
        if headers.get("host") not in (f"127.0.0.1:{settings.port}", f"localhost:{settings.port}"):
            return Refused(403, "forbidden: this server answers to 127.0.0.1 and localhost only")
        if not self.has_token(scope, headers):
            return Refused(403, "forbidden: open the address kivtool view printed, with its token")
        method = scope["method"]
        if method not in ("GET", "HEAD", "POST"):
            return Refused(405, "method not allowed")
        if method == "POST" and headers.get("origin") not in settings.origins:
            return Refused(403, "forbidden: changes are accepted from this server's own page only")
        raw = scope.get("raw_path") or scope["path"].encode("utf-8")
        lowered = raw.lower()
        # A backslash is a character of a name on POSIX, a separator on Windows.
        if b"%2f" in lowered or b"%00" in lowered or (WINDOWS and (b"%5c" in lowered or b"\\" in raw)):
            return Refused(403, "forbidden: encoded separators in a path")
        length = headers.get("content-length")
        if length is not None and (not length.isdigit() or int(length) > MAX_BODY):
            return Refused(413, "request body too large")
        return None

    def has_token(self, scope: Scope, headers: Dict[str, str]) -> bool:
        expected = self.settings.token.encode()
        token = query_token(scope)
        if token is not None:
            return hmac.compare_digest(token.encode(), expected)
        for part in headers.get("cookie", "").split(";"):
            name, _, value = part.strip().partition("=")
            if name == self.settings.cookie:
                return hmac.compare_digest(value.encode("latin-1"), expected)
        return False


# What every answer says to the browser: take it as the type it is sent as
# (a body is never guessed into a script or a page), and show it in no
# other site's frame (no page can overlay the editor to steer clicks). The
# page may reach this server only, for its own scripts, styles and API
# calls (the icon is an empty data: address); every other answer may load
# nothing at all.
PAGE_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
)
API_POLICY = "default-src 'none'; frame-ancestors 'none'"


def security_headers(headers: List[Tuple[bytes, bytes]]) -> List[Tuple[bytes, bytes]]:
    """The headers added to an answer with `headers`: the page's policy for
    the HTML page, the API's for everything else."""
    kind = next((value for name, value in headers if name.lower() == b"content-type"), b"")
    policy = PAGE_POLICY if kind.split(b";")[0].strip() == b"text/html" else API_POLICY
    return [(b"x-content-type-options", b"nosniff"), (b"content-security-policy", policy.encode("ascii"))]


def secured(send: Send, extra: List[Tuple[bytes, bytes]]) -> Send:
    """`send` adding the security headers, and `extra`, to the answer's start."""

    async def send_secured(message: Dict[str, Any]) -> None:
        if message["type"] == "http.response.start":
            headers = list(message.get("headers", []))
            message = dict(message, headers=headers + security_headers(headers) + extra)
        await send(message)

    return send_secured


def query_token(scope: Scope) -> Optional[str]:
    from urllib.parse import parse_qs

    values = parse_qs(scope.get("query_string", b"").decode("latin-1")).get("token")
    return values[0] if values else None


async def plain(send: Send, status: int, text: str) -> None:
    body = (text + "\n").encode("utf-8")
    await send(
        {
            "type": "http.response.start",
            "status": status,
            "headers": [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", str(len(body)).encode())],
        }
    )
    await send({"type": "http.response.body", "body": body})


def make_app(settings: Settings) -> Any:
    from starlette.applications import Starlette
    from starlette.concurrency import run_in_threadpool
    from starlette.convertors import Convertor, register_url_convertor
    from starlette.requests import Request
    from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
    from starlette.routing import Route

    class AnyPath(Convertor[str]):
        # Any decoded path, newlines included; the handlers take the name
        # itself from the raw path (see request_rel).
        regex = r"[\s\S]*"

        def convert(self, value: str) -> str:
            return value

        def to_string(self, value: str) -> str:
            return value

    register_url_convertor("anypath", AnyPath())

    class Json(JSONResponse):
        # Names that are not UTF-8 hold lone surrogates: written as \u
        # escapes, which the page reads back into the same code units.
        def render(self, content: Any) -> bytes:
            return json.dumps(content, ensure_ascii=True, allow_nan=False, separators=(",", ":")).encode("ascii")

    loads = Loads(settings)
    no_store = {"cache-control": "no-store"}

    def refused(refusal: Refused) -> Response:
        return Json({"reason": refusal.reason}, status_code=refusal.status, headers=no_store)

    def guarded(handler: Callable[[Request], Response]) -> Callable[[Request], Awaitable[Response]]:
        # Loads and saves do file and native work: off the event loop.
        async def endpoint(request: Request) -> Response:
            try:
                return await run_in_threadpool(handler, request)
            except Refused as refusal:
                return refused(refusal)

        return endpoint

    def rel_of(request: Request) -> str:
        kind = request.url.path.split("/")[2]
        return request_rel(request.scope, f"/api/{kind}/")

    async def page(request: Request) -> Response:
        return FileResponse(STATIC / "index.html", media_type="text/html", headers=no_store)

    async def static(request: Request) -> Response:
        name = request.path_params["name"]
        if name not in STATIC_FILES:
            return refused(Refused(404, "no such file"))
        return FileResponse(STATIC / name, media_type=STATIC_FILES[name], headers=no_store)

    def session(request: Request) -> Response:
        return Json(
            {
                "root": settings.root,
                "start": settings.start,
                "folder": settings.start_is_folder,
                "palette": settings.palette,
                "limits": limits(),
            },
            headers=no_store,
        )

    def listing(request: Request) -> Response:
        rel = rel_of(request)
        folder = resolve(settings, rel, folder=True)
        return Json({"folder": rel, "files": list_animations(settings, folder)}, headers=no_store)

    def statuses(request: Request) -> Response:
        """Why each file of a stretch of a folder's listing cannot be shown."""
        rel = rel_of(request)
        folder = resolve(settings, rel, folder=True)
        try:
            start = int(request.query_params.get("start", "0"))
            count = min(STATUS_BATCH, int(request.query_params.get("count", str(STATUS_BATCH))))
        except ValueError:
            raise Refused(400, "start and count must be whole numbers") from None
        files = list_animations(settings, folder)[max(0, start) : max(0, start) + max(0, count)]
        for entry in files:
            if "reason" not in entry:
                entry["reason"] = loads.reason(os.path.join(settings.root, *entry["path"].split("/")))
        return Json({"files": files}, headers=no_store)

    def animation(request: Request) -> Response:
        rel = rel_of(request)
        outcome = loads.load(resolve(settings, rel))
        return Json(describe(settings, rel, outcome), headers=no_store)

    def exact_load(request: Request) -> Animation:
        rel = rel_of(request)
        path = resolve(settings, rel)
        digest = request.query_params.get("digest", "")
        outcome = loads.by_digest(path, digest)
        if outcome is None:
            outcome = loads.load(path)
            if outcome.digest != digest:
                raise Refused(409, f"{rel}: the file changed since the page loaded it")
        if outcome.reason is not None or outcome.animation is None:
            raise Refused(422, f"{rel}: {outcome.reason}")
        return outcome.animation

    def rgba(request: Request) -> Response:
        # Frame by frame: a request holds one frame's copy at a time.
        animation = exact_load(request)
        return StreamingResponse(source.all_rgba(animation), media_type="application/octet-stream", headers=no_store)

    def indices(request: Request) -> Response:
        animation = exact_load(request)
        return StreamingResponse(source.all_indices(animation), media_type="application/octet-stream", headers=no_store)

    async def save(request: Request) -> Response:
        body = bytearray()
        async for chunk in request.stream():
            body += chunk
            if len(body) > MAX_BODY:
                return refused(Refused(413, "request body too large"))
        try:
            return await run_in_threadpool(write_placement, rel_of(request), bytes(body))
        except Refused as refusal:
            return refused(refusal)

    def write_placement(rel: str, body: bytes) -> Response:
        path = resolve(settings, rel)
        digest, speed, offsets, target = parse_placement(body)
        if target is not None:
            if not target.lower().endswith(SUFFIX):
                raise Refused(400, f"{target}: an animation file's name ends in {SUFFIX}")
            written_rel, written = target, resolve(settings, target, existing=False)
        else:
            written_rel, written = rel, path
        # The check that the file is still the one the page loaded, and the
        # write, under one lock: two saves of one load cannot both pass.
        with SAVING:
            base = loads.by_digest(path, digest)
            if base is None or base.animation is None or base.reason is not None:
                raise Refused(409, f"{rel}: load the file again before saving (the viewer no longer holds it)")
            loaded = base.animation
            if len(offsets) != len(loaded.frames):
                raise Refused(400, f"{len(offsets)} offsets for {len(loaded.frames)} frames")
            if target is None:
                try:
                    current = source.read(settings.root, path)
                except source.Unfit as unfit:
                    raise Refused(409, f"{rel}: not saved: it {unfit}") from None
                except OSError as error:
                    raise Refused(500, f"{rel}: cannot read: {error.strerror or error}") from None
                if source.digest(current) != digest:
                    return Json(
                        {"reason": f"{rel}: the file changed on disk since it was loaded", "conflict": True},
                        status_code=409,
                        headers=no_store,
                    )
            else:
                if os.path.lexists(written):
                    raise Refused(409, f"{target}: exists already; choose another name")
                if not os.path.isdir(os.path.dirname(written)):
                    raise Refused(400, f"{target}: no such folder")
                current = base.data
            try:
                data = source.patch_placement(loaded, speed, offsets)
            except ValueError as error:
                raise Refused(400, f"{rel}: {error}") from None
            del current
            try:
                source.replace_file(settings.root, written, data)
            except OSError as error:
                raise Refused(500, f"{written_rel}: not saved: {error.strerror or error}") from None
            if target is None:
                # What was written is what the page now holds: its next
                # save compares against these bytes.
                loads.loaded_as_saved(path, data)
        summary = change_summary(written_rel, loaded, speed, offsets)
        return Json({"saved": written_rel, "digest": source.digest(data), "summary": summary}, headers=no_store)

    routes = [
        Route("/", page),
        Route("/static/{name}", static),
        Route("/api/session", guarded(session)),
        Route("/api/list/{rel:anypath}", guarded(listing)),
        Route("/api/statuses/{rel:anypath}", guarded(statuses)),
        Route("/api/animation/{rel:anypath}", guarded(animation)),
        Route("/api/rgba/{rel:anypath}", guarded(rgba)),
        Route("/api/indices/{rel:anypath}", guarded(indices)),
        Route("/api/save/{rel:anypath}", save, methods=["POST"]),
    ]
    return Guard(Starlette(routes=routes), settings)


# --------------------------------------------------------------------------
# Running


# The server library's messages go to standard error, warnings and worse
# only: standard output carries the address line alone.
LOGGING: Dict[str, Any] = {
    "version": 1,
    "disable_existing_loggers": False,
    "formatters": {"plain": {"format": "kivtool view: %(message)s"}},
    "handlers": {"stderr": {"class": "logging.StreamHandler", "formatter": "plain", "stream": "ext://sys.stderr"}},
    "loggers": {
        name: {"handlers": ["stderr"], "level": "WARNING", "propagate": False}
        for name in ("uvicorn", "uvicorn.error", "uvicorn.access")
    },
}


def listen(port: int) -> socket.socket:
    # Made as TCP by name: the event loop sets TCP_NODELAY on the
    # connections of a socket whose protocol is IPPROTO_TCP only, and
    # without it every keep-alive request waits for delayed ACKs.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    try:
        sock.bind(("127.0.0.1", port))
        # Listening before the address is printed: a browser that comes
        # at once waits in the queue instead of being turned away.
        sock.listen(128)
    except OSError as error:
        sock.close()
        raise ViewError(f"port {port}: cannot listen on 127.0.0.1: {error.strerror or error}") from None
    return sock


def open_browser(url: str) -> bool:
    """Opens `url` in a graphical browser; False when there is none to open
    (no display). Never a browser that would take over the terminal."""
    if sys.platform == "win32":
        os.startfile(url)  # type: ignore[attr-defined,unused-ignore]
        return True
    if sys.platform == "darwin":
        commands = [["open", url]]
    else:
        if not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
            return False
        commands = [
            [name, url]
            for name in ("xdg-open", "x-www-browser", "firefox", "chromium", "chromium-browser", "google-chrome")
        ]
    for command in commands:
        try:
            subprocess.Popen(
                command,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                start_new_session=True,
            )
            return True
        except OSError:
            continue
    return False


def serve(settings: Settings, port: int, browser: bool) -> int:
    """Serves until interrupted; returns the exit status."""
    import uvicorn

    sock = listen(port)
    settings.port = sock.getsockname()[1]
    config = uvicorn.Config(
        make_app(settings),
        log_config=LOGGING,
        log_level="warning",
        access_log=False,
        lifespan="off",
        server_header=False,
        timeout_graceful_shutdown=1,
    )
    server = uvicorn.Server(config)
    # Requests cut short by Ctrl-C are cancelled; that is no error to report.
    logging.getLogger("uvicorn.error").addFilter(lambda record: not server.should_exit)
    print(f"kivtool view: {settings.url} (root folder: {shown(settings.root)})", flush=True)
    if browser and not open_browser(settings.url):
        print("kivtool view: no graphical display; open the address above in a browser", file=sys.stderr)
    try:
        server.run(sockets=[sock])
    except KeyboardInterrupt:
        pass
    finally:
        sock.close()
    # A load still running in a worker thread cannot be stopped, and the
    # interpreter would wait for it at exit. Saves are waited for (a save
    # replaces its file in one step, so it is never left half written);
    # then the process ends without waiting for the rest.
    if SAVING.acquire(timeout=10):
        SAVING.release()
    main = threading.main_thread()
    if any(thread.is_alive() and not thread.daemon and thread is not main for thread in threading.enumerate()):
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)
    return 0
