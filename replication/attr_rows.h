// The table a generated adapter gives of each level's replicated attributes:
// a row an attribute (id, dirty bit, handler, writer, reader), the row
// functions the generator points at, and finding a row by id.
//
// An adapter type Sa provides:
//   Sa::ZefEntity                  the entity type it serves
//   Sa::FlowOut, Sa::ZefNboAttrLogSaAdapter_
//   zefEntity()                    the entity, or null once it went
//   zefOwnDirty()                  this level's dirty bits in the current
//                                  flow-out, or null without one
//   zefReactor_                    its reactor
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

#include "runtime/attrlog/demuxer.h"
#include "runtime/attrlog/records.h"
#include "runtime/attrlog/stream_adapter.h"
#include "runtime/attrlog/value_codec.h"
#include "runtime/entity/list_raw.h"
#include "runtime/failure/exception.h"
#include "runtime/text/bounded.h"
#include "runtime/text/text.h"

namespace Zef::Repl {

using NboAttrLog::kNoAttribute;
using NboAttrLog::kSyncModeAttrId;

// One replicated attribute of one level of an entity type.
template <class Sa>
struct AttrRow {
  using E = typename Sa::ZefEntity;
  AttributeId id;
  unsigned bit;
  void (Sa::*handler)();
  // A value: writes it. A reference: null, and `reference` reads it.
  void (*write)(Ptr<NboAttrLog::Out> const&, E const&);
  Entity const* (*reference)(E const&);
  // Reads the value of a record and, when told to, applies it; a reference
  // sets the adapter's channel (if any) to mode 1 in between.
  void (*read)(E&, NboAttrLog::In&, bool apply, MsgChannel::Constrainer::ZefEntry* chan);
  // A collection: its part of a scheduled pass, whatever the bits say.
  void (*serialize)(Sa*) = nullptr;
};

using NboAttrLog::readValue;
using NboAttrLog::writeValue;

template <class C, class A>
A setterArgument(void (C::*)(A));

template <class E, auto Set>
void readAttr(E& e, NboAttrLog::In& in, bool apply, MsgChannel::Constrainer::ZefEntry* chan) {
  using T = std::decay_t<decltype(setterArgument(Set))>;
  T v = readValue<T>(in);
  if (apply) in.valueEnds();
  if constexpr (IsPtr<T>::value) {
    if (chan) chan->modeIs(MsgChannel::Constrainer::ZefEntry::modeApplied);
  }
  if (apply) (e.*Set)(v);
}


template <class E, auto Get>
void writeAttr(Ptr<NboAttrLog::Out> const& out, E const& e) {
  writeValue(out, (e.*Get)());
}

template <class E, auto Get>
Entity const* referenceAttr(E const& e) {
  return (e.*Get)().ptr();
}

// A constructor argument of an announcement: references as the referenced
// entity's id on the log, announcing it first when it is not yet known.
template <class T>
void writeArgument(Ptr<NboAttrLog::Out> const& out, NboAttrLog::Demuxer& d, T const& v) {
  if constexpr (IsPtr<T>::value) out << std::uint64_t(d.connectionEidFor(v.ptr()));
  else if constexpr (std::is_base_of_v<String8, T>) out << String8(v);
  else writeValue(out, v);
}

template <class Sa>
AttrRow<Sa> const* rowOf(std::span<AttrRow<Sa> const> rows, AttributeId id) {
  // Own ids run on without gaps after isNondestructing: index them.
  std::size_t first = rows.size() > 1 && rows[0].id == NboAttrLog::kIsNondestructingAttrId ? 1 : 0;
  if (first < rows.size() && id >= rows[first].id) {
    std::size_t i = first + static_cast<std::size_t>(id - rows[first].id);
    if (i < rows.size() && rows[i].id == id) return &rows[i];
  }
  for (auto const& r : rows) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

// A new flow-out marks every attribute from `start` on, compared unsigned:
// 0 marks all, kNoAttribute none.
template <class Bits, class Sa>
void markFrom(Bits& bits, std::span<AttrRow<Sa> const> rows, AttributeId start) {
  // A collection's bit says it has synced: a new flow-out has not.
  for (auto const& r : rows) {
    if (!r.serialize) bits.set(r.bit, std::uint32_t(start) <= std::uint32_t(r.id));
  }
}

// Calls the adapter's own onX() for `id`; false when this level has none.
template <class Sa>
bool doNotificationOf(Sa* sa, std::span<AttrRow<Sa> const> rows, AttributeId id) {
  auto const* r = rowOf(rows, id);
  if (r) (sa->*r->handler)();
  return r;
}

}  // namespace Zef::Repl
