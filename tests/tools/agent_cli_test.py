#!/usr/bin/env python3
"""phyagent and phymount over TCP on loopback and on their command lines: a
port the system picks, a port in use, the dump on SIGUSR1, SIGTERM ending
the agent and removing its socket file, refused arguments.

usage: agent_cli_test.py PHYAGENT PHYMOUNT
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

AGENT, MOUNT = sys.argv.pop(1), sys.argv.pop(1)


def wait_for(pred, timeout=10):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.05)
    return False


class AgentTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="phy-cli-")
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()
            p.log.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def agent(self, *args):
        log = open(self.path("agent%d.log" % len(self.procs)), "w+")
        p = subprocess.Popen([AGENT, *args], stderr=log, text=True)
        p.log = log
        self.procs.append(p)
        return p

    @staticmethod
    def log_of(p):
        p.log.seek(0)
        return p.log.read()

    def test_tcp_on_a_port_the_system_picks_and_the_port_in_use(self):
        dump = self.path("tcp.dump")
        a = self.agent("--tcp", "0", "--chips", "2", "--scenario", "flap", "--poll-hz", "10", "--duration", "1",
                       "--linger", "10", "--dump", dump)
        self.assertTrue(wait_for(lambda: "serving" in self.log_of(a)))
        port = re.search(r"on tcp:127\.0\.0\.1:(\d+)", self.log_of(a)).group(1)
        taken = subprocess.run([AGENT, "--tcp", port, "--duration", "1"], capture_output=True, text=True, timeout=10)
        self.assertEqual(taken.returncode, 1)
        self.assertIn("address in use", taken.stderr)
        self.assertIn("port is taken", taken.stderr)
        self.assertTrue(wait_for(lambda: os.path.exists(dump)))
        check = subprocess.run([MOUNT, "--tcp", "127.0.0.1:" + port, "--check", dump, "--timeout", "8"],
                               capture_output=True, text=True, timeout=20)
        self.assertEqual((check.returncode, check.stdout), (0, "16 ports, 672 statistics, 0 differences\n"),
                         check.stderr)
        # flap: only chip0/port0's link moved, once every poll.
        with open(dump) as f:
            link = {l.split(" ")[0]: l for l in f.read().splitlines() if " linkState " in l}
        self.assertNotIn("'changes': 0", link["chip0/port0"])
        self.assertIn("'changes': 1,", link["chip0/port1"])

    def test_sigusr1_writes_the_dump_and_sigterm_removes_the_socket(self):
        sock, dump = self.path("a.sock"), self.path("a.dump")
        a = self.agent("--socket", sock, "--dump", dump, "--chips", "1", "--poll-hz", "20", "--scenario", "noisy")
        self.assertTrue(wait_for(lambda: os.path.exists(sock)))
        self.assertFalse(os.path.exists(dump), "no dump before it is asked for")
        a.send_signal(signal.SIGUSR1)
        self.assertTrue(wait_for(lambda: os.path.exists(dump)))
        with open(dump) as f:
            self.assertEqual(len(f.read().splitlines()), 8 * 42)
        once = subprocess.run([MOUNT, "--socket", sock, "--once", "--timeout", "8"], capture_output=True, text=True,
                              timeout=20)
        self.assertEqual(once.returncode, 0, once.stderr)
        self.assertEqual(len(once.stdout.splitlines()), 8 * 42)
        self.assertTrue(once.stdout.startswith("chip0/port0 carrierExtendErrors Value('Hardware::Phy::EventStat'"))
        a.send_signal(signal.SIGTERM)
        self.assertEqual(a.wait(timeout=10), 0)
        self.assertFalse(os.path.exists(sock))
        self.assertIn("stopping: terminated", self.log_of(a))

    def test_a_mount_without_an_agent_keeps_trying_then_gives_up(self):
        r = subprocess.run([MOUNT, "--socket", self.path("none.sock"), "--once", "--timeout", "1"],
                           capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 2)
        self.assertIn("not synced after 1 s (reconnecting", r.stderr)

    def test_refused_arguments(self):
        for cmd, text in [([AGENT, "--tcp", "70000"], "--tcp wants [ADDR:]PORT"),
                          ([AGENT, "--scenario", "loud"], "scenario"),
                          ([AGENT, "--socket", "x", "--tcp", "1"], "excludes"),
                          ([MOUNT, "--once", "--check", "f"], "excludes")]:
            r = subprocess.run(cmd, capture_output=True, text=True, timeout=10)
            self.assertNotEqual(r.returncode, 0, cmd)
            self.assertIn(text, r.stderr + r.stdout, cmd)

    def test_help_shows_examples(self):
        for prog, example in [(AGENT, "phyagent --scenario noisy"), (MOUNT, "phymount --tcp 127.0.0.1:7000 --once")]:
            r = subprocess.run([prog, "--help"], capture_output=True, text=True, timeout=10)
            self.assertEqual(r.returncode, 0)
            self.assertIn(example, r.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
