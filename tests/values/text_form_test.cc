// The text form of the values: the fixed templates, the parser's rules and
// messages, and round trips of all ten types.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>

#include "values/value_testing.h"

namespace {

using namespace phytest;
using Zef::String8;

// The message of the range exception that parsing `text` as a V throws.
template <class V>
std::string refusal(std::string const& text) {
  try {
    Zef::strepToValue<V>(String8(text));
  } catch (Zef::RangeException const& e) {
    return e.what();
  }
  ADD_FAILURE() << "accepted: " << text;
  return "";
}

Count count(U32 n, double when) { return valueOf<Count>(n, when); }

TEST(ValueTextTest, EveryTypeWritesItsFixedTemplate) {
  struct Row {
    String8 text;
    char const* expected;
  };
  Row const rows[] = {
      {valueToStrep(Event()), "Value('Hardware::Phy::Event', ** {'value': 0, 'when': 0})"},
      {valueToStrep(Count()), "Value('Hardware::Phy::Count', ** {'count': 0, 'when': 0})"},
      {valueToStrep(EventOrCount()), "Value('Hardware::Phy::EventOrCount', ** {'value': 0, 'count': 0, 'when': 0})"},
      {valueToStrep(ConditionOrChanged()),
       "Value('Hardware::Phy::ConditionOrChanged', ** {'current': 0, 'changed': 0, 'when': 0})"},
      {valueToStrep(ConditionStat()),
       "Value('Hardware::Phy::ConditionStat', ** {'current': 0, 'changes': 0, 'lastChange': 0})"},
      {valueToStrep(EventStat()), "Value('Hardware::Phy::EventStat', ** {'current': 0, 'count': 0, 'last': 0})"},
      {valueToStrep(CountStat()), "Value('Hardware::Phy::CountStat', ** {'count': 0, 'last': 0})"},
      {valueToStrep(EventOrCountStat()), "Value('Hardware::Phy::EventOrCountStat', ** {'count': 0, 'last': 0})"},
      {valueToStrep(ConditionOrCountStat()),
       "Value('Hardware::Phy::ConditionOrCountStat', ** {'current': 0, 'changes': 0, 'lastChange': 0})"},
      {valueToStrep(ConditionOrChangedStat()),
       "Value('Hardware::Phy::ConditionOrChangedStat', ** {'current': 0, 'changes': 0, 'lastChange': 0})"},
  };
  for (Row const& r : rows) EXPECT_EQ(r.text, r.expected);
}

TEST(ValueTextTest, FieldsUseTheRuntimesTexts) {
  auto e = valueOf<EventOrCount>(U1(1), 4294967295u, -1.25e-7);
  EXPECT_EQ(valueToStrep(e),
            "Value('Hardware::Phy::EventOrCount', ** {'value': 1, 'count': 4294967295, 'when': -1.25e-07})");
  std::ostringstream os;
  os << e;
  EXPECT_EQ(os.str(), valueToStrep(e).str());
}

TEST(ValueParseTest, FieldsMayComeInAnyOrderRepeatOrBeLeftOut) {
  EXPECT_EQ(Zef::strepToValue<Count>("Value('Hardware::Phy::Count', ** {})"), Count());
  EXPECT_EQ(Zef::strepToValue<Count>("Value('Hardware::Phy::Count', ** {'when': 2.5, 'count': 7})"), count(7, 2.5));
  EXPECT_EQ(Zef::strepToValue<Count>("Value('Hardware::Phy::Count', ** {'count': 1, 'count': 9})"), count(9, 0));
  EXPECT_EQ(Zef::strepToValue<Count>("Value('Hardware::Phy::Count', ** {'when': 3})"), count(0, 3));
}

TEST(ValueParseTest, WhiteSpaceMayStandAroundEveryToken) {
  EXPECT_EQ(Zef::strepToValue<Count>(" \n Value ( 'Hardware::Phy::Count' , ** { 'count' : 7 ,'when':1 } ) \t\n"),
            count(7, 1));
  EXPECT_EQ(Zef::strepToValue<Count>("Value('Hardware::Phy::Count',**{'count':7,'when':1})"), count(7, 1));
}

TEST(ValueParseTest, OnlyTheLow32BitsOfACountAreKept) {
  EXPECT_EQ(Zef::strepToValue<Count>("Value('Hardware::Phy::Count', ** {'count': 4294967296})"), count(0, 0));
  EXPECT_EQ(Zef::strepToValue<Count>("Value('Hardware::Phy::Count', ** {'count': -1})"), count(4294967295u, 0));
}

TEST(ValueParseTest, ParserMessages) {
  EXPECT_EQ(refusal<Count>("Value('Hardware::Phy::Count', ** {'value': 1})"), "Count has no such attribute: value");
  EXPECT_EQ(refusal<Count>("Value('Hardware::Phy::Count', ** {"), "premature end of value type Count");
  EXPECT_EQ(refusal<Count>("Value('Hardware::Phy::Count', ** {'count': 1 "), "premature end of value type Count");
  EXPECT_EQ(refusal<EventOrCountStat>("Value('Hardware::Phy::EventOrCountStat', ** {"),
            "premature end of value type EventOrCountStat");
  EXPECT_EQ(refusal<Count>("Value('Hardware::Phy::Event', ** {})"),
            "expected \" 'Hardware::Phy::Count'\" at \"'Hardware::Phy::Event', ...\"");
  EXPECT_EQ(refusal<Count>("Value('Hardware::Phy::Count' ** {})"), "expected \" ,\" at \" ** {})\"");
  EXPECT_EQ(refusal<Count>("Value('Hardware::Phy::Count', ** {'count': 1 'when': 2})"),
            "expected \", \" at \"'when': 2})\"");
  EXPECT_EQ(refusal<Count>("Value('Hardware::Phy::Count', ** {count: 1})"),
            "expected a quoted string at \"count: 1})\"");
}

TEST(ValueParseTest, AFieldsOwnFailureNamesTheField) {
  EXPECT_EQ(refusal<Event>("Value('Hardware::Phy::Event', ** {'value': 2})"),
            "deserializing attribute value: U1::value < 0 or > 0x01 not allowed");
  EXPECT_EQ(refusal<Count>("Value('Hardware::Phy::Count', ** {'count': x})"),
            "deserializing attribute count: expected an integer at \"x})\"");
  EXPECT_EQ(refusal<Count>("Value('Hardware::Phy::Count', ** {'when': 1e99999})"),
            "deserializing attribute when: number out of range: 1e99999");
}

TEST(ValueParseTest, JunkAfterTheValueIsRefusedWithItsColumnAndTheWholeInput) {
  std::string text = "Value('Hardware::Phy::Count', ** {})  x";
  EXPECT_EQ(refusal<Count>(text), "junk at column 38 deserializing " + text);
  try {
    Zef::strepToValue<Count>(String8(text));
  } catch (Zef::RangeException const& e) {
    EXPECT_TRUE(e.ids().empty());
  }
}

TEST(ValueParseTest, TheTextConstructorStopsBehindTheValueAndMovesOnlyOnSuccess) {
  String8 two("Value('Hardware::Phy::Count', ** {'count': 1}) Value('Hardware::Phy::Count', ** {'count': 2})");
  Zef::TextIterator it = two.begin();
  EXPECT_EQ(Count(it, two.end()), count(1, 0));
  EXPECT_EQ(it - two.begin(), 47);
  EXPECT_EQ(Count(it, two.end()), count(2, 0));
  EXPECT_EQ(it, two.end());
  String8 bad("Value('Hardware::Phy::Count', ** {'count': 1, 'x': 2})");
  it = bad.begin();
  EXPECT_THROW(Count(it, bad.end()), Zef::RangeException);
  EXPECT_EQ(it, bad.begin());
}

TEST(ValueParseTest, EveryCutOffTextIsRefused) {
  std::string const good = "Value('Hardware::Phy::EventOrCount', ** {'value': 1, 'count': 3, 'when': 1.5})";
  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_THROW(Zef::strepToValue<EventOrCount>(String8(good.substr(0, n))), Zef::RangeException) << n;
  }
}

