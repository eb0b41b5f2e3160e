// Reference-counted framework objects and counted references to them.
//
// Every framework object starts with one 32-bit reference word:
//   bits 0-28   reference count
//   bit 29      notification active (reactors)
//   bit 31      marked for deletion
//   top byte 0x1F: nondestructing; counted references leave the word alone.
// While the top byte marks an object nondestructing it has no room for bits
// 24 to 31; the object keeps them aside and gets them back when it turns
// destructing again.
// The word is the only state changed with atomic instructions; everything else
// belongs to the one thread that owns the object.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace Zef {

class ZefType;

// Sized allocation for framework objects. Objects are created by their
// factories with the object's size and returned with the same size; the pool
// keeps a count of the bytes it has handed out so memory cost is measurable.
//
// Sizes up to kLargestClass come from slabs, one size class per 8 bytes up
// to 1 KiB and per 128 bytes above: objects made one after another sit side by
// side, and a freed slot is the next one handed out in its class. Each thread
// keeps its own free lists, so no lock is taken; a slot freed on another
// thread joins that thread's list. Slabs are never given back. Blocks of a
// power of two from 8 to 64 KiB (tables, read buffers) are cut from the same
// memory one at a time and kept on free lists of their size, as slots are.
// Of larger sizes, a thread keeps one freed block of each power of two from
// 128 KiB to 1 MiB for the next request of that size. Other sizes, and every
// size in a build with AddressSanitizer (whose own allocator then catches a
// use after free), go to operator new.
class ZefMemPool {
 public:
  static constexpr std::size_t kLargestClass = 4096;
  // The blocks cut from slab memory: powers of two from here to 64 KiB.
  static constexpr std::size_t kSmallestBlock = 8192;
  static constexpr std::size_t kLargestBlock = 65536;

  static void* allocate(std::size_t size);
  static void release(void* p, std::size_t size) noexcept;
  // Bytes handed out and not yet returned, as asked for.
  static std::size_t bytesInUse() noexcept;
  // Bytes of slabs and blocks taken from the system, every thread's together.
  static std::size_t slabBytes() noexcept;
  // Whether sizes up to kLargestClass, and the blocks, come from slabs in this
  // build.
  static bool usesSlabs() noexcept;
};

// n values of T made in one block of the pool, value-initialised; and their
// end. The tables that grow in a process's busy paths keep their blocks here.
template <class T>
T* newPoolArray(std::size_t n) {
  auto* values = static_cast<T*>(ZefMemPool::allocate(n * sizeof(T)));
  std::uninitialized_value_construct_n(values, n);
  return values;
}
template <class T>
void deletePoolArray(T* values, std::size_t n) noexcept {
  if (!values) return;
  std::destroy_n(values, n);
  ZefMemPool::release(values, n * sizeof(T));
}

// n bytes of the pool, left as they are: buffers that are written before
// they are read. Blocks up to 64 KiB come from the arenas, where a buffer
// made after the process's entities costs no fresh pages.
class PoolBytes {
 public:
  PoolBytes() = default;
  explicit PoolBytes(std::size_t n) : p_(static_cast<unsigned char*>(ZefMemPool::allocate(n))), n_(n) {}
  PoolBytes(PoolBytes&& o) noexcept : p_(o.p_), n_(o.n_) {
    o.p_ = nullptr;
    o.n_ = 0;
  }
  PoolBytes& operator=(PoolBytes&& o) noexcept {
    PoolBytes gone(std::move(*this));
    p_ = o.p_;
    n_ = o.n_;
    o.p_ = nullptr;
    o.n_ = 0;
    return *this;
  }
  ~PoolBytes() {
    if (p_) ZefMemPool::release(p_, n_);
  }
  unsigned char* get() const { return p_; }
  std::size_t size() const { return n_; }
  explicit operator bool() const { return p_ != nullptr; }
  unsigned char& operator[](std::size_t i) const { return p_[i]; }

 private:
  unsigned char* p_ = nullptr;
  std::size_t n_ = 0;
};

class PtrInterface {
 public:
  static constexpr std::uint32_t kCountMask = 0x1FFFFFFFu;
  static constexpr std::uint32_t kNotificationActiveBit = 1u << 29;
  static constexpr std::uint32_t kMarkedForDeletionBit = 1u << 31;
  static constexpr std::uint32_t kZeroTestMask = 0x5FFFFFFFu;
  static constexpr std::uint32_t kNondestructingByte = 0x1Fu;
  // The word of an object whose destructors run: nondestructing with no
  // count, which no live object has.
  static constexpr std::uint32_t kDestroyingWord = kNondestructingByte << 24;

  class NotifieeConst;

  PtrInterface() noexcept : referenceWord_(1) {}
  PtrInterface(PtrInterface const&) = delete;
  PtrInterface& operator=(PtrInterface const&) = delete;

