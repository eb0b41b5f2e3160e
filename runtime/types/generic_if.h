// Access to any framework object by attribute name. A generic interface
// presents one object (an entity, or a value it holds a copy of); arguments
// and results are generic interfaces too. The access algorithm lives once
// here, driven by a per-type table of attribute rows that the generator
// emits; the rows' thunks are instantiated from the templates below.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "runtime/text/bounded.h"
#include "runtime/entity/entity.h"
#include "runtime/failure/exception.h"
#include "runtime/text/text.h"
#include "runtime/types/value.h"
#include "runtime/types/zef_type.h"

namespace Zef {

using OpId = std::uint8_t;

// An attribute id and what to do with it. Codes of 0x80 and above modify.
struct AttributeOp {
  static constexpr OpId kRead = 0x00;
  static constexpr OpId kCount = 0x01;
  static constexpr OpId kWrite = 0x80;
  static constexpr OpId kDelete = 0x81;

  AttributeId id = 0;
  OpId code = kRead;
  bool modifies() const { return code >= 0x80; }
};

[[noreturn]] void throwOpNotSupportedException(char const* message, OpId op, bool isConst);

struct GenericTable;
struct GenericAttr;

class GenericIf : public PtrInterface {
 public:
  class List;

  explicit GenericIf(bool isConst) : isConst_(isConst) {}

  bool isConst() const { return isConst_; }

  // The type of the presented object; null when it has no type object.
  virtual ZefType* objectType() const = 0;
  // The object when `type` is one it may be taken as; otherwise the type
  // exception with the object's short type name.
  virtual void const* objectAs(ZefType const* type) const;
  virtual AttributeId attributeId(String8 const& name) const;
  // The result is the interface of what was read or created, or null.
  virtual Ptr<GenericIf> attributeOp(AttributeOp const& op, Ptr<GenericIf const> const& key,
                                     Ptr<GenericIf> const& value);
  // A new interface on the same object with the same const flag.
  virtual Ptr<GenericIf> copy() const = 0;
  // The presented object: entities give it, values null.
  virtual PtrInterface* rawObject() { return nullptr; }
  virtual PtrInterface const* rawObject() const { return nullptr; }
  virtual String8 strRep() const = 0;
  // Told of each change of the object's attribute `id`.
  virtual void onAttribute(AttributeId id);
  // Told of the change of the member under `key` of the collection `id`;
  // onAttribute(id) unless overridden.
  virtual void onCollectionAttribute(AttributeId id, Name const& key);

 protected:
  // The shared algorithm: the const check, then `row` applied to `object`.
  Ptr<GenericIf> tableOp(GenericAttr const& row, void* object, AttributeOp const& op,
                         GenericIf const* key, GenericIf const* value);
  AttributeId tableAttributeId(GenericTable const& table, String8 const& name) const;

 private:
  bool isConst_;
};

// An argument list: items taken in order from the front.
class GenericIf::List : public GenericIf {
 public:
  List() : GenericIf(false) {}
  static ZefType* _fwkType();
  ZefType* objectType() const override { return _fwkType(); }
  Ptr<GenericIf> copy() const override;
  String8 strRep() const override;

  void itemEnq(Ptr<GenericIf> const& item) { items_.push_back(item); }
  std::deque<Ptr<GenericIf>> const& items() const { return items_; }

 private:
  std::deque<Ptr<GenericIf>> items_;
};

// The interface of an entity: the generated table's rows, then the
// attributes every entity has (fwkKey, also called "name"; zeroReferences;
// isNondestructing).
class GenericIfEntity : public GenericIf {
 public:
  GenericIfEntity(Ptr<Entity> const& entity, bool isConst, GenericTable const* table = nullptr)
      : GenericIf(isConst), entity_(entity), table_(table) {}
  ZefType* objectType() const override { return entity_->fwkType(); }
  void const* objectAs(ZefType const* type) const override;
  AttributeId attributeId(String8 const& name) const override;
  Ptr<GenericIf> attributeOp(AttributeOp const& op, Ptr<GenericIf const> const& key,
                             Ptr<GenericIf> const& value) override;
  Ptr<GenericIf> copy() const override;
  PtrInterface* rawObject() override { return entity_.ptr(); }
  PtrInterface const* rawObject() const override { return entity_.ptr(); }
  String8 strRep() const override { return entity_->name(); }

