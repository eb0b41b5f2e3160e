// A connection's incoming side (frames cut from bytes however they are split,
// refusals, lost framing) and the in-memory pair that joins two connections.
#include "runtime/attrlog/connection.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "model/phy_bcm54980_stats.h"
#include "runtime/attrlog/records.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Zef::Ptr;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::FrameKind;
using Zef::NboAttrLog::FrameView;
using Zef::NboAttrLog::MemoryPair;
using Zef::NboAttrLog::MsgHeader;
using Zef::NboAttrLog::Out;
using Zef::NboAttrLog::TransactToken;

// What a frame handler saw of one frame.
struct Seen {
  FrameKind kind;
  MsgHeader header;
  Bytes payload;
  std::size_t offset;
  bool operator==(Seen const&) const = default;
};

std::vector<Seen>* collect(Connection& conn, std::vector<Seen>* into) {
  conn.frameHandlerIs([into](Connection&, FrameView const& f) {
    into->push_back({f.kind, f.header, Bytes(f.payload.begin(), f.payload.end()), f.offset});
  });
  return into;
}

void record(Ptr<Out> const& out, MsgHeader const& h, Bytes const& payload) {
  out->nextHeaderIs(h);
  out << TransactToken{1};
  out->writeBytes(payload.data(), payload.size());
  out << TransactToken{3};
}

// A stream of frames that uses every header form: a full header, same entity,
// next and same attribute, header words, a transaction marker, an empty payload.
Bytes sampleStream() {
  Ptr<Out> out = Out::OutIs();
  record(out, {3, 258}, {1, 2, 3});
  record(out, {3, 259}, {4});
  record(out, {3, 259}, {});
  record(out, {5, -7, 2, 300, 70000, 1}, Bytes(200, 0xee));
  out->transactionMarkerIs(5, 258, 2, 9);
  record(out, {1ull << 40, 0x7FFFFFFF}, {0xff});
  return Bytes(out->bytes().begin(), out->bytes().end());
}

// What a refusal handler was told.
using Refusals = std::vector<std::pair<std::uint64_t, std::string>>;
void collectRefusals(Connection& conn, Refusals* into) {
  conn.refusalHandlerIs([into](Connection&, std::uint64_t offset, Zef::String8 const& why) {
    into->emplace_back(offset, why.str());
  });
}

// A connection whose frames and refusals are collected.
struct Watched {
  Ptr<Connection> conn = Connection::ConnectionIs();
  std::vector<Seen> seen;
  Refusals refusals;
  Watched() {
    collect(*conn, &seen);
    collectRefusals(*conn, &refusals);
  }
  Watched(Watched const&) = delete;
  Watched& operator=(Watched const&) = delete;
};

std::vector<Seen> framesOf(std::vector<Bytes> const& chunks) {
  Watched w;
  for (Bytes const& c : chunks) w.conn->bytesReceived(c);
  EXPECT_EQ(w.conn->framesRefused(), 0u) << w.conn->lastRefusal();
  return w.seen;
}

TEST(ConnectionReceiveTest, FramesAreTheSameHoweverTheBytesAreSplit) {
  Bytes stream = sampleStream();
  std::vector<Seen> whole = framesOf({stream});
  ASSERT_EQ(whole.size(), 6u);
  EXPECT_EQ(whole[0], (Seen{FrameKind::attribute, {3, 258}, {1, 2, 3}, 0}));
  EXPECT_EQ(whole[2].header, (MsgHeader{3, 259}));
  EXPECT_TRUE(whole[2].payload.empty());
  EXPECT_EQ(whole[3].header, (MsgHeader{5, -7, 2, 300, 70000, 1}));
  EXPECT_EQ(whole[4].kind, FrameKind::transaction);
  EXPECT_EQ(whole[4].payload, (Bytes{2, 0, 0, 0, 9}));
  EXPECT_EQ(whole[5].header, (MsgHeader{1ull << 40, 0x7FFFFFFF}));

  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    Bytes front(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    Bytes back(stream.begin() + static_cast<std::ptrdiff_t>(cut), stream.end());
    ASSERT_EQ(framesOf({front, back}), whole) << "cut at " << cut;
  }
  // Two cuts: a frame completed from the middle piece, the next cut again.
  for (std::size_t first = 1; first < stream.size(); ++first) {
    for (std::size_t second = first + 1; second < stream.size(); ++second) {
      auto at = [&](std::size_t i) { return stream.begin() + static_cast<std::ptrdiff_t>(i); };
      ASSERT_EQ(framesOf({Bytes(stream.begin(), at(first)), Bytes(at(first), at(second)), Bytes(at(second), stream.end())}),
                whole)
          << "cut at " << first << " and " << second;
    }
  }
  std::vector<Bytes> single;
  for (unsigned char b : stream) single.push_back({b});
  EXPECT_EQ(framesOf(single), whole);
}

