// Zef::Entity: a named, reference-counted framework object with a parent, and
// the reactor base every entity's nested reactor classes build on.
#pragma once

#include "runtime/entity/notifiee.h"
#include "runtime/object/ptr.h"
#include "runtime/object/string8.h"

namespace Zef {

class ZefAttr;
namespace NboAttrLog {
class Out;
}

class Entity : public PtrInterface {
 public:
  class NotifieeConst;
  class ZefNboAttrLogSa;

  // The parent attribute id of an entity that no directory holds.
  static constexpr AttributeId kNoParentAttrId = 136;

  explicit Entity(Name name) : name_(std::move(name)) {}
  ~Entity() override;

  ZefType* fwkType() const override;
  static ZefType* _fwkType();

  // Virtual operations after PtrInterface's, in the framework's slot order.
  virtual Name name() const;
  virtual Ptr<Entity const> parent() const;
  virtual Ptr<Entity> parent();
  virtual void parentIs(Ptr<Entity> const& p);
  virtual Ptr<ZefAttr const> parentAttr() const;
  virtual AttributeId parentAttrId() const;
  virtual void parentAttrIdIs(AttributeId id);
  virtual String8 uriPath() const;
  virtual String8 fullName() const;
  virtual String8 attributeString(AttributeId id) const;
  virtual void zefNotifieeAdapterIs(Ptr<Entity const> const& adapter);
  virtual void handleParent(Ptr<Entity> const& p);
  // The entity's state adapters, one per attribute log it is attached to,
  // found through its reactor list. An entity type without them says so.
  virtual Ptr<ZefNboAttrLogSa const> zefNboAttrLogSa(Ptr<NboAttrLog::Out const> const& out) const;
  virtual bool zefHasAttrLogInterface() const;
  virtual Ptr<ZefNboAttrLogSa> zefNboAttrLogSa(Ptr<NboAttrLog::Out const> const& out);
  virtual Ptr<ZefNboAttrLogSa> zefNboAttrLogSaForMsgChannel(Ptr<ZefNboAttrLogSa> const& sa) const;
  virtual ValidPtr<ZefNboAttrLogSa> zefNboAttrLogSaIs(PtrInterface::NotifieeConst::Zef_BitSet flags, unsigned n,
                                                      Ptr<NboAttrLog::Out> const& out, PtrInterface* owner);
  virtual Ptr<ZefNboAttrLogSa> zefNboAttrLogSaDel(Ptr<NboAttrLog::Out const> const& out);

  // Whether the parent keeps this entity in a field or a collection of its
  // own, which it clears, detaching the entity, before it goes: the record of
  // each parent's children then needs no entry for it. Any other parent change
  // ends it. Without a parent it stays false.
  bool zefHeldByParent() const { return heldByParent_; }
  void zefHeldByParentIs(bool b);
  // Makes `p` the parent, holding this entity, in one step: the record of
  // children is not touched on the way.
  void zefHeldParentIs(Ptr<Entity> const& p);

 private:
  // The parent whose entry in the record of children lists this entity.
  Entity* recordedParent() const { return heldByParent_ ? nullptr : parent_; }
  // Makes `p` the parent, held by it or recorded under it.
  void parentMove(Ptr<Entity> const& p, bool held);

  Name name_;
  // Plain link: a parent outlives its children's membership, and detaches
  // them before it goes.
  Entity* parent_ = nullptr;
  AttributeId parentAttrId_ = kNoParentAttrId;
  // One word for both: the version counts parent changes.
  std::uint32_t version_ : 31 = 0;
  std::uint32_t heldByParent_ : 1 = 0;
};

// The reactor base of every entity's NotifieeConst.
class Entity::NotifieeConst : public PtrInterface::NotifieeConst {
 public:
  void notifierIs(Ptr<PtrInterface const> const& n) override;
  virtual void onParent();
  virtual void onVersion();
};

}  // namespace Zef
