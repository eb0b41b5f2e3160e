// Zef::HashMap<T, K>: the intrusive, separately chained, name-keyed hash map
// behind every collection, and its iterators.
//
// Guarantees:
// - Members: T derives (not virtually) from PtrInterface, carries
//   `Ptr<T> fwkHmNext` (null while outside a map) and yields its key with
//   `fwkKey()`. The map links members through `fwkHmNext` and allocates
//   nothing per member; its bucket array is its only allocation.
// - References: the map holds exactly one counted reference per member (the
//   bucket head on the first of a chain, the predecessor's `fwkHmNext` on the
//   others). A removal clears the member's `fwkHmNext` and hands the map's
//   reference to the caller. Destroying the map releases every member and
//   notifies nobody.
// - Iteration order: ascending bit-reversed key hash (`rhash`), equal hashes
//   by ascending key. The order depends on the keys only, never on the bucket
//   count, so it is the same before and after the table grows and in every
//   process.
// - An iterator keeps its current member alive, and never the map. While the
//   member is in the map, the map's reference does; the map gives a counted
//   reference to every iterator standing on a member it removes (which is
//   also how its iterators keep their members when the map goes: they end at
//   their next step). A position found by a search (a constructor, a
//   re-location) is counted too; a step through an unchanged map lets that
//   go and counts nothing, so iterating touches no reference count.
// - A step costs one link while the map is unchanged (same `version`);
//   after any insertion, removal or growth the iterator re-locates from its
//   current member's key. So an iterator survives the removal of its current
//   member, by itself (`deletePtr`) or by other code: it goes on with the
//   member that follows that key, without skipping or repeating a member.
//   Members inserted behind the position are not seen; those inserted ahead
//   are. Members with equal keys are not told apart by a re-location.
// - Duplicate keys are not detected: callers look a key up before inserting.
// - Complexity, for n members: look-up, insertion and removal by key O(1)
//   expected (the table doubles once members outnumber half the buckets, and
//   never shrinks); a full iteration O(n + buckets); deleteAll O(n + buckets).
// - One thread owns a map and its iterators; only reference counts are atomic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "runtime/failure/exception.h"
#include "runtime/hashmap/hash_map_generic.h"
#include "runtime/object/bit_reverse.h"
#include "runtime/entity/notifiee.h"
#include "runtime/object/ptr.h"
#include "runtime/object/string8.h"

namespace Zef {

// The key hash the map orders by: the key's hash with its bits reversed, so
// that the bucket index (its top bits) is the low bits of the plain hash.
template <class K>
unsigned rhash(K const& key);
// A name makes its hash reversed already: bitReverse(key.hash()) without
// the reversal.
template <>
inline unsigned rhash<Name>(Name const& key) {
  return key.reversedHash();
}
template <>
inline unsigned rhash<AttributeId>(AttributeId const& key) {
  return bitReverse(static_cast<std::uint32_t>(key));
}
template <>
inline unsigned rhash<EntityId>(EntityId const& key) {
  return bitReverse(static_cast<std::uint32_t>(key >> 1));
}

// Key equality as `==`. Names are compared in at most two overlapping words
// when short, as most names are: a call to memcmp was half of a look-up.
inline bool hashMapKeyEquals(Name const& a, Name const& b) {
  std::string_view const x = a.view(), y = b.view();
  std::size_t const n = x.size();
  if (n != y.size()) return false;
  if (n > 16) return x == y;
  auto const* p = reinterpret_cast<unsigned char const*>(x.data());
  auto const* q = reinterpret_cast<unsigned char const*>(y.data());
  auto same = [&](std::size_t at, auto word) {
    decltype(word) u, v;
    std::memcpy(&u, p + at, sizeof u);
    std::memcpy(&v, q + at, sizeof v);
    return u == v;
  };
  if (n >= 8) return same(0, std::uint64_t{}) && same(n - 8, std::uint64_t{});
  if (n >= 4) return same(0, std::uint32_t{}) && same(n - 4, std::uint32_t{});
  return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}
inline bool hashMapKeyEquals(AttributeId a, AttributeId b) { return a == b; }
inline bool hashMapKeyEquals(EntityId a, EntityId b) { return a == b; }

// Key order for equal hashes, and the key that marks no position.
inline bool hashMapKeyLess(Name const& a, Name const& b) { return a < b; }
inline bool hashMapKeyLess(AttributeId a, AttributeId b) {
  return static_cast<std::uint32_t>(a) < static_cast<std::uint32_t>(b);
}
inline bool hashMapKeyLess(EntityId a, EntityId b) { return a < b; }
inline bool hashMapKeyEmpty(Name const& k) { return k.empty(); }
inline bool hashMapKeyEmpty(AttributeId k) { return k == 0; }
inline bool hashMapKeyEmpty(EntityId k) { return k == 0; }

template <class T, class K>
class HashMap;

// The key operations of HashMap<T, K>, one instance per map type.
template <class T, class K>
class HashMapVTable final : public HashMapVTableGeneric {
 public:
  unsigned hash(PtrInterface const* member) const override { return rhash<K>(of(member)->fwkKey()); }
  bool keyEquals(void const* key, PtrInterface const* member) const override {
    return hashMapKeyEquals(*static_cast<K const*>(key), of(member)->fwkKey());
  }
  bool keyLessThan(void const* key, PtrInterface const* member) const override {
    return !key || hashMapKeyLess(*static_cast<K const*>(key), of(member)->fwkKey());
  }

