// phymount: mounts what a phyagent serves and shows it: a live per-port
// view, the whole state once, or a check against the agent's dump. It keeps
// the roots it mounted across connections and reconnects with backoff, so
// that a cut or an agent restart ends in the agent's state again.
#include <CLI/CLI.hpp>

#include <asio.hpp>
#include <ncurses.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>

#include "runtime/attrlog/socket/socket_transport.h"
#include "serve/mount_loop.h"
#include "serve/stop_signals.h"
#include "sim/phy_sim.h"
#include "tools/phy_cli.h"
#ifdef PHY_MOUNT_METRICS
#include "tools/mount_metrics.h"
#endif
#ifdef PHY_MOUNT_GNMI
#include "gnmi/gnmi_server.h"
#endif
#include "types/phy_bcm54980_types.h"

namespace {

using namespace Hardware::Phy;
using Zef::Ptr;
using Zef::String8;
using physerve::MountLoop;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::FrameKind;
using Zef::NboAttrLog::FrameView;
using Clock = std::chrono::steady_clock;

enum class Mode { live, once, check };

struct Options {
  std::string socketPath = "/tmp/phyagent.sock";
  std::string tcp;
  std::string checkFile;
  bool once = false;
  double duration = 0;
  double timeout = 60;
  unsigned quietMs = 200;
  std::string metrics;  // HOST:PORT of the Prometheus page, when asked
  Zef::AttrLogSocket::TcpAddress metricsAt;  // the same, read
  std::string gnmi;  // HOST:PORT of the gNMI server, when asked
  Zef::AttrLogSocket::TcpAddress gnmiAt;
  std::string gnmiTlsCert, gnmiTlsKey;
  std::size_t maxEntities = Connection::kDefaultEntityLimit;
};

class Mount {
 public:
  Mount(asio::io_context& io, Options const& o, Zef::AttrLogSocket::Address where, Mode mode)
      : io_(io), o_(o), mode_(mode), loop_(io, std::move(where), settings(o)), tick_(io), end_(io), signals_(io),
        start_(Clock::now()) {
    curses_ = mode_ == Mode::live && isatty(STDOUT_FILENO);
  }

