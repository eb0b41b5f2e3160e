// A mount over a real Unix socket: the writer's and the mount's event loops
// are separate, as in two processes, and the mount's reactors hear what the
// writer changes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <asio.hpp>
#include <chrono>
#include <filesystem>
#include <functional>

#include "model/phy_bcm54980_dirs.h"
#include "replication/replication_testing.h"
#include "runtime/attrlog/socket/socket_transport.h"

namespace {

using namespace Hardware::Phy;
using namespace phytest;
using Zef::Ptr;
using Zef::AttrLogSocket::Client;
using Zef::AttrLogSocket::Server;
using Zef::AttrLogSocket::UnixAddress;
using Zef::NboAttrLog::Connection;

struct LinkCounter : PhyBcm54980Stats::Notifiee {
  int heard = 0;
  void onLinkState() override { ++heard; }
};

class SocketMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("socket_mount." + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs both loops in turn until `done` holds, for at most five seconds.
  bool runUntil(std::function<bool()> const& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      writerIo.poll();
      mountIo.poll();
    }
    return true;
  }

  std::filesystem::path dir_;
  asio::io_context writerIo;
  asio::io_context mountIo;
};

TEST_F(SocketMountTest, AStatusDirectoryMountsAndFollowsEveryChange) {
  auto configs = PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("configs");
  auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
  auto wexa = configs->wexaDescIs("w1", device, Hardware::XoltAccelId(1), Hardware::Mdio::BusId(2),
                                   Hardware::Mdio::PortAddr(3), MdioClient::clause22, Hardware::XoltAgentId(4));
  auto statuses = PhyBcm54980StatusDir::PhyBcm54980StatusDirIs("statuses");
  auto cfg = configs->phyConfigIs("p1", wexa, "api", "1.0");
  auto status = statuses->phyStatusIs("p1", mdioClause22, cfg, Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1"));
  auto stats = status->bcmStatsIs("p1");
  stats->crcErrorsIs(crcAfter(4));

  auto server = Server::ServerIs(writerIo, UnixAddress{(dir_ / "agent.sock").string()});
  server->onConnectionIs([&](Ptr<Connection> const& c) {
    c->rootIs(configs);
    c->rootIs(statuses);
  });
  auto client = Client::ClientIs(mountIo, server->address());
  Ptr<PhyBcm54980StatusDir> copy;
  client->connection()->onMountedIs([&](Ptr<Zef::Entity> const& e) {
    if (auto* d = dynamic_cast<PhyBcm54980StatusDir*>(e.ptr())) copy = Ptr<PhyBcm54980StatusDir>(d);
  });
  auto mountedStats = [&]() -> Ptr<PhyBcm54980Stats> {
    if (!copy || !copy->phyStatus("p1")) return nullptr;
    return copy->phyStatus("p1")->bcmStats();
  };
  ASSERT_TRUE(runUntil([&] { return mountedStats() && mountedStats()->crcErrors() == crcAfter(4); }));
  EXPECT_EQ(copy->phyStatus("p1")->phyConfig()->name(), "p1");

  Ptr<LinkCounter> heard(new LinkCounter, Zef::adoptRef);
  heard->isRegisteredNotifieeIs(true);
  heard->notifierIs(mountedStats());
  for (unsigned n = 1; n <= 3; ++n) {
    ConditionStat link = stats->linkState();
    link.currentIs(U1(n % 2));
    link.changesIs(n);
    stats->linkStateIs(link);
    ASSERT_TRUE(runUntil([&] { return heard->heard == static_cast<int>(n); }));
  }
  EXPECT_EQ(mountedStats()->linkState(), stats->linkState());
  status->linkUpIs(true);
  ASSERT_TRUE(runUntil([&] { return copy->phyStatus("p1")->linkUp(); }));
  EXPECT_EQ(client->connection()->framesRefused(), 0u) << client->connection()->lastRefusal();
}

}  // namespace

