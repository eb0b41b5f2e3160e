// phychassisbench: agent-to-mount replication at chassis scale, on this
// machine. The agent (this process) drives 512 simulated chips of 8 ports
// and serves them on a Unix socket to 8 mounts, each a child process. It
// polls every port at 1 Hz for a while (its CPU is the figure), then flaps
// links at 10,000 a second round-robin over every port. Each mount then says
// how soon after the storm its whole state equalled the agent's: its state
// is compared with the agent's dump once the stream has paused, and when
// they are equal it has been so since the last byte it received.
//
// The agent tells a mount over its pipe:  "go", then
// "stop T_STOP_NS N0 N1 ...", each port's linkState changes in port order,
// then "dump PATH" and "print". A mount answers on a pipe shared by all:
// "synced I" (or "unsynced I"), "settled I", then
// "result I CONVERGED MS MISMATCHES RSS_SYNCED HEAP_SYNCED RSS HEAP DISCONNECTED LINKS_MS".
#include <CLI/CLI.hpp>

#include <asio.hpp>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/replication/harness.h"
#include "runtime/attrlog/socket/socket_transport.h"
#include "serve/agent_loop.h"
#include "serve/mount_loop.h"
#include "sim/phy_sim.h"
#include "tools/phy_cli.h"
#include "types/phy_bcm54980_types.h"

namespace {

using namespace Hardware::Phy;
using phybench::nowNs;
using Zef::Ptr;
using Zef::String8;
using Zef::AttrLogSocket::UnixAddress;
using Zef::NboAttrLog::Connection;
using Clock = std::chrono::steady_clock;

// A mount gives up on convergence after this long, and on any line from
// the agent after kLineWaitS (the agent's own deadlines are shorter).
constexpr double kPatienceS = 30;
constexpr double kLineWaitS = 120;

struct Options {
  unsigned portsPerChip = 8;
  unsigned chips = 512;
  unsigned mounts = 8;
  double seconds = 5;
  double stormSeconds = 2;
  double stormHz = 10000;
  double connectGapMs = 0;
  unsigned ports() const { return chips * portsPerChip; }
};

Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Set before the mounts are forked, so that every process's log counts from
// the same moment.
std::uint64_t gStartNs = 0;

void log(std::string const& who, std::string const& what) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%8.3f] ", double(nowNs() - gStartNs) * 1e-9);
  // One write, so that the processes' lines do not interleave.
  std::string const l = stamp + who + ": " + what + "\n";
  if (write(STDERR_FILENO, l.data(), l.size()) < 0) return;
}

// One line up the shared pipe; short enough to arrive whole beside the
// other mounts' lines.
void tell(int fd, std::string const& line) {
  std::string l = line + "\n";
  if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) log("mount", "cannot write to the agent");
}

// The pipes of the mounts spawned earlier are inherited too; a mount that
// holds another's pipe open would keep it from seeing its agent go away.
void closeAllBut(int a, int b) {
  if (a > b) std::swap(a, b);
  if (a > 3) close_range(3, unsigned(a) - 1, 0);
  if (b > a + 1) close_range(unsigned(a) + 1, unsigned(b) - 1, 0);
  close_range(unsigned(b) + 1, ~0u, 0);
}

// "chip<c>/port<p>" -> its index in the agent's port order.
bool portIndex(std::string const& name, Options const& o, unsigned* index) {
  unsigned c = 0, p = 0;
  char tail = 0;
  if (std::sscanf(name.c_str(), "chip%u/port%u%c", &c, &p, &tail) != 2 || c >= o.chips || p >= o.portsPerChip) {
    return false;
  }
  *index = c * o.portsPerChip + p;
  return true;
}

// ---- a mount, in its own process

class MountProcess {
 public:
  MountProcess(Options const& o, unsigned index, std::string socketPath, int pipeFd, int backFd)
      : o_(o),
        index_(index),
        who_("mount" + std::to_string(index)),
        socketPath_(std::move(socketPath)),
        pipeFd_(pipeFd),
        lines_(pipeFd),
        backFd_(backFd),
        agentPid_(getppid()),
        changes_(o.ports(), 0),
        heardNs_(o.ports(), 0),
        statusHeard_(o.ports()),
        statsHeard_(o.ports()) {}

