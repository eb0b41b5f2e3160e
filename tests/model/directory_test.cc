// Directories: find-or-create with the constructor-parameter check, removal,
// iteration and the per-key calls to their reactors.
#include <gtest/gtest.h>

#include "model/phy_bcm54980_dirs.h"
#include "model/reactors.h"

namespace {

using namespace Hardware::Phy;
using phytest::attach;
using phytest::Journal;
using phytest::lines;
using Zef::Ptr;

template <class Dir, class Base>
class KeyReactor : public Base {
 public:
  KeyReactor(std::string tag, Journal* j) : tag_(std::move(tag)), j_(j) {}
  void onNotificationException(Zef::AttributeId id) override { j_->add(tag_ + ":exception " + std::to_string(id)); }

 protected:
  void record(char const* what, Zef::Name const& key) {
    j_->add(tag_ + ":" + what + " " + key.str());
    if (fail) throw std::runtime_error("reactor failed");
  }

 public:
  bool fail = false;

 private:
  std::string tag_;
  Journal* j_;
};

class ConfigDirReactor : public KeyReactor<PhyBcm54980ConfigDir, PhyBcm54980ConfigDir::Notifiee> {
 public:
  using KeyReactor::KeyReactor;
  void onPhyConfig(Zef::Name key) override { record("phyConfig", key); }
  void onWexaDesc(Zef::Name key) override { record("wexaDesc", key); }
};

class ChipDirReactor : public KeyReactor<PhyBcm54980ChipConfigDir, PhyBcm54980ChipConfigDir::Notifiee> {
 public:
  using KeyReactor::KeyReactor;
  void onPhyChipConfig(Zef::Name key) override { record("phyChipConfig", key); }
};

class StatusDirReactor : public KeyReactor<PhyBcm54980StatusDir, PhyBcm54980StatusDir::Notifiee> {
 public:
  using KeyReactor::KeyReactor;
  void onPhyStatus(Zef::Name key) override { record("phyStatus", key); }
};

class DirectoryTest : public ::testing::Test {
 protected:
  Ptr<Hardware::Mdio::Device> device = Hardware::Mdio::Device::DeviceIs("mdio0");
  Ptr<PhyBcm54980ConfigDir> configs = PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("config");
  Ptr<MdioWexa::WexaDesc> wexa = configs->wexaDescIs(
      "d1", device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{3}, Hardware::Mdio::PortAddr{1},
      MdioClient::clause22, Hardware::XoltAgentId{0});
  Journal journal;
};

TEST_F(DirectoryTest, FindOrCreateCreatesOnceAndTellsReactorsOnce) {
  auto chips = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  auto r = attach(new ChipDirReactor("r", &journal), chips);
  Ptr<PhyBcm54980ChipConfig> chip = chips->phyChipConfigIs("chip0");
  EXPECT_EQ(chips->phyChipConfigIs("chip0").ptr(), chip.ptr());
  EXPECT_EQ(chips->phyChipConfig("chip0").ptr(), chip.ptr());
  EXPECT_EQ(chip->parent().ptr(), chips.ptr());
  EXPECT_EQ(chip->parentAttrId(), 258);
  EXPECT_EQ(chip->fullName(), "chips/chip0");
  EXPECT_EQ(chips->phyChipConfigCount(), 1u);
  EXPECT_EQ(journal.lines, lines({"r:phyChipConfig chip0"}));
  EXPECT_FALSE(chips->phyChipConfig("absent"));
}

TEST_F(DirectoryTest, ReCreationWithOtherParametersIsRefusedWordForWord) {
  Ptr<PhyBcm54980Config> c = configs->phyConfigIs("port1", wexa, "api", "1.0");
  EXPECT_EQ(configs->phyConfigIs("port1", wexa, "api", "1.0").ptr(), c.ptr());
  try {
    configs->phyConfigIs("port1", wexa, "other", "1.0");
    FAIL();
  } catch (Zef::NameInUseException const& e) {
    EXPECT_STREQ(e.what(),
                 "Reinstantiating the entity with name 'port1' where constructor parameter attribute _api has a "
                 "different value of 'other' than the current value of 'api' not allowed");
  }
  try {
    configs->phyConfigIs("port1", wexa, "api", "2.0");
    FAIL();
  } catch (Zef::NameInUseException const& e) {
    EXPECT_NE(std::string(e.what()).find("_minBlobVersion has a different value of '2.0' than the current value "
                                         "of '1.0'"),
              std::string::npos);
  }
  auto other = configs->wexaDescIs("d2", device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{3},
                                   Hardware::Mdio::PortAddr{2}, MdioClient::clause22, Hardware::XoltAgentId{0});
  try {
    configs->phyConfigIs("port1", other, "api", "1.0");
    FAIL();
  } catch (Zef::NameInUseException const& e) {
    EXPECT_STREQ(e.what(),
                 "Reinstantiating the entity with name 'port1' where constructor parameter attribute _wexaDesc has a "
                 "different value of Entity('config/d2') than the current value of Entity('config/d1') not allowed");
  }
  EXPECT_EQ(c->api(), "api");
  EXPECT_EQ(configs->phyConfigCount(), 1u);
}

// The message of the name-in-use refusal that `f` meets; empty when none.
template <class F>
std::string refusal(F f) {
  try {
    f();
  } catch (Zef::NameInUseException const& e) {
    return e.what();
  }
  return "";
}

TEST_F(DirectoryTest, ReCreationMessageWritesNamesAndStringsInTheirTextForm) {
  // Quotes, backslashes and control characters are escaped as the text
  // parser reads them back, in the key, the strings and an entity's name.
  configs->phyConfigIs("it's", wexa, "a\\b", "1.0");
  EXPECT_EQ(refusal([&] { configs->phyConfigIs("it's", wexa, "x\ny", "1.0"); }),
            "Reinstantiating the entity with name 'it\\'s' where constructor parameter attribute _api has a "
            "different value of 'x\\ny' than the current value of 'a\\\\b' not allowed");
  auto quoted = configs->wexaDescIs("d'2", device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{3},
                                    Hardware::Mdio::PortAddr{2}, MdioClient::clause22, Hardware::XoltAgentId{0});
  EXPECT_EQ(refusal([&] { configs->phyConfigIs("it's", quoted, "a\\b", "1.0"); }),
            "Reinstantiating the entity with name 'it\\'s' where constructor parameter attribute _wexaDesc has a "
            "different value of Entity('config/d\\'2') than the current value of Entity('config/d1') not allowed");
}

TEST_F(DirectoryTest, DescriptorReCreationWritesItsAddressButNotItsDevice) {
  auto r = attach(new ConfigDirReactor("r", &journal), configs);
  auto same = configs->wexaDescIs("d1", device, Hardware::XoltAccelId{4}, Hardware::Mdio::BusId{9},
                                  Hardware::Mdio::PortAddr{1}, MdioClient::clause45, Hardware::XoltAgentId{5});
  EXPECT_EQ(same.ptr(), wexa.ptr());
  EXPECT_EQ(wexa->busId(), Hardware::Mdio::BusId{9});
  EXPECT_EQ(wexa->clause(), MdioClient::clause45);
  EXPECT_EQ(wexa->mdioAgentId(), Hardware::XoltAgentId{5});
  EXPECT_TRUE(journal.lines.empty());
  auto otherDevice = Hardware::Mdio::Device::DeviceIs("mdio1");
  EXPECT_THROW(configs->wexaDescIs("d1", otherDevice, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{1},
                                   Hardware::Mdio::PortAddr{1}, MdioClient::clause22, Hardware::XoltAgentId{0}),
               Zef::NameInUseException);
  EXPECT_EQ(wexa->busId(), Hardware::Mdio::BusId{9});
}

TEST_F(DirectoryTest, StatusReCreationChecksTheClauseFirst) {
  auto statuses = PhyBcm54980StatusDir::PhyBcm54980StatusDirIs("status");
  auto config = configs->phyConfigIs("port1", wexa, "api", "1.0");
  auto intf = Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("et1");
  auto s = statuses->phyStatusIs("port1", mdioClause22, config, intf);
  try {
    statuses->phyStatusIs("port1", mdioClause45, config, intf);
    FAIL();
  } catch (Zef::NameInUseException const& e) {
    EXPECT_NE(std::string(e.what()).find("_mdioClause has a different value of"), std::string::npos);
  }
  EXPECT_EQ(s->mdioClause(), mdioClause22);
}

TEST_F(DirectoryTest, RemovalUnparentsAndTellsOnceAndAbsentKeysTellNobody) {
  auto r = attach(new ConfigDirReactor("r", &journal), configs);
  Ptr<PhyBcm54980Config> c = configs->phyConfigIs("port1", wexa, "api", "1.0");
  EXPECT_FALSE(configs->phyConfigDel("absent"));
  Ptr<PhyBcm54980Config> removed = configs->phyConfigDel("port1");
  EXPECT_EQ(removed.ptr(), c.ptr());
  EXPECT_FALSE(c->parent());
  EXPECT_FALSE(configs->phyConfig("port1"));
  EXPECT_EQ(journal.lines, lines({"r:phyConfig port1", "r:phyConfig port1"}));
  EXPECT_EQ(c->references(), 2u);  // this test's two handles
}

TEST_F(DirectoryTest, DeleteAllTellsOncePerKey) {
  for (char const* n : {"a", "b", "c"}) configs->phyConfigIs(n, wexa, "api", "1.0");
  auto r = attach(new ConfigDirReactor("r", &journal), configs);
  configs->phyConfigDelAll();
  EXPECT_EQ(journal.lines.size(), 3u);
  EXPECT_EQ(configs->phyConfigCount(), 0u);
  std::sort(journal.lines.begin(), journal.lines.end());
  EXPECT_EQ(journal.lines, lines({"r:phyConfig a", "r:phyConfig b", "r:phyConfig c"}));
}

TEST_F(DirectoryTest, AFailingReactorIsToldAndTheNextStillHearsTheKey) {
  auto statuses = PhyBcm54980StatusDir::PhyBcm54980StatusDirIs("status");
  auto first = attach(new StatusDirReactor("first", &journal), statuses);
  auto second = attach(new StatusDirReactor("second", &journal), statuses);
  first->fail = true;
  auto config = configs->phyConfigIs("port1", wexa, "api", "1.0");
  statuses->phyStatusIs("port1", mdioClause22, config, Interface::EthPhyIntfStatus::EthPhyIntfStatusIs("e"));
  EXPECT_EQ(journal.lines, lines({"first:phyStatus port1", "first:exception 258", "second:phyStatus port1"}));
}

TEST_F(DirectoryTest, IteratorDeletionTellsReactorsLikeDel) {
  for (char const* n : {"a", "b", "c", "d"}) configs->phyConfigIs(n, wexa, "api", "1.0");
  auto r = attach(new ConfigDirReactor("r", &journal), configs);
  int seen = 0;
  for (auto it = configs->phyConfigIterator(); it.ptr(); ++it) {
    ++seen;
    it.deletePtr();
  }
  EXPECT_EQ(seen, 4);
  EXPECT_EQ(journal.lines.size(), 4u);
  EXPECT_EQ(configs->phyConfigCount(), 0u);
}

TEST_F(DirectoryTest, ConstIteratorFromAnAbsentKeyStartsAtTheNextMember) {
  std::vector<std::string> order;
  for (char const* n : {"p1", "p2", "p3", "p4", "p5"}) configs->phyConfigIs(n, wexa, "api", "1.0");
  for (auto it = configs->phyConfigIterator(); it.ptr(); ++it) order.push_back(it.ptr()->name().str());
  ASSERT_EQ(order.size(), 5u);
  // Starting at a present key starts there; the member after it follows.
  auto at = configs->phyConfigIteratorConst(Zef::Name(order[2]));
  EXPECT_EQ(at.ptr()->name(), order[2]);
  at.advance();
  EXPECT_EQ(at.ptr()->name(), order[3]);
  // Remove the third and start from its key: the fourth comes.
  configs->phyConfigDel(Zef::Name(order[2]));
  auto after = configs->phyConfigIteratorConst(Zef::Name(order[2]));
  EXPECT_EQ(after.ptr()->name(), order[3]);
}

TEST_F(DirectoryTest, DestructionTellsReactorsStillRegisteredOfEveryMember) {
  Ptr<PhyBcm54980ChipConfigDir> chips = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  Ptr<PhyBcm54980ChipConfig> chip = chips->phyChipConfigIs("chip0");
  Ptr<ChipDirReactor> weak(new ChipDirReactor("w", &journal), Zef::adoptRef);
  weak->isWeakReferenceIs(true);
  weak->isRegisteredNotifieeIs(true);
  weak->notifierIs(chips);
  chips = nullptr;
  EXPECT_EQ(journal.lines, lines({"w:phyChipConfig chip0"}));
  EXPECT_FALSE(chip->parent());
  EXPECT_FALSE(weak->notifier());
}

TEST_F(DirectoryTest, AMemberGivenAnotherParentGoesWithThatParent) {
  Ptr<PhyBcm54980ChipConfigDir> chips = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  Ptr<PhyBcm54980ChipConfig> chip = chips->phyChipConfigIs("chip0");
  EXPECT_TRUE(chip->zefHeldByParent());
  Ptr<PhyBcm54980ChipConfigDir> other = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("other");
  chip->parentIs(other);
  other = nullptr;  // a parent that goes detaches the children it has
  EXPECT_FALSE(chip->parent());
  chips = nullptr;
  EXPECT_FALSE(chip->parent());
}

TEST_F(DirectoryTest, AttributeNamesOfCollections) {
  EXPECT_EQ(configs->attributeString(258), "phyConfig");
  EXPECT_EQ(configs->attributeString(259), "wexaDesc");
  EXPECT_EQ(configs->attributeString(260), "unknown");
}

}  // namespace
