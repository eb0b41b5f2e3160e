#include "runtime/failure/escape.h"

namespace Zef {

void appendEscaped(std::string& out, std::string_view text, EscapeStyle style) {
  static char const hex[] = "0123456789abcdef";
  for (unsigned char c : text) {
    if (c == '\\' || (style.quote != 0 && c == static_cast<unsigned char>(style.quote))) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (style.namedTabAndReturn && c == '\t') {
      out += "\\t";
    } else if (style.namedTabAndReturn && c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
}

}  // namespace Zef
