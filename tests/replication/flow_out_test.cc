// The writer side of replication: what a change of an attached entity writes
// to its log, and what it defers when the log cannot take it.
#include <gtest/gtest.h>

#include <map>

#include "model/phy_bcm54980_chip_config.h"
#include "model/phy_bcm54980_config.h"
#include "model/phy_bcm54980_stats.h"
#include "replication/replication_testing.h"

namespace {

using namespace Hardware::Phy;
using namespace phytest;
using Zef::Ptr;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::FrameKind;
using Zef::NboAttrLog::MsgHeader;
using Zef::NboAttrLog::Out;

class FlowOutTest : public ::testing::Test {
 protected:
  Ptr<Connection> conn = Connection::ConnectionIs();
  Ptr<Out> const& out = conn->out();
  Ptr<PhyBcm54980Stats> stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
  Ptr<PhyBcm54980ChipConfig> chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  Tap drain;

  template <class E>
  Ptr<typename E::ZefNboAttrLogSa> attach(Ptr<E> const& e) {
    auto sa = e->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
    return Ptr<typename E::ZefNboAttrLogSa>(dynamic_cast<typename E::ZefNboAttrLogSa*>(sa.ptr()));
  }
  // Leaves exactly `free` bytes of the send buffer free.
  void fillTo(std::size_t free) {
    std::vector<unsigned char> filler(out->freeSpace() - free);
    out->writeBytes(filler.data(), filler.size());
  }
};

TEST_F(FlowOutTest, AChangeOnARoomyLogIsOneRecordWithTheExactHeaderAndValue) {
  auto sa = attach(stats);
  stats->crcErrorsIs(crcAfter(3));
  auto records = drain(out);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].kind, FrameKind::attribute);
  EXPECT_EQ(records[0].header, (MsgHeader{sa->entityId(), 268, 1, 0, 0, 0}));
  EXPECT_EQ(records[0].payload, wireOf(crcAfter(3)));
  EXPECT_EQ(sa->flowOut(), nullptr) << "nothing deferred";
  // Storing the same value again notifies nobody, so writes nothing.
  stats->crcErrorsIs(crcAfter(3));
  EXPECT_EQ(out->size(), 0u);
}

// Two connections number their entities alike: the same entity often has the
// same id on both, and each must still find its own adapter.
TEST(TwoConnections, AnEntityWithTheSameIdOnTwoConnectionsHasOneAdapterOnEach) {
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
  Ptr<Connection> one = Connection::ConnectionIs();
  Ptr<Connection> two = Connection::ConnectionIs();
  one->rootIs(stats);
  two->rootIs(stats);
  auto saOne = stats->zefNboAttrLogSa(Ptr<Out const>(one->out()));
  auto saTwo = stats->zefNboAttrLogSa(Ptr<Out const>(two->out()));
  ASSERT_NE(saOne, nullptr);
  ASSERT_NE(saTwo, nullptr);
  ASSERT_EQ(saOne->entityId(), saTwo->entityId()) << "the case in question";
  EXPECT_NE(saOne, saTwo);
  EXPECT_EQ(saTwo->nboAttrLogOut(), two->out());
  // A change reaches both, each on its own log.
  one->flowOutReady();
  two->flowOutReady();
  Tap tapOne, tapTwo;
  tapOne(one->out());
  tapTwo(two->out());
  stats->crcErrorsIs(crcAfter(4));
  EXPECT_EQ(tapOne(one->out()).size(), 1u);
  EXPECT_EQ(tapTwo(two->out()).size(), 1u);
}

TEST_F(FlowOutTest, EntityIdsAreOddAndPerLog) {
  auto a = attach(stats);
  auto b = attach(chip);
  EXPECT_EQ(a->entityId() & 1, 1u);
  EXPECT_EQ(b->entityId() & 1, 1u);
  EXPECT_NE(a->entityId(), b->entityId());
  EXPECT_GT(a->entityId(), 1u) << "1 names the orphan announcement";
  EXPECT_EQ(conn->demuxer()->reactor(a->entityId()), a);
}

