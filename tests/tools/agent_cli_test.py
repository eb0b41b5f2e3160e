#!/usr/bin/env python3
"""phyagent and phymount over TCP and on their command lines: a free port and
a port in use, IPv6 loopback, an address beyond loopback only when allowed,
the dump on SIGUSR1 and never through a planted link, SIGTERM ending the
agent and removing its socket file, refused arguments.

usage: agent_cli_test.py PHYAGENT PHYMOUNT
"""
import os
import re
import shutil
import signal
import socket
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


def free_port(family=socket.AF_INET, host="127.0.0.1"):
    with socket.socket(family) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def has_ipv6_loopback():
    try:
        free_port(socket.AF_INET6, "::1")
        return True
    except OSError:
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

    def test_tcp_on_a_free_port_and_the_port_in_use(self):
        dump = self.path("tcp.dump")
        port = str(free_port())
        a = self.agent("--tcp", port, "--chips", "2", "--scenario", "flap", "--poll-hz", "10", "--duration", "1",
                       "--linger", "10", "--dump", dump)
        self.assertTrue(wait_for(lambda: "serving" in self.log_of(a)))
        self.assertIn("on tcp:127.0.0.1:" + port, self.log_of(a))
        taken = subprocess.run([AGENT, "--tcp", port, "--duration", "1"], capture_output=True, text=True, timeout=10)
        self.assertEqual(taken.returncode, 2)
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

    @unittest.skipUnless(has_ipv6_loopback(), "no IPv6 loopback here")
    def test_ipv6_loopback_in_brackets(self):
        port = str(free_port(socket.AF_INET6, "::1"))
        a = self.agent("--tcp", "[::1]:" + port, "--chips", "1", "--poll-hz", "20")
        self.assertTrue(wait_for(lambda: "serving" in self.log_of(a)), self.log_of(a))
        once = subprocess.run([MOUNT, "--tcp", "[::1]:" + port, "--once", "--timeout", "8"], capture_output=True,
                              text=True, timeout=20)
        self.assertEqual(once.returncode, 0, once.stderr)
        self.assertEqual(len(once.stdout.splitlines()), 8 * 42)
        self.assertNotIn("warning", self.log_of(a), "loopback needs no warning")

    def test_beyond_loopback_only_when_allowed(self):
        port = str(free_port(host="0.0.0.0"))
        refused = subprocess.run([AGENT, "--tcp", "0.0.0.0:" + port, "--duration", "1"], capture_output=True,
                                 text=True, timeout=10)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("--allow-remote", refused.stderr)
        self.assertNotIn("serving", refused.stderr)
        a = self.agent("--tcp", "0.0.0.0:" + port, "--allow-remote", "--chips", "1", "--duration", "0.5")
        self.assertEqual(a.wait(timeout=10), 0, self.log_of(a))
        self.assertRegex(self.log_of(a), r"phyagent: warning: serving 0\.0\.0\.0:\d+ without authentication")
        # Each option's help says what serving beyond loopback gives away.
        help_text = subprocess.run([AGENT, "--help"], capture_output=True, text=True, timeout=10).stdout
        for option in ("--tcp TEXT", "--allow-remote"):
            said = " ".join(re.search(re.escape(option) + r"[^\n]*(\n {20,}[^\n]*)*", help_text).group(0).split())
            self.assertIn("unauthenticated", said.lower(), option)
            self.assertIn("any client that reaches it can read the whole state", said, option)

    def test_the_dump_never_writes_through_a_planted_link(self):
        out = self.path("out")
        os.mkdir(out)
        dump, victim = os.path.join(out, "a.dump"), self.path("victim")
        with open(victim, "w") as f:
            f.write("precious\n")
        os.symlink(victim, dump + ".tmp")
        a = self.agent("--socket", self.path("a.sock"), "--chips", "1", "--duration", "0.3", "--dump", dump)
        self.assertEqual(a.wait(timeout=10), 0, self.log_of(a))
        with open(victim) as f:
            self.assertEqual(f.read(), "precious\n")
        self.assertFalse(os.path.islink(dump))
        with open(dump) as f:
            self.assertEqual(len(f.read().splitlines()), 8 * 42)
        self.assertEqual(sorted(os.listdir(out)), ["a.dump", "a.dump.tmp"], "a file left aside")
        # Nowhere to write: reported, and nothing left behind.
        a = self.agent("--socket", self.path("b.sock"), "--chips", "1", "--duration", "0.3", "--dump",
                       os.path.join(out, "missing", "b.dump"))
        self.assertEqual(a.wait(timeout=10), 1)
        self.assertIn("cannot write the dump", self.log_of(a))
        self.assertEqual(sorted(os.listdir(out)), ["a.dump", "a.dump.tmp"])

    def test_bad_addresses_are_refused_with_status_2(self):
        none = self.path("none.sock")
        with socket.socket() as held:
            held.bind(("127.0.0.1", 0))
            held.listen()
            in_use = "127.0.0.1:%d" % held.getsockname()[1]
            cases = [(AGENT, "--tcp", v, "from 1 to 65535") for v in ("0", "70000", "127.0.0.1:notaport",
                                                                      "127.0.0.1:-1", "localhost:")]
            cases += [(AGENT, "--tcp", "::1:7000", "brackets"), (AGENT, "--tcp", "[::1]", "[ADDRESS]:PORT"),
                      (AGENT, "--tcp", ":7000", "no host"), (AGENT, "--tcp", "[::]:7000", "--allow-remote"),
                      (MOUNT, "--tcp", "127.0.0.1:99999", "from 1 to 65535"),
                      (MOUNT, "--metrics", "9482", "HOST:PORT"), (MOUNT, "--metrics", "", "HOST:PORT"),
                      (MOUNT, "--metrics", "nohost.invalid:80", "cannot resolve nohost.invalid"),
                      (MOUNT, "--metrics", in_use, "in use")]
            cases += [(MOUNT, "--metrics", v, "from 1 to 65535") for v in ("127.0.0.1:notaport", "127.0.0.1:-1",
                                                                           "127.0.0.1:99999", "[::1]:0")]
            for prog, option, value, text in cases:
                rest = ["--duration", "1"] if prog == AGENT else ["--socket", none, "--duration", "1"]
                if option == "--tcp" and prog == MOUNT:
                    rest = ["--once", "--timeout", "1"]
                r = subprocess.run([prog, option, value, *rest], capture_output=True, text=True, timeout=10)
                name = os.path.basename(prog)
                self.assertEqual(r.returncode, 2, (name, option, value, r.stderr))
                self.assertTrue(r.stderr.startswith("%s: %s %s: " % (name, option, value)), r.stderr)
                self.assertIn(text, r.stderr, (option, value))
                self.assertEqual(r.stderr.count("\n"), 1, r.stderr)

    def test_refused_arguments(self):
        for cmd, text in [([AGENT, "--scenario", "loud"], "scenario"),
                          ([AGENT, "--allow-remote"], "requires --tcp"),
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
