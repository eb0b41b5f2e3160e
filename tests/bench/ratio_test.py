"""bench/replication/ratio.py, run as scripts/bench-peer runs it, on a small
results folder laid out as the script lays it out: <transport>/rep<N>/ours.txt
and peer.txt, raw "tag.metric=value" lines."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

RATIO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "replication", "ratio.py")


def rep_file(path, transport, figures):
    """One side's raw output of one repetition."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        if transport is not None:
            f.write(f"env.transport={transport}\n")
        for k, v in figures.items():
            f.write(f"{k}={v}\n")


def section_rows(markdown, table):
    """The rows of the table whose heading starts with `table`, as
    (section, what, [ours, peer, ratio, aim])."""
    rows, inside, section = [], False, None
    for line in markdown.splitlines():
        if line.startswith("## "):
            inside = line[3:].startswith(table)
            continue
        if not inside or not line.startswith("| "):
            continue
        c = [x.strip() for x in line.strip().strip("|").split("|")]
        if c[0].startswith("**"):
            section = c[0].strip("*")
        elif c[0] not in ("What", "---"):
            rows.append((section, c[0], c[1:]))
    return rows


def cells(markdown, section, what, table="Unix"):
    """The Ours, Peer, Ratio and Aim cells of row `what` under the section
    whose title starts with `section`, in the table whose heading starts with
    `table`."""
    for s, w, c in section_rows(markdown, table):
        if s is not None and s.startswith(section) and w == what:
            return c
    raise AssertionError(f"no row {what!r} under {section!r} in table {table!r}:\n{markdown}")


APPLIED = "Records applied at the mount per second, none coalesced"

# Three repetitions in which the median of the ratios (20×) is not the ratio
# of the medians (6 M / 200 000 = 30×).
OURS = [
    {"a_nocoalesce.applied_records_per_s": 4e6, "a_nocoalesce.consumer_notifications": 1000000,
     "a_nocoalesce.producer_updates": 1000000, "a_nocoalesce.producer_cpu_s": 0.2,
     "a_nocoalesce.consumer_cpu_s": 0.3, "a_throughput.producer_updates_per_s": 9e6,
     "a_throughput.records_per_update": 0.5, "c_latency.latency_p99_us": 60, "d_resync.resync_total_ms": 40,
     "d_resync_served_before.resync_total_ms": 80, "b_coalesce.final_mismatch_vs_producer": 0,
     "f_chassis.mounts_converged": 8, "f_chassis.mounts": 8,
     "e_memory.mem_writer_replicated_bytes_per_field": 50, "e_memory.mem_bytes_per_field": 18,
     "s_slow_consumer.consumer_sub_disconnected": 0, "s_slow_consumer.writer_heap_bytes_peak": 1024 * 1024},
    {"a_nocoalesce.applied_records_per_s": 6e6, "a_nocoalesce.consumer_notifications": 999000,
     "a_nocoalesce.producer_updates": 1000000, "c_latency.latency_p99_us": 50, "d_resync.resync_total_ms": 40,
     "b_coalesce.final_mismatch_vs_producer": 0, "f_chassis.mounts_converged": 7, "f_chassis.mounts": 8},
    {"a_nocoalesce.applied_records_per_s": 10e6, "a_nocoalesce.consumer_notifications": 1000000,
     "a_nocoalesce.producer_updates": 1000000, "c_latency.latency_p99_us": 40, "d_resync.resync_total_ms": 40,
     "b_coalesce.final_mismatch_vs_producer": 0, "f_chassis.mounts_converged": 8, "f_chassis.mounts": 8},
]
PEER = [
    {"a1_pipe_hget.applied_updates_per_s": 2e5, "a1_pipe_hget.producer_updates_per_s": 3e5,
     "a1_pipe_hget.consumer_notifications": 1000000, "a1_pipe_hget.consumer_reads": 1000000,
     "a1_pipe_hget.producer_updates": 1000000, "a1_pipe_hget.producer_cpu_s": 1, "a1_pipe_hget.consumer_cpu_s": 1,
     "a1_pipe_hget.redis_cpu_s": 2, "c_latency.latency_p50_us": 117.5, "c_latency.latency_p99_us": 248,
     "d_resync.resync_total_ms": 20, "e_memory.mem_bytes_per_field": 25,
     "s_slow_consumer.consumer_sub_disconnected": 1, "a4_pipe_hgetall.consumer_sub_disconnected": 0,
     "s_slow_consumer.redis_used_memory_peak_bytes": 4 * 1024 * 1024},
    {"a1_pipe_hget.applied_updates_per_s": 1e5, "c_latency.latency_p99_us": 250, "d_resync.resync_total_ms": 20},
    {"a1_pipe_hget.applied_updates_per_s": 1e6, "c_latency.latency_p99_us": 300, "d_resync.resync_total_ms": 20},
]


class RatioTableTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, transport, ours, peer, ours_transport=None, peer_transport=None):
        for n, (o, p) in enumerate(zip(ours, peer), start=1):
            rep = os.path.join(self.dir, transport, f"rep{n}")
            rep_file(os.path.join(rep, "ours.txt"), ours_transport or transport, o)
            rep_file(os.path.join(rep, "peer.txt"), peer_transport or transport, p)

    def run_ratio(self):
        r = subprocess.run([sys.executable, RATIO, self.dir], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def test_ratio_is_the_median_of_each_repetitions_ratio(self):
        self.write("unix", OURS, PEER)
        ours, peer, ratio, aim = cells(self.run_ratio(), "Throughput", APPLIED)
        # Medians of the figures, and of the ratios within each repetition
        # (20, 60, 10), not the ratio of the medians (30).
        self.assertEqual((ours, peer, ratio), ("6 M", "200 000", "20× more [10–60]"))
        self.assertEqual(aim, "≥ 25×: not met")

    def test_absorbed_updates_are_apart_from_records_applied(self):
        self.write("unix", OURS, PEER)
        md = self.run_ratio()
        self.assertEqual(cells(md, "Throughput", "Updates absorbed by the writer, per second")[:3],
                         ["9 M", "300 000", "30× more"])
        self.assertEqual(cells(md, "Throughput", "Records sent per update, at that rate")[:3],
                         ["0.5", "1", "2× fewer"])
        # Per million updates of the run where none coalesced, the peer's
        # server among its processes.
        self.assertEqual(cells(md, "Throughput", "CPU seconds per million updates, all processes, none coalesced")[:3],
                         ["0.5", "4", "8× less CPU"])

    def test_a_correctness_check_must_hold_in_every_repetition(self):
        self.write("unix", OURS, PEER)
        md = self.run_ratio()
        # One repetition applied 999,000 of 1,000,000: the median (1) looks
        # fine, the verdict does not.
        ours, _, _, aim = cells(md, "Throughput", "Records applied at the mount, per update made")
        self.assertEqual((ours, aim), ("1", "1: not met (1 of 3 reps)"))
        self.assertEqual(cells(md, "Chassis", "Mounts converged")[0::3], ["8 of 8", "all: not met (1 of 3 reps)"])
        self.assertEqual(cells(md, "Burst", "Final state, fields differing from the writer's")[3], "0: met")

    def test_a_ratio_below_one_reads_the_other_way(self):
        self.write("unix", OURS, PEER)
        md = self.run_ratio()
        self.assertEqual(cells(md, "Resync", "Time")[2:], ["0.5× (2× slower) [0.5–0.5]", "≥ 10×: not met"])
        # An agent that has served a mount before is set beside the same
        # figure of the peer's, and judged by nothing.
        self.assertEqual(cells(md, "Resync", "Time, an agent that has served a mount before")[:3],
                         ["80 ms", "20 ms", "0.25× (4× slower)"])

    def test_absolute_aims_are_held_against_our_median(self):
        self.write("unix", OURS, PEER)
        self.assertEqual(cells(self.run_ratio(), "Latency", "p99"),
                         ["50 µs", "250 µs", "5× lower [4.13–7.5]", "≤ 50 µs: met"])

    def test_slow_consumer_is_set_beside_the_peers_slow_consumer(self):
        self.write("unix", OURS, PEER)
        md = self.run_ratio()
        # The peer's s_slow_consumer was cut off; its a4 throughput run was not.
        self.assertEqual(cells(md, "Slow consumer", "Consumer disconnected (1 = yes)"), ["0", "1", "—", "0: met"])
        ours, peer, ratio, _ = cells(
            md, "Slow consumer", "Writer side's memory peak (ours: writer's heap; peer: server's used_memory_peak)")
        self.assertEqual((ours, peer, ratio), ("1 024 KiB", "4 096 KiB", "4× less"))

    def test_writer_memory_is_the_writer_with_a_mount_against_the_peers_server(self):
        self.write("unix", OURS, PEER)
        md = self.run_ratio()
        ours, peer, ratio, aim = cells(md, "Memory", "Writer with one mount attached and synced "
                                                     "(peer: the server holding the table)")
        self.assertEqual((ours, peer, ratio, aim), ("50", "25", "0.5× (2× more)", "at most the peer's: not met"))

    def test_missing_figures_show_a_dash(self):
        peer = [dict(PEER[0]), PEER[1], PEER[2]]
        del peer[0]["a1_pipe_hget.redis_cpu_s"]
        self.write("unix", OURS, peer)
        md = self.run_ratio()
        # Missing on our side: no value, no ratio, no verdict.
        self.assertEqual(cells(md, "Latency", "p50"), ["—", "118 µs", "—", "≤ 15 µs: —"])
        # One operand of a derived figure missing makes the whole figure missing.
        self.assertEqual(cells(md, "Throughput", "CPU seconds per million updates, all processes, none coalesced")[:3],
                         ["0.5", "—", "—"])
        self.assertEqual(cells(md, "Burst", "Link change during the burst, until the mount has it"),
                         ["—", "—", "—", "≥ 10×: —"])

    def test_a_repetition_one_side_missed_leaves_the_others(self):
        self.write("unix", OURS, PEER)
        os.remove(os.path.join(self.dir, "unix", "rep3", "peer.txt"))
        md = self.run_ratio()
        # Ratios from the two repetitions that have both sides: 20 and 60.
        self.assertEqual(cells(md, "Throughput", APPLIED)[2], "40× more [20–60]")
        self.assertIn("unix rep3: no figures from peer", md)

    def test_tcp_has_a_table_of_its_own(self):
        self.write("unix", OURS, PEER)
        tcp_ours = [{"a_nocoalesce.applied_records_per_s": 3e6, "d_resync.resync_total_ms": 80,
                     "ref.ref_tcp_loopback_GiB_per_s": 1}]
        tcp_peer = [{"a1_pipe_hget.applied_updates_per_s": 3e5, "d_resync.resync_total_ms": 40,
                     "ref.ref_tcp_loopback_GiB_per_s": 2}]
        self.write("tcp", tcp_ours, tcp_peer)
        md = self.run_ratio()
        self.assertIn("## TCP loopback on both sides, 1 repetition", md)
        self.assertIn("## Unix socket on both sides, 3 repetitions", md)
        # Figures from the TCP folder alone; a single repetition has no range.
        self.assertEqual(cells(md, "Throughput", APPLIED, table="TCP")[:3], ["3 M", "300 000", "10× more"])
        self.assertEqual(cells(md, "Resync", "Time", table="TCP")[:3], ["80 ms", "40 ms", "0.5× (2× slower)"])
        self.assertEqual(cells(md, "Limits", "TCP loopback, GiB/s", table="TCP")[2], "0.5×")
        # The shorter table: no chassis, no slow consumer.
        sections = {s for s, _, _ in section_rows(md, "TCP")}
        self.assertFalse(any(s.startswith(("Chassis", "Slow consumer", "Memory")) for s in sections), sections)

    def test_a_side_over_another_transport_is_flagged(self):
        self.write("unix", OURS, PEER, peer_transport="tcp")
        self.assertIn("unix rep1: peer ran over tcp, not unix", self.run_ratio())

    def test_no_repetitions_is_an_error(self):
        r = subprocess.run([sys.executable, RATIO, self.dir], capture_output=True, text=True)
        self.assertEqual(r.returncode, 2)
        self.assertIn(self.dir, r.stderr)


if __name__ == "__main__":
    unittest.main()