TEST_F(FlowOutTest, StatisticsOfOneEntityTravelInSixteenBytesEachAfterTheFirst) {
  attach(stats);
  stats->linkStateIs(ConditionStat());  // unchanged: nothing
  stats->crcErrorsIs(crcAfter(1));
  std::size_t first = out->size();
  stats->carrierExtendErrorsIs(EventStat());  // unchanged
  EventOrCountStat f;
  f.countIs(2);
  stats->falseCarriersIs(f);  // 270: same entity, another attribute
  stats->rxErrorsIs(f);       // 272
  stats->txErrorsIs(f);       // 273: the next attribute id
  std::size_t rest = out->size() - first;
  // 3-byte prefix and a 12-byte value, plus the attribute id where it is
  // not the next one.
  EXPECT_LE(rest, 3u * 18u);
  EXPECT_EQ(drain(out).size(), 4u);
}

TEST_F(FlowOutTest, AReferenceIsWrittenAsTheReferencedEntitysIdOnTheLog) {
  auto sa = attach(chip);
  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo1");
  chip->resetIs(gpo);
  auto gpoSa = gpo->zefNboAttrLogSa(Ptr<Out const>(out));
  ASSERT_NE(gpoSa, nullptr) << "the referenced entity joins the log";
  auto records = drain(out);
  ASSERT_FALSE(records.empty());
  auto const& r = records.back();
  EXPECT_EQ(r.header.attributeId, 258);
  EXPECT_EQ(r.header.entityId, sa->entityId());
  ASSERT_EQ(r.payload.size(), 8u);
  std::uint64_t eid = 0;
  for (unsigned char b : r.payload) eid = eid << 8 | b;
  EXPECT_EQ(eid, gpoSa->entityId());
  // A null reference is id 0.
  chip->resetIs(nullptr);
  auto gone = drain(out);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].payload, std::vector<unsigned char>(8, 0));
}

TEST_F(FlowOutTest, AttributesOfTheBaseTypeAndOfTheChipTravelUnderOneEntityId) {
  auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
  auto wexa = MdioWexa::WexaDesc::WexaDescIs("w", device, Hardware::XoltAccelId(1), Hardware::Mdio::BusId(2),
                                             Hardware::Mdio::PortAddr(3), MdioClient::clause22,
                                             Hardware::XoltAgentId(4));
  Ptr<PhyBcm54980Config> cfg = PhyBcm54980Config::PhyBcm54980ConfigIs("p1", wexa, "api", "1.0");
  auto sa = attach(cfg);
  cfg->modelIs("BCM54980");
  cfg->jumboIs(false);  // on by default
  auto records = drain(out);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].header, (MsgHeader{sa->entityId(), 258, 1, 0, 0, 0}));
  EXPECT_EQ(records[0].payload, wireOf(Zef::String8("BCM54980")));
  EXPECT_EQ(records[1].header, (MsgHeader{sa->entityId(), 397, 1, 0, 0, 0}));
  EXPECT_EQ(records[1].payload, std::vector<unsigned char>{0});
}

// Deferral to dirty bits, and the scheduled pass.

TEST_F(FlowOutTest, ALogWithExactly48KiBFreeIsNotRoomyAndDefersOnlyTheChangedAttribute) {
  auto sa = attach(stats);
  fillTo(49152);
  stats->crcErrorsIs(crcAfter(1));
  EXPECT_EQ(out->size(), out->capacity() - 49152) << "nothing written";
  ASSERT_NE(sa->flowOut(), nullptr);
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(0), 1u << (268 - 257));
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(1), 0u);
  EXPECT_EQ(sa->flowOut()->attrId(), 268);
}

TEST_F(FlowOutTest, OneByteMoreFreeWritesAtOnce) {
  attach(stats);
  out->lowPriorityBacklogIs(out->capacity());  // counters held back by room alone
  fillTo(49153);
  std::size_t before = out->size();
  stats->crcErrorsIs(crcAfter(1));
  EXPECT_GT(out->size(), before);
}

TEST_F(FlowOutTest, TheSecondWordHoldsBitsFrom32On) {
  auto sa = attach(stats);
  out->isConnectedIs(false);
  EventStat e;
  e.countIs(1);
  stats->sgmiiTxErrorsIs(e);  // 289: bit 32
  ASSERT_NE(sa->flowOut(), nullptr);
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(0), 0u);
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(1), 1u);
}