  int run() {
    if (lines_.wait() != "go") return 2;  // the agent never served
    asio::io_context io;
    auto work = asio::make_work_guard(io);  // run_for waits its time even with nothing to do
    physerve::MountLoop mount(io, UnixAddress{socketPath_});
    loop_ = &mount;
    mount.onMountedIs([this](Ptr<Zef::Entity> const& e) { mounted(e); });
    mount.onClosedIs([this](std::string const& why, bool) {
      disconnected_ = true;
      log(who_, "connection closed: " + why);
    });
    mount.start();
    Ptr<Connection> conn = mount.connection();
    conn_ = conn;

    // No reconnection here: a mount cut off is done for.
    double const connectS = phybench::nowS();
    if (serve(io, [&] { return conn->isSynced() || disconnected_; }, kPatienceS) && !disconnected_) {
      rssSynced_ = phybench::rssKb();
      heapSynced_ = phybench::heapBytes();
      log(who_, "synced in " + std::to_string(phybench::nowS() - connectS) + " s, " +
                    std::to_string(portsHeard_) + " ports heard");
      tell(backFd_, "synced " + std::to_string(index_));
    } else {
      log(who_, disconnected_ ? "cut off before its first sync" : "not synced after " + std::to_string(int(kPatienceS)) + " s");
      tell(backFd_, "unsynced " + std::to_string(index_));
    }

    std::string line;
    if (serve(io, [&] { return lineIs("stop", &line); }, kLineWaitS) && expectedIs(line)) {
      linksConverged_ = serve(io, [&] { return unequal_ == 0 || disconnected_; }, kPatienceS) && unequal_ == 0;
      if (linksConverged_) {
        std::uint64_t last = *std::max_element(heardNs_.begin(), heardNs_.end());
        linksMs_ = last > tStopNs_ ? double(last - tStopNs_) * 1e-6 : 0;
        log(who_, "every port's link count is the agent's " + std::to_string(linksMs_) + " ms after the storm");
        // The rest of the state may follow the link counts: settled once it stops coming.
        streamPaused(io);
      } else {
        log(who_, std::to_string(unequal_) + " ports' link counts still differ" +
                      (disconnected_ ? std::string(", cut off") : " after " + std::to_string(int(kPatienceS)) + " s"));
      }
      tell(backFd_, "settled " + std::to_string(index_));
    }

    // What the mount holds once the storm is over; the comparison's own
    // buffers come after.
    rss_ = phybench::rssKb();
    heap_ = phybench::heapBytes();

    if (serve(io, [&] { return lineIs("dump", &line); }, kLineWaitS)) {
      // Compared once the stream pauses: equal then, the state has been
      // equal since the last byte arrived, as nothing changed it after.
      bool const paused = streamPaused(io);
      compare(line.substr(5));
      if (linksConverged_ && paused && mismatches_ == 0 && !disconnected_) {
        converged_ = true;
        convergedMs_ = lastBytesNs_ > tStopNs_ ? double(lastBytesNs_ - tStopNs_) * 1e-6 : 0;
        log(who_, "whole state equal to the agent's " + std::to_string(convergedMs_) + " ms after the storm");
      }
    }
    char result[256];
    std::snprintf(result, sizeof result, "result %u %d %.6f %lld %ld %lld %ld %lld %d %.6f", index_, int(converged_),
                  convergedMs_, mismatches_, rssSynced_, heapSynced_, rss_, heap_, int(disconnected_), linksMs_);
    tell(backFd_, result);
    mount.onClosedIs(nullptr);  // the agent closes the connections once every mount reported

    // Figures in mount order: the agent says when it is this one's turn.
    if (serve(io, [&] { return lineIs("print", &line); }, kLineWaitS)) print();
    mount.stop("done");
    statsHeard_.clear();
    statusHeard_.clear();
    statusesHeard_ = nullptr;
    statuses_ = nullptr;
    conn_ = nullptr;
    loop_ = nullptr;
    work.reset();
    io.run_for(std::chrono::milliseconds(200));  // returns as soon as the close is through
    return converged_ && mismatches_ == 0 ? 0 : 1;
  }

 private:
  // Runs the event loop a handler at a time until `done` or `limitS`
  // seconds, noting when bytes last arrived; false on the latter or when the
  // agent went away.
  bool serve(asio::io_context& io, std::function<bool()> const& done, double limitS) {
    Clock::time_point const end = Clock::now() + seconds(limitS);
    while (!done()) {
      if (Clock::now() >= end || agentGone()) return false;
      io.run_one_for(std::chrono::milliseconds(5));
      // After the handler: what it read is applied by now.
      if (conn_ && conn_->bytesReceivedCount() != bytesSeen_) {
        bytesSeen_ = conn_->bytesReceivedCount();
        lastBytesNs_ = nowNs();
      }
    }
    return true;
  }

