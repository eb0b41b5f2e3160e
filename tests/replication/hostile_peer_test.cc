// Peers that do not play by the rules: a mount that writes to its agent, and
// an agent that announces without end. The agent's state never changes, and
// neither side holds more than its bounds.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "model/phy_bcm54980_dirs.h"
#include "replication/replication_testing.h"

namespace {

using namespace Hardware::Phy;
using namespace phytest;
using Zef::Ptr;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::MemoryPair;
using Zef::NboAttrLog::MsgHeader;
using Zef::NboAttrLog::Out;
using Zef::NboAttrLog::TransactToken;

// An agent serving a directory of three chips, and what the other end sends
// it, made by hand.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto n : {"chip0", "chip1", "chip2"}) dir->phyChipConfigIs(n)->resetIs(Fru::Gpo::GpoIs(n));
    agent->roleIs(Connection::Role::agent);
    agent->rootIs(dir);
    pair.pump();
  }

  Zef::EntityId eidOf(Ptr<Zef::Entity> const& e) {
    return e->zefNboAttrLogSa(Ptr<Out const>(agent->out()))->entityId();
  }
  // What the hostile end writes, handed to the agent.
  Ptr<Out> hostile = Out::OutIs();
  void deliver() {
    agent->bytesReceived(hostile->bytes());
    hostile->bytesConsumed(hostile->size());
  }
  template <class... V>
  void record(Zef::EntityId eid, Zef::AttributeId aid, V const&... values) {
    hostile->nextHeaderIs(MsgHeader{eid, aid});
    hostile << TransactToken{1};
    (hostile << ... << values);
    hostile << TransactToken{3};
  }
  // The agent's state as text: every member and its reset line.
  std::map<std::string, std::string> state() {
    std::map<std::string, std::string> s;
    for (auto it = dir->phyChipConfigIterator(); it; ++it) {
      s[it->name().str()] = it->reset() ? it->reset()->name().str() : "";
    }
    return s;
  }

  MemoryPair pair;
  Ptr<Connection> const& agent = pair.a();
  Ptr<PhyBcm54980ChipConfigDir> dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
};

TEST_F(AgentTest, ATransactionOnTheServedCollectionDeletesNothing) {
  auto before = state();
  // Open and close on the collection: a mark and sweep of every member.
  hostile->transactionMarkerIs(eidOf(dir), 258, 0, 0);
  hostile->transactionMarkerIs(eidOf(dir), 258, 2, 0);
  deliver();
  EXPECT_EQ(state(), before);
  EXPECT_EQ(agent->framesRefused(), 2u);
  EXPECT_NE(agent->lastRefusal().str().find("write-update from readonly proxy: "), std::string::npos)
      << agent->lastRefusal();
  EXPECT_NE(agent->lastRefusal().str().find("chips"), std::string::npos) << "names the entity";
  EXPECT_FALSE(agent->isClosed()) << "a few refusals are not yet a reason to cut";
}

TEST_F(AgentTest, MemberAttributeAndChildRecordsAreRefusedAndChangeNothing) {
  auto before = state();
  auto chip0 = dir->phyChipConfig("chip0");
  record(eidOf(dir), -258, Zef::String8("chip1"));                   // a member gone
  record(eidOf(dir), 258, Zef::String8("intruder"), std::uint64_t(99));  // a member made
  record(eidOf(chip0), 258, std::uint64_t(0));                        // reset cleared
  record(eidOf(chip0), 6, true);                                      // isNondestructing
  record(eidOf(dir), 135, 1u);                                        // a sync mode
  deliver();
  EXPECT_EQ(state(), before);
  EXPECT_FALSE(chip0->isNondestructing());
  EXPECT_EQ(agent->framesRefused(), 5u);
  EXPECT_EQ(agent->framesApplied(), 0u);
}

