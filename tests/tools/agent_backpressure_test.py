#!/usr/bin/env python3
"""A mount that stops reading while every port flaps: the agent reports it
behind, defers its changes to dirty bits instead of queueing them, reports
it caught up once it reads again, and a mount then still converges to the
agent's dump.

usage: agent_backpressure_test.py PHYAGENT PHYMOUNT
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

AGENT, MOUNT = sys.argv[1], sys.argv[2]


def main():
    tmp = tempfile.mkdtemp(prefix="phy-bp-")
    sock = os.path.join(tmp, "agent.sock")
    dump = os.path.join(tmp, "agent.dump")
    log_path = os.path.join(tmp, "agent.log")
    with open(log_path, "w") as log:
        agent = subprocess.Popen([AGENT, "--socket", sock, "--scenario", "storm", "--poll-hz", "200", "--duration",
                                  "6", "--linger", "10", "--dump", dump], stderr=log)
    end = time.monotonic() + 10
    while not os.path.exists(sock) and time.monotonic() < end:
        time.sleep(0.05)

    stalled = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(sock)
    # Not a byte read for a while: the agent's log for it fills.
    time.sleep(2.5)
    # Then read as fast as it comes, until the agent's poll loop stopped.
    stalled.settimeout(0.2)
    received = 0
    read_until = time.monotonic() + 3
    while time.monotonic() < read_until:
        try:
            chunk = stalled.recv(1 << 16)
        except socket.timeout:
            continue
        if not chunk:
            break
        received += len(chunk)
    stalled.close()

    end = time.monotonic() + 15
    while not os.path.exists(dump) and time.monotonic() < end:
        time.sleep(0.05)
    check = subprocess.run([MOUNT, "--socket", sock, "--check", dump, "--timeout", "8"], capture_output=True,
                           text=True, timeout=20)
    agent.terminate()
    agent.wait(timeout=10)
    with open(log_path) as f:
        log = f.read()

    failures = []
    behind = re.search(r"mount 1 behind: (\d+) bytes free", log)
    caught = re.search(r"mount 1 caught up; (\d+) changes deferred", log)
    if not behind:
        failures.append("the stalled mount was never reported behind")
    if not caught or int(caught.group(1)) == 0:
        failures.append("the stalled mount was not reported caught up with deferred changes")
    if received == 0:
        failures.append("the stalled mount received nothing once it read")
    if check.returncode != 0 or check.stdout.strip() != "48 ports, 2016 statistics, 0 differences":
        failures.append("the check after the storm: rc %d, %r %r" % (check.returncode, check.stdout, check.stderr))
    if failures:
        print("\n".join(failures))
        print("---- agent log ----\n" + log[-3000:])
        return 1
    print("ok: behind with %s bytes free, caught up after %s deferrals, %d bytes read" %
          (behind.group(1), caught.group(1), received))
    shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