  // Serves until nothing has arrived for 100 ms (at most 5 s).
  bool streamPaused(asio::io_context& io) {
    return serve(io, [&] { return nowNs() - lastBytesNs_ >= 100'000'000ull; }, 5);
  }

  // The agent exited, or closed this mount's pipe with nothing left to read.
  bool agentGone() const {
    pollfd p{pipeFd_, POLLIN, 0};
    return getppid() != agentPid_ || (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN));
  }

  // True when the agent's next line, read without blocking, starts with
  // `word`; a line of another kind is a fault of the agent and is dropped.
  bool lineIs(char const* word, std::string* line) {
    auto l = lines_.poll();
    if (!l) return false;
    if (l->rfind(word, 0) == 0) return *line = *l, true;
    log(who_, "unexpected line from the agent: " + l->substr(0, 40));
    return false;
  }

  // The statistics are children of the statuses, not announced on their
  // own: the directory's reactor finds each status, whose reactor finds its
  // statistics.
  struct StatusesHeard : PhyBcm54980StatusDir::Notifiee {
    MountProcess* mount = nullptr;
    void onPhyStatus(Zef::Name key) override { mount->statusIs(notifier()->phyStatus(key)); }
  };
  struct StatusHeard : PhyBcm54980Status::Notifiee {
    MountProcess* mount = nullptr;
    void onBcmStats() override { mount->statsIs(notifier()->bcmStats()); }
  };

  void mounted(Ptr<Zef::Entity> const& e) {
    auto* d = dynamic_cast<PhyBcm54980StatusDir*>(e.ptr());
    if (!d) return;
    statuses_ = Ptr<PhyBcm54980StatusDir>(d);
    Ptr<StatusesHeard> r(new StatusesHeard, Zef::adoptRef);
    r->mount = this;
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(statuses_);
    statusesHeard_ = r;
    for (auto it = statuses_->phyStatusIterator(); it; ++it) statusIs(it->fwkValue());
  }

  void statusIs(Ptr<PhyBcm54980Status> const& s) {
    unsigned port = 0;
    if (!s || !portIndex(s->name().str(), o_, &port) || statusHeard_[port]) return;
    Ptr<StatusHeard> r(new StatusHeard, Zef::adoptRef);
    r->mount = this;
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(s);
    statusHeard_[port] = r;
    statsIs(s->bcmStats());
  }

  void statsIs(Ptr<PhyBcm54980Stats> const& stats) {
    unsigned port = 0;
    if (!stats || !portIndex(stats->name().str(), o_, &port)) return;
    if (statsHeard_[port] && statsHeard_[port]->notifier().ptr() == stats.ptr()) return;
    if (!statsHeard_[port]) ++portsHeard_;
    Ptr<phybench::StatsHeard> r(new phybench::StatsHeard, Zef::adoptRef);
    r->port = int(port);
    r->sink = &sink_;
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(stats);
    statsHeard_[port] = r;
    // What the statistics held before the reactor came counts as heard.
    heard(port, stats->linkState().changes());
  }

  void heard(unsigned port, std::uint32_t n) {
    if (n == changes_[port]) return;
    bool const was = expected_.empty() || changes_[port] == expected_[port];
    changes_[port] = n;
    heardNs_[port] = nowNs();
    if (expected_.empty()) return;
    bool const is = n == expected_[port];
    if (was && !is) ++unequal_;
    if (!was && is) --unequal_;
  }

  // "stop T_STOP_NS N0 N1 ...".
  bool expectedIs(std::string const& line) {
    std::istringstream in(line.substr(5));
    std::vector<std::uint32_t> expected;
    in >> tStopNs_;
    for (std::uint32_t n; in >> n;) expected.push_back(n);
    if (expected.size() != changes_.size()) {
      log(who_, "the agent expects " + std::to_string(expected.size()) + " ports, " +
                    std::to_string(changes_.size()) + " mounted");
      return false;
    }
    expected_ = std::move(expected);
    unequal_ = 0;
    for (std::size_t p = 0; p < expected_.size(); ++p) unequal_ += changes_[p] != expected_[p];
    return true;
  }

  void compare(std::string const& dumpPath) {
    std::vector<std::string> agent;
    if (!statuses_ || !phytools::readLines(dumpPath, &agent)) {
      log(who_, statuses_ ? "cannot read " + dumpPath : "no statuses directory mounted");
      return;
    }
    auto c = loop_->comparedWith(agent);
    if (c.statistics == 0) return log(who_, "the agent's dump is empty");
    mismatches_ = static_cast<long long>(c.differences);
    for (std::size_t i = 0; i < std::min<std::size_t>(3, c.firstDifferences.size()); ++i) log(who_, c.firstDifferences[i]);
    log(who_, phytools::comparisonLine(c));
  }

  void print() {
    std::string const m = "mount" + std::to_string(index_) + "_";
    auto name = [&](char const* what) { return m + what; };
    if (converged_) phybench::out(name("converged_ms").c_str(), convergedMs_);
    else phybench::outi(name("converged_never").c_str(), 1);
    if (linksConverged_) phybench::out(name("links_converged_ms").c_str(), linksMs_);
    if (mismatches_ >= 0) phybench::outi(name("mismatch_vs_agent").c_str(), mismatches_);
    phybench::outi(name("rss_kb_synced").c_str(), rssSynced_);
    phybench::outi(name("heap_bytes_synced").c_str(), heapSynced_);
    phybench::outi(name("rss_kb").c_str(), rss_);
    phybench::outi(name("heap_bytes").c_str(), heap_);
    phybench::outi(name("disconnected").c_str(), disconnected_);
  }

  Options o_;
  unsigned index_;
  std::string who_;
  std::string socketPath_;
  int pipeFd_;
  phybench::LineReader lines_;
  int backFd_;
  pid_t agentPid_;
  // Each port's linkState changes and when the latest was heard.
  std::vector<std::uint32_t> changes_;
  std::vector<std::uint64_t> heardNs_;
  std::vector<std::uint32_t> expected_;  // empty until the agent says
  std::size_t unequal_ = 0;              // ports whose count is not the agent's
  std::uint64_t tStopNs_ = 0;
  physerve::MountLoop* loop_ = nullptr;  // while run() has one
  Ptr<Connection> conn_;
  std::uint64_t bytesSeen_ = 0;
  std::uint64_t lastBytesNs_ = 0;  // when a handler last read bytes
  phybench::StatsHeard::Sink sink_ = [this](int port, int k, std::uint32_t n, double) {
    if (k == phybench::StatsHeard::Index::linkState) heard(unsigned(port), n);
  };
  // After the sink: reactors go first.
  Ptr<PhyBcm54980StatusDir> statuses_;
  Ptr<StatusesHeard> statusesHeard_;
  std::vector<Ptr<StatusHeard>> statusHeard_;           // by port
  std::vector<Ptr<phybench::StatsHeard>> statsHeard_;  // by port
  unsigned portsHeard_ = 0;
  bool converged_ = false;  // the whole state, against the agent's dump
  bool linksConverged_ = false;
  bool disconnected_ = false;
  double convergedMs_ = -1;
  double linksMs_ = -1;
  long long mismatches_ = -1;  // -1: not compared
  long rssSynced_ = -1, rss_ = -1;
  long long heapSynced_ = -1, heap_ = -1;
};

