// The background side of the extension: one native messaging port to the signing host per page
// request. The content script hands over a request on a port of its own; the request goes to the
// host with the page's origin (from the browser's sender information, never from the page) and
// "chunked": true; the host's answer, reassembled when it came in chunks, goes back on that port.
//
// Runs as the service worker in Chromium-family browsers and as the background script in Firefox.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;

const HOST_NAME = "com.tessaly.kelvane";
const REQUEST_PORT = "kelvane-request";
// A chunked answer larger than this is refused rather than held in memory.
const MAX_ANSWER_CHARS = 512 * 1024 * 1024;

// Pages that may use the host: https anywhere, plain http only on this computer.
function originAllowed(origin) {
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  if (url.protocol === "https:")
    return true;
  return url.protocol === "http:" && (url.hostname === "localhost" || url.hostname === "127.0.0.1");
}

// The origin of the page that sent the request, as the browser tells it.
function senderOrigin(sender) {
  if (typeof sender.origin === "string" && sender.origin !== "null")
    return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return "null";
  }
}

// The error word for a native port that closed before it answered.
function disconnectWord(error) {
  const text = String((error && error.message) || "").toLowerCase();
  if (text.includes("not found") || text.includes("no such native application") || text.includes("forbidden"))
    return "HostNotFound";
  return "HostDisconnected";
}

function isPlainObject(value) {
  return value !== null && typeof value === "object" && !Array.isArray(value);
}

// Puts the frames of one chunked answer back together. Frames arrive in order:
// {"action":"chunk","index":i,"count":n,"data":"<piece of the answer's JSON text>"}.
class ChunkAssembler {
  constructor() {
    this.parts = [];
    this.count = 0;
    this.size = 0;
  }

  // The answer object once the last frame is in; undefined while frames are missing.
  // Throws on a frame out of order or a damaged answer.
  add(frame) {
    const { index, count, data } = frame;
    if (!Number.isInteger(count) || count < 1 || typeof data !== "string")
      throw new Error("malformed chunk");
    if (this.parts.length === 0)
      this.count = count;
    if (count !== this.count || index !== this.parts.length)
      throw new Error("chunk out of order");
    this.size += data.length;
    if (this.size > MAX_ANSWER_CHARS)
      throw new Error("answer too large");
    this.parts.push(data);
    if (this.parts.length < this.count)
      return undefined;
    const text = this.parts.join("");
    this.parts = [];
    const answer = JSON.parse(text);
    if (!isPlainObject(answer))
      throw new Error("answer is not an object");
    return answer;
  }
}

function serveRequest(port) {
  const sender = port.sender || {};
  // Only our own content script in a tab's top frame may ask.
  if (sender.id !== api.runtime.id || !sender.tab || (sender.frameId !== undefined && sender.frameId !== 0)) {
    port.disconnect();
    return;
  }
  const origin = senderOrigin(sender);
  let nativePort = null;
  let answered = false;
  let id = null;

  function reply(response) {
    if (answered)
      return;
    answered = true;
    try {
      port.postMessage(Object.assign({ kelvane: "response", id }, response));
    } catch {
      // the page went away
    }
    if (nativePort) {
      // "finish" lets the host end by itself moments later; a port closed by the browser would
      // leave it running out its idle time once the browser is gone.
      try {
        nativePort.postMessage({ action: "finish" });
      } catch {
        // already closed
      }
    }
  }

  port.onMessage.addListener((message) => {
    if (nativePort || answered || id !== null)
      return;  // one request per port
    if (!isPlainObject(message) || typeof message.id !== "string" || !isPlainObject(message.message)) {
      port.disconnect();
      return;
    }
    id = message.id;
    if (!originAllowed(origin)) {
      reply({ error: "OriginNotAllowed" });
      return;
    }
    // What the page sent, with the two members only the extension sets.
    const request = Object.assign({}, message.message, { origin, chunked: true });
    const assembler = new ChunkAssembler();
    try {
      nativePort = api.runtime.connectNative(HOST_NAME);
    } catch (error) {
      reply({ error: disconnectWord(error) });
      return;
    }
    nativePort.onMessage.addListener((frame) => {
      if (answered)
        return;
      if (isPlainObject(frame) && frame.action === "chunk") {
        let answer;
        try {
          answer = assembler.add(frame);
        } catch {
          reply({ error: "InvalidResponse" });
          return;
        }
        if (answer !== undefined)
          reply({ message: answer });
        return;
      }
      reply({ message: frame });
    });
    nativePort.onDisconnect.addListener((closed) => {
      const error = (api.runtime && api.runtime.lastError) || (closed && closed.error);
      nativePort = null;
      reply({ error: disconnectWord(error) });
    });
    nativePort.postMessage(request);
  });

  port.onDisconnect.addListener(() => {
    // The page closed or navigated away: the host is not needed any more.
    answered = true;
    if (nativePort) {
      try {
        nativePort.disconnect();
      } catch {
        // already closed
      }
      nativePort = null;
    }
  });
}

api.runtime.onConnect.addListener((port) => {
  if (port.name === REQUEST_PORT)
    serveRequest(port);
});

// For tests and diagnosis (not reachable from pages).
globalThis.kelvaneInternals = { originAllowed, ChunkAssembler, disconnectWord };
