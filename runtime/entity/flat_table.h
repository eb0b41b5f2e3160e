// A table keyed by a pointer or an unsigned number, in one block: open
// addressing with linear probing, grown at three quarters full. A removal
// moves the later members of its run back, so no slot is ever a tombstone and
// a look-up stops at the first empty slot. Where a node-based map would take
// a heap block of 32 to 48 bytes for each member, this takes 11 to 21 bytes a
// member of an 8-byte entry, and growing it touches one block. Null and 0 are
// not keys.
//
// A member's place moves when another is added or removed: a reference to a
// value lasts only until the table next changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "runtime/object/ptr.h"

namespace Zef {

template <class K, class V>
class FlatTable {
  static_assert(std::is_pointer_v<K> || std::is_unsigned_v<K>, "keys are pointers or unsigned numbers");

 public:
  FlatTable() = default;
  FlatTable(FlatTable&& o) noexcept
      : slots_(std::exchange(o.slots_, nullptr)), mask_(std::exchange(o.mask_, 0)), size_(std::exchange(o.size_, 0)) {}
  FlatTable& operator=(FlatTable&& o) noexcept {
    if (this != &o) {
      // The old members go after the table has taken the new ones.
      Slot* old = slots_;
      std::size_t const oldCapacity = capacity();
      slots_ = std::exchange(o.slots_, nullptr);
      mask_ = std::exchange(o.mask_, 0);
      size_ = std::exchange(o.size_, 0);
      freeSlots(old, oldCapacity);
    }
    return *this;
  }
  FlatTable(FlatTable const&) = delete;
  FlatTable& operator=(FlatTable const&) = delete;
  ~FlatTable() { freeSlots(std::exchange(slots_, nullptr), mask_ + 1); }

  // The value under `key`, or null.
  V const* find(K key) const { return const_cast<FlatTable*>(this)->find(key); }
  V* find(K key) {
    if (!slots_) return nullptr;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return &slots_[i].value;
      if (slots_[i].key == K{}) return nullptr;
    }
  }

  // The value under `key`, made empty if there was none. Throws only before
  // anything changes.
  V& operator[](K key) {
    if (V* v = find(key)) return *v;
    if ((size_ + 1) * 4 > capacity() * 3) grow();
    std::size_t i = home(key);
    while (slots_[i].key != K{}) i = (i + 1) & mask_;
    slots_[i].key = key;
    ++size_;
    return slots_[i].value;
  }

