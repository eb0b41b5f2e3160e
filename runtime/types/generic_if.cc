// The generic access algorithm, shared by every type's table.
#include "runtime/types/generic_if.h"

#include <string>

namespace Zef {

void throwOpNotSupportedException(char const* message, OpId op, bool isConst) {
  std::string m = std::string(message) + ": operation " + std::to_string(op) + " not supported";
  if (isConst) m += " on a const instance";
  int id = Expect::current();
  throw OpNotSupportedException(String8(m), id ? ExceptionIdSet{id} : ExceptionIdSet{});
}

GenericAttr const* GenericTable::row(AttributeId id) const {
  for (GenericTable const* t = this; t; t = t->base) {
    for (GenericAttr const& a : t->attrs) {
      if (a.id == id) return &a;
    }
  }
  return nullptr;
}

GenericAttr const* GenericTable::row(String8 const& name) const {
  for (GenericTable const* t = this; t; t = t->base) {
    for (GenericAttr const& a : t->attrs) {
      if (name == String8(a.name)) return &a;
    }
  }
  return nullptr;
}

namespace {
constexpr AttributeId kNoAttributeId = -1;
constexpr AttributeId kFwkKeyId = 0;

void refuseIfConst(GenericIf const& g, AttributeOp const& op) {
  if (op.modifies() && g.isConst()) throwConstException("attempting to modify a const instance");
}

[[noreturn]] void refuseOp(char const* name, AttributeOp const& op, bool isConst) {
  throwOpNotSupportedException(name, op.code, isConst);
}
}  // namespace

void const* GenericIf::objectAs(ZefType const*) const {
  ZefType const* own = objectType();
  throwTypeException(own ? own->name().charPtr() : "GenericIf");
}

AttributeId GenericIf::attributeId(String8 const&) const { return kNoAttributeId; }

Ptr<GenericIf> GenericIf::attributeOp(AttributeOp const& op, Ptr<GenericIf const> const&, Ptr<GenericIf> const&) {
  refuseIfConst(*this, op);
  refuseOp(std::to_string(op.id).c_str(), op, isConst());
}

void GenericIf::onAttribute(AttributeId) {}
void GenericIf::onCollectionAttribute(AttributeId id, Name const&) { onAttribute(id); }

Ptr<GenericIf> GenericIf::tableOp(GenericAttr const& row, void* object, AttributeOp const& op, GenericIf const* key,
                                  GenericIf const* value) {
  refuseIfConst(*this, op);
  bool const keyed = row.kind == GenericKind::kCollection;
  // Only a collection's read and delete take a key.
  if (key && !(keyed && (op.code == AttributeOp::kRead || op.code == AttributeOp::kDelete))) {
    throwBadIndexAttrException(row.name);
  }
  switch (op.code) {
    case AttributeOp::kRead:
      if (row.read) return row.read(object, key, isConst());
      break;
    case AttributeOp::kCount:
      if (row.count) return genericIfOf(row.count(object), isConst());
      break;
    case AttributeOp::kWrite:
      if (row.create) return row.create(object, value, row, isConst());
      if (row.write) {
        row.write(object, value, row);
        return Ptr<GenericIf>();
      }
      break;
    case AttributeOp::kDelete:
      if (row.del) return row.del(object, key, isConst());
      break;
    default:
      break;
  }
  refuseOp(row.name, op, isConst());
}

AttributeId GenericIf::tableAttributeId(GenericTable const& table, String8 const& name) const {
  GenericAttr const* row = table.row(name);
  return row ? row->id : GenericIf::attributeId(name);
}

ZefType* GenericIf::List::_fwkType() {
  static ZefType* slot = nullptr;
  if (!slot) {
    slot = new ZefType("List", nullptr, nullptr, ZefTypeFlags::zefEmpty());
    slot->isNondestructingIs(true);
  }
  return slot;
}

Ptr<GenericIf> GenericIf::List::copy() const {
  Ptr<List> c(new List(), adoptRef);
  for (auto const& item : items_) c->itemEnq(item);
  return Ptr<GenericIf>(c.ptr());
}

String8 GenericIf::List::strRep() const {
  std::string s = "(";
  for (auto const& item : items_) {
    if (s.size() > 1) s += ", ";
    s += item ? item->strRep().charPtr() : "null";
  }
  s += ")";
  return String8(s.c_str());
}

void const* GenericIfEntity::objectAs(ZefType const* type) const {
  for (ZefType const* t = entity_->fwkType(); t; t = t->base()) {
    if (t == type) return entity_.ptr();
  }
  if (type == PtrInterface::_fwkType()) return entity_.ptr();
  throwTypeException(entity_->fwkType()->name().charPtr());
}

namespace {
// The attributes every entity has. The key is fixed for the entity's life;
// zeroReferences is the runtime's report of a zero count, an event that no
// client reads or writes.
constexpr GenericAttr kEntityGenericAttrs[] = {
    {kFwkKeyId, "fwkKey", GenericKind::kScalar, &genericRead<&Entity::name>, nullptr, nullptr, nullptr, nullptr,
     nullptr},
    {5, "zeroReferences", GenericKind::kScalar, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    genericScalar<&PtrInterface::isNondestructing, &PtrInterface::isNondestructingIs>(6, "isNondestructing"),
    // Read only: whether the entity's type can be put on an attribute log.
    {154, "zefHasAttrLogInterface", GenericKind::kScalar, &genericRead<&Entity::zefHasAttrLogInterface>, nullptr,
     nullptr, nullptr, nullptr, nullptr},
};
}  // namespace

GenericTable const GenericIfEntity::zefEntityTable{"Entity", kEntityGenericAttrs};

AttributeId GenericIfEntity::attributeId(String8 const& name) const {
  if (table_) {
    if (GenericAttr const* row = table_->row(name)) return row->id;
  }
  if (GenericAttr const* row = zefEntityTable.row(name)) return row->id;
  if (name == String8("name")) return kFwkKeyId;
  return GenericIf::attributeId(name);
}

Ptr<GenericIf> GenericIfEntity::attributeOp(AttributeOp const& op, Ptr<GenericIf const> const& key,
                                            Ptr<GenericIf> const& value) {
  if (GenericAttr const* row = zefEntityTable.row(op.id)) {
    return tableOp(*row, static_cast<PtrInterface*>(entity_.ptr()), op, key.ptr(), value.ptr());
  }
  return GenericIf::attributeOp(op, key, value);
}

Ptr<GenericIf> GenericIfEntity::copy() const {
  return Ptr<GenericIf>(new GenericIfEntity(entity_, isConst(), table_), adoptRef);
}

Ptr<GenericIf> ZefType::genericIf(PtrInterface* object, bool isConst) const {
  if (auto* e = dynamic_cast<Entity*>(object)) return Ptr<GenericIf>(new GenericIfEntity(Ptr<Entity>(e), isConst), adoptRef);
  return Ptr<GenericIf>();
}

Ptr<GenericIf> ZefType::genericIf(GenericIf const*, bool) const { throwTypeException(name().charPtr()); }

Ptr<GenericIf> ZefType::genericIfOfValue(void const*, bool) const { throwTypeException(name().charPtr()); }

Ptr<GenericIf> ZefType::genericIfFromText(String8 const&) const { throwTypeException(name().charPtr()); }

Ptr<GenericIf> ZefType::genericIfFromWire(NboAttrLog::In*) const { throwTypeException(name().charPtr()); }

}  // namespace Zef
