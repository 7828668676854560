// kivtool view: the gallery of a folder and the player and placement editor
// of one animation. Plain JavaScript, no build step, nothing from the network.
//
// The server sends each frame as the module rendered it (RGBA, 4 bytes a
// pixel) and its index plane; this page places the frames around the
// common anchor the way `kivtool export --as placed` does, with the same
// integer arithmetic as its compositor, so that the pixels it draws from
// equal the exported ones byte for byte.
"use strict";

const MARGIN = 8; // pixels of room around the frames, for moving them
const CHECKER = 8; // backdrop squares, in screen pixels

const $ = (id) => document.getElementById(id);

// Test and benchmark hooks: the state of the page as numbers and bytes.
const kivview = { mode: null, ready: false, playingAt: null, firstPreviewsAt: null };
window.kivview = kivview;

// --------------------------------------------------------------------------
// Server

// A path relative to the root folder, in a URL: each part percent-encoded.
// A name that is not valid UTF-8 comes from the server with each byte that
// is not part of a character as a lone U+DC80 + byte (as the system's own
// names do in Python); that goes back as the byte itself, so that every
// listed name can be opened.
function encodePath(rel) {
  const part = (text) => {
    let out = "";
    for (const ch of text) {
      const code = ch.charCodeAt(0);
      if (ch.length === 1 && code >= 0xdc80 && code <= 0xdcff) out += `%${(code - 0xdc00).toString(16).toUpperCase()}`;
      else out += encodeURIComponent(ch);
    }
    return out;
  };
  return rel.split("/").map(part).join("/");
}

// The inverse of encodePath: percent-encoded bytes back to the path, bytes
// that are not part of a UTF-8 character as U+DC80 + byte.
function decodePath(encoded) {
  const bytes = [];
  for (let i = 0; i < encoded.length; i++) {
    if (encoded[i] === "%" && /^[0-9a-fA-F]{2}$/.test(encoded.slice(i + 1, i + 3))) {
      bytes.push(parseInt(encoded.slice(i + 1, i + 3), 16));
      i += 2;
    } else {
      for (const b of new TextEncoder().encode(encoded[i])) bytes.push(b);
    }
  }
  const strict = new TextDecoder("utf-8", { fatal: true });
  let text = "";
  for (let i = 0; i < bytes.length; ) {
    const b = bytes[i];
    const length = b < 0x80 ? 1 : b >= 0xc2 && b <= 0xdf ? 2 : b >= 0xe0 && b <= 0xef ? 3 : b >= 0xf0 && b <= 0xf4 ? 4 : 0;
    let ch = null;
    if (length && i + length <= bytes.length) {
      try {
        ch = strict.decode(new Uint8Array(bytes.slice(i, i + length)));
      } catch (error) {
        ch = null;
      }
    }
    if (ch === null) {
      text += String.fromCharCode(0xdc00 + b);
      i += 1;
    } else {
      text += ch;
      i += length;
    }
  }
  return text;
}

// A page address naming a file or a folder: the path as encodePath writes
// it, encoded once more as a query value (which the browser would
// otherwise decode as UTF-8, losing bytes that are not).
function pageLink(key, rel) {
  return `/?${key}=${encodeURIComponent(encodePath(rel))}`;
}

async function getJSON(url) {
  const response = await fetch(url, { credentials: "same-origin" });
  const body = await response.json().catch(() => ({ reason: `${response.status} ${response.statusText}` }));
  if (!response.ok) throw new Error(body.reason || `${response.status}`);
  return body;
}

async function getBytes(url) {
  const response = await fetch(url, { credentials: "same-origin" });
  if (!response.ok) {
    const body = await response.json().catch(() => ({}));
    throw new Error(body.reason || `${response.status} ${response.statusText}`);
  }
  return new Uint8Array(await response.arrayBuffer());
}

