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
- a file is named by its path relative to ROOT, and nothing outside ROOT
  is reached (kivtool.view.paths);
- every answer tells the browser to take it as the type it is sent as and
  to show it in no other site's frame, and what the page may load.

This module is the web layer: those checks and the routes. What a route
loads and saves is kivtool.view.loads's.
"""

from __future__ import annotations

import hmac
import json
import logging
import os
import socket
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any, Awaitable, Callable, Dict, List, Optional, Tuple
from urllib.parse import parse_qs

from kivtool import _core
from kivtool.animation import Animation
from kivtool.view import source
from kivtool.view.loads import SAVING, Changed, Loads, describe, save_placement
from kivtool.view.paths import (
    PALETTE_SUFFIX,
    WINDOWS,
    Refused,
    Settings,
    encoded_rel,
    list_animations,
    list_palettes,
    request_rel,
    resolve,
    shown,
)

# What `kivtool view` starts the server with (prepare; ViewError for the user).
from kivtool.view.paths import ViewError as ViewError
from kivtool.view.paths import prepare as prepare

STATIC = Path(__file__).parent / "static"
# The page's files, each served with its type: the entry module (main.js)
# imports the others.
SCRIPTS = ("main.js", "api.js", "animation.js", "gallery.js", "player.js", "editing.js", "page.js")
STATIC_FILES = {"view.css": "text/css", **{name: "text/javascript" for name in SCRIPTS}}
MAX_BODY = 4 << 20  # a save names two numbers per frame; this holds hundreds of thousands
STATUS_BATCH = 200


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
        answer: Dict[str, Any] = {"reason": refusal.reason}
        if isinstance(refusal, Changed):
            answer["conflict"] = True  # the page offers to reload or to save under another name
        return Json(answer, status_code=refusal.status, headers=no_store)

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

    def chosen_palette(request: Request) -> str:
        """The palette the page previews with (`palette=`, a path under
        ROOT written as the page writes paths): canonical, and a game
        palette by its content; "" for the animation's own."""
        value = request.query_params.get("palette", "")
        if not value:
            return ""
        rel = encoded_rel(value.encode("utf-8", "surrogateescape"))
        path = resolve(settings, rel, suffix=PALETTE_SUFFIX)
        reason = source.palette_reason(settings.root, path)
        if reason is not None:
            raise Refused(422, f"{rel}: {reason}")
        return path

    def palettes(request: Request) -> Response:
        return Json({"palettes": list_palettes(settings)}, headers=no_store)

    def animation(request: Request) -> Response:
        rel = rel_of(request)
        outcome = loads.load(resolve(settings, rel), chosen_palette(request))
        return Json(describe(settings, rel, outcome), headers=no_store)

    def exact_load(request: Request) -> Animation:
        rel = rel_of(request)
        digest = request.query_params.get("digest", "")
        return loads.exact(rel, resolve(settings, rel), digest, chosen_palette(request))

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
        digest, speed, offsets, target = parse_placement(body)
        saved = save_placement(settings, loads, rel, digest, speed, offsets, target)
        return Json({"saved": saved.rel, "digest": saved.digest, "summary": saved.summary}, headers=no_store)

    routes = [
        Route("/", page),
        Route("/static/{name}", static),
        Route("/api/session", guarded(session)),
        Route("/api/palettes", guarded(palettes)),
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
