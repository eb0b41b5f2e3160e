// The writer side of replication: what a change of an attached entity writes
// to its log, and what it defers when the log cannot take it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

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

std::vector<Ptr<PhyBcm54980Stats>> manyStats(int n) {
  std::vector<Ptr<PhyBcm54980Stats>> many;
  for (int i = 0; i < n; ++i) many.push_back(PhyBcm54980Stats::PhyBcm54980StatsIs("s" + std::to_string(i)));
  return many;
}

EventStat eventCount(unsigned n) {
  EventStat e;
  e.countIs(n);
  return e;
}

Zef::ConnectDesc anyDesc() { return Zef::ConnectDesc(Zef::EntityUriPath(""), Zef::EntityUriPath("")); }

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
  // The sizes of the frames the log holds, in runs of one entity's, read as
  // one reader reads them all (not mixed with `drain`), and taken out of the
  // log.
  std::vector<std::pair<Zef::EntityId, std::vector<std::size_t>>> runsTaken() {
    std::vector<std::pair<Zef::EntityId, std::vector<std::size_t>>> runs;
    auto bytes = out->bytes();
    for (std::size_t at = 0; at < bytes.size();) {
      auto r = reader.next(bytes.subspan(at), at);
      EXPECT_EQ(r.status, Zef::NboAttrLog::FrameReader::Status::frame) << r.error;
      if (r.status != Zef::NboAttrLog::FrameReader::Status::frame) break;
      if (runs.empty() || runs.back().first != r.frame.header.entityId) runs.push_back({r.frame.header.entityId, {}});
      runs.back().second.push_back(r.frame.size);
      at += r.frame.size;
    }
    out->bytesConsumed(out->size());
    return runs;
  }
  Zef::NboAttrLog::FrameReader reader;
  // Six counters of `s` changed, each to a value it never had.
  void sixCountersChange(PhyBcm54980Stats& s) {
    s.crcErrorsIs(crcAfter(++changes));
    s.falseCarriersIs(crcAfter(++changes));
    s.rxErrorsIs(crcAfter(++changes));
    s.txErrorsIs(crcAfter(++changes));
    s.portInterruptsIs(eventCount(++changes));
    s.sgmiiTxErrorsIs(eventCount(++changes));
  }
  unsigned changes = 0;

  // Leaves exactly `free` bytes of the send buffer free.
  void fillTo(std::size_t free) {
    std::vector<unsigned char> filler(out->freeSpace() - free);
    out->writeBytes(filler.data(), filler.size());
  }
};

TEST_F(FlowOutTest, AChangeOnARoomyLogIsOneRecordWithTheExactHeaderAndValueAndLaterOnesAreCompact) {
  auto sa = attach(stats);
  stats->linkStateIs(ConditionStat());  // unchanged: nothing
  stats->crcErrorsIs(crcAfter(3));
  auto records = drain(out);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].kind, FrameKind::attribute);
  EXPECT_EQ(records[0].header, (MsgHeader{sa->entityId(), 268, 1, 0, 0, 0}));
  EXPECT_EQ(records[0].payload, wireOf(crcAfter(3)));
  EXPECT_EQ(sa->flowOut(), nullptr) << "nothing deferred";
  stats->crcErrorsIs(crcAfter(3));
  EXPECT_EQ(out->size(), 0u) << "the same value again notifies nobody";

  EventOrCountStat f;
  f.countIs(2);
  stats->falseCarriersIs(f);  // 270: same entity, another attribute
  stats->rxErrorsIs(f);       // 272
  stats->txErrorsIs(f);       // 273: the next attribute id
  // 3-byte prefix and a 12-byte value, plus the attribute id where it is
  // not the next one.
  EXPECT_LE(out->size(), 3u * 18u);
  EXPECT_EQ(drain(out).size(), 3u);

  // The base type's attributes and the chip's travel under one entity id.
  Ptr<PhyBcm54980Config> cfg = PhyBcm54980Config::PhyBcm54980ConfigIs("p1", nullptr, "api", "1.0");
  auto cfgSa = attach(cfg);
  cfg->modelIs("BCM54980");
  cfg->jumboIs(false);  // on by default
  records = drain(out);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].header, (MsgHeader{cfgSa->entityId(), 258, 1, 0, 0, 0}));
  EXPECT_EQ(records[0].payload, wireOf(Zef::String8("BCM54980")));
  EXPECT_EQ(records[1].header, (MsgHeader{cfgSa->entityId(), 397, 1, 0, 0, 0}));
  EXPECT_EQ(records[1].payload, std::vector<unsigned char>{0});
}

