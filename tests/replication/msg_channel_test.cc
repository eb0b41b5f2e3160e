// Message channels: a channel attached to adapters, the internal-write hook
// of mode 4, the modes the record paths set on the mount, the anchor that
// tells the constrainer which entity a record makes, and the lookup of an
// entity's adapter on the same channel.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "model/phy_bcm54980_chip_config.h"
#include "model/phy_bcm54980_dirs.h"
#include "model/phy_bcm54980_stats.h"
#include "replication/replication_testing.h"

namespace {

using namespace Hardware::Phy;
using namespace phytest;
using Zef::Ptr;
using Zef::MsgChannel::Constrainer;
using Zef::NboAttrLog::Connection;
using Zef::NboAttrLog::MemoryPair;
using Zef::NboAttrLog::MsgHeader;
using Zef::NboAttrLog::Out;
using Entry = Constrainer::ZefEntry;

// A channel whose owner watches each internal write, and what the log held
// when it was told.
class Watcher : public Entry {
 public:
  struct Call {
    Zef::EntityId eid;
    Zef::AttributeId a;
    std::optional<std::string> key;
    std::size_t bytesBefore;
  };
  Watcher(Constrainer* c, Ptr<Out> out) : Entry(c), out_(std::move(out)) {}
  void doQuorraInternalWrite(Zef::EntityId eid, Zef::AttributeId a, Zef::Name const* key) override {
    calls.push_back({eid, a, key ? std::optional<std::string>(key->str()) : std::nullopt, out_->size()});
    Entry::doQuorraInternalWrite(eid, a, key);
  }
  std::vector<Call> calls;

 private:
  Ptr<Out> out_;
};

class MsgChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { Zef::MsgChannel::constrainerIs(constrainer); }
  void TearDown() override { Zef::MsgChannel::constrainerIs(nullptr); }

  Ptr<Watcher> watcher(Ptr<Out> const& out) { return Ptr<Watcher>(new Watcher(constrainer.ptr(), out), Zef::adoptRef); }
  Ptr<Zef::Entity::ZefNboAttrLogSa> adapterOn(Ptr<Zef::Entity> const& e, Ptr<Connection> const& c) {
    return e->zefNboAttrLogSa(Ptr<Out const>(c->out()));
  }

  // `root` served and pumped across; the mount's copy of it.
  template <class T>
  Ptr<T> served(Ptr<T> const& root) {
    writer->rootIs(root);
    pair.pump();
    return mountedAs<T>(mount, root->name());
  }

  Ptr<Constrainer> constrainer = Constrainer::ConstrainerIs();
  MemoryPair pair;
  Ptr<Connection> const& writer = pair.a();
  Ptr<Connection> const& mount = pair.b();
};

// Attaching, and the entry's own checks.

TEST_F(MsgChannelTest, AnAdapterMadeWithAChannelCarriesItAndOneMadeWithoutHasNone) {
  auto chan = constrainer->entryIs();
  EXPECT_EQ(chan->constrainer(), constrainer.ptr());
  EXPECT_EQ(chan->mode(), 0u);
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto sa = chip->zefNboAttrLogSaIs(noFlags(), 1, writer->out(), chan.ptr());
  EXPECT_EQ(sa->msgChannelEntry(), chan.ptr());
  MemoryPair other;
  EXPECT_EQ(chip->zefNboAttrLogSaIs(noFlags(), 1, other.a()->out(), nullptr)->msgChannelEntry(), nullptr);
  // Found again, an adapter keeps the channel it has.
  EXPECT_EQ(chip->zefNboAttrLogSaIs(noFlags(), 1, writer->out(), nullptr)->msgChannelEntry(), chan.ptr());
}

TEST_F(MsgChannelTest, AModeBeyondFourIsRefusedAndTheModeStays) {
  auto chan = constrainer->entryIs();
  chan->modeIs(3);
  EXPECT_THROW(chan->modeIs(5), Zef::RangeException);
  EXPECT_EQ(chan->mode(), 3u);
}