TEST_F(FlowOutTest, AScheduledPassWritesEachDirtyAttributeOnceInIdOrderWithItsValueAtThePass) {
  auto sa = attach(stats);
  out->isConnectedIs(false);  // a log that is not connected is never roomy
  for (unsigned n = 1; n <= 5; ++n) stats->crcErrorsIs(crcAfter(n));
  ConditionStat link;
  link.currentIs(U1(1));
  stats->linkStateIs(link);
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(conn->demuxer()->scheduledCount(), 1u);

  out->isConnectedIs(true);
  EXPECT_FALSE(conn->flowOutReady()) << "nothing left waiting";
  auto records = drain(out);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].header.attributeId, 259);
  EXPECT_EQ(records[0].payload, wireOf(link));
  EXPECT_EQ(records[1].header.attributeId, 268);
  EXPECT_EQ(records[1].payload, wireOf(crcAfter(5)));
  EXPECT_EQ(sa->flowOut(), nullptr) << "a finished pass is dropped";
}

TEST_F(FlowOutTest, AChangeBehindAPausedPassIsWrittenByAPassOfItsOwn) {
  attach(stats)->doSerializeOrphan();
  drain(out);
  conn->demuxer()->sliceBudgetIs(1);  // a slice stops after one record
  out->lowPriorityBacklogIs(out->capacity());
  out->isConnectedIs(false);
  stats->crcErrorsIs(crcAfter(1));  // 268
  EventStat pi;
  pi.countIs(1);
  stats->portInterruptsIs(pi);  // 299
  out->isConnectedIs(true);
  // Room for the first record (18 bytes) and no more: the pass pauses at 269.
  fillTo(49152 + 18);
  conn->demuxer()->runFlowOuts();
  ASSERT_FALSE(out->isRoomy());
  ASSERT_EQ(conn->demuxer()->scheduledCount(), 1u);
  // 268 changes again behind the pass's position.
  stats->crcErrorsIs(crcAfter(2));
  out->bytesDelAll();  // the reader took everything; a new stream of frames
  conn->demuxer()->sliceBudgetIs(1 << 20);
  EXPECT_FALSE(conn->flowOutReady());
  auto records = drain(out);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].header.attributeId, 299) << "the paused pass goes on";
  EXPECT_EQ(records[1].header.attributeId, 268) << "then a pass of its own for the later change";
  EXPECT_EQ(records[1].payload, wireOf(crcAfter(2)));
}

// Counters wait once a few KiB are waiting to be drained, so that a change
// that matters more is never queued behind a burst of them.
TEST_F(FlowOutTest, CountersBeyondTheBacklogCoalesceWhileConfigurationStillGoesAtOnce) {
  auto sa = attach(stats);
  attach(chip);
  out->holdsLowPriorityIs(true);  // as once the first synchronisation is done
  std::vector<unsigned char> filler(out->lowPriorityBacklog());
  out->writeBytes(filler.data(), filler.size());
  ASSERT_TRUE(out->isRoomy());
  std::size_t const before = out->size();
  for (unsigned n = 1; n <= 5; ++n) stats->crcErrorsIs(crcAfter(n));
  EXPECT_EQ(out->size(), before) << "the counter waits in its dirty bit";
  ASSERT_NE(sa->flowOut(), nullptr);
  chip->resetIs(Fru::Gpo::GpoIs("gpo1"));
  EXPECT_GT(out->size(), before) << "configuration does not wait behind counters";

  out->bytesConsumed(filler.size());  // the reader took the filler
  drain(out);
  conn->flowOutReady();
  std::vector<Record> counters;
  for (auto& r : drain(out)) {
    if (r.header.entityId == sa->entityId()) counters.push_back(r);
  }
  ASSERT_EQ(counters.size(), 1u) << "five changes, one record";
  EXPECT_EQ(counters[0].payload, wireOf(crcAfter(5)));
}

TEST_F(FlowOutTest, APassOfCountersStopsAtTheBacklogAndGoesOnOnceItIsDrained) {
  out->lowPriorityBacklogIs(64);  // three or four records
  out->holdsLowPriorityIs(true);
  std::vector<Ptr<PhyBcm54980Stats>> many;
  for (int i = 0; i < 8; ++i) many.push_back(PhyBcm54980Stats::PhyBcm54980StatsIs("s" + std::to_string(i)));
  for (auto& s : many) attach(s);
  drain(out);
  out->isConnectedIs(false);
  for (auto& s : many) s->crcErrorsIs(crcAfter(7));
  out->isConnectedIs(true);
  conn->demuxer()->runFlowOuts();
  std::size_t const first = drain(out).size();
  EXPECT_GE(first, 1u);
  EXPECT_LT(first, many.size()) << "the pass paused at the backlog";
  std::size_t total = first;
  for (int turn = 0; turn < 16 && conn->demuxer()->scheduledCount() > 0; ++turn) {
    conn->demuxer()->runFlowOuts();
    total += drain(out).size();
  }
  EXPECT_EQ(total, many.size()) << "every counter once, in the end";
}