namespace {

struct CrcCounter : PhyBcm54980Stats::Notifiee {
  int heard = 0;
  void onCrcErrors() override { ++heard; }
};

// A driver's poll changes thousands of counters in one turn of its loop.
// While the socket takes them, each goes out as it is made: none falls back
// to a dirty bit (which would coalesce it with the next), and the mount hears
// every one.
TEST_F(SocketMountTest, CountersChangedInOneTurnGoOutAsTheyAreMadeWhileTheSocketHasRoom) {
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("port0");
  Zef::AttrLogSocket::Options roomy;
  roomy.socketSendBuffer = 512 * 1024;
  auto server = Server::ServerIs(writerIo, UnixAddress{(dir_ / "agent.sock").string()}, roomy);
  Ptr<Connection> agentSide;
  server->onConnectionIs([&](Ptr<Connection> const& c) {
    agentSide = c;
    c->rootIs(stats);
  });
  auto client = Client::ClientIs(mountIo, server->address());
  Ptr<PhyBcm54980Stats> copy;
  client->connection()->onMountedIs([&](Ptr<Zef::Entity> const& e) {
    if (auto* s = dynamic_cast<PhyBcm54980Stats*>(e.ptr())) copy = Ptr<PhyBcm54980Stats>(s);
  });
  ASSERT_TRUE(runUntil([&] { return copy && client->connection()->isSynced() && agentSide->out()->size() == 0; }));
  Ptr<CrcCounter> heard(new CrcCounter, Zef::adoptRef);
  heard->isRegisteredNotifieeIs(true);
  heard->notifierIs(copy);

  std::uint64_t const deferred = agentSide->demuxer()->deferrals();
  constexpr unsigned kChanges = 2000;  // some 70 KB of records, 35 times the backlog
  for (unsigned n = 1; n <= kChanges; ++n) stats->crcErrorsIs(crcAfter(n));
  EXPECT_EQ(agentSide->demuxer()->deferrals(), deferred);
  EXPECT_LT(agentSide->out()->size(), agentSide->out()->lowPriorityBacklog());

  ASSERT_TRUE(runUntil([&] { return copy->crcErrors() == crcAfter(kChanges); }));
  EXPECT_EQ(heard->heard, int(kChanges));
}

}  // namespace

namespace {

// A first synchronisation is written while it is made: the writer's send
// buffer holds a chunk of it at a time, never the whole state, and never
// grows past the block it starts with (a larger one is fresh memory, whose
// first touch is the costliest part of a resync on a virtual machine).
TEST_F(SocketMountTest, AFirstSynchronisationStreamsRatherThanBuildingUpInTheSendBuffer) {
  std::vector<Ptr<PhyBcm54980Stats>> table;
  for (int p = 0; p < 1024; ++p) {
    auto s = PhyBcm54980Stats::PhyBcm54980StatsIs("port" + std::to_string(p));
    s->crcErrorsIs(crcAfter(unsigned(p + 1)));
    table.push_back(s);
  }
  auto server = Server::ServerIs(writerIo, UnixAddress{(dir_ / "agent.sock").string()});
  Ptr<Connection> agentSide;
  server->onConnectionIs([&](Ptr<Connection> const& c) {
    agentSide = c;
    for (auto const& s : table) c->rootIs(s);
  });
  auto client = Client::ClientIs(mountIo, server->address());
  std::size_t largest = 0;
  ASSERT_TRUE(runUntil([&] {
    if (agentSide) largest = std::max(largest, agentSide->out()->bufferBytes());
    return client->connection()->isSynced();
  }));
  std::uint64_t const sent = agentSide->out()->bytesWritten();
  EXPECT_GT(sent, 700u * 1024) << "the state is some 750 KB";
  EXPECT_LE(largest, Zef::NboAttrLog::Out::kInitialAllocation) << "of " << sent << " bytes";
  EXPECT_EQ(client->connection()->framesRefused(), 0u);
  EXPECT_EQ(client->connection()->mounted().size(), table.size());
}

}  // namespace
