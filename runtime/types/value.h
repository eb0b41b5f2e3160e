// The algorithms every generated value runs: field-wise equality, text form
// and text parser (the log's encoding is the attribute log's). A value type V
// supplies its names (V::zefNames) and a table of its fields in declaration
// order (V::zefFields(): name and member pointer of each); how one field is
// shown and parsed follows from its type, through FieldKind.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "runtime/text/bounded.h"
#include "runtime/failure/exception.h"
#include "runtime/text/text.h"
#include "runtime/types/zef_type.h"

namespace Zef {

// The names of a value type: short ("Event"), full ("Hardware::Phy::Event"),
// and the full name as the text parser requires it, after a blank and in
// single quotes.
struct ValueNames {
  char const* name;
  char const* fullName;
  char const* quotedFullName;
};

// A generated value: one with a field table.
template <class T>
concept FieldTable = requires { T::zefFields(); };

// One row of a value's field table.
template <class V, class F>
struct ValueField {
  using Type = F;
  char const* name;
  F V::*member;
};

// How a field of type F is written and read. One specialisation per kind of
// field the values hold: a flag, a 32-bit counter, a time stamp. kMaxText
// bounds the written text, so a whole value's text is known to fit a buffer.
template <class F>
struct FieldKind;

template <>
struct FieldKind<U1> {
  static constexpr std::size_t kMaxText = std::numeric_limits<U1::StorageType>::digits10 + 1;
  static char* writeText(char* at, U1 v) { return std::to_chars(at, at + kMaxText, v.value()).ptr; }
  static U1 fromText(TextIterator& it, TextIterator const& end) { return U1(it, end); }
};

template <>
struct FieldKind<U32> {
  static constexpr std::size_t kMaxText = std::numeric_limits<U32>::digits10 + 1;
  static char* writeText(char* at, U32 v) { return std::to_chars(at, at + kMaxText, v).ptr; }
  // Only the low 32 bits of the number are kept, so -1 reads as 4294967295.
  static U32 fromText(TextIterator& it, TextIterator const& end) {
    return static_cast<U32>(readInteger(it, end));
  }
};

template <>
struct FieldKind<Seconds> {
  // The longest shortest form, -2.2250738585072014e-308, has 24.
  static constexpr std::size_t kMaxText = 32;
  static char* writeText(char* at, Seconds v) { return std::to_chars(at, at + kMaxText, v).ptr; }
  static Seconds fromText(TextIterator& it, TextIterator const& end) { return readDouble(it, end); }
};

// Applies f to each row of V's field table, in declaration order.
template <class V, class Fn>
void forEachField(Fn&& f) {
  std::apply([&](auto const&... field) { (f(field), ...); }, V::zefFields());
}

// Compares field by field in declaration order and stops at the first that
// differs. Time stamps compare as doubles: NaN is unequal to itself, and
// +0.0 equals -0.0.
template <class V>
bool valueEqual(V const& a, V const& b) {
  return std::apply([&](auto const&... f) { return ((a.*f.member == b.*f.member) && ...); }, V::zefFields());
}

// The fixed parts of a value's text, put together at compile time from its
// names, so that printing copies them whole and parsing compares them whole.
namespace valuetext {

template <std::size_t N>
struct Literal {
  char chars[N];
  constexpr std::string_view view() const { return {chars, N}; }
};

constexpr std::size_t length(char const* s) { return std::char_traits<char>::length(s); }

template <std::size_t N, class... Parts>
constexpr Literal<N> join(Parts... parts) {
  Literal<N> out{};
  std::size_t at = 0;
  ((at = static_cast<std::size_t>(std::copy_n(parts, length(parts), out.chars + at) - out.chars)), ...);
  return out;
}

template <class V>
inline constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(V::zefFields())>;

template <class V, std::size_t I>
using FieldType = typename std::tuple_element_t<I, decltype(V::zefFields())>::Type;

template <class V, std::size_t I>
inline constexpr std::string_view kFieldName{std::get<I>(V::zefFields()).name};

// "Value('<full name>', ** {".
template <class V>
inline constexpr auto kHead = join<length("Value('") + length(V::zefNames.fullName) + length("', ** {")>(
    "Value('", V::zefNames.fullName, "', ** {");

// What stands before field I's number: "'<name>': ", with ", " before all but
// the first.
template <class V, std::size_t I>
inline constexpr auto kLead = join<(I == 0 ? 1 : 3) + kFieldName<V, I>.size() + 3>(
    I == 0 ? "'" : ", '", std::get<I>(V::zefFields()).name, "': ");

inline constexpr Literal<2> kTail{{'}', ')'}};

template <class V>
constexpr std::size_t maxTextSize() {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return kHead<V>.view().size() + (std::size_t{0} + ... + (kLead<V, I>.view().size() + FieldKind<FieldType<V, I>>::kMaxText)) +
           kTail.view().size();
  }(std::make_index_sequence<kFieldCount<V>>{});
}

inline char* put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

[[gnu::always_inline]] inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// What needString(" ") does, which never fails.
[[gnu::always_inline]] inline void skipBlanks(TextIterator& it, TextIterator const& end) {
  while (it != end && isBlank(*it)) ++it;
}

// needString for a literal of one character between two blanks, either
// optional (" : "), checked in line; on a mismatch needString refuses it from
// where it would have started, with its own message.
[[gnu::always_inline]] inline void needPunctuation(TextIterator& it, TextIterator const& end, char c, std::string_view literal) {
  TextIterator at = it;
  if (literal.front() == ' ') skipBlanks(at, end);
  if (at == end || *at != c) needString(it, end, literal);
  ++at;
  if (literal.back() == ' ') skipBlanks(at, end);
  it = at;
}

// The name of a field in quotes: a view into the text when it holds no
// escape, as the statistics' names never do; otherwise the string reader
// unescapes it into `unescaped`, or refuses it with its message.
inline std::string_view readName(TextIterator& it, TextIterator const& end, String8& unescaped) {
  if (it != end && *it == '\'') {
    TextIterator close = std::find_if(it + 1, end, [](char c) { return c == '\'' || c == '\\'; });
    if (close != end && *close == '\'') {
      std::string_view name(std::to_address(it + 1), static_cast<std::size_t>(close - (it + 1)));
      it = close + 1;
      return name;
    }
  }
  unescaped = sequenceToValue<String8>(it, end);
  return unescaped.view();
}

}  // namespace valuetext

