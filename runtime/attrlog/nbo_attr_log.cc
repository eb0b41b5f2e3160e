#include "runtime/attrlog/nbo_attr_log.h"

#include <algorithm>
#include <cstring>
#include <limits>

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

String8 ByteConnection::In::nextString() {
  // The length and the bytes are taken together, so that a short record
  // consumes neither and a huge length allocates nothing.
  std::uint32_t n = nextU32();
  if (remaining() < n) {
    at_ -= 4;
    throwShort(4 + std::size_t(n), "nextString");
  }
  return String8(reinterpret_cast<char const*>(take(n, "nextString")), n);
}

namespace NboAttrLog {

void Out::writeBytes(void const* p, std::size_t n) {
  if (n) std::memcpy(room(n), p, n);
}

void Out::grow(std::size_t n) {
  std::size_t capacity = std::max({std::size_t(64), capacity_ * 2, size_ + n});
  auto data = std::make_unique_for_overwrite<unsigned char[]>(capacity);
  if (size_) std::memcpy(data.get(), data_.get(), size_);
  data_ = std::move(data);
  capacity_ = capacity;
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
