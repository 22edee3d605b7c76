"use strict";
// The phone page: logs in with the connection password, then keeps one
// WebSocket to the server. Cards show what the modules report, never what was
// merely asked for: a command marks its card "sending" until the interface
// confirms it or the state arrives.

(() => {
  const $ = (id) => document.getElementById(id);
  const el = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };

  // Confirmation-to-update times for measuring (one entry per "state" shown).
  window.veldrinTimings = [];
  const kTimingsKept = 2000;

  let token = null;
  let ws = null;
  let wanted = false; // the WebSocket should be open (logged in)
  let retryMs = 1000;
  let retryTimer = 0;
  let nextId = 1;
  let modules = new Map(); // address -> MODULE
  const cards = new Map(); // address -> card parts
  const pending = new Map(); // command id -> {address} | {house} | {schedule}
  const houseParts = new Map(); // house letter -> {status}

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
      s = await api("/api/session");
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
      const r = await api("/api/login", { method: "POST", body: { password: $("password").value } });
      if (r.status === 200 && r.data && r.data.token) {
        token = r.data.token;
        $("password").value = "";
        openSocket();
      } else if (r.status === 503) {
        show("closed");
      } else {
        const fallback = {
          401: "Wrong password",
          429: "Too many attempts; try again later",
        };
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
      await api("/api/logout", { method: "POST", body: {} });
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
    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    const sock = new WebSocket(scheme + location.host + "/ws");
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
      failAllPending("Connection lost");
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
    }
  }

  // The connection dropped: say so, and try again after 1 s, growing to 5 s.
  // Each try asks first whether the session still holds; a restarted server
  // may have forgotten it, and then the page asks for the password again.
  function lost(why) {
    notice(why ? why + "; trying again..." : "Connection lost, reconnecting...");
    clearTimeout(retryTimer);
    retryTimer = setTimeout(async () => {
      retryMs = Math.min(retryMs + 1000, 5000);
      if (!wanted) return;
      const reached = await start("The connection was lost and the session ended; log in again.");
      if (!wanted && reached) notice("");
      if (!reached && wanted) lost();
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
        updateModule(m.module, true);
        setSending(m.module.address, false);
        window.veldrinTimings.push({ address: m.module.address, at: m.module.at, shownMs: Date.now() });
        if (window.veldrinTimings.length > kTimingsKept) window.veldrinTimings.shift();
        break;
      case "result":
        result(m);
        break;
      case "confirmed":
        for (const a of m.addresses || []) setSending(a, false);
        houseDone(m.addresses || [], "");
        break;
      case "failed":
        for (const a of m.addresses || []) cardError(a, "Failed: " + (m.error || "not confirmed"));
        houseDone(m.addresses || [], "Failed: " + (m.error || "not confirmed"));
        break;
      case "heard":
        addHeard(m.line);
        break;
      case "interface":
        setInterface(m.ready);
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
        failAllPending("");
        showLogin("The session ended; log in again.");
        break;
    }
  }

  function result(m) {
    const what = m.id == null ? undefined : pending.get(m.id);
    if (m.ok && m.unchanged && what && what.address) {
      // Nothing to send: the card and its slider show the module's state
      // again, not what was asked for.
      setSending(what.address, false);
      const parts = cards.get(what.address);
      if (parts) paint(parts);
    }
    if (m.ok) return; // queued; the card stays "sending" until confirmed
    pending.delete(m.id);
    const text = m.error || "Not sent";
    if (!what) $("general-error").textContent = text;
    else if (what.address) cardError(what.address, text);
    else if (what.house) houseStatus(what.house, text, true);
    else if (what.schedule) {
      $("schedule-status").textContent = text;
      $("schedule-status").classList.add("error");
    }
  }

  function failAllPending(text) {
    for (const what of pending.values()) {
      if (what.address) {
        if (text) cardError(what.address, text);
        else setSending(what.address, false);
      } else if (what.house) houseStatus(what.house, text, !!text);
    }
    pending.clear();
  }

  // --- Rendering -----------------------------------------------------------

  function hello(m) {
    modules = new Map();
    for (const mod of m.modules || []) modules.set(mod.address, mod);
    renderModules();
    setInterface(m.interface && m.interface.ready);
    setMqtt(m.mqtt);
    const heard = $("heard");
    heard.textContent = "";
    for (const line of (m.heard || []).slice(0, 50)) heard.append(el("li", "", line));
    setSchedule(m.schedule);
    $("version").textContent = m.version ? "Veldrin " + m.version : "";
    $("general-error").textContent = "";
  }

  const unitOrder = (a, b) => a.house.localeCompare(b.house) || a.unit - b.unit;

  function renderModules() {
    const root = $("houses");
    const focused = document.activeElement;
    const focusKey = focused && focused.dataset ? focused.dataset.key : null;
    root.textContent = "";
    cards.clear();
    houseParts.clear();
    const all = [...modules.values()].sort(unitOrder);
    const houses = [...new Set(all.filter((x) => x.listed).map((x) => x.house))];
    for (const h of houses) {
      const sec = section("House " + h, "house-" + h);
      const bar = el("div", "house-actions");
      bar.append(
        houseButton(h, "all_lights_on", "All lights on"),
        houseButton(h, "all_units_off", "All units off"),
      );
      const status = el("p", "status");
      bar.append(status);
      houseParts.set(h, { status });
      sec.head.after(bar);
      for (const mod of all) if (mod.listed && mod.house === h) sec.grid.append(makeCard(mod));
      root.append(sec.root);
    }
    const others = all.filter((x) => !x.listed);
    if (others.length) {
      const sec = section("Other", "other");
      for (const mod of others) sec.grid.append(makeCard(mod));
      root.append(sec.root);
    }
    if (!all.length) root.append(el("p", "note", "No modules are listed in the settings."));
    // New cards for every module: those with a command still on its way
    // show "sending" again.
    for (const what of pending.values()) if (what.address) setSending(what.address, true);
    if (focusKey) {
      const again = root.querySelector('[data-key="' + CSS.escape(focusKey) + '"]');
      if (again) again.focus();
    }
  }

  function section(title, id) {
    const root = el("section", "house");
    root.setAttribute("aria-labelledby", "h-" + id);
    const head = el("h2", "", title);
    head.id = "h-" + id;
    const grid = el("div", "cards");
    root.append(head, grid);
    return { root, head, grid };
  }

  function houseButton(house, action, text) {
    const b = el("button", "", text);
    b.type = "button";
    b.dataset.key = "house-" + house + "-" + action;
    b.addEventListener("click", () => {
      if (send({ type: "house", house, action }, { house })) houseStatus(house, "Sending\u2026", false);
      else houseStatus(house, "Not connected", true);
    });
    return b;
  }

  function houseStatus(house, text, isError) {
    const p = houseParts.get(house);
    if (!p) return;
    p.status.textContent = text;
    p.status.classList.toggle("error", !!isError);
  }

  // A confirmation or failure touching a house ends its "sending".
  function houseDone(addresses, error) {
    for (const [h, p] of houseParts) {
      if (!p.status.textContent || p.status.classList.contains("error")) continue;
      if (addresses.some((a) => a.charAt(0) === h)) {
        houseStatus(h, error, !!error);
        for (const [id, what] of pending) if (what.house === h) pending.delete(id);
      }
    }
  }

  const controllable = (kind) => kind === "lamp" || kind === "appliance";

  function makeCard(mod) {
    const named = mod.name && mod.name !== mod.address;
    const label = named ? mod.name + " " + mod.address : mod.address;
    const labelText = () => {
      const t = el("span", "label");
      if (named) t.append(el("span", "name", mod.name), " ", el("span", "addr", mod.address));
      else t.append(el("span", "name", mod.address));
      return t;
    };
    const card = el("article", "card kind-" + mod.kind);
    card.dataset.address = mod.address;
    const parts = { card, mod };
    const head = el("div", "card-head");
    if (controllable(mod.kind)) {
      const b = el("button", "toggle");
      b.type = "button";
      b.dataset.key = "toggle-" + mod.address;
      b.setAttribute("aria-label", label);
      const knob = el("span", "knob");
      knob.setAttribute("aria-hidden", "true");
      b.append(knob, labelText());
      b.addEventListener("click", () => {
        const cur = modules.get(mod.address);
        const action = cur && cur.power === "on" ? "off" : "on";
        command(mod.address, { action });
      });
      parts.toggle = b;
      head.append(b);
    } else {
      head.append(labelText());
    }
    parts.state = el("span", "state");
    head.append(parts.state);
    card.append(head);
    if (mod.kind === "lamp") {
      const row = el("div", "dim");
      const id = "dim-" + mod.address;
      const lab = el("label", "", "Brightness");
      lab.htmlFor = id;
      const r = el("input");
      r.type = "range";
      r.min = "0";
      r.max = "100";
      r.step = "1";
      r.id = id;
      r.dataset.key = id;
      r.setAttribute("aria-label", "Brightness of " + label);
      r.addEventListener("pointerdown", () => (parts.dragging = true));
      for (const ev of ["pointerup", "pointercancel"]) r.addEventListener(ev, () => (parts.dragging = false));
      r.addEventListener("change", () => {
        parts.dragging = false;
        command(mod.address, { action: "brightness", value: Number(r.value) });
      });
      parts.level = el("output", "level");
      parts.level.htmlFor = id;
      row.append(lab, r, parts.level);
      parts.range = r;
      card.append(row);
    }
    parts.status = el("p", "status");
    parts.status.setAttribute("aria-live", "polite");
    parts.state.id = "state-" + mod.address;
    parts.status.id = "status-" + mod.address;
    for (const c of [parts.toggle, parts.range])
      if (c) c.setAttribute("aria-describedby", parts.state.id + " " + parts.status.id);
    card.append(parts.status);
    cards.set(mod.address, parts);
    paint(parts);
    return card;
  }

  function paint(parts) {
    const m = parts.mod;
    const on = m.power === "on";
    parts.card.classList.toggle("on", on);
    parts.card.classList.toggle("unknown", m.power !== "on" && m.power !== "off");
    if (parts.toggle) parts.toggle.setAttribute("aria-pressed", on ? "true" : "false");
    parts.state.textContent = on ? "On" : m.power === "off" ? "Off" : "Unknown";
    if (parts.range) {
      const known = typeof m.level === "number";
      parts.level.textContent = known ? m.level + " %" : "\u2013 %";
      if (known && !parts.dragging) parts.range.value = String(m.level);
    }
    if (m.source && m.source !== "none") parts.card.title = "Last change: " + m.source;
  }

  function updateModule(mod, live) {
    if (!mod || !mod.address) return;
    modules.set(mod.address, mod);
    const parts = cards.get(mod.address);
    if (!parts || parts.mod.listed !== mod.listed || parts.mod.kind !== mod.kind) {
      renderModules(); // a new address (under "Other"), or one that moved
      return;
    }
    parts.mod = mod;
    paint(parts);
    if (live) {
      parts.card.classList.remove("flash");
      void parts.card.offsetWidth;
      parts.card.classList.add("flash");
    }
  }

  function command(address, fields) {
    const parts = cards.get(address);
    if (!send(Object.assign({ type: "command", address }, fields), { address })) {
      if (parts) cardError(address, "Not connected");
      return;
    }
    setSending(address, true);
  }

  function setSending(address, on) {
    const parts = cards.get(address);
    if (!parts) return;
    parts.card.classList.toggle("sending", on);
    parts.card.classList.remove("failed");
    parts.status.classList.remove("error");
    parts.status.textContent = on ? "Sending\u2026" : "";
    if (parts.toggle) parts.toggle.setAttribute("aria-busy", on ? "true" : "false");
    if (!on) for (const [id, what] of pending) if (what.address === address) pending.delete(id);
  }

  function cardError(address, text) {
    const parts = cards.get(address);
    if (!parts) {
      $("general-error").textContent = address + ": " + text;
      return;
    }
    setSending(address, false);
    parts.card.classList.add("failed");
    parts.status.classList.add("error");
    parts.status.textContent = text;
  }

  function setInterface(ready) {
    const li = $("iface");
    li.textContent = ready ? "Interface: connected" : "Interface: not found";
    li.className = ready ? "good" : "bad";
  }

  function setMqtt(mqtt) {
    const li = $("mqtt");
    li.hidden = !mqtt;
    if (!mqtt) return;
    li.textContent = mqtt.connected ? "MQTT bridge: connected" : "MQTT bridge: disconnected";
    li.className = mqtt.connected ? "good" : "bad";
  }

  function addHeard(line) {
    const list = $("heard");
    list.prepend(el("li", "", line));
    while (list.children.length > 50) list.lastElementChild.remove();
  }

  function setSchedule(s) {
    const sec = $("schedule");
    sec.hidden = !s;
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
  }

  $("away").addEventListener("click", () => {
    const enabled = $("away").getAttribute("aria-pressed") !== "true";
    if (send({ type: "schedule", enabled }, { schedule: true })) {
      $("schedule-status").textContent = "Sending\u2026";
    }
  });

  start().then((reached) => {
    if (!reached) {
      wanted = true;
      lost();
    }
  });
})();