  // The rows of the attributes every entity has.
  static GenericTable const zefEntityTable;

 protected:
  Ptr<Entity> entity_;
  GenericTable const* table_;
};

// ---- Rows ----

enum class GenericKind : std::uint8_t {
  kScalar,      // read and write, no key
  kCollection,  // read/delete by name key, count, create from a list
  kChild,       // an instantiating single attribute: read, create, delete
  kFunction,    // write only: called with an argument list
};

struct GenericAttr {
  AttributeId id;
  char const* name;
  GenericKind kind;
  // Scalars and children: the value; collections: the member under `key`.
  Ptr<GenericIf> (*read)(void const* object, GenericIf const* key, bool isConst);
  // Scalars: store `value`; functions: call with the list `value`.
  void (*write)(void* object, GenericIf const* value, GenericAttr const& row);
  std::uint32_t (*count)(void const* object);
  // Collections and children: the new member's interface, or null.
  Ptr<GenericIf> (*create)(void* object, GenericIf const* value, GenericAttr const& row, bool isConst);
  Ptr<GenericIf> (*del)(void* object, GenericIf const* key, bool isConst);
  // Parameter names of creation and of functions, "name" first for
  // collections; null-terminated.
  char const* const* params;
};

struct GenericTable {
  char const* typeName;  // short name, for the type exception
  std::span<GenericAttr const> attrs;
  // The base type's table: its rows serve the attributes this one lacks.
  GenericTable const* base = nullptr;
  GenericAttr const* row(AttributeId id) const;
  GenericAttr const* row(String8 const& name) const;
};

// ---- Conversions between C++ values and generic interfaces ----


template <class T>
class GenericValue;

template <class T>
inline constexpr bool kHasBuiltinType =
    std::is_same_v<T, bool> || std::is_same_v<T, double> || std::is_same_v<T, unsigned char> ||
    std::is_same_v<T, unsigned int> || std::is_same_v<T, String8> || std::is_same_v<T, Name>;

// The interface of `v`: entities through their type object, values in a
// copy; a null reference gives null.
template <class T>
Ptr<GenericIf> genericIfOf(T const& v, bool isConst);

// `g` taken as a T; a wrong type throws the type exception with `what`. A
// null `g` is a null reference, and a wrong type for any other T.
template <class T>
T genericAs(GenericIf const* g, char const* what) {
  if constexpr (IsPtr<T>::value) {
    using E = typename IsPtr<T>::Target;
    if (!g) return T();
    auto* e = dynamic_cast<E*>(const_cast<PtrInterface*>(g->rawObject()));
    if (!e) throwTypeException(what);
    return T(e);
  } else {
    auto* v = dynamic_cast<GenericValue<T> const*>(g);
    if (!v) throwTypeException(what);
    return v->value();
  }
}

// A collection's key: a name.
inline Name genericKey(GenericIf const* key) { return genericAs<Name>(key, "name"); }

// The items of the argument list `args` converted in order to `P...`, each
// refusal naming its parameter from `names`; items left over are refused
// naming `owner`.
template <class... P>
std::tuple<std::decay_t<P>...> genericArgs(GenericIf const* args, char const* const* names, char const* owner) {
  auto* list = dynamic_cast<GenericIf::List const*>(args);
  if (!list) throwTypeException("List");
  auto const& items = list->items();
  if (items.size() > sizeof...(P)) throwUnknownArgException(owner);
  std::size_t i = 0;
  [[maybe_unused]] auto next = [&]<class T>(T*) {
    std::size_t at = i++;
    if (at >= items.size()) throwTypeException(names[at]);
    return genericAs<T>(items[at].ptr(), names[at]);
  };
  // Braced initialisation evaluates left to right.
  return std::tuple<std::decay_t<P>...>{next(static_cast<std::decay_t<P>*>(nullptr))...};
}

// The interface of a value held by copy, with the table of its type when it
// has one.
template <class T>
class GenericValue : public GenericIf {
 public:
  GenericValue(T const& v, bool isConst, GenericTable const* table = nullptr)
      : GenericIf(isConst), value_(v), table_(table) {}
  T const& value() const { return value_; }

