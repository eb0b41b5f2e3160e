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

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
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
  for (std::string const& l : linesOf(text)) {
    if (l == line) return true;
  }
  return false;
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

// The attributes of a statistic's value type, by name.
std::set<std::string> fieldsOf(Ptr<Zef::ZefAttr> const& stat) {
  std::set<std::string> out;
  for (auto const& f : stat->type()->attributes()) {
    if (!f->isFunction()) out.insert(f->name().str());
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

TEST_F(MountMetricsTest, ACountBecomesACounterLineWithChipAndPortLabels) {
  EventOrCountStat crc;
  crc.countIs(17);
  stats1->crcErrorsIs(crc);
  crc.countIs(4000000000u);
  stats2->crcErrorsIs(crc);
  std::string const text = prometheusText(dir, health);
  EXPECT_TRUE(hasLine(text, "bcm54980_crc_errors_total{chip=\"chip0\",port=\"port1\"} 17")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_crc_errors_total{chip=\"chip1\",port=\"port12\"} 4000000000")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_false_carriers_total{chip=\"chip0\",port=\"port1\"} 0")) << text;
}

TEST_F(MountMetricsTest, AConditionBecomesAGaugeAndAChangesCounter) {
  ConditionStat link;
  link.currentIs(U1(1));
  link.changesIs(3);
  stats2->linkStateIs(link);
  ConditionOrChangedStat energy;
  energy.changesIs(9);
  stats1->copperEnergyIs(energy);
  std::string const text = prometheusText(dir, health);
  EXPECT_TRUE(hasLine(text, "bcm54980_link_state{chip=\"chip1\",port=\"port12\"} 1")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_link_state_changes_total{chip=\"chip1\",port=\"port12\"} 3")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_link_state{chip=\"chip0\",port=\"port1\"} 0")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_copper_energy_changes_total{chip=\"chip0\",port=\"port1\"} 9")) << text;
  // A condition has no count: no _total of its own.
  EXPECT_THAT(text, Not(HasSubstr("bcm54980_link_state_total")));
}

TEST_F(MountMetricsTest, FamiliesHaveHelpAndTypeLines) {
  std::string const text = prometheusText(dir, health);
  EXPECT_TRUE(hasLine(text, "# TYPE bcm54980_crc_errors_total counter")) << text;
  EXPECT_TRUE(hasLine(text, "# TYPE bcm54980_link_state gauge")) << text;
  EXPECT_TRUE(hasLine(text, "# TYPE bcm54980_link_state_changes_total counter")) << text;
  EXPECT_TRUE(hasLine(text, "# TYPE bcm54980_link_up gauge")) << text;
  EXPECT_TRUE(hasLine(text, "# TYPE bcm54980_mount_records_applied_total counter")) << text;
  EXPECT_TRUE(hasLine(text,
                      "# HELP bcm54980_crc_errors_total Statistic crcErrors (Hardware::Phy::EventOrCountStat), "
                      "field count."))
      << text;
}

// The structure Prometheus' parser insists on: each family once, HELP then
// TYPE, then only its own samples; names and sample values well formed.
TEST_F(MountMetricsTest, EveryFamilyIsDeclaredOnceAndItsSamplesFollowIt) {
  std::regex const help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
  std::regex const type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
  std::regex const sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{chip="[^"]*",port="[^"]*"\})? (-?[0-9.e+]+|NaN|[+-]Inf))");
  std::set<std::string> seen;
  std::string current;
  std::string helped;
  int samples = 0;
  for (std::string const& line : linesOf(prometheusText(dir, health))) {
    std::smatch m;
    if (std::regex_match(line, m, help)) {
      helped = m[1];
      EXPECT_TRUE(seen.insert(helped).second) << "declared twice: " << helped;
    } else if (std::regex_match(line, m, type)) {
      EXPECT_EQ(m[1], helped) << line;
      current = m[1];
    } else if (std::regex_match(line, m, sample)) {
      EXPECT_EQ(m[1], current) << line;
      ++samples;
    } else {
      ADD_FAILURE() << "malformed line: " << line;
    }
  }
  // Two ports' samples of each statistic field and link gauge, five own.
  EXPECT_EQ(samples, static_cast<int>(2 * (MountMetrics::statFieldMetrics().size() + 3) + 5));
}

