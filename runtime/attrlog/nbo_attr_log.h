// The network-byte-order attribute log's byte encoding and its output: a
// bounded send buffer of framed records, and inputs that read them back.
//
// Every number is written big-endian in its full width: unsigned char and
// bool in 1 byte (a bool as 0 or 1), unsigned int and int in 4, 64-bit
// unsigned numbers and entity ids in 8, a double as the 8 bytes of its IEEE-754
// bits. A String8 is its length as a 4-byte unsigned number, then its bytes.
// Nothing is written between values: a reader must know what it reads.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "runtime/text/bounded.h"
#include "runtime/entity/entity.h"
#include "runtime/entity/notifiee.h"
#include "runtime/failure/exception.h"
#include "runtime/object/ptr.h"
#include "runtime/object/string8.h"
#include "runtime/attrlog/frame.h"

namespace Zef {

// Selects the constructor of a value that reads it from an attribute log.
struct StreamBogon {};

namespace ByteConnection {

// Reads numbers and strings from a span of bytes, front to back. A read that
// wants more bytes than are left throws Zef::RangeException, reads nothing and
// leaves the position where it was. The bytes belong to the caller and must
// outlive the reader.
class In {
 public:
  explicit In(std::span<unsigned char const> bytes)
      : begin_(bytes.data()), at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  unsigned char nextU8() { return *take(1, "nextU8"); }
  std::uint16_t nextU16() { return static_cast<std::uint16_t>(bigEndian(take(2, "nextU16"), 2)); }
  std::uint32_t nextU32() { return static_cast<std::uint32_t>(bigEndian(take(4, "nextU32"), 4)); }
  std::uint64_t nextU64() { return bigEndian(take(8, "nextU64"), 8); }
  int nextint() { return static_cast<int>(nextU32()); }
  // A byte above 1 is refused: no writer makes one.
  bool nextbool();
  String8 nextString();
  // The same string in place: valid while the reader's bytes are.
  std::string_view nextStringView();

  // Passes over n bytes a reader does not use.
  void skip(std::size_t n) { take(n, "skip"); }
  // The bytes not yet read, for a reader that decodes several values at once
  // and then skips them.
  std::span<unsigned char const> rest() const { return {at_, remaining()}; }

  // Reads `bytes` from their start: one reader serves a run of records.
  void bytesAre(std::span<unsigned char const> bytes) {
    begin_ = at_ = bytes.data();
    end_ = bytes.data() + bytes.size();
  }

  // Bytes read so far, and left to read.
  std::size_t offset() const { return static_cast<std::size_t>(at_ - begin_); }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - at_); }

 protected:
  // The next n bytes, consumed; `what` names the read for the message.
  unsigned char const* take(std::size_t n, char const* what) {
    if (remaining() < n) throwShort(n, what);
    unsigned char const* p = at_;
    at_ += n;
    return p;
  }

 private:
  static std::uint64_t bigEndian(unsigned char const* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
  }
  [[noreturn]] void throwShort(std::size_t n, char const* what) const;

  unsigned char const* begin_;
  unsigned char const* at_;
  unsigned char const* end_;
};

}  // namespace ByteConnection

namespace NboAttrLog {

class Demuxer;

// The reader of attribute-log records. A reader made by a connection knows
// its demuxer, which turns entity ids back into entities.
//
// Adapters take it as a counted reference. A reader made on the stack keeps
// its construction reference for as long as it lives, so counted references
// taken to it meanwhile never free it.
class In : public ByteConnection::In, public PtrInterface {
 public:
  using ByteConnection::In::In;
  In(std::span<unsigned char const> bytes, Demuxer* demuxer) : ByteConnection::In(bytes), demuxer_(demuxer) {}
  static ValidPtr<In> InIs(std::span<unsigned char const> bytes, Demuxer* demuxer = nullptr) {
    return ValidPtr<In>(new In(bytes, demuxer), adoptRef);
  }
  // A copy is another reader at the same position, with a count of its own:
  // a checkpoint that a reader goes back to when a value was not all there.
  In(In const& o) : ByteConnection::In(o), PtrInterface(), demuxer_(o.demuxer_) {}
  In& operator=(In const& o) {
    ByteConnection::In::operator=(o);
    demuxer_ = o.demuxer_;
    return *this;
  }