  void const* objectAs(ZefType const* type) const override {
    if (type && type == objectType()) return &value_;
    return GenericIf::objectAs(type);
  }
  ZefType* objectType() const override {
    if constexpr (requires { T::_fwkType(); }) return T::_fwkType();
    else if constexpr (kHasBuiltinType<T>) return Builtin<T>::_fwkType();
    else return nullptr;
  }
  AttributeId attributeId(String8 const& name) const override {
    return table_ ? tableAttributeId(*table_, name) : GenericIf::attributeId(name);
  }
  Ptr<GenericIf> attributeOp(AttributeOp const& op, Ptr<GenericIf const> const& key,
                             Ptr<GenericIf> const& value) override {
    if (GenericAttr const* row = table_ ? table_->row(op.id) : nullptr) {
      return tableOp(*row, &value_, op, key.ptr(), value.ptr());
    }
    return GenericIf::attributeOp(op, key, value);
  }
  Ptr<GenericIf> copy() const override { return genericIfOf(value_, isConst()); }
  String8 strRep() const override {
    if constexpr (requires { valueToStrep(value_); }) return valueToStrep(value_);
    else if constexpr (requires { value_.value(); }) return valueToStrep(static_cast<unsigned long long>(value_.value()));
    else return valueToStrep(static_cast<unsigned long long>(value_));
  }

