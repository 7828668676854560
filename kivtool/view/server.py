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
- a file is named by its path relative to ROOT, in the URL's path; `..`,
  `.`, empty parts, absolute paths, backslashes and encoded separators are
  refused, and so is a path that leads out of ROOT through a link.

Only animation files and the palettes their loads use are read; only
animation files are written, and only their placement (frame offsets and
speed) changes.
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
from typing import Any, Awaitable, Callable, Dict, List, Optional, Tuple

from kivtool.animation import Animation
from kivtool.view import source

SUFFIX = ".kiv"
STATIC = Path(__file__).parent / "static"
STATIC_FILES = {"view.js": "text/javascript", "view.css": "text/css"}
MAX_BODY = 4 << 20  # a save names two numbers per frame; this holds hundreds of thousands
# RGBA of all frames of one animation: what the page is sent and the server
# keeps for it (a few such loads are kept).
MAX_PIXEL_BYTES = 256 << 20
LOADS_KEPT = 6  # animations kept loaded, pixels included
STATUS_BATCH = 200
SPEED_RANGE = (0, 0xFFFFFFFF)
OFFSET_RANGE = (-0x8000, 0x7FFF)


# Held while a save writes, so that stopping the server waits for it.
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


def is_inside(root: str, path: str) -> bool:
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def relative(root: str, path: str) -> str:
    rel = os.path.relpath(path, root)
    return "" if rel == "." else rel.replace(os.sep, "/")


def palette_root(animation: str, location: str, palette_used: str) -> Optional[str]:
    """The folder above `animation` under which the palette search found its
    palette: the nearest one where `location` leads to `palette_used`."""
    if not location or not palette_used:
        return None
    used = os.path.realpath(palette_used)
    folder = os.path.dirname(os.path.abspath(animation))
    while True:
        if os.path.realpath(os.path.join(folder, location)) == used:
            return folder
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def first_animation(folder: str) -> Optional[str]:
    for directory, subfolders, names in os.walk(folder):
        subfolders.sort()
        for name in sorted(names):
            if name.lower().endswith(SUFFIX) and os.path.isfile(os.path.join(directory, name)):
                return os.path.join(directory, name)
    return None


def prepare(path: Path, root: Optional[Path], palette: Optional[Path]) -> Settings:
    """What the server may reach for `kivtool view PATH --root ROOT --palette PAL`."""
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
        probe = first_animation(real) if is_folder else real
        if probe is not None and not explicit:
            try:
                outcome = source.load(probe)
            except OSError:
                outcome = None
            if outcome is not None and outcome.animation is not None:
                animation = outcome.animation
                found = palette_root(probe, animation.location or "", animation.palette_path or "")
                if found is not None and is_inside(found, top):
                    top = found
    return Settings(
        root=top,
        start=relative(top, real),
        start_is_folder=is_folder,
        palette=explicit,
        extra_files=() if is_folder else (real,),
    )


def resolve(settings: Settings, rel: str, *, folder: bool = False, existing: bool = True) -> str:
    """The canonical path of `rel` (relative to ROOT, forward slashes);
    Refused when it names anything outside ROOT or not of the right kind."""
    if "\\" in rel or "\0" in rel or rel.startswith("/") or (len(rel) > 1 and rel[1] == ":"):
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
        if not stat.S_ISREG(mode):
            raise Refused(404, f"{rel}: not a file")
        if not real.lower().endswith(SUFFIX) and real not in settings.extra_files:
            raise Refused(403, f"{rel}: not an animation file")
    return real


def list_animations(settings: Settings, folder: str) -> List[Dict[str, Any]]:
    """Every animation file under `folder` (canonical), in a stable order.
    Links to folders are not followed (no loops, and every folder walked is
    under ROOT); a link to a file outside ROOT is listed with the reason it
    is not shown."""
    found: List[Dict[str, Any]] = []
    pending = [folder]
    while pending:
        directory = pending.pop()
        try:
            with os.scandir(directory) as listing:
                items = sorted(listing, key=lambda item: item.name)
        except OSError:
            continue
        subfolders = []
        for item in items:
            if item.is_dir(follow_symlinks=False):
                subfolders.append(item.path)
                continue
            if not item.name.lower().endswith(SUFFIX):
                continue
            entry: Dict[str, Any] = {"path": relative(settings.root, item.path)}
            if item.is_symlink():
                real = os.path.realpath(item.path)
                if not is_inside(settings.root, real):
                    entry["reason"] = "a link to a file outside the root folder"
                elif not os.path.isfile(real):
                    continue
            elif not item.is_file():
                continue
            found.append(entry)
        pending.extend(reversed(subfolders))
    return found


# --------------------------------------------------------------------------
# Loaded animations


