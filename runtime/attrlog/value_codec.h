// How every value is encoded on the log, by its type: the one reader and the
// one writer that attributes, constructor arguments, a value's fields and
// the type registry's readers all go through.
//
//   bool, U1 and other narrow bounded numbers   one byte
//   unsigned int, enumerations, wide bounded     four bytes, big-endian
//   Seconds (double)                             eight bytes, the IEEE bits
//   String8, Name                                their length, then bytes
//   a reference                                  the entity's id on the log
//   a generated value                            its fields in declaration
//                                                order, nothing else
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>

#include "runtime/attrlog/demuxer.h"
#include "runtime/attrlog/nbo_attr_log.h"
#include "runtime/types/generic_if.h"
#include "runtime/types/value.h"

namespace Zef::NboAttrLog {

template <class T>
concept BoundedNumber = requires {
  typename T::StorageType;
  T::kMax;
};

template <class T>
T readValue(In& in);

// The bytes a value of type T always takes on the log; 0 when that varies
// (strings) or depends on the connection (references).
template <class T>
constexpr std::size_t fixedWireSize() {
  if constexpr (IsPtr<T>::value || std::is_base_of_v<String8, T>) {
    return 0;
  } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, unsigned char>) {
    return 1;
  } else if constexpr (std::is_same_v<T, unsigned int> || std::is_enum_v<T>) {
    return 4;
  } else if constexpr (std::is_same_v<T, double>) {
    return 8;
  } else if constexpr (BoundedNumber<T>) {
    return sizeof(typename T::StorageType) == 1 ? 1 : 4;
  } else if constexpr (FieldTable<T>) {
    return std::apply(
        [](auto const&... f) {
          std::size_t const sizes[] = {fixedWireSize<typename std::decay_t<decltype(f)>::Type>()...};
          std::size_t sum = 0;
          for (std::size_t n : sizes) {
            if (n == 0) return std::size_t(0);
            sum += n;
          }
          return sum;
        },
        T::zefFields());
  } else {
    return 0;
  }
}

namespace Fixed {

// A big-endian number of sizeof(U) bytes at p, moving p past it.
template <class U>
[[gnu::always_inline]] inline void store(unsigned char*& p, U v) {
  if constexpr (sizeof(U) > 1 && std::endian::native == std::endian::little) {
    if constexpr (sizeof(U) == 4) v = __builtin_bswap32(v);
    else v = __builtin_bswap64(v);
  }
  std::memcpy(p, &v, sizeof(U));
  p += sizeof(U);
}

template <class U>
[[gnu::always_inline]] inline U load(unsigned char const*& p) {
  U v;
  std::memcpy(&v, p, sizeof(U));
  p += sizeof(U);
  if constexpr (sizeof(U) > 1 && std::endian::native == std::endian::little) {
    if constexpr (sizeof(U) == 4) v = __builtin_bswap32(v);
    else v = __builtin_bswap64(v);
  }
  return v;
}

// Writes v, whose fixed width was checked by the caller, at p.
template <class T>
void put(unsigned char*& p, T const& v) {
  if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, unsigned char>) {
    *p++ = static_cast<unsigned char>(v);
  } else if constexpr (std::is_same_v<T, unsigned int>) {
    store(p, std::uint32_t(v));
  } else if constexpr (std::is_enum_v<T>) {
    store(p, static_cast<std::uint32_t>(static_cast<int>(v)));
  } else if constexpr (std::is_same_v<T, double>) {
    store(p, std::bit_cast<std::uint64_t>(v));
  } else if constexpr (BoundedNumber<T>) {
    if constexpr (sizeof(typename T::StorageType) == 1) *p++ = static_cast<unsigned char>(v.value());
    else store(p, static_cast<std::uint32_t>(v.value()));
  } else {
    std::apply([&](auto const&... f) { (put(p, v.*f.member), ...); }, T::zefFields());
  }
}

