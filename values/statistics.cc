// The update rules of the statistics: how one observation moves each of them.
// All counter arithmetic is on U32 and wraps modulo 2^32.
#include "values/values.h"

namespace Hardware::Phy {

namespace {

// A condition observed in state `val`: a change of state is counted and
// stamped; the state is kept either way.
void conditionUpdate(U1& current, U32& changes, Zef::Seconds& lastChange, U1 val, Zef::Seconds t) {
  if (current != val) {
    changes += 1;
    lastChange = t;
  }
  current = val;
}

U32 bit(U1 b) { return b.value(); }

}  // namespace

void ConditionStat::doUpdate(U1 val, Zef::Seconds const& timestamp) {
  conditionUpdate(current_, changes_, lastChange_, val, timestamp);
}

void EventStat::doUpdate(U1 val, Zef::Seconds const& timestamp) {
  // The flag follows every observation, also one without the event.
  current_ = val;
  if (val == U1(1)) {
    count_ += 1;
    last_ = timestamp;
  }
}

void CountStat::doUpdate(U32 val, Zef::Seconds const& timestamp) {
  if (val == 0) return;
  count_ += val;
  last_ = timestamp;
}

void EventOrCountStat::doUpdate(U1 event, U32 count, Zef::Seconds const& timestamp) {
  // A count, when there is one, already includes the event.
  U32 n = count != 0 ? count : bit(event);
  if (n == 0) return;
  count_ += n;
  last_ = timestamp;
}

void ConditionOrCountStat::doUpdate(U1 val, U32 count, Zef::Seconds const& timestamp) {
  if (count == 0) return conditionUpdate(current_, changes_, lastChange_, val, timestamp);
  // The condition was raised `count` times between the old state and `val`:
  // 2n - 1 transitions from 0 to 1, one more when it started raised, one
  // more when it ended down.
  changes_ += 2 * count - 1 + bit(current_) + (1 - bit(val));
  lastChange_ = timestamp;
  current_ = val;
}

void ConditionOrChangedStat::doUpdate(U1 val, U1 changed, Zef::Seconds const& timestamp) {
  if (!changed) return conditionUpdate(current_, changes_, lastChange_, val, timestamp);
  // The chip saw a change; back in the old state means it went and came back.
  changes_ += current_ == val ? 2 : 1;
  current_ = val;
  lastChange_ = timestamp;
}

}  // namespace Hardware::Phy
