// The part of every entity's attribute-log state adapter that does not depend
// on its attributes, once: the adapter's framework operations, its flow-out
// and its reactor. A generated adapter derives from StateAdapterOf and
// supplies its level's tables:
//
//   static AttrRow<Sa> const zefRowTable[N];              every level
//   static std::span<KeyedRow<Sa> const> zefKeyedRows();   with collections
//   static std::span<ChildRow<Sa> const> zefChildRows();   with owned children
//   static std::span<AttributeId const> zefKeyedIds();     with either: their ids
//   template <class R> struct ZefHears_;   its attributes' handlers on reactor R,
//                                          over ZefHearsOver_<R>
//   template <class B> struct ZefBitsOf_;  its dirty bits' named setters over B
//   class FlowOut;                         a ZefBitsOf_<FlowOutOf<...>>
//
// A derived type's adapter derives from its base type's adapter the same way,
// one level each.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "replication/collection.h"
#include "replication/state_adapter.h"

namespace Zef::Repl {

// Where a type derived from a model entity numbers its own attributes from,
// as the generator checks them (FIRST_ID_DERIVED); a rooted type's own rows
// start at isNondestructing.
inline constexpr AttributeId kFirstDerivedAttrId = 386;
inline constexpr AttributeId kIsNondestructingAttrId = 6;

// An owned child: how to read, make and drop it.
template <class Sa>
struct ChildRow {
  using E = typename Sa::ZefEntity;
  AttributeId id;
  Ptr<Entity> (*get)(E const&);
  Ptr<Entity> (*make)(E&, Name const&);
  void (*del)(E&);
};

template <class E, auto Get>
Ptr<Entity> childOf(E const& e) {
  return Ptr<Entity>((e.*Get)().ptr());
}

template <class E, auto Make>
Ptr<Entity> childIsOf(E& e, Name const& name) {
  return Ptr<Entity>((e.*Make)(name).ptr());
}

template <class E, auto Del>
void childDelOf(E& e) {
  (e.*Del)();
}

// A level declares its own collections' and children's rows; a derived level
// without any sees its base's, typed for the base.
template <class Sa>
concept OwnKeyedRows = requires {
  { Sa::zefKeyedRows() } -> std::same_as<std::span<KeyedRow<Sa> const>>;
};
template <class Sa>
concept OwnChildRows = requires {
  { Sa::zefChildRows() } -> std::same_as<std::span<ChildRow<Sa> const>>;
};

// A collection's dirty keys on the flow-out, for its keyed row.
template <class Sa, auto Map>
DirtyKeyMap& dirtyMapOf(typename Sa::FlowOut& fo) {
  return fo.*Map;
}

// Constructor arguments, written by the entity's getters in order.
template <class E, auto... Get>
void writeArgsOf(Ptr<NboAttrLog::Out> const& out, NboAttrLog::Demuxer& d, E const& e) {
  (writeArgument(out, d, (e.*Get)()), ...);
  (void)out, (void)d, (void)e;
}

template <class M, auto... Get>
void writeMemberArgs(Ptr<NboAttrLog::Out> const& out, NboAttrLog::Demuxer& d, Entity const& m) {
  writeArgsOf<M, Get...>(out, d, static_cast<M const&>(m));
}

template <class F>
struct EntityFromLog;
template <class R, class... A>
struct EntityFromLog<R (*)(Name, A...)> {
  template <auto Is>
  static Ptr<Entity> read(NboAttrLog::In& in) {
    Name name(in.nextString());
    // Braces read the arguments in the order they were written.
    std::tuple<std::decay_t<A>...> args{readValue<std::decay_t<A>>(in)...};
    return std::apply([&](auto const&... a) -> Ptr<Entity> { return Is(std::move(name), a...); }, args);
  }
};

// An announced entity: its name and constructor arguments, made by `Is`.
template <auto Is>
Ptr<Entity> entityFromLog(NboAttrLog::In& in) {
  return EntityFromLog<decltype(Is)>::template read<Is>(in);
}

template <class F>
struct MemberIsOf;
template <class D, class R, class... A>
struct MemberIsOf<R (D::*)(Name, A...)> {
  template <class E, auto Is, auto Del>
  static Ptr<Entity> read(E& dir, Name const& name, NboAttrLog::In& in, EntityId& eid) {
    // Braces read the arguments in the order they were written.
    std::tuple<std::decay_t<A>...> args{readValue<std::decay_t<A>>(in)...};
    eid = in.nextEntityId();
    if (in.remaining()) throwRangeException("member present record: bytes beyond its entity id");
    auto make = [&](auto const&... a) {
      return memberAgain(dir, [&] { return Ptr<Entity>((dir.*Is)(name, a...).ptr()); }, Del, name);
    };
    return std::apply(make, args);
  }
};

// A member present record: the member's arguments after its name, then its
// entity id; a member with other arguments is made again.
template <class E, auto Is, auto Del>
Ptr<Entity> memberIsOf(E& dir, Name const& name, NboAttrLog::In& in, EntityId& eid) {
  return MemberIsOf<decltype(Is)>::template read<E, Is, Del>(dir, name, in, eid);
}

// The collection and child records of a level, read directly or through an
// extension section that names one of the level's ids. False when `a` is
// none of them.
template <class Sa>
bool keyedRecord(Sa* sa, AttributeId a, NboAttrLog::In* in) {
  std::span<AttributeId const> own = Sa::zefKeyedIds();
  AttributeId id = attributeMagnitude(a);
  if (!isExtensionRecord(a) && std::find(own.begin(), own.end(), id) == own.end()) return false;
  keyedDeserialization(sa, a, in, [&](NboAttrLog::In& s, bool explicitStream) {
    ExtendedRecord r{a, 0};
    if (isExtensionRecord(a)) r = extensionSection(s, own);
    if constexpr (OwnKeyedRows<Sa>) {
      if (auto const* k = keyedRowOf(Sa::zefKeyedRows(), r.a)) {
        if (explicitStream) (sa->*k->keyHandler)(recordName(s, r.afterName));
        else applyKeyRecord(sa, *k, r.a > 0, s, r.afterName);
      }
    }
    if constexpr (OwnChildRows<Sa>) {
      for (auto const& c : Sa::zefChildRows()) {
        if (r.a != c.id && r.a != -c.id) continue;
        if (explicitStream) (sa->*rowOf(Sa::zefRows(), c.id)->handler)();
        else applyChildRecord(sa, r.a > 0, s, c.make, c.del, r.afterName);
      }
    }
  });
  return true;
}

template <class Sa, class E>
class AdapterReactor;

template <class Base, class R>
struct HearsOver {
  using type = typename Base::template ZefHears_<R>;
};
template <class R>
struct HearsOver<Entity::ZefNboAttrLogSa, R> {
  using type = R;
};

// One level of an entity type's adapter. Sa is the generated adapter, E its
// entity, Base the base type's adapter or Entity::ZefNboAttrLogSa.
template <class Sa, class E, class Base, StreamAdapter::FlowOutPriority Priority>
class StateAdapterOf : public Base {
  static constexpr bool kRooted = std::is_same_v<Base, Entity::ZefNboAttrLogSa>;

