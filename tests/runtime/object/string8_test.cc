// The framework's string: short ones kept inline, longer ones on the heap,
// both behaving as std::string does.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>

#include "runtime/object/string8.h"

namespace {

using Zef::Name;
using Zef::String8;

// Text of `n` bytes that differs at every position, with a NUL inside from
// three bytes on: the size, not a terminator, ends a string.
std::string textOf(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(i == 2 ? '\0' : static_cast<char>('a' + i % 26));
  return s;
}

void expectHolds(String8 const& s, std::string const& want) {
  ASSERT_EQ(s.size(), want.size());
  EXPECT_EQ(s.empty(), want.empty());
  EXPECT_EQ(s.view(), want);
  EXPECT_EQ(s.str(), want);
  EXPECT_EQ(std::string(s.begin(), s.end()), want);
  EXPECT_EQ(s.charPtr()[want.size()], '\0') << "not terminated at " << want.size();
}

TEST(String8Test, EveryLengthAcrossTheInlineLimitIsKeptCopiedAndMoved) {
  for (std::size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    std::string const want = textOf(n);
    String8 s(want.data(), want.size());
    expectHolds(s, want);

    String8 copy(s);
    expectHolds(copy, want);
    EXPECT_TRUE(copy == s);

    String8 moved(std::move(copy));
    expectHolds(moved, want);
    expectHolds(copy, "");  // NOLINT: a moved-from string is empty

    // Assignments between a long and a short string, both ways, and to itself.
    String8 other(textOf(40 - n));
    other = s;
    expectHolds(other, want);
    String8& alias = other;
    other = alias;
    expectHolds(other, want);
    other = String8("x");
    expectHolds(other, "x");
    other = std::move(moved);
    expectHolds(other, want);
  }
}

TEST(String8Test, AppendingGrowsThroughTheInlineLimitAsStdStringDoes) {
  String8 s;
  std::string want;
  for (int i = 0; i < 40; ++i) {
    char const piece[] = {static_cast<char>('A' + i % 26), 0};
    s += piece;
    want += piece;
    expectHolds(s, want);
  }
  // Onto itself, short and long.
  String8 shortOne("abcdefg");
  shortOne += shortOne;
  expectHolds(shortOne, "abcdefgabcdefg");
  shortOne += shortOne;
  expectHolds(shortOne, "abcdefgabcdefgabcdefgabcdefg");
  expectHolds(String8("port") + String8("12") + "/stats", "port12/stats");
  expectHolds("/" + String8(textOf(20)), "/" + textOf(20));
  expectHolds(String8(textOf(30)).substr(3, 14), textOf(30).substr(3, 14));
  expectHolds(String8(textOf(30)).substr(10), textOf(30).substr(10));
}

TEST(String8Test, ComparisonAndHashingFollowTheBytesWhereverTheyAreKept) {
  std::mt19937 rng(7);
  auto random = [&](std::size_t maxLen) {
    std::string s(rng() % (maxLen + 1), '\0');
    for (char& c : s) c = static_cast<char>('a' + rng() % 3);  // few letters: many shared prefixes
    return s;
  };
  for (int i = 0; i < 5000; ++i) {
    std::string const a = random(20), b = random(20);
    String8 const sa(a), sb(b);
    EXPECT_EQ(sa == sb, a == b) << a << " / " << b;
    EXPECT_EQ(sa != sb, a != b) << a << " / " << b;
    EXPECT_EQ(sa < sb, a < b) << a << " / " << b;
    EXPECT_EQ(sa == b.c_str(), a == b) << a << " / " << b;
  }
  // Equal however they were made: grown, cut, or emptied by a move.
  String8 grown;
  for (char c : std::string("port12/st")) grown += std::string_view(&c, 1);
  EXPECT_TRUE(grown == String8("port12/st"));
  EXPECT_TRUE(String8("xport12/sty").substr(1, 9) == grown);
  EXPECT_FALSE(grown == String8("port12/su"));
  String8 long1(textOf(20));
  String8 moved(std::move(long1));
  EXPECT_TRUE(long1 == String8());  // NOLINT: a moved-from string is empty
  String8 short1("abcdefghijklmn");
  String8 short2(std::move(short1));
  EXPECT_TRUE(short1 == String8(""));  // NOLINT
  EXPECT_TRUE(short2 == String8("abcdefghijklmn"));
  EXPECT_FALSE(String8(textOf(15)) == String8(textOf(16)));
  // The same bytes hash the same, however the name was made.
  std::string const longText = textOf(33);
  Name built;
  for (char c : longText) built += std::string_view(&c, 1);
  EXPECT_EQ(built.hash(), Name(longText).hash());
  EXPECT_NE(Name("port1").hash(), Name("port2").hash());
}

}  // namespace
