// The algorithms of a directory's collections on an attribute log, once:
// membership travels key by key (member present, member gone), the first
// synchronisation of a collection is one transaction (marker 0, the members,
// marker 2) that stops and resumes at a bookmarked name, and later changes
// wait as dirty keys. The mount applies the records through the directory's
// own operations and sweeps what the writer no longer has.
//
// A directory's generated adapter supplies one KeyedRow per collection.
#pragma once

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "containers/hash_map.h"
#include "replication/state_adapter.h"

namespace Zef::Repl {

// One dirty key of a collection: send this member's state again. Each
// collection's flow-out names its own record type, Self, which links
// through its own fwkHmNext.
template <class Self>
class DirtyKeyRecord : public PtrInterface {
 public:
  Ptr<Self> fwkHmNext;

  Name const& fwkKey() const { return key_; }
  Name const& key() const { return key_; }
  bool dirty() const { return dirty_; }
  void dirtyIs(bool b) { dirty_ = b; }

 protected:
  DirtyKeyRecord(Name key, bool dirty) : key_(std::move(key)), dirty_(dirty) {}

 private:
  Name key_;
  bool dirty_;
};

// A collection's dirty keys, as the algorithms see them whatever the
// collection's record type.
class DirtyKeyMap {
 public:
  virtual void keyIs(Name const& key, bool v) = 0;
  // Removes the key's record; its flag, false when there was none.
  virtual bool keyDel(Name const& key) = 0;
  // The first key in the map's order.
  virtual std::optional<Name> first() const = 0;
  virtual std::uint32_t size() const = 0;
  bool empty() const { return size() == 0; }

 protected:
  ~DirtyKeyMap() = default;
};

template <class R>
class DirtyKeyMapOf final : public DirtyKeyMap {
 public:
  using Iterator = typename HashMap<R, Name>::Iterator;

  // A record for a key that has none: one key, one record.
  Ptr<R> newKey(Name const& key, bool v) {
    if (map_[key]) throwNameInUseException(("dirty key already recorded: " + String8(key)).charPtr());
    return insert(key, v);
  }
  void keyIs(Name const& key, bool v) override {
    if (R* r = map_[key]) r->dirtyIs(v);
    else insert(key, v);
  }
  bool keyDel(Name const& key) override {
    Ptr<R> r = map_.memberDel(key);
    return r && r->dirty();
  }
  std::optional<Name> first() const override {
    typename HashMap<R, Name>::IteratorConst it(&map_);
    if (!it) return std::nullopt;
    return it->fwkKey();
  }
  std::uint32_t size() const override { return map_.memberCount(); }
  Iterator iterator() { return Iterator(&map_); }

 private:
  Ptr<R> insert(Name const& key, bool v) {
    Ptr<R> r(new R(key, v), adoptRef);
    map_.memberIs(r);
    return r;
  }

