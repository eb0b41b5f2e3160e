// Zef::Entity: a named, reference-counted framework object with a parent, and
// the reactor and state-adapter bases every entity's nested classes build on.
#pragma once

#include "runtime/entity/notifiee.h"
#include "runtime/object/ptr.h"
#include "runtime/text/string8.h"

namespace Zef {

class ZefAttr;

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

 private:
  Name name_;
  // Plain link: a parent outlives its children's membership, and detaches
  // them before it goes.
  Entity* parent_ = nullptr;
  AttributeId parentAttrId_ = kNoParentAttrId;
  std::uint32_t version_ = 0;
};

// The reactor base of every entity's NotifieeConst.
class Entity::NotifieeConst : public PtrInterface::NotifieeConst {
 public:
  void notifierIs(Ptr<PtrInterface const> const& n) override;
  virtual void onParent();
  virtual void onVersion();
};

// A reactor that carries an entity's state to an attribute log. Its reactors
// stand at the head of every notifiee list so replication sees each change
// before anybody else.
class StreamAdapter : public PtrInterface::NotifieeConst {
 public:
  EntityId entityId() const { return entityId_; }

 protected:
  EntityId entityId_ = 0;
};

class Entity::ZefNboAttrLogSa : public StreamAdapter {
 public:
  explicit ZefNboAttrLogSa(Zef_BitSet flags) { notificationFlagsIs(flags); }
};

}  // namespace Zef