 private:
  static T const* of(PtrInterface const* member) { return static_cast<T const*>(member); }
};

template <class T, class K>
class HashMap : public HashMapGeneric {
 public:
  class IteratorConst;
  class Iterator;
  template <class D>
  class DerIteratorConst;
  template <class D>
  class DerIterator;

  HashMap() : HashMapGeneric(1) {}
  virtual ~HashMap() { emptyAllBucketsG(zefVTable(), next(), base()); }

  // The member with this key, or null.
  T* operator[](K const& key) const {
    // The hot path, kept typed and inline: one hash, one bucket, a tight walk.
    for (T* m = of(candidateHead(rhash<K>(key))); m; m = m->fwkHmNext.ptr()) {
      if (hashMapKeyEquals(m->fwkKey(), key)) return m;
    }
    return nullptr;
  }

  // Inserts t without looking for a member with the same key.
  void memberIs(Ptr<T> const& t) { newMember(t, rhash<K>(t->fwkKey())); }

  void newMember(Ptr<T> const& t, unsigned hash) {
    if (!t) return;
    // A member links into one map at a time, once; relinking would corrupt
    // the chains. The last member of a chain has a clear link too, so the
    // core also reports meeting t in the chain it walks.
    auto const& key = t->fwkKey();
    if (t->fwkHmNext || !newMemberG(zefVTable(), next(), base(), t.ptr(), hash, &key)) {
      assertionFailed("t->fwkHmNext() == 0", "/usr/include/Zef/HashMap", 319);
    }
    maybeGrow();
  }

  // Removes the member with this key and returns it; null when absent.
  Ptr<T> memberDel(K const& key) { return own(memberDelG(zefVTable(), next(), base(), rhash<K>(key), &key)); }
  Ptr<T> deleteMember(K const& key) { return memberDel(key); }

  // Removes exactly this member; false when it is not in this map.
  bool deleteMember(Ptr<T> const& t) { return t && deleteMemberG(zefVTable(), next(), base(), -1, t.ptr()); }
  // The same, looking in `bucket` first, and returning the map's reference.
  Ptr<T> deleteMemberIn(T const* t, int bucket) { return own(deleteMemberG(zefVTable(), next(), base(), bucket, t)); }

  // Removes the first member in iteration order; null when empty.
  Ptr<T> deleteOneMember() { return own(deleteOneMemberG(zefVTable(), next(), base())); }

  // The member after `member` in iteration order (the first when null), its
  // bucket index stored through `bucket` when not null.
  T* findNext(T const* member, int* bucket) const {
    if (!member) return of(findNextG(zefVTable(), next(), base(), nullptr, bucket, nullptr));
    auto const& key = member->fwkKey();
    return of(findNextG(zefVTable(), next(), base(), member, bucket, &key));
  }

  T* findNextBucket(int* bucket) const { return of(findNextBucketG(bucket)); }

  // The member with this key or else the first one after it in iteration
  // order; null when there is none.
  T* startAtHash(K const& key, int* bucket = nullptr) const {
    return of(startAtHashG(zefVTable(), next(), base(), rhash<K>(key), &key, bucket));
  }

  void maybeGrow() { maybeGrowG(zefVTable(), next(), base()); }

  HashMapVTable<T, K> const& zefVTable() const {
    // Checked here rather than in the class so that a map may be declared
    // while T is still incomplete.
    static_assert(std::is_base_of_v<PtrInterface, T>, "a hash map member is a PtrInterface");
    static_assert(std::is_same_v<decltype(T::fwkHmNext), Ptr<T>>, "a hash map member links through Ptr<T> fwkHmNext");
    static_assert(sizeof(Ptr<T>) == sizeof(T*) && std::is_standard_layout_v<Ptr<T>>,
                  "the core reads a link as the pointer it holds");
    static HashMapVTable<T, K> const vtable;
    return vtable;
  }

