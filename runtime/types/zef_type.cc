// Type objects, attributes, the registry and the introspection reactor.
#include "runtime/types/zef_type.h"

#include <map>
#include <type_traits>
#include <utility>

#include "runtime/types/generic_if.h"

namespace Zef {

ZefTypeFlags::ZefTypeFlags(std::uint64_t v) : value_(v) {
  if (v > kMax) throwRangeException("ZefTypeFlags::value > 0x3fffffffffffffffull not allowed");
}

ZefAttrIntrospectionFlags::ZefAttrIntrospectionFlags(std::uint32_t v) : value_(v) {
  if (v > kMax) throwRangeException("ZefAttrIntrospectionFlags::value > 0x3f not allowed");
}

ZefAttr::ZefAttr(ZefType const* owner, AttrDef const& def)
    : owner_(owner),
      name_(def.name),
      id_(def.id),
      typeName_(def.typeName),
      flags_(def.flags),
      introspection_(def.introspection),
      extra_(def.extra ? def.extra : "") {}

ZefType* ZefAttr::type() const { return ZefType::registered(typeName_); }

Ptr<ZefAttr> ZefAttr::attr(ZefType const* type, Name const& name) {
  for (ZefType const* t = type; t; t = t->base()) {
    for (auto const& a : t->attributes()) {
      if (a->name() == name) return a;
    }
  }
  return nullptr;
}

ZefType::ZefType(Name name, ZefType* parent, ZefType* base, ZefTypeFlags const& flags)
    : Entity(std::move(name)), base_(base), flags_(flags) {
  if (parent) parentIs(Ptr<Entity>(parent));
}

namespace {
class TypeType : public ZefType {
 public:
  TypeType() : ZefType("ZefType", nullptr, Entity::_fwkType(), ZefTypeFlags::zefEmpty()) {}
};

std::map<Name, ZefType const*>& registry() {
  static auto* r = new std::map<Name, ZefType const*>();  // lives as long as the types
  return *r;
}
}  // namespace

ZefType* ZefType::fwkType() const { return _fwkType(); }
ZefType* ZefType::_fwkType() {
  static ZefType* slot = nullptr;
  return typeObject<TypeType>(slot);
}

Ptr<ZefAttr const> ZefType::attr(AttributeId id) const {
  for (ZefType const* t = this; t; t = t->base_) {
    for (auto const& a : t->attrs_) {
      if (a->id() == id) return a;
    }
  }
  return nullptr;
}

Ptr<ZefAttr const> ZefType::attr(Name const& name) const { return ZefAttr::attr(this, name); }

Ptr<Entity> ZefType::newEntity(Name const&, Entity*) const { return nullptr; }

Ptr<Entity> ZefType::newEntityFromLog(NboAttrLog::In&) const {
  throw AttrLogEntityException(("type cannot be mounted from an attribute log: " + typeNodeName()).charPtr(), {});
}

namespace {
// The last type found by a name read in place. Types register on the thread
// that owns the state, as entities change.
struct LastFound {
  String8 name;
  ZefType* type = nullptr;
};
LastFound& lastFound() {
  static LastFound last;
  return last;
}
}  // namespace

void ZefType::typeNodeIs(ZefType const* type, Name const& fullName) {
  registry()[fullName] = type;
  // The name may now name another type.
  lastFound().type = nullptr;
  const_cast<ZefType*>(type)->typeNodeName_ = fullName;
}

ZefType* ZefType::registered(Name const& fullName) {
  auto it = registry().find(fullName);
  return it == registry().end() ? nullptr : const_cast<ZefType*>(it->second);
}

ZefType* ZefType::registeredByName(std::string_view fullName) {
  LastFound& last = lastFound();
  if (last.type && std::string_view(last.name.charPtr(), last.name.size()) == fullName) return last.type;
  ZefType* found = registered(Name(fullName));
  if (found) last = {String8(fullName), found};
  return found;
}

std::vector<Name> ZefType::registeredNames() {
  std::vector<Name> names;
  for (auto const& [name, type] : registry()) names.push_back(name);
  return names;
}

// The introspection reactor.

namespace {
IntrospectionReactor* activeReactor = nullptr;
}  // namespace

IntrospectionReactor::~IntrospectionReactor() {
  if (activeReactor == this) activeReactor = nullptr;
}
IntrospectionReactor* IntrospectionReactor::global() { return activeReactor; }
IntrospectionReactor* IntrospectionReactor::globalIs(IntrospectionReactor* r) { return std::exchange(activeReactor, r); }
void IntrospectionReactor::handleNameSpace(char const*) {}
void IntrospectionReactor::handleScopeExit() {}
void IntrospectionReactor::handleType(Ptr<ZefType const> const&, Ptr<ZefType const> const&) {}
void IntrospectionReactor::handleAttr(Ptr<ZefAttr> const&) {}
void IntrospectionReactor::handleAttrContextExit() {}

void announceNameSpaces(IntrospectionReactor& reactor, std::initializer_list<char const*> names) {
  for (char const* n : names) reactor.handleNameSpace(n);
  for (std::size_t i = 0; i < names.size(); ++i) reactor.handleScopeExit();
}

void announceType(IntrospectionReactor& reactor, ZefType const* type) {
  reactor.handleType(Ptr<ZefType const>(type), Ptr<ZefType const>(type->base()));
  for (auto const& a : type->attributes()) {
    reactor.handleAttr(a);
    reactor.handleAttrContextExit();
  }
  reactor.handleScopeExit();
}

// Built-in types, registered under the names attribute definitions use.

namespace {
class BuiltinType : public ZefType {
 public:
  BuiltinType(Name name, std::size_t size) : ZefType(std::move(name), nullptr, nullptr, ZefTypeFlags::zefEmpty()) {
    isValueIs(true);
    sizeIs(size);
  }
  Ptr<GenericIf> genericIfFromWire(NboAttrLog::In* in) const override {
    return fromWire_ ? fromWire_(in) : ZefType::genericIfFromWire(in);
  }

  BuiltinWireReader fromWire_ = nullptr;
};

ZefType* builtinType(ZefType*& slot, char const* fullName, std::size_t size) {
  if (!slot) {
    auto* type = new BuiltinType(fullName, size);
    type->isNondestructingIs(true);
    slot = type;
    ZefType::typeNodeIs(type, fullName);
  }
  return slot;
}
}  // namespace

#define ZEF_BUILTIN(T, fullName)                                         \
  template <>                                                            \
  ZefType* Builtin<T>::_fwkType() {                                      \
    static ZefType* slot = nullptr;                                      \
    return builtinType(slot, fullName, sizeof(T));                      \
  }
ZEF_BUILTIN(bool, "bool")
ZEF_BUILTIN(double, "Zef::Seconds")
ZEF_BUILTIN(unsigned char, "U8")
ZEF_BUILTIN(unsigned int, "U32")
ZEF_BUILTIN(String8, "Zef::String")
ZEF_BUILTIN(Name, "Zef::Name")
#undef ZEF_BUILTIN

void builtinWireReaderIs(ZefType* builtin, BuiltinWireReader r) {
  if (auto* b = dynamic_cast<BuiltinType*>(builtin)) b->fromWire_ = r;
}

}  // namespace Zef