// The first synchronisation has nothing urgent to let by: its passes of
// counters fill the log; once it is done, counters wait at the backlog.
TEST(FirstSynchronisation, CountersAreHeldBackOnlyOnceItIsDone) {
  Zef::NboAttrLog::MemoryPair pair;
  std::vector<Ptr<PhyBcm54980Stats>> many;
  for (int i = 0; i < 200; ++i) many.push_back(PhyBcm54980Stats::PhyBcm54980StatsIs("s" + std::to_string(i)));
  for (auto& s : many) pair.a()->rootIs(s);
  Ptr<Out> const& out = pair.a()->out();
  pair.a()->flowOutReady();
  EXPECT_GT(out->size(), 8 * out->lowPriorityBacklog()) << "one turn of the first synchronisation";
  pair.pump();
  ASSERT_TRUE(pair.b()->isSynced());
  for (auto& s : many) s->crcErrorsIs(crcAfter(9));
  EXPECT_LT(out->size(), out->lowPriorityBacklog() + 64) << "after it, the burst waits in dirty bits";
  pair.pump();
  EXPECT_EQ(pair.b()->framesRefused(), 0u);
}

// Roots given together are attached a few at a time as the log takes their
// records: the first go out before the last is attached, and the mount is
// told it has everything only once the last has arrived.
TEST(FirstSynchronisation, RootsGivenTogetherGoOutAsTheyAreAttachedAndAreSyncedOnceAllHaveArrived) {
  Zef::NboAttrLog::MemoryPair pair;
  pair.a()->demuxer()->writeChunkIs(4096);
  std::vector<Ptr<PhyBcm54980Stats>> many;
  for (unsigned i = 0; i < 300; ++i) {
    many.push_back(PhyBcm54980Stats::PhyBcm54980StatsIs("s" + std::to_string(i)));
    many.back()->crcErrorsIs(crcAfter(i + 1));
  }
  Ptr<Out> const& out = pair.a()->out();
  // A log with no room attaches nothing, and the first synchronisation is
  // not over for that.
  std::vector<unsigned char> filler(out->freeSpace() - 16);
  out->writeBytes(filler.data(), filler.size());
  pair.a()->rootsAre({many.begin(), many.end()});
  EXPECT_TRUE(pair.a()->flowOutReady());
  EXPECT_FALSE(many.front()->zefNboAttrLogSa(out));
  EXPECT_TRUE(pair.a()->isFirstSyncUnderWay());
  out->bytesConsumed(out->size());

  EXPECT_TRUE(pair.a()->flowOutReady()) << "roots are still waiting";
  EXPECT_GT(out->size(), 0u);
  EXPECT_TRUE(many.front()->zefNboAttrLogSa(out));
  EXPECT_FALSE(many.back()->zefNboAttrLogSa(out)) << "the last root is not attached yet";

  pair.pumpAtoB(out->size());
  std::size_t const early = pair.b()->mounted().size();
  EXPECT_GT(early, 0u);
  EXPECT_LT(early, many.size());
  EXPECT_FALSE(pair.b()->isSynced()) << "told synchronised with roots still to come";
  // A root changed before it is attached goes out as it then stands.
  many.back()->crcErrorsIs(crcAfter(7));

  pair.pump();
  ASSERT_TRUE(pair.b()->isSynced());
  ASSERT_EQ(pair.b()->mounted().size(), many.size());
  for (unsigned i = 0; i < many.size(); ++i) {
    auto got = mountedAs<PhyBcm54980Stats>(pair.b(), many[i]->name());
    ASSERT_TRUE(got) << many[i]->name();
    EXPECT_EQ(got->crcErrors(), many[i]->crcErrors()) << many[i]->name();
  }
  EXPECT_EQ(pair.b()->framesRefused(), 0u);
}

