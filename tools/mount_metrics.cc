#include "tools/mount_metrics.h"

#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <system_error>

#include "runtime/types/generic_if.h"

namespace MountMetrics {

namespace {

using Hardware::Phy::PhyBcm54980Stats;
using Hardware::Phy::PhyBcm54980Status;
using Hardware::Phy::PhyBcm54980StatusDir;

constexpr char kPrefix[] = "bcm54980_";

// Label values escape backslash, double quote and newline.
void appendLabelValue(std::string& out, std::string const& v) {
  for (char c : v) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
}

// HELP text escapes backslash and newline only.
void appendHelp(std::string& out, std::string const& v) {
  for (char c : v) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
}

void appendNumber(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v > 0 ? "+Inf" : "-Inf";
  } else {
    // Counts print whole ("4000000000", not "4e+09"); only huge ones take
    // an exponent.
    char buf[64];
    auto r = std::fabs(v) < 1e15 ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed)
                                 : std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
  }
}

void appendFamily(std::string& out, std::string const& name, std::string const& help, bool counter) {
  out += "# HELP ";
  out += name;
  out += ' ';
  appendHelp(out, help);
  out += "\n# TYPE ";
  out += name;
  out += counter ? " counter\n" : " gauge\n";
}

void appendSample(std::string& out, std::string const& name, PortLabels const* labels, double value) {
  out += name;
  if (labels) {
    out += "{chip=\"";
    appendLabelValue(out, labels->chip);
    out += "\",port=\"";
    appendLabelValue(out, labels->port);
    out += "\"}";
  }
  out += ' ';
  appendNumber(out, value);
  out += '\n';
}

// The number a statistic's field holds; the fields exported are counters
// (U32) and flags (U1).
double fieldNumber(Zef::GenericIf const* g, StatFieldMetric const& m) {
  if (auto const* v = dynamic_cast<Zef::GenericValue<U32> const*>(g)) return v->value();
  if (auto const* v = dynamic_cast<Zef::GenericValue<U1> const*>(g)) return v->value().value();
  throw std::logic_error(m.statistic + "." + m.field + " is not a number");
}

double speedMbps(Interface::EthSpeed s) {
  switch (s) {
    case Interface::speed10Mbps: return 10;
    case Interface::speed100Mbps: return 100;
    case Interface::speed1Gbps: return 1000;
    case Interface::speed2p5Gbps: return 2500;
    case Interface::speedUnknown: return 0;
  }
  return 0;  // a value outside the enumeration reads as unknown
}

struct Port {
  PortLabels labels;
  Zef::Ptr<PhyBcm54980Status> status;
  // One entry per statFieldMetrics() row; empty without a statistics entity.
  std::vector<double> stats;
};

std::vector<double> readStats(Zef::Ptr<PhyBcm54980Stats> const& stats) {
  std::vector<StatFieldMetric> const& metrics = statFieldMetrics();
  std::vector<double> values;
  if (!stats) return values;
  values.reserve(metrics.size());
  Zef::Ptr<Zef::GenericIf> entity = stats->fwkType()->genericIf(stats.ptr(), true);
  Zef::Ptr<Zef::GenericIf> value;
  Zef::AttributeId valueId = 0;
  for (StatFieldMetric const& m : metrics) {
    // A statistic's fields are adjacent rows: read its value once.
    if (!value || valueId != m.statisticId) {
      value = entity->attributeOp(Zef::AttributeOp{m.statisticId, Zef::AttributeOp::kRead}, {}, {});
      valueId = m.statisticId;
    }
    if (!value) throw std::logic_error(m.statistic + " reads as null");
    Zef::Ptr<Zef::GenericIf> field = value->attributeOp(Zef::AttributeOp{m.fieldId, Zef::AttributeOp::kRead}, {}, {});
    values.push_back(fieldNumber(field.ptr(), m));
  }
  return values;
}

}  // namespace

std::string snakeName(std::string const& camel) {
  std::string out;
  out.reserve(camel.size() + 8);
  for (char c : camel) {
    if (c >= 'A' && c <= 'Z') {
      if (!out.empty()) out += '_';
      out += static_cast<char>(c - 'A' + 'a');
    } else {
      out += c;
    }
  }
  return out;
}

