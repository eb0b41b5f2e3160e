// Flow state of one state adapter on one log: the flow-out that remembers
// what is still to be written, and the flow-in state of records being applied.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/entity/notifiee.h"
#include "runtime/object/ptr.h"
#include "runtime/object/string8.h"

namespace Zef {

class StreamAdapter;

// Where a flow-out comes from and goes to; the runtime passes it through.
struct EntityUriPath {
  String8 path;
  explicit EntityUriPath(String8 p) : path(std::move(p)) {}
};

struct ConnectDesc {
  EntityUriPath from;
  EntityUriPath to;
  ConnectDesc(EntityUriPath f, EntityUriPath t) : from(std::move(f)), to(std::move(t)) {}
};

namespace NboAttrLog {

class Out;
class Demuxer;

// A scheduled flow-out of one state adapter. Generated subclasses add the
// dirty bits of their entity's attributes; this part holds where the pass
// stands and why it stopped.
class FlowOut : public PtrInterface {
 public:
  FlowOut(Ptr<Out> out, Ptr<StreamAdapter> sa, ConnectDesc desc, bool keysOnly, AttributeId start);
  ~FlowOut() override;

  virtual bool hasDirtyAttributes() const;

  // The attribute the flow-out stands at.
  AttributeId attrId() const { return attrId_; }
  void attrIdIs(AttributeId a) { attrId_ = a; }
  AttributeId startAttrId() const { return start_; }

  // Entity ids ran out while writing: the pass stops and resumes later.
  bool eidsExhausted() const { return eidsExhausted_; }
  void eidsExhaustedIs(bool b) { eidsExhausted_ = b; }

  // Only changed keys travel; a collection's full pass is not wanted.
  bool isKeysOnly() const { return keysOnly_; }

  // A collection's full pass stopped before the member of this name.
  bool hasBookmark() const { return hasBookmark_; }
  void bookmarkIs(Name const& key);
  Name bookmarkDeq();

  // The first collection attribute with work left (a full pass not done, or
  // keys still dirty): a finished pass over this flow-out goes on there.
  // 0 when none: then the flow-out is done.
  virtual AttributeId pendingKeysFrom() const { return 0; }
  // Holds what a collection's first synchronisation achieved: kept for the
  // life of the connection rather than dropped after a pass.
  virtual bool hasKeyedState() const { return false; }

  // Transaction markers of type 1 still owed for these attributes.
  std::vector<AttributeId> const& pendingAborts() const { return pendingAborts_; }
  void pendingAbortIs(AttributeId a, bool b);
  void pendingAbortDelAll() { pendingAborts_.clear(); }

  Out* out() const { return out_.ptr(); }
  StreamAdapter* streamAdapter() const { return sa_; }

  // A finished flow-out with nothing left in it is as good as a new one
  // that marks nothing: an adapter keeps it for its next deferral rather
  // than build one for every change.
  bool isReusable() const {
    return !eidsExhausted_ && !hasBookmark_ && pendingAborts_.empty() && !hasKeyedState() &&
           pendingKeysFrom() == 0 && !hasDirtyAttributes();
  }
  void restartedAt(AttributeId start) {
    start_ = attrId_ = start;
  }
  ConnectDesc const& connectDesc() const { return desc_; }

 private:
  Ptr<Out> out_;
  // Plain: the adapter owns its flow-out, not the reverse.
  StreamAdapter* sa_;
  ConnectDesc desc_;
  AttributeId start_;
  AttributeId attrId_;
  bool keysOnly_;
  bool eidsExhausted_ = false;
  bool hasBookmark_ = false;
  Name bookmark_;
  std::vector<AttributeId> pendingAborts_;
};

// What a demuxer keeps of one entity while records for it are applied: the
// attribute of an open transaction, and whether its closing marker came.
class FlowIn {
 public:
  AttributeId aid() const { return aid_; }
  void aidIs(AttributeId a) { aid_ = a; }
  bool handlingTransaction() const { return handlingTransaction_; }
  void handlingTransactionIs(bool b) { handlingTransaction_ = b; }

 private:
  AttributeId aid_ = 0;
  bool handlingTransaction_ = false;
};

// A fixed set of dirty bits, one per replicated attribute of one level of an
// entity type: bit k is bit k mod 32 of word k div 32.
template <int Words>
class DirtyBits {
 public:
  bool test(unsigned k) const { return words_[k / 32] >> (k % 32) & 1u; }
  void set(unsigned k, bool b) {
    std::uint32_t m = 1u << (k % 32);
    if (b) words_[k / 32] |= m;
    else words_[k / 32] &= ~m;
  }
  bool any() const {
    for (std::uint32_t w : words_) {
      if (w) return true;
    }
    return false;
  }
  std::uint32_t word(int i) const { return words_[i]; }
  bool operator==(DirtyBits const&) const = default;

 private:
  std::uint32_t words_[Words] = {};
};

}  // namespace NboAttrLog
}  // namespace Zef
