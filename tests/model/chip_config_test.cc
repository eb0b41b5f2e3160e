// The chip configuration entity: construction, store-if-changed, reference
// counts, attribute names and the two PtrInterface attributes.
#include <gtest/gtest.h>

#include "model/phy_bcm54980_chip_config.h"
#include "model/reactors.h"

namespace {

using Hardware::Phy::PhyBcm54980ChipConfig;
using phytest::ChipReactor;
using phytest::Journal;
using phytest::lines;
using Zef::Ptr;

class ChipConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Type objects live for the whole process; build them before counting.
    PhyBcm54980ChipConfig::_fwkType();
    Fru::Gpo::_fwkType();
    Fru::IntCtrl::_fwkType();
    bytesAtStart_ = Zef::ZefMemPool::bytesInUse();
  }
  // Every framework object a test made is gone when the test ends.
  void TearDown() override { EXPECT_EQ(Zef::ZefMemPool::bytesInUse(), bytesAtStart_); }

  Journal journal;

 private:
  std::size_t bytesAtStart_ = 0;
};

TEST_F(ChipConfigTest, FactoryGivesTheOnlyReferenceToADefaultEntity) {
  Ptr<PhyBcm54980ChipConfig> chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  EXPECT_EQ(chip->references(), 1u);
  EXPECT_EQ(chip->name(), "chip0");
  EXPECT_EQ(chip->fwkKey(), "chip0");
  EXPECT_EQ(chip->fwkValue().ptr(), chip.ptr());
  EXPECT_FALSE(chip->reset());
  EXPECT_FALSE(chip->interrupt());
  EXPECT_FALSE(chip->parent());
  EXPECT_EQ(chip->parentAttrId(), 136);
  EXPECT_FALSE(chip->fwkHmNext);
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 0u);
  EXPECT_FALSE(chip->isNondestructing());
}

TEST_F(ChipConfigTest, MutatorStoresOnlyAChangeAndNotifiesOnlyThen) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo3");
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip);

  chip->resetIs(gpo);
  EXPECT_EQ(journal.lines, lines({"A:reset", "B:reset"}));
  chip->resetIs(gpo);  // the same target: nothing happens
  EXPECT_EQ(journal.lines.size(), 2u);
  chip->resetIs(nullptr);
  EXPECT_EQ(journal.lines, lines({"A:reset", "B:reset", "A:reset", "B:reset"}));
  EXPECT_FALSE(chip->reset());
  chip->interruptIs(nullptr);  // already null
  EXPECT_EQ(journal.lines.size(), 4u);
}

TEST_F(ChipConfigTest, ReferencesCompareByIdentityNotByName) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto first = Fru::IntCtrl::IntCtrlIs("irq");
  auto second = Fru::IntCtrl::IntCtrlIs("irq");
  auto a = ChipReactor::attached("A", &journal, chip);
  chip->interruptIs(first);
  chip->interruptIs(second);
  EXPECT_EQ(journal.lines, lines({"A:interrupt", "A:interrupt"}));
  EXPECT_EQ(chip->interrupt().ptr(), second.ptr());
}

TEST_F(ChipConfigTest, ReferenceAttributesCountTheirTargets) {
  Ptr<PhyBcm54980ChipConfig> chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  Ptr<Fru::Gpo> first = Fru::Gpo::GpoIs("gpo1");
  Ptr<Fru::Gpo> second = Fru::Gpo::GpoIs("gpo2");
  chip->resetIs(first);
  EXPECT_EQ(first->references(), 2u);
  chip->resetIs(second);
  EXPECT_EQ(first->references(), 1u);
  EXPECT_EQ(second->references(), 2u);
  // The entity's destruction releases what it refers to.
  chip = nullptr;
  EXPECT_EQ(second->references(), 1u);
}

