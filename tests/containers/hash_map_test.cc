// The name-keyed intrusive hash map and its iterators.
#include "containers/hash_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Zef::Name;
using Zef::Ptr;

struct Member : Zef::PtrInterface {
  explicit Member(Name n, bool* destroyed = nullptr) : name(std::move(n)), destroyed(destroyed) {}
  ~Member() override {
    if (destroyed) *destroyed = true;
  }
  Name const& fwkKey() const { return name; }
  Name name;
  bool* destroyed;
  Ptr<Member> fwkHmNext;
};

// A second member type in the same map, for the derived-type iterators.
struct Special : Member {
  using Member::Member;
};

using Map = Zef::HashMap<Member, Name>;

Ptr<Member> member(Name n, bool* destroyed = nullptr) { return Ptr<Member>(new Member(std::move(n), destroyed), Zef::adoptRef); }

// The order every iteration must follow.
bool before(Name const& a, Name const& b) {
  unsigned ha = Zef::rhash<Name>(a), hb = Zef::rhash<Name>(b);
  return ha != hb ? ha < hb : a < b;
}

std::vector<std::string> sorted(std::set<std::string> const& names) {
  std::vector<std::string> out(names.begin(), names.end());
  std::sort(out.begin(), out.end(), [](auto const& a, auto const& b) { return before(a, b); });
  return out;
}

std::vector<std::string> walk(Map const& map) {
  std::vector<std::string> out;
  for (Map::IteratorConst it(&map); it; ++it) out.push_back(it->name.str());
  return out;
}

std::string randomName(std::mt19937& rng) {
  static char const letters[] = "abcdefghijklmnopqrstuvwxyz0123456789-/";
  std::string s(1 + rng() % 12, ' ');
  for (char& c : s) c = letters[rng() % (sizeof letters - 1)];
  return s;
}

// Two names whose string hashes are equal.
Name const kTwinA = "port73162";
Name const kTwinB = "port102983";

TEST(HashMapKeyTest, RhashReversesTheBitsOfEachKeyKind) {
  EXPECT_EQ(Zef::bitReverse(1u), 0x80000000u);
  EXPECT_EQ(Zef::bitReverse(0x0000F00Du), 0xB00F0000u);
  EXPECT_EQ(Zef::rhash<Name>(Name("chip0")), Zef::bitReverse(Name("chip0").hash()));
  EXPECT_EQ(Zef::rhash<Zef::AttributeId>(3), 0xC0000000u);
  EXPECT_EQ(Zef::rhash<Zef::EntityId>(0x500000006ull), Zef::bitReverse(0x80000003u));
  ASSERT_EQ(kTwinA.hash(), kTwinB.hash());
}

// The name hash is fixed, so every process and host iterates alike; these
// cover each length class of its word reads.
TEST(HashMapKeyTest, TheNameHashIsFixed) {
  EXPECT_EQ(Name("").hash(), 0x9a09097bu);
  EXPECT_EQ(Name("a").hash(), 0x7cfed98du);
  EXPECT_EQ(Name("chip0").hash(), 0x735f89e8u);
  EXPECT_EQ(Name("Ethernet1/1").hash(), 0x7b347c5du);
  EXPECT_EQ(Name("a-rather-long-port-name/with/parts").hash(), 0xb12706ccu);
}

TEST(HashMapKeyTest, ShortAndLongNamesCompareByEveryByte) {
  std::string const base = "abcdefghijklmnopqrstuvwxyz";
  for (std::size_t n = 0; n <= base.size(); ++n) {
    Name const a = base.substr(0, n);
    EXPECT_TRUE(Zef::hashMapKeyEquals(a, Name(base.substr(0, n))));
    EXPECT_FALSE(Zef::hashMapKeyEquals(a, Name(base.substr(0, n) + "!")));
    for (std::size_t i = 0; i < n; ++i) {
      std::string other = base.substr(0, n);
      other[i] = '#';
      EXPECT_FALSE(Zef::hashMapKeyEquals(a, Name(other))) << n << " " << i;
    }
  }
}

