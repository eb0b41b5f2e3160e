#!/usr/bin/env python3
"""Hostile peers over real sockets against the real phyagent and phymount: a
client that writes back to the agent, one that floods it with announcements,
fake agents that flood a mount with entities, pass it a forged status
directory, or send it garbage, and a mount moved to an agent with fewer
chips. Each attack checks the state served and checked is still the agent's,
memory stays bounded, the logs say what happened and the exit statuses.

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
    """Starts a program with stderr (and stdout unless `out`) to the file `log`."""
    f = open(log, "w")
    p = subprocess.Popen([program, *args], stdout=out if out is not None else f, stderr=f)
    f.close()
    p.log = log
    PROCS.append(p)
    return p


def ended(p, timeout):
    """The exit status, or None when it did not end in time (it is killed)."""
    try:
        return p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        return None


def memory_kb(pid):
    """VmRSS and VmHWM of a live process, in kB."""
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


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
        return self.hwm_kb


def check(sock, dump, timeout=10):
    r = subprocess.run([MOUNT, "--socket", sock, "--check", dump, "--timeout", str(timeout)], capture_output=True,
                       text=True, timeout=timeout + 10)
    return r.returncode, r.stdout.strip(), r.stderr


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def transaction(eid, attr, kind, count=0):
    return frame(0xB, eid, attr, struct.pack(">BI", kind, count))


def text(b):
    return struct.pack(">I", len(b)) + b


def announcement(type_name, name, eid):
    """An orphan announcement of an entity whose constructor takes only its name."""
    return record(ORPHAN_EID, ORPHAN_ATTR,
                  b"\x01\x01" + text(type_name) + b"\x03" + text(name) + b"\x04" + struct.pack(">Q", eid))


def sync_done(eid):
    return record(eid, SYNC_MODE_ATTR, struct.pack(">I", 1))


def frames(data):
    """(offset, entity id, attribute id, payload) of each whole frame of a stream."""
    def varint(b, p):
        v = shift = 0
        while True:
            c = b[p]
            p += 1
            v |= (c & 0x7F) << shift
            shift += 7
            if not c & 0x80:
                return v, p

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
            p += 1
            p = varint(body, p)[1]
            p = varint(body, p)[1]
            p += 1
        out.append((at, eid, attr, body[p:]))
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
        status_eid, parsed = None, []
        while time.monotonic() < end:
            try:
                chunk = s.recv(1 << 16)
            except socket.timeout:
                chunk = None
            if chunk == b"":
                break
            data += chunk or b""
            parsed = frames(data)
            for _, eid, attr, payload in parsed:
                if eid == ORPHAN_EID and attr == ORPHAN_ATTR and b"StatusDir" in payload[:80]:
                    self.status_dir, status_eid = payload, struct.unpack(">Q", payload[-8:])[0]
            # Its first synchronisation ends with the directories told complete.
            if status_eid and any(e == status_eid and a == SYNC_MODE_ATTR for _, e, a, _ in parsed):
                break
        s.close()
        agent.send_signal(signal.SIGTERM)
        ended(agent, 10)
        expect(status_eid, "no status directory announced and synchronised in the capture")
        self.status_eid = status_eid
        # The forged orphans copy a real one byte for byte.
        mdio = [p for _, e, a, p in parsed if e == ORPHAN_EID and a == ORPHAN_ATTR and b"Mdio::Device" in p]
        expect(mdio, "no Hardware::Mdio::Device announced in the capture")
        self.mdio_type = b"Hardware::Mdio::Device"
        name_len = struct.unpack(">I", mdio[0][7 + len(self.mdio_type):11 + len(self.mdio_type)])[0]
        name = mdio[0][11 + len(self.mdio_type):11 + len(self.mdio_type) + name_len]
        eid = struct.unpack(">Q", mdio[0][-8:])[0]
        expect(announcement(self.mdio_type, name, eid)[6:] == mdio[0],
               "a forged announcement differs from the agent's: %s" % mdio[0].hex())

    def status_dir_named(self, name):
        """The status directory's announcement with another name."""
        p = self.status_dir
        at = 2
        for _ in range(p[1]):
            at += 4 + struct.unpack(">I", p[at:at + 4])[0]
        expect(p[at] == 3, "no constructor section in the status directory's announcement")
        old = struct.unpack(">I", p[at + 1:at + 5])[0]
        payload = p[:at + 1] + text(name) + p[at + 5 + old:]
        return record(ORPHAN_EID, ORPHAN_ATTR, payload) + sync_done(self.status_eid)

    def forged_devices(self, first_eid, count):
        return b"".join(announcement(self.mdio_type, b"forged%d" % e, e)
                        for e in range(first_eid, first_eid + 2 * count, 2))


