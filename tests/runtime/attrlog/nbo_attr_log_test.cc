// The attribute log's byte encoding: layouts of the primitives, round trips,
// and reads past the end of a record.
#include "runtime/attrlog/nbo_attr_log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Zef::NboAttrLog::In;
using Zef::NboAttrLog::Out;

Bytes bytesOf(Zef::Ptr<Out> const& out) { return Bytes(out->bytes().begin(), out->bytes().end()); }

// The message of the range exception that `read` throws.
template <class Read>
std::string refusal(Read read) {
  try {
    read();
  } catch (Zef::RangeException const& e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return "";
}

TEST(NboAttrLogTest, PrimitivesAreWrittenBigEndianInTheirFullWidth) {
  Zef::Ptr<Out> out = Out::OutIs();
  out << static_cast<unsigned char>(0xab) << true << false;
  out << 0x01020304u << -2;
  out << std::uint64_t{0x0102030405060708};
  out << 1.0;
  out << Zef::String8("hi");
  EXPECT_EQ(bytesOf(out), (Bytes{0xab, 1, 0,                                      // u8, bools
                                 1, 2, 3, 4, 0xff, 0xff, 0xff, 0xfe,             // u32, int
                                 1, 2, 3, 4, 5, 6, 7, 8,                         // u64
                                 0x3f, 0xf0, 0, 0, 0, 0, 0, 0,                   // 1.0
                                 0, 0, 0, 2, 'h', 'i'}));                        // string
}

TEST(NboAttrLogTest, WhatIsWrittenReadsBack) {
  Zef::Ptr<Out> out = Out::OutIs();
  out << static_cast<unsigned char>(200) << true << 4294967295u << std::numeric_limits<int>::min();
  out << std::uint64_t{18446744073709551615u} << -0.0 << std::numeric_limits<double>::quiet_NaN();
  out << Zef::String8("") << Zef::String8(std::string("a\0b", 3));
  In in(out->bytes());
  EXPECT_EQ(in.nextU8(), 200);
  EXPECT_TRUE(in.nextbool());
  EXPECT_EQ(in.nextU32(), 4294967295u);
  EXPECT_EQ(in.nextint(), std::numeric_limits<int>::min());
  EXPECT_EQ(in.nextU64(), 18446744073709551615u);
  double zero = in.nextSeconds();
  EXPECT_TRUE(zero == 0.0 && std::signbit(zero));
  EXPECT_TRUE(std::isnan(in.nextSeconds()));
  EXPECT_EQ(in.nextString(), "");
  EXPECT_EQ(in.nextString().str(), std::string("a\0b", 3));
  EXPECT_EQ(in.remaining(), 0u);
  EXPECT_EQ(in.offset(), out->size());
}

TEST(NboAttrLogTest, SixteenBitNumbersAndEntityIdsAreRead) {
  Bytes b{0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 42};
  In in(b);
  EXPECT_EQ(in.nextU16(), 0x1234);
  EXPECT_EQ(in.nextEntityId(), 42u);
}

TEST(NboAttrLogTest, TheBufferGrowsAndKeepsEverythingWritten) {
  Zef::Ptr<Out> out = Out::OutIs();
  // Nothing is held before the first write: a mount's log may never write.
  EXPECT_EQ(out->bufferBytes(), 0u);
  EXPECT_TRUE(out->bytes().empty());
  std::mt19937 rng(3);
  std::vector<unsigned int> written;
  for (int i = 0; i < 10000; ++i) {
    written.push_back(static_cast<unsigned int>(rng()));
    out << written.back();
  }
  EXPECT_GE(out->bufferBytes(), written.size() * 4);
  In in(out->bytes());
  for (unsigned int v : written) ASSERT_EQ(in.nextU32(), v);
  out->bytesDelAll();
  EXPECT_EQ(out->size(), 0u);
  out << 7u;
  EXPECT_EQ(bytesOf(out), (Bytes{0, 0, 0, 7}));
}

// Every read on a record that is too short throws, names the read, and
// leaves the position where it was.
TEST(NboAttrLogTest, AReadPastTheEndIsRefusedAndConsumesNothing) {
  Bytes b{1, 2, 3};
  In in(b);
  in.nextU8();
  struct Read {
    char const* name;
    void (*read)(In&);
  };
  Read const reads[] = {
      {"nextU32", [](In& r) { r.nextU32(); }},   {"nextint", [](In& r) { r.nextint(); }},
      {"nextU64", [](In& r) { r.nextU64(); }},   {"nextSeconds", [](In& r) { r.nextSeconds(); }},
      {"nextString", [](In& r) { r.nextString(); }},
  };
  for (Read const& r : reads) {
    SCOPED_TRACE(r.name);
    EXPECT_THROW(r.read(in), Zef::RangeException);
    EXPECT_EQ(in.offset(), 1u);
  }
  EXPECT_EQ(refusal([&] { in.nextU32(); }),
            "attribute log record ends early: nextU32 needs 4 bytes at offset 1, 2 left");
  EXPECT_EQ(in.nextU16(), 0x0203);
  EXPECT_THROW(in.nextU8(), Zef::RangeException);
  EXPECT_THROW(in.nextbool(), Zef::RangeException);
}

TEST(NboAttrLogTest, AStringLongerThanTheRecordIsRefusedBeforeAnythingIsAllocated) {
  Bytes b{0xff, 0xff, 0xff, 0xff, 'a'};
  In in(b);
  EXPECT_EQ(refusal([&] { in.nextString(); }),
            "attribute log record ends early: nextString needs 4294967299 bytes at offset 0, 5 left");
  EXPECT_EQ(in.offset(), 0u);
}

TEST(NboAttrLogTest, ABoolByteAboveOneIsRefused) {
  Bytes b{2};
  In in(b);
  EXPECT_EQ(refusal([&] { in.nextbool(); }), "attribute log bool byte 2 at offset 0 is neither 0 nor 1");
  EXPECT_EQ(in.offset(), 0u);
}

TEST(NboAttrLogTest, AnOutputIsCountedAndGoesWithItsLastReference) {
  std::size_t before = Zef::ZefMemPool::bytesInUse();
  {
    Zef::Ptr<Out> out = Out::OutIs();
    Zef::Ptr<Out> second = out;
    EXPECT_EQ(out->references(), 2u);
    out << 1u;
  }
  EXPECT_EQ(Zef::ZefMemPool::bytesInUse(), before);
}

// A record's bounds: an ordinary record is framed with its length; a record
// opened over an unfinished one, a record on a closed log and one too large
// for a frame are refused, and none leaves bytes behind.
Zef::NboAttrLog::FrameReader::Result onlyFrame(Zef::Ptr<Out> const& out) {
  Zef::NboAttrLog::FrameReader reader;
  auto bytes = out->bytes();
  auto r = reader.next(bytes, 0);
  EXPECT_EQ(r.status, Zef::NboAttrLog::FrameReader::Status::frame) << r.error;
  EXPECT_EQ(r.frame.size, bytes.size()) << "one frame and nothing after it";
  return r;
}

// One whole record of an `n`-byte number.
void record(Zef::Ptr<Out> const& out, Zef::EntityId eid, Zef::AttributeId aid, std::uint64_t v, int n) {
  out->nextHeaderIs({eid, aid});
  out->recordBegin();
  out->writeBigEndian(v, n);
  out->recordEnd();
}

TEST(NboAttrLogRecordTest, ARecordIsFramedWithItsHeaderAndLength) {
  auto out = Out::OutIs();
  record(out, 7, 300, 0x01020304, 4);
  auto r = onlyFrame(out);
  EXPECT_EQ(r.frame.header.entityId, 7u);
  EXPECT_EQ(r.frame.header.attributeId, 300);
  EXPECT_EQ(Bytes(r.frame.payload.begin(), r.frame.payload.end()), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(out->recordsWritten(), 1u);
  EXPECT_EQ(out->bytesWritten(), out->size());
}

TEST(NboAttrLogRecordTest, ARecordOpenedOverAnUnfinishedOneLeavesOnlyTheSecond) {
  auto out = Out::OutIs();
  out->nextHeaderIs({3, 10});
  out->recordBegin();
  out->writeBigEndian(0xAABBCCDD, 4);
  out->nextHeaderIs({5, 11});
  out->recordBegin();  // the first is abandoned
  out->writeBigEndian(9, 1);
  out->recordEnd();
  EXPECT_THROW(out->recordEnd(), Zef::AttrLogRecordException) << "the first record's writer is told";
  auto r = onlyFrame(out);
  EXPECT_EQ(r.frame.header.entityId, 5u);
  EXPECT_EQ(Bytes(r.frame.payload.begin(), r.frame.payload.end()), (Bytes{9}));
  EXPECT_EQ(out->recordsWritten(), 1u);
  out->recordEnd();  // told once: a further end with nothing open does nothing
  EXPECT_EQ(out->recordsWritten(), 1u);
}

TEST(NboAttrLogRecordTest, AClosedLogRefusesARecord) {
  auto out = Out::OutIs();
  out->closedIs();
  out->nextHeaderIs({3, 10});
  EXPECT_NE(refusal([&] { out->recordBegin(); }).find("attribute log is closed"), std::string::npos);
  EXPECT_FALSE(out->isRecordOpen());
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(out->recordsWritten(), 0u);
}

TEST(NboAttrLogRecordTest, ARecordTooLargeForAFrameIsRefusedAndTheNextOneIsWhole) {
  auto out = Out::OutIs();
  out->nextHeaderIs({3, 10});
  out->recordBegin();
  for (std::size_t i = 0; i <= Zef::NboAttrLog::Frame::kMaxFrameBody; i += 4) out->writeBigEndian(i, 4);
  EXPECT_NE(refusal([&] { out->recordEnd(); }).find("exceeds the largest frame"), std::string::npos);
  EXPECT_FALSE(out->isRecordOpen());
  EXPECT_EQ(out->size(), 0u);
  EXPECT_EQ(out->recordsWritten(), 0u);
  record(out, 5, 11, 1, 2);
  auto r = onlyFrame(out);
  EXPECT_EQ(r.frame.header.entityId, 5u);
  EXPECT_EQ(r.frame.payload.size(), 2u);
}

}  // namespace
