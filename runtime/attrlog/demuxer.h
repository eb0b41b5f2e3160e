// The demuxer of one connection: the state adapters on its log by entity id,
// the flow-in state of entities being applied, and the scheduler of flow-outs.
//
// Entity ids are given out per log, odd (the lowest bit marks an id in use on
// a live log), from 3 upwards: 1 names the orphan announcement. A limit on
// how many may be in use at once stands for a log's id space running out.
//
// Scheduler: an adapter whose changes could not be written at once has a
// flow-out, and is queued here. runFlowOuts() is called by the transport when
// the send buffer has drained; it runs passes while the log is roomy,
// configuration and status adapters before statistics adapters, so that a
// link change never waits behind a burst of counters. A pass that stops
// resumes at the attribute id it returned. A change deferred behind the
// position of a pass under way is noted, and told to its adapter again when
// the pass is done, so it goes out once more with its newest value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

#include "runtime/attrlog/flow.h"
#include "runtime/attrlog/nbo_attr_log.h"
#include "runtime/attrlog/stream_adapter.h"
#include "runtime/entity/flat_table.h"

namespace Zef::NboAttrLog {

class Demuxer : public PtrInterface {
 public:
  static ValidPtr<Demuxer> DemuxerIs(Ptr<Out> const& out) { return ValidPtr<Demuxer>(new Demuxer(out), adoptRef); }

  Ptr<Out> const& out() const { return out_; }

  // Entity ids and the adapters registered under them.
  EntityId newEntityId();
  void reactorIs(EntityId eid, Ptr<StreamAdapter> sa);
  Ptr<StreamAdapter> reactor(EntityId eid) const;
  // The same, uncounted: for a caller that keeps it alive for its call.
  // Records come in runs for one entity: the last one found is likely next.
  StreamAdapter* reactorFound(EntityId eid) const {
    if (last_ && lastEid_ == eid) return last_;
    return reactorLookedUp(eid);
  }
  void reactorDel(EntityId eid);
  // Detaches every adapter: the connection is gone.
  void reactorDelAll();
  std::size_t reactorCount() const { return reactors_.size(); }
  std::size_t entityIdLimit() const { return entityIdLimit_; }
  void entityIdLimitIs(std::size_t n) { entityIdLimit_ = n; }
  // Every adapter, in no particular order.
  template <class F>
  void forEachReactor(F f) const {
    reactors_.forEach([&](EntityId, Ptr<StreamAdapter> const& sa) { f(sa.ptr()); });
  }

  // The id of `entity` on this log; 0 for null. An entity not yet on the log
  // is attached and announced first.
  EntityId connectionEidFor(Entity const* entity);
  // The flags an adapter is attached with when a reference brings it here.
  PtrInterface::NotifieeConst::Zef_BitSet referencedFlags() const { return referencedFlags_; }
  void referencedFlagsIs(PtrInterface::NotifieeConst::Zef_BitSet f) { referencedFlags_ = f; }

  // Flow-outs.
  Ptr<FlowOut> createFlowOut(Ptr<StreamAdapter> const& sa, ConnectDesc desc, bool keysOnly, AttributeId start);
  // Queues an adapter whose flow-out has work again.
  void schedule(StreamAdapter* sa);
  // A pass may go on: the log is roomy for the slice's priority and the
  // slice's budget not spent.
  bool continueFlowOut() const { return out_->bytesWritten() < passStop(); }
  // The count of bytes written (out's bytesWritten()) below which
  // continueFlowOut() holds however the log is written, as long as nothing
  // else changes: draining only adds room. A pass that writes record after
  // record compares with it, and asks continueFlowOut() once it is reached.
  std::uint64_t passStop() const {
    std::uint64_t room = out_->roomyBytes(inSlice_ && slicePriority_ == StreamAdapter::FlowOutPriority::low);
    if (inSlice_) {
      std::uint64_t const spent = out_->bytesWritten() - sliceStart_;
      room = std::min<std::uint64_t>(room, spent < sliceBudget_ ? sliceBudget_ - spent : 0);
    }
    return out_->bytesWritten() + room;
  }
  // Runs scheduled passes while the log is roomy; true when work is left.
  bool runFlowOuts();
  std::size_t scheduledCount() const { return high_.size() + low_.size(); }
  std::size_t sliceBudget() const { return sliceBudget_; }
  void sliceBudgetIs(std::size_t bytes) { sliceBudget_ = bytes; }
  // runFlowOuts() returns once this many bytes wait, so that a transport
  // writes them while the next are made; 0: it runs while the log is roomy.
  std::size_t writeChunk() const { return writeChunk_; }
  void writeChunkIs(std::size_t bytes) { writeChunk_ = bytes; }
  // A whole chunk waits to be written before more passes run.
  bool isChunkDue() const { return writeChunk_ && out_->size() >= writeChunk_; }
  // More passes would be run now: the log is roomy and no chunk is due.
  bool isReadyForPasses() const { return !isChunkDue() && out_->isRoomy(); }