  Seconds nextSeconds() { return std::bit_cast<double>(nextU64()); }
  EntityId nextEntityId() { return nextU64(); }
  // The entity an id names on this reader's connection; null for id 0. An id
  // the connection does not know is refused with AttrLogEntityException.
  Ptr<Entity> nextEntity();
  template <class T>
  Ptr<T> nextEntity() {
    Ptr<Entity> e = nextEntity();
    if (!e) return nullptr;
    T* t = dynamic_cast<T*>(e.ptr());
    if (!t) throw AttrLogEntityException("Entity is the wrong type", {});
    return Ptr<T>(t);
  }
  Demuxer* demuxer() const { return demuxer_; }

  // The attribute whose record this reader holds, for the messages.
  void attributeIs(AttributeId a) { attribute_ = a; }
  // A record holds its value and nothing more. Checked before the value is
  // applied, so that a record with bytes beyond it changes nothing.
  void valueEnds() const {
    if (remaining()) [[unlikely]] throwBeyondValue();
  }

 private:
  [[noreturn]] void throwBeyondValue() const;

  Demuxer* demuxer_ = nullptr;
  AttributeId attribute_ = 0;
};

// The transaction tokens that open (1) and close (3) a record.
struct TransactToken {
  unsigned char value;
};

// An output of the attribute log: a bounded send buffer of framed records
// that a transport drains into a byte stream.
//
// The buffer never grows: a writer asks isRoomy() first and falls back to
// dirty bits when it is not, so memory stays the same however many changes
// are made. A record that would overflow it all the same closes the log: the
// reader has lost changes and must resynchronise on a new connection.
//
// Records: nextHeaderIs(header), `out << TransactToken{1}`, the values,
// `out << TransactToken{3}`. Only finished records are handed to the
// transport; a record left unfinished by a failure is taken back when the
// next one begins. A record begun while another is open (an announcement
// its writer needed first) takes the open one back: the interrupted writer's
// next write throws AttrLogRecordException, and it writes its record again.
// Bytes written outside a record (values alone, as tests write them) are
// handed over as they are.
class Out : public PtrInterface {
 public:
  static constexpr std::size_t kDefaultCapacity = std::size_t(1) << 20;
  // The buffer's first block: a writer that keeps what waits below it never
  // grows the buffer.
  static constexpr std::size_t kInitialAllocation = 0x10000;
  // A log is roomy while more than this is free: room for a scheduled pass's
  // records after an immediate one.
  static constexpr std::size_t kRoomyFreeSpace = 0xC000;
  // Low-priority records (counters) go out only while fewer bytes than this
  // wait to be drained; beyond it they coalesce in their dirty bits. A
  // change that matters more is then never queued behind more than this.
  static constexpr std::size_t kDefaultLowPriorityBacklog = 0x800;

  // Told when finished bytes arrive in an empty buffer.
  class Drainer {
   public:
    virtual void outputPending() = 0;
    // The bytes waiting reached the low-priority backlog, maybe in the
    // middle of a writer's mutator. A transport that can write them now
    // without blocking and without running anything else does, so that a
    // burst of changes keeps going out as it is made instead of falling
    // back to dirty bits and a later pass.
    virtual void outputBacklogged() {}

   protected:
    ~Drainer() = default;
  };

  // A log of its own, for values and tests: connected, never drained.
  static ValidPtr<Out> OutIs(std::size_t capacity = kDefaultCapacity) {
    return ValidPtr<Out>(new Out(capacity), adoptRef);
  }

  // Finished bytes not yet drained.
  std::span<unsigned char const> bytes() const { return {data_.get() + begin_, committed() - begin_}; }
  std::size_t size() const { return committed() - begin_; }
  // The transport took n bytes from the front.
  void bytesConsumed(std::size_t n);
  // Forgets every byte written and the header context: a new stream.
  void bytesDelAll();

