#include "gnmi/gnmi_core.h"

#include <gtest/gtest.h>

namespace mountgnmi {
namespace {

Path parsed(std::string const& text) {
  Path p;
  std::string why;
  EXPECT_TRUE(parsePath(text, &p, &why)) << text << ": " << why;
  return p;
}

std::string refusal(std::string const& text) {
  Path p;
  std::string why;
  EXPECT_FALSE(parsePath(text, &p, &why)) << text;
  return why;
}

TEST(GnmiPath, KeyValuesMayHoldSlashes) {
  Path p = parsed("/interfaces/interface[name=chip0/port3]/state/counters/in-crc-errors");
  ASSERT_EQ(p.size(), 5u);
  EXPECT_EQ(p[1].name, "interface");
  EXPECT_EQ(p[1].keys.at("name"), "chip0/port3");
  EXPECT_EQ(p[4].name, "in-crc-errors");
}

TEST(GnmiPath, TextRoundTripsWithEscapes) {
  Path p = parsed("/a[k=x\\]y][j=1\\=2]/b");
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].keys.at("k"), "x]y");
  EXPECT_EQ(p[0].keys.at("j"), "1=2");
  EXPECT_EQ(parsed(pathText(p)), p);
  EXPECT_EQ(pathText({}), "/");
  EXPECT_TRUE(parsed("/").empty());
}

TEST(GnmiPath, MalformedPathsSayWhere) {
  EXPECT_NE(refusal("/a//b").find("without a name"), std::string::npos);
  EXPECT_NE(refusal("/a[name=x").find("without ']'"), std::string::npos);
  EXPECT_NE(refusal("/a[name]").find("without '='"), std::string::npos);
  EXPECT_NE(refusal("/a[=x]").find("key without a name"), std::string::npos);
  EXPECT_NE(refusal("/a[k=1][k=2]").find("twice"), std::string::npos);
  EXPECT_NE(refusal("/a[k=1]x").find("after a key"), std::string::npos);
  EXPECT_NE(refusal("/a/").find("trailing"), std::string::npos);
}

TEST(GnmiPath, WildcardsMatchOneOrManyElements) {
  Path leaf = parsed("/interfaces/interface[name=chip0/port3]/state/counters/in-crc-errors");
  EXPECT_TRUE(pathMatches(leaf, leaf));
  EXPECT_TRUE(pathMatches(parsed("/interfaces/interface[name=*]/state/counters/in-crc-errors"), leaf));
  EXPECT_TRUE(pathMatches(parsed("/interfaces/interface/state/counters/in-crc-errors"), leaf));
  EXPECT_TRUE(pathMatches(parsed("/interfaces/*/state/*/in-crc-errors"), leaf));
  EXPECT_TRUE(pathMatches(parsed("/.../in-crc-errors"), leaf));
  EXPECT_TRUE(pathMatches(parsed("/interfaces/.../counters/in-crc-errors"), leaf));
  EXPECT_FALSE(pathMatches(parsed("/interfaces/interface[name=chip0/port4]/state/counters/in-crc-errors"), leaf));
  EXPECT_FALSE(pathMatches(parsed("/interfaces/interface[id=chip0/port3]"), leaf));
  EXPECT_FALSE(pathMatches(parsed("/.../in-errors"), leaf));
  EXPECT_FALSE(pathMatches(parsed("/interfaces/interface[name=*]/state/counters/in-crc-errors/more"), leaf));
}

TEST(GnmiPath, APatternSelectsTheSubtreeUnderIt) {
  Path leaf = parsed("/phy/port[name=chip1/port0]/stats/crcErrors");
  EXPECT_TRUE(pathMatches(parsed("/phy/port[name=chip1/port0]"), leaf));
  EXPECT_TRUE(pathMatches(parsed("/"), leaf));
  EXPECT_FALSE(pathMatches(parsed("/phy/port[name=chip1/port0]/status"), leaf));
}

TEST(GnmiPath, SchemaLeavesWithWildcardKeysAcceptAnyName) {
  Path schema = parsed("/phy/port[name=*]/stats/crcErrors");
  EXPECT_TRUE(pathMatches(parsed("/phy/port[name=nonesuch]/stats/crcErrors"), schema));
  EXPECT_FALSE(pathMatches(parsed("/phy/port[name=chip0/port0]/stats/nonesuch"), schema));
}

CoalescingQueue::Item item(std::uint32_t leaf, std::string text) {
  return {leaf, Value{Value::Kind::string, std::move(text)}, 0, CoalescingQueue::Clock::now()};
}

std::vector<std::pair<std::uint32_t, std::string>> drained(CoalescingQueue& q) {
  std::vector<std::pair<std::uint32_t, std::string>> out;
  CoalescingQueue::Item i;
  while (q.pop(&i)) out.emplace_back(i.leaf, i.value.text);
  return out;
}

TEST(CoalescingQueue, KeepsEveryUpdateInOrderBelowCapacity) {
  CoalescingQueue q(4);
  q.push(item(1, "a"));
  q.push(item(1, "b"));
  q.push(item(2, "c"));
  EXPECT_EQ(q.coalesced(), 0u);
  EXPECT_EQ(drained(q), (std::vector<std::pair<std::uint32_t, std::string>>{{1, "a"}, {1, "b"}, {2, "c"}}));
}

TEST(CoalescingQueue, WhenFullKeepsTheLatestValueOfALeafInItsPlace) {
  CoalescingQueue q(2);
  q.push(item(1, "a"));
  q.push(item(2, "b"));
  q.push(item(1, "a2"));  // replaces leaf 1's entry
  q.push(item(2, "b2"));
  q.push(item(1, "a3"));
  EXPECT_EQ(q.coalesced(), 3u);
  EXPECT_EQ(q.size(), 2u);
  EXPECT_EQ(drained(q), (std::vector<std::pair<std::uint32_t, std::string>>{{1, "a3"}, {2, "b2"}}));
}

TEST(CoalescingQueue, NeverDropsALeafWhenFull) {
  CoalescingQueue q(2);
  for (std::uint32_t leaf = 0; leaf < 10; ++leaf) q.push(item(leaf, "v"));
  EXPECT_EQ(q.size(), 10u);
  EXPECT_EQ(q.coalesced(), 0u);
}

TEST(CoalescingQueue, CoalescesIntoTheLatestEntryAfterPops) {
  CoalescingQueue q(1);
  q.push(item(7, "a"));
  q.push(item(7, "b"));  // full: coalesces into "a"
  CoalescingQueue::Item i;
  ASSERT_TRUE(q.pop(&i));
  EXPECT_EQ(i.value.text, "b");
  q.push(item(7, "c"));  // a fresh entry: the leaf is no longer waiting
  q.push(item(7, "d"));
  EXPECT_EQ(q.coalesced(), 2u);
  EXPECT_EQ(drained(q), (std::vector<std::pair<std::uint32_t, std::string>>{{7, "d"}}));
}

TEST(CoalescingQueue, LagIsTheAgeOfTheOldestWaitingUpdate) {
  CoalescingQueue q(1);
  auto const t0 = CoalescingQueue::Clock::now();
  EXPECT_EQ(q.lagSeconds(t0), 0);
  q.push({1, {}, 0, t0});
  q.push({1, {}, 0, t0 + std::chrono::seconds(5)});  // coalesced: still as old as the first
  EXPECT_DOUBLE_EQ(q.lagSeconds(t0 + std::chrono::seconds(2)), 2.0);
}

}  // namespace
}  // namespace mountgnmi
