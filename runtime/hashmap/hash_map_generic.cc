// The hash map's core: chains in the order rule, growth, removal, seeking.
#include "runtime/hashmap/hash_map_generic.h"

#include <utility>

namespace Zef {

namespace {
// Bucket indices travel as int (-1 is the end), so the table stops growing
// well before they could overflow.
constexpr std::uint32_t kMaxBuckets = 1u << 30;

}  // namespace

HashMapGeneric::Table HashMapGeneric::newTable(std::uint32_t count) {
  Table t{newPoolArray<Bucket>(count), nullptr};
  try {
    t.occupied = newPoolArray<std::uint64_t>(wordsFor(count));
  } catch (...) {
    deletePoolArray(t.buckets, count);
    throw;
  }
  return t;
}

void HashMapGeneric::tableIs(Table t, std::uint32_t count) noexcept {
  deletePoolArray(buckets_, bucketCount_);
  deletePoolArray(occupied_, wordsFor(bucketCount_));
  buckets_ = t.buckets;
  occupied_ = t.occupied;
  bucketCount_ = count;
}

HashMapGeneric::HashMapGeneric(unsigned size) {
  std::uint32_t const count = size > kMaxBuckets ? kMaxBuckets : std::bit_ceil(size ? size : 1u);
  tableIs(newTable(count), count);
}

HashMapGeneric::~HashMapGeneric() {
  // Iterators may outlive the map; they keep their member (the removals gave
  // them a count of their own) and end at their next step.
  while (positions_) positions_->detach();
  tableIs({}, 0);
}

bool HashMapGeneric::newMemberG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                                PtrInterface* member, unsigned hash, void const* key) {
  std::uint32_t const b = bucketIndex(hash);
  PtrInterface* previous = nullptr;
  PtrInterface* m = buckets_[b].head();
  bool const alone = !m;
  // Equal hash and equal key is passed over, so a duplicate goes after the
  // member already there.
  for (; m; previous = m, m = linkOf(m, next, base)) {
    if (m == member) return false;
    unsigned const mh = vt.hash(m);
    if (hash < mh || (hash == mh && vt.keyLessThan(key, m))) break;
  }
  // The reference on m moves from its holder to member's link; the holder
  // takes the map's new reference on member.
  member->newRef();
  linkIs(member, next, base, m);
  placeAfter(next, base, b, previous, member);
  // Hinted while alone; a second member takes the hint away.
  buckets_[b].hintIs(alone ? hintOf(hash) : 0);
  if (b < lowBucket_) lowBucket_ = b;
  ++memberCount_;
  ++version_;
  return true;
}

void HashMapGeneric::maybeGrowG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base) noexcept {
  // Doubling once members outnumber half the buckets: a look-up of an absent
  // name then usually meets no member at all, for 16 to 32 bytes of buckets
  // per member, and each member is moved O(1) times on average.
  if (memberCount_ <= bucketCount_ / 2 || bucketCount_ >= kMaxBuckets) return;
  std::uint32_t const count = bucketCount_ * 2;
  Table table;
  try {
    table = newTable(count);
  } catch (...) {
    // A larger table is only an optimisation; the old one stays correct and
    // the next insertion tries again.
    return;
  }
  Bucket* const fresh = table.buckets;
  // Walking the old buckets in index order visits the members in the order
  // rule, and the new index is the top bits of the same rhash, so each old
  // chain splits into runs that each become a whole new chain. Members of one
  // run keep their links; at the end of a run the reference the link held
  // moves to the next run's bucket head.
  std::uint32_t const shift = 32 - std::countr_zero(count);
  std::uint32_t low = count;
  for (std::uint32_t b = lowBucket_; b < bucketCount_; ++b) {
    // The members lie wherever they were made: ask for one a few buckets
    // ahead while this one is hashed.
    if (b + kPrefetchAhead < bucketCount_) __builtin_prefetch(buckets_[b + kPrefetchAhead].head());
    // The old table goes whole at the end: its buckets are read, not cleared.
    PtrInterface* m = buckets_[b].head();
    if (!m) continue;
    unsigned const h = vt.hash(m);
    auto nb = static_cast<std::uint32_t>(std::uint64_t{h} >> shift);
    // A run's head is hinted until a second member joins it.
    fresh[nb].set(m, hintOf(h));
    occupiedIs(table.occupied, nb, true);
    if (nb < low) low = nb;
    for (PtrInterface* following = linkOf(m, next, base); following; following = linkOf(m, next, base)) {
      unsigned const fh = vt.hash(following);
      auto const fb = static_cast<std::uint32_t>(std::uint64_t{fh} >> shift);
      if (fb != nb) {
        linkIs(m, next, base, nullptr);
        fresh[fb].set(following, hintOf(fh));
        occupiedIs(table.occupied, fb, true);
        nb = fb;
      } else {
        fresh[nb].hintIs(0);
      }
      m = following;
    }
  }
  tableIs(table, count);
  lowBucket_ = low == count ? 0 : low;
}