# ---- the attacks ----

def write_backs(tmp, cap):
    """A client writes transactions back on the agent's collections."""
    sock, dump, log = [os.path.join(tmp, n) for n in ("a.sock", "a.dump", "agent.log")]
    agent = start(AGENT, ["--socket", sock, "--scenario", "noisy", "--seed", "3", "--poll-hz", "20", "--duration",
                          "2", "--linger", "20", "--dump", dump], log)
    expect(wait_for(lambda: os.path.exists(sock), 10), "the agent never listened")
    rss_before = memory_kb(agent.pid)[0]
    ids = range(3, 100, 2)
    writes = b"".join(transaction(e, 258, 0, 1) + transaction(e, 258, 2, 1) for e in ids)
    c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    c.connect(sock)
    c.sendall(writes)
    c.settimeout(0.5)
    received, closed, reset, end = 0, False, False, time.monotonic() + 10
    while time.monotonic() < end:
        try:
            chunk = c.recv(1 << 16)
        except socket.timeout:
            continue
        except ConnectionResetError:
            reset = True  # some of its frames were left unread: the end comes next
            continue
        if not chunk:
            closed = True
            break
        received += len(chunk)
    c.close()
    expect(closed, "the agent did not close the connection within 10 s of %d write-backs" % (2 * len(ids)))
    expect(wait_for(lambda: "gone" in read(log), 5), "the agent never said the writer was gone")
    agent_log = read(log)
    refused = re.search(r"mount 1 refused: (frame at offset (\d+): write-update from readonly proxy: .*)", agent_log)
    expect(refused and refused.group(2) == "0", "no refusal of the first write-back logged:\n" + agent_log)
    gone = re.search(r"mount 1 gone: (.*); \d+ changes deferred to dirty bits; (\d+) frames it sent refused",
                     agent_log)
    expect(gone and gone.group(1) == "cut off after 64 frames refused" and gone.group(2) == "64",
           "the writer was not cut off after 64 refusals:\n" + agent_log)
    expect(wait_for(lambda: os.path.exists(dump), 10), "no dump")
    rss_after = memory_kb(agent.pid)[0]
    with open(dump) as f:
        lines = f.read().splitlines()
    ports = {l.split(" ", 1)[0] for l in lines}
    expect(len(ports) == 48 and len(lines) == 2016, "the dump has %d ports, %d lines" % (len(ports), len(lines)))
    rc, out, err = check(sock, dump)
    expect((rc, out) == (0, WANT48), "check after the write-backs: rc %d, %r %s" % (rc, out, err[-500:]))
    expect(rss_after - rss_before < 20 * MB, "agent RSS grew %d kB" % (rss_after - rss_before))
    agent.send_signal(signal.SIGTERM)
    expect(ended(agent, 10) == 0, "the agent ended with %s" % agent.returncode)
    return "%d write-backs sent, 64 refused then cut (%s), %d bytes served meanwhile; first: %r; " \
           "agent RSS %+.1f MB; %s" % (2 * len(ids), "reset, then end of stream" if reset else "end of stream",
                                       received, refused.group(1)[:90], (rss_after - rss_before) / MB, out)


