// The metrics page of a mount: statistics found through the type registry,
// labels from the status names, the text format's HELP/TYPE structure, and
// the server handing out the owner's latest text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "model/phy_bcm54980_dirs.h"
#include "runtime/types/generic_if.h"
#include "tools/mount_metrics.h"

namespace {

using namespace Hardware::Phy;
using MountMetrics::MetricsServer;
using MountMetrics::MountHealth;
using MountMetrics::prometheusText;
using ::testing::HasSubstr;
using ::testing::Not;
using Zef::Ptr;

std::vector<std::string> linesOf(std::string const& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool hasLine(std::string const& text, std::string const& line) {
  auto const lines = linesOf(text);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void expectLines(std::string const& text, std::initializer_list<char const*> lines) {
  for (char const* line : lines) EXPECT_TRUE(hasLine(text, line)) << line << "\n" << text;
}

// The statistics of the model: the stats entity's attributes whose type is
// one of the model's value types (the two framework flags are bool).
std::vector<Ptr<Zef::ZefAttr>> modelStatistics() {
  std::vector<Ptr<Zef::ZefAttr>> out;
  for (auto const& a : PhyBcm54980Stats::_fwkType()->attributes()) {
    if (!a->isFunction() && a->typeName().str().starts_with("Hardware::Phy::")) out.push_back(a);
  }
  return out;
}

class MountMetricsTest : public ::testing::Test {
 protected:
  Ptr<Hardware::Mdio::Device> device = Hardware::Mdio::Device::DeviceIs("mdio0");
  Ptr<MdioWexa::WexaDesc> wexa = MdioWexa::WexaDesc::WexaDescIs(
      "w", device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{0}, Hardware::Mdio::PortAddr{1},
      MdioClient::clause22, Hardware::XoltAgentId{0});
  Ptr<PhyConfig> config = PhyConfig::PhyConfigIs("c", wexa, "api", "1");
  Ptr<Interface::EthPhyIntfStatus> intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1");
  Ptr<PhyBcm54980StatusDir> dir = PhyBcm54980StatusDir::PhyBcm54980StatusDirIs("status");
  Ptr<PhyBcm54980Status> port1 = dir->phyStatusIs("chip0/port1", mdioClause22, config, intf);
  Ptr<PhyBcm54980Status> port2 = dir->phyStatusIs("chip1/port12", mdioClause22, config, intf);
  Ptr<PhyBcm54980Stats> stats1 = port1->bcmStatsIs("stats");
  Ptr<PhyBcm54980Stats> stats2 = port2->bcmStatsIs("stats");
  MountHealth health{true, false, 12345, 6, 0.25};
};

// The structure Prometheus' parser insists on: each family once, HELP then
// TYPE, then only its own samples; names and sample values well formed.
// Counts are counters, conditions gauges.
TEST_F(MountMetricsTest, EveryFamilyIsDeclaredOnceWithItsKindAndItsSamplesFollowIt) {
  std::regex const help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
  std::regex const type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
  std::regex const sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{chip="[^"]*",port="[^"]*"\})? (-?[0-9.e+]+|NaN|[+-]Inf))");
  std::set<std::string> seen;
  std::string current;
  std::string helped;
  int samples = 0;
  std::string const text = prometheusText(dir, health);
  for (std::string const& line : linesOf(text)) {
    std::smatch m;
    if (std::regex_match(line, m, help)) {
      helped = m[1];
      EXPECT_TRUE(seen.insert(helped).second) << "declared twice: " << helped;
    } else if (std::regex_match(line, m, type)) {
      EXPECT_EQ(m[1], helped) << line;
      current = m[1];
    } else if (std::regex_match(line, m, sample)) {
      EXPECT_EQ(m[1], current) << line;
      EXPECT_TRUE(current.starts_with("bcm54980_")) << line;
      ++samples;
    } else {
      ADD_FAILURE() << "malformed line: " << line;
    }
  }
  // Two ports' samples of each statistic field and link gauge, five own.
  EXPECT_EQ(samples, static_cast<int>(2 * (MountMetrics::statFieldMetrics().size() + 3) + 5));
  expectLines(text, {"# TYPE bcm54980_crc_errors_total counter", "# TYPE bcm54980_link_state gauge",
                     "# TYPE bcm54980_link_state_changes_total counter", "# TYPE bcm54980_link_up gauge",
                     "# TYPE bcm54980_mount_records_applied_total counter",
                     "# HELP bcm54980_crc_errors_total Statistic crcErrors (Hardware::Phy::EventOrCountStat), "
                     "field count."});
}

// Every statistic of the model is exported with every field it has, counts
// past 2^31 whole. The values are stored through each type's text form and
// the generic write, an other path than the one the page reads by.
TEST_F(MountMetricsTest, EveryStatisticOfTheModelAppearsWithItsValues) {
  auto const stats = modelStatistics();
  ASSERT_EQ(stats.size(), 42u);
  Ptr<Zef::GenericIf> entity = stats2->fwkType()->genericIf(stats2.ptr(), false);
  std::vector<std::string> expected;
  std::string const page0 = prometheusText(dir, health);
  for (std::size_t i = 0; i < stats.size(); ++i) {
    auto const& stat = stats[i];
    std::set<std::string> fields;
    for (auto const& f : stat->type()->attributes()) {
      if (!f->isFunction()) fields.insert(f->name().str());
    }
    std::string const base = "bcm54980_" + MountMetrics::snakeName(stat->name().str());
    std::string const labels = "{chip=\"chip1\",port=\"port12\"} ";
    std::string text = "Value('" + stat->typeName().str() + "', ** {";
    for (auto const& [field, value, suffix] : {std::tuple{"count", 4000000000u + i, "_total"},
                                               {"changes", 4100000000u + i, "_changes_total"},
                                               {"current", i % 2, ""}}) {
      if (!fields.count(field)) continue;
      text += (text.ends_with("{") ? "'" : ", '") + std::string(field) + "': " + std::to_string(value);
      expected.push_back(base + suffix + labels + std::to_string(value));
    }
    if (!fields.count("count")) {
      EXPECT_THAT(page0, Not(HasSubstr(base + "_total{"))) << "a _total without a count";
    }
    text += "})";
    ASSERT_TRUE(fields.count("count") || fields.count("changes") || fields.count("current"))
        << stat->name().str() << " has nothing to export";
    Ptr<Zef::GenericIf> value = stat->type()->genericIfFromText(Zef::String8(text));
    entity->attributeOp(Zef::AttributeOp{stat->id(), Zef::AttributeOp::kWrite}, {}, value);
    // The other port keeps zero for each.
    expected.push_back(base + (fields.count("count") ? "_total" : "") + "{chip=\"chip0\",port=\"port1\"} 0");
  }
  std::string const page = prometheusText(dir, health);
  for (std::string const& line : expected) EXPECT_TRUE(hasLine(page, line)) << line;
  EXPECT_EQ(stats2->crcErrors().count(), 4000000000u + 10u) << "crcErrors is the model's eleventh statistic";
}

// Link gauges come from the status, ports in name order; a port without
// statistics has the gauges only.
TEST_F(MountMetricsTest, LinkGaugesComeFromTheStatusInPortOrder) {
  port1->linkUpIs(true);
  port1->speedIs(Interface::speed1Gbps);
  port1->fullDuplexIs(true);
  port2->speedIs(Interface::speed2p5Gbps);
  dir->phyStatusIs("chip2/port0", mdioClause22, config, intf);
  std::string const text = prometheusText(dir, health);
  expectLines(
      text,
      {"bcm54980_link_up{chip=\"chip0\",port=\"port1\"} 1", "bcm54980_link_up{chip=\"chip1\",port=\"port12\"} 0",
       "bcm54980_link_up{chip=\"chip2\",port=\"port0\"} 0", "bcm54980_speed_mbps{chip=\"chip0\",port=\"port1\"} 1000",
       "bcm54980_speed_mbps{chip=\"chip1\",port=\"port12\"} 2500",
       "bcm54980_full_duplex{chip=\"chip0\",port=\"port1\"} 1",
       "bcm54980_full_duplex{chip=\"chip1\",port=\"port12\"} 0"});
  EXPECT_THAT(text, Not(HasSubstr("bcm54980_crc_errors_total{chip=\"chip2\"")));
  auto const a = text.find("bcm54980_link_up{chip=\"chip0\"");
  auto const b = text.find("bcm54980_link_up{chip=\"chip1\"");
  auto const c = text.find("bcm54980_link_up{chip=\"chip2\"");
  EXPECT_TRUE(a < b && b < c) << text;
}

TEST_F(MountMetricsTest, OtherNamesAreThePortWithAnEmptyChipAndAreEscaped) {
  dir->phyStatusIs("et\"7\\x", mdioClause22, config, intf)->bcmStatsIs("stats");
  std::string const text = prometheusText(dir, health);
  EXPECT_TRUE(hasLine(text, "bcm54980_crc_errors_total{chip=\"\",port=\"et\\\"7\\\\x\"} 0")) << text;
  for (char const* name : {"chip0", "chip0/", "chipA/port1", "chip0/port", "chip0/port1/x", "/port1", "port1"}) {
    auto const l = MountMetrics::portLabels(name);
    EXPECT_EQ(l.chip, "") << name;
    EXPECT_EQ(l.port, name);
  }
  auto const l = MountMetrics::portLabels("chip12/port345");
  EXPECT_EQ(l.chip + " " + l.port, "chip12 port345");
}

TEST_F(MountMetricsTest, TheMountsHealthHasNoLabelsAndIsThereWithoutADirectory) {
  std::string text = prometheusText(dir, health);
  expectLines(text,
              {"bcm54980_mount_connected 1", "bcm54980_mount_synced 0", "bcm54980_mount_records_applied_total 12345",
               "bcm54980_mount_records_refused_total 6", "bcm54980_mount_seconds_since_last_record 0.25",
               "# TYPE bcm54980_mount_seconds_since_last_record gauge"});
  text = prometheusText(Ptr<PhyBcm54980StatusDir>(), health);
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_connected 1")) << text;
  EXPECT_TRUE(hasLine(text, "# TYPE bcm54980_crc_errors_total counter")) << text;
  EXPECT_THAT(text, Not(HasSubstr("{chip=")));
  health.secondsSinceLastRecord = std::numeric_limits<double>::quiet_NaN();
  health.connected = false;
  health.synced = true;
  text = prometheusText(dir, health);
  expectLines(
      text, {"bcm54980_mount_seconds_since_last_record NaN", "bcm54980_mount_connected 0", "bcm54980_mount_synced 1"});
  health.secondsSinceLastRecord = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(hasLine(prometheusText(dir, health), "bcm54980_mount_seconds_since_last_record +Inf"));
}

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

httplib::Result get(int port, char const* path, int timeoutSeconds = 2, httplib::Headers const& headers = {}) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(timeoutSeconds);
  client.set_read_timeout(timeoutSeconds);
  return client.Get(path, headers);
}