  void erase(K key) {
    if (!slots_) return;
    std::size_t hole = home(key);
    while (slots_[hole].key != key) {
      if (slots_[hole].key == K{}) return;
      hole = (hole + 1) & mask_;
    }
    // The value goes once the table is whole again: its destruction may
    // come back to the table.
    [[maybe_unused]] V gone = std::move(slots_[hole].value);
    slots_[hole] = Slot{};
    --size_;
    // A later member of the run moves into the hole unless its home lies
    // cyclically after the hole, up to where it stands.
    for (std::size_t i = (hole + 1) & mask_; slots_[i].key != K{}; i = (i + 1) & mask_) {
      std::size_t const h = home(slots_[i].key);
      bool const stays = hole <= i ? (hole < h && h <= i) : (hole < h || h <= i);
      if (stays) continue;
      slots_[hole] = std::move(slots_[i]);
      slots_[i] = Slot{};
      hole = i;
    }
    // An emptied table gives its block back.
    if (size_ == 0) {
      freeSlots(std::exchange(slots_, nullptr), mask_ + 1);
      mask_ = 0;
    }
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Empty, and its members destroyed after it is.
  void clear() { FlatTable gone = std::move(*this); }

  // Whether `f` holds for every member; stops at the first that fails.
  template <class F>
  bool allOf(F&& f) const {
    for (std::size_t i = 0; slots_ && i < capacity(); ++i) {
      if (slots_[i].key != K{} && !f(slots_[i].key, slots_[i].value)) return false;
    }
    return true;
  }

  template <class F>
  void forEach(F&& f) const {
    allOf([&](K key, V& value) {
      f(key, value);
      return true;
    });
  }

 private:
  struct Slot {
    K key{};
    [[no_unique_address]] V value{};
  };

  std::size_t capacity() const { return slots_ ? mask_ + 1 : 0; }

  std::size_t home(K key) const {
    // Objects are aligned and sit close together, ids count up by steps:
    // mix the high bits down.
    std::uint64_t x;
    if constexpr (std::is_pointer_v<K>) x = reinterpret_cast<std::uintptr_t>(key);
    else x = key;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<std::size_t>(x) & mask_;
  }

  // The block comes from the framework pool, whose memory a process growing
  // tables of thousands of members has mostly touched already.
  static void freeSlots(Slot* slots, std::size_t n) noexcept { deletePoolArray(slots, n); }

  void grow() {
    std::size_t const n = slots_ ? 2 * capacity() : 8;
    FlatTable next;
    next.slots_ = newPoolArray<Slot>(n);
    next.mask_ = n - 1;
    for (std::size_t i = 0; i < capacity(); ++i) {
      if (slots_[i].key == K{}) continue;
      std::size_t j = next.home(slots_[i].key);
      while (next.slots_[j].key != K{}) j = (j + 1) & next.mask_;
      next.slots_[j] = std::move(slots_[i]);
    }
    next.size_ = size_;
    *this = std::move(next);
  }

  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

// A set of pointers that holds up to two members in its own words and goes
// to a table of its own from the third: most groups have one or two (a
// mounted entity's weak reactors are its adapter and the adapter's own). The
// first word's low bit says which.
template <class T>
class OneOrMany {
 public:
  OneOrMany() = default;
  OneOrMany(OneOrMany&& o) noexcept : word_(std::exchange(o.word_, 0)), second_(std::exchange(o.second_, nullptr)) {}
  OneOrMany& operator=(OneOrMany&& o) noexcept {
    if (this != &o) {
      SetRelease()(many());
      word_ = std::exchange(o.word_, 0);
      second_ = std::exchange(o.second_, nullptr);
    }
    return *this;
  }
  OneOrMany(OneOrMany const&) = delete;
  OneOrMany& operator=(OneOrMany const&) = delete;
  ~OneOrMany() { SetRelease()(many()); }

  // May throw before anything changes.
  void add(T* member) {
    static_assert(alignof(T) > 1, "the low bit of a member's address must be free");
    if (Set* set = many()) {
      (*set)[member];
    } else if (word_ == 0) {
      word_ = reinterpret_cast<std::uintptr_t>(member);
    } else if (one() == member || second_ == member) {
      return;
    } else if (!second_) {
      second_ = member;
    } else {
      std::unique_ptr<Set, SetRelease> set(newSet());
      (*set)[one()];
      (*set)[second_];
      (*set)[member];
      word_ = reinterpret_cast<std::uintptr_t>(set.release()) | 1;
      second_ = nullptr;
    }
  }
  void remove(T* member) {
    if (Set* set = many()) {
      set->erase(member);
      if (set->empty()) {
        SetRelease()(set);
        word_ = 0;
      }
    } else if (one() == member) {
      // The second, if any, moves up: an empty first word means no member.
      word_ = reinterpret_cast<std::uintptr_t>(std::exchange(second_, nullptr));
    } else if (second_ == member) {
      second_ = nullptr;
    }
  }
  bool empty() const { return word_ == 0; }
  template <class F>
  void forEach(F&& f) const {
    if (Set* set = many()) {
      set->forEach([&](T* member, None) { f(member); });
      return;
    }
    if (word_ != 0) f(one());
    if (second_) f(second_);
  }

 private:
  struct None {};
  using Set = FlatTable<T*, None>;
  // Sets come from the framework pool, as their tables do.
  struct SetRelease {
    void operator()(Set* set) const noexcept { deletePoolArray(set, 1); }
  };
  static Set* newSet() { return newPoolArray<Set>(1); }
  Set* many() const { return word_ & 1 ? reinterpret_cast<Set*>(word_ & ~std::uintptr_t{1}) : nullptr; }
  T* one() const { return reinterpret_cast<T*>(word_); }
  std::uintptr_t word_ = 0;
  T* second_ = nullptr;
};

}  // namespace Zef
