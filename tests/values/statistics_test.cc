// The update rules of the six statistics, case by case, with wrapping
// counters; updateIs and doUpdate agree on every case.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "values/value_testing.h"

namespace {

using namespace phytest;

// Every case starts from a counter of 10 and a time stamp of 5.0 and observes
// at 7.0.
constexpr U32 kCounter = 10;
constexpr double kBefore = 5.0, kAt = 7.0;

U1 flag(unsigned v) { return U1(static_cast<unsigned char>(v)); }

template <class S>
S condition(unsigned current, U32 changes = kCounter, double lastChange = kBefore) {
  return valueOf<S>(flag(current), changes, lastChange);
}

template <class S>
S counter(U32 count = kCounter, double last = kBefore) {
  return valueOf<S>(count, last);
}

struct ConditionRow {
  unsigned current, val;
  U32 n;  // the count, or the changed flag
  U32 changesAfter;
  double lastChangeAfter;
};

TEST(ConditionOrCountStatTest, WorkedCases) {
  ConditionRow const rows[] = {
      {0, 0, 0, 10, 5.0}, {0, 1, 0, 11, 7.0}, {1, 0, 0, 11, 7.0}, {1, 1, 0, 10, 5.0},
      {0, 0, 1, 12, 7.0}, {0, 1, 1, 11, 7.0}, {1, 0, 1, 13, 7.0}, {1, 1, 1, 12, 7.0},
      {0, 0, 3, 16, 7.0}, {0, 1, 3, 15, 7.0}, {1, 0, 3, 17, 7.0}, {1, 1, 3, 16, 7.0},
      // 2n - 1 for n = 2^31 is 4294967295: the sums wrap modulo 2^32.
      {0, 0, 2147483648u, 10, 7.0}, {0, 1, 2147483648u, 9, 7.0},
      {1, 0, 2147483648u, 11, 7.0}, {1, 1, 2147483648u, 10, 7.0},
  };
  for (ConditionRow const& r : rows) {
    SCOPED_TRACE(testing::Message() << "current " << r.current << " val " << r.val << " n " << r.n);
    auto s = condition<ConditionOrCountStat>(r.current);
    s.doUpdate(flag(r.val), r.n, kAt);
    EXPECT_EQ(s, condition<ConditionOrCountStat>(r.val, r.changesAfter, r.lastChangeAfter));
    auto viaUpdate = condition<ConditionOrCountStat>(r.current);
    viaUpdate.updateIs(valueOf<EventOrCount>(flag(r.val), r.n, kAt));
    EXPECT_EQ(viaUpdate, s);
  }
}

TEST(ConditionOrChangedStatTest, WorkedCases) {
  ConditionRow const rows[] = {
      {0, 0, 0, 10, 5.0}, {0, 1, 0, 11, 7.0}, {1, 0, 0, 11, 7.0}, {1, 1, 0, 10, 5.0},
      {0, 0, 1, 12, 7.0}, {0, 1, 1, 11, 7.0}, {1, 0, 1, 11, 7.0}, {1, 1, 1, 12, 7.0},
  };
  for (ConditionRow const& r : rows) {
    SCOPED_TRACE(testing::Message() << "current " << r.current << " val " << r.val << " changed " << r.n);
    auto s = condition<ConditionOrChangedStat>(r.current);
    s.doUpdate(flag(r.val), flag(r.n), kAt);
    EXPECT_EQ(s, condition<ConditionOrChangedStat>(r.val, r.changesAfter, r.lastChangeAfter));
    auto viaUpdate = condition<ConditionOrChangedStat>(r.current);
    viaUpdate.updateIs(valueOf<ConditionOrChanged>(flag(r.val), flag(r.n), kAt));
    EXPECT_EQ(viaUpdate, s);
  }
}

TEST(ConditionOrChangedStatTest, NoChangeToTheSameStateLeavesEveryBitAlone) {
  auto s = condition<ConditionOrChangedStat>(1, kCounter, std::numeric_limits<double>::quiet_NaN());
  auto before = s;
  s.doUpdate(flag(1), flag(0), kAt);
  EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0);
}

