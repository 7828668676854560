// Editing the placement: the selected frame (or all of them) moved by
// dragging or by the arrow keys, the speed, undo and redo, and the save
// (with what happens when the file changed on disk meanwhile).

import { encodePath, pageLink, postJSON } from "./api.js";
import { $, clamp, kivview, showNotice } from "./page.js";
import { Player, typing } from "./player.js";

export class Editor extends Player {
  // `limits`: the ranges of the speed and of an offset, as the server
  // sends them ({speed: [low, high], offset: [low, high]}).
  constructor(rel, animation, limits) {
    super(rel, animation);
    this.limits = limits;
    this.digest = animation.meta.digest;
    const state = this.state();
    this.history = [state];
    this.at = 0;
    this.saved = state;
  }

  // Placement as it stands: the part of the file an edit changes.
  state() {
    return { xs: this.anim.xs.slice(), ys: this.anim.ys.slice(), speed: this.anim.speed };
  }

  apply(state) {
    this.anim.xs = state.xs.slice();
    this.anim.ys = state.ys.slice();
    this.anim.speed = state.speed;
    this.anim.placementChanged();
    this.changed();
  }

  commit() {
    const now = this.state();
    const before = this.history[this.at];
    if (sameState(now, before)) return;
    this.history.splice(this.at + 1);
    this.history.push(now);
    this.at++;
    this.changed();
  }

  undo() {
    if (this.at > 0) this.apply(this.history[--this.at]);
  }

  redo() {
    if (this.at < this.history.length - 1) this.apply(this.history[++this.at]);
  }

  get dirty() {
    return !sameState(this.state(), this.saved);
  }

  summary() {
    const now = this.state();
    const moved = [];
    now.xs.forEach((x, i) => {
      const dx = x - this.saved.xs[i], dy = now.ys[i] - this.saved.ys[i];
      if (dx || dy) moved.push([i, dx, dy]);
    });
    const parts = [];
    const sign = (n) => (n >= 0 ? `+${n}` : `${n}`);
    const shifts = new Set(moved.map(([, dx, dy]) => `${dx},${dy}`));
    if (moved.length && moved.length === now.xs.length && shifts.size === 1) {
      parts.push(`all ${moved.length} frames moved by (${sign(moved[0][1])}, ${sign(moved[0][2])})`);
    } else if (moved.length && moved.length <= 4) {
      for (const [i, dx, dy] of moved) parts.push(`frame ${i} moved by (${sign(dx)}, ${sign(dy)})`);
    } else if (moved.length) {
      parts.push(`${moved.length} frames moved`);
    }
    if (now.speed !== this.saved.speed) parts.push(`speed ${this.saved.speed} → ${now.speed}`);
    return parts.join(", ");
  }

  start() {
    $("actions").hidden = false;
    const [low, high] = this.limits.speed;
    $("speed").min = low;
    $("speed").max = high;
    $("speed").value = this.anim.speed;
    return super.start();
  }

  updateLabels() {
    super.updateLabels();
    this.rows.forEach((row, i) => {
      row.classList.toggle("moved", this.anim.xs[i] !== this.saved.xs[i] || this.anim.ys[i] !== this.saved.ys[i]);
    });
    const all = $("move-all").checked;
    $("selected-label").textContent = all ? "moving all frames" : this.selected !== null ? `moving frame ${this.selected}` : "";
    $("undo").disabled = this.at === 0;
    $("redo").disabled = this.at >= this.history.length - 1;
    $("save").disabled = !this.dirty;
    const summary = $("summary");
    if (this.dirty) {
      summary.textContent = `unsaved: ${this.summary()}`;
      summary.className = "dirty";
    } else if (summary.className === "dirty") {
      summary.textContent = "";
      summary.className = "";
    }
    if (document.activeElement !== $("speed")) $("speed").value = this.anim.speed;
  }

  move(indices, dx, dy) {
    const [low, high] = this.limits.offset;
    for (const i of indices) {
      this.anim.xs[i] = clamp(this.anim.xs[i] + dx, low, high);
      this.anim.ys[i] = clamp(this.anim.ys[i] + dy, low, high);
    }
    this.anim.placementChanged();
  }

  targets() {
    if ($("move-all").checked) return this.anim.frames.map((_, i) => i);
    return this.selected === null ? [] : [this.selected];
  }