TEST(HashMapTest, AnEmptyMapYieldsNothing) {
  Map map;
  EXPECT_EQ(map.memberCount(), 0u);
  EXPECT_EQ(map.bucketCount(), 1u);
  EXPECT_EQ(map["a"], nullptr);
  EXPECT_EQ(map.startAtHash("a"), nullptr);
  EXPECT_EQ(map.memberDel("a"), nullptr);
  EXPECT_EQ(map.deleteOneMember(), nullptr);
  EXPECT_EQ(map.version(), 0u);
  Map::IteratorConst all(&map), fromKey(&map, Name("a"));
  Map::Iterator mutableAll(&map);
  EXPECT_FALSE(all);
  EXPECT_FALSE(fromKey);
  EXPECT_FALSE(mutableAll);
  EXPECT_EQ(all.bucket(), -1);
  EXPECT_FALSE(all.hasBookmark());
  Map::IteratorConst none(nullptr);
  EXPECT_FALSE(none);
}

TEST(HashMapTest, LookUpFindsPresentNamesOnly) {
  Map map;
  auto a = member("alpha"), b = member("beta");
  map.memberIs(a);
  map.memberIs(b);
  EXPECT_EQ(map["alpha"], a.ptr());
  EXPECT_EQ(map["beta"], b.ptr());
  EXPECT_EQ(map["gamma"], nullptr);
  EXPECT_EQ(map[""], nullptr);
  std::uint32_t const version = map.version();
  EXPECT_EQ(map.memberDel("gamma"), nullptr);
  EXPECT_EQ(map.memberCount(), 2u);
  EXPECT_EQ(map.version(), version);
  EXPECT_EQ(map.deleteMember(Name("alpha")), a);
  EXPECT_EQ(map["alpha"], nullptr);
  EXPECT_EQ(map.version(), version + 1);
}

TEST(HashMapTest, TheMapHoldsExactlyOneReferencePerMember) {
  bool aGone = false, bGone = false;
  auto a = member("a", &aGone), b = member("b", &bGone);
  {
    Map map;
    map.memberIs(a);
    map.memberIs(b);
    EXPECT_EQ(a->references(), 2u);
    EXPECT_EQ(b->references(), 2u);
    Ptr<Member> removed = map.memberDel("a");
    EXPECT_EQ(removed, a);
    EXPECT_FALSE(a->fwkHmNext);
    EXPECT_EQ(a->references(), 2u);  // ours and the returned one
    removed = nullptr;
    EXPECT_EQ(a->references(), 1u);
    b = nullptr;  // now only the map holds b
    EXPECT_FALSE(bGone);
  }
  EXPECT_TRUE(bGone);  // released by the map's destructor
  EXPECT_FALSE(aGone);
}

TEST(HashMapTest, DestroyingTheMapClearsLinksAndKeepsOtherHoldersAlive) {
  std::vector<Ptr<Member>> held;
  {
    Map map;
    for (int i = 0; i < 50; ++i) {
      held.push_back(member("m" + std::to_string(i)));
      map.memberIs(held.back());
    }
  }
  for (auto const& m : held) {
    EXPECT_FALSE(m->fwkHmNext);
    EXPECT_EQ(m->references(), 1u);
  }
}

TEST(HashMapTest, EqualHashesAreOrderedByNameAndDuplicatesKeepTheOlderFirst) {
  Map map;
  auto b = member(kTwinB), a = member(kTwinA), again = member(kTwinA);
  map.memberIs(b);
  // Alone in its bucket with the same hash: found by its key only.
  EXPECT_EQ(map[kTwinA], nullptr);
  map.memberIs(a);
  map.memberIs(again);
  std::vector<Member const*> seen;
  for (Map::IteratorConst it(&map); it; ++it) seen.push_back(it.ptr());
  Member const* first = kTwinA < kTwinB ? a.ptr() : b.ptr();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen.front(), first);
  // The duplicate goes after the member already there; look-up finds the older.
  EXPECT_EQ(map[kTwinA], a.ptr());
  auto ia = std::find(seen.begin(), seen.end(), a.ptr());
  ASSERT_NE(ia + 1, seen.end());
  EXPECT_EQ(ia[1], again.ptr());
}