def announcement_flood(tmp, cap):
    """A client floods the agent with orphan announcements."""
    sock, dump, log = [os.path.join(tmp, n) for n in ("a.sock", "a.dump", "agent.log")]
    agent = start(AGENT, ["--socket", sock, "--scenario", "noisy", "--seed", "4", "--poll-hz", "20", "--duration",
                          "1.5", "--linger", "20", "--dump", dump], log)
    expect(wait_for(lambda: os.path.exists(sock), 10), "the agent never listened")
    time.sleep(0.2)
    rss_before = memory_kb(agent.pid)[0]
    flood = cap.forged_devices(1001, 200000)
    c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    c.connect(sock)
    c.settimeout(10)
    sent, how = 0, "every byte taken"
    try:
        while sent < len(flood):
            sent += c.send(flood[sent:sent + (1 << 16)])
    except (BrokenPipeError, ConnectionResetError) as e:
        how = type(e).__name__
    except socket.timeout:
        how = "stalled"
    c.close()
    expect(how in ("BrokenPipeError", "ConnectionResetError"),
           "the agent did not cut the flood (%s after %d of %d bytes)" % (how, sent, len(flood)))
    expect(wait_for(lambda: "gone" in read(log), 5), "the agent never said the flooder was gone")
    _, hwm_after = memory_kb(agent.pid)
    log_text = read(log)
    expect("mount 1 refused: frame at offset 0: write-update from readonly proxy: an announcement" in log_text,
           "the first announcement's refusal is not logged:\n" + log_text)
    expect(re.search(r"mount 1 gone: cut off after 64 frames refused;.* 64 frames it sent refused", log_text),
           "the flooder was not cut off after 64 refusals:\n" + log_text)
    expect(wait_for(lambda: os.path.exists(dump), 10), "no dump")
    rc, out, err = check(sock, dump)
    expect((rc, out) == (0, WANT48), "a fresh mount after the flood: rc %d, %r %s" % (rc, out, err[-500:]))
    growth = hwm_after - rss_before
    expect(growth < 20 * MB, "agent peak RSS grew %d kB over the flood" % growth)
    agent.send_signal(signal.SIGTERM)
    expect(ended(agent, 10) == 0, "the agent ended with %s" % agent.returncode)
    return "cut after %d of %d bytes (%s); agent peak RSS %+.1f MB over %.1f MB; %s" % (
        sent, len(flood), how, growth / MB, rss_before / MB, out)


