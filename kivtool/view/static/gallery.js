// The gallery: every animation under a folder as a card, the previews
// playing as they scroll into view, and every file that cannot be shown
// listed with its reason.

import { encodePath, getJSON, pageLink } from "./api.js";
import { fetchAnimation } from "./animation.js";
import { $, kivview } from "./page.js";

export async function showGallery(folder) {
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
