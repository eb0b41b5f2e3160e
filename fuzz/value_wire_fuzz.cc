// Any bytes given to any value type's attribute-log reader yield a value or a
// Zef::RangeException, and never a read past the bytes. The encoding has one
// form per value: a value that was read writes exactly the bytes it was read
// from, and those read back to an equal value.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>

#include "fuzz/value_types.h"

namespace {

[[noreturn]] void fail(char const* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

template <class V>
void check(std::span<unsigned char const> bytes) {
  Zef::NboAttrLog::In in(bytes);
  std::optional<V> v;
  try {
    v.emplace(&in, Zef::StreamBogon());
  } catch (Zef::RangeException const&) {
    return;
  }
  Zef::Ptr<Zef::NboAttrLog::Out> out = Zef::NboAttrLog::Out::OutIs();
  out << *v;
  if (out->size() != in.offset() || std::memcmp(out->bytes().data(), bytes.data(), out->size()) != 0) {
    fail("a value does not write the bytes it was read from");
  }
  Zef::NboAttrLog::In again(out->bytes());
  if (V(&again, Zef::StreamBogon()) != *v && !phyfuzz::holdsNaN(*v)) fail("bytes do not read back to an equal value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  std::span<unsigned char const> bytes(data + 1, size - 1);
  phyfuzz::withValueType(data[0], [&]<class V>(V*) { check<V>(bytes); });
  return 0;
}
