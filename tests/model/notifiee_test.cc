// Reactors on an entity: attachment, dispatch order, failures, and changes to
// the notifiee list made while a dispatch runs.
#include <gtest/gtest.h>

#include "model/phy_bcm54980_chip_config.h"
#include "model/reactors.h"

namespace {

using Hardware::Phy::PhyBcm54980ChipConfig;
using phytest::AdapterReactor;
using phytest::ChipReactor;
using phytest::Journal;
using phytest::lines;
using phytest::TestStateAdapter;
using Zef::Ptr;

class NotifieeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    chip = nullptr;
    gpo = nullptr;
    EXPECT_EQ(Zef::ZefMemPool::bytesInUse(), bytesAtStart_);
  }

  // Flips reset so that every call notifies.
  void change() { chip->resetIs(chip->reset() ? Ptr<Fru::Gpo>() : gpo); }

  // Type objects live for the whole process; build them before counting.
  std::size_t bytesAtStart_ = (PhyBcm54980ChipConfig::_fwkType(), Fru::Gpo::_fwkType(), Fru::IntCtrl::_fwkType(),
                               Zef::ZefMemPool::bytesInUse());
  Journal journal;
  Ptr<PhyBcm54980ChipConfig> chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  Ptr<Fru::Gpo> gpo = Fru::Gpo::GpoIs("gpo0");
};

TEST_F(NotifieeTest, AFailingReactorIsToldWithTheAttributeIdAndTheOthersStillRun) {
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip);
  auto c = ChipReactor::attached("C", &journal, chip);
  b->onResetHook = [] { throw Zef::RangeException("bad"); };
  b->onInterruptHook = [] { throw 42; };  // not even an exception class

  chip->resetIs(gpo);
  EXPECT_EQ(journal.lines, lines({"A:reset", "B:reset", "B:exception 258", "C:reset"}));
  EXPECT_EQ(chip->reset().ptr(), gpo.ptr());

  journal.lines.clear();
  chip->interruptIs(Fru::IntCtrl::IntCtrlIs("irq"));
  EXPECT_EQ(journal.lines, lines({"A:interrupt", "B:interrupt", "B:exception 259", "C:interrupt"}));
}

TEST_F(NotifieeTest, AFailureOfTheExceptionHandlerLeavesTheMutatorWithTheValueStored) {
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip);
  auto c = ChipReactor::attached("C", &journal, chip);
  b->onResetHook = [] { throw std::runtime_error("bad"); };
  b->throwFromExceptionHandler = true;
  EXPECT_THROW(chip->resetIs(gpo), std::runtime_error);
  EXPECT_EQ(journal.lines, lines({"A:reset", "B:reset", "B:exception 258"}));
  EXPECT_EQ(chip->reset().ptr(), gpo.ptr());
  // The snapshot was released: every reactor is back to its owner's count.
  EXPECT_EQ(a->references(), 1u);
  EXPECT_EQ(c->references(), 1u);
}

TEST_F(NotifieeTest, HandlersRunInsideAnExpectScopeForIdZero) {
  auto a = ChipReactor::attached("A", &journal, chip);
  int seen = -1;
  Zef::Expect outer(7);
  a->onResetHook = [&] { seen = Zef::Expect::current(); };
  change();
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(Zef::Expect::current(), 7);
}

TEST_F(NotifieeTest, StateAdaptersComeFirstThenAttachmentOrder) {
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip);
  Ptr<TestStateAdapter> sa1(new TestStateAdapter(), Zef::adoptRef);
  Ptr<TestStateAdapter> sa2(new TestStateAdapter(), Zef::adoptRef);
  auto s1 = AdapterReactor::attached("S1", &journal, sa1.ptr(), chip);
  auto s2 = AdapterReactor::attached("S2", &journal, sa2.ptr(), chip);
  change();
  // The most recently attached adapter is foremost.
  EXPECT_EQ(journal.lines, lines({"S2:reset", "S1:reset", "A:reset", "B:reset"}));
}

TEST_F(NotifieeTest, RegistrationAndAttachmentWorkInEitherOrder) {
  Ptr<ChipReactor> late(new ChipReactor("L", &journal), Zef::adoptRef);
  late->notifierIs(chip);
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 0u);
  late->isRegisteredNotifieeIs(true);
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 1u);
  late->isRegisteredNotifieeIs(true);  // no second entry
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 1u);
  change();
  late->isRegisteredNotifieeIs(false);
  change();
  EXPECT_EQ(journal.lines, lines({"L:reset"}));
  EXPECT_EQ(late->name(), "chip0");
}