TEST_F(AgentTest, AnAnnouncementIsNeverMountedInsideTheAgent) {
  auto entities = agent->demuxer()->reactorCount();
  // What a mount would announce: a writer's first synchronisation of its own.
  MemoryPair other;
  auto foreign = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("foreign");
  foreign->phyChipConfigIs("x");
  other.a()->rootIs(foreign);
  other.a()->flowOutReady();
  agent->bytesReceived(other.a()->out()->bytes());
  EXPECT_TRUE(agent->mounted().empty());
  EXPECT_EQ(agent->demuxer()->reactorCount(), entities);
  EXPECT_GT(agent->framesRefused(), 0u);
  EXPECT_NE(agent->lastRefusal().str().find("write-update from readonly proxy"), std::string::npos);
}

TEST_F(AgentTest, APeerThatKeepsWritingIsCutOffAfterTheLimit) {
  agent->refusalLimitIs(10);
  for (int i = 0; i < 9; ++i) record(eidOf(dir), -258, Zef::String8("chip0"));
  deliver();
  EXPECT_FALSE(agent->isClosed());
  record(eidOf(dir), -258, Zef::String8("chip0"));
  record(eidOf(dir), -258, Zef::String8("chip0"));
  deliver();
  EXPECT_TRUE(agent->isClosed());
  EXPECT_EQ(agent->closeCause(), Zef::NboAttrLog::CloseCause::refused) << agent->closeReason();
  EXPECT_EQ(agent->framesRefused(), 10u) << "nothing is read after the cut";
  EXPECT_EQ(namesOf(dir), (std::set<std::string>{"chip0", "chip1", "chip2"}));
}

TEST_F(AgentTest, MalformedFramesCountTowardsTheCutToo) {
  agent->refusalLimitIs(5);
  // Both "same" and "next" attribute: a header no reader can expand.
  std::vector<unsigned char> bad;
  for (int i = 0; i < 20; ++i) bad.insert(bad.end(), {0xA6, 0x00, 0x00});
  agent->bytesReceived(bad);
  EXPECT_TRUE(agent->isClosed());
  EXPECT_EQ(agent->framesRefused(), 5u);
  EXPECT_EQ(agent->closeCause(), Zef::NboAttrLog::CloseCause::refused) << agent->closeReason();
}

TEST_F(AgentTest, ThePeerRoleStillTakesRecords) {
  // Without the agent role a write-back reaches the adapter, which refuses
  // it itself: the role is what stops transactions and announcements.
  MemoryPair plain;
  auto d = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("plain");
  d->phyChipConfigIs("a");
  plain.a()->rootIs(d);
  plain.pump();
  auto eid = d->zefNboAttrLogSa(Ptr<Out const>(plain.a()->out()))->entityId();
  hostile->transactionMarkerIs(eid, 258, 0, 0);
  plain.a()->bytesReceived(hostile->bytes());
  EXPECT_EQ(plain.a()->framesRefused(), 0u);
  EXPECT_EQ(plain.a()->framesApplied(), 1u);
}

// A mount on a writer whose directory it may or may not already hold.
class MountRoleTest : public ::testing::Test {
 protected:
  Ptr<PhyBcm54980ChipConfigDir> dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  std::unique_ptr<MemoryPair> pair;
  std::map<std::string, Ptr<Zef::Entity>> held;

  void connect(std::size_t entityLimit = Connection::kDefaultEntityLimit) {
    pair = std::make_unique<MemoryPair>();
    pair->a()->roleIs(Connection::Role::agent);
    pair->b()->roleIs(Connection::Role::mount);
    pair->b()->entityLimitIs(entityLimit);
    pair->b()->rootFinderIs([this](Zef::ZefType*, Zef::Name const& name) {
      auto it = held.find(name.str());
      return it == held.end() ? nullptr : it->second;
    });
    pair->b()->onMountedIs([this](Ptr<Zef::Entity> const& e) { held[e->name().str()] = e; });
    pair->a()->rootIs(dir);
    pair->pump();
  }
  Ptr<PhyBcm54980ChipConfigDir> copy() {
    auto it = held.find("chips");
    return it == held.end() ? nullptr
                            : Ptr<PhyBcm54980ChipConfigDir>(dynamic_cast<PhyBcm54980ChipConfigDir*>(it->second.ptr()));
  }
};

