// phyagent: a driver agent for simulated BCM54980 chips. It keeps the chips'
// and ports' configuration, status and statistics in the model's
// directories, polls the simulated registers on a timer and serves the
// directories to every mount that connects.
#include <CLI/CLI.hpp>

#include <asio.hpp>

#include <grp.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <string>

#include "runtime/attrlog/socket/socket_transport.h"
#include "serve/agent_loop.h"
#include "sim/phy_sim.h"
#include "tools/phy_cli.h"
#include "types/phy_bcm54980_types.h"

namespace {

using Zef::Ptr;
using Zef::String8;
using Zef::AttrLogSocket::Connection;
using Clock = std::chrono::steady_clock;

struct Options {
  unsigned chips = 6;
  unsigned portsPerChip = 8;
  double pollHz = 1;
  std::string scenario = "quiet";
  std::uint32_t seed = 1;
  std::string socketPath = "/tmp/phyagent.sock";
  std::string tcp;
  double duration = 0;
  double linger = 0;
  std::string dump;
};

class Agent {
 public:
  Agent(asio::io_context& io, Options const& o, phytools::Scenario scenario, physerve::AgentLoop::Settings serving)
      : o_(o),
        driver_(o.chips, o.portsPerChip),
        sim_(scenario, o.seed, o.chips * o.portsPerChip),
        loop_(io, driver_.roots(), std::move(serving)),
        watchTimer_(io),
        endTimer_(io),
        usr1_(io, SIGUSR1),
        start_(Clock::now()) {}

  // False when it cannot listen; the reason is printed.
  bool start(Zef::AttrLogSocket::Address const& where) {
    loop_.onConnectionIs([this](Ptr<Connection> const& c) { connected(c); });
    loop_.onClosedIs([this](Ptr<Connection> const& c, String8 const& why) { closed(c, why); });
    loop_.onStopIs([this](std::string const& why) { stopping(why); });
    try {
      loop_.listen(where);
    } catch (Zef::AttrLogSocket::SocketException const& e) {
      std::cerr << "phyagent: " << e.what();
      if (e.code() == std::errc::address_in_use) {
        std::cerr << (std::holds_alternative<Zef::AttrLogSocket::UnixAddress>(where)
                          ? " (another agent serves this socket; stop it or give --socket another path)"
                          : " (the port is taken; give --tcp another port)");
      }
      std::cerr << "\n";
      return false;
    }
    auto const& server = loop_.server();
    // Once a burst: the count says how many.
    server->onRefusedIs([this](std::size_t open) {
      log("refused a connection: " + std::to_string(open) + " open, the limit (--max-mounts); " +
          std::to_string(loop_.server()->connectionsRefused()) + " refused in all");
    });
    log("serving " + std::to_string(driver_.ports()) + " ports on " +
        Zef::AttrLogSocket::addressText(server->address()) + ", scenario " + o_.scenario + ", seed " +
        std::to_string(o_.seed));
    loop_.stopOnSignals();
    waitUsr1();
    // Simulated time: the same seed gives the same dump.
    loop_.pollEvery(seconds(1.0 / o_.pollHz), [this] {
      driver_.poll(sim_, polls_, static_cast<double>(polls_ + 1) / o_.pollHz);
      ++polls_;
    });
    watch();
    if (o_.duration > 0) {
      endTimer_.expires_after(seconds(o_.duration));
      endTimer_.async_wait([this](std::error_code ec) {
        if (!ec) finish();
      });
    }
    return true;
  }

  int status() const { return status_; }