// A reactor class that overrides only the interrupt handler, and one derived
// from it that adds the reset handler: a dispatch passes over nobody who
// overrides, wherever they stand and at whatever depth.
class InterruptOnly : public PhyBcm54980ChipConfig::Notifiee {
 public:
  InterruptOnly(std::string tag, Journal* journal) : tag_(std::move(tag)), journal_(journal) {}
  void onInterrupt() override { journal_->add(tag_ + ":interrupt"); }

 protected:
  std::string tag_;
  Journal* journal_;
};

class AlsoReset : public InterruptOnly {
 public:
  using InterruptOnly::InterruptOnly;
  void onReset() override { journal_->add(tag_ + ":reset"); }
};

TEST_F(NotifieeTest, EachReactorHearsWhatItsClassOverridesWhateverTheOthersOnTheList) {
  Ptr<InterruptOnly> a(new InterruptOnly("A", &journal), Zef::adoptRef);
  a->isRegisteredNotifieeIs(true);
  a->notifierIs(chip);
  change();
  EXPECT_TRUE(journal.lines.empty());
  Ptr<AlsoReset> b(new AlsoReset("B", &journal), Zef::adoptRef);
  b->isRegisteredNotifieeIs(true);
  b->notifierIs(chip);
  change();
  chip->interruptIs(Fru::IntCtrl::IntCtrlIs("irq"));
  EXPECT_EQ(journal.lines, lines({"B:reset", "A:interrupt", "B:interrupt"}));
  EXPECT_EQ(a->references(), 1u);
  EXPECT_EQ(b->references(), 1u);
}

TEST_F(NotifieeTest, AReactorAttachedDuringADispatchSeesOnlyTheNextChange) {
  auto a = ChipReactor::attached("A", &journal, chip);
  Ptr<ChipReactor> c;
  a->onResetHook = [&] {
    if (!c) c = ChipReactor::attached("C", &journal, chip);
  };
  change();
  change();
  EXPECT_EQ(journal.lines, lines({"A:reset", "A:reset", "C:reset"}));
}

TEST_F(NotifieeTest, AReactorDetachedDuringADispatchStillHearsThatChange) {
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip);
  a->onResetHook = [&] { b->notifierIs(nullptr); };
  change();
  change();
  EXPECT_EQ(journal.lines, lines({"A:reset", "B:reset", "A:reset"}));
}

// An applying adapter names its reactor for the attribute it applies; only
// that reactor, and only for that attribute, is passed over.
TEST_F(NotifieeTest, AnAppliedEchoPassesOverItsReactorForItsAttributeAlone) {
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip);
  {
    Zef::AppliedEcho echo(a.ptr(), PhyBcm54980ChipConfig::resetAttrId);
    change();
    chip->interruptIs(Fru::IntCtrl::IntCtrlIs("irq1"));
    {
      Zef::AppliedEcho inner(b.ptr(), PhyBcm54980ChipConfig::interruptAttrId);
      chip->interruptIs(Fru::IntCtrl::IntCtrlIs("irq2"));
      change();
    }
    change();
  }
  change();
  EXPECT_EQ(journal.lines, lines({"B:reset", "A:interrupt", "B:interrupt", "A:interrupt", "A:reset", "B:reset",
                                  "B:reset", "A:reset", "B:reset"}));
}

TEST_F(NotifieeTest, AnAppliedEchoOfTheOnlyReactorTellsNobody) {
  auto a = ChipReactor::attached("A", &journal, chip);
  {
    Zef::AppliedEcho echo(a.ptr(), PhyBcm54980ChipConfig::resetAttrId);
    change();
    EXPECT_TRUE(journal.lines.empty());
    // A reactor attached meanwhile is not the one named.
    auto b = ChipReactor::attached("B", &journal, chip);
    change();
  }
  change();
  EXPECT_EQ(journal.lines, lines({"B:reset", "A:reset"}));
}

TEST_F(NotifieeTest, AReactorReleasedDuringADispatchIsSkippedAndDestroyedByTheSnapshot) {
  bool bDestroyed = false;
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip, &bDestroyed);
  bool destroyedInsideHandler = true;
  a->onResetHook = [&] {
    b = nullptr;
    destroyedInsideHandler = bDestroyed;  // the snapshot still holds it
  };
  change();
  EXPECT_EQ(journal.lines, lines({"A:reset"}));
  EXPECT_FALSE(destroyedInsideHandler);
  EXPECT_TRUE(bDestroyed);
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 1u);
  change();
  EXPECT_EQ(journal.lines, lines({"A:reset", "A:reset"}));
}