// Every statistic of the model is exported with every field it has. The
// values are stored through each type's text form and the generic write, an
// other path than the one the page reads by.
TEST_F(MountMetricsTest, EveryStatisticOfTheModelAppearsWithItsValues) {
  auto const stats = modelStatistics();
  ASSERT_EQ(stats.size(), 42u);
  Ptr<Zef::GenericIf> entity = stats2->fwkType()->genericIf(stats2.ptr(), false);
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < stats.size(); ++i) {
    auto const& stat = stats[i];
    std::set<std::string> const fields = fieldsOf(stat);
    std::string text = "Value('" + stat->typeName().str() + "', ** {";
    std::string const base = "bcm54980_" + MountMetrics::snakeName(stat->name().str());
    std::string const labels = "{chip=\"chip1\",port=\"port12\"} ";
    std::string sep;
    if (fields.count("count")) {
      text += sep + "'count': " + std::to_string(1000 + i);
      sep = ", ";
      expected.push_back(base + "_total" + labels + std::to_string(1000 + i));
    }
    if (fields.count("changes")) {
      text += sep + "'changes': " + std::to_string(2000 + i);
      sep = ", ";
      expected.push_back(base + "_changes_total" + labels + std::to_string(2000 + i));
    }
    if (fields.count("current")) {
      text += sep + "'current': " + std::to_string(i % 2);
      expected.push_back(base + labels + std::to_string(i % 2));
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
  EXPECT_EQ(stats2->crcErrors().count(), 1000u + 10u) << "crcErrors is the model's eleventh statistic";
}

TEST_F(MountMetricsTest, MetricNamesAreDistinctAndPrefixed) {
  std::set<std::string> names;
  for (auto const& m : MountMetrics::statFieldMetrics()) {
    EXPECT_TRUE(names.insert(m.metric).second) << m.metric;
    EXPECT_TRUE(m.metric.starts_with("bcm54980_")) << m.metric;
  }
  for (char const* own : {"bcm54980_link_up", "bcm54980_speed_mbps", "bcm54980_full_duplex"}) {
    EXPECT_FALSE(names.count(own)) << own;
  }
}

TEST_F(MountMetricsTest, LinkGaugesComeFromTheStatus) {
  port1->linkUpIs(true);
  port1->speedIs(Interface::speed1Gbps);
  port1->fullDuplexIs(true);
  port2->speedIs(Interface::speed2p5Gbps);
  std::string const text = prometheusText(dir, health);
  EXPECT_TRUE(hasLine(text, "bcm54980_link_up{chip=\"chip0\",port=\"port1\"} 1")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_link_up{chip=\"chip1\",port=\"port12\"} 0")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_speed_mbps{chip=\"chip0\",port=\"port1\"} 1000")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_speed_mbps{chip=\"chip1\",port=\"port12\"} 2500")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_full_duplex{chip=\"chip0\",port=\"port1\"} 1")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_full_duplex{chip=\"chip1\",port=\"port12\"} 0")) << text;
}

TEST_F(MountMetricsTest, PortsAreInNameOrder) {
  std::string const text = prometheusText(dir, health);
  auto const a = text.find("bcm54980_link_up{chip=\"chip0\"");
  auto const b = text.find("bcm54980_link_up{chip=\"chip1\"");
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  EXPECT_LT(a, b);
}

TEST_F(MountMetricsTest, OtherNamesAreThePortWithAnEmptyChipAndAreEscaped) {
  auto odd = dir->phyStatusIs("et\"7\\x", mdioClause22, config, intf);
  odd->bcmStatsIs("stats");
  std::string const text = prometheusText(dir, health);
  EXPECT_TRUE(hasLine(text, "bcm54980_crc_errors_total{chip=\"\",port=\"et\\\"7\\\\x\"} 0")) << text;
  for (char const* name : {"chip0", "chip0/", "chipA/port1", "chip0/port", "chip0/port1/x", "/port1", "port1"}) {
    auto const l = MountMetrics::portLabels(name);
    EXPECT_EQ(l.chip, "") << name;
    EXPECT_EQ(l.port, name);
  }
  auto const l = MountMetrics::portLabels("chip12/port345");
  EXPECT_EQ(l.chip, "chip12");
  EXPECT_EQ(l.port, "port345");
}

TEST_F(MountMetricsTest, APortWithoutStatisticsHasLinkGaugesOnly) {
  dir->phyStatusIs("chip2/port0", mdioClause22, config, intf);
  std::string const text = prometheusText(dir, health);
  EXPECT_TRUE(hasLine(text, "bcm54980_link_up{chip=\"chip2\",port=\"port0\"} 0")) << text;
  EXPECT_THAT(text, Not(HasSubstr("bcm54980_crc_errors_total{chip=\"chip2\"")));
}

TEST_F(MountMetricsTest, TheMountsHealthHasNoLabels) {
  std::string text = prometheusText(dir, health);
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_connected 1")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_synced 0")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_records_applied_total 12345")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_records_refused_total 6")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_seconds_since_last_record 0.25")) << text;
  EXPECT_TRUE(hasLine(text, "# TYPE bcm54980_mount_seconds_since_last_record gauge")) << text;
  health.secondsSinceLastRecord = std::numeric_limits<double>::quiet_NaN();
  health.connected = false;
  health.synced = true;
  text = prometheusText(dir, health);
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_seconds_since_last_record NaN")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_connected 0")) << text;
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_synced 1")) << text;
  health.secondsSinceLastRecord = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(hasLine(prometheusText(dir, health), "bcm54980_mount_seconds_since_last_record +Inf"));
}

