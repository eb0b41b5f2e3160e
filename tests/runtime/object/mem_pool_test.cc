// The object allocator: size classes, reuse, threads, and what a sanitizer
// build still catches.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "runtime/object/pool_slots.h"
#include "runtime/object/ptr.h"

namespace {

using Zef::ZefMemPool;

std::uintptr_t at(void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// A fresh thread starts with empty free lists: what it allocates comes from
// the slab in order.
template <class F>
void onFreshThread(F f) {
  std::thread t(f);
  t.join();
}

TEST(MemPoolTest, ObjectsMadeTogetherSitTogether) {
  if (!ZefMemPool::usesSlabs()) GTEST_SKIP() << "sizes go to operator new in this build";
  std::vector<void*> made;
  onFreshThread([&] {
    for (int i = 0; i < 64; ++i) made.push_back(ZefMemPool::allocate(74));
  });
  // 74 bytes take an 80-byte slot; a new slab may begin once in 64.
  int adjacent = 0;
  for (std::size_t i = 1; i < made.size(); ++i) adjacent += at(made[i]) - at(made[i - 1]) == 80;
  EXPECT_GE(adjacent, 62);
  for (void* p : made) {
    EXPECT_EQ(at(p) % 16, 0u) << "a slot of a multiple of 16 bytes is 16-byte aligned";
    ZefMemPool::release(p, 74);
  }
}

TEST(MemPoolTest, AFreedSlotIsTheNextOneHandedOutInItsClass) {
  if (!ZefMemPool::usesSlabs()) GTEST_SKIP() << "sizes go to operator new in this build";
  onFreshThread([] {
    void* a = ZefMemPool::allocate(100);
    void* b = ZefMemPool::allocate(100);
    ZefMemPool::release(a, 100);
    // Any size of the same 8-byte class takes it.
    void* c = ZefMemPool::allocate(104);
    EXPECT_EQ(c, a);
    // Another class does not.
    void* d = ZefMemPool::allocate(105);
    EXPECT_NE(d, a);
    EXPECT_NE(d, b);
    ZefMemPool::release(b, 100);
    ZefMemPool::release(c, 104);
    ZefMemPool::release(d, 105);
  });
}

// Classes are 8 bytes wide up to 1 KiB and 128 above, so an entity of
// about 600 bytes wastes at most 7 and one with dozens more attributes
// still comes from a slab.
TEST(MemPoolTest, ClassesWidenAbove1KiB) {
  if (!ZefMemPool::usesSlabs()) GTEST_SKIP() << "sizes go to operator new in this build";
  onFreshThread([] {
    void* a = ZefMemPool::allocate(614);
    void* b = ZefMemPool::allocate(614);
    EXPECT_EQ(at(b) - at(a), 616u) << "614 bytes take a 616-byte slot, side by side";
    ZefMemPool::release(a, 614);
    EXPECT_EQ(ZefMemPool::allocate(609), a) << "609 to 616 bytes are one class";
    void* c = ZefMemPool::allocate(617);
    EXPECT_NE(c, a);
    // A slot whose size is a multiple of 16 stays 16-aligned for objects that
    // need it; one of 8 more holds only objects of at most 8-byte alignment.
    void* s1 = ZefMemPool::allocate(32);
    void* s2 = ZefMemPool::allocate(32);
    EXPECT_EQ(at(s1) % 16, 0u);
    EXPECT_EQ(at(s2) % 16, 0u);
    ZefMemPool::release(s1, 32);
    ZefMemPool::release(s2, 32);
    void* d = ZefMemPool::allocate(1100);
    void* e = ZefMemPool::allocate(1100);
    EXPECT_EQ(at(e) - at(d), 1152u) << "1,100 bytes take a 1,152-byte slot";
    ZefMemPool::release(d, 1100);
    EXPECT_EQ(ZefMemPool::allocate(1025), d) << "1,025 to 1,152 bytes are one class";
    void* big = ZefMemPool::allocate(ZefMemPool::kLargestClass);
    EXPECT_EQ(at(big) % 16, 0u);
    ZefMemPool::release(a, 609);
    ZefMemPool::release(b, 614);
    ZefMemPool::release(c, 617);
    ZefMemPool::release(d, 1025);
    ZefMemPool::release(e, 1100);
    ZefMemPool::release(big, ZefMemPool::kLargestClass);
  });
}

TEST(MemPoolTest, SteadyChurnTakesNoNewSlabs) {
  if (!ZefMemPool::usesSlabs()) GTEST_SKIP() << "sizes go to operator new in this build";
  onFreshThread([] {
    std::vector<void*> live;
    for (int i = 0; i < 1000; ++i) live.push_back(ZefMemPool::allocate(48));
    std::size_t const slabs = ZefMemPool::slabBytes();
    for (int round = 0; round < 50; ++round) {
      for (void*& p : live) {
        ZefMemPool::release(p, 48);
        p = ZefMemPool::allocate(48);
      }
    }
    EXPECT_EQ(ZefMemPool::slabBytes(), slabs);
    for (void* p : live) ZefMemPool::release(p, 48);
  });
}

TEST(MemPoolTest, ASlotFreedOnAnotherThreadIsReusedThere) {
  if (!ZefMemPool::usesSlabs()) GTEST_SKIP() << "sizes go to operator new in this build";
  void* made = ZefMemPool::allocate(200);
  std::memset(made, 0xAB, 200);
  onFreshThread([made] {
    ZefMemPool::release(made, 200);
    void* again = ZefMemPool::allocate(200);
    EXPECT_EQ(again, made);
    ZefMemPool::release(again, 200);
  });
}

// Blocks of 8 to 64 KiB, a power of two, come from slab memory one at a
// time: a freed block is the next one of its size, is counted among the
// pool's slots, and a block of another size or of a size between is not it.
TEST(MemPoolTest, BlocksOfAPowerOfTwoAreCutFromSlabsAndReusedBySize) {
  if (!ZefMemPool::usesSlabs()) GTEST_SKIP() << "sizes go to operator new in this build";
  onFreshThread([] {
    std::size_t const slots = Zef::poolSlotBytesInUse();
    std::size_t const slabs = ZefMemPool::slabBytes();
    void* a = ZefMemPool::allocate(ZefMemPool::kSmallestBlock);
    void* b = ZefMemPool::allocate(ZefMemPool::kLargestBlock);
    std::memset(a, 1, ZefMemPool::kSmallestBlock);
    std::memset(b, 2, ZefMemPool::kLargestBlock);
    EXPECT_EQ(Zef::poolSlotBytesInUse(), slots + ZefMemPool::kSmallestBlock + ZefMemPool::kLargestBlock);
    EXPECT_GE(ZefMemPool::slabBytes(), slabs + ZefMemPool::kSmallestBlock + ZefMemPool::kLargestBlock);
    ZefMemPool::release(a, ZefMemPool::kSmallestBlock);
    ZefMemPool::release(b, ZefMemPool::kLargestBlock);
    EXPECT_EQ(Zef::poolSlotBytesInUse(), slots);
    std::size_t const taken = ZefMemPool::slabBytes();
    void* c = ZefMemPool::allocate(2 * ZefMemPool::kSmallestBlock);
    EXPECT_NE(c, a) << "another size";
    void* between = ZefMemPool::allocate(ZefMemPool::kSmallestBlock + 16);
    EXPECT_EQ(Zef::poolSlotBytesInUse(), slots + 2 * ZefMemPool::kSmallestBlock) << "the system allocator's";
    EXPECT_EQ(ZefMemPool::allocate(ZefMemPool::kSmallestBlock), a);
    EXPECT_EQ(ZefMemPool::allocate(ZefMemPool::kLargestBlock), b);
    EXPECT_EQ(ZefMemPool::slabBytes(), taken + 2 * ZefMemPool::kSmallestBlock) << "only the new size took memory";
    ZefMemPool::release(a, ZefMemPool::kSmallestBlock);
    ZefMemPool::release(b, ZefMemPool::kLargestBlock);
    ZefMemPool::release(c, 2 * ZefMemPool::kSmallestBlock);
    ZefMemPool::release(between, ZefMemPool::kSmallestBlock + 16);
  });
}

TEST(MemPoolTest, CountsWhatIsAskedForInEveryClassAndBeyond) {
  std::size_t const before = ZefMemPool::bytesInUse();
  std::vector<std::pair<void*, std::size_t>> made;
  std::set<std::uintptr_t> distinct;
  for (std::size_t size : {1, 15, 16, 17, 511, 512, 513, 4096, 4097, 8192, 100000}) {
    void* p = ZefMemPool::allocate(size);
    std::memset(p, 0x5A, size);  // the whole size is usable
    made.push_back({p, size});
    distinct.insert(at(p));
  }
  EXPECT_EQ(distinct.size(), made.size());
  EXPECT_EQ(ZefMemPool::bytesInUse(), before + 1 + 15 + 16 + 17 + 511 + 512 + 513 + 4096 + 4097 + 8192 + 100000);
  for (auto [p, size] : made) ZefMemPool::release(p, size);
  EXPECT_EQ(ZefMemPool::bytesInUse(), before);
}

// In an AddressSanitizer build every object comes from the sanitizer's own
// allocator, so a read through a released object is still caught.
TEST(MemPoolDeathTest, AUseAfterReleaseIsCaughtUnderAddressSanitizer) {
  if (ZefMemPool::usesSlabs()) GTEST_SKIP() << "only an AddressSanitizer build catches it";
  struct Object : Zef::PtrInterface {
    int value = 7;
  };
  EXPECT_DEATH(
      {
        Object* raw = nullptr;
        {
          Zef::Ptr<Object> p = Zef::newObject<Object>();
          raw = p.ptr();
        }
        volatile int v = raw->value;
        (void)v;
      },
      "heap-use-after-free");
}

}  // namespace
