// Small pieces every part of the page shares: its elements, its notice
// line, and the hooks tests and benchmarks read.

export const $ = (id) => document.getElementById(id);

// Test and benchmark hooks: the state of the page as numbers and bytes.
export const kivview = { mode: null, ready: false, playingAt: null, firstPreviewsAt: null };
window.kivview = kivview;

export function showNotice(html, isError) {
  const notice = $("notice");
  notice.innerHTML = "";
  if (html instanceof Node) notice.append(html);
  else notice.textContent = html;
  notice.classList.toggle("error", !!isError);
  notice.hidden = false;
}

export function clamp(value, low, high) {
  return Math.min(high, Math.max(low, value));
}
