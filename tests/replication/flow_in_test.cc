// The reader side of replication: a second connection mounts what the first
// serves, applies each record through the mutators, and refuses bad records
// without changing anything.
#include <gtest/gtest.h>

#include "model/phy_bcm54980_chip_config.h"
#include "model/phy_bcm54980_config.h"
#include "model/phy_bcm54980_stats.h"
#include "model/phy_bcm54980_status.h"
#include "replication/replication_testing.h"

namespace {

using namespace Hardware::Phy;
using namespace phytest;
using Zef::Ptr;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::MemoryPair;
using Zef::NboAttrLog::MsgHeader;
using Zef::NboAttrLog::Out;

struct CrcCounter : PhyBcm54980Stats::Notifiee {
  int crc = 0;
  int link = 0;
  void onCrcErrors() override { ++crc; }
  void onLinkState() override { ++link; }
};

class FlowInTest : public ::testing::Test {
 protected:
  MemoryPair pair;
  Ptr<Connection> const& writer = pair.a();
  Ptr<Connection> const& mount = pair.b();
  Ptr<PhyBcm54980Stats> stats = PhyBcm54980Stats::PhyBcm54980StatsIs("port1");

  // The writer's id of `e` on its log.
  Zef::EntityId eidOf(Ptr<Zef::Entity> const& e) {
    return e->zefNboAttrLogSa(Ptr<Out const>(writer->out()))->entityId();
  }
  // Hands the mount one record made by hand.
  template <class... V>
  void send(Zef::EntityId eid, Zef::AttributeId aid, V const&... values) {
    auto out = Out::OutIs();
    out->nextHeaderIs(MsgHeader{eid, aid});
    out << Zef::NboAttrLog::TransactToken{1};
    (out << ... << values);
    out << Zef::NboAttrLog::TransactToken{3};
    mount->bytesReceived(out->bytes());
  }
};

TEST_F(FlowInTest, AServedRootIsMountedWithItsNameTypeAndEveryValue) {
  stats->crcErrorsIs(crcAfter(7));
  writer->rootIs(stats);
  pair.pump();
  auto copy = mountedAs<PhyBcm54980Stats>(mount, "port1");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->crcErrors(), crcAfter(7));
  EXPECT_EQ(copy->linkState(), stats->linkState());
  EXPECT_EQ(mount->framesRefused(), 0u) << mount->lastRefusal();
  // Later changes follow one by one.
  stats->crcErrorsIs(crcAfter(8));
  pair.pump();
  EXPECT_EQ(copy->crcErrors(), crcAfter(8));
}

// Records that follow one another for one entity are read as a run; each
// is still applied, or refused at its own offset, on its own.
TEST_F(FlowInTest, EachRecordOfARunIsAppliedOrRefusedOnItsOwn) {
  writer->rootIs(stats);
  pair.pump();
  auto copy = mountedAs<PhyBcm54980Stats>(mount, "port1");
  ASSERT_NE(copy, nullptr);
  auto const eid = eidOf(stats);
  auto out = Out::OutIs();
  std::vector<std::size_t> at;
  auto record = [&](Zef::AttributeId a, auto const& v, bool byteBeyond) {
    at.push_back(out->size());
    out->nextHeaderIs(MsgHeader{eid, a});
    out << Zef::NboAttrLog::TransactToken{1} << v;
    if (byteBeyond) out << static_cast<unsigned char>(7);
    out << Zef::NboAttrLog::TransactToken{3};
  };
  EventStat early;
  early.countIs(5);
  record(PhyBcm54980Stats::falseCarriersAttrId, crcAfter(1), false);
  record(PhyBcm54980Stats::earlyEndErrorsAttrId, early, true);
  record(PhyBcm54980Stats::rxErrorsAttrId, crcAfter(3), false);
  record(PhyBcm54980Stats::txErrorsAttrId, crcAfter(4), false);
  // Every record after the first says "same entity, next attribute".
  for (std::size_t i = 1; i < at.size(); ++i) ASSERT_EQ(out->bytes()[at[i]], 0xA3) << i;
  std::uint64_t const base = mount->bytesReceivedCount();
  mount->bytesReceived(out->bytes());

  EXPECT_EQ(copy->falseCarriers(), crcAfter(1));
  EXPECT_EQ(copy->earlyEndErrors(), EventStat());
  EXPECT_EQ(copy->rxErrors(), crcAfter(3));
  EXPECT_EQ(copy->txErrors(), crcAfter(4));
  EXPECT_EQ(mount->framesRefused(), 1u);
  EXPECT_EQ(mount->lastRefusal(), "frame at offset " + std::to_string(base + at[1]) +
                                      ": attribute 271 record has 1 bytes beyond its value");
  EXPECT_FALSE(mount->isClosed());
}