// ---- the agent

struct MountResult {
  bool synced = false;  // or gave up
  bool settled = false;
  bool reported = false;
  bool converged = false;
  double convergedMs = -1;
  long long mismatches = -1;
  long rssSynced = -1, rss = -1;
  long long heapSynced = -1, heap = -1;
  bool disconnected = false;
  double linksMs = -1;
};

class Agent {
 public:
  Agent(Options const& o, int backFd, std::vector<phybench::Child>& mounts, std::string socketPath,
        std::string dumpPath)
      : o_(o),
        back_(backFd),
        mounts_(mounts),
        results_(o.mounts),
        socketPath_(std::move(socketPath)),
        dumpPath_(std::move(dumpPath)),
        driver_(o.chips, o.portsPerChip),
        sim_(phytools::Scenario::noisy, 1, o.ports()) {
    for (unsigned c = 0; c < o.chips; ++c) {
      for (unsigned p = 0; p < o.portsPerChip; ++p) ports_.push_back(driver_.statuses()->phyStatus(phytools::portName(c, p)));
    }
  }

  // The whole run; the exit status.
  int run() {
    // The links come up before anyone connects, so that the polls measured
    // are steady ones rather than every port linking up at once.
    driver_.poll(sim_, polls_, double(polls_ + 1));
    ++polls_;

    auto work = asio::make_work_guard(io_);  // run_until waits its time even with nothing to do
    loop_.onClosedIs([this](Ptr<Connection> const&, String8 const& why) {
      if (!closing_) log("agent", "a mount's connection closed: " + why.str());
    });
    try {
      loop_.listen(UnixAddress{socketPath_});
    } catch (Zef::AttrLogSocket::SocketException const& e) {
      log("agent", std::string("cannot serve: ") + e.what());
      return 1;
    }
    log("agent", "serving " + std::to_string(o_.ports()) + " ports on " + socketPath_ + " to " +
                     std::to_string(o_.mounts) + " mounts");
    double const syncStart = phybench::nowS();
    for (std::size_t i = 0; i < mounts_.size(); ++i) {
      if (i > 0 && o_.connectGapMs > 0) serve([] { return false; }, o_.connectGapMs * 1e-3);
      mounts_[i].send("go");
    }

    auto all = [this](bool MountResult::*what) {
      return [this, what] {
        return std::all_of(results_.begin(), results_.end(), [&](MountResult const& r) { return r.*what || r.reported; });
      };
    };
    if (!serve(all(&MountResult::synced), kPatienceS + 5)) log("agent", "not every mount synced");
    log("agent", "mounts synced in " + std::to_string(phybench::nowS() - syncStart) + " s");

    steadyPolls();
    storm();

    // Each mount is told the storm's end and every port's final count.
    std::string stop = "stop " + std::to_string(tStopNs_);
    for (auto const& s : ports_) stop += " " + std::to_string(s->bcmStats()->linkState().changes());
    for (auto& m : mounts_) m.send(stop);
    if (!serve(all(&MountResult::settled), kPatienceS + 5)) log("agent", "not every mount settled");

    // The dump is written once the mounts are done timing, so that its cost
    // stays out of their figures.
    auto lines = phytools::dumpLines(*driver_.statuses());
    if (!phytools::writeLines(dumpPath_, lines)) log("agent", "cannot write " + dumpPath_);
    log("agent", "dump of " + std::to_string(lines.size()) + " statistics written");
    lines = {};
    for (auto& m : mounts_) m.send("dump " + dumpPath_);
    if (!serve(all(&MountResult::reported), kPatienceS + 30)) log("agent", "not every mount reported");

    long const rss = phybench::rssKb();
    long long const heap = phybench::heapBytes();
    closing_ = true;
    loop_.stop("done");
    work.reset();
    io_.run_for(std::chrono::milliseconds(200));  // returns as soon as the closes are through

    int status = 0;
    for (std::size_t i = 0; i < mounts_.size(); ++i) {
      mounts_[i].send("print");
      if (mounts_[i].wait() != 0) status = 1;
    }
    std::fflush(stdout);

    phybench::outi("ports", o_.ports());
    phybench::outi("chips", o_.chips);
    phybench::outi("mounts", o_.mounts);
    phybench::out("agent_cpu_pct_1hz", cpuPct_);
    phybench::out("poll_ms_max", pollMsMax_);
    phybench::outi("storm_flaps", static_cast<long long>(flaps_));
    phybench::out("storm_s", stormS_);
    phybench::outi("agent_rss_kb", rss);
    phybench::outi("agent_heap_bytes", heap);
    double convergedMax = -1, linksMax = -1;
    long long converged = 0, mismatches = 0;
    long rssMax = -1;
    for (auto const& r : results_) {
      linksMax = std::max(linksMax, r.linksMs);
      if (r.converged) ++converged, convergedMax = std::max(convergedMax, r.convergedMs);
      if (r.mismatches > 0) mismatches += r.mismatches;
      if (!r.converged || r.mismatches != 0) status = 1;
      rssMax = std::max({rssMax, r.rss, r.rssSynced});
    }
    // The slowest mount until its whole state equals the agent's.
    if (converged > 0) phybench::out("converged_ms_max", convergedMax);
    if (linksMax >= 0) phybench::out("links_converged_ms_max", linksMax);
    phybench::outi("mounts_converged", converged);
    phybench::outi("mismatch_vs_agent_total", mismatches);
    phybench::outi("mount_rss_kb_max", rssMax);
    return status;
  }