// "Value('<full name>', ** {'<field>': <text>, ...})".
template <class V>
String8 valueText(V const& v) {
  using namespace valuetext;
  char buffer[maxTextSize<V>()];
  char* at = put(buffer, kHead<V>.view());
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((at = put(at, kLead<V, I>.view()),
      at = FieldKind<FieldType<V, I>>::writeText(at, v.*std::get<I>(V::zefFields()).member)),
     ...);
  }(std::make_index_sequence<kFieldCount<V>>{});
  at = put(at, kTail.view());
  return String8(buffer, static_cast<std::size_t>(at - buffer));
}

// Reads one field's text; a failure names the field.
template <class F>
void parseField(F& field, char const* name, TextIterator& it, TextIterator const& end) {
  try {
    field = FieldKind<F>::fromText(it, end);
  } catch (RangeException const& e) {
    rethrowFromDeserializeAttr(e, name);
  }
}

// Field I where valueText writes it, after its lead exactly as valueText
// writes it: the lead is compared whole, and what the general reading in
// valueParse would make of those characters is the same. False, and `it`
// left alone, for any other text.
template <class V, std::size_t I>
bool readLedField(V& v, TextIterator& it, TextIterator const& end) {
  constexpr std::string_view lead = valuetext::kLead<V, I>.view();
  if (static_cast<std::size_t>(end - it) < lead.size() || std::memcmp(std::to_address(it), lead.data(), lead.size()) != 0) {
    return false;
  }
  it += static_cast<std::ptrdiff_t>(lead.size());
  valuetext::skipBlanks(it, end);
  parseField(v.*std::get<I>(V::zefFields()).member, std::get<I>(V::zefFields()).name, it, end);
  return true;
}

// The text parser: fields by name, in any order, any number of times (the
// last counts), missing ones left as they were. `v` holds the defaults when
// called; `it` moves only when the whole value was read. The head as
// valueText writes it is compared whole; any other spacing of it is read
// piece by piece, with the same result.
template <class V>
void valueParse(V& v, TextIterator& it, TextIterator const& end) {
  using namespace valuetext;
  TextIterator at = it;
  constexpr std::string_view head = kHead<V>.view();
  if (static_cast<std::size_t>(end - at) >= head.size() && std::memcmp(std::to_address(at), head.data(), head.size()) == 0) {
    at += static_cast<std::ptrdiff_t>(head.size());
  } else {
    needString(at, end, " Value");
    needString(at, end, " (");
    needString(at, end, V::zefNames.quotedFullName);
    needString(at, end, " ,");
    needString(at, end, " **");
    needString(at, end, " {");
  }
  std::size_t expected = 0;  // the field valueText writes next
  for (bool first = true;; first = false) {
    skipBlanks(at, end);
    if (at == end) throwRangeException(("premature end of value type " + std::string(V::zefNames.name)).c_str());
    bool led = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return ((expected == I && readLedField<V, I>(v, at, end)) || ...);
    }(std::make_index_sequence<kFieldCount<V>>{});
    if (led) {
      ++expected;
      continue;
    }
    if (*at == '}') {
      needPunctuation(at, end, '}', "} ");
      needPunctuation(at, end, ')', ") ");
      break;
    }
    if (!first) needPunctuation(at, end, ',', ", ");
    String8 unescaped;
    std::string_view name = readName(at, end, unescaped);
    needPunctuation(at, end, ':', " : ");
    bool known = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return ((name == kFieldName<V, I> &&
               (parseField(v.*std::get<I>(V::zefFields()).member, std::get<I>(V::zefFields()).name, at, end),
                expected = I + 1, true)) ||
              ...);
    }(std::make_index_sequence<kFieldCount<V>>{});
    if (!known) {
      throwRangeException((std::string(V::zefNames.name) + " has no such attribute: " + std::string(name)).c_str());
    }
  }
  it = at;
}

}  // namespace Zef