 private:
  T value_;
  GenericTable const* table_;
};

template <class T>
Ptr<GenericIf> genericIfOf(T const& v, bool isConst) {
  if constexpr (IsPtr<T>::value) {
    if (!v) return Ptr<GenericIf>();
    return v->fwkType()->genericIf(const_cast<PtrInterface*>(static_cast<PtrInterface const*>(v.ptr())), isConst);
  } else if constexpr (requires { typename T::GenericIf_; }) {
    return Ptr<GenericIf>(new typename T::GenericIf_(v, isConst), adoptRef);
  } else {
    return Ptr<GenericIf>(new GenericValue<T>(v, isConst), adoptRef);
  }
}

// ---- Row builders: the generated tables name accessors, these make the
// thunks ----

template <class M>
struct MemberFn;
template <class C, class R, class... A>
struct MemberFn<R (C::*)(A...)> {
  using Class = C;
  using Result = R;
  using Args = std::tuple<A...>;
};
template <class C, class R, class... A>
struct MemberFn<R (C::*)(A...) const> : MemberFn<R (C::*)(A...)> {};
template <class C, class R, class... A>
struct MemberFn<R (C::*)(A...) noexcept> : MemberFn<R (C::*)(A...)> {};
template <class C, class R, class... A>
struct MemberFn<R (C::*)(A...) const noexcept> : MemberFn<R (C::*)(A...)> {};

// The object a row's thunk works on: entities are passed as their
// PtrInterface, so that a base type's rows reach the same object; values as
// themselves.
template <class C>
C* genericObject(void* object) {
  if constexpr (std::is_base_of_v<PtrInterface, C>) return static_cast<C*>(static_cast<PtrInterface*>(object));
  else return static_cast<C*>(object);
}
template <class C>
C const* genericObject(void const* object) {
  return genericObject<C>(const_cast<void*>(object));
}

template <auto Get>
Ptr<GenericIf> genericRead(void const* object, GenericIf const*, bool isConst) {
  using C = typename MemberFn<decltype(Get)>::Class;
  return genericIfOf((genericObject<C>(object)->*Get)(), isConst);
}

template <auto Set>
void genericWrite(void* object, GenericIf const* value, GenericAttr const& row) {
  using F = MemberFn<decltype(Set)>;
  using V = std::decay_t<std::tuple_element_t<0, typename F::Args>>;
  (genericObject<typename F::Class>(object)->*Set)(genericAs<V>(value, row.name));
}

template <class Args>
struct GenericArgsOf;
template <class... A>
struct GenericArgsOf<std::tuple<A...>> {
  static auto take(GenericIf const* args, char const* const* names, char const* owner) {
    return genericArgs<A...>(args, names, owner);
  }
};

// Calls `Fn` with the converted items of the list `args`.
template <auto Fn>
auto genericCall(void* object, GenericIf const* args, GenericAttr const& row) {
  using F = MemberFn<decltype(Fn)>;
  auto* o = genericObject<typename F::Class>(object);
  auto taken = GenericArgsOf<typename F::Args>::take(args, row.params, row.name);
  return std::apply([o](auto&&... a) { return (o->*Fn)(std::move(a)...); }, std::move(taken));
}

template <auto Fn>
void genericFunction(void* object, GenericIf const* args, GenericAttr const& row) {
  genericCall<Fn>(object, args, row);
}

template <auto Fn>
Ptr<GenericIf> genericCreate(void* object, GenericIf const* args, GenericAttr const& row, bool isConst) {
  return genericIfOf(Ptr(genericCall<Fn>(object, args, row)), isConst);
}

template <auto Del>
Ptr<GenericIf> genericDel(void* object, GenericIf const*, bool isConst) {
  using C = typename MemberFn<decltype(Del)>::Class;
  return genericIfOf((genericObject<C>(object)->*Del)(), isConst);
}

template <auto Find>
Ptr<GenericIf> genericFind(void const* object, GenericIf const* key, bool isConst) {
  using C = typename MemberFn<decltype(Find)>::Class;
  return genericIfOf((genericObject<C>(object)->*Find)(genericKey(key)), isConst);
}

template <auto Del>
Ptr<GenericIf> genericDelKey(void* object, GenericIf const* key, bool isConst) {
  using C = typename MemberFn<decltype(Del)>::Class;
  return genericIfOf((genericObject<C>(object)->*Del)(genericKey(key)), isConst);
}

template <auto Count>
std::uint32_t genericCount(void const* object) {
  using C = typename MemberFn<decltype(Count)>::Class;
  return (genericObject<C>(object)->*Count)();
}

// Reference directories: the member is the entity itself, and creation
// answers null.
template <auto Is>
Ptr<GenericIf> genericInsert(void* object, GenericIf const* value, GenericAttr const& row, bool) {
  genericWrite<Is>(object, value, row);
  return Ptr<GenericIf>();
}

template <auto Get, auto Set>
constexpr GenericAttr genericScalar(AttributeId id, char const* name) {
  return {id, name, GenericKind::kScalar, &genericRead<Get>, &genericWrite<Set>, nullptr, nullptr, nullptr, nullptr};
}
template <auto Set>
constexpr GenericAttr genericWriteOnly(AttributeId id, char const* name) {
  return {id, name, GenericKind::kScalar, nullptr, &genericWrite<Set>, nullptr, nullptr, nullptr, nullptr};
}
template <auto Fn>
constexpr GenericAttr genericFunctionAttr(AttributeId id, char const* name, char const* const* params) {
  return {id, name, GenericKind::kFunction, nullptr, &genericFunction<Fn>, nullptr, nullptr, nullptr, params};
}
template <auto Get, auto Is, auto Del>
constexpr GenericAttr genericChild(AttributeId id, char const* name, char const* const* params) {
  return {id, name, GenericKind::kChild, &genericRead<Get>, nullptr, nullptr, &genericCreate<Is>, &genericDel<Del>, params};
}
template <auto Find, auto Count, auto Is, auto Del>
constexpr GenericAttr genericCollection(AttributeId id, char const* name, char const* const* params) {
  return {id, name, GenericKind::kCollection, &genericFind<Find>, nullptr, &genericCount<Count>,
          &genericCreate<Is>, &genericDelKey<Del>, params};
}
template <auto Find, auto Count, auto Is, auto Del>
constexpr GenericAttr genericReferences(AttributeId id, char const* name) {
  return {id, name, GenericKind::kCollection, &genericFind<Find>, nullptr, &genericCount<Count>,
          &genericInsert<Is>, &genericDelKey<Del>, nullptr};
}

// A collection's deferred changes as its reactor keeps them: the key of the
// last one and their number.
struct GenericIfPending {
  String8* key = nullptr;
  std::uint8_t* count = nullptr;
};

// The reactor base of a generated GenericIf_Adapter_: each handler of the
// entity's reactor interface (and of its base types') tells its generic
// interface, unless the runtime takes the notification for later; what the
// runtime took comes back through handleNotification. `table` is the
// interface's, whose rows name every attribute of the type and its bases.
template <class Notifiee>
class GenericIfAdapter : public Notifiee {
 public:
  GenericIfAdapter(GenericIf* owner, GenericTable const* table) : owner_(owner), table_(table) {}
  // Its interface is going: hear nothing more.
  void ownerDel() { owner_ = nullptr; }