TEST_F(FlowInTest, ASyncModeRecordWithBytesBeyondItsModeChangesNothing) {
  writer->rootIs(stats);
  pair.pump();
  ASSERT_TRUE(mount->isSynced());
  auto const eid = eidOf(stats);
  auto adapter = mount->demuxer()->reactor(eid);
  ASSERT_NE(adapter, nullptr);
  ASSERT_EQ(adapter->syncMode(), Zef::StreamAdapter::syncModeIncremental);
  send(eid, Zef::NboAttrLog::kSyncModeAttrId, 2u, static_cast<unsigned char>(7));
  EXPECT_EQ(mount->framesRefused(), 1u);
  EXPECT_NE(mount->lastRefusal().str().find("1 bytes beyond its value"), std::string::npos) << mount->lastRefusal();
  EXPECT_EQ(adapter->syncMode(), Zef::StreamAdapter::syncModeIncremental);
  // The same record without the extra byte is taken.
  send(eid, Zef::NboAttrLog::kSyncModeAttrId, 2u);
  EXPECT_EQ(mount->framesRefused(), 1u) << mount->lastRefusal();
  EXPECT_EQ(adapter->syncMode(), Zef::StreamAdapter::syncModeFull);
}

TEST_F(FlowInTest, EveryKindOfAttributeReplicates) {
  auto gpo = Fru::Gpo::GpoIs("gpo1");
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  chip->resetIs(gpo);
  auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
  auto wexa = MdioWexa::WexaDesc::WexaDescIs("w1", device, Hardware::XoltAccelId(1), Hardware::Mdio::BusId(2),
                                             Hardware::Mdio::PortAddr(3), MdioClient::clause45,
                                             Hardware::XoltAgentId(4));
  auto cfg = PhyBcm54980Config::PhyBcm54980ConfigIs("p1", wexa, "api-2", "1.4");
  cfg->phyChipConfigIs(chip);                              // a reference
  cfg->jumboIs(false);                                     // bool
  cfg->portInterruptBitIs(9);                              // unsigned char
  cfg->diagsLinkModeIs(Interface::linkModeForced100Full);  // an enumeration
  cfg->modelIs("BCM54980");                                // a string of the base type
  cfg->linkStatePollIntervalIs(0.25);                      // a time stamp
  auto intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1");
  auto status = PhyBcm54980Status::PhyBcm54980StatusIs("s1", mdioClause45, cfg, intf);
  status->debugStateSnapshotTimestampIs(12.5);
  status->phyIdOuiIs(U22(0x3ffff));  // bounded integers
  status->phyIdModelIs(U6(0x2a));
  status->linkDownCountIs(4);  // unsigned int
  writer->rootIs(chip);
  writer->rootIs(cfg);
  writer->rootIs(status);
  pair.pump();
  ASSERT_EQ(mount->framesRefused(), 0u) << mount->lastRefusal();

  auto chipCopy = mountedAs<PhyBcm54980ChipConfig>(mount, "chip0");
  auto cfgCopy = mountedAs<PhyBcm54980Config>(mount, "p1");
  auto statusCopy = mountedAs<PhyBcm54980Status>(mount, "s1");
  ASSERT_TRUE(chipCopy && cfgCopy && statusCopy);
  ASSERT_NE(chipCopy->reset(), nullptr);
  EXPECT_EQ(chipCopy->reset()->name(), "gpo1");
  EXPECT_EQ(cfgCopy->phyChipConfig(), chipCopy);
  EXPECT_EQ(cfgCopy->api(), "api-2") << "constructor arguments travel in the announcement";
  EXPECT_EQ(cfgCopy->minBlobVersion(), "1.4");
  ASSERT_NE(cfgCopy->wexaDesc(), nullptr);
  EXPECT_EQ(cfgCopy->wexaDesc()->clause(), MdioClient::clause45);
  EXPECT_EQ(cfgCopy->jumbo(), false);
  EXPECT_EQ(cfgCopy->portInterruptBit(), 9);
  EXPECT_EQ(cfgCopy->diagsLinkMode(), Interface::linkModeForced100Full);
  EXPECT_EQ(cfgCopy->model(), "BCM54980");
  EXPECT_EQ(cfgCopy->linkStatePollInterval(), 0.25);
  EXPECT_EQ(statusCopy->debugStateSnapshotTimestamp(), 12.5);
  EXPECT_EQ(statusCopy->phyIdOui(), U22(0x3ffff));
  EXPECT_EQ(statusCopy->phyIdModel(), U6(0x2a));
  EXPECT_EQ(statusCopy->linkDownCount(), 4u);
  EXPECT_EQ(statusCopy->mdioClause(), mdioClause45);
  ASSERT_NE(statusCopy->phyConfig(), nullptr);
  EXPECT_EQ(statusCopy->phyConfig().ptr(), static_cast<PhyConfig*>(cfgCopy.ptr()));
}