TEST(HashMapTest, AttributeIdKeysFollowTheirReversedBits) {
  struct Abort : Zef::PtrInterface {
    explicit Abort(Zef::AttributeId i) : id(i) {}
    Zef::AttributeId fwkKey() const { return id; }
    Zef::AttributeId id;
    Ptr<Abort> fwkHmNext;
  };
  Zef::HashMap<Abort, Zef::AttributeId> map;
  std::vector<Ptr<Abort>> held;
  for (Zef::AttributeId id : {1, 2, 3, 0, -1}) {
    held.emplace_back(new Abort(id), Zef::adoptRef);
    map.memberIs(held.back());
  }
  std::vector<Zef::AttributeId> order;
  for (Zef::HashMap<Abort, Zef::AttributeId>::IteratorConst it(&map); it; ++it) {
    order.push_back(it->id);
    EXPECT_EQ(it.hasBookmark(), it->id != 0);
  }
  // rhash: 0 -> 0, 2 -> 0x4..., 1 -> 0x8..., 3 -> 0xC..., -1 -> 0xFFFFFFFF.
  EXPECT_EQ(order, (std::vector<Zef::AttributeId>{0, 2, 1, 3, -1}));
  EXPECT_EQ(map[3], held[2].ptr());
}

// Random names, inserted and removed over several growths: the iteration is
// always the order rule, look-ups agree with a reference set, and the table
// stays a power of two that is at least as large as it was.
TEST(HashMapPropertyTest, RandomInsertsAndRemovalsAlwaysIterateInOrder) {
  std::mt19937 rng(54980);
  for (int round = 0; round < 4; ++round) {
    Map map;
    std::set<std::string> names;
    std::vector<Ptr<Member>> removedHeld;
    std::uint32_t buckets = map.bucketCount();
    for (int step = 0; step < 40; ++step) {
      int const inserts = 1 + static_cast<int>(rng() % 60);
      for (int i = 0; i < inserts; ++i) {
        std::string n = randomName(rng);
        if (!names.insert(n).second) continue;
        map.memberIs(member(n));
      }
      for (int i = static_cast<int>(rng() % 20); i > 0 && !names.empty(); --i) {
        auto victim = std::next(names.begin(), static_cast<long>(rng() % names.size()));
        Ptr<Member> m = map.memberDel(*victim);
        ASSERT_TRUE(m) << *victim;
        EXPECT_FALSE(m->fwkHmNext);
        EXPECT_EQ(m->references(), 1u);
        names.erase(victim);
      }
      ASSERT_EQ(walk(map), sorted(names));
      EXPECT_EQ(map.memberCount(), names.size());
      EXPECT_TRUE(std::has_single_bit(map.bucketCount()));
      EXPECT_GE(map.bucketCount(), buckets);
      EXPECT_LE(map.memberCount() * 2, map.bucketCount());
      buckets = map.bucketCount();
      for (auto const& n : names) ASSERT_NE(map[n], nullptr) << n;
      for (int i = 0; i < 20; ++i) {
        std::string n = randomName(rng);
        EXPECT_EQ(map[n] != nullptr, names.count(n) == 1);
      }
    }
    EXPECT_GT(map.bucketCount(), 64u) << "the table grew several times";
  }
}