  std::size_t capacity() const { return capacity_; }
  // The bytes the buffer holds allocated now: none until the first write,
  // then 64 KiB, growing by doubling up to the capacity when it must, and
  // back to 16 KiB once drained after the first synchronisation.
  std::size_t bufferBytes() const { return allocated_; }
  std::size_t freeSpace() const { return capacity_ - (end_ - begin_); }
  bool isConnected() const { return connected_; }
  void isConnectedIs(bool b) { connected_ = b; }
  // Closed for good: nothing more is written to it.
  bool isClosed() const { return closed_; }
  void closedIs();
  String8 const& closeReason() const { return closeReason_; }
  bool isRoomy() const { return connected_ && freeSpace() > kRoomyFreeSpace; }
  bool isRoomyForLowPriority() const { return isRoomy() && (!holdsLowPriority_ || size() < lowPriorityBacklog_); }
  // How many bytes may still be written before the log stops being roomy
  // (for low-priority records, too), were nothing drained meanwhile; 0 when
  // it is not roomy now.
  std::size_t roomyBytes(bool lowPriority) const {
    if (!isRoomy()) return 0;
    std::size_t const room = freeSpace() - kRoomyFreeSpace;
    if (!lowPriority || !holdsLowPriority_) return room;
    return size() < lowPriorityBacklog_ ? std::min(room, lowPriorityBacklog_ - size()) : 0;
  }
  // Whether the backlog applies. A demuxer lifts it for its first
  // synchronisation, where nothing is urgent and whole passes are fastest.
  bool holdsLowPriority() const { return holdsLowPriority_; }
  void holdsLowPriorityIs(bool b) { holdsLowPriority_ = b; }
  std::size_t lowPriorityBacklog() const { return lowPriorityBacklog_; }
  void lowPriorityBacklogIs(std::size_t n) { lowPriorityBacklog_ = n; }

  // A mount's log: what arrives is applied, and nothing is ever written
  // back to the other end. Adapters on it never serialize.
  bool isReceiveOnly() const { return receiveOnly_; }
  void isReceiveOnlyIs(bool b) { receiveOnly_ = b; }

  Demuxer* demuxer() const { return demuxer_; }
  void demuxerIs(Demuxer* d) { demuxer_ = d; }
  void drainerIs(Drainer* d) { drainer_ = d; }

  // The id under which `entity` is known on this log, announcing it first
  // when it has none yet; 0 for null. Throws EntityIdUnavailableException
  // when the log has no id left, and for any entity when the log has no
  // demuxer: ids are given out by a connection, and a log of its own has none.
  EntityId connectionEidFor(Entity const* entity);

  // Records.
  void nextHeaderIs(MsgHeader const& h) { header_ = h; }
  // Inline for the common record, which the writer of every attribute
  // makes; what is rare (a record left open, a closed log, no room for the
  // largest head, an oversized record) goes out of line.
  void recordBegin() {
    if (recordOpen_ || closed_ || allocated_ - end_ < kLargestHead) return recordBeginSlow();
    std::size_t const start = end_;
    end_ += encodeFrameHeadInline(data_.get() + end_, recordKind_, header_, context_);
    recordOpened(start);
  }
  void recordEnd() {
    if (recordOpen_) {
      std::size_t const body = end_ - recordStart_ - Frame::kPrefix;
      if (body <= Frame::kMaxFrameBody) return recordClosed(body);
    }
    recordEndSlow();
  }
  void transactionMarkerIs(EntityId eid, AttributeId aid, unsigned char type, std::uint32_t n);
  // The orphan record's payload sections.
  void currentPayloadSectionIs(unsigned char section);
  bool isRecordOpen() const { return recordOpen_; }

  // Counts since the log was made.
  std::uint64_t recordsWritten() const { return recordsWritten_; }
  std::uint64_t bytesWritten() const { return bytesWritten_; }