 private:
  // Removes the first member of this non-empty bucket: for an iterator that
  // stands on it.
  Ptr<T> deleteHead(std::uint32_t bucket) { return own(deleteHeadG(next(), base(), bucket)); }

  static T* of(PtrInterface const* m) { return static_cast<T*>(const_cast<PtrInterface*>(m)); }
  static Ptr<T> own(Ptr<PtrInterface>&& m) { return Ptr<T>(static_cast<T*>(m.release()), adoptRef); }

  // Where the link sits inside a member. GCC and Clang lay out a class
  // without virtual bases at fixed offsets, which is all offsetof needs here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
  static constexpr std::ptrdiff_t next() noexcept { return offsetof(T, fwkHmNext); }
#pragma GCC diagnostic pop
  // Where the PtrInterface part sits inside a member. Converting the address
  // of unconstructed storage to a non-virtual base is allowed and only adds a
  // constant, which the compiler folds.
  static std::ptrdiff_t base() noexcept {
    alignas(T) unsigned char storage[sizeof(T)];
    PtrInterface const* p = reinterpret_cast<T const*>(storage);
    return reinterpret_cast<unsigned char const*>(p) - storage;
  }
};

// A position in a map: the current member, its bucket, and the map's version
// when the position was taken. The map keeps track of it (HashMapPosition).
template <class T, class K>
class HashMap<T, K>::IteratorConst : public HashMapPosition {
 public:
  // At the first member; a null map gives the end.
  explicit IteratorConst(HashMap const* map) {
    if (!map) return;
    attach(map);
    version_ = map->version();
    heldAtIs(map->findNext(nullptr, &bucket_));
    if (!at_) bucket_ = -1;
  }
  // At the member with this key or else the first one after it.
  IteratorConst(HashMap const* map, K const& key) {
    if (!map) return;
    attach(map);
    positionIs(map->startAtHash(key, &bucket_));
  }
  // At this member. One that is not in the map stands for its key: the
  // iterator starts where that key would be, rather than follow a link that
  // belongs to another map.
  IteratorConst(HashMap const* map, T const* member) {
    if (!map || !member) return;
    attach(map);
    auto const& key = member->fwkKey();
    int b = static_cast<int>(map->bucketIndex(rhash<K>(key)));
    for (T const* m = of(map->bucketHead(static_cast<std::uint32_t>(b))); m; m = m->fwkHmNext.ptr()) {
      if (m == member) {
        bucket_ = b;
        positionIs(member);
        return;
      }
    }
    positionIs(map->startAtHash(key, &bucket_));
  }
  IteratorConst(IteratorConst const&) = default;
  IteratorConst& operator=(IteratorConst const&) = default;
  virtual ~IteratorConst() = default;

  // True on a member with a non-empty key.
  virtual bool hasBookmark() const { return at_ && !hashMapKeyEmpty(ptr()->fwkKey()); }

  // Moves to the next member. At the end it stays there.
  void advance() {
    if (!at_) return;
    if (!owner_) {
      // The map is gone.
      linkedAtIs(nullptr);
    } else if (version_ == owner_->version()) {
      PtrInterface const* following = ptr()->fwkHmNext.ptr();
      if (!following) following = owner_->findNextBucketAheadG(&bucket_, &ahead_);
      linkedAtIs(following);
    } else {
      heldAtIs(map()->findNext(ptr(), &bucket_));
      version_ = owner_->version();
      ahead_ = 0;
    }
    if (!at_) bucket_ = -1;
  }
  IteratorConst& operator++() {
    advance();
    return *this;
  }

  T const* ptr() const { return static_cast<T const*>(at_); }
  T const* operator->() const { return ptr(); }
  T const& operator*() const { return *ptr(); }
  explicit operator bool() const { return at_ != nullptr; }
  std::uint32_t version() const { return version_; }
  int bucket() const { return bucket_; }

 protected:
  HashMap const* map() const { return static_cast<HashMap const*>(owner_); }
  void positionIs(T const* member) {
    ahead_ = 0;
    heldAtIs(member);
    if (member) version_ = owner_->version();
    else bucket_ = -1;
  }
  // Passes over members that are not a D.
  template <class D>
  void skipToDerived() {
    while (at_ && !dynamic_cast<D const*>(ptr())) advance();
  }

