// The pointer-keyed table under the record of children: against a standard
// map through long runs of insertions and removals, where removals shift
// runs back across the end of the table.
#include "runtime/entity/pointer_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

namespace {

using Table = Zef::PointerTable<int const*, int>;

void expectSame(Table& table, std::map<int const*, int> const& reference) {
  ASSERT_EQ(table.size(), reference.size());
  for (auto const& [key, value] : reference) {
    int* found = table.find(key);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, value);
  }
  std::size_t seen = 0;
  table.forEach([&](int const* key, int value) {
    ++seen;
    auto it = reference.find(key);
    ASSERT_NE(it, reference.end());
    EXPECT_EQ(value, it->second);
  });
  EXPECT_EQ(seen, reference.size());
}

TEST(PointerTable, InsertionsAndRemovalsAgreeWithAStandardMap) {
  // Neighbouring objects, as entities made one after another are.
  std::vector<int> objects(3000);
  std::mt19937 random(7);
  Table table;
  std::map<int const*, int> reference;
  for (int step = 0; step < 60000; ++step) {
    int const* key = &objects[random() % objects.size()];
    switch (random() % 3) {
      case 0:
      case 1:
        table[key] = step;
        reference[key] = step;
        break;
      default:
        table.erase(key);
        reference.erase(key);
        break;
    }
    if (step % 5000 == 0) expectSame(table, reference);
  }
  expectSame(table, reference);
  for (int const& o : objects) {
    EXPECT_EQ(table.find(&o) != nullptr, reference.count(&o) == 1);
  }
}

TEST(PointerTable, EveryMemberRemovedLeavesItEmptyAndUsable) {
  std::vector<int> objects(100);
  Table table;
  for (int& o : objects) table[&o] = 1;
  EXPECT_EQ(table.size(), objects.size());
  for (int& o : objects) table.erase(&o);
  EXPECT_TRUE(table.empty());
  for (int& o : objects) EXPECT_EQ(table.find(&o), nullptr);
  table.erase(&objects[0]);  // absent: nothing happens
  table[&objects[3]] = 4;
  EXPECT_EQ(*table.find(&objects[3]), 4);
  EXPECT_EQ(table.size(), 1u);
}

TEST(PointerTable, AnEmptyTableFindsNothing) {
  Table table;
  int x = 0;
  EXPECT_EQ(table.find(&x), nullptr);
  table.erase(&x);
  EXPECT_TRUE(table.empty());
}

std::vector<int*> members(Zef::OneOrMany<int> const& group) {
  std::vector<int*> out;
  group.forEach([&](int* m) { out.push_back(m); });
  std::sort(out.begin(), out.end());
  return out;
}

TEST(OneOrMany, HoldsOneInPlaceAndManyInATableAndEmptiesEitherWay) {
  int a = 0, b = 0, c = 0;
  Zef::OneOrMany<int> group;
  EXPECT_TRUE(group.empty());
  group.add(&a);
  EXPECT_EQ(members(group), std::vector<int*>{&a});
  group.remove(&b);  // not a member: nothing happens
  EXPECT_EQ(members(group), std::vector<int*>{&a});
  group.add(&b);
  group.add(&c);
  std::vector<int*> all{&a, &b, &c};
  std::sort(all.begin(), all.end());
  EXPECT_EQ(members(group), all);

  Zef::OneOrMany<int> moved = std::move(group);
  EXPECT_TRUE(group.empty());
  moved.remove(&b);
  moved.remove(&a);
  EXPECT_EQ(members(moved), std::vector<int*>{&c});
  moved.remove(&c);
  EXPECT_TRUE(moved.empty());
  moved.add(&b);
  EXPECT_EQ(members(moved), std::vector<int*>{&b});
}

}  // namespace
