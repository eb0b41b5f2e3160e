// phypeerbench: our agent-to-mount path on the workloads of the peer's
// harness, with the peer's metric names. The agent is this process; each
// mount is a child process on a Unix socket, so that each side's CPU and
// memory are its own.
//
// Every update i touches field f = i % F of F = ports x 42 statistics, and
// stores round r = i / F as the statistic's running number, so the final
// state after n updates is known to the mount in advance: it converges when
// every field holds its last round.
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <asio.hpp>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/replication/harness.h"
#include "runtime/attrlog/socket/socket_transport.h"
#include "tools/phy_sim.h"

namespace {

using namespace phybench;
using Hardware::Phy::PhyBcm54980Stats;
using Hardware::Phy::PhyStatus;
using Zef::Ptr;
using Zef::AttrLogSocket::Client;
using Zef::AttrLogSocket::Server;
using Zef::AttrLogSocket::UnixAddress;
using Zef::NboAttrLog::Connection;
using std::chrono::milliseconds;

constexpr std::uint32_t kBase = 1000;  // round 0's running number: never the initial 0

// The agent's connection settings, for trying others than the defaults.
Zef::AttrLogSocket::Options gServerOptions;
std::size_t gLowPriorityBacklog = Zef::NboAttrLog::Out::kDefaultLowPriorityBacklog;

std::string socketPath(char const* name) {
  static auto dir = [] {
    auto d = std::filesystem::temp_directory_path() / ("phypeerbench." + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  return (dir / name).string();
}

// "chip<c>/port<p>", or "port<p>": the port's index; -1 for other names.
int portIndex(std::string const& name, int perChip = 8) {
  int c = 0, p = 0;
  if (std::sscanf(name.c_str(), "chip%d/port%d", &c, &p) == 2) return c * perChip + p;
  if (std::sscanf(name.c_str(), "port%d", &p) == 1) return p;
  return -1;
}

// ---- the mount

struct MountPlan {
  std::string path;
  int ports = 48;
  long long n = 0;           // updates the agent will make; 0: nothing to track
  bool latency = false;      // keep each change's one-way delay
  bool mark = false;         // listen for port 0's link going down
  double rateLimit = 0;      // notifications a second the mount takes at most; 0: no limit
  bool memory = false;       // print the mount's bytes per field once synchronised
};

// The mount's side of a workload. It connects on "go", says "ready" on the
// back pipe once its first synchronisation is done, follows the updates until
// the agent's "END n t0 t1 tmark" and its state equals the final one, prints
// its figures and says "done".
int mountMain(MountPlan const& plan, int ctlFd, int backFd) {
  LineReader ctl(ctlFd);
  auto say = [&](char const* what) {
    std::string l = std::string(what) + "\n";
    if (write(backFd, l.data(), l.size()) < 0) std::abort();
  };
  if (ctl.wait() != "go") return 2;
  long long const heap0 = heapBytes();
  std::uint64_t const tConnect = nowNs();
  asio::io_context io;
  Ptr<Client> client = Client::ClientIs(io, UnixAddress{plan.path});
  bool disconnected = false;
  client->onClosedIs([&](Ptr<Connection> const&, Zef::String8 const&) { disconnected = true; });

  long long const F = 1LL * plan.ports * kStats;
  std::vector<std::uint32_t> expected;
  if (plan.n > 0) {
    expected.assign(std::size_t(F), 0);
    for (long long f = 0; f < F && f < plan.n; ++f) expected[std::size_t(f)] = kBase + std::uint32_t((plan.n - 1 - f) / F);
  }
  std::vector<std::uint32_t> current(std::size_t(F), 0);
  long long matching = 0, total = std::min(F, plan.n);
  long long notifications = 0;
  std::uint64_t tLastApply = 0, tConverged = 0, tLinkDown = 0;
  bool following = false;
  std::vector<std::uint32_t> latencyNs;
  if (plan.latency) latencyNs.reserve(1 << 20);

  StatsHeard::Sink sink = [&](int port, int k, std::uint32_t counter, double t) {
    if (!following) return;
    std::uint64_t const now = nowNs();
    ++notifications;
    tLastApply = now;
    if (plan.latency) latencyNs.push_back(std::uint32_t(std::min(4294967295.0, std::max(0.0, (nowS() - t) * 1e9))));
    if (expected.empty()) return;
    std::size_t const f = std::size_t(port) * kStats + std::size_t(k);
    bool const was = current[f] == expected[f];
    current[f] = counter;
    bool const is = counter == expected[f];
    matching += int(is) - int(was);
    if (matching == total && !tConverged) tConverged = now;
  };
  struct LinkHeard : PhyStatus::Notifiee {
    std::uint64_t* when = nullptr;
    bool const* following = nullptr;
    void onLinkUp() override {
      if (*following && !notifier()->linkUp() && !*when) *when = nowNs();
    }
  };
  // The mount hears of its roots; the ports are found in the statuses
  // directory once the first synchronisation is done.
  Ptr<Hardware::Phy::PhyBcm54980StatusDir> statuses;
  client->connection()->onMountedIs([&](Ptr<Zef::Entity> const& e) {
    if (auto* d = dynamic_cast<Hardware::Phy::PhyBcm54980StatusDir*>(e.ptr())) statuses = Ptr<Hardware::Phy::PhyBcm54980StatusDir>(d);
  });
  // The first synchronisation.
  while (!client->connection()->isSynced()) {
    io.run_for(milliseconds(1));
    if (disconnected || nowNs() - tConnect > 60'000'000'000ull) {
      std::fprintf(stderr, "mount: no first synchronisation\n");
      say("done");
      return 1;
    }
  }
  if (plan.memory) {
    // The mount's whole cost: its entities, its replication state, its buffers.
    outi("mem_mount_ports", plan.ports);
    out("mem_mount_bytes_per_field", double(heapBytes() - heap0) / double(F));
    out("mount_first_sync_ms", double(nowNs() - tConnect) * 1e-6);
    std::fflush(stdout);
    say("ready");
    ctl.wait();
    say("done");
    return 0;
  }
  std::vector<Ptr<StatsHeard>> statsReactors;
  Ptr<LinkHeard> linkReactor;
  std::vector<Ptr<PhyBcm54980Stats>> mounted;
  for (int p = 0; statuses && p < plan.ports; ++p) {
    auto st = statuses->phyStatus(phytools::portName(unsigned(p) / 8, unsigned(p) % 8));
    if (!st || !st->bcmStats()) break;
    Ptr<StatsHeard> r(new StatsHeard, Zef::adoptRef);
    r->port = p;
    r->sink = &sink;
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(st->bcmStats());
    statsReactors.push_back(r);
    mounted.push_back(st->bcmStats());
    if (p == 0 && plan.mark) {
      linkReactor = Ptr<LinkHeard>(new LinkHeard, Zef::adoptRef);
      linkReactor->when = &tLinkDown;
      linkReactor->following = &following;
      linkReactor->isRegisteredNotifieeIs(true);
      linkReactor->notifierIs(Ptr<PhyStatus>(st.ptr()));
    }
  }
  if (int(mounted.size()) != plan.ports) {
    std::fprintf(stderr, "mount: %zu of %d ports mounted\n", mounted.size(), plan.ports);
    say("done");
    return 1;
  }
  for (long long f = 0; f < F && !expected.empty(); ++f) {
    auto [counter, t] = stat(*mounted[std::size_t(f / kStats)], int(f % kStats));
    current[std::size_t(f)] = counter;
    matching += counter == expected[std::size_t(f)];
  }
  following = true;
  double const cpu0 = cpuS();
  say("ready");

  long long n = 0;
  std::uint64_t t0 = 0, t1 = 0, tMark = 0;
  bool gotEnd = false, timedOut = false;
  std::uint64_t const followStart = nowNs();
  std::uint64_t endAt = 0;
  for (;;) {
    if (plan.rateLimit > 0 && double(notifications) > plan.rateLimit * double(nowNs() - followStart) * 1e-9) {
      std::this_thread::sleep_for(milliseconds(1));  // a consumer that cannot keep up: it reads nothing meanwhile
    } else {
      io.run_for(milliseconds(1));
    }
    if (!gotEnd) {
      if (auto line = ctl.poll()) {
        std::istringstream in(*line);
        std::string word;
        in >> word >> n >> t0 >> t1 >> tMark;
        gotEnd = word == "END";
        endAt = nowNs();
      }
    }
    if (gotEnd) {
      bool const settled = expected.empty() ? nowNs() - endAt > 200'000'000ull : tConverged != 0;
      if (settled && (!plan.mark || tLinkDown)) break;
      if (nowNs() - endAt > 30'000'000'000ull) {
        timedOut = true;
        break;
      }
    }
    if (disconnected && !gotEnd) break;
  }
  double const cpu = cpuS() - cpu0;

  outi("consumer_notifications", notifications);
  outi("consumer_got_end", gotEnd);
  outi("consumer_sub_disconnected", disconnected);
  outi("consumer_timed_out", timedOut);
  out("consumer_cpu_s", cpu);
  if (!expected.empty() && t0) {
    if (tConverged) {
      double const wall = double(tConverged - t0) * 1e-9;
      out("wall_first_write_to_last_apply_s", wall);
      out("applied_updates_per_s", double(n) / wall);
      out("converged_s", wall);
      out("converged_after_stop_s", tConverged > t1 ? double(tConverged - t1) * 1e-9 : 0.0);
    } else {
      outi("converged_never", 1);
    }
    long long mismatch = 0;
    for (long long f = 0; f < total; ++f) {
      mismatch += stat(*mounted[std::size_t(f / kStats)], int(f % kStats)).first != expected[std::size_t(f)];
    }
    outi("final_fields_checked", total);
    outi("final_mismatch_vs_producer", mismatch);
  }
  if (plan.mark) {
    outi("mark_seen", tLinkDown != 0);
    if (tLinkDown && tMark) out("mark_latency_us", double(tLinkDown - tMark) * 1e-3);
  }
  if (plan.latency && !latencyNs.empty()) {
    std::sort(latencyNs.begin(), latencyNs.end());
    auto pct = [&](double q) { return latencyNs[std::min(latencyNs.size() - 1, std::size_t(q * double(latencyNs.size())))] / 1e3; };
    outi("latency_samples", long(latencyNs.size()));
    out("latency_p50_us", pct(0.50));
    out("latency_p99_us", pct(0.99));
    out("latency_p999_us", pct(0.999));
    out("latency_max_us", latencyNs.back() / 1e3);
  }
  (void)tLastApply;
  std::fflush(stdout);
  say("done");
  // Connected until the agent has taken its figures, so that a drop it
  // counts is a real one.
  ctl.wait();
  return 0;
}

// A mount child and the agent's end of its pipes.
struct Mount {
  Child child;
  std::unique_ptr<LineReader> back;
  int backFd;
  ~Mount() { close(backFd); }
};

// A child that runs `body(ctl, back)`, with a pipe back to the agent.
std::unique_ptr<Mount> spawnWithBack(std::function<int(int, int)> const& body) {
  int back[2];
  if (pipe(back) != 0) std::abort();
  Child c = Child::spawn([&body, back](int fd) {
    close(back[0]);
    return body(fd, back[1]);
  });
  close(back[1]);
  return std::unique_ptr<Mount>(new Mount{std::move(c), std::make_unique<LineReader>(back[0]), back[0]});
}

std::unique_ptr<Mount> spawnMount(MountPlan const& plan) {
  return spawnWithBack([&plan](int ctl, int back) { return mountMain(plan, ctl, back); });
}

// Runs the agent's loop until the mount says `what`; false when it went away.
bool runUntil(asio::io_context& io, Mount& m, std::string const& what) {
  for (;;) {
    io.run_for(milliseconds(1));
    if (auto line = m.back->poll()) {
      if (*line == what) return true;
    }
    pollfd p{m.backFd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN)) return false;
  }
}

// ---- the agent

// Serves the connection until `due`, asleep in the event loop meanwhile (a
// bare run_until would poll without sleeping when no timer is set).
void serveUntil(asio::io_context& io, std::chrono::steady_clock::time_point due) {
  if (std::chrono::steady_clock::now() >= due) return;
  asio::steady_timer timer(io, due);
  bool fired = false;
  timer.async_wait([&](std::error_code) { fired = true; });
  while (!fired) io.run_one();
}

// 48 ports as the driver keeps them, served to one mount.
struct Agent {
  asio::io_context io;
  phytools::PhyDriver driver{6, 8};
  std::vector<Ptr<PhyBcm54980Stats>> stats;
  Ptr<Hardware::Phy::PhyBcm54980Status> port0;
  Ptr<Server> server;
  Ptr<Connection> conn;
  bool dropped = false;

  explicit Agent(std::string const& path) {
    for (unsigned p = 0; p < driver.ports(); ++p) {
      auto st = driver.statuses()->phyStatus(phytools::portName(p / 8, p % 8));
      stats.push_back(st->bcmStats());
      if (p == 0) port0 = st;
    }
    port0->linkUpIs(true);  // so that the link change in the middle of a burst is one
    server = Server::ServerIs(io, UnixAddress{path}, gServerOptions);
    server->onConnectionIs([this](Ptr<Connection> const& c) {
      conn = c;
      c->out()->lowPriorityBacklogIs(gLowPriorityBacklog);
      for (auto const& r : driver.roots()) c->rootIs(r);
    });
    server->onClosedIs([this](Ptr<Connection> const&, Zef::String8 const&) { dropped = true; });
  }
  ~Agent() { server->closedIs(); }
};

struct Workload {
  long long n = 0;
  int batch = 256;          // updates between turns of the event loop
  double rate = 0;          // updates a second; 0: as fast as it goes
  double seconds = 0;       // with a rate: how long
  long long markAt = -1;    // port 0's link goes down before this update
  bool latency = false;
  bool sampleMemory = false;
};

// One workload: a mount, the updates, the agent's figures after the mount's.
void runWorkload(char const* name, Workload w, double rateLimit = 0) {
  tag() = name;
  long long const n = w.rate > 0 ? static_cast<long long>(w.rate * w.seconds) : w.n;
  MountPlan plan;
  plan.path = socketPath(name);
  plan.n = w.latency ? 0 : n;
  plan.latency = w.latency;
  plan.mark = w.markAt >= 0;
  plan.rateLimit = rateLimit;
  auto mount = spawnMount(plan);
  Agent agent(plan.path);
  mount->child.send("go");
  if (!runUntil(agent.io, *mount, "ready")) {
    std::fprintf(stderr, "%s: the mount did not synchronise\n", name);
    return;
  }
  long long const F = 1LL * int(agent.stats.size()) * kStats;
  std::uint64_t const records0 = agent.conn->out()->recordsWritten();
  long rssStart = rssKb(), rssMax = rssStart;
  std::size_t bufferMax = 0;
  std::uint64_t nextSample = 0, tMark = 0;
  double const cpu0 = cpuS();
  std::uint64_t const t0 = nowNs();
  for (long long i = 0; i < n; ++i) {
    long long const f = i % F, r = i / F;
    if (i == w.markAt) {
      tMark = nowNs();
      agent.port0->lastLinkChangeIs(double(tMark) * 1e-9);
      agent.port0->linkUpIs(false);
    }
    double t = double(r);
    if (w.rate > 0 && i % w.batch == 0) {
      auto const due = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(t0 + std::uint64_t(double(i) * 1e9 / w.rate)));
      serveUntil(agent.io, due);
    }
    if (w.latency) t = nowS();
    statIs(*agent.stats[std::size_t(f / kStats)], int(f % kStats), kBase + std::uint32_t(r), t);
    if ((i + 1) % w.batch == 0) agent.io.poll();
    if (w.sampleMemory && nowNs() >= nextSample) {
      rssMax = std::max(rssMax, rssKb());
      bufferMax = std::max(bufferMax, agent.conn->out()->size());
      nextSample = nowNs() + 10'000'000;
    }
  }
  agent.io.poll();
  std::uint64_t const t1 = nowNs();
  mount->child.send("END " + std::to_string(n) + " " + std::to_string(t0) + " " + std::to_string(t1) + " " +
                    std::to_string(tMark));
  // The agent goes on serving until the mount has everything.
  bool const finished = runUntil(agent.io, *mount, "done");
  double const cpu = cpuS() - cpu0;
  bool const dropped = agent.dropped || !finished;
  mount->child.wait();
  std::uint64_t const records = agent.conn->out()->recordsWritten() - records0;
  outi("producer_updates", n);
  out("producer_s", double(t1 - t0) * 1e-9);
  out("producer_updates_per_s", double(n) / (double(t1 - t0) * 1e-9));
  out("producer_cpu_s", cpu);
  outi("records_sent", static_cast<long long>(records));
  out("records_per_update", double(records) / double(n));
  outi("producer_dropped_mount", dropped);
  if (w.sampleMemory) {
    outi("writer_rss_kb_start", rssStart);
    outi("writer_rss_kb_max", rssMax);
    outi("writer_rss_kb_end", rssKb());
    outi("writer_send_buffer_max_bytes", static_cast<long long>(bufferMax));
  }
  std::fflush(stdout);
}

// ---- resync and memory: 1024 ports' statistics alone, as the peer's table
// holds them

std::vector<Ptr<PhyBcm54980Stats>> statsTable(int ports) {
  std::vector<Ptr<PhyBcm54980Stats>> v;
  v.reserve(std::size_t(ports));
  for (int p = 0; p < ports; ++p) {
    auto s = PhyBcm54980Stats::PhyBcm54980StatsIs("port" + std::to_string(p));
    for (int k = 0; k < kStats; ++k) statIs(*s, k, kBase + std::uint32_t(p * kStats + k), double(p));
    v.push_back(s);
  }
  return v;
}

// A fresh mount's first synchronisation, timed from its connect to its last
// record applied; it checks every field it got.
void resync(int ports) {
  tag() = "d_resync";
  std::string const path = socketPath("resync");
  auto mount = spawnWithBack([&](int fd, int back) {
    LineReader ctl(fd);
    if (ctl.wait() != "go") return 2;
    std::uint64_t const t0 = nowNs();
    asio::io_context io;
    Ptr<Client> client = Client::ClientIs(io, UnixAddress{path});
    std::vector<Ptr<PhyBcm54980Stats>> got(static_cast<std::size_t>(ports));
    client->connection()->onMountedIs([&](Ptr<Zef::Entity> const& e) {
      int const p = portIndex(e->name().str());
      if (auto* s = dynamic_cast<PhyBcm54980Stats*>(e.ptr()); s && p >= 0 && p < ports) got[std::size_t(p)] = Ptr<PhyBcm54980Stats>(s);
    });
    while (!client->connection()->isSynced() && !client->isClosed() && nowNs() - t0 < 60'000'000'000ull) io.run_one_for(milliseconds(100));
    std::uint64_t const t1 = nowNs();
    long long fields = 0, wrong = 0, keys = 0;
    for (int p = 0; p < ports; ++p) {
      if (!got[std::size_t(p)]) continue;
      ++keys;
      for (int k = 0; k < kStats; ++k, ++fields) wrong += stat(*got[std::size_t(p)], k).first != kBase + std::uint32_t(p * kStats + k);
    }
    std::uint64_t const bytes = client->connection()->bytesReceivedCount();
    outi("resync_keys", keys);
    outi("resync_fields", fields);
    outi("resync_ok", keys == ports && fields == 1LL * ports * kStats && wrong == 0);
    out("resync_total_ms", double(t1 - t0) * 1e-6);
    outi("resync_wire_bytes_server", static_cast<long long>(bytes));
    out("resync_wire_bytes_per_field", double(bytes) / double(std::max(1LL, fields)));
    std::fflush(stdout);
    return write(back, "done\n", 5) < 0 ? 1 : 0;
  });
  asio::io_context io;
  auto table = statsTable(ports);
  Ptr<Server> server = Server::ServerIs(io, UnixAddress{path});
  server->onConnectionIs([&](Ptr<Connection> const& c) {
    for (auto const& s : table) c->rootIs(s);
  });
  mount->child.send("go");
  runUntil(io, *mount, "done");
  mount->child.wait();
  server->closedIs();
}

// Bytes per field: the writer's entities alone, the writer with one mount
// attached, and the mount. Each side is a fresh process, so that what the
// allocator holds is the workload's.
void memory(int ports) {
  tag() = "e_memory";
  std::string const path = socketPath("memory");
  Child writer = Child::spawn([&](int) {
    MountPlan plan;
    plan.path = path;
    plan.ports = ports;
    plan.memory = true;
    auto mount = spawnMount(plan);
    long long const F = 1LL * ports * kStats;
    long long const h0 = heapBytes();
    auto table = statsTable(ports);
    long long const h1 = heapBytes();
    asio::io_context io;
    Ptr<Server> server = Server::ServerIs(io, UnixAddress{path});
    Ptr<Connection> conn;
    server->onConnectionIs([&](Ptr<Connection> const& c) {
      conn = c;
      for (auto const& s : table) c->rootIs(s);
    });
    mount->child.send("go");
    bool const ok = runUntil(io, *mount, "ready");
    long long const h2 = heapBytes();
    mount->child.send("END 0 0 0 0");
    runUntil(io, *mount, "done");
    mount->child.wait();
    outi("mem_ports", ports);
    outi("mem_used_memory_delta_bytes", h1 - h0);
    out("mem_bytes_per_field", double(h1 - h0) / double(F));
    out("mem_writer_replicated_bytes_per_field", double(h2 - h0) / double(F));
    outi("mem_writer_send_buffer_bytes", static_cast<long long>(conn ? conn->out()->capacity() : 0));
    server->closedIs();
    return ok ? 0 : 1;
  });
  writer.wait();
}

// ---- physical limits, measured as the peer's harness measures them

void memcpyRef() {
  std::size_t const buf = 256ull << 20, total = 1ull << 30;
  std::vector<char> src(buf, 1), dst(buf, 2);
  double best = 0;
  for (int rep = 0; rep < 2; ++rep) {
    std::uint64_t const t0 = nowNs();
    for (std::size_t done = 0; done < total; done += buf) std::memcpy(dst.data(), src.data(), buf);
    std::uint64_t const t1 = nowNs();
    best = std::max(best, double(total) / (double(t1 - t0) * 1e-9) / double(1ull << 30));
    src[std::size_t(rep)] ^= dst[buf - 1 - std::size_t(rep)];  // keeps the copies observable
  }
  out("ref_memcpy_GiB_per_s", best);
}

void socketRef() {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
  std::size_t const chunk = 64 << 10, total = 1ull << 30;
  std::uint64_t const t0 = nowNs();
  std::thread w([&] {
    std::vector<char> b(chunk, 'x');
    std::size_t sent = 0;
    while (sent < total) {
      ssize_t k = write(sv[0], b.data(), chunk);
      if (k <= 0) return;
      sent += std::size_t(k);
    }
  });
  std::vector<char> b(chunk);
  std::size_t got = 0;
  while (got < total) {
    ssize_t k = read(sv[1], b.data(), chunk);
    if (k <= 0) break;
    got += std::size_t(k);
  }
  w.join();
  std::uint64_t const t1 = nowNs();
  out("ref_unix_socket_GiB_per_s", double(got) / (double(t1 - t0) * 1e-9) / double(1ull << 30));
  close(sv[0]);
  close(sv[1]);
}

// The floor under any one-way latency here: 16 bytes from one process to
// another over a Unix socket, the reader blocked in poll() as a mount's event
// loop is, paced as the latency workload is.
void wakeupRef(double rate, double seconds) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
  long long const n = static_cast<long long>(rate * seconds);
  Child reader = Child::spawn([&](int) {
    close(sv[0]);
    std::vector<std::uint32_t> lat;
    lat.reserve(std::size_t(n));
    std::uint64_t msg[2];
    std::size_t have = 0;
    while (lat.size() < std::size_t(n)) {
      pollfd p{sv[1], POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      ssize_t k = read(sv[1], reinterpret_cast<char*>(msg) + have, sizeof msg - have);
      if (k <= 0) break;
      have += std::size_t(k);
      if (have < sizeof msg) continue;
      have = 0;
      lat.push_back(std::uint32_t(std::min<std::uint64_t>(nowNs() - msg[0], 0xffffffffu)));
    }
    if (lat.empty()) return 1;
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double q) { return lat[std::min(lat.size() - 1, std::size_t(q * double(lat.size())))] / 1e3; };
    out("ref_unix_socket_oneway_p50_us", pct(0.50));
    out("ref_unix_socket_oneway_p99_us", pct(0.99));
    out("ref_unix_socket_oneway_p999_us", pct(0.999));
    return 0;
  });
  close(sv[1]);
  std::uint64_t const t0 = nowNs();
  for (long long i = 0; i < n; ++i) {
    timespec due{};
    std::uint64_t const at = t0 + std::uint64_t(double(i) * 1e9 / rate);
    due.tv_sec = time_t(at / 1000000000ull);
    due.tv_nsec = long(at % 1000000000ull);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
    std::uint64_t msg[2] = {nowNs(), std::uint64_t(i)};
    if (write(sv[0], msg, sizeof msg) != ssize_t(sizeof msg)) break;
  }
  reader.wait();
  close(sv[0]);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Our agent-to-mount replication on the peer's workloads, printed as tag.metric=value"};
  std::vector<std::string> only;
  double scale = 1;
  app.add_option("--only", only, "Workloads to run (default: all)")
      ->check(CLI::IsMember({"a_throughput", "b_coalesce", "b2_burst_linkchange", "c_latency", "s_slow_consumer",
                             "d_resync", "e_memory", "ref"}));
  app.add_option("--scale", scale, "Multiplies every workload's updates (a quick look: 0.1)")->check(CLI::Range(0.01, 10.0));
  app.add_option("--socket-send-buffer", gServerOptions.socketSendBuffer, "The agent's SO_SNDBUF in bytes, 0 for the system's")
      ->capture_default_str();
  app.add_option("--low-priority-backlog", gLowPriorityBacklog, "Bytes waiting to be sent beyond which counters coalesce")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t(1), std::size_t(1) << 20));
  CLI11_PARSE(app, argc, argv);
  auto wanted = [&](char const* w) { return only.empty() || std::find(only.begin(), only.end(), w) != only.end(); };
  auto count = [&](double v) { return static_cast<long long>(v * scale); };

  // The peer's sizes: 1,000,000 updates round robin over 48 ports x 42
  // statistics; a burst of 500 writes to each of the 2016; 10,000 a second
  // for 5 s.
  if (wanted("d_resync")) resync(1024);
  if (wanted("e_memory")) memory(1024);
  if (wanted("a_throughput")) runWorkload("a_throughput", Workload{.n = count(1'000'000)});
  if (wanted("b_coalesce")) runWorkload("b_coalesce", Workload{.n = count(1'008'000)});
  if (wanted("b2_burst_linkchange")) {
    runWorkload("b2_burst_linkchange", Workload{.n = count(1'008'000), .markAt = count(504'000)});
  }
  if (wanted("c_latency")) {
    runWorkload("c_latency", Workload{.batch = 1, .rate = 10'000, .seconds = 5 * scale, .latency = true});
  }
  if (wanted("s_slow_consumer")) {
    // The writer at a steady 1,000,000 updates a second for 3 s; the mount
    // takes at most a tenth of that.
    runWorkload("s_slow_consumer", Workload{.rate = 1'000'000, .seconds = 3 * scale, .sampleMemory = true}, 100'000);
  }
  if (wanted("ref")) {
    tag() = "ref";
    memcpyRef();
    socketRef();
    wakeupRef(10'000, 2 * scale);
  }
  std::filesystem::remove_all(std::filesystem::path(socketPath("x")).parent_path());
  return 0;
}
