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

}  // namespace
