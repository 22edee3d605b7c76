"use strict";
// The page's own files, kept in the browser: the page installed on a phone
// opens while the server is down, and says that it cannot reach it. Files
// come from the server whenever it answers (so the page is never older than
// the server) and from the cache when it does not. The cache's name carries
// the fingerprint of the server's files: a server with other files serves
// another worker, whose cache replaces this one. The live state, the login
// and the session are never kept.

const CACHE = "veldrin-page-@FINGERPRINT@";
const FILES = [
  "./", "app.js", "style.css", "manifest.webmanifest", "icon.svg",
  "icon-192.png", "icon-512.png", "icon-maskable-512.png", "apple-touch-icon.png",
];
// A server that does not answer within this long counts as down.
const kNetworkMs = 4000;

self.addEventListener("install", (event) => {
  event.waitUntil(
    caches.open(CACHE)
      .then((cache) => cache.addAll(FILES.map((f) => new Request(f, { cache: "reload" }))))
      .then(() => self.skipWaiting()));
});

self.addEventListener("activate", (event) => {
  event.waitUntil(
    caches.keys()
      .then((names) => Promise.all(names
        .filter((n) => n.startsWith("veldrin-page-") && n !== CACHE)
        .map((n) => caches.delete(n))))
      .then(() => self.clients.claim()));
});

// The page's files are those beside the worker, at the root or under the
// path a proxy serves the page at (https://house.example/veldrin/).
function ownFile(url) {
  const scope = new URL(self.registration.scope);
  if (url.origin !== scope.origin || !url.pathname.startsWith(scope.pathname)) return null;
  const path = url.pathname.slice(scope.pathname.length) || "./";
  return FILES.includes(path) ? path : null;
}

function fromNetwork(request) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("timeout")), kNetworkMs);
    fetch(request).then((r) => {
      clearTimeout(timer);
      resolve(r);
    }, (e) => {
      clearTimeout(timer);
      reject(e);
    });
  });
}

self.addEventListener("fetch", (event) => {
  const request = event.request;
  const file = request.method === "GET" ? ownFile(new URL(request.url)) : null;
  if (!file) return; // the browser asks the server itself
  event.respondWith((async () => {
    const cache = await caches.open(CACHE);
    try {
      const r = await fromNetwork(request);
      if (r.ok) await cache.put(file, r.clone());
      return r;
    } catch (e) {
      const kept = await cache.match(file);
      if (kept) return kept;
      throw e;
    }
  })());
});
