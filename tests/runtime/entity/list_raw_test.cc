// The notifiee list and its iterators.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "runtime/entity/list_raw.h"

namespace {

using Zef::Ptr;

struct Node : Zef::PtrInterface {
  explicit Node(int v, bool* destroyed = nullptr) : value(v), destroyed(destroyed) {}
  ~Node() override {
    if (destroyed) *destroyed = true;
  }
  int value;
  bool* destroyed;
  Node* listNext = nullptr;
};

using List = Zef::ListRaw<Node>;

Ptr<Node> node(int v, bool* destroyed = nullptr) { return Ptr<Node>(new Node(v, destroyed), Zef::adoptRef); }

std::vector<int> values(List const& l) {
  std::vector<int> out;
  for (Node* n = l.head(); n; n = n->listNext) out.push_back(n->value);
  return out;
}

TEST(ListRawTest, HeadAndTailInsertionKeepOrderAndCount) {
  List l;
  auto a = node(1), b = node(2), c = node(3);
  l.newMember(a.ptr());
  l.newMember(b.ptr());
  l.newHead(c.ptr());
  EXPECT_EQ(values(l), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(l.memberCount(), 3u);
  EXPECT_EQ(l.version(), 3u);
  EXPECT_EQ(l.tail(), b.ptr());
  // The list holds no counted reference.
  EXPECT_EQ(a->references(), 1u);
}

TEST(ListRawTest, AMemberAddedAfterAHeadOnAnEmptyListFollowsIt) {
  List l;
  auto a = node(1), b = node(2);
  l.newHead(a.ptr());
  EXPECT_EQ(l.tail(), a.ptr());
  l.newMember(b.ptr());
  EXPECT_EQ(values(l), (std::vector<int>{1, 2}));
  EXPECT_EQ(l.tail(), b.ptr());
}

TEST(ListRawTest, DeleteMemberUnlinksFromAnyPlace) {
  List l;
  auto a = node(1), b = node(2), c = node(3);
  for (auto* n : {a.ptr(), b.ptr(), c.ptr()}) l.newMember(n);
  l.deleteMember(b.ptr());
  EXPECT_EQ(values(l), (std::vector<int>{1, 3}));
  EXPECT_EQ(b->listNext, c.ptr());  // left as it was
  // The last member gone, the next one added follows the one left.
  l.deleteMember(c.ptr());
  EXPECT_EQ(l.tail(), a.ptr());
  l.newMember(c.ptr());
  EXPECT_EQ(values(l), (std::vector<int>{1, 3}));
  l.deleteMember(c.ptr());
  l.deleteMember(a.ptr());
  EXPECT_EQ(l.head(), nullptr);
  EXPECT_EQ(l.tail(), nullptr);
  EXPECT_EQ(l.memberCount(), 0u);
  EXPECT_EQ(l.version(), 8u);
  l.newMember(b.ptr());
  EXPECT_EQ(values(l), (std::vector<int>{2}));
}

TEST(ListRawTest, DeletingAnAbsentMemberChangesNothing) {
  List l;
  auto a = node(1), b = node(2);
  l.newMember(a.ptr());
  l.deleteMember(b.ptr());
  EXPECT_EQ(l.memberCount(), 1u);
  EXPECT_EQ(l.version(), 1u);
}

TEST(ListRawTest, IteratorCountsItsCurrentMember) {
  List l;
  auto a = node(1), b = node(2);
  l.newMember(a.ptr());
  l.newMember(b.ptr());
  std::vector<int> seen;
  {
    List::LrIterator it(l, l.head());
    EXPECT_EQ(a->references(), 2u);
    for (; it; ++it) seen.push_back(it->value);
    EXPECT_EQ(it.previous().ptr(), b.ptr());
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_EQ(a->references(), 1u);
  EXPECT_EQ(b->references(), 1u);
}

TEST(ListRawTest, IteratorMovesOnFromAMemberTakenOffTheList) {
  List l;
  auto a = node(1), b = node(2), c = node(3);
  for (auto* n : {a.ptr(), b.ptr(), c.ptr()}) l.newMember(n);
  List::LrIterator it(l, l.head());
  ++it;
  l.deleteMember(b.ptr());
  ++it;
  EXPECT_EQ(it.ptr(), c.ptr());
}

// Walks a snapshot of a, b, c that loses b's last holder on the way; with
// `crowded`, the thread's hold frame is full, so the snapshot counts.
void snapshotLosingItsMiddleMember(bool crowded) {
  List l;
  bool bDestroyed = false;
  auto a = node(1), b = node(2, &bDestroyed), c = node(3);
  for (auto* n : {a.ptr(), b.ptr(), c.ptr()}) l.newMember(n);
  std::vector<Ptr<Node>> fillers;
  std::optional<Zef::HoldFrame> filler;
  if (crowded) {
    filler.emplace();
    while (Zef::HoldFrame::hasRoomFor(1)) {
      fillers.push_back(node(0));
      filler->hold(fillers.back().ptr());
    }
  }
  std::vector<int> seen;
  {
    Zef::SnapshotIterator<List> snap(l);
    EXPECT_EQ(snap.size(), 3u);
    seen.push_back(snap->value);
    l.deleteMember(b.ptr());
    b = nullptr;
    EXPECT_FALSE(bDestroyed);  // the snapshot still keeps it
    ++snap;                    // b is skipped
    seen.push_back(snap->value);
    ++snap;
    EXPECT_FALSE(snap);
    EXPECT_EQ(snap.ptr(), nullptr);
    ++snap;  // at the end: nothing
  }
  EXPECT_TRUE(bDestroyed);
  EXPECT_EQ(seen, (std::vector<int>{1, 3}));
  EXPECT_EQ(a->references(), 1u);
  EXPECT_EQ(c->references(), 1u);
}

TEST(ListRawTest, SnapshotKeepsEveryMemberAndSkipsThoseOnlyItKeeps) {
  snapshotLosingItsMiddleMember(false);
  snapshotLosingItsMiddleMember(true);
}

TEST(ListRawTest, AHeldObjectLosingItsLastHolderGoesWhenItsFrameEnds) {
  bool destroyed = false;
  Ptr<Node> n = node(1, &destroyed);
  Node* raw = n.ptr();
  {
    Zef::HoldFrame outer;
    outer.hold(raw);
    {
      Zef::HoldFrame inner;
      inner.hold(raw);  // held twice, as a nested dispatch would
      n = nullptr;
      EXPECT_TRUE(inner.released(0));
    }
    EXPECT_FALSE(destroyed);  // the outer frame still holds it
    EXPECT_TRUE(outer.released(0));
    Ptr<Node> back(raw);  // a new holder takes it back
    EXPECT_EQ(raw->references(), 1u);
    n = back;
  }
  EXPECT_FALSE(destroyed);
  n = nullptr;
  EXPECT_TRUE(destroyed);
}

TEST(ListRawTest, CollectionInterfaceWalksAndCountsThroughTheVirtuals) {
  List l;
  auto a = node(1), b = node(2);
  l.newMember(a.ptr());
  l.newMember(b.ptr());
  Zef::BaseCollection const& c = l;
  Zef::BaseCollection::StrepIterator it;
  it.current = l.head();
  c.iteratorSpaceCopy(it);
  EXPECT_EQ(a->references(), 2u);
  EXPECT_TRUE(c.iteratorMoreLeft(it));
  c.iteratorIncr(it);
  EXPECT_EQ(it.current, b.ptr());
  EXPECT_EQ(a->references(), 1u);
  EXPECT_EQ(b->references(), 2u);
  c.iteratorDelete(it);
  EXPECT_EQ(b->references(), 1u);
  EXPECT_FALSE(c.iteratorMoreLeft(it));
}

}  // namespace
