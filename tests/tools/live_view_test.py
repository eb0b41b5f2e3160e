#!/usr/bin/env python3
"""phymount's live view, run in a tmux pane as a person would see it: the row
of the port with the most CRC errors shows the count the agent's dump has.

Usage: live_view_test.py PHYAGENT PHYMOUNT
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from noisy_agent import start_noisy_agent  # noqa: E402

DEADLINE_SECONDS = 40
COUNT = re.compile(r"^(chip\d+/port\d+) crcErrors .*'count': (\d+)")


def tmux(*args):
    return subprocess.run(["tmux", *args], capture_output=True, text=True, timeout=10)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    agent_program, mount_program = sys.argv[1:]
    if not shutil.which("tmux"):
        print("FAIL: no tmux; install the Debian package 'tmux' (scripts/deps.sh does)", file=sys.stderr)
        return 1
    scratch = tempfile.mkdtemp(prefix="phy-live-view-")
    session = f"phy-live-{os.getpid()}"
    agent = None
    try:
        deadline = time.monotonic() + DEADLINE_SECONDS
        agent, sock, dump = start_noisy_agent(agent_program, scratch, 11, DEADLINE_SECONDS, deadline)
        # A pane tall enough for every port's row.
        r = tmux("new-session", "-d", "-s", session, "-x", "120", "-y", "60",
                 f"{mount_program} --socket {sock} --duration {DEADLINE_SECONDS}")
        if r.returncode != 0:
            raise AssertionError(f"tmux new-session: {r.stderr}")
        while not os.path.exists(dump) and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(dump) as f:
            counts = [m.groups() for m in map(COUNT.match, f) if m]
        port, want = max(counts, key=lambda c: int(c[1]))
        if int(want) == 0:
            raise AssertionError("the noisy agent counted no CRC errors")
        screen = ""
        while time.monotonic() < deadline:
            screen = tmux("capture-pane", "-p", "-t", session).stdout
            row = next((l for l in screen.splitlines() if l.split()[:1] == [port]), None)
            # port, link, speed, duplex, then the CRC count.
            if row and "synced" in screen and row.split()[4] == want:
                tmux("send-keys", "-t", session, "q")
                print(f"ok: the live view's row for {port} shows {want} CRC errors")
                return 0
            time.sleep(0.3)
        raise AssertionError(f"no row for {port} with {want} CRC errors; the pane showed:\n{screen}")
    except AssertionError as e:
        print(f"FAIL: {e}", file=sys.stderr)
        return 1
    finally:
        tmux("kill-session", "-t", session)
        if agent is not None and agent.poll() is None:
            agent.terminate()
            agent.wait(timeout=10)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
