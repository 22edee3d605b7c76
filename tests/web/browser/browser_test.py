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

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
PASSWORD = "garden-shed-42"
BIN = None


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


class Rig:
    """The emulator and the daemon serving the page, in a temporary folder."""

    def __init__(self, time_scale=10):
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
                "[Modules]\nA5=lamp,Desk lamp\nA6=appliance,Kettle\n"
                % (m.group(1), free_port(), self.port)
            )
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


class PageTest(unittest.TestCase):
    time_scale = 10

    def setUp(self):
        self.rig = Rig(self.time_scale)
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
        # A wrong password makes this address wait a second before the next try.
        time.sleep(1.2)
        self.log_in(d, load=False)
        self.wait_card(d)
        self.assertEqual(self.attr(d, '[data-address="A5"] .toggle', "aria-label"), "Desk lamp A5")
        self.assertEqual(self.pressed(d, "A5"), "false")
        self.assertIsNotNone(self.js(d, "return document.querySelector('[data-address=\"A5\"] input[type=range]')"))
        self.assertIsNone(self.js(d, "return document.querySelector('[data-address=\"A6\"] input[type=range]')"))
        self.assertEqual(self.text(d, "#houses h2"), "House A")
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

        mark = sim.mark()
        self.js(d1, """const r = document.querySelector('[data-address="A5"] input[type=range]');
                       r.value = 30; r.dispatchEvent(new Event('change', {bubbles: true}));""")
        sim.wait(r"^frame: [0-9A-F]{2} 64$", mark)
        sim.wait(r"^A5 DIM", mark)
        # 30 from 100 is 15 of the line's 22 steps: the cards show the 32 % the lamp reaches.
        for d in (d1, d2):
            self.until(d, lambda d: self.text(d, '[data-address="A5"] .level') == "32 %", "A5 not at 32 %")

        # A wall switch: the emulator uploads A5 OFF as heard on the powerline.
        self.rig.sim_command("recv A5 A OFF")
        for d in (d1, d2):
            self.until(d, lambda d: self.pressed(d, "A5") == "false", "A5 not shown off after the upload")
            self.until(d, lambda d: "A5" in (self.text(d, "#heard li") or ""), "the upload is not heard")
        self.assertTrue(self.js(d2, "return window.notReloaded === true"))
        timings = self.js(d1, "return window.veldrinTimings")
        self.assertTrue(timings and all(t["address"] and t["shownMs"] >= t["at"] > 0 for t in timings), timings)

    def test_page_reconnects_after_the_daemon_restarts(self):
        d = self.browser()
        self.log_in(d)
        self.wait_card(d)
        self.rig.stop_daemon()
        self.until(d, lambda d: self.text(d, "#notice") == "Connection lost, reconnecting..."
                   and d.find_element("id", "notice").is_displayed(), "no reconnect notice")
        self.assertEqual(self.attr(d, "#notice", "role"), "status")
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
