"""orbhost serve against Pelorus.dll and the stand-ins under Wine, through its
real clients: promtool on a live scrape, a Prometheus server scraping it, and
plain HTTP requests for the API and each security rule.

    python3 tests/e2e/serve_test.py --build-dir build/windows
"""

import argparse
import concurrent.futures
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serve_support import ServeProcess, free_port  # noqa: E402

BUILD_DIR = None


class ServeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.serve = ServeProcess(BUILD_DIR, stop_after=150, extra_args=["--allow-host", "watch.test"])
        cls.serve.start()

    @classmethod
    def tearDownClass(cls):
        code = cls.serve.stop()
        stderr = cls.serve.stderr()
        cls.serve.cleanup()
        # Stopped by --stop-after: Uninitialize ran and the exit code is 0.
        assert code == 0, "orbhost serve exited %r:\n%s" % (code, stderr)
        assert "orbhost serve: stopping" in stderr, stderr

    def get(self, path, headers=None):
        return self.serve.request("GET", path, headers=headers)

    def post(self, path, body, token=None, headers=None):
        all_headers = dict(headers or {})
        if token is not None:
            all_headers["Authorization"] = "Bearer " + token
        return self.serve.request("POST", path, headers=all_headers, body=body.encode())

    def readings(self):
        status, body = self.serve.get_json("/api/v1/readings")
        self.assertEqual(status, 200)
        return body

    def test_readings_health_and_history(self):
        doc = self.readings()
        self.assertEqual(doc["plugin"]["version"], "5.9.9.0")
        self.assertEqual(doc["machine"]["product_line"], "Motherboard")
        for name in ("hardware_monitor", "cpuz", "system", "usage", "power", "cooling"):
            block = doc["blocks"][name]
            self.assertEqual(block["status"], "0x00000000", name)
            self.assertEqual(block["last_good_at"][-1], "Z", name)
        hm = doc["blocks"]["hardware_monitor"]
        temperatures = hm["temperature"]
        self.assertTrue(temperatures)
        for r in temperatures:
            self.assertEqual(r["unit"], "C")
            self.assertTrue(r["id"])
        # The stand-in reports MHz: serve scales to hertz.
        self.assertGreater(hm["frequency"][0]["value"], 1e8)
        self.assertTrue(doc["blocks"]["cpuz"]["devices"])
        usage = doc["blocks"]["usage"]
        self.assertTrue(0 <= usage["memory_load"] <= 1)

        status, health = self.serve.get_json("/healthz")
        self.assertEqual(status, 200)
        self.assertIn("initialize_status", health)
        self.assertLess(health["snapshot_age_seconds"], 3)

        status, history = self.serve.get_json("/api/v1/history?seconds=5")
        self.assertEqual(status, 200)
        times = [s["taken_at"] for s in history["snapshots"]]
        self.assertTrue(times)
        self.assertEqual(times, sorted(times))
        for bad in ("seconds=0", "seconds=601", "seconds=x", "other=1"):
            self.assertEqual(self.get("/api/v1/history?" + bad)[0], 400, bad)

    def test_read_only_commands_over_get(self):
        status, headers, body = self.get("/api/v1/commands/GetName")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-security-policy"], "default-src 'self'")
        answer = json.loads(body)
        self.assertEqual(answer["status"], "0x00000000")
        self.assertIn("name", json.dumps(answer["response"]).lower())
        status, _, body = self.get("/api/v1/commands/GetType40Info?Type40.Info=features&form=typed")
        self.assertEqual(status, 200)
        self.assertIn(":", next(iter(json.loads(body)["response"]), "x:"))

        self.assertEqual(self.get("/api/v1/commands/NoSuchCommand")[0], 404)
        self.assertEqual(self.get("/api/v1/commands/GetName?a=1&a:Int=2")[0], 400)
        self.assertEqual(self.get("/api/v1/commands/GetName?a=%zz")[0], 400)
        # Acting commands are never GET, whatever their arguments.
        for command in ("SetFanSpeed?FanSpeedStatus.dataParam=2", "CheckSystemResume",
                        "DoAiControl?subCommand=GetItem", "DoTesseraReboot"):
            status, headers, _ = self.get("/api/v1/commands/" + command)
            self.assertEqual(status, 405, command)
            self.assertEqual(headers["allow"], "POST")

    def test_acting_commands_need_the_token(self):
        token = self.serve.token
        self.assertRegex(token, "^[0-9a-f]{64}$")
        path = "/api/v1/commands/CheckSystemResume"
        self.assertEqual(self.post(path, "{}")[0], 401)
        self.assertEqual(self.post(path, "{}", token="0" * 64)[0], 403)
        status, _, body = self.post(path, "{}", token=token)
        self.assertEqual(status, 200)
        self.assertIn("check_SystemResume", json.loads(body)["response"])
        status, _, body = self.post(path + "?form=typed", "{}", token=token)
        self.assertIn("check_SystemResume:Bool", json.loads(body)["response"])

        self.assertEqual(self.post(path, '{"a": 1, "a:Int": 2}', token=token)[0], 400)
        self.assertEqual(self.post(path, "[1]", token=token)[0], 400)
        # The restart commands are refused without --allow-restart.
        self.assertEqual(self.post("/api/v1/commands/DoTesseraReboot", "{}", token=token)[0], 403)
        self.assertEqual(self.post("/api/v1/commands/DoAiControl", '{"subCommand": "Reboot"}',
                                   token=token)[0], 403)

    def test_host_origin_and_fetch_site(self):
        port = self.serve.port
        for host in ("localhost:%d" % port, "[::1]:%d" % port, "watch.test:%d" % port):
            self.assertEqual(self.get("/healthz", {"Host": host})[0], 200, host)
        for host in ("evil.example:%d" % port, "localhost", "127.0.0.1:%d" % (port + 1)):
            status, _, body = self.get("/api/v1/readings", {"Host": host})
            self.assertEqual(status, 403, host)
            self.assertIn("error", json.loads(body))
        own = "http://127.0.0.1:%d" % port
        self.assertEqual(self.get("/healthz", {"Origin": own})[0], 200)
        self.assertEqual(self.get("/healthz", {"Origin": "http://evil.example"})[0], 403)
        self.assertEqual(self.get("/healthz", {"Sec-Fetch-Site": "cross-site"})[0], 403)
        self.assertEqual(self.get("/healthz", {"Sec-Fetch-Site": "same-origin"})[0], 200)
        status, headers, _ = self.get("/healthz", {"Origin": own})
        self.assertNotIn("access-control-allow-origin", headers)
        self.assertEqual(self.serve.request("DELETE", "/metrics")[0], 405)
        self.assertEqual(self.get("/nothing-here")[0], 404)

    def test_size_limits(self):
        status, _, body = self.get("/healthz", {"X-Big": "a" * 9000})
        self.assertEqual(status, 431)
        self.assertIn("error", json.loads(body))
        status, _, _ = self.post("/api/v1/commands/GetName", "{" + " " * 70000 + "}",
                                 token=self.serve.token)
        self.assertEqual(status, 413)

    def test_queue_bound(self):
        # Each CPU-Z dump waits a second inside the plug-in: beyond 8 waiting, 503.
        body = '{"dllType:Int": 1, "dataType": "All", "dataParam": "All"}'
        token = self.serve.token
        with concurrent.futures.ThreadPoolExecutor(max_workers=24) as pool:
            statuses = list(pool.map(
                lambda _: self.post("/api/v1/commands/GetOPLandingPageInfo", body, token=token)[0],
                range(24)))
        # Under load the last waiting ones may pass their 30 s (504); none is lost.
        self.assertIn(503, statuses)
        self.assertLessEqual(set(statuses), {200, 503, 504})
        self.assertIn(200, statuses)

    def test_connection_limits(self):
        # 64 open connections, each answered once and kept alive; a 65th is dropped.
        request = ("GET /healthz HTTP/1.1\r\nHost: %s\r\n\r\n" % self.serve.host).encode()
        held = []
        try:
            for _ in range(64):
                s = socket.create_connection(("127.0.0.1", self.serve.port), timeout=30)
                s.sendall(request)
                self.assertIn(b"HTTP/1.1 200", s.recv(4096))
                held.append(s)
            extra = socket.create_connection(("127.0.0.1", self.serve.port), timeout=30)
            self.assertEqual(self.receive_or_reset(extra, request), b"")
        finally:
            for s in held:
                s.close()
        # A client that never finishes its headers is dropped (10 s), not waited on.
        slow = socket.create_connection(("127.0.0.1", self.serve.port), timeout=40)
        self.assertEqual(self.receive_or_reset(slow, b"GET /healthz HTTP/1.1\r\nHost: "), b"")

    @staticmethod
    def receive_or_reset(s, data):
        """What the server sends back; a closed or reset connection reads as b""."""
        try:
            s.sendall(data)
            return s.recv(4096)
        except ConnectionResetError:
            return b""
        finally:
            s.close()

    def test_promtool_accepts_a_live_scrape(self):
        status, headers, body = self.get("/metrics")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "text/plain; version=0.0.4; charset=utf-8")
        result = subprocess.run(["promtool", "check", "metrics"], input=body,
                                capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout + result.stderr, b"")

    def test_prometheus_scrapes_the_readings(self):
        port = free_port()
        with tempfile.TemporaryDirectory(dir=BUILD_DIR) as scratch:
            config = os.path.join(scratch, "prometheus.yml")
            with open(config, "w") as f:
                f.write(SCRAPE_CONFIG % {"target": self.serve.host})
            prometheus = subprocess.Popen(
                ["prometheus", "--config.file=" + config,
                 "--web.listen-address=127.0.0.1:%d" % port,
                 "--storage.tsdb.path=" + os.path.join(scratch, "data")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                def query(expr):
                    url = "http://127.0.0.1:%d/api/v1/query?%s" % (
                        port, urllib.parse.urlencode({"query": expr}))
                    with urllib.request.urlopen(url, timeout=10) as r:
                        return json.load(r)["data"]["result"]

                up = []
                deadline = time.monotonic() + 90
                while time.monotonic() < deadline:
                    try:
                        up = query('up{job="pelorus"}')
                        if up and up[0]["value"][1] == "1":
                            break
                    except OSError:
                        pass
                    time.sleep(1)
                self.assertEqual([u["value"][1] for u in up], ["1"])

                expected = {(r["id"], r["name"]): r["value"] for r in
                            self.readings()["blocks"]["hardware_monitor"]["temperature"]}
                got = {(s["metric"]["id"], s["metric"]["sensor"]): float(s["value"][1])
                       for s in query("pelorus_temperature_celsius")}
                self.assertEqual(got, expected)
                limits = query('pelorus_temperature_limit_celsius{limit="threshold_high"}')
                self.assertEqual(len(limits), len(expected))
                self.assertEqual([s["value"][1] for s in query("pelorus_build_info")], ["1"])
            finally:
                prometheus.terminate()
                prometheus.wait(timeout=30)


SCRAPE_CONFIG = """\
scrape_configs:
  - job_name: pelorus
    scrape_interval: 1s
    static_configs:
      - targets: ["%(target)s"]
"""


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    BUILD_DIR = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
