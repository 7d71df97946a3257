// The page's stop path, loaded first and kept apart from everything else: a WebSocket of its own
// (/stop), so that a STOP never waits behind samples, and an HTTP POST when that socket is not
// open. The same socket carries the heartbeat that tells the server this page can still stop
// the motors; a page that freezes stops sending it, and the server disables the motors.
"use strict";

const velkarinStop = (() => {
  const token = new URLSearchParams(location.search).get("token") || "";
  const HEARTBEAT_MS = 250;
  let socket = null;
  const listeners = [];

  function url(path) {
    return (location.protocol === "https:" ? "wss://" : "ws://") + location.host + path;
  }

  function open() {
    socket = new WebSocket(url("/stop"));
    socket.onclose = () => setTimeout(open, 500);
  }

  function stop(how) {
    const message = JSON.stringify({ type: "stop", how });
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(message);
    else navigator.sendBeacon("/stop", message);
    listeners.forEach((f) => f(how));
  }

  // Capture phase on the window: no handler of the page can swallow the key first.
  window.addEventListener("keydown", (e) => {
    if (e.key === "Escape") {
      e.preventDefault();
      stop("Escape");
    }
  }, true);
  window.addEventListener("DOMContentLoaded", () => {
    // pointerdown, not click: the press itself stops, without waiting for the release.
    document.getElementById("stop").addEventListener("pointerdown", () => stop("button"));
    document.getElementById("stop").addEventListener("keydown", (e) => {
      if (e.key === "Enter" || e.key === " ") stop("button");
    });
  });
  setInterval(() => {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify({ type: "alive", token }));
  }, HEARTBEAT_MS);
  open();
  return { stop, onStop: (f) => listeners.push(f) };
})();