TEST_F(MsgChannelTest, AChannelNeedsAConstrainer) {
  EXPECT_THROW(Ptr<Watcher>(new Watcher(nullptr, writer->out()), Zef::adoptRef), Zef::RangeException);
}

// The internal-write hook of mode 4.

TEST_F(MsgChannelTest, InModeFourTheHookHearsOfAnAttributeWriteBeforeItIsWritten) {
  auto chan = watcher(writer->out());
  chan->modeIs(4);
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto sa = chip->zefNboAttrLogSaIs(noFlags(), 1, writer->out(), chan.ptr());
  std::size_t before = writer->out()->size();
  chip->resetIs(Fru::Gpo::GpoIs("gpo1"));
  ASSERT_EQ(chan->calls.size(), 1u);
  EXPECT_EQ(chan->calls[0].eid, sa->entityId());
  EXPECT_EQ(chan->calls[0].a, 258);
  EXPECT_FALSE(chan->calls[0].key);
  EXPECT_EQ(chan->calls[0].bytesBefore, before) << "told before anything was written";
  EXPECT_GT(writer->out()->size(), before) << "and the write went on";
  EXPECT_EQ(chan->internalWrites(), 1u);
  EXPECT_EQ(chan->lastInternalWriteAttr(), 258);
}

TEST_F(MsgChannelTest, InModeFourTheHookIsToldEvenOfAWriteTheReadOnlyCheckRefuses) {
  auto chan = watcher(writer->out());
  chan->modeIs(4);
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto flags = noFlags();
  flags.isReadOnlyIs(true);
  auto sa = chip->zefNboAttrLogSaIs(flags, 1, writer->out(), chan.ptr());
  EXPECT_THROW(sa->doNotification(259, nullptr), Zef::Exception);
  ASSERT_EQ(chan->calls.size(), 1u);
  EXPECT_EQ(chan->calls[0].a, 259);
}

TEST_F(MsgChannelTest, AHookThatThrowsStopsTheWrite) {
  struct Veto : Entry {
    explicit Veto(Constrainer* c) : Entry(c) {}
    void doQuorraInternalWrite(Zef::EntityId, Zef::AttributeId, Zef::Name const*) override {
      throw Zef::RangeException("vetoed");
    }
  };
  Ptr<Veto> chan(new Veto(constrainer.ptr()), Zef::adoptRef);
  chan->modeIs(4);
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto sa = chip->zefNboAttrLogSaIs(noFlags(), 1, writer->out(), chan.ptr());
  std::size_t before = writer->out()->size();
  EXPECT_THROW(sa->doNotification(258, nullptr), Zef::RangeException);
  EXPECT_EQ(writer->out()->size(), before);
}

TEST_F(MsgChannelTest, InOtherModesTheHookIsNotCalled) {
  auto chan = watcher(writer->out());
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  chip->zefNboAttrLogSaIs(noFlags(), 1, writer->out(), chan.ptr());
  unsigned n = 0;
  for (unsigned mode : {0u, 1u, 3u}) {
    chan->modeIs(mode);
    chip->interruptIs(Fru::IntCtrl::IntCtrlIs("int" + std::to_string(++n)));
  }
  EXPECT_TRUE(chan->calls.empty());
  EXPECT_EQ(chan->internalWrites(), 0u);
}

TEST_F(MsgChannelTest, InModeFourTheHookHearsOfADirectoryKeyWithTheKey) {
  auto chan = watcher(writer->out());
  chan->modeIs(4);
  auto dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  auto sa = dir->zefNboAttrLogSaIs(noFlags(), 1, writer->out(), chan.ptr());
  std::size_t before = writer->out()->size();
  auto member = dir->phyChipConfigIs("c1");
  ASSERT_FALSE(chan->calls.empty());
  EXPECT_EQ(chan->calls[0].eid, sa->entityId());
  EXPECT_EQ(chan->calls[0].a, 258);
  EXPECT_EQ(chan->calls[0].key, "c1");
  EXPECT_EQ(chan->calls[0].bytesBefore, before);
  // The member's adapter joins the directory's channel.
  auto msa = adapterOn(member, writer);
  ASSERT_NE(msa, nullptr);
  EXPECT_EQ(msa->msgChannelEntry(), chan.ptr());
  EXPECT_EQ(chan->lastInternalWriteKey(), "c1");
}

