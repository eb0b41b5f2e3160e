// Zef::String8 and Zef::Name: the framework's text and the key of every
// collection. A thin value wrapper over std::string so that the rest of the
// runtime has one string type with the framework's operator names.
#pragma once

#include <cstdint>
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

// A name: the key of an entity. Hashing is the framework's own (FNV-1a, 32
// bits) so that the hash map's order is the same in every process.
class Name : public String8 {
 public:
  using String8::String8;
  Name() = default;
  Name(String8 s) : String8(std::move(s)) {}  // NOLINT

  std::uint32_t hash() const {
    std::uint32_t h = 2166136261u;
    for (char c : view()) {
      h ^= static_cast<unsigned char>(c);
      h *= 16777619u;
    }
    return h;
  }
};

}  // namespace Zef