 private:
  static Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
  }
  double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  void log(std::string const& what) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.3f] ", elapsed());
    std::cerr << stamp << what << "\n";
  }

  void connected(Ptr<Connection> const& c) {
    Mount& m = mounts_[c.ptr()];
    m.id = ++mountCount_;
    c->refusalHandlerIs([this, id = m.id](Connection& conn, std::uint64_t, String8 const& why) {
      ++refusals_;
      if (conn.framesRefused() == 1) log("mount " + std::to_string(id) + " refused: " + why.str());
    });
    log("mount " + std::to_string(m.id) + " connected");
  }

  void closed(Ptr<Connection> const& c, String8 const& why) {
    auto it = mounts_.find(c.ptr());
    if (it == mounts_.end()) return;
    std::string refusals;
    if (c->framesRefused()) {
      refusals = "; " + std::to_string(c->framesRefused()) + " frames it sent refused (" +
                 std::to_string(refusals_) + " by every mount)";
    }
    log("mount " + std::to_string(it->second.id) + " gone: " + why.str() + "; " +
        std::to_string(c->demuxer() ? c->demuxer()->deferrals() : 0) + " changes deferred to dirty bits" + refusals);
    mounts_.erase(it);
  }

  // Reports each mount that falls behind (its log is not roomy) and that
  // catches up again, with the changes deferred meanwhile.
  void watch() {
    for (auto const& c : loop_.server()->connections()) {
      auto it = mounts_.find(c.ptr());
      if (it == mounts_.end() || !c->out()) continue;
      Mount& m = it->second;
      bool behind = !c->out()->isRoomy() || (c->demuxer() && c->demuxer()->scheduledCount() > 0);
      std::uint64_t deferrals = c->demuxer() ? c->demuxer()->deferrals() : 0;
      if (behind && !m.behind) {
        log("mount " + std::to_string(m.id) + " behind: " + std::to_string(c->out()->freeSpace()) +
            " bytes free in its log");
      } else if (!behind && m.behind) {
        log("mount " + std::to_string(m.id) + " caught up; " + std::to_string(deferrals - m.deferralsLogged) +
            " changes deferred to dirty bits meanwhile, " + std::to_string(deferrals) + " in all");
        m.deferralsLogged = deferrals;
      }
      m.behind = behind;
    }
    watchTimer_.expires_after(std::chrono::milliseconds(50));
    // A wait already due when stop() cancelled it still comes back without
    // an error: without the check it would re-arm for ever and the agent
    // would never end.
    watchTimer_.async_wait([this](std::error_code ec) {
      if (!ec && !loop_.isStopped()) watch();
    });
  }

  void waitUsr1() {
    usr1_.async_wait([this](std::error_code ec, int) {
      if (ec || loop_.isStopped()) return;
      writeDump();
      waitUsr1();
    });
  }

  void writeDump() {
    if (o_.dump.empty()) return;
    auto lines = phytools::dumpLines(*driver_.statuses());
    if (!phytools::writeLines(o_.dump, lines)) {
      log("cannot write the dump to " + o_.dump);
      status_ = 1;
      return;
    }
    log("dump of " + std::to_string(lines.size()) + " statistics after " + std::to_string(polls_) +
        " polls written to " + o_.dump);
  }

  // The bounded run is over: the state stops changing, the dump is taken,
  // and mounts may still connect during the linger to converge to it.
  void finish() {
    if (loop_.isStopped()) return;
    loop_.pollStop();
    writeDump();
    if (o_.linger <= 0) return loop_.stop("done");
    log("polling stopped; serving the final state " + CLI::detail::to_string(o_.linger) + " s more");
    endTimer_.expires_after(seconds(o_.linger));
    endTimer_.async_wait([this](std::error_code ec) {
      if (!ec) loop_.stop("done");
    });
  }

  // The loop then closes every mount and removes the socket file.
  void stopping(std::string const& why) {
    log("stopping: " + why + " after " + std::to_string(polls_) + " polls");
    watchTimer_.cancel();
    endTimer_.cancel();
    usr1_.cancel();
  }

  struct Mount {
    unsigned id = 0;
    bool behind = false;
    std::uint64_t deferralsLogged = 0;
  };

  Options o_;
  phytools::PhyDriver driver_;
  phytools::ChipSimulator sim_;
  physerve::AgentLoop loop_;
  asio::steady_timer watchTimer_;
  asio::steady_timer endTimer_;
  asio::signal_set usr1_;
  Clock::time_point start_;
  std::uint64_t polls_ = 0;
  std::map<Connection const*, Mount> mounts_;
  unsigned mountCount_ = 0;
  std::uint64_t refusals_ = 0;
  int status_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  // A use of the library, so that the linker keeps it: loading it registers its types.
  if (Hardware::Phy::zefAttributeHandleCount() == 0) return 2;
  Options o;
  CLI::App app{"Simulate BCM54980 chips and serve their state to mounts"};
  app.add_option("--chips", o.chips, "chips to simulate, 8 ports each")->check(CLI::Range(1, 64))->capture_default_str();
  app.add_option("--poll-hz", o.pollHz, "register polls a second")->check(CLI::Range(0.1, 1000.0))->capture_default_str();
  app.add_option("--scenario", o.scenario,
                 "quiet: nothing happens; noisy: random errors at realistic rates; flap: chip0/port0's link "
                 "flaps; storm: every port flaps every poll")
      ->check(CLI::IsMember({"quiet", "noisy", "flap", "storm"}))
      ->capture_default_str();
  app.add_option("--seed", o.seed, "random seed: the same seed repeats a run")->capture_default_str();
  auto* unixOpt = app.add_option("--socket", o.socketPath, "serve on this Unix socket")->capture_default_str();
  auto* tcp = app.add_option("--tcp", o.tcp,
                             "serve on TCP [HOST:]PORT instead, loopback unless HOST is given ([::1]:PORT for "
                             "IPv6). Unauthenticated: any client that reaches it can read the whole state");
  tcp->excludes(unixOpt);
  bool allowRemote = false;
  app.add_flag("--allow-remote", allowRemote,
               "let --tcp listen on an address other than loopback. The service is unauthenticated: any client "
               "that reaches it can read the whole state")
      ->needs(tcp);
  std::string socketGroup;
  app.add_option("--socket-group", socketGroup,
                 "make the Unix socket 0660 and owned by GROUP, so that its members may mount too (otherwise "
                 "0600: this user only)")
      ->excludes(tcp);
  unsigned maxMounts = 64;
  app.add_option("--max-mounts", maxMounts, "mounts connected at once; one more is closed at once and counted")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  app.add_option("--duration", o.duration, "poll for this many seconds, then write the dump and stop (0: run until SIGINT)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--linger", o.linger, "after --duration, keep serving the final state this many seconds")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--dump", o.dump, "write every statistic to FILE at the end of a bounded run and on SIGUSR1");
  app.footer(
      "Examples:\n"
      "  phyagent --scenario noisy                       serve on /tmp/phyagent.sock until SIGINT\n"
      "  phyagent --tcp 7000 --chips 2 --poll-hz 10      20 ports on 127.0.0.1:7000\n"
      "  phyagent --socket /tmp/a.sock --duration 20 --linger 5 --dump /tmp/a.dump\n"
      "  phyagent --scenario storm --poll-hz 100         every port flaps 100 times a second");
  CLI11_PARSE(app, argc, argv);

  phytools::Scenario scenario{};
  phytools::scenarioFromText(o.scenario, &scenario);
  Zef::AttrLogSocket::Address where = Zef::AttrLogSocket::UnixAddress{o.socketPath};
  bool remote = false;
  if (*tcp) {
    Zef::AttrLogSocket::TcpAddress a;
    std::string why;
    if (!phytools::tcpAddressFromText(o.tcp, &a, &why)) {
      std::cerr << "phyagent: --tcp " << o.tcp << ": " << why << "\n";
      return 2;
    }
    remote = !phytools::isLoopbackHost(a.host);
    if (remote && !allowRemote) {
      std::cerr << "phyagent: --tcp " << o.tcp << ": " << a.host
                << " is not loopback and the service is unauthenticated; give --allow-remote to serve it there\n";
      return 2;
    }
    where = a;
  }
  physerve::AgentLoop::Settings serving;
  serving.socket.maxConnections = maxMounts;
  if (!socketGroup.empty()) {
    struct group const* g = ::getgrnam(socketGroup.c_str());
    if (!g) {
      std::cerr << "phyagent: --socket-group " << socketGroup << ": no such group\n";
      return 2;
    }
    serving.socket.socketGroup = g->gr_gid;
    serving.socket.socketMode = 0660;
  }
  // A mount that goes away mid-write must not kill the agent.
  std::signal(SIGPIPE, SIG_IGN);
  asio::io_context io;
  Agent agent(io, o, scenario, serving);
  // An address that cannot be served is a bad argument too.
  if (!agent.start(where)) return 2;
  if (remote) {
    std::cerr << "phyagent: warning: serving " << o.tcp
              << " without authentication: any client that reaches it can read the whole state\n";
  }
  io.run();
  return agent.status();
}