// Reads v from p, which holds its whole width. False at a byte that reading
// one field at a time refuses: that reader then reports it. Unknown
// enumerators are counted in `unknown`.
template <class T>
bool get(unsigned char const*& p, T& v, unsigned& unknown) {
  if constexpr (std::is_same_v<T, bool>) {
    if (*p > 1) return false;
    v = *p++ == 1;
  } else if constexpr (std::is_same_v<T, unsigned char>) {
    v = *p++;
  } else if constexpr (std::is_same_v<T, unsigned int>) {
    v = load<std::uint32_t>(p);
  } else if constexpr (std::is_enum_v<T>) {
    v = static_cast<T>(load<std::uint32_t>(p));
    unknown += !zefEnumKnown(v);
  } else if constexpr (std::is_same_v<T, double>) {
    v = std::bit_cast<double>(load<std::uint64_t>(p));
  } else if constexpr (BoundedNumber<T>) {
    // Out of range: the one-at-a-time reader throws the type's own message.
    std::uint32_t raw;
    if constexpr (sizeof(typename T::StorageType) == 1) raw = *p++;
    else raw = load<std::uint32_t>(p);
    if (raw > T::kMax) return false;
    v = T(static_cast<typename T::StorageType>(raw));
  } else {
    return std::apply([&](auto const&... f) { return (get(p, v.*f.member, unknown) && ...); }, T::zefFields());
  }
  return true;
}

}  // namespace Fixed

// A generated value's fields, read in place: all at once when the value has
// a fixed width, is all there and valid; otherwise one at a time, which says
// what was wrong and where.
template <class V>
void readFields(V& v, In& in) {
  if constexpr (constexpr std::size_t n = fixedWireSize<V>(); n != 0) {
    auto const rest = in.rest();
    unsigned char const* p = rest.data();
    unsigned unknown = 0;
    // Decoded aside: the destination's bytes could alias the cursor's.
    V read;
    if (rest.size() >= n && Fixed::get(p, read, unknown)) {
      v = read;
      in.skip(n);
      if (unknown && in.demuxer()) in.demuxer()->unknownEnumsInc(unknown);
      return;
    }
  }
  forEachField<V>([&]<class F>(ValueField<V, F> const& f) { v.*f.member = readValue<F>(in); });
}

template <class T>
void writeValue(Ptr<Out> const& out, T const& v);

template <class T>
T readValue(In& in) {
  if constexpr (IsPtr<T>::value) {
    return in.nextEntity<typename IsPtr<T>::Target>();
  } else if constexpr (std::is_same_v<T, bool>) {
    return in.nextbool();
  } else if constexpr (std::is_same_v<T, unsigned char>) {
    return in.nextU8();
  } else if constexpr (std::is_same_v<T, unsigned int>) {
    return in.nextU32();
  } else if constexpr (std::is_same_v<T, double>) {
    return in.nextSeconds();
  } else if constexpr (std::is_enum_v<T>) {
    // A number that names no enumerator is counted and kept as it is: the
    // other end may know enumerators this one does not.
    T v = static_cast<T>(in.nextU32());
    if (!zefEnumKnown(v) && in.demuxer()) in.demuxer()->unknownEnumsInc(1);
    return v;
  } else if constexpr (BoundedNumber<T>) {
    if constexpr (sizeof(typename T::StorageType) == 1) return T(in.nextU8());
    else return T(in.nextU32());
  } else if constexpr (std::is_base_of_v<String8, T>) {
    return T(in.nextString());
  } else {
    static_assert(FieldTable<T>, "no log encoding for this type");
    T v;
    readFields(v, in);
    return v;
  }
}

template <class T>
void writeValue(Ptr<Out> const& out, T const& v) {
  if constexpr (std::is_enum_v<T>) {
    out << static_cast<int>(v);
  } else if constexpr (BoundedNumber<T>) {
    if constexpr (sizeof(typename T::StorageType) == 1) out << static_cast<unsigned char>(v.value());
    else out << static_cast<unsigned int>(v.value());
  } else if constexpr (FieldTable<T>) {
    if constexpr (constexpr std::size_t n = fixedWireSize<T>(); n != 0) {
      out->writeFixed(n, [&](unsigned char* p) { Fixed::put(p, v); });
    } else {
      forEachField<T>([&]<class F>(ValueField<T, F> const& f) { writeValue(out, v.*f.member); });
    }
  } else {
    out << v;
  }
}

// A value of type T read for the type registry: `in` moves on only once the
// whole value was there.
template <class T>
Ptr<GenericIf> genericFromWire(In* in) {
  In at = *in;
  T v = readValue<T>(at);
  *in = at;
  return genericIfOf(v, false);
}

}  // namespace Zef::NboAttrLog
