// The simulated chips, the driver's state, the dump and its comparison, and
// the driver's state mounted over an in-memory connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "runtime/attrlog/connection.h"
#include "tests/replication/replication_testing.h"
#include "tools/phy_cli.h"
#include "sim/phy_sim.h"

namespace {

using namespace Hardware::Phy;
using namespace phytools;
using Zef::Ptr;

TEST(Scenario, TheFourNamesAreKnownAndNothingElse) {
  Scenario s{};
  EXPECT_TRUE(scenarioFromText("storm", &s));
  EXPECT_EQ(s, Scenario::storm);
  EXPECT_TRUE(scenarioFromText("quiet", &s));
  EXPECT_EQ(s, Scenario::quiet);
  EXPECT_FALSE(scenarioFromText("Storm", &s));
  EXPECT_FALSE(scenarioFromText("", &s));
}

TEST(ChipSimulator, TheSameSeedRepeatsARunAndAnotherSeedDoesNot) {
  auto run = [](std::uint32_t seed) {
    ChipSimulator sim(Scenario::noisy, seed, 8);
    std::vector<std::uint32_t> crc;
    for (std::uint64_t poll = 0; poll < 300; ++poll) {
      for (unsigned p = 0; p < 8; ++p) crc.push_back(sim.read(p, poll).crcErrors);
    }
    return crc;
  };
  EXPECT_EQ(run(7), run(7));
  EXPECT_NE(run(7), run(8));
}

TEST(ChipSimulator, QuietLinksStayUpWithoutErrors) {
  ChipSimulator sim(Scenario::quiet, 1, 4);
  for (std::uint64_t poll = 0; poll < 100; ++poll) {
    for (unsigned p = 0; p < 4; ++p) {
      RegisterRead r = sim.read(p, poll);
      EXPECT_TRUE(r.linkUp && r.energy && r.sgmiiSync && r.sgmiiLink);
      EXPECT_EQ(r.speed, Interface::speed1Gbps);
      EXPECT_EQ(r.crcErrors + r.falseCarriers + r.rxErrors + r.txErrors, 0u);
    }
  }
}

TEST(ChipSimulator, FlapMovesOnePortsLinkEveryPollAndNoOther) {
  ChipSimulator sim(Scenario::flap, 1, 3);
  for (std::uint64_t poll = 0; poll < 10; ++poll) {
    RegisterRead r0 = sim.read(0, poll);
    EXPECT_EQ(r0.linkUp, poll % 2 == 0) << "poll " << poll;
    EXPECT_EQ(r0.sgmiiLink, r0.linkUp);
    EXPECT_EQ(r0.speed == Interface::speedUnknown, !r0.linkUp);
    EXPECT_TRUE(sim.read(1, poll).linkUp);
    EXPECT_TRUE(sim.read(2, poll).linkUp);
  }
}

TEST(ChipSimulator, StormFlapsEveryPortEveryPoll) {
  ChipSimulator sim(Scenario::storm, 3, 16);
  std::vector<bool> last(16, true);
  for (std::uint64_t poll = 0; poll < 6; ++poll) {
    for (unsigned p = 0; p < 16; ++p) {
      RegisterRead r = sim.read(p, poll);
      EXPECT_NE(r.linkUp, last[p]) << "port " << p << " poll " << poll;
      EXPECT_TRUE(r.energyChanged);
      last[p] = r.linkUp;
    }
  }
}

TEST(ChipSimulator, NoisyErrorsComeAtTheirRates) {
  ChipSimulator sim(Scenario::noisy, 11, 48);
  unsigned crcPolls = 0, txPolls = 0, reads = 0;
  for (std::uint64_t poll = 0; poll < 500; ++poll) {
    for (unsigned p = 0; p < 48; ++p, ++reads) {
      RegisterRead r = sim.read(p, poll);
      crcPolls += r.crcErrors > 0;
      txPolls += r.txErrors > 0;
      EXPECT_LE(r.crcErrors, 40u);
    }
  }
  // 3% and 0.3% of 24000 reads, with room for chance.
  EXPECT_GT(crcPolls, reads * 2 / 100);
  EXPECT_LT(crcPolls, reads * 4 / 100);
  EXPECT_GT(txPolls, 0u);
  EXPECT_LT(txPolls, crcPolls / 4);
}

class DriverTest : public ::testing::Test {
 protected:
  PhyDriver driver{2, 8};
  Ptr<PhyBcm54980Status> port(std::string const& name) { return driver.statuses()->phyStatus(name); }
};

TEST_F(DriverTest, KeepsEveryPortsConfigStatusStatisticsAndReferences) {
  auto roots = driver.roots();
  ASSERT_EQ(roots.size(), 5u);
  auto chips = dynamic_cast<PhyBcm54980ChipConfigDir*>(roots[0].ptr());
  auto configs = dynamic_cast<PhyBcm54980ConfigDir*>(roots[1].ptr());
  auto activeConfigs = dynamic_cast<PhyBcm54980ConfigPtrDir*>(roots[3].ptr());
  auto activeStatuses = dynamic_cast<PhyBcm54980StatusPtrDir*>(roots[4].ptr());
  ASSERT_TRUE(chips && configs && activeConfigs && activeStatuses);
  ASSERT_NE(chips->phyChipConfig("chip1"), nullptr);
  EXPECT_NE(chips->phyChipConfig("chip1")->reset(), nullptr);
  EXPECT_NE(chips->phyChipConfig("chip1")->interrupt(), nullptr);
  auto cfg = configs->phyConfig("chip1/port7");
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(cfg->phyChipConfig(), chips->phyChipConfig("chip1"));
  EXPECT_EQ(cfg->wexaDesc(), configs->wexaDesc("chip1/port7"));
  EXPECT_EQ(activeConfigs->phyConfig("chip1/port7"), cfg);
  EXPECT_EQ(activeStatuses->phyStatus("chip1/port7"), port("chip1/port7"));
  EXPECT_EQ(configs->phyConfig("chip2/port0"), nullptr);
  ASSERT_NE(port("chip0/port0")->bcmStats(), nullptr);
  EXPECT_EQ(driver.ports(), 16u);
}

TEST_F(DriverTest, ALinkDropIsStoredInTheStatusAndItsStatistics) {
  RegisterRead up;
  up.linkUp = up.energy = up.sgmiiSync = up.sgmiiLink = up.fullDuplex = true;
  up.speed = Interface::speed1Gbps;
  auto s = port("chip0/port3");
  PhyDriver::observe(*s, up, 1.0);
  RegisterRead down;
  down.energyChanged = true;
  down.sgmiiSync = true;
  down.crcErrors = 5;
  PhyDriver::observe(*s, down, 2.0);
  EXPECT_FALSE(s->linkUp());
  EXPECT_EQ(s->speed(), Interface::speedUnknown);
  EXPECT_EQ(s->linkDownCount(), 1u);
  EXPECT_EQ(s->lastLinkChange(), 2.0);
  auto st = s->bcmStats();
  EXPECT_EQ(st->linkState().changes(), 2u) << "up, then down";
  EXPECT_EQ(st->linkState().lastChange(), 2.0);
  EXPECT_EQ(st->crcErrors().count(), 5u);
  EXPECT_EQ(st->crcErrors().last(), 2.0);
  EXPECT_EQ(st->speedChanges().count(), 2u);
  EXPECT_EQ(st->energyDetectChanges().count(), 1u);
  EXPECT_EQ(st->statusUpdates().count(), 2u);
  EXPECT_EQ(st->sgmiiRxSync().changes(), 1u) << "in sync from the first read on";
}

TEST_F(DriverTest, TheDumpHasEveryStatisticOfEveryPortSorted) {
  ChipSimulator sim(Scenario::noisy, 5, driver.ports());
  for (std::uint64_t poll = 0; poll < 20; ++poll) driver.poll(sim, poll, static_cast<double>(poll));
  auto lines = dumpLines(*driver.statuses());
  EXPECT_EQ(lines.size(), 16u * 42u);
  EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
  auto it = std::find_if(lines.begin(), lines.end(), [](auto const& l) { return l.rfind("chip1/port2 crcErrors ", 0) == 0; });
  ASSERT_NE(it, lines.end());
  std::string const want = "chip1/port2 crcErrors " + valueToStrep(port("chip1/port2")->bcmStats()->crcErrors()).str();
  EXPECT_EQ(*it, want);
  EXPECT_NE(it->find("Value('Hardware::Phy::EventOrCountStat', ** {"), std::string::npos) << *it;
}

TEST(CompareDumps, CountsMissingExtraAndChangedStatistics) {
  std::vector<std::string> want{"p0 a 1", "p0 b 2", "p1 a 3"};
  auto same = compareDumps(want, want);
  EXPECT_EQ(comparisonLine(same), "2 ports, 3 statistics, 0 differences");
  auto c = compareDumps(want, {"p0 a 1", "p0 b 9", "p1 z 3"});
  EXPECT_EQ(c.differences, 3u) << "b changed, a of p1 missing, z extra";
  EXPECT_EQ(c.firstDifferences.size(), 3u);
  EXPECT_EQ(compareDumps(want, {}).differences, 3u);
}

TEST(TcpAddress, APortAloneIsLoopbackAndAHostIsKept) {
  Zef::AttrLogSocket::TcpAddress a;
  ASSERT_TRUE(tcpAddressFromText("7000", &a));
  EXPECT_EQ(a.host, "127.0.0.1");
  EXPECT_EQ(a.port, 7000);
  ASSERT_TRUE(tcpAddressFromText("localhost:80", &a));
  EXPECT_EQ(a.host, "localhost");
  EXPECT_EQ(a.port, 80);
  EXPECT_FALSE(tcpAddressFromText("70000", &a));
  EXPECT_FALSE(tcpAddressFromText("host:", &a));
  EXPECT_FALSE(tcpAddressFromText("12x", &a));
}

// The driver's state mounted in memory: after cuts in the middle of the
// traffic, the mount's dump is the driver's.
TEST(DriverMount, AMountConvergesToTheDriversDumpAfterCuts) {
  PhyDriver driver(2, 8);
  ChipSimulator sim(Scenario::storm, 9, driver.ports());
  // By type and name: referenced entities are announced too, and names repeat across types.
  std::map<std::pair<Zef::ZefType*, std::string>, Ptr<Zef::Entity>> held;
  std::uint64_t poll = 0;
  std::unique_ptr<Zef::NboAttrLog::MemoryPair> pair;
  for (int round = 0; round < 4; ++round) {
    pair = std::make_unique<Zef::NboAttrLog::MemoryPair>(64 * 1024);
    pair->b()->rootFinderIs([&](Zef::ZefType* type, Zef::Name const& name) -> Ptr<Zef::Entity> {
      auto it = held.find({type, name.str()});
      return it == held.end() ? nullptr : it->second;
    });
    pair->b()->onMountedIs([&](Ptr<Zef::Entity> const& e) { held[{e->fwkType(), e->name().str()}] = e; });
    for (auto const& r : driver.roots()) pair->a()->rootIs(r);
    for (int step = 0; step < 5; ++step) {
      pair->pumpAtoB(3000);
      driver.poll(sim, poll, static_cast<double>(poll));
      ++poll;
    }
    if (round < 3) {
      pair->a()->closedIs("cut");
      pair->b()->closedIs("cut");
    }
  }
  pair->pump();
  EXPECT_EQ(pair->b()->framesRefused(), 0u) << pair->b()->lastRefusal();
  auto* statuses = dynamic_cast<PhyBcm54980StatusDir*>(
      held[{Zef::ZefType::registered(Zef::Name("Hardware::Phy::PhyBcm54980StatusDir")), "statuses"}].ptr());
  ASSERT_NE(statuses, nullptr);
  auto c = compareDumps(dumpLines(*driver.statuses()), dumpLines(*statuses));
  EXPECT_EQ(comparisonLine(c), "16 ports, 672 statistics, 0 differences")
      << (c.firstDifferences.empty() ? "" : c.firstDifferences[0]);
}

// Mounts that connect to one driver together each get all of its state, the
// same dump as the driver's, however their streams interleave.
TEST(DriverMount, MountsThatConnectTogetherEachGetTheWholeDriver) {
  PhyDriver driver(32, 8);
  ChipSimulator sim(Scenario::noisy, 1, driver.ports());
  driver.poll(sim, 0, 1.0);
  int const mounts = 3;
  std::vector<std::unique_ptr<Zef::NboAttrLog::MemoryPair>> pairs;
  std::vector<Ptr<PhyBcm54980StatusDir>> copies(std::size_t(mounts), nullptr);
  for (int m = 0; m < mounts; ++m) {
    pairs.push_back(std::make_unique<Zef::NboAttrLog::MemoryPair>(64 * 1024));
    pairs.back()->b()->onMountedIs([&copies, m](Ptr<Zef::Entity> const& e) {
      if (auto* d = dynamic_cast<PhyBcm54980StatusDir*>(e.ptr())) copies[std::size_t(m)] = Ptr<PhyBcm54980StatusDir>(d);
    });
    for (auto const& r : driver.roots()) pairs.back()->a()->rootIs(r);
  }
  std::uint64_t poll = 1;
  phytest::pumpInTurns(pairs, 8 * 1024, [&](int turn) {
    if (turn % 16 == 0 && poll < 8) driver.poll(sim, poll, double(poll)), ++poll;  // the driver goes on meanwhile
  });
  for (int m = 0; m < mounts; ++m) {
    ASSERT_NE(copies[std::size_t(m)], nullptr);
    EXPECT_TRUE(pairs[std::size_t(m)]->b()->isSynced());
    EXPECT_EQ(pairs[std::size_t(m)]->b()->framesRefused(), 0u) << pairs[std::size_t(m)]->b()->lastRefusal();
    auto c = compareDumps(dumpLines(*driver.statuses()), dumpLines(*copies[std::size_t(m)]));
    EXPECT_EQ(comparisonLine(c), "256 ports, 10752 statistics, 0 differences")
        << "mount " << m << (c.firstDifferences.empty() ? "" : ": " + c.firstDifferences[0]);
  }
}

}  // namespace

// A mount's default bound on what its agent may announce leaves a whole
// chassis of 4096 ports several times over.
TEST(DriverMount, AChassisOf4096PortsMountsWellWithinTheDefaultEntityLimit) {
  PhyDriver driver(512, 8);
  Zef::NboAttrLog::MemoryPair pair;
  pair.a()->roleIs(Zef::NboAttrLog::Connection::Role::agent);
  pair.b()->roleIs(Zef::NboAttrLog::Connection::Role::mount);
  for (auto const& r : driver.roots()) pair.a()->rootIs(r);
  pair.pump();
  ASSERT_FALSE(pair.b()->isClosed()) << pair.b()->closeReason();
  EXPECT_TRUE(pair.b()->isSynced());
  auto entities = pair.b()->demuxer()->reactorCount();
  EXPECT_GT(entities, 4096u * 3) << "each port's configuration, status and statistics at least";
  EXPECT_LT(entities * 4, Zef::NboAttrLog::Connection::kDefaultEntityLimit) << entities << " entities";
  EXPECT_EQ(pair.a()->framesReceived(), 0u) << "the mount wrote nothing back";
}