TEST(ConditionOrChangedStatTest, CountersWrap) {
  auto s = condition<ConditionOrChangedStat>(1, 4294967295u);
  s.doUpdate(flag(1), flag(1), kAt);
  EXPECT_EQ(s.changes(), 1u);
}

TEST(ConditionStatTest, WorkedCases) {
  auto s = condition<ConditionStat>(0);
  s.doUpdate(flag(1), kAt);
  EXPECT_EQ(s, condition<ConditionStat>(1, 11, 7.0));

  s = condition<ConditionStat>(1);
  s.doUpdate(flag(1), kAt);
  EXPECT_EQ(s, condition<ConditionStat>(1));

  s = condition<ConditionStat>(1);
  s.updateIs(valueOf<Event>(flag(0), kAt));
  EXPECT_EQ(s, condition<ConditionStat>(0, 11, 7.0));

  s = condition<ConditionStat>(1, 4294967295u);
  s.doUpdate(flag(0), kAt);
  EXPECT_EQ(s.changes(), 0u);
}

TEST(EventStatTest, WorkedCases) {
  auto before = valueOf<EventStat>(flag(1), kCounter, kBefore);
  // A sample without the event still takes the flag: the statistic differs.
  EventStat s = before;
  s.doUpdate(flag(0), kAt);
  EXPECT_NE(s, before);
  EXPECT_EQ(s.current(), flag(0));
  EXPECT_EQ(s.count(), 10u);
  EXPECT_EQ(s.last(), 5.0);

  EventStat t = s;
  t.doUpdate(flag(1), kAt);
  EXPECT_EQ(t.current(), flag(1));
  EXPECT_EQ(t.count(), 11u);
  EXPECT_EQ(t.last(), 7.0);

  EventStat u = s;
  u.updateIs(valueOf<Event>(flag(1), kAt));
  EXPECT_EQ(u, t);

  u.countIs(4294967295u);
  u.doUpdate(flag(1), 8.0);
  EXPECT_EQ(u.count(), 0u);
  EXPECT_EQ(u.last(), 8.0);
}

TEST(CountStatTest, WorkedCases) {
  auto s = counter<CountStat>();
  s.doUpdate(0, kAt);
  EXPECT_EQ(s, counter<CountStat>());
  s.doUpdate(4, kAt);
  EXPECT_EQ(s, counter<CountStat>(14, 7.0));
  auto viaUpdate = counter<CountStat>();
  viaUpdate.updateIs(valueOf<Count>(4u, kAt));
  EXPECT_EQ(viaUpdate, s);
}

TEST(CountStatTest, CountsWrap) {
  auto s = counter<CountStat>(4294967295u);
  s.doUpdate(1, kAt);
  EXPECT_EQ(s, counter<CountStat>(0, 7.0));
  s.doUpdate(4294967295u, 9.0);
  EXPECT_EQ(s, counter<CountStat>(4294967295u, 9.0));
}

TEST(EventOrCountStatTest, WorkedCases) {
  struct Row {
    unsigned event;
    U32 n;
    U32 countAfter;
    double lastAfter;
  };
  Row const rows[] = {
      {1, 0, 11, 7.0},
      {1, 4, 14, 7.0},  // the count includes the event
      {0, 4, 14, 7.0},
      {0, 0, 10, 5.0},  // nothing to count: last stays
  };
  for (Row const& r : rows) {
    SCOPED_TRACE(testing::Message() << "event " << r.event << " count " << r.n);
    auto s = counter<EventOrCountStat>();
    s.doUpdate(flag(r.event), r.n, kAt);
    EXPECT_EQ(s, counter<EventOrCountStat>(r.countAfter, r.lastAfter));
    auto viaUpdate = counter<EventOrCountStat>();
    viaUpdate.updateIs(valueOf<EventOrCount>(flag(r.event), r.n, kAt));
    EXPECT_EQ(viaUpdate, s);
  }
  auto s = counter<EventOrCountStat>(4294967290u);
  s.doUpdate(flag(0), 8, kAt);
  EXPECT_EQ(s.count(), 2u);
}

}  // namespace