// The modes the record paths set on the mount.

struct ResetWatcher : PhyBcm54980ChipConfig::Notifiee {
  Entry* chan = nullptr;
  std::vector<unsigned> modes;
  void onReset() override { modes.push_back(chan->mode()); }
};

TEST_F(MsgChannelTest, AnAppliedReferenceSetsModeOneBeforeTheEntityChanges) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto copy = served(chip);
  ASSERT_NE(copy, nullptr);
  auto chan = constrainer->entryIs();
  adapterOn(copy, mount)->msgChannelEntryIs(chan);
  Ptr<ResetWatcher> heard(new ResetWatcher, Zef::adoptRef);
  heard->chan = chan.ptr();
  heard->isRegisteredNotifieeIs(true);
  heard->notifierIs(copy);

  chip->isNondestructingIs(true);  // a value, not a reference: no mode
  pair.pump();
  EXPECT_EQ(chan->mode(), 0u);
  chip->resetIs(Fru::Gpo::GpoIs("gpo1"));
  pair.pump();
  ASSERT_EQ(mount->framesRefused(), 0u) << mount->lastRefusal();
  EXPECT_EQ(heard->modes, std::vector<unsigned>{1u});
  // Counted again, so that both copies go with the test.
  chip->isNondestructingIs(false);
  pair.pump();
  EXPECT_FALSE(copy->isNondestructing());
}

TEST_F(MsgChannelTest, AnAppliedSyncModeRecordSetsModeThree) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto copy = served(chip);
  ASSERT_NE(copy, nullptr);
  auto msa = adapterOn(copy, mount);
  auto chan = constrainer->entryIs();
  msa->msgChannelEntryIs(chan);
  auto out = Out::OutIs();
  Zef::NboAttrLog::syncModeWrite(out, adapterOn(chip, writer)->entityId(), 1);
  mount->bytesReceived(out->bytes());
  ASSERT_EQ(mount->framesRefused(), 0u) << mount->lastRefusal();
  EXPECT_EQ(chan->mode(), 3u);
  EXPECT_EQ(msa->syncMode(), Zef::StreamAdapter::syncModeIncremental);
}

TEST_F(MsgChannelTest, AnAppliedMemberSetsModeOneAndJoinsTheDirectorysChannel) {
  auto dir = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("chips");
  auto copy = served(dir);
  ASSERT_NE(copy, nullptr);
  auto chan = constrainer->entryIs();
  adapterOn(copy, mount)->msgChannelEntryIs(chan);
  dir->phyChipConfigIs("c1");
  pair.pump();
  ASSERT_EQ(mount->framesRefused(), 0u) << mount->lastRefusal();
  auto member = copy->phyChipConfig("c1");
  ASSERT_NE(member, nullptr);
  EXPECT_EQ(chan->mode(), 1u);
  auto msa = adapterOn(member, mount);
  ASSERT_NE(msa, nullptr);
  EXPECT_EQ(msa->msgChannelEntry(), chan.ptr());
}

// A mount's channel in mode four hears each value its adapter applies, as
// its adapter hears the change; in any other mode it hears none of them.
TEST_F(MsgChannelTest, InModeFourAMountsChannelHearsEachAppliedValue) {
  auto stats = PhyBcm54980Stats::PhyBcm54980StatsIs("port0");
  auto copy = served(stats);
  ASSERT_NE(copy, nullptr);
  auto msa = adapterOn(copy, mount);
  auto chan = watcher(mount->out());
  msa->msgChannelEntryIs(chan);
  stats->crcErrorsIs(crcAfter(1));
  pair.pump();
  EXPECT_TRUE(chan->calls.empty()) << "mode 0";
  chan->modeIs(4);
  stats->crcErrorsIs(crcAfter(2));
  pair.pump();
  ASSERT_EQ(mount->framesRefused(), 0u) << mount->lastRefusal();
  ASSERT_EQ(chan->calls.size(), 1u);
  EXPECT_EQ(chan->calls[0].eid, msa->entityId());
  EXPECT_EQ(chan->calls[0].a, PhyBcm54980Stats::crcErrorsAttrId);
  EXPECT_EQ(copy->crcErrors(), crcAfter(2));
}

