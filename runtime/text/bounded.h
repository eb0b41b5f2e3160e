// The model's bounded unsigned integers (U1, U4, U6, U22), its wrapping
// 32-bit integer U32, and the framework's time stamp Zef::Seconds.
//
// A bounded integer keeps the number it is given and refuses one above its
// largest value with Zef::RangeException and the type's fixed message; the
// check is the constructor's, so every path that builds one (code, text,
// attribute log) is checked alike. They live in the global namespace, as the
// model names them.
#pragma once

#include <cstdint>

#include "runtime/failure/exception.h"
#include "runtime/object/string8.h"
#include "runtime/text/text.h"

namespace Zef {

class ZefType;

// A time stamp: seconds as an IEEE-754 double.
using Seconds = double;

// One bounded type: its storage, its largest value and its range message.
template <class Storage, Storage Max, char const* Message>
class BoundedUnsigned {
 public:
  using StorageType = Storage;
  static constexpr Storage kMax = Max;

  constexpr BoundedUnsigned() = default;
  explicit BoundedUnsigned(Storage v) : value_(v) {
    if (v > Max) throwRangeException(Message);
  }

  Storage value() const { return value_; }
  friend bool operator==(BoundedUnsigned a, BoundedUnsigned b) { return a.value_ == b.value_; }

 private:
  Storage value_ = 0;
};

inline constexpr char kU1Message[] = "U1::value < 0 or > 0x01 not allowed";
inline constexpr char kU4Message[] = "U4::value < 0 or > 0x0f not allowed";
inline constexpr char kU6Message[] = "U6::value < 0 or > 0x3f not allowed";
inline constexpr char kU22Message[] = "U22::value < 0 or > 0x003fffff not allowed";
// The whole-number types taken from text on their own, outside a value.
inline constexpr char kBoolMessage[] = "bool::value < 0 or > 0x01 not allowed";
inline constexpr char kU8Message[] = "U8::value < 0 or > 0xff not allowed";
inline constexpr char kU32Message[] = "U32::value < 0 or > 0xffffffff not allowed";

// Parses the whole of `text` as an integer with the text form's reader and
// refuses a negative one, or one above `max`, with `rangeMessage`: a number
// typed on its own is checked, where a value's U32 field keeps the low 32
// bits of what it reads.
unsigned long long strepToUnsigned(String8 const& text, unsigned long long max, char const* rangeMessage);

}  // namespace Zef

// The model's unsigned 32-bit integer; arithmetic on it wraps modulo 2^32.
using U32 = unsigned int;

// A one-bit flag: every flag of the values is one.
class U1 : public Zef::BoundedUnsigned<unsigned char, 0x01, Zef::kU1Message> {
 public:
  using BoundedUnsigned::BoundedUnsigned;
  constexpr U1() = default;
  // Reads the text form at `it` and leaves `it` behind it; a number other
  // than 0 or 1 is refused with the range message.
  U1(Zef::String8::IteratorConst& it, Zef::String8::IteratorConst const& end);

  bool operator!() const { return *this == U1(0); }

  static Zef::ZefType* _fwkType();
};

class U4 : public Zef::BoundedUnsigned<unsigned char, 0x0f, Zef::kU4Message> {
 public:
  using BoundedUnsigned::BoundedUnsigned;
};

class U6 : public Zef::BoundedUnsigned<unsigned char, 0x3f, Zef::kU6Message> {
 public:
  using BoundedUnsigned::BoundedUnsigned;
};

class U22 : public Zef::BoundedUnsigned<unsigned int, 0x003fffff, Zef::kU22Message> {
 public:
  using BoundedUnsigned::BoundedUnsigned;
};

inline U1::U1(Zef::String8::IteratorConst& it, Zef::String8::IteratorConst const& end) {
  Zef::String8::IteratorConst at = it;
  long long n = Zef::readInteger(at, end);
  if (n < 0 || n > kMax) Zef::throwRangeException(Zef::kU1Message);
  *this = U1(static_cast<unsigned char>(n));
  it = at;
}

// The text form of a flag: the digit 0 or 1.
Zef::String8 valueToStrep(U1 const& v);