PortLabels portLabels(std::string const& name) {
  auto digits = [](std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  std::string_view const n(name);
  std::size_t const slash = n.find('/');
  if (slash != std::string_view::npos) {
    std::string_view const chip = n.substr(0, slash);
    std::string_view const port = n.substr(slash + 1);
    if (chip.starts_with("chip") && digits(chip.substr(4)) && port.starts_with("port") && digits(port.substr(4))) {
      return {std::string(chip), std::string(port)};
    }
  }
  return {"", name};
}

std::vector<StatFieldMetric> const& statFieldMetrics() {
  static std::vector<StatFieldMetric> const metrics = [] {
    std::vector<StatFieldMetric> v;
    for (Zef::Ptr<Zef::ZefAttr> const& attr : PhyBcm54980Stats::_fwkType()->attributes()) {
      if (attr->isFunction() || attr->isCollection()) continue;
      Zef::ZefType const* type = attr->type();
      if (!type) continue;
      std::string const stat = attr->name().str();
      std::string const base = kPrefix + snakeName(stat);
      // The statistic's kind shows in which of these fields its value type has.
      for (Zef::Ptr<Zef::ZefAttr> const& field : type->attributes()) {
        if (field->isFunction()) continue;
        std::string const f = field->name().str();
        StatFieldMetric m{stat, f, "", false, attr->id(), field->id(), type->typeNodeName().str()};
        if (f == "count") {
          m.metric = base + "_total";
          m.counter = true;
        } else if (f == "changes") {
          m.metric = base + "_changes_total";
          m.counter = true;
        } else if (f == "current") {
          m.metric = base;
        } else {
          continue;
        }
        v.push_back(std::move(m));
      }
    }
    return v;
  }();
  return metrics;
}

std::string prometheusText(Zef::Ptr<PhyBcm54980StatusDir> const& statuses, MountHealth const& health) {
  std::vector<Port> ports;
  if (statuses) {
    for (auto it = statuses->phyStatusIterator(); it.ptr(); ++it) {
      Zef::Ptr<PhyBcm54980Status> status(it.ptr());
      ports.push_back({portLabels(status->name().str()), status, readStats(status->bcmStats())});
    }
  }
  // Hash order changes with the members: sort for a stable page.
  std::sort(ports.begin(), ports.end(), [](Port const& a, Port const& b) {
    return a.status->name().str() < b.status->name().str();
  });

  std::string out;
  out.reserve(512 + ports.size() * statFieldMetrics().size() * 96);

  auto link = [&](std::string const& name, std::string const& help, auto&& get) {
    appendFamily(out, name, help, false);
    for (Port const& p : ports) appendSample(out, name, &p.labels, get(*p.status));
  };
  link(std::string(kPrefix) + "link_up", "Whether the port's link is up (1) or down (0).",
       [](PhyBcm54980Status const& s) { return s.linkUp() ? 1.0 : 0.0; });
  link(std::string(kPrefix) + "speed_mbps", "The port's link speed in Mbit/s; 0 when unknown.",
       [](PhyBcm54980Status const& s) { return speedMbps(s.speed()); });
  link(std::string(kPrefix) + "full_duplex", "Whether the port runs full duplex (1) or half (0).",
       [](PhyBcm54980Status const& s) { return s.fullDuplex() ? 1.0 : 0.0; });

  std::vector<StatFieldMetric> const& metrics = statFieldMetrics();
  for (std::size_t i = 0; i < metrics.size(); ++i) {
    StatFieldMetric const& m = metrics[i];
    appendFamily(out, m.metric, "Statistic " + m.statistic + " (" + m.valueType + "), field " + m.field + ".",
                 m.counter);
    for (Port const& p : ports) {
      if (!p.stats.empty()) appendSample(out, m.metric, &p.labels, p.stats[i]);
    }
  }

  auto own = [&](char const* name, char const* help, bool counter, double v) {
    std::string const full = std::string(kPrefix) + name;
    appendFamily(out, full, help, counter);
    appendSample(out, full, nullptr, v);
  };
  own("mount_connected", "Whether the mount is connected to the agent.", false, health.connected ? 1 : 0);
  own("mount_synced", "Whether the mount holds the agent's state after the first synchronisation.", false,
      health.synced ? 1 : 0);
  own("mount_records_applied_total", "Records from the agent applied to the mounted entities.", true,
      static_cast<double>(health.recordsApplied));
  own("mount_records_refused_total", "Records from the agent refused as malformed or out of place.", true,
      static_cast<double>(health.recordsRefused));
  own("mount_seconds_since_last_record", "Seconds since the last record from the agent arrived.", false,
      health.secondsSinceLastRecord);
  return out;
}

// ---- The server ----

namespace {

using Clock = std::chrono::steady_clock;

// One request a connection, read within a deadline and bounded in size: a
// client that sends slowly, or much, holds a worker only briefly. Enough
// workers that a few such clients leave one free for a scrape.
constexpr auto kReadDeadline = std::chrono::seconds(3);
// Prometheus' own default scrape timeout.
constexpr auto kWriteDeadline = std::chrono::seconds(10);
constexpr std::size_t kMaxRequest = 8 * 1024;
constexpr std::size_t kWorkers = 8;

// A socket whose reads and writes give up at the connection's deadlines or
// when the server stops.
class DeadlineStream final : public httplib::Stream {
 public:
  DeadlineStream(socket_t sock, std::atomic<bool> const& stopping)
      : sock_(sock), stopping_(stopping), start_(Clock::now()) {}

  bool is_readable() const override { return wait(POLLIN, start_ + kReadDeadline); }
  bool is_writable() const override { return wait(POLLOUT, start_ + kWriteDeadline); }

  ssize_t read(char* ptr, std::size_t size) override {
    while (received_ < kMaxRequest && is_readable()) {
      ssize_t const n = ::recv(sock_, ptr, std::min(size, kMaxRequest - received_), MSG_DONTWAIT);
      if (n >= 0) {
        received_ += static_cast<std::size_t>(n);
        return n;
      }
      if (errno != EAGAIN && errno != EINTR) break;
    }
    return -1;
  }

  ssize_t write(char const* ptr, std::size_t size) override {
    while (is_writable()) {
      ssize_t const n = ::send(sock_, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n >= 0) return n;
      if (errno != EAGAIN && errno != EINTR) break;
    }
    return -1;
  }

  // The page is the same for every client.
  void get_remote_ip_and_port(std::string&, int&) const override {}
  void get_local_ip_and_port(std::string&, int&) const override {}
  socket_t socket() const override { return sock_; }

 private:
  // Short slices, so that stop() waits for no client.
  bool wait(short events, Clock::time_point deadline) const {
    for (;;) {
      auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || stopping_) return false;
      pollfd p{sock_, events, 0};
      int const r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
      if (r > 0) return true;
      if (r < 0 && errno != EINTR) return false;
    }
  }

  socket_t sock_;
  std::atomic<bool> const& stopping_;
  Clock::time_point start_;
  std::size_t received_ = 0;
};

class GuardedServer final : public httplib::Server {
 public:
  std::atomic<bool> stopping{false};

 private:
  bool process_and_close_socket(socket_t sock) override {
    DeadlineStream stream(sock, stopping);
    bool closed = false;
    // A Range is ignored: the whole page, never a multipart body.
    bool const ok = process_request(stream, true, closed, [](httplib::Request& req) { req.ranges.clear(); });
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
  }
};

}  // namespace