 private:
  // Runs the event loop until `done` or `limitS` seconds, reading what the
  // mounts say; false on the latter.
  bool serve(std::function<bool()> const& done, double limitS) {
    Clock::time_point const end = Clock::now() + seconds(limitS);
    for (;;) {
      while (auto l = back_.poll()) heard(*l);
      if (done()) return true;
      if (Clock::now() >= end) return false;
      io_.run_until(std::min(end, Clock::now() + std::chrono::milliseconds(10)));
    }
  }

  void heard(std::string const& line) {
    std::istringstream in(line);
    std::string what;
    unsigned i = 0;
    if (!(in >> what >> i) || i >= results_.size()) return log("agent", "bad line from a mount: " + line);
    MountResult& r = results_[i];
    if (what == "synced" || what == "unsynced") r.synced = true;
    else if (what == "settled") r.settled = true;
    else if (what == "result") {
      int converged = 0, disconnected = 0;
      in >> converged >> r.convergedMs >> r.mismatches >> r.rssSynced >> r.heapSynced >> r.rss >> r.heap >> disconnected >>
          r.linksMs;
      if (!in) return log("agent", "bad result from mount " + std::to_string(i) + ": " + line);
      r.converged = converged != 0;
      r.disconnected = disconnected != 0;
      r.reported = true;
    }
  }

