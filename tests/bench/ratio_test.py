"""bench/replication/ratio.py, run as scripts/bench-peer runs it, on two small
summaries in the format the peer's run.sh writes."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

RATIO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "replication", "ratio.py")
HEADER = "metric                                               median           [min .. max]\n"


def summary(path, medians):
    """A summary file as run.sh lays it out; the median is the figure read."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(HEADER)
        for k, v in medians.items():
            f.write(f"{k:<52} {v:>14}   [{v} .. {v}]  n=1\n")


def cells(markdown, section, what):
    """The Ours, Peer, Ratio and Aim cells of row `what` under the section
    whose title starts with `section`."""
    current = None
    for line in markdown.splitlines():
        if not line.startswith("| "):
            continue
        c = [x.strip() for x in line.strip().strip("|").split("|")]
        if c[0].startswith("**"):
            current = c[0].strip("*")
        elif current is not None and current.startswith(section) and c[0] == what:
            return c[1:]
    raise AssertionError(f"no row {what!r} under {section!r} in:\n{markdown}")


OURS = {
    "a_throughput.applied_updates_per_s": 5e6,
    "a_throughput.producer_cpu_s": 0.2,
    "a_throughput.consumer_cpu_s": 0.3,
    "a_throughput.producer_updates": 1000000,
    "c_latency.latency_p99_us": 60,
    "b_coalesce.final_mismatch_vs_producer": 3,
    "d_resync.resync_total_ms": 40,
    "f_chassis.mounts_converged": 31,
    "f_chassis.mounts": 32,
}
PEER = {
    "a1_pipe_hget.applied_updates_per_s": 200000,
    "a1_pipe_hget.producer_cpu_s": 1,
    "a1_pipe_hget.consumer_cpu_s": 1,
    "a1_pipe_hget.redis_cpu_s": 2,
    "a1_pipe_hget.producer_updates": 1000000,
    "c_latency.latency_p50_us": 117.5,
    "c_latency.latency_p99_us": 248,
    "d_resync.resync_total_ms": 20,
}


class RatioTableTest(unittest.TestCase):
    def run_ratio(self, ours, peer):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        self.ours_path, self.peer_path = os.path.join(d, "ours.txt"), os.path.join(d, "peer.txt")
        summary(self.ours_path, ours)
        summary(self.peer_path, peer)
        r = subprocess.run([sys.executable, RATIO, self.ours_path, self.peer_path], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def test_ratios_of_medians_and_of_derived_figures(self):
        md = self.run_ratio(OURS, PEER)
        ours, peer, ratio, aim = cells(md, "Throughput", "Changes applied at the mount, per second")
        self.assertEqual((ours, peer, ratio, aim), ("5 M", "200 000", "25× more", "≥ 25×: met"))
        # Per million updates, and the peer's server counted among its processes.
        ours, peer, ratio, _ = cells(md, "Throughput", "CPU seconds per million updates, all processes")
        self.assertEqual((ours, peer, ratio), ("0.5", "4", "8× less CPU"))

    def test_throughput_just_under_the_aim_is_not_met(self):
        md = self.run_ratio(dict(OURS, **{"a_throughput.applied_updates_per_s": 4.98e6}), PEER)
        _, _, ratio, aim = cells(md, "Throughput", "Changes applied at the mount, per second")
        self.assertEqual((ratio, aim), ("24.9× more", "≥ 25×: not met"))

    def test_a_ratio_below_one_reads_the_other_way(self):
        md = self.run_ratio(OURS, PEER)
        self.assertEqual(cells(md, "Resync", "Time")[2:], ["0.5× (2× slower)", "≥ 10×: not met"])

    def test_missing_metrics_show_a_dash(self):
        md = self.run_ratio(OURS, {k: v for k, v in PEER.items() if k != "a1_pipe_hget.redis_cpu_s"})
        # Missing on our side: no value, no ratio, no verdict.
        self.assertEqual(cells(md, "Latency", "p50"), ["—", "118 µs", "—", "≤ 15 µs: —"])
        # One operand of a derived figure missing makes the whole figure missing.
        ours, peer, ratio, _ = cells(md, "Throughput", "CPU seconds per million updates, all processes")
        self.assertEqual((ours, peer, ratio), ("0.5", "—", "—"))
        # Missing on both sides.
        self.assertEqual(cells(md, "Burst", "Link change during the burst, until the mount has it"),
                         ["—", "—", "—", "≥ 10×: —"])

    def test_absolute_aims_are_held_against_our_figure(self):
        md = self.run_ratio(OURS, PEER)
        self.assertEqual(cells(md, "Latency", "p99"), ["60 µs", "248 µs", "4.13× lower", "≤ 50 µs: not met"])
        self.assertEqual(cells(md, "Burst", "Final state, fields differing from the writer's")[0::3],
                         ["3", "0: not met"])
        self.assertEqual(cells(md, "Chassis", "Mounts converged")[0::3], ["31 of 32", "all: not met"])
        md = self.run_ratio(dict(OURS, **{"c_latency.latency_p99_us": 50, "f_chassis.mounts_converged": 32}), PEER)
        self.assertEqual(cells(md, "Latency", "p99")[3], "≤ 50 µs: met")
        self.assertEqual(cells(md, "Chassis", "Mounts converged")[0::3], ["32 of 32", "all: met"])

    def test_names_where_the_figures_came_from(self):
        md = self.run_ratio(OURS, PEER)
        self.assertIn(f"`{self.ours_path}`", md)
        self.assertIn(f"`{self.peer_path}`", md)

    def test_a_missing_summary_file_is_an_error(self):
        r = subprocess.run([sys.executable, RATIO, "/nonexistent/ours.txt", "/nonexistent/peer.txt"],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 2)
        self.assertIn("/nonexistent/ours.txt", r.stderr)


if __name__ == "__main__":
    unittest.main()
