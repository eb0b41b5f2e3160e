#!/usr/bin/env python3
"""Hostile peers over real sockets against the real phyagent and phymount.
Each attack checks the state served and checked is still the agent's, memory
stays bounded, the logs say what happened and the exit statuses.

usage: hostile_peer_test.py PHYAGENT PHYMOUNT
"""
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.request

AGENT, MOUNT = sys.argv[1], sys.argv[2]
WANT48 = "48 ports, 2016 statistics, 0 differences"
MB = 1024  # /proc reports kB
PROCS = []


class Fault(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Fault(what)


def wait_for(pred, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.05)
    return pred()


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def start(program, args, log, out=None):
    """Starts a program with stderr (and stdout unless to the file `out`) to the file `log`."""
    with open(log, "w") as f, open(out or os.devnull, "w") as o:
        p = subprocess.Popen([program, *args], stdout=o if out else f, stderr=f)
    p.log = log
    PROCS.append(p)
    return p


def ended(p, timeout):
    """The exit status, or None when it did not end in time (it is killed)."""
    try:
        return p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.hung_in = read("/proc/%d/wchan" % p.pid) or "?"
        p.kill()
        p.wait()
        return None


def stop(p, who="the agent"):
    """SIGTERM: it must end cleanly within 10 s."""
    p.send_signal(signal.SIGTERM)
    rc = ended(p, 10)
    expect(rc == 0, "%s ended with %s (waiting in %s):\n%s" % (who, rc, getattr(p, "hung_in", "-"),
                                                               read(p.log)[-1500:]))


class PeakMemory(threading.Thread):
    """Follows a process's VmHWM until it ends: the last figure read is its peak."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.hwm_kb, self.done = pid, 0, threading.Event()
        self.start()

    def run(self):
        while not self.done.is_set():
            try:
                self.hwm_kb = max(self.hwm_kb, memory_kb(self.pid)[1])
            except (FileNotFoundError, ProcessLookupError, KeyError):
                return
            time.sleep(0.02)

    def stop(self):
        self.done.set()
        self.join(timeout=2)
        expect(self.hwm_kb < 100 * MB, "the mount's peak RSS is %.1f MB" % (self.hwm_kb / MB))
        return "mount peak RSS %.1f MB" % (self.hwm_kb / MB)


def agent(tmp, seed, duration=None, chips=(), log="agent.log"):
    """A noisy agent on tmp/a.sock, listening; given a duration it dumps its
    state to tmp/a.dump and serves on for 20 s."""
    sock, dump = os.path.join(tmp, "a.sock"), os.path.join(tmp, "a.dump")
    args = ["--socket", sock, "--scenario", "noisy", "--seed", str(seed), "--poll-hz", "20", *chips]
    if duration:
        args += ["--duration", str(duration), "--linger", "20", "--dump", dump]
    p = start(AGENT, args, os.path.join(tmp, log))
    expect(wait_for(lambda: os.path.exists(sock), 10), "the agent never listened")
    return p, sock, dump


def memory_kb(pid):
    """VmRSS and VmHWM of a live process, in kB."""
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.partition(":")[::2] for line in f)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def check(sock, dump, timeout=10, want=WANT48, what="a fresh check"):
    """A fresh mount's check of the agent against its dump."""
    expect(wait_for(lambda: os.path.exists(dump), 10), "no dump")
    r = subprocess.run([MOUNT, "--socket", sock, "--check", dump, "--timeout", str(timeout)], capture_output=True,
                       text=True, timeout=timeout + 10)
    out = r.stdout.strip()
    expect((r.returncode, out) == (0, want), "%s: rc %d, %r %s" % (what, r.returncode, out, r.stderr[-500:]))
    return out


def listener(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(path)
    s.listen(4)
    s.settimeout(10)
    return s


# ---- the wire, as a peer writes it ----

ORPHAN_EID, ORPHAN_ATTR, SYNC_MODE_ATTR = 1, 136, 135


def leb128(v):
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def frame(kind, eid, attr, payload, flags=0):
    body = leb128(eid) + leb128((attr << 1) ^ (attr >> 31) & 0xFFFFFFFF) + payload
    return bytes([kind << 4 | flags]) + struct.pack(">H", len(body)) + body


def record(eid, attr, payload):
    return frame(0xA, eid, attr, payload)


def text(b):
    return struct.pack(">I", len(b)) + b


def announcement(type_name, name, eid):
    """An orphan announcement of an entity whose constructor takes only its name."""
    return record(ORPHAN_EID, ORPHAN_ATTR,
                  b"\x01\x01" + text(type_name) + b"\x03" + text(name) + b"\x04" + struct.pack(">Q", eid))


def frames(data):
    """(entity id, attribute id, payload) of each whole frame of a stream."""
    def varint(b, p):
        v = shift = 0
        while b[p] & 0x80:
            v, p, shift = v | (b[p] & 0x7F) << shift, p + 1, shift + 7
        return v | b[p] << shift, p + 1

    out, at, eid, attr = [], 0, 0, 0
    while at + 3 <= len(data):
        tag, n = data[at], data[at + 1] << 8 | data[at + 2]
        body = data[at + 3:at + 3 + n]
        if len(body) < n:
            break
        p = 0
        if not tag & 0x1:
            eid, p = varint(body, p)
        if tag & 0x2:
            attr += 1
        elif not tag & 0x4:
            z, p = varint(body, p)
            attr = (z >> 1) ^ -(z & 1)
        if tag & 0x8:
            p = varint(body, varint(body, p + 1)[1])[1] + 1
        out.append((eid, attr, body[p:]))
        at += 3 + n
    return out


class Capture:
    """What a real agent (one chip) sends a mount: the layouts the forgeries copy."""

    def __init__(self, tmp):
        sock = os.path.join(tmp, "capture.sock")
        agent = start(AGENT, ["--socket", sock, "--chips", "1"], os.path.join(tmp, "capture.log"))
        expect(wait_for(lambda: os.path.exists(sock), 10), "the capture agent never listened")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(sock)
        s.settimeout(0.3)
        data, end = b"", time.monotonic() + 5
        self.status_eid, parsed, chunk = None, [], None
        while time.monotonic() < end and chunk != b"":
            try:
                chunk = s.recv(1 << 16)
            except socket.timeout:
                continue
            data += chunk
            parsed = frames(data)
            for eid, attr, payload in parsed:
                if eid == ORPHAN_EID and attr == ORPHAN_ATTR and b"StatusDir" in payload[:80]:
                    self.status_dir, self.status_eid = payload, struct.unpack(">Q", payload[-8:])[0]
            # Its first synchronisation ends with the directories told complete.
            if self.status_eid and (self.status_eid, SYNC_MODE_ATTR) in [(e, a) for e, a, _ in parsed]:
                break
        s.close()
        agent.send_signal(signal.SIGTERM)
        ended(agent, 10)
        expect(self.status_eid, "no status directory announced and synchronised in the capture")
        # The forged orphans copy a real one byte for byte.
        self.mdio_type = b"Hardware::Mdio::Device"
        mdio = [p for e, a, p in parsed if e == ORPHAN_EID and a == ORPHAN_ATTR and self.mdio_type in p]
        expect(mdio, "no Hardware::Mdio::Device announced in the capture")
        at = 7 + len(self.mdio_type)
        name = mdio[0][at + 4:at + 4 + struct.unpack(">I", mdio[0][at:at + 4])[0]]
        expect(announcement(self.mdio_type, name, struct.unpack(">Q", mdio[0][-8:])[0])[6:] == mdio[0],
               "a forged announcement differs from the agent's: %s" % mdio[0].hex())

    def status_dir_named(self, name):
        """The status directory's announcement with another name, then told complete."""
        p, at = self.status_dir, 2
        for _ in range(p[1]):
            at += 4 + struct.unpack(">I", p[at:at + 4])[0]
        expect(p[at] == 3, "no constructor section in the status directory's announcement")
        payload = p[:at + 1] + text(name) + p[at + 5 + struct.unpack(">I", p[at + 1:at + 5])[0]:]
        return record(ORPHAN_EID, ORPHAN_ATTR, payload) + record(self.status_eid, SYNC_MODE_ATTR, struct.pack(">I", 1))

    def forged_devices(self, first_eid, count):
        return b"".join(announcement(self.mdio_type, b"forged%d" % e, e)
                        for e in range(first_eid, first_eid + 2 * count, 2))


# ---- the attacks ----

def refused_client(tmp, seed, payload, first_refusal):
    """A client sends the agent what a mount may not: the agent refuses it,
    cuts it off after 64 refusals and serves on unchanged, in bounded memory."""
    a, sock, dump = agent(tmp, seed, duration=2)
    time.sleep(0.2)
    rss_before = memory_kb(a.pid)[0]
    c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    c.connect(sock)
    c.settimeout(10)
    sent, cut, end = 0, False, time.monotonic() + 10
    try:
        while sent < len(payload) and time.monotonic() < end:
            sent += c.send(payload[sent:sent + (1 << 16)])
        while not cut and time.monotonic() < end:
            cut = not c.recv(1 << 16)
    except (BrokenPipeError, ConnectionResetError):
        cut = True
    except socket.timeout:
        pass
    c.close()
    expect(cut, "the agent did not cut the client within 10 s (%d of %d bytes taken)" % (sent, len(payload)))
    if len(payload) > 1 << 20:
        expect(sent < len(payload), "the agent took every byte of a %d-byte flood" % len(payload))
    expect(wait_for(lambda: "gone" in read(a.log), 5), "the agent never said the client was gone")
    growth, log = memory_kb(a.pid)[1] - rss_before, read(a.log)
    expect("mount 1 refused: frame at offset 0: " + first_refusal in log, "the first refusal is not logged:\n" + log)
    expect(re.search(r"mount 1 gone: cut off after 64 frames refused; \d+ changes deferred to dirty bits; "
                     r"64 frames it sent refused", log), "the client was not cut off after 64 refusals:\n" + log)
    out = check(sock, dump, what="a fresh mount after the client")
    expect(growth < 20 * MB, "agent peak RSS grew %d kB" % growth)
    stop(a)
    return "cut after %d of %d bytes; agent peak RSS %+.1f MB; %s" % (sent, len(payload), growth / MB, out)


def write_backs(tmp, cap):
    """A client writes transactions back on the agent's collections."""
    writes = b"".join(frame(0xB, e, 258, struct.pack(">BI", kind, 1)) for e in range(3, 100, 2) for kind in (0, 2))
    return refused_client(tmp, 3, writes, "write-update from readonly proxy: ")


def announcement_flood(tmp, cap):
    """A client floods the agent with orphan announcements."""
    return refused_client(tmp, 4, cap.forged_devices(1001, 200000),
                          "write-update from readonly proxy: an announcement")


def entity_flood_at_mount(tmp, cap):
    """A fake agent announces entities to a mount without end."""
    sock, log = os.path.join(tmp, "fake.sock"), os.path.join(tmp, "mount.log")
    fake, stopping, stalled, counts = listener(sock), threading.Event(), [], {"accepted": 0, "sent": 0}
    fake.settimeout(0.1)

    def serve():
        while not stopping.is_set():
            try:
                conn, _ = fake.accept()
            except socket.timeout:
                continue
            counts["accepted"] += 1
            with conn:
                conn.settimeout(5)
                try:
                    for eid in range(3, 1 << 40, 2000):
                        if stopping.is_set():
                            break
                        conn.sendall(cap.forged_devices(eid, 1000))
                        counts["sent"] += 1000
                except socket.timeout:
                    stalled.append(eid)
                except OSError:
                    pass

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    mount = start(MOUNT, ["--socket", sock, "--max-entities", "5000", "--duration", "6"], log)
    peak = PeakMemory(mount.pid)
    rc = ended(mount, 20)
    stopping.set()
    server.join(timeout=10)
    fake.close()
    notes = read(log)
    cuts = notes.count("connection lost: the other end announced more than 5000 entities, the limit")
    expect(rc == 0, "the mount ended with %s:\n%s" % (rc, notes[-1500:]))
    expect(cuts >= 2 and notes.count("connected to") >= 2 and counts["accepted"] >= 2,
           "the mount was not cut and reconnected (%d cuts, %d connections):\n%s" % (cuts, counts["accepted"],
                                                                                    notes[-1500:]))
    expect(not stalled, "the mount stopped reading without cutting the connection")
    return "%(accepted)d connections, %(sent)d announcements sent; " % counts + "%d cut at the limit; %s" % (
        cuts, peak.stop())


def forged_status_directory(tmp, cap):
    """Fake agents serve forged status directories first, then the real agent."""
    sock, dump, mlog = os.path.join(tmp, "a.sock"), os.path.join(tmp, "a.dump"), os.path.join(tmp, "mount.log")
    fake = listener(sock)
    out = os.path.join(tmp, "mount.out")
    mount = start(MOUNT, ["--socket", sock, "--check", dump, "--timeout", "25"], mlog, out=out)
    peak, taken = PeakMemory(mount.pid), []
    for n, name in enumerate([b"statusesX", b"s" * 16000], 1):
        conn, _ = fake.accept()
        conn.sendall(cap.status_dir_named(name))
        # The mount takes the forged directory as a whole synchronisation, or refuses it.
        wait_for(lambda: read(mlog).count("synced:") >= n or "refused:" in read(mlog), 5)
        taken.append("synced" if read(mlog).count("synced:") >= n else "refused")
        conn.close()
    fake.close()
    os.unlink(sock)
    a, _, _ = agent(tmp, 6, duration=1)
    rc, result, notes = ended(mount, 30), read(out).strip(), read(mlog)
    expect(taken[0] == "synced", "the mount did not take the first forged directory:\n" + notes)
    expect((rc, result) == (0, WANT48), "the check after forged directories: rc %s, %r\n%s" % (rc, result,
                                                                                               notes[-1500:]))
    expect(notes.count("connected to") >= 3, "the mount did not connect three times:\n" + notes)
    stop(a)
    expect("refused" not in read(a.log), "the agent refused frames of the mount:\n" + read(a.log))
    return "'statusesX' %s, 16000-character name %s, then the real agent: %s; %s" % (
        taken[0], taken[1], result, peak.stop())


def fewer_chips(tmp, cap):
    """A live mount moves from an agent of six chips to one of two."""
    live_log, check_log = os.path.join(tmp, "live.log"), os.path.join(tmp, "check.log")
    a, sock, dump = agent(tmp, 8, chips=("--chips", "6"), log="a.log")
    live = start(MOUNT, ["--socket", sock, "--duration", "30"], live_log)
    peak = PeakMemory(live.pid)
    out = os.path.join(tmp, "check.out")
    checking = start(MOUNT, ["--socket", sock, "--check", dump, "--timeout", "25"], check_log, out=out)
    expect(wait_for(lambda: re.search(r"^\[\s*[\d.]+\] synced .* 48 ports, ", read(live_log), re.M), 10),
           "the live mount never showed A's 48 ports:\n" + read(live_log))
    stop(a, "agent A")
    b, _, _ = agent(tmp, 9, duration=1, chips=("--chips", "2"), log="b.log")

    def after_b():  # a status line of 16 ports after the second synchronisation
        lines = read(live_log).splitlines()
        synced = [i for i, l in enumerate(lines) if "synced:" in l]
        return len(synced) >= 2 and any(re.match(r"\[[^]]*\] synced .* 16 ports, ", l) for l in lines[synced[1]:])

    converged = wait_for(after_b, 10)
    rc, result = ended(checking, 30), read(out).strip()
    want = "16 ports, 672 statistics, 0 differences"
    fresh = check(sock, dump, want=want, what="a fresh check of B")
    stop(live, "the live mount")
    expect(converged, "the live mount never showed B's 16 ports alone:\n" + read(live_log)[-1500:])
    expect((rc, result) == (0, want), "the check started on A, against B: rc %s, %r\n%s" % (rc, result,
                                                                                           read(check_log)[-1500:]))
    stop(b, "agent B")
    for p in (a, b):
        expect("refused" not in read(p.log), "an agent refused a mount's frames:\n" + read(p.log))
    return "live mount shows 16 ports after B; started-on-A check: %s; fresh: %s; %s" % (result, fresh, peak.stop())


def garbage_and_metrics(tmp, cap):
    """A fake agent sends malformed frames, then lost framing; the mount reconnects."""
    sock, log = os.path.join(tmp, "fake.sock"), os.path.join(tmp, "mount.log")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    fake = listener(sock)
    mount = start(MOUNT, ["--socket", sock, "--metrics", "127.0.0.1:%d" % port, "--duration", "30"], log)
    peak = PeakMemory(mount.pid)
    if wait_for(lambda: mount.poll() is not None, 0.3) and "without cpp-httplib" in read(log):
        raise Fault("phymount was built without --metrics; install libcpp-httplib-dev")
    scrapes = []

    def scraped(pred, timeout=5):
        def scrape():
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=2) as r:
                    page = r.read().decode()
            except OSError:
                return False
            got = {k: int(float(v)) for k, v in re.findall(
                r"^bcm54980_mount_(records_refused_total|records_applied_total|connected) (\S+)$", page, re.M)}
            if len(got) == 3:
                scrapes.append(got)
            return len(got) == 3 and pred(got)
        return wait_for(scrape, timeout)

    conn, _ = fake.accept()
    first = b"".join([
        bytes([0xA1, 0, 1, 0]),                   # refers to a header before the first
        record(77, 6, b"\x00"),                   # an entity this connection never announced
        frame(0xA, 5, 6, b"", flags=0x6),         # both same and next attribute
        announcement(cap.mdio_type, b"mine", 3),  # applied
        record(3, 6, b"\x01"),                    # made nondestructing from afar
    ])
    conn.sendall(first)
    expect(scraped(lambda g: g["records_refused_total"] >= 4 and g["connected"] == 1),
           "the page never counted the first 4 refusals: %s" % scrapes[-1:])
    conn.sendall(b"\xff\xff\xff\xff")
    conn.settimeout(5)
    try:
        closed = conn.recv(1) == b""
    except ConnectionResetError:
        closed = True
    expect(closed, "the mount did not close after lost framing")
    conn.close()
    scraped(lambda g: True, 0)
    conn, _ = fake.accept()
    burst = 20
    conn.sendall(b"".join(record(91 + 2 * i, 6, b"\x00") for i in range(burst)))
    # A last one after the rate limit's second: the count of the untold comes with it.
    time.sleep(1.2)
    conn.sendall(record(99, 6, b"\x00"))
    total = 4 + 1 + burst + 1
    expect(scraped(lambda g: g["records_refused_total"] >= total and g["connected"] == 1),
           "the page never counted %d refusals: %s" % (total, scrapes[-1:]))
    notes = read(log)
    conn.close()
    fake.close()
    stop(mount, "the mount")
    refused = re.findall(r"^\[\s*[\d.]+\] refused: frame at offset (\d+)", notes, re.M)
    expect(refused[:1] == ["0"] and "refused: frame at offset 0: refers to a header before the first" in notes,
           "no refusal at offset 0 told:\n" + notes)
    for told in ("refused: unknown frame tag 0xff at offset %d" % len(first),
                 "connection lost: unknown frame tag 0xff at offset %d" % len(first), "isNondestructing"):
        expect(told in notes, "%r is not told:\n%s" % (told, notes))
    told = len(re.findall(r"\] refused: ", notes))
    untold = sum(int(n) for n in re.findall(r"\] (\d+) more frames refused", notes))
    expect(untold > 0 and told + untold == total,
           "told %d and %d more, of %d refusals:\n%s" % (told, untold, total, notes))
    for key in ("records_refused_total", "records_applied_total"):
        seq = [s[key] for s in scrapes]
        expect(seq == sorted(seq), "%s went down across the reconnect: %s" % (key, seq))
    expect(scrapes[-1]["records_refused_total"] == total, "refused_total %d, not %d" % (
        scrapes[-1]["records_refused_total"], total))
    return "%d refusals, %d told and %d counted over %d scrapes; %s" % (total, told, untold, len(scrapes), peak.stop())


def idle_crowd(tmp, cap):
    """1000 clients connect to the agent and never read; a fresh mount still
    synchronises in normal time, and the socket is the owner's alone."""
    old_umask = os.umask(0)
    try:
        a, sock, dump = agent(tmp, 6, duration=1.5)
    finally:
        os.umask(old_umask)
    mode = os.stat(sock).st_mode & 0o777
    expect(mode == 0o600, "the socket's mode is %o under umask 000, not 600" % mode)
    rss_before = memory_kb(a.pid)[0]
    crowd = []
    try:
        for _ in range(1000):
            crowd.append(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
            crowd[-1].connect(sock)
        expect(wait_for(lambda: os.path.exists(dump), 10), "no dump")
        expect(wait_for(lambda: "refused a connection: 64 open, the limit" in read(a.log), 10),
               "no refusal logged:\n" + read(a.log)[-1500:])
        # Every place is held by a client that has read nothing for over a second.
        time.sleep(1.2)
        began = time.monotonic()
        out = check(sock, dump, timeout=20, what="a fresh mount among the crowd")
        took = time.monotonic() - began
        growth = memory_kb(a.pid)[1] - rss_before
    finally:
        for c in crowd:
            c.close()
    expect(took < 5, "the fresh mount took %.1f s among the crowd" % took)
    expect(re.search(r"gone: evicted: it has not caught up for [0-9.]+ s and a new connection wanted its place",
                     read(a.log)), "no idle client was evicted:\n" + read(a.log)[-1500:])
    expect(growth < 64 * MB, "agent peak RSS grew %d kB with the crowd" % growth)
    stop(a)
    return "1000 idle clients, 64 let in: agent peak RSS %+.1f MB; a fresh mount among them: %s in %.2f s" % (
        growth / MB, out, took)


ATTACKS = [write_backs, announcement_flood, entity_flood_at_mount, forged_status_directory, fewer_chips,
           garbage_and_metrics, idle_crowd]


def main():
    scratch = tempfile.mkdtemp(prefix="phy-hostile-")
    passed = failed = 0
    try:
        cap = Capture(scratch)
    except Exception as e:
        print("FAIL capture of a real agent's stream: %s\n0 passed, %d failed" % (e, len(ATTACKS)))
        return 1
    for attack in ATTACKS:
        tmp = os.path.join(scratch, attack.__name__)
        os.mkdir(tmp)
        try:
            print("ok   %s: %s" % (attack.__name__, attack(tmp, cap)), flush=True)
            passed += 1
        except Exception as e:
            failed += 1
            what = str(e) if isinstance(e, Fault) else traceback.format_exc()
            print("FAIL %s: %s" % (attack.__name__, what), flush=True)
            for name in sorted(os.listdir(tmp)):
                if name.endswith(".log"):
                    print("---- %s (last 1500 characters) ----\n%s" % (name, read(os.path.join(tmp, name))[-1500:]))
        finally:
            for p in PROCS:
                if p.poll() is None:
                    p.kill()
                    p.wait()
            PROCS.clear()
    print("%d passed, %d failed" % (passed, failed))
    if not failed:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
