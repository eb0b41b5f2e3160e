// State adapters: the reactors that tie one entity to one attribute log. The
// generated adapter of each entity type derives from Entity::ZefNboAttrLogSa
// and supplies its attributes; what every adapter shares lives here.
//
// An adapter is registered with the demuxer of its log under its entity id,
// and the demuxer's registration is what keeps it alive while it is attached.
// It holds its entity by counted reference, except on a mount (weak), where
// the entity lives by its own holders.
#pragma once

#include "runtime/attrlog/flow.h"
#include "runtime/attrlog/msg_channel.h"
#include "runtime/attrlog/nbo_attr_log.h"
#include "runtime/entity/entity.h"

#include <vector>

namespace Zef {

class StreamAdapter : public PtrInterface::NotifieeConst {
 public:
  enum AttrTransactionType : unsigned { transactionOpen = 0, transactionAbort = 1, transactionClose = 2 };
  enum SyncMode : unsigned { syncModeNone = 0, syncModeIncremental = 1, syncModeFull = 2 };
  struct DeserializationOptions {
    unsigned value = 0;
  };

  static SyncMode SyncModeInstance(unsigned v);

  // Which adapters a scheduler serves first while the buffer is scarce.
  enum class FlowOutPriority { high, low };

  EntityId entityId() const { return entityId_; }
  Ptr<NboAttrLog::Out> const& nboAttrLogOut() const { return out_; }
  NboAttrLog::Demuxer* streamDemuxer() const { return out_ ? out_->demuxer() : nullptr; }
  // The pending flow-out, null when nothing is scheduled.
  NboAttrLog::FlowOut* zefFlowOut() const { return flowOut_.ptr(); }
  void zefFlowOutIs(Ptr<NboAttrLog::FlowOut> fo) { flowOut_ = std::move(fo); }
  SyncMode syncMode() const { return syncMode_; }
  // The message channel this adapter carries; null without one. An adapter
  // made with a channel entry as its owner joins that channel.
  MsgChannel::Constrainer::ZefEntry* msgChannelEntry() const { return msgChannel_.ptr(); }
  void msgChannelEntryIs(Ptr<MsgChannel::Constrainer::ZefEntry> const& chan) { msgChannel_ = chan; }

  // Virtual operations a generated adapter overrides.
  virtual AttributeId handleAttrFlowOut(AttributeId start);
  virtual void freeResyncState(Ptr<NboAttrLog::FlowOut> const& fo);
  virtual void zefInstantiateSerialize();
  virtual Ptr<Entity const> zefNotifierEntity() const;
  virtual Ptr<Entity> zefNotifierEntity();
  virtual void doSerializeOrphan();
  // Applies a record of attribute a whose header was read: from `in` when
  // given (then the value read is dropped and the current one sent back),
  // else from the record the demuxer is applying.
  virtual void handleAttrDeserialization(AttributeId a, DeserializationOptions opts, unsigned n,
                                         Ptr<NboAttrLog::In> const& in);
  virtual void handleAttrTransaction(AttributeId a, AttrTransactionType type, unsigned n);
  virtual Ptr<NboAttrLog::FlowOut> flowOutIs(Ptr<NboAttrLog::Out> const& out, ConnectDesc desc, bool b,
                                             AttributeId start);
  virtual void doNotification(AttributeId id, void* arg);
  virtual void syncModeIs(SyncMode mode);
  virtual void zefDoZombieReactors(bool z);
  virtual void doRemountSelf(Ptr<NboAttrLog::Out> const& out);
  virtual FlowOutPriority zefFlowOutPriority() const { return FlowOutPriority::high; }

  // The writer's guards and helpers, inline where every change written asks
  // them.
  // Attached (the lowest bit of the entity id says the id is live on the
  // log) to a log that is open and writes.
  bool isOkToSerialize() const {
    return out_ && !out_->isClosed() && !out_->isReceiveOnly() && (entityId_ & 1) && out_->demuxer();
  }
  // With immediate transmission not allowed: may attribute a be written now?
  // Provides the flow-out whose bit the caller then sets or clears.
  bool prepareImmediateTransmission(AttributeId a, bool notRoomy);
  // May a scheduled pass go on after this attribute? Defined with the
  // demuxer it asks (demuxer.h).
  inline bool continueFlowOut() const;
  void sendTransactionMarker(AttributeId a, unsigned type, unsigned n);
  // Defers attribute a: makes sure a flow-out exists and stands at a.
  NboAttrLog::FlowOut* zefDeferTo(AttributeId a);
  // Is this adapter applying a record of attribute a right now?
  bool handlingFlowInFor(AttributeId a) const { return applying_ && applyingAttr_ == a; }
  bool isApplying() const { return applying_; }
  bool convertedToWritable(bool) const { return false; }
  // May the other end write attribute a of a read-only remote? Never: a
  // writer's state changes only where it is kept.
  bool readOnlyRemoteOk(AttributeId) const { return false; }
  // The other end knows this adapter's entity: announced from here, or
  // mounted from there.
  bool zefIsAnnounced() const { return announced_; }
  void zefIsAnnouncedIs(bool b) { announced_ = b; }
  // Announced on its own (an orphan record), not as a member or child.
  bool zefIsOrphan() const { return orphan_; }
  void zefIsOrphanIs(bool b) { orphan_ = b; }
  // The record under way: records of unknown attributes end here.
  void doBaseZefNboAttrLogSaMsg(AttributeId a, DeserializationOptions opts, unsigned n, NboAttrLog::In* in);
  [[noreturn]] void doThrowReadOnly(AttributeId a) const;