  // Every port polled at 1 Hz for --seconds; the CPU this process spent
  // over that window, polls and serving the mounts alike.
  void steadyPolls() {
    Clock::time_point const start = Clock::now();
    double const cpu0 = phybench::cpuS();
    for (unsigned k = 0; double(k) < o_.seconds; ++k) {
      io_.run_until(start + seconds(k));
      std::uint64_t const t0 = nowNs();
      driver_.poll(sim_, polls_, double(polls_ + 1));  // simulated time, one second a poll
      pollMsMax_ = std::max(pollMsMax_, double(nowNs() - t0) * 1e-6);
      ++polls_;
      loop_.flowsWake();
    }
    io_.run_until(start + seconds(o_.seconds));
    double const wall = std::chrono::duration<double>(Clock::now() - start).count();
    cpuPct_ = 100 * (phybench::cpuS() - cpu0) / wall;
    log("agent", std::to_string(polls_ - 1) + " polls at 1 Hz: " + std::to_string(cpuPct_) + " % of a core, longest " +
                     std::to_string(pollMsMax_) + " ms");
  }

  // A port's link toggled, read as the registers would show it: the speed
  // and duplex it negotiated before come back with it.
  void flap(unsigned port, double now) {
    PhyBcm54980Status& s = *ports_[port];
    phytools::RegisterRead r;
    r.linkUp = !s.linkUp();
    r.speed = r.linkUp ? wires_[port].speed : Interface::speedUnknown;
    r.fullDuplex = r.linkUp && wires_[port].fullDuplex;
    r.mdix = s.mdix();
    r.energy = r.linkUp;
    r.energyChanged = true;
    r.sgmiiSync = true;
    r.sgmiiLink = r.linkUp;
    phytools::PhyDriver::observe(s, r, now);
  }

  // --storm-hz flaps a second over every port in turn, made in 1 ms ticks
  // with the event loop run between them; ticks that fall behind catch up.
  void storm() {
    for (auto const& s : ports_) {
      wires_.push_back(s->linkUp() ? Wire{s->speed(), s->fullDuplex()} : Wire{Interface::speed1Gbps, true});
    }
    auto const total = static_cast<std::uint64_t>(std::llround(o_.stormHz * o_.stormSeconds));
    double const simStart = double(polls_);  // simulated time goes on from the last poll
    Clock::time_point const start = Clock::now();
    std::uint64_t const startNs = nowNs();
    for (std::uint64_t tick = 0;; ++tick) {
      auto const due = std::min(total, static_cast<std::uint64_t>(std::llround(double(tick + 1) * o_.stormHz / 1000)));
      for (; flaps_ < due; ++flaps_) flap(unsigned(flaps_ % ports_.size()), simStart + double(flaps_ + 1) / o_.stormHz);
      if (flaps_ == total) {
        tStopNs_ = nowNs();
        loop_.flowsWake();
        break;
      }
      loop_.flowsWake();
      Clock::time_point const next = start + std::chrono::milliseconds(tick + 1);
      if (Clock::now() >= next) io_.poll();  // late: the loop still gets its turn
      io_.run_until(next);
    }
    stormS_ = double(tStopNs_ - startNs) * 1e-9;
    log("agent", std::to_string(flaps_) + " flaps in " + std::to_string(stormS_) + " s");
  }

