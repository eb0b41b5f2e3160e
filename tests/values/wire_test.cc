// The attribute-log encoding of the values: layouts, round trips of all ten
// types, and records that are short or carry a bad flag.
#include <gtest/gtest.h>

#include <vector>

#include "values/value_testing.h"

namespace {

using namespace phytest;
using Bytes = std::vector<unsigned char>;
using Zef::NboAttrLog::In;
using Zef::NboAttrLog::Out;

template <class V>
Bytes encoded(V const& v) {
  Zef::Ptr<Out> out = Out::OutIs();
  EXPECT_EQ((out << v).ptr(), out.ptr());
  return Bytes(out->bytes().begin(), out->bytes().end());
}

template <class V>
V decoded(Bytes const& b, std::size_t* consumed = nullptr) {
  In in(b);
  V v(&in, Zef::StreamBogon());
  if (consumed) *consumed = in.offset();
  return v;
}

TEST(ValueWireTest, ADefaultEventStatIsAZeroFlagAZeroCountAndPositiveZero) {
  Bytes const expected{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(encoded(EventStat()), expected);
  EXPECT_EQ(decoded<EventStat>(expected), EventStat());
}

TEST(ValueWireTest, FieldsFollowEachOtherInDeclarationOrderWithNothingBetween) {
  EXPECT_EQ(encoded(valueOf<ConditionStat>(U1(1), 0x01020304u, 2.0)), (Bytes{1, 1, 2, 3, 4, 0x40, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encoded(valueOf<ConditionOrChanged>(U1(0), U1(1), -0.0)), (Bytes{0, 1, 0x80, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ValueWireTest, EachTypeTakesTheBytesOfItsFields) {
  EXPECT_EQ(encoded(Event()).size(), 9u);
  EXPECT_EQ(encoded(Count()).size(), 12u);
  EXPECT_EQ(encoded(EventOrCount()).size(), 13u);
  EXPECT_EQ(encoded(ConditionOrChanged()).size(), 10u);
  EXPECT_EQ(encoded(CountStat()).size(), 12u);
  EXPECT_EQ(encoded(EventOrCountStat()).size(), 12u);
  EXPECT_EQ(encoded(ConditionOrCountStat()).size(), 13u);
  EXPECT_EQ(encoded(ConditionOrChangedStat()).size(), 13u);
}

TEST(ValueWireTest, AFlagByteAboveOneIsRefusedWithTheU1Message) {
  try {
    decoded<ConditionStat>(Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ADD_FAILURE() << "no exception";
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(), "U1::value < 0 or > 0x01 not allowed");
  }
}

// A value is read whole when all of it is there; a refusal still names the
// field that could not be read, as a read one field at a time does.
TEST(ValueWireTest, ARefusalNamesTheFieldThatCouldNotBeRead) {
  Bytes cut = encoded(valueOf<EventStat>(U1(1), 7u, 1.5));
  cut.pop_back();
  try {
    decoded<EventStat>(cut);
    ADD_FAILURE() << "no exception";
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(), "attribute log record ends early: nextU64 needs 8 bytes at offset 5, 7 left");
  }
  // The second flag of two out of range, after a valid first.
  Bytes flags{0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
  try {
    decoded<ConditionOrChanged>(flags);
    ADD_FAILURE() << "no exception";
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(), "U1::value < 0 or > 0x01 not allowed");
  }
  flags[1] = 1;
  EXPECT_EQ(decoded<ConditionOrChanged>(flags), valueOf<ConditionOrChanged>(U1(0), U1(1), 0.0));
}

TEST(ValueWireTest, TheLargestCountReadsBackUnchanged) {
  CountStat s;
  s.countIs(4294967295u);
  EXPECT_EQ(decoded<CountStat>(encoded(s)).count(), 4294967295u);
}

template <class V>
class ValueWireRoundTripTest : public ::testing::Test {};
TYPED_TEST_SUITE(ValueWireRoundTripTest, AllValues);

TYPED_TEST(ValueWireRoundTripTest, WhatIsWrittenReadsBackEqualAndWhole) {
  std::mt19937_64 rng(23);
  for (int i = 0; i < 2000; ++i) {
    TypeParam v = randomValue<TypeParam>(rng);
    Bytes b = encoded(v);
    std::size_t consumed = 0;
    ASSERT_EQ(decoded<TypeParam>(b, &consumed), v);
    ASSERT_EQ(consumed, b.size());
  }
}

TYPED_TEST(ValueWireRoundTripTest, ARecordThatEndsEarlyIsRefused) {
  std::mt19937_64 rng(29);
  Bytes whole = encoded(randomValue<TypeParam>(rng));
  for (std::size_t n = 0; n < whole.size(); ++n) {
    Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_THROW(decoded<TypeParam>(cut), Zef::RangeException) << n << " bytes";
  }
}

TYPED_TEST(ValueWireRoundTripTest, ValuesFollowEachOtherOnOneOutput) {
  std::mt19937_64 rng(31);
  TypeParam a = randomValue<TypeParam>(rng), b = randomValue<TypeParam>(rng);
  Zef::Ptr<Out> out = Out::OutIs();
  out << a << b;
  In in(out->bytes());
  EXPECT_EQ(TypeParam(&in, Zef::StreamBogon()), a);
  EXPECT_EQ(TypeParam(&in, Zef::StreamBogon()), b);
  EXPECT_EQ(in.remaining(), 0u);
}

}  // namespace