// Two connections number their entities alike: the same entity often has the
// same id on both, and each must still find its own adapter.
TEST(TwoConnections, AnEntityWithTheSameIdOnTwoConnectionsHasOneAdapterOnEachAndWritesToBoth) {
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("stats");
  Ptr<Connection> conns[2] = {Connection::ConnectionIs(), Connection::ConnectionIs()};
  Tap taps[2];
  Ptr<Zef::Entity::ZefNboAttrLogSa> sas[2];
  for (int i = 0; i < 2; ++i) {
    conns[i]->rootIs(stats);
    sas[i] = stats->zefNboAttrLogSa(Ptr<Out const>(conns[i]->out()));
    ASSERT_NE(sas[i], nullptr);
    EXPECT_EQ(sas[i]->nboAttrLogOut(), conns[i]->out());
    conns[i]->flowOutReady();
    taps[i](conns[i]->out());
  }
  ASSERT_EQ(sas[0]->entityId(), sas[1]->entityId()) << "the case in question";
  EXPECT_NE(sas[0], sas[1]);
  stats->crcErrorsIs(crcAfter(4));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(taps[i](conns[i]->out()).size(), 1u);
}

TEST_F(FlowOutTest, EntityIdsAreOddPerLogAndAnnouncedOnceAndABareLogHasNone) {
  auto a = attach(stats);
  auto b = attach(chip);
  EXPECT_EQ(a->entityId() & 1, 1u);
  EXPECT_EQ(b->entityId() & 1, 1u);
  EXPECT_NE(a->entityId(), b->entityId());
  EXPECT_GT(a->entityId(), 1u) << "1 names the orphan announcement";
  EXPECT_EQ(conn->demuxer()->reactor(a->entityId()), a);
  // The log gives an entity its id on demand, attaching it.
  auto gpo = Fru::Gpo::GpoIs("gpo7");
  EXPECT_EQ(out->connectionEidFor(nullptr), 0u);
  Zef::EntityId eid = out->connectionEidFor(gpo.ptr());
  EXPECT_EQ(eid & 1, 1u);
  auto sa = gpo->zefNboAttrLogSa(Ptr<Out const>(out));
  ASSERT_NE(sa, nullptr);
  EXPECT_EQ(sa->entityId(), eid);
  drain(out);
  EXPECT_EQ(drain.announcements.size(), 1u);
  EXPECT_EQ(out->connectionEidFor(gpo.ptr()), eid) << "the same id again";
  drain(out);
  EXPECT_EQ(drain.announcements.size(), 1u) << "announced once";

  // A log without a connection has no ids to give and no adapters to find.
  auto bare = Out::OutIs();
  EXPECT_EQ(bare->connectionEidFor(nullptr), 0u);
  EXPECT_THROW(bare->connectionEidFor(gpo.ptr()), Zef::EntityIdUnavailableException);
  EXPECT_EQ(bare->size(), 0u) << "nothing written";
  EXPECT_EQ(gpo->zefNboAttrLogSa(Ptr<Out const>(bare)), nullptr) << "nothing attached";
  EXPECT_EQ(chip->zefNboAttrLogSaDel(Ptr<Out const>(bare)), nullptr);
  EXPECT_THROW(chip->zefNboAttrLogSaIs(noFlags(), 1, nullptr, nullptr), Zef::RangeException);
}