  std::uint32_t version_ = 0;
  int bucket_ = -1;
  // The chains ahead in bucket_'s group while the map is as it was
  // (HashMapGeneric::findNextBucketAheadG).
  std::uint64_t ahead_ = 0;
};

template <class T, class K>
class HashMap<T, K>::Iterator : public HashMap<T, K>::IteratorConst {
 public:
  explicit Iterator(HashMap* map) : IteratorConst(map) {}

  bool hasBookmark() const override { return !currentDeleted_ && IteratorConst::hasBookmark(); }
  // Called with each member removed through this iterator; the default does
  // nothing. Collections override it to tell their reactors.
  virtual void deleteNotify(Ptr<T> const& member) const {
    // Lends member's reference for the call: the caller's holds it alive,
    // and a removal then costs no count of its own.
    struct Lent {
      Ptr<T const> ptr;
      ~Lent() { ptr.release(); }
    } const lent{Ptr<T const>(member.ptr(), adoptRef)};
    deleteNotify(lent.ptr);
  }
  virtual void deleteNotify(Ptr<T const> const&) const {}

  // Moves on, unless the position already stands on the successor of a
  // member removed through this iterator.
  Iterator& operator++() {
    if (!currentDeleted_) this->advance();
    currentDeleted_ = false;
    return *this;
  }

  // Removes the current member and stands on its successor; the next ++
  // stays there. Off a live member (at the end, or right after a deletePtr)
  // there is nothing to remove and nothing happens.
  void deletePtr() {
    if (currentDeleted_ || !this->at_) return;
    T const* victim = this->ptr();
    // A count of our own on the victim stays here until it is dealt with;
    // without one, the map holds the victim until the removal hands it over.
    Ptr<T const> held;
    if (this->releaseHeld()) held = Ptr<T const>(victim, adoptRef);
    // In step with the map, the position's bucket is the victim's.
    int const bucket = this->owner_ && this->version_ == this->owner_->version() ? this->bucket_ : -1;
    ++*this;
    currentDeleted_ = true;
    if (!map()) return;
    // In step, the victim is most often its chain's first member (always so
    // when every member goes); then it needs no search. Only a member this
    // call really removed is announced.
    Ptr<T> removed = bucket >= 0 && map()->bucketHead(static_cast<std::uint32_t>(bucket)) == victim
                         ? map()->deleteHead(static_cast<std::uint32_t>(bucket))
                         : map()->deleteMemberIn(victim, bucket);
    if (!removed) return;
    // The step left the position in step on a member the removal did not
    // move.
    this->version_ = map()->version();
    deleteNotify(removed);
  }

  // Removes every member of the map, announcing each before the next goes.
  void deleteAll() {
    if (!map()) return;
    while (Ptr<T> m = map()->deleteOneMember()) deleteNotify(m);
  }

  T* ptr() const { return const_cast<T*>(IteratorConst::ptr()); }
  T* operator->() const { return ptr(); }
  T& operator*() const { return *ptr(); }

 protected:
  HashMap* map() const { return const_cast<HashMap*>(IteratorConst::map()); }

  bool currentDeleted_ = false;
};

// Iterators that stop only at members whose dynamic type is D.
template <class T, class K>
template <class D>
class HashMap<T, K>::DerIteratorConst : public HashMap<T, K>::IteratorConst {
 public:
  explicit DerIteratorConst(HashMap const* map) : IteratorConst(map) { this->template skipToDerived<D>(); }
  DerIteratorConst(HashMap const* map, K const& key) : IteratorConst(map, key) { this->template skipToDerived<D>(); }

  void advance() {
    IteratorConst::advance();
    this->template skipToDerived<D>();
  }
  DerIteratorConst& operator++() {
    advance();
    return *this;
  }
  D const* ptr() const { return static_cast<D const*>(IteratorConst::ptr()); }
  D const* operator->() const { return ptr(); }
  D const& operator*() const { return *ptr(); }
};

template <class T, class K>
template <class D>
class HashMap<T, K>::DerIterator : public HashMap<T, K>::Iterator {
 public:
  explicit DerIterator(HashMap* map) : Iterator(map) { this->template skipToDerived<D>(); }

  DerIterator& operator++() {
    Iterator::operator++();
    this->template skipToDerived<D>();
    return *this;
  }
  // The successor the base leaves us on may not be a D; the position moves
  // on to the next D and the next ++ still stays there.
  void deletePtr() {
    Iterator::deletePtr();
    this->template skipToDerived<D>();
  }
  D* ptr() const { return static_cast<D*>(Iterator::ptr()); }
  D* operator->() const { return ptr(); }
  D& operator*() const { return *ptr(); }
};

}  // namespace Zef
