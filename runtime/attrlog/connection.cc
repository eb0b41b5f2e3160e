#include "runtime/attrlog/connection.h"
#include "runtime/attrlog/records.h"

#include <algorithm>
#include <iterator>

#include "runtime/failure/exception.h"
#include "runtime/text/text.h"
#include "runtime/types/zef_type.h"

namespace Zef::NboAttrLog {

namespace {

// Whether an entity may ever be freed is this process's to say: taken from
// the other end, it could keep entities for ever, or free them under
// references taken meanwhile. The writer's usual false is harmless.
void refuseNondestructing(Connection::Role role, AttributeId a, std::span<unsigned char const> payload) {
  if (role == Connection::Role::mount && a == kIsNondestructingAttrId && !payload.empty() && payload[0] != 0) {
    throw RangeException("isNondestructing is not taken from the other end");
  }
}

// The record being applied is the demuxer's current reader while it is.
struct CurrentIn {
  CurrentIn(Demuxer& d, In& in) : d(d) { d.currentInIs(&in); }
  ~CurrentIn() { d.currentInIs(nullptr); }
  CurrentIn(CurrentIn const&) = delete;
  CurrentIn& operator=(CurrentIn const&) = delete;
  Demuxer& d;
};

// An attribute record for `sa`, whose payload `in` reads. Readers that
// apply a value check its end themselves first; this catches the others.
void applyRecord(StreamAdapter& sa, AttributeId a, In& in) {
  in.attributeIs(a);
  sa.handleAttrDeserialization(a, {}, 0, nullptr);
  in.valueEnds();
}

}  // namespace

Connection::Connection(std::size_t capacity)
    : out_(Out::OutIs(capacity)), demuxer_(Demuxer::DemuxerIs(out_)) {}

Connection::~Connection() { demuxer_->reactorDelAll(); }

void Connection::refused(std::uint64_t offset, String8 why) {
  ++framesRefused_;
  lastRefusal_ = std::move(why);
  if (refusalHandler_) refusalHandler_(*this, offset, lastRefusal_);
  // A mount has no reason to send anything: one that keeps on is cut.
  if (role_ == Role::agent && framesRefused_ >= refusalLimit_ && !isClosed()) {
    closedIs(format("cut off after %d frames refused", framesRefused_), CloseCause::refused);
  }
}

void Connection::bytesReceived(std::span<unsigned char const> bytes) {
  if (isClosed() || bytes.empty()) return;
  bytesReceived_ += bytes.size();
  if (!pending_.empty()) {
    // A frame cut at the end of the last bytes takes only what it lacks from
    // these: its prefix, then the length that prefix gives. Whatever follows
    // is read where it lies.
    for (int part = 0; part < 2 && !bytes.empty(); ++part) {
      std::size_t want = Frame::kPrefix;
      if (pending_.size() >= Frame::kPrefix) {
        want += std::min<std::size_t>(std::size_t(pending_[1]) << 8 | pending_[2], Frame::kMaxFrameBody);
      }
      std::size_t const take = std::min(bytes.size(), want - std::min(want, pending_.size()));
      pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
      bytes = bytes.subspan(take);
    }
    std::size_t const used = readFrames(pending_);
    if (isClosed() || used == 0) return;
    // It held that one frame and nothing after it.
    streamOffset_ += used;
    pending_.clear();
  }
  std::size_t const used = readFrames(bytes);
  if (isClosed()) return;
  streamOffset_ += used;
  pending_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(used), bytes.end());
}

template <class Apply>
bool Connection::applied(std::uint64_t offset, Apply apply) {
  try {
    apply();
    ++framesApplied_;
  } catch (Exception const& e) {
    refused(offset, format("frame at offset %d: %s", offset, e.what()));
  }
  return !isClosed() && !entityLimitPassed();
}

std::size_t Connection::readFrames(std::span<unsigned char const> input) {
  std::size_t at = 0;
  while (at < input.size()) {
    auto r = reader_.next(input.subspan(at), streamOffset_ + at);
    if (r.status == FrameReader::Status::needMore) break;
    if (r.status == FrameReader::Status::lostFraming) {
      refused(streamOffset_ + at, r.error);
      closedIs(r.error, CloseCause::lostFraming);
      return at;
    }
    at += r.frame.size;
    if (r.status == FrameReader::Status::badFrame) {
      refused(r.frame.offset, r.error);
      if (isClosed()) return at;
      continue;
    }
    ++framesReceived_;
    if (role_ == Role::agent) {
      writeBackRefused(r.frame);
      if (isClosed()) return at;
      continue;
    }
    bool const goOn = applied(r.frame.offset, [&] {
      if (frameHandler_) frameHandler_(*this, r.frame);
      else applyFrame(r.frame);
    });
    if (!goOn) return at;
    if (!frameHandler_ && r.frame.kind == FrameKind::attribute) {
      at = applyRun(input, at);
      if (isClosed()) return at;
    }
  }
  return at;
}