  // Replays the deferred notifications: one attribute of the type alone, or
  // every attribute of the type in id order. Any other id is the runtime's.
  void handleNotification(ActivityConfig* config) override {
    AttributeId const id = this->pendingAttributeId();
    this->pendingAttributeIdIs(0);
    if (GenericAttr const* row = id > 0 ? table_->row(id) : nullptr; row && notifies(*row)) {
      replay(*row, false);
      return;
    }
    this->pendingAttributeIdIs(id);
    Notifiee::handleNotification(config);
    if (id == this->kReplayAll || id == this->kReplayAllWhole) replayAll(*table_, id == this->kReplayAllWhole);
  }

 protected:
  void tell(AttributeId id) {
    if (owner_ && !this->zefOnAttribute(id)) owner_->onAttribute(id);
  }
  // A per-key change of collection `id`, whose deferred changes the reactor
  // keeps in `pending`.
  void tellMember(AttributeId id, Name const& key, GenericIfPending pending) {
    *pending.key = key;
    if (owner_ && !this->zefOnAttribute(id, pending.count)) owner_->onCollectionAttribute(id, key);
  }
  // The deferred changes of collection `id`; the generated adapters of
  // directories answer for their collections.
  virtual GenericIfPending zefPending(AttributeId) { return {}; }

 private:
  static bool notifies(GenericAttr const& row) { return row.kind != GenericKind::kFunction; }

  void replayAll(GenericTable const& table, bool whole) {
    if (table.base) replayAll(*table.base, whole);
    for (GenericAttr const& row : table.attrs) {
      if (notifies(row)) replay(row, whole);
    }
  }

  // A plain attribute asks the gate again. A collection with one deferred
  // change replays it for its key, asking the gate again; with more, or when
  // everything is replayed whole, the collection is told of as a whole.
  void replay(GenericAttr const& row, bool whole) {
    if (!owner_) return;
    if (row.kind != GenericKind::kCollection) return tell(row.id);
    GenericIfPending pending = zefPending(row.id);
    std::uint8_t const count = pending.count ? std::exchange(*pending.count, 0) : 0;
    if (count > 1 || whole) {
      owner_->onAttribute(row.id);
    } else if (count == 1 && !this->zefOnAttribute(row.id, pending.count)) {
      owner_->onCollectionAttribute(row.id, Name(*pending.key));
    }
  }