TEST_F(MountMetricsTest, NoDirectoryStillGivesTheMountsHealth) {
  std::string const text = prometheusText(Ptr<PhyBcm54980StatusDir>(), health);
  EXPECT_TRUE(hasLine(text, "bcm54980_mount_connected 1")) << text;
  EXPECT_TRUE(hasLine(text, "# TYPE bcm54980_crc_errors_total counter")) << text;
  EXPECT_THAT(text, Not(HasSubstr("{chip=")));
}

using Clock = std::chrono::steady_clock;

httplib::Result get(int port, char const* path, int timeoutSeconds = 2, httplib::Headers const& headers = {}) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(timeoutSeconds);
  client.set_read_timeout(timeoutSeconds);
  return client.Get(path, headers);
}

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A raw client socket on the server's port: requests no HTTP client sends.
int connectTo(int port) {
  int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr const*>(&a), sizeof a), 0);
  return fd;
}

void sendText(int fd, std::string const& text) { (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

// What the server sends until it closes the connection; nullopt when it is
// still open after the timeout.
std::optional<std::string> readUntilClosed(int fd, double timeoutSeconds) {
  std::string out;
  auto const start = Clock::now();
  while (secondsSince(start) < timeoutSeconds) {
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
  int const fd = connectTo(port);
  sendText(fd, request);
  auto r = readUntilClosed(fd, 10);
  ::close(fd);
  return r;
}

// Clients that start a request and never finish it, sending a byte of a
// header now and then so that no single read waits long.
class SlowClients {
 public:
  SlowClients(int port, int count) {
    for (int i = 0; i < count; ++i) {
      fds_.push_back(connectTo(port));
      sendText(fds_.back(), "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: ");
    }
    trickle_ = std::thread([this] {
      while (!done_) {
        for (int fd : fds_) sendText(fd, "a");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    });
  }
  ~SlowClients() {
    done_ = true;
    trickle_.join();
    for (int fd : fds_) ::close(fd);
  }
  std::vector<int> const& fds() const { return fds_; }

 private:
  std::vector<int> fds_;
  std::atomic<bool> done_{false};
  std::thread trickle_;
};

TEST(MetricsServerTest, ServesTheLatestTextItWasGiven) {
  MetricsServer server("127.0.0.1", 0);
  server.textIs("first 1\n");
  server.start();
  ASSERT_GT(server.port(), 0);
  auto r = get(server.port(), "/metrics");
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "first 1\n");
  EXPECT_THAT(r->get_header_value("Content-Type"), HasSubstr("text/plain; version=0.0.4"));
  server.textIs("second 2\n");
  r = get(server.port(), "/metrics");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "second 2\n");
  r = get(server.port(), "/other");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
  server.stop();
  EXPECT_FALSE(server.running());
  EXPECT_FALSE(get(server.port(), "/metrics")) << "still answering after stop";
}

TEST(MetricsServerTest, StopsRightAfterStartAndOnDestruction) {
  for (int i = 0; i < 20; ++i) {
    MetricsServer server("127.0.0.1", 0);
    server.start();
    EXPECT_TRUE(server.running());
    if (i % 2) server.stop();
  }
}

TEST(MetricsServerTest, APortInUseOrAnUnknownHostIsRefusedWithTheReason) {
  MetricsServer first("127.0.0.1", 0);
  first.start();
  MetricsServer second("127.0.0.1", first.port());
  try {
    second.start();
    ADD_FAILURE() << "listening on a port in use";
  } catch (std::runtime_error const& e) {
    EXPECT_THAT(e.what(), HasSubstr("in use"));
  }
  EXPECT_FALSE(second.running());
  MetricsServer unknown("nohost.invalid", 0);
  try {
    unknown.start();
    ADD_FAILURE() << "listening on an unknown host";
  } catch (std::runtime_error const& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot resolve nohost.invalid"));
  }
  EXPECT_FALSE(unknown.running());
  EXPECT_TRUE(get(first.port(), "/metrics")) << "the first server stopped serving";
}

// Fewer slow clients than workers: a scrape is answered before their
// requests run out of time, and stopping does not wait for them.
TEST(MetricsServerTest, SlowClientsLeaveWorkersForAScrape) {
  MetricsServer server("127.0.0.1", 0);
  server.textIs("up 1\n");
  server.start();
  SlowClients slow(server.port(), 6);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto const start = Clock::now();
  auto r = get(server.port(), "/metrics", 10);
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->body, "up 1\n");
  EXPECT_LT(secondsSince(start), 2.0) << "the scrape waited for the slow clients";
  auto const stopping = Clock::now();
  server.stop();
  EXPECT_LT(secondsSince(stopping), 2.0) << "stop waited for the slow clients";
}

// More slow clients than workers: each is cut off though it keeps sending,
// and a scrape meanwhile still gets the page.
TEST(MetricsServerTest, SlowClientsAreCutOff) {
  MetricsServer server("127.0.0.1", 0);
  server.textIs("up 1\n");
  server.start();
  SlowClients slow(server.port(), 12);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto r = get(server.port(), "/metrics", 15);
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->body, "up 1\n");
  for (int fd : slow.fds()) {
    auto const answer = readUntilClosed(fd, 10);
    ASSERT_TRUE(answer) << "a slow client still connected after 10 s";
    EXPECT_THAT(*answer, Not(HasSubstr("200 OK")));
  }
}

