// kivtool view: the gallery of a folder and the player and placement editor
// of one animation. Plain JavaScript modules, no build step, nothing from
// the network. This one starts the page: it asks the server what to show
// and shows it.

import { decodePath, encodePath, getJSON, pageLink } from "./api.js";
import { fetchAnimation } from "./animation.js";
import { Editor } from "./editing.js";
import { showGallery } from "./gallery.js";
import { $, kivview, showNotice } from "./page.js";

// `limits`: the ranges of the values an edit changes, as the server sends them.
async function showPlayer(rel, galleryFolder, limits) {
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
  const player = new Editor(rel, loaded.animation, limits);
  if (!player.start()) return;
  kivview.player = player;
  kivview.ready = true;
  kivview.playingAt = performance.now();
}

function toBase64(bytes) {
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  return btoa(text);
}

// For tests and benchmarks: how the page writes a path in its requests, the
// bytes a step is drawn from (the default layers), and what the canvas
// holds for it, both as base64 RGBA.
kivview.encodePath = encodePath;
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
    if (params.has("file")) await showPlayer(decodePath(params.get("file")), folder !== null ? folder : gallery, session.limits);
    else if (folder !== null) await showGallery(folder);
    else if (session.folder) {
      // A folder of one animation opens it in the player at once.
      const listing = await getJSON(`/api/list/${encodePath(session.start)}`);
      const only = listing.files.length === 1 && !listing.files[0].reason;
      if (only) await showPlayer(listing.files[0].path, session.start, session.limits);
      else await showGallery(session.start);
    }
    else await showPlayer(session.start, null, session.limits);
  } catch (error) {
    showNotice(error.message, true);
  }
}

boot();
