// Directories and owned children on an attribute log: membership key by
// key, the first synchronisation as one transaction that can pause, and a
// mount that converges to the writer whatever happens to the connection.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_ptr_dirs.h"
#include "replication/replication_testing.h"

namespace {

using namespace Hardware::Phy;
using namespace phytest;
using Zef::Ptr;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::FrameKind;
using Zef::NboAttrLog::MemoryPair;
using Zef::NboAttrLog::Out;

// The transaction markers and member records of entity `eid` that `drain`
// takes from `out`, in order, as "open", "close", "+name" and "-name"; with
// `tagged`, each with the collection's attribute id, as "open 258".
std::vector<std::string> membersOf(Tap& drain, Ptr<Out> const& out, Zef::EntityId eid, bool tagged = false) {
  std::vector<std::string> seen;
  for (auto const& r : drain(out)) {
    if (r.header.entityId != eid) continue;
    std::string const tag = tagged ? " " + std::to_string(std::abs(r.header.attributeId)) : "";
    if (r.kind == FrameKind::transaction) {
      seen.push_back((r.payload[0] == 0 ? "open" : r.payload[0] == 2 ? "close" : "abort") + tag);
    } else if (r.header.attributeId == 258 || r.header.attributeId == -258 || (tagged && r.header.attributeId == 259)) {
      std::string name(r.payload.begin() + 4, r.payload.begin() + 4 + r.payload[3]);
      seen.push_back((r.header.attributeId > 0 ? "+" : "-") + name + tag);
    }
  }
  return seen;
}

// Ports on one MDIO bus: a configuration each, and a status with statistics.
struct Ports {
  Ptr<PhyBcm54980ConfigDir> configs = PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("configs");
  Ptr<PhyBcm54980StatusDir> statuses = PhyBcm54980StatusDir::PhyBcm54980StatusDirIs("statuses");
  Ptr<Hardware::Mdio::Device> device = Hardware::Mdio::Device::DeviceIs("mdio0");

  Ptr<PhyBcm54980Config> config(std::string const& name, int addr, std::string const& api = "api") {
    auto wexa = configs->wexaDescIs(name, device, Hardware::XoltAccelId(1), Hardware::Mdio::BusId(2),
                                    Hardware::Mdio::PortAddr(addr), MdioClient::clause22, Hardware::XoltAgentId(4));
    return configs->phyConfigIs(name, wexa, api, "1.0");
  }
  // Port p's status, named "port<p>", whose statistics count p + 1 errors.
  auto status(int p) {
    std::string const name = "port" + std::to_string(p);
    auto st = statuses->phyStatusIs(name, mdioClause22, config(name, p % 8),
                                    Interface::EthPhyIntfStatus::EthPhyIntfStatusIs(name));
    st->bcmStatsIs(name)->crcErrorsIs(crcAfter(unsigned(p) + 1));
    return st;
  }
  // How many of the first `n` ports `copy` holds whole.
  static int whole(Ptr<PhyBcm54980StatusDir> const& copy, int n, bool linkUp = false) {
    int complete = 0;
    for (int p = 0; p < n; ++p) {
      auto st = copy->phyStatus("port" + std::to_string(p));
      complete += st && (!linkUp || st->linkUp()) && st->bcmStats() && st->bcmStats()->crcErrors() == crcAfter(unsigned(p) + 1);
    }
    return complete;
  }
};

class CollectionTest : public ::testing::Test {
 protected:
  Ptr<Connection> conn = Connection::ConnectionIs();
  Ptr<Out> const& out = conn->out();
  Tap drain;
  Ptr<PhyBcm54980ChipConfigDir> dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");

