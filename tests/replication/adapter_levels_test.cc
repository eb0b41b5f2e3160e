// An adapter of a derived type is two levels, each with its own rows and dirty
// bits, behind one reactor; a directory's level adds its collections' state
// to the flow-out. What each level owns stays its own.
#include <gtest/gtest.h>

#include <vector>

#include "model/phy_bcm54980_config.h"
#include "model/phy_bcm54980_dirs.h"
#include "replication/replication_testing.h"

namespace {

using namespace Hardware::Phy;
using namespace phytest;
using Zef::Ptr;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::Out;

Zef::ConnectDesc noDesc() { return Zef::ConnectDesc(Zef::EntityUriPath(""), Zef::EntityUriPath("")); }

class AdapterLevelsTest : public ::testing::Test {
 protected:
  Ptr<Connection> conn = Connection::ConnectionIs();
  Ptr<Out> const& out = conn->out();
  Tap drain;

  Ptr<PhyBcm54980Config> config() {
    auto device = Hardware::Mdio::Device::DeviceIs("mdio0");
    auto wexa = MdioWexa::WexaDesc::WexaDescIs("w", device, Hardware::XoltAccelId(1), Hardware::Mdio::BusId(2),
                                               Hardware::Mdio::PortAddr(3), MdioClient::clause22,
                                               Hardware::XoltAgentId(4));
    return PhyBcm54980Config::PhyBcm54980ConfigIs("p1", wexa, "api", "1.0");
  }
  template <class E>
  Ptr<typename E::ZefNboAttrLogSa> attach(Ptr<E> const& e) {
    auto sa = e->zefNboAttrLogSaIs(noFlags(), 1, out, nullptr);
    return Ptr<typename E::ZefNboAttrLogSa>(dynamic_cast<typename E::ZefNboAttrLogSa*>(sa.ptr()));
  }
};

TEST_F(AdapterLevelsTest, ADeferredChangeMarksTheBitOfTheLevelThatHasTheAttribute) {
  auto cfg = config();
  auto sa = attach(cfg);
  drain(out);
  out->isConnectedIs(false);  // never roomy: every change waits
  cfg->modelIs("BCM54980");   // the base type's first attribute
  ASSERT_NE(sa->flowOut(), nullptr);
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(0), 1u << 1) << "model is the base level's bit 1";
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet1().word(0), 0u);
  cfg->jumboIs(false);  // the chip's own
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet0().word(0), 1u << 1);
  EXPECT_EQ(sa->flowOut()->zefDirtyBitSet1().word(0), 1u << 11) << "jumbo (397) is the own level's bit 11";
  EXPECT_TRUE(sa->flowOut()->hasDirtyAttributes());

  out->isConnectedIs(true);
  conn->flowOutReady();
  // The entities its arguments name are announced with theirs.
  std::vector<Zef::AttributeId> written;
  for (auto const& r : drain(out)) {
    if (r.header.entityId == sa->entityId()) written.push_back(r.header.attributeId);
  }
  EXPECT_EQ(written, (std::vector<Zef::AttributeId>{258, 397})) << "one pass over both levels, in id order";
  EXPECT_EQ(sa->flowOut(), nullptr);
}

TEST_F(AdapterLevelsTest, TheReactorOfADerivedTypeStopsPassingChangesOnOnceItsAdapterIsGone) {
  auto cfg = config();
  auto sa = attach(cfg);
  drain(out);
  sa->zefReactor_->zefReactorAdapterIs(nullptr);
  cfg->modelIs("BCM54980");
  cfg->jumboIs(false);
  EXPECT_EQ(out->size(), 0u) << "neither level hears of it";
  sa->zefReactor_->zefReactorAdapterIs(sa);
  cfg->jumboIs(true);
  auto records = drain(out);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].header.attributeId, 397);
}

TEST_F(AdapterLevelsTest, OnlyADirectorysFlowOutHasKeyedStateAndItNamesTheFirstCollectionStillOwed) {
  auto cfg = config();
  auto cfo = attach(cfg)->flowOutIs(out, noDesc(), false, 0x7FFFFFFF);
  EXPECT_FALSE(cfo->hasKeyedState()) << "neither level of the chip's type has a collection";
  EXPECT_EQ(cfo->pendingKeysFrom(), 0);

  auto dir = PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("configs");
  auto sa = attach(dir);
  auto fo = Ptr<PhyBcm54980ConfigDir::ZefNboAttrLogSa::FlowOut>(
      static_cast<PhyBcm54980ConfigDir::ZefNboAttrLogSa::FlowOut*>(sa->flowOutIs(out, noDesc(), false, 0x7FFFFFFF).ptr()));
  EXPECT_TRUE(fo->hasKeyedState());
  EXPECT_EQ(fo->pendingKeysFrom(), 258) << "phyConfig has not synchronised";
  fo->zefPhyConfigHasSyncedIs(true);
  EXPECT_EQ(fo->pendingKeysFrom(), 259) << "wexaDesc has not";
  fo->zefWexaDescHasSyncedIs(true);
  EXPECT_EQ(fo->pendingKeysFrom(), 0);
  fo->zefIsPhyConfigDirtyIs("p1", true);
  EXPECT_EQ(fo->pendingKeysFrom(), 258) << "a dirty key is owed too";
}

}  // namespace