class Loads:
    """Recent loads, keyed by the file's identity on disk (so an edited file
    is loaded again) and by the digest of the bytes loaded (so pixels and a
    save refer to exactly the load the page shows)."""

    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.lock = threading.Lock()
        self.recent: OrderedDict[Tuple[str, int, int, int], source.Outcome] = OrderedDict()
        self.reasons: Dict[Tuple[str, int, int, int], Optional[str]] = {}

    def load(self, path: str) -> source.Outcome:
        try:
            info = os.stat(path)
        except OSError as error:
            raise Refused(404, f"cannot read: {error.strerror or error}") from None
        key = (path, info.st_mtime_ns, info.st_size, info.st_ino)
        with self.lock:
            if key in self.recent:
                self.recent.move_to_end(key)
                return self.recent[key]
        # Frames too big to show are refused before they are rendered.
        size = source.pixel_bytes(path)
        if size > MAX_PIXEL_BYTES:
            outcome = source.Outcome(
                None, f"its frames hold {size >> 20} MiB of pixels, more than the viewer shows", "", b""
            )
        else:
            try:
                outcome = source.load(path, self.settings.palette)
            except OSError as error:
                raise Refused(404, f"cannot read: {error.strerror or error}") from None
        if outcome.animation is not None and outcome.reason is None:
            outcome.reason = self.unusable(outcome.animation)
            if outcome.reason is not None:
                outcome.animation = None  # not shown: not kept
        with self.lock:
            self.recent[key] = outcome
            self.reasons[key] = outcome.reason
            while len(self.recent) > LOADS_KEPT:
                self.recent.popitem(last=False)
        return outcome

    def reason(self, path: str) -> Optional[str]:
        """Why `path` cannot be shown, None when it can; remembered."""
        try:
            info = os.stat(path)
        except OSError as error:
            return f"cannot read: {error.strerror or error}"
        key = (path, info.st_mtime_ns, info.st_size, info.st_ino)
        with self.lock:
            if key in self.reasons:
                return self.reasons[key]
        try:
            return self.load(path).reason
        except Refused as refusal:
            return refusal.reason

    def by_digest(self, path: str, digest: str) -> Optional[source.Outcome]:
        with self.lock:
            for (loaded_path, *_), outcome in reversed(self.recent.items()):
                if loaded_path == path and outcome.digest == digest:
                    return outcome
        return None

    def unusable(self, animation: Animation) -> Optional[str]:
        """A load the page cannot show although the module read it."""
        if animation.palette_path and not self.settings.palette:
            used = os.path.realpath(animation.palette_path)
            if not is_inside(self.settings.root, used):
                return f"its palette {used} is outside the root folder (see --root)"
        return None


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


