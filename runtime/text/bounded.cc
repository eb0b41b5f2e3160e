#include "runtime/text/bounded.h"

#include "runtime/text/text.h"

unsigned long long Zef::strepToUnsigned(String8 const& text, unsigned long long max, char const* rangeMessage) {
  long long n = strepToNumber<long long>(text);
  if (n < 0 || static_cast<unsigned long long>(n) > max) throwRangeException(rangeMessage);
  return static_cast<unsigned long long>(n);
}

Zef::String8 valueToStrep(U1 const& v) { return Zef::valueToStrep(static_cast<unsigned long long>(v.value())); }
