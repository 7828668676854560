"""ROOT and the paths under it: what `kivtool view` may reach.

A file is named by its path relative to ROOT, in the URL's path, each part
percent-encoded bytes of its name; `..`, `.`, empty parts, absolute paths
and encoded separators are refused (and backslashes on Windows, where they
separate), and so is a path that leads out of ROOT through a link.

ROOT is the folder given (or the folder of the file given) unless --root
names another. Only animation files under it are listed, read and written;
the palette search of a load may read a palette above ROOT, which is never
listed nor served as a file.
"""

from __future__ import annotations

import os
import secrets
import stat
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterator, List, Mapping, Optional, Tuple
from urllib.parse import unquote_to_bytes

from kivtool.text import printable
from kivtool.view import source

SUFFIX = ".kiv"
PALETTE_SUFFIX = ".pal"
WINDOWS = sys.platform == "win32"


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
    return encoded_rel(raw[len(head) :])


def encoded_rel(rest: bytes) -> str:
    """The path relative to ROOT written as `rest`: parts separated by `/`,
    each the percent-encoded bytes of a name (as the page writes a path in
    an address, and in a query value once more encoded). Refused for parts
    that are not plain names."""
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


def resolve(settings: Settings, rel: str, *, folder: bool = False, existing: bool = True, suffix: str = SUFFIX) -> str:
    """The canonical path of `rel` (relative to ROOT, forward slashes);
    Refused when it names anything outside ROOT or not of the right kind
    (a file's name ends in `suffix`: an animation's, unless a palette's)."""
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
        if suffix == PALETTE_SUFFIX:
            if not real.lower().endswith(PALETTE_SUFFIX):
                raise Refused(403, f"{rel}: not a palette file")
        elif not real.lower().endswith(suffix) and real not in settings.extra_files:
            raise Refused(403, f"{rel}: not an animation file")
    return real


def files_under(folder: str, suffix: str) -> Iterator["os.DirEntry[str]"]:
    """Every file under `folder` whose name ends in `suffix` (any case), in
    a stable order. Links to folders are not followed (no loops, and every
    folder walked is under ROOT)."""
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
            if item.name.lower().endswith(suffix):
                yield item
        pending.extend(reversed(subfolders))


def list_animations(settings: Settings, folder: str) -> List[Dict[str, Any]]:
    """Every animation file under `folder` (canonical), in a stable order,
    each with the reason it is not shown when that shows from the folder
    alone (a link out of ROOT, a pipe or a device, a file with more than one
    name, a file too large)."""
    found: List[Dict[str, Any]] = []
    for item in files_under(folder, SUFFIX):
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
    return found


def list_palettes(settings: Settings) -> List[str]:
    """Every game palette file under ROOT (told by its content, read safely
    beneath ROOT), relative to ROOT, in a stable order: what the page
    offers to preview an animation with."""
    found = []
    for item in files_under(settings.root, PALETTE_SUFFIX):
        real = os.path.realpath(item.path)
        if is_inside(settings.root, real) and source.palette_reason(settings.root, real) is None:
            found.append(relative(settings.root, item.path))
    return found