TEST(HashMapTest, GrowthKeepsTheOrderAndTheBucketOfEachMember) {
  Map map;
  std::set<std::string> names;
  int next = 0;
  while (map.bucketCount() < 256) {
    std::uint32_t const buckets = map.bucketCount();
    std::vector<std::string> beforeGrowth = walk(map);
    std::string n = "x" + std::to_string(next++);
    names.insert(n);
    map.memberIs(member(n));
    if (map.bucketCount() == buckets) continue;
    // The member that made the table grow leaves again: the rest iterates as before.
    map.memberDel(n);
    names.erase(n);
    EXPECT_EQ(walk(map), beforeGrowth);
    map.memberIs(member(n));
    names.insert(n);
  }
  EXPECT_EQ(walk(map), sorted(names));
  int const k = std::countr_zero(map.bucketCount());
  for (Map::IteratorConst it(&map); it; ++it) {
    EXPECT_EQ(static_cast<unsigned>(it.bucket()), Zef::rhash<Name>(it->name) >> (32 - k));
  }
  // Emptied, the table keeps its size.
  std::uint32_t const buckets = map.bucketCount();
  Map::Iterator(&map).deleteAll();
  EXPECT_EQ(map.bucketCount(), buckets);
  EXPECT_EQ(map.memberCount(), 0u);
}

TEST(HashMapTest, StartAtHashFindsTheKeyOrTheNextOne) {
  Map map;
  std::set<std::string> names;
  for (int i = 0; i < 100; ++i) {
    names.insert("n" + std::to_string(i * 3));
    map.memberIs(member("n" + std::to_string(i * 3)));
  }
  std::vector<std::string> const order = sorted(names);
  for (auto const& n : names) EXPECT_EQ(map.startAtHash(n), map[n]);
  for (int i = 0; i < 300; ++i) {
    std::string const absent = "n" + std::to_string(i * 3 + 1);
    auto const after = std::find_if(order.begin(), order.end(), [&](auto const& o) { return before(absent, o); });
    Member* found = map.startAtHash(absent);
    Map::IteratorConst it(&map, Name(absent));
    if (after == order.end()) {
      EXPECT_EQ(found, nullptr);
      EXPECT_FALSE(it);
      EXPECT_EQ(it.version(), 0u);
      EXPECT_EQ(it.bucket(), -1);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->name, *after);
      EXPECT_EQ(it.ptr(), found);
      EXPECT_EQ(it.version(), map.version());
    }
  }
}

TEST(HashMapIteratorTest, VersionAndBucketDescribeThePosition) {
  Map map;
  map.memberIs(member("a"));
  map.memberDel("a");
  Map::IteratorConst empty(&map);
  EXPECT_EQ(empty.version(), 2u);  // copied even from an empty map
  EXPECT_EQ(empty.bucket(), -1);
  auto a = member("a");
  map.memberIs(a);
  Map::IteratorConst at(&map, a.ptr());
  EXPECT_EQ(at.ptr(), a.ptr());
  EXPECT_EQ(at.version(), 3u);
  EXPECT_EQ(at.bucket(), static_cast<int>(map.bucketIndex(Zef::rhash<Name>(Name("a")))));
  EXPECT_EQ(a->references(), 3u);  // ours, the map's, the iterator's
  at.advance();
  EXPECT_FALSE(at);
  EXPECT_EQ(at.bucket(), -1);
  at.advance();  // at the end it stays there
  EXPECT_FALSE(at);
  EXPECT_EQ(a->references(), 2u);
  // A member of no map stands for its key.
  auto stranger = member("a");
  Map::IteratorConst fromStranger(&map, stranger.ptr());
  EXPECT_EQ(fromStranger.ptr(), a.ptr());
}

// Walks the whole map while each step removes the current member, by the
// iterator itself or by other code: every member is seen once, in order.
TEST(HashMapIteratorTest, RemovingTheCurrentMemberNeitherSkipsNorRepeats) {
  for (bool byIterator : {true, false}) {
    Map map;
    std::set<std::string> names;
    for (int i = 0; i < 200; ++i) {
      names.insert("p" + std::to_string(i));
      map.memberIs(member("p" + std::to_string(i)));
    }
    std::vector<std::string> seen;
    Map::Iterator it(&map);
    for (int i = 0; it; ++i) {
      seen.push_back(it->name.str());
      if (i % 2 == 0) {
        ++it;
        continue;
      }
      if (byIterator) {
        Member* successor = map.findNext(it.ptr(), nullptr);
        it.deletePtr();
        EXPECT_EQ(it.ptr(), successor);
        EXPECT_FALSE(it.hasBookmark());
        it.deletePtr();  // nothing left to remove here
        EXPECT_EQ(it.ptr(), successor);
      } else {
        map.memberDel(it->name);
        EXPECT_TRUE(it.hasBookmark());
      }
      ++it;
    }
    EXPECT_EQ(seen, sorted(names));
    EXPECT_EQ(map.memberCount(), 100u);
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < seen.size(); i += 2) kept.push_back(seen[i]);
    EXPECT_EQ(walk(map), kept);
  }
}

