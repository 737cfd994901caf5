// kelvane.js: signing from a web page through the Tessaly Kelvane extension.
//
//   <script src="kelvane.js"></script>
//   if (await Kelvane.available()) {
//     const answer = await Kelvane.sign({action: "sign", content: btoa("hello"), type: "CMS", hash: "sha256"});
//     if (answer.action === "signed") use(answer.signed); else show(answer.error);
//   }
//
// Kelvane.sign(request) resolves with the host's answer object ({"action": "signed", ...} or
// {"action": "error", "error": "CertificateNotSelected"}, ...). It rejects with a Kelvane.Error
// whose `word` is "ExtensionNotAvailable", "OriginNotAllowed", "HostNotFound", "HostDisconnected",
// "InvalidRequest" or "InvalidResponse" when no answer of the host could be had.
// Kelvane.available(timeoutMs) resolves true when the extension is there and serves this page.
(function (global) {
  "use strict";
  if (global.Kelvane)
    return;

  class KelvaneError extends Error {
    constructor(word) {
      super(word);
      this.name = "KelvaneError";
      this.word = word;
    }
  }

  const pending = new Map();
  const presenceWaiters = [];
  let present = false;
  let allowed = false;
  let counter = 0;

  global.addEventListener("message", (event) => {
    const data = event.data;
    if (event.source !== global || data === null || typeof data !== "object")
      return;
    if (data.kelvane === "present") {
      present = true;
      allowed = data.allowed !== false;
      presenceWaiters.splice(0).forEach((wake) => wake());
    } else if (data.kelvane === "response" && typeof data.id === "string" && pending.has(data.id)) {
      const { resolve, reject } = pending.get(data.id);
      pending.delete(data.id);
      if (typeof data.error === "string")
        reject(new KelvaneError(data.error));
      else
        resolve(data.message);
    }
  });

  function waitForPresence(timeoutMs) {
    if (present)
      return Promise.resolve();
    return new Promise((resolve) => {
      const timer = setTimeout(resolve, timeoutMs);
      presenceWaiters.push(() => {
        clearTimeout(timer);
        resolve();
      });
      global.postMessage({ kelvane: "hello" }, "*");
    });
  }

  async function available(timeoutMs = 2000) {
    await waitForPresence(timeoutMs);
    return present && allowed;
  }

  function newId() {
    counter += 1;
    const random = global.crypto && global.crypto.randomUUID ? global.crypto.randomUUID()
      : Math.random().toString(36).slice(2);
    return "kelvane-" + counter + "-" + random;
  }

  async function sign(request) {
    if (request === null || typeof request !== "object" || Array.isArray(request))
      throw new TypeError("Kelvane.sign takes a request object");
    await waitForPresence(2000);
    if (!present)
      throw new KelvaneError("ExtensionNotAvailable");
    if (!allowed)
      throw new KelvaneError("OriginNotAllowed");
    const id = newId();
    return new Promise((resolve, reject) => {
      pending.set(id, { resolve, reject });
      global.postMessage({ kelvane: "request", id, message: request }, "*");
    });
  }

  global.Kelvane = Object.freeze({ sign, available, Error: KelvaneError, version: "0.1.0" });
})(typeof window !== "undefined" ? window : globalThis);