// The anchor.

TEST_F(MsgChannelTest, TheAnchorSetsTheDeserializingIdAndParentAndNestedAnchorsPutThemBack) {
  auto outer = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("outer");
  auto inner = PhyBcm54980ChipConfigDir::PhyBcm54980ChipConfigDirIs("inner");
  {
    Zef::MsgChannel::DeserializingEidAnchor a(5, outer.ptr());
    EXPECT_EQ(constrainer->deserializingEid(), 5u);
    EXPECT_EQ(constrainer->deserializingInParent(), outer.ptr());
    {
      Zef::MsgChannel::DeserializingEidAnchor b(7, inner.ptr());
      EXPECT_EQ(constrainer->deserializingEid(), 7u);
      EXPECT_EQ(constrainer->deserializingInParent(), inner.ptr());
    }
    EXPECT_EQ(constrainer->deserializingEid(), 5u);
    EXPECT_EQ(constrainer->deserializingInParent(), outer.ptr());
  }
  EXPECT_EQ(constrainer->deserializingEid(), 0u);
  EXPECT_EQ(constrainer->deserializingInParent(), nullptr);
}

TEST_F(MsgChannelTest, AnAnchorPutsBackIntoItsConstrainerWhenTheProcesssOneIsReplaced) {
  {
    Zef::MsgChannel::DeserializingEidAnchor a(9, nullptr);
    Zef::MsgChannel::constrainerIs(Constrainer::ConstrainerIs());
    EXPECT_EQ(Zef::MsgChannel::constrainer()->deserializingEid(), 0u);
  }
  EXPECT_EQ(constrainer->deserializingEid(), 0u);
  // Without a constrainer the anchor still works.
  Zef::MsgChannel::constrainerIs(nullptr);
  Zef::MsgChannel::DeserializingEidAnchor none(11, nullptr);
  EXPECT_EQ(Zef::MsgChannel::constrainer(), nullptr);
}

// The sibling lookup.

TEST_F(MsgChannelTest, TheSiblingIsTheLiveAdapterOnTheSameChannel) {
  auto chip = PhyBcm54980ChipConfig::PhyBcm54980ChipConfigIs("chip0");
  auto a = constrainer->entryIs();
  auto b = constrainer->entryIs();
  std::vector<std::unique_ptr<MemoryPair>> pairs;
  auto attach = [&](Entry* chan) {
    pairs.push_back(std::make_unique<MemoryPair>());
    return chip->zefNboAttrLogSaIs(noFlags(), 1, pairs.back()->a()->out(), chan);
  };
  auto none1 = attach(nullptr);
  auto onA1 = attach(a.ptr());
  auto onB = attach(b.ptr());
  auto onA2 = attach(a.ptr());
  auto none2 = attach(nullptr);

  EXPECT_EQ(chip->zefNboAttrLogSaForMsgChannel(onA1), onA2);
  EXPECT_EQ(chip->zefNboAttrLogSaForMsgChannel(onA2), onA1);
  EXPECT_EQ(chip->zefNboAttrLogSaForMsgChannel(onB), nullptr) << "alone on its channel";
  EXPECT_EQ(chip->zefNboAttrLogSaForMsgChannel(none1), none2);
  EXPECT_EQ(chip->zefNboAttrLogSaForMsgChannel(none2), none1);
  // Detached, an adapter is no longer anyone's sibling.
  chip->zefNboAttrLogSaDel(Ptr<Out const>(pairs[3]->a()->out()));
  EXPECT_EQ(chip->zefNboAttrLogSaForMsgChannel(onA1), nullptr);
}

}  // namespace