TEST(ConnectionReceiveTest, ALengthAboveTheLargestFrameClosesTheConnectionNamingItsOffset) {
  Watched w;
  auto& [conn, seen, refusals] = w;
  Ptr<Out> out = Out::OutIs();
  record(out, {3, 258}, {1});
  Bytes stream(out->bytes().begin(), out->bytes().end());
  std::size_t badAt = stream.size();
  Bytes tooLong{0xA0, 0x40, 0x01};  // 16385 bytes follow
  stream.insert(stream.end(), tooLong.begin(), tooLong.end());
  // Split, so that the offset is counted across calls.
  conn->bytesReceived(Bytes(stream.begin(), stream.begin() + 2));
  conn->bytesReceived(Bytes(stream.begin() + 2, stream.end()));

  EXPECT_TRUE(conn->isClosed());
  EXPECT_TRUE(conn->out()->isClosed());
  EXPECT_EQ(conn->closeCause(), Zef::NboAttrLog::CloseCause::lostFraming);
  std::string reason = conn->closeReason().str();
  EXPECT_NE(reason.find("16385"), std::string::npos) << reason;
  EXPECT_NE(reason.find("offset " + std::to_string(badAt)), std::string::npos) << reason;
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(conn->framesRefused(), 1u);
  EXPECT_EQ(refusals, (Refusals{{badAt, reason}}));
  EXPECT_EQ(conn->pendingBytes(), 0u);
  // Nothing more is read once the stream has lost its place.
  conn->bytesReceived(sampleStream());
  EXPECT_EQ(seen.size(), 1u);
}

TEST(ConnectionReceiveTest, AFrameOfTheLargestLengthIsRead) {
  Watched w;
  auto& [conn, seen, refusals] = w;
  Ptr<Out> out = Out::OutIs();
  // Tag, entity id and attribute id take 3 of the 16384 bytes after the length.
  record(out, {3, 258}, Bytes(16384 - 3, 0x5a));
  conn->bytesReceived(out->bytes());
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].payload.size(), 16381u);
  EXPECT_FALSE(conn->isClosed());
  EXPECT_TRUE(refusals.empty());
}

TEST(ConnectionReceiveTest, BadFramesAreRefusedAndCountedWhileTheNextOnesArrive) {
  Watched w;
  auto& [conn, seen, refusals] = w;
  // "Same entity" before any header, then a frame claiming both "same" and
  // "next" attribute, then a good one with a full header.
  Bytes stream{0xA1, 0x00, 0x02, 0x05, 0x01, 0xA6, 0x00, 0x01, 0x07};
  Ptr<Out> out = Out::OutIs();
  record(out, {9, 260}, {42});
  stream.insert(stream.end(), out->bytes().begin(), out->bytes().end());
  // The last frame's final byte comes later: it waits, incomplete.
  conn->bytesReceived(Bytes(stream.begin(), stream.end() - 1));
  EXPECT_EQ(conn->pendingBytes(), stream.size() - 9 - 1);
  EXPECT_TRUE(seen.empty());
  conn->bytesReceived(Bytes(stream.end() - 1, stream.end()));
  EXPECT_EQ(conn->pendingBytes(), 0u);

  EXPECT_FALSE(conn->isClosed());
  EXPECT_EQ(conn->framesRefused(), 2u);
  EXPECT_EQ(conn->framesReceived(), 1u);
  EXPECT_EQ(refusals, (Refusals{{0, "frame at offset 0: refers to a header before the first"},
                                 {5, "frame at offset 5: both same and next attribute"}}));
  EXPECT_EQ(conn->lastRefusal(), refusals.back().second);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (Seen{FrameKind::attribute, {9, 260}, {42}, 9}));
}

// The largest attribute id has no next one: a frame that says "next" after
// it is refused, and a writer spells the id that follows it out in full.
TEST(ConnectionReceiveTest, NoAttributeFollowsTheLargestId) {
  Watched w;
  auto& [conn, seen, refusals] = w;
  constexpr auto kMax = std::numeric_limits<Zef::AttributeId>::max();
  constexpr auto kMin = std::numeric_limits<Zef::AttributeId>::min();
  Ptr<Out> out = Out::OutIs();
  record(out, {3, kMax}, {1});
  record(out, {3, kMin}, {2});
  record(out, {5, kMax}, {3});
  Bytes stream(out->bytes().begin(), out->bytes().end());
  std::size_t const badAt = stream.size();
  Bytes next{0xA3, 0x00, 0x00};  // same entity, next attribute, no payload
  stream.insert(stream.end(), next.begin(), next.end());
  conn->bytesReceived(stream);

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].header, (MsgHeader{3, kMax}));
  EXPECT_EQ(seen[1].header, (MsgHeader{3, kMin}));
  EXPECT_EQ(seen[2].header, (MsgHeader{5, kMax}));
  EXPECT_EQ(refusals,
            (Refusals{{badAt, "frame at offset " + std::to_string(badAt) + ": next attribute after the largest id"}}));
  EXPECT_FALSE(conn->isClosed());
}

