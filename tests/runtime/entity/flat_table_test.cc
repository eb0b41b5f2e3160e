// The flat table under the records of children and weak reactors and the
// connections' entity ids: against a standard map through long runs of
// insertions and removals, where removals shift runs back across the end of
// the table; keys that are numbers; and values whose destruction comes back
// to the table.
#include "runtime/entity/flat_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace {

using Table = Zef::FlatTable<int const*, int>;

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

TEST(FlatTable, InsertionsAndRemovalsAgreeWithAStandardMap) {
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

TEST(FlatTable, EveryMemberRemovedLeavesItEmptyAndUsable) {
  std::vector<int> objects(100);
  std::size_t const pooled = Zef::ZefMemPool::bytesInUse();
  Table table;
  for (int& o : objects) table[&o] = 1;
  EXPECT_EQ(table.size(), objects.size());
  EXPECT_GT(Zef::ZefMemPool::bytesInUse(), pooled) << "its block is the framework pool's";
  for (int& o : objects) table.erase(&o);
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(Zef::ZefMemPool::bytesInUse(), pooled) << "and goes back once the table is empty";
  for (int& o : objects) EXPECT_EQ(table.find(&o), nullptr);
  table.erase(&objects[0]);  // absent: nothing happens
  table[&objects[3]] = 4;
  EXPECT_EQ(*table.find(&objects[3]), 4);
  EXPECT_EQ(table.size(), 1u);
}

TEST(FlatTable, AnEmptyTableFindsNothing) {
  Table table;
  int x = 0;
  EXPECT_EQ(table.find(&x), nullptr);
  table.erase(&x);
  EXPECT_TRUE(table.empty());
}

// Entity ids on a log count up by two from 1: every one is found, and a
// removal in the middle of a run keeps the rest of the run reachable.
TEST(FlatTable, NumberKeysCountingUpByTwoAgreeWithAStandardMap) {
  Zef::FlatTable<std::uint64_t, int> table;
  std::map<std::uint64_t, int> reference;
  std::mt19937 random(11);
  for (int step = 0; step < 40000; ++step) {
    std::uint64_t const id = 1 + 2 * (random() % 5000);
    if (random() % 4 == 0) {
      table.erase(id);
      reference.erase(id);
    } else {
      table[id] = step;
      reference[id] = step;
    }
  }
  ASSERT_EQ(table.size(), reference.size());
  for (std::uint64_t id = 1; id < 10001; id += 2) {
    auto it = reference.find(id);
    int const* found = std::as_const(table).find(id);
    ASSERT_EQ(found != nullptr, it != reference.end()) << id;
    if (found) {
      EXPECT_EQ(*found, it->second);
    }
  }
  std::size_t n = 0;
  EXPECT_TRUE(table.allOf([&](std::uint64_t id, int) { return ++n, reference.count(id) == 1; }));
  EXPECT_EQ(n, reference.size());
  n = 0;
  EXPECT_FALSE(table.allOf([&](std::uint64_t, int) { return ++n < 3; })) << "stops at the first that fails";
  EXPECT_EQ(n, 3u);
}

// A value that, as it goes, takes another member out of the same table, as
// an adapter released by a connection can take others with it.
struct Leaver {
  using Table = Zef::FlatTable<std::uint64_t, std::unique_ptr<Leaver>>;
  Leaver(Table* t, std::uint64_t k, std::vector<std::uint64_t>* g, std::uint64_t s)
      : table(t), takes(k), gone(g), self(s) {}
  Leaver(Leaver const&) = delete;
  Leaver& operator=(Leaver const&) = delete;
  Table* table;
  std::uint64_t takes;
  std::vector<std::uint64_t>* gone;
  std::uint64_t self;
  ~Leaver() {
    gone->push_back(self);
    if (takes) table->erase(takes);
  }
};

TEST(FlatTable, AValueWhoseDestructionChangesTheTableGoesAfterTheTableIsWhole) {
  Zef::FlatTable<std::uint64_t, std::unique_ptr<Leaver>> table;
  std::vector<std::uint64_t> gone;
  auto add = [&](std::uint64_t id, std::uint64_t takes) {
    table[id] = std::make_unique<Leaver>(&table, takes, &gone, id);
  };
  for (std::uint64_t id = 1; id < 200; id += 2) add(id, 0);
  add(201, 3);
  add(203, 201);
  table.erase(203);
  EXPECT_EQ(gone, (std::vector<std::uint64_t>{203, 201, 3}));
  EXPECT_EQ(table.size(), 99u);
  for (std::uint64_t id = 1; id < 200; id += 2) EXPECT_EQ(table.find(id) != nullptr, id != 3) << id;

  // Long runs of such removals, each taking another member or none.
  std::mt19937 random(5);
  std::map<std::uint64_t, std::uint64_t> reference;  // a member, and the one it takes
  for (std::uint64_t id = 1001; id < 5001; id += 2) {
    std::uint64_t takes = random() % 2 ? 1001 + 2 * (random() % 2000) : 0;
    if (takes == id) takes = 0;
    add(id, takes);
    reference[id] = takes;
  }
  std::function<void(std::uint64_t)> drop = [&](std::uint64_t id) {
    auto it = reference.find(id);
    if (it == reference.end()) return;
    std::uint64_t const takes = it->second;
    reference.erase(it);
    drop(takes);
  };
  for (int step = 0; step < 1500; ++step) {
    std::uint64_t const id = 1001 + 2 * (random() % 2000);
    table.erase(id);
    drop(id);
  }
  ASSERT_EQ(table.size(), reference.size() + 99);
  for (std::uint64_t id = 1001; id < 5001; id += 2) {
    ASSERT_EQ(table.find(id) != nullptr, reference.count(id) == 1) << id;
  }

  // Moved away, a table leaves an empty one; cleared, its members go after
  // it is empty.
  auto moved = std::move(table);
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.find(5), nullptr);
  table[7] = nullptr;
  EXPECT_EQ(table.size(), 1u);
  gone.clear();
  std::size_t const members = moved.size();
  moved.clear();
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(gone.size(), members);
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

// Two members stay in place; either may go first, and the third makes a
// table that holds all three.
TEST(OneOrMany, HoldsTwoInPlaceWhicheverGoesFirst) {
  int a = 0, b = 0, c = 0;
  auto sorted = [](std::vector<int*> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  Zef::OneOrMany<int> group;
  group.add(&a);
  group.add(&b);
  group.add(&b);  // already a member: still two
  EXPECT_EQ(members(group), sorted({&a, &b}));
  group.remove(&a);
  EXPECT_FALSE(group.empty());
  EXPECT_EQ(members(group), std::vector<int*>{&b});
  group.add(&c);
  group.remove(&c);
  EXPECT_EQ(members(group), std::vector<int*>{&b});
  group.remove(&b);
  EXPECT_TRUE(group.empty());
  EXPECT_TRUE(members(group).empty());

  group.add(&a);
  group.add(&b);
  group.add(&a);
  group.add(&c);
  EXPECT_EQ(members(group), sorted({&a, &b, &c}));
  Zef::OneOrMany<int> other;
  other.add(&c);
  other.add(&a);
  other = std::move(group);  // the table moves; the pair it held goes
  EXPECT_TRUE(group.empty());
  EXPECT_EQ(members(other), sorted({&a, &b, &c}));
}

}  // namespace
