// The network-byte-order attribute log's byte encoding: an output that
// collects the bytes of records, and inputs that read them back.
//
// Every number is written big-endian in its full width: unsigned char and
// bool in 1 byte (a bool as 0 or 1), unsigned int and int in 4, 64-bit
// unsigned numbers and entity ids in 8, a double as the 8 bytes of its IEEE-754
// bits. A String8 is its length as a 4-byte unsigned number, then its bytes.
// Nothing is written between values: a reader must know what it reads.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "runtime/text/bounded.h"
#include "runtime/entity/notifiee.h"
#include "runtime/object/ptr.h"
#include "runtime/text/string8.h"

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

// The reader of attribute-log records.
class In : public ByteConnection::In {
 public:
  using ByteConnection::In::In;

  Seconds nextSeconds() { return std::bit_cast<double>(nextU64()); }
  EntityId nextEntity() { return nextU64(); }
};

// An output of the attribute log: the bytes written to it so far, in a buffer
// that grows as needed. Counted: the writers take it by counted reference.
class Out : public PtrInterface {
 public:
  static ValidPtr<Out> OutIs() { return ValidPtr<Out>(new Out(), adoptRef); }

  std::span<unsigned char const> bytes() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }
  // Forgets the bytes written; the buffer is kept for the next ones.
  void bytesDelAll() { size_ = 0; }

  void writeBigEndian(std::uint64_t v, int n) {
    unsigned char* p = room(static_cast<std::size_t>(n));
    for (int i = n - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<unsigned char>(v);
  }
  void writeBytes(void const* p, std::size_t n);

 private:
  Out() = default;

  // n more bytes at the end of the buffer, growing it when they do not fit.
  unsigned char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    unsigned char* p = data_.get() + size_;
    size_ += n;
    return p;
  }
  void grow(std::size_t n);

  std::unique_ptr<unsigned char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

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
