// The algorithms every generated value runs: field-wise equality, text form
// and text parser (the log's encoding is the attribute log's). A value type V
// supplies its names (V::zefNames) and a table of its fields in declaration
// order (V::zefFields(): name and member pointer of each); how one field is
// shown and parsed follows from its type, through FieldKind.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>

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

// One row of a value's field table.
template <class V, class F>
struct ValueField {
  char const* name;
  F V::*member;
};

// How a field of type F is written and read. One specialisation per kind of
// field the values hold: a flag, a 32-bit counter, a time stamp.
template <class F>
struct FieldKind;

template <>
struct FieldKind<U1> {
  static void appendText(std::string& out, U1 v) { appendStrep(out, static_cast<unsigned long long>(v.value())); }
  static U1 fromText(TextIterator& it, TextIterator const& end) { return U1(it, end); }
};

template <>
struct FieldKind<U32> {
  static void appendText(std::string& out, U32 v) { appendStrep(out, static_cast<unsigned long long>(v)); }
  // Only the low 32 bits of the number are kept, so -1 reads as 4294967295.
  static U32 fromText(TextIterator& it, TextIterator const& end) {
    return static_cast<U32>(sequenceToValue<long long>(it, end));
  }
};

template <>
struct FieldKind<Seconds> {
  static void appendText(std::string& out, Seconds v) { appendStrep(out, v); }
  static Seconds fromText(TextIterator& it, TextIterator const& end) { return sequenceToValue<double>(it, end); }
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

// "Value('<full name>', ** {'<field>': <text>, ...})".
template <class V>
String8 valueText(V const& v) {
  std::string out;
  out.reserve(160);  // the longest statistic's text, with room to spare
  out += "Value('";
  out += V::zefNames.fullName;
  out += "', ** {";
  char const* separator = "'";
  forEachField<V>([&]<class F>(ValueField<V, F> const& f) {
    out += separator;
    out += f.name;
    out += "': ";
    FieldKind<F>::appendText(out, v.*f.member);
    separator = ", '";
  });
  out += "})";
  return String8(std::move(out));
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

// The text parser: fields by name, in any order, any number of times (the
// last counts), missing ones left as they were. `v` holds the defaults when
// called; `it` moves only when the whole value was read.
template <class V>
void valueParse(V& v, TextIterator& it, TextIterator const& end) {
  TextIterator at = it;
  needString(at, end, " Value");
  needString(at, end, " (");
  needString(at, end, V::zefNames.quotedFullName);
  needString(at, end, " ,");
  needString(at, end, " **");
  needString(at, end, " {");
  for (bool first = true;; first = false) {
    needString(at, end, " ");
    if (at == end) throwRangeException(("premature end of value type " + std::string(V::zefNames.name)).c_str());
    if (*at == '}') {
      needString(at, end, "} ");
      needString(at, end, ") ");
      break;
    }
    if (!first) needString(at, end, ", ");
    String8 name = sequenceToValue<String8>(at, end);
    needString(at, end, " : ");
    bool known = std::apply(
        [&](auto const&... f) {
          return ((name == f.name && (parseField(v.*f.member, f.name, at, end), true)) || ...);
        },
        V::zefFields());
    if (!known) {
      throwRangeException((std::string(V::zefNames.name) + " has no such attribute: " + name.str()).c_str());
    }
  }
  it = at;
}

}  // namespace Zef
