#!/usr/bin/env python3
"""A small gNMI client for phymount --gnmi: capabilities, get and subscribe,
one line an update. Stubs are generated from gnmi/gnmi.proto at start.
Needs Debian's python3-grpcio and python3-grpc-tools.

usage: gnmi_client.py HOST:PORT capabilities
       gnmi_client.py HOST:PORT get PATH...
       gnmi_client.py HOST:PORT subscribe [--once | --poll | --sample-ms MS] [--updates-only] PATH...
TLS: --ca FILE (the server's certificate) before the command.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

PROTO = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "gnmi", "gnmi.proto")


def load_stubs(scratch):
    subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{os.path.dirname(PROTO)}",
                    f"--python_out={scratch}", f"--grpc_python_out={scratch}", PROTO], check=True)
    sys.path.insert(0, scratch)
    import gnmi_pb2
    import gnmi_pb2_grpc
    return gnmi_pb2, gnmi_pb2_grpc


def to_path(pb, text):
    p = pb.Path()
    for name, keys in re.findall(r"([^/\[]+)((?:\[[^=\]]+=[^\]]*\])*)", text):
        e = p.elem.add(name=name)
        for k, v in re.findall(r"\[([^=\]]+)=([^\]]*)\]", keys):
            e.key[k] = v
    return p


def path_text(p):
    return "".join("/" + e.name + "".join(f"[{k}={v}]" for k, v in sorted(e.key.items())) for e in p.elem) or "/"


def value_text(v):
    kind = v.WhichOneof("value")
    val = getattr(v, kind) if kind else None
    return val.decode() if isinstance(val, bytes) else str(val)


def show(n):
    stamp = time.strftime("%H:%M:%S", time.localtime(n.timestamp / 1e9)) + f".{n.timestamp % 10**9 // 10**6:03d}"
    for u in n.update:
        print(stamp, path_text(u.path), value_text(u.val), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("target")
    ap.add_argument("--ca", help="connect over TLS, trusting this PEM certificate")
    sub = ap.add_subparsers(dest="command", required=True)
    sub.add_parser("capabilities")
    g = sub.add_parser("get")
    g.add_argument("paths", nargs="+")
    s = sub.add_parser("subscribe")
    mode = s.add_mutually_exclusive_group()
    mode.add_argument("--once", action="store_true")
    mode.add_argument("--poll", action="store_true", help="poll on each Enter")
    mode.add_argument("--sample-ms", type=int, help="SAMPLE at this interval instead of ON_CHANGE")
    s.add_argument("--updates-only", action="store_true")
    s.add_argument("paths", nargs="+")
    args = ap.parse_args()

    scratch = tempfile.mkdtemp(prefix="gnmi-client-")
    try:
        pb, pb_grpc = load_stubs(scratch)
        import grpc
        if args.ca:
            with open(args.ca, "rb") as f:
                channel = grpc.secure_channel(args.target, grpc.ssl_channel_credentials(f.read()))
        else:
            channel = grpc.insecure_channel(args.target)
        stub = pb_grpc.gNMIStub(channel)
        if args.command == "capabilities":
            print(stub.Capabilities(pb.CapabilityRequest()))
        elif args.command == "get":
            for n in stub.Get(pb.GetRequest(path=[to_path(pb, p) for p in args.paths],
                                            encoding=pb.JSON_IETF)).notification:
                show(n)
        else:
            subs = [pb.Subscription(path=to_path(pb, p), mode=pb.SAMPLE if args.sample_ms else pb.ON_CHANGE,
                                    sample_interval=(args.sample_ms or 0) * 1_000_000) for p in args.paths]
            list_mode = pb.SubscriptionList.ONCE if args.once else (
                pb.SubscriptionList.POLL if args.poll else pb.SubscriptionList.STREAM)
            first = pb.SubscribeRequest(subscribe=pb.SubscriptionList(
                subscription=subs, mode=list_mode, encoding=pb.JSON_IETF, updates_only=args.updates_only))

            def requests():
                yield first
                while args.poll and sys.stdin.readline():
                    yield pb.SubscribeRequest(poll=pb.Poll())
            for r in stub.Subscribe(requests()):
                if r.HasField("sync_response"):
                    print("-- sync_response", flush=True)
                else:
                    show(r.update)
    except grpc.RpcError as e:
        print(f"gnmi_client: {e.code().name}: {e.details()}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 0
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