TEST_F(FlowOutTest, ALogWithExactly48KiBFreeIsNotRoomyAndDefersOnlyTheChangedAttributeAndOneByteMoreIs) {
  auto sa = attach(stats);
  auto other = PhyBcm54980Stats::PhyBcm54980StatsIs("other");
  attach(other);
  out->lowPriorityBacklogIs(out->capacity());  // counters held back by room alone
  fillTo(49152);
  stats->crcErrorsIs(crcAfter(1));
  EXPECT_EQ(out->size(), out->capacity() - 49152) << "nothing written";
  ASSERT_NE(sa->flowOut(), nullptr);
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(0), 1u << (268 - 257));
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(1), 0u);
  EXPECT_EQ(sa->flowOut()->attrId(), 268);
  stats->sgmiiTxErrorsIs(eventCount(1));  // 289: bit 32
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(1), 1u) << "the second word holds bits from 32 on";
  out->bytesConsumed(1);
  ASSERT_EQ(out->freeSpace(), 49153u);
  std::size_t const before = out->size();
  other->crcErrorsIs(crcAfter(1));
  EXPECT_GT(out->size(), before) << "49153 bytes free is roomy";
}

// A pass writes each dirty attribute once, in id order with its value at the
// pass, and status and configuration before counters.
TEST_F(FlowOutTest, AScheduledPassWritesConfigurationFirstThenEachDirtyAttributeOnceInIdOrder) {
  auto sa = attach(stats);
  auto chipSa = attach(chip);
  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo1");
  gpo->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
  out->isConnectedIs(false);  // a log that is not connected is never roomy
  for (unsigned n = 1; n <= 5; ++n) stats->crcErrorsIs(crcAfter(n));  // the counters change first
  ConditionStat link;
  link.currentIs(U1(1));
  stats->linkStateIs(link);
  chip->resetIs(gpo);
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(conn->demuxer()->scheduledCount(), 2u);

  out->isConnectedIs(true);
  EXPECT_FALSE(conn->flowOutReady()) << "nothing left waiting";
  auto records = drain(out);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].header.entityId, chipSa->entityId());
  EXPECT_EQ(records[1].header.attributeId, 259);
  EXPECT_EQ(records[1].payload, wireOf(link));
  EXPECT_EQ(records[2].header.attributeId, 268);
  EXPECT_EQ(records[2].payload, wireOf(crcAfter(5)));
  EXPECT_EQ(sa->flowOut(), nullptr) << "a finished pass is dropped";
}

TEST_F(FlowOutTest, AChangeBehindAPausedPassIsWrittenByAPassOfItsOwn) {
  attach(stats)->doSerializeOrphan();
  drain(out);
  conn->demuxer()->sliceBudgetIs(1);  // a slice stops after one record
  out->lowPriorityBacklogIs(out->capacity());
  out->isConnectedIs(false);
  stats->crcErrorsIs(crcAfter(1));        // 268
  stats->portInterruptsIs(eventCount(1));  // 299
  out->isConnectedIs(true);
  // Room for the first record (18 bytes) and no more: the pass pauses at 269.
  fillTo(49152 + 18);
  conn->demuxer()->runFlowOuts();
  ASSERT_FALSE(out->isRoomy());
  ASSERT_EQ(conn->demuxer()->scheduledCount(), 1u);
  stats->crcErrorsIs(crcAfter(2));  // behind the pass's position
  out->bytesDelAll();  // the reader took everything; a new stream of frames
  conn->demuxer()->sliceBudgetIs(1 << 20);
  EXPECT_FALSE(conn->flowOutReady());
  auto records = drain(out);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].header.attributeId, 299) << "the paused pass goes on";
  EXPECT_EQ(records[1].header.attributeId, 268) << "then a pass of its own for the later change";
  EXPECT_EQ(records[1].payload, wireOf(crcAfter(2)));
}

// The bytes of all but the last of `sizes`, and of all.
std::pair<std::size_t, std::size_t> beforeLastAndAll(std::vector<std::size_t> const& sizes) {
  std::size_t before = 0;
  for (std::size_t k = 0; k + 1 < sizes.size(); ++k) before += sizes[k];
  return {before, sizes.empty() ? 0 : before + sizes.back()};
}