Ptr<PtrInterface> HashMapGeneric::unlinkFrom(std::ptrdiff_t next, std::ptrdiff_t base, std::uint32_t bucket,
                                             PtrInterface const* member) noexcept {
  PtrInterface* previous = nullptr;
  for (PtrInterface* m = buckets_[bucket].head(); m; previous = m, m = linkOf(m, next, base)) {
    if (m == member) return unlink(next, base, bucket, previous, m);
  }
  return nullptr;
}

Ptr<PtrInterface> HashMapGeneric::memberDelG(HashMapVTableGeneric const& vt, std::ptrdiff_t next,
                                             std::ptrdiff_t base, unsigned hash, void const* key) {
  std::uint32_t const b = bucketIndex(hash);
  PtrInterface* previous = nullptr;
  for (PtrInterface* m = buckets_[b].head(); m; previous = m, m = linkOf(m, next, base)) {
    if (vt.keyEquals(key, m)) return unlink(next, base, b, previous, m);
  }
  return nullptr;
}

Ptr<PtrInterface> HashMapGeneric::deleteMemberG(HashMapVTableGeneric const& vt, std::ptrdiff_t next,
                                                std::ptrdiff_t base, int bucket, PtrInterface const* member) {
  if (!member) return nullptr;
  if (bucket >= 0 && static_cast<std::uint32_t>(bucket) < bucketCount_) {
    if (Ptr<PtrInterface> m = unlinkFrom(next, base, static_cast<std::uint32_t>(bucket), member)) return m;
  }
  std::uint32_t const b = bucketIndex(vt.hash(member));
  if (static_cast<int>(b) == bucket) return nullptr;
  return unlinkFrom(next, base, b, member);
}

Ptr<PtrInterface> HashMapGeneric::deleteOneMemberG(HashMapVTableGeneric const&, std::ptrdiff_t next,
                                                   std::ptrdiff_t base) {
  if (!memberCount_) return nullptr;
  int b = static_cast<int>(lowBucket_) - 1;
  PtrInterface* head = findNextBucketG(&b);
  lowBucket_ = static_cast<std::uint32_t>(b);
  if (!head) return nullptr;
  if (lowBucket_ + kPrefetchAhead < bucketCount_) __builtin_prefetch(buckets_[lowBucket_ + kPrefetchAhead].head());
  return unlink(next, base, lowBucket_, nullptr, head);
}

void HashMapGeneric::emptyAllBucketsG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base) {
  while (deleteOneMemberG(vt, next, base)) {
  }
}

PtrInterface* HashMapGeneric::seek(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                                   unsigned hash, void const* key, bool orEqual, int* bucket) const {
  auto b = static_cast<int>(bucketIndex(hash));
  for (PtrInterface* m = buckets_[b].head(); m; m = linkOf(m, next, base)) {
    if (orEqual && vt.keyEquals(key, m)) {
      if (bucket) *bucket = b;
      return m;
    }
    unsigned const mh = vt.hash(m);
    if (hash < mh || (hash == mh && vt.keyLessThan(key, m))) {
      if (bucket) *bucket = b;
      return m;
    }
  }
  PtrInterface* m = findNextBucketG(&b);
  if (bucket) *bucket = b;
  return m;
}

PtrInterface* HashMapGeneric::findNextG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                                        PtrInterface const* member, int* bucket, void const* key) const {
  if (!member) {
    int b = static_cast<int>(lowBucket_) - 1;
    PtrInterface* m = findNextBucketG(&b);
    if (bucket) *bucket = b;
    return m;
  }
  return seek(vt, next, base, vt.hash(member), key, false, bucket);
}

PtrInterface* HashMapGeneric::startAtHashG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                                           unsigned hash, void const* key, int* bucket) const {
  return seek(vt, next, base, hash, key, true, bucket);
}

}  // namespace Zef
