#!/usr/bin/python3
"""The dashboard's cost in headless Chromium, with a full ten-minute window.

    bench/dashboard_bench.py --manifest build/windows/host/web_assets.manifest
                             [--samples 30] [--interval 2]

Serves the page from a stand-in of serve (dashboard_fixture.py: the files
orbhost embeds, read through the embedding's manifest, and snapshots in
serve's JSON shape) whose history already holds ten minutes of samples, so
the figure needs no ten-minute wait; it prints from the browser's
Performance API: the bytes the page transferred (its files, the history,
one readings answer) and the time to add one sample to every plot
("pelorus-plot-sample") and to update the whole page
("pelorus-apply-sample"), median and 95th percentile.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "e2e")]
from dashboard_browser_test import start_chromium  # noqa: E402
from dashboard_fixture import FixtureServe, HISTORY_SECONDS  # noqa: E402


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--samples", type=int, default=30)
    parser.add_argument("--interval", type=float, default=2.0)
    args = parser.parse_args()

    server = FixtureServe(args.manifest, interval=args.interval,
                          prefill_seconds=HISTORY_SECONDS - 2 * args.interval)
    browser = start_chromium()
    try:
        browser.get(server.url + "/")
        js = browser.execute_script
        deadline = time.time() + args.samples * args.interval * 2 + 30
        while time.time() < deadline:
            n = js("return performance.getEntriesByName('pelorus-plot-sample').length")
            if n >= args.samples:
                break
            time.sleep(args.interval)
        points = js("return pelorusDashboard.pointCounts()")
        sizes = js("return [...performance.getEntriesByType('navigation'),"
                   " ...performance.getEntriesByType('resource')]"
                   ".map(e => [e.name.split('?')[0], e.transferSize])")
        page = sum(s for name, s in sizes if "/api/" not in name)
        api = {}
        for name, s in sizes:
            if "/api/" in name:
                api.setdefault(name[len(server.url):], s)
        print("points per series: %d" % min(min(c.values()) for c in points.values()))
        print("page files: %d bytes; history: %d bytes; one readings answer: %d bytes"
              % (page, api.get("/api/v1/history", 0), api.get("/api/v1/readings", 0)))
        for mark in ["pelorus-plot-sample", "pelorus-apply-sample"]:
            times = js("return performance.getEntriesByName(arguments[0]).map(e => e.duration)",
                       mark)
            print("%s: %d samples, median %.2f ms, p95 %.2f ms"
                  % (mark, len(times), statistics.median(times), percentile(times, 0.95)))
    finally:
        browser.quit()
        server.close()


if __name__ == "__main__":
    main()
