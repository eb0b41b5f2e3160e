// The port configuration: a generic PHY configuration extended with the
// chip's own settings, whose changes reach only reactors of the chip's type.
#include <gtest/gtest.h>

#include "model/phy_bcm54980_config.h"
#include "model/reactors.h"

namespace {

using Hardware::Phy::PhyBcm54980Config;
using Hardware::Phy::PhyConfig;
using phytest::attach;
using phytest::Journal;
using phytest::lines;
using Zef::Ptr;

class BaseReactor : public PhyConfig::Notifiee {
 public:
  BaseReactor(std::string tag, Journal* j) : tag_(std::move(tag)), j_(j) {}
  void onDatasheetRegisterBase() override { j_->add(tag_ + ":datasheetRegisterBase"); }
  void onDiagsModeEpoch() override { j_->add(tag_ + ":diagsModeEpoch"); }
  void onNotificationException(Zef::AttributeId id) override { j_->add(tag_ + ":exception " + std::to_string(id)); }

 protected:
  std::string tag_;
  Journal* j_;
};

class BcmReactor : public PhyBcm54980Config::Notifiee {
 public:
  BcmReactor(std::string tag, Journal* j) : tag_(std::move(tag)), j_(j) {}
  void onDatasheetRegisterBase() override { j_->add(tag_ + ":datasheetRegisterBase"); }
  void onJumbo() override {
    j_->add(tag_ + ":jumbo");
    if (failJumbo) throw std::runtime_error("jumbo");
  }
  void onPhyChipConfig() override { j_->add(tag_ + ":phyChipConfig"); }
  void onDiagsLinkMode() override { j_->add(tag_ + ":diagsLinkMode"); }
  void onNotificationException(Zef::AttributeId id) override { j_->add(tag_ + ":exception " + std::to_string(id)); }
  bool failJumbo = false;

