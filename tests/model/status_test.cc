// The port status: the generic PHY status plus an owned statistics entity,
// created, kept, replaced and removed by name.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/phy_bcm54980_status.h"
#include "model/reactors.h"

namespace {

using Hardware::Phy::PhyBcm54980Stats;
using Hardware::Phy::PhyBcm54980Status;
using Hardware::Phy::PhyStatus;
using phytest::attach;
using phytest::Journal;
using phytest::lines;
using Zef::Ptr;

class StatusReactor : public PhyBcm54980Status::Notifiee {
 public:
  StatusReactor(std::string tag, Journal* j) : tag_(std::move(tag)), j_(j) {}
  void onBcmStats() override { j_->add(tag_ + ":bcmStats"); }
  void onDebugStateSnapshotTimestamp() override { j_->add(tag_ + ":debugStateSnapshotTimestamp"); }
  void onLinkUp() override { j_->add(tag_ + ":linkUp"); }

 private:
  std::string tag_;
  Journal* j_;
};

class GenericReactor : public PhyStatus::Notifiee {
 public:
  explicit GenericReactor(Journal* j) : j_(j) {}
  void onLinkUp() override { j_->add("generic:linkUp"); }

 private:
  Journal* j_;
};

class StatusTest : public ::testing::Test {
 protected:
  Ptr<Hardware::Mdio::Device> device = Hardware::Mdio::Device::DeviceIs("mdio0");
  Ptr<MdioWexa::WexaDesc> wexa = MdioWexa::WexaDesc::WexaDescIs(
      "port1", device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{0}, Hardware::Mdio::PortAddr{1},
      MdioClient::clause22, Hardware::XoltAgentId{0});
  Ptr<Hardware::Phy::PhyConfig> config = Hardware::Phy::PhyConfig::PhyConfigIs("port1", wexa, "api", "1");
  Ptr<Interface::EthPhyIntfStatus> intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1");
  Ptr<PhyBcm54980Status> status =
      PhyBcm54980Status::PhyBcm54980StatusIs("port1", Hardware::Phy::mdioClause45, config, intf);
  Journal journal;
};

TEST_F(StatusTest, NewStatusHasNoStatisticsAndAZeroSnapshotTime) {
  EXPECT_FALSE(status->bcmStats());
  EXPECT_EQ(status->debugStateSnapshotTimestamp(), 0.0);
  EXPECT_EQ(status->mdioClause(), Hardware::Phy::mdioClause45);
  EXPECT_EQ(status->phyConfig().ptr(), config.ptr());
  EXPECT_EQ(status->ethIntfStatus().ptr(), intf.ptr());
}

TEST_F(StatusTest, StatisticsAreCreatedOnceByNameAndParentedHere) {
  auto r = attach(new StatusReactor("r", &journal), status);
  Ptr<PhyBcm54980Stats> first = status->bcmStatsIs("stats");
  EXPECT_EQ(first->name(), "stats");
  EXPECT_EQ(first->parent().ptr(), status.ptr());
  EXPECT_EQ(first->parentAttrId(), 386);
  EXPECT_EQ(first->fullName(), "port1/stats");
  Ptr<PhyBcm54980Stats> again = status->bcmStatsIs("stats");
  EXPECT_EQ(again.ptr(), first.ptr());
  EXPECT_EQ(journal.lines, lines({"r:bcmStats"}));
}

TEST_F(StatusTest, AnotherNameReplacesTheStatisticsAndDetachesTheOld) {
  auto r = attach(new StatusReactor("r", &journal), status);
  Ptr<PhyBcm54980Stats> n = status->bcmStatsIs("n");
  Ptr<PhyBcm54980Stats> m = status->bcmStatsIs("m");
  EXPECT_NE(m.ptr(), n.ptr());
  EXPECT_FALSE(n->parent());
  EXPECT_EQ(m->parent().ptr(), status.ptr());
  EXPECT_EQ(status->bcmStats().ptr(), m.ptr());
  EXPECT_EQ(n->references(), 1u);  // only this test holds the old one now
  EXPECT_EQ(journal.lines, lines({"r:bcmStats", "r:bcmStats"}));
}

TEST_F(StatusTest, DeletingStatisticsReturnsThemDetached) {
  auto r = attach(new StatusReactor("r", &journal), status);
  EXPECT_FALSE(status->bcmStatsDel());
  EXPECT_TRUE(journal.lines.empty());
  status->bcmStatsIs("stats");
  Ptr<PhyBcm54980Stats> removed = status->bcmStatsDel();
  ASSERT_TRUE(removed);
  EXPECT_FALSE(removed->parent());
  EXPECT_FALSE(status->bcmStats());
  EXPECT_EQ(journal.lines, lines({"r:bcmStats", "r:bcmStats"}));
}

TEST_F(StatusTest, NewStatisticsIsNeitherStoredNorAnnounced) {
  auto r = attach(new StatusReactor("r", &journal), status);
  Ptr<PhyBcm54980Stats> s = status->newBcmStats("loose");
  EXPECT_EQ(s->parent().ptr(), status.ptr());
  EXPECT_FALSE(status->bcmStats());
  EXPECT_TRUE(journal.lines.empty());
  s->parentIs(nullptr);
}

TEST_F(StatusTest, DestructionDetachesTheStatisticsAndTellsTheRemainingReactors) {
  auto weak = attach(new StatusReactor("w", &journal), status, true);
  Ptr<PhyBcm54980Stats> stats = status->bcmStatsIs("stats");
  journal.lines.clear();
  status = nullptr;
  EXPECT_FALSE(stats->parent());
  EXPECT_EQ(journal.lines, lines({"w:bcmStats"}));
}

TEST_F(StatusTest, AStatisticsEntityNeverStoredOutlivesItsStatusWithoutParent) {
  Ptr<PhyBcm54980Stats> orphan = status->newBcmStats("loose");
  { Ptr<PhyBcm54980Stats> brief = status->newBcmStats("brief"); }  // gone before its parent
  Ptr<PhyBcm54980Status> other =
      PhyBcm54980Status::PhyBcm54980StatusIs("port2", Hardware::Phy::mdioClause45, config, intf);
  Ptr<PhyBcm54980Stats> moved = status->newBcmStats("moved");
  moved->parentIs(other);
  status = nullptr;
  EXPECT_FALSE(orphan->parent());
  EXPECT_FALSE(orphan->parentAttr());
  EXPECT_EQ(orphan->fullName(), "loose");
  EXPECT_EQ(orphan->uriPath(), "/loose");
  EXPECT_EQ(moved->parent().ptr(), other.ptr());
  other = nullptr;
  EXPECT_FALSE(moved->parent());
}

TEST_F(StatusTest, AStoredStatisticsEntityMovedElsewhereGoesWithItsNewParent) {
  Ptr<PhyBcm54980Stats> stats = status->bcmStatsIs("stats");
  EXPECT_TRUE(stats->zefHeldByParent());
  EXPECT_FALSE(status->newBcmStats("loose")->zefHeldByParent());
  Ptr<PhyBcm54980Status> other =
      PhyBcm54980Status::PhyBcm54980StatusIs("port2", Hardware::Phy::mdioClause45, config, intf);
  stats->parentIs(other);
  EXPECT_FALSE(stats->zefHeldByParent());
  other = nullptr;  // a parent that goes detaches the children it has
  EXPECT_FALSE(stats->parent());
  status = nullptr;
  EXPECT_FALSE(stats->parent());
}

TEST_F(StatusTest, SnapshotTimeNotifiesOnChangeAndAlwaysForNaN) {
  auto r = attach(new StatusReactor("r", &journal), status);
  status->debugStateSnapshotTimestampIs(0.0);
  status->debugStateSnapshotTimestampIs(-0.0);  // equal to +0.0
  EXPECT_TRUE(journal.lines.empty());
  status->debugStateSnapshotTimestampIs(12.5);
  double nan = std::numeric_limits<double>::quiet_NaN();
  status->debugStateSnapshotTimestampIs(nan);
  status->debugStateSnapshotTimestampIs(nan);
  EXPECT_EQ(journal.lines.size(), 3u);
  EXPECT_TRUE(std::isnan(status->debugStateSnapshotTimestamp()));
}

TEST_F(StatusTest, OwnAttributesReachOnlyTheChipsReactorsBaseAttributesReachBoth) {
  auto generic = attach(new GenericReactor(&journal), status);
  auto r = attach(new StatusReactor("r", &journal), status);
  status->debugStateSnapshotTimestampIs(1.0);
  status->linkUpIs(true);
  EXPECT_EQ(journal.lines, lines({"r:debugStateSnapshotTimestamp", "generic:linkUp", "r:linkUp"}));
}

TEST_F(StatusTest, AttributeNamesOnBothSidesOfTheOwnRange) {
  EXPECT_EQ(status->attributeString(386), "bcmStats");
  EXPECT_EQ(status->attributeString(387), "debugStateSnapshotTimestamp");
  EXPECT_EQ(status->attributeString(258), "xcvrStatus");
  EXPECT_EQ(status->attributeString(388), "unknown");
}

TEST_F(StatusTest, NarrowIdentifierFieldsKeepTheirRanges) {
  status->phyIdOuiIs(U22(0x3fffff));
  status->phyIdModelIs(U6(0x3f));
  status->phyIdRevisionIs(U4(0xf));
  EXPECT_THROW(status->phyIdModelIs(U6(64)), Zef::RangeException);
}

}  // namespace
