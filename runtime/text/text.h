// The text forms of the built-in types and the pieces every value's text
// parser is made of. Readers take a position by reference and the end by
// const reference; on success the position stands behind what was read, on
// failure they throw Zef::RangeException and leave the position where it was.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "runtime/failure/exception.h"
#include "runtime/object/string8.h"

namespace Zef {

using TextIterator = String8::IteratorConst;

// Consumes `literal` at `it`. A blank in the literal stands for any run of
// white space, none included; every other character must match exactly.
void needString(TextIterator& it, TextIterator const& end, std::string_view literal);

// Reads one value of type T in its text form.
template <class T>
T sequenceToValue(TextIterator& it, TextIterator const& end);

// A string in single quotes; a backslash escapes the next character, and
// \n, \t, \r and \xHH stand for what they do in C.
template <>
String8 sequenceToValue<String8>(TextIterator& it, TextIterator const& end);
// An optionally negative decimal integer.
template <>
long long sequenceToValue<long long>(TextIterator& it, TextIterator const& end);
// A decimal or exponent-form number, or nan, inf, -inf.
template <>
long double sequenceToValue<long double>(TextIterator& it, TextIterator const& end);
// A time stamp: the long double reader's number, narrowed to a double, but
// rounded once, straight from the text. Reading into a long double first
// would round twice, and a long double that lands exactly halfway between two
// doubles would then go to the wrong one; read once, every double's text reads
// back to that very double.
template <>
double sequenceToValue<double>(TextIterator& it, TextIterator const& end);

// The two number readers with their usual case in line, for the readers that
// run once per field: anything but a plain number in range goes to the
// readers above, which read it or refuse it with their messages.
inline long long readInteger(TextIterator& it, TextIterator const& end) {
  long long v = 0;
  char const* from = std::to_address(it);
  auto [next, ec] = std::from_chars(from, std::to_address(end), v);
  if (ec != std::errc()) return sequenceToValue<long long>(it, end);
  it += next - from;
  return v;
}

inline double readDouble(TextIterator& it, TextIterator const& end) {
  double v = 0;
  char const* from = std::to_address(it);
  auto [next, ec] = std::from_chars(from, std::to_address(end), v);
  if (ec != std::errc()) return sequenceToValue<double>(it, end);
  it += next - from;
  return v;
}

// Text forms. Numbers are written so that they read back to the same number:
// integers in decimal, doubles in the shortest form that does (nan, -nan,
// inf and -inf for the values that are not finite).
String8 valueToStrep(unsigned long long v);
inline String8 valueToStrep(unsigned int v) { return valueToStrep(static_cast<unsigned long long>(v)); }
String8 valueToStrep(double v);
// The quoted form that sequenceToValue<String8> reads.
String8 valueToStrep(String8 const& v);

// The same texts, appended to `out`: what value printers build on.
void appendStrep(std::string& out, unsigned long long v);
void appendStrep(std::string& out, double v);

// A field reader failed: throws the range exception again with the name of
// the field that was being read in front of its message.
[[noreturn]] void rethrowFromDeserializeAttr(RangeException const& e, char const* fieldName);

// A whole text was parsed but for what stands from `column` on.
[[noreturn]] void throwJunkAtColumn(std::int64_t column, String8 const& text);

// Parses the whole of `text` as a T; trailing white space is part of the
// value, anything else left over is refused. The pointer only selects T.
template <class T>
T strepToValue(String8 const& text, T* /*type*/) {
  TextIterator it = text.begin();
  T v(it, text.end());
  if (it != text.end()) throwJunkAtColumn(it - text.begin(), text);
  return v;
}

template <class T>
T strepToValue(String8 const& text) {
  return strepToValue(text, static_cast<T*>(nullptr));
}

// Parses the whole of `text` as a number (long long or double) with the
// reader a value's field uses; anything left over is refused.
template <class T>
T strepToNumber(String8 const& text) {
  TextIterator it = text.begin();
  T v = sequenceToValue<T>(it, text.end());
  if (it != text.end()) throwJunkAtColumn(it - text.begin(), text);
  return v;
}

// printf-style formatting that takes each argument as what it is: the
// conversion says how to write it (%d, %x, %s, %g, width, precision, flags),
// the argument's own type says what it is, so a 64-bit number or a String8
// is safe under any conversion. Length modifiers are accepted and ignored.
// A conversion with no argument left throws Zef::InternalException.
struct FormatArg {
  enum class Kind : unsigned char { signedInt, unsignedInt, floating, text };

  template <class T>
    requires std::is_integral_v<T>
  FormatArg(T v)  // NOLINT: built implicitly from format()'s arguments
      : kind(std::is_signed_v<T> ? Kind::signedInt : Kind::unsignedInt),
        i(static_cast<long long>(v)),
        u(static_cast<unsigned long long>(v)) {}
  FormatArg(double v) : kind(Kind::floating), d(v) {}  // NOLINT
  FormatArg(long double v) : kind(Kind::floating), d(static_cast<double>(v)) {}  // NOLINT
  FormatArg(char const* s) : kind(Kind::text), s(s ? s : "(null)") {}  // NOLINT
  FormatArg(std::string_view s) : kind(Kind::text), s(s) {}  // NOLINT
  FormatArg(std::string const& s) : kind(Kind::text), s(s) {}  // NOLINT
  FormatArg(String8 const& s) : kind(Kind::text), s(s.view()) {}  // NOLINT

  Kind kind;
  long long i = 0;
  unsigned long long u = 0;
  double d = 0;
  std::string_view s;
};

String8 formatArgs(char const* fmt, std::span<FormatArg const> args);

template <class... Args>
String8 format(char const* fmt, Args const&... args) {
  std::array<FormatArg, sizeof...(Args)> list{FormatArg(args)...};
  return formatArgs(fmt, list);
}

}  // namespace Zef