TEST_F(FlowInTest, TheMountsReactorsHearEachAppliedChangeOnceAndNothingIsEchoed) {
  writer->rootIs(stats);
  pair.pump();
  auto copy = mountedAs<PhyBcm54980Stats>(mount, "port1");
  ASSERT_NE(copy, nullptr);
  Ptr<CrcCounter> heard(new CrcCounter, Zef::adoptRef);
  heard->isRegisteredNotifieeIs(true);
  heard->notifierIs(copy);
  std::uint64_t writerFrames = writer->framesReceived();
  for (unsigned n = 1; n <= 3; ++n) {
    stats->crcErrorsIs(crcAfter(n));
    pair.pump();
  }
  EXPECT_EQ(heard->crc, 3);
  EXPECT_EQ(heard->link, 0);
  EXPECT_EQ(writer->framesReceived(), writerFrames) << "the mount sent nothing back";
}

// The mount's adapter passes over only its own echo of the attribute it
// applies: a reactor that answers with a write of another attribute, or of
// another entity, has that write sent (and the writer refuses it).
TEST_F(FlowInTest, AWriteMadeInAnswerToAnAppliedChangeGoesBackAndTheChangeItselfDoesNot) {
  auto other = PhyBcm54980Stats::PhyBcm54980StatsIs("port2");
  writer->rootsAre({stats, other});
  pair.pump();
  Ptr<PhyBcm54980Stats> copy = mountedAs<PhyBcm54980Stats>(mount, "port1"),
                        otherCopy = mountedAs<PhyBcm54980Stats>(mount, "port2");
  ASSERT_TRUE(copy && otherCopy);
  struct Answer : PhyBcm54980Stats::Notifiee {
    Ptr<PhyBcm54980Stats> self, also;
    void onCrcErrors() override {
      ConditionStat link;
      link.currentIs(U1(1));
      link.changesIs(self->crcErrors().count());
      self->linkStateIs(link);
      also->linkStateIs(link);
    }
  };
  Ptr<Answer> answer(new Answer, Zef::adoptRef);
  answer->self = copy;
  answer->also = otherCopy;
  answer->isRegisteredNotifieeIs(true);
  answer->notifierIs(copy);
  std::uint64_t const writerFrames = writer->framesReceived();
  stats->crcErrorsIs(crcAfter(7));
  pair.pump();
  EXPECT_EQ(copy->linkState().changes(), 7u);
  EXPECT_EQ(writer->framesReceived(), writerFrames + 2) << "the two answers, not the applied change";
  // The writer takes nothing from a mount.
  EXPECT_EQ(writer->framesRefused(), 2u);
  EXPECT_EQ(stats->linkState().changes(), 0u);
  EXPECT_EQ(other->linkState().changes(), 0u);
}

TEST_F(FlowInTest, AWriterServesTheSameEntityOnTwoConnections) {
  MemoryPair second;
  writer->rootIs(stats);
  second.a()->rootIs(stats);
  stats->crcErrorsIs(crcAfter(2));
  pair.pump();
  second.pump();
  auto one = mountedAs<PhyBcm54980Stats>(mount, "port1");
  auto two = mountedAs<PhyBcm54980Stats>(second.b(), "port1");
  ASSERT_TRUE(one && two);
  EXPECT_NE(one, two);
  EXPECT_EQ(one->crcErrors(), crcAfter(2));
  EXPECT_EQ(two->crcErrors(), crcAfter(2));
}

// Bad input: refused, counted, and nothing changes.

