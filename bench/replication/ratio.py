#!/usr/bin/env python3
"""Ours against the Redis peer: reads the two summary.txt files that
scripts/bench-peer and the peer's run.sh write (one line a metric:
"metric  median  [min .. max]  n=N", under a header) and prints a Markdown
table of the medians, their ratio and whether each aim is met.

    ratio.py OURS_SUMMARY PEER_SUMMARY > ratio.md

A metric missing on either side shows as "—": a workload that failed still
leaves the rest of the table readable.
"""

import math
import sys

DASH = "—"
# "Bounded" writer memory under a slow consumer: what a few MiB of buffers
# can account for, far below what queueing every change would take.
SLOW_CONSUMER_GROWTH_KB = 4 * 1024


def read_summary(path):
    """Metric name -> median, from a summary file."""
    medians = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.split()
            if len(parts) < 2 or parts[0] == "metric":
                continue
            try:
                medians[parts[0]] = float(parts[1])
            except ValueError:
                continue  # a value that is not a number has no median to compare
    return medians


# ---- arithmetic where any missing operand makes the result missing


def add(*xs):
    return None if any(x is None for x in xs) else sum(xs)


def sub(a, b):
    return None if a is None or b is None else a - b


def div(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def scale(a, k):
    return None if a is None else a * k


# ---- formatting


def group(n):
    """An integer with its thousands set apart by spaces, as in the README."""
    return f"{n:,}".replace(",", " ")


def num(x):
    """Three significant digits; small whole counts (2016 statistics, 0
    mismatches) exactly."""
    if x is None or math.isnan(x):
        return DASH
    if math.isinf(x):
        return "∞" if x > 0 else "-∞"
    a = abs(x)
    if a >= 1e9:
        return f"{x / 1e9:.3g} G"
    if a >= 1e6:
        return f"{x / 1e6:.3g} M"
    if x == int(x) and a < 10000:
        return group(int(x))
    if a >= 1000:
        return group(int(round(x, 2 - int(math.floor(math.log10(a))))))
    return f"{x:.3g}"


# Each ratio's word for ours being better, and for ours being worse.
OPPOSITE = {"more": "less", "less": "more", "less CPU": "more CPU", "lower": "higher", "fewer": "more",
            "sooner": "later", "faster": "slower"}


def times(r, word=""):
    """A ratio, worded so that it reads right either side of 1×."""
    if r is None:
        return DASH
    if not word:
        return f"{num(r)}×"
    if r >= 1 or r <= 0:
        return f"{num(r)}× {word}"
    return f"{num(r)}× ({num(1 / r)}× {OPPOSITE[word]})"


# ---- aims: each gives the aim's text and whether it holds (None: no data)


def at_least(k, unit=""):
    return lambda v: (f"≥ {num(k)}{unit}", None if v is None else v >= k)


def at_most(k, unit=""):
    return lambda v: (f"≤ {num(k)}{unit}", None if v is None else v <= k)


def exactly(k):
    return lambda v: (num(k), None if v is None else v == k)


def verdict(aim, value):
    if aim is None:
        return ""
    text, ok = aim(value)
    return f"{text}: " + (DASH if ok is None else "met" if ok else "not met")


# What an aim is held against, when not a value of its own.
OURS, RATIO = object(), object()


class Table:
    def __init__(self):
        self.lines = ["| What | Ours | Peer | Ratio | Aim |", "|---|---|---|---|---|"]

    def section(self, title):
        self.lines.append(f"| **{title}** | | | | |")

    def row(self, what, ours, peer, ratio=None, word="", aim=None, judged=OURS, unit=""):
        """A value already a string is shown as it is."""
        def show(v):
            if isinstance(v, str):
                return v
            return num(v) + (f" {unit}" if unit and v is not None else "")
        judged = ours if judged is OURS else ratio if judged is RATIO else judged
        self.lines.append(f"| {what} | {show(ours)} | {show(peer)} | {times(ratio, word)} | {verdict(aim, judged)} |")


def build(o, p):
    """The table's lines from our medians `o` and the peer's `p`."""
    t = Table()

    t.section("Throughput, 48 ports × 42 statistics")
    ours, peer = o.get("a_throughput.applied_updates_per_s"), p.get("a1_pipe_hget.applied_updates_per_s")
    t.row("Changes applied at the mount, per second", ours, peer, div(ours, peer), "more",
          at_least(25, "×"), judged=RATIO)
    ours = scale(div(add(o.get("a_throughput.producer_cpu_s"), o.get("a_throughput.consumer_cpu_s")),
                     o.get("a_throughput.producer_updates")), 1e6)
    # The peer's figure counts the server too: it is one of the processes.
    peer = scale(div(add(p.get("a1_pipe_hget.producer_cpu_s"), p.get("a1_pipe_hget.consumer_cpu_s"),
                         p.get("a1_pipe_hget.redis_cpu_s")), p.get("a1_pipe_hget.producer_updates")), 1e6)
    t.row("CPU seconds per million updates, all processes", ours, peer, div(peer, ours), "less CPU")

    t.section("Latency at 10,000 updates/s")
    for name, key, aim in (("p50", "latency_p50_us", at_most(15, " µs")),
                           ("p99", "latency_p99_us", at_most(50, " µs")),
                           ("p99.9", "latency_p999_us", None)):
        ours, peer = o.get(f"c_latency.{key}"), p.get(f"c_latency.{key}")
        t.row(name, ours, peer, div(peer, ours), "lower", aim, unit="µs")

    t.section("Burst: 500 writes to each of 2016 statistics")
    ours = div(o.get("b_coalesce.records_sent"), o.get("b_coalesce.producer_updates"))
    peer = div(p.get("b_coalesce.consumer_notifications"), p.get("b_coalesce.producer_updates"))
    t.row("Records sent per update", ours, peer, div(peer, ours), "fewer")
    ours, peer = o.get("b_coalesce.consumer_notifications"), p.get("b_coalesce.consumer_notifications")
    t.row("Notifications at the mount", ours, peer, div(peer, ours), "fewer")
    # The peer's consumer times convergence from the producer's start.
    ours = o.get("b_coalesce.converged_after_stop_s")
    peer = sub(p.get("b_coalesce.converged_s"), p.get("b_coalesce.producer_s"))
    t.row("Time to converge after the burst stops", ours, peer, div(peer, ours), "sooner",
          at_most(0.1, " s"), unit="s")
    t.row("Final state, fields differing from the writer's", o.get("b_coalesce.final_mismatch_vs_producer"),
          p.get("b_coalesce.final_mismatch_vs_producer"), aim=exactly(0))
    ours, peer = o.get("b2_burst_linkchange.mark_latency_us"), p.get("b2_burst_linkchange.mark_latency_us")
    t.row("Link change during the burst, until the mount has it", ours, peer, div(peer, ours), "sooner",
          at_least(10, "×"), judged=RATIO, unit="µs")

    t.section("Slow consumer")
    t.row("Mount disconnected (1 = yes)", o.get("s_slow_consumer.consumer_sub_disconnected"),
          p.get("a4_pipe_hgetall.consumer_sub_disconnected"), aim=exactly(0))
    start, top = o.get("s_slow_consumer.writer_rss_kb_start"), o.get("s_slow_consumer.writer_rss_kb_max")
    growth = sub(top, start)
    shown = DASH if growth is None else f"{num(start)} → {num(top)} KiB (+{num(growth)})"
    t.row("Writer resident memory, start → max", shown, None,
          aim=at_most(SLOW_CONSUMER_GROWTH_KB, " KiB growth"), judged=growth)
    t.row("Time to converge after the writes stop", o.get("s_slow_consumer.converged_after_stop_s"), None, unit="s")
    t.row("Final state, fields differing from the writer's", o.get("s_slow_consumer.final_mismatch_vs_producer"),
          None, aim=exactly(0))

    t.section("Resync, 1024 ports × 42")
    ours, peer = o.get("d_resync.resync_total_ms"), p.get("d_resync.resync_total_ms")
    t.row("Time", ours, peer, div(peer, ours), "faster", at_least(10, "×"), judged=RATIO, unit="ms")
    ours = o.get("d_resync.resync_wire_bytes_per_field")
    peer = div(p.get("d_resync.resync_wire_bytes_server"), p.get("d_resync.resync_fields"))
    t.row("Bytes on the wire per field", ours, peer, div(peer, ours), "fewer", at_most(24))

    t.section("Memory, bytes per replicated field")
    ours, peer = o.get("e_memory.mem_bytes_per_field"), p.get("e_memory.mem_bytes_per_field")
    t.row("Writer", ours, peer, div(peer, ours), "less", at_most(24))
    t.row("Writer with one mount attached (entities, adapters, send buffer)", o.get("e_memory.mem_writer_replicated_bytes_per_field"), None)
    t.row("Mount (the peer's consumer keeps a plain map)", o.get("e_memory.mem_mount_bytes_per_field"), None)

    # Both sides measure the same machine: far from 1× means the runs differed.
    t.section("Limits of this machine, same session (ratio ours/peer, about 1× expected)")
    for what, key in (("memcpy, GiB/s", "ref.ref_memcpy_GiB_per_s"),
                      ("Unix socket, GiB/s", "ref.ref_unix_socket_GiB_per_s")):
        t.row(what, o.get(key), p.get(key), div(o.get(key), p.get(key)))

    t.section("Chassis scale (ours only)")
    t.row("Agent CPU at 1 Hz, %", o.get("f_chassis.agent_cpu_pct_1hz"), None, aim=at_most(5))
    t.row("Slowest mount to converge", o.get("f_chassis.converged_ms_max"), None, aim=at_most(100, " ms"), unit="ms")
    done, mounts = o.get("f_chassis.mounts_converged"), o.get("f_chassis.mounts")
    missing = done is None or mounts is None
    t.row("Mounts converged", DASH if missing else f"{num(done)} of {num(mounts)}", None,
          aim=lambda v: ("all", v), judged=None if missing else done == mounts)
    t.row("Fields differing from the agent, all mounts", o.get("f_chassis.mismatch_vs_agent_total"), None,
          aim=exactly(0))
    t.row("Agent resident memory", o.get("f_chassis.agent_rss_kb"), None, unit="KiB")
    t.row("Largest mount resident memory", o.get("f_chassis.mount_rss_kb_max"), None, unit="KiB")
    return t.lines


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: ratio.py OURS_SUMMARY PEER_SUMMARY\n")
        return 2
    ours_path, peer_path = argv[1], argv[2]
    try:
        o, p = read_summary(ours_path), read_summary(peer_path)
    except OSError as e:
        sys.stderr.write(f"ratio.py: {e}\n")
        return 2
    out = ["# Ours against the Redis peer", "",
           "Medians over the repetitions; ratios are of medians, taken so that above 1× is better for ours.", ""]
    out += build(o, p)
    out += ["", f"- ours: `{ours_path}`", f"- peer: `{peer_path}`"]
    load_o, load_p = o.get("env.loadavg1_at_start"), p.get("env.loadavg1_at_start")
    out.append(f"- load average at the start of a repetition: ours {num(load_o)}, peer {num(load_p)}")
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