template <class V>
class ValueTextRoundTripTest : public ::testing::Test {};
TYPED_TEST_SUITE(ValueTextRoundTripTest, AllValues);

TYPED_TEST(ValueTextRoundTripTest, TheTextOfAnyValueParsesToAnEqualValue) {
  std::mt19937_64 rng(17);
  for (int i = 0; i < 2000; ++i) {
    TypeParam v = randomValue<TypeParam>(rng);
    String8 text = valueToStrep(v);
    ASSERT_EQ(Zef::strepToValue<TypeParam>(text), v) << text;
    ASSERT_EQ(Zef::strepToValue(text, static_cast<TypeParam*>(nullptr)), v) << text;
  }
}

TYPED_TEST(ValueTextRoundTripTest, ANaNTimeStampReadsBackAsNaN) {
  TypeParam v;
  // The time stamp is every value's last field.
  auto last = std::get<std::tuple_size_v<decltype(TypeParam::zefFields())> - 1>(TypeParam::zefFields());
  v.*last.member = -std::numeric_limits<double>::quiet_NaN();
  String8 text = valueToStrep(v);
  EXPECT_NE(text.str().find("-nan"), std::string::npos);
  EXPECT_EQ(valueToStrep(Zef::strepToValue<TypeParam>(text)), text);
}

}  // namespace