TEST(ConnectionReceiveTest, AFrameItsHandlerRefusesIsCountedAndReadingGoesOn) {
  Ptr<Connection> conn = Connection::ConnectionIs();
  int handled = 0;
  conn->frameHandlerIs([&](Connection&, FrameView const& f) {
    ++handled;
    if (f.header.attributeId == 259) Zef::throwRangeException("no such attribute");
  });
  Ptr<Out> out = Out::OutIs();
  record(out, {3, 258}, {});
  record(out, {3, 259}, {});
  record(out, {3, 260}, {});
  Refusals refusals;
  collectRefusals(*conn, &refusals);
  conn->bytesReceived(out->bytes());
  EXPECT_EQ(handled, 3);
  EXPECT_EQ(conn->framesRefused(), 1u);
  EXPECT_EQ(refusals, (Refusals{{6, "frame at offset 6: no such attribute"}}));
  EXPECT_EQ(conn->lastRefusal(), "frame at offset 6: no such attribute");
}

// The registry remembers the last type looked up by a mount; an
// announcement of a type nobody registered is still refused after one of a
// known type.
TEST(ConnectionReceiveTest, AnAnnouncementOfAnUnknownTypeIsRefusedAfterOneOfAKnownType) {
  MemoryPair pair;
  pair.a()->roleIs(Connection::Role::agent);
  pair.b()->roleIs(Connection::Role::mount);
  pair.a()->rootIs(Hardware::Phy::PhyBcm54980Stats::PhyBcm54980StatsIs("known"));
  pair.pump();
  ASSERT_EQ(pair.b()->mounted().size(), 1u);
  Ptr<Out> out = Out::OutIs();
  char const* types[] = {"No::SuchType"};
  Zef::NboAttrLog::announcementBegin(out, types, "stranger");
  Zef::NboAttrLog::announcementEnd(out, 41);
  Refusals refusals;
  collectRefusals(*pair.b(), &refusals);
  pair.b()->bytesReceived(out->bytes());
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_NE(refusals[0].second.find("orphan announcement of an unknown type: No::SuchType"), std::string::npos)
      << refusals[0].second;
  EXPECT_EQ(pair.b()->mounted().size(), 1u);
}

TEST(MemoryPairTest, RecordsCrossBothWaysAndPumpCountsTheBytes) {
  MemoryPair pair;
  std::vector<Seen> atA, atB;
  collect(*pair.a(), &atA);
  collect(*pair.b(), &atB);
  record(pair.a()->out(), {3, 258}, {1, 2});
  record(pair.b()->out(), {5, 300}, {3});
  std::size_t total = pair.a()->out()->size() + pair.b()->out()->size();
  EXPECT_EQ(pair.pump(), total);
  EXPECT_EQ(atB, (std::vector<Seen>{{FrameKind::attribute, {3, 258}, {1, 2}, 0}}));
  EXPECT_EQ(atA, (std::vector<Seen>{{FrameKind::attribute, {5, 300}, {3}, 0}}));
  EXPECT_EQ(pair.pump(), 0u);
}

TEST(MemoryPairTest, ASlowReaderGetsEveryBytePumpedInOrder) {
  MemoryPair pair;
  std::vector<Seen> atB;
  collect(*pair.b(), &atB);
  for (int i = 0; i < 50; ++i) record(pair.a()->out(), {3, 258 + i}, Bytes(i, static_cast<unsigned char>(i)));
  std::size_t total = pair.a()->out()->size();
  std::size_t moved = 0;
  while (std::size_t n = pair.pumpAtoB(7)) {
    EXPECT_LE(n, 7u);
    moved += n;
  }
  EXPECT_EQ(moved, total);
  ASSERT_EQ(atB.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(atB[i].header.attributeId, 258 + i);
    EXPECT_EQ(atB[i].payload, Bytes(i, static_cast<unsigned char>(i)));
  }
}

TEST(MemoryPairTest, ChangesDeferredWhileTheReaderStallsArriveWhenPumped) {
  using Hardware::Phy::EventOrCountStat;
  using Hardware::Phy::PhyBcm54980Stats;
  // A buffer that stops being roomy after a few records.
  MemoryPair pair(Out::kRoomyFreeSpace + 64);
  std::vector<Seen> atB;
  collect(*pair.b(), &atB);
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("port0");
  auto sa = stats->zefNboAttrLogSaIs({}, 1, pair.a()->out(), nullptr);
  EventOrCountStat v;
  for (unsigned i = 1; i <= 100; ++i) {
    v.countIs(i);
    stats->crcErrorsIs(v);
  }
  EXPECT_FALSE(pair.a()->out()->isRoomy());
  EXPECT_GT(pair.a()->demuxer()->scheduledCount(), 0u);
  pair.pump();

  Ptr<Out> expected = Out::OutIs();
  expected << v;
  ASSERT_FALSE(atB.empty());
  EXPECT_EQ(atB.back().header, (MsgHeader{sa->entityId(), PhyBcm54980Stats::crcErrorsAttrId}));
  EXPECT_EQ(atB.back().payload, Bytes(expected->bytes().begin(), expected->bytes().end()));
  EXPECT_LT(atB.size(), 100u);  // the stalled changes were folded into one
  EXPECT_EQ(pair.a()->demuxer()->scheduledCount(), 0u);
}

}  // namespace
