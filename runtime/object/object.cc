// Objects and counted references.
#include "runtime/object/ptr.h"

#include <new>

#include "runtime/failure/exception.h"
#include "runtime/entity/notifiee.h"
#include "runtime/types/zef_type.h"

namespace Zef {

namespace {
std::atomic<std::size_t> poolBytes{0};
}  // namespace

void* ZefMemPool::allocate(std::size_t size) {
  void* p = ::operator new(size);
  poolBytes.fetch_add(size, std::memory_order_relaxed);
  return p;
}

void ZefMemPool::release(void* p, std::size_t size) noexcept {
  if (!p) return;
  poolBytes.fetch_sub(size, std::memory_order_relaxed);
  ::operator delete(p, size);
}

std::size_t ZefMemPool::bytesInUse() noexcept { return poolBytes.load(std::memory_order_relaxed); }

PtrInterface::~PtrInterface() { NotifieeConst::zefNotifierDestroyed(this); }

void PtrInterface::hasNotificationActiveIs(bool b) { notificationActiveBitIs(b); }
unsigned int PtrInterface::zefAuditErrors(unsigned int) const { return 0; }
unsigned int PtrInterface::auditErrors(unsigned int depth) const { return zefAuditErrors(depth); }
void PtrInterface::isNondestructingIs(bool b) { nondestructingWordIs(b); }
void PtrInterface::zeroReferencesIs(bool) {}

ZefType* PtrInterface::fwkType() const { return _fwkType(); }

namespace {
class PtrInterfaceType : public ZefType {
 public:
  PtrInterfaceType() : ZefType("PtrInterface", nullptr, nullptr, ZefTypeFlags::zefEmpty()) {}
};
}  // namespace

ZefType* PtrInterface::_fwkType() {
  static ZefType* slot = nullptr;
  return typeObject<PtrInterfaceType>(slot);
}

void PtrInterface::nondestructingWordIs(bool b) noexcept {
  std::uint32_t w = referenceWord_.load(std::memory_order_relaxed);
  if (b == nondestructingWord(w)) return;
  // The count lives on in the low 24 bits while the top byte is 0x1F; the
  // flags and high count bits it displaces wait in savedTopBits_. Nobody
  // counts a nondestructing object, so the word cannot change once it is one.
  std::uint32_t next;
  do {
    next = b ? ((w & ~kTopByteMask) | (kNondestructingByte << 24)) : ((w & ~kTopByteMask) | savedTopBits_);
  } while (!referenceWord_.compare_exchange_weak(w, next, std::memory_order_relaxed));
  savedTopBits_ = b ? w & kTopByteMask : 0;
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

void PtrInterface::handleZeroRef() const noexcept {
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

void throwNullValidPtr() { throwRangeException("null ValidPtr"); }

}  // namespace Zef
