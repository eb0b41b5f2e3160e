#!/usr/bin/env python3
"""A real Prometheus scrapes a real phymount mounted on a real phyagent: the
PromQL query for one port's CRC errors answers the value in the agent's dump.

Usage: prometheus_mount_test.py PHYAGENT PHYMOUNT
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from noisy_agent import start_noisy_agent  # noqa: E402
from prometheus_test import PROMETHEUS, free_port, query, single_value, stop  # noqa: E402

DEADLINE_SECONDS = 60
COUNT = re.compile(r"^(chip\d+)/(port\d+) crcErrors .*'count': (\d+)")


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    agent_program, mount_program = sys.argv[1:]
    if not (os.path.isfile(PROMETHEUS) and os.access(PROMETHEUS, os.X_OK)):
        print(f"FAIL: no Prometheus server at {PROMETHEUS}; install the Debian package 'prometheus'",
              file=sys.stderr)
        return 1
    scratch = tempfile.mkdtemp(prefix="phy-prometheus-mount-")
    agent = mount = prom = None
    try:
        deadline = time.monotonic() + DEADLINE_SECONDS
        # Errors arrive for two seconds, then the agent keeps serving its final state.
        agent, sock, dump = start_noisy_agent(agent_program, scratch, 7, DEADLINE_SECONDS, deadline)
        metrics_port = free_port()
        mount = subprocess.Popen([mount_program, "--socket", sock, "--metrics", f"127.0.0.1:{metrics_port}",
                                  "--duration", str(DEADLINE_SECONDS)], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        while not os.path.exists(dump) and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(dump) as f:
            counts = [m.groups() for m in map(COUNT.match, f) if m]
        if not counts:
            raise AssertionError("the agent's dump has no crcErrors lines")
        chip, port, want = max(counts, key=lambda c: int(c[2]))
        if int(want) == 0:
            raise AssertionError("the noisy agent counted no CRC errors in two seconds")

        config = os.path.join(scratch, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: phymount\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{metrics_port}']\n")
        web_port = free_port()
        prom = subprocess.Popen([PROMETHEUS, f"--config.file={config}",
                                 f"--storage.tsdb.path={os.path.join(scratch, 'data')}",
                                 f"--web.listen-address=127.0.0.1:{web_port}"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=scratch)
        promql = f'bcm54980_crc_errors_total{{chip="{chip}",port="{port}"}}'
        last = None
        while time.monotonic() < deadline:
            for p, name in ((agent, "phyagent"), (mount, "phymount"), (prom, "prometheus")):
                if p.poll() is not None:
                    raise AssertionError(f"{name} exited with {p.returncode}")
            try:
                series = query(web_port, promql)["data"]["result"]
                last = series[0]["value"][1] if len(series) == 1 else None
                if last == want:
                    synced = single_value(web_port, "bcm54980_mount_synced")
                    if synced != "1":
                        raise AssertionError(f"the mount says synced {synced}")
                    print(f"ok: {promql} = {last}, as the agent's dump says")
                    return 0
            except (urllib.error.URLError, ConnectionError):
                pass
            time.sleep(0.5)
        raise AssertionError(f"{promql} last answered {last}, the agent's dump says {want}")
    except AssertionError as e:
        print(f"FAIL: {e}", file=sys.stderr)
        return 1
    finally:
        for p in (prom, mount, agent):
            stop(p)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
