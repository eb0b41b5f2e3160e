// What the value tests share: the ten value types, and random values of them.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <tuple>
#include <utility>

#include "values/values.h"

namespace phytest {

using namespace Hardware::Phy;

using AllValues = ::testing::Types<Event, Count, EventOrCount, ConditionOrChanged, ConditionStat, EventStat,
                                   CountStat, EventOrCountStat, ConditionOrCountStat, ConditionOrChangedStat>;

// Any double but NaN: half plausible time stamps, half arbitrary bit patterns
// (subnormals, infinities, -0.0 and the extremes among them).
inline double randomSeconds(std::mt19937_64& rng) {
  if (rng() % 2) return std::uniform_real_distribution<double>(0, 4e9)(rng);
  for (;;) {
    double d = std::bit_cast<double>(rng());
    if (!std::isnan(d)) return d;
  }
}

inline void randomize(U1& f, std::mt19937_64& rng) { f = U1(static_cast<unsigned char>(rng() % 2)); }
inline void randomize(U32& f, std::mt19937_64& rng) {
  f = rng() % 4 ? static_cast<U32>(rng()) : static_cast<U32>(rng() % 3 ? 0 : 4294967295u);
}
inline void randomize(Zef::Seconds& f, std::mt19937_64& rng) { f = randomSeconds(rng); }

// Every field of V set at random, through the value's own field table.
template <class V>
V randomValue(std::mt19937_64& rng) {
  V v;
  Zef::forEachField<V>([&](auto const& f) { randomize(v.*f.member, rng); });
  return v;
}

// A value whose fields, in declaration order, are `fields`.
template <class V, class... F>
V valueOf(F... fields) {
  static_assert(sizeof...(F) == std::tuple_size_v<decltype(V::zefFields())>, "one argument per field");
  V v;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((v.*std::get<I>(V::zefFields()).member = fields), ...);
  }(std::index_sequence_for<F...>{});
  return v;
}

}  // namespace phytest