class FakeAgent(threading.Thread):
    """A Unix-socket server: each connection accepted is handed to `serve`."""

    def __init__(self, path, serve):
        super().__init__(daemon=True)
        self.path, self.serve, self.accepted = path, serve, 0
        self.stopping = threading.Event()
        self.sock = listener(path)
        self.sock.settimeout(0.1)
        self.start()

    def run(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.accepted += 1
            try:
                self.serve(conn, self)
            except OSError:
                pass
            finally:
                conn.close()

    def close(self):
        self.stopping.set()
        self.join(timeout=10)
        self.sock.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


def entity_flood_at_mount(tmp, cap):
    """A fake agent announces entities to a mount without end."""
    sock, log = os.path.join(tmp, "fake.sock"), os.path.join(tmp, "mount.log")
    ends, sent = [], [0]

    def serve(conn, fake):
        conn.settimeout(5)
        eid = 3
        try:
            while not fake.stopping.is_set():
                conn.sendall(cap.forged_devices(eid, 1000))
                eid += 2000
                sent[0] += 1000
            ends.append("stopped")
        except socket.timeout:
            ends.append("stalled")
            raise
        except OSError as e:
            ends.append(type(e).__name__)
            raise

    fake = FakeAgent(sock, serve)
    try:
        mount = start(MOUNT, ["--socket", sock, "--max-entities", "5000", "--duration", "6"], log)
        peak = PeakMemory(mount.pid)
        rc = ended(mount, 20)
        hwm = peak.stop()
    finally:
        fake.close()
    text_ = read(log)
    cuts = text_.count("connection lost: the other end announced more than 5000 entities, the limit")
    expect(rc == 0, "the mount ended with %s:\n%s" % (rc, text_[-1500:]))
    expect(cuts >= 2 and text_.count("connected to") >= 2 and fake.accepted >= 2,
           "the mount was not cut and reconnected (%d cuts, %d connections):\n%s" % (cuts, fake.accepted,
                                                                                    text_[-1500:]))
    expect("stalled" not in ends, "the mount stopped reading without cutting the connection: %s" % ends)
    expect(hwm < 100 * MB, "the mount's peak RSS is %.1f MB" % (hwm / MB))
    return "%d connections, %d cut at the limit, %d announcements sent; mount peak RSS %.1f MB" % (
        fake.accepted, cuts, sent[0], hwm / MB)


def forged_status_directory(tmp, cap):
    """Fake agents serve forged status directories first, then the real agent."""
    sock, dump = os.path.join(tmp, "a.sock"), os.path.join(tmp, "a.dump")
    mlog, alog = os.path.join(tmp, "mount.log"), os.path.join(tmp, "agent.log")
    fake = listener(sock)
    out = open(os.path.join(tmp, "mount.out"), "w+")
    mount = start(MOUNT, ["--socket", sock, "--check", dump, "--timeout", "25"], mlog, out=out)
    peak = PeakMemory(mount.pid)
    long_name = b"s" * 16000
    taken = []
    for n, name in enumerate([b"statusesX", long_name], 1):
        conn, _ = fake.accept()
        conn.sendall(cap.status_dir_named(name))
        # The mount takes the forged directory as a whole synchronisation, or refuses it.
        wait_for(lambda: read(mlog).count("synced:") >= n or "refused:" in read(mlog), 5)
        taken.append("synced" if read(mlog).count("synced:") >= n else "refused")
        conn.close()
    fake.close()
    os.unlink(sock)
    agent = start(AGENT, ["--socket", sock, "--scenario", "noisy", "--seed", "6", "--poll-hz", "20",
                          "--duration", "1", "--linger", "20", "--dump", dump], alog)
    rc = ended(mount, 30)
    hwm = peak.stop()
    out.seek(0)
    result = out.read().strip()
    notes = read(mlog)
    expect(taken[0] == "synced", "the mount did not take the first forged directory:\n" + notes)
    expect((rc, result) == (0, WANT48), "the check after forged directories: rc %s, %r\n%s" % (rc, result,
                                                                                               notes[-1500:]))
    expect(notes.count("connected to") >= 3, "the mount did not connect three times:\n" + notes)
    expect(hwm < 100 * MB, "the mount's peak RSS is %.1f MB" % (hwm / MB))
    agent.send_signal(signal.SIGTERM)
    expect(ended(agent, 10) == 0, "the agent ended with %s" % agent.returncode)
    expect("refused" not in read(alog), "the agent refused frames of the mount:\n" + read(alog))
    return "'statusesX' %s, 16000-character name %s, then the real agent: %s; mount peak RSS %.1f MB" % (
        taken[0], taken[1], result, hwm / MB)


def fewer_chips(tmp, cap):
    """A live mount moves from an agent of six chips to one of two."""
    sock, dump = os.path.join(tmp, "a.sock"), os.path.join(tmp, "b.dump")
    live_log, check_log = os.path.join(tmp, "live.log"), os.path.join(tmp, "check.log")
    a = start(AGENT, ["--socket", sock, "--chips", "6", "--scenario", "noisy", "--seed", "8", "--poll-hz", "20"],
              os.path.join(tmp, "a.log"))
    expect(wait_for(lambda: os.path.exists(sock), 10), "agent A never listened")
    live = start(MOUNT, ["--socket", sock, "--duration", "30"], live_log)
    peak = PeakMemory(live.pid)
    out = open(os.path.join(tmp, "check.out"), "w+")
    checking = start(MOUNT, ["--socket", sock, "--check", dump, "--timeout", "25"], check_log, out=out)
    expect(wait_for(lambda: re.search(r"^\[\s*[\d.]+\] synced .* 48 ports, ", read(live_log), re.M), 10),
           "the live mount never showed A's 48 ports:\n" + read(live_log))
    a.send_signal(signal.SIGTERM)
    expect(ended(a, 10) == 0, "agent A ended with %s" % a.returncode)
    b = start(AGENT, ["--socket", sock, "--chips", "2", "--scenario", "noisy", "--seed", "9", "--poll-hz", "20",
                      "--duration", "1", "--linger", "20", "--dump", dump], os.path.join(tmp, "b.log"))

    def after_b():
        lines = read(live_log).splitlines()
        synced = [i for i, l in enumerate(lines) if "synced:" in l]
        return len(synced) >= 2 and any(" 16 ports, " in l and l.split("] ", 1)[1].startswith("synced ")
                                        for l in lines[synced[1]:])

    converged = wait_for(after_b, 10)
    rc = ended(checking, 30)
    out.seek(0)
    result = out.read().strip()
    rc2, fresh, err = check(sock, dump)
    live.send_signal(signal.SIGTERM)
    live_rc = ended(live, 10)
    hwm = peak.stop()
    want = "16 ports, 672 statistics, 0 differences"
    expect(converged, "the live mount never showed B's 16 ports alone:\n" + read(live_log)[-1500:])
    expect((rc, result) == (0, want), "the check started on A, against B: rc %s, %r\n%s" % (rc, result,
                                                                                           read(check_log)[-1500:]))
    expect((rc2, fresh) == (0, want), "a fresh check of B: rc %d, %r %s" % (rc2, fresh, err[-500:]))
    expect(live_rc == 0, "the live mount ended with %s" % live_rc)
    b.send_signal(signal.SIGTERM)
    expect(ended(b, 10) == 0, "agent B ended with %s" % b.returncode)
    for name in ("a.log", "b.log"):
        expect("refused" not in read(os.path.join(tmp, name)), "agent %s refused a mount's frames:\n%s" % (
            name[0].upper(), read(os.path.join(tmp, name))))
    expect(hwm < 100 * MB, "the live mount's peak RSS is %.1f MB" % (hwm / MB))
    return "live mount shows 16 ports after B; started-on-A check: %s; fresh: %s; live peak RSS %.1f MB" % (
        result, fresh, hwm / MB)


def garbage_and_metrics(tmp, cap):
    """A fake agent sends malformed frames, then lost framing; the mount reconnects."""
    sock, log = os.path.join(tmp, "fake.sock"), os.path.join(tmp, "mount.log")
    port = free_port()
    fake = listener(sock)
    mount = start(MOUNT, ["--socket", sock, "--metrics", "127.0.0.1:%d" % port, "--duration", "30"], log)
    peak = PeakMemory(mount.pid)
    if wait_for(lambda: mount.poll() is not None, 0.3) and "without cpp-httplib" in read(log):
        fake.close()
        raise Fault("phymount was built without --metrics; install libcpp-httplib-dev")
    scrapes = []

    def scrape():
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=2) as r:
                page = r.read().decode()
        except OSError:
            return None
        got = {k: int(float(v)) for k, v in
               re.findall(r"^bcm54980_mount_(records_refused_total|records_applied_total|connected) (\S+)$",
                          page, re.M)}
        if len(got) == 3:
            scrapes.append(got)
            return got
        return None

    def scraped(pred, timeout=5):
        return wait_for(lambda: (lambda g: g is not None and pred(g))(scrape()), timeout)

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
    lost = len(first)
    conn.sendall(b"\xff\xff\xff\xff")
    conn.settimeout(5)
    try:
        closed = conn.recv(1) == b""
    except ConnectionResetError:
        closed = True
    expect(closed, "the mount did not close after lost framing")
    conn.close()
    scrape()
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
    mount.send_signal(signal.SIGTERM)
    rc = ended(mount, 10)
    hwm = peak.stop()
    refused = [int(v) for v in re.findall(r"^\[\s*[\d.]+\] refused: frame at offset (\d+)", notes, re.M)]
    expect(refused[:1] == [0] and re.search(r"refused: frame at offset 0: refers to a header before the first",
                                            notes), "no refusal at offset 0 told:\n" + notes)
    expect("refused: unknown frame tag 0xff at offset %d" % lost in notes,
           "the lost framing at offset %d is not told:\n%s" % (lost, notes))
    expect("connection lost: unknown frame tag 0xff at offset %d" % lost in notes, "no cut told:\n" + notes)
    expect("isNondestructing" in notes, "the nondestructing record's refusal is not told:\n" + notes)
    told = len(re.findall(r"\] refused: ", notes))
    untold = sum(int(n) for n in re.findall(r"\] (\d+) more frames refused", notes))
    expect(untold > 0 and told + untold == total,
           "told %d and %d more, of %d refusals:\n%s" % (told, untold, total, notes))
    for key in ("records_refused_total", "records_applied_total"):
        seq = [s[key] for s in scrapes]
        expect(all(a <= b for a, b in zip(seq, seq[1:])), "%s went down across the reconnect: %s" % (key, seq))
    expect(scrapes[-1]["records_refused_total"] == total, "refused_total %d, not %d" % (
        scrapes[-1]["records_refused_total"], total))
    expect(rc == 0, "the mount ended with %s" % rc)
    expect(hwm < 100 * MB, "the mount's peak RSS is %.1f MB" % (hwm / MB))
    refused_seq = [s["records_refused_total"] for s in scrapes]
    return "%d refusals, %d told and %d counted; refused_total over %d scrapes %s; mount peak RSS %.1f MB" % (
        total, told, untold, len(scrapes), sorted(set(refused_seq)), hwm / MB)


