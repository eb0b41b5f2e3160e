// phypeerbench: our agent-to-mount path on the workloads of the peer's
// harness, with the peer's metric names. The agent is this process; each
// mount is a child process on a Unix socket (or TCP loopback, --transport
// tcp), so that each side's CPU and memory are its own.
//
// Every update i touches field f = i % F of F = ports x 42 statistics, and
// stores round r = i / F as the statistic's running number, so the final
// state after n updates is known to the mount in advance: it converges when
// every field holds its last round.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <asio.hpp>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "bench/replication/harness.h"
#include "runtime/attrlog/socket/socket_transport.h"
#include "serve/agent_loop.h"
#include "serve/mount_loop.h"
#include "sim/phy_sim.h"

namespace {

using namespace phybench;
using Hardware::Phy::PhyBcm54980Stats;
using Hardware::Phy::PhyStatus;
using Zef::Ptr;
using Zef::AttrLogSocket::Address;
using physerve::AgentLoop;
using physerve::MountLoop;
using Zef::AttrLogSocket::Server;
using Zef::AttrLogSocket::TcpAddress;
using Zef::AttrLogSocket::UnixAddress;
using Zef::NboAttrLog::Connection;
using std::chrono::milliseconds;

constexpr std::uint32_t kBase = 1000;  // round 0's running number: never the initial 0

// The agent's connection settings, for trying others than the defaults.
Zef::AttrLogSocket::Options gServerOptions;
std::size_t gLowPriorityBacklog = Zef::NboAttrLog::Out::kDefaultLowPriorityBacklog;
// Between agent and mount: a Unix socket, or TCP on 127.0.0.1 (the peer's
// PEER_TRANSPORT, compared like with like).
bool gTcp = false;

std::string socketPath(char const* name) {
  static auto dir = [] {
    auto d = std::filesystem::temp_directory_path() / ("phypeerbench." + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  return (dir / name).string();
}

// Where the agent listens: a socket file named `name`, or a free TCP port.
Address listenAt(char const* name) {
  if (gTcp) return TcpAddress{"127.0.0.1", 0};
  return UnixAddress{socketPath(name)};
}

// The line that starts a mount: "go unix PATH" or "go tcp PORT".
std::string goLine(Server const& s) {
  if (auto const* u = std::get_if<UnixAddress>(&s.address())) return "go unix " + u->path;
  return "go tcp " + std::to_string(s.port());
}
std::optional<Address> goAddress(std::string const& line) {
  std::istringstream in(line);
  std::string go, kind, where;
  if (!(in >> go >> kind >> where) || go != "go") return std::nullopt;
  if (kind == "unix") return UnixAddress{where};
  if (kind == "tcp") return TcpAddress{"127.0.0.1", static_cast<std::uint16_t>(std::stoi(where))};
  return std::nullopt;
}

// "chip<c>/port<p>", or "port<p>": the port's index; -1 for other names.
// The port a table entry's name ("port17") stands for, -1 for another name.
// Read as a mount's own handler would, without a scan of a format.
int portIndex(std::string_view name) {
  constexpr std::string_view kPrefix = "port";
  if (!name.starts_with(kPrefix)) return -1;
  int p = -1;
  auto [end, ec] = std::from_chars(name.data() + kPrefix.size(), name.data() + name.size(), p);
  return ec == std::errc() && end == name.data() + name.size() ? p : -1;
}

// ---- the mount

struct MountPlan {
  int ports = 48;
  long long n = 0;           // updates the agent will make; 0: nothing to track
  bool latency = false;      // keep each change's one-way delay
  bool mark = false;         // listen for port 0's link going down
  double rateLimit = 0;      // notifications a second the mount takes at most; 0: no limit
  bool memory = false;       // print the mount's bytes per field once synchronised
  bool busyPoll = false;     // turns its event loop without ever sleeping in it
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
  auto const to = goAddress(ctl.wait());
  if (!to) return 2;
  long long const heap0 = heapBytes();
  std::uint64_t const tConnect = nowNs();
  asio::io_context io;
  MountLoop mount(io, *to);
  bool disconnected = false;
  mount.onClosedIs([&](std::string const&, bool) { disconnected = true; });
  mount.start();

  long long const F = 1LL * plan.ports * kStats;
  std::vector<std::uint32_t> expected;
  if (plan.n > 0) {
    expected.assign(std::size_t(F), 0);
    for (long long f = 0; f < F && f < plan.n; ++f) expected[std::size_t(f)] = kBase + std::uint32_t((plan.n - 1 - f) / F);
  }
  std::vector<std::uint32_t> current(std::size_t(F), 0);
  long long matching = 0, total = std::min(F, plan.n);
  long long notifications = 0;
  std::uint64_t tFirstApply = 0, tLastApply = 0, tConverged = 0, tLinkDown = 0;
  bool following = false;
  std::vector<std::uint32_t> latencyNs;
  if (plan.latency) latencyNs.reserve(1 << 20);

  // The time of the last record applied is read once a batch, as the peer's
  // consumer reads it after each batch it applies: here, after the records
  // of one read, from a handler the first of them posts.
  bool stampPosted = false;
  StatsHeard::Sink sink = [&](int port, int k, std::uint32_t counter, double t) {
    if (!following) return;
    // Read first, as the floor's reader reads the clock first.
    if (plan.latency) latencyNs.push_back(std::uint32_t(std::min(4294967295.0, std::max(0.0, (nowS() - t) * 1e9))));
    ++notifications;
    if (!tFirstApply) tFirstApply = nowNs();
    if (!stampPosted) {
      stampPosted = true;
      asio::post(io, [&] {
        stampPosted = false;
        tLastApply = nowNs();
      });
    }
    if (expected.empty()) return;
    std::size_t const f = std::size_t(port) * kStats + std::size_t(k);
    bool const was = current[f] == expected[f];
    current[f] = counter;
    bool const is = counter == expected[f];
    matching += int(is) - int(was);
    // The loop may end before the posted stamp runs: the record that
    // converges stamps itself.
    if (matching == total && !tConverged) tLastApply = tConverged = nowNs();
  };
  struct LinkHeard : PhyStatus::Notifiee {
    std::uint64_t* when = nullptr;
    bool const* following = nullptr;
    void onLinkUp() override {
      if (*following && !notifier()->linkUp() && !*when) *when = nowNs();
    }
  };
  // The first synchronisation.
  while (!mount.connection()->isSynced()) {
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
  // The ports are found in the statuses directory.
  Ptr<Hardware::Phy::PhyBcm54980StatusDir> const statuses = mount.statuses();
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
  std::uint64_t endAt = 0;
  for (;;) {
    // As the peer's slow consumer: no more than rateLimit a second since the
    // first one.
    if (plan.rateLimit > 0 && tFirstApply &&
        double(notifications) > plan.rateLimit * double(nowNs() - tFirstApply) * 1e-9) {
      std::this_thread::sleep_for(milliseconds(1));  // a consumer that cannot keep up: it reads nothing meanwhile
    } else if (plan.busyPoll) {
      io.poll();
    } else if (plan.rateLimit > 0) {
      io.run_one_for(milliseconds(1));  // one read at a time: the limit is looked at after each
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
  if (t0 && tLastApply > t0) {
    // Records applied here a second, from the writer's first update to the
    // last record applied: updates coalesced on the way do not count.
    out("wall_first_write_to_last_apply_s", double(tLastApply - t0) * 1e-9);
    out("applied_records_per_s", double(notifications) / (double(tLastApply - t0) * 1e-9));
  }
  if (!expected.empty() && t0) {
    if (tConverged) {
      double const wall = double(tConverged - t0) * 1e-9;
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

// A mount is this program started again in a mount's role (`args`), as a
// real mount is a process of its own. A forked copy would share the agent's
// pages, and after earlier workloads each side would pay to copy every page
// it writes: the link change in a burst read 130-160 µs that way against
// 35-58 µs. The mount writes to the agent on the pipe given as `--back`.
std::unique_ptr<Mount> execMount(std::vector<std::string> args) {
  int back[2];
  if (pipe(back) != 0) std::abort();
  args.insert(args.end(), {"--back", std::to_string(back[1]), "--tag", tag()});
  Child c = Child::exec(std::move(args), {back[0]});
  close(back[1]);
  return std::unique_ptr<Mount>(new Mount{std::move(c), std::make_unique<LineReader>(back[0]), back[0]});
}

std::unique_ptr<Mount> spawnMount(MountPlan const& plan) {
  std::vector<std::string> args{"--role", "mount", "--ports", std::to_string(plan.ports), "--updates",
                                std::to_string(plan.n)};
  if (plan.rateLimit > 0) args.insert(args.end(), {"--rate-limit", std::to_string(plan.rateLimit)});
  if (plan.latency) args.push_back("--latency");
  if (plan.mark) args.push_back("--mark");
  if (plan.memory) args.push_back("--memory");
  if (plan.busyPoll) args.push_back("--busy-poll");
  return execMount(std::move(args));
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

// Runs update(0) .. update(n - 1) at `rate` a second from t0 on, as an
// agent's poll runs: from one timer of its event loop, re-armed in the
// timer's own handler, the loop asleep between: what the updates write
// leaves as an agent's does.
template <class F>
void paced(asio::io_context& io, long long n, double rate, std::uint64_t t0, F const& update) {
  struct Fire {
    asio::steady_timer& timer;
    long long& i;
    long long n;
    double rate;
    std::uint64_t t0;
    F const& update;
    std::chrono::steady_clock::time_point due() const {
      return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(t0 + std::uint64_t(double(i) * 1e9 / rate)));
    }
    void operator()(std::error_code) const {
      update(i);
      if (++i == n) return;
      timer.expires_at(due());
      timer.async_wait(*this);
    }
  };
  asio::steady_timer timer(io);
  long long i = 0;
  Fire const fire{timer, i, n, rate, t0, update};
  timer.expires_at(fire.due());
  timer.async_wait(fire);
  while (i < n && !io.stopped()) io.run_one();
}

// The agent's connection settings, as given.
AgentLoop::Settings serving() {
  AgentLoop::Settings s;
  s.socket = gServerOptions;
  return s;
}

// 48 ports as the driver keeps them, served to one mount.
struct Agent {
  asio::io_context io;
  phytools::PhyDriver driver{6, 8};
  std::vector<Ptr<PhyBcm54980Stats>> stats;
  Ptr<Hardware::Phy::PhyBcm54980Status> port0;
  AgentLoop loop{io, driver.roots(), serving()};
  Ptr<Connection> conn;
  bool dropped = false;

  explicit Agent(Address const& where) {
    for (unsigned p = 0; p < driver.ports(); ++p) {
      auto st = driver.statuses()->phyStatus(phytools::portName(p / 8, p % 8));
      stats.push_back(st->bcmStats());
      if (p == 0) port0 = st;
    }
    port0->linkUpIs(true);  // so that the link change in the middle of a burst is one
    loop.onConnectionIs([this](Ptr<Connection> const& c) {
      conn = c;
      c->out()->lowPriorityBacklogIs(gLowPriorityBacklog);
    });
    loop.onClosedIs([this](Ptr<Connection> const&, Zef::String8 const&) { dropped = true; });
    loop.listen(where);
  }
  ~Agent() { loop.stop("done"); }
};

struct Workload {
  long long n = 0;
  int batch = 256;          // updates between turns of the event loop, unpaced
  double rate = 0;          // updates a second; 0: as fast as it goes
  double seconds = 0;       // with a rate: how long
  long long markAt = -1;    // port 0's link goes down before this update
  bool latency = false;
  bool sampleMemory = false;
  // Each update waits until its record goes below the backlog beyond which
  // counters coalesce: every update is sent, at the pace the mount reads.
  bool noCoalesce = false;
  bool busyPollMount = false;
};

// Room for one counter's record, with its header.
constexpr std::size_t kRecordRoom = 64;

// One workload: a mount, the updates, the agent's figures after the mount's.
void runWorkload(char const* name, Workload w, double rateLimit = 0) {
  tag() = name;
  long long const n = w.rate > 0 ? static_cast<long long>(w.rate * w.seconds) : w.n;
  MountPlan plan;
  plan.n = w.latency ? 0 : n;
  plan.latency = w.latency;
  plan.mark = w.markAt >= 0;
  plan.rateLimit = rateLimit;
  plan.busyPoll = w.busyPollMount;
  auto mount = spawnMount(plan);
  Agent agent(listenAt(name));
  mount->child.send(goLine(*agent.loop.server()));
  if (!runUntil(agent.io, *mount, "ready")) {
    std::fprintf(stderr, "%s: the mount did not synchronise\n", name);
    return;
  }
  long long const F = 1LL * int(agent.stats.size()) * kStats;
  std::uint64_t const records0 = agent.conn->out()->recordsWritten();
  long const rssStart = rssKb();
  long long const heapStart = heapBytes();
  long long heapPeak = heapStart;
  std::size_t bufferMax = 0;
  Zef::NboAttrLog::Out const& sendBuf = *agent.conn->out();
  std::uint64_t nextSample = 0, tMark = 0;
  double const cpu0 = cpuS();
  std::uint64_t const t0 = nowNs();
  auto const update = [&](long long i) {
    long long const f = i % F, r = i / F;
    double const t = w.latency ? nowS() : double(r);
    statIs(*agent.stats[std::size_t(f / kStats)], int(f % kStats), kBase + std::uint32_t(r), t);
  };
  if (w.rate > 0) paced(agent.io, n, w.rate, t0, update);
  for (long long i = 0; w.rate == 0 && i < n; ++i) {
    if (i == w.markAt) {
      tMark = nowNs();
      agent.port0->lastLinkChangeIs(double(tMark) * 1e-9);
      agent.port0->linkUpIs(false);
    }
    if (w.noCoalesce) {
      while (sendBuf.size() + kRecordRoom >= sendBuf.lowPriorityBacklog() && !agent.dropped) {
        agent.io.run_one_for(milliseconds(1));
      }
    }
    update(i);
    if ((i + 1) % w.batch == 0) agent.io.poll();
    if (w.sampleMemory && nowNs() >= nextSample) {
      heapPeak = std::max(heapPeak, heapBytes());
      bufferMax = std::max(bufferMax, sendBuf.size());
      nextSample = nowNs() + 1'000'000;
    }
  }
  agent.io.poll();
  std::uint64_t const t1 = nowNs();
  mount->child.send("END " + std::to_string(n) + " " + std::to_string(t0) + " " + std::to_string(t1) + " " +
                    std::to_string(tMark));
  // The agent goes on serving until the mount has everything.
  bool const finished = runUntil(agent.io, *mount, "done");
  double const cpu = cpuS() - cpu0;
  if (w.sampleMemory) heapPeak = std::max(heapPeak, heapBytes());
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
    // The writer is a fresh process: its high-water mark is this workload's.
    outi("writer_rss_kb_start", rssStart);
    outi("writer_rss_hwm_kb", rssHwmKb());
    outi("writer_rss_kb_end", rssKb());
    outi("writer_heap_bytes_start", heapStart);
    outi("writer_heap_bytes_peak", heapPeak);
    outi("writer_send_buffer_max_bytes", static_cast<long long>(bufferMax));
  }
  std::fflush(stdout);
}

// ---- resync and memory: 1024 ports' statistics alone, as the peer's table
// holds them

// The table's entries as the roots an agent serves.
std::vector<Ptr<Zef::Entity>> rootsOf(std::vector<Ptr<PhyBcm54980Stats>> const& table) {
  return {table.begin(), table.end()};
}

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

// The mount's side, in a process of its own: `fd` brings the agent's
// address, `back` takes "done"; it stays connected until `fd` brings
// another line or ends.
int resyncMount(int fd, int back, int ports) {
  LineReader ctl(fd);
  auto const to = goAddress(ctl.wait());
  if (!to) return 2;
  asio::io_context io;
  MountLoop mount(io, *to);
  // The clock starts where the peer's does: at the call that makes the
  // client's connection. The counters beside it are read before it, since
  // reading them takes tens of microseconds.
  long const cpu0 = cpuUs(), faults0 = minorFaults(), wait0 = runQueueWaitUs();
  std::uint64_t const t0 = nowNs();
  mount.start();
  // Where the time goes: connected, first bytes in, synchronised.
  std::uint64_t tConnected = 0, tFirstBytes = 0;
  long cpuFirstBytes = 0, cpuConnected = 0;
  while (!mount.connection()->isSynced() && mount.state() != MountLoop::State::closed && nowNs() - t0 < 60'000'000'000ull) {
    io.run_one_for(milliseconds(100));
    if (!tConnected && mount.state() == MountLoop::State::connected) tConnected = nowNs(), cpuConnected = cpuUs();
    if (!tFirstBytes && mount.connection()->bytesReceivedCount() > 0) tFirstBytes = nowNs(), cpuFirstBytes = cpuUs();
  }
  std::uint64_t const t1 = nowNs();
  long const cpu1 = cpuUs(), faults1 = minorFaults(), wait1 = runQueueWaitUs();
  // The check, after the clock, as the peer's client checks its fields: each
  // port's entity found by its name among those mounted.
  std::vector<Ptr<PhyBcm54980Stats>> got(static_cast<std::size_t>(ports));
  for (auto const& e : mount.connection()->mounted()) {
    int const p = portIndex(e->name().str());
    if (auto* s = dynamic_cast<PhyBcm54980Stats*>(e.ptr()); s && p >= 0 && p < ports) got[std::size_t(p)] = Ptr<PhyBcm54980Stats>(s);
  }
  long long fields = 0, wrong = 0, keys = 0;
  for (int p = 0; p < ports; ++p) {
    if (!got[std::size_t(p)]) continue;
    ++keys;
    for (int k = 0; k < kStats; ++k, ++fields) wrong += stat(*got[std::size_t(p)], k).first != kBase + std::uint32_t(p * kStats + k);
  }
  std::uint64_t const bytes = mount.connection()->bytesReceivedCount();
  outi("resync_keys", keys);
  outi("resync_fields", fields);
  outi("resync_ok", keys == ports && fields == 1LL * ports * kStats && wrong == 0);
  out("resync_total_ms", double(t1 - t0) * 1e-6);
  out("resync_connected_ms", double(tConnected - t0) * 1e-6);
  out("resync_first_bytes_ms", double(tFirstBytes - t0) * 1e-6);
  out("resync_mount_cpu_ms", double(cpu1 - cpu0) * 1e-3);
  out("resync_mount_cpu_to_first_bytes_ms", double(cpuFirstBytes - cpu0) * 1e-3);
  out("resync_mount_cpu_to_connected_ms", double(cpuConnected - cpu0) * 1e-3);
  outi("resync_mount_page_faults", faults1 - faults0);
  out("resync_mount_runqueue_wait_ms", double(wait1 - wait0) * 1e-3);
  outi("resync_wire_bytes_server", static_cast<long long>(bytes));
  out("resync_wire_bytes_per_field", double(bytes) / double(std::max(1LL, fields)));
  std::fflush(stdout);
  if (write(back, "done\n", 5) < 0) return 1;
  // Attached until the agent lets it go.
  ctl.wait();
  return 0;
}

// A fresh mount's first synchronisation, timed from its connect to its last
// record applied; it checks every field it got. The mount is this program
// started again, as a real mount is a process of its own: a forked copy
// would share the agent's pages, and each side would then pay to copy every
// page it writes.
//
// Two mounts, one after the other, each a fresh process. The first, the
// compared one, meets an agent that has served nobody since it started, as
// the peer's client meets a server whose resync has not run before. The
// second (`d_resync_served_before`) meets the same agent with the first still
// attached and idle: its accept, its connection's set-up and its first
// synchronisation have all run once. The first stays until the end: a
// process that ends keeps the kernel busy on one core for milliseconds
// afterwards, freeing what it held, and the second would share the other
// core with the agent meanwhile.
void resync(int ports) {
  asio::io_context io;
  auto table = statsTable(ports);
  AgentLoop agent(io, rootsOf(table), serving());
  agent.listen(listenAt("resync"));
  std::vector<std::unique_ptr<Mount>> mounts;
  for (char const* name : {"d_resync", "d_resync_served_before"}) {
    tag() = name;
    mounts.push_back(execMount({"--role", "resync-mount", "--ports", std::to_string(ports)}));
    long const cpu0 = cpuUs(), faults0 = minorFaults(), wait0 = runQueueWaitUs();
    mounts.back()->child.send(goLine(*agent.server()));
    if (!runUntil(io, *mounts.back(), "done")) break;
    // The agent's side of the same resync, until the mount said it was done.
    out("resync_agent_cpu_ms", double(cpuUs() - cpu0) * 1e-3);
    outi("resync_agent_page_faults", minorFaults() - faults0);
    out("resync_agent_runqueue_wait_ms", double(runQueueWaitUs() - wait0) * 1e-3);
    std::fflush(stdout);
  }
  for (auto& m : mounts) m->child.send("bye");
  for (auto& m : mounts) m->child.wait();
  agent.stop("done");
}

// Bytes per field: the writer's entities alone, the writer with one mount
// attached, and the mount. Each side is a fresh process, so that what the
// allocator holds is the workload's.
void memory(int ports) {
  tag() = "e_memory";
  Child writer = Child::spawn([&](int) {
    MountPlan plan;
    plan.ports = ports;
    plan.memory = true;
    auto mount = spawnMount(plan);
    long long const F = 1LL * ports * kStats;
    long long const h0 = heapBytes();
    long long const s0 = slabHeldBytes();
    auto table = statsTable(ports);
    long long const h1 = heapBytes();
    asio::io_context io;
    AgentLoop agent(io, rootsOf(table), serving());
    Ptr<Connection> conn;
    agent.onConnectionIs([&](Ptr<Connection> const& c) { conn = c; });
    agent.listen(listenAt("memory"));
    mount->child.send(goLine(*agent.server()));
    bool const ok = runUntil(io, *mount, "ready");
    long long const h2 = heapBytes();
    long long const s2 = slabHeldBytes();
    mount->child.send("END 0 0 0 0");
    runUntil(io, *mount, "done");
    mount->child.wait();
    outi("mem_ports", ports);
    outi("mem_used_memory_delta_bytes", h1 - h0);
    out("mem_bytes_per_field", double(h1 - h0) / double(F));
    out("mem_writer_replicated_bytes_per_field", double(h2 - h0) / double(F));
    out("mem_writer_slabs_held_bytes_per_field", double(s2 - s0) / double(F));
    outi("mem_writer_send_buffer_bytes", static_cast<long long>(conn ? conn->out()->bufferBytes() : 0));
    agent.stop("done");
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

// A connected pair of stream sockets: [0] accepted (the agent's end), [1]
// connected (the mount's). TCP on 127.0.0.1, or a Unix socket pair.
bool socketPair(bool tcp, int fds[2]) {
  if (!tcp) return socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0;
  int const ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof addr;
  if (ls < 0 || bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(ls, 1) != 0 ||
      getsockname(ls, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) {
    if (ls >= 0) close(ls);
    return false;
  }
  int const cs = socket(AF_INET, SOCK_STREAM, 0);
  if (cs < 0 || connect(cs, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (cs >= 0) close(cs);
    close(ls);
    return false;
  }
  int const as = accept(ls, nullptr, nullptr);
  close(ls);
  if (as < 0) {
    close(cs);
    return false;
  }
  // As the transport's streams: no write waits for an acknowledgement.
  int const one = 1;
  setsockopt(as, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(cs, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fds[0] = as;
  fds[1] = cs;
  return true;
}

// 1 GiB in 64 KiB writes from one thread to another, as the peer's harness.
double streamGiBPerS(int wfd, int rfd) {
  std::size_t const chunk = 64 << 10, total = 1ull << 30;
  std::uint64_t const t0 = nowNs();
  std::thread w([&] {
    std::vector<char> b(chunk, 'x');
    std::size_t sent = 0;
    while (sent < total) {
      ssize_t k = write(wfd, b.data(), chunk);
      if (k <= 0) return;
      sent += std::size_t(k);
    }
  });
  std::vector<char> b(chunk);
  std::size_t got = 0;
  while (got < total) {
    ssize_t k = read(rfd, b.data(), chunk);
    if (k <= 0) break;
    got += std::size_t(k);
  }
  w.join();
  std::uint64_t const t1 = nowNs();
  return double(got) / (double(t1 - t0) * 1e-9) / double(1ull << 30);
}

void socketRef() {
  for (bool tcp : {false, true}) {
    int sv[2];
    if (!socketPair(tcp, sv)) continue;
    out(tcp ? "ref_tcp_loopback_GiB_per_s" : "ref_unix_socket_GiB_per_s", streamGiBPerS(sv[0], sv[1]));
    close(sv[0]);
    close(sv[1]);
  }
}

// The floor's reader waits exactly as a mount does: Asio's epoll reactor, in
// turns of io.run_for(1 ms), reads of 64 KiB as the transport's, and its
// control pipe looked at between turns. One-way delay of each message.
template <class Protocol>
std::vector<std::uint32_t> readAsAMount(int fd, Protocol protocol, int ctlFd, long long n) {
  LineReader ctl(ctlFd);
  asio::io_context io;
  typename Protocol::socket sock(io, protocol, fd);
  std::vector<std::uint32_t> lat;
  lat.reserve(std::size_t(n));
  std::vector<unsigned char> buf(64 * 1024);
  std::uint64_t msg[2];
  std::size_t have = 0;
  bool closed = false;
  std::function<void()> readNext = [&] {
    sock.async_read_some(asio::buffer(buf), [&](std::error_code ec, std::size_t k) {
      if (ec) {
        closed = true;
        return;
      }
      std::uint64_t const now = nowNs();
      for (std::size_t i = 0; i < k;) {
        std::size_t const take = std::min(sizeof msg - have, k - i);
        std::memcpy(reinterpret_cast<char*>(msg) + have, buf.data() + i, take);
        have += take;
        i += take;
        if (have < sizeof msg) continue;
        have = 0;
        lat.push_back(std::uint32_t(std::min<std::uint64_t>(now - msg[0], 0xffffffffu)));
      }
      readNext();
    });
  };
  readNext();
  while (!closed && lat.size() < std::size_t(n)) {
    io.run_for(milliseconds(1));
    (void)ctl.poll();
  }
  return lat;
}

// The floor's reader, in a process of its own: reads `n` messages from
// `fd`, then prints their delays' percentiles as `name`_*.
int floorReader(int fd, int ctlFd, long long n, std::string const& name) {
  // Started: the writer waits for this byte, so no delay counts our start.
  char const ready = 'r';
  if (write(fd, &ready, 1) != 1) return 1;
  std::vector<std::uint32_t> lat = gTcp ? readAsAMount(fd, asio::ip::tcp::v4(), ctlFd, n)
                                        : readAsAMount(fd, asio::local::stream_protocol(), ctlFd, n);
  if (lat.empty()) return 1;
  std::sort(lat.begin(), lat.end());
  auto pct = [&](double q) { return lat[std::min(lat.size() - 1, std::size_t(q * double(lat.size())))] / 1e3; };
  outi((name + "_samples").c_str(), static_cast<long long>(lat.size()));
  out((name + "_p50_us").c_str(), pct(0.50));
  out((name + "_p99_us").c_str(), pct(0.99));
  out((name + "_p999_us").c_str(), pct(0.999));
  std::fflush(stdout);
  return 0;
}

// The floor under any one-way latency here: 16 bytes from one process to
// another over the transport in use, the reader waiting as the mount does,
// paced as the latency workload is. With `asAnAgent` the writer waits as
// ours does, in an event loop whose timer is re-armed after each write, so
// that the two differ only by the replication; otherwise it sleeps in
// clock_nanosleep between writes, the least a writer can do. Which of the two
// wakes the reader sooner depends on the machine's scheduler: a reader woken
// on the writer's core waits for what the writer does before it sleeps.
void wakeupRef(double rate, double seconds, bool asAnAgent) {
  int sv[2];
  if (!socketPair(gTcp, sv)) return;
  if (gServerOptions.socketSendBuffer > 0) {
    int const b = int(gServerOptions.socketSendBuffer);  // as the agent's socket
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &b, sizeof b);
  }
  std::string const name = asAnAgent ? "oneway_floor" : "oneway_floor_sleeping_writer";
  long long const n = static_cast<long long>(rate * seconds);
  // Started as the mount is, a process of its own.
  Child reader = Child::exec({"--role", "floor-reader", "--socket", std::to_string(sv[1]), "--updates", std::to_string(n),
                              "--transport", gTcp ? "tcp" : "unix", "--tag", tag(), "--floor-name", name},
                             {sv[0]});
  close(sv[1]);
  char ready = 0;
  if (read(sv[0], &ready, 1) != 1) {
    close(sv[0]);
    reader.wait();
    return;
  }
  auto const send = [&](long long i) {
    std::uint64_t msg[2] = {nowNs(), std::uint64_t(i)};
    return write(sv[0], msg, sizeof msg) == ssize_t(sizeof msg);
  };
  std::uint64_t const t0 = nowNs();
  if (asAnAgent) {
    asio::io_context io;
    paced(io, n, rate, t0, [&](long long i) {
      if (!send(i)) io.stop();
    });
  } else {
    for (long long i = 0; i < n; ++i) {
      timespec due{};
      std::uint64_t const at = t0 + std::uint64_t(double(i) * 1e9 / rate);
      due.tv_sec = time_t(at / 1000000000ull);
      due.tv_nsec = long(at % 1000000000ull);
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
      }
      if (!send(i)) break;
    }
  }
  shutdown(sv[0], SHUT_WR);  // a reader short of messages sees the end
  reader.wait();
  close(sv[0]);
}

// This program again, with `args`, in a process of its own: a workload whose
// memory peak must be its alone. Its figures go to the same output.
int runFresh(std::vector<std::string> const& args) { return Child::exec(args).wait(); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Our agent-to-mount replication on the peer's workloads, printed as tag.metric=value"};
  std::vector<std::string> only;
  double scale = 1;
  std::string transport = "unix";
  bool fresh = false;
  app.add_option("--only", only, "Workloads to run (default: all)")
      ->check(CLI::IsMember({"a_throughput", "a_nocoalesce", "b_coalesce", "b2_burst_linkchange", "c_latency",
                             "c_latency_busypoll", "s_slow_consumer", "d_resync", "e_memory", "ref"}));
  app.add_option("--scale", scale, "Multiplies every workload's updates (a quick look: 0.1)")->check(CLI::Range(0.01, 10.0));
  app.add_option("--transport", transport, "Between agent and mount: a Unix socket, or TCP on 127.0.0.1")
      ->check(CLI::IsMember({"unix", "tcp"}))
      ->capture_default_str();
  app.add_option("--socket-send-buffer", gServerOptions.socketSendBuffer, "The agent's SO_SNDBUF in bytes, 0 for the system's")
      ->capture_default_str();
  app.add_option("--low-priority-backlog", gLowPriorityBacklog, "Bytes waiting to be sent beyond which counters coalesce")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t(1), std::size_t(1) << 20));
  // Set when this program runs itself for a workload that needs a fresh process.
  app.add_flag("--fresh", fresh)->group("");
  // Set when this program runs itself as a mount or as the floor's reader;
  // the pipe from the agent comes last.
  std::string role, floorName;
  MountPlan plan;
  int backFd = -1, socketFd = -1, ctlFd = -1;
  app.add_option("--role", role)->check(CLI::IsMember({"mount", "resync-mount", "floor-reader"}))->group("");
  app.add_option("--tag", tag())->group("");
  app.add_option("--back", backFd)->group("");
  app.add_option("--socket", socketFd)->group("");
  app.add_option("--ports", plan.ports)->group("");
  app.add_option("--updates", plan.n)->group("");
  app.add_option("--rate-limit", plan.rateLimit)->group("");
  app.add_flag("--latency", plan.latency)->group("");
  app.add_flag("--mark", plan.mark)->group("");
  app.add_flag("--memory", plan.memory)->group("");
  app.add_flag("--busy-poll", plan.busyPoll)->group("");
  app.add_option("--floor-name", floorName)->group("");
  app.add_option("ctl", ctlFd)->group("");
  CLI11_PARSE(app, argc, argv);
  gTcp = transport == "tcp";
  if (role == "mount") return mountMain(plan, ctlFd, backFd);
  if (role == "resync-mount") return resyncMount(ctlFd, backFd, plan.ports);
  if (role == "floor-reader") return floorReader(socketFd, ctlFd, plan.n, floorName);
  auto wanted = [&](char const* w) { return only.empty() || std::find(only.begin(), only.end(), w) != only.end(); };
  auto count = [&](double v) { return static_cast<long long>(v * scale); };
  if (!fresh) std::printf("env.transport=%s\n", transport.c_str());

  // The peer's sizes: 1,000,000 updates round robin over 48 ports x 42
  // statistics; a burst of 500 writes to each of the 2016; 10,000 a second
  // for 5 s; 3,000,000 updates to a consumer of 100,000 a second.
  if (wanted("d_resync")) resync(1024);
  if (wanted("e_memory")) memory(1024);
  if (wanted("a_throughput")) runWorkload("a_throughput", Workload{.n = count(1'000'000)});
  if (wanted("a_nocoalesce")) runWorkload("a_nocoalesce", Workload{.n = count(1'000'000), .noCoalesce = true});
  if (wanted("b_coalesce")) runWorkload("b_coalesce", Workload{.n = count(1'008'000)});
  if (wanted("b2_burst_linkchange")) {
    runWorkload("b2_burst_linkchange", Workload{.n = count(1'008'000), .markAt = count(504'000)});
  }
  if (wanted("c_latency")) {
    runWorkload("c_latency", Workload{.rate = 10'000, .seconds = 5 * scale, .latency = true});
  }
  if (wanted("c_latency_busypoll")) {
    runWorkload("c_latency_busypoll",
                Workload{.rate = 10'000, .seconds = 5 * scale, .latency = true, .busyPollMount = true});
  }
  if (wanted("s_slow_consumer")) {
    // The writer as fast as it goes; the mount takes at most 100,000 records
    // a second. In a fresh process, so that the writer's memory peak is this
    // workload's alone.
    if (fresh) {
      runWorkload("s_slow_consumer", Workload{.n = count(3'000'000), .sampleMemory = true}, 100'000);
    } else {
      char scaleText[32];
      std::snprintf(scaleText, sizeof scaleText, "%.17g", scale);
      int const rc = runFresh({"--fresh", "--only", "s_slow_consumer", "--transport", transport, "--scale", scaleText,
                               "--socket-send-buffer", std::to_string(gServerOptions.socketSendBuffer),
                               "--low-priority-backlog", std::to_string(gLowPriorityBacklog)});
      if (rc != 0) std::printf("s_slow_consumer.exit_status=%d\n", rc);
    }
  }
  if (wanted("ref")) {
    tag() = "ref";
    memcpyRef();
    socketRef();
    wakeupRef(10'000, 2 * scale, true);
    wakeupRef(10'000, 2 * scale, false);
  }
  std::filesystem::remove_all(std::filesystem::path(socketPath("x")).parent_path());
  return 0;
}
