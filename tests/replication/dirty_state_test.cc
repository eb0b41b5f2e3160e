// What a flow-out remembers: the named dirty bits of each level, a
// directory's per-key dirty maps walked in the map's order, and when a
// directory's flow-out has something left to write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/phy_bcm54980_chip_config.h"
#include "model/phy_bcm54980_config.h"
#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_stats.h"
#include "replication/replication_testing.h"

namespace {

using namespace Hardware::Phy;
using namespace phytest;
using Zef::Ptr;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::FrameKind;
using Zef::NboAttrLog::Out;

Zef::ConnectDesc noDesc() { return Zef::ConnectDesc(Zef::EntityUriPath(""), Zef::EntityUriPath("")); }

template <class E>
Ptr<typename E::ZefNboAttrLogSa> adapterOf(Ptr<E> const& e, Ptr<Out> const& out) {
  auto sa = e->zefNboAttrLogSa(Ptr<Out const>(out));
  return Ptr<typename E::ZefNboAttrLogSa>(dynamic_cast<typename E::ZefNboAttrLogSa*>(sa.ptr()));
}

// A flow-out of `e` that marks nothing by itself.
template <class E>
Ptr<typename E::ZefNboAttrLogSa::FlowOut> emptyFlowOut(Ptr<E> const& e, Ptr<Out> const& out) {
  auto sa = e->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
  auto fo = sa->flowOutIs(out, noDesc(), false, 0x7FFFFFFF);
  return Ptr<typename E::ZefNboAttrLogSa::FlowOut>(static_cast<typename E::ZefNboAttrLogSa::FlowOut*>(fo.ptr()));
}

TEST(DirtyBitSetTest, EachAttributeHasANamedSetterOnItsBit) {
  PhyBcm54980ChipConfig::ZefNboAttrLogSa::FlowOut::ZefDirtyBitSet0 chip;
  chip.zefIsInterruptDirtyIs(true);
  chip.zefIsIsNondestructingDirtyIs(true);
  EXPECT_EQ(chip.word(0), 0b101u);
  chip.zefIsIsNondestructingDirtyIs(false);
  chip.zefIsResetDirtyIs(true);
  EXPECT_EQ(chip.word(0), 0b110u);

  // More than 32 attributes: the second word holds bit 32 on.
  PhyBcm54980Stats::ZefNboAttrLogSa::FlowOut::ZefDirtyBitSet0 stats;
  stats.zefIsSgmiiTxErrorsDirtyIs(true);
  stats.zefIsCrcErrorsDirtyIs(true);
  EXPECT_EQ(stats.word(0), 1u << (268 - 257));
  EXPECT_EQ(stats.word(1), 1u) << "sgmiiTxErrors (289) is bit 32";

  // A derived type's own level counts from its first own attribute.
  PhyBcm54980Config::ZefNboAttrLogSa::FlowOut::ZefDirtyBitSet1 config;
  config.zefIsPhyChipConfigDirtyIs(true);
  config.zefIsJumboDirtyIs(true);
  config.zefIsDiagsEnabledStateDirtyIs(true);
  EXPECT_EQ(config.word(0), 1u | 1u << 11 | 1u << 15);
}

TEST(DirtyBitSetTest, TheFlowOutsSettersChangeItsOwnSet) {
  Ptr<Connection> conn = Connection::ConnectionIs();
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto fo = emptyFlowOut(chip, conn->out());
  EXPECT_FALSE(fo->hasDirtyAttributes());
  fo->zefIsResetDirtyIs(true);
  EXPECT_EQ(fo->zefDirtyBitSet0().word(0), 0b010u);
  EXPECT_TRUE(fo->hasDirtyAttributes());
  fo->zefIsResetDirtyIs(false);
  EXPECT_FALSE(fo->hasDirtyAttributes());

  auto config = PhyBcm54980Config::PhyBcm54980ConfigIs("port1", nullptr, "api", "1");
  auto cfo = emptyFlowOut(config, conn->out());
  cfo->zefIsStrappedDirtyIs(true);
  EXPECT_EQ(cfo->zefDirtyBitSet1().word(0), 1u << 12);
  EXPECT_TRUE(cfo->hasDirtyAttributes());
}

TEST(DirectoryFlowOutTest, ItHasDirtyAttributesUntilEveryCollectionHasSynchronised) {
  Ptr<Connection> conn = Connection::ConnectionIs();
  auto dir = PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("configs");
  auto fo = emptyFlowOut(dir, conn->out());
  EXPECT_TRUE(fo->hasDirtyAttributes()) << "a fresh flow-out has synchronised nothing";
  fo->zefPhyConfigHasSyncedIs(true);
  EXPECT_TRUE(fo->hasDirtyAttributes()) << "wexaDesc has not synchronised";
  fo->zefWexaDescHasSyncedIs(true);
  EXPECT_FALSE(fo->hasDirtyAttributes()) << "both synchronised, nothing dirty";
  fo->zefIsWexaDescDirtyIs("w0", true);
  EXPECT_TRUE(fo->hasDirtyAttributes()) << "a dirty key";
  EXPECT_TRUE(fo->zefIsWexaDescDirtyDel("w0"));
  EXPECT_FALSE(fo->hasDirtyAttributes());
  fo->zefIsIsNondestructingDirtyIs(true);
  EXPECT_TRUE(fo->hasDirtyAttributes()) << "the directory's own attribute";
}

TEST(DirectoryFlowOutTest, ASynchronisedDirectoryIsCleanAndAChangeMakesItDirtyAgain) {
  Ptr<Connection> conn = Connection::ConnectionIs();
  Ptr<Out> const& out = conn->out();
  auto dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  for (auto n : {"a", "b"}) dir->phyChipConfigIs(n);
  dir->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
  auto sa = adapterOf(dir, out);
  // A flow-out that marks no attribute: the pass synchronises the collection.
  conn->demuxer()->createFlowOut(sa, noDesc(), false, 0x7FFFFFFF);
  EXPECT_TRUE(sa->flowOut()->hasDirtyAttributes());
  conn->flowOutReady();
  ASSERT_NE(sa->flowOut(), nullptr) << "a directory keeps what its first synchronisation achieved";
  EXPECT_TRUE(sa->flowOut()->zefDirtyBitSet0().test(1)) << "phyChipConfig has synchronised";
  EXPECT_FALSE(sa->flowOut()->hasDirtyAttributes());
  out->isConnectedIs(false);
  dir->phyChipConfigDel("a");
  EXPECT_TRUE(sa->flowOut()->hasDirtyAttributes()) << "the removal waits";
  out->isConnectedIs(true);
  conn->flowOutReady();
  EXPECT_FALSE(sa->flowOut()->hasDirtyAttributes());
}

// A root's first synchronisation is a full pass: every attribute marked,
// then written. What it wrote is no longer owed.
TEST(DirectoryFlowOutTest, AFullFirstPassLeavesTheDirectoryClean) {
  Ptr<Connection> conn = Connection::ConnectionIs();
  Ptr<Out> const& out = conn->out();
  auto dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  for (auto n : {"a", "b", "c"}) dir->phyChipConfigIs(n);
  dir->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
  auto sa = adapterOf(dir, out);
  conn->demuxer()->createFlowOut(sa, noDesc(), false, 0);
  EXPECT_TRUE(sa->flowOut()->zefDirtyBitSet0().test(0)) << "isNondestructing is marked";
  conn->flowOutReady();
  ASSERT_NE(sa->flowOut(), nullptr);
  EXPECT_FALSE(sa->flowOut()->zefDirtyBitSet0().test(0)) << "isNondestructing went out";
  EXPECT_FALSE(sa->flowOut()->hasDirtyAttributes());
}

TEST(DirtyKeyMapTest, KeysAreSetClearedAndRemovedByName) {
  Ptr<Connection> conn = Connection::ConnectionIs();
  auto dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  auto fo = emptyFlowOut(dir, conn->out());
  fo->zefIsPhyChipConfigDirtyIs("a", true);
  fo->zefIsPhyChipConfigDirtyIs("b", true);
  fo->zefIsPhyChipConfigDirtyIs("b", false);  // the record stays, its flag clears
  auto made = fo->newZefIsPhyChipConfigDirty("c", true);
  EXPECT_EQ(made->key(), "c");
  EXPECT_TRUE(made->dirty());
  EXPECT_THROW(fo->newZefIsPhyChipConfigDirty("c", false), Zef::NameInUseException) << "one record a key";
  int records = 0;
  for (auto it = fo->zefIsPhyChipConfigDirtyIterator(); it; ++it) ++records;
  EXPECT_EQ(records, 3);
  EXPECT_TRUE(fo->zefIsPhyChipConfigDirtyDel("a"));
  EXPECT_FALSE(fo->zefIsPhyChipConfigDirtyDel("b")) << "its flag was clear";
  EXPECT_FALSE(fo->zefIsPhyChipConfigDirtyDel("nonesuch"));
  EXPECT_FALSE(fo->zefIsPhyChipConfigDirtyDel("a")) << "gone already";
  // Removing through the iterator leaves the map empty.
  for (auto it = fo->zefIsPhyChipConfigDirtyIterator(); it;) it.deletePtr(), ++it;
  EXPECT_FALSE(fo->zefIsPhyChipConfigDirtyIterator());
}

TEST(DirtyKeyMapTest, APassSendsTheDirtyKeysInTheMapsOrder) {
  Ptr<Connection> conn = Connection::ConnectionIs();
  Ptr<Out> const& out = conn->out();
  Tap drain;
  auto dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  for (auto n : {"p", "q", "r", "s"}) dir->phyChipConfigIs(n);
  conn->rootIs(dir);
  conn->flowOutReady();
  drain(out);
  auto sa = adapterOf(dir, out);
  // Changes while the log is down wait as dirty keys.
  out->isConnectedIs(false);
  for (auto n : {"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7"}) dir->phyChipConfigIs(n);
  for (auto n : {"p", "r"}) dir->phyChipConfigDel(n);
  ASSERT_NE(sa->flowOut(), nullptr);
  std::vector<std::string> walked;
  for (auto it = sa->flowOut()->zefIsPhyChipConfigDirtyIterator(); it; ++it) {
    EXPECT_TRUE(it->dirty());
    walked.push_back(it->key().str());
  }
  ASSERT_EQ(walked.size(), 10u);
  out->isConnectedIs(true);
  conn->flowOutReady();
  std::vector<std::string> sent;
  for (auto const& r : drain(out)) {
    if (r.kind != FrameKind::attribute || r.header.entityId != sa->entityId()) continue;
    if (r.header.attributeId != 258 && r.header.attributeId != -258) continue;
    sent.emplace_back(r.payload.begin() + 4, r.payload.begin() + 4 + r.payload[3]);
  }
  EXPECT_EQ(sent, walked);
  EXPECT_FALSE(sa->flowOut()->zefIsPhyChipConfigDirtyIterator()) << "every key sent";
}

}  // namespace