 public:
  using ZefEntity = E;
  using Zef_BitSet = PtrInterface::NotifieeConst::Zef_BitSet;
  using DeserializationOptions = StreamAdapter::DeserializationOptions;
  using ZefNboAttrLogSaAdapter_ = AdapterReactor<Sa, E>;
  // What this level's ZefHears_ builds on: the base level's, or the reactor.
  template <class R>
  using ZefHearsOver_ = typename HearsOver<Base, R>::type;

  static ValidPtr<Sa> ZefNboAttrLogSaIs(Zef_BitSet flags, Ptr<E> const& entity, unsigned n,
                                        Ptr<NboAttrLog::Out> const& out, PtrInterface* owner) {
    return newStateAdapter<Sa>(flags, entity, n, out, owner);
  }

  // The entity served; null once a weakly held entity went.
  E* zefEntity() const {
    return static_cast<E*>(const_cast<PtrInterface*>(PtrInterface::NotifieeConst::notifier().ptr()));
  }
  Ptr<E> notifier() const { return Ptr<E>(zefEntity()); }
  auto flowOut() const {
    using Fo = typename Sa::FlowOut;
    return Ptr<Fo>(static_cast<Fo*>(this->zefFlowOut()));
  }
  // This level's rows, read where the rows are defined as constants.
  static std::span<AttrRow<Sa> const> zefRows() { return Sa::zefRowTable; }
  // This level's dirty bits in the current flow-out; null without one.
  auto* zefOwnDirty() const {
    auto* fo = static_cast<typename Sa::FlowOut*>(this->zefFlowOut());
    return fo ? &fo->zefOwnBits() : nullptr;
  }