async function postJSON(url, data) {
  const response = await fetch(url, {
    method: "POST",
    credentials: "same-origin",
    headers: { "content-type": "application/json" },
    body: JSON.stringify(data),
  });
  const body = await response.json().catch(() => ({ reason: `${response.status} ${response.statusText}` }));
  return { status: response.status, body };
}

// --------------------------------------------------------------------------
// Placing frames on one canvas around the anchor

// The smallest rectangle covering every frame of non-zero size at its
// offset (a 0 x 0 frame's offsets do not widen it).
function canvasBox(frames, xs, ys) {
  let left = Infinity, top = Infinity, right = -Infinity, bottom = -Infinity;
  frames.forEach((f, i) => {
    if (!f.width || !f.height) return;
    left = Math.min(left, xs[i]);
    top = Math.min(top, ys[i]);
    right = Math.max(right, xs[i] + f.width);
    bottom = Math.max(bottom, ys[i] + f.height);
  });
  if (left === Infinity) return null;
  return { left, top, width: right - left, height: bottom - top };
}

// Draws `src` (w x h RGBA) over `out` (box-sized RGBA) at (ox, oy): the
// "over" operator on straight alpha in the integer form Pillow's
// alpha_composite uses (7 fraction bits, division by 255 as shifts), so
// every rounding matches the exported images. Pixels are read and copied
// 32 bits at a time where no blending is needed (byte order R, G, B, A in
// memory: alpha is the top byte on the little-endian machines browsers run on).
function compositeOver(out, outWidth, src, w, h, ox, oy) {
  const out32 = new Uint32Array(out.buffer, out.byteOffset, out.length >> 2);
  const src32 = new Uint32Array(src.buffer, src.byteOffset, src.length >> 2);
  for (let y = 0; y < h; y++) {
    let s = y * w;
    let o = (oy + y) * outWidth + ox;
    for (let x = 0; x < w; x++, s++, o++) {
      const pixel = src32[s];
      const sa = pixel >>> 24;
      if (sa === 0) continue;
      const da = out32[o] >>> 24;
      if (sa === 255 || da === 0) {
        out32[o] = pixel;
        continue;
      }
      const outa255 = sa * 255 + da * (255 - sa);
      const coef1 = Math.floor((sa * 255 * 255 * 128) / outa255);
      const coef2 = 255 * 128 - coef1;
      const sb = s * 4, ob = o * 4;
      for (let c = 0; c < 3; c++) {
        const t = src[sb + c] * coef1 + out[ob + c] * coef2 + (0x80 << 7);
        out[ob + c] = (((t >>> 8) + t) >>> 8) >>> 7;
      }
      const a = outa255 + 0x80;
      out[ob + 3] = ((a >>> 8) + a) >>> 8;
    }
  }
}

class Animation {
  constructor(meta, rgba) {
    this.meta = meta;
    this.frames = [];
    let at = 0;
    for (const f of meta.frames) {
      const size = f.width * f.height * 4;
      this.frames.push({ ...f, rgba: rgba.subarray(at, at + size), plane: null, mask: null });
      at += size;
    }
    this.xs = meta.frames.map((f) => f.x);
    this.ys = meta.frames.map((f) => f.y);
    this.speed = meta.speed;
    this.cache = new Map();
  }

  setIndices(bytes) {
    let at = 0;
    for (const f of this.frames) {
      const size = f.width * f.height;
      f.plane = bytes.subarray(at, at + size);
      f.mask = bytes.subarray(at + size, at + 2 * size);
      at += 2 * size;
    }
  }

  plan(mode) {
    return this.meta.plans[mode] || this.meta.plans.steps || [];
  }

  box() {
    return canvasBox(this.frames, this.xs, this.ys);
  }

  // Frame indices drawn for a step, bottom first.
  layers(step, withBackground) {
    const under = step.under.filter((i) => withBackground || this.frames[i].kind !== "background");
    return [...under, step.index];
  }

