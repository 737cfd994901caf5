// The bridge between a page and the extension. The page speaks with window.postMessage:
//   page -> extension  {kelvane: "request", id: "<text>", message: {<a request of the host>}}
//   extension -> page  {kelvane: "response", id, message: {<the host's answer>}}
//                      {kelvane: "response", id, error: "<word>"}
//   page -> extension  {kelvane: "hello"}   extension -> page  {kelvane: "present", allowed: <bool>}
// Each request travels on a port of its own to the background, which talks to the host.
"use strict";

(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const REQUEST_PORT = "kelvane-request";
  const allowed = location.protocol === "https:" ||
    (location.protocol === "http:" && (location.hostname === "localhost" || location.hostname === "127.0.0.1"));
  const pageOrigin = location.origin;

  function toPage(message) {
    // Only to this document: a page that navigated away gets nothing.
    window.postMessage(message, pageOrigin);
  }

  function isPlainObject(value) {
    return value !== null && typeof value === "object" && !Array.isArray(value);
  }

  function forward(id, message) {
    let answered = false;
    let port;
    try {
      port = api.runtime.connect({ name: REQUEST_PORT });
    } catch {
      // The extension was updated or removed under the page.
      toPage({ kelvane: "response", id, error: "HostDisconnected" });
      return;
    }
    port.onMessage.addListener((response) => {
      if (answered || !isPlainObject(response) || response.id !== id)
        return;
      answered = true;
      const out = { kelvane: "response", id };
      if (typeof response.error === "string")
        out.error = response.error;
      else
        out.message = response.message;
      toPage(out);
      port.disconnect();
    });
    port.onDisconnect.addListener(() => {
      if (!answered) {
        answered = true;
        toPage({ kelvane: "response", id, error: "HostDisconnected" });
      }
    });
    port.postMessage({ id, message });
  }

  window.addEventListener("message", (event) => {
    if (event.source !== window || !isPlainObject(event.data))
      return;
    const data = event.data;
    if (data.kelvane === "hello") {
      toPage({ kelvane: "present", allowed });
      return;
    }
    if (data.kelvane !== "request" || typeof data.id !== "string")
      return;
    if (!isPlainObject(data.message)) {
      toPage({ kelvane: "response", id: data.id, error: "InvalidRequest" });
      return;
    }
    if (!allowed) {
      toPage({ kelvane: "response", id: data.id, error: "OriginNotAllowed" });
      return;
    }
    forward(data.id, data.message);
  });

  toPage({ kelvane: "present", allowed });
})();
