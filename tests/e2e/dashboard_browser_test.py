#!/usr/bin/python3
"""The dashboard in a real browser: headless Chromium driven by Selenium,
against `orbhost serve` with Pelorus.dll and the stand-ins under Wine.

    dashboard_browser_test.py --build-dir build/windows --screenshot <path.png>

The checks: the page loads with no console error, no failed request and
nothing but GET requests to its own server; every plot fills and the text
values equal /api/v1/readings; a reading changed through the hardware
profile (PELORUS_HW_PROFILE) shows, and one past its threshold shows the
warning state; a failing block (the system-information library moved out of
the Wine machine's plug-in folder) shows its status and last good time while
the rest keeps updating; the sample age turns stale while the server cannot
be reached, and the missed samples are plotted afterwards; a narrow window
needs no sideways scrolling. A screenshot is saved on every run, and the
page's transferred bytes and the time to apply one sample are printed.
"""

import argparse
import base64
import datetime
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serve_support import ServeProcess, windows_path  # noqa: E402

CATEGORIES = ["frequency", "voltage", "temperature", "fan", "water_flow"]
ARGS = None
PLUGIN_FOLDER = os.path.join("wine-prefix", "drive_c", "Program Files", "QUON",
                             "CORVANE KIOSK Lite Service", "Pelorus")
# A CPU temperature past its threshold, with the library's warning level set,
# and a faster CPU fan (hmcore's record: name,current,high,low,threshold,
# thresholdHigh,warningLevel).
HOT_PROFILE = """[Hmsp]
Temperature=CPU,91,95,-5,76,86,1;System,36,80,-5;VRM,52,105,-5
Fan=CPU Fan,1490,3000,0;System Fan 1,820,2000,0
"""


def parse_iso(text):
    """serve's UTC times ("2024-05-01T12:00:00.123Z") as datetimes."""
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc)


def number(text):
    """A <data> value: a number, or None for a value the server did not have."""
    return None if text in (None, "") else float(text)


def reading(snapshot, category, rid):
    for r in snapshot["blocks"]["hardware_monitor"][category]:
        if r["id"] == rid:
            return r
    return None


