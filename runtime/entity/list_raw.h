// The notifiee list of an entity and the iterators over it.
//
// Guarantees:
// - Intrusive: members are linked through their `listNext`; attaching and
//   detaching allocate nothing. The list holds no counted reference on its
//   members and never keeps one alive.
// - Order: `newHead` puts a member first, `newMember` last; removal keeps the
//   order of the rest. `version` grows with every insertion and removal.
// - None of the operations checks whether a member is already on a list; the
//   reactors' own operations keep each reactor on at most one list, once.
// - A SnapshotIterator keeps every member that was on the list when it was
//   taken alive until it ends, so handlers may change the list freely while
//   a dispatch walks the snapshot.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "runtime/object/ptr.h"
#include "runtime/object/string8.h"

namespace Zef {

class BaseCollection {
 public:
  // Untyped iteration state, for code that walks any collection.
  class StrepIterator {
   public:
    BaseCollection const* collection = nullptr;
    void* current = nullptr;
  };

  virtual ~BaseCollection() = default;
  virtual bool iteratorMoreLeft(StrepIterator const& it) const { return it.current != nullptr; }
  virtual void iteratorIncr(StrepIterator& it) const = 0;
  virtual void iteratorDelete(StrepIterator& it) const = 0;
  virtual String8 iteratorStrep(StrepIterator const& it) const;
  virtual void iteratorSpaceCopy(StrepIterator& it) const = 0;
};

template <class T>
class BaseRefCollection : public BaseCollection {
 public:
  // Releases the counted reference an iterator held on its current member.
  void iteratorDelete(StrepIterator& it) const override {
    _referencesDec(static_cast<T*>(it.current));
    it.current = nullptr;
  }
  // Takes a counted reference on the current member of a copied iterator.
  void iteratorSpaceCopy(StrepIterator& it) const override { _referencesInc(static_cast<T*>(it.current)); }
};

// Iterator core holding a counted reference on its current member.
template <class T, bool Counted>
class BaseIteratorConst : public BaseCollection::StrepIterator {
 public:
  BaseIteratorConst(BaseCollection const* c, T* start) {
    collection = c;
    current = start;
    if (Counted) _referencesInc(start);
  }
  BaseIteratorConst(BaseIteratorConst const& o) : StrepIterator(o) {
    if (Counted) _referencesInc(ptr());
  }
  BaseIteratorConst& operator=(BaseIteratorConst const&) = delete;
  ~BaseIteratorConst() {
    if (Counted) _referencesDec(ptr());
  }

  T* ptr() const { return static_cast<T*>(current); }
  T* operator->() const { return ptr(); }
  explicit operator bool() const { return current != nullptr; }

 protected:
  void currentIs(T* next) {
    T* old = ptr();
    if (Counted) _referencesInc(next);
    current = next;
    if (Counted) _referencesDec(old);
  }
};

template <class T>
class ListRaw : public BaseRefCollection<T> {
 public:
  class LrIteratorConst;
  class LrIterator;

  ListRaw() = default;
  ListRaw(ListRaw const&) = delete;
  ListRaw& operator=(ListRaw const&) = delete;
  // Owns none of its members and touches none of them: a member that is
  // still on the list when it goes has been told through onZeroReferences.
  ~ListRaw() override = default;

  void iteratorIncr(BaseCollection::StrepIterator& it) const override {
    T* cur = static_cast<T*>(it.current);
    T* next = cur ? cur->listNext : nullptr;
    _referencesInc(next);
    it.current = next;
    _referencesDec(cur);
  }

  std::uint32_t version() const { return version_; }
  std::uint32_t memberCount() const { return memberCount_; }
  T* head() const { return head_; }
  T* tail() const { return tail_; }

  void newHead(T* r) {
    r->listNext = head_;
    if (!head_) tail_ = r;
    head_ = r;
    ++version_;
    ++memberCount_;
  }

  void newMember(T* r) {
    r->listNext = nullptr;
    if (!head_) head_ = r;
    else tail_->listNext = r;
    tail_ = r;
    ++version_;
    ++memberCount_;
  }

