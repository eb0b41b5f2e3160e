#!/usr/bin/env python3
"""The mount's gNMI server under load, with real processes: a phyagent in a
link storm, a phymount --gnmi on it, and subscribers in processes of their
own (Debian's grpcio).

1. Updates a second to 1 and to 8 ON_CHANGE subscribers of every statistic,
   beside the records a second the mount applied (what there was to send).
2. At about 10,000 changes a second, the latency from the agent's poll to
   the subscriber's receipt (p50, p99), and in the same run the agent-to-mount
   part of it (the floor), from each update's mount timestamp.

The agent stamps a change with its poll's time since its first poll, and a
poll that starts late moves that clock against the wall's. So the offset is
taken afresh over each second of the run as the smallest agent-to-mount delay
seen in it: both latencies are relative to that (they leave out the fastest
record's own transit), and the mount-to-subscriber part is exact.

usage: gnmi_bench.py [PHYAGENT PHYMOUNT GNMI_PROTO]  (default: build/default)
"""

import json
import multiprocessing as mp
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def metric(metrics_port, name):
    text = urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/metrics", timeout=5).read().decode()
    m = re.search(rf"^{name} (\S+)", text, re.M)
    return int(float(m.group(1))) if m else 0


def applied(metrics_port):
    return metric(metrics_port, "bcm54980_mount_records_applied_total")


def subscriber(stubs_dir, port, seconds, latency, out):
    """Counts the updates after sync_response for `seconds`; with `latency`,
    keeps (agent time, mount ns, receipt ns) of each statistic update."""
    sys.path.insert(0, stubs_dir)
    import grpc
    import gnmi_pb2 as pb
    import gnmi_pb2_grpc as pb_grpc
    channel = grpc.insecure_channel(f"127.0.0.1:{port}")
    stub = pb_grpc.gNMIStub(channel)
    path = pb.Path(elem=[pb.PathElem(name="phy"), pb.PathElem(name="port", key={"name": "*"}),
                         pb.PathElem(name="stats")])
    req = pb.SubscribeRequest(subscribe=pb.SubscriptionList(
        subscription=[pb.Subscription(path=path, mode=pb.ON_CHANGE)], updates_only=True))
    call = stub.Subscribe(iter([req]))
    count, samples, end = 0, [], None
    for r in call:
        if r.HasField("sync_response"):
            end = time.monotonic() + seconds
            continue
        if end is None:
            continue
        now_ns = time.time_ns()
        if time.monotonic() >= end:
            break
        count += len(r.update.update)
        if latency:  # parsed after the run, not to slow the receipt
            for u in r.update.update:
                samples.append((u.val.json_ietf_val, r.update.timestamp, now_ns))
    call.cancel()
    timed = []
    for raw, m, now_ns in samples:
        v = json.loads(raw)
        t = v.get("last", v.get("lastChange"))
        if t:
            timed.append((t, m, now_ns))
    samples = timed
    out.put((count / seconds, samples))


def run(agent_program, mount_program, stubs_dir, scratch, chips, hz, subscribers, seconds, latency=False):
    sock = os.path.join(scratch, f"agent-{chips}-{hz}-{subscribers}.sock")
    agent = subprocess.Popen([agent_program, "--socket", sock, "--scenario", "storm", "--seed", "1",
                              "--chips", str(chips), "--poll-hz", str(hz), "--duration", "0"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    gnmi_port, metrics_port = free_port(), free_port()
    while not os.path.exists(sock):
        time.sleep(0.02)
    mount = subprocess.Popen([mount_program, "--socket", sock, "--gnmi", f"127.0.0.1:{gnmi_port}",
                              "--metrics", f"127.0.0.1:{metrics_port}"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.5)  # connected, synced, the storm under way
        out = mp.Queue()
        procs = [mp.Process(target=subscriber, args=(stubs_dir, gnmi_port, seconds, latency, out))
                 for _ in range(subscribers)]
        a0, t0 = applied(metrics_port), time.monotonic()
        for p in procs:
            p.start()
        results = [out.get(timeout=seconds + 30) for _ in procs]
        rate = (applied(metrics_port) - a0) / (time.monotonic() - t0)
        for p in procs:
            p.join()
        time.sleep(1.1)  # the page is rendered once a second
        coalesced = metric(metrics_port, "bcm54980_gnmi_coalesced_updates_total")
        return rate, results, coalesced
    finally:
        for p in (mount, agent):
            p.terminate()
            p.wait()


def pct(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def main():
    agent_program, mount_program, proto = (sys.argv[1:4] if len(sys.argv) == 4 else
                                           (os.path.join(ROOT, "build/default/tools/phyagent"),
                                            os.path.join(ROOT, "build/default/tools/phymount"),
                                            os.path.join(ROOT, "gnmi/gnmi.proto")))
    scratch = tempfile.mkdtemp(prefix="phy-gnmi-bench-")
    try:
        subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{os.path.dirname(proto)}",
                        f"--python_out={scratch}", f"--grpc_python_out={scratch}", proto], check=True)
        print("ON_CHANGE throughput, storm on 8 chips at 100 polls a second, every statistic subscribed:")
        for n in (1, 8):
            rate, results, coalesced = run(agent_program, mount_program, scratch, scratch, 8, 100, n, 4)
            per = [r for r, _ in results]
            print(f"  {n} subscriber(s): {sum(per):,.0f} updates/s in all, {min(per):,.0f}..{max(per):,.0f} each; "
                  f"the mount applied {rate:,.0f} records/s; {coalesced:,} updates coalesced")

        print("Latency, storm on 4 chips at 26 polls a second:")
        hz = 26
        rate, results, coalesced = run(agent_program, mount_program, scratch, scratch, 4, hz, 1, 5, latency=True)
        got, samples = results[0]
        # Agent time t (s since its first poll, stamped (k+1)/hz) -> wall ns,
        # offset by the fastest agent-to-mount delay seen in t's second.
        base = [m - (t - 1 / hz) * 1e9 for t, m, _ in samples]
        fastest = {}
        for (t, _, _), b in zip(samples, base):
            fastest[int(t)] = min(fastest.get(int(t), b), b)
        floor = [(b - fastest[int(t)]) / 1e6 for (t, _, _), b in zip(samples, base)]
        total = [f + (r - m) / 1e6 for f, (_, m, r) in zip(floor, samples)]
        added = [(r - m) / 1e6 for _, m, r in samples]
        print(f"  the mount applied {rate:,.0f} records/s; the subscriber got {got:,.0f} statistic updates/s "
              f"({len(samples)} timed, {coalesced:,} coalesced)")
        print(f"  agent -> subscriber  p50 {pct(total, .5):7.2f} ms  p99 {pct(total, .99):7.2f} ms")
        print(f"  agent -> mount       p50 {pct(floor, .5):7.2f} ms  p99 {pct(floor, .99):7.2f} ms  (the floor)")
        print(f"  mount -> subscriber  p50 {pct(added, .5):7.2f} ms  p99 {pct(added, .99):7.2f} ms  (gNMI's part)")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    mp.set_start_method("fork")
    main()