  int run() {
#ifdef PHY_MOUNT_METRICS
    if (!o_.metrics.empty()) {
      metrics_ = std::make_unique<MountMetrics::MetricsServer>(o_.metricsAt.host, o_.metricsAt.port);
      try {
        metrics_->start();
      } catch (std::exception const& e) {
        std::cerr << "phymount: --metrics " << o_.metrics << ": " << e.what() << "\n";
        return 2;
      }
      note("metrics on http://" + phytools::tcpAddressText(o_.metricsAt.host, metrics_->port()) + "/metrics");
    }
#else
    if (!o_.metrics.empty()) {
      std::cerr << "phymount: built without cpp-httplib: no --metrics\n";
      return 2;
    }
#endif
#ifdef PHY_MOUNT_GNMI
    if (!o_.gnmi.empty()) {
      mountgnmi::ServerOptions g;
      g.host = o_.gnmiAt.host;
      g.port = o_.gnmiAt.port;
      g.tlsCert = o_.gnmiTlsCert;
      g.tlsKey = o_.gnmiTlsKey;
      gnmi_ = std::make_unique<mountgnmi::Server>(g);
      try {
        gnmi_->start();
      } catch (std::exception const& e) {
        std::cerr << "phymount: --gnmi " << o_.gnmi << ": " << e.what() << "\n";
        return 2;
      }
      note(std::string("gNMI on ") + (o_.gnmiTlsCert.empty() ? "" : "TLS ") +
           phytools::tcpAddressText(o_.gnmiAt.host, gnmi_->port()));
    }
#else
    if (!o_.gnmi.empty()) {
      std::cerr << "phymount: built without gRPC: no --gnmi\n";
      return 2;
    }
#endif
    if (curses_) {
      initscr();
      curs_set(0);
      noecho();
      cbreak();
      nodelay(stdscr, TRUE);  // the view polls for q on each refresh
    }
    signals_.wait([this](std::string const&) { finish(mode_ == Mode::live ? 0 : 2, "interrupted"); });
    double bound = mode_ == Mode::live ? o_.duration : o_.timeout;
    if (bound > 0) {
      end_.expires_after(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bound)));
      end_.async_wait([this, bound](std::error_code ec) {
        if (ec || finished_) return;
        if (mode_ == Mode::live) return finish(0, "");
        std::string const after = " after " + std::to_string(static_cast<int>(bound)) + " s";
        if (!loop_.isSynced()) return finish(2, "not synced" + after + " (" + stateText() + ")");
        if (!std::filesystem::exists(o_.checkFile)) return finish(2, "no dump at " + o_.checkFile + after);
        finish(2, "the agent never paused" + after + ": is its poll loop still running?");
      });
    }
    handlersSet();
    loop_.start();
    tick();
    io_.run();
    if (curses_) endwin();
#ifdef PHY_MOUNT_GNMI
    if (gnmi_) gnmi_->stop();
#endif
    if (!message_.empty()) std::cerr << "phymount: " << message_ << "\n";
    return status_;
  }

 private:
  // A mount reads and never writes back; what the agent may have it hold
  // is bounded. A new connection follows a lost one, after a pause that
  // grows while the agent stays away.
  static MountLoop::Settings settings(Options const& o) {
    MountLoop::Settings s;
    s.maxEntities = o.maxEntities;
    s.reconnect = true;
    return s;
  }

  void handlersSet() {
    loop_.onConnectionIs([this](Connection& conn) {
      conn.refusalHandlerIs([this](Connection&, std::uint64_t, String8 const& why) { refusalLog(why.str()); });
      statsSynced_.clear();
      conn.frameHandlerIs([this](Connection& c, FrameView const& f) {
        c.applyFrame(f);
        frameSeen(c, f);
        gnmiFeed(c, f);
      });
    });
    loop_.onConnectedIs([this] { note("connected to " + Zef::AttrLogSocket::addressText(loop_.address())); });
    loop_.onClosedIs([this](std::string const& why, bool wasConnected) {
      if (wasConnected) note("connection lost: " + why);
    });
  }

  // Counts what ends a first synchronisation: a root's collection closing
  // it, and a statistics entity's last attribute (a full pass sends every
  // attribute in id order).
  void frameSeen(Connection& c, FrameView const& f) {
    lastFrame_ = Clock::now();
    ++frames_;
    if (f.kind == FrameKind::transaction) return;
    if (f.header.attributeId != statsLastAttr_ || !c.demuxer()) return;
    if (auto sa = c.demuxer()->reactor(f.header.entityId)) {
      if (dynamic_cast<PhyBcm54980Stats const*>(sa->zefNotifierEntity().ptr())) statsSynced_.insert(f.header.entityId);
    }
  }

  // Each record applied reaches the gNMI server's subscribers from here, on
  // the thread that owns the entities.
  void gnmiFeed(Connection& c, FrameView const& f) {
#ifdef PHY_MOUNT_GNMI
    if (!gnmi_ || f.kind != FrameKind::attribute || !c.demuxer()) return;
    if (auto sa = c.demuxer()->reactor(f.header.entityId)) {
      gnmi_->applied(sa->zefNotifierEntity(), f.header.attributeId, statuses());
    }
#else
    (void)c;
    (void)f;
#endif
  }

  static Zef::AttributeId lastStatistic() {
    Zef::AttributeId last = 0;
    Zef::ZefType* t = Zef::ZefType::registered(Zef::Name("Hardware::Phy::PhyBcm54980Stats"));
    for (auto const& a : t->attributes()) {
      if (!a->isFunction() && a->typeName() != Zef::Name("void")) last = std::max(last, a->id());
    }
    return last;
  }

  bool quiet() const { return Clock::now() - lastFrame_ >= std::chrono::milliseconds(o_.quietMs); }

  Ptr<PhyBcm54980StatusDir> statuses() const { return loop_.statuses(); }

  // Each reason is told, at most a few a second; the rest are counted.
  void refusalLog(std::string const& why) {
    auto now = Clock::now();
    if (now - refusalWindow_ >= std::chrono::seconds(1)) {
      if (refusalsUntold_) note(std::to_string(refusalsUntold_) + " more frames refused");
      refusalWindow_ = now;
      refusalsTold_ = refusalsUntold_ = 0;
    }
    if (refusalsTold_ < kRefusalsToldPerSecond) {
      ++refusalsTold_;
      note("refused: " + why);
    } else {
      ++refusalsUntold_;
    }
  }

  void tick() {
    // Once a connection's first synchronisation is done, what it announced is
    // what the mount holds: entities of earlier connections (an agent with
    // fewer chips, or another process that served this socket meanwhile) go.
    bool const wasSynced = loop_.isSynced();
    if (loop_.syncCheck() && !wasSynced) {
#ifdef PHY_MOUNT_GNMI
      if (gnmi_) gnmi_->resync(statuses());
#endif
      note("synced: " + std::to_string(frames_) + " frames, " + std::to_string(loop_.kept()) +
           " entities kept from an earlier connection");
    }
    synced_ = loop_.isSynced();
    if (synced_ && mode_ == Mode::once) {
      if (auto s = statuses()) {
        for (auto const& l : phytools::dumpLines(*s)) std::cout << l << "\n";
      }
      return finish(0, "");
    }
    if (synced_ && mode_ == Mode::check && std::filesystem::exists(o_.checkFile) && quiet()) return check();
    metricsRender();
    show();
    if (curses_ && getch() == 'q') return finish(0, "");
    tick_.expires_after(std::chrono::milliseconds(100));
    tick_.async_wait([this](std::error_code ec) {
      if (!ec && !finished_) tick();
    });
  }

  void check() {
    std::vector<std::string> expected;
    if (!phytools::readLines(o_.checkFile, &expected)) return finish(2, "cannot read " + o_.checkFile);
    auto c = loop_.comparedWith(expected);
    for (auto const& d : c.firstDifferences) std::cerr << d << "\n";
    std::cout << phytools::comparisonLine(c) << std::endl;
    finish(c.differences == 0 && c.statistics > 0 ? 0 : 1, "");
  }

  // A timer already due when cancelled still comes back without an error:
  // every handler checks `finished_`, or the loop could run on for ever.
  void finish(int status, std::string const& message) {
    if (finished_) return;
    finished_ = true;
    status_ = status;
    message_ = message;
    tick_.cancel();
    end_.cancel();
    signals_.cancel();
    loop_.stop("done");
  }

  std::string stateText() const {
    std::string s = loop_.state() == MountLoop::State::connected    ? (synced_ ? "synced" : "connected, syncing")
                    : loop_.state() == MountLoop::State::connecting ? "connecting"
                                                                    : "reconnecting (" + loop_.lastError() + ")";
    return s;
  }

  double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  // The live view shows the last note; progress lines and --once/--check
  // (whose stdout is the result) log them.
  void note(std::string const& what) {
    if (curses_) {
      lastNote_ = what;
      return;
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.3f] ", elapsed());
    (mode_ == Mode::live ? std::cout : std::cerr) << stamp << what << std::endl;
  }

  // What the view keeps of each port between refreshes.
  struct Seen {
    std::vector<std::string> values;
    unsigned changes = 0;
    double lastChange = -1;
  };

  void show() {
    if (mode_ != Mode::live) return;
    Ptr<PhyBcm54980StatusDir> dir = statuses();
    std::vector<std::string> rows;
    std::size_t ports = 0, withStats = 0;
    std::uint64_t errors = 0;
    if (dir) {
      // Changes are counted as the view sees them: any statistic that moved
      // since the last refresh.
      auto lines = phytools::dumpLines(*dir);
      std::map<std::string, std::vector<std::string>> byPort;
      for (auto const& l : lines) byPort[l.substr(0, l.find(' '))].push_back(l);
      for (auto it = dir->phyStatusIterator(); it; ++it) {
        ++ports;
        std::string const name = it->name().str();
        Seen& seen = seen_[name];
        auto const& now = byPort[name];
        if (!seen.values.empty() && now != seen.values) {
          ++seen.changes;
          seen.lastChange = elapsed();
        }
        seen.values = now;
        Ptr<PhyBcm54980Stats> s = it->bcmStats();
        withStats += s != nullptr;
        if (s) errors += s->crcErrors().count() + s->falseCarriers().count() + s->rxErrors().count() + s->txErrors().count();
        char row[200];
        char when[16] = "-";
        if (seen.lastChange >= 0) std::snprintf(when, sizeof when, "%.1f", seen.lastChange);
        static char const* const kSpeeds[] = {"-", "10M", "100M", "1G", "2.5G"};
        unsigned sp = static_cast<unsigned>(it->speed());
        std::snprintf(row, sizeof row, "%-14s %-4s %-5s %-4s %8u %8u %8u %8u %7u %7u %9s", name.c_str(),
                      it->linkUp() ? "up" : "down", sp < 5 ? kSpeeds[sp] : "?", it->fullDuplex() ? "full" : "half",
                      s ? s->crcErrors().count() : 0u, s ? s->falseCarriers().count() : 0u,
                      s ? s->rxErrors().count() : 0u, s ? s->txErrors().count() : 0u,
                      s ? s->linkState().changes() : 0u, seen.changes, when);
        rows.push_back(row);
      }
    }
    char head[200];
    std::snprintf(head, sizeof head, "%-14s %-4s %-5s %-4s %8s %8s %8s %8s %7s %7s %9s", "port", "link", "speed",
                  "dplx", "crc", "falseCar", "rxErr", "txErr", "linkChg", "changes", "last(s)");
    std::string status = stateText() + " | connections " + std::to_string(loop_.connections()) + " | frames " +
                         std::to_string(frames_);
    std::string progress = synced_ ? "" : "first synchronisation: " + std::to_string(ports) + " ports, " +
                                              std::to_string(withStats) + " with statistics, " +
                                              std::to_string(statsSynced_.size()) + " statistics entities done";
    if (curses_) {
      erase();
      mvprintw(0, 0, "phymount %s  %s", Zef::AttrLogSocket::addressText(loop_.address()).c_str(), status.c_str());
      mvprintw(1, 0, "%s", progress.empty() ? lastNote_.c_str() : progress.c_str());
      mvprintw(2, 0, "%s", head);
      for (std::size_t i = 0; i < rows.size() && static_cast<int>(i) + 3 < LINES; ++i) {
        mvprintw(static_cast<int>(i) + 3, 0, "%s", rows[i].c_str());
      }
      refresh();
      return;
    }
    // Without a terminal: a progress line a second.
    if (elapsed() - lastLine_ < 1.0) return;
    lastLine_ = elapsed();
    unsigned up = 0, changed = 0;
    for (auto const& r : rows) up += r.find(" up ") != std::string::npos;
    for (auto const& [n, s] : seen_) changed += s.changes;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.3f] ", elapsed());
    std::cout << stamp << status << " | " << ports << " ports, " << up << " up, " << errors << " errors, " << changed
              << " port changes seen"
              << (progress.empty() ? "" : " | " + progress) << std::endl;
  }

  // The page is rendered here, on the thread that owns the entities; the
  // server's thread only hands out the latest text.
  void metricsRender() {
#ifdef PHY_MOUNT_METRICS
    if (!metrics_ || Clock::now() - lastMetrics_ < std::chrono::seconds(1)) return;
    lastMetrics_ = Clock::now();
    MountMetrics::MountHealth h{loop_.state() == MountLoop::State::connected, synced_, loop_.framesApplied(),
                                loop_.framesRefused(),
                                std::chrono::duration<double>(Clock::now() - lastFrame_).count()};
    std::string text = MountMetrics::prometheusText(statuses(), h);
#ifdef PHY_MOUNT_GNMI
    if (gnmi_) text += gnmi_->metricsText();
#endif
    metrics_->textIs(std::move(text));
#endif
  }

  asio::io_context& io_;
  Options o_;
  Mode mode_;
  MountLoop loop_;
  asio::steady_timer tick_;
  asio::steady_timer end_;
  physerve::StopSignals signals_;
  Clock::time_point start_;
  bool curses_ = false;
  static constexpr unsigned kRefusalsToldPerSecond = 5;
  Clock::time_point refusalWindow_;
  unsigned refusalsTold_ = 0;
  std::uint64_t refusalsUntold_ = 0;
  std::set<Zef::EntityId> statsSynced_;
  Zef::AttributeId const statsLastAttr_ = lastStatistic();
  Clock::time_point lastFrame_ = Clock::now();
  std::uint64_t frames_ = 0;
  bool synced_ = false;  // as the loop saw it at the last tick
  std::string lastNote_;
  std::map<std::string, Seen> seen_;
  double lastLine_ = -1;
  int status_ = 0;
  bool finished_ = false;