  struct Wire {
    Interface::EthSpeed speed;
    bool fullDuplex;
  };

  Options o_;
  phybench::LineReader back_;
  std::vector<phybench::Child>& mounts_;
  std::vector<MountResult> results_;
  std::string socketPath_;
  std::string dumpPath_;
  phytools::PhyDriver driver_;
  phytools::ChipSimulator sim_;
  std::vector<Ptr<PhyBcm54980Status>> ports_;  // in port order
  std::vector<Wire> wires_;
  asio::io_context io_;
  physerve::AgentLoop loop_{io_, driver_.roots()};  // after io_: it goes first
  bool closing_ = false;
  std::uint64_t polls_ = 0;
  double cpuPct_ = 0;
  double pollMsMax_ = 0;
  std::uint64_t flaps_ = 0;
  std::uint64_t tStopNs_ = 0;
  double stormS_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  // A use of the library, so that the linker keeps it: loading it registers its types.
  if (Hardware::Phy::zefAttributeHandleCount() == 0) return 2;
  Options o;
  CLI::App app{"Agent-to-mount replication at chassis scale: one agent, mounts in child processes"};
  app.add_option("--ports-per-chip", o.portsPerChip, "ports of each chip")->check(CLI::Range(1, 64))->capture_default_str();
  app.add_option("--chips", o.chips, "chips the agent drives")->check(CLI::Range(1, 4096))->capture_default_str();
  app.add_option("--mounts", o.mounts, "mount processes")->check(CLI::Range(1, 64))->capture_default_str();
  app.add_option("--seconds", o.seconds, "seconds of 1 Hz polls measured")->check(CLI::Range(1.0, 600.0))->capture_default_str();
  app.add_option("--storm-seconds", o.stormSeconds, "seconds of link flaps")->check(CLI::Range(0.001, 600.0))->capture_default_str();
  app.add_option("--storm-hz", o.stormHz, "link flaps a second over all ports")->check(CLI::Range(1.0, 1e7))->capture_default_str();
  app.add_option("--connect-gap-ms", o.connectGapMs,
                 "pause between one mount's connection and the next (0: all at once, as after an agent restart)")
      ->check(CLI::Range(0.0, 10000.0))
      ->capture_default_str();
  std::string tag = "f_chassis";
  app.add_option("--tag", tag, "prefix of every figure printed, to tell runs apart")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  phybench::tag() = tag;
  gStartNs = nowNs();

  // A mount that goes away mid-write must not kill the agent, nor the agent a mount.
  std::signal(SIGPIPE, SIG_IGN);
  std::string const tmp = (std::filesystem::temp_directory_path() / "phychassisbench.XXXXXX").string();
  std::vector<char> dirName(tmp.begin(), tmp.end());
  dirName.push_back('\0');
  if (!mkdtemp(dirName.data())) {
    std::perror("phychassisbench: mkdtemp");
    return 1;
  }
  std::filesystem::path const dir(dirName.data());
  std::string const socketPath = (dir / "agent.sock").string();
  std::string const dumpPath = (dir / "agent.dump").string();

  // The mounts are forked before the agent makes anything of its own: no
  // Asio object, no thread, no entity of its state.
  int back[2];
  if (pipe(back) != 0) {
    std::perror("phychassisbench: pipe");
    return 1;
  }
  int status = 1;
  {
    std::vector<phybench::Child> mounts;
    mounts.reserve(o.mounts);
    for (unsigned i = 0; i < o.mounts; ++i) {
      int const backFd = back[1];
      mounts.push_back(phybench::Child::spawn([&o, i, socketPath, backFd](int fd) {
        closeAllBut(fd, backFd);
        return MountProcess(o, i, socketPath, fd, backFd).run();
      }));
    }
    close(back[1]);
    Agent agent(o, back[0], mounts, socketPath, dumpPath);
    status = agent.run();
    // The mounts not waited for yet (a failed run) are on their way out:
    // their pipes close with `mounts`.
  }
  close(back[0]);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