TEST_F(NotifieeTest, ASoleReactorReleasedInItsOwnHandlerLivesUntilTheHandlerReturns) {
  bool destroyed = false;
  auto a = ChipReactor::attached("A", &journal, chip, &destroyed);
  bool destroyedInsideHandler = true;
  a->onResetHook = [&] {
    a = nullptr;
    destroyedInsideHandler = destroyed;
  };
  change();
  EXPECT_FALSE(destroyedInsideHandler);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 0u);
  change();
  EXPECT_EQ(journal.lines, lines({"A:reset"}));
}

TEST_F(NotifieeTest, ASoleReactorReleasedInANestedDispatchLivesUntilTheOuterOneReturns) {
  bool destroyed = false;
  auto a = ChipReactor::attached("A", &journal, chip, &destroyed);
  int depth = 0;
  std::vector<bool> destroyedAfterEachCall;
  a->onResetHook = [&] {
    if (depth++ == 0) {
      change();  // a second dispatch to the same reactor, inside the first
    } else {
      a = nullptr;
    }
    destroyedAfterEachCall.push_back(destroyed);
  };
  change();
  EXPECT_EQ(destroyedAfterEachCall, (std::vector<bool>{false, false}));
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(journal.lines, lines({"A:reset", "A:reset"}));
}

TEST_F(NotifieeTest, ASoleReactorTakenBackByAnotherHolderInItsHandlerSurvives) {
  bool destroyed = false;
  auto a = ChipReactor::attached("A", &journal, chip, &destroyed);
  Ptr<ChipReactor> keeper;
  ChipReactor* raw = a.ptr();
  a->onResetHook = [&] {
    a = nullptr;
    keeper = raw;  // a new holder before the handler returns
  };
  change();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(keeper->references(), 1u);
  keeper->onResetHook = nullptr;
  change();
  EXPECT_EQ(journal.lines, lines({"A:reset", "A:reset"}));
  keeper = nullptr;
  EXPECT_TRUE(destroyed);
}

TEST_F(NotifieeTest, AReactorWhoseDestructionReleasesItsEntityIsNotCalledAnyMore) {
  // A weak reactor that keeps its entity through a member of its own: the
  // member goes while the reactor's destructors run, with the reactor still
  // on the list, and the entity's last count goes with it.
  struct Keeper : ChipReactor {
    using ChipReactor::ChipReactor;
    Ptr<PhyBcm54980ChipConfig> kept;
  };
  auto weak = [&](ChipReactor* raw) {
    Ptr<ChipReactor> r(raw, Zef::adoptRef);
    r->isWeakReferenceIs(true);
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(chip);
    return r;
  };
  Ptr<ChipReactor> keeper = weak(new Keeper("K", &journal));
  Ptr<ChipReactor> other = weak(new ChipReactor("O", &journal));
  static_cast<Keeper*>(keeper.ptr())->kept = chip;
  chip = nullptr;
  keeper = nullptr;
  EXPECT_EQ(journal.lines, lines({"O:zeroReferences"}));
  EXPECT_EQ(other->Zef::PtrInterface::NotifieeConst::notifier(), nullptr);
}

TEST_F(NotifieeTest, AnEntityReleasedByAHandlerFinishesItsDispatchWithoutIt) {
  auto weak = [&](char const* tag) {
    Ptr<ChipReactor> r(new ChipReactor(tag, &journal), Zef::adoptRef);
    r->isWeakReferenceIs(true);
    r->isRegisteredNotifieeIs(true);
    r->notifierIs(chip);
    return r;
  };
  Ptr<ChipReactor> a = weak("A");
  Ptr<ChipReactor> b = weak("B");
  a->onResetHook = [&] { chip = nullptr; };
  PhyBcm54980ChipConfig* raw = chip.ptr();
  raw->resetIs(gpo);
  // The entity went inside A's handler; B, on the snapshot, still hears the
  // change it was on the list for.
  EXPECT_EQ(journal.lines, lines({"A:reset", "A:zeroReferences", "B:zeroReferences", "B:reset"}));
  EXPECT_EQ(b->Zef::PtrInterface::NotifieeConst::notifier(), nullptr);
}