#ifdef PHY_MOUNT_METRICS
  std::unique_ptr<MountMetrics::MetricsServer> metrics_;
  Clock::time_point lastMetrics_;
#endif
#ifdef PHY_MOUNT_GNMI
  std::unique_ptr<mountgnmi::Server> gnmi_;
#endif
  std::string message_;
};

}  // namespace

int main(int argc, char** argv) {
  // A use of the library, so that the linker keeps it: loading it registers its types.
  if (Hardware::Phy::zefAttributeHandleCount() == 0) return 2;
  Options o;
  CLI::App app{"Mount what a phyagent serves and show it"};
  auto* unixOpt = app.add_option("--socket", o.socketPath, "the agent's Unix socket")->capture_default_str();
  auto* tcp = app.add_option("--tcp", o.tcp, "the agent's TCP HOST:PORT instead ([::1]:PORT for IPv6)");
  tcp->excludes(unixOpt);
  auto* once = app.add_flag("--once", o.once, "wait until synced, print every statistic as phyagent --dump does, exit");
  auto* check = app.add_option("--check", o.checkFile,
                               "wait until synced and FILE exists, compare with this phyagent dump, print "
                               "'N ports, M statistics, K differences'; exit 1 on any difference");
  check->excludes(once);
  auto* metrics = app.add_option("--metrics", o.metrics,
                                 "serve the mounted statistics for Prometheus on HOST:PORT, e.g. 127.0.0.1:9480 "
                                 "or [::1]:9480");
  auto* gnmi = app.add_option("--gnmi", o.gnmi,
                              "serve gNMI (Capabilities, Get, Subscribe) over what is mounted on HOST:PORT, "
                              "e.g. 127.0.0.1:9339");
  bool allowRemote = false;
  app.add_flag("--allow-remote", allowRemote,
               "let --gnmi listen on an address other than loopback. Without TLS anyone who reaches it reads "
               "every port's state");
  auto* cert = app.add_option("--gnmi-tls-cert", o.gnmiTlsCert, "serve --gnmi over TLS with this PEM certificate")
                   ->check(CLI::ExistingFile);
  auto* key = app.add_option("--gnmi-tls-key", o.gnmiTlsKey, "and this PEM private key")->check(CLI::ExistingFile);
  cert->needs(key)->needs(gnmi);
  key->needs(cert);
  app.add_option("--max-entities", o.maxEntities,
                 "cut a connection whose agent announces more entities than this (a chassis of 4096 ports "
                 "announces about 22,500)")
      ->check(CLI::Range(std::size_t(1), std::size_t(1) << 24))
      ->capture_default_str();
  app.add_option("--duration", o.duration, "end the live view after this many seconds")->check(CLI::NonNegativeNumber);
  app.add_option("--timeout", o.timeout, "--once and --check give up after this many seconds")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--quiet-ms", o.quietMs, "--check: the pause in the stream, once the dump exists, before comparing")
      ->capture_default_str();
  app.footer(
      "Examples:\n"
      "  phymount                                   live view of the agent on /tmp/phyagent.sock\n"
      "  phymount --tcp 127.0.0.1:7000 --once       every statistic of the agent on port 7000\n"
      "  phymount --socket /tmp/a.sock --check /tmp/a.dump\n"
      "  phymount --gnmi 127.0.0.1:9339 --duration 600  live view, and gNMI for any client on port 9339");
  CLI11_PARSE(app, argc, argv);

  Zef::AttrLogSocket::Address where = Zef::AttrLogSocket::UnixAddress{o.socketPath};
  std::string why;
  if (*tcp) {
    Zef::AttrLogSocket::TcpAddress a;
    if (!phytools::tcpAddressFromText(o.tcp, &a, &why)) {
      std::cerr << "phymount: --tcp " << o.tcp << ": " << why << "\n";
      return 2;
    }
    where = a;
  }
  // A host is required: where the page is reachable is never implicit.
  if (*metrics && !phytools::tcpAddressFromText(o.metrics, &o.metricsAt, &why, false)) {
    std::cerr << "phymount: --metrics " << o.metrics << ": " << why << "\n";
    return 2;
  }
  if (*gnmi) {
    if (!phytools::tcpAddressFromText(o.gnmi, &o.gnmiAt, &why, false)) {
      std::cerr << "phymount: --gnmi " << o.gnmi << ": " << why << "\n";
      return 2;
    }
    if (!phytools::isLoopbackHost(o.gnmiAt.host) && !allowRemote) {
      std::cerr << "phymount: --gnmi " << o.gnmi
                << " is not loopback; give --allow-remote to serve it there (and --gnmi-tls-cert/--gnmi-tls-key)\n";
      return 2;
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  Mode mode = o.once ? Mode::once : !o.checkFile.empty() ? Mode::check : Mode::live;
  asio::io_context io;
  Mount mount(io, o, where, mode);
  return mount.run();
}
