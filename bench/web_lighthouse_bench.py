#!/usr/bin/python3
"""The phone page as a rating tool and a phone user meet it, against veldrind
with its web server on and the emulator veldrin-sim, in headless chromium
(Debian's python3 with python3-selenium, chromium, chromium-driver, nodejs
and npm):

  /usr/bin/python3 bench/web_lighthouse_bench.py BUILD/bin [RUNS] [TAPS]

The rating tool is the one pinned in bench/lighthouse (package.json and
package-lock.json), installed there with "npm ci" when it is missing; it is
never part of the product. Without it (npm cannot reach its registry) the
ratings are skipped with a message and the other figures are still printed.

Prints FIGURE lines: the mobile ratings (performance, accessibility, best
practices; the median of RUNS runs, 3 by default) and the Total Blocking Time
of the page logged in with 8 modules and with 256 modules in 16 rooms; the
page's bytes on a cold load, as sent (gzip) and unpacked; a tap on a card to
the card showing the confirmed state, median and p99 of TAPS taps (40).
"""

import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web", "browser"))
import browser_test as bt  # noqa: E402  (the rig: emulator, daemon, browser helpers)

TOOL_DIR = os.path.join(HERE, "lighthouse")
TOOL = os.path.join(TOOL_DIR, "node_modules", ".bin", "lighthouse")


def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]


