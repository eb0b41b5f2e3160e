// Type objects: one per framework type, built on first use, registered under
// the type's full name and never destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "runtime/entity/entity.h"

namespace Zef {

class GenericIf;
namespace NboAttrLog {
class In;
}

class ZefTypeFlags {
 public:
  static constexpr std::uint64_t kMax = 0x3fffffffffffffffull;

  constexpr ZefTypeFlags() = default;
  explicit ZefTypeFlags(std::uint64_t v);
  static ZefTypeFlags zefEmpty() { return ZefTypeFlags(); }

  std::uint64_t value() const { return value_; }
  bool isValue() const { return value_ & (1ull << 0); }
  bool isEntity() const { return value_ & (1ull << 59); }
  bool hasGenericIfSupport() const { return value_ & (1ull << 61); }
  void isValueIs(bool b) { bitIs(0, b); }
  void isEntityIs(bool b) { bitIs(59, b); }
  void hasGenericIfSupportIs(bool b) { bitIs(61, b); }

 private:
  void bitIs(int pos, bool b) {
    if (b) value_ |= 1ull << pos;
    else value_ &= ~(1ull << pos);
  }
  std::uint64_t value_ = 0;
};

// The two flag words the runtime keeps for each attribute definition.
struct AttrFlags {
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  friend bool operator==(AttrFlags const&, AttrFlags const&) = default;
};

// What introspection tells about an attribute beyond its flag words.
class ZefAttrIntrospectionFlags {
 public:
  static constexpr std::uint32_t kMax = 0x3f;

  constexpr ZefAttrIntrospectionFlags() = default;
  explicit ZefAttrIntrospectionFlags(std::uint32_t v);

  static ZefAttrIntrospectionFlags isIndependentDomainAttr_() { return ZefAttrIntrospectionFlags(0x02); }
  static ZefAttrIntrospectionFlags isFunction_() { return ZefAttrIntrospectionFlags(0x08); }
  static ZefAttrIntrospectionFlags hasInternalIndex_() { return ZefAttrIntrospectionFlags(0x20); }

  std::uint32_t value() const { return value_; }
  friend ZefAttrIntrospectionFlags operator|(ZefAttrIntrospectionFlags a, ZefAttrIntrospectionFlags b) {
    return ZefAttrIntrospectionFlags(a.value_ | b.value_);
  }
  friend bool operator==(ZefAttrIntrospectionFlags, ZefAttrIntrospectionFlags) = default;

 private:
  std::uint32_t value_ = 0;
};

// One attribute as a type's generated definition lists it. The attribute's
// type is named, not pointed to, so that types may be built in any order.
struct AttrDef {
  char const* name;
  AttributeId id;
  char const* typeName;
  AttrFlags flags;
  std::uint32_t introspection;
  // Collections: the member type's key attribute. Functions: their
  // parameters' type names, separated by blanks.
  char const* extra;
};

// An attribute of a type.
class ZefAttr : public PtrInterface {
 public:
  ZefAttr(ZefType const* owner, AttrDef const& def);

  Name const& name() const { return name_; }
  AttributeId id() const { return id_; }
  ZefType const* owner() const { return owner_; }
  Name const& typeName() const { return typeName_; }
  // The attribute's type object, once that type is registered.
  ZefType* type() const;
  AttrFlags const& flags() const { return flags_; }
  ZefAttrIntrospectionFlags introspectionFlags() const { return introspection_; }
  bool isFunction() const { return introspection_.value() & ZefAttrIntrospectionFlags::isFunction_().value(); }
  bool isCollection() const {
    return introspection_.value() & ZefAttrIntrospectionFlags::hasInternalIndex_().value();
  }
  String8 const& extra() const { return extra_; }

  // The attribute of this name that instances of `type` have, its own or
  // inherited; null when it has none.
  static Ptr<ZefAttr> attr(ZefType const* type, Name const& name);

 private:
  ZefType const* owner_;
  Name name_;
  AttributeId id_;
  Name typeName_;
  AttrFlags flags_;
  ZefAttrIntrospectionFlags introspection_;
  String8 extra_;
};

class ZefType : public Entity {
 public:
  ZefType(Name name, ZefType* parent, ZefType* base, ZefTypeFlags const& flags);

  ZefType* fwkType() const override;
  static ZefType* _fwkType();

  ZefType* base() const { return base_; }
  ZefTypeFlags const& flags() const { return flags_; }
  void isEntityIs(bool b) { flags_.isEntityIs(b); }
  void isValueIs(bool b) { flags_.isValueIs(b); }
  std::size_t size() const { return size_; }
  void sizeIs(std::size_t s) { size_ = s; }

  // Types derived from this one, each enqueued once when it is built.
  void derivedTypeQEnq(Ptr<ZefType> const& t) { derivedTypes_.push_back(t); }
  std::vector<Ptr<ZefType>> const& derivedTypes() const { return derivedTypes_; }

  // Constructor arguments: names and registered type names, in order.
  void constructorArgNameQEnq(Name n) { ctorArgNames_.push_back(std::move(n)); }
  void constructorArgTypeQEnq(Name n) { ctorArgTypes_.push_back(std::move(n)); }
  std::vector<Name> const& constructorArgNames() const { return ctorArgNames_; }
  std::vector<Name> const& constructorArgTypes() const { return ctorArgTypes_; }