  // Virtual operations in the framework's slot order.
  virtual void hasNotificationActiveIs(bool b);
  virtual unsigned int zefAuditErrors(unsigned int depth) const;
  virtual unsigned int auditErrors(unsigned int depth) const;
  virtual void isNondestructingIs(bool b);
  virtual void zeroReferencesIs(bool b);
  virtual ZefType* fwkType() const;
  virtual ~PtrInterface();

  static ZefType* _fwkType();

  std::uint32_t referenceWord() const noexcept {
    return referenceWord_.load(std::memory_order_relaxed);
  }
  std::uint32_t references() const noexcept { return referenceWord() & kCountMask; }
  bool isNondestructing() const noexcept { return (referenceWord() >> 24) == kNondestructingByte; }
  bool hasNotificationActive() const noexcept { return topBits() & kNotificationActiveBit; }
  bool zefMarkedForDeletion() const noexcept { return topBits() & kMarkedForDeletionBit; }
  bool zefIsDestroying() const noexcept { return referenceWord() == kDestroyingWord; }
  void zefMarkedForDeletionIs(bool b) noexcept { setBit(kMarkedForDeletionBit, b); }

  void newRef() const noexcept {
    if (!isNondestructing()) referenceWord_.fetch_add(1, std::memory_order_relaxed);
  }
  void deleteRef() const noexcept {
    if (isNondestructing()) return;
    std::uint32_t now = referenceWord_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if ((now & kZeroTestMask) == 0) handleZeroRef();
  }

  static void* operator new(std::size_t size) { return ZefMemPool::allocate(size); }
  static void operator delete(void* p, std::size_t size) noexcept { ZefMemPool::release(p, size); }

 protected:
  // Sets or clears bit 29; the runtime's part of hasNotificationActiveIs.
  void notificationActiveBitIs(bool b) noexcept { setBit(kNotificationActiveBit, b); }
  // The runtime's own switch of the nondestructing state (the word's top byte).
  void nondestructingWordIs(bool b) noexcept;

 private:
  static constexpr std::uint32_t kTopByteMask = 0xFF000000u;
  static bool nondestructingWord(std::uint32_t w) noexcept { return (w >> 24) == kNondestructingByte; }
  // Bits 24 to 31 as they stand, or as kept aside while nondestructing.
  std::uint32_t topBits() const noexcept {
    std::uint32_t w = referenceWord();
    return nondestructingWord(w) ? savedTopBits_ & kTopByteMask : w & kTopByteMask;
  }
  // A weak reactor was once registered on this object: its destruction must
  // tell the weak record. Never cleared; most objects never have one, and
  // they skip the record's lock and look-up when they go.
  static constexpr std::uint32_t kWeaklyNotifiedBit = 1u;
  bool isWeaklyNotified() const noexcept { return savedTopBits_ & kWeaklyNotifiedBit; }
  void weaklyNotifiedIs() const noexcept { savedTopBits_ |= kWeaklyNotifiedBit; }
  void setBit(std::uint32_t bit, bool b) noexcept;
  // The count reached zero: tell the object through zeroReferencesIs, then
  // destroy it unless a holder took a new reference meanwhile.
  void handleZeroRef() const noexcept;

  mutable std::atomic<std::uint32_t> referenceWord_;
  // The word's bits 24 to 31 while its top byte says nondestructing; bit 0
  // is kWeaklyNotifiedBit.
  mutable std::uint32_t savedTopBits_ = 0;
};

inline void _referencesInc(PtrInterface const* p) noexcept {
  if (p) p->newRef();
}
inline void _referencesDec(PtrInterface const* p) noexcept {
  if (p) p->deleteRef();
}

// Keeps objects alive for a dispatch without counted references: the two
// atomic operations of a counted one cost more than a short handler. An
// object whose count reaches zero while held is released when its frame
// ends. Frames nest on a thread's stack of kDepth holds; a caller that finds
// no room counts instead. Held objects must be released on the holding
// thread, as every entity and reactor is.
class HoldFrame {
 public:
  static constexpr int kDepth = 32;

  // Whether n more holds fit on this thread's stack.
  static bool hasRoomFor(std::uint32_t n) noexcept { return n <= std::uint32_t(kDepth - depth_); }

  HoldFrame() noexcept : base_(depth_) {}
  HoldFrame(HoldFrame const&) = delete;
  HoldFrame& operator=(HoldFrame const&) = delete;
  ~HoldFrame() {
    // Most frames end with nothing released: they only drop their holds.
    if (releasedCount_ == 0) [[likely]] {
      depth_ = base_;
    } else {
      releaseHeld();
    }
  }

  // Holds p; the caller checked hasRoomFor first.
  void hold(PtrInterface const* p) noexcept { stack_[depth_++] = Slot{p, false}; }
  // Whether the i-th object this frame holds has lost its last holder.
  bool released(std::uint32_t i) const noexcept { return stack_[base_ + int(i)].released; }

  // For a release reaching zero: true when `p` is held, and its release now
  // waits for the frame's end.
  static bool deferRelease(PtrInterface const* p) noexcept {
    for (int i = depth_; i-- > 0;) {
      if (stack_[i].p == p) {
        // Taken back and released again, it is still one release.
        if (!stack_[i].released) ++releasedCount_;
        stack_[i].released = true;
        return true;
      }
    }
    return false;
  }

