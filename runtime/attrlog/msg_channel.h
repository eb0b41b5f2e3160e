// Message channels: a channel groups the state adapters that carry one
// conversation, whatever log each is on. An adapter belongs to at most one
// channel, through its entry; members and children a directory's adapter
// makes on its log join the directory's channel.
//
// The entry's mode says what the records of its adapters are doing:
//   0  nothing under way
//   1  a value or a member was applied from a record
//   3  a sync-mode record was applied
//   4  internal writes: every write of its adapters is reported to
//      doQuorraInternalWrite before anything else decides about it
// The process's constrainer makes the channels and knows which entity a
// record is creating (the deserializing entity id and parent).
#pragma once

#include <cstdint>

#include "runtime/entity/notifiee.h"
#include "runtime/object/ptr.h"
#include "runtime/object/string8.h"

namespace Zef {

class Entity;

namespace MsgChannel {

class Constrainer : public PtrInterface {
 public:
  class ZefEntry;

  static ValidPtr<Constrainer> ConstrainerIs() { return ValidPtr<Constrainer>(new Constrainer, adoptRef); }

  // A new channel of this constrainer.
  ValidPtr<ZefEntry> entryIs();

  // The entity a record is creating right now, and the entity it is made in.
  EntityId deserializingEid() const { return deserializingEid_; }
  void deserializingEidIs(EntityId eid) { deserializingEid_ = eid; }
  Entity* deserializingInParent() const { return deserializingInParent_; }
  void deserializingInParentIs(Entity* parent) { deserializingInParent_ = parent; }

 private:
  Constrainer() = default;
  ~Constrainer() override;

  EntityId deserializingEid_ = 0;
  Entity* deserializingInParent_ = nullptr;
};

class Constrainer::ZefEntry : public PtrInterface {
 public:
  enum Mode : unsigned { modeIdle = 0, modeApplied = 1, modeSyncApplied = 3, modeInternalWrite = 4 };

  unsigned mode() const { return mode_; }
  // Modes above 4 are refused, and the mode stays.
  void modeIs(unsigned m);
  Constrainer* constrainer() const { return constrainer_.ptr(); }

  // One write of an adapter on this channel in mode 4: the adapter's entity
  // id, the attribute, and for a collection the key (null otherwise). An
  // owner that must see or veto the write overrides this; throwing stops
  // the write. The default counts the writes and keeps the last.
  virtual void doQuorraInternalWrite(EntityId eid, AttributeId a, Name const* key);
  std::uint64_t internalWrites() const { return internalWrites_; }
  EntityId lastInternalWriteEid() const { return lastEid_; }
  AttributeId lastInternalWriteAttr() const { return lastAttr_; }
  Name const& lastInternalWriteKey() const { return lastKey_; }

 protected:
  // An owner's own kind of channel; `c` may not be null.
  explicit ZefEntry(Constrainer* c);
  ~ZefEntry() override;

 private:
  friend class Constrainer;

  Ptr<Constrainer> constrainer_;
  unsigned mode_ = modeIdle;
  std::uint64_t internalWrites_ = 0;
  EntityId lastEid_ = 0;
  AttributeId lastAttr_ = 0;
  Name lastKey_;
};

// The process's constrainer; null when it has none, and then no adapter
// carries a channel made by it.
Constrainer* constrainer();
void constrainerIs(Ptr<Constrainer> c);

}  // namespace MsgChannel
}  // namespace Zef
