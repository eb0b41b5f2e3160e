// Type objects: one per framework type, built on first use, registered under
// the type's full name and never destroyed.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/entity.h"

namespace Zef {

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

// An attribute of a type: its name and id.
class ZefAttr : public PtrInterface {
 public:
  ZefAttr(Name name, AttributeId id) : name_(std::move(name)), id_(id) {}
  Name const& name() const { return name_; }
  AttributeId id() const { return id_; }

 private:
  Name name_;
  AttributeId id_;
};

class ZefType : public Entity {
 public:
  ZefType(Name name, ZefType* parent, ZefType* base, ZefTypeFlags const& flags);

  ZefType* fwkType() const override;
  static ZefType* _fwkType();

  ZefType* base() const { return base_; }
  ZefTypeFlags const& flags() const { return flags_; }

  // Types derived from this one, each enqueued once when it is built.
  void derivedTypeQEnq(Ptr<ZefType> const& t) { derivedTypes_.push_back(t); }
  std::vector<Ptr<ZefType>> const& derivedTypes() const { return derivedTypes_; }

  // Attributes by id, as the type's definition adds them.
  void attrIs(Ptr<ZefAttr> const& a) { attrs_.push_back(a); }
  Ptr<ZefAttr const> attr(AttributeId id) const;
  Ptr<ZefAttr const> attr(Name const& name) const;

  // The registry: full name to type object.
  static void typeNodeIs(ZefType const* type, Name const& fullName);
  static ZefType* registered(Name const& fullName);

 private:
  ZefType* base_;
  ZefTypeFlags flags_;
  std::vector<Ptr<ZefType>> derivedTypes_;
  std::vector<Ptr<ZefAttr>> attrs_;
};

// The first-use construction of a type object in its static slot: build it,
// make it nondestructing and put it in its base's derived-type queue.
template <class TypeClass>
ZefType* typeObject(ZefType*& slot) {
  if (slot) return slot;
  auto* type = new TypeClass();
  slot = type;
  type->isNondestructingIs(true);
  if (ZefType* base = type->base()) base->derivedTypeQEnq(Ptr<ZefType>(type));
  return type;
}

}  // namespace Zef
