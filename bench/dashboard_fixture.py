"""A stand-in for `orbhost serve` for the dashboard's benchmark.

It serves the dashboard's files at the paths and with the types orbhost
embeds them (read from the build's web_assets.manifest, the same list the
embedding step reads) under the same Content-Security-Policy, and answers
/api/v1/readings and /api/v1/history with snapshots in serve's JSON shape,
sampled every `interval` seconds, with a history that can start full.

The readings are the stand-ins' quiet desktop board in serve's base units.
"""

import copy
import datetime
import http.server
import json
import threading
import time
import urllib.parse

CSP = "default-src 'self'"
HISTORY_SECONDS = 600


def iso(t):
    stamp = datetime.datetime.fromtimestamp(t, datetime.timezone.utc)
    return stamp.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (stamp.microsecond // 1000)


def read_manifest(path):
    """URL path -> (Content-Type, file) from the embedding manifest."""
    assets = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            url, media, file = line.split("|", 2)
            if media.startswith("text/"):
                media += "; charset=utf-8"
            assets[url] = (media, file)
    return assets


def _reading(rid, name, value, unit, low, high):
    return {"id": str(rid), "name": name, "value": value, "unit": unit,
            "low_limit": low, "high_limit": high, "threshold": high * 0.8,
            "threshold_high": high * 0.9, "warning": False}


def default_readings():
    """Per block, the data a good read returns."""
    return {
        "hardware_monitor": {
            "frequency": [_reading(256, "CPU Core 0", 3.6e9, "Hz", 0.8e9, 5.2e9),
                          _reading(257, "CPU Core 1", 3.58e9, "Hz", 0.8e9, 5.2e9)],
            "voltage": [_reading(512, "Vcore", 1.25, "V", 0.8, 1.5),
                        _reading(513, "+12V", 12.096, "V", 10.8, 13.2),
                        _reading(514, "+5V", 5.04, "V", 4.5, 5.5)],
            "temperature": [_reading(768, "CPU", 45, "C", -5, 95),
                            _reading(769, "System", 36, "C", -5, 80),
                            _reading(770, "VRM", 52, "C", -5, 105)],
            "fan": [_reading(1024, "CPU Fan", 1150, "RPM", 0, 3000),
                    _reading(1025, "System Fan 1", 820, "RPM", 0, 2000)],
            "water_flow": [_reading(3584, "Pump Flow", 95, "L/h", 0, 300)],
        },
        "cpuz": {"devices": [
            {"class": "Processor", "name": "Example CPU @ 3.60GHz", "sensors": [
                {"class": "Temperature", "name": "Package", "id": 0, "value": 45,
                 "min": 30, "max": 88, "unit": "C"},
                {"class": "Voltage", "name": "VID", "id": 1, "value": 1.21,
                 "min": 0.8, "max": 1.4, "unit": "V"},
                {"class": "Power", "name": "Package", "id": 2, "value": 35.2,
                 "min": 4.8, "max": 125, "unit": "W"},
                {"class": "ClockSpeed", "name": "Core #0", "id": 3, "value": 3.6e9,
                 "min": 0.8e9, "max": 5.2e9, "unit": "Hz"},
                {"class": "Utilization", "name": "Processor", "id": 4, "value": 0.12,
                 "min": 0, "max": 1, "unit": "ratio"}]},
            {"class": "Mainboard", "name": "Example Board", "sensors": [
                {"class": "Temperature", "name": "System", "id": 0, "value": 36,
                 "min": 28, "max": 52, "unit": "C"},
                {"class": "Fan", "name": "CPU Fan", "id": 1, "value": 1150,
                 "min": 900, "max": 1800, "unit": "RPM"}]}]},
        "system": {"model": "Example Board", "processor": "Example CPU @ 3.60GHz",
                   "firmware_version": "F10", "product_line": "Motherboard"},
        "usage": {"memory_load": 0.42, "disks": [{"drive": "C:", "usage": 0.415}]},
        "power": {"active_plan": {"guid": "381b4222-f694-41f0-9685-ff5bb260df2e",
                                  "name": "Balanced"},
                  "cpu_power_saving": True, "package_power_limit_watts": 65},
        "cooling": {"cooling_profile": 2, "fan_tool_generation": "3"},
    }


class FixtureServe:
    """Serves on 127.0.0.1 at a free port until close()."""

    def __init__(self, manifest, interval=0.5, prefill_seconds=0):
        self.assets = read_manifest(manifest)
        self.interval = interval
        self._lock = threading.Lock()
        self._data = default_readings()
        self._history = []  # (time, snapshot)
        self._sequence = 0
        self._stop = threading.Event()
        start = time.time()
        for k in range(int(prefill_seconds / interval), 0, -1):  # an older history
            self._sample(start - k * interval)
        self._sample(start)
        handler = self._handler()
        self._http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.url = "http://127.0.0.1:%d" % self._http.server_address[1]
        self._threads = [threading.Thread(target=self._http.serve_forever, daemon=True),
                         threading.Thread(target=self._sampler, daemon=True)]
        for t in self._threads:
            t.start()

    def close(self):
        self._stop.set()
        self._http.shutdown()
        self._http.server_close()

    # ---- Sampling ----

    def _sampler(self):
        while not self._stop.wait(self.interval):
            self._sample()

    def _sample(self, now=None):
        now = time.time() if now is None else now
        with self._lock:
            blocks = {}
            for name, data in self._data.items():
                blocks[name] = dict(copy.deepcopy(data), status="0x00000000", read_at=iso(now),
                                    duration_ms=1.5, last_good_at=iso(now))
            system = self._data["system"]
            snapshot = {
                "taken_at": iso(now), "sequence": self._sequence,
                "plugin": {"version": "5.9.9.0", "initialize_status": 0, "feature_word": 1},
                "machine": dict(system, processor_vendor="GenuineIntel"),
                "blocks": blocks,
            }
            self._sequence += 1
            self._history.append((now, snapshot))
            while self._history and self._history[0][0] < time.time() - HISTORY_SECONDS:
                self._history.pop(0)

    def latest(self):
        with self._lock:
            return self._history[-1][1]

    # ---- HTTP ----

    def _handler(self):
        fixture = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def _send(self, code, ctype, body):
                self.send_response(code)
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Content-Security-Policy", CSP)
                self.send_header("X-Content-Type-Options", "nosniff")
                self.end_headers()
                self.wfile.write(body)

            def _json(self, doc):
                self._send(200, "application/json", json.dumps(doc).encode())

            def do_GET(self):
                target = urllib.parse.urlsplit(self.path)
                if target.path in fixture.assets:
                    ctype, file = fixture.assets[target.path]
                    with open(file, "rb") as f:
                        return self._send(200, ctype, f.read())
                if target.path == "/api/v1/readings":
                    return self._json(fixture.latest())
                if target.path == "/api/v1/history":
                    query = urllib.parse.parse_qs(target.query)
                    seconds = min(HISTORY_SECONDS, float(query.get("seconds", ["60"])[0]))
                    since = time.time() - seconds
                    with fixture._lock:
                        snaps = [s for t, s in fixture._history if t >= since]
                    return self._json({"seconds": seconds, "snapshots": snaps})
                self._send(404, "application/json", b'{"error":"not found"}')

            def do_POST(self):
                self._send(405, "application/json", b'{"error":"read-only"}')

        return Handler
