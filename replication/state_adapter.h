// The algorithms of every entity's attribute-log state adapter, once. The
// generated adapter of an entity type supplies a table of its replicated
// attributes (id, dirty bit, handler, writer) and one-line bodies that call
// these templates.
//
// An adapter type Sa provides:
//   Sa::ZefEntity                  the entity type it serves
//   Sa::FlowOut, Sa::ZefNboAttrLogSaAdapter_
//   zefEntity()                    the entity, or null once it went
//   zefOwnDirty()                  this level's dirty bits in the current
//                                  flow-out, or null without one
//   zefReactor_                    its reactor
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

#include "runtime/attrlog/demuxer.h"
#include "runtime/attrlog/records.h"
#include "runtime/attrlog/stream_adapter.h"
#include "runtime/attrlog/value_codec.h"
#include "runtime/entity/list_raw.h"
#include "runtime/failure/exception.h"
#include "runtime/text/bounded.h"
#include "runtime/text/text.h"

namespace Zef::Repl {

using NboAttrLog::kNoAttribute;
using NboAttrLog::kSyncModeAttrId;

// One replicated attribute of one level of an entity type.
template <class Sa>
struct AttrRow {
  using E = typename Sa::ZefEntity;
  AttributeId id;
  unsigned bit;
  void (Sa::*handler)();
  // A value: writes it. A reference: null, and `reference` reads it.
  void (*write)(Ptr<NboAttrLog::Out> const&, E const&);
  Entity const* (*reference)(E const&);
  // Reads the value of a record and, when told to, applies it; a reference
  // sets the adapter's channel (if any) to mode 1 in between.
  void (*read)(E&, NboAttrLog::In&, bool apply, MsgChannel::Constrainer::ZefEntry* chan);
  // A collection: its part of a scheduled pass, whatever the bits say.
  void (*serialize)(Sa*) = nullptr;
};

using NboAttrLog::readValue;
using NboAttrLog::writeValue;

template <class C, class A>
A setterArgument(void (C::*)(A));

template <class E, auto Set>
void readAttr(E& e, NboAttrLog::In& in, bool apply, MsgChannel::Constrainer::ZefEntry* chan) {
  using T = std::decay_t<decltype(setterArgument(Set))>;
  T v = readValue<T>(in);
  if constexpr (IsPtr<T>::value) {
    if (chan) chan->modeIs(MsgChannel::Constrainer::ZefEntry::modeApplied);
  }
  if (apply) (e.*Set)(v);
}


template <class E, auto Get>
void writeAttr(Ptr<NboAttrLog::Out> const& out, E const& e) {
  writeValue(out, (e.*Get)());
}

template <class E, auto Get>
Entity const* referenceAttr(E const& e) {
  return (e.*Get)().ptr();
}

// A constructor argument of an announcement: references as the referenced
// entity's id on the log, announcing it first when it is not yet known.
template <class T>
void writeArgument(Ptr<NboAttrLog::Out> const& out, NboAttrLog::Demuxer& d, T const& v) {
  if constexpr (IsPtr<T>::value) out << std::uint64_t(d.connectionEidFor(v.ptr()));
  else if constexpr (std::is_base_of_v<String8, T>) out << String8(v);
  else writeValue(out, v);
}

template <class Sa>
AttrRow<Sa> const* rowOf(std::span<AttrRow<Sa> const> rows, AttributeId id) {
  // Own ids run on without gaps after isNondestructing: index them.
  std::size_t first = rows.size() > 1 && rows[0].id == NboAttrLog::kIsNondestructingAttrId ? 1 : 0;
  if (first < rows.size() && id >= rows[first].id) {
    std::size_t i = first + static_cast<std::size_t>(id - rows[first].id);
    if (i < rows.size() && rows[i].id == id) return &rows[i];
  }
  for (auto const& r : rows) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

// Creation of an adapter and of its reactor.

// The adapter's constructor, after its base: the reactor, then the entity.
template <class Sa, class E>
void constructStateAdapter(Sa* sa, Ptr<E> const& entity) {
  sa->zefReactor_ = Sa::ZefNboAttrLogSaAdapter_::ZefNboAttrLogSaAdapter_Is(entity, Ptr<Sa>(sa));
  // A mount's adapter holds its entity without counting it: the entity lives
  // by its own holders, and goes when they go.
  if (sa->zef_bitSet.isMountRemote()) sa->isWeakReferenceIs(true);
  sa->notifierIs(entity);
}

template <class Sa, class E>
ValidPtr<Sa> newStateAdapter(typename Sa::Zef_BitSet flags, Ptr<E> const& entity, unsigned n,
                             Ptr<NboAttrLog::Out> const& out, PtrInterface* owner) {
  Ptr<Sa> sa(new Sa(flags, entity, n, out, owner), adoptRef);
  sa->zefRegisterOn(out);
  sa->hasNotificationActiveIs(true);
  return sa;
}

template <class R, class Sa, class E>
ValidPtr<R> newAdapterReactor(Ptr<E> const& entity, Ptr<Sa> const& sa) {
  Ptr<R> r(new R(sa.ptr()), adoptRef);
  r->isRegisteredNotifieeIs(true);
  r->notifierIs(entity);
  r->isWeakReferenceIs(true);
  r->hasNotificationActiveIs(true);
  return r;
}

// The adapter's notifierIs: its reactor follows first; a weak adapter's
// notifier is held uncounted.
template <class Sa>
void stateAdapterNotifierIs(Sa* sa, Ptr<PtrInterface const> const& n) {
  if (sa->zefReactor_) sa->zefReactor_->notifierIs(n);
  PtrInterface const* old = sa->notifier().ptr();
  if (old != n.ptr()) {
    Ptr<PtrInterface const> keepOld(old);
    sa->StreamAdapter::notifierIs(n);
    if (sa->isWeakReference()) {
      _referencesInc(old);
      _referencesDec(n.ptr());
    }
  }
  sa->isRegisteredNotifieeIs(false);
}

template <class Sa>
void stateAdapterRetire(Sa* sa) {
  sa->isWeakReferenceIs(false);
  if (auto r = std::move(sa->zefReactor_)) {
    r->isRegisteredNotifieeIs(false);
    r->notifierIs(nullptr);
    r->zefReactorAdapterIs(nullptr);
  }
}

// Adapter and reactor keep one notification-active state; the equality test
// ends the mutual call.
template <class Sa>
void stateAdapterNotificationActiveIs(Sa* sa, bool b) {
  if (b == sa->hasNotificationActive()) return;
  sa->StreamAdapter::hasNotificationActiveIs(b);
  if (sa->zefReactor_) sa->zefReactor_->hasNotificationActiveIs(b);
}

template <class R>
void adapterReactorNotificationActiveIs(R* r, bool b) {
  if (b == r->hasNotificationActive()) return;
  r->PtrInterface::NotifieeConst::hasNotificationActiveIs(b);
  if (r->zefReactorAdapter() && !r->zefMarkedForDeletion()) r->zefReactorAdapter()->hasNotificationActiveIs(b);
}

template <class Sa>
void stateAdapterZombieIs(Sa* sa, bool z) {
  if (z == sa->zefMarkedForDeletion()) return;
  if (sa->zefReactor_) sa->zefReactor_->zefDoZombieReactors(z);
  sa->zefMarkedForDeletionIs(z);
}

template <class R>
void adapterReactorZombieIs(R* r, bool z) {
  if (z == r->zefMarkedForDeletion()) return;
  if (r->notifier()) r->hasNotificationActiveIs(!z);
  r->zefMarkedForDeletionIs(z);
}

// The entity side: find, create and detach an entity's adapters.

// The adapter of `self` on `out`, walking the entity's reactor list.
template <class E>
Ptr<Entity::ZefNboAttrLogSa> stateAdapterOf(E const* self, Ptr<NboAttrLog::Out const> const& out) {
  NboAttrLog::Demuxer* demuxer = out ? out->demuxer() : nullptr;
  // Nothing here changes the list: a plain walk.
  for (auto* it = self->zefNotifieeList().head(); it; it = it->listNext) {
    Ptr<PtrInterface::NotifieeConst> reactor = it->zefReactor();
    if (!reactor || !reactor->zefIsStreamAdapter()) continue;
    auto* sa = static_cast<Entity::ZefNboAttrLogSa*>(reactor.ptr());
    if (sa->nboAttrLogOut() == out) return Ptr<Entity::ZefNboAttrLogSa>(sa);
    if (!out) continue;
    if (!demuxer) return nullptr;
    // Another log of the same connection knows the entity under this id:
    // the answer is that connection's adapter. Another connection may well
    // use the same id for the same entity, and its adapter is not ours.
    if (sa->entityId() & 1) {
      Ptr<StreamAdapter> r = demuxer->reactor(sa->entityId());
      if (r && r->zefNotifierEntity().ptr() == self) {
        if (auto* mine = dynamic_cast<Entity::ZefNboAttrLogSa*>(r.ptr())) return Ptr<Entity::ZefNboAttrLogSa>(mine);
      }
    }
  }
  return nullptr;
}

template <class Sa, class E>
ValidPtr<Entity::ZefNboAttrLogSa> stateAdapterIs(E* self, typename Sa::Zef_BitSet flags, unsigned n,
                                                 Ptr<NboAttrLog::Out> const& out, PtrInterface* owner) {
  if (!out) throwNullValidPtr();
  if (Ptr<Entity::ZefNboAttrLogSa> found = self->zefNboAttrLogSa(Ptr<NboAttrLog::Out const>(out))) {
    if (auto* same = dynamic_cast<Sa*>(found.ptr())) {
      if (same->notificationFlags() != flags) same->notificationFlagsIs(flags);
      return found;
    }
    self->zefNboAttrLogSaDel(Ptr<NboAttrLog::Out const>(out));
  }
  return Sa::ZefNboAttrLogSaIs(flags, Ptr<E>(self), n, out, owner);
}

template <class E>
Ptr<Entity::ZefNboAttrLogSa> stateAdapterDel(E* self, Ptr<NboAttrLog::Out const> const& out) {
  NboAttrLog::Demuxer* demuxer = out ? out->demuxer() : nullptr;
  if (!demuxer) return nullptr;
  Ptr<Entity::ZefNboAttrLogSa> sa = self->zefNboAttrLogSa(out);
  if (sa) demuxer->reactorDel(sa->entityId());
  return sa;
}

// Another live adapter of the entity on the same message channel as
// `other`. Without a channel, `other` is answered by an adapter that has
// none either.
template <class E>
Ptr<Entity::ZefNboAttrLogSa> siblingStateAdapter(E const* self, Ptr<Entity::ZefNboAttrLogSa> const& other) {
  auto* chan = other ? other->msgChannelEntry() : nullptr;
  for (auto* it = self->zefNotifieeList().head(); it; it = it->listNext) {
    Ptr<PtrInterface::NotifieeConst> reactor = it->zefReactor();
    if (!reactor || !reactor->zefIsStreamAdapter()) continue;
    auto* sa = static_cast<Entity::ZefNboAttrLogSa*>(reactor.ptr());
    if (sa == other.ptr() || !(sa->entityId() & 1) || !sa->isOkToSerialize()) continue;
    if (sa->msgChannelEntry() == chan) return Ptr<Entity::ZefNboAttrLogSa>(sa);
  }
  return nullptr;
}

// A channel in mode 4 hears of every write of its adapters before anything
// decides about the write, so that it sees even those that are then refused
// or held back.
template <class Sa>
void internalWriteHook(Sa* sa, AttributeId a, Name const* key) {
  auto* chan = sa->msgChannelEntry();
  if (chan && chan->mode() == MsgChannel::Constrainer::ZefEntry::modeInternalWrite) {
    chan->doQuorraInternalWrite(sa->entityId(), a, key);
  }
}

// Flow-out: one attribute's change, and the scheduled pass.

template <class Sa>
void deferAttr(Sa* sa, AttrRow<Sa> const& row) {
  sa->zefDeferTo(row.id);
  if (auto* bits = sa->zefOwnDirty()) bits->set(row.bit, true);
}

template <class Sa>
void writeAttrRecord(Sa* sa, AttrRow<Sa> const& row) {
  Ptr<NboAttrLog::Out> const& out = sa->nboAttrLogOut();
  auto const& e = *sa->zefEntity();
  // An owned child travels as a child record, with the collections.
  if (!row.write && !row.reference) return;
  // The reader learns of the entity before its first attribute.
  if (!sa->zefIsAnnounced()) sa->doSerializeOrphan();
  if (row.write) {
    out->nextHeaderIs(NboAttrLog::MsgHeader{sa->entityId(), row.id});
    out << NboAttrLog::TransactToken{1};
    row.write(out, e);
    out << NboAttrLog::TransactToken{3};
    return;
  }
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

// Flow-in: one record for this adapter's entity.

// The sync-mode record: every adapter of the entity under this id, on every
// connection, takes the mode while marked resynchronising.
template <class Sa>
void syncModeRecord(Sa* sa, NboAttrLog::In& in) {
  auto mode = StreamAdapter::SyncModeInstance(in.nextU32());
  NboAttrLog::Demuxer::forEachDemuxer([&](NboAttrLog::Demuxer& d) {
    if (!(sa->entityId() & 1)) return;
    Ptr<StreamAdapter> r = d.reactor(sa->entityId());
    if (!r || r->zefNotifierEntity() != sa->zefNotifierEntity()) return;
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
    syncModeRecord(sa, *stream);
    return;
  }
  auto* e = sa->zefEntity();
  if (!e || !row->read) {
    // An owned child travels as child records, never as a value.
    throw AttrLogEntityException(format("attribute %d has no value record", a).charPtr(), {});
  }
  // Read in full before anything is applied: a short record changes nothing.
  row->read(*e, *stream, !in, sa->msgChannelEntry());
  // With an explicit stream the other end asks for the value again.
  if (in) (sa->*row->handler)();
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
  for (; i < rows.size(); ++i) {
    fo->attrIdIs(rows[i].id);
    auto* bits = sa->zefOwnDirty();
    if (rows[i].serialize) {
      rows[i].serialize(sa);
    } else if (bits && bits->test(rows[i].bit)) {
      // Written now: the bit is clear unless the write defers it again. A
      // flow-out kept after its pass (a directory's, or one reused for the
      // next change) then holds only what is still owed.
      bits->set(rows[i].bit, false);
      (sa->*rows[i].handler)();
    }
    // A collection that paused in its first synchronisation resumes where
    // it stopped, before any later row: its bookmark is a key of its own.
    if (fo->eidsExhausted() || (rows[i].serialize && fo->hasBookmark())) return rows[i].id;
    if (i + 1 == rows.size()) return 0;
    if (!sa->continueFlowOut()) return rows[i + 1].id;
  }
  return 0;
}

// A new flow-out marks every attribute from `start` on, compared unsigned:
// 0 marks all, kNoAttribute none.
template <class Bits, class Sa>
void markFrom(Bits& bits, std::span<AttrRow<Sa> const> rows, AttributeId start) {
  // A collection's bit says it has synced: a new flow-out has not.
  for (auto const& r : rows) {
    if (!r.serialize) bits.set(r.bit, std::uint32_t(start) <= std::uint32_t(r.id));
  }
}

// Calls the adapter's own onX() for `id`; false when this level has none.
template <class Sa>
bool doNotificationOf(Sa* sa, std::span<AttrRow<Sa> const> rows, AttributeId id) {
  auto const* r = rowOf(rows, id);
  if (r) (sa->*r->handler)();
  return r;
}

}  // namespace Zef::Repl