std::size_t Connection::applyRun(std::span<unsigned char const> input, std::size_t at) {
  EntityId const eid = reader_.context().entityId;
  StreamAdapter* sa = demuxer_->reactorFound(eid);
  AttributeId a;
  std::size_t size;
  if (!sa || !reader_.peekRunRecord(input.subspan(at), a, size)) return at;
  // Kept for the run. A record may detach its own adapter: the run ends
  // there, and the next record looks its entity up again.
  KeepForCall keep(sa);
  In in(std::span<unsigned char const>{}, demuxer_.ptr());
  do {
    reader_.runRecordTaken(a);
    std::size_t const offset = streamOffset_ + at;
    auto const payload = input.subspan(at + Frame::kPrefix, size - Frame::kPrefix);
    at += size;
    ++framesReceived_;
    bool const goOn = applied(offset, [&] {
      refuseNondestructing(role_, a, payload);
      in.bytesAre(payload);
      CurrentIn current(*demuxer_, in);
      applyRecord(*sa, a, in);
    });
    if (!goOn) return at;
  } while (demuxer_->reactorFound(eid) == sa && reader_.peekRunRecord(input.subspan(at), a, size));
  return at;
}

bool Connection::cutAtEntityLimit() {
  // One frame makes at most one entity: the limit is overrun by one at most.
  closedIs(format("the other end announced more than %d entities, the limit", entityLimit_),
           CloseCause::tooManyEntities);
  return true;
}

void Connection::roleIs(Role r) {
  role_ = r;
  out_->isReceiveOnlyIs(r == Role::mount);
}

void Connection::writeBackRefused(FrameView const& f) {
  MsgHeader const& h = f.header;
  String8 what;
  if (isAnnouncement(f.kind, h)) {
    what = "an announcement";
  } else if (Ptr<StreamAdapter> sa = demuxer_->reactor(h.entityId); sa && sa->zefNotifierEntity()) {
    what = sa->zefNotifierEntity()->fullName();
  } else {
    what = format("entity id %d", h.entityId);
  }
  refused(f.offset, format("frame at offset %d: write-update from readonly proxy: %s", f.offset, what));
}

void Connection::applyFrame(FrameView const& f) {
  MsgHeader const& h = f.header;
  if (isAnnouncement(f.kind, h)) {
    mountOrphan(f);
    return;
  }
  if (f.kind == FrameKind::attribute) refuseNondestructing(role_, h.attributeId, f.payload);
  StreamAdapter* sa = demuxer_->reactorFound(h.entityId);
  if (!sa) throw AttrLogEntityException(format("entity id %d is not known on this connection", h.entityId).charPtr(), {});
  // The record may detach its own adapter.
  KeepForCall keep(sa);
  In in(f.payload, demuxer_.ptr());
  if (f.kind == FrameKind::transaction) {
    unsigned type = in.nextU8();
    unsigned n = in.nextU32();
    if (type > StreamAdapter::transactionClose) throw RangeException(format("transaction type %d", type).charPtr());
    sa->handleAttrTransaction(h.attributeId, StreamAdapter::AttrTransactionType(type), n);
    return;
  }
  CurrentIn current(*demuxer_, in);
  applyRecord(*sa, h.attributeId, in);
}

void Connection::mountOrphan(FrameView const& f) {
  // Everything is read before anything changes: a bad announcement mounts
  // nothing.
  In in(f.payload, demuxer_.ptr());
  std::string_view const typeName = announcementType(in);
  ZefType* type = ZefType::registeredByName(typeName);
  if (!type) throw AttrLogEntityException(("orphan announcement of an unknown type: " + String8(typeName)).charPtr(), {});
  Ptr<Entity> e = type->newEntityFromLog(in);
  EntityId eid = announcementEntityId(in);
  if (rootFinder_) {
    if (Ptr<Entity> held = rootFinder_(type, e->name()); held && held->fwkType() == e->fwkType()) e = held;
  }

  PtrInterface::NotifieeConst::Zef_BitSet flags;
  flags.isMountRemoteIs(true);
  Ptr<Entity::ZefNboAttrLogSa> sa;
  {
    MsgChannel::DeserializingEidAnchor anchor(eid, nullptr);
    sa = e->zefNboAttrLogSaIs(flags, 1, out_, nullptr);
  }
  sa->zefIsAnnouncedIs(true);
  // One announced again under its id replaces the first, which goes once
  // the table holds the new one.
  Ptr<Entity> replaced = std::exchange(mounted_[eid], e);
  if (onMounted_) onMounted_(e);
}

bool Connection::flowOutReady() {
  if (isClosed()) return false;
  bool waiting = demuxer_->runFlowOuts();
  // Every pass ran and there is room for more: the next roots. A log that
  // overflowed meanwhile takes no more.
  while (!waiting && !rootsWaiting_.empty() && demuxer_->isReadyForPasses() && !isClosed()) {
    for (std::size_t n = 0; n < kRootsAttachedAtOnce && !rootsWaiting_.empty(); ++n) {
      Ptr<Entity> root = std::move(rootsWaiting_.front());
      rootsWaiting_.pop_front();
      rootIs(root);
    }
    waiting = demuxer_->runFlowOuts();
  }
  if (!syncSent_ && rootsWaiting_.empty() && demuxer_->scheduledCount() == 0) syncDoneSend();
  return waiting || !rootsWaiting_.empty();
}