TEST_F(ChipConfigTest, AReferenceReplacedByItsOnlyHolderSurvivesTheStore) {
  // Storing takes the new reference before releasing the old one, so a value
  // reachable only through the field stays valid while it is stored again.
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  chip->resetIs(Fru::Gpo::GpoIs("gpo1"));
  Fru::Gpo* raw = chip->reset().ptr();
  chip->resetIs(Ptr<Fru::Gpo>(raw));
  EXPECT_EQ(chip->reset().ptr(), raw);
  EXPECT_EQ(raw->references(), 1u);
}

TEST_F(ChipConfigTest, AttributeStringNamesOwnAttributesAndAsksTheRuntimeForOthers) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  EXPECT_EQ(chip->attributeString(258), "reset");
  EXPECT_EQ(chip->attributeString(259), "interrupt");
  EXPECT_EQ(chip->attributeString(6), "isNondestructing");
  EXPECT_EQ(chip->attributeString(5), "zeroReferences");
  EXPECT_EQ(chip->attributeString(260), "unknown");
  EXPECT_EQ(chip->attributeString(257), "unknown");
  EXPECT_EQ(PhyBcm54980ChipConfig::resetAttrId, 258);
  EXPECT_EQ(PhyBcm54980ChipConfig::interruptAttrId, 259);
}

TEST_F(ChipConfigTest, IsNondestructingNotifiesOnlyAChangeAndStopsCounting) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto a = ChipReactor::attached("A", &journal, chip);
  std::uint32_t before = chip->referenceWord();
  chip->isNondestructingIs(false);
  EXPECT_TRUE(journal.lines.empty());

  chip->isNondestructingIs(true);
  EXPECT_EQ(journal.lines, lines({"A:isNondestructing"}));
  EXPECT_TRUE(chip->isNondestructing());
  std::uint32_t word = chip->referenceWord();
  EXPECT_EQ(word >> 24, 0x1Fu);
  {
    Ptr<PhyBcm54980ChipConfig> more = chip;  // counted references leave the word alone
    EXPECT_EQ(chip->referenceWord(), word);
  }
  EXPECT_EQ(chip->referenceWord(), word);
  chip->isNondestructingIs(true);
  EXPECT_EQ(journal.lines.size(), 1u);

  chip->isNondestructingIs(false);
  EXPECT_EQ(journal.lines, lines({"A:isNondestructing", "A:isNondestructing"}));
  EXPECT_EQ(chip->referenceWord(), before);
}

TEST_F(ChipConfigTest, AMarkedEntityStaysMarkedThroughNondestructingAndBack) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  Ptr<PhyBcm54980ChipConfig> second = chip;
  chip->zefMarkedForDeletionIs(true);
  chip->isNondestructingIs(true);
  EXPECT_TRUE(chip->zefMarkedForDeletion());
  chip->isNondestructingIs(false);
  EXPECT_TRUE(chip->zefMarkedForDeletion());
  EXPECT_FALSE(chip->isNondestructing());
  EXPECT_EQ(chip->references(), 2u);
}

TEST_F(ChipConfigTest, AReactorFailingOnIsNondestructingIsToldWithIdSix) {
  struct Failing : ChipReactor {
    using ChipReactor::ChipReactor;
    void onIsNondestructing() override { throw std::runtime_error("no"); }
  };
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  Ptr<Failing> f(new Failing("F", &journal), Zef::adoptRef);
  f->isRegisteredNotifieeIs(true);
  f->notifierIs(chip);
  chip->isNondestructingIs(true);
  chip->isNondestructingIs(false);
  EXPECT_EQ(journal.lines, lines({"F:exception 6", "F:exception 6"}));
}

TEST_F(ChipConfigTest, ZeroReferencesAlwaysReachesEveryReactor) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip);
  chip->zeroReferencesIs(false);
  chip->zeroReferencesIs(false);
  EXPECT_EQ(journal.lines, lines({"A:zeroReferences", "B:zeroReferences", "A:zeroReferences", "B:zeroReferences"}));
  EXPECT_EQ(chip->references(), 3u);  // it stores nothing
}