  void writeBigEndian(std::uint64_t v, int n) {
    unsigned char* p = room(static_cast<std::size_t>(n));
    for (int i = n - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<unsigned char>(v);
    if (!recordOpen_) committedBytes(static_cast<std::size_t>(n));
  }
  void writeBytes(void const* p, std::size_t n);
  // n bytes at once, filled by fill(p): one check for room instead of one a
  // number, for values whose encoding has a fixed width.
  template <class Fill>
  void writeFixed(std::size_t n, Fill&& fill) {
    fill(room(n));
    if (!recordOpen_) committedBytes(n);
  }

 private:
  explicit Out(std::size_t capacity);
  ~Out() override;

  std::size_t committed() const { return recordOpen_ ? recordStart_ : end_; }
  // n more bytes at the end, moving the undrained bytes to the front (to a
  // larger buffer, up to the limit) when the tail is short. Closes the log
  // and throws when they cannot fit.
  unsigned char* room(std::size_t n) {
    if (allocated_ - end_ < n) makeRoom(n);
    unsigned char* p = data_.get() + end_;
    end_ += n;
    return p;
  }
  void makeRoom(std::size_t n);
  void committedBytes(std::size_t n);
  void abandonRecord();
  // Room a record's head may take: encoded in place when this much is left.
  static constexpr std::size_t kLargestHead = 48;
  void recordBeginSlow();
  void recordEndSlow();
  void recordOpened(std::size_t start) {
    recordStart_ = start;
    recordOpen_ = true;
    contextBefore_ = context_;
    context_ = {header_.entityId, header_.attributeId, true};
  }
  void recordClosed(std::size_t body) {
    data_[recordStart_ + 1] = static_cast<unsigned char>(body >> 8);
    data_[recordStart_ + 2] = static_cast<unsigned char>(body);
    bool const wasEmpty = recordStart_ == begin_;
    recordOpen_ = false;
    recordKind_ = FrameKind::attribute;
    ++recordsWritten_;
    std::size_t const record = Frame::kPrefix + body;
    bytesWritten_ += record;
    if (!drainer_) return;
    if (wasEmpty) drainer_->outputPending();
    // Told once, as the backlog is crossed.
    std::size_t const now = size();
    if (holdsLowPriority_ && now >= lowPriorityBacklog_ && now - record < lowPriorityBacklog_) drainer_->outputBacklogged();
  }

  // Past the first synchronisation: eight times the low-priority backlog.
  static constexpr std::size_t kSteadyAllocation = 0x4000;

  std::size_t capacity_;
  std::size_t limit_;      // the capacity and one largest record
  std::size_t allocated_;  // grows by doubling up to limit_
  PoolBytes data_;
  std::size_t begin_ = 0;  // first undrained byte
  std::size_t end_ = 0;    // behind the last byte written
  std::size_t recordStart_ = 0;
  bool recordOpen_ = false;
  // Open records taken back by records begun inside them, whose writers
  // have not yet been told.
  unsigned interrupted_ = 0;
  bool connected_ = true;
  bool closed_ = false;
  bool receiveOnly_ = false;
  String8 closeReason_;
  MsgHeader header_;
  HeaderContext context_;
  HeaderContext contextBefore_;
  FrameKind recordKind_ = FrameKind::attribute;
  Demuxer* demuxer_ = nullptr;
  Drainer* drainer_ = nullptr;
  bool holdsLowPriority_ = true;
  std::size_t lowPriorityBacklog_ = kDefaultLowPriorityBacklog;
  std::uint64_t recordsWritten_ = 0;
  std::uint64_t bytesWritten_ = 0;
};

inline Ptr<Out> const& operator<<(Ptr<Out> const& out, TransactToken t) {
  if (t.value == 1) out->recordBegin();
  else if (t.value == 3) out->recordEnd();
  return out;
}

// The primitive writers. Each returns the output it wrote to, so that writes
// chain: `out << a << b`.
inline Ptr<Out> const& operator<<(Ptr<Out> const& out, unsigned char v) {
  out->writeBigEndian(v, 1);
  return out;
}
inline Ptr<Out> const& operator<<(Ptr<Out> const& out, bool v) { return out << static_cast<unsigned char>(v); }
inline Ptr<Out> const& operator<<(Ptr<Out> const& out, unsigned int v) {
  out->writeBigEndian(v, 4);
  return out;
}
inline Ptr<Out> const& operator<<(Ptr<Out> const& out, int v) { return out << static_cast<unsigned int>(v); }
// 64-bit unsigned numbers and entity ids.
inline Ptr<Out> const& operator<<(Ptr<Out> const& out, std::uint64_t v) {
  out->writeBigEndian(v, 8);
  return out;
}
inline Ptr<Out> const& operator<<(Ptr<Out> const& out, double const& v) {
  return out << std::bit_cast<std::uint64_t>(v);
}
Ptr<Out> const& operator<<(Ptr<Out> const& out, String8 const& v);

}  // namespace NboAttrLog

}  // namespace Zef