TEST_F(FlowInTest, AReferenceToAnEntityOfTheWrongTypeIsRefused) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  writer->rootIs(chip);
  writer->rootIs(stats);
  pair.pump();
  auto chipCopy = mountedAs<PhyBcm54980ChipConfig>(mount, "chip0");
  ASSERT_NE(chipCopy, nullptr);
  // reset (258) names the statistics entity: not a Fru::Gpo.
  send(eidOf(chip), 258, std::uint64_t(eidOf(stats)));
  EXPECT_EQ(mount->framesRefused(), 1u);
  EXPECT_NE(mount->lastRefusal().str().find("Entity is the wrong type"), std::string::npos) << mount->lastRefusal();
  EXPECT_EQ(chipCopy->reset(), nullptr);
}

TEST_F(FlowInTest, ATruncatedRecordChangesNothingAndTheStreamGoesOn) {
  writer->rootIs(stats);
  pair.pump();
  auto copy = mountedAs<PhyBcm54980Stats>(mount, "port1");
  ASSERT_NE(copy, nullptr);
  send(eidOf(stats), 268, 7u);  // 4 of the statistic's 12 bytes
  EXPECT_EQ(mount->framesRefused(), 1u);
  EXPECT_EQ(copy->crcErrors(), EventOrCountStat());
  stats->crcErrorsIs(crcAfter(1));
  pair.pump();
  EXPECT_EQ(copy->crcErrors(), crcAfter(1)) << "the connection stays usable";
}

TEST_F(FlowInTest, ARecordForAnUnknownEntityIdIsRefused) {
  send(99, 268, crcAfter(1));
  EXPECT_EQ(mount->framesRefused(), 1u);
  EXPECT_NE(mount->lastRefusal().str().find("not known"), std::string::npos) << mount->lastRefusal();
  EXPECT_FALSE(mount->isClosed());
}

TEST_F(FlowInTest, AFrameLongerThanTheLargestDropsTheConnectionWithItsReason) {
  unsigned char tooLong[] = {0xA0, 0x40, 0x01, 0x03, 0x00};  // 16385 bytes announced
  mount->bytesReceived(tooLong);
  EXPECT_TRUE(mount->isClosed());
  EXPECT_EQ(mount->closeCause(), Zef::NboAttrLog::CloseCause::lostFraming);
  EXPECT_NE(mount->closeReason().str().find("exceeds the largest frame"), std::string::npos) << mount->closeReason();
}

TEST_F(FlowInTest, AnUnknownEnumerationValueIsCountedAndAppliedRaw) {
  auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
  auto wexa = MdioWexa::WexaDesc::WexaDescIs("w1", device, Hardware::XoltAccelId(1), Hardware::Mdio::BusId(2),
                                             Hardware::Mdio::PortAddr(3), MdioClient::clause22,
                                             Hardware::XoltAgentId(4));
  auto cfg = PhyBcm54980Config::PhyBcm54980ConfigIs("p1", wexa, "api", "1");
  writer->rootIs(cfg);
  pair.pump();
  auto copy = mountedAs<PhyBcm54980Config>(mount, "p1");
  ASSERT_NE(copy, nullptr);
  send(eidOf(cfg), 400, 99u);  // diagsLinkMode
  EXPECT_EQ(mount->framesRefused(), 0u) << mount->lastRefusal();
  EXPECT_EQ(static_cast<unsigned>(copy->diagsLinkMode()), 99u);
  EXPECT_EQ(mount->demuxer()->unknownEnums(), 1u);
}

TEST_F(FlowInTest, AWriteBackToAReadOnlyRemoteIsRefusedWithTheEntitysName) {
  writer->rootIs(stats);
  pair.pump();
  auto copy = mountedAs<PhyBcm54980Stats>(mount, "port1");
  ASSERT_NE(copy, nullptr);
  copy->crcErrorsIs(crcAfter(5));  // a local change on the mount goes back
  pair.pump();
  EXPECT_EQ(writer->framesRefused(), 1u);
  EXPECT_EQ(writer->lastRefusal().str().find("write-update from readonly proxy: "),
            writer->lastRefusal().str().find("write-update"));
  EXPECT_NE(writer->lastRefusal().str().find("port1"), std::string::npos) << writer->lastRefusal();
  EXPECT_EQ(stats->crcErrors(), EventOrCountStat()) << "the writer's state is its own";
}

