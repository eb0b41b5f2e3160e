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

template <class T>
void writeValue(Ptr<Out> const& out, T const& v);

// A generated value's fields, read in place.
template <class V>
void readFields(V& v, In& in) {
  forEachField<V>([&]<class F>(ValueField<V, F> const& f) { v.*f.member = readValue<F>(in); });
}

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
    forEachField<T>([&]<class F>(ValueField<T, F> const& f) { writeValue(out, v.*f.member); });
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
