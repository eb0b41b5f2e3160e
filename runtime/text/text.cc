#include "runtime/text/text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "runtime/failure/escape.h"

namespace Zef {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Where a reader stood, for its message: the next few characters.
std::string where(TextIterator it, TextIterator const& end) {
  if (it == end) return "end of text";
  constexpr std::ptrdiff_t kShown = 24;
  std::ptrdiff_t n = std::min(end - it, kShown);
  std::string s(1, '"');
  s.append(it, it + n);
  s += end - it > kShown ? "...\"" : "\"";
  return s;
}

[[noreturn]] void refuse(String8 const& message) { throwRangeException(message.charPtr()); }

char const* address(TextIterator const& it) { return std::to_address(it); }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void needString(TextIterator& it, TextIterator const& end, std::string_view literal) {
  TextIterator at = it;
  for (char c : literal) {
    if (c == ' ') {
      while (at != end && isBlank(*at)) ++at;
    } else if (at != end && *at == c) {
      ++at;
    } else {
      refuse(format("expected \"%s\" at %s", literal, where(it, end)));
    }
  }
  it = at;
}

template <>
String8 sequenceToValue<String8>(TextIterator& it, TextIterator const& end) {
  if (it == end || *it != '\'') refuse(format("expected a quoted string at %s", where(it, end)));
  std::string out;
  TextIterator at = it + 1;
  for (;;) {
    // Plain characters up to the next quote or backslash go in at once.
    TextIterator plain = std::find_if(at, end, [](char c) { return c == '\'' || c == '\\'; });
    out.append(at, plain);
    at = plain;
    if (at == end) refuse(format("unterminated quoted string at %s", where(it, end)));
    char c = *at++;
    if (c == '\'') break;
    if (c == '\\') {
      if (at == end) refuse(format("unterminated quoted string at %s", where(it, end)));
      c = *at++;
      if (c == 'n') {
        c = '\n';
      } else if (c == 't') {
        c = '\t';
      } else if (c == 'r') {
        c = '\r';
      } else if (c == 'x') {
        int hi = at != end ? hexDigit(*at) : -1;
        int lo = hi >= 0 && at + 1 != end ? hexDigit(at[1]) : -1;
        if (lo < 0) refuse(format("bad \\x escape in quoted string at %s", where(it, end)));
        c = static_cast<char>(hi * 16 + lo);
        at += 2;
      }
    }
    out += c;
  }
  it = at;
  return String8(std::move(out));
}

// A number of type T at `it`; `what` names it in the messages.
template <class T>
T readNumber(TextIterator& it, TextIterator const& end, char const* what) {
  T v = 0;
  auto [next, ec] = std::from_chars(address(it), address(end), v);
  if (ec == std::errc::invalid_argument) refuse(format("expected %s at %s", what, where(it, end)));
  if (ec == std::errc::result_out_of_range) {
    refuse(format("number out of range: %s", std::string_view(address(it), next - address(it))));
  }
  it += next - address(it);
  return v;
}

template <>
long long sequenceToValue<long long>(TextIterator& it, TextIterator const& end) {
  return readNumber<long long>(it, end, "an integer");
}

template <>
long double sequenceToValue<long double>(TextIterator& it, TextIterator const& end) {
  return readNumber<long double>(it, end, "a number");
}

template <>
double sequenceToValue<double>(TextIterator& it, TextIterator const& end) {
  double v = 0;
  auto [next, ec] = std::from_chars(address(it), address(end), v);
  if (ec == std::errc()) {
    it += next - address(it);
    return v;
  }
  // Malformed, or beyond a double's range: the long double reader refuses
  // or reads it, and the narrowing gives an infinity, a zero or a subnormal.
  return static_cast<double>(sequenceToValue<long double>(it, end));
}

void appendStrep(std::string& out, unsigned long long v) {
  char buf[std::numeric_limits<unsigned long long>::digits10 + 2];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void appendStrep(std::string& out, double v) {
  char buf[32];  // the longest shortest form, -2.2250738585072014e-308, has 24
  out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

String8 valueToStrep(unsigned long long v) {
  std::string s;
  appendStrep(s, v);
  return String8(std::move(s));
}

String8 valueToStrep(double v) {
  std::string s;
  appendStrep(s, v);
  return String8(std::move(s));
}

String8 valueToStrep(String8 const& v) {
  std::string s = "'";
  appendEscaped(s, v.view(), EscapeStyle{.quote = '\'', .namedTabAndReturn = true});
  s += '\'';
  return String8(std::move(s));
}

void rethrowFromDeserializeAttr(RangeException const& e, char const* fieldName) {
  throw RangeException(format("deserializing attribute %s: %s", fieldName, e.message()), e.ids());
}

void throwJunkAtColumn(std::int64_t column, String8 const& text) {
  throw RangeException(format("junk at column %d deserializing %s", column, text), ExceptionIdSet{});
}

namespace {

template <class T>
void appendPrintf(std::string& out, std::string const& printfFormat, T value) {
  int n = std::snprintf(nullptr, 0, printfFormat.c_str(), value);
  if (n <= 0) return;
  std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(n) + 1);
  std::snprintf(out.data() + at, static_cast<std::size_t>(n) + 1, printfFormat.c_str(), value);
  out.resize(at + static_cast<std::size_t>(n));
}

// Writes one argument under one conversion. `prefix` holds the conversion's
// "%", flags, width and precision; the length and the conversion character
// that reach snprintf follow from the argument's own type.
void appendConversion(std::string& out, std::string prefix, char conv, FormatArg const& arg) {
  bool floatConv = std::strchr("fFeEgGaA", conv) != nullptr;
  switch (arg.kind) {
    case FormatArg::Kind::text:
      appendPrintf(out, prefix + 's', std::string(arg.s).c_str());
      return;
    case FormatArg::Kind::floating:
      appendPrintf(out, prefix + (floatConv ? conv : 'g'), arg.d);
      return;
    case FormatArg::Kind::signedInt:
    case FormatArg::Kind::unsignedInt:
      break;
  }
  bool isSigned = arg.kind == FormatArg::Kind::signedInt;
  if (floatConv) {
    appendPrintf(out, prefix + conv, isSigned ? static_cast<double>(arg.i) : static_cast<double>(arg.u));
  } else if (conv == 'c') {
    appendPrintf(out, prefix + 'c', static_cast<int>(arg.i));
  } else if (std::strchr("oxX", conv)) {
    appendPrintf(out, prefix + "ll" + conv, arg.u);
  } else if (isSigned) {
    appendPrintf(out, prefix + "lld", arg.i);
  } else {
    appendPrintf(out, prefix + "llu", arg.u);
  }
}

}  // namespace

String8 formatArgs(char const* fmt, std::span<FormatArg const> args) {
  std::string out;
  std::size_t next = 0;
  for (char const* p = fmt; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    char const* start = p++;
    std::string prefix = "%";
    while (*p && std::strchr("-+ #0", *p)) prefix += *p++;
    while (*p >= '0' && *p <= '9') prefix += *p++;
    if (*p == '.') {
      prefix += *p++;
      while (*p >= '0' && *p <= '9') prefix += *p++;
    }
    while (*p && std::strchr("hlLqjzt", *p)) ++p;
    if (*p == '%') {
      out += '%';
      continue;
    }
    if (!*p || !std::strchr("diouxXcsfFeEgGaA", *p)) {
      // Not a conversion: written as it stands.
      out.append(start, *p ? p + 1 : p);
      if (!*p) break;
      continue;
    }
    if (next == args.size()) {
      throwInternalException(("format: more conversions than arguments in \"" + std::string(fmt) + "\"").c_str());
    }
    appendConversion(out, std::move(prefix), *p, args[next++]);
  }
  return String8(std::move(out));
}

std::ostream& operator<<(std::ostream& os, String8 const& s) { return os << s.view(); }


}  // namespace Zef