  // The type's own attributes, in definition order. A definition replaces an
  // inherited attribute of the same name for this type and those below it.
  template <std::size_t N>
  void attributesAre(AttrDef const (&defs)[N]) {
    for (AttrDef const& d : defs) attrs_.push_back(Ptr<ZefAttr>(new ZefAttr(this, d), adoptRef));
  }
  std::vector<Ptr<ZefAttr>> const& attributes() const { return attrs_; }
  Ptr<ZefAttr const> attr(AttributeId id) const;
  Ptr<ZefAttr const> attr(Name const& name) const;

  // Creation by type name, for the types that have a factory; null for the
  // others.
  virtual Ptr<Entity> newEntity(Name const& name, Entity* dir) const;
  // An entity announced on an attribute log: made from the constructor
  // arguments that follow in `in`. Types that cannot be mounted refuse with
  // AttrLogEntityException.
  virtual Ptr<Entity> newEntityFromLog(NboAttrLog::In& in) const;
  // A generic interface on `object`, an instance of this type; entities of
  // types without their own get the base entity interface.
  virtual Ptr<GenericIf> genericIf(PtrInterface* object, bool isConst) const;
  // The generic constructor: an instance made from the argument list
  // `args`; types without one refuse with the type exception. A type that
  // overrides one of the two genericIf brings the other in with a using.
  virtual Ptr<GenericIf> genericIf(GenericIf const* args, bool isConst) const;
  // A generic interface on a copy of the value at `value`, an instance of
  // this value type; entity types refuse with the type exception.
  virtual Ptr<GenericIf> genericIfOfValue(void const* value, bool isConst) const;
  // A value of this type read from its text form; types without one refuse
  // with the type exception.
  virtual Ptr<GenericIf> genericIfFromText(String8 const& text) const;
  // A value of this type read from an attribute-log record at `in`, which
  // moves on behind it. A record too short throws the range exception and
  // leaves `in` where it was; types without a wire reader refuse with the
  // type exception.
  virtual Ptr<GenericIf> genericIfFromWire(NboAttrLog::In* in) const;

  // The registry: full name to type object.
  static void typeNodeIs(ZefType const* type, Name const& fullName);
  static ZefType* registered(Name const& fullName);
  // The same by a name read in place. A mount's first synchronisation names
  // one type a thousand times over: the last one found is kept.
  static ZefType* registeredByName(std::string_view fullName);
  // Every registered full name, in name order.
  static std::vector<Name> registeredNames();
  // The full name the type is registered under; its short name until then.
  Name typeNodeName() const { return typeNodeName_.empty() ? name() : typeNodeName_; }

 private:
  ZefType* base_;
  ZefTypeFlags flags_;
  std::size_t size_ = 0;
  Name typeNodeName_;
  std::vector<Ptr<ZefType>> derivedTypes_;
  std::vector<Name> ctorArgNames_;
  std::vector<Name> ctorArgTypes_;
  std::vector<Ptr<ZefAttr>> attrs_;
};

// The process's introspection reactor, when one is active: it is told of
// every type and attribute a library describes.
class IntrospectionReactor {
 public:
  virtual ~IntrospectionReactor();
  static IntrospectionReactor* global();
  // Makes `r` the active reactor (null: none), and returns the previous one.
  static IntrospectionReactor* globalIs(IntrospectionReactor* r);

  virtual void handleNameSpace(char const* name);
  virtual void handleScopeExit();
  virtual void handleType(Ptr<ZefType const> const& type, Ptr<ZefType const> const& base);
  virtual void handleAttr(Ptr<ZefAttr> const& attr);
  virtual void handleAttrContextExit();
};

// Registers `type` under `fullName` and gives it back.
inline ZefType* registerType(ZefType* type, Name const& fullName) {
  ZefType::typeNodeIs(type, fullName);
  return type;
}

// The introspection pass's announcements: namespaces that hold no types, and
// one type with its attributes.
void announceNameSpaces(IntrospectionReactor& reactor, std::initializer_list<char const*> names);
void announceType(IntrospectionReactor& reactor, ZefType const* type);

// Type objects of the built-in attribute types.
template <class T>
struct Builtin {
  static ZefType* _fwkType();
};

// How a built-in type reads itself from the log. The log's layer owns the
// encoding and sets it; until then the type refuses as types without one do.
using BuiltinWireReader = Ptr<GenericIf> (*)(NboAttrLog::In*);
void builtinWireReaderIs(ZefType* builtin, BuiltinWireReader r);

// The first-use construction of a type object in its static slot: give the
// library's introspection pass a chance to build it, otherwise build it,
// make it nondestructing and put it in its base's derived-type queue.
// The pass is asked on every call, not only the first: types built at load,
// before any reactor existed, are described as soon as one does.
template <class TypeClass>
ZefType* typeObject(ZefType*& slot, void (*introspectionPass)() = nullptr) {
  if (introspectionPass) introspectionPass();
  if (slot) return slot;
  auto* type = new TypeClass();
  slot = type;
  type->isNondestructingIs(true);
  if (ZefType* base = type->base()) base->derivedTypeQEnq(Ptr<ZefType>(type));
  return type;
}

}  // namespace Zef
