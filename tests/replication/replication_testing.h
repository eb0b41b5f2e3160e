// Helpers of the replication tests: frames cut from what a log wrote, and
// statistics that differ from one call to the next.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_stats.h"
#include "runtime/attrlog.h"

namespace phytest {

struct Record {
  Zef::NboAttrLog::FrameKind kind;
  Zef::NboAttrLog::MsgHeader header;
  std::vector<unsigned char> payload;
};

// Every frame of `bytes`, which must be whole, well-formed frames; `reader`
// carries the header context from one call to the next, as on one stream.
inline std::vector<Record> framesOf(std::span<unsigned char const> bytes, Zef::NboAttrLog::FrameReader& reader) {
  std::vector<Record> out;
  std::size_t at = 0;
  while (at < bytes.size()) {
    auto r = reader.next(bytes.subspan(at), at);
    EXPECT_EQ(r.status, Zef::NboAttrLog::FrameReader::Status::frame) << r.error;
    if (r.status != Zef::NboAttrLog::FrameReader::Status::frame) break;
    out.push_back({r.frame.kind, r.frame.header, {r.frame.payload.begin(), r.frame.payload.end()}});
    at += r.frame.size;
  }
  return out;
}

// Takes the records out of a log as the reader at its other end would, and
// keeps the announcements of entities (entity id 1) apart.
class Tap {
 public:
  std::vector<Record> operator()(Zef::Ptr<Zef::NboAttrLog::Out> const& out) {
    std::vector<Record> records;
    for (auto& r : framesOf(out->bytes(), reader_)) {
      if (r.header.entityId == 1) announcements.push_back(std::move(r));
      else records.push_back(std::move(r));
    }
    out->bytesConsumed(out->size());
    return records;
  }

  std::vector<Record> announcements;

 private:
  Zef::NboAttrLog::FrameReader reader_;
};

// The bytes a value alone encodes to.
template <class V>
std::vector<unsigned char> wireOf(V const& v) {
  auto out = Zef::NboAttrLog::Out::OutIs();
  out << v;
  return {out->bytes().begin(), out->bytes().end()};
}

// A CRC statistic after `n` observed errors: each n gives another value.
inline Hardware::Phy::EventOrCountStat crcAfter(unsigned n) {
  Hardware::Phy::EventOrCountStat s;
  s.countIs(n);
  s.lastIs(1000.0 + n);
  return s;
}

// Connections whose readers take turns, `chunk` bytes each, as sockets
// drained by one event loop; `between` runs after every turn. Returns once
// every connection is quiet.
inline void pumpInTurns(std::vector<std::unique_ptr<Zef::NboAttrLog::MemoryPair>> const& pairs, std::size_t chunk,
                        std::function<void(int)> const& between = {}) {
  for (auto const& pr : pairs) pr->a()->flowOutReady();
  for (int turn = 0; turn < 100000; ++turn) {
    std::size_t moved = 0;
    for (auto const& pr : pairs) moved += pr->pumpAtoB(chunk);
    if (between) between(turn);
    if (moved > 0) continue;
    for (auto const& pr : pairs) moved += pr->pump();
    if (moved == 0) return;
  }
}

inline Zef::PtrInterface::NotifieeConst::Zef_BitSet noFlags() { return {}; }

// The entity of type T and name `name` that `mount` mounted; null if none.
template <class T>
Zef::Ptr<T> mountedAs(Zef::Ptr<Zef::NboAttrLog::Connection> const& mount, Zef::Name const& name) {
  for (auto const& e : mount->mounted()) {
    if (e->name() == name) {
      if (auto* t = dynamic_cast<T*>(e.ptr())) return Zef::Ptr<T>(t);
    }
  }
  return nullptr;
}

// The member names of a chip directory.
inline std::set<std::string> namesOf(Zef::Ptr<Hardware::Phy::PhyBcm54980ChipConfigDir> const& dir) {
  std::set<std::string> names;
  for (auto it = dir->phyChipConfigIterator(); it; ++it) names.insert(it->name().str());
  return names;
}

}  // namespace phytest