  std::vector<std::string> membership() {
    return membersOf(drain, out, dir->zefNboAttrLogSa(Ptr<Out const>(out))->entityId());
  }
};

// Empty or not, read whole or a record at a time, a first synchronisation
// is one open, each member once with its own adapter, and one close.
TEST(FullSyncTest, EveryMemberOnceBetweenOneOpenAndOneCloseHoweverItIsSliced) {
  for (std::size_t budget : {std::size_t(1), std::size_t(1) << 20}) {
    for (std::set<std::string> names : {std::set<std::string>{}, {"a", "b", "c", "d", "e"}}) {
      SCOPED_TRACE(::testing::Message() << "budget " << budget << ", " << names.size() << " members");
      Ptr<Connection> conn = Connection::ConnectionIs();
      Ptr<Out> const& out = conn->out();
      auto dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
      for (auto const& n : names) dir->phyChipConfigIs(n);
      conn->demuxer()->sliceBudgetIs(budget);  // a budget of 1 stops every slice after its first record
      conn->rootIs(dir);
      Zef::EntityId const eid = dir->zefNboAttrLogSa(Ptr<Out const>(out))->entityId();
      Tap drain;
      std::vector<std::string> seen;  // run the scheduler while draining, as a slow reader
      for (int i = 0; i < 100 && (conn->demuxer()->scheduledCount() || out->size()); ++i) {
        conn->demuxer()->runFlowOuts();
        for (auto& s : membersOf(drain, out, eid)) seen.push_back(s);
      }
      EXPECT_EQ(conn->demuxer()->scheduledCount(), 0u) << "synced: nothing left to do";
      ASSERT_EQ(seen.size(), names.size() + 2) << "no member twice, no second open";
      EXPECT_EQ(seen.front(), "open");
      EXPECT_EQ(seen.back(), "close");
      std::set<std::string> want;
      for (auto const& n : names) want.insert("+" + n);
      EXPECT_EQ(std::set<std::string>(seen.begin() + 1, seen.end() - 1), want);
      for (auto const& n : names) EXPECT_NE(dir->phyChipConfig(n)->zefNboAttrLogSa(Ptr<Out const>(out)), nullptr);
    }
  }
}

TEST_F(CollectionTest, ARemovalAfterTheSyncIsOneMemberGoneRecord) {
  for (auto n : {"a", "b"}) dir->phyChipConfigIs(n);
  conn->rootIs(dir);
  conn->flowOutReady();
  membership();
  dir->phyChipConfigDel("a");
  EXPECT_EQ(membership(), (std::vector<std::string>{"-a"}));
  // Deferred while the log is full, it still arrives once.
  out->isConnectedIs(false);
  dir->phyChipConfigDel("b");
  dir->phyChipConfigIs("x");
  out->isConnectedIs(true);
  conn->flowOutReady();
  auto later = membership();
  EXPECT_EQ(std::set<std::string>(later.begin(), later.end()), (std::set<std::string>{"-b", "+x"}));
}

TEST_F(CollectionTest, ARemountTakesTheMembersOffTheLogAndASyncAnnouncesThemAgain) {
  for (auto n : {"a", "b"}) dir->phyChipConfigIs(n);
  conn->rootIs(dir);
  conn->flowOutReady();
  membership();
  auto sa = dir->zefNboAttrLogSa(Ptr<Out const>(out));
  ASSERT_NE(dir->phyChipConfig("a")->zefNboAttrLogSa(Ptr<Out const>(out)), nullptr);
  sa->doRemountSelf(out);
  EXPECT_EQ(dir->phyChipConfig("a")->zefNboAttrLogSa(Ptr<Out const>(out)), nullptr);
  EXPECT_EQ(dir->phyChipConfig("b")->zefNboAttrLogSa(Ptr<Out const>(out)), nullptr);
  // A new full flow-out synchronises the collection again, members anew.
  conn->demuxer()->createFlowOut(sa, Zef::ConnectDesc(Zef::EntityUriPath(""), Zef::EntityUriPath("")), false, 0);
  conn->flowOutReady();
  auto again = membership();
  EXPECT_EQ(std::set<std::string>(again.begin(), again.end()), (std::set<std::string>{"open", "+a", "+b", "close"}));
}

// The mount side.

class MountTest : public ::testing::Test {
 protected:
  Ptr<PhyBcm54980ChipConfigDir> dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  std::unique_ptr<MemoryPair> pair = std::make_unique<MemoryPair>();
  // What the mount holds across connections.
  std::map<std::string, Ptr<Zef::Entity>> held;