TEST_F(NotifieeTest, TheSnapshotKeepsItsFirstEntryEvenIfItIsTheOnlyHolder) {
  // The release test is made when the snapshot moves on, never for the first.
  bool aDestroyed = false;
  auto a = ChipReactor::attached("A", &journal, chip, &aDestroyed);
  auto b = ChipReactor::attached("B", &journal, chip);
  ChipReactor* raw = a.ptr();
  {
    Zef::SnapshotIterator<Zef::ListRaw<PhyBcm54980ChipConfig::NotifieeConst>> snap(chip->zefNotifieeList());
    a = nullptr;
    ASSERT_EQ(snap.ptr(), raw);
    EXPECT_FALSE(aDestroyed);
    ++snap;
    EXPECT_EQ(snap.ptr(), b.ptr());
  }
  EXPECT_TRUE(aDestroyed);
}

TEST_F(NotifieeTest, StrongReactorsCountTheirNotifierAndWeakOnesDoNot) {
  EXPECT_EQ(chip->references(), 1u);
  auto strong = ChipReactor::attached("S", &journal, chip);
  EXPECT_EQ(chip->references(), 2u);
  strong->notifierIs(nullptr);
  EXPECT_EQ(chip->references(), 1u);

  Ptr<ChipReactor> weak(new ChipReactor("W", &journal), Zef::adoptRef);
  weak->isWeakReferenceIs(true);
  weak->isRegisteredNotifieeIs(true);
  weak->notifierIs(chip);
  EXPECT_EQ(chip->references(), 1u);
  change();
  EXPECT_EQ(journal.lines, lines({"W:reset"}));
  weak = nullptr;  // its destruction leaves the count alone too
  EXPECT_EQ(chip->references(), 1u);
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 0u);

  // Becoming weak while attached gives the reference back; strong takes it again.
  strong->notifierIs(chip);
  strong->isWeakReferenceIs(true);
  EXPECT_EQ(chip->references(), 1u);
  strong->isWeakReferenceIs(false);
  EXPECT_EQ(chip->references(), 2u);
}

TEST_F(NotifieeTest, MovingAReactorToAnotherEntityMovesItsRegistration) {
  auto other = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip1");
  auto a = ChipReactor::attached("A", &journal, chip);
  a->notifierIs(other);
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 0u);
  EXPECT_EQ(other->zefNotifieeList().memberCount(), 1u);
  EXPECT_EQ(chip->references(), 1u);
  EXPECT_EQ(other->references(), 2u);
  EXPECT_EQ(a->name(), "chip1");
  change();
  other->resetIs(gpo);
  EXPECT_EQ(journal.lines, lines({"A:reset"}));
}

TEST_F(NotifieeTest, ANotifierOfAnotherTypeDetaches) {
  auto a = ChipReactor::attached("A", &journal, chip);
  a->notifierIs(gpo);
  EXPECT_FALSE(a->notifier());
  EXPECT_EQ(a->name(), "");
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 0u);
  EXPECT_EQ(chip->references(), 1u);
  EXPECT_EQ(gpo->references(), 1u);
}

TEST_F(NotifieeTest, SwitchingNotificationOffAndOnRestoresRegistrationAtTheTail) {
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip);
  EXPECT_TRUE(a->hasNotificationActive());
  a->hasNotificationActiveIs(false);
  EXPECT_FALSE(a->hasNotificationActive());
  EXPECT_FALSE(a->isRegisteredNotifiee());
  EXPECT_TRUE(a->zef_bitSet.wasNotified());
  change();
  a->hasNotificationActiveIs(true);
  EXPECT_TRUE(a->isRegisteredNotifiee());
  change();
  EXPECT_EQ(journal.lines, lines({"B:reset", "B:reset", "A:reset"}));
}

TEST_F(NotifieeTest, SwitchingAnAdapterReactorBackOnPutsItAtTheHead) {
  auto a = ChipReactor::attached("A", &journal, chip);
  Ptr<TestStateAdapter> sa(new TestStateAdapter(), Zef::adoptRef);
  auto s = AdapterReactor::attached("S", &journal, sa.ptr(), chip);
  s->hasNotificationActiveIs(false);
  s->hasNotificationActiveIs(true);
  change();
  EXPECT_EQ(journal.lines, lines({"S:reset", "A:reset"}));
}