TEST(FirstSynchronisation, RootsStillWaitingWhenTheConnectionClosesAreNeverAttached) {
  Zef::NboAttrLog::MemoryPair pair;
  pair.a()->demuxer()->writeChunkIs(4096);
  std::vector<Ptr<PhyBcm54980Stats>> many;
  for (int i = 0; i < 100; ++i) many.push_back(PhyBcm54980Stats::PhyBcm54980StatsIs("s" + std::to_string(i)));
  pair.a()->rootsAre({many.begin(), many.end()});
  pair.a()->flowOutReady();
  pair.a()->closedIs("gone");
  EXPECT_FALSE(pair.a()->flowOutReady());
  EXPECT_FALSE(many.back()->zefNboAttrLogSa(pair.a()->out()));
  EXPECT_EQ(many.back()->references(), 1u) << "the closed connection still holds it";
}

TEST_F(FlowOutTest, DeferredStatusAndConfigurationGoOutBeforeDeferredCounters) {
  attach(stats);
  auto chipSa = attach(chip);
  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo1");
  gpo->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
  out->isConnectedIs(false);
  stats->crcErrorsIs(crcAfter(1));  // the counters change first
  chip->resetIs(gpo);
  out->isConnectedIs(true);
  conn->flowOutReady();
  auto records = drain(out);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].header.entityId, chipSa->entityId());
  EXPECT_EQ(records[1].header.attributeId, 268);
}

TEST_F(FlowOutTest, ABurstAgainstAStalledReaderCostsOneRecordPerStatisticAndNoMemory) {
  // A 64 KiB buffer: the first rounds fill it.
  Ptr<Connection> small = Connection::ConnectionIs(64 * 1024);
  small->out()->holdsLowPriorityIs(true);
  Tap drainSmall;
  std::vector<Ptr<PhyBcm54980Stats>> ports;
  for (int p = 0; p < 48; ++p) {
    ports.push_back(PhyBcm54980Stats::PhyBcm54980StatsIs(Zef::format("port%d", p)));
    ports.back()->zefNboAttrLogSaIs(noFlags(), 1, small->out(), nullptr);
  }
  std::size_t memory = 0;
  for (unsigned round = 1; round <= 500; ++round) {
    for (auto& s : ports) s->crcErrorsIs(crcAfter(round));
    // The first round fills the counters' backlog; from then on every
    // change is a dirty bit in a flow-out each port already has.
    if (round == 100) memory = Zef::ZefMemPool::bytesInUse();
  }
  EXPECT_FALSE(small->out()->isRoomyForLowPriority());
  EXPECT_EQ(Zef::ZefMemPool::bytesInUse(), memory) << "a stalled reader costs no memory per change";
  // The reader catches up: each statistic's newest value arrives, and the
  // pass after the stall sends each one once.
  std::map<Zef::EntityId, unsigned> afterStall;
  std::map<Zef::EntityId, std::vector<unsigned char>> last;
  auto take = [&](bool counting) {
    for (auto const& r : drainSmall(small->out())) {
      if (counting) ++afterStall[r.header.entityId];
      last[r.header.entityId] = r.payload;
    }
  };
  take(false);
  while (small->flowOutReady() || small->out()->size()) take(true);
  ASSERT_EQ(last.size(), 48u);
  for (auto const& [eid, payload] : last) EXPECT_EQ(payload, wireOf(crcAfter(500)));
  for (auto const& [eid, n] : afterStall) EXPECT_EQ(n, 1u) << "entity " << eid;
}

TEST_F(FlowOutTest, TheLogGivesAnEntityItsIdAnnouncingItOnce) {
  auto gpo = Fru::Gpo::GpoIs("gpo7");
  EXPECT_EQ(out->connectionEidFor(nullptr), 0u);
  Zef::EntityId eid = out->connectionEidFor(gpo.ptr());
  EXPECT_EQ(eid & 1, 1u) << "an id in use on a live log";
  auto sa = gpo->zefNboAttrLogSa(Ptr<Out const>(out));
  ASSERT_NE(sa, nullptr);
  EXPECT_EQ(sa->entityId(), eid);
  drain(out);
  EXPECT_EQ(drain.announcements.size(), 1u);
  EXPECT_EQ(out->connectionEidFor(gpo.ptr()), eid) << "the same id again";
  drain(out);
  EXPECT_EQ(drain.announcements.size(), 1u) << "announced once";
}

TEST(LogWithoutConnection, HasNoEntityIdsToGive) {
  auto out = Out::OutIs();
  auto gpo = Fru::Gpo::GpoIs("gpo8");
  EXPECT_EQ(out->connectionEidFor(nullptr), 0u);
  EXPECT_THROW(out->connectionEidFor(gpo.ptr()), Zef::EntityIdUnavailableException);
  EXPECT_EQ(out->size(), 0u) << "nothing written";
  EXPECT_EQ(gpo->zefNboAttrLogSa(Ptr<Out const>(out)), nullptr) << "nothing attached";
}

