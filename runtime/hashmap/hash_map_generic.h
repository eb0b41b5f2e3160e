// The type-independent core of the framework's intrusive hash map. The typed
// template `Zef::HashMap<T, K>` (containers/hash_map.h) is a thin layer over
// it: every algorithm that walks, links or unlinks a chain lives here, once.
//
// The core never sees a member's type. It knows a member as its PtrInterface
// part, reaches the member's link `fwkHmNext` through two byte offsets that the
// typed map passes with every call (`next`: the link inside the member,
// `base`: the PtrInterface part inside the member), and asks a
// HashMapVTableGeneric for everything that needs the key.
//
// Guarantees (the typed header repeats them for users):
// - Bucket index: with 2^k buckets, the top k bits of the bit-reversed key
//   hash (`rhash`); one bucket when k = 0.
// - Order rule: every chain holds its members by ascending rhash, equal rhash
//   by ascending key. Since the bucket index is the top bits of rhash, walking
//   the buckets in index order walks the whole map in that order, whatever the
//   bucket count.
// - The map holds one counted reference per member: the bucket head holds the
//   first member of a chain, each member's `fwkHmNext` the next one. Every
//   removal clears the removed member's link.
// - `version` grows by one with every insertion and every removal.
// - A bucket whose chain an insertion or a growth left with one member keeps
//   a three-bit hint of that member's rhash beside its pointer; a hint of 0
//   says nothing. A look-up whose own hint differs stops at the bucket, so
//   most look-ups of absent keys touch no member. Removals clear the hint.
// - Links move: every link change hands a reference from one holder to
//   another, so inserting takes one count and removing, growing and
//   emptying take none beyond what the caller lets go.
// - The map knows its iterators' positions (HashMapPosition). A removal hands
//   a counted reference to each position standing on the removed member, so
//   a position needs no count of its own while its member is in the map.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "runtime/object/ptr.h"

namespace Zef {

// The key operations of one typed map, the only way the core touches a key.
class HashMapVTableGeneric {
 public:
  // rhash of the member's key.
  virtual unsigned hash(PtrInterface const* member) const = 0;
  // The key (a K) equals the member's key.
  virtual bool keyEquals(void const* key, PtrInterface const* member) const = 0;
  // True when key is null; otherwise the key is less than the member's key.
  virtual bool keyLessThan(void const* key, PtrInterface const* member) const = 0;

 protected:
  // The singletons are never destroyed through this base.
  ~HashMapVTableGeneric() = default;
};

class HashMapGeneric;

// A position in one map that the map keeps track of: the base of the typed
// iterators. `held` says the position owns a counted reference on `at`;
// otherwise `at` is in the map, which keeps it alive.
class HashMapPosition {
 protected:
  HashMapPosition() = default;
  HashMapPosition(HashMapPosition const& o) noexcept { copyFrom(o); }
  HashMapPosition& operator=(HashMapPosition const& o) noexcept {
    if (this != &o) {
      clear();
      copyFrom(o);
    }
    return *this;
  }
  ~HashMapPosition() { clear(); }

  // Joins `map`'s positions (leaving any other map's first).
  void attach(HashMapGeneric const* map) noexcept;
  void detach() noexcept;
  // Stands on m, which the caller found by a search: counted.
  void heldAtIs(PtrInterface const* m) noexcept {
    if (m) m->newRef();
    PtrInterface const* old = held_ ? at_ : nullptr;
    at_ = m;
    held_ = m != nullptr;
    if (old) old->deleteRef();
  }
  // Stands on m, a member of the map reached by a link or a bucket scan.
  void linkedAtIs(PtrInterface const* m) noexcept {
    PtrInterface const* old = held_ ? at_ : nullptr;
    at_ = m;
    held_ = false;
    if (old) old->deleteRef();
  }
  // Gives the position's own count on `at` (if any) to the caller.
  bool releaseHeld() noexcept { return std::exchange(held_, false); }

  HashMapGeneric const* owner_ = nullptr;
  PtrInterface const* at_ = nullptr;
  bool held_ = false;

 private:
  friend class HashMapGeneric;
  void copyFrom(HashMapPosition const& o) noexcept {
    attach(o.owner_);
    at_ = o.at_;
    held_ = o.held_;
    if (held_) at_->newRef();
  }
  void clear() noexcept {
    detach();
    linkedAtIs(nullptr);
  }

