// The server's API: the calls the page makes and how their errors come
// back, and how a path under the root folder is written in an address.

// Server

// A path relative to the root folder, in a URL: each part percent-encoded.
// A name that is not valid UTF-8 comes from the server with each byte that
// is not part of a character as a lone U+DC80 + byte (as the system's own
// names do in Python); that goes back as the byte itself, so that every
// listed name can be opened.
export function encodePath(rel) {
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
export function decodePath(encoded) {
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
export function pageLink(key, rel) {
  return `/?${key}=${encodeURIComponent(encodePath(rel))}`;
}

export async function getJSON(url) {
  const response = await fetch(url, { credentials: "same-origin" });
  const body = await response.json().catch(() => ({ reason: `${response.status} ${response.statusText}` }));
  if (!response.ok) throw new Error(body.reason || `${response.status}`);
  return body;
}

export async function getBytes(url) {
  const response = await fetch(url, { credentials: "same-origin" });
  if (!response.ok) {
    const body = await response.json().catch(() => ({}));
    throw new Error(body.reason || `${response.status} ${response.statusText}`);
  }
  return new Uint8Array(await response.arrayBuffer());
}

export async function postJSON(url, data) {
  const response = await fetch(url, {
    method: "POST",
    credentials: "same-origin",
    headers: { "content-type": "application/json" },
    body: JSON.stringify(data),
  });
  const body = await response.json().catch(() => ({ reason: `${response.status} ${response.statusText}` }));
  return { status: response.status, body };
}