TEST_F(FlowOutTest, AFlowOutMarksEveryAttributeFromItsStart) {
  auto sa = attach(chip);
  auto fo = sa->flowOutIs(out, Zef::ConnectDesc(Zef::EntityUriPath(""), Zef::EntityUriPath("")), false, 258);
  auto* chipFo = static_cast<PhyBcm54980ChipConfig::ZefNboAttrLogSa::FlowOut*>(fo.ptr());
  EXPECT_EQ(chipFo->zefDirtyBitSet0().word(0), 0b110u) << "reset and interrupt, not isNondestructing";
  auto all = sa->flowOutIs(out, Zef::ConnectDesc(Zef::EntityUriPath(""), Zef::EntityUriPath("")), false, 0);
  EXPECT_EQ(static_cast<PhyBcm54980ChipConfig::ZefNboAttrLogSa::FlowOut*>(all.ptr())->zefDirtyBitSet0().word(0),
            0b111u);
  auto none =
      sa->flowOutIs(out, Zef::ConnectDesc(Zef::EntityUriPath(""), Zef::EntityUriPath("")), false, 0x7FFFFFFF);
  EXPECT_FALSE(none->hasDirtyAttributes());
}

TEST_F(FlowOutTest, APassFromAnAttributeTouchesOnlyWhatFollows) {
  auto sa = attach(chip);
  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo1");
  Ptr<Fru::IntCtrl> irq = Fru::IntCtrl::IntCtrlIs("irq1");
  chip->resetIs(gpo);
  chip->interruptIs(irq);
  drain(out);
  conn->demuxer()->createFlowOut(sa, Zef::ConnectDesc(Zef::EntityUriPath(""), Zef::EntityUriPath("")), false, 0);
  Zef::StreamAdapter& base = *sa;
  EXPECT_EQ(base.handleAttrFlowOut(7), 0) << "not an attribute of the chip";
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(base.handleAttrFlowOut(259), 0);
  auto records = drain(out);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].header.attributeId, 259);
}

// The guards: when a change writes nothing and marks nothing.

TEST_F(FlowOutTest, AResynchronizingAdapterWritesAndMarksNothing) {
  auto sa = attach(stats);
  sa->zef_bitSet.isResynchronizingIs(true);
  out->isConnectedIs(false);
  stats->crcErrorsIs(crcAfter(1));
  out->isConnectedIs(true);
  stats->crcErrorsIs(crcAfter(2));
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(sa->flowOut(), nullptr);
}

TEST_F(FlowOutTest, AChangeThatIsTheRecordBeingAppliedIsNotEchoed) {
  auto sa = attach(stats);
  {
    Zef::IsActiveAnchor applying;
    applying.telIs(sa.ptr(), 268);
    stats->crcErrorsIs(crcAfter(1));
    EXPECT_EQ(out->size(), 0u);
    // Another attribute changed meanwhile (by a reactor) still goes out.
    EventStat j;
    j.countIs(1);
    stats->jabberIs(j);
    EXPECT_EQ(drain(out).size(), 1u);
  }
  stats->crcErrorsIs(crcAfter(2));
  EXPECT_EQ(drain(out).size(), 1u) << "after the record, changes go out again";
}

TEST_F(FlowOutTest, AReadOnlyAdapterRefusesTheChangeAndMarksNothing) {
  auto sa = attach(stats);
  sa->zef_bitSet.isReadOnlyIs(true);
  stats->crcErrorsIs(crcAfter(1));  // the reactor's failure is contained
  EXPECT_EQ(stats->crcErrors(), crcAfter(1));
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(sa->flowOut(), nullptr);
}

TEST_F(FlowOutTest, ADetachedAdapterDropsChanges) {
  auto sa = attach(stats);
  EXPECT_EQ(stats->zefNboAttrLogSaDel(Ptr<Out const>(out)), sa);
  EXPECT_EQ(conn->demuxer()->reactorCount(), 0u);
  stats->crcErrorsIs(crcAfter(1));
  EXPECT_EQ(out->size(), 0u) << "a detached adapter that is still held writes nothing";
  sa = nullptr;
  EXPECT_EQ(stats->zefNboAttrLogSa(Ptr<Out const>(out)), nullptr) << "its last holder released it";
}

