"""Runs `orbhost serve` under the project's Wine machine for tests.

    with ServeProcess(build_dir, stop_after=60) as serve:
        status, headers, body = serve.request("GET", "/healthz")

The server listens on a free loopback port (never the default 9561), keeps
its token and host log in a scratch folder, and stops by itself after
stop_after seconds (--stop-after), which is how it gets a clean Uninitialize;
leaving the block waits for that and kills it only when it overstays.
"""

import http.client
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
WINE_RUN = os.path.join(REPO, "scripts", "wine-run.sh")


def free_port():
    """A loopback port nothing listens on now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def windows_path(path):
    """The same file seen from inside Wine (drive Z: is the Linux root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class ServeProcess:
    def __init__(self, build_dir, stop_after=60, interval=1, slow_interval=2, extra_args=()):
        self.build_dir = os.path.abspath(build_dir)
        self.stop_after = stop_after
        self.port = free_port()
        self.scratch = tempfile.mkdtemp(prefix="serve-", dir=self.build_dir)
        self.token_path = os.path.join(self.scratch, "serve.token")
        self.log_path = os.path.join(self.scratch, "serve.log")
        self.stderr_path = os.path.join(self.scratch, "stderr.txt")
        orbhost = os.path.join(self.build_dir, "host", "orbhost.exe")
        self.args = [WINE_RUN, "--build-dir", self.build_dir, orbhost, "serve",
                     "--port", str(self.port), "--interval", str(interval),
                     "--slow-interval", str(slow_interval), "--stop-after", str(stop_after),
                     "--token-file", windows_path(self.token_path),
                     "--log", windows_path(self.log_path), *extra_args]
        self.process = None
        self.exit_code = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self, ready_timeout=120):
        self._stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=self._stderr)
        deadline = time.monotonic() + ready_timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("orbhost serve ended early:\n" + self.stderr())
            try:
                status, _, _ = self.request("GET", "/healthz", timeout=5)
                if status == 200:
                    return
            except OSError:
                pass
            time.sleep(0.5)
        self.stop(kill=True)
        raise RuntimeError("orbhost serve did not become healthy:\n" + self.stderr())

    def stop(self, kill=False):
        """Waits for --stop-after to end the server (or kills it)."""
        if self.process is None:
            return self.exit_code
        try:
            self.exit_code = self.process.wait(timeout=1 if kill else self.stop_after + 60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.exit_code = self.process.wait()
        self.process = None
        self._stderr.close()
        return self.exit_code

    def cleanup(self):
        shutil.rmtree(self.scratch, ignore_errors=True)

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    @property
    def token(self):
        with open(self.token_path) as f:
            return f.read().strip()

    @property
    def host(self):
        return "127.0.0.1:%d" % self.port

    def request(self, method, path, headers=None, body=None, timeout=60):
        """(status, headers as a dict with lower-case names, body bytes)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            all_headers = {"Host": self.host}
            all_headers.update(headers or {})
            if body is not None:
                all_headers["Content-Length"] = str(len(body))
            for name, value in all_headers.items():
                if value is not None:
                    connection.putheader(name, value)
            connection.endheaders(body)
            response = connection.getresponse()
            data = response.read()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, data
        finally:
            connection.close()

    def get_json(self, path, **kwargs):
        status, _, body = self.request("GET", path, **kwargs)
        return status, json.loads(body)