  async save(target) {
    const now = this.state();
    const request = { digest: this.digest, speed: now.speed, offsets: now.xs.map((x, i) => [x, now.ys[i]]) };
    if (target) request.target = target;
    $("save").disabled = true;
    let answer;
    try {
      answer = await postJSON(`/api/save/${encodePath(this.rel)}`, request);
    } catch (error) {
      // No answer at all: the viewer was stopped, or the network between.
      // The edit stays in this page, unsaved, to save once it answers.
      showNotice("Not saved: the viewer does not answer (was it stopped?). Your changes are still here; save again once it runs.", true);
      kivview.saveFailed = error.message;
      this.updateLabels();
      return;
    }
    const { status, body } = answer;
    if (status === 200) {
      if (target) {
        this.saved = now; // nothing of this page is left unsaved
        location.href = pageLink("file", body.saved);
        return;
      }
      this.saved = now;
      this.digest = body.digest;
      $("notice").hidden = true;
      $("summary").textContent = `saved ${body.summary}`;
      $("summary").className = "saved";
      kivview.lastSave = body;
    } else if (status === 409 && body.conflict) {
      this.offerConflict(body.reason);
    } else {
      showNotice(`Not saved: ${body.reason}`, true);
    }
    this.updateLabels();
  }

  offerConflict(reason) {
    const box = document.createElement("span");
    box.textContent = `${reason}. Saving would overwrite those changes. `;
    const reload = document.createElement("button");
    reload.id = "conflict-reload";
    reload.textContent = "Reload (drop my changes)";
    reload.onclick = () => {
      this.saved = this.state();
      location.reload();
    };
    const saveAs = document.createElement("button");
    saveAs.id = "conflict-save-as";
    saveAs.textContent = "Save under another name…";
    saveAs.onclick = () => {
      const suggestion = this.rel.replace(/(\.[^./]*)?$/, (ext) => `-placed${ext || ".kiv"}`);
      const target = prompt("Save as (a path under the root folder):", suggestion);
      if (target) this.save(target);
    };
    box.append(reload, saveAs);
    showNotice(box, false);
    kivview.conflict = reason;
  }

  pointerMoved() {
    if (!this.drag) return;
    const dx = this.pointer.x - this.drag.x, dy = this.pointer.y - this.drag.y;
    if (dx || dy) {
      this.move(this.drag.indices, dx, dy);
      this.drag.x = this.pointer.x;
      this.drag.y = this.pointer.y;
      this.draw();
      this.updateLabels();
    }
  }

  pressed(event, at, found) {
    if (found && !$("move-all").checked) this.selected = found.index;
    const indices = this.targets();
    if (!indices.length) return;
    this.drag = { x: at.x, y: at.y, indices };
    this.stage.setPointerCapture(event.pointerId);
    this.stage.classList.add("dragging");
    this.updateLabels();
    event.preventDefault();
  }

  wire() {
    super.wire();
    const endDrag = () => {
      if (!this.drag) return;
      this.drag = null;
      this.stage.classList.remove("dragging");
      this.commit();
    };
    this.stage.addEventListener("pointerup", endDrag);
    this.stage.addEventListener("pointercancel", endDrag);
    $("move-all").addEventListener("input", () => this.changed());
    $("speed").onchange = () => this.takeSpeed();
    $("undo").onclick = () => this.undo();
    $("redo").onclick = () => this.redo();
    $("save").onclick = () => this.save();
    window.addEventListener("beforeunload", (event) => {
      if (this.dirty) {
        event.preventDefault();
        event.returnValue = "";
      }
    });
  }

  // The speed typed in its field, as an edit (when it is a valid one).
  takeSpeed() {
    if ($("speed").value.trim() === "") return; // being retyped; the labels restore it once it is left
    const value = Math.floor(Number($("speed").value));
    if (!Number.isFinite(value) || value < this.limits.speed[0] || value > this.limits.speed[1]) {
      $("speed").value = this.anim.speed;
      return;
    }
    if (value === this.anim.speed) return;
    this.anim.speed = value;
    this.commit();
  }

  key(event) {
    const control = event.ctrlKey || event.metaKey;
    if (control && event.key.toLowerCase() === "s") {
      event.preventDefault();
      // A speed still being typed counts: it is what the user sees.
      if (document.activeElement === $("speed")) this.takeSpeed();
      if (this.dirty) this.save();
      return;
    }
    if (typing(event)) return;
    if (control && event.key.toLowerCase() === "z") {
      event.preventDefault();
      if (event.shiftKey) this.redo();
      else this.undo();
      return;
    }
    if (control && event.key.toLowerCase() === "y") {
      event.preventDefault();
      this.redo();
      return;
    }
    if (control || event.altKey) return;
    const arrows = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };
    if (event.key in arrows) {
      event.preventDefault();
      const [dx, dy] = arrows[event.key];
      const by = event.shiftKey ? 10 : 1;
      const indices = this.targets();
      if (!indices.length) return;
      this.playing = false;
      this.move(indices, dx * by, dy * by);
      this.commit();
      return;
    }
    if (event.key === "m" || event.key === "M") this.toggle("move-all");
    else super.key(event);
  }
}

function sameState(a, b) {
  return a.speed === b.speed && a.xs.every((x, i) => x === b.xs[i]) && a.ys.every((y, i) => y === b.ys[i]);
}
