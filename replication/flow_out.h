// The writer's side of an adapter: a change written at once or marked in a
// dirty bit, the announcement of an entity, and the scheduled pass over a
// level's marked attributes.
#pragma once

#include "replication/attr_rows.h"

namespace Zef::Repl {

// A channel in mode 4 hears of every write of its adapters before anything
// decides about the write, so that it sees even those that are then refused
// or held back.
template <class Sa>
MsgChannel::Constrainer::ZefEntry* internalWriteChannel(Sa* sa) {
  auto* chan = sa->msgChannelEntry();
  return chan && chan->mode() == MsgChannel::Constrainer::ZefEntry::modeInternalWrite ? chan : nullptr;
}

template <class Sa>
void internalWriteHook(Sa* sa, AttributeId a, Name const* key) {
  if (auto* chan = internalWriteChannel(sa)) chan->doQuorraInternalWrite(sa->entityId(), a, key);
}

template <class Sa>
void deferAttr(Sa* sa, AttrRow<Sa> const& row) {
  sa->zefDeferTo(row.id);
  if (auto* bits = sa->zefOwnDirty()) bits->set(row.bit, true);
}

// The record of a value: its header, then the value.
template <class Sa>
void writeValueRecord(Sa* sa, AttrRow<Sa> const& row) {
  Ptr<NboAttrLog::Out> const& out = sa->nboAttrLogOut();
  out->nextHeaderIs(NboAttrLog::MsgHeader{sa->entityId(), row.id});
  out << NboAttrLog::TransactToken{1};
  row.write(out, *sa->zefEntity());
  out << NboAttrLog::TransactToken{3};
}

template <class Sa>
void writeAttrRecord(Sa* sa, AttrRow<Sa> const& row) {
  Ptr<NboAttrLog::Out> const& out = sa->nboAttrLogOut();
  auto const& e = *sa->zefEntity();
  // An owned child travels as a child record, with the collections.
  if (!row.write && !row.reference) return;
  // The reader learns of the entity before its first attribute.
  if (!sa->zefIsAnnounced()) sa->doSerializeOrphan();
  if (row.write) return writeValueRecord(sa, row);
  // A reference travels as the referenced entity's id on this log, which
  // may first have to be announced there.
  for (;;) {
    try {
      Expect scope(NboAttrLog::kRecordInterruptedExceptionId);
      Ptr<NboAttrLog::Demuxer> demuxer(sa->streamDemuxer());
      EntityId eid = demuxer->connectionEidFor(row.reference(e));
      out->nextHeaderIs(NboAttrLog::MsgHeader{sa->entityId(), row.id});
      out << NboAttrLog::TransactToken{1} << std::uint64_t(eid) << NboAttrLog::TransactToken{3};
      return;
    } catch (AttrLogRecordException const&) {
      continue;
    } catch (EntityIdUnavailableException const&) {
      NboAttrLog::FlowOut* fo = sa->zefFlowOut();
      if (!fo) fo = sa->zefDeferTo(row.id);
      if (auto* bits = sa->zefOwnDirty()) bits->set(row.bit, true);
      if (fo) fo->eidsExhaustedIs(true);
      return;
    }
  }
}

// The writer's guards and choice, shared by attributes, keys and children.

// Not while resynchronising, and never the echo of a record this adapter is
// applying.
template <class Sa>
bool mayWrite(Sa* sa, AttributeId a) {
  auto& flags = sa->zef_bitSet;
  if (flags.isResynchronizing()) return false;
  return flags.isActive() || !sa->handlingFlowInFor(a);
}

// Whether hearing the change of attribute a that it is applying would do
// nothing: no channel hears internal writes, and mayWrite refuses it. Asked
// for every record applied: inline.
template <class Sa>
[[gnu::always_inline]] inline bool echoIsQuiet(Sa* sa, AttributeId a) {
  return !internalWriteChannel(sa) && !mayWrite(sa, a);
}

enum class Send { nothing, now, nowPrepared, later };

// Whether attribute a goes out now or waits for a pass; nowPrepared is now,
// after which the caller clears what it had marked. Called under the
// caller's ClearIsActiveAnchor.
template <class Sa>
Send chooseSend(Sa* sa, AttributeId a) {
  auto& flags = sa->zef_bitSet;
  if (!sa->isOkToSerialize()) return Send::nothing;
  if (flags.isReadOnly() && !sa->convertedToWritable(false)) sa->doThrowReadOnly(a);
  bool roomy = isRoomyFor(*sa->nboAttrLogOut(), sa->zefFlowOutPriority());
  if (!flags.allowsImmediateTransmission()) {
    return sa->prepareImmediateTransmission(a, !roomy) ? Send::nowPrepared : Send::later;
  }
  return flags.isHandlingScheduledFlowOut() || roomy ? Send::now : Send::later;
}

// A change of something with a dirty bit: `write` it now, or mark it for a
// later pass.
template <class Sa, class Write>
void rowChanged(Sa* sa, AttrRow<Sa> const& row, Write write) {
  if (!mayWrite(sa, row.id)) return;
  ClearIsActiveAnchor anchor(sa);
  switch (chooseSend(sa, row.id)) {
    case Send::nothing:
      return;
    case Send::later:
      return deferAttr(sa, row);
    case Send::nowPrepared:
      if (auto* bits = sa->zefOwnDirty()) bits->set(row.bit, false);
      [[fallthrough]];
    case Send::now:
      write();
  }
}

// onX() of one attribute.
template <class Sa>
void attrChanged(Sa* sa, AttrRow<Sa> const& row) {
  internalWriteHook(sa, row.id, nullptr);
  rowChanged(sa, row, [&] { writeAttrRecord(sa, row); });
}

// writtenInPass's questions of the adapter, the same for every attribute:
// attrChanged's, with chooseSend's answer in a pass (now) taken where
// nothing could make it otherwise.
template <class Sa>
bool adapterWritesInPass(Sa* sa) {
  auto const& flags = sa->zef_bitSet;
  return !internalWriteChannel(sa) && sa->isOkToSerialize() && !flags.isReadOnly() &&
         flags.allowsImmediateTransmission() && sa->zefIsAnnounced() && sa->zefEntity();
}

// A value marked for a scheduled pass, written there as its handler would
// write it, without asking what the handler asks: true if it was. Whatever
// is out of the ordinary (a channel that hears internal writes, a record
// being applied, a read-only adapter or one whose log holds writes back, an
// entity not announced yet) is left to the handler. A first synchronisation
// writes every value this way.
template <class Sa>
bool writtenInPass(Sa* sa, AttrRow<Sa> const& row) {
  if (!row.write || !adapterWritesInPass(sa) || !mayWrite(sa, row.id)) return false;
  writeValueRecord(sa, row);
  return true;
}

// Whether writtenInPass would write every marked value of the adapter: with
// no record being applied, mayWrite answers alike for every attribute.
template <class Sa>
bool passWritesEveryValue(Sa* sa) {
  return !sa->isApplying() && !sa->zef_bitSet.isResynchronizing() && adapterWritesInPass(sa);
}

// Writes constructor arguments once aside, so that the entities they name
// are announced before the record that names them begins: the record is
// then not interrupted and written twice.
template <class Args, class... Rest>
void announceArguments(Args args, NboAttrLog::Demuxer& d, Rest const&... rest) {
  thread_local Ptr<NboAttrLog::Out> scratch = NboAttrLog::Out::OutIs(4096);
  scratch->bytesDelAll();
  try {
    args(scratch, d, rest...);
  } catch (RangeException const&) {
    // Arguments longer than the scratch space: the record's retry covers them.
  }
}

template <class Sa>
void serializeOrphan(Sa* sa, std::span<char const* const> types,
                     void (*args)(Ptr<NboAttrLog::Out> const&, NboAttrLog::Demuxer&, typename Sa::ZefEntity const&)) {
  auto* e = sa->zefEntity();
  if (!e || !sa->isOkToSerialize()) return;
  Ptr<NboAttrLog::Out> const& out = sa->nboAttrLogOut();
  announceArguments(args, *sa->streamDemuxer(), *e);
  // Should an argument still need an announcement of its own, it interrupts
  // this one, which starts again.
  for (;;) {
    try {
      Expect scope(NboAttrLog::kRecordInterruptedExceptionId);
      Ptr<NboAttrLog::Demuxer> d(sa->streamDemuxer());
      NboAttrLog::announcementBegin(out, types, String8(e->name()));
      args(out, *d, *e);
      NboAttrLog::announcementEnd(out, sa->entityId());
      break;
    } catch (AttrLogRecordException const&) {
      continue;
    }
  }
  sa->zefIsAnnouncedIs(true);
  sa->zefIsOrphanIs(true);
  // After the first synchronisation, one announced alone is complete at once.
  if (auto* d = sa->streamDemuxer(); d && d->initialSyncDone()) d->syncModeSend(*sa);
}

template <class Sa>
std::uint64_t bytesWritten(Sa* sa) {
  auto* out = sa->nboAttrLogOut().ptr();
  return out ? out->bytesWritten() : 0;
}
template <class Sa>
std::uint64_t passStop(Sa* sa) {
  auto* d = sa->streamDemuxer();
  return d ? d->passStop() : 0;
}

// The scheduled pass over one level's attributes from `start`; 0 when it
// went through, else the attribute to resume at. Attributes below `firstOwn`
// are the base level's: `base` handles them first.
template <class Sa>
AttributeId attrFlowOutPass(Sa* sa, AttributeId start, std::span<AttrRow<Sa> const> rows, AttributeId firstOwn,
                            AttributeId (*base)(Sa*, AttributeId)) {
  NboAttrLog::FlowOut* fo = sa->zefFlowOut();
  HandlingScheduledFlowOutAnchor anchor(sa, fo != nullptr);
  if (fo) {
    fo->eidsExhaustedIs(false);
    for (AttributeId a : fo->pendingAborts()) sa->sendTransactionMarker(a, StreamAdapter::transactionAbort, 0);
    fo->pendingAbortDelAll();
  }
  if (start < firstOwn) {
    if (AttributeId r = base(sa, start)) return r;
    if (!sa->continueFlowOut()) return firstOwn;
    start = firstOwn;
  }
  std::size_t i = 0;
  while (i < rows.size() && rows[i].id != start) ++i;
  if (i == rows.size() || !fo) return 0;
  // What holds for every row is asked once, and again after anything but a
  // value's record was written; room, once the bytes the demuxer allowed are.
  bool everyValue = passWritesEveryValue(sa);
  std::uint64_t stop = passStop(sa);
  for (; i < rows.size(); ++i) {
    AttrRow<Sa> const& row = rows[i];
    fo->attrIdIs(row.id);
    auto* bits = sa->zefOwnDirty();
    // Written now: the bit is clear unless the write defers it again. A
    // flow-out kept after its pass (a directory's, or one reused for the
    // next change) then holds only what is still owed.
    bool const marked = !row.serialize && bits && bits->test(row.bit);
    if (marked) bits->set(row.bit, false);
    if (marked && everyValue && row.write) {
      writeValueRecord(sa, row);
    } else if (marked || row.serialize) {
      if (row.serialize) row.serialize(sa);
      else if (!writtenInPass(sa, row)) (sa->*row.handler)();
      // A collection that paused in its first synchronisation resumes where
      // it stopped, before any later row: its bookmark is a key of its own.
      if (fo->eidsExhausted() || (row.serialize && fo->hasBookmark())) return row.id;
      everyValue = passWritesEveryValue(sa);
      stop = 0;
    }
    if (i + 1 == rows.size()) return 0;
    if (bytesWritten(sa) >= stop) {
      if (!sa->continueFlowOut()) return rows[i + 1].id;
      stop = passStop(sa);
    }
  }
  return 0;
}

}  // namespace Zef::Repl
