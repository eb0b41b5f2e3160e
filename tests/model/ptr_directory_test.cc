// Reference directories: references to entities that live elsewhere, keyed
// by the entity's name.
#include <gtest/gtest.h>

#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_ptr_dirs.h"
#include "model/reactors.h"

namespace {

using namespace Hardware::Phy;
using phytest::Journal;
using phytest::lines;
using Zef::Ptr;

class RefReactor : public PhyBcm54980ConfigPtrDir::Notifiee {
 public:
  explicit RefReactor(Journal* j) : j_(j) {}
  void onPhyConfig(Zef::Name key) override {
    j_->add("phyConfig " + key.str());
    if (fail) throw std::runtime_error("no");
  }
  void onNotificationException(Zef::AttributeId id) override { j_->add("exception " + std::to_string(id)); }
  bool fail = false;

 private:
  Journal* j_;
};

class PtrDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r = Ptr<RefReactor>(new RefReactor(&journal), Zef::adoptRef);
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(refs);
  }
  Ptr<Hardware::Mdio::Device> device = Hardware::Mdio::Device::DeviceIs("mdio0");
  Ptr<PhyBcm54980ConfigDir> configs = PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("config");
  Ptr<MdioWexa::WexaDesc> wexa = configs->wexaDescIs(
      "d1", device, Hardware::XoltAccelId{0}, Hardware::Mdio::BusId{0}, Hardware::Mdio::PortAddr{1},
      MdioClient::clause22, Hardware::XoltAgentId{0});
  Ptr<PhyBcm54980ConfigPtrDir> refs = PhyBcm54980ConfigPtrDir::PhyBcm54980ConfigPtrDirIs("refs");
  Ptr<RefReactor> r;
  Journal journal;
};

TEST_F(PtrDirectoryTest, TheSameEntityTwiceTellsOnce) {
  auto c = configs->phyConfigIs("port1", wexa, "api", "1");
  refs->phyConfigIs(c);
  refs->phyConfigIs(c);
  EXPECT_EQ(journal.lines, lines({"phyConfig port1"}));
  EXPECT_EQ(refs->phyConfig("port1").ptr(), c.ptr());
  EXPECT_EQ(refs->zefPhyConfig("port1")->phyConfig().ptr(), c.ptr());
  // The reference keeps the entity alive and leaves its parent alone.
  EXPECT_EQ(c->parent().ptr(), configs.ptr());
  EXPECT_EQ(c->references(), 3u);
}

TEST_F(PtrDirectoryTest, AnotherEntityOfTheSameNameReplacesTheReference) {
  auto c1 = configs->phyConfigIs("port1", wexa, "api", "1");
  auto elsewhere = PhyBcm54980ConfigDir::PhyBcm54980ConfigDirIs("other");
  auto c2 = elsewhere->phyConfigIs("port1", wexa, "api", "1");
  refs->phyConfigIs(c1);
  auto record = refs->zefPhyConfig("port1");
  refs->phyConfigIs(c2);
  EXPECT_EQ(refs->phyConfig("port1").ptr(), c2.ptr());
  EXPECT_EQ(refs->zefPhyConfig("port1").ptr(), record.ptr());  // replaced in place
  EXPECT_EQ(refs->phyConfigCount(), 1u);
  EXPECT_EQ(journal.lines, lines({"phyConfig port1", "phyConfig port1"}));
}

TEST_F(PtrDirectoryTest, NullIsRefusedWithTheClosingQuote) {
  try {
    refs->phyConfigIs(nullptr);
    FAIL();
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(),
                 "null _phyConfig parameter to mutator for Hardware::Phy::PhyBcm54980ConfigPtrDir::phyConfig not "
                 "allowed\"");
  }
  auto statuses = PhyBcm54980StatusPtrDir::PhyBcm54980StatusPtrDirIs("srefs");
  try {
    statuses->phyStatusIs(nullptr);
    FAIL();
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(),
                 "null _phyStatus parameter to mutator for Hardware::Phy::PhyBcm54980StatusPtrDir::phyStatus not "
                 "allowed\"");
  }
  EXPECT_TRUE(journal.lines.empty());
}

TEST_F(PtrDirectoryTest, RemovalReturnsTheEntityWithItsOwnParent) {
  auto c = configs->phyConfigIs("port1", wexa, "api", "1");
  refs->phyConfigIs(c);
  EXPECT_FALSE(refs->phyConfigDel("absent"));
  EXPECT_EQ(refs->phyConfigDel("port1").ptr(), c.ptr());
  EXPECT_EQ(c->parent().ptr(), configs.ptr());
  EXPECT_FALSE(refs->phyConfig("port1"));
  EXPECT_FALSE(refs->zefPhyConfig("port1"));
  EXPECT_EQ(journal.lines, lines({"phyConfig port1", "phyConfig port1"}));
}

TEST_F(PtrDirectoryTest, AFailingReactorIsToldWithTheCollectionId) {
  r->fail = true;
  refs->phyConfigIs(configs->phyConfigIs("port1", wexa, "api", "1"));
  EXPECT_EQ(journal.lines, lines({"phyConfig port1", "exception 258"}));
}

TEST_F(PtrDirectoryTest, DeleteAllTellsEachKeyAndDestructionTellsNobody) {
  for (char const* n : {"a", "b"}) refs->phyConfigIs(configs->phyConfigIs(n, wexa, "api", "1"));
  refs->phyConfigDelAll();
  EXPECT_EQ(journal.lines.size(), 4u);
  for (char const* n : {"a", "b"}) refs->phyConfigIs(configs->phyConfig(n));
  journal.lines.clear();
  r->isWeakReferenceIs(true);
  refs = nullptr;
  EXPECT_TRUE(journal.lines.empty());
  EXPECT_EQ(configs->phyConfig("a")->references(), 2u);  // the directory and this look-up: the record is gone
}

}  // namespace
