#!/usr/bin/env python3
"""phyagent and phymount as separate processes over a Unix socket in a temp
dir: mounts are killed and restarted at random moments, the agent is killed
once and started again, and every mount that checks ends with the agent's
dump and no difference.

usage: agent_mount_test.py PHYAGENT PHYMOUNT
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

AGENT, MOUNT = sys.argv[1], sys.argv[2]
SEED = int(os.environ.get("PHY_E2E_SEED", random.randrange(1 << 30)))
rng = random.Random(SEED)
failures = []


def fail(what):
    failures.append(what)
    print("FAIL:", what, flush=True)


def wait_for(pred, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.05)
    fail("timed out waiting for " + what)
    return False


def main():
    print("seed", SEED, flush=True)
    tmp = tempfile.mkdtemp(prefix="phy-e2e-")
    sock = os.path.join(tmp, "agent.sock")
    dump = os.path.join(tmp, "agent.dump")
    log = open(os.path.join(tmp, "log"), "w+")
    common = ["--socket", sock, "--scenario", "noisy", "--poll-hz", "20", "--seed", "5"]

    def agent(*extra):
        return subprocess.Popen([AGENT, *common, *extra], stdout=log, stderr=log)

    def mount(*extra, out=log):
        return subprocess.Popen([MOUNT, "--socket", sock, *extra], stdout=out, stderr=log, text=True)

    first = agent()
    wait_for(lambda: os.path.exists(sock), 10, "the agent's socket")

    # A second agent on a live agent's socket is refused and leaves it alone.
    second = subprocess.run([AGENT, "--socket", sock, "--duration", "1"], capture_output=True, text=True, timeout=10)
    if second.returncode == 0 or "address in use" not in second.stderr:
        fail("a second agent on the same socket: rc %d, %r" % (second.returncode, second.stderr))
    if not os.path.exists(sock) or first.poll() is not None:
        fail("the second agent disturbed the first")

    # The long-lived mount: it lives through the agent's restart and checks
    # against the restarted agent's dump.
    lasting_log = open(os.path.join(tmp, "lasting.log"), "w+")
    lasting = subprocess.Popen([MOUNT, "--socket", sock, "--check", dump, "--timeout", "60"], stdout=subprocess.PIPE,
                               stderr=lasting_log, text=True)

    # --once prints every statistic in the dump's layout.
    once = subprocess.run([MOUNT, "--socket", sock, "--once", "--timeout", "20"], capture_output=True, text=True,
                          timeout=30)
    lines = once.stdout.splitlines()
    if once.returncode != 0 or len(lines) != 48 * 42:
        fail("--once: rc %d, %d lines, %s" % (once.returncode, len(lines), once.stderr[-300:]))
    elif not lines[0].startswith("chip0/port0 ") or "Value('Hardware::Phy::" not in lines[0]:
        fail("--once layout: " + lines[0])

    # Mounts cut at random moments, by SIGKILL or SIGTERM, while the agent
    # runs, then the agent killed outright (its socket file stays behind) and
    # started again for a bounded run.
    def flaky_mounts(seconds):
        end = time.monotonic() + seconds
        kills = 0
        while time.monotonic() < end:
            m = mount("--duration", "30")
            time.sleep(rng.uniform(0.05, 0.8))
            if m.poll() is not None:
                fail("a live mount ended by itself: rc %d" % m.returncode)
            m.send_signal(rng.choice([signal.SIGKILL, signal.SIGTERM]))
            m.wait(timeout=10)
            kills += 1
        return kills

    kills = flaky_mounts(2.0)
    first.send_signal(signal.SIGKILL)
    first.wait(timeout=10)
    restarted = agent("--duration", "3", "--linger", "8", "--dump", dump)
    kills += flaky_mounts(2.5)
    print("mounts killed:", kills, flush=True)

    wait_for(lambda: os.path.exists(dump), 15, "the agent's dump")
    with open(dump) as f:
        dumped = f.read().splitlines()
    if len(dumped) != 48 * 42:
        fail("the dump has %d lines" % len(dumped))

    want = "48 ports, 2016 statistics, 0 differences"
    fresh = subprocess.run([MOUNT, "--socket", sock, "--check", dump, "--timeout", "5"], capture_output=True,
                           text=True, timeout=20)
    if fresh.returncode != 0 or fresh.stdout.strip() != want:
        fail("a fresh mount's check: rc %d, %r %r" % (fresh.returncode, fresh.stdout, fresh.stderr[-500:]))

    # A check catches a difference: one statistic of the dump altered.
    altered = os.path.join(tmp, "altered.dump")
    i = rng.randrange(len(dumped))
    port, stat, _ = dumped[i].split(" ", 2)
    with open(altered, "w") as f:
        f.write("\n".join(dumped[:i] + ["%s %s altered" % (port, stat)] + dumped[i + 1:]) + "\n")
    bad = subprocess.run([MOUNT, "--socket", sock, "--check", altered, "--timeout", "5"], capture_output=True,
                         text=True, timeout=20)
    if bad.returncode != 1 or bad.stdout.strip() != "48 ports, 2016 statistics, 1 differences":
        fail("an altered dump: rc %d, %r" % (bad.returncode, bad.stdout))

    try:
        out, _ = lasting.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        lasting.kill()
        out, _ = lasting.communicate()
    if lasting.returncode != 0 or out.strip() != want:
        fail("the mount that lived through the restart: rc %d, %r" % (lasting.returncode, out))
    # It reconnected to the new agent and kept the roots it mounted before.
    lasting_log.seek(0)
    notes = lasting_log.read()
    synced = [l for l in notes.splitlines() if "synced:" in l]
    if notes.count("connected to") < 2 or len(synced) < 2 or " 0 entities kept" in synced[-1]:
        fail("the lasting mount did not reconnect and keep its roots:\n" + notes)

    if restarted.wait(timeout=20) != 0:
        fail("the restarted agent ended with %d" % restarted.returncode)
    if os.path.exists(sock):
        fail("the socket file is left after the agent ended")

    if failures:
        log.seek(0)
        print("---- agent and mount output (last 60 lines) ----")
        print("".join(log.readlines()[-60:]))
        print("seed", SEED, ":", len(failures), "failures")
        return 1
    print("ok: %d mount kills, one agent restart, checks agree" % kills)
    shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
