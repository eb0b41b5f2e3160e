// The statistics entity: 42 statistics stored only when they change, and the
// trace record of doInitialize.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "model/phy_bcm54980_stats.h"
#include "model/reactors.h"
#include "runtime/failure/trace.h"

namespace {

using namespace Hardware::Phy;
using phytest::Journal;
using phytest::lines;
using Zef::Ptr;

EventOrCount eventOrCount(unsigned char value, unsigned count, double when) {
  EventOrCount o;
  o.valueIs(U1(value));
  o.countIs(count);
  o.whenIs(when);
  return o;
}

class StatsReactor : public PhyBcm54980Stats::Notifiee {
 public:
  explicit StatsReactor(Journal* j) : j_(j) {}
  void onCrcErrors() override { j_->add("crcErrors"); }
  void onLinkState() override { j_->add("linkState"); }
  void onPortInterrupts() override { j_->add("portInterrupts"); }
  void onMdix() override { j_->add("mdix"); }

 private:
  Journal* j_;
};

class StatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r = Ptr<StatsReactor>(new StatsReactor(&journal), Zef::adoptRef);
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(stats);
  }
  Ptr<PhyBcm54980Stats> stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
  Ptr<StatsReactor> r;
  Journal journal;
};

TEST_F(StatsTest, EveryStatisticStartsAtZero) {
  EXPECT_EQ(stats->crcErrors(), EventOrCountStat());
  EXPECT_EQ(stats->linkState(), ConditionStat());
  EXPECT_EQ(stats->mdix(), ConditionOrChangedStat());
  EXPECT_EQ(stats->gbtIdleError(), CountStat());
  EXPECT_EQ(stats->portInterrupts().count(), 0u);
}

TEST_F(StatsTest, AnUpdatedCopyStoredBackNotifiesOnlyWhenItDiffers) {
  EventOrCountStat crc = stats->crcErrors();
  crc.updateIs(eventOrCount(0, 3, 7.0));
  stats->crcErrorsIs(crc);
  stats->crcErrorsIs(crc);
  EXPECT_EQ(stats->crcErrors().count(), 3u);
  EXPECT_EQ(journal.lines, lines({"crcErrors"}));

  // An observation with nothing to count leaves the statistic as it was.
  EventOrCountStat same = stats->crcErrors();
  same.updateIs(eventOrCount(0, 0, 9.0));
  stats->crcErrorsIs(same);
  EXPECT_EQ(journal.lines.size(), 1u);

  // A change in the time stamp alone is a change.
  EventOrCountStat later = stats->crcErrors();
  later.lastIs(8.0);
  stats->crcErrorsIs(later);
  EXPECT_EQ(journal.lines, lines({"crcErrors", "crcErrors"}));
}

// Statistics are kept with their fields back to back: neighbours stored with
// every bit of their fields set read back exactly, and leave each other alone.
TEST_F(StatsTest, NeighbouringStatisticsKeepEveryFieldExactly) {
  double const tiny = std::numeric_limits<double>::denorm_min();
  ConditionStat link;
  link.currentIs(U1(1));
  link.changesIs(0xFFFFFFFFu);
  link.lastChangeIs(-tiny);
  EventStat jabber;
  jabber.currentIs(U1(1));
  jabber.countIs(0x80000001u);
  jabber.lastIs(std::numeric_limits<double>::max());
  CountStat idle;
  idle.countIs(0xFEDCBA98u);
  idle.lastIs(-0.0);

  stats->linkStateIs(link);
  stats->jabberIs(jabber);
  stats->gbtIdleErrorIs(idle);

  EXPECT_EQ(stats->linkState(), link);
  EXPECT_EQ(stats->linkState().lastChange(), -tiny);
  EXPECT_EQ(stats->jabber(), jabber);
  EXPECT_EQ(stats->gbtIdleError().count(), 0xFEDCBA98u);
  EXPECT_TRUE(std::signbit(stats->gbtIdleError().last()));
  EXPECT_EQ(stats->remoteFaultState(), ConditionStat());
  EXPECT_EQ(stats->parallelDetectionFault(), EventStat());
  EXPECT_EQ(stats->localRxStatusNotOk(), ConditionOrCountStat());
  EXPECT_EQ(stats->selectorFieldMismatch(), EventStat());
}

TEST_F(StatsTest, ANaNTimeStampNotifiesEveryTime) {
  ConditionStat link;
  link.lastChangeIs(std::numeric_limits<double>::quiet_NaN());
  stats->linkStateIs(link);
  stats->linkStateIs(link);
  stats->linkStateIs(stats->linkState());
  EXPECT_EQ(journal.lines, lines({"linkState", "linkState", "linkState"}));
}

TEST_F(StatsTest, EachStatisticNotifiesItsOwnHandler) {
  EventStat e;
  e.doUpdate(U1(1), 1.0);
  stats->portInterruptsIs(e);
  ConditionOrChangedStat m;
  m.doUpdate(U1(1), U1(1), 2.0);
  stats->mdixIs(m);
  stats->chipInterruptsIs(e);  // no handler overridden: reaches the default
  EXPECT_EQ(journal.lines, lines({"portInterrupts", "mdix"}));
}

TEST_F(StatsTest, AttributeNamesAndIds) {
  EXPECT_EQ(stats->attributeString(258), "remoteFaultState");
  EXPECT_EQ(stats->attributeString(268), "crcErrors");
  EXPECT_EQ(stats->attributeString(299), "portInterrupts");
  EXPECT_EQ(stats->attributeString(300), "doInitialize");
  EXPECT_EQ(stats->attributeString(301), "unknown");
  EXPECT_EQ(stats->attributeString(257), "unknown");
  EXPECT_EQ(PhyBcm54980Stats::crcErrorsAttrId, 268);
  EXPECT_EQ(PhyBcm54980Stats::doInitializeAttrId, 300);
}

class DoInitializeTest : public ::testing::Test {
 protected:
  void SetUp() override { Zef::Trace::sinkIs(&sink); }
  void TearDown() override {
    Zef::Trace::sinkIs(nullptr);
    Zef::coverageStreamIs(nullptr);
    Zef::Trace::levelIs("PhyBcm54980", 9, false);
  }
  std::ostringstream sink;
  Ptr<PhyBcm54980Stats> stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
};

TEST_F(DoInitializeTest, SilentWithoutLevelNineOrCoverage) {
  stats->doInitialize();
  EXPECT_EQ(sink.str(), "");
}

TEST_F(DoInitializeTest, WritesItsRecordAtLevelNine) {
  Zef::Trace::levelIs("PhyBcm54980", 9, true);
  stats->doInitialize();
  EXPECT_EQ(sink.str(),
            "PhyBcm54980 L9 model/phy_bcm54980_stats.toml:161 doInitialize <unknown>: "
            "in PhyBcm54980Stats::handleInitialized\n");
  Zef::Trace::levelIs("PhyBcm54980", 8, true);
  Zef::Trace::levelIs("PhyBcm54980", 9, false);
  sink.str("");
  stats->doInitialize();
  EXPECT_EQ(sink.str(), "");
  Zef::Trace::levelIs("PhyBcm54980", 8, false);
}

TEST_F(DoInitializeTest, WritesTheMessageToTheCoverageStream) {
  std::ostringstream coverage;
  Zef::coverageStreamIs(&coverage);
  stats->doInitialize();
  EXPECT_EQ(coverage.str(), "in PhyBcm54980Stats::handleInitialized\n");
  EXPECT_EQ(sink.str(), "");
}

}  // namespace