def modules_section(count):
    """[Modules] with count lamps, 16 to a house, spread over 16 rooms
    (count 8: two rooms)."""
    lines = ["[Modules]"]
    rooms = 16 if count > 16 else 2
    for i in range(count):
        house, unit = "ABCDEFGHIJKLMNOP"[i // 16], i % 16 + 1
        lines.append("%s%d=lamp,Lamp %s%d,room=Room %d" % (house, unit, house, unit, i % rooms + 1))
    return "\n".join(lines) + "\n"


def use_modules(rig, count):
    """Restarts the rig's daemon with count modules."""
    rig.stop_daemon()
    with open(rig.config) as f:
        text = f.read()
    text = re.sub(r"\[Modules\]\n(?:[^\[].*\n?)*", "", text) + modules_section(count)
    with open(rig.config, "w") as f:
        f.write(text)
    rig.start_daemon()


def install_tool():
    """The rating tool, installed from the lock file; None with a reason."""
    if os.access(TOOL, os.X_OK):
        return None
    if not shutil.which("npm"):
        return "npm not found (Debian package npm)"
    r = subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--loglevel=error"], cwd=TOOL_DIR,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=900)
    if r.returncode != 0 or not os.access(TOOL, os.X_OK):
        return "npm ci in bench/lighthouse failed (registry not reachable?): " + r.stdout.strip()[-300:]
    return None


def logged_in_browser(b, rig):
    """A fresh browser holding a session cookie, without having run the page."""
    d = b.browser()
    d.get(rig.base + "/api/session")  # JSON: no script of the page runs
    d.add_cookie({"name": "veldrin_session", "value": rig.login_cookie(), "path": "/",
                  "httpOnly": True, "sameSite": "Strict"})
    return d


def rate(b, rig):
    """One run of the rating tool on the logged-in page: the parsed report."""
    d = logged_in_browser(b, rig)
    host, port = d.capabilities["goog:chromeOptions"]["debuggerAddress"].rsplit(":", 1)
    r = subprocess.run(
        [TOOL, rig.base + "/", "--hostname=" + host, "--port=" + port, "--disable-storage-reset",
         "--only-categories=performance,accessibility,best-practices", "--output=json",
         "--output-path=stdout", "--quiet"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300)
    d.quit()
    if r.returncode != 0:
        raise AssertionError("the rating tool failed: " + r.stderr[-500:])
    return json.loads(r.stdout)


def ratings(b, rig, count, runs):
    use_modules(rig, count)
    reports = [rate(b, rig) for _ in range(runs)]
    score = lambda rep, c: round(rep["categories"][c]["score"] * 100)
    reports.sort(key=lambda rep: score(rep, "performance"))
    mid = reports[len(reports) // 2]
    print("FIGURE lighthouse_%d_performance %d" % (count, score(mid, "performance")))
    print("FIGURE lighthouse_%d_performance_all %s" % (
        count, ",".join(str(score(rep, "performance")) for rep in reports)))
    print("FIGURE lighthouse_%d_accessibility %d" % (count, score(mid, "accessibility")))
    print("FIGURE lighthouse_%d_best_practices %d" % (count, score(mid, "best-practices")))
    tbt = sorted(rep["audits"]["total-blocking-time"]["numericValue"] for rep in reports)
    print("FIGURE lighthouse_%d_tbt_ms %.0f" % (count, tbt[len(tbt) // 2]))
    # What the performance rating is made of, in the median run.
    for audit, key in (("first-contentful-paint", "fcp"), ("largest-contentful-paint", "lcp"),
                       ("speed-index", "speed_index")):
        print("FIGURE lighthouse_%d_%s_ms %.0f" % (count, key, mid["audits"][audit]["numericValue"]))
    print("FIGURE lighthouse_%d_cls %.3f" % (count, mid["audits"]["cumulative-layout-shift"]["numericValue"]))
    dom = mid["audits"].get("dom-size", {}).get("numericValue")
    if dom is not None:
        print("FIGURE lighthouse_%d_elements %d" % (count, dom))


def cold_load_bytes(b, rig):
    d = logged_in_browser(b, rig)
    d.get(rig.base + "/")
    b.until(d, lambda d: d.execute_script(
        "return document.querySelectorAll('[data-address]').length > 0"), "no cards")
    sizes = d.execute_script("""
        const e = performance.getEntries().filter(e => e.transferSize !== undefined);
        return [e.reduce((s, x) => s + x.transferSize, 0), e.reduce((s, x) => s + x.decodedBodySize, 0)];""")
    print("FIGURE web_cold_load_bytes_sent %d" % sizes[0])
    print("FIGURE web_cold_load_bytes_unpacked %d" % sizes[1])
    d.quit()


TAP = """
const address = arguments[0], done = arguments[arguments.length - 1];
const card = document.querySelector('[data-address="' + address + '"]');
const toggle = card.querySelector('.toggle');
const status = card.querySelector('.status');
const want = toggle.getAttribute('aria-pressed') === 'true' ? 'false' : 'true';
const settled = () => toggle.getAttribute('aria-pressed') === want &&
    !(status && /Sending/.test(status.textContent));
const t0 = performance.now();
const give = setTimeout(() => { obs.disconnect(); done(-1); }, 20000);
const obs = new MutationObserver(() => {
  if (!settled()) return;
  obs.disconnect();
  clearTimeout(give);
  done(performance.now() - t0);
});
obs.observe(card, {subtree: true, attributes: true, childList: true, characterData: true});
toggle.click();
"""


def taps(b, rig, count):
    """A tap on a card's switch to the card showing the interface's
    confirmation, measured in the page."""
    use_modules(rig, 8)
    d = b.browser()
    b.log_in(d)
    b.until(d, lambda d: d.execute_script(
        "return !!document.querySelector('[data-address=\"A1\"] .toggle')"), "no A1 card")
    d.set_script_timeout(30)
    times = []
    for _ in range(count):
        ms = d.execute_async_script(TAP, "A1")
        if ms < 0:
            raise AssertionError("a tap was not confirmed within 20 s")
        times.append(ms)
    print("FIGURE web_tap_to_confirmed_median_ms %.0f" % percentile(times, 50))
    print("FIGURE web_tap_to_confirmed_p99_ms %.0f" % percentile(times, 99))
    d.quit()


class Bench(bt.PageTest):
    time_scale = 1  # real time, as a user meets it

    def runTest(self):
        pass


def main():
    bt.BIN = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    tap_count = int(sys.argv[3]) if len(sys.argv) > 3 else 40
    why = install_tool()
    b = Bench()
    b.setUp()
    try:
        rig = b.rig
        if why:
            print("SKIP: page ratings: " + why)
        else:
            for count in (8, 256):
                ratings(b, rig, count, runs)
        use_modules(rig, 256)
        cold_load_bytes(b, rig)
        taps(b, rig, tap_count)
    finally:
        b.doCleanups()
    return 0


if __name__ == "__main__":
    sys.exit(main())