TEST_F(ChipConfigTest, TheLastReleaseTellsWeakReactorsThenDestroys) {
  Ptr<PhyBcm54980ChipConfig> chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto weak = ChipReactor::attached("W", &journal, chip);
  weak->isWeakReferenceIs(true);
  // A weak reactor lets go of its notifier when told the count reached zero.
  weak->onZeroReferencesHook = [&] { weak->notifierIs(nullptr); };
  chip = nullptr;
  EXPECT_EQ(journal.lines, lines({"W:zeroReferences"}));
  EXPECT_FALSE(weak->notifier());
}

TEST_F(ChipConfigTest, AReactorKeepingTheEntityDuringZeroReferencesKeepsItAlive) {
  Ptr<PhyBcm54980ChipConfig> chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto weak = ChipReactor::attached("W", &journal, chip);
  weak->isWeakReferenceIs(true);
  Ptr<PhyBcm54980ChipConfig const> rescued;
  weak->onZeroReferencesHook = [&] { rescued = weak->notifier(); };
  PhyBcm54980ChipConfig* raw = chip.ptr();
  chip = nullptr;
  ASSERT_EQ(rescued.ptr(), raw);
  EXPECT_EQ(rescued->references(), 1u);
  weak->onZeroReferencesHook = [&] { weak->notifierIs(nullptr); };
  rescued = nullptr;
  EXPECT_EQ(journal.lines, lines({"W:zeroReferences", "W:zeroReferences"}));
}

TEST_F(ChipConfigTest, AWeakReactorOutlivingItsEntityForgetsIt) {
  Ptr<PhyBcm54980ChipConfig> chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto weak = ChipReactor::attached("W", &journal, chip);
  weak->isWeakReferenceIs(true);
  chip = nullptr;  // the reactor stays registered until the entity goes
  EXPECT_EQ(journal.lines, lines({"W:zeroReferences"}));
  EXPECT_FALSE(weak->notifier());
  // As after a detach, the registration waits for the next notifier.
  EXPECT_TRUE(weak->isRegisteredNotifiee());
}

TEST_F(ChipConfigTest, TypeObjectIsOneObjectPerTypeDerivedFromEntity) {
  auto one = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("one");
  auto two = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("two");
  Zef::ZefType* type = one->fwkType();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type, two->fwkType());
  EXPECT_EQ(type, PhyBcm54980ChipConfig::_fwkType());
  EXPECT_EQ(type->name(), "PhyBcm54980ChipConfig");
  EXPECT_EQ(type->base(), Zef::Entity::_fwkType());
  EXPECT_TRUE(type->isNondestructing());
  int seen = 0;
  for (auto const& t : Zef::Entity::_fwkType()->derivedTypes()) seen += t.ptr() == type;
  EXPECT_EQ(seen, 1);
  EXPECT_NE(Fru::Gpo::_fwkType(), type);
}

TEST_F(ChipConfigTest, ValidPtrRefusesNull) {
  try {
    Zef::ValidPtr<PhyBcm54980ChipConfig> p(static_cast<PhyBcm54980ChipConfig*>(nullptr));
    FAIL() << "null accepted";
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(), "null ValidPtr");
  }
}

TEST_F(ChipConfigTest, FullNameFollowsTheParentChain) {
  auto dir = Fru::Gpo::GpoIs("fru");
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  EXPECT_EQ(chip->fullName(), "chip0");
  chip->parentAttrIdIs(258);
  chip->parentIs(dir);
  EXPECT_EQ(chip->parent().ptr(), dir.ptr());
  EXPECT_EQ(chip->parentAttrId(), 258);
  EXPECT_EQ(chip->fullName(), "fru/chip0");
  chip->parentIs(nullptr);
  EXPECT_EQ(chip->fullName(), "chip0");
}

}  // namespace
