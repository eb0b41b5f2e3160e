// Reactors: objects that listen to one framework object, their notifier, and
// are called synchronously for each change of it.
#pragma once

#include <cstdint>

#include "runtime/object/bit_set.h"
#include "runtime/object/ptr.h"
#include "runtime/object/string8.h"

namespace Zef {

using AttributeId = std::int32_t;
using EntityId = std::uint64_t;
// A time stamp: seconds as an IEEE-754 double.
using Seconds = double;

class ActivityConfig;
class Activity;
class ActivityStateMachine;

// The flag word of every reactor and state adapter.
class Zef_BitSetBase : public BitSet<27, unsigned int> {
 public:
  using BitSet::BitSet;
  constexpr Zef_BitSetBase(BitSet b) : BitSet(b) {}  // NOLINT

#define ZEF_BITSET_FLAG(name_, pos_) \
  static constexpr int name_##Pos = pos_; \
  bool name_() const { return test(pos_); } \
  void name_##Is(bool b) { set(pos_, b); }
  ZEF_BITSET_FLAG(isReadOnly, 2)
  ZEF_BITSET_FLAG(isReadOnlyRemote, 3)
  ZEF_BITSET_FLAG(isActive, 4)
  ZEF_BITSET_FLAG(isMarkedForDeletion, 5)
  ZEF_BITSET_FLAG(isMountRemote, 6)
  ZEF_BITSET_FLAG(isNonSerializing, 8)
  ZEF_BITSET_FLAG(isMountPoint, 10)
  ZEF_BITSET_FLAG(isMonitoring, 11)
  ZEF_BITSET_FLAG(isPrepared, 12)
  ZEF_BITSET_FLAG(isResynchronizing, 13)
  ZEF_BITSET_FLAG(wasNotified, 19)
  ZEF_BITSET_FLAG(allowsImmediateTransmission, 20)
  ZEF_BITSET_FLAG(allowsImmediateReception, 21)
  ZEF_BITSET_FLAG(isHandlingScheduledFlowOut, 22)
  ZEF_BITSET_FLAG(wasDeferredInstantiated, 24)
  ZEF_BITSET_FLAG(wasSerialized, 25)
  ZEF_BITSET_FLAG(enabled, 26)
#undef ZEF_BITSET_FLAG

  static Zef_BitSetBase wasDeferredInstantiated_() { return only(wasDeferredInstantiatedPos); }
  static Zef_BitSetBase enabled_() { return only(enabledPos); }
  static Zef_BitSetBase isHandlingScheduledFlowOut_() { return only(isHandlingScheduledFlowOutPos); }
  static Zef_BitSetBase allowsImmediateReception_() { return only(allowsImmediateReceptionPos); }
  static Zef_BitSetBase allowsImmediateTransmission_() { return only(allowsImmediateTransmissionPos); }

  // Every position but the five that say how a reactor is scheduled rather
  // than what it is: the flags a state adapter is created and compared with.
  static Zef_BitSetBase notificationBitMask() {
    return ~(allowsImmediateTransmission_() | allowsImmediateReception_() |
             isHandlingScheduledFlowOut_() | wasDeferredInstantiated_() | enabled_());
  }
};

class PtrInterface::NotifieeConst : public PtrInterface {
 public:
  using Zef_BitSet = Zef_BitSetBase;

  NotifieeConst() {
    hasNotificationActiveIs(true);
    zef_bitSet.enabledIs(true);
  }

  // Virtual operations after PtrInterface's, in the framework's slot order.
  void hasNotificationActiveIs(bool b) override;
  ~NotifieeConst() override;
  virtual Ptr<NotifieeConst> zefReactor() const;
  virtual void isRegisteredNotifieeIs(bool b) const;
  virtual void zef_bitSetIs(Zef_BitSet b);
  virtual String8 name() const;
  virtual void notifierIs(Ptr<PtrInterface const> const& n);
  virtual void handleNotification(ActivityConfig* config);
  virtual void handleDefault(ActivityConfig* config, AttributeId id, bool b);
  virtual void onAttribute(AttributeId id);
  virtual void onNotification();
  virtual void onCollectionNotification(String8 key);
  virtual void onNotificationException();
  virtual void onNotificationException(AttributeId id);
  virtual void handleNotificationException(AttributeId id);
  virtual void handleNotificationException();
  virtual void onZeroReferences();
  virtual Activity* activityPtr() const;
  virtual Activity* zefFwkActivity();
  virtual Activity const* zefFwkActivity() const;
  virtual ActivityStateMachine* actsm();