// Random changes while iterating: removals of the current member (by the
// iterator and by other code), of other members, and insertions that make the
// table grow. What the iterator yields is strictly increasing in the order
// rule, and it yields every member that was there throughout.
TEST(HashMapPropertyTest, IteratorsSurviveAnyChangeToTheMap) {
  std::mt19937 rng(7);
  for (int round = 0; round < 30; ++round) {
    Map map;
    std::set<std::string> names;
    for (int i = 0; i < 1 + static_cast<int>(rng() % 100); ++i) {
      std::string n = randomName(rng);
      if (names.insert(n).second) map.memberIs(member(n));
    }
    std::set<std::string> throughout = names;
    std::vector<std::string> seen;
    Map::Iterator it(&map);
    while (it) {
      std::string const current = it->name.str();
      seen.push_back(current);
      switch (rng() % 5) {
        case 0:
          it.deletePtr();
          names.erase(current);
          throughout.erase(current);
          break;
        case 1:
          map.memberDel(current);
          names.erase(current);
          throughout.erase(current);
          break;
        case 2:
          if (!names.empty()) {
            auto victim = std::next(names.begin(), static_cast<long>(rng() % names.size()));
            map.memberDel(*victim);
            throughout.erase(*victim);
            names.erase(victim);
          }
          break;
        case 3:
          for (int i = 0; i < 10; ++i) {
            std::string n = randomName(rng);
            if (names.insert(n).second) map.memberIs(member(n));
          }
          break;
        default:
          break;
      }
      ++it;
    }
    for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_TRUE(before(seen[i - 1], seen[i])) << seen[i];
    for (auto const& n : throughout) EXPECT_TRUE(std::count(seen.begin(), seen.end(), n)) << n;
    EXPECT_EQ(walk(map), sorted(names));
  }
}

class CountingIterator : public Map::Iterator {
 public:
  using Map::Iterator::Iterator;
  void deleteNotify(Ptr<Member> const& m) const override {
    notified.push_back(m->name.str());
    EXPECT_FALSE(m->fwkHmNext);
    Map::Iterator::deleteNotify(m);
  }
  void deleteNotify(Ptr<Member const> const&) const override { ++constNotified; }
  mutable std::vector<std::string> notified;
  mutable int constNotified = 0;
};

TEST(HashMapIteratorTest, DeleteAllNotifiesOncePerMember) {
  Map map;
  std::set<std::string> names;
  std::vector<Ptr<Member>> held;
  for (int i = 0; i < 300; ++i) {
    names.insert("q" + std::to_string(i));
    held.push_back(member("q" + std::to_string(i)));
    map.memberIs(held.back());
  }
  CountingIterator it(&map);
  it.deleteAll();
  EXPECT_EQ(map.memberCount(), 0u);
  EXPECT_EQ(map["q1"], nullptr);
  EXPECT_EQ(it.notified, sorted(names));  // removed in iteration order
  EXPECT_EQ(it.constNotified, 300);
  ++it;  // its old position re-locates in an empty map
  EXPECT_FALSE(it);
  for (auto const& m : held) EXPECT_EQ(m->references(), 1u);
}