  // A new connection whose mount keeps what it held before.
  void reconnect(std::size_t capacity = Zef::NboAttrLog::Out::kDefaultCapacity) {
    pair = std::make_unique<MemoryPair>(capacity);
    pair->b()->rootFinderIs([this](Zef::ZefType*, Zef::Name const& name) {
      auto it = held.find(name.str());
      return it == held.end() ? nullptr : it->second;
    });
    pair->b()->onMountedIs([this](Ptr<Zef::Entity> const& e) { held[e->name().str()] = e; });
    pair->a()->rootIs(dir);
  }
  Ptr<PhyBcm54980ChipConfigDir> copy() {
    auto it = held.find("chips");
    return it == held.end() ? nullptr : Ptr<PhyBcm54980ChipConfigDir>(dynamic_cast<PhyBcm54980ChipConfigDir*>(it->second.ptr()));
  }
};

TEST_F(MountTest, MembersArriveLeaveAndKeepTheirAttributes) {
  auto a = dir->phyChipConfigIs("a");
  a->resetIs(Fru::Gpo::GpoIs("gpo-a"));
  dir->phyChipConfigIs("b");
  reconnect();
  pair->pump();
  ASSERT_NE(copy(), nullptr);
  EXPECT_TRUE(pair->b()->isSynced()) << "the writer said its first passes are done";
  EXPECT_EQ(namesOf(copy()), (std::set<std::string>{"a", "b"}));
  ASSERT_NE(copy()->phyChipConfig("a")->reset(), nullptr);
  EXPECT_EQ(copy()->phyChipConfig("a")->reset()->name(), "gpo-a");
  dir->phyChipConfigDel("b");
  dir->phyChipConfigIs("c")->interruptIs(Fru::IntCtrl::IntCtrlIs("irq-c"));
  pair->pump();
  EXPECT_EQ(namesOf(copy()), (std::set<std::string>{"a", "c"}));
  ASSERT_NE(copy()->phyChipConfig("c")->interrupt(), nullptr);
  EXPECT_EQ(pair->b()->framesRefused(), 0u) << pair->b()->lastRefusal();
}

TEST(MountOfPortsTest, MembersMadeAgainReferenceDirectoriesAndOwnedChildrenReplicate) {
  Ports ports;
  ports.config("p1", 3, "api-1");
  auto status = ports.status(0);
  auto refs = PhyBcm54980ConfigPtrDir::PhyBcm54980ConfigPtrDirIs("active");
  refs->phyConfigIs(ports.configs->phyConfig("port0"));
  MemoryPair p;
  p.a()->rootIs(ports.configs);
  p.a()->rootIs(ports.statuses);
  p.a()->rootIs(refs);
  p.pump();
  auto mounted = mountedAs<PhyBcm54980ConfigDir>(p.b(), "configs");
  ASSERT_NE(mounted, nullptr);
  ASSERT_NE(mounted->phyConfig("p1"), nullptr);
  EXPECT_EQ(mounted->phyConfig("p1")->api(), "api-1");
  // While the reader is away, p1 is deleted and made again with another api.
  p.a()->out()->isConnectedIs(false);
  ports.configs->phyConfigDel("p1");
  ports.config("p1", 3, "api-2");
  p.a()->out()->isConnectedIs(true);
  p.pump();
  ASSERT_NE(mounted->phyConfig("p1"), nullptr);
  EXPECT_EQ(mounted->phyConfig("p1")->api(), "api-2");

  // Reference directories and the status's owned child replicate.
  auto s = mountedAs<PhyBcm54980StatusDir>(p.b(), "statuses");
  auto r = mountedAs<PhyBcm54980ConfigPtrDir>(p.b(), "active");
  ASSERT_TRUE(s && r);
  auto statusCopy = s->phyStatus("port0");
  ASSERT_NE(statusCopy, nullptr);
  ASSERT_NE(statusCopy->bcmStats(), nullptr);
  EXPECT_EQ(statusCopy->bcmStats()->name(), "port0");
  EXPECT_EQ(statusCopy->bcmStats()->crcErrors(), crcAfter(1));
  ASSERT_NE(r->phyConfig("port0"), nullptr);
  EXPECT_EQ(r->phyConfig("port0")->api(), "api");
  // The child goes, then the reference.
  status->bcmStatsDel();
  refs->phyConfigDel("port0");
  p.pump();
  EXPECT_EQ(statusCopy->bcmStats(), nullptr);
  EXPECT_EQ(r->phyConfig("port0"), nullptr);
  EXPECT_EQ(p.b()->framesRefused(), 0u) << p.b()->lastRefusal();
}

// Cut the connection at random points of the first synchronisation and of
// the traffic after it, while the writer changes members and attributes;
// after each reconnect the mount holds exactly the writer's state.
TEST_F(MountTest, AMountConvergesAfterEveryCutOverManySeeds) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
    held.clear();
    Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo");
    auto change = [&] {
      std::string name = "c" + std::to_string(rng() % 12);
      switch (rng() % 3) {
        case 0: dir->phyChipConfigDel(name); break;
        case 1: dir->phyChipConfigIs(name)->resetIs(rng() % 2 ? gpo : Ptr<Fru::Gpo>()); break;
        default: dir->phyChipConfigIs(name); break;
      }
    };
    for (int i = 0; i < 20; ++i) change();
    for (int round = 0; round < 4; ++round) {
      reconnect(64 * 1024);
      // Some of the stream, some changes, then the cut.
      for (int step = 0; step < 6; ++step) {
        pair->pumpAtoB(rng() % 400);
        change();
      }
      pair->a()->closedIs("cut");
      pair->b()->closedIs("cut");
    }
    // The last connection stays up until quiet.
    reconnect();
    EXPECT_FALSE(pair->b()->isSynced());
    pair->pump();
    ASSERT_NE(copy(), nullptr) << "seed " << seed;
    EXPECT_TRUE(pair->b()->isSynced()) << "seed " << seed;
    std::set<std::string> want;
    for (auto it = dir->phyChipConfigIterator(); it; ++it) want.insert(it->name().str());
    EXPECT_EQ(namesOf(copy()), want) << "seed " << seed << ": no stale and no missing member";
    for (auto const& n : want) {
      auto mine = dir->phyChipConfig(n);
      auto theirs = copy()->phyChipConfig(n);
      ASSERT_NE(theirs, nullptr);
      EXPECT_EQ(theirs->reset() != nullptr, mine->reset() != nullptr) << "seed " << seed << " member " << n;
    }
    EXPECT_EQ(pair->b()->framesRefused(), 0u) << pair->b()->lastRefusal();
  }
}