  // The step's pixels on the common canvas, as `export --as placed` writes
  // them (for the default layers); kept until the placement changes.
  compose(layers) {
    const key = layers.join(",");
    let hit = this.cache.get(key);
    if (hit) return hit;
    const box = this.box();
    if (!box) return null;
    const data = new Uint8ClampedArray(box.width * box.height * 4);
    for (const i of layers) {
      const f = this.frames[i];
      if (!f.width || !f.height) continue;
      compositeOver(data, box.width, f.rgba, f.width, f.height, this.xs[i] - box.left, this.ys[i] - box.top);
    }
    const canvas = document.createElement("canvas");
    canvas.width = box.width;
    canvas.height = box.height;
    canvas.getContext("2d").putImageData(new ImageData(data, box.width, box.height), 0, 0);
    hit = { box, data, canvas };
    this.cache.set(key, hit);
    return hit;
  }

  placementChanged() {
    this.cache.clear();
  }

  // Places every step of `plan` ahead of time, a few at a time between the
  // browser's other work, so that stepping only draws.
  warm(layersOf) {
    const generation = (this.warming = (this.warming || 0) + 1);
    const steps = layersOf();
    let next = 0;
    const work = () => {
      if (generation !== this.warming) return;
      const until = performance.now() + 8;
      while (next < steps.length && performance.now() < until) this.compose(steps[next++]);
      if (next < steps.length) setTimeout(work, 0);
    };
    setTimeout(work, 0);
  }
}

async function fetchAnimation(rel) {
  const meta = await getJSON(`/api/animation/${encodePath(rel)}`);
  if (!meta.ok) return { meta, animation: null };
  const rgba = await getBytes(`/api/rgba/${encodePath(rel)}?digest=${meta.digest}`);
  return { meta, animation: new Animation(meta, rgba) };
}

function toBase64(bytes) {
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  return btoa(text);
}

function showNotice(html, isError) {
  const notice = $("notice");
  notice.innerHTML = "";
  if (html instanceof Node) notice.append(html);
  else notice.textContent = html;
  notice.classList.toggle("error", !!isError);
  notice.hidden = false;
}

// --------------------------------------------------------------------------
// Gallery

