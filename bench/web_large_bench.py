#!/usr/bin/python3
"""The phone page of a large house: 256 modules in 16 rooms, against veldrind
and veldrin-sim, in headless chromium at a phone's width with its CPU slowed
down four times (as a mid-range phone):

  /usr/bin/python3 bench/web_large_bench.py BUILD/bin [MODULES] [ROOMS]

prints FIGURE lines: the blocking time of the page's long tasks from the
load to all cards drawn (the part of each task over 50 ms, as Total Blocking
Time counts it), the longest task, the time the page's "hello" took (groups
and the first cards), the time until every card is drawn, the page's
elements, and the blocking time while 200 wall-switch uploads arrive
in 50 s (here 10 times faster: 200 in 5 s).
"""

import os
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web", "browser"))
import browser_test as bt  # noqa: E402  (the rig, the browser, large_house)

# Records every long task from the first script on.
OBSERVE = """
window.benchLong = [];
new PerformanceObserver((l) => { for (const e of l.getEntries()) window.benchLong.push([e.startTime, e.duration]); })
  .observe({ type: "longtask", buffered: true });
"""


class Bench(bt.PageTest):
    time_scale = 10

    def runTest(self):
        pass


def blocking(tasks, since=0.0):
    return sum(max(0.0, d - 50) for start, d in tasks if start >= since)


def main():
    bt.BIN = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 256
    rooms = int(sys.argv[3]) if len(sys.argv) > 3 else 16
    b = Bench()
    b.rig = bt.Rig(Bench.time_scale, modules=bt.large_house(count, rooms))
    try:
        d = b.browser()
        d.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": OBSERVE})
        b.log_in(d)
        b.until(d, lambda d: d.find_element("id", "password").is_displayed() is False, "no login", 30)
        d.execute_cdp_cmd("Emulation.setCPUThrottlingRate", {"rate": 4})
        # Drawn anew from the hello, under the slowed CPU.
        d.refresh()
        start = time.monotonic()
        b.until(d, lambda d: b.js(d, "return document.querySelectorAll('.card').length") >= count,
                "not every card drawn", 120)
        drawn_ms = (time.monotonic() - start) * 1000
        tasks = b.js(d, "return window.benchLong")
        elements = b.js(d, "return document.getElementsByTagName('*').length")
        print("FIGURE web_large_blocking_ms %.0f" % blocking(tasks))
        print("FIGURE web_large_hello_ms %.0f" % b.js(d, "return window.veldrinHelloMs"))
        print("FIGURE web_large_longest_task_ms %.0f" % max([t[1] for t in tasks] or [0]))
        print("FIGURE web_large_all_cards_drawn_ms %.0f" % drawn_ms)
        print("FIGURE web_large_elements %d" % elements)

        # 200 wall-switch uploads, one every 25 ms (the rig runs ten times
        # faster than the 250 ms of 200 in 50 s).
        now = b.js(d, "return performance.now()")
        addresses = ["%s%d" % ("ABCDEFGHIJKLMNOP"[i // 16], i % 16 + 1) for i in range(count)]
        mark = b.rig.daemon_out.mark()
        for i in range(200):
            a = addresses[(i * 7) % count]
            b.rig.sim_command("recv %s %s %s" % (a, a[0], "ON" if i % 2 else "OFF"))
            time.sleep(0.025)
        b.rig.daemon_out.wait(r"Received", mark)
        b.until(d, lambda d: len(b.js(d, "return window.veldrinTimings")) >= 150, "the uploads are not shown", 60)
        tasks = b.js(d, "return window.benchLong")
        print("FIGURE web_large_uploads_blocking_ms %.0f" % blocking(tasks, now))
    finally:
        b.doCleanups()
        b.rig.close()


if __name__ == "__main__":
    main()