TEST_F(FlowOutTest, WhenEntityIdsRunOutTheReferenceStaysDirtyUntilOneIsFree) {
  auto sa = attach(chip);
  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo1");
  conn->demuxer()->entityIdLimitIs(conn->demuxer()->reactorCount());
  chip->resetIs(gpo);
  EXPECT_TRUE(drain(out).empty());
  ASSERT_NE(sa->flowOut(), nullptr);
  EXPECT_TRUE(sa->flowOut()->eidsExhausted());
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(0), 0b010u);
  // The pass stops at the reference and resumes there.
  EXPECT_TRUE(conn->flowOutReady());
  EXPECT_TRUE(drain(out).empty());
  conn->demuxer()->entityIdLimitIs(100);
  EXPECT_FALSE(conn->flowOutReady());
  auto gpoSa = gpo->zefNboAttrLogSa(Ptr<Out const>(out));
  ASSERT_NE(gpoSa, nullptr);
  bool sent = false;
  for (auto const& r : drain(out)) sent |= r.header.entityId == sa->entityId() && r.header.attributeId == 258;
  EXPECT_TRUE(sent);
}

// Attach, lookup and detach.

TEST_F(FlowOutTest, AttachingTwiceGivesTheSameAdapterWithTheNewestFlags) {
  auto first = chip->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
  auto again = chip->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
  EXPECT_EQ(first, again);
  auto flags = noFlags();
  flags.isReadOnlyIs(true);
  auto third = chip->zefNboAttrLogSaIs(flags, 1, out, nullptr);
  EXPECT_EQ(third, first);
  EXPECT_TRUE(third->notificationFlags().isReadOnly());
  EXPECT_EQ(conn->demuxer()->reactorCount(), 1u);
}

TEST_F(FlowOutTest, LookupAndDetachOnLogsWithoutAdaptersOrDemuxer) {
  EXPECT_EQ(chip->zefNboAttrLogSa(Ptr<Out const>(out)), nullptr);
  auto bare = Out::OutIs();
  EXPECT_EQ(chip->zefNboAttrLogSaDel(Ptr<Out const>(bare)), nullptr);
  EXPECT_THROW(chip->zefNboAttrLogSaIs(noFlags(), 1, nullptr, nullptr), Zef::RangeException);
  EXPECT_TRUE(chip->zefHasAttrLogInterface());
}

TEST_F(FlowOutTest, AnEntityOnTwoLogsWritesToBoth) {
  Ptr<Connection> other = Connection::ConnectionIs();
  Tap drainOther;
  attach(stats);
  stats->zefNboAttrLogSaIs(noFlags(), 1, other->out(), nullptr);
  stats->crcErrorsIs(crcAfter(1));
  EXPECT_EQ(drain(out).size(), 1u);
  EXPECT_EQ(drainOther(other->out()).size(), 1u);
}

TEST_F(FlowOutTest, TheAdaptersReactorStandsFirstAndSharesItsActiveState) {
  struct Counter : PhyBcm54980Stats::Notifiee {
    int n = 0;
    void onCrcErrors() override { ++n; }
  };
  Ptr<Counter> local(new Counter, Zef::adoptRef);
  local->isRegisteredNotifieeIs(true);
  local->notifierIs(stats);
  auto sa = attach(stats);
  auto* head = stats->zefNotifieeList().head();
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->zefReactor(), sa);
  sa->hasNotificationActiveIs(false);
  EXPECT_FALSE(head->hasNotificationActive());
  stats->crcErrorsIs(crcAfter(1));
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(local->n, 1);
  sa->hasNotificationActiveIs(true);
  EXPECT_TRUE(head->hasNotificationActive());
  stats->crcErrorsIs(crcAfter(2));
  EXPECT_EQ(drain(out).size(), 1u);
}

TEST_F(FlowOutTest, AStateAdapterHoldsItsEntityUntilDetached) {
  Zef::PtrInterface* raw = stats.ptr();
  attach(stats);
  stats = nullptr;
  EXPECT_EQ(conn->demuxer()->reactorCount(), 1u);
  auto sa = conn->demuxer()->reactor(3);
  ASSERT_NE(sa, nullptr);
  EXPECT_EQ(sa->zefNotifierEntity().ptr(), raw);
  sa = nullptr;
  conn->closedIs("test over");
  EXPECT_EQ(conn->demuxer()->reactorCount(), 0u);
}

}  // namespace
