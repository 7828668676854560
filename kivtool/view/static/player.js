// The player: one animation's steps played on the stage around the anchor,
// the frame table, the palette, and the pixel under the pointer. Editing
// (editing.js) builds on it.

import { encodePath, getBytes, getJSON } from "./api.js";
import { $, clamp, showNotice } from "./page.js";

const MARGIN = 8; // pixels of room around the frames, for moving them
const CHECKER = 8; // backdrop squares, in screen pixels

export class Player {
  constructor(rel, animation) {
    this.rel = rel;
    this.anim = animation;
    this.meta = animation.meta;
    this.mode = animation.meta.plans.under ? "under" : "steps";
    this.step = 0;
    this.playing = true;
    this.fps = 10;
    this.zoom = 2;
    this.selected = null;
    this.pointer = null;
    this.drag = null; // a frame being dragged (editing): playing waits for it
    this.baseBox = animation.box();
    this.stage = $("stage");
    this.ctx = this.stage.getContext("2d");
  }

  plan() {
    return this.anim.plan(this.mode);
  }

  currentStep() {
    const plan = this.plan();
    return plan[((this.step % plan.length) + plan.length) % plan.length];
  }

  layers(step) {
    return this.anim.layers(step, $("show-background").checked);
  }

  // Starts playing; false when there is nothing to play (the notice says why).
  start() {
    if (!this.meta.plans.under) {
      $("shadows").querySelector("option[value=under]").disabled = true;
      $("shadows").value = "steps";
      if (this.meta.plans.under_reason) $("shadows").title = this.meta.plans.under_reason;
    }
    if (!this.meta.has_background) $("show-background").disabled = true;
    if (!this.plan().length) {
      showNotice(`${this.rel}: ${this.meta.plans.steps_reason || "nothing to play"}`, true);
      return false;
    }
    this.showMessages();
    const fit = Math.floor((window.innerWidth - 420) / (this.baseBox.width + 2 * MARGIN));
    this.zoom = Math.max(1, Math.min(8, fit));
    $("zoom").value = this.zoom;
    this.buildTable();
    this.buildPalette();
    this.offerPalettes();
    this.wire();
    this.selected = this.currentStep().index;
    this.changed();
    this.lastTick = performance.now();
    requestAnimationFrame((now) => this.tick(now));
    this.warm();
    // The index planes, for the inspector, once the frames play.
    getBytes(`/api/indices/${encodePath(this.rel)}?digest=${this.meta.digest}`)
      .then((bytes) => this.anim.setIndices(bytes))
      .catch(() => {});
    return true;
  }

  tick(now) {
    if (this.playing && !this.drag) {
      const every = 1000 / this.fps;
      if (now - this.lastTick >= every) {
        this.lastTick = now - ((now - this.lastTick) % every);
        this.step = (this.step + 1) % this.plan().length;
        this.selected = this.currentStep().index;
        this.draw();
        this.updateLabels();
      }
    } else {
      this.lastTick = now;
    }
    requestAnimationFrame((t) => this.tick(t));
  }

  goTo(step) {
    const n = this.plan().length;
    this.step = ((step % n) + n) % n;
    this.selected = this.currentStep().index;
    this.draw();
    this.updateLabels();
  }

  // The area shown: the frames as loaded, with room around them, grown to
  // whatever the frames cover now.
  view() {
    const base = this.baseBox;
    let left = base.left - MARGIN, top = base.top - MARGIN;
    let right = base.left + base.width + MARGIN, bottom = base.top + base.height + MARGIN;
    const box = this.anim.box();
    if (box) {
      left = Math.min(left, box.left);
      top = Math.min(top, box.top);
      right = Math.max(right, box.left + box.width);
      bottom = Math.max(bottom, box.top + box.height);
    }
    left = Math.min(left, -MARGIN);
    top = Math.min(top, -MARGIN);
    right = Math.max(right, MARGIN);
    bottom = Math.max(bottom, MARGIN);
    return { left, top, width: right - left, height: bottom - top };
  }