TEST_F(NotifieeTest, AnUnregisteredReactorStaysUnregisteredThroughOffAndOn) {
  Ptr<ChipReactor> r(new ChipReactor("R", &journal), Zef::adoptRef);
  r->notifierIs(chip);
  r->hasNotificationActiveIs(false);
  EXPECT_FALSE(r->zef_bitSet.wasNotified());
  r->hasNotificationActiveIs(true);
  EXPECT_FALSE(r->isRegisteredNotifiee());
  change();
  EXPECT_TRUE(journal.lines.empty());
}

TEST_F(NotifieeTest, AZombieReactorLeavesTheListAndARevivedOneReturns) {
  Ptr<TestStateAdapter> sa(new TestStateAdapter(), Zef::adoptRef);
  auto s = AdapterReactor::attached("S", &journal, sa.ptr(), chip);
  auto a = ChipReactor::attached("A", &journal, chip);
  Zef::doZombieReactor(*s, true);
  EXPECT_TRUE(s->zefMarkedForDeletion());
  EXPECT_FALSE(s->hasNotificationActive());
  change();
  Zef::doZombieReactor(*s, true);  // already a zombie: nothing
  Zef::doZombieReactor(*s, false);
  EXPECT_FALSE(s->zefMarkedForDeletion());
  change();
  EXPECT_EQ(journal.lines, lines({"A:reset", "S:reset", "A:reset"}));
}

// Nondestructing and back: the reactor keeps its switch and its zombie mark,
// and both still work afterwards.
TEST_F(NotifieeTest, AReactorSwitchedNondestructingAndBackCanStillBeSwitchedOff) {
  auto a = ChipReactor::attached("A", &journal, chip);
  a->isNondestructingIs(true);
  EXPECT_TRUE(a->hasNotificationActive());
  a->isNondestructingIs(false);
  EXPECT_TRUE(a->hasNotificationActive());
  EXPECT_EQ(a->references(), 1u);
  change();
  a->hasNotificationActiveIs(false);
  EXPECT_FALSE(a->isRegisteredNotifiee());
  change();
  EXPECT_EQ(journal.lines, lines({"A:reset"}));
}

TEST_F(NotifieeTest, SwitchingANondestructingReactorOffAndOnKeepsItNondestructing) {
  auto a = ChipReactor::attached("A", &journal, chip);
  a->isNondestructingIs(true);
  a->hasNotificationActiveIs(false);
  change();
  a->hasNotificationActiveIs(true);
  EXPECT_TRUE(a->isNondestructing());
  change();
  a->isNondestructingIs(false);
  EXPECT_EQ(a->references(), 1u);
  EXPECT_EQ(journal.lines, lines({"A:reset"}));
}

TEST_F(NotifieeTest, AZombieSwitchedNondestructingAndBackStaysAZombieAndCanBeRevived) {
  auto a = ChipReactor::attached("A", &journal, chip);
  Zef::doZombieReactor(*a, true);
  a->isNondestructingIs(true);
  EXPECT_TRUE(a->zefMarkedForDeletion());
  a->isNondestructingIs(false);
  EXPECT_TRUE(a->zefMarkedForDeletion());
  EXPECT_FALSE(a->hasNotificationActive());
  change();
  Zef::doZombieReactor(*a, false);
  EXPECT_FALSE(a->zefMarkedForDeletion());
  change();
  EXPECT_EQ(journal.lines, lines({"A:reset"}));
}

TEST_F(NotifieeTest, AZombieWithoutNotifierIsOnlyMarked) {
  Ptr<ChipReactor> r(new ChipReactor("R", &journal), Zef::adoptRef);
  Zef::doZombieReactor(*r, true);
  EXPECT_TRUE(r->zefMarkedForDeletion());
  EXPECT_TRUE(r->hasNotificationActive());
  Zef::doZombieReactor(*r, false);
}

TEST_F(NotifieeTest, AMarkedReactorIsNotUnlinkedByItsDestructor) {
  // A reactor marked for deletion has already left the list through its
  // zombie switch; its destructor must not touch the list again.
  auto a = ChipReactor::attached("A", &journal, chip);
  auto b = ChipReactor::attached("B", &journal, chip);
  Zef::doZombieReactor(*a, true);
  EXPECT_EQ(chip->zefNotifieeList().memberCount(), 1u);
  std::uint32_t version = chip->zefNotifieeList().version();
  a = nullptr;
  EXPECT_EQ(chip->zefNotifieeList().version(), version);
  EXPECT_EQ(chip->references(), 2u);
}