def start_chromium():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync",
                "--window-size=1280,1000",
                "--user-data-dir=" + tempfile.mkdtemp(prefix="dashboard-chromium-")]:
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class Dashboard(unittest.TestCase):
    """One page load; the cases run in order against it."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="dashboard-", dir=ARGS.build_dir)
        cls.profile = os.path.join(cls.scratch, "hardware.ini")
        cls.write_profile("")
        os.environ["PELORUS_HW_PROFILE"] = windows_path(cls.profile)
        cls.serve = ServeProcess(ARGS.build_dir, stop_after=600, interval=1, slow_interval=2)
        cls.serve.start()
        cls.url = "http://" + cls.serve.host
        cls.network = []  # DevTools network events of the whole run
        cls.console = []
        try:
            cls.browser = start_chromium()
            cls.browser.get(cls.url + "/")
        except Exception:
            cls.serve.stop(kill=True)
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.save_screenshot()
            cls.report_figures()
        finally:
            cls.browser.quit()
            # Ctrl-C: serve stops, calls Uninitialize and exits.
            cls.serve.process.send_signal(signal.SIGINT)
            try:
                cls.serve.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                pass
            code = cls.serve.stop(kill=True)
            stderr = cls.serve.stderr()
            cls.serve.cleanup()
            shutil.rmtree(cls.scratch, ignore_errors=True)
            assert code == 0 and "orbhost serve: stopping" in stderr, stderr

    @classmethod
    def write_profile(cls, text):
        with open(cls.profile, "w") as f:
            f.write(text)

    @classmethod
    def save_screenshot(cls):
        """The whole page, as wide as the window."""
        width, height = cls.browser.execute_script(
            "const d = document.documentElement; return [d.clientWidth, d.scrollHeight];")
        shot = cls.browser.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 1}})
        os.makedirs(os.path.dirname(os.path.abspath(ARGS.screenshot)), exist_ok=True)
        with open(ARGS.screenshot, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        print("dashboard: screenshot", ARGS.screenshot)

    @classmethod
    def report_figures(cls):
        js = cls.browser.execute_script
        sizes = js("return [...performance.getEntriesByType('navigation'),"
                   " ...performance.getEntriesByType('resource')]"
                   ".map(e => [e.name, e.transferSize])")
        page = sum(s for name, s in sizes if "/api/" not in name)
        first_api = {}
        for name, s in sizes:
            if "/api/" in name:
                first_api.setdefault(name.split("?")[0], s)
        print("dashboard: page files transferred %d bytes; first history %d bytes; "
              "one readings answer %d bytes"
              % (page, first_api.get(cls.url + "/api/v1/history", 0),
                 first_api.get(cls.url + "/api/v1/readings", 0)))
        for mark in ["pelorus-plot-sample", "pelorus-apply-sample"]:
            times = js("return performance.getEntriesByName(arguments[0]).map(e => e.duration)",
                       mark)
            if times:
                print("dashboard: %s over %d samples: median %.2f ms, max %.2f ms"
                      % (mark, len(times), statistics.median(times), max(times)))

    # ---- Helpers ----

    def drain_logs(self):
        self.console += self.browser.get_log("browser")
        for entry in self.browser.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"].startswith("Network."):
                self.network.append(message)

    def wait_until(self, condition, what, timeout=15):
        last = [None]

        def probe(_):
            last[0] = condition()
            return last[0]
        try:
            return WebDriverWait(self.browser, timeout, poll_frequency=0.1).until(probe)
        except Exception:
            self.fail("timed out waiting until %s (last: %r)" % (what, last[0]))

    def js(self, script, *args):
        return self.browser.execute_script(script, *args)

    def readings(self):
        status, doc = self.serve.get_json("/api/v1/readings")
        self.assertEqual(status, 200)
        return doc

    def shown_read_at(self, block):
        return self.js("const t = document.querySelector("
                       "'.block-status[data-block=\"' + arguments[0] + '\"] time');"
                       "return t ? t.getAttribute('datetime') : null;", block)

    def page_values(self):
        """What the page shows: hardware-monitor rows, usage and CPU-Z values."""
        return self.js("""
            const out = {hm: {}, warnings: {}, usage: [], cpuz: []};
            for (const card of document.querySelectorAll('.plot-card')) {
              const c = card.dataset.category;
              out.hm[c] = {}; out.warnings[c] = {};
              for (const tr of card.querySelectorAll('tbody tr')) {
                const d = tr.querySelector('data');
                out.hm[c][tr.dataset.id] = [d.getAttribute('value'), d.textContent];
                out.warnings[c][tr.dataset.id] = tr.dataset.warning === 'true';
              }
            }
            for (const d of document.querySelectorAll('#usage-bars data'))
              out.usage.push(d.getAttribute('value'));
            for (const d of document.querySelectorAll('#cpuz-devices data'))
              out.cpuz.push(d.getAttribute('value'));
            return out;""")

    def assert_page_matches(self, snapshot):
        shown = self.page_values()
        hm = snapshot["blocks"]["hardware_monitor"]
        for c in CATEGORIES:
            expected = {r["id"]: r for r in hm[c]}
            self.assertEqual(set(shown["hm"][c]), set(expected), c)
            for rid, r in expected.items():
                value, text = shown["hm"][c][rid]
                self.assertAlmostEqual(number(value), r["value"], msg="%s %s" % (c, rid))
                self.assertNotIn(text, ["", "—"])
                self.assertEqual(shown["warnings"][c][rid], r["warning"], "%s %s" % (c, rid))
        usage = snapshot["blocks"]["usage"]
        expected = [d["usage"] for d in usage["disks"]]
        if usage["memory_load"] is not None:
            expected.insert(0, usage["memory_load"])
        self.assertEqual([number(v) for v in shown["usage"]], expected)
        cpuz = [s["value"] for d in snapshot["blocks"]["cpuz"]["devices"] for s in d["sensors"]]
        self.assertEqual([number(v) for v in shown["cpuz"]], cpuz)

    def wait_for_sample_shown(self, predicate=lambda s: True, what="a sample is shown"):
        """Waits until the page shows the server's latest sample (and it
        satisfies `predicate`); returns that sample."""
        def current():
            snapshot = self.readings()
            shown = self.shown_read_at("hardware_monitor")
            read_at = snapshot["blocks"]["hardware_monitor"]["read_at"]
            if shown and parse_iso(shown) == parse_iso(read_at) and predicate(snapshot):
                return snapshot
            return None
        return self.wait_until(current, what)

    # ---- Cases, in order ----

    def test_1_loads_without_errors_or_outside_requests(self):
        self.wait_until(lambda: self.shown_read_at("hardware_monitor"), "the first sample")
        time.sleep(1.5)  # a few polls
        self.drain_logs()
        errors = [e for e in self.console if e["level"] == "SEVERE"]
        self.assertEqual(errors, [])

        # The page's requests (Chromium's own start page is not the page's).
        requests = {}
        for m in self.network:
            p = m["params"]
            if m["method"] == "Network.requestWillBeSent":
                if p.get("documentURL", "").startswith(self.url + "/"):
                    requests[p["requestId"]] = p["request"]
            elif p.get("requestId") not in requests:
                continue
            elif m["method"] == "Network.loadingFailed":
                self.fail("request failed: %s %s" % (requests[p["requestId"]]["url"], p))
            elif m["method"] == "Network.responseReceived":
                self.assertLess(p["response"]["status"], 400, p["response"]["url"])
        self.assertTrue(requests)
        for r in requests.values():
            self.assertEqual(r["method"], "GET", r["url"])
            self.assertTrue(r["url"].startswith(self.url + "/"), r["url"])
        urls = {r["url"].split("?")[0] for r in requests.values()}
        self.assertIn(self.url + "/favicon.ico", urls)
        self.assertIn(self.url + "/api/v1/history", urls)

    def test_2_every_plot_fills_and_text_equals_the_readings(self):
        def filled():
            counts = self.js("return pelorusDashboard.pointCounts()")
            ok = all(counts.get(c) and min(counts[c].values()) >= 2 for c in CATEGORIES)
            return counts if ok else None
        self.wait_until(filled, "every series has two points")
        snapshot = self.wait_for_sample_shown()
        self.assert_page_matches(snapshot)
        self.assertEqual(self.browser.find_element(By.ID, "machine-model").text,
                         snapshot["machine"]["model"] or "Unknown machine")
        self.assertEqual(self.browser.find_element(By.ID, "plugin-version").text,
                         snapshot["plugin"]["version"])
        self.assertIn("Sample", self.browser.find_element(By.ID, "sample-age").text)

    def test_3_a_changed_reading_and_a_warning_show(self):
        self.write_profile(HOT_PROFILE)
        snapshot = self.wait_for_sample_shown(
            lambda s: reading(s, "temperature", "768")["value"] == 91,
            "the changed readings are shown")
        self.assertEqual(reading(snapshot, "fan", "1024")["value"], 1490)
        self.assert_page_matches(snapshot)
        row = self.browser.find_element(By.CSS_SELECTOR, '#plot-temperature tr[data-id="768"]')
        self.assertIn("91.0 °C", row.text)
        self.assertIn("Warning", row.text)  # in words, not only in colour
        card = self.browser.find_element(By.ID, "plot-temperature")
        self.assertIn("1 warning", card.find_element(By.TAG_NAME, "h3").text)
        other = self.browser.find_element(By.CSS_SELECTOR, '#plot-fan tr[data-id="1024"]')
        self.assertNotIn("Warning", other.text)

        self.write_profile("")
        self.wait_until(lambda: not self.browser.find_elements(
            By.CSS_SELECTOR, ".plot-card.has-warning"), "the warning clears")

    def test_4_a_failing_block_keeps_its_place_and_the_rest_updates(self):
        library = os.path.join(ARGS.build_dir, PLUGIN_FOLDER, "SysInfoProbe.dll")
        os.rename(library, library + ".away")
        try:
            failing = self.wait_for_sample_shown(
                lambda s: all(s["blocks"][b]["status"] != "0x00000000" for b in ("system", "usage")),
                "the failures are shown")
            for block in ["system", "usage"]:
                status = self.browser.find_element(
                    By.CSS_SELECTOR, '.block-status[data-block="%s"]' % block)
                self.assertIn("failed", status.get_attribute("class"))
                self.assertIn(failing["blocks"][block]["status"], status.text)
                shown = status.find_element(By.TAG_NAME, "time").get_attribute("datetime")
                self.assertEqual(parse_iso(shown),
                                 parse_iso(failing["blocks"][block]["last_good_at"]), block)
            # The last good values stay, marked as old.
            kept = self.page_values()["usage"]
            self.assertTrue(kept and all(number(v) is not None for v in kept), kept)
            self.assertTrue(self.browser.find_elements(By.CSS_SELECTOR, ".stale-data #usage-bars"))
            # The plots go on.
            before = self.js("return pelorusDashboard.pointCounts()")["temperature"]["768"]
            self.wait_until(lambda: self.js("return pelorusDashboard.pointCounts()")
                            ["temperature"]["768"] > before + 1, "the plots keep updating")
            self.assertEqual(self.page_values()["usage"], kept)
            self.assertNotIn("failed", self.browser.find_element(
                By.CSS_SELECTOR, '.block-status[data-block="hardware_monitor"]')
                .get_attribute("class"))
        finally:
            os.rename(library + ".away", library)
        self.wait_until(lambda: "ok" in self.browser.find_element(
            By.CSS_SELECTOR, '.block-status[data-block="usage"]').get_attribute("class").split(),
            "usage reads again")
        self.drain_logs()
        self.assertEqual([e for e in self.console if e["level"] == "SEVERE"], [])

    def test_5_stale_while_unreachable_then_no_gap(self):
        self.drain_logs()
        seen = len(self.console)
        self.browser.execute_cdp_cmd("Network.enable", {})
        offline = {"latency": 0, "downloadThroughput": -1, "uploadThroughput": -1}
        self.browser.execute_cdp_cmd("Network.emulateNetworkConditions",
                                     dict(offline, offline=True))
        cut = time.time()
        try:
            age = self.browser.find_element(By.ID, "sample-age")
            self.wait_until(lambda: "stale" in age.get_attribute("class").split(),
                            "the sample age turns stale")
            self.assertIn("Stale", age.text)
        finally:
            self.browser.execute_cdp_cmd("Network.emulateNetworkConditions",
                                         dict(offline, offline=False))
        back = time.time()
        self.wait_for_sample_shown(what="samples are shown again")
        self.wait_until(lambda: "stale" not in age.get_attribute("class").split(),
                        "the stale warning clears")
        # Every sample the server took while the page could not ask is plotted.
        status, history = self.serve.get_json("/api/v1/history?seconds=60")
        self.assertEqual(status, 200)
        history = history["snapshots"]
        missed = [parse_iso(s["blocks"]["hardware_monitor"]["read_at"]).timestamp()
                  for s in history]
        missed = [t for t in missed if cut + 0.5 < t < back - 0.5]
        self.assertGreaterEqual(len(missed), 2)
        def all_plotted():
            plotted = self.js("return pelorusDashboard.sampleTimes()")
            return all(any(abs(p / 1000 - t) < 0.002 for p in plotted) for t in missed)
        self.wait_until(all_plotted, "every sample taken while unreachable is plotted")
        self.drain_logs()
        unexpected = [e for e in self.console[seen:] if e["level"] == "SEVERE"
                      and "ERR_INTERNET_DISCONNECTED" not in e["message"]]
        self.assertEqual(unexpected, [])

    def test_6_a_narrow_window_needs_no_sideways_scrolling(self):
        self.browser.set_window_size(360, 900)
        try:
            def fits():
                return self.js("""
                    const doc = document.documentElement;
                    const plots = [...document.querySelectorAll('.plot-card')];
                    return doc.scrollWidth <= doc.clientWidth &&
                      plots.every(p => p.querySelector('canvas').getBoundingClientRect().right
                                       <= p.getBoundingClientRect().right);""")
            self.wait_until(fits, "the page and its plots fit 360 px")
        finally:
            self.browser.set_window_size(1280, 1000)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--screenshot", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.build_dir = os.path.abspath(ARGS.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