  draw() {
    const view = this.view();
    const z = this.zoom;
    this.shown = view;
    const width = view.width * z, height = view.height * z;
    if (this.stage.width !== width || this.stage.height !== height) {
      this.stage.width = width;
      this.stage.height = height;
    }
    const ctx = this.ctx;
    ctx.imageSmoothingEnabled = false;
    ctx.globalAlpha = 1;
    if ($("backdrop").value === "checker") {
      ctx.fillStyle = this.checker();
      ctx.fillRect(0, 0, width, height);
    } else {
      ctx.fillStyle = $("backdrop-color").value;
      ctx.fillRect(0, 0, width, height);
    }
    const plan = this.plan();
    const step = this.currentStep();
    const composed = this.anim.compose(this.layers(step));
    if (composed) this.blit(composed, view);
    // The onion skin: the frame of the step before, faint, over this one
    // (under it, an opaque background would hide it).
    if ($("show-onion").checked && plan.length > 1) {
      const before = plan[(this.step - 1 + plan.length) % plan.length];
      const ghost = this.anim.compose([before.index]);
      ctx.globalAlpha = 0.4;
      if (ghost) this.blit(ghost, view);
      ctx.globalAlpha = 1;
    }
    const half = 0.5;
    if ($("show-bounds").checked) {
      ctx.lineWidth = 1;
      for (const i of this.layers(step).concat(this.selected !== null ? [this.selected] : [])) {
        const f = this.anim.frames[i];
        if (!f.width || !f.height) continue;
        ctx.strokeStyle = i === this.selected ? "#f0b429" : "#4fc3f7";
        ctx.strokeRect((this.anim.xs[i] - view.left) * z + half, (this.anim.ys[i] - view.top) * z + half, f.width * z - 1, f.height * z - 1);
      }
    }
    if ($("show-anchor").checked) {
      const ax = (0 - view.left) * z, ay = (0 - view.top) * z;
      ctx.lineWidth = 1;
      ctx.strokeStyle = "#ff2d55";
      ctx.beginPath();
      ctx.moveTo(ax - 6 * z, ay + half);
      ctx.lineTo(ax + 6 * z, ay + half);
      ctx.moveTo(ax + half, ay - 6 * z);
      ctx.lineTo(ax + half, ay + 6 * z);
      ctx.stroke();
    }
  }

  checker() {
    if (!this.checkerPattern) {
      const tile = document.createElement("canvas");
      tile.width = tile.height = 2 * CHECKER;
      const t = tile.getContext("2d");
      t.fillStyle = "#b4b4b4";
      t.fillRect(0, 0, 2 * CHECKER, 2 * CHECKER);
      t.fillStyle = "#8a8a8a";
      t.fillRect(CHECKER, 0, CHECKER, CHECKER);
      t.fillRect(0, CHECKER, CHECKER, CHECKER);
      this.checkerPattern = this.ctx.createPattern(tile, "repeat");
    }
    return this.checkerPattern;
  }

  blit(composed, view) {
    const z = this.zoom;
    this.ctx.drawImage(composed.canvas, (composed.box.left - view.left) * z, (composed.box.top - view.top) * z, composed.box.width * z, composed.box.height * z);
  }

  // --- the side panels

  buildTable() {
    const body = $("frames").querySelector("tbody");
    this.rows = this.anim.frames.map((f, i) => {
      const row = document.createElement("tr");
      row.dataset.index = i;
      for (const text of [i, `${f.width} × ${f.height}`, "", "", f.kind]) {
        const cell = document.createElement("td");
        cell.textContent = text;
        row.append(cell);
      }
      row.addEventListener("click", () => {
        const step = this.plan().findIndex((s) => s.index === i);
        if (step >= 0) this.goTo(step);
        this.selected = i;
        this.draw();
        this.updateLabels();
      });
      body.append(row);
      return row;
    });
  }

  showMessages() {
    const lines = [];
    if (this.meta.warnings.length) lines.push(`Warning: ${this.meta.warnings.join("; ")}.`);
    if (this.meta.messages.length) lines.push(`The module reported: ${this.meta.messages.join("; ")}`);
    $("messages").textContent = lines.join(" ");
    $("messages").classList.toggle("warned", this.meta.warnings.length > 0);
  }

  // The palettes under the root folder, offered to preview the frames with.
  offerPalettes() {
    const pick = $("palette-pick");
    this.previewing = 0;
    getJSON("/api/palettes")
      .then((answer) => {
        for (const rel of answer.palettes) {
          const option = document.createElement("option");
          option.value = rel;
          option.textContent = rel;
          pick.append(option);
        }
      })
      .catch(() => {});
    pick.onchange = () => this.preview(pick.value);
  }