// The entity holds no count for a weak reactor, so it may go first, whether
// the reactor is on its list or not.
TEST_F(NotifieeTest, WeakReactorsOffTheListForgetAnEntityThatGoesFirst) {
  auto weak = [&](char const* tag) {
    Ptr<ChipReactor> r(new ChipReactor(tag, &journal), Zef::adoptRef);
    r->isWeakReferenceIs(true);
    r->notifierIs(chip);
    return r;
  };
  Ptr<ChipReactor> unregistered = weak("U");
  Ptr<ChipReactor> off = weak("O");
  off->isRegisteredNotifieeIs(true);
  off->hasNotificationActiveIs(false);
  Ptr<TestStateAdapter> sa(new TestStateAdapter(), Zef::adoptRef);
  auto zombie = AdapterReactor::attached("Z", &journal, sa.ptr(), chip);
  zombie->isWeakReferenceIs(true);
  Zef::doZombieReactor(*zombie, true);
  ASSERT_EQ(chip->references(), 1u);
  ASSERT_EQ(chip->zefNotifieeList().memberCount(), 0u);

  chip = nullptr;
  for (ChipReactor* r : std::initializer_list<ChipReactor*>{unregistered.ptr(), off.ptr(), zombie.ptr()}) {
    EXPECT_EQ(r->Zef::PtrInterface::NotifieeConst::notifier(), nullptr);
    EXPECT_EQ(r->name(), "");
  }
  // Switching back on and reviving find no entity to return to.
  off->hasNotificationActiveIs(true);
  Zef::doZombieReactor(*zombie, false);
  EXPECT_TRUE(journal.lines.empty());
}

TEST_F(NotifieeTest, AWeakStateAdapterForgetsAnEntityThatGoesFirst) {
  // An adapter listens on no list of its own; it only holds its entity.
  Ptr<TestStateAdapter> sa(new TestStateAdapter(), Zef::adoptRef);
  sa->notifierIs(chip);  // counted, then given back
  sa->isWeakReferenceIs(true);
  EXPECT_EQ(chip->references(), 1u);
  chip = nullptr;
  EXPECT_EQ(sa->notifier(), nullptr);
  sa->isWeakReferenceIs(false);
  EXPECT_EQ(sa->notifier(), nullptr);
}

TEST_F(NotifieeTest, AReactorTurningWeakMayReleaseItsEntityLast) {
  Ptr<ChipReactor> r(new ChipReactor("R", &journal), Zef::adoptRef);
  r->notifierIs(chip);
  chip = nullptr;  // the reactor's count is the last one
  r->isWeakReferenceIs(true);
  EXPECT_EQ(r->Zef::PtrInterface::NotifieeConst::notifier(), nullptr);
  r->isWeakReferenceIs(false);  // nothing to count again
  EXPECT_EQ(r->Zef::PtrInterface::NotifieeConst::notifier(), nullptr);
}

TEST_F(NotifieeTest, AWeakReactorKeepsItsRegistrationForTheNextEntity) {
  Ptr<ChipReactor> r(new ChipReactor("R", &journal), Zef::adoptRef);
  r->isWeakReferenceIs(true);
  r->isRegisteredNotifieeIs(true);
  r->notifierIs(chip);
  chip = nullptr;
  auto other = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip1");
  r->notifierIs(other);
  EXPECT_EQ(other->zefNotifieeList().memberCount(), 1u);
  other->resetIs(gpo);
  EXPECT_EQ(journal.lines, lines({"R:zeroReferences", "R:reset"}));
  EXPECT_EQ(other->references(), 1u);
}

TEST_F(NotifieeTest, NewReactorsStartActiveEnabledUnattachedAndUnregistered) {
  Ptr<ChipReactor> r(new ChipReactor("R", &journal), Zef::adoptRef);
  EXPECT_EQ(r->referenceWord(), 0x20000001u);
  EXPECT_TRUE(r->zef_bitSet.enabled());
  EXPECT_EQ(r->zef_bitSet.value(), 1u << 26);
  EXPECT_EQ(r->pendingAttributeId(), 0);
  EXPECT_FALSE(r->notifier());
  EXPECT_FALSE(r->isWeakReference());
  EXPECT_FALSE(r->isRegisteredNotifiee());
  EXPECT_EQ(r->listNext, nullptr);
}

}  // namespace