def parse_placement(body: bytes) -> Tuple[str, int, List[Tuple[int, int]], Optional[str]]:
    try:
        request = json.loads(body)
        digest = request["digest"]
        speed = request["speed"]
        offsets = [(pair[0], pair[1]) for pair in request["offsets"]]
        target = request.get("target")
    except (ValueError, KeyError, TypeError, IndexError):
        raise Refused(400, "not a placement: digest, speed and offsets expected") from None
    numbers = [speed] + [value for pair in offsets for value in pair]
    if not isinstance(digest, str) or any(type(value) is not int for value in numbers):
        raise Refused(400, "speed and offsets must be whole numbers")
    if not SPEED_RANGE[0] <= speed <= SPEED_RANGE[1]:
        raise Refused(400, f"speed {speed} does not fit (0 to {SPEED_RANGE[1]})")
    low, high = OFFSET_RANGE
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
            await plain(send, refusal.status, refusal.reason)
            return
        token = query_token(scope)
        if token is not None:
            cookie = f"{self.settings.cookie}={self.settings.token}; HttpOnly; SameSite=Strict; Path=/".encode(
                "latin-1"
            )

            async def send_with_cookie(message: Dict[str, Any]) -> None:
                if message["type"] == "http.response.start":
                    message = dict(message, headers=list(message.get("headers", [])) + [(b"set-cookie", cookie)])
                await send(message)

            await self.app(scope, receive, send_with_cookie)
            return
        await self.app(scope, receive, send)

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
        if b"%2f" in lowered or b"%5c" in lowered or b"%00" in lowered or b"\\" in raw:
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
    from starlette.requests import Request
    from starlette.responses import FileResponse, JSONResponse, Response
    from starlette.routing import Route

    loads = Loads(settings)
    no_store = {"cache-control": "no-store"}

    def refused(refusal: Refused) -> Response:
        return JSONResponse({"reason": refusal.reason}, status_code=refusal.status, headers=no_store)

    def guarded(handler: Callable[[Request], Response]) -> Callable[[Request], Awaitable[Response]]:
        # Loads and saves do file and native work: off the event loop.
        async def endpoint(request: Request) -> Response:
            try:
                return await run_in_threadpool(handler, request)
            except Refused as refusal:
                return refused(refusal)

        return endpoint

    async def page(request: Request) -> Response:
        return FileResponse(STATIC / "index.html", media_type="text/html", headers=no_store)

    async def static(request: Request) -> Response:
        name = request.path_params["name"]
        if name not in STATIC_FILES:
            return refused(Refused(404, "no such file"))
        return FileResponse(STATIC / name, media_type=STATIC_FILES[name], headers=no_store)

    def session(request: Request) -> Response:
        return JSONResponse(
            {
                "root": settings.root,
                "start": settings.start,
                "folder": settings.start_is_folder,
                "palette": settings.palette,
            },
            headers=no_store,
        )

    def listing(request: Request) -> Response:
        rel = request.path_params["rel"]
        folder = resolve(settings, rel, folder=True)
        return JSONResponse({"folder": rel, "files": list_animations(settings, folder)}, headers=no_store)

    def statuses(request: Request) -> Response:
        """Why each file of a stretch of a folder's listing cannot be shown."""
        rel = request.path_params["rel"]
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
        return JSONResponse({"files": files}, headers=no_store)

    def animation(request: Request) -> Response:
        rel = request.path_params["rel"]
        outcome = loads.load(resolve(settings, rel))
        return JSONResponse(describe(settings, rel, outcome), headers=no_store)

    def exact_load(request: Request) -> Animation:
        rel = request.path_params["rel"]
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
        animation = exact_load(request)
        body = b"".join(source.rgba(animation, index) for index in range(len(animation.frames)))
        return Response(body, media_type="application/octet-stream", headers=no_store)

    def indices(request: Request) -> Response:
        animation = exact_load(request)
        body = b"".join(source.indices(animation, index) for index in range(len(animation.frames)))
        return Response(body, media_type="application/octet-stream", headers=no_store)

    async def save(request: Request) -> Response:
        body = bytearray()
        async for chunk in request.stream():
            body += chunk
            if len(body) > MAX_BODY:
                return refused(Refused(413, "request body too large"))
        try:
            return await run_in_threadpool(write_placement, request.path_params["rel"], bytes(body))
        except Refused as refusal:
            return refused(refusal)

    def write_placement(rel: str, body: bytes) -> Response:
        path = resolve(settings, rel)
        digest, speed, offsets, target = parse_placement(body)
        base = loads.by_digest(path, digest)
        if base is None or base.animation is None or base.reason is not None:
            raise Refused(409, f"{rel}: load the file again before saving (the viewer no longer holds it)")
        loaded = base.animation
        if len(offsets) != len(loaded.frames):
            raise Refused(400, f"{len(offsets)} offsets for {len(loaded.frames)} frames")
        if target is None:
            try:
                with open(path, "rb") as stream:
                    current = stream.read()
            except OSError as error:
                raise Refused(500, f"{rel}: cannot read: {error.strerror or error}") from None
            if source.digest(current) != digest:
                return JSONResponse(
                    {"reason": f"{rel}: the file changed on disk since it was loaded", "conflict": True},
                    status_code=409,
                    headers=no_store,
                )
            written_rel, written = rel, path
        else:
            if not target.lower().endswith(SUFFIX):
                raise Refused(400, f"{target}: an animation file's name ends in {SUFFIX}")
            written = resolve(settings, target, existing=False)
            if os.path.lexists(written):
                raise Refused(409, f"{target}: exists already; choose another name")
            if not os.path.isdir(os.path.dirname(written)):
                raise Refused(400, f"{target}: no such folder")
            written_rel, current = target, base.data
        try:
            data = source.patch_placement(current, speed, offsets)
        except ValueError as error:
            raise Refused(400, f"{rel}: {error}") from None
        try:
            with SAVING:
                source.replace_file(written, data)
        except OSError as error:
            raise Refused(500, f"{written_rel}: not saved: {error.strerror or error}") from None
        summary = change_summary(written_rel, loaded, speed, offsets)
        return JSONResponse({"saved": written_rel, "digest": source.digest(data), "summary": summary}, headers=no_store)

    routes = [
        Route("/", page),
        Route("/static/{name}", static),
        Route("/api/session", guarded(session)),
        Route("/api/list/{rel:path}", guarded(listing)),
        Route("/api/statuses/{rel:path}", guarded(statuses)),
        Route("/api/animation/{rel:path}", guarded(animation)),
        Route("/api/rgba/{rel:path}", guarded(rgba)),
        Route("/api/indices/{rel:path}", guarded(indices)),
        Route("/api/save/{rel:path}", save, methods=["POST"]),
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
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
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
    print(f"kivtool view: {settings.url}", flush=True)
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