  // Shows the frames rendered with the palette `rel` under the root folder
  // ("" for the animation's own). No file changes, and edits stay as they are.
  async preview(rel) {
    const generation = ++this.previewing;
    const query = rel ? `palette=${encodeURIComponent(encodePath(rel))}` : "";
    const digest = this.digest || this.meta.digest;
    try {
      const meta = await getJSON(`/api/animation/${encodePath(this.rel)}${query ? `?${query}` : ""}`);
      if (!meta.ok) throw new Error(meta.reason);
      if (meta.digest !== digest) throw new Error("the file changed on disk since the page loaded it; open it again");
      const rgba = await getBytes(`/api/rgba/${encodePath(this.rel)}?digest=${digest}${query ? `&${query}` : ""}`);
      if (generation !== this.previewing) return;
      this.anim.setRgba(rgba);
      for (const key of ["colors", "color_count", "palette", "warnings", "messages"]) this.meta[key] = meta[key];
      this.buildPalette();
      this.showMessages();
      this.anim.placementChanged();
      this.changed();
      this.palettePicked = rel;
    } catch (error) {
      if (generation !== this.previewing) return;
      $("palette-pick").value = this.palettePicked || "";
      showNotice(`${rel || "its own palette"}: ${error.message}`, true);
    }
  }

  buildPalette() {
    const palette = $("palette");
    palette.replaceChildren();
    this.swatches = [];
    for (let i = 0; i < 256; i++) {
      const swatch = document.createElement("div");
      // Entries past the palette's own count are the load's padding.
      const color = i < this.meta.color_count ? this.meta.colors[i] : null;
      if (color) {
        swatch.style.background = `rgba(${color[0]}, ${color[1]}, ${color[2]}, ${color[3] / 255})`;
        swatch.title = `${i}: ${color.join(", ")}`;
      } else {
        swatch.className = "none";
      }
      palette.append(swatch);
      this.swatches.push(swatch);
    }
    $("palette-label").textContent = `${this.meta.color_count} ${this.meta.color_count === 1 ? "colour" : "colours"} from ${this.meta.palette || "(no palette)"}`;
  }

  updateLabels() {
    const plan = this.plan();
    const step = this.currentStep();
    $("step-label").textContent = `step ${this.step + 1} / ${plan.length}`;
    const shown = new Set(this.layers(step));
    this.rows.forEach((row, i) => {
      row.classList.toggle("shown", shown.has(i));
      row.classList.toggle("selected", i === this.selected);
      row.children[2].textContent = this.anim.xs[i];
      row.children[3].textContent = this.anim.ys[i];
    });
    $("play").textContent = this.playing ? "Pause" : "Play";
    $("zoom-label").textContent = `${this.zoom}×`;
  }

  warm() {
    this.anim.warm(() => this.plan().map((step) => this.layers(step)));
  }

  changed() {
    if (!this.drag) this.warm();
    this.draw();
    this.updateLabels();
    this.inspect();
  }

  // --- the pixel under the pointer

  toAnchor(event) {
    const rect = this.stage.getBoundingClientRect();
    const sx = (event.clientX - rect.left) * (this.stage.width / rect.width);
    const sy = (event.clientY - rect.top) * (this.stage.height / rect.height);
    return { x: Math.floor(sx / this.zoom) + this.shown.left, y: Math.floor(sy / this.zoom) + this.shown.top };
  }

  // The topmost frame of the step with a painted pixel at anchor-relative
  // (x, y): its index and the pixel's place in it.
  hit(x, y) {
    const layers = this.layers(this.currentStep());
    for (let k = layers.length - 1; k >= 0; k--) {
      const i = layers[k];
      const f = this.anim.frames[i];
      const fx = x - this.anim.xs[i], fy = y - this.anim.ys[i];
      if (fx < 0 || fy < 0 || fx >= f.width || fy >= f.height) continue;
      const at = fy * f.width + fx;
      const painted = f.mask ? f.mask[at] : f.rgba[at * 4 + 3] > 0;
      if (painted) return { index: i, fx, fy, at };
    }
    return null;
  }