 private:
  std::string tag_;
  Journal* j_;
};

class ConfigTest : public ::testing::Test {
 protected:
  Ptr<Hardware::Mdio::Device> device = Hardware::Mdio::Device::DeviceIs("mdio0");
  Ptr<MdioWexa::WexaDesc> wexa = MdioWexa::WexaDesc::WexaDescIs(
      "port1", device, Hardware::XoltAccelId{2}, Hardware::Mdio::BusId{1}, Hardware::Mdio::PortAddr{5},
      MdioClient::clause22, Hardware::XoltAgentId{7});
  Ptr<PhyBcm54980Config> config = PhyBcm54980Config::PhyBcm54980ConfigIs("port1", wexa, "bcm-api", "1.2");
  Journal journal;
};

TEST_F(ConfigTest, NewConfigurationHasTheChipsMixedDefaults) {
  EXPECT_FALSE(config->suppressLinkPulse());
  EXPECT_FALSE(config->serdesModeCounters());
  EXPECT_FALSE(config->txErrorCodes());
  EXPECT_FALSE(config->rxCounters());
  EXPECT_TRUE(config->loopbackRxSuppress());
  EXPECT_TRUE(config->loopbackTxSuppress());
  EXPECT_TRUE(config->forceSgmiiLink());
  EXPECT_TRUE(config->autonegBug6769());
  EXPECT_TRUE(config->linkBug5329());
  EXPECT_FALSE(config->wirespeedDowngrade());
  EXPECT_TRUE(config->jumbo());
  EXPECT_FALSE(config->strapped());
  EXPECT_EQ(config->portInterruptBit(), 0);
  EXPECT_EQ(config->diagsLinkMode(), Interface::EthLinkMode{0});
  EXPECT_EQ(config->diagsEnabledState(), Interface::IntfEnabledState{0});
  EXPECT_FALSE(config->phyChipConfig());
  EXPECT_EQ(config->datasheetRegisterBase(), 16);
}

TEST_F(ConfigTest, ConstructorParametersAreKeptByTheGenericPart) {
  EXPECT_EQ(config->wexaDesc().ptr(), wexa.ptr());
  EXPECT_EQ(config->api(), "bcm-api");
  EXPECT_EQ(config->minBlobVersion(), "1.2");
  EXPECT_EQ(config->name(), "port1");
  EXPECT_EQ(config->parentAttrId(), 136);
  EXPECT_EQ(config->references(), 1u);
  EXPECT_EQ(wexa->references(), 2u);
}

TEST_F(ConfigTest, OwnAttributesReachOnlyReactorsOfTheChipsType) {
  auto base = attach(new BaseReactor("base", &journal), config);
  auto bcm = attach(new BcmReactor("bcm", &journal), config);
  config->jumboIs(true);  // already true: nothing
  EXPECT_TRUE(journal.lines.empty());
  config->jumboIs(false);
  EXPECT_EQ(journal.lines, lines({"bcm:jumbo"}));
  // Base attributes reach both, in attachment order.
  config->datasheetRegisterBaseIs(0);
  EXPECT_EQ(journal.lines, lines({"bcm:jumbo", "base:datasheetRegisterBase", "bcm:datasheetRegisterBase"}));
}

TEST_F(ConfigTest, AFailingChipReactorIsToldWithTheOwnAttributesId) {
  auto base = attach(new BaseReactor("base", &journal), config);
  auto first = attach(new BcmReactor("first", &journal), config);
  auto second = attach(new BcmReactor("second", &journal), config);
  first->failJumbo = true;
  config->jumboIs(false);
  EXPECT_EQ(journal.lines, lines({"first:jumbo", "first:exception 397", "second:jumbo"}));
  EXPECT_FALSE(config->jumbo());
}

TEST_F(ConfigTest, ReferenceAndEnumerationAttributesCompareAsTheirKind) {
  auto bcm = attach(new BcmReactor("bcm", &journal), config);
  auto chip = Hardware::Phy::PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  config->phyChipConfigIs(chip);
  config->phyChipConfigIs(chip);
  config->diagsLinkModeIs(Interface::linkModeForced100Full);
  config->diagsLinkModeIs(Interface::linkModeForced100Full);
  EXPECT_EQ(journal.lines, lines({"bcm:phyChipConfig", "bcm:diagsLinkMode"}));
  EXPECT_EQ(chip->references(), 2u);
}

TEST_F(ConfigTest, BaseMutatorsAreVirtualAndCountersIncrement) {
  auto base = attach(new BaseReactor("base", &journal), config);
  PhyConfig& generic = *config;
  generic.diagsModeEpochInc();
  generic.diagsModeEpochInc();
  EXPECT_EQ(config->diagsModeEpoch(), 2u);
  generic.overrideEthIntfConfigIs(Interface::linkModeAutoneg);
  generic.overrideEthIntfConfigDel();
  EXPECT_EQ(config->overrideEthIntfConfig(), Interface::linkModeUnknown);
  EXPECT_EQ(journal.lines, lines({"base:diagsModeEpoch", "base:diagsModeEpoch"}));
}

TEST_F(ConfigTest, AttributeNamesOnBothSidesOfTheOwnRange) {
  EXPECT_EQ(config->attributeString(386), "phyChipConfig");
  EXPECT_EQ(config->attributeString(397), "jumbo");
  EXPECT_EQ(config->attributeString(401), "diagsEnabledState");
  EXPECT_EQ(config->attributeString(260), "datasheetRegisterBase");  // the generic part's
  EXPECT_EQ(config->attributeString(402), "unknown");
  EXPECT_EQ(config->attributeString(6), "isNondestructing");
}

TEST_F(ConfigTest, TypeObjectDerivesFromTheGenericConfiguration) {
  Zef::ZefType* type = config->fwkType();
  EXPECT_EQ(type->name(), "PhyBcm54980Config");
  EXPECT_EQ(type->base(), PhyConfig::_fwkType());
  EXPECT_EQ(PhyConfig::_fwkType()->base(), Zef::Entity::_fwkType());
  int seen = 0;
  for (auto const& t : PhyConfig::_fwkType()->derivedTypes()) seen += t.ptr() == type;
  EXPECT_EQ(seen, 1);
}

TEST_F(ConfigTest, DescriptorKeepsItsAddressAndItsDevice) {
  EXPECT_EQ(wexa->device().ptr(), device.ptr());
  EXPECT_EQ(wexa->busId(), Hardware::Mdio::BusId{1});
  EXPECT_EQ(wexa->portAddr(), Hardware::Mdio::PortAddr{5});
  EXPECT_EQ(wexa->clause(), MdioClient::clause22);
  EXPECT_EQ(wexa->xoltAccelId(), Hardware::XoltAccelId{2});
  EXPECT_EQ(wexa->mdioAgentId(), Hardware::XoltAgentId{7});
}

TEST(MdioClauseTest, InstanceConvertsNumbersAndRefusesOthers) {
  EXPECT_EQ(Hardware::Phy::MdioClauseInstance(1), Hardware::Phy::mdioClause45);
  EXPECT_EQ(Hardware::Phy::MdioClauseInstance(0), Hardware::Phy::mdioClause22);
  EXPECT_THROW(Hardware::Phy::MdioClauseInstance(2), Zef::RangeException);
}

}  // namespace