struct MetricsServer::Impl {
  GuardedServer server;
  std::atomic<bool> done{false};
};

MetricsServer::MetricsServer(std::string host, int port) : host_(std::move(host)), port_(port) {}

MetricsServer::~MetricsServer() { stop(); }

void MetricsServer::start() {
  if (thread_.joinable()) return;
  // The resolver's reason, which the library does not pass on.
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (int const e = ::getaddrinfo(host_.c_str(), nullptr, &hints, &found); e != 0) {
    throw std::runtime_error("cannot resolve " + host_ + ": " + ::gai_strerror(e));
  }
  ::freeaddrinfo(found);

  impl_ = std::make_unique<Impl>();
  GuardedServer& server = impl_->server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  // The library's default SO_REUSEPORT would let a second server share a
  // port that is in use; SO_REUSEADDR only allows a quick restart.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // Only GET and HEAD, without a body.
  server.set_pre_routing_handler([](httplib::Request const& req, httplib::Response& res) {
    if (req.method != "GET" && req.method != "HEAD") {
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
    } else if (req.has_header("Transfer-Encoding") ||
               (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0")) {
      res.status = 400;
    } else {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    return httplib::Server::HandlerResponse::Handled;
  });
  server.Get("/metrics", [this](httplib::Request const&, httplib::Response& res) {
    res.set_content(text(), "text/plain; version=0.0.4; charset=utf-8");
  });
  errno = 0;
  int bound = port_;
  if (port_ == 0) {
    bound = server.bind_to_any_port(host_);
  } else if (!server.bind_to_port(host_, port_)) {
    bound = 0;
  }
  if (bound <= 0) {
    int const e = errno;
    impl_.reset();
    throw std::runtime_error("cannot listen on port " + std::to_string(port_) +
                             (e ? ": " + std::generic_category().message(e) : ""));
  }
  port_ = bound;
  Impl* impl = impl_.get();
  thread_ = std::thread([impl] {
    impl->server.listen_after_bind();
    impl->done = true;
  });
  // stop() only takes effect once the loop runs: wait for it, or for its end.
  while (!impl->server.is_running() && !impl->done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void MetricsServer::stop() {
  if (!thread_.joinable()) return;
  impl_->server.stopping = true;
  impl_->server.stop();
  thread_.join();
  impl_.reset();
}

void MetricsServer::textIs(std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  text_ = std::move(text);
}

std::string MetricsServer::text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

}  // namespace MountMetrics