  Ptr<PtrInterface const> const& notifier() const { return notifier_; }
  bool isWeakReference() const { return isWeakReference_; }
  // A weak reactor holds no counted reference on its notifier at any moment:
  // setting the flag on an attached reactor gives its reference back.
  void isWeakReferenceIs(bool b);
  bool isRegisteredNotifiee() const { return isRegisteredNotifiee_; }
  // The notifier is being destroyed with this reactor still on its list (a
  // weak reactor): forget it without touching its count. The registration
  // stays, as after a detach, for the next notifier.
  void zefNotifierGone();
  // Called as any framework object goes: weak reactors still attached to it,
  // on its list or off it (unregistered, switched off, zombies), forget it.
  static void zefNotifierDestroyed(PtrInterface const* notifier) noexcept;

  // A state adapter's reactor: it stands at the head of its notifier's list.
  bool zefIsStreamAdapter() const { return isStreamAdapter_; }

  Zef_BitSet zef_bitSetValue() const { return zef_bitSet; }
  Zef_BitSet notificationFlags() const { return zef_bitSet & Zef_BitSet::notificationBitMask(); }
  void notificationFlagsIs(Zef_BitSet v) {
    Zef_BitSet const mask = Zef_BitSet::notificationBitMask();
    zef_bitSet = (zef_bitSet - mask) | (v & mask);
  }

  // The attribute of the deferred notifications: 0 when none, an attribute's
  // id when only that one was deferred, or one of these when several were.
  static constexpr AttributeId kReplayAll = -1;
  // Replay everything, each collection as a whole.
  static constexpr AttributeId kReplayAllWhole = -2;
  AttributeId pendingAttributeId() const { return pendingAttributeId_; }
  void pendingAttributeIdIs(AttributeId id) { pendingAttributeId_ = id; }

  // The gate for deferred delivery, asked by a handler before it acts: true
  // when the runtime takes the notification for later, which it does while
  // the reactor is deferring. A per-key change of a collection passes its
  // collection's count of deferred changes, which the gate adds to.
  bool zefOnAttribute(AttributeId id, unsigned char* pendingCount = nullptr);
  // Deferred delivery: while on, the gate takes every notification; turning
  // it off delivers what was taken through handleNotification.
  bool isDeferring() const { return isDeferring_; }
  void isDeferringIs(bool b);

 protected:
  void notifierFieldIs(Ptr<PtrInterface const> const& n);
  void zefIsStreamAdapterIs(bool b) { isStreamAdapter_ = b; }

 public:
  // The runtime's own registration switch: it only stores the flag.
  void zefIsRegisteredNotifieeFlagIs(bool b) const { isRegisteredNotifiee_ = b; }

  mutable Zef_BitSet zef_bitSet;

 private:
  // Puts this reactor on the runtime's record of weak reactors under
  // `notifier`, or takes it off with null. Called before notifier_ changes.
  void weakRecordIs(PtrInterface const* notifier);

  AttributeId pendingAttributeId_ = 0;
  Ptr<PtrInterface const> notifier_;
  bool isWeakReference_ = false;
  mutable bool isRegisteredNotifiee_ = false;
  // On the weak record under notifier_.
  bool isOnWeakRecord_ = false;
  bool isStreamAdapter_ = false;
  bool isDeferring_ = false;
};

// Zombie marking of a reactor: a zombie stops receiving notifications and
// leaves its notifier's list; a revived one returns to it.
void doZombieReactor(PtrInterface::NotifieeConst& reactor, bool zombie);

}  // namespace Zef
