#!/usr/bin/python3
"""The phone page in a real browser (headless chromium through selenium),
against the real daemon veldrind driving the emulator veldrin-sim on a
pseudo-terminal.

usage: browser_test.py BIN_DIR [unittest arguments]
Exits 77 (skipped) when chromium or its driver is missing.
"""

import base64
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys
except ImportError:  # main() says what is missing
    ActionChains = Keys = None

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
PASSWORD = "garden-shed-42"
SLIDER = '[data-address="%s"] input[type=range]'
BIN = None
# The accessibility engine, installed with `npm ci` in its folder.
AXE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "axe", "node_modules", "axe-core", "axe.min.js")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Output:
    """Lines of a child's output, collected by a thread; waits block on a
    condition until a matching line arrives or the deadline passes."""

    def __init__(self, stream, name):
        self.lines = []
        self.times = []  # time.monotonic() at each line's arrival
        self.name = name
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in stream:
            with self.cond:
                self.times.append(time.monotonic())
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def since(self, mark):
        with self.cond:
            return list(self.lines[mark:])

    def wait(self, pattern, start=0, timeout=10.0):
        """The first match of pattern in the lines from index start on."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    m = rx.search(self.lines[i])
                    if m:
                        return i, m
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(
                        "%s: no line matching %r; got:\n%s"
                        % (self.name, pattern, "\n".join(self.lines[start:][-40:]))
                    )
                self.cond.wait(left)


DEFAULT_MODULES = "A5=lamp,Desk lamp\nA6=appliance,Kettle\n"

ROOMS = ("Kitchen", "Hall", "Living room", "Dining room", "Study", "Bedroom", "Bathroom", "Garage",
         "Garden", "Attic", "Cellar", "Porch", "Nursery", "Guest room", "Laundry", "Office")


def large_house(count=256, rooms=16):
    """[Modules] lines of a large house: count modules over the houses A to P,
    in rooms rooms, mostly lamps, with appliances, door and window contacts
    and motion sensors among them."""
    kinds = ("lamp", "lamp", "appliance", "lamp", "sensor", "lamp", "motion", "lamp")
    lines = []
    for i in range(count):
        address = "%s%d" % ("ABCDEFGHIJKLMNOP"[i // 16], i % 16 + 1)
        kind = kinds[i % len(kinds)]
        room = ROOMS[i % rooms] if rooms <= len(ROOMS) else "Room %d" % (i % rooms + 1)
        extra = ",class=window" if kind == "sensor" and i % 2 else ""
        lines.append("%s=%s,%s %s %d,room=%s%s" % (address, kind, room, kind, i // rooms + 1, room, extra))
    return "\n".join(lines) + "\n"


class Rig:
    """The emulator and the daemon serving the page, in a temporary folder.
    modules: the [Modules] lines; schedule: the schedule file's text."""

    def __init__(self, time_scale=10, modules=DEFAULT_MODULES, schedule=None):
        # Both run their delays ten times faster (the daemon's search for the
        # interface, its ping time-outs) unless a bench wants real time.
        self.time_scale = time_scale
        self.dir = tempfile.TemporaryDirectory(prefix="veldrin-web-")
        d = self.dir.name
        self.sim = subprocess.Popen(
            [os.path.join(BIN, "veldrin-sim"), "--frames", "--time-scale", str(time_scale)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, bufsize=1,
        )
        self.sim_out = Output(self.sim.stdout, "veldrin-sim")
        _, m = self.sim_out.wait(r"^device: (\S+)")
        self.port = free_port()
        self.base = "http://127.0.0.1:%d" % self.port
        self.config = os.path.join(d, "veldrin.conf")
        with open(self.config, "w") as f:
            f.write(
                "[Ports]\nCOM1=%s\n[Startup]\nListenAddress=127.0.0.1\nListenPort=%d\n"
                "[Web]\nEnabled=true\nPort=%d\n"
                "[Modules]\n%s" % (m.group(1), free_port(), self.port, modules)
            )
        if schedule is not None:
            with open(os.path.join(d, "schedule"), "w") as f:
                f.write(schedule)
        self.password = os.path.join(d, "password")
        with open(self.password, "w") as f:
            f.write(PASSWORD + "\n")
        os.chmod(self.password, 0o600)
        self.env = dict(os.environ, HOME=d, VELDRIN_TIME_SCALE=str(time_scale))
        for var in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
            path = os.path.join(d, var.lower())
            os.makedirs(path, mode=0o700, exist_ok=True)
            self.env[var] = path
        self.daemon = None
        self.start_daemon()

    def start_daemon(self):
        self.daemon = subprocess.Popen(
            [os.path.join(BIN, "veldrind"), "--config", self.config, "--password-file", self.password],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, env=self.env,
        )
        self.daemon_out = Output(self.daemon.stdout, "veldrind")
        self.daemon_out.wait(r"Found Pandrel Interface on Com: 1", timeout=15)
        # The page is served once the session call answers.
        deadline = time.monotonic() + 10
        while True:
            try:
                status, _, _ = self.http("GET", "/api/session")
                if status == 200:
                    return
            except OSError:
                pass
            if time.monotonic() > deadline or self.daemon.poll() is not None:
                raise AssertionError("the page is not served:\n" + "\n".join(self.daemon_out.lines))
            time.sleep(0.05)

    def stop_daemon(self):
        if self.daemon and self.daemon.poll() is None:
            self.daemon.send_signal(signal.SIGTERM)
            try:
                self.daemon.wait(10)
            except subprocess.TimeoutExpired:
                self.daemon.kill()
                self.daemon.wait()
        if self.daemon:
            self.daemon_out.thread.join(5)
            self.daemon.stdout.close()
        self.daemon = None

    def sim_command(self, line):
        self.sim.stdin.write(line + "\n")
        self.sim.stdin.flush()

    def http(self, method, path, body=None, headers=None):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        try:
            c.request(method, path, body=body, headers=headers or {})
            r = c.getresponse()
            return r.status, r.getheaders(), r.read()
        finally:
            c.close()

    def login_cookie(self):
        status, headers, body = self.http(
            "POST", "/api/login", json.dumps({"password": PASSWORD}),
            {"Content-Type": "application/json"},
        )
        assert status == 200, (status, body)
        for k, v in headers:
            m = re.match(r"veldrin_session=([0-9a-f]+)", v) if k.lower() == "set-cookie" else None
            if m:
                return m.group(1)
        raise AssertionError("no session cookie in %r" % headers)

    def close(self):
        self.stop_daemon()
        if self.sim.poll() is None:
            self.sim.terminate()
            self.sim.wait(5)
        self.sim_out.thread.join(5)
        self.sim.stdin.close()
        self.sim.stdout.close()
        self.dir.cleanup()


def ws_handshake(port, origin, cookie):
    """Raw WebSocket upgrade; returns (status line, socket)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    key = base64.b64encode(os.urandom(16)).decode()
    lines = [
        "GET /ws HTTP/1.1", "Host: 127.0.0.1:%d" % port, "Upgrade: websocket",
        "Connection: Upgrade", "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13",
        "Origin: " + origin,
    ]
    if cookie:
        lines.append("Cookie: veldrin_session=" + cookie)
    s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(4096)
        if not chunk:
            break
        head += chunk
    return head.split(b"\r\n", 1)[0].decode(errors="replace"), s, head.partition(b"\r\n\r\n")[2]


def ws_read_frame(s, buf):
    """One unmasked server frame: (opcode, payload, bytes after it), or
    (None, b"", b"") when the connection closed first."""

    def need(n):
        nonlocal buf
        while len(buf) < n:
            chunk = s.recv(4096)
            if not chunk:
                return False
            buf += chunk
        return True

    if not need(2):
        return None, b"", b""
    op, n = buf[0] & 0x0F, buf[1] & 0x7F
    off = 2
    if n == 126:
        need(4)
        n, off = int.from_bytes(buf[2:4], "big"), 4
    elif n == 127:
        need(10)
        n, off = int.from_bytes(buf[2:10], "big"), 10
    if not need(off + n):
        return None, b"", b""
    return op, buf[off:off + n], buf[off + n:]


class PathProxy:
    """A reverse proxy that serves the daemon's page under /veldrin/: each
    connection's request has the prefix taken off its path and, unless it is
    a WebSocket upgrade, is its connection's only one; then bytes are copied
    both ways as they come."""

    PREFIX = b"/veldrin"

    def __init__(self, port):
        self.port = port
        self.server = socket.create_server(("127.0.0.1", 0))
        self.base = "http://127.0.0.1:%d%s" % (self.server.getsockname()[1], self.PREFIX.decode())
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.server.close()

    def _accept(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        with client:
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = client.recv(4096)
                if not chunk:
                    return
                head += chunk
            head, _, rest = head.partition(b"\r\n\r\n")
            lines = head.split(b"\r\n")
            method, path, version = lines[0].split(b" ")
            if not path.startswith(self.PREFIX + b"/"):
                client.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            lines[0] = b" ".join((method, path[len(self.PREFIX):], version))
            if not any(l.lower().startswith(b"upgrade:") for l in lines):
                lines = [l for l in lines if not l.lower().startswith(b"connection:")] + [b"Connection: close"]
            try:
                server = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            except OSError:
                return  # the daemon is down: the browser sees the connection close
            with server:
                server.settimeout(None)
                server.sendall(b"\r\n".join(lines) + b"\r\n\r\n" + rest)
                back = threading.Thread(target=self._copy, args=(server, client), daemon=True)
                back.start()
                self._copy(client, server)
                back.join()

    @staticmethod
    def _copy(src, dst):
        try:
            while True:
                chunk = src.recv(65536)
                if not chunk:
                    break
                dst.sendall(chunk)
        except OSError:
            pass
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def rig(**options):
    """A test's own rig options (modules, schedule)."""

    def mark(test):
        test.rig_options = options
        return test

    return mark


class PageTest(unittest.TestCase):
    time_scale = 10

    def setUp(self):
        test = getattr(self, self._testMethodName, None)
        self.rig = Rig(self.time_scale, **getattr(test, "rig_options", {}))
        self.addCleanup(self.rig.close)

    def browser(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        o = webdriver.ChromeOptions()
        o.binary_location = CHROMIUM
        for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                  "--window-size=390,844", "--no-first-run", "--disable-extensions"):
            o.add_argument(a)
        d = webdriver.Chrome(service=Service(CHROMEDRIVER), options=o)
        self.addCleanup(d.quit)
        return d

    def until(self, d, cond, what, timeout=10):
        from selenium.webdriver.support.ui import WebDriverWait

        try:
            return WebDriverWait(d, timeout, poll_frequency=0.05).until(lambda d: cond(d))
        except Exception:
            self.fail("%s; page text:\n%s" % (what, d.find_element("tag name", "body").text))

    def js(self, d, script, *args):
        return d.execute_script(script, *args)

    def attr(self, d, selector, name):
        return self.js(
            d, "const e = document.querySelector(arguments[0]); return e && e.getAttribute(arguments[1]);",
            selector, name,
        )

    def text(self, d, selector):
        return self.js(d, "const e = document.querySelector(arguments[0]); return e && e.textContent;", selector)

    def log_in(self, d, password=PASSWORD, load=True):
        if load:
            d.get(self.rig.base + "/")
        self.until(d, lambda d: d.find_element("id", "password").is_displayed(), "no login form")
        field = d.find_element("id", "password")
        field.clear()
        field.send_keys(password)
        d.find_element("css selector", "#login button[type=submit]").click()

    def commands_since(self, mark, address):
        """The emulator's module lines for address since mark."""
        return [l for l in self.rig.sim_out.since(mark) if l.startswith(address + " ")]

    def swipe(self, d, selector, start, step):
        """A finger put down at the fraction start of the element's width and
        moved 15 times by step (dx, dy) in CSS pixels, as touch events."""
        x, y = self.js(d, """const r = document.querySelector(arguments[0]).getBoundingClientRect();
                             return [r.left + r.width * arguments[1], r.top + r.height / 2];""", selector, start)
        touch = lambda kind, points: d.execute_cdp_cmd("Input.dispatchTouchEvent",
                                                       {"type": kind, "touchPoints": points})
        touch("touchStart", [{"x": x, "y": y}])
        for i in range(1, 16):
            touch("touchMove", [{"x": x + step[0] * i, "y": max(1, y + step[1] * i)}])
        touch("touchEnd", [])

    def card_shown(self, d):
        return self.js(d, """const e = document.querySelector('[data-address="A5"] .toggle');
                             return !!e && e.offsetParent !== null;""")

    def wait_card(self, d):
        self.until(d, self.card_shown, "no A5 card")

    def pressed(self, d, address):
        return self.attr(d, '[data-address="%s"] .toggle' % address, "aria-pressed")

    def test_wrong_then_right_password(self):
        d = self.browser()
        self.log_in(d, "not-it")
        self.until(d, lambda d: self.text(d, "#login-error") == "Wrong password", "no wrong-password error")
        self.assertFalse(self.card_shown(d))
        # A wrong password makes this address wait before the next try: the
        # right one at once is refused with the time to wait, and taken once
        # that has passed.
        self.log_in(d, load=False)
        waits = []

        def admitted(d):
            if self.card_shown(d):
                return True
            error = self.text(d, "#login-error") or ""
            if error.startswith("Too many attempts"):
                waits.append(error)
                d.find_element("css selector", "#login button[type=submit]").click()
            return False

        self.until(d, admitted, "the right password is never taken", 15)
        for w in waits:
            self.assertRegex(w, r"^Too many attempts; try again in \d+ s$")
        self.assertEqual(self.attr(d, '[data-address="A5"] .toggle', "aria-label"), "Desk lamp A5")
        self.assertEqual(self.pressed(d, "A5"), "false")
        self.assertIsNotNone(self.js(d, "return document.querySelector('[data-address=\"A5\"] input[type=range]')"))
        self.assertIsNone(self.js(d, "return document.querySelector('[data-address=\"A6\"] input[type=range]')"))
        self.assertEqual(self.text(d, "#groups h2"), "House A")
        self.assertEqual(self.attr(d, '[data-key="house A on"]', "aria-label"), "All lights on, house A")
        weight = self.js(d, "return performance.getEntries().reduce((s, e) => s + (e.decodedBodySize || 0), 0)")
        self.assertTrue(10 * 1024 < weight < 60 * 1024, "the page's files together: %s bytes" % weight)

    def test_switch_dim_and_wall_switch_reach_every_page(self):
        d1, d2 = self.browser(), self.browser()
        for d in (d1, d2):
            self.log_in(d)
            self.wait_card(d)
        self.js(d2, "window.notReloaded = true;")
        sim = self.rig.sim_out

        mark = sim.mark()
        d1.find_element("css selector", '[data-address="A5"] .toggle').click()
        i, _ = sim.wait(r"^frame: 04 61$", mark)
        sim.wait(r"^frame: 06 62$", i + 1)
        sim.wait(r"^A5 ON", i + 1)
        for d in (d1, d2):
            self.until(d, lambda d: self.pressed(d, "A5") == "true", "A5 not shown on")
        self.assertTrue(self.js(d2, "return window.notReloaded === true"))
        self.until(d1, lambda d: "Sending" not in self.text(d, '[data-address="A5"] .status'),
                   "A5 still sending after the confirmation")

        # The keyboard: 15 steps down from the top of the line's 22 is 32 %,
        # sent once the keys have settled, and every card shows it.
        mark = sim.mark()
        slider = d1.find_element("css selector", SLIDER % "A5")
        self.assertEqual(slider.get_attribute("max"), "22")
        slider.send_keys(*[Keys.ARROW_LEFT] * 15)
        sim.wait(r"^frame: [0-9A-F]{2} 64$", mark)
        sim.wait(r"^A5 DIM", mark)
        for d in (d1, d2):
            self.until(d, lambda d: self.text(d, '[data-address="A5"] .level') == "32 %", "A5 not at 32 %")
        self.assertEqual(len(self.commands_since(mark, "A5")), 1, sim.since(mark))

        # Sliders act only on purpose: a vertical swipe starting on one
        # scrolls (and the change Chromium may send after it is ignored), a
        # tap on its track sends nothing; a sideways drag released at a new
        # level sends one command.
        mark = sim.mark()
        self.js(d1, "const s = document.createElement('div'); s.style.height = '3000px'; document.body.append(s);")
        self.swipe(d1, SLIDER % "A5", 0.3, (0.5, -20))
        self.until(d1, lambda d: self.js(d, "return scrollY") > 100, "the swipe did not scroll")
        self.js(d1, "document.querySelector(arguments[0]).dispatchEvent(new Event('change', {bubbles: true}))",
                SLIDER % "A5")
        # The swipe may leave the page still flinging (longer on a busy
        # machine): the pointer below must land where the slider is.
        last = []

        def settled(d):
            # Centred once, then watched: three equal readings in a row.
            y = d.execute_script("return [scrollY, document.querySelector(arguments[0])"
                                 ".getBoundingClientRect().top]", SLIDER % "A5")
            if last and y != last[-1]:
                last.clear()
            if not last:
                d.execute_script("document.querySelector(arguments[0])"
                                 ".scrollIntoView({block: 'center'})", SLIDER % "A5")
                y = d.execute_script("return [scrollY, document.querySelector(arguments[0])"
                                     ".getBoundingClientRect().top]", SLIDER % "A5")
            last.append(y)
            return len(last) >= 3
        self.until(d1, settled, "the page did not stop scrolling")
        slider = d1.find_element("css selector", SLIDER % "A5")
        width = slider.size["width"]
        ActionChains(d1).move_to_element_with_offset(slider, int(width * 0.4), 0).click().perform()
        self.assertEqual(self.text(d1, '[data-address="A5"] .level'), "32 %")
        self.assertEqual(slider.get_attribute("value"), "7")
        ActionChains(d1).move_to_element_with_offset(slider, int(-width * 0.2), 0).click_and_hold() \
            .move_by_offset(int(width * 0.2), 0).move_by_offset(int(width * 0.2), 0).release().perform()
        self.until(d1, lambda d: self.text(d, '[data-address="A5"] .level') not in ("32 %", "\u2013 %")
                   and self.text(d, '[data-address="A5"] .status') == "", "A5 not at a new level")
        self.assertEqual(len(self.commands_since(mark, "A5")), 1, sim.since(mark))
        # The same with a finger: a sideways drag from the left end, after a
        # key that changed nothing (one at the end of the range), which must
        # not turn the drag into a keyboard change sent a second time.
        mark = sim.mark()
        level = self.text(d1, '[data-address="A5"] .level')
        self.js(d1, """const s = document.querySelector(arguments[0]);
                       s.dispatchEvent(new KeyboardEvent('keydown', {key: 'End', bubbles: true}));
                       s.dispatchEvent(new KeyboardEvent('keyup', {key: 'End', bubbles: true}));""",
                SLIDER % "A5")
        self.swipe(d1, SLIDER % "A5", 0.05, (8, 0))
        self.assertFalse(self.js(d1, "const p = document.querySelector(arguments[0]).parts;"
                                     "return !!(p.keyed || p.keyTimer)", SLIDER % "A5"))
        self.until(d1, lambda d: self.text(d, '[data-address="A5"] .level') != level
                   and self.text(d, '[data-address="A5"] .status') == "", "the finger's level is not set")
        self.assertEqual(len(self.commands_since(mark, "A5")), 1, sim.since(mark))

        # A wall switch: the emulator uploads A5 OFF as heard on the powerline.
        self.rig.sim_command("recv A5 A OFF")
        for d in (d1, d2):
            self.until(d, lambda d: self.pressed(d, "A5") == "false", "A5 not shown off after the upload")
            self.until(d, lambda d: "A5" in (self.text(d, "#heard li") or ""), "the upload is not heard")
        self.assertTrue(self.js(d2, "return window.notReloaded === true"))
        timings = self.js(d1, "return window.veldrinTimings")
        self.assertTrue(timings and all(t["address"] and t["shownMs"] >= t["at"] > 0 for t in timings), timings)
        # The click, the keyboard's level and the two drags: four commands,
        # each timed from the tap to its verdict.
        taps = self.js(d1, "return window.veldrinTaps")
        self.assertEqual([(t["address"], t["ok"]) for t in taps], [("A5", True)] * 4)

    def test_page_reconnects_after_the_daemon_restarts(self):
        d = self.browser()
        self.log_in(d)
        self.wait_card(d)
        self.rig.stop_daemon()
        self.until(d, lambda d: self.text(d, "#notice") == "Connection lost, reconnecting..."
                   and d.find_element("id", "notice").is_displayed(), "no reconnect notice")
        self.assertEqual(self.attr(d, "#notice", "role"), "status")
        # Nothing of the server is shown as fine while it is away.
        self.assertEqual(self.text(d, "#page"), "Page: reconnecting\u2026")
        self.assertEqual(self.text(d, "#iface"), "Interface: unknown")
        self.assertEqual(self.js(d, "return document.querySelectorAll('#strip .good').length"), 0)
        self.rig.start_daemon()
        self.until(d, lambda d: self.text(d, "#notice") == "", "the notice stays", 15)
        # The restarted daemon may have forgotten the session: then the page asks again.
        self.until(d, lambda d: self.card_shown(d) or d.find_element("id", "password").is_displayed(),
                   "neither cards nor login")
        if not self.card_shown(d):
            self.log_in(d, load=False)
        self.wait_card(d)
        mark = self.rig.sim_out.mark()
        d.find_element("css selector", '[data-address="A6"] .toggle').click()
        self.rig.sim_out.wait(r"^A6 ON", mark)
        self.until(d, lambda d: self.pressed(d, "A6") == "true", "A6 not shown on after the reconnect")

    @rig(modules="A5=lamp,Desk lamp,room=Study\nA6=appliance,Kettle,room=Kitchen\n"
                 "A7=sensor,Back door,class=window\nA8=motion,Hall motion\n",
         schedule="scene evening: A5 ON; A6 ON\nwhen A7 ON heard: A5 OFF\n")
    def test_rooms_favourites_scenes_and_no_cards_for_traffic(self):
        d = self.browser()
        self.log_in(d)
        self.wait_card(d)
        titles = lambda d: self.js(d, "return [...document.querySelectorAll('#groups h2')].map(h => h.textContent)")
        self.assertEqual(titles(d), ["Kitchen", "Study", "House A"])
        self.assertEqual(self.js(d, "return [...document.querySelectorAll('#index a')].map(a => a.textContent)"),
                         ["Scenes", "Kitchen", "Study", "House A", "Schedule", "Heard"])
        self.assertEqual(self.attr(d, '[data-key="room Kitchen off"]', "aria-label"), "All off, Kitchen")
        self.assertEqual(self.text(d, "#triggers li"), "When A7 ON heard: A5 OFF")
        cards = lambda d: self.js(d, "return [...document.querySelectorAll('.card')].map(c => c.dataset.address)")
        self.assertEqual(sorted(cards(d)), ["A5", "A6", "A7", "A8"])

        # A scene runs from the page: its frames reach the emulator.
        sim = self.rig.sim_out
        mark = sim.mark()
        d.find_element("css selector", '[data-key="scene-evening"]').click()
        sim.wait(r"^A5 ON", mark)
        sim.wait(r"^A6 ON", mark)
        self.until(d, lambda d: self.text(d, "#scene-status") == "Scene \u201cevening\u201d started", "no scene status")
        self.rig.daemon_out.wait(r"Web: scene evening")

        # Traffic to addresses without a card changes no card and adds none;
        # the sensors say what they sense.
        mark = sim.mark()
        d.find_element("css selector", '[data-key="house A off"]').click()
        sim.wait(r"^A ALL UNITS OFF", mark)
        self.until(d, lambda d: self.text(d, '[data-key="house A off"] ~ .status') == "", "house A still sending")
        self.rig.sim_command("recv A7 A ON")
        self.rig.sim_command("recv A8 A ON")
        self.rig.sim_command("recv A12 A ON")
        self.until(d, lambda d: self.text(d, '[data-address="A8"] .state') == "Motion", "A8 does not say Motion")
        self.until(d, lambda d: self.text(d, '[data-address="A7"] .state') == "Open", "A7 does not say Open")
        self.until(d, lambda d: "A12" in self.text(d, "#heard"), "A12 not heard")
        self.assertRegex(self.text(d, "#heard li"), r"^\d\d:\d\d:\d\d .*Received A")
        self.assertEqual(sorted(cards(d)), ["A5", "A6", "A7", "A8"])

        # Favourites and addresses the user chose stay in this browser.
        d.find_element("css selector", '[data-address="A6"] .fav').click()
        self.until(d, lambda d: titles(d)[0] == "Favourites", "no favourites group")
        d.find_element("css selector", "#more summary").click()
        d.find_element("id", "add-address").send_keys("a12\n")
        self.until(d, lambda d: "A12" in cards(d), "A12 not shown")
        self.assertEqual(self.text(d, '[data-address="A12"] .state'), "On")
        d.refresh()
        self.until(d, lambda d: titles(d) == ["Favourites", "Kitchen", "Study", "House A", "Other addresses"],
                   "favourites or chosen address lost on reload")
        self.assertEqual(sorted(cards(d)), ["A12", "A5", "A6", "A6", "A7", "A8"])
        d.find_element("css selector", '[data-address="A12"] [data-act=remove]').click()
        self.until(d, lambda d: "A12" not in cards(d), "A12 not removed")

    def test_status_strip_follows_a_silent_interface(self):
        d = self.browser()
        self.log_in(d)
        self.wait_card(d)
        self.assertEqual(self.text(d, "#iface"), "Interface: found")
        self.rig.sim_command("silent on")
        d.find_element("css selector", '[data-address="A6"] .toggle').click()
        # "Sending..." ends with the core's verdict, not a guess.
        self.until(d, lambda d: self.text(d, '[data-address="A6"] .status').startswith("Failed: "),
                   "A6 does not fail on a silent interface", 60)
        self.assertEqual(self.pressed(d, "A6"), "false")
        # The strip shows what the core knows of the interface then.
        log = "\n".join(self.rig.daemon_out.lines)
        word = "not answering" if "Interface not answering" in log else "found"
        self.until(d, lambda d: self.text(d, "#iface") == "Interface: " + word, "the strip does not follow the core")
        self.assertEqual(self.text(d, "#page"), "Page: connected")
        self.rig.sim_command("silent off")
        self.until(d, lambda d: self.text(d, "#iface") == "Interface: found", "the interface is not found again", 60)

    @rig(modules="A5=lamp,Desk lamp,room=Study\nA6=appliance,Kettle,room=Kitchen\n"
                 "A7=sensor,Back door,class=window\nA8=motion,Hall motion\nB1=lamp,Porch\n",
         schedule="scene evening: A5 ON\nwhen A7 ON heard: A5 OFF\n")
    def test_accessibility_at_phone_and_desktop_widths_light_and_dark(self):
        if not os.path.exists(AXE):
            self.skipTest("axe-core not installed (npm ci in %s)" % os.path.dirname(os.path.dirname(AXE)))
        with open(AXE) as f:
            axe = f.read()
        d = self.browser()
        self.log_in(d)
        self.wait_card(d)
        d.find_element("css selector", '[data-address="A6"] .fav').click()
        d.find_element("css selector", "#more summary").click()
        d.find_element("id", "add-address").send_keys("a12\n")
        self.rig.sim_command("recv A7 A ON")
        self.until(d, lambda d: "A7" in self.text(d, "#heard"), "A7 not heard")
        for width in (390, 1280):
            for scheme in ("light", "dark"):
                d.set_window_size(width, 844)
                d.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                  {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
                d.execute_script(axe)
                found = d.execute_async_script(
                    """const done = arguments[arguments.length - 1];
                       axe.run(document, {resultTypes: ["violations"]}).then(
                         (r) => done(r.violations.map((v) => v.id + ": " + v.nodes.map((n) => n.target).join(", "))));""")
                self.assertEqual(found, [], "%d px, %s" % (width, scheme))

        # Focus moving up the page never lands under the sticky header.
        d.set_window_size(390, 844)
        self.js(d, "window.scrollTo(0, document.body.scrollHeight)")
        d.find_element("id", "version").click()
        for _ in range(30):
            d.switch_to.active_element.send_keys(Keys.SHIFT, Keys.TAB)
            hidden = self.js(d, """const e = document.activeElement, r = e.getBoundingClientRect();
                                   const bar = document.querySelector('.bar').getBoundingClientRect();
                                   return e.closest('.bar') ? null : r.top < bar.bottom - 1 ? e.outerHTML : null;""")
            self.assertIsNone(hidden)

    def test_get_changes_nothing_and_forged_origin_is_refused(self):
        rig = self.rig
        cookie = rig.login_cookie()
        headers = {"Cookie": "veldrin_session=" + cookie}
        mark = rig.sim_out.mark()
        for path in ("/api/command?address=A5&action=on", "/api/house?house=A&action=all_lights_on",
                     "/api/logout", "/ws?type=command&address=A5&action=on", "/api/login?password=" + PASSWORD):
            status, _, _ = rig.http("GET", path, headers=headers)
            self.assertNotEqual(status // 100, 2, path)
        status, _, body = rig.http("GET", "/api/session", headers=headers)
        self.assertEqual(status, 200)
        self.assertTrue(json.loads(body)["loggedIn"], "a GET ended the session")

        # A forged Origin and a missing session are refused; the right pair is
        # accepted (so the refusals are not a broken handshake).
        for origin, c in (("http://evil.example", cookie), ("http://127.0.0.1:%d" % rig.port, None)):
            line, s, rest = ws_handshake(rig.port, origin, c)
            with s:
                if " 101 " in line:
                    op, payload, _ = ws_read_frame(s, rest)
                    self.assertIn(op, (None, 8), "upgrade with Origin %s, cookie %s served %r" % (origin, c, payload))
                    if op == 8:
                        self.assertEqual(int.from_bytes(payload[:2], "big"), 1008)
        line, s, rest = ws_handshake(rig.port, "http://127.0.0.1:%d" % rig.port, cookie)
        with s:
            self.assertIn(" 101 ", line)
            op, payload, _ = ws_read_frame(s, rest)
            self.assertEqual(op, 1)
            self.assertEqual(json.loads(payload)["type"], "hello")

        # None of that reached the line.
        rig.sim_command("status")
        rig.sim_out.wait(r"^(\(no modules\)|A5 )", mark)
        self.assertEqual([l for l in rig.sim_out.since(mark) if l.startswith("frame:")], [])

    def test_session_survives_a_daemon_restart(self):
        d = self.browser()
        self.log_in(d)
        self.wait_card(d)
        self.rig.stop_daemon()
        self.rig.start_daemon()
        d.get(self.rig.base + "/")
        self.wait_card(d)
        self.assertFalse(d.find_element("id", "password").is_displayed())

    def test_service_worker_serves_the_page_while_the_daemon_is_stopped(self):
        d = self.browser()
        self.log_in(d)
        self.wait_card(d)
        # Installed, its files kept, and in charge of this page.
        self.until(d, lambda d: self.js(d, "return !!navigator.serviceWorker.controller"),
                   "no service worker controls the page", 20)
        self.rig.stop_daemon()
        d.get(self.rig.base + "/")
        self.until(d, lambda d: (self.text(d, "#notice") or "").startswith("Veldrin is not reachable")
                   and d.find_element("id", "notice").is_displayed(), "no unreachable notice", 15)
        self.assertEqual(d.title, "Veldrin")
        # Back: the page finds the server, and the session, by itself.
        self.rig.start_daemon()
        self.wait_card(d)
        self.until(d, lambda d: self.text(d, "#notice") == "", "the notice stays", 15)

    def test_page_works_under_a_proxy_path(self):
        proxy = PathProxy(self.rig.port)
        self.addCleanup(proxy.close)
        d = self.browser()
        d.get(proxy.base + "/")
        self.log_in(d, load=False)
        self.wait_card(d)
        mark = self.rig.sim_out.mark()
        d.find_element("css selector", '[data-address="A5"] .toggle').click()
        self.rig.sim_out.wait(r"^A5 ON", mark)
        self.until(d, lambda d: self.pressed(d, "A5") == "true", "A5 not shown on through the proxy")
        # The worker keeps the files found under the path, and serves them
        # while the daemon is down.
        self.until(d, lambda d: self.js(d, "return !!navigator.serviceWorker.controller"),
                   "no service worker controls the page", 20)
        self.assertEqual(self.js(d, "return navigator.serviceWorker.controller.scriptURL"), proxy.base + "/sw.js")
        self.rig.stop_daemon()
        d.get(proxy.base + "/")
        self.until(d, lambda d: (self.text(d, "#notice") or "").startswith("Veldrin is not reachable"),
                   "no unreachable notice under the path", 15)


def main():
    global BIN
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    BIN = sys.argv[1]
    for tool in (CHROMIUM, CHROMEDRIVER):
        if not os.access(tool, os.X_OK):
            print("SKIP: %s not found (Debian packages chromium, chromium-driver)" % tool)
            return 77
    prog = unittest.main(argv=[sys.argv[0]] + sys.argv[2:], exit=False, verbosity=2)
    return 0 if prog.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