// A directory with two collections whose first synchronisation pauses in the
// first: the pass resumes in that collection, and each travels as one
// transaction of its own.
TEST(TwoCollectionsTest, APauseInTheFirstCollectionResumesThereBeforeTheSecond) {
  Ports ports;
  for (int p = 0; p < 6; ++p) ports.config("p" + std::to_string(p), p);
  Ptr<Connection> conn = Connection::ConnectionIs();
  Ptr<Out> const& out = conn->out();
  conn->demuxer()->sliceBudgetIs(1);  // every slice stops after its first record
  conn->rootIs(ports.configs);
  Zef::EntityId const eid = ports.configs->zefNboAttrLogSa(Ptr<Out const>(out))->entityId();
  Tap drain;
  std::vector<std::string> seen;
  for (int i = 0; i < 1000 && (conn->demuxer()->scheduledCount() || out->size()); ++i) {
    conn->demuxer()->runFlowOuts();
    for (auto& s : membersOf(drain, out, eid, true)) seen.push_back(s);
  }
  std::vector<std::string> want;
  for (std::string id : {"258", "259"}) {
    want.push_back("open " + id);
    for (int p = 0; p < 6; ++p) want.push_back("+p" + std::to_string(p) + " " + id);
    want.push_back("close " + id);
  }
  ASSERT_EQ(seen.size(), want.size()) << ::testing::PrintToString(seen);
  // Members travel in the directory's order, not their names'.
  std::vector<std::string> sorted = seen;
  std::sort(sorted.begin() + 1, sorted.begin() + 7);
  std::sort(sorted.begin() + 9, sorted.begin() + 15);
  EXPECT_EQ(sorted, want) << ::testing::PrintToString(seen);
}

// Mounts that connect together each get the whole state while their streams
// interleave and their first synchronisations pause many times over.
TEST(MountsTogetherTest, EveryMountGetsEveryPortWithItsStatistics) {
  Ports ports;
  int const n = 400;
  for (int p = 0; p < n; ++p) ports.status(p);
  std::vector<std::unique_ptr<MemoryPair>> pairs;
  for (int m = 0; m < 2; ++m) {
    pairs.push_back(std::make_unique<MemoryPair>(64 * 1024));
    pairs.back()->a()->rootIs(ports.configs);
    pairs.back()->a()->rootIs(ports.statuses);
  }
  pumpInTurns(pairs, 16 * 1024);
  for (auto const& pair : pairs) {
    auto copy = mountedAs<PhyBcm54980StatusDir>(pair->b(), "statuses");
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(pair->b()->isSynced());
    EXPECT_EQ(Ports::whole(copy, n), n);
    EXPECT_EQ(pair->b()->framesRefused(), 0u) << pair->b()->lastRefusal();
  }
}

