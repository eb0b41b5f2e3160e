// Any text given to any value type's parser yields a value or a
// Zef::RangeException; a value that was read prints a text that reads back to
// an equal value, and prints it again the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/value_types.h"

namespace {

[[noreturn]] void fail(char const* what, Zef::String8 const& text) {
  std::fprintf(stderr, "%s: %s\n", what, text.charPtr());
  std::abort();
}

template <class V>
void check(Zef::String8 const& input) {
  V v;
  try {
    v = Zef::strepToValue<V>(input);
  } catch (Zef::RangeException const&) {
    return;
  }
  Zef::String8 text = valueToStrep(v);
  V again = Zef::strepToValue<V>(text);
  if (again != v && !phyfuzz::holdsNaN(v)) fail("text does not read back to an equal value", text);
  if (valueToStrep(again) != text) fail("text changes on a second round", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  Zef::String8 input(reinterpret_cast<char const*>(data + 1), size - 1);
  phyfuzz::withValueType(data[0], [&]<class V>(V*) { check<V>(input); });
  return 0;
}
