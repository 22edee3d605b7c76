"use strict";
// The phone page: logs in with the connection password, then keeps one
// WebSocket to the server. Cards show what the modules report, never what was
// merely asked for: a command marks its card "sending" until the core's
// verdict on it arrives (confirmed or given up, matched by its verdict id).

(() => {
  const $ = (id) => document.getElementById(id);
  const el = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };

  // Confirmation-to-update times for measuring (one entry per "state" shown),
  // and each command of a card from the tap to its verdict shown.
  window.veldrinTimings = [];
  window.veldrinTaps = [];
  const kTimingsKept = 2000;
  // Cards drawn at once; the rest follow a few at a time, so that a large
  // house never blocks the page for long.
  const kFirstCards = 24;
  const kCardsPerTask = 8;
  // A slider follows a finger only after it moved this far sideways.
  const kDeliberatePx = 10;
  // Keyboard changes settle this long before the level is sent.
  const kKeySettleMs = 500;

  let token = null;
  let ws = null;
  let wanted = false; // the WebSocket should be open (logged in)
  let retryMs = 1000;
  let retryTimer = 0;
  let nextId = 1;
  let modules = new Map(); // address -> module as the server sent it
  let otherSteps = 100;
  const cards = new Map(); // address -> [card parts], one per group showing it
  const pending = new Map(); // message id -> what it was for
  const awaiting = new Map(); // verdict id -> what it was for
  const bars = new Map(); // "house A" / "room Kitchen" -> status element
  let renderGen = 0;
  let drag = null; // the slider a pointer holds: {parts, x, y, deliberate}

  // --- What the user keeps in this browser --------------------------------

  const stored = (key) => {
    try {
      const v = JSON.parse(localStorage.getItem(key) || "[]");
      return Array.isArray(v) ? v.filter((a) => typeof a === "string") : [];
    } catch (e) {
      return [];
    }
  };
  const store = (key, list) => {
    try {
      localStorage.setItem(key, JSON.stringify(list));
    } catch (e) {
      // Private mode: kept for this visit only.
    }
  };
  let favourites = stored("veldrin-favourites");
  let chosen = stored("veldrin-shown"); // addresses not listed, shown anyway

  const views = ["loading", "closed", "login", "control"];
  function show(view) {
    for (const v of views) $(v).hidden = v !== view;
    $("logout").hidden = view !== "control";
  }

  function notice(text) {
    $("notice").textContent = text;
    $("notice").classList.toggle("shown", !!text);
  }

  // --- Session -------------------------------------------------------------

  async function api(path, options = {}) {
    const headers = Object.assign({}, options.headers);
    if (options.body !== undefined) headers["Content-Type"] = "application/json";
    if (token) headers["X-Veldrin-Token"] = token;
    const r = await fetch(path, {
      method: options.method || "GET",
      headers,
      body: options.body === undefined ? undefined : JSON.stringify(options.body),
      credentials: "same-origin",
      cache: "no-store",
    });
    let data = null;
    try {
      data = r.status === 204 ? null : await r.json();
    } catch (e) {
      data = null;
    }
    return { status: r.status, data };
  }

  // Asks the server where this page stands and shows the right view. Returns
  // false when the server could not be reached.
  async function start(loginNote) {
    let s;
    try {
      s = await api("api/session");
    } catch (e) {
      return false;
    }
    if (s.status !== 200 || !s.data) return false;
    if (!s.data.passwordSet) {
      stopSocket();
      show("closed");
    } else if (!s.data.loggedIn) {
      stopSocket();
      showLogin(loginNote || "");
    } else {
      token = s.data.token;
      openSocket();
    }
    return true;
  }

  function showLogin(note) {
    token = null;
    $("login-note").textContent = note;
    $("login-error").textContent = "";
    show("login");
    $("password").focus();
  }

  $("login").addEventListener("submit", async (ev) => {
    ev.preventDefault();
    const error = $("login-error");
    const button = $("login").querySelector("button");
    error.textContent = "";
    button.disabled = true;
    try {
      const r = await api("api/login", { method: "POST", body: { password: $("password").value } });
      if (r.status === 200 && r.data && r.data.token) {
        token = r.data.token;
        $("password").value = "";
        openSocket();
      } else if (r.status === 503) {
        show("closed");
      } else {
        const fallback = { 401: "Wrong password", 429: "Too many attempts; try again later" };
        error.textContent =
          (r.data && r.data.error) || fallback[r.status] || "Login failed (HTTP " + r.status + ")";
        $("password").select();
      }
    } catch (e) {
      error.textContent = "The server cannot be reached; try again.";
    } finally {
      button.disabled = false;
    }
  });

  $("logout").addEventListener("click", async () => {
    stopSocket();
    try {
      await api("api/logout", { method: "POST", body: {} });
    } catch (e) {
      // Whatever happened, the page forgets the session.
    }
    showLogin("Logged out.");
  });

  $("recheck").addEventListener("click", () => start());

  // --- WebSocket -----------------------------------------------------------

  function openSocket() {
    wanted = true;
    clearTimeout(retryTimer);
    if (ws) return;
    // Beside the page, wherever a proxy put it (https://house.example/veldrin/ws).
    const url = new URL("ws", document.baseURI);
    url.protocol = url.protocol === "https:" ? "wss:" : "ws:";
    const sock = new WebSocket(url.href);
    ws = sock;
    sock.onmessage = (ev) => {
      let m;
      try {
        m = JSON.parse(ev.data);
      } catch (e) {
        return;
      }
      handle(m);
    };
    sock.onclose = (ev) => {
      if (ws !== sock) return;
      ws = null;
      disconnected();
      // 1008 with a reason of its own: the server turned this page away
      // (too many pages open in this session); the page keeps trying.
      const why = ev.code === 1008 && ev.reason && ev.reason !== "Not allowed" ? ev.reason : "";
      if (wanted) lost(why);
    };
  }

  function stopSocket() {
    wanted = false;
    clearTimeout(retryTimer);
    notice("");
    if (ws) {
      const sock = ws;
      ws = null;
      sock.close();
      disconnected();
    }
  }

  // Without the connection nothing the page shows of the server is known
  // any more: the strip says so, and commands on their way lose their answer.
  function disconnected() {
    strip("page", "Page: reconnecting\u2026", "bad");
    strip("iface", "Interface: unknown", "");
    if (!$("mqtt").hidden) strip("mqtt", "MQTT bridge: unknown", "");
    const all = [...pending.values(), ...awaiting.values()];
    pending.clear();
    awaiting.clear();
    for (const what of all) finish(what, wanted ? "Connection lost; the outcome is not known" : "");
  }

  // The connection dropped: say so, and try again after 1 s, growing to 5 s.
  // Each try asks first whether the session still holds; a restarted server
  // may have forgotten it, and then the page asks for the password again.
  const kUnreachable = "Veldrin is not reachable";
  function lost(why) {
    notice(why ? why + "; trying again..." : "Connection lost, reconnecting...");
    clearTimeout(retryTimer);
    retryTimer = setTimeout(async () => {
      retryMs = Math.min(retryMs + 1000, 5000);
      if (!wanted) return;
      const reached = await start("The connection was lost and the session ended; log in again.");
      if (!wanted && reached) notice("");
      if (!reached && wanted) lost(kUnreachable);
    }, retryMs);
  }

  function send(msg, what) {
    if (!ws || ws.readyState !== WebSocket.OPEN) return false;
    msg.id = nextId++;
    pending.set(msg.id, what);
    ws.send(JSON.stringify(msg));
    return true;
  }

  function handle(m) {
    switch (m.type) {
      case "hello":
        retryMs = 1000;
        notice("");
        hello(m);
        show("control");
        break;
      case "state":
        updateModule(m.module);
        window.veldrinTimings.push({ address: m.module.address, at: m.module.at, shownMs: Date.now() });
        if (window.veldrinTimings.length > kTimingsKept) window.veldrinTimings.shift();
        break;
      case "result":
        result(m);
        break;
      case "outcome": {
        const what = awaiting.get(m.verdict);
        if (!what) break; // another page's command
        awaiting.delete(m.verdict);
        finish(what, m.ok ? "" : "Failed: " + (m.error || "not confirmed"));
        break;
      }
      case "failed":
        // Every page shows why a command failed on its cards; this page's
        // own commands hear it through their verdict.
        for (const a of m.addresses || [])
          if (cards.has(a) && !busy(a)) cardStatus(a, "Failed: " + (m.error || "not confirmed"), true);
        break;
      case "heard":
        addHeard(m, true);
        break;
      case "interface":
        setInterface(m);
        break;
      case "mqtt":
        setMqtt({ connected: m.connected });
        break;
      case "schedule":
        setSchedule(m.schedule === null ? null : m);
        break;
      case "error":
        result({ id: m.id, ok: false, error: m.error });
        break;
      case "loggedOut":
        stopSocket();
        showLogin("The session ended; log in again.");
        break;
    }
  }

  function result(m) {
    const what = m.id == null ? undefined : pending.get(m.id);
    pending.delete(m.id);
    if (!what) {
      if (!m.ok) $("general-error").textContent = m.error || "Not sent";
      return;
    }
    if (!m.ok) finish(what, m.error || "Not sent");
    else if (m.verdict) awaiting.set(m.verdict, what); // on its way: wait for the verdict
    else finish(what, "", what.scene ? "Scene \u201c" + what.scene + "\u201d started" : "");
  }

  // A command of this page ended: error says why it failed ("" when done).
  function finish(what, error, doneText) {
    if (what.tapMs) {
      window.veldrinTaps.push({ address: what.address, ms: performance.now() - what.tapMs, ok: !error });
      if (window.veldrinTaps.length > kTimingsKept) window.veldrinTaps.shift();
    }
    if (what.address) {
      if (error) cardStatus(what.address, error, true);
      else refreshCard(what.address);
    } else if (what.bar) {
      barStatus(what.bar, error || "", !!error);
    } else if (what.scene) {
      $("scene-status").textContent = error || doneText || "";
      $("scene-status").classList.toggle("error", !!error);
    } else if (what.schedule) {
      $("schedule-status").textContent = error;
      $("schedule-status").classList.toggle("error", !!error);
    }
  }

  // Commands of this page still waiting for their answer touch address.
  function busy(address) {
    for (const w of pending.values()) if (w.address === address) return true;
    for (const w of awaiting.values()) if (w.address === address) return true;
    return false;
  }

  // --- Groups --------------------------------------------------------------

  function hello(m) {
    const t0 = performance.now();
    modules = new Map();
    for (const mod of m.modules || []) modules.set(mod.address, mod);
    otherSteps = m.otherSteps || 100;
    $("general-error").textContent = "";
    strip("page", "Page: connected", "good");
    setInterface(m.interface || {});
    setMqtt(m.mqtt);
    const heard = $("heard");
    heard.textContent = "";
    for (const h of (m.heard || []).slice(0, 50)) addHeard(h, false);
    setSchedule(m.schedule);
    $("version").textContent = m.version ? "Veldrin " + m.version : "";
    render();
    window.veldrinHelloMs = performance.now() - t0; // for measuring
  }

  const unitOrder = (a, b) => a.house.localeCompare(b.house) || a.unit - b.unit;
  const isAddress = (a) => /^[A-P]([1-9]|1[0-6])$/.test(a);

  // A module for an address the user chose to show whose state is not known.
  function moduleOf(address) {
    return (
      modules.get(address) || {
        address,
        house: address.charAt(0),
        unit: Number(address.slice(1)),
        name: "",
        kind: "lamp",
        listed: false,
        power: "unknown",
        level: null,
        steps: otherSteps,
      }
    );
  }

  // The groups in page order: favourites, rooms, houses (modules without a
  // room), the addresses the user chose to show.
  function groups() {
    const listed = [...modules.values()].filter((x) => x.listed).sort(unitOrder);
    const out = [];
    const favs = favourites.map(moduleOf).filter((x) => x.listed || chosen.includes(x.address));
    if (favs.length) out.push({ id: "g-favourites", title: "Favourites", mods: favs, fav: true });
    const rooms = [...new Set(listed.map((x) => x.room).filter(Boolean))].sort((a, b) => a.localeCompare(b));
    rooms.forEach((r, i) =>
      out.push({ id: "g-room-" + i, title: r, room: r, mods: listed.filter((x) => x.room === r) }),
    );
    // Modules without a room by house; the buttons of houses whose modules
    // all have rooms together in one group.
    const houses = [...new Set(listed.map((x) => x.house))];
    const whole = [];
    for (const h of houses) {
      const mods = listed.filter((x) => x.house === h && !x.room);
      if (mods.length || !rooms.length) out.push({ id: "g-house-" + h, title: "House " + h, house: h, mods });
      else whole.push(h);
    }
    if (whole.length) out.push({ id: "g-houses", title: "Houses", houses: whole, mods: [] });
    const others = chosen.filter((a) => !(modules.get(a) || {}).listed).map(moduleOf).sort(unitOrder);
    if (others.length) out.push({ id: "g-other", title: "Other addresses", other: true, mods: others });
    return out;
  }

  // Draws the groups anew; focus goes back to the control that had it, or to
  // the one named by focusTo.
  function render(focusTo) {
    const gen = ++renderGen;
    const root = $("groups");
    const focused = document.activeElement;
    let focusKey = focusTo || (focused && focused.dataset ? focused.dataset.key : null);
    root.textContent = "";
    cards.clear();
    bars.clear();
    const index = $("index");
    index.textContent = "";
    const queue = [];
    const all = groups();
    for (const g of all) {
      const sec = el("section", "group");
      sec.id = g.id;
      sec.setAttribute("aria-labelledby", g.id + "-h");
      const head = el("h2", "", g.title);
      head.id = g.id + "-h";
      sec.append(head);
      if (g.house || g.room || g.other) sec.append(groupBar(g));
      for (const h of g.houses || []) {
        const bar = groupBar({ house: h });
        bar.prepend(el("span", "house-name", "House " + h));
        sec.append(bar);
      }
      const grid = el("div", "cards");
      sec.append(grid);
      root.append(sec);
      index.append(jump(g.id, g.title));
      for (const mod of g.mods) queue.push([grid, mod, g]);
    }
    if (!all.length) root.append(el("p", "note", "No modules are listed in the settings."));
    index.append(jump("heard-panel", "Heard"));
    indexPanels();
    const draw = (count) => {
      for (let n = 0; n < count && queue.length; n++) {
        const [grid, mod, g] = queue.shift();
        grid.append(makeCard(mod, g));
      }
      if (focusKey) {
        const again = root.querySelector('[data-key="' + CSS.escape(focusKey) + '"]');
        if (again) {
          again.focus();
          focusKey = null;
        }
      }
    };
    draw(kFirstCards);
    const more = () => {
      if (gen !== renderGen) return; // drawn anew meanwhile
      draw(kCardsPerTask);
      if (queue.length) setTimeout(more, 0);
    };
    if (queue.length) setTimeout(more, 0);
  }

  // The index names the scenes and the schedule while they are shown.
  function indexPanels() {
    const index = $("index");
    for (const [id, text, first] of [["scenes", "Scenes", true], ["schedule", "Schedule", false]]) {
      const old = index.querySelector('[href="#' + id + '"]');
      if (old) old.remove();
      if ($(id).hidden) continue;
      const link = jump(id, text);
      const heard = index.querySelector('[href="#heard-panel"]');
      if (first) index.prepend(link);
      else if (heard) heard.before(link);
      else index.append(link);
    }
  }

  function jump(id, text) {
    const a = el("a", "", text);
    a.href = "#" + id;
    return a;
  }

  // The buttons of a house ("All lights on, house A"), a room ("All off,
  // Kitchen") or the addresses the user chose ("Hide other addresses").
  function groupBar(g) {
    const bar = el("div", "actions");
    const status = el("p", "status");
    status.setAttribute("aria-live", "polite");
    const button = (text, label, key, onClick) => {
      const b = el("button", "", text);
      b.type = "button";
      b.dataset.key = key;
      b.setAttribute("aria-label", label);
      b.addEventListener("click", onClick);
      bar.append(b);
    };
    const give = (msg, key) => () => {
      if (send(msg, { bar: key })) barStatus(key, "Sending\u2026", false);
      else barStatus(key, "Not connected", true);
    };
    if (g.house) {
      const key = "house " + g.house;
      bars.set(key, status);
      const h = { type: "house", house: g.house };
      button("All lights on", "All lights on, house " + g.house, key + " on",
        give(Object.assign({ action: "all_lights_on" }, h), key));
      button("All units off", "All units off, house " + g.house, key + " off",
        give(Object.assign({ action: "all_units_off" }, h), key));
    } else if (g.room) {
      const key = "room " + g.room;
      bars.set(key, status);
      const r = { type: "room", room: g.room };
      button("All on", "All on, " + g.room, key + " on", give(Object.assign({ action: "on" }, r), key));
      button("All off", "All off, " + g.room, key + " off", give(Object.assign({ action: "off" }, r), key));
    } else {
      button("Hide other addresses", "Hide other addresses", "hide-other", () => {
        chosen = [];
        store("veldrin-shown", chosen);
        render();
      });
    }
    bar.append(status);
    return bar;
  }

  function barStatus(key, text, isError) {
    const s = bars.get(key);
    if (!s) return;
    s.textContent = text;
    s.classList.toggle("error", !!isError);
  }

  // --- Cards ---------------------------------------------------------------

  const controllable = (kind) => kind === "lamp" || kind === "appliance";

  function makeCard(mod, g) {
    const named = mod.name && mod.name !== mod.address;
    const label = named ? mod.name + " " + mod.address : mod.address;
    const card = el("article", "card kind-" + mod.kind);
    card.dataset.address = mod.address;
    const parts = { card, mod, group: g.id };
    const id = g.id + "-" + mod.address;
    const main = el(controllable(mod.kind) ? "button" : "div", "label");
    main.append(named ? mod.name + " " : "", el("span", "addr", mod.address));
    if (controllable(mod.kind)) {
      main.className = "label toggle";
      main.type = "button";
      main.dataset.act = "toggle";
      main.dataset.key = id + "-toggle";
      main.setAttribute("aria-label", label);
      parts.toggle = main;
    }
    parts.state = el("span", "state");
    parts.state.id = id + "-state";
    const fav = el("button", "fav", favourites.includes(mod.address) ? "\u2605" : "\u2606");
    fav.type = "button";
    fav.dataset.act = g.other ? "remove" : "fav";
    fav.dataset.key = id + "-fav";
    if (g.other) {
      fav.textContent = "\u2715";
      fav.setAttribute("aria-label", "Remove " + label + " from the page");
    } else {
      fav.setAttribute("aria-label", "Favourite: " + label);
      fav.setAttribute("aria-pressed", favourites.includes(mod.address) ? "true" : "false");
    }
    card.append(main, parts.state, fav);
    if (mod.kind === "lamp") {
      const r = el("input");
      r.type = "range";
      r.min = "0";
      r.id = id + "-dim";
      r.dataset.key = r.id;
      r.setAttribute("aria-label", "Brightness of " + label);
      parts.level = el("output", "level");
      parts.level.htmlFor = r.id;
      parts.range = r;
      r.parts = parts;
      card.append(r, parts.level);
    }
    parts.status = el("p", "status");
    parts.status.id = id + "-status";
    for (const c of [parts.toggle, parts.range])
      if (c) c.setAttribute("aria-describedby", parts.state.id + " " + parts.status.id);
    card.append(parts.status);
    card.parts = parts;
    if (!cards.has(mod.address)) cards.set(mod.address, []);
    cards.get(mod.address).push(parts);
    paint(parts);
    if (busy(mod.address)) setSending(parts, true);
    return card;
  }

  function stateText(m) {
    const on = m.power === "on";
    const off = m.power === "off";
    let t = "Unknown";
    if (m.kind === "motion") t = on ? "Motion" : off ? "Clear" : t;
    else if (m.kind === "sensor") t = on ? "Open" : off ? "Closed" : t;
    else t = on ? "On" : off ? "Off" : t;
    if (m.answer === "not answering") t = "Not answering";
    if (m.load === 0) t += ", no load";
    return t;
  }

  const stepsOf = (m) => (m.steps > 0 ? m.steps : 100);
  const percentAt = (m, index) => Math.round((index * 100) / stepsOf(m));

  function paint(parts) {
    const m = parts.mod;
    const on = m.power === "on";
    parts.card.classList.toggle("on", on);
    parts.card.classList.toggle("unknown", m.power !== "on" && m.power !== "off");
    parts.card.classList.toggle("silent", m.answer === "not answering");
    if (parts.toggle) parts.toggle.setAttribute("aria-pressed", on ? "true" : "false");
    parts.state.textContent = stateText(m);
    if (parts.range && !(drag && drag.parts === parts) && !parts.keyTimer) showLevel(parts);
    if (m.source && m.source !== "none") parts.card.title = "Last change: " + m.source;
  }

  // The slider at the module's level; an unknown level has no thumb and is
  // announced as unknown.
  function showLevel(parts) {
    const m = parts.mod;
    const r = parts.range;
    const known = typeof m.level === "number";
    r.max = String(stepsOf(m));
    r.value = known ? String(Math.round((m.level * stepsOf(m)) / 100)) : "0";
    r.classList.toggle("nolevel", !known);
    r.setAttribute("aria-valuetext", known ? m.level + " %" : "unknown");
    parts.level.textContent = known ? m.level + " %" : "\u2013 %";
  }

  // The slider where the user put it, before anything is sent.
  function showWanted(parts) {
    const p = percentAt(parts.mod, Number(parts.range.value));
    parts.range.classList.remove("nolevel");
    parts.range.setAttribute("aria-valuetext", p + " %");
    parts.level.textContent = p + " %";
  }

  const calm = matchMedia("(prefers-reduced-motion: reduce)");
  const flash = [{ boxShadow: "0 0 0 3px #f5b800" }, { boxShadow: "0 0 0 0 transparent" }];

  function updateModule(mod) {
    if (!mod || !mod.address) return;
    modules.set(mod.address, mod);
    // Traffic to an address without a card changes no card and adds none.
    for (const parts of cards.get(mod.address) || []) {
      parts.mod = mod;
      paint(parts);
      // A short glow; an animation of its own needs no layout to restart.
      if (!calm.matches) parts.card.animate(flash, 600);
    }
  }

  function command(address, fields) {
    if (!send(Object.assign({ type: "command", address }, fields), { address, tapMs: performance.now() })) {
      cardStatus(address, "Not connected", true);
      return;
    }
    for (const parts of cards.get(address) || []) setSending(parts, true);
  }

  function setSending(parts, on) {
    parts.card.classList.toggle("sending", on);
    parts.card.classList.remove("failed");
    parts.status.classList.remove("error");
    parts.status.textContent = on ? "Sending\u2026" : "";
    if (parts.toggle) parts.toggle.setAttribute("aria-busy", on ? "true" : "false");
  }

  // The card after an answer: still sending while another command of this
  // page waits, and showing the module's state again.
  function refreshCard(address) {
    for (const parts of cards.get(address) || []) {
      setSending(parts, busy(address));
      paint(parts);
    }
  }

  function cardStatus(address, text, isError) {
    const all = cards.get(address);
    if (!all) {
      $("general-error").textContent = address + ": " + text;
      return;
    }
    for (const parts of all) {
      setSending(parts, busy(address));
      if (busy(address)) continue;
      paint(parts);
      parts.card.classList.toggle("failed", !!isError);
      parts.status.classList.toggle("error", !!isError);
      parts.status.textContent = text;
    }
  }

  // --- Events of the cards (one listener each for all of them) -------------

  const groupsRoot = $("groups");
  const partsOf = (target) => {
    const card = target.closest && target.closest(".card");
    return card ? card.parts : null;
  };

  groupsRoot.addEventListener("click", (ev) => {
    const b = ev.target.closest("button[data-act]");
    const parts = b && partsOf(b);
    if (!parts) return;
    const a = parts.mod.address;
    if (b.dataset.act === "toggle") {
      const cur = modules.get(a);
      command(a, { action: cur && cur.power === "on" ? "off" : "on" });
    } else if (b.dataset.act === "fav") {
      favourites = favourites.includes(a) ? favourites.filter((x) => x !== a) : favourites.concat(a);
      store("veldrin-favourites", favourites);
      // A card leaving the favourites hands the focus to its card elsewhere.
      const elsewhere = (cards.get(a) || []).find((p) => p.group !== parts.group);
      render(parts.group === "g-favourites" && elsewhere ? elsewhere.group + "-" + a + "-fav" : undefined);
    } else if (b.dataset.act === "remove") {
      chosen = chosen.filter((x) => x !== a);
      favourites = favourites.filter((x) => x !== a);
      store("veldrin-shown", chosen);
      store("veldrin-favourites", favourites);
      render();
    }
  });

  // Sliders act only on purpose. A pointer sets a level only when it moved
  // sideways first and is then released at a new level; a touch that starts
  // a scroll (the browser cancels the pointer and may still report a change),
  // a tap on the track or a release where it started sends nothing, and the
  // slider goes back to the module's level. The keyboard sets it once its
  // keys have settled.
  groupsRoot.addEventListener("pointerdown", (ev) => {
    if (ev.target.type !== "range") return;
    const parts = ev.target.parts;
    // The pointer decides from here: keys pressed before send nothing more.
    parts.keyed = parts.keyDown = false;
    clearTimeout(parts.keyTimer);
    parts.keyTimer = 0;
    drag = { parts, x: ev.clientX, y: ev.clientY, deliberate: false };
  });
  document.addEventListener("pointermove", (ev) => {
    if (!drag || drag.deliberate) return;
    const dx = Math.abs(ev.clientX - drag.x);
    const dy = Math.abs(ev.clientY - drag.y);
    if (dx >= kDeliberatePx && dx > dy) drag.deliberate = true;
  });
  const release = (ev) => {
    if (!drag) return;
    const d = drag;
    drag = null;
    if (ev.type === "pointerup" && d.deliberate) commit(d.parts);
    else showLevel(d.parts);
  };
  document.addEventListener("pointerup", release);
  document.addEventListener("pointercancel", release);
  // A level set by a key counts as keyed once it changed the value (a key at
  // either end changes nothing, and the pointer's next change is its own).
  groupsRoot.addEventListener("keydown", (ev) => {
    if (ev.target.type === "range" && /^(Arrow|Page|Home|End)/.test(ev.key)) ev.target.parts.keyDown = true;
  });
  const keyUp = (ev) => {
    if (ev.target.type === "range") ev.target.parts.keyDown = false;
  };
  groupsRoot.addEventListener("keyup", keyUp);
  groupsRoot.addEventListener("focusout", keyUp);
  groupsRoot.addEventListener("input", (ev) => {
    if (ev.target.type !== "range") return;
    if (ev.target.parts.keyDown) ev.target.parts.keyed = true;
    showWanted(ev.target.parts);
  });
  groupsRoot.addEventListener("change", (ev) => {
    const parts = ev.target.parts;
    if (ev.target.type !== "range" || !parts) return;
    if (!parts.keyed) {
      // Not the keyboard: the pointer's release decides; a change without
      // one (a cancelled touch) goes back.
      if (!drag) showLevel(parts);
      return;
    }
    parts.keyed = false;
    clearTimeout(parts.keyTimer);
    parts.keyTimer = setTimeout(() => {
      parts.keyTimer = 0;
      commit(parts);
    }, kKeySettleMs);
  });

  function commit(parts) {
    const m = parts.mod;
    const index = Number(parts.range.value);
    const now = typeof m.level === "number" ? Math.round((m.level * stepsOf(m)) / 100) : -1;
    if (index === now) {
      showLevel(parts);
      return;
    }
    command(m.address, { action: "brightness", value: percentAt(m, index) });
  }

  // --- Status strip, heard list, schedule, scenes ---------------------------

  function strip(id, text, cls) {
    const li = $(id);
    li.textContent = text;
    li.className = cls;
  }

  // The interface as the core knows it: found, not found, lost, not answering.
  function setInterface(i) {
    const link = i.link || (i.ready ? "found" : "not found");
    strip("iface", "Interface: " + link, link === "found" && i.ready !== false ? "good" : "bad");
  }

  function setMqtt(mqtt) {
    $("mqtt").hidden = !mqtt;
    if (!mqtt) return;
    strip("mqtt", "MQTT bridge: " + (mqtt.connected ? "connected" : "disconnected"), mqtt.connected ? "good" : "bad");
  }

  function addHeard(h, live) {
    const line = typeof h === "string" ? h : h.line;
    const li = el("li");
    if (h.at) {
      const t = el("time", "", new Date(h.at).toLocaleTimeString([], { hour: "2-digit", minute: "2-digit", second: "2-digit" }));
      t.dateTime = new Date(h.at).toISOString();
      li.append(t, " ");
    }
    li.append(line);
    const list = $("heard");
    if (live) list.prepend(li);
    else list.append(li);
    while (list.children.length > 50) list.lastElementChild.remove();
  }

  function setSchedule(s) {
    $("schedule").hidden = !s;
    const scenes = (s && s.scenes) || [];
    $("scenes").hidden = !scenes.length;
    const row = $("scene-list");
    row.textContent = "";
    for (const name of scenes) {
      const b = el("button", "", name);
      b.type = "button";
      b.dataset.key = "scene-" + name;
      b.setAttribute("aria-label", "Run scene " + name);
      b.addEventListener("click", () => {
        const st = $("scene-status");
        st.classList.remove("error");
        if (send({ type: "scene", name }, { scene: name })) st.textContent = "Starting \u201c" + name + "\u201d\u2026";
        else {
          st.textContent = "Not connected";
          st.classList.add("error");
        }
      });
      row.append(b);
    }
    indexPanels();
    if (!s) return;
    const away = $("away");
    away.setAttribute("aria-pressed", s.enabled ? "true" : "false");
    $("away-state").textContent = s.enabled ? "On" : "Off (away)";
    $("schedule-status").textContent = "";
    $("schedule-status").classList.remove("error");
    if (s.refused) {
      // The file has an error and nothing runs until it is fixed.
      $("away-state").textContent = "No schedule runs";
      $("schedule-status").textContent = "The schedule file was refused: " + s.refused;
      $("schedule-status").classList.add("error");
    }
    const list = $("next");
    list.textContent = "";
    for (const n of s.next || []) {
      const li = el("li");
      li.append(el("time", "", n.at), " " + n.text);
      list.append(li);
    }
    if (!(s.next || []).length) list.append(el("li", "note", "Nothing due."));
    const triggers = $("triggers");
    triggers.textContent = "";
    for (const t of s.triggers || []) triggers.append(el("li", "", "When " + t.when + " heard: " + t.action));
    if (!(s.triggers || []).length) triggers.append(el("li", "note", "No triggers."));
  }

  $("away").addEventListener("click", () => {
    const enabled = $("away").getAttribute("aria-pressed") !== "true";
    if (send({ type: "schedule", enabled }, { schedule: true })) {
      $("schedule-status").textContent = "Sending\u2026";
    }
  });

  // An address that is not listed, shown because the user asked for it.
  $("add").addEventListener("submit", (ev) => {
    ev.preventDefault();
    const a = $("add-address").value.trim().toUpperCase();
    const error = $("add-error");
    error.textContent = "";
    if (!isAddress(a)) error.textContent = "An address is a house letter A to P and a unit 1 to 16, like B3.";
    else if ((modules.get(a) || {}).listed) error.textContent = a + " has a card already.";
    else {
      if (!chosen.includes(a)) chosen = chosen.concat(a);
      store("veldrin-shown", chosen);
      $("add-address").value = "";
      render();
    }
  });

  start().then((reached) => {
    if (!reached) {
      wanted = true;
      lost(kUnreachable);
    }
  });

  // The page's own files kept in the browser (sw.js): the installed page
  // opens while the server is down and says so. Only where browsers allow
  // it: over HTTPS or on this computer.
  if ("serviceWorker" in navigator) navigator.serviceWorker.register("sw.js").catch(() => {});
})();