  HashMap<R, Name> map_;
};

// The header word that marks a member or child present record.
inline constexpr std::uint32_t kMemberPresentWord = 151;

template <class Sa>
struct KeyedRow {
  using E = typename Sa::ZefEntity;
  AttributeId id;
  // The collection's HasSynced bit in the directory's own dirty bits.
  unsigned hasSyncedBit;
  DirtyKeyMap& (*dirtyMap)(typename Sa::FlowOut&);
  // The first member's key at or after `from` (after it, when `after`), or
  // the first of all when `from` is null.
  std::optional<Name> (*keyFrom)(E& d, Name const* from, bool after);
  Ptr<Entity> (*member)(E const& d, Name const& key);
  // Entity collections: the member's constructor arguments after its name.
  void (*writeArgs)(Ptr<NboAttrLog::Out> const&, NboAttrLog::Demuxer&, Entity const& member);
  // Reads the arguments and the member's entity id, then finds or makes the
  // member; a member with other arguments is made again.
  Ptr<Entity> (*memberIs)(E& d, Name const& name, NboAttrLog::In& in, EntityId& eid);
  void (*memberDel)(E& d, Name const& name);
  // Reference collections: `member` gives the referenced entity; these set
  // a reference and give the record that holds it (it carries the mark of a
  // transaction).
  void (*referenceIs)(E& d, Ptr<Entity> const& target);
  Ptr<PtrInterface> (*record)(E const& d, Name const& key);
  // The adapter's onX(key), for a record read from an explicit stream.
  void (Sa::*keyHandler)(Name);
};

// The attribute a record of `a` is about: a record of -a takes back what one
// of a adds. The most negative id has no magnitude to negate to, and names
// no attribute.
inline AttributeId attributeMagnitude(AttributeId a) {
  if (a == std::numeric_limits<AttributeId>::min()) return 0;
  return a < 0 ? -a : a;
}

template <class Sa>
KeyedRow<Sa> const* keyedRowOf(std::span<KeyedRow<Sa> const> rows, AttributeId a) {
  AttributeId id = attributeMagnitude(a);
  for (auto const& r : rows) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

// Finds or makes a member; one with other constructor arguments is made
// again with these.
template <class E, class Make>
Ptr<Entity> memberAgain(E& d, Make make, void (*del)(E&, Name const&), Name const& name) {
  try {
    return make();
  } catch (Exception const&) {
    del(d, name);
    return make();
  }
}

// The flags of a member's adapter: the directory's, less those that say
// what the directory's own adapter is doing.
template <class Sa>
PtrInterface::NotifieeConst::Zef_BitSet childFlags(Sa* sa) {
  auto f = sa->notificationFlags();
  f.isActiveIs(false);
  f.isMountPointIs(false);
  f.isMarkedForDeletionIs(false);
  f.isResynchronizingIs(false);
  f.isPreparedIs(false);
  f.isMonitoringIs(false);
  return f;
}

// A member's adapter on the directory's log, announced with a member
// present record. An adapter already announced writes nothing again.
template <class Sa>
Ptr<Entity::ZefNboAttrLogSa> announceMember(Sa* sa, KeyedRow<Sa> const& row, Entity* member, Name const& key,
                                            NboAttrLog::Demuxer& d) {
  Ptr<NboAttrLog::Out> const& out = sa->nboAttrLogOut();
  Ptr<Entity::ZefNboAttrLogSa> msa = member->zefNboAttrLogSa(Ptr<NboAttrLog::Out const>(out));
  if (msa && msa->zef_bitSet.wasSerialized()) {
    msa->notificationFlagsIs(childFlags(sa));
    return msa;
  }
  if (!msa) {
    msa = member->zefNboAttrLogSaIs(childFlags(sa), 1, out, sa->msgChannelEntry());
    // The directory holds its members; the log follows them, not the reverse.
    msa->isWeakReferenceIs(true);
  }
  if (row.writeArgs) announceArguments(row.writeArgs, d, *member);
  out->nextHeaderIs(NboAttrLog::MsgHeader{sa->entityId(), row.id, 1, 0, kMemberPresentWord, 0});
  out << NboAttrLog::TransactToken{1} << String8(key);
  if (row.writeArgs) row.writeArgs(out, d, *member);
  out << std::uint64_t(msa->entityId()) << NboAttrLog::TransactToken{3};
  msa->zef_bitSet.wasSerializedIs(true);
  msa->zefIsAnnouncedIs(true);
  // Then every attribute of the member, as the buffer allows.
  d.createFlowOut(Ptr<StreamAdapter>(msa.ptr()), ConnectDesc(EntityUriPath(""), EntityUriPath("")), false, 0);
  return msa;
}

// One key: write its record now, or mark it dirty for a later pass.
template <class Sa>
void keyChanged(Sa* sa, KeyedRow<Sa> const& row, Name const& key, Ptr<Entity> const& member) {
  // Applying a record here (the mount): the record itself made the change.
  if (!mayWrite(sa, row.id) || sa->isApplying()) return;
  ClearIsActiveAnchor anchor(sa);
  auto defer = [&] {
    NboAttrLog::FlowOut* fo = sa->zefDeferTo(row.id);
    if (fo) row.dirtyMap(*static_cast<typename Sa::FlowOut*>(fo)).keyIs(key, true);
  };
  switch (chooseSend(sa, row.id)) {
    case Send::nothing:
      return;
    case Send::later:
      return defer();
    case Send::nowPrepared:
      if (auto* fo = sa->flowOut().ptr()) row.dirtyMap(*fo).keyDel(key);
      break;
    case Send::now:
      break;
  }
  if (!sa->zefIsAnnounced()) sa->doSerializeOrphan();
  Ptr<NboAttrLog::Out> const& out = sa->nboAttrLogOut();
  for (;;) {
    try {
      Expect scope(NboAttrLog::kRecordInterruptedExceptionId);
      Ptr<NboAttrLog::Demuxer> d(sa->streamDemuxer());
      if (row.referenceIs) {
        EntityId eid = d->connectionEidFor(member.ptr());
        out->nextHeaderIs(NboAttrLog::MsgHeader{sa->entityId(), member ? row.id : -row.id});
        out << NboAttrLog::TransactToken{1} << std::uint64_t(eid) << String8(key) << NboAttrLog::TransactToken{3};
      } else if (!member) {
        out->nextHeaderIs(NboAttrLog::MsgHeader{sa->entityId(), -row.id});
        out << NboAttrLog::TransactToken{1} << String8(key) << NboAttrLog::TransactToken{3};
      } else {
        announceMember(sa, row, member.ptr(), key, *d);
      }
      return;
    } catch (AttrLogRecordException const&) {
      continue;
    } catch (EntityIdUnavailableException const&) {
      defer();
      if (auto* fo = sa->zefFlowOut()) fo->eidsExhaustedIs(true);
      return;
    }
  }
}

// onX(key) of a collection: the channel hears of the key first.
template <class Sa>
void keyNotified(Sa* sa, KeyedRow<Sa> const& row, Name const& key) {
  internalWriteHook(sa, row.id, &key);
  auto* e = sa->zefEntity();
  keyChanged(sa, row, key, e ? row.member(*e, key) : nullptr);
}

// The collection's part of a scheduled pass: the first full synchronisation,
// then the dirty keys.
template <class Sa>
void serializeCollection(Sa* sa, KeyedRow<Sa> const& row) {
  if (!mayWrite(sa, row.id) || !sa->isOkToSerialize()) return;
  auto* e = sa->zefEntity();
  if (!e) return;
  auto* fo = sa->flowOut().ptr();
  auto* bits = sa->zefOwnDirty();
  bool synced = bits && bits->test(row.hasSyncedBit);
  if (!fo || (!fo->isKeysOnly() && !synced)) {
    std::optional<Name> key;
    if (fo && fo->hasBookmark()) {
      Name at = fo->bookmarkDeq();
      key = row.keyFrom(*e, &at, false);
    } else {
      sa->sendTransactionMarker(row.id, StreamAdapter::transactionOpen, 0);
      key = row.keyFrom(*e, nullptr, false);
    }
    while (key) {
      keyChanged(sa, row, *key, row.member(*e, *key));
      if (fo && !fo->eidsExhausted()) row.dirtyMap(*fo).keyDel(*key);
      std::optional<Name> next = row.keyFrom(*e, &*key, true);
      if (fo && next && !sa->continueFlowOut()) {
        fo->bookmarkIs(*next);
        return;
      }
      key = std::move(next);
    }
    sa->sendTransactionMarker(row.id, StreamAdapter::transactionClose, 0);
    if (bits) bits->set(row.hasSyncedBit, true);
  } else if (fo->attrId() == row.id && !synced) {
    bits->set(row.hasSyncedBit, true);
    sa->sendTransactionMarker(row.id, StreamAdapter::transactionClose, 0);
  }
  if (!fo) return;
  DirtyKeyMap& dirty = row.dirtyMap(*fo);
  while (auto key = dirty.first()) {
    if (!sa->continueFlowOut()) return;
    keyChanged(sa, row, *key, row.member(*e, *key));
    if (fo->eidsExhausted()) return;
    dirty.keyDel(*key);
  }
}

// Work left in a collection of this flow-out: not synced, or keys dirty.
template <class Sa>
bool collectionPending(Sa const*, KeyedRow<Sa> const& row, typename Sa::FlowOut& fo,
                       NboAttrLog::DirtyBits<1> const& bits) {
  return (!fo.isKeysOnly() && !bits.test(row.hasSyncedBit)) || !row.dirtyMap(fo).empty();
}

// A member or child made on the mount takes the entity id it was announced
// under, with an adapter that holds it weakly: the directory holds it. It
// joins the directory's channel, and the channel says a member was applied.
template <class Sa>
void bindMounted(Sa* sa, Ptr<Entity> const& member, EntityId eid) {
  if (!NboAttrLog::isEntityId(eid)) throw RangeException(format("member record: %d is not an entity id", eid).charPtr());
  PtrInterface::NotifieeConst::Zef_BitSet flags;
  flags.isMountRemoteIs(true);
  Ptr<NboAttrLog::Out> const& out = sa->nboAttrLogOut();
  // A member already on this log under another id leaves it first.
  member->zefNboAttrLogSaDel(Ptr<NboAttrLog::Out const>(out));
  Ptr<Entity::ZefNboAttrLogSa> msa;
  {
    MsgChannel::DeserializingEidAnchor anchor(eid, sa->zefEntity());
    msa = member->zefNboAttrLogSaIs(flags, 1, out, sa->msgChannelEntry());
  }
  msa->zefIsAnnouncedIs(true);
  msa->zef_bitSet.isMarkedForDeletionIs(false);
  if (auto* chan = sa->msgChannelEntry()) chan->modeIs(MsgChannel::Constrainer::ZefEntry::modeApplied);
}

// Extension sections. A record of attribute 144 (or -144) opens with a
// section that a newer writer may grow and an older reader skips: two 16-bit
// offsets L and M, counted from the section's first byte, then 32-bit
// attribute ids up to L. The first id that is one of the adapter's own
// collection or child ids is what the record stands for, and the reader
// skips to L; a positive one is followed by a 32-bit value this version does
// not use. In a present record, what lies between the name and M is skipped.
inline constexpr AttributeId kExtensionAttrId = 144;

struct ExtendedRecord {
  // The attribute the record stands for; 0 when the section names none of
  // the adapter's ids, and the record has been skipped whole.
  AttributeId a = 0;
  // Where a present record's name ends for this version; 0 where it ends.
  std::size_t afterName = 0;
};

inline bool isExtensionRecord(AttributeId a) { return a == kExtensionAttrId || a == -kExtensionAttrId; }

inline void skipTo(NboAttrLog::In& in, std::size_t offset, char const* what) {
  if (offset < in.offset()) {
    throw RangeException(format("extension section: %s at offset %d lies before offset %d, already read", what, offset,
                                in.offset())
                             .charPtr());
  }
  in.skip(offset - in.offset());
}

// Reads the section; every offset is checked against the record before the
// reader moves, so a section that claims more than the record holds is
// refused with nothing applied.
inline ExtendedRecord extensionSection(NboAttrLog::In& in, std::span<AttributeId const> own) {
  std::size_t start = in.offset();
  std::size_t end = start + in.remaining();
  std::size_t l = in.nextU16();
  std::size_t m = in.nextU16();
  if (l < 4 || start + l > end) {
    throw RangeException(format("extension section: L of %d bytes, the record holds %d", l, end - start).charPtr());
  }
  ExtendedRecord r;
  while (in.offset() - start < l) {
    if (in.offset() - start + 4 > l) throw RangeException("extension section: an attribute id crosses L");
    AttributeId id = in.nextint();
    if (id && std::find(own.begin(), own.end(), attributeMagnitude(id)) != own.end()) {
      r.a = id;
      break;
    }
  }
  if (!r.a) {
    // For attributes this version does not have: nothing here to apply.
    in.skip(in.remaining());
    return r;
  }
  skipTo(in, start + l, "L");
  if (r.a > 0) {
    in.nextU32();
    if (m && start + m > end) {
      throw RangeException(format("extension section: M of %d bytes, the record holds %d", m, end - start).charPtr());
    }
    if (m) r.afterName = start + m;
  }
  return r;
}

// A member's or child's name, and past the bytes a newer writer put after it.
inline Name recordName(NboAttrLog::In& in, std::size_t afterName) {
  Name name(in.nextString());
  if (afterName) skipTo(in, afterName, "M");
  return name;
}

// The mount's side of a member record: present (with the member's
// arguments and its entity id), or gone.
template <class Sa>
void applyKeyRecord(Sa* sa, KeyedRow<Sa> const& row, bool present, NboAttrLog::In& in, std::size_t afterName = 0) {
  auto* e = sa->zefEntity();
  if (!e) return;
  if (row.referenceIs) {
    Ptr<Entity> target = in.nextEntity();
    Name key = recordName(in, afterName);
    if (in.remaining()) throw RangeException("reference record: bytes beyond its key");
    if (present) {
      if (!target) throw AttrLogEntityException("reference record names no entity", {});
      if (target->name() != key) throw AttrLogEntityException("reference record: key and entity name differ", {});
      row.referenceIs(*e, target);
    } else {
      row.memberDel(*e, key);
    }
    return;
  }
  Name name = recordName(in, afterName);
  if (!present) {
    if (in.remaining()) throw RangeException("member gone record: bytes beyond its name");
    row.memberDel(*e, name);
    return;
  }
  EntityId eid = 0;
  Ptr<Entity> member = row.memberIs(*e, name, in, eid);
  bindMounted(sa, member, eid);
}

// A transaction on a collection of the mount: opening marks every member,
// closing removes the members the writer did not send meanwhile.
template <class Sa>
void collectionTransaction(Sa* sa, KeyedRow<Sa> const& row, StreamAdapter::AttrTransactionType type) {
  auto* e = sa->zefEntity();
  if (!e || type == StreamAdapter::transactionAbort) return;
  bool open = type == StreamAdapter::transactionOpen;
  Ptr<NboAttrLog::Out const> out(sa->nboAttrLogOut());
  std::vector<Name> gone;
  for (auto key = row.keyFrom(*e, nullptr, false); key; key = row.keyFrom(*e, &*key, true)) {
    if (row.record) {
      Ptr<PtrInterface> r = row.record(*e, *key);
      if (open) r->zefMarkedForDeletionIs(true);
      else if (r->zefMarkedForDeletion()) gone.push_back(*key);
      continue;
    }
    Ptr<Entity> member = row.member(*e, *key);
    Ptr<Entity::ZefNboAttrLogSa> msa = member ? member->zefNboAttrLogSa(out) : nullptr;
    if (open) {
      if (msa) msa->zef_bitSet.isMarkedForDeletionIs(true);
    } else if (!msa || msa->zef_bitSet.isMarkedForDeletion()) {
      gone.push_back(*key);
    }
  }
  for (Name const& key : gone) row.memberDel(*e, key);
}

// An owned child (the statistics of a status): written like a one-member
// collection, with a dirty bit for its dirty key.
template <class Sa>
void writeChildRecord(Sa* sa, AttrRow<Sa> const& row, Ptr<Entity> const& child) {
  if (!sa->zefIsAnnounced()) sa->doSerializeOrphan();
  Ptr<NboAttrLog::Out> const& out = sa->nboAttrLogOut();
  if (!child) {
    out->nextHeaderIs(NboAttrLog::MsgHeader{sa->entityId(), -row.id, 0, 0, 0, 0});
    out << NboAttrLog::TransactToken{1} << NboAttrLog::TransactToken{3};
    return;
  }
  try {
    Ptr<NboAttrLog::Demuxer> d(sa->streamDemuxer());
    Ptr<Entity::ZefNboAttrLogSa> csa = child->zefNboAttrLogSa(Ptr<NboAttrLog::Out const>(out));
    if (!csa) {
      csa = child->zefNboAttrLogSaIs(childFlags(sa), 1, out, sa->msgChannelEntry());
      csa->isWeakReferenceIs(true);
    }
    out->nextHeaderIs(NboAttrLog::MsgHeader{sa->entityId(), row.id, 1, 0, kMemberPresentWord, 0});
    out << NboAttrLog::TransactToken{1} << String8(child->name()) << std::uint64_t(csa->entityId())
        << NboAttrLog::TransactToken{3};
    // The first time the other end hears of the child, every attribute follows.
    bool first = !csa->zefIsAnnounced();
    csa->zefIsAnnouncedIs(true);
    if (first) d->createFlowOut(Ptr<StreamAdapter>(csa.ptr()), ConnectDesc(EntityUriPath(""), EntityUriPath("")), false, 0);
  } catch (EntityIdUnavailableException const&) {
    deferAttr(sa, row);
    if (auto* fo = sa->zefFlowOut()) fo->eidsExhaustedIs(true);
  }
}

template <class Sa>
void childChanged(Sa* sa, AttrRow<Sa> const& row, Ptr<Entity> const& child) {
  internalWriteHook(sa, row.id, nullptr);
  // Applying a record here (the mount): the record itself made the change.
  if (sa->isApplying()) return;
  rowChanged(sa, row, [&] { writeChildRecord(sa, row, child); });
}

template <class Sa>
void applyChildRecord(Sa* sa, bool present, NboAttrLog::In& in,
                      Ptr<Entity> (*make)(typename Sa::ZefEntity&, Name const&),
                      void (*del)(typename Sa::ZefEntity&), std::size_t afterName = 0) {
  auto* e = sa->zefEntity();
  if (!e) return;
  if (!present) {
    if (in.remaining()) throw RangeException("child gone record: bytes beyond its header");
    del(*e);
    return;
  }
  Name name = recordName(in, afterName);
  EntityId eid = in.nextEntityId();
  if (in.remaining()) throw RangeException("child present record: bytes beyond its entity id");
  if (!NboAttrLog::isEntityId(eid)) throw RangeException(format("child record: %d is not an entity id", eid).charPtr());
  bindMounted(sa, make(*e, name), eid);
}

// Records of a directory's collections, or of an entity's owned child:
// the active and read-only checks of every record, then the record.
template <class Sa, class Apply>
void keyedDeserialization(Sa* sa, AttributeId a, NboAttrLog::In* in, Apply apply) {
  NboAttrLog::Demuxer* d = sa->streamDemuxer();
  NboAttrLog::In* stream = in ? in : (d ? d->currentIn() : nullptr);
  if (!stream) return;
  IsActiveAnchor anchor;
  if (!in) beginApplying(sa, attributeMagnitude(a), anchor);
  apply(*stream, in != nullptr);
}

// A directory's operations over all its collections.

// Sends every collection again: the full synchronisation's part of each.
template <class Sa>
void instantiateCollections(Sa* sa, std::span<KeyedRow<Sa> const> rows) {
  sa->StreamAdapter::zefInstantiateSerialize();
  for (auto const& row : rows) serializeCollection(sa, row);
}

// The runtime abandons a flow-out's resynchronisation: a bookmark it held
// for one of these collections goes with it.
template <class Sa>
void freeCollectionsResyncState(std::span<KeyedRow<Sa> const> rows, NboAttrLog::FlowOut* fo) {
  if (!fo || !fo->hasBookmark()) return;
  for (auto const& row : rows) {
    if (row.id == fo->attrId()) fo->bookmarkDeq();
  }
}

// Mounted again on `out`: the members' adapters leave the log; a following
// full synchronisation announces them anew.
template <class Sa>
void remountCollections(Sa* sa, std::span<KeyedRow<Sa> const> rows, Ptr<NboAttrLog::Out> const& out) {
  auto* e = sa->zefEntity();
  if (!e) return;
  for (auto const& row : rows) {
    if (row.referenceIs) continue;
    for (auto key = row.keyFrom(*e, nullptr, false); key; key = row.keyFrom(*e, &*key, true)) {
      if (Ptr<Entity> member = row.member(*e, *key)) member->zefNboAttrLogSaDel(Ptr<NboAttrLog::Out const>(out));
    }
  }
}

// Entering the full sync mode marks the members, leaving it sweeps what is
// still marked: a transaction driven by the mode instead of markers.
template <class Sa>
void collectionsSyncModeIs(Sa* sa, std::span<KeyedRow<Sa> const> rows, StreamAdapter::SyncMode mode) {
  sa->StreamAdapter::syncModeIs(mode);
  if (!sa->isApplying()) return;
  auto type = mode == StreamAdapter::syncModeFull ? StreamAdapter::transactionOpen : StreamAdapter::transactionClose;
  for (auto const& row : rows) collectionTransaction(sa, row, type);
}

// Member iteration of a directory by its generated iterators.
template <class E, auto Iterator, auto IteratorConst>
std::optional<Name> keyFrom(E& d, Name const* from, bool after) {
  if (!from) {
    auto it = (d.*Iterator)();
    if (!it) return std::nullopt;
    return Name(it->fwkKey());
  }
  auto it = (d.*IteratorConst)(*from);
  if (it && after && it->fwkKey() == *from) ++it;
  if (!it) return std::nullopt;
  return Name(it->fwkKey());
}

template <class E, auto Get>
Ptr<Entity> memberOf(E const& d, Name const& key) {
  return Ptr<Entity>((d.*Get)(key).ptr());
}

template <class E, auto Del>
void memberDelOf(E& d, Name const& key) {
  (d.*Del)(key);
}

// Reference collections: the records carry the mark of a transaction.
template <class E, class Target, auto Set, auto Record>
void referenceIsOf(E& d, Ptr<Entity> const& target) {
  auto* t = dynamic_cast<Target*>(target.ptr());
  if (!t) throw AttrLogEntityException("Entity is the wrong type", {});
  (d.*Set)(Ptr<Target>(t));
  // The record holds it again: it is no longer marked for the sweep.
  if (auto r = (d.*Record)(t->name())) r->zefMarkedForDeletionIs(false);
}

template <class E, auto Record>
Ptr<PtrInterface> recordOf(E const& d, Name const& key) {
  return Ptr<PtrInterface>((d.*Record)(key).ptr());
}

}  // namespace Zef::Repl