  // Framework operations.
  void hasNotificationActiveIs(bool b) override { stateAdapterNotificationActiveIs(this, b); }
  ~StateAdapterOf() override { stateAdapterRetire(this); }
  void notifierIs(Ptr<PtrInterface const> const& n) override { stateAdapterNotifierIs(this, n); }
  AttributeId handleAttrFlowOut(AttributeId start) override {
    return attrFlowOutPass(self(), start, Sa::zefRows(), kRooted ? kIsNondestructingAttrId : kFirstDerivedAttrId,
                           +[](Sa* sa, AttributeId s) { return sa->Base::handleAttrFlowOut(s); });
  }
  Ptr<Entity const> zefNotifierEntity() const override { return Ptr<Entity const>(zefEntity()); }
  Ptr<Entity> zefNotifierEntity() override { return Ptr<Entity>(zefEntity()); }
  Ptr<NboAttrLog::FlowOut> flowOutIs(Ptr<NboAttrLog::Out> const& out, ConnectDesc desc, bool b,
                                     AttributeId start) override {
    return Sa::FlowOut::FlowOutIs(out, Ptr<StreamAdapter>(this), std::move(desc), b, start);
  }
  void handleAttrDeserialization(AttributeId a, DeserializationOptions opts, unsigned n,
                                 Ptr<NboAttrLog::In> const& in) override {
    if constexpr (OwnKeyedRows<Sa> || OwnChildRows<Sa>) {
      if (keyedRecord(self(), a, in.ptr())) return;
    }
    attrDeserialization(self(), a, opts, n, in.ptr(), Sa::zefRows(),
                        +[](Sa* sa, AttributeId a, DeserializationOptions opts, unsigned n, NboAttrLog::In* in) {
                          sa->Base::handleAttrDeserialization(a, opts, n, in);
                        });
  }
  void doNotification(AttributeId id, void* arg) override {
    if (!doNotificationOf(self(), Sa::zefRows(), id)) Base::doNotification(id, arg);
  }
  void zefDoZombieReactors(bool z) override { stateAdapterZombieIs(this, z); }
  StreamAdapter::FlowOutPriority zefFlowOutPriority() const override { return Priority; }

  // A directory's collections.
  void handleAttrTransaction(AttributeId a, StreamAdapter::AttrTransactionType type, unsigned n) override {
    if constexpr (OwnKeyedRows<Sa>) {
      if (auto const* k = keyedRowOf(Sa::zefKeyedRows(), a)) collectionTransaction(self(), *k, type);
    }
    Base::handleAttrTransaction(a, type, n);
  }
  void zefInstantiateSerialize() override {
    if constexpr (OwnKeyedRows<Sa>) instantiateCollections(self(), Sa::zefKeyedRows());
    else Base::zefInstantiateSerialize();
  }
  void freeResyncState(Ptr<NboAttrLog::FlowOut> const& fo) override {
    if constexpr (OwnKeyedRows<Sa>) freeCollectionsResyncState(Sa::zefKeyedRows(), fo.ptr());
    else Base::freeResyncState(fo);
  }
  void doRemountSelf(Ptr<NboAttrLog::Out> const& out) override {
    if constexpr (OwnKeyedRows<Sa>) {
      Entity::ZefNboAttrLogSa::doRemountSelf(out);
      remountCollections(self(), Sa::zefKeyedRows(), out);
    } else {
      Base::doRemountSelf(out);
    }
  }
  void syncModeIs(StreamAdapter::SyncMode mode) override {
    if constexpr (OwnKeyedRows<Sa>) collectionsSyncModeIs(self(), Sa::zefKeyedRows(), mode);
    else Base::syncModeIs(mode);
  }

  // The rows' handlers: the change of one attribute, whose row `Row` makes.
  // The row is a constant here, as it was in the table.
  template <AttrRow<Sa> (*Row)()>
  void zefOnAttr() {
    static constexpr AttrRow<Sa> row = Row();
    attrChanged(self(), row);
  }
  // An owned child, C its child row.
  template <AttrRow<Sa> (*Row)(), std::size_t C>
  void zefOnChild() {
    static constexpr AttrRow<Sa> row = Row();
    auto* e = zefEntity();
    childChanged(self(), row, e ? Sa::zefChildRows()[C].get(*e) : nullptr);
  }
  // A collection's part of a pass, and the change of one of its keys.
  template <std::size_t K>
  void zefOnKeyed() {
    serializeCollection(self(), Sa::zefKeyedRows()[K]);
  }
  template <std::size_t K>
  static void zefSerializeKeyed(Sa* sa) {
    serializeCollection(sa, Sa::zefKeyedRows()[K]);
  }
  template <std::size_t K>
  void zefOnKey(Name key) {
    keyNotified(self(), Sa::zefKeyedRows()[K], key);
  }

  Ptr<ZefNboAttrLogSaAdapter_> zefReactor_;

