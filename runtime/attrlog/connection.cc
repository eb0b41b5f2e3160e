#include "runtime/attrlog/connection.h"

#include <algorithm>

#include "runtime/failure/exception.h"
#include "runtime/text/text.h"

namespace Zef::NboAttrLog {

Connection::Connection(std::size_t capacity)
    : out_(Out::OutIs(capacity)), demuxer_(Demuxer::DemuxerIs(out_)) {}

Connection::~Connection() { demuxer_->reactorDelAll(); }

void Connection::refused(std::uint64_t offset, String8 why) {
  ++framesRefused_;
  lastRefusal_ = std::move(why);
  if (refusalHandler_) refusalHandler_(*this, offset, lastRefusal_);
}

void Connection::bytesReceived(std::span<unsigned char const> bytes) {
  if (isClosed() || bytes.empty()) return;
  bytesReceived_ += bytes.size();
  // Whole frames are read straight from `bytes`; only a frame cut at the end
  // is copied aside until the rest comes.
  std::span<unsigned char const> input = bytes;
  if (!pending_.empty()) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    input = pending_;
  }
  std::size_t at = 0;
  while (at < input.size()) {
    auto r = reader_.next(input.subspan(at), streamOffset_ + at);
    if (r.status == FrameReader::Status::needMore) break;
    if (r.status == FrameReader::Status::lostFraming) {
      refused(streamOffset_ + at, r.error);
      closedIs(r.error);
      return;
    }
    at += r.frame.size;
    if (r.status == FrameReader::Status::badFrame) {
      refused(r.frame.offset, r.error);
      if (isClosed()) return;
      continue;
    }
    ++framesReceived_;
    if (!frameHandler_) continue;
    try {
      frameHandler_(*this, r.frame);
    } catch (Exception const& e) {
      refused(r.frame.offset, format("frame at offset %d: %s", r.frame.offset, e.what()));
    }
    if (isClosed()) return;
  }
  streamOffset_ += at;
  if (input.data() == pending_.data()) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  } else {
    pending_.assign(input.begin() + static_cast<std::ptrdiff_t>(at), input.end());
  }
}

void Connection::closedIs(String8 reason) {
  if (closeReason_.size() == 0) closeReason_ = std::move(reason);
  out_->closedIs();
  demuxer_->reactorDelAll();
  pending_.clear();
}

std::size_t MemoryPair::move(Connection& from, Connection& to, std::size_t limit) {
  auto bytes = from.out()->bytes();
  std::size_t n = std::min(bytes.size(), limit);
  if (n == 0) return 0;
  // Copied first: delivering may make the sender write again.
  std::vector<unsigned char> chunk(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  from.out()->bytesConsumed(n);
  to.bytesReceived(chunk);
  return n;
}

std::size_t MemoryPair::pump() {
  std::size_t total = 0;
  for (;;) {
    std::size_t moved = move(*a_, *b_, SIZE_MAX) + move(*b_, *a_, SIZE_MAX);
    a_->flowOutReady();
    b_->flowOutReady();
    total += moved;
    // Quiet when nothing moved and the flow-outs wrote nothing more; one
    // that cannot go on (no entity id left) waits for a later pump.
    if (moved == 0 && a_->out()->size() == 0 && b_->out()->size() == 0) break;
  }
  return total;
}

std::size_t MemoryPair::pumpAtoB(std::size_t limit) {
  std::size_t n = move(*a_, *b_, limit);
  a_->flowOutReady();
  return n;
}

}  // namespace Zef::NboAttrLog
