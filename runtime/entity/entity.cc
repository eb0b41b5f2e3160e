// Entities and reactors.
#include "runtime/entity/entity.h"

#include "runtime/entity/dispatch.h"
#include "runtime/entity/list_raw.h"
#include "runtime/entity/flat_table.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace Zef {

// Reactors.

[[gnu::tls_model("initial-exec")]] constinit thread_local AppliedEcho::State AppliedEcho::current_;

namespace {
// Weak reactors hold no count on their notifier, so nothing keeps it alive
// for them; the record lets a notifier that goes first reach every one of
// them, on its list or not. Its last release may come from any thread.
struct WeakRecord {
  std::mutex mutex;
  FlatTable<PtrInterface const*, OneOrMany<PtrInterface::NotifieeConst>> byNotifier;
  // How many notifiers the record holds, read without the lock as every
  // object goes.
  std::atomic<std::size_t> size{0};
};

WeakRecord& weakRecord() {
  static auto* r = new WeakRecord();  // outlives every object
  return *r;
}
}  // namespace

void PtrInterface::NotifieeConst::weakRecordIs(PtrInterface const* notifier) {
  PtrInterface const* const current = isOnWeakRecord_ ? notifier_.ptr() : nullptr;
  if (current == notifier) return;
  WeakRecord& record = weakRecord();
  std::lock_guard<std::mutex> lock(record.mutex);
  // The insertion may throw; it comes before anything changes.
  if (notifier) {
    record.byNotifier[notifier].add(this);
    notifier->weaklyNotifiedIs();
  }
  if (current) {
    if (auto* reactors = record.byNotifier.find(current)) {
      reactors->remove(this);
      if (reactors->empty()) record.byNotifier.erase(current);
    }
  }
  isOnWeakRecord_ = notifier != nullptr;
  record.size.store(record.byNotifier.size(), std::memory_order_relaxed);
}

