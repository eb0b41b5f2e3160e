// The runtime's text pieces: literals, quoted strings, integers and doubles,
// their text forms, printf-style formatting and the parser's rethrow.
#include "runtime/text/text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace {

using Zef::String8;
using Zef::TextIterator;

// Runs a reader on `text`; gives what it read and how much it consumed.
template <class T>
T read(std::string const& text, std::size_t* consumed = nullptr) {
  String8 s(text);
  TextIterator it = s.begin();
  T v = Zef::sequenceToValue<T>(it, s.end());
  if (consumed) *consumed = static_cast<std::size_t>(it - s.begin());
  return v;
}

// The message of the range exception that `f` throws; the reader's position
// must not have moved.
template <class F>
std::string refusal(std::string const& text, F f) {
  String8 s(text);
  TextIterator it = s.begin();
  try {
    f(it, s.end());
  } catch (Zef::RangeException const& e) {
    EXPECT_EQ(it, s.begin()) << "a failed read moved the position";
    return e.what();
  }
  ADD_FAILURE() << "no exception for " << text;
  return "";
}

template <class T>
std::string readRefusal(std::string const& text) {
  return refusal(text, [](TextIterator& it, TextIterator const& end) { Zef::sequenceToValue<T>(it, end); });
}

std::size_t consumedBy(std::string const& text, std::string_view literal) {
  String8 s(text);
  TextIterator it = s.begin();
  Zef::needString(it, s.end(), literal);
  return static_cast<std::size_t>(it - s.begin());
}

TEST(NeedStringTest, ABlankMatchesAnyRunOfWhiteSpaceNoneIncluded) {
  EXPECT_EQ(consumedBy("(x", " ("), 1u);
  EXPECT_EQ(consumedBy(" \t\n\r (x", " ("), 6u);
  EXPECT_EQ(consumedBy(", **{", " , **"), 4u);
  EXPECT_EQ(consumedBy("}  )  tail", "} ) "), 6u);
  EXPECT_EQ(consumedBy("", " "), 0u);
}

TEST(NeedStringTest, AMissingLiteralIsRefusedWithWhatWasExpectedAndWhatStood) {
  auto need = [](std::string_view literal) {
    return [literal](TextIterator& it, TextIterator const& end) { Zef::needString(it, end, literal); };
  };
  EXPECT_EQ(refusal(" **x", need(" ** {")), "expected \" ** {\" at \" **x\"");
  EXPECT_EQ(refusal("", need(" Value")), "expected \" Value\" at end of text");
  EXPECT_EQ(refusal("Valu", need(" Value")), "expected \" Value\" at \"Valu\"");
  EXPECT_EQ(refusal("abcdefghijklmnopqrstuvwxyz", need("x")), "expected \"x\" at \"abcdefghijklmnopqrstuvwx...\"");
}

TEST(QuotedStringTest, ReadsUpToTheClosingQuoteWithEscapes) {
  std::size_t consumed = 0;
  EXPECT_EQ(read<String8>("'when': 1", &consumed), "when");
  EXPECT_EQ(consumed, 6u);
  EXPECT_EQ(read<String8>("''"), "");
  EXPECT_EQ(read<String8>(R"('it\'s \\ \n\t\r \x41\x7e')"), "it's \\ \n\t\r A~");
}

TEST(QuotedStringTest, MalformedStringsAreRefused) {
  EXPECT_EQ(readRefusal<String8>("when"), "expected a quoted string at \"when\"");
  EXPECT_EQ(readRefusal<String8>(""), "expected a quoted string at end of text");
  EXPECT_EQ(readRefusal<String8>("'when"), "unterminated quoted string at \"'when\"");
  EXPECT_EQ(readRefusal<String8>("'a\\"), "unterminated quoted string at \"'a\\\"");
  EXPECT_EQ(readRefusal<String8>("'\\x4'"), "bad \\x escape in quoted string at \"'\\x4'\"");
}

