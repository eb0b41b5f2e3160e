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

// Applies one observation to `before` twice, whole through updateIs and field
// by field through doUpdate(args...); both must give `after`.
template <class S, class O, class... A>
void expectUpdate(S const& before, O const& observation, S const& after, A... args) {
  S viaDoUpdate = before;
  viaDoUpdate.doUpdate(args...);
  EXPECT_EQ(viaDoUpdate, after) << "doUpdate from " << before;
  S viaUpdateIs = before;
  viaUpdateIs.updateIs(observation);
  EXPECT_EQ(viaUpdateIs, after) << "updateIs from " << before;
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
    expectUpdate(condition<ConditionOrCountStat>(r.current), valueOf<EventOrCount>(flag(r.val), r.n, kAt),
                 condition<ConditionOrCountStat>(r.val, r.changesAfter, r.lastChangeAfter), flag(r.val), r.n, kAt);
  }
}

TEST(ConditionOrChangedStatTest, WorkedCases) {
  ConditionRow const rows[] = {
      {0, 0, 0, 10, 5.0}, {0, 1, 0, 11, 7.0}, {1, 0, 0, 11, 7.0}, {1, 1, 0, 10, 5.0},
      {0, 0, 1, 12, 7.0}, {0, 1, 1, 11, 7.0}, {1, 0, 1, 11, 7.0}, {1, 1, 1, 12, 7.0},
  };
  for (ConditionRow const& r : rows) {
    expectUpdate(condition<ConditionOrChangedStat>(r.current),
                 valueOf<ConditionOrChanged>(flag(r.val), flag(r.n), kAt),
                 condition<ConditionOrChangedStat>(r.val, r.changesAfter, r.lastChangeAfter), flag(r.val), flag(r.n),
                 kAt);
  }
  // Counters wrap.
  expectUpdate(condition<ConditionOrChangedStat>(1, 4294967295u), valueOf<ConditionOrChanged>(flag(1), flag(1), kAt),
               condition<ConditionOrChangedStat>(1, 1, kAt), flag(1), flag(1), kAt);
}

TEST(ConditionOrChangedStatTest, NoChangeToTheSameStateLeavesEveryBitAlone) {
  auto s = condition<ConditionOrChangedStat>(1, kCounter, std::numeric_limits<double>::quiet_NaN());
  auto before = s;
  s.doUpdate(flag(1), flag(0), kAt);
  EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0);
}

TEST(ConditionStatTest, WorkedCases) {
  struct Row {
    unsigned current;
    U32 changes;
    unsigned val;
    ConditionStat after;
  } const rows[] = {
      {0, kCounter, 1, condition<ConditionStat>(1, 11, kAt)},
      {1, kCounter, 1, condition<ConditionStat>(1)},
      {1, kCounter, 0, condition<ConditionStat>(0, 11, kAt)},
      {1, 4294967295u, 0, condition<ConditionStat>(0, 0, kAt)},
  };
  for (Row const& r : rows) {
    expectUpdate(condition<ConditionStat>(r.current, r.changes), valueOf<Event>(flag(r.val), kAt), r.after,
                 flag(r.val), kAt);
  }
}

TEST(EventStatTest, WorkedCases) {
  struct Row {
    EventStat before;
    unsigned val;
    EventStat after;
  } const rows[] = {
      // A sample without the event still takes the flag: the statistic differs.
      {valueOf<EventStat>(flag(1), kCounter, kBefore), 0, valueOf<EventStat>(flag(0), kCounter, kBefore)},
      {valueOf<EventStat>(flag(0), kCounter, kBefore), 1, valueOf<EventStat>(flag(1), 11u, kAt)},
      {valueOf<EventStat>(flag(1), 4294967295u, kBefore), 1, valueOf<EventStat>(flag(1), 0u, kAt)},
  };
  for (Row const& r : rows) {
    expectUpdate(r.before, valueOf<Event>(flag(r.val), kAt), r.after, flag(r.val), kAt);
    EXPECT_NE(r.before, r.after);
  }
}

TEST(CountStatTest, WorkedCases) {
  struct Row {
    U32 before, n;
    CountStat after;
  } const rows[] = {
      {kCounter, 0, counter<CountStat>()},  // nothing counted: last stays
      {kCounter, 4, counter<CountStat>(14, kAt)},
      {4294967295u, 1, counter<CountStat>(0, kAt)},
      {4294967295u, 4294967295u, counter<CountStat>(4294967294u, kAt)},
  };
  for (Row const& r : rows) {
    expectUpdate(counter<CountStat>(r.before), valueOf<Count>(r.n, kAt), r.after, r.n, kAt);
  }
}

TEST(EventOrCountStatTest, WorkedCases) {
  struct Row {
    U32 before;
    unsigned event;
    U32 n;
    EventOrCountStat after;
  } const rows[] = {
      {kCounter, 1, 0, counter<EventOrCountStat>(11, kAt)},
      {kCounter, 1, 4, counter<EventOrCountStat>(14, kAt)},  // the count includes the event
      {kCounter, 0, 4, counter<EventOrCountStat>(14, kAt)},
      {kCounter, 0, 0, counter<EventOrCountStat>()},  // nothing to count: last stays
      {4294967290u, 0, 8, counter<EventOrCountStat>(2, kAt)},
  };
  for (Row const& r : rows) {
    expectUpdate(counter<EventOrCountStat>(r.before), valueOf<EventOrCount>(flag(r.event), r.n, kAt), r.after,
                 flag(r.event), r.n, kAt);
  }
}

}  // namespace