 protected:
  template <class S, class F>
  friend ValidPtr<S> newStateAdapter(typename S::Zef_BitSet, Ptr<F> const&, unsigned, Ptr<NboAttrLog::Out> const&,
                                     PtrInterface*);
  // The reactor is made once the whole adapter is, by newStateAdapter: a
  // base level's constructor would see only itself.
  StateAdapterOf(Zef_BitSet flags, Ptr<E> const&, unsigned n, Ptr<NboAttrLog::Out> const& out, PtrInterface* owner)
    requires kRooted
      : Base(flags, n, out, owner) {}
  StateAdapterOf(Zef_BitSet flags, Ptr<E> const& entity, unsigned n, Ptr<NboAttrLog::Out> const& out,
                 PtrInterface* owner)
    requires(!kRooted)
      : Base(flags, entity, n, out, owner) {}

 private:
  Sa* self() { return static_cast<Sa*>(this); }
};

// The rows of one level, Bit being a row's index and its dirty bit. Each
// row's handler is made with the row's own maker.
template <class Sa>
constexpr AttrRow<Sa> nondestructingRow() {
  using E = typename Sa::ZefEntity;
  return {kIsNondestructingAttrId, 0, &Sa::template zefOnAttr<&nondestructingRow<Sa>>,
          &writeAttr<E, &PtrInterface::isNondestructing>, nullptr, &readAttr<E, &E::isNondestructingIs>};
}

template <class Sa, AttributeId Id, unsigned Bit, auto Get, auto Set>
constexpr AttrRow<Sa> valueRow() {
  using E = typename Sa::ZefEntity;
  return {Id, Bit, &Sa::template zefOnAttr<&valueRow<Sa, Id, Bit, Get, Set>>, &writeAttr<E, Get>, nullptr,
          &readAttr<E, Set>};
}

template <class Sa, AttributeId Id, unsigned Bit, auto Get, auto Set>
constexpr AttrRow<Sa> referenceRow() {
  using E = typename Sa::ZefEntity;
  return {Id, Bit, &Sa::template zefOnAttr<&referenceRow<Sa, Id, Bit, Get, Set>>, nullptr, &referenceAttr<E, Get>,
          &readAttr<E, Set>};
}

// A collection, K its keyed row: its pass runs whatever the bits say.
template <class Sa, AttributeId Id, unsigned Bit, std::size_t K>
constexpr AttrRow<Sa> keyedAttrRow() {
  return {Id, Bit, &Sa::template zefOnKeyed<K>, nullptr, nullptr, nullptr, &Sa::template zefSerializeKeyed<K>};
}

// An owned child, C its child row: child records, like a one-member collection.
template <class Sa, AttributeId Id, unsigned Bit, std::size_t C>
constexpr AttrRow<Sa> childAttrRow() {
  return {Id, Bit, &Sa::template zefOnChild<&childAttrRow<Sa, Id, Bit, C>, C>, nullptr, nullptr, nullptr};
}

// Where a flow-out keeps one level's dirty bits, under that level's name.
template <class Bits, int Level>
struct DirtyBitsAt;
template <class Bits>
struct DirtyBitsAt<Bits, 0> {
  using ZefDirtyBitSet0 = Bits;
  Bits zefDirtyBitSet0() const { return zefDirtyBitSet0_; }
  Bits& zefBits() { return zefDirtyBitSet0_; }
  Bits zefDirtyBitSet0_;
};
template <class Bits>
struct DirtyBitsAt<Bits, 1> {
  using ZefDirtyBitSet1 = Bits;
  Bits zefDirtyBitSet1() const { return zefDirtyBitSet1_; }
  Bits& zefBits() { return zefDirtyBitSet1_; }
  Bits zefDirtyBitSet1_;
};

// A dirty bit set on its own, for ZefBitsOf_'s named setters.
template <unsigned Words>
class DirtyBitSet : public NboAttrLog::DirtyBits<Words> {
 public:
  void zefBitIs(unsigned k, bool b) { this->set(k, b); }
};

// What a scheduled flow-out of one level still has to write: its dirty bits,
// and for a directory, each collection's dirty keys.
template <class Sa, class FoBase, class Bits, int Level>
class FlowOutOf : public FoBase, public DirtyBitsAt<Bits, Level> {
 public:
  FlowOutOf(Ptr<NboAttrLog::Out> out, Ptr<StreamAdapter> sa, ConnectDesc desc, bool b, AttributeId start)
      : FoBase(std::move(out), std::move(sa), std::move(desc), b, start) {
    markFrom(zefOwnBits(), Sa::zefRows(), start);
  }
  static Ptr<typename Sa::FlowOut> FlowOutIs(Ptr<NboAttrLog::Out> out, Ptr<StreamAdapter> sa, ConnectDesc desc,
                                             bool b, AttributeId start) {
    return newObject<typename Sa::FlowOut>(std::move(out), std::move(sa), std::move(desc), b, start);
  }

