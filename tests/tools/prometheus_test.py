#!/usr/bin/env python3
"""A real Prometheus scrapes metrics_serve and answers a query with the value
the served status directory holds.

    prometheus_test.py METRICS_SERVE

Everything listens on 127.0.0.1 only, every wait is bounded and both
processes are stopped whatever happens. PROMETHEUS overrides the server's
path (default /usr/bin/prometheus); a missing server fails the test.
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

PROMETHEUS = os.environ.get("PROMETHEUS", "/usr/bin/prometheus")
QUERY = 'bcm54980_crc_errors_total{chip="chip0",port="port1"}'
EXPECTED = "17"
DEADLINE_SECONDS = 30


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop(proc):
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)


def read_port(serve, deadline):
    """The port line metrics_serve prints once it listens."""
    line = ""
    while time.monotonic() < deadline and not line:
        # readline blocks; the serve program prints at once or exits.
        line = serve.stdout.readline()
        if not line and serve.poll() is not None:
            break
    if not line.startswith("port "):
        raise AssertionError(f"metrics_serve printed {line!r}, expected 'port N'")
    return int(line.split()[1])


def query(web_port, expr=QUERY):
    url = f"http://127.0.0.1:{web_port}/api/v1/query?" + urllib.parse.urlencode({"query": expr})
    with urllib.request.urlopen(url, timeout=2) as r:
        return json.load(r)


def single_value(web_port, expr):
    result = query(web_port, expr)["data"]["result"]
    if len(result) != 1:
        raise AssertionError(f"{expr} gave {len(result)} series, expected 1: {result}")
    return result[0]["value"][1]


def page_samples(target_port):
    """The number of samples on the served page, counted here."""
    with urllib.request.urlopen(f"http://127.0.0.1:{target_port}/metrics", timeout=2) as r:
        text = r.read().decode()
    return sum(1 for line in text.splitlines() if line and not line.startswith("#"))


def check_the_rest(web_port, target_port):
    """The same scrape's gauge and condition, and that it took the whole page."""
    labels = '{chip="chip0",port="port1"}'
    for expr, expected in ((f"bcm54980_speed_mbps{labels}", "1000"),
                           (f"bcm54980_link_state{labels}", "1"),
                           (f"bcm54980_link_state_changes_total{labels}", "3"),
                           ('up{job="phy"}', "1"),
                           ('scrape_samples_scraped{job="phy"}', str(page_samples(target_port)))):
        value = single_value(web_port, expr)
        if value != expected:
            raise AssertionError(f"{expr} is {value}, expected {expected}")


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    serve_program = sys.argv[1]
    if not (os.path.isfile(PROMETHEUS) and os.access(PROMETHEUS, os.X_OK)):
        print(f"FAIL: no Prometheus server at {PROMETHEUS}; install the Debian package 'prometheus' "
              "(scripts/deps.sh does)", file=sys.stderr)
        return 1

    scratch = tempfile.mkdtemp(prefix="phy-prometheus-")
    serve = prom = None
    prom_log = os.path.join(scratch, "prometheus.log")
    try:
        deadline = time.monotonic() + DEADLINE_SECONDS
        serve = subprocess.Popen([serve_program, str(DEADLINE_SECONDS + 30)], stdout=subprocess.PIPE, text=True)
        target_port = read_port(serve, deadline)

        config = os.path.join(scratch, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n"
                    "  scrape_interval: 1s\n"
                    "  evaluation_interval: 1s\n"
                    "scrape_configs:\n"
                    "  - job_name: phy\n"
                    "    static_configs:\n"
                    f"      - targets: ['127.0.0.1:{target_port}']\n")
        web_port = free_port()
        with open(prom_log, "w") as log:
            prom = subprocess.Popen(
                [PROMETHEUS, f"--config.file={config}", f"--storage.tsdb.path={os.path.join(scratch, 'data')}",
                 f"--web.listen-address=127.0.0.1:{web_port}"],
                stdout=log, stderr=subprocess.STDOUT, cwd=scratch)

        last = None
        while time.monotonic() < deadline:
            if prom.poll() is not None:
                raise AssertionError(f"prometheus exited with {prom.returncode}")
            if serve.poll() is not None:
                raise AssertionError(f"metrics_serve exited with {serve.returncode}")
            try:
                last = query(web_port)
                result = last.get("data", {}).get("result", [])
                if result:
                    value = result[0]["value"][1]
                    if value != EXPECTED:
                        raise AssertionError(f"{QUERY} is {value}, expected {EXPECTED}: {last}")
                    check_the_rest(web_port, target_port)
                    print(f"ok: {QUERY} = {value}")
                    return 0
            except (urllib.error.URLError, ConnectionError, socket.timeout) as e:
                last = e
            time.sleep(0.5)
        raise AssertionError(f"no answer for {QUERY} within {DEADLINE_SECONDS}s; last: {last}")
    except AssertionError as e:
        print(f"FAIL: {e}", file=sys.stderr)
        if os.path.exists(prom_log):
            with open(prom_log) as f:
                sys.stderr.write(f.read()[-4000:])
        return 1
    finally:
        stop(prom)
        stop(serve)
        if serve is not None and serve.stdout:
            serve.stdout.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