  HashMapPosition* prevPosition_ = nullptr;
  HashMapPosition* nextPosition_ = nullptr;
};

class HashMapGeneric {
 public:
  HashMapGeneric(HashMapGeneric const&) = delete;
  HashMapGeneric& operator=(HashMapGeneric const&) = delete;

  // How many buckets ahead growth and deleteOneMember ask for a member.
  static constexpr std::uint32_t kPrefetchAhead = 32;

  std::uint32_t version() const noexcept { return version_; }
  std::uint32_t memberCount() const noexcept { return memberCount_; }
  std::uint32_t bucketCount() const noexcept { return bucketCount_; }

  // The bucket of a bit-reversed hash: its top k bits for 2^k buckets. The
  // 64-bit shift makes k = 0 (one bucket) yield 0 without a branch.
  std::uint32_t bucketIndex(unsigned rhash) const noexcept {
    return static_cast<std::uint32_t>(std::uint64_t{rhash} >> (32 - std::countr_zero(bucketCount_)));
  }
  PtrInterface* bucketHead(std::uint32_t bucket) const noexcept { return buckets_[bucket].head(); }
  // The head of the bucket that `rhash` falls in, or null when the bucket's
  // hint says no member there can have it. Without a branch: whether the hint
  // matches follows no pattern, and a look-up that waited for the bucket's
  // load to learn it would hold up the look-ups after it.
  PtrInterface* candidateHead(unsigned rhash) const noexcept {
    Bucket const b = buckets_[bucketIndex(rhash)];
    unsigned const hint = b.hint();
    std::uintptr_t const keep = std::uintptr_t{0} - static_cast<std::uintptr_t>((hint == 0) | (hint == hintOf(rhash)));
    return reinterpret_cast<PtrInterface*>(reinterpret_cast<std::uintptr_t>(b.head()) & keep);
  }

  // The head of the first non-empty bucket after *bucket (-1 starts at the
  // first), storing its index there; null and bucketCount() when none.
  PtrInterface* findNextBucketG(int* bucket) const noexcept {
    std::uint64_t ahead = 0;
    return findNextBucketAheadG(bucket, &ahead);
  }

  // findNextBucketG for a walk, inline: an iteration calls it once per
  // chain. `*ahead` holds which buckets after *bucket, up to the end of its
  // group of 64, hold a member, as bits from the group's first; 0 makes it
  // read the map's bits again. It is the walker's to keep, valid while the
  // map does not change. A step then takes the next chain from bits it
  // already has, and does not wait for a read that could begin only once
  // the step before it knew its bucket.
  PtrInterface* findNextBucketAheadG(int* bucket, std::uint64_t* ahead) const noexcept {
    std::uint64_t a = *ahead;
    std::uint32_t b;
    if (a != 0) {
      b = (static_cast<std::uint32_t>(*bucket) & ~kGroupMask) + static_cast<std::uint32_t>(std::countr_zero(a));
    } else {
      b = static_cast<std::uint32_t>(*bucket + 1);
      std::uint32_t word = b / kGroup;
      std::uint32_t const words = wordsFor(bucketCount_);
      a = word < words ? occupied_[word] & (~std::uint64_t{0} << (b % kGroup)) : 0;
      while (a == 0) {
        if (++word >= words) {
          *bucket = static_cast<int>(bucketCount_);
          *ahead = 0;
          return nullptr;
        }
        a = occupied_[word];
      }
      b = word * kGroup + static_cast<std::uint32_t>(std::countr_zero(a));
    }
    *ahead = a & (a - 1);
    *bucket = static_cast<int>(b);
    return buckets_[b].head();
  }

 protected:
  // `size` is rounded up to a power of two.
  explicit HashMapGeneric(unsigned size);
  // Returns the bucket array; the typed map has emptied it before.
  ~HashMapGeneric();

