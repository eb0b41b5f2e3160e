// How an entity keeps the value of an attribute. A value type whose fields
// leave padding between them (a flag, a counter and a time stamp: 13 bytes in
// 16) is kept with its fields back to back, so that a port's 42 statistics
// take a sixth less memory. Every other type is kept as it is. Readers get
// the value itself either way; only the entity sees the difference.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "runtime/entity/dispatch.h"
#include "runtime/types/value.h"

namespace Zef {

namespace stored {

// Each field's offset in the packed form, and the whole size last.
template <class T, std::size_t... I>
constexpr auto offsets(std::index_sequence<I...>) {
  std::array<std::size_t, sizeof...(I)> const sizes{sizeof(valuetext::FieldType<T, I>)...};
  std::array<std::size_t, sizeof...(I) + 1> at{};
  for (std::size_t i = 0; i < sizes.size(); ++i) at[i + 1] = at[i] + sizes[i];
  return at;
}

// Whether T's fields, all plain bytes, would take less room back to back.
template <class T, std::size_t... I>
constexpr bool fieldsPack(std::index_sequence<I...> seq) {
  return sizeof...(I) > 0 && (std::is_trivially_copyable_v<valuetext::FieldType<T, I>> && ...) &&
         offsets<T>(seq)[sizeof...(I)] < sizeof(T);
}

template <class T>
constexpr bool packs() {
  if constexpr (FieldTable<T> && std::is_trivially_copyable_v<T>) {
    return fieldsPack<T>(std::make_index_sequence<valuetext::kFieldCount<T>>());
  } else {
    return false;
  }
}

}  // namespace stored

// A value of type T with its fields back to back, unaligned.
template <class T>
class Packed {
  static constexpr std::size_t kFields = valuetext::kFieldCount<T>;
  static constexpr auto kAt = stored::offsets<T>(std::make_index_sequence<kFields>());

 public:
  Packed() : Packed(T{}) {}
  Packed(T const& v) { store(v); }  // NOLINT(google-explicit-constructor): stands where a T stood

  T load() const {
    T v{};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (std::memcpy(&(v.*std::get<I>(T::zefFields()).member), bytes_ + kAt[I],
                   sizeof(valuetext::FieldType<T, I>)),
       ...);
    }(std::make_index_sequence<kFields>());
    return v;
  }

  void store(T const& v) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (std::memcpy(bytes_ + kAt[I], &(v.*std::get<I>(T::zefFields()).member),
                   sizeof(valuetext::FieldType<T, I>)),
       ...);
    }(std::make_index_sequence<kFields>());
  }

 private:
  unsigned char bytes_[kAt[kFields]];
};

// What an entity's field of type T is.
template <class T>
using Stored = std::conditional_t<stored::packs<T>(), Packed<T>, T>;

// The value a field holds.
template <class T>
T const& loaded(T const& field) {
  return field;
}
template <class T>
T loaded(Packed<T> const& field) {
  return field.load();
}

template <class T>
bool storeIfChanged(Packed<T>& field, T const& v) {
  if (sameValue(field.load(), v)) return false;
  field.store(v);
  return true;
}

}  // namespace Zef
