#!/usr/bin/python3
"""The phone page under 10 hostile WebSockets, against veldrind with its web
server on and the emulator veldrin-sim (no browser needed):

  python3 bench/web_flood_bench.py BUILD/bin [SECONDS]

Ten logged-in sockets send messages as fast as they can and never read an
answer; one that is closed opens again at once, for SECONDS (20) on loopback.
Meanwhile a well-behaved page sends a command every half second and reads
its answers. Prints FIGURE lines: the daemon's resident memory before, its
peak (VmHWM) during the flood, the well-behaved page's answer time (median,
max), how often a hostile socket was closed and opened again, and how many
log lines the flood wrote.
"""

import json
import os
import socket
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web", "browser"))
import browser_test as bt  # noqa: E402  (the rig: emulator, daemon, raw WebSocket helpers)
import web_bench as wb  # noqa: E402  (ws_send, Socket, rss_kb, percentile)


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


class Frames:
    """Collects what ws_send would send, to send it many times at once."""

    def __init__(self, message, count):
        self.data = bytearray()
        for _ in range(count):
            wb.ws_send(self, message)

    def sendall(self, data):
        self.data.extend(data)


def hostile(rig, cookie, stop, counts):
    """Sends without reading until stop; reconnects when cut off."""
    burst = 64
    frames = bytes(Frames({"type": "nothing", "id": 1}, burst).data)
    while not stop.is_set():
        try:
            line, s, _ = bt.ws_handshake(rig.port, "http://127.0.0.1:%d" % rig.port, cookie)
        except OSError:
            continue
        with s:
            if " 101 " not in line:
                time.sleep(0.1)
                continue
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.settimeout(1)
            try:
                while not stop.is_set():
                    s.sendall(frames)
            except socket.timeout:
                continue  # the server stopped reading: it has closed this one
            except OSError:
                counts["cut"] += 1


def main():
    bt.BIN = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0
    rig = bt.Rig(time_scale=1)
    try:
        pid = rig.daemon.pid
        good = wb.Socket(rig, rig.login_cookie())
        good.sock.settimeout(60)  # a daemon without bounds answers late
        good.until(lambda m: m["type"] == "hello")
        print("FIGURE web_flood_daemon_resident_mb_before %.1f" % (status_kb(pid, "VmRSS") / 1024.0))
        mark = rig.daemon_out.mark()

        stop = threading.Event()
        counts = {"cut": 0}
        cookie = rig.login_cookie()
        threads = [threading.Thread(target=hostile, args=(rig, cookie, stop, counts), daemon=True)
                   for _ in range(10)]
        for t in threads:
            t.start()
        answers = []
        peak_rss = 0
        end = time.monotonic() + seconds
        i = 0
        while time.monotonic() < end:
            i += 1
            t0 = time.monotonic()
            wb.ws_send(good.sock, {"type": "command", "id": i, "address": "A5",
                                   "action": "on" if i % 2 else "off"})
            good.until(lambda m: m["type"] == "result" and m["id"] == i)
            answers.append((time.monotonic() - t0) * 1000.0)
            peak_rss = max(peak_rss, status_kb(pid, "VmRSS"))
            time.sleep(0.5)
        stop.set()
        for t in threads:
            t.join(5)
        flood_lines = [l for l in rig.daemon_out.since(mark) if "Web socket from" in l]
        print("FIGURE web_flood_daemon_resident_mb_peak %.1f" % (max(peak_rss, status_kb(pid, "VmHWM")) / 1024.0))
        print("FIGURE web_flood_hostile_sockets_closed %d" % counts["cut"])
        print("FIGURE web_flood_log_lines %d" % len(flood_lines))
        print("FIGURE web_flood_good_page_answer_median_ms %.1f" % wb.percentile(answers, 50))
        print("FIGURE web_flood_good_page_answer_max_ms %.1f" % max(answers))
        print("FIGURE web_flood_good_page_answers %d" % len(answers))
    finally:
        rig.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
