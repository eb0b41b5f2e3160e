#include "runtime/attrlog/demuxer.h"
#include "runtime/attrlog/records.h"

#include <utility>

#include "runtime/failure/exception.h"
#include "runtime/text/text.h"

namespace Zef::NboAttrLog {

// Each agent thread owns its connections: the demuxers it made.
std::vector<Demuxer*>& Demuxer::all() {
  thread_local std::vector<Demuxer*> demuxers;
  return demuxers;
}

Demuxer::Demuxer(Ptr<Out> const& out) : out_(out) {
  if (out_) {
    out_->demuxerIs(this);
    out_->holdsLowPriorityIs(initialSyncDone_);
  }
  all().push_back(this);
}

Demuxer::~Demuxer() {
  std::erase(all(), this);
  reactorDelAll();
  if (out_ && out_->demuxer() == this) out_->demuxerIs(nullptr);
}

namespace {
thread_local EntityId deserializing = 0;
}  // namespace

EntityId Demuxer::deserializingEid() { return deserializing; }
void Demuxer::deserializingEidIs(EntityId eid) { deserializing = eid; }

EntityId Demuxer::newEntityId() {
  if (EntityId eid = std::exchange(deserializing, 0)) {
    // A mounted entity replaces whatever was announced under its id before.
    reactorDel(eid);
    return eid;
  }
  if (reactors_.size() >= entityIdLimit_) {
    throw EntityIdUnavailableException(
        format("attribute log has no entity id left: %d in use", reactors_.size()).charPtr());
  }
  EntityId eid = nextEid_;
  nextEid_ += 2;
  return eid;
}

void Demuxer::reactorIs(EntityId eid, Ptr<StreamAdapter> sa) {
  if (!sa) return reactorDel(eid);
  Ptr<StreamAdapter> old;
  {
    Ptr<StreamAdapter>& slot = reactors_[eid];
    if (slot == sa) return;
    old = std::exchange(slot, std::move(sa));
  }
  // An adapter replaced under its id is no longer live here, as if deleted:
  // an odd id then always means the adapter is the one registered under it.
  // It goes once the table no longer holds it.
  if (old) detached(*old);
}

Ptr<StreamAdapter> Demuxer::reactor(EntityId eid) const { return Ptr<StreamAdapter>(reactorFound(eid)); }

StreamAdapter* Demuxer::reactorLookedUp(EntityId eid) const {
  Ptr<StreamAdapter> const* found = reactors_.find(eid);
  if (!found) return nullptr;
  last_ = found->ptr();
  lastEid_ = eid;
  return last_;
}

void Demuxer::reactorDel(EntityId eid) {
  Ptr<StreamAdapter>* found = reactors_.find(eid);
  if (!found) return;
  Ptr<StreamAdapter> sa = std::move(*found);
  reactors_.erase(eid);
  detached(*sa);
}

void Demuxer::detached(StreamAdapter& sa) {
  // The id is no longer live on this log; what was still to be written for
  // it goes with it.
  sa.entityId_ &= ~EntityId(1);
  if (last_ == &sa) last_ = nullptr;
  sa.flowOut_ = nullptr;
  sa.spareFlowOut_ = nullptr;
}

void Demuxer::reactorDelAll() {
  high_.clear();
  low_.clear();
  // Taken out first: releasing an adapter may release entities whose own
  // adapters then leave the map.
  auto all = std::move(reactors_);
  last_ = nullptr;
  all.forEach([&](EntityId, Ptr<StreamAdapter> const& sa) {
    detached(*sa);
    sa->isScheduled_ = false;
  });
  all.clear();
  flowIns_.clear();
}

EntityId Demuxer::connectionEidFor(Entity const* entity) {
  if (!entity) return 0;
  Entity* e = const_cast<Entity*>(entity);
  if (Ptr<Entity::ZefNboAttrLogSa> sa = e->zefNboAttrLogSa(Ptr<Out const>(out_))) {
    // Attached but not yet announced (a root waiting for its first pass):
    // the reader must know it before a reference names it.
    if (!sa->zefIsAnnounced()) sa->doSerializeOrphan();
    return sa->entityId();
  }
  Ptr<Entity::ZefNboAttrLogSa> sa = e->zefNboAttrLogSaIs(referencedFlags_, 1, out_, nullptr);
  // A reader learns the entity before the reference that names it, then
  // every attribute it has.
  sa->doSerializeOrphan();
  createFlowOut(sa, ConnectDesc(EntityUriPath(""), EntityUriPath("")), false, 0);
  return sa->entityId();
}

Ptr<FlowOut> Demuxer::createFlowOut(Ptr<StreamAdapter> const& sa, ConnectDesc desc, bool keysOnly,
                                    AttributeId start) {
  // A deferral joins the flow-out already pending; any other start (a full
  // pass) replaces it, since it marks what it needs itself.
  if (sa->flowOut_ && start == 0x7FFFFFFF) return sa->flowOut_;
  if (start == 0x7FFFFFFF && !sa->flowOut_ && sa->spareFlowOut_ && sa->spareFlowOut_->isKeysOnly() == keysOnly) {
    sa->flowOut_ = std::move(sa->spareFlowOut_);
    sa->flowOut_->restartedAt(start);
  } else {
    sa->spareFlowOut_ = nullptr;
    sa->flowOut_ = sa->flowOutIs(out_, std::move(desc), keysOnly, start);
  }
  schedule(sa.ptr());
  return sa->flowOut_;
}

void Demuxer::schedule(StreamAdapter* sa) {
  if (sa->isScheduled_) return;
  sa->isScheduled_ = true;
  auto& queue = sa->zefFlowOutPriority() == StreamAdapter::FlowOutPriority::high ? high_ : low_;
  queue.push_back(Scheduled{Ptr<StreamAdapter>(sa), 0, nullptr});
}

bool Demuxer::runSlice(Scheduled& s) {
  StreamAdapter* sa = s.sa.ptr();
  if (!(sa->entityId_ & 1) || !sa->flowOut_) {
    sa->isScheduled_ = false;  // detached, or nothing left
    return true;
  }
  FlowOut* const fo = sa->flowOut_.ptr();
  // The slice may replace it: kept alive until the slice is over.
  KeepForCall keep(fo);
  // Where the replaced flow-out's pass stood says nothing of this one, which
  // marked from its own start: resuming there would skip what it marked
  // before it (a member announced while its orphan's pass was paused).
  if (s.flowOut.ptr() != fo) {
    s.resume = 0;
    s.flowOut = fo;
  }
  sa->passUnderWay_ = true;
  sa->passPosition_ = s.resume;
  sliceStart_ = out_->bytesWritten();
  slicePriority_ = sa->zefFlowOutPriority();
  inSlice_ = true;
  AttributeId r = 0;
  try {
    r = sa->handleAttrFlowOut(s.resume);
  } catch (...) {
    inSlice_ = false;
    sa->passUnderWay_ = false;
    throw;
  }
  inSlice_ = false;
  if (r != 0) {
    s.resume = sa->passPosition_ = r;
    return false;
  }
  // Replaced during this slice: the new flow-out's pass is still to run.
  if (sa->flowOut_ && sa->flowOut_.ptr() != fo) return false;
  // Collections with keys left go on where their work is.
  if (AttributeId k = fo->pendingKeysFrom(); k && !fo->eidsExhausted()) {
    s.resume = sa->passPosition_ = k;
    return false;
  }
  // Done: the changes deferred behind the pass are told again, and go out
  // now or in a flow-out of their own.
  sa->passUnderWay_ = false;
  if (sa->flowOut_.ptr() == fo && !fo->hasKeyedState()) {
    sa->flowOut_ = nullptr;
    // Kept for the next burst only when a burst built it: a root that has
    // only had its first synchronisation may never change, and a thousand
    // idle roots' spares would be the connection's largest cost.
    if (fo->isReusable() && fo->startAttrId() == kNoAttribute) sa->spareFlowOut_ = fo;
  }
  std::vector<AttributeId> behind = std::move(sa->behindPass_);
  sa->behindPass_.clear();
  sa->isScheduled_ = false;
  for (AttributeId a : behind) sa->doNotification(a, nullptr);
  return true;
}

bool Demuxer::runFlowOuts() {
  if (running_) return scheduledCount() > 0;
  running_ = true;
  struct Reset {
    bool& b;
    ~Reset() { b = false; }
  } reset{running_};
  for (;;) {
    if (isChunkDue()) break;
    bool const high = !high_.empty() && out_->isRoomy();
    if (!high && (low_.empty() || !isRoomyFor(*out_, StreamAdapter::FlowOutPriority::low))) break;
    auto& queue = high ? high_ : low_;
    Scheduled s = std::move(queue.front());
    queue.pop_front();
    bool done;
    try {
      done = runSlice(s);
    } catch (...) {
      // A pass that failed (the log closed under it) is dropped with its
      // adapter's pending changes; a new connection resynchronises.
      s.sa->isScheduled_ = false;
      s.sa->flowOut_ = nullptr;
      if (out_->isClosed()) break;
      continue;
    }
    bool exhausted = s.sa->flowOut_ && s.sa->flowOut_->eidsExhausted();
    if (!done) {
      auto& back = s.sa->zefFlowOutPriority() == StreamAdapter::FlowOutPriority::high ? high_ : low_;
      back.push_back(std::move(s));
    }
    // No id will free itself during this run: try again later.
    if (exhausted) break;
  }
  return scheduledCount() > 0;
}

void Demuxer::syncModeSend(StreamAdapter const& sa) {
  syncModeWrite(out_, sa.entityId(), StreamAdapter::syncModeIncremental);
}

FlowIn* Demuxer::flowIn(EntityId eid) {
  auto it = flowIns_.find(eid);
  return it == flowIns_.end() ? nullptr : &it->second;
}

FlowIn* Demuxer::flowInIs(EntityId eid) { return &flowIns_[eid]; }

void Demuxer::flowInDel(EntityId eid) { flowIns_.erase(eid); }

}  // namespace Zef::NboAttrLog