// However its budget falls, a slice ends with the record that spends it:
// in each run of one entity's records that a later run of the same entity
// follows, the records before the last came to less than the budget, and
// the last reached it.
TEST_F(FlowOutTest, ASliceEndsWithTheRecordThatSpendsItsBudget) {
  auto a = PhyBcm54980Stats::PhyBcm54980StatsIs("a");
  auto b = PhyBcm54980Stats::PhyBcm54980StatsIs("b");
  for (auto const& e : {a, b}) attach(e)->doSerializeOrphan();
  runsTaken();
  for (std::size_t budget : {1u, 20u, 37u, 50u, 70u}) {
    SCOPED_TRACE(::testing::Message() << "budget " << budget);
    out->isConnectedIs(false);
    for (auto const& s : {a, b}) sixCountersChange(*s);
    conn->demuxer()->sliceBudgetIs(budget);
    out->isConnectedIs(true);
    conn->demuxer()->runFlowOuts();
    auto const runs = runsTaken();  // a slice each
    std::size_t records = 0;
    for (auto const& r : runs) records += r.second.size();
    EXPECT_EQ(records, 12u) << "every change once";
    EXPECT_GT(runs.size(), 2u) << "the slices took turns";
    for (std::size_t i = 0; i < runs.size(); ++i) {
      bool const resumed = std::any_of(runs.begin() + i + 1, runs.end(), [&](auto const& r) { return r.first == runs[i].first; });
      if (!resumed) continue;  // its entity's last slice ran out of records
      auto const [before, all] = beforeLastAndAll(runs[i].second);
      EXPECT_LT(before, budget) << "slice " << i << " went on after its budget was spent";
      EXPECT_GE(all, budget) << "slice " << i << " stopped before its budget was spent";
    }
  }
}

// A pass of counters ends with the record that brings what waits to the
// backlog, and goes on once that is drained.
TEST_F(FlowOutTest, APassOfCountersEndsWithTheRecordThatReachesTheBacklog) {
  auto s = PhyBcm54980Stats::PhyBcm54980StatsIs("s");
  attach(s)->doSerializeOrphan();
  runsTaken();
  out->holdsLowPriorityIs(true);
  for (std::size_t backlog : {1u, 30u, 45u, 64u}) {
    SCOPED_TRACE(::testing::Message() << "backlog " << backlog);
    out->lowPriorityBacklogIs(backlog);
    out->isConnectedIs(false);
    sixCountersChange(*s);
    out->isConnectedIs(true);
    conn->demuxer()->runFlowOuts();
    auto runs = runsTaken();
    ASSERT_EQ(runs.size(), 1u);
    std::vector<std::size_t> const& sizes = runs[0].second;
    ASSERT_LT(sizes.size(), 6u) << "the pass paused at the backlog";
    auto const [before, all] = beforeLastAndAll(sizes);
    EXPECT_LT(before, backlog) << "written on after the backlog was reached";
    EXPECT_GE(all, backlog) << "paused before the backlog was reached";
    std::size_t total = sizes.size();
    for (int turn = 0; turn < 8 && conn->demuxer()->scheduledCount() > 0; ++turn) {
      conn->demuxer()->runFlowOuts();
      for (auto const& r : runsTaken()) total += r.second.size();
    }
    EXPECT_EQ(total, 6u) << "every counter once, in the end";
  }
}

