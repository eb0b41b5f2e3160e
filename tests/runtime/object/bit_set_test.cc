// The reactor flag word.
#include <gtest/gtest.h>

#include "runtime/entity/notifiee.h"

namespace {

using Flags = Zef::PtrInterface::NotifieeConst::Zef_BitSet;

TEST(BitSetTest, NamedFlagsSitAtTheirPositions) {
  struct Case {
    bool (Flags::*get)() const;
    void (Flags::*set)(bool);
    int pos;
  };
  Case const cases[] = {
      {&Flags::isReadOnly, &Flags::isReadOnlyIs, 2},
      {&Flags::isReadOnlyRemote, &Flags::isReadOnlyRemoteIs, 3},
      {&Flags::isActive, &Flags::isActiveIs, 4},
      {&Flags::isMarkedForDeletion, &Flags::isMarkedForDeletionIs, 5},
      {&Flags::isMountRemote, &Flags::isMountRemoteIs, 6},
      {&Flags::isNonSerializing, &Flags::isNonSerializingIs, 8},
      {&Flags::isMountPoint, &Flags::isMountPointIs, 10},
      {&Flags::isMonitoring, &Flags::isMonitoringIs, 11},
      {&Flags::isPrepared, &Flags::isPreparedIs, 12},
      {&Flags::isResynchronizing, &Flags::isResynchronizingIs, 13},
      {&Flags::wasNotified, &Flags::wasNotifiedIs, 19},
      {&Flags::allowsImmediateTransmission, &Flags::allowsImmediateTransmissionIs, 20},
      {&Flags::allowsImmediateReception, &Flags::allowsImmediateReceptionIs, 21},
      {&Flags::isHandlingScheduledFlowOut, &Flags::isHandlingScheduledFlowOutIs, 22},
      {&Flags::wasDeferredInstantiated, &Flags::wasDeferredInstantiatedIs, 24},
      {&Flags::wasSerialized, &Flags::wasSerializedIs, 25},
      {&Flags::enabled, &Flags::enabledIs, 26},
  };
  for (Case const& c : cases) {
    Flags f;
    (f.*c.set)(true);
    EXPECT_EQ(f.value(), 1u << c.pos) << c.pos;
    EXPECT_TRUE((f.*c.get)());
    (f.*c.set)(false);
    EXPECT_EQ(f.value(), 0u);
  }
}

TEST(BitSetTest, SingleFlagSets) {
  EXPECT_EQ(Flags::enabled_().value(), 1u << 26);
  EXPECT_EQ(Flags::wasDeferredInstantiated_().value(), 1u << 24);
  EXPECT_EQ(Flags::isHandlingScheduledFlowOut_().value(), 1u << 22);
  EXPECT_EQ(Flags::allowsImmediateReception_().value(), 1u << 21);
  EXPECT_EQ(Flags::allowsImmediateTransmission_().value(), 1u << 20);
}

TEST(BitSetTest, NotificationMaskLeavesOutTheSchedulingFlags) {
  EXPECT_EQ(Flags::notificationBitMask().value(), 0x028FFFFFu);
}

TEST(BitSetTest, NotificationFlagsIsReplacesOnlyTheMaskedPositions) {
  struct R : Zef::PtrInterface::NotifieeConst {};
  Zef::Ptr<R> r(new R(), Zef::adoptRef);
  // Constructed with enabled set.
  r->zef_bitSet.allowsImmediateReceptionIs(true);
  r->zef_bitSet.isActiveIs(true);
  r->notificationFlagsIs(Flags(0x07FFFFFFu));
  EXPECT_EQ(r->zef_bitSet.value(), 0x028FFFFFu | (1u << 21) | (1u << 26));
  r->notificationFlagsIs(Flags(0));
  EXPECT_EQ(r->zef_bitSet.value(), (1u << 21) | (1u << 26));
  EXPECT_EQ(r->notificationFlags().value(), 0u);
  r->zef_bitSet.isMountRemoteIs(true);
  EXPECT_EQ(r->notificationFlags().value(), 1u << 6);
}

TEST(BitSetTest, SetOperations) {
  Flags a(0b1100), b(0b1010);
  EXPECT_EQ((a - b).value(), 0b0100u);
  EXPECT_EQ((~Flags(0)).value(), 0x07FFFFFFu);
  EXPECT_TRUE(a != b);
  EXPECT_TRUE(a == Flags(0b1100));
  // Only 27 positions exist.
  EXPECT_EQ(Flags(0xFFFFFFFFu).value(), 0x07FFFFFFu);
}

TEST(BitSetDeathTest, APositionOutsideTheSetIsRefused) {
  Flags f;
  EXPECT_DEATH(f.test(27), "pos>=0 && pos<bits");
  EXPECT_DEATH(f.set(-1, true), "/usr/include/Zef/BitSet");
}

}  // namespace
