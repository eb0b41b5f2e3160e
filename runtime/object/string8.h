// Zef::String8 and Zef::Name: the framework's text and the key of every
// collection. Every entity holds a name and configurations hold short
// strings, so a string is 16 bytes: what fits in 15 stays inline.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>

#include "runtime/object/bit_reverse.h"

namespace Zef {

class String8 {
 public:
  using IteratorConst = char const*;

  String8() noexcept { clearSmall(); }
  String8(char const* s) : String8(s ? std::string_view(s) : std::string_view()) {}  // NOLINT: implicit by design
  String8(std::string const& s) : String8(std::string_view(s)) {}  // NOLINT
  String8(std::string_view s) { assign(s.data(), s.size()); }  // NOLINT
  String8(char const* s, std::size_t n) { assign(s, n); }
  String8(String8 const& o) { assign(o.data(), o.size()); }
  String8(String8&& o) noexcept {
    std::memcpy(bytes_, o.bytes_, sizeof bytes_);
    o.clearSmall();
  }
  String8& operator=(String8 const& o) {
    if (this != &o) String8(o).swap(*this);
    return *this;
  }
  String8& operator=(String8&& o) noexcept {
    String8(std::move(o)).swap(*this);
    return *this;
  }
  ~String8() {
    if (isLarge()) delete[] large().ptr;
  }

  // Always terminated.
  char const* charPtr() const { return data(); }
  std::string str() const { return std::string(data(), size()); }
  std::string_view view() const { return {data(), size()}; }
  std::size_t size() const { return isLarge() ? large().size : kInline - std::size_t(bytes_[kInline]); }
  bool empty() const { return size() == 0; }

  IteratorConst begin() const { return data(); }
  IteratorConst end() const { return data() + size(); }

  String8 substr(std::size_t pos, std::size_t n = std::string_view::npos) const { return String8(view().substr(pos, n)); }
  String8& operator+=(std::string_view o) {
    std::size_t const n = size();
    if (o.size() > kMaxSize - n) throw std::length_error("String8 too long");
    if (!isLarge() && n + o.size() <= kInline) {
      std::memcpy(bytes_ + n, o.data(), o.size());
      setSmallSize(n + o.size());
      return *this;
    }
    String8 joined;
    char* p = joined.allocateLarge(n + o.size());
    std::memcpy(p, data(), n);
    std::memcpy(p + n, o.data(), o.size());
    swap(joined);
    return *this;
  }
  String8& operator+=(String8 const& o) { return *this += o.view(); }
  String8& operator+=(char const* o) { return *this += std::string_view(o); }
  friend String8 operator+(String8 a, String8 const& b) { return a += b; }
  friend String8 operator+(String8 a, char const* b) { return a += b; }
  friend String8 operator+(char const* a, String8 const& b) { return String8(a) += b; }

  // Two short strings are equal when their sixteen bytes are: whatever is
  // not text is zero, and the last byte holds the size.
  friend bool operator==(String8 const& a, String8 const& b) {
    if (!a.isLarge() && !b.isLarge()) return a.word(0) == b.word(0) && a.word(1) == b.word(1);
    return a.view() == b.view();
  }
  friend bool operator!=(String8 const& a, String8 const& b) { return !(a == b); }
  friend bool operator<(String8 const& a, String8 const& b) { return a.view() < b.view(); }
  friend bool operator==(String8 const& a, char const* b) { return a.view() == std::string_view(b); }
  friend bool operator!=(String8 const& a, char const* b) { return a.view() != std::string_view(b); }

  void swap(String8& o) noexcept {
    unsigned char t[sizeof bytes_];
    std::memcpy(t, bytes_, sizeof t);
    std::memcpy(bytes_, o.bytes_, sizeof t);
    std::memcpy(o.bytes_, t, sizeof t);
  }

 private:
  // Sixteen bytes: names and short values (up to 15 bytes) live inline, the
  // last byte holding the room left, so that a full one ends in its own
  // terminator. A longer string is a pointer and a size, with the last byte
  // marked.
  static constexpr std::size_t kInline = 15;
  static constexpr unsigned char kLargeMark = 0xFF;
  static constexpr std::size_t kMaxSize = 0xFFFFFFFFu;
  struct Large {
    char* ptr;
    std::uint32_t size;
  };

