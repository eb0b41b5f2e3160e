#include "runtime/attrlog/nbo_attr_log.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "runtime/attrlog/demuxer.h"
#include "runtime/text/text.h"

namespace Zef {

void ByteConnection::In::throwShort(std::size_t n, char const* what) const {
  throwRangeException(format("attribute log record ends early: %s needs %d bytes at offset %d, %d left", what, n,
                             offset(), remaining())
                          .charPtr());
}

bool ByteConnection::In::nextbool() {
  unsigned char b = *take(1, "nextbool");
  if (b > 1) {
    at_ -= 1;
    throwRangeException(format("attribute log bool byte %d at offset %d is neither 0 nor 1", b, offset()).charPtr());
  }
  return b == 1;
}

String8 ByteConnection::In::nextString() { return String8(nextStringView()); }

std::string_view ByteConnection::In::nextStringView() {
  // The length and the bytes are taken together, so that a short record
  // consumes neither and a huge length allocates nothing.
  std::uint32_t n = nextU32();
  if (remaining() < n) {
    at_ -= 4;
    throwShort(4 + std::size_t(n), "nextString");
  }
  return {reinterpret_cast<char const*>(take(n, "nextString")), n};
}

namespace NboAttrLog {

Out::Out(std::size_t capacity)
    : capacity_(capacity),
      // Room for one largest record beyond the capacity: a record begun just
      // under the limit still finishes.
      limit_(capacity + Frame::kPrefix + Frame::kMaxFrameBody),
      // Nothing until the first write: a mount's log may never have one. A
      // log that is mostly idle (a quiet agent's) keeps a small buffer; it
      // grows to the limit only when it has to.
      allocated_(0) {}

Out::~Out() = default;

void Out::writeBytes(void const* p, std::size_t n) {
  if (!n) return;
  std::memcpy(room(n), p, n);
  if (!recordOpen_) committedBytes(n);
}

void Out::makeRoom(std::size_t n) {
  if (closed_) throwRangeException("attribute log is closed");
  std::size_t used = end_ - begin_;
  if (used + n > limit_ || (recordOpen_ && end_ - recordStart_ + n > Frame::kPrefix + Frame::kMaxFrameBody)) {
    // Past the capacity and the one record of slack: the reader can no
    // longer be given every change, so this stream ends here.
    if (recordOpen_) abandonRecord();
    closeReason_ = format("send buffer overflow: %d bytes pending, %d more wanted", used, n);
    closedIs();
    throwRangeException(closeReason_.charPtr());
  }
  if (used + n > allocated_) {
    std::size_t size = std::max(allocated_, std::min(limit_, kInitialAllocation));
    while (size < used + n) size = std::min(limit_, size * 2);
    PoolBytes larger(size);
    if (used) std::memcpy(larger.get(), data_.get() + begin_, used);
    data_ = std::move(larger);
    allocated_ = size;
  } else {
    std::memmove(data_.get(), data_.get() + begin_, used);
  }
  if (recordOpen_) recordStart_ -= begin_;
  end_ = used;
  begin_ = 0;
}

void Out::committedBytes(std::size_t n) {
  if (interrupted_) {
    // The rest of a record that was taken back: it must start again.
    end_ -= n;
    --interrupted_;
    throw AttrLogRecordException("attribute log record interrupted by another record");
  }
  bytesWritten_ += n;
  if (end_ - begin_ == n && drainer_) drainer_->outputPending();
}

void Out::bytesConsumed(std::size_t n) {
  begin_ += std::min(n, committed() - begin_);
  if (begin_ != end_) return;
  begin_ = end_ = 0;
  // A first synchronisation grows the buffer to its capacity; past it, what
  // waits is held to the backlog and a few urgent records, so the buffer
  // goes back to a steady size once drained, rather than holding a
  // megabyte for every idle mount. It grows again when it must.
  if (holdsLowPriority_ && !recordOpen_ && allocated_ > kSteadyAllocation) {
    data_ = PoolBytes(kSteadyAllocation);
    allocated_ = kSteadyAllocation;
  }
}

void Out::bytesDelAll() {
  begin_ = end_ = recordStart_ = 0;
  recordOpen_ = false;
  interrupted_ = 0;
  context_ = contextBefore_ = {};
}

void Out::closedIs() {
  closed_ = true;
  connected_ = false;
}

void Out::abandonRecord() {
  end_ = recordStart_;
  recordOpen_ = false;
  context_ = contextBefore_;
}

void Out::recordBeginSlow() {
  if (recordOpen_) {
    abandonRecord();
    ++interrupted_;
  }
  if (closed_) throwRangeException("attribute log is closed");
  // With room for the largest head at the end, the head goes in place.
  if (allocated_ - end_ >= kLargestHead) return recordBegin();
  std::size_t const start = end_ - begin_;
  unsigned char head[kLargestHead];
  std::size_t n = encodeFrameHead(head, recordKind_, header_, context_);
  std::memcpy(room(n), head, n);
  recordOpened(begin_ + start);
}

void Out::recordEndSlow() {
  if (!recordOpen_) {
    if (interrupted_) {
      --interrupted_;
      throw AttrLogRecordException("attribute log record interrupted by another record");
    }
    return;
  }
  std::size_t const body = end_ - recordStart_ - Frame::kPrefix;
  abandonRecord();
  throwRangeException(
      format("attribute log record of %d bytes exceeds the largest frame of %d bytes", body, Frame::kMaxFrameBody)
          .charPtr());
}

void Out::transactionMarkerIs(EntityId eid, AttributeId aid, unsigned char type, std::uint32_t n) {
  header_ = MsgHeader{eid, aid};
  recordKind_ = FrameKind::transaction;
  recordBegin();
  writeBigEndian(type, 1);
  writeBigEndian(n, 4);
  recordEnd();
}

void Out::currentPayloadSectionIs(unsigned char section) { writeBigEndian(section, 1); }

EntityId Out::connectionEidFor(Entity const* entity) {
  if (!entity) return 0;
  if (!demuxer_) throw EntityIdUnavailableException("attribute log without a connection has no entity ids");
  return demuxer_->connectionEidFor(entity);
}

Ptr<Out> const& operator<<(Ptr<Out> const& out, String8 const& v) {
  if (v.size() > std::numeric_limits<std::uint32_t>::max()) {
    throwRangeException("attribute log string longer than 4294967295 bytes");
  }
  out << static_cast<unsigned int>(v.size());
  out->writeBytes(v.charPtr(), v.size());
  return out;
}

}  // namespace NboAttrLog

}  // namespace Zef