TEST_F(FlowOutTest, APassOfCountersStopsAtTheBacklogAndGoesOnOnceItIsDrained) {
  out->lowPriorityBacklogIs(64);  // three or four records
  out->holdsLowPriorityIs(true);
  auto many = manyStats(8);
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
  auto many = manyStats(200);
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

// Roots given together are attached a few at a time as the log takes them.
TEST(FirstSynchronisation, RootsGivenTogetherGoOutAsTheyAreAttachedAndAreSyncedOnceAllHaveArrived) {
  Zef::NboAttrLog::MemoryPair pair;
  pair.a()->demuxer()->writeChunkIs(4096);
  auto many = manyStats(300);
  for (unsigned i = 0; i < many.size(); ++i) many[i]->crcErrorsIs(crcAfter(i + 1));
  Ptr<Out> const& out = pair.a()->out();
  std::vector<unsigned char> filler(out->freeSpace() - 16);  // no room: nothing attached, nothing over
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
  many.back()->crcErrorsIs(crcAfter(7));  // changed before it is attached: goes out as it then stands

  pair.pump();
  ASSERT_TRUE(pair.b()->isSynced());
  ASSERT_EQ(pair.b()->mounted().size(), many.size());
  for (auto const& s : many) {
    auto got = mountedAs<PhyBcm54980Stats>(pair.b(), s->name());
    ASSERT_TRUE(got) << s->name();
    EXPECT_EQ(got->crcErrors(), s->crcErrors()) << s->name();
  }
  EXPECT_EQ(pair.b()->framesRefused(), 0u);
}

TEST(FirstSynchronisation, RootsStillWaitingWhenTheConnectionClosesAreNeverAttached) {
  Zef::NboAttrLog::MemoryPair pair;
  pair.a()->demuxer()->writeChunkIs(4096);
  auto many = manyStats(100);
  pair.a()->rootsAre({many.begin(), many.end()});
  pair.a()->flowOutReady();
  pair.a()->closedIs("gone");
  EXPECT_FALSE(pair.a()->flowOutReady());
  EXPECT_FALSE(many.back()->zefNboAttrLogSa(pair.a()->out()));
  EXPECT_EQ(many.back()->references(), 1u) << "the closed connection still holds it";
}

// Counters wait once a few KiB are waiting to be drained, so that a change
// that matters more is never queued behind a burst of them.
TEST_F(FlowOutTest, ABurstAgainstAStalledReaderCostsOneRecordPerStatisticAndNoMemoryAndConfigurationGoesOn) {
  Ptr<Connection> small = Connection::ConnectionIs(64 * 1024);
  small->out()->holdsLowPriorityIs(true);  // as once the first synchronisation is done
  Tap drainSmall;
  std::vector<Ptr<PhyBcm54980Stats>> ports = manyStats(48);
  std::set<Zef::EntityId> portIds;
  for (auto& s : ports) portIds.insert(s->zefNboAttrLogSaIs(noFlags(), 1, small->out(), nullptr)->entityId());
  std::size_t memory = 0;
  for (unsigned round = 1; round <= 500; ++round) {
    for (auto& s : ports) s->crcErrorsIs(crcAfter(round));
    // By now every change is a dirty bit in a flow-out each port already has.
    if (round == 100) memory = Zef::ZefMemPool::bytesInUse();
  }
  EXPECT_FALSE(small->out()->isRoomyForLowPriority());
  EXPECT_EQ(Zef::ZefMemPool::bytesInUse(), memory) << "a stalled reader costs no memory per change";
  chip->zefNboAttrLogSaIs(noFlags(), 1, small->out(), nullptr);
  std::size_t const before = small->out()->size();
  chip->resetIs(Fru::Gpo::GpoIs("gpo1"));
  EXPECT_GT(small->out()->size(), before) << "configuration does not wait behind counters";
  // The reader catches up: the pass after the stall sends each statistic
  // once, with its newest value.
  drainSmall(small->out());
  std::map<Zef::EntityId, std::vector<std::vector<unsigned char>>> after;
  while (small->flowOutReady() || small->out()->size()) {
    for (auto const& r : drainSmall(small->out())) {
      if (portIds.count(r.header.entityId)) after[r.header.entityId].push_back(r.payload);
    }
  }
  ASSERT_EQ(after.size(), 48u);
  for (auto const& [eid, values] : after) EXPECT_EQ(values, decltype(values){wireOf(crcAfter(500))}) << "entity " << eid;
}

TEST_F(FlowOutTest, AFlowOutMarksAndAPassWritesEveryAttributeFromItsStartOn) {
  auto sa = attach(chip);
  auto word = [&](Zef::AttributeId start) {
    auto fo = sa->flowOutIs(out, anyDesc(), false, start);
    return static_cast<PhyBcm54980ChipConfig::ZefNboAttrLogSa::FlowOut*>(fo.ptr())->zefDirtyBitSet0().word(0);
  };
  EXPECT_EQ(word(258), 0b110u) << "reset and interrupt, not isNondestructing";
  EXPECT_EQ(word(0), 0b111u);
  EXPECT_FALSE(sa->flowOutIs(out, anyDesc(), false, 0x7FFFFFFF)->hasDirtyAttributes());
  // A pass from an attribute touches only what follows.
  chip->resetIs(Fru::Gpo::GpoIs("gpo1"));
  chip->interruptIs(Fru::IntCtrl::IntCtrlIs("irq1"));
  drain(out);
  conn->demuxer()->createFlowOut(sa, anyDesc(), false, 0);
  Zef::StreamAdapter& base = *sa;
  EXPECT_EQ(base.handleAttrFlowOut(7), 0) << "not an attribute of the chip";
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(base.handleAttrFlowOut(259), 0);
  auto records = drain(out);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].header.attributeId, 259);
}