  // Unlinks r if it is on the list; r's own listNext is left as it was, so an
  // iterator standing on r can still move on.
  void deleteMember(T* r) {
    T* prev = nullptr;
    for (T* cur = head_; cur; prev = cur, cur = cur->listNext) {
      if (cur != r) continue;
      if (prev) prev->listNext = r->listNext;
      else head_ = r->listNext;
      if (tail_ == r) tail_ = prev;
      ++version_;
      --memberCount_;
      return;
    }
  }

 private:
  std::uint32_t version_ = 0;
  std::uint32_t memberCount_ = 0;
  T* head_ = nullptr;
  T* tail_ = nullptr;
};

template <class T>
class ListRaw<T>::LrIteratorConst : public BaseIteratorConst<T, true> {
 public:
  LrIteratorConst(ListRaw const& list, T* start)
      : BaseIteratorConst<T, true>(&list, start), version_(list.version()) {}

  LrIteratorConst& operator++() {
    if (currentDeleted_) {
      currentDeleted_ = false;
      return *this;
    }
    previous_ = this->ptr();
    this->currentIs(this->ptr()->listNext);
    return *this;
  }

  std::uint32_t version() const { return version_; }
  Ptr<T> const& previous() const { return previous_; }

 protected:
  std::uint32_t version_;
  Ptr<T> previous_;
  bool currentDeleted_ = false;
};

template <class T>
class ListRaw<T>::LrIterator : public ListRaw<T>::LrIteratorConst {
 public:
  using LrIteratorConst::LrIteratorConst;
};

template <class List>
class SnapshotIterator;

// A copy of a notifiee list, taken for one dispatch, that keeps its members
// alive: held in the thread's hold frame when it has room, else counted. Up
// to kInlineEntries members are kept in the iterator itself, so the common
// dispatch allocates nothing; a longer list takes one allocation of exactly
// memberCount entries.
template <class T>
class SnapshotIterator<ListRaw<T>> {
 public:
  static constexpr std::uint32_t kInlineEntries = 8;

  explicit SnapshotIterator(ListRaw<T> const& list) {
    std::uint32_t const n = list.memberCount();
    if (n > kInlineEntries) {
      heap_.reset(new T*[n]);
      entries_ = heap_.get();
    }
    if (HoldFrame::hasRoomFor(n)) frame_.emplace();
    // A plain walk: nothing can run between two steps, so it sees exactly
    // what a counted list iterator would. A reactor whose destructors run
    // (one of its members released the notifier) is past being called.
    for (T* r = list.head(); r && size_ < n; r = r->listNext) {
      if (r->zefIsDestroying()) continue;
      if (frame_) frame_->hold(r);
      else r->newRef();
      entries_[size_++] = r;
    }
  }
  SnapshotIterator(SnapshotIterator const&) = delete;
  SnapshotIterator& operator=(SnapshotIterator const&) = delete;
  ~SnapshotIterator() {
    if (frame_) return;  // the frame releases what lost its holders
    for (std::uint32_t i = index_; i < size_; ++i) entries_[i]->deleteRef();
  }

  explicit operator bool() const { return index_ < size_; }
  T* ptr() const { return index_ < size_ ? entries_[index_] : nullptr; }
  T* operator->() const { return ptr(); }

  // Moves on, passing over members whose only holder left is the snapshot:
  // their owners have let them go, so they are not called.
  SnapshotIterator& operator++() {
    if (index_ >= size_) return *this;
    if (frame_) {
      ++index_;
      while (index_ < size_ && frame_->released(index_)) ++index_;
      return *this;
    }
    entries_[index_++]->deleteRef();
    while (index_ < size_ && entries_[index_]->references() == 1) entries_[index_++]->deleteRef();
    return *this;
  }

  std::uint32_t index() const { return index_; }
  std::size_t size() const { return size_; }

 private:
  T* inline_[kInlineEntries];
  T** entries_ = inline_;
  std::unique_ptr<T*[]> heap_;
  std::uint32_t size_ = 0;
  std::uint32_t index_ = 0;
  std::optional<HoldFrame> frame_;
};

}  // namespace Zef