// A status that a reference announces on its own, and whose pass then
// pauses part way, is announced again as a member of its directory: the
// mount makes a new member for it, which must get every attribute and its
// statistics, not only those after where the paused pass stood.
TEST(MemberAfterReferenceTest, TheNewMemberGetsItsWholeStateWhereverTheOrphansPassPaused) {
  Ports ports;
  auto active = PhyBcm54980StatusPtrDir::PhyBcm54980StatusPtrDirIs("active");
  int const n = 64;
  for (int p = 0; p < n; ++p) {
    auto status = ports.status(p);
    status->linkUpIs(true);
    active->phyStatusIs(status);
  }
  for (std::size_t budget : {64u, 128u, 256u, 512u, 4096u, 65536u}) {
    MemoryPair pair(64 * 1024);
    // Small slices: the references' statuses take turns with the
    // directories', and pause part way.
    pair.a()->demuxer()->sliceBudgetIs(budget);
    pair.a()->rootIs(ports.configs);
    pair.a()->rootIs(active);
    pair.a()->flowOutReady();  // the references go first, until the log is full
    pair.a()->rootIs(ports.statuses);
    pair.pump();
    auto copy = mountedAs<PhyBcm54980StatusDir>(pair.b(), "statuses");
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(pair.b()->isSynced());
    EXPECT_EQ(pair.b()->framesRefused(), 0u) << pair.b()->lastRefusal();
    EXPECT_EQ(Ports::whole(copy, n, true), n) << "slice budget " << budget;
  }
}

// Telling thousands of roots that the first synchronisation is done takes
// more than a full log's slack: it goes out as room allows, never overflows.
TEST(ManyRootsTest, TheEndOfTheFirstSynchronisationReachesEveryRootOfANearlyFullLog) {
  std::vector<Ptr<Fru::Gpo>> roots;
  for (int i = 0; i < 20000; ++i) roots.push_back(Fru::Gpo::GpoIs("gpo" + std::to_string(i)));
  MemoryPair pair(64 * 1024);
  for (auto const& r : roots) pair.a()->rootIs(r);
  pair.a()->flowOutReady();
  for (int turn = 0; turn < 10000 && pair.pumpAtoB(4096) > 0; ++turn) {
  }
  pair.pump();
  EXPECT_FALSE(pair.a()->isClosed()) << pair.a()->out()->closeReason();
  EXPECT_EQ(pair.b()->mounted().size(), roots.size());
  EXPECT_TRUE(pair.b()->isSynced());
}

// The first synchronisation of a large directory grows the send buffer; once
// it is done and drained, an idle connection holds 16 KiB.
TEST(SendBufferTest, AfterTheFirstSynchronisationADrainedBufferShrinks) {
  auto dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  for (int i = 0; i < 20000; ++i) dir->phyChipConfigIs(Zef::Name("chip" + std::to_string(i)));
  MemoryPair pair;
  pair.a()->rootIs(dir);
  std::size_t largest = 0;
  for (int turn = 0; turn < 100000 && !pair.b()->isSynced(); ++turn) {
    pair.a()->flowOutReady();
    largest = std::max(largest, pair.a()->out()->bufferBytes());
    pair.pumpAtoB(SIZE_MAX);
  }
  pair.pump();
  ASSERT_TRUE(pair.b()->isSynced());
  EXPECT_GT(largest, std::size_t(64 * 1024)) << "the synchronisation needed more than the first size";
  EXPECT_EQ(pair.a()->out()->size(), 0u);
  EXPECT_EQ(pair.a()->out()->bufferBytes(), std::size_t(16 * 1024));
  // The mount wrote nothing, and holds no send buffer.
  EXPECT_EQ(pair.b()->out()->bufferBytes(), 0u);
  // It grows again when it must, and the mount still follows.
  for (int i = 0; i < 3000; ++i) dir->phyChipConfigDel(Zef::Name("chip" + std::to_string(i)));
  pair.pump();
  EXPECT_EQ(namesOf(mountedAs<PhyBcm54980ChipConfigDir>(pair.b(), "chips")).size(), 17000u);
}

}  // namespace