TEST(HashMapIteratorTest, DeletePtrNotifiesTheRemovedMemberOnly) {
  Map map;
  auto a = member("a"), b = member("b");
  map.memberIs(a);
  map.memberIs(b);
  {
    CountingIterator it(&map);
    std::string const first = it->name.str();
    it.deletePtr();
    EXPECT_EQ(it.notified, std::vector<std::string>{first});
    EXPECT_EQ(it.constNotified, 1);
  }
  {
    // A current member that other code has removed already is not announced.
    CountingIterator it(&map);
    map.memberDel(it->name);
    it.deletePtr();
    EXPECT_TRUE(it.notified.empty());
    EXPECT_FALSE(it);
  }
  EXPECT_EQ(a->references(), 1u);
  EXPECT_EQ(b->references(), 1u);
}

// An iterator removing the member it stands on hands it to every other
// iterator there, whether the member heads its chain or follows another (the
// twins share one chain).
TEST(HashMapIteratorTest, DeletePtrLeavesItsMemberToOtherIteratorsThere) {
  std::vector<Name> names = {kTwinA, kTwinB};
  for (int i = 0; i < 30; ++i) names.push_back("p" + std::to_string(i));
  // From the second position on: an iterator counts its first member itself.
  for (std::size_t position = 1; position < names.size(); ++position) {
    bool destroyed[32] = {};
    Map map;
    for (std::size_t i = 0; i < names.size(); ++i) map.memberIs(member(names[i], &destroyed[i]));
    Map::Iterator it(&map);
    Map::IteratorConst other(&map);
    for (std::size_t i = 0; i < position; ++i) {
      ++it;
      ++other;
    }
    Member const* victim = it.ptr();
    std::string const name = victim->name.str();
    it.deletePtr();
    EXPECT_EQ(map[Name(name)], nullptr);
    ASSERT_EQ(other.ptr(), victim);
    EXPECT_EQ(victim->references(), 1u);
    EXPECT_EQ(other->name.str(), name);
    EXPECT_EQ(std::count(std::begin(destroyed), std::end(destroyed), true), 0);
    ++other;
    EXPECT_EQ(other.ptr(), it.ptr());
    EXPECT_EQ(std::count(std::begin(destroyed), std::end(destroyed), true), 1);
  }
}

TEST(HashMapIteratorTest, DerivedIteratorsStopOnlyAtTheDerivedType) {
  Map map;
  std::set<std::string> specials;
  for (int i = 0; i < 60; ++i) {
    std::string n = "d" + std::to_string(i);
    if (i % 3 == 0) {
      map.memberIs(Ptr<Member>(new Special(n), Zef::adoptRef));
      specials.insert(n);
    } else {
      map.memberIs(member(n));
    }
  }
  std::vector<std::string> seen;
  for (Map::DerIteratorConst<Special> it(&map); it; ++it) seen.push_back(it->name.str());
  EXPECT_EQ(seen, sorted(specials));
  // Removing through the derived iterator leaves it on the next Special.
  Map::DerIterator<Special> it(&map);
  while (it) {
    Special* s = it.ptr();
    it.deletePtr();
    EXPECT_TRUE(!it || dynamic_cast<Special*>(it.ptr()));
    EXPECT_NE(it.ptr(), s);
    ++it;
  }
  EXPECT_EQ(map.memberCount(), 40u);
  EXPECT_FALSE(Map::DerIteratorConst<Special>(&map));
}

TEST(HashMapDeathTest, InsertingALinkedMemberIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Map map, other;
  // Equal hashes share a chain, so the first of the two links to the second.
  map.memberIs(member(kTwinA));
  map.memberIs(member(kTwinB));
  Ptr<Member> linked(map.startAtHash(std::min(kTwinA, kTwinB)));
  ASSERT_TRUE(linked && linked->fwkHmNext);
  char const* const message = "/usr/include/Zef/HashMap:319: Assertion `t->fwkHmNext\\(\\) == 0' failed";
  EXPECT_DEATH(other.memberIs(linked), message);
  EXPECT_EQ(other.memberCount(), 0u);
  // The last member of its chain has a clear link; inserting it again is
  // the same mistake.
  Ptr<Member> last(map.startAtHash(std::max(kTwinA, kTwinB)));
  ASSERT_TRUE(last && !last->fwkHmNext);
  EXPECT_DEATH(map.memberIs(last), message);
}

}  // namespace