void Connection::syncDoneSend() {
  if (!demuxer_->initialSyncDone()) {
    demuxer_->initialSyncDoneIs(true);
    syncModesDue_.clear();
    syncModesNext_ = 0;
    demuxer_->forEachReactor([&](StreamAdapter* sa) {
      if (sa->zefIsOrphan()) syncModesDue_.push_back(sa->entityId());
    });
    // In the order the entities were announced.
    std::sort(syncModesDue_.begin(), syncModesDue_.end());
  }
  // Thousands of orphans need more than the slack a full log keeps: as many
  // as there is room for now, the rest at the next turn.
  while (syncModesNext_ < syncModesDue_.size() && out_->isRoomy()) {
    Ptr<StreamAdapter> sa = demuxer_->reactor(syncModesDue_[syncModesNext_++]);
    if (sa && sa->zefIsOrphan()) demuxer_->syncModeSend(*sa);
  }
  syncSent_ = syncModesNext_ == syncModesDue_.size();
  if (syncSent_) syncModesDue_ = {};
}

bool Connection::isSynced() const {
  if (mounted_.empty() || isClosed()) return false;
  return mounted_.allOf([&](EntityId eid, Ptr<Entity> const&) {
    StreamAdapter* sa = demuxer_->reactorFound(eid);
    return sa && sa->syncMode() == StreamAdapter::syncModeIncremental;
  });
}

void Connection::rootIs(Ptr<Entity> const& root) {
  PtrInterface::NotifieeConst::Zef_BitSet flags;
  flags.isReadOnlyRemoteIs(true);
  Ptr<Entity::ZefNboAttrLogSa> sa = root->zefNboAttrLogSaIs(flags, 1, out_, nullptr);
  syncSent_ = false;
  // The first pass announces it, then sends every attribute.
  demuxer_->createFlowOut(sa, ConnectDesc(EntityUriPath(""), EntityUriPath("")), false, 0);
}

void Connection::rootsAre(std::vector<Ptr<Entity>> roots) {
  if (roots.empty()) return;
  std::move(roots.begin(), roots.end(), std::back_inserter(rootsWaiting_));
  syncSent_ = false;
}

std::vector<Ptr<Entity>> Connection::mounted() const {
  std::vector<Ptr<Entity>> all;
  all.reserve(mounted_.size());
  mounted_.forEach([&](EntityId, Ptr<Entity> const& e) { all.push_back(e); });
  return all;
}

Ptr<Entity> Connection::mounted(EntityId eid) const {
  Ptr<Entity> const* found = mounted_.find(eid);
  return found ? *found : nullptr;
}

void Connection::closedIs(String8 reason, CloseCause cause) {
  if (closeReason_.size() == 0) closeReason_ = std::move(reason);
  if (closeCause_ == CloseCause::none) closeCause_ = out_->closeReason().size() > 0 ? CloseCause::overloaded : cause;
  out_->closedIs();
  demuxer_->reactorDelAll();
  pending_.clear();
  rootsWaiting_.clear();
}

CloseCause Connection::closeCause() const {
  if (closeCause_ != CloseCause::none) return closeCause_;
  // Only an overflow closes the send buffer with a reason of its own.
  return out_->closeReason().size() > 0 ? CloseCause::overloaded : CloseCause::none;
}

void In::throwBeyondValue() const {
  throw RangeException(format("attribute %d record has %d bytes beyond its value", attribute_, remaining()).charPtr());
}

Ptr<Entity> In::nextEntity() {
  EntityId eid = nextEntityId();
  if (eid == 0) return nullptr;
  Ptr<StreamAdapter> sa = demuxer_ ? demuxer_->reactor(eid) : nullptr;
  if (!sa) throw AttrLogEntityException(format("entity id %d is not known on this connection", eid).charPtr(), {});
  return sa->zefNotifierEntity();
}

std::size_t MemoryPair::move(Connection& from, Connection& to, std::size_t limit) {
  auto bytes = from.out()->bytes();
  std::size_t n = std::min(bytes.size(), limit);
  if (n == 0) return 0;
  // Copied first: delivering may make the sender write again.
  std::vector<unsigned char> chunk(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  from.out()->bytesConsumed(n);
  to.bytesReceived(chunk);
  return n;
}

std::size_t MemoryPair::pump() {
  std::size_t total = 0;
  for (;;) {
    std::size_t moved = move(*a_, *b_, SIZE_MAX) + move(*b_, *a_, SIZE_MAX);
    a_->flowOutReady();
    b_->flowOutReady();
    // The flow-outs may have finished a first synchronisation and said so.
    total += moved;
    // Quiet when nothing moved and the flow-outs wrote nothing more; one
    // that cannot go on (no entity id left) waits for a later pump.
    if (moved == 0 && a_->out()->size() == 0 && b_->out()->size() == 0) break;
  }
  return total;
}

std::size_t MemoryPair::pumpAtoB(std::size_t limit) {
  std::size_t n = move(*a_, *b_, limit);
  a_->flowOutReady();
  return n;
}

}  // namespace Zef::NboAttrLog
