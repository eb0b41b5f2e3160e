// A 32-bit word with its bits in reverse order: the name-keyed map orders its
// members by their reversed key hash.
#pragma once

#include <array>
#include <cstdint>

namespace Zef {

// Each byte value with its bits in reverse order. Four look-ups in a table
// that stays in L1 beat the shift-and-mask network.
inline constexpr auto kBitReversedBytes = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    for (unsigned bit = 0; bit < 8; ++bit) t[i] |= static_cast<std::uint8_t>(((i >> bit) & 1u) << (7 - bit));
  }
  return t;
}();

constexpr std::uint32_t bitReverse(std::uint32_t x) noexcept {
  return (std::uint32_t{kBitReversedBytes[x & 0xFFu]} << 24) | (std::uint32_t{kBitReversedBytes[(x >> 8) & 0xFFu]} << 16) |
         (std::uint32_t{kBitReversedBytes[(x >> 16) & 0xFFu]} << 8) | kBitReversedBytes[x >> 24];
}

}  // namespace Zef