void PtrInterface::NotifieeConst::zefNotifierDestroyed(PtrInterface const* notifier) noexcept {
  WeakRecord& record = weakRecord();
  if (record.size.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> lock(record.mutex);
  auto* reactors = record.byNotifier.find(notifier);
  if (!reactors) return;
  reactors->forEach([](NotifieeConst* r) {
    r->isOnWeakRecord_ = false;
    r->notifier_.release();
  });
  record.byNotifier.erase(notifier);
  record.size.store(record.byNotifier.size(), std::memory_order_relaxed);
}

void PtrInterface::NotifieeConst::notifierFieldIs(Ptr<PtrInterface const> const& n) {
  weakRecordIs(isWeakReference_ ? n.ptr() : nullptr);
  notifier_ = n;
}

void PtrInterface::NotifieeConst::zefNotifierGone() {
  weakRecordIs(nullptr);
  notifier_.release();
}

void PtrInterface::NotifieeConst::hasNotificationActiveIs(bool b) {
  if (b == hasNotificationActive()) return;
  notificationActiveBitIs(b);
  if (b) {
    if (zef_bitSet.wasNotified()) isRegisteredNotifieeIs(true);
  } else {
    // Remember the registration so that switching back on restores it.
    zef_bitSet.wasNotifiedIs(isRegisteredNotifiee_);
    isRegisteredNotifieeIs(false);
  }
}

PtrInterface::NotifieeConst::~NotifieeConst() { weakRecordIs(nullptr); }

Ptr<PtrInterface::NotifieeConst> PtrInterface::NotifieeConst::zefReactor() const {
  return Ptr<NotifieeConst>(const_cast<NotifieeConst*>(this));
}
void PtrInterface::NotifieeConst::isRegisteredNotifieeIs(bool b) const { isRegisteredNotifiee_ = b; }
void PtrInterface::NotifieeConst::zef_bitSetIs(Zef_BitSet b) { zef_bitSet = b; }
String8 PtrInterface::NotifieeConst::name() const { return String8(); }
void PtrInterface::NotifieeConst::notifierIs(Ptr<PtrInterface const> const& n) { notifierFieldIs(n); }

void PtrInterface::NotifieeConst::handleNotification(ActivityConfig*) {
  // A reactor that knows no attributes hears a single deferred one through
  // onAttribute; replaying everything is for reactors that know their type's.
  AttributeId id = pendingAttributeId_;
  pendingAttributeId_ = 0;
  if (id > 0) onAttribute(id);
}
void PtrInterface::NotifieeConst::handleDefault(ActivityConfig*, AttributeId, bool) {}
void PtrInterface::NotifieeConst::onAttribute(AttributeId) {}
void PtrInterface::NotifieeConst::onNotification() {}
void PtrInterface::NotifieeConst::onCollectionNotification(String8) {}
void PtrInterface::NotifieeConst::onNotificationException() {}
void PtrInterface::NotifieeConst::onNotificationException(AttributeId) {}
void PtrInterface::NotifieeConst::handleNotificationException(AttributeId id) { onNotificationException(id); }
void PtrInterface::NotifieeConst::handleNotificationException() { onNotificationException(); }
void PtrInterface::NotifieeConst::onZeroReferences() {}
Activity* PtrInterface::NotifieeConst::activityPtr() const { return nullptr; }
Activity* PtrInterface::NotifieeConst::zefFwkActivity() { return nullptr; }
Activity const* PtrInterface::NotifieeConst::zefFwkActivity() const { return nullptr; }
ActivityStateMachine* PtrInterface::NotifieeConst::actsm() { return nullptr; }

void PtrInterface::NotifieeConst::isWeakReferenceIs(bool b) {
  if (b == isWeakReference_) return;
  PtrInterface const* n = notifier_.ptr();
  // On the record before the reference goes: giving it back may destroy n.
  if (n) weakRecordIs(b ? n : nullptr);
  isWeakReference_ = b;
  if (!n) return;
  if (b) n->deleteRef();
  else n->newRef();
}

bool PtrInterface::NotifieeConst::zefOnAttribute(AttributeId id, unsigned char* pendingCount) {
  if (!isDeferring_) return false;
  // One attribute is replayed alone; changes of two make the replay take all.
  if (pendingAttributeId_ == 0) pendingAttributeId_ = id;
  else if (pendingAttributeId_ > 0 && pendingAttributeId_ != id) pendingAttributeId_ = kReplayAll;
  if (pendingCount && *pendingCount < 0xFF) ++*pendingCount;
  return true;
}

void PtrInterface::NotifieeConst::isDeferringIs(bool b) {
  if (b == isDeferring_) return;
  isDeferring_ = b;
  if (!b && pendingAttributeId_ != 0) handleNotification(nullptr);
}

void doZombieReactor(PtrInterface::NotifieeConst& reactor, bool zombie) {
  if (zombie == reactor.zefMarkedForDeletion()) return;
  if (reactor.notifier()) reactor.hasNotificationActiveIs(!zombie);
  reactor.zefMarkedForDeletionIs(zombie);
}

void Entity::NotifieeConst::notifierIs(Ptr<PtrInterface const> const& n) { notifierFieldIs(n); }
void Entity::NotifieeConst::onParent() {}
void Entity::NotifieeConst::onVersion() {}

// Entities.

namespace {
// The children of one parent. Most parents have one (a status its
// statistics); a directory's thousands go to a table, so that each one that
// moves is found without a walk over its siblings.
using Children = OneOrMany<Entity>;

// Children by parent. A child's link to its parent is plain, and a parent may
// go first and leave children behind that no directory or child attribute
// holds (a statistics entity made but never stored, for one); the record lets
// it reach them. The last release, and so a destructor, may run on any thread.
struct ChildRecord {
  std::mutex mutex;
  FlatTable<Entity const*, Children> byParent;
};

ChildRecord& childRecord() {
  static auto* r = new ChildRecord();  // outlives every entity
  return *r;
}

// Moves `child` from the children of `from` to those of `to` (either null).
void childRecordMove(Entity* child, Entity const* from, Entity const* to) {
  if (from == to) return;
  ChildRecord& record = childRecord();
  std::lock_guard<std::mutex> lock(record.mutex);
  // The insertion may throw; it comes before anything changes.
  if (to) record.byParent[to].add(child);
  if (from) {
    if (Children* children = record.byParent.find(from)) {
      children->remove(child);
      if (children->empty()) record.byParent.erase(from);
    }
  }
}
}  // namespace

Entity::~Entity() {
  childRecordMove(this, recordedParent(), nullptr);
  std::vector<Entity*> children;
  {
    ChildRecord& record = childRecord();
    std::lock_guard<std::mutex> lock(record.mutex);
    if (Children* mine = record.byParent.find(this)) {
      mine->forEach([&](Entity* child) { children.push_back(child); });
      record.byParent.erase(this);
    }
  }
  // Children left behind lose their parent, as a detach would leave them.
  for (Entity* child : children) {
    child->parent_ = nullptr;
    child->handleParent(Ptr<Entity>());
  }
}

// Weak reactors are recorded aside; their record goes with the notifier.
PtrInterface::~PtrInterface() {
  if (isWeaklyNotified()) NotifieeConst::zefNotifierDestroyed(this);
}


Name Entity::name() const { return name_; }
Ptr<Entity const> Entity::parent() const { return Ptr<Entity const>(parent_); }
Ptr<Entity> Entity::parent() { return Ptr<Entity>(parent_); }
void Entity::parentIs(Ptr<Entity> const& p) {
  if (p.ptr() != parent_) parentMove(p, false);
}

void Entity::zefHeldParentIs(Ptr<Entity> const& p) {
  if (p.ptr() == parent_) return zefHeldByParentIs(true);
  parentMove(p, true);
}

void Entity::parentMove(Ptr<Entity> const& p, bool held) {
  bool const holds = held && p;
  // An insertion into the record may throw; it comes before anything changes.
  childRecordMove(this, recordedParent(), holds ? nullptr : p.ptr());
  heldByParent_ = holds ? 1 : 0;
  parent_ = p.ptr();
  handleParent(p);
}

void Entity::zefHeldByParentIs(bool b) {
  if (b == heldByParent_ || !parent_) return;
  // Throws, if at all, before anything changes.
  if (b) childRecordMove(this, parent_, nullptr);
  else childRecordMove(this, nullptr, parent_);
  heldByParent_ = b ? 1 : 0;
}
AttributeId Entity::parentAttrId() const { return parentAttrId_; }
void Entity::parentAttrIdIs(AttributeId id) { parentAttrId_ = id; }

String8 Entity::uriPath() const {
  String8 path = parent_ ? parent_->uriPath() : String8();
  path += "/";
  return path + name_;
}

String8 Entity::fullName() const { return parent_ ? parent_->fullName() + "/" + name_ : String8(name_); }

String8 Entity::attributeString(AttributeId id) const {
  switch (id) {
    case 0: return "fwkKey";
    case 5: return "zeroReferences";
    case 6: return "isNondestructing";
    case kNoParentAttrId: return "parent";
    case 154: return "zefHasAttrLogInterface";
    case 155: return "zefNboAttrLogSaForMsgChannel";
    default: return "unknown";
  }
}

void Entity::zefNotifieeAdapterIs(Ptr<Entity const> const&) {}
void Entity::handleParent(Ptr<Entity> const&) { ++version_; }

String8 BaseCollection::iteratorStrep(StrepIterator const& it) const {
  return it.current ? String8("member") : String8("end");
}

}  // namespace Zef
