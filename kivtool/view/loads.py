"""The viewer's loads and saves: the loads it keeps, within a memory
budget, keyed by the digest of the bytes they were made from, what the page
is told of each, and a save's check and write (only the placement changes,
and only of the file exactly as the page loaded it).
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

from kivtool.animation import Animation
from kivtool.export import SHADOWS_AS_STEPS, SHADOWS_UNDER, ExportError, plan_steps
from kivtool.view import source
from kivtool.view.paths import SUFFIX, Refused, Settings, is_inside, relative, resolve

REASONS_KEPT = 100_000  # remembered reasons for the gallery, a few hundred bytes each


# Held while a save checks the file and writes it (so that two saves of one
# load cannot both pass the check), and so that stopping the server waits
# for a save.
SAVING = threading.Lock()


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
        # Keyed by (path, digest, palette): the palette the page chose to
        # preview with ("" for the one the load finds or --palette gives).
        self.recent: OrderedDict[Tuple[str, str, str], source.Outcome] = OrderedDict()
        self.kept = 0  # cost of the loads in `recent`
        self.under_way = 0  # cost reserved by loads being made
        # Reasons by the file's identity on disk, for the gallery's statuses.
        self.reasons: OrderedDict[Tuple[str, int, int, int, int], Optional[str]] = OrderedDict()

    def load(self, path: str, palette: str = "") -> source.Outcome:
        """The load of the file at `path` as it is now: its bytes are read
        once, and the digest, the frames and a later save all come from
        those bytes. `palette` (canonical, checked) renders it with that
        palette instead of its own; the file is not changed."""
        try:
            data = source.read(self.settings.root, path)
        except source.Unfit as unfit:
            return source.Outcome(None, str(unfit), "", 0)
        except OSError as error:
            raise Refused(404, f"cannot read: {error.strerror or error}") from None
        file_digest = source.digest(data)
        key = (path, file_digest, palette)
        with self.lock:
            kept = self.recent.get(key)
            if kept is not None:
                self.recent.move_to_end(key)
                return kept
        # Reserved before the frames are rendered: the bytes read and, at
        # most, the pixels the guard lets through.
        # While the object is made the bytes read are held twice (here and
        # in the object); once made, only the object's copy is kept.
        started = source.start(path, data, palette or self.settings.palette, file_digest)
        reserved = 2 * len(data) + min(started.pixels, source.MAX_PIXEL_BYTES)
        del data
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
        return self.keep(path, outcome, palette)

    def keep(self, path: str, outcome: source.Outcome, palette: str = "") -> source.Outcome:
        if outcome.animation is None:
            outcome.size = 0  # nothing to show, nothing to save: only the reason is kept
            outcome.pixels = 0
        with self.lock:
            key = (path, outcome.digest, palette)
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

    def by_digest(self, path: str, digest: str, palette: Optional[str] = "") -> Optional[source.Outcome]:
        """The kept load of `path` made from the bytes with `digest`, with
        `palette` ("" for its own); with None, with any palette (a save
        patches the same bytes whatever palette the page previews)."""
        with self.lock:
            keys = [(path, digest, palette)] if palette is not None else [(path, digest, "")]
            if palette is None:
                keys += [key for key in self.recent if key[:2] == (path, digest) and key[2]]
            for key in keys:
                outcome = self.recent.get(key)
                if outcome is not None:
                    self.recent.move_to_end(key)
                    return outcome
            return None

    def exact(self, rel: str, path: str, digest: str, palette: str = "") -> Animation:
        """The load of `path` (`rel` under ROOT) made from the bytes with
        `digest` (rendered with `palette`, "" for its own): kept, or made
        again while the file still holds them; Refused when it no longer
        does or that load cannot be shown."""
        outcome = self.by_digest(path, digest, palette)
        if outcome is None:
            outcome = self.load(path, palette)
            if outcome.digest != digest:
                raise Refused(409, f"{rel}: the file changed since the page loaded it")
        if outcome.reason is not None or outcome.animation is None:
            raise Refused(422, f"{rel}: {outcome.reason}")
        return outcome.animation


def step_plans(animation: Animation) -> Dict[str, Any]:
    """The steps the page plays, as the animated exports make them: with the
    shadows as steps of their own, and with the shadows drawn under."""
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


class Changed(Refused):
    """A save refused because the file changed on disk since the page
    loaded it: the page offers to reload it or to save under another name."""

    def __init__(self, reason: str) -> None:
        super().__init__(409, reason)


@dataclass
class Saved:
    rel: str  # the file written, relative to ROOT
    digest: str  # of the bytes written
    summary: str  # what changed, in words


def save_placement(
    settings: Settings,
    loads: Loads,
    rel: str,
    digest: str,
    speed: int,
    offsets: List[Tuple[int, int]],
    target: Optional[str],
) -> Saved:
    """Writes the load of `rel` that has `digest` with a new speed and new
    frame offsets: over the file itself when it is still exactly what was
    loaded, or as `target` (relative to ROOT, a new file). Refused (Changed
    for a file changed on disk) when it cannot."""
    path = resolve(settings, rel)
    if target is not None:
        if not target.lower().endswith(SUFFIX):
            raise Refused(400, f"{target}: an animation file's name ends in {SUFFIX}")
        written_rel, written = target, resolve(settings, target, existing=False)
    else:
        written_rel, written = rel, path
    # The check that the file is still the one the page loaded, and the
    # write, under one lock: two saves of one load cannot both pass.
    with SAVING:
        base = loads.by_digest(path, digest, None)
        if base is None or base.animation is None or base.reason is not None:
            raise Refused(409, f"{rel}: load the file again before saving (the viewer no longer holds it)")
        loaded = base.animation
        if len(offsets) != len(loaded.frames):
            raise Refused(400, f"{len(offsets)} offsets for {len(loaded.frames)} frames")
        if target is None:
            if on_disk_digest(settings, rel, path) != digest:
                raise Changed(f"{rel}: the file changed on disk since it was loaded")
        else:
            if os.path.lexists(written):
                raise Refused(409, f"{target}: exists already; choose another name")
            if not os.path.isdir(os.path.dirname(written)):
                raise Refused(400, f"{target}: no such folder")
        try:
            data = source.patch_placement(loaded, speed, offsets)
        except ValueError as error:
            raise Refused(400, f"{rel}: {error}") from None
        try:
            source.replace_file(settings.root, written, data)
        except OSError as error:
            raise Refused(500, f"{written_rel}: not saved: {error.strerror or error}") from None
        if target is None:
            # What was written is what the page now holds: its next
            # save compares against these bytes.
            loads.loaded_as_saved(path, data)
    return Saved(written_rel, source.digest(data), change_summary(written_rel, loaded, speed, offsets))


def on_disk_digest(settings: Settings, rel: str, path: str) -> str:
    """The digest of the file at `path` as it is now on disk."""
    try:
        return source.digest(source.read(settings.root, path))
    except source.Unfit as unfit:
        raise Refused(409, f"{rel}: not saved: it {unfit}") from None
    except OSError as error:
        raise Refused(500, f"{rel}: cannot read: {error.strerror or error}") from None