// A raw client socket on the server's port that has sent `text`: requests no
// HTTP client sends.
int sendTo(int port, std::string const& text) {
  int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr const*>(&a), sizeof a), 0);
  (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  return fd;
}

// What the server sends until it closes the connection; nullopt when it is
// still open after the timeout.
std::optional<std::string> readUntilClosed(int fd, double timeoutSeconds) {
  std::string out;
  for (auto const start = Clock::now(); secondsSince(start) < timeoutSeconds;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t const n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

// The whole exchange of one raw request.
std::optional<std::string> exchange(int port, std::string const& request) {
  int const fd = sendTo(port, request);
  auto r = readUntilClosed(fd, 10);
  ::close(fd);
  return r;
}

// Clients that start a request and never finish it, sending a byte of a
// header now and then so that no single read waits long.
class SlowClients {
 public:
  SlowClients(int port, int count) {
    for (int i = 0; i < count; ++i) fds.push_back(sendTo(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: "));
    trickle_ = std::thread([this] {
      for (; !done_; std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
        for (int fd : fds) (void)::send(fd, "a", 1, MSG_NOSIGNAL);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  ~SlowClients() {
    done_ = true;
    trickle_.join();
    for (int fd : fds) ::close(fd);
  }
  std::vector<int> fds;

 private:
  std::atomic<bool> done_{false};
  std::thread trickle_;
};

// A server on a free loopback port, serving "up 1\n".
class MetricsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.textIs("up 1\n");
    server.start();
    ASSERT_GT(server.port(), 0);
  }
  void expectPage(std::string const& body, int timeoutSeconds = 2) {
    auto r = get(server.port(), "/metrics", timeoutSeconds);
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, body);
  }
  MetricsServer server{"127.0.0.1", 0};
};

TEST_F(MetricsServerTest, ServesTheLatestTextItWasGiven) {
  auto r = get(server.port(), "/metrics");
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->body, "up 1\n");
  EXPECT_THAT(r->get_header_value("Content-Type"), HasSubstr("text/plain; version=0.0.4"));
  server.textIs("second 2\n");
  expectPage("second 2\n");
  r = get(server.port(), "/other");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
  server.stop();
  EXPECT_FALSE(server.running());
  EXPECT_FALSE(get(server.port(), "/metrics")) << "still answering after stop";
}

TEST_F(MetricsServerTest, StopsRightAfterStartAndOnDestruction) {
  for (int i = 0; i < 20; ++i) {
    MetricsServer other("127.0.0.1", 0);
    other.start();
    EXPECT_TRUE(other.running());
    if (i % 2) other.stop();
  }
}

TEST_F(MetricsServerTest, APortInUseOrAnUnknownHostIsRefusedWithTheReason) {
  auto refusal = [](MetricsServer& s) -> std::string {
    try {
      s.start();
      return "listening";
    } catch (std::runtime_error const& e) {
      EXPECT_FALSE(s.running());
      return e.what();
    }
  };
  MetricsServer second("127.0.0.1", server.port());
  EXPECT_THAT(refusal(second), HasSubstr("in use"));
  MetricsServer unknown("nohost.invalid", 0);
  EXPECT_THAT(refusal(unknown), HasSubstr("cannot resolve nohost.invalid"));
  expectPage("up 1\n");
}

// Fewer slow clients than workers: a scrape is answered before their
// requests run out of time, and stopping does not wait for them.
TEST_F(MetricsServerTest, SlowClientsLeaveWorkersForAScrape) {
  SlowClients slow(server.port(), 6);
  auto const start = Clock::now();
  expectPage("up 1\n", 10);
  EXPECT_LT(secondsSince(start), 2.0) << "the scrape waited for the slow clients";
  auto const stopping = Clock::now();
  server.stop();
  EXPECT_LT(secondsSince(stopping), 2.0) << "stop waited for the slow clients";
}

// More slow clients than workers: each is cut off though it keeps sending,
// and a scrape meanwhile still gets the page.
TEST_F(MetricsServerTest, SlowClientsAreCutOff) {
  SlowClients slow(server.port(), 12);
  expectPage("up 1\n", 15);
  for (int fd : slow.fds) {
    auto const answer = readUntilClosed(fd, 10);
    ASSERT_TRUE(answer) << "a slow client still connected after 10 s";
    EXPECT_THAT(*answer, Not(HasSubstr("200 OK")));
  }
}

// Ranges, however many, get the whole page: never a multipart body many
// times its size.
TEST_F(MetricsServerTest, ARangeGetsTheWholePage) {
  std::string page;
  for (int i = 0; i < 100; ++i) page += "sample_" + std::to_string(i) + " 1\n";
  server.textIs(page);
  std::string parts = "bytes=0-";
  for (int i = 1; i < 1000; ++i) parts += ",0-";
  for (std::string const& range : {parts, std::string("bytes=0-9")}) {
    auto r = get(server.port(), "/metrics", 10, {{"Range", range}});
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200) << range.substr(0, 20);
    EXPECT_EQ(r->body, page);
    EXPECT_THAT(r->get_header_value("Content-Type"), Not(HasSubstr("multipart")));
  }
}

// A request bigger than any scrape is refused or cut; the server serves on.
TEST_F(MetricsServerTest, AnOversizedRequestIsRefused) {
  std::string manyHeaders;
  for (int i = 0; i < 400; ++i) manyHeaders += "X-Header-" + std::to_string(i) + ": value\r\n";
  for (std::string const& request :
       {"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n",
        "GET /metrics HTTP/1.1\r\nHost: x\r\n" + manyHeaders + "\r\n",
        "GET /metrics?" + std::string(9000, 'q') + " HTTP/1.1\r\nHost: x\r\n\r\n"}) {
    auto const answer = exchange(server.port(), request);
    ASSERT_TRUE(answer) << "still connected after 10 s";
    EXPECT_TRUE(answer->empty() || answer->starts_with("HTTP/1.1 4")) << answer->substr(0, 40);
  }
  expectPage("up 1\n");
}

TEST_F(MetricsServerTest, OnlyGetAndHeadWithoutABodyAreServed) {
  auto status = [&](std::string const& request) {
    auto const answer = exchange(server.port(), request);
    return answer ? answer->substr(0, 12) : "(open)";
  };
  EXPECT_EQ(status("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"), "HTTP/1.1 405");
  EXPECT_EQ(status("DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 405");
  EXPECT_EQ(status("GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"), "HTTP/1.1 400");
  EXPECT_EQ(status("GET /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: "
                   "chunked\r\n\r\n0\r\n\r\n"),
            "HTTP/1.1 400");
  auto const head = exchange(server.port(), "HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_TRUE(head->starts_with("HTTP/1.1 200")) << *head;
  EXPECT_TRUE(head->ends_with("\r\n\r\n")) << "a body after HEAD: " << *head;
  // One request a connection: a second one on it is not answered.
  auto const two = exchange(server.port(), "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\nGET /metrics HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(two);
  EXPECT_EQ(two->find("HTTP/1.1", 1), std::string::npos) << *two;
}

}  // namespace
