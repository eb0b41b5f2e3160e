// Counted references and the reference word.
#include <gtest/gtest.h>

#include <functional>

#include "runtime/failure/exception.h"
#include "runtime/object/ptr.h"

namespace {

using Zef::Ptr;

class Object : public Zef::PtrInterface {
 public:
  explicit Object(int* destroyed = nullptr, int* zeroCalls = nullptr)
      : destroyed_(destroyed), zeroCalls_(zeroCalls) {}
  ~Object() override {
    if (destroyed_) ++*destroyed_;
  }
  void zeroReferencesIs(bool) override {
    if (zeroCalls_) ++*zeroCalls_;
    if (onZero) onZero();
  }
  std::function<void()> onZero;

 private:
  int* destroyed_;
  int* zeroCalls_;
};

Ptr<Object> make(int* destroyed = nullptr, int* zeroCalls = nullptr) {
  return Ptr<Object>(new Object(destroyed, zeroCalls), Zef::adoptRef);
}

TEST(PtrTest, CopiesCountAndTheLastReleaseDestroys) {
  int destroyed = 0, zero = 0;
  Ptr<Object> a = make(&destroyed, &zero);
  EXPECT_EQ(a->references(), 1u);
  {
    Ptr<Object> b = a;
    Ptr<Object> c(b);
    EXPECT_EQ(a->references(), 3u);
    Ptr<Object> d(std::move(c));
    EXPECT_EQ(a->references(), 3u);
    EXPECT_FALSE(c);
  }
  EXPECT_EQ(a->references(), 1u);
  a = nullptr;
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(zero, 1);
}

TEST(PtrTest, AssignmentTakesTheNewReferenceBeforeReleasingTheOld) {
  int destroyed = 0;
  Ptr<Object> a = make(&destroyed);
  a = a;  // self-assignment must not destroy
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(a->references(), 1u);
  Ptr<Object> b = make(&destroyed);
  a = b;
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(b->references(), 2u);
  EXPECT_TRUE(a == b);
}

TEST(PtrTest, EqualityIsIdentity) {
  Ptr<Object> a = make(), b = make();
  EXPECT_TRUE(a != b);
  Ptr<Zef::PtrInterface> base = a;
  EXPECT_TRUE(base == a);
  EXPECT_TRUE(Ptr<Object>() == nullptr);
}

TEST(PtrTest, NondestructingObjectsAreNotCounted) {
  int destroyed = 0;
  Ptr<Object> a = make(&destroyed);
  a->isNondestructingIs(true);
  EXPECT_TRUE(a->isNondestructing());
  std::uint32_t word = a->referenceWord();
  EXPECT_EQ(word >> 24, 0x1Fu);
  Object* raw = a.ptr();
  {
    Ptr<Object> more = a;
    EXPECT_EQ(raw->referenceWord(), word);
  }
  a = nullptr;
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(raw->referenceWord(), word);
  raw->isNondestructingIs(false);
  EXPECT_EQ(raw->references(), 1u);  // the count it had is back
  Ptr<Object> owner(raw, Zef::adoptRef);
  owner = nullptr;
  EXPECT_EQ(destroyed, 1);
}

TEST(PtrTest, TheZeroTestIgnoresTheNotificationAndDeletionBits) {
  int destroyed = 0;
  Ptr<Object> a = make(&destroyed);
  a->hasNotificationActiveIs(true);
  a->zefMarkedForDeletionIs(true);
  EXPECT_EQ(a->referenceWord(), 0xA0000001u);
  EXPECT_EQ(a->references(), 1u);
  a = nullptr;
  EXPECT_EQ(destroyed, 1);
}

TEST(PtrTest, AHolderTakenDuringZeroReferencesKeepsTheObject) {
  int destroyed = 0, zero = 0;
  Ptr<Object> rescued;
  Ptr<Object> a = make(&destroyed, &zero);
  Object* raw = a.ptr();
  raw->onZero = [&] { rescued = Ptr<Object>(raw); };
  a = nullptr;
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(zero, 1);
  EXPECT_EQ(rescued->references(), 1u);
  raw->onZero = nullptr;
  rescued = nullptr;
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(zero, 2);
}

TEST(PtrTest, SizedAllocationAccountsForEveryObject) {
  std::size_t before = Zef::ZefMemPool::bytesInUse();
  Ptr<Object> a = make();
  EXPECT_EQ(Zef::ZefMemPool::bytesInUse(), before + sizeof(Object));
  a = nullptr;
  EXPECT_EQ(Zef::ZefMemPool::bytesInUse(), before);
}

TEST(PtrTest, AThrowingConstructorLeavesNoMemoryBehind) {
  struct Throws : Zef::PtrInterface {
    Throws() { throw std::runtime_error("no"); }
  };
  std::size_t before = Zef::ZefMemPool::bytesInUse();
  EXPECT_THROW(Zef::newObject<Throws>(), std::runtime_error);
  EXPECT_EQ(Zef::ZefMemPool::bytesInUse(), before);
}

TEST(PtrTest, ValidPtrRefusesNullWithItsMessage) {
  try {
    Zef::ValidPtr<Object> p{Ptr<Object>()};
    FAIL();
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(), "null ValidPtr");
  }
  Zef::ValidPtr<Object> ok = Zef::newObject<Object>();
  EXPECT_EQ(ok->references(), 1u);

  // Moved in, a reference is taken over; a null one is refused before
  // anything moves.
  struct Derived : Object {};
  Ptr<Derived> d(new Derived, Zef::adoptRef);
  Derived* raw = d.ptr();
  Zef::ValidPtr<Object> moved(std::move(d));
  EXPECT_EQ(moved.ptr(), raw);
  EXPECT_FALSE(d);
  EXPECT_EQ(moved->references(), 1u);
  Ptr<Derived> none;
  EXPECT_THROW(Zef::ValidPtr<Object>{std::move(none)}, Zef::RangeException);
}

TEST(PtrTest, ThrowersCarryTheEnclosingExpectId) {
  try {
    Zef::Expect scope(12);
    Zef::throwNameInUseException("taken");
  } catch (Zef::NameInUseException const& e) {
    EXPECT_EQ(e.message(), "taken");
    EXPECT_EQ(e.ids(), Zef::ExceptionIdSet{12});
  }
  EXPECT_EQ(Zef::Expect::current(), 0);
}

}  // namespace