  inspect() {
    for (const swatch of this.swatches || []) swatch.classList.remove("hot");
    if (!this.pointer) return;
    const { x, y } = this.pointer;
    $("i-anchor").textContent = `${x}, ${y}`;
    const found = this.hit(x, y);
    if (!found) {
      for (const id of ["i-frame", "i-xy", "i-index", "i-rgba"]) $(id).textContent = "–";
      return;
    }
    const f = this.anim.frames[found.index];
    $("i-frame").textContent = `${found.index} (${f.kind})`;
    $("i-xy").textContent = `${found.fx}, ${found.fy}`;
    const p = f.rgba.subarray(found.at * 4, found.at * 4 + 4);
    $("i-rgba").textContent = `${p[0]}, ${p[1]}, ${p[2]}, ${p[3]}`;
    if (f.kind === "shadow") {
      $("i-index").textContent = "none (shadow)";
    } else if (f.plane) {
      const index = f.plane[found.at];
      $("i-index").textContent = `${index}`;
      if (this.swatches[index]) this.swatches[index].classList.add("hot");
    } else {
      $("i-index").textContent = "…";
    }
  }

  wire() {
    const stage = this.stage;
    stage.addEventListener("pointermove", (event) => {
      this.pointer = this.toAnchor(event);
      this.pointerMoved();
      this.inspect();
    });
    stage.addEventListener("pointerleave", () => {
      if (!this.drag) {
        this.pointer = null;
        this.inspect();
      }
    });
    stage.addEventListener("pointerdown", (event) => {
      if (event.button !== 0) return;
      const focusing = document.activeElement !== stage;
      stage.focus();
      const at = this.toAnchor(event);
      const found = this.hit(at.x, at.y);
      // A click that brings the focus to the stage, on the background or on
      // nothing, only focuses it: the background is not selected (the arrow
      // keys would then move it) nor is the selected frame dragged.
      if (focusing && (!found || this.anim.frames[found.index].kind === "background")) {
        event.preventDefault();
        return;
      }
      this.pressed(event, at, found);
    });

    $("play").onclick = () => {
      this.playing = !this.playing;
      this.updateLabels();
    };
    $("back").onclick = () => {
      this.playing = false;
      this.goTo(this.step - 1);
    };
    $("forward").onclick = () => {
      this.playing = false;
      this.goTo(this.step + 1);
    };
    $("fps").onchange = () => {
      this.fps = clamp(Number($("fps").value) || 10, 1, 60);
      $("fps").value = this.fps;
    };
    $("zoom").oninput = () => {
      this.zoom = Number($("zoom").value);
      this.changed();
    };
    for (const id of ["backdrop", "backdrop-color", "show-background", "show-anchor", "show-bounds", "show-onion"]) {
      $(id).addEventListener("input", () => this.changed());
    }
    $("shadows").onchange = () => {
      const index = this.currentStep().index;
      this.mode = $("shadows").value;
      const step = this.plan().findIndex((s) => s.index === index);
      this.step = Math.max(0, step);
      this.changed();
    };
    document.addEventListener("keydown", (event) => this.key(event));
  }

  // The pointer moved over the stage (to this.pointer).
  pointerMoved() {}

  // A press on the stage at `at`, on the frame `found` (null for none).
  pressed(event, at, found) {
    if (!found) return;
    this.selected = found.index;
    this.draw();
    this.updateLabels();
  }

  toggle(id) {
    const box = $(id);
    if (!box.disabled) box.checked = !box.checked;
    this.changed();
  }

  key(event) {
    if (typing(event)) return;
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    switch (event.key) {
      case " ":
        event.preventDefault();
        $("play").click();
        break;
      case ",":
        $("back").click();
        break;
      case ".":
        $("forward").click();
        break;
      case "+":
      case "=":
        this.zoom = Math.min(8, this.zoom + 1);
        $("zoom").value = this.zoom;
        this.changed();
        break;
      case "-":
        this.zoom = Math.max(1, this.zoom - 1);
        $("zoom").value = this.zoom;
        this.changed();
        break;
      case "b":
      case "B":
        this.toggle("show-background");
        break;
      case "a":
      case "A":
        this.toggle("show-anchor");
        break;
      case "f":
      case "F":
        this.toggle("show-bounds");
        break;
      case "o":
      case "O":
        this.toggle("show-onion");
        break;
      case "s":
      case "S":
        if (this.meta.plans.under) {
          $("shadows").value = this.mode === "under" ? "steps" : "under";
          $("shadows").onchange();
        }
        break;
      default:
        break;
    }
  }
}

// A key that goes to a field being typed in (or a list), not to the player.
export function typing(event) {
  const target = event.target;
  const field = target instanceof HTMLInputElement && target.type !== "checkbox" && target.type !== "range";
  return field || target instanceof HTMLSelectElement;
}