  // Flow-in state per entity id.
  FlowIn* flowIn(EntityId eid);
  FlowIn* flowInIs(EntityId eid);
  void flowInDel(EntityId eid);
  std::uint64_t unknownEnums() const { return unknownEnums_; }
  void unknownEnumsInc(unsigned n) { unknownEnums_ += n; }

  // The record being applied, read by the adapter it is for.
  In* currentIn() const { return currentIn_; }
  void currentInIs(In* in) { currentIn_ = in; }
  // The id the next adapter registered on any log takes instead of a new one:
  // a mounted entity keeps the id it was announced under.
  // Every demuxer of the process.
  template <class F>
  static void forEachDemuxer(F f) {
    for (Demuxer* d : all()) f(*d);
  }
  static EntityId deserializingEid();
  static void deserializingEidIs(EntityId eid);

  // The first passes after the connection began are done: entities
  // announced from now on are complete as soon as they are announced.
  bool initialSyncDone() const { return initialSyncDone_; }
  // Counters are held at the log's backlog from then on.
  void initialSyncDoneIs(bool b) {
    initialSyncDone_ = b;
    if (out_) out_->holdsLowPriorityIs(b);
  }
  // Tells the other end that `sa`'s entity is complete: a sync-mode record
  // with the incremental mode.
  void syncModeSend(StreamAdapter const& sa);

  // Counts for a transport's health report.
  std::uint64_t deferrals() const { return deferrals_; }
  void deferralsInc() { ++deferrals_; }

 private:
  explicit Demuxer(Ptr<Out> const& out);
  ~Demuxer() override;

  static std::vector<Demuxer*>& all();

  struct Scheduled {
    Ptr<StreamAdapter> sa;
    AttributeId resume = 0;
    // The flow-out `resume` belongs to: a full pass that replaced it starts
    // from its own beginning. Held, so that a new one never takes its address.
    Ptr<FlowOut> flowOut;
  };
  // The adapter no longer lives on this log.
  void detached(StreamAdapter& sa);
  // One slice of the adapter's pass; true when the adapter is done.
  bool runSlice(Scheduled& s);

  Ptr<Out> out_;
  FlatTable<EntityId, Ptr<StreamAdapter>> reactors_;
  // The adapter reactor() found last, under lastEid_; every change to that
  // entry detaches the adapter, which clears it.
  mutable StreamAdapter* last_ = nullptr;
  mutable EntityId lastEid_ = 0;
  // reactorFound's look-up in the table, remembered as the last found.
  StreamAdapter* reactorLookedUp(EntityId eid) const;
  std::unordered_map<EntityId, FlowIn> flowIns_;
  std::deque<Scheduled> high_;
  std::deque<Scheduled> low_;
  EntityId nextEid_ = 3;
  std::size_t entityIdLimit_ = std::size_t(1) << 24;
  std::size_t sliceBudget_ = 64 * 1024;
  std::size_t writeChunk_ = 0;
  std::size_t sliceStart_ = 0;  // bytes written when the slice began
  StreamAdapter::FlowOutPriority slicePriority_ = StreamAdapter::FlowOutPriority::high;
  bool inSlice_ = false;
  bool running_ = false;
  In* currentIn_ = nullptr;
  bool initialSyncDone_ = false;
  std::uint64_t unknownEnums_ = 0;
  std::uint64_t deferrals_ = 0;
  PtrInterface::NotifieeConst::Zef_BitSet referencedFlags_;
};

}  // namespace Zef::NboAttrLog

namespace Zef::MsgChannel {

// Binds the adapter that the entity made under it gets to the announced id;
// the previous binding comes back when it ends. With a constrainer, it also
// tells the constrainer which entity is being made and in which parent, and
// puts back what the constrainer said before: anchors nest.
class DeserializingEidAnchor {
 public:
  DeserializingEidAnchor(EntityId eid, Entity* parent)
      : previous_(NboAttrLog::Demuxer::deserializingEid()), parent_(parent), constrainer_(constrainer()) {
    NboAttrLog::Demuxer::deserializingEidIs(eid);
    if (constrainer_) {
      previousEid_ = constrainer_->deserializingEid();
      constrainer_->deserializingEidIs(eid);
      previousParent_ = constrainer_->deserializingInParent();
      constrainer_->deserializingInParentIs(parent);
    }
  }
  ~DeserializingEidAnchor();
  DeserializingEidAnchor(DeserializingEidAnchor const&) = delete;
  DeserializingEidAnchor& operator=(DeserializingEidAnchor const&) = delete;
  Entity* parent() const { return parent_; }

 private:
  EntityId previous_;
  Entity* parent_;
  // Held: the anchor puts back into the constrainer it changed, even if
  // the process's constrainer is replaced meanwhile.
  Ptr<Constrainer> constrainer_;
  EntityId previousEid_ = 0;
  Entity* previousParent_ = nullptr;
};

}  // namespace Zef::MsgChannel

namespace Zef {

inline bool StreamAdapter::continueFlowOut() const {
  NboAttrLog::Demuxer* d = streamDemuxer();
  return d && d->continueFlowOut();
}

}  // namespace Zef