TEST_F(FlowInTest, AnAdapterAlreadyApplyingARecordRefusesASecond) {
  writer->rootIs(stats);
  pair.pump();
  auto copy = mountedAs<PhyBcm54980Stats>(mount, "port1");
  auto sa = copy->zefNboAttrLogSa(Ptr<Out const>(mount->out()));
  ASSERT_NE(sa, nullptr);
  auto bytes = wireOf(crcAfter(3));
  Zef::NboAttrLog::In in(bytes, mount->demuxer().ptr());
  mount->demuxer()->currentInIs(&in);
  Zef::IsActiveAnchor busy;
  busy.telIs(sa.ptr(), 259);
  try {
    sa->handleAttrDeserialization(268, {}, 0, nullptr);
    ADD_FAILURE() << "no refusal";
  } catch (Zef::InternalException const& e) {
    EXPECT_STREQ(e.what(), "entity reactor is already active");
  }
  mount->demuxer()->currentInIs(nullptr);
  EXPECT_EQ(copy->crcErrors(), EventOrCountStat());
}

// A record read from an explicit stream is not applied: the other end asks
// for the value again, and the current one goes out. The stream is a
// counted reader the adapter keeps no hold on.
TEST_F(FlowInTest, AnExplicitStreamSendsTheCurrentValueBackAndKeepsNoHoldOnItsReader) {
  writer->rootIs(stats);
  pair.pump();
  stats->crcErrorsIs(crcAfter(4));
  pair.pump();
  auto sa = stats->zefNboAttrLogSa(Ptr<Out const>(writer->out()));
  auto bytes = wireOf(crcAfter(9));
  Zef::NboAttrLog::In in(bytes, writer->demuxer().ptr());
  sa->handleAttrDeserialization(268, {}, 0, &in);
  EXPECT_EQ(stats->crcErrors(), crcAfter(4));
  EXPECT_EQ(in.remaining(), 0u) << "the value was read and dropped";
  EXPECT_GT(writer->out()->size(), 0u) << "the current value goes out again";

  Ptr<Zef::NboAttrLog::In> counted = Zef::NboAttrLog::In::InIs(bytes, writer->demuxer().ptr());
  sa->handleAttrDeserialization(268, {}, 0, counted);
  EXPECT_EQ(stats->crcErrors(), crcAfter(4)) << "read and dropped, not applied";
  EXPECT_EQ(counted->remaining(), 0u);
  EXPECT_EQ(counted->references(), 1u) << "the adapter kept no reference";
  // A reader on the stack, named by a counted reference, is not freed by it.
  Zef::NboAttrLog::In onStack(bytes, writer->demuxer().ptr());
  sa->handleAttrDeserialization(268, {}, 0, Ptr<Zef::NboAttrLog::In>(&onStack));
  EXPECT_EQ(onStack.remaining(), 0u);
  EXPECT_EQ(onStack.references(), 1u);
}

TEST_F(FlowInTest, TheReactorNamesItsAdapterByACountedReferenceAndHoldsNone) {
  auto sa = stats->zefNboAttrLogSaIs(noFlags(), 1, writer->out(), nullptr);
  auto* own = dynamic_cast<PhyBcm54980Stats::ZefNboAttrLogSa*>(sa.ptr());
  ASSERT_NE(own, nullptr);
  Ptr<PhyBcm54980Stats::ZefNboAttrLogSa> adapter(own);
  auto& reactor = own->zefReactor_;
  auto counted = adapter->references();
  reactor->zefReactorAdapterIs(nullptr);
  Tap drain;
  drain(writer->out());
  stats->crcErrorsIs(crcAfter(1));
  EXPECT_EQ(writer->out()->size(), 0u) << "a reactor without its adapter passes nothing on";
  reactor->zefReactorAdapterIs(adapter);
  EXPECT_EQ(reactor->zefReactorAdapter(), own);
  EXPECT_EQ(adapter->references(), counted) << "the back pointer is not counted";
  stats->crcErrorsIs(crcAfter(2));
  auto records = drain(writer->out());
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().header.attributeId, 268);
}

TEST_F(FlowInTest, ARandomStreamNeverCrashesAndLeavesMountedStateAlone) {
  writer->rootIs(stats);
  stats->crcErrorsIs(crcAfter(2));
  pair.pump();
  auto copy = mountedAs<PhyBcm54980Stats>(mount, "port1");
  ASSERT_NE(copy, nullptr);
  unsigned seed = 12345;
  std::vector<unsigned char> noise(4096);
  for (auto& b : noise) {
    seed = seed * 1103515245 + 12345;
    b = static_cast<unsigned char>(seed >> 16);
  }
  mount->bytesReceived(noise);
  EXPECT_TRUE(mount->isClosed() || mount->framesRefused() > 0);
  EXPECT_EQ(copy->crcErrors(), crcAfter(2));
}

}  // namespace
