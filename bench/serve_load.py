"""Load benchmark of `orbhost serve` under Wine (run by hand, loopback only):

    python3 bench/serve_load.py --build-dir build/windows [--seconds 30] [--connections 8]

Starts serve on a free loopback port, warms it up, then runs two wrk clients at
once for the given time (bounded): one on /metrics, one on /api/v1/readings.
Prints each client's requests per second, p50 and p99 latency and errors, and
orbhost's handle count and committed memory (bench/windows/process_usage.exe)
before the run, after it, and after a second, shorter run: a leak shows as
growth in both steps.
"""

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
from serve_support import WINE_RUN, ServeProcess  # noqa: E402


def usage(build_dir):
    probe = os.path.join(build_dir, "bench", "windows", "process_usage.exe")
    out = subprocess.run([WINE_RUN, "--build-dir", build_dir, probe, "orbhost.exe"],
                         capture_output=True, text=True, timeout=120).stdout
    m = re.search(r"handles=(\d+) pagefile=(\d+)", out)
    return (int(m.group(1)), int(m.group(2))) if m else (0, 0)


def wrk(url, seconds, connections):
    return subprocess.Popen(["wrk", "-t1", "-c%d" % connections, "-d%ds" % seconds,
                             "--timeout", "10s", "--latency", url],
                            stdout=subprocess.PIPE, text=True)


def millis(text):
    value, unit = re.match(r"([\d.]+)(us|ms|s)", text).groups()
    return float(value) * {"us": 0.001, "ms": 1, "s": 1000}[unit]


def report(name, output):
    rps = re.search(r"Requests/sec:\s+([\d.]+)", output).group(1)
    p50 = millis(re.search(r"50%\s+(\S+)", output).group(1))
    p99 = millis(re.search(r"99%\s+(\S+)", output).group(1))
    total = re.search(r"(\d+) requests in", output).group(1)
    errors = re.search(r"Socket errors: (.*)", output)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    print("%-18s %8s req/s  p50 %7.2f ms  p99 %7.2f ms  %s requests  non-2xx %s  socket errors %s"
          % (name, rps, p50, p99, total, non2xx.group(1) if non2xx else 0,
             errors.group(1) if errors else "none"))


def load(base, seconds, connections):
    clients = {path: wrk(base + path, seconds, connections)
               for path in ("/metrics", "/api/v1/readings")}
    return {path: p.communicate(timeout=seconds + 60)[0] for path, p in clients.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--connections", type=int, default=8)
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build_dir)
    seconds = min(args.seconds, 300)

    serve = ServeProcess(build_dir, stop_after=seconds * 2 + 90, interval=2, slow_interval=10)
    serve.start()
    try:
        base = "http://%s" % serve.host
        load(base, 5, args.connections)  # warm-up
        before = usage(build_dir)
        results = load(base, seconds, args.connections)
        after = usage(build_dir)
        load(base, max(seconds // 3, 5), args.connections)
        again = usage(build_dir)
        for path, output in results.items():
            report(path, output)
        print("orbhost handles  %d -> %d -> %d" % (before[0], after[0], again[0]))
        print("orbhost memory   %.1f -> %.1f -> %.1f MiB (committed)"
              % (before[1] / 2**20, after[1] / 2**20, again[1] / 2**20))
    finally:
        serve.stop(kill=True)
        serve.cleanup()


if __name__ == "__main__":
    main()