  // Links `member` (whose link is clear) into its chain by the order rule; a
  // member with an equal hash and key stays before it. `key` is the member's.
  // False, and nothing changes, when the member is already in this chain (as
  // its last member its link is clear too).
  bool newMemberG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                  PtrInterface* member, unsigned hash, void const* key);
  // Enlarges the table once the members outnumber the buckets. Never fails:
  // when the larger table cannot be built the map keeps the one it has.
  void maybeGrowG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base) noexcept;
  // Removes and returns the first member of `hash`'s chain whose key equals
  // `key`; null when there is none.
  Ptr<PtrInterface> memberDelG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                               unsigned hash, void const* key);
  // Removes exactly `member` and returns the map's reference on it; null
  // when it is not in this map. `bucket` is where to look first (-1: none);
  // `hash`, the member's rhash, is computed only when it is not there.
  Ptr<PtrInterface> deleteMemberG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                                  int bucket, PtrInterface const* member);
  // Removes the first member of `bucket`'s chain (there is one) and returns
  // the map's reference on it. Inline: an iterator removing the member it
  // stands on finds it there, and needs no search for its predecessor.
  Ptr<PtrInterface> deleteHeadG(std::ptrdiff_t next, std::ptrdiff_t base, std::uint32_t bucket) noexcept {
    return unlink(next, base, bucket, nullptr, buckets_[bucket].head());
  }
  // Removes and returns the first member in iteration order; null when empty.
  Ptr<PtrInterface> deleteOneMemberG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base);
  // Removes every member, one at a time, so that each release sees a
  // consistent map.
  void emptyAllBucketsG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base);
  // With a null member, the first member; otherwise the first member after
  // `key` (the member's key) in the order rule, whether or not `member` is
  // still here. The bucket index goes through `bucket` when not null.
  PtrInterface* findNextG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                          PtrInterface const* member, int* bucket, void const* key) const;
  // The member whose key equals `key`, or else the first one after it.
  PtrInterface* startAtHashG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                             unsigned hash, void const* key, int* bucket) const;

  // The member after `member` in its chain. The link is a Ptr<T>, whose only
  // field is the T*: read it as bytes and step from the T to its
  // PtrInterface part.
  static PtrInterface* linkOf(PtrInterface const* member, std::ptrdiff_t next, std::ptrdiff_t base) noexcept {
    char const* field = reinterpret_cast<char const*>(member) - base + next;
    void* raw;
    std::memcpy(&raw, field, sizeof raw);
    return raw ? reinterpret_cast<PtrInterface*>(static_cast<char*>(raw) + base) : nullptr;
  }
  // Sets the link's pointer without counting: the caller moves the reference
  // the link gains from another holder, and the one it had to another.
  static void linkIs(PtrInterface* member, std::ptrdiff_t next, std::ptrdiff_t base, PtrInterface* to) noexcept {
    char* field = reinterpret_cast<char*>(member) - base + next;
    void* raw = to ? reinterpret_cast<char*>(to) - base : nullptr;
    std::memcpy(field, &raw, sizeof raw);
  }

 private:
  // A chain's head and its hint in the pointer's three low bits, which a
  // PtrInterface's alignment leaves clear. The bucket holds a counted
  // reference on the head, moved by the core as links are.
  class Bucket {
   public:
    static constexpr std::uintptr_t kHintMask = 7;
    PtrInterface* head() const noexcept { return reinterpret_cast<PtrInterface*>(word_ & ~kHintMask); }
    unsigned hint() const noexcept { return static_cast<unsigned>(word_ & kHintMask); }
    void set(PtrInterface* head, unsigned hint) noexcept { word_ = reinterpret_cast<std::uintptr_t>(head) | hint; }
    void hintIs(unsigned hint) noexcept { word_ = (word_ & ~kHintMask) | hint; }

   private:
    std::uintptr_t word_ = 0;
  };
  static_assert(alignof(PtrInterface) > Bucket::kHintMask);
  // 1 to 7 from rhash's low byte: the bits furthest from the bucket index.
  static unsigned hintOf(unsigned rhash) noexcept { return 1 + (((rhash & 0xFFu) * 7u) >> 8); }

  // One bit a bucket, set while it holds a member, 64 buckets a word.
  static constexpr std::uint32_t kGroup = 64;
  static constexpr std::uint32_t kGroupMask = kGroup - 1;
  static std::uint32_t wordsFor(std::uint32_t buckets) noexcept { return (buckets + kGroupMask) / kGroup; }
  static void occupiedIs(std::uint64_t* words, std::uint32_t b, bool holds) noexcept {
    std::uint64_t const bit = std::uint64_t{1} << (b % kGroup);
    words[b / kGroup] = (words[b / kGroup] & ~bit) | (holds ? bit : 0);
  }

  // A table of `count` buckets and its bits, both empty, or neither.
  struct Table {
    Bucket* buckets = nullptr;
    std::uint64_t* occupied = nullptr;
  };
  static Table newTable(std::uint32_t count);
  // Frees the table in use and takes `t`, of `count` buckets.
  void tableIs(Table t, std::uint32_t count) noexcept;
  // The first member at or after `key` in the order rule (after it only,
  // unless `orEqual`), searched from `hash`'s bucket on.
  PtrInterface* seek(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base, unsigned hash,
                     void const* key, bool orEqual, int* bucket) const;
  // Takes `member` out of `bucket`'s chain, after `previous` (null: it heads
  // the chain). The reference member's holder had is returned; the one
  // member's link had on its follower moves to that holder. The returned
  // reference keeps the member alive until the map is consistent again and
  // the caller lets go. Inline for an iterator's removal of its own member.
  Ptr<PtrInterface> unlink(std::ptrdiff_t next, std::ptrdiff_t base, std::uint32_t bucket, PtrInterface* previous,
                           PtrInterface* member) noexcept {
    PtrInterface* following = linkOf(member, next, base);
    linkIs(member, next, base, nullptr);
    placeAfter(next, base, bucket, previous, following);
    --memberCount_;
    ++version_;
    countForPositions(member);
    return Ptr<PtrInterface>(member, adoptRef);
  }
  // Removes `member` from `bucket`'s chain if it is there.
  Ptr<PtrInterface> unlinkFrom(std::ptrdiff_t next, std::ptrdiff_t base, std::uint32_t bucket,
                               PtrInterface const* member) noexcept;
  // Iterators standing on a removed member keep it by a count of their own.
  void countForPositions(PtrInterface* member) const noexcept {
    for (HashMapPosition* p = positions_; p; p = p->nextPosition_) {
      if (p->at_ == member && !p->held_) {
        member->newRef();
        p->held_ = true;
      }
    }
  }
  // The core moves bucket heads without counting, as it does links. A new
  // head loses the hint: the chain may be longer than one.
  void headIs(std::uint32_t b, PtrInterface* m) noexcept {
    buckets_[b].set(m, 0);
    occupiedIs(occupied_, b, m != nullptr);
  }
  // Makes m what follows `previous` in `bucket`'s chain (null: its head),
  // handing over the reference the link or head held.
  void placeAfter(std::ptrdiff_t next, std::ptrdiff_t base, std::uint32_t bucket, PtrInterface* previous,
                  PtrInterface* m) noexcept {
    if (previous) {
      linkIs(previous, next, base, m);
    } else {
      headIs(bucket, m);
    }
  }

  friend class HashMapPosition;
  // The positions of this map's iterators, newest first.
  mutable HashMapPosition* positions_ = nullptr;

  std::uint32_t version_ = 0;
  std::uint32_t memberCount_ = 0;
  std::uint32_t bucketCount_ = 0;
  Bucket* buckets_ = nullptr;
  // Which buckets hold a member (occupiedIs).
  std::uint64_t* occupied_ = nullptr;
  // No member sits in a bucket below this one. Lets deleteOneMemberG, and so
  // deleteAll and the destructor, run in O(members + buckets) in all.
  std::uint32_t lowBucket_ = 0;
};

inline void HashMapPosition::attach(HashMapGeneric const* map) noexcept {
  if (owner_ == map) return;
  detach();
  if (!map) return;
  owner_ = map;
  nextPosition_ = map->positions_;
  if (nextPosition_) nextPosition_->prevPosition_ = this;
  map->positions_ = this;
}

inline void HashMapPosition::detach() noexcept {
  if (!owner_) return;
  if (prevPosition_) prevPosition_->nextPosition_ = nextPosition_;
  else owner_->positions_ = nextPosition_;
  if (nextPosition_) nextPosition_->prevPosition_ = prevPosition_;
  prevPosition_ = nextPosition_ = nullptr;
  owner_ = nullptr;
}

}  // namespace Zef