def idle_crowd(tmp, cap):
    """1000 clients connect to the agent and never read; a fresh mount still
    synchronises in normal time, and the socket is the owner's alone."""
    sock, dump, log = [os.path.join(tmp, n) for n in ("a.sock", "a.dump", "agent.log")]
    old_umask = os.umask(0)
    try:
        agent = start(AGENT, ["--socket", sock, "--scenario", "noisy", "--seed", "6", "--poll-hz", "20",
                              "--duration", "1.5", "--linger", "30", "--dump", dump], log)
        expect(wait_for(lambda: os.path.exists(sock), 10), "the agent never listened")
    finally:
        os.umask(old_umask)
    mode = os.stat(sock).st_mode & 0o777
    expect(mode == 0o600, "the socket's mode is %o under umask 000, not 600" % mode)
    rss_before = memory_kb(agent.pid)[0]
    crowd = []
    try:
        for _ in range(1000):
            c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            c.connect(sock)
            crowd.append(c)
        expect(wait_for(lambda: os.path.exists(dump), 10), "no dump")
        # The crowd holds every place, and has read nothing for over a second.
        expect(wait_for(lambda: "refused a connection: 64 open, the limit" in read(log), 10),
               "no refusal logged:\n" + read(log)[-1500:])
        time.sleep(1.2)
        began = time.monotonic()
        rc, out, err = check(sock, dump, timeout=20)
        took = time.monotonic() - began
        hwm = memory_kb(agent.pid)[1]
    finally:
        for c in crowd:
            c.close()
    log_text = read(log)
    expect((rc, out) == (0, WANT48), "a fresh mount among the crowd: rc %d, %r %s" % (rc, out, err[-500:]))
    expect(took < 5, "the fresh mount took %.1f s among the crowd" % took)
    expect(re.search(r"gone: evicted: it has not caught up for [0-9.]+ s and a new connection wanted its place",
                     log_text), "no idle client was evicted:\n" + log_text[-1500:])
    growth = hwm - rss_before
    expect(growth < 64 * MB, "agent peak RSS grew %d kB with the crowd" % growth)
    agent.send_signal(signal.SIGTERM)
    try:
        rc = agent.wait(timeout=10)
    except subprocess.TimeoutExpired:
        state = read("/proc/%d/stat" % agent.pid).split(")")[-1].split()[:1]
        wchan = read("/proc/%d/wchan" % agent.pid)
        ended(agent, 1)
        raise Fault("the agent did not end within 10 s of SIGTERM (state %s, wchan %s):\n%s" % (
            state, wchan, read(log)[-1500:]))
    expect(rc == 0, "the agent ended with %s" % rc)
    return "socket mode %o under umask 000; 1000 idle clients, 64 let in: agent peak RSS %+.1f MB; " \
           "a fresh mount among them: %s in %.2f s" % (mode, growth / MB, out, took)


ATTACKS = [write_backs, announcement_flood, entity_flood_at_mount, forged_status_directory, fewer_chips,
           garbage_and_metrics, idle_crowd]


def main():
    scratch = tempfile.mkdtemp(prefix="phy-hostile-")
    passed = failed = 0
    try:
        cap = Capture(scratch)
    except Exception as e:
        print("FAIL capture of a real agent's stream: %s" % e)
        print("0 passed, %d failed" % len(ATTACKS))
        return 1
    for attack in ATTACKS:
        tmp = os.path.join(scratch, attack.__name__)
        os.mkdir(tmp)
        try:
            figures = attack(tmp, cap)
            passed += 1
            print("ok   %s: %s" % (attack.__name__, figures), flush=True)
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
    if failed == 0:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
