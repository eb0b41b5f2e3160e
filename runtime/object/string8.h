// Zef::String8 and Zef::Name: the framework's text and the key of every
// collection. A thin value wrapper over std::string so that the rest of the
// runtime has one string type with the framework's operator names.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>

namespace Zef {

class String8 {
 public:
  using IteratorConst = std::string::const_iterator;

  String8() = default;
  String8(char const* s) : s_(s ? s : "") {}  // NOLINT: implicit by design
  String8(std::string s) : s_(std::move(s)) {}  // NOLINT
  String8(std::string_view s) : s_(s) {}  // NOLINT
  String8(char const* s, std::size_t n) : s_(s, n) {}

  char const* charPtr() const { return s_.c_str(); }
  std::string const& str() const { return s_; }
  std::string_view view() const { return s_; }
  std::size_t size() const { return s_.size(); }
  bool empty() const { return s_.empty(); }

  IteratorConst begin() const { return s_.begin(); }
  IteratorConst end() const { return s_.end(); }

  String8 substr(std::size_t pos, std::size_t n = std::string::npos) const {
    return String8(s_.substr(pos, n));
  }
  String8& operator+=(String8 const& o) {
    s_ += o.s_;
    return *this;
  }
  String8& operator+=(char const* o) {
    s_ += o;
    return *this;
  }
  friend String8 operator+(String8 a, String8 const& b) { return a += b; }
  friend String8 operator+(String8 a, char const* b) { return a += b; }
  friend String8 operator+(char const* a, String8 const& b) { return String8(a) += b; }

  friend bool operator==(String8 const& a, String8 const& b) { return a.s_ == b.s_; }
  friend bool operator!=(String8 const& a, String8 const& b) { return a.s_ != b.s_; }
  friend bool operator<(String8 const& a, String8 const& b) { return a.s_ < b.s_; }
  friend bool operator==(String8 const& a, char const* b) { return a.s_ == b; }
  friend bool operator!=(String8 const& a, char const* b) { return a.s_ != b; }

 private:
  std::string s_;
};

std::ostream& operator<<(std::ostream& os, String8 const& s);

// A name: the key of an entity. Hashing is the framework's own, fixed on
// every host (bytes read little-endian), so that the hash map's order is the
// same in every process. It reads eight bytes at a time and mixes them with
// wide multiplies: every look-up hashes its name, and a byte-serial hash cost
// more than the rest of the look-up.
class Name : public String8 {
 public:
  using String8::String8;
  Name() = default;
  Name(String8 s) : String8(std::move(s)) {}  // NOLINT

  std::uint32_t hash() const {
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