TEST(QuotedStringTest, EveryByteStringRoundTrips) {
  std::mt19937 rng(11);
  for (int i = 0; i < 500; ++i) {
    std::string s(rng() % 40, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    std::string text = Zef::valueToStrep(String8(s)).str();
    std::size_t consumed = 0;
    EXPECT_EQ(read<String8>(text + "rest", &consumed).str(), s);
    EXPECT_EQ(consumed, text.size());
  }
  EXPECT_EQ(Zef::valueToStrep(String8("a'b\\c\n\x01")), R"('a\'b\\c\n\x01')");
}

TEST(IntegerTextTest, ReadsSignedDecimalAndStopsAtTheFirstNonDigit) {
  std::size_t consumed = 0;
  EXPECT_EQ(read<long long>("42, x", &consumed), 42);
  EXPECT_EQ(consumed, 2u);
  EXPECT_EQ(read<long long>("-1"), -1);
  EXPECT_EQ(read<long long>("9223372036854775807"), std::numeric_limits<long long>::max());
  EXPECT_EQ(read<long long>("-9223372036854775808"), std::numeric_limits<long long>::min());
}

TEST(IntegerTextTest, NonNumbersAndOverflowAreRefused) {
  EXPECT_EQ(readRefusal<long long>("x1"), "expected an integer at \"x1\"");
  EXPECT_EQ(readRefusal<long long>("+1"), "expected an integer at \"+1\"");
  EXPECT_EQ(readRefusal<long long>(""), "expected an integer at end of text");
  EXPECT_EQ(readRefusal<long long>("9223372036854775808}"), "number out of range: 9223372036854775808");
}

TEST(IntegerTextTest, UnsignedNumbersAreWrittenInDecimal) {
  EXPECT_EQ(Zef::valueToStrep(0ull), "0");
  EXPECT_EQ(Zef::valueToStrep(18446744073709551615ull), "18446744073709551615");
  EXPECT_EQ(Zef::valueToStrep(4294967295u), "4294967295");
}

TEST(DoubleTextTest, WrittenInTheShortestFormThatReadsBack) {
  EXPECT_EQ(Zef::valueToStrep(0.0), "0");
  EXPECT_EQ(Zef::valueToStrep(-0.0), "-0");
  EXPECT_EQ(Zef::valueToStrep(0.1), "0.1");
  EXPECT_EQ(Zef::valueToStrep(1e300), "1e+300");
  EXPECT_EQ(Zef::valueToStrep(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(Zef::valueToStrep(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(Zef::valueToStrep(std::numeric_limits<double>::quiet_NaN()), "nan");
}

TEST(DoubleTextTest, NumbersThatAreNotFiniteReadBack) {
  EXPECT_TRUE(std::isnan(read<double>("nan")));
  EXPECT_TRUE(std::signbit(read<double>("-nan")));
  EXPECT_EQ(read<double>("inf"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(read<double>("-inf"), -std::numeric_limits<double>::infinity());
}

TEST(DoubleTextTest, NumbersBeyondADoublesRangeNarrowToInfinityOrZero) {
  EXPECT_EQ(read<double>("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(read<double>("-1e400"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(read<double>("1e-400"), 0.0);
  EXPECT_EQ(read<double>("4.9e-324"), std::numeric_limits<double>::denorm_min());
}

TEST(DoubleTextTest, MalformedOrUnrepresentableNumbersAreRefused) {
  EXPECT_EQ(readRefusal<double>("x"), "expected a number at \"x\"");
  EXPECT_EQ(readRefusal<long double>(""), "expected a number at end of text");
  EXPECT_EQ(readRefusal<double>("1e99999,"), "number out of range: 1e99999");
}

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// Texts of doubles that lie so near the halfway point between two doubles
// that, read as a long double, they land on it exactly; narrowing that would
// round a second time, to the wrong neighbour.
TEST(DoubleTextTest, TextsThatALongDoubleRoundsToAHalfwayPointStillReadBackExactly) {
  for (std::string text : {"13669329.77659922", "531498451.373319", "7.257868702803973e-208",
                           "-3.268675172706407e+282", "506708493.0090985"}) {
    SCOPED_TRACE(text);
    double d = 0;
    std::from_chars(text.data(), text.data() + text.size(), d);
    EXPECT_EQ(Zef::valueToStrep(d), text);
    EXPECT_EQ(bits(read<double>(text)), bits(d));
  }
}

TEST(DoubleTextTest, EveryDoubleButNaNReadsBackBitForBit) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> seconds(0, 4e9);
  for (int i = 0; i < 200000; ++i) {
    double d = i % 2 ? std::bit_cast<double>(rng()) : seconds(rng);
    if (std::isnan(d)) continue;
    std::string text = Zef::valueToStrep(d).str();
    ASSERT_EQ(bits(read<double>(text)), bits(d)) << text;
  }
  for (double d : {std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
                   std::numeric_limits<double>::min(), std::numeric_limits<double>::lowest()}) {
    EXPECT_EQ(bits(read<double>(Zef::valueToStrep(d).str())), bits(d));
  }
}

TEST(FormatTest, EachArgumentIsWrittenAsWhatItIs) {
  EXPECT_EQ(Zef::format("junk at column %d deserializing %s", std::int64_t{9000000000}, String8("x y")),
            "junk at column 9000000000 deserializing x y");
  EXPECT_EQ(Zef::format("%u %d %x %X %o", 4294967295u, -5, 255, 255u, 8), "4294967295 -5 ff FF 10");
  EXPECT_EQ(Zef::format("%s|%s|%s", "c", std::string("cpp"), std::string_view("view")), "c|cpp|view");
  EXPECT_EQ(Zef::format("%g %.3f %e", 0.5, 2.0, 1e10), "0.5 2.000 1.000000e+10");
  EXPECT_EQ(Zef::format("%c%c", 'o', 'k'), "ok");
}

TEST(FormatTest, FlagsWidthAndPrecisionApplyAndLengthModifiersAreIgnored) {
  EXPECT_EQ(Zef::format("[%5d|%-5d|%05d|%+d]", 42, 42, 42, 42), "[   42|42   |00042|+42]");
  EXPECT_EQ(Zef::format("[%6s|%-6s|%.2s]", "abc", String8("abc"), "abc"), "[   abc|abc   |ab]");
  EXPECT_EQ(Zef::format("%lld %lu %hhd %zu", 1, 2u, 3, std::size_t{4}), "1 2 3 4");
}

TEST(FormatTest, MismatchedArgumentsAreStillWrittenSafely) {
  EXPECT_EQ(Zef::format("%s %s %d", 7, 2.5, "text"), "7 2.5 text");
  EXPECT_EQ(Zef::format("%f", 3), "3.000000");
  EXPECT_EQ(Zef::format("%d", 1.5), "1.5");
}

TEST(FormatTest, PercentSignsAndWhatIsNotAConversionStandAsWritten) {
  EXPECT_EQ(Zef::format("100%% %k %"), "100% %k %");
  EXPECT_EQ(Zef::format("no conversions", 1, 2), "no conversions");
}

TEST(FormatTest, AConversionWithoutAnArgumentIsAnInternalError) {
  EXPECT_THROW(Zef::format("%d and %d", 1), Zef::InternalException);
}

TEST(RethrowTest, TheFieldsNameGoesInFrontAndTheIdsStay) {
  try {
    Zef::rethrowFromDeserializeAttr(Zef::RangeException("expected a number at \"x\"", {7}), "when");
  } catch (Zef::RangeException const& e) {
    EXPECT_STREQ(e.what(), "deserializing attribute when: expected a number at \"x\"");
    EXPECT_EQ(e.ids(), Zef::ExceptionIdSet{7});
    return;
  }
  ADD_FAILURE() << "no exception";
}

}  // namespace