  GenericIf* owner_;  // plain: the interface detaches this before it goes
  GenericTable const* table_;
};

// The generated interface of entity type E: its table is
// E::GenericIf_::zefTable, and an E::GenericIf_Adapter_ registered on the
// entity for as long as the interface lives tells it of each change.
template <class E>
class GenericIfEntityOf : public GenericIfEntity {
 public:
  using Adapter = typename E::GenericIf_Adapter_;

  GenericIfEntityOf(Ptr<E> const& e, bool isConst)
      : GenericIfEntity(Ptr<Entity>(e.ptr()), isConst, &E::GenericIf_::zefTable),
        adapter_(new Adapter(this, &E::GenericIf_::zefTable), adoptRef) {
    adapter_->isRegisteredNotifieeIs(true);
    adapter_->notifierIs(Ptr<PtrInterface const>(e.ptr()));
  }
  ~GenericIfEntityOf() override {
    adapter_->ownerDel();
    adapter_->notifierIs(Ptr<PtrInterface const>());
  }
  Ptr<Adapter> const& adapter() const { return adapter_; }
  Ptr<GenericIf> attributeOp(AttributeOp const& op, Ptr<GenericIf const> const& key,
                             Ptr<GenericIf> const& value) override {
    if (GenericAttr const* row = table_->row(op.id)) {
      return tableOp(*row, static_cast<PtrInterface*>(entity_.ptr()), op, key.ptr(), value.ptr());
    }
    return GenericIfEntity::attributeOp(op, key, value);
  }
  Ptr<GenericIf> copy() const override {
    return Ptr<GenericIf>(new typename E::GenericIf_(Ptr<E>(static_cast<E*>(entity_.ptr())), isConst()), adoptRef);
  }

 private:
  Ptr<Adapter> adapter_;
};

// The generated interface of value type V.
template <class V>
class GenericValueOf : public GenericValue<V> {
 public:
  GenericValueOf(V const& v, bool isConst) : GenericValue<V>(v, isConst, &V::GenericIf_::zefTable) {}
};

// What a generated _Type::genericIf does for entity type E.
template <class E>
Ptr<GenericIf> genericIfOfEntity(PtrInterface* object, bool isConst) {
  return Ptr<GenericIf>(new typename E::GenericIf_(Ptr<E>(static_cast<E*>(object)), isConst), adoptRef);
}

// The generic constructor of a type from an argument list: the items
// converted to the parameters of `Fn`, a factory, then `Fn` called.
template <auto Fn>
Ptr<GenericIf> genericConstruct(GenericIf const* args, char const* const* params, char const* typeName, bool isConst) {
  auto taken = [&]<class R, class... A>(R (*)(A...)) { return genericArgs<A...>(args, params, typeName); }(Fn);
  return genericIfOf(std::apply([](auto&&... a) { return Fn(std::move(a)...); }, std::move(taken)), isConst);
}

// The generic constructor of value type V: its fields in order.
template <class V>
Ptr<GenericIf> genericValueConstruct(GenericIf const* args, bool isConst) {
  auto* list = dynamic_cast<GenericIf::List const*>(args);
  if (!list) throwTypeException("List");
  auto const& items = list->items();
  constexpr auto fields = V::zefFields();
  if (items.size() > std::tuple_size_v<decltype(fields)>) throwUnknownArgException(V::zefNames.name);
  V v;
  std::size_t i = 0;
  auto take = [&]<class F>(ValueField<V, F> const& f) {
    std::size_t at = i++;
    v.*f.member = genericAs<F>(at < items.size() ? items[at].ptr() : nullptr, f.name);
  };
  std::apply([&](auto const&... f) { (take(f), ...); }, fields);
  return genericIfOf(v, isConst);
}

}  // namespace Zef
