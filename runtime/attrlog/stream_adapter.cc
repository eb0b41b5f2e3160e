#include "runtime/attrlog/stream_adapter.h"
#include "runtime/attrlog/records.h"

#include <algorithm>

#include "runtime/attrlog/demuxer.h"
#include "runtime/failure/exception.h"
#include "runtime/text/text.h"

namespace Zef {

namespace {

ConnectDesc noDesc() { return ConnectDesc(EntityUriPath(""), EntityUriPath("")); }
}  // namespace

StreamAdapter::SyncMode StreamAdapter::SyncModeInstance(unsigned v) {
  if (v > syncModeFull) throwRangeException(format("sync mode %d out of range", v).charPtr());
  return static_cast<SyncMode>(v);
}

StreamAdapter::StreamAdapter(Zef_BitSet flags, unsigned, Ptr<NboAttrLog::Out> out, PtrInterface* owner)
    : out_(std::move(out)), msgChannel_(dynamic_cast<MsgChannel::Constrainer::ZefEntry*>(owner)) {
  zefIsStreamAdapterIs(true);
  notificationFlagsIs(flags);
  // Changes go out as they happen unless a mount says otherwise.
  zef_bitSet.allowsImmediateTransmissionIs(true);
}

StreamAdapter::~StreamAdapter() = default;

void StreamAdapter::zefRegisterOn(Ptr<NboAttrLog::Out> const& out) {
  NboAttrLog::Demuxer* d = out ? out->demuxer() : nullptr;
  if (!d) throwRangeException("attribute log has no demuxer: it is not a connection's log");
  EntityId eid = d->newEntityId();
  entityId_ = eid;
  d->reactorIs(eid, Ptr<StreamAdapter>(this));
}

AttributeId StreamAdapter::handleAttrFlowOut(AttributeId) {
  // The other end learns of the entity before any of its attributes.
  if (!announced_) doSerializeOrphan();
  return 0;
}
void StreamAdapter::freeResyncState(Ptr<NboAttrLog::FlowOut> const&) {}
void StreamAdapter::zefInstantiateSerialize() {}

Ptr<Entity const> StreamAdapter::zefNotifierEntity() const {
  return Ptr<Entity const>(dynamic_cast<Entity const*>(notifier().ptr()));
}

Ptr<Entity> StreamAdapter::zefNotifierEntity() {
  return Ptr<Entity>(const_cast<Entity*>(dynamic_cast<Entity const*>(notifier().ptr())));
}

void StreamAdapter::doSerializeOrphan() { announced_ = true; }
void StreamAdapter::handleAttrDeserialization(AttributeId a, DeserializationOptions opts, unsigned n,
                                              Ptr<NboAttrLog::In> const& in) {
  doBaseZefNboAttrLogSaMsg(a, opts, n, in.ptr());
}

void StreamAdapter::doBaseZefNboAttrLogSaMsg(AttributeId a, DeserializationOptions, unsigned, NboAttrLog::In*) {
  Ptr<Entity const> e = zefNotifierEntity();
  throw AttrLogEntityException(
      format("attribute %d is not an attribute of %s", a, e ? e->fullName() : String8("a gone entity")).charPtr(), {});
}
void StreamAdapter::handleAttrTransaction(AttributeId, AttrTransactionType, unsigned) {}

Ptr<NboAttrLog::FlowOut> StreamAdapter::flowOutIs(Ptr<NboAttrLog::Out> const& out, ConnectDesc desc, bool b,
                                                  AttributeId start) {
  return newObject<NboAttrLog::FlowOut>(out, Ptr<StreamAdapter>(this), std::move(desc), b, start);
}

void StreamAdapter::doNotification(AttributeId, void*) {}
void StreamAdapter::syncModeIs(SyncMode mode) { syncMode_ = mode; }
void StreamAdapter::zefDoZombieReactors(bool z) { zefMarkedForDeletionIs(z); }
void StreamAdapter::doRemountSelf(Ptr<NboAttrLog::Out> const&) {}

bool StreamAdapter::prepareImmediateTransmission(AttributeId a, bool notRoomy) {
  if (!flowOut_) zefDeferTo(a);
  return !notRoomy;
}

void StreamAdapter::sendTransactionMarker(AttributeId a, unsigned type, unsigned n) {
  if (out_ && !out_->isReceiveOnly()) out_->transactionMarkerIs(entityId_, a, static_cast<unsigned char>(type), n);
}

NboAttrLog::FlowOut* StreamAdapter::zefDeferTo(AttributeId a) {
  NboAttrLog::Demuxer* d = streamDemuxer();
  if (!d) return nullptr;
  // A burst defers into the flow-out it already has: nothing to build.
  if (!flowOut_) d->createFlowOut(Ptr<StreamAdapter>(this), noDesc(), false, NboAttrLog::kNoAttribute);
  else d->schedule(this);
  d->deferralsInc();
  if (flowOut_) flowOut_->attrIdIs(a);
  // The pass under way has gone past a: it would miss this change.
  if (passUnderWay_ && a < passPosition_ && std::find(behindPass_.begin(), behindPass_.end(), a) == behindPass_.end()) {
    behindPass_.push_back(a);
  }
  return flowOut_.ptr();
}

void Entity::ZefNboAttrLogSa::onZeroReferences() {
  if (!isWeakReference()) return;
  if (NboAttrLog::Demuxer* d = streamDemuxer()) {
    if (entityId() & 1) d->reactorDel(entityId());
  }
}

void StreamAdapter::doThrowReadOnly(AttributeId a) const {
  Ptr<Entity const> e = zefNotifierEntity();
  String8 what = e ? e->fullName() + " " + e->attributeString(a) : format("attribute %d", a);
  throwInternalException(("write to a read-only attribute log adapter: " + what).charPtr());
}

// An entity type without state adapters.
Ptr<Entity::ZefNboAttrLogSa const> Entity::zefNboAttrLogSa(Ptr<NboAttrLog::Out const> const&) const {
  return nullptr;
}
bool Entity::zefHasAttrLogInterface() const { return false; }
Ptr<Entity::ZefNboAttrLogSa> Entity::zefNboAttrLogSa(Ptr<NboAttrLog::Out const> const&) { return nullptr; }
Ptr<Entity::ZefNboAttrLogSa> Entity::zefNboAttrLogSaForMsgChannel(Ptr<ZefNboAttrLogSa> const&) const {
  return nullptr;
}
ValidPtr<Entity::ZefNboAttrLogSa> Entity::zefNboAttrLogSaIs(PtrInterface::NotifieeConst::Zef_BitSet, unsigned,
                                                            Ptr<NboAttrLog::Out> const&, PtrInterface*) {
  throwInternalException(("entity type has no attribute log interface: " + fullName()).charPtr());
}
Ptr<Entity::ZefNboAttrLogSa> Entity::zefNboAttrLogSaDel(Ptr<NboAttrLog::Out const> const&) { return nullptr; }

namespace NboAttrLog {

FlowOut::FlowOut(Ptr<Out> out, Ptr<StreamAdapter> sa, ConnectDesc desc, bool keysOnly, AttributeId start)
    : out_(std::move(out)), sa_(sa.ptr()), desc_(std::move(desc)), start_(start), attrId_(start),
      keysOnly_(keysOnly) {}

FlowOut::~FlowOut() = default;

bool FlowOut::hasDirtyAttributes() const { return !pendingAborts_.empty(); }

void FlowOut::bookmarkIs(Name const& key) {
  if (hasBookmark_) assertionFailed("!rsc->bookmark()", "/usr/include/Zef/NboAttrLogFlow", 23);
  bookmark_ = key;
  hasBookmark_ = true;
}

Name FlowOut::bookmarkDeq() {
  hasBookmark_ = false;
  return std::move(bookmark_);
}

void FlowOut::pendingAbortIs(AttributeId a, bool b) {
  auto it = std::find(pendingAborts_.begin(), pendingAborts_.end(), a);
  if (b && it == pendingAborts_.end()) pendingAborts_.push_back(a);
  if (!b && it != pendingAborts_.end()) pendingAborts_.erase(it);
}

}  // namespace NboAttrLog

}  // namespace Zef
