// One animation as the page holds it: each frame's RGBA and index plane as
// the server sends them, and its frames placed around the common anchor the
// way `kivtool export --as placed` places them, with the same integer
// arithmetic as its compositor, so that the pixels the page draws from
// equal the exported ones byte for byte.

import { encodePath, getBytes, getJSON } from "./api.js";

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

export class Animation {
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

  // Every frame's RGBA anew (the same frames rendered with another palette).
  setRgba(rgba) {
    let at = 0;
    for (const f of this.frames) {
      const size = f.width * f.height * 4;
      f.rgba = rgba.subarray(at, at + size);
      at += size;
    }
    this.cache.clear();
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

export async function fetchAnimation(rel) {
  const meta = await getJSON(`/api/animation/${encodePath(rel)}`);
  if (!meta.ok) return { meta, animation: null };
  const rgba = await getBytes(`/api/rgba/${encodePath(rel)}?digest=${meta.digest}`);
  return { meta, animation: new Animation(meta, rgba) };
}
