#!/usr/bin/env python3
"""A gRPC client (Debian's grpcio, stubs generated now from our gnmi.proto)
against a real phymount --gnmi mounted on a real phyagent in a link storm:
Get answers the agent's dump, ON_CHANGE hears every link transition with its
count, SAMPLE samples at 100 ms, a slow subscriber is coalesced and not cut
off, and bad requests get a status while the mount serves on.

Usage: gnmi_mount_test.py PHYAGENT PHYMOUNT GNMI_PROTO
"""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

DEADLINE_SECONDS = 45
STORM_SECONDS = 3
LINE = re.compile(r"^(chip\d+/port\d+) (\w+) .*\{(.*)\}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stubs(proto, scratch):
    subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{os.path.dirname(proto)}",
                    f"--python_out={scratch}", f"--grpc_python_out={scratch}", proto], check=True)
    sys.path.insert(0, scratch)
    import gnmi_pb2  # noqa: E402
    import gnmi_pb2_grpc  # noqa: E402
    return gnmi_pb2, gnmi_pb2_grpc


def read_dump(path):
    """{(port, statistic): {field: value}} from the agent's dump."""
    out = {}
    with open(path) as f:
        for line in f:
            m = LINE.match(line)
            if m:
                fields = dict(re.findall(r"'(\w+)': ([^,]+)", m.group(3)))
                out[(m.group(1), m.group(2))] = fields
    return out


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, ok, what):
        if not ok:
            self.failures.append(what)
            print("FAIL:", what, file=sys.stderr, flush=True)


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    agent_program, mount_program, proto = sys.argv[1:]
    scratch = tempfile.mkdtemp(prefix="phy-gnmi-")
    agent = mount = None
    checks = Checks()
    try:
        import grpc
        pb, pb_grpc = stubs(proto, scratch)
        deadline = time.monotonic() + DEADLINE_SECONDS
        sock, dump = os.path.join(scratch, "agent.sock"), os.path.join(scratch, "dump.txt")
        # Every port's link changes on every poll, with bursts of errors.
        agent = subprocess.Popen([agent_program, "--socket", sock, "--scenario", "storm", "--seed", "3",
                                  "--chips", "4", "--poll-hz", "100", "--duration", str(STORM_SECONDS),
                                  "--linger", str(DEADLINE_SECONDS), "--dump", dump],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        gnmi_port, metrics_port = free_port(), free_port()
        while not os.path.exists(sock) and time.monotonic() < deadline:
            time.sleep(0.02)
        mount = subprocess.Popen([mount_program, "--socket", sock, "--gnmi", f"127.0.0.1:{gnmi_port}",
                                  "--metrics", f"127.0.0.1:{metrics_port}", "--duration", str(DEADLINE_SECONDS)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        channel = grpc.insecure_channel(f"127.0.0.1:{gnmi_port}")
        grpc.channel_ready_future(channel).result(timeout=10)
        stub = pb_grpc.gNMIStub(channel)

        def path(text):
            p = pb.Path()
            for part in re.findall(r"([^/\[]+)((?:\[[^=\]]+=[^\]]*\])*)", text):
                e = p.elem.add(name=part[0])
                for k, v in re.findall(r"\[([^=\]]+)=([^\]]*)\]", part[1]):
                    e.key[k] = v
            return p

        def sub_request(paths, mode=0, list_mode=0, interval=0, **kw):
            subs = [pb.Subscription(path=path(p), mode=mode, sample_interval=interval) for p in paths]
            return pb.SubscribeRequest(subscribe=pb.SubscriptionList(subscription=subs, mode=list_mode,
                                                                      encoding=pb.JSON_IETF, **kw))

        caps = stub.Capabilities(pb.CapabilityRequest(), timeout=5)
        models = {m.name for m in caps.supported_models}
        checks.expect({"openconfig-interfaces", "phy-bcm54980"} <= models, f"capabilities name {models}")

        # ON_CHANGE on one port's link: each transition, counted, in order.
        flaps = []
        fast_sync = threading.Event()

        def on_change():
            req = sub_request(["/phy/port[name=chip0/port0]/stats/linkState"], mode=pb.ON_CHANGE)
            try:
                for r in stub.Subscribe(iter([req]), timeout=DEADLINE_SECONDS):
                    if r.HasField("sync_response"):
                        fast_sync.set()
                    elif fast_sync.is_set():
                        for u in r.update.update:
                            flaps.append(json.loads(u.val.json_ietf_val)["changes"])
            except grpc.RpcError:
                pass  # the channel closes at the end
        threading.Thread(target=on_change, daemon=True).start()

        # A slow subscriber to everything: one message a second while the storm lasts.
        slow = {"seen": {}, "reads": 0, "error": None}
        slow_drain = threading.Event()

        def slow_reader():
            req = sub_request(["/phy/port[name=*]/stats"], mode=pb.ON_CHANGE)
            try:
                for r in stub.Subscribe(iter([req]), timeout=DEADLINE_SECONDS):
                    slow["reads"] += 1
                    for u in r.update.update:
                        port = u.path.elem[1].key["name"]
                        slow["seen"][(port, u.path.elem[-1].name)] = json.loads(u.val.json_ietf_val)
                    if not slow_drain.is_set():
                        time.sleep(1)
            except grpc.RpcError as e:
                slow["error"] = e
        threading.Thread(target=slow_reader, daemon=True).start()

        # SAMPLE at 100 ms for a second.
        samples = []
        req = sub_request(["/interfaces/interface[name=chip1/port2]/state/counters/in-crc-errors"],
                          mode=pb.SAMPLE, interval=100_000_000)
        call = stub.Subscribe(iter([req]), timeout=DEADLINE_SECONDS)
        synced_at = None
        for r in call:
            if r.HasField("sync_response"):
                synced_at = time.monotonic()
            elif synced_at is not None:
                samples.append(r.update.timestamp)
                if time.monotonic() - synced_at >= 1.0:
                    break
        call.cancel()
        gaps = [(b - a) / 1e6 for a, b in zip(samples, samples[1:])]
        # A loaded machine may be late to a sample, never early.
        checks.expect(5 <= len(samples) <= 11, f"SAMPLE at 100 ms gave {len(samples)} samples in a second")
        checks.expect(gaps and 80 <= sum(gaps) / len(gaps) <= 200, f"SAMPLE gaps {gaps}")

        # Bad requests: each refused with its status; the mount serves on.
        def refused(call, code, words, what):
            try:
                call()
                checks.expect(False, f"{what}: accepted")
            except grpc.RpcError as e:
                checks.expect(e.code() == code and words in e.details(),
                              f"{what}: {e.code()} {e.details()!r}, expected {code} with {words!r}")

        SC = grpc.StatusCode
        refused(lambda: stub.Get(pb.GetRequest(path=[path("/interfaces/interface[name=chip0/port0]/state/nonesuch")]),
                                 timeout=5), SC.NOT_FOUND, "unknown path", "Get of an unknown leaf")
        refused(lambda: stub.Get(pb.GetRequest(path=[path("/interfaces/interface[name=chip9/port9]/state/oper-status")]),
                                 timeout=5), SC.NOT_FOUND, "no data at", "Get of a port that is not there")
        bad = pb.Path()
        bad.elem.add(name="interfaces")
        bad.elem.add(name="")
        refused(lambda: stub.Get(pb.GetRequest(path=[bad]), timeout=5), SC.INVALID_ARGUMENT, "malformed path",
                "Get of an element without a name")
        refused(lambda: stub.Get(pb.GetRequest(path=[path("/interfaces")], encoding=pb.ASCII), timeout=5),
                SC.UNIMPLEMENTED, "encoding ASCII", "Get in ASCII")
        refused(lambda: list(stub.Subscribe(iter([sub_request(["/phy/nonesuch"])]), timeout=5)), SC.NOT_FOUND,
                "unknown path", "Subscribe to an unknown path")
        refused(lambda: list(stub.Subscribe(iter([sub_request(["/phy"], mode=7)]), timeout=5)), SC.UNIMPLEMENTED,
                "unsupported subscription mode", "Subscribe in mode 7")
        refused(lambda: stub.Set(pb.SetRequest(), timeout=5), SC.PERMISSION_DENIED, "read-only", "Set")

        # ONCE: the whole tree once, then sync_response, then the end.
        once = list(stub.Subscribe(iter([sub_request(["/interfaces/interface[name=*]/state/oper-status"],
                                                     list_mode=1)]), timeout=10))
        checks.expect(len(once) == 2 and len(once[0].update.update) == 32 and once[1].sync_response,
                      f"ONCE gave {[len(r.update.update) for r in once]}")

        # ONCE with updates_only: nothing but the sync_response.
        only = list(stub.Subscribe(iter([sub_request(["/phy"], list_mode=1, updates_only=True)]), timeout=10))
        checks.expect(len(only) == 1 and only[0].sync_response, f"ONCE updates_only gave {only}")

        # POLL: a snapshot and a sync_response on subscribing and on each poll.
        import queue
        polls = queue.Queue()
        polls.put(sub_request(["/interfaces/interface[name=chip2/port1]/state/oper-status"], list_mode=2))

        def poll_requests():
            while (req := polls.get()) is not None:
                yield req
        call = stub.Subscribe(poll_requests(), timeout=10)
        answers = []
        for _ in range(3):
            answers.append([len(next(call).update.update), next(call).sync_response])
            polls.put(pb.SubscribeRequest(poll=pb.Poll()))
        polls.put(None)
        call.cancel()
        checks.expect(answers == [[1, True]] * 3, f"POLL gave {answers}")

        # A wildcard over many levels.
        r = stub.Get(pb.GetRequest(path=[path("/.../counters/in-crc-errors")]), timeout=5)
        checks.expect(len(r.notification[0].update) == 32, f"Get /.../in-crc-errors: {len(r.notification[0].update)}")

        while not os.path.exists(dump) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.1)
        want = read_dump(dump)
        checks.expect(len(want) > 0, "the agent's dump is empty")

        # Get of the port with the most CRC errors answers the dump.
        port = max((k[0] for k in want if k[1] == "crcErrors"), key=lambda p: int(want[(p, "crcErrors")]["count"]))
        crc = int(want[(port, "crcErrors")]["count"])
        checks.expect(crc > 0, "the storm counted no CRC errors")
        got = None
        while time.monotonic() < deadline:
            r = stub.Get(pb.GetRequest(path=[path(f"/interfaces/interface[name={port}]/state/counters/in-crc-errors")],
                                       encoding=pb.JSON_IETF), timeout=5)
            got = r.notification[0].update[0].val.uint_val
            if got == crc:
                break
            time.sleep(0.1)
        checks.expect(got == crc, f"Get {port} in-crc-errors = {got}, the dump says {crc}")

        # Once the storm is over, OpenConfig's link state agrees with the model's.
        r = stub.Get(pb.GetRequest(path=[path("/interfaces/interface[name=chip3/port7]"),
                                         path("/phy/port[name=chip3/port7]/status")]), timeout=5)
        oc = {u.path.elem[-1].name: u.val for u in r.notification[0].update}
        own = {u.path.elem[-1].name: u.val for u in r.notification[1].update}
        checks.expect(set(oc) == {"oper-status", "negotiated-port-speed", "negotiated-duplex-mode", "in-crc-errors",
                                  "in-errors", "out-errors", "carrier-transitions"}, f"OpenConfig leaves {set(oc)}")
        checks.expect({"linkUp", "speed", "fullDuplex", "linkDownCount"} <= set(own), f"status leaves {set(own)}")
        if "linkUp" in own and "oper-status" in oc:
            checks.expect((oc["oper-status"].string_val == "UP") == own["linkUp"].bool_val,
                          f"oper-status {oc['oper-status']} beside linkUp {own['linkUp']}")
            checks.expect((oc["negotiated-duplex-mode"].string_val == "FULL") == own["fullDuplex"].bool_val,
                          f"duplex {oc['negotiated-duplex-mode']} beside fullDuplex {own['fullDuplex']}")

        # ON_CHANGE heard each transition: consecutive counts up to the dump's.
        link = int(want[("chip0/port0", "linkState")]["changes"])
        while (not flaps or flaps[-1] != link) and time.monotonic() < deadline:
            time.sleep(0.05)
        checks.expect(fast_sync.is_set(), "the ON_CHANGE subscription had no sync_response")
        checks.expect(len(flaps) > 50 and flaps[-1] == link, f"ON_CHANGE ended at {flaps[-1:]}, the dump says {link}")
        # Statistics coalesce at the agent behind a backlog: on a loaded machine
        # a mount that falls a poll behind sees two transitions as one change,
        # so a rare step of two is the mount's view, not the subscription's.
        # A subscription that sampled instead of following would skip often.
        steps = [b - a for a, b in zip(flaps, flaps[1:])]
        checks.expect(all(s >= 1 for s in steps), f"ON_CHANGE went back or repeated: steps {sorted(set(steps))}")
        checks.expect(steps.count(1) >= 0.9 * len(steps),
                      f"ON_CHANGE skipped transitions: {len(steps) - steps.count(1)} of {len(steps)} steps over one")

        # The slow subscriber was coalesced, never cut off, and converges.
        text = ""
        for _ in range(30):
            text = urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/metrics", timeout=5).read().decode()
            m = re.search(r"^bcm54980_gnmi_coalesced_updates_total (\d+)", text, re.M)
            if m and int(m.group(1)) > 0:
                break
            time.sleep(0.2)
        checks.expect(m and int(m.group(1)) > 0, "the metrics page shows no coalesced updates")
        checks.expect("bcm54980_gnmi_subscriber_lag_seconds{" in text, "the metrics page shows no subscriber lag")
        slow_drain.set()
        expected = {k: int(v["count"]) for k, v in want.items() if k[1] == "crcErrors"}

        def converged():
            return all(slow["seen"].get(k, {}).get("count") == v for k, v in expected.items())
        while not converged() and slow["error"] is None and time.monotonic() < deadline:
            time.sleep(0.05)
        checks.expect(slow["error"] is None, f"the slow subscriber was cut off: {slow['error']}")
        checks.expect(converged(), "the slow subscriber did not converge on the agent's counts")

        # After all of it the mount still answers.
        checks.expect(mount.poll() is None, "phymount exited")
        stub.Capabilities(pb.CapabilityRequest(), timeout=5)
        channel.close()

        # Not on loopback without --allow-remote.
        r = subprocess.run([mount_program, "--socket", sock, "--gnmi", f"0.0.0.0:{free_port()}"],
                           capture_output=True, text=True, timeout=10)
        checks.expect(r.returncode == 2 and "not loopback" in r.stderr, f"--gnmi on 0.0.0.0: {r.returncode} {r.stderr!r}")

        # TLS with the certificate and key given: a client that trusts it
        # talks, one without TLS does not.
        cert, key = os.path.join(scratch, "cert.pem"), os.path.join(scratch, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "1", "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True)
        tls_port = free_port()
        tls_mount = subprocess.Popen([mount_program, "--socket", sock, "--gnmi", f"127.0.0.1:{tls_port}",
                                      "--gnmi-tls-cert", cert, "--gnmi-tls-key", key, "--duration", "20"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            with open(cert, "rb") as f:
                secure = grpc.secure_channel(f"127.0.0.1:{tls_port}", grpc.ssl_channel_credentials(f.read()))
            grpc.channel_ready_future(secure).result(timeout=10)
            caps = pb_grpc.gNMIStub(secure).Capabilities(pb.CapabilityRequest(), timeout=5)
            checks.expect(len(caps.supported_models) == 2, "Capabilities over TLS")
            plain = pb_grpc.gNMIStub(grpc.insecure_channel(f"127.0.0.1:{tls_port}"))
            refused(lambda: plain.Capabilities(pb.CapabilityRequest(), timeout=3), SC.UNAVAILABLE, "",
                    "a client without TLS")
        finally:
            tls_mount.terminate()
            tls_mount.wait(5)
    except Exception as e:  # noqa: BLE001 - any failure is the test's
        checks.expect(False, f"{type(e).__name__}: {e}")
    finally:
        for p in (mount, agent):
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(scratch, ignore_errors=True)
    if checks.failures:
        return 1
    print("ok: Get, ON_CHANGE, SAMPLE, ONCE, a slow subscriber, refusals, loopback and TLS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