 private:
  struct Slot {
    PtrInterface const* p = nullptr;
    bool released = false;
  };
  [[gnu::tls_model("initial-exec")]] static constinit thread_local Slot stack_[kDepth];
  [[gnu::tls_model("initial-exec")]] static constinit thread_local int depth_;
  // Held objects on this thread's stack, in any frame, that wait for release.
  [[gnu::tls_model("initial-exec")]] static constinit thread_local int releasedCount_;
  // Pops this frame's holds, releasing those that lost their last holder.
  [[gnu::cold, gnu::noinline]] void releaseHeld() noexcept;
  int base_;
};

// Keeps one object alive for a call: held in the thread's frame when it has
// room, else counted.
class KeepForCall {
 public:
  explicit KeepForCall(PtrInterface const* p) noexcept {
    if (HoldFrame::hasRoomFor(1)) {
      frame_.hold(p);
    } else {
      counted_ = p;
      p->newRef();
    }
  }
  KeepForCall(KeepForCall const&) = delete;
  KeepForCall& operator=(KeepForCall const&) = delete;
  ~KeepForCall() {
    if (counted_) counted_->deleteRef();
  }

 private:
  HoldFrame frame_;
  PtrInterface const* counted_ = nullptr;
};

struct AdoptRef {};
inline constexpr AdoptRef adoptRef{};

// A counted reference. Copying takes a reference; destruction releases one;
// assignment takes the new reference before releasing the old one.
// Equality is identity of the referenced object.
template <class T>
class Ptr {
 public:
  using element_type = T;

  Ptr() noexcept = default;
  Ptr(std::nullptr_t) noexcept {}  // NOLINT
  Ptr(T* p) noexcept : p_(p) { _referencesInc(p_); }  // NOLINT
  // Takes over the construction reference of a freshly built object.
  Ptr(T* p, AdoptRef) noexcept : p_(p) {}
  Ptr(Ptr const& o) noexcept : p_(o.p_) { _referencesInc(p_); }
  Ptr(Ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ptr(Ptr<U> const& o) noexcept : p_(o.ptr()) {  // NOLINT
    _referencesInc(p_);
  }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ptr(Ptr<U>&& o) noexcept : p_(o.release()) {}  // NOLINT
  ~Ptr() { _referencesDec(p_); }

  Ptr& operator=(Ptr const& o) noexcept {
    T* old = p_;
    _referencesInc(o.p_);
    p_ = o.p_;
    _referencesDec(old);
    return *this;
  }
  Ptr& operator=(Ptr&& o) noexcept {
    if (this != &o) {
      T* old = p_;
      p_ = std::exchange(o.p_, nullptr);
      _referencesDec(old);
    }
    return *this;
  }

  T* ptr() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives up the reference without releasing it.
  T* release() noexcept { return std::exchange(p_, nullptr); }

  template <class U>
  bool operator==(Ptr<U> const& o) const noexcept { return p_ == o.ptr(); }
  template <class U>
  bool operator!=(Ptr<U> const& o) const noexcept { return p_ != o.ptr(); }
  bool operator==(std::nullptr_t) const noexcept { return p_ == nullptr; }
  bool operator!=(std::nullptr_t) const noexcept { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T, class U>
Ptr<T> dynamicPtrCast(Ptr<U> const& p) {
  return Ptr<T>(dynamic_cast<T*>(p.ptr()));
}

[[noreturn]] void throwNullValidPtr();

// A counted reference that is never null: construction from null throws the
// range exception "null ValidPtr".
template <class T>
class ValidPtr : public Ptr<T> {
 public:
  ValidPtr(T* p) : Ptr<T>(check(p)) {}  // NOLINT
  ValidPtr(T* p, AdoptRef) : Ptr<T>(check(p), adoptRef) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ValidPtr(Ptr<U> const& o) : Ptr<T>(check(o.ptr())) {}  // NOLINT
  // Takes the reference over; a null one throws and is left as it was.
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ValidPtr(Ptr<U>&& o) : Ptr<T>(take(o), adoptRef) {}  // NOLINT

 private:
  static T* check(T* p) {
    if (!p) throwNullValidPtr();
    return p;
  }
  template <class U>
  static T* take(Ptr<U>& o) {
    check(o.ptr());
    return o.release();
  }
};

// Whether T is a counted reference, and to what.
template <class T>
struct IsPtr : std::false_type {};
template <class T>
struct IsPtr<Ptr<T>> : std::true_type {
  using Target = T;
};
template <class T>
struct IsPtr<ValidPtr<T>> : IsPtr<Ptr<T>> {};

// Allocates with the framework's sized allocator and constructs; if the
// constructor throws, the memory goes back and nothing is left behind.
template <class T, class... Args>
ValidPtr<T> newObject(Args&&... args) {
  return ValidPtr<T>(new T(std::forward<Args>(args)...), adoptRef);
}

}  // namespace Zef
