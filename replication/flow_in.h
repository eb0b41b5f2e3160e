// The reader's side of an adapter: one record for its entity, applied under
// the anchor, and the sync-mode record.
#pragma once

#include "replication/attr_rows.h"
#include "replication/flow_out.h"
#include "runtime/entity/dispatch.h"

namespace Zef::Repl {

// The sync-mode record: every adapter of the entity under this id, on every
// connection, takes the mode while marked resynchronising. A record read
// from the stream holds the mode and nothing more.
template <class Sa>
void syncModeRecord(Sa* sa, NboAttrLog::In& in, bool record) {
  auto mode = StreamAdapter::SyncModeInstance(in.nextU32());
  if (record) in.valueEnds();
  NboAttrLog::Demuxer::forEachDemuxer([&](NboAttrLog::Demuxer& d) {
    if (!(sa->entityId() & 1)) return;
    StreamAdapter* r = d.reactorFound(sa->entityId());
    // An adapter's notifier is its entity: the same notifier, the same entity.
    PtrInterface::NotifieeConst const* mine = sa;
    if (!r || r->notifier() != mine->notifier()) return;
    KeepForCall keep(r);
    r->zef_bitSet.isResynchronizingIs(true);
    r->syncModeIs(mode);
    r->zef_bitSet.isResynchronizingIs(false);
  });
  if (auto* chan = sa->msgChannelEntry()) chan->modeIs(MsgChannel::Constrainer::ZefEntry::modeSyncApplied);
}

// A record read from the connection's stream is applied under the anchor:
// one at a time, and never to a read-only remote.
template <class Sa>
void beginApplying(Sa* sa, AttributeId a, IsActiveAnchor& anchor) {
  if (sa->isApplying()) throwInternalException("entity reactor is already active");
  anchor.telIs(sa, a);
  if (sa->zef_bitSet.isReadOnlyRemote() && !sa->readOnlyRemoteOk(a) && !sa->convertedToWritable(false)) {
    auto e = sa->zefNotifierEntity();
    throwInternalException(("write-update from readonly proxy: " + (e ? e->fullName() : String8())).charPtr());
  }
}

template <class Sa>
void attrDeserialization(Sa* sa, AttributeId a, StreamAdapter::DeserializationOptions opts, unsigned n,
                         NboAttrLog::In* in, std::span<AttrRow<Sa> const> rows,
                         void (*base)(Sa*, AttributeId, StreamAdapter::DeserializationOptions, unsigned,
                                      NboAttrLog::In*)) {
  AttrRow<Sa> const* row = rowOf(rows, a);
  if (!row && a != kSyncModeAttrId) {
    // Not this level's: the base type's attributes, or nobody's.
    base(sa, a, opts, n, in);
    return;
  }
  NboAttrLog::Demuxer* d = sa->streamDemuxer();
  NboAttrLog::In* stream = in ? in : (d ? d->currentIn() : nullptr);
  if (!stream) return;
  IsActiveAnchor anchor;
  if (!in) beginApplying(sa, a, anchor);
  if (a == kSyncModeAttrId) {
    syncModeRecord(sa, *stream, !in);
    return;
  }
  auto* e = sa->zefEntity();
  if (!e || !row->read) {
    // An owned child travels as child records, never as a value.
    throw AttrLogEntityException(format("attribute %d has no value record", a).charPtr(), {});
  }
  // The adapter's own echo of the change is passed over when it would do
  // nothing, as decided now.
  AppliedEcho echo(!in && echoIsQuiet(sa, a) ? sa->zefReactor_.ptr() : nullptr, a);
  // Read in full before anything is applied: a short record changes nothing.
  row->read(*e, *stream, !in, sa->msgChannelEntry());
  // With an explicit stream the other end asks for the value again.
  if (in) (sa->*row->handler)();
}

}  // namespace Zef::Repl