// The guards: when a change writes nothing and marks nothing.

TEST_F(FlowOutTest, AResynchronizingOrReadOnlyAdapterWritesAndMarksNothing) {
  for (bool readOnly : {false, true}) {
    SCOPED_TRACE(readOnly ? "read-only" : "resynchronizing");
    auto s = PhyBcm54980Stats::PhyBcm54980StatsIs(readOnly ? "ro" : "resync");
    auto sa = attach(s);
    if (readOnly) sa->zef_bitSet.isReadOnlyIs(true);
    else sa->zef_bitSet.isResynchronizingIs(true);
    out->isConnectedIs(false);
    s->crcErrorsIs(crcAfter(1));
    out->isConnectedIs(true);
    s->crcErrorsIs(crcAfter(2));  // a read-only reactor's failure is contained
    EXPECT_EQ(s->crcErrors(), crcAfter(2));
    EXPECT_EQ(out->size(), 0u);
    EXPECT_EQ(sa->flowOut(), nullptr);
  }
}

// Attach, lookup and detach.

TEST_F(FlowOutTest, AnAdapterIsOnePerLogHoldsItsEntityUntilDetachedAndOnceDetachedDropsChanges) {
  EXPECT_EQ(chip->zefNboAttrLogSa(Ptr<Out const>(out)), nullptr);
  Zef::EntityId eid = 0;
  {
    auto first = chip->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
    EXPECT_EQ(chip->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr), first);
    auto flags = noFlags();
    flags.isReadOnlyIs(true);
    EXPECT_EQ(chip->zefNboAttrLogSaIs(flags, 1, out, nullptr), first);
    EXPECT_TRUE(first->notificationFlags().isReadOnly()) << "the newest flags";
    EXPECT_EQ(conn->demuxer()->reactorCount(), 1u);
    eid = first->entityId();
  }
  Zef::PtrInterface* raw = chip.ptr();
  chip = nullptr;
  auto held = conn->demuxer()->reactor(eid);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->zefNotifierEntity().ptr(), raw);
  held = nullptr;

  auto sa = attach(stats);
  EXPECT_EQ(stats->zefNboAttrLogSaDel(Ptr<Out const>(out)), sa);
  EXPECT_EQ(conn->demuxer()->reactorCount(), 1u);
  stats->crcErrorsIs(crcAfter(1));
  EXPECT_EQ(out->size(), 0u) << "a detached adapter that is still held writes nothing";
  sa = nullptr;
  EXPECT_EQ(stats->zefNboAttrLogSa(Ptr<Out const>(out)), nullptr) << "its last holder released it";
  conn->closedIs("test over");
  EXPECT_EQ(conn->demuxer()->reactorCount(), 0u);
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

}  // namespace