  bool isLarge() const { return bytes_[kInline] == kLargeMark; }
  std::uint64_t word(std::size_t i) const {
    std::uint64_t w;
    std::memcpy(&w, bytes_ + 8 * i, sizeof w);
    return w;
  }
  Large large() const {
    Large l;
    std::memcpy(&l.ptr, bytes_, sizeof l.ptr);
    std::memcpy(&l.size, bytes_ + sizeof l.ptr, sizeof l.size);
    return l;
  }
  char const* data() const { return isLarge() ? large().ptr : reinterpret_cast<char const*>(bytes_); }
  void setSmallSize(std::size_t n) {
    bytes_[n] = 0;
    bytes_[kInline] = static_cast<unsigned char>(kInline - n);
  }
  void clearSmall() {
    std::memset(bytes_, 0, kInline);
    bytes_[kInline] = kInline;
  }
  // For a string known to be empty and small.
  char* allocateLarge(std::size_t n) {
    char* p = new char[n + 1];
    p[n] = 0;
    auto const size = static_cast<std::uint32_t>(n);
    std::memcpy(bytes_, &p, sizeof p);
    std::memcpy(bytes_ + sizeof p, &size, sizeof size);
    bytes_[kInline] = kLargeMark;
    return p;
  }
  void assign(char const* s, std::size_t n) {
    if (n <= kInline) {
      if (n) std::memcpy(bytes_, s, n);
      setSmallSize(n);
      return;
    }
    if (n > kMaxSize) throw std::length_error("String8 too long");
    clearSmall();
    std::memcpy(allocateLarge(n), s, n);
  }

  // All sixteen set, whichever form: a copy or a swap moves them whole.
  // Aligned as the pointer they may hold, so that a leak checker scanning
  // memory word by word finds it.
  alignas(char*) unsigned char bytes_[16] = {};
};

static_assert(sizeof(String8) == 16 && alignof(String8) == alignof(char*));

std::ostream& operator<<(std::ostream& os, String8 const& s);

// A name: the key of an entity. Hashing is the framework's own, fixed on
// every host (bytes read little-endian), so that the hash map's order is the
// same in every process. It reads eight bytes at a time and mixes them with
// wide multiplies: every look-up hashes its name, and a byte-serial hash cost
// more than the rest of the look-up. The map orders names by the hash's
// bits in reverse, so the mix yields those directly (`reversedHash`), and the
// hash itself is their reversal: a look-up then reverses nothing.
class Name : public String8 {
 public:
  using String8::String8;
  Name() = default;
  Name(String8 s) : String8(std::move(s)) {}  // NOLINT

  std::uint32_t hash() const { return bitReverse(reversedHash()); }

  std::uint32_t reversedHash() const {
    auto const* p = reinterpret_cast<unsigned char const*>(view().data());
    std::size_t const size = view().size();
    std::size_t n = size;
    std::uint64_t seed = kSeed ^ size, a = 0, b = 0;
    if (n > 16) {
      for (; n > 16; p += 16, n -= 16) seed = mix(load8(p) ^ kOdd, load8(p + 8) ^ seed);
      a = load8(p + n - 16);  // the last sixteen bytes, overlapping
      b = load8(p + n - 8);
    } else if (n >= 8) {
      a = load8(p);
      b = load8(p + n - 8);
    } else if (n >= 4) {
      a = load4(p);
      b = load4(p + n - 4);
    } else if (n > 0) {
      a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n / 2]} << 8) | p[n - 1];
    }
    return static_cast<std::uint32_t>(mix(mix(a ^ kOdd, b ^ seed) ^ kSeed, size ^ kOdd));
  }

 private:
  static constexpr std::uint64_t kSeed = 0x9E3779B97F4A7C15ull;
  static constexpr std::uint64_t kOdd = 0xBF58476D1CE4E5B9ull;

  static std::uint64_t load8(unsigned char const* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
  }
  static std::uint64_t load4(unsigned char const* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
  }
  // The full 128-bit product folded to 64 bits: both words mix in one step.
  static std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    __extension__ typedef unsigned __int128 Wide;
    Wide const r = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
  }
};

}  // namespace Zef