// Ranges, however many, get the whole page: never a multipart body many
// times its size.
TEST(MetricsServerTest, ARangeGetsTheWholePage) {
  MetricsServer server("127.0.0.1", 0);
  std::string page;
  for (int i = 0; i < 100; ++i) page += "sample_" + std::to_string(i) + " 1\n";
  server.textIs(page);
  server.start();
  std::string parts = "bytes=0-";
  for (int i = 1; i < 1000; ++i) parts += ",0-";
  for (std::string const& range : {parts, std::string("bytes=0-9")}) {
    auto r = get(server.port(), "/metrics", 10, {{"Range", range}});
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200) << range.substr(0, 20);
    ASSERT_EQ(r->body.size(), page.size());
    EXPECT_EQ(r->body, page);
    EXPECT_THAT(r->get_header_value("Content-Type"), Not(HasSubstr("multipart")));
  }
}

// A request bigger than any scrape is refused or cut; the server serves on.
TEST(MetricsServerTest, AnOversizedRequestIsRefused) {
  MetricsServer server("127.0.0.1", 0);
  server.textIs("up 1\n");
  server.start();
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
  auto r = get(server.port(), "/metrics");
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->body, "up 1\n");
}

TEST(MetricsServerTest, OnlyGetAndHeadWithoutABodyAreServed) {
  MetricsServer server("127.0.0.1", 0);
  server.textIs("up 1\n");
  server.start();
  auto status = [&](std::string const& request) {
    auto const answer = exchange(server.port(), request);
    return answer ? answer->substr(0, 12) : "(open)";
  };
  EXPECT_EQ(status("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"), "HTTP/1.1 405");
  EXPECT_EQ(status("DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 405");
  EXPECT_EQ(status("GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"), "HTTP/1.1 400");
  EXPECT_EQ(status("GET /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
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
