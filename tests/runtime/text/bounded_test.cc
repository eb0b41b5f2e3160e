// The bounded integers: their ranges and messages, U1's negation, text form
// and type object.
#include "runtime/text/bounded.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "runtime/text/text.h"
#include "runtime/types/zef_type.h"

namespace {

struct Bound {
  char const* type;
  std::function<unsigned(unsigned)> make;  // builds one and gives its number back
  unsigned largest;
  char const* message;
};

template <class U>
std::function<unsigned(unsigned)> maker() {
  return [](unsigned v) { return static_cast<unsigned>(U(static_cast<typename U::StorageType>(v)).value()); };
}

TEST(BoundedTest, LargestValueIsKeptOneMoreIsRefusedWithTheTypesMessage) {
  Bound const bounds[] = {
      {"U1", maker<U1>(), 1, "U1::value < 0 or > 0x01 not allowed"},
      {"U4", maker<U4>(), 15, "U4::value < 0 or > 0x0f not allowed"},
      {"U6", maker<U6>(), 63, "U6::value < 0 or > 0x3f not allowed"},
      {"U22", maker<U22>(), 4194303, "U22::value < 0 or > 0x003fffff not allowed"},
  };
  for (Bound const& b : bounds) {
    SCOPED_TRACE(b.type);
    EXPECT_EQ(b.make(0), 0u);
    EXPECT_EQ(b.make(b.largest), b.largest);
    try {
      b.make(b.largest + 1);
      ADD_FAILURE() << "no exception";
    } catch (Zef::RangeException const& e) {
      EXPECT_STREQ(e.what(), b.message);
    }
  }
  // Storage wider than the range: the whole unsigned argument is checked.
  EXPECT_THROW(U1(255), Zef::RangeException);
  EXPECT_THROW(U22(0xffffffffu), Zef::RangeException);
}

TEST(BoundedTest, DefaultIsZeroAndEqualityIsByNumber) {
  EXPECT_EQ(U1().value(), 0);
  EXPECT_EQ(U22().value(), 0u);
  EXPECT_EQ(U4(7), U4(7));
  EXPECT_NE(U4(7), U4(8));
}

TEST(BoundedTest, NegationIsTrueExactlyForZero) {
  EXPECT_TRUE(!U1(0));
  EXPECT_TRUE(!U1());
  EXPECT_FALSE(!U1(1));
}

U1 parseU1(std::string const& text, std::size_t* consumed = nullptr) {
  Zef::String8 s(text);
  Zef::TextIterator it = s.begin();
  U1 u(it, s.end());
  if (consumed) *consumed = static_cast<std::size_t>(it - s.begin());
  return u;
}

TEST(BoundedTest, U1TextIsOneDigitAndReadsBack) {
  EXPECT_EQ(valueToStrep(U1(0)), "0");
  EXPECT_EQ(valueToStrep(U1(1)), "1");
  std::size_t consumed = 0;
  EXPECT_EQ(parseU1("1, next", &consumed), U1(1));
  EXPECT_EQ(consumed, 1u);
  EXPECT_EQ(parseU1("0"), U1(0));
}

TEST(BoundedTest, U1TextOutOfRangeOrNotANumberIsRefusedAndTheIteratorStays) {
  for (char const* text : {"2", "-1", "99999999999999999999"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(parseU1(text), Zef::RangeException);
  }
  try {
    parseU1("2");
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(), "U1::value < 0 or > 0x01 not allowed");
  }
  Zef::String8 s("x");
  Zef::TextIterator it = s.begin();
  EXPECT_THROW(U1(it, s.end()), Zef::RangeException);
  EXPECT_EQ(it, s.begin());
}

TEST(BoundedTest, U1HasOneTypeObjectNamedU1) {
  Zef::ZefType* t = U1::_fwkType();
  EXPECT_EQ(t, U1::_fwkType());
  EXPECT_EQ(t->name(), "U1");
  EXPECT_EQ(t->base(), nullptr);
  EXPECT_TRUE(t->isNondestructing());
}

// A number typed on its own is read by the text form's integer reader and
// checked against its type's range; it never wraps.
TEST(BoundedTest, ANumberReadOnItsOwnIsRefusedOutsideItsRange) {
  auto message = [](char const* text, unsigned long long max, char const* rangeMessage) -> std::string {
    try {
      Zef::strepToUnsigned(text, max, rangeMessage);
    } catch (Zef::RangeException const& e) {
      return e.what();
    }
    return "no exception";
  };
  EXPECT_EQ(Zef::strepToUnsigned("255", 0xff, Zef::kU8Message), 255u);
  EXPECT_EQ(Zef::strepToUnsigned("4294967295", 0xffffffff, Zef::kU32Message), 4294967295u);
  EXPECT_EQ(message("256", 0xff, Zef::kU8Message), "U8::value < 0 or > 0xff not allowed");
  EXPECT_EQ(message("-1", 0xffffffff, Zef::kU32Message), "U32::value < 0 or > 0xffffffff not allowed");
  EXPECT_EQ(message("4294967296", 0xffffffff, Zef::kU32Message), "U32::value < 0 or > 0xffffffff not allowed");
  EXPECT_EQ(message("99999999999999999999", 0xffffffff, Zef::kU32Message),
            "number out of range: 99999999999999999999");
  EXPECT_EQ(message("12abc", 0xff, Zef::kU8Message), "junk at column 2 deserializing 12abc");
  EXPECT_EQ(message("", 0xff, Zef::kU8Message), "expected an integer at end of text");
}

TEST(BoundedTest, ATimeStampReadOnItsOwnTakesTheWholeText) {
  EXPECT_EQ(Zef::strepToNumber<double>("2.5"), 2.5);
  EXPECT_EQ(Zef::strepToNumber<double>("1e3"), 1000.0);
  EXPECT_THROW(Zef::strepToNumber<double>("2.5s"), Zef::RangeException);
  EXPECT_THROW(Zef::strepToNumber<double>("x"), Zef::RangeException);
}

}  // namespace
