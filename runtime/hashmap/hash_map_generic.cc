// The hash map's core: chains in the order rule, growth, removal, seeking.
#include "runtime/hashmap/hash_map_generic.h"

#include <new>
#include <utility>
#include <vector>

namespace Zef {

namespace {
// Bucket indices travel as int (-1 is the end), so the table stops growing
// well before they could overflow.
constexpr std::uint32_t kMaxBuckets = 1u << 30;
}  // namespace

HashMapGeneric::Bucket* HashMapGeneric::newBuckets(std::uint32_t count) {
  auto* buckets = static_cast<Bucket*>(ZefMemPool::allocate(count * sizeof(Bucket)));
  for (std::uint32_t i = 0; i < count; ++i) new (&buckets[i]) Bucket();
  return buckets;
}

void HashMapGeneric::deleteBuckets(Bucket* buckets, std::uint32_t count) noexcept {
  if (!buckets) return;
  for (std::uint32_t i = 0; i < count; ++i) buckets[i].~Bucket();
  ZefMemPool::release(buckets, count * sizeof(Bucket));
}

void HashMapGeneric::bucketsIs(Bucket* buckets, std::uint32_t count) noexcept {
  deleteBuckets(buckets_, bucketCount_);
  buckets_ = buckets;
  bucketCount_ = count;
}

HashMapGeneric::HashMapGeneric(unsigned size) {
  std::uint32_t const count = size > kMaxBuckets ? kMaxBuckets : std::bit_ceil(size ? size : 1u);
  bucketsIs(newBuckets(count), count);
}

HashMapGeneric::~HashMapGeneric() {
  Bucket* buckets = buckets_;
  buckets_ = nullptr;
  deleteBuckets(buckets, bucketCount_);
}

PtrInterface* HashMapGeneric::findNextBucketG(int* bucket) const noexcept {
  for (std::uint32_t b = static_cast<std::uint32_t>(*bucket + 1); b < bucketCount_; ++b) {
    if (buckets_[b]) {
      *bucket = static_cast<int>(b);
      return buckets_[b].ptr();
    }
  }
  *bucket = static_cast<int>(bucketCount_);
  return nullptr;
}

bool HashMapGeneric::newMemberG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                                PtrInterface* member, unsigned hash, void const* key) {
  std::uint32_t const b = bucketIndex(hash);
  PtrInterface* previous = nullptr;
  PtrInterface* m = buckets_[b].ptr();
  // Equal hash and equal key is passed over, so a duplicate goes after the
  // member already there.
  for (; m; previous = m, m = linkOf(m, next, base)) {
    if (m == member) return false;
    unsigned const mh = vt.hash(m);
    if (hash < mh || (hash == mh && vt.keyLessThan(key, m))) break;
  }
  vt.setNext(member, m);
  if (previous) vt.setNext(previous, member);
  else buckets_[b] = member;
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
  Bucket* fresh = nullptr;
  std::vector<unsigned> hashes;
  try {
    // Everything that may fail comes first, before any link changes.
    fresh = newBuckets(count);
    hashes.reserve(memberCount_);
    for (std::uint32_t b = lowBucket_; b < bucketCount_; ++b) {
      for (PtrInterface* m = buckets_[b].ptr(); m; m = linkOf(m, next, base)) hashes.push_back(vt.hash(m));
    }
  } catch (...) {
    // A larger table is only an optimisation; the old one stays correct and
    // the next insertion tries again.
    deleteBuckets(fresh, count);
    return;
  }
  // Walking the old buckets in index order visits the members in the order
  // rule, and the new index is the top bits of the same rhash, so each old
  // chain splits into runs that each become a whole new chain. Members of one
  // run keep their links; only the link at the end of a run is cut.
  std::uint32_t const shift = 32 - std::countr_zero(count);
  std::size_t i = 0;
  std::uint32_t low = count;
  for (std::uint32_t b = lowBucket_; b < bucketCount_; ++b) {
    PtrInterface* previous = nullptr;
    std::uint32_t previousBucket = 0;
    for (PtrInterface* m = buckets_[b].ptr(); m; m = linkOf(m, next, base)) {
      auto const nb = static_cast<std::uint32_t>(std::uint64_t{hashes[i++]} >> shift);
      if (!previous) {
        fresh[nb] = std::move(buckets_[b]);  // the old head reference moves over as it is
        if (nb < low) low = nb;
      } else if (nb != previousBucket) {
        // Take the new head reference before the old link lets go of m.
        fresh[nb] = m;
        vt.setNext(previous, nullptr);
      }
      previous = m;
      previousBucket = nb;
    }
  }
  bucketsIs(fresh, count);
  lowBucket_ = low == count ? 0 : low;
}

Ptr<PtrInterface> HashMapGeneric::unlink(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                                         std::uint32_t bucket, PtrInterface* previous, PtrInterface* member) {
  // The returned reference keeps the member alive until the map is
  // consistent again and the caller lets it go. A bucket head's reference
  // moves over as it is.
  Ptr<PtrInterface> victim;
  PtrInterface* following = linkOf(member, next, base);
  if (previous) {
    victim = member;
    vt.setNext(previous, following);
  } else {
    victim = std::move(buckets_[bucket]);
    buckets_[bucket] = following;
  }
  vt.setNext(member, nullptr);
  --memberCount_;
  ++version_;
  return victim;
}

Ptr<PtrInterface> HashMapGeneric::memberDelG(HashMapVTableGeneric const& vt, std::ptrdiff_t next,
                                             std::ptrdiff_t base, unsigned hash, void const* key) {
  std::uint32_t const b = bucketIndex(hash);
  PtrInterface* previous = nullptr;
  for (PtrInterface* m = buckets_[b].ptr(); m; previous = m, m = linkOf(m, next, base)) {
    if (vt.keyEquals(key, m)) return unlink(vt, next, base, b, previous, m);
  }
  return nullptr;
}

bool HashMapGeneric::deleteMemberG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                                   unsigned hash, Ptr<PtrInterface> member) {
  if (!member) return false;
  std::uint32_t const b = bucketIndex(hash);
  PtrInterface* previous = nullptr;
  for (PtrInterface* m = buckets_[b].ptr(); m; previous = m, m = linkOf(m, next, base)) {
    if (m == member.ptr()) {
      unlink(vt, next, base, b, previous, m);
      return true;
    }
  }
  return false;
}

Ptr<PtrInterface> HashMapGeneric::deleteOneMemberG(HashMapVTableGeneric const& vt, std::ptrdiff_t next,
                                                   std::ptrdiff_t base) {
  if (!memberCount_) return nullptr;
  while (lowBucket_ < bucketCount_ && !buckets_[lowBucket_]) ++lowBucket_;
  if (lowBucket_ == bucketCount_) return nullptr;
  return unlink(vt, next, base, lowBucket_, nullptr, buckets_[lowBucket_].ptr());
}

void HashMapGeneric::emptyAllBucketsG(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base) {
  while (deleteOneMemberG(vt, next, base)) {
  }
}

PtrInterface* HashMapGeneric::seek(HashMapVTableGeneric const& vt, std::ptrdiff_t next, std::ptrdiff_t base,
                                   unsigned hash, void const* key, bool orEqual, int* bucket) const {
  auto b = static_cast<int>(bucketIndex(hash));
  for (PtrInterface* m = buckets_[b].ptr(); m; m = linkOf(m, next, base)) {
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
