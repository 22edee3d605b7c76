#!/usr/bin/python3
"""Figures of the phone page, against veldrind with its web server on and the
emulator veldrin-sim, in headless chromium (Debian's python3 with
python3-selenium, chromium and chromium-driver):

  /usr/bin/python3 bench/web_bench.py BUILD/bin [COMMANDS]

prints FIGURE lines: the page's weight on a cold load, WebSocket command to
its first frame on the emulator (median, p99), the interface's confirmation
to the page's update as the page measured it (median, p99), and the daemon's
resident memory with 10 pages open.
"""

import json
import os
import struct
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web", "browser"))
import browser_test as bt  # noqa: E402  (the rig: emulator, daemon, browser helpers)


def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]


def ws_send(sock, obj):
    payload = json.dumps(obj).encode()
    mask = os.urandom(4)
    n = len(payload)
    head = bytes([0x81, 0x80 | n]) if n < 126 else bytes([0x81, 0x80 | 126]) + struct.pack(">H", n)
    sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))


class Socket:
    """A raw WebSocket client reading whole text frames."""

    def __init__(self, rig, cookie):
        line, self.sock, self.buf = bt.ws_handshake(rig.port, "http://127.0.0.1:%d" % rig.port, cookie)
        assert " 101 " in line, line

    def next(self):
        op, payload, self.buf = bt.ws_read_frame(self.sock, self.buf)
        assert op is not None, "the WebSocket closed"
        return op, payload

    def until(self, pred):
        while True:
            op, payload = self.next()
            if op == 1:
                m = json.loads(payload)
                if pred(m):
                    return m


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Bench(bt.PageTest):
    time_scale = 1  # real time, as a user meets it

    def runTest(self):
        pass


def main():
    bt.BIN = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    b = Bench()
    b.setUp()
    try:
        rig = b.rig
        d = b.browser()
        d.get(rig.base + "/")
        weight = d.execute_script(
            "return performance.getEntries().filter(e => e.transferSize !== undefined)"
            ".reduce((s, e) => s + e.transferSize, 0)")
        print("FIGURE web_page_cold_load_bytes %d" % weight)
        b.log_in(d, load=False)
        b.wait_card(d)

        ws = Socket(rig, rig.login_cookie())
        ws.until(lambda m: m["type"] == "hello")
        out = rig.sim_out
        to_frame = []
        for i in range(count):
            mark = out.mark()
            action = "on" if i % 2 == 0 else "off"
            t0 = time.monotonic()
            ws_send(ws.sock, {"type": "command", "id": i + 1, "address": "A5", "action": action})
            j, _ = out.wait(r"^frame: ", mark)
            to_frame.append((out.times[j] - t0) * 1000.0)
            ws.until(lambda m: m["type"] == "state" and m["module"]["address"] == "A5"
                     and m["module"]["power"] == action)
        print("FIGURE web_command_to_frame_median_ms %.2f" % percentile(to_frame, 50))
        print("FIGURE web_command_to_frame_p99_ms %.2f" % percentile(to_frame, 99))

        b.until(d, lambda d: len(d.execute_script("return window.veldrinTimings")) >= count,
                "the page did not show every state")
        timings = d.execute_script("return window.veldrinTimings")
        shown = [t["shownMs"] - t["at"] for t in timings[-count:]]
        print("FIGURE web_confirmation_to_page_median_ms %.1f" % percentile(shown, 50))
        print("FIGURE web_confirmation_to_page_p99_ms %.1f" % percentile(shown, 99))

        for _ in range(9):
            d.switch_to.new_window("tab")
            d.get(rig.base + "/")
            b.wait_card(d)
        time.sleep(1)
        print("FIGURE web_daemon_resident_mb_10_pages %.1f" % (rss_kb(rig.daemon.pid) / 1024.0))
    finally:
        b.doCleanups()
    return 0


if __name__ == "__main__":
    sys.exit(main())