async function showGallery(folder) {
  kivview.mode = "gallery";
  $("gallery").hidden = false;
  $("where").textContent = folder ? `${folder}/` : "(root folder)";
  document.title = `kivtool view: ${folder || "gallery"}`;
  const started = performance.now();
  const listing = await getJSON(`/api/list/${encodePath(folder)}`);
  const cards = $("cards");
  const failures = new Map();
  const byPath = new Map();
  const entries = listing.files.map((file) => {
    const card = document.createElement("a");
    card.className = "card";
    card.href = pageLink("file", file.path);
    card.dataset.path = file.path;
    const thumb = document.createElement("div");
    thumb.className = "thumb";
    const name = document.createElement("div");
    name.className = "name";
    name.textContent = file.path.slice(folder ? folder.length + 1 : 0);
    const state = document.createElement("div");
    state.className = "state";
    state.textContent = "…";
    card.append(thumb, name, state);
    const entry = { file, card, thumb, state, visible: false, status: "waiting", animation: null, steps: null, step: 0, canvas: null };
    byPath.set(file.path, entry);
    return entry;
  });
  // The first cards at once, the rest a batch at a time after them, so
  // that the first screen does not wait for the layout of thousands.
  const FIRST_CARDS = 60;
  cards.append(...entries.slice(0, FIRST_CARDS).map((e) => e.card));

  function counts() {
    const shown = entries.filter((e) => !e.card.hidden).length;
    const filter = $("filter").value ? `, ${shown} ${shown === 1 ? "matches" : "match"} the filter` : "";
    const files = `${entries.length} ${entries.length === 1 ? "file" : "files"}`;
    $("counts").textContent = `${files}${filter}, ${failures.size} cannot be shown`;
  }

  function fail(entry, reason) {
    if (entry.status === "failed") return;
    entry.status = "failed";
    entry.card.classList.add("failed");
    entry.card.dataset.failed = reason;
    entry.state.textContent = reason;
    failures.set(entry.file.path, reason);
    const item = document.createElement("li");
    item.dataset.path = entry.file.path;
    const name = document.createElement("b");
    name.textContent = entry.file.path;
    const why = document.createElement("span");
    why.textContent = `: ${reason}`;
    item.append(name, why);
    $("failure-list").append(item);
    $("failures").hidden = false;
    counts();
  }

  // Previews load as they scroll into view, a few at a time.
  const queue = [];
  let running = 0;
  const initial = new Set();
  let initialCounted = false;

  function settled(entry) {
    if (initial.delete(entry) && initial.size === 0 && kivview.firstPreviewsAt === null) {
      kivview.firstPreviewsAt = performance.now();
      kivview.firstPreviewsSinceList = performance.now() - started;
    }
  }

  async function load(entry) {
    running++;
    entry.status = "loading";
    try {
      const { meta, animation } = await fetchAnimation(entry.file.path);
      if (!animation) {
        fail(entry, meta.reason);
      } else {
        entry.animation = animation;
        entry.steps = animation.plan(animation.meta.plans.under ? "under" : "steps");
        const box = animation.box();
        if (!box || !entry.steps.length) {
          fail(entry, "nothing to play");
        } else {
          const canvas = document.createElement("canvas");
          canvas.width = box.width;
          canvas.height = box.height;
          const scale = Math.max(1, Math.min(4, Math.floor(Math.min(160 / box.width, 120 / box.height))));
          canvas.style.width = `${box.width * scale}px`;
          entry.canvas = canvas;
          entry.thumb.append(canvas);
          entry.status = "playing";
          entry.state.textContent = `${meta.frames.length} frames, speed ${meta.speed}`;
          if (meta.warnings.length) {
            entry.state.textContent += ` ⚠ ${meta.warnings.join("; ")}`;
            entry.card.classList.add("warned");
            entry.card.dataset.warnings = meta.warnings.join("; ");
          }
          drawPreview(entry);
        }
      }
    } catch (error) {
      fail(entry, error.message);
    }
    running--;
    settled(entry);
    pump();
  }

  function pump() {
    while (running < 4 && queue.length) {
      const entry = queue.shift();
      if (entry.status === "waiting" && entry.visible) load(entry);
    }
  }

  function drawPreview(entry) {
    const step = entry.steps[entry.step % entry.steps.length];
    const composed = entry.animation.compose(entry.animation.layers(step, true));
    const ctx = entry.canvas.getContext("2d");
    ctx.clearRect(0, 0, entry.canvas.width, entry.canvas.height);
    ctx.drawImage(composed.canvas, 0, 0);
  }

  const observer = new IntersectionObserver(
    (seen) => {
      for (const item of seen) {
        const entry = byPath.get(item.target.dataset.path);
        entry.visible = item.isIntersecting;
        // The first screen: what the previews' first-appearance time counts.
        if (!initialCounted && item.isIntersecting && item.boundingClientRect.top < window.innerHeight) {
          initial.add(entry);
        }
        if (entry.visible && entry.status === "waiting") queue.push(entry);
      }
      if (!initialCounted) {
        initialCounted = true;
        if (initial.size === 0) kivview.firstPreviewsAt = performance.now();
      }
      pump();
    },
    { rootMargin: "0px" },
  );
  entries.slice(0, FIRST_CARDS).forEach((e) => observer.observe(e.card));
  (async () => {
    for (let start = FIRST_CARDS; start < entries.length; start += 500) {
      await new Promise((resolve) => setTimeout(resolve, start === FIRST_CARDS ? 50 : 0));
      const batch = entries.slice(start, start + 500);
      cards.append(...batch.map((e) => e.card));
      batch.forEach((e) => observer.observe(e.card));
      // the filter applies to cards that arrive after it was typed
      const text = $("filter").value.toLowerCase();
      if (text) for (const entry of batch) entry.card.hidden = !entry.file.path.toLowerCase().includes(text);
    }
  })();

  // Previews play at 10 steps a second, the visible ones only.
  let last = 0;
  function tick(now) {
    if (now - last >= 100) {
      last = now;
      for (const entry of entries) {
        if (entry.visible && entry.status === "playing" && !entry.card.hidden) {
          entry.step = (entry.step + 1) % entry.steps.length;
          drawPreview(entry);
        }
      }
    }
    requestAnimationFrame(tick);
  }
  requestAnimationFrame(tick);

  $("filter").addEventListener("input", () => {
    const text = $("filter").value.toLowerCase();
    for (const entry of entries) entry.card.hidden = !entry.file.path.toLowerCase().includes(text);
    for (const item of $("failure-list").children) item.hidden = !item.dataset.path.toLowerCase().includes(text);
    counts();
  });

  for (const entry of entries) if (entry.file.reason) fail(entry, entry.file.reason);
  counts();

  // Files out of view are checked too, in the background, so that every
  // failure is listed without scrolling to it: once the first previews are
  // there, so as not to slow them down.
  (async () => {
    const began = performance.now();
    while (kivview.firstPreviewsAt === null && performance.now() - began < 3000) {
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    for (let start = 0; start < entries.length; start += 100) {
      let answer;
      try {
        answer = await getJSON(`/api/statuses/${encodePath(folder)}?start=${start}&count=100`);
      } catch (error) {
        break;
      }
      for (const file of answer.files) {
        const entry = byPath.get(file.path);
        if (entry && file.reason) fail(entry, file.reason);
      }
    }
    kivview.checked = true;
  })();
  kivview.gallery = { entries, failures };
  kivview.ready = true;
}

// --------------------------------------------------------------------------
// Player and editor

async function showPlayer(rel, galleryFolder) {
  kivview.mode = "player";
  $("player").hidden = false;
  $("where").textContent = rel;
  document.title = `kivtool view: ${rel}`;
  if (galleryFolder !== null) {
    $("home").href = pageLink("folder", galleryFolder);
    $("home").textContent = "◀ gallery";
  }
  let loaded;
  try {
    loaded = await fetchAnimation(rel);
  } catch (error) {
    showNotice(`${rel}: ${error.message}`, true);
    return;
  }
  if (!loaded.animation) {
    showNotice(`${rel} cannot be shown: ${loaded.meta.reason}`, true);
    return;
  }
  new Player(rel, loaded.animation).start();
}

class Player {
  constructor(rel, animation) {
    this.rel = rel;
    this.anim = animation;
    this.meta = animation.meta;
    this.digest = animation.meta.digest;
    this.mode = animation.meta.plans.under ? "under" : "steps";
    this.step = 0;
    this.playing = true;
    this.fps = 10;
    this.zoom = 2;
    this.selected = null;
    this.pointer = null;
    this.drag = null;
    const state = this.state();
    this.history = [state];
    this.at = 0;
    this.saved = state;
    this.baseBox = animation.box();
    this.stage = $("stage");
    this.ctx = this.stage.getContext("2d");
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

  start() {
    $("actions").hidden = false;
    if (!this.meta.plans.under) {
      $("shadows").querySelector("option[value=under]").disabled = true;
      $("shadows").value = "steps";
      if (this.meta.plans.under_reason) $("shadows").title = this.meta.plans.under_reason;
    }
    if (!this.meta.has_background) $("show-background").disabled = true;
    if (!this.plan().length) {
      showNotice(`${this.rel}: ${this.meta.plans.steps_reason || "nothing to play"}`, true);
      return;
    }
    const lines = [];
    if (this.meta.warnings.length) lines.push(`Warning: ${this.meta.warnings.join("; ")}.`);
    if (this.meta.messages.length) lines.push(`The module reported: ${this.meta.messages.join("; ")}`);
    $("messages").textContent = lines.join(" ");
    $("messages").classList.toggle("warned", this.meta.warnings.length > 0);
    const fit = Math.floor((window.innerWidth - 420) / (this.baseBox.width + 2 * MARGIN));
    this.zoom = Math.max(1, Math.min(8, fit));
    $("zoom").value = this.zoom;
    $("speed").value = this.anim.speed;
    this.buildTable();
    this.buildPalette();
    this.wire();
    this.selected = this.currentStep().index;
    this.changed();
    this.lastTick = performance.now();
    requestAnimationFrame((now) => this.tick(now));
    kivview.player = this;
    kivview.ready = true;
    kivview.playingAt = performance.now();
    this.warm();
    getBytes(`/api/indices/${encodePath(this.rel)}?digest=${this.digest}`)
      .then((bytes) => this.anim.setIndices(bytes))
      .catch(() => {});
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

  buildPalette() {
    const palette = $("palette");
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
      row.classList.toggle("moved", this.anim.xs[i] !== this.saved.xs[i] || this.anim.ys[i] !== this.saved.ys[i]);
      row.children[2].textContent = this.anim.xs[i];
      row.children[3].textContent = this.anim.ys[i];
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
    $("play").textContent = this.playing ? "Pause" : "Play";
    $("zoom-label").textContent = `${this.zoom}×`;
    if (document.activeElement !== $("speed")) $("speed").value = this.anim.speed;
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

  // --- editing

  move(indices, dx, dy) {
    for (const i of indices) {
      this.anim.xs[i] = clamp(this.anim.xs[i] + dx, -32768, 32767);
      this.anim.ys[i] = clamp(this.anim.ys[i] + dy, -32768, 32767);
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

  wire() {
    const stage = this.stage;
    stage.addEventListener("pointermove", (event) => {
      this.pointer = this.toAnchor(event);
      if (this.drag) {
        const dx = this.pointer.x - this.drag.x, dy = this.pointer.y - this.drag.y;
        if (dx || dy) {
          this.move(this.drag.indices, dx, dy);
          this.drag.x = this.pointer.x;
          this.drag.y = this.pointer.y;
          this.draw();
          this.updateLabels();
        }
      }
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
      if (found && !$("move-all").checked) this.selected = found.index;
      const indices = this.targets();
      if (!indices.length) return;
      this.drag = { x: at.x, y: at.y, indices };
      stage.setPointerCapture(event.pointerId);
      stage.classList.add("dragging");
      this.updateLabels();
      event.preventDefault();
    });
    const endDrag = () => {
      if (!this.drag) return;
      this.drag = null;
      stage.classList.remove("dragging");
      this.commit();
    };
    stage.addEventListener("pointerup", endDrag);
    stage.addEventListener("pointercancel", endDrag);

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
    for (const id of ["backdrop", "backdrop-color", "show-background", "show-anchor", "show-bounds", "show-onion", "move-all"]) {
      $(id).addEventListener("input", () => this.changed());
    }
    $("shadows").onchange = () => {
      const index = this.currentStep().index;
      this.mode = $("shadows").value;
      const step = this.plan().findIndex((s) => s.index === index);
      this.step = Math.max(0, step);
      this.changed();
    };
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
    document.addEventListener("keydown", (event) => this.key(event));
  }

  // The speed typed in its field, as an edit (when it is a valid one).
  takeSpeed() {
    if ($("speed").value.trim() === "") return; // being retyped; the labels restore it once it is left
    const value = Math.floor(Number($("speed").value));
    if (!Number.isFinite(value) || value < 0 || value > 0xffffffff) {
      $("speed").value = this.anim.speed;
      return;
    }
    if (value === this.anim.speed) return;
    this.anim.speed = value;
    this.commit();
  }

  key(event) {
    const typing = event.target instanceof HTMLInputElement && event.target.type !== "checkbox" && event.target.type !== "range";
    const control = event.ctrlKey || event.metaKey;
    if (control && event.key.toLowerCase() === "s") {
      event.preventDefault();
      // A speed still being typed counts: it is what the user sees.
      if (document.activeElement === $("speed")) this.takeSpeed();
      if (this.dirty) this.save();
      return;
    }
    if (typing || event.target instanceof HTMLSelectElement) return;
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
    const toggle = (id) => {
      const box = $(id);
      if (!box.disabled) box.checked = !box.checked;
      this.changed();
    };
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
        toggle("show-background");
        break;
      case "a":
      case "A":
        toggle("show-anchor");
        break;
      case "f":
      case "F":
        toggle("show-bounds");
        break;
      case "o":
      case "O":
        toggle("show-onion");
        break;
      case "m":
      case "M":
        toggle("move-all");
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

function sameState(a, b) {
  return a.speed === b.speed && a.xs.every((x, i) => x === b.xs[i]) && a.ys.every((y, i) => y === b.ys[i]);
}

function clamp(value, low, high) {
  return Math.min(high, Math.max(low, value));
}

// For tests and benchmarks: the bytes a step is drawn from (the default
// layers), and what the canvas holds for it, both as base64 RGBA.
kivview.stepData = (step) => {
  const player = kivview.player;
  const plan = player.plan();
  const composed = player.anim.compose(player.layers(plan[step]));
  return { width: composed.box.width, height: composed.box.height, left: composed.box.left, top: composed.box.top, data: toBase64(new Uint8Array(composed.data.buffer)) };
};
kivview.canvasData = (step) => {
  const player = kivview.player;
  const plan = player.plan();
  const composed = player.anim.compose(player.layers(plan[step]));
  const pixels = composed.canvas.getContext("2d").getImageData(0, 0, composed.box.width, composed.box.height).data;
  return toBase64(new Uint8Array(pixels.buffer));
};
// Milliseconds per step through the whole animation: the first time round,
// when each step is placed on its canvas, and again, when it is only drawn.
kivview.timeSteps = () => {
  const player = kivview.player;
  const count = player.plan().length;
  player.playing = false;
  player.anim.placementChanged();
  const times = [];
  for (const round of [0, 1]) {
    const started = performance.now();
    for (let i = 0; i < count; i++) player.goTo(player.step + 1);
    times.push((performance.now() - started) / count);
  }
  return { first: times[0], again: times[1] };
};

// --------------------------------------------------------------------------

async function boot() {
  const params = new URLSearchParams(location.search);
  if (params.has("token")) {
    // The cookie carries the token from now on; keep it out of the history.
    params.delete("token");
    const rest = params.toString();
    history.replaceState(null, "", location.pathname + (rest ? `?${rest}` : ""));
  }
  try {
    const session = await getJSON("/api/session");
    $("root").textContent = session.root;
    $("root").title = "the root folder: the viewer lists, opens and saves animation files under it only";
    const gallery = session.folder ? session.start : null;
    const folder = params.has("folder") ? decodePath(params.get("folder")) : null;
    if (params.has("file")) await showPlayer(decodePath(params.get("file")), folder !== null ? folder : gallery);
    else if (folder !== null) await showGallery(folder);
    else if (session.folder) {
      // A folder of one animation opens it in the player at once.
      const listing = await getJSON(`/api/list/${encodePath(session.start)}`);
      const only = listing.files.length === 1 && !listing.files[0].reason;
      if (only) await showPlayer(listing.files[0].path, session.start);
      else await showGallery(session.start);
    }
    else await showPlayer(session.start, null);
  } catch (error) {
    showNotice(error.message, true);
  }
}

boot();
