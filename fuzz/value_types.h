// The ten value types, and the choice of one by an input byte, for fuzz
// targets that cover every type.
#pragma once

#include <cstddef>
#include <tuple>
#include <utility>

#include "values/values.h"

namespace phyfuzz {

using namespace Hardware::Phy;

using Values = std::tuple<Event, Count, EventOrCount, ConditionOrChanged, ConditionStat, EventStat, CountStat,
                          EventOrCountStat, ConditionOrCountStat, ConditionOrChangedStat>;

// Calls f(static_cast<V*>(nullptr)) for the type that `selector` picks. The
// digits '0' to '9' pick the types in the order above, so seeds can be text.
template <class F>
void withValueType(unsigned char selector, F&& f) {
  constexpr std::size_t n = std::tuple_size_v<Values>;
  std::size_t const index = static_cast<unsigned char>(selector - '0') % n;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (void)((I == index && (f(static_cast<std::tuple_element_t<I, Values>*>(nullptr)), true)) || ...);
  }(std::make_index_sequence<n>{});
}

// A value that is unequal to itself holds a NaN time stamp.
template <class V>
bool holdsNaN(V const& v) {
  return v != v;
}

}  // namespace phyfuzz
