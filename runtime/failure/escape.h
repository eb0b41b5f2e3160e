// Escaping text for one-line records and quoted strings: the one escaper of
// the runtime, used by trace records and by the text forms of strings.
#pragma once

#include <string>
#include <string_view>

namespace Zef {

// Which escapes appendEscaped writes beyond the ones it always writes.
struct EscapeStyle {
  // Also written with a backslash before it, when not 0: the quote that
  // encloses the text.
  char quote = 0;
  // A tab and a carriage return as \t and \r rather than \x09 and \x0d.
  bool namedTabAndReturn = false;
};

// Appends `text` to `out`, a backslash as \\, a newline as \n, and every other
// control character (DEL included) as \x and two lower-case hex digits.
void appendEscaped(std::string& out, std::string_view text, EscapeStyle style = {});

}  // namespace Zef
