// Objects and counted references.
#include "runtime/object/ptr.h"
#include "runtime/object/pool_slots.h"

#include <sys/mman.h>

#include <bit>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

#include "runtime/object/assertion.h"

namespace Zef {

namespace {
std::atomic<std::size_t> poolBytes{0};
std::atomic<std::size_t> slotBytes{0};
std::atomic<std::size_t> slabTotal{0};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSlabs = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSlabs = false;
#else
constexpr bool kSlabs = true;
#endif
#else
constexpr bool kSlabs = true;
#endif

// Classes of 8 bytes up to 1 KiB, then of 128 bytes: an object up to there
// wastes at most 7 bytes (a port's statistics entity is about 600), and an
// entity with dozens of attributes still has a class. A slot is aligned to the
// largest power of two, up to 16, that divides its size, and an object's
// alignment divides its size, so every object that fits a class is aligned.
// Classes up to 512 bytes cut 64 KiB slabs, larger ones slabs of a few slots,
// so that a size met once costs little.
constexpr std::size_t kGranule = 8;
constexpr std::size_t kSmallest = 512;
constexpr std::size_t kFine = 1024;
constexpr std::size_t kWideGranule = 128;
constexpr std::size_t kSmallClasses = kSmallest / kGranule;
constexpr std::size_t kFineClasses = kFine / kGranule;
constexpr std::size_t kClasses = kFineClasses + (ZefMemPool::kLargestClass - kFine) / kWideGranule;
constexpr std::size_t kSlabSize = 64 * 1024;
static_assert((ZefMemPool::kLargestClass - kFine) % kWideGranule == 0);
constexpr std::size_t kWideSlots = 8;
static_assert(kSlabSize % kSmallest == 0);

std::size_t classOf(std::size_t size) {
  if (size <= kFine) return size == 0 ? 0 : (size - 1) / kGranule;
  return kFineClasses + (size - kFine - 1) / kWideGranule;
}
std::size_t classSize(std::size_t c) {
  return c < kFineClasses ? (c + 1) * kGranule : kFine + (c + 1 - kFineClasses) * kWideGranule;
}

// Slabs are cut from 2 MiB arenas the kernel may back with one huge page. On
// a virtual machine the first touch of each 4 KiB page can cost 15 µs, and a
// mount that builds a megabyte of entities in a resync would spend most of
// its time in those faults. Arenas are never given back, as slabs are not.
constexpr std::size_t kArenaSize = std::size_t(2) << 20;

unsigned char* newArena() {
  // Twice the size, so that an aligned arena fits; the rest goes back.
  void* m = ::mmap(nullptr, 2 * kArenaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) throw std::bad_alloc();
  auto* base = static_cast<unsigned char*>(m);
  auto const at = reinterpret_cast<std::uintptr_t>(base);
  auto* arena = base + ((kArenaSize - at % kArenaSize) % kArenaSize);
  if (arena > base) ::munmap(base, static_cast<std::size_t>(arena - base));
  if (std::size_t const after = static_cast<std::size_t>(base + 2 * kArenaSize - (arena + kArenaSize)); after > 0) {
    ::munmap(arena + kArenaSize, after);
  }
  // Only advice: without transparent huge pages the arena is ordinary pages.
  (void)::madvise(arena, kArenaSize, MADV_HUGEPAGE);
  return arena;
}

struct FreeSlot {
  FreeSlot* next;
};

void* pop(FreeSlot*& list) {
  FreeSlot* f = list;
  if (f) list = f->next;
  return f;
}
void push(FreeSlot*& list, void* p) noexcept {
  auto* f = static_cast<FreeSlot*>(p);
  f->next = list;
  list = f;
}

// Blocks of 8 to 64 KiB, a power of two, are cut from the arenas too, one at
// a time, and kept for their size once let go: the tables of a mount that
// grows to thousands of entities, and the read buffer of its sockets, would
// otherwise each take fresh pages from the system, a fault for every 4 KiB.
constexpr unsigned kBlockMinShift = std::countr_zero(ZefMemPool::kSmallestBlock);
constexpr unsigned kBlockMaxShift = std::countr_zero(ZefMemPool::kLargestBlock);
static_assert(ZefMemPool::kSmallestBlock > ZefMemPool::kLargestClass);
static_assert(std::has_single_bit(ZefMemPool::kSmallestBlock) && std::has_single_bit(ZefMemPool::kLargestBlock));

// The shift of an arena block of this size, or 0.
unsigned blockShift(std::size_t size) {
  if (!kSlabs || (size & (size - 1)) != 0) return 0;
  unsigned const shift = static_cast<unsigned>(std::countr_zero(size));
  return shift >= kBlockMinShift && shift <= kBlockMaxShift ? shift : 0;
}

// The next `size` bytes of the process's arenas. A tail too short for the
// size is left unused.
unsigned char* carve(std::size_t size) {
  static std::mutex mutex;
  static unsigned char* next = nullptr;
  static unsigned char* end = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  if (static_cast<std::size_t>(end - next) < size) {
    next = newArena();
    end = next + kArenaSize;
  }
  unsigned char* at = next;
  next += size;
  slabTotal.fetch_add(size, std::memory_order_relaxed);
  return at;
}

// One thread's slabs: a free list and the unused tail of the newest slab,
// per class.
struct ThreadPool {
  FreeSlot* free[kClasses] = {};
  unsigned char* tail[kClasses] = {};
  unsigned char* tailEnd[kClasses] = {};
  FreeSlot* freeBlocks[kBlockMaxShift + 1] = {};