  // Registration with the log's demuxer under a new entity id.
  void zefRegisterOn(Ptr<NboAttrLog::Out> const& out);

 protected:
  StreamAdapter(Zef_BitSet flags, unsigned n, Ptr<NboAttrLog::Out> out, PtrInterface* owner);
  ~StreamAdapter() override;

 private:
  friend class IsActiveAnchor;
  friend class NboAttrLog::Demuxer;

  EntityId entityId_ = 0;
  Ptr<NboAttrLog::Out> out_;
  Ptr<NboAttrLog::FlowOut> flowOut_;
  // The last finished flow-out, kept for the next deferral.
  Ptr<NboAttrLog::FlowOut> spareFlowOut_;
  SyncMode syncMode_ = syncModeNone;
  bool applying_ = false;
  AttributeId applyingAttr_ = 0;
  // Queued with the demuxer's scheduler, and where its pass stands.
  bool isScheduled_ = false;
  bool passUnderWay_ = false;
  AttributeId passPosition_ = 0;
  // Attributes deferred behind the pass's position, told again after it.
  std::vector<AttributeId> behindPass_;
  bool announced_ = false;
  bool orphan_ = false;
  Ptr<MsgChannel::Constrainer::ZefEntry> msgChannel_;
};

class Entity::ZefNboAttrLogSa : public StreamAdapter {
 public:
  ZefNboAttrLogSa(Zef_BitSet flags, unsigned n, Ptr<NboAttrLog::Out> out, PtrInterface* owner)
      : StreamAdapter(flags, n, std::move(out), owner) {}

  // A weakly held entity went: the adapter leaves its log with it.
  void onZeroReferences() override;
};

// Clears the adapter's active flag while the writer runs, and puts it back.
class ClearIsActiveAnchor {
 public:
  explicit ClearIsActiveAnchor(StreamAdapter* sa) : sa_(sa), was_(sa->zef_bitSet.isActive()) {
    if (was_) sa_->zef_bitSet.isActiveIs(false);
  }
  ~ClearIsActiveAnchor() {
    if (was_) sa_->zef_bitSet.isActiveIs(true);
  }
  ClearIsActiveAnchor(ClearIsActiveAnchor const&) = delete;
  ClearIsActiveAnchor& operator=(ClearIsActiveAnchor const&) = delete;

 private:
  StreamAdapter* sa_;
  bool was_;
};

// Says "handling a scheduled flow-out" for a pass, so that the writer writes
// what the pass asks for whatever the buffer's room.
class HandlingScheduledFlowOutAnchor {
 public:
  HandlingScheduledFlowOutAnchor(StreamAdapter* sa, bool b)
      : sa_(sa), was_(sa->zef_bitSet.isHandlingScheduledFlowOut()) {
    sa_->zef_bitSet.isHandlingScheduledFlowOutIs(b);
  }
  ~HandlingScheduledFlowOutAnchor() { sa_->zef_bitSet.isHandlingScheduledFlowOutIs(was_); }
  HandlingScheduledFlowOutAnchor(HandlingScheduledFlowOutAnchor const&) = delete;
  HandlingScheduledFlowOutAnchor& operator=(HandlingScheduledFlowOutAnchor const&) = delete;

 private:
  StreamAdapter* sa_;
  bool was_;
};

// Held while an adapter applies a record: telIs(sa) marks it applying
// attribute a; the anchor's end clears it, also on failure.
class IsActiveAnchor {
 public:
  IsActiveAnchor() = default;
  ~IsActiveAnchor() {
    if (sa_) sa_->applying_ = false;
  }
  IsActiveAnchor(IsActiveAnchor const&) = delete;
  IsActiveAnchor& operator=(IsActiveAnchor const&) = delete;

  void telIs(StreamAdapter* sa, AttributeId a) {
    sa_ = sa;
    sa_->applying_ = true;
    sa_->applyingAttr_ = a;
  }

 private:
  StreamAdapter* sa_ = nullptr;
};

// Room in `out` for a record of priority p: counters also wait at the log's
// low-priority backlog.
inline bool isRoomyFor(NboAttrLog::Out const& out, StreamAdapter::FlowOutPriority p) {
  return p == StreamAdapter::FlowOutPriority::low ? out.isRoomyForLowPriority() : out.isRoomy();
}

}  // namespace Zef
