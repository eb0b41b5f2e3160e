// The type objects of the lower layers' classes, which cannot name the
// registry themselves: PtrInterface, Entity and U1; and an entity's parent
// attribute, which only its parent's type knows.
#include "runtime/entity/entity.h"
#include "runtime/text/bounded.h"
#include "runtime/types/zef_type.h"

namespace Zef {

ZefType* PtrInterface::fwkType() const { return _fwkType(); }

namespace {
class PtrInterfaceType : public ZefType {
 public:
  PtrInterfaceType() : ZefType("PtrInterface", nullptr, nullptr, ZefTypeFlags::zefEmpty()) {}
};
}  // namespace

ZefType* PtrInterface::_fwkType() {
  static ZefType* slot = nullptr;
  return typeObject<PtrInterfaceType>(slot);
}

namespace {
// The attributes every entity has.
constexpr AttrDef kEntityAttributes[] = {
    {"fwkKey", 0, "Zef::Name", {0x00200001, 0x00000400}, 0, nullptr},
    {"zeroReferences", 5, "void", {0x00020002, 0x00000000}, 0, nullptr},
    {"isNondestructing", 6, "bool", {0x00002043, 0x00000000}, 0, nullptr},
    {"parent", Entity::kNoParentAttrId, "Zef::Entity", {0x00220143, 0x00000400}, 0, nullptr},
    {"zefHasAttrLogInterface", 154, "bool", {0x00022001, 0x00000400}, 0x08, nullptr},
    {"zefNboAttrLogSaForMsgChannel", 155, "void", {0x00020001, 0x00000400}, 0x08, nullptr},
};

class EntityType : public ZefType {
 public:
  EntityType() : ZefType("Entity", nullptr, nullptr, ZefTypeFlags::zefEmpty()) {
    typeNodeIs(this, "Zef::Entity");
    isEntityIs(true);
    sizeIs(sizeof(Entity));
    attributesAre(kEntityAttributes);
  }
};
}  // namespace

ZefType* Entity::fwkType() const { return _fwkType(); }
ZefType* Entity::_fwkType() {
  static ZefType* slot = nullptr;
  return typeObject<EntityType>(slot);
}

Ptr<ZefAttr const> Entity::parentAttr() const {
  return parent_ ? parent_->fwkType()->attr(parentAttrId_) : Ptr<ZefAttr const>();
}

}  // namespace Zef

namespace {
class U1Type : public Zef::ZefType {
 public:
  U1Type() : ZefType("U1", nullptr, nullptr, Zef::ZefTypeFlags::zefEmpty()) {}
};
}  // namespace

Zef::ZefType* U1::_fwkType() {
  static Zef::ZefType* slot = nullptr;
  return Zef::typeObject<U1Type>(slot);
}