  void* takeBlock(unsigned shift) {
    if (void* p = pop(freeBlocks[shift])) return p;
    return carve(std::size_t{1} << shift);
  }
  void giveBlock(void* p, unsigned shift) noexcept { push(freeBlocks[shift], p); }

  void* take(std::size_t c) {
    if (void* p = pop(free[c])) return p;
    std::size_t const size = classSize(c);
    if (static_cast<std::size_t>(tailEnd[c] - tail[c]) < size) newSlab(c);
    void* p = tail[c];
    tail[c] += size;
    return p;
  }

  void give(void* p, std::size_t c) noexcept { push(free[c], p); }

  void newSlab(std::size_t c) {
    // A wide class's slab holds a few slots only: a size met once would
    // otherwise keep 64 KiB for itself.
    std::size_t const size = c < kSmallClasses ? kSlabSize : kWideSlots * classSize(c);
    unsigned char* slab = carve(size);
    tail[c] = slab;
    tailEnd[c] = slab + size;
  }
};

// Larger blocks of a power-of-two size that a thread has let go, one of each
// size from 128 KiB to 1 MiB, for the next block of that size: a hash map
// that grows to many thousands of members would otherwise take fresh pages
// from the system at each doubling, and again for the next map of its size.
// A thread keeps at most 2 MiB this way and gives it back when it ends.
struct LargeBlocks {
  static constexpr unsigned kMinShift = kBlockMaxShift + 1;
  static_assert((std::size_t{1} << kMinShift) > ZefMemPool::kLargestClass);
  static constexpr unsigned kMaxShift = 20;
  void* blocks[kMaxShift + 1];
  bool closed;
};

struct LargeBlocksCloser {
  ~LargeBlocksCloser();
};

LargeBlocks& largeBlocks() {
  [[gnu::tls_model("initial-exec")]] static thread_local LargeBlocks blocks{};
  return blocks;
}

LargeBlocksCloser::~LargeBlocksCloser() {
  LargeBlocks& cache = largeBlocks();
  cache.closed = true;
  for (unsigned shift = LargeBlocks::kMinShift; shift <= LargeBlocks::kMaxShift; ++shift) {
    if (void* p = std::exchange(cache.blocks[shift], nullptr)) ::operator delete(p, std::size_t{1} << shift);
  }
}

// The slot for a block of this size, or null when such blocks are not kept.
void** largeBlockSlot(std::size_t size) {
  if (!kSlabs || size < (std::size_t{1} << LargeBlocks::kMinShift) ||
      size > (std::size_t{1} << LargeBlocks::kMaxShift) || (size & (size - 1)) != 0) {
    return nullptr;
  }
  LargeBlocks& cache = largeBlocks();
  if (cache.closed) return nullptr;
  thread_local LargeBlocksCloser const closer;
  return &cache.blocks[std::countr_zero(size)];
}

ThreadPool& threadPool() {
  [[gnu::tls_model("initial-exec")]] static thread_local ThreadPool pool;
  return pool;
}

}  // namespace

void* ZefMemPool::allocate(std::size_t size) {
  void* p;
  if (kSlabs && size <= kLargestClass) {
    std::size_t const c = classOf(size);
    p = threadPool().take(c);
    slotBytes.fetch_add(classSize(c), std::memory_order_relaxed);
  } else if (unsigned const shift = blockShift(size)) {
    p = threadPool().takeBlock(shift);
    slotBytes.fetch_add(size, std::memory_order_relaxed);
  } else {
    void** slot = largeBlockSlot(size);
    p = slot && *slot ? std::exchange(*slot, nullptr) : ::operator new(size);
  }
  poolBytes.fetch_add(size, std::memory_order_relaxed);
  return p;
}

void ZefMemPool::release(void* p, std::size_t size) noexcept {
  if (!p) return;
  poolBytes.fetch_sub(size, std::memory_order_relaxed);
  if (kSlabs && size <= kLargestClass) {
    std::size_t const c = classOf(size);
    slotBytes.fetch_sub(classSize(c), std::memory_order_relaxed);
    return threadPool().give(p, c);
  }
  if (unsigned const shift = blockShift(size)) {
    slotBytes.fetch_sub(size, std::memory_order_relaxed);
    return threadPool().giveBlock(p, shift);
  }
  void** slot = largeBlockSlot(size);
  if (slot && !*slot) *slot = p;
  else ::operator delete(p, size);
}

std::size_t ZefMemPool::bytesInUse() noexcept { return poolBytes.load(std::memory_order_relaxed); }
std::size_t poolSlotBytesInUse() noexcept { return slotBytes.load(std::memory_order_relaxed); }
std::size_t ZefMemPool::slabBytes() noexcept { return slabTotal.load(std::memory_order_relaxed); }
bool ZefMemPool::usesSlabs() noexcept { return kSlabs; }

void PtrInterface::hasNotificationActiveIs(bool b) { notificationActiveBitIs(b); }
unsigned int PtrInterface::zefAuditErrors(unsigned int) const { return 0; }
unsigned int PtrInterface::auditErrors(unsigned int depth) const { return zefAuditErrors(depth); }
void PtrInterface::isNondestructingIs(bool b) { nondestructingWordIs(b); }
void PtrInterface::zeroReferencesIs(bool) {}

void PtrInterface::nondestructingWordIs(bool b) noexcept {
  std::uint32_t w = referenceWord_.load(std::memory_order_relaxed);
  if (b == nondestructingWord(w)) return;
  // The count lives on in the low 24 bits while the top byte is 0x1F; the
  // flags and high count bits it displaces wait in savedTopBits_. Nobody
  // counts a nondestructing object, so the word cannot change once it is one.
  std::uint32_t next;
  do {
    next = b ? ((w & ~kTopByteMask) | (kNondestructingByte << 24))
             : ((w & ~kTopByteMask) | (savedTopBits_ & kTopByteMask));
  } while (!referenceWord_.compare_exchange_weak(w, next, std::memory_order_relaxed));
  savedTopBits_ = (b ? w & kTopByteMask : 0) | (savedTopBits_ & ~kTopByteMask);
}

void PtrInterface::setBit(std::uint32_t bit, bool b) noexcept {
  // A nondestructing word keeps its top byte; its flags are kept aside.
  if (nondestructingWord(referenceWord())) {
    savedTopBits_ = b ? savedTopBits_ | bit : savedTopBits_ & ~bit;
  } else if (b) {
    referenceWord_.fetch_or(bit, std::memory_order_relaxed);
  } else {
    referenceWord_.fetch_and(~bit, std::memory_order_relaxed);
  }
}

[[gnu::tls_model("initial-exec")]] constinit thread_local HoldFrame::Slot HoldFrame::stack_[HoldFrame::kDepth];
[[gnu::tls_model("initial-exec")]] constinit thread_local int HoldFrame::depth_ = 0;
[[gnu::tls_model("initial-exec")]] constinit thread_local int HoldFrame::releasedCount_ = 0;

void HoldFrame::releaseHeld() noexcept {
  while (depth_ > base_) {
    Slot const s = stack_[--depth_];
    if (s.released) {
      --releasedCount_;
      // Take and drop a count so the release runs as it would have; an outer
      // frame still holding the object defers it again.
      s.p->newRef();
      s.p->deleteRef();
    }
  }
}

void PtrInterface::handleZeroRef() const noexcept {
  if (HoldFrame::deferRelease(this)) return;
  auto* self = const_cast<PtrInterface*>(this);
  // Hold a reference while the object hears about its zero count, so that
  // references taken and dropped meanwhile do not come back here.
  referenceWord_.fetch_add(1, std::memory_order_relaxed);
  try {
    self->zeroReferencesIs(true);
  } catch (...) {
    // Reactors' failures are contained by dispatch; nothing else may escape a
    // release.
  }
  if (isNondestructing()) return;
  std::uint32_t now = referenceWord_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if ((now & kZeroTestMask) != 0) return;
  // While its destructors run, the object counts no references: directories
  // and reactors may take and drop temporary ones to it without coming back.
  referenceWord_.store(kDestroyingWord, std::memory_order_relaxed);
  delete self;
}

void assertionFailed(char const* expression, char const* file, int line) {
  std::fprintf(stderr, "%s:%d: Assertion `%s' failed.\n", file, line, expression);
  std::abort();
}

}  // namespace Zef