  Bits& zefOwnBits() { return DirtyBitsAt<Bits, Level>::zefBits(); }
  Bits const& zefOwnBits() const { return const_cast<FlowOutOf*>(this)->zefOwnBits(); }
  void zefBitIs(unsigned k, bool b) { zefOwnBits().set(k, b); }

  // A HasSynced bit says a collection is done, so it counts when clear.
  bool hasDirtyAttributes() const override {
    if constexpr (!OwnKeyedRows<Sa>) {
      return FoBase::hasDirtyAttributes() || zefOwnBits().any();
    } else {
      if (FoBase::hasDirtyAttributes()) return true;
      Bits pending = zefOwnBits();
      for (auto const& k : Sa::zefKeyedRows()) {
        if (!k.dirtyMap(fo()).empty() || !pending.test(k.hasSyncedBit)) return true;
      }
      for (auto const& k : Sa::zefKeyedRows()) pending.set(k.hasSyncedBit, false);
      return pending.any();
    }
  }
  AttributeId pendingKeysFrom() const override {
    if constexpr (OwnKeyedRows<Sa>) {
      for (auto const& k : Sa::zefKeyedRows()) {
        if (collectionPending<Sa>(nullptr, k, fo(), zefOwnBits())) return k.id;
      }
    }
    return FoBase::pendingKeysFrom();
  }
  bool hasKeyedState() const override { return OwnKeyedRows<Sa> || FoBase::hasKeyedState(); }

 private:
  typename Sa::FlowOut& fo() const {
    return static_cast<typename Sa::FlowOut&>(const_cast<FlowOutOf&>(*this));
  }
};

// A collection's record of a dirty key.
class DirtyKey : public DirtyKeyRecord<DirtyKey> {
 public:
  DirtyKey(Name key, bool v) : DirtyKeyRecord(std::move(key), v) {}
};

// The reactor of an adapter: hears every change of its entity first, and
// passes each attribute's on to the row's handler of the level that has it.
template <class Sa, class E>
class AdapterReactorRoot : public E::Notifiee {
 public:
  void hasNotificationActiveIs(bool b) override { adapterReactorNotificationActiveIs(this, b); }
  Ptr<PtrInterface::NotifieeConst> zefReactor() const override {
    return Ptr<PtrInterface::NotifieeConst>(zefReactorAdapter_);
  }
  void onNotificationException(AttributeId id) override {
    if (zefReactorAdapter_) zefReactorAdapter_->Entity::ZefNboAttrLogSa::onNotificationException(id);
  }
  void onZeroReferences() override {
    if (zefReactorAdapter_) zefReactorAdapter_->Entity::ZefNboAttrLogSa::onZeroReferences();
    hasNotificationActiveIs(false);
  }
  void zefDoZombieReactors(bool z) { adapterReactorZombieIs(this, z); }

  Sa* zefReactorAdapter() const { return zefReactorAdapter_; }
  // Stored uncounted: the reference is only the caller's way of naming it.
  void zefReactorAdapterIs(Ptr<Sa> const& sa) { zefReactorAdapter_ = sa.ptr(); }
  void zefReactorAdapterIs(std::nullptr_t) { zefReactorAdapter_ = nullptr; }

 protected:
  // A level L's row handler: a constant where its table is defined.
  template <class L>
  void zefHear(void (L::*handler)()) {
    if (zefReactorAdapter_) (static_cast<L*>(zefReactorAdapter_)->*handler)();
  }
  template <class L>
  void zefHear(KeyedRow<L> const& row, Name const& key) {
    if (zefReactorAdapter_) (static_cast<L*>(zefReactorAdapter_)->*row.keyHandler)(key);
  }

 protected:
  // Plain: the adapter owns its reactor, never the reverse.
  Sa* zefReactorAdapter_ = nullptr;
};

template <class Sa, class E>
class AdapterReactor : public Sa::template ZefHears_<AdapterReactorRoot<Sa, E>> {
 public:
  explicit AdapterReactor(Sa* sa) { this->zefReactorAdapter_ = sa; }
  static ValidPtr<AdapterReactor> ZefNboAttrLogSaAdapter_Is(Ptr<E> const& entity, Ptr<Sa> const& sa) {
    return newAdapterReactor<AdapterReactor>(Ptr<PtrInterface const>(entity), sa.ptr());
  }
};

}  // namespace Zef::Repl