TEST_F(MountRoleTest, AMountThatSweepsMembersItHeldWritesNothingToItsAgent) {
  for (auto n : {"a", "b", "c", "d"}) dir->phyChipConfigIs(n);
  connect();
  ASSERT_NE(copy(), nullptr);
  EXPECT_EQ(namesOf(copy()), (std::set<std::string>{"a", "b", "c", "d"}));
  // The agent comes back with fewer members: the mount removes the others.
  dir->phyChipConfigDel("b");
  dir->phyChipConfigDel("d");
  connect();
  EXPECT_EQ(namesOf(copy()), (std::set<std::string>{"a", "c"}));
  EXPECT_EQ(pair->b()->out()->bytesWritten(), 0u);
  EXPECT_EQ(pair->a()->framesReceived(), 0u);
  // A local change on the mount stays there too.
  copy()->phyChipConfig("a")->resetIs(Fru::Gpo::GpoIs("local"));
  pair->pump();
  EXPECT_EQ(pair->b()->out()->bytesWritten(), 0u);
  EXPECT_EQ(dir->phyChipConfig("a")->reset(), nullptr);
}

TEST_F(MountRoleTest, AnAgentThatAnnouncesBeyondTheLimitIsCutOff) {
  for (int i = 0; i < 50; ++i) dir->phyChipConfigIs(Zef::Name("m" + std::to_string(i)));
  connect(20);
  EXPECT_TRUE(pair->b()->isClosed());
  EXPECT_EQ(pair->b()->closeCause(), Zef::NboAttrLog::CloseCause::tooManyEntities) << pair->b()->closeReason();
  EXPECT_LE(pair->b()->demuxer()->reactorCount(), 0u) << "a closed connection holds no adapters";
  EXPECT_LE(namesOf(copy()).size(), 20u);
}

TEST_F(MountRoleTest, AChassisSizedDirectoryIsWellWithinTheDefaultLimit) {
  for (int i = 0; i < 4096; ++i) dir->phyChipConfigIs(Zef::Name("p" + std::to_string(i)))->resetIs(Fru::Gpo::GpoIs("g"));
  connect();
  EXPECT_FALSE(pair->b()->isClosed());
  EXPECT_EQ(namesOf(copy()).size(), 4096u);
  EXPECT_LT(pair->b()->demuxer()->reactorCount() * 4, Connection::kDefaultEntityLimit);
}

TEST_F(MountRoleTest, AnAgentCannotMakeAMountedEntityNondestructing) {
  dir->phyChipConfigIs("a");
  connect();
  ASSERT_NE(copy(), nullptr);
  ASSERT_EQ(pair->b()->framesRefused(), 0u) << pair->b()->lastRefusal();
  auto eid = dir->zefNboAttrLogSa(Ptr<Out const>(pair->a()->out()))->entityId();
  auto out = Out::OutIs();
  out->nextHeaderIs(MsgHeader{eid, 6});
  out << TransactToken{1} << true << TransactToken{3};
  pair->b()->bytesReceived(out->bytes());
  EXPECT_FALSE(copy()->isNondestructing());
  EXPECT_EQ(pair->b()->framesRefused(), 1u);
  EXPECT_NE(pair->b()->lastRefusal().str().find("isNondestructing"), std::string::npos) << pair->b()->lastRefusal();
  EXPECT_FALSE(pair->b()->isClosed());
}

// Refusals of every kind are counted, lost framing included.
TEST(RefusalCountTest, LostFramingCountsAsARefusal) {
  auto conn = Connection::ConnectionIs();
  std::vector<unsigned char> junk = {0xff, 0, 0, 0};
  conn->bytesReceived(junk);
  EXPECT_TRUE(conn->isClosed());
  EXPECT_EQ(conn->framesRefused(), 1u);
  EXPECT_EQ(conn->framesApplied(), 0u);
}

}  // namespace
